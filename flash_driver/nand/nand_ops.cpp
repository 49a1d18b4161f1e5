// The NAND device operations: every address passes through the bad-block manager's map before it
// reaches a chip, and every program, erase or tag failure ends in the relocation of its block.
#include "nand/nand_ops.h"

#include "bbm/bbm.h"
#include "ecc/spare.h"
#include "media/media.h"
#include "nand/nand_chip.h"
#include "services/services.h"

#include <algorithm>
#include <cstring>

uint16_t gbNANDFimFormatBBM;
uint32_t gDbgGenECCVBFCorrectedData;
uint16_t VerifyErase;

namespace {

constexpr uint16_t kReservePercent = 2;
constexpr uint8_t kErased = 0xFF;
constexpr uint32_t kHiddenUnitMask = 0x7FF; // low bits of a hidden address: the tag's place in its unit
// A block that fails again on each of this many replacements is given up.
constexpr unsigned kMaxRelocations = 8;

// Guard against the relocation's own writes and erases relocating again.
uint16_t bEntered;

uint8_t relocationPage[LARGE_PAGE_SIZE];
uint8_t relocationSpare[LARGE_SPARE_SIZE];
uint8_t tagPage[LARGE_PAGE_SIZE];

bool Large()
{
    return lpThisMedia->bLargePage != 0;
}

void ReadData(uint8_t *buffer, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++)
        buffer[i] = _sysinp(NAND_PORT_DATA_IN);
}

void SkipData(uint32_t count)
{
    for (uint32_t i = 0; i < count; i++)
        _sysinp(NAND_PORT_DATA_IN);
}

void WriteData(const uint8_t *buffer, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++)
        _sysoutp(NAND_PORT_DATA_OUT, buffer[i]);
}

void WriteErased(uint32_t count)
{
    for (uint32_t i = 0; i < count; i++)
        _sysoutp(NAND_PORT_DATA_OUT, kErased);
}

// Waits for the ready edge that the chip gives at the end of a read, where the detection saw one.
void WaitReadEnd(uint32_t ulPhysicalEnd, uint32_t ulChipPage)
{
    const ExtndMediaInfo &media = *lpThisMedia;
    if (Large()) {
        if (ulPhysicalEnd % media.uPageSize == 0 && media.bWaitPageEnd)
            NANDReadyWait();
        return;
    }
    const bool blockEnd = ulPhysicalEnd % media.ulBlockSize == 0;
    if ((!blockEnd && media.bWaitPageEnd) || (blockEnd && media.bWaitBlockEnd && ulChipPage != max_size_NAND))
        NANDReadyWait();
}

// Opens the spare area of the page at a chip-relative address for reading.
void StartSpareRead(uint32_t ulChip)
{
    NANDCommand(NAND_CMD_RESET, ulChip);
    if (Large()) {
        NANDCommand(NAND_CMD_READ, ulChip);
        NANDCommand(NAND_CMD_READ_CONFIRM, ulChip);
        NANDCommand(NAND_CMD_RANDOM_OUTPUT, NAND_LARGE_SPARE_COLUMN);
        NANDCommand(NAND_CMD_RANDOM_OUTPUT_CONFIRM, NAND_LARGE_SPARE_COLUMN);
    } else {
        NANDCommand(NAND_CMD_READ_SPARE, ulChip);
    }
}

// Points the chip back at the data area.
void EndSpareRead(uint32_t ulChip)
{
    NANDCommand(NAND_CMD_READ, ulChip);
    if (Large())
        NANDCommand(NAND_CMD_READ_CONFIRM, ulChip);
    NANDCommand(NAND_CMD_RESET, ulChip);
}

// Programs the spare area of one page, the data bytes left unprogrammed.
bool ProgramSpare(uint32_t ulPhysicalPage, const uint8_t *pImage)
{
    const uint32_t chip = NANDSelectDevice(ulPhysicalPage);
    NANDCommand(NAND_CMD_RESET, chip);
    NANDCommand(NAND_CMD_PROGRAM, chip);
    WriteErased(lpThisMedia->uPageSize);
    WriteData(pImage, lpThisMedia->uSpareSize);
    NANDCommand(NAND_CMD_PROGRAM_CONFIRM, chip);
    return !NANDError(chip);
}

