// The driver's NAND stack (media layer, page operations, bad-block manager) over the simulated board,
// for the tests of these three layers. A drive formatted once per chip kind is kept as an image, so
// that each test starts from a freshly formatted drive without scanning the whole chip again.
#ifndef TESSARO_MEDIA_TESTS_STACK_H
#define TESSARO_MEDIA_TESTS_STACK_H

#include "bbm/bbm.h"
#include "media/media.h"
#include "nand/nand_ops.h"
#include "nandsim/fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace stacktest {

constexpr uint8_t kSmall64 = 0x76; // 64 MB, 16 KB blocks, 512-byte pages
constexpr uint8_t kLarge128 = 0xF1; // 128 MB, 128 KB blocks, 2048-byte pages
constexpr uint32_t kSmallBlock = 0x4000;
constexpr uint32_t kLargeBlock = 0x20000;
constexpr uint32_t kSmallTotal = 0x4000000;
constexpr uint32_t kLargeTotal = 0x8000000;

class StackTest : public nandsim::DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        reset_stack();
    }

    // The layers' state as at load.
    static void reset_stack() { oemreset(); }

    // Mounts a drive through the media layer; true when the NAND device took it.
    bool mount(uint16_t drive = 0)
    {
        oemsetcurrentdrive(drive);
        oemmount();
        return lpThisMedia->lpDevice == &devNAND512 || lpThisMedia->lpDevice == &devNAND2048;
    }

    // Drive 0 on a chip of this kind, formatted with a fresh bad-block table, mounted; `mode` is the
    // force_ll value the drive was formatted and is mounted with.
    nandsim::Chip &formatted(uint8_t device, int mode = 0)
    {
        const std::string key = std::to_string(device) + "-" + std::to_string(mode);
        auto found = images().find(key);
        if (found == images().end()) {
            force_ll = mode;
            install(0, device);
            EXPECT_TRUE(mount());
            const std::string path = scratch_path(key + ".img");
            EXPECT_TRUE(board->save_image(path));
            found = images().emplace(key, path).first;
        }
        use_board(nandsim::Variant::PIII);
        reset_stack();
        force_ll = mode;
        EXPECT_TRUE(board->load_image(found->second));
        EXPECT_TRUE(mount());
        hostkernel::clear_log();
        return *board->chip(0);
    }

    // A Corvo board whose drive 1 is two 64 MB chips (163 reserve blocks, two chunks), 125 blocks of the
    // first factory-bad: more than the first chunk's 118 entries, so that chunk 1 is in use. Not mounted.
    void install_two_chunk_drive()
    {
        use_board(nandsim::Variant::Corvo);
        reset_stack();
        board->set_xmem_fitted(true);
        nandsim::Chip &first = install(1, kSmall64);
        install(2, kSmall64);
        for (uint32_t block = 200; block < 200 + 125; block++)
            first.mark_factory_bad(block);
    }

    // Remounts the current drive as after a restart of the driver (state lost, flash kept).
    bool remount()
    {
        const uint16_t drive = uCurrentDrive;
        board->power_on();
        std::memset(&extndMediaInfo[drive], 0, sizeof extndMediaInfo[drive]);
        std::memset(&bbmInfo[drive], 0, sizeof bbmInfo[drive]);
        return mount(drive);
    }

    // Writes a sector of a pattern with its code; the test fails unless the write is acknowledged.
    std::vector<uint8_t> write_sector(uint32_t address, uint32_t seed)
    {
        std::vector<uint8_t> data = pattern(512, seed);
        EXPECT_EQ(oemwrite(address, 512, data.data(), ACCESS_TYPE_ECC), 1) << std::hex << address;
        return data;
    }

    // True when the sector reads back with these bytes and no correction.
    bool reads_back(uint32_t address, const std::vector<uint8_t> &data)
    {
        std::vector<uint8_t> back(512);
        return oemread(address, 512, back.data(), ACCESS_TYPE_ECC) == 1 && back == data;
    }

    std::vector<uint8_t> pattern(size_t length, uint32_t seed)
    {
        std::vector<uint8_t> bytes(length);
        for (size_t i = 0; i < length; i++)
            bytes[i] = static_cast<uint8_t>((i * 131 + seed * 7 + (i >> 8)) ^ seed);
        return bytes;
    }

    // The first 512 bytes of the page at a drive address, straight from the chip.
    std::vector<uint8_t> raw_sector(uint32_t address)
    {
        nandsim::Chip &chip = *board->chip(0);
        const uint32_t page = chip.geometry().page_size;
        std::vector<uint8_t> bytes = chip.read_page(address / page);
        const uint32_t column = address % page;
        return std::vector<uint8_t>(bytes.begin() + column, bytes.begin() + column + 512);
    }

    // The 16 spare bytes of the 512-byte sector at a drive address, straight from the chip.
    std::vector<uint8_t> raw_spare(uint32_t address)
    {
        nandsim::Chip &chip = *board->chip(0);
        const uint32_t page = chip.geometry().page_size;
        std::vector<uint8_t> bytes = chip.read_page(address / page);
        const uint32_t at = page + (address % page) / 512 * 16;
        return std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + at + 16);
    }

    static uint32_t le32(const std::vector<uint8_t> &bytes, size_t offset)
    {
        return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
               static_cast<uint32_t>(bytes[offset + 3]) << 24;
    }

    static uint16_t le16(const std::vector<uint8_t> &bytes, size_t offset)
    {
        return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
    }

    // A file in this process's scratch directory.
    static std::string scratch_path(const std::string &name) { return image_dir() + "/" + name; }

private:
    static std::map<std::string, std::string> &images()
    {
        static std::map<std::string, std::string> paths;
        return paths;
    }

    // A scratch directory of this process, removed with everything in it at exit.
    static const std::string &image_dir()
    {
        struct ScratchDir {
            std::string path;
            ScratchDir()
            {
                char name[] = "/tmp/tessaro-stack-XXXXXX";
                const char *made = mkdtemp(name);
                path = made ? made : "";
            }
            ~ScratchDir()
            {
                if (!path.empty())
                    std::filesystem::remove_all(path);
            }
        };
        static const ScratchDir dir;
        return dir.path;
    }
};

} // namespace stacktest

#endif
