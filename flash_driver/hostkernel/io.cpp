// Port and register I/O, interrupts and the board kernel's exports of the host kernel layer.
#include "hostkernel/board.h"
#include "hostkernel/host.h"
#include "hostkernel/internal.h"
#include "hostkernel/kernel.h"

#include <cstring>
#include <map>
#include <string>

namespace {

hostkernel::Bus *board_bus = nullptr;
bool tracing = false;
std::vector<hostkernel::TraceEntry> bus_trace;
alignas(4) unsigned char register_window[hostkernel::kRegisterWindow];

struct IrqLine {
    irq_handler_t handler = nullptr;
    void *dev_id = nullptr;
    std::string name;
    bool pending = false;
};
std::map<unsigned int, IrqLine> irq_lines;
bool irqs_on = true;
struct rawsync_dev_operations *dump_device = nullptr;

void record(hostkernel::Access access, uint32_t where, uint32_t value)
{
    if (tracing)
        bus_trace.push_back({access, where, value});
}

// Offset into the register window, or -1 for an address outside it.
long register_offset(const volatile void *address)
{
    auto byte = reinterpret_cast<uintptr_t>(address);
    auto base = reinterpret_cast<uintptr_t>(register_window);
    if (byte < base || byte + 2 > base + hostkernel::kRegisterWindow)
        return -1;
    return static_cast<long>(byte - base);
}

void deliver(unsigned int irq)
{
    IrqLine &line = irq_lines[irq];
    if (!line.handler)
        return;
    if (!irqs_on) {
        line.pending = true;
        return;
    }
    line.pending = false;
    line.handler(static_cast<int>(irq), line.dev_id, nullptr);
}

void control_request(unsigned long arg)
{
    record(hostkernel::Access::IrqControl, IRQ_CONTROL_REQUEST, static_cast<uint32_t>(arg));
}

void control_save(unsigned long flags_address)
{
    record(hostkernel::Access::IrqControl, IRQ_CONTROL_SAVE, 0);
    *reinterpret_cast<unsigned long *>(flags_address) = irqs_on ? 1 : 0;
    irqs_on = false;
}

void control_restore(unsigned long flags)
{
    record(hostkernel::Access::IrqControl, IRQ_CONTROL_RESTORE, static_cast<uint32_t>(flags));
    irqs_on = flags != 0;
    if (!irqs_on)
        return;
    for (auto &[irq, line] : irq_lines)
        if (line.pending)
            deliver(irq);
}

void control_unused(unsigned long)
{
}

} // namespace

int bvk_machine_id = 0;
void *mmcr_reg = register_window;
irq_control_fn irq_control[IRQ_CONTROL_ENTRIES] = {
    control_unused, control_unused, control_unused, control_request,
    control_save,   control_restore, control_unused, control_unused,
};

unsigned char inb(unsigned short port)
{
    hostkernel::poll_tick();
    unsigned char value = board_bus ? board_bus->in8(port) : 0xFF;
    record(hostkernel::Access::In8, port, value);
    return value;
}

void outb(unsigned char value, unsigned short port)
{
    hostkernel::poll_tick();
    record(hostkernel::Access::Out8, port, value);
    if (board_bus)
        board_bus->out8(port, value);
}

unsigned int inl(unsigned short port)
{
    hostkernel::poll_tick();
    unsigned int value = board_bus ? board_bus->in32(port) : 0xFFFFFFFFu;
    record(hostkernel::Access::In32, port, value);
    return value;
}

void outl(unsigned int value, unsigned short port)
{
    hostkernel::poll_tick();
    record(hostkernel::Access::Out32, port, value);
    if (board_bus)
        board_bus->out32(port, value);
}

unsigned short readw(const volatile void *address)
{
    long offset = register_offset(address);
    if (offset < 0) {
        unsigned short value;
        std::memcpy(&value, const_cast<const void *>(address), sizeof value);
        return value;
    }
    hostkernel::poll_tick();
    unsigned short value;
    if (board_bus) {
        value = board_bus->register_read(static_cast<uint32_t>(offset));
    } else {
        std::memcpy(&value, register_window + offset, sizeof value);
    }
    record(hostkernel::Access::RegisterRead, static_cast<uint32_t>(offset), value);
    return value;
}

void writew(unsigned short value, volatile void *address)
{
    long offset = register_offset(address);
    if (offset < 0) {
        std::memcpy(const_cast<void *>(address), &value, sizeof value);
        return;
    }
    hostkernel::poll_tick();
    record(hostkernel::Access::RegisterWrite, static_cast<uint32_t>(offset), value);
    if (board_bus)
        board_bus->register_write(static_cast<uint32_t>(offset), value);
    else
        std::memcpy(register_window + offset, &value, sizeof value);
}

int request_irq(unsigned int irq, irq_handler_t handler, unsigned long, const char *name, void *dev_id)
{
    IrqLine &line = irq_lines[irq];
    if (line.handler)
        return -16; // -EBUSY
    line.handler = handler;
    line.dev_id = dev_id;
    line.name = name ? name : "";
    line.pending = false;
    return 0;
}

void free_irq(unsigned int irq, void *dev_id)
{
    auto found = irq_lines.find(irq);
    if (found != irq_lines.end() && found->second.dev_id == dev_id)
        irq_lines.erase(found);
}

// One dump device, as the board kernel keeps it.
int register_rawsync_dev(struct rawsync_dev_operations *operations)
{
    if (dump_device)
        return -16; // -EBUSY
    dump_device = operations;
    return 0;
}

void unregister_rawsync_dev(struct rawsync_dev_operations *operations)
{
    if (dump_device == operations)
        dump_device = nullptr;
}

namespace hostkernel {

struct rawsync_dev_operations *rawsync_device()
{
    return dump_device;
}

void attach_bus(Bus *bus)
{
    board_bus = bus;
}

void set_tracing(bool on)
{
    tracing = on;
}

const std::vector<TraceEntry> &trace()
{
    return bus_trace;
}

void clear_trace()
{
    bus_trace.clear();
}

void raise_irq(unsigned int irq)
{
    deliver(irq);
}

std::string irq_owner(unsigned int irq)
{
    auto found = irq_lines.find(irq);
    return found == irq_lines.end() ? std::string() : found->second.name;
}

bool interrupts_enabled()
{
    return irqs_on;
}

void reset_io()
{
    board_bus = nullptr;
    tracing = false;
    bus_trace.clear();
    std::memset(register_window, 0, sizeof register_window);
    irq_lines.clear();
    irqs_on = true;
    bvk_machine_id = 0;
    dump_device = nullptr;
}

} // namespace hostkernel
