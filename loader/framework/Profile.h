// Per-user profile settings in the registry: HKEY_CURRENT_USER\<root>\<section>\<entry>.
// An empty or null section means the application key itself.
#pragma once

#include <string>

namespace profile {

// Integer settings read with this default are "seeded": the real default is written back once.
constexpr int kSeedMarker = 65535;

// The key below HKEY_CURRENT_USER that holds the settings, e.g. "Software\QelTools\Tavi400_R30.1\Tavi".
void SetRoot(const std::string &key);
const std::string &Root();

int GetInt(const char *section, const char *entry, int defaultValue);
bool WriteInt(const char *section, const char *entry, int value);
std::string GetString(const char *section, const char *entry, const std::string &defaultValue);
bool WriteString(const char *section, const char *entry, const std::string &value);

// Reads with the seed marker; when the marker comes back, writes and returns defaultValue.
int GetSeededInt(const char *section, const char *entry, int defaultValue);

}  // namespace profile
