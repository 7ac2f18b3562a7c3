// Receive path: reordering of Data packets in the priority receive rings, Ack packets in both
// directions, delivery of complete messages to the node and release of acknowledged blocks.
#include "qvLog.h"

#include "qvSocket.h"

#include <cstring>

namespace {

const u32 kHdr = QV_SKP_DATA_HDR;

// Keys that tie the blocks of one message together.
struct MSG_KEY_S {
    u32 uMethod;
    u32 uObject;
    u32 uHandle2;
};

MSG_KEY_S KeyOf(const u8* p)
{
    MSG_KEY_S k;
    k.uMethod = qvSkRd16(p + 16);
    k.uObject = qvSkRd32(p + 12);
    k.uHandle2 = qvSkRd32(p + 20);
    return k;
}

bool SameKey(const MSG_KEY_S& a, const MSG_KEY_S& b)
{
    return a.uMethod == b.uMethod && a.uObject == b.uObject && a.uHandle2 == b.uHandle2;
}

// Serial-number comparison of block numbers (they wrap at 2^32).
bool Before(u32 a, u32 b)
{
    return (s32)(a - b) < 0;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Inbound Data

u32 CQVSocket::RecvData(const QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID)
{
    u32 uLen = buf.uLen;
    u8* p = buf.buf + buf.uOffset;
    if (uLen < kHdr) {
        qvPrintf("CQVSocket::RecvData: Data size too short");
        m_Stat.uShort++;
        return 0;
    }
    u32 uInd = uSockID >> 16;
    if (!SockSlot(uSockID)) {
        if (m_uSide == 0 && m_uInit) {
            BUF_S* b = BufAlloc(p, uLen, 1);
            if (b && NewAlloc(addr, 0, 0, 0, b)) return 1;
        }
        return 0;
    }
    SOCK_S* s = &m_pSocks[uInd];
    if (!s->uInUse) return 0;
    u32 uRecv = qvSkRd32(p + 4);
    if (uRecv != s->uCookieLcl) {
        qvPrintf("CQVSocket::RecvData: cookie not match. uSockInd=%u, Name=%s, ulCookieLcl=%u, ulCookieRecv=%u",
                 uInd, s->szPeerName, s->uCookieLcl, uRecv);
        if (uRecv == 0) {
            char szAddr[QV_ADDR_STR_SIZE];
            if (!qvAddrToReadable(&addr, szAddr, sizeof(szAddr))) szAddr[0] = 0;
            qvPrintf("CQVSocket::RecvData: cookie not match. uSockInd=%u, Name=%s, szAddr=%s", uInd,
                     s->szPeerName, szAddr);
        }
        if (s->uState != 1) InitRestart(s, uCnntID);
        return 1;
    }
    if (s->uInitQuery) {
        qvPrintf("CQVSocket::RecvData: In init querying, uSockInd=%u, Name=%s", uInd, s->szPeerName);
        return 0;
    }
    if (s->uOwnFlags & 1) {
        qvPrintf("CQVSocket::RecvData: In prepare connect status, uSockInd=%u, Name=%s", uInd, s->szPeerName);
        return 0;
    }
    u32 uPrio = p[3];
    if (uPrio > 3 || s->uState != 2) return 0;
    s->uRecvStamp = m_uSecond.load();
    u8 uFlags = p[2];
    // Encrypted bytes behind the header; they are decrypted only for a block that is kept
    // (Keep below), so a duplicate or a block beyond the ring costs no decryption.
    u32 uEnc = 0;
    if (uFlags & QV_SKD_ENC) {
        // Without a session key the sender's key is unknown here: a key exchange fixes that.
        if (!m_Crypto.IsConnected(s->uCrypto)) {
            m_Stat.uNoKey++;
            ListDispPush(s, 0x40, 4);
            return 1;
        }
        if (uLen < kHdr + 1) {
            m_Stat.uShort++;
            return 0;
        }
        uEnc = uLen - kHdr - 1;
        u32 uPad = p[uLen - 1];
        if (uPad >= uEnc || uEnc % 16) {
            m_Stat.uBadPad++;
            return 0;
        }
        uLen = kHdr + uEnc - uPad;
    }
    if (uLen > QV_SKP_BLOCK_MAX) {
        // No sender builds blocks this large; such a packet cannot be held.
        m_Stat.uBadLen++;
        return 0;
    }
    RECV_Q_S& r = s->recv[uPrio];
    u32 uBlock = qvSkRd32(p + 8);
    u32 d = uBlock - r.uBase;
    u32 uSize = r.que.Size();
    u32 uCount = r.que.Count();
    u32 uAck = 0, uStored = 0, uRangeStart = 0, uRangeSize = 0;
    // The block as kept: the datagram copied, its payload decrypted on the way (straight
    // into the block; the pad bytes land in the room the pool keeps behind every block).
    auto Keep = [&]() -> BUF_S* {
        if (!uEnc) return BufAlloc(p, uLen, 1);
        // Decrypted ahead, away from the lock (AheadRun), when the key is still the one.
        if (BUF_S* a = m_pRecvPlain) {
            m_pRecvPlain = 0;
            if (m_uRecvPlainKey == s->uCrypto && a->uLen == uLen) return a;
            BufFree(a);
        }
        BUF_S* b = BufAlloc(0, uLen, 1);
        if (!b) return 0;
        u8* q = b->pData + b->uOffset;
        std::memcpy(q, p, kHdr);
        if (!m_Crypto.Decrypt(s->uCrypto, p + kHdr, q + kHdr, uEnc)) {
            BufFree(b);
            qvPrintf("CQVSocket::RecvData: Decrypt failed, uSockInd=%u, Name=%s, Key=%u", uInd,
                     s->szPeerName, s->uCrypto);
            ListDispPush(s, 0x40, 4);
            return 0;
        }
        return b;
    };
    // Holds the block at d of the ring; 0 when it cannot, the ring left as it was. uStep
    // tells the two callers apart in the trace.
    auto Hold = [&](u32 uStep) -> u32 {
        BUF_S* b = Keep();
        if (!b) {
            qvPrintf("CQVSocket::RecvData: %u, alloc buffer failed", uStep);
            return 0;
        }
        b->uBlockNo = uBlock;
        if (r.que.Set(d, b) != 0) {
            BufFree(b);
            qvPrintf("CQVSocket::RecvData: %u, set buffer to queue failed", uStep);
            return 0;
        }
        return 1;
    };
    if (d >= uSize) {
        qvPrintf("CQVSocket::RecvData: exceed buffer size, uSockInd=%u, uPrio=%u, uBlockNo=%u, uAck=%u",
                 uInd, uPrio, uBlock, r.uBase + r.uInOrder);
        uAck = 1;
    } else if (d < r.uInOrder) {
        qvPrintf("CQVSocket::RecvData: 3, uSockInd=%u, uPrio=%u, uBlockNo=%u, uAck=%u", uInd, uPrio,
                 uBlock, r.uBase + r.uInOrder);
        uAck = uFlags & QV_SKD_ACKREQ;
    } else if (d == r.uInOrder) {
        BUF_S* old = 0;
        if (d < uCount && r.que.Get(d, old) == 0 && old) {
            // Already held (should not happen at the in-order point): count it in.
        } else if (!Hold(4)) {
            return 0;
        }
        uStored = 1;
        u32 uHeldBefore = uCount > d ? 1 : 0;
        r.uInOrder++;
        u32 n = r.que.Count();
        while (r.uInOrder < n) {
            BUF_S* c = 0;
            if (r.que.Get(r.uInOrder, c) != 0 || !c) break;
            r.uInOrder++;
        }
        uAck = !(uFlags & QV_SKD_RANGE) && (uHeldBefore || (uFlags & QV_SKD_ACKREQ));
    } else if (d < uCount) {
        BUF_S* old = 0;
        if (r.que.Get(d, old) != 0) {
            qvPrintf("CQVSocket::RecvData: 4, get buffer from queue failed");
            return 0;
        }
        if (!old) {
            if (!Hold(5))
                return 0;
            uStored = 1;
        }
        u32 k = d;
        while (k > r.uInOrder) {
            BUF_S* c = 0;
            r.que.Get(k - 1, c);
            if (c) break;
            k--;
        }
        uRangeStart = k - r.uInOrder;
        uRangeSize = d - k;
        uAck = !old || (uFlags & QV_SKD_ACKREQ);
        uStored = 1;
    } else {
        BUF_S* b = Keep();
        if (!b) {
            qvPrintf("CQVSocket::RecvData: 6, alloc buffer failed");
            return 0;
        }
        b->uBlockNo = uBlock;
        for (u32 k = uCount; k < d; k++) {
            if (r.que.Set(k, (BUF_S*)0) != 0) {
                BufFree(b);
                qvPrintf("CQVSocket::RecvData: 6, set null queue faile");
                return 0;
            }
        }
        if (r.que.Set(d, b) != 0) {
            BufFree(b);
            qvPrintf("CQVSocket::RecvData: 6, set buffer queue failed");
            return 0;
        }
        uRangeStart = uCount - r.uInOrder;
        uRangeSize = d - uCount;
        uAck = 1;
        uStored = 1;
    }
    // Only blocks that found a place move the highest block seen.
    if ((uStored || d < r.uInOrder) && Before(r.uHigh, uBlock)) r.uHigh = uBlock;
    u32 uNextExp = r.uBase + r.uInOrder;
    if (r.que.Free()) {
        if (Before(r.uHigh, uNextExp)) TimerDispDelete(s, 0x1, uPrio);
    } else {
        r.uAdvRoom = 0;
        qvPrintf("CQVSocket::RecvData: wnd close, uSockInd=%u, uPrio=%u, uBlockNo=%u, uAck=%u, Idle=%u",
                 uInd, uPrio, uBlock, uNextExp, s->uTryCount);
        uAck = 1;
    }
    if (uAck) SendAck(s, uPrio, Before(r.uHigh, uNextExp) ? 0 : 1, uRangeStart, uRangeSize, uCnntID);
    if (r.uInOrder) ListDispPush(s, 0x4, uPrio);
    s->uTryCount = 0;
    return 1;
}

u32 CQVSocket::RecvKeepEncrypted(const u8* p, u32 uLen, u32 uSockID, u32& uEnc)
{
    // RecvData's checks, in its order, without its traces, counts and dispatch bits.
    if (uLen < kHdr + 1 || p[1] != QV_SKP_DATA || !(p[2] & QV_SKD_ENC) || !SockSlot(uSockID)) return 0;
    SOCK_S* s = &m_pSocks[uSockID >> 16];
    if (!s->uInUse || qvSkRd32(p + 4) != s->uCookieLcl || s->uInitQuery || (s->uOwnFlags & 1)) return 0;
    u32 uPrio = p[3];
    if (uPrio > 3 || s->uState != 2 || !m_Crypto.IsConnected(s->uCrypto)) return 0;
    u32 e = uLen - kHdr - 1;
    u32 uPad = p[uLen - 1];
    if (uPad >= e || e % 16 || kHdr + e - uPad > QV_SKP_BLOCK_MAX) return 0;
    // Kept: within the ring, not before the in-order point, its slot empty.
    RECV_Q_S& r = s->recv[uPrio];
    u32 d = qvSkRd32(p + 8) - r.uBase;
    if (d >= r.que.Size() || d < r.uInOrder) return 0;
    if (d < r.que.Count()) {
        BUF_S* old = 0;
        if (r.que.Get(d, old) != 0 || old) return 0;
    }
    uEnc = e;
    return s->uCrypto;
}

u32 CQVSocket::AheadAny(BATCH_S* const* ap, u32 n)
{
    u32 uAny = 0;
    for (u32 i = 0; i < n; i++) {
        ap[i]->pPlain = 0;
        const u8* p = ap[i]->aData + ap[i]->uOffset;
        if (ap[i]->uLen > kHdr && p[1] == QV_SKP_DATA && (p[2] & QV_SKD_ENC)) uAny = 1;
    }
    return uAny;
}

u32 CQVSocket::AheadPick(BATCH_S* const* ap, u32 n, AHEAD_S& a)
{
    a.aHandle[0] = a.aHandle[1] = 0;
    u32 uAhead = 0;
    for (u32 i = 0; i < n; i++) {
        BATCH_S* b = ap[i];
        b->pPlain = 0;
        u8* p = b->aData + b->uOffset;
        u32 uEnc = 0;
        u32 h = RecvKeepEncrypted(p, b->uLen, b->uSockID, uEnc);
        if (!h) continue;
        u32 k = 0;
        while (k < 2 && a.aHandle[k] && a.aHandle[k] != h) k++;
        // A third key among them: its blocks are decrypted under the lock as before.
        if (k == 2) continue;
        if (!a.aHandle[k]) {
            if (!m_Crypto.KeyGet(h, a.aKey[k])) continue;
            a.aHandle[k] = h;
        }
        BUF_S* q = BufAlloc(0, kHdr + uEnc - p[b->uLen - 1], 1);
        if (!q) continue;
        std::memcpy(q->pData + q->uOffset, p, kHdr);
        b->pPlain = q;
        b->uPlainKey = h;
        uAhead++;
    }
    return uAhead;
}

void CQVSocket::AheadRun(BATCH_S* const* ap, u32 n, AHEAD_S& a, PASS_KEY_S* lpKeys)
{
    // The keys, expanded again only when they changed.
    for (u32 k = 0; k < 2; k++) {
        if (!a.aHandle[k]) continue;
        PASS_KEY_S& pk = lpKeys[k];
        if (pk.uHandle != a.aHandle[k] || std::memcmp(pk.aKey, a.aKey[k], 32) != 0 || !pk.aes.IsSet()) {
            pk.uHandle = 0;
            std::memcpy(pk.aKey, a.aKey[k], 32);
            if (pk.aes.SetKey(pk.aKey)) pk.uHandle = a.aHandle[k];
        }
    }
    volatile u8* v = &a.aKey[0][0];
    for (u32 i = 0; i < sizeof(a.aKey); i++) v[i] = 0;
    // The blocks are in no ring yet: only this thread sees them. The pad bytes land in the
    // room the pool keeps behind every block, as in RecvData.
    for (u32 i = 0; i < n; i++) {
        BATCH_S* b = ap[i];
        if (!b->pPlain) continue;
        const PASS_KEY_S* pk = lpKeys[0].uHandle == b->uPlainKey   ? &lpKeys[0]
                               : lpKeys[1].uHandle == b->uPlainKey ? &lpKeys[1]
                                                                   : 0;
        const u8* p = b->aData + b->uOffset;
        u8* q = b->pPlain->pData + b->pPlain->uOffset;
        // No key: the block is left for RecvData, which decrypts under the lock.
        if (!pk || !pk->aes.Decrypt(p + kHdr, q + kHdr, b->uLen - kHdr - 1)) b->uPlainKey = 0;
    }
}

u32 CQVSocket::RecvDecryptedAhead(BATCH_S* b)
{
    QV_BUF_S buf;
    buf.buf = b->aData;
    buf.uOffset = b->uOffset;
    buf.uSize = sizeof(b->aData);
    buf.uLen = b->uLen;
    buf.uParam = 0;
    // RecvData takes the block decrypted ahead when it keeps the datagram with that key.
    m_pRecvPlain = b->pPlain;
    m_uRecvPlainKey = b->uPlainKey;
    b->pPlain = 0;
    u32 r = m_uInit ? SockEventDataLocked(b->addr, buf, b->uSockID, b->uCnntID) : 0;
    if (m_pRecvPlain) BufFree(m_pRecvPlain);
    m_pRecvPlain = 0;
    return r;
}

u32 CQVSocket::SendAck(SOCK_S* s, u32 uPrio, u32 uGap, u32 uRangeStart, u32 uRangeSize, u32 uCnntID)
{
    RECV_Q_S& r = s->recv[uPrio];
    if (!r.que.IsCreated()) return 0;
    u8 a[QV_SKP_ACK_EX_LEN];
    std::memset(a, 0, sizeof(a));
    a[1] = QV_SKP_ACK;
    a[2] = (u8)uGap;
    a[3] = (u8)uPrio;
    qvSkWr32(a + 4, s->uCookieRmt);
    qvSkWr32(a + 8, r.uBase + r.uInOrder);
    u32 uFree = r.que.Free();
    u32 uCount = r.que.Count();
    qvSkWr16(a + 12, uFree > 0xFFFF ? 0xFFFF : uFree);
    qvSkWr16(a + 14, uCount - r.uInOrder);
    u32 uLen = QV_SKP_ACK_LEN;
    if (s->uPeerFlags & 1) {
        if (!uRangeSize) {
            uRangeStart = 0;
            for (u32 k = r.uInOrder; k < uCount; k++) {
                BUF_S* c = 0;
                r.que.Get(k, c);
                if (c) break;
                uRangeSize++;
            }
        }
        qvSkWr16(a + 16, uRangeStart);
        qvSkWr16(a + 18, uRangeSize);
        uLen = QV_SKP_ACK_EX_LEN;
    }
    r.uAdvRoom = uFree;
    return SocketProcSend(s, a, uLen, uCnntID, 0, 0) > 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------------------
// Node-facing receive

u32 CQVSocket::ReceiveCheck(SOCK_S* s, u32 uPrio, u32 uObject, u32 uMethod)
{
    RECV_Q_S& r = s->recv[uPrio];
    if (!r.uInOrder || !r.que.IsCreated()) return 0;
    u32 uSum = 0;
    MSG_KEY_S k0 = {0, 0, 0};
    for (u32 i = 0; i < r.uInOrder; i++) {
        BUF_S* b = 0;
        if (r.que.Get(i, b) != 0 || !b) {
            qvLogOut(1, "Socket: ReceiveCheck, bad buffer. uSockInd=%u", SockIndex(s));
            return 0;
        }
        const u8* p = b->pData + b->uOffset;
        MSG_KEY_S k = KeyOf(p);
        if (i == 0) {
            if (uObject && k.uObject != uObject) return 0;
            if (uMethod < 0xFFFF && k.uMethod != uMethod) return 0;
            k0 = k;
        } else if (!SameKey(k, k0)) {
            return uSum;
        }
        uSum += b->uLen - kHdr;
        if (p[2] & (QV_SKD_LAST | QV_SKD_SINGLE)) return uSum;
    }
    return 0;
}

s32 CQVSocket::Receive(u32 uSockID, QV_SK_BUF_S& buf, u32 uOption)
{
    if (!m_uInit) return -5;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return -5;
    u32 uPrio = buf.uPrio;
    u32 uSize = 0;
    if (uPrio > 3) {
        for (u32 i = 0; i < PRIO_NUM && !uSize; i++) {
            uSize = ReceiveCheck(s, i, 0, 0xFFFF);
            if (uSize) uPrio = i;
        }
        if (!uSize) return 0;
    } else {
        uSize = ReceiveCheck(s, uPrio, 0, 0xFFFF);
        if (!uSize) return 0;
    }
    RECV_Q_S& r = s->recv[uPrio];
    if (uSize > buf.uSize || !buf.lpData) {
        // Taken and dropped under this one lock hold, so no other reader's message is lost.
        ReceiveDropLocked(s, uPrio, 0xFFFFFF, 0, 0, 0);
        return -6;
    }
    BUF_S* b0 = 0;
    if (r.que.Get(0, b0) != 0 || !b0) {
        qvPrintf("CQVSocket::Receive, no buffer in queue");
        return -5;
    }
    const u8* p0 = b0->pData + b0->uOffset;
    MSG_KEY_S k0 = KeyOf(p0);
    u32 uFlag0 = qvSkRd16(p0 + 18);
    // Tells the caller what the head message is and how many wait behind it.
    auto Describe = [&] {
        buf.uObject = k0.uObject;
        buf.uMethod = (u16)k0.uMethod;
        buf.uFlag = (u16)uFlag0;
        buf.uPrio = uPrio;
        buf.uHandle2 = k0.uHandle2;
        buf.uHandle = 0;
        buf.uRemain = r.uInOrder;
    };
    s32 iResult = 0;
    if (buf.uObject && buf.uObject != k0.uObject) iResult = -3;
    if (!iResult && buf.uMethod != 0xFFFF && buf.uMethod != k0.uMethod) {
        qvPrintf("CQVSocket::Receive uMethod not match");
        iResult = -2;
    }
    if (iResult) {
        if (uOption & QV_SOCK_RECV_FILL)
            Describe();
        ListDispPush(s, 0x200, uPrio);
        DispWake();
        return iResult;
    }
    u32 uSingle = p0[2] & QV_SKD_SINGLE;
    if ((uOption & QV_SOCK_RECV_GATHER) && uSingle && r.uInOrder > 1) {
        // Bring further single-datagram messages of the same kind up behind the first one.
        BUF_S* win[33];
        u32 w = r.uInOrder < 33 ? r.uInOrder : 33;
        for (u32 i = 0; i < w; i++) r.que.Get(i, win[i]);
        BUF_S* front[33];
        BUF_S* rest[33];
        u32 nf = 0, nr = 0, uRoom = buf.uSize - (b0->uLen - kHdr);
        front[nf++] = win[0];
        u32 uStop = 0;
        for (u32 i = 1; i < w; i++) {
            const u8* q = win[i]->pData + win[i]->uOffset;
            u32 uPay = win[i]->uLen - kHdr;
            if (!uStop && (q[2] & QV_SKD_SINGLE) && SameKey(KeyOf(q), k0) && qvSkRd16(q + 18) == uFlag0) {
                if (uPay <= uRoom) {
                    front[nf++] = win[i];
                    uRoom -= uPay;
                    continue;
                }
                uStop = 1;
            }
            rest[nr++] = win[i];
        }
        for (u32 i = 0; i < nf; i++) r.que.Set(i, front[i]);
        for (u32 i = 0; i < nr; i++) r.que.Set(nf + i, rest[i]);
        u32 uCopied = 0;
        for (u32 i = 0; i < nf; i++) {
            BUF_S* b = 0;
            r.que.Pop(b);
            u32 uPay = b->uLen - kHdr;
            std::memcpy(buf.lpData + uCopied, b->pData + b->uOffset + kHdr, uPay);
            uCopied += uPay;
            BufFree(b);
            r.uBase++;
            r.uInOrder--;
        }
        iResult = (s32)uCopied;
    } else {
        u32 uCopied = 0;
        for (;;) {
            BUF_S* b = 0;
            if (!r.uInOrder || r.que.Get(0, b) != 0 || !b) {
                qvPrintf("CQVSocket::Receive, no buffer in queue");
                iResult = -5;
                break;
            }
            const u8* q = b->pData + b->uOffset;
            if (uCopied && !SameKey(KeyOf(q), k0)) break;
            u32 uPay = b->uLen - kHdr;
            if (uCopied + uPay > buf.uSize) break;
            std::memcpy(buf.lpData + uCopied, q + kHdr, uPay);
            uCopied += uPay;
            u8 uF = q[2];
            r.que.Pop(b);
            BufFree(b);
            r.uBase++;
            r.uInOrder--;
            if (uF & (QV_SKD_LAST | QV_SKD_SINGLE)) break;
        }
        if (iResult == 0) iResult = (s32)uCopied;
    }
    r.uEvtMark = 0;
    if (iResult >= 0)
        Describe();
    ListDispPush(s, 0x200, uPrio);
    DispWake();
    return iResult;
}

s32 CQVSocket::ReceiveRemain(u32 uSockID, u32& uPrio, u32 uObject, u32 uMethod)
{
    if (!m_uInit) return -5;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return -4;
    if (uPrio <= 3) return (s32)ReceiveCheck(s, uPrio, uObject, uMethod);
    for (u32 i = 0; i < PRIO_NUM; i++) {
        u32 n = ReceiveCheck(s, i, uObject, uMethod);
        if (n) {
            uPrio = i;
            return (s32)n;
        }
    }
    return 0;
}

void CQVSocket::ReceiveDropLocked(SOCK_S* s, u32 uPrio, u32 uMethod, u32 uObject, u32 uHandle2, u32 uCheck)
{
    RECV_Q_S& r = s->recv[uPrio];
    if (!r.que.IsCreated()) return;
    MSG_KEY_S k0 = {0, 0, 0};
    u32 uFirst = 1;
    while (r.uInOrder) {
        BUF_S* b = 0;
        if (r.que.Count() == 0) {
            qvLogOut(1, "Socket: ReceiveDrop, Not buffer. uSockInd=%u", SockIndex(s));
            break;
        }
        if (r.que.Get(0, b) != 0 || !b) {
            qvLogOut(1, "Socket: ReceiveDrop, Null buffer. uSockInd=%u", SockIndex(s));
            break;
        }
        const u8* p = b->pData + b->uOffset;
        MSG_KEY_S k = KeyOf(p);
        if (uFirst) {
            if (uCheck && ((uMethod < 0xFFFF && k.uMethod != uMethod) || (uObject && k.uObject != uObject) ||
                           k.uHandle2 != uHandle2))
                break;
            k0 = k;
            uFirst = 0;
        } else if (!SameKey(k, k0)) {
            break;
        }
        qvPrintf("CQVSocket::ReceiveDrop 2, uSockInd=%u, uPrio=%u, uMethod=%u, uObject=%u, uDataSize=%u",
                 SockIndex(s), uPrio, k.uMethod, k.uObject, b->uLen - kHdr);
        u8 uF = p[2];
        r.que.Pop(b);
        BufFree(b);
        r.uBase++;
        r.uInOrder--;
        r.uEvtMark = 0;
        if (uF & (QV_SKD_LAST | QV_SKD_SINGLE)) break;
    }
    ListDispPush(s, 0x200, uPrio);
}

void CQVSocket::ReceiveDrop(u32 uSockID, u32 uPrio, u32 uMethod, u32 uObject, u32 uHandle2, u32 uCheck)
{
    if (!m_uInit || uPrio > 3) return;
    {
        SectDisp lk(this);
        SOCK_S* s = SockGet(uSockID);
        if (!s) return;
        ReceiveDropLocked(s, uPrio, uMethod, uObject, uHandle2, uCheck);
    }
    DispWake();
}

s32 CQVSocket::ReceiveQueStatus(u32 uSockID, u32 uPrio, u32* lpuFree, u32* lpuUsed)
{
    if (uPrio > 3) return -4;
    if (!m_uInit) return -5;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return -4;
    if (lpuFree) *lpuFree = s->recv[uPrio].que.Free() * m_uMDU;
    if (lpuUsed) *lpuUsed = s->recv[uPrio].que.Count() * m_uMDU;
    return 0;
}

u32 CQVSocket::DispRecvData(SOCK_S* s)
{
    u32 uPrio = PRIO_NUM;
    for (u32 i = 0; i < PRIO_NUM; i++)
        if (s->uDispPrio[i] & 0x4) {
            uPrio = i;
            break;
        }
    if (uPrio == PRIO_NUM) return 1;
    RECV_Q_S& r = s->recv[uPrio];
    MSG_KEY_S k0 = {0, 0, 0};
    u32 uComplete = 0, uFirstBlock = 0;
    for (u32 i = 0; i < r.uInOrder; i++) {
        BUF_S* b = 0;
        if (r.que.Get(i, b) != 0 || !b) {
            qvLogOut(1, "Socket: DispRecvData, Null buffer.");
            break;
        }
        const u8* p = b->pData + b->uOffset;
        MSG_KEY_S k = KeyOf(p);
        if (i == 0) {
            k0 = k;
            uFirstBlock = b->uBlockNo;
        } else if (!SameKey(k, k0)) {
            uComplete = 1;
            break;
        }
        if ((p[2] & QV_SKD_LAST) || ((p[2] & QV_SKD_SINGLE) && i + 1 == r.uInOrder) ||
            i + 1 >= r.que.Size()) {
            uComplete = 1;
            break;
        }
        if (p[2] & QV_SKD_SINGLE) {
            uComplete = 1;
            break;
        }
    }
    // One event per message: the next follows once the node has read this one.
    if (uComplete && r.uEvtMark != uFirstBlock + 1) {
        if (EventPost(QV_SOCK_EVENT_RECV, uPrio, k0.uMethod, k0.uObject, k0.uHandle2, s->uParam, 0, SockID(s)))
            r.uEvtMark = uFirstBlock + 1;
    }
    s->uDispPrio[uPrio] &= ~0x4u;
    for (u32 i = 0; i < PRIO_NUM; i++)
        if ((s->uDispPrio[i] & 0x4) && s->recv[i].uInOrder) return 0;
    return 1;
}

// ---------------------------------------------------------------------------------------
// Inbound Ack

u32 CQVSocket::RecvAck(const QV_ADDR_S&, QV_BUF_S& buf, u32 uSockID, u32 uCnntID)
{
    u32 uLen = buf.uLen;
    const u8* a = buf.buf + buf.uOffset;
    if (uLen < QV_SKP_ACK_LEN) {
        qvPrintf("CQVSocket::RecvAck: Data size too short");
        m_Stat.uShort++;
        return 0;
    }
    u32 uInd = uSockID >> 16;
    if (!SockSlot(uSockID)) {
        qvPrintf("CQVSocket::RecvAck: Socket not exist");
        return 0;
    }
    SOCK_S* s = &m_pSocks[uInd];
    if (!s->uInUse) return 0;
    if (s->uState != 2) {
        qvPrintf("CQVSocket::RecvAck: Bad sec status, uSockInd=%u, Name=%s", uInd, s->szPeerName);
        return 0;
    }
    u32 uRecv = qvSkRd32(a + 4);
    if (uRecv != s->uCookieLcl) {
        qvPrintf("CQVSocket::RecvAck: cookie not match. uSockInd=%u, Name=%s, ulCookieLcl=%u, ulCookieRecv=%u",
                 uInd, s->szPeerName, s->uCookieLcl, uRecv);
        TimerDispDelete(s, 0x8, 4);
        InitRestart(s, uCnntID);
        return 1;
    }
    CNNT_PATH_S* path = CnntPathSearch(s, uCnntID);
    if (!path) {
        CnntPathUpdate(s);
        path = CnntPathSearch(s, uCnntID);
        // Connection 0 is the socket process's own choice (the LAN carries everything on
        // it), also for a socket whose paths came from a connection the process learnt
        // before: its acks are taken on path 0, or the blocks they release would be resent
        // for ever to a peer that has already read them.
        if (!path && uCnntID == 0) path = CnntPathZero(s);
        if (!path) return 0;
    }
    if (s->uOwnFlags & 1) {
        qvPrintf("CQVSocket::RecvAck: In prepare connect status, uSockInd=%u, Name=%s", uInd, s->szPeerName);
        return 0;
    }
    u32 uPrio = a[3];
    if (uPrio > 3) return 0;
    s->uRecvStamp = m_uSecond.load();
    SEND_Q_S& q = s->send[uPrio];
    u32 uNextExp = qvSkRd32(a + 8);
    u32 uFree = qvSkRd16(a + 12);
    u32 uGap = a[2];
    u32 n = uNextExp - q.uBase;
    if (n < q.uAcked || n > q.uNext) {
        qvPrintf("CQVSocket::RecvAck: uSockInd=%u, iAckBlocks=%d, ulQueHead=%u, uTop=%u, uAck=%u, Name=%s",
                 uInd, (int)n, q.uBase, q.uBase + q.uNext, uNextExp, s->szPeerName);
        q.uBadAck++;
        u32 uLimit = (s->uPeerFlags & 2) ? q.que.Size() : path->uWnd;
        if (uLimit < 32) uLimit = 32;
        if (q.uBadAck > uLimit) {
            q.uBadAck = 0;
            TimerDispDelete(s, 0x8, 4);
            s->uState = 0;
            ListDispPush(s, 0x100, 4);
            qvPrintf("CQVSocket::RecvAck: Acked loss max, uSockInd=%u, Name=%s", uInd, s->szPeerName);
            return 1;
        }
        if (uFree == 0 && uGap == 1 && q.uNext > q.uAcked) {
            q.uAckState |= 0x2;
            ListDispPush(s, 0x8, uPrio);
            return 1;
        }
        return 0;
    }
    if (uGap > 1) {
        qvPrintf("CQVSocket::RecvAck: Invalid ack, uSockInd=%u, uBlockNo=%u", uInd, uNextExp);
        return 0;
    }
    q.uBadAck = 0;
    CNNT_PATH_S* freed[32];
    u32 uFreed = 0, uTaken = 0;
    for (u32 k = q.uAcked; k < n; k++) {
        BUF_S* b = 0;
        if (q.que.Get(k, b) != 0 || !b) continue;
        CNNT_PATH_S* bp = CnntPathSearch(s, b->uPathID);
        if (CnntPathAckBuf(s, b)) {
            uTaken = 1;
            if (bp) {
                u32 j = 0;
                while (j < uFreed && freed[j] != bp) j++;
                if (j == uFreed && uFreed < 32) freed[uFreed++] = bp;
            }
        }
    }
    // The block just before the acknowledged point tells which path carried the ack sample.
    BUF_S* bLast = 0;
    if (n > 0) q.que.Get(n - 1, bLast);
    q.uAcked = n;
    u32 uNow = m_uTick.load();
    if (uGap == 1) {
        path->uSampleBlock = 0xFFFFFFFF;
        q.uPeerWnd = uFree;
        if ((s->uPeerFlags & 1) && uLen >= QV_SKP_ACK_EX_LEN) {
            u32 uStart = qvSkRd16(a + 16);
            u32 uSize = qvSkRd16(a + 18);
            u64 uBefore = (u64)n + uStart;   // index of the first missing block
            u64 uAfter = uBefore + uSize;    // index of the first block beyond the range
            // Range fields come from the wire: both ends must lie among the sent blocks.
            if (uBefore > q.uNext || uAfter > q.uNext) {
                m_Stat.uBadRange++;
            } else {
                if (uStart > 0) {
                    BUF_S* b = 0;
                    if (q.que.Get((u32)uBefore - 1, b) == 0 && b && CnntPathAckBuf(s, b)) uTaken = 1;
                }
                if (uAfter < q.uNext) {
                    BUF_S* b = 0;
                    if (q.que.Get((u32)uAfter, b) == 0 && b && CnntPathAckBuf(s, b)) uTaken = 1;
                }
                qvPrintf("CQVSocket::RecvAckExRange: uSockInd=%u, uPrio=%u, uBlockNo=%u, uSize=%u", uInd,
                         uPrio, uNextExp + uStart, uSize);
            }
        }
        if (uTaken) {
            RecvAckCheckLoss(s, uPrio);
            q.uAckState |= 0x3;
            if (q.uPeerWnd) q.uResendDown = q.uNext > q.uAcked ? q.uNext - q.uAcked - 1 : 0;
        } else {
            if (!(s->uTimerPrio[uPrio] & 0x4) && !((s->uTimerPrio[uPrio] & 0x2) && q.uTimer[0] < 30))
                q.uAckState |= 0x4;
            if (q.uResendDown && --q.uResendDown == 0) q.uAckState |= 0x2;
        }
        if (q.uPeerWnd == 0) {
            q.uWndClosed++;
            q.uAckState &= ~0x8u;
            TimerDispDelete(s, 0x2, uPrio);
            if (!(s->uTimerPrio[uPrio] & 0x4)) q.uAckState |= q.uWndClosed > 15 ? 0x4 : 0x2;
            qvPrintf("CQVSocket::RecvAck: ACK_Loss, Receive wnd has closed. uSockInd=%u, uPrio=%u, BlockNo=%u, uRWCCount=%u, uAckMask=%u",
                     uInd, uPrio, uNextExp, q.uWndClosed, q.uAckState);
        } else if (q.uWndClosed) {
            q.uWndClosed = 0;
            q.uAckState |= 0xA;
            qvPrintf("CQVSocket::RecvAck: ACK_Loss, Receive wnd reopen. uSockInd=%u, uPrio=%u, BlockNo=%u, uRecvWnd=%u",
                     uInd, uPrio, uNextExp, q.uPeerWnd);
        }
    } else {
        // A loss is over once everything that was out when it was seen is acknowledged;
        // on a clean link no later gap ack would ever clear its mark.
        for (CNNT_PATH_S* p = s->paths.Head(); p; p = PATH_LIST::Next(p))
            if ((p->uLossMarks & (1u << uPrio)) && !Before(uNextExp, p->uLossEnd[uPrio]))
                p->uLossMarks &= ~(1u << uPrio);
        for (u32 j = 0; j < uFreed; j++)
            if (!freed[j]->uLossMarks) CnntPathWndIncrease(s, freed[j]);
        if (path->uSampleBlock != 0xFFFFFFFF && path->uSamplePrio == uPrio) {
            if (uNextExp == path->uSampleBlock + 1 && bLast && bLast->uPathID == path->uID) {
                u32 rtt = uNow - path->uSampleTick;
                if (path->uRtt == 0 || rtt > path->uRtt)
                    path->uRtt = rtt;
                else
                    path->uRtt = (rtt + 3 * path->uRtt) / 4;
                if (path->uRtt < 1) path->uRtt = 1;
                CnntPathSmoothWndUpdate(path);
                CnntPathTakeValues(s, path);
                path->uSampleBlock = 0xFFFFFFFF;
            } else if (Before(path->uSampleBlock + 2 * path->uWnd, uNextExp)) {
                path->uSampleBlock = 0xFFFFFFFF;
            }
        }
        q.uAckState |= 0x1;
        q.uPeerWnd = uFree;
        q.uLastAckTick = uNow;
        q.uResendDown = 0;
        TimerDispDelete(s, 0x4, uPrio);
        if (q.uAcked >= q.uNext) TimerDispDelete(s, 0x2, uPrio);
        if (q.uPeerWnd == 0) {
            q.uWndClosed++;
            q.uAckState &= ~0x8u;
            TimerDispDelete(s, 0x2, uPrio);
            qvPrintf("CQVSocket::RecvAck: ACK_Receive, Receive wnd has closed. uSockInd=%u, uPrio=%u, BlockNo=%u",
                     uInd, uPrio, uNextExp);
        } else if (q.uWndClosed) {
            q.uWndClosed = 0;
            q.uAckState |= 0x8;
            qvPrintf("CQVSocket::RecvAck: ACK_Receive, Receive wnd reopen. uSockInd=%u, uPrio=%u, BlockNo=%u",
                     uInd, uPrio, uNextExp);
        }
    }
    ListDispPush(s, 0x8, uPrio);
    s->uTryCount = 0;
    s->uPeerAcked = 1;
    return 1;
}

u32 CQVSocket::DispRecvAck(SOCK_S* s)
{
    if (s->uState != 2) {
        for (u32 i = 0; i < PRIO_NUM; i++) s->uDispPrio[i] &= ~0x8u;
        return 1;
    }
    u32 uPrio = PRIO_NUM;
    for (u32 i = 0; i < PRIO_NUM; i++)
        if (s->uDispPrio[i] & 0x8) {
            uPrio = i;
            break;
        }
    if (uPrio == PRIO_NUM) return 1;
    SEND_Q_S& q = s->send[uPrio];
    u32 uPopped = 0;
    u32 uSid = SockID(s);
    for (;;) {
        if (!q.uAcked) break;
        BUF_S* b0 = 0;
        if (q.que.Get(0, b0) != 0 || !b0) {
            qvPrintf("CQVSocket::DispRecvAck: get buffer from queue failed, SockInd=%u", SockIndex(s));
            break;
        }
        const u8* p0 = b0->pData + b0->uOffset;
        MSG_KEY_S k0 = KeyOf(p0);
        u32 uHandle = b0->uHandle;
        u32 uBytes = 0, uBlocks = 0, uComplete = 0;
        for (u32 i = 0; i < q.uAcked; i++) {
            BUF_S* b = 0;
            if (q.que.Get(i, b) != 0 || !b) break;
            const u8* p = b->pData + b->uOffset;
            if (i > 0 && (!SameKey(KeyOf(p), k0) || b->uHandle != uHandle || ((p[2] ^ p0[2]) & QV_SKD_SINGLE))) {
                uComplete = 1;
                break;
            }
            uBytes += b->uLen - QV_SKP_DATA_HDR;
            uBlocks++;
            if (p[2] & QV_SKD_LAST) {
                uComplete = 1;
                break;
            }
            if ((p[2] & QV_SKD_SINGLE) && i + 1 == q.uAcked) {
                uComplete = 1;
                break;
            }
            if (i + 1 >= q.que.Size()) {
                uComplete = 1;
                break;
            }
        }
        if (!uComplete || !uBlocks) break;
        EventPost(QV_SOCK_EVENT_ACKED, uPrio, k0.uMethod, uBytes, uHandle, s->uParam, 0, uSid);
        for (u32 i = 0; i < uBlocks; i++) {
            BUF_S* b = 0;
            if (q.que.Pop(b) != 0) {
                qvPrintf("CQVSocket::DispRecvAck: Pop buffer from queue failed");
                break;
            }
            CnntPathUncount(s, b);
            BufFree(b);
            q.uBase++;
            if (q.uNext) q.uNext--;
            if (q.uAcked) q.uAcked--;
        }
        uPopped = 1;
    }
    s->uDispPrio[uPrio] &= ~0x8u;
    u32 st = q.uAckState;
    q.uAckState = 0;
    if (st & 0x8) q.uRangeOnce = 1;
    if (st & 0x1) {
        for (u32 i = 0; i < PRIO_NUM; i++) {
            SEND_Q_S& o = s->send[i];
            if (o.que.IsCreated() && o.uNext < o.que.Count() && o.uWndClosed == 0) {
                ListDispPush(s, 0x1, i);
                break;
            }
        }
    }
    if (st & 0x2) ListDispPush(s, 0x2, uPrio);
    if (st & 0x4) TimerDispPush(s, 0x4, uPrio);
    if (q.uNext < q.que.Count() && q.uWndClosed == 0) ListDispPush(s, 0x1, uPrio);
    // Blocks still out with no timer left to resend them would wait forever: probe them.
    if (q.uNext > q.uAcked && !(s->uTimerPrio[uPrio] & 0x6)) TimerDispPush(s, 0x2, uPrio);
    if (!uPopped && q.que.Free() && q.uAcked < q.que.Count()) {
        BUF_S* b = 0;
        if (q.que.Get(q.uAcked, b) == 0 && b && (b->pData[b->uOffset + 2] & QV_SKD_SINGLE))
            EventPost(QV_SOCK_EVENT_ACKED, uPrio, qvSkRd16(b->pData + b->uOffset + 16), 0, b->uHandle,
                      s->uParam, 0, uSid);
    }
    for (u32 i = 0; i < PRIO_NUM; i++)
        if ((s->uDispPrio[i] & 0x8) && s->send[i].uAcked) return 0;
    return 1;
}

// The part of a priority's in-order run that a new handshake keeps. With the same peer
// incarnation, the whole run: the peer numbers on from it. With a new one, the complete
// messages at its head: they were acknowledged, so their sender counts them as delivered and
// will never send them again, while an unfinished message behind them comes again whole
// from its first block (the new incarnation sends it anew, or the old one, which saw no
// restart, takes back the acknowledgement of its first blocks from the number announced).
u32 CQVSocket::RecvKeptRun(SOCK_S* s, u32 uPrio)
{
    RECV_Q_S& r = s->recv[uPrio];
    // ReceiveQueueReset leaves the rings alone in prepare-connect and for a multipath peer
    // that keeps no queues.
    u32 uUntouched = (s->uOwnFlags & 1) || ((s->uPeerFlags & 2) && !(s->uPeerFlags & 4));
    if (!s->uPeerNewRecv || uUntouched || !r.que.IsCreated()) return r.uInOrder;
    u32 uKept = 0;
    for (u32 i = 0; i < r.uInOrder; i++) {
        BUF_S* b = 0;
        if (r.que.Get(i, b) != 0 || !b) break;
        if (b->pData[b->uOffset + 2] & (QV_SKD_LAST | QV_SKD_SINGLE)) uKept = i + 1;
    }
    return uKept;
}

void CQVSocket::ReceiveQueueReset(SOCK_S* s)
{
    if (s->uOwnFlags & 1) return;
    if ((s->uPeerFlags & 2) && !(s->uPeerFlags & 4)) return;
    u32 uOld = !(s->uPeerFlags & 4);   // a peer that keeps no queues across a handshake
    for (u32 i = 0; i < PRIO_NUM; i++) {
        RECV_Q_S& r = s->recv[i];
        if (!r.que.IsCreated()) continue;
        if (!uOld) {
            // Keep the run (or its complete messages, see RecvKeptRun) and the numbering:
            // the InitR just sent announced base + kept as the next block. Everything held
            // beyond goes. The ring is rotated once so that only the kept blocks are left.
            u32 uKept = RecvKeptRun(s, i);
            u32 n = r.que.Count();
            for (u32 k = 0; k < n; k++) {
                BUF_S* b = 0;
                r.que.Pop(b);
                if (k < uKept)
                    r.que.Push(b);
                else if (b)
                    BufFree(b);
            }
            r.uInOrder = uKept;
            if (r.uEvtMark && r.uEvtMark - 1 - r.uBase >= uKept) r.uEvtMark = 0;
        } else {
            BUF_S* b = 0;
            while (r.que.Pop(b) == 0)
                if (b) BufFree(b);
            r.uBase = 0;
            r.uInOrder = 0;
            r.uEvtMark = 0;
        }
        r.uHigh = r.uBase + r.uInOrder - 1;
        r.uAdvRoom = 0xFFFF;
        r.uDelayTicks = 0;
        s->uDispPrio[i] &= ~0x204u;
        TimerDispDelete(s, 0x1, i);
    }
    s->uPeerNewRecv = 0;
}
