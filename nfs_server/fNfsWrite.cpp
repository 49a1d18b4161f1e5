// NFS version 3 procedures that change the served tree.
#include "fRpcPrograms.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t DontChange = 0;
constexpr uint32_t SetToClientTime = 2;
constexpr uint32_t Unchecked = 0, Guarded = 1, Exclusive = 2;
constexpr uint32_t OwnerWrite = 0200;
constexpr uint32_t Fattr3SizeAt = 20, Fattr3MtimeAt = 68, Fattr3CtimeAt = 76;
constexpr uint64_t MaxZeroFill = 16ull << 20;

}  // namespace

bool TRpcPrograms::ReadSattr3(TSattr3 &a)
{
    a = TSattr3();
    uint32_t how, seconds, nanoseconds;
    bool read = ReadBool(a.SetMode) && (!a.SetMode || ReadUInt32(a.Mode)) && ReadBool(a.SetUid) &&
                (!a.SetUid || ReadUInt32(a.Uid)) && ReadBool(a.SetGid) && (!a.SetGid || ReadUInt32(a.Gid)) &&
                ReadBool(a.SetSize) && (!a.SetSize || ReadHyper(a.Size));
    for (bool *set : {&a.SetAtime, &a.SetMtime}) {
        // The client's time is read past and not used: a time to set becomes the server's own.
        read = read && ReadUInt32(how) && how <= SetToClientTime &&
               (how != SetToClientTime || (ReadUInt32(seconds) && ReadUInt32(nanoseconds)));
        *set = how != DontChange;
    }
    return read;
}

bool TRpcPrograms::WriteWccData(const TFattr3 *before, const TFattr3 *after)
{
    if (!before || !after) return WriteBool(false) && WriteBool(false);
    return WriteBool(true) && WriteBytes(*before + Fattr3SizeAt, 8) && WriteBytes(*before + Fattr3MtimeAt, 8) &&
           WriteBytes(*before + Fattr3CtimeAt, 8) && WritePostOpAttr(after);
}

uint32_t TRpcPrograms::CheckChange(uint32_t handle, const std::string &name, TDirHandle *&directory,
                                   std::wstring &wide, TFattr3 &before)
{
    uint32_t status = CheckDirectory(handle, directory);
    if (status == NFS3_OK && !ObjectHandles.GetAttr(*directory, before)) status = MapWin32Error(Files.LastError());
    bool converted;
    wide = AnsiToWideName(name, converted);
    // The names of reading hold here too, and the folder itself or its parent is nothing to change.
    if (status == NFS3_OK && (!converted || !IsEntryName(wide) || wide == L"." || wide == L".."))
        status = NFS3ERR_ACCES;
    if (status == NFS3_OK && JoinPath(directory->GetPath(), wide).size() > MaxPathChars)
        status = NFS3ERR_NAMETOOLONG;
    // Windows acts on what a link leads to: a name leading out of the folder may not be touched.
    const TObjectHandle *known = status == NFS3_OK ? ObjectHandles.FindKnown(directory, wide) : nullptr;
    if (status == NFS3_OK && !(known && known->Placed) &&
        ObjectHandles.LeadsOutside(JoinPath(directory->GetPath(), wide)))
        status = NFS3ERR_ACCES;
    return status;
}

void TRpcPrograms::Forget(TDirHandle *directory, const std::wstring &name)
{
    if (TObjectHandle *gone = ObjectHandles.FindKnown(directory, name))
        ReadDirHandles.Retire(ObjectHandles.Delete(gone));
}

bool TRpcPrograms::NfsSetattr()
{
    uint32_t handle, seconds, nanoseconds;
    TSattr3 set;
    bool guarded;
    if (!ReadHandle(handle) || !ReadSattr3(set) || !ReadBool(guarded) ||
        (guarded && !(ReadUInt32(seconds) && ReadUInt32(nanoseconds))))
        return WriteGarbageArgs();
    TObjectHandle *object = nullptr;
    TFattr3 before, after;
    uint32_t status = CheckAttributes(handle, object, before);
    std::unique_ptr<TOpenFile> file;
    if (status == NFS3_OK && !(file = Files.OpenForWriting(object->GetPath()))) status = MapWin32Error(Files.LastError());
    if (status == NFS3_OK && (set.SetMode || set.SetUid || set.SetGid)) status = NFS3ERR_NOTSUPP;
    if (status == NFS3_OK && set.SetSize && !(file->Seek(set.Size) && file->SetEnd()))
        status = MapWin32Error(Files.LastError());
    if (status == NFS3_OK && (set.SetAtime || set.SetMtime)) {
        uint64_t creation, access, write;
        if (!file->GetTimes(creation, access, write)) {
            status = MapWin32Error(Files.LastError());
        } else {
            const uint64_t now = Files.SystemTime();
            if (set.SetAtime) access = now;
            if (set.SetMtime) write = now;
            if (!file->SetTimes(creation, access, write)) status = MapWin32Error(Files.LastError());
        }
    }
    if (status == NFS3_OK && !ObjectHandles.BuildFattr3(*object, *file, after)) status = MapWin32Error(Files.LastError());
    file.reset();
    return WriteUInt32(AcceptSuccess) && WriteUInt32(status) &&
           WriteWccData(status == NFS3_OK ? &before : nullptr, &after);
}

