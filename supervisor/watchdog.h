// The real-time thread that feeds the board's hardware watchdog and shows the supervisor's state on the
// status LED, and halts the board when LP_CM reports a failed initialisation.
#pragma once

constexpr const char *SERIAL_LINE = "/dev/ttyS0";

int start_watchdog();
void *watchdog_entry(void *);
// N short blinks then a 3 s pause; -1 when an LED request failed and the blinking ended early.
int morvIblinkLeds(int n);
