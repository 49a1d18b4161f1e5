// Drives the RPC programs directly: a call record in, the reply out, over a test tree.
#pragma once

#include "RpcWire.h"
#include "TestTree.h"
#include "fRpcPrograms.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

inline uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t address;
    std::memcpy(&address, bytes, 4);
    return address;
}

constexpr uint32_t NfsProcGetattr = 1, NfsProcSetattr = 2, NfsProcLookup = 3, NfsProcAccess = 4, NfsProcRead = 6,
                   NfsProcWrite = 7, NfsProcCreate = 8, NfsProcMkdir = 9, NfsProcRemove = 12, NfsProcRmdir = 13,
                   NfsProcRename = 14, NfsProcReaddir = 16, NfsProcReaddirplus = 17, NfsProcFsstat = 18,
                   NfsProcFsinfo = 19, NfsProcPathconf = 20, NfsProcCommit = 21;
constexpr uint32_t MountProcMnt = 1, MountProcUmnt = 3, MountProcUmntAll = 4;
constexpr uint32_t CodePageUtf8 = 65001;

constexpr uint32_t NF3REG = 1, NF3DIR = 2;

struct TAttr {
    uint32_t Type, Mode, Nlink;
    uint64_t Size, FileId;
    uint64_t Mtime;  // seconds and nanoseconds in one number
};

inline TAttr ReadFattr3(rpcwire::TReply &reply)
{
    TAttr a{};
    a.Type = reply.U32();
    a.Mode = reply.U32();
    a.Nlink = reply.U32();
    reply.Skip(8);
    a.Size = reply.U64();
    reply.Skip(8 + 8 + 8);
    a.FileId = reply.U64();
    reply.Skip(8);
    a.Mtime = reply.U64();
    reply.Skip(8);
    return a;
}

inline std::string Pattern(std::size_t n)
{
    std::string data(n, '\0');
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    return data;
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { Tree = MakeTestTree(); }

    TRpcPrograms &Server()
    {
        if (!Programs) Programs = std::make_unique<TRpcPrograms>(Tree->Files(), Tree->Root(), CodePageUtf8);
        return *Programs;
    }

    // Serves the call from Peer over TCP or UDP; an empty reply when none is sent.
    rpcwire::TReply Serve(uint16_t port, const std::vector<uint8_t> &bytes) { return Serve(port, bytes, Tcp); }
    rpcwire::TReply Serve(uint16_t port, const std::vector<uint8_t> &bytes, bool tcp)
    {
        TRpcPrograms &server = Server();
        if (!ResizeBuffer(server.Request, static_cast<uint32_t>(bytes.size()), 1)) return {};
        if (!bytes.empty()) std::memcpy(server.Request.Data, bytes.data(), bytes.size());
        server.Request.Tail = static_cast<uint32_t>(bytes.size());
        LastResult = server.ServeCall(port, tcp, Peer);
        if (LastResult != TRpcPrograms::TCallResult::Reply) {
            server.ReplyDone();
            return {};
        }
        uint8_t *begin = server.Reply.Data + server.Reply.Head + (tcp ? 4 : 0);
        std::vector<uint8_t> reply(begin, server.Reply.Data + server.Reply.Tail);
        const TRpcPrograms::TReplyWindow &window = server.ReplyWindow;
        if (window.Data) reply.insert(reply.end(), window.Data, window.Data + window.Length);
        reply.insert(reply.end(), window.Padding, 0);
        server.ReplyDone();
        return rpcwire::TReply(reply);
    }

    rpcwire::TCall Nfs(uint32_t procedure) { return rpcwire::TCall(++Xid, NfsProgram, NfsVersion, procedure); }
    rpcwire::TCall Mount(uint32_t procedure) { return rpcwire::TCall(++Xid, MountProgram, MountVersion, procedure); }
    rpcwire::TCall Pmap(uint32_t procedure) { return rpcwire::TCall(++Xid, PmapProgram, PmapVersion, procedure); }

    // Sends the call and checks the RPC header; the reader stands at the procedure's result.
    rpcwire::TReply Accepted(uint16_t port, const rpcwire::TCall &call)
    {
        rpcwire::TReply reply = Serve(port, call.Bytes);
        uint32_t xid = uint32_t(call.Bytes[0]) << 24 | uint32_t(call.Bytes[1]) << 16 | uint32_t(call.Bytes[2]) << 8 |
                       call.Bytes[3];
        EXPECT_EQ(rpcwire::Success, reply.Header(xid));
        return reply;
    }

    // MNT of path; returns the MOUNT status and the handle.
    uint32_t MountPath(const std::string &path, uint32_t &handle)
    {
        rpcwire::TReply reply = Accepted(MountPort, Mount(MountProcMnt).Opaque(path));
        uint32_t status = reply.U32();
        handle = 0;
        if (status == 0) {
            EXPECT_EQ(4u, reply.U32());
            handle = reply.U32();
        }
        return status;
    }

    uint32_t RootHandle()
    {
        uint32_t handle = 0;
        EXPECT_EQ(0u, MountPath("/", handle));
        return handle;
    }

    // LOOKUP of name in directory; returns the status, the handle in found.
    uint32_t Lookup(uint32_t directory, const std::string &name, uint32_t &found)
    {
        rpcwire::TReply reply = Accepted(NfsPort, Nfs(NfsProcLookup).Handle(directory).Opaque(name));
        uint32_t status = reply.U32();
        found = 0;
        if (status == 0) {
            EXPECT_EQ(4u, reply.U32());
            found = reply.U32();
        }
        return status;
    }

    uint32_t Handle(uint32_t directory, const std::string &name)
    {
        uint32_t found = 0;
        EXPECT_EQ(0u, Lookup(directory, name, found)) << name;
        return found;
    }

    // READ; returns the status, the data and eof.
    uint32_t Read(uint32_t file, uint64_t offset, uint32_t count, std::string &data, bool &eof)
    {
        rpcwire::TReply reply = Accepted(NfsPort, Nfs(NfsProcRead).Handle(file).U64(offset).U32(count));
        uint32_t status = reply.U32();
        data.clear();
        if (status == 0) {
            EXPECT_EQ(1u, reply.U32());
            ReadFattr3(reply);
            uint32_t n = reply.U32();
            eof = reply.U32() != 0;
            data = reply.Opaque();
            EXPECT_EQ(n, data.size());
            EXPECT_TRUE(reply.Ok());
        }
        return status;
    }

    std::unique_ptr<TTestTree> Tree;
    std::unique_ptr<TRpcPrograms> Programs;
    uint32_t Peer = Address(127, 0, 0, 1);
    bool Tcp = false;
    uint32_t Xid = 0x100;
    TRpcPrograms::TCallResult LastResult = TRpcPrograms::TCallResult::NoReply;
};
