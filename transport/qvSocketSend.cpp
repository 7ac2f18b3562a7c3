// Send path: block buffer pool, queuing of messages into the priority send rings, the
// finishing (and encryption) of Data packets, dropping of unsent messages and the reset of
// the send rings at a new handshake.
#include "qvLog.h"

#include "qvSocket.h"

#include <cstring>
#include <new>
#include <vector>

namespace {

const u32 kHdr = QV_SKP_DATA_HDR;
// A block being built keeps room for its 24-byte header in front of the payload.
const u32 kBuildOffset = QV_SKP_HEADROOM + QV_SKP_DATA_HDR;
// Encrypted payloads are padded to whole AES-CBC double blocks of this many bytes.
const u32 kPadUnit = 32;

// Blocks out and not yet acknowledged behind which a one-block message is no longer sent
// from the caller's thread (SendNow): the set-up steps of a connection stay below it.
const u32 kSendNowOut = 4;
// The same for a one-block message of another object or method than the one before it: a
// step of its own (a new connection's call, its answer, an object report, a start), which
// the end of the connection before it (its stops and object reports, each waiting for its
// ack) would otherwise leave to a wake of the dispatcher.
const u32 kSendNowOutStep = 16;

} // namespace

// ---------------------------------------------------------------------------------------
// Pool

CQVSocket::BUF_S* CQVSocket::BufAlloc(const u8* lpSrc, u32 uLen, u32 uWithHeader)
{
    u32 uPkt = uWithHeader ? uLen : uLen + kHdr;
    if (uPkt > QV_SKP_BLOCK_MAX) {
        qvPrintf("CQVSocket::BufAlloc: Data size too long, uSizeTemp=%u", uPkt);
        return 0;
    }
    // 64 bytes of head room in front, 32 behind for the encryption padding.
    u32 k = (uPkt + 96 + 255) / 256 - 1;
    BUF_S* b = m_BufFree[k].PopHead();
    if (!b) {
        b = new (std::nothrow) BUF_S;
        u8* d = b ? new (std::nothrow) u8[256 * (k + 1)] : 0;
        if (!d) {
            delete b;
            qvLogOut(1, "Socket: BufAlloc: no free buffer.");
            return 0;
        }
        b->pData = d;
        b->uSize = 256 * (k + 1);
    }
    b->uOffset = uWithHeader ? QV_SKP_HEADROOM : kBuildOffset;
    b->uLen = uLen;
    b->uFlags = 0;
    b->uHandle = 0;
    b->uBlockNo = 0;
    b->uPathID = 0x7FFFFFFF;
    b->uResendStamp = 0;
    if (lpSrc && uLen) std::memcpy(b->pData + b->uOffset, lpSrc, uLen);
    m_BufUsed[k].PushTail(b);
    return b;
}

void CQVSocket::BufFree(BUF_S* b)
{
    if (!b) {
        qvPrintf("CQVSocket::BufFree: NULL");
        return;
    }
    u32 k = b->uSize / 256;
    if (b->uSize % 256 || k < 1 || k > 8) {
        qvPrintf("CQVSocket::BufFree: Invalid buffer size.");
        return;
    }
    k--;
    b->uOffset = 0;
    b->uLen = 0;
    m_BufUsed[k].Remove(b);
    m_BufFree[k].PushTail(b);
}

void CQVSocket::BufClean()
{
    for (u32 k = 0; k < 8; k++) {
        while (BUF_S* b = m_BufFree[k].PopHead()) {
            delete[] b->pData;
            delete b;
        }
        while (BUF_S* b = m_BufUsed[k].PopHead()) {
            delete[] b->pData;
            delete b;
        }
    }
}

// ---------------------------------------------------------------------------------------
// Queuing

