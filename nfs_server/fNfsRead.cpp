// NFS version 3 procedures that read the served tree.
#include "fRpcPrograms.h"

#include <algorithm>

namespace {

constexpr uint32_t PreferredTransfer = 32768;
constexpr uint32_t FSF3_CANSETTIME = 0x10;
// READDIR and READDIRPLUS estimates of one entry beyond its name, and the closing words.
constexpr uint32_t ReaddirEntryBase = 24;
constexpr uint32_t ReaddirplusEntryBase = 124;
constexpr uint32_t ReaddirTrailer = 8;

}  // namespace

uint32_t MapWin32Error(uint32_t error)
{
    switch (error) {
    case WinErrFileNotFound: return NFS3ERR_NOENT;
    case WinErrPathNotFound: return NFS3ERR_NOTDIR;
    case WinErrAccessDenied: return NFS3ERR_ACCES;
    case WinErrHandleDiskFull: return NFS3ERR_NOSPC;
    case WinErrDirNotEmpty: return NFS3ERR_NOTEMPTY;
    default: return NFS3ERR_SERVERFAULT;
    }
}

uint32_t TRpcPrograms::CheckHandle(uint32_t handle, TObjectHandle *&object)
{
    if (handle == 0) return NFS3ERR_BADHANDLE;
    object = ObjectHandles.Find(handle);
    return object ? NFS3_OK : NFS3ERR_STALE;
}

uint32_t TRpcPrograms::CheckDirectory(uint32_t handle, TDirHandle *&directory)
{
    TObjectHandle *object = nullptr;
    uint32_t status = CheckHandle(handle, object);
    if (status != NFS3_OK) return status;
    if (!object->IsDirectory()) return NFS3ERR_NOTDIR;
    directory = static_cast<TDirHandle *>(object);
    return NFS3_OK;
}

uint32_t TRpcPrograms::CheckAttributes(uint32_t handle, TObjectHandle *&object, TFattr3 &attributes)
{
    uint32_t status = CheckHandle(handle, object);
    if (status == NFS3_OK && !ObjectHandles.GetAttr(*object, attributes)) status = MapWin32Error(Files.LastError());
    return status;
}

bool TRpcPrograms::NfsNull() { return WriteUInt32(AcceptSuccess); }

bool TRpcPrograms::NfsGetattr()
{
    uint32_t handle;
    if (!ReadHandle(handle)) return WriteGarbageArgs();
    TObjectHandle *object = nullptr;
    TFattr3 attributes;
    uint32_t status = CheckHandle(handle, object);
    if (status == NFS3_OK && !ObjectHandles.GetAttr(*object, attributes)) status = NFS3ERR_SERVERFAULT;
    bool written = WriteUInt32(AcceptSuccess) && WriteUInt32(status);
    return status == NFS3_OK ? written && WriteBytes(attributes, Fattr3Size) : written;
}

bool TRpcPrograms::NfsLookup()
{
    uint32_t handle;
    std::string name;
    if (!ReadHandle(handle) || !ReadText(name)) return WriteGarbageArgs();
    TDirHandle *directory = nullptr;
    TObjectHandle *object = nullptr;
    TFattr3 dirAttributes, attributes;
    bool converted;
    std::wstring wide = AnsiToWideName(name, converted);
    uint32_t status = CheckDirectory(handle, directory);
    if (status == NFS3_OK && (!converted || wide.empty() || wide.find_first_of(L"/\\:") != std::wstring::npos))
        status = NFS3ERR_NOENT;
    if (status == NFS3_OK && JoinPath(directory->GetPath(), wide).size() > MaxPathChars) status = NFS3ERR_NAMETOOLONG;
    if (status == NFS3_OK && !ObjectHandles.GetAttr(*directory, dirAttributes))
        status = MapWin32Error(Files.LastError());
    if (status == NFS3_OK && !(object = ObjectHandles.FindOrCreate(directory, wide))) status = NFS3ERR_NOENT;
    if (status == NFS3_OK && !ObjectHandles.GetAttr(*object, attributes)) status = MapWin32Error(Files.LastError());
    bool written = WriteUInt32(AcceptSuccess) && WriteUInt32(status);
    if (status != NFS3_OK) return written && WritePostOpAttr(nullptr);
    return written && WriteHandle(*object) && WritePostOpAttr(&attributes) && WritePostOpAttr(&dirAttributes);
}

bool TRpcPrograms::NfsAccess()
{
    uint32_t handle, access;
    if (!ReadHandle(handle) || !ReadUInt32(access)) return WriteGarbageArgs();
    TObjectHandle *object = nullptr;
    TFattr3 attributes;
    uint32_t status = CheckAttributes(handle, object, attributes);
    bool written = WriteUInt32(AcceptSuccess) && WriteUInt32(status);
    if (status != NFS3_OK) return written && WritePostOpAttr(nullptr);
    return written && WritePostOpAttr(&attributes) && WriteUInt32(access);
}

