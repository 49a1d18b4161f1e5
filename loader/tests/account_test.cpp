// The board account: its settings from the machine key and the profile, the create and delete flow against
// a fake that records the system calls in order, and the real calls returning under Wine.
#include "AccountManage.h"
#include "AppFixture.h"
#include "Delivery.h"
#include "ExtService.h"
#include "TargetConf.h"
#include "framework/Profile.h"

#include <gtest/gtest.h>
#include <winsock2.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

std::string Narrow(const wchar_t *text)
{
    std::string narrow;
    for (; text && *text; ++text) narrow += static_cast<char>(*text);
    return narrow;
}

// Records every call; each result can be set to a failure. The account's identifier is a fixed pattern,
// so that a right granted to anything else shows.
class CFakeAccounts : public CAccountSystem {
public:
    NET_API_STATUS addResult = NERR_Success;
    NET_API_STATUS deleteResult = NERR_Success;
    NTSTATUS openResult = 0;
    NTSTATUS addRightResult = 0;
    bool known = true;
    DWORD sidNeeded = 28;
    DWORD domainNeeded = 8;
    Calls calls;

    NET_API_STATUS AddUser(const USER_INFO_1 &user) override
    {
        std::ostringstream call;
        call << "AddUser " << Narrow(user.usri1_name) << " " << Narrow(user.usri1_password) << " priv "
             << user.usri1_priv << " flags 0x" << std::hex << user.usri1_flags << " age " << user.usri1_password_age
             << (user.usri1_home_dir || user.usri1_comment || user.usri1_script_path ? " extras" : "");
        calls.push_back(call.str());
        return addResult;
    }
    NET_API_STATUS DeleteUser(const std::wstring &name) override
    {
        calls.push_back("DeleteUser " + Narrow(name.c_str()));
        return deleteResult;
    }
    NTSTATUS OpenPolicy(ACCESS_MASK access, LSA_HANDLE &policy) override
    {
        std::ostringstream call;
        call << "OpenPolicy 0x" << std::hex << access;
        calls.push_back(call.str());
        policy = reinterpret_cast<LSA_HANDLE>(0x5eed);
        return openResult;
    }
    void ClosePolicy(LSA_HANDLE policy) override
    {
        calls.push_back(policy == reinterpret_cast<LSA_HANDLE>(0x5eed) ? "ClosePolicy" : "ClosePolicy of another");
    }
    DWORD LookupAccount(const std::string &name, PSID sid, DWORD &sidSize, char *domain, DWORD &domainSize) override
    {
        calls.push_back("Lookup " + name + " " + std::to_string(sidSize) + " " + std::to_string(domainSize));
        if (!known) return ERROR_NONE_MAPPED;
        if (sidSize < sidNeeded || domainSize < domainNeeded) {
            sidSize = sidNeeded;
            domainSize = domainNeeded;
            return ERROR_INSUFFICIENT_BUFFER;
        }
        std::memset(sid, 0x5A, sidNeeded);
        std::strcpy(domain, "PC");
        return 0;
    }
    NTSTATUS AddAccountRight(LSA_HANDLE, PSID sid, const std::wstring &right) override
    {
        calls.push_back("AddRight " + Narrow(right.c_str()) + (IsAccountSid(sid) ? "" : " to another"));
        return addRightResult;
    }
    NTSTATUS RemoveAllAccountRights(LSA_HANDLE, PSID sid) override
    {
        calls.push_back(std::string("RemoveRights") + (IsAccountSid(sid) ? "" : " of another"));
        return 0;
    }
    ULONG NtStatusToWinError(NTSTATUS status) override
    {
        return status == static_cast<NTSTATUS>(0xC0000022) ? ERROR_ACCESS_DENIED : ERROR_GEN_FAILURE;
    }
    void ShowMessage(const std::string &text) override { calls.push_back("Box " + text); }

private:
    bool IsAccountSid(PSID sid) const
    {
        const BYTE *bytes = static_cast<const BYTE *>(sid);
        for (DWORD i = 0; i < sidNeeded; ++i)
            if (bytes[i] != 0x5A) return false;
        return true;
    }
};

const Calls kDeleteFound = {"OpenPolicy 0x810", "Lookup tavi 128 16", "RemoveRights", "ClosePolicy",
                            "DeleteUser tavi"};
const char kAddUser[] = "AddUser tavi Pw-1 priv 1 flags 0x10001 age 0";

