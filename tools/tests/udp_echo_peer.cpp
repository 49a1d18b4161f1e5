// udp_echo_peer PORTFILE: a native peer for the Wine harness test. Binds an ephemeral UDP port on
// loopback, writes it to PORTFILE, answers one datagram with "echo:" + its payload and exits.
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 2) { fprintf(stderr, "usage: udp_echo_peer PORTFILE\n"); return 2; }
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) < 0) {
        perror("udp_echo_peer");
        return 1;
    }
    timeval limit = {60, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    std::string tmp = std::string(argv[1]) + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f) { perror(tmp.c_str()); return 1; }
    fprintf(f, "%u\n", ntohs(addr.sin_port));
    fclose(f);
    rename(tmp.c_str(), argv[1]);

    char buf[512];
    sockaddr_in from = {};
    len = sizeof from;
    ssize_t n = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
    if (n < 0) { perror("udp_echo_peer: no datagram"); return 1; }
    std::string reply = "echo:" + std::string(buf, static_cast<size_t>(n));
    if (sendto(s, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&from), len) < 0) {
        perror("udp_echo_peer: sendto");
        return 1;
    }
    return 0;
}
