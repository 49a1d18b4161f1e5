// Client reads, writes and discards, and the usage of the flash.
#include "ftl/vbf.h"
#include "ftl/vbf_internal.h"

#include "hostkernel/kernel.h"
#include "services/services.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kMinimumFree = 1024;
constexpr unsigned kCollectTries = 5;
constexpr unsigned kWriteTries = 5;
constexpr unsigned kRoomCollections = 64; // per region of one write: a bound, never met in practice
constexpr uint8_t kUnwritten = 0xFE;

uint8_t pcVbfBlock[LARGE_PAGE_SIZE];
uint8_t *pAllocBuffer;
uint32_t ulDiskDataBytes, ulDiskSystemBytes, ulDiskFreeBytes, ulDiskDiscardedBytes;
int32_t lLow, lHigh, lAverage;

uint32_t Page()
{
    return VbfPageSize();
}

uint32_t ClientPage(uint32_t address)
{
    return (address % RegionSize()) >> VbfPageShift();
}

void LogRegionUnits()
{
    for (uint16_t slot = 0; slot < regionCache.uUnitCount; slot++)
        printk("<4>%d ", regionCache.auUnits[slot]);
    printk("<4>\n");
}

uint16_t ReadAllocationData(uint8_t *pBuffer, uint32_t ulAddress, uint16_t uLength, uint16_t uUnit,
                            const AllocEntry *e, uint16_t *puRead)
{
    const uint32_t p = ClientPage(ulAddress);
    const uint32_t into = p - EntryClientPage(*e);
    const uint32_t pages = std::min<uint32_t>(uLength >> VbfPageShift(), e->uLength - into);
    *puRead = static_cast<uint16_t>(pages << VbfPageShift());
    const uint32_t flash = static_cast<uint32_t>(uUnit) * UnitSize() + (e->uPhysPage + into) * Page();
    return oemread(flash, *puRead, pBuffer, ACCESS_TYPE_ECC);
}

uint16_t _vbfread(uint32_t ulAddress, uint16_t uLength, uint8_t *pBuffer)
{
    if (!IsValidPartition())
        return 0;
    thisPartition->uStatus = VBF_STATUS_READING;
    while (uLength > 0) {
        if (ulAddress >= FormattedSize())
            return 0;
        const uint16_t region = static_cast<uint16_t>(ulAddress / RegionSize());
        if (!MountRegion(region, 1))
            return 0;
        uint16_t index, slot, n;
        AllocEntry e;
        if (FindAllocation(ulAddress, &index, &slot, &e)) {
            lpThisMedia->bECCHasCorrectedData = 0;
            if (!ReadAllocationData(pBuffer, ulAddress, uLength, regionCache.auUnits[slot], &e, &n)) {
                if (!lpThisMedia->bECCHasCorrectedData) {
                    printk("<3>[Flash NAND] Got here without ECC error, bad.\n");
                    return 0;
                }
                printk("<4>[Flash NAND] -----------------------------------------------\n");
                printk("<4>[Flash NAND] Detected Soft Error at 0x%08x : Garbage Collector.\n", ulAddress);
                // The corrected data is a good read whatever the collection does: a soft error
                // neither fails the read nor turns the drive read-only.
                if (!GarbageCollect(1, ulAddress)) {
                    printk("<3>[Flash NAND] GC failed. Return FALSE.\n");
                } else {
                    printk("<4>[Flash NAND] GC performed. Re-mount Region.\n");
                    MountRegion(region, 1);
                    printk("<4>[Flash NAND] This Region now groups Logical Unit Number : ");
                    LogRegionUnits();
                    printk("<4>[Flash NAND] -----------------------------------------------\n");
                }
                lpThisMedia->bECCHasCorrectedData = 0;
            }
        } else {
            n = static_cast<uint16_t>(std::min<uint32_t>(Page(), uLength));
            std::memset(pBuffer, kUnwritten, n);
        }
        ulAddress += n;
        pBuffer += n;
        uLength = static_cast<uint16_t>(uLength - n);
    }
    thisPartition->uStatus = VBF_STATUS_IDLE;
    return 1;
}

} // namespace

