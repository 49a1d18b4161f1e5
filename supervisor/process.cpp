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

pthread_mutex_t tableMutex = PTHREAD_MUTEX_INITIALIZER;
sem_t supervisionSem;
pthread_t supervisionThread;
std::atomic<bool> supervisionRunning{false};
volatile sig_atomic_t childEvent;
volatile sig_atomic_t alarmEvent;
volatile sig_atomic_t shutdownRequested;
std::atomic<void (*)()> hourlyCheck{nullptr};
std::atomic<void (*)()> dailyCheck{nullptr};
std::atomic<int> rounds{0};
std::atomic<bool> roundsRestart{false};
std::atomic<int> liveThreads{0};

struct TableThread {
    void *(*function)(void *);
    int index;
};

void *runTableThread(void *argument)
{
    const TableThread started = *static_cast<TableThread *>(argument);
    delete static_cast<TableThread *>(argument);
    // Counted down however the thread ends: returned, cancelled or ended by the fatal handler.
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

void resetEntry(ProcessEntry &e)
{
    memset(e.itemName, 0, sizeof e.itemName);
    e.pid = 0;
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
}

bool processExists(pid_t pid)
{
    return kill(pid, 0) == 0 || errno != ESRCH;
}

// A daemon's launcher is still our child after its thread was cancelled in the middle of waiting for it:
// reap it here, or it stays a zombie that looks alive.
bool deamonExists(pid_t pid)
{
    int status;
    if (processIwaitChild(pid, &status, WNOHANG) == pid) return false;
    return processExists(pid);
}

// Runs WORDS through the shell in a forked child; a failed exec is reported by EXEC_FAILED(prefix, errno)
// in the child.
template <typename ExecFailed>
pid_t forkShell(const std::vector<std::string> &words, unsigned alarmSeconds, ExecFailed execFailed)
{
    const std::string command = processVwrapInShell(words);
    char prefix[LOG_PREFIX_SIZE];
    morvVlogPrefix(prefix);
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

// The entry of an ended program that this thread leaves in place, for a lookup to free. The ending
// thread's id goes too: it may soon be another thread's, which a stop must not cancel.
void *leaveEntry(ProcessEntry &e, pid_t pid)
{
    e.pid = pid;
    e.thread = pthread_t{};
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
    // Nothing runs during the pause: a lookup must not take the entry for a vanished process and free it.
    e.pid = -1;
    processVpause(RESTART_PAUSE * 1000);
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

void processVpause(int milliseconds)
{
    clockVsleep(milliseconds);
}

void processVsetProgram(int index, const char *sessionId, char type, const char *path, const char *params,
                        int timeout, const char *failPath, const char *failParams, char failParam)
{
    ProcessEntry &e = g_processTable[index];
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
        pthread_mutex_lock(&tableMutex);
        ProcessEntry &e = g_processTable[i];
        if (e.pid == 0 && e.inUse == 0) {
            e.inUse = 1;
            e.pid = -1;
            pthread_mutex_unlock(&tableMutex);
            return i;
        }
        pthread_mutex_unlock(&tableMutex);
    }
    morvVlog("morvIGetFreeTableEntry: WARNING no more free process entry");
    morvVlogResources("SUPERVISION PROCESS ALERT : no more free process entry");
    return -1;
}

void processVfreeEntry(int index)
{
    resetEntry(g_processTable[index]);
}

void processVclearTable()
{
    pthread_mutex_lock(&tableMutex);
    for (ProcessEntry &e : g_processTable) resetEntry(e);
    pthread_mutex_unlock(&tableMutex);
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
    ProcessEntry &e = g_processTable[index];
    if (e.sessionId[0] == '\0') {
        char *out = e.sessionId;
        for (const char *p = processObaseName(e.path); *p && out < e.sessionId + SESSION_ID_SIZE - 1; ++p)
            *out++ = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
        *out = '\0';
    }
    // A restart keeps the item it was first started for.
    const int item = g_currentItem;
    if (e.itemName[0] == '\0' && item >= 0 && item < MAX_CONFIG_ITEMS && g_itemTable.items[item].name)
        copyText(e.itemName, sizeof e.itemName, processObaseName(g_itemTable.items[item].name));
    pthread_t created;
    const int status = processIstartTableThread(&created, processVthProcess, index);
    if (status != 0) {
        morvVlog("processIStartProcess: FAILED to start thread for process [sessionID=%s] [ProgPath=%s]", e.sessionId,
                 e.path);
        return status;
    }
    if (thread) *thread = created;
    return 0;
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
    e.sessionId[0] = '\0';
    const pid_t pid = forkShell(processVbuildArguments(e.failPath, e.failParams), 0, [&e](const char *prefix, int) {
        morvVlogInChild(prefix, "processVLaunchFailExec FAILED: to call execvp(%s %s) for \"%s %s\"\n", e.failPath,
                        e.failParams, e.path, e.params);
    });
    if (pid < 0) {
        morvVlog("processVLaunchFailExec: FAILED: to fork (%s)\n", strerror(errno));
        processVfreeEntry(index);
        return;
    }
    morvVlog("processVLaunchFailExec: starting \"%s %s\" [pid=%d]\n", e.failPath, e.failParams, pid);
    int status;
    if (processIwaitChild(pid, &status, 0) < 0) {
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
    e.thread = pthread_self();
    time_t windowStart = now();
    int starts = 0;
    for (;;) {
        if (g_shuttingDown || e.beingKilled) return endThread(index, 0);
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
        e.pid = pid;
        logProcessLine("processVthProcess: (re)starting \"%s %s\"  [ProgType=%c], [pid=%d], [SessionID=%s]\n", e, pid);
        ++starts;

        bool failed;
        int status = 0;
        int waited = pid;
        if (e.type == TYPE_INHOUSE) {
            if (supervised_brenvik_binary(index) == 0) return nullptr;
            failed = true;
        } else {
            waited = processIwaitChild(pid, &status, 0);
            failed = false;
        }
        // The program has ended, but the entry stays this thread's until it is done with it: a lookup must not
        // take it for a vanished process and free it. A daemon's launcher stands for the daemon until hand-over.
        if (e.type != TYPE_DEAMON) e.pid = -1;
        if ((e.type == TYPE_ONESHOT && e.timeout == NO_TIMEOUT) || g_shuttingDown || e.beingKilled)
            return endThread(index, 0);
        if (waited < 0) {
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
                return leaveEntry(e, pid);
            case FAIL_RESET:
                morvVlog("processVthProcess: Reset the system now.\n");
                processVfreeEntry(index);
                morvVsignalErrorAndExit(PROCESS_SOURCE, 1201, RESET_SEVERITY, "Morvash: process exit abnormally");
                return reinterpret_cast<void *>(-1);
            default:
                logProcessLine("processVthProcess: Error on process type \"%s %s\"  [ProgType=%c], [pid=%d], [SessionID=%s] -> no \"failure\" parameter => do nothing.\n", e, pid);
                return leaveEntry(e, pid);
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
                return leaveEntry(e, pid);
            }
        }
        if (!restartAfterPause(index, pid, windowStart, starts)) return nullptr;
    }
}

int processIStopProcess(int index)
{
    ProcessEntry &e = g_processTable[index];
    if (!e.inUse) return 0;
    e.beingKilled = true;
    const pid_t pid = e.pid;
    const bool deamon = e.type == TYPE_DEAMON;
    // A daemon entry not started yet, or left by its ended thread, has no thread to cancel.
    if (deamon && !pthread_equal(e.thread, pthread_t{})) {
        if (pthread_cancel(e.thread) != 0)
            morvVlog("processIStopProcess] FAILED to cancel supervision thread for deamon process %s\n", e.path);
    }
    if (pid > 0) {
        const auto stillThere = [&] { return e.pid == pid && (deamon ? deamonExists(pid) : processExists(pid)); };
        kill(pid, SIGTERM);
        // SIGKILL only what is still there: after its thread reaped it the pid may be another's.
        const struct timespec grace = clockOafter(STOP_GRACE * 1000L);
        while (!clockBpassed(grace) && stillThere()) processVpause(100);
        if (stillThere()) {
            kill(pid, SIGKILL);
            int status;
            if (deamon) processIwaitChild(pid, &status, 0);
        }
    }
    if (deamon) {
        processVfreeEntry(index);
    } else {
        morvVlog("processIStopProcess] process \"%s %s\" [pid=%d], [SessionID=%s] ended\n", e.path, e.params, pid,
                 e.sessionId);
    }
    return 0;
}

int processIStopByItem(const char *item)
{
    int sum = 0;
    for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) {
        if (g_processTable[i].inUse && strcmp(g_processTable[i].itemName, item) == 0) sum += processIStopProcess(i);
    }
    return sum;
}

void processVstopAll()
{
    for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) {
        ProcessEntry &e = g_processTable[i];
        const pid_t pid = e.pid;
        if (pid <= 0) continue;
        if (!processExists(pid)) {
            processVfreeEntry(i);
            continue;
        }
        e.beingKilled = true;
        kill(pid, SIGTERM);
        if (e.type == TYPE_DEAMON && !pthread_equal(e.thread, pthread_t{})) pthread_cancel(e.thread);
    }
    const struct timespec start = clockOnow();
    const struct timespec deadline = clockOafter(STOP_ALL_LIMIT * 1000L);
    while (!clockBpassed(deadline)) {
        pid_t waitingFor = 0;
        for (int i = 0; i < MAX_PROCESS_ENTRIES && !waitingFor; ++i) {
            ProcessEntry &e = g_processTable[i];
            const pid_t pid = e.pid;
            if (pid <= 0) continue;
            if (e.type == TYPE_DEAMON && !deamonExists(pid)) {
                processVfreeEntry(i);
                continue;
            }
            waitingFor = pid;
        }
        if (!waitingFor) break;
        printf("Waiting for pid:%d ... %d/120(max) seconds elapsed.\r", waitingFor,
               static_cast<int>(clockOnow().tv_sec - start.tv_sec));
        fflush(stdout);
        processVpause(static_cast<int>(std::min(1000L, clockImillisecondsUntil(deadline))));
    }
    printf("\n");
    for (ProcessEntry &e : g_processTable) {
        const pid_t pid = e.pid;
        if (pid > 0) kill(pid, SIGKILL);
    }
}

