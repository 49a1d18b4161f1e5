// The target configuration file: whole texts by version, board, operation and migration, the refusals that
// keep the board's shell lines whole, and the file itself (CR LF, read-only, nothing left on failure).
#include "Delivery.h"
#include "TargetConf.h"
#include "framework/Profile.h"
#include "framework/RegKey.h"

#include <gtest/gtest.h>
#include <winsock2.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Lines(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines) text += line + "\r\n";
    return text;
}

// The lines every file holds when no flag and no option is set, country "fr".
const std::vector<std::string> kPlainHead = {
    "export SAVE_IA_MULTI=no", "export INSTALL=no",   "export CLR_NOR_FK=no",           "export COUNTRY=fr",
    "export CALLHANDLING=yes", "export REBOOT=no",    "export DOWNLOAD_BASE=/delivery",
};

std::vector<std::string> operator+(std::vector<std::string> head, const std::vector<std::string> &tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TargetContext Pc(int version, int subVersion = 0)
{
    TargetContext context;
    context.version = version;
    context.subVersion = subVersion;
    context.address = "10.0.0.5";
    context.hostName = "techpc";
    context.user = "tavi";
    context.password = "Pw-1";
    return context;
}

const std::string kShareMp1 = "export MP1=\"//techpc/CurDeliv /delivery -N -U tavi%Pw-1 -W techpc -I 10.0.0.5\"";
const std::string kNfsMp1 = "export MP1=\"10.0.0.5:/ /delivery\"";
const std::string kTavi = "export TAVI=10.0.0.5";

struct TextCase {
    const char *name;
    std::function<void(CTargetConf &, TargetContext &)> set;
    std::vector<std::string> expected;
};

class TargetConfTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WSADATA wsa;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 0), &wsa));
        m_root = "Software\\TaviTests\\TargetConf" + std::to_string(GetCurrentProcessId());
        profile::SetRoot(m_root);
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        m_path = std::string(temp) + "target_" + std::to_string(GetCurrentProcessId()) + ".conf";
        g_deliveryVersion = 800;
        g_deliverySubVersion = 0;
        g_boardType = "DRAVENLE";
        g_bMigrationTarget = false;
    }
    void TearDown() override
    {
        SetFileAttributesA(m_path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(m_path.c_str());
        RegDeleteTreeA(HKEY_CURRENT_USER, m_root.c_str());
        WSACleanup();
    }
    static std::string ReadBytes(const std::string &path)
    {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << file.rdbuf();
        return bytes.str();
    }
    static bool Exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

    std::string m_root;
    std::string m_path;
};

