// Spare-area tag and code services.
#include "ecc/spare.h"

#include "ecc/ecc.h"
#include "hostkernel/kernel.h"
#include "media/media.h"
#include "nand/nand_ops.h"

#include <cstring>

namespace {

constexpr uint8_t kTagStateBits = 0x70; // bits 12-14 of the tag's second 16-bit half, in tag byte 3
constexpr unsigned kTagStateShift = 4;
constexpr uint8_t kCheckBase = 0xE0;
constexpr uint8_t kProgressBase = 0xC0;
constexpr uint8_t kNoCheck = 0xFF;
constexpr uint8_t kCheckParityBits[4] = {0x10, 0x08, 0x04, 0x02};

unsigned tag_state(const uint8_t *spare)
{
    return (spare[SPARE_TAG + 3] & kTagStateBits) >> kTagStateShift;
}

void set_tag_state(uint8_t *spare, unsigned state)
{
    spare[SPARE_TAG + 3] = static_cast<uint8_t>((spare[SPARE_TAG + 3] & ~kTagStateBits) | state << kTagStateShift);
}

uint8_t progress_byte(unsigned state)
{
    return static_cast<uint8_t>(kProgressBase + state * 8 + state);
}

// The two check bytes of a tag, computed with its state bits set.
void tag_check_bytes(const uint8_t *spare, uint8_t &e0, uint8_t &e1)
{
    uint8_t tag[4];
    std::memcpy(tag, spare + SPARE_TAG, sizeof tag);
    tag[3] |= kTagStateBits;
    e0 = tag[0] ^ tag[1] ^ tag[2] ^ tag[3];
    e1 = kCheckBase;
    for (unsigned i = 0; i < 4; ++i)
        if (parityTab[tag[i]])
            e1 |= kCheckParityBits[i];
    if (parityTab[e1] != parityTab[e0])
        e1 |= 1;
}

unsigned bits_differing(uint8_t a, uint8_t b)
{
    unsigned count = 0;
    for (uint8_t diff = a ^ b; diff; diff &= diff - 1)
        ++count;
    return count;
}

uint16_t worst(uint16_t a, uint16_t b)
{
    return a > b ? a : b;
}

} // namespace

const uint8_t parityTab[256] = {
    0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1,
    1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0,
    1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0,
    0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1,
    1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0,
    0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1,
    0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1,
    1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0,
};

void bbmbuildredundant(const uint8_t *pSector, uint8_t *pSpare)
{
    std::memset(pSpare, 0xFF, SPARE_SIZE);
    if (!lpThisMedia->bUseECC)
        return;
    pSpare[SPARE_CODE_TAG] = CODE_TAG_WITH_CODE;
    ecccalccode(pSector, pSpare + SPARE_CODE_FIRST);
    ecccalccode(pSector + kEccDataBytes, pSpare + SPARE_CODE_SECOND);
}

uint16_t bbmisbadblock(uint8_t *pSector, uint8_t *pSpare)
{
    uint8_t &code_tag = pSpare[SPARE_CODE_TAG];
    if (code_tag == CODE_TAG_NO_CODE || !lpThisMedia->bUseECC || !pSector)
        return SPARE_GOOD;
    if (code_tag == CODE_TAG_WITH_CODE) {
        uint16_t first = ecccorrectdata(pSector, pSpare + SPARE_CODE_FIRST);
        uint16_t second = ecccorrectdata(pSector + kEccDataBytes, pSpare + SPARE_CODE_SECOND);
        return worst(first, second);
    }
    if (bits_differing(code_tag, CODE_TAG_WITH_CODE) <= 1) {
        code_tag = CODE_TAG_WITH_CODE;
        return SPARE_CORRECTED;
    }
    if (bits_differing(code_tag, CODE_TAG_NO_CODE) <= 1) {
        code_tag = CODE_TAG_NO_CODE;
        return SPARE_CORRECTED;
    }
    return SPARE_UNCORRECTABLE;
}

