// Mount of a drive from its unit headers, the partition record and the region cache.
//
// The states a power cut can leave, and the one thing the mount does with each. Every action writes
// the new state whole before the old one is given up, so a cut inside it leaves a state of this table.
//
// Unit header page (three copies, the format version in its last three bytes):
//  - two copies agree and make a valid header: that header; with the third copy written and
//    different, the block moves with the page mended (the bad-block move copies before it commits).
//  - no two agree, a copy is valid with a good checksum: that copy, mended the same way.
//  - no copy can be trusted: the unit is placed by nothing; it is erased and made an empty unit of a
//    region short of one only when its list proves it holds no live run (no sound system entry, or no
//    sound entry of a live state), else it is kept, the log names it and the drive is read-only.
//  - copy target whose finished copy's source is erase-pending: made valid (a cut leaves it as it was).
//  - copy target with its copy running, or whose source is not erase-pending: not placed; the
//    collector makes a spare of it once every region is whole.
//  - erase-pending in a region short of a unit: cleared in place (erased, formatted empty) when its
//    list proves it holds no live run, else kept and named, the drive read-only.
//  - spare: a spare.
//  - version bytes of the first unit, two or more neither current nor unwritten: a format that did not
//    finish; the mount fails and the status says the drive needs a format.
//  - version of the older policy on the first unit: an upgrade only when most header pages say so (a
//    header page torn before its last bytes reads that way too); the upgrade writes versions last.
// Allocation entry (tag, check bytes, progress byte):
//  - length byte unwritten: the end of the list; if the rest was written (a torn first program), the
//    entry is cleared for good, so that the next one is not programmed over it.
//  - state bits and progress byte torn between two neighbouring states: the state their vote gives,
//    written first where only bits are to be cleared, so that a torn next step still leaves a vote.
//  - a tag no vote mends: its block moves as it stands and the entry is cleared (dead).
//  - written (first step): dead; its data may be torn.
//  - undiscarded: its data is whole; older copies of its pages are discarded again (a discard of what
//    is already discarded changes nothing), then it is made valid.
//  - two live runs over the same pages (a split cut short): the run written last holds them; the other
//    is replaced by entries for its pages no later run covers, and only then discarded.
// Bad-block table (two copies per chunk):
//  - chunk 0: the two-copy update is finished from the copy that reads whole, or rebuilt from it.
//  - a later chunk in use that does not mount but still holds mappings: the drive is refused with a
//    log line, never given a fresh chunk; one that holds none is formatted.
#include "ftl/vbf.h"
#include "ftl/vbf_internal.h"

#include "ecc/spare.h"
#include "hostkernel/kernel.h"

#include <algorithm>
#include <cstring>

Partition partition[uVbfMaxDrives];
Partition *thisPartition = &partition[0];
RegionCache regionCache;