uint16_t FreeEntries(uint16_t slot)
{
    const uint32_t unitStart = static_cast<uint32_t>(regionCache.auUnits[slot]) * UnitSize();
    const uint32_t listEnd = unitStart + AllocationOffset() + AllocationSize();
    const uint32_t next = regionCache.info[slot].ulNextEntry;
    return static_cast<uint16_t>(next >= listEnd ? 0 : (listEnd - next) / 4);
}

uint16_t WriteNewAlloc(uint16_t uSlot, uint32_t *pulNext, const AllocEntry *e)
{
    uint32_t found;
    if (regionCache.bInProgress && FindPhysAlloc(regionCache.auUnits[uSlot], e, &found)) {
        regionCache.info[uSlot].ulDiscarded += static_cast<uint32_t>(e->uLength) * Page();
        return 1;
    }
    const uint32_t unitStart = static_cast<uint32_t>(regionCache.auUnits[uSlot]) * UnitSize();
    // A full list never spills into the next unit's spare area.
    if (*pulNext >= unitStart + AllocationOffset() + AllocationSize())
        return 0;
    // A fresh entry goes through the states one step at a time, as a write's does: a power loss that
    // tears its first program leaves state 0xF, whatever else it leaves, so a torn entry never passes
    // for a valid run; one that tears a later step leaves one of two neighbouring states, which the
    // tag's progress byte can vote on.
    AllocEntry step = *e;
    step.uClient = EntryValue(EntryClientPage(*e), ALLOC_WRITTEN);
    const uint16_t saved = lpThisMedia->bUseVBFEcc;
    lpThisMedia->bUseVBFEcc = 1;
    const uint16_t written = WriteAllocationEntryAndRegion(*pulNext, &step);
    lpThisMedia->bUseVBFEcc = saved;
    step.uClient = EntryValue(EntryClientPage(*e), ALLOC_UNDISCARDED);
    if (!written || !WriteAllocationEntryAndRegion(*pulNext, &step) || !WriteAllocationEntryAndRegion(*pulNext, e))
        return 0;
    *pulNext += 4;
    return 1;
}

