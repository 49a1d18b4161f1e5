// Profile settings: typed reads with defaults, writes, and the seeding rule, read back with the registry.
#include "framework/Profile.h"
#include "framework/RegKey.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_root = std::string("Software\\TaviTests\\") + info->name() + "_" + std::to_string(GetCurrentProcessId());
        profile::SetRoot(m_root);
    }
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, m_root.c_str()); }

    DWORD StoredDword(const char *section, const char *entry)
    {
        RegKey key;
        EXPECT_TRUE(key.Open(HKEY_CURRENT_USER, m_root + "\\" + section, KEY_READ));
        DWORD value = 0;
        EXPECT_TRUE(key.QueryDword(entry, value));
        return value;
    }

    std::string m_root;
};

}  // namespace

TEST_F(ProfileTest, MissingValuesGiveTheDefaultAndWriteNothing)
{
    EXPECT_EQ(42, profile::GetInt("Config", "Debug", 42));
    EXPECT_EQ("x", profile::GetString(nullptr, "CurrDir", "x"));
    RegKey key;
    EXPECT_FALSE(key.Open(HKEY_CURRENT_USER, m_root, KEY_READ));
}

TEST_F(ProfileTest, WrittenValuesReadBackInTheirSectionOrTheRoot)
{
    ASSERT_TRUE(profile::WriteInt("Config", "Bios", 1));
    ASSERT_TRUE(profile::WriteString(nullptr, "CurrDir", "C:\\deliveries\\"));
    EXPECT_EQ(1, profile::GetInt("Config", "Bios", 0));
    EXPECT_EQ("C:\\deliveries\\", profile::GetString("", "CurrDir", ""));
    EXPECT_EQ(1u, StoredDword("Config", "Bios"));

    RegKey root;
    ASSERT_TRUE(root.Open(HKEY_CURRENT_USER, m_root, KEY_READ));
    std::string text;
    ASSERT_TRUE(root.QueryString("CurrDir", text));
    EXPECT_EQ("C:\\deliveries\\", text);
}

TEST_F(ProfileTest, ASeededValueIsWrittenOnceAndNeverOverwritten)
{
    EXPECT_EQ(200, profile::GetSeededInt("Timeouts", "TOCopy", 200));
    EXPECT_EQ(200u, StoredDword("Timeouts", "TOCopy"));

    ASSERT_TRUE(profile::WriteInt("Timeouts", "TOCopy", 7));
    EXPECT_EQ(7, profile::GetSeededInt("Timeouts", "TOCopy", 200));
    EXPECT_EQ(7u, StoredDword("Timeouts", "TOCopy"));
}

TEST_F(ProfileTest, AValueOfTheWrongTypeReadsAsMissing)
{
    ASSERT_TRUE(profile::WriteString("Config", "Debug", "1"));
    EXPECT_EQ(0, profile::GetInt("Config", "Debug", 0));
}
