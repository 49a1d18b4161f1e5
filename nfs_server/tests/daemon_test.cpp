// TDaemon and Seldrix.exe start-up under Wine, in a network namespace of their own (daemon_test runs
// inside wine-netns.sh): the ports, the probe of a port 111 that is already taken, the thread's life.
#include "RpcWire.h"
#include "TestTree.h"
#include "fDaemon.h"
#include "res/resource.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <atomic>
#include <string>
#include <thread>

using namespace rpcwire;

namespace {

const char SeldrixKey[] = "SOFTWARE\\Seldrix";

struct TMapping {
    uint32_t Program, Version, Protocol, Port;
};

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// How the holder of port 111 answers the daemon's DUMP call.
enum class TAnswer { Whole, FirstBytesOnly, Never };

// Holds TCP port 111 and answers one DUMP call with the given mappings.
class TFakePortmapper {
public:
    explicit TFakePortmapper(std::vector<TMapping> mappings, TAnswer answer = TAnswer::Whole)
    {
        Listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in local = Loopback(111);
        local.sin_addr.s_addr = INADDR_ANY;
        EXPECT_EQ(0, bind(Listener, reinterpret_cast<sockaddr *>(&local), sizeof local));
        EXPECT_EQ(0, listen(Listener, 4));
        Worker = std::thread([this, mappings, answer] { Serve(mappings, answer); });
    }
    ~TFakePortmapper()
    {
        closesocket(Listener);
        Worker.join();
    }

private:
    void Serve(const std::vector<TMapping> &mappings, TAnswer answer)
    {
        SOCKET s = accept(Listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) return;
        char buffer[512];
        int got = recv(s, buffer, sizeof buffer, 0);
        if (answer != TAnswer::Never && got >= 8) {
            uint32_t xid = GetUInt32(reinterpret_cast<uint8_t *>(buffer) + 4);
            TCall reply(xid, 0, 0, 0);
            reply.Bytes.clear();
            reply.U32(xid).U32(1).U32(0).U32(0).U32(0).U32(0);
            for (const TMapping &m : mappings) reply.U32(1).U32(m.Program).U32(m.Version).U32(m.Protocol).U32(m.Port);
            reply.U32(0);
            std::vector<uint8_t> record = reply.Record();
            if (answer == TAnswer::FirstBytesOnly) record.resize(12);
            send(s, reinterpret_cast<const char *>(record.data()), int(record.size()), 0);
        }
        // Keep the connection until the daemon has read (or given up).
        recv(s, buffer, sizeof buffer, 0);
        closesocket(s);
    }

    SOCKET Listener;
    std::thread Worker;
};

class DaemonTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WSADATA wsa;
        WSAStartup(MAKEWORD(1, 1), &wsa);
    }
    void SetUp() override { Tree = MakeTestTree(); }

    std::string StartError()
    {
        TDaemon daemon(Tree->Root(), nullptr, 65001);
        return daemon.ErrorText;
    }

    std::unique_ptr<TTestTree> Tree;
};

// The portmapper's reply to a NULL call over UDP from 127.0.0.1: its size (24 accepted, 20 refused), 0
// when nothing answers within the wait.
int PortmapperReply(DWORD waitMs = 1000)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&waitMs), sizeof waitMs);
    TCall call(99, 100000, 2, 0);
    sockaddr_in to = Loopback(111);
    sendto(s, reinterpret_cast<const char *>(call.Bytes.data()), int(call.Bytes.size()), 0,
           reinterpret_cast<sockaddr *>(&to), sizeof to);
    char buffer[256];
    int got = recv(s, buffer, sizeof buffer, 0);
    closesocket(s);
    return got > 0 ? got : 0;
}

}  // namespace