namespace {

// The runs a discard of [address, address + length) would split, in their units' lists: each needs
// a free entry (two when one run is split on both sides), and one more where the new run may land.
// The slot of a unit short of entries, or -1.
int ShortOfEntries(uint32_t ulAddress, uint32_t ulLength)
{
    const uint32_t last = ulAddress + ulLength - Page();
    uint16_t index, slotA, slotB;
    AllocEntry a, b;
    const bool headRun = FindAllocation(ulAddress, &index, &slotA, &a) && ClientPage(ulAddress) > EntryClientPage(a);
    const bool tailRun = FindAllocation(last, &index, &slotB, &b) &&
                         ClientPage(last) + 1 < static_cast<uint32_t>(EntryClientPage(b)) + b.uLength;
    uint16_t need[VBF_MAX_REGION_UNITS] = {};
    if (headRun)
        need[slotA]++;
    if (tailRun)
        need[slotB]++;
    for (uint16_t s = 0; s < regionCache.uUnitCount; s++)
        if (need[s] && FreeEntries(s) < need[s] + 1)
            return s;
    return -1;
}

// A unit short of entries for the splits of a discard is collected first, which leaves its live
// runs in a compact list.
uint16_t MakeRoomForSplits(uint32_t ulAddress, uint32_t ulLength)
{
    const uint16_t region = static_cast<uint16_t>(ulAddress / RegionSize());
    for (unsigned tries = 0; tries < kCollectTries; tries++) {
        if (!MountRegion(region, 0))
            return 0;
        const int slot = ShortOfEntries(ulAddress, ulLength);
        if (slot < 0)
            return 1;
        if (!GarbageCollectUnit(regionCache.auUnits[slot]))
            return 0;
    }
    return 0;
}

uint16_t WriteNewBlock(const uint8_t *pBuffer, uint32_t ulAddress, uint16_t n, uint16_t uSlot)
{
    UnitInfo &info = regionCache.info[uSlot];
    const uint32_t data = info.ulNextData;
    const uint32_t entryAddress = info.ulNextEntry;
    AllocEntry e;
    e.uLength = static_cast<uint8_t>(n >> VbfPageShift());
    e.uPhysPage = static_cast<uint8_t>((data % UnitSize()) >> VbfPageShift());
    e.uClient = EntryValue(static_cast<uint16_t>(ClientPage(ulAddress)), ALLOC_WRITTEN);
    info.ulNextData += n;
    info.ulNextEntry += 4;
    const uint16_t saved = lpThisMedia->bUseVBFEcc;
    lpThisMedia->bUseVBFEcc = 1;
    const uint16_t entryWritten = WriteAllocationEntryAndRegion(entryAddress, &e);
    lpThisMedia->bUseVBFEcc = saved;
    if (!entryWritten)
        return 0;
    info.ulFree -= n;
    if (FreeEntries(uSlot) == 0)
        info.ulFree = 0;
    if (!oemwrite(data, n, pBuffer, ACCESS_TYPE_ECC))
        return 0;
    e.uClient = EntryValue(EntryClientPage(e), ALLOC_UNDISCARDED);
    if (!WriteAllocationEntryAndRegion(entryAddress, &e))
        return 0;
    if (!DoDiscard(ulAddress, n))
        return 0;
    e.uClient = EntryValue(EntryClientPage(e), ALLOC_VALID);
    return WriteAllocationEntryAndRegion(entryAddress, &e);
}

uint16_t MaintainMinimumFreeSpace(uint16_t uRegion)
{
    unsigned failures = 0;
    for (;;) {
        if (!MountRegion(uRegion, 0))
            return 0;
        uint32_t free = 0, discarded = 0;
        for (uint16_t s = 0; s < regionCache.uUnitCount; s++) {
            free += regionCache.info[s].ulFree;
            discarded += regionCache.info[s].ulDiscarded;
        }
        if (free >= kMinimumFree || discarded == 0)
            return 1;
        if (GarbageCollect(0, 0))
            continue;
        regionCache.bValid = 0;
        if (++failures > kCollectTries) {
            thisPartition->bReadOnly = 1;
            return 0;
        }
    }
}

uint16_t _vbfwrite(uint32_t ulAddress, uint16_t uLength, const uint8_t *pBuffer)
{
    if (!IsValidPartition() || IsReadOnly() || uLength == 0)
        return uLength == 0 && IsValidPartition() && !IsReadOnly();
    if (ulAddress >= FormattedSize() || uLength > FormattedSize() - ulAddress)
        return 0;
    thisPartition->uStatus = VBF_STATUS_WRITING;
    const uint32_t end = ulAddress + uLength;
    while (ulAddress < end) {
        const uint16_t region = static_cast<uint16_t>(ulAddress / RegionSize());
        const uint32_t regionEnd = std::min<uint32_t>((region + 1u) * RegionSize(), end);
        unsigned collectFailures = 0;
        unsigned writeFailures = 0;
        unsigned roomCollections = 0;
        while (ulAddress < regionEnd) {
            if (IsReadOnly())
                return 0;
            uint32_t left = regionEnd - ulAddress;
            if (!MountRegion(region, 0)) {
                thisPartition->bReadOnly = 1;
                return 0;
            }
            int slot = -1;
            for (uint16_t s = 0; s < regionCache.uUnitCount; s++) {
                if (regionCache.info[s].ulFree >= Page() && FreeEntries(s) > 0) {
                    slot = s;
                    break;
                }
            }
            if (slot < 0) {
                if (GarbageCollect(0, 0)) {
                    collectFailures = 0;
                    continue;
                }
                if (++collectFailures > kCollectTries) {
                    thisPartition->bReadOnly = 1;
                    return 0;
                }
                regionCache.bValid = 0;
                continue;
            }
            const uint32_t n = std::min({left, regionCache.info[slot].ulFree, 255u * Page()});
            // The splits at both ends of what this block replaces need room before the block is
            // written: once it is, its unit must not be collected until its older copies are gone.
            const int shortSlot = ShortOfEntries(ulAddress, n);
            if (shortSlot >= 0) {
                if (GarbageCollectUnit(regionCache.auUnits[shortSlot]) && ++roomCollections <= kRoomCollections)
                    continue;
                thisPartition->bReadOnly = 1;
                return 0;
            }
            if (WriteNewBlock(pBuffer, ulAddress, static_cast<uint16_t>(n), static_cast<uint16_t>(slot))) {
                ulAddress += n;
                pBuffer += n;
                writeFailures = 0;
                continue;
            }
            // The region is read anew from the flash; a block that keeps failing turns the drive read-only.
            regionCache.bValid = 0;
            if (++writeFailures >= kWriteTries) {
                thisPartition->bReadOnly = 1;
                return 0;
            }
        }
        if (!MaintainMinimumFreeSpace(region))
            return 0;
    }
    thisPartition->uStatus = VBF_STATUS_IDLE;
    return 1;
}

} // namespace

