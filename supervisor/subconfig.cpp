#include "subconfig.h"

#include "clock.h"
#include "dlibmgt.h"
#include "files.h"
#include "log.h"
#include "loopback.h"
#include "modules.h"
#include "morvash.h"
#include "resetlog.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr const char *BOOT_LINK = "/current/boot";
constexpr const char *BOOT_TARGET = "/mnt/soft/boot/";
constexpr mode_t CURRENT_DIR_MODE = 0755;
constexpr const char *TIMEOUT_OPTION = "time_out:";
constexpr int MAX_TIMEOUT = INT_MAX / 2;        // room for an in-house program's extra tenth
constexpr size_t MAX_PATH_LENGTH = PROG_PATH_SIZE - 1;
constexpr size_t MAX_PARAMS_LENGTH = PROG_PARAMS_SIZE - 1;
constexpr int START_EVENT_KINDS = 4;

const char *const SESSION_DOWNS = "DOWNS";
const char *const SESSION_BOOTPD = "BOOTPD";
constexpr const char *DOWNS_PATH = "/usr/bin/downs";
constexpr const char *BOOTPD_PATH = "/usr/bin/bootpd";
constexpr const char *BOOTPD_PARAMS = "-s";
constexpr int BOOT_SERVER_TIMEOUT = 30;

// Where an item may be installed, in the order the migration looks.
struct Location {
    const char *letter;
    const char *directory;
    uint8_t ConfigItem::*found;
};
const Location locations[] = {
    {"S", SOFT_DIR, &ConfigItem::inSoft},
    {"X", FLASHEXT_DIR, &ConfigItem::inFlashext},
    {"H", HDEXT_DIR, &ConfigItem::inHdext},
};

pthread_mutex_t startMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t startCondition = PTHREAD_COND_INITIALIZER;
unsigned long startCounts[START_EVENT_KINDS];

bool eventCame(const StartConditionMark &mark, unsigned events)
{
    for (int kind = 0; kind < START_EVENT_KINDS; ++kind) {
        if ((events & (1u << kind)) && startCounts[kind] != mark.counts[kind]) return true;
    }
    return false;
}

std::string shortBasename(const char *name)
{
    std::string out(strlen(name) + 1, '\0');
    if (g_boardLibs.confSshort_basename(name, &out[0]) != 0) return "";
    out.resize(strlen(out.c_str()));
    return out;
}

const Location *itemLocation(const ConfigItem &item)
{
    for (const Location &l : locations) {
        if (item.*l.found) return &l;
    }
    return nullptr;
}

bool chosenByStartMode(const ConfigItem &item)
{
    if (g_startMode == 'A') return true;
    for (uint8_t flag : item.startFlags) {
        if (flag) return true;
    }
    return false;
}

}  // namespace

bool morvBparseTimeout(const std::string &options, bool *given, int *timeout)
{
    const size_t at = options.find(TIMEOUT_OPTION);
    if (at == std::string::npos) return true;
    const char *digits = options.c_str() + at + strlen(TIMEOUT_OPTION);
    if (*digits < '0' || *digits > '9') return false;
    char *end;
    errno = 0;
    const long value = strtol(digits, &end, 10);
    if (errno != 0 || value > MAX_TIMEOUT) return false;
    *given = true;
    *timeout = static_cast<int>(value);
    return true;
}

namespace {

// Reads the next line of F, without its newline, into LINE (its first SUBCONFIG_LINE_SIZE characters):
// false at the end of the file. The whole line is read, so the next one starts where it should;
// TOO_LONG when it has more than SUBCONFIG_LINE_SIZE - 1 characters (a final CR not counted), NUL when it
// holds a NUL byte.
bool readLine(FILE *f, std::string *line, bool *tooLong, bool *nul)
{
    line->clear();
    *nul = false;
    size_t length = 0;
    int last = 0;
    int c = getc(f);
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = getc(f)) {
        if (c == '\0') *nul = true;
        if (line->size() < static_cast<size_t>(SUBCONFIG_LINE_SIZE)) *line += static_cast<char>(c);
        ++length;
        last = c;
    }
    if (last == '\r') --length;
    *tooLong = length > static_cast<size_t>(SUBCONFIG_LINE_SIZE - 1);
    return true;
}

enum class After { Join, Detach };

