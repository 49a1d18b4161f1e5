// Profile settings as the board dialogue reads them; the registry profile implements it for the
// program, and tests keep their settings in memory.
#pragma once

#include <string>

class CSettings {
public:
    virtual ~CSettings() = default;
    virtual int GetInt(const char *section, const char *entry, int defaultValue) = 0;
    virtual bool WriteInt(const char *section, const char *entry, int value) = 0;
    virtual std::string GetString(const char *section, const char *entry, const std::string &defaultValue) = 0;
};
