// Spare-area tag and code services: every tag, state, progress and code-tag case.
#include "ecc/spare.h"

#include "ecc/ecc.h"
#include "hostkernel/host.h"
#include "media/media.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>

namespace {

using Spare = std::array<uint8_t, 16>;
using Sector = std::array<uint8_t, 512>;

class SpareTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hostkernel::reset();
        std::memset(extndMediaInfo, 0, sizeof extndMediaInfo);
        uCurrentDrive = 1;
        lpThisMedia = &extndMediaInfo[1];
        lpThisMedia->bUseECC = 1;
        lpThisMedia->bUseVBFEcc = 1;
        for (uint8_t &byte : sector)
            byte = static_cast<uint8_t>(random());
    }

    // A spare with the tag and its check and progress bytes, as a tag write builds it.
    Spare tagged(uint32_t tag)
    {
        Spare spare;
        spare.fill(0xFF);
        for (unsigned i = 0; i < 4; ++i)
            spare[i] = static_cast<uint8_t>(tag >> (8 * i));
        bbmbuildVBFredundant(spare.data());
        return spare;
    }

    std::mt19937 random{4112};
    Sector sector;
};

unsigned state_of(const Spare &spare)
{
    return (spare[3] >> 4) & 7;
}

TEST_F(SpareTest, ParityTable)
{
    for (unsigned value = 0; value < 256; ++value)
        EXPECT_EQ(parityTab[value], __builtin_popcount(value) & 1) << value;
}

TEST_F(SpareTest, BuildWithAndWithoutCode)
{
    Spare spare;
    bbmbuildredundant(sector.data(), spare.data());
    uint8_t first[3], second[3];
    ecccalccode(sector.data(), first);
    ecccalccode(sector.data() + 256, second);
    EXPECT_EQ(spare, (Spare{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, second[0], second[1], second[2], 0xFF,
                            first[0], first[1], first[2], 0xFF}));
    lpThisMedia->bUseECC = 0;
    bbmbuildredundant(sector.data(), spare.data());
    Spare blank;
    blank.fill(0xFF);
    EXPECT_EQ(spare, blank);
}

TEST_F(SpareTest, SectorCheckResults)
{
    Spare spare;
    bbmbuildredundant(sector.data(), spare.data());
    Sector good = sector;
    EXPECT_EQ(bbmisbadblock(sector.data(), spare.data()), SPARE_GOOD);

    sector[300] ^= 0x10;
    EXPECT_EQ(bbmisbadblock(sector.data(), spare.data()), SPARE_CORRECTED);
    EXPECT_EQ(sector, good);

    sector[3] ^= 0x01;
    sector[4] ^= 0x01;
    EXPECT_EQ(bbmisbadblock(sector.data(), spare.data()), SPARE_UNCORRECTABLE);
    EXPECT_EQ(spare[12], 0xFF);

    // One half uncorrectable and the other corrected is uncorrectable.
    sector = good;
    bbmbuildredundant(sector.data(), spare.data());
    sector[1] ^= 0x03;
    sector[400] ^= 0x80;
    EXPECT_EQ(bbmisbadblock(sector.data(), spare.data()), SPARE_UNCORRECTABLE);
}

TEST_F(SpareTest, CodeTagDecidesWhetherTheCodeIsChecked)
{
    Spare spare;
    spare.fill(0xFF);
    sector[0] ^= 1;
    EXPECT_EQ(bbmisbadblock(sector.data(), spare.data()), SPARE_GOOD); // written without code

    bbmbuildredundant(sector.data(), spare.data());
    sector[0] ^= 1;
    spare[7] = 0x0E;
    EXPECT_EQ(bbmisbadblock(sector.data(), spare.data()), SPARE_CORRECTED);
    EXPECT_EQ(spare[7], 0x0F);
    EXPECT_NE(sector[0], (sector[0] ^ 1)); // the data was not looked at: still damaged
    spare[7] = 0xEF;
    EXPECT_EQ(bbmisbadblock(sector.data(), spare.data()), SPARE_CORRECTED);
    EXPECT_EQ(spare[7], 0xFF);
    spare[7] = 0x00; // a block marked bad
    EXPECT_EQ(bbmisbadblock(sector.data(), spare.data()), SPARE_UNCORRECTABLE);
    spare[7] = 0x7F; // an older format's tag, two bits from 0x0F... and from 0xFF
    EXPECT_EQ(bbmisbadblock(sector.data(), spare.data()), SPARE_CORRECTED);
    EXPECT_EQ(spare[7], 0xFF);

    spare[7] = 0x00;
    EXPECT_EQ(bbmisbadblock(nullptr, spare.data()), SPARE_GOOD);
    lpThisMedia->bUseECC = 0;
    EXPECT_EQ(bbmisbadblock(sector.data(), spare.data()), SPARE_GOOD);
}

