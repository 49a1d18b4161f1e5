// The SmartMedia Hamming code of 256 data bytes: three code bytes that correct one flipped bit and
// detect two.
#ifndef TESSARO_ECC_ECC_H
#define TESSARO_ECC_ECC_H

#include <cstdint>

constexpr unsigned kEccDataBytes = 256;
constexpr unsigned kEccCodeBytes = 3;

// Results of ecccorrectdata.
enum : uint16_t {
    ECC_NO_ERROR = 1,
    ECC_CORRECTED = 2,
    ECC_UNCORRECTABLE = 3,
};

// Per data byte: bits 0-5 its six column parities, bit 6 its own parity (the line-parity flag).
extern const uint8_t ECC_CP_TABLE[256];

void ecccalccode(const uint8_t *data, uint8_t *code);
// Checks data against its stored code and repairs one flipped bit in either; an uncorrectable block
// gets the stored code FF FF FF.
uint16_t ecccorrectdata(uint8_t *data, uint8_t *code);

#endif
