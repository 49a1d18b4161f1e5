// Module start and end, and the block device of major 31: open, release and the request function.
#include "blockdev/flashd.h"

#include "ftl/vbf.h"
#include "media/media.h"
#include "services/services.h"

#include <cstring>

namespace {

const char kDeviceName[] = "flashdisk";
const char kIrqName[] = "NAND flash";
constexpr unsigned kProcMode = 0644;
constexpr uint32_t kSmallPiece = 127 * 512;
constexpr uint32_t kLargePiece = 31 * 2048;

int *fd_sizes = nullptr;
int *fd_blksizes = nullptr;
int *fd_hardsizes = nullptr;

unsigned log2_bucket(uint32_t ulValue)
{
    unsigned bucket = 0;
    while (ulValue >>= 1)
        bucket++;
    return bucket;
}

void count_size(uint32_t *stats, uint32_t ulBytes)
{
    if (ulBytes)
        stats[log2_bucket(ulBytes)]++;
}

void free_tables()
{
    kfree(fd_sizes);
    kfree(fd_blksizes);
    kfree(fd_hardsizes);
    fd_sizes = fd_blksizes = fd_hardsizes = nullptr;
    blk_size[FD_MAJOR] = blksize_size[FD_MAJOR] = hardsect_size[FD_MAJOR] = nullptr;
    read_ahead[FD_MAJOR] = 0;
}

void remove_proc_entries()
{
    remove_proc_entry("tso_data", nullptr);
    remove_proc_entry("tso_infos", nullptr);
    tso_proc_entry = tso_proc_info_entry = nullptr;
}

// One segment of a request, with flash_mutex held and the drive selected; true when it succeeded.
bool transfer_segment(struct request *req)
{
    const uint64_t ullStart = static_cast<uint64_t>(req->sector) << FD_SECTOR_SHIFT;
    const uint32_t ulLength = static_cast<uint32_t>(req->current_nr_sectors << FD_SECTOR_SHIFT);
    if (ullStart + ulLength > 0xFFFFFFFFULL) {
        printk("TESSARO: Invalid I/O request\n");
        return false;
    }
    uint32_t ulStart = static_cast<uint32_t>(ullStart);
    const uint32_t ulPiece = fd_piece();
    if (req->cmd == READ) {
        count_size(tsostats_readsizes, ulLength);
        auto *pBuffer = reinterpret_cast<uint8_t *>(req->buffer);
        for (uint32_t ulDone = 0; ulDone < ulLength;) {
            const uint32_t ulCount = ulLength - ulDone < ulPiece ? ulLength - ulDone : ulPiece;
            if (!vbfread(ulStart + ulDone, static_cast<uint16_t>(ulCount), pBuffer + ulDone)) {
                printk("TESSARO: read failure start=0x%08lX length=%ld\n", static_cast<unsigned long>(ulStart),
                       static_cast<long>(ulLength));
                return false;
            }
            ulDone += ulCount;
        }
        return true;
    }
    count_size(tsostats_writsizes, ulLength);
    if (req->current_nr_sectors > FD_HUGE_SECTORS) {
        printk("TESSARO: Invalid I/O request\n");
        return false;
    }
    std::memcpy(huge_buffer, req->buffer, ulLength);
    i_test = ulLength;
    wr = static_cast<uint32_t>(req->current_nr_sectors);
    for (uint32_t ulDone = 0; ulDone < ulLength;) {
        const uint32_t ulCount = ulLength - ulDone < ulPiece ? ulLength - ulDone : ulPiece;
        if (!vbfwrite(ulStart + ulDone, static_cast<uint16_t>(ulCount), huge_buffer + ulDone)) {
            printk("TESSARO: write failure (start=0x%08lX,length=%ld)\n", static_cast<unsigned long>(ulStart),
                   static_cast<long>(ulLength));
            return false;
        }
        ulDone += ulCount;
    }
    return true;
}

} // namespace

struct semaphore flash_mutex;
int16_t numDrives = 0;
uint16_t poolSize = 0;
void *pPool = nullptr;
uint8_t huge_buffer[FD_HUGE_BUFFER];
uint32_t i_test = 0;
uint32_t wr = 0;
struct proc_dir_entry *tso_proc_info_entry = nullptr;
struct proc_dir_entry *tso_proc_entry = nullptr;

uint32_t tsostats_readsizes[FD_STAT_BUCKETS];
uint32_t tsostats_writsizes[FD_STAT_BUCKETS];
uint32_t tsostats_nreq_rd[FD_STAT_BUCKETS];
uint32_t tsostats_nreq_wr[FD_STAT_BUCKETS];
uint32_t tsostats_nreq_rdwr[FD_STAT_BUCKETS];
uint32_t tsostats_nrd = 0;
uint32_t tsostats_nwr = 0;
uint32_t tsostats_nrdwr = 0;