TEST_F(DaemonTest, StartsServesAndStopsWithinOneSelectTimeOut)
{
    auto daemon = std::make_unique<TDaemon>(Tree->Root(), nullptr, 65001);
    ASSERT_EQ("", daemon->ErrorText);
    daemon->Resume();
    EXPECT_EQ(24, PortmapperReply(3000));
    DWORD start = GetTickCount();
    daemon->Terminate();
    daemon->WaitFor();
    EXPECT_LT(GetTickCount() - start, 3000u);
    daemon.reset();
    EXPECT_EQ("", StartError()) << "every port is free again";
}

TEST_F(DaemonTest, TheTerminationCheckEndsTheThread)
{
    std::atomic<bool> stop{false};
    TDaemon daemon(Tree->Root(), [&stop] { return stop.load(); }, 65001);
    ASSERT_EQ("", daemon.ErrorText);
    daemon.Resume();
    stop = true;
    DWORD start = GetTickCount();
    daemon.WaitFor();
    EXPECT_LT(GetTickCount() - start, 3000u);
    EXPECT_TRUE(daemon.Terminated());
}

TEST_F(DaemonTest, AMissingRootRaises)
{
    EXPECT_THROW(TDaemon(Tree->Root() + L"\\missing", nullptr, 65001), std::runtime_error);
}

TEST_F(DaemonTest, ATakenPortmapperIsNamedByWhatItServes)
{
    {
        TFakePortmapper holder({{100000, 2, 6, 111}, {100003, 3, 17, 2049}});
        EXPECT_EQ("A NFS server is still running on this machine", StartError());
    }
    {
        TFakePortmapper holder({{100000, 2, 6, 111}, {100005, 3, 6, 635}, {100003, 2, 6, 2049}});
        EXPECT_EQ("A Mount service is still running on this machine", StartError());
    }
    {
        TFakePortmapper holder({{100000, 2, 6, 111}});
        EXPECT_EQ("A Portmapper is still running on local TCP port 111", StartError());
    }
}

TEST_F(DaemonTest, ASilentHolderOfPort111IsAPortmapperAfterTheProbeTimesOut)
{
    TFakePortmapper holder({}, TAnswer::Never);
    DWORD start = GetTickCount();
    EXPECT_EQ("A Portmapper is still running on local TCP port 111", StartError());
    EXPECT_GE(GetTickCount() - start, 4900u);
}

TEST_F(DaemonTest, AHolderThatStopsMidAnswerCannotStallTheStart)
{
    TFakePortmapper holder({{100003, 3, 6, 2049}}, TAnswer::FirstBytesOnly);
    DWORD start = GetTickCount();
    EXPECT_EQ("A Portmapper is still running on local TCP port 111", StartError());
    EXPECT_LT(GetTickCount() - start, 8000u) << "the probe waits 5 s in all";
}

TEST_F(DaemonTest, ATakenPortIsReported)
{
    SOCKET taken = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in local = Loopback(635);
    local.sin_addr.s_addr = INADDR_ANY;
    ASSERT_EQ(0, bind(taken, reinterpret_cast<sockaddr *>(&local), sizeof local));
    EXPECT_EQ("Can't bind socket to local UDP port 635", StartError());
    closesocket(taken);
    EXPECT_EQ("", StartError());
}

// ---- the program itself, Seldrix.exe, with its registry key, icon and form

namespace {

// Polls until found gives a window; the wait only bounds a failure, so it allows for a loaded machine.
template <class Find>
HWND WaitForWindow(Find found, DWORD waitMs = 60000)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < waitMs; Sleep(50))
        if (HWND window = found()) return window;
    return nullptr;
}

template <class Condition>
bool WaitUntil(Condition condition, DWORD waitMs = 60000)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < waitMs; Sleep(50))
        if (condition()) return true;
    return false;
}

std::string WindowTexts(HWND window)
{
    std::string shown;
    EnumChildWindows(
        window,
        [](HWND child, LPARAM text) -> BOOL {
            char buffer[256];
            GetWindowTextA(child, buffer, sizeof buffer);
            *reinterpret_cast<std::string *>(text) += std::string(buffer) + "|";
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&shown));
    return shown;
}

