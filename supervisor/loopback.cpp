#include "loopback.h"

#include "files.h"
#include "log.h"
#include "morvash.h"
#include "process.h"
#include "subconfig.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/loop.h>
#include <list>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr mode_t MOUNT_POINT_MODE = 0755;
constexpr int CRYPT_DES_CBC = 18;               // the board kernel's DES-CBC loop transfer
constexpr const char *CRYPT_NAME = "des-cbc";
constexpr const char CRYPT_KEY[] = "Wq5$nHr*";
constexpr int CRYPT_KEY_SIZE = 8;
constexpr unsigned long CRYPT_INIT = 0x5a3c96e1; // the transfer's first initialisation word

struct LoopbackMount {
    char item[ITEM_NAME_SIZE];                  // base name of the item that mounted it; empty when none
    std::string mountPoint;
    std::string device;
};

std::mutex mountsMutex;
std::list<LoopbackMount> mounts;                // newest first
// Held from the search for a free device until it is bound, so two of our threads never pick the same.
std::mutex bindMutex;

struct Fd {
    int fd;
    ~Fd() { if (fd >= 0) close(fd); }
};

// Unmounts and releases one image; 0 or -1. NAME prefixes the messages.
int unmountOne(const char *name, const LoopbackMount &m)
{
    if (umount(m.mountPoint.c_str()) != 0) {
        const int error = errno;
        morvVlog("%s: Error (%d) unmounting %s: %s\n", name, error, m.mountPoint.c_str(), strerror(error));
        return -1;
    }
    if (loopbackSdel_loop(m.device.c_str()) != 0) {
        morvVlog("%s: Error deleting loop device %s\n", name, m.device.c_str());
        return -1;
    }
    morvVlog("%s: umount %s OK.\n", name, m.mountPoint.c_str());
    return 0;
}

// Takes the records of ITEM (all of them when null) off the list, newest first.
std::list<LoopbackMount> takeMounts(const char *item)
{
    std::lock_guard<std::mutex> lock(mountsMutex);
    std::list<LoopbackMount> taken;
    for (auto m = mounts.begin(); m != mounts.end();) {
        const auto next = std::next(m);
        if (!item || strcmp(m->item, item) == 0) taken.splice(taken.end(), mounts, m);
        m = next;
    }
    return taken;
}
}  // namespace

