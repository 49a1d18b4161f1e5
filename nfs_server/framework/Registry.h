// A registry key wrapper in place of the class library's TRegistry: values are read only when present,
// and a value of the wrong type raises the library's error text.
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
    void CloseKey();
    bool ValueExists(const std::string &name) const;
    // Raise std::runtime_error "Invalid data type for '<name>'" when the value has another type.
    std::string ReadString(const std::string &name) const;
    DWORD ReadInteger(const std::string &name) const;

private:
    HKEY Root;
    HKEY Key = nullptr;
};