class ProgramTest : public DaemonTest {
protected:
    void SetUp() override
    {
        DaemonTest::SetUp();
        RegDeleteKeyA(HKEY_CURRENT_USER, SeldrixKey);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, SeldrixKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &Key, nullptr));
        char root[MAX_PATH];
        WideCharToMultiByte(CP_ACP, 0, Tree->Root().c_str(), -1, root, MAX_PATH, nullptr, nullptr);
        Root = root;
    }
    void TearDown() override
    {
        Stop();
        RegCloseKey(Key);
        RegDeleteKeyA(HKEY_CURRENT_USER, SeldrixKey);
    }

    void Stop() { Close(Process, Window); }

    // Ends a program as its window's close does, so that it closes its own sockets: under Wine, a process
    // ended from outside while it answers a datagram can leave that port held by the wineserver for good.
    static void Close(PROCESS_INFORMATION &process, HWND window)
    {
        if (!process.hProcess) return;
        PostMessageA(window, WM_CLOSE, 0, 0);
        const bool ended = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
        EXPECT_TRUE(ended) << "the program ends on its window's close";
        if (!ended) {
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 10000);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        process = {};
    }

    void SetString(const char *name, const std::string &value, DWORD type = REG_SZ)
    {
        RegSetValueExA(Key, name, 0, type, reinterpret_cast<const BYTE *>(value.c_str()), DWORD(value.size() + 1));
    }
    void SetNumber(const char *name, DWORD value)
    {
        RegSetValueExA(Key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
    }
    // The type of a value of the key, 0 when it is missing; a number's value in number.
    DWORD ValueType(const char *name, DWORD *number = nullptr)
    {
        DWORD type = 0, value = 0, size = sizeof value;
        if (RegQueryValueExA(Key, name, nullptr, &type, number ? reinterpret_cast<BYTE *>(&value) : nullptr,
                             number ? &size : nullptr) != ERROR_SUCCESS)
            return 0;
        if (number) *number = value;
        return type;
    }

    void StartSeldrix()
    {
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        std::string exe = self;
        exe = exe.substr(0, exe.find_last_of('\\') + 1) + "Seldrix.exe";
        STARTUPINFOA si = {sizeof si};
        ASSERT_TRUE(CreateProcessA(exe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &Process));
        // The form's window of this process, not of one started before it.
        Window = WaitForWindow([this] {
            HWND found = nullptr;
            DWORD owner = 0;
            while ((found = FindWindowExA(HWND_MESSAGE, found, "TDSettings", nullptr)) &&
                   (GetWindowThreadProcessId(found, &owner), owner != Process.dwProcessId)) {
            }
            return found;
        });
        ASSERT_NE(nullptr, Window) << "the form's window";
    }
    bool Ended() { return WaitForSingleObject(Process.hProcess, 0) == WAIT_OBJECT_0; }

    // Right button on the icon, then the menu item that keys reach: down for the first, up for the last.
    void ChooseFromIconMenu(WPARAM key)
    {
        PostMessageA(Window, WM_USER, 0, WM_RBUTTONUP);
        HWND menu = WaitForWindow([] {
            HWND found = FindWindowA("#32768", nullptr);
            return found && IsWindowVisible(found) ? found : nullptr;
        });
        ASSERT_NE(nullptr, menu) << "the icon's menu";
        PostMessageA(menu, WM_KEYDOWN, key, 0);
        PostMessageA(menu, WM_KEYDOWN, VK_RETURN, 0);
    }
    HWND ShownForm()
    {
        return WaitForWindow([] {
            HWND form = FindWindowA("#32770", "Seldrix Settings");
            return form && IsWindowVisible(form) ? form : nullptr;
        });
    }

    HKEY Key = nullptr;
    std::string Root;
    PROCESS_INFORMATION Process = {};
    HWND Window = nullptr;
};

}  // namespace