bool TRpcPrograms::NfsRead()
{
    uint32_t handle, count;
    uint64_t offset;
    if (!ReadHandle(handle) || !ReadHyper(offset) || !ReadUInt32(count)) return WriteGarbageArgs();
    TObjectHandle *object = nullptr;
    TFattr3 attributes;
    uint32_t status = CheckHandle(handle, object);
    std::unique_ptr<TOpenFile> file;
    TFileInfo info;
    uint32_t skip = 0;
    if (status == NFS3_OK && !(file = Files.OpenForUnbufferedRead(object->GetPath()))) status = NFS3ERR_SERVERFAULT;
    if (status == NFS3_OK) {
        if (file->GetInfo(info))
            ObjectHandles.BuildFattr3(*object, info, attributes);
        else
            status = MapWin32Error(Files.LastError());
    }
    // At or past the end the answer is no data and the end of the file.
    const bool atEnd = status == NFS3_OK && offset >= info.Size;
    if (status == NFS3_OK && !atEnd) {
        // Never more than FSINFO offers, nor more than the file holds: the client's count sizes nothing.
        count = static_cast<uint32_t>(std::min<uint64_t>({count, Tcp ? MaxTransfer : MaxUdpTransfer, info.Size - offset}));
        const TDirHandle *parent = object->Parent() ? object->Parent() : ObjectHandles.Root();
        uint32_t sector = parent->BytesPerSector;
        uint64_t aligned = offset & (0xFFFFFFFF00000000ull | parent->AlignmentMask);
        skip = static_cast<uint32_t>(offset - aligned);
        uint64_t wanted = (uint64_t(skip) + count + sector - 1) / sector * sector;
        uint32_t got = 0;
        if (!file->Seek(aligned)) {
            status = MapWin32Error(Files.LastError());
        } else if (Io.Capacity < wanted &&
                   (!ResizeBuffer(Io, static_cast<uint32_t>(wanted), sector) || Io.Capacity < count)) {
            status = NFS3ERR_SERVERFAULT;
        } else if (!file->Read(Io.Data, static_cast<uint32_t>(wanted), got)) {
            status = MapWin32Error(Files.LastError());
        } else {
            count = got > skip ? std::min(count, got - skip) : 0;
        }
    }
    // The file is closed once the reply has gone: its close need not hold the data up.
    if (status == NFS3_OK && !atEnd) WindowFile = std::move(file);
    file.reset();
    if (atEnd) count = 0;
    bool written = WriteUInt32(AcceptSuccess) && WriteUInt32(status);
    if (status != NFS3_OK) return written && WritePostOpAttr(nullptr);
    return written && WritePostOpAttr(&attributes) && WriteUInt32(count) && WriteBool(offset + count >= info.Size) &&
           WriteOpaqueWindow(Io.Data + skip, count);
}

bool TRpcPrograms::NfsReaddir() { return ReadDirectory(false); }

bool TRpcPrograms::NfsReaddirplus() { return ReadDirectory(true); }

bool TRpcPrograms::ReadDirectory(bool plus)
{
    uint32_t handle, dirCount = 0, maxCount;
    uint64_t cookie, verifier;
    bool read = ReadHandle(handle) && ReadHyper(cookie) && ReadHyper(verifier) &&
                (!plus || ReadUInt32(dirCount)) && ReadUInt32(maxCount);
    if (!read) return WriteGarbageArgs();
    // A longer list than one reply can carry would be no reply at all; a short list is always allowed.
    maxCount = std::min(maxCount, Tcp ? MaxTransfer : MaxUdpTransfer);
    std::lock_guard<std::mutex> hold(ReadDirHandles.Lock);

    uint32_t receive, send;
    TDirHandle *directory = nullptr;
    TFattr3 dirAttributes;
    TReadDirSnapshot *snapshot = nullptr;
    uint32_t status = SocketBufferSizes(receive, send) ? CheckDirectory(handle, directory) : NFS3ERR_SERVERFAULT;
    // A new snapshot first: the folder's times come from it, rather than from a second listing.
    if (status == NFS3_OK && verifier == 0 && !(snapshot = ReadDirHandles.TakeSnapshot(*directory)))
        status = MapWin32Error(Files.LastError());
    if (status == NFS3_OK && !ObjectHandles.GetAttr(*directory, dirAttributes, snapshot ? &snapshot->Files : nullptr))
        status = MapWin32Error(Files.LastError());
    if (status == NFS3_OK && verifier != 0 && !(snapshot = ReadDirHandles.Find(*directory, verifier)))
        status = NFS3ERR_BAD_COOKIE;
    if (status == NFS3_OK && cookie > snapshot->Files.size()) status = NFS3ERR_BAD_COOKIE;

    uint32_t statusAt = Reply.Tail;
    bool written = WriteUInt32(AcceptSuccess) && WriteUInt32(status);
    if (status != NFS3_OK) return written && WritePostOpAttr(nullptr);
    written = written && WritePostOpAttr(&dirAttributes) && WriteHyper(snapshot->Verifier);

    const std::size_t total = snapshot->Files.size();
    std::size_t p = static_cast<std::size_t>(cookie);
    uint64_t estimates = 0;
    bool any = false;
    for (; written && p < total; ++p) {
        const TFindRecord &entry = snapshot->Files[p];
        bool converted;
        std::string name = WideToAnsiName(entry.Name, converted);
        if (!converted) continue;
        uint64_t estimate = XdrPadded(name.size()) + (plus ? ReaddirplusEntryBase : ReaddirEntryBase);
        uint64_t length = Reply.Tail - Reply.Head;
        if (length + estimate + ReaddirTrailer > maxCount) break;
        if (plus && estimates + estimate + ReaddirTrailer >= dirCount) break;
        written = WriteBool(true);
        if (!plus) {
            written = written && WriteHyper(p + 1) && WriteOpaque(name.data(), uint32_t(name.size())) &&
                      WriteHyper(p + 1);
        } else {
            TObjectHandle *object = ObjectHandles.FindOrCreate(directory, entry.Name, &entry.Info);
            // The listing already holds what a look at each entry would give: no entry is opened.
            TFattr3 attributes;
            if (object) ObjectHandles.BuildFattr3(*object, entry.Info, attributes);
            written = written && WriteHyper(object ? object->Identity() : ~uint64_t(0)) &&
                      WriteOpaque(name.data(), uint32_t(name.size())) && WriteHyper(p + 1) &&
                      WritePostOpAttr(object ? &attributes : nullptr) && WriteBool(object != nullptr) &&
                      (!object || WriteHandle(*object));
        }
        estimates += estimate;
        any = true;
    }
    if (written && !any && p < total) {
        // Not even one entry fits what the client allows: say so rather than send an empty, unfinished list.
        Reply.Tail = statusAt;
        return WriteUInt32(AcceptSuccess) && WriteUInt32(NFS3ERR_TOOSMALL) && WritePostOpAttr(nullptr);
    }
    return written && WriteBool(false) && WriteBool(p >= total);
}

