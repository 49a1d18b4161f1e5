#include "ServerSocket.h"

#include "framework/Profile.h"
#include "res/resource.h"

#include <algorithm>
#include <cstdio>

const TimeoutDefault TimeoutDefaults[kTimeoutDefaultCount] = {
    {"TOCmd", 1000},    {"TOConfTarget", 120},      {"TOFormat", 200},   {"TOAliveX", 100},
    {"TOCopy", 200},    {"WStartServices", 30000},  {"TOConfBoot", 200}, {"TOSignVerify", 10000},
};

namespace {

constexpr const char *kUseTimeoutsKey = "UseTimeouts";
constexpr int kUseTimeoutsDefault = 1;
constexpr const char *kWaitMark = "_WAIT_";
// The error of a socket built without an address source: host not found.
constexpr int kNoLocalAddress = 11001;
// The system's "the data is invalid": a configured address that is not one plain word.
constexpr int kInvalidLocalAddress = 13;
// A CONNECT is accepted only from a board whose release text names one of these products.
constexpr const char *kAcceptedReleases[] = {"PMR", "RCE", "ONE"};

int DefaultTimeout(const char *key)
{
    for (const TimeoutDefault &row : TimeoutDefaults) {
        if (std::string(row.key) == key) return row.value;
    }
    return 0;
}

void SeedTimeouts(CSettings &settings)
{
    for (const TimeoutDefault &row : TimeoutDefaults) {
        if (settings.GetInt(kTimeoutsSection, row.key, profile::kSeedMarker) == profile::kSeedMarker)
            settings.WriteInt(kTimeoutsSection, row.key, row.value);
    }
}

bool IsAcceptedRelease(const std::string &text)
{
    return std::any_of(std::begin(kAcceptedReleases), std::end(kAcceptedReleases),
                       [&](const char *release) { return text.find(release) != std::string::npos; });
}

}  // namespace

const CServerSocket::DispatchRow *CServerSocket::MessageDispatchTable()
{
    struct Rows {
        std::vector<DispatchRow> rows;
        void Add(Handler handler, std::initializer_list<int> ids)
        {
            for (int id : ids) rows.push_back({BoardMessageNames[id], id, handler});
        }
    };
    static const std::vector<DispatchRow> table = [] {
        Rows t;
        t.Add(&CServerSocket::OnSaveMessage, {kMsgSaveTeleStart, kMsgSaveTeleEnd, kMsgSaveIaStart, kMsgSaveIaEnd});
        t.Add(&CServerSocket::OnRestoreMessage,
              {kMsgRestoreTeleStart, kMsgRestoreTeleEnd, kMsgRestoreIaStart, kMsgRestoreIaEnd});
        t.Add(&CServerSocket::OnBoardErrorMessage,
              {kMsgMountServerErr, kMsgTimeErr, kMsgFlashDrvErr, kMsgFormatErr, kMsgEmountFlashErr,
               kMsgUnexportFlashErr, kMsgEumountFlashErr, kMsgUmountFlashErr, kMsgBootFlashErr, kMsgUmountServerErr,
               kMsgEraseErr, kMsgExportFlashErr, kMsgMountFlashErr, kMsgMsgErr, kMsgMsgErrEnd});
        t.Add(&CServerSocket::OnCopyWait, {kMsgCopyWait});
        t.Add(&CServerSocket::OnEventMessage, {kMsgFormatXmemOk, kMsgIaEtherAdress});
        t.Add(&CServerSocket::OnAlive, {kMsgAlive});
        t.Add(&CServerSocket::OnCopyDone, {kMsgCopyDone});
        t.rows.push_back({nullptr, kMsgNone, nullptr});
        return t.rows;
    }();
    return table.data();
}

CServerSocket::StepAllowances CServerSocket::ReadAllowances(CSettings &settings)
{
    SeedTimeouts(settings);
    auto read = [&](const char *key) { return settings.GetInt(kTimeoutsSection, key, DefaultTimeout(key)); };
    return {read("TOCmd"),     read("TOAliveX"), read("TOCopy"),      read("TOConfBoot"),
            read("TOConfTarget"), read("TOFormat"), read("TOSignVerify")};
}

