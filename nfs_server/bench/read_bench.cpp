// Sequential READ throughput: a libnfs client reads FILE from the NFS server in 1 MiB transfers, then
// the same file is read over a plain TCP connection on loopback; both rates and their ratio are printed.
// Then how long a prober's NULL calls take while another client pipelines READs of FILE and reads their
// replies slowly.
// Usage: seldrix_read_bench nfs://127.0.0.1/?auto-traverse-mounts=0 /FILE LOCAL_COPY_OF_FILE
#include "RpcWire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <nfsc/libnfs.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t Transfer = 1048576;

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Bytes per second of reading the file through NFS; -1 on failure.
double ReadOverNfs(const char *url, const char *path, uint64_t &total)
{
    nfs_context *nfs = nfs_init_context();
    nfs_url *parsed = nfs ? nfs_parse_url_dir(nfs, url) : nullptr;
    nfsfh *file = nullptr;
    if (!parsed || nfs_mount(nfs, parsed->server, parsed->path) != 0 || nfs_open(nfs, path, O_RDONLY, &file) != 0) {
        std::fprintf(stderr, "nfs: %s\n", nfs ? nfs_get_error(nfs) : "no context");
        return -1;
    }
    std::vector<char> buffer(Transfer);
    total = 0;
    auto start = std::chrono::steady_clock::now();
    for (int n; (n = nfs_read(nfs, file, Transfer, buffer.data())) > 0;) total += uint64_t(n);
    double rate = total / Seconds(start);
    nfs_close(nfs, file);
    nfs_destroy_url(parsed);
    nfs_destroy_context(nfs);
    return rate;
}

// Bytes per second of the same file sent by a plain TCP server on loopback.
double ReadOverTcp(const char *local, uint64_t &total)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return -1;
    std::thread server([listener, local] {
        int peer = accept(listener, nullptr, nullptr);
        int fd = open(local, O_RDONLY);
        std::vector<char> buffer(Transfer);
        for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) > 0;)
            for (ssize_t sent = 0; sent < n;) sent += send(peer, buffer.data() + sent, size_t(n - sent), 0);
        close(fd);
        close(peer);
    });
    int client = socket(AF_INET, SOCK_STREAM, 0);
    connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address);
    std::vector<char> buffer(Transfer);
    total = 0;
    auto start = std::chrono::steady_clock::now();
    for (ssize_t n; (n = recv(client, buffer.data(), buffer.size(), 0)) > 0;) total += uint64_t(n);
    double rate = total / Seconds(start);
    close(client);
    server.join();
    close(listener);
    return rate;
}

// A blocking connection to the server's port on loopback; a receive buffer, when given, is fixed first.
int Connect(uint16_t port, int receiveBuffer = 0)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool ReceiveExactly(int fd, uint8_t *to, size_t n)
{
    for (ssize_t got; n > 0; to += got, n -= size_t(got))
        if ((got = recv(fd, to, n, 0)) <= 0) return false;
    return true;
}

rpcwire::TReply Exchange(int fd, const rpcwire::TCall &call)
{
    std::vector<uint8_t> record = call.Record(), mark(4);
    if (send(fd, record.data(), record.size(), MSG_NOSIGNAL) != ssize_t(record.size()) ||
        !ReceiveExactly(fd, mark.data(), 4))
        return rpcwire::TReply();
    std::vector<uint8_t> bytes((uint32_t(mark[0]) << 24 | mark[1] << 16 | mark[2] << 8 | mark[3]) & 0x7FFFFFFFu);
    return ReceiveExactly(fd, bytes.data(), bytes.size()) ? rpcwire::TReply(bytes) : rpcwire::TReply();
}

