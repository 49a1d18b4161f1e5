#include "framework/ProfileSettings.h"

#include "framework/Profile.h"

int CProfileSettings::GetInt(const char *section, const char *entry, int defaultValue)
{
    return profile::GetInt(section, entry, defaultValue);
}

bool CProfileSettings::WriteInt(const char *section, const char *entry, int value)
{
    return profile::WriteInt(section, entry, value);
}

std::string CProfileSettings::GetString(const char *section, const char *entry, const std::string &defaultValue)
{
    return profile::GetString(section, entry, defaultValue);
}
