#include "fXdr.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

bool ResizeBuffer(TXdrBuffer &buffer, uint32_t size, uint32_t granularity)
{
    if (size != 0 && size <= buffer.Capacity) return size <= BufferLimit;
    if (size > BufferLimit) return false;
    uint64_t rounded = granularity ? (uint64_t(size) + granularity - 1) / granularity * granularity : size;
    if (rounded > BufferLimit + uint64_t(granularity)) return false;
    uint32_t want = static_cast<uint32_t>(rounded);
    uint8_t *memory = nullptr;
    if (buffer.Uncached) {
        if (want) {
            memory = static_cast<uint8_t *>(AllocatePages(want));
            if (memory && buffer.Data) std::memcpy(memory, buffer.Data, std::min(buffer.Tail, want));
        }
        if (buffer.Data) FreePages(buffer.Data);
    } else if (want) {
        memory = static_cast<uint8_t *>(std::realloc(buffer.Data, want));
        if (!memory) std::free(buffer.Data);
    } else {
        std::free(buffer.Data);
    }
    buffer.Data = memory;
    buffer.Capacity = memory ? want : 0;
    return want == 0 || memory != nullptr;
}

void FreeBuffer(TXdrBuffer &buffer)
{
    ResizeBuffer(buffer, 0, 1);
    buffer.Head = buffer.Tail = 0;
}
