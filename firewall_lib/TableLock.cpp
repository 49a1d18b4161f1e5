#include "TableLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
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
int heldDescriptor = -1;

[[noreturn]] void lockFailure(const char *what)
{
    throw std::runtime_error(std::string("TableLock - cannot ") + what + " " + tableLockPath() + ": " +
                             std::strerror(errno));
}

void lockFile()
{
    const int fd = open(tableLockPath(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        lockFailure("open");
    // Waits as long as the holder needs, as "iptables -w" does.
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const int error = errno;
            close(fd);
            errno = error;
            lockFailure("lock");
        }
    }
    heldDescriptor = fd;
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
    if (--depth == 0) {
        close(heldDescriptor); // releases the file lock
        heldDescriptor = -1;
    }
    threads.unlock();
}

} // namespace netkeep