// The relocation of a failing block, with what the caller writes again itself left out of the copy.
uint16_t Relocate(uint16_t bCopy, const uint8_t *pPage, const uint8_t *pSpare, uint32_t ulStart,
                  uint32_t ulPhysical, const BbmRewrite &rewrite)
{
    if (bEntered || !bbmavailable())
        return 0;
    bEntered = 1;
    ExtndMediaInfo &media = *lpThisMedia;
    uint16_t result = 0;
    // Every replacement that fails is recorded as dead, so the reserve bounds this loop.
    for (;;) {
        uint32_t replacement;
        if (!bbmnextblock(&replacement)) {
            // No block is left: the manager reports the worn-down drive.
            bbmrelocate(ulStart, ulPhysical, rewrite);
            break;
        }
        if (oemerase(replacement, media.ulBbmBlockSize) != 1) {
            if (!bbmaddbadblock(replacement, replacement))
                break;
            continue;
        }
        if (!bCopy) {
            result = bbmrelocate(ulStart, ulPhysical, rewrite);
        } else {
            const uint32_t page = media.uPageSize;
            const uint32_t target = replacement + (ulPhysical % media.ulBbmBlockSize) / page * page;
            const uint16_t bRawSpare = media.bRawSpare;
            media.bRawSpare = 1;
            bool copied = oemwrite(target, static_cast<uint16_t>(page), pPage, ACCESS_TYPE_DATA) != 0;
            if (media.bLLMode && Large()) {
                if (copied && !oemwrite(target, LARGE_SPARE_SIZE, pSpare, ACCESS_TYPE_SPARE)) {
                    printk("<3>NANDProcessBadBlock: Failed Copying Spare Part %0x\n", target);
                    copied = false;
                }
            } else {
                for (uint32_t s = 0; copied && s < page / SECTOR_SIZE; s++) {
                    const uint8_t *spare = pSpare + s * SPARE_SIZE;
                    if (std::any_of(spare, spare + SPARE_SIZE, [](uint8_t b) { return b != kErased; }))
                        copied = oemwrite(target + s * SECTOR_SIZE, SPARE_SIZE, spare, ACCESS_TYPE_SPARE) != 0;
                }
            }
            media.bRawSpare = bRawSpare;
            if (!copied) {
                if (!bbmaddbadblock(replacement, replacement))
                    break;
                continue;
            }
            const BbmRewrite pageWritten = {static_cast<uint16_t>(0), static_cast<uint16_t>(page), 0xFF, false, true};
            result = bbmrelocate(ulStart, ulPhysical, pageWritten);
            // A replacement that failed while the rest of the block was copied has been retired: the
            // page goes into the next one.
            uint32_t next = replacement;
            if (!result && (!bbmnextblock(&next) || next != replacement))
                continue;
        }
        if (result)
            printk("<4>[Flash NAND] Bad Block copied to 0x%08x\n", replacement);
        break;
    }
    bEntered = 0;
    return result;
}

// After a relocation the client address must lead somewhere else, or writing again is pointless.
bool Moved(uint32_t ulStart, uint32_t ulPhysical)
{
    return bbmmapblock(ulStart) != ulPhysical;
}

// Reads one tag-checked spare and, when its tag cannot be mended, moves the block with the page and
// the spare as they are.
uint16_t CheckTag(uint32_t ulStart, uint32_t ulPhysical, uint8_t *pSpare, uint8_t *pImage, uint32_t uSlot,
                  const char *pszFunction)
{
    ExtndMediaInfo &media = *lpThisMedia;
    if (!media.bUseVBFEcc)
        return 1;
    uint16_t check = bbmisbadvbf(pSpare);
    if (ulStart != 0 && ulStart == gDbgGenECCVBFCorrectedData) {
        printk("<7>%s: Ok force error to see what will happen", pszFunction);
        check = SPARE_CORRECTED;
        gDbgGenECCVBFCorrectedData = 0;
    }
    if (check == SPARE_CORRECTED) {
        media.bECCHasCorrectedData = 1;
        return 0;
    }
    if (check != SPARE_UNCORRECTABLE)
        return 1;
    const uint32_t page = media.uPageSize;
    const uint32_t pageStart = ulStart - ulStart % page;
    const uint16_t bUseECC = media.bUseECC;
    media.bUseECC = 0;
    const uint16_t read = NANDRead(pageStart, static_cast<uint16_t>(page), tagPage);
    media.bUseECC = bUseECC;
    printk("<3>[Flash NAND] Read Spare with VBFECC check Failed -> Process Bad Block for page 0x%08x\n", ulPhysical);
    std::memcpy(pImage + uSlot * SPARE_SIZE, pSpare, SPARE_SIZE);
    if (read && Relocate(1, tagPage, pImage, ulStart, ulPhysical, BbmRewrite{0, 0, 0, false}))
        media.bECCHasCorrectedData = 0;
    return 0;
}

