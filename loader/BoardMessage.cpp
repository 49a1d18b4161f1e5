#include "BoardMessage.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

const char *const BoardMessageNames[kBoardMessageCount] = {
    "SERVER",           "CONNECT",            "MOUNT_SERVER_OK",    "MOUNT_SERVER_ERR",
    "TIME_OK",          "TIME_ERR",           "FLASH_DRV_OK",       "FLASH_DRV_ERR",
    "FORMAT_OK",        "FORMAT_HD_OK",       "FORMAT_XMEM_OK",     "FORMAT_ERR",
    "EMOUNT_FLASH_OK",  "EMOUNT_FLASH_ERR",   "MOUNT_FLASH_OK",     "MOUNT_FLASH_ERR",
    "EXPORT_FLASH_OK",  "EXPORT_FLASH_ERR",   "COPY_WAIT",          "UNEXPORT_FLASH_OK",
    "UNEXPORT_FLASH_ERR", "EUMOUNT_FLASH_OK", "EUMOUNT_FLASH_ERR",  "UMOUNT_FLASH_OK",
    "UMOUNT_FLASH_ERR", "BOOT_FLASH_OK",      "BOOT_FLASH_ERR",     "DISCONNECT",
    "UMOUNT_SERVER_OK", "UMOUNT_SERVER_ERR",  "ERASE_OK",           "ERASE_ERR",
    "ALIVE",            "SAVE_TELE_START",    "SAVE_TELE_END",      "SAVE_IA_START",
    "SAVE_IA_END",      "RESTORE_TELE_START", "RESTORE_TELE_END",   "RESTORE_IA_START",
    "RESTORE_IA_END",   "MSG_ERR",            "MSG_ERR_END",        "IA_ETHER_ADRESS",
    "COPY_DONE",        "SW_SIGN_OK",
};

namespace {

constexpr std::size_t kTaOffset = 32;
constexpr std::size_t kSessOffset = 36;
constexpr std::size_t kReservedOffset = 40;
constexpr std::size_t kStatOffset = 44;
constexpr std::size_t kVMajorOffset = 48;
constexpr std::size_t kVMinorOffset = 52;

constexpr unsigned kMaxResourceId = 65535;

std::uint32_t GetLe32(const unsigned char *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

void PutLe32(char *p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

const char *BoardMessageName(int id)
{
    if (id < 0 || id >= kBoardMessageCount) return nullptr;
    return BoardMessageNames[id];
}

int BoardMessageIdOf(const char *cmd, std::size_t size)
{
    const void *nul = std::memchr(cmd, '\0', size);
    if (nul == nullptr) return kMsgNone;
    std::size_t length = static_cast<std::size_t>(static_cast<const char *>(nul) - cmd);
    for (int id = 0; id < kBoardMessageCount; ++id) {
        if (std::strlen(BoardMessageNames[id]) == length && std::memcmp(BoardMessageNames[id], cmd, length) == 0)
            return id;
    }
    return kMsgNone;
}

bool DecodeBoardMessage(const void *data, std::size_t size, BoardMessage &out)
{
    if (size > kReceiveSize) return false;
    unsigned char buffer[kReceiveSize] = {};
    if (size > 0) std::memcpy(buffer, data, size);

    std::memcpy(out.header.cmd, buffer, kCmdSize);
    out.header.ta = GetLe32(buffer + kTaOffset);
    out.header.sess = GetLe32(buffer + kSessOffset);
    out.header.reserved = GetLe32(buffer + kReservedOffset);
    out.header.stat = GetLe32(buffer + kStatOffset);
    out.header.vmajor = GetLe32(buffer + kVMajorOffset);
    out.header.vminor = GetLe32(buffer + kVMinorOffset);

    const char *text = reinterpret_cast<const char *>(buffer + kHeaderSize);
    const void *nul = std::memchr(text, '\0', kMaxReceivedText);
    std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - text) : kMaxReceivedText;
    out.text.assign(text, length);
    return true;
}

std::vector<char> EncodeBoardMessage(const BoardMessageHeader &header, const std::string &text)
{
    std::size_t length = text.size() < kMaxSentText ? text.size() : kMaxSentText;
    length = std::strlen(text.substr(0, length).c_str());
    std::vector<char> bytes(kHeaderSize + length + 1, '\0');
    std::memcpy(bytes.data(), header.cmd, kCmdSize);
    PutLe32(&bytes[kTaOffset], header.ta);
    PutLe32(&bytes[kSessOffset], header.sess);
    PutLe32(&bytes[kReservedOffset], header.reserved);
    PutLe32(&bytes[kStatOffset], header.stat);
    PutLe32(&bytes[kVMajorOffset], header.vmajor);
    PutLe32(&bytes[kVMinorOffset], header.vminor);
    std::memcpy(&bytes[kHeaderSize], text.data(), length);
    return bytes;
}

BoardMessageHeader MakeLoaderHeader(int id, std::uint32_t ta, std::uint32_t sess, std::uint32_t stat)
{
    BoardMessageHeader header = {};
    const char *name = BoardMessageName(id);
    if (name != nullptr) std::strncpy(header.cmd, name, kCmdSize - 1);
    header.ta = ta;
    header.sess = sess;
    header.stat = stat;
    header.vmajor = kVersionMajor;
    header.vminor = kVersionMinor;
    return header;
}

bool IsAcceptableSource(unsigned port, const BoardMessageHeader &header)
{
    return port == kBoardPort && static_cast<std::int32_t>(header.vmajor) <= static_cast<std::int32_t>(kVersionMajor) &&
           static_cast<std::int32_t>(header.vminor) <= static_cast<std::int32_t>(kVersionMinor);
}

std::string FormatRefusedSource(unsigned port, const BoardMessageHeader &header)
{
    char text[96];
    std::snprintf(text, sizeof text, "v%u.%u p%u.\r\n[v%u.%u p%u!]", unsigned(header.vmajor), unsigned(header.vminor),
                  port, unsigned(kVersionMajor), unsigned(kVersionMinor), unsigned(kBoardPort));
    return text;
}

bool IsPlainShellWord(const std::string &text)
{
    static const char marks[] = ".-_:/@+,=";
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
               return std::isalnum(c) || (c != '\0' && std::strchr(marks, c));
           });
}

