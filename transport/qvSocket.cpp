// Peer socket table, pending incoming sources, the InitQ/InitR handshake and the inbound
// packet framing.
#include "qvLog.h"

#include "qvSocket.h"
#include "qvSockAddrUti.h"

#include <cstring>

namespace {

// Bucket of the pending-incoming hash: sum of the address words and the port, 8 buckets.
u32 NewHashOf(const QV_ADDR_S& a)
{
    return (a.uAddr[0] + a.uAddr[1] + a.uAddr[2] + a.uAddr[3] + a.uPort) & 7;
}

// Held Data packets per pending incoming source; the oldest goes for the newest when full.
const u32 kNewHeld = 16;

// Data packets in one pass of the socket process thread above which its acks leave before its
// events are handed to the owner: a run this long is a stream's (a message and its answer,
// or a connection's set-up, take a few), whose sender waits for the acks to go on.
const u32 kAckFirstData = 8;

} // namespace

// ---------------------------------------------------------------------------------------
// Table

CQVSocket::SOCK_S* CQVSocket::SockSlot(u32 uSockID)
{
    u32 uInd = uSockID >> 16;
    if (!uSockID || !m_pSocks || uInd >= m_uSockCount || m_pSocks[uInd].uCookie != (uSockID & 0xFFFF)) return 0;
    return &m_pSocks[uInd];
}

CQVSocket::SOCK_S* CQVSocket::SockGet(u32 uSockID)
{
    SOCK_S* s = SockSlot(uSockID);
    return s && s->uInUse ? s : 0;
}

u32 CQVSocket::SockIndex(const SOCK_S* s) const
{
    return (u32)(s - m_pSocks);
}

u32 CQVSocket::SockID(const SOCK_S* s) const
{
    return SockIndex(s) << 16 | s->uCookie;
}

u32 CQVSocket::SockSearch(const QV_ADDR_S& addr)
{
    u32 uSockID = 0;
    if (!m_pLower || !m_pLower->Search(addr, uSockID)) return 0x0FFFFFFF;
    SOCK_S* s = SockGet(uSockID);
    return s ? SockIndex(s) : 0x0FFFFFFF;
}

void CQVSocket::SockResetFields(SOCK_S* s)
{
    s->uProcHandle = 0;
    s->uOwnFlags = 0;
    s->uDisp = 0;
    s->uTimerFlags = 0;
    s->uMDU = 0;
    s->uRecvStamp = 0;
    s->szPeerName[0] = 0;
    s->uCookieRmt = 0;
    s->uPeerFlags = 0;
    s->uState = 0;
    s->uInitQuery = 0;
    s->uInitTry = 0;
    s->uReplyCnnt = 0;
    s->pTop = 0;
    s->uPathGen = 0;
    for (u32 i = 0; i < PRIO_NUM; i++) {
        s->uDispPrio[i] = 0;
        s->uTimerPrio[i] = 0;
        s->uPeerNext[i] = 0;
    }
    s->uPacedMask = 0;
    s->uWaitMask = 0;
    s->uTryCount = 0;
    s->uDropLimit = 0;
    s->uIdleCount = 0;
    s->uSendPend = 0;
    s->uPeerCookieSeen = 0;
    s->uPeerNewRecv = 0;
    s->uPeerNewSend = 0;
    s->uPeerAcked = 0;
}

CQVSocket::SOCK_S* CQVSocket::SockAlloc(const QV_ADDR_S& addr, u32 uParam)
{
    SOCK_S* s = m_SockFree.Head();
    if (!s || !m_pLower) return 0;
    m_SockFree.Remove(s);
    s->uCookie = qvGetCookieShort(s->uCookie);
    u32 uHandle = m_pLower->Add(addr, SockID(s));
    if (!uHandle) {
        m_SockFree.PushHead(s);
        return 0;
    }
    u32 uOk = 1;
    for (u32 i = 0; i < PRIO_NUM && uOk; i++) {
        uOk = s->send[i].que.Create(m_Cfg.uSendQue[i] ? m_Cfg.uSendQue[i] : 1) &&
              s->recv[i].que.Create(m_Cfg.uRecvQue[i] ? m_Cfg.uRecvQue[i] : 1);
    }
    if (!uOk) {
        for (u32 i = 0; i < PRIO_NUM; i++) {
            s->send[i].que.Destroy();
            s->recv[i].que.Destroy();
        }
        m_pLower->Delete(uHandle);
        m_SockFree.PushHead(s);
        return 0;
    }
    SockResetFields(s);
    for (u32 i = 0; i < PRIO_NUM; i++) {
        SEND_Q_S& q = s->send[i];
        SendQInit(q, m_Cfg.uInitWnd[i]);
        q.uBase = q.uNext = q.uAcked = 0;
        RECV_Q_S& r = s->recv[i];
        r.uBase = r.uInOrder = 0;
        r.uHigh = 0xFFFFFFFF;
        r.uEvtMark = 0;
        r.uAdvRoom = 0xFFFF;
        r.uDelayTicks = 0;
    }
    s->uProcHandle = uHandle;
    s->uInUse = 1;
    s->uParam = uParam;
    s->uCookieLcl = qvGetCookieLong();
    s->uCrypto = 0;
    m_SockUsed.PushTail(s);
    CnntPathUpdate(s);
    return s;
}

