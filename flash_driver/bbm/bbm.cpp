// The bad-block manager. Chunk c of the reserve covers the blocks at T - bs * (120c + i + 1), entry i
// describing that block; each chunk keeps a working header and, one block above it, a backup, so that a
// power loss in the middle of an update is repaired at the next mount from whichever copy is whole.
#include "bbm/bbm.h"

#include "ecc/spare.h"
#include "nand/nand_ops.h"
#include "nand/nand_chip.h"
#include "services/services.h"

#include <algorithm>
#include <cstring>

const uint8_t acRealBBMSignature[BBM_SIGNATURE_SIZE] = {0xDB, 0xC0, 0x95, 0x77, 0x7A, 0x5C, 0xF7, 0x2C};
BbmInfo bbmInfo[MAX_DRIVES];
uint32_t PhysAddrExceptions[MAX_DRIVES][BBM_EXCEPTIONS];

namespace {

constexpr uint32_t kUnmounted = 0xBAD0BAD0; // block size, lower limit and mapping cache of no drive
constexpr uint16_t kNoEntry = 0xFFFF;
constexpr uint32_t kBlockSizeHighHalves = 32768; // above it the header's high halves count
constexpr uint32_t kCountMask = 0x7FFFFFFF;
constexpr uint32_t kMaxPercent = 25;
constexpr uint32_t kEntrySearchMargin = 6;
constexpr uint32_t kStatusEntriesPerChunk = 114;
constexpr uint32_t kOneMegabyte = 0x100000;
// Bounds that keep a failing chip from holding the driver forever.
constexpr uint32_t kMaxHeaderMoves = 8;
constexpr uint32_t kMaxReplacementTries = 8;
constexpr uint32_t kMaxScanSteps = 4 * BBM_CHUNK_ENTRIES;

constexpr uint8_t kStressPattern1 = 0x55;
constexpr uint8_t kStressPattern2 = 0xAA;
constexpr uint8_t kProgramPattern = 0xAA;
constexpr uint8_t kErased = 0xFF;
// Spare of every sector (or page) of a bad block: bytes 4-7 zero.
constexpr uint8_t kBadMark[SPARE_SIZE] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0,
                                          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr uint32_t kBadMarkOffset = 4;

// The one chunk whose working header is in memory.
struct BbmCache {
    uint16_t bValid;
    uint16_t uDrive;
    uint32_t ulChunk;
    uint32_t ulHeader; // address of the working header block
    uint16_t bEnd;     // the last search met a free entry
    uint16_t uFirstFree;
    uint16_t uFound;
    uint8_t sector[BBM_SECTOR];
};
BbmCache bbmCache;

// The last client address mapped on each drive, and where it went.
struct MapCache {
    uint32_t ulClient;
    uint32_t ulPhysical;
};
MapCache mapCache[MAX_DRIVES] = {{kUnmounted, kUnmounted}, {kUnmounted, kUnmounted}};

// Blocks that the discovery found bad, closed by 0.
uint32_t *discoveryList;

uint8_t stressPage[LARGE_PAGE_SIZE];
uint8_t copyPage[LARGE_PAGE_SIZE];
uint8_t copySpare[LARGE_SPARE_SIZE];

uint16_t Get16(const uint8_t *p, uint32_t offset)
{
    return static_cast<uint16_t>(p[offset] | (p[offset + 1] << 8));
}

void Put16(uint8_t *p, uint32_t offset, uint16_t value)
{
    p[offset] = static_cast<uint8_t>(value);
    p[offset + 1] = static_cast<uint8_t>(value >> 8);
}

uint32_t Get32(const uint8_t *p, uint32_t offset)
{
    return Get16(p, offset) | static_cast<uint32_t>(Get16(p, offset + 2)) << 16;
}

void Put32(uint8_t *p, uint32_t offset, uint32_t value)
{
    Put16(p, offset, static_cast<uint16_t>(value));
    Put16(p, offset + 2, static_cast<uint16_t>(value >> 16));
}

uint32_t Entry(const uint8_t *sector, uint32_t i)
{
    return Get32(sector, BBM_OFF_ENTRIES + 4 * i);
}

void SetEntry(uint8_t *sector, uint32_t i, uint32_t value)
{
    Put32(sector, BBM_OFF_ENTRIES + 4 * i, value);
}

BbmInfo &Info()
{
    return bbmInfo[uCurrentDrive];
}

uint32_t Total()
{
    return lpThisMedia->ulTotalSize;
}

bool LargeLarge()
{
    return lpThisMedia->bLargePage && lpThisMedia->bLLMode;
}

bool MarksOnFlash()
{
    const uint8_t both = MEDIA_FLAG_BAD_MARKS | MEDIA_FLAG_EXTENDED;
    return (lpThisMedia->uFlags & both) == both;
}

bool OddOnes(uint32_t value)
{
    return __builtin_popcount(value) & 1;
}

// The count with its parity bit, so that the 32-bit value has an odd number of ones.
uint32_t WithParity(uint32_t count)
{
    count &= kCountMask;
    return OddOnes(count) ? count : count | BBM_COUNT_PARITY;
}

// Address of the block that entry i of chunk c describes; negative below the drive's start.
int64_t EntryBlock(uint32_t c, uint32_t i)
{
    return static_cast<int64_t>(Total()) -
           static_cast<int64_t>(Info().ulBlockSize) * (int64_t{BBM_CHUNK_ENTRIES} * c + i + 1);
}

uint32_t ReserveBlocks()
{
    const BbmInfo &info = Info();
    if (info.ulBlockSize == 0 || info.ulLowerLimit >= Total())
        return 0;
    return (Total() - info.ulLowerLimit) / info.ulBlockSize;
}

// Entries of chunk c whose blocks lie at or above the lower limit.
uint32_t ChunkEntries(uint32_t c)
{
    const uint64_t n = ReserveBlocks();
    const uint64_t before = uint64_t{BBM_CHUNK_ENTRIES} * c;
    return n <= before ? 0 : static_cast<uint32_t>(std::min<uint64_t>(BBM_CHUNK_ENTRIES, n - before));
}

void EmptyMapCache(uint16_t uDrive)
{
    mapCache[uDrive] = {kUnmounted, kUnmounted};
}

void RecordBBMInfo(const uint8_t *sector)
{
    BbmInfo &info = Info();
    uint32_t bs = Get16(sector, BBM_OFF_BLOCK_LOW);
    if (lpThisMedia->ulBlockSize > kBlockSizeHighHalves)
        bs |= static_cast<uint32_t>(Get16(sector, BBM_OFF_BLOCK_HIGH)) << 16;
    const uint64_t count = Get32(sector, BBM_OFF_COUNT) & kCountMask;
    info.ulBlockSize = bs;
    info.ulExceptionTable = static_cast<uint32_t>(count * bs);
    info.ulLowerLimit = static_cast<uint32_t>((count + 1) * bs);
    const uint32_t n = ReserveBlocks();
    uint32_t chunks = (n + BBM_CHUNK_ENTRIES - 1) / BBM_CHUNK_ENTRIES;
    // A last chunk of one or two blocks cannot hold its header pair.
    if (n % BBM_CHUNK_ENTRIES == 1 || n % BBM_CHUNK_ENTRIES == 2)
        chunks--;
    info.ulChunks = chunks;
}

void BuildHeader(uint8_t *sector, uint32_t count, uint32_t bs, uint16_t state)
{
    std::memset(sector, kErased, BBM_SECTOR);
    std::memcpy(sector + BBM_OFF_SIGNATURE, acRealBBMSignature, BBM_SIGNATURE_SIZE);
    Put32(sector, BBM_OFF_COUNT, WithParity(count));
    Put32(sector, BBM_OFF_COUNT_COPY, WithParity(count));
    Put16(sector, BBM_OFF_BLOCK_LOW, static_cast<uint16_t>(bs));
    Put16(sector, BBM_OFF_BLOCK_LOW_COPY, static_cast<uint16_t>(bs));
    Put16(sector, BBM_OFF_BLOCK_HIGH, static_cast<uint16_t>(bs >> 16));
    Put16(sector, BBM_OFF_BLOCK_HIGH_COPY, static_cast<uint16_t>(bs >> 16));
    Put16(sector, BBM_OFF_STATE, state);
    Put16(sector, BBM_OFF_SECTOR_SIZE, BBM_SECTOR);
    Put16(sector, BBM_OFF_DROP, BBM_NO_DROP);
}

bool ReadSector(int64_t address, uint8_t *sector)
{
    return oemread(static_cast<uint32_t>(address), BBM_SECTOR, sector, ACCESS_TYPE_RAW) != 0;
}

bool EraseBlock(int64_t address)
{
    return oemerase(static_cast<uint32_t>(address), Info().ulBlockSize) == 1;
}

// A header reaches the flash in two programs, the signature last, so that a torn first program
// leaves a sector that is no header at all. The result is read back and must be the same header.
bool WriteHeaderSector(int64_t address, const uint8_t *sector)
{
    uint8_t unsigned_[BBM_SECTOR];
    std::memcpy(unsigned_, sector, BBM_SECTOR);
    std::memset(unsigned_ + BBM_OFF_SIGNATURE, kErased, BBM_SIGNATURE_SIZE);
    const uint32_t at = static_cast<uint32_t>(address);
    if (!oemwrite(at, BBM_SECTOR, unsigned_, ACCESS_TYPE_RAW) || !oemwrite(at, BBM_SECTOR, sector, ACCESS_TYPE_RAW))
        return false;
    uint8_t back[BBM_SECTOR];
    if (!ReadSector(address, back) || ValidBBMHeader(back) == BBM_HEADER_INVALID)
        return false;
    return std::memcmp(back, sector, BBM_SECTOR) == 0;
}

bool CheckBlock(int64_t address, uint8_t value)
{
    const uint32_t page = lpThisMedia->uPageSize;
    for (uint32_t offset = 0; offset < Info().ulBlockSize; offset += page) {
        if (!oemread(static_cast<uint32_t>(address + offset), static_cast<uint16_t>(page), stressPage, ACCESS_TYPE_DATA))
            return false;
        for (uint32_t i = 0; i < page; i++)
            if (stressPage[i] != value)
                return false;
    }
    return true;
}

bool FillBlock(int64_t address, uint8_t value)
{
    const uint32_t page = lpThisMedia->uPageSize;
    std::memset(stressPage, value, page);
    for (uint32_t offset = 0; offset < Info().ulBlockSize; offset += page)
        if (!oemwrite(static_cast<uint32_t>(address + offset), static_cast<uint16_t>(page), stressPage,
                      ACCESS_TYPE_DATA))
            return false;
    return true;
}

bool StressTest(int64_t address)
{
    return EraseBlock(address) && CheckBlock(address, kErased) && FillBlock(address, kStressPattern1) &&
           CheckBlock(address, kStressPattern1) && EraseBlock(address) && CheckBlock(address, kErased) &&
           FillBlock(address, kStressPattern2) && CheckBlock(address, kStressPattern2) && EraseBlock(address) &&
           CheckBlock(address, kErased);
}

// Retires a header block: whatever it held must never again be taken for a header.
void ClearHeaderBlock(int64_t address)
{
    uint8_t zero[BBM_SECTOR] = {};
    EraseBlock(address);
    oemwrite(static_cast<uint32_t>(address), BBM_SECTOR, zero, ACCESS_TYPE_RAW);
}

uint16_t LoadCache(uint32_t c, int64_t header, const uint8_t *sector)
{
    BbmInfo &info = Info();
    std::memcpy(bbmCache.sector, sector, BBM_SECTOR);
    bbmCache.bValid = 1;
    bbmCache.uDrive = uCurrentDrive;
    bbmCache.ulChunk = c;
    bbmCache.ulHeader = static_cast<uint32_t>(header);
    bbmCache.bEnd = 0;
    bbmCache.uFirstFree = kNoEntry;
    bbmCache.uFound = kNoEntry;
    info.ulHighestChunk = std::max(info.ulHighestChunk, c);
    return 1;
}

uint16_t MountChunk(uint32_t c);

// Writes the working header of a chunk anew in the given state (step 1 of an update).
bool WriteWorking(int64_t header, const uint8_t *sector, uint16_t state)
{
    Info().bUpdating = 1;
    uint8_t working[BBM_SECTOR];
    std::memcpy(working, sector, BBM_SECTOR);
    Put16(working, BBM_OFF_STATE, state);
    return EraseBlock(header) && WriteHeaderSector(header, working);
}

// Drops the old mapping that a chunk's header names by entry index in another chunk: that chunk's entry
// loses bit 31 and its working header is rewritten in the updating state, finished at its next mount.
bool DropElsewhere(uint32_t c, uint32_t value)
{
    const BbmInfo &info = Info();
    for (uint32_t d = 0; d < info.ulChunks; d++) {
        if (d == c || !MountChunk(d))
            continue;
        const uint32_t entries = ChunkEntries(d);
        for (uint32_t i = 0; i < entries && Entry(bbmCache.sector, i) != BBM_ENTRY_FREE; i++) {
            if (Entry(bbmCache.sector, i) != value)
                continue;
            SetEntry(bbmCache.sector, i, value & ~BBM_ENTRY_REPLACES);
            const bool written = WriteWorking(bbmCache.ulHeader, bbmCache.sector, BBM_STATE_UPDATING);
            bbmCache.bValid = 0;
            return written;
        }
    }
    bbmCache.bValid = 0;
    return true;
}

// Steps 2 to 4 of an update of the header pair whose working copy is at `header`: the backup, the
// drop of an old mapping in another chunk, and the working copy's state programmed to 0 in place.
bool FinishUpdate(uint32_t c, int64_t header, const uint8_t *sector)
{
    BbmInfo &info = Info();
    info.bUpdating = 1;
    const int64_t backupAt = header + info.ulBlockSize;
    uint8_t backup[BBM_SECTOR];
    std::memcpy(backup, sector, BBM_SECTOR);
    Put16(backup, BBM_OFF_STATE, BBM_STATE_BACKUP);
    Put16(backup, BBM_OFF_DROP, BBM_NO_DROP);
    if (!EraseBlock(backupAt) || !WriteHeaderSector(backupAt, backup))
        return false;

    uint8_t working[BBM_SECTOR];
    if (!ReadSector(header, working) || ValidBBMHeader(working) == BBM_HEADER_INVALID)
        return false;
    const uint16_t drop = Get16(working, BBM_OFF_DROP);
    if (drop < BBM_CHUNK_ENTRIES) {
        const uint32_t value = Entry(working, drop);
        if (value != BBM_ENTRY_FREE && (value & BBM_ENTRY_REPLACES) && !DropElsewhere(c, value))
            return false;
    }

    if (!ReadSector(header, working) || ValidBBMHeader(working) == BBM_HEADER_INVALID)
        return false;
    Put16(working, BBM_OFF_STATE, BBM_STATE_WORKING);
    uint8_t back[BBM_SECTOR];
    if (!oemwrite(static_cast<uint32_t>(header), BBM_SECTOR, working, ACCESS_TYPE_RAW) || !ReadSector(header, back) ||
        ValidBBMHeader(back) == BBM_HEADER_INVALID || Get16(back, BBM_OFF_STATE) != BBM_STATE_WORKING)
        return false;
    info.bUpdating = 0;
    LoadCache(c, header, back);
    return true;
}

// Takes the first two free entries of the chunk in `sector` that pass the stress test as its new
// header pair and writes the pair; the chunk is then in the cache.
uint16_t FormatChunk(uint32_t c, uint8_t *sector)
{
    const BbmInfo &info = Info();
    const int64_t bs = info.ulBlockSize;
    const int64_t lower = info.ulLowerLimit;
    int64_t top = EntryBlock(c, 0);
    if (bs == 0 || top < lower + 3 * bs)
        return 0;
    const int64_t lowest = std::max(top - (int64_t{BBM_CHUNK_ENTRIES} - 1) * bs, lower);
    uint32_t i = 0;
    while (i < BBM_CHUNK_ENTRIES && Entry(sector, i) != BBM_ENTRY_FREE) {
        i++;
        top -= bs;
    }
    if (top - 2 * bs < lowest)
        return 0;
    while (top - bs >= lowest && i + 1 < BBM_CHUNK_ENTRIES) {
        SetEntry(sector, i, BBM_ENTRY_HEADER);
        SetEntry(sector, i + 1, BBM_ENTRY_HEADER);
        if (!StressTest(top)) {
            SetEntry(sector, i, BBM_ENTRY_FAILED);
            SetEntry(sector, i + 1, BBM_ENTRY_FREE);
            i += 1;
            top -= bs;
            continue;
        }
        if (!StressTest(top - bs)) {
            SetEntry(sector, i + 1, BBM_ENTRY_FAILED);
            i += 2;
            top -= 2 * bs;
            continue;
        }
        uint8_t backup[BBM_SECTOR];
        std::memcpy(backup, sector, BBM_SECTOR);
        Put16(backup, BBM_OFF_STATE, BBM_STATE_BACKUP);
        Put16(backup, BBM_OFF_DROP, BBM_NO_DROP);
        if (!WriteHeaderSector(top, backup)) {
            StressTest(top);
            SetEntry(sector, i, BBM_ENTRY_FAILED);
            SetEntry(sector, i + 1, BBM_ENTRY_FREE);
            i += 1;
            top -= bs;
            continue;
        }
        Put16(sector, BBM_OFF_STATE, BBM_STATE_WORKING);
        if (!WriteHeaderSector(top - bs, sector)) {
            StressTest(top - bs);
            ClearHeaderBlock(top);
            SetEntry(sector, i + 1, BBM_ENTRY_FAILED);
            i += 2;
            top -= 2 * bs;
            continue;
        }
        return LoadCache(c, top - bs, sector);
    }
    return 0;
}

// A chunk whose header pair cannot be rewritten in place gets a new pair from its free entries; the old
// pair is cleared so that no scan takes it again.
bool MoveHeaders(uint32_t c, uint8_t *sector, int64_t oldHeader)
{
    if (!FormatChunk(c, sector))
        return false;
    ClearHeaderBlock(oldHeader + Info().ulBlockSize);
    ClearHeaderBlock(oldHeader);
    bbmCache.bValid = 0;
    return MountChunk(c) != 0;
}

// The update protocol over the chunk in the cache, with its sector as changed by the caller.
bool UpdateChunk()
{
    BbmInfo &info = Info();
    const uint32_t c = bbmCache.ulChunk;
    for (uint32_t moves = 0; moves <= kMaxHeaderMoves; moves++) {
        uint8_t sector[BBM_SECTOR];
        std::memcpy(sector, bbmCache.sector, BBM_SECTOR);
        const int64_t header = bbmCache.ulHeader;
        bbmCache.bValid = 0;
        const bool done = WriteWorking(header, sector, BBM_STATE_UPDATING) && FinishUpdate(c, header, sector);
        info.bUpdating = 0;
        if (done)
            return true;
        if (!MoveHeaders(c, sector, header))
            return false;
        // The new pair already holds the sector; go round once more for a drop the sector names.
        std::memcpy(sector, bbmCache.sector, BBM_SECTOR);
        if (Get16(sector, BBM_OFF_DROP) == BBM_NO_DROP)
            return true;
    }
    return false;
}

uint16_t MountChunk(uint32_t c)
{
    BbmInfo &info = Info();
    if (bbmCache.bValid && bbmCache.uDrive == uCurrentDrive && bbmCache.ulChunk == c)
        return 1;
    bbmCache.bValid = 0;
    if (!info.bMounted)
        info.ulBlockSize = lpThisMedia->ulBlockSize;
    const int64_t bs = info.ulBlockSize;
    if (bs == 0)
        return 0;
    const int64_t top = EntryBlock(c, 0);
    bool limitKnown = info.bMounted != 0;
    auto lowest = [&]() {
        const int64_t bottom = top - (int64_t{BBM_CHUNK_ENTRIES} - 1) * bs;
        return limitKnown ? std::max<int64_t>(bottom, info.ulLowerLimit) : std::max<int64_t>(bottom, 0);
    };
    uint8_t here[BBM_SECTOR];
    uint8_t below[BBM_SECTOR];
    // The first working copy met without a header below it, and without its backup above it.
    int64_t lone = -1;
    uint8_t loneSector[BBM_SECTOR];
    int64_t address = top;
    for (uint32_t steps = 0; steps < kMaxScanSteps && address >= lowest(); steps++) {
        if (!ReadSector(address, here) || ValidBBMHeader(here) == BBM_HEADER_INVALID) {
            address -= bs;
            continue;
        }
        RecordBBMInfo(here);
        limitKnown = true;
        const int64_t under = address - bs;
        const bool belowValid =
            under >= lowest() && ReadSector(under, below) && ValidBBMHeader(below) != BBM_HEADER_INVALID;
        const uint16_t belowState = belowValid ? Get16(below, BBM_OFF_STATE) : 0;
        const uint16_t state = Get16(here, BBM_OFF_STATE);
        if (state == BBM_STATE_BACKUP) {
            if (belowValid && belowState == BBM_STATE_WORKING)
                return LoadCache(c, under, below);
            // An interrupted update: finish it from the working copy, or rebuild the working copy from
            // the backup; a repair that fails leaves the copy it started from in use.
            const uint8_t *from = belowValid ? below : here;
            if (info.bUpdating)
                return LoadCache(c, under, from);
            const bool repaired = belowValid ? FinishUpdate(c, under, below)
                                             : WriteWorking(under, here, BBM_STATE_WORKING);
            info.bUpdating = 0;
            if (!repaired)
                return LoadCache(c, under, from);
            bbmCache.bValid = 0;
            continue;
        }
        if (state == BBM_STATE_UPDATING) {
            if (info.bUpdating)
                return LoadCache(c, address, here);
            const bool repaired = FinishUpdate(c, address, here);
            info.bUpdating = 0;
            if (!repaired)
                return LoadCache(c, address, here);
            bbmCache.bValid = 0;
            address += bs;
            continue;
        }
        // A working copy met before its backup.
        if (!belowValid) {
            if (lone < 0 && address + bs <= top) {
                lone = address;
                std::memcpy(loneSector, here, BBM_SECTOR);
            }
            address -= bs;
            continue;
        }
        if (belowState != BBM_STATE_WORKING || info.bUpdating)
            return LoadCache(c, belowState == BBM_STATE_WORKING ? under : address,
                             belowState == BBM_STATE_WORKING ? below : here);
        const bool repaired = FinishUpdate(c, under, below);
        info.bUpdating = 0;
        if (!repaired)
            return LoadCache(c, under, below);
        bbmCache.bValid = 0;
    }
    // No pair was found, only a working copy whose backup was lost: its backup is written again, so
    // that one damaged block never costs the whole map.
    if (lone < 0)
        return 0;
    RecordBBMInfo(loneSector);
    if (info.bUpdating)
        return LoadCache(c, lone, loneSector);
    const bool repaired = FinishUpdate(c, lone, loneSector);
    info.bUpdating = 0;
    return repaired ? 1 : LoadCache(c, lone, loneSector);
}

// Walks the cached chunk's entries for a key (BBM_ENTRY_FREE: the first free entry).
int FindBBMEntry(uint32_t key)
{
    bbmCache.bEnd = 0;
    bbmCache.uFirstFree = kNoEntry;
    bbmCache.uFound = kNoEntry;
    const uint32_t n = ReserveBlocks();
    if (!bbmCache.bValid || bbmCache.uDrive != uCurrentDrive || n == 0 || n == kEntrySearchMargin)
        return -1;
    const uint32_t entries = ChunkEntries(bbmCache.ulChunk);
    uint32_t counted = 0;
    for (uint32_t i = 0; i < entries; i++) {
        const uint32_t entry = Entry(bbmCache.sector, i);
        if (entry == BBM_ENTRY_FREE && bbmCache.uFirstFree == kNoEntry) {
            bbmCache.uFirstFree = static_cast<uint16_t>(i);
            bbmCache.bEnd = 1;
        }
        if (entry == key) {
            bbmCache.uFound = static_cast<uint16_t>(i);
            return static_cast<int>(i);
        }
        if (entry == BBM_ENTRY_FREE)
            return -1;
        if (entry != BBM_ENTRY_HEADER)
            counted++;
        if (n > kEntrySearchMargin && counted >= n - kEntrySearchMargin)
            return -1;
    }
    return -1;
}

bool InExceptionTable(uint32_t address)
{
    const uint32_t bs = Info().ulBlockSize;
    for (uint32_t entry : PhysAddrExceptions[uCurrentDrive]) {
        if (entry == BBM_ENTRY_FREE)
            break;
        if (entry / bs == address / bs)
            return true;
    }
    return false;
}

bool BlockTestsGood(uint32_t address)
{
    if (!MarksOnFlash() || lpThisMedia->lpExtndDevice == nullptr)
        return true;
    uint8_t spare[SPARE_SIZE];
    const uint16_t bUseVBFEcc = lpThisMedia->bUseVBFEcc;
    lpThisMedia->bUseVBFEcc = 0;
    // A block is good or bad as a whole: its first page's mark, the first one MarkBad writes, decides
    // for every page, so that a power loss while the marks are written cannot split the block.
    const uint32_t first = address - address % Info().ulBlockSize;
    const uint16_t read = lpThisMedia->lpExtndDevice->RedundantRead(first, SPARE_SIZE, spare);
    lpThisMedia->bUseVBFEcc = bUseVBFEcc;
    if (!read || (spare[SPARE_CODE_TAG] != CODE_TAG_NO_CODE && spare[SPARE_CODE_TAG] != CODE_TAG_WITH_CODE))
        return false;
    return !InExceptionTable(address);
}

bool WriteExceptionTable()
{
    uint8_t table[BBM_SECTOR];
    for (uint32_t i = 0; i < BBM_EXCEPTIONS; i++)
        Put32(table, 4 * i, PhysAddrExceptions[uCurrentDrive][i]);
    return oemwrite(Info().ulExceptionTable, BBM_SECTOR, table, ACCESS_TYPE_DATA) != 0;
}

// Writes the bad-block mark into every spare of a block, the first page's (which decides) first; a
// mark that does not read back puts the block into the exception table.
void MarkBad(uint32_t block)
{
    if (!MarksOnFlash())
        return;
    ExtndMediaInfo &media = *lpThisMedia;
    const uint16_t bUseVBFEcc = media.bUseVBFEcc;
    const uint16_t bRawSpare = media.bRawSpare;
    media.bUseVBFEcc = 0;
    media.bRawSpare = 1;
    const uint32_t step = LargeLarge() ? media.uPageSize : uint32_t{SECTOR_SIZE};
    for (uint32_t offset = 0; offset < Info().ulBlockSize; offset += step) {
        uint8_t back[SPARE_SIZE];
        oemwrite(block + offset, SPARE_SIZE, kBadMark, ACCESS_TYPE_SPARE);
        if (oemread(block + offset, SPARE_SIZE, back, ACCESS_TYPE_SPARE) && Get32(back, kBadMarkOffset) == 0)
            continue;
        if (!InExceptionTable(block + offset)) {
            for (uint32_t &entry : PhysAddrExceptions[uCurrentDrive]) {
                if (entry == BBM_ENTRY_FREE) {
                    entry = block + offset;
                    WriteExceptionTable();
                    break;
                }
            }
        }
        break;
    }
    media.bUseVBFEcc = bUseVBFEcc;
    media.bRawSpare = bRawSpare;
}

uint32_t SparePieces()
{
    return LargeLarge() ? 1 : lpThisMedia->uPageSize / SECTOR_SIZE;
}

uint16_t SparePieceSize()
{
    return LargeLarge() ? LARGE_SPARE_SIZE : SPARE_SIZE;
}

bool AllErased(const uint8_t *bytes, uint32_t length)
{
    for (uint32_t i = 0; i < length; i++)
        if (bytes[i] != kErased)
            return false;
    return true;
}

// Copies every written page of a failing block to its replacement, the sectors and tags repaired on
// the way, except what the caller writes again itself.
bool CopyBlock(uint32_t from, uint32_t to, uint32_t failing, const BbmRewrite &rewrite)
{
    const uint32_t page = lpThisMedia->uPageSize;
    const uint32_t sectors = page / SECTOR_SIZE;
    const uint32_t spareBytes = sectors * SPARE_SIZE;
    const uint32_t failingPage = failing - failing % page;
    for (uint32_t offset = 0; offset < Info().ulBlockSize; offset += page) {
        const uint32_t source = from + offset;
        for (uint32_t p = 0; p < SparePieces(); p++)
            if (!oemread(source + p * SECTOR_SIZE, SparePieceSize(), copySpare + p * SPARE_SIZE, ACCESS_TYPE_SPARE))
                return false;
        if (!oemread(source, static_cast<uint16_t>(page), copyPage, ACCESS_TYPE_RAW))
            return false;
        // Only a page that reads all 0xFF is left behind: one written byte is data.
        if (AllErased(copyPage, page) && AllErased(copySpare, spareBytes))
            continue;
        for (uint32_t s = 0; s < sectors; s++) {
            bbmisbadvbf(copySpare + s * SPARE_SIZE);
            bbmisbadblock(copyPage + s * SECTOR_SIZE, copySpare + s * SPARE_SIZE);
        }
        if (source == failingPage) {
            const uint32_t start = std::min<uint32_t>(rewrite.uDataOffset, page);
            const uint32_t length = std::min<uint32_t>(rewrite.uDataLength, page - start);
            std::memset(copyPage + start, kErased, length);
            const uint32_t first = std::min<uint32_t>(rewrite.uSpareFirst, SPARE_SIZE);
            const uint32_t end = std::min<uint32_t>(std::max<uint32_t>(rewrite.uSpareEnd, first), SPARE_SIZE);
            for (uint32_t s = 0; s < sectors; s++)
                if (rewrite.uSpareMask & (1u << s))
                    std::memset(copySpare + s * SPARE_SIZE + first, kErased, end - first);
        }
        const uint32_t target = to + offset;
        if (!AllErased(copyPage, page) && !oemwrite(target, static_cast<uint16_t>(page), copyPage, ACCESS_TYPE_RAW))
            return false;
        for (uint32_t p = 0; p < SparePieces(); p++) {
            const uint8_t *spare = copySpare + p * SPARE_SIZE;
            if (!AllErased(spare, SparePieceSize()) &&
                !oemwrite(target + p * SECTOR_SIZE, SparePieceSize(), spare, ACCESS_TYPE_SPARE))
                return false;
        }
    }
    return true;
}

// Clears bit 31 of the entry that maps a client block in the cached chunk, so that it is abandoned.
void AbandonEntry(uint32_t value)
{
    const uint32_t entries = ChunkEntries(bbmCache.ulChunk);
    for (uint32_t i = 0; i < entries && Entry(bbmCache.sector, i) != BBM_ENTRY_FREE; i++)
        if (Entry(bbmCache.sector, i) == value)
            SetEntry(bbmCache.sector, i, value & ~BBM_ENTRY_REPLACES);
}

// The chunk and entry of a reserve block whose entry is still free: a reserve block found bad is
// retired in its own entry, so that no good block is spent on it and it is never handed out.
bool OwnFreeEntry(uint32_t block, uint32_t &chunk, uint32_t &index)
{
    const BbmInfo &info = Info();
    if (block < info.ulLowerLimit || block >= Total())
        return false;
    const uint32_t k = (Total() - block) / info.ulBlockSize - 1;
    chunk = k / BBM_CHUNK_ENTRIES;
    index = k % BBM_CHUNK_ENTRIES;
    return chunk < info.ulChunks && index < ChunkEntries(chunk) && MountChunk(chunk) &&
           Entry(bbmCache.sector, index) == BBM_ENTRY_FREE;
}

void SetModes(uint16_t bUseECC, uint16_t bUseVBFEcc, uint16_t bRawSpare)
{
    lpThisMedia->bUseECC = bUseECC;
    lpThisMedia->bUseVBFEcc = bUseVBFEcc;
    lpThisMedia->bRawSpare = bRawSpare;
}

} // namespace

