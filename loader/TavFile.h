// The ".tav" document: the Main page's record followed by the installation-type page's record, in the
// framework's archive format, with no header. Loading reads both records whole before anything uses them,
// so a truncated or foreign file changes nothing.
#pragma once

#include "framework/Archive.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The Main page's options in the order the file keeps them.
enum MainOption { kOptionIa, kOptionRemoteAccess, kOptionVoip, kOptionAcd, kOptionLumaset, kOptionResetFarlink, kOptionCount };

struct MainPageRecord {
    std::string deliveryFolder;
    std::array<std::int32_t, kOptionCount> options{};
    std::vector<std::string> countries;
    std::int32_t selectedCountry = -1;

    bool operator==(const MainPageRecord &other) const;
};

// The installation types the installation-type page offers are 0 to kInstallTypeCount - 1.
constexpr std::int32_t kInstallTypeCount = 4;

struct InstallTypeRecord {
    std::int32_t installationType = 1;
    std::string storageFolder;

    bool operator==(const InstallTypeRecord &other) const;
};

void SerializeMainPage(CArchive &archive, MainPageRecord &record);
void SerializeInstallType(CArchive &archive, InstallTypeRecord &record);

// The whole file; false with the archive's error text when the bytes hold no complete document (the
// records are then left as they were).
std::string WriteTavFile(const MainPageRecord &main, const InstallTypeRecord &type);
bool ReadTavFile(const std::string &bytes, MainPageRecord &main, InstallTypeRecord &type, std::string &error);
