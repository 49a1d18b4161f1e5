// The board-variant hooks of the NAND chip layer: ready wait, address-decoding detection and
// control-signal update of the Corvo and the PIII board, and the ready interrupt they listen to.
#include "services/services.h"

#include "hostkernel/board.h"
#include "media/media.h"
#include "nand/nand_chip.h"

namespace {

// Corvo configuration registers, by byte offset from mmcr_reg.
constexpr unsigned kRegisterChipSelect = 0xC2C;
constexpr unsigned kRegisterFlash = 0xC32;
constexpr uint16_t kFlashLines = 0x0007;
constexpr uint16_t kXmemAbsent = 0x0001;
constexpr uint16_t kReadyDrive0 = 0x0080;
constexpr uint16_t kReadyDrive1 = 0x0010;
constexpr unsigned kCorvoReadyPolls = 100000;

// PIII control port: chip enable (active low), command and address latch.
constexpr uint16_t kPortPIIILines = 0x48C;
constexpr uint32_t kPIIICe = 0x2000000;
constexpr uint32_t kPIIICle = 0x800000;
constexpr uint32_t kPIIIAle = 0x1000000;
constexpr uint32_t kPIIILinesKept = 0xFC7FFFFF;
constexpr uint32_t kPIIILinesBySignals[8] = {
    0,
    kPIIICe,
    kPIIICle,
    kPIIICe | kPIIICle,
    kPIIIAle,
    kPIIICe | kPIIIAle,
    kPIIICle | kPIIIAle,
    kPIIICe | kPIIICle | kPIIIAle,
};

constexpr unsigned long kReadyTimeoutJiffies = 100;
constexpr long kPreemptionSliceUs = 25000;

struct timeval last_yield = {0, 0};
bool yield_due = false;

volatile void *corvo_register(unsigned offset)
{
    return static_cast<volatile char *>(mmcr_reg) + offset;
}

} // namespace

volatile uint8_t NAND_READY = 0;
uint32_t cnt_nand_ready = 0;
uint32_t cnt_intr_ready = 0;
wait_queue_head_t nand_ready_int_wait;
uint16_t Xmem_present = 0;

uint16_t (*NANDReadyWait)() = nullptr;
void (*DecodingDetection)() = nullptr;
void (*UpdateFlashSignals)(uint16_t uState) = nullptr;

void intr_nand_handler(int, void *, struct pt_regs *)
{
    ++cnt_intr_ready;
    NAND_READY = 1;
    wake_up(&nand_ready_int_wait);
}

uint16_t SetBoardHooks()
{
    switch (bvk_machine_id) {
    case BOARD_CORVO:
        NANDReadyWait = corvoNANDReadyWait;
        DecodingDetection = corvoDecodingDetection;
        UpdateFlashSignals = corvoUpdateFlashSignals;
        return 1;
    case BOARD_PIII:
        NANDReadyWait = pIII_NANDReadyWait;
        DecodingDetection = pIII_DecodingDetection;
        UpdateFlashSignals = pIII_UpdateFlashSignals;
        return 1;
    default:
        NANDReadyWait = nullptr;
        DecodingDetection = nullptr;
        UpdateFlashSignals = nullptr;
        return 0;
    }
}

uint16_t tso_preemption()
{
    if (yield_due) {
        do_gettimeofday(&last_yield);
        yield_due = false;
        return 0;
    }
    struct timeval now;
    do_gettimeofday(&now);
    long elapsed = (now.tv_sec - last_yield.tv_sec) * 1000000L + (now.tv_usec - last_yield.tv_usec);
    if (elapsed > kPreemptionSliceUs)
        yield_due = true;
    return yield_due ? 1 : 0;
}

uint16_t corvoNANDReadyWait()
{
    uint16_t ready = uCurrentDrive == 1 ? kReadyDrive1 : kReadyDrive0;
    for (unsigned poll = 0; poll < kCorvoReadyPolls; ++poll) {
        if (readw(corvo_register(kRegisterFlash)) & ready) {
            NAND_READY = 0;
            return 1;
        }
    }
    return 0;
}

void corvoDecodingDetection()
{
    uint16_t chip_select = readw(corvo_register(kRegisterChipSelect));
    writew(chip_select | kFlashLines, corvo_register(kRegisterChipSelect));
    writew(readw(corvo_register(kRegisterFlash)) | kXmemAbsent, corvo_register(kRegisterFlash));
    writew(static_cast<uint16_t>((chip_select & ~kXmemAbsent) | (kFlashLines & ~kXmemAbsent)),
           corvo_register(kRegisterChipSelect));
    outb(0, NAND_PORT_SELECT);
    outb(1, NAND_PORT_CONTROL);
    if (readw(corvo_register(kRegisterFlash)) & kXmemAbsent) {
        writew(readw(corvo_register(kRegisterChipSelect)) | kFlashLines, corvo_register(kRegisterChipSelect));
        Xmem_present = 0;
    } else {
        Xmem_present = 1;
    }
    outb(0, NAND_PORT_CONTROL);
}

void corvoUpdateFlashSignals(uint16_t uState)
{
    uint16_t lines = uState & kFlashLines;
    outb(static_cast<uint8_t>(lines), NAND_PORT_CONTROL);
    // Chip enable is active low in the register.
    uint16_t value = readw(corvo_register(kRegisterFlash));
    writew(static_cast<uint16_t>((value & ~kFlashLines) | (lines ^ FLASH_SIGNAL_CE)), corvo_register(kRegisterFlash));
}

uint16_t pIII_NANDReadyWait()
{
    ++cnt_nand_ready;
    unsigned long start = jiffies;
    while (jiffies - start < kReadyTimeoutJiffies && !NAND_READY) {
        if (tso_preemption())
            break;
    }
    signed long remaining = kReadyTimeoutJiffies;
    while (!NAND_READY && remaining > 0) {
        DECLARE_WAITQUEUE(wait, current);
        add_wait_queue(&nand_ready_int_wait, &wait);
        set_current_state(TASK_UNINTERRUPTIBLE);
        // An interrupt between the test above and joining the queue must not cost a whole sleep.
        if (!NAND_READY)
            remaining = schedule_timeout(remaining);
        set_current_state(TASK_RUNNING);
        remove_wait_queue(&nand_ready_int_wait, &wait);
    }
    uint16_t ready = NAND_READY ? 1 : 0;
    cnt_intr_ready = cnt_nand_ready;
    NAND_READY = 0;
    return ready;
}

void pIII_DecodingDetection()
{
    Xmem_present = 0;
}

void pIII_UpdateFlashSignals(uint16_t uState)
{
    unsigned long flags;
    irq_control[IRQ_CONTROL_SAVE](reinterpret_cast<unsigned long>(&flags));
    uint32_t lines = inl(kPortPIIILines) & kPIIILinesKept;
    lines |= kPIIILinesBySignals[uState & kFlashLines] ^ kPIIICe;
    outl(lines, kPortPIIILines);
    irq_control[IRQ_CONTROL_RESTORE](flags);
}

void HooksResetState()
{
    last_yield = {0, 0};
    yield_due = false;
    NAND_READY = 0;
    cnt_nand_ready = 0;
    cnt_intr_ready = 0;
    Xmem_present = 0;
    NANDReadyWait = nullptr;
    DecodingDetection = nullptr;
    UpdateFlashSignals = nullptr;
}