// The sector (LargeLarge: the page) whose spare holds the tag at a hidden address.
uint32_t HiddenSector(uint32_t ulHidden, bool bLarge)
{
    const uint32_t place = ulHidden & kHiddenUnitMask;
    const uint32_t unit = ulHidden & ~kHiddenUnitMask;
    return bLarge ? unit + place * SECTOR_SIZE : unit + place / TAG_SIZE * SECTOR_SIZE;
}

// A tag place near the drive's end stands for a sector past it, which the chip's address cycles
// would wrap to a low block.
bool InDrive(uint32_t ulSector)
{
    const uint32_t total = lpThisMedia->ulTotalSize;
    return ulSector < total && total - ulSector >= SECTOR_SIZE;
}

uint16_t HiddenRead(uint32_t ulHidden, uint16_t uLength, uint8_t *pBuffer, bool bLarge)
{
    const char *function = bLarge ? "NANDHiddenReadLarge" : "NANDHiddenRead";
    if (bLarge && (ulHidden & (TAG_SIZE - 1)))
        printk("<3>%s: ulStart=%x not %% 2048\n", function, ulHidden);
    for (uint32_t offset = 0; offset + TAG_SIZE <= uLength; offset += TAG_SIZE) {
        const uint32_t address = HiddenSector(ulHidden + offset, bLarge);
        if (!InDrive(address))
            return 0;
        uint8_t spare[LARGE_SPARE_SIZE];
        const uint16_t read = bLarge ? NANDRedundantReadLarge(address, SPARE_SIZE, spare)
                                     : NANDRedundantRead(address, SPARE_SIZE, spare);
        if (!read) {
            printk(bLarge ? "<3>%s: Failed NANDRedundantReadLarge at @=0x%x\n"
                          : "<3>%s: Failed NANDRedundantRead at @=0x%x\n",
                   function, address);
            if (!lpThisMedia->bECCHasCorrectedData)
                return 0;
        }
        std::memcpy(pBuffer + offset, spare, TAG_SIZE);
        if (spare[SPARE_TAG] == kErased)
            return 1;
    }
    return 1;
}

uint16_t HiddenWrite(uint32_t ulHidden, uint16_t uLength, const uint8_t *pBuffer, bool bLarge)
{
    for (uint32_t offset = 0; offset + TAG_SIZE <= uLength; offset += TAG_SIZE) {
        const uint32_t address = HiddenSector(ulHidden + offset, bLarge);
        if (!InDrive(address))
            return 0;
        uint8_t spare[SPARE_SIZE];
        std::memset(spare, kErased, sizeof spare);
        std::memcpy(spare, pBuffer + offset, TAG_SIZE);
        const uint16_t written = bLarge ? lpThisMedia->lpExtndDevice->RedundantWrite(address, SPARE_SIZE, spare)
                                        : NANDRedundantWrite(address, SPARE_SIZE, spare);
        if (!written)
            return 0;
    }
    return 1;
}

