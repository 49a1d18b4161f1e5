// libFuzzer target: arbitrary datagrams from arbitrary sources through the decoder and the dispatcher,
// mixed with timer ticks, failing sends and handlers that run other handlers inside them.
//
// Input: records of one op byte, then for a datagram a 16-bit little-endian length and that many bytes.
//   op & 3 == 0 or 1: a datagram; bits 2-3 choose the sender's address (two of them contain one another),
//                     bit 4 a port other than 6011, bit 5 a read that fails
//   op & 3 == 2:      1 + (op >> 2) timer ticks
//   op & 3 == 3:      bit 2 sets failing sends, bit 3 makes the next board error run a timer tick inside
#include "DialogueFakes.h"
#include "ServerSocket.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const char *const kSenders[] = {"10.0.0.1", "10.0.0.11", "127.0.0.1", "192.168.1.200"};
constexpr std::size_t kLargestDatagram = 700;

void Check(bool condition)
{
    if (!condition) std::abort();
}

// What every datagram the loader sends must be.
void CheckSent(const std::vector<SentDatagram> &sent)
{
    for (const SentDatagram &d : sent) {
        Check(d.bytes.size() >= kHeaderSize + 1 && d.bytes.size() <= kHeaderSize + kMaxSentText + 1);
        Check(d.bytes.back() == '\0');
        Check(BoardMessageIdOf(d.bytes.data()) != kMsgNone);
        Check(d.port == kBoardPort);
        BoardMessage decoded;
        Check(DecodeBoardMessage(d.bytes.data(), d.bytes.size() < kReceiveSize ? d.bytes.size() : kReceiveSize, decoded));
        Check(decoded.header.vmajor == kVersionMajor && decoded.header.vminor == kVersionMinor);
        Check(decoded.header.reserved == 0);
        Check(decoded.header.stat == kStatusAck || decoded.header.stat == kStatusEnd);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    MemorySettings settings;
    settings.ints = {{"Timeouts/TOCmd", 3},    {"Timeouts/TOConfTarget", 1}, {"Timeouts/TOFormat", 2},
                     {"Timeouts/TOAliveX", INT32_MIN}, {"Timeouts/TOCopy", 4}, {"Timeouts/TOConfBoot", -1},
                     {"Timeouts/TOSignVerify", 2}};
    RecordingOwner owner;
    owner.installationType = size & 1;
    std::vector<SentDatagram> sent;
    std::deque<FakeSocket::Incoming> incoming;
    auto fake = std::make_unique<FakeSocket>(sent, incoming);
    FakeSocket &socket = *fake;
    CServerSocket server(settings, std::move(fake), [](std::string &address) {
        address = "192.168.1.1";
        return 0;
    });
    Check(server.Open(&owner));

    std::size_t at = 0;
    while (at < size) {
        const std::uint8_t op = data[at++];
        switch (op & 3) {
        case 0:
        case 1: {
            if (size - at < 2) return 0;
            std::size_t length = data[at] | std::size_t(data[at + 1]) << 8;
            at += 2;
            if (length > size - at) length = size - at;
            if (length > kLargestDatagram) length = kLargestDatagram;
            const unsigned port = (op & 0x10) ? kLoaderPort : kBoardPort;
            const int error = (op & 0x20) ? 10054 : (length > kReceiveSize ? 10040 : 0);
            incoming.push_back({std::vector<char>(data + at, data + at + length), kSenders[(op >> 2) & 3], port, error});
            at += length;
            server.OnReceive(0);
            break;
        }
        case 2:
            for (int i = 0; i <= (op >> 2); ++i) server.OnTick();
            break;
        default:
            socket.sendError = (op & 4) ? 10065 : 0;
            if (op & 8) owner.reentry["error"] = [&server] { server.OnTick(); };
            break;
        }
        Check(server.Sessions().size() <= CServerSocket::kMaxSessions);
        for (const auto &session : server.Sessions()) Check(session->peer != "0.0.0.0");
    }
    CheckSent(sent);
    return 0;
}
