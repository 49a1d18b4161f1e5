// Power cuts during the translation layer's writes, discards and collections: after the restart every
// acknowledged write reads back and no sector holds anything it never held.
#include "ftl/tests/ftl.h"

#include <random>

namespace {

using namespace ftltest;

constexpr uint8_t kSmall8 = 0xE6; // 8 MB, 8 KB blocks: units of 32 KB, 16 units per region

// What each sector may hold: every value written to it since the last acknowledged change.
class Model {
public:
    explicit Model(uint32_t sectors) : allowed_(sectors, {unwritten()}) {}

    static std::vector<uint8_t> unwritten() { return std::vector<uint8_t>(512, 0xFE); }

    void write(uint32_t sector, const std::vector<uint8_t> &data, bool acknowledged)
    {
        if (acknowledged)
            allowed_[sector].clear();
        allowed_[sector].push_back(data);
    }

    bool holds(uint32_t sector, const std::vector<uint8_t> &data) const
    {
        for (const std::vector<uint8_t> &value : allowed_[sector])
            if (value == data)
                return true;
        return false;
    }

    uint32_t sectors() const { return static_cast<uint32_t>(allowed_.size()); }

private:
    std::vector<std::vector<std::vector<uint8_t>>> allowed_;
};

class FtlPowerCutTest : public FtlTest {
protected:
    // A drive whose first region is written full and whose second is half written, so that the
    // workload's rewrites make the collector run.
    void prepare(uint8_t device = kSmall8, int mode = 0)
    {
        static std::map<std::string, std::string> images;
        std::string &image = images[std::to_string(device) + "-" + std::to_string(mode)];
        if (image.empty()) {
            format_drive(device, mode);
            ASSERT_LE(3 * RegionSize(), FormattedSize());
            for (uint32_t address = 0; address < RegionSize() * 3 / 2; address += 0x4000) {
                const uint32_t n = std::min<uint32_t>(0x4000, RegionSize() * 3 / 2 - address);
                const std::vector<uint8_t> data = pattern(n, address / 512);
                ASSERT_EQ(vbfwrite(address, static_cast<uint16_t>(n), data.data()), 1);
            }
            image = scratch_path("ftl-prepared-" + std::to_string(device) + "-" + std::to_string(mode) + ".img");
            ASSERT_TRUE(board->save_image(image));
        }
        use_board(nandsim::Variant::PIII);
        reset_stack();
        vbfreset();
        force_ll = mode;
        ASSERT_TRUE(board->load_image(image));
        ASSERT_TRUE(restart());
        hostkernel::clear_log();
    }

    Model prepared_model()
    {
        Model model(2 * RegionSize() / 512);
        for (uint32_t address = 0; address < RegionSize() * 3 / 2; address += 0x4000) {
            const uint32_t n = std::min<uint32_t>(0x4000, RegionSize() * 3 / 2 - address);
            const std::vector<uint8_t> data = pattern(n, address / 512);
            for (uint32_t s = 0; s < n / 512; s++)
                if (address / 512 + s < model.sectors())
                    model.write(address / 512 + s, slice(data, s), true);
        }
        return model;
    }

    static std::vector<uint8_t> slice(const std::vector<uint8_t> &data, uint32_t sector)
    {
        return std::vector<uint8_t>(data.begin() + sector * 512, data.begin() + (sector + 1) * 512);
    }

    // One write of the workload; acknowledged only when it succeeded with the power still on.
    // The power cut stops the driver where it is, as it stops the processor.
    struct PowerCut {};

    void stop_at_the_cut()
    {
        board->chip(0)->after_tear = [] { throw PowerCut{}; };
    }

    // One write of the workload: until it is acknowledged a sector may hold the old or the new data.
    void write(Model &model, uint32_t sector, uint32_t count, uint32_t seed)
    {
        const std::vector<uint8_t> data = pattern(count * 512, seed);
        for (uint32_t s = 0; s < count && sector + s < model.sectors(); s++)
            model.write(sector + s, slice(data, s), false);
        // With the power on, every write succeeds: a failure here is a drive that broke.
        ASSERT_EQ(vbfwrite(sector * 512, static_cast<uint16_t>(count * 512), data.data()), 1)
            << "write of " << count << " sectors at " << sector;
        for (uint32_t s = 0; s < count && sector + s < model.sectors(); s++)
            model.write(sector + s, slice(data, s), true);
    }

    void discard(Model &model, uint32_t sector, uint32_t count)
    {
        for (uint32_t s = 0; s < count && sector + s < model.sectors(); s++)
            model.write(sector + s, Model::unwritten(), false);
        vbfdiscard(sector * 512, static_cast<uint16_t>(count * 512));
        for (uint32_t s = 0; s < count && sector + s < model.sectors(); s++)
            model.write(sector + s, Model::unwritten(), true);
    }