void CQVSocket::SockFree(SOCK_S* s)
{
    CnntPathClean(s);
    m_DispList.Remove(s);
    m_TimerList.Remove(s);
    m_PacedList.Remove(s);
    m_InitList.Remove(s);
    m_WaitList.Remove(s);
    for (u32 i = 0; i < PRIO_NUM; i++) {
        SEND_Q_S& q = s->send[i];
        if (q.que.IsCreated()) {
            BUF_S* b = 0;
            while (q.que.Pop(b) == 0) {
                // The node learns of every block that will never be sent or acknowledged.
                if (b) {
                    EventPost(QV_SOCK_EVENT_DISCARD, 0, 0, 0, b->uHandle, 0, 0, 0);
                    BufFree(b);
                }
            }
            q.que.Destroy();
        }
        RECV_Q_S& r = s->recv[i];
        if (r.que.IsCreated()) {
            BUF_S* b = 0;
            while (r.que.Pop(b) == 0)
                if (b) BufFree(b);
            r.que.Destroy();
        }
        SendQInit(q, 0);
        q.uBase = q.uNext = q.uAcked = 0;
        r.uBase = r.uHigh = r.uInOrder = r.uDelayTicks = 0;
        r.uAdvRoom = 0xFFFF;
    }
    if (s->uProcHandle && m_pLower) m_pLower->Delete(s->uProcHandle);
    CryptoClose(s);
    SockResetFields(s);
    s->uCookie = qvGetCookieShort(s->uCookie);
    s->uInUse = 0;
    s->uParam = 0xFFFFFFFF;
    s->uCookieLcl = qvGetCookieLong();
    m_SockUsed.Remove(s);
    m_SockFree.PushTail(s);
}

void CQVSocket::SockClean()
{
    if (!m_pSocks) return;
    for (u32 i = 0; i < m_uSockCount; i++) {
        SOCK_S* s = &m_pSocks[i];
        for (u32 k = 0; k < PRIO_NUM; k++) {
            BUF_S* b = 0;
            if (s->send[k].que.IsCreated()) {
                while (s->send[k].que.Pop(b) == 0)
                    if (b) BufFree(b);
            }
            if (s->recv[k].que.IsCreated()) {
                while (s->recv[k].que.Pop(b) == 0)
                    if (b) BufFree(b);
            }
        }
        while (CNNT_PATH_S* p = s->paths.PopHead()) delete p;
    }
    delete[] m_pSocks;
    m_pSocks = 0;
    m_uSockCount = 0;
    m_SockFree.Reset();
    m_SockUsed.Reset();
    m_DispList.Reset();
    m_TimerList.Reset();
    m_PacedList.Reset();
    m_InitList.Reset();
    m_WaitList.Reset();
}

void CQVSocket::ResetInitStart(SOCK_S* s)
{
    s->uState = 0;
    s->uInitQuery = 0;
    s->uInitTry = 0;
    s->uCookieRmt = 0;
    s->uReplyCnnt = 0;
    CryptoClose(s);
    ListDispPush(s, 0x100, 4);
    DispSignal(0x100);
    qvPrintf("CQVSocket::ResetInitStart: uSockInd=%u", SockIndex(s));
}

// A peer that shows a new cookie is a new incarnation: whatever it had received or was
// sending is gone, so both rings start afresh instead of splicing old and new messages, and
// the old session key is dropped.
void CQVSocket::PeerCookieLearn(SOCK_S* s, u32 uCookie)
{
    if (s->uPeerCookieSeen && uCookie && uCookie != s->uPeerCookieSeen) {
        s->uPeerNewRecv = 1;
        s->uPeerNewSend = 1;
        CryptoClose(s);
    }
    if (uCookie) s->uPeerCookieSeen = uCookie;
}

