// The file-handle table: every file and folder a client has looked up, named by a 4-byte handle, and
// the directory snapshots that READDIR and READDIRPLUS page through.
#pragma once

#include "fFiles.h"
#include "framework/OwningList.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

constexpr uint32_t Fattr3Size = 84;
using TFattr3 = uint8_t[Fattr3Size];

class TDirHandle;

class TObjectHandle {
public:
    TObjectHandle(TDirHandle *parent, std::wstring name, std::wstring path, uint32_t identity);
    virtual ~TObjectHandle() = default;

    const std::wstring &GetName() const { return Name; }
    // The full Windows path, without a trailing "\".
    const std::wstring &GetPath() const { return Path; }
    TDirHandle *Parent() const { return FParent; }
    // The handle on the wire and the file id: unique for the whole run, never 0.
    uint32_t Identity() const { return FIdentity; }
    virtual bool IsDirectory() const = 0;

    // Known to lie in the served folder: where the object really is was checked. Objects a listing
    // made are checked at their first use.
    bool Placed = false;
    // Its path passes a link: any change in the folder may make it lead elsewhere.
    bool PastLink = false;

private:
    std::wstring Name;
    std::wstring Path;
    TDirHandle *FParent;
    uint32_t FIdentity;
};

class TFileHandle : public TObjectHandle {
public:
    using TObjectHandle::TObjectHandle;
    bool IsDirectory() const override { return false; }

    std::unique_ptr<TOpenFile> CachedHandle;  // open for writing, or none
    uint32_t LastUse = 0;                     // tick count of the last write through it
};

class TDirHandle : public TObjectHandle {
public:
    TDirHandle(TDirHandle *parent, std::wstring name, std::wstring path, uint32_t identity,
               uint32_t bytesPerSector);
    bool IsDirectory() const override { return true; }

    uint32_t BytesPerSector;
    uint64_t AlignmentMask;

    // The newest write time among the folder's entries (its times), kept while the folder's own write
    // time stays TimesKey: a folder is listed once per change, not on every look at its attributes.
    bool TimesKnown = false;
    uint64_t TimesKey = 0;
    uint64_t NewestWrite = 0;
};

// True when name can name an entry of a folder: not empty, no separator or drive colon, and nothing
// Windows would read as another name (trailing dots or blanks) or as a device (NUL, COM1, con.txt).
// "." and ".." pass: they name the folder itself and its parent.
bool IsEntryName(const std::wstring &name);

// The path of name in folder.
std::wstring JoinPath(const std::wstring &folder, const std::wstring &name);

// Windows file time to nfstime3, local time as the bias gives it.
void FileTimeToNfsTime(uint64_t fileTime, int32_t biasMinutes, uint32_t &seconds, uint32_t &nanoseconds);

// Where a run records how far its handles may go, so that the next run starts beyond them: a handle
// kept by a client across a restart is then stale rather than naming another object.
class TIdentityStore {
public:
    virtual ~TIdentityStore() = default;
    // The first identity no earlier run can have handed out; false when none is recorded. Raises
    // std::runtime_error when a record is there but cannot be read: the run must not start.
    virtual bool Load(uint32_t &next) = 0;
    virtual void Save(uint32_t next) = 0;
};

class TObjectHandles {
public:
    // Raises std::runtime_error "Can't open folder \"<root>\"" when the root folder does not exist.
    // Without a store, a run's handles start where the start time puts them.
    TObjectHandles(TFileSystem &files, const std::wstring &root, TIdentityStore *store = nullptr);

    TFileSystem &Files() const { return FFiles; }
    TDirHandle *Root() const { return FRoot; }
    std::size_t Count() const { return ByIdentity.size(); }

    // The object of this name in parent, made on first use when it exists on disk; none otherwise, and
    // none when a link or reparse point leads it out of the served folder. Every spelling of the name
    // (letter case, a short name) finds the one object, which is known by the name the folder keeps.
    // "." is parent itself and ".." its parent, the root's ".." being the root.
    // A listing's record of the name, when given, says what it is without asking the disk again; where
    // such an object really is gets checked at its first use.
    TObjectHandle *FindOrCreate(TDirHandle *parent, const std::wstring &name, const TFileInfo *listed = nullptr);
    // The object of this name in parent if one was made, without looking at the disk; none otherwise.
    TObjectHandle *FindKnown(TDirHandle *parent, const std::wstring &name) const;
    // The name the folder keeps for name (another spelling of it, such as a short name, gives the one
    // the object is known by); name itself when the folder holds no such entry.
    std::wstring StoredName(const TDirHandle &folder, const std::wstring &name);
    // The live object with this handle, or none (also when it turns out to lie outside the folder).
    TObjectHandle *Find(uint32_t handle);
    // True when path, followed through every link, leads out of the served folder.
    bool LeadsOutside(const std::wstring &path);
    // True when the entry of this name (the name the folder keeps) is a link or reparse point: where it
    // leads is not where it stands.
    bool IsLink(const TDirHandle &folder, const std::wstring &name);