void CQVSocket::SendQInit(SEND_Q_S& q, u32 uInitWnd)
{
    q.uLastTick = m_uTick.load();
    q.uTimer[0] = q.uTimer[1] = 0;
    q.uWndClosed = 0;
    q.uPeerWnd = 0xFFFF;
    q.uNoAckRun = 0;
    q.uAckState = 0;
    q.uResendDown = 0;
    q.uSentTick = 0;
    q.uBurst = uInitWnd ? uInitWnd : 1;
    q.uPathVal2 = 10;
    q.uBadAck = 0;
    q.uIdle = 0;
    q.uMode = 0;
    q.uIdleStamp = 0;
    q.pPath = 0;
    q.uResendIntv = 10;
    q.uRoundTick = 0;
    q.uResendCnt = 0;
    q.uLastAckTick = 0;
    q.uRangeOnce = 0;
    q.uLastObject = 0xFFFFFFFF;
    q.uLastMethod = 0xFFFFFFFF;
}

void CQVSocket::SendDataTry(SOCK_S* s, u32 uPrio)
{
    ListDispPush(s, 0x1, uPrio);
    DispWake();
}

u32 CQVSocket::SendNow(SOCK_S* s, u32 uPrio, u32 uQueued, u32 uBlocks, u32 uStream)
{
    SEND_Q_S& q = s->send[uPrio];
    // Only a priority with nothing left unsent, on a socket with no other work for the
    // dispatcher than its receive side (0x4, 0x200) and the release of blocks already
    // acknowledged (0x8: it counts from the head of the ring, the new blocks join its tail),
    // whose window is not waited for or paced. A message of several blocks also needs
    // nothing out: a stream keeps going through the dispatcher. A one-block message (a
    // call, its answer, an object report, a short write) goes at once even while the one
    // before it waits for its ack: the steps of a connection's set-up follow each other
    // closer than an ack's round trip, and each would otherwise wait for a wake of the
    // dispatcher. Not behind several such blocks: a stream of one-block messages sent one
    // by one (each asking for its own ack) carries a fifth of what the dispatcher's batches
    // carry; a stream is a run of messages of one object and method (uStream), and one that
    // breaks the run goes while fewer than kSendNowOutStep blocks are out. The window and
    // the pacing are DispSendData's, as on the dispatcher.
    if (s->uState != 2 || (s->uDisp & ~0x20Cu) || ((s->uPacedMask | s->uWaitMask) & (1u << uPrio)) ||
        (q.uNext != q.uAcked && (uBlocks > 1 || q.uNext - q.uAcked >= (uStream ? kSendNowOut : kSendNowOutStep))) ||
        q.uNext != uQueued)
        return 0;
    ListDispPush(s, 0x1, uPrio);
    if (DispSendData(s)) {
        s->uDisp &= ~0x1u;
        if (m_uSendPendCount) m_uSendPendCount--;
    }
    if (s->uDisp) {
        // Left for the dispatcher: the rest of the window, a paced tail or the receive side.
        DispWake();
    } else {
        m_DispList.Remove(s);
        for (u32 i = 0; i < PRIO_NUM; i++) s->uDispPrio[i] = 0;
    }
    return 1;
}