    // A scripted workload: rewrites inside runs, a write across the region boundary, discards that
    // split runs, and enough rewrites of the full region for several collections.
    void workload(Model &model)
    {
        const uint32_t boundary = RegionSize() / 512;
        write(model, 10, 1, 1001);
        write(model, 100, 8, 1002);
        write(model, 102, 2, 1003);
        write(model, boundary - 3, 6, 1004);
        discard(model, 40, 5);
        discard(model, boundary + 20, 3);
        discard(model, boundary, 126); // the region's first two units are cleared in place
        for (uint32_t i = 0; i < 6; i++)
            write(model, (i * 37) % (boundary - 16), 12, 2000 + i);
        discard(model, 0, 64);
        write(model, 5, 4, 3000);
    }

    // After a restart: every sector holds a value it may hold, and the drive takes new writes.
    void check(Model &model)
    {
        std::vector<uint8_t> back(512);
        for (uint32_t s = 0; s < model.sectors(); s++) {
            ASSERT_EQ(vbfread(s * 512, 512, back.data()), 1) << "sector " << s;
            ASSERT_TRUE(model.holds(s, back)) << "sector " << s;
        }
        const std::vector<uint8_t> data = pattern(4 * 512, 4000);
        ASSERT_EQ(vbfwrite(100 * 512, 4 * 512, data.data()), 1) << "the drive takes writes again";
        for (uint32_t s = 0; s < 4; s++)
            model.write(100 + s, slice(data, s), true);
        ASSERT_TRUE(restart());
        for (uint32_t s = 100; s < 104; s++) {
            ASSERT_EQ(vbfread(s * 512, 512, back.data()), 1);
            ASSERT_TRUE(model.holds(s, back)) << "sector " << s;
        }
    }
};

TEST_F(FtlPowerCutTest, CutAtEveryProgramAndEraseOfAScriptedWorkload)
{
    prepare();
    Model whole = prepared_model();
    const unsigned start = operations();
    workload(whole);
    const unsigned steps = operations() - start;
    ASSERT_GT(steps, 500u);
    uint32_t highest = 0, average = 0, lowest = 0;
    ASSERT_EQ(MediaInfoErase(&highest, &average, &lowest), 0);
    ASSERT_GT(highest, 1u) << "the workload makes the collector run";

    for (unsigned cut = 1; cut <= steps; cut++) {
        SCOPED_TRACE("power cut at operation " + std::to_string(cut));
        prepare();
        Model model = prepared_model();
        // Tears of every kind: a prefix of the page or block, or bits spread over it.
        board->cut_power_after(cut, (cut % 5) / 4.0, cut % 2 == 0, cut);
        stop_at_the_cut();
        try {
            workload(model);
        } catch (const PowerCut &) {
        }
        ASSERT_FALSE(board->powered());
        ASSERT_TRUE(restart());
        check(model);
        if (HasFatalFailure())
            return;
    }
}

class FtlRandomPowerCutTest : public FtlPowerCutTest, public ::testing::WithParamInterface<std::pair<uint8_t, int>> {
};

TEST_P(FtlRandomPowerCutTest, CutsAtRandomPointsOfALongRandomWorkload)
{
    prepare(GetParam().first, GetParam().second);
    Model model = prepared_model();
    std::mt19937 random(7);
    std::uniform_int_distribution<uint32_t> sector(0, model.sectors() - 1);
    std::uniform_int_distribution<uint32_t> count(1, 24);
    std::uniform_int_distribution<unsigned> after(1, 2000);
    std::uniform_real_distribution<double> done(0.0, 1.0);
    // Bounded: fewer rounds where each restart scans the larger drive.
    const unsigned rounds = lpThisMedia->bLLMode ? 80 : 200;
    for (unsigned round = 0; round < rounds; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        board->cut_power_after(after(random), done(random), round % 2 == 1, round);
        stop_at_the_cut();
        try {
            while (!HasFatalFailure()) {
                uint32_t first = sector(random);
                uint32_t n = std::min(count(random), model.sectors() - first);
                if (random() % 6 == 0) {
                    // Large pages are discarded only as whole 2048-byte pages.
                    if (lpThisMedia->bLLMode) {
                        first -= first % 4;
                        n = std::max<uint32_t>(4, n - n % 4);
                    }
                    discard(model, first, n);
                } else {
                    write(model, first, n, static_cast<uint32_t>(random()));
                }
            }
        } catch (const PowerCut &) {
        }
        ASSERT_TRUE(restart());
        check(model);
        if (HasFatalFailure())
            return;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, FtlRandomPowerCutTest,
                         ::testing::Values(std::make_pair(kSmall8, 0), std::make_pair(uint8_t{kLarge128}, 1)));

} // namespace
