// What the board dialogue needs of a datagram socket. The framework's CAsyncSocket is the real one; the
// dialogue's own tests put a recording fake in its place.
#pragma once

#include <string>

class CDatagramSocket {
public:
    class Listener {
    public:
        // A datagram is waiting (error 0), or the socket reports an error.
        virtual void OnReceive(int error) = 0;

    protected:
        ~Listener() = default;
    };

    virtual ~CDatagramSocket() = default;

    // Binds the port on every local address; receive notifications go to the listener from then on.
    virtual bool Create(unsigned short port, Listener &listener) = 0;
    virtual void Close() = 0;
    // Bytes read, or -1. A datagram longer than size fails and is lost.
    virtual int ReceiveFrom(void *buffer, int size, std::string &address, unsigned &port) = 0;
    // Bytes sent, or -1.
    virtual int SendTo(const void *data, int size, const std::string &address, unsigned port) = 0;
    // The error code of the last failed call.
    virtual int GetLastError() const = 0;
};
