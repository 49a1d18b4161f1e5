// boardsim: plays the board's installer side of the loader's UDP dialogue. A board sends from its
// address, port 6011, to the loader's port 6010, and records every answer with its bytes and round trip.
// The format is written out here on its own, so that the loader's codec is checked against a second
// reading of it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace boardsim {

constexpr std::uint16_t kLoaderPort = 6010;
constexpr std::uint16_t kBoardPort = 6011;
constexpr std::size_t kHeaderSize = 56;

struct Message {
    std::string name;
    std::uint32_t ta = 0;
    std::uint32_t sess = 0;
    std::uint32_t reserved = 0;
    std::uint32_t stat = 1;
    std::uint32_t vmajor = 2;
    std::uint32_t vminor = 0;
    std::string text;
};

// Header (name in 32 bytes, six little-endian 32-bit fields), text and NUL. A name of 32 characters or
// more fills the field without a terminator.
std::vector<std::uint8_t> Encode(const Message &message);
// The datagram cut or padded with 'x' to size bytes, without its terminating NUL: for oversized and
// unterminated datagrams.
std::vector<std::uint8_t> EncodeSized(const Message &message, std::size_t size);
// False when the datagram is shorter than a header or its text has no NUL.
bool Decode(const std::vector<std::uint8_t> &bytes, Message &message);

struct Answer {
    Message message;
    std::vector<std::uint8_t> bytes;
    std::string from;
    std::uint16_t fromPort = 0;
    // From the last datagram this board sent.
    std::chrono::microseconds roundTrip{0};
};

class Board {
public:
    // Binds address:port; throws std::runtime_error when it cannot.
    explicit Board(const std::string &address = "127.0.0.1", std::uint16_t port = kBoardPort,
                   const std::string &loader = "127.0.0.1", std::uint16_t loaderPort = kLoaderPort);
    ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    bool SendBytes(const std::vector<std::uint8_t> &bytes);
    bool Send(const Message &message) { return SendBytes(Encode(message)); }
    // The next answer within the time limit.
    std::optional<Answer> Receive(std::chrono::milliseconds limit);
    // Every answer until none came for the quiet time.
    std::vector<Answer> ReceiveUntilQuiet(std::chrono::milliseconds quiet);
    // Everything received so far, in order.
    const std::vector<Answer> &Recorded() const { return recorded_; }

    const std::string &Address() const { return address_; }

private:
    int fd_ = -1;
    std::string address_;
    std::string loader_;
    std::uint16_t loaderPort_;
    std::chrono::steady_clock::time_point lastSent_;
    std::vector<Answer> recorded_;
};

// One line per answer: "<- NAME ta=.. sess=.. stat=.. v=2.0 bytes=N text=..." (text escaped).
std::string Describe(const Answer &answer);

}  // namespace boardsim