namespace {

uint16_t uVbfDrive;
uint16_t numAllocs;
uint16_t logUnit;
uint16_t bInProgressRemounted;
// Header pages of the last scan that hold the current format version, and those of the older policy.
uint16_t uNewVersions, uOldVersions;
uint8_t listBuffer[VBF_MAX_CACHE_ENTRIES * sizeof(AllocEntry)];

uint16_t UnitsPerRegion()
{
    return static_cast<uint16_t>(VBF_RAW_REGION / UnitSize());
}

// Data units region r has when the drive is whole (the last region may have fewer).
uint16_t ExpectedUnits(uint32_t region)
{
    const uint32_t expected = thisPartition->uTotalUnits - thisPartition->uSpareUnits;
    const uint32_t before = region * UnitsPerRegion();
    return static_cast<uint16_t>(before >= expected ? 0 : std::min<uint32_t>(UnitsPerRegion(), expected - before));
}

void RecordEUH(const EUH *h)
{
    Partition &p = *thisPartition;
    p.bValid = 1;
    p.bReadOnly = 0;
    p.ulUnitSize = h->ulUnitSize;
    p.uTotalUnits = h->uUnitCount;
    p.ulSerial = h->ulSerial;
    p.ulRegionSize = h->ulRegionSize;
    p.ulFormattedSize = h->ulFormattedSize;
    p.uSpareUnits = h->uSpareUnits;
    p.uAllocOffset = static_cast<uint16_t>(h->uAllocOffset * h->uPageSize);
    p.uStartUnit = static_cast<uint16_t>(h->ulAreaStart / h->ulUnitSize);
    p.uRegionCount = static_cast<uint16_t>(h->ulFormattedSize / h->ulRegionSize);
    p.uAllocSize = static_cast<uint16_t>((h->ulUnitSize / h->uPageSize) * 4);
    p.bUseHiddenArea = h->uAllocOffset == 0;
}

uint32_t TagSector(uint32_t ulHidden)
{
    const uint32_t unit = ulHidden & ~0x7FFu;
    const uint32_t place = ulHidden & 0x7FF;
    return lpThisMedia->bLLMode ? unit + place * SECTOR_SIZE : unit + place / 4 * SECTOR_SIZE;
}

// The spare of a tag as it stands on the flash, without the tag check.
bool ReadTagSpare(uint32_t ulHidden, uint8_t *pSpare)
{
    const uint16_t saved = lpThisMedia->bUseVBFEcc;
    lpThisMedia->bUseVBFEcc = 0;
    const uint16_t read = oemread(TagSector(ulHidden), SPARE_SIZE, pSpare, ACCESS_TYPE_SPARE);
    lpThisMedia->bUseVBFEcc = saved;
    return read != 0;
}

// A unit proves that it holds no live run when its list has no entry of a live state, with a tag
// that reads sound or mends, behind a sound system entry: what a cut in an erase or a format leaves.
// Only such a unit is erased when its header cannot be trusted or says it was being erased.
bool HoldsNoLiveRun(uint16_t unit)
{
    const uint32_t list = static_cast<uint32_t>(unit) * UnitSize() + AllocationOffset();
    const uint16_t entries = static_cast<uint16_t>(AllocationSize() / 4);
    for (uint16_t k = 0; k < entries; k++) {
        AllocEntry e;
        uint16_t check = SPARE_GOOD;
        if (UseHiddenArea()) {
            uint8_t spare[LARGE_SPARE_SIZE];
            if (!ReadTagSpare(list + 4u * k, spare))
                return false;
            check = spare[0] == ALLOC_END ? SPARE_GOOD : bbmisbadvbf(spare);
            std::memcpy(&e, spare, sizeof e);
        } else if (!oemread(list + 4u * k, sizeof e, reinterpret_cast<uint8_t *>(&e), ACCESS_TYPE_RAW)) {
            return false;
        }
        if (e.uLength == ALLOC_END)
            return true;
        if (k == 0 && (check != SPARE_GOOD || e.uClient != ALLOC_SYSTEM))
            return true;
        const uint8_t state = EntryState(e);
        if (k > 0 && check != SPARE_UNCORRECTABLE && (state == ALLOC_VALID || state == ALLOC_UNDISCARDED) &&
            e.uLength != 0)
            return false;
    }
    return true;
}

// A unit that holds live runs under a header that cannot be placed is kept as it is, and said once.
void KeepUnplaced(uint16_t unit, bool *logged)
{
    if (logged[unit])
        return;
    logged[unit] = true;
    printk("<3>TESSARO error: unit %d on device %d holds live data and cannot be placed: kept, the drive is read-only\n",
           unit, uCurrentDrive);
}

// A unit left erase-pending by an in-place clear that lost power: all its runs were discarded, so it
// becomes an empty data unit of its region again.
bool ClearPending(uint16_t unit, EUH &h)
{
    const uint32_t address = static_cast<uint32_t>(unit) * UnitSize();
    if (!EraseUnit(address, UnitSize()))
        return false;
    h.uState = EUH_STATE_VALID;
    h.uCopySource = EUH_NO_SOURCE;
    h.ulEraseCount++;
    SetCheckSum(&h);
    return FormatUnit(address, &h) != 0;
}

uint16_t RegionOf(const EUH &h)
{
    const uint32_t region = h.ulRegionAddress / RegionSize();
    return region < 0xFFFE ? static_cast<uint16_t>(region) : uint16_t{VBF_UNIT_FREE};
}

// The number of the region's data units the unit map holds.
uint16_t MappedUnits(uint16_t region)
{
    uint16_t count = 0;
    for (uint32_t u = StartUnit(); u < static_cast<uint32_t>(StartUnit()) + TotalUnits(); u++)
        count += thisPartition->auUnitMap[u] == region;
    return count;
}

// An in-place clear cut short leaves its unit erase-pending, or without a header once the erase
// began: such a unit becomes an empty data unit of a region that is short of one.
void ClearCutShort(const uint16_t *pending, unsigned count, uint16_t &mapped, uint16_t expected, uint16_t regions)
{
    Partition &p = *thisPartition;
    static bool logged[uVbfMaxEraseUnits];
    std::fill(std::begin(logged), std::end(logged), false);
    for (unsigned i = 0; i < count && mapped < expected; i++) {
        EUH h;
        const uint16_t u = pending[i];
        if (!ReadEUH(u * p.ulUnitSize, &h, 1) || h.uState != EUH_STATE_ERASE)
            continue;
        const uint16_t region = RegionOf(h);
        if (region >= regions || MappedUnits(region) >= ExpectedUnits(region))
            continue;
        if (!HoldsNoLiveRun(u)) {
            KeepUnplaced(u, logged);
            continue;
        }
        if (!ClearPending(u, h))
            continue;
        p.auUnitMap[u] = region;
        mapped++;
    }
    for (uint16_t region = 0; region < regions && mapped < expected; region++) {
        while (mapped < expected && MappedUnits(region) < ExpectedUnits(region)) {
            bool found = false;
            for (uint32_t u = p.uStartUnit; u < static_cast<uint32_t>(p.uStartUnit) + p.uTotalUnits && !found; u++) {
                EUH h;
                // Only a unit whose header cannot be trusted, and then only when its list proves it
                // holds no live run: a header that cannot be read is no proof of an erase.
                if (p.auUnitMap[u] != VBF_UNIT_FREE || ReadEUH(u * p.ulUnitSize, &h, 1))
                    continue;
                if (!HoldsNoLiveRun(static_cast<uint16_t>(u))) {
                    KeepUnplaced(static_cast<uint16_t>(u), logged);
                    continue;
                }
                if (!MountEUH(&h))
                    continue;
                h.ulRegionAddress = region * p.ulRegionSize;
                h.ulSerial = p.ulSerial;
                if (!ClearPending(static_cast<uint16_t>(u), h))
                    continue;
                p.auUnitMap[u] = region;
                mapped++;
                found = true;
            }
            if (!found)
                return;
        }
    }
}

} // namespace

void vbfreset()
{
    std::memset(partition, 0, sizeof partition);
    thisPartition = &partition[0];
    uVbfDrive = 0;
    numAllocs = logUnit = bInProgressRemounted = 0;
    VbfResetCollection();
    vbfinit();
    oemreset();
}

void vbfinit()
{
    std::memset(&regionCache, 0xFF, sizeof regionCache);
    regionCache.bValid = 0;
    for (Partition &p : partition) {
        p.bValid = 0;
        p.uStatus = VBF_STATUS_IDLE;
    }
}

uint16_t vbfpoolsize()
{
    return 0;
}

void vbfprogressmessage()
{
}

void vbfsetcurrentdrive(uint16_t uDrive)
{
    if (uDrive >= uVbfMaxDrives)
        return;
    uVbfDrive = uDrive;
    thisPartition = &partition[uDrive];
}