TEST_F(SpareTest, TagCheckBytes)
{
    Spare spare = tagged(0x9FFF1234);
    EXPECT_EQ(state_of(spare), 1u);
    // e0 = 34 ^ 12 ^ FF ^ FF (state bits forced: 9F -> FF); e1 = E0 + the parities 1,0,0,0 as bits 4-1,
    // and bit 0 to give e1 the parity of e0.
    EXPECT_EQ(spare[4], 0x26);
    EXPECT_EQ(spare[5], 0xF1);
    EXPECT_EQ(spare[6], 0xC9);
    EXPECT_EQ(parityTab[spare[4]], parityTab[spare[5]]);
    EXPECT_EQ(spare[7], 0xFF);

    lpThisMedia->bUseVBFEcc = 0;
    spare = tagged(0x9FFF1234);
    EXPECT_EQ(spare[4], 0xFF);
    EXPECT_EQ(spare[5], 0xFF);
    EXPECT_EQ(spare[6], 0xC9);
    EXPECT_EQ(tagged(0xFFFFFFFF)[6], 0xFF); // state 7

    lpThisMedia->bRawSpare = 1;
    Spare raw;
    raw.fill(0x11);
    Spare before = raw;
    EXPECT_EQ(bbmbuildVBFredundant(raw.data()), 1);
    EXPECT_EQ(raw, before);
}

TEST_F(SpareTest, UntaggedAndUnmarkedSparesPass)
{
    Spare blank;
    blank.fill(0xFF);
    EXPECT_EQ(bbmisbadvbf(blank.data()), SPARE_GOOD);
    Spare spare = tagged(0xCFFF0042);
    spare[6] = 0;
    spare[0] ^= 0x40;
    EXPECT_EQ(bbmisbadvbf(spare.data()), SPARE_GOOD);
    EXPECT_EQ(bbmisbadvbf(tagged(0xCFFF0042).data()), SPARE_GOOD);
}

TEST_F(SpareTest, EveryFlippedTagBitIsRepaired)
{
    for (uint32_t tag : {0x9FFF1234u, 0xCFFF0042u, 0x8ABC7F01u, 0x1FFF0000u}) {
        const Spare good = tagged(tag);
        for (unsigned byte = 0; byte < 4; ++byte) {
            for (unsigned bit = 0; bit < 8; ++bit) {
                if (byte == 3 && bit >= 4 && bit <= 6)
                    continue; // the state bits are the progress byte's to vote on
                Spare spare = good;
                spare[byte] ^= static_cast<uint8_t>(1u << bit);
                ASSERT_EQ(bbmisbadvbf(spare.data()), SPARE_CORRECTED) << std::hex << tag << " " << byte << bit;
                ASSERT_EQ(spare, good);
            }
        }
    }
}

TEST_F(SpareTest, DamagedCheckBytesAreRebuilt)
{
    const Spare good = tagged(0x9FFF1234);
    for (unsigned byte : {4u, 5u}) {
        for (unsigned bit = 0; bit < 8; ++bit) {
            Spare spare = good;
            spare[byte] ^= static_cast<uint8_t>(1u << bit);
            ASSERT_EQ(bbmisbadvbf(spare.data()), SPARE_CORRECTED) << byte << bit;
            ASSERT_EQ(spare, good);
        }
    }
}

TEST_F(SpareTest, UncorrectableTagIsLoggedWithTheDrive)
{
    Spare spare = tagged(0x9FFF1234);
    spare[0] ^= 0x03; // two bits of one byte: its parity holds, so no byte can be blamed
    EXPECT_EQ(bbmisbadvbf(spare.data()), SPARE_UNCORRECTABLE);
    EXPECT_EQ(hostkernel::log_text(), "TESSARO error: VBF ECC on device 1 \n");
}

TEST_F(SpareTest, ProgressByteVotesOnTheState)
{
    // State 5 written over a tag whose progress byte still says 4 in both halves: back to state 4.
    Spare spare = tagged(0xCFFF0042);
    ASSERT_EQ(spare[6], 0xE4);
    spare[3] = 0xDF;
    EXPECT_EQ(bbmisbadvbf(spare.data()), SPARE_CORRECTED);
    EXPECT_EQ(state_of(spare), 4u);
    EXPECT_EQ(spare[3], 0xCF);

    // Halves 4 and 5 with state 5: the progress byte follows the state.
    spare = tagged(0xDFFF0042);
    spare[6] = 0xE5;
    EXPECT_EQ(bbmisbadvbf(spare.data()), SPARE_CORRECTED);
    EXPECT_EQ(spare[6], 0xED);
    EXPECT_EQ(state_of(spare), 5u);

    // Three different opinions.
    spare = tagged(0xDFFF0042);
    spare[6] = 0xC8 | 0x02; // halves 1 and 2, state 5
    EXPECT_EQ(bbmisbadvbf(spare.data()), SPARE_UNCORRECTABLE);
    EXPECT_EQ(hostkernel::log_text(), "TESSARO error: VBF progress ind on device 1 \n");
}

} // namespace
