// The simulated board seen from the ports: what the chip layer relies on, faults, power cuts, images.
#include "nandsim/board.h"

#include "hostkernel/kernel.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

namespace nandsim {
namespace {

// Drives the PIII board's lines directly, as the chip layer's signal hook does.
class Lines {
public:
    void set(bool cle, bool ale)
    {
        uint32_t value = inl(kPortPIIILines) & ~(kPIIICle | kPIIIAle | kPIIICeInactive);
        outl(value | (cle ? kPIIICle : 0) | (ale ? kPIIIAle : 0), kPortPIIILines);
    }
    void command(uint8_t value)
    {
        set(true, false);
        outb(value, kPortDataOut);
        set(false, false);
    }
    void address(std::initializer_list<uint8_t> bytes)
    {
        set(false, true);
        for (uint8_t byte : bytes)
            outb(byte, kPortDataOut);
        set(false, false);
    }
    std::vector<uint8_t> read(size_t count)
    {
        std::vector<uint8_t> bytes(count);
        for (uint8_t &byte : bytes)
            byte = inb(kPortDataIn);
        return bytes;
    }
    void write(const std::vector<uint8_t> &bytes)
    {
        for (uint8_t byte : bytes)
            outb(byte, kPortDataOut);
    }
    uint8_t status()
    {
        command(0x70);
        return inb(kPortDataIn);
    }
    // Lets the virtual clock run until the chip has finished.
    void settle() { hostkernel::advance_us(5000); }
};

unsigned ready_interrupts = 0;
void count_ready(int, void *, struct pt_regs *)
{
    ++ready_interrupts;
}

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hostkernel::reset();
        board = std::make_unique<Board>(Variant::PIII);
        ready_interrupts = 0;
        request_irq(kReadyIrq, count_ready, SA_INTERRUPT, "test", nullptr);
    }

    // Small-page chip: column, two row bytes.
    void read_small(uint32_t page, uint8_t column = 0)
    {
        io.command(0x00);
        io.address({column, static_cast<uint8_t>(page), static_cast<uint8_t>(page >> 8)});
        io.settle();
    }
    void program_small(uint32_t page, const std::vector<uint8_t> &bytes)
    {
        io.command(0x80);
        io.address({0, static_cast<uint8_t>(page), static_cast<uint8_t>(page >> 8)});
        io.write(bytes);
        io.command(0x10);
        io.settle();
    }
    void erase_small(uint32_t page)
    {
        io.command(0x60);
        io.address({static_cast<uint8_t>(page), static_cast<uint8_t>(page >> 8)});
        io.command(0xD0);
        io.settle();
    }

    std::unique_ptr<Board> board;
    Lines io;
};

TEST_F(BoardTest, IdentifiesTheInstalledChip)
{
    board->install_chip(0, chip_geometry(0xF1, 0x15, 0xEC));
    io.command(0xFF);
    io.settle();
    io.command(0x90);
    io.address({0});
    EXPECT_EQ(io.read(4), (std::vector<uint8_t>{0xEC, 0xF1, 0x00, 0x15}));
}

TEST_F(BoardTest, EmptySelectFloats)
{
    board->install_chip(0, chip_geometry(0x75));
    outb(2, kPortSelect);
    io.command(0x90);
    io.address({0});
    EXPECT_EQ(io.read(2), (std::vector<uint8_t>{0xFF, 0xFF}));
}

TEST_F(BoardTest, ProgrammingOnlyClearsBitsAndErasingSetsThem)
{
    Chip &chip = board->install_chip(0, chip_geometry(0x75));
    program_small(3, std::vector<uint8_t>(528, 0xF0));
    program_small(3, std::vector<uint8_t>(528, 0x3C));
    read_small(3);
    EXPECT_EQ(io.read(528), std::vector<uint8_t>(528, 0x30));
    io.settle();
    EXPECT_EQ(io.status(), 0xC0);
    erase_small(0);
    EXPECT_TRUE(chip.block_blank(0));
    read_small(3);
    EXPECT_EQ(io.read(528), std::vector<uint8_t>(528, 0xFF));
    EXPECT_EQ(chip.programs, 2u);
    EXPECT_EQ(chip.erases, 1u);
}

TEST_F(BoardTest, StatusShowsBusyUntilTheOperationEnds)
{
    board->install_chip(0, chip_geometry(0x75));
    io.command(0x60);
    io.address({0, 0});
    io.command(0xD0);
    EXPECT_EQ(io.status() & 0x40, 0);
    io.settle();
    EXPECT_EQ(io.status(), 0xC0);
    EXPECT_EQ(ready_interrupts, 1u);
}

