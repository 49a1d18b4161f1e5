// The control block of the driver's type 'F' calls as a process fills it: the fields below CB_DATA
// and room for data after it, in memory the process declares as its own.
#ifndef TESSARO_TOOLS_CONTROL_BLOCK_H
#define TESSARO_TOOLS_CONTROL_BLOCK_H

#include "blockdev/flashd.h"
#include "hostkernel/host.h"

#include <cstring>
#include <vector>

namespace flashtools {

class ControlBlock {
public:
    explicit ControlBlock(size_t data = 0) : bytes_(CB_DATA + data, 0), user_(bytes_.data(), bytes_.size()) {}
    void *pointer() { return bytes_.data(); }
    uint8_t *data() { return bytes_.data() + CB_DATA; }
    template <typename T>
    T get(unsigned offset) const
    {
        T value;
        std::memcpy(&value, bytes_.data() + offset, sizeof value);
        return value;
    }
    template <typename T>
    void set(unsigned offset, T value)
    {
        std::memcpy(bytes_.data() + offset, &value, sizeof value);
    }

private:
    std::vector<uint8_t> bytes_;
    hostkernel::UserMemory user_;
};

} // namespace flashtools

#endif
