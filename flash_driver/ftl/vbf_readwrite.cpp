// Client reads, writes and discards, and the usage of the flash.
#include "ftl/vbf.h"

uint16_t vbfread(uint32_t, uint16_t, uint8_t *) { return 0; }
uint16_t vbfwrite(uint32_t, uint16_t, const uint8_t *) { return 0; }
uint16_t vbfdiscard(uint32_t, uint16_t) { return 0; }
uint16_t DoDiscard(uint32_t, uint16_t) { return 0; }
int32_t MediaInfoUsage(uint32_t *, uint32_t *, uint32_t *) { return 3; }
int32_t MediaInfoErase(uint32_t *, uint32_t *, uint32_t *) { return 3; }
