// Mount of a drive from its unit headers, the partition record and the region cache.
#include "ftl/vbf.h"

#include <cstring>

Partition partition[uVbfMaxDrives];
Partition *thisPartition = &partition[0];
RegionCache regionCache;

void vbfreset()
{
    std::memset(partition, 0, sizeof partition);
    thisPartition = &partition[0];
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

uint16_t vbfpoolsize() { return 0; }
void vbfprogressmessage() {}

void vbfsetcurrentdrive(uint16_t uDrive)
{
    if (uDrive < uVbfMaxDrives)
        thisPartition = &partition[uDrive];
}

uint16_t vbfmount() { return 0; }
uint32_t vbfclientsize() { return 0; }
uint16_t vbfstatus() { return thisPartition->uStatus; }
uint16_t vbfgetpartitioninfo(uint32_t *) { return 0; }
uint16_t vbfgetunitinfo(VbfUnitInfo *) { return 0; }
uint16_t MountRegion(uint16_t, uint16_t) { return 0; }
uint16_t FindAllocation(uint32_t, uint16_t *, uint16_t *, AllocEntry *) { return 0; }
uint16_t WriteAllocationEntryAndRegion(uint32_t, const AllocEntry *) { return 0; }
uint16_t LogicalUnit(uint16_t, uint16_t *) { return 0; }
uint16_t ScanUnits() { return 0; }
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
