#include "fObjectHandles.h"

#include "fXdr.h"

#include <algorithm>
#include <stdexcept>

namespace {

constexpr uint64_t FileTimeOf1970 = 0x019DB1DED53E8000ull;
constexpr uint64_t FileTicksPerSecond = 10000000;
constexpr uint64_t FileTicksPerMinute = 60 * FileTicksPerSecond;

// Identities handed out per second of a run's start: a run starts its identities where an earlier run's
// cannot be, so that a handle kept across a restart is stale rather than naming another object.
constexpr uint64_t IdentitiesPerSecond = 4096;
// Identities a store records at a time.
constexpr uint32_t IdentityBlock = 65536;

constexpr uint32_t NF3REG = 1;
constexpr uint32_t NF3DIR = 2;
constexpr uint32_t ModeReadOnly = 0444;
constexpr uint32_t ModeWritable = 0666;

// Names that Windows does not take as an entry of the folder: it drops trailing dots and spaces, making
// the name another spelling of some other object ("docs." of "docs", of a parent on some systems for
// "..." or ".. "), and a device name ("NUL", "com1.txt") leads to the device wherever it stands.
bool IsForeignName(const std::wstring &name)
{
    if (name.back() == L'.' || name.back() == L' ') return true;
    std::wstring base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t &c : base)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    for (const wchar_t *device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (base == device) return true;
    bool numbered = base.size() == 4 && base[3] >= L'1' && base[3] <= L'9';
    return numbered && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0);
}

void PutTime(uint8_t *to, uint64_t fileTime, int32_t bias)
{
    uint32_t seconds, nanoseconds;
    FileTimeToNfsTime(fileTime, bias, seconds, nanoseconds);
    PutUInt32(to, seconds);
    PutUInt32(to + 4, nanoseconds);
}

}  // namespace

bool IsEntryName(const std::wstring &name)
{
    if (name == L"." || name == L"..") return true;
    return !name.empty() && name.find_first_of(L"/\\:") == std::wstring::npos && !IsForeignName(name);
}

std::wstring JoinPath(const std::wstring &folder, const std::wstring &name)
{
    if (!folder.empty() && folder.back() == L'\\') return folder + name;
    return folder + L"\\" + name;
}

TObjectHandle::TObjectHandle(TDirHandle *parent, std::wstring name, std::wstring path, uint32_t identity)
    : Name(std::move(name)), Path(std::move(path)), FParent(parent), FIdentity(identity)
{
}

TDirHandle::TDirHandle(TDirHandle *parent, std::wstring name, std::wstring path, uint32_t identity,
                       uint32_t bytesPerSector)
    : TObjectHandle(parent, std::move(name), std::move(path), identity), BytesPerSector(bytesPerSector),
      AlignmentMask(~uint64_t(bytesPerSector - 1) & 0xFFFFFFFFull)
{
}

void FileTimeToNfsTime(uint64_t fileTime, int32_t biasMinutes, uint32_t &seconds, uint32_t &nanoseconds)
{
    uint64_t count = fileTime - FileTimeOf1970 - uint64_t(int64_t(biasMinutes)) * FileTicksPerMinute;
    seconds = static_cast<uint32_t>(count / FileTicksPerSecond);
    nanoseconds = static_cast<uint32_t>(count % FileTicksPerSecond * 100);
}

TObjectHandles::TObjectHandles(TFileSystem &files, const std::wstring &root, TIdentityStore *store)
    : FFiles(files), Store(store),
      NextIdentity(static_cast<uint32_t>(files.SystemTime() / FileTicksPerSecond * IdentitiesPerSecond))
{
    uint32_t next;
    if (Store && Store->Load(next)) NextIdentity = next;
    ReservedTo = NextIdentity;
    std::wstring path = root;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (!path.empty() && path.back() == L'\\') path.pop_back();
    // A bare drive needs its "\" to name the drive's root rather than its current folder.
    if (!path.empty() && path.back() == L':') path += L'\\';
    uint32_t sector = 0;
    if (path.empty() || !files.IsFolder(path) || !files.BytesPerSector(path, sector) || sector == 0)
        throw std::runtime_error("Can't open folder \"" + files.AnsiText(path) + "\"");
    FRoot = static_cast<TDirHandle *>(Add(std::make_unique<TDirHandle>(nullptr, L"", path, TakeIdentity(), sector)));
    FRoot->Placed = true;
    if (!files.RealPath(path, RootOnVolume, nullptr))
        RootOnVolume = path.size() >= 2 && path[1] == L':' ? path.substr(2) : path;
    RootOnVolume = files.FoldCase(RootOnVolume);
}