int processISignalProcess(int index, int signal)
{
    ProcessEntry &e = g_processTable[index];
    const pid_t pid = e.pid;
    if (pid < 1) return 0;
    const int result = kill(pid, signal);
    if (e.type == TYPE_DEAMON && result == 0 && signal != SIGKILL && signal != SIGTERM) {
        processVpause(1000);
        const pid_t found = processIGetChildDeamonPID(index);
        if (found > 0 && found != pid) {
            morvVlog("processISignalProcess: Deamon process [\"%s%s\"] has changed its pid from %d to %d\n", e.path,
                     e.params, pid, found);
            e.pid = found;
        }
    }
    return result;
}

int processIGetProcessIndexBySessionID(const char *session)
{
    for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) {
        ProcessEntry &e = g_processTable[i];
        if (!e.inUse || e.beingKilled || strncmp(e.sessionId, session, SESSION_ID_SIZE) != 0) continue;
        const pid_t pid = e.pid;
        if (pid > 0 && processExists(pid)) return i;
        if (pid > 0 && e.type == TYPE_DEAMON) {
            morvVlog("WARNING: processIGetProcessIndexBySessionID(%s): found deamon binary with nonexitent PID (%d) (is it being relaunched ?" "?): considering this entry as valid ([ProgPath=%s] [ProgParam=%s] [ProgType=%c])",
                     e.sessionId, pid, e.path, e.params, e.type);
            return i;
        }
        if (pid > 0) {
            morvVlog("WARNING: processIGetProcessIndexBySessionID(%s): found entry (not a deamon) with nonexitent PID (%d): considering this entry as invalid and freeing this entry ([ProgPath=%s] [ProgParam=%s] [ProgType=%c])",
                     e.sessionId, pid, e.path, e.params, e.type);
            processVfreeEntry(i);
            continue;
        }
        morvVlog("WARNING: processIGetProcessIndexBySessionID(%s): found entry with invalid PID (%d): ignore it ([ProgPath=%s] [ProgParam=%s] [ProgType=%c])",
                 e.sessionId, pid, e.path, e.params, e.type);
    }
    return -1;
}