struct block_device_operations fd_fops = {fd_open, fd_release, fd_ioctl};
struct rawsync_dev_operations tso_rawsync_dev_operations = {tso_dump_init, tso_dump_write, tso_dump_end, FD_MAJOR};

int fd_drive(unsigned int minor)
{
    if (minor < FD_MINOR_BASE || minor - FD_MINOR_BASE >= static_cast<unsigned>(numDrives < 0 ? 0 : numDrives))
        return -1;
    return static_cast<int>(minor - FD_MINOR_BASE);
}

void fd_select(uint16_t uDrive)
{
    oemsetcurrentdrive(uDrive);
    vbfsetcurrentdrive(uDrive);
}

uint32_t fd_piece()
{
    return lpThisMedia->bLLMode ? kLargePiece : kSmallPiece;
}

extern "C" int init_module()
{
    // Every layer starts as at load, whatever an earlier load of this process left.
    vbfreset();
    std::memset(tsostats_readsizes, 0, sizeof tsostats_readsizes);
    std::memset(tsostats_writsizes, 0, sizeof tsostats_writsizes);
    std::memset(tsostats_nreq_rd, 0, sizeof tsostats_nreq_rd);
    std::memset(tsostats_nreq_wr, 0, sizeof tsostats_nreq_wr);
    std::memset(tsostats_nreq_rdwr, 0, sizeof tsostats_nreq_rdwr);
    tsostats_nrd = tsostats_nwr = tsostats_nrdwr = 0;
    i_test = wr = 0;
    numDrives = 0;

    cnt_nand_ready = 0;
    cnt_intr_ready = 0;
    NAND_READY = 0;
    int iResult = request_irq(FD_IRQ, intr_nand_handler, SA_INTERRUPT, kIrqName, nullptr);
    if (iResult) {
        printk("Flash Driver cannot get IRQ %d (%d)\n", FD_IRQ, iResult);
        return iResult;
    }
    iResult = flashd_init();
    if (iResult) {
        free_irq(FD_IRQ, nullptr);
        return iResult;
    }
    register_rawsync_dev(&tso_rawsync_dev_operations);
    return 0;
}

int flashd_init()
{
    tso_proc_info_entry = create_proc_entry("tso_infos", kProcMode, nullptr);
    if (!tso_proc_info_entry) {
        printk("<4>tso: cannot create tso proc entry\n");
        return -1;
    }
    tso_proc_info_entry->read_proc = tso_read_proc;
    tso_proc_entry = create_proc_entry("tso_data", kProcMode, nullptr);
    if (!tso_proc_entry) {
        printk("<4>[Flash NAND proc] Cannot create tso proc entry\n");
        remove_proc_entries();
        return -1;
    }
    tso_proc_entry->write_proc = tso_write_proc;
    sema_init(&flash_mutex, 1);
    int iResult = register_blkdev(FD_MAJOR, kDeviceName, &fd_fops);
    if (iResult) {
        printk("TESSARO: Could not get major %d\n", FD_MAJOR);
        remove_proc_entries();
        return iResult;
    }
    blk_init_queue(BLK_DEFAULT_QUEUE(FD_MAJOR), fd_request);

    bool bMediaUp = false;
    uint16_t uDrives = 0;
    if (!oeminit(0, &uDrives)) {
        printk("TESSARO: OEM initialization failed\n");
        iResult = FD_EIO;
    } else {
        bMediaUp = true;
        numDrives = static_cast<int16_t>(uDrives);
        if (numDrives == 0) {
            printk("TESSARO: no drives available\n");
            iResult = FD_ENODEV;
        }
    }
    // The block layer indexes the tables by any minor of the major, so they have one entry per minor.
    const size_t entries = size_t{1} << MINORBITS;
    if (iResult == 0) {
        fd_sizes = static_cast<int *>(kmalloc(entries * sizeof(int), GFP_KERNEL));
        fd_blksizes = fd_sizes ? static_cast<int *>(kmalloc(entries * sizeof(int), GFP_KERNEL)) : nullptr;
        fd_hardsizes = fd_blksizes ? static_cast<int *>(kmalloc(entries * sizeof(int), GFP_KERNEL)) : nullptr;
        if (!fd_hardsizes)
            iResult = FD_ENOMEM;
    }
    if (iResult == 0) {
        std::memset(fd_sizes, 0, entries * sizeof(int));
        std::memset(fd_blksizes, 0, entries * sizeof(int));
        std::memset(fd_hardsizes, 0, entries * sizeof(int));
        for (int16_t iDrive = 0; iDrive < numDrives && iResult == 0; iDrive++) {
            fd_select(static_cast<uint16_t>(iDrive));
            OemMediaInfo info;
            oemmediainfo(&info);
            if (info.ulMediaSize == 0) {
                printk("TESSARO: no media in drive %d\n", iDrive);
                iResult = FD_ENOMEDIUM;
                break;
            }
            fd_sizes[FD_MINOR_BASE + iDrive] = static_cast<int>(info.ulMediaSize / 1024);
            fd_blksizes[FD_MINOR_BASE + iDrive] = FD_SECTOR_SIZE;
            fd_hardsizes[FD_MINOR_BASE + iDrive] = FD_SECTOR_SIZE;
        }
    }
    if (iResult == 0) {
        blk_size[FD_MAJOR] = fd_sizes;
        blksize_size[FD_MAJOR] = fd_blksizes;
        hardsect_size[FD_MAJOR] = fd_hardsizes;
        read_ahead[FD_MAJOR] = FD_READ_AHEAD;
        poolSize = vbfpoolsize();
        pPool = poolSize ? _sysmalloc(poolSize) : nullptr;
        if (poolSize && !pPool) {
            iResult = FD_ENOMEM;
        } else {
            vbfinit();
            return 0;
        }
    }
    free_tables();
    if (bMediaUp)
        oemuninit();
    numDrives = 0;
    unregister_blkdev(FD_MAJOR, kDeviceName);
    blk_cleanup_queue(BLK_DEFAULT_QUEUE(FD_MAJOR));
    remove_proc_entries();
    return iResult;
}

