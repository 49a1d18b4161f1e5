// The flash translation layer: a disk of client bytes over the raw flash of one drive. Units of
// erase blocks carry a three-copy header and a list of allocation entries; writes append and only
// then discard the older copy, so a power loss at any point leaves either the old or the new data.
#ifndef TESSARO_FTL_VBF_H
#define TESSARO_FTL_VBF_H

#include "media/media.h"

#include <cstdint>

enum : uint16_t {
    uVbfMaxDrives = 2,
    uVbfMaxEraseUnits = 4096,
    VBF_MAX_REGION_UNITS = 16,
    VBF_MAX_CACHE_ENTRIES = 1024,
    VBF_FORMAT_VERSION = 127,
};

enum : uint32_t {
    VBF_DEFAULT = 0x7FFFFFFF, // an argument of vbfformat left to its default
    VBF_RAW_REGION = 0x80000, // raw bytes of the units of one region
    VBF_MIN_UNIT = 8192,
    VBF_MIN_FORMATTED = 8192,
    VBF_MAX_FORMATTED = 0x7FF00000,
    VBF_MOUNT_WINDOW = 0x100000, // headers are looked for below this address
    VBF_NO_REGION = 0xFFFFFFFF,
};

// Unit states (header field 0x2A); each step only clears bits.
enum : uint16_t {
    EUH_STATE_SPARE = 0xFFFF,
    EUH_STATE_COPY = 0xDFFF,
    EUH_STATE_VALID = 0x9FFF,
    EUH_STATE_ERASE = 0x1FFF,
    EUH_COPY_RUNNING = 0x8000, // bit of the copy source while a collection copies
    EUH_NO_SOURCE = 0xFFFF,
};

// Unit map entries besides a region number.
enum : uint16_t {
    VBF_UNIT_FREE = 0xFFFF,
    VBF_UNIT_UNUSABLE = 0xFFFE,
};

// Allocation entry states (high 4 bits of its 16-bit).
enum : uint16_t {
    ALLOC_WRITTEN = 0xF,
    ALLOC_UNDISCARDED = 0xE,
    ALLOC_VALID = 0xC,
    ALLOC_DISCARDED = 0x8,
    ALLOC_SYSTEM = 0xCFFF, // the first entry of every unit, never a client run
    ALLOC_PAGE_MASK = 0x0FFF,
    ALLOC_END = 0xFF, // length byte of an unwritten entry
};

// Status of the partition record.
enum : uint16_t {
    VBF_STATUS_IDLE = 1,
    VBF_STATUS_READING = 2,
    VBF_STATUS_WRITING = 4,
    VBF_STATUS_NEEDS_FORMAT = 8, // the last mount met a format that did not finish
};

#pragma pack(push, 1)
struct EUH {
    uint8_t acSignature[16];
    uint32_t ulAreaStart;
    uint16_t uUnitCount;
    uint16_t uSpareUnits;
    uint32_t ulUnitSize;
    uint32_t ulFormattedSize;
    uint32_t ulRegionAddress;
    uint32_t ulRegionSize;
    uint16_t uAllocOffset;
    uint16_t uState;
    uint32_t ulEraseCount;
    uint32_t ulSerial;
    uint16_t uCopySource;
    uint16_t uPageSize;
    uint8_t acReserved[7];
    uint8_t ucCheckSum;
};

struct AllocEntry {
    uint8_t uLength;
    uint8_t uPhysPage;
    uint16_t uClient; // low 12 bits client page, high 4 bits state (in the cache: the slot)
};
#pragma pack(pop)
static_assert(sizeof(EUH) == 64, "the erase unit header is 64 bytes on the flash");
static_assert(sizeof(AllocEntry) == 4, "an allocation entry is 4 bytes on the flash");

extern const uint8_t acVbfSignature[16];

struct Partition {
    int16_t bValid;
    int16_t bReadOnly;
    int16_t bUseHiddenArea;
    uint16_t uStatus;
    uint32_t ulUnitSize;
    uint32_t ulFormattedSize;
    uint32_t ulSerial;
    uint16_t uSpareUnits;
    uint16_t uTotalUnits;
    uint16_t uAllocOffset;
    uint16_t uAllocSize;
    uint16_t uStartUnit;
    uint16_t uRegionCount;
    uint32_t ulRegionSize;
    uint32_t ulLowestEraseCount;
    uint16_t uLeastWornUnit;
    uint16_t auUnitMap[uVbfMaxEraseUnits];
    uint16_t bNeedsFormat;
};

struct UnitInfo {
    uint32_t ulNextData;
    uint32_t ulNextEntry;
    uint32_t ulFree;
    uint32_t ulDiscarded;
};

struct RegionCache {
    uint16_t bValid;
    uint16_t bSorted;
    uint16_t uDrive;
    uint16_t uRegion;
    uint16_t uUnitCount;
    uint16_t uEntryCount;
    uint16_t auUnits[VBF_MAX_REGION_UNITS];
    AllocEntry inProgress;
    uint32_t ulInProgressAddress;
    uint16_t bInProgress;
    UnitInfo info[VBF_MAX_REGION_UNITS];
    AllocEntry entries[VBF_MAX_CACHE_ENTRIES];
    uint16_t auPositions[VBF_MAX_CACHE_ENTRIES];
};

