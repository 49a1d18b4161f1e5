#include "resources.h"

#include "log.h"
#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/vfs.h>

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

void processVcheckTable()
{
    for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) {
        ProcessEntry &e = g_processTable[i];
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
