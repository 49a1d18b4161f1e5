#include "process.h"

#include "clock.h"
#include "log.h"
#include "morvash.h"
#include "resetlog.h"
#include "shutdown.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <semaphore.h>
#include <sys/wait.h>
#include <unistd.h>

ProcessEntry g_processTable[MAX_PROCESS_ENTRIES];

namespace {
constexpr int MAX_ARGUMENTS = 50;
constexpr int THREAD_CREATE_TRIES = 5;
constexpr int RESTART_WINDOW = 1800;          // seconds of the 3-starts window
constexpr int MAX_STARTS_IN_WINDOW = 3;
constexpr int RESTART_PAUSE = 3;
constexpr int STOP_GRACE = 3;                 // seconds between SIGTERM and SIGKILL
constexpr int STOP_ALL_LIMIT = 120;           // seconds for all processes together
constexpr long SUPERVISION_PERIOD_MS = 3600 * 1000L;
constexpr int ROUNDS_PER_DAY = 24;
constexpr int EXEC_FAILED_STATUS = 255;

// The table's lock: every change of an entry's pid, owner, session or use, and every free, is made under
// it, and other threads read an entry only under it. Its condition is broadcast on each stop request and
// each free, which wakes owners in a pause and callers waiting for an entry to go.
pthread_mutex_t tableMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t tableCondition = PTHREAD_COND_INITIALIZER;
sem_t supervisionSem;
pthread_t supervisionThread;
std::atomic<bool> supervisionRunning{false};
// Set by the signal handler on whatever thread the signal lands.
std::atomic<bool> childEvent{false};
std::atomic<bool> alarmEvent{false};
std::atomic<bool> shutdownRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets these flags");
std::atomic<void (*)()> hourlyCheck{nullptr};
std::atomic<void (*)()> dailyCheck{nullptr};
std::atomic<int> rounds{0};
std::atomic<bool> roundsRestart{false};
std::atomic<int> liveThreads{0};
std::atomic<long> supervisionWakes{0};
std::atomic<long> resetsAsked{0};  // hour restarts asked for, and the last one the thread has taken
std::atomic<long> resetsTaken{0};
// Threads acting on a board program's request, and whether the calling thread starts programs on one.
std::atomic<int> requestThreads{0};
thread_local bool startsOnRequest = false;
// Set under the table lock once the stop of all programs has sent its last SIGKILL: a program forked
// after it for an entry that stop asked to end is killed at once.
bool stopAllEnded = false;

struct TableLock {
    TableLock() { pthread_mutex_lock(&tableMutex); }
    ~TableLock() { pthread_mutex_unlock(&tableMutex); }
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;
};

struct TableThread {
    void *(*function)(void *);
    int index;
};

void *runTableThread(void *argument)
{
    const TableThread started = *static_cast<TableThread *>(argument);
    delete static_cast<TableThread *>(argument);
    // Counted down however the thread ends: returned, or ended by the fatal handler.
    struct Counted {
        ~Counted() { --liveThreads; }
    } counted;
    return started.function(reinterpret_cast<void *>(static_cast<intptr_t>(started.index)));
}

void copyText(char *field, size_t size, const char *text)
{
    snprintf(field, size, "%s", text ? text : "");
}

time_t now()
{
    return clockIseconds();
}

bool hasOwner(const ProcessEntry &e)
{
    return !pthread_equal(e.thread, pthread_t{});
}

// Table lock held.
void resetEntry(ProcessEntry &e)
{
    memset(e.itemName, 0, sizeof e.itemName);
    e.pid = 0;
    e.reaped = false;
    e.thread = pthread_t{};
    memset(e.restartTimes, 0, sizeof e.restartTimes);
    e.beingKilled = false;
    memset(e.sessionId, 0, sizeof e.sessionId);
    e.type = 0;
    memset(e.path, 0, sizeof e.path);
    memset(e.params, 0, sizeof e.params);
    e.timeout = 0;
    memset(e.failPath, 0, sizeof e.failPath);
    memset(e.failParams, 0, sizeof e.failParams);
    e.failParam = 0;
    e.inUse = 0;
    pthread_cond_broadcast(&tableCondition);
}

bool processExists(pid_t pid)
{
    return kill(pid, 0) == 0 || errno != ESRCH;
}

// The entry's process as other threads may signal it: 0 when there is none, or when its child has been
// reaped and the pid may already be another process's. Table lock held.
pid_t signallablePid(const ProcessEntry &e)
{
    const pid_t pid = e.pid;
    return pid > 0 && !e.reaped ? pid : 0;
}

// Runs WORDS through the shell in a forked child; a failed exec is reported by EXEC_FAILED(prefix, errno)
// in the child.
template <typename ExecFailed>
pid_t forkShell(const std::vector<std::string> &words, unsigned alarmSeconds, ExecFailed execFailed)
{
    const std::string command = processVwrapInShell(words);
    char prefix[LOG_PREFIX_SIZE];
    morvVlogPrefix(prefix);
    fflush(stdout);
    const pid_t pid = fork();
    if (pid != 0) return pid;

    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
    if (alarmSeconds > 0) alarm(alarmSeconds);
    for (long fd = 3; fd < g_openFilesBound; ++fd) close(static_cast<int>(fd));
    execlp("sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
    execFailed(prefix, errno);
    _exit(EXEC_FAILED_STATUS);
}

void logProcessLine(const char *format, const ProcessEntry &e, pid_t pid)
{
    morvVlog(format, e.path, e.params, e.type, static_cast<int>(pid), e.sessionId);
}

void *leaveEntry(int index)
{
    processVleaveEntry(index);
    return nullptr;
}

void *endThread(int index, long result)
{
    processVfreeEntry(index);
    return reinterpret_cast<void *>(result);
}

// The restart decision after a failed end or an 'E'/'C' end: true to start again.
bool restartAfterPause(int index, pid_t last, time_t windowStart, int starts)
{
    ProcessEntry &e = g_processTable[index];
    if (!processBpauseUnlessStopped(index, RESTART_PAUSE * 1000)) return true;  // the loop ends it
    if (e.failParam == FAIL_ALWAYS) return true;
    if (now() - windowStart <= RESTART_WINDOW - 1 && starts <= MAX_STARTS_IN_WINDOW - 1) return true;
    logProcessLine("processVthProcess: Error on process type \"%s %s\"  [ProgType=%c], [pid=%d], [SessionID=%s] exited\n", e, last);
    if (e.failParam == FAIL_TOLERATE) {
        morvVlog("processVthProcess: restarted 3 times in less then 30 min. (Leave process)\n");
    } else {
        morvVlog("processVthProcess: restarted 3 times in less then 30 min. (Fatal error)\n");
        morvVsignalErrorAndExit(PROCESS_SOURCE, 1266, RESET_SEVERITY, "Morvash: restart of process failed.");
    }
    processVfreeEntry(index);
    return false;
}

// A stop that came while the launcher ended (well, or by the stop's own signal after it had forked): the
// daemon it left behind is stopped too, or nobody would.
void stopLeftDeamon(int index)
{
    const pid_t deamon = processIGetChildDeamonPIDcheckSession(index, g_processTable[index].sessionId);
    if (deamon <= 0) return;
    kill(deamon, SIGTERM);
    const struct timespec grace = clockOafter(STOP_GRACE * 1000L);
    while (!clockBpassed(grace) && processExists(deamon)) processVpause(100);
    if (processExists(deamon)) kill(deamon, SIGKILL);
}

// Tags and starts the entry's thread. A restart keeps the item the entry was first started for.
int startEntryThread(int index, pthread_t *thread, bool firstStart)
{
    ProcessEntry &e = g_processTable[index];
    char sessionId[SESSION_ID_SIZE];
    char path[PROG_PATH_SIZE];
    bool refused;
    {
        TableLock lock;
        if (e.sessionId[0] == '\0') {
            char *out = e.sessionId;
            for (const char *p = processObaseName(e.path); *p && out < e.sessionId + SESSION_ID_SIZE - 1; ++p)
                *out++ = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
            *out = '\0';
        }
        const int item = g_currentItem;
        if (firstStart && item >= 0 && item < MAX_CONFIG_ITEMS && g_itemTable.items[item].name)
            copyText(e.itemName, sizeof e.itemName, processObaseName(g_itemTable.items[item].name));
        copyText(sessionId, sizeof sessionId, e.sessionId);
        copyText(path, sizeof path, e.path);
        // Once the board shuts down nothing starts on request and nothing restarts; the shut-down's own
        // programs ("rmmod") still run.
        refused = g_shuttingDown && (startsOnRequest || !firstStart);
    }
    if (refused) {
        morvVlog("processIStartProcess: shutting down, process [sessionID=%s] [ProgPath=%s] not started\n",
                 sessionId, path);
        return ECANCELED;
    }
    pthread_t created;
    const int status = processIstartTableThread(&created, processVthProcess, index);
    if (status != 0) {
        morvVlog("processIStartProcess: FAILED to start thread for process [sessionID=%s] [ProgPath=%s]", sessionId,
                 path);
        return status;
    }
    if (thread) *thread = created;
    return 0;
}

// What a stop needs of an entry, taken under the table lock.
struct StopView {
    bool inUse;
    pid_t pid;                 // signallable
    bool deamon;
    char path[PROG_PATH_SIZE];
    char params[PROG_PARAMS_SIZE];
    char sessionId[SESSION_ID_SIZE];
};

// Asks the entry's owner to stop (the owner frees the entry, or an entry without owner is freed here);
// ITEM, when given, must still be the entry's item.
bool askToStop(int index, const char *item, StopView *view)
{
    ProcessEntry &e = g_processTable[index];
    TableLock lock;
    view->inUse = e.inUse && (!item || strcmp(e.itemName, item) == 0);
    if (!view->inUse) return false;
    e.beingKilled = true;
    view->pid = signallablePid(e);
    view->deamon = e.type == TYPE_DEAMON;
    copyText(view->path, sizeof view->path, e.path);
    copyText(view->params, sizeof view->params, e.params);
    copyText(view->sessionId, sizeof view->sessionId, e.sessionId);
    if (view->pid > 0) kill(view->pid, SIGTERM);
    pthread_cond_broadcast(&tableCondition);
    return true;
}

// Still running as the entry's process: our child not reaped yet, or a daemon that exists.
// The stopped entry still runs a process: our child not reaped yet, or a daemon that exists, or one its
// owner is about to start (the owner sends it the stop's SIGTERM once it knows its pid).
bool stillThere(int index)
{
    const ProcessEntry &e = g_processTable[index];
    TableLock lock;
    if (!e.inUse || !e.beingKilled) return false;
    const pid_t pid = signallablePid(e);
    return pid > 0 ? processExists(pid) : e.pid == -1 && hasOwner(e);
}

void killIfStillThere(int index)
{
    const ProcessEntry &e = g_processTable[index];
    TableLock lock;
    const pid_t pid = signallablePid(e);
    if (e.inUse && e.beingKilled && pid > 0) kill(pid, SIGKILL);
}

// Frees a daemon's entry once its owner is gone: the owner frees it itself on the stop request; an entry
// without owner is freed here.
void freeStoppedDeamon(int index)
{
    ProcessEntry &e = g_processTable[index];
    TableLock lock;
    const struct timespec bound = clockOafter(STOP_GRACE * 1000L);
    while (e.inUse && e.beingKilled && hasOwner(e) &&
           clockIwaitCondition(&tableCondition, &tableMutex, bound) != ETIMEDOUT) {
    }
    if (e.inUse && e.beingKilled && !hasOwner(e)) resetEntry(e);
}
}  // namespace

const char *processObaseName(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

int processIwaitChild(pid_t pid, int *status, int options)
{
    int r;
    while ((r = waitpid(pid, status, options)) < 0 && errno == EINTR) {
    }
    return r;
}

int processIreapChild(int index, pid_t pid, int *status, bool block)
{
    ProcessEntry &e = g_processTable[index];
    if (block) {
        // Waited for without reaping: the pid stays the zombie's until the entry says it is reaped.
        siginfo_t info;
        int r;
        while ((r = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT)) < 0 && errno == EINTR) {
        }
        if (r < 0) return -1;
    }
    TableLock lock;
    const int r = processIwaitChild(pid, status, WNOHANG);
    if (r == pid && e.pid == pid) e.reaped = true;
    return r;
}

bool processBpauseUnlessStopped(int index, int milliseconds)
{
    const ProcessEntry &e = g_processTable[index];
    const struct timespec deadline = clockOafter(milliseconds);
    TableLock lock;
    while (!e.beingKilled && clockIwaitCondition(&tableCondition, &tableMutex, deadline) != ETIMEDOUT) {
    }
    return !e.beingKilled;
}

void processVsetPid(int index, pid_t pid)
{
    ProcessEntry &e = g_processTable[index];
    TableLock lock;
    e.pid = pid;
    e.reaped = false;
    // A stop that came before the pid was known could signal nothing.
    if (e.beingKilled && pid > 0) kill(pid, stopAllEnded ? SIGKILL : SIGTERM);
}

void processVtakeOwnership(int index)
{
    TableLock lock;
    g_processTable[index].thread = pthread_self();
}

void processVleaveEntry(int index)
{
    ProcessEntry &e = g_processTable[index];
    TableLock lock;
    e.thread = pthread_t{};
    pthread_cond_broadcast(&tableCondition);
}

void processVpause(int milliseconds)
{
    clockVsleep(milliseconds);
}

void processVsetProgram(int index, const char *sessionId, char type, const char *path, const char *params,
                        int timeout, const char *failPath, const char *failParams, char failParam)
{
    ProcessEntry &e = g_processTable[index];
    TableLock lock;
    copyText(e.sessionId, sizeof e.sessionId, sessionId);
    e.type = type;
    copyText(e.path, sizeof e.path, path);
    copyText(e.params, sizeof e.params, params);
    e.timeout = timeout;
    copyText(e.failPath, sizeof e.failPath, failPath);
    copyText(e.failParams, sizeof e.failParams, failParams);
    e.failParam = failParam;
}

int morvIGetFreeTableEntry()
{
    for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) {
        TableLock lock;
        ProcessEntry &e = g_processTable[i];
        if (e.pid == 0 && e.inUse == 0) {
            e.inUse = 1;
            e.pid = -1;
            return i;
        }
    }
    morvVlog("morvIGetFreeTableEntry: WARNING no more free process entry");
    morvVlogResources("SUPERVISION PROCESS ALERT : no more free process entry");
    return -1;
}