    // A folder's listing, when the caller has just taken one, gives its times without listing it again.
    bool GetAttr(TObjectHandle &object, TFattr3 &attributes, const std::vector<TFindRecord> *listing = nullptr);
    bool BuildFattr3(TObjectHandle &object, TOpenFile &file, TFattr3 &attributes);
    // The attributes from what the system said of the object (an open handle or a listing's record).
    void BuildFattr3(TObjectHandle &object, const TFileInfo &info, TFattr3 &attributes,
                     const std::vector<TFindRecord> *listing = nullptr);
    void CloseCachedHandle(TFileHandle &file);
    // Closes the cached handles of the object and of every file below it, so that the server's own
    // handles never stand in the way of deleting or moving it.
    void CloseCachedHandles(TObjectHandle &object);
    // Closes the cached handles of the files reached past a link: any of them may be the file a change
    // is about, reached another way.
    void CloseCachedPastLinks();
    // Closes cached handles unused for longer than maxAge milliseconds.
    void AgeCachedHandles(uint32_t now, uint32_t maxAge);
    // The server changed the folder's entries: its times take the change in without a new listing.
    void FolderChanged(TDirHandle &folder);
    // Removes the object and everything below it; their handles become stale. Returns the identities
    // of the directories removed, whose snapshots must go too.
    std::vector<uint32_t> Delete(TObjectHandle *object);
    // After a change in the folder: removes every object whose path passes a link, as the change may
    // have made that path lead to another object or out of the folder. Returns the directories removed.
    std::vector<uint32_t> RetirePastLinks();

private:
    using TNameKey = std::pair<uint32_t, std::wstring>;  // parent identity, folded name

    uint32_t TakeIdentity();
    TObjectHandle *Add(std::unique_ptr<TObjectHandle> object);
    // The objects made in the folder: a run of ByName, whose keys begin with the folder's identity.
    std::vector<TObjectHandle *> Children(const TObjectHandle &folder) const;
    // The object when it lies in the served folder; otherwise it is dropped and none is returned.
    TObjectHandle *Placed(TObjectHandle *object);
    // direct, when given, says whether path reaches the object without passing a link.
    bool IsInside(const std::wstring &path, bool unknownIsInside, bool *direct = nullptr);

    TFileSystem &FFiles;
    std::map<TNameKey, TObjectHandle *> ByName;
    // Every object by its handle, which owns it. Changes find what they touch through this and ByName,
    // never by going through the whole table.
    std::unordered_map<uint32_t, std::unique_ptr<TObjectHandle>> ByIdentity;
    std::set<uint32_t> PastLinks;  // the identities of the objects whose path passes a link
    TDirHandle *FRoot = nullptr;
    // Where the root really is, folded: its name on its volume, and its full path once a link needs it.
    std::wstring RootOnVolume, RootFull;
    TIdentityStore *Store;
    uint32_t NextIdentity;
    uint32_t ReservedTo;  // the store says no earlier run went beyond this
};

// The snapshot of one directory: its listing as taken by the last READDIR(PLUS) with verifier 0.
// It names its directory by identity, so a snapshot of a deleted directory can never be matched again.
struct TReadDirSnapshot {
    uint32_t Directory;
    uint32_t Verifier;  // unique for the whole run, never 0
    std::vector<TFindRecord> Files;
};

class TReadDirHandles {
public:
    explicit TReadDirHandles(TObjectHandles &handles) : Handles(handles) {}

    // Held by READDIR and READDIRPLUS for the whole of their work.
    std::mutex Lock;

    // Lists the directory again; none when it cannot be listed (the error is the system's last).
    TReadDirSnapshot *TakeSnapshot(TDirHandle &directory);
    // The snapshot of this directory with this verifier, or none.
    TReadDirSnapshot *Find(const TDirHandle &directory, uint64_t verifier) const;
    // Drops the snapshots of directories that are gone.
    void Retire(const std::vector<uint32_t> &directories);

private:
    TObjectHandles &Handles;
    TOwningList<TReadDirSnapshot> Snapshots;
    uint32_t NextVerifier = 1;
};
