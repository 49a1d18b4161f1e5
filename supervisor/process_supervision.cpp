// Daemon and in-house supervision of process-table entries.
#include "process.h"

#include "clock.h"
#include "log.h"
#include "morvash.h"
#include "resetlog.h"

#include <cerrno>
#include <cctype>
#include <csignal>
#include <cstring>
#include <new>
#include <ctime>
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
constexpr int DEAMON_DEFAULT_PERIOD = 15;
constexpr int DEAMON_RESTART_WINDOW = 1800;
constexpr int INHOUSE_KILL_GRACE_MS = 2000;
constexpr int POLL_MS = 100;
constexpr size_t PROC_NAME_LENGTH = 15;   // the kernel keeps this much of a program's name

// One start of an in-house program. Records stay in the list; an ended one is taken again by a later start.
struct s_inhouse_process {
    std::atomic<pid_t> pid;               // 0: the record is free
    std::atomic<bool> sigchldSeen;
    std::atomic<time_t> lastRefresh;
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    s_inhouse_process *next;
};

std::atomic<s_inhouse_process *> inhouseList{nullptr};
pthread_mutex_t inhouseAllocMutex = PTHREAD_MUTEX_INITIALIZER;

s_inhouse_process *takeRecord(pid_t pid)
{
    pthread_mutex_lock(&inhouseAllocMutex);
    s_inhouse_process *record = nullptr;
    for (s_inhouse_process *r = inhouseList; r && !record; r = r->next) {
        if (r->pid == 0) record = r;
    }
    bool fresh = false;
    if (!record && (record = new (std::nothrow) s_inhouse_process) != nullptr) {
        pthread_mutex_init(&record->mutex, nullptr);
        pthread_cond_init(&record->condition, nullptr);
        record->next = inhouseList;
        fresh = true;
    }
    if (record) {
        // A child that ended before the record existed sent its SIGCHLD to nobody: look once at the start.
        record->sigchldSeen = true;
        record->lastRefresh = clockIseconds();
        record->pid = pid;
        if (fresh) inhouseList = record;
    }
    pthread_mutex_unlock(&inhouseAllocMutex);
    return record;
}

void wakeRecord(s_inhouse_process *record, bool childEvent)
{
    // Under the record's mutex, so a wake between the waiter's check and its wait is not lost, and a
    // child event is not cleared by a waiter that looked at the child just before it ended.
    pthread_mutex_lock(&record->mutex);
    if (childEvent) record->sigchldSeen = true;
    pthread_cond_signal(&record->condition);
    pthread_mutex_unlock(&record->mutex);
}

// SIGTERM, then SIGKILL when it has not ended within the grace; the child is reaped either way. The
// caller owns the entry and has not reaped the child, so the pid is still its own.
void killAndReap(int index, pid_t pid)
{
    int status;
    kill(pid, SIGTERM);
    const struct timespec grace = clockOafter(INHOUSE_KILL_GRACE_MS);
    while (!clockBpassed(grace)) {
        if (processIreapChild(index, pid, &status, false) != 0) return;
        processVpause(POLL_MS);
    }
    kill(pid, SIGKILL);
    processIreapChild(index, pid, &status, true);
}

bool sameProgramName(const char *procName, const char *program)
{
    const size_t length = strlen(program) < PROC_NAME_LENGTH ? strlen(program) : PROC_NAME_LENGTH;
    return strlen(procName) == length && strncmp(procName, program, length) == 0;
}

// Name and parent of a live process from /proc/PID/status; false for a zombie or an unreadable entry.
bool readStatus(const char *pid, char *name, size_t nameSize, long *parent)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%.40s/status", pid);
    FILE *f = fopen(path, "r");
    if (!f) return false;
    char line[256];
    bool named = false, live = true, parented = false;
    if (fgets(line, sizeof line, f)) {
        char key[32];
        char value[64] = "";
        named = sscanf(line, "%31s %63s", key, value) == 2;
        snprintf(name, nameSize, "%s", value);
    }
    while (named && !parented && fgets(line, sizeof line, f)) {
        char state;
        if (sscanf(line, "State: %c", &state) == 1 && state == 'Z') live = false;
        parented = sscanf(line, "PPid: %ld", parent) == 1;
    }
    fclose(f);
    return named && parented && live;
}