TEST_F(TargetConfTest, WholeTextsByVersionBoardOperationAndMigration)
{
    const std::vector<TextCase> cases = {
        {"fresh, V 300", [](CTargetConf &, TargetContext &c) { c = Pc(300); }, kPlainHead + std::vector<std::string>{kTavi, kShareMp1}},
        {"V 199 S 68 tells the PC", [](CTargetConf &, TargetContext &c) { c = Pc(199, 68); }, kPlainHead + std::vector<std::string>{kTavi, kShareMp1}},
        {"V 199 S 67 does not", [](CTargetConf &, TargetContext &c) { c = Pc(199, 67); }, kPlainHead + std::vector<std::string>{kShareMp1}},
        {"V 250 S 55 tells the PC", [](CTargetConf &, TargetContext &c) { c = Pc(250, 55); }, kPlainHead + std::vector<std::string>{kTavi, kShareMp1}},
        {"V 250 S 54 does not", [](CTargetConf &, TargetContext &c) { c = Pc(250, 54); }, kPlainHead + std::vector<std::string>{kShareMp1}},
        {"V 799 mounts the share", [](CTargetConf &, TargetContext &c) { c = Pc(799); }, kPlainHead + std::vector<std::string>{kTavi, kShareMp1}},
        {"V 800 mounts over NFS", [](CTargetConf &, TargetContext &c) { c = Pc(800); }, kPlainHead + std::vector<std::string>{kTavi, kNfsMp1}},
        {"V 800 migration target mounts the share",
         [](CTargetConf &, TargetContext &c) { c = Pc(800); c.migrationTarget = true; },
         kPlainHead + std::vector<std::string>{kTavi, kShareMp1}},
        {"restore from V 800: NFS storage and the backup list",
         [](CTargetConf &t, TargetContext &c) { c = Pc(800); t.RESTORE_TELE = 1; t.INSTALL = 1; },
         {"export SAVE_IA_MULTI=no", "export RESTORE_TELE=yes", "export INSTALL=yes", "export CLR_NOR_FK=no",
          "export COUNTRY=fr", "export CALLHANDLING=yes", "export REBOOT=no", "export DOWNLOAD_BASE=/delivery", kTavi,
          kNfsMp1, "export MP2=\"10.0.0.5:/ /mnt/save\"", "export BACKUP_TAVI=backup_tavi.xml"}},
        {"restore below V 800: storage and boot folder shares",
         [](CTargetConf &t, TargetContext &c) { c = Pc(700); t.RESTORE_TELE = 1; },
         {"export SAVE_IA_MULTI=no", "export RESTORE_TELE=yes", "export INSTALL=no", "export CLR_NOR_FK=no",
          "export COUNTRY=fr", "export CALLHANDLING=yes", "export REBOOT=no", "export DOWNLOAD_BASE=/delivery", kTavi,
          kShareMp1, "export MP2=\"//techpc/Save /mnt/save -N -U tavi%Pw-1 -W techpc -I 10.0.0.5\"",
          "export MP3=\"//techpc/tftpboot /mnt/tftpboot -N -U tavi%Pw-1 -W techpc -I 10.0.0.5\""}},
        {"no password: the user alone",
         [](CTargetConf &, TargetContext &c) { c = Pc(500); c.password.clear(); },
         kPlainHead + std::vector<std::string>{kTavi, "export MP1=\"//techpc/CurDeliv /delivery -N -U tavi -W techpc -I 10.0.0.5\""}},
        {"every flag and option, in the fixed order",
         [](CTargetConf &t, TargetContext &c) {
             c = Pc(810);
             c.trace = c.noSecure = c.hd20Gig = c.noBooster = true;
             c.checkHardwareLevel = false;
             c.coCpuAddress = "192.168.7.9";
             c.boardType = "VUSKO";
             t.IA = t.VOIP = t.RAS = t.ACD = t.IA_MULTI = t.SAVE_IA = t.SAVE_TELE = t.SAVE_IA_MULTI = 1;
             t.RESTORE_IA = t.RESTORE_TELE = t.INSTALL = t.REBOOT = t.LUMASET = t.CLR_NOR_FK = -1;
             t.Country = "de";
             t.FreeSize = 5ull * 1024 * 1024 + 1023;
         },
         {"export NOSECURE=yes", "export TRACE=1", "export IA=yes", "export LUMASET=yes", "export VOIP=yes",
          "export RAS=yes", "export ACD=yes", "export IA_MULTI=yes", "export SAVE_IA=yes", "export SAVE_TELE=yes",
          "export SAVE_IA_MULTI=yes", "export COCPU_IP=192.168.7.9", "export RESTORE_IA=yes",
          "export RESTORE_TELE=yes", "export INSTALL=yes", "export CLR_NOR_FK=yes", "export HD20GIG=yes",
          "export CHECK_HARDWARE_LEVEL=no", "export COUNTRY=de", "export CALLHANDLING=yes", "export NOBOOSTER=yes",
          "export REBOOT=yes", "export DOWNLOAD_BASE=/delivery", kTavi, kNfsMp1,
          "export MP2=\"10.0.0.5:/ /mnt/save\"", "export BACKUP_TAVI=backup_tavi.xml", "export DIAG=yes",
          "export PC_FREE_SIZE=5120"}},
        {"co-CPU address by default",
         [](CTargetConf &t, TargetContext &c) { c = Pc(800); t.SAVE_IA_MULTI = 1; },
         {"export SAVE_IA_MULTI=yes", "export COCPU_IP=192.168.0.1", "export INSTALL=no", "export CLR_NOR_FK=no",
          "export COUNTRY=fr", "export CALLHANDLING=yes", "export REBOOT=no", "export DOWNLOAD_BASE=/delivery", kTavi,
          kNfsMp1}},
        {"a board type other than VUSKO has no DIAG line",
         [](CTargetConf &, TargetContext &c) { c = Pc(800); c.boardType = "vusko"; },
         kPlainHead + std::vector<std::string>{kTavi, kNfsMp1}},
        {"under one KiB free writes 0",
         [](CTargetConf &t, TargetContext &c) { c = Pc(800); t.FreeSize = 1023; },
         kPlainHead + std::vector<std::string>{kTavi, kNfsMp1, "export PC_FREE_SIZE=0"}},
        {"the largest KiB count that fits",
         [](CTargetConf &t, TargetContext &c) { c = Pc(800); t.FreeSize = 2147483647ull * 1024 + 1023; },
         kPlainHead + std::vector<std::string>{kTavi, kNfsMp1, "export PC_FREE_SIZE=2147483647"}},
        {"3 TiB free is clamped, never negative",
         [](CTargetConf &t, TargetContext &c) { c = Pc(800); t.FreeSize = 3ull << 40; },
         kPlainHead + std::vector<std::string>{kTavi, kNfsMp1, "export PC_FREE_SIZE=2147483647"}},
        {"4 TiB free is clamped, never 0",
         [](CTargetConf &t, TargetContext &c) { c = Pc(800); t.FreeSize = 4ull << 40; },
         kPlainHead + std::vector<std::string>{kTavi, kNfsMp1, "export PC_FREE_SIZE=2147483647"}},
        {"an NFS file takes any account: it names none",
         [](CTargetConf &, TargetContext &c) { c = Pc(800); c.password = "a b$\"`"; c.hostName = "x;y"; },
         kPlainHead + std::vector<std::string>{kTavi, kNfsMp1}},
    };
    for (const TextCase &row : cases) {
        CTargetConf conf;
        TargetContext context;
        row.set(conf, context);
        std::string text, refusal;
        ASSERT_TRUE(conf.BuildText(context, text, refusal)) << row.name << ": " << refusal;
        EXPECT_EQ(Lines(row.expected), text) << row.name;
    }
}

