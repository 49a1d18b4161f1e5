// What the translation layer's modules share among themselves.
#ifndef TESSARO_FTL_VBF_INTERNAL_H
#define TESSARO_FTL_VBF_INTERNAL_H

#include "ftl/vbf.h"

// The layer's page: 2048 bytes in LargeLarge mode, else 512.
uint32_t VbfPageSize();
uint16_t VbfPageShift();
// The current drive's partition and the region cache, if it holds the drive, no longer hold.
void VbfForgetDrive();

// The format version of the header page ReadEUH read last, by two of its three bytes.
uint16_t LastEUHVersion(uint8_t *pVersion);
// True when the page at this address holds the mark of a format in progress.
uint16_t FormatUnfinished(uint32_t ulAddress);
// Erases a unit of the area.
uint16_t EraseUnit(uint32_t ulAddress, uint32_t ulUnitSize);
uint16_t ReadAllocationList(uint32_t ulAddress, uint16_t uLength, uint8_t *pBuffer, uint16_t uType);
uint16_t WriteAllocationEntry(uint32_t ulAddress, const AllocEntry *pEntry, uint16_t uType);
void CleanUpRegion();
void VBFSort(AllocEntry *pEntries, uint16_t *puPositions, uint16_t uCount);
uint16_t FixInProgressDiscard();
// Free entries left in the list of a slot's unit.
uint16_t FreeEntries(uint16_t uSlot);
// Writes a new entry of a run already on the flash (the piece of a split) into a slot's list.
uint16_t WriteNewAlloc(uint16_t uSlot, uint32_t *pulNext, const AllocEntry *e);
uint16_t FindPhysAlloc(uint16_t uUnit, const AllocEntry *pEntry, uint32_t *pulAddress);
// Collects the unit itself (a flash address met in a list scan), not the unit of a client address.
uint16_t GarbageCollectUnit(uint16_t uUnit);
void VbfResetCollection();
uint16_t EntryAccessType();
uint8_t EntryState(const AllocEntry &e);
uint16_t EntryClientPage(const AllocEntry &e);

// The 16-bit of an entry with a state.
inline uint16_t EntryValue(uint16_t uClientPage, uint16_t uState)
{
    return static_cast<uint16_t>((uClientPage & ALLOC_PAGE_MASK) | (uState << 12));
}

#endif
