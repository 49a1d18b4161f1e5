// The driver loaded as a module over the simulated board, for the block device's tests: a PIII board
// with an 8 MB chip on drive 0, init_module in the test and cleanup_module after it.
#ifndef TESSARO_BLOCKDEV_TESTS_LOADED_H
#define TESSARO_BLOCKDEV_TESTS_LOADED_H

#include "blockdev/flashd.h"
#include "ftl/vbf.h"
#include "hostkernel/board.h"
#include "hostkernel/host.h"
#include "nand/nand_chip.h"
#include "nandsim/board.h"
#include "tools/control_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace blockdevtest {

constexpr uint8_t kChip8M = 0xE6; // 8 MB, 8 KB blocks, 512-byte pages
constexpr kdev_t kDrive0 = MKDEV(FD_MAJOR, FD_MINOR_BASE);
constexpr kdev_t kDrive1 = MKDEV(FD_MAJOR, FD_MINOR_BASE + 1);

using flashtools::ControlBlock;

// Thrown at the first bus access after a power cut: the processor stops with the chips, so nothing
// of the driver runs on against dead flash.
struct PowerLost {};

// The board's bus as the driver sees it, which stops the driver once the board has no power.
class StoppingBus : public hostkernel::Bus {
public:
    explicit StoppingBus(nandsim::Board &board) : board_(board) {}
    uint8_t in8(uint16_t port) override { return alive().in8(port); }
    void out8(uint16_t port, uint8_t value) override { alive().out8(port, value); }
    uint32_t in32(uint16_t port) override { return alive().in32(port); }
    void out32(uint16_t port, uint32_t value) override { alive().out32(port, value); }
    uint16_t register_read(uint32_t offset) override { return alive().register_read(offset); }
    void register_write(uint32_t offset, uint16_t value) override { alive().register_write(offset, value); }

private:
    nandsim::Board &alive()
    {
        if (!board_.powered())
            throw PowerLost();
        return board_;
    }
    nandsim::Board &board_;
};

class LoadedTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        board.reset();
        hostkernel::reset();
        vbfreset();
        force_ll = 0;
        board = std::make_unique<nandsim::Board>(variant);
        board->install_chip(0, nandsim::chip_geometry(kChip8M));
        bus = std::make_unique<StoppingBus>(*board);
        hostkernel::attach_bus(bus.get());
    }

    void TearDown() override
    {
        if (loaded)
            cleanup_module();
        loaded = false;
        board.reset();
        bus.reset();
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

    // Formats a drive with the defaults through the control call, mounts it and returns its client size.
    uint32_t format_and_mount(uint32_t serial = 0x1234, kdev_t dev = kDrive0)
    {
        ControlBlock block;
        for (unsigned offset : {CB_START, CB_LENGTH, CB_THIRD, CB_FOURTH})
            block.set<uint32_t>(offset, VBF_DEFAULT);
        block.set<uint32_t>(CB_OUT, serial);
        EXPECT_EQ(ioctl(FD_IOCTL_FORMAT, block, dev), 0) << hostkernel::log_text();
        return mount(dev);
    }

    // Mounts a drive as the board's tools do before the file system; its client size, 0 when it fails.
    uint32_t mount(kdev_t dev = kDrive0)
    {
        ControlBlock block;
        if (ioctl(FD_IOCTL_MOUNT, block, dev) != 1)
            return 0;
        EXPECT_EQ(ioctl(FD_IOCTL_CLIENT_SIZE, block, dev), 0);
        return block.get<uint32_t>(CB_OUT);
    }

    // The module unloaded and loaded again over the same board, as after a restart, and the drive mounted.
    uint32_t reload()
    {
        unload();
        load();
        return mount();
    }

    // Power back after a cut, and a fresh start of the kernel and the driver over the flash as the cut
    // left it; the drive mounted. Its client size, 0 when it does not mount.
    uint32_t power_cycle()
    {
        // The stopped run's memory goes with it: the module is unloaded with nothing on the bus, so
        // none of it reaches the flash.
        hostkernel::attach_bus(nullptr);
        if (loaded)
            cleanup_module();
        board->power_on();
        hostkernel::reset();
        hostkernel::attach_bus(bus.get());
        bvk_machine_id = variant == nandsim::Variant::PIII ? BOARD_PIII : BOARD_CORVO;
        vbfreset();
        loaded = false;
        load();
        return mount();
    }

    // Writes sectors as transfer does, with the power cut at the `cut`-th program or erase of the chip;
    // true when the cut struck before the write was done.
    bool write_with_cut(unsigned long sector, std::vector<uint8_t> &data, unsigned cut, double done = 0.5,
                        unsigned long request = 128, unsigned long segment = 8)
    {
        board->cut_power_after(cut, done);
        try {
            EXPECT_EQ(transfer(WRITE, sector, data, request, segment), 0) << hostkernel::log_text();
        } catch (const PowerLost &) {
            return true;
        }
        board->cut_power_after(0);
        return false;
    }

    // Discards sectors through the control call with the power cut at the `cut`-th program or erase
    // of the chip; true when the cut struck before the discard was done.
    bool discard_with_cut(unsigned long sector, unsigned long count, unsigned cut, double done = 0.5)
    {
        ControlBlock block;
        block.set<uint32_t>(CB_START, static_cast<uint32_t>(sector * FD_SECTOR_SIZE));
        block.set<uint32_t>(CB_LENGTH, static_cast<uint32_t>(count * FD_SECTOR_SIZE));
        board->cut_power_after(cut, done);
        try {
            EXPECT_EQ(ioctl(FD_IOCTL_DISCARD, block), 0) << hostkernel::log_text();
        } catch (const PowerLost &) {
            return true;
        }
        board->cut_power_after(0);
        return false;
    }

    // Sectors through the block layer in requests of `request` sectors: 0, or -5 at the first failure.
    int transfer(int command, unsigned long sector, std::vector<uint8_t> &data, unsigned long request = 128,
                 unsigned long segment = 8, kdev_t dev = kDrive0)
    {
        const unsigned long sectors = data.size() / FD_SECTOR_SIZE;
        for (unsigned long done = 0; done < sectors; done += request) {
            const unsigned long count = std::min(request, sectors - done);
            const int result = hostkernel::block_io(dev, command, sector + done,
                                                    data.data() + done * FD_SECTOR_SIZE, count, segment);
            if (result)
                return result;
        }
        return 0;
    }

    std::vector<uint8_t> read_sectors(unsigned long sector, unsigned long count)
    {
        std::vector<uint8_t> data(count * FD_SECTOR_SIZE);
        EXPECT_EQ(transfer(READ, sector, data), 0) << hostkernel::log_text();
        return data;
    }

    static std::vector<uint8_t> pattern(size_t length, uint32_t seed)
    {
        std::vector<uint8_t> bytes(length);
        uint32_t state = seed * 2654435761u + 1;
        for (uint8_t &byte : bytes) {
            state = state * 1103515245u + 12345u;
            byte = static_cast<uint8_t>(state >> 16);
        }
        return bytes;
    }

    nandsim::Variant variant = nandsim::Variant::PIII;
    std::unique_ptr<nandsim::Board> board;
    std::unique_ptr<StoppingBus> bus;
    bool loaded = false;
};

} // namespace blockdevtest

#endif
