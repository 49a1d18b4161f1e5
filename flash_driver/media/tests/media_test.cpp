// The media layer's checks at its edge, its status bits and modes, and the drives that oeminit finds.
#include "media/tests/stack.h"

#include "hostkernel/host.h"

namespace {

using namespace stacktest;

class MediaTest : public StackTest {};

TEST_F(MediaTest, RequestsMustLieWithinTheDriveWithoutWrapping)
{
    formatted(kSmall64);
    uint8_t buffer[1024];
    EXPECT_EQ(oemread(kSmallTotal - 512, 512, buffer, ACCESS_TYPE_DATA), 1);
    EXPECT_EQ(oemread(kSmallTotal - 510, 512, buffer, ACCESS_TYPE_DATA), 0);
    EXPECT_EQ(oemread(0xFFFFFE00, 0x400, buffer, ACCESS_TYPE_DATA), 0);
    EXPECT_EQ(oemwrite(0xFFFFFE00, 0x400, buffer, ACCESS_TYPE_DATA), 0);
    // Would wrap to an erase of the chunk's backup and then of block 0.
    EXPECT_EQ(oemerase(0xFFFE0000, 0x40000), 0);
    EXPECT_EQ(oemerase(kSmallTotal - kSmallBlock, 2 * kSmallBlock), 0);
}

TEST_F(MediaTest, HiddenAddressesNearTheTopDoNotWrapToLowBlocks)
{
    nandsim::Chip &chip = formatted(kSmall64);
    // The tag place of the unit's last 2048 bytes stands for a sector 255 KB above it, past the chip,
    // whose address cycles would reach block 15.
    const uint32_t hidden = kSmallTotal - 4;
    const uint32_t wrapped = (kSmallTotal - 2048 + 511 * 512) % kSmallTotal;
    const std::vector<uint8_t> before = chip.read_page(wrapped / 512);
    uint8_t tag[4] = {1, 2, 3, 4};
    EXPECT_EQ(oemwrite(hidden, 4, tag, ACCESS_TYPE_HIDDEN), 0);
    EXPECT_EQ(oemread(hidden, 4, tag, ACCESS_TYPE_HIDDEN), 0);
    EXPECT_EQ(chip.read_page(wrapped / 512), before);
}

TEST_F(MediaTest, MalformedRequestsAreRefusedWithoutAnAccess)
{
    formatted(kSmall64);
    uint8_t buffer[512];
    const uint16_t status = lpThisMedia->uStatus;
    EXPECT_EQ(oemread(0, 0, buffer, ACCESS_TYPE_DATA), 0);
    EXPECT_EQ(oemread(1, 512, buffer, ACCESS_TYPE_DATA), 0);
    EXPECT_EQ(oemread(0, 511, buffer, ACCESS_TYPE_DATA), 0);
    EXPECT_EQ(oemread(0, 512, nullptr, ACCESS_TYPE_DATA), 0);
    EXPECT_EQ(oemread(0, 512, buffer, 5), 0);
    EXPECT_EQ(oemwrite(0, 512, buffer, 7), 0);
    EXPECT_EQ(oemerase(0, kSmallBlock / 2), 0);
    EXPECT_EQ(oemerase(kSmallBlock / 2, kSmallBlock), 0);
    EXPECT_EQ(lpThisMedia->uStatus, status);
    EXPECT_EQ(hostkernel::log_text(), "");
}

TEST_F(MediaTest, LengthsMustFitTheAccessTypeSoNoBufferIsOverrun)
{
    formatted(kSmall64);
    uint8_t guarded[32];
    std::memset(guarded, 0xA5, sizeof guarded);
    EXPECT_EQ(oemread(0, 4, guarded, ACCESS_TYPE_SPARE), 0);
    EXPECT_EQ(oemread(0, 6, guarded, ACCESS_TYPE_HIDDEN), 0);
    EXPECT_EQ(oemwrite(0, 6, guarded, ACCESS_TYPE_HIDDEN), 0);
    EXPECT_EQ(oemwrite(0, 100, guarded, ACCESS_TYPE_ECC), 0);
    for (uint8_t byte : guarded)
        EXPECT_EQ(byte, 0xA5);
    EXPECT_EQ(oemread(0, 16, guarded, ACCESS_TYPE_SPARE), 1);
}

TEST_F(MediaTest, SpareAccessNeedsTheExtendedRecord)
{
    formatted(kSmall64);
    uint8_t spare[16];
    lpThisMedia->uFlags = MEDIA_FLAG_BAD_MARKS;
    EXPECT_EQ(oemread(0, 16, spare, ACCESS_TYPE_SPARE), 0);
    EXPECT_EQ(oemwrite(0, 16, spare, ACCESS_TYPE_SPARE), 0);
}

TEST_F(MediaTest, DriveIsIdleAfterEveryAccess)
{
    formatted(kSmall64);
    uint8_t buffer[512] = {};
    EXPECT_EQ(oemwrite(0, 512, buffer, ACCESS_TYPE_ECC), 1);
    EXPECT_EQ(lpThisMedia->uStatus & 0xFF00, STATUS_IDLE);
    EXPECT_EQ(oemread(0, 512, buffer, ACCESS_TYPE_ECC), 1);
    EXPECT_EQ(oemerase(0, kSmallBlock), 1);
    EXPECT_EQ(oemstatus(), STATUS_IDLE);
    EXPECT_EQ(oemchanged(), 0);
}

TEST_F(MediaTest, FailedReadRestoresTheModes)
{
    nandsim::Chip &chip = formatted(kSmall64);
    std::vector<uint8_t> data = pattern(512, 1);
    ASSERT_EQ(oemwrite(0, 512, data.data(), ACCESS_TYPE_ECC), 1);
    chip.flip_bit(0, 1, 1);
    chip.flip_bit(0, 2, 1);
    lpThisMedia->bUseECC = 0;
    lpThisMedia->bUseVBFEcc = 1;
    EXPECT_EQ(oemread(0, 512, data.data(), ACCESS_TYPE_ECC), 0);
    EXPECT_EQ(lpThisMedia->bUseECC, 0);
    EXPECT_EQ(lpThisMedia->bUseVBFEcc, 1);
    EXPECT_NE(hostkernel::log_text().find("<4>oemreadFailed type=4 ulStart=0x0 uLength=0x200 bUseECC=1 bUseVBFEcc=1\n"),
              std::string::npos);
}

TEST_F(MediaTest, CurrentDriveStaysWithinTheTable)
{
    EXPECT_EQ(oemsetcurrentdrive(1), 1);
    EXPECT_EQ(lpThisMedia, &extndMediaInfo[1]);
    EXPECT_EQ(oemsetcurrentdrive(2), 0);
    EXPECT_EQ(uCurrentDrive, 1);
    EXPECT_EQ(lpThisMedia, &extndMediaInfo[1]);
}

TEST_F(MediaTest, InitFindsOneDriveAndLeavesTheStubOnTheOther)
{
    install(0, kSmall64);
    uint16_t drives = 0;
    ASSERT_EQ(oeminit(0, &drives), 1);
    EXPECT_EQ(drives, 1);
    EXPECT_EQ(uCurrentDrive, 1);
    EXPECT_NE(hostkernel::log_text().find("Tessaro revision number "), std::string::npos);
    EXPECT_EQ(extndMediaInfo[0].lpDevice, &devNAND512);
    EXPECT_EQ(extndMediaInfo[1].lpDevice, &devStub);
    EXPECT_EQ(extndMediaInfo[1].ulMediaSize, 0u);
    uint8_t buffer[512] = {};
    EXPECT_EQ(oemread(0, 512, buffer, ACCESS_TYPE_DATA), 0);
    EXPECT_EQ(oemwrite(0, 512, buffer, ACCESS_TYPE_DATA), 0);
    EXPECT_EQ(oemerase(0, kSmallBlock), 0);

    oemsetcurrentdrive(0);
    OemMediaInfo info;
    oemmediainfo(&info);
    EXPECT_EQ(info.uTypeFlags, 0xC004);
    EXPECT_EQ(info.ulMediaSize, 4014u * kSmallBlock);
    EXPECT_EQ(info.ulBlockSize, kSmallBlock);
    EXPECT_EQ(info.bLargePage, 0);
    EXPECT_EQ(info.ulChipSize, kSmallTotal);
    EXPECT_EQ(info.ucDeviceId, kSmall64);
}

TEST_F(MediaTest, TwoDrivesKeepTheirOwnMaps)
{
    // The same client address on both drives, one of them relocated. Only the Corvo board has drive 1.
    use_board(nandsim::Variant::Corvo);
    board->set_xmem_fitted(true);
    nandsim::Chip &main = install(0, kSmall64);
    nandsim::Chip &xmem = install(1, kSmall64);
    uint16_t drives = 0;
    ASSERT_EQ(oeminit(0, &drives), 1);
    ASSERT_EQ(drives, 2);
    const uint32_t address = 2 * kSmallBlock;
    std::vector<uint8_t> one = pattern(512, 1), two = pattern(512, 2), back(512);
    oemsetcurrentdrive(0);
    ASSERT_EQ(oemwrite(address, 512, one.data(), ACCESS_TYPE_ECC), 1);
    main.failing_program_blocks.insert(2);
    ASSERT_EQ(oemwrite(address + 512, 512, one.data(), ACCESS_TYPE_ECC), 1);
    ASSERT_EQ(oemread(address, 512, back.data(), ACCESS_TYPE_ECC), 1);
    oemsetcurrentdrive(1);
    ASSERT_EQ(oemwrite(address, 512, two.data(), ACCESS_TYPE_ECC), 1);
    EXPECT_EQ(oemread(address, 512, back.data(), ACCESS_TYPE_ECC), 1);
    EXPECT_EQ(back, two);
    EXPECT_EQ(xmem.read_page(address / 512)[0], two[0]);
    oemsetcurrentdrive(0);
    EXPECT_EQ(oemread(address, 512, back.data(), ACCESS_TYPE_ECC), 1);
    EXPECT_EQ(back, one);
}

} // namespace
