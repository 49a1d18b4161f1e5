// The supervisor's text logs: each line prefixed by the local time.
#pragma once

constexpr const char *MAIN_LOG = "/var/log/morvash";
constexpr const char *RESOURCES_LOG = "/var/log/resources.log";
constexpr const char *START_INFO_LOG = "/var/log/start_info.log";

void morvVlog(const char *format, ...) __attribute__((format(printf, 1, 2)));
void morvVlogResources(const char *format, ...) __attribute__((format(printf, 1, 2)));
void morvVreport_startup_info(const char *format, ...) __attribute__((format(printf, 1, 2)));

constexpr int LOG_PREFIX_SIZE = 32;

// The time prefix of a log line for now.
void morvVlogPrefix(char (&prefix)[LOG_PREFIX_SIZE]);
// A line to the main log from a forked child, with a prefix taken before the fork: the time zone lock
// may have been held by another thread when the child was forked.
void morvVlogInChild(const char *prefix, const char *format, ...) __attribute__((format(printf, 2, 3)));
