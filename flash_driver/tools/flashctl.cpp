// flashctl: what the board's flash tools do, over the driver loaded in user space. It puts a simulated
// board behind the driver with the chips of an image file (a new chip when the file does not exist),
// loads the module, runs the commands through the block device of major 31 and its control calls,
// unloads the module and saves the image.
#include "blockdev/flashd.h"
#include "ftl/vbf.h"
#include "hostkernel/host.h"
#include "nand/nand_chip.h"
#include "nandsim/board.h"
#include "tools/control_block.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr unsigned long kRequestSectors = 128; // sectors of one request, as the buffer cache groups them
constexpr unsigned long kSegmentSectors = 8;   // one page of the buffer cache per segment
constexpr uint32_t kDefault = VBF_DEFAULT;

const char kUsage[] =
    "usage: flashctl --image FILE [--chip ID] [--board piii|corvo] [--drive N] [--bad-blocks N] [--seed N]\n"
    "                [--log] COMMAND [ARGS] [COMMAND [ARGS] ...]\n"
    "\n"
    "The image holds the simulated board's chips; a missing image starts from a blank chip on drive 0 of\n"
    "the given device code (default 0x73, 16 MB), with N random factory-bad blocks. The image is saved at\n"
    "the end. --log prints the kernel log of the run.\n"
    "\n"
    "commands:\n"
    "  format [size=B] [start=B] [cushion=PERCENT] [spares=N] [serial=N]   format the drive (0x4632)\n"
    "  mount                            mount the drive and size the block device (0x4631)\n"
    "  status                           identification, media, partition, usage, wear, bad blocks\n"
    "  read SECTOR COUNT FILE           read sectors through the block device into FILE\n"
    "  write SECTOR FILE                write FILE (whole sectors) through the block device\n"
    "  read-image FILE                  read the whole disk into FILE\n"
    "  write-image FILE                 write FILE from sector 0\n"
    "  discard SECTOR COUNT             discard sectors (0x4637)\n"
    "  collect                          collect garbage over the whole drive (0x4638)\n"
    "  proc                             the statistics of /proc/tso_infos\n"
    "  bench MEGABYTES                  write and read through the block device; virtual-time throughput\n"
    "\n"
    "read, write, discard and bench mount the drive first when it is not mounted.\n";

struct Options {
    std::string image;
    uint8_t chip = 0x73;
    nandsim::Variant variant = nandsim::Variant::PIII;
    unsigned drive = 0;
    unsigned bad_blocks = 0;
    unsigned seed = 1;
    bool log = false;
    std::vector<std::string> words;
};

using flashtools::ControlBlock;

class Tool {
public:
    explicit Tool(const Options &options) : options_(options), dev_(MKDEV(FD_MAJOR, FD_MINOR_BASE + options.drive)) {}

    int ioctl(unsigned command, ControlBlock &block) { return hostkernel::blkdev_ioctl(dev_, command, block.pointer()); }

    bool fail(const std::string &what)
    {
        std::fprintf(stderr, "flashctl: %s\n", what.c_str());
        return false;
    }

    uint32_t client_size()
    {
        ControlBlock block;
        return ioctl(FD_IOCTL_CLIENT_SIZE, block) == 0 ? block.get<uint32_t>(CB_OUT) : 0;
    }

    bool ensure_mounted()
    {
        if (client_size() != 0)
            return true;
        return mount();
    }

    bool mount()
    {
        ControlBlock block;
        if (ioctl(FD_IOCTL_MOUNT, block) != 1)
            return fail("the drive does not mount (not formatted?)");
        std::printf("mounted: %u bytes\n", client_size());
        return true;
    }

    bool format(const std::map<std::string, uint32_t> &values)
    {
        ControlBlock block;
        auto value = [&](const char *key) {
            auto found = values.find(key);
            return found == values.end() ? kDefault : found->second;
        };
        block.set<uint32_t>(CB_START, value("start"));
        block.set<uint32_t>(CB_LENGTH, value("size"));
        block.set<uint32_t>(CB_THIRD, value("cushion"));
        block.set<uint32_t>(CB_FOURTH, value("spares"));
        block.set<uint32_t>(CB_OUT, values.count("serial") ? values.at("serial") : 1);
        if (ioctl(FD_IOCTL_FORMAT, block) != 0)
            return fail("format failed");
        std::printf("formatted: size %u, area start %u, %u spare units\n", block.get<uint32_t>(CB_LENGTH),
                    block.get<uint32_t>(CB_START), block.get<uint32_t>(CB_FOURTH));
        return true;
    }

