// Peer class socket events: new incoming sockets and their table, connected sockets on the
// client and server side, dropped sockets, path changes, and moving a socket into a peer
// entry.
#include <cstdio>
#include <cstring>

#include "qvClassPeer.h"
#include "qvLog.h"
#include "qvNode.h"
#include "qvSocket.h"

namespace {

u32 AddrSame(const QV_ADDR_S& a, const QV_ADDR_S& b)
{
    return a.uAddr[0] == b.uAddr[0] && a.uAddr[1] == b.uAddr[1] && a.uAddr[2] == b.uAddr[2] &&
           a.uAddr[3] == b.uAddr[3] && a.uPort == b.uPort;
}

// The look-ahead reads at most this many held messages of a new socket.
const u32 kLookAheadMax = 4096;

}  // namespace

CQVClassPeer::NEW_S* CQVClassPeer::SockNewAt(u32 uIndex)
{
    if (!m_pNew || uIndex >= m_uNewMax || !m_NewUsed.Contains(&m_pNew[uIndex]))
        return nullptr;
    return &m_pNew[uIndex];
}

void CQVClassPeer::SockNewDelete(NEW_S* n, u32 uKeepSocket)
{
    if (!uKeepSocket && n->uSockID)
        m_pSocket->Delete(n->uSockID);
    n->uSockID = 0;
    n->uFlags = 0;
    std::memset(&n->addr, 0, sizeof(n->addr));
    m_NewUsed.Remove(n);
    m_NewFree.PushTail(n);
}

void CQVClassPeer::SockNewDropTimeout()
{
    NEW_S* n = m_NewUsed.Head();
    while (n) {
        NEW_S* x = NEW_LIST::Next(n);
        if (m_uTick - n->uStamp >= QV_PEER_NEW_TIMEOUT) {
            qvLogOut(2, "ClassPeer: SockNewDropTimeout: Drop. uSockID=%u", n->uSockID);
            SockNewDelete(n, 0);
        }
        n = x;
    }
}

// Decides from the messages a new socket brought along whether it only announces an object
// that is already gone (skip: 1).
u32 CQVClassPeer::SocketNewSkip(u32 uNewID)
{
    u32 uSkip = 0, uHighest = 0;
    for (u32 k = 0; k < kLookAheadMax; k++) {
        QV_SK_BUF_S b;
        std::memset(&b, 0, sizeof(b));
        b.uMethod = 0xFFFF;
        b.uPrio = 4;
        b.uSize = QV_PEER_MSG_MAX;
        b.lpData = m_pRecvBuf;
        s32 n = m_pSocket->NewBufGet(uNewID, b);
        if (n == -6)
            continue;   // too big for any message of the class: passed over
        if (n < 0)
            break;
        u32 uLen = (u32)n;
        if (b.uObject) {
            u32 uClass = 0xFFFF;
            if (m_pProc->ObjGetInfo(b.uObject, &uClass, nullptr, nullptr, nullptr) && uClass != QV_CLASS_PEER) {
                uSkip = 0;
                continue;
            }
        }
        if (b.uMethod != QV_PMSG_SYNC_REPORT || b.uPrio != 0) {
            uSkip = 0;
            continue;
        }
        if (uLen <= 32)
            continue;
        u32 uUsed = 0, uNameLen = 0, uGroupLen = 0;
        const char* lpszName = qvStrPop(static_cast<const u8*>(m_pRecvBuf) + 32, uLen - 32, &uUsed, &uNameLen);
        const char* lpszGroup =
            lpszName ? qvStrPop(static_cast<const u8*>(m_pRecvBuf) + 32 + uUsed, uLen - 32 - uUsed, nullptr, &uGroupLen)
                     : nullptr;
        u32 uTime = qvSkRd32(m_pRecvBuf + 4);
        if (!lpszName || !lpszGroup || uNameLen > QV_PEER_NAME_MAX || uGroupLen > QV_PEER_NAME_MAX ||
            uTime < uHighest)
            continue;
        u32 uObject = m_pProc->ObjGetID(lpszName);
        u32 uClass = 0xFFFF;
        if (PeerAddrNameIs(lpszName) ||
            (uObject && m_pProc->ObjGetInfo(uObject, &uClass, nullptr, nullptr, nullptr) && uClass != QV_CLASS_PEER)) {
            uSkip = 0;
            continue;
        }
        uSkip = qvSkRd32(m_pRecvBuf) == 0 ? 1 : 0;
        uHighest = uTime;
    }
    return uSkip;
}

