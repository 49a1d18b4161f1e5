// Format of a drive and the erase unit header: build, vote, repair, check, write.
#include "ftl/vbf.h"

const uint8_t acVbfSignature[16] = {0xCC, 0xDD, 'Q', 'V', '_', 'F', 'S', '3', '.', '0', '0', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

uint16_t vbfformat(uint32_t, int32_t, uint32_t *, uint32_t *, uint32_t *) { return 0; }
uint16_t ReadEUH(uint32_t, EUH *, uint16_t) { return 0; }
uint16_t WriteEUH(uint32_t, const EUH *) { return 0; }
uint16_t IsValidEUH(const EUH *) { return 0; }
uint8_t CheckSum(const EUH *, uint16_t) { return 0; }
void SetCheckSum(EUH *) {}
uint16_t MountEUH(EUH *) { return 0; }
uint16_t FormatUnit(uint32_t, EUH *) { return 0; }
uint16_t FormatSpareUnit(uint32_t, EUH *) { return 0; }
uint16_t vbfreadEUHversion(uint32_t, uint8_t *) { return 0; }
uint16_t vbfwriteEUHversion(uint32_t, uint8_t) { return 0; }
uint16_t vbfupgradepolicy() { return 0; }