uint16_t ValidBBMHeader(uint8_t *sector)
{
    unsigned differ = 0;
    for (uint32_t i = 0; i < BBM_SIGNATURE_SIZE; i++)
        differ += sector[BBM_OFF_SIGNATURE + i] != acRealBBMSignature[i];
    if (differ > 2)
        return BBM_HEADER_INVALID;
    bool repaired = differ != 0;
    std::memcpy(sector + BBM_OFF_SIGNATURE, acRealBBMSignature, BBM_SIGNATURE_SIZE);

    const uint32_t chipBlock = lpThisMedia->ulBlockSize;
    const bool high = chipBlock > kBlockSizeHighHalves;
    auto blockSize = [&](uint32_t low, uint32_t highHalf) {
        return Get16(sector, low) | (high ? static_cast<uint32_t>(Get16(sector, highHalf)) << 16 : 0);
    };
    // A header is only trusted for the chip it describes.
    auto goodBlock = [&](uint32_t bs) {
        return bs != 0 && (bs & (bs - 1)) == 0 && bs <= BBM_MAX_BLOCK && (chipBlock == 0 || bs == chipBlock);
    };
    const uint32_t bs1 = blockSize(BBM_OFF_BLOCK_LOW, BBM_OFF_BLOCK_HIGH);
    const uint32_t bs2 = blockSize(BBM_OFF_BLOCK_LOW_COPY, BBM_OFF_BLOCK_HIGH_COPY);
    const bool good1 = goodBlock(bs1);
    const bool good2 = goodBlock(bs2);
    if (!good1 && !good2)
        return BBM_HEADER_INVALID;
    if (good1 != good2) {
        const uint32_t fromLow = good1 ? BBM_OFF_BLOCK_LOW : BBM_OFF_BLOCK_LOW_COPY;
        const uint32_t fromHigh = good1 ? BBM_OFF_BLOCK_HIGH : BBM_OFF_BLOCK_HIGH_COPY;
        Put16(sector, good1 ? BBM_OFF_BLOCK_LOW_COPY : BBM_OFF_BLOCK_LOW, Get16(sector, fromLow));
        Put16(sector, good1 ? BBM_OFF_BLOCK_HIGH_COPY : BBM_OFF_BLOCK_HIGH, Get16(sector, fromHigh));
        repaired = true;
    }
    const uint32_t blocks = Total() / (good1 ? bs1 : bs2);
    auto goodCount = [&](uint32_t count) { return OddOnes(count) && (count & kCountMask) < blocks; };
    const uint32_t count1 = Get32(sector, BBM_OFF_COUNT);
    const uint32_t count2 = Get32(sector, BBM_OFF_COUNT_COPY);
    const bool goodCount1 = goodCount(count1);
    const bool goodCount2 = goodCount(count2);
    if (!goodCount1 && !goodCount2)
        return BBM_HEADER_INVALID;
    if (goodCount1 != goodCount2) {
        Put32(sector, goodCount1 ? BBM_OFF_COUNT_COPY : BBM_OFF_COUNT, goodCount1 ? count1 : count2);
        repaired = true;
    }
    return repaired ? BBM_HEADER_REPAIRED : BBM_HEADER_GOOD;
}

