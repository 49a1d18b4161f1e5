// The upgrade of spares written by an older format, through the media layer and the simulated chip.
#include "ecc/spare.h"

#include "nandsim/fixture.h"

#include <vector>

namespace {

class UpgradeTest : public nandsim::DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        chip = &install(0, 0x75);
        ASSERT_EQ(NANDInitDevice(), 1);
    }

    void put_spare(uint32_t page, const std::vector<uint8_t> &spare)
    {
        std::vector<uint8_t> bytes = chip->read_page(page);
        std::copy(spare.begin(), spare.end(), bytes.begin() + 512);
        chip->write_page_raw(page, bytes);
    }
    std::vector<uint8_t> spare_of(uint32_t page) const
    {
        std::vector<uint8_t> bytes = chip->read_page(page);
        return std::vector<uint8_t>(bytes.begin() + 512, bytes.end());
    }

    nandsim::Chip *chip = nullptr;
};

TEST_F(UpgradeTest, OldCodeTagAndTagGetTheirCheckBytes)
{
    put_spare(7, {0x34, 0x12, 0xFF, 0x9F, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3, 0xFF, 4, 5, 6, 0xFF});
    lpThisMedia->bRawSpare = 1;
    EXPECT_EQ(bbmupgradeecctag(7 * 512), 1);
    EXPECT_EQ(spare_of(7), (std::vector<uint8_t>{0x34, 0x12, 0xFF, 0x9F, 0x26, 0xF1, 0xC9, 0x0F, 1, 2, 3, 0xFF, 4, 5,
                                                 6, 0xFF}));
    EXPECT_EQ(lpThisMedia->bRawSpare, 1);
    EXPECT_EQ(lpThisMedia->bUseVBFEcc, 0);
}

TEST_F(UpgradeTest, OldCodeTagWithoutTag)
{
    put_spare(3, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3, 0xFF, 4, 5, 6, 0xFF});
    EXPECT_EQ(bbmupgradeecctag(3 * 512), 1);
    EXPECT_EQ(spare_of(3)[7], 0x0F);
    EXPECT_EQ(spare_of(3)[6], 0xFF);
}

TEST_F(UpgradeTest, NothingToUpgradeWritesNothing)
{
    unsigned programs = chip->programs;
    EXPECT_EQ(bbmupgradeecctag(5 * 512), 1);
    EXPECT_EQ(chip->programs, programs);
}

TEST_F(UpgradeTest, FailedSpareReadRestoresTheMode)
{
    lpThisMedia->uFlags = 0;
    lpThisMedia->bUseVBFEcc = 1;
    EXPECT_EQ(bbmupgradeecctag(0), 0);
    EXPECT_EQ(lpThisMedia->bUseVBFEcc, 1);
}

} // namespace