bool TRpcPrograms::NfsWrite()
{
    uint32_t handle, count, stable, length;
    uint64_t offset;
    if (!ReadHandle(handle) || !ReadHyper(offset) || !ReadUInt32(count) || !ReadUInt32(stable) ||
        !ReadUInt32(length))
        return WriteGarbageArgs();
    // The data must be there before any buffer grows for it.
    if (length > Request.Tail - Request.Head) return WriteGarbageArgs();
    if (Io.Capacity < length && !ResizeBuffer(Io, length, 1)) return WriteGarbageArgs();
    if (!ReadBytes(Io.Data, length)) return WriteGarbageArgs();

    TObjectHandle *object = nullptr;
    TFattr3 before, after;
    TFileInfo info;
    uint32_t written = 0;
    uint32_t status = CheckHandle(handle, object);
    if (status == NFS3_OK && object->IsDirectory()) status = NFS3ERR_ISDIR;
    TFileHandle *file = status == NFS3_OK ? static_cast<TFileHandle *>(object) : nullptr;
    if (status == NFS3_OK && !file->CachedHandle && !(file->CachedHandle = Files.OpenForWriting(file->GetPath())))
        status = MapWin32Error(Files.LastError());
    if (status == NFS3_OK && !file->CachedHandle->GetInfo(info)) status = MapWin32Error(Files.LastError());
    if (status == NFS3_OK) ObjectHandles.BuildFattr3(*file, info, before);
    if (status == NFS3_OK) {
        TOpenFile &open = *file->CachedHandle;
        if (!open.Seek(offset) || !open.Write(Io.Data, length, written)) {
            status = MapWin32Error(Files.LastError());
        } else if (!ObjectHandles.BuildFattr3(*file, open, after)) {
            status = MapWin32Error(Files.LastError());
        } else {
            file->LastUse = Files.TickCount();
            // The gap between the old end and the data reads as zeros. The system gives zeros there too;
            // writing them is bounded, so that a write far past the end cannot fill the disk with them.
            const bool fill = info.Size < offset && offset - info.Size <= MaxZeroFill;
            if (fill) std::memset(Io.Data, 0, Io.Capacity);
            for (uint64_t end = info.Size; fill && end < offset;) {
                uint32_t zeros = static_cast<uint32_t>(std::min<uint64_t>(offset - end, Io.Capacity)), filled = 0;
                if (!open.Seek(end) || !open.Write(Io.Data, zeros, filled) || filled == 0) break;
                end += filled;
            }
        }
    }
    // A stable answer promises the data is on the disk.
    if (status == NFS3_OK && stable != Unstable && !file->CachedHandle->Flush())
        status = MapWin32Error(Files.LastError());
    if (file && stable != Unstable) ObjectHandles.CloseCachedHandle(*file);
    bool replied = WriteUInt32(AcceptSuccess) && WriteUInt32(status);
    if (status != NFS3_OK) return replied && WriteWccData(nullptr, nullptr);
    return replied && WriteWccData(&before, &after) && WriteUInt32(written) && WriteUInt32(stable) &&
           WriteHyper(file->CachedHandle ? file->CachedHandle->Token() : 0);
}

bool TRpcPrograms::NfsCreate()
{
    uint32_t handle, how;
    std::string name;
    TSattr3 set;
    uint8_t verifier[8];
    if (!ReadHandle(handle) || !ReadText(name) || !ReadUInt32(how)) return WriteGarbageArgs();
    if ((how == Unchecked || how == Guarded) && !ReadSattr3(set)) return WriteGarbageArgs();
    if (how == Exclusive && !ReadBytes(verifier, sizeof verifier)) return WriteGarbageArgs();

    TDirHandle *directory = nullptr;
    TFattr3 before;
    std::wstring wide;
    uint32_t status = CheckChange(handle, name, directory, wide, before);
    const std::wstring path = status == NFS3_OK ? JoinPath(directory->GetPath(), wide) : std::wstring();
    if (status == NFS3_OK && ObjectHandles.FindOrCreate(directory, wide)) {
        // A name the table knows but the disk no longer holds is forgotten, not reported as existing.
        if (Files.IsFile(path) || Files.IsFolder(path))
            status = NFS3ERR_EXIST;
        else
            Forget(directory, wide);
    }
    if (status == NFS3_OK && !Files.MakeNewFile(path, set.SetMode && !(set.Mode & OwnerWrite)))
        status = MapWin32Error(Files.LastError());
    return WriteMade(status, directory, wide, before);
}

