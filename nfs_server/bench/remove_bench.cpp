// REMOVE against the size of the handle table: the RPC programs over the in-memory tree know N files,
// each looked up once, then remove 2000 of them; the time per REMOVE is printed for each N. A REMOVE
// should cost the same whatever the table holds.
// Usage: seldrix_remove_bench [N...]
#include "MemoryFiles.h"
#include "RpcWire.h"
#include "fRpcPrograms.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t Removed = 2000;

struct TBench {
    TMemoryFiles Files;
    std::unique_ptr<TRpcPrograms> Programs;
    uint32_t Xid = 1;

    rpcwire::TReply Call(uint16_t port, uint32_t program, uint32_t version, uint32_t procedure,
                         const std::function<void(rpcwire::TCall &)> &arguments)
    {
        rpcwire::TCall call(++Xid, program, version, procedure);
        arguments(call);
        TXdrBuffer &request = Programs->Request;
        if (!ResizeBuffer(request, uint32_t(call.Bytes.size()), 1)) std::abort();
        std::memcpy(request.Data, call.Bytes.data(), call.Bytes.size());
        request.Tail = uint32_t(call.Bytes.size());
        const uint8_t loopback[4] = {127, 0, 0, 1};
        uint32_t peer;
        std::memcpy(&peer, loopback, 4);
        Programs->ServeCall(port, false, peer);
        rpcwire::TReply reply(std::vector<uint8_t>(Programs->Reply.Data, Programs->Reply.Data + Programs->Reply.Tail));
        Programs->ReplyDone();
        if (reply.Header(Xid) != rpcwire::Success || reply.U32() != 0) std::abort();
        return reply;
    }
};

std::string Name(uint32_t i) { return "f-" + std::to_string(i); }

// Seconds per REMOVE with known files in the table.
double PerRemove(uint32_t known)
{
    TBench bench;
    for (uint32_t i = 0; i < known; ++i) bench.Files.AddFile(Name(i), "");
    bench.Programs = std::make_unique<TRpcPrograms>(bench.Files, TMemoryFiles::RootPath, 65001);
    rpcwire::TReply mounted = bench.Call(635, 100005, 3, 1, [](rpcwire::TCall &c) { c.Opaque("/"); });
    mounted.U32();
    const uint32_t root = mounted.U32();
    for (uint32_t i = 0; i < known; ++i)
        bench.Call(2049, 100003, 3, 3, [&](rpcwire::TCall &c) { c.Handle(root).Opaque(Name(i)); });
    auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < Removed; ++i)
        bench.Call(2049, 100003, 3, 12, [&](rpcwire::TCall &c) { c.Handle(root).Opaque(Name(i)); });
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / Removed;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<uint32_t> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(uint32_t(std::strtoul(argv[i], nullptr, 10)));
    if (sizes.empty()) sizes = {Removed, 20000, 80000};
    for (uint32_t known : sizes)
        std::printf("REMOVE with %6u files known: %8.1f us each\n", known, PerRemove(std::max(known, Removed)) * 1e6);
    return 0;
}
