// The supervisor's one clock for deadlines, pauses and periodic rounds. It is monotonic, so a step of the
// wall clock at boot fires none of them, and tests can drive it: they move it forward instead of waiting.
#pragma once

#include <ctime>
#include <pthread.h>
#include <semaphore.h>
#include <sys/types.h>
#include <vector>

// Now on the monotonic clock, plus whatever a test has moved it forward.
struct timespec clockOnow();
time_t clockIseconds();                          // whole seconds of clockOnow()
struct timespec clockOafter(long milliseconds);  // clockOnow() + MILLISECONDS
bool clockBpassed(const struct timespec &deadline);
long clockImillisecondsUntil(const struct timespec &deadline);  // 0 once it has passed

// Sleeps until MILLISECONDS of this clock have passed, whatever signals arrive.
void clockVsleep(long milliseconds);
// Waits on CONDITION (MUTEX held, as for pthread_cond_wait) until DEADLINE of this clock: 0 when signalled
// (or woken spuriously), ETIMEDOUT once the deadline has passed.
int clockIwaitCondition(pthread_cond_t *condition, pthread_mutex_t *mutex, const struct timespec &deadline);
// sem_wait until DEADLINE of this clock: 0 when taken; -1 with errno ETIMEDOUT once the deadline has
// passed, or EINTR when a signal arrived.
int clockIwaitSemaphore(sem_t *semaphore, const struct timespec &deadline);

// For tests. Once driven, every wait looks at the clock at least every few milliseconds, so a move
// forward ends the waits whose deadline it passes within that time; the clock still keeps the pace of real
// time beneath the moves, as the programs the supervisor runs do.
void clockVdrive();
void clockVadvance(long milliseconds);
// While held (from the first hold to its last release), the clock stands still but for moves; released,
// it keeps the pace of real time again from where it stood.
void clockVhold(bool hold);
// Changes whenever a wait on the clock starts or ends.
unsigned long clockLwaitGeneration();
// The threads (kernel ids) now waiting on the clock.
std::vector<pid_t> clockVwaitingThreads();
// Moves the clock straight to the earliest deadline of the waits in progress, unless a wait started or
// ended since GENERATION was read, none is in progress, one's deadline has passed already (its thread has
// yet to see it), or the deadline is more than WITHIN_MS ahead. True when it moved.
bool clockBjumpToNextDeadline(unsigned long generation, long withinMs);
// True when a wait is in progress whose deadline has passed: its thread has yet to see it.
bool clockBwaitOverdue();
