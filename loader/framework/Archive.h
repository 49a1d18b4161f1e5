// The framework's archive: the byte stream a document is saved to and loaded from. Integers are 32-bit
// little-endian; a string is a length prefix and its ANSI characters without terminator. Loading also takes
// strings stored in UTF-16. Portable, so that the document format is tested and fuzzed natively too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

// A load that ran past the end of the stream or met a malformed length.
class CArchiveException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CArchive {
public:
    // A storing archive that collects the bytes.
    CArchive() = default;
    // A loading archive over the bytes of a file.
    explicit CArchive(std::string bytes) : m_bytes(std::move(bytes)), m_loading(true) {}

    bool IsStoring() const { return !m_loading; }
    bool IsLoading() const { return m_loading; }
    const std::string &Bytes() const { return m_bytes; }

    CArchive &operator<<(std::int32_t value);
    CArchive &operator<<(const std::string &text);
    // Both throw CArchiveException when the stream ends early or a length is malformed.
    CArchive &operator>>(std::int32_t &value);
    CArchive &operator>>(std::string &text);

private:
    std::uint32_t ReadUnsigned(std::size_t size);
    void WriteUnsigned(std::uint32_t value, std::size_t size);
    // The length that a prefix gives; unicode is set when the prefix marks a UTF-16 string.
    std::uint32_t ReadLength(bool &unicode);
    void Need(std::size_t size) const;

    std::string m_bytes;
    std::size_t m_position = 0;
    bool m_loading = false;
};

// UTF-16 code units to the ANSI code page (the system's on Windows; elsewhere Latin-1, '?' beyond it).
std::string NarrowFromUtf16(const std::u16string &text);
