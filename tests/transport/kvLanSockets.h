// What the tests that run two socket layers over the LAN driver share, each layer in a child
// process of its own: the socket with its LAN driver on, the scan for the peer, and messages
// out and in.
#pragma once

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "kvLab.h"
#include "qvSockDriv.h"
#include "qvSocket.h"

namespace kvlan {

// A message that names its priority, sequence number and length; its filler follows from them,
// so that the receiver can tell a whole message from a spliced or cut one.
inline std::string Body(u32 prio, u32 seq, u32 len)
{
    std::string s = "P" + std::to_string(prio) + "S" + std::to_string(seq) + "L" + std::to_string(len) + ":";
    while (s.size() < len) s.push_back((char)('a' + (seq * 7 + prio * 3 + s.size()) % 26));
    s.resize(len);
    return s;
}

// A socket with the LAN driver on, named id, in the scan group lpszGroup, with queues of the
// given depths on every priority. 0, or the child's exit code for a step that failed.
inline int StartLanSocket(CQVSocket& sock, IQVSocketOwner* own, const std::string& id, u32 uSendQue, u32 uRecvQue,
                          const char* lpszGroup, IQVSocketLANPriv** lpLan)
{
    sock.Attach(own);
    CQVSocket::CFG_S cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    cfg.uTableSize = 16;
    for (u32 i = 0; i < 4; i++) {
        cfg.uSendQue[i] = (u16)uSendQue;
        cfg.uRecvQue[i] = (u16)uRecvQue;
    }
    sock.SetConfig(cfg);
    if (!sock.Initialize(nullptr)) return 3;
    sock.SetName(id.c_str());
    auto* lan = static_cast<IQVSocketLANPriv*>(sock.GetSocketPrivate(3));
    if (!lan || !lan->Enable(1, 0, id.c_str(), lpszGroup)) return 4;
    *lpLan = lan;
    return 0;
}

// Scans the LAN (a new scan every half second) until the peer named peerId has answered: true
// with its address, or false when timeoutMs have passed.
inline bool ScanFor(IQVSocketLANPriv* lan, const std::string& peerId, QV_ADDR_S* lpPeer, int timeoutMs)
{
    u32 polls = 0;
    return kvlab::WaitUntil([&] {
        if (polls++ % 10 == 0) lan->ScanLaunch(0);
        usleep(50 * 1000);
        QV_SKT_LAN_PEER_S res[8];
        u32 n = lan->ScanGetResult(res, 8);
        for (u32 i = 0; i < n; i++)
            if (peerId == res[i].szPeerID) {
                *lpPeer = res[i].Addr;
                return true;
            }
        return false;
    }, timeoutMs);
}

// One message to object 3, method 1, on a priority; the socket layer's result.
inline s32 SendMsg(CQVSocket& sock, u32 sid, u32 handle, u32 prio, const std::string& m, u32 opt)
{
    QV_SK_BUF_S b;
    std::memset(&b, 0, sizeof(b));
    b.uHandle = handle;
    b.uObject = 3;
    b.uMethod = 1;
    b.uPrio = prio;
    b.uSize = (u32)m.size();
    b.lpData = (u8*)m.data();
    return sock.Send(sid, b, opt);
}

// The next message of a priority, any method: its length (none: 0 or less) and its bytes.
inline s32 ReceiveMsg(CQVSocket& sock, u32 sid, u32 prio, std::string* lpMsg)
{
    std::vector<u8> buf(8192);
    QV_SK_BUF_S b;
    std::memset(&b, 0, sizeof(b));
    b.uMethod = 0xFFFF;
    b.uPrio = prio;
    b.lpData = buf.data();
    b.uSize = (u32)buf.size();
    s32 n = sock.Receive(sid, b, 0);
    lpMsg->assign((const char*)buf.data(), n > 0 ? (size_t)n : 0);
    return n;
}

}  // namespace kvlan