CServerSocket::CServerSocket(CSettings &settings, std::unique_ptr<CDatagramSocket> socket, LocalAddress localAddress,
                             CBoardDialogueOwner *owner)
    : allowances_(ReadAllowances(settings)),
      useTimeouts_(static_cast<std::uint32_t>(settings.GetInt(kConfigSection, kUseTimeoutsKey, kUseTimeoutsDefault))),
      socket_(std::move(socket)),
      localAddress_(std::move(localAddress)),
      owner_(owner)
{
}

CServerSocket::~CServerSocket()
{
    RemoveAllSessions();
    if (socket_) socket_->Close();
}

bool CServerSocket::Open(CBoardDialogueOwner *owner)
{
    if (owner_ == nullptr) owner_ = owner;
    if (owner_ == nullptr || !socket_) return false;
    return socket_->Create(kLoaderPort, *this);
}

void CServerSocket::OnReceive(int)
{
    if (owner_ == nullptr) return;
    char buffer[kReceiveSize] = {};
    std::string address;
    unsigned port = 0;
    int size = socket_->ReceiveFrom(buffer, sizeof buffer, address, port);
    BoardMessage message;
    if (size < 0 || !DecodeBoardMessage(buffer, static_cast<std::size_t>(size), message)) {
        owner_->FormatSystemError(socket_->GetLastError(), "", false);
        return;
    }
    if (!IsAcceptableSource(port, message.header)) {
        owner_->LogText(address, IDS_SOURCE_REFUSED, FormatRefusedSource(port, message.header), false);
        return;
    }
    Dispatch(address, port, message);
}

void CServerSocket::Dispatch(const std::string &address, unsigned port, const BoardMessage &message)
{
    if (owner_ == nullptr) return;
    const int id = BoardMessageIdOf(message.header.cmd);
    std::shared_ptr<CSession> session = FindSession(address, port);
    if (session) {
        const bool accepted = (message.header.sess == session->sess && id != session->currentId) ||
                              (id == session->currentId && message.header.ta != session->ta);
        if (!accepted) {
            if (id != kMsgConnect) {
                owner_->LogText(address, IDS_REPEATED_DATAGRAM, "", false);
                return;
            }
            // The board starts over: its old conversation ends without a word.
            Unlist(*session);
            session.reset();
            if (sessions_.empty()) owner_->OnConversationRemoved();
        }
    }
    if (!session) {
        if (id != kMsgConnect || sessions_.size() >= kMaxSessions) return;
        session = std::make_shared<CSession>();
        sessions_.push_back(session);
    }

    CSession &s = *session;
    s.previousId = s.currentId;
    s.statusBefore = s.lastStatus;
    s.currentId = id;
    if (BoardMessageName(id) != nullptr) s.namedId = id;
    s.lastStatus = message.header.stat;
    s.ta = message.header.ta;
    s.ticks = allowances_.TOCmd;
    s.data = message.text;

    if (id == kMsgConnect) {
        OnConnect(s, address, port, message);
        return;
    }
    HandleInline(s, message, id);
}

void CServerSocket::HandleInline(CSession &session, const BoardMessage &message, int id)
{
    const std::string peer = session.peer;
    switch (id) {
    case kMsgMountServerOk:
    case kMsgExportFlashOk:
    case kMsgEumountFlashOk:
    case kMsgUmountFlashOk:
    case kMsgUmountServerOk:
    case kMsgEmountFlashOk:
    case kMsgMountFlashOk:
    case kMsgEraseOk:
        Ack(session);
        WaitMark();
        return;
    case kMsgTimeOk:
        session.ticks = allowances_.TOConfTarget;
        Ack(session);
        WaitMark();
        return;
    case kMsgFlashDrvOk:
        session.ticks = allowances_.TOFormat;
        Ack(session);
        WaitMark();
        LogSessionText(peer, IDS_FLASH_DRIVER_READY);
        owner_->SetStatusText(IDS_FORMAT_STATUS);
        return;
    case kMsgFormatOk:
    case kMsgFormatHdOk:
        session.ticks = allowances_.TOFormat;
        owner_->SetStatusText(IDS_IDLE_MESSAGE);
        if (IsListed(session)) Ack(session);
        WaitMark();
        return;
    case kMsgUnexportFlashOk:
        session.ticks = allowances_.TOConfBoot;
        Ack(session);
        LogSessionText(peer, IDS_FLASH_UNEXPORTED);
        return;
    case kMsgBootFlashOk:
        Ack(session);
        LogSessionText(peer, IDS_FLASH_BOOTED);
        return;
    case kMsgSwSignOk:
        session.ticks = allowances_.TOSignVerify;
        Ack(session);
        LogSessionText(peer, IDS_SIGNATURE_VERIFIED);
        return;
    case kMsgDisconnect:
        owner_->OnBoardEvent(kMsgDisconnect, message.header.stat, ShownBoardText(message.text));
        RemoveSession(session, kStatusAck);
        return;
    default:
        break;
    }
    for (const DispatchRow *row = MessageDispatchTable(); row->handler != nullptr; ++row) {
        if (row->id == id) {
            (this->*row->handler)(session, message);
            return;
        }
    }
}