int processIGetIndexByPid(pid_t pid)
{
    for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) {
        if (g_processTable[i].pid == pid) return i;
    }
    return -1;
}

void processVsetPeriodicChecks(void (*hourly)(), void (*daily)())
{
    hourlyCheck = hourly;
    dailyCheck = daily;
}

void processVrequestShutdown()
{
    g_shuttingDown = true;
    shutdownRequested = 1;
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
    if (signal == SIGCHLD) childEvent = 1;
    if (signal == SIGALRM) alarmEvent = 1;
    sem_post(&supervisionSem);
    errno = saved;
}

void *processVthSupervision(void *)
{
    struct timespec nextRound = clockOafter(SUPERVISION_PERIOD_MS);
    for (;;) {
        // The hour is kept on the monotonic clock: a wall clock set at boot must not bring a round forward.
        if (clockIwaitSemaphore(&supervisionSem, nextRound) != 0) {
            if (errno != ETIMEDOUT) continue;
            alarmEvent = 1;
        }
        if (roundsRestart.exchange(false)) {
            rounds = 0;
            nextRound = clockOafter(SUPERVISION_PERIOD_MS);
            continue;
        }
        // Each wake says why it came: two child exits must never read as a shut-down or an hourly round,
        // and child events do not push the hourly alarm back.
        if (shutdownRequested) {
            shutdownRequested = 0;
            morvVshutdown();
        }
        if (childEvent) {
            childEvent = 0;
            processVsignalInhouseRecords();
        }
        if (!alarmEvent) continue;
        alarmEvent = 0;
        if (g_shuttingDown) {
            // A shut-down flagged without a wake (BIOS messages) runs now; a halt waits for a request.
            if (!g_lpcmInitKo) morvVshutdown();
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

void processVreset()
{
    processVclearTable();
    childEvent = 0;
    alarmEvent = 0;
    shutdownRequested = 0;
    hourlyCheck = nullptr;
    dailyCheck = nullptr;
    if (supervisionRunning) {
        while (sem_trywait(&supervisionSem) == 0) {
        }
        // The first round comes an hour after the reset.
        roundsRestart = true;
        sem_post(&supervisionSem);
    }
    processVresetInhouseRecords();
}

void processVinit()
{
    processVclearTable();
    childEvent = 0;
    alarmEvent = 0;
    shutdownRequested = 0;
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
