// File class data path: the sending end reads its extension into the transfer buffer and sends
// data messages to its one peer within a share of that peer's send window; the receiving end
// pulls the data from the peer's receive queue into the transfer buffer or pause buffers and
// writes it to its extension, asking the sender to pause while its buffers are full.
//
// Every step does a bounded amount of work and asks for the next one through dispatch bits,
// acknowledgements or extension events; a step that made no progress never asks for itself
// again, so a quiet extension or a closed window never makes the dispatch thread spin.
#include <cstring>
#include <new>

#include "qvClassFile.h"
#include "qvClassFileWire.h"
#include "qvLog.h"

using namespace qvfile;

u64 CQVClassFile::RecvBuffered(const OBJ_S* o)
{
    u64 n = o->uDataSize - o->uDataPos;
    for (const PAUSE_BUF_S* pb = o->PauseList.Head(); pb; pb = CQVList<PAUSE_BUF_S>::Next(pb))
        n += pb->uCount;
    return n;
}

void CQVClassFile::DispOther(OBJ_S* o, u32 uOther)
{
    if (!uOther || uOther == o->uObject)
        return;
    u32 uClass = 0xFFFF, uGroup = 0, uInst = 0, uUnit = 0;
    if (m_pProc->ObjGetInfo(uOther, &uClass, &uGroup, &uInst, &uUnit) && uClass == QV_CLASS_FILE)
        m_pProc->ObjDisp(uOther, kDispSave);
}

// ---------------------------------------------------------------------------------------------
// Peer records

CQVClassFile::PEER_S* CQVClassFile::PeerFind(u32 uPeer)
{
    PEER_BUCKET& b = m_PeerHash[(uPeer ^ (uPeer >> 16)) & (kPeerBuckets - 1)];
    for (PEER_S* p = b.Head(); p; p = PEER_BUCKET::Next(p))
        if (p->uPeer == uPeer)
            return p;
    return nullptr;
}

void CQVClassFile::PeerCount(OBJ_S* o)
{
    if ((o->uStaMask & kStaCounted) || !o->uPeer)
        return;
    PEER_S* p = PeerFind(o->uPeer);
    if (!p)
    {
        p = m_PeerFree.PopHead();
        if (!p)
            return;  // never: there is one record per object
        p->uPeer = o->uPeer;
        p->uShare = 0;
        p->uCount = 0;
        m_PeerList.PushTail(p);
        m_PeerHash[(o->uPeer ^ (o->uPeer >> 16)) & (kPeerBuckets - 1)].PushTail(p);
    }
    p->uCount++;
    o->uStaMask |= kStaCounted;
    PeerShare(p);
}

void CQVClassFile::PeerRelease(OBJ_S* o)
{
    if (!(o->uStaMask & kStaCounted))
        return;
    o->uStaMask &= ~kStaCounted;
    PEER_S* p = PeerFind(o->uPeer);
    if (!p)
        return;
    if (p->uCount)
        p->uCount--;
    if (p->uCount)
        return;
    m_PeerHash[(p->uPeer ^ (p->uPeer >> 16)) & (kPeerBuckets - 1)].Remove(p);
    m_PeerList.Remove(p);
    p->uPeer = 0;
    m_PeerFree.PushTail(p);
}

void CQVClassFile::PeerShare(PEER_S* p)
{
    int iRemain = m_pProc->PeerSendRemain(p->uPeer, kPrioData);
    PeerShareOf(p, iRemain > 0 ? (u32)iRemain : 0);
}

void CQVClassFile::PeerShareOf(PEER_S* p, u32 uRemain)
{
    u32 uCount = p->uCount ? p->uCount : 1;
    p->uShare = uRemain < uCount ? 0 : uRemain / uCount;
}

void CQVClassFile::PeerChange(OBJ_S* o, u32 uPeer)
{
    PeerRelease(o);
    o->uPeer = uPeer;
    if (o->uMCast)
    {
        u32 auPeer[1] = {uPeer};
        m_pProc->MCastSetPeer(o->uMCast, auPeer, 1, 0);
    }
}

// ---------------------------------------------------------------------------------------------
// Buffers

