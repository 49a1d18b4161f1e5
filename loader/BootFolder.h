// The boot folder ("tftpboot" beside the program) that the outside TFTP server serves to the board, the
// boot lists the board's boot firmware reads, and filling the folder from a delivery.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CDelivery;

// The boot-list names on the PC side.
extern const char kBootListFlash[];
extern const char kBootListVusko[];
extern const char kBootListDravenle[];

// The program folder + "tftpboot".
std::string GetTftpbootPath();
// The program folder + a relative path.
std::string GetAppFilePath(const std::string &relative);

// Removes a file of the boot folder, a read-only one too.
void RemoveBootFile(const std::string &path);
// Writes a file of the boot folder whole, replacing what was there (a read-only file too): 0, or the
// system error, and then no file is left, so nothing stale or half-written is served.
unsigned long WriteBootFile(const std::string &path, const std::string &content);

// The boot list a new-style delivery of this version installs on this board type.
const char *BootListName(int version, const std::string &boardType);

// One record of a boot list: five ";"-separated fields.
struct BootListEntry {
    std::string name;
    std::uint64_t size;
    std::string kind;
    std::uint64_t first;
    std::uint64_t second;
};
// One boot-list line holding the records in a row, ended by a single line feed.
std::string BootListLine(const std::vector<BootListEntry> &records);
// The BIOS-update list: the image record, the STOP record and the BOOT record, one per line.
std::string BiosBootList(std::uint64_t imageSize);

// Fills the boot folder from the delivery: boot files and boot list. Failures keep the system's text and
// a context in the delivery object.
bool PrepareTftpboot(CDelivery &delivery, std::string &releaseText, std::vector<std::string> &countries);
