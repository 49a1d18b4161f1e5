#include "watchdog.h"

#include "driver.h"
#include "log.h"
#include "morvash.h"
#include "process.h"
#include "resetlog.h"
#include "shutdown.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace {
constexpr int WATCHDOG_PRIORITY = 99;
constexpr int STEPS_PER_ROUND = 5;
constexpr int BLINKS_BIOS_COPY_KO = 5;
constexpr int BLINKS_HALTED = 6;
constexpr int BLINKS_BOOSTER_ERROR = 7;
constexpr int BLINK_ON_MS = 100;
constexpr int BLINK_OFF_MS = 300;
constexpr int BLINK_PAUSE_MS = 3000;
constexpr int NORMAL_ON_MS = 1000;
constexpr int SHUTTING_DOWN_ON_MS = 200;
constexpr int NORMAL_OFF_MS = 1000;
constexpr char HALT_LINE[] = "\t*** ERROR *** LP_CM INIT FAILED ***\n";
static_assert(sizeof HALT_LINE - 1 == 37, "the serial line gets 37 bytes");

std::atomic<int> serialLine{-1};
std::atomic<bool> haltStarted{false};
bool ledOnNext = true;

void normalPhase()
{
    if (ledOnNext) {
        if (pmrSledOn() != 0) morvVlog("Error on ioctl in led management: %s\n", strerror(errno));
        processVpause(g_shuttingDown ? SHUTTING_DOWN_ON_MS : NORMAL_ON_MS);
    } else {
        if (pmrSledOff() != 0) morvVlog("Error on ioctl in led management: %s\n", strerror(errno));
        processVpause(NORMAL_OFF_MS);
    }
    ledOnNext = !ledOnNext;
}

// Stopping everything takes minutes; it runs here, so the watchdog thread goes on feeding the watchdog.
void *watchdogVthHalt(void *)
{
    morvVstopEverything();
    morvVcopyLogToDebug();
    printf("\n\t***************************************\n");
    printf("\t* System halt asked by LP_CM: init KO *\n");
    printf("\t***************************************\n\n");
    fflush(stdout);
    const int fd = open(SERIAL_LINE, O_WRONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) morvVlog("watchdog_entry: error (%d -%s) opening %s\n", errno, strerror(errno), SERIAL_LINE);
    serialLine = fd;
    g_halted = true;
    return nullptr;
}

void haltWhenAsked()
{
    if (!g_lpcmInitKo || g_halted || haltStarted.exchange(true)) return;
    morvVlog("System halt asked by LP_CM: init KO");
    g_shuttingDown = true;
    pthread_t halt;
    if (morvSpthreadCreate(&halt, nullptr, watchdogVthHalt, nullptr) == 0)
        pthread_detach(halt);
    else
        haltStarted = false;
}
}  // namespace

int morvIblinkLeds(int n)
{
    for (int i = 0; i < n; ++i) {
        if (pmrSledOn() != 0) return -1;
        processVpause(BLINK_ON_MS);
        if (pmrSledOff() != 0) return -1;
        processVpause(BLINK_OFF_MS);
    }
    if (pmrSledOff() != 0) return -1;
    processVpause(BLINK_PAUSE_MS);
    return 0;
}

void *watchdog_entry(void *)
{
    if (!pmrBisOpen()) return nullptr;
    for (;;) {
        if (pmrSrefreshWatchdog() != 0) morvVlog("Error on ioctl in watchdog: %s\n", strerror(errno));
        for (int step = 0; step < STEPS_PER_ROUND; ++step) {
            if (g_biosCopyKo)
                morvIblinkLeds(BLINKS_BIOS_COPY_KO);
            else if (g_halted)
                morvIblinkLeds(BLINKS_HALTED);
            else if (g_boosterError)
                morvIblinkLeds(BLINKS_BOOSTER_ERROR);
            else
                normalPhase();
            haltWhenAsked();
        }
        const int fd = serialLine;
        if (g_halted && fd >= 0) {
            // A full or gone serial line loses this round's line; the next round writes it again.
            const ssize_t written = write(fd, HALT_LINE, sizeof HALT_LINE - 1);
            (void)written;
        }
    }
}

int start_watchdog()
{
    pthread_attr_t attributes;
    int status = pthread_attr_init(&attributes);
    if (status != 0) {
        morvVlog("start_watchdog: Error on pthread_attr_init: %s\n", strerror(status));
        return -1;
    }
    int result = -1;
    sched_param priority{};
    priority.sched_priority = WATCHDOG_PRIORITY;
    // Without an explicit scheduling the thread would take the creator's policy and ignore these.
    if ((status = pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED)) != 0 ||
        (status = pthread_attr_setschedpolicy(&attributes, SCHED_FIFO)) != 0) {
        morvVlog("start_watchdog: Error on pthread_attr_schedpolicy: %s\n", strerror(status));
    } else if ((status = pthread_attr_setschedparam(&attributes, &priority)) != 0) {
        morvVlog("start_watchdog: Error on pthread_attr_schedparam: %s\n", strerror(status));
    } else {
        pthread_t thread;
        status = morvSpthreadCreate(&thread, &attributes, watchdog_entry, nullptr);
        if (status != 0) {
            morvVlog("start_watchdog: Error on morvSpthreadCreate: %s\n", strerror(status));
        } else {
            pthread_detach(thread);
            result = 0;
        }
    }
    if ((status = pthread_attr_destroy(&attributes)) != 0)
        morvVlog("start_watchdog: Error on pthread_attr_destroy: %s\n", strerror(status));
    return result;
}