uint16_t RedundantWrite(uint32_t ulStart, uint16_t uLength, const uint8_t *pBuffer, bool bLarge)
{
    ExtndMediaInfo &media = *lpThisMedia;
    const uint32_t page = media.uPageSize;
    if (uLength < SPARE_SIZE)
        return 0;
    uint8_t image[LARGE_SPARE_SIZE];
    std::memset(image, kErased, sizeof image);
    const uint32_t length = bLarge ? std::min<uint32_t>(uLength, LARGE_SPARE_SIZE) : uint32_t{SPARE_SIZE};
    for (unsigned tries = 0; tries < kMaxRelocations; tries++) {
        const uint32_t physical = bbmmapblock(ulStart);
        if (bLarge && physical % page)
            printk("<3>NANDRedundantWriteLarge%s: ulStart=%x not %% 2048\n", "NANDRedundantWriteLarge", ulStart);
        const uint32_t column = Large() ? physical % page : 0;
        const uint32_t slot = bLarge ? 0 : column / SECTOR_SIZE;
        std::memcpy(image + slot * SPARE_SIZE, pBuffer, length);
        bbmbuildVBFredundant(image + slot * SPARE_SIZE);
        if (ProgramSpare(physical - column, image))
            return 1;
        printk("<3>[Flash NAND] Write Spare Failed -> Process Bad Block for page 0x%08x\n", physical);
        // The whole spare is copied, the tag as it stands, and the tag is programmed again over it on
        // the replacement: a tag changes only by clearing bits, so a cut before that leaves it as it
        // was; left out, it would read unwritten and end its unit's list there.
        if (!Relocate(0, nullptr, nullptr, ulStart, physical, BbmRewrite{0, 0, 0, false}) ||
            !Moved(ulStart, physical))
            return 0;
    }
    return 0;
}

uint16_t RedundantRead(uint32_t ulStart, uint16_t uLength, uint8_t *pBuffer, bool bLarge)
{
    ExtndMediaInfo &media = *lpThisMedia;
    const uint32_t page = media.uPageSize;
    if (uLength < SPARE_SIZE)
        return 0;
    const char *function = bLarge ? "NANDRedundantReadLarge" : "NANDRedundantRead";
    const uint32_t physical = bbmmapblock(ulStart);
    if (bLarge && physical % page)
        printk("<3>%s: ulStart=%x not %% 2048\n", function, ulStart);
    const uint32_t column = Large() ? physical % page : 0;
    const uint32_t pagePhysical = physical - column;
    const uint32_t chip = NANDSelectDevice(pagePhysical);
    StartSpareRead(chip);
    uint8_t image[LARGE_SPARE_SIZE];
    ReadData(image, media.uSpareSize);
    const uint32_t slot = bLarge ? 0 : column / SECTOR_SIZE;
    const uint32_t length = bLarge ? std::min<uint32_t>(uLength, LARGE_SPARE_SIZE) : uint32_t{SPARE_SIZE};
    std::memcpy(pBuffer, image + slot * SPARE_SIZE, length);
    WaitReadEnd(pagePhysical + page, chip);
    EndSpareRead(chip);
    return CheckTag(ulStart, physical, pBuffer, image, slot, function);
}

} // namespace

uint16_t NANDMount()
{
    NAND_READY = 0;
    if (uCurrentDrive == 1 && !Xmem_present)
        return 0;
    if (!NANDInitDevice())
        return 0;
    ExtndMediaInfo &media = *lpThisMedia;
    if (!gbNANDFimFormatBBM && bbmmount(&media.ulMediaSize, &media.ulBbmBlockSize))
        return 1;
    // A table that holds mappings it cannot reach is no reason to test and format the chip afresh.
    if (!gbNANDFimFormatBBM && bbmrefused())
        return 0;
    // No valid bad-block table, or a format was asked for: find the bad blocks and format.
    gbNANDFimFormatBBM = 0;
    const uint16_t bRawSpare = media.bRawSpare;
    media.bRawSpare = 1;
    const uint16_t discovered = bbmdiscoverbadblocks(kReservePercent);
    media.bRawSpare = bRawSpare;
    if (!discovered)
        return 0;
    bbmformat(kReservePercent);
    // A table that does not mount right after its format leaves the drive without a mapping: refuse
    // it rather than offer the whole chip, reserve included.
    if (!bbmmount(&media.ulMediaSize, &media.ulBbmBlockSize)) {
        bbmunmount();
        return 0;
    }
    return bbmregisterbadblocks() ? 1 : 0;
}

void NANDUnMount()
{
    bbmunmount();
}