u32 CQVClassPeer::SockNewAdd(u32 uNewID)
{
    NEW_S* n = m_NewFree.PopHead();
    if (!n)
        return 0;
    u32 uIndex = (u32)(n - m_pNew);
    QV_ADDR_S addr;
    std::memset(&addr, 0, sizeof(addr));
    u32 uSockID = m_pSocket->Add(&addr, uNewID, (uIndex << 16) | 0xFFFF, 1);
    if (!uSockID) {
        if (!GetOld()) {
            qvLogOut(0, "ClassPeer: SockNewAdd, Release old peer failed");
            m_NewFree.PushHead(n);
            return 0;
        }
        uSockID = m_pSocket->Add(&addr, uNewID, (uIndex << 16) | 0xFFFF, 1);
        if (!uSockID) {
            qvLogOut(0, "ClassPeer: SockNewAdd, Add socket failed");
            m_NewFree.PushHead(n);
            return 0;
        }
    }
    // An older entry of the same socket or address lets go of it (the socket stays).
    NEW_S* o = m_NewUsed.Head();
    while (o) {
        NEW_S* x = NEW_LIST::Next(o);
        if (o->uSockID == uSockID || AddrSame(o->addr, addr))
            SockNewDelete(o, 1);
        o = x;
    }
    n->uSockID = uSockID;
    n->uFlags = 0;
    n->uStamp = m_uTick;
    n->addr = addr;
    m_NewUsed.PushTail(n);
    return 1;
}

u32 CQVClassPeer::SocketNew(u32 uParam)
{
    if (!m_pNew)
        return 0;
    if (SocketNewSkip(uParam)) {
        m_pSocket->NewDelete(uParam);
        return 0;
    }
    return SockNewAdd(uParam);
}

void CQVClassPeer::HelperSetSocketOption(u32 uIndex)
{
    PEER_S* p = EntryInUse(uIndex);
    if (m_uSide || !p || !p->uSockID)
        return;
    for (u32 i = 0; i < 2; i++) {
        u32 v = p->uSockOpt[i] < 3 ? p->uSockOpt[i] : (m_uSockOptDefault[i] < 3 ? m_uSockOptDefault[i] : 3);
        if (v < 3) {
            char szValue[16];
            snprintf(szValue, sizeof(szValue), "%u", v);
            m_pSocket->SetPeerOption(p->uSockID, i, szValue);
        }
    }
}

u32 CQVClassPeer::SockNewPeerMove(u32 uNewIndex, u32 uIndex)
{
    NEW_S* n = SockNewAt(uNewIndex);
    PEER_S* p = EntryInUse(uIndex);
    if (!n || !p)
        return 0;
    if (p->uSockID != n->uSockID) {
        if (!p->uSockID) {
            p->uSockID = n->uSockID;
        } else if (!m_pSocket->Move(p->uSockID, n->uSockID)) {
            SockNewDelete(n, 0);
            return 0;
        }
    }
    HashRemove(p);
    p->addr = n->addr;
    HashAdd(p);
    m_pSocket->SetPeerParam(p->uSockID, uIndex << 16);
    HelperSetSocketOption(uIndex);
    u32 uPathChanged = n->uFlags & 1;
    SockNewDelete(n, 1);
    if (uPathChanged)
        SocketThroughChange(uIndex << 16);
    p->uConnected = 1;
    p->uActive = m_uTick;
    return 1;
}

u32 CQVClassPeer::SockNewPeerCreate(u32 uNewIndex, const char* lpszName)
{
    NEW_S* n = SockNewAt(uNewIndex);
    if (!n)
        return 0xFFFFFF;
    u32 uObject = HelperAddPeer(lpszName, 0);
    u32 uIndex = EntryOfObject(uObject);
    n = SockNewAt(uNewIndex);   // adding may have evicted and timed out entries
    if (!n)
        return uIndex == 0xFFFFFFFF ? 0xFFFFFF : uIndex;
    PEER_S* p = EntryInUse(uIndex);
    if (!p) {
        qvLogOut(0, "ClassPeer: SockNewPeerCreate, Add peer object failed, Name=%s", lpszName);
        SockNewDelete(n, 0);
        return 0xFFFFFF;
    }
    qvLogOut(3, "ClassPeer: SockNewPeerCreate, Add peer object success, Name=%s", lpszName);
    if (p->uSockID && p->uSockID != n->uSockID)
        m_pSocket->Delete(p->uSockID);
    p->uSockID = n->uSockID;
    HashRemove(p);
    p->addr = n->addr;
    HashAdd(p);
    m_pSocket->SetPeerParam(p->uSockID, uIndex << 16);
    HelperSetSocketOption(uIndex);
    p->uConnected = 1;
    HelperSetStatus(p, QV_PEER_STA_CREATED);
    p->uActive = m_uTick;
    u32 uPathChanged = n->uFlags & 1;
    SockNewDelete(n, 1);
    if (uPathChanged)
        SocketThroughChange(uIndex << 16);
    return uIndex;
}