// A cookie mismatch: the handshake starts again, answered on the connection it came on.
void CQVSocket::InitRestart(SOCK_S* s, u32 uCnntID)
{
    s->uState = 0;
    s->uReplyCnnt = uCnntID;
    CryptoClose(s);
    ListDispPush(s, 0x100, 4);
}

// ---------------------------------------------------------------------------------------
// Pending incoming sources

u32 CQVSocket::NewID(const NEW_S* n) const
{
    return (u32)(n - m_pNews) << 16 | n->uCookie;
}

CQVSocket::NEW_S* CQVSocket::NewGetRec(u32 uNewID)
{
    u32 uInd = uNewID >> 16;
    if (!m_pNews || uInd >= m_uNewCount) return 0;
    NEW_S* n = &m_pNews[uInd];
    if (n->uCookie != (uNewID & 0xFFFF) || !m_NewPend.Contains(n)) return 0;
    return n;
}

CQVSocket::NEW_S* CQVSocket::NewSearch(const QV_ADDR_S& addr)
{
    for (NEW_S* n = m_pNewHash[NewHashOf(addr)]; n; n = n->pHashNext)
        if (AddrEq(n->addr, addr)) return n;
    return 0;
}

u32 CQVSocket::NewAlloc(const QV_ADDR_S& addr, u32 uInitParam, const char* lpszName,
                        u32 uCookieSrc, BUF_S* pBlock)
{
    u32 uSockInd = SockSearch(addr);
    if (uSockInd != 0x0FFFFFFF) {
        qvLogOut(2, "Socket: NewAlloc: Exist, uSockInd=%u", uSockInd);
        if (pBlock) BufFree(pBlock);
        return 0;
    }
    NEW_S* n = NewSearch(addr);
    if (n) {
        n->uInitParam = uInitParam;
        n->uCookieSrc = uCookieSrc;
        if (lpszName) {
            std::strncpy(n->szName, lpszName, 127);
            n->szName[127] = 0;
        }
    } else {
        n = m_NewFree.Head();
        if (!n) {
            qvLogOut(1, "Socket: NewAlloc: Not idle new unit.");
            if (pBlock) BufFree(pBlock);
            return 0;
        }
        if (!n->held.IsCreated() && !n->held.Create(kNewHeld)) {
            if (pBlock) BufFree(pBlock);
            return 0;
        }
        m_NewFree.Remove(n);
        n->addr = addr;
        n->uAnnounced = 0;
        n->uInitParam = uInitParam;
        n->uCookieSrc = uCookieSrc;
        n->szName[0] = 0;
        if (lpszName) {
            std::strncpy(n->szName, lpszName, 127);
            n->szName[127] = 0;
        }
        u32 h = NewHashOf(addr);
        n->pHashNext = m_pNewHash[h];
        m_pNewHash[h] = n;
        m_NewPend.PushTail(n);
    }
    if (pBlock) {
        if (n->held.Free() == 0) {
            BUF_S* old = 0;
            if (n->held.Pop(old) == 0 && old) BufFree(old);
        }
        if (n->held.Push(pBlock) != 0) BufFree(pBlock);
    }
    m_uDispMask.fetch_or(0x10000);
    char szAddr[QV_ADDR_STR_SIZE];
    qvLogOut(2, "Socket: NewAlloc: uNewID=%u, uCookieSrc=%u, sName=%s, sAddr=%s", NewID(n),
             n->uCookieSrc, n->szName, AddrText(addr, szAddr));
    return NewID(n);
}

void CQVSocket::NewFree(NEW_S* n)
{
    NEW_S** pp = &m_pNewHash[NewHashOf(n->addr)];
    while (*pp && *pp != n) pp = &(*pp)->pHashNext;
    if (*pp) *pp = n->pHashNext;
    n->pHashNext = 0;
    n->uCookie = qvGetCookieShort(n->uCookie);
    std::memset(&n->addr, 0, sizeof(n->addr));
    n->szName[0] = 0;
    n->uCookieSrc = 0;
    n->uInitParam = 0;
    n->uAnnounced = 0;
    if (n->held.IsCreated()) {
        BUF_S* b = 0;
        while (n->held.Pop(b) == 0)
            if (b) BufFree(b);
        n->held.Destroy();
    }
    m_NewPend.Remove(n);
    m_NewFree.PushTail(n);
}

void CQVSocket::NewDrop(const QV_ADDR_S& addr)
{
    NEW_S* n = NewSearch(addr);
    if (!n) return;
    EventRemove(QV_SOCK_EVENT_NEW, 0, 0, 0, 0, NewID(n), 0, 0);
    char szAddr[QV_ADDR_STR_SIZE];
    qvPrintf("CQVSocket::NewDrop: uNewID=%u, szAddr=%s", NewID(n), AddrText(addr, szAddr));
    NewFree(n);
}