TEST_F(BoardTest, SmallPageReadsOnIntoTheNextPageWithAReadyEdge)
{
    Chip &chip = board->install_chip(0, chip_geometry(0x75));
    std::vector<uint8_t> page5(528, 0x55);
    chip.write_page_raw(5, page5);
    read_small(4);
    unsigned edges = ready_interrupts;
    io.read(528);
    io.settle();
    EXPECT_EQ(ready_interrupts, edges + 1);
    EXPECT_EQ(io.read(528), page5);
}

TEST_F(BoardTest, SpareReadsStayInTheSpareArea)
{
    Chip &chip = board->install_chip(0, chip_geometry(0x75));
    std::vector<uint8_t> bytes(528, 0xFF);
    bytes[512 + 7] = 0x0F;
    chip.write_page_raw(0, bytes);
    bytes[512 + 7] = 0x0E;
    chip.write_page_raw(1, bytes);
    io.command(0x50);
    io.address({7, 0, 0});
    io.settle();
    EXPECT_EQ(io.read(9).front(), 0x0F);
    io.settle();
    EXPECT_EQ(io.read(8)[7], 0x0E); // page 1's spare, byte 7
}

TEST_F(BoardTest, BlockBoundaryEdgeIsAChipProperty)
{
    Chip &chip = board->install_chip(0, chip_geometry(0x75));
    chip.reads_across_blocks = false;
    uint32_t last = chip.geometry().pages_per_block - 1;
    read_small(last);
    unsigned edges = ready_interrupts;
    io.read(528);
    io.settle();
    EXPECT_EQ(ready_interrupts, edges);
    EXPECT_EQ(io.read(1), std::vector<uint8_t>{0xFF});
}

TEST_F(BoardTest, LargePageReadWantsConfirmAndRandomOutputMovesTheColumn)
{
    Chip &chip = board->install_chip(0, chip_geometry(0xDA));
    std::vector<uint8_t> bytes(2112, 0xFF);
    bytes[2048] = 0x12;
    bytes[100] = 0x34;
    chip.write_page_raw(0x10203, bytes);
    io.command(0x00);
    io.address({100, 0, 0x03, 0x02, 0x01});
    io.command(0x30);
    io.settle();
    EXPECT_EQ(io.read(1), std::vector<uint8_t>{0x34});
    io.command(0x05);
    io.address({0x00, 0x08});
    io.command(0xE0);
    EXPECT_EQ(io.read(1), std::vector<uint8_t>{0x12});
    io.read(63);
    EXPECT_EQ(io.read(1), std::vector<uint8_t>{0xFF}); // no reading on into the next page
}

TEST_F(BoardTest, InjectedFailuresShowInTheStatus)
{
    Chip &chip = board->install_chip(0, chip_geometry(0x75));
    chip.failing_program_blocks.insert(1);
    chip.failing_erase_blocks.insert(2);
    program_small(32, std::vector<uint8_t>(528, 0x00));
    EXPECT_EQ(io.status(), 0xC1);
    EXPECT_TRUE(chip.block_blank(1));
    erase_small(64);
    EXPECT_EQ(io.status(), 0xC1);
    program_small(0, std::vector<uint8_t>(528, 0x00));
    EXPECT_EQ(io.status(), 0xC0);
}

TEST_F(BoardTest, FactoryBadBlocksCarryTheMakersMarkAndFail)
{
    Chip &small = board->install_chip(0, chip_geometry(0x75));
    small.mark_factory_bad(3);
    EXPECT_EQ(small.read_page(3 * 32)[512 + 5], 0x00);
    EXPECT_EQ(small.read_page(3 * 32 + 1)[512 + 5], 0x00);
    erase_small(3 * 32);
    EXPECT_EQ(io.status(), 0xC1);
    EXPECT_EQ(small.read_page(3 * 32)[512 + 5], 0x00);

    Chip &large = board->install_chip(1, chip_geometry(0xF1));
    large.mark_factory_bad(7);
    EXPECT_EQ(large.read_page(7 * 64)[2048], 0x00);
}

