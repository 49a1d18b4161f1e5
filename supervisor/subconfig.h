// Configuration items of "config.rc" and their sub-configurations "conf.rc": the one-time migration of
// the item table, the item links in "/current/", and the lines that start programs, daemons, modules,
// loop-back images and uncompressions.
#pragma once

#include "process.h"

#include <string>

constexpr const char *CONFIG_RC = "/mnt/soft/boot/config.rc";
constexpr const char *CURRENT_DIR = "/current/";
constexpr const char *SOFT_DIR = "/mnt/soft/";
constexpr const char *FLASHEXT_DIR = "/mnt/flashext/";
constexpr const char *HDEXT_DIR = "/mnt/hdext/";
constexpr const char *SUBCONFIG_NAME = "conf.rc";
constexpr const char *PHONE_ITEM = "apppac";    // its presence makes the phone start prepare network boot

constexpr int SUBCONFIG_NOT_FOUND = -2;         // parse result: the file could not be opened
constexpr int SUBCONFIG_LINE_SIZE = 150;        // 149 characters and the terminator

constexpr int ONESHOT_DEFAULT_TIMEOUT = 240;
constexpr int DEAMON_DEFAULT_TIMEOUT = 240;
constexpr int INHOUSE_DEFAULT_TIMEOUT = 30;
constexpr int PHONE_DEFAULT_WAIT = 30;

// Rewrites a table older than version 2 at PATH with the items' locations. 0, or -1 after a fatal error
// (which returns only under "-noreboot").
int morvImigrateConfig(const char *path);

// Links "/current/boot" and every chosen item's short base name in "/current/"; 0 or -1.
int do_links();

// Carries out the sub-configuration of item INDEX. 0, -1, or SUBCONFIG_NOT_FOUND when the file is
// missing or when the item has no location or name and its first start flag is clear (only a warning;
// the item's name may then be null).
int parse_subconfig(int index);

// Carries out one program line of the sub-configuration file PATH by its letter (mount, module, start of
// a program ...); 0 when done.
int morvIstartSubconfigLine(char letter, const char *rest, const char *path);
// Carries out the lines of one sub-configuration file, each through ACT (the reader's tests give their
// own); 0, -1 or SUBCONFIG_NOT_FOUND.
int morvIparseSubconfig(const char *path,
                        int (*act)(char letter, const char *rest, const char *path) = morvIstartSubconfigLine);

// One program line: "path params | failure parameter [| options]".
struct BinaryLine {
    char path[PROG_PATH_SIZE];
    char params[PROG_PARAMS_SIZE];
    char failParam;
    bool hasTimeout;                            // "time_out:" was given
    int timeout;
};
int parse_formated_string_for_binary(const char *rest, BinaryLine *line);
// Reads "time_out:<decimal>" from a line's options text into TIMEOUT (GIVEN set); false for a malformed
// value, true when there is none.
bool morvBparseTimeout(const std::string &options, bool *given, int *timeout);

// The starters of the program letters; each takes the rest of its line and returns 0 or -1.
int start_oneshot_binary(const char *rest);
int start_deamon_binary(const char *rest);
int start_external_binary(const char *rest);
int start_brenvik_binary(const char *rest);
// The phone binary: prepares the co-CPU boards' network boot when the table holds "apppac", starts the
// in-house program and waits for LP_CM to report it started (message 8) or failed (message 12).
int start_phone_binary(const char *rest);

// Stops the supervised process of SESSION; 0, or -11 when there is none.
int stop_bootdown(const char *session);

// The co-CPU boards' boot servers: DOWNS, then BOOTPD when DOWNS started; 0 or -1.
int morvIlaunch_bootpd_downs();

// The start condition, signalled by LP_CM's notices and waited for by the phone binary's start and the
// swap confirmation. Each notice is counted, so one that arrives before its wait begins is not lost.
enum StartEvent : unsigned {
    START_EVENT_PHONE_STARTED = 1u << 0,        // message 8
    START_EVENT_SWAP_STATUS = 1u << 1,          // message 9
    START_EVENT_LPCM_INIT_KO = 1u << 2,         // message 12
    START_EVENT_SHUTDOWN = 1u << 3,             // the message server has stopped: nothing more will come
};
struct StartConditionMark {
    unsigned long counts[4];
};
void morvVsignalStartCondition(StartEvent event);
// The notices counted so far: a wait ends at the first of EVENTS after the mark.
StartConditionMark morvSmarkStartCondition();
// 0 once one of EVENTS came after MARK, ETIMEDOUT after SECONDS, or the error of the wait.
int morvIwaitStartCondition(const StartConditionMark &mark, unsigned events, int seconds);
void morvVresetStartCondition();  // no notice counted, as at load
