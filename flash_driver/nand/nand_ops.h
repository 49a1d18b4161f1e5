// The NAND device operations behind the media layer's records: mount, page reads and programs with
// per-sector code, block erases, spare ("redundant") access, the translation layer's hidden tags and
// the relocation of failing blocks.
#ifndef TESSARO_NAND_NAND_OPS_H
#define TESSARO_NAND_NAND_OPS_H

#include <cstdint>

// Offsets in the 16-byte spare of one 512-byte sector.
enum : uint16_t {
    SPARE_TAG = 0,
    SPARE_TAG_CHECK = 4,
    SPARE_TAG_PARITY = 5,
    SPARE_PROGRESS = 6,
    SPARE_CODE_TAG = 7,
    SPARE_CODE_SECOND = 8,
    SPARE_CODE_FIRST = 12,
};

// Switches that other layers set: a format of the bad-block area at the next mount, a spare address at
// which the tag check reports a correction (test aid), and the blank check after every erase.
extern uint16_t gbNANDFimFormatBBM;
extern uint32_t gDbgGenECCVBFCorrectedData;
extern uint16_t VerifyErase;

// The page operations' state as at load: no relocation running, switches off, buffers clear.
void NANDResetState();

uint16_t NANDMount();
void NANDUnMount();
uint16_t NANDRead(uint32_t ulStart, uint16_t uLength, uint8_t *pBuffer);
uint16_t NANDWrite(uint32_t ulStart, uint16_t uLength, const uint8_t *pBuffer);
uint16_t NANDErase(uint32_t ulStart, uint32_t ulLength);
uint16_t NANDRedundantRead(uint32_t ulStart, uint16_t uLength, uint8_t *pBuffer);
uint16_t NANDRedundantReadLarge(uint32_t ulStart, uint16_t uLength, uint8_t *pBuffer);
uint16_t NANDRedundantWrite(uint32_t ulStart, uint16_t uLength, const uint8_t *pBuffer);
uint16_t NANDRedundantWriteLarge(uint32_t ulStart, uint16_t uLength, const uint8_t *pBuffer);
uint16_t NANDHiddenRead(uint32_t ulHidden, uint16_t uLength, uint8_t *pBuffer);
uint16_t NANDHiddenReadLarge(uint32_t ulHidden, uint16_t uLength, uint8_t *pBuffer);
uint16_t NANDHiddenWrite(uint32_t ulHidden, uint16_t uLength, const uint8_t *pBuffer);
uint16_t NANDHiddenWriteLarge(uint32_t ulHidden, uint16_t uLength, const uint8_t *pBuffer);
// Moves the block of a failing page to a replacement block; with bCopy the given page (2048 bytes)
// and its spare (64 bytes) are written there first, in place of what the failing page holds.
uint16_t NANDProcessBadBlock(uint16_t bCopy, const uint8_t *pPage, const uint8_t *pSpare, uint32_t ulStart,
                             uint32_t ulPhysical);
uint16_t NANDRegisterBadBlock(uint16_t bCopy, const uint8_t *pSector, uint32_t ulStart);
uint16_t NANDUpgradeEccTag(uint32_t ulStart);

#endif
