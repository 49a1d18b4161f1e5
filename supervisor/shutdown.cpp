#include "shutdown.h"

#include "dlibmgt.h"
#include "driver.h"
#include "files.h"
#include "log.h"
#include "loopback.h"
#include "modules.h"
#include "morvash.h"
#include "process.h"
#include "resetlog.h"
#include "resources.h"
#include "server.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <semaphore.h>
#include <unistd.h>

namespace {
constexpr pid_t INIT_PROCESS = 1;
constexpr int SHUTDOWN_RECORD_LINE = 2487;
constexpr int INODES_LOW_PERCENT = 2;

// Shut-down signals noted by the handler, one bit each, and the semaphore that wakes the signal thread.
std::atomic<unsigned> pendingSignals{0};
static_assert(std::atomic<unsigned>::is_always_lock_free, "set from a signal handler");
sem_t signalSem;

unsigned bitOf(int signal)
{
    return 1u << signal;
}

void announce(const char *step)
{
    printf("%s", step);
    fflush(stdout);
}

// The work a shut-down signal asks for, outside the handler.
void takeSignal(int signal)
{
    if (!g_shuttingDown) {
        const char *text;
        if (signal == PMR_SIGNAL_WATCHDOG_NMI) {
            text = "Corvo Watchdog Timer NMI occured.";
            printf("\n\t**************************************\n");
            printf("\t* Corvo Watchdog Timer NMI occured ! *\n");
            printf("\t**************************************\n\n");
        } else if (signal == PMR_SIGNAL_POWER_OFF) {
            text = "Power off.";
            printf("\n\t*************\n");
            printf("\t* Power off *\n");
            printf("\t*************\n\n");
        } else {
            text = "Morvash signaled by SIGTERM (Power off ?)";
        }
        fflush(stdout);
        ResetRecord record;
        morvVmakeResetRecord(&record, MORVASH_SOURCE, SHUTDOWN_RECORD_LINE, RESET_SEVERITY, text);
        VStoreResetInfo(&record);
    }
    ::signal(SIGTERM, SIG_IGN);
    g_shuttingDown = true;
    int launching = BIOS_LAUNCH_RUNNING;
    if (g_biosLaunchState.compare_exchange_strong(launching, BIOS_LAUNCH_SHUTDOWN_DELAYED)) {
        printf("\n\t*** Shutdown request during update of bios...  ***\n");
        printf("\t*** ==> delaying shutdown until end of update. ***\n");
        fflush(stdout);
    } else if (launching != BIOS_LAUNCH_SHUTDOWN_DELAYED) {
        processVrequestShutdown();
    }
}

void *shutdownVthSignals(void *)
{
    for (;;) {
        while (sem_wait(&signalSem) != 0 && errno == EINTR) {
        }
        const unsigned signals = pendingSignals.exchange(0);
        for (int signal : {PMR_SIGNAL_WATCHDOG_NMI, PMR_SIGNAL_POWER_OFF, SIGTERM}) {
            if (signals & bitOf(signal)) takeSignal(signal);
        }
    }
}
}  // namespace

void morvVonShutdownSignal(int signal)
{
    const int saved = errno;
    pendingSignals.fetch_or(bitOf(signal));
    sem_post(&signalSem);
    errno = saved;
}

void init_shutdown()
{
    sem_init(&signalSem, 0, 0);
    pthread_t thread;
    if (morvSpthreadCreate(&thread, nullptr, shutdownVthSignals, nullptr) == 0) pthread_detach(thread);
    struct sigaction action = {};
    action.sa_handler = morvVonShutdownSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(PMR_SIGNAL_POWER_OFF, &action, nullptr) != 0)
        morvVlog("init_shutdown: Error setting Power-Off signal handler.\n");
    if (sigaction(PMR_SIGNAL_WATCHDOG_NMI, &action, nullptr) != 0)
        morvVlog("init_shutdown: Error setting watchdog signal handler.\n");
    if (sigaction(SIGTERM, &action, nullptr) != 0) morvVlog("init_shutdown: Error setting SIGTERM signal handler.\n");
    if (pmrSsetPid(getpid()) != 0) morvVlog("init_shutdown: Error on ioctl setting Morvash PID: %s\n", strerror(errno));
}

void morvVstopEverything()
{
    processVpause(1000);
    announce("Stopping server.\n");
    serverVstop();
    announce("Stopping all processes.\n");
    processVstopAll();
    printf("Running shutdown script (%s).\n", STOP_SCRIPT);
    fflush(stdout);
    filesIrunShell(STOP_SCRIPT);
    announce("Unloading all libraries.\n");
    dlibmgtVunloadAll();
    announce("Removing all modules.\n");
    modulesVremoveAll();
    announce("Unmounting all loopbacks.\n");
    loopbackVunmountAll();
}

void morvVshutdown()
{
    if (!g_startupFinished && morvBhasMainThread() && !pthread_equal(pthread_self(), g_mainThread))
        pthread_cancel(g_mainThread);
    if (static_cast<unsigned>(getPercentOfFreeInodes("/")) <= INODES_LOW_PERCENT) filesIrunShell(INODE_LIST_SCRIPT);
    if (!g_lpcmInitKo) {
        processVsignalInhouseRecords();
        morvVstopEverything();
    }
    sync();
    printf("Shutdown of Morvash ok.\n");
    fflush(stdout);
    pmrSrefreshWatchdog();
    kill(INIT_PROCESS, SIGINT);
    exit(0);
}