s32 CQVSocket::Send(u32 uSockID, QV_SK_BUF_S& buf, u32 uOption)
{
    if (!m_uInit) return -5;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return -4;
    u32 uMDU = s->uMDU ? s->uMDU : m_uMDU;
    u32 uPrio = buf.uPrio > 3 ? 3 : buf.uPrio;
    SEND_Q_S& q = s->send[uPrio];
    if (buf.uSize == 0 || (!buf.lpData)) return 0;
    u32 uSingle = uOption & QV_SOCK_SEND_SINGLE;
    u32 uNeed = (buf.uSize + uMDU - 1) / uMDU;
    u32 uCount = uSingle ? (q.que.Free() < uNeed ? q.que.Free() : uNeed) : uNeed;
    if (q.que.Free() < uCount || uCount == 0) {
        m_Stat.uRefused++;
        SendDataTry(s, uPrio);
        return 0;
    }
    // All blocks are built first and queued only when every one could be had, so the peer
    // never receives part of a message marked as complete.
    std::vector<BUF_S*> v;
    try {
        v.reserve(uCount);
    } catch (...) {
        qvPrintf("CQVSocket::Send, alloc buffer failed");
        return -1;
    }
    u32 uDone = 0;
    for (u32 i = 0; i < uCount; i++) {
        u32 uPay = buf.uSize - uDone < uMDU ? buf.uSize - uDone : uMDU;
        BUF_S* b = BufAlloc(buf.lpData + uDone, uPay, 0);
        if (!b) break;
        u8 uFlags = 0;
        if (uOption & QV_SOCK_SEND_ENCRYPT) uFlags |= QV_SKD_ENC;
        if (uOption & QV_SOCK_SEND_HFLAG) uFlags |= QV_SKD_OPT8;
        if (uSingle)
            uFlags |= QV_SKD_SINGLE;
        else if (i + 1 == uCount)
            uFlags |= QV_SKD_LAST;
        b->uOffset -= kHdr;
        b->uLen += kHdr;
        u8* p = b->pData + b->uOffset;
        p[0] = 0;
        p[1] = QV_SKP_DATA;
        p[2] = uFlags;
        p[3] = (u8)uPrio;
        qvSkWr32(p + 4, 0);
        qvSkWr32(p + 8, 0);
        qvSkWr32(p + 12, buf.uObject);
        qvSkWr16(p + 16, buf.uMethod);
        qvSkWr16(p + 18, buf.uFlag);
        qvSkWr32(p + 20, buf.uHandle2);
        b->uHandle = buf.uHandle;
        v.push_back(b);
        uDone += uPay;
    }
    if (v.size() < uCount && (!uSingle || v.empty())) {
        for (BUF_S* b : v) BufFree(b);
        qvPrintf("CQVSocket::Send, alloc buffer failed");
        if (q.que.Count()) SendDataTry(s, uPrio);
        return -1;
    }
    u32 uQueued = q.que.Count();
    for (BUF_S* b : v) {
        if (s->uState == 2) {
            b->uBlockNo = q.uBase + q.que.Count();
        } else {
            b->uBlockNo = 0xFFFFFFFF;
            b->uFlags |= 0x1;
        }
        qvSkWr32(b->pData + b->uOffset + 8, b->uBlockNo);
        q.que.Push(b);
    }
    buf.uPrio = uPrio;
    buf.uRemain = q.que.Free();
    u32 uStream = q.uLastObject == buf.uObject && q.uLastMethod == buf.uMethod;
    q.uLastObject = buf.uObject;
    q.uLastMethod = buf.uMethod;
    // A message for an idle priority, or of one block, leaves at once from the caller's
    // thread (built under the lock, sent once it is released) instead of after a wake of
    // the dispatcher: the first block after a quiet spell is the one whose latency shows. A
    // stream keeps going through the dispatcher, which sends what piled up meanwhile in one
    // batch.
    if (!SendNow(s, uPrio, uQueued, (u32)v.size(), uStream)) SendDataTry(s, uPrio);
    if (v.size() < uCount) {
        qvPrintf("CQVSocket::Send, alloc buffer failed");
        return -1;
    }
    return (s32)uDone;
}

s32 CQVSocket::SendFind(u32 uSockID, QV_SK_BUF_S& buf, u32 uOption, u64 uFrom, u64 uTo)
{
    if (!m_uInit) return -5;
    if ((uOption & QV_SOCK_SEND_SINGLE) || buf.uPrio > 3 || uTo < uFrom) return -4;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return -4;
    SEND_Q_S& q = s->send[buf.uPrio];
    u32 n = q.que.Count();
    for (u32 i = 0; i < n; i++) {
        BUF_S* b = 0;
        if (q.que.Get(i, b) != 0 || !b || (b->uFlags & 0x4)) continue;
        const u8* p = b->pData + b->uOffset;
        if (qvSkRd32(p + 12) != buf.uObject || qvSkRd16(p + 16) != buf.uMethod ||
            qvSkRd16(p + 18) != buf.uFlag || qvSkRd32(p + 20) != buf.uHandle2 ||
            b->uLen - kHdr != buf.uSize)
            continue;
        const u8* d = p + kHdr;
        u32 uSame = 1;
        for (u32 k = 0; k < buf.uSize && uSame; k++)
            if ((k < uFrom || k >= uTo) && d[k] != buf.lpData[k]) uSame = 0;
        if (!uSame) continue;
        SendDataTry(s, buf.uPrio);
        return 0;
    }
    return -4;
}

