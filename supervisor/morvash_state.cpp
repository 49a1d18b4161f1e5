#include "morvash.h"

#include "dlibmgt.h"
#include "driver.h"
#include "loopback.h"
#include "modules.h"
#include "process.h"
#include "resetlog.h"
#include "resources.h"
#include "subconfig.h"
#include "swap.h"

std::atomic<bool> g_rebootOnFatal{true};
std::atomic<bool> g_shuttingDown{false};
std::atomic<bool> g_startupFinished{false};
std::atomic<bool> g_oneBinaryFailed{false};
std::atomic<bool> g_swapInProgress{false};
std::atomic<bool> g_oneshotInUse{false};
std::atomic<bool> g_lpcmInitKo{false};
std::atomic<bool> g_biosCopyKo{false};
std::atomic<bool> g_biosSwapError{false};
std::atomic<bool> g_boosterError{false};
std::atomic<bool> g_halted{false};
std::atomic<int> g_swapStatus{0};
std::atomic<int> g_currentItem{-1};
std::atomic<int> g_biosLaunchState{BIOS_LAUNCH_IDLE};
std::atomic<char> g_startMode{0};
std::atomic<bool> g_noLibraries{false};

ItemTable g_itemTable;
CpuConfig g_cpuConfig;
long g_openFilesBound = 1024;
pthread_t g_mainThread;

namespace {
std::atomic<bool> mainThreadSet{false};
}

void morvVsetMainThread(pthread_t thread)
{
    g_mainThread = thread;
    mainThreadSet = true;
}

bool morvBhasMainThread()
{
    return mainThreadSet;
}

void morvVresetState()
{
    g_rebootOnFatal = true;
    g_shuttingDown = false;
    g_startupFinished = false;
    g_oneBinaryFailed = false;
    g_swapInProgress = false;
    g_oneshotInUse = false;
    g_lpcmInitKo = false;
    g_biosCopyKo = false;
    g_biosSwapError = false;
    g_boosterError = false;
    g_halted = false;
    g_swapStatus = 0;
    g_currentItem = -1;
    g_biosLaunchState = BIOS_LAUNCH_IDLE;
    g_startMode = 0;
    g_noLibraries = false;
    g_itemTable = ItemTable{};
    g_cpuConfig = CpuConfig{};
    g_openFilesBound = 1024;
    mainThreadSet = false;
    processVreset();
    morvVresetFatalHandler();
    morvVresetBackswap();
    morvVresetResourceChecks();
    pmrVclose();
    dlibmgtVunloadAll();
    morvVresetStartCondition();
    modulesVreset();
    loopbackVreset();
}
