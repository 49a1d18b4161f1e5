#include "fRpcPrograms.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t RpcVersion = 2;
constexpr uint32_t MsgCall = 0;
constexpr uint32_t MsgReply = 1;
constexpr uint32_t MsgAccepted = 0;
constexpr uint32_t MsgDenied = 1;
constexpr uint32_t RpcMismatch = 0;
constexpr uint32_t AuthError = 1;
constexpr uint32_t AuthTooWeak = 5;
constexpr uint32_t AuthNull = 0;

constexpr uint32_t ProgUnavail = 1;
constexpr uint32_t ProgMismatch = 2;
constexpr uint32_t ProcUnavail = 3;
constexpr uint32_t GarbageArgs = 4;

constexpr uint32_t MaxTextLength = 1023;

// The NFS procedures whose second run would not give the first one's answer: CREATE, MKDIR, REMOVE,
// RMDIR, RENAME.
constexpr uint32_t ChangingProcedures[] = {8, 9, 12, 13, 14};
constexpr std::size_t DoneCallsPerClient = 64;
constexpr std::size_t MaxDoneClients = 1024;

constexpr uint32_t MNT3_OK = 0;
constexpr uint32_t MNT3ERR_NOENT = 2;
constexpr uint32_t MNT3ERR_ACCES = 13;
constexpr uint32_t MNT3ERR_NOTDIR = 20;
constexpr uint32_t MNT3ERR_NAMETOOLONG = 63;

struct TMapping {
    uint32_t Program, Version, Protocol, Port;
};
constexpr TMapping Mappings[] = {
    {PmapProgram, PmapVersion, IpProtoTcp, PmapPort},    {PmapProgram, PmapVersion, IpProtoUdp, PmapPort},
    {MountProgram, MountVersion, IpProtoTcp, MountPort}, {MountProgram, MountVersion, IpProtoUdp, MountPort},
    {NfsProgram, NfsVersion, IpProtoTcp, NfsPort},       {NfsProgram, NfsVersion, IpProtoUdp, NfsPort},
};

// Dotted IPv4 text to an address in network order, as inet_addr reads the usual form.
bool ParseDotted(const std::string &text, uint32_t &address)
{
    uint32_t parts[4];
    int count = 0;
    std::size_t at = 0;
    while (count < 4) {
        std::size_t end = text.find('.', at);
        std::string part = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos)
            return false;
        parts[count] = static_cast<uint32_t>(std::stoul(part));
        if (parts[count++] > 255) return false;
        if (end == std::string::npos) break;
        at = end + 1;
    }
    if (count != 4) return false;
    const uint8_t bytes[4] = {uint8_t(parts[0]), uint8_t(parts[1]), uint8_t(parts[2]), uint8_t(parts[3])};
    std::memcpy(&address, bytes, 4);
    return true;
}

}  // namespace

long TMounts::IndexOf(uint32_t folder, uint32_t client) const
{
    return TOwningList<TMount>::IndexOf([&](const TMount &m) { return m.Client == client && m.Folder == folder; });
}

TRpcPrograms::TRpcPrograms(TFileSystem &files, const std::wstring &root, uint32_t codePage,
                           TIdentityStore *identities)
    : Files(files), CodePage(codePage), ObjectHandles(files, root, identities), ReadDirHandles(ObjectHandles)
{
    Io.Uncached = true;
    ResizeBuffer(Request, RequestCapacity, 1);
    ResizeBuffer(Reply, ReplyCapacity, 1);
    ResizeBuffer(Io, IoCapacity, 1);
}

TRpcPrograms::~TRpcPrograms()
{
    FreeBuffer(Request);
    FreeBuffer(Reply);
    FreeBuffer(Io);
}

uint32_t TRpcPrograms::ResolveHost(const std::string &host)
{
    uint32_t address;
    return ParseDotted(host, address) ? address : NoAddress;
}

bool TRpcPrograms::SocketBufferSizes(uint32_t &receive, uint32_t &send)
{
    receive = send = BufferLimit;
    return true;
}

void TRpcPrograms::AddAllowedHost(const std::string &host)
{
    if (!host.empty()) AllowedAddrs.push_back(ResolveHost(host));
}