void CQVSocket::SendDrop(SOCK_S* s, u32 uPrio, u32 uMode, u32 uValue)
{
    SEND_Q_S& q = s->send[uPrio];
    u32 n = q.que.Count();
    if (q.uNext >= n) return;
    u32 uKeepTo = q.uNext;
    if (q.uNext > 0) {
        BUF_S* b = 0;
        if (q.que.Get(q.uNext - 1, b) == 0 && b &&
            !(b->pData[b->uOffset + 2] & (QV_SKD_LAST | QV_SKD_SINGLE))) {
            // Finish the message whose head already went out.
            while (uKeepTo < n) {
                BUF_S* c = 0;
                q.que.Get(uKeepTo, c);
                uKeepTo++;
                if (!c || (c->pData[c->uOffset + 2] & (QV_SKD_LAST | QV_SKD_SINGLE))) break;
            }
        }
    }
    for (u32 i = 0; i < n; i++) {
        BUF_S* b = 0;
        q.que.Pop(b);
        if (!b) continue;
        u32 uMatch = i >= uKeepTo &&
                     (uMode == 0 ? b->uHandle == uValue : qvSkRd32(b->pData + b->uOffset + 12) == uValue);
        if (uMatch) {
            if (uMode == 1)
                qvPrintf("CQVSocket::SendDrop: uSockInd=%u, uPrio=%u, uObject=%u", SockIndex(s), uPrio, uValue);
            BufFree(b);
        } else {
            q.que.Push(b);
        }
    }
    // Blocks behind the sent ones move up: unsent numbered blocks are renumbered.
    u32 m = q.que.Count();
    for (u32 i = q.uNext; i < m; i++) {
        BUF_S* b = 0;
        if (q.que.Get(i, b) == 0 && b && !(b->uFlags & 0x1)) {
            b->uBlockNo = q.uBase + i;
            qvSkWr32(b->pData + b->uOffset + 8, b->uBlockNo);
        }
    }
}

s32 CQVSocket::SendDropByHandle(u32 uSockID, u32 uPrio, u32 uHandle)
{
    if (!m_uInit) return -5;
    if (uPrio > 3 || !uHandle) return -4;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return -4;
    SendDrop(s, uPrio, 0, uHandle);
    return 0;
}

s32 CQVSocket::SendDropByObject(u32 uSockID, u32 uPrio, u32 uObject)
{
    if (!m_uInit) return -5;
    if (uPrio > 3 || !uObject) return -4;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return -4;
    SendDrop(s, uPrio, 1, uObject);
    return 0;
}

s32 CQVSocket::SendRemain(u32 uSockID, u32 uPrio)
{
    if (uPrio > 3) return -4;
    if (!m_uInit) return -5;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return -4;
    return (s32)s->send[uPrio].que.Free();
}

s32 CQVSocket::SendQueStatus(u32 uSockID, u32 uPrio, u32* lpuFree, u32* lpuUsed)
{
    if (uPrio > 3) return -4;
    if (!m_uInit) return -5;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return -4;
    if (lpuFree) *lpuFree = s->send[uPrio].que.Free() * m_uMDU;
    if (lpuUsed) *lpuUsed = s->send[uPrio].que.Count() * m_uMDU;
    return 0;
}

// ---------------------------------------------------------------------------------------
// Finishing a Data packet