void processVfreeEntry(int index)
{
    TableLock lock;
    resetEntry(g_processTable[index]);
}

void processVclearTable()
{
    TableLock lock;
    for (ProcessEntry &e : g_processTable) resetEntry(e);
    stopAllEnded = false;
}

void processVstartsOnRequest(bool onRequest)
{
    startsOnRequest = onRequest;
}

void processVrequestBegins()
{
    ++requestThreads;
}

void processVrequestEnds()
{
    --requestThreads;
}

int morvSpthreadCreate(pthread_t *thread, const pthread_attr_t *attributes, void *(*function)(void *),
                       void *argument)
{
    int status = 0;
    for (int left = THREAD_CREATE_TRIES - 1; left >= 0; --left) {
        status = pthread_create(thread, attributes, function, argument);
        if (status == 0) return 0;
        morvVlog("morvSpthreadCreate: pthread_create FAILED: (satus=%d) %s (will still retry %ud time(s))\n", status,
                 strerror(status), static_cast<unsigned>(left));
        if (left > 0) sleep(1);
    }
    return status;
}

int processIstartTableThread(pthread_t *thread, void *(*function)(void *), int index)
{
    ++liveThreads;
    auto *started = new TableThread{function, index};
    const int status = morvSpthreadCreate(thread, nullptr, runTableThread, started);
    if (status != 0) {
        delete started;
        --liveThreads;
    }
    return status;
}

