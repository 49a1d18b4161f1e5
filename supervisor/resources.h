// Resource checks run by the supervision thread, and the process-table check also run by message 19.
#pragma once

// Free blocks (reserved ones included) and free inodes of the file system of PATH in percent; -1 when
// unknown. Callers compare them as unsigned, so -1 never counts as low.
int getPercentOfFreeBlocks(const char *path);
int getPercentOfFreeInodes(const char *path);

constexpr const char *RAMDISK_ROOT = "/";

// The supervision thread's rounds: hourly the RAM disk and the zombies, daily the mounted devices, the
// flash file systems, the core files and the process table.
void morvVcheckHourly();
void morvVcheckDaily();
// The hourly RAM disk check on the file system of ROOT.
void morvVcheckRamdisk(const char *root);
// The daily checks, one by one.
void check_dayly();
void morvVcheckFashIntegrity();
// Once-per-run notices and reports forgotten, as at load.
void morvVresetResourceChecks();

// Frees entries that are in use but empty, and reports daemons and external programs that are gone.
void processVcheckTable();
