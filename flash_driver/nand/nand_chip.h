// The NAND chip layer: chip selection, command and address cycles through the flash ports, the chip's
// status, and the detection of a drive's chips at mount.
#ifndef TESSARO_NAND_NAND_CHIP_H
#define TESSARO_NAND_NAND_CHIP_H

#include <cstdint>

// Flash ports.
enum : uint16_t {
    NAND_PORT_SELECT = 0x400,
    NAND_PORT_CONTROL = 0x401, // control lines of the Corvo board
    NAND_PORT_DATA_IN = 0x402, // every byte read from the chip
    NAND_PORT_DATA_OUT = 0x403, // every command, address and data byte written to the chip
};

// Chip commands, and the driver's own mark of a data transfer as the last command.
enum : uint8_t {
    NAND_CMD_READ = 0x00,
    NAND_CMD_READ_SPARE = 0x50,
    NAND_CMD_READ_CONFIRM = 0x30,
    NAND_CMD_RANDOM_OUTPUT = 0x05,
    NAND_CMD_RANDOM_OUTPUT_CONFIRM = 0xE0,
    NAND_CMD_PROGRAM = 0x80,
    NAND_CMD_PROGRAM_CONFIRM = 0x10,
    NAND_CMD_ERASE = 0x60,
    NAND_CMD_ERASE_CONFIRM = 0xD0,
    NAND_CMD_READ_ID = 0x90,
    NAND_CMD_STATUS = 0x70,
    NAND_CMD_RESET = 0xFF,
    NAND_CMD_DATA_TRANSFER = 0x25,
};

enum : uint32_t {
    NAND_NO_CHIP = 0xFFFFFFFF,      // an address that no chip of the drive holds
    NAND_LARGE_SPARE_COLUMN = 2048, // column of the spare area of a large page
    NAND_SHIFT_UNUSED = 0xFF,       // an address cycle that is not sent
    NAND_CHIPS_XMEM = 4,
};

// One chip of drive 1: its range in the drive (end = its last byte) and its select value.
struct FlashAccessEntry {
    uint32_t ulStart;
    uint32_t ulEnd;
    uint8_t ucSelect;
};

// Per-drive address cycles: the shift of each cycle, and the mask of the fourth.
extern uint16_t uAddressShift1[2], uAddressShift2[2], uAddressShift3[2], uAddressShift4[2], uAddressShift5[2];
extern uint32_t ulAddressMask[2];
extern FlashAccessEntry FlashAccess[NAND_CHIPS_XMEM];
// Chip-relative address of the last page of the chip identified last.
extern uint32_t max_size_NAND;
extern uint32_t current_command[2];
extern uint32_t previous_command[2];
extern uint32_t last_addr_command;
// Page layout of large-page chips: 0 detect, 1 LargeLarge, 2 LargeSmall.
extern int force_ll;

// The chip layer's state as at load: address tables, command history, chip selection.
void NANDChipResetState();

// Selects the chip that holds a drive address; returns the chip-relative address, or NAND_NO_CHIP.
uint32_t NANDSelectDevice(uint32_t ulAddress);
void NANDCommand(uint8_t ucCommand, uint32_t ulAddress);
// 1 when the chip reports the last program or erase failed, or is still busy.
uint16_t NANDError(uint32_t ulAddress);
uint16_t NANDInitDevice();
uint16_t NANDIsLargeSmall(uint16_t *pbLargeSmall);
uint32_t NANDmapblock(uint32_t ulAddress);

#endif
