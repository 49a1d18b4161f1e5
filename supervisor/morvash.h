// State shared by the supervisor's modules: options, the flags its threads raise for each other, and the
// board data read at start. Flags are single words read without a lock, as on the board.
#pragma once

#include "boardlibs.h"
#include "pmr.h"

#include <atomic>
#include <pthread.h>

constexpr const char *MORVASH_SOURCE = "morvash.c";

extern std::atomic<bool> g_rebootOnFatal;      // cleared by "-noreboot"
extern std::atomic<bool> g_shuttingDown;
extern std::atomic<bool> g_startupFinished;
extern std::atomic<bool> g_oneBinaryFailed;    // a process with failure parameter 'N' failed
extern std::atomic<bool> g_swapInProgress;
extern std::atomic<bool> g_oneshotInUse;       // the board started from the one-shot image
extern std::atomic<bool> g_lpcmInitKo;
extern std::atomic<bool> g_biosCopyKo;
extern std::atomic<bool> g_biosSwapError;      // the BIOS copy failed during a swap
extern std::atomic<bool> g_boosterError;
extern std::atomic<bool> g_halted;             // owned by the watchdog thread
extern std::atomic<int> g_swapStatus;          // LP_CM's verdict on a swap; 1 = KO
extern std::atomic<int> g_currentItem;         // item whose sub-configuration runs; -1 when none
extern std::atomic<char> g_startMode;          // 'A' network boot, 'M' own storage; 0 until chosen
extern std::atomic<bool> g_noLibraries;        // set by "-nolib"

constexpr char START_MODE_NETWORK = 'A';       // booted from the network (dip switch 10, 13 or 14)
constexpr char START_MODE_LOCAL = 'M';

// The BIOS manager's launch: a shut-down asked for meanwhile waits until it returns.
enum BiosLaunchState { BIOS_LAUNCH_IDLE = 0, BIOS_LAUNCH_RUNNING = 1, BIOS_LAUNCH_SHUTDOWN_DELAYED = 2 };
extern std::atomic<int> g_biosLaunchState;

extern ItemTable g_itemTable;
extern CpuConfig g_cpuConfig;                  // read once by the start sequence
extern long g_openFilesBound;                  // children close descriptors 3 up to this bound
extern pthread_t g_mainThread;

// The start sequence's main thread, cancelled by a shut-down before start-up has finished.
void morvVsetMainThread(pthread_t thread);
bool morvBhasMainThread();

// Every module back to its state at load, for a new run in the same process (the tests run many): flags,
// tables, once-only handlers, the driver and the libraries. Only with no table thread running. A module
// that keeps state of its own adds its reset here.
void morvVresetState();
