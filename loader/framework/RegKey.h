// A registry key handle closed on scope exit, with the few typed reads and writes the loader needs.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class RegKey {
public:
    RegKey() = default;
    RegKey(const RegKey &) = delete;
    RegKey &operator=(const RegKey &) = delete;
    ~RegKey() { Close(); }

    bool Open(HKEY parent, const std::string &path, REGSAM access);
    bool Create(HKEY parent, const std::string &path);
    void Close();
    HKEY Get() const { return m_key; }

    bool QueryDword(const char *name, DWORD &value) const;
    // A REG_SZ (or REG_EXPAND_SZ, unexpanded) value of any length.
    bool QueryString(const char *name, std::string &value) const;
    bool SetDword(const char *name, DWORD value) const;
    bool SetString(const char *name, const std::string &value) const;

    // The names and texts of every REG_SZ value, in the order the registry enumerates them.
    std::vector<std::pair<std::string, std::string>> StringValues() const;

private:
    HKEY m_key = nullptr;
};
