#include "Registry.h"

#include <stdexcept>
#include <vector>

namespace {

std::runtime_error InvalidType(const std::string &name)
{
    return std::runtime_error("Invalid data type for '" + name + "'");
}

}  // namespace

bool TRegistry::OpenKeyReadOnly(const std::string &path)
{
    CloseKey();
    // Key paths may begin with "\", as the settings' key is written.
    std::string relative = !path.empty() && path[0] == '\\' ? path.substr(1) : path;
    return RegOpenKeyExA(Root, relative.c_str(), 0, KEY_READ, &Key) == ERROR_SUCCESS;
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
    if (result != ERROR_SUCCESS || type != REG_DWORD) throw InvalidType(name);
    return value;
}