namespace {

// The payload of b zero-padded to uPadded bytes, where it is encrypted from: padded in its
// own buffer when the room behind it allows (the pool keeps 32 bytes there), else copied to
// lpCopy and padded there. The stored block stays the same for its length.
const u8* EncSource(CQVSocket::BUF_S* b, u32 uPadded, u8* lpCopy)
{
    u8* pPay = b->pData + b->uOffset + kHdr;
    u32 uPay = b->uLen - kHdr;
    if (b->uOffset + kHdr + uPadded > b->uSize) {
        std::memcpy(lpCopy, pPay, uPay);
        pPay = lpCopy;
    }
    std::memset(pPay + uPay, 0, uPadded - uPay);
    return pPay;
}

} // namespace

void CQVSocket::SendEncForget()
{
    for (u32 k = 0; k < QV_AES_MANY_MAX; k++) m_apEncAhead[k] = 0;
    m_uEncAheadKey = 0;
}

void CQVSocket::SendEncAhead(SOCK_S* s, SEND_Q_S& q, u32 uFrom, u32 uCount)
{
    SendEncForget();
    if (!m_pEncBuf || !m_Crypto.IsConnected(s->uCrypto)) return;
    const u8* aIn[QV_AES_MANY_MAX];
    u8* aOut[QV_AES_MANY_MAX];
    u32 aLen[QV_AES_MANY_MAX];
    BUF_S* aBuf[QV_AES_MANY_MAX];
    u32 n = 0;
    for (u32 i = uFrom; i < uFrom + uCount && n < QV_AES_MANY_MAX; i++) {
        BUF_S* b = 0;
        if (q.que.Get(i, b) != 0 || !b) break;
        if (!(b->pData[b->uOffset + 2] & QV_SKD_ENC) || b->uLen <= kHdr) continue;
        u32 uPadded = (b->uLen - kHdr + kPadUnit - 1) / kPadUnit * kPadUnit;
        if (QV_SKP_HEADROOM + kHdr + uPadded + 1 > QV_SKP_MAX_DGRAM) continue;
        u8* e = m_pEncBuf + n * QV_SKP_MAX_DGRAM + QV_SKP_HEADROOM;
        aIn[n] = EncSource(b, uPadded, e + kHdr);
        aOut[n] = e + kHdr;
        aLen[n] = uPadded;
        aBuf[n] = b;
        n++;
    }
    // A failure leaves every block to be encrypted alone by SendData, which reports it.
    if (!n || !m_Crypto.EncryptMany(s->uCrypto, aIn, aOut, aLen, n)) return;
    for (u32 k = 0; k < n; k++) m_apEncAhead[k] = aBuf[k];
    m_uEncAheadKey = s->uCrypto;
}

u8* CQVSocket::SendEncTake(SOCK_S* s, BUF_S* b)
{
    if (m_uEncAheadKey != s->uCrypto) return 0;
    for (u32 k = 0; k < QV_AES_MANY_MAX; k++)
        if (m_apEncAhead[k] == b) {
            m_apEncAhead[k] = 0;
            return m_pEncBuf + k * QV_SKP_MAX_DGRAM;
        }
    return 0;
}

