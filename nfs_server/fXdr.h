// XDR buffers: the request, reply and file-I/O buffers of the server and how they grow.
#pragma once

#include <cstdint>

// Largest NFS data transfer the server offers (FSINFO rtmax and wtmax).
constexpr uint32_t MaxTransfer = 1048576;
// Every buffer holds one such transfer plus the RPC and NFS headers around it, record mark included.
constexpr uint32_t HeaderAllowance = 4096;
constexpr uint32_t BufferLimit = MaxTransfer + HeaderAllowance;
// A reply datagram carries at most 65507 bytes: READ and READDIR over UDP return less, as short results allow.
constexpr uint32_t MaxUdpTransfer = 65536 - HeaderAllowance;

// TCP record marking: a 4-byte mark holding the record length and the last-fragment bit.
constexpr uint32_t RecordMarkSize = 4;
constexpr uint32_t RecordLastFragment = 0x80000000u;

constexpr uint32_t RequestCapacity = 32768;
constexpr uint32_t ReplyCapacity = 32768;
constexpr uint32_t IoCapacity = 65536;
constexpr uint32_t ReplyGranularity = 1024;

struct TXdrBuffer {
    uint8_t *Data = nullptr;
    uint32_t Head = 0;      // request: read position; reply: start
    uint32_t Tail = 0;      // request: bytes received; reply: write position
    uint32_t Capacity = 0;  // bytes allocated
    bool Uncached = false;  // page-allocated, uncached memory instead of the heap
};

// Grows (never shrinks below what is asked) the buffer to size rounded up to granularity; a size of 0
// releases it. False when the size is above BufferLimit or memory ran out (Capacity is then 0).
bool ResizeBuffer(TXdrBuffer &buffer, uint32_t size, uint32_t granularity);
void FreeBuffer(TXdrBuffer &buffer);

// Rounds n up to the next multiple of 4 without wrapping (XDR padding).
inline uint64_t XdrPadded(uint64_t n) { return (n + 3) & ~uint64_t(3); }

// Page memory for uncached buffers: fXdrPagesWin.cpp or fXdrPagesPosix.cpp.
void *AllocatePages(uint32_t size);
void FreePages(void *pages);

// Big-endian fields of fixed-size records (fattr3).
inline void PutUInt32(uint8_t *to, uint32_t value)
{
    to[0] = uint8_t(value >> 24);
    to[1] = uint8_t(value >> 16);
    to[2] = uint8_t(value >> 8);
    to[3] = uint8_t(value);
}
inline void PutUInt64(uint8_t *to, uint64_t value)
{
    PutUInt32(to, uint32_t(value >> 32));
    PutUInt32(to + 4, uint32_t(value));
}
inline uint32_t GetUInt32(const uint8_t *from)
{
    return uint32_t(from[0]) << 24 | uint32_t(from[1]) << 16 | uint32_t(from[2]) << 8 | from[3];
}