bool TRpcPrograms::WriteMade(uint32_t status, TDirHandle *directory, const std::wstring &name, const TFattr3 &before)
{
    TObjectHandle *object = nullptr;
    TFattr3 after, attributes;
    if (status == NFS3_OK) ObjectHandles.FolderChanged(*directory);
    // Made but not found (a name outside the code page of the existence tests): no handle is handed out.
    if (status == NFS3_OK && !(object = ObjectHandles.FindOrCreate(directory, name))) status = NFS3ERR_SERVERFAULT;
    if (status == NFS3_OK && !(ObjectHandles.GetAttr(*directory, after) && ObjectHandles.GetAttr(*object, attributes)))
        status = MapWin32Error(Files.LastError());
    bool replied = WriteUInt32(AcceptSuccess) && WriteUInt32(status);
    if (status != NFS3_OK) return replied && WriteWccData(nullptr, nullptr);
    return replied && WriteBool(true) && WriteHandle(*object) && WritePostOpAttr(&attributes) &&
           WriteWccData(&before, &after);
}

bool TRpcPrograms::NfsMkdir()
{
    uint32_t handle;
    std::string name;
    TSattr3 set;
    if (!ReadHandle(handle) || !ReadText(name) || !ReadSattr3(set)) return WriteGarbageArgs();

    TDirHandle *directory = nullptr;
    TFattr3 before;
    std::wstring wide;
    uint32_t status = CheckChange(handle, name, directory, wide, before);
    const std::wstring path = status == NFS3_OK ? JoinPath(directory->GetPath(), wide) : std::wstring();
    if (status == NFS3_OK && Files.IsFolder(path)) status = NFS3ERR_EXIST;
    if (status == NFS3_OK && !Files.IsFile(path)) Forget(directory, wide);
    if (status == NFS3_OK && !Files.MakeFolder(path)) status = MapWin32Error(Files.LastError());
    return WriteMade(status, directory, wide, before);
}

bool TRpcPrograms::NfsRemove() { return RemoveEntry(false); }

bool TRpcPrograms::NfsRmdir() { return RemoveEntry(true); }

bool TRpcPrograms::RemoveEntry(bool folder)
{
    uint32_t handle;
    std::string name;
    if (!ReadHandle(handle) || !ReadText(name)) return WriteGarbageArgs();
    TDirHandle *directory = nullptr;
    TFattr3 before, after;
    std::wstring wide;
    uint32_t status = CheckChange(handle, name, directory, wide, before);
    // Whatever spelling the client used, the object is known by the name the folder keeps.
    const std::wstring stored = status == NFS3_OK ? ObjectHandles.StoredName(*directory, wide) : std::wstring();
    // Removing a link may remove what it leads to instead (under Wine it does): a link is not removed.
    if (status == NFS3_OK && ObjectHandles.IsLink(*directory, stored)) status = NFS3ERR_ACCES;
    if (status == NFS3_OK) {
        // The server's own open handles must not stand in the way; what they wrote is written.
        if (TObjectHandle *known = ObjectHandles.FindKnown(directory, stored)) ObjectHandles.CloseCachedHandles(*known);
        ObjectHandles.CloseCachedPastLinks();
        const std::wstring path = JoinPath(directory->GetPath(), wide);
        if (!(folder ? Files.RemoveFolder(path) : Files.RemoveFile(path))) status = MapWin32Error(Files.LastError());
    }
    if (status == NFS3_OK) ObjectHandles.FolderChanged(*directory);
    if (status == NFS3_OK && !ObjectHandles.GetAttr(*directory, after)) status = MapWin32Error(Files.LastError());
    bool replied = WriteUInt32(AcceptSuccess) && WriteUInt32(status) &&
                   WriteWccData(status == NFS3_OK ? &before : nullptr, &after);
    if (status == NFS3_OK) {
        Forget(directory, wide);
        Forget(directory, stored);
        ReadDirHandles.Retire(ObjectHandles.RetirePastLinks());  // may take directory: the last use of it
    }
    return replied;
}