bool TRpcPrograms::IsAllowedHost(uint32_t client) const
{
    if (client == NoAddress) return false;
    return AllowedAddrs.empty() || std::find(AllowedAddrs.begin(), AllowedAddrs.end(), client) != AllowedAddrs.end();
}

bool TRpcPrograms::IsMountedClient(uint32_t client) const
{
    if (client == NoAddress) return false;
    for (std::size_t i = 0; i < Mounts.Count(); ++i)
        if (Mounts[i]->Client == client) return true;
    return false;
}

// ---- coders

bool TRpcPrograms::ReadBytes(void *to, uint32_t n)
{
    // Compared against what is left, so that no client length can wrap the sum.
    if (Request.Head > Request.Tail || n > Request.Tail - Request.Head) return false;
    std::memcpy(to, Request.Data + Request.Head, n);
    Request.Head = static_cast<uint32_t>(std::min<uint64_t>(Request.Head + XdrPadded(n), Request.Tail));
    return true;
}

bool TRpcPrograms::SkipBytes(uint32_t n)
{
    if (Request.Head > Request.Tail || n > Request.Tail - Request.Head) return false;
    Request.Head = static_cast<uint32_t>(std::min<uint64_t>(Request.Head + XdrPadded(n), Request.Tail));
    return true;
}

bool TRpcPrograms::ReadUInt32(uint32_t &value)
{
    uint8_t bytes[4];
    if (!ReadBytes(bytes, 4)) return false;
    value = GetUInt32(bytes);
    return true;
}

bool TRpcPrograms::ReadBool(bool &value)
{
    uint32_t word;
    if (!ReadUInt32(word)) return false;
    value = word != 0;
    return true;
}

bool TRpcPrograms::ReadHyper(uint64_t &value)
{
    uint32_t high, low;
    if (!ReadUInt32(high) || !ReadUInt32(low)) return false;
    value = uint64_t(high) << 32 | low;
    return true;
}

bool TRpcPrograms::ReadHandle(uint32_t &handle)
{
    uint32_t length;
    return ReadUInt32(length) && length == 4 && ReadUInt32(handle);
}

bool TRpcPrograms::ReadText(std::string &text)
{
    uint32_t length;
    if (!ReadUInt32(length) || length < 1 || length > MaxTextLength) return false;
    char bytes[MaxTextLength];
    if (!ReadBytes(bytes, length)) return false;
    text.assign(bytes, strnlen(bytes, length));
    return true;
}

bool TRpcPrograms::WriteBytes(const void *from, uint32_t n)
{
    if (ReplyWindow.Data) return false;  // the window ends the reply
    uint64_t end = uint64_t(Reply.Tail) + n;
    if (Reply.Capacity < end) {
        uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(end, BufferLimit));
        if (!ResizeBuffer(Reply, want, ReplyGranularity)) return false;
    }
    if (end > Reply.Capacity) return false;
    std::memcpy(Reply.Data + Reply.Tail, from, n);
    Reply.Tail += n;
    while (Reply.Tail % 4) Reply.Data[Reply.Tail++] = 0;
    return true;
}

bool TRpcPrograms::WriteUInt32(uint32_t value)
{
    uint8_t bytes[4];
    PutUInt32(bytes, value);
    return WriteBytes(bytes, 4);
}

bool TRpcPrograms::WriteBool(bool value) { return WriteUInt32(value ? 1 : 0); }

bool TRpcPrograms::WriteHyper(uint64_t value)
{
    uint8_t bytes[8];
    PutUInt64(bytes, value);
    return WriteBytes(bytes, 8);
}

bool TRpcPrograms::WriteOpaque(const void *from, uint32_t n) { return WriteUInt32(n) && WriteBytes(from, n); }

bool TRpcPrograms::WriteOpaqueWindow(const uint8_t *from, uint32_t n)
{
    const uint32_t padding = static_cast<uint32_t>(XdrPadded(n) - n);
    if (!WriteUInt32(n) || uint64_t(Reply.Tail - Reply.Head) + n + padding > BufferLimit) return false;
    ReplyWindow = {from, n, padding};
    return true;
}

