// board_loop: loop devices of a board test's own, handed out inside tools/ns/board-ns.sh.
//
//   board_loop NODE             inside the namespace: adds a fresh, unbound loop device and makes NODE
//                               ("/dev/loop0", "/dev/flash1" ...) its block node; the test or the code
//                               under test binds it to an image and mounts it
//   board_loop --release LIST   outside, when the namespace has ended: detaches and removes every device
//                               listed in LIST
//
// Inside, board-ns.sh binds the loop control device at CONTROL and the list at LIST below. Devices get
// numbers far above those the host hands out, so neither side takes the other's.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/loop.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {
constexpr const char *CONTROL = "/.board-ns/loop-control";
constexpr const char *LIST = "/.board-ns/loops";
constexpr const char *HOST_CONTROL = "/dev/loop-control";
constexpr int FIRST_NUMBER = 1000;
constexpr int NUMBERS = 30000;
constexpr int TRIES = 100;
constexpr int RELEASE_TRIES = 200;  // 10 ms apart: the namespace's mounts go away shortly after it ends

int fail(const char *what)
{
    fprintf(stderr, "board_loop: %s: %s\n", what, strerror(errno));
    return 1;
}

bool deviceNumber(int number, dev_t *device)
{
    const std::string path = "/sys/block/loop" + std::to_string(number) + "/dev";
    FILE *f = fopen(path.c_str(), "r");
    if (!f) return false;
    unsigned major = 0, minor = 0;
    const bool read = fscanf(f, "%u:%u", &major, &minor) == 2;
    fclose(f);
    *device = makedev(major, minor);
    return read;
}

int handOut(const char *node)
{
    const int control = open(CONTROL, O_RDWR | O_CLOEXEC);
    if (control < 0) {
        fprintf(stderr, "board_loop: %s: %s (loop devices are handed out only inside board-ns.sh)\n", CONTROL,
                strerror(errno));
        return 1;
    }
    srand(static_cast<unsigned>(getpid() ^ time(nullptr)));
    int number = -1;
    for (int tries = 0; tries < TRIES && number < 0; ++tries) {
        const int wanted = FIRST_NUMBER + rand() % NUMBERS;
        if (ioctl(control, LOOP_CTL_ADD, wanted) >= 0) number = wanted;
        else if (errno != EEXIST) return fail("LOOP_CTL_ADD");
    }
    close(control);
    if (number < 0) return fail("no free loop device number");
    // Listed first, so the device is removed with the namespace whatever happens next.
    if (FILE *list = fopen(LIST, "a")) {
        fprintf(list, "%d\n", number);
        fclose(list);
    }
    dev_t device;
    if (!deviceNumber(number, &device)) return fail("reading the device number");
    if (mknod(node, S_IFBLK | 0600, device) != 0) return fail(node);
    return 0;
}

int release(const char *listPath)
{
    FILE *list = fopen(listPath, "r");
    if (!list) return 0;
    const int control = open(HOST_CONTROL, O_RDWR | O_CLOEXEC);
    if (control < 0) return fail(HOST_CONTROL);
    int status = 0;
    for (int number; fscanf(list, "%d", &number) == 1;) {
        dev_t device;
        if (!deviceNumber(number, &device)) continue;
        // Our own node for the device: the host's may not have appeared yet.
        char node[] = "/tmp/board-loop.XXXXXX";
        const int placeholder = mkstemp(node);
        if (placeholder >= 0) {
            close(placeholder);
            unlink(node);
            if (mknod(node, S_IFBLK | 0600, device) == 0) {
                const int fd = open(node, O_RDONLY | O_CLOEXEC);
                if (fd >= 0) {
                    ioctl(fd, LOOP_CLR_FD, 0);
                    close(fd);
                }
                unlink(node);
            }
        }
        int tries = 0;
        while (ioctl(control, LOOP_CTL_REMOVE, number) < 0 && errno == EBUSY && ++tries < RELEASE_TRIES)
            usleep(10000);
        if (tries == RELEASE_TRIES) {
            fprintf(stderr, "board_loop: loop%d is still busy; left in place\n", number);
            status = 1;
        }
    }
    fclose(list);
    close(control);
    return status;
}
}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--release") == 0) return release(argv[2]);
    if (argc == 2 && argv[1][0] == '/') return handOut(argv[1]);
    fprintf(stderr, "usage: board_loop NODE | board_loop --release LIST\n");
    return 2;
}
