// Peer class Send and Receive, the receive backlog (messages of classes 0 and 1 from a peer
// that is not ready yet) and the send backlog (messages waiting for the ID the peer uses for
// the sending object). Both are bounded by count, by age and, on the receive side, by size.
#include <cstring>
#include <new>

#include "qvClassPeer.h"
#include "qvLog.h"
#include "qvNode.h"
#include "qvSocket.h"

void CQVClassPeer::RblFree(RBL_S* r)
{
    m_Rbl.Remove(r);
    delete[] r->pData;
    delete r;
}

void CQVClassPeer::SblFree(SBL_S* s)
{
    m_Sbl.Remove(s);
    delete[] s->pData;
    delete s;
}

void CQVClassPeer::RecvBacklogClean(u32 uInst)
{
    RBL_S* r = m_Rbl.Head();
    while (r) {
        RBL_S* n = CQVList<RBL_S>::Next(r);
        if (uInst >= m_uPeerMax || r->uIndex == uInst)
            RblFree(r);
        r = n;
    }
    m_uRblCount = m_Rbl.Count();
}

void CQVClassPeer::SendBacklogClean(u32 uInst)
{
    CallClean(uInst);
    SBL_S* s = m_Sbl.Head();
    while (s) {
        SBL_S* n = CQVList<SBL_S>::Next(s);
        if (uInst >= m_uPeerMax || s->uIndex == uInst)
            SblFree(s);
        s = n;
    }
    m_uSblCount = m_Sbl.Count();
}

u32 CQVClassPeer::CheckRecvBacklog(u32 uInst, u32 uPrio, u32 uMethod, u32 uObject, u32, u32 uExtra)
{
    PEER_S* p = EntryInUse(uInst);
    if (!p)
        return 0;
    if (m_uSide) {
        if (p->uStatus > QV_PEER_STA_CREATED)
            p->uActive = m_uTick;
        return 0;
    }
    if (uInst == m_uPrivSvr || (p->uFlags & QV_PEER_FLAG_SERVER)) {
        p->uActive = m_uTick;
        return 0;
    }
    if (m_uLoginStatus != 3)
        return 0;
    if (p->uStatus >= QV_PEER_STA_ADMITTED) {
        p->uActive = m_uTick;
        return 0;
    }
    return RecvBacklogPush(uInst, uPrio, uMethod, uObject, uExtra);
}

u32 CQVClassPeer::RecvBacklogPush(u32 uIndex, u32 uPrio, u32 uMethod, u32 uObject, u32 uExtra)
{
    if (uExtra)
        return 1;
    PEER_S* p = EntryInUse(uIndex);
    if (!p || !m_pRecvBuf)
        return 1;
    QV_SK_BUF_S b;
    std::memset(&b, 0, sizeof(b));
    b.uPrio = uPrio;
    b.uObject = uObject;
    b.uMethod = (u16)uMethod;
    b.uSize = m_uRecvBufSize;
    b.lpData = m_pRecvBuf;
    s32 n = m_pSocket->Receive(p->uSockID, b, 0);
    if (n < 1 || (u32)n > QV_PEER_RBL_DATA_MAX)
        return 1;
    if (m_Rbl.Count() >= m_uRblMax && m_Rbl.Head())
        RblFree(m_Rbl.Head());
    RBL_S* r = new (std::nothrow) RBL_S();
    u8* d = new (std::nothrow) u8[n];
    if (!r || !d) {
        delete r;
        delete[] d;
        m_uRblCount = m_Rbl.Count();
        return 1;
    }
    std::memcpy(d, m_pRecvBuf, n);
    r->uStamp = m_uTick;
    r->uIndex = uIndex;
    r->uKey = 0;
    r->uPrio = (u16)b.uPrio;
    r->uFlag = b.uFlag;
    r->uMethod = b.uMethod;
    r->uObject = b.uObject;
    r->uParam = b.uHandle2;
    r->pData = d;
    r->uLen = (u32)n;
    m_Rbl.PushTail(r);
    m_uRblCount = m_Rbl.Count();
    qvPrintf("CQVClassPeer::RecvBacklogPush, finish. uPrivID=%u, uPrio=%u, uMethod=%u, uObject=%u, uDataSize=%u",
             uIndex, r->uPrio, r->uMethod, r->uObject, r->uLen);
    return 1;
}

u32 CQVClassPeer::RecvBacklogEvent(u32 uInst)
{
    RBL_S* r = m_Rbl.Head();
    while (r) {
        RBL_S* n = CQVList<RBL_S>::Next(r);
        if (m_uTick - r->uStamp > QV_PEER_RBL_AGE) {
            RblFree(r);
        } else if (r->uIndex == uInst) {
            PEER_S* p = EntryInUse(uInst);
            if (p && m_pSocket->PostNodeEvent(p->uSockID, r->uPrio, r->uMethod, r->uObject, r->uParam, r->uKey) >= 0) {
                m_uRblCount = m_Rbl.Count();
                return 1;
            }
            RblFree(r);
        }
        r = n;
    }
    m_uRblCount = m_Rbl.Count();
    return 0;
}

