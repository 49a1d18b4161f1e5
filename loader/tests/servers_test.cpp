// The outside servers through their stand-ins: overrides from the machine key, start and stop by window
// title, the TFTP default directory, and the NFS server's settings, start and end.
#include "AppFixture.h"
#include "BootFolder.h"
#include "Delivery.h"
#include "DeliveryFixture.h"
#include "ExtService.h"
#include "WindowProbe.h"
#include "framework/RegKey.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <thread>

using namespace fixture;

namespace {

const char kTftpParameters[] = "Software\\WS\\TFTP Desktop\\2.5\\Parameters";
const char kTestTitle[] = "TFTP stand-in under test";

class ServersTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Clean();
        m_machineKey = apptest::CreateMachineKey(MachineKeyPath());
    }
    void TearDown() override
    {
        EXPECT_TRUE(apptest::QuitServerWindows({kTestTitle, "BOOTP Desktop"}));
        CExtNfs::KillByName();
        CExtNfs::KillByName();
        if (m_machineKey) RegCloseKey(m_machineKey);
        Clean();
    }
    void Clean()
    {
        apptest::DeleteMachineKey(MachineKeyPath());
        apptest::DeleteMachineKey(kTftpParameters);
        RegDeleteTreeA(HKEY_CURRENT_USER, "SOFTWARE\\Seldrix");
        for (const char *file : {"tftp.record", "tftp.gate", "Seldrix.exe.record"})
            DeleteFileA(GetAppFilePath(file).c_str());
    }
    void SetMachineValue(const char *name, const std::string &value)
    {
        RegSetValueExA(m_machineKey, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    }
    // The TFTP stand-in as the configured TFTP server, under a title of this test's own.
    void ConfigureTftpStandin(const std::string &extra = "")
    {
        SetMachineValue("TftpName", kTestTitle);
        SetMachineValue("MyTftpPathX", "\"" + GetAppFilePath("tftpdesk.exe") + "\" /title \"" + kTestTitle +
                                           "\" /record \"" + GetAppFilePath("tftp.record") + "\"" + extra);
    }
    static int CountProcesses(const char *exe)
    {
        int count = 0;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
            if (lstrcmpA(entry.szExeFile, exe) == 0) ++count;
        CloseHandle(snapshot);
        return count;
    }

    HKEY m_machineKey = nullptr;
};

size_t Occurrences(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

}  // namespace

TEST_F(ServersTest, DefaultsWithoutTheMachineKey)
{
    apptest::DeleteMachineKey(MachineKeyPath());
    CExtBootp bootp;
    EXPECT_EQ("BOOTP Desktop", bootp.WindowTitle());
    EXPECT_EQ("c:\\Program Files\\BOOTP Desktop\\bootpdesk.exe", bootp.CommandLine());
    EXPECT_TRUE(bootp.Controlled());
    CExtTftpd tftp;
    EXPECT_EQ("TFTP Desktop", tftp.WindowTitle());
    EXPECT_EQ("c:\\Program Files\\TFTP Desktop\\tftpdesk.exe", tftp.CommandLine());
    EXPECT_EQ(GetAppFilePath("Seldrix.exe"), CExtNfs().CommandLine());
}

TEST_F(ServersTest, OverridesMatchBySubstringAndTheLastMatchWins)
{
    SetMachineValue("BootpPath", "first.exe");
    SetMachineValue("MyBootpPathX", "second.exe");
    SetMachineValue("bootppath", "ignored: names are case-sensitive");
    SetMachineValue("XBootpName", "Own title");
    SetMachineValue("TftpCtrl", "0");
    CExtBootp bootp;
    EXPECT_EQ("second.exe", bootp.CommandLine());
    EXPECT_EQ("Own title", bootp.WindowTitle());
    EXPECT_TRUE(bootp.Controlled());
    EXPECT_FALSE(CExtTftpd().Controlled());

    std::string text = "unchanged";
    EXPECT_EQ(0, CExtBootp::QueryRegString(MachineKeyPath(), "BootpPath", text));
    EXPECT_EQ("second.exe", text);
    text = "unchanged";
    EXPECT_EQ(1, CExtBootp::QueryRegString(MachineKeyPath(), "DatabasePath", text));
    EXPECT_EQ(1, CExtBootp::QueryRegString("SOFTWARE\\NoSuchKeyForTavi", "BootpPath", text));
    EXPECT_EQ("unchanged", text);
}