void CServerSocket::OnConnect(CSession &session, const std::string &address, unsigned port,
                              const BoardMessage &message)
{
    std::string serverIp;
    const int addressError = localAddress_ ? localAddress_(serverIp) : kNoLocalAddress;
    session.peer = address;
    session.port = port;
    session.ta = message.header.ta;
    session.sess = message.header.sess;
    session.data = message.text;

    if (IsAcceptedRelease(message.text)) {
        // Without the PC's address the board could mount nothing, and a configured text that is no address
        // would reach the board's shell as something else: the board hears nothing and starts over.
        if (addressError != 0 || !IsDottedIpv4(serverIp)) {
            if (addressError != 0)
                owner_->FormatSystemError(addressError, address, false);
            else
                owner_->FormatSystemError(kInvalidLocalAddress, address + " CPFLASH_SERVER_IP=" + serverIp, false);
            if (Unlist(session) && sessions_.empty()) owner_->OnConversationRemoved();
            return;
        }
        session.data = FormatConnectAnswer(serverIp, session.sess);
        Ack(session);
        LogSessionText(address, IDS_CONNECT_ACCEPTED);
        owner_->OnConversationAdded();
        owner_->OnBoardEvent(kMsgConnect, message.header.stat, ShownBoardText(message.text));
        return;
    }
    LogSessionText(address, IDS_CONNECT_REFUSED);
    if (IsListed(session)) SendToBoard(session, kCurrent, kStatusEnd);
    owner_->ShowBoardMessage(owner_->LoadText(IDS_REFUSED_BOARD_HINT));
}

void CServerSocket::OnCopyWait(CSession &session, const BoardMessage &message)
{
    const std::uint32_t stat = message.header.stat;
    const bool copyStarts = session.previousId != kMsgCopyWait;
    const std::string peer = session.peer;
    if (stat == kStatusCopying) {
        session.ticks = allowances_.TOCopy;
        if (copyStarts) {
            owner_->SetStatusText(IDS_COPY_STATUS);
            LogSessionText(peer, IDS_COPY_STARTED);
        }
        WaitMark();
    } else {
        session.ticks = allowances_.TOConfBoot;
        if (stat == kStatusAck && copyStarts) {
            owner_->SetStatusText(IDS_COPY_STATUS);
            LogSessionText(peer, IDS_COPY_STARTED);
        }
        if (stat == kStatusEnd)
            owner_->OnBoardError(kMsgCopyWait, stat, ShownBoardText(message.text));
        else
            WaitMark();
    }
    if (IsListed(session)) Ack(session);
    owner_->OnCopyProgress(kMsgCopyWait, stat, ShownBoardText(message.text));
}

void CServerSocket::OnBoardErrorMessage(CSession &session, const BoardMessage &message)
{
    const int id = session.currentId;
    owner_->LogText(session.peer, IDS_BOARD_ERROR, std::string("\r\n[") + BoardMessageNames[id] + "]", false);
    owner_->OnBoardError(id, message.header.stat, ShownBoardText(message.text));
    if (IsListed(session)) Ack(session);
}

void CServerSocket::OnRestoreMessage(CSession &session, const BoardMessage &message)
{
    owner_->OnRestoreProgress(session.currentId, message.header.stat, ShownBoardText(message.text));
    if (IsListed(session)) Ack(session);
}

void CServerSocket::OnSaveMessage(CSession &session, const BoardMessage &message)
{
    owner_->OnSaveProgress(session.currentId, message.header.stat, ShownBoardText(message.text));
    if (IsListed(session)) Ack(session);
}