uint16_t NANDRead(uint32_t ulStart, uint16_t uLength, uint8_t *pBuffer)
{
    ExtndMediaInfo &media = *lpThisMedia;
    const uint32_t page = media.uPageSize;
    if (ulStart % SECTOR_SIZE || uLength % SECTOR_SIZE)
        return 0;
    uint16_t result = 1;
    while (uLength > 0) {
        const uint32_t column = ulStart % page;
        const uint32_t piece = std::min<uint32_t>(uLength, page - column);
        const uint32_t physical = bbmmapblock(ulStart);
        const uint32_t chip = NANDSelectDevice(physical);
        NANDCommand(NAND_CMD_RESET, chip);
        NANDCommand(NAND_CMD_READ, chip);
        if (Large())
            NANDCommand(NAND_CMD_READ_CONFIRM, chip);
        ReadData(pBuffer, piece);
        const uint32_t sectors = piece / SECTOR_SIZE;
        uint8_t spares[LARGE_SPARE_SIZE];
        if (media.bUseECC) {
            if (Large()) {
                NANDCommand(NAND_CMD_RANDOM_OUTPUT, NAND_LARGE_SPARE_COLUMN);
                NANDCommand(NAND_CMD_RANDOM_OUTPUT_CONFIRM, NAND_LARGE_SPARE_COLUMN);
                SkipData(column / SECTOR_SIZE * SPARE_SIZE);
            }
            ReadData(spares, sectors * SPARE_SIZE);
        }
        NANDCommand(NAND_CMD_DATA_TRANSFER, chip);
        if (media.bUseECC) {
            WaitReadEnd(physical + piece, chip - column);
            for (uint32_t s = 0; s < sectors; s++) {
                uint16_t check = bbmisbadblock(pBuffer + s * SECTOR_SIZE, spares + s * SPARE_SIZE);
                if (media.uProcData) {
                    check = SPARE_CORRECTED;
                    media.uProcData--;
                }
                if (check == SPARE_CORRECTED) {
                    media.bECCHasCorrectedData = 1;
                    result = 0;
                } else if (check == SPARE_UNCORRECTABLE) {
                    printk("<3>[Flash NAND] CheckECC Status : DATA_INVALID --> ABANDONNED!!\n");
                    media.bECCHasCorrectedData = 0;
                    return 0;
                }
            }
        }
        ulStart += piece;
        pBuffer += piece;
        uLength = static_cast<uint16_t>(uLength - piece);
    }
    return result;
}

uint16_t NANDWrite(uint32_t ulStart, uint16_t uLength, const uint8_t *pBuffer)
{
    ExtndMediaInfo &media = *lpThisMedia;
    const uint32_t page = media.uPageSize;
    // A spare is built for each whole sector only.
    if (media.bUseECC && (ulStart % SECTOR_SIZE || uLength % SECTOR_SIZE))
        return 0;
    while (uLength > 0) {
        const uint32_t column = ulStart % page;
        const uint32_t piece = std::min<uint32_t>(uLength, page - column);
        const uint32_t sectorsBefore = column / SECTOR_SIZE;
        bool written = false;
        for (unsigned tries = 0; tries < kMaxRelocations && !written; tries++) {
            const uint32_t physical = bbmmapblock(ulStart);
            const uint32_t chip = NANDSelectDevice(physical - column);
            NANDCommand(NAND_CMD_RESET, chip);
            uint8_t spares[LARGE_SPARE_SIZE];
            std::memset(spares, kErased, sizeof spares);
            if (media.bUseECC)
                for (uint32_t s = 0; s < piece / SECTOR_SIZE; s++)
                    bbmbuildredundant(pBuffer + s * SECTOR_SIZE, spares + (sectorsBefore + s) * SPARE_SIZE);
            NANDCommand(NAND_CMD_PROGRAM, chip);
            WriteErased(column);
            WriteData(pBuffer, piece);
            if (media.bUseECC) {
                WriteErased(page - column - piece);
                WriteData(spares, (sectorsBefore + piece / SECTOR_SIZE) * SPARE_SIZE);
            }
            NANDCommand(NAND_CMD_PROGRAM_CONFIRM, chip);
            if (!NANDError(chip)) {
                written = true;
                break;
            }
            printk("<3>[Flash NAND] Write Failed -> Process Bad Block for page 0x%08x\n", physical);
            // The page moves as it stands and is programmed again on the replacement, as the spare of
            // a failing tag: a page changed in place (a unit header's state) keeps its old bytes until then.
            if (!Relocate(0, nullptr, nullptr, ulStart, physical, BbmRewrite{0, 0, 0, false}) || !Moved(ulStart, physical))
                return 0;
        }
        if (!written)
            return 0;
        ulStart += piece;
        pBuffer += piece;
        uLength = static_cast<uint16_t>(uLength - piece);
    }
    return 1;
}