uint16_t bbmbuildVBFredundant(uint8_t *pSpare)
{
    if (lpThisMedia->bRawSpare)
        return 1;
    unsigned state = tag_state(pSpare);
    if (lpThisMedia->bUseVBFEcc) {
        tag_check_bytes(pSpare, pSpare[SPARE_TAG_CHECK], pSpare[SPARE_TAG_PARITY]);
    } else {
        pSpare[SPARE_TAG_CHECK] = kNoCheck;
        pSpare[SPARE_TAG_PARITY] = kNoCheck;
    }
    pSpare[SPARE_PROGRESS] = progress_byte(state);
    return 1;
}

uint16_t bbmisbadvbf(uint8_t *pSpare)
{
    static const uint8_t no_tag[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    if (std::memcmp(pSpare + SPARE_TAG, no_tag, sizeof no_tag) == 0 || pSpare[SPARE_PROGRESS] == 0)
        return SPARE_GOOD;
    unsigned state = tag_state(pSpare);
    unsigned low = pSpare[SPARE_PROGRESS] & 7;
    unsigned high = (pSpare[SPARE_PROGRESS] >> 3) & 7;

    if (state == low && state == high) {
        uint8_t e0, e1;
        tag_check_bytes(pSpare, e0, e1);
        uint8_t &check = pSpare[SPARE_TAG_CHECK];
        uint8_t &check_parity = pSpare[SPARE_TAG_PARITY];
        if (check == e0 && check_parity == e1)
            return SPARE_GOOD;
        if (parityTab[check] != parityTab[check_parity]) {
            check = e0;
            check_parity = e1;
            return SPARE_CORRECTED;
        }
        uint8_t flipped = check ^ e0;
        uint8_t which = e1 ^ check_parity;
        unsigned byte = 0;
        while (byte < 4 && !(which & kCheckParityBits[byte]))
            ++byte;
        if (byte == 4) {
            printk("TESSARO error: VBF ECC on device %d \n", uCurrentDrive);
            return SPARE_UNCORRECTABLE;
        }
        pSpare[SPARE_TAG + byte] ^= flipped;
        set_tag_state(pSpare, state);
        return SPARE_CORRECTED;
    }
    if (state == low || state == high) {
        pSpare[SPARE_PROGRESS] = progress_byte(state);
        return SPARE_CORRECTED;
    }
    if (low == high) {
        set_tag_state(pSpare, low);
        return SPARE_CORRECTED;
    }
    printk("TESSARO error: VBF progress ind on device %d \n", uCurrentDrive);
    return SPARE_UNCORRECTABLE;
}

uint16_t bbmupgradeecctag(uint32_t ulPhysical)
{
    static const uint8_t old_format[4] = {0xFF, 0xFF, 0xFF, CODE_TAG_OLD_FORMAT};
    static const uint8_t no_tag[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    uint16_t raw_spare = lpThisMedia->bRawSpare;
    uint16_t use_vbf_ecc = lpThisMedia->bUseVBFEcc;
    uint8_t spare[SPARE_SIZE];
    lpThisMedia->bUseVBFEcc = 0;
    if (!oemread(ulPhysical, SPARE_SIZE, spare, ACCESS_TYPE_SPARE)) {
        lpThisMedia->bUseVBFEcc = use_vbf_ecc;
        return 0;
    }
    bool write_due = false;
    if (std::memcmp(spare + SPARE_TAG_CHECK, old_format, sizeof old_format) == 0) {
        spare[SPARE_CODE_TAG] = CODE_TAG_WITH_CODE;
        write_due = true;
    }
    if (std::memcmp(spare + SPARE_TAG, no_tag, sizeof no_tag) != 0) {
        lpThisMedia->bUseVBFEcc = 1;
        lpThisMedia->bRawSpare = 0;
        write_due = true;
    }
    uint16_t result = 1;
    if (write_due)
        result = oemwrite(ulPhysical, SPARE_SIZE, spare, ACCESS_TYPE_SPARE);
    lpThisMedia->bRawSpare = raw_spare;
    lpThisMedia->bUseVBFEcc = use_vbf_ecc;
    return result;
}