// A fresh user's server serves "Seldrix" in the documents folder, made when missing; so does a key whose
// "Root" is empty.
TEST_F(ProgramTest, WithoutARootTheDocumentsFolderIsServed)
{
    char documents[MAX_PATH];
    ASSERT_EQ(S_OK, SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents));
    const std::string served = std::string(documents) + "\\Seldrix";
    for (bool emptyRoot : {false, true}) {
        RemoveDirectoryA(served.c_str());
        if (emptyRoot) {
            SetString("Root", "");
        } else {
            RegCloseKey(Key);
            RegDeleteKeyA(HKEY_CURRENT_USER, SeldrixKey);
        }
        StartSeldrix();
        EXPECT_TRUE(WaitUntil([] { return PortmapperReply() == 24; })) << "every host allowed";
        DWORD attributes = GetFileAttributesA(served.c_str());
        EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) << served;
        PostMessageA(Window, WM_CLOSE, 0, 0);
        EXPECT_TRUE(WaitUntil([this] { return Ended(); }));
        CloseHandle(Process.hThread);
        CloseHandle(Process.hProcess);
        Process = {};
        if (!emptyRoot)
            RegCreateKeyExA(HKEY_CURRENT_USER, SeldrixKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &Key, nullptr);
    }
    RemoveDirectoryA(served.c_str());
}

// A second start while one runs: the first answers the probe of port 111 and the second says so.
TEST_F(ProgramTest, ASecondInstanceNamesTheServerThatRuns)
{
    SetString("Root", Root);
    StartSeldrix();
    ASSERT_TRUE(WaitUntil([] { return PortmapperReply() == 24; }));
    PROCESS_INFORMATION first = Process;
    const HWND firstWindow = Window;
    Process = {};
    StartSeldrix();
    HWND box = WaitForWindow([] { return FindWindowA("#32770", "Seldrix"); });
    ASSERT_NE(nullptr, box);
    std::string shown = WindowTexts(box);
    EXPECT_NE(std::string::npos, shown.find("A NFS server is still running on this machine")) << shown;
    EXPECT_EQ(24, PortmapperReply()) << "the first one serves on";
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    Close(first, firstWindow);
}

// A start failure reaches the user as a message box with the daemon's text; the program keeps running.
TEST_F(ProgramTest, AStartFailureShowsItsTextAndTheProgramKeepsRunning)
{
    SetString("Root", Root);
    TFakePortmapper holder({{100003, 3, 6, 2049}});
    StartSeldrix();
    HWND box = WaitForWindow([] { return FindWindowA("#32770", "Seldrix"); });
    ASSERT_NE(nullptr, box);
    std::string shown = WindowTexts(box);
    EXPECT_NE(std::string::npos, shown.find("A NFS server is still running on this machine")) << shown;
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    EXPECT_FALSE(WaitUntil([this] { return Ended(); }, 1000)) << "the program keeps running after the message";
    PostMessageA(Window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitUntil([this] { return Ended(); }));
}

TEST_F(ProgramTest, AValueOfTheWrongTypeIsReportedAndNoServerStarts)
{
    SetString("Root", Root);
    SetNumber("Host", 1);
    StartSeldrix();
    HWND box = WaitForWindow([] { return FindWindowA("#32770", "Seldrix"); });
    ASSERT_NE(nullptr, box);
    std::string shown = WindowTexts(box);
    EXPECT_NE(std::string::npos, shown.find("Invalid data type for 'Host'")) << shown;
    EXPECT_EQ(0, PortmapperReply()) << "no server";
    PostMessageA(box, WM_COMMAND, IDOK, 0);
}

