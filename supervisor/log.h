// The supervisor's text logs: each line prefixed by the local time.
#pragma once

#include <cstdarg>

constexpr const char *MAIN_LOG = "/var/log/morvash";
constexpr const char *RESOURCES_LOG = "/var/log/resources.log";
constexpr const char *START_INFO_LOG = "/var/log/start_info.log";

void morvVlog(const char *format, ...) __attribute__((format(printf, 1, 2)));
void morvVlogResources(const char *format, ...) __attribute__((format(printf, 1, 2)));
void morvVreport_startup_info(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Appends one prefixed line to LOG (standard error when it cannot be opened).
void morvVlogTo(const char *log, const char *format, va_list args);
