// The block layer of the host kernel layer: majors and their operations, the size tables, request
// queues, requests built from a process's buffers, the end of requests, and the buffer cache's calls.
#include "hostkernel/blkdev.h"
#include "hostkernel/host.h"
#include "hostkernel/internal.h"

#include <memory>
#include <set>

namespace {

constexpr int kNoDevice = -19; // -ENODEV
constexpr int kBusy = -16;     // -EBUSY
constexpr int kInvalid = -22;  // -EINVAL
constexpr int kIoError = -5;   // -EIO
constexpr unsigned kSectorShift = 9;

struct Major {
    std::string name;
    block_device_operations *operations = nullptr;
};
Major majors[MAX_BLKDEV];
request_queue_t queues[MAX_BLKDEV];
std::string buffer_calls;

// A queued request with its segments, as the block layer owns it until the driver ends it.
struct HostRequest {
    struct request request = {};
    std::vector<buffer_head> segments;
    std::shared_ptr<hostkernel::BlockIo> io;
};
std::set<HostRequest *> live_requests;

void segment_ended(buffer_head *bh, int uptodate)
{
    auto *owner = static_cast<HostRequest *>(bh->b_private);
    owner->io->segments_uptodate[static_cast<size_t>(bh - owner->segments.data())] = uptodate ? 1 : 0;
    bh->b_state &= ~(1UL << BH_Lock);
}

void finish(HostRequest *owner)
{
    owner->io->complete = true;
    live_requests.erase(owner);
    delete owner;
}

std::string device_text(kdev_t dev)
{
    return std::to_string(MAJOR(dev)) + ":" + std::to_string(MINOR(dev));
}

// Size of a device in sectors from its major's table, or -1 when the major keeps none or gives the
// device no size.
long long device_sectors(kdev_t dev)
{
    const int *sizes = blk_size[MAJOR(dev)];
    if (!sizes || sizes[MINOR(dev)] <= 0)
        return -1;
    return static_cast<long long>(sizes[MINOR(dev)]) * 2;
}

} // namespace

int *blk_size[MAX_BLKDEV];
int *blksize_size[MAX_BLKDEV];
int *hardsect_size[MAX_BLKDEV];
int read_ahead[MAX_BLKDEV];

int register_blkdev(unsigned int major, const char *name, struct block_device_operations *operations)
{
    if (major == 0 || major >= MAX_BLKDEV || !operations)
        return kInvalid;
    if (majors[major].operations)
        return kBusy;
    majors[major] = {name ? name : "", operations};
    return 0;
}

int unregister_blkdev(unsigned int major, const char *name)
{
    if (major >= MAX_BLKDEV || !majors[major].operations || !name || majors[major].name != name)
        return kInvalid;
    majors[major] = {};
    return 0;
}

request_queue_t *BLK_DEFAULT_QUEUE(unsigned int major)
{
    return major < MAX_BLKDEV ? &queues[major] : nullptr;
}

void blk_init_queue(request_queue_t *queue, request_fn_proc *function)
{
    queue->queue_head.clear();
    queue->request_fn = function;
}

// Requests still queued end with an error, as on a device that goes away.
void blk_cleanup_queue(request_queue_t *queue)
{
    while (!queue->queue_head.empty()) {
        struct request *request = queue->queue_head.front();
        queue->queue_head.pop_front();
        finish(static_cast<HostRequest *>(request->owner));
    }
    queue->request_fn = nullptr;
}

int blk_queue_empty(request_queue_t *queue)
{
    return queue->queue_head.empty() ? 1 : 0;
}

struct request *blk_queue_head(request_queue_t *queue)
{
    return queue->queue_head.empty() ? nullptr : queue->queue_head.front();
}

void blkdev_dequeue_request(struct request *request)
{
    for (request_queue_t &queue : queues) {
        auto &head = queue.queue_head;
        for (auto it = head.begin(); it != head.end(); ++it) {
            if (*it == request) {
                head.erase(it);
                return;
            }
        }
    }
}

int end_that_request_first(struct request *request, int uptodate, const char *name)
{
    if (!uptodate)
        printk("end_request: I/O error, dev %s (%s), sector %lu\n", device_text(request->rq_dev).c_str(), name,
               request->sector);
    buffer_head *bh = request->bh;
    if (!bh)
        return 0;
    request->bh = bh->b_reqnext;
    bh->b_reqnext = nullptr;
    const unsigned long sectors = bh->b_size >> kSectorShift;
    bh->b_end_io(bh, uptodate);
    request->sector += sectors;
    request->nr_sectors = request->nr_sectors > sectors ? request->nr_sectors - sectors : 0;
    if (!request->bh)
        return 0;
    request->current_nr_sectors = request->bh->b_size >> kSectorShift;
    request->buffer = request->bh->b_data;
    return 1;
}

