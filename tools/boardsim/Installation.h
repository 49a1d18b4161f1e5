// boardsim install: the board of a whole installation. It boots from the PC as a board in loader mode
// does: its address from the BOOTP entry the loader wrote, the boot list, boot files and target file
// from the loader's boot folder, the delivery mounted over NFS from the address the target file names,
// and every step reported over the UDP dialogue until DISCONNECT.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace boardsim {

struct InstallOptions {
    std::string bootFolder;         // the loader's "tftpboot"
    std::string bootpDatabase;      // the BOOTP server's database the loader writes the board's entry into
    std::string bootpReady;         // a file that holds "window BOOTP Desktop" once the BOOTP server answers
    std::string macAddress = "02-A0-3E-74-00-5A";  // the main board's first interface
    std::string bootList = "install_Dravenle.tftp";
    std::string release = "PMR board in loader mode";
    std::string verifyFolder;       // when set, every file read over NFS is compared with the one here
    std::chrono::milliseconds bootWait{120000};  // for the BOOTP server, then for each answer
    std::chrono::milliseconds answerWait{20000};
    std::chrono::milliseconds stepPause{0};      // between reported steps, so that a technician sees them
    std::uint32_t session = 4242;
};

struct BootRecord {
    std::string name;
    std::uint64_t size = 0;
    std::string kind;
    std::uint32_t first = 0, second = 0;
};

// The records of a boot list (";"-separated, five fields a record, records may share a line). False with
// a reason when a record is incomplete or a number is not one.
bool ParseBootList(const std::string &text, std::vector<BootRecord> &records, std::string &why);
// The "export NAME=VALUE" lines of a target file (CR LF or LF; quotes around a value removed).
std::map<std::string, std::string> ParseExports(const std::string &text);
// The value of `key` in section `section` of a Windows INI file, or "".
std::string IniValue(const std::string &text, const std::string &section, const std::string &key);

struct InstallResult {
    bool ok = false;
    std::string failedStep;  // the step that failed, when not ok
    std::string why;
    double bootFilesSeconds = 0, nfsSeconds = 0, dialogueSeconds = 0;
    std::uint64_t filesRead = 0, bytesRead = 0;
};

// A file read over NFS (its path in the export, as "/boot/x") against the delivery's own copy in `folder`:
// false with the reason when the path leads out of the delivery or the bytes differ.
bool MatchesDelivery(const std::string &folder, const std::string &nfsPath, const std::string &content,
                     std::string &why);

// Runs the board's installation, printing each step on stdout.
InstallResult Install(const InstallOptions &options);

}  // namespace boardsim
