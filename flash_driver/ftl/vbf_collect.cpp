// Garbage collection: live runs of a victim unit move to a spare, the victim becomes the next spare.
#include "ftl/vbf.h"
#include "ftl/vbf_internal.h"

#include "hostkernel/kernel.h"
#include "kit/kit.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kWearGap = 700;
constexpr uint16_t kWearWait = 59;

uint16_t nextUnit;
uint16_t countDownStaticClean;

uint32_t UnitAddress(uint16_t unit)
{
    return static_cast<uint32_t>(unit) * UnitSize();
}

uint16_t EndUnit()
{
    return static_cast<uint16_t>(StartUnit() + TotalUnits());
}

bool CopyBlock(uint32_t from, uint32_t to)
{
    const uint16_t page = static_cast<uint16_t>(VbfPageSize());
    const uint16_t corrected = lpThisMedia->bECCHasCorrectedData;
    lpThisMedia->bECCHasCorrectedData = 0;
    // A read the code corrected is a good read of the corrected data.
    const bool read = oemread(from, page, lpcScratchData, ACCESS_TYPE_ECC) || lpThisMedia->bECCHasCorrectedData;
    lpThisMedia->bECCHasCorrectedData = corrected;
    return read && oemwrite(to, page, lpcScratchData, ACCESS_TYPE_ECC);
}

uint16_t CopyValidData(uint16_t uVictim, uint16_t uTarget)
{
    uint16_t slot;
    if (!LogicalUnit(uVictim, &slot))
        return 0;
    const uint32_t page = VbfPageSize();
    const uint32_t target = UnitAddress(uTarget);
    uint32_t data = UseHiddenArea() ? target + page
                                    : target + AllocationOffset() + ((AllocationSize() + page - 1) / page) * page;
    uint32_t entry = target + AllocationOffset() + 4;
    static uint16_t runs[VBF_MAX_CACHE_ENTRIES];
    uint16_t count = 0;
    for (uint16_t i = 0; i < regionCache.uEntryCount; i++)
        if (regionCache.entries[i].uClient != 0xFFFF && (regionCache.entries[i].uClient >> 12) == slot)
            runs[count++] = i;
    // Runs that share no page are copied in the order of their client pages, and those that follow
    // one another become one entry: a list full of small runs is not full again after its collection,
    // and a split in it finds room. Runs that share pages (a split cut short) keep their order, which
    // decides which of them holds the pages.
    const auto clientOf = [](uint16_t i) { return static_cast<uint32_t>(EntryClientPage(regionCache.entries[i])); };
    uint16_t sorted[VBF_MAX_CACHE_ENTRIES];
    std::copy(runs, runs + count, sorted);
    std::stable_sort(sorted, sorted + count, [&](uint16_t a, uint16_t b) { return clientOf(a) < clientOf(b); });
    bool apart = true;
    for (uint16_t k = 1; k < count && apart; k++)
        apart = clientOf(sorted[k]) >= clientOf(sorted[k - 1]) + regionCache.entries[sorted[k - 1]].uLength;
    if (apart)
        std::copy(sorted, sorted + count, runs);
    // A run whose pages an earlier run of the victim already brought holds the same data (a split
    // cut short leaves its head or tail beside the whole run): it is not copied twice, and nothing
    // is ever written past the target's end.
    static uint8_t copied[4096 / 8];
    std::memset(copied, 0, sizeof copied);
    AllocEntry pending = {0, 0, 0};
    const auto flush = [&]() {
        if (pending.uLength == 0)
            return true;
        const uint16_t saved = lpThisMedia->bUseVBFEcc;
        lpThisMedia->bUseVBFEcc = 1;
        const uint16_t written = WriteAllocationEntry(entry, &pending, EntryAccessType());
        lpThisMedia->bUseVBFEcc = saved;
        entry += 4;
        pending.uLength = 0;
        return written != 0;
    };
    for (uint16_t r = 0; r < count; r++) {
        const AllocEntry &e = regionCache.entries[runs[r]];
        const uint32_t client = EntryClientPage(e);
        bool covered = true;
        for (uint32_t k = 0; k < e.uLength; k++)
            covered = covered && (copied[(client + k) / 8] & (1u << ((client + k) % 8)));
        if (covered)
            continue;
        if (data + e.uLength * page > target + UnitSize())
            return 0;
        for (uint32_t k = 0; k < e.uLength; k++)
            copied[(client + k) / 8] = static_cast<uint8_t>(copied[(client + k) / 8] | (1u << ((client + k) % 8)));
        const uint8_t firstPage = static_cast<uint8_t>((data - target) / page);
        for (uint32_t k = 0; k < e.uLength; k++) {
            if (!CopyBlock(UnitAddress(uVictim) + (e.uPhysPage + k) * page, data))
                return 0;
            data += page;
        }
        if (apart && pending.uLength != 0 && EntryClientPage(pending) + pending.uLength == client &&
            pending.uLength + e.uLength <= 255) {
            pending.uLength = static_cast<uint8_t>(pending.uLength + e.uLength);
            continue;
        }
        if (!flush())
            return 0;
        pending.uLength = e.uLength;
        pending.uPhysPage = firstPage;
        pending.uClient = EntryValue(static_cast<uint16_t>(client), ALLOC_VALID);
    }
    return flush() ? 1 : 0;
}

