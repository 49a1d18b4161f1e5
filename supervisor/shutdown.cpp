#include "shutdown.h"

#include "dlibmgt.h"
#include "driver.h"
#include "files.h"
#include "morvash.h"
#include "process.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {
constexpr pid_t INIT_PROCESS = 1;
}

void morvVstopEverything()
{
    processVpause(1000);
    printf("Stopping all processes.\n");
    fflush(stdout);
    processVstopAll();
    printf("Running shutdown script (%s).\n", STOP_SCRIPT);
    fflush(stdout);
    filesIrunShell(STOP_SCRIPT);
    printf("Unloading all libraries.\n");
    dlibmgtVunloadAll();
}

void morvVshutdown()
{
    if (!g_startupFinished && morvBhasMainThread() && !pthread_equal(pthread_self(), g_mainThread))
        pthread_cancel(g_mainThread);
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