TEST_F(ServersTest, EveryTftpControlObjectWritesTheDefaultDirectory)
{
    CExtTftpd withoutKey;
    HKEY parameters = nullptr;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTftpParameters, 0,
                                           RegistryView(HKEY_LOCAL_MACHINE, KEY_READ), &parameters));

    parameters = apptest::CreateMachineKey(kTftpParameters);
    ASSERT_NE(nullptr, parameters);
    RegSetValueExA(parameters, "DefaultDirectory", 0, REG_SZ, reinterpret_cast<const BYTE *>("C:\\old"), 7);
    CExtTftpd().Stop();
    char value[MAX_PATH] = {};
    DWORD size = sizeof value, type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(parameters, "DefaultDirectory", nullptr, &type,
                                              reinterpret_cast<BYTE *>(value), &size));
    RegCloseKey(parameters);
    EXPECT_EQ(DWORD(REG_SZ), type);
    EXPECT_EQ(GetTftpbootPath(), value);
    EXPECT_EQ(GetTftpbootPath().size() + 1, size);
}

TEST_F(ServersTest, StartsMinimisedFindsTheWindowOnceAndStopsWithQuit)
{
    RegCloseKey(apptest::CreateMachineKey(kTftpParameters));
    ConfigureTftpStandin();
    CExtService::s_waitRoundMillis = 2000;
    CExtTftpd tftp;
    EXPECT_FALSE(tftp.IsRunning());
    tftp.Start();
    HWND server = FindWindowA(nullptr, kTestTitle);
    ASSERT_NE(nullptr, server);
    EXPECT_TRUE(CExtTftpd().IsRunning());
    CExtTftpd().Start();

    CExtTftpd().Stop();
    EXPECT_TRUE(inspector::WaitForWindowGone(server, 30000));
    const std::string record = ReadTextFile(GetAppFilePath("tftp.record"));
    EXPECT_EQ(1u, Occurrences(record, "start ")) << record;
    EXPECT_NE(std::string::npos, record.find("show 2\n")) << record;
    EXPECT_NE(std::string::npos, record.find("DefaultDirectory " + GetTftpbootPath() + "\n")) << record;
    EXPECT_NE(std::string::npos, record.find("quit\n")) << record;
}

TEST_F(ServersTest, AnUncontrolledServerIsNeverStartedNorStopped)
{
    ConfigureTftpStandin();
    SetMachineValue("TftpCtrl", "0");
    CExtTftpd tftp;
    EXPECT_TRUE(tftp.IsRunning());
    tftp.Start();
    EXPECT_FALSE(FileExists(GetAppFilePath("tftp.record")));

    // Running, but not ours to end.
    SetMachineValue("TftpCtrl", "1");
    CExtService::s_waitRoundMillis = 2000;
    CExtTftpd().Start();
    HWND server = FindWindowA(nullptr, kTestTitle);
    ASSERT_NE(nullptr, server);
    SetMachineValue("TftpCtrl", "0");
    CExtTftpd().Stop();
    EXPECT_FALSE(inspector::WaitForWindowGone(server, 500));
}

TEST_F(ServersTest, ALateWindowIsLeftRunningAfterTheLastRound)
{
    // The window comes only once the rounds are over.
    ConfigureTftpStandin(" /gate \"" + GetAppFilePath("tftp.gate") + "\"");
    CExtService::s_waitRoundMillis = 20;
    CExtTftpd().Start();
    EXPECT_FALSE(CExtTftpd().IsRunning());
    WriteTextFile(GetAppFilePath("tftp.gate"), "");
    HWND late = inspector::WaitForWindow(nullptr, kTestTitle, 0, 30000);
    ASSERT_NE(nullptr, late);
    CExtTftpd().Stop();
    EXPECT_TRUE(inspector::WaitForWindowGone(late, 30000));
}

TEST_F(ServersTest, AQuitDuringTheWaitEndsTheServerAndIsPostedAgain)
{
    ConfigureTftpStandin(" /delay 3000");
    CExtService::s_waitRoundMillis = 20;
    PostQuitMessage(5);
    CExtTftpd tftp;
    tftp.Start();
    EXPECT_EQ(ERROR_CANCELLED, GetLastError());
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(5u, msg.wParam);
    // A server left running would show its window after its delay.
    EXPECT_TRUE(apptest::WaitUntil([] { return CountProcesses("tftpdesk.exe") == 0; }));
    EXPECT_EQ(nullptr, FindWindowA(nullptr, kTestTitle));
}

TEST_F(ServersTest, KillByNameEndsOnlyTheFirstNfsServer)
{
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(CExtNfs().Start());
    apptest::WaitUntil([] { return CountProcesses("Seldrix.exe") >= 2; });
    ASSERT_EQ(2, CountProcesses("Seldrix.exe"));
    CExtNfs::KillByName();
    EXPECT_EQ(1, CountProcesses("Seldrix.exe"));
    CExtNfs::KillByName();
    EXPECT_EQ(0, CountProcesses("Seldrix.exe"));
    CExtNfs::KillByName();
}