TEST_F(TargetConfTest, TextsThatWouldBreakTheShellLineAreRefused)
{
    const std::vector<std::pair<const char *, std::function<void(CTargetConf &, TargetContext &)>>> cases = {
        {"quote in the password", [](CTargetConf &, TargetContext &c) { c.password = "a\"b"; }},
        {"dollar in the password", [](CTargetConf &, TargetContext &c) { c.password = "$(reboot)"; }},
        {"backquote in the password", [](CTargetConf &, TargetContext &c) { c.password = "`x`"; }},
        {"backslash in the password", [](CTargetConf &, TargetContext &c) { c.password = "a\\"; }},
        {"blank in the password", [](CTargetConf &, TargetContext &c) { c.password = "a b"; }},
        {"line feed in the password", [](CTargetConf &, TargetContext &c) { c.password = "a\nexport X=1"; }},
        {"percent in the user", [](CTargetConf &, TargetContext &c) { c.user = "ta%vi"; }},
        {"no user", [](CTargetConf &, TargetContext &c) { c.user.clear(); }},
        {"semicolon in the host name", [](CTargetConf &, TargetContext &c) { c.hostName = "pc;reboot"; }},
        {"blank in the address", [](CTargetConf &, TargetContext &c) { c.address = "10.0.0.5 -o x"; }},
        {"no address", [](CTargetConf &, TargetContext &c) { c.address.clear(); }},
        {"blank in the country", [](CTargetConf &t, TargetContext &) { t.Country = "fr x"; }},
        {"command in the co-CPU address",
         [](CTargetConf &t, TargetContext &c) { t.SAVE_IA_MULTI = 1; c.coCpuAddress = "1.2.3.4;reboot"; }},
    };
    for (const auto &row : cases) {
        CTargetConf conf;
        TargetContext context = Pc(700);
        row.second(conf, context);
        std::string text = "untouched", refusal;
        EXPECT_FALSE(conf.BuildText(context, text, refusal)) << row.first;
        EXPECT_FALSE(refusal.empty()) << row.first;
    }
}