TObjectHandle *TObjectHandles::FindOrCreate(TDirHandle *parent, const std::wstring &name, const TFileInfo *listed)
{
    if (!parent || !IsEntryName(name)) return nullptr;
    if (name == L".") return parent;
    if (name == L"..") return parent->Parent() ? parent->Parent() : parent;

    TNameKey key{parent->Identity(), FFiles.FoldCase(name)};
    auto known = ByName.find(key);
    if (known != ByName.end()) return listed ? known->second : Placed(known->second);

    std::wstring path = JoinPath(parent->GetPath(), name);
    const bool folder = listed ? (listed->Attributes & FileAttrDirectory) != 0 : FFiles.IsFolder(path);
    if (!folder && !listed && !FFiles.IsFile(path)) return nullptr;
    // A listing gives the names the folder keeps. Another spelling (a short name) reaches the object
    // known by that name, or makes it under that name, so that one change of it retires every handle.
    std::wstring stored = name;
    if (!listed && !FFiles.StoredName(path, stored)) return nullptr;
    if (FFiles.FoldCase(stored) != key.second) {
        key.second = FFiles.FoldCase(stored);
        path = JoinPath(parent->GetPath(), stored);
        known = ByName.find(key);
        if (known != ByName.end()) return Placed(known->second);
    } else {
        stored = name;  // the first spelling is kept
    }
    std::unique_ptr<TObjectHandle> object;
    uint32_t sector = 0;
    if (folder) {
        if (!FFiles.BytesPerSector(path, sector) || sector == 0) return nullptr;
        object = std::make_unique<TDirHandle>(parent, stored, path, TakeIdentity(), sector);
    } else {
        object = std::make_unique<TFileHandle>(parent, stored, path, TakeIdentity());
    }
    // A listing shows what Windows marks as links to folders (under Wine, links to files look like
    // files): those are checked at once, the rest when first used.
    bool direct = true;
    object->Placed = !listed || (listed->Attributes & FileAttrReparsePoint);
    if (object->Placed && !IsInside(path, false, &direct)) return nullptr;
    object->PastLink = !direct;
    TObjectHandle *added = Add(std::move(object));
    ByName[key] = added;
    return added;
}

TObjectHandle *TObjectHandles::Add(std::unique_ptr<TObjectHandle> object)
{
    TObjectHandle *added = object.get();
    ByIdentity[added->Identity()] = std::move(object);
    if (added->PastLink) PastLinks.insert(added->Identity());
    return added;
}

std::vector<TObjectHandle *> TObjectHandles::Children(const TObjectHandle &folder) const
{
    std::vector<TObjectHandle *> children;
    for (auto at = ByName.lower_bound({folder.Identity(), std::wstring()});
         at != ByName.end() && at->first.first == folder.Identity(); ++at)
        children.push_back(at->second);
    return children;
}

uint32_t TObjectHandles::TakeIdentity()
{
    if (NextIdentity == 0) ++NextIdentity;  // 0 is "no handle"
    // Recorded a block ahead, before any of it is handed out: a run that ends without a word leaves
    // the next one beyond whatever it gave.
    if (Store && NextIdentity - (ReservedTo - IdentityBlock) >= IdentityBlock) {
        ReservedTo = NextIdentity + IdentityBlock;
        Store->Save(ReservedTo);
    }
    return NextIdentity++;
}

TObjectHandle *TObjectHandles::FindKnown(TDirHandle *parent, const std::wstring &name) const
{
    if (!parent || name.empty()) return nullptr;
    auto known = ByName.find({parent->Identity(), FFiles.FoldCase(name)});
    return known == ByName.end() ? nullptr : known->second;
}

std::wstring TObjectHandles::StoredName(const TDirHandle &folder, const std::wstring &name)
{
    std::wstring stored;
    return IsEntryName(name) && FFiles.StoredName(JoinPath(folder.GetPath(), name), stored) ? stored : name;
}

TObjectHandle *TObjectHandles::Find(uint32_t handle)
{
    auto found = ByIdentity.find(handle);
    return found == ByIdentity.end() ? nullptr : Placed(found->second.get());
}

TObjectHandle *TObjectHandles::Placed(TObjectHandle *object)
{
    if (object->Placed) return object;
    bool direct = true;
    if (IsInside(object->GetPath(), false, &direct)) {
        object->Placed = true;
        object->PastLink = !direct;
        if (!direct) PastLinks.insert(object->Identity());
        return object;
    }
    Delete(object);  // never listed nor looked into: nothing below it, no snapshot
    return nullptr;
}

bool TObjectHandles::LeadsOutside(const std::wstring &path) { return !IsInside(path, true); }