    bool status()
    {
        ControlBlock block(64);
        if (ioctl(FD_IOCTL_IDENTIFY, block) == 0)
            std::printf("interface: 0x%04x version 0x%04x\n", block.get<uint16_t>(CB_WORD0), block.get<uint16_t>(CB_OUT));
        if (ioctl(FD_IOCTL_MEDIA_INFO, block) == 0)
            std::printf("media: type 0x%02x flags 0x%02x, %u bytes usable of a %u-byte chip, %u-byte blocks, %s pages, "
                        "id %02x %02x %02x\n",
                        block.get<uint8_t>(CB_OUT), block.get<uint8_t>(CB_OUT + 1), block.get<uint32_t>(CB_OUT + 4),
                        block.get<uint32_t>(CB_OUT + 16), block.get<uint32_t>(CB_OUT + 8),
                        block.get<uint16_t>(CB_OUT + 12) ? "2048-byte" : "512-byte", block.get<uint8_t>(CB_OUT + 20),
                        block.get<uint8_t>(CB_OUT + 21), block.get<uint8_t>(CB_OUT + 22));
        if (ioctl(FD_IOCTL_OEM_STATUS, block) == 0)
            std::printf("media status: 0x%04x\n", block.get<uint16_t>(CB_OUT));
        const uint32_t size = client_size();
        std::printf("client size: %u bytes (%s)\n", size, size ? "mounted" : "not mounted");
        if (ioctl(FD_IOCTL_VBF_STATUS, block) == 0)
            std::printf("translation layer status: %u%s\n", block.get<uint16_t>(CB_OUT),
                        block.get<uint16_t>(CB_OUT) & VBF_STATUS_NEEDS_FORMAT ? " (a format did not finish: the drive needs a format)" : "");
        if (size && ioctl(FD_IOCTL_PARTITION_INFO, block) == 0) {
            const char *names[CB_PARTITION_WORDS] = {"regions",         "region size",   "units",
                                                     "unit size",       "spare units",   "formatted size",
                                                     "allocation offset", "allocation size"};
            for (unsigned i = 0; i < CB_PARTITION_WORDS; i++)
                std::printf("  %s: %u\n", names[i], block.get<uint32_t>(CB_INFO + 4 * i));
        }
        if (ioctl(FD_IOCTL_USAGE, block) == 0)
            std::printf("usage: %u bytes free, %u data, %u discarded\n", block.get<uint32_t>(CB_LENGTH),
                        block.get<uint32_t>(CB_THIRD), block.get<uint32_t>(CB_FOURTH));
        if (ioctl(FD_IOCTL_ERASE_COUNTS, block) == 0)
            std::printf("erase counts: highest %u, average %u, lowest %u\n", block.get<uint32_t>(CB_LENGTH),
                        block.get<uint32_t>(CB_THIRD), block.get<uint32_t>(CB_FOURTH));
        if (ioctl(FD_IOCTL_BBM_STATUS, block) == 0)
            std::printf("bad blocks: %u reserve entries, %u replaced\n", block.get<uint32_t>(CB_DATA + 4),
                        block.get<uint32_t>(CB_DATA + 8));
        struct hd_geometry geometry = {};
        hostkernel::UserMemory user(&geometry, sizeof geometry);
        if (hostkernel::blkdev_ioctl(dev_, HDIO_GETGEO, &geometry) == 0)
            std::printf("geometry: %u cylinders, %u heads, %u sectors per track\n", geometry.cylinders, geometry.heads,
                        geometry.sectors);
        return true;
    }

    // Sectors through the block device, in requests of kRequestSectors.
    bool transfer(int command, unsigned long sector, std::vector<uint8_t> &data)
    {
        const unsigned long sectors = data.size() / FD_SECTOR_SIZE;
        for (unsigned long done = 0; done < sectors; done += kRequestSectors) {
            const unsigned long count = std::min(kRequestSectors, sectors - done);
            if (hostkernel::block_io(dev_, command, sector + done, data.data() + done * FD_SECTOR_SIZE, count,
                                     kSegmentSectors) != 0)
                return fail((command == READ ? "read" : "write") + std::string(" failed at sector ") +
                            std::to_string(sector + done));
        }
        return true;
    }

    // Sectors [sector, sector + count) within the drive, or a message saying they are not.
    bool within(unsigned long sector, unsigned long count)
    {
        const unsigned long sectors = client_size() / FD_SECTOR_SIZE;
        if (sector <= sectors && count <= sectors - sector)
            return true;
        return fail(std::to_string(count) + " sectors from sector " + std::to_string(sector) +
                    " lie past the drive's end (" + std::to_string(sectors) + " sectors)");
    }