int processIliveThreads()
{
    return liveThreads;
}

int processIStartProcess(int index, pthread_t *thread)
{
    return startEntryThread(index, thread, true);
}

int processIRestartProcess(int index, pthread_t *thread)
{
    return startEntryThread(index, thread, false);
}

std::string processVwrapInShell(const std::vector<std::string> &words)
{
    std::string command = " exec ";
    for (const std::string &w : words) command += w + " ";
    return command;
}

std::vector<std::string> processVbuildArguments(const char *path, const char *params)
{
    std::vector<std::string> words{path};
    std::vector<std::string> parameters;
    const char *p = params;
    while (*p && words.size() + parameters.size() < MAX_ARGUMENTS) {
        p += strspn(p, " \t");
        const size_t length = strcspn(p, " \t");
        if (length == 0) break;
        parameters.emplace_back(p, length);
        p += length;
    }
    processVtreat_kw(parameters);
    words.insert(words.end(), parameters.begin(), parameters.end());
    return words;
}

void processVcheckExitStatus(int index, pid_t pid, int status, int *exitValue, int *signal, int *stopSignal)
{
    const ProcessEntry &e = g_processTable[index];
    *exitValue = *signal = *stopSignal = -1;
    morvVlog("processVcheckExitStatus result:\n");
    if (WIFEXITED(status)) {
        *exitValue = WEXITSTATUS(status);
        morvVlog("Binary \"%s %s\" [pid=%d], [SessionID=%s] exited with return value %d\n", e.path, e.params, pid,
                 e.sessionId, *exitValue);
    } else if (WIFSIGNALED(status)) {
        *signal = WTERMSIG(status);
        morvVlog("Binary \"%s %s\" [pid=%d], [SessionID=%s] signaled by signal %d (%s)\n", e.path, e.params, pid,
                 e.sessionId, *signal, strsignal(*signal));
    } else if (WIFSTOPPED(status)) {
        *stopSignal = WSTOPSIG(status);
        morvVlog("Binary \"%s %s\" [pid=%d], [SessionID=%s] stopped by signal %d (%s)\n", e.path, e.params, pid,
                 e.sessionId, *stopSignal, strsignal(*stopSignal));
    }
}

