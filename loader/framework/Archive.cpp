#include "framework/Archive.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr std::uint32_t kByteEscape = 0xFF;
constexpr std::uint32_t kWordEscape = 0xFFFF;
constexpr std::uint32_t kUnicodeMark = 0xFFFE;

}  // namespace

std::string NarrowFromUtf16(const std::u16string &text)
{
    if (text.empty()) return "";
#ifdef _WIN32
    const auto *wide = reinterpret_cast<const wchar_t *>(text.data());
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) WideCharToMultiByte(CP_ACP, 0, wide, length, &narrow[0], size, nullptr, nullptr);
    return narrow;
#else
    std::string narrow;
    for (char16_t unit : text) narrow += unit < 0x100 ? static_cast<char>(unit) : '?';
    return narrow;
#endif
}

void CArchive::Need(std::size_t size) const
{
    if (size > m_bytes.size() - m_position) throw CArchiveException("Unexpected end of file");
}

std::uint32_t CArchive::ReadUnsigned(std::size_t size)
{
    Need(size);
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i)
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(m_bytes[m_position + i])) << (8 * i);
    m_position += size;
    return value;
}

void CArchive::WriteUnsigned(std::uint32_t value, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) m_bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
}

CArchive &CArchive::operator<<(std::int32_t value)
{
    WriteUnsigned(static_cast<std::uint32_t>(value), 4);
    return *this;
}

CArchive &CArchive::operator>>(std::int32_t &value)
{
    value = static_cast<std::int32_t>(ReadUnsigned(4));
    return *this;
}

CArchive &CArchive::operator<<(const std::string &text)
{
    const std::size_t length = text.size();
    if (length < kByteEscape) {
        WriteUnsigned(static_cast<std::uint32_t>(length), 1);
    } else if (length < kUnicodeMark) {
        WriteUnsigned(kByteEscape, 1);
        WriteUnsigned(static_cast<std::uint32_t>(length), 2);
    } else {
        WriteUnsigned(kByteEscape, 1);
        WriteUnsigned(kWordEscape, 2);
        WriteUnsigned(static_cast<std::uint32_t>(length), 4);
    }
    m_bytes += text;
    return *this;
}

std::uint32_t CArchive::ReadLength(bool &unicode)
{
    unicode = false;
    for (int prefix = 0; prefix < 2; ++prefix) {
        const std::uint32_t byte = ReadUnsigned(1);
        if (byte != kByteEscape) return byte;
        const std::uint32_t word = ReadUnsigned(2);
        if (word == kWordEscape) return ReadUnsigned(4);
        if (word != kUnicodeMark) return word;
        // The mark is followed by the string's own prefix; a second mark is malformed.
        if (unicode) break;
        unicode = true;
    }
    throw CArchiveException("Malformed string length");
}

CArchive &CArchive::operator>>(std::string &text)
{
    bool unicode = false;
    const std::uint32_t length = ReadLength(unicode);
    // Checked against what is left before anything is allocated.
    const std::size_t size = unicode ? std::size_t{length} * 2 : length;
    Need(size);
    if (unicode) {
        std::u16string wide(length, u'\0');
        for (std::uint32_t i = 0; i < length; ++i) wide[i] = static_cast<char16_t>(ReadUnsigned(2));
        text = NarrowFromUtf16(wide);
    } else {
        text = m_bytes.substr(m_position, size);
        m_position += size;
    }
    return *this;
}