Calls operator+(Calls head, const Calls &tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

class AccountTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = "Software\\TaviTests\\Account" + std::to_string(GetCurrentProcessId());
        profile::SetRoot(m_root);
        apptest::DeleteMachineKey(MachineKeyPath());
        m_machineKey = apptest::CreateMachineKey(MachineKeyPath());
        ASSERT_NE(nullptr, m_machineKey);
    }
    void TearDown() override
    {
        if (m_machineKey) RegCloseKey(m_machineKey);
        apptest::DeleteMachineKey(MachineKeyPath());
        RegDeleteTreeA(HKEY_CURRENT_USER, m_root.c_str());
    }
    void SetMachineValue(const char *name, const std::string &value, DWORD type = REG_SZ)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(m_machineKey, name, 0, type, reinterpret_cast<const BYTE *>(value.c_str()),
                                                static_cast<DWORD>(value.size() + 1)));
    }
    // The account "tavi" with password "Pw-1", managed.
    void ManagedTavi()
    {
        SetMachineValue("TaviUser", "tavi");
        SetMachineValue("TaviPassword", "Pw-1");
        ASSERT_TRUE(profile::WriteInt("Config", "ManageTaviAccount", 1));
    }

    CFakeAccounts m_fake;
    std::string m_root;
    HKEY m_machineKey = nullptr;
};

TEST_F(AccountTest, NameAndPasswordComeFromValuesWhoseNamesContainTheParts)
{
    CAccountManage defaults(m_fake);
    EXPECT_FALSE(defaults.UserName().empty());
    EXPECT_FALSE(defaults.Password().empty());

    SetMachineValue("TaviUser2", "board");
    SetMachineValue("MyTaviPasswordX", "Secret-7");
    SetMachineValue("TaviUserExpanded", "%USERNAME%", REG_EXPAND_SZ);
    CAccountManage account(m_fake);
    EXPECT_EQ("board", account.UserName());
    EXPECT_EQ("Secret-7", account.Password());
    EXPECT_TRUE(m_fake.calls.empty());
}

TEST_F(AccountTest, AMissingManageFlagIsWrittenAndCountsAsManaged)
{
    CAccountManage account(m_fake);
    EXPECT_TRUE(account.Managed());
    EXPECT_EQ(1, profile::GetInt("Config", "ManageTaviAccount", -1));
}

TEST_F(AccountTest, CreateDeletesTheOldAccountThenAddsItAndGrantsNetworkLogOn)
{
    ManagedTavi();
    CAccountManage account(m_fake);
    EXPECT_TRUE(account.CreateAccount());
    EXPECT_EQ((kDeleteFound + Calls{kAddUser, "OpenPolicy 0x810", "Lookup tavi 128 16",
                                    "AddRight SeNetworkLogonRight", "ClosePolicy"}),
              m_fake.calls);
}

TEST_F(AccountTest, EachFailureOfCreateShowsItsBoxAndStops)
{
    struct Row {
        const char *name;
        void (*fail)(CFakeAccounts &);
        Calls expected;
    };
    const std::vector<Row> rows = {
        {"user not added", [](CFakeAccounts &f) { f.addResult = NERR_UserExists; },
         kDeleteFound + Calls{kAddUser, "Box Failed Create Account"}},
        {"policy not opened", [](CFakeAccounts &f) { f.openResult = static_cast<NTSTATUS>(0xC0000022); },
         {"OpenPolicy 0x810", kAddUser, "OpenPolicy 0x810", "Box Failed Open Policy\n"}},
        {"account not found", [](CFakeAccounts &f) { f.known = false; },
         {"OpenPolicy 0x810", "Lookup tavi 128 16", "ClosePolicy", "DeleteUser tavi", kAddUser, "OpenPolicy 0x810",
          "Lookup tavi 128 16", "Box Error GetAccountSid ", "ClosePolicy"}},
        {"right not granted", [](CFakeAccounts &f) { f.addRightResult = static_cast<NTSTATUS>(0xC0000022); },
         kDeleteFound + Calls{kAddUser, "OpenPolicy 0x810", "Lookup tavi 128 16", "AddRight SeNetworkLogonRight",
                              "Box Error SetPrivilege 5", "ClosePolicy"}},
    };
    ManagedTavi();
    for (const Row &row : rows) {
        CFakeAccounts fake;
        row.fail(fake);
        CAccountManage account(fake);
        EXPECT_TRUE(account.CreateAccount()) << row.name;
        EXPECT_EQ(row.expected, fake.calls) << row.name;
    }
}

