// The loader's board dialogue on the wire: the real socket layer runs under Wine in a small host
// (dialogue_test_host.exe) on port 6010, and boards simulated here speak to it from port 6011 over
// loopback. Runs inside wine-netns.sh, which gives it a network namespace and a wineserver of its own
// and names the Wine loader in $WINE.
//
//   dialogue_wire_test HOST_EXE [gtest options]
#include "BoardSim.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

const char *g_hostExe = nullptr;
constexpr auto kAnswerLimit = 5s;
constexpr auto kQuiet = 700ms;
constexpr const char *kPcAddress = "192.168.77.1";

// The loader's dialogue host under Wine, for one test.
class Loader {
public:
    explicit Loader(std::vector<std::string> options)
    {
        char pattern[] = "/tmp/dialogue-wire.XXXXXX";
        dir_ = mkdtemp(pattern);
        events_ = dir_ + "/events";
        options.insert(options.begin(), {"--set-text", std::string("Config/IpAddress=") + kPcAddress});
        const char *wine = std::getenv("WINE");
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<std::string> args = {wine, g_hostExe, "Z:" + events_};
            args.insert(args.end(), options.begin(), options.end());
            std::vector<char *> argv;
            for (std::string &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(wine, argv.data());
            _exit(127);
        }
        for (int i = 0; i < 600 && !Ready(); ++i) std::this_thread::sleep_for(50ms);
    }

