// The translation layer over the driver's NAND stack on the simulated board: drives formatted once per
// chip kind are kept as images, and a reference model of what every sector may hold.
#ifndef TESSARO_FTL_TESTS_FTL_H
#define TESSARO_FTL_TESTS_FTL_H

#include "ftl/vbf.h"
#include "media/tests/stack.h"

#include <functional>
#include <map>
#include <set>

namespace ftltest {

using namespace stacktest;

class FtlTest : public StackTest {
protected:
    void SetUp() override
    {
        StackTest::SetUp();
        vbfreset();
    }

    // Drive 0 on a chip of this kind, formatted by the translation layer with defaults and mounted.
    void format_drive(uint8_t device, int mode = 0)
    {
        const std::string key = "vbf-" + std::to_string(device) + "-" + std::to_string(mode);
        static std::map<std::string, std::string> images;
        auto found = images.find(key);
        if (found == images.end()) {
            formatted(device, mode);
            uint32_t size = VBF_DEFAULT, start = VBF_DEFAULT, spares = VBF_DEFAULT;
            vbfsetcurrentdrive(0);
            ASSERT_EQ(vbfformat(1234, static_cast<int32_t>(VBF_DEFAULT), &size, &start, &spares), 1);
            const std::string path = scratch_path(key + ".img");
            ASSERT_TRUE(board->save_image(path));
            found = images.emplace(key, path).first;
        }
        use_board(nandsim::Variant::PIII);
        reset_stack();
        vbfreset();
        force_ll = mode;
        ASSERT_TRUE(board->load_image(found->second));
        ASSERT_TRUE(mount());
        vbfsetcurrentdrive(0);
        ASSERT_EQ(vbfmount(), 1);
        hostkernel::clear_log();
    }

    // The driver restarted: every layer's state lost, the flash kept.
    bool restart()
    {
        board->power_on();
        if (after_power_on)
            after_power_on();
        reset_stack();
        vbfreset();
        if (drive_ == 1) {
            uint16_t drives = 0;
            if (!oeminit(0, &drives) || lpThisMedia != &extndMediaInfo[1])
                return false;
        } else if (!mount()) {
            return false;
        }
        vbfsetcurrentdrive(drive_);
        return vbfmount() == 1;
    }

    std::vector<uint8_t> read(uint32_t address, uint32_t length)
    {
        std::vector<uint8_t> data(length);
        EXPECT_EQ(vbfread(address, static_cast<uint16_t>(length), data.data()), 1) << std::hex << address;
        return data;
    }

    unsigned operations()
    {
        nandsim::Chip &chip = *board->chip(0);
        return chip.programs + chip.erases;
    }

    uint16_t drive_ = 0; // the drive restart() mounts
    std::function<void()> after_power_on; // a cut set for the restart itself
};

} // namespace ftltest

#endif
