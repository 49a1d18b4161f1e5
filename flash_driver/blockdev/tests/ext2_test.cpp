// End to end: an ext2 file system made by mke2fs, written through the block device onto a drive with
// factory-bad blocks and bit flips, replaced by a newer one across power cuts, read back after
// remounts, checked clean by e2fsck and compared file by file with what it was made from.
#include "blockdev/tests/loaded.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;

constexpr unsigned kImageBlocks = 3072; // 1 KB blocks of the file system
constexpr unsigned long kSectors = kImageBlocks * 2;
constexpr unsigned kFactoryBad = 4;
constexpr unsigned kBitFlips = 24;
constexpr unsigned kPowerCuts = 12;

class Ext2Test : public blockdevtest::LoadedTest {
protected:
    void SetUp() override
    {
        LoadedTest::SetUp();
        char name[] = "/tmp/tessaro-ext2-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }

    void TearDown() override
    {
        LoadedTest::TearDown();
        fs::remove_all(dir);
    }

    static int run(const std::string &command)
    {
        const int status = std::system((command + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // A tree of files of random sizes in a few directories; `version` changes some of them.
    void make_tree(const fs::path &root, unsigned version)
    {
        std::mt19937 random(42);
        for (unsigned i = 0; i < 40; i++) {
            const fs::path file = root / ("d" + std::to_string(i % 4)) / ("f" + std::to_string(i));
            fs::create_directories(file.parent_path());
            const bool changed = version > 0 && i % 3 == 0;
            if (version > 0 && i % 7 == 1)
                continue; // removed in the newer tree
            const std::vector<uint8_t> bytes = pattern(random() % 40000 + (changed ? 777 : 0), i + (changed ? 1000 : 0));
            std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                        static_cast<std::streamsize>(bytes.size()));
        }
    }

    std::vector<uint8_t> make_image(unsigned version)
    {
        const fs::path root = dir / ("tree" + std::to_string(version));
        const fs::path image = dir / ("image" + std::to_string(version));
        make_tree(root, version);
        EXPECT_EQ(run(std::string(MKE2FS) + " -q -F -t ext2 -b 1024 -N 128 -d " + root.string() + " " + image.string() +
                      " " + std::to_string(kImageBlocks)),
                  0);
        std::ifstream in(image, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(bytes.size(), kSectors * 512);
        bytes.resize(kSectors * 512);
        return bytes;
    }

    // Flips one bit in the data of pages the drive has written, never twice in one page, so that the
    // code can always correct it.
    void flip_bits(std::mt19937 &random, unsigned count)
    {
        nandsim::Chip &chip = *board->chip(0);
        const nandsim::ChipGeometry &geometry = chip.geometry();
        for (unsigned flipped = 0, tries = 0; flipped < count && tries < 100000; tries++) {
            const uint32_t page = random() % geometry.pages();
            if (chip.block_blank(page / geometry.pages_per_block) || flipped_pages.count(page))
                continue;
            const std::vector<uint8_t> bytes = chip.read_page(page);
            if (std::all_of(bytes.begin(), bytes.begin() + geometry.page_size, [](uint8_t b) { return b == 0xFF; }))
                continue;
            chip.flip_bit(page, random() % geometry.page_size, static_cast<uint8_t>(random() % 8));
            flipped_pages.insert(page);
            flipped++;
        }
    }

    fs::path dir;
    std::set<uint32_t> flipped_pages;
};

TEST_F(Ext2Test, FileSystemSurvivesBadBlocksBitFlipsAndPowerCuts)
{
    std::mt19937 random(2024);
    nandsim::Chip &chip = *board->chip(0);
    for (unsigned k = 0; k < kFactoryBad; k++)
        chip.mark_factory_bad(8 + random() % (chip.geometry().blocks - 64));
    load();
    const uint32_t size = format_and_mount();
    ASSERT_GE(size, kSectors * 512) << hostkernel::log_text();

    std::vector<uint8_t> older = make_image(0);
    std::vector<uint8_t> newer = make_image(1);
    ASSERT_EQ(transfer(WRITE, 0, older), 0) << hostkernel::log_text();
    flip_bits(random, kBitFlips);
    ASSERT_EQ(reload(), size);
    ASSERT_EQ(read_sectors(0, kSectors), older);

    // The newer image goes over the older one, request by request. After each power cut the requests
    // the driver acknowledged read back new and every other sector old or new; what the cut left reads
    // the same after a reload; e2fsck -fy mends the file system, and the mended image, written and
    // reloaded, is clean.
    std::vector<uint8_t> model = older;
    unsigned struck = 0;
    for (unsigned cut = 0; cut < kPowerCuts; cut++) {
        SCOPED_TRACE(cut);
        unsigned long acknowledged = 0;
        board->cut_power_after(200 + random() % 4000, (random() % 100) / 100.0);
        try {
            for (unsigned long done = 0; done < kSectors; done += 128) {
                const unsigned long count = std::min(128ul, kSectors - done);
                std::vector<uint8_t> piece(newer.begin() + static_cast<long>(done * 512),
                                           newer.begin() + static_cast<long>((done + count) * 512));
                ASSERT_EQ(transfer(WRITE, done, piece), 0) << hostkernel::log_text();
                acknowledged = done + count;
            }
            board->cut_power_after(0);
        } catch (const blockdevtest::PowerLost &) {
            struck++;
        }
        ASSERT_EQ(power_cycle(), size) << hostkernel::log_text();
        flip_bits(random, kBitFlips / 4);
        const std::vector<uint8_t> back = read_sectors(0, kSectors);
        for (unsigned long s = 0; s < kSectors; s++) {
            const long at = static_cast<long>(s * 512);
            const bool old = std::equal(back.begin() + at, back.begin() + at + 512, model.begin() + at);
            const bool now = std::equal(back.begin() + at, back.begin() + at + 512, newer.begin() + at);
            ASSERT_TRUE(now || (old && s >= acknowledged)) << "sector " << s << ", acknowledged up to " << acknowledged;
        }
        ASSERT_EQ(reload(), size);
        ASSERT_TRUE(read_sectors(0, kSectors) == back) << "what the cut left changed across a reload";

        const fs::path cutImage = dir / "cut";
        std::ofstream(cutImage, std::ios::binary)
            .write(reinterpret_cast<const char *>(back.data()), static_cast<std::streamsize>(back.size()));
        ASSERT_LT(run(std::string(E2FSCK) + " -fy " + cutImage.string()), 4) << "e2fsck could not mend it";
        std::ifstream in(cutImage, std::ios::binary);
        std::vector<uint8_t> mended((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_EQ(mended.size(), back.size());
        // As e2fsck on the board would, only what it changed is written.
        const auto sector = [](const std::vector<uint8_t> &bytes, unsigned long n) {
            return bytes.begin() + static_cast<long>(n * 512);
        };
        for (unsigned long s = 0, end = 0; s < kSectors; s = end) {
            end = s;
            while (end < kSectors && !std::equal(sector(mended, end), sector(mended, end + 1), sector(back, end)))
                end++;
            if (end > s) {
                std::vector<uint8_t> changed(sector(mended, s), sector(mended, end));
                ASSERT_EQ(transfer(WRITE, s, changed), 0) << hostkernel::log_text();
            } else {
                end++;
            }
        }
        ASSERT_EQ(reload(), size);
        const std::vector<uint8_t> again = read_sectors(0, kSectors);
        ASSERT_TRUE(again == mended) << "the mended image did not read back after a reload";
        std::ofstream(cutImage, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char *>(again.data()), static_cast<std::streamsize>(again.size()));
        ASSERT_EQ(run(std::string(E2FSCK) + " -fn " + cutImage.string()), 0);
        model = mended;
    }
    EXPECT_GT(struck, kPowerCuts / 2);
    ASSERT_EQ(transfer(WRITE, 0, newer), 0) << hostkernel::log_text();
    ASSERT_EQ(reload(), size);
    const std::vector<uint8_t> back = read_sectors(0, kSectors);
    ASSERT_EQ(back, newer);

    const fs::path image = dir / "read-back";
    std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char *>(back.data()),
                                                 static_cast<std::streamsize>(back.size()));
    EXPECT_EQ(run(std::string(E2FSCK) + " -fn " + image.string()), 0);
    const fs::path out = dir / "out";
    fs::create_directories(out);
    ASSERT_EQ(run(std::string(DEBUGFS) + " -R 'rdump / " + out.string() + "' " + image.string()), 0);
    unsigned files = 0;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(dir / "tree1")) {
        if (!entry.is_regular_file())
            continue;
        const fs::path copy = out / fs::relative(entry.path(), dir / "tree1");
        std::ifstream a(entry.path(), std::ios::binary), b(copy, std::ios::binary);
        ASSERT_TRUE(b.good()) << copy;
        EXPECT_TRUE(std::equal(std::istreambuf_iterator<char>(a), std::istreambuf_iterator<char>(),
                               std::istreambuf_iterator<char>(b), std::istreambuf_iterator<char>()))
            << copy;
        files++;
    }
    EXPECT_GT(files, 30u);
}

} // namespace