bool TRpcPrograms::WriteHandle(const TObjectHandle &object)
{
    return WriteUInt32(4) && WriteUInt32(object.Identity());
}

bool TRpcPrograms::WritePostOpAttr(const TFattr3 *attributes)
{
    if (!attributes) return WriteBool(false);
    return WriteBool(true) && WriteBytes(*attributes, Fattr3Size);
}

bool TRpcPrograms::WriteGarbageArgs() { return WriteUInt32(GarbageArgs); }

std::wstring TRpcPrograms::AnsiToWideName(const std::string &name, bool &ok)
{
    std::wstring wide;
    ok = Files.ToWide(CodePage, name, wide) && wide.size() <= MaxTextLength;
    return wide;
}

std::string TRpcPrograms::WideToAnsiName(const std::wstring &name, bool &ok)
{
    std::string text;
    ok = Files.ToNarrow(CodePage, name, text) && text.size() <= MaxTextLength + 1;
    return text;
}

// ---- the call

TRpcPrograms::TCallResult TRpcPrograms::ServeCall(uint16_t localPort, bool tcp, uint32_t peer)
{
    Peer = peer;
    Tcp = tcp;
    ReplyDone();
    Request.Head = 0;
    Reply.Head = 0;
    Reply.Tail = tcp ? RecordMarkSize : 0;
    ReplyWindow = TReplyWindow();

    uint32_t xid;
    if (!ReadUInt32(xid)) return TCallResult::CloseConnection;
    uint32_t type, rpcVersion, program, version, procedure, flavour, length;
    bool read = ReadUInt32(type) && ReadUInt32(rpcVersion) && ReadUInt32(program) && ReadUInt32(version) &&
                ReadUInt32(procedure) && ReadUInt32(flavour) && ReadUInt32(length) && SkipBytes(length) &&
                ReadUInt32(flavour) && ReadUInt32(length) && SkipBytes(length);
    if (!read) return TCallResult::NoReply;
    if (localPort != PmapPort && localPort != MountPort && localPort != NfsPort) return TCallResult::NoReply;

    const uint32_t replyStart = Reply.Tail;
    const bool changing = localPort == NfsPort && program == NfsProgram && version == NfsVersion &&
                          std::find(std::begin(ChangingProcedures), std::end(ChangingProcedures), procedure) !=
                              std::end(ChangingProcedures);
    const TDoneCall *done = changing && type == MsgCall && rpcVersion == RpcVersion ? FindDone(peer) : nullptr;
    if (done) {
        if (!WriteBytes(done->Reply.data(), static_cast<uint32_t>(done->Reply.size()))) return TCallResult::NoReply;
        if (tcp) PutUInt32(Reply.Data + Reply.Head, (Reply.Tail - replyStart) | RecordLastFragment);
        return TCallResult::Reply;
    }

    bool written = WriteUInt32(xid) && WriteUInt32(MsgReply);
    if (rpcVersion != RpcVersion || type != MsgCall) {
        written = written && WriteUInt32(MsgDenied) && WriteUInt32(RpcMismatch) && WriteUInt32(RpcVersion) &&
                  WriteUInt32(RpcVersion);
    } else {
        bool allowed = localPort == NfsPort ? IsMountedClient(peer) : IsAllowedHost(peer);
        if (!allowed)
            written = written && WriteUInt32(MsgDenied) && WriteUInt32(AuthError) && WriteUInt32(AuthTooWeak);
        else
            written = written && WriteUInt32(MsgAccepted) && WriteUInt32(AuthNull) && WriteUInt32(0) &&
                      Dispatch(localPort, program, version, procedure);
        if (written && allowed && changing) RememberDone(peer, replyStart);
    }
    if (!written) return TCallResult::NoReply;
    const uint32_t payload = Reply.Tail - Reply.Head - RecordMarkSize + ReplyWindow.Length + ReplyWindow.Padding;
    if (tcp) PutUInt32(Reply.Data + Reply.Head, payload | RecordLastFragment);
    return TCallResult::Reply;
}