s32 CQVClassPeer::RecvBacklogPop(u32 uIndex, tagQV_SK_BUF_S& buf, u32 uKey)
{
    qvPrintf("CQVClassPeer::RecvBacklogPop, uPrivID=%u", uIndex);
    s32 iRes = -5;
    RBL_S* r = m_Rbl.Head();
    while (r) {
        RBL_S* n = CQVList<RBL_S>::Next(r);
        if (m_uTick - r->uStamp > QV_PEER_RBL_AGE) {
            qvPrintf("CQVClassPeer::RecvBacklogPop, Delete. uPrivID=%u, uPrio=%u, uMethod=%u, uObject=%u", r->uIndex,
                     r->uPrio, r->uMethod, r->uObject);
            RblFree(r);
        } else if (r->uIndex == uIndex && r->uKey == uKey) {
            if (r->uLen <= buf.uSize && buf.lpData) {
                std::memcpy(buf.lpData, r->pData, r->uLen);
                buf.uPrio = r->uPrio;
                buf.uFlag = r->uFlag;
                buf.uMethod = r->uMethod;
                buf.uObject = r->uObject;
                buf.uHandle2 = r->uParam;
                buf.uRemain = 0;
                iRes = (s32)r->uLen;
                RblFree(r);
                break;
            }
            RblFree(r);
        }
        r = n;
    }
    m_uRblCount = m_Rbl.Count();
    return iRes;
}

s32 CQVClassPeer::Receive(u32 uInst, tagQV_SK_BUF_S& buf, u32 uOption, u32 uKey, u32 uBacklog)
{
    if (uInst >= m_uPeerMax)
        return -3;
    if (!CanRecv(uInst)) {
        qvPrintf("CQVClassPeer::Receive, iRet=%d", -5);
        return -5;
    }
    PEER_S* p = Entry(uInst);
    if (m_uSide && p->uStatusWaiter)
        return -5;
    if (!uBacklog) {
        if (uKey)
            return -5;
        return m_pSocket->Receive(p->uSockID, buf, uOption);
    }
    s32 r = RecvBacklogPop(uInst, buf, uKey);
    if (r > 0)
        RecvBacklogEvent(uInst);
    return r;
}

s32 CQVClassPeer::Send(u32 uInst, tagQV_SK_BUF_S& buf, u32 uSendFlags, u32 uMode, u32 uObject)
{
    if (uInst >= m_uPeerMax)
        return -3;
    PEER_S* p = EntryInUse(uInst);
    if (!p)
        return -5;
    if (!m_uSide) {
        u32 uServer = uInst == m_uPrivSvr;
        if (m_uLoginStatus != 3 && !uServer && !(p->uFlags & (QV_PEER_FLAG_STATIC | QV_PEER_FLAG_LAN))) {
            qvPrintf("CQVClassPeer::Send, No login, uPrivID=%u, m_uPrivSvr=%u", uInst, m_uPrivSvr);
            return -5;
        }
        if (p->uStatus == QV_PEER_STA_ADMITTED) {
            if (m_uTick - p->uActive > QV_PEER_SEND_NUDGE) {
                m_pProc->ObjDisp(p->uObject, QV_PEER_DISP_SYNC);
                p->uActive = m_uTick;
            }
        } else if (p->uStatus == QV_PEER_STA_CREATED) {
            if (m_uTick - p->uActive > QV_PEER_SEND_NUDGE) {
                if (!uServer && !(p->uFlags & QV_PEER_FLAG_STATIC))
                    m_pProc->ObjDisp(p->uObject, QV_PEER_DISP_CONNECT);
                p->uActive = m_uTick;
            }
        } else if (p->uStatus != QV_PEER_STA_SYNC) {
            return -5;
        }
    }
    if (buf.uObject) {
        if (uMode)
            return -5;
        // Messages of this object that waited for the ID go first: the ID may be known before
        // the notification that releases them has been served. One that the full queue still
        // refuses keeps its place: a later message of the same priority waits too (refused
        // as by the full queue).
        for (SBL_S* s = m_Sbl.Head(); s; s = CQVList<SBL_S>::Next(s))
            if (s->uIndex == uInst && s->uLocal == uObject) {
                SendBacklogPop(uInst, uObject);
                break;
            }
        if (buf.uPrio == 0)
            for (SBL_S* s = m_Sbl.Head(); s; s = CQVList<SBL_S>::Next(s))
                if (s->uIndex == uInst && s->uLocal == uObject)
                    return 0;
        return m_pSocket->Send(p->uSockID, buf, uSendFlags);
    }
    if (m_uSide)
        return -5;
    return SendBacklogPush(uInst, buf, uSendFlags, uMode, uObject);
}

