// White-box view of the Peer class's server session for the login tests (the class declares
// this probe a friend). Read it under the node lock (CQVNodeTestProbe::Locked).
#pragma once

#include <cstring>
#include <vector>

#include "qvClassPeer.h"
#include "qvSocket.h"

class CQVClassPeerLoginProbe {
public:
    explicit CQVClassPeerLoginProbe(CQVClassPeer& c) : C(c) {}
    CQVClassPeer& C;

    u32 Status() const { return C.m_uLoginStatus; }
    u32 Mode() const { return C.m_uLoginMode; }
    u32 Countdown() const { return C.m_Login.uCountdown; }
    u32 Try() const { return C.m_Login.uTry; }
    u32 Count() const { return C.m_Login.uCount; }
    u32 Expire() const { return C.m_uExpire; }
    u32 Traffic() const { return C.m_uPeerTraffic; }
    u32 ActiveTime() const { return C.m_Login.uActiveTime; }
    u32 ActiveStamp() const { return C.m_Login.uActiveStamp; }
    // Node seconds since the last keep-alive went out.
    u32 ActiveAge() const { return C.m_Login.uActiveAge; }
    // The transport's stamp of the last packet from the server.
    u32 ServerRecvStamp() const
    {
        const CQVClassPeer::PEER_S* s = C.Entry(C.m_uPrivSvr);
        return s && s->uSockID ? C.m_pSocket->GetPeerRecvStamp(s->uSockID) : 0;
    }
    u32 CurrentStamp() const { return C.m_pSocket->GetCurrentStamp(); }
    u32 ServerSock() const
    {
        const CQVClassPeer::PEER_S* s = C.Entry(C.m_uPrivSvr);
        return s ? s->uSockID : 0;
    }
    u32 Reconnect() const { return C.m_Login.uRecnnt; }
    u32 ResoCount() const { return C.m_Reso.Count(); }
    u32 Tick() const { return C.m_uTick; }
    void SkewWall(s32 iSeconds) { C.m_Login.iWallSkew += iSeconds; }
    // The peer entry of an object: its status (0 when none), its status and info waiters.
    u32 PeerStatus(u32 uObject) const
    {
        u32 i = C.EntryOfObject(uObject);
        return i == 0xFFFFFFFF ? 0 : C.m_pPeer[i].uStatus;
    }
    u32 PeerOffline(u32 uObject) const
    {
        u32 i = C.EntryOfObject(uObject);
        return i == 0xFFFFFFFF ? 0 : C.m_pPeer[i].uOffline;
    }
    u32 StatusWaiter(u32 uObject) const
    {
        u32 i = C.EntryOfObject(uObject);
        return i == 0xFFFFFFFF ? 0 : C.m_pPeer[i].uStatusWaiter;
    }
    u32 InfoWaiter(u32 uObject) const
    {
        u32 i = C.EntryOfObject(uObject);
        return i == 0xFFFFFFFF ? 0 : C.m_pPeer[i].uInfoWaiter;
    }
    s32 ClockOffset(u32 uObject) const
    {
        u32 i = C.EntryOfObject(uObject);
        return i == 0xFFFFFFFF ? 0 : C.m_pPeer[i].iClockOffset;
    }
    u32 Index(u32 uObject) const { return C.EntryOfObject(uObject); }
    // Gives a peer entry an address (and a socket there), as a status answer does.
    u32 SetAddr(u32 uObject, const QV_ADDR_S& addr)
    {
        u32 i = C.EntryOfObject(uObject);
        return i == 0xFFFFFFFF ? 1 : C.HelperPeerSetAddr(i, addr, nullptr, nullptr);
    }
    u32 SendStatus(u32 uObject)
    {
        u32 i = C.EntryOfObject(uObject);
        return i == 0xFFFFFFFF ? 0 : C.SendStatus(i);
    }
    u32 PeerType(u32 uObject) const
    {
        u32 i = C.EntryOfObject(uObject);
        return i == 0xFFFFFFFF ? 0 : C.m_pPeer[i].uPeerType;
    }
    QV_ADDR_S PeerAddr(u32 uObject) const
    {
        u32 i = C.EntryOfObject(uObject);
        return i == 0xFFFFFFFF ? QV_ADDR_S{} : C.m_pPeer[i].addr;
    }
    void SetOffset(u32 uObject, s32 iOffset)
    {
        u32 i = C.EntryOfObject(uObject);
        if (i != 0xFFFFFFFF)
            C.m_pPeer[i].iClockOffset = iOffset;
    }

    // Runs one of the class's handlers on a message placed in its receive buffer, as the
    // receive path does after its table checks.
    void Deliver(u32 uObjectPeer, u16 uType, u16 uFlag, u32 uParam, const std::vector<u8>& data)
    {
        u32 i = C.EntryOfObject(uObjectPeer);
        if (i == 0xFFFFFFFF || data.size() > QV_PEER_MSG_MAX || uType >= QV_PMSG_COUNT)
            return;
        const CQVClassPeer::MSG_TYPE_S& t = CQVClassPeer::s_MsgType[uType];
        if (!t.fn || data.size() < t.uMin)
            return;
        if (!data.empty())
            std::memcpy(C.m_pRecvBuf, data.data(), data.size());
        tagQV_SK_BUF_S b;
        std::memset(&b, 0, sizeof(b));
        b.uMethod = uType;
        b.uFlag = uFlag;
        b.uHandle2 = uParam;
        b.lpData = C.m_pRecvBuf;
        (C.*t.fn)(i, b, (u32)data.size());
    }
    // Calls the class's time-out handling of a waiter, as the node's notification does.
    void WaiterTimeout(u32 uObject, u32 uType, u32 uParam)
    {
        u32 i = C.EntryOfObject(uObject);
        if (i != 0xFFFFFFFF)
            C.NotifyTimeout(i, uType, uParam);
    }
    void StampUpdate(u32 uObject, u32 uEcho, u32 uPeerTime)
    {
        u32 i = C.EntryOfObject(uObject);
        if (i != 0xFFFFFFFF)
            C.SyncStampUpdate(i, uEcho, uPeerTime);
    }
};
