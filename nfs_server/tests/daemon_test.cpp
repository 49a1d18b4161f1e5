// TDaemon and Seldrix.exe start-up under Wine, in a network namespace of their own (daemon_test runs
// inside wine-netns.sh): the ports, the probe of a port 111 that is already taken, the thread's life.
#include "RpcWire.h"
#include "TestTree.h"
#include "fDaemon.h"

#include <gtest/gtest.h>

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

bool PortmapperAnswers()
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    DWORD wait = 3000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&wait), sizeof wait);
    TCall call(99, 100000, 2, 0);
    sockaddr_in to = Loopback(111);
    sendto(s, reinterpret_cast<const char *>(call.Bytes.data()), int(call.Bytes.size()), 0,
           reinterpret_cast<sockaddr *>(&to), sizeof to);
    char buffer[256];
    int got = recv(s, buffer, sizeof buffer, 0);
    closesocket(s);
    return got >= 24;
}

}  // namespace

TEST_F(DaemonTest, StartsServesAndStopsWithinOneSelectTimeOut)
{
    auto daemon = std::make_unique<TDaemon>(Tree->Root(), nullptr, 65001);
    ASSERT_EQ("", daemon->ErrorText);
    daemon->Resume();
    EXPECT_TRUE(PortmapperAnswers());
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

// The program itself: a start failure reaches the user as a message box with the daemon's text.
TEST_F(DaemonTest, SeldrixShowsAStartFailureInAMessageBox)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, SeldrixKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                             nullptr));
    char root[MAX_PATH];
    WideCharToMultiByte(CP_ACP, 0, Tree->Root().c_str(), -1, root, MAX_PATH, nullptr, nullptr);
    RegSetValueExA(key, "Root", 0, REG_SZ, reinterpret_cast<const BYTE *>(root), DWORD(strlen(root) + 1));
    RegCloseKey(key);

    TFakePortmapper holder({{100003, 3, 6, 2049}});
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string exe = self;
    exe = exe.substr(0, exe.find_last_of('\\') + 1) + "Seldrix.exe";
    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(exe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));

    HWND box = nullptr;
    for (int i = 0; i < 200 && !box; ++i) {
        box = FindWindowA("#32770", "Seldrix");
        if (!box) Sleep(50);
    }
    ASSERT_NE(nullptr, box);
    std::string shown;
    EnumChildWindows(
        box,
        [](HWND child, LPARAM text) -> BOOL {
            char buffer[256];
            GetWindowTextA(child, buffer, sizeof buffer);
            *reinterpret_cast<std::string *>(text) += std::string(buffer) + "|";
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&shown));
    EXPECT_NE(std::string::npos, shown.find("A NFS server is still running on this machine")) << shown;
    PostMessageA(box, WM_COMMAND, IDOK, 0);

    HWND form = nullptr;
    for (int i = 0; i < 100 && !form; ++i) {
        form = FindWindowExA(HWND_MESSAGE, nullptr, "TDSettings", nullptr);
        if (!form) Sleep(50);
    }
    ASSERT_NE(nullptr, form) << "the program keeps running after the message";
    PostMessageA(form, WM_CLOSE, 0, 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 10000));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}