TEST_F(AccountTest, TheIdentifierLookupGrowsItsBuffersToTheReportedSizes)
{
    ManagedTavi();
    m_fake.sidNeeded = 200;
    m_fake.domainNeeded = 40;
    CAccountManage account(m_fake);
    EXPECT_TRUE(account.DeleteAccount("tavi"));
    EXPECT_EQ((Calls{"OpenPolicy 0x810", "Lookup tavi 128 16", "Lookup tavi 200 40", "RemoveRights", "ClosePolicy",
                     "DeleteUser tavi"}),
              m_fake.calls);
}

TEST_F(AccountTest, DeleteAndRemoveReportTheDeletion)
{
    ManagedTavi();
    CAccountManage account(m_fake);
    EXPECT_TRUE(account.RemoveAccount());
    EXPECT_EQ(kDeleteFound, m_fake.calls);

    CFakeAccounts notDeleted;
    notDeleted.deleteResult = NERR_UserNotFound;
    EXPECT_FALSE(CAccountManage(notDeleted).RemoveAccount());

    CFakeAccounts noPolicy;
    noPolicy.openResult = static_cast<NTSTATUS>(0xC0000022);
    EXPECT_FALSE(CAccountManage(noPolicy).DeleteAccount("tavi"));
    EXPECT_EQ(Calls{"OpenPolicy 0x810"}, noPolicy.calls);
}

TEST_F(AccountTest, AnUnmanagedAccountIsNeitherCreatedNorRemovedButStillNamedInShareMounts)
{
    ManagedTavi();
    ASSERT_TRUE(profile::WriteInt("Config", "ManageTaviAccount", 0));
    CAccountManage account(m_fake);
    EXPECT_FALSE(account.Managed());
    EXPECT_TRUE(account.CreateAccount());
    EXPECT_TRUE(account.RemoveAccount());
    EXPECT_TRUE(m_fake.calls.empty());

    WSADATA wsa;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 0), &wsa));
    ASSERT_TRUE(profile::WriteString("Config", "IpAddress", "10.9.8.7"));
    g_deliveryVersion = 700;
    char hostName[64] = {};
    ASSERT_EQ(0, gethostname(hostName, sizeof hostName));
    const std::string host = hostName;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string path = std::string(temp) + "account_" + std::to_string(GetCurrentProcessId()) + ".conf";
    CTargetConf conf;
    const bool written = conf.WriteTargetConf(path);
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    DeleteFileA(path.c_str());
    WSACleanup();
    ASSERT_TRUE(written) << conf.LastError() << " " << conf.ErrorContext();
    EXPECT_NE(std::string::npos, bytes.str().find("export MP1=\"//" + host + "/CurDeliv /delivery -N -U tavi%Pw-1 -W " +
                                                  host + " -I 10.9.8.7\"\r\n"))
        << bytes.str();
}

TEST_F(AccountTest, ThePasswordOfAShareMountIsRefusedWhenTheShellWouldReadIt)
{
    ManagedTavi();
    SetMachineValue("TaviPassword", "a$(reboot)");
    WSADATA wsa;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 0), &wsa));
    ASSERT_TRUE(profile::WriteString("Config", "IpAddress", "10.9.8.7"));
    g_deliveryVersion = 700;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string path = std::string(temp) + "refused_" + std::to_string(GetCurrentProcessId()) + ".conf";
    CTargetConf conf;
    EXPECT_FALSE(conf.WriteTargetConf(path));
    EXPECT_EQ(static_cast<unsigned long>(ERROR_INVALID_DATA), conf.LastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str()));
    WSACleanup();
}

TEST_F(AccountTest, TheRealCallsLinkAndReturnUnderWine)
{
    CAccountSystem &system = WindowsAccountSystem();
    LSA_HANDLE policy = nullptr;
    if (system.OpenPolicy(POLICY_CREATE_ACCOUNT | POLICY_LOOKUP_NAMES, policy) >= 0) system.ClosePolicy(policy);
    BYTE sid[128];
    char domain[16];
    DWORD sidSize = sizeof sid, domainSize = sizeof domain;
    EXPECT_NE(0u, system.LookupAccount("tavi-no-such-account", sid, sidSize, domain, domainSize));
    system.DeleteUser(L"tavi-no-such-account");
    EXPECT_EQ(static_cast<ULONG>(ERROR_ACCESS_DENIED), system.NtStatusToWinError(static_cast<NTSTATUS>(0xC0000022)));

    apptest::DialogAnswerer answerer(IDOK, 20000, true);
    system.ShowMessage("Failed Create Account");
    ASSERT_TRUE(answerer.Wait());
    EXPECT_EQ("Failed Create Account", answerer.message);
}

}  // namespace
