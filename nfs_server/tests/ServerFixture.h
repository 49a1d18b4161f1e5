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

constexpr uint32_t NfsProcGetattr = 1, NfsProcLookup = 3, NfsProcAccess = 4, NfsProcRead = 6,
                   NfsProcReaddir = 16, NfsProcReaddirplus = 17, NfsProcFsstat = 18, NfsProcFsinfo = 19,
                   NfsProcPathconf = 20;
constexpr uint32_t MountProcMnt = 1, MountProcUmnt = 3, MountProcUmntAll = 4;
constexpr uint32_t CodePageUtf8 = 65001;

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
        if (LastResult != TRpcPrograms::TCallResult::Reply) return {};
        uint8_t *begin = server.Reply.Data + server.Reply.Head + (tcp ? 4 : 0);
        return rpcwire::TReply(std::vector<uint8_t>(begin, server.Reply.Data + server.Reply.Tail));
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

    std::unique_ptr<TTestTree> Tree;
    std::unique_ptr<TRpcPrograms> Programs;
    uint32_t Peer = Address(127, 0, 0, 1);
    bool Tcp = false;
    uint32_t Xid = 0x100;
    TRpcPrograms::TCallResult LastResult = TRpcPrograms::TCallResult::NoReply;
};