// Takes an entry, fills it from the line and starts it. NAME prefixes the starter's messages.
int startBinary(const char *name, const char *rest, char type, int defaultTimeout, int (*timeoutOf)(const BinaryLine &),
                After (*afterStart)(int timeout))
{
    if (!rest) {
        morvVlog("%s: no binary specified\n", name);
        return -1;
    }
    const int index = morvIGetFreeTableEntry();
    if (index < 0) {
        morvVlog("%s failed: no more free entries in the process table\n", name);
        return -1;
    }
    BinaryLine line;
    if (parse_formated_string_for_binary(rest, &line) != 0) {
        morvVlog("%s: Error parsing formatted string\n", name);
        processVfreeEntry(index);
        return -1;
    }
    if (!line.hasTimeout) line.timeout = defaultTimeout;
    const int timeout = timeoutOf ? timeoutOf(line) : line.timeout;
    processVsetProgram(index, "", type, line.path, line.params, timeout, "", "", line.failParam);
    if (type == TYPE_DEAMON) g_processTable[index].restartTimes[0] = static_cast<int32_t>(clockIseconds());
    pthread_t thread;
    if (processIStartProcess(index, &thread) != 0) {
        morvVlog("%s: Error starting binary %s\n", name, line.path);
        processVfreeEntry(index);
        return -1;
    }
    if (afterStart(timeout) == After::Detach) {
        pthread_detach(thread);
        return 0;
    }
    const int status = pthread_join(thread, nullptr);
    if (status != 0) {
        morvVlog("%s: Error joining thread launching %s: %s\n", name, line.path, strerror(status));
        return -1;
    }
    return 0;
}

After joinWithTimeout(int timeout)
{
    return timeout >= 1 ? After::Join : After::Detach;
}

After detach(int)
{
    return After::Detach;
}

int inhouseTimeout(const BinaryLine &line)
{
    return line.timeout + line.timeout / 10;
}

int externalTimeout(const BinaryLine &)
{
    return NO_TIMEOUT;
}

// A built-in boot server, started and left to its thread.
int launchBootServer(const char *session, const char *path, const char *params)
{
    const int index = morvIGetFreeTableEntry();
    if (index < 0) {
        morvVlog("morvIlaunch_bootpd_downs failed: no more free entries in the process table\n");
        return -1;
    }
    processVsetProgram(index, session, TYPE_EXTERNAL, path, params, BOOT_SERVER_TIMEOUT, "", "", FAIL_TOLERATE);
    pthread_t thread;
    if (processIStartProcess(index, &thread) != 0) {
        morvVlog("morvIlaunch_bootpd_downs: Error starting binary %s\n", path);
        processVfreeEntry(index);
        return -1;
    }
    pthread_detach(thread);
    return 0;
}

void stopBootServers()
{
    stop_bootdown(SESSION_DOWNS);
    stop_bootdown(SESSION_BOOTPD);
}
}  // namespace

void morvVsignalStartCondition(StartEvent event)
{
    pthread_mutex_lock(&startMutex);
    for (int kind = 0; kind < START_EVENT_KINDS; ++kind) {
        if (event & (1u << kind)) ++startCounts[kind];
    }
    pthread_cond_broadcast(&startCondition);
    pthread_mutex_unlock(&startMutex);
}

StartConditionMark morvSmarkStartCondition()
{
    StartConditionMark mark;
    pthread_mutex_lock(&startMutex);
    memcpy(mark.counts, startCounts, sizeof mark.counts);
    pthread_mutex_unlock(&startMutex);
    return mark;
}

int morvIwaitStartCondition(const StartConditionMark &mark, unsigned events, int seconds)
{
    const struct timespec deadline = clockOafter(seconds * 1000L);
    int status = pthread_mutex_lock(&startMutex);
    if (status != 0) return status;
    // The start sequence waits here, and a shut-down cancels it: the mutex must not stay taken, or LP_CM's
    // next notice would hold the message server, which the shut-down then waits for.
    pthread_cleanup_push([](void *) { pthread_mutex_unlock(&startMutex); }, nullptr);
    while (!eventCame(mark, events) && status == 0) status = clockIwaitCondition(&startCondition, &startMutex, deadline);
    if (eventCame(mark, events)) status = 0;
    pthread_cleanup_pop(1);
    return status;
}

void morvVresetStartCondition()
{
    pthread_mutex_lock(&startMutex);
    memset(startCounts, 0, sizeof startCounts);
    pthread_mutex_unlock(&startMutex);
}