void processVLaunchFailExec(int index)
{
    ProcessEntry &e = g_processTable[index];
    if (e.failPath[0] == '\0') return;
    {
        TableLock lock;
        e.sessionId[0] = '\0';
    }
    const pid_t pid = forkShell(processVbuildArguments(e.failPath, e.failParams), 0, [&e](const char *prefix, int) {
        morvVlogInChild(prefix, "processVLaunchFailExec FAILED: to call execvp(%s %s) for \"%s %s\"\n", e.failPath,
                        e.failParams, e.path, e.params);
    });
    if (pid < 0) {
        morvVlog("processVLaunchFailExec: FAILED: to fork (%s)\n", strerror(errno));
        processVfreeEntry(index);
        return;
    }
    processVsetPid(index, pid);
    morvVlog("processVLaunchFailExec: starting \"%s %s\" [pid=%d]\n", e.failPath, e.failParams, pid);
    int status;
    if (processIreapChild(index, pid, &status, true) != pid) {
        morvVlog("processVLaunchFailExec: FAILED: to call waitpid for pid %d, giving up (%s)\n", pid, strerror(errno));
    } else if (WIFEXITED(status)) {
        morvVlog("processVLaunchFailExec: Binary \"%s %s\" [pid=%d] exited with return value %d\n", e.failPath,
                 e.failParams, pid, WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        morvVlog("processVLaunchFailExec: Binary \"%s %s\" [pid=%d] signaled by signal %d (%s)\n", e.failPath,
                 e.failParams, pid, WTERMSIG(status), strsignal(WTERMSIG(status)));
    } else if (WIFSTOPPED(status)) {
        morvVlog("processVLaunchFailExec: Binary \"%s %s\" [pid=%d] stopped by signal %d (%s)\n", e.failPath,
                 e.failParams, pid, WSTOPSIG(status), strsignal(WSTOPSIG(status)));
    }
    processVfreeEntry(index);
}

void *processVthProcess(void *arg)
{
    const int index = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    ProcessEntry &e = g_processTable[index];
    processVtakeOwnership(index);
    time_t windowStart = now();
    int starts = 0;
    for (;;) {
        // A shut-down restarts nothing, but it runs programs of its own ("rmmod") once.
        if (e.beingKilled || (starts > 0 && g_shuttingDown)) return endThread(index, 0);
        const unsigned alarmSeconds = e.type == TYPE_ONESHOT && e.timeout > 0 ? e.timeout : 0;
        const pid_t pid = forkShell(processVbuildArguments(e.path, e.params), alarmSeconds, [&e](const char *prefix, int error) {
            morvVlogInChild(prefix,
                            "processVthProcess FAILED: to call execvp for \"%s %s\" [pid=%d], [SessionID=%s]. Error %d (%s)\n",
                            e.path, e.params, static_cast<int>(getpid()), e.sessionId, error, strerror(error));
        });
        if (pid < 0) {
            morvVlog("processVthProcess: FAILED: to fork myself (%s)\n", strerror(errno));
            return endThread(index, -1);
        }
        processVsetPid(index, pid);
        logProcessLine("processVthProcess: (re)starting \"%s %s\"  [ProgType=%c], [pid=%d], [SessionID=%s]\n", e, pid);
        ++starts;

        bool failed;
        int status = 0;
        int waited = pid;
        if (e.type == TYPE_INHOUSE) {
            if (supervised_brenvik_binary(index) == 0) return nullptr;
            failed = true;
        } else {
            // Reaped under the table lock: from then on no stop signals the pid, which may be reused.
            waited = processIreapChild(index, pid, &status, true);
            failed = false;
        }
        if ((e.type == TYPE_ONESHOT && e.timeout == NO_TIMEOUT) || g_shuttingDown || e.beingKilled) {
            if (e.type == TYPE_DEAMON && waited == pid) stopLeftDeamon(index);
            return endThread(index, 0);
        }
        if (waited != pid) {
            morvVlog("processVthProcess: FAILED: to call waitpid, giving up (%s)\n", strerror(errno));
            return endThread(index, -1);
        }
        if (e.type != TYPE_INHOUSE) {
            int exitValue, signal, stopSignal;
            processVcheckExitStatus(index, pid, status, &exitValue, &signal, &stopSignal);
            failed = exitValue != 0;
        }

        if (failed) {
            switch (e.failParam) {
            case FAIL_FATAL:
            case FAIL_TOLERATE:
                if (now() - windowStart > RESTART_WINDOW) {
                    windowStart = now();
                    starts = 0;
                }
                [[fallthrough]];
            case FAIL_ALWAYS:
                if (e.failPath[0] != '\0') {
                    processVLaunchFailExec(index);
                    return nullptr;
                }
                break;
            case FAIL_IGNORE:
                logProcessLine("processVthProcess: Error on process type \"%s %s\"  [ProgType=%c], [pid=%d], [SessionID=%s] -> do nothing.\n", e, pid);
                g_oneBinaryFailed = true;
                return leaveEntry(index);
            case FAIL_RESET:
                morvVlog("processVthProcess: Reset the system now.\n");
                processVfreeEntry(index);
                morvVsignalErrorAndExit(PROCESS_SOURCE, 1201, RESET_SEVERITY, "Morvash: process exit abnormally");
                return reinterpret_cast<void *>(-1);
            default:
                logProcessLine("processVthProcess: Error on process type \"%s %s\"  [ProgType=%c], [pid=%d], [SessionID=%s] -> no \"failure\" parameter => do nothing.\n", e, pid);
                return leaveEntry(index);
            }
        } else {
            switch (e.type) {
            case TYPE_DEAMON: {
                const int result = processSsuperviseDeamonBinary(index);
                if (result != 0) {
                    morvVlog("processVthProcess: processSsuperviseDeamonBinary FAILED (status=%d)\n", result);
                    const char failParam = e.failParam;
                    processVfreeEntry(index);
                    if (failParam == FAIL_RESET || failParam == FAIL_FATAL)
                        morvVsignalErrorAndExit(PROCESS_SOURCE, 1158, RESET_SEVERITY, "Morvash: thread creation failed");
                }
                return nullptr;
            }
            case TYPE_EXTERNAL:
                if (e.failParam != FAIL_ALWAYS) return endThread(index, 0);
                if (e.failPath[0] != '\0') {
                    processVLaunchFailExec(index);
                    return nullptr;
                }
                break;
            case TYPE_ONESHOT:
                return endThread(index, 0);
            default:
                logProcessLine("processVthProcess: Unknown process type \"%s %s\"  [ProgType=%c], [pid=%d], [SessionID=%s] exited\n", e, pid);
                return leaveEntry(index);
            }
        }
        if (!restartAfterPause(index, pid, windowStart, starts)) return nullptr;
    }
}

int processIStopProcess(int index)
{
    return processIStopEntry(index, nullptr);
}

int processIStopEntry(int index, const char *item)
{
    StopView v;
    if (!askToStop(index, item, &v)) return 0;
    // SIGKILL only what is still there: once its owner has reaped it, the pid may be another's.
    const struct timespec grace = clockOafter(STOP_GRACE * 1000L);
    while (stillThere(index)) {
        if (clockBpassed(grace)) {
            killIfStillThere(index);
            break;
        }
        processVpause(100);
    }
    if (v.deamon) {
        freeStoppedDeamon(index);
    } else {
        morvVlog("processIStopProcess] process \"%s %s\" [pid=%d], [SessionID=%s] ended\n", v.path, v.params, v.pid,
                 v.sessionId);
    }
    return 0;
}

int processIStopByItem(const char *item)
{
    int sum = 0;
    for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) sum += processIStopEntry(i, item);
    return sum;
}

