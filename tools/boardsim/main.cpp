// boardsim: the board's side of the loader's UDP dialogue, from the command line.
#include "BoardSim.h"
#include "Installation.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <optional>
#include <utility>
#include <vector>

namespace {

const char kUsage[] =
    "usage: boardsim [--board ADDR[:PORT]] [--loader ADDR[:PORT]] [--wait MS] [--first MS] MESSAGE...\n"
    "       boardsim bench [--boards N] [--rounds N] [--loader ADDR]\n"
    "       boardsim install --boot-folder DIR --bootp-database FILE [--bootp-ready FILE] [--mac MAC]\n"
    "                        [--boot-list NAME] [--release TEXT] [--verify DIR] [--pause MS] [--wait MS]\n"
    "                        [--phases FILE]\n"
    "Sends each MESSAGE from the board's ADDR:6011 (default 127.0.0.1) to the loader's ADDR:6010 and\n"
    "prints every answer that arrives within MS milliseconds (default 1000) of the one before; with\n"
    "--first, the first answer to each message is waited for up to its MS. A MESSAGE is a name and\n"
    "its fields:\n"
    "  NAME [--ta N] [--sess N] [--stat N] [--version M.m] [--text TEXT] [--size BYTES]\n"
    "ta counts up from the previous message's, sess and version stay, stat is 1; --size pads the\n"
    "datagram with 'x' (no terminating NUL) or cuts it to BYTES.\n"
    "bench: N boards (default 21, from 127.0.0.2 on) run a whole installation ROUNDS times (default 5)\n"
    "at once and print the answer round trips and the datagrams per second the loader sustained.\n"
    "install: the board of a whole installation: its address from the BOOTP database entry of MAC (once\n"
    "FILE says \"window BOOTP Desktop\"), the boot list, boot files and target file from the boot folder,\n"
    "the delivery mounted over NFS from the target file's MP1 and read whole (and compared with DIR), each\n"
    "step reported to the loader until DISCONNECT. Prints the steps and a line \"PHASES ...\" of timings (to FILE);\n"
    "exits 1 naming the step that failed.\n";

struct Planned {
    boardsim::Message message;
    long size = -1;
};

unsigned long Number(const char *text)
{
    char *end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0') throw std::invalid_argument(std::string("not a number: ") + text);
    return value;
}

std::uint32_t Number32(const char *text)
{
    return static_cast<std::uint32_t>(Number(text));
}

// ADDR or ADDR:PORT.
std::pair<std::string, std::uint16_t> Endpoint(const std::string &text, std::uint16_t defaultPort)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return {text, defaultPort};
    const unsigned long port = Number(text.c_str() + colon + 1);
    if (port == 0 || port > 65535) throw std::invalid_argument("not a port: " + text);
    return {text.substr(0, colon), static_cast<std::uint16_t>(port)};
}

const char *Value(int argc, char **argv, int &i)
{
    if (i + 1 >= argc) throw std::invalid_argument(std::string(argv[i]) + " needs a value");
    return argv[++i];
}