namespace {

// A chunk that does not mount but whose header blocks still hold a header of this table, damaged,
// with mappings in it: a fresh chunk over it would lose them, and the lookup, which stops at the
// first chunk that does not mount, would send their client blocks to the bad blocks again.
bool ChunkHoldsMappings(uint32_t c)
{
    const BbmInfo &info = Info();
    const int64_t bs = info.ulBlockSize;
    const int64_t top = EntryBlock(c, 0);
    const int64_t bottom = std::max<int64_t>(top - (int64_t{BBM_CHUNK_ENTRIES} - 1) * bs, info.ulLowerLimit);
    uint8_t sector[BBM_SECTOR];
    for (int64_t address = top; address >= bottom; address -= bs) {
        if (!ReadSector(address, sector))
            continue;
        unsigned differ = 0;
        for (uint32_t i = 0; i < BBM_SIGNATURE_SIZE; i++)
            differ += sector[BBM_OFF_SIGNATURE + i] != acRealBBMSignature[i];
        if (differ > BBM_SIGNATURE_SIZE / 2)
            continue;
        for (uint32_t i = 0; i < ChunkEntries(c); i++) {
            const uint32_t entry = Entry(sector, i);
            if (entry != BBM_ENTRY_FREE && (entry & BBM_ENTRY_REPLACES))
                return true;
        }
    }
    return false;
}

// The chunks in use, as the lookup walks them: each one after a full one. False when one of them
// does not mount and holds mappings.
bool ChunksInUseMount()
{
    const BbmInfo &info = Info();
    for (uint32_t c = 0; c < info.ulChunks; c++) {
        if (!MountChunk(c)) {
            if (!ChunkHoldsMappings(c))
                return true;
            printk("<3>bbmmount: chunk %u of drive %d does not mount and holds mappings: the drive is refused\n", c,
                   uCurrentDrive);
            return false;
        }
        if (FindBBMEntry(BBM_ENTRY_FREE) >= 0 || bbmCache.bEnd)
            return true;
    }
    return true;
}

} // namespace