void VbfForgetDrive()
{
    thisPartition->bValid = 0;
    thisPartition->bNeedsFormat = 0;
    if (regionCache.uDrive == uVbfDrive)
        regionCache.bValid = 0;
}

uint16_t ScanUnits()
{
    Partition &p = *thisPartition;
    p.ulLowestEraseCount = 0x7FFFFFFF;
    p.bValid = 0;
    p.bNeedsFormat = 0;
    EUH first;
    if (!MountEUH(&first))
        return 0;
    const uint32_t startUnit = first.ulAreaStart / first.ulUnitSize;
    OemMediaInfo media;
    oemmediainfo(&media);
    if (first.uUnitCount > uVbfMaxEraseUnits || startUnit + first.uUnitCount - 1 >= uVbfMaxEraseUnits ||
        first.uSpareUnits >= first.uUnitCount ||
        first.ulAreaStart + static_cast<uint64_t>(first.uUnitCount) * first.ulUnitSize > media.ulMediaSize)
        return 0;
    RecordEUH(&first);
    // The first unit keeps the mark of a format in progress until the format's last header.
    if (FormatUnfinished(static_cast<uint32_t>(p.uStartUnit) * p.ulUnitSize)) {
        printk("<3>TESSARO error: a format of device %d did not finish: the drive needs a format\n", uCurrentDrive);
        p.bNeedsFormat = 1;
        p.bValid = 0;
        return 0;
    }
    std::fill(std::begin(p.auUnitMap), std::end(p.auUnitMap), uint16_t{VBF_UNIT_FREE});
    uNewVersions = uOldVersions = 0;
    const uint16_t expected = static_cast<uint16_t>(p.uTotalUnits - p.uSpareUnits);
    uint16_t mapped = 0;
    uint16_t pending[64];
    unsigned pendingCount = 0;
    const uint16_t regions = static_cast<uint16_t>((expected + UnitsPerRegion() - 1) / UnitsPerRegion());
    for (uint32_t u = p.uStartUnit; u < static_cast<uint32_t>(p.uStartUnit) + p.uTotalUnits; u++) {
        printk(".");
        EUH h;
        if (!ReadEUH(u * p.ulUnitSize, &h, 1) || h.ulSerial != p.ulSerial)
            continue;
        uint8_t version;
        if (LastEUHVersion(&version))
            (version & 0x80 ? uOldVersions : uNewVersions)++;
        if (mapped == expected)
            break;
        if (h.uState == EUH_STATE_VALID) {
            const uint16_t region = RegionOf(h);
            // A region holds no more units than it was formatted with, whatever a header claims.
            if (region >= regions || MappedUnits(region) >= ExpectedUnits(region))
                continue;
            p.auUnitMap[u] = region;
            mapped++;
            if (h.ulEraseCount < p.ulLowestEraseCount) {
                p.ulLowestEraseCount = h.ulEraseCount;
                p.uLeastWornUnit = static_cast<uint16_t>(u);
            }
        } else if (h.uState == EUH_STATE_COPY && !(h.uCopySource & EUH_COPY_RUNNING)) {
            EUH source;
            const uint32_t from = h.uCopySource;
            if (from < p.uStartUnit || from >= static_cast<uint32_t>(p.uStartUnit) + p.uTotalUnits)
                continue;
            if (!ReadEUH(from * p.ulUnitSize, &source, 1) || source.uState != EUH_STATE_ERASE)
                continue;
            const uint16_t region = RegionOf(h);
            if (region >= regions || MappedUnits(region) >= ExpectedUnits(region))
                continue;
            h.uState = EUH_STATE_VALID;
            if (!WriteEUH(u * p.ulUnitSize, &h))
                continue;
            p.auUnitMap[u] = region;
            mapped++;
        } else if (h.uState == EUH_STATE_ERASE && pendingCount < 64) {
            pending[pendingCount++] = static_cast<uint16_t>(u);
        }
    }
    ClearCutShort(pending, pendingCount, mapped, expected, regions);
    printk("\n-----: ScanUnits Done : 100%%\n");
    p.bValid = 1;
    if (mapped == expected)
        return 1;
    p.bReadOnly = 1;
    return 0;
}

uint16_t vbfmount()
{
    Partition &p = *thisPartition;
    p.uStatus = VBF_STATUS_READING;
    std::fill(std::begin(p.auUnitMap), std::end(p.auUnitMap), VBF_UNIT_FREE);
    regionCache.bValid = 0;
    std::fill(std::begin(regionCache.auUnits), std::end(regionCache.auUnits), VBF_UNIT_FREE);
    const uint16_t scanned = ScanUnits();
    uint8_t version = 0;
    if (!scanned || !vbfreadEUHversion(static_cast<uint32_t>(StartUnit()) * UnitSize(), &version)) {
        p.uStatus = VBF_STATUS_IDLE;
        return 0;
    }
    // A header page rewritten after an erase and cut short before its last bytes reads as one of the
    // older policy; the drive is of that policy only when most of its header pages say so, and an
    // upgrade of a drive of the current one would settle torn tags otherwise than the mounts before.
    if ((version & 0x80) && uOldVersions > uNewVersions) {
        if (!vbfupgradepolicy() ||
            !vbfwriteEUHversion(static_cast<uint32_t>(StartUnit()) * UnitSize(), VBF_FORMAT_VERSION)) {
            p.uStatus = VBF_STATUS_IDLE;
            return 0;
        }
    }
    p.uStatus = VBF_STATUS_IDLE;
    return 1;
}

uint32_t vbfclientsize()
{
    return IsValidPartition() ? FormattedSize() : 0;
}

uint16_t vbfstatus()
{
    return static_cast<uint16_t>(thisPartition->uStatus | (thisPartition->bNeedsFormat ? VBF_STATUS_NEEDS_FORMAT : 0));
}

