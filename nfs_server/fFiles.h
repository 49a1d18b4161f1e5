// The file-system services the server needs, behind one small interface: the Win32 wide-character
// functions on Windows (fWinFiles), an in-memory tree for native tests and the fuzzer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Attribute bits and error numbers as the Windows file functions report them.
constexpr uint32_t FileAttrReadOnly = 0x01;
constexpr uint32_t FileAttrDirectory = 0x10;
constexpr uint32_t FileAttrReparsePoint = 0x400;

constexpr uint32_t WinErrFileNotFound = 2;
constexpr uint32_t WinErrPathNotFound = 3;
constexpr uint32_t WinErrAccessDenied = 5;
constexpr uint32_t WinErrHandleDiskFull = 39;
constexpr uint32_t WinErrDirNotEmpty = 145;
constexpr uint32_t WinErrSharingViolation = 32;
constexpr uint32_t WinErrFileExists = 80;
constexpr uint32_t WinErrDiskFull = 112;
constexpr uint32_t WinErrAlreadyExists = 183;
constexpr uint32_t WinErrDirectory = 267;

// Times are Windows file times: 100-ns units since 1 January 1601, UTC.
struct TFileInfo {
    uint32_t Attributes = 0;
    uint64_t CreationTime = 0;
    uint64_t LastAccessTime = 0;
    uint64_t LastWriteTime = 0;
    uint64_t Size = 0;
};

// One entry of a directory listing, as the system's find functions give it.
struct TFindRecord {
    TFileInfo Info;
    std::wstring Name;
    std::wstring ShortName;
};

class TOpenFile {
public:
    virtual ~TOpenFile() = default;
    virtual bool GetInfo(TFileInfo &info) = 0;
    virtual bool Seek(uint64_t offset) = 0;
    // Reads up to n bytes at the current position; got is what arrived (0 at the end of the file).
    virtual bool Read(void *buffer, uint32_t n, uint32_t &got) = 0;
    // Writes n bytes at the current position; written is what went. Files opened for writing only.
    virtual bool Write(const void *buffer, uint32_t n, uint32_t &written) = 0;
    // Ends the file at the current position.
    virtual bool SetEnd() = 0;
    // Puts what the system still holds of the file on the disk. Files opened for writing only.
    virtual bool Flush() = 0;
    virtual bool GetTimes(uint64_t &creation, uint64_t &access, uint64_t &write) = 0;
    virtual bool SetTimes(uint64_t creation, uint64_t access, uint64_t write) = 0;
    // The system's value of the open handle, 32 bits of it (WRITE's verifier).
    virtual uint32_t Token() const = 0;
};

class TFileSystem {
public:
    virtual ~TFileSystem() = default;

    // The error of the last failed call, as a Windows error number.
    virtual uint32_t LastError() = 0;

    virtual bool IsFolder(const std::wstring &path) = 0;
    virtual bool IsFile(const std::wstring &path) = 0;
    // Where path really leads once every link and reparse point on the way is followed: its name on its
    // volume (no drive), and when full is given its full path too. False when it cannot be opened (the
    // error is the system's last).
    virtual bool RealPath(const std::wstring &path, std::wstring &onVolume, std::wstring *full) = 0;
    // The name its folder keeps for the entry path names, whatever spelling reached it (letter case, a
    // short name); false when the folder holds no entry of that name.
    virtual bool StoredName(const std::wstring &path, std::wstring &stored) = 0;
    // Opened for reading attributes, sharing read and write; folders too.
    virtual std::unique_ptr<TOpenFile> OpenForAttributes(const std::wstring &path, bool folder) = 0;
    // Opened for reading whole sectors with no system buffering.
    virtual std::unique_ptr<TOpenFile> OpenForUnbufferedRead(const std::wstring &path) = 0;
    // Opened for writing (and reading attributes), sharing read and write but not deletion.
    virtual std::unique_ptr<TOpenFile> OpenForWriting(const std::wstring &path) = 0;
    // Creates the file, failing when the name exists, and closes it at once.
    virtual bool MakeNewFile(const std::wstring &path, bool readOnly) = 0;
    virtual bool MakeFolder(const std::wstring &path) = 0;
    virtual bool RemoveFile(const std::wstring &path) = 0;
    virtual bool RemoveFolder(const std::wstring &path) = 0;
    // Moves a file or folder; fails when the target exists.
    virtual bool Rename(const std::wstring &from, const std::wstring &to) = 0;
    // Every entry of a folder, "." and ".." included when the system lists them.
    virtual bool List(const std::wstring &folder, std::vector<TFindRecord> &entries) = 0;
    virtual bool BytesPerSector(const std::wstring &folder, uint32_t &bytes) = 0;
    virtual bool DiskFree(const std::wstring &folder, uint64_t &total, uint64_t &free, uint64_t &available) = 0;

    // Name conversion with a code page; false when the text cannot be converted.
    virtual bool ToWide(uint32_t codePage, const std::string &text, std::wstring &wide) = 0;
    virtual bool ToNarrow(uint32_t codePage, const std::wstring &wide, std::string &text) = 0;
    // The system's ANSI code page, for texts shown to the user.
    virtual std::string AnsiText(const std::wstring &wide) = 0;
    // Upper-case form used to compare names ignoring case, as the system's file names do.
    virtual std::wstring FoldCase(const std::wstring &name) = 0;

    // Minutes to subtract from UTC for local time (standard or daylight bias), 0 when unknown.
    virtual int32_t TimeZoneBias() = 0;
    virtual uint64_t SystemTime() = 0;
    virtual uint32_t TickCount() = 0;
};
