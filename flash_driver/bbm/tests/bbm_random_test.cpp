// A long randomized run against a model of the client's sectors: random writes, reads and erases with
// injected program and erase failures, bit flips, restarts and power cuts. Nothing that the driver
// acknowledged may be lost.
#include "media/tests/stack.h"

#include "hostkernel/host.h"

#include <map>
#include <random>
#include <set>

namespace {

using namespace stacktest;

struct Layout {
    uint8_t device;
    int mode;
    const char *name;
};

void PrintTo(const Layout &layout, std::ostream *out)
{
    *out << layout.name;
}

class BbmRandomTest : public StackTest, public ::testing::WithParamInterface<Layout> {
protected:
    enum class Kind { Erased, Written, Unknown };
    struct Sector {
        Kind kind = Kind::Erased;
        std::vector<uint8_t> data;
        bool flipped = false;
    };

    uint32_t bs() const { return lpThisMedia->ulBlockSize; }
    uint32_t sectorsPerBlock() const { return bs() / 512; }

    void forgetBlock(uint32_t block, Kind kind)
    {
        for (uint32_t s = 0; s < sectorsPerBlock(); s++) {
            Sector &sector = model[block * sectorsPerBlock() + s];
            sector = Sector{};
            sector.kind = kind;
        }
    }

    void check(uint32_t index)
    {
        const Sector &sector = model[index];
        if (sector.kind == Kind::Unknown)
            return;
        std::vector<uint8_t> back(512);
        lpThisMedia->bECCHasCorrectedData = 0;
        const uint16_t read = oemread(index * 512, 512, back.data(), ACCESS_TYPE_ECC);
        ASSERT_TRUE(read == 1 || lpThisMedia->bECCHasCorrectedData) << "sector " << index;
        if (sector.kind == Kind::Erased)
            ASSERT_EQ(back, std::vector<uint8_t>(512, 0xFF)) << "sector " << index;
        else
            ASSERT_EQ(back, sector.data) << "sector " << index;
    }

    std::map<uint32_t, Sector> model;
};

TEST_P(BbmRandomTest, AcknowledgedDataSurvivesFaultsRestartsAndPowerCuts)
{
    nandsim::Chip &chip = formatted(GetParam().device, GetParam().mode);
    const uint32_t blocks = 10;
    const uint32_t firstBlock = 1;
    const uint32_t operations = GetParam().device == kSmall64 ? 2500 : 900;
    const unsigned maxFaults = 14;
    for (uint32_t b = firstBlock; b < firstBlock + blocks; b++)
        forgetBlock(b, Kind::Erased);
    std::mt19937 random(20261209);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    unsigned faults = 0;
    uint32_t seed = 1;

    for (uint32_t op = 0; op < operations; op++) {
        SCOPED_TRACE("operation " + std::to_string(op));
        const uint32_t block = firstBlock + pick(blocks);
        const uint32_t index = block * sectorsPerBlock() + pick(sectorsPerBlock());
        const uint32_t address = index * 512;
        Sector &sector = model[index];
        const uint32_t roll = pick(100);
        if (roll < 45) {
            if (sector.kind != Kind::Erased)
                continue;
            std::vector<uint8_t> data = pattern(512, seed++);
            ASSERT_EQ(oemwrite(address, 512, data.data(), ACCESS_TYPE_ECC), 1);
            sector.kind = Kind::Written;
            sector.data = data;
        } else if (roll < 77) {
            check(index);
        } else if (roll < 81) {
            ASSERT_EQ(oemerase(block * bs(), bs()), 1);
            forgetBlock(block, Kind::Erased);
        } else if (roll < 86) {
            if (faults++ < maxFaults)
                chip.failing_program_blocks.insert(bbmmapblock(address) / bs());
        } else if (roll < 88) {
            if (faults++ < maxFaults)
                chip.failing_erase_blocks.insert(bbmmapblock(address) / bs());
        } else if (roll < 95) {
            if (sector.kind != Kind::Written || sector.flipped)
                continue;
            const uint32_t physical = bbmmapblock(address);
            const uint32_t page = lpThisMedia->uPageSize;
            chip.flip_bit(physical / page, physical % page + pick(512), static_cast<uint8_t>(pick(8)));
            sector.flipped = true;
        } else if (roll < 97) {
            ASSERT_TRUE(remount());
        } else {
            // A power cut somewhere in the next write or erase: its sector or block is then unknown.
            board->cut_power_after(1 + pick(40), 0.5);
            if (roll < 99 && sector.kind == Kind::Erased) {
                std::vector<uint8_t> data = pattern(512, seed++);
                oemwrite(address, 512, data.data(), ACCESS_TYPE_ECC);
                sector.kind = Kind::Unknown;
            } else {
                oemerase(block * bs(), bs());
                forgetBlock(block, Kind::Unknown);
            }
            if (board->powered())
                board->cut_power_after(0);
            ASSERT_TRUE(remount());
        }
    }
    ASSERT_TRUE(remount());
    for (const auto &entry : model)
        check(entry.first);
}

INSTANTIATE_TEST_SUITE_P(Layouts, BbmRandomTest,
                         ::testing::Values(Layout{kSmall64, 0, "SmallPage"}, Layout{kLarge128, 2, "LargeSmall"},
                                           Layout{kLarge128, 1, "LargeLarge"}),
                         [](const ::testing::TestParamInfo<Layout> &info) { return info.param.name; });

} // namespace