uint16_t FindPhysAlloc(uint16_t uUnit, const AllocEntry *e, uint32_t *pulAddress)
{
    const uint32_t start = static_cast<uint32_t>(uUnit) * UnitSize() + AllocationOffset();
    const uint32_t piece = std::min<uint32_t>(AllocationSize(), Page());
    static uint8_t list[LARGE_PAGE_SIZE];
    for (uint32_t offset = 0; offset < AllocationSize(); offset += piece) {
        if (UseHiddenArea() && lpThisMedia->bECCHasCorrectedData) {
            printk("<3>%s: bECCHasCorrectedData==TRUE and should be FALSE !!!\n", "FindPhysAlloc");
            lpThisMedia->bECCHasCorrectedData = 0;
        }
        if (!ReadAllocationList(start + offset, static_cast<uint16_t>(piece), list, EntryAccessType())) {
            if (lpThisMedia->bECCHasCorrectedData) {
                printk("<6>%s: Start GC because of an error at 0x%8x\n", "FindPhysAlloc", start + offset);
                if (!GarbageCollectUnit(uUnit))
                    printk("<3>%s: GC failed !!\n", "FindPhysAlloc");
            }
            lpThisMedia->bECCHasCorrectedData = 0;
            return 0;
        }
        const AllocEntry *entries = reinterpret_cast<const AllocEntry *>(list);
        for (uint32_t k = 0; k < piece / 4; k++) {
            if (entries[k].uLength == ALLOC_END)
                return 0;
            if (entries[k].uLength == e->uLength && entries[k].uClient == e->uClient) {
                *pulAddress = start + offset + 4 * k;
                return 1;
            }
        }
    }
    return 0;
}

uint16_t DoDiscard(uint32_t ulAddress, uint16_t uLength)
{
    regionCache.bSorted = 0;
    const uint32_t page = Page();
    uint32_t length = uLength;
    while (length >= page) {
        const uint16_t region = static_cast<uint16_t>(ulAddress / RegionSize());
        if (!MountRegion(region, 0))
            return 0;
        uint16_t index, slot;
        AllocEntry e;
        if (!FindAllocation(ulAddress, &index, &slot, &e)) {
            ulAddress += page;
            length -= page;
            continue;
        }
        const uint16_t q = regionCache.auPositions[index];
        std::memset(&regionCache.entries[index], 0xFF, sizeof(AllocEntry));
        CleanUpRegion();
        const uint32_t unitStart = static_cast<uint32_t>(regionCache.auUnits[slot]) * UnitSize();
        const uint32_t flash = unitStart + AllocationOffset() + 4u * q;
        const uint32_t p = ClientPage(ulAddress);
        const uint32_t first = EntryClientPage(e);
        const uint32_t m = length / page;
        const uint32_t head = p - first;
        const uint32_t tail = p + m - 1 < first + e.uLength - 1 ? first + e.uLength - (p + m) : 0;
        UnitInfo &info = regionCache.info[slot];
        if (head > 0) {
            AllocEntry h = e;
            h.uLength = static_cast<uint8_t>(head);
            if (!WriteNewAlloc(slot, &info.ulNextEntry, &h))
                return 0;
        }
        if (tail > 0) {
            AllocEntry t = e;
            const uint32_t skip = e.uLength - tail;
            t.uLength = static_cast<uint8_t>(tail);
            t.uPhysPage = static_cast<uint8_t>(e.uPhysPage + skip);
            t.uClient = EntryValue(static_cast<uint16_t>(first + skip), ALLOC_VALID);
            if (!WriteNewAlloc(slot, &info.ulNextEntry, &t))
                return 0;
        }
        if (FreeEntries(slot) == 0)
            info.ulFree = 0;
        AllocEntry old = e;
        old.uClient = EntryValue(static_cast<uint16_t>(first), ALLOC_DISCARDED);
        if (!WriteAllocationEntry(flash, &old, EntryAccessType()))
            return 0;
        // The address stays: a second run may cover the same pages (a split cut short by a power
        // loss leaves the head or tail beside the whole run), and it must go as well.
        const uint32_t d = (e.uLength - head - tail) * page;
        info.ulDiscarded += d;
        if (info.ulDiscarded >= UnitSize() - page)
            GarbageClear(slot);
    }
    return 1;
}