extern Partition partition[uVbfMaxDrives];
extern Partition *thisPartition;
extern RegionCache regionCache;

// Layer state as at load: the translation layer's and, through oemreset, every layer's below it.
// The module's unload and the tests call it.
void vbfreset();

// Format (erase unit headers, allocation lists, the format version).
uint16_t vbfformat(uint32_t ulSerial, int32_t lCushion, uint32_t *pulSize, uint32_t *pulStart, uint32_t *pulSpares);
// A header is trusted by one rule everywhere: two copies that agree byte for byte, else a copy that
// is valid with a good checksum (a torn erase or program leaves copies no checksum covers). With
// bRepair a page whose copies differ moves its block with the trusted copy in all three.
uint16_t ReadEUH(uint32_t ulAddress, EUH *pEuh, uint16_t bRepair);
uint16_t WriteEUH(uint32_t ulAddress, const EUH *pEuh);
uint16_t IsValidEUH(const EUH *pEuh);
uint8_t CheckSum(const EUH *pEuh, uint16_t uLength);
void SetCheckSum(EUH *pEuh);
// A trusted header, read without repair.
uint16_t ReadSoundEUH(uint32_t ulAddress, EUH *pEuh);
// The drive's geometry from the first unit whose header is sound.
uint16_t MountEUH(EUH *pEuh);
uint16_t FormatUnit(uint32_t ulAddress, EUH *pEuh);
uint16_t FormatSpareUnit(uint32_t ulAddress, EUH *pEuh);
uint16_t vbfreadEUHversion(uint32_t ulAddress, uint8_t *pVersion);
uint16_t vbfwriteEUHversion(uint32_t ulAddress, uint8_t uVersion);
uint16_t vbfupgradepolicy();

// Mount, partition information and the region cache.
void vbfinit();
uint16_t vbfpoolsize();
void vbfprogressmessage();
void vbfsetcurrentdrive(uint16_t uDrive);
uint16_t vbfmount();
uint32_t vbfclientsize();
uint16_t vbfstatus();
uint16_t vbfgetpartitioninfo(uint32_t *pulInfo); // eight 32-bit values
#pragma pack(push, 1)
struct VbfUnitInfo {
    uint16_t uUnit;  // relative to the start unit (input)
    uint16_t bValid; // output
    uint32_t ulRegionAddress;
    uint32_t ulRegionSize;
    uint32_t ulTotalUnits;
    uint32_t ulEraseCount;
    uint32_t ulFree;
    uint32_t ulData;
    uint32_t ulDiscarded;
    uint32_t ulOverhead;
    uint32_t ulPagesPerUnit;
    uint8_t acBlockMap[1024]; // one byte per page of the unit
};
#pragma pack(pop)
uint16_t vbfgetunitinfo(VbfUnitInfo *pInfo);
uint16_t MountRegion(uint16_t uRegion, uint16_t bSorted);
uint16_t FindAllocation(uint32_t ulAddress, uint16_t *puIndex, uint16_t *puSlot, AllocEntry *pEntry);
uint16_t WriteAllocationEntryAndRegion(uint32_t ulAddress, const AllocEntry *pEntry);
uint16_t LogicalUnit(uint16_t uUnit, uint16_t *puSlot);
uint16_t ScanUnits();
uint16_t IsValidPartition();
uint16_t IsReadOnly();
uint16_t UseHiddenArea();
uint16_t TotalUnits();
uint16_t StartUnit();
uint16_t AllocationOffset();
uint16_t AllocationSize();
uint32_t RegionSize();
uint32_t FormattedSize();
uint32_t UnitSize();

// Client reads, writes and discards, and the usage of the flash.
uint16_t vbfread(uint32_t ulAddress, uint16_t uLength, uint8_t *pBuffer);
uint16_t vbfwrite(uint32_t ulAddress, uint16_t uLength, const uint8_t *pBuffer);
uint16_t vbfdiscard(uint32_t ulAddress, uint16_t uLength);
uint16_t DoDiscard(uint32_t ulAddress, uint16_t uLength);
int32_t MediaInfoUsage(uint32_t *pulFree, uint32_t *pulData, uint32_t *pulDiscarded);
int32_t MediaInfoErase(uint32_t *pulHighest, uint32_t *pulAverage, uint32_t *pulLowest);

// Garbage collection.
uint16_t GarbageCollect(uint16_t bForced, uint32_t ulAddress);
uint16_t vbfgarbagecollect();
uint16_t FindSpareUnit(uint16_t *puUnit, uint32_t *pulEraseCount);
uint16_t FindDirtyUnit(uint16_t *puUnit, uint32_t ulSpareEraseCount);
void GarbageClear(uint16_t uSlot);

#endif
