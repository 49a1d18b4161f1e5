#include "clock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
constexpr long NANOSECONDS_PER_SECOND = 1000000000L;
constexpr long DRIVEN_SLICE_MS = 5;  // a driven wait looks at the clock this often

std::atomic<bool> driven{false};

// The clock is the monotonic clock plus ADVANCED_NS, or while a test holds it (HOLDS > 0), HELD_NS.
pthread_mutex_t stateMutex = PTHREAD_MUTEX_INITIALIZER;
long long advancedNs = 0;
int holds = 0;
long long heldNs = 0;

class StateLock {
public:
    StateLock() { pthread_mutex_lock(&stateMutex); }
    ~StateLock() { pthread_mutex_unlock(&stateMutex); }
};

// STATE_MUTEX held.
void moveBy(long long nanoseconds)
{
    (holds > 0 ? heldNs : advancedNs) += nanoseconds;
}

// The waits in progress while the clock is driven, so that a test can tell which threads are blocked on
// the clock and how far it may move.
struct Wait {
    struct timespec deadline;
    pid_t thread;
};
pthread_mutex_t waitsMutex = PTHREAD_MUTEX_INITIALIZER;
// Never destroyed: the supervisor's threads still wait while the program exits.
std::vector<const Wait *> &waits = *new std::vector<const Wait *>;
std::atomic<unsigned long> generation{0};

class WaitsLock {
public:
    WaitsLock() { pthread_mutex_lock(&waitsMutex); }
    ~WaitsLock() { pthread_mutex_unlock(&waitsMutex); }
};

struct timespec plus(struct timespec t, long long nanoseconds)
{
    const long long total = t.tv_nsec + nanoseconds % NANOSECONDS_PER_SECOND;
    t.tv_sec += static_cast<time_t>(nanoseconds / NANOSECONDS_PER_SECOND + total / NANOSECONDS_PER_SECOND);
    t.tv_nsec = static_cast<long>(total % NANOSECONDS_PER_SECOND);
    if (t.tv_nsec < 0) {
        t.tv_nsec += NANOSECONDS_PER_SECOND;
        --t.tv_sec;
    }
    return t;
}

long long difference(const struct timespec &a, const struct timespec &b)
{
    return (static_cast<long long>(a.tv_sec) - b.tv_sec) * NANOSECONDS_PER_SECOND + (a.tv_nsec - b.tv_nsec);
}

struct timespec monotonic()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

// The monotonic time at which a wait for DEADLINE of this clock wakes: the deadline itself, or while
// driven the next look at the clock.
struct timespec wakeAt(const struct timespec &deadline)
{
    struct timespec real;
    {
        StateLock lock;
        if (holds > 0) return plus(monotonic(), DRIVEN_SLICE_MS * 1000000LL);
        real = plus(deadline, -advancedNs);
    }
    if (!driven) return real;
    const struct timespec slice = plus(monotonic(), DRIVEN_SLICE_MS * 1000000LL);
    return difference(real, slice) < 0 ? real : slice;
}

// Lists a wait for as long as it lasts, while the clock is driven.
class Listed {
public:
    explicit Listed(const struct timespec &deadline) : wait_{deadline, static_cast<pid_t>(syscall(SYS_gettid))}
    {
        if (!driven) return;
        listed_ = true;
        WaitsLock lock;
        waits.push_back(&wait_);
        ++generation;
    }
    ~Listed()
    {
        if (!listed_) return;
        WaitsLock lock;
        waits.erase(std::find(waits.begin(), waits.end(), &wait_));
        ++generation;
    }
    Listed(const Listed &) = delete;
    Listed &operator=(const Listed &) = delete;

private:
    const Wait wait_;
    bool listed_ = false;
};
}  // namespace

struct timespec clockOnow()
{
    StateLock lock;
    return holds > 0 ? plus(timespec{0, 0}, heldNs) : plus(monotonic(), advancedNs);
}

time_t clockIseconds()
{
    return clockOnow().tv_sec;
}

struct timespec clockOafter(long milliseconds)
{
    return plus(clockOnow(), milliseconds * 1000000LL);
}

bool clockBpassed(const struct timespec &deadline)
{
    return difference(clockOnow(), deadline) >= 0;
}

long clockImillisecondsUntil(const struct timespec &deadline)
{
    const long long left = difference(deadline, clockOnow());
    return left <= 0 ? 0 : static_cast<long>((left + 999999) / 1000000);
}

void clockVsleep(long milliseconds)
{
    const struct timespec deadline = clockOafter(milliseconds);
    const Listed listed(deadline);
    while (!clockBpassed(deadline)) {
        const struct timespec until = wakeAt(deadline);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    }
}

int clockIwaitCondition(pthread_cond_t *condition, pthread_mutex_t *mutex, const struct timespec &deadline)
{
    if (clockBpassed(deadline)) return ETIMEDOUT;
    const Listed listed(deadline);
    const struct timespec until = wakeAt(deadline);
    if (pthread_cond_clockwait(condition, mutex, CLOCK_MONOTONIC, &until) != ETIMEDOUT) return 0;
    // A signal that comes as a driven wait's slice ends may be taken by the time-out: the caller looks at
    // its predicate again rather than wait on.
    return clockBpassed(deadline) ? ETIMEDOUT : 0;
}

int clockIwaitSemaphore(sem_t *semaphore, const struct timespec &deadline)
{
    const Listed listed(deadline);
    for (;;) {
        if (sem_trywait(semaphore) == 0) return 0;
        if (clockBpassed(deadline)) {
            errno = ETIMEDOUT;
            return -1;
        }
        const struct timespec until = wakeAt(deadline);
        if (sem_clockwait(semaphore, CLOCK_MONOTONIC, &until) == 0) return 0;
        if (errno != ETIMEDOUT) return -1;
    }
}

void clockVdrive()
{
    driven = true;
}

void clockVadvance(long milliseconds)
{
    StateLock lock;
    moveBy(milliseconds * 1000000LL);
}

unsigned long clockLwaitGeneration()
{
    return generation.load();
}

std::vector<pid_t> clockVwaitingThreads()
{
    WaitsLock lock;
    std::vector<pid_t> threads;
    for (const Wait *w : waits) threads.push_back(w->thread);
    return threads;
}

bool clockBjumpToNextDeadline(unsigned long seen, long withinMs)
{
    WaitsLock lock;
    if (waits.empty() || generation.load() != seen) return false;
    const Wait *earliest = *std::min_element(waits.begin(), waits.end(), [](const Wait *a, const Wait *b) {
        return difference(a->deadline, b->deadline) < 0;
    });
    const long long ahead = difference(earliest->deadline, clockOnow());
    // A wait whose deadline has passed is about to end: its thread has yet to run.
    if (ahead <= 0 || ahead / 1000000 >= withinMs) return false;
    StateLock state;
    moveBy(ahead);
    return true;
}

bool clockBwaitOverdue()
{
    WaitsLock lock;
    return std::any_of(waits.begin(), waits.end(), [](const Wait *w) { return clockBpassed(w->deadline); });
}

void clockVhold(bool hold)
{
    StateLock lock;
    const long long realNs = difference(monotonic(), timespec{0, 0});
    if (hold && holds++ == 0) heldNs = realNs + advancedNs;
    if (!hold && --holds == 0) advancedNs = heldNs - realNs;
}