const TRpcPrograms::TDoneCall *TRpcPrograms::FindDone(uint32_t client) const
{
    auto calls = DoneCalls.find(client);
    if (calls == DoneCalls.end()) return nullptr;
    for (const TDoneCall &done : calls->second)
        if (done.Call.size() == Request.Tail && std::equal(done.Call.begin(), done.Call.end(), Request.Data))
            return &done;
    return nullptr;
}

void TRpcPrograms::RememberDone(uint32_t client, uint32_t replyStart)
{
    // A client that is gone makes room for the newest: the table of clients stays bounded too.
    if (DoneCalls.size() >= MaxDoneClients && !DoneCalls.count(client)) DoneCalls.erase(DoneCalls.begin());
    std::deque<TDoneCall> &calls = DoneCalls[client];
    if (calls.size() >= DoneCallsPerClient) calls.pop_front();
    calls.push_back({std::vector<uint8_t>(Request.Data, Request.Data + Request.Tail),
                     std::vector<uint8_t>(Reply.Data + replyStart, Reply.Data + Reply.Tail)});
}

bool TRpcPrograms::Dispatch(uint16_t localPort, uint32_t program, uint32_t version, uint32_t procedure)
{
    using TProcedure = bool (TRpcPrograms::*)();
    struct TProgram {
        uint16_t Port;
        uint32_t Program, Version;
        std::vector<std::pair<uint32_t, TProcedure>> Procedures;
    };
    static const TProgram programs[] = {
        {PmapPort, PmapProgram, PmapVersion,
         {{0, &TRpcPrograms::PmapNull}, {3, &TRpcPrograms::PmapGetPort}, {4, &TRpcPrograms::PmapDump},
          {6, &TRpcPrograms::PmapGetTime}}},
        {MountPort, MountProgram, MountVersion,
         {{0, &TRpcPrograms::MountNull}, {1, &TRpcPrograms::MountMnt}, {3, &TRpcPrograms::MountUmnt},
          {4, &TRpcPrograms::MountUmntAll}}},
        {NfsPort, NfsProgram, NfsVersion,
         {{0, &TRpcPrograms::NfsNull}, {1, &TRpcPrograms::NfsGetattr}, {2, &TRpcPrograms::NfsSetattr},
          {3, &TRpcPrograms::NfsLookup}, {4, &TRpcPrograms::NfsAccess}, {6, &TRpcPrograms::NfsRead},
          {7, &TRpcPrograms::NfsWrite}, {8, &TRpcPrograms::NfsCreate}, {9, &TRpcPrograms::NfsMkdir},
          {12, &TRpcPrograms::NfsRemove}, {13, &TRpcPrograms::NfsRmdir}, {14, &TRpcPrograms::NfsRename},
          {16, &TRpcPrograms::NfsReaddir}, {17, &TRpcPrograms::NfsReaddirplus}, {18, &TRpcPrograms::NfsFsstat},
          {19, &TRpcPrograms::NfsFsinfo}, {20, &TRpcPrograms::NfsPathconf}, {21, &TRpcPrograms::NfsCommit}}},
    };
    for (const TProgram &p : programs) {
        if (p.Port != localPort) continue;
        if (program != p.Program) return WriteUInt32(ProgUnavail);
        if (version != p.Version) return WriteUInt32(ProgMismatch) && WriteUInt32(p.Version) && WriteUInt32(p.Version);
        for (const auto &entry : p.Procedures)
            if (entry.first == procedure) return (this->*entry.second)();
        return WriteUInt32(ProcUnavail);
    }
    return false;
}

// ---- portmapper

bool TRpcPrograms::PmapNull() { return WriteUInt32(AcceptSuccess); }

bool TRpcPrograms::PmapGetPort()
{
    uint32_t program, version, protocol, port;
    if (!(ReadUInt32(program) && ReadUInt32(version) && ReadUInt32(protocol) && ReadUInt32(port)))
        return WriteGarbageArgs();
    uint32_t found = 0;
    for (const TMapping &m : Mappings)
        if (m.Program == program && m.Version == version) found = m.Port;
    return WriteUInt32(AcceptSuccess) && WriteUInt32(found);
}