void CQVSocket::NewClean()
{
    if (m_pNews) {
        for (u32 i = 0; i < m_uNewCount; i++) {
            NEW_S* n = &m_pNews[i];
            if (n->held.IsCreated()) {
                BUF_S* b = 0;
                while (n->held.Pop(b) == 0)
                    if (b) BufFree(b);
                n->held.Destroy();
            }
        }
        delete[] m_pNews;
    }
    m_pNews = 0;
    m_uNewCount = 0;
    m_NewFree.Reset();
    m_NewPend.Reset();
    for (u32 i = 0; i < 8; i++) m_pNewHash[i] = 0;
}

u32 CQVSocket::NewGet(u32 uNewID, QV_ADDR_S& addr)
{
    if (!m_uInit) return 0;
    SectDisp lk(this);
    NEW_S* n = NewGetRec(uNewID);
    if (!n) return 0;
    addr = n->addr;
    return 1;
}

u32 CQVSocket::NewGetInitParam(u32 uNewID, char* lpszName, u32& uCookie)
{
    if (!m_uInit) return 0;
    SectDisp lk(this);
    NEW_S* n = NewGetRec(uNewID);
    if (!n || !n->uInitParam) return 0;
    if (lpszName) {
        std::memcpy(lpszName, n->szName, 128);
        lpszName[127] = 0;
    }
    uCookie = n->uCookieSrc;
    return 1;
}

s32 CQVSocket::NewBufGet(u32 uNewID, QV_SK_BUF_S& buf)
{
    if (!m_uInit) return -5;
    SectDisp lk(this);
    NEW_S* n = NewGetRec(uNewID);
    if (!n || !n->held.IsCreated()) return -5;
    BUF_S* b = 0;
    while (n->held.Pop(b) == 0) {
        if (!b) continue;
        const u8* p = b->pData + b->uOffset;
        if (!(p[2] & QV_SKD_LAST)) {
            BufFree(b);
            continue;
        }
        u32 uPay = b->uLen - QV_SKP_DATA_HDR;
        // A buffer too small for the held message is refused; nothing is written past it.
        if (uPay > buf.uSize || (uPay && !buf.lpData)) {
            BufFree(b);
            return -6;
        }
        if (uPay) std::memcpy(buf.lpData, p + QV_SKP_DATA_HDR, uPay);
        buf.uObject = qvSkRd32(p + 12);
        buf.uMethod = (u16)qvSkRd16(p + 16);
        buf.uFlag = (u16)qvSkRd16(p + 18);
        buf.uPrio = p[3];
        buf.uHandle2 = qvSkRd32(p + 20);
        buf.uHandle = 0;
        buf.uRemain = 0;
        BufFree(b);
        qvLogOut(2, "Socket: NewBufGet, uNewID=%u, uObject=%u, uMethod=%u, uFlag=%u, uPrio=%u",
                 uNewID, buf.uObject, (u32)buf.uMethod, (u32)buf.uFlag, buf.uPrio);
        return (s32)uPay;
    }
    return -5;
}

void CQVSocket::NewDelete(u32 uNewID)
{
    if (!m_uInit) return;
    SectDisp lk(this);
    NEW_S* n = NewGetRec(uNewID);
    if (!n) return;
    NewFree(n);
    qvLogOut(2, "Socket: NewDelete, uNewID=%u", uNewID);
}

// ---------------------------------------------------------------------------------------
// Node-facing peer socket operations

u32 CQVSocket::Add(const QV_ADDR_S* lpAddr, u32 uNewID, u32 uParam, u32 uPrepare)
{
    if (!m_uInit) return 0;
    u32 uResult = 0;
    {
        SectDisp lk(this);
        QV_ADDR_S addr;
        NEW_S* n = 0;
        if (uNewID) {
            n = NewGetRec(uNewID);
            if (!n) {
                qvLogOut(2, "Socket: Add, SockID=%u", 0u);
                return 0;
            }
            addr = n->addr;
            if (lpAddr) *const_cast<QV_ADDR_S*>(lpAddr) = addr;
        } else {
            if (!lpAddr) {
                qvLogOut(2, "Socket: Add, SockID=%u", 0u);
                return 0;
            }
            addr = *lpAddr;
        }
        SOCK_S* s = 0;
        u32 uInd = SockSearch(addr);
        if (uInd != 0x0FFFFFFF) {
            s = &m_pSocks[uInd];
            s->uParam = uParam;
            CnntPathUpdate(s);
            qvPrintf("CQVSocket::Add, Reuse, uSockInd=%u, uSockID=%u", uInd, SockID(s));
        } else {
            s = SockAlloc(addr, uParam);
            if (s) qvPrintf("CQVSocket::Add, New alloc, uSockInd=%u, uSockID=%u", SockIndex(s), SockID(s));
        }
        if (n) {
            if (s && n->uInitParam) {
                std::memcpy(s->szPeerName, n->szName, 128);
                s->uCookieRmt = n->uCookieSrc;
                s->uInitQuery = 1;
                ListDispPush(s, 0x10, 4);
            }
            NewFree(n);
        } else {
            NewDrop(addr);
        }
        if (s) {
            s->uOwnFlags = (s->uOwnFlags & ~1u) | (uPrepare ? 1u : 0u);
            s->uState = 0;
            s->uReplyCnnt = 0;
            ListDispPush(s, 0x100, 4);
            DispSignal(0x110);
            uResult = SockID(s);
        }
    }
    qvLogOut(2, "Socket: Add, SockID=%u", uResult);
    return uResult;
}

