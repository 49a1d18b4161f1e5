// The board dialogue's datagram: a 56-byte little-endian header, then a NUL-terminated text.
// Portable: no platform calls, so the codec is tested and fuzzed natively as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr unsigned short kLoaderPort = 6010;
constexpr unsigned short kBoardPort = 6011;

constexpr std::size_t kCmdSize = 32;
constexpr std::size_t kHeaderSize = 56;
// The receive buffer; a longer datagram fails to read.
constexpr std::size_t kReceiveSize = 512;
constexpr std::size_t kMaxReceivedText = kReceiveSize - kHeaderSize;
constexpr std::size_t kMaxSentText = 2047;
// The longest board text the pages and the log are given; the rest is cut.
constexpr std::size_t kMaxShownText = 255;

constexpr std::uint32_t kVersionMajor = 2;
constexpr std::uint32_t kVersionMinor = 0;

// Status values.
constexpr std::uint32_t kStatusAck = 1;
constexpr std::uint32_t kStatusEnd = 2;
constexpr std::uint32_t kStatusCopying = 3;

// Message identifiers: positions in BoardMessageNames.
enum BoardMessageId : int {
    kMsgNone = -1,
    kMsgServer = 0,
    kMsgConnect,
    kMsgMountServerOk,
    kMsgMountServerErr,
    kMsgTimeOk,
    kMsgTimeErr,
    kMsgFlashDrvOk,
    kMsgFlashDrvErr,
    kMsgFormatOk,
    kMsgFormatHdOk,
    kMsgFormatXmemOk,
    kMsgFormatErr,
    kMsgEmountFlashOk,
    kMsgEmountFlashErr,
    kMsgMountFlashOk,
    kMsgMountFlashErr,
    kMsgExportFlashOk,
    kMsgExportFlashErr,
    kMsgCopyWait,
    kMsgUnexportFlashOk,
    kMsgUnexportFlashErr,
    kMsgEumountFlashOk,
    kMsgEumountFlashErr,
    kMsgUmountFlashOk,
    kMsgUmountFlashErr,
    kMsgBootFlashOk,
    kMsgBootFlashErr,
    kMsgDisconnect,
    kMsgUmountServerOk,
    kMsgUmountServerErr,
    kMsgEraseOk,
    kMsgEraseErr,
    kMsgAlive,
    kMsgSaveTeleStart,
    kMsgSaveTeleEnd,
    kMsgSaveIaStart,
    kMsgSaveIaEnd,
    kMsgRestoreTeleStart,
    kMsgRestoreTeleEnd,
    kMsgRestoreIaStart,
    kMsgRestoreIaEnd,
    kMsgMsgErr,
    kMsgMsgErrEnd,
    kMsgIaEtherAdress,
    kMsgCopyDone,
    kMsgSwSignOk,
    kBoardMessageCount
};

extern const char *const BoardMessageNames[kBoardMessageCount];

struct BoardMessageHeader {
    char cmd[kCmdSize];
    std::uint32_t ta;
    std::uint32_t sess;
    std::uint32_t reserved;
    std::uint32_t stat;
    std::uint32_t vmajor;
    std::uint32_t vminor;
};

struct BoardMessage {
    BoardMessageHeader header;
    std::string text;
};

// The name of an identifier, or nullptr outside the list.
const char *BoardMessageName(int id);

// The identifier of a name held in a fixed-size field that need not contain a NUL; kMsgNone when the
// name is not exactly one of the list.
int BoardMessageIdOf(const char *cmd, std::size_t size = kCmdSize);

// Reads a received datagram as the loader's zeroed receive buffer sees it: missing header bytes read as
// zero, the text ends at its first NUL and never reaches past kReceiveSize. Returns false when the
// datagram is longer than the receive buffer.
bool DecodeBoardMessage(const void *data, std::size_t size, BoardMessage &out);

// The bytes of a datagram to send: header, text (at most kMaxSentText characters) and NUL.
std::vector<char> EncodeBoardMessage(const BoardMessageHeader &header, const std::string &text);

// A header of the loader's: the given name, ta, sess and status, reserved 0, version 2.0.
BoardMessageHeader MakeLoaderHeader(int id, std::uint32_t ta, std::uint32_t sess, std::uint32_t stat);

// The acceptance rule applied before any dispatch: sent from the board's port, version at most 2.0
// (each part compared as a signed number).
bool IsAcceptableSource(unsigned port, const BoardMessageHeader &header);

// The log text that follows a refused datagram's address and text 79.
std::string FormatRefusedSource(unsigned port, const BoardMessageHeader &header);

// The three "export" lines that answer an accepted CONNECT.
std::string FormatConnectAnswer(const std::string &serverIp, std::uint32_t sess);

// A value the board's shell takes literally as one unquoted word of an "export" line: not empty, only
// letters, digits and ".-_:/@+,=".
bool IsPlainShellWord(const std::string &text);

// An IPv4 address written as four decimal numbers from 0 to 255 joined by dots, without leading zeros.
bool IsDottedIpv4(const std::string &text);

// A board's text as the loader shows it: at most kMaxShownText characters, printable ASCII only, blanks for
// tabs and line ends, '?' for any other byte. A board's bytes reach no window otherwise.
std::string ShownBoardText(const std::string &text);

// A board text that begins with a decimal number N selects the text resource base + N. False when the
// text does not begin with a number, N is negative or base + N is no resource identifier (up to 65535).
bool BoardTextResourceId(const std::string &text, unsigned base, unsigned &id);
