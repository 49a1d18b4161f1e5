// Kernel modules inserted for items with the board's "insmod" and removed with "rmmod", newest first,
// each run as a process-table entry.
#pragma once

constexpr int MODULE_DEFAULT_TIMEOUT = 30;
constexpr const char *MODULE_TMP_DIR = "/tmp/";

// An 'O' line: "module file | parameters [| options]"; 0 or non-zero.
int modulesSinsertModule(const char *rest);
// An 'M' line: as 'O' with a gzip-compressed module, uncompressed into "/tmp/" for the insertion.
int modulesSinsertCompressedModule(const char *rest);
void modulesVremoveAll();
// -1 for each module of ITEM whose removal could not be started or waited for.
int modulesSremoveByItem(const char *item);
// Forgets every record, as at load.
void modulesVreset();
