// The sector code against a bit-by-bit reading of its definition, and its corrections.
#include "ecc/ecc.h"

#include "hostkernel/host.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

namespace {

using Block = std::array<uint8_t, kEccDataBytes>;
using Code = std::array<uint8_t, kEccCodeBytes>;

// The code as its definition reads, one bit at a time: A and B from the indices of the bytes with odd
// parity, C from the six column parities, A and B interleaved bit by bit from the high bit down.
Code oracle_code(const Block &data)
{
    const unsigned column_masks[6] = {0x55, 0xAA, 0x33, 0xCC, 0x0F, 0xF0};
    unsigned a = 0, b = 0, c = 0;
    for (unsigned i = 0; i < kEccDataBytes; ++i) {
        unsigned ones = 0;
        for (unsigned bit = 0; bit < 8; ++bit)
            ones += (data[i] >> bit) & 1;
        if (ones % 2) {
            a ^= i;
            b ^= 255 - i;
        }
        for (unsigned k = 0; k < 6; ++k)
            for (unsigned bit = 0; bit < 8; ++bit)
                if (column_masks[k] & (1u << bit))
                    c ^= ((data[i] >> bit) & 1) << k;
    }
    unsigned h = 0, l = 0;
    for (int bit = 7; bit >= 4; --bit)
        h = (h << 2) | ((a >> bit) & 1) << 1 | ((b >> bit) & 1);
    for (int bit = 3; bit >= 0; --bit)
        l = (l << 2) | ((a >> bit) & 1) << 1 | ((b >> bit) & 1);
    return {static_cast<uint8_t>(~l), static_cast<uint8_t>(~h), static_cast<uint8_t>((~c << 2) | 3)};
}

Code code_of(const Block &data)
{
    Code code;
    ecccalccode(data.data(), code.data());
    return code;
}

Block random_block(std::mt19937 &random)
{
    Block data;
    for (uint8_t &byte : data)
        byte = static_cast<uint8_t>(random());
    return data;
}

class EccTest : public ::testing::Test {
protected:
    void SetUp() override { hostkernel::reset(); }
    std::mt19937 random{20261209};
};

TEST_F(EccTest, KnownBlocks)
{
    Block data;
    data.fill(0xFF);
    EXPECT_EQ(code_of(data), (Code{0xFF, 0xFF, 0xFF}));
    data.fill(0x00);
    EXPECT_EQ(code_of(data), (Code{0xFF, 0xFF, 0xFF}));
    data[0] = 0x01;
    EXPECT_EQ(code_of(data), (Code{0xAA, 0xAA, 0xAB}));
    data[0] = 0x00;
    data[255] = 0x80;
    EXPECT_EQ(code_of(data), (Code{0x55, 0x55, 0x57}));
}

TEST_F(EccTest, TableHoldsColumnAndLineParities)
{
    const uint8_t start[8] = {0x00, 0x55, 0x56, 0x03, 0x59, 0x0C, 0x0F, 0x5A};
    for (unsigned i = 0; i < 8; ++i)
        EXPECT_EQ(ECC_CP_TABLE[i], start[i]) << i;
    for (unsigned value = 0; value < 256; ++value) {
        Block data{};
        data[0] = static_cast<uint8_t>(value);
        EXPECT_EQ(code_of(data), oracle_code(data)) << value;
    }
}

TEST_F(EccTest, CodeMatchesOracleOnRandomBlocks)
{
    for (int round = 0; round < 500; ++round) {
        Block data = random_block(random);
        ASSERT_EQ(code_of(data), oracle_code(data)) << round;
    }
}

TEST_F(EccTest, CleanBlockNeedsNothing)
{
    Block data = random_block(random);
    Code code = code_of(data);
    Block before = data;
    EXPECT_EQ(ecccorrectdata(data.data(), code.data()), ECC_NO_ERROR);
    EXPECT_EQ(data, before);
    EXPECT_EQ(hostkernel::log_text(), "");
}

TEST_F(EccTest, EveryFlippedDataBitIsRepaired)
{
    Block good = random_block(random);
    Code stored = code_of(good);
    for (unsigned index = 0; index < kEccDataBytes; ++index) {
        for (unsigned bit = 0; bit < 8; ++bit) {
            Block data = good;
            data[index] ^= static_cast<uint8_t>(1u << bit);
            Code code = stored;
            ASSERT_EQ(ecccorrectdata(data.data(), code.data()), ECC_CORRECTED) << index << "/" << bit;
            ASSERT_EQ(data, good) << index << "/" << bit;
            ASSERT_EQ(code, stored);
        }
    }
}

TEST_F(EccTest, RepairLogsByteBitAndValues)
{
    Block data{};
    data[17] = 0x40;
    Code code = code_of(data);
    data[17] = 0x48;
    hostkernel::clear_log();
    EXPECT_EQ(ecccorrectdata(data.data(), code.data()), ECC_CORRECTED);
    EXPECT_EQ(data[17], 0x40);
    EXPECT_EQ(hostkernel::log_text(), "<4>[Flash NAND] Error in byte# 0017 Read: 0x48"
                                      "<4> ,detected error in bit# 03, "
                                      "<4> Now: 0x40\n");
}

TEST_F(EccTest, FlippedCodeBitRepairsTheCodeNotTheData)
{
    Block good = random_block(random);
    Code stored = code_of(good);
    for (unsigned byte = 0; byte < kEccCodeBytes; ++byte) {
        for (unsigned bit = 0; bit < 8; ++bit) {
            Block data = good;
            Code code = stored;
            code[byte] ^= static_cast<uint8_t>(1u << bit);
            hostkernel::clear_log();
            ASSERT_EQ(ecccorrectdata(data.data(), code.data()), ECC_CORRECTED) << byte << "/" << bit;
            ASSERT_EQ(code, stored);
            ASSERT_EQ(data, good);
            ASSERT_EQ(hostkernel::log_text(), "<4>[Flash NAND] ECC Code Error detected !!<4> and corrected...\n");
        }
    }
}

TEST_F(EccTest, TwoFlippedBitsAreUncorrectable)
{
    Block good = random_block(random);
    Code stored = code_of(good);
    std::uniform_int_distribution<unsigned> position(0, kEccDataBytes * 8 - 1);
    for (int round = 0; round < 3000; ++round) {
        unsigned first = position(random), second = position(random);
        // Every pair of bits of one byte too, where the byte's parity does not change.
        if (round < 28 * 8) {
            unsigned byte = round / 28, pair = round % 28, low = 0;
            while (pair >= 7 - low)
                pair -= 7 - low++;
            first = byte * 8 + low;
            second = byte * 8 + low + 1 + pair;
        }
        if (first == second)
            continue;
        Block data = good;
        data[first / 8] ^= static_cast<uint8_t>(1u << (first % 8));
        data[second / 8] ^= static_cast<uint8_t>(1u << (second % 8));
        Block damaged = data;
        Code code = stored;
        ASSERT_EQ(ecccorrectdata(data.data(), code.data()), ECC_UNCORRECTABLE) << first << "," << second;
        ASSERT_EQ(code, (Code{0xFF, 0xFF, 0xFF}));
        ASSERT_EQ(data, damaged);
    }
}

} // namespace