uint16_t NANDErase(uint32_t ulStart, uint32_t ulLength)
{
    ExtndMediaInfo &media = *lpThisMedia;
    const uint32_t bs = media.ulBlockSize;
    const uint32_t blocks = ulLength <= bs ? 1 : (ulLength + bs - 1) / bs;
    for (uint32_t b = 0; b < blocks; b++) {
        const uint32_t start = ulStart + b * bs;
        bool erased = false;
        for (unsigned tries = 0; tries < kMaxRelocations && !erased; tries++) {
            const uint32_t physical = bbmmapblock(start);
            const uint32_t chip = NANDSelectDevice(physical);
            NANDCommand(NAND_CMD_RESET, chip);
            NANDCommand(NAND_CMD_ERASE, chip);
            NANDCommand(NAND_CMD_ERASE_CONFIRM, chip);
            bool failed = NANDError(chip) != 0;
            if (!failed && VerifyErase) {
                uint8_t spare[LARGE_SPARE_SIZE];
                const bool largeLarge = media.bLLMode && Large();
                const uint32_t pieces = largeLarge ? 1 : media.uPageSize / SECTOR_SIZE;
                const uint16_t pieceSize = largeLarge ? LARGE_SPARE_SIZE : SPARE_SIZE;
                for (uint32_t p = 0; p < pieces && !failed; p++) {
                    if (!media.lpExtndDevice->RedundantRead(start + p * SECTOR_SIZE, pieceSize, spare)) {
                        failed = true;
                        break;
                    }
                    for (uint32_t i = 0; i < pieceSize; i++) {
                        if (spare[i] != kErased) {
                            printk("<3>NANDEraseFailed erase check at 0x%x\n", i);
                            failed = true;
                            break;
                        }
                    }
                }
                const uint16_t bUseECC = media.bUseECC;
                media.bUseECC = 0;
                if (!failed && !NANDRead(start, static_cast<uint16_t>(media.uPageSize), tagPage))
                    failed = true;
                media.bUseECC = bUseECC;
                for (uint32_t i = 0; !failed && i < media.uPageSize; i++)
                    failed = tagPage[i] != kErased;
                failed = failed || NANDError(chip);
            }
            if (!failed) {
                erased = true;
                break;
            }
            printk("<3>[Flash NAND] Erase Failed -> Process Bad Block for page 0x%08x\n", physical);
            if (!Relocate(0, nullptr, nullptr, start, physical, BbmRewrite{0, 0, 0, true}) || !Moved(start, physical))
                return 0;
        }
        if (!erased)
            return 0;
    }
    return 1;
}

uint16_t NANDRedundantRead(uint32_t ulStart, uint16_t uLength, uint8_t *pBuffer)
{
    return RedundantRead(ulStart, uLength, pBuffer, false);
}

uint16_t NANDRedundantReadLarge(uint32_t ulStart, uint16_t uLength, uint8_t *pBuffer)
{
    return RedundantRead(ulStart, uLength, pBuffer, true);
}

uint16_t NANDRedundantWrite(uint32_t ulStart, uint16_t uLength, const uint8_t *pBuffer)
{
    return RedundantWrite(ulStart, uLength, pBuffer, false);
}

uint16_t NANDRedundantWriteLarge(uint32_t ulStart, uint16_t uLength, const uint8_t *pBuffer)
{
    return RedundantWrite(ulStart, uLength, pBuffer, true);
}

uint16_t NANDHiddenRead(uint32_t ulHidden, uint16_t uLength, uint8_t *pBuffer)
{
    return HiddenRead(ulHidden, uLength, pBuffer, false);
}

uint16_t NANDHiddenReadLarge(uint32_t ulHidden, uint16_t uLength, uint8_t *pBuffer)
{
    return HiddenRead(ulHidden, uLength, pBuffer, true);
}

