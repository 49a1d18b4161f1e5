// The three ONC RPC programs of the server (portmapper 2, MOUNT 3, NFS 3) over whatever transport
// delivers whole call records: the XDR coders, the RPC-level replies, the host and mount checks and
// the procedures. TDaemon (fDaemon) adds the sockets and the server thread.
#pragma once

#include "fFiles.h"
#include "fObjectHandles.h"
#include "fXdr.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

constexpr uint16_t PmapPort = 111;
constexpr uint16_t MountPort = 635;
constexpr uint16_t NfsPort = 2049;

constexpr uint32_t PmapProgram = 100000;
constexpr uint32_t MountProgram = 100005;
constexpr uint32_t NfsProgram = 100003;
constexpr uint32_t PmapVersion = 2;
constexpr uint32_t MountVersion = 3;
constexpr uint32_t NfsVersion = 3;

constexpr uint32_t IpProtoTcp = 6;
constexpr uint32_t IpProtoUdp = 17;

// Accept status of a call that reached its procedure.
constexpr uint32_t AcceptSuccess = 0;
// Longest Windows path the server works with, and the longest name it reports (PATHCONF).
constexpr uint32_t MaxPathChars = 260;

// What a failed address conversion gives; never a valid client.
constexpr uint32_t NoAddress = 0xFFFFFFFFu;

// nfsstat3 values the server sends.
enum : uint32_t {
    NFS3_OK = 0,
    NFS3ERR_NOENT = 2,
    NFS3ERR_NXIO = 6,
    NFS3ERR_ACCES = 13,
    NFS3ERR_EXIST = 17,
    NFS3ERR_NOTDIR = 20,
    NFS3ERR_ISDIR = 21,
    NFS3ERR_NOSPC = 28,
    NFS3ERR_NAMETOOLONG = 63,
    NFS3ERR_NOTEMPTY = 66,
    NFS3ERR_STALE = 70,
    NFS3ERR_BADHANDLE = 10001,
    NFS3ERR_BAD_COOKIE = 10003,
    NFS3ERR_NOTSUPP = 10004,
    NFS3ERR_TOOSMALL = 10005,
    NFS3ERR_SERVERFAULT = 10006,
};

uint32_t MapWin32Error(uint32_t error);

// sattr3 as SETATTR, CREATE and MKDIR receive it. A time to set is always set to the server's time.
struct TSattr3 {
    bool SetMode = false, SetUid = false, SetGid = false, SetSize = false;
    uint32_t Mode = 0, Uid = 0, Gid = 0;
    uint64_t Size = 0;
    bool SetAtime = false, SetMtime = false;
};

// WRITE's stable_how.
constexpr uint32_t Unstable = 0;

// A mount names the folder its path resolves to, so that every spelling of one folder is one mount.
struct TMount {
    uint32_t Folder = 0;  // the folder's identity
    int32_t Count = 0;
    uint32_t Client = 0;
};

class TMounts : public TOwningList<TMount> {
public:
    // The entry of this folder and client, or -1.
    long IndexOf(uint32_t folder, uint32_t client) const;
};

class TRpcPrograms {
public:
    enum class TCallResult { Reply, NoReply, CloseConnection };

    // Raises std::runtime_error when the root folder does not exist.
    TRpcPrograms(TFileSystem &files, const std::wstring &root, uint32_t codePage, TIdentityStore *identities = nullptr);
    virtual ~TRpcPrograms();
    TRpcPrograms(const TRpcPrograms &) = delete;
    TRpcPrograms &operator=(const TRpcPrograms &) = delete;

    // Adds one word of the "Host" setting; an empty word adds nothing.
    void AddAllowedHost(const std::string &host);
    bool IsAllowedHost(uint32_t client) const;
    bool IsMountedClient(uint32_t client) const;

    // Serves the call held whole in Request (its payload, no record mark) that came to localPort from
    // peer. On Reply the record to send lies in Reply from Head to Tail (record mark included on TCP),
    // followed by ReplyWindow: file data sent from where it lies, with its XDR padding.
    TCallResult ServeCall(uint16_t localPort, bool tcp, uint32_t peer);
    // Once the reply has gone (or will not): lets go of what its window needed, READ's open file.
    void ReplyDone() { WindowFile.reset(); }

    // The end of a reply that is sent from another buffer without a copy (READ's data).
    struct TReplyWindow {
        const uint8_t *Data = nullptr;
        uint32_t Length = 0;
        uint32_t Padding = 0;
    };

    TXdrBuffer Request;
    TXdrBuffer Reply;
    TXdrBuffer Io;
    TReplyWindow ReplyWindow;

protected:
    // The file READ's data came from, open until its reply has gone.
    std::unique_ptr<TOpenFile> WindowFile;