    bool read(unsigned long sector, unsigned long count, const std::string &path)
    {
        if (!ensure_mounted() || !within(sector, count))
            return false;
        std::vector<uint8_t> data(count * FD_SECTOR_SIZE);
        if (!transfer(READ, sector, data))
            return false;
        std::ofstream out(path, std::ios::binary);
        if (!out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size())))
            return fail("cannot write " + path);
        std::printf("read %lu sectors from sector %lu\n", count, sector);
        return true;
    }

    bool write(unsigned long sector, const std::string &path)
    {
        if (!ensure_mounted())
            return false;
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return fail("cannot read " + path);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (data.size() % FD_SECTOR_SIZE)
            return fail(path + " is not a whole number of sectors");
        if (!within(sector, data.size() / FD_SECTOR_SIZE))
            return false;
        if (!transfer(WRITE, sector, data))
            return false;
        std::printf("wrote %zu sectors from sector %lu\n", data.size() / FD_SECTOR_SIZE, sector);
        return true;
    }

    bool read_image(const std::string &path)
    {
        if (!ensure_mounted())
            return false;
        return read(0, client_size() / FD_SECTOR_SIZE, path);
    }

    bool discard(unsigned long sector, unsigned long count)
    {
        if (!ensure_mounted() || !within(sector, count))
            return false;
        ControlBlock block;
        block.set<uint32_t>(CB_START, static_cast<uint32_t>(sector * FD_SECTOR_SIZE));
        block.set<uint32_t>(CB_LENGTH, static_cast<uint32_t>(count * FD_SECTOR_SIZE));
        const int result = ioctl(FD_IOCTL_DISCARD, block);
        if (result != 0)
            return fail("discard failed (" + std::to_string(result) + ")");
        std::printf("discarded %lu sectors from sector %lu\n", count, sector);
        return true;
    }

    bool collect()
    {
        ControlBlock block;
        const int result = ioctl(FD_IOCTL_COLLECT, block);
        std::printf(result == 0 ? "collected\n" : "nothing to collect\n");
        return true;
    }

    bool proc()
    {
        std::string text;
        if (hostkernel::proc_read("tso_infos", text) < 0)
            return fail("no /proc/tso_infos");
        std::fputs(text.c_str(), stdout);
        return true;
    }

    // Throughput in virtual time, against the chip's own limit: a page's data per its busy time and
    // the bus cycles of its bytes, as a driver without overhead would see it.
    bool bench(unsigned long megabytes)
    {
        if (!ensure_mounted())
            return false;
        const unsigned long bytes = std::min<unsigned long>(megabytes << 20, client_size() / 2);
        std::vector<uint8_t> data(bytes);
        std::mt19937 random(options_.seed);
        for (uint8_t &byte : data)
            byte = static_cast<uint8_t>(random());
        const nandsim::ChipGeometry geometry = nandsim::chip_geometry(options_.chip);
        const nandsim::Timing timing;
        const double cycles = geometry.page_bytes() * hostkernel::kPollCostUs;
        const double write_limit = geometry.page_size / (timing.program_us + cycles);
        const double read_limit = geometry.page_size / (timing.read_us + cycles);
        uint64_t start = hostkernel::now_us();
        if (!transfer(WRITE, 0, data))
            return false;
        const double write_rate = static_cast<double>(bytes) / static_cast<double>(hostkernel::now_us() - start);
        std::vector<uint8_t> back(bytes);
        start = hostkernel::now_us();
        if (!transfer(READ, 0, back))
            return false;
        const double read_rate = static_cast<double>(bytes) / static_cast<double>(hostkernel::now_us() - start);
        if (back != data)
            return fail("data read back differs");
        // Bytes per microsecond are megabytes per second.
        std::printf("write: %.3f MB/s of virtual time, %.1f%% of the chip's %.3f MB/s\n", write_rate,
                    100 * write_rate / write_limit, write_limit);
        std::printf("read:  %.3f MB/s of virtual time, %.1f%% of the chip's %.3f MB/s\n", read_rate,
                    100 * read_rate / read_limit, read_limit);
        return true;
    }

private:
    const Options &options_;
    kdev_t dev_;
};

