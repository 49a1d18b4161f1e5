// Host-side controls of the kernel stand-in: what a test (or the simulated board) uses to read the
// kernel log, attach the board's ports and registers, run the virtual clock, raise interrupts, make
// allocations fail and set module parameters. The driver never includes this header.
#ifndef TESSARO_HOSTKERNEL_HOST_H
#define TESSARO_HOSTKERNEL_HOST_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct rawsync_dev_operations;

namespace hostkernel {

// Every access to a port or register, every read of the clock costs this much virtual time, so that
// polling loops and time-outs end.
constexpr uint64_t kPollCostUs = 1;
constexpr uint64_t kUsPerJiffy = 1000000 / 100;
// Size of the register window at mmcr_reg.
constexpr uint32_t kRegisterWindow = 0x1000;

// Returns everything printk wrote since the last clear_log().
std::string log_text();
void clear_log();

// The board behind the ports and the register window. Without one the bus floats: reads give all ones
// and register reads give what was last written.
class Bus {
public:
    virtual ~Bus() = default;
    virtual uint8_t in8(uint16_t port) = 0;
    virtual void out8(uint16_t port, uint8_t value) = 0;
    virtual uint32_t in32(uint16_t port) = 0;
    virtual void out32(uint16_t port, uint32_t value) = 0;
    virtual uint16_t register_read(uint32_t offset) = 0;
    virtual void register_write(uint32_t offset, uint16_t value) = 0;
};
void attach_bus(Bus *bus);

enum class Access { In8, Out8, In32, Out32, RegisterRead, RegisterWrite, IrqControl };
struct TraceEntry {
    Access access;
    uint32_t where; // port, register offset or irq_control entry
    uint32_t value;
    bool operator==(const TraceEntry &other) const
    {
        return access == other.access && where == other.where && value == other.value;
    }
};
void set_tracing(bool on);
const std::vector<TraceEntry> &trace();
void clear_trace();

// The virtual clock, in microseconds since load. Events fire, in time order, when the clock passes them.
uint64_t now_us();
void advance_us(uint64_t us);
void schedule_at(uint64_t at_us, std::function<void()> event);

// Interrupts: the board raises an interrupt line; while the driver has interrupts saved off through
// irq_control the delivery waits for the restore.
void raise_irq(unsigned int irq);
std::string irq_owner(unsigned int irq);
bool interrupts_enabled();

// Allocations: the next `count` succeed, the rest fail (negative: none fail).
void fail_allocations_after(long count);
long live_allocations();

bool set_module_param(const std::string &name, const std::string &value);
std::string module_param_description(const std::string &name);

// The calling process's memory: copy_to_user and copy_from_user reach only ranges declared here, so
// a test can hand the driver a pointer that faults.
class UserMemory {
public:
    UserMemory(const void *address, size_t length);
    ~UserMemory();
    UserMemory(const UserMemory &) = delete;
    UserMemory &operator=(const UserMemory &) = delete;

private:
    const void *address_;
};

// The scheduler asks the running task to give up the processor (current->need_resched).
void request_reschedule();

// /proc as a process sees it: a read of the whole entry (one page), a write of a text from the
// process's memory; both return the handler's result, or -2 (ENOENT) without such an entry or handler.
bool proc_exists(const std::string &name);
unsigned short proc_mode(const std::string &name);
int proc_read(const std::string &name, std::string &text);
int proc_write(const std::string &name, const std::string &text);
int module_use_count();

// Block devices as processes and the buffer cache reach them.
std::string blkdev_name(unsigned int major);
int blkdev_open(unsigned short dev);
int blkdev_release(unsigned short dev);
// A control call; the argument is used as given (declare it as UserMemory for a process's call).
int blkdev_ioctl(unsigned short dev, unsigned int command, void *argument);
// "fsync 31:16" and "invalidate 31:16" lines, one per call of fsync_dev and invalidate_buffers.
std::string buffer_log();

// A request as the block layer built it from the buffer cache: consecutive sectors of one device in
// segments of `segment_sectors` (the last may be shorter). Queued requests wait for run_block_queue,
// as plugged requests wait for the unplug.
struct BlockIo {
    bool complete = false;
    std::vector<int> segments_uptodate; // per segment: -1 not ended yet, 0 failed, 1 done
    bool ok() const;
};
std::shared_ptr<BlockIo> queue_block_io(unsigned short dev, int command, unsigned long sector, uint8_t *data,
                                        unsigned long sectors, unsigned long segment_sectors = 8);
void run_block_queue(unsigned int major);
// Queues one request and runs the queue: 0 when every segment ended up to date, -5 (EIO) otherwise.
int block_io(unsigned short dev, int command, unsigned long sector, uint8_t *data, unsigned long sectors,
             unsigned long segment_sectors = 8);

// The dump device a driver registered, or null.
struct rawsync_dev_operations *rawsync_device();

// Back to the state at load: empty log and trace, no clock events (the clock itself runs on), no interrupt handlers,
// no board, allocations succeed, board variant 0, the task running; no block device, queued request,
// /proc entry, dump device or declared user memory.
void reset();

} // namespace hostkernel

#endif
