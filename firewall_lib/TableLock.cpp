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
// copy at once; fork() waits for this guard, which is never held across a wait, so that the descriptor
// named here is always the one the lock file is open on.
std::mutex descriptorGuard;
int heldDescriptor = -1;

void beforeFork() { descriptorGuard.lock(); }
void afterForkInParent() { descriptorGuard.unlock(); }
void afterForkInChild()
{
    if (heldDescriptor >= 0)
        close(heldDescriptor); // not LOCK_UN, which would take the lock from the parent's call too
    heldDescriptor = -1;
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