u32 CQVClassPeer::HelperLANPeerReuse(u32 uIndex, const char* lpszName)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 0;
    char szObj[QV_PEER_NAME_MAX];
    ObjName(p->uObject, szObj, sizeof(szObj));
    // An empty name (the socket restarted its handshake before the event was served) names
    // nobody: the peer keeps its object and its socket.
    if (!lpszName[0] || strcmp(szObj, lpszName) == 0) {
        m_pProc->ObjDisp(p->uObject, QV_PEER_DISP_CONNECT);
        return 1;
    }
    // The LAN socket belongs to a peer of another name: it moves to that peer's object.
    u32 uSockID = p->uSockID;
    QV_ADDR_S addr = p->addr;
    HashRemove(p);
    std::memset(&p->addr, 0, sizeof(p->addr));
    p->uSockID = 0;
    m_pProc->ObjDelete(p->uObject);
    u32 uNew = EntryOfObject(HelperAddPeer(lpszName, 0));
    PEER_S* q = EntryInUse(uNew);
    if (!q) {
        if (uSockID)
            m_pSocket->Delete(uSockID);
        return 0;
    }
    if (q->uSockID && q->uSockID != uSockID)
        m_pSocket->Delete(q->uSockID);
    q->uSockID = uSockID;
    HashRemove(q);
    q->addr = addr;
    HashAdd(q);
    m_pSocket->SetPeerParam(uSockID, uNew << 16);
    q->uConnected = 1;
    q->uActive = m_uTick;
    m_pProc->ObjDisp(q->uObject, QV_PEER_DISP_CONNECT);
    return 1;
}

u32 CQVClassPeer::SocketConnectAtClient(u32 uParam)
{
    char szSock[QV_PEER_NAME_MAX];
    char szObj[QV_PEER_NAME_MAX];
    if (uParam & 0xFFFF) {
        u32 uNewIndex = uParam >> 16;
        NEW_S* n = SockNewAt(uNewIndex);
        if (!n || !m_pSocket->GetPeerName(n->uSockID, szSock, sizeof(szSock)) || !szSock[0])
            return 0;
        qvLogOut(2, "ClassPeer: SocketConnectAtClient, SockNew, szSockName=%s", szSock);
        u32 uObject = m_pProc->ObjGetID(szSock);
        if (uObject) {
            u32 uIndex = EntryOfObject(uObject);
            PEER_S* p = EntryInUse(uIndex);
            if (!p) {
                SockNewDelete(n, 0);
                return 1;
            }
            u32 uInfo = 0;
            if (m_pSocket->GetPeerInfo(n->uSockID, &uInfo) && (uInfo & 1)) {
                HelperSetStatus(p, QV_PEER_STA_ADMITTED);
                p->uFlags |= QV_PEER_FLAG_LAN;
            } else {
                p->uFlags &= ~QV_PEER_FLAG_LAN;
                if (qvAddrIPVer(&p->addr) != QV_ADDR_VER_NONE && !AddrSame(p->addr, n->addr)) {
                    if (!SendStatus(uIndex))
                        SendMaskAdd(uIndex, QV_PEER_PEND_STATUS);
                    return 1;
                }
            }
            p->uConnected = 1;
            p->uActive = m_uTick;
            if (p->uStatus < QV_PEER_STA_ADMITTED) {
                if (!SendStatus(uIndex))
                    SendMaskAdd(uIndex, QV_PEER_PEND_STATUS);
                return 1;
            }
            if (!SockNewPeerMove(uNewIndex, uIndex))
                return 1;
            p->uSendMask &= ~QV_PEER_PEND_SELF;
            if (!SendSyncReport(p->uObject, 0, 1))
                SendMaskAdd(uIndex, QV_PEER_PEND_SELF);
            return 1;
        }
        u32 uSame = PeerSearch(n->addr);
        if (PEER_S* q = EntryInUse(uSame))
            m_pProc->ObjDelete(q->uObject);
        u32 uIndex = SockNewPeerCreate(uNewIndex, szSock);
        if (PEER_S* p = EntryInUse(uIndex))
            m_pProc->ObjDisp(p->uObject, QV_PEER_DISP_CONNECT);
        return 1;
    }
    u32 uIndex = uParam >> 16;
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 0;
    if (!m_pSocket->GetPeerName(p->uSockID, szSock, sizeof(szSock)))
        szSock[0] = 0;
    qvLogOut(2, "ClassPeer: SocketConnectAtClient, Peer, szSockName=%s", szSock);
    p->uConnected = 1;
    p->uActive = m_uTick;
    if (uIndex != m_uPrivSvr && !(p->uFlags & QV_PEER_FLAG_SERVER)) {
        u32 uInfo = 0;
        if (m_pSocket->GetPeerInfo(p->uSockID, &uInfo) && (uInfo & 1))
            return HelperLANPeerReuse(uIndex, szSock);
        if (p->uFlags & QV_PEER_FLAG_STATIC) {
            p->uSendMask &= ~QV_PEER_PEND_SELF;
        } else {
            ObjName(p->uObject, szObj, sizeof(szObj));
            if (strcmp(szObj, szSock) != 0) {
                if (!SendStatus(uIndex))
                    SendMaskAdd(uIndex, QV_PEER_PEND_STATUS);
                return 1;
            }
            if (p->uStatus < QV_PEER_STA_ADMITTED) {
                m_pProc->ObjDisp(p->uObject, QV_PEER_DISP_CONNECT);
                return 1;
            }
        }
    } else {
        p->uSendMask &= ~QV_PEER_PEND_SELF;
    }
    if (!SendSyncReport(p->uObject, 0, 1))
        SendMaskAdd(uIndex, QV_PEER_PEND_SELF);
    return 1;
}

