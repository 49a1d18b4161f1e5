// Test side of the wire: builds RPC call records and reads replies word by word.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace rpcwire {

constexpr uint32_t Call = 0;
constexpr uint32_t Reply = 1;
constexpr uint32_t Accepted = 0;
constexpr uint32_t Denied = 1;
constexpr uint32_t Success = 0;
constexpr uint32_t ProgUnavail = 1;
constexpr uint32_t ProgMismatch = 2;
constexpr uint32_t ProcUnavail = 3;
constexpr uint32_t GarbageArgs = 4;
constexpr uint32_t RpcMismatch = 0;
constexpr uint32_t AuthError = 1;
constexpr uint32_t AuthTooWeak = 5;
constexpr uint32_t AuthUnix = 1;

class TCall {
public:
    // The call header with an AUTH_UNIX credential, as libnfs sends it, and a null verifier.
    TCall(uint32_t xid, uint32_t program, uint32_t version, uint32_t procedure, uint32_t rpcVersion = 2)
    {
        U32(xid).U32(Call).U32(rpcVersion).U32(program).U32(version).U32(procedure);
        U32(AuthUnix).U32(20).U32(0).U32(0).U32(0).U32(0).U32(0);
        U32(0).U32(0);
    }
    TCall &U32(uint32_t v)
    {
        for (int shift = 24; shift >= 0; shift -= 8) Bytes.push_back(uint8_t(v >> shift));
        return *this;
    }
    TCall &U64(uint64_t v) { return U32(uint32_t(v >> 32)).U32(uint32_t(v)); }
    TCall &Opaque(const std::string &data)
    {
        U32(uint32_t(data.size()));
        Bytes.insert(Bytes.end(), data.begin(), data.end());
        while (Bytes.size() % 4) Bytes.push_back(0);
        return *this;
    }
    TCall &Handle(uint32_t handle) { return U32(4).U32(handle); }
    // The record with its TCP record mark.
    std::vector<uint8_t> Record() const
    {
        std::vector<uint8_t> record;
        uint32_t mark = uint32_t(Bytes.size()) | 0x80000000u;
        for (int shift = 24; shift >= 0; shift -= 8) record.push_back(uint8_t(mark >> shift));
        record.insert(record.end(), Bytes.begin(), Bytes.end());
        return record;
    }

    std::vector<uint8_t> Bytes;
};

class TReply {
public:
    TReply() = default;
    explicit TReply(std::vector<uint8_t> bytes) : Bytes(std::move(bytes)) {}
    bool Ok() const { return Good; }
    std::size_t Left() const { return Bytes.size() - At; }
    uint32_t U32()
    {
        if (Left() < 4) {
            Good = false;
            return 0;
        }
        uint32_t v = uint32_t(Bytes[At]) << 24 | uint32_t(Bytes[At + 1]) << 16 | uint32_t(Bytes[At + 2]) << 8 |
                     Bytes[At + 3];
        At += 4;
        return v;
    }
    uint64_t U64()
    {
        uint64_t high = U32();
        return high << 32 | U32();
    }
    std::string Opaque()
    {
        uint32_t n = U32();
        if (Left() < n) {
            Good = false;
            return {};
        }
        std::string data(Bytes.begin() + long(At), Bytes.begin() + long(At + n));
        At += (n + 3) & ~3u;
        if (At > Bytes.size()) At = Bytes.size();
        return data;
    }
    void Skip(std::size_t n) { At = std::min(Bytes.size(), At + n); }
    // Reads the reply header up to the accept status; returns it (or the reject status + 100).
    uint32_t Header(uint32_t xid)
    {
        if (U32() != xid || U32() != Reply) Good = false;
        if (U32() == Denied) return 100 + U32();
        U32();
        Opaque();  // verifier
        return U32();
    }

    std::vector<uint8_t> Bytes;
    std::size_t At = 0;
    bool Good = true;
};

}  // namespace rpcwire