uint16_t bbmrefused()
{
    return Info().bRefused;
}

uint16_t bbmmount(uint32_t *pulClientSize, uint32_t *pulBlockSize)
{
    BbmInfo &info = Info();
    info.bMounted = 0;
    info.bAvailable = 0;
    info.bUpdating = 0;
    info.bRefused = 0;
    info.ulHighestChunk = 0;
    bbmCache.bValid = 0;
    EmptyMapCache(uCurrentDrive);
    if (!MountChunk(0))
        return 0;
    uint8_t table[BBM_SECTOR];
    if (!oemread(info.ulExceptionTable, BBM_SECTOR, table, ACCESS_TYPE_DATA))
        return 0;
    for (uint32_t i = 0; i < BBM_EXCEPTIONS; i++)
        PhysAddrExceptions[uCurrentDrive][i] = Get32(table, 4 * i);
    *pulClientSize = info.ulExceptionTable;
    *pulBlockSize = info.ulBlockSize;
    info.bMounted = 1;
    if (!ChunksInUseMount()) {
        info.bMounted = 0;
        info.bRefused = 1;
        return 0;
    }
    uint32_t ulFree;
    bbmnextblock(&ulFree);
    info.bAvailable = 1;
    return 1;
}

void bbmunmount()
{
    BbmInfo &info = Info();
    info.bMounted = 0;
    info.bAvailable = 0;
    info.bUpdating = 1;
    info.ulBlockSize = kUnmounted;
    info.ulLowerLimit = kUnmounted;
    EmptyMapCache(uCurrentDrive);
    if (bbmCache.uDrive == uCurrentDrive)
        bbmCache.bValid = 0;
}