void CQVSocket::Delete(u32 uSockID)
{
    qvLogOut(2, "Socket: Delete, uSockID=%u", uSockID);
    if (!m_uInit) return;
    {
        SectDisp lk(this);
        SOCK_S* s = SockGet(uSockID);
        if (s) {
            if (s->uProcHandle && m_pLower) m_pLower->Delete(s->uProcHandle);
            s->uProcHandle = 0;
            s->uParam = 0xFFFFFFFF;
            ListDispPush(s, 0x400, 4);
            DispSignal(0x400);
        }
    }
    if (m_pOwner) m_pOwner->SocketDrop(uSockID);
}

s32 CQVSocket::Reconnect(u32 uSockID)
{
    if (!m_uInit) return -5;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return -4;
    qvLogOut(1, "Socket: Reconnect: uSockInd=%u", SockIndex(s));
    s->uState = 0;
    s->uCookieLcl = qvGetCookieLong();
    s->uCookieRmt = 0;
    s->uReplyCnnt = 0;
    ListDispPush(s, 0x100, 4);
    DispSignal(0x100);
    return 0;
}

u32 CQVSocket::Move(u32 uSockIDDst, u32 uSockIDSrc)
{
    if (!m_uInit) return 0;
    SectDisp lk(this);
    SOCK_S* d = SockGet(uSockIDDst);
    SOCK_S* s = SockGet(uSockIDSrc);
    if (!d || !s || d == s) return 0;
    if (d->uProcHandle && m_pLower) m_pLower->Delete(d->uProcHandle);
    d->uProcHandle = 0;
    CryptoClose(d);
    if (s->uProcHandle) {
        d->uProcHandle = s->uProcHandle;
        if (m_pLower) m_pLower->SetPeerParam(d->uProcHandle, uSockIDDst);
        if (s->uOwnFlags & 2) d->uOwnFlags |= 2;
        CnntPathUpdate(d);
    }
    s->uProcHandle = 0;
    s->uParam = 0xFFFFFFFF;
    d->uCrypto = s->uCrypto;
    s->uCrypto = 0;
    ListDispPush(s, 0x400, 4);
    ResetInitStart(d);
    qvPrintf("CQVSocket::Move, success, uSockInd=%u, uSockID=%u, uSockIDSrc=%u", SockIndex(d),
             uSockIDDst, uSockIDSrc);
    return 1;
}

u32 CQVSocket::SetPeerParam(u32 uSockID, u32 uParam)
{
    if (!m_uInit) return 0;
    u32 uOld = 0, uChanged = 0;
    {
        SectDisp lk(this);
        SOCK_S* s = SockGet(uSockID);
        if (!s) return 0;
        uOld = s->uParam;
        u32 uQueued = 0;   // priorities whose event 4 still waits in the queue
        {
            std::lock_guard<std::mutex> ek(m_EventMutex);
            for (EVENT_S* e = m_EventQue.Head(); e; e = EVENT_LIST::Next(e)) {
                if (e->uEvent != QV_SOCK_EVENT_RECV || e->uSockID != uSockID) continue;
                if (e->uVal[0] < PRIO_NUM) uQueued |= 1u << e->uVal[0];
                if (uOld != uParam && e->uParam == uOld) {
                    e->uParam = uParam;
                    qvPrintf("CQVSocket::EventModifyParam: uSockID=%u, uCmnParamOld=%u, uCmnParamNew=%u",
                             uSockID, uOld, uParam);
                }
            }
        }
        if (uOld != uParam) {
            uChanged = 1;
            s->uParam = uParam;
        }
        if (s->uOwnFlags & 1) {
            s->uOwnFlags &= ~1u;
            qvLogOut(3, "Socket: SetPeerParam, init start, uSockInd=%u", SockIndex(s));
            ResetInitStart(s);
        }
        // A message already announced under the old value is announced again (the node may
        // have set it aside for an unbound socket); one still queued carries the new value.
        for (u32 i = 0; i < PRIO_NUM; i++) {
            if (!s->recv[i].uInOrder) continue;
            if (!(uQueued & (1u << i))) s->recv[i].uEvtMark = 0;
            ListDispPush(s, 0x4, i);
        }
        DispSignal(0x4);
    }
    if (uChanged && m_pOwner) m_pOwner->SocketSetParam(uSockID, uOld, uParam);
    return 1;
}