bool TRpcPrograms::NfsRename()
{
    uint32_t fromHandle, toHandle;
    std::string fromName, toName;
    if (!ReadHandle(fromHandle) || !ReadText(fromName) || !ReadHandle(toHandle) || !ReadText(toName))
        return WriteGarbageArgs();
    TDirHandle *from = nullptr, *to = nullptr;
    TFattr3 fromBefore, fromAfter, toBefore, toAfter;
    std::wstring fromWide, toWide;
    uint32_t status = fromHandle == 0 || toHandle == 0 ? NFS3ERR_BADHANDLE : NFS3_OK;
    if (status == NFS3_OK) status = CheckChange(fromHandle, fromName, from, fromWide, fromBefore);
    if (status == NFS3_OK) status = CheckChange(toHandle, toName, to, toWide, toBefore);
    const std::wstring source = status == NFS3_OK ? JoinPath(from->GetPath(), fromWide) : std::wstring();
    const std::wstring target = status == NFS3_OK ? JoinPath(to->GetPath(), toWide) : std::wstring();
    // Onto its own name (letter case aside) the target is the source: nothing to refuse, and when the
    // names are the same, nothing to do.
    const bool itself = status == NFS3_OK && from == to && Files.FoldCase(fromWide) == Files.FoldCase(toWide);
    const bool nothing = itself && fromWide == toWide;
    if (itself && !Files.IsFile(source) && !Files.IsFolder(source)) status = NFS3ERR_NOENT;
    if (status == NFS3_OK && !itself && Files.IsFile(target)) status = NFS3ERR_NOTDIR;
    // Whatever spelling the client used, the object is known by the name the folder keeps.
    const std::wstring stored = status == NFS3_OK ? ObjectHandles.StoredName(*from, fromWide) : std::wstring();
    // A move of a link may move what it leads to instead (under Wine it does): a link is not renamed.
    if (status == NFS3_OK && !nothing && ObjectHandles.IsLink(*from, stored)) status = NFS3ERR_ACCES;
    if (status == NFS3_OK && !nothing) {
        if (TObjectHandle *known = ObjectHandles.FindKnown(from, stored)) ObjectHandles.CloseCachedHandles(*known);
        ObjectHandles.CloseCachedPastLinks();
        if (!Files.Rename(source, target)) status = MapWin32Error(Files.LastError());
    }
    if (status == NFS3_OK && !nothing) {
        ObjectHandles.FolderChanged(*from);
        if (to != from) ObjectHandles.FolderChanged(*to);
    }
    if (status == NFS3_OK && !(ObjectHandles.GetAttr(*from, fromAfter) && ObjectHandles.GetAttr(*to, toAfter)))
        status = MapWin32Error(Files.LastError());
    bool replied = WriteUInt32(AcceptSuccess) && WriteUInt32(status);
    replied = status == NFS3_OK
                  ? replied && WriteWccData(&fromBefore, &fromAfter) && WriteWccData(&toBefore, &toAfter)
                  : replied && WriteWccData(nullptr, nullptr) && WriteWccData(nullptr, nullptr);
    if (status == NFS3_OK && !nothing) {
        // The moved object gets a new handle at its next lookup; whatever the table knew by the
        // target's name named what was there before.
        Forget(from, fromWide);
        Forget(from, stored);
        Forget(to, toWide);
        ReadDirHandles.Retire(ObjectHandles.RetirePastLinks());  // may take from and to: the last use of them
    }
    return replied;
}

bool TRpcPrograms::NfsCommit()
{
    uint32_t handle, count;
    uint64_t offset;
    if (!ReadHandle(handle) || !ReadHyper(offset) || !ReadUInt32(count)) return WriteGarbageArgs();
    TObjectHandle *object = nullptr;
    TFattr3 before, after;
    uint64_t verifier = 0;
    uint32_t status = CheckAttributes(handle, object, before);
    if (status == NFS3_OK && !object->IsDirectory()) {
        auto *file = static_cast<TFileHandle *>(object);
        // The whole file goes to the disk, whatever handle wrote it: one that aged out left its data too.
        // A file the server cannot open for writing holds nothing it wrote.
        std::unique_ptr<TOpenFile> opened;
        if (!file->CachedHandle) opened = Files.OpenForWriting(file->GetPath());
        TOpenFile *open = file->CachedHandle ? file->CachedHandle.get() : opened.get();
        if (open && !open->Flush()) status = MapWin32Error(Files.LastError());
        if (file->CachedHandle) {
            verifier = file->CachedHandle->Token();
            ObjectHandles.CloseCachedHandle(*file);
        }
    }
    if (status == NFS3_OK && !ObjectHandles.GetAttr(*object, after)) status = MapWin32Error(Files.LastError());
    bool replied = WriteUInt32(AcceptSuccess) && WriteUInt32(status);
    if (status != NFS3_OK) return replied && WriteWccData(nullptr, nullptr);
    return replied && WriteWccData(&before, &after) && WriteHyper(verifier);
}