void CQVClassFile::CompactSend(OBJ_S* o)
{
    if (!o->uDataPos)
        return;
    u32 uLeft = o->uDataSize - o->uDataPos;
    if (uLeft)
        memmove(o->pBuf, o->pBuf + o->uDataPos, uLeft);
    o->uDataSize = uLeft;
    o->uDataPos = 0;
}

void CQVClassFile::CompactRecv(OBJ_S* o)
{
    CompactSend(o);
}

u32 CQVClassFile::PauseBufAdd(OBJ_S* o)
{
    if (o->uBufCount >= kPauseBufMax || !o->uBufLen)
        return 0;
    PAUSE_BUF_S* pb = new (std::nothrow) PAUSE_BUF_S();
    if (!pb)
        return 0;
    pb->pBuf = new (std::nothrow) u8[o->uBufLen];
    if (!pb->pBuf)
    {
        delete pb;
        return 0;
    }
    pb->uCount = 0;
    o->PauseList.PushTail(pb);
    o->uBufCount++;
    return 1;
}

void CQVClassFile::PauseBufClear(OBJ_S* o)
{
    while (PAUSE_BUF_S* pb = o->PauseList.PopHead())
    {
        delete[] pb->pBuf;
        delete pb;
    }
    o->uBufCount = 0;
}

// ---------------------------------------------------------------------------------------------
// Sending end

u32 CQVClassFile::DispLoad(OBJ_S* o)
{
    if (o->uStatus != kStaMove || !IsSender(o) || !o->pBuf)
        return 0;
    if (o->uDataPos >= o->uDataSize)
        o->uDataPos = o->uDataSize = 0;
    u32 uRead = 0;
    if (!(o->uStaMask & kStaReadDone) && o->uDataSize < o->uBufLen)
    {
        u32 uLen = o->uBufLen - o->uDataSize;
        if (o->uExtID == QV_EXT_FILE)
        {
            u64 ullLeft = o->ullReqSize > o->ullProcSize ? o->ullReqSize - o->ullProcSize : 0;
            if (ullLeft < uLen)
                uLen = (u32)ullLeft;
        }
        if (uLen == 0)
            o->uStaMask |= kStaReadDone;
        else
        {
            u32 uAsked = uLen;
            int r = m_pProc->ExtRead(o->uExtInst, 0, o->pBuf + o->uDataSize, &uLen,
                                     o->ullOffset + o->ullProcSize);
            if (r == 3 || r == 2)
            {
                if (uLen > uAsked)
                    uLen = uAsked;
                o->uDataSize += uLen;
                o->ullProcSize += uLen;
                uRead = uLen;
                if (r == 2)
                    o->uStaMask |= kStaReadDone;
            }
            else if (r != 1)
            {
                o->uStaMask |= kStaReadDone;
                if (o->uExtID == QV_EXT_FILE)
                    qvLogOut(0, "ClassFile:DispLoad, ExtRead failed, uPrivID=%u, Path=%s", PrivID(o),
                             o->strPath.c_str());
                return kDispStop;
            }
            if (o->uExtID == QV_EXT_FILE && o->ullProcSize >= o->ullReqSize)
                o->uStaMask |= kStaReadDone;
        }
    }
    if (o->uDataPos < o->uDataSize)
    {
        PeerCount(o);
        u32 uLoad = 0;
        u32 r = HelperSendData(o, &uLoad);
        if (r == kSendBlocked)
        {
            o->uRetry |= kRetryData;
            RetryAdd(o);
        }
        else
            o->uRetry &= ~kRetryData;
        // Read again only after progress: a quiet extension signals when it has more.
        if (uLoad && (uRead || r == kSendDone))
            return kDispLoad;
    }
    return 0;
}

