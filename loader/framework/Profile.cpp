#include "framework/Profile.h"

#include "framework/RegKey.h"

#include <windows.h>

namespace profile {
namespace {

std::string g_root = "Software\\QelTools\\Tavi400_R30.1\\Tavi";

std::string SectionPath(const char *section)
{
    if (section == nullptr || *section == '\0') return g_root;
    return g_root + "\\" + section;
}

}  // namespace

void SetRoot(const std::string &key) { g_root = key; }

const std::string &Root() { return g_root; }

int GetInt(const char *section, const char *entry, int defaultValue)
{
    RegKey key;
    if (!key.Open(HKEY_CURRENT_USER, SectionPath(section), KEY_READ)) return defaultValue;
    DWORD value = 0;
    if (!key.QueryDword(entry, value)) return defaultValue;
    return static_cast<int>(value);
}

bool WriteInt(const char *section, const char *entry, int value)
{
    RegKey key;
    return key.Create(HKEY_CURRENT_USER, SectionPath(section)) && key.SetDword(entry, static_cast<DWORD>(value));
}

std::string GetString(const char *section, const char *entry, const std::string &defaultValue)
{
    RegKey key;
    std::string value;
    if (!key.Open(HKEY_CURRENT_USER, SectionPath(section), KEY_READ) || !key.QueryString(entry, value))
        return defaultValue;
    return value;
}

bool WriteString(const char *section, const char *entry, const std::string &value)
{
    RegKey key;
    return key.Create(HKEY_CURRENT_USER, SectionPath(section)) && key.SetString(entry, value);
}

int GetSeededInt(const char *section, const char *entry, int defaultValue)
{
    int value = GetInt(section, entry, kSeedMarker);
    if (value != kSeedMarker) return value;
    WriteInt(section, entry, defaultValue);
    return defaultValue;
}

}  // namespace profile