int morvImigrateConfig(const char *path)
{
    ItemTable &table = g_itemTable;
    table.version = 2;
    for (uint32_t i = 0; i < table.count && i < MAX_CONFIG_ITEMS; ++i) {
        ConfigItem &item = table.items[i];
        if (!item.name || !item.startFlags[0]) continue;
        const Location *found = nullptr;
        for (const Location &l : locations) {
            if (filesBdirExists((std::string(l.directory) + item.name).c_str())) {
                found = &l;
                break;
            }
        }
        if (!found) {
            morvVlog("Error migrating config.rc file to version 2: %s not found\n", item.name);
            morvVsignalErrorAndExit(MORVASH_SOURCE, 410, RESET_SEVERITY, "Error in config.rc");
            continue;
        }
        item.location = const_cast<char *>(found->letter);
        item.*found->found = 1;
    }
    if (g_boardLibs.confSconfig_file(path, &table) == -1) {
        morvVlog("Error migrating config.rc file to version 2: %s\n", g_boardLibs.conf_error);
        morvVsignalErrorAndExit(MORVASH_SOURCE, 419, RESET_SEVERITY, "Error in config.rc");
        return -1;
    }
    morvVlog("config.rc file migrated to version 2\n");
    return 0;
}

int do_links()
{
    if (!filesBdirExists(CURRENT_DIR) && mkdir(CURRENT_DIR, CURRENT_DIR_MODE) != 0) {
        morvVlog("Directory %s does not exist and can not be created.\nError: %s\n", CURRENT_DIR, strerror(errno));
        return -1;
    }
    if (!filesBdirExists(BOOT_TARGET)) {
        morvVlog("do_links: target directory %s does not exists !\n", BOOT_TARGET);
        return -1;
    }
    if (filesSreplaceLink(BOOT_TARGET, BOOT_LINK) != 0) {
        morvVlog("do_links: link creation of %s to %s failed with error: %s\n", BOOT_LINK, BOOT_TARGET,
                 strerror(errno));
        return -1;
    }
    int result = 0;
    const ItemTable &table = g_itemTable;
    for (uint32_t i = 0; i < table.count && i < MAX_CONFIG_ITEMS; ++i) {
        const ConfigItem &item = table.items[i];
        if (!chosenByStartMode(item) || !item.location || !item.name || strchr(item.link, 'N')) continue;
        const std::string base = shortBasename(item.name);
        if (base.empty()) {
            morvVlog("do_links: error extracting short basename of %s. (do_links doesn't find any _a or _b in this path)\n",
                     item.name);
            result = -1;
            continue;
        }
        const Location *location = itemLocation(item);
        if (!location) {
            morvVlog("do_links: warning unkown software location [%s]\n", item.location);
            result = -1;
            continue;
        }
        const std::string target = std::string(location->directory) + item.name;
        if (!filesBdirExists(target.c_str())) {
            morvVlog("do_links: target directory %s does not exists !\n", target.c_str());
            if (item.startFlags[0]) result = -1;
            continue;
        }
        const std::string link = CURRENT_DIR + base;
        if (filesSreplaceLink(target.c_str(), link.c_str()) != 0) {
            morvVlog("do_links: link creation of %s to %s failed with error: %s\n", link.c_str(), target.c_str(),
                     strerror(errno));
            result = -1;
        }
    }
    return result;
}

int parse_subconfig(int index)
{
    const ConfigItem &item = g_itemTable.items[index];
    if (!item.location || !item.name) {
        morvVlog("parse_subconfig: Warning item %s not started (no location and path available)\n",
                 item.second ? item.second : "");
        // An optional item the migration found nowhere stays without a location: a warning, not a reset
        // at every start.
        return item.startFlags[0] ? -1 : SUBCONFIG_NOT_FOUND;
    }
    std::string path = CURRENT_DIR + shortBasename(item.name) + "/" + SUBCONFIG_NAME;
    if (item.suffix[0] != '\0') {
        const std::string suffixed = path + "_" + item.suffix;
        if (access(suffixed.c_str(), F_OK) == 0) path = suffixed;
    }
    g_currentItem = index;
    return morvIparseSubconfig(path.c_str());
}

int morvIstartSubconfigLine(char letter, const char *rest, const char *path)
{
    switch (letter) {
    case 'A': return start_brenvik_binary(rest);
    case 'C': return loopbackSmount_loopback(rest, true);
    case 'L': return loopbackSmount_loopback(rest, false);
    case 'D': return start_deamon_binary(rest);
    case 'E': return start_external_binary(rest);
    case 'M': return modulesSinsertCompressedModule(rest);
    case 'O': return modulesSinsertModule(rest);
    case 'S': return start_oneshot_binary(rest);
    case 'T': return start_phone_binary(rest);
    case 'Z': return filesSuncompress(rest);
    default:
        morvVlog("morvIparseSubconfig: Unknown identifier %c (file %s)\n", letter, path);
        return 0;
    }
}

