// The dialogue's state machine over a recording socket: sessions, acceptance, answers on the wire,
// step allowances and what the owner is told.
#include "DialogueFakes.h"
#include "ServerSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char *kPcAddress = "192.168.5.1";

class Dialogue : public ::testing::Test {
protected:
    MemorySettings settings;
    RecordingOwner owner;
    std::vector<SentDatagram> sent;
    std::deque<FakeSocket::Incoming> incoming;
    FakeSocket *socket = nullptr;
    std::unique_ptr<CServerSocket> server;

    void Start()
    {
        auto fake = std::make_unique<FakeSocket>(sent, incoming);
        socket = fake.get();
        server = std::make_unique<CServerSocket>(settings, std::move(fake), [](std::string &address) {
            address = kPcAddress;
            return 0;
        });
        ASSERT_TRUE(server->Open(&owner));
        ASSERT_EQ(kLoaderPort, socket->boundPort);
    }

    void Deliver(const std::string &address, unsigned port, const char *name, std::uint32_t ta, std::uint32_t sess,
                 std::uint32_t stat, const std::string &text, std::uint32_t vmajor = 2, std::uint32_t vminor = 0)
    {
        BoardMessageHeader header = {};
        std::strncpy(header.cmd, name, kCmdSize);
        header.ta = ta;
        header.sess = sess;
        header.stat = stat;
        header.vmajor = vmajor;
        header.vminor = vminor;
        DeliverBytes(address, port, EncodeBoardMessage(header, text));
    }

    void DeliverBytes(const std::string &address, unsigned port, const std::vector<char> &bytes)
    {
        incoming.push_back({bytes, address, port, 0});
        server->OnReceive(0);
    }

    // Sends from a board at address, port 6011, numbering its datagrams itself.
    struct Board {
        Dialogue *test;
        std::string address;
        std::uint32_t sess;
        std::uint32_t ta = 100;
        void Send(const char *name, std::uint32_t stat = 1, const std::string &text = "")
        {
            test->Deliver(address, kBoardPort, name, ++ta, sess, stat, text);
        }
    };

    Board Connect(const std::string &address = "10.0.0.5", std::uint32_t sess = 77)
    {
        Board board{this, address, sess};
        board.Send("CONNECT", 1, "PMR 4.0 R30");
        return board;
    }

    void Clear()
    {
        sent.clear();
        owner.calls.clear();
    }

    std::vector<std::string> SentNames() const
    {
        std::vector<std::string> names;
        for (const SentDatagram &d : sent) names.push_back(d.Name() + "/" + std::to_string(d.Status()));
        return names;
    }

    void Tick(int times)
    {
        for (int i = 0; i < times; ++i) server->OnTick();
    }
};

using Names = std::vector<std::string>;

TEST_F(Dialogue, AcceptedConnectIsAnsweredWithTheExportLines)
{
    Start();
    Deliver("10.0.0.5", 6011, "CONNECT", 0x11223344, 0x55, 1, "PMR 4.0 R30");
    ASSERT_EQ(1u, sent.size());
    const SentDatagram &answer = sent[0];
    EXPECT_EQ("10.0.0.5", answer.address);
    EXPECT_EQ(6011u, answer.port);
    const std::string text = "export CPFLASH_SERVER_IP=192.168.5.1\nexport CPFLASH_CLIENT_SESSION=85\n"
                             "export CPFLASH_CLIENT_SCRIPT=cpflash.client\n";
    std::vector<char> expected(56, '\0');
    std::memcpy(expected.data(), "CONNECT", 7);
    const unsigned char fields[24] = {0x44, 0x33, 0x22, 0x11, 0x55, 0, 0, 0, 0, 0, 0, 0,
                                      1,    0,    0,    0,    2,    0, 0, 0, 0, 0, 0, 0};
    std::memcpy(expected.data() + 32, fields, sizeof fields);
    expected.insert(expected.end(), text.begin(), text.end());
    expected.push_back('\0');
    EXPECT_EQ(expected, answer.bytes);

    EXPECT_EQ((Names{"log 10.0.0.5|80||0", "added", "event 1 1 PMR 4.0 R30"}), owner.calls);
    ASSERT_EQ(1u, server->Sessions().size());
    EXPECT_EQ(server->Allowances().TOCmd, server->Sessions()[0]->ticks);
}