uint16_t NANDHiddenWrite(uint32_t ulHidden, uint16_t uLength, const uint8_t *pBuffer)
{
    return HiddenWrite(ulHidden, uLength, pBuffer, false);
}

uint16_t NANDHiddenWriteLarge(uint32_t ulHidden, uint16_t uLength, const uint8_t *pBuffer)
{
    return HiddenWrite(ulHidden, uLength, pBuffer, true);
}

uint16_t NANDProcessBadBlock(uint16_t bCopy, const uint8_t *pPage, const uint8_t *pSpare, uint32_t ulStart,
                             uint32_t ulPhysical)
{
    const BbmRewrite rewrite = {0, lpThisMedia->uPageSize, 0xFF, false};
    return Relocate(bCopy, pPage, pSpare, ulStart, ulPhysical, rewrite);
}

uint16_t NANDRegisterBadBlock(uint16_t bCopy, const uint8_t *pSector, uint32_t ulStart)
{
    ExtndMediaInfo &media = *lpThisMedia;
    if (bCopy && pSector == nullptr)
        return 0;
    const uint32_t physical = bbmmapblock(ulStart);
    // Nobody writes anything of this block again: without a new sector, all of it is copied.
    if (!bCopy)
        return Relocate(0, nullptr, nullptr, ulStart, physical, BbmRewrite{0, 0, 0, false});
    // The new sector goes into the page as it stands, so that the page's other sectors and spares move
    // with it.
    const uint32_t page = media.uPageSize;
    const uint32_t pageStart = ulStart - ulStart % page;
    std::memset(relocationPage, kErased, sizeof relocationPage);
    std::memset(relocationSpare, kErased, sizeof relocationSpare);
    const uint16_t bUseECC = media.bUseECC;
    const uint16_t bUseVBFEcc = media.bUseVBFEcc;
    media.bUseECC = 0;
    media.bUseVBFEcc = 0;
    bool read = NANDRead(pageStart, static_cast<uint16_t>(page), relocationPage) != 0;
    const bool largeLarge = media.bLLMode && Large();
    for (uint32_t s = 0; read && s < (largeLarge ? 1 : page / SECTOR_SIZE); s++)
        read = media.lpExtndDevice->RedundantRead(pageStart + s * SECTOR_SIZE, largeLarge ? LARGE_SPARE_SIZE : SPARE_SIZE,
                                                  relocationSpare + s * SPARE_SIZE) != 0;
    media.bUseECC = bUseECC;
    media.bUseVBFEcc = bUseVBFEcc;
    if (!read)
        return 0;
    const uint32_t sector = (ulStart - pageStart) / SECTOR_SIZE;
    std::memcpy(relocationPage + sector * SECTOR_SIZE, pSector, SECTOR_SIZE);
    // A sector that carried its code gets the code of its new bytes; its tag stays.
    uint8_t *spare = relocationSpare + sector * SPARE_SIZE;
    if (spare[SPARE_CODE_TAG] == CODE_TAG_WITH_CODE) {
        uint8_t rebuilt[SPARE_SIZE];
        media.bUseECC = 1;
        bbmbuildredundant(pSector, rebuilt);
        media.bUseECC = bUseECC;
        std::memcpy(spare + SPARE_CODE_SECOND, rebuilt + SPARE_CODE_SECOND, SPARE_SIZE - SPARE_CODE_SECOND);
    }
    return NANDProcessBadBlock(1, relocationPage, relocationSpare, ulStart, physical);
}

uint16_t NANDUpgradeEccTag(uint32_t ulStart)
{
    // The spare access below maps the address itself: given the client address, a write that fails
    // moves the block on behalf of its client block, not of the replacement it sits in.
    return bbmupgradeecctag(ulStart);
}

void NANDResetState()
{
    gbNANDFimFormatBBM = 0;
    gDbgGenECCVBFCorrectedData = 0;
    VerifyErase = 0;
    bEntered = 0;
    std::memset(relocationPage, 0, sizeof relocationPage);
    std::memset(relocationSpare, 0, sizeof relocationSpare);
    std::memset(tagPage, 0, sizeof tagPage);
}