u32 CQVClassPeer::SocketConnectAtServer(u32 uParam)
{
    char szSock[QV_PEER_NAME_MAX];
    char szObj[QV_PEER_NAME_MAX];
    if (uParam & 0xFFFF) {
        u32 uNewIndex = uParam >> 16;
        NEW_S* n = SockNewAt(uNewIndex);
        if (!n)
            return 0;
        if (!m_pSocket->GetPeerName(n->uSockID, szSock, sizeof(szSock)))
            szSock[0] = 0;
        qvPrintf("CQVClassPeer::SocketConnectAtServer, SockNew, szSockName=%s", szSock);
        u32 uObject = szSock[0] ? m_pProc->ObjGetID(szSock) : 0;
        if (uObject && EntryOfObject(uObject) == 0xFFFFFFFF) {
            SockNewDelete(n, 0);
            return 1;
        }
        u32 uSame = PeerSearch(n->addr);
        if (PEER_S* q = EntryInUse(uSame)) {
            ObjName(q->uObject, szObj, sizeof(szObj));
            if (strcmp(szObj, szSock) != 0 && !PeerAddrNameIs(szObj)) {
                m_pProc->ObjDelete(q->uObject);
            } else {
                // The entry that already holds this address takes the socket over.
                SockNewPeerMove(uNewIndex, uSame);
                HelperSetStatus(q, QV_PEER_STA_CREATED);
                return 1;
            }
        }
        char szAddrName[QV_PEER_NAME_MAX];
        if (!PeerAddrNameBuild(n->addr, szAddrName, sizeof(szAddrName))) {
            SockNewDelete(n, 0);
            return 1;
        }
        qvPrintf("CQVClassPeer::SocketConnectAtServer, SockNew, create, szAddrName=%s", szAddrName);
        SockNewPeerCreate(uNewIndex, szAddrName);
        return 1;
    }
    u32 uIndex = uParam >> 16;
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 0;
    if (!m_pSocket->GetPeerName(p->uSockID, szSock, sizeof(szSock)))
        szSock[0] = 0;
    qvPrintf("CQVClassPeer::SocketConnectAtServer, Peer, szSockName=%s", szSock);
    p->uConnected = 1;
    p->uActive = m_uTick;
    ObjName(p->uObject, szObj, sizeof(szObj));
    if (strcmp(szObj, szSock) != 0 && !PeerAddrNameIs(szObj))
        HelperSetStatus(p, QV_PEER_STA_CREATED);
    return 1;
}