s32 CQVClassPeer::SendBacklogPush(u32 uIndex, tagQV_SK_BUF_S& buf, u32 uSendFlags, u32 uMode, u32 uLocal)
{
    if (uMode)
        return (s32)buf.uSize;
    // Held messages are bounded in size as well as in count: nothing longer than the peer can
    // ever receive waits here.
    if (buf.uPrio != 0 || buf.uSize > QV_PEER_MSG_MAX || (buf.uSize && !buf.lpData))
        return -5;
    SBL_S* s = m_Sbl.Head();
    while (s) {
        SBL_S* n = CQVList<SBL_S>::Next(s);
        if (m_uTick - s->uStamp > QV_PEER_SBL_AGE) {
            SblFree(s);
        } else if (s->uIndex == uIndex && s->uLocal == uLocal && s->uMethod == buf.uMethod && s->uFlag == buf.uFlag &&
                   s->uLen == buf.uSize && (!s->uLen || std::memcmp(s->pData, buf.lpData, s->uLen) == 0)) {
            m_uSblCount = m_Sbl.Count();
            return -5;
        }
        s = n;
    }
    // Full: the new message is refused (its sender tries again, as for a full queue) rather
    // than an older one dropped that its sender took for sent.
    if (m_Sbl.Count() >= m_uSblMax) {
        m_uSblCount = m_Sbl.Count();
        return 0;
    }
    SBL_S* r = new (std::nothrow) SBL_S();
    u8* d = buf.uSize ? new (std::nothrow) u8[buf.uSize] : nullptr;
    if (!r || (buf.uSize && !d)) {
        delete r;
        delete[] d;
        m_uSblCount = m_Sbl.Count();
        return -5;
    }
    if (buf.uSize)
        std::memcpy(d, buf.lpData, buf.uSize);
    r->uStamp = m_uTick;
    r->uIndex = uIndex;
    r->uLocal = uLocal;
    r->uMode = 0;
    r->uPrio = 0;
    r->uFlag = buf.uFlag;
    r->uMethod = buf.uMethod;
    r->uParam = buf.uHandle2;
    r->uHandle = buf.uHandle;
    r->pData = d;
    r->uLen = buf.uSize;
    r->uSendFlags = uSendFlags;
    m_Sbl.PushTail(r);
    m_uSblCount = m_Sbl.Count();
    return (s32)buf.uSize;
}

// Sends a held message to the peer's object uID; false when the queue refused it (a message
// with no bytes counts as gone either way, as the socket layer takes it whole or not at all).
bool CQVClassPeer::SblSend(PEER_S* p, const SBL_S* s, u32 uID)
{
    QV_SK_BUF_S b;
    std::memset(&b, 0, sizeof(b));
    b.uHandle = s->uHandle;
    b.uObject = uID;
    b.uMethod = s->uMethod;
    b.uFlag = s->uFlag;
    b.uPrio = s->uPrio;
    b.uHandle2 = s->uParam;
    b.uSize = s->uLen;
    b.lpData = s->pData;
    if (s->uLen && PendQueueFull(p))
        return false;
    if (m_pSocket->Send(p->uSockID, b, s->uSendFlags) != 0)
        return true;
    PendRefused(p);
    return !s->uLen;
}

u32 CQVClassPeer::SendBacklogPop(u32 uInst, u32 uLocal)
{
    PEER_S* p = EntryInUse(uInst);
    u32 uSent = 0;
    SBL_S* s = m_Sbl.Head();
    while (s) {
        SBL_S* n = CQVList<SBL_S>::Next(s);
        if (s->uIndex == uInst && s->uLocal == uLocal && p) {
            u32 uID = m_pProc->ObjGetObjIDByPeer(uLocal, p->uObject);
            if (uID) {
                if (!SblSend(p, s, uID)) {
                    // The queue is full for now: this message and the later ones of the
                    // object keep their order and go with the pending sends (every second
                    // and on every acknowledgement). Freed here it would be lost.
                    SendMaskAdd(uInst, QV_PEER_PEND_BACKLOG);
                    break;
                }
                qvPrintf("CQVClassPeer::SendBacklogPop: uObjLocal=%u, uObject=%u", uLocal, uID);
                SblFree(s);
                uSent++;
            } else if (m_uTick - s->uStamp >= QV_PEER_SBL_POP_AGE) {
                SblFree(s);
            }
        }
        s = n;
    }
    m_uSblCount = m_Sbl.Count();
    return uSent;
}

u32 CQVClassPeer::SendBacklogRetry(u32 uInst)
{
    PEER_S* p = EntryInUse(uInst);
    if (!p)
        return 1;
    u32 uDone = 1;
    SBL_S* s = m_Sbl.Head();
    while (s) {
        SBL_S* n = CQVList<SBL_S>::Next(s);
        u32 uID = s->uIndex == uInst ? m_pProc->ObjGetObjIDByPeer(s->uLocal, p->uObject) : 0;
        if (uID) {
            // One priority, one queue: after a refusal the rest would be refused too.
            if (!SblSend(p, s, uID)) {
                uDone = 0;
                break;
            }
            SblFree(s);
        }
        s = n;
    }
    m_uSblCount = m_Sbl.Count();
    return uDone;
}
