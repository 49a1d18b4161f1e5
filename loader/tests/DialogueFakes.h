// Test doubles of the board dialogue's surroundings: a datagram socket that records what is sent, settings
// held in memory, and an owner that records every call as one line.
#pragma once

#include "BoardMessage.h"
#include "ServerSocket.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct SentDatagram {
    std::string address;
    unsigned port;
    std::vector<char> bytes;

    BoardMessage Decoded() const
    {
        BoardMessage message{};
        DecodeBoardMessage(bytes.data(), bytes.size() > kReceiveSize ? kReceiveSize : bytes.size(), message);
        return message;
    }
    std::string Name() const { return BoardMessageName(BoardMessageIdOf(bytes.data())) ? bytes.data() : "?"; }
    std::uint32_t Status() const { return Decoded().header.stat; }
};

class FakeSocket : public CDatagramSocket {
public:
    struct Incoming {
        std::vector<char> bytes;
        std::string address;
        unsigned port;
        int error;  // non-zero: the read fails with it
    };
    std::vector<SentDatagram> *sent;
    std::deque<Incoming> *incoming;
    unsigned short boundPort = 0;
    int sendError = 0;

    FakeSocket(std::vector<SentDatagram> &sentLog, std::deque<Incoming> &queue) : sent(&sentLog), incoming(&queue) {}

    bool Create(unsigned short port, Listener &) override
    {
        boundPort = port;
        return true;
    }
    void Close() override {}
    int ReceiveFrom(void *buffer, int size, std::string &address, unsigned &port) override
    {
        Incoming next = incoming->front();
        incoming->pop_front();
        lastError_ = next.error;
        if (next.error != 0) return -1;
        address = next.address;
        port = next.port;
        int n = static_cast<int>(next.bytes.size()) < size ? static_cast<int>(next.bytes.size()) : size;
        std::copy(next.bytes.begin(), next.bytes.begin() + n, static_cast<char *>(buffer));
        return n;
    }
    int SendTo(const void *data, int size, const std::string &address, unsigned port) override
    {
        if (sendError != 0) {
            lastError_ = sendError;
            return -1;
        }
        const char *bytes = static_cast<const char *>(data);
        sent->push_back({address, port, std::vector<char>(bytes, bytes + size)});
        return size;
    }
    int GetLastError() const override { return lastError_; }

private:
    int lastError_ = 0;
};

class MemorySettings : public CSettings {
public:
    std::map<std::string, int> ints;
    std::map<std::string, std::string> strings;
    std::vector<std::string> writes;

    static std::string Key(const char *section, const char *entry) { return std::string(section) + "/" + entry; }

    int GetInt(const char *section, const char *entry, int defaultValue) override
    {
        auto it = ints.find(Key(section, entry));
        return it == ints.end() ? defaultValue : it->second;
    }
    bool WriteInt(const char *section, const char *entry, int value) override
    {
        ints[Key(section, entry)] = value;
        writes.push_back(Key(section, entry) + "=" + std::to_string(value));
        return true;
    }
    std::string GetString(const char *section, const char *entry, const std::string &defaultValue) override
    {
        auto it = strings.find(Key(section, entry));
        return it == strings.end() ? defaultValue : it->second;
    }
};

// Every owner call becomes one line, e.g. "log 10.0.0.5|80||0" or "event 1 1 PMR 4.0".
class RecordingOwner : public CBoardDialogueOwner {
public:
    std::vector<std::string> calls;
    int installationType = 0;
    // Runs inside the named call, as a modal message box's loop would run other handlers.
    std::map<std::string, std::function<void()>> reentry;
    // Sees every line as it is recorded.
    std::function<void(const std::string &)> sink;

    void LogText(const std::string &prefix, unsigned textId, const std::string &suffix, bool popup) override
    {
        Record("log " + prefix + "|" + std::to_string(textId) + "|" + suffix + "|" + (popup ? "1" : "0"));
    }
    void FormatSystemError(int error, const std::string &context, bool popup) override
    {
        Record("syserr " + std::to_string(error) + " " + context + (popup ? " popup" : ""));
    }
    void ShowBoardMessage(const std::string &text) override { Record("box " + text); }
    void OnBoardEvent(int id, std::uint32_t status, const std::string &text) override { Page("event", id, status, text); }
    void OnBoardError(int id, std::uint32_t status, const std::string &text) override { Page("error", id, status, text); }
    void OnSaveProgress(int id, std::uint32_t status, const std::string &text) override { Page("save", id, status, text); }
    void OnRestoreProgress(int id, std::uint32_t status, const std::string &text) override
    {
        Page("restore", id, status, text);
    }
    void OnCopyProgress(int id, std::uint32_t status, const std::string &text) override { Page("copy", id, status, text); }
    void OnConversationAdded() override { Record("added"); }
    void OnConversationRemoved() override { Record("removed"); }
    std::string LoadText(unsigned textId) override { return "text#" + std::to_string(textId); }
    void SetStatusText(unsigned textId) override { Record("status #" + std::to_string(textId)); }
    void SetStatusText(const std::string &text) override { Record("status " + text); }
    int InstallationType() override { return installationType; }
    void StartStorageNfsServer() override { Record("nfs"); }

private:
    void Page(const char *what, int id, std::uint32_t status, const std::string &text)
    {
        Record(std::string(what) + " " + std::to_string(id) + " " + std::to_string(status) + " " + text);
    }
    void Record(const std::string &line)
    {
        calls.push_back(line);
        if (sink) sink(line);
        auto hook = reentry.find(line.substr(0, line.find(' ')));
        if (hook != reentry.end()) {
            std::function<void()> once = std::move(hook->second);
            reentry.erase(hook);
            once();
        }
    }
};