u32 CQVClassFile::HelperSendData(OBJ_S* o, u32* lpuLoad)
{
    *lpuLoad = 0;
    if (!o->pBuf || !o->uMCast)
        return kSendEmpty;
    if (o->uDataPos >= o->uDataSize)
    {
        *lpuLoad = !(o->uStaMask & kStaReadDone);
        return kSendEmpty;
    }
    if (o->uPauseFlag)
    {
        if (o->uPauseStamp != m_uStamp)
        {
            o->uPauseStamp = m_uStamp;
            SendPause(o, kMethPauseQuery, 0);
        }
        if (o->uDataPos >= o->uBufLen / 8)
            CompactSend(o);
        *lpuLoad = o->uDataSize < o->uBufLen && !(o->uStaMask & kStaReadDone);
        return kSendBlocked;
    }
    PEER_S* p = PeerFind(o->uPeer);
    u32 uQuota;
    if (p && p->uShare)
        uQuota = p->uShare >= kDataSendMax / 1024 ? kDataSendMax : p->uShare * 1024;
    else
        uQuota = o->ullAckSize >= o->ullSentSize ? 1024 : 0;  // one block to learn the window again
    if (!uQuota)
        return kSendBlocked;
    u32 uLen = o->uDataSize - o->uDataPos;
    if (uLen > uQuota)
        uLen = uQuota;
    m_pProc->MCastSend(o->uMCast, 0, o->pBuf + o->uDataPos, uLen, o->uPeer, 2);
    QV_MCAST_RES_S res;
    memset(&res, 0, sizeof(res));
    u32 uPeer = o->uPeer, uCount = 1;
    u32 uSent = 0;
    if (m_pProc->MCastGetRes(o->uMCast, &uPeer, &res, &uCount, 0) && uCount == 1 && res.iResult > 0)
        uSent = (u32)res.iResult < uLen ? (u32)res.iResult : uLen;
    if (uSent)
    {
        o->ullSentSize += uSent;
        o->uDataPos += uSent;
        // The send's result carries the blocks left free in the peer's queue: the share stays
        // current without asking the socket layer again, so that the next step (the read that
        // refills the buffer sends at once) does not try a quota the queue no longer has.
        if (p)
            PeerShareOf(p, res.uValue);
        if (o->uDataPos >= o->uDataSize)
            PeerRelease(o);
        if (o->uDataPos > o->uBufLen / 8)
            CompactSend(o);
        *lpuLoad = o->uDataSize < o->uBufLen && !(o->uStaMask & kStaReadDone);
        return kSendDone;
    }
    u32 uKnown = 0;
    if (m_pProc->ObjGetSync(o->uObject, o->uPeer, &uKnown) && uKnown)
        return kSendBlocked;
    o->uStaMask |= kStaAbort;
    Disp(o, kDispStop);
    return kSendFailed;
}

u32 CQVClassFile::HelperSendDataNext(OBJ_S* o, u32* lpuLoad)
{
    // Round robin over the objects waiting to send to the same peer, starting after the one
    // served last, then this object itself.
    OBJ_S* pLast = m_uLastSend < m_uObjMax ? &m_pObj[m_uLastSend] : nullptr;
    if (pLast && !m_RetryList.Contains(pLast))
        pLast = nullptr;
    for (u32 uPass = 0; uPass < 2; uPass++)
    {
        OBJ_S* c = uPass == 0 ? (pLast ? RETRY_LIST::Next(pLast) : m_RetryList.Head()) : m_RetryList.Head();
        if (uPass == 1 && !pLast)
            break;
        while (c)
        {
            OBJ_S* pNext = RETRY_LIST::Next(c);
            if (c != o && c->uPeer == o->uPeer && c->uStatus == kStaMove && IsSender(c) && (c->uRetry & kRetryData))
            {
                u32 uLoad = 0;
                u32 r = HelperSendData(c, &uLoad);
                if (uLoad)
                    Disp(c, kDispLoad);
                if (r == kSendBlocked)
                {
                    m_uLastSend = PrivID(c);
                    o->uRetry |= kRetryData;
                    RetryAdd(o);
                    return 0;
                }
                c->uRetry &= ~kRetryData;
            }
            if (uPass == 1 && c == pLast)
                break;
            c = pNext;
        }
    }
    u32 uLoad = 0;
    u32 r = HelperSendData(o, &uLoad);
    if (uLoad && lpuLoad)
        *lpuLoad = 1;
    else if (uLoad)
        Disp(o, kDispLoad);
    m_uLastSend = PrivID(o);
    if (r == kSendBlocked || r == kSendEmpty)
    {
        o->uRetry |= kRetryData;
        RetryAdd(o);
        return 0;
    }
    o->uRetry &= ~kRetryData;
    return r == kSendDone;
}