namespace {
// One pass of the stop of all programs: every entry the table now holds is asked to stop, its program
// sent SIGTERM once; entries whose program has vanished and that have no owner are freed. The pid still
// waited for (0 when none), and whether an entry is still about to start its program. Table lock held.
pid_t stopPass(bool *starting)
{
    pid_t waitingFor = 0;
    *starting = false;
    for (ProcessEntry &e : g_processTable) {
        if (!e.inUse) continue;
        const pid_t pid = signallablePid(e);
        const bool vanished = pid > 0 && !processExists(pid);
        if (vanished && !hasOwner(e)) {
            resetEntry(e);
            continue;
        }
        if (!e.beingKilled) {
            e.beingKilled = true;
            if (pid > 0 && !vanished) kill(pid, SIGTERM);
        }
        // An entry not yet started has no owner, and its thread, once it runs, sees the stop and forks
        // nothing; one with an owner may be forking: its child gets the stop's signal once it is known.
        if (pid > 0 && !vanished) {
            if (!waitingFor) waitingFor = pid;
        } else if (e.pid == -1 && hasOwner(e)) {
            *starting = true;
        }
    }
    // Owners in a pause, and daemon watchers, see the stop at once.
    pthread_cond_broadcast(&tableCondition);
    return waitingFor;
}
}  // namespace

