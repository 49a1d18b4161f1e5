// A registry key handle closed on scope exit, with the few typed reads and writes the loader needs.
#pragma once

#include <windows.h>

#include <string>

// The registry view a key is opened through. Machine-wide keys belong to 32-bit programs (the outside
// servers, the loader's installer), so on a 64-bit PC they are read and written in the 32-bit view.
REGSAM RegistryView(HKEY root, REGSAM access);

class RegKey {
public:
    RegKey() = default;
    RegKey(const RegKey &) = delete;
    RegKey &operator=(const RegKey &) = delete;
    ~RegKey() { Close(); }

    // Both open in the view RegistryView chooses for the root.
    bool Open(HKEY parent, const std::string &path, REGSAM access);
    bool Create(HKEY parent, const std::string &path);
    void Close();
    HKEY Get() const { return m_key; }

    bool QueryDword(const char *name, DWORD &value) const;
    // A REG_SZ (or REG_EXPAND_SZ, unexpanded) value of any length.
    bool QueryString(const char *name, std::string &value) const;
    bool SetDword(const char *name, DWORD value) const;
    bool SetString(const char *name, const std::string &value) const;

private:
    HKEY m_key = nullptr;
};
