#include "Socket.h"

#include <unistd.h>

Socket::~Socket()
{
    if (fd_ >= 0)
        close(fd_);
}

void Socket::updateParam(int fd, SocketStatus status)
{
    if (fd_ >= 0 && fd_ != fd)
        close(fd_);
    fd_ = fd;
    status_ = status;
}