void CQVClassFile::HelperSendResult(OBJ_S* o, const QV_MCAST_RES_S* lpRes)
{
    // Acknowledged bytes grow the transfer's count; a result list that started again (new peer
    // handle) counts from zero. Never more than was sent.
    u64 ullGrow = lpRes->uAcked >= o->ullResAcked ? lpRes->uAcked - o->ullResAcked : lpRes->uAcked;
    o->ullResAcked = lpRes->uAcked;
    if (ullGrow > o->ullSentSize - o->ullAckSize)
        ullGrow = o->ullSentSize - o->ullAckSize;
    o->ullAckSize += ullGrow;
    o->uSpeedBytes += (u32)ullGrow;
    if (PEER_S* p = PeerFind(o->uPeer))
        PeerShare(p);
    u32 uSent = 0, uLoad = 0;
    if (!(o->uStaMask & kStaReadDone))
    {
        if (o->ullAckSize >= o->ullReqSize)
            Disp(o, kDispStop);
        uSent = HelperSendDataNext(o, &uLoad);
    }
    else
    {
        if (o->uDataPos >= o->uDataSize)
            Disp(o, kDispStop);
        uSent = HelperSendDataNext(o, &uLoad);
    }
    if (o->uExtID == QV_EXT_TCP && o->uExtInst)
        m_pProc->ExtCtrl(o->uExtInst, 0, nullptr, 0, nullptr, nullptr);
    if (o->uExtID == QV_EXT_TCP && !m_pDispObj)
    {
        // A forwarded TCP socket refills its buffer from the socket and sends what the window
        // still takes on this thread; a notification (a dispatch thread wake-up per
        // acknowledgement) is left only for a window that keeps opening.
        u32 uPriv = PrivID(o), uObject = o->uObject;
        if (uLoad)
            DispTcpNow(o, kDispLoad);
        o = ObjGet(uPriv);
        if (uSent && o && o->uObject == uObject)
            HelperSendRemain(o);
        return;
    }
    if (uSent)
        m_pProc->ObjNotify(o->uObject, kNotifyWindow, o->uPeer, 0);
    if (uLoad)
        Disp(o, kDispLoad);
}

void CQVClassFile::HelperSendRemain(OBJ_S* o)
{
    if (o->uStatus != kStaMove || !IsSender(o))
        return;
    PEER_S* p = PeerFind(o->uPeer);
    if (!p)
        return;
    PeerShare(p);
    if (!p->uShare)
        return;
    u32 uLoad = 0, uPriv = PrivID(o), uObject = o->uObject, uPeer = o->uPeer;
    u32 uSent = HelperSendDataNext(o, &uLoad);
    // Room made in the buffer is refilled from a forwarded TCP socket on this thread, as after
    // an acknowledgement; a file's read waits for the dispatch thread.
    if (uLoad)
        DispTcpNow(o, kDispLoad);
    o = ObjGet(uPriv);
    if (uSent && o && o->uObject == uObject)
        m_pProc->ObjNotify(uObject, kNotifyWindow, uPeer, 0);
}

int CQVClassFile::OnSend(u32 uInst, u32 uEvent, const QV_MCAST_RES_S* lpRes, u32 uUnit, u32 uPeer)
{
    OBJ_S* o = ObjGet(uInst);
    if (!o || !uUnit || uUnit != o->uMCast)
        return uPeer == 0 ? 1 : 0;  // control messages: free the unit once every peer answered
    if (o->uStatus != kStaMove || !IsSender(o))
        return 0;
    if (uEvent == QV_SEND_EVENT_GIVEUP)
    {
        // The socket layer dropped queued data: the stream has a hole and cannot go on.
        o->uStaMask |= kStaAbort;
        Disp(o, kDispStop);
        return 0;
    }
    if (uPeer && lpRes && uPeer == o->uPeer)
        HelperSendResult(o, lpRes);
    return 0;  // the data multicast lives as long as the transfer
}

// ---------------------------------------------------------------------------------------------
// Receiving end