void processVstopAll()
{
    // Each pass reaches what was started since the last one (a start on request that was under way, a
    // program forked just after its entry was asked to stop); it ends when nothing is left to wait for and
    // no request's thread is still running, or at the bound.
    const struct timespec start = clockOnow();
    const struct timespec deadline = clockOafter(STOP_ALL_LIMIT * 1000L);
    for (;;) {
        bool starting;
        pid_t waitingFor;
        {
            TableLock lock;
            waitingFor = stopPass(&starting);
        }
        if ((!waitingFor && !starting && requestThreads == 0) || clockBpassed(deadline)) break;
        if (waitingFor) {
            printf("Waiting for pid:%d ... %d/120(max) seconds elapsed.\r", waitingFor,
                   static_cast<int>(clockOnow().tv_sec - start.tv_sec));
            fflush(stdout);
        }
        processVpause(static_cast<int>(std::min(1000L, clockImillisecondsUntil(deadline))));
    }
    printf("\n");
    TableLock lock;
    stopAllEnded = true;
    for (ProcessEntry &e : g_processTable) {
        if (!e.inUse) continue;
        e.beingKilled = true;
        const pid_t pid = signallablePid(e);
        if (pid > 0) kill(pid, SIGKILL);
    }
    pthread_cond_broadcast(&tableCondition);
}

