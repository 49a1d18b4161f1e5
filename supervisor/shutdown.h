// The ordered shut-down of the board.
#pragma once

constexpr const char *STOP_SCRIPT = "/current/stop.sh";

void morvVstopEverything();
// Stops everything, flushes the file systems and asks process 1 to restart the board. Never returns.
[[noreturn]] void morvVshutdown();