u32 CQVClassFile::HelperRecvData(OBJ_S* o, u32 uPeer, u32 uExtra, u32* lpuOther, u32* lpuTaken)
{
    *lpuOther = 0;
    *lpuTaken = 0;
    if (!o->pBuf)
        return 0;
    u64 ullHeld = RecvBuffered(o);
    // Nothing beyond the end this transfer asked for is ever taken in.
    if (o->ullProcSize + ullHeld >= SaveTarget(o))
        return ullHeld ? kDispSave : 0;
    // The queue drops a message that the space offered cannot hold whole: the data message
    // waiting for this object is taken only into space that holds all of it (a new pause
    // buffer, of the transfer buffer's size, holds any message the queue can complete).
    // Messages kept back for an object that did not exist yet come with their own size.
    u32 uNeed = kRecvSpaceMin;
    if (!uExtra)
    {
        u32 uPrioNext = kPrioData;
        int iNext = m_pProc->PeerReceiveRemain(uPeer, &uPrioNext, o->uObject, kMethData);
        if (iNext > 0 && (u32)iNext > uNeed && (u32)iNext <= o->uBufLen)
            uNeed = (u32)iNext;
    }
    u8* pSpace;
    u32 uRoom;
    u32* puCount;
    PAUSE_BUF_S* pb = o->PauseList.Tail();
    if (pb)
    {
        uRoom = o->uBufLen - pb->uCount;
        pSpace = pb->pBuf + pb->uCount;
        puCount = &pb->uCount;
    }
    else
    {
        if (o->uBufLen - o->uDataSize < uNeed)
            CompactRecv(o);
        uRoom = o->uBufLen - o->uDataSize;
        pSpace = o->pBuf + o->uDataSize;
        puCount = &o->uDataSize;
    }
    u32 uNewPause = 0;
    if (uRoom < uNeed)
    {
        if (!PauseBufAdd(o))
        {
            qvLogOut(3, "ClassFile: HelperRecvData, no idle buffer, uPrivID=%u", PrivID(o));
            o->uPauseFlag = 1;
            if (o->uPauseStamp != m_uStamp)
            {
                o->uPauseStamp = m_uStamp;
                SendPause(o, kMethPauseReport, 1);
            }
            o->uStaMask |= kStaRecvBlocked;
            return ullHeld ? kDispSave : 0;
        }
        pb = o->PauseList.Tail();
        uRoom = o->uBufLen;
        pSpace = pb->pBuf;
        puCount = &pb->uCount;
        uNewPause = 1;
    }
    u32 uPrio = kPrioData, uObject = o->uObject, uMethod = kMethData, uFlag = 0, uParam = 0, uRemain = 0;
    int r = m_pProc->PeerReceive(uPeer, &uPrio, &uObject, &uMethod, &uFlag, &uParam, &uRemain, pSpace, uRoom, uExtra,
                                 3);
    u32 uGood = r > 0 && (u32)r <= uRoom && uParam == o->uSession && uMethod == kMethData;
    if (uNewPause)
    {
        if (!uGood)
        {
            // Nothing came for the new buffer: give it back, there is nothing to pause for.
            o->PauseList.Remove(pb);
            delete[] pb->pBuf;
            delete pb;
            o->uBufCount--;
        }
        else
        {
            o->uPauseFlag = 1;
            SendPause(o, kMethPauseReport, 1);
            qvLogOut(1, "ClassFile: PauseCtlBufAdd, uPrivID=%u, uBufCount=%u", PrivID(o), o->uBufCount);
            o->uStaMask |= kStaRecvBlocked;
        }
    }
    if (uGood)
    {
        *puCount += (u32)r;
        o->uHeldPeer = 0;
        o->uSpeedBytes += (u32)r;
        o->uActiveCount = 0;
        o->uIdleCount = 0;
        *lpuTaken = (u32)r;
        return kDispSave;
    }
    if (r == -3 && uObject != o->uObject)
        *lpuOther = uObject;
    return ullHeld ? kDispSave : 0;
}

void CQVClassFile::HelperRecvRun(OBJ_S* o)
{
    // Data messages that are complete in the queue and fit whole into the free end of the
    // transfer buffer are taken before the buffer is written: the bytes of a run then reach
    // a forwarded TCP socket in one write instead of one per message. Only into room that
    // needs no compaction and no pause buffer, and never while paused: taking in stays
    // within what the pause protocol would take after the write.
    for (u32 i = 0; i < kRecvRunMax; i++)
    {
        if (o->uPauseFlag || o->PauseList.Head() || o->uDataSize >= o->uBufLen)
            return;
        u32 uRoom = o->uBufLen - o->uDataSize, uPrio = kPrioData;
        int iNext = m_pProc->PeerReceiveRemain(o->uPeer, &uPrio, o->uObject, kMethData);
        if (iNext <= 0 || (u32)iNext > uRoom || uRoom < kRecvSpaceMin)
            return;
        u32 uOther = 0, uTaken = 0;
        HelperRecvData(o, o->uPeer, 0, &uOther, &uTaken);
        if (!uTaken)
            return;
    }
}