// The form from the icon's menu: OK only for an existing folder, only changed values written, an
// emptied "Host" removed, the server restarted with the new settings even while clients stall; Quit
// from the icon's menu ends the program.
TEST_F(ProgramTest, TheFormSavesWhatChangedAndRestartsTheServer)
{
    // "Root" as an expandable string: a value written back would become a plain one.
    SetString("Root", Root, REG_EXPAND_SZ);
    SetString("Host", "10.9.9.9");
    SetNumber("CodePage", 1252);
    StartSeldrix();
    ASSERT_TRUE(WaitUntil([] { return PortmapperReply() != 0; }));
    EXPECT_EQ(20, PortmapperReply()) << "127.0.0.1 is not an allowed host";
    SOCKET silent = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), stalled = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to = Loopback(2049);
    connect(silent, reinterpret_cast<sockaddr *>(&to), sizeof to);
    connect(stalled, reinterpret_cast<sockaddr *>(&to), sizeof to);
    send(stalled, "\x80\x00", 2, 0);

    ChooseFromIconMenu(VK_DOWN);
    HWND form = ShownForm();
    ASSERT_NE(nullptr, form) << "Settings... shows the form";
    std::string shown = WindowTexts(form);
    for (const char *text : {"Root Folder", "Path:", "Incomming Connections", "Allowed Host:", "Encoding", "Codepage:",
                             "Ok", "Cancel"})
        EXPECT_NE(std::string::npos, shown.find(text)) << text << " in " << shown;
    char text[MAX_PATH];
    GetDlgItemTextA(form, IDC_FROOT, text, sizeof text);
    EXPECT_EQ(Root, text);
    GetDlgItemTextA(form, IDC_FHOST, text, sizeof text);
    EXPECT_STREQ("10.9.9.9", text);
    GetDlgItemTextA(form, IDC_FCODEPAGES, text, sizeof text);
    EXPECT_EQ(0, strncmp(text, "1252 ", 5)) << text;
    HWND ok = GetDlgItem(form, IDOK);
    EXPECT_FALSE(IsWindowEnabled(ok)) << "nothing changed yet";

    SendDlgItemMessageA(form, IDC_FROOT, WM_SETTEXT, 0, reinterpret_cast<LPARAM>((Root + "\\missing").c_str()));
    EXPECT_FALSE(IsWindowEnabled(ok)) << "not an existing folder";
    SendDlgItemMessageA(form, IDC_FROOT, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Root.c_str()));
    EXPECT_TRUE(IsWindowEnabled(ok));
    SendDlgItemMessageA(form, IDC_FHOST, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
    LRESULT dos = SendDlgItemMessageA(form, IDC_FCODEPAGES, CB_FINDSTRING, WPARAM(-1), reinterpret_cast<LPARAM>("850 "));
    ASSERT_NE(CB_ERR, dos);
    SendDlgItemMessageA(form, IDC_FCODEPAGES, CB_SETCURSEL, WPARAM(dos), 0);
    PostMessageA(form, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitUntil([form] { return !IsWindowVisible(form); })) << "OK stops and restarts the server and hides the form";

    EXPECT_EQ(DWORD(REG_EXPAND_SZ), ValueType("Root")) << "an unchanged root is not written";
    EXPECT_EQ(0u, ValueType("Host")) << "an emptied host list is removed";
    DWORD codePage = 0;
    EXPECT_EQ(DWORD(REG_DWORD), ValueType("CodePage", &codePage));
    EXPECT_EQ(850u, codePage);
    EXPECT_TRUE(WaitUntil([] { return PortmapperReply() == 24; })) << "the server runs again, open to all";
    closesocket(silent);
    closesocket(stalled);

    ChooseFromIconMenu(VK_UP);
    EXPECT_TRUE(WaitUntil([this] { return Ended(); })) << "Quit ends the program";
}

