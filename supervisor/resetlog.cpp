#include "resetlog.h"

#include "files.h"
#include "log.h"
#include "morvash.h"
#include "process.h"
#include "shutdown.h"
#include "swap.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr mode_t DEBUG_DIR_MODE = 0755;
constexpr const char *CURRENT_CORE = "/current/core";
constexpr const char *DEBUG_CORE = "/mnt/soft/debug/core";
constexpr const char *WORK_FILE = "/debug/work.dat";
constexpr const char *DEBUG_WORK_FILE = "/mnt/soft/debug/work.dat";

std::atomic<bool> fatalSeen{false};

// Whole lines, however long: the shift that follows counts them so too.
int countLines(FILE *f)
{
    char *line = nullptr;
    size_t capacity = 0;
    int lines = 0;
    while (getline(&line, &capacity, f) > 0) ++lines;
    free(line);
    return lines;
}

void printTailOfLog()
{
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("tail", "tail", "-n", "4", MAIN_LOG, static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid < 0) return;
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}
}  // namespace

void morvVmakeResetRecord(ResetRecord *record, const char *source, int line, int severity, const char *message)
{
    memset(record, 0, sizeof *record);
    snprintf(record->source, sizeof record->source, "%.15s", source);
    record->line = line;
    record->severity = severity;
    snprintf(record->message, sizeof record->message, "%.42s", message);
}

void VShiftLinesInFile(FILE *file)
{
    rewind(file);
    std::vector<std::string> lines;
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, file)) > 0) lines.emplace_back(line, length);
    free(line);
    if (lines.empty()) {
        morvVlog("MORVASH: VShiftLinesInFile: problem with first line in file ! \n");
        return;
    }
    // The newest lines stay: with the record written next the file holds MAX_NBR_RESETS lines.
    const size_t keep = std::min(lines.size() - 1, static_cast<size_t>(MAX_NBR_RESETS - 1));
    rewind(file);
    for (size_t i = lines.size() - keep; i < lines.size(); ++i) {
        if (fwrite(lines[i].data(), 1, lines[i].size(), file) != lines[i].size()) {
            morvVlog("MORVASH: VShiftLinesInFile: problem with shift ! \n");
            break;
        }
    }
    fflush(file);
    if (ftruncate(fileno(file), ftell(file)) != 0) morvVlog("MORVASH: VShiftLinesInFile: problem with shift ! \n");
}

FILE *BOpenFile()
{
    if (FILE *existing = fopen(RESET_LOG, "r")) {
        const int lines = countLines(existing);
        fclose(existing);
        if (lines < MAX_NBR_RESETS) {
            FILE *f = fopen(RESET_LOG, "a");
            if (!f) morvVlog("MORVASH: BOpenFile: Problem with 'kind of reset' file (open with append KO) \n");
            return f;
        }
        if (lines > MAX_NBR_RESETS) morvVlog("MORVASH: BOpenFile: current number of lines > MAX_NBR_RESETS !!! \n");
        FILE *f = fopen(RESET_LOG, "r+");
        if (!f) {
            morvVlog("MORVASH: BOpenFile: Problem with 'kind of reset' file (open with r+w KO) \n");
            return nullptr;
        }
        VShiftLinesInFile(f);
        return f;
    }
    struct stat st;
    if (stat(DEBUG_DIR, &st) != 0 && mkdir(DEBUG_DIR, DEBUG_DIR_MODE) != 0) {
        morvVlog("BOpenFile: Directory %s does not exist and can not be created.\nError: %s\n", DEBUG_DIR,
                 strerror(errno));
        return nullptr;
    }
    FILE *f = fopen(RESET_LOG, "w");
    if (!f) morvVlog("MORVASH: BOpenFile: problem with 'kind of reset' file (open with write KO) \n");
    return f;
}

void VStoreResetInfo(const ResetRecord *record)
{
    FILE *f = BOpenFile();
    if (!f) {
        morvVlog("MORVASH: VStoreResetInfo: No reset informations have been stored !!! \n");
        return;
    }
    const time_t now = time(nullptr);
    char date[32];
    ctime_r(&now, date);
    fprintf(f, "%-24.24s %.15s %ld %d %.42s\n", date, record->source, static_cast<long>(record->line),
            record->severity, record->message);
    fclose(f);
}

void morvVcopyLogToDebug()
{
    printf("\n\t******************************************************************\n");
    printf("\t* (for more details, see MORVASH log file /mnt/soft/debug/morvash.log ) *\n");
    printf("\t******************************************************************\n\n");
    struct stat st;
    const bool append = stat(DEBUG_LOG_COPY, &st) != 0 || st.st_size < DEBUG_LOG_COPY_LIMIT;
    filesScopy(MAIN_LOG, DEBUG_LOG_COPY, append);
}

void morvVresetFatalHandler()
{
    fatalSeen = false;
}

int morvVsignalErrorAndExit(const char *source, int line, int severity, const char *message)
{
    if (fatalSeen.exchange(true)) return 0;

    printf("\n\t*****************************************************\n");
    printf("\t*               An error occured !!!                *\n");
    printf("\t* (for more details, see file %20s) *\n", MAIN_LOG);
    printf("\t*****************************************************\n\n");
    printf("\t  END OF LOG :\n");
    fflush(stdout);
    printTailOfLog();
    printf("\t*****************************************************\n\n");

    ResetRecord record;
    morvVmakeResetRecord(&record, source, line, severity, message);
    VStoreResetInfo(&record);

    if (g_swapInProgress) morvVsetBackswap();
    morvVcopyLogToDebug();

    if (filesBreadable(CURRENT_CORE)) filesScopy(CURRENT_CORE, DEBUG_CORE, false);
    filesIrunShell("cp -f /current/core.* /mnt/soft/debug/");
    filesIrunShell("chmod go+rw /mnt/soft/debug/core.*");
    if (filesBreadable(WORK_FILE)) filesScopy(WORK_FILE, DEBUG_WORK_FILE, false);
    fflush(stdout);

    if (!g_rebootOnFatal) return 0;

    if (processBonSupervisionThread()) {
        printf("morvVsignalErrorAndExitcalled by the supervision thread itself : shutting down SYNCHRONOUSLY\n");
        g_shuttingDown = true;
        morvVshutdown();
    }
    if (!processBsupervisionRunning()) {
        // Nobody else would carry the shut-down out.
        g_shuttingDown = true;
        morvVshutdown();
    }
    processVrequestShutdown();
    pthread_exit(reinterpret_cast<void *>(-1));
}