uint16_t bbmavailable()
{
    const BbmInfo &info = Info();
    return info.bMounted && info.bAvailable;
}

uint32_t bbmmapblock(uint32_t ulAddress)
{
    BbmInfo &info = Info();
    MapCache &cache = mapCache[uCurrentDrive];
    if (!info.bMounted || !info.bAvailable)
        return ulAddress;
    if (ulAddress == cache.ulClient)
        return cache.ulPhysical;
    uint32_t mapped = ulAddress;
    if (ulAddress < info.ulExceptionTable) {
        info.bAvailable = 0;
        if (info.ulHighestChunk == 0 || !BlockTestsGood(ulAddress)) {
            const uint32_t key = ulAddress / info.ulBlockSize + BBM_ENTRY_REPLACES;
            for (uint32_t c = 0; c < info.ulChunks && MountChunk(c); c++) {
                const int i = FindBBMEntry(key);
                if (i >= 0) {
                    mapped = static_cast<uint32_t>(EntryBlock(c, static_cast<uint32_t>(i))) +
                             ulAddress % info.ulBlockSize;
                    break;
                }
                if (bbmCache.bEnd)
                    break;
            }
        }
        info.bAvailable = 1;
    }
    cache = {ulAddress, mapped};
    return mapped;
}

uint16_t bbmnextblock(uint32_t *pulAddress)
{
    BbmInfo &info = Info();
    if (!info.bMounted || info.ulChunks == 0)
        return 0;
    const uint16_t bAvailable = info.bAvailable;
    info.bAvailable = 0;
    uint16_t result = 0;
    for (uint32_t c = 0; c < info.ulChunks; c++) {
        if (!MountChunk(c)) {
            if (ChunkHoldsMappings(c))
                break;
            uint8_t fresh[BBM_SECTOR];
            BuildHeader(fresh, info.ulExceptionTable / info.ulBlockSize, info.ulBlockSize, BBM_STATE_WORKING);
            if (!FormatChunk(c, fresh))
                break;
            bbmCache.bValid = 0;
            if (!MountChunk(c))
                break;
        }
        const int i = FindBBMEntry(BBM_ENTRY_FREE);
        if (i >= 0) {
            *pulAddress = static_cast<uint32_t>(EntryBlock(c, static_cast<uint32_t>(i)));
            result = 1;
            break;
        }
        if (bbmCache.bEnd)
            break;
    }
    info.bAvailable = bAvailable;
    return result;
}