TEST_F(BoardTest, StuckBitsKeepTheirValue)
{
    Chip &chip = board->install_chip(0, chip_geometry(0x75));
    chip.add_stuck_bit({0, 10, 2, false});
    chip.add_stuck_bit({0, 11, 5, true});
    EXPECT_EQ(chip.read_page(0)[10], 0xFB);
    program_small(0, std::vector<uint8_t>(528, 0x00));
    EXPECT_EQ(chip.read_page(0)[11], 0x20);
    erase_small(0);
    EXPECT_EQ(chip.read_page(0)[10], 0xFB);
    EXPECT_EQ(chip.read_page(0)[11], 0xFF);
}

TEST_F(BoardTest, LostReadyEdgeLeavesTheChipReadyButSilent)
{
    Chip &chip = board->install_chip(0, chip_geometry(0x75));
    chip.lose_ready_edges = 1;
    erase_small(0);
    EXPECT_EQ(ready_interrupts, 0u);
    EXPECT_EQ(io.status(), 0xC0);
    erase_small(0);
    EXPECT_EQ(ready_interrupts, 1u);
}

TEST_F(BoardTest, HangingChipStaysBusy)
{
    Chip &chip = board->install_chip(0, chip_geometry(0x75));
    chip.hang = true;
    erase_small(0);
    hostkernel::advance_us(2000000);
    EXPECT_EQ(io.status(), 0x80);
    EXPECT_EQ(ready_interrupts, 0u);
}

TEST_F(BoardTest, PowerCutTearsTheProgramAndKillsTheChips)
{
    Chip &chip = board->install_chip(0, chip_geometry(0x75));
    board->cut_power_after(2, 0.25);
    program_small(0, std::vector<uint8_t>(528, 0x00));
    program_small(1, std::vector<uint8_t>(528, 0x00));
    EXPECT_FALSE(board->powered());
    std::vector<uint8_t> torn = chip.read_page(1);
    EXPECT_EQ(torn[0], 0x00);
    EXPECT_EQ(torn[131], 0x00);
    EXPECT_EQ(torn[132], 0xFF);
    program_small(2, std::vector<uint8_t>(528, 0x00));
    EXPECT_EQ(chip.read_page(2)[0], 0xFF);
    EXPECT_EQ(io.status() & 0x40, 0);
    board->power_on();
    io.settle();
    EXPECT_EQ(io.status(), 0xC0);
}

TEST_F(BoardTest, PowerCutHalfErasesABlock)
{
    Chip &chip = board->install_chip(0, chip_geometry(0x75));
    for (uint32_t page = 0; page < 32; ++page)
        chip.write_page_raw(page, std::vector<uint8_t>(528, 0x00));
    board->cut_power_after(1);
    erase_small(0);
    EXPECT_EQ(chip.read_page(15)[0], 0xFF);
    EXPECT_EQ(chip.read_page(16)[0], 0x00);
}

TEST_F(BoardTest, RandomBitTearsChangeSomeBitsOfTheWholePageOrBlock)
{
    Chip &chip = board->install_chip(0, chip_geometry(0x75));
    board->cut_power_after(1, 0.5, true, 7);
    program_small(0, std::vector<uint8_t>(528, 0x00));
    std::vector<uint8_t> torn = chip.read_page(0);
    // About half the bits of the page, spread over all of it, not a prefix.
    size_t cleared = 0;
    for (uint8_t byte : torn)
        cleared += 8 - __builtin_popcount(byte);
    EXPECT_GT(cleared, 528u * 8 / 3);
    EXPECT_LT(cleared, 528u * 8 * 2 / 3);
    EXPECT_NE(torn[527], 0xFF);

    board->power_on();
    io.settle();
    for (uint32_t page = 32; page < 64; ++page)
        chip.write_page_raw(page, std::vector<uint8_t>(528, 0x00));
    board->cut_power_after(1, 0.1, true, 9);
    erase_small(32);
    size_t set = 0;
    for (uint32_t page = 32; page < 64; ++page)
        for (uint8_t byte : chip.read_page(page))
            set += __builtin_popcount(byte);
    EXPECT_GT(set, 32u * 528 * 8 / 20);
    EXPECT_LT(set, 32u * 528 * 8 / 5);
    EXPECT_NE(chip.read_page(63)[527], 0x00);
}