pid_t findDeamon(int index, const char *session, const char *caller)
{
    DIR *proc = opendir("/proc");
    if (!proc) {
        morvVlog("%s: Cannot open /proc: %s\n", caller, strerror(errno));
        return -1;
    }
    const char *program = processObaseName(g_processTable[index].path);
    pid_t result = -1;
    long lowestParent = -1;
    while (const struct dirent *d = readdir(proc)) {
        if (!isdigit(static_cast<unsigned char>(d->d_name[0]))) continue;
        char name[64];
        long parent;
        if (!readStatus(d->d_name, name, sizeof name, &parent) || !sameProgramName(name, program)) continue;
        if (lowestParent >= 0 && parent >= lowestParent) continue;
        const pid_t pid = static_cast<pid_t>(atol(d->d_name));
        // Another session's process of the same program is not ours and must not hide ours.
        if (session && processBofAnotherSession(pid, session)) continue;
        lowestParent = parent;
        result = pid;
    }
    closedir(proc);
    return result;
}
}  // namespace

int processIrefreshInhouse(pid_t pid)
{
    if (pid <= 0) return -1;
    for (s_inhouse_process *r = inhouseList; r; r = r->next) {
        if (r->pid != pid) continue;
        r->lastRefresh = clockIseconds();
        wakeRecord(r, false);
        return 0;
    }
    return -1;
}

void processVresetInhouseRecords()
{
    for (s_inhouse_process *r = inhouseList; r; r = r->next) r->pid = 0;
}

void processVsignalInhouseRecords()
{
    for (s_inhouse_process *r = inhouseList; r; r = r->next) {
        if (r->pid == 0) continue;
        wakeRecord(r, true);
    }
}

int supervised_brenvik_binary(int index)
{
    ProcessEntry &e = g_processTable[index];
    const pid_t pid = e.pid;
    s_inhouse_process *record = takeRecord(pid);
    if (!record) {
        morvVlog("supervised_brenvik_binary: Error allocating memory for new s_inhouse_process\n");
        morvVsignalErrorAndExit(PROCESS_SOURCE, 773, RESET_SEVERITY, "Morvash: error allocating memory");
        return 0;
    }
    const int timeout = e.timeout;
    bool timedOut = false;
    int status = 0;
    int r = 0;  // what waitpid last said of the child
    int waitError = 0;
    pthread_mutex_lock(&record->mutex);
    while (!g_shuttingDown && !e.beingKilled) {
        if (record->sigchldSeen) {
            r = processIreapChild(index, pid, &status, false);
            waitError = errno;
            if (r != 0) break;
            record->sigchldSeen = false;
        }
        // The program must report within its time-out of its last report.
        const time_t deadline = record->lastRefresh + timeout;
        const struct timespec until = {deadline, 0};
        const int waited = clockIwaitCondition(&record->condition, &record->mutex, until);
        if (waited != ETIMEDOUT) continue;
        const time_t current = clockIseconds();
        if (current < deadline) continue;
        if (deadline - record->lastRefresh >= timeout) {
            timedOut = true;
            break;
        }
        morvVlog("supervised_brenvik_binary: Ouaaahhhh... wrong time-out occured.\n\tProcess(%d):%s\n\tDead-line: %d s.\n\tLast refresh time: %d s.\n\tCurrent time: %d s.\n",
                 pid, e.path, static_cast<int>(deadline), static_cast<int>(record->lastRefresh.load()),
                 static_cast<int>(current));
    }
    pthread_mutex_unlock(&record->mutex);

    if (g_shuttingDown || e.beingKilled) {
        if (r == 0) processIreapChild(index, pid, &status, true);
        record->pid = 0;
        processVfreeEntry(index);
        return 0;
    }
    record->pid = 0;

    if (timedOut) {
        r = processIreapChild(index, pid, &status, false);
        waitError = errno;
        morvVlog("supervised_brenvik_binary: Time-out of %ds expired on in-house binary: \"%s %s\" [pid=%d]\n", timeout,
                 e.path, e.params, pid);
    }
    morvVlog("supervised_brenvik_binary: Error. Trying to analyze the cause...\n");
    bool running = false;
    if (r < 0) {
        morvVlog("supervised_brenvik_binary: failed to call waitpid(%d) for an inhouse binary, giving up (%s)\n", pid,
                 strerror(waitError));
    } else if (r == pid) {
        morvVlog("supervised_brenvik_binary: Process (%d) exit !!\n", pid);
        int exitValue, signal, stopSignal;
        processVcheckExitStatus(index, pid, status, &exitValue, &signal, &stopSignal);
    } else if (r > 0) {
        morvVlog("supervised_brenvik_binary: Strange return value (%d) of waitpid(%d) ??? !!\n", r, pid);
    } else {
        morvVlog("supervised_brenvik_binary: Process (%d) doesn't exit !!\n", pid);
        running = true;
    }

    switch (e.failParam) {
    case FAIL_ALWAYS:
    case FAIL_FATAL:
    case FAIL_TOLERATE:
        if (running) killAndReap(index, pid);
        return -1;
    case FAIL_RESET:
        processVfreeEntry(index);
        morvVsignalErrorAndExit(PROCESS_SOURCE, 868, RESET_SEVERITY, "Morvash: process exit abnormally");
        return 0;
    default:
        // The entry stays; its thread ends.
        processVleaveEntry(index);
        return 0;
    }
}

