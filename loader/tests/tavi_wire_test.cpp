// Tavi.exe itself on the wire: the program, started as the technician starts it, answers a simulated board
// on UDP 6010 through its view's socket. Runs inside wine-netns.sh, which gives it a network namespace, a
// Wine prefix copy and a wineserver of its own and names the Wine loader in $WINE.
//
//   tavi_wire_test TAVI_EXE [gtest options]
#include "BoardSim.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const char *g_taviExe = nullptr;
constexpr const char *kPcAddress = "192.168.77.1";
constexpr const char *kConfigKey = "HKCU\\Software\\QelTools\\Tavi400_R30.1\\Tavi\\Config";

int Reg(const std::vector<std::string> &arguments)
{
    std::string command = std::string("\"") + std::getenv("WINE") + "\" reg add \"" + kConfigKey + "\" /f";
    for (const std::string &a : arguments) command += " " + a;
    return std::system((command + " >/dev/null 2>&1").c_str());
}

// Tavi.exe under Wine for one test, ended with its wineserver's other processes at the end of the run.
class Tavi {
public:
    Tavi()
    {
        pid_ = fork();
        if (pid_ == 0) {
            const char *wine = std::getenv("WINE");
            execl(wine, wine, g_taviExe, static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~Tavi()
    {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }

private:
    pid_t pid_ = -1;
};

boardsim::Message Msg(const char *name, std::uint32_t ta, std::uint32_t sess, const std::string &text = "")
{
    boardsim::Message m;
    m.name = name;
    m.ta = ta;
    m.sess = sess;
    m.text = text;
    return m;
}

std::string Describe(const std::vector<boardsim::Answer> &answers)
{
    std::string all;
    for (const boardsim::Answer &a : answers) all += boardsim::Describe(a) + "\n";
    return all;
}

}  // namespace

TEST(TaviWire, TheProgramAnswersABoardFromConnectToDisconnect)
{
    ASSERT_EQ(0, Reg({"/v IpAddress /t REG_SZ /d", kPcAddress}));
    ASSERT_EQ(0, Reg({"/v ManageTaviAccount /t REG_DWORD /d 0"}));
    Tavi tavi;
    boardsim::Board board;
    // The program binds its port once its splash has gone: the board repeats its CONNECT until answered.
    std::optional<boardsim::Answer> connected;
    for (int i = 0; i < 60 && !connected; ++i) {
        board.Send(Msg("CONNECT", 1, 42, "PMR 8.0 R30"));
        connected = board.Receive(1s);
    }
    ASSERT_TRUE(connected) << "no answer from Tavi.exe on port 6010";
    EXPECT_EQ("CONNECT", connected->message.name);
    EXPECT_EQ(1u, connected->message.stat);
    EXPECT_EQ(std::string("export CPFLASH_SERVER_IP=") + kPcAddress +
                  "\nexport CPFLASH_CLIENT_SESSION=42\nexport CPFLASH_CLIENT_SCRIPT=cpflash.client\n",
              connected->message.text);
    board.ReceiveUntilQuiet(300ms);

    board.Send(Msg("ALIVE", 2, 42, "1 starting"));
    std::optional<boardsim::Answer> alive = board.Receive(5s);
    ASSERT_TRUE(alive);
    EXPECT_EQ("ALIVE", alive->message.name);
    EXPECT_EQ(1u, alive->message.stat);

    // The page's disconnect handling stops the servers first; then the session ends with its own word.
    board.Send(Msg("DISCONNECT", 3, 42, "bye"));
    std::vector<boardsim::Answer> answers;
    if (std::optional<boardsim::Answer> first = board.Receive(10s)) answers.push_back(*first);
    for (const boardsim::Answer &a : board.ReceiveUntilQuiet(700ms)) answers.push_back(a);
    ASSERT_EQ(1u, answers.size()) << Describe(answers);
    EXPECT_EQ("DISCONNECT", answers[0].message.name);
    EXPECT_EQ(1u, answers[0].message.stat);
    EXPECT_EQ(3u, answers[0].message.ta);

    // The session is gone: a later step of the same board gets no answer.
    board.Send(Msg("TIME_OK", 4, 42));
    EXPECT_TRUE(board.ReceiveUntilQuiet(700ms).empty());

    // A configured address that is more than one word never reaches the board's export lines: that
    // CONNECT goes unanswered, so the first answer the board hears is the one to its next CONNECT, made
    // once the address is plain again.
    ASSERT_EQ(0, Reg({"/v IpAddress /t REG_SZ /d", "'1.2.3.4;reboot;$(id)'"}));
    board.Send(Msg("CONNECT", 5, 43, "PMR 8.0 R30"));
    EXPECT_FALSE(board.Receive(3s)) << "answered with a lying address";
    ASSERT_EQ(0, Reg({"/v IpAddress /t REG_SZ /d", kPcAddress}));
    board.Send(Msg("CONNECT", 6, 44, "PMR 8.0 R30"));
    const std::optional<boardsim::Answer> again = board.Receive(30s);
    ASSERT_TRUE(again);
    EXPECT_EQ(std::string("export CPFLASH_SERVER_IP=") + kPcAddress +
                  "\nexport CPFLASH_CLIENT_SESSION=44\nexport CPFLASH_CLIENT_SCRIPT=cpflash.client\n",
              again->message.text);
}

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2 || std::getenv("WINE") == nullptr) {
        std::fprintf(stderr, "usage: wine-netns.sh WIN_BUILD tavi_wire_test TAVI_EXE\n");
        return 2;
    }
    g_taviExe = argv[1];
    return RUN_ALL_TESTS();
}
