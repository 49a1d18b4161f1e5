// Shut-down requests (power off, watchdog NMI, SIGTERM) and the ordered shut-down of the board.
#pragma once

constexpr const char *STOP_SCRIPT = "/current/stop.sh";
constexpr const char *INODE_LIST_SCRIPT = "/usr/sbin/get_inode_list.sh";

// Installs the shut-down signals' handler and tells the driver which process gets signals 30 and 31.
void init_shutdown();
// The handler only notes the signal; the signal thread stores the record and asks for the shut-down.
void morvVonShutdownSignal(int signal);

void morvVstopEverything();
// Stops everything, flushes the file systems and asks process 1 to restart the board. Never returns.
[[noreturn]] void morvVshutdown();