uint16_t Collect(uint16_t uSpare, uint16_t uVictim, bool bForced)
{
    Partition &p = *thisPartition;
    const uint16_t region = p.auUnitMap[uVictim];
    EUH spare, victim;
    ReadEUH(UnitAddress(uSpare), &spare, 1);
    if (bForced) {
        printk("<4>[Flash NAND GC] Get info from Spare at 0x%08x :\n", UnitAddress(uSpare));
        printk("<4>[Flash NAND GC]   erase count is %d\n", spare.ulEraseCount);
    }
    if (!ReadEUH(UnitAddress(uVictim), &victim, 1))
        return 0;
    if (bForced) {
        printk("<4>[Flash NAND GC] Get info from Unit at 0x%08x :\n", UnitAddress(uVictim));
        printk("<4>[Flash NAND GC]   erase count is %d\n", victim.ulEraseCount);
    }
    EUH h = victim;
    h.ulEraseCount = spare.ulEraseCount;
    h.uState = EUH_STATE_VALID;
    h.uCopySource = uVictim;
    SetCheckSum(&h);
    h.uState = EUH_STATE_COPY;
    h.uCopySource = static_cast<uint16_t>(uVictim | EUH_COPY_RUNNING);
    if (!WriteEUH(UnitAddress(uSpare), &h) || !CopyValidData(uVictim, uSpare)) {
        p.auUnitMap[uSpare] = VBF_UNIT_UNUSABLE;
        regionCache.bValid = 0;
        return 0;
    }
    h.uCopySource = uVictim;
    if (!WriteEUH(UnitAddress(uSpare), &h)) {
        p.auUnitMap[uSpare] = VBF_UNIT_UNUSABLE;
        regionCache.bValid = 0;
        return 0;
    }
    regionCache.bValid = 0;
    EUH v;
    ReadEUH(UnitAddress(uVictim), &v, 1);
    v.uState = EUH_STATE_ERASE;
    if (!WriteEUH(UnitAddress(uVictim), &v))
        return 0;
    h.uState = EUH_STATE_VALID;
    if (!WriteEUH(UnitAddress(uSpare), &h)) {
        _sysassert(404, 1216);
        p.bReadOnly = 1;
        return 0;
    }
    p.auUnitMap[uSpare] = region;
    ReadEUH(UnitAddress(uVictim), &v, 1);
    v.ulEraseCount = victim.ulEraseCount;
    // The spare format erases the unit itself: erasing it before as well would only wear it twice.
    if (FormatSpareUnit(UnitAddress(uVictim), &v))
        p.auUnitMap[uVictim] = VBF_UNIT_FREE;
    else
        p.auUnitMap[uVictim] = VBF_UNIT_UNUSABLE;
    regionCache.bValid = 0;
    return 1;
}

} // namespace

uint16_t FindSpareUnit(uint16_t *puUnit, uint32_t *pulEraseCount)
{
    Partition &p = *thisPartition;
    if (nextUnit < StartUnit() || nextUnit >= EndUnit())
        nextUnit = StartUnit();
    uint16_t u = nextUnit;
    for (uint16_t visited = 0; visited < TotalUnits(); visited++, u = u + 1 >= EndUnit() ? StartUnit() : u + 1) {
        if (p.auUnitMap[u] != VBF_UNIT_FREE)
            continue;
        EUH h;
        bool found = ReadEUH(UnitAddress(u), &h, 1) && h.uState == EUH_STATE_SPARE && h.ulSerial == p.ulSerial;
        if (!found) {
            // A unit left behind by an interrupted collection, or a torn header: a spare again, on the
            // drive's geometry where its own header cannot be trusted.
            if (!ReadSoundEUH(UnitAddress(u), &h) && !MountEUH(&h))
                continue;
            h.ulSerial = p.ulSerial;
            found = FormatSpareUnit(UnitAddress(u), &h) != 0;
            if (!found) {
                p.auUnitMap[u] = VBF_UNIT_UNUSABLE;
                continue;
            }
        }
        *puUnit = u;
        *pulEraseCount = h.ulEraseCount;
        nextUnit = u + 1 >= EndUnit() ? StartUnit() : static_cast<uint16_t>(u + 1);
        return 1;
    }
    p.bReadOnly = 1;
    return 0;
}

