// State shared by the supervisor's modules: options, the flags its threads raise for each other, and the
// board data read at start. Flags are single words read without a lock, as on the board.
#pragma once

#include "boardlibs.h"

#include <atomic>
#include <pthread.h>

extern std::atomic<bool> g_rebootOnFatal;      // cleared by "-noreboot"
extern std::atomic<bool> g_shuttingDown;
extern std::atomic<bool> g_startupFinished;
extern std::atomic<bool> g_oneBinaryFailed;    // a process with failure parameter 'N' failed
extern std::atomic<bool> g_swapInProgress;
extern std::atomic<bool> g_lpcmInitKo;
extern std::atomic<int> g_currentItem;         // item whose sub-configuration runs; -1 when none
extern std::atomic<char> g_startMode;          // 'A' network boot, 'M' own storage; 0 until chosen
extern std::atomic<bool> g_noLibraries;        // set by "-nolib"

extern ItemTable g_itemTable;
extern long g_openFilesBound;                  // children close descriptors 3 up to this bound
extern pthread_t g_mainThread;

// The start sequence's main thread, cancelled by a shut-down before start-up has finished.
void morvVsetMainThread(pthread_t thread);
bool morvBhasMainThread();

// Every module back to its state at load, for a new run in the same process (the tests run many): flags,
// tables, once-only handlers, the driver and the libraries. Only with no table thread running. A module
// that keeps state of its own adds its reset here.
void morvVresetState();
