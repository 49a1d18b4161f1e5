#include "resources.h"

#include "files.h"
#include "log.h"
#include "morvash.h"
#include "process.h"
#include "resetlog.h"
#include "server.h"
#include "shutdown.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/vfs.h>

namespace {
constexpr const char *RESOURCES_SOURCE = "morvash.c";
constexpr unsigned RAMDISK_BLOCKS_LOW = 4;   // percent, compared unsigned
constexpr unsigned RAMDISK_INODES_LOW = 2;
constexpr unsigned DEVICE_LOW = 4;
constexpr const char *ZOMBIE_CHECK = "vodoo 100";
constexpr int SHELL_NOT_RUN = 127;
// The calling thread's own view: "/proc/mounts" is the process leader's, and the daemon's main thread has
// ended, its leader a zombie whose view can no longer be read.
constexpr const char *MOUNTS = "/proc/thread-self/mounts";
constexpr int MOUNTS_LINE_SIZE = 150;        // lines of at most 149 characters
constexpr size_t DEVICE_PREFIX_LENGTH = 8;
constexpr int32_t DEVICE_FULL_NOTICE = 377;
constexpr int32_t FLASH_ERROR_NOTICE = 633;
constexpr int32_t NOTICE_INDEX_STEP = 65536;
constexpr const char *FLASH_CHECK = "ckck `ls -d /mnt/flash/* 2> /dev/null`";
constexpr const char *FLASHEXT_CHECK = "ckck `ls -d /mnt/flashext/* 2> /dev/null`";
constexpr uint8_t CPU_CODES_WITH_FLASHEXT[] = {1, 7, 17, 23, 33, 39};

// The devices that get a notice when full, by their index in it.
constexpr const char *NOTED_DEVICES[] = {"/dev/fla", "/dev/flb", "/dev/hda"};
std::atomic<bool> deviceNoted[3];
// The flash file systems whose errors were reported, by notice index.
std::atomic<bool> flashReported[2];

void fatal(int line, const char *text)
{
    morvVsignalErrorAndExit(RESOURCES_SOURCE, line, RESET_SEVERITY, text);
}

// One full-device notice per device and run.
void NoteDeviceFull(const char *device)
{
    for (size_t i = 0; i < sizeof NOTED_DEVICES / sizeof NOTED_DEVICES[0]; ++i) {
        if (strncmp(device, NOTED_DEVICES[i], DEVICE_PREFIX_LENGTH) != 0) continue;
        if (!deviceNoted[i].exchange(true))
            morvVsendAnoDeviceFullToLpcm(static_cast<int32_t>(i) * NOTICE_INDEX_STEP + DEVICE_FULL_NOTICE, 0);
        return;
    }
}

// Runs the flash check COMMAND unless its file system was reported already; false when the tool could not
// run at all.
bool checkFlash(const char *command, int index)
{
    if (flashReported[index]) return true;
    const int status = filesIrunShell(command);
    if (status == SHELL_NOT_RUN) return false;
    if (status != 0 && !flashReported[index].exchange(true))
        morvVsendAnoDeviceFullToLpcm(index * NOTICE_INDEX_STEP + FLASH_ERROR_NOTICE, 0);
    return true;
}

bool hasFlashext(uint8_t cpuCode)
{
    for (uint8_t code : CPU_CODES_WITH_FLASHEXT) {
        if (code == cpuCode) return true;
    }
    return false;
}
}  // namespace

int getPercentOfFreeBlocks(const char *path)
{
    struct statfs fs;
    if (statfs(path, &fs) != 0) {
        morvVlog("getPercentOfFreeBlocks: statfs error (%d) - %s\n", errno, strerror(errno));
        return -1;
    }
    if (fs.f_blocks == 0) return -1;
    return static_cast<int>(fs.f_bfree * 100 / fs.f_blocks);
}

int getPercentOfFreeInodes(const char *path)
{
    struct statfs fs;
    if (statfs(path, &fs) != 0) {
        morvVlog("getPercentOfFreeInodes: statfs error (%d) - %s\n", errno, strerror(errno));
        return -1;
    }
    if (fs.f_files == 0) {
        morvVlog("getPercentOfFreeInodes: stfs.f_files is null!!\n");
        return -1;
    }
    return static_cast<int>(fs.f_ffree * 100 / fs.f_files);
}

