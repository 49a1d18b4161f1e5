// The Windows harness: a test under Wine exchanges one datagram with a native Linux process on
// loopback, whose port arrives in UDP_PEER_PORT.
#include <gtest/gtest.h>
#include <winsock2.h>

#include <cstdlib>
#include <string>

TEST(WineUdp, DatagramRoundTripWithNativePeer)
{
    const char *port = std::getenv("UDP_PEER_PORT");
    ASSERT_NE(nullptr, port) << "run through with_udp_peer.sh";

    WSADATA wsa;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 0), &wsa));
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(INVALID_SOCKET, s);
    DWORD limit = 30000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&limit), sizeof limit);

    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string hello = "CONNECT from Wine";
    ASSERT_EQ(int(hello.size()), sendto(s, hello.data(), int(hello.size()), 0,
                                        reinterpret_cast<sockaddr *>(&peer), sizeof peer));

    char buf[512];
    sockaddr_in from = {};
    int len = sizeof from;
    int n = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
    ASSERT_GT(n, 0) << "no answer, error " << WSAGetLastError();
    EXPECT_EQ("echo:" + hello, std::string(buf, n));
    EXPECT_EQ(peer.sin_port, from.sin_port);
    closesocket(s);
    WSACleanup();
}