int morvIparseSubconfig(const char *path, int (*act)(char letter, const char *rest, const char *path))
{
    morvVlog("\n");
    morvVlog("Parsing sub-config file %s ...\n", path);
    FILE *f = fopen(path, "r");
    if (!f) {
        morvVlog("Error opening sub-config file %s : %s (errno=%d)\n", path, strerror(errno), errno);
        return SUBCONFIG_NOT_FOUND;
    }
    std::string text;
    bool tooLong, nul;
    while (readLine(f, &text, &tooLong, &nul)) {
        // A line longer than 149 characters is refused whole: its pieces are not lines of their own.
        if (tooLong) {
            morvVlog("morvIparseSubconfig error: line longer than %d characters in %s (ignored): %s...\n",
                     SUBCONFIG_LINE_SIZE - 1, path, text.substr(0, SUBCONFIG_LINE_SIZE - 1).c_str());
            continue;
        }
        // What follows a NUL byte would be read as nothing: the line is refused, not cut.
        if (nul) {
            morvVlog("morvIparseSubconfig error: line with a NUL character in %s (ignored): %s\n", path, text.c_str());
            continue;
        }
        char line[SUBCONFIG_LINE_SIZE];
        snprintf(line, sizeof line, "%s", text.c_str());
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] == '\0' || line[0] == '#') continue;
        if (strncmp(line, "bin-allowed", 11) == 0 || strncmp(line, "shutdown", 8) == 0) break;

        char *letterField = strchr(line, '|');
        if (letterField) *letterField++ = '\0';
        const char *mode = line;
        if (!strchr(mode, 'M') && !strchr(mode, 'A')) {
            morvVlog("morvIparseSubconfig error: invalid line %s|%s. First field must be 'M', 'A', or 'M+A'.\n", mode,
                     letterField ? letterField : "");
            continue;
        }
        const char startMode = g_startMode;
        if (startMode != 0 && !strchr(mode, startMode)) continue;
        if (!letterField) {
            morvVlog("morvIparseSubconfig error: second delimiter | not found in line %s\n", mode);
            continue;
        }
        char *rest = strchr(letterField, '|');
        if (rest) *rest++ = '\0';
        const char *letter = letterField + strspn(letterField, " \t");
        if (*letter == '\0') {
            morvVlog("morvIparseSubconfig: Error scanning first (non-space) character of line...\n");
            continue;
        }
        if (act(*letter, rest, path) != 0) {
            fclose(f);
            return -1;
        }
    }
    fclose(f);
    return 0;
}

int parse_formated_string_for_binary(const char *rest, BinaryLine *line)
{
    *line = BinaryLine{};
    std::string program, failure, options;
    if (!filesBfield(rest, 1, &failure)) {
        morvVlog("parse_formated_string_for_binary: Wrong string format (Missing | in \"%s\")\n", rest);
        return -1;
    }
    filesBfield(rest, 0, &program);
    program = filesStrim(program);
    const size_t pathEnd = program.find_first_of(FILES_BLANKS);
    const std::string path = program.substr(0, pathEnd);
    if (path.empty()) {
        morvVlog("parse_formated_string_for_binary: Wrong string format (no program in \"%s\")\n", rest);
        return -1;
    }
    if (path.size() > MAX_PATH_LENGTH) {
        morvVlog("parse_formated_string_for_binary failed: path name string too long !!\n");
        return -1;
    }
    const std::string params = pathEnd == std::string::npos ? "" : filesStrim(program.substr(pathEnd));
    if (params.size() > MAX_PARAMS_LENGTH) {
        morvVlog("parse_formated_string_for_binary failed: parameters string too long !!\n");
        return -1;
    }
    failure = filesStrim(failure);
    const char failParam = failure.empty() ? ' ' : failure[0];
    if (!strchr("CFNRT", failParam)) {
        morvVlog("parse_formated_string_for_binary: invalid failure parameter %c\n", failParam);
        return -1;
    }
    if (filesBfield(rest, 2, &options) && !morvBparseTimeout(options, &line->hasTimeout, &line->timeout)) {
        morvVlog("parse_formated_string_for_binary: invalid time-out in \"%s\"\n", options.c_str());
        return -1;
    }
    snprintf(line->path, sizeof line->path, "%s", path.c_str());
    snprintf(line->params, sizeof line->params, "%s", params.c_str());
    line->failParam = failParam;
    return 0;
}

