#include "framework/AsyncSocket.h"

#include <ws2tcpip.h>

namespace {

constexpr UINT kSocketNotify = WM_USER + 1;

}  // namespace

CAsyncSocket::~CAsyncSocket()
{
    Close();
}

bool CAsyncSocket::Create(unsigned short port, Listener &listener)
{
    Close();
    listener_ = &listener;
    socket_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (socket_ == INVALID_SOCKET) return Fail();
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    if (bind(socket_, reinterpret_cast<sockaddr *>(&local), sizeof local) == SOCKET_ERROR) return Fail();
    if (!window_.Create([this](UINT, WPARAM, LPARAM lParam) { OnNotify(lParam); })) {
        lastError_ = static_cast<int>(::GetLastError());
        Close();
        return false;
    }
    if (WSAAsyncSelect(socket_, window_.Handle(), kSocketNotify, FD_READ | FD_WRITE | FD_CONNECT) == SOCKET_ERROR)
        return Fail();
    return true;
}

void CAsyncSocket::Close()
{
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = INVALID_SOCKET;
    window_.Destroy();
}

int CAsyncSocket::ReceiveFrom(void *buffer, int size, std::string &address, unsigned &port)
{
    sockaddr_in from = {};
    int fromSize = sizeof from;
    int n = recvfrom(socket_, static_cast<char *>(buffer), size, 0, reinterpret_cast<sockaddr *>(&from), &fromSize);
    if (n == SOCKET_ERROR) {
        lastError_ = WSAGetLastError();
        return -1;
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    address = text;
    port = ntohs(from.sin_port);
    return n;
}

int CAsyncSocket::SendTo(const void *data, int size, const std::string &address, unsigned port)
{
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(port));
    if (inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) {
        lastError_ = WSAEINVAL;
        return -1;
    }
    int n = sendto(socket_, static_cast<const char *>(data), size, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    if (n == SOCKET_ERROR) {
        lastError_ = WSAGetLastError();
        return -1;
    }
    return n;
}

bool CAsyncSocket::Fail()
{
    lastError_ = WSAGetLastError();
    Close();
    return false;
}

void CAsyncSocket::OnNotify(LPARAM lParam)
{
    if (WSAGETSELECTEVENT(lParam) == FD_READ && listener_ != nullptr) listener_->OnReceive(WSAGETSELECTERROR(lParam));
}
