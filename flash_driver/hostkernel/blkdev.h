// The block layer of 2.4 as the driver uses it: device numbers, the registration of a major with its
// operations, the per-major size tables, the request queue with its requests and buffer heads, the
// end of a request, and the disk geometry call. Requests are built and queued by host.h's block I/O.
#ifndef TESSARO_HOSTKERNEL_BLKDEV_H
#define TESSARO_HOSTKERNEL_BLKDEV_H

#include "hostkernel/kernel.h"

#include <deque>

typedef unsigned short kdev_t;
#define MINORBITS 8
#define MAJOR(dev) ((unsigned int)((dev) >> MINORBITS))
#define MINOR(dev) ((unsigned int)((dev) & 0xFF))
#define MKDEV(major, minor) ((kdev_t)(((major) << MINORBITS) | (minor)))
#define MAX_BLKDEV 255

enum : int {
    READ = 0,
    WRITE = 1,
};

struct inode {
    kdev_t i_rdev;
};
struct file {
    unsigned int f_flags;
};
// What a kernel caller of the discard call passes in place of the inode: a mounted file system.
struct super_block {
    kdev_t s_dev;
};

struct block_device_operations {
    int (*open)(struct inode *inode, struct file *file);
    int (*release)(struct inode *inode, struct file *file);
    int (*ioctl)(struct inode *inode, struct file *file, unsigned int command, unsigned long argument);
};
int register_blkdev(unsigned int major, const char *name, struct block_device_operations *operations);
int unregister_blkdev(unsigned int major, const char *name);

// Per-major tables, indexed by minor: size in KB, block size, hardware sector size; read-ahead.
extern int *blk_size[MAX_BLKDEV];
extern int *blksize_size[MAX_BLKDEV];
extern int *hardsect_size[MAX_BLKDEV];
extern int read_ahead[MAX_BLKDEV];

// One segment of a request: the data of consecutive sectors, locked while the request runs.
enum { BH_Lock = 2 };
struct buffer_head {
    char *b_data;
    unsigned long b_size;
    unsigned long b_state;
    struct buffer_head *b_reqnext;
    void (*b_end_io)(struct buffer_head *bh, int uptodate);
    void *b_private;
};
inline int buffer_locked(const struct buffer_head *bh)
{
    return (bh->b_state >> BH_Lock) & 1;
}

// A request: consecutive sectors of one device, in segments; sector, buffer and current_nr_sectors
// describe the current segment.
struct request {
    int cmd;
    kdev_t rq_dev;
    unsigned long sector;
    unsigned long nr_sectors;
    unsigned long current_nr_sectors;
    char *buffer;
    struct buffer_head *bh;
    void *owner; // the host block layer's record of the request
};

struct request_queue;
typedef struct request_queue request_queue_t;
typedef void(request_fn_proc)(request_queue_t *queue);
struct request_queue {
    std::deque<struct request *> queue_head;
    request_fn_proc *request_fn;
};
request_queue_t *BLK_DEFAULT_QUEUE(unsigned int major);
void blk_init_queue(request_queue_t *queue, request_fn_proc *function);
void blk_cleanup_queue(request_queue_t *queue);
int blk_queue_empty(request_queue_t *queue);
struct request *blk_queue_head(request_queue_t *queue);
void blkdev_dequeue_request(struct request *request);
// Ends the current segment; 1 while the request has more, 0 when it is complete.
int end_that_request_first(struct request *request, int uptodate, const char *name);
void end_that_request_last(struct request *request);
void add_blkdev_randomness(int major);

int fsync_dev(kdev_t dev);
void invalidate_buffers(kdev_t dev);

#define HDIO_GETGEO 0x0301
struct hd_geometry {
    unsigned char heads;
    unsigned char sectors;
    unsigned short cylinders;
    unsigned long start;
};

#endif
