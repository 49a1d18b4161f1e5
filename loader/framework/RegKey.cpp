#include "framework/RegKey.h"

REGSAM RegistryView(HKEY root, REGSAM access)
{
    return root == HKEY_LOCAL_MACHINE ? access | KEY_WOW64_32KEY : access;
}

bool RegKey::Open(HKEY parent, const std::string &path, REGSAM access)
{
    Close();
    return RegOpenKeyExA(parent, path.c_str(), 0, RegistryView(parent, access), &m_key) == ERROR_SUCCESS;
}

bool RegKey::Create(HKEY parent, const std::string &path)
{
    Close();
    return RegCreateKeyExA(parent, path.c_str(), 0, nullptr, 0, RegistryView(parent, KEY_READ | KEY_WRITE), nullptr,
                           &m_key, nullptr) == ERROR_SUCCESS;
}

void RegKey::Close()
{
    if (m_key) RegCloseKey(m_key);
    m_key = nullptr;
}

bool RegKey::QueryDword(const char *name, DWORD &value) const
{
    DWORD type = 0, size = sizeof value;
    DWORD read = 0;
    if (RegQueryValueExA(m_key, name, nullptr, &type, reinterpret_cast<BYTE *>(&read), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return false;
    value = read;
    return true;
}

bool RegKey::QueryString(const char *name, std::string &value) const
{
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(m_key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    std::string text(size + 1, '\0');
    if (RegQueryValueExA(m_key, name, nullptr, &type, reinterpret_cast<BYTE *>(&text[0]), &size) != ERROR_SUCCESS)
        return false;
    text.resize(size);
    value = text.c_str();
    return true;
}

bool RegKey::SetDword(const char *name, DWORD value) const
{
    return RegSetValueExA(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value) ==
           ERROR_SUCCESS;
}

bool RegKey::SetString(const char *name, const std::string &value) const
{
    return RegSetValueExA(m_key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}