    // Host name lookup for AddAllowedHost; NoAddress when the name is unknown.
    virtual uint32_t ResolveHost(const std::string &host);
    // The current socket's buffer sizes; READDIR and FSINFO fail with a server fault without them.
    virtual bool SocketBufferSizes(uint32_t &receive, uint32_t &send);

    TFileSystem &Files;
    uint32_t CodePage;
    TMounts Mounts;
    std::vector<uint32_t> AllowedAddrs;
    TObjectHandles ObjectHandles;
    TReadDirHandles ReadDirHandles;

private:
    // Decoders: false when the request is exhausted.
    bool ReadUInt32(uint32_t &value);
    bool ReadBool(bool &value);
    bool ReadHyper(uint64_t &value);
    bool ReadBytes(void *to, uint32_t n);
    bool SkipBytes(uint32_t n);
    bool ReadHandle(uint32_t &handle);
    // A filename3 or dirpath of 1 to 1023 bytes, taken up to its first zero byte.
    bool ReadText(std::string &text);
    // Encoders: false when the reply would pass BufferLimit.
    bool WriteBytes(const void *from, uint32_t n);
    bool WriteUInt32(uint32_t value);
    bool WriteBool(bool value);
    bool WriteHyper(uint64_t value);
    bool WriteHandle(const TObjectHandle &object);
    bool WriteOpaque(const void *from, uint32_t n);
    // Opaque data that ends the reply, sent from where it lies.
    bool WriteOpaqueWindow(const uint8_t *from, uint32_t n);
    bool WritePostOpAttr(const TFattr3 *attributes);
    bool WriteGarbageArgs();

    std::wstring AnsiToWideName(const std::string &name, bool &ok);
    std::string WideToAnsiName(const std::wstring &name, bool &ok);

    // Status of a handle argument: 0, NFS3ERR_BADHANDLE or NFS3ERR_STALE.
    uint32_t CheckHandle(uint32_t handle, TObjectHandle *&object);
    uint32_t CheckDirectory(uint32_t handle, TDirHandle *&directory);
    // The handle checks, then the object's attributes (a failure mapped).
    uint32_t CheckAttributes(uint32_t handle, TObjectHandle *&object, TFattr3 &attributes);

    bool PmapNull();
    bool PmapGetPort();
    bool PmapDump();
    bool PmapGetTime();

    bool MountNull();
    bool MountMnt();
    bool MountUmnt();
    bool MountUmntAll();
    // The folder a MNT or UMNT path names, as a MOUNT status.
    uint32_t ResolveMountPath(const std::string &path, TDirHandle *&directory);

    bool NfsNull();
    bool NfsGetattr();
    bool NfsLookup();
    bool NfsAccess();
    bool NfsRead();
    bool NfsReaddir();
    bool NfsReaddirplus();
    bool NfsFsstat();
    bool NfsFsinfo();
    bool NfsPathconf();
    bool ReadDirectory(bool plus);

    bool NfsSetattr();
    bool NfsWrite();
    bool NfsCreate();
    bool NfsMkdir();
    bool NfsRemove();
    bool NfsRmdir();
    bool NfsRename();
    bool NfsCommit();
    bool ReadSattr3(TSattr3 &attributes);
    // wcc_data: the size and times before, the attributes after; FALSE, FALSE when either is none.
    bool WriteWccData(const TFattr3 *before, const TFattr3 *after);
    // A directory argument and a name to create, remove or rename in it: the handle checks, the
    // directory's attributes (before) and the name's rules. The converted name lands in wide.
    uint32_t CheckChange(uint32_t handle, const std::string &name, TDirHandle *&directory, std::wstring &wide,
                         TFattr3 &before);
    bool RemoveEntry(bool folder);
    // The rest of CREATE and MKDIR once the new name is made (status 0) or refused.
    bool WriteMade(uint32_t status, TDirHandle *directory, const std::wstring &name, const TFattr3 &before);
    // Drops the table object of name in directory and all below it (handles stale, snapshots gone).
    void Forget(TDirHandle *directory, const std::wstring &name);

    bool Dispatch(uint16_t localPort, uint32_t program, uint32_t version, uint32_t procedure);

    // The last replies of the calls that change the tree, per client: a retransmission of one that was
    // done (the same call again, xid and all) gets the same reply instead of being done again.
    struct TDoneCall {
        std::vector<uint8_t> Call, Reply;  // without record marks
    };
    std::map<uint32_t, std::deque<TDoneCall>> DoneCalls;
    const TDoneCall *FindDone(uint32_t client) const;
    void RememberDone(uint32_t client, uint32_t replyStart);

    uint32_t Peer = NoAddress;
    bool Tcp = false;
};