uint16_t FindDirtyUnit(uint16_t *puUnit, uint32_t ulSpareEraseCount)
{
    Partition &p = *thisPartition;
    if (ulSpareEraseCount > p.ulLowestEraseCount + kWearGap) {
        if (countDownStaticClean == 0) {
            if (!ScanUnits())
                return 0;
            const uint16_t region = p.auUnitMap[p.uLeastWornUnit];
            if (region < VBF_UNIT_UNUSABLE && MountRegion(region, 0)) {
                *puUnit = p.uLeastWornUnit;
                countDownStaticClean = kWearWait;
                return 1;
            }
        } else {
            countDownStaticClean--;
        }
    } else if (countDownStaticClean != 0) {
        countDownStaticClean--;
    }
    if (!regionCache.bValid)
        return 0;
    int best = -1;
    for (uint16_t s = 0; s < regionCache.uUnitCount; s++)
        if (regionCache.info[s].ulDiscarded > 0 &&
            (best < 0 || regionCache.info[s].ulDiscarded > regionCache.info[best].ulDiscarded))
            best = s;
    if (best < 0)
        return 0;
    *puUnit = regionCache.auUnits[best];
    return 1;
}

uint16_t GarbageCollect(uint16_t bForced, uint32_t ulAddress)
{
    uint16_t spare, victim;
    uint32_t count;
    if (!FindSpareUnit(&spare, &count))
        return 0;
    if (bForced) {
        printk("<4>[Flash NAND GC] Forced GC to Spare Unit #%d\n", spare);
        uint16_t index, slot;
        AllocEntry e;
        if (!FindAllocation(ulAddress, &index, &slot, &e))
            return 0;
        victim = regionCache.auUnits[slot];
        printk("<4>[Flash NAND GC] Logical Unit #%d sent to GC\n", victim);
        printk("<4>[Flash NAND GC] This LU belongs to Region %d\n", regionCache.uRegion);
        printk("<4>[Flash NAND GC] This Region groups Logical Unit Number : ");
        for (uint16_t s = 0; s < regionCache.uUnitCount; s++)
            printk("<4>%d ", regionCache.auUnits[s]);
        printk("<4>\n");
    } else if (!FindDirtyUnit(&victim, count)) {
        return 0;
    }
    return Collect(spare, victim, bForced);
}

uint16_t GarbageCollectUnit(uint16_t uUnit)
{
    const uint16_t region = thisPartition->auUnitMap[uUnit];
    uint16_t slot;
    if (region >= VBF_UNIT_UNUSABLE || !MountRegion(region, 0) || !LogicalUnit(uUnit, &slot))
        return 0;
    uint16_t spare;
    uint32_t count;
    if (!FindSpareUnit(&spare, &count) || !MountRegion(region, 0))
        return 0;
    return Collect(spare, uUnit, false);
}

uint16_t vbfgarbagecollect()
{
    if (!IsValidPartition() || IsReadOnly())
        return 0;
    thisPartition->uStatus = VBF_STATUS_WRITING;
    uint16_t any = 0;
    for (uint32_t r = 0; r * RegionSize() < FormattedSize(); r++) {
        if (!MountRegion(static_cast<uint16_t>(r), 0))
            continue;
        uint16_t victim;
        if (FindDirtyUnit(&victim, thisPartition->ulLowestEraseCount) && GarbageCollect(0, 0))
            any = 1;
    }
    thisPartition->uStatus = VBF_STATUS_IDLE;
    return any;
}

void GarbageClear(uint16_t uSlot)
{
    // Runs that share their pages (a split cut short by a power loss leaves the head or tail beside
    // the whole run) count their pages twice as they are discarded: a unit is cleared only when no
    // live run is left in it.
    for (uint16_t i = 0; i < regionCache.uEntryCount; i++)
        if (regionCache.entries[i].uClient != 0xFFFF && (regionCache.entries[i].uClient >> 12) == uSlot)
            return;
    const uint16_t unit = regionCache.auUnits[uSlot];
    const uint32_t address = UnitAddress(unit);
    EUH h;
    ReadEUH(address, &h, 1);
    // Only bits are cleared on the header in place; the new count comes with the erase.
    h.uState = EUH_STATE_ERASE;
    if (!WriteEUH(address, &h))
        return;
    h.ulEraseCount++;
    h.uState = EUH_STATE_VALID;
    h.uCopySource = EUH_NO_SOURCE;
    SetCheckSum(&h);
    if (!EraseUnit(address, UnitSize()) || !FormatUnit(address, &h)) {
        thisPartition->auUnitMap[unit] = VBF_UNIT_UNUSABLE;
        regionCache.bValid = 0;
        return;
    }
    UnitInfo &info = regionCache.info[uSlot];
    const uint32_t page = VbfPageSize();
    info.ulFree = UnitSize() - page;
    info.ulDiscarded = 0;
    info.ulNextData = address + page;
    info.ulNextEntry = address + AllocationOffset() + 4;
}

void VbfResetCollection()
{
    nextUnit = 0;
    countDownStaticClean = 0;
}
