#include "TableLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace netkeep {

namespace {
constexpr char defaultLockPath[] = "/run/xtables.lock";

// flock() does not exclude two threads that share one open file, so the threads of this program take
// turns here first and only the outermost holder takes the file lock.
std::recursive_mutex threads;
int depth = 0;

// A flock() lock belongs to the open file, and a child forked without exec holds that file too: it would
// keep the lock after our call ends, and every writer would wait for the child. So the child closes its
// copy first thing, and fork() returns in the parent only once it has. fork() waits for this guard, which
// is never held across a wait, so that the descriptor named here is the one the lock file is open on.
std::mutex descriptorGuard;
int heldDescriptor = -1;
int childClosed[2] = {-1, -1}; // a pipe whose end of file tells the parent the child closed its copy

void beforeFork()
{
    descriptorGuard.lock();
    if (heldDescriptor >= 0 && pipe2(childClosed, O_CLOEXEC) != 0)
        childClosed[0] = childClosed[1] = -1;
}

void afterForkInParent()
{
    const int error = errno; // fork()'s own, when it failed
    if (childClosed[0] >= 0) {
        close(childClosed[1]);
        char byte;
        while (read(childClosed[0], &byte, 1) < 0 && errno == EINTR) {
        }
        close(childClosed[0]);
        childClosed[0] = childClosed[1] = -1;
    }
    descriptorGuard.unlock();
    errno = error;
}

void afterForkInChild()
{
    if (heldDescriptor >= 0)
        close(heldDescriptor); // not LOCK_UN, which would take the lock from the parent's call too
    heldDescriptor = -1;
    if (childClosed[0] >= 0) {
        close(childClosed[0]);
        close(childClosed[1]);
        childClosed[0] = childClosed[1] = -1;
    }
    depth = 0;
    // The thread whose call held these does not exist in the child.
    new (&threads) std::recursive_mutex;
    new (&descriptorGuard) std::mutex;
}

[[noreturn]] void lockFailure(const char *what)
{
    throw std::runtime_error(std::string("TableLock - cannot ") + what + " " + tableLockPath() + ": " +
                             std::strerror(errno));
}

void closeLockFile()
{
    const std::lock_guard<std::mutex> guard(descriptorGuard);
    close(heldDescriptor); // releases the file lock
    heldDescriptor = -1;
}

void lockFile()
{
    static const int forkHandlers = pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);
    if (forkHandlers != 0) {
        errno = forkHandlers;
        lockFailure("guard against fork for");
    }
    {
        const std::lock_guard<std::mutex> guard(descriptorGuard);
        heldDescriptor = open(tableLockPath(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        if (heldDescriptor < 0)
            lockFailure("open");
    }
    // Waits as long as the holder needs, as "iptables -w" does.
    while (flock(heldDescriptor, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const int error = errno;
            closeLockFile();
            errno = error;
            lockFailure("lock");
        }
    }
}
} // namespace

const char *tableLockPath()
{
    const char *path = std::getenv("XTABLES_LOCKFILE");
    return path && *path ? path : defaultLockPath;
}

TableLock::TableLock()
{
    threads.lock();
    if (depth == 0) {
        try {
            lockFile();
        } catch (...) {
            threads.unlock();
            throw;
        }
    }
    ++depth;
}

TableLock::~TableLock()
{
    if (--depth == 0)
        closeLockFile();
    threads.unlock();
}

} // namespace netkeep
