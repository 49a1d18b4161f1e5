// The local Windows account the board logs on with when it mounts the PC's shares: its name and password,
// and, when the loader manages it, its creation at start and deletion at the end.
#pragma once

#include <windows.h>
#include <lm.h>
#include <ntsecapi.h>

#include <string>
#include <vector>

// What the account work asks of the system: one method per account call, and the message box that reports
// a failure. The program uses the real ones (WindowsAccountSystem); tests give a fake that records the
// calls, since Wine only pretends to manage accounts.
class CAccountSystem {
public:
    virtual ~CAccountSystem() = default;
    // NetUserAdd on the local computer, information level 1.
    virtual NET_API_STATUS AddUser(const USER_INFO_1 &user) = 0;
    // NetUserDel on the local computer.
    virtual NET_API_STATUS DeleteUser(const std::wstring &name) = 0;
    virtual NTSTATUS OpenPolicy(ACCESS_MASK access, LSA_HANDLE &policy) = 0;
    virtual void ClosePolicy(LSA_HANDLE policy) = 0;
    // LookupAccountNameA on the local computer: 0, or the system error (sizes updated as the call does).
    virtual DWORD LookupAccount(const std::string &name, PSID sid, DWORD &sidSize, char *domain,
                                    DWORD &domainSize) = 0;
    virtual NTSTATUS AddAccountRight(LSA_HANDLE policy, PSID sid, const std::wstring &right) = 0;
    // Removes every right of the account, and with them its record in the security database.
    virtual NTSTATUS RemoveAllAccountRights(LSA_HANDLE policy, PSID sid) = 0;
    virtual ULONG NtStatusToWinError(NTSTATUS status) = 0;
    virtual void ShowMessage(const std::string &text) = 0;
};

// The system's own account calls.
CAccountSystem &WindowsAccountSystem();

class CAccountManage {
public:
    // Default name and password, then the machine key's overrides and the manage flag; the system's own
    // account calls.
    CAccountManage();
    explicit CAccountManage(CAccountSystem &system);
    virtual ~CAccountManage() = default;

    const std::string &UserName() const { return m_userName; }
    const std::string &Password() const { return m_password; }
    bool Managed() const { return m_manage != 0; }

    // When managed: replaces the account by a fresh one with the network log-on right; each failure shows
    // its message box. Always true.
    bool CreateAccount();
    // Removes the account's rights and the account; true when the account was deleted.
    bool DeleteAccount(const std::string &userName);
    // When managed, deletes the account; true when not managed or deleted.
    bool RemoveAccount();

private:
    void ReadSettings();
    // The account's security identifier; false when it cannot be found.
    bool GetAccountSid(const std::string &userName, std::vector<BYTE> &sid);

    CAccountSystem &m_system;
    std::string m_userName;
    std::string m_password;
    int m_manage = 0;
};