uint16_t vbfgetpartitioninfo(uint32_t *pulInfo)
{
    const Partition &p = *thisPartition;
    pulInfo[0] = p.uRegionCount;
    pulInfo[1] = p.ulRegionSize;
    pulInfo[2] = p.uTotalUnits;
    pulInfo[3] = p.ulUnitSize;
    pulInfo[4] = p.uSpareUnits;
    pulInfo[5] = p.ulFormattedSize;
    pulInfo[6] = p.uAllocOffset;
    pulInfo[7] = p.uAllocSize;
    return 1;
}

uint16_t EntryAccessType()
{
    return UseHiddenArea() ? ACCESS_TYPE_HIDDEN : ACCESS_TYPE_RAW;
}

uint8_t EntryState(const AllocEntry &e)
{
    return static_cast<uint8_t>(e.uClient >> 12);
}

uint16_t EntryClientPage(const AllocEntry &e)
{
    return e.uClient & ALLOC_PAGE_MASK;
}

namespace {

// An entry whose first program a power loss tore may fail its tag check for good. Its tag, check and
// progress bytes are all cleared: a dead entry (state 0, no pages) that reads without fault.
bool KillEntry(uint32_t ulHidden)
{
    const uint32_t unit = ulHidden & ~0x7FFu;
    const uint32_t place = ulHidden & 0x7FF;
    const uint32_t sector = lpThisMedia->bLLMode ? unit + place * SECTOR_SIZE : unit + place / 4 * SECTOR_SIZE;
    uint8_t spare[SPARE_SIZE];
    std::memset(spare, 0xFF, sizeof spare);
    std::memset(spare, 0x00, 7);
    const uint16_t saved = lpThisMedia->bRawSpare;
    lpThisMedia->bRawSpare = 1;
    const uint16_t written = oemwrite(sector, sizeof spare, spare, ACCESS_TYPE_SPARE);
    lpThisMedia->bRawSpare = saved;
    return written != 0;
}

// The spare that holds the tag of a hidden address, read as it is.
bool TagSpareBlank(uint32_t ulHidden)
{
    const uint32_t unit = ulHidden & ~0x7FFu;
    const uint32_t place = ulHidden & 0x7FF;
    const uint32_t sector = lpThisMedia->bLLMode ? unit + place * SECTOR_SIZE : unit + place / 4 * SECTOR_SIZE;
    uint8_t spare[LARGE_SPARE_SIZE];
    const uint16_t saved = lpThisMedia->bUseVBFEcc;
    lpThisMedia->bUseVBFEcc = 0;
    const uint16_t read = oemread(sector, SPARE_SIZE, spare, ACCESS_TYPE_SPARE);
    lpThisMedia->bUseVBFEcc = saved;
    if (!read)
        return false;
    for (unsigned i = 0; i < 7; i++)
        if (spare[i] != 0xFF)
            return false;
    return true;
}

// A tag torn between two states reads as the state its bytes vote for, a decision taken on bytes the
// next step programs over: torn in turn, that step could leave three states for no vote. What the
// vote decided is written first where only bits are to be cleared; a decision for the earlier state
// (a dead entry) is never written over. Only lists whose read needed a correction are looked at.
void SettleTornTags(uint32_t ulList, const AllocEntry *pList, uint16_t uEntries)
{
    for (uint16_t k = 0; k < uEntries && pList[k].uLength != ALLOC_END; k++) {
        const uint32_t sector = TagSector(ulList + 4u * k);
        uint8_t raw[LARGE_SPARE_SIZE];
        const bool read = ReadTagSpare(ulList + 4u * k, raw);
        uint8_t voted[SPARE_SIZE];
        std::memcpy(voted, raw, SPARE_SIZE);
        if (!read || bbmisbadvbf(voted) != SPARE_CORRECTED)
            continue;
        bool clearsOnly = true;
        for (unsigned i = 0; i < 7; i++)
            clearsOnly = clearsOnly && (voted[i] & raw[i]) == voted[i];
        if (!clearsOnly)
            continue;
        std::memset(voted + 7, 0xFF, SPARE_SIZE - 7);
        const uint16_t rawSpare = lpThisMedia->bRawSpare;
        lpThisMedia->bRawSpare = 1;
        oemwrite(sector, SPARE_SIZE, voted, ACCESS_TYPE_SPARE);
        lpThisMedia->bRawSpare = rawSpare;
    }
}

// The first unwritten entry of a list is where the next one goes. A power loss that tore an entry's
// first program may have left its length byte unwritten and the rest not: that entry is cleared for
// good, so that the next one is not programmed over it.
void SkipTornEnd(uint32_t ulList, AllocEntry *pList, uint16_t uEntries)
{
    uint16_t k = 0;
    while (k < uEntries && pList[k].uLength != ALLOC_END)
        k++;
    if (k == uEntries || TagSpareBlank(ulList + 4u * k))
        return;
    if (KillEntry(ulList + 4u * k))
        std::memset(&pList[k], 0x00, sizeof pList[k]);
}

} // namespace

uint16_t ReadAllocationList(uint32_t ulAddress, uint16_t uLength, uint8_t *pBuffer, uint16_t uType)
{
    // The hidden read stops at the first unwritten tag: what follows must read as unwritten too.
    std::memset(pBuffer, 0xFF, uLength);
    if (oemread(ulAddress, uLength, pBuffer, uType))
        return 1;
    printk("<3>%s: Type = %d VBFECC oemread failed at 0x%x\n", "ReadAllocationList", uType, ulAddress);
    if (uType != ACCESS_TYPE_HIDDEN)
        return 0;
    std::memset(pBuffer, 0xFF, uLength);
    for (uint32_t k = 0; k + 4 <= uLength; k += 4) {
        if (!oemread(ulAddress + k, 4, pBuffer + k, uType)) {
            lpThisMedia->bECCHasCorrectedData = 0;
            if (!KillEntry(ulAddress + k))
                return 0;
            std::memset(pBuffer + k, 0x00, 4);
            continue;
        }
        if (pBuffer[k] == ALLOC_END) {
            std::memset(pBuffer + k, 0xFF, uLength - k);
            break;
        }
    }
    return 1;
}