namespace {

// A termination that completes a while after the call returned, as a busy system's may.
std::thread g_lateTermination;
BOOL WINAPI TerminateLate(HANDLE process, UINT code)
{
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    g_lateTermination = std::thread([copy, code] {
        Sleep(700);
        TerminateProcess(copy, code);
        CloseHandle(copy);
    });
    return TRUE;
}

}  // namespace

TEST_F(ServersTest, KillByNameReturnsOnlyOnceTheServerIsGone)
{
    ASSERT_TRUE(CExtNfs().Start());
    apptest::WaitUntil([] { return CountProcesses("Seldrix.exe") >= 1; });
    ASSERT_EQ(1, CountProcesses("Seldrix.exe"));
    CExtNfs::s_terminateProcess = TerminateLate;
    CExtNfs::KillByName();
    CExtNfs::s_terminateProcess = TerminateProcess;
    EXPECT_EQ(0, CountProcesses("Seldrix.exe"));
    g_lateTermination.join();
}

TEST_F(ServersTest, TheNfsServerHasNoTitleSoNoWindowCountsAsItsOwn)
{
    HWND untitled = CreateWindowExA(0, "STATIC", "", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                                    nullptr);
    ASSERT_NE(nullptr, untitled);
    CExtNfs nfs;
    EXPECT_FALSE(nfs.IsRunning());
    nfs.Stop();
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "a quit was posted to an untitled window";
    DestroyWindow(untitled);

    // Started through the base, it is still the NFS server's own start: a wait for a window would end in
    // failure, as none ever comes.
    CExtService::s_waitRoundMillis = 20;
    CExtService &service = nfs;
    EXPECT_TRUE(service.Start());
    apptest::WaitUntil([] { return CountProcesses("Seldrix.exe") >= 1; });
    EXPECT_EQ(1, CountProcesses("Seldrix.exe"));
}

TEST_F(ServersTest, ServingAFolderWritesTheNfsSettingsAndRestartsTheServer)
{
    TempFolder served("tavi_served");
    CDelivery delivery;
    ASSERT_TRUE(delivery.StartNfsServer(served.Path()));
    ASSERT_TRUE(delivery.StartNfsServer(served.Path()));
    // The first server may be ended before it records anything: wait for the last start's own record.
    EXPECT_TRUE(apptest::WaitUntil([] {
        const std::string record = ReadTextFile(GetAppFilePath("Seldrix.exe.record"));
        const size_t start = record.rfind("start "), codePage = record.rfind("CodePage ");
        return start != std::string::npos && codePage != std::string::npos && codePage > start;
    }));
    EXPECT_EQ(1, CountProcesses("Seldrix.exe")) << "the first server ends before the second starts";

    char root[MAX_PATH] = {};
    DWORD size = sizeof root, codePage = 0, codeSize = sizeof codePage;
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_CURRENT_USER, "SOFTWARE\\Seldrix", "Root", RRF_RT_REG_SZ, nullptr,
                                          root, &size));
    EXPECT_EQ(served.Path(), root);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_CURRENT_USER, "SOFTWARE\\Seldrix", "CodePage", RRF_RT_REG_DWORD,
                                          nullptr, &codePage, &codeSize));
    EXPECT_EQ(65001u, codePage);
    const std::string record = ReadTextFile(GetAppFilePath("Seldrix.exe.record"));
    EXPECT_NE(std::string::npos, record.find("Root " + served.Path() + "\nCodePage 65001\n")) << record;
    EXPECT_NE(std::string::npos, record.find("show 2\n")) << record;

    EXPECT_TRUE(delivery.StopNfsServer());
    EXPECT_EQ(0, CountProcesses("Seldrix.exe"));
    EXPECT_FALSE(delivery.StartNfsServer(""));
}

TEST_F(ServersTest, TheBootpServerIsFoundByItsDefaultTitle)
{
    SetMachineValue("BootpPath", "\"" + GetAppFilePath("bootpdesk.exe") + "\" /record \"" +
                                     GetAppFilePath("tftp.record") + "\"");
    CExtService::s_waitRoundMillis = 2000;
    CExtBootp().Start();
    HWND server = FindWindowA(nullptr, "BOOTP Desktop");
    ASSERT_NE(nullptr, server);
    EXPECT_TRUE(CExtBootp().IsRunning());
    CExtBootp().Stop();
    EXPECT_TRUE(inspector::WaitForWindowGone(server, 30000));
    EXPECT_FALSE(CExtBootp().IsRunning());
}

TEST_F(ServersTest, AnErrorWithoutSystemTextKeepsItsCode)
{
    CDelivery delivery;
    SetLastError(0xE0001234);
    delivery.GetLastErrorText();
    EXPECT_EQ("0xe0001234\r\n", delivery.LastErrorText());
}
