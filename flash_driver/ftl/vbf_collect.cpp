// Garbage collection: live runs of a victim unit move to a spare, the victim becomes the next spare.
#include "ftl/vbf.h"

uint16_t GarbageCollect(uint16_t, uint32_t) { return 0; }
uint16_t vbfgarbagecollect() { return 0; }
uint16_t FindSpareUnit(uint16_t *, uint32_t *) { return 0; }
uint16_t FindDirtyUnit(uint16_t *, uint32_t) { return 0; }
void GarbageClear(uint16_t) {}