uint16_t WriteAllocationEntry(uint32_t ulAddress, const AllocEntry *pEntry, uint16_t uType)
{
    return oemwrite(ulAddress, sizeof *pEntry, reinterpret_cast<const uint8_t *>(pEntry), uType);
}

uint16_t LogicalUnit(uint16_t uUnit, uint16_t *puSlot)
{
    for (uint16_t slot = 0; slot < regionCache.uUnitCount && slot < VBF_MAX_REGION_UNITS; slot++) {
        if (regionCache.auUnits[slot] == uUnit) {
            *puSlot = slot;
            return 1;
        }
    }
    return 0;
}

void CompileUnitInformation(uint16_t uUnit, AllocEntry *pList, UnitInfo *pInfo)
{
    const uint32_t page = VbfPageSize();
    const uint32_t start = static_cast<uint32_t>(uUnit) * UnitSize();
    const uint16_t entries = static_cast<uint16_t>(AllocationSize() / 4);
    uint32_t used = 0;
    uint32_t end = 0;
    uint16_t k = 0;
    for (; k < entries && pList[k].uLength != ALLOC_END; k++) {
        AllocEntry &e = pList[k];
        const uint16_t state = static_cast<uint16_t>(e.uClient >> 12);
        if ((state & 0x4) && !(state & 0x1))
            used += e.uLength;
        if (e.uClient != 0xFFFF)
            end = std::max<uint32_t>(end, static_cast<uint32_t>(e.uPhysPage) + e.uLength);
        if (state == ALLOC_UNDISCARDED) {
            regionCache.inProgress = e;
            regionCache.ulInProgressAddress = start + AllocationOffset() + 4u * k;
            regionCache.bInProgress = 1;
            std::memset(&e, 0xFF, sizeof e);
        }
    }
    const uint32_t pages = UnitSize() / page;
    end = std::min(end, pages);
    used = std::min(used, end);
    pInfo->ulNextData = start + end * page;
    pInfo->ulNextEntry = start + AllocationOffset() + 4u * k;
    pInfo->ulFree = UnitSize() - end * page;
    pInfo->ulDiscarded = UnitSize() - used * page - pInfo->ulFree;
    // A full list takes no further run, whatever pages are left.
    if (k >= entries)
        pInfo->ulFree = 0;
}

uint16_t ReadAllAllocationsIntoCache(uint16_t uRegion)
{
    const uint16_t entries = static_cast<uint16_t>(AllocationSize() / 4);
    for (uint32_t u = StartUnit(); u < static_cast<uint32_t>(StartUnit()) + TotalUnits(); u++) {
        if (thisPartition->auUnitMap[u] != uRegion)
            continue;
        if (logUnit >= VBF_MAX_REGION_UNITS || numAllocs + entries > VBF_MAX_CACHE_ENTRIES)
            return 0;
        AllocEntry *list = &regionCache.entries[numAllocs];
        if (!ReadAllocationList(u * UnitSize() + AllocationOffset(), AllocationSize(),
                                reinterpret_cast<uint8_t *>(list), EntryAccessType()))
            return 0;
        const bool corrected = lpThisMedia->bECCHasCorrectedData;
        lpThisMedia->bECCHasCorrectedData = 0;
        if (UseHiddenArea() && corrected)
            SettleTornTags(u * UnitSize() + AllocationOffset(), list, entries);
        if (UseHiddenArea())
            SkipTornEnd(u * UnitSize() + AllocationOffset(), list, entries);
        const uint16_t slot = logUnit++;
        regionCache.auUnits[slot] = static_cast<uint16_t>(u);
        CompileUnitInformation(static_cast<uint16_t>(u), list, &regionCache.info[slot]);
        bool ended = false;
        for (uint16_t k = 0; k < entries; k++) {
            AllocEntry &e = list[k];
            ended = ended || e.uLength == ALLOC_END;
            if (!ended && EntryState(e) == ALLOC_VALID && e.uClient != ALLOC_SYSTEM && e.uLength != 0)
                e.uClient = static_cast<uint16_t>((e.uClient & ALLOC_PAGE_MASK) | slot << 12);
            else
                std::memset(&e, 0xFF, sizeof e);
            regionCache.auPositions[numAllocs + k] = k;
        }
        numAllocs = static_cast<uint16_t>(numAllocs + entries);
    }
    return 1;
}

void CleanUpRegion()
{
    uint16_t &count = regionCache.uEntryCount;
    while (count > 0 && regionCache.entries[count - 1].uClient == 0xFFFF)
        count--;
    for (uint16_t i = 0; i < count; i++) {
        if (regionCache.entries[i].uClient != 0xFFFF)
            continue;
        regionCache.entries[i] = regionCache.entries[count - 1];
        regionCache.auPositions[i] = regionCache.auPositions[count - 1];
        std::memset(&regionCache.entries[count - 1], 0xFF, sizeof(AllocEntry));
        count--;
        while (count > 0 && regionCache.entries[count - 1].uClient == 0xFFFF)
            count--;
    }
}

void VBFSort(AllocEntry *pEntries, uint16_t *puPositions, uint16_t uCount)
{
    static const int kGaps[] = {127, 51, 11, 1};
    for (int gap : kGaps) {
        for (int i = gap; i < uCount; i++) {
            const AllocEntry e = pEntries[i];
            const uint16_t position = puPositions[i];
            int j = i;
            while (j >= gap && EntryClientPage(pEntries[j - gap]) >= EntryClientPage(e)) {
                pEntries[j] = pEntries[j - gap];
                puPositions[j] = puPositions[j - gap];
                j -= gap;
            }
            pEntries[j] = e;
            puPositions[j] = position;
        }
    }
}

