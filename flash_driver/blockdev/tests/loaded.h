// The driver loaded as a module over the simulated board, for the block device's tests: a PIII board
// with an 8 MB chip on drive 0, init_module before each test and cleanup_module after it, and a
// control block in the calling process's memory.
#ifndef TESSARO_BLOCKDEV_TESTS_LOADED_H
#define TESSARO_BLOCKDEV_TESTS_LOADED_H

#include "blockdev/flashd.h"
#include "ftl/vbf.h"
#include "hostkernel/host.h"
#include "nand/nand_chip.h"
#include "nandsim/board.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace blockdevtest {

constexpr uint8_t kChip8M = 0xE6; // 8 MB, 8 KB blocks, 512-byte pages
constexpr kdev_t kDrive0 = MKDEV(FD_MAJOR, FD_MINOR_BASE);
constexpr kdev_t kDrive1 = MKDEV(FD_MAJOR, FD_MINOR_BASE + 1);

// A control block with room for data, declared as the caller's memory.
class ControlBlock {
public:
    explicit ControlBlock(size_t data = 0) : bytes_(CB_DATA + data, 0), user_(bytes_.data(), bytes_.size()) {}
    void *pointer() { return bytes_.data(); }
    uint8_t *data() { return bytes_.data() + CB_DATA; }
    template <typename T>
    T get(unsigned offset) const
    {
        T value;
        std::memcpy(&value, bytes_.data() + offset, sizeof value);
        return value;
    }
    template <typename T>
    void set(unsigned offset, T value)
    {
        std::memcpy(bytes_.data() + offset, &value, sizeof value);
    }

private:
    std::vector<uint8_t> bytes_;
    hostkernel::UserMemory user_;
};

class LoadedTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        board.reset();
        hostkernel::reset();
        vbfreset();
        force_ll = 0;
        board = std::make_unique<nandsim::Board>(nandsim::Variant::PIII);
        board->install_chip(0, nandsim::chip_geometry(kChip8M));
    }

    void TearDown() override
    {
        if (loaded)
            cleanup_module();
        loaded = false;
        board.reset();
        hostkernel::reset();
    }

    void load()
    {
        ASSERT_EQ(init_module(), 0) << hostkernel::log_text();
        loaded = true;
        hostkernel::clear_log();
    }

    void unload()
    {
        cleanup_module();
        loaded = false;
    }

    int ioctl(unsigned command, ControlBlock &block, kdev_t dev = kDrive0)
    {
        return hostkernel::blkdev_ioctl(dev, command, block.pointer());
    }

    std::unique_ptr<nandsim::Board> board;
    bool loaded = false;
};

} // namespace blockdevtest

#endif