int processISignalProcess(int index, int signal)
{
    ProcessEntry &e = g_processTable[index];
    pid_t pid;
    bool deamon;
    int result;
    {
        TableLock lock;
        pid = signallablePid(e);
        if (pid < 1) return 0;
        deamon = e.type == TYPE_DEAMON;
        result = kill(pid, signal);
    }
    if (deamon && result == 0 && signal != SIGKILL && signal != SIGTERM) {
        processVpause(1000);
        const pid_t found = processIGetChildDeamonPID(index);
        TableLock lock;
        if (found > 0 && found != pid && e.pid == pid) {
            morvVlog("processISignalProcess: Deamon process [\"%s%s\"] has changed its pid from %d to %d\n", e.path,
                     e.params, pid, found);
            e.pid = found;
        }
    }
    return result;
}

int processIGetProcessIndexBySessionID(const char *session)
{
    TableLock lock;
    for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) {
        ProcessEntry &e = g_processTable[i];
        if (!e.inUse || e.beingKilled || strncmp(e.sessionId, session, SESSION_ID_SIZE) != 0) continue;
        const pid_t pid = e.pid;
        if (pid > 0 && !e.reaped && processExists(pid)) return i;
        if (pid > 0 && e.type == TYPE_DEAMON) {
            morvVlog("WARNING: processIGetProcessIndexBySessionID(%s): found deamon binary with nonexitent PID (%d) (is it being relaunched ?" "?): considering this entry as valid ([ProgPath=%s] [ProgParam=%s] [ProgType=%c])",
                     e.sessionId, pid, e.path, e.params, e.type);
            return i;
        }
        // An ended program whose thread still handles its end is left to that thread.
        if (pid > 0 && !hasOwner(e)) {
            morvVlog("WARNING: processIGetProcessIndexBySessionID(%s): found entry (not a deamon) with nonexitent PID (%d): considering this entry as invalid and freeing this entry ([ProgPath=%s] [ProgParam=%s] [ProgType=%c])",
                     e.sessionId, pid, e.path, e.params, e.type);
            resetEntry(e);
            continue;
        }
        morvVlog("WARNING: processIGetProcessIndexBySessionID(%s): found entry with invalid PID (%d): ignore it ([ProgPath=%s] [ProgParam=%s] [ProgType=%c])",
                 e.sessionId, pid, e.path, e.params, e.type);
    }
    return -1;
}

int processIGetIndexByPid(pid_t pid)
{
    TableLock lock;
    for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) {
        if (g_processTable[i].pid == pid && !g_processTable[i].reaped) return i;
    }
    return -1;
}

ProcessView processOview(int index)
{
    const ProcessEntry &e = g_processTable[index];
    ProcessView v;
    TableLock lock;
    v.inUse = e.inUse != 0;
    v.pid = e.pid;
    v.reaped = e.reaped;
    v.beingKilled = e.beingKilled;
    memcpy(v.itemName, e.itemName, sizeof v.itemName);
    memcpy(v.sessionId, e.sessionId, sizeof v.sessionId);
    v.type = e.type;
    memcpy(v.path, e.path, sizeof v.path);
    memcpy(v.params, e.params, sizeof v.params);
    v.timeout = e.timeout;
    memcpy(v.failPath, e.failPath, sizeof v.failPath);
    memcpy(v.failParams, e.failParams, sizeof v.failParams);
    v.failParam = e.failParam;
    return v;
}