namespace {

uint16_t SlotOf(const AllocEntry &e)
{
    return static_cast<uint16_t>(e.uClient >> 12);
}

// Which of two live runs was written last: in one unit the later entry of its list (entries are only
// ever appended); runs of two units never share pages but through a fault, and then the higher unit
// is taken, so that the choice at least never changes from one reading to the next.
bool WrittenAfter(const AllocEntry *entries, const uint16_t *positions, uint16_t a, uint16_t b)
{
    const uint16_t slotA = SlotOf(entries[a]), slotB = SlotOf(entries[b]);
    if (slotA != slotB)
        return regionCache.auUnits[slotA] > regionCache.auUnits[slotB];
    return positions[a] > positions[b];
}

enum class Overlaps { None, Settled, Failed };

// Marks the pages of run o that a run written after it covers; true when there is one.
bool PagesWrittenLater(const AllocEntry *runs, const uint16_t *positions, uint16_t count, uint16_t o, bool *later)
{
    const uint32_t first = EntryClientPage(runs[o]), length = runs[o].uLength;
    bool hit = false;
    for (uint16_t j = 0; j < count; j++) {
        const uint32_t from = EntryClientPage(runs[j]), to = from + runs[j].uLength;
        if (j == o || to <= first || from >= first + length || !WrittenAfter(runs, positions, j, o))
            continue;
        for (uint32_t page = std::max(from, first); page < std::min(to, first + length); page++)
            later[page - first] = true;
        hit = true;
    }
    return hit;
}

// Two live runs over the same client pages are what a power loss leaves between the pieces of a split
// and the discard of the whole run, and would otherwise answer a read one way or the other as the
// cache happens to be ordered. The run written last holds the pages: an older run is replaced by
// entries for its pages that no later run covers, and discarded. A unit whose list has no room for
// those entries is collected instead, with the older runs cut down in the cache the collection copies.
Overlaps SettleOverlaps()
{
    RegionCache &c = regionCache;
    const uint16_t count = c.uEntryCount;
    static uint16_t order[VBF_MAX_CACHE_ENTRIES];
    for (uint16_t i = 0; i < count; i++)
        order[i] = i;
    std::sort(order, order + count, [&c](uint16_t a, uint16_t b) {
        return EntryClientPage(c.entries[a]) < EntryClientPage(c.entries[b]);
    });
    bool any = false;
    for (uint32_t k = 0, reach = 0; k < count && !any; k++) {
        const AllocEntry &e = c.entries[order[k]];
        any = EntryClientPage(e) < reach;
        reach = std::max<uint32_t>(reach, EntryClientPage(e) + e.uLength);
    }
    if (!any)
        return Overlaps::None;
    // The cache grows as pieces are written: the decisions are taken on the runs as they were read.
    static AllocEntry runs[VBF_MAX_CACHE_ENTRIES];
    static uint16_t positions[VBF_MAX_CACHE_ENTRIES];
    std::copy(c.entries, c.entries + count, runs);
    std::copy(c.auPositions, c.auPositions + count, positions);
    const uint16_t inProgress = c.bInProgress;
    c.bInProgress = 0;
    int crowded = -1;
    bool wrote = false;
    struct Piece {
        uint16_t first, length;
    };
    for (uint16_t o = 0; o < count && crowded < 0; o++) {
        const uint32_t first = EntryClientPage(runs[o]), length = runs[o].uLength;
        bool later[256] = {};
        if (!PagesWrittenLater(runs, positions, count, o, later))
            continue;
        Piece pieces[128];
        unsigned n = 0;
        for (uint32_t k = 0; k < length; k++) {
            if (later[k])
                continue;
            if (n > 0 && pieces[n - 1].first + pieces[n - 1].length == k)
                pieces[n - 1].length++;
            else
                pieces[n++] = {static_cast<uint16_t>(k), 1};
        }
        const uint16_t slot = SlotOf(runs[o]);
        if (FreeEntries(slot) < n) {
            crowded = slot;
            break;
        }
        for (unsigned k = 0; k < n; k++) {
            AllocEntry piece = runs[o];
            piece.uLength = static_cast<uint8_t>(pieces[k].length);
            piece.uPhysPage = static_cast<uint8_t>(runs[o].uPhysPage + pieces[k].first);
            piece.uClient = EntryValue(static_cast<uint16_t>(first + pieces[k].first), ALLOC_VALID);
            if (!WriteNewAlloc(slot, &c.info[slot].ulNextEntry, &piece)) {
                c.bInProgress = inProgress;
                return Overlaps::Failed;
            }
        }
        wrote = true;
        AllocEntry old = runs[o];
        old.uClient = EntryValue(static_cast<uint16_t>(first), ALLOC_DISCARDED);
        const uint32_t flash = static_cast<uint32_t>(c.auUnits[slot]) * UnitSize() + AllocationOffset() + 4u * positions[o];
        if (!WriteAllocationEntry(flash, &old, EntryAccessType())) {
            c.bInProgress = inProgress;
            return Overlaps::Failed;
        }
    }
    c.bInProgress = inProgress;
    // What was written is read again first: the cache then holds the runs as they are.
    if (crowded < 0 || wrote)
        return Overlaps::Settled;
    // The crowded unit's runs are cut down in the cache to what they hold, then the unit is collected.
    c.bInProgress = 0;
    for (uint16_t o = 0; o < count; o++) {
        if (SlotOf(runs[o]) != crowded)
            continue;
        const uint32_t first = EntryClientPage(runs[o]), length = runs[o].uLength;
        bool later[256] = {};
        PagesWrittenLater(runs, positions, count, o, later);
        std::memset(&c.entries[o], 0xFF, sizeof c.entries[o]);
        for (uint32_t k = 0; k < length; k++) {
            if (later[k])
                continue;
            uint32_t end = k;
            while (end < length && !later[end])
                end++;
            AllocEntry piece = runs[o];
            piece.uLength = static_cast<uint8_t>(end - k);
            piece.uPhysPage = static_cast<uint8_t>(runs[o].uPhysPage + k);
            piece.uClient = static_cast<uint16_t>(((first + k) & ALLOC_PAGE_MASK) | crowded << 12);
            if (c.entries[o].uClient == 0xFFFF)
                c.entries[o] = piece;
            else if (c.uEntryCount < VBF_MAX_CACHE_ENTRIES)
                c.entries[c.uEntryCount++] = piece;
            k = end;
        }
    }
    CleanUpRegion();
    c.bValid = 1;
    c.bSorted = 0;
    const uint16_t collected = GarbageCollectUnit(c.auUnits[crowded]);
    c.bValid = 0;
    return collected ? Overlaps::Settled : Overlaps::Failed;
}

} // namespace