void morvVcheckRamdisk(const char *root)
{
    const int blocks = getPercentOfFreeBlocks(root);
    if (static_cast<unsigned>(blocks) <= RAMDISK_BLOCKS_LOW) fatal(3036, "Ramdisk full.");
    const int inodes = getPercentOfFreeInodes(root);
    if (static_cast<unsigned>(inodes) <= RAMDISK_INODES_LOW) {
        filesIrunShell(INODE_LIST_SCRIPT);
        fatal(3046, "No more inodes in ramdisk.");
    }
    morvVlogResources("device: %s, free space: %d%%, free inodes: %d%%\n", root, blocks, inodes);
}

void morvVcheckHourly()
{
    morvVcheckRamdisk(RAMDISK_ROOT);
    if (filesIrunShell(ZOMBIE_CHECK) == 0) fatal(3054, "Too many zombies.");
}

void check_dayly()
{
    FILE *mounts = fopen(MOUNTS, "r");
    if (!mounts) {
        morvVlog("check_dayly: fopen(/proc/mounts) error (%d) - %s\n", errno, strerror(errno));
        return;
    }
    char line[MOUNTS_LINE_SIZE];
    bool first = true;
    while (fgets(line, sizeof line, mounts)) {
        // A longer line is taken by its first 149 characters; its rest is no line of its own.
        if (!strchr(line, '\n')) {
            int c;
            while ((c = fgetc(mounts)) != EOF && c != '\n') {
            }
        }
        if (first) {
            first = false;
            continue;
        }
        char device[MOUNTS_LINE_SIZE], mountPoint[MOUNTS_LINE_SIZE];
        if (sscanf(line, "%149s %149s", device, mountPoint) != 2) continue;
        if (strncmp(device, "/dev/", 5) != 0 || strncmp(device, "/dev/loop", 9) == 0) continue;
        const int blocks = getPercentOfFreeBlocks(mountPoint);
        if (static_cast<unsigned>(blocks) <= DEVICE_LOW) {
            NoteDeviceFull(device);
            morvVlogResources("SUPERVISION SPACE ALERT on device: %s, free space: %d%%\n", device, blocks);
        }
        const int inodes = getPercentOfFreeInodes(mountPoint);
        if (static_cast<unsigned>(inodes) <= DEVICE_LOW) {
            NoteDeviceFull(device);
            morvVlogResources("SUPERVISION INODES ALERT on device: %s, free inodes: %d%%\n", device, inodes);
        }
    }
    fclose(mounts);
}

void morvVcheckFashIntegrity()
{
    if (!checkFlash(FLASH_CHECK, 0)) {
        morvVlog("morvVcheckFashIntegrity: error executing ckck\n");
        return;
    }
    if (hasFlashext(g_cpuConfig.cpuCode)) checkFlash(FLASHEXT_CHECK, 1);
}

void morvVcheckDaily()
{
    check_dayly();
    morvVcheckFashIntegrity();
    filesIrunShell("mv /current/core.* /mnt/soft/debug/");
    filesIrunShell("chmod go+rw /mnt/soft/debug/core.*");
    processVcheckTable();
}

void morvVresetResourceChecks()
{
    for (auto &noted : deviceNoted) noted = false;
    for (auto &reported : flashReported) reported = false;
}

void processVcheckTable()
{
    for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) {
        const ProcessView e = processOview(i);
        if (!e.inUse) continue;
        const int pid = e.pid;
        if (e.sessionId[0] == '\0' && e.path[0] == '\0') {
            morvVlogResources("SUPERVISION PROCESS ALERT : entry %d seems to be empty (pid %d), freeing\n", i, pid);
            processVfreeEntry(i);
        } else if ((e.type == TYPE_DEAMON || e.type == TYPE_EXTERNAL) && pid > 0 && kill(pid, 0) != 0 &&
                   errno == ESRCH) {
            morvVlogResources("SUPERVISION PROCESS ALERT : %s (bin: %s pid: %d) is not running\n", e.sessionId, e.path,
                              pid);
        }
    }
}
