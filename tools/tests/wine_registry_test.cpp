// The Windows harness: a test under Wine writes to and reads back from the per-user registry.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

const char kKey[] = "SOFTWARE\\BoardInstallHarnessTest";

struct KeyHolder {
    HKEY key = nullptr;
    ~KeyHolder() { if (key) RegCloseKey(key); }
};

}  // namespace

TEST(WineRegistry, StringAndNumberRoundTripUnderCurrentUser)
{
    KeyHolder k;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &k.key, nullptr));
    const std::string text = "C:\\tftpboot";
    const DWORD number = 65001;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k.key, "Root", 0, REG_SZ,
                                            reinterpret_cast<const BYTE *>(text.c_str()), text.size() + 1));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k.key, "CodePage", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE *>(&number), sizeof number));

    KeyHolder r;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &r.key));
    char buf[64] = {};
    DWORD type = 0, size = sizeof buf;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(r.key, "Root", nullptr, &type, reinterpret_cast<BYTE *>(buf), &size));
    EXPECT_EQ(DWORD(REG_SZ), type);
    EXPECT_EQ(text, buf);
    DWORD read = 0;
    size = sizeof read;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(r.key, "CodePage", nullptr, &type, reinterpret_cast<BYTE *>(&read), &size));
    EXPECT_EQ(DWORD(REG_DWORD), type);
    EXPECT_EQ(number, read);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(r.key, "Host", nullptr, nullptr, nullptr, nullptr));

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, kKey));
}