extern "C" void cleanup_module()
{
    remove_proc_entries();
    unregister_rawsync_dev(&tso_rawsync_dev_operations);
    for (int16_t iDrive = 0; iDrive < numDrives; iDrive++) {
        invalidate_buffers(MKDEV(FD_MAJOR, FD_MINOR_BASE + iDrive));
        oemsetcurrentdrive(static_cast<uint16_t>(iDrive));
        oemunmount();
    }
    oemuninit();
    free_irq(FD_IRQ, nullptr);
    unregister_blkdev(FD_MAJOR, kDeviceName);
    free_tables();
    blk_cleanup_queue(BLK_DEFAULT_QUEUE(FD_MAJOR));
    _sysfree(pPool);
    pPool = nullptr;
    poolSize = 0;
    numDrives = 0;
    // Nothing of this load stays behind for the next one.
    vbfreset();
}

int fd_open(struct inode *inode, struct file *)
{
    if (!inode || fd_drive(MINOR(inode->i_rdev)) < 0)
        return FD_ENXIO;
    return 0;
}

int fd_release(struct inode *inode, struct file *)
{
    if (inode) {
        fsync_dev(inode->i_rdev);
        invalidate_buffers(inode->i_rdev);
    }
    return 0;
}

void fd_request(request_queue_t *queue)
{
    irq_control[IRQ_CONTROL_REQUEST](0);
    down(&flash_mutex);
    up(&flash_mutex);
    for (;;) {
        if (blk_queue_empty(queue)) {
            if (tsostats_nrd)
                tsostats_nreq_rd[log2_bucket(tsostats_nrd)]++;
            if (tsostats_nwr)
                tsostats_nreq_wr[log2_bucket(tsostats_nwr)]++;
            if (tsostats_nrdwr)
                tsostats_nreq_rdwr[log2_bucket(tsostats_nrdwr)]++;
            tsostats_nrd = tsostats_nwr = tsostats_nrdwr = 0;
            return;
        }
        struct request *req = blk_queue_head(queue);
        if (MAJOR(req->rq_dev) != FD_MAJOR)
            panic("%s: request list destroyed", kDeviceName);
        if (req->bh && !buffer_locked(req->bh))
            panic("%s: block not locked", kDeviceName);

        down(&flash_mutex);
        bool bUptodate = false;
        const int iDrive = fd_drive(MINOR(req->rq_dev));
        if (iDrive < 0) {
            printk("TESSARO: invalid drive number\n");
        } else {
            if (current->need_resched) {
                set_current_state(TASK_INTERRUPTIBLE);
                schedule_timeout(0);
            }
            fd_select(static_cast<uint16_t>(iDrive));
            const uint16_t uStatus = oemstatus();
            if (uStatus & FD_BUSY_MASK) {
                printk("TESSARO: OEM layer busy 0x%x\n", uStatus);
            } else if (req->cmd != READ && req->cmd != WRITE) {
                printk("TESSARO: I/O cmd=UNKNOW!!!\n");
            } else {
                if (req->cmd == READ)
                    tsostats_nrd++;
                else
                    tsostats_nwr++;
                tsostats_nrdwr++;
                bUptodate = transfer_segment(req);
            }
        }
        unsigned long flags = 0;
        irq_control[IRQ_CONTROL_SAVE](reinterpret_cast<unsigned long>(&flags));
        if (!end_that_request_first(req, bUptodate ? 1 : 0, kDeviceName)) {
            add_blkdev_randomness(FD_MAJOR);
            blkdev_dequeue_request(req);
            end_that_request_last(req);
        }
        irq_control[IRQ_CONTROL_RESTORE](flags);
        up(&flash_mutex);
    }
}