// A number as written, decimal or 0x hexadecimal; a sign or a space is not one (strtoul would take
// "-1" as the largest number).
bool number(const std::string &text, unsigned long &value)
{
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    char *end = nullptr;
    errno = 0;
    value = std::strtoul(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0';
}

bool parse(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; i++) {
        const std::string word = argv[i];
        unsigned long value = 0;
        auto next = [&](unsigned long &out) { return i + 1 < argc && number(argv[++i], out); };
        if (word == "--image" && i + 1 < argc) {
            options.image = argv[++i];
        } else if (word == "--chip" && next(value) && value <= 0xFF) {
            options.chip = static_cast<uint8_t>(value);
        } else if (word == "--drive" && next(value) && value < 2) {
            options.drive = static_cast<unsigned>(value);
        } else if (word == "--bad-blocks" && next(value)) {
            options.bad_blocks = static_cast<unsigned>(value);
        } else if (word == "--seed" && next(value)) {
            options.seed = static_cast<unsigned>(value);
        } else if (word == "--board" && i + 1 < argc) {
            const std::string board = argv[++i];
            if (board != "piii" && board != "corvo")
                return false;
            options.variant = board == "piii" ? nandsim::Variant::PIII : nandsim::Variant::Corvo;
        } else if (word == "--log") {
            options.log = true;
        } else if (word.rfind("--", 0) == 0) {
            return false;
        } else {
            options.words.push_back(word);
        }
    }
    return !options.image.empty() && !options.words.empty();
}

// Runs the commands in order; false at the first that fails or does not parse.
bool run(Tool &tool, const std::vector<std::string> &words)
{
    for (size_t i = 0; i < words.size();) {
        const std::string &command = words[i++];
        auto numbers = [&](size_t count, std::vector<unsigned long> &out) {
            for (size_t k = 0; k < count; k++) {
                unsigned long value = 0;
                if (i >= words.size() || !number(words[i], value))
                    return false;
                out.push_back(value);
                i++;
            }
            return true;
        };
        std::vector<unsigned long> values;
        bool ok = false;
        if (command == "format") {
            std::map<std::string, uint32_t> settings;
            while (i < words.size() && words[i].find('=') != std::string::npos) {
                const std::string key = words[i].substr(0, words[i].find('='));
                unsigned long value = 0;
                if (key != "size" && key != "start" && key != "cushion" && key != "spares" && key != "serial")
                    return tool.fail("unknown setting " + words[i]);
                if (!number(words[i].substr(key.size() + 1), value) || value > 0xFFFFFFFFul)
                    return tool.fail("bad setting " + words[i]);
                settings[key] = static_cast<uint32_t>(value);
                i++;
            }
            ok = tool.format(settings);
        } else if (command == "mount") {
            ok = tool.mount();
        } else if (command == "status") {
            ok = tool.status();
        } else if (command == "read" && numbers(2, values) && i < words.size()) {
            ok = tool.read(values[0], values[1], words[i++]);
        } else if (command == "write" && numbers(1, values) && i < words.size()) {
            ok = tool.write(values[0], words[i++]);
        } else if (command == "read-image" && i < words.size()) {
            ok = tool.read_image(words[i++]);
        } else if (command == "write-image" && i < words.size()) {
            ok = tool.write(0, words[i++]);
        } else if (command == "discard" && numbers(2, values)) {
            ok = tool.discard(values[0], values[1]);
        } else if (command == "collect") {
            ok = tool.collect();
        } else if (command == "proc") {
            ok = tool.proc();
        } else if (command == "bench" && numbers(1, values)) {
            ok = tool.bench(values[0]);
        } else {
            std::fprintf(stderr, "flashctl: bad command or arguments: %s\n%s", command.c_str(), kUsage);
            return false;
        }
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!parse(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    hostkernel::reset();
    nandsim::Board board(options.variant);
    if (std::ifstream(options.image).good()) {
        if (!board.load_image(options.image)) {
            std::fprintf(stderr, "flashctl: %s is not a board image\n", options.image.c_str());
            return 1;
        }
    } else {
        nandsim::Chip &chip = board.install_chip(0, nandsim::chip_geometry(options.chip));
        std::mt19937 random(options.seed);
        for (unsigned k = 0; k < options.bad_blocks; k++)
            chip.mark_factory_bad(1 + random() % (chip.geometry().blocks - 1));
    }
    const int loaded = init_module();
    if (loaded != 0) {
        std::fprintf(stderr, "flashctl: the driver does not load (%d)\n%s", loaded, hostkernel::log_text().c_str());
        return 1;
    }
    Tool tool(options);
    const kdev_t dev = MKDEV(FD_MAJOR, FD_MINOR_BASE + options.drive);
    bool ok = hostkernel::blkdev_open(dev) == 0 || tool.fail("no drive " + std::to_string(options.drive));
    if (ok) {
        ok = run(tool, options.words);
        hostkernel::blkdev_release(dev);
    }
    cleanup_module();
    if (options.log)
        std::fputs(hostkernel::log_text().c_str(), stderr);
    if (!board.save_image(options.image)) {
        std::fprintf(stderr, "flashctl: cannot save %s\n", options.image.c_str());
        return 1;
    }
    return ok ? 0 : 1;
}