uint16_t MountRegion(uint16_t uRegion, uint16_t bSorted)
{
    numAllocs = 0;
    logUnit = 0;
    RegionCache &c = regionCache;
    if (c.bValid && c.uDrive == uVbfDrive && c.uRegion == uRegion) {
        if (c.bSorted || !bSorted) {
            c.bSorted = bSorted;
            return 1;
        }
        VBFSort(c.entries, c.auPositions, c.uEntryCount);
        c.bSorted = 1;
        return 1;
    }
    // Besides an interrupted write, a split entry cut short between its steps is in progress: a
    // region may hold one of each, and runs a cut left over the same pages.
    constexpr int kPasses = 8;
    for (int pass = 0; pass < kPasses; pass++) {
        numAllocs = 0;
        logUnit = 0;
        c.bInProgress = 0;
        std::memset(c.entries, 0xFF, sizeof c.entries);
        std::fill(std::begin(c.auUnits), std::end(c.auUnits), VBF_UNIT_FREE);
        const uint16_t read = ReadAllAllocationsIntoCache(uRegion);
        c.uUnitCount = logUnit;
        c.uEntryCount = numAllocs;
        c.uRegion = uRegion;
        c.uDrive = uVbfDrive;
        if (!read) {
            c.bValid = 0;
            return 0;
        }
        CleanUpRegion();
        const Overlaps overlaps = pass == kPasses - 1 ? Overlaps::None : SettleOverlaps();
        if (overlaps == Overlaps::Failed) {
            thisPartition->bReadOnly = 1;
            c.bValid = 0;
            return 0;
        }
        if (overlaps == Overlaps::Settled) {
            c.bValid = 0;
            continue;
        }
        c.bSorted = bSorted;
        if (bSorted)
            VBFSort(c.entries, c.auPositions, c.uEntryCount);
        c.bValid = 1;
        if (!c.bInProgress)
            return 1;
        if (pass == kPasses - 1) {
            thisPartition->bReadOnly = 1;
            return 1;
        }
        bInProgressRemounted = 1;
        if (!FixInProgressDiscard())
            return 1;
        c.bValid = 0;
    }
    return 1;
}

uint16_t FixInProgressDiscard()
{
    RegionCache &c = regionCache;
    AllocEntry e = c.inProgress;
    const uint32_t address = c.ulInProgressAddress;
    const uint32_t client = static_cast<uint32_t>(c.uRegion) * RegionSize() +
                            static_cast<uint32_t>(EntryClientPage(e)) * VbfPageSize();
    c.bInProgress = 0;
    // The run itself is not in the cache yet: the discard removes only its older copies.
    if (!DoDiscard(client, static_cast<uint16_t>(e.uLength * VbfPageSize()))) {
        thisPartition->bReadOnly = 1;
        return 0;
    }
    e.uClient = EntryValue(EntryClientPage(e), ALLOC_VALID);
    const uint16_t saved = lpThisMedia->bUseVBFEcc;
    lpThisMedia->bUseVBFEcc = 1;
    const uint16_t written = WriteAllocationEntryAndRegion(address, &e);
    lpThisMedia->bUseVBFEcc = saved;
    if (!written) {
        thisPartition->bReadOnly = 1;
        return 0;
    }
    return 1;
}

uint16_t FindAllocation(uint32_t ulAddress, uint16_t *puIndex, uint16_t *puSlot, AllocEntry *pEntry)
{
    const RegionCache &c = regionCache;
    if (c.uEntryCount == 0)
        return 0;
    const uint32_t p = (ulAddress % RegionSize()) >> VbfPageShift();
    auto covers = [p](const AllocEntry &e) {
        const uint32_t first = EntryClientPage(e);
        return first <= p && p < first + e.uLength;
    };
    int found = -1;
    if (c.bSorted) {
        // The last entry that starts at or before p, then back over the runs that may still reach p:
        // runs can overlap (a split cut short leaves its head or tail beside the whole run), and a
        // plain binary search would step past the one that covers p.
        int low = 0;
        int high = c.uEntryCount - 1;
        int last = -1;
        while (low <= high) {
            const int middle = (low + high) / 2;
            if (EntryClientPage(c.entries[middle]) <= p) {
                last = middle;
                low = middle + 1;
            } else {
                high = middle - 1;
            }
        }
        for (int i = last; i >= 0 && EntryClientPage(c.entries[i]) + 255u >= p; i--) {
            if (covers(c.entries[i])) {
                found = i;
                break;
            }
        }
    } else {
        for (int i = 0; i < c.uEntryCount; i++) {
            if (c.entries[i].uClient != 0xFFFF && covers(c.entries[i])) {
                found = i;
                break;
            }
        }
    }
    if (found < 0)
        return 0;
    *puIndex = static_cast<uint16_t>(found);
    *puSlot = static_cast<uint16_t>(c.entries[found].uClient >> 12);
    *pEntry = c.entries[found];
    pEntry->uClient = EntryValue(EntryClientPage(*pEntry), ALLOC_VALID);
    return 1;
}