int Send(int argc, char **argv)
{
    std::pair<std::string, std::uint16_t> board{"127.0.0.1", boardsim::kBoardPort};
    std::pair<std::string, std::uint16_t> loader{"127.0.0.1", boardsim::kLoaderPort};
    long waitMs = 1000, firstMs = 0;
    std::vector<Planned> plan;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--board") {
            board = Endpoint(Value(argc, argv, i), boardsim::kBoardPort);
        } else if (arg == "--loader") {
            loader = Endpoint(Value(argc, argv, i), boardsim::kLoaderPort);
        } else if (arg == "--wait") {
            waitMs = static_cast<long>(Number(Value(argc, argv, i)));
        } else if (arg == "--first") {
            firstMs = static_cast<long>(Number(Value(argc, argv, i)));
        } else if (arg.rfind("--", 0) != 0) {
            Planned next;
            if (!plan.empty()) {
                next.message = plan.back().message;
                next.message.ta += 1;
                next.message.stat = 1;
                next.message.text.clear();
            }
            next.message.name = arg;
            plan.push_back(next);
        } else if (plan.empty()) {
            throw std::invalid_argument(arg + " before a message name");
        } else {
            boardsim::Message &m = plan.back().message;
            const char *value = Value(argc, argv, i);
            if (arg == "--ta") {
                m.ta = Number32(value);
            } else if (arg == "--sess") {
                m.sess = Number32(value);
            } else if (arg == "--stat") {
                m.stat = Number32(value);
            } else if (arg == "--text") {
                m.text = value;
            } else if (arg == "--size") {
                plan.back().size = static_cast<long>(Number(value));
            } else if (arg == "--version") {
                const char *dot = std::strchr(value, '.');
                if (dot == nullptr) throw std::invalid_argument(std::string("version M.m: ") + value);
                m.vmajor = Number32(std::string(value, dot).c_str());
                m.vminor = Number32(dot + 1);
            } else {
                throw std::invalid_argument("unknown option " + arg);
            }
        }
    }
    if (plan.empty()) throw std::invalid_argument("no message to send");

    boardsim::Board sim(board.first, board.second, loader.first, loader.second);
    for (const Planned &p : plan) {
        std::vector<std::uint8_t> bytes = p.size < 0 ? boardsim::Encode(p.message)
                                                     : boardsim::EncodeSized(p.message, static_cast<std::size_t>(p.size));
        std::printf("-> %s ta=%u sess=%u stat=%u bytes=%zu\n", p.message.name.c_str(), p.message.ta, p.message.sess,
                    p.message.stat, bytes.size());
        if (!sim.SendBytes(bytes)) std::printf("!! send failed\n");
        if (firstMs > 0)
            if (std::optional<boardsim::Answer> first = sim.Receive(std::chrono::milliseconds(firstMs)))
                std::printf("%s\n", boardsim::Describe(*first).c_str());
        for (const boardsim::Answer &answer : sim.ReceiveUntilQuiet(std::chrono::milliseconds(waitMs)))
            std::printf("%s\n", boardsim::Describe(answer).c_str());
        std::fflush(stdout);
    }
    return 0;
}

// The steps of one installation, as the board reports them.
std::vector<boardsim::Message> Installation(std::uint32_t sess)
{
    std::vector<boardsim::Message> steps;
    auto add = [&](const char *name, std::uint32_t stat, const std::string &text) {
        boardsim::Message m;
        m.name = name;
        m.sess = sess;
        m.stat = stat;
        m.text = text;
        steps.push_back(m);
    };
    add("CONNECT", 1, "PMR bench board");
    for (const char *name : {"MOUNT_SERVER_OK", "TIME_OK", "FLASH_DRV_OK", "FORMAT_OK", "EMOUNT_FLASH_OK",
                             "MOUNT_FLASH_OK", "EXPORT_FLASH_OK"})
        add(name, 1, "");
    constexpr int kCopySteps = 20;
    add("COPY_WAIT", 1, "0/" + std::to_string(kCopySteps));
    for (int i = 1; i <= kCopySteps; ++i) add("COPY_WAIT", 3, std::to_string(i) + "/" + std::to_string(kCopySteps));
    for (const char *name : {"COPY_DONE", "UNEXPORT_FLASH_OK", "EUMOUNT_FLASH_OK", "UMOUNT_FLASH_OK", "BOOT_FLASH_OK",
                             "SW_SIGN_OK", "UMOUNT_SERVER_OK", "DISCONNECT"})
        add(name, 1, "");
    return steps;
}

