#include "BoardSim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace boardsim {
namespace {

constexpr std::size_t kNameSize = 32;
constexpr std::size_t kLargestDatagram = 65536;

void Put32(std::vector<std::uint8_t> &out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t Get32(const std::vector<std::uint8_t> &in, std::size_t at)
{
    return std::uint32_t(in[at]) | std::uint32_t(in[at + 1]) << 8 | std::uint32_t(in[at + 2]) << 16 |
           std::uint32_t(in[at + 3]) << 24;
}

sockaddr_in Endpoint(const std::string &address, std::uint16_t port)
{
    sockaddr_in endpoint = {};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr) != 1)
        throw std::runtime_error("boardsim: not an IPv4 address: " + address);
    return endpoint;
}

}  // namespace

std::vector<std::uint8_t> Encode(const Message &message)
{
    std::vector<std::uint8_t> out(kNameSize, 0);
    std::memcpy(out.data(), message.name.data(), message.name.size() < kNameSize ? message.name.size() : kNameSize);
    for (std::uint32_t v : {message.ta, message.sess, message.reserved, message.stat, message.vmajor, message.vminor})
        Put32(out, v);
    out.insert(out.end(), message.text.begin(), message.text.end());
    out.push_back(0);
    return out;
}

std::vector<std::uint8_t> EncodeSized(const Message &message, std::size_t size)
{
    std::vector<std::uint8_t> out = Encode(message);
    out.pop_back();
    out.resize(size, 'x');
    return out;
}

bool Decode(const std::vector<std::uint8_t> &bytes, Message &message)
{
    if (bytes.size() < kHeaderSize + 1 || bytes.back() != 0) return false;
    const char *name = reinterpret_cast<const char *>(bytes.data());
    message.name.assign(name, strnlen(name, kNameSize));
    message.ta = Get32(bytes, 32);
    message.sess = Get32(bytes, 36);
    message.reserved = Get32(bytes, 40);
    message.stat = Get32(bytes, 44);
    message.vmajor = Get32(bytes, 48);
    message.vminor = Get32(bytes, 52);
    message.text.assign(reinterpret_cast<const char *>(bytes.data()) + kHeaderSize);
    return true;
}

Board::Board(const std::string &address, std::uint16_t port, const std::string &loader, std::uint16_t loaderPort)
    : address_(address), loader_(loader), loaderPort_(loaderPort)
{
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error(std::string("boardsim: socket: ") + std::strerror(errno));
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local = Endpoint(address, port);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        std::string why = std::strerror(errno);
        close(fd_);
        throw std::runtime_error("boardsim: bind " + address + ":" + std::to_string(port) + ": " + why);
    }
}

Board::~Board()
{
    if (fd_ >= 0) close(fd_);
}

bool Board::SendBytes(const std::vector<std::uint8_t> &bytes)
{
    sockaddr_in to = Endpoint(loader_, loaderPort_);
    lastSent_ = std::chrono::steady_clock::now();
    return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
           static_cast<ssize_t>(bytes.size());
}

std::optional<Answer> Board::Receive(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p = {fd_, POLLIN, 0};
        int ready = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        std::vector<std::uint8_t> buffer(kLargestDatagram);
        sockaddr_in from = {};
        socklen_t fromSize = sizeof from;
        ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr *>(&from), &fromSize);
        if (n < 0) continue;  // an ICMP error of an earlier datagram
        Answer answer;
        answer.roundTrip =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - lastSent_);
        buffer.resize(static_cast<std::size_t>(n));
        answer.bytes = buffer;
        Decode(answer.bytes, answer.message);
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        answer.from = text;
        answer.fromPort = ntohs(from.sin_port);
        recorded_.push_back(answer);
        return answer;
    }
}

std::vector<Answer> Board::ReceiveUntilQuiet(std::chrono::milliseconds quiet)
{
    std::vector<Answer> answers;
    while (std::optional<Answer> answer = Receive(quiet)) answers.push_back(*answer);
    return answers;
}

std::string Describe(const Answer &answer)
{
    const Message &m = answer.message;
    std::string text;
    for (char c : m.text) {
        if (c == '\n')
            text += "\\n";
        else if (c == '\r')
            text += "\\r";
        else if (static_cast<unsigned char>(c) < 0x20)
            text += "?";
        else
            text += c;
    }
    char head[160];
    std::snprintf(head, sizeof head, "<- %s ta=%u sess=%u stat=%u v=%u.%u bytes=%zu text=", m.name.c_str(), m.ta, m.sess,
                  m.stat, m.vmajor, m.vminor, answer.bytes.size());
    return head + text;
}

}  // namespace boardsim
