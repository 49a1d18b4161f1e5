// Hooks, services, stub device and the board-variant hooks, over the simulated board.
#include "services/services.h"

#include "hostkernel/board.h"
#include "nandsim/fixture.h"

namespace {

using hostkernel::Access;
using hostkernel::TraceEntry;
using nandsim::Variant;

uint16_t flash_register()
{
    return readw(static_cast<char *>(mmcr_reg) + nandsim::kRegisterFlash);
}

class HooksTest : public nandsim::DriverTest {};

TEST_F(HooksTest, AccessBitsMarkBusyAndIdle)
{
    lpThisMedia->uStatus = 0x0200;
    EXPECT_EQ(BeginAccess(0), 0x0600);
    EXPECT_EQ(BeginAccess(2), 0x1600);
    EXPECT_EQ(EndAccess(0), 0x9200);
    EXPECT_EQ(EndAccess(2), 0x8200);
    EXPECT_EQ(BeginAccess(1), 0x0A00);
    EXPECT_EQ(EndAccess(1), 0x8200);
    EXPECT_EQ(BeginAccess(3), 0x8200);
    EXPECT_EQ(EndAccess(7), 0x8200);
}

TEST_F(HooksTest, MediaHooksAndStubDevice)
{
    lpThisMedia->bChanged = 1;
    CheckStatus();
    EXPECT_EQ(lpThisMedia->bChanged, 0);
    EXPECT_EQ(InitHardware(), 1);
    uint8_t buffer[16] = {};
    EXPECT_EQ(ROMMount(), 1);
    EXPECT_EQ(FailRead(0, 16, buffer), 0);
    EXPECT_EQ(FailWrite(0, 16, buffer), 0);
    EXPECT_EQ(FailErase(0, 0x4000), 0);
}

TEST_F(HooksTest, SystemServices)
{
    void *memory = _sysmalloc(2048);
    ASSERT_NE(memory, nullptr);
    _sysfree(memory);
    hostkernel::fail_allocations_after(0);
    EXPECT_EQ(_sysmalloc(2048), nullptr);
    hostkernel::fail_allocations_after(-1);
    EXPECT_EQ(hostkernel::live_allocations(), 0);

    _sysputc('x');
    _sysputc('\n');
    EXPECT_EQ(hostkernel::log_text(), "x\n");
    EXPECT_EQ(_sysgetc(), 0);

    hostkernel::set_tracing(true);
    EXPECT_EQ(_sysoutp(0x400, 3), 3);
    _sysinp(0x402);
    EXPECT_EQ(hostkernel::trace().front(), (TraceEntry{Access::Out8, 0x400, 3}));
    EXPECT_EQ(hostkernel::trace().back().access, Access::In8);
}

TEST_F(HooksTest, UnknownBoardSetsNoHooks)
{
    bvk_machine_id = 0x55;
    EXPECT_EQ(SetBoardHooks(), 0);
    EXPECT_EQ(NANDReadyWait, nullptr);
    EXPECT_EQ(UpdateFlashSignals, nullptr);
    bvk_machine_id = BOARD_CORVO;
    EXPECT_EQ(SetBoardHooks(), 1);
    EXPECT_EQ(NANDReadyWait, corvoNANDReadyWait);
    EXPECT_EQ(DecodingDetection, corvoDecodingDetection);
    EXPECT_EQ(UpdateFlashSignals, corvoUpdateFlashSignals);
    bvk_machine_id = BOARD_PIII;
    EXPECT_EQ(SetBoardHooks(), 1);
    EXPECT_EQ(NANDReadyWait, pIII_NANDReadyWait);
}

TEST_F(HooksTest, CorvoSignalsGoToThePortAndTheRegisterWithChipEnableLow)
{
    use_board(Variant::Corvo);
    board->register_write(nandsim::kRegisterFlash, 0xFF00);
    hostkernel::set_tracing(true);
    corvoUpdateFlashSignals(3);
    EXPECT_EQ(hostkernel::trace().front(), (TraceEntry{Access::Out8, 0x401, 3}));
    EXPECT_EQ(board->register_value(nandsim::kRegisterFlash), 0xFF02);
    corvoUpdateFlashSignals(5 | 8);
    EXPECT_EQ(board->register_value(nandsim::kRegisterFlash), 0xFF04);
    corvoUpdateFlashSignals(0);
    EXPECT_EQ(board->register_value(nandsim::kRegisterFlash), 0xFF01);
}

TEST_F(HooksTest, PIIISignalsKeepTheOtherBitsInsideTheInterruptBracket)
{
    uint32_t others = board->piii_lines() & ~0x03800000u;
    hostkernel::set_tracing(true);
    pIII_UpdateFlashSignals(1);
    EXPECT_EQ(board->piii_lines(), others);
    const auto &trace = hostkernel::trace();
    ASSERT_EQ(trace.size(), 4u);
    EXPECT_EQ(trace[0].access, Access::IrqControl);
    EXPECT_EQ(trace[0].where, IRQ_CONTROL_SAVE);
    EXPECT_EQ(trace[1].access, Access::In32);
    EXPECT_EQ(trace[2], (TraceEntry{Access::Out32, 0x48C, others}));
    EXPECT_EQ(trace[3].where, IRQ_CONTROL_RESTORE);
    EXPECT_TRUE(hostkernel::interrupts_enabled());

    pIII_UpdateFlashSignals(0);
    EXPECT_EQ(board->piii_lines(), others | 0x2000000);
    pIII_UpdateFlashSignals(3);
    EXPECT_EQ(board->piii_lines(), others | 0x800000);
    pIII_UpdateFlashSignals(5);
    EXPECT_EQ(board->piii_lines(), others | 0x1000000);
}

TEST_F(HooksTest, CorvoDetectionFindsTheExtensionMemory)
{
    use_board(Variant::Corvo);
    install(2, 0x75);
    board->register_write(nandsim::kRegisterChipSelect, 0x1230);
    corvoDecodingDetection();
    EXPECT_EQ(Xmem_present, 1);
    EXPECT_EQ(board->register_value(nandsim::kRegisterChipSelect), 0x1236);

    use_board(Variant::Corvo);
    board->register_write(nandsim::kRegisterChipSelect, 0x1230);
    hostkernel::set_tracing(true);
    corvoDecodingDetection();
    EXPECT_EQ(Xmem_present, 0);
    EXPECT_EQ(board->register_value(nandsim::kRegisterChipSelect), 0x1237);
    EXPECT_EQ(hostkernel::trace().back(), (TraceEntry{Access::Out8, 0x401, 0}));

    Xmem_present = 1;
    pIII_DecodingDetection();
    EXPECT_EQ(Xmem_present, 0);
}

TEST_F(HooksTest, PreemptionIsDueAfterASliceAndResetsOnTheNextCall)
{
    while (!tso_preemption())
        hostkernel::advance_us(1000);
    EXPECT_EQ(tso_preemption(), 0); // the yield is now
    hostkernel::advance_us(24998);
    EXPECT_EQ(tso_preemption(), 0); // 24999 us since the yield (reading the time costs 1 us)
    EXPECT_EQ(tso_preemption(), 0); // 25000 us
    EXPECT_EQ(tso_preemption(), 1); // 25001 us
    EXPECT_EQ(tso_preemption(), 0); // the call after that yields
}

class ReadyWaitTest : public HooksTest {
protected:
    void SetUp() override
    {
        HooksTest::SetUp();
        // Start each wait with a fresh slice of busy polling.
        while (!tso_preemption())
            hostkernel::advance_us(1000);
        tso_preemption();
        start = hostkernel::now_us();
    }
    void ready_at(uint64_t after_us)
    {
        hostkernel::schedule_at(start + after_us, [] { hostkernel::raise_irq(nandsim::kReadyIrq); });
    }
    uint64_t elapsed() const { return hostkernel::now_us() - start; }
    uint64_t start = 0;
};

TEST_F(ReadyWaitTest, PIIIReadyAlreadySignalled)
{
    NAND_READY = 1;
    uint32_t calls = cnt_nand_ready;
    EXPECT_EQ(pIII_NANDReadyWait(), 1);
    EXPECT_EQ(NAND_READY, 0);
    EXPECT_LT(elapsed(), 10u);
    EXPECT_EQ(cnt_nand_ready, calls + 1);
    EXPECT_EQ(cnt_intr_ready, cnt_nand_ready);
}

TEST_F(ReadyWaitTest, PIIIReadyWhileBusyPolling)
{
    ready_at(300);
    EXPECT_EQ(pIII_NANDReadyWait(), 1);
    EXPECT_EQ(NAND_READY, 0);
    EXPECT_LT(elapsed(), 400u);
}

TEST_F(ReadyWaitTest, PIIIReadyWhileSleeping)
{
    ready_at(200000);
    EXPECT_EQ(pIII_NANDReadyWait(), 1);
    EXPECT_EQ(elapsed(), 200000u);
    EXPECT_TRUE(nand_ready_int_wait.waiters.empty());
}

TEST_F(ReadyWaitTest, PIIINoInterruptTimesOutAfterAHundredJiffies)
{
    EXPECT_EQ(pIII_NANDReadyWait(), 0);
    EXPECT_GE(elapsed(), 100 * hostkernel::kUsPerJiffy);
    EXPECT_LT(elapsed(), 103 * hostkernel::kUsPerJiffy);
    EXPECT_EQ(NAND_READY, 0);
}

TEST_F(ReadyWaitTest, PIIILostEdgeTimesOutThoughTheChipIsReady)
{
    nandsim::Chip &chip = install(0, 0x75);
    chip.lose_ready_edges = 1;
    chip.command(0xFF);
    EXPECT_EQ(pIII_NANDReadyWait(), 0);
    EXPECT_FALSE(chip.busy());
    chip.command(0xFF);
    EXPECT_EQ(pIII_NANDReadyWait(), 1);
}

TEST_F(ReadyWaitTest, CorvoPollsTheDrivesReadyBit)
{
    use_board(Variant::Corvo);
    nandsim::Chip &main_chip = install(0, 0x75);
    nandsim::Chip &xmem_chip = install(1, 0x75);
    NAND_READY = 1;
    EXPECT_EQ(corvoNANDReadyWait(), 1);
    EXPECT_EQ(NAND_READY, 0);

    main_chip.command(0x60);
    main_chip.command(0xFF); // busy for a few microseconds
    uint64_t before = hostkernel::now_us();
    EXPECT_EQ(corvoNANDReadyWait(), 1);
    EXPECT_LT(hostkernel::now_us() - before, 20u);

    xmem_chip.hang = true;
    xmem_chip.command(0xFF);
    EXPECT_EQ(corvoNANDReadyWait(), 1); // drive 0 looks at its own chip only
    select_drive(1);
    hostkernel::set_tracing(true);
    EXPECT_EQ(corvoNANDReadyWait(), 0);
    EXPECT_EQ(hostkernel::trace().size(), 100000u);
    EXPECT_EQ(flash_register() & nandsim::kCorvoReadyXmem, 0);
}

} // namespace
