// CServerSocket: the loader's end of the board dialogue on UDP port 6010. It keeps one CSession per
// board, checks and answers each datagram, counts the ticks a board may take for its next step and tells
// its owner what the board reported.
#pragma once

#include "BoardDialogueOwner.h"
#include "BoardMessage.h"
#include "framework/DatagramSocket.h"
#include "framework/Settings.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>


// One board's conversation.
class CSession {
public:
    std::string peer = "0.0.0.0";
    std::uint32_t port = kLoaderPort;
    int currentId = kMsgNone;
    int previousId = kMsgNone;
    // The last accepted identifier that has a name: answers carry it when the current one has none.
    int namedId = kMsgNone;
    std::uint32_t ta = 0;
    std::uint32_t sess = 0;
    std::string data;
    std::int32_t ticks = 1000;
    std::uint32_t lastStatus = 0;
    std::uint32_t statusBefore = 0;
};

struct TimeoutDefault {
    const char *key;
    int value;
};
constexpr int kTimeoutDefaultCount = 8;
extern const TimeoutDefault TimeoutDefaults[kTimeoutDefaultCount];

constexpr const char *kTimeoutsSection = "Timeouts";
constexpr const char *kConfigSection = "Config";

class CServerSocket : private CDatagramSocket::Listener {
public:
    using Handler = void (CServerSocket::*)(CSession &, const BoardMessage &);
    struct DispatchRow {
        const char *name;
        int id;
        Handler handler;
    };
    // Rows of the handled identifiers, ended by {nullptr, kMsgNone, nullptr}.
    static const DispatchRow *MessageDispatchTable();

    using SessionList = std::vector<std::shared_ptr<CSession>>;
    using LocalAddress = std::function<int(std::string &)>;

    // "Current" in place of an identifier: the session's current message.
    static constexpr int kCurrent = -2;
    static constexpr std::size_t kMaxSessions = 21;

    CServerSocket(CSettings &settings, std::unique_ptr<CDatagramSocket> socket, LocalAddress localAddress,
                  CBoardDialogueOwner *owner = nullptr);
    virtual ~CServerSocket();
    CServerSocket(const CServerSocket &) = delete;
    CServerSocket &operator=(const CServerSocket &) = delete;

    // Records the owner when none is set, then binds port 6010. False without an owner or a socket.
    bool Open(CBoardDialogueOwner *owner);

    void OnReceive(int error) override;
    void Dispatch(const std::string &address, unsigned port, const BoardMessage &message);
    int SendToBoard(CSession &session, int id, std::uint32_t status);
    void RemoveSession(CSession &session, std::uint32_t status);
    void RemoveAllSessions();
    // One firing of the view's timer.
    void OnTick();

    // The timer ticks a board may take for its next step, read once at construction.
    struct StepAllowances {
        std::int32_t TOCmd, TOAliveX, TOCopy, TOConfBoot, TOConfTarget, TOFormat, TOSignVerify;
    };

    const SessionList &Sessions() const { return sessions_; }
    const StepAllowances &Allowances() const { return allowances_; }
    bool UseTimeouts() const { return useTimeouts_ != 0; }

protected:
    virtual void OnCopyWait(CSession &session, const BoardMessage &message);
    virtual void OnBoardErrorMessage(CSession &session, const BoardMessage &message);
    virtual void OnRestoreMessage(CSession &session, const BoardMessage &message);
    virtual void OnSaveMessage(CSession &session, const BoardMessage &message);
    virtual void OnAlive(CSession &session, const BoardMessage &message);
    virtual void OnCopyDone(CSession &session, const BoardMessage &message);
    void OnEventMessage(CSession &session, const BoardMessage &message);

private:
    const StepAllowances allowances_;
    const std::uint32_t useTimeouts_;
    std::unique_ptr<CDatagramSocket> socket_;
    LocalAddress localAddress_;
    CBoardDialogueOwner *owner_;
    SessionList sessions_;

    static StepAllowances ReadAllowances(CSettings &settings);
    std::shared_ptr<CSession> FindSession(const std::string &address, unsigned port) const;
    bool IsListed(const CSession &session) const;
    bool Unlist(const CSession &session);
    void HandleInline(CSession &session, const BoardMessage &message, int id);
    void OnConnect(CSession &session, const std::string &address, unsigned port, const BoardMessage &message);
    int Ack(CSession &session);
    void LogSessionText(const std::string &peer, unsigned textId);
    void WaitMark();
};