// A record of how far the handles went that cannot be read as one stops the start, named, and stays as
// it was: a start from the clock could hand out again what the last run gave. (Every type and size a
// number cannot have is refused by the registry wrapper's own test.)
TEST_F(ProgramTest, AHandlesValueItCannotReadStopsTheStart)
{
    SetString("Root", Root);
    SetString("Handles", "junk");
    StartSeldrix();
    HWND box = WaitForWindow([] { return FindWindowA("#32770", "Seldrix"); });
    ASSERT_NE(nullptr, box);
    std::string shown = WindowTexts(box);
    EXPECT_NE(std::string::npos, shown.find("Invalid data type for 'Handles'")) << shown;
    EXPECT_EQ(0, PortmapperReply()) << "no server";
    char data[16] = {};
    DWORD type = 0, size = sizeof data;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(Key, "Handles", nullptr, &type, reinterpret_cast<BYTE *>(data), &size));
    EXPECT_EQ(DWORD(REG_SZ), type);
    EXPECT_STREQ("junk", data) << "the value is kept";
    PostMessageA(box, WM_COMMAND, IDOK, 0);
}

// ---- calls over a real connection

namespace {

SOCKET Connect(uint16_t port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const DWORD waitMs = 5000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&waitMs), sizeof waitMs);
    sockaddr_in to = Loopback(port);
    if (connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

bool ReceiveAll(SOCKET s, uint8_t *to, std::size_t n)
{
    for (int got; n > 0; to += got, n -= std::size_t(got))
        if ((got = recv(s, reinterpret_cast<char *>(to), int(n), 0)) <= 0) return false;
    return true;
}

// Sends the call and returns its reply record; an empty reply when none comes.
TReply Exchange(SOCKET s, const TCall &call)
{
    const std::vector<uint8_t> record = call.Record();
    uint8_t mark[4];
    if (send(s, reinterpret_cast<const char *>(record.data()), int(record.size()), 0) != int(record.size()) ||
        !ReceiveAll(s, mark, 4))
        return TReply();
    std::vector<uint8_t> reply(GetUInt32(mark) & ~RecordLastFragment);
    return ReceiveAll(s, reply.data(), reply.size()) ? TReply(reply) : TReply();
}

}  // namespace

// READ's file is closed once its reply has gone, with no later call needed: the system can then delete
// it (the server opens it sharing read and write, not deletion).
TEST_F(DaemonTest, AFileReadIsNotHeldOpenOnceItsReplyHasGone)
{
    Tree->AddFile("read.bin", std::string(5000, 'r'));
    TDaemon daemon(Tree->Root(), nullptr, 65001);
    ASSERT_EQ("", daemon.ErrorText);
    daemon.Resume();
    SOCKET mount = Connect(635), nfs = Connect(2049);
    ASSERT_NE(INVALID_SOCKET, mount);
    ASSERT_NE(INVALID_SOCKET, nfs);
    TReply reply = Exchange(mount, TCall(1, MountProgram, MountVersion, 1).Opaque("/"));
    ASSERT_EQ(Success, reply.Header(1));
    ASSERT_EQ(0u, reply.U32());
    ASSERT_EQ(4u, reply.U32());
    const uint32_t root = reply.U32();
    reply = Exchange(nfs, TCall(2, NfsProgram, NfsVersion, 3).Handle(root).Opaque("read.bin"));
    ASSERT_EQ(Success, reply.Header(2));
    ASSERT_EQ(0u, reply.U32());
    ASSERT_EQ(4u, reply.U32());
    const uint32_t file = reply.U32();
    reply = Exchange(nfs, TCall(3, NfsProgram, NfsVersion, 6).Handle(file).U64(1000).U32(2000));
    ASSERT_EQ(Success, reply.Header(3));
    ASSERT_EQ(0u, reply.U32()) << "READ succeeds";

    const std::wstring path = Tree->Root() + L"\\read.bin";
    EXPECT_TRUE(WaitUntil([&path] { return DeleteFileW(path.c_str()) != 0; }, 60000)) << GetLastError();
    closesocket(mount);
    closesocket(nfs);
    daemon.Terminate();
    daemon.WaitFor();
}