// The cut stops the processor (the tear callback) also when it meets a program or erase that fails.
TEST_F(BoardTest, PowerCutOnAFailingOperationStillStopsTheProcessor)
{
    Chip &chip = board->install_chip(0, chip_geometry(0x75));
    chip.transient_program_failures[1] = 1;
    chip.failing_program_blocks.insert(2);
    chip.failing_erase_blocks.insert(3);
    unsigned stops = 0;
    chip.after_tear = [&stops] { ++stops; };
    const std::function<void()> operations[] = {[&] { program_small(32, std::vector<uint8_t>(528, 0x00)); },
                                                [&] { program_small(64, std::vector<uint8_t>(528, 0x00)); },
                                                [&] { erase_small(96); }};
    for (unsigned i = 0; i < 3; ++i) {
        board->power_on();
        io.settle();
        board->cut_power_after(1);
        operations[i]();
        EXPECT_FALSE(board->powered());
        EXPECT_EQ(stops, i + 1) << "operation " << i;
    }
}

TEST_F(BoardTest, TransientProgramFailureFailsOnlyTheNextPrograms)
{
    Chip &chip = board->install_chip(0, chip_geometry(0x75));
    chip.transient_program_failures[1] = 2;
    program_small(32, std::vector<uint8_t>(528, 0x00));
    EXPECT_EQ(io.status(), 0xC1);
    program_small(33, std::vector<uint8_t>(528, 0x00));
    EXPECT_EQ(io.status(), 0xC1);
    EXPECT_TRUE(chip.block_blank(1));
    program_small(33, std::vector<uint8_t>(528, 0x00));
    EXPECT_EQ(io.status(), 0xC0);
    EXPECT_EQ(chip.read_page(33)[0], 0x00);
}

TEST_F(BoardTest, CorvoRegisterShowsReadyLevelsAndTheExtensionMemory)
{
    board.reset();
    board = std::make_unique<Board>(Variant::Corvo);
    Chip &main_chip = board->install_chip(0, chip_geometry(0x75));
    board->register_write(kRegisterFlash, 1);
    EXPECT_EQ(board->register_read(kRegisterFlash) & (kCorvoReadyMain | 1), kCorvoReadyMain | 1);
    board->install_chip(2, chip_geometry(0x75));
    EXPECT_EQ(board->register_read(kRegisterFlash) & (kCorvoReadyXmem | 1), kCorvoReadyXmem);
    main_chip.lose_ready_edges = 1;
    main_chip.command(0xFF);
    EXPECT_EQ(board->register_read(kRegisterFlash) & kCorvoReadyMain, 0);
    hostkernel::advance_us(100);
    EXPECT_FALSE(main_chip.busy());
    EXPECT_EQ(board->register_read(kRegisterFlash) & kCorvoReadyMain, 0);
}

TEST_F(BoardTest, ImageKeepsContentsAndFactoryBadBlocks)
{
    Chip &chip = board->install_chip(0, chip_geometry(0x76));
    board->install_chip(3, chip_geometry(0xF1));
    std::vector<uint8_t> bytes(528);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7);
    chip.write_page_raw(4000 * 32 + 5, bytes);
    chip.mark_factory_bad(9);
    std::string path = ::testing::TempDir() + "nandsim_image_" + std::to_string(::getpid());
    ASSERT_TRUE(board->save_image(path));

    Board other(Variant::PIII);
    ASSERT_TRUE(other.load_image(path));
    ASSERT_NE(other.chip(0), nullptr);
    EXPECT_EQ(other.chip(0)->geometry().id[1], 0x76);
    EXPECT_EQ(other.chip(0)->read_page(4000 * 32 + 5), bytes);
    EXPECT_EQ(other.chip(0)->factory_bad(), std::set<uint32_t>{9});
    EXPECT_EQ(other.chip(1), nullptr);
    ASSERT_NE(other.chip(3), nullptr);
    EXPECT_EQ(other.chip(3)->geometry().page_size, 2048u);
    std::remove(path.c_str());
}

TEST_F(BoardTest, DamagedImageIsRefusedAndChangesNothing)
{
    Chip &chip = board->install_chip(0, chip_geometry(0x75));
    chip.write_page_raw(0, std::vector<uint8_t>(528, 0x11));
    std::string path = ::testing::TempDir() + "nandsim_damaged_" + std::to_string(::getpid());
    ASSERT_TRUE(board->save_image(path));
    ::truncate(path.c_str(), 100);
    EXPECT_FALSE(board->load_image(path));
    EXPECT_EQ(board->chip(0)->read_page(0)[0], 0x11);
    EXPECT_FALSE(board->load_image(path + ".missing"));
    std::remove(path.c_str());
}

} // namespace
} // namespace nandsim