TEST_F(Dialogue, AConnectWithoutThePcsAddressOrWithOneThatIsNoPlainWordIsLoggedAndNotAnswered)
{
    struct Case {
        std::string address;
        int error;
        std::string logged;
    };
    const Case cases[] = {
        {"0.0.0.0", 11001, "syserr 11001 10.0.0.5"},
        {"1.2.3.4;reboot;$(halt)", 0, "syserr 13 10.0.0.5 CPFLASH_SERVER_IP=1.2.3.4;reboot;$(halt)"},
        {"1.2.3.4 5.6.7.8", 0, "syserr 13 10.0.0.5 CPFLASH_SERVER_IP=1.2.3.4 5.6.7.8"},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // Plain words that are no dotted IPv4 address.
    for (const std::string &word : {std::string("-e"), std::string("00.0.0.0"), std::string("1.2.3"),
                                    std::string("1.2.3.256"), std::string("1.2.3.4."), std::string("host.local"),
                                    std::string(3000, '7'), "1.2.3." + std::string(3000, '4')})
        all.push_back({word, 0, "syserr 13 10.0.0.5 CPFLASH_SERVER_IP=" + word});
    for (const Case &c : all) {
        Clear();
        auto fake = std::make_unique<FakeSocket>(sent, incoming);
        server = std::make_unique<CServerSocket>(settings, std::move(fake), [&c](std::string &address) {
            address = c.address;
            return c.error;
        });
        ASSERT_TRUE(server->Open(&owner));
        Deliver("10.0.0.5", 6011, "CONNECT", 3, 9, 1, "PMR 4.0 R30");
        EXPECT_TRUE(sent.empty()) << c.address;
        EXPECT_EQ((Names{c.logged, "removed"}), owner.calls) << c.address;
        EXPECT_TRUE(server->Sessions().empty()) << c.address;
    }
}

TEST_F(Dialogue, ConnectWithoutAKnownReleaseIsRefusedAndEnded)
{
    Start();
    for (const char *text : {"", "pmr 4.0", "XYZ"}) {
        Clear();
        Deliver("10.0.0.5", 6011, "CONNECT", 3, 9, 1, text);
        EXPECT_EQ((Names{"CONNECT/2", "DISCONNECT/2"}), SentNames()) << text;
        ASSERT_EQ(2u, sent.size());
        EXPECT_EQ(text, sent[0].Decoded().text);
        EXPECT_EQ(text, sent[1].Decoded().text);
        EXPECT_EQ(3u, sent[1].Decoded().header.ta);
        EXPECT_EQ((Names{"log 10.0.0.5|77||0", "log 10.0.0.5|76||0", "removed", "box text#86"}), owner.calls);
        EXPECT_TRUE(server->Sessions().empty());
    }
    for (const char *text : {"RCE 2.1", "xxONExx"}) {
        Clear();
        Deliver("10.0.0.6", 6011, "CONNECT", 3, 9, 1, text);
        EXPECT_EQ((Names{"CONNECT/1"}), SentNames()) << text;
    }
}

TEST_F(Dialogue, StepsAreAcknowledgedWithTheirAllowance)
{
    settings.ints = {{"Timeouts/TOCmd", 11},      {"Timeouts/TOConfTarget", 12}, {"Timeouts/TOFormat", 13},
                     {"Timeouts/TOAliveX", 14},   {"Timeouts/TOCopy", 15},       {"Timeouts/TOConfBoot", 16},
                     {"Timeouts/TOSignVerify", 17}};
    Start();
    Board board = Connect();
    struct Step {
        const char *name;
        std::int32_t ticks;
        Names calls;
    };
    const std::string peer = "log 10.0.0.5|";
    const std::vector<Step> steps = {
        {"MOUNT_SERVER_OK", 11, {"log _WAIT_|0||0"}},
        {"TIME_OK", 12, {"log _WAIT_|0||0"}},
        {"FLASH_DRV_OK", 13, {"log _WAIT_|0||0", peer + "83||0", "status #3101"}},
        {"FORMAT_OK", 13, {"status #57345", "log _WAIT_|0||0"}},
        {"FORMAT_HD_OK", 13, {"status #57345", "log _WAIT_|0||0"}},
        {"EMOUNT_FLASH_OK", 11, {"log _WAIT_|0||0"}},
        {"MOUNT_FLASH_OK", 11, {"log _WAIT_|0||0"}},
        {"EXPORT_FLASH_OK", 11, {"log _WAIT_|0||0"}},
        {"UNEXPORT_FLASH_OK", 16, {peer + "84||0"}},
        {"EUMOUNT_FLASH_OK", 11, {"log _WAIT_|0||0"}},
        {"UMOUNT_FLASH_OK", 11, {"log _WAIT_|0||0"}},
        {"BOOT_FLASH_OK", 11, {peer + "88||0"}},
        {"UMOUNT_SERVER_OK", 11, {"log _WAIT_|0||0"}},
        {"ERASE_OK", 11, {"log _WAIT_|0||0"}},
        {"SW_SIGN_OK", 17, {peer + "90||0"}},
        {"FORMAT_XMEM_OK", 11, {"log _WAIT_|0||0", "event 10 1 step text"}},
        {"IA_ETHER_ADRESS", 11, {"log _WAIT_|0||0", "event 43 1 step text"}},
        {"SAVE_TELE_START", 11, {"save 33 1 step text"}},
        {"RESTORE_IA_END", 11, {"restore 40 1 step text"}},
        {"ALIVE", 14, {"status text#3100", "log text#3100|0||0", "log _WAIT_|0||0"}},
        {"COPY_DONE", 11, {"log _WAIT_|0||0"}},
    };
    for (const Step &step : steps) {
        Clear();
        board.Send(step.name, 1, step.name == std::string("ALIVE") ? "0" : "step text");
        ASSERT_EQ(1u, sent.size()) << step.name;
        EXPECT_EQ(std::string(step.name) + "/1", SentNames()[0]);
        EXPECT_EQ(board.ta, sent[0].Decoded().header.ta);
        EXPECT_EQ(77u, sent[0].Decoded().header.sess);
        EXPECT_EQ(step.name == std::string("ALIVE") ? "0" : "step text", sent[0].Decoded().text);
        EXPECT_EQ(step.ticks, server->Sessions()[0]->ticks) << step.name;
        EXPECT_EQ(step.calls, owner.calls) << step.name;
    }
}

TEST_F(Dialogue, BoardErrorsAreLoggedShownAndAcknowledged)
{
    Start();
    Board board = Connect();
    for (int id : {3, 5, 7, 11, 13, 15, 17, 20, 22, 24, 26, 29, 31, 41, 42}) {
        Clear();
        board.Send(BoardMessageNames[id], 1, "12 disk full");
        const std::string name = BoardMessageNames[id];
        EXPECT_EQ((Names{"log 10.0.0.5|87|\r\n[" + name + "]|0", "error " + std::to_string(id) + " 1 12 disk full"}),
                  owner.calls);
        EXPECT_EQ((Names{name + "/1"}), SentNames());
    }
}

TEST_F(Dialogue, CopyWaitFollowsTheCopy)
{
    Start();
    Board board = Connect();
    Clear();
    board.Send("COPY_WAIT", 1, "0/40");
    EXPECT_EQ((Names{"status #2010", "log 10.0.0.5|82||0", "log _WAIT_|0||0", "copy 18 1 0/40"}), owner.calls);
    EXPECT_EQ(server->Allowances().TOConfBoot, server->Sessions()[0]->ticks);
    Clear();
    board.Send("COPY_WAIT", 3, "5/40");
    EXPECT_EQ((Names{"log _WAIT_|0||0", "copy 18 3 5/40"}), owner.calls);
    EXPECT_EQ(server->Allowances().TOCopy, server->Sessions()[0]->ticks);
    EXPECT_EQ((Names{"COPY_WAIT/1"}), SentNames());
    Clear();
    board.Send("COPY_WAIT", 2, "40/40");
    EXPECT_EQ((Names{"error 18 2 40/40", "copy 18 2 40/40"}), owner.calls);
    EXPECT_EQ((Names{"COPY_WAIT/1"}), SentNames());
    // Progress that begins after another step announces the copy.
    board.Send("MOUNT_FLASH_OK");
    Clear();
    board.Send("COPY_WAIT", 3, "1/2");
    EXPECT_EQ((Names{"status #2010", "log 10.0.0.5|82||0", "log _WAIT_|0||0", "copy 18 3 1/2"}), owner.calls);
    // A copy that fails at once is no copy beginning.
    board.Send("MOUNT_FLASH_OK");
    Clear();
    board.Send("COPY_WAIT", 2, "0/2");
    EXPECT_EQ((Names{"error 18 2 0/2", "copy 18 2 0/2"}), owner.calls);
}

TEST_F(Dialogue, AliveShowsItsStatusTextOncePerStatus)
{
    Start();
    Board board = Connect();
    Clear();
    board.Send("ALIVE", 1, "4 copying");
    board.Send("ALIVE", 1, "4 copying");
    board.Send("ALIVE", 5, "4 copying");
    board.Send("ALIVE", 5, "");
    board.Send("ALIVE", 6, "not a number");
    board.Send("ALIVE", 7, "99999999999999999999");
    EXPECT_EQ((Names{"status text#3104", "log text#3104|0||0", "log _WAIT_|0||0", "log _WAIT_|0||0",
                     "status text#3104", "log text#3104|0||0", "log _WAIT_|0||0", "log _WAIT_|0||0",
                     "log _WAIT_|0||0", "log _WAIT_|0||0"}),
              owner.calls);
    EXPECT_EQ(6u, sent.size());
}

TEST_F(Dialogue, CopyDoneServesTheStorageFolderOnlyForMigrations)
{
    Start();
    Board board = Connect();
    board.Send("COPY_DONE");
    EXPECT_EQ(0, std::count(owner.calls.begin(), owner.calls.end(), "nfs"));
    owner.installationType = 2;
    board.Send("MOUNT_FLASH_OK");
    board.Send("COPY_DONE");
    EXPECT_EQ(1, std::count(owner.calls.begin(), owner.calls.end(), "nfs"));
}

TEST_F(Dialogue, DisconnectEndsTheSession)
{
    Start();
    Board board = Connect();
    Clear();
    board.Send("DISCONNECT", 1, "bye");
    EXPECT_EQ((Names{"event 27 1 bye", "log 10.0.0.5|81||0", "removed"}), owner.calls);
    EXPECT_EQ((Names{"DISCONNECT/1"}), SentNames());
    EXPECT_EQ("bye", sent[0].Decoded().text);
    EXPECT_TRUE(server->Sessions().empty());
    // Whatever the board sends now has no session.
    Clear();
    board.Send("TIME_OK");
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(owner.calls.empty());
}

TEST_F(Dialogue, RepeatedDatagramsAreDroppedAndLogged)
{
    Start();
    Board board = Connect();
    board.Send("TIME_OK");
    Clear();
    // Same name, same ta: a retransmission.
    Deliver(board.address, 6011, "TIME_OK", board.ta, board.sess, 1, "");
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ((Names{"log 10.0.0.5|89||0"}), owner.calls);
    // Same name, new ta: accepted, whatever the sess.
    Deliver(board.address, 6011, "TIME_OK", board.ta + 1, 999, 1, "");
    EXPECT_EQ((Names{"TIME_OK/1"}), SentNames());
    // New name with a foreign sess: dropped.
    Clear();
    Deliver(board.address, 6011, "FORMAT_OK", board.ta + 2, 999, 1, "");
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ((Names{"log 10.0.0.5|89||0"}), owner.calls);
}

TEST_F(Dialogue, RetransmittedConnectStartsANewSession)
{
    Start();
    Board board = Connect();
    board.Send("TIME_OK");
    Deliver(board.address, 6011, "CONNECT", 1, 77, 1, "PMR");
    Clear();
    Deliver(board.address, 6011, "CONNECT", 1, 77, 1, "PMR");
    EXPECT_EQ((Names{"removed", "log 10.0.0.5|80||0", "added", "event 1 1 PMR"}), owner.calls);
    EXPECT_EQ((Names{"CONNECT/1"}), SentNames());
    ASSERT_EQ(1u, server->Sessions().size());
}

TEST_F(Dialogue, OtherSourcesGetNoAnswer)
{
    Start();
    Deliver("10.0.0.5", 6011, "TIME_OK", 1, 1, 1, "");
    Deliver("10.0.0.5", 6010, "CONNECT", 1, 1, 1, "PMR", 2, 0);
    Deliver("10.0.0.5", 6011, "CONNECT", 1, 1, 1, "PMR", 2, 1);
    Deliver("10.0.0.5", 6011, "CONNECT", 1, 1, 1, "PMR", 3, 0);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ((Names{"log 10.0.0.5|79|v2.0 p6010.\r\n[v2.0 p6011!]|0", "log 10.0.0.5|79|v2.1 p6011.\r\n[v2.0 p6011!]|0",
                     "log 10.0.0.5|79|v3.0 p6011.\r\n[v2.0 p6011!]|0"}),
              owner.calls);
    Deliver("10.0.0.5", 6011, "CONNECT", 1, 1, 1, "PMR", 1, 4294967295u);
    EXPECT_EQ((Names{"CONNECT/1"}), SentNames());
}

TEST_F(Dialogue, FailedReadsAndSendsAreSystemErrors)
{
    Start();
    incoming.push_back({{}, "", 0, 10040});
    server->OnReceive(0);
    EXPECT_EQ((Names{"syserr 10040 "}), owner.calls);
    Board board = Connect();
    Clear();
    socket->sendError = 10065;
    board.Send("TIME_OK");
    EXPECT_EQ((Names{"syserr 10065 10.0.0.5:6011", "log _WAIT_|0||0"}), owner.calls);
    EXPECT_EQ(1u, server->Sessions().size());
}

TEST_F(Dialogue, SessionsAreFoundByTheWholeAddress)
{
    Start();
    Board first = Connect("10.0.0.11", 1);
    Board second = Connect("10.0.0.1", 2);
    ASSERT_EQ(2u, server->Sessions().size());
    Clear();
    second.Send("TIME_OK");
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("10.0.0.1", sent[0].address);
    EXPECT_EQ(2u, sent[0].Decoded().header.sess);
    EXPECT_EQ(server->Allowances().TOConfTarget, server->Sessions()[1]->ticks);
    EXPECT_EQ(server->Allowances().TOCmd, server->Sessions()[0]->ticks);
}

TEST_F(Dialogue, AtMostTwentyOneSessions)
{
    Start();
    for (int i = 1; i <= 21; ++i) Connect("10.1.0." + std::to_string(i), i);
    ASSERT_EQ(21u, server->Sessions().size());
    Clear();
    Connect("10.1.0.22", 22);
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(owner.calls.empty());
    Board{this, "10.1.0.3", 3}.Send("DISCONNECT");
    Connect("10.1.0.22", 22);
    EXPECT_EQ(21u, server->Sessions().size());
    EXPECT_EQ("10.1.0.22", server->Sessions().back()->peer);
}

TEST_F(Dialogue, SilentBoardsAreDroppedWhenTheirAllowanceRunsOut)
{
    Start();
    Board board = Connect();
    board.Send("TIME_OK", 1, "t");
    Clear();
    Tick(119);
    EXPECT_TRUE(sent.empty());
    Tick(1);
    EXPECT_EQ((Names{"TIME_OK/2", "DISCONNECT/2"}), SentNames());
    EXPECT_EQ("t", sent[1].Decoded().text);
    EXPECT_EQ((Names{"log 10.0.0.5|78||0", "log 10.0.0.5|76||0", "removed"}), owner.calls);
    EXPECT_TRUE(server->Sessions().empty());

    board = Connect();
    board.Send("ALIVE", 1, "1");
    Clear();
    Tick(99);
    EXPECT_TRUE(sent.empty());
    Tick(1);
    EXPECT_EQ((Names{"ALIVE/2", "DISCONNECT/2"}), SentNames());
}

TEST_F(Dialogue, TimeoutsCanBeSwitchedOff)
{
    settings.ints["Config/UseTimeouts"] = 0;
    settings.ints["Timeouts/TOCmd"] = 1;
    Start();
    Connect();
    Tick(5);
    EXPECT_EQ(1u, server->Sessions().size());
}

TEST_F(Dialogue, AnUnknownNameLeavesTheLastNameForTheTimeoutAnswer)
{
    settings.ints["Timeouts/TOCmd"] = 2;
    Start();
    Board board = Connect();
    Clear();
    board.Send("SERVER");
    EXPECT_TRUE(sent.empty());
    board.Send("FORMAT_HD_OK");
    Clear();
    board.Send("NO_SUCH_STEP");
    EXPECT_TRUE(sent.empty());
    Tick(2);
    EXPECT_EQ((Names{"FORMAT_HD_OK/2", "DISCONNECT/2"}), SentNames());
}

TEST_F(Dialogue, SeedsTheTimeoutsProfileSection)
{
    settings.ints["Timeouts/TOCopy"] = 65535;
    settings.ints["Timeouts/TOFormat"] = 7;
    Start();
    EXPECT_EQ((std::vector<std::string>{"Timeouts/TOCmd=1000", "Timeouts/TOConfTarget=120", "Timeouts/TOAliveX=100",
                                        "Timeouts/TOCopy=200", "Timeouts/WStartServices=30000",
                                        "Timeouts/TOConfBoot=200", "Timeouts/TOSignVerify=10000"}),
              settings.writes);
    const CServerSocket::StepAllowances &a = server->Allowances();
    EXPECT_EQ(1000, a.TOCmd);
    EXPECT_EQ(120, a.TOConfTarget);
    EXPECT_EQ(7, a.TOFormat);
    EXPECT_EQ(100, a.TOAliveX);
    EXPECT_EQ(200, a.TOCopy);
    EXPECT_EQ(200, a.TOConfBoot);
    EXPECT_EQ(10000, a.TOSignVerify);
    EXPECT_TRUE(server->UseTimeouts());
}

TEST_F(Dialogue, ASessionEndedInsideAHandlerGetsNoFurtherAnswer)
{
    Start();
    Board board = Connect();
    // A modal box during the error report lets the board's DISCONNECT through.
    owner.reentry["error"] = [&] { board.Send("DISCONNECT", 1, "gone"); };
    Clear();
    board.Send("FORMAT_ERR", 1, "3 bad");
    EXPECT_EQ((Names{"DISCONNECT/1"}), SentNames());
    EXPECT_TRUE(server->Sessions().empty());

    // A timer tick inside the save progress drops the session before its answer.
    settings.ints["Timeouts/TOCmd"] = 1;
    server.reset();
    Start();
    board = Connect();
    owner.reentry["save"] = [&] { server->OnTick(); };
    Clear();
    board.Send("SAVE_IA_START");
    EXPECT_EQ((Names{"SAVE_IA_START/2", "DISCONNECT/2"}), SentNames());
}

TEST_F(Dialogue, ClosingEndsEverySession)
{
    Start();
    Connect("10.0.0.5", 1);
    Connect("10.0.0.6", 2);
    Clear();
    server.reset();
    EXPECT_EQ((Names{"DISCONNECT/1", "DISCONNECT/1"}), SentNames());
    EXPECT_EQ("10.0.0.6", sent[1].address);
}

}  // namespace
