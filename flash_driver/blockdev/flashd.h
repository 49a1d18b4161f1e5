// The block device of the driver: module start and end, major 31 "flashdisk" with minor 16 + drive,
// its request function and control calls, the /proc entries, the dump-device hooks, and the one lock
// that serialises them all.
#ifndef TESSARO_BLOCKDEV_FLASHD_H
#define TESSARO_BLOCKDEV_FLASHD_H

#include "hostkernel/blkdev.h"
#include "hostkernel/board.h"
#include "hostkernel/kernel.h"

#include <cstdint>

enum : unsigned {
    FD_MAJOR = 31,
    FD_MINOR_BASE = 16, // minor of drive 0
    FD_IRQ = 9,
    FD_SECTOR_SIZE = 512,
    FD_SECTOR_SHIFT = 9,
    FD_HUGE_SECTORS = 30,
    FD_HUGE_BUFFER = FD_HUGE_SECTORS * FD_SECTOR_SIZE,
    FD_READ_AHEAD = 16,
    FD_STAT_BUCKETS = 32,
    FD_BUSY_MASK = 0x7D00,
};

// Errors of the block device's entry points (negated kernel error numbers).
enum : int {
    FD_EIO = -5,
    FD_ENXIO = -6,
    FD_ENOMEM = -12,
    FD_EFAULT = -14,
    FD_ENODEV = -19,
    FD_EINVAL = -22,
    FD_ENOTTY = -25,
    FD_ENOSPC = -28,
    FD_ESRMNT = -69,
    FD_ENOMEDIUM = -123,
};

// Control calls: HDIO_GETGEO, the kernel callers' discard, and the type 'F' calls.
enum : unsigned {
    FD_IOCTL_DISCARD_KERNEL = 0x00F0,
    FD_IOCTL_TYPE = 0x4600,
    FD_IOCTL_IDENTIFY = 0x4630,
    FD_IOCTL_MOUNT = 0x4631,
    FD_IOCTL_FORMAT = 0x4632,
    FD_IOCTL_VBF_MOUNT = 0x4633,
    FD_IOCTL_READ = 0x4635,
    FD_IOCTL_WRITE = 0x4636,
    FD_IOCTL_DISCARD = 0x4637,
    FD_IOCTL_COLLECT = 0x4638,
    FD_IOCTL_CLIENT_SIZE = 0x4639,
    FD_IOCTL_VBF_STATUS = 0x463A,
    FD_IOCTL_OEM_MOUNT = 0x463B,
    FD_IOCTL_OEM_UNMOUNT = 0x463C,
    FD_IOCTL_POWER_DOWN = 0x463E,
    FD_IOCTL_RAW_READ = 0x463F,
    FD_IOCTL_RAW_WRITE = 0x4640,
    FD_IOCTL_ERASE = 0x4641,
    FD_IOCTL_OEM_STATUS = 0x4642,
    FD_IOCTL_MEDIA_INFO = 0x4643,
    FD_IOCTL_INTERFACE = 0x4644,
    FD_IOCTL_OEM_INIT = 0x4645,
    FD_IOCTL_OEM_UNINIT = 0x4646,
    FD_IOCTL_POOL_SIZE = 0x4647,
    FD_IOCTL_VBF_INIT = 0x4648,
    FD_IOCTL_OEM_DRIVE = 0x4649,
    FD_IOCTL_VBF_DRIVE = 0x464A,
    FD_IOCTL_UNIT_INFO = 0x464B,
    FD_IOCTL_PARTITION_INFO = 0x464C,
    FD_IOCTL_REGION = 0x464D,
    FD_IOCTL_CHANGED = 0x464E,
    FD_IOCTL_USAGE = 0x4650,
    FD_IOCTL_ERASE_COUNTS = 0x4651,
    FD_IOCTL_BBM_STATUS = 0x4652,
    FD_IOCTL_DISCARD_USER = 0x46F0,
};

// Offsets in the control block that every type 'F' call points at.
enum : unsigned {
    CB_WORD0 = 0x000,  // 16-bit: identification mark; entry count (region call)
    CB_WORD1 = 0x002,  // 16-bit: unit count (region call)
    CB_START = 0x004,  // 32-bit
    CB_LENGTH = 0x008, // 32-bit; size to format; first result
    CB_THIRD = 0x00C,  // 32-bit: cushion; second result
    CB_FOURTH = 0x010, // 32-bit: spare units; third result
    CB_VALUE = 0x014,  // 32-bit
    CB_SELECT = 0x018, // 16-bit: access type, drive, region, unit index, counts out
    CB_VALID = 0x01A,  // 16-bit
    CB_INFO = 0x01C,   // up to sixteen 32-bit
    CB_OUT = 0x05C,    // serial in; results out
    CB_DATA = 0x200,
    CB_MEDIA_INFO_SIZE = 36,
    CB_PARTITION_WORDS = 8,
    CB_UNIT_WORDS = 9,
};
enum : uint16_t {
    CB_IDENTIFY_MARK = 0x3322,
    CB_IDENTIFY_VERSION = 0x0400,
};

extern "C" int init_module();
extern "C" void cleanup_module();
int flashd_init();

int fd_open(struct inode *inode, struct file *file);
int fd_release(struct inode *inode, struct file *file);
void fd_request(request_queue_t *queue);
int fd_ioctl(struct inode *inode, struct file *file, unsigned int command, unsigned long argument);

int tso_read_proc(char *page, char **start, long offset, int count, int *eof, void *data);
int tso_write_proc(struct file *file, const char *buffer, unsigned long count, void *data);

int tso_dump_init(struct rawsync_data *data);
int tso_dump_write(struct rawsync_data *data, unsigned int start, unsigned short length, void *buffer);
int tso_dump_end();

extern struct semaphore flash_mutex;
extern int16_t numDrives;
extern uint16_t poolSize;
extern void *pPool;
extern uint8_t huge_buffer[FD_HUGE_BUFFER];
extern uint32_t i_test;
extern uint32_t wr;
extern struct block_device_operations fd_fops;
extern struct rawsync_dev_operations tso_rawsync_dev_operations;
extern struct proc_dir_entry *tso_proc_info_entry;
extern struct proc_dir_entry *tso_proc_entry;

// Statistics: bucket i counts values v with 2^i <= v < 2^(i+1).
extern uint32_t tsostats_readsizes[FD_STAT_BUCKETS];
extern uint32_t tsostats_writsizes[FD_STAT_BUCKETS];
extern uint32_t tsostats_nreq_rd[FD_STAT_BUCKETS];
extern uint32_t tsostats_nreq_wr[FD_STAT_BUCKETS];
extern uint32_t tsostats_nreq_rdwr[FD_STAT_BUCKETS];
extern uint32_t tsostats_nrd;
extern uint32_t tsostats_nwr;
extern uint32_t tsostats_nrdwr;

// The drive of a minor number, or -1 when no drive of this load has it.
int fd_drive(unsigned int minor);
// Selects a drive in the media layer and the translation layer.
void fd_select(uint16_t uDrive);
// The largest piece of one translation-layer call: 127 sectors, or 31 pages of 2048 bytes on
// large-page media (both below the layer's 16-bit lengths).
uint32_t fd_piece();

#endif
