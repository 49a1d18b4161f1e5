// The board application's socket classes, as far as libnetkeep hands descriptors to them.
#pragma once

#include <stdexcept>

enum SocketStatus {
    SocketUnbound = 0,
    SocketBound = 1, // holds a descriptor bound to its local address
};

class Socket {
public:
    virtual ~Socket();
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    // Takes over FD; a descriptor held before is closed.
    void updateParam(int fd, SocketStatus status);

    int descriptor() const { return fd_; }
    SocketStatus status() const { return status_; }

protected:
    Socket() = default;

private:
    int fd_ = -1;
    SocketStatus status_ = SocketUnbound;
};

class StreamSocket : public Socket {};

class DatagramSocket : public Socket {};

class socket_would_block : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class socket_interrupted : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