bool TObjectHandles::IsLink(const TDirHandle &folder, const std::wstring &name)
{
    std::wstring entry, parent;
    if (!FFiles.RealPath(JoinPath(folder.GetPath(), name), entry, nullptr) ||
        !FFiles.RealPath(folder.GetPath(), parent, nullptr))
        return false;
    return FFiles.FoldCase(entry) != FFiles.FoldCase(JoinPath(parent, name));
}

// What cannot be opened cannot be located: it counts as inside only where the caller's own call will
// fail on it anyway.
bool TObjectHandles::IsInside(const std::wstring &path, bool unknownIsInside, bool *direct)
{
    std::wstring onVolume, full;
    if (direct) *direct = false;
    if (!FFiles.RealPath(path, onVolume, nullptr)) return unknownIsInside;
    // No link on the way: the name on the volume is the root's followed by the rest of the path.
    if (FFiles.FoldCase(onVolume) == RootOnVolume + FFiles.FoldCase(path.substr(FRoot->GetPath().size()))) {
        if (direct) *direct = true;
        return true;
    }
    // Past a link: the full paths, the root's asked once, and only here (under Wine it starts the mount
    // manager).
    if (RootFull.empty()) {
        std::wstring rootOnVolume;
        if (!FFiles.RealPath(FRoot->GetPath(), rootOnVolume, &RootFull)) RootFull = FRoot->GetPath();
        RootFull = FFiles.FoldCase(RootFull);
        if (!RootFull.empty() && RootFull.back() == L'\\') RootFull.pop_back();
    }
    if (!FFiles.RealPath(path, onVolume, &full)) return unknownIsInside;
    full = FFiles.FoldCase(full);
    return full.compare(0, RootFull.size(), RootFull) == 0 &&
           (full.size() == RootFull.size() || full[RootFull.size()] == L'\\');
}

bool TObjectHandles::GetAttr(TObjectHandle &object, TFattr3 &attributes, const std::vector<TFindRecord> *listing)
{
    std::unique_ptr<TOpenFile> file = FFiles.OpenForAttributes(object.GetPath(), object.IsDirectory());
    TFileInfo info;
    if (!file || !file->GetInfo(info)) return false;
    BuildFattr3(object, info, attributes, listing);
    return true;
}

bool TObjectHandles::BuildFattr3(TObjectHandle &object, TOpenFile &file, TFattr3 &attributes)
{
    TFileInfo info;
    if (!file.GetInfo(info)) return false;
    BuildFattr3(object, info, attributes);
    return true;
}

void TObjectHandles::BuildFattr3(TObjectHandle &object, const TFileInfo &info, TFattr3 &attributes,
                                 const std::vector<TFindRecord> *listing)
{
    bool directory = info.Attributes & FileAttrDirectory;
    uint64_t accessed = info.LastAccessTime;
    uint64_t modified = info.LastWriteTime;
    // A folder's times are those of its newest entry, so that clients see a change of content.
    if (directory && object.IsDirectory()) {
        auto &folder = static_cast<TDirHandle &>(object);
        std::vector<TFindRecord> entries;
        if ((!folder.TimesKnown || folder.TimesKey != info.LastWriteTime) &&
            (listing || FFiles.List(object.GetPath(), entries))) {
            // A listing taken just before may miss an entry made since, which moved the folder's own time.
            folder.NewestWrite = listing ? info.LastWriteTime : 0;
            for (const TFindRecord &entry : listing ? *listing : entries)
                folder.NewestWrite = std::max(folder.NewestWrite, entry.Info.LastWriteTime);
            folder.TimesKey = info.LastWriteTime;
            folder.TimesKnown = true;
        }
        if (folder.TimesKnown && folder.TimesKey == info.LastWriteTime) accessed = modified = folder.NewestWrite;
    }
    // What is seen of an entry moves its folder's times on, as a new listing would.
    TDirHandle *parent = object.Parent();
    if (parent && parent->TimesKnown) parent->NewestWrite = std::max(parent->NewestWrite, info.LastWriteTime);
    int32_t bias = FFiles.TimeZoneBias();
    uint8_t *at = attributes;
    PutUInt32(at, directory ? NF3DIR : NF3REG);
    PutUInt32(at + 4, (info.Attributes & FileAttrReadOnly) ? ModeReadOnly : ModeWritable);
    PutUInt32(at + 8, 1);   // nlink
    PutUInt32(at + 12, 0);  // uid
    PutUInt32(at + 16, 0);  // gid
    PutUInt64(at + 20, info.Size);
    PutUInt64(at + 28, info.Size);  // used
    PutUInt64(at + 36, 0);          // rdev
    PutUInt64(at + 44, 0);          // fsid
    PutUInt64(at + 52, object.Identity());
    PutTime(at + 60, accessed, bias);
    PutTime(at + 68, modified, bias);
    PutTime(at + 76, info.CreationTime, bias);
}

