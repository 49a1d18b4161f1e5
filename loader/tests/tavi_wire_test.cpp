// Tavi.exe itself on the wire: the program, started as the technician starts it, answers a simulated board
// on UDP 6010 through its view's socket. Runs inside wine-netns.sh, which gives it a network namespace, a
// Wine prefix copy and a wineserver of its own and names the Wine loader in $WINE.
//
//   tavi_wire_test TAVI_EXE PROBE_EXE [gtest options]
#include "BoardMessage.h"
#include "BoardSim.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <optional>
#include <random>
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

// A delivery of version 800 in a folder of its own, read by the Main page: from 300 on, board errors are
// shown and stop the servers.
class Delivery {
public:
    Delivery()
    {
        char pattern[] = "/tmp/tavi-wire.XXXXXX";
        root_ = mkdtemp(pattern);
        const std::string items = root_ + "/DownloadingItems";
        for (const char *folder : {"", "/boot", "/inskrn", "/insram"}) mkdir((items + folder).c_str(), 0755);
        std::ofstream(items + "/boot/config.rc") << "PMR_R800.001 | Wire test\r\nkernel100_031_smp\r\ndasig_fr.tgz\r\n";
        std::ofstream(items + "/boot/hw_req.xml") << "<hardware><board type=\"TOLMA\"/></hardware>\n";
        std::ofstream(items + "/inskrn/vmlinuz") << "kernel image\n";
        std::ofstream(items + "/inskrn/pemrocom") << "vmlinuz;13;BIN;1046016;1046016\n";
        std::ofstream(items + "/insram/ramdisk.gz") << "ram disk\n";
    }
    ~Delivery() { std::system(("rm -rf '" + root_ + "'").c_str()); }
    // The folder as the program names it.
    std::string WindowsPath() const
    {
        std::string path;
        if (FILE *pipe = popen(("\"" + std::string(std::getenv("WINE")) + "\" winepath -w '" + root_ + "' 2>/dev/null").c_str(), "r")) {
            char buffer[512];
            while (std::fgets(buffer, sizeof buffer, pipe)) path += buffer;
            pclose(pipe);
        }
        path.erase(path.find_last_not_of("\r\n") + 1);
        return path;
    }

private:
    std::string root_;
};

// The count of fuzzed datagrams per page and the seed, from the environment: a few in the suite, many in
// a soak (TAVI_FUZZ_COUNT=10000); a failing seed runs again from its number.
unsigned FuzzSetting(const char *name, unsigned fallback)
{
    const char *value = std::getenv(name);
    return value && *value ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : fallback;
}

