// Power cuts during the translation layer's writes, discards and collections: after the restart every
// acknowledged write reads back and no sector holds anything it never held.
#include "ftl/tests/ftl.h"

#include <gtest/gtest-spi.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
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
            fill_prepared();
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

    void fill_prepared()
    {
        ASSERT_LE(3 * RegionSize(), FormattedSize());
        for (uint32_t address = 0; address < RegionSize() * 3 / 2; address += 0x4000) {
            const uint32_t n = std::min<uint32_t>(0x4000, RegionSize() * 3 / 2 - address);
            const std::vector<uint8_t> data = pattern(n, address / 512);
            ASSERT_EQ(vbfwrite(address, static_cast<uint16_t>(n), data.data()), 1);
        }
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
        // With the power on, every discard succeeds too.
        ASSERT_EQ(vbfdiscard(sector * 512, static_cast<uint16_t>(count * 512)), 1)
            << "discard of " << count << " sectors at " << sector;
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

    // After a restart every sector holds a value it may hold, and then only that one: nothing changes
    // a sector but a request. The same again after a further restart.
    void settle(Model &model)
    {
        std::vector<uint8_t> back(512);
        for (uint32_t s = 0; s < model.sectors(); s++) {
            ASSERT_EQ(vbfread(s * 512, 512, back.data()), 1) << "sector " << s;
            ASSERT_TRUE(model.holds(s, back)) << "sector " << s;
            model.write(s, back, true);
        }
        ASSERT_TRUE(restart());
        for (uint32_t s = 0; s < model.sectors(); s++) {
            ASSERT_EQ(vbfread(s * 512, 512, back.data()), 1) << "sector " << s;
            ASSERT_TRUE(model.holds(s, back)) << "sector " << s << " changed across a restart";
        }
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

// The cuts of the scripted workload in four shards that run side by side, every fourth cut in each.
class FtlScriptedCutTest : public FtlPowerCutTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(FtlScriptedCutTest, CutAtEveryProgramAndEraseOfAScriptedWorkload)
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

    for (unsigned cut = 4 - GetParam(); cut <= steps; cut += 4) {
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

INSTANTIATE_TEST_SUITE_P(Quarters, FtlScriptedCutTest, ::testing::Range(0u, 4u));

// A power cut at every program and erase of a collection and of an in-place clear, each torn as a
// prefix (which leaves a header page with its first copy whole, the second partly written and the
// third blank) or as bits spread over it: the drive mounts, every sector holds its old or its new
// value and keeps it across a restart.
TEST_F(FtlPowerCutTest, CutAtEveryStepOfACollectionAndOfAnInPlaceClear)
{
    struct Road {
        const char *name;
        std::function<void(Model &)> before, cut;
    };
    const Road roads[] = {
        {"in-place clear of the region's first two units", [](Model &) {}, [this](Model &m) { discard(m, 0, 126); }},
        {"collection of a unit with runs discarded", [this](Model &m) { discard(m, 70, 20); },
         [](Model &) { vbfgarbagecollect(); }},
    };
    struct Tear {
        double done;
        bool random_bits;
    };
    const Tear tears[] = {{0.3, false}, {0.5, true}};
    for (const Road &road : roads) {
        SCOPED_TRACE(road.name);
        prepare();
        Model whole = prepared_model();
        road.before(whole);
        const unsigned start = operations();
        road.cut(whole);
        const unsigned steps = operations() - start;
        ASSERT_GT(steps, 8u);
        for (unsigned cut = 1; cut <= steps; cut++) {
            for (const Tear &tear : tears) {
                SCOPED_TRACE("power cut at operation " + std::to_string(cut) + (tear.random_bits ? ", bits" : ", prefix"));
                prepare();
                Model model = prepared_model();
                road.before(model);
                board->cut_power_after(cut, tear.done, tear.random_bits, cut);
                stop_at_the_cut();
                try {
                    road.cut(model);
                } catch (const PowerCut &) {
                }
                ASSERT_FALSE(board->powered());
                ASSERT_TRUE(restart()) << "the drive mounts after the cut";
                settle(model);
                if (HasFatalFailure())
                    return;
            }
        }
    }
}

// A format of a drive in use, cut at its programs and erases: the drive never mounts with old sectors
// and unwritten ones mixed. Until the format's last header a mount fails, its status saying a format
// did not finish (or, cut before any header is written, no header is found); a format then succeeds.
TEST_F(FtlPowerCutTest, AFormatCutShortIsSeen)
{
    auto format = [] {
        uint32_t size = VBF_DEFAULT, start = VBF_DEFAULT, spares = VBF_DEFAULT;
        return vbfformat(4321, static_cast<int32_t>(VBF_DEFAULT), &size, &start, &spares);
    };
    prepare();
    const Model old = prepared_model();
    const unsigned first = operations();
    ASSERT_EQ(format(), 1);
    const unsigned steps = operations() - first;
    unsigned unfinished = 0;
    // A stride that meets every kind of step of the pre-erase (two a unit) and of the format (three).
    for (unsigned cut = 1; cut <= steps; cut += 13) {
        SCOPED_TRACE("power cut at operation " + std::to_string(cut));
        prepare();
        board->cut_power_after(cut, (cut % 4) / 3.0, cut % 2 == 1, cut);
        stop_at_the_cut();
        try {
            format();
        } catch (const PowerCut &) {
        }
        if (restart()) {
            bool allOld = true, allUnwritten = true;
            std::vector<uint8_t> back(512);
            for (uint32_t s = 0; s < old.sectors(); s++) {
                ASSERT_EQ(vbfread(s * 512, 512, back.data()), 1);
                allOld = allOld && old.holds(s, back);
                allUnwritten = allUnwritten && back == Model::unwritten();
            }
            ASSERT_TRUE(allOld || allUnwritten) << "old sectors and unwritten ones mixed";
            continue;
        }
        EUH h;
        const bool needsFormat = (vbfstatus() & VBF_STATUS_NEEDS_FORMAT) != 0;
        unfinished += needsFormat;
        ASSERT_TRUE(needsFormat || !MountEUH(&h)) << "a mount that fails says why";
        ASSERT_EQ(format(), 1);
        ASSERT_EQ(vbfmount(), 1);
    }
    EXPECT_GT(unfinished, steps / 13 / 2);
}

// Random workloads with power cuts at random points, many seeds per layout: the seeds to run are a
// parameter, so that CI runs a few and a soak runs hundreds (TESSARO_SEEDS, from TESSARO_FIRST_SEED),
// and a failing seed is run again alone from its number.
struct Layout {
    const char *name;
    uint8_t device;
    int mode;
    bool two_chips; // drive 1 on two 64 MB chips, with chunk 1 of the reserve in use
    // The seeds CI runs: a few, among them one that found a fault once; and with the repairs cut.
    unsigned first_seed, seeds, repair_first_seed, repair_seeds;
};

void PrintTo(const Layout &layout, std::ostream *out)
{
    *out << layout.name;
}

unsigned EnvNumber(const char *name, unsigned fallback)
{
    const char *text = std::getenv(name);
    return text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

class FtlSeededPowerCutTest : public FtlPowerCutTest, public ::testing::WithParamInterface<Layout> {
protected:
    // Drive 1 of two chips with chunk 1 of the reserve in use.
    void prepare_two_chips()
    {
        static std::string image;
        drive_ = 1;
        if (image.empty()) {
            install_two_chunk_drive();
            vbfreset();
            uint16_t drives = 0;
            ASSERT_EQ(oeminit(0, &drives), 1);
            ASSERT_EQ(lpThisMedia, &extndMediaInfo[1]);
            ASSERT_NE(bbmInfo[1].ulHighestChunk, 0u);
            uint32_t size = VBF_DEFAULT, start = VBF_DEFAULT, spares = VBF_DEFAULT;
            vbfsetcurrentdrive(1);
            ASSERT_EQ(vbfformat(1234, static_cast<int32_t>(VBF_DEFAULT), &size, &start, &spares), 1);
            ASSERT_EQ(vbfmount(), 1);
            fill_prepared();
            image = scratch_path("ftl-prepared-two-chips.img");
            ASSERT_TRUE(board->save_image(image));
        }
        use_board(nandsim::Variant::Corvo);
        reset_stack();
        vbfreset();
        board->set_xmem_fitted(true);
        ASSERT_TRUE(board->load_image(image));
        ASSERT_TRUE(restart());
        hostkernel::clear_log();
    }

    void stop_at_any_cut()
    {
        for (unsigned select = 0; select < nandsim::kSelects; select++)
            if (board->chip(select))
                board->chip(select)->after_tear = [] { throw PowerCut{}; };
    }

    // A failure of this seed so far (the seed's failures are held back from the test's own).
    bool failing() const { return results_ && results_->size() > 0; }

    unsigned all_operations()
    {
        unsigned count = 0;
        for (unsigned select = 0; select < nandsim::kSelects; select++)
            if (board->chip(select))
                count += board->chip(select)->programs + board->chip(select)->erases;
        return count;
    }

    // What a restart repairs: the scan at mount, and the regions as they are first read.
    void mount_and_read(const Model &model)
    {
        ASSERT_TRUE(restart()) << "the drive mounts";
        std::vector<uint8_t> back(512);
        for (uint32_t s = 0; s < model.sectors(); s++) {
            ASSERT_EQ(vbfread(s * 512, 512, back.data()), 1) << "sector " << s;
            ASSERT_TRUE(model.holds(s, back)) << "sector " << s;
        }
    }

    // The repairs of the restart after a cut, cut in turn at each of their programs and erases (a
    // prefix of it done, or bits spread over it): the mount after that finds every sector as before.
    void cut_the_repairs(const Model &model)
    {
        const std::string image = scratch_path("before-repairs.img");
        ASSERT_TRUE(board->save_image(image));
        const unsigned before = all_operations();
        mount_and_read(model);
        const unsigned steps = all_operations() - before;
        for (unsigned cut = 1; cut <= steps && !failing(); cut++) {
            for (const bool bits : {false, true}) {
                SCOPED_TRACE("repair cut at operation " + std::to_string(cut) + (bits ? ", bits" : ", prefix"));
                ASSERT_TRUE(board->load_image(image));
                after_power_on = [&] {
                    board->cut_power_after(cut, bits ? 0.5 : (cut % 3 + 1) / 4.0, bits, cut);
                    stop_at_any_cut();
                };
                try {
                    mount_and_read(model);
                } catch (const PowerCut &) {
                    repair_cuts_++;
                }
                after_power_on = nullptr;
                mount_and_read(model);
                if (failing())
                    return;
            }
        }
        ASSERT_TRUE(board->load_image(image));
    }

    // One seed: rounds of a random workload of writes and discards (long ones clear units in place),
    // each ended by a power cut at a random program or erase, with program failures that move blocks on
    // the two-chip drive; with second_cuts, the repairs of each restart are cut too. The number of
    // cuts that struck.
    unsigned run_seed(uint32_t seed, unsigned rounds, bool second_cuts = false)
    {
        const Layout &layout = GetParam();
        if (layout.two_chips)
            prepare_two_chips();
        else
            prepare(layout.device, layout.mode);
        if (failing())
            return 0;
        Model model = prepared_model();
        std::mt19937 random(seed);
        std::uniform_int_distribution<uint32_t> sector(0, model.sectors() - 1);
        std::uniform_int_distribution<uint32_t> count(1, 24);
        std::uniform_int_distribution<unsigned> after(1, 2000);
        std::uniform_real_distribution<double> done(0.0, 1.0);
        const uint32_t quantum = lpThisMedia->bLLMode ? 4 : 1;
        unsigned cuts = 0;
        for (unsigned round = 0; round < rounds && !failing(); round++) {
            SCOPED_TRACE("round " + std::to_string(round));
            board->cut_power_after(after(random), done(random), random() % 2 == 1, static_cast<uint32_t>(random()));
            stop_at_any_cut();
            if (layout.two_chips && random() % 2)
                board->chip(1)->transient_program_failures[static_cast<uint32_t>(random() % 128)] = 1;
            try {
                while (!failing()) {
                    uint32_t first = sector(random);
                    uint32_t n = std::min(count(random), model.sectors() - first);
                    const unsigned kind = random() % 12;
                    if (kind < 3) {
                        // Long discards empty whole units, which are then cleared in place.
                        if (kind == 0)
                            n = std::min<uint32_t>(64 + random() % 56, model.sectors() - first);
                        // Large pages are discarded only as whole 2048-byte pages.
                        first -= first % quantum;
                        n = std::max(quantum, n - n % quantum);
                        discard(model, first, n);
                    } else {
                        write(model, first, n, static_cast<uint32_t>(random()));
                    }
                }
            } catch (const PowerCut &) {
                cuts++;
            }
            if (failing())
                break;
            if (second_cuts)
                cut_the_repairs(model);
            if (failing())
                break;
            if (!restart()) {
                ADD_FAILURE() << "the drive does not mount after the cut";
                break;
            }
            settle(model);
            if (!failing())
                check(model);
        }
        return cuts;
    }

    // The seeds (TESSARO_SEEDS from TESSARO_FIRST_SEED, else the layout's few), each a failure of its own.
    void run_seeds(unsigned defaultFirst, unsigned defaultSeeds, unsigned defaultRounds, bool secondCuts);

    const ::testing::TestPartResultArray *results_ = nullptr;
    unsigned repair_cuts_ = 0;
};

TEST_P(FtlSeededPowerCutTest, EveryAcknowledgedSectorSurvivesCutsUnderManySeeds)
{
    run_seeds(GetParam().first_seed, GetParam().seeds, 20, false);
}

// The same workload, with every program and erase of the repairs after each cut cut in turn.
TEST_P(FtlSeededPowerCutTest, RepairsCutShortLoseNothing)
{
    run_seeds(GetParam().repair_first_seed, GetParam().repair_seeds, 17, true);
}

void FtlSeededPowerCutTest::run_seeds(unsigned defaultFirst, unsigned defaultSeeds, unsigned defaultRounds, bool secondCuts)
{
    const unsigned seeds = EnvNumber("TESSARO_SEEDS", defaultSeeds);
    const unsigned firstSeed = EnvNumber("TESSARO_FIRST_SEED", defaultFirst);
    const unsigned rounds = EnvNumber("TESSARO_ROUNDS", defaultRounds);
    unsigned cuts = 0;
    std::vector<unsigned> failed;
    for (unsigned seed = firstSeed; seed < firstSeed + seeds; seed++) {
        ::testing::TestPartResultArray results;
        {
            ::testing::ScopedFakeTestPartResultReporter held(
                ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
            results_ = &results;
            cuts += run_seed(seed, rounds, secondCuts);
            results_ = nullptr;
        }
        if (results.size() > 0) {
            failed.push_back(seed);
            const ::testing::TestPartResult &first = results.GetTestPartResult(0);
            ADD_FAILURE() << GetParam().name << " seed " << seed << " (TESSARO_FIRST_SEED=" << seed
                          << " TESSARO_SEEDS=1): " << first.file_name() << ":" << first.line_number() << ": "
                          << first.message();
        }
    }
    std::string list;
    for (unsigned seed : failed)
        list += " " + std::to_string(seed);
    std::printf("%s %s: %u seeds (%u to %u), %u rounds each, %u power cuts, %u cuts in repairs, %zu failures%s%s\n",
                secondCuts ? "repair-cut" : "soak", GetParam().name, seeds, firstSeed, firstSeed + seeds - 1, rounds, cuts,
                repair_cuts_, failed.size(), failed.empty() ? "" : ", seeds", list.c_str());
    EXPECT_GT(cuts, seeds * rounds / 2);
}

INSTANTIATE_TEST_SUITE_P(Layouts, FtlSeededPowerCutTest,
                         ::testing::Values(Layout{"SmallPages", kSmall8, 0, false, 52, 10, 71, 2},
                                           Layout{"LargePages", kLarge128, 1, false, 17, 4, 1, 1},
                                           Layout{"TwoChipsChunk1", 0, 0, true, 1, 3, 1, 1}),
                         [](const ::testing::TestParamInfo<Layout> &info) { return std::string(info.param.name); });

} // namespace
