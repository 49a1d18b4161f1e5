// The bounded reset log in the debug area, the copies kept there, and the one handler of fatal errors.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int RESET_SOURCE_SIZE = 16;
constexpr int RESET_MESSAGE_SIZE = 44;
constexpr int RESET_SEVERITY = 3;
constexpr int MAX_NBR_RESETS = 50;

constexpr const char *DEBUG_DIR = "/mnt/soft/debug";
constexpr const char *RESET_LOG = "/mnt/soft/debug/reset.log";
constexpr const char *DEBUG_LOG_COPY = "/mnt/soft/debug/morvash.log";
constexpr long DEBUG_LOG_COPY_LIMIT = 50000;

struct ResetRecord {
    char source[RESET_SOURCE_SIZE];    // at most 15 characters
    int32_t line;
    int32_t severity;
    char message[RESET_MESSAGE_SIZE];  // at most 42 characters
};
static_assert(sizeof(ResetRecord) == 68, "message 6 carries the record as stored");

// Fills RECORD, cutting the texts to their fields.
void morvVmakeResetRecord(ResetRecord *record, const char *source, int line, int severity, const char *message);

void VStoreResetInfo(const ResetRecord *record);
FILE *BOpenFile();
void VShiftLinesInFile(FILE *file);
void morvVcopyLogToDebug();

// Records a fatal error and shuts the board down (unless "-noreboot"). Runs once; a later call returns 0.
int morvVsignalErrorAndExit(const char *source, int line, int severity, const char *message);
void morvVresetFatalHandler();  // armed again, as at load