uint16_t bbmrelocate(uint32_t ulClient, uint32_t ulPhysical, const BbmRewrite &rewrite)
{
    BbmInfo &info = Info();
    if (!info.bMounted || !info.bAvailable)
        return 0;
    info.bAvailable = 0;
    ExtndMediaInfo &media = *lpThisMedia;
    const uint16_t bUseECC = media.bUseECC;
    const uint16_t bUseVBFEcc = media.bUseVBFEcc;
    const uint16_t bRawSpare = media.bRawSpare;
    const uint32_t bs = info.ulBlockSize;
    const uint32_t block = ulPhysical - ulPhysical % bs;
    auto fail = [&]() {
        info.bUpdating = 0;
        info.bAvailable = 1;
        bbmCache.bValid = 0;
        return uint16_t{0};
    };

    uint32_t replacement = 0;
    uint32_t chunk = 0;
    uint32_t index = 0;
    const bool retiredInPlace = ulClient == ulPhysical && OwnFreeEntry(block, chunk, index);
    for (uint32_t tries = 0; !retiredInPlace; tries++) {
        if (tries == kMaxReplacementTries)
            return fail();
        if (!bbmnextblock(&replacement)) {
            printk("TESSARO error: NAND FLASH No %d WORN DOWN (too much bad blocks) --> REPLACE THE DEVICE \n",
                   uCurrentDrive);
            return fail();
        }
        chunk = bbmCache.ulChunk;
        index = bbmCache.uFound;
        if (rewrite.bWholeBlock || replacement == block)
            break;
        SetModes(1, 0, 1);
        const bool copied = CopyBlock(block, replacement, ulPhysical, rewrite);
        SetModes(bUseECC, bUseVBFEcc, bRawSpare);
        if (copied)
            break;
        // The replacement failed while it was filled: retire it and take the next one.
        if (!MountChunk(chunk))
            return fail();
        SetEntry(bbmCache.sector, index, BBM_ENTRY_FAILED);
        if (!UpdateChunk() || rewrite.bCallerFilled)
            return fail();
    }

    if (!MountChunk(chunk))
        return fail();
    uint8_t *sector = bbmCache.sector;
    uint32_t value = ulClient / bs + BBM_ENTRY_REPLACES;
    Put16(sector, BBM_OFF_DROP, BBM_NO_DROP);
    if (ulClient >= info.ulLowerLimit) {
        if (ulPhysical >= info.ulLowerLimit)
            value = BBM_ENTRY_DEAD;
    } else if (ulPhysical >= info.ulLowerLimit || info.ulChunks > 1) {
        // The block's old entry is dropped: the one of a replacement that failed, or, on a drive of
        // several chunks, one whose old block lost its bad mark to a power loss and so was used again.
        // An old entry in another chunk, however far below, is named in the drop word (also from a
        // fresh chunk's first entry): every other chunk is searched for it, and a power loss before it
        // is dropped is finished at the next mount.
        bool here = false;
        for (uint32_t i = 0; i < index; i++)
            here |= Entry(sector, i) == value;
        if (here)
            AbandonEntry(value);
        else
            Put16(sector, BBM_OFF_DROP, static_cast<uint16_t>(index));
    }
    SetEntry(sector, index, value);
    EmptyMapCache(uCurrentDrive);
    // The map is recorded before the old block is marked: a power loss in between leaves the data
    // readable in one of the two places.
    if (!UpdateChunk())
        return fail();
    MarkBad(block);
    uint32_t ulFree;
    bbmnextblock(&ulFree);
    bbmCache.bValid = 0;
    MountChunk(chunk);
    EmptyMapCache(uCurrentDrive);
    info.bAvailable = 1;
    return 1;
}