u32 CQVClassPeer::SocketConnect(u32 uParam)
{
    return m_uSide ? SocketConnectAtServer(uParam) : SocketConnectAtClient(uParam);
}

u32 CQVClassPeer::SocketDrop(u32 uParam)
{
    if (uParam & 0xFFFF) {
        NEW_S* n = SockNewAt(uParam >> 16);
        if (!n)
            return 0;
        SockNewDelete(n, 0);
        return 1;
    }
    u32 uIndex = uParam >> 16;
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 0;
    if (uIndex != m_uPrivSvr && !(p->uFlags & QV_PEER_FLAG_SERVER)) {
        m_pProc->ObjNotify(p->uObject, QV_PEER_NOTIFY_DROPPED, 0, 0);
        return 1;
    }
    // The server session logs in again, at the transport's current server address.
    HelperSvrPeerSetAddr();
    if ((p = EntryInUse(uIndex)) != nullptr)
        m_pProc->ObjDisp(p->uObject, QV_PEER_DISP_LOGIN);
    return 1;
}

u32 CQVClassPeer::SocketThroughChange(u32 uParam)
{
    if (uParam & 0xFFFF) {
        NEW_S* n = SockNewAt(uParam >> 16);
        if (!n)
            return 0;
        n->uFlags |= 1;
        return 1;
    }
    PEER_S* p = EntryInUse(uParam >> 16);
    if (!p)
        return 0;
    if (!p->uInfoWaiter)
        p->uInfoWaiter = m_pProc->WaiterAlloc(p->uObject, m_uThroughWait, 7, 0);
    return 1;
}

u32 CQVClassPeer::SocketUdp4FwdStatus(u32)
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    return s ? (m_pProc->ObjDisp(s->uObject, QV_PEER_DISP_FWDSTATUS) ? 1 : 0) : 0;
}

u32 CQVClassPeer::SocketUdp4FwdRelayStat(u32)
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    return s ? (m_pProc->ObjDisp(s->uObject, QV_PEER_DISP_FWDRELAY) ? 1 : 0) : 0;
}

u32 CQVClassPeer::SocketUdp4FwdHoleStat(u32)
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    return s ? (m_pProc->ObjDisp(s->uObject, QV_PEER_DISP_FWDHOLE) ? 1 : 0) : 0;
}

// Sets a peer's address from an address setting (returns 0 done, 1 failure, 2 no address).
u32 CQVClassPeer::HelperPeerSetAddr(u32 uIndex, const QV_ADDR_S& addr, const QV_ADDR_S* lpProxy,
                                    const QV_ADDR_S* lpProxy6)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 1;
    // An address of no IP version names nothing: refused as a bad address, not as success.
    if (qvAddrIPVer(&addr) == QV_ADDR_VER_NONE)
        return 2;
    NEW_S* n = nullptr;
    for (NEW_S* x = m_NewUsed.Head(); x && !n; x = NEW_LIST::Next(x))
        if (AddrSame(x->addr, addr))
            n = x;
    if (n) {
        SockNewPeerMove((u32)(n - m_pNew), uIndex);
        HelperSetStatus(p, QV_PEER_STA_ADMITTED);
    } else {
        HashRemove(p);
        std::memset(&p->addr, 0, sizeof(p->addr));
        if (p->uSockID)
            m_pSocket->Delete(p->uSockID);
        p->uSockID = 0;
        u32 uSockID = m_pSocket->Add(&addr, 0, uIndex << 16, 0);
        if (!uSockID)
            return 1;
        // The proxies are handed over only when one is given.
        u32 uProxy = (lpProxy && qvAddrIPVer(lpProxy) == QV_ADDR_VER_IPV4) ||
                     (lpProxy6 && qvAddrIPVer(lpProxy6) == QV_ADDR_VER_IPV6);
        if (uProxy && !m_pSocket->SetPeerProxy(uSockID, lpProxy, lpProxy6)) {
            m_pSocket->Delete(uSockID);
            return 1;
        }
        p->uSockID = uSockID;
        p->addr = addr;
        HelperSetSocketOption(uIndex);
        HelperSetStatus(p, QV_PEER_STA_ADMITTED);
        HashAdd(p);
    }
    p->uSendMask &= ~QV_PEER_PEND_SELF;
    if (!SendSyncReport(p->uObject, 0, 1))
        SendMaskAdd(uIndex, QV_PEER_PEND_SELF);
    return 0;
}
