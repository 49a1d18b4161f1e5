// A test fixture for the driver's layers over the simulated board: the kernel stand-in and the
// driver's per-drive state as at load, one board of the chosen variant, and the chips on it.
#ifndef TESSARO_NANDSIM_FIXTURE_H
#define TESSARO_NANDSIM_FIXTURE_H

#include "media/media.h"
#include "nand/nand_chip.h"
#include "nandsim/board.h"
#include "services/services.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace nandsim {

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override { use_board(Variant::PIII); }

    void use_board(Variant variant)
    {
        board.reset();
        hostkernel::reset();
        std::memset(extndMediaInfo, 0, sizeof extndMediaInfo);
        for (unsigned drive = 0; drive < 2; ++drive)
            current_command[drive] = previous_command[drive] = 0;
        force_ll = 0;
        NAND_READY = 0;
        select_drive(0);
        board = std::make_unique<Board>(variant);
        request_irq(kReadyIrq, intr_nand_handler, SA_INTERRUPT, "NAND flash", nullptr);
    }

    void select_drive(uint16_t drive)
    {
        uCurrentDrive = drive;
        lpThisMedia = &extndMediaInfo[drive];
    }

    Chip &install(unsigned select, uint8_t device, uint8_t fourth = 0x15)
    {
        return board->install_chip(select, chip_geometry(device, fourth));
    }

    std::unique_ptr<Board> board;
};

} // namespace nandsim

#endif
