// The supervisor's side of the board driver: one descriptor shared by all threads, one wrapper per
// request. Each wrapper returns 0, or -1 with errno set (EBADF when the driver is not open).
#pragma once

#include "pmr.h"

#include <sys/types.h>

int pmrSopen();                       // opens "/dev/pmr" read-only; logs and returns -1 on failure
bool pmrBisOpen();
void pmrVclose();

int pmrSstartWatchdog();
int pmrSstopWatchdog();
int pmrSrefreshWatchdog();
int pmrSledOn();
int pmrSledOff();
int pmrSgetNetConfig(NetConfig *config);
int pmrSsetPid(pid_t pid);
int pmrSgetCpuConfig(CpuConfig *config);
int pmrSactivateOneshot();
int pmrSgetOneshot(OneshotStatus *status);
int pmrSresetSwapflag();
int pmrSgetLibraryName(char *name, size_t size);  // always NUL-terminated
int pmrSgetResetStatus(uint32_t *status);
int pmrSackResetStatus();