u32 CQVSocket::SetPeerAddr(u32 uSockID, const QV_ADDR_S* lpAddr)
{
    if (!m_uInit || !lpAddr) return 0;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s || !m_pLower) return 0;
    QV_ADDR_S old;
    std::memset(&old, 0, sizeof(old));
    if (s->uProcHandle && m_pLower->GetPeerAddr(s->uProcHandle, &old) && AddrEq(old, *lpAddr))
        return 1;
    u32 uHandle = m_pLower->Add(*lpAddr, uSockID);
    if (!uHandle) return 0;
    if (s->uProcHandle && s->uProcHandle != uHandle) m_pLower->Delete(s->uProcHandle);
    s->uProcHandle = uHandle;
    NewDrop(*lpAddr);
    CnntPathUpdate(s);
    ResetInitStart(s);
    char a1[QV_ADDR_STR_SIZE], a2[QV_ADDR_STR_SIZE];
    qvPrintf("CQVSocket::SetPeerAddr, uSockInd=%u, szAddrOld=%s, szAddrNew=%s", SockIndex(s),
             AddrText(old, a1), AddrText(*lpAddr, a2));
    return 1;
}

s32 CQVSocket::PostNodeEvent(u32 uSockID, u32 uP1, u32 uP2, u32 uP3, u32 uP4, u32 uExtra)
{
    if (!m_uInit) return -5;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return -4;
    if (!EventPost(QV_SOCK_EVENT_POSTED, uP1, uP2, uP3, uP4, s->uParam, uExtra, uSockID)) return -1;
    m_EventDisp.Signal();
    return 0;
}

u32 CQVSocket::GetPeerName(u32 uSockID, char* lpszDst, u32 uSize)
{
    if (!m_uInit || !lpszDst || !uSize) return 0;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s || s->uState != 2) return 0;
    std::strncpy(lpszDst, s->szPeerName, uSize - 1);
    lpszDst[uSize - 1] = 0;
    return 1;
}

u32 CQVSocket::GetPeerRecvStamp(u32 uSockID)
{
    if (!m_uInit) return 0;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    return s ? s->uRecvStamp : 0;
}

// ---------------------------------------------------------------------------------------
// Outbound control packets

s32 CQVSocket::SocketProcSend(SOCK_S* s, const u8* lpPkt, u32 uLen, u32 uCnntID, u32 uMode,
                              u32* lpuUsed)
{
    if (!m_pLower || !s->uProcHandle || uLen + QV_SKP_HEADROOM > QV_SKP_MAX_DGRAM) return -1;
    u8 aTmp[QV_SKP_MAX_DGRAM];
    std::memcpy(aTmp + QV_SKP_HEADROOM, lpPkt, uLen);
    QV_BUF_S b;
    b.buf = aTmp;
    b.uOffset = QV_SKP_HEADROOM;
    b.uSize = sizeof(aTmp);
    b.uLen = uLen;
    b.uParam = 0;
    u32 uUsed = uCnntID;
    s32 r = m_pLower->Send(s->uProcHandle, b, uCnntID, uMode, &uUsed);
    if (lpuUsed) *lpuUsed = uUsed;
    return r;
}

u32 CQVSocket::SendInit(SOCK_S* s, u32 uAction)
{
    if (!m_szName[0]) return 0;
    u8 p[QV_SKP_INIT_LEN];
    std::memset(p, 0, sizeof(p));
    p[1] = (u8)uAction;
    p[2] = (s->uOwnFlags & 1) ? 3 : 7;
    qvSkWr32(p + 4, s->uCookieRmt);
    qvSkWr32(p + 8, s->uCookieLcl);
    std::memcpy(p + 12, m_szName, 127);
    // The next block of each priority as the receive rings will expect it once this InitR
    // is out and ReceiveQueueReset has run (for a new peer incarnation, only the complete
    // messages of the in-order run stay).
    if (uAction == QV_SKP_INITR)
        for (u32 i = 0; i < PRIO_NUM; i++) qvSkWr32(p + 140 + 4 * i, s->recv[i].uBase + RecvKeptRun(s, i));
    u32 uCnnt = s->uReplyCnnt;
    s->uReplyCnnt = 0;
    return SocketProcSend(s, p, sizeof(p), uCnnt, 2, 0) > 0 ? 1 : 0;
}