bool processBofAnotherSession(pid_t pid, const char *session)
{
    TableLock lock;
    for (const ProcessEntry &e : g_processTable) {
        if (e.pid == pid && !e.reaped) return strncmp(e.sessionId, session, SESSION_ID_SIZE) != 0;
    }
    return false;
}

void processVsetPeriodicChecks(void (*hourly)(), void (*daily)())
{
    hourlyCheck = hourly;
    dailyCheck = daily;
}

void processVrequestShutdown()
{
    g_shuttingDown = true;
    shutdownRequested = true;
    sem_post(&supervisionSem);
}

bool processBsupervisionRunning()
{
    return supervisionRunning;
}

bool processBonSupervisionThread()
{
    return supervisionRunning && pthread_equal(pthread_self(), supervisionThread);
}

void processVonSignal(int signal)
{
    const int saved = errno;
    if (signal == SIGCHLD) childEvent = true;
    if (signal == SIGALRM) alarmEvent = true;
    sem_post(&supervisionSem);
    errno = saved;
}

void *processVthSupervision(void *)
{
    struct timespec nextRound = clockOafter(SUPERVISION_PERIOD_MS);
    for (;;) {
        // The hour is kept on the monotonic clock: a wall clock set at boot must not bring a round forward.
        bool hourPassed = false;
        if (clockIwaitSemaphore(&supervisionSem, nextRound) != 0) {
            if (errno != ETIMEDOUT) continue;
            hourPassed = true;
        }
        struct Handled {
            long reset = -1;
            ~Handled()
            {
                ++supervisionWakes;
                if (reset >= 0) resetsTaken = reset;
            }
        } handled;
        if (roundsRestart.exchange(false)) {
            handled.reset = resetsAsked;
            rounds = 0;
            nextRound = clockOafter(SUPERVISION_PERIOD_MS);
        } else if (hourPassed) {
            alarmEvent = true;
        }
        // Each wake says why it came: two child exits must never read as a shut-down or an hourly round,
        // and child events do not push the hourly alarm back.
        if (shutdownRequested.exchange(false)) morvVshutdown();
        if (childEvent.exchange(false)) processVsignalInhouseRecords();
        if (!alarmEvent.exchange(false)) continue;
        if (g_shuttingDown) {
            // A shut-down flagged without a wake (BIOS messages) runs now; a halt waits for a request, and a
            // shut-down delayed by the BIOS update waits for the update's end.
            if (!g_lpcmInitKo && g_biosLaunchState == BIOS_LAUNCH_IDLE) morvVshutdown();
        } else {
            if (auto hourly = hourlyCheck.load()) hourly();
            if (++rounds % ROUNDS_PER_DAY == 0) {
                rounds = 0;
                if (auto daily = dailyCheck.load()) daily();
            }
        }
        nextRound = clockOafter(SUPERVISION_PERIOD_MS);
    }
}

long processIsupervisionWakes()
{
    return supervisionWakes;
}

void processVreset()
{
    processVclearTable();
    childEvent = false;
    alarmEvent = false;
    shutdownRequested = false;
    hourlyCheck = nullptr;
    dailyCheck = nullptr;
    if (supervisionRunning) {
        while (sem_trywait(&supervisionSem) == 0) {
        }
        // The hour counts again from now: the supervision thread is woken to take it, and has taken it
        // when this returns (unless it is held elsewhere for long).
        const long asked = ++resetsAsked;
        roundsRestart = true;
        sem_post(&supervisionSem);
        const struct timespec pause = {0, 1000000};
        for (int left = 10000; left > 0 && resetsTaken < asked; --left) nanosleep(&pause, nullptr);
    }
    processVresetInhouseRecords();
}

void processVinit()
{
    processVclearTable();
    childEvent = false;
    alarmEvent = false;
    shutdownRequested = false;
    if (sem_init(&supervisionSem, 0, 0) != 0)
        morvVlog("processVinit: sem_init. Error %d: %s\n", errno, strerror(errno));
    const int status = morvSpthreadCreate(&supervisionThread, nullptr, processVthSupervision, nullptr);
    if (status != 0) {
        morvVlog("processVinit: morvSpthreadCreate error %d:%s\n", status, strerror(status));
        return;
    }
    supervisionRunning = true;
    struct sigaction action = {};
    action.sa_handler = processVonSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGCHLD, &action, nullptr);
    sigaction(SIGALRM, &action, nullptr);
}