namespace {

// Client requests are whole sectors: anything else is refused before it reaches the flash, where it
// would fail as a broken program or change the neighbouring sectors.
bool WholeSectors(uint32_t ulAddress, uint32_t uLength)
{
    return ulAddress % SECTOR_SIZE == 0 && uLength % SECTOR_SIZE == 0;
}

// Whole large pages from ulAddress on, within uLength: these need no staging.
uint32_t WholePages(uint32_t ulAddress, uint32_t uLength)
{
    return ulAddress % LARGE_PAGE_SIZE ? 0 : uLength / LARGE_PAGE_SIZE * LARGE_PAGE_SIZE;
}

} // namespace

uint16_t vbfread(uint32_t ulAddress, uint16_t uLength, uint8_t *pBuffer)
{
    if (!WholeSectors(ulAddress, uLength))
        return 0;
    if (!lpThisMedia->bLLMode)
        return _vbfread(ulAddress, uLength, pBuffer);
    while (uLength > 0) {
        const uint32_t whole = WholePages(ulAddress, uLength);
        if (whole) {
            if (!_vbfread(ulAddress, static_cast<uint16_t>(whole), pBuffer))
                return 0;
            ulAddress += whole;
            pBuffer += whole;
            uLength = static_cast<uint16_t>(uLength - whole);
            continue;
        }
        const uint32_t offset = ulAddress % LARGE_PAGE_SIZE;
        const uint32_t piece = std::min<uint32_t>(uLength, LARGE_PAGE_SIZE - offset);
        if (!_vbfread(ulAddress - offset, LARGE_PAGE_SIZE, pcVbfBlock))
            return 0;
        std::memcpy(pBuffer, pcVbfBlock + offset, piece);
        ulAddress += piece;
        pBuffer += piece;
        uLength = static_cast<uint16_t>(uLength - piece);
    }
    return 1;
}

uint16_t vbfwrite(uint32_t ulAddress, uint16_t uLength, const uint8_t *pBuffer)
{
    if (!WholeSectors(ulAddress, uLength))
        return 0;
    if (!lpThisMedia->bLLMode)
        return _vbfwrite(ulAddress, uLength, pBuffer);
    while (uLength > 0) {
        // Whole pages are written as they are, together: reading them first would change nothing.
        const uint32_t whole = WholePages(ulAddress, uLength);
        if (whole) {
            if (!_vbfwrite(ulAddress, static_cast<uint16_t>(whole), pBuffer))
                return 0;
            ulAddress += whole;
            pBuffer += whole;
            uLength = static_cast<uint16_t>(uLength - whole);
            continue;
        }
        const uint32_t offset = ulAddress % LARGE_PAGE_SIZE;
        const uint32_t piece = std::min<uint32_t>(uLength, LARGE_PAGE_SIZE - offset);
        if (!_vbfread(ulAddress - offset, LARGE_PAGE_SIZE, pcVbfBlock))
            return 0;
        std::memcpy(pcVbfBlock + offset, pBuffer, piece);
        if (!_vbfwrite(ulAddress - offset, LARGE_PAGE_SIZE, pcVbfBlock))
            return 0;
        ulAddress += piece;
        pBuffer += piece;
        uLength = static_cast<uint16_t>(uLength - piece);
    }
    return 1;
}

uint16_t vbfdiscard(uint32_t ulAddress, uint16_t uLength)
{
    if (!IsValidPartition() || IsReadOnly() || ulAddress > FormattedSize() || uLength > FormattedSize() - ulAddress)
        return 0;
    thisPartition->uStatus = VBF_STATUS_WRITING;
    uint32_t start = ulAddress;
    uint32_t end = ulAddress + uLength;
    if (lpThisMedia->bLLMode) {
        start = (start + LARGE_PAGE_SIZE - 1) / LARGE_PAGE_SIZE * LARGE_PAGE_SIZE;
        end = end / LARGE_PAGE_SIZE * LARGE_PAGE_SIZE;
    }
    uint16_t result = 1;
    // A discard that splits runs in a full list collects their units first.
    while (result && start + Page() <= end) {
        const uint32_t regionEnd = std::min<uint32_t>((start / RegionSize() + 1) * RegionSize(), end);
        const uint32_t piece = std::min<uint32_t>(regionEnd - start, 255u * Page());
        result = MakeRoomForSplits(start, piece) && DoDiscard(start, static_cast<uint16_t>(piece));
        start += piece;
    }
    thisPartition->uStatus = VBF_STATUS_IDLE;
    return result;
}

