// The dialogue's settings read from and seeded into the program's registry profile.
#pragma once

#include "framework/Settings.h"

class CProfileSettings : public CSettings {
public:
    int GetInt(const char *section, const char *entry, int defaultValue) override;
    bool WriteInt(const char *section, const char *entry, int value) override;
    std::string GetString(const char *section, const char *entry, const std::string &defaultValue) override;
};