uint16_t bbmaddbadblock(uint32_t ulClient, uint32_t ulPhysical)
{
    const BbmRewrite rewrite = {0, lpThisMedia->uPageSize, 0xFF, false};
    return bbmrelocate(ulClient, ulPhysical, rewrite);
}

uint16_t bbmdiscoverbadblocks(uint16_t uPercent)
{
    BbmInfo &info = Info();
    ExtndMediaInfo &media = *lpThisMedia;
    const uint32_t bs = media.ulBlockSize;
    const uint32_t page = media.uPageSize;
    if (bs == 0 || page == 0)
        return 0;
    const uint32_t blocks = media.ulTotalSize / bs;
    const uint32_t percent = media.bLargePage ? 2u * uPercent : uPercent;
    const uint32_t capacity = blocks * percent / 100;
    _sysfree(discoveryList);
    discoveryList = static_cast<uint32_t *>(_sysmalloc((capacity + 1) * sizeof(uint32_t)));
    uint8_t *buffer = static_cast<uint8_t *>(_sysmalloc(page));
    if (discoveryList == nullptr || buffer == nullptr) {
        _sysfree(buffer);
        _sysfree(discoveryList);
        discoveryList = nullptr;
        return 0;
    }
    std::memset(discoveryList, 0, (capacity + 1) * sizeof(uint32_t));
    printk("NAND flash: Search of bad blocks on device %d, please wait...\n", uCurrentDrive);
    const uint16_t bMounted = info.bMounted;
    info.bMounted = 0;
    const uint16_t bUseVBFEcc = media.bUseVBFEcc;
    media.bUseVBFEcc = 0;

    const bool used = !oemread(0, static_cast<uint16_t>(page), buffer, ACCESS_TYPE_DATA) || !AllErased(buffer, page);
    const uint32_t sectors = page / SECTOR_SIZE;
    uint8_t spare[LARGE_SPARE_SIZE];
    // Reads every data and spare byte of a block and compares it with one value.
    auto blockHolds = [&](uint32_t block, uint8_t value) {
        for (uint32_t offset = 0; offset < bs; offset += page) {
            if (!oemread(block + offset, static_cast<uint16_t>(page), buffer, ACCESS_TYPE_DATA))
                return false;
            for (uint32_t p = 0; p < SparePieces(); p++)
                if (!oemread(block + offset + p * SECTOR_SIZE, SparePieceSize(), spare + p * SPARE_SIZE,
                             ACCESS_TYPE_SPARE))
                    return false;
            for (uint32_t i = 0; i < page; i++)
                if (buffer[i] != value)
                    return false;
            for (uint32_t i = 0; i < sectors * SPARE_SIZE; i++)
                if (spare[i] != value)
                    return false;
        }
        return true;
    };
    auto programBlock = [&](uint32_t block) {
        if (oemerase(block, bs) != 1)
            return false;
        std::memset(buffer, kProgramPattern, page);
        std::memset(spare, kProgramPattern, sizeof spare);
        for (uint32_t offset = 0; offset < bs; offset += page) {
            if (!oemwrite(block + offset, static_cast<uint16_t>(page), buffer, ACCESS_TYPE_DATA))
                return false;
            for (uint32_t p = 0; p < SparePieces(); p++) {
                const uint32_t at = block + offset + p * SECTOR_SIZE;
                if (!oemwrite(at, SparePieceSize(), spare, ACCESS_TYPE_SPARE)) {
                    printk("<3>ProgramUnitFailed write @=0x%x\n", at);
                    return false;
                }
            }
        }
        return true;
    };

    uint32_t found = 0;
    bool full = false;
    for (uint32_t block = bs; block < media.ulTotalSize && !full; block += bs) {
        if (block % kOneMegabyte == 0)
            printk(used ? "   Check Erase-Write-Read: %ld MB controlled  \r" : "   Read manufacturer info: %ld MB read  \r",
                   static_cast<long>(block / kOneMegabyte));
        const bool good = used ? programBlock(block) && blockHolds(block, kProgramPattern) : blockHolds(block, kErased);
        if (good)
            continue;
        if (found == capacity)
            full = true;
        else
            discoveryList[found++] = block;
    }
    if (used)
        for (uint32_t block = bs; block < media.ulTotalSize; block += bs)
            oemerase(block, bs);
    media.bUseVBFEcc = bUseVBFEcc;
    _sysfree(buffer);
    if (full) {
        printk("Number of bad blocks found: %d  --> TOO MUCH !!! NOT ACCEPTABLE\n", static_cast<int>(found + 1));
        _sysfree(discoveryList);
        discoveryList = nullptr;
        return 0;
    }
    info.bMounted = bMounted;
    return 1;
}

