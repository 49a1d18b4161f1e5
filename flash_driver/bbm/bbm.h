// The bad-block manager: a reserve of blocks at the top of a NAND drive, a map from failed client
// blocks to replacement blocks kept in chunks of 120 entries whose headers are written twice, and an
// exception table for bad blocks whose mark did not stick.
#ifndef TESSARO_BBM_BBM_H
#define TESSARO_BBM_BBM_H

#include "media/media.h"

#include <cstdint>

enum : uint32_t {
    BBM_CHUNK_ENTRIES = 120,
    BBM_EXCEPTIONS = 128,
    BBM_SECTOR = 512,
    BBM_MAX_BLOCK = 0x20000,
};

// Header sector of a chunk (little-endian).
enum : uint32_t {
    BBM_OFF_SIGNATURE = 0,
    BBM_OFF_COUNT = 8,
    BBM_OFF_BLOCK_LOW = 12,
    BBM_OFF_STATE = 14,
    BBM_OFF_COUNT_COPY = 16,
    BBM_OFF_BLOCK_LOW_COPY = 20,
    BBM_OFF_SECTOR_SIZE = 22,
    BBM_OFF_DROP = 24,
    BBM_OFF_FILLER = 26,
    BBM_OFF_BLOCK_HIGH = 28,
    BBM_OFF_BLOCK_HIGH_COPY = 30,
    BBM_OFF_ENTRIES = 32,
    BBM_SIGNATURE_SIZE = 8,
};

enum : uint16_t {
    BBM_STATE_BACKUP = 0xFFFF,
    BBM_STATE_WORKING = 0x0000,
    BBM_STATE_UPDATING = 0xF0F0,
    BBM_NO_DROP = 0xFFFF,
};

enum : uint32_t {
    BBM_ENTRY_FREE = 0xFFFFFFFF,
    BBM_ENTRY_REPLACES = 0x80000000, // + client block number
    BBM_ENTRY_HEADER = 0x7FFFFFFF,
    BBM_ENTRY_FAILED = 0x7FFFFFFE,
    BBM_ENTRY_DEAD = 0,
    BBM_COUNT_PARITY = 0x80000000,
};

// Header validation results.
enum : uint16_t {
    BBM_HEADER_GOOD = 1,
    BBM_HEADER_REPAIRED = 2,
    BBM_HEADER_INVALID = 3,
};

extern const uint8_t acRealBBMSignature[BBM_SIGNATURE_SIZE];

struct BbmInfo {
    uint16_t bMounted;
    uint16_t bAvailable; // clear while a mapping or update runs: nested calls pass addresses unmapped
    uint16_t bUpdating;  // set while a chunk header is rewritten
    uint32_t ulChunks;
    uint32_t ulLowerLimit;
    uint32_t ulExceptionTable;
    uint32_t ulHighestChunk;
    uint32_t ulBlockSize;
    uint16_t bRefused; // the last mount met a chunk in use that does not mount
};
extern BbmInfo bbmInfo[MAX_DRIVES];

// Addresses (of sectors or pages) of bad blocks whose mark did not stick, per drive.
extern uint32_t PhysAddrExceptions[MAX_DRIVES][BBM_EXCEPTIONS];

#pragma pack(push, 1)
struct BbmChipStatus {
    uint32_t ulSize;
    uint16_t uBadBlocks;
    uint16_t uReserved;
};
struct BbmStatus {
    uint32_t ulTotalSize;
    uint32_t ulReserveEntries;
    uint32_t ulReplacements;
    BbmChipStatus chips[5];
};
#pragma pack(pop)
static_assert(sizeof(BbmStatus) == 52, "the status record is copied to user space as 52 bytes");

// What a relocation leaves to its caller, who writes it again on the replacement: a byte range of
// the failing page and bytes of the spares of some of its sectors (bit n: sector n). Everything else
// of the block is copied.
struct BbmRewrite {
    uint16_t uDataOffset;
    uint16_t uDataLength;
    uint8_t uSpareMask;
    bool bWholeBlock; // nothing of the block is kept (an erase, or a block found bad at format)
    // The caller has already written into the replacement it was given: one that fails while the rest
    // is copied is retired and the relocation fails, so that the caller fills the next one itself.
    bool bCallerFilled = false;
    // The bytes of each spare in uSpareMask that the caller writes again: a data write its code
    // (bytes 7-15), a tag write its tag (bytes 0-6); the rest of that spare is copied.
    uint8_t uSpareFirst = 0;
    uint8_t uSpareEnd = SPARE_SIZE;
};

uint16_t bbmmount(uint32_t *pulClientSize, uint32_t *pulBlockSize);
// True when the last mount refused the drive: a chunk in use does not mount, and a fresh one would
// lose its mappings.
uint16_t bbmrefused();
void bbmunmount();
uint32_t bbmmapblock(uint32_t ulAddress);
uint16_t bbmnextblock(uint32_t *pulAddress);
uint16_t bbmaddbadblock(uint32_t ulClient, uint32_t ulPhysical);
// bbmaddbadblock with what the caller writes again itself.
uint16_t bbmrelocate(uint32_t ulClient, uint32_t ulPhysical, const BbmRewrite &rewrite);
// 1 while the manager is mounted and no mapping or update runs: a relocation may start.
uint16_t bbmavailable();
uint16_t bbmdiscoverbadblocks(uint16_t uPercent);
uint16_t bbmformat(uint16_t uPercent);
uint16_t bbmregisterbadblocks();
uint32_t bbmstatus(BbmStatus *pStatus);

// The manager's state as at load: caches empty, no drive mounted, no discovery list.
void bbmreset();

// Validates a chunk sector and repairs a broken field of a pair from its good twin.
uint16_t ValidBBMHeader(uint8_t *pSector);

#endif
