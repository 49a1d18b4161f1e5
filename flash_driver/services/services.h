// The lowest layer of the driver: the hooks through which the media layer reports access and asks the
// board to start and stop, the system-service shims every layer uses, the stub device of a drive
// without flash, and the board-variant hooks of the NAND chip layer (ready wait, address-decoding
// detection, control-signal update) for the Corvo and the PIII board.
#ifndef TESSARO_SERVICES_SERVICES_H
#define TESSARO_SERVICES_SERVICES_H

#include "hostkernel/kernel.h"

#include <cstdint>

// Hooks of the media layer.
uint16_t InitHardware();
void UnInitHardware();
void ShutDownHardware();
void HardwareInterface(uint32_t ulArgument, uint16_t uCode);
void CheckStatus();
uint16_t BeginAccess(uint16_t uKind);
uint16_t EndAccess(uint16_t uKind);

// System services.
void *_sysmalloc(uint32_t ulSize);
void _sysfree(void *pAddress);
uint8_t _sysinp(uint16_t uPort);
uint8_t _sysoutp(uint16_t uPort, uint8_t ucValue);
void _sysputc(char c);
int _sysgetc();

// The stub device: mounts, and fails every read, write and erase.
uint16_t ROMMount();
void ROMUnMount();
uint16_t FailRead(uint32_t ulStart, uint16_t uLength, uint8_t *pBuffer);
uint16_t FailWrite(uint32_t ulStart, uint16_t uLength, const uint8_t *pBuffer);
uint16_t FailErase(uint32_t ulStart, uint32_t ulLength);

// Control-signal states of UpdateFlashSignals: bit 0 chip enable, bit 1 command latch, bit 2 address latch.
enum : uint16_t {
    FLASH_SIGNAL_CE = 0x1,
    FLASH_SIGNAL_CLE = 0x2,
    FLASH_SIGNAL_ALE = 0x4,
    FLASH_DATA = FLASH_SIGNAL_CE,
    FLASH_COMMAND = FLASH_SIGNAL_CE | FLASH_SIGNAL_CLE,
    FLASH_ADDRESS = FLASH_SIGNAL_CE | FLASH_SIGNAL_ALE,
};

// The ready interrupt's flag, counters and wait queue: the interrupt sets the flag and wakes the queue.
extern volatile uint8_t NAND_READY;
extern uint32_t cnt_nand_ready;
extern uint32_t cnt_intr_ready;
extern wait_queue_head_t nand_ready_int_wait;
void intr_nand_handler(int irq, void *dev_id, struct pt_regs *regs);

// 1 when the extension memory (drive 1) answers; set by the address-decoding detection.
extern uint16_t Xmem_present;

// The board-variant hooks, null until the chip detection sets them.
extern uint16_t (*NANDReadyWait)();
extern void (*DecodingDetection)();
extern void (*UpdateFlashSignals)(uint16_t uState);
// Sets the three hooks for bvk_machine_id; 0 (hooks null) on a board variant the driver does not know.
uint16_t SetBoardHooks();

uint16_t corvoNANDReadyWait();
void corvoDecodingDetection();
void corvoUpdateFlashSignals(uint16_t uState);
uint16_t pIII_NANDReadyWait();
void pIII_DecodingDetection();
void pIII_UpdateFlashSignals(uint16_t uState);

// 1 when more than 25 ms of flash work have passed since the last yield; the call after that records
// the yield and returns 0.
uint16_t tso_preemption();

// The hooks' state as at load: no hooks set, ready flag and counters clear, no yield recorded.
void HooksResetState();

#endif