void TObjectHandles::CloseCachedHandle(TFileHandle &file)
{
    file.CachedHandle.reset();
    file.LastUse = 0;
}

void TObjectHandles::CloseCachedHandles(TObjectHandle &object)
{
    if (!object.IsDirectory()) {
        CloseCachedHandle(static_cast<TFileHandle &>(object));
        return;
    }
    for (TObjectHandle *child : Children(object)) CloseCachedHandles(*child);
}

void TObjectHandles::CloseCachedPastLinks()
{
    for (uint32_t identity : PastLinks) {
        TObjectHandle &object = *ByIdentity.at(identity);
        if (!object.IsDirectory()) CloseCachedHandle(static_cast<TFileHandle &>(object));
    }
}

void TObjectHandles::FolderChanged(TDirHandle &folder)
{
    if (!folder.TimesKnown) return;
    std::unique_ptr<TOpenFile> file = FFiles.OpenForAttributes(folder.GetPath(), true);
    TFileInfo info;
    if (!file || !file->GetInfo(info)) {
        folder.TimesKnown = false;
        return;
    }
    // The change made the folder's own time the newest (an entry gone was no newer than now).
    folder.NewestWrite = std::max(folder.NewestWrite, info.LastWriteTime);
    folder.TimesKey = info.LastWriteTime;
}

void TObjectHandles::AgeCachedHandles(uint32_t now, uint32_t maxAge)
{
    for (auto &entry : ByIdentity) {
        if (entry.second->IsDirectory()) continue;
        auto &file = static_cast<TFileHandle &>(*entry.second);
        if (file.CachedHandle && now - file.LastUse > maxAge) CloseCachedHandle(file);
    }
}

std::vector<uint32_t> TObjectHandles::Delete(TObjectHandle *object)
{
    std::vector<uint32_t> folders;
    if (!object || object == FRoot) return folders;
    // Children first: nothing may keep pointing at a freed parent.
    for (TObjectHandle *child : Children(*object)) {
        std::vector<uint32_t> below = Delete(child);
        folders.insert(folders.end(), below.begin(), below.end());
    }
    if (object->IsDirectory()) folders.push_back(object->Identity());

    ByName.erase({object->Parent()->Identity(), FFiles.FoldCase(object->GetName())});
    PastLinks.erase(object->Identity());
    ByIdentity.erase(object->Identity());  // frees it
    return folders;
}

std::vector<uint32_t> TObjectHandles::RetirePastLinks()
{
    std::vector<uint32_t> folders;
    while (!PastLinks.empty()) {
        // Removing an object removes what lies below it, which may be in the set too.
        auto found = ByIdentity.find(*PastLinks.begin());
        if (found == ByIdentity.end() || found->second.get() == FRoot) {
            PastLinks.erase(PastLinks.begin());
            continue;
        }
        std::vector<uint32_t> below = Delete(found->second.get());
        folders.insert(folders.end(), below.begin(), below.end());
    }
    return folders;
}

TReadDirSnapshot *TReadDirHandles::TakeSnapshot(TDirHandle &directory)
{
    std::vector<TFindRecord> files;
    if (!Handles.Files().List(directory.GetPath(), files)) return nullptr;
    long index = Snapshots.IndexOf(
        [&directory](const TReadDirSnapshot &s) { return s.Directory == directory.Identity(); });
    TReadDirSnapshot *snapshot;
    if (index >= 0) {
        snapshot = Snapshots[static_cast<std::size_t>(index)];
    } else {
        auto added = std::make_unique<TReadDirSnapshot>();
        added->Directory = directory.Identity();
        added->Verifier = NextVerifier++;
        snapshot = Snapshots.Add(std::move(added));
    }
    snapshot->Files = std::move(files);
    return snapshot;
}

TReadDirSnapshot *TReadDirHandles::Find(const TDirHandle &directory, uint64_t verifier) const
{
    long index = Snapshots.IndexOf([&](const TReadDirSnapshot &s) {
        return s.Verifier == verifier && s.Directory == directory.Identity();
    });
    return index < 0 ? nullptr : Snapshots[static_cast<std::size_t>(index)];
}

void TReadDirHandles::Retire(const std::vector<uint32_t> &directories)
{
    std::lock_guard<std::mutex> hold(Lock);
    for (uint32_t directory : directories) {
        long index = Snapshots.IndexOf([directory](const TReadDirSnapshot &s) { return s.Directory == directory; });
        if (index >= 0) Snapshots.Delete(static_cast<std::size_t>(index));
    }
}