int Bench(int argc, char **argv)
{
    unsigned long boards = 21, rounds = 5;
    std::string loader = "127.0.0.1";
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--boards")
            boards = Number(Value(argc, argv, i));
        else if (arg == "--rounds")
            rounds = Number(Value(argc, argv, i));
        else if (arg == "--loader")
            loader = Value(argc, argv, i);
        else
            throw std::invalid_argument("unknown option " + arg);
    }
    if (boards < 1 || boards > 200) throw std::invalid_argument("--boards: 1 to 200");

    std::vector<std::vector<long>> trips(boards);
    std::atomic<unsigned long> lost{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (unsigned long b = 0; b < boards; ++b) {
        threads.emplace_back([&, b] {
            std::unique_ptr<boardsim::Board> board;
            try {
                board = std::make_unique<boardsim::Board>("127.0.0." + std::to_string(b + 2), boardsim::kBoardPort,
                                                          loader);
            } catch (const std::exception &e) {
                std::fprintf(stderr, "%s\n", e.what());
                lost += rounds;
                return;
            }
            boardsim::Board &sim = *board;
            std::uint32_t ta = 0;
            for (unsigned long r = 0; r < rounds; ++r) {
                for (boardsim::Message m : Installation(static_cast<std::uint32_t>(1000 + b))) {
                    m.ta = ++ta;
                    sim.Send(m);
                    std::optional<boardsim::Answer> answer = sim.Receive(std::chrono::seconds(5));
                    if (!answer) {
                        ++lost;
                        continue;
                    }
                    trips[b].push_back(static_cast<long>(answer->roundTrip.count()));
                }
            }
        });
    }
    for (std::thread &t : threads) t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::vector<long> all;
    for (const std::vector<long> &t : trips) all.insert(all.end(), t.begin(), t.end());
    if (all.empty()) {
        std::printf("no answers from the loader at %s:%u\n", loader.c_str(), unsigned(boardsim::kLoaderPort));
        return 1;
    }
    std::sort(all.begin(), all.end());
    std::printf("boards %lu, rounds %lu, answers %zu, lost %lu\n", boards, rounds, all.size(), lost.load());
    std::printf("round trip: median %.3f ms, worst %.3f ms\n", all[all.size() / 2] / 1000.0, all.back() / 1000.0);
    std::printf("datagrams per second (in and out): %.0f\n", 2.0 * all.size() / seconds);
    return lost == 0 ? 0 : 1;
}

int Install(int argc, char **argv)
{
    boardsim::InstallOptions options;
    std::string phases;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--boot-folder")
            options.bootFolder = Value(argc, argv, i);
        else if (arg == "--bootp-database")
            options.bootpDatabase = Value(argc, argv, i);
        else if (arg == "--bootp-ready")
            options.bootpReady = Value(argc, argv, i);
        else if (arg == "--mac")
            options.macAddress = Value(argc, argv, i);
        else if (arg == "--boot-list")
            options.bootList = Value(argc, argv, i);
        else if (arg == "--release")
            options.release = Value(argc, argv, i);
        else if (arg == "--phases")
            phases = Value(argc, argv, i);
        else if (arg == "--verify")
            options.verifyFolder = Value(argc, argv, i);
        else if (arg == "--pause")
            options.stepPause = std::chrono::milliseconds(Number(Value(argc, argv, i)));
        else if (arg == "--wait")
            options.bootWait = std::chrono::milliseconds(Number(Value(argc, argv, i)));
        else
            throw std::invalid_argument("unknown option " + arg);
    }
    if (options.bootFolder.empty() || options.bootpDatabase.empty())
        throw std::invalid_argument("install needs --boot-folder and --bootp-database");
    const boardsim::InstallResult result = boardsim::Install(options);
    std::FILE *out = phases.empty() ? stdout : std::fopen(phases.c_str(), "w");
    if (!out) throw std::invalid_argument("cannot write " + phases);
    std::fprintf(out, "PHASES ok=%d failed_step=\"%s\" boot_files_s=%.3f nfs_read_s=%.3f dialogue_s=%.3f files=%llu bytes=%llu\n",
                result.ok ? 1 : 0, result.failedStep.c_str(), result.bootFilesSeconds, result.nfsSeconds,
                result.dialogueSeconds, static_cast<unsigned long long>(result.filesRead),
                static_cast<unsigned long long>(result.bytesRead));
    if (out != stdout) std::fclose(out);
    return result.ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    try {
        if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
            std::fputs(kUsage, argc < 2 ? stderr : stdout);
            return argc < 2 ? 2 : 0;
        }
        if (std::strcmp(argv[1], "bench") == 0) return Bench(argc, argv);
        if (std::strcmp(argv[1], "install") == 0) return Install(argc, argv);
        return Send(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "boardsim: %s\n%s", e.what(), kUsage);
        return 2;
    }
}
