// Tavi.exe itself on the wire: the program, started as the technician starts it, answers a simulated board
// on UDP 6010 through its view's socket. Runs inside wine-netns.sh, which gives it a network namespace, a
// Wine prefix copy and a wineserver of its own and names the Wine loader in $WINE.
//
//   tavi_wire_test TAVI_EXE PROBE_EXE [gtest options]
#include "BoardSim.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const char *g_taviExe = nullptr;
const char *g_probeExe = nullptr;
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
        // The next case's program must not find this one's window (it would step aside for it) nor its port:
        // the namespace's wineserver ends with every process and window of this case.
        if (const char *server = std::getenv("WINESERVER"))
            std::system((std::string("\"") + server + "\" -k >/dev/null 2>&1").c_str());
    }
    bool Running() const { return waitpid(pid_, nullptr, WNOHANG) == 0; }

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

// What the window probe prints for one command, line ends and all.
std::string Probe(const std::string &arguments)
{
    const std::string command = std::string("\"") + std::getenv("WINE") + "\" \"" + g_probeExe + "\" " + arguments + " 2>/dev/null";
    std::string out;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
        pclose(pipe);
    }
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
    return out;
}

// The board's next answer of the given name and ta, skipping the others.
std::optional<boardsim::Answer> AnswerTo(boardsim::Board &board, const char *name, std::uint32_t ta)
{
    for (std::optional<boardsim::Answer> a; (a = board.Receive(60s));)
        if (a->message.name == name && a->message.ta == ta) return a;
    return std::nullopt;
}

// Repeats a CONNECT until the program, once its splash has gone, answers it.
std::optional<boardsim::Answer> Connect(boardsim::Board &board, std::uint32_t sess, const std::string &text)
{
    std::optional<boardsim::Answer> answer;
    for (int i = 0; i < 60 && !answer; ++i) {
        board.Send(Msg("CONNECT", 1, sess, text));
        answer = board.Receive(1s);
    }
    board.ReceiveUntilQuiet(300ms);
    return answer;
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
    std::optional<boardsim::Answer> connected = Connect(board, 42, "PMR 8.0 R30");
    ASSERT_TRUE(connected) << "no answer from Tavi.exe on port 6010";
    EXPECT_EQ("CONNECT", connected->message.name);
    EXPECT_EQ(1u, connected->message.stat);
    EXPECT_EQ(std::string("export CPFLASH_SERVER_IP=") + kPcAddress +
                  "\nexport CPFLASH_CLIENT_SESSION=42\nexport CPFLASH_CLIENT_SCRIPT=cpflash.client\n",
              connected->message.text);

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

TEST(TaviWire, RefusedBoardsOpenOneBoxAtATimeAndTheProgramGoesOnAnswering)
{
    ASSERT_EQ(0, Reg({"/v IpAddress /t REG_SZ /d", kPcAddress}));
    ASSERT_EQ(0, Reg({"/v ManageTaviAccount /t REG_DWORD /d 0"}));
    Tavi tavi;
    boardsim::Board board;
    ASSERT_TRUE(Connect(board, 1, "unknown board")) << "no answer from Tavi.exe on port 6010";
    // Each refusal is answered before its message box would open: the next one goes when it is handled.
    for (std::uint32_t ta = 2; ta < 500; ++ta) {
        board.Send(Msg("CONNECT", ta, ta, "unknown board"));
        ASSERT_TRUE(AnswerTo(board, "DISCONNECT", ta)) << "refusal " << ta << "; running " << tavi.Running();
    }
    EXPECT_EQ("1\n", Probe("boxes"));
    Probe("answer 1");
    ASSERT_TRUE(tavi.Running());
    board.Send(Msg("CONNECT", 1000, 7, "PMR 8.0 R30"));
    std::optional<boardsim::Answer> accepted = AnswerTo(board, "CONNECT", 1000);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(1u, accepted->message.stat);
}

TEST(TaviWire, AFloodOfLinesOnTheInstallPageKeepsItsLogShortAndTheProgramAnswering)
{
    ASSERT_EQ(0, Reg({"/v IpAddress /t REG_SZ /d", kPcAddress}));
    ASSERT_EQ(0, Reg({"/v ManageTaviAccount /t REG_DWORD /d 0"}));
    Tavi tavi;
    boardsim::Board board;
    ASSERT_TRUE(Connect(board, 42, "PMR 8.0 R30"));
    ASSERT_EQ("", Probe("activate 5"));
    // Datagrams from a port other than the board's are refused, each with a log line naming its version.
    const int peer = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in loader{};
    loader.sin_family = AF_INET;
    loader.sin_port = htons(boardsim::kLoaderPort);
    loader.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    constexpr int kLines = 10000, kBatch = 100;
    for (int line = 0; line < kLines; line += kBatch) {
        for (int i = line; i < line + kBatch; ++i) {
            boardsim::Message m = Msg("ALIVE", 1, 42);
            m.vminor = static_cast<std::uint32_t>(i);
            const std::vector<std::uint8_t> bytes = boardsim::Encode(m);
            sendto(peer, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&loader), sizeof loader);
        }
        // The board's own step is answered once every line before it is in the log.
        const std::uint32_t ta = 2 + static_cast<std::uint32_t>(line / kBatch);
        board.Send(Msg("ALIVE", ta, 42));
        ASSERT_TRUE(AnswerTo(board, "ALIVE", ta)) << "no answer after " << line + kBatch << " lines";
    }
    close(peer);
    // The box takes the lines once the program has nothing else to do.
    const std::string last = "v2." + std::to_string(kLines - 1) + " p";
    std::string log;
    for (const auto start = std::chrono::steady_clock::now();
         log.find(last) == std::string::npos && std::chrono::steady_clock::now() - start < 60s;)
        log = Probe("text 1038");
    EXPECT_LT(log.size(), 32u * 1024) << "the log box keeps only its newest lines";
    EXPECT_EQ(std::string::npos, log.find("v2.1 p")) << "the oldest lines are gone";
    // The newest lines are there, in their order.
    size_t at = 0;
    for (int i = kLines - 50; i < kLines && at != std::string::npos; ++i)
        at = log.find("v2." + std::to_string(i) + " p", at);
    EXPECT_NE(std::string::npos, at) << log.substr(log.size() - std::min<size_t>(log.size(), 2000));
    EXPECT_TRUE(tavi.Running());
}

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 3 || std::getenv("WINE") == nullptr) {
        std::fprintf(stderr, "usage: wine-netns.sh WIN_BUILD tavi_wire_test TAVI_EXE PROBE_EXE\n");
        return 2;
    }
    g_taviExe = argv[1];
    g_probeExe = argv[2];
    return RUN_ALL_TESTS();
}