std::string find_unused_loop_device()
{
    bool someDevice = false;
    bool someBusy = false;
    for (int n = 0; n < LOOP_DEVICE_COUNT; ++n) {
        const std::string device = "/dev/loop" + std::to_string(n);
        struct stat st;
        if (stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
        someDevice = true;
        Fd fd{open(device.c_str(), O_RDONLY)};
        if (fd.fd < 0) continue;
        struct loop_info info;
        if (ioctl(fd.fd, LOOP_GET_STATUS, &info) == 0) {
            someBusy = true;
        } else if (errno == ENXIO) {
            return device;
        }
    }
    if (!someDevice) {
        morvVlog("find_unused_loop_device: could not find any device /dev/loop#\n");
    } else if (someBusy) {
        morvVlog("find_unused_loop_device: could not find any free loop device\n");
    } else {
        morvVlog("find_unused_loop_device: Could not find any loop device. Maybe this kernel does not know\n"
                 "about the loop device, or\nmaybe /dev/loop# has the wrong major number?\n");
    }
    return "";
}

int loopbackSset_loop(const char *device, const char *image, bool readOnly, bool crypted)
{
    const int mode = readOnly ? O_RDONLY : O_RDWR;
    Fd file{open(image, mode)};
    if (file.fd < 0) {
        morvVlog("loopbackSset_loop: error %d (%s) opening loopback file %s\n", errno, strerror(errno), image);
        return 1;
    }
    Fd loop{open(device, mode)};
    if (loop.fd < 0) {
        morvVlog("loopbackSset_loop: error %d (%s) opening loop device %s\n", errno, strerror(errno), device);
        return 1;
    }
    if (ioctl(loop.fd, LOOP_SET_FD, file.fd) < 0) {
        morvVlog("loopbackSset_loop: error %d (%s) on ioctl LOOP_SET_FD with loop device %s\n", errno,
                 strerror(errno), device);
        return 1;
    }
    struct loop_info info;
    memset(&info, 0, sizeof info);
    if (crypted) {
        snprintf(info.lo_name, sizeof info.lo_name, "%s", CRYPT_NAME);
        info.lo_encrypt_type = CRYPT_DES_CBC;
        info.lo_encrypt_key_size = CRYPT_KEY_SIZE;
        memcpy(info.lo_encrypt_key, CRYPT_KEY, CRYPT_KEY_SIZE);
        info.lo_init[0] = CRYPT_INIT;
    } else {
        snprintf(info.lo_name, sizeof info.lo_name, "%s", image);
    }
    if (ioctl(loop.fd, LOOP_SET_STATUS, &info) < 0) {
        morvVlog("loopbackSset_loop: error %d (%s) on ioctl LOOP_SET_STATUS with loop device %s\n", errno,
                 strerror(errno), device);
        ioctl(loop.fd, LOOP_CLR_FD, 0);
        return 1;
    }
    // A kernel without the transfer takes the request and drops the encryption: the image would be
    // read as it lies on disk.
    struct loop_info taken;
    if (crypted && (ioctl(loop.fd, LOOP_GET_STATUS, &taken) < 0 || taken.lo_encrypt_type != CRYPT_DES_CBC)) {
        morvVlog("loopbackSset_loop: loop device %s has no DES-CBC transfer (encryption type %d refused)\n", device,
                 CRYPT_DES_CBC);
        ioctl(loop.fd, LOOP_CLR_FD, 0);
        return 1;
    }
    return 0;
}

int loopbackSdel_loop(const char *device)
{
    Fd fd{open(device, O_RDONLY)};
    if (fd.fd < 0) {
        morvVlog("loopbackSdel_loop: can't open device %s: %s\n", device, strerror(errno));
        return 1;
    }
    if (ioctl(fd.fd, LOOP_CLR_FD, 0) < 0) {
        morvVlog("loopbackSdel_loop: ioctl LOOP_CLR_FD on %s failed: %s\n", device, strerror(errno));
        return 1;
    }
    return 0;
}

int loopbackSmount_loopback(const char *rest, bool crypted)
{
    if (!rest) {
        morvVlog("loopbackSmount_loopback: no formated string\n");
        return -1;
    }
    std::unique_lock<std::mutex> binding(bindMutex);
    const std::string device = find_unused_loop_device();
    if (device.empty()) {
        morvVlog("loopbackSloopback_loopback: error searching a free loop device\n");
        return -1;
    }
    const std::string image = filesSfieldWord(rest, 0);
    if (image.empty()) {
        morvVlog("loopbackSmount_loopback: Error scanning loopback file name in (%s)\n", rest);
        return -1;
    }
    std::string mountPoint = filesSfieldWord(rest, 1);
    if (mountPoint.empty()) {
        morvVlog("loopbackSmount_loopback: Error scanning mount point in %s\n", rest);
        return -1;
    }
    if (mountPoint[0] != '/') mountPoint = CURRENT_DIR + mountPoint;
    if (!filesBdirExists(mountPoint.c_str()) && mkdir(mountPoint.c_str(), MOUNT_POINT_MODE) != 0) {
        morvVlog("loopbackSmount_loopback: Mount point %s does not exist and can not be created.\nError: %s\n",
                 mountPoint.c_str(), strerror(errno));
        return -1;
    }
    if (loopbackSset_loop(device.c_str(), image.c_str(), true, crypted) != 0) {
        morvVlog("loopbackSmount_loopback: Error setting loopback file %s with loop device %s\n", image.c_str(),
                 device.c_str());
        return -1;
    }
    binding.unlock();
    if (mount(device.c_str(), mountPoint.c_str(), LOOP_FS_TYPE, MS_RDONLY, nullptr) != 0) {
        morvVlog("loopbackSmount_loopback: Unable to mount loopbackfile %s on %s.\nError: %s\n", image.c_str(),
                 mountPoint.c_str(), strerror(errno));
        loopbackSdel_loop(device.c_str());
        return -1;
    }
    LoopbackMount record{};
    const int item = g_currentItem;
    if (item >= 0 && item < MAX_CONFIG_ITEMS && g_itemTable.items[item].name)
        snprintf(record.item, sizeof record.item, "%s", processObaseName(g_itemTable.items[item].name));
    record.mountPoint = mountPoint;
    record.device = device;
    std::lock_guard<std::mutex> lock(mountsMutex);
    mounts.push_front(record);
    return 0;
}

void loopbackVunmountAll()
{
    for (const LoopbackMount &m : takeMounts(nullptr)) unmountOne("loopbackVunmountAll", m);
}

int loopbackSunmountByItem(const char *item)
{
    int result = 0;
    for (const LoopbackMount &m : takeMounts(item)) result += unmountOne("loopbackSunmountByItem", m);
    return result;
}

void loopbackVreset()
{
    std::lock_guard<std::mutex> lock(mountsMutex);
    mounts.clear();
}
