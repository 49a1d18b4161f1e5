// A registry key wrapper in place of the class library's TRegistry: values are read only when present,
// a value of the wrong type raises the library's error text, and so does a value that cannot be written.
#pragma once

#include <windows.h>

#include <string>

class TRegistry {
public:
    explicit TRegistry(HKEY root) : Root(root) {}
    ~TRegistry() { CloseKey(); }
    TRegistry(const TRegistry &) = delete;
    TRegistry &operator=(const TRegistry &) = delete;

    bool OpenKeyReadOnly(const std::string &path);
    // Opens the key for reading and writing, creating it (and its parents) when canCreate is set.
    bool OpenKey(const std::string &path, bool canCreate);
    void CloseKey();
    bool ValueExists(const std::string &name) const;
    // Raise std::runtime_error "Invalid data type for '<name>'" when the value has another type (or, for
    // a number, another size).
    std::string ReadString(const std::string &name) const;
    DWORD ReadInteger(const std::string &name) const;
    // Raise std::runtime_error "Failed to set data for '<name>'" when the value cannot be written.
    void WriteString(const std::string &name, const std::string &value);
    void WriteInteger(const std::string &name, DWORD value);
    bool DeleteValue(const std::string &name);

private:
    HKEY Root;
    HKEY Key = nullptr;
};