bool TRpcPrograms::PmapDump()
{
    bool written = WriteUInt32(AcceptSuccess);
    for (const TMapping &m : Mappings)
        written = written && WriteBool(true) && WriteUInt32(m.Program) && WriteUInt32(m.Version) &&
                  WriteUInt32(m.Protocol) && WriteUInt32(m.Port);
    return written && WriteBool(false);
}

bool TRpcPrograms::PmapGetTime()
{
    uint32_t seconds, nanoseconds;
    FileTimeToNfsTime(Files.SystemTime(), Files.TimeZoneBias(), seconds, nanoseconds);
    return WriteUInt32(AcceptSuccess) && WriteUInt32(seconds);
}

// ---- MOUNT

bool TRpcPrograms::MountNull() { return WriteUInt32(AcceptSuccess); }

// Only paths from "/" down, never above the root.
uint32_t TRpcPrograms::ResolveMountPath(const std::string &path, TDirHandle *&directory)
{
    if (path.size() > MaxPathChars) return MNT3ERR_NAMETOOLONG;
    if (path.empty() || path[0] != '/') return MNT3ERR_ACCES;
    bool converted;
    std::wstring wide = AnsiToWideName(path, converted);
    if (!converted) return MNT3ERR_NOENT;
    directory = ObjectHandles.Root();
    std::size_t at = 1;
    while (at <= wide.size()) {
        std::size_t end = std::min(wide.find(L'/', at), wide.size());
        std::wstring part = wide.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == L".") continue;
        if (part == L".." || part.find_first_of(L"\\:") != std::wstring::npos) return MNT3ERR_ACCES;
        TObjectHandle *object = ObjectHandles.FindOrCreate(directory, part);
        if (!object) return MNT3ERR_NOENT;
        if (!object->IsDirectory()) return MNT3ERR_NOTDIR;
        directory = static_cast<TDirHandle *>(object);
    }
    return MNT3_OK;
}

bool TRpcPrograms::MountMnt()
{
    std::string path;
    if (!ReadText(path)) return WriteGarbageArgs();
    TDirHandle *directory = nullptr;
    uint32_t status = IsAllowedHost(Peer) ? ResolveMountPath(path, directory) : MNT3ERR_ACCES;
    bool written = WriteUInt32(AcceptSuccess) && WriteUInt32(status);
    if (status != MNT3_OK) return written;
    written = written && WriteHandle(*directory) && WriteUInt32(1) && WriteUInt32(AuthNull);

    long index = Mounts.IndexOf(directory->Identity(), Peer);
    TMount *mount;
    if (index < 0) {
        auto added = std::make_unique<TMount>();
        added->Folder = directory->Identity();
        added->Client = Peer;
        mount = Mounts.Add(std::move(added));
    } else {
        mount = Mounts[static_cast<std::size_t>(index)];
    }
    ++mount->Count;
    return written;
}

bool TRpcPrograms::MountUmnt()
{
    std::string path;
    if (!ReadText(path)) return WriteGarbageArgs();
    bool mounted = IsMountedClient(Peer);
    bool written = WriteUInt32(AcceptSuccess) && WriteUInt32(mounted ? MNT3_OK : MNT3ERR_ACCES);
    if (!mounted) return written;
    TDirHandle *directory = nullptr;
    long index = ResolveMountPath(path, directory) == MNT3_OK ? Mounts.IndexOf(directory->Identity(), Peer) : -1;
    if (index >= 0) {
        TMount *mount = Mounts[static_cast<std::size_t>(index)];
        if (mount->Count < 2)
            Mounts.Delete(static_cast<std::size_t>(index));
        else
            --mount->Count;
    }
    return written;
}

bool TRpcPrograms::MountUmntAll()
{
    bool mounted = IsMountedClient(Peer);
    bool written = WriteUInt32(AcceptSuccess) && WriteUInt32(mounted ? MNT3_OK : MNT3ERR_ACCES);
    if (!mounted) return written;
    for (std::size_t i = Mounts.Count(); i-- > 0;)
        if (Mounts[i]->Client == Peer) Mounts.Delete(i);
    return written;
}