TEST_F(TargetConfTest, BuildingSeedsTheConfigDefaults)
{
    ASSERT_TRUE(profile::WriteInt("Config", "20G", 65535));
    ASSERT_TRUE(profile::WriteInt("Config", "UseTimeouts", 0));
    CTargetConf conf;
    EXPECT_EQ(0, profile::GetInt("Config", "20G", -1));
    EXPECT_EQ(0, profile::GetInt("Config", "NOBOOSTER", -1));
    EXPECT_EQ(0, profile::GetInt("Config", "UseTimeouts", -1));
    EXPECT_EQ(1, profile::GetInt("Config", "Ip_BootpTab", -1));
    EXPECT_EQ("fr", conf.Country);
    EXPECT_EQ(0u, conf.FreeSize);
}

TEST_F(TargetConfTest, TheFileReplacesAReadOnlyOneWithCrLfLinesAndTheProfileOptions)
{
    {
        std::ofstream old(m_path, std::ios::binary);
        old << "old content that is longer than nothing\n";
    }
    ASSERT_TRUE(SetFileAttributesA(m_path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(profile::WriteString("Config", "IpAddress", "10.9.8.7"));
    ASSERT_TRUE(profile::WriteInt("Config", "NOCQR", 1));
    ASSERT_TRUE(profile::WriteInt("Config", "CHECK_HARDWARE_LEVEL", 0));
    ASSERT_TRUE(profile::WriteString("Config", "COCPU_IP", "192.168.3.4"));
    g_boardType = "VUSKO";

    CTargetConf conf;
    conf.SAVE_TELE = 1;
    conf.SAVE_IA_MULTI = 1;
    conf.FreeSize = 2048;
    ASSERT_TRUE(conf.WriteTargetConf(m_path)) << conf.LastError() << " " << conf.ErrorContext();
    EXPECT_EQ(Lines({"export NOSECURE=yes", "export SAVE_TELE=yes", "export SAVE_IA_MULTI=yes",
                     "export COCPU_IP=192.168.3.4", "export INSTALL=no", "export CLR_NOR_FK=no",
                     "export CHECK_HARDWARE_LEVEL=no", "export COUNTRY=fr", "export CALLHANDLING=yes",
                     "export REBOOT=no", "export DOWNLOAD_BASE=/delivery", "export TAVI=10.9.8.7",
                     "export MP1=\"10.9.8.7:/ /delivery\"", "export MP2=\"10.9.8.7:/ /mnt/save\"",
                     "export BACKUP_TAVI=backup_tavi.xml", "export DIAG=yes", "export PC_FREE_SIZE=2"}),
              ReadBytes(m_path));
}

TEST_F(TargetConfTest, NoAddressLeavesNoFileAndTellsWhy)
{
    std::ofstream(m_path, std::ios::binary) << "an earlier step's file\r\n";
    ASSERT_TRUE(profile::WriteString("Config", "IpAddress", "0.0.0.0"));
    CTargetConf conf;
    EXPECT_FALSE(conf.WriteTargetConf(m_path));
    EXPECT_EQ(11001u, conf.LastError());
    EXPECT_EQ("GetLocalIpAddress", conf.ErrorContext());
    EXPECT_FALSE(Exists(m_path));
}

TEST_F(TargetConfTest, AFileThatCannotBeCreatedFailsWithItsPath)
{
    ASSERT_TRUE(profile::WriteString("Config", "IpAddress", "10.9.8.7"));
    const std::string path = m_path + ".missing\\target.conf";
    CTargetConf conf;
    EXPECT_FALSE(conf.WriteTargetConf(path));
    EXPECT_EQ(static_cast<unsigned long>(ERROR_PATH_NOT_FOUND), conf.LastError());
    EXPECT_EQ(path, conf.ErrorContext());
}

TEST_F(TargetConfTest, ARefusedTextLeavesNoFile)
{
    ASSERT_TRUE(profile::WriteString("Config", "IpAddress", "10.9.8.7 -o evil"));
    CTargetConf conf;
    EXPECT_FALSE(conf.WriteTargetConf(m_path));
    EXPECT_EQ(static_cast<unsigned long>(ERROR_INVALID_DATA), conf.LastError());
    EXPECT_FALSE(Exists(m_path));
}

}  // namespace