pid_t processIGetChildDeamonPIDcheckSession(int index, const char *session)
{
    return findDeamon(index, session, "processIGetChildDeamonPIDcheckSession");
}

pid_t processIGetChildDeamonPID(int index)
{
    return findDeamon(index, nullptr, "processIGetChildDeamonPID");
}

int processSsuperviseDeamonBinary(int index)
{
    ProcessEntry &e = g_processTable[index];
    const pid_t pid = processIGetChildDeamonPIDcheckSession(index, e.sessionId);
    if (pid <= 0) {
        morvVlog("processSsuperviseDeamonBinary: processIGetChildDeamonPIDcheckSession FAILED to get a PID (%d)\n", pid);
        return 1;
    }
    processVsetPid(index, pid);
    pthread_t watcher;
    const int status = processIstartTableThread(&watcher, processVthDeamon, index);
    if (status != 0) {
        morvVlog("processSsuperviseDeamonBinary: morvSpthreadCreate FAILED (%s)\n", strerror(status));
        return status;
    }
    // The watcher owns the entry from now on; the launcher's thread ends without touching it again.
    pthread_detach(watcher);
    return 0;
}

void *processVthDeamon(void *arg)
{
    const int index = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    ProcessEntry &e = g_processTable[index];
    processVtakeOwnership(index);
    const int period = e.timeout > 0 ? e.timeout : DEAMON_DEFAULT_PERIOD;
    morvVlog("processVthDeamon: supervising (period=%dsec) child process deamon [pid=%d] of\"%s %s\" [SessionID=%s]\n",
             period, static_cast<int>(e.pid), e.path, e.params, e.sessionId);
    // A stop wakes the pauses at once; the watcher leaves the entry then, and never restarts into it.
    bool stopped = true;
    while (processBpauseUnlessStopped(index, period * 1000)) {
        const pid_t pid = e.pid;
        if (kill(pid, 0) == 0 || errno != ESRCH) continue;
        const pid_t found = processIGetChildDeamonPIDcheckSession(index, e.sessionId);
        if (found <= 0) {
            stopped = false;
            break;
        }
        morvVlog("processVthDeamon: deamon process \"%s %s\" [SessionID=%s] has a new PID: %d\n", e.path, e.params,
                 e.sessionId, found);
        processVsetPid(index, found);
    }
    // The stop frees the entry once the daemon is gone: until then it is what the stop waits for and kills.
    if (stopped) {
        processVleaveEntry(index);
        return nullptr;
    }
    if (e.failPath[0] != '\0') {
        processVLaunchFailExec(index);
        return nullptr;
    }
    const int32_t current = static_cast<int32_t>(clockIseconds());
    memmove(e.restartTimes + 1, e.restartTimes, sizeof e.restartTimes - sizeof e.restartTimes[0]);
    e.restartTimes[0] = current;
    const int32_t oldest = e.restartTimes[DEAMON_RESTART_TIMES - 1];
    if (oldest != 0 && current < oldest + DEAMON_RESTART_WINDOW) {
        morvVlog("processVthProcess: [%s]restarted 3 times in less then 30 min. (retrying later)\n", e.path);
        memset(e.restartTimes, 0, sizeof e.restartTimes);
        e.restartTimes[0] = current;
        if (!processBpauseUnlessStopped(index, DEAMON_RESTART_WINDOW * 1000)) {
            processVfreeEntry(index);
            return nullptr;
        }
    }
    pthread_t thread;
    const int status = processIRestartProcess(index, &thread);
    if (status != 0) {
        const char failParam = e.failParam;
        processVleaveEntry(index);
        // Refused because the board shuts down: nothing failed.
        if (status != ECANCELED && (failParam == FAIL_RESET || failParam == FAIL_FATAL))
            morvVsignalErrorAndExit(PROCESS_SOURCE, 742, RESET_SEVERITY, "Morvash: restart of deamon failed");
        return nullptr;
    }
    pthread_detach(thread);
    return nullptr;
}