u32 CQVClassFile::DispSave(OBJ_S* o)
{
    if (o->uStatus != kStaMove || IsSender(o) || !o->pBuf)
        return 0;
    u32 uProgress = 0;
    if (o->uDataPos >= o->uDataSize)
    {
        o->uDataPos = o->uDataSize = 0;
        if (PAUSE_BUF_S* pb = o->PauseList.PopHead())
        {
            // The oldest pause buffer becomes the transfer buffer; no bytes are copied.
            u8* pOld = o->pBuf;
            o->pBuf = pb->pBuf;
            o->uDataSize = pb->uCount;
            delete[] pOld;
            delete pb;
            o->uBufCount--;
            qvLogOut(1, "ClassFile: PauseCtlBufDelete, uPrivID=%u, uBufCount=%u", PrivID(o), o->uBufCount);
        }
        if (o->uPauseFlag && !o->uBufCount && o->uDataSize <= o->uBufLen / 4)
        {
            o->uPauseFlag = 0;
            SendPause(o, kMethPauseReport, 0);
        }
    }
    if (o->uExtID == QV_EXT_TCP && o->uDataPos < o->uDataSize && !(o->uStaMask & kStaSaveDone))
        HelperRecvRun(o);
    u64 ullTarget = SaveTarget(o);
    u32 uUnsaved = o->uDataSize - o->uDataPos;
    if (uUnsaved == 0 && o->ullProcSize >= ullTarget)
    {
        o->uStaMask |= kStaSaveDone;
        return kDispStop;
    }
    if (uUnsaved && !(o->uStaMask & kStaSaveDone))
    {
        if (o->ullProcSize >= ullTarget)
        {
            // Bytes past the end asked for are dropped, never written.
            o->uDataPos = o->uDataSize = 0;
            PauseBufClear(o);
            o->uStaMask |= kStaSaveDone;
            return kDispStop;
        }
        if (uUnsaved > ullTarget - o->ullProcSize)
            uUnsaved = (u32)(ullTarget - o->ullProcSize);
        u32 uLen = uUnsaved;
        int r = m_pProc->ExtWrite(o->uExtInst, 0, o->pBuf + o->uDataPos, &uLen, o->ullOffset + o->ullProcSize);
        if (r == 3)
        {
            if (uLen > uUnsaved)
                uLen = uUnsaved;
            o->uDataPos += uLen;
            o->ullProcSize += uLen;
            uProgress = uLen;
            o->uStaMask &= ~kStaRecvBlocked;
            o->uBlockCount = 0;
            if (o->uPauseFlag && o->uBufCount == 0 && o->uDataSize - o->uDataPos <= o->uBufLen / 4)
            {
                o->uPauseFlag = 0;
                SendPause(o, kMethPauseReport, 0);
            }
            if (o->ullProcSize >= ullTarget)
            {
                o->uStaMask |= kStaSaveDone;
                return kDispStop;
            }
            if (o->uDataPos >= o->uBufLen / 4)
                CompactRecv(o);
        }
        else if (r != 1)
        {
            o->uStaMask |= kStaSaveDone;
            o->uDataPos = o->uDataSize = 0;
            PauseBufClear(o);
            o->ullStopSize = 0;
            if (o->uExtID == QV_EXT_FILE)
                qvLogOut(0, "ClassFile:DispSave, ExtWrite failed, uPrivID=%u, Path=%s", PrivID(o), o->strPath.c_str());
            return kDispStop;
        }
    }
    u32 uOther = 0, uTaken = 0;
    HelperRecvData(o, o->uPeer, 0, &uOther, &uTaken);
    DispOther(o, uOther);
    return (uProgress || uTaken) ? kDispSave : 0;
}
