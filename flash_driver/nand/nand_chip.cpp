// The NAND chip layer: ports, commands and detection.
#include "nand/nand_chip.h"

#include "bbm/bbm.h"
#include "hostkernel/board.h"
#include "hostkernel/kernel.h"
#include "media/media.h"
#include "services/services.h"

#include <cstring>

namespace {

struct ChipType {
    uint8_t device;
    uint32_t chip_size;
    uint32_t block_size;
    uint16_t page_size;
    uint16_t spare_size;
    uint16_t shift4;
    uint16_t shift5;
    uint32_t mask;
};

constexpr uint16_t kUnused = NAND_SHIFT_UNUSED;
constexpr uint32_t kMB = 0x100000;
constexpr uint8_t kLargePageIdByte4Mask = 3;
constexpr uint8_t kLargePageIdByte4 = 1;
// 2 MB chips answer, but the driver does not run them.
constexpr uint8_t kRefusedDevices[] = {0xEA, 0x64};
constexpr ChipType kChipTypes[] = {
    {0xE5, 4 * kMB, 0x2000, SMALL_PAGE_SIZE, SPARE_SIZE, kUnused, kUnused, 31},
    {0xE3, 4 * kMB, 0x2000, SMALL_PAGE_SIZE, SPARE_SIZE, kUnused, kUnused, 31},
    {0x6B, 4 * kMB, 0x2000, SMALL_PAGE_SIZE, SPARE_SIZE, kUnused, kUnused, 31},
    {0xE6, 8 * kMB, 0x2000, SMALL_PAGE_SIZE, SPARE_SIZE, kUnused, kUnused, 63},
    {0xEC, 8 * kMB, 0x2000, SMALL_PAGE_SIZE, SPARE_SIZE, kUnused, kUnused, 63},
    {0x73, 16 * kMB, 0x4000, SMALL_PAGE_SIZE, SPARE_SIZE, kUnused, kUnused, 127},
    {0x75, 32 * kMB, 0x4000, SMALL_PAGE_SIZE, SPARE_SIZE, kUnused, kUnused, 255},
    {0x76, 64 * kMB, 0x4000, SMALL_PAGE_SIZE, SPARE_SIZE, 25, kUnused, 1},
    {0xF1, 128 * kMB, 0x20000, LARGE_PAGE_SIZE, LARGE_SPARE_SIZE, 19, kUnused, 255},
    // Physically 256 MB; the driver addresses its lower 128 MB, with a fifth address cycle of 0.
    {0xDA, 128 * kMB, 0x20000, LARGE_PAGE_SIZE, LARGE_SPARE_SIZE, 19, 27, 255},
};
// Address shifts of the column and the first two row cycles.
constexpr uint16_t kSmallShifts[3] = {0, 9, 17};
constexpr uint16_t kLargeShifts[3] = {0, 8, 11};
constexpr uint8_t kLargeColumnHighMask = 7;
constexpr uint8_t kRandomColumnLowMask = 0x3F;
constexpr uint8_t kRandomColumnHighMask = 8;

// Detection: the drive's address space is its chips one after the other, the first at 0.
constexpr uint32_t kMaxDriveSize = 0x0FFFFFFF;
constexpr uint32_t kProbeEntryLength = 0x200000;
constexpr uint8_t kEmptySelect = 0xFF;
constexpr uint8_t kStatusReady = 0x40;
constexpr uint8_t kStatusFail = 0x01;

// Bytes 509-511 of the first page hold the format version of a LargeSmall drive.
constexpr unsigned kLargeSmallMarkOffset = 509;
constexpr uint8_t kLargeSmallMark = 0x7F;

const char *const kDriveNames[2] = {"Main", "XMEM"};

const ChipType *find_chip_type(uint8_t device, uint8_t id_byte4)
{
    for (const ChipType &type : kChipTypes) {
        if (type.device != device)
            continue;
        if (type.page_size == LARGE_PAGE_SIZE && (id_byte4 & kLargePageIdByte4Mask) != kLargePageIdByte4)
            return nullptr;
        return &type;
    }
    return nullptr;
}

// Chips of the same geometry and address cycles can share a drive; the device byte alone may differ
// between makers.
bool same_geometry(const ChipType &a, const ChipType &b)
{
    return a.chip_size == b.chip_size && a.block_size == b.block_size && a.page_size == b.page_size &&
           a.spare_size == b.spare_size && a.shift4 == b.shift4 && a.shift5 == b.shift5 && a.mask == b.mask;
}

bool refused(uint8_t device)
{
    for (uint8_t refused_device : kRefusedDevices)
        if (refused_device == device)
            return true;
    return false;
}

// The extension chip selected last. A reset right after a reset is left out only on the same chip:
// another chip may still be in its spare-area read mode, where a small page's program lands in the
// spare.
uint8_t selected_xmem_chip = kEmptySelect;

void select_xmem_chip(uint8_t select)
{
    if (select != selected_xmem_chip)
        current_command[1] = 0;
    selected_xmem_chip = select;
    _sysoutp(NAND_PORT_SELECT, select);
}

void out_byte(uint8_t value)
{
    _sysoutp(NAND_PORT_DATA_OUT, value);
}

void read_bytes(uint8_t *buffer, unsigned count)
{
    for (unsigned i = 0; i < count; ++i)
        buffer[i] = _sysinp(NAND_PORT_DATA_IN);
}

void skip_bytes(unsigned count)
{
    for (unsigned i = 0; i < count; ++i)
        _sysinp(NAND_PORT_DATA_IN);
}

void send_command(uint8_t command)
{
    UpdateFlashSignals(FLASH_DATA);
    UpdateFlashSignals(FLASH_COMMAND);
    out_byte(command);
    UpdateFlashSignals(FLASH_ADDRESS);
}

// The row cycles after the first two, as the drive's tables say.
void send_high_row_cycles(uint16_t drive, uint32_t address)
{
    if (uAddressShift4[drive] != kUnused)
        out_byte(static_cast<uint8_t>((address >> uAddressShift4[drive]) & ulAddressMask[drive]));
    if (uAddressShift5[drive] != kUnused)
        out_byte(0);
}

void set_address_tables(uint16_t drive, const ChipType &type)
{
    const uint16_t *shifts = type.page_size == LARGE_PAGE_SIZE ? kLargeShifts : kSmallShifts;
    uAddressShift1[drive] = shifts[0];
    uAddressShift2[drive] = shifts[1];
    uAddressShift3[drive] = shifts[2];
    uAddressShift4[drive] = type.shift4;
    uAddressShift5[drive] = type.shift5;
    ulAddressMask[drive] = type.mask;
}

// Reads a page (and its spare when asked) at a chip-relative address, the way the detection does.
void probe_read(const ChipType &type, uint32_t address, unsigned bytes)
{
    NANDCommand(NAND_CMD_RESET, address);
    NANDCommand(NAND_CMD_READ, address);
    if (type.page_size == LARGE_PAGE_SIZE)
        NANDCommand(NAND_CMD_READ_CONFIRM, address);
    skip_bytes(bytes);
}

// Learns whether the chip signals ready at the end of a page and at the end of a block.
void learn_ready_behaviour(const ChipType &type, uint16_t &wait_block_end, uint16_t &wait_page_end)
{
    unsigned page_and_spare = type.page_size + type.spare_size;
    probe_read(type, type.page_size, page_and_spare);
    NANDReadyWait();
    probe_read(type, type.block_size - type.page_size, page_and_spare);
    wait_block_end = NANDReadyWait();
    if (type.page_size == LARGE_PAGE_SIZE) {
        NANDCommand(NAND_CMD_READ, 0);
        NANDCommand(NAND_CMD_READ_CONFIRM, 0);
        NANDCommand(NAND_CMD_RANDOM_OUTPUT, NAND_LARGE_SPARE_COLUMN);
        NANDCommand(NAND_CMD_RANDOM_OUTPUT_CONFIRM, NAND_LARGE_SPARE_COLUMN);
    } else {
        NANDCommand(NAND_CMD_READ_SPARE, 0);
    }
    skip_bytes(type.spare_size);
    wait_page_end = NANDReadyWait();
}

uint32_t little_endian32(const uint8_t *bytes)
{
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

} // namespace

uint16_t uAddressShift1[2] = {0, 0};
uint16_t uAddressShift2[2] = {8, 8};
uint16_t uAddressShift3[2] = {16, 16};
uint16_t uAddressShift4[2] = {kUnused, kUnused};
uint16_t uAddressShift5[2] = {kUnused, kUnused};
uint32_t ulAddressMask[2] = {0x1F, 0x1F};
FlashAccessEntry FlashAccess[NAND_CHIPS_XMEM];
uint32_t max_size_NAND = 0;
uint32_t current_command[2] = {0, 0};
uint32_t previous_command[2] = {0, 0};
uint32_t last_addr_command = 0;

int force_ll = 0;
MODULE_PARM(force_ll, "i");
MODULE_PARM_DESC(force_ll, "Forces Format Mode for LP chips : AutoDetect=0 LargeLarge=1 or LargeSmall=2");

uint32_t NANDSelectDevice(uint32_t ulAddress)
{
    if (uCurrentDrive == 0) {
        _sysoutp(NAND_PORT_SELECT, 0);
        return ulAddress;
    }
    for (const FlashAccessEntry &entry : FlashAccess) {
        if (entry.ulStart <= ulAddress && ulAddress < entry.ulEnd) {
            select_xmem_chip(entry.ucSelect);
            return ulAddress - entry.ulStart;
        }
    }
    return NAND_NO_CHIP;
}

void NANDCommand(uint8_t ucCommand, uint32_t ulAddress)
{
    uint16_t drive = uCurrentDrive;
    last_addr_command = ulAddress;
    previous_command[drive] = current_command[drive];
    current_command[drive] = ucCommand;
    if (ucCommand == NAND_CMD_RESET && previous_command[drive] == NAND_CMD_RESET)
        return;
    if (ulAddress == NAND_NO_CHIP)
        return;

    bool large = lpThisMedia->bLargePage != 0;
    bool wait = false;
    switch (ucCommand) {
    case NAND_CMD_RESET:
        NAND_READY = 0;
        send_command(ucCommand);
        wait = true;
        break;
    case NAND_CMD_READ:
    case NAND_CMD_READ_SPARE:
    case NAND_CMD_PROGRAM: {
        NAND_READY = 0;
        send_command(ucCommand);
        uint8_t second = static_cast<uint8_t>((ulAddress >> uAddressShift2[drive]) & 0xFF);
        out_byte(static_cast<uint8_t>((ulAddress >> uAddressShift1[drive]) & 0xFF));
        out_byte(large ? second & kLargeColumnHighMask : second);
        out_byte(static_cast<uint8_t>((ulAddress >> uAddressShift3[drive]) & 0xFF));
        send_high_row_cycles(drive, ulAddress);
        wait = !large && ucCommand != NAND_CMD_PROGRAM;
        break;
    }
    case NAND_CMD_ERASE:
        send_command(ucCommand);
        if (!large)
            out_byte(static_cast<uint8_t>((ulAddress >> uAddressShift2[drive]) & 0xFF));
        out_byte(static_cast<uint8_t>((ulAddress >> uAddressShift3[drive]) & 0xFF));
        send_high_row_cycles(drive, ulAddress);
        break;
    case NAND_CMD_ERASE_CONFIRM:
    case NAND_CMD_PROGRAM_CONFIRM:
    case NAND_CMD_READ_CONFIRM:
        NAND_READY = 0;
        send_command(ucCommand);
        wait = true;
        break;
    case NAND_CMD_RANDOM_OUTPUT:
        send_command(ucCommand);
        out_byte(static_cast<uint8_t>(ulAddress & kRandomColumnLowMask));
        out_byte(static_cast<uint8_t>((ulAddress >> uAddressShift2[drive]) & kRandomColumnHighMask));
        break;
    case NAND_CMD_RANDOM_OUTPUT_CONFIRM:
        UpdateFlashSignals(FLASH_DATA);
        UpdateFlashSignals(FLASH_COMMAND);
        out_byte(ucCommand);
        if (!large)
            UpdateFlashSignals(FLASH_ADDRESS);
        break;
    case NAND_CMD_READ_ID:
        send_command(ucCommand);
        out_byte(0);
        break;
    case NAND_CMD_STATUS:
        send_command(ucCommand);
        break;
    default:
        return;
    }
    UpdateFlashSignals(FLASH_DATA);
    if (wait)
        NANDReadyWait();
}

uint16_t NANDError(uint32_t ulAddress)
{
    NANDCommand(NAND_CMD_STATUS, ulAddress);
    // No chip holds the address, so nothing was done there; the data port would answer for another chip.
    if (ulAddress == NAND_NO_CHIP)
        return 1;
    uint8_t status = _sysinp(NAND_PORT_DATA_IN);
    // A chip that is still busy after its ready wait has not done what was asked.
    if (!(status & kStatusReady))
        return 1;
    return (status & kStatusFail) ? 1 : 0;
}

uint32_t NANDmapblock(uint32_t ulAddress)
{
    uint32_t header_page = lpThisMedia->ulMediaSize - 2 * lpThisMedia->ulBlockSize;
    uint8_t sector[BBM_SECTOR];
    uint32_t chip_address = NANDSelectDevice(header_page);
    NANDCommand(NAND_CMD_RESET, chip_address);
    NANDCommand(NAND_CMD_READ, chip_address);
    NANDCommand(NAND_CMD_READ_CONFIRM, chip_address);
    read_bytes(sector, sizeof sector);
    // Only a valid chunk header may move block 0: a retired header or a client page never does.
    if (ValidBBMHeader(sector) == BBM_HEADER_INVALID)
        return ulAddress;
    uint32_t result = ulAddress;
    for (unsigned entry = 0; entry < BBM_CHUNK_ENTRIES; ++entry) {
        unsigned offset = BBM_OFF_ENTRIES + 4 * entry;
        if (little_endian32(sector + offset) != BBM_ENTRY_REPLACES)
            continue;
        result = lpThisMedia->ulMediaSize - (entry + 1) * lpThisMedia->ulBlockSize;
        printk("<7>%s: Returned Address : 0x%08x i=%d ulStart=%08x\n", "NANDmapblock", result, offset / 4,
               header_page);
    }
    return result;
}

uint16_t NANDIsLargeSmall(uint16_t *pbLargeSmall)
{
    auto *page = static_cast<uint8_t *>(_sysmalloc(LARGE_PAGE_SIZE));
    if (!page)
        return 0;
    uint32_t address = NANDmapblock(0);
    printk("<7>%s: Returned Address : 0x%08x\n", "NANDIsLargeSmall", address);
    uint32_t chip_address = NANDSelectDevice(address);
    NANDCommand(NAND_CMD_RESET, chip_address);
    NANDCommand(NAND_CMD_READ, chip_address);
    NANDCommand(NAND_CMD_READ_CONFIRM, chip_address);
    read_bytes(page, LARGE_PAGE_SIZE);
    switch (force_ll) {
    case 0:
        *pbLargeSmall = page[kLargeSmallMarkOffset] == kLargeSmallMark &&
                                page[kLargeSmallMarkOffset + 1] == kLargeSmallMark &&
                                page[kLargeSmallMarkOffset + 2] == kLargeSmallMark
                            ? 1
                            : 0;
        break;
    case 2:
        *pbLargeSmall = 1;
        break;
    default:
        *pbLargeSmall = 0;
        break;
    }
    _sysfree(page);
    return 1;
}

uint16_t NANDInitDevice()
{
    uint16_t drive = uCurrentDrive;
    ExtndMediaInfo *media = lpThisMedia;
    if (!SetBoardHooks()) {
        printk("<3>%s : unknown board variant 0x%02x, no flash on %s\n", "NANDInitDevice", bvk_machine_id,
               kDriveNames[drive]);
        return 0;
    }
    init_waitqueue_head(&nand_ready_int_wait);
    DecodingDetection();
    if (drive == 1 && !Xmem_present)
        return 0;

    // Entries of an earlier detection must not outlive it.
    if (drive == 1)
        for (FlashAccessEntry &entry : FlashAccess)
            entry = {0, 0, kEmptySelect};

    const ChipType *first = nullptr;
    uint32_t running = 0;
    unsigned found = 0;
    uint8_t maker = 0, device = 0, id_byte4 = 0;
    uint16_t wait_block_end = 0, wait_page_end = 0, ll_mode = 0;
    unsigned selects = drive == 1 ? static_cast<unsigned>(NAND_CHIPS_XMEM) : 1;
    for (unsigned tried = 0; tried < selects && running <= kMaxDriveSize; ++tried) {
        uint8_t select = drive == 1 ? static_cast<uint8_t>(tried + 1) : 0;
        if (drive == 1)
            FlashAccess[found] = {running, running + kProbeEntryLength, select};
        if (drive == 1)
            select_xmem_chip(select);
        else
            _sysoutp(NAND_PORT_SELECT, select);
        NANDCommand(NAND_CMD_RESET, running);
        NANDCommand(NAND_CMD_READ_ID, running);
        uint8_t id[4];
        read_bytes(id, sizeof id);

        const ChipType *type = refused(id[1]) ? nullptr : find_chip_type(id[1], id[3]);
        if (type && first && !same_geometry(*type, *first)) {
            printk("<3>%s : chip 0x%02x at select %d differs from the first chip 0x%02x of %s, refused\n",
                   "NANDInitDevice", id[1], select, first->device, kDriveNames[drive]);
            type = nullptr;
        }
        if (!type) {
            if (drive == 1)
                FlashAccess[found] = {0, 0, kEmptySelect};
            continue;
        }
        if (!first)
            first = type;
        set_address_tables(drive, *type);
        media->bLargePage = type->page_size == LARGE_PAGE_SIZE ? 1 : 0;
        running += type->chip_size;
        if (drive == 1)
            FlashAccess[found].ulEnd = running - 1;
        ++found;
        max_size_NAND = type->chip_size - type->page_size;
        maker = id[0];
        device = id[1];
        id_byte4 = id[3];

        learn_ready_behaviour(*type, wait_block_end, wait_page_end);
        if (type->page_size == LARGE_PAGE_SIZE) {
            media->ulTotalSize = running;
            media->ulMediaSize = running;
            media->ulBlockSize = type->block_size;
            media->uPageSize = type->page_size;
            uint16_t large_small = 0;
            if (!NANDIsLargeSmall(&large_small))
                return 0;
            ll_mode = large_small ? 0 : 1;
        }
    }

    if (drive == 0) {
        _sysoutp(NAND_PORT_SELECT, 0);
        NANDCommand(NAND_CMD_RESET, 0);
    } else {
        for (unsigned chip = 0; chip < found; ++chip) {
            select_xmem_chip(FlashAccess[chip].ucSelect);
            NANDCommand(NAND_CMD_RESET, FlashAccess[chip].ulStart);
        }
    }
    if (running == 0)
        return 0;

    bool large = first->page_size == LARGE_PAGE_SIZE;
    if (large && ll_mode) {
        printk("<6>%s : Found LL mode on %s\n", "NANDInitDevice", kDriveNames[drive]);
        media->lpDevice = &devNAND2048;
        media->lpExtndDevice = &extndDevNAND2048;
    } else {
        printk("<6>%s : Found %cS mode on %s\n", "NANDInitDevice", large ? 'L' : 'S', kDriveNames[drive]);
        media->lpDevice = &devNAND512;
        media->lpExtndDevice = &extndDevNAND;
    }
    media->uType = MEDIA_TYPE_NAND;
    media->uFlags = MEDIA_FLAG_BAD_MARKS | MEDIA_FLAG_EXTENDED;
    media->ulTotalSize = running;
    media->ulMediaSize = running;
    media->ulBlockSize = first->block_size;
    media->ulChipSize = first->chip_size;
    media->uPageSize = first->page_size;
    media->uSpareSize = first->spare_size;
    media->bUseECC = 0;
    media->bUseVBFEcc = 0;
    media->bRawSpare = 0;
    media->bLargePage = large ? 1 : 0;
    media->bWaitPageEnd = wait_page_end;
    media->bWaitBlockEnd = wait_block_end;
    media->ucMakerId = maker;
    media->ucDeviceId = device;
    media->ucIdByte4 = id_byte4;
    media->bLLMode = large ? ll_mode : 0;
    return 1;
}

void NANDChipResetState()
{
    for (unsigned drive = 0; drive < 2; ++drive) {
        uAddressShift1[drive] = 0;
        uAddressShift2[drive] = 8;
        uAddressShift3[drive] = 16;
        uAddressShift4[drive] = kUnused;
        uAddressShift5[drive] = kUnused;
        ulAddressMask[drive] = 0x1F;
        current_command[drive] = previous_command[drive] = 0;
    }
    std::memset(FlashAccess, 0, sizeof FlashAccess);
    max_size_NAND = 0;
    last_addr_command = 0;
    selected_xmem_chip = kEmptySelect;
}