u32 CQVSocket::SendData(SOCK_S* s, u32 uPrio, BUF_S* b, u32 uIndex, u32 uType, u32 uCnntID)
{
    if (s->uState != 2 || !b) return 0;
    SEND_Q_S& q = s->send[uPrio];
    u8* p = b->pData + b->uOffset;
    b->uBlockNo = q.uBase + uIndex;
    // A round-trip sample whose block is resent, or did not go out, would measure the resend
    // wait (seconds under loss) and stretch every resend interval: it is dropped (Karn).
    auto sampleDrop = [&] {
        for (CNNT_PATH_S* c = s->paths.Head(); c; c = PATH_LIST::Next(c))
            if (c->uSampleBlock == b->uBlockNo && c->uSamplePrio == uPrio) c->uSampleBlock = 0xFFFFFFFF;
    };
    if (uType < 3) sampleDrop();
    qvSkWr32(p + 4, s->uCookieRmt);
    qvSkWr32(p + 8, b->uBlockNo);
    p[2] &= (u8)~(QV_SKD_ACKREQ | QV_SKD_RANGE);
    if (uType == 1) p[2] |= QV_SKD_RANGE;
    if (uType == 2 || uType == 3) p[2] |= QV_SKD_ACKREQ;
    QV_BUF_S out;
    out.uParam = 0;
    if (p[2] & QV_SKD_ENC) {
        u32 uPay = b->uLen - kHdr;
        u32 uPadded = (uPay + kPadUnit - 1) / kPadUnit * kPadUnit;
        if (!m_pEncBuf || !m_Crypto.IsConnected(s->uCrypto) ||
            QV_SKP_HEADROOM + kHdr + uPadded + 1 > QV_SKP_MAX_DGRAM) {
            ListDispPush(s, 0x40, 4);
            sampleDrop();
            return 0;
        }
        u8* d = SendEncTake(s, b);
        if (!d) {
            d = m_pEncBuf + QV_AES_MANY_MAX * QV_SKP_MAX_DGRAM;
            u8* e = d + QV_SKP_HEADROOM;
            if (!m_Crypto.Encrypt(s->uCrypto, EncSource(b, uPadded, e + kHdr), e + kHdr, uPadded)) {
                ListDispPush(s, 0x40, 4);
                sampleDrop();
                return 0;
            }
        }
        u8* e = d + QV_SKP_HEADROOM;
        std::memcpy(e, p, kHdr);
        e[kHdr + uPadded] = (u8)(uPadded - uPay);
        out.buf = d;
        out.uOffset = QV_SKP_HEADROOM;
        out.uSize = QV_SKP_MAX_DGRAM;
        out.uLen = kHdr + uPadded + 1;
    } else {
        out.buf = b->pData;
        out.uOffset = b->uOffset;
        out.uSize = b->uSize;
        out.uLen = b->uLen;
    }
    u32 uUsed = uCnntID;
    s32 r = (m_pLower && s->uProcHandle) ? m_pLower->Send(s->uProcHandle, out, uCnntID, q.uMode, &uUsed) : -1;
    u32 uNow = m_uTick.load();
    if (r <= 0) {
        sampleDrop();
        CnntPathUncount(s, b);
        CNNT_PATH_S* pReq = uCnntID ? CnntPathSearch(s, uCnntID) : 0;
        if (pReq) {
            if (pReq->uBackoff == 0) {
                pReq->uBackoff = 5;
                pReq->uBackoffStamp = uNow;
            } else if (uNow - pReq->uBackoffStamp >= pReq->uBackoff) {
                pReq->uBackoff += 5;
                pReq->uBackoffStamp = uNow;
            }
        }
        b->uPathID = 0x7FFFFFFF;
        return 0;
    }
    if (uUsed != b->uPathID) CnntPathUncount(s, b);
    CNNT_PATH_S* pUsed = CnntPathSearch(s, uUsed);
    if (uCnntID == 0 && uUsed != 0 && pUsed) {
        qvPrintf("CQVSocket::CnntPathSendResult: Unknown cnnt path switch to valid cnnt path, uSockInd=%u, uCnntID=%u, uCnntIDRes=%u",
                 SockIndex(s), uCnntID, uUsed);
    }
    if (!s->uPeerAcked) b->uFlags |= 0x10;
    if (pUsed) {
        pUsed->uBackoff = 0;
        if (!(b->uFlags & 0x8)) {
            pUsed->uInFlight++;
            b->uFlags |= 0x8;
        }
    }
    b->uPathID = uUsed;
    return 1;
}

u32 CQVSocket::SendWndRemain(SOCK_S* s, u32 uPrio, CNNT_PATH_S* p)
{
    if (!p || p->uInFlight >= p->uWnd) return 0;
    u32 uRoom = p->uWnd - p->uInFlight;
    u32 uPeer = s->send[uPrio].uPeerWnd;
    return uPeer < uRoom ? uPeer : uRoom;
}

