#include "driver.h"

#include "log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
int pmrFd = -1;

int request(unsigned long code, long argument)
{
    if (pmrFd < 0) {
        errno = EBADF;
        return -1;
    }
    return ioctl(pmrFd, code, argument) < 0 ? -1 : 0;
}

int request(unsigned long code, void *argument)
{
    return request(code, reinterpret_cast<long>(argument));
}
}  // namespace

int pmrSopen()
{
    const std::string device = std::string("/dev/") + PMR_DEVICE_NAME;
    pmrFd = open(device.c_str(), O_RDONLY);
    if (pmrFd < 0) {
        morvVlog("Open device /dev/%s failed. Error: %s\n", PMR_DEVICE_NAME, strerror(errno));
        return -1;
    }
    return 0;
}

bool pmrBisOpen() { return pmrFd >= 0; }

void pmrVclose()
{
    if (pmrFd >= 0) close(pmrFd);
    pmrFd = -1;
}

int pmrSstartWatchdog() { return request(PMR_WATCHDOG_START, 0L); }
int pmrSstopWatchdog() { return request(PMR_WATCHDOG_STOP, 0L); }
int pmrSrefreshWatchdog() { return request(PMR_WATCHDOG_REFRESH, 0L); }
int pmrSledOn() { return request(PMR_LED_ON, 0L); }
int pmrSledOff() { return request(PMR_LED_OFF, 0L); }
int pmrSgetNetConfig(NetConfig *config) { return request(PMR_GET_NETCONF, config); }
int pmrSsetPid(pid_t pid) { return request(PMR_SET_PID, static_cast<long>(pid)); }
int pmrSgetCpuConfig(CpuConfig *config) { return request(PMR_GET_CPUCONF, config); }
int pmrSactivateOneshot() { return request(PMR_ACTIVATE_ONESHOT, 0L); }
int pmrSgetOneshot(OneshotStatus *status) { return request(PMR_GETSTAT_ONESHOT, status); }
int pmrSresetSwapflag() { return request(PMR_RESET_SWAPFLAG, 0L); }
int pmrSgetResetStatus(uint32_t *status) { return request(PMR_GET_RESET_STATUS, status); }

int pmrSackResetStatus()
{
    uint32_t cause = PMR_RESET_WATCHDOG;
    return request(PMR_ACK_RESET_STATUS, &cause);
}

int pmrSgetLibraryName(char *name, size_t size)
{
    if (size == 0) {
        errno = EINVAL;
        return -1;
    }
    // The driver fills a buffer of its own size; the caller's may be smaller.
    char buffer[PMR_LIBNAME_SIZE] = {};
    const int result = request(PMR_GET_LIBNAME, buffer);
    buffer[sizeof buffer - 1] = '\0';
    snprintf(name, size, "%s", result == 0 ? buffer : "");
    return result;
}