int start_oneshot_binary(const char *rest)
{
    return startBinary("start_oneshot_binary", rest, TYPE_ONESHOT, ONESHOT_DEFAULT_TIMEOUT, nullptr, joinWithTimeout);
}

int start_deamon_binary(const char *rest)
{
    return startBinary("start_deamon_binary", rest, TYPE_DEAMON, DEAMON_DEFAULT_TIMEOUT, nullptr, joinWithTimeout);
}

int start_external_binary(const char *rest)
{
    return startBinary("start_external_binary", rest, TYPE_EXTERNAL, NO_TIMEOUT, externalTimeout, detach);
}

int start_brenvik_binary(const char *rest)
{
    return startBinary("start_brenvik_binary", rest, TYPE_INHOUSE, INHOUSE_DEFAULT_TIMEOUT, inhouseTimeout, detach);
}

int morvIlaunch_bootpd_downs()
{
    if (launchBootServer(SESSION_DOWNS, DOWNS_PATH, "") != 0) return -1;
    return launchBootServer(SESSION_BOOTPD, BOOTPD_PATH, BOOTPD_PARAMS);
}

int start_phone_binary(const char *rest)
{
    int wait = PHONE_DEFAULT_WAIT;
    bool bootServers = false;
    // The library package's own lines run before the configuration library is open.
    if (!g_lpcmInitKo && g_boardLibs.confSfind_item && g_boardLibs.confSfind_item(PHONE_ITEM, &g_itemTable, 0) >= 0) {
        if (morvISetupAppliBoot(APPLI_BOOT_LIST, APPLI_BOOT_KERNEL, APPLI_BOOT_RAMDISK) != 0) {
            const int error = errno;
            morvVlog("morvISetupAppliBoot: unable to create %s (error %d, %s)\n", APPLI_BOOT_LIST, error,
                     strerror(error));
            morvVsignalErrorAndExit(MORVASH_SOURCE, 1948, RESET_SEVERITY, "Error setting tftpboot files");
            return -1;
        }
        bootServers = morvIlaunch_bootpd_downs() == 0;
    }
    std::string options;
    bool given = false;
    if (rest && filesBfield(rest, 2, &options)) morvBparseTimeout(options, &given, &wait);

    // Counted from before the start: LP_CM may report before the wait begins.
    const StartConditionMark mark = morvSmarkStartCondition();
    if (start_brenvik_binary(rest) != 0) {
        if (bootServers) stopBootServers();
        return -1;
    }
    int result = 0;
    const int status = morvIwaitStartCondition(
        mark, START_EVENT_PHONE_STARTED | START_EVENT_LPCM_INIT_KO | START_EVENT_SHUTDOWN, wait);
    if (status == ETIMEDOUT) {
        morvVlog("start_phone_binary: Time-out (%ds) expired...\n", wait);
        morvVsignalErrorAndExit(MORVASH_SOURCE, 2013, RESET_SEVERITY, "lp_cm synchro time-out");
        result = -1;
    } else if (status == EINVAL) {
        morvVlog("start_phone_binary: Mutex has not been properly initialized.\n");
        result = -1;
    } else if (status == EDEADLK) {
        morvVlog("start_phone_binary: The mutex is already locked.\n");
        result = -1;
    } else if (status != 0) {
        morvVlog("start_phone_binary: An error occured on pthread_cond_timedwait. (was interrupted by  a signal ?)\n");
        morvVsignalErrorAndExit(MORVASH_SOURCE, 2018, RESET_SEVERITY, "Error on lp_cm synchro timer");
        result = -1;
    }
    if (result != 0 && bootServers) stopBootServers();
    // The watchdog thread halts the board; nothing more is started from here.
    if (g_lpcmInitKo) pthread_exit(nullptr);
    return result;
}

int stop_bootdown(const char *session)
{
    const int index = processIGetProcessIndexBySessionID(session);
    if (index < 0) {
        morvVlog("stop_bootdown] WARNING: process [SessionID=%s] does not exist (or not supervised)\n", session);
        return -11;
    }
    morvVlog("stop_bootdown] stopping process [SessionID=%s]\n", session);
    processIStopProcess(index);
    return 0;
}
