#include "clock.h"

#include <atomic>
#include <cerrno>

namespace {
constexpr long NANOSECONDS_PER_SECOND = 1000000000L;
constexpr long DRIVEN_SLICE_MS = 5;  // a driven wait looks at the clock this often

std::atomic<long long> advancedNs{0};
std::atomic<bool> driven{false};

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
    const struct timespec real = plus(deadline, -advancedNs.load());
    if (!driven) return real;
    const struct timespec slice = plus(monotonic(), DRIVEN_SLICE_MS * 1000000LL);
    return difference(real, slice) < 0 ? real : slice;
}
}  // namespace

struct timespec clockOnow()
{
    return plus(monotonic(), advancedNs.load());
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
    while (!clockBpassed(deadline)) {
        const struct timespec until = wakeAt(deadline);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    }
}

int clockIwaitCondition(pthread_cond_t *condition, pthread_mutex_t *mutex, const struct timespec &deadline)
{
    if (clockBpassed(deadline)) return ETIMEDOUT;
    const struct timespec until = wakeAt(deadline);
    if (pthread_cond_clockwait(condition, mutex, CLOCK_MONOTONIC, &until) != ETIMEDOUT) return 0;
    // A signal that comes as a driven wait's slice ends may be taken by the time-out: the caller looks at
    // its predicate again rather than wait on.
    return clockBpassed(deadline) ? ETIMEDOUT : 0;
}

int clockIwaitSemaphore(sem_t *semaphore, const struct timespec &deadline)
{
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
    advancedNs += milliseconds * 1000000LL;
}