std::vector<std::uint8_t> FromHex(const std::string &hex)
{
    std::vector<std::uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// A MSG_ERR of 511 bytes, both version words 0x80000000, session 70, 455 bytes of random text without an end.
const std::string kCrashDatagram =
    "4d53475f45525200000000000000000000000000000000000000000000000000"
    "5a836f8b4600000003cf13d6030000000000008000000080e5563228edc6d333"
    "ec637f2139bec295cf5989f019fef4569fe996f93db2faba0309157c855845f2"
    "2e4247acb4ebc6fc43080bde5f7572052631f4ae8df8a642a0435fe19f940a61"
    "efa91b0b3723ec9208f4ecc71377215de95f5663741792eab11d0dda7916b936"
    "795e3c3fe9727da87d9fa6fdb78736e35cfcae66333f55814c21f5ed0a1dddbd"
    "0f22f865746428a0c13dba7c6e67c61df8c3485057b3a594c703d4ea9e820bb8"
    "efb413964748e9537cb1ac2fde93bccc9f847f57219729668f10fd1c17f28885"
    "d3d2b807046d8bcbe2110eb357c528050feca7a5f634237c64280a3935747c44"
    "c66ceb27a261901445870848aba3ab6d91ff86f80a37fbb208cec2ffb1badf12"
    "33dcdec71a928f3c44f99b937f4ab420b88f7433df7ac638c8ab15b7989440c8"
    "6b2715adde1864ccfcf235245c8ab7271d167ebfb353730d3e465d70ff9aa3c0"
    "0dd389e948c0a92b9402a50378fdfd1c4f19ce4fcdd691fbf87e3524f6af6ddc"
    "8b6fb0cf6c78b23443f4fa7250057652efee5dae4366a95cd138c35c3cf0d84d"
    "bf3feb62ef255f1db5f076377304f817f85fce332c46368e70e82606d305f059"
    "c8f8409a1d412c8333d5d9646c9d133a699252fd112e879e86edce36181960";

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

// The servers' stop after a DISCONNECT or a board error (a second or more each) comes after the answer,
// once for a burst: another board is answered while one board floods the loader.
TEST(TaviWire, ABurstOfDisconnectsOrErrorsFromOneBoardLeavesTheOthersAnswered)
{
    const unsigned burst = FuzzSetting("TAVI_BURST_COUNT", 100);
    ASSERT_EQ(0, Reg({"/v IpAddress /t REG_SZ /d", kPcAddress}));
    ASSERT_EQ(0, Reg({"/v ManageTaviAccount /t REG_DWORD /d 0"}));
    Delivery delivery;
    Tavi tavi;
    boardsim::Board flooding, other("127.0.0.2");
    ASSERT_TRUE(Connect(flooding, 1, "PMR 8.0 R30"));
    ASSERT_TRUE(Connect(other, 2, "PMR 8.0 R30"));
    Probe("set 1029 '" + delivery.WindowsPath() + "'");
    Probe("activate 0");
    ASSERT_EQ("", Probe("activate 5"));
    std::uint32_t ta = 10;
    // The other board's step: how long until it is answered (an hour when it never is).
    const auto otherWaits = [&other](std::uint32_t step) {
        const auto sent = std::chrono::steady_clock::now();
        other.Send(Msg("ALIVE", step, 2));
        const bool answered = AnswerTo(other, "ALIVE", step).has_value();
        return std::chrono::duration<double>(answered ? std::chrono::steady_clock::now() - sent : std::chrono::hours(1))
            .count();
    };
    for (const bool errors : {false, true}) {
        if (errors) flooding.Send(Msg("CONNECT", ++ta, 100, "PMR 8.0 R30"));
        // The flooding board keeps a window of its datagrams unanswered, as fast as the program answers
        // (more at once would only fill the socket's buffer). The other board steps in just after the first
        // datagram, when the burst's one stop of the servers is due, and once the window is full.
        constexpr size_t kWindow = 40;
        std::deque<std::uint32_t> unanswered;
        const char *answer = errors ? "FORMAT_ERR" : "DISCONNECT";
        double waited = 0;
        std::thread otherBoard;
        for (unsigned i = 0; i < burst; ++i) {
            if (i == 1 || i == kWindow + 5) {
                if (otherBoard.joinable()) otherBoard.join();
                otherBoard = std::thread([&, step = ++ta] { waited = std::max(waited, otherWaits(step)); });
            }
            if (errors) {
                flooding.Send(Msg("FORMAT_ERR", ++ta, 100, "12 Disk full"));
            } else {
                flooding.Send(Msg("CONNECT", ++ta, 100 + i, "PMR 8.0 R30"));
                flooding.Send(Msg("DISCONNECT", ++ta, 100 + i));
            }
            unanswered.push_back(ta);
            for (; unanswered.size() > kWindow || (i + 1 == burst && !unanswered.empty()); unanswered.pop_front())
                ASSERT_TRUE(AnswerTo(flooding, answer, unanswered.front())) << answer << " " << unanswered.front();
        }
        if (otherBoard.joinable()) otherBoard.join();
        std::printf("%u %s: the other board waited at most %.2f s\n", burst, errors ? "board errors" : "CONNECT+DISCONNECT pairs",
                    waited);
        // Each stop inside the handler made it wait a second per datagram before its own.
        EXPECT_LT(waited, 20.0) << answer;
        // The burst's servers stop once: the program is idle and answering again.
        EXPECT_LT(otherWaits(++ta), 20.0);
    }
    EXPECT_TRUE(tavi.Running());
}

// Whatever bytes a board sends reach each progress page as text the page can show: the program lives and
// answers through the crash datagram and random datagrams of every message name, text and version word.
TEST(TaviWire, NoBoardDatagramEndsTheProgramOnAnyProgressPage)
{
    const unsigned count = FuzzSetting("TAVI_FUZZ_COUNT", 150), seed = FuzzSetting("TAVI_FUZZ_SEED", 1);
    ASSERT_EQ(0, Reg({"/v IpAddress /t REG_SZ /d", kPcAddress}));
    ASSERT_EQ(0, Reg({"/v ManageTaviAccount /t REG_DWORD /d 0"}));
    Delivery delivery;
    Tavi tavi;
    boardsim::Board board;
    ASSERT_TRUE(Connect(board, 70, "PMR 8.0 R30"));
    Probe("set 1029 '" + delivery.WindowsPath() + "'");
    Probe("activate 0");
    std::uint32_t ta = 100;
    // The program still answers the board: a fresh conversation, one step of it.
    const auto answers = [&] {
        board.Send(Msg("CONNECT", ++ta, 70, "PMR 8.0 R30"));
        board.Send(Msg("ALIVE", ++ta, 70));
        return tavi.Running() && AnswerTo(board, "ALIVE", ta);
    };
    constexpr unsigned kBatch = 50;
    for (const int page : {2, 3, 4, 5}) {
        std::mt19937 random(seed * 8 + static_cast<unsigned>(page));
        ASSERT_EQ("", Probe("activate " + std::to_string(page)));
        board.Send(Msg("CONNECT", ++ta, 70, "PMR 8.0 R30"));
        board.SendBytes(FromHex(kCrashDatagram));
        ASSERT_TRUE(answers()) << "page " << page << ": the program ended on the crash datagram";
        for (unsigned i = 0; i < count; ++i) {
            // Each datagram goes to a conversation, whatever the one before it did to the last one.
            board.Send(Msg("CONNECT", ++ta, 70, "PMR 8.0 R30"));
            boardsim::Message m = Msg(BoardMessageNames[random() % kBoardMessageCount], ++ta, 70);
            m.stat = random() % 5;
            // Half the version words pass the acceptance rule (as signed numbers at most 2.0).
            m.vmajor = random() % 2 ? static_cast<std::uint32_t>(random()) | 0x80000000u : random() % 3;
            m.vminor = random() % 2 ? static_cast<std::uint32_t>(random()) : 0;
            m.text.resize(random() % (kMaxReceivedText + 1));
            for (char &c : m.text) c = static_cast<char>(random() % 255 + 1);
            board.SendBytes(random() % 4 ? boardsim::Encode(m) : boardsim::EncodeSized(m, kReceiveSize - 1));
            if ((i + 1) % kBatch == 0 || i + 1 == count) {
                ASSERT_TRUE(answers()) << "page " << page << ", seed " << seed << ": no answer after datagram " << i;
                // A DISCONNECT moves the telephony page on by itself: the page comes back for the next ones.
                Probe("activate " + std::to_string(page));
            }
        }
    }
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