u32 CQVSocket::SendName(SOCK_S* s, u32 uCnntID)
{
    u8 p[QV_SKP_NAME_LEN];
    std::memset(p, 0, sizeof(p));
    p[1] = QV_SKP_NAMER;
    std::memcpy(p + 4, m_szName, 127);
    return SocketProcSend(s, p, sizeof(p), uCnntID, 2, 0) > 0 ? 1 : 0;
}

void CQVSocket::SendSimulateReply(const QV_ADDR_S& addr, const QV_BUF_S& buf, u32 uDriv)
{
    if (buf.uLen < QV_SKP_INIT_MIN || !m_pLower) return;
    const u8* q = buf.buf + buf.uOffset;
    u8 aTmp[QV_SKP_HEADROOM + QV_SKP_INIT_LEN];
    std::memset(aTmp, 0, sizeof(aTmp));
    u8* p = aTmp + QV_SKP_HEADROOM;
    p[1] = QV_SKP_INITR;
    qvSkWr32(p + 4, qvSkRd32(q + 8));
    std::memcpy(p + 12, m_szName, 127);
    QV_BUF_S b;
    b.buf = aTmp;
    b.uOffset = QV_SKP_HEADROOM;
    b.uSize = sizeof(aTmp);
    b.uLen = QV_SKP_INIT_LEN;
    b.uParam = 0;
    m_pLower->SendDirect(addr, b, uDriv);
}

// ---------------------------------------------------------------------------------------
// Inbound packets

void CQVSocket::SockEventData(QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID, u32 uDriv)
{
    if (!m_uInit) return;
    u32 uSum = buf.uOffset + buf.uLen;
    if (uSum > QV_SKP_MAX_DGRAM || uSum < buf.uOffset || (buf.uSize && uSum > buf.uSize)) {
        qvLogOut(2, "Socket: SockEventData, Data size too long, uSize=%u", uSum);
        m_Stat.uTooLong++;
        return;
    }
    if (!buf.buf || buf.uLen < 4) {
        m_Stat.uShort++;
        return;
    }
    const u8* p = buf.buf + buf.uOffset;
    if (m_uMainSpeed && uSockID == 0) {
        if (p[1] != QV_SKP_INITQ) return;
        if (m_uInitPend.load() >= m_uMainSpeed) {
            SendSimulateReply(addr, buf, uDriv);
            return;
        }
    }
    if (p[1] == QV_SKP_DATA && qvDgramDeferred()) m_uPassData++;
    if (m_uBatch)
        BatchRecvPush(addr, buf, uSockID, uCnntID);
    else if (!qvDgramDeferred() || !PassRecvPush(addr, buf, uSockID, uCnntID))
        SockEventDataProc(addr, buf, uSockID, uCnntID);
}

void CQVSocket::SockEventDataProc(const QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID)
{
    u32 r;
    {
        SectDisp lk(this);
        if (!m_uInit) return;
        r = SockEventDataLocked(addr, buf, uSockID, uCnntID);
    }
    if (r && (m_uDispMask.load() & 0x121fc)) DispWake();
}

void CQVSocket::DispWake()
{
    if (qvDgramDeferred())
        m_uWakePend = 1;
    else
        m_EventDisp.Signal();
}

void CQVSocket::SockEventBatchEnd()
{
    PassRecvProc();
    // A light pass's events reach the owner before the pass's acks leave: each ack's send
    // runs the peer's receive path on this thread (tens of microseconds on a virtual link)
    // and would sit between a message and its delivery. The acks then go out with whatever
    // the owner sent meanwhile, in the order they were made, in one batch. After a burst
    // the events go to the dispatcher and the acks leave at once.
    // A pass that took in a stream's run of Data packets sends its acks first: the sender's
    // window waits for them, and the owner's handling of the run (writing a forwarded TCP
    // stream to its socket, tens of microseconds) would otherwise add to every round trip.
    if (m_uPassData > kAckFirstData) m_Out.Flush();
    m_uPassData = 0;
    DispInline();
    m_Out.Flush();
}

