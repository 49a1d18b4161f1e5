// The process table: every program the supervisor runs, each watched by its own thread that forks,
// waits and applies the restart policy; daemons and in-house programs get the extra supervision of
// their own; one supervision thread fans out child events, runs the periodic checks and the shut-down.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <string>
#include <sys/types.h>
#include <vector>

constexpr int MAX_PROCESS_ENTRIES = 100;
constexpr int ITEM_NAME_SIZE = 20;
constexpr int SESSION_ID_SIZE = 11;
constexpr int PROG_PATH_SIZE = 101;
constexpr int PROG_PARAMS_SIZE = 513;
constexpr int FAIL_PATH_SIZE = 101;
constexpr int FAIL_PARAMS_SIZE = 107;
constexpr int DEAMON_RESTART_TIMES = 3;
constexpr int NO_TIMEOUT = -1;

constexpr char TYPE_INHOUSE = 'A';
constexpr char TYPE_DEAMON = 'D';
constexpr char TYPE_EXTERNAL = 'E';
constexpr char TYPE_ONESHOT = 'S';

constexpr char FAIL_ALWAYS = 'C';       // restart without limit
constexpr char FAIL_FATAL = 'F';        // restart; reset the board after 3 starts in 30 minutes
constexpr char FAIL_IGNORE = 'N';       // do nothing
constexpr char FAIL_RESET = 'R';        // reset the board at once
constexpr char FAIL_TOLERATE = 'T';     // restart; leave the process after 3 starts in 30 minutes

constexpr const char *PROCESS_SOURCE = "process.c";

// An entry belongs to its owner thread (the per-process thread, then a daemon's watcher): only the owner
// changes its program fields and frees it. Other threads ask it to stop and read it under the table lock;
// an entry without owner (left by an ended program) is freed by whoever finds it so.
struct ProcessEntry {
    char itemName[ITEM_NAME_SIZE];
    std::atomic<int32_t> pid;           // 0 free, -1 reserved, > 0 the running child
    std::atomic<bool> reaped;           // the child of that pid has been waited for: never signalled again
    pthread_t thread;                   // the owner; none once it has left the entry
    int32_t restartTimes[DEAMON_RESTART_TIMES];  // newest first; 0 unused
    std::atomic<bool> beingKilled;
    char sessionId[SESSION_ID_SIZE];
    char type;
    char path[PROG_PATH_SIZE];
    char params[PROG_PARAMS_SIZE];
    int32_t timeout;                    // seconds; NO_TIMEOUT for none
    char failPath[FAIL_PATH_SIZE];
    char failParams[FAIL_PARAMS_SIZE];
    char failParam;
    std::atomic<int32_t> inUse;
};

extern ProcessEntry g_processTable[MAX_PROCESS_ENTRIES];

// A copy of an entry taken under the table lock, for threads other than its owner (a table dump, tests).
struct ProcessView {
    bool inUse;
    pid_t pid;
    bool reaped;
    bool beingKilled;
    char itemName[ITEM_NAME_SIZE];
    char sessionId[SESSION_ID_SIZE];
    char type;
    char path[PROG_PATH_SIZE];
    char params[PROG_PARAMS_SIZE];
    int32_t timeout;
    char failPath[FAIL_PATH_SIZE];
    char failParams[FAIL_PARAMS_SIZE];
    char failParam;
};
ProcessView processOview(int index);

// Fills an entry's program fields, each cut to its field.
void processVsetProgram(int index, const char *sessionId, char type, const char *path, const char *params,
                        int timeout, const char *failPath, const char *failParams, char failParam);

int morvIGetFreeTableEntry();
void processVfreeEntry(int index);
void processVclearTable();