uint16_t bbmformat(uint16_t uPercent)
{
    ExtndMediaInfo &media = *lpThisMedia;
    BbmInfo &info = Info();
    if (uPercent == 0 || uPercent > kMaxPercent || (oemstatus() & STATUS_NO_ACCESS))
        return 0;
    if (!(media.uFlags & MEDIA_FLAG_BAD_MARKS) || media.ulMediaSize == 0 || media.ulBlockSize == 0 ||
        media.ulBlockSize > BBM_MAX_BLOCK)
        return 0;
    // The new header: the reserve is the percentage (doubled on large pages) of the drive.
    const uint32_t percent = media.bLargePage ? 2u * uPercent : uPercent;
    const uint32_t reserve = media.ulTotalSize / (100 / percent);
    const uint32_t bs = media.ulBlockSize;
    const uint32_t count = (media.ulTotalSize - reserve) / bs;
    uint8_t sector[BBM_SECTOR];
    BuildHeader(sector, count, bs, BBM_STATE_BACKUP);
    RecordBBMInfo(sector);
    info.bMounted = 1;
    info.bAvailable = 0;
    EmptyMapCache(uCurrentDrive);

    for (uint32_t block = info.ulExceptionTable; block < media.ulTotalSize; block += bs)
        oemerase(block, bs);
    std::memset(PhysAddrExceptions[uCurrentDrive], kErased, sizeof PhysAddrExceptions[uCurrentDrive]);
    const uint16_t result = FormatChunk(0, sector);
    bbmCache.bValid = 0;
    info.ulHighestChunk = 0;
    return result;
}

uint16_t bbmregisterbadblocks()
{
    uint16_t result = 1;
    int processed = 0;
    // A block found bad before the format holds nothing to keep; copying it would carry its maker's
    // marks into the replacement.
    const BbmRewrite nothing = {0, 0, 0, true};
    for (uint32_t i = 0; discoveryList != nullptr && discoveryList[i] != 0; i++) {
        result = bbmrelocate(discoveryList[i], discoveryList[i], nothing);
        processed++;
        if (!result)
            break;
    }
    if (result) {
        printk("   Number of bad blocks found: %d  --> ACCEPTABLE          \n", processed);
    } else {
        printk("   Number of bad blocks found: %d  --> TOO MUCH !!! NOT ACCEPTABLE\n", processed);
        const uint32_t bs = lpThisMedia->ulBlockSize;
        for (uint32_t block = Info().ulExceptionTable; block < lpThisMedia->ulTotalSize; block += bs)
            oemerase(block, bs);
    }
    _sysfree(discoveryList);
    discoveryList = nullptr;
    return result;
}

uint32_t bbmstatus(BbmStatus *pStatus)
{
    std::memset(pStatus, 0, sizeof *pStatus);
    BbmInfo &info = Info();
    if (!info.bMounted || !info.bAvailable)
        return 0;
    info.bAvailable = 0;
    pStatus->ulTotalSize = Total();
    if (uCurrentDrive == 0) {
        pStatus->chips[0].ulSize = Total();
    } else {
        for (uint32_t k = 0; k < NAND_CHIPS_XMEM; k++)
            if (FlashAccess[k].ulEnd > FlashAccess[k].ulStart)
                pStatus->chips[1 + k].ulSize = FlashAccess[k].ulEnd - FlashAccess[k].ulStart + 1;
    }
    uint32_t counted = 0;
    uint32_t replacements = 0;
    for (uint32_t c = 0; c < info.ulChunks && MountChunk(c); c++) {
        const uint32_t entries = ChunkEntries(c);
        uint32_t inChunk = 0;
        for (uint32_t i = 0; i < entries && inChunk < kStatusEntriesPerChunk; i++) {
            const uint32_t entry = Entry(bbmCache.sector, i);
            if (entry == BBM_ENTRY_HEADER)
                continue;
            inChunk++;
            if (entry == BBM_ENTRY_FREE)
                continue;
            replacements++;
            const uint64_t client = uint64_t{entry & kCountMask} * info.ulBlockSize;
            if (uCurrentDrive == 0) {
                pStatus->chips[0].uBadBlocks++;
                continue;
            }
            bool inChip = false;
            for (uint32_t k = 0; k < NAND_CHIPS_XMEM && !inChip; k++) {
                if (FlashAccess[k].ulEnd > FlashAccess[k].ulStart && client >= FlashAccess[k].ulStart &&
                    client <= FlashAccess[k].ulEnd) {
                    pStatus->chips[1 + k].uBadBlocks++;
                    inChip = true;
                }
            }
            if (!inChip)
                printk("bbmstatus error - BadBlockAddress %lx not in device\n", static_cast<unsigned long>(client));
        }
        counted += inChunk;
    }
    pStatus->ulReserveEntries = counted;
    pStatus->ulReplacements = replacements;
    info.bAvailable = 1;
    return counted;
}

void bbmreset()
{
    std::memset(bbmInfo, 0, sizeof bbmInfo);
    std::memset(PhysAddrExceptions, 0xFF, sizeof PhysAddrExceptions);
    std::memset(&bbmCache, 0, sizeof bbmCache);
    for (MapCache &cache : mapCache)
        cache = {kUnmounted, kUnmounted};
    _sysfree(discoveryList);
    discoveryList = nullptr;
    std::memset(stressPage, 0, sizeof stressPage);
    std::memset(copyPage, 0, sizeof copyPage);
    std::memset(copySpare, 0, sizeof copySpare);
}
