// Stand-in for the board's message-socket library "libsckapi.so": SckMessage records over UDP on the
// local host, one datagram per record. A server answers only what its job function turned into a reply;
// a job may also answer later, from another thread, with sckServerSendReply: the request carries its
// sender's address in its reserved bytes, and so does a reply made from a copy of it.
//
// Setting: SCK_REPLY_TIMEOUT_MS, how long a client waits for its answer (default 5000).
#include "../boardlibs.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr long DEFAULT_REPLY_TIMEOUT_MS = 5000;

static_assert(sizeof(sockaddr_in) <= sizeof(SckMessage::reserved), "the return address fits the record");

long replyTimeoutMs()
{
    const char *setting = getenv("SCK_REPLY_TIMEOUT_MS");
    const long value = setting ? strtol(setting, nullptr, 10) : 0;
    return value > 0 ? value : DEFAULT_REPLY_TIMEOUT_MS;
}

bool localAddress(const char *host, int port, sockaddr_in *address)
{
    memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));
    return port > 0 && port < 65536 && inet_pton(AF_INET, host, &address->sin_addr) == 1;
}

long millisecondsSince(const timespec &start)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}
}  // namespace

extern "C" {
int sckServerSendReply(SckServerContext *context, const SckMessage *reply);


int sckServerInit(SckServerContext *context, int port)
{
    memset(context, 0, sizeof *context);
    context->socket = -1;
    sockaddr_in address;
    if (!localAddress("127.0.0.1", port, &address)) {
        errno = EINVAL;
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    context->port = port;
    context->socket = fd;
    return 0;
}

int sckServerDoJob(SckServerContext *context, SckJobFunction job)
{
    for (;;) {
        SckMessage request;
        sockaddr_in from;
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(context->socket, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&from),
                                   &fromLength);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        // Anything but a whole request is not ours to answer.
        if (n != sizeof request || request.isReply) continue;
        ++context->requests;
        memcpy(request.reserved, &from, sizeof from);
        SckMessage reply;
        memset(&reply, 0, sizeof reply);
        const int result = job(&request, &reply);
        if (reply.isReply) sckServerSendReply(context, &reply);
        return result;
    }
}

int sckServerSendReply(SckServerContext *context, const SckMessage *reply)
{
    sockaddr_in to;
    memcpy(&to, reply->reserved, sizeof to);
    if (to.sin_family != AF_INET) {
        errno = EDESTADDRREQ;
        return -1;
    }
    if (sendto(context->socket, reply, sizeof *reply, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) !=
        static_cast<ssize_t>(sizeof *reply))
        return -1;
    ++context->replies;
    return 0;
}

void sckMessageMakeReply(SckMessage *reply)
{
    const int32_t sender = reply->sender;
    reply->sender = reply->receiver;
    reply->receiver = sender;
    reply->isReply = 1;
}

int sckClientSendMessage(const char *host, int port, SckMessage *request, SckMessage *reply)
{
    sockaddr_in address;
    if (!localAddress(host, port, &address)) return -1;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    request->isReply = 0;
    int result = -1;
    if (sendto(fd, request, sizeof *request, 0, reinterpret_cast<sockaddr *>(&address), sizeof address) ==
        static_cast<ssize_t>(sizeof *request)) {
        const long timeout = replyTimeoutMs();
        timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (long left = timeout; left > 0 && result != 0; left = timeout - millisecondsSince(start)) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            SckMessage answer;
            if (recv(fd, &answer, sizeof answer, 0) != static_cast<ssize_t>(sizeof answer)) continue;
            if (!answer.isReply || answer.id != request->id) continue;
            memcpy(reply, &answer, sizeof answer);
            result = 0;
        }
    }
    close(fd);
    return result;
}
}
