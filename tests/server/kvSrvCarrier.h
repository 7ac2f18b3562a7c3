// Test rendezvous server: the datagram carrier under its peer sockets. The server's socket
// layer (CQVSocket, server side) runs over the server's one UDP socket through this instead of
// a socket process: a peer is an address, sending is one datagram to it. Thread-safe: the
// socket layer sends from its dispatcher thread while the receive loop looks peers up.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "qvSocket.h"

namespace kvsrv {

class Carrier : public IQVSocketLower {
public:
    // Sends one datagram; the bytes sent or -1.
    using SendFn = std::function<s32(const QV_ADDR_S& to, const u8* data, u32 len)>;
    explicit Carrier(SendFn send) : m_send(std::move(send)) {}

    u32 Initialize(void*, const u32*) override { return 1; }
    void Clean() override;
    u32 Add(const QV_ADDR_S& addr, u32 uSockID) override;
    void Delete(u32 uHandle) override;
    u32 Search(const QV_ADDR_S& addr, u32& uSockID) override;
    u32 SetPeerParam(u32 uHandle, u32 uSockID) override;
    u32 GetPeerAddr(u32 uHandle, QV_ADDR_S* lpAddr) override;
    s32 Send(u32 uHandle, const QV_BUF_S& buf, u32 uCnntID, u32 uMode, u32* lpuCnntUsed) override;
    s32 SendDirect(const QV_ADDR_S& addr, const QV_BUF_S& buf, u32 uDriv) override;
    u32 Ctrl(u32, u32, u32) override { return 1; }
    u32 GetPeerCnntAddr(u32, u32*, u32) override { return 0; }
    u32 SetMainSpeed(u32, u32) override { return 1; }
    u32 SetSelfPeer(const char*) override { return 1; }
    u32 GetTryTimeout() override { return 6; }
    u32 SetLoopSpeed(u32) override { return 1; }

private:
    struct Peer {
        QV_ADDR_S addr;
        u32 sid;
    };
    static std::string Key(const QV_ADDR_S& a);
    SendFn m_send;
    std::mutex m_mu;
    std::map<u32, Peer> m_byHandle;
    std::map<std::string, u32> m_byAddr;   // address -> handle
    u32 m_next = 1;
};

}  // namespace kvsrv
