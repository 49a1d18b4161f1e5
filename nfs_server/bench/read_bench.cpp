// Sequential READ throughput: a libnfs client reads FILE from the NFS server in 1 MiB transfers, then
// the same file is read over a plain TCP connection on loopback; both rates and their ratio are printed.
// Usage: seldrix_read_bench nfs://127.0.0.1/?auto-traverse-mounts=0 /FILE LOCAL_COPY_OF_FILE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <nfsc/libnfs.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
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
    return 0;
}