bool TRpcPrograms::NfsFsstat()
{
    uint32_t handle;
    if (!ReadHandle(handle)) return WriteGarbageArgs();
    TObjectHandle *object = nullptr;
    TFattr3 attributes;
    uint64_t total = 0, free = 0, available = 0;
    uint32_t status = CheckAttributes(handle, object, attributes);
    if (status == NFS3_OK) {
        const TObjectHandle *folder = object->IsDirectory() ? object : object->Parent();
        if (!Files.DiskFree(folder->GetPath(), total, free, available)) status = MapWin32Error(Files.LastError());
    }
    bool written = WriteUInt32(AcceptSuccess) && WriteUInt32(status);
    if (status != NFS3_OK) return written && WritePostOpAttr(nullptr);
    return written && WritePostOpAttr(&attributes) && WriteHyper(total) && WriteHyper(free) &&
           WriteHyper(available) && WriteHyper(0) && WriteHyper(0) && WriteHyper(0) && WriteUInt32(0);
}

bool TRpcPrograms::NfsFsinfo()
{
    uint32_t handle;
    if (!ReadHandle(handle)) return WriteGarbageArgs();
    TObjectHandle *object = nullptr;
    TFattr3 attributes;
    uint32_t receive, send;
    uint32_t status = CheckAttributes(handle, object, attributes);
    if (status == NFS3_OK && !SocketBufferSizes(receive, send)) status = NFS3ERR_SERVERFAULT;
    bool written = WriteUInt32(AcceptSuccess) && WriteUInt32(status);
    if (status != NFS3_OK) return written && WritePostOpAttr(nullptr);
    // A file's transfers align to the sectors of the folder that holds it.
    const TObjectHandle *folder = object->IsDirectory() ? object : object->Parent();
    uint32_t sector = static_cast<const TDirHandle *>(folder)->BytesPerSector;
    return written && WritePostOpAttr(&attributes) && WriteUInt32(MaxTransfer) && WriteUInt32(PreferredTransfer) &&
           WriteUInt32(sector) && WriteUInt32(MaxTransfer) && WriteUInt32(PreferredTransfer) && WriteUInt32(sector) &&
           WriteUInt32(PreferredTransfer) && WriteHyper(~uint64_t(0)) && WriteUInt32(0) && WriteUInt32(0) &&
           WriteUInt32(FSF3_CANSETTIME);
}

bool TRpcPrograms::NfsPathconf()
{
    uint32_t handle;
    if (!ReadHandle(handle)) return WriteGarbageArgs();
    TObjectHandle *object = nullptr;
    TFattr3 attributes;
    uint32_t status = CheckAttributes(handle, object, attributes);
    bool written = WriteUInt32(AcceptSuccess) && WriteUInt32(status);
    if (status != NFS3_OK) return written && WritePostOpAttr(nullptr);
    return written && WritePostOpAttr(&attributes) && WriteUInt32(0) && WriteUInt32(MaxPathChars) && WriteBool(true) &&
           WriteBool(true) && WriteBool(true) && WriteBool(true);
}