// The handle of /NAME: MNT of "/" and a LOOKUP; 0 on failure.
uint32_t FileHandle(const char *path)
{
    int mount = Connect(635), nfs = Connect(2049);
    uint32_t handle = 0;
    rpcwire::TReply reply = Exchange(mount, rpcwire::TCall(1, 100005, 3, 1).Opaque("/"));
    if (reply.Header(1) == rpcwire::Success && reply.U32() == 0 && reply.U32() == 4) {
        const uint32_t root = reply.U32();
        reply = Exchange(nfs, rpcwire::TCall(2, 100003, 3, 3).Handle(root).Opaque(path + 1));
        if (reply.Header(2) == rpcwire::Success && reply.U32() == 0 && reply.U32() == 4) handle = reply.U32();
    }
    close(mount);
    close(nfs);
    return handle;
}

// NULL call times (seconds) of a prober while a client that sent READS READs of COUNT bytes at once
// takes their replies at RATE bytes per second; empty on failure.
std::vector<double> ProbeBesideASlowReader(const char *path, uint32_t reads, uint32_t count, uint32_t rate)
{
    const uint32_t file = FileHandle(path);
    int slow = Connect(2049, 16384), prober = Connect(2049);
    if (!file || slow < 0 || prober < 0) return {};
    std::vector<uint8_t> pipeline;
    for (uint32_t i = 0; i < reads; ++i) {
        std::vector<uint8_t> record = rpcwire::TCall(100 + i, 100003, 3, 6).Handle(file).U64(0).U32(count).Record();
        pipeline.insert(pipeline.end(), record.begin(), record.end());
    }
    send(slow, pipeline.data(), pipeline.size(), MSG_NOSIGNAL);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        constexpr size_t Piece = 4096;
        const auto pause = std::chrono::microseconds(uint64_t(Piece) * 1000000 / rate);
        std::vector<uint8_t> bytes(Piece);
        for (uint32_t i = 0; i < reads && ReceiveExactly(slow, bytes.data(), 4); ++i) {
            size_t left = (uint32_t(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3]) & 0x7FFFFFFFu;
            for (size_t n; left > 0 && ReceiveExactly(slow, bytes.data(), n = std::min(left, Piece)); left -= n)
                std::this_thread::sleep_for(pause);
        }
        done = true;
    });
    std::vector<double> times;
    for (uint32_t xid = 1; !done; ++xid) {
        auto start = std::chrono::steady_clock::now();
        if (Exchange(prober, rpcwire::TCall(xid, 100003, 3, 0)).Header(xid) != rpcwire::Success) break;
        times.push_back(Seconds(start));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    shutdown(slow, SHUT_RDWR);
    reader.join();
    close(slow);
    close(prober);
    return times;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s NFS_URL /FILE LOCAL_COPY\n", argv[0]);
        return 2;
    }
    uint64_t nfsBytes = 0, tcpBytes = 0;
    double nfs = ReadOverNfs(argv[1], argv[2], nfsBytes);
    double tcp = ReadOverTcp(argv[3], tcpBytes);
    if (nfs <= 0 || tcp <= 0 || nfsBytes != tcpBytes) {
        std::fprintf(stderr, "read failed (NFS %llu bytes, TCP %llu bytes)\n", (unsigned long long)nfsBytes,
                     (unsigned long long)tcpBytes);
        return 1;
    }
    std::printf("file            %.1f MiB\n", nfsBytes / 1048576.0);
    std::printf("Seldrix (NFS)   %8.1f MiB/s\n", nfs / 1048576.0);
    std::printf("plain TCP copy  %8.1f MiB/s\n", tcp / 1048576.0);
    std::printf("ratio NFS/TCP   %8.3f\n", nfs / tcp);

    constexpr uint32_t Reads = 48, Count = 200000, Rate = 1024 * 1024;
    std::vector<double> times = ProbeBesideASlowReader(argv[2], Reads, Count, Rate);
    if (times.empty()) {
        std::fprintf(stderr, "the prober got no answer\n");
        return 1;
    }
    std::sort(times.begin(), times.end());
    std::printf("NULL calls beside a client that pipelines %u READs of %u bytes and reads at %u KiB/s:\n"
                "                %zu calls, median %.1f ms, worst %.1f ms\n",
                Reads, Count, Rate / 1024, times.size(), times[times.size() / 2] * 1000, times.back() * 1000);
    return 0;
}
