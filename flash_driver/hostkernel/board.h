// The board kernel's own exports that the driver imports.
#ifndef TESSARO_HOSTKERNEL_BOARD_H
#define TESSARO_HOSTKERNEL_BOARD_H

enum : int {
    BOARD_CORVO = 0x67,
    BOARD_PIII = 0x92,
};
// Board variant.
extern int bvk_machine_id;
// Base of the Corvo board's memory-mapped configuration registers (16-bit, by byte offset).
extern void *mmcr_reg;

// The interrupt-control table. The driver calls the fourth entry at the start of a block request, the
// fifth with the address of a flags word (save and disable) and the sixth with that word (restore).
typedef void (*irq_control_fn)(unsigned long arg);
enum {
    IRQ_CONTROL_REQUEST = 3,
    IRQ_CONTROL_SAVE = 4,
    IRQ_CONTROL_RESTORE = 5,
    IRQ_CONTROL_ENTRIES = 8,
};
extern irq_control_fn irq_control[IRQ_CONTROL_ENTRIES];

// The synchronous dump device: after a crash the board kernel writes its dump through these hooks,
// init once, write for each piece, end once.
struct rawsync_data {
    unsigned short rawsync_dev; // the device the dump goes to
    void *hook;                 // the board kernel's dump context
};
struct rawsync_dev_operations {
    int (*init)(struct rawsync_data *data);
    int (*write)(struct rawsync_data *data, unsigned int start, unsigned short length, void *buffer);
    int (*end)(void);
    unsigned int major;
};
int register_rawsync_dev(struct rawsync_dev_operations *operations);
void unregister_rawsync_dev(struct rawsync_dev_operations *operations);

#endif
