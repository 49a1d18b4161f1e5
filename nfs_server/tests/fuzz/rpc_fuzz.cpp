// libFuzzer target: arbitrary call records through the RPC programs over an in-memory tree. The first
// byte picks the port and the transport; the rest is the record. Nothing may crash, read out of bounds
// or allocate beyond what FSINFO advertises (run with -malloc_limit_mb).
#include "MemoryFiles.h"
#include "fRpcPrograms.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t Peer = 0x0100007F;  // 127.0.0.1 as it lies in memory on a little-endian host

TRpcPrograms &Server()
{
    static TMemoryFiles *files = [] {
        auto *tree = new TMemoryFiles;
        tree->AddFolder("dir");
        tree->AddFolder("dir/sub");
        tree->AddFile("dir/sub/leaf.txt", "leaf");
        tree->AddFile("empty", "");
        tree->AddFile("small.txt", std::string(1000, 's'));
        tree->AddFile("large.bin", std::string(MaxTransfer + 5000, 'L'));
        tree->AddFile("Grüße.txt", "utf", true);
        // Identities then start at 1, where the seed corpus expects the root's handle.
        tree->Clock = 0;
        // Writes stay within the fuzzer's memory limits, even when a growing file's storage doubles.
        tree->MaxFileSize = 1u << 20;
        tree->MaxGrowth = 32u << 20;
        return tree;
    }();
    static TRpcPrograms *server = [] {
        auto *programs = new TRpcPrograms(*files, TMemoryFiles::RootPath, 65001);
        // Hold a mount, so that NFS calls get past the host check.
        const uint8_t mnt[] = {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 1, 0x86, 0xA5, 0, 0, 0, 3, 0, 0, 0, 1,
                               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, '/', 0, 0, 0};
        ResizeBuffer(programs->Request, sizeof mnt, 1);
        std::memcpy(programs->Request.Data, mnt, sizeof mnt);
        programs->Request.Tail = sizeof mnt;
        programs->ServeCall(MountPort, false, Peer);
        return programs;
    }();
    return *server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size - 1 > BufferLimit) return 0;
    TRpcPrograms &server = Server();
    static const uint16_t ports[] = {PmapPort, MountPort, NfsPort, 4000};
    const uint16_t port = ports[data[0] & 3];
    const bool tcp = data[0] & 4;
    const uint32_t length = static_cast<uint32_t>(size - 1);
    if (!ResizeBuffer(server.Request, length, 1)) std::abort();
    if (length) std::memcpy(server.Request.Data, data + 1, length);
    server.Request.Head = 0;
    server.Request.Tail = length;
    TRpcPrograms::TCallResult result = server.ServeCall(port, tcp, Peer);
    if (result == TRpcPrograms::TCallResult::Reply &&
        (server.Reply.Tail > server.Reply.Capacity || server.Reply.Head > server.Reply.Tail))
        std::abort();
    if (server.Reply.Capacity > BufferLimit || server.Io.Capacity > BufferLimit) std::abort();
    const TRpcPrograms::TReplyWindow &window = server.ReplyWindow;
    if (result == TRpcPrograms::TCallResult::Reply && window.Data &&
        (window.Data < server.Io.Data || window.Data + window.Length > server.Io.Data + server.Io.Capacity ||
         uint64_t(server.Reply.Tail - server.Reply.Head) + window.Length + window.Padding > BufferLimit))
        std::abort();
    server.ReplyDone();
    return 0;
}
