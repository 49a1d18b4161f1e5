// Resource checks run by the supervision thread, and the process-table check also run by message 19.
#pragma once

// Free blocks (reserved ones included) and free inodes of the file system of PATH in percent; -1 when
// unknown. Callers compare them as unsigned, so -1 never counts as low.
int getPercentOfFreeBlocks(const char *path);
int getPercentOfFreeInodes(const char *path);

// Frees entries that are in use but empty, and reports daemons and external programs that are gone.
void processVcheckTable();