std::string FormatConnectAnswer(const std::string &serverIp, std::uint32_t sess)
{
    return "export CPFLASH_SERVER_IP=" + serverIp + "\nexport CPFLASH_CLIENT_SESSION=" + std::to_string(sess) +
           "\nexport CPFLASH_CLIENT_SCRIPT=cpflash.client\n";
}

bool IsDottedIpv4(const std::string &text)
{
    int parts = 0;
    for (std::size_t at = 0; parts < 4; ++parts) {
        std::size_t end = at;
        while (end < text.size() && end - at < 4 && text[end] >= '0' && text[end] <= '9') ++end;
        const std::size_t digits = end - at;
        if (digits == 0 || digits > 3 || (digits > 1 && text[at] == '0') || std::stoi(text.substr(at, digits)) > 255)
            return false;
        if (end == text.size()) return parts == 3;
        if (text[end] != '.') return false;
        at = end + 1;
    }
    return false;
}

std::string ShownBoardText(const std::string &text)
{
    std::string shown = text.substr(0, kMaxShownText);
    for (char &c : shown) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\t' || byte == '\r' || byte == '\n')
            c = ' ';
        else if (byte < 0x20 || byte > 0x7E)
            c = '?';
    }
    return shown;
}

bool BoardTextResourceId(const std::string &text, unsigned base, unsigned &id)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    // Beyond the resource range the number only needs to stay out of it, not to be exact.
    long long n = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (n <= kMaxResourceId) n = n * 10 + (text[i] - '0');
    }
    // A negative number would reach below the base into another family of texts (3000 - 2999 is text 1).
    if (negative && n != 0) return false;
    const long long resource = static_cast<long long>(base) + n;
    if (resource < 1 || resource > kMaxResourceId) return false;
    id = static_cast<unsigned>(resource);
    return true;
}