    ~Loader()
    {
        std::ofstream(events_ + ".stop").put('\n');
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 200 && !ended; ++i) {
            ended = waitpid(pid_, &status, WNOHANG) == pid_;
            if (!ended) std::this_thread::sleep_for(50ms);
        }
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        std::string cleanup = "rm -rf '" + dir_ + "'";
        if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
    }

    bool Ready() const { return Events().find("ready") != std::string::npos; }

    std::string Events() const
    {
        std::ifstream in(events_);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    // The host may write a line just after its answer left: wait for it a while.
    bool Has(const std::string &line) const
    {
        for (int i = 0; i < 600; ++i) {
            if (Events().find(line) != std::string::npos) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

private:
    std::string dir_, events_;
    pid_t pid_ = -1;
};

boardsim::Message Msg(const char *name, std::uint32_t ta, std::uint32_t sess, const std::string &text = "",
                      std::uint32_t stat = 1)
{
    boardsim::Message m;
    m.name = name;
    m.ta = ta;
    m.sess = sess;
    m.stat = stat;
    m.text = text;
    return m;
}

// The bytes the loader must send: name padded to 32, ta, sess, reserved 0, stat, version 2.0, text, NUL.
Bytes Expected(const char *name, std::uint32_t ta, std::uint32_t sess, std::uint32_t stat, const std::string &text)
{
    Bytes out(32, 0);
    std::memcpy(out.data(), name, std::strlen(name));
    for (std::uint32_t v : {ta, sess, 0u, stat, 2u, 0u})
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
    return out;
}

// The answers to what was just sent: the first may take a while on a loaded machine, the rest follow it.
std::vector<Bytes> Answers(boardsim::Board &board)
{
    std::vector<Bytes> all;
    std::optional<boardsim::Answer> first = board.Receive(kAnswerLimit);
    if (!first) return all;
    all.push_back(first->bytes);
    for (const boardsim::Answer &a : board.ReceiveUntilQuiet(kQuiet)) all.push_back(a.bytes);
    return all;
}

bool NoAnswer(boardsim::Board &board)
{
    return board.ReceiveUntilQuiet(kQuiet).empty();
}

Bytes Answer(boardsim::Board &board)
{
    std::optional<boardsim::Answer> answer = board.Receive(kAnswerLimit);
    return answer ? answer->bytes : Bytes{};
}

const std::string kConnectAnswer = std::string("export CPFLASH_SERVER_IP=") + kPcAddress +
                                   "\nexport CPFLASH_CLIENT_SESSION=4660\nexport CPFLASH_CLIENT_SCRIPT=cpflash.client\n";

TEST(DialogueWire, AcceptsAConnectAndAnswersEachStep)
{
    Loader loader({});
    ASSERT_TRUE(loader.Ready());
    boardsim::Board board;
    board.Send(Msg("CONNECT", 5, 0x1234, "PMR 4.0 R30"));
    EXPECT_EQ(Expected("CONNECT", 5, 0x1234, 1, kConnectAnswer), Answer(board));
    board.Send(Msg("TIME_OK", 6, 0x1234, "clock set"));
    EXPECT_EQ(Expected("TIME_OK", 6, 0x1234, 1, "clock set"), Answer(board));
    board.Send(Msg("FORMAT_ERR", 7, 0x1234, "12 no flash"));
    EXPECT_EQ(Expected("FORMAT_ERR", 7, 0x1234, 1, "12 no flash"), Answer(board));
    board.Send(Msg("COPY_WAIT", 8, 0x1234, "3/9", 3));
    EXPECT_EQ(Expected("COPY_WAIT", 8, 0x1234, 1, "3/9"), Answer(board));
    EXPECT_TRUE(loader.Has("log 127.0.0.1|80||0"));
    EXPECT_TRUE(loader.Has("error 11 1 12 no flash"));
    EXPECT_TRUE(loader.Has("copy 18 3 3/9"));
}

TEST(DialogueWire, RefusesAConnectOfAnUnknownRelease)
{
    Loader loader({});
    ASSERT_TRUE(loader.Ready());
    boardsim::Board board;
    board.Send(Msg("CONNECT", 1, 9, "XYZ 1.0"));
    EXPECT_EQ((std::vector<Bytes>{Expected("CONNECT", 1, 9, 2, "XYZ 1.0"), Expected("DISCONNECT", 1, 9, 2, "XYZ 1.0")}),
              Answers(board));
    board.Send(Msg("TIME_OK", 2, 9));
    EXPECT_TRUE(NoAnswer(board));
}

TEST(DialogueWire, AnswersOnlyTheBoardPortAndKnownVersions)
{
    Loader loader({});
    ASSERT_TRUE(loader.Ready());
    {
        boardsim::Board wrongPort("127.0.0.1", 6012);
        wrongPort.Send(Msg("CONNECT", 1, 1, "PMR"));
        EXPECT_TRUE(NoAnswer(wrongPort));
    }
    boardsim::Board board;
    for (auto version : {std::pair<std::uint32_t, std::uint32_t>{2, 1}, {3, 0}}) {
        boardsim::Message m = Msg("CONNECT", 1, 1, "PMR");
        m.vmajor = version.first;
        m.vminor = version.second;
        board.Send(m);
        EXPECT_TRUE(NoAnswer(board));
    }
    EXPECT_TRUE(loader.Has("log 127.0.0.1|79|v2.0 p6012."));
    EXPECT_TRUE(loader.Has("log 127.0.0.1|79|v2.1 p6011."));
    boardsim::Message old = Msg("CONNECT", 1, 1, "PMR");
    old.vmajor = 1;
    old.vminor = 4294967295u;
    board.Send(old);
    ASSERT_EQ(1u, Answers(board).size());
}

TEST(DialogueWire, DropsRepeatedDatagramsByTa)
{
    Loader loader({});
    ASSERT_TRUE(loader.Ready());
    boardsim::Board board;
    board.Send(Msg("CONNECT", 1, 3, "ONE"));
    board.Send(Msg("MOUNT_SERVER_OK", 2, 3));
    EXPECT_EQ(2u, Answers(board).size());
    board.Send(Msg("MOUNT_SERVER_OK", 2, 3));
    EXPECT_TRUE(NoAnswer(board));
    EXPECT_TRUE(loader.Has("log 127.0.0.1|89||0"));
    board.Send(Msg("MOUNT_SERVER_OK", 3, 3));
    EXPECT_EQ((std::vector<Bytes>{Expected("MOUNT_SERVER_OK", 3, 3, 1, "")}), Answers(board));
}

TEST(DialogueWire, DropsABoardThatMissesItsStepAllowance)
{
    Loader loader({"--tick-ms", "100", "--set", "Timeouts/TOConfTarget=3"});
    ASSERT_TRUE(loader.Ready());
    EXPECT_TRUE(loader.Has("allowances 1000 100 200 200 3 200 10000 timeouts 1"));
    boardsim::Board board;
    board.Send(Msg("CONNECT", 1, 4, "RCE"));
    ASSERT_FALSE(Answer(board).empty());
    board.Send(Msg("TIME_OK", 2, 4, "t"));
    EXPECT_EQ(Expected("TIME_OK", 2, 4, 1, "t"), Answer(board));
    EXPECT_EQ(Expected("TIME_OK", 2, 4, 2, "t"), Answer(board));
    EXPECT_EQ(Expected("DISCONNECT", 2, 4, 2, "t"), Answer(board));
    EXPECT_TRUE(loader.Has("log 127.0.0.1|78||0"));
}

TEST(DialogueWire, KeepsSilentBoardsWhenTimeoutsAreOff)
{
    Loader loader({"--tick-ms", "50", "--set", "Timeouts/TOCmd=1", "--set", "Config/UseTimeouts=0"});
    ASSERT_TRUE(loader.Ready());
    boardsim::Board board;
    board.Send(Msg("CONNECT", 1, 4, "RCE"));
    ASSERT_FALSE(Answer(board).empty());
    // Twenty ticks and more go by without an answer.
    EXPECT_TRUE(board.ReceiveUntilQuiet(1500ms).empty());
}

TEST(DialogueWire, SeedsTheTimeoutsAtStart)
{
    Loader loader({"--set", "Timeouts/TOCopy=65535", "--set", "Timeouts/TOFormat=7"});
    ASSERT_TRUE(loader.Ready());
    EXPECT_TRUE(loader.Has("allowances 1000 100 200 200 120 7 10000 timeouts 1")) << loader.Events();
}

TEST(DialogueWire, DisconnectEndsTheConversation)
{
    Loader loader({});
    ASSERT_TRUE(loader.Ready());
    boardsim::Board board;
    board.Send(Msg("CONNECT", 1, 5, "PMR"));
    ASSERT_FALSE(Answer(board).empty());
    board.Send(Msg("DISCONNECT", 2, 5, "done"));
    EXPECT_EQ((std::vector<Bytes>{Expected("DISCONNECT", 2, 5, 1, "done")}), Answers(board));
    board.Send(Msg("TIME_OK", 3, 5));
    EXPECT_TRUE(NoAnswer(board));
    EXPECT_TRUE(loader.Has("event 27 1 done"));
}

TEST(DialogueWire, ServesAtMostTwentyOneBoards)
{
    Loader loader({});
    ASSERT_TRUE(loader.Ready());
    std::vector<std::unique_ptr<boardsim::Board>> boards;
    for (int i = 0; i < 22; ++i) {
        boards.push_back(std::make_unique<boardsim::Board>("127.0.0." + std::to_string(i + 2)));
        boards.back()->Send(Msg("CONNECT", 1, 100 + i, "PMR"));
    }
    for (int i = 0; i < 21; ++i) EXPECT_FALSE(Answer(*boards[i]).empty()) << i;
    EXPECT_TRUE(NoAnswer(*boards[21]));
    // A board that leaves makes room.
    boards[0]->Send(Msg("DISCONNECT", 2, 100));
    ASSERT_FALSE(Answer(*boards[0]).empty());
    boards[21]->Send(Msg("CONNECT", 2, 121, "PMR"));
    EXPECT_FALSE(Answer(*boards[21]).empty());
}

TEST(DialogueWire, BoundsOversizedAndUnterminatedDatagrams)
{
    Loader loader({});
    ASSERT_TRUE(loader.Ready());
    boardsim::Board board;
    board.Send(Msg("CONNECT", 1, 6, "PMR"));
    ASSERT_FALSE(Answer(board).empty());

    board.SendBytes(boardsim::EncodeSized(Msg("TIME_OK", 2, 6), 600));
    EXPECT_TRUE(NoAnswer(board));
    EXPECT_TRUE(loader.Has("syserr 10040 "));

    board.SendBytes(boardsim::EncodeSized(Msg("ALIVE", 3, 6), 512));
    EXPECT_EQ(Expected("ALIVE", 3, 6, 1, std::string(456, 'x')), Answer(board));

    Bytes unnamed = boardsim::Encode(Msg("MOUNT_SERVER_OK", 4, 6));
    std::memset(unnamed.data(), 'M', 32);
    board.SendBytes(unnamed);
    EXPECT_TRUE(NoAnswer(board));
}

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2 || std::getenv("WINE") == nullptr) {
        std::fprintf(stderr, "usage: wine-netns.sh WIN_BUILD dialogue_wire_test HOST_EXE\n");
        return 2;
    }
    g_hostExe = argv[1];
    return RUN_ALL_TESTS();
}
