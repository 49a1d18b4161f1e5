// CAsyncSocket: a non-blocking UDP socket whose read notifications arrive as window messages
// (WSAAsyncSelect) and are handed to a listener on the program's one thread.
#pragma once

#include "framework/DatagramSocket.h"
#include "framework/MessageWindow.h"

#include <winsock2.h>

class CAsyncSocket : public CDatagramSocket {
public:
    CAsyncSocket() = default;
    ~CAsyncSocket() override;

    bool Create(unsigned short port, Listener &listener) override;
    void Close() override;
    int ReceiveFrom(void *buffer, int size, std::string &address, unsigned &port) override;
    int SendTo(const void *data, int size, const std::string &address, unsigned port) override;
    int GetLastError() const override { return lastError_; }

private:
    SOCKET socket_ = INVALID_SOCKET;
    CMessageWindow window_;
    Listener *listener_ = nullptr;
    int lastError_ = 0;

    bool Fail();
    void OnNotify(LPARAM lParam);
};