namespace {

uint16_t Allocate()
{
    pAllocBuffer = static_cast<uint8_t *>(_sysmalloc(1024));
    return pAllocBuffer != nullptr;
}

void Free()
{
    _sysfree(pAllocBuffer);
    pAllocBuffer = nullptr;
}

void GetMediaUsage(const EUH &t)
{
    lLow = 0x7FFFFFFF;
    lHigh = 0;
    lAverage = 0;
    ulDiskDataBytes = ulDiskSystemBytes = ulDiskFreeBytes = ulDiskDiscardedBytes = 0;
    const uint32_t unitSize = t.ulUnitSize;
    const uint32_t page = t.uPageSize;
    const uint32_t pages = unitSize / page;
    const uint32_t listBytes = std::min<uint32_t>(pages * 4, 1024);
    const uint32_t offset = t.uAllocOffset * page;
    int64_t sum = 0;
    uint32_t valid = 0;
    const uint32_t first = t.ulAreaStart / unitSize;
    for (uint32_t u = first; u < first + t.uUnitCount; u++) {
        EUH h;
        if (!ReadEUH(u * unitSize, &h, 0))
            continue;
        valid++;
        sum += h.ulEraseCount;
        lLow = std::min<int32_t>(lLow, static_cast<int32_t>(h.ulEraseCount));
        lHigh = std::max<int32_t>(lHigh, static_cast<int32_t>(h.ulEraseCount));
        if (h.uState == EUH_STATE_SPARE)
            continue;
        std::memset(pAllocBuffer, 0xFF, 1024);
        oemread(u * unitSize + offset, static_cast<uint16_t>(listBytes), pAllocBuffer,
                t.uAllocOffset == 0 ? ACCESS_TYPE_HIDDEN : ACCESS_TYPE_DATA);
        const AllocEntry *list = reinterpret_cast<const AllocEntry *>(pAllocBuffer);
        uint32_t system = 0, data = 0, end = 0;
        for (uint32_t k = 0; k < listBytes / 4 && list[k].uLength != ALLOC_END; k++) {
            const uint8_t state = EntryState(list[k]);
            if (list[k].uClient == ALLOC_SYSTEM)
                system += list[k].uLength;
            else if (state == ALLOC_UNDISCARDED || state == ALLOC_VALID)
                data += list[k].uLength;
            if (list[k].uClient != 0xFFFF)
                end = std::max<uint32_t>(end, static_cast<uint32_t>(list[k].uPhysPage) + list[k].uLength);
        }
        end = std::max(end, data + system);
        ulDiskDataBytes += data * page;
        ulDiskSystemBytes += system * page;
        ulDiskDiscardedBytes += (end - data - system) * page;
        ulDiskFreeBytes += unitSize - end * page;
    }
    if (valid)
        lAverage = static_cast<int32_t>(sum / valid);
}

int32_t MediaInfo(bool usage, uint32_t *a, uint32_t *b, uint32_t *c)
{
    if (!Allocate())
        return -12;
    EUH t;
    if (!MountEUH(&t)) {
        Free();
        return 3;
    }
    GetMediaUsage(t);
    if (usage) {
        *a = ulDiskFreeBytes;
        *b = ulDiskDataBytes;
        *c = ulDiskDiscardedBytes;
    } else {
        *a = static_cast<uint32_t>(lHigh);
        *b = static_cast<uint32_t>(lAverage);
        *c = static_cast<uint32_t>(lLow);
    }
    Free();
    return 0;
}

} // namespace

int32_t MediaInfoUsage(uint32_t *pulFree, uint32_t *pulData, uint32_t *pulDiscarded)
{
    return MediaInfo(true, pulFree, pulData, pulDiscarded);
}

int32_t MediaInfoErase(uint32_t *pulHighest, uint32_t *pulAverage, uint32_t *pulLowest)
{
    return MediaInfo(false, pulHighest, pulAverage, pulLowest);
}