void end_that_request_last(struct request *request)
{
    finish(static_cast<HostRequest *>(request->owner));
}

void add_blkdev_randomness(int)
{
}

int fsync_dev(kdev_t dev)
{
    buffer_calls += "fsync " + device_text(dev) + "\n";
    return 0;
}

void invalidate_buffers(kdev_t dev)
{
    buffer_calls += "invalidate " + device_text(dev) + "\n";
}

namespace hostkernel {

bool BlockIo::ok() const
{
    if (!complete)
        return false;
    for (int uptodate : segments_uptodate)
        if (uptodate != 1)
            return false;
    return true;
}

std::string blkdev_name(unsigned int major)
{
    return major < MAX_BLKDEV ? majors[major].name : std::string();
}

int blkdev_open(unsigned short dev)
{
    block_device_operations *operations = majors[MAJOR(dev)].operations;
    if (!operations || !operations->open)
        return kNoDevice;
    struct inode node = {dev};
    struct file handle = {0};
    return operations->open(&node, &handle);
}

int blkdev_release(unsigned short dev)
{
    block_device_operations *operations = majors[MAJOR(dev)].operations;
    if (!operations || !operations->release)
        return kNoDevice;
    struct inode node = {dev};
    struct file handle = {0};
    return operations->release(&node, &handle);
}

int blkdev_ioctl(unsigned short dev, unsigned int command, void *argument)
{
    block_device_operations *operations = majors[MAJOR(dev)].operations;
    if (!operations || !operations->ioctl)
        return kNoDevice;
    struct inode node = {dev};
    struct file handle = {0};
    return operations->ioctl(&node, &handle, command, reinterpret_cast<unsigned long>(argument));
}

std::string buffer_log()
{
    return buffer_calls;
}

std::shared_ptr<BlockIo> queue_block_io(unsigned short dev, int command, unsigned long sector, uint8_t *data,
                                        unsigned long sectors, unsigned long segment_sectors)
{
    auto io = std::make_shared<BlockIo>();
    request_queue_t &queue = queues[MAJOR(dev)];
    const long long size = device_sectors(dev);
    if (!queue.request_fn || sectors == 0 || segment_sectors == 0 ||
        (size >= 0 && static_cast<long long>(sector + sectors) > size)) {
        if (queue.request_fn && sectors != 0)
            printk("attempt to access beyond end of device\n");
        io->segments_uptodate.assign(1, 0);
        io->complete = true;
        return io;
    }
    auto *owner = new HostRequest;
    owner->io = io;
    for (unsigned long done = 0; done < sectors; done += segment_sectors) {
        const unsigned long count = std::min(segment_sectors, sectors - done);
        buffer_head bh = {};
        bh.b_data = reinterpret_cast<char *>(data + (done << kSectorShift));
        bh.b_size = count << kSectorShift;
        bh.b_state = 1UL << BH_Lock;
        bh.b_end_io = segment_ended;
        bh.b_private = owner;
        owner->segments.push_back(bh);
    }
    for (size_t i = 0; i + 1 < owner->segments.size(); ++i)
        owner->segments[i].b_reqnext = &owner->segments[i + 1];
    io->segments_uptodate.assign(owner->segments.size(), -1);
    struct request &request = owner->request;
    request.cmd = command;
    request.rq_dev = dev;
    request.sector = sector;
    request.nr_sectors = sectors;
    request.bh = owner->segments.data();
    request.current_nr_sectors = request.bh->b_size >> kSectorShift;
    request.buffer = request.bh->b_data;
    request.owner = owner;
    live_requests.insert(owner);
    queue.queue_head.push_back(&request);
    return io;
}

void run_block_queue(unsigned int major)
{
    request_queue_t &queue = queues[major];
    if (queue.request_fn && !queue.queue_head.empty())
        queue.request_fn(&queue);
}

int block_io(unsigned short dev, int command, unsigned long sector, uint8_t *data, unsigned long sectors,
             unsigned long segment_sectors)
{
    std::shared_ptr<BlockIo> io = queue_block_io(dev, command, sector, data, sectors, segment_sectors);
    run_block_queue(MAJOR(dev));
    return io->ok() ? 0 : kIoError;
}

void reset_block_layer()
{
    for (HostRequest *owner : live_requests)
        delete owner;
    live_requests.clear();
    for (unsigned major = 0; major < MAX_BLKDEV; ++major) {
        majors[major] = {};
        queues[major].queue_head.clear();
        queues[major].request_fn = nullptr;
        blk_size[major] = blksize_size[major] = hardsect_size[major] = nullptr;
        read_ahead[major] = 0;
    }
    buffer_calls.clear();
}

} // namespace hostkernel
