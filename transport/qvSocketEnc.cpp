// Key exchange over EncQ / EncR packets.
#include "qvLog.h"

#include "qvSocket.h"

#include <cstring>

namespace {

// Room for the key data of one exchange packet.
const u32 kEncRoom = 512;

} // namespace

void CQVSocket::SendEncReady(SOCK_S* s)
{
    for (u32 i = 0; i < PRIO_NUM; i++) {
        SEND_Q_S& q = s->send[i];
        if (!q.que.IsCreated() || !q.que.Count()) continue;
        // No encrypted block that is out left with this key: the tries made without one
        // marked some as just resent (the resend timer's tries of the last block), which
        // would hold them back for a resend interval while the rest go now.
        for (u32 k = q.uAcked; k < q.uNext; k++) {
            BUF_S* b = 0;
            if (q.que.Get(k, b) == 0 && b && (b->pData[b->uOffset + 2] & QV_SKD_ENC)) b->uResendStamp = 0;
        }
        ListDispPush(s, 0x2, i);
    }
}

void CQVSocket::CryptoClose(SOCK_S* s)
{
    if (s->uCrypto) m_Crypto.Close(s->uCrypto);
    s->uCrypto = 0;
}

u32 CQVSocket::SendEnc(SOCK_S* s, u32 uAction)
{
    if (!s->uCrypto) return 0;
    u8 aPkt[QV_SKP_ENC_HDR + kEncRoom];
    std::memset(aPkt, 0, QV_SKP_ENC_HDR);
    u32 uLen = 0, uQid = 0;
    int r = m_Crypto.Export(s->uCrypto, aPkt + QV_SKP_ENC_HDR, &uLen, uQid, uAction == QV_SKP_ENCQ ? 1 : 0);
    if (r == QV_CRYPTO_OK) {
        if (uLen > kEncRoom) {
            CryptoClose(s);
            return 0;
        }
        aPkt[1] = (u8)uAction;
        qvSkWr32(aPkt + 4, s->uCookieRmt);
        qvSkWr16(aPkt + 8, uQid);
        qvSkWr16(aPkt + 10, uLen);
        u32 uSent = SocketProcSend(s, aPkt, QV_SKP_ENC_HDR + uLen, 0, 0, 0) > 0 ? 1 : 0;
        // The reply established the key here: blocks that waited for it go out again.
        if (uAction == QV_SKP_ENCR) SendEncReady(s);
        return uSent;
    }
    if (r == QV_CRYPTO_STATE) {
        if (m_Crypto.CheckTimeout(s->uCrypto)) CryptoClose(s);
        return 0;
    }
    CryptoClose(s);
    return 0;
}

u32 CQVSocket::RecvEncQ(const QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID)
{
    const u8* p = buf.buf + buf.uOffset;
    if (buf.uLen < QV_SKP_ENC_HDR) {
        qvPrintf("CQVSocket::RecvEncQ: Data size too short");
        m_Stat.uShort++;
        return 0;
    }
    u32 L = qvSkRd16(p + 10);
    if (L != buf.uLen - QV_SKP_ENC_HDR) {
        qvPrintf("CQVSocket::RecvEncQ: Data size invalid");
        m_Stat.uBadLen++;
        return 0;
    }
    u32 uInd = uSockID >> 16;
    if (!SockSlot(uSockID)) {
        return NewAlloc(addr, 0, 0, 0, 0) ? 1 : 0;
    }
    SOCK_S* s = &m_pSocks[uInd];
    qvPrintf("CQVSocket::RecvEncQ, uSockInd=%u, Name=%s", uInd, s->szPeerName);
    if (!s->uInUse) return 0;
    if (s->uState == 1) {
        qvPrintf("CQVSocket::RecvEncQ: Not in sec status");
        return 0;
    }
    if (s->uState == 0) {
        ListDispPush(s, 0x100, 4);
        return 1;
    }
    u32 uRecv = qvSkRd32(p + 4);
    if (uRecv != s->uCookieLcl) {
        qvPrintf("CQVSocket::RecvEncQ: cookie not match, ulCookie0=%u, ulCookie1=%u", s->uCookieLcl, uRecv);
        InitRestart(s, uCnntID);
        return 1;
    }
    s->uRecvStamp = m_uSecond.load();
    if (s->uCrypto && m_Crypto.CompareQueryID(s->uCrypto, qvSkRd16(p + 8))) CryptoClose(s);
    if (!s->uCrypto) {
        s->uCrypto = m_Crypto.Open(0);
        if (!s->uCrypto) return 0;
    }
    int r = m_Crypto.Import(s->uCrypto, p + QV_SKP_ENC_HDR, L, qvSkRd16(p + 8), 1);
    if (r == QV_CRYPTO_OK) {
        ListDispPush(s, 0x80, 4);
        return 1;
    }
    if (r == QV_CRYPTO_FAIL) {
        qvPrintf("CQVSocket::RecvEncQ: Import failed.");
        CryptoClose(s);
        return 0;
    }
    qvPrintf("CQVSocket::RecvEncQ: Import status error.");
    if (m_Crypto.CheckTimeout(s->uCrypto)) CryptoClose(s);
    return 0;
}

u32 CQVSocket::RecvEncR(const QV_ADDR_S&, QV_BUF_S& buf, u32 uSockID, u32 uCnntID)
{
    const u8* p = buf.buf + buf.uOffset;
    if (buf.uLen < QV_SKP_ENC_HDR) {
        qvPrintf("CQVSocket::RecvEncR: Data size too short");
        m_Stat.uShort++;
        return 0;
    }
    u32 L = qvSkRd16(p + 10);
    if (L != buf.uLen - QV_SKP_ENC_HDR) {
        qvPrintf("CQVSocket::RecvEncR: Data size invalid");
        m_Stat.uBadLen++;
        return 0;
    }
    u32 uInd = uSockID >> 16;
    if (!SockSlot(uSockID)) {
        qvPrintf("CQVSocket::RecvEncR: Socket not exist.");
        return 0;
    }
    SOCK_S* s = &m_pSocks[uInd];
    qvPrintf("CQVSocket::RecvEncR, uSockInd=%u, Name=%s", uInd, s->szPeerName);
    if (!s->uInUse || s->uState == 1) return 0;
    u32 uRecv = qvSkRd32(p + 4);
    if (s->uState == 0 || uRecv != s->uCookieLcl) {
        if (uRecv != s->uCookieLcl)
            qvPrintf("CQVSocket::RecvEncR: cookie not match, ulCookie0=%u, ulCookie1=%u", s->uCookieLcl, uRecv);
        InitRestart(s, uCnntID);
        return 1;
    }
    s->uRecvStamp = m_uSecond.load();
    if (!s->uCrypto) return 0;
    int r = m_Crypto.Import(s->uCrypto, p + QV_SKP_ENC_HDR, L, qvSkRd16(p + 8), 0);
    if (r == QV_CRYPTO_OK) {
        SendEncReady(s);
        DispWake();
        return 1;
    }
    qvPrintf(r == QV_CRYPTO_FAIL ? "CQVSocket::RecvEncR: Import failed." : "CQVSocket::RecvEncR: Import status error.");
    CryptoClose(s);
    return 0;
}