void CServerSocket::OnAlive(CSession &session, const BoardMessage &message)
{
    session.ticks = allowances_.TOAliveX;
    const bool repeated = session.previousId == kMsgAlive && session.statusBefore == message.header.stat;
    Ack(session);
    unsigned textId = 0;
    if (!repeated && !message.text.empty() && BoardTextResourceId(message.text, IDS_ALIVE_TEXT_BASE, textId)) {
        const std::string text = owner_->LoadText(textId);
        owner_->SetStatusText(text);
        owner_->LogText(text, 0, "", false);
    }
    WaitMark();
}

void CServerSocket::OnCopyDone(CSession &session, const BoardMessage &)
{
    Ack(session);
    WaitMark();
    if (owner_->InstallationType() != 0) owner_->StartStorageNfsServer();
}

void CServerSocket::OnEventMessage(CSession &session, const BoardMessage &message)
{
    const int id = session.currentId;
    Ack(session);
    WaitMark();
    owner_->OnBoardEvent(id, message.header.stat, ShownBoardText(message.text));
}

int CServerSocket::SendToBoard(CSession &session, int id, std::uint32_t status)
{
    int nameId = id == kCurrent ? session.currentId : id;
    if (BoardMessageName(nameId) == nullptr) nameId = session.namedId;
    if (BoardMessageName(nameId) == nullptr) nameId = kMsgDisconnect;

    const std::vector<char> bytes =
        EncodeBoardMessage(MakeLoaderHeader(nameId, session.ta, session.sess, status), session.data);
    const int result = socket_ ? socket_->SendTo(bytes.data(), static_cast<int>(bytes.size()), session.peer, session.port)
                               : -1;
    if (result < 0) {
        char context[64];
        std::snprintf(context, sizeof context, "%s:%u", session.peer.c_str(), unsigned(session.port));
        owner_->FormatSystemError(socket_ ? socket_->GetLastError() : 0, context, false);
    }
    if (status == kStatusEnd && nameId != kMsgDisconnect) RemoveSession(session, kStatusEnd);
    return result;
}

void CServerSocket::RemoveSession(CSession &session, std::uint32_t status)
{
    if (!IsListed(session)) return;
    const std::string peer = session.peer;
    // Keeps the session alive until the end, whatever the calls out below remove meanwhile.
    std::shared_ptr<CSession> keep = *std::find_if(sessions_.begin(), sessions_.end(),
                                                   [&](const auto &listed) { return listed.get() == &session; });
    SendToBoard(session, kMsgDisconnect, status);
    if (!Unlist(session)) return;
    LogSessionText(peer, status == kStatusEnd ? IDS_SESSION_DROPPED : IDS_SESSION_ENDED);
    if (sessions_.empty()) owner_->OnConversationRemoved();
}

void CServerSocket::RemoveAllSessions()
{
    while (!sessions_.empty()) RemoveSession(*sessions_.front(), kStatusAck);
}

void CServerSocket::OnTick()
{
    if (useTimeouts_ == 0 || sessions_.empty()) return;
    const SessionList snapshot = sessions_;
    for (const std::shared_ptr<CSession> &session : snapshot) {
        // An allowance of zero or less never runs out, and counting it down further would only wrap.
        if (!IsListed(*session) || session->ticks <= 0) continue;
        if (--session->ticks != 0) continue;
        LogSessionText(session->peer, IDS_STEP_TIMED_OUT);
        if (IsListed(*session)) SendToBoard(*session, kCurrent, kStatusEnd);
    }
}

std::shared_ptr<CSession> CServerSocket::FindSession(const std::string &address, unsigned port) const
{
    for (const std::shared_ptr<CSession> &session : sessions_) {
        if (session->peer == address && session->port == port) return session;
    }
    return nullptr;
}

bool CServerSocket::IsListed(const CSession &session) const
{
    return std::any_of(sessions_.begin(), sessions_.end(),
                       [&](const std::shared_ptr<CSession> &listed) { return listed.get() == &session; });
}

bool CServerSocket::Unlist(const CSession &session)
{
    auto it = std::find_if(sessions_.begin(), sessions_.end(),
                           [&](const std::shared_ptr<CSession> &listed) { return listed.get() == &session; });
    if (it == sessions_.end()) return false;
    sessions_.erase(it);
    return true;
}

int CServerSocket::Ack(CSession &session)
{
    return SendToBoard(session, kCurrent, kStatusAck);
}

void CServerSocket::LogSessionText(const std::string &peer, unsigned textId)
{
    owner_->LogText(peer, textId, "", false);
}

void CServerSocket::WaitMark()
{
    owner_->LogText(kWaitMark, 0, "", false);
}
