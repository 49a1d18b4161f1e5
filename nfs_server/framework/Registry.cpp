#include "Registry.h"

#include <stdexcept>
#include <vector>

namespace {

std::runtime_error InvalidType(const std::string &name)
{
    return std::runtime_error("Invalid data type for '" + name + "'");
}

// Key paths may begin with "\\", as the settings' key is written.
std::string Relative(const std::string &path) { return !path.empty() && path[0] == '\\' ? path.substr(1) : path; }

std::runtime_error SetFailed(const std::string &name)
{
    return std::runtime_error("Failed to set data for '" + name + "'");
}

}  // namespace

bool TRegistry::OpenKeyReadOnly(const std::string &path)
{
    CloseKey();
    return RegOpenKeyExA(Root, Relative(path).c_str(), 0, KEY_READ, &Key) == ERROR_SUCCESS;
}

bool TRegistry::OpenKey(const std::string &path, bool canCreate)
{
    CloseKey();
    const REGSAM access = KEY_READ | KEY_WRITE;
    if (!canCreate) return RegOpenKeyExA(Root, Relative(path).c_str(), 0, access, &Key) == ERROR_SUCCESS;
    return RegCreateKeyExA(Root, Relative(path).c_str(), 0, nullptr, 0, access, nullptr, &Key, nullptr) ==
           ERROR_SUCCESS;
}

void TRegistry::WriteString(const std::string &name, const std::string &value)
{
    if (!Key || RegSetValueExA(Key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                               DWORD(value.size() + 1)) != ERROR_SUCCESS)
        throw SetFailed(name);
}

void TRegistry::WriteInteger(const std::string &name, DWORD value)
{
    if (!Key || RegSetValueExA(Key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                               sizeof value) != ERROR_SUCCESS)
        throw SetFailed(name);
}

bool TRegistry::DeleteValue(const std::string &name)
{
    return Key && RegDeleteValueA(Key, name.c_str()) == ERROR_SUCCESS;
}

void TRegistry::CloseKey()
{
    if (Key) RegCloseKey(Key);
    Key = nullptr;
}

bool TRegistry::ValueExists(const std::string &name) const
{
    return Key && RegQueryValueExA(Key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::string TRegistry::ReadString(const std::string &name) const
{
    DWORD type = 0, size = 0;
    if (!Key || RegQueryValueExA(Key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    if (type != REG_SZ && type != REG_EXPAND_SZ) throw InvalidType(name);
    std::vector<char> data(size + 1, '\0');
    if (RegQueryValueExA(Key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(data.data()), &size) !=
        ERROR_SUCCESS)
        return {};
    return std::string(data.data());
}

DWORD TRegistry::ReadInteger(const std::string &name) const
{
    DWORD type = 0, value = 0, size = sizeof value;
    LONG result = Key ? RegQueryValueExA(Key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(&value), &size)
                      : ERROR_FILE_NOT_FOUND;
    if (result == ERROR_FILE_NOT_FOUND) return 0;
    // A number of another size is no number of this type: a part of it would be read as the whole.
    if (result != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) throw InvalidType(name);
    return value;
}