// Starts the entry's thread; THREAD receives its id for the caller to join or detach.
int processIStartProcess(int index, pthread_t *thread);
// A restart of the entry (a daemon's, by its watcher): it keeps the item it was first started for.
int processIRestartProcess(int index, pthread_t *thread);
// Starts one of the table's threads (an entry's, or a daemon's watcher) for INDEX, counted until it ends.
int processIstartTableThread(pthread_t *thread, void *(*function)(void *), int index);
// The table's threads now running; none once everything has been stopped.
int processIliveThreads();
int morvSpthreadCreate(pthread_t *thread, const pthread_attr_t *attributes, void *(*function)(void *),
                       void *argument);

int processIStopProcess(int index);
int processIStopEntry(int index, const char *item);  // stops it only while ITEM (when given) is its item
int processIStopByItem(const char *item);
void processVstopAll();
int processISignalProcess(int index, int signal);
int processIGetProcessIndexBySessionID(const char *session);
int processIGetIndexByPid(pid_t pid);
bool processBofAnotherSession(pid_t pid, const char *session);  // PID is an entry's of another session

// Starts on a board program's request (the message server's thread, message 16's item workers): once the
// board shuts down, the calling thread's starts are refused, as are restarts; the shut-down's own
// programs still run.
void processVstartsOnRequest(bool onRequest);
// A thread acting on such a request, counted from before its creation to its end: the stop of all
// programs goes on while one runs, since it may be waiting for a program it started.
void processVrequestBegins();
void processVrequestEnds();

void processVinit();
// Back to the state at load, for a new run in the same process: table, flags, checks and in-house
// records. Only with no table thread running.
void processVreset();
void *processVthProcess(void *index);
void *processVthSupervision(void *);
void processVonSignal(int signal);

// The hourly and daily resource checks the supervision thread runs; none until they are set.
void processVsetPeriodicChecks(void (*hourly)(), void (*daily)());
// Asks the supervision thread to shut the board down.
void processVrequestShutdown();
bool processBonSupervisionThread();
bool processBsupervisionRunning();
// Wakes of the supervision thread handled so far (for tests that wait until it is done with theirs).
long processIsupervisionWakes();

// The shell command line a child runs: " exec " and every word followed by a blank.
std::string processVwrapInShell(const std::vector<std::string> &words);
// The path and the parameter words of a program, keywords replaced, at most 50 words in all.
std::vector<std::string> processVbuildArguments(const char *path, const char *params);
void processVcheckExitStatus(int index, pid_t pid, int status, int *exitValue, int *signal, int *stopSignal);
void processVLaunchFailExec(int index);

// Sleeps the whole time even when signals arrive.
void processVpause(int milliseconds);

// Changes an owner makes to its entry, under the table lock.
void processVtakeOwnership(int index);
void processVleaveEntry(int index);              // the owner ends; the entry stays for a lookup to free
void processVsetPid(int index, pid_t pid);       // a new child, or the daemon followed
// Reaps the entry's child PID (waiting for its end when BLOCK) and marks it reaped in the same step, so
// no stop signals a pid the supervisor has already reaped. waitpid's result.
int processIreapChild(int index, pid_t pid, int *status, bool block);
// Pauses the owner for MILLISECONDS of the clock, less when a stop is asked for: false then.
bool processBpauseUnlessStopped(int index, int milliseconds);
// waitpid that carries on through signals.
int processIwaitChild(pid_t pid, int *status, int options);
const char *processObaseName(const char *path);

// Daemon and in-house supervision.
int supervised_brenvik_binary(int index);
int processSsuperviseDeamonBinary(int index);
void *processVthDeamon(void *index);
pid_t processIGetChildDeamonPIDcheckSession(int index, const char *session);
pid_t processIGetChildDeamonPID(int index);
int processIrefreshInhouse(pid_t pid);     // an alive message; 0, or -1 when no record has that pid
void processVsignalInhouseRecords();       // a child event or a shut-down: every record looks again
void processVresetInhouseRecords();

// Parameter keywords replaced by board data just before a child runs.
void processVtreat_kw(std::vector<std::string> &words);
std::string processSformatKeyword(const char *keyword, const void *values, int count, int elementSize);