uint16_t WriteAllocationEntryAndRegion(uint32_t ulAddress, const AllocEntry *pEntry)
{
    const uint16_t written = WriteAllocationEntry(ulAddress, pEntry, EntryAccessType());
    RegionCache &c = regionCache;
    uint16_t slot;
    if (written && c.bValid && c.uDrive == uVbfDrive && EntryState(*pEntry) == ALLOC_VALID &&
        pEntry->uClient != ALLOC_SYSTEM && LogicalUnit(static_cast<uint16_t>(ulAddress / UnitSize()), &slot) &&
        c.uEntryCount < VBF_MAX_CACHE_ENTRIES) {
        AllocEntry e = *pEntry;
        e.uClient = static_cast<uint16_t>((e.uClient & ALLOC_PAGE_MASK) | slot << 12);
        c.entries[c.uEntryCount] = e;
        c.auPositions[c.uEntryCount] =
            static_cast<uint16_t>((ulAddress - static_cast<uint32_t>(c.auUnits[slot]) * UnitSize() - AllocationOffset()) / 4);
        c.uEntryCount++;
        c.bSorted = 0;
    }
    return written;
}

namespace {

void BuildBlockMap(uint16_t uUnit, uint8_t *pMap, uint32_t uPages)
{
    std::memset(pMap, 0x11, uPages);
    const uint16_t saved = lpThisMedia->bECCHasCorrectedData;
    lpThisMedia->bECCHasCorrectedData = 0;
    const uint32_t address = static_cast<uint32_t>(uUnit) * UnitSize() + AllocationOffset();
    if (!ReadAllocationList(address, AllocationSize(), listBuffer, EntryAccessType())) {
        lpThisMedia->bECCHasCorrectedData = saved;
        return;
    }
    const bool corrected = UseHiddenArea() && lpThisMedia->bECCHasCorrectedData;
    lpThisMedia->bECCHasCorrectedData = saved;
    const AllocEntry *list = reinterpret_cast<const AllocEntry *>(listBuffer);
    for (uint32_t k = 0; k < AllocationSize() / 4u && list[k].uLength != ALLOC_END; k++) {
        const AllocEntry &e = list[k];
        const uint8_t state = EntryState(e);
        uint8_t code = 0;
        if (e.uClient == ALLOC_SYSTEM)
            code = 0x10;
        else if (state == ALLOC_VALID || state == ALLOC_UNDISCARDED)
            code = 0x12;
        else if (state == ALLOC_DISCARDED || state == ALLOC_WRITTEN)
            code = 0x13;
        if (code == 0)
            continue;
        for (uint32_t page = e.uPhysPage; page < static_cast<uint32_t>(e.uPhysPage) + e.uLength && page < uPages; page++)
            pMap[page] = code;
    }
    if (corrected) {
        printk("<6>%s: Start GC because of an error at 0x%8x\n", "BuildBlockMap", address);
        if (!GarbageCollectUnit(uUnit))
            printk("<3>%s: GC failed !!\n", "BuildBlockMap");
    }
}

} // namespace

uint16_t vbfgetunitinfo(VbfUnitInfo *pInfo)
{
    pInfo->bValid = 0;
    if (!IsValidPartition() || pInfo->uUnit >= TotalUnits())
        return 0;
    const uint32_t page = VbfPageSize();
    const uint32_t pages = UnitSize() / page;
    if (pages > sizeof pInfo->acBlockMap)
        return 0;
    const uint16_t unit = static_cast<uint16_t>(StartUnit() + pInfo->uUnit);
    const uint32_t overhead = UseHiddenArea() ? page : (AllocationSize() + page - 1) / page * page + page;
    const uint16_t region = thisPartition->auUnitMap[unit];
    pInfo->ulRegionSize = RegionSize();
    pInfo->ulTotalUnits = TotalUnits();
    pInfo->ulOverhead = overhead;
    pInfo->ulPagesPerUnit = pages;
    uint16_t slot;
    if (region < VBF_UNIT_UNUSABLE && MountRegion(region, 0) && LogicalUnit(unit, &slot)) {
        pInfo->ulRegionAddress = region * RegionSize();
        pInfo->ulFree = regionCache.info[slot].ulFree;
        pInfo->ulDiscarded = regionCache.info[slot].ulDiscarded;
        pInfo->ulData = UnitSize() - overhead - pInfo->ulDiscarded - pInfo->ulFree;
    } else {
        pInfo->ulRegionAddress = 0;
        pInfo->ulFree = UnitSize() - overhead;
        pInfo->ulData = 0;
        pInfo->ulDiscarded = 0;
    }
    EUH h;
    ReadEUH(static_cast<uint32_t>(unit) * UnitSize(), &h, 1);
    pInfo->ulEraseCount = h.ulEraseCount;
    BuildBlockMap(unit, pInfo->acBlockMap, pages);
    pInfo->bValid = 1;
    return 1;
}

uint16_t IsValidPartition() { return thisPartition->bValid == 1; }
uint16_t IsReadOnly() { return thisPartition->bReadOnly == 1; }
uint16_t UseHiddenArea() { return thisPartition->bUseHiddenArea == 1; }
uint16_t TotalUnits() { return thisPartition->uTotalUnits; }
uint16_t StartUnit() { return thisPartition->uStartUnit; }
uint16_t AllocationOffset() { return thisPartition->uAllocOffset; }
uint16_t AllocationSize() { return thisPartition->uAllocSize; }
uint32_t RegionSize() { return thisPartition->ulRegionSize; }
uint32_t FormattedSize() { return thisPartition->ulFormattedSize; }
uint32_t UnitSize() { return thisPartition->ulUnitSize; }