u32 CQVSocket::SockEventDataLocked(const QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID)
{
    if (!buf.buf || buf.uLen < 4) {
        m_Stat.uShort++;
        return 0;
    }
    const u8* p = buf.buf + buf.uOffset;
    switch (p[1]) {
    case QV_SKP_INITQ: return RecvInitQ(addr, buf, uSockID, uCnntID);
    case QV_SKP_INITR: return RecvInitR(addr, buf, uSockID, uCnntID);
    case QV_SKP_ENCQ: return RecvEncQ(addr, buf, uSockID, uCnntID);
    case QV_SKP_ENCR: return RecvEncR(addr, buf, uSockID, uCnntID);
    case QV_SKP_DATA: return RecvData(addr, buf, uSockID, uCnntID);
    case QV_SKP_ACK: return RecvAck(addr, buf, uSockID, uCnntID);
    case QV_SKP_NAMEQ: {
        SOCK_S* s = SockGet(uSockID);
        if (s) SendName(s, uCnntID);
        return 0;
    }
    case QV_SKP_NAMER: return 0;
    default:
        qvPrintf("CQVSocket::SockEventData, Invalid action: 0x%x", (u32)p[1]);
        return 0;
    }
}

u32 CQVSocket::RecvInitQ(const QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID)
{
    if (buf.uLen < QV_SKP_INIT_MIN) {
        qvPrintf("CQVSocket::RecvInitQ: Data size to short");
        m_Stat.uShort++;
        return 0;
    }
    u8* p = buf.buf + buf.uOffset;
    p[139] = 0;
    u32 uInd = uSockID >> 16;
    if (SockSlot(uSockID)) {
        SOCK_S* s = &m_pSocks[uInd];
        if (!s->uInUse) return 0;
        std::memcpy(s->szPeerName, p + 12, 128);
        u32 uRecv = qvSkRd32(p + 4);
        if (uRecv != s->uCookieLcl) {
            qvPrintf("CQVSocket::RecvInitQ: cookie not match, uSockInd=%u, CookieLcl=%u, CookieRecv=%u, CookieSrc=%u",
                     uInd, s->uCookieLcl, uRecv, qvSkRd32(p + 8));
            if (s->uState != 1) InitRestart(s, uCnntID);
        }
        PeerCookieLearn(s, qvSkRd32(p + 8));
        s->uRecvStamp = m_uSecond.load();
        s->uPeerFlags = p[2];
        s->uCookieRmt = qvSkRd32(p + 8);
        s->uInitQuery = 1;
        ListDispPush(s, 0x10, 4);
        return 1;
    }
    return NewAlloc(addr, 1, (const char*)p + 12, qvSkRd32(p + 8), 0) ? 1 : 0;
}

u32 CQVSocket::RecvInitR(const QV_ADDR_S&, QV_BUF_S& buf, u32 uSockID, u32 uCnntID)
{
    if (buf.uLen < QV_SKP_INIT_MIN) {
        qvPrintf("CQVSocket::RecvInitR: Data size to short");
        m_Stat.uShort++;
        return 0;
    }
    u32 uInd = uSockID >> 16;
    if (!SockSlot(uSockID)) {
        qvPrintf("CQVSocket::RecvInitR: Socket not exist.");
        return 0;
    }
    SOCK_S* s = &m_pSocks[uInd];
    if (!s->uInUse) return 0;
    u8* p = buf.buf + buf.uOffset;
    p[139] = 0;
    std::memcpy(s->szPeerName, p + 12, 128);
    s->uCookieRmt = qvSkRd32(p + 8);
    u32 uRecv = qvSkRd32(p + 4);
    if (uRecv == s->uCookieLcl) {
        PeerCookieLearn(s, s->uCookieRmt);
        TimerDispDelete(s, 0x8, 4);
        for (u32 i = 0; i < PRIO_NUM; i++) TimerDispDelete(s, 0x8, i);
        s->uRecvStamp = m_uSecond.load();
        s->uPeerFlags = p[2];
        if (buf.uLen >= QV_SKP_INIT_LEN && (p[2] & 6))
            for (u32 i = 0; i < PRIO_NUM; i++) s->uPeerNext[i] = qvSkRd32(p + 140 + 4 * i);
        ListDispPush(s, 0x20, 4);
        return 1;
    }
    qvPrintf("CQVSocket::RecvInitR: cookie not match, uSockInd=%u, CookieLcl=%u, CookieRecv=%u, CookieSrc=%u",
             uInd, s->uCookieLcl, uRecv, s->uCookieRmt);
    TimerDispDelete(s, 0x8, 4);
    InitRestart(s, uCnntID);
    return 1;
}