u32 CQVSocket::SendUnacked(SOCK_S* s, u32 uPrio)
{
    SEND_Q_S& q = s->send[uPrio];
    return q.uNext > q.uAcked ? q.uNext - q.uAcked : 0;
}

void CQVSocket::SendQueueReset(SOCK_S* s)
{
    if (s->uOwnFlags & 1) return;
    if ((s->uPeerFlags & 2) && !(s->uPeerFlags & 4)) return;
    // Every peer that keeps queues announces in its InitR the next block each receive ring
    // expects (a new incarnation included: its fresh rings expect 0, or an old incarnation
    // that took us for a new one keeps the complete messages it has, see RecvKeptRun).
    u32 uKeep = (s->uPeerFlags & 4) != 0;
    u32 uPeerNew = s->uPeerNewSend;
    s->uPeerNewSend = 0;
    for (u32 i = 0; i < PRIO_NUM; i++) {
        SEND_Q_S& q = s->send[i];
        if (!q.que.IsCreated()) continue;
        u32 n = q.que.Count();
        if (uKeep) {
            u32 uNumbered = 0, uSent = 0, uFirst = 0;
            for (u32 k = 0; k < n; k++) {
                BUF_S* b = 0;
                q.que.Get(k, b);
                if (!b || (b->uFlags & 0x1)) break;
                if (k == 0) uFirst = b->uBlockNo;
                uNumbered++;
                if (b->uFlags & 0x2) uSent = k + 1;
            }
            u32 v = s->uPeerNext[i];
            // The peer cannot have received more than was sent: a larger claim would release
            // blocks it never saw.
            if (uNumbered && v - uFirst > uSent && (s32)(v - uFirst) > 0) v = uFirst + uSent;
            if (!uNumbered) {
                q.uBase = v;
                q.uAcked = 0;
            } else if ((s32)(v - uFirst) < 0) {
                // The peer expects a block before ours, whose blocks up to uFirst it has
                // acknowledged. A new incarnation starts over at its number; the same one never
                // goes back, so the InitR is a late answer to an earlier query: renumbering
                // would hand our blocks numbers the peer has read already, and its answers to
                // them would acknowledge messages it never got.
                q.uBase = uPeerNew ? v : uFirst;
                q.uAcked = 0;
            } else {
                q.uBase = uFirst;
                q.uAcked = v - uFirst;
            }
            // Across a new incarnation, what its InitR does not confirm goes out again at once.
            if (uPeerNew) uSent = 0;
            q.uNext = uSent > q.uAcked ? uSent : q.uAcked;
            for (u32 k = 0; k < n; k++) {
                BUF_S* b = 0;
                q.que.Get(k, b);
                if (!b) continue;
                b->uBlockNo = q.uBase + k;
                b->uFlags &= ~0x1u;
                qvSkWr32(b->pData + b->uOffset + 8, b->uBlockNo);
                if (k >= q.uNext) {
                    b->uFlags &= ~0x2u;
                    CnntPathUncount(s, b);
                }
                if (k >= q.uAcked) {
                    b->uFlags &= ~0x4u;
                    b->uResendStamp = 0;
                }
            }
            TimerDispDelete(s, 0x2, i);
            if (q.uAcked) ListDispPush(s, 0x8, i);
        } else {
            q.uBase = q.uNext = q.uAcked = 0;
            for (u32 k = 0; k < n; k++) {
                BUF_S* b = 0;
                q.que.Get(k, b);
                if (!b) continue;
                b->uFlags &= ~0x7u;
                CnntPathUncount(s, b);
                b->uBlockNo = k;
                qvSkWr32(b->pData + b->uOffset + 8, k);
                b->uResendStamp = 0;
            }
        }
        SendQInit(q, m_Cfg.uInitWnd[i]);
        s->uPeerNext[i] = 0;
        if (n) ListDispPush(s, 0x1, i);
        TimerDispDelete(s, 0x4, i);
        if (q.uNext > q.uAcked) TimerDispPush(s, 0x2, i);
    }
}
