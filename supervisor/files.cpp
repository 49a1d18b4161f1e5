#include "files.h"

#include "log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
constexpr int COPY_BLOCK_SIZE = 512;
constexpr mode_t COPY_MODE = 0644;

struct Fd {
    int fd;
    ~Fd() { if (fd >= 0) close(fd); }
};

bool writeAll(int fd, const char *data, ssize_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= n;
    }
    return true;
}
}  // namespace

bool filesBreadable(const char *path)
{
    return access(path, R_OK) == 0;
}

int filesScopy(const char *source, const char *destination, bool append)
{
    if (access(source, R_OK) != 0) {
        morvVlog("filesScopy: %s - %s\n", source, strerror(errno));
        return -1;
    }
    Fd in{open(source, O_RDONLY)};
    if (in.fd < 0) {
        morvVlog("filesScopy - open: %s - %s\n", source, strerror(errno));
        return -1;
    }
    Fd out{open(destination, O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), COPY_MODE)};
    if (out.fd < 0) {
        morvVlog("filesScopy - open: %s - %s\n", destination, strerror(errno));
        return -1;
    }
    char block[COPY_BLOCK_SIZE];
    for (;;) {
        const ssize_t n = read(in.fd, block, sizeof block);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            morvVlog("filesScopy - read: %s - %s\n", source, strerror(errno));
            return -1;
        }
        if (!writeAll(out.fd, block, n)) {
            morvVlog("filesScopy - write: %s - %s\n", destination, strerror(errno));
            return -1;
        }
    }
}

int filesIrunShell(const char *command)
{
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
