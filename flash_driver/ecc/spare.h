// Services that build and check the 16-byte spare area of a 512-byte sector: the sector's code and its
// code tag, and the check and progress bytes that protect the translation layer's 4-byte tag.
#ifndef TESSARO_ECC_SPARE_H
#define TESSARO_ECC_SPARE_H

#include <cstdint>

// Results of the checks.
enum : uint16_t {
    SPARE_GOOD = 1,
    SPARE_CORRECTED = 2,
    SPARE_UNCORRECTABLE = 3,
};

// Code tag (spare byte 7) values.
enum : uint8_t {
    CODE_TAG_WITH_CODE = 0x0F,
    CODE_TAG_NO_CODE = 0xFF,
    CODE_TAG_OLD_FORMAT = 0x7F,
};

// 1 for each byte value with an odd number of one bits.
extern const uint8_t parityTab[256];

void bbmbuildredundant(const uint8_t *pSector, uint8_t *pSpare);
uint16_t bbmisbadblock(uint8_t *pSector, uint8_t *pSpare);
uint16_t bbmbuildVBFredundant(uint8_t *pSpare);
uint16_t bbmisbadvbf(uint8_t *pSpare);
uint16_t bbmupgradeecctag(uint32_t ulPhysical);

#endif
