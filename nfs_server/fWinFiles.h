// The server's file-system services over the Win32 wide-character functions.
#pragma once

#include "fFiles.h"

class TWinFiles : public TFileSystem {
public:
    uint32_t LastError() override;
    bool IsFolder(const std::wstring &path) override;
    bool IsFile(const std::wstring &path) override;
    bool RealPath(const std::wstring &path, std::wstring &onVolume, std::wstring *full) override;
    bool StoredName(const std::wstring &path, std::wstring &stored) override;
    std::unique_ptr<TOpenFile> OpenForAttributes(const std::wstring &path, bool folder) override;
    std::unique_ptr<TOpenFile> OpenForUnbufferedRead(const std::wstring &path) override;
    std::unique_ptr<TOpenFile> OpenForWriting(const std::wstring &path) override;
    bool MakeNewFile(const std::wstring &path, bool readOnly) override;
    bool MakeFolder(const std::wstring &path) override;
    bool RemoveFile(const std::wstring &path) override;
    bool RemoveFolder(const std::wstring &path) override;
    bool Rename(const std::wstring &from, const std::wstring &to) override;
    bool List(const std::wstring &folder, std::vector<TFindRecord> &entries) override;
    bool BytesPerSector(const std::wstring &folder, uint32_t &bytes) override;
    bool DiskFree(const std::wstring &folder, uint64_t &total, uint64_t &free, uint64_t &available) override;
    bool ToWide(uint32_t codePage, const std::string &text, std::wstring &wide) override;
    bool ToNarrow(uint32_t codePage, const std::wstring &wide, std::string &text) override;
    std::string AnsiText(const std::wstring &wide) override;
    std::wstring FoldCase(const std::wstring &name) override;
    int32_t TimeZoneBias() override;
    uint64_t SystemTime() override;
    uint32_t TickCount() override;

private:
    static constexpr uint32_t BiasLifeMs = 1000;
    bool BiasKnown = false;
    uint32_t BiasAt = 0;
    int32_t Bias = 0;
};
