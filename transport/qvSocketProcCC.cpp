// Socket process: the connect-control protocol (letters 'A' to 'Q') with which peers find
// and keep paths to each other through the proxy station, the connect and assist backlogs,
// and the station's proxy holes. Everything here runs with the process mutex held.
//
// Message layout (big-endian): [0] 0, [1] letter, [2] flags, [3] relay type, four address
// records of 20 bytes at 4, 24, 44 and 64 (16 bytes IP as QV_ADDR_S holds it, u16 port,
// u16 address flags), then the letter's tail.
#include <string.h>

#include <new>

#include "qvLog.h"
#include "qvSockAddrUti.h"
#include "qvSocketProc.h"

namespace {

// Head room in front of every message for the drivers' own headers (the relay envelope
// and the UDP4 tunnel header both fit).
const u32 CC_HEAD = 64;
// Header and four address records: the whole of 'A', 'B', 'C', 'J', short 'D'..'G', 'I'.
const u32 CC_LEN = 84;
// 'P' and 'Q' carry one more record.
const u32 CC_LEN_PROBE = 100;
// 'I' with the two redirect stations at 84 and 104.
const u32 CC_LEN_MAIN_REDIR = 124;
// 'H' with the 128-byte peer name at 84.
const u32 CC_LEN_MAIN = 212;
const u32 CC_NAME_MAX = 128;
// Full 'D'..'G': twelve more records at 84 + 20 x i.
const u32 CC_LEN_FULL = 324;
const u32 CC_TAIL_MAX = 12;

const u32 REC0 = 4, REC1 = 24, REC2 = 44, REC3 = 64;
const u32 REC_SIZE = 20;

// Message flags, byte 2.
const u8 CCF_RELAYED = 0x01;
const u8 CCF_REC1 = 0x02;
const u8 CCF_TCP = 0x04;
const u8 CCF_REC3 = 0x08;
const u8 CCF_RELAY_ON = 0x10;
const u8 CCF_NO_TRY = 0x20;

// Address flags of a record.
const u16 CCA_TCP = 0x0001;
const u16 CCA_PUB = 0x0002;
const u16 CCA_MAIN = 0x0200;

// Connection address driver record flags (see the peer records).
const u32 REC_WORK = 0x1;
const u32 REC_FILLED = 0x2;
const u32 REC_OWNMAIN = 0x4;
const u32 REC_RELAYED = 0x8;

// Flags of the proxy-request senders.
const u32 PXY_RELAY = 0x1;
const u32 PXY_NO_TRY = 0x2;
const u32 PXY_PUB_ONLY = 0x4;
const u32 PXY_NO_TCP = 0x8;

// Backlog entries older than this many ticks are dropped by every walk.
const u32 CNNT_BACKLOG_AGE = 3;
const u32 ASSIST_BACKLOG_AGE = 10;
// Upper bounds of the tables: a flood of requests from spoofed addresses must not grow
// them without limit within their few seconds of life. The oldest entry makes room.
const u32 CNNT_BACKLOG_MAX = 1024;
const u32 ASSIST_BACKLOG_MAX = 1024;
// A proxy hole lives this many ticks after its last use; the timer looks at no more than
// PXY_HOLE_SWEEP entries per tick, so the table is bounded as well.
const u32 PXY_HOLE_AGE = 10;
const u32 PXY_HOLE_SWEEP = 128;
const u32 PXY_HOLE_MAX = 65536;
const u32 PXY_HOLE_BUCKETS = 256;
// A peer that asked nothing for this many ticks while connected is connected anew
// when its proxy request arrives.
const u32 CNNT_RECONNECT_SILENT = 29;
// 'J' for an address deleted this many ticks ago or less; another working address that
// was heard from this recently keeps a driver address from being announced as gone.
const u32 DEL_ANNOUNCE_AGE = 6;
const u32 DEL_KEEP_HEARD = 15;
// A path that heard nothing for more than this many ticks is probed ('P').
const u32 ACTIVE_SILENT = 4;
// Relay is asked for once the peer tried for more than this many ticks without a path.
const u32 PXY_RELAY_AFTER = 4;

// An all-zero IP with port 0 ends a list.
bool RecZero(const QV_ADDR_S& A)
{
    return !A.uAddr[0] && !A.uAddr[1] && !A.uAddr[2] && !A.uAddr[3] && !A.uPort;
}

// A record: IP as stored, port and address flags (the extra word) big-endian.
QV_ADDR_S RdAddr(const u8* lpMsg, u32 uAt)
{
    QV_ADDR_S A;
    const u8* p = lpMsg + uAt;
    memcpy(A.uAddr, p, 16);
    A.uPort = (u16)((p[16] << 8) | p[17]);
    A.uExtra = (u16)((p[18] << 8) | p[19]);
    return A;
}

void WrAddr(u8* lpMsg, u32 uAt, const QV_ADDR_S& A, u16 usFlags)
{
    u8* p = lpMsg + uAt;
    memcpy(p, A.uAddr, 16);
    p[16] = (u8)(A.uPort >> 8);
    p[17] = (u8)A.uPort;
    p[18] = (u8)(usFlags >> 8);
    p[19] = (u8)usFlags;
}

void WrZero(u8* lpMsg, u32 uAt)
{
    memset(lpMsg + uAt, 0, REC_SIZE);
}

QV_ADDR_S Plain(const QV_ADDR_S& A)
{
    QV_ADDR_S B = A;
    B.uExtra = 0;
    return B;
}

// Relay type of a driver address: 1 IPv4, 5 IPv6, 6 anything else.
u8 DrivTypeToRelayAddrType(u32 uDrivType, const QV_ADDR_S& A)
{
    u32 uVer = qvAddrIPVer(&A);
    if (uDrivType == QV_SOCK_DRIV_UDP4)
        return 1;
    if (uDrivType == QV_SOCK_DRIV_UDP6)
        return 5;
    if (uDrivType == QV_SOCK_DRIV_TCP)
        return uVer == QV_ADDR_VER_IPV4 ? 1 : uVer == QV_ADDR_VER_IPV6 ? 5 : 6;
    return 6;
}

bool IsRelayConnect(u8 uType)
{
    return uType == 1 || uType == 2 || uType == 4 || uType == 5;
}

// A message under construction, with the head room in front.
struct CC_MSG_S {
    u8 Raw[CC_HEAD + CC_LEN_FULL];
    u8* Msg() { return Raw + CC_HEAD; }
    void Init(u8 uLetter)
    {
        memset(Raw, 0, sizeof(Raw));
        Raw[CC_HEAD + 1] = uLetter;
    }
    // A copy of a received message, its length capped at the longest form.
    void Copy(const u8* lpMsg, u32 uLen)
    {
        memset(Raw, 0, sizeof(Raw));
        memcpy(Raw + CC_HEAD, lpMsg, uLen < CC_LEN_FULL ? uLen : CC_LEN_FULL);
    }
};

}  // namespace

// Sending.

u32 CQVSocketProc::SockCnntDrivSend(u32 uDrivType, u32 uSess, const QV_ADDR_S& To, u8* lpRaw, u32 uLen,
                                    const QV_ADDR_S* lpProxy, u32 uDrivFlags)
{
    if (uDrivType >= QV_SOCK_DRIV_MAX)
        return 0xFFFFFFFFu;
    QV_BUF_S Buf;
    memset(&Buf, 0, sizeof(Buf));
    Buf.buf = lpRaw;
    Buf.uOffset = CC_HEAD;
    Buf.uSize = CC_HEAD + uLen;
    Buf.uLen = uLen;
    QV_ADDR_S Dst = Plain(To);
    u32 uRes = m_lpDriv[uDrivType]->Send(uSess, &Dst, &Buf, lpProxy, uDrivFlags);
    if (uRes == 0 || (uRes & 0x80000000u))
        return 0xFFFFFFFFu;
    if (uDrivType == QV_SOCK_DRIV_TCP)
        m_uDrivTick[QV_SOCK_DRIV_TCP] = m_uTick;
    return uRes;
}

// Driver param for sends toward an address of a requester that has no peer record yet.
u32 CQVSocketProc::SockCnntDrivParamMain(const QV_ADDR_S& Main, const QV_ADDR_S& Addr)
{
    if (qvAddrIPVer(&Main) == qvAddrIPVer(&Addr))
        return AddrEq(Main, Addr) ? 0 : 1;
    QV_ADDR_S Flagged;
    memset(&Flagged, 0, sizeof(Flagged));
    if (AssistBacklogGet(Main, &Flagged) && !AddrEmpty(Flagged) && AddrEq(Flagged, Addr))
        return 0;
    return 1;
}

void CQVSocketProc::SockCnntMainPubAddr(QV_ADDR_S* lpOut)
{
    memset(lpOut, 0, sizeof(*lpOut));
    if (m_uMainDriv == QV_SOCK_DRIV_UDP4)
        m_DrivUDP4.GetPubAddr(lpOut);
    else if (m_uMainDriv == QV_SOCK_DRIV_UDP6)
        m_DrivUDP6.GetPubAddr(lpOut);
}

u32 CQVSocketProc::SockCnntTryingSendMsg(u32 uIndex, const QV_ADDR_S& Main, u32 uDrivType, const QV_ADDR_S& Target,
                                         u32 uFlags)
{
    if (AddrEmpty(Target))
        return 0;
    CC_MSG_S M;
    M.Init('A');
    u8* m = M.Msg();
    WrAddr(m, REC0, Main, 0);
    if (!AddrEq(Target, Main)) {
        WrAddr(m, REC1, Target, 0);
        m[2] |= CCF_REC1;
    }
    WrAddr(m, REC2, m_AddrMain, 0);
    if (uDrivType == QV_SOCK_DRIV_TCP)
        m[2] |= CCF_TCP;
    u32 uParam = uIndex < m_uPeerMax ? SockPeerCnntGetDrivParam(uIndex, uDrivType, Target)
                                     : SockCnntDrivParamMain(Main, Target);
    u32 uSess = uIndex < m_uPeerMax ? m_lpPeer[uIndex].uHandle : 0;
    SockCnntDrivSend(uDrivType, uSess, Target, M.Raw, CC_LEN, nullptr, uFlags | uParam);
    return 1;
}

u32 CQVSocketProc::SockCnntTryingSend(u32 uIndex, const QV_ADDR_S& Main, const QV_ADDR_S* lpTargets, u32 uCount,
                                      u32 uFlags)
{
    u32 uSel = uIndex < m_uPeerMax ? m_lpPeer[uIndex].uDrivSel : m_uDrivSelDef;
    u32 uSent = 0;
    for (u32 i = 0; i < uCount; i++) {
        const QV_ADDR_S& T = lpTargets[i];
        u32 uVer = qvAddrIPVer(&T);
        if (uVer == QV_ADDR_VER_IPV4 && DrivEnabled(QV_SOCK_DRIV_UDP4) &&
            SockPeerCnntAddrMatchDriv(uIndex, QV_SOCK_DRIV_UDP4, T))
            uSent |= SockCnntTryingSendMsg(uIndex, Main, QV_SOCK_DRIV_UDP4, T, uFlags);
        if (uVer == QV_ADDR_VER_IPV6 && DrivEnabled(QV_SOCK_DRIV_UDP6) &&
            SockPeerCnntAddrMatchDriv(uIndex, QV_SOCK_DRIV_UDP6, T))
            uSent |= SockCnntTryingSendMsg(uIndex, Main, QV_SOCK_DRIV_UDP6, T, uFlags);
        if (DrivEnabled(QV_SOCK_DRIV_TCP) && uSel != 1)
            uSent |= SockCnntTryingSendMsg(uIndex, Main, QV_SOCK_DRIV_TCP, T, uFlags);
    }
    return uSent;
}

u32 CQVSocketProc::SockCnntSendMsg(u32 uIndex, u32 uDrivType, CNNT_ADDR_S* a, u32 uFlags)
{
    if (uDrivType >= QV_SOCK_DRIV_MAX || !a)
        return 0;
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    CC_MSG_S M;
    M.Init('B');
    u8* m = M.Msg();
    m[2] = (u8)uFlags;
    if (uDrivType == QV_SOCK_DRIV_TCP)
        m[2] |= CCF_RELAYED;
    WrAddr(m, REC0, m_AddrMain, 0);
    WrAddr(m, REC2, p->AddrMain, 0);
    if (!AddrEq(a->Addr, p->AddrMain)) {
        WrAddr(m, REC3, a->Addr, 0);
        m[2] |= CCF_REC3;
    }
    QV_ADDR_S Pxy;
    u32 uWhich = uDrivType == QV_SOCK_DRIV_UDP4 ? 0 : uDrivType == QV_SOCK_DRIV_UDP6 ? 1 : 2;
    const QV_ADDR_S* lpPxy = SockPeerSelectAddrPxy(uIndex, uWhich, &Pxy) ? &Pxy : nullptr;
    u32 uParam = SockPeerCnntGetDrivParam(uIndex, uDrivType, a->Addr);
    // The first request to a public address punches the way with hit-hole packets first.
    if (!a->uReqSent && qvAddrIsPublic(&a->Addr))
        uParam |= 0x2;
    if (a->Driv[uDrivType].uFlags & REC_RELAYED)
        uParam |= 0x1;
    a->uReqSent++;
    SockCnntDrivSend(uDrivType, p->uHandle, a->Addr, M.Raw, CC_LEN, lpPxy, uParam);
    a->uSendTick = m_uTick;
    char szAddr[QV_ADDR_STR_SIZE];
    qvLogOut(2, "SocketProc: SockCnntSendMsg: AddrDstMain=%s", AddrText(p->AddrMain, szAddr));
    return 1;
}

u32 CQVSocketProc::SockCnntSendDrivType(u32 uIndex, CNNT_ADDR_S* a, u32 uDrivType)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    u32 uVer = qvAddrIPVer(&a->Addr);
    switch (uDrivType) {
    case QV_SOCK_DRIV_UDP4:
    case QV_SOCK_DRIV_UDP6:
        if (uVer != (uDrivType == QV_SOCK_DRIV_UDP4 ? QV_ADDR_VER_IPV4 : QV_ADDR_VER_IPV6))
            return 0;
        if (!DrivEnabled(uDrivType) || (a->uMask & 0x2))
            return 0;
        return SockCnntSendMsg(uIndex, uDrivType, a, 0);
    case QV_SOCK_DRIV_TCP:
        if (p->uDrivSel == 1 || !(p->uStatus & QV_PEER_STA_TCP) || !DrivEnabled(QV_SOCK_DRIV_TCP))
            return 0;
        return SockCnntSendMsg(uIndex, QV_SOCK_DRIV_TCP, a, 0);
    default:
        return 0;
    }
}

u32 CQVSocketProc::SockCnntSendSingle(u32 uIndex, CNNT_ADDR_S* a)
{
    if (!a)
        return 0;
    u32 uSent = SockCnntSendDrivType(uIndex, a, QV_SOCK_DRIV_UDP4);
    uSent |= SockCnntSendDrivType(uIndex, a, QV_SOCK_DRIV_UDP6);
    uSent |= SockCnntSendDrivType(uIndex, a, QV_SOCK_DRIV_TCP);
    return uSent;
}

u32 CQVSocketProc::SockCnntSend(u32 uIndex, u32 uDrivType)
{
    u32 uSent = 0;
    CNNT_ADDR_S* a = m_lpPeer[uIndex].Addrs.Head();
    while (a) {
        CNNT_ADDR_S* n = ADDR_LIST::Next(a);
        if (uDrivType >= QV_SOCK_DRIV_NONE)
            uSent |= SockCnntSendSingle(uIndex, a);
        else if (uDrivType <= QV_SOCK_DRIV_TCP)
            uSent |= SockCnntSendDrivType(uIndex, a, uDrivType);
        a = n;
    }
    return uSent;
}

u32 CQVSocketProc::SockCnntSendActiveMsg(u32 uHandle, u32 uDrivType, const QV_ADDR_S& Target, const QV_ADDR_S* lpMain,
                                         const QV_ADDR_S* lpProxy, u32 uDrivFlags)
{
    CC_MSG_S M;
    M.Init('P');
    u8* m = M.Msg();
    if (uDrivFlags & 0x1)
        m[2] |= CCF_RELAYED;
    WrAddr(m, REC0, m_AddrMain, 0);
    if (lpMain)
        WrAddr(m, REC2, *lpMain, 0);
    return SockCnntDrivSend(uDrivType, uHandle, Target, M.Raw, CC_LEN_PROBE, lpProxy, uDrivFlags);
}

u32 CQVSocketProc::SockCnntActiveSend(u32 uIndex, CNNT_ADDR_S* a, u32 uForce)
{
    if (!a)
        return 0;
    if (!uForce && m_uTick - a->uRecvTick <= ACTIVE_SILENT)
        return 0;
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    u32 uSent = 0;
    for (u32 d = 0; d < QV_SOCK_DRIV_MAX; d++) {
        DRIV_REC_S& r = a->Driv[d];
        if (!(r.uFlags & REC_WORK))
            continue;
        QV_ADDR_S Pxy;
        u32 uWhich = d == QV_SOCK_DRIV_UDP4 ? 0 : d == QV_SOCK_DRIV_UDP6 ? 1 : 2;
        const QV_ADDR_S* lpPxy = SockPeerSelectAddrPxy(uIndex, uWhich, &Pxy) ? &Pxy : nullptr;
        u32 uParam = SockPeerCnntGetDrivParam(uIndex, d, a->Addr);
        u32 uRes = SockCnntSendActiveMsg(p->uHandle, d, a->Addr, &p->AddrMain, lpPxy, uParam);
        // A relay path whose driver was switched off is gone for good.
        if (uRes == 0xFFFFFFFFu && d == QV_SOCK_DRIV_TCP && !DrivEnabled(QV_SOCK_DRIV_TCP)) {
            r.uFlags &= ~REC_WORK;
            r.uCookie = 0;
        }
        uSent = 1;
    }
    a->uSendTick = m_uTick;
    return uSent;
}

void CQVSocketProc::OnActive(u32 uDrivType, const QV_ADDR_S* lpTarget, const QV_ADDR_S* lpProxy)
{
    if (!m_uInit || m_uSide || !lpTarget || uDrivType >= QV_SOCK_DRIV_MAX || !Lock())
        return;
    // Sent on a driver's request to an address it just reached: no peer is named.
    SockCnntSendActiveMsg(0, uDrivType, *lpTarget, nullptr, lpProxy, 1);
    Unlock();
}

// Proxy requests ('D') go to the peer's station proxies.
u32 CQVSocketProc::SockCnntPxyToStations(u32 uIndex, u8* lpRaw, u32 uLen, u32 uNamesTcp)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    QV_ADDR_S To[2];
    u32 uDriv[2];
    u32 n = 0;
    if (qvAddrIPVer(&p->AddrPxy4) == QV_ADDR_VER_IPV4) {
        To[n] = p->AddrPxy4;
        uDriv[n++] = QV_SOCK_DRIV_UDP4;
    }
    if (qvAddrIPVer(&p->AddrPxy6) == QV_ADDR_VER_IPV6) {
        To[n] = p->AddrPxy6;
        uDriv[n++] = QV_SOCK_DRIV_UDP6;
    }
    if (!n)
        return 0;
    if (m_uMainDriv < QV_SOCK_DRIV_MAX) {
        u32 uVer = qvAddrIPVer(&m_AddrMain);
        if (uVer == QV_ADDR_VER_NONE)
            return 0;
        for (u32 i = 0; i < n; i++)
            if (qvAddrIPVer(&To[i]) == uVer)
                uDriv[i] = m_uMainDriv;
    }
    QV_ADDR_S Sta;
    GetCurProxyLocked(Sta);
    u32 uTcp = DrivEnabled(QV_SOCK_DRIV_TCP) && !AddrEmpty(Sta);
    u32 uFlags = 1;
    u32 uOk = 0;
    for (u32 i = 0; i < n; i++) {
        if (SockCnntDrivSend(uDriv[i], 0, To[i], lpRaw, uLen, nullptr, uFlags) != 0xFFFFFFFFu)
            uOk = 1;
        uFlags = 0;
        if (uTcp && !AddrEq(To[i], Sta) &&
            SockCnntDrivSend(QV_SOCK_DRIV_TCP, 0, To[i], lpRaw, uLen, nullptr, uFlags) != 0xFFFFFFFFu)
            uOk = 1;
    }
    if (uOk && uNamesTcp)
        p->uStatus |= QV_PEER_STA_PXYREQ;
    char szAddr[QV_ADDR_STR_SIZE];
    qvLogOut(2, "SocketProc: SockCnntPxySendMsg: AddrDstMain=%s", AddrText(p->AddrMain, szAddr));
    return 1;
}

// [4] of a proxy request: our main address, marked when the relay carries it.
static void WrSenderMain(u8* m, const QV_ADDR_S& Main, u32 uMainDriv)
{
    u16 usFlags = 0;
    if (uMainDriv == QV_SOCK_DRIV_TCP) {
        usFlags = CCA_TCP;
        m[2] |= CCF_RELAYED;
    }
    WrAddr(m, REC0, Main, usFlags);
}

u32 CQVSocketProc::SockCnntPxySendMsg(u32 uIndex, u32 uType, u32 uFlags)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    CC_MSG_S M;
    M.Init('D');
    u8* m = M.Msg();
    if (uFlags & PXY_RELAY)
        m[2] |= CCF_RELAY_ON;
    if (uFlags & PXY_NO_TRY)
        m[2] |= CCF_NO_TRY;
    WrSenderMain(m, m_AddrMain, m_uMainDriv);
    WrAddr(m, REC2, p->AddrMain, 0);
    QV_ADDR_S Pub;
    SockCnntMainPubAddr(&Pub);
    u32 uNamesTcp = 0;
    u32 uCount = 0;
    // The peer's cursor walks our addresses, so that more than twelve take turns.
    while (uCount < CC_TAIL_MAX) {
        DRIV_ADDR_S* d = SockPeerDrivAddrEnum(uIndex);
        if (!d)
            break;
        if (uType < QV_SOCK_DRIV_NONE && d->uDrivType != uType)
            continue;
        if (AddrEq(d->Addr, m_AddrMain))
            continue;
        u16 usFlags = 0;
        if (d->uDrivType == QV_SOCK_DRIV_TCP) {
            if (p->uDrivSel == 1 || !(p->uStatus & QV_PEER_STA_RELAY))
                continue;
            m[2] |= CCF_RELAYED;
            usFlags = CCA_TCP;
            uNamesTcp = 1;
        } else if (!AddrEmpty(Pub) && AddrEq(d->Addr, Pub)) {
            usFlags = CCA_PUB;
        }
        WrAddr(m, CC_LEN + REC_SIZE * uCount, d->Addr, usFlags);
        uCount++;
    }
    return SockCnntPxyToStations(uIndex, M.Raw, CC_LEN_FULL, uNamesTcp);
}

u32 CQVSocketProc::SockCnntPxySend(u32 uIndex, u32 uType, u32 uFlags)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    if ((p->uStatus & QV_PEER_STA_DIRECT) && (p->uStatus & QV_PEER_STA_RELAYED))
        return 0;
    if (!(p->uStatus & (QV_PEER_STA_DIRECT | QV_PEER_STA_RELAYED)) && m_uTick - p->uTryTick > PXY_RELAY_AFTER)
        uFlags |= PXY_RELAY;
    return SockCnntPxySendMsg(uIndex, uType, uFlags);
}

u32 CQVSocketProc::SockCnntPxyShortSendMsg(u32 uIndex, const DRIV_ADDR_S* d, u32 uFlags)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    CC_MSG_S M;
    M.Init('D');
    u8* m = M.Msg();
    if (uFlags & PXY_RELAY) {
        m[2] |= CCF_RELAY_ON;
        m[3] = DrivTypeToRelayAddrType(d->uDrivType, d->Addr);
    }
    if (uFlags & PXY_NO_TRY)
        m[2] |= CCF_NO_TRY;
    WrSenderMain(m, m_AddrMain, m_uMainDriv);
    u32 uTcp = d->uDrivType == QV_SOCK_DRIV_TCP;
    if (!AddrEq(d->Addr, m_AddrMain)) {
        WrAddr(m, REC1, d->Addr, uTcp ? CCA_TCP : 0);
        m[2] |= CCF_REC1;
        if (uTcp)
            m[2] |= CCF_RELAYED;
    }
    WrAddr(m, REC2, p->AddrMain, 0);
    return SockCnntPxyToStations(uIndex, M.Raw, CC_LEN, uTcp);
}

u32 CQVSocketProc::SockCnntPxyShortSend(u32 uIndex, u32 uType, u32 uFlags)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    if (!(p->uStatus & (QV_PEER_STA_DIRECT | QV_PEER_STA_RELAYED)) && m_uTick - p->uTryTick > PXY_RELAY_AFTER)
        uFlags |= PXY_RELAY;
    u32 uSent = 0;
    DRIV_ADDR_S* d = m_DrivAddr.Head();
    while (d) {
        DRIV_ADDR_S* n = m_DrivAddr.Next(d);
        bool bUse = uType >= QV_SOCK_DRIV_NONE || d->uDrivType == uType;
        if (bUse && (uFlags & PXY_PUB_ONLY) && !qvAddrIsPublic(&d->Addr))
            bUse = false;
        if (bUse) {
            switch (d->uDrivType) {
            case QV_SOCK_DRIV_UDP4:
                bUse = !(p->uStatus & QV_PEER_STA_UDP4);
                break;
            case QV_SOCK_DRIV_UDP6:
                bUse = !(p->uStatus & QV_PEER_STA_UDP6);
                break;
            case QV_SOCK_DRIV_TCP:
                bUse = p->uDrivSel != 1 && (p->uStatus & QV_PEER_STA_RELAY) && !(p->uStatus & QV_PEER_STA_TCPWORK) &&
                       !(uFlags & PXY_NO_TCP);
                break;
            default:
                bUse = false;
                break;
            }
        }
        if (bUse)
            uSent |= SockCnntPxyShortSendMsg(uIndex, d, uFlags);
        d = n;
    }
    return uSent;
}

// Deletes ('J').

u32 CQVSocketProc::SockCnntDeleteSendMsg(u32 uIndex, u32 uDrivType, CNNT_ADDR_S* a, const QV_ADDR_S& Deleted)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    CC_MSG_S M;
    M.Init('J');
    u8* m = M.Msg();
    m[2] = CCF_REC1;
    WrAddr(m, REC0, m_AddrMain, 0);
    WrAddr(m, REC1, Deleted, 0);
    WrAddr(m, REC2, p->AddrMain, 0);
    QV_ADDR_S Pxy;
    u32 uWhich = uDrivType == QV_SOCK_DRIV_UDP4 ? 0 : uDrivType == QV_SOCK_DRIV_UDP6 ? 1 : 2;
    const QV_ADDR_S* lpPxy = SockPeerSelectAddrPxy(uIndex, uWhich, &Pxy) ? &Pxy : nullptr;
    SockCnntDrivSend(uDrivType, p->uHandle, a->Addr, M.Raw, CC_LEN, lpPxy,
                     SockPeerCnntGetDrivParam(uIndex, uDrivType, a->Addr));
    return 1;
}

u32 CQVSocketProc::SockCnntDeleteSend(u32 uIndex, CNNT_ADDR_S* a, u32 uDrivType)
{
    if (!a)
        return 0;
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    u32 uSent = 0;
    for (u32 d = 0; d < QV_SOCK_DRIV_MAX; d++) {
        if (uDrivType < QV_SOCK_DRIV_MAX && d != uDrivType)
            continue;
        const DRIV_REC_S& r = a->Driv[d];
        if (!(r.uFlags & (REC_WORK | REC_FILLED)) || !r.uCookie)
            continue;
        DRIV_ADDR_S* lpDriv = SockDrivAddrSearchByCookie(r.uCookie);
        if (!lpDriv)
            continue;
        // Still in use on another path of this peer that was heard from lately: keep it.
        bool bInUse = false;
        for (CNNT_ADDR_S* b = p->Addrs.Head(); b && !bInUse; b = ADDR_LIST::Next(b))
            if (b != a && b->Driv[d].uCookie == r.uCookie &&
                (b->Driv[d].uFlags & (REC_WORK | REC_FILLED)) == (REC_WORK | REC_FILLED) &&
                m_uTick - b->uRecvTick <= DEL_KEEP_HEARD)
                bInUse = true;
        if (bInUse)
            continue;
        QV_ADDR_S Deleted = lpDriv->Addr;
        SockCnntDeleteSendMsg(uIndex, d, a, Deleted);
        SockCnntDeleteSendMsg(uIndex, d, a, Deleted);
        uSent = 1;
    }
    return uSent;
}

u32 CQVSocketProc::SockCnntDeleteSendDrivAddrDel(u32 uIndex, CNNT_ADDR_S* a, u32 uDrivType)
{
    if (uDrivType != QV_SOCK_DRIV_TCP || !a)
        return 0;
    u32 uSent = 0;
    TCP_DEL_S** pp = &m_lpTcpDelHead;
    while (*pp) {
        TCP_DEL_S* e = *pp;
        if (m_uTick - e->uTick >= DEL_ANNOUNCE_AGE) {
            *pp = e->lpNext;
            delete e;
            continue;
        }
        SockCnntDeleteSendMsg(uIndex, QV_SOCK_DRIV_TCP, a, e->Addr);
        SockCnntDeleteSendMsg(uIndex, QV_SOCK_DRIV_TCP, a, e->Addr);
        uSent = 1;
        pp = &e->lpNext;
    }
    return uSent;
}

// Server mode: a proxy request or reply passed on toward its target, on the driver of the
// target's IP version when that driver is on, else on the one it came by.
u32 CQVSocketProc::SockCnntForward(u32 uDrivType, const QV_ADDR_S& To, u8* lpRaw, u32 uLen)
{
    u32 uVer = qvAddrIPVer(&To);
    u32 uDriv = uDrivType;
    if (uVer == QV_ADDR_VER_IPV4 && DrivEnabled(QV_SOCK_DRIV_UDP4))
        uDriv = QV_SOCK_DRIV_UDP4;
    else if (uVer == QV_ADDR_VER_IPV6 && DrivEnabled(QV_SOCK_DRIV_UDP6))
        uDriv = QV_SOCK_DRIV_UDP6;
    u32 uRes = SockCnntDrivSend(uDriv, 0, To, lpRaw, uLen, nullptr, 1);
    if (uRes != 0xFFFFFFFFu && m_uFwdBudget)
        m_uInteract += uRes;
    return uRes;
}

// Receiving.

void CQVSocketProc::SockConnectReceive(u32 uDrivType, const QV_ADDR_S& Source, const QV_BUF_S& Buf)
{
    if (!Buf.buf || uDrivType >= QV_SOCK_DRIV_MAX || Buf.uOffset > Buf.uSize || Buf.uLen > Buf.uSize - Buf.uOffset)
        return;
    const u8* m = Buf.buf + Buf.uOffset;
    u32 uLen = Buf.uLen;
    if (uLen < CC_LEN)
        return;
    u8 uLetter = m[1];
    if (uLetter < 'A' || uLetter > 'Q')
        return;
    // Proxy requests and replies are 84 bytes (short) or 324 (full). Anything between
    // would be a full message whose tail runs past the datagram.
    if (uLetter >= 'D' && uLetter <= 'G' && uLen > CC_LEN && uLen < CC_LEN_FULL)
        return;
    if ((uLetter == 'P' || uLetter == 'Q') && uLen < CC_LEN_PROBE)
        return;
    // The address flags of an envelope's sender say nothing about the path.
    QV_ADDR_S Src = Plain(Source);
    switch (uLetter) {
    case 'D':
    case 'F':
    case 'H':
        if (!m_uSide)
            return;
        break;
    case 'A':
    case 'B':
    case 'C':
    case 'E':
    case 'G':
    case 'I':
    case 'J':
    case 'P':
    case 'Q':
        if (m_uSide)
            return;
        break;
    default:
        // 'K' to 'O' carry nothing.
        return;
    }
    switch (uLetter) {
    case 'A': SockCnntTryingRecv(uDrivType, Src, m); break;
    case 'B': SockCnntRequest(uDrivType, Src, m, uLen); break;
    case 'C': SockCnntReply(uDrivType, Src, m, uLen); break;
    case 'D': SockCnntPxyRequest(uDrivType, Src, m, uLen); break;
    case 'E': SockCnntPxyRequestDown(uDrivType, Src, m, uLen); break;
    case 'F': SockCnntPxyReply(uDrivType, Src, m, uLen); break;
    case 'G': SockCnntReplyDown(uDrivType, Src, m, uLen); break;
    case 'H': SockCnntMainRequest(uDrivType, Src, m, uLen); break;
    case 'I': {
        QV_BUF_S In = Buf;
        SockCnntMainReply(uDrivType, Src, In);
        break;
    }
    case 'J': SockCnntDeleteRecv(m); break;
    case 'P': SockCnntActiveRecv(uDrivType, Src, m); break;
    case 'Q': SockCnntActiveReplyRecv(uDrivType, Src, m); break;
    default: break;
    }
}

void CQVSocketProc::SockCnntTryingRecv(u32 uDrivType, const QV_ADDR_S& Source, const u8* m)
{
    u32 uIndex = SockPeerSearch(Plain(RdAddr(m, REC2)));
    if (uIndex == QV_SOCKPROC_PEER_NONE)
        return;
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    if (!IsValidDrivType(p->uDrivSel, uDrivType, m[2] & CCF_TCP))
        return;
    if (uDrivType == QV_SOCK_DRIV_TCP)
        p->uStatus |= QV_PEER_STA_TCP;
    CNNT_ADDR_S* a = SockPeerCnntAddrSearch(uIndex, Source);
    if (!a)
        a = SockPeerCnntAddrAdd(uIndex, Source);
    if (!a)
        return;
    a->uRecvTick = m_uTick;
    QV_ADDR_S Local;
    memset(&Local, 0, sizeof(Local));
    if (m[2] & CCF_REC1)
        Local = Plain(RdAddr(m, REC1));
    if (CnntAddrDrivTypeSet(uIndex, a, uDrivType, &Local, m[2] & CCF_TCP)) {
        SockPeerCnntAddrSort(uIndex, a, 1);
        SockCnntSendSingle(uIndex, a);
    }
}

void CQVSocketProc::SockCnntRequest(u32 uDrivType, const QV_ADDR_S& Source, const u8* m, u32 uLen)
{
    (void)uLen;
    QV_ADDR_S SrcMain = Plain(RdAddr(m, REC0));
    QV_ADDR_S Tunnel;
    memset(&Tunnel, 0, sizeof(Tunnel));
    if (m[2] & CCF_REC3)
        Tunnel = Plain(RdAddr(m, REC3));
    char szMain[QV_ADDR_STR_SIZE], szAddr[QV_ADDR_STR_SIZE];
    qvLogOut(1, "SocketProc: SockCnntRequest: uDrivType=%u, szAddrSrcMain=%s, szAddr=%s", uDrivType,
             AddrText(SrcMain, szMain), AddrText(Source, szAddr));
    u32 uIndex = SockPeerSearch(SrcMain);
    if (uIndex != QV_SOCKPROC_PEER_NONE && !IsValidDrivType(m_lpPeer[uIndex].uDrivSel, uDrivType, m[2] & CCF_RELAYED))
        return;

    // The reply goes at once, the way the request came.
    CC_MSG_S M;
    M.Init('C');
    u8* r = M.Msg();
    memcpy(r + REC0, m + REC0, REC_SIZE);
    WrAddr(r, REC1, Source, 0);
    if (!AddrEq(Source, SrcMain))
        r[2] |= CCF_REC1;
    WrAddr(r, REC2, m_AddrMain, 0);
    if (m[2] & CCF_REC3) {
        memcpy(r + REC3, m + REC3, REC_SIZE);
        r[2] |= CCF_REC3;
    }
    if (uDrivType == QV_SOCK_DRIV_TCP)
        r[2] |= CCF_TCP;
    u32 uParam = uIndex != QV_SOCKPROC_PEER_NONE ? SockPeerCnntGetDrivParam(uIndex, uDrivType, Source)
                                                 : SockCnntDrivParamMain(SrcMain, Source);
    SockCnntDrivSend(uDrivType, uIndex != QV_SOCKPROC_PEER_NONE ? m_lpPeer[uIndex].uHandle : 0, Source, M.Raw, CC_LEN,
                     nullptr, (m[2] & CCF_RELAYED) | uParam);

    if (uIndex == QV_SOCKPROC_PEER_NONE) {
        CnntBacklogPush(SrcMain, Source, uDrivType, Tunnel,
                        ((m[2] & CCF_RELAY_ON) ? 0x2 : 0) | (m[2] & CCF_RELAYED ? 0x1 : 0));
        return;
    }
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    if (uDrivType == QV_SOCK_DRIV_TCP)
        p->uStatus |= QV_PEER_STA_TCP;
    CNNT_ADDR_S* a = SockPeerCnntAddrSearch(uIndex, Source);
    if (!a)
        a = SockPeerCnntAddrAdd(uIndex, Source);
    if (!a)
        return;
    a->uRecvTick = m_uTick;
    SockPeerCnntAddrMaskSet(a, 0x2, m[2] & CCF_RELAY_ON);
    DRIV_REC_S Before[QV_SOCK_DRIV_MAX];
    memcpy(Before, a->Driv, sizeof(Before));
    CnntAddrDrivTypeSet(uIndex, a, uDrivType, &Tunnel, m[2] & CCF_RELAYED);
    SockPeerCnntAddrSort(uIndex, a, 1);
    // Whether the path ends at our main address is known from the replies (their record of
    // our side); a request without a tunnel record says nothing about it. Counted as a change,
    // the bit that each request clears and each reply sets again made every request answer
    // with a request of its own, and two peers connecting kept requesting each other without
    // pause.
    const u32 uIgnore = (m[2] & CCF_REC3) ? 0 : REC_OWNMAIN;
    u32 uChanged = 0;
    for (u32 d = 0; d < QV_SOCK_DRIV_MAX; d++)
        if (((Before[d].uFlags ^ a->Driv[d].uFlags) & ~uIgnore) || Before[d].uCookie != a->Driv[d].uCookie)
            uChanged = 1;
    if (CnntAddrDrivStaGet(a)) {
        a->uSendTick = m_uTick;
    } else if (!m_Cnnt.Contains(p)) {
        SockCnntSendSingle(uIndex, a);
        return;
    }
    if (uChanged)
        SockCnntSendSingle(uIndex, a);
}

void CQVSocketProc::SockCnntReply(u32 uDrivType, const QV_ADDR_S& Source, const u8* m, u32 uLen)
{
    (void)uLen;
    QV_ADDR_S DstMain = Plain(RdAddr(m, REC2));
    QV_ADDR_S SrcTunnel = Plain(RdAddr(m, REC1));
    QV_ADDR_S DstTunnel;
    memset(&DstTunnel, 0, sizeof(DstTunnel));
    if (m[2] & CCF_REC3)
        DstTunnel = Plain(RdAddr(m, REC3));
    char sz1[QV_ADDR_STR_SIZE], sz2[QV_ADDR_STR_SIZE], sz3[QV_ADDR_STR_SIZE], sz4[QV_ADDR_STR_SIZE];
    qvLogOut(1, "SocketProc: SockCnntReply. uDrivType=%u, AddrDstMain=%s, AddrSrcTunnel=%s, AddrDstTunnel=%s, szAddr=%s",
             uDrivType, AddrText(DstMain, sz1), AddrText(SrcTunnel, sz2), AddrText(DstTunnel, sz3),
             AddrText(Source, sz4));
    u32 uIndex = SockPeerSearch(DstMain);
    if (uIndex == QV_SOCKPROC_PEER_NONE)
        return;
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    if (!IsValidDrivType(p->uDrivSel, uDrivType, m[2] & CCF_TCP))
        return;
    if (uDrivType == QV_SOCK_DRIV_TCP)
        p->uStatus |= QV_PEER_STA_TCP;
    // Our side of the path as the peer saw it; without 0x02 it is the main address we
    // named in the request.
    QV_ADDR_S Own = (m[2] & CCF_REC1) ? SrcTunnel : Plain(RdAddr(m, REC0));
    QV_ADDR_S Path = Source;
    if (uDrivType == QV_SOCK_DRIV_UDP4 && qvAddrIPVer(&Source) == QV_ADDR_VER_IPV4 && !qvAddrIsPublic(&Source) &&
        qvAddrIsPublic(&m_AddrMain) && !RecZero(DstTunnel) && !AddrEq(DstTunnel, Source))
        Path = DstTunnel;
    auto Refresh = [&](CNNT_ADDR_S* a) {
        a->uRecvTick = m_uTick;
        if (CnntAddrDrivTypeSet(uIndex, a, uDrivType, &Own, m[2] & CCF_TCP)) {
            a->Driv[uDrivType].uFlags |= REC_WORK;
            SockCnntDeleteSendDrivAddrDel(uIndex, a, uDrivType);
        }
        SockPeerCnntAddrSort(uIndex, a, 1);
        SockPeerCnntAddrReport(uIndex, a, 1);
        SockCnntActiveSend(uIndex, a, 1);
        SockCnntActiveSend(uIndex, a, 1);
    };
    if (!RecZero(DstTunnel) && !AddrEq(DstTunnel, Path)) {
        CNNT_ADDR_S* t = SockPeerCnntAddrSearch(uIndex, DstTunnel);
        if (t)
            Refresh(t);
    }
    CNNT_ADDR_S* a = SockPeerCnntAddrSearch(uIndex, Path);
    if (!a)
        a = SockPeerCnntAddrAdd(uIndex, Path);
    if (!a)
        return;
    Refresh(a);
    SockPeerHeardDirect(p);
    SockPeerCheckThrough(uIndex, Path, SockPeerCnntStatusMaskUpdate(uIndex));
    p->uRecvPath = 0;
    p->uSilentTick = 0;
    if (!(p->uStatus & QV_PEER_STA_REPORTED)) {
        p->uStatus |= QV_PEER_STA_REPORTED;
        PostMessage(3, p->uSockID, 1, 0);
    }
    qvLogOut(3, "SocketProc: SockCnntReply: uInd=%u, uDrivType=%u, uStaMask=%u, szAddr=%s", uIndex, uDrivType,
             p->uStatus, AddrText(Path, sz1));
}

void CQVSocketProc::SockCnntPxyRequest(u32 uDrivType, const QV_ADDR_S& Source, const u8* m, u32 uLen)
{
    if (m_uFwdBudget && m_uInteract >= m_uFwdBudget)
        return;
    u32 uFull = uLen >= CC_LEN_FULL;
    u32 uSend = uFull ? CC_LEN_FULL : CC_LEN;
    CC_MSG_S M;
    M.Copy(m, uSend);
    u8* e = M.Msg();
    e[1] = 'E';
    QV_ADDR_S Main = Plain(RdAddr(m, REC0));
    if (!uFull && (m[2] & CCF_REC1)) {
        // The request names the address it was sent from; we keep where it really came from.
        PXY_HOLE_S* h = PxyHoleSearch(Main);
        if (h) {
            h->uTick = m_uTick;
            h->Hole = Plain(Source);
        } else {
            PxyHoleAdd(Main, Plain(Source));
        }
    } else {
        WrAddr(e, REC1, Source, 0);
    }
    SockCnntForward(uDrivType, Plain(RdAddr(m, REC2)), M.Raw, uSend);
}

void CQVSocketProc::SockCnntPxyReply(u32 uDrivType, const QV_ADDR_S& Source, const u8* m, u32 uLen)
{
    (void)Source;
    u32 uFull = uLen >= CC_LEN_FULL;
    u32 uSend = uFull ? CC_LEN_FULL : CC_LEN;
    CC_MSG_S M;
    M.Copy(m, uSend);
    u8* g = M.Msg();
    g[1] = 'G';
    QV_ADDR_S Main = Plain(RdAddr(m, REC0));
    QV_ADDR_S Second;
    memset(&Second, 0, sizeof(Second));
    if (!uFull && (m[2] & CCF_REC1)) {
        PXY_HOLE_S* h = PxyHoleSearch(Main);
        if (h)
            Second = h->Hole;
    } else {
        Second = Plain(RdAddr(m, REC1));
    }
    if (!RecZero(Second) && !AddrEq(Second, Main))
        SockCnntForward(uDrivType, Second, M.Raw, uSend);
    SockCnntForward(uDrivType, Main, M.Raw, uSend);
}

void CQVSocketProc::SockCnntPxyRequestDown(u32 uDrivType, const QV_ADDR_S& Source, const u8* m, u32 uLen)
{
    QV_ADDR_S SrcMain = Plain(RdAddr(m, REC0));
    char szMain[QV_ADDR_STR_SIZE];
    qvLogOut(1, "SocketProc: SockCnntRequestDown: uDrivType=%u, szAddrSrcMain=%s", uDrivType,
             AddrText(SrcMain, szMain));
    if (m_uMainDriv >= QV_SOCK_DRIV_MAX || uDrivType != m_uMainDriv)
        return;
    u32 uIndex = SockPeerSearch(SrcMain);
    u32 uKnown = uIndex != QV_SOCKPROC_PEER_NONE;
    SOCK_PEER_S* p = uKnown ? &m_lpPeer[uIndex] : nullptr;
    u32 uSel = uKnown ? p->uDrivSel : m_uDrivSelDef;
    u32 uTrying = !(m[2] & CCF_NO_TRY);
    u32 uFull = uLen >= CC_LEN_FULL;
    auto RelayOn = [&]() {
        qvLogOut(3, "SocketProc: SockCnntRequestDown: Enable relay by flag");
        if (uSel != 1)
            TcpDrivOn();
    };
    // Our main address as this reply names it.
    auto WrOwnMain = [&](u8* f) {
        u16 usFlags = 0;
        if (m_uMainDriv == QV_SOCK_DRIV_TCP) {
            f[2] |= CCF_TCP;
            usFlags = CCA_TCP;
        }
        WrAddr(f, REC2, m_AddrMain, usFlags);
    };
    auto Keep = [&](const DRIV_ADDR_S* d, const u32* lpVers, u32 uVerCount) {
        if (AddrEq(d->Addr, m_AddrMain))
            return false;
        if (d->uDrivType == QV_SOCK_DRIV_TCP && uSel == 1)
            return false;
        u32 uVer = qvAddrIPVer(&d->Addr);
        for (u32 i = 0; i < uVerCount; i++)
            if (lpVers[i] == uVer)
                return true;
        return false;
    };
    CC_MSG_S M;
    M.Copy(m, uFull ? CC_LEN_FULL : CC_LEN);
    u8* f = M.Msg();
    f[1] = 'F';
    f[2] &= (u8)~(CCF_RELAYED | CCF_RELAY_ON);
    QV_ADDR_S Pub;
    SockCnntMainPubAddr(&Pub);

    if (uFull) {
        if (m[2] & CCF_RELAY_ON)
            RelayOn();
        if (uKnown)
            SockPeerCnntAddrUpdateAndReq(uIndex, SrcMain, uTrying);
        if (uTrying)
            SockCnntTryingSend(uIndex, SrcMain, &SrcMain, 1, 0);
        QV_ADDR_S Tail[CC_TAIL_MAX];
        u32 uTail = 0;
        QV_ADDR_S Flagged;
        memset(&Flagged, 0, sizeof(Flagged));
        u32 uVers[2];
        u32 uVerCount = 0;
        for (u32 i = 0; i < CC_TAIL_MAX; i++) {
            QV_ADDR_S A = RdAddr(m, CC_LEN + REC_SIZE * i);
            if (RecZero(A))
                break;
            if ((A.uExtra & CCA_MAIN) && RecZero(Flagged))
                Flagged = Plain(A);
            u32 uVer = qvAddrIPVer(&A);
            if (uVer != QV_ADDR_VER_NONE && uVerCount < 2 && (uVerCount == 0 || uVers[0] != uVer))
                uVers[uVerCount++] = uVer;
            if (uKnown)
                SockPeerCnntAddrUpdateAndReq(uIndex, A, uTrying);
            Tail[uTail++] = Plain(A);
        }
        if (uTrying && uTail)
            SockCnntTryingSend(uIndex, SrcMain, Tail, uTail, 0);
        WrOwnMain(f);
        for (u32 i = 0; i < CC_TAIL_MAX; i++)
            WrZero(f, CC_LEN + REC_SIZE * i);
        u32 uCount = 0;
        auto List = [&](const DRIV_ADDR_S* d) {
            if (!Keep(d, uVers, uVerCount))
                return;
            u16 usFlags = 0;
            if (d->uDrivType == QV_SOCK_DRIV_TCP) {
                f[2] |= CCF_TCP;
                usFlags = CCA_TCP;
            } else if (!AddrEmpty(Pub) && AddrEq(d->Addr, Pub)) {
                usFlags = CCA_PUB;
            }
            WrAddr(f, CC_LEN + REC_SIZE * uCount, d->Addr, usFlags);
            uCount++;
        };
        if (uKnown) {
            if (!RecZero(Flagged)) {
                p->AddrAlt = Flagged;
                p->uAltDriv = GetAddrDrivType(Flagged);
            }
            SockDrivEnumDelete(SrcMain);
            p->uEnumCookie = 0;
            while (uCount < CC_TAIL_MAX) {
                DRIV_ADDR_S* d = SockPeerDrivAddrEnum(uIndex);
                if (!d)
                    break;
                List(d);
            }
        } else {
            AssistBacklogAdd(SrcMain, Flagged);
            u32 uEnd = 0;
            while (uCount < CC_TAIL_MAX) {
                DRIV_ADDR_S* d = SockDrivEnumGet(SrcMain);
                if (!d) {
                    uEnd = 1;
                    break;
                }
                List(d);
            }
            // A cursor that went round is the same as none: requesters that never become
            // peers must not leave one behind each.
            if (uEnd)
                SockDrivEnumDelete(SrcMain);
        }
        SockCnntDrivSend(uDrivType, 0, Source, M.Raw, CC_LEN_FULL, nullptr, 1);
    } else {
        if (uKnown)
            p->uStatus |= QV_PEER_STA_SHORT;
        if (IsRelayConnect(m[3]) || (m[2] & CCF_RELAY_ON))
            RelayOn();
        QV_ADDR_S Up[2];
        u32 uUp = 0;
        Up[uUp] = SrcMain;
        if (m[2] & CCF_RELAYED)
            Up[uUp].uExtra |= CCA_TCP;
        uUp++;
        if (m[2] & CCF_REC1) {
            Up[uUp] = RdAddr(m, REC1);
            if (m[2] & CCF_RELAYED)
                Up[uUp].uExtra |= CCA_TCP;
            uUp++;
        }
        u32 uVers[2];
        u32 uVerCount = 0;
        for (u32 i = 0; i < uUp; i++) {
            if (uKnown)
                SockPeerCnntAddrUpdateAndReq(uIndex, Up[i], uTrying);
            if (uTrying) {
                QV_ADDR_S T = Plain(Up[i]);
                SockCnntTryingSend(uIndex, SrcMain, &T, 1, 0);
            }
            u32 uVer = qvAddrIPVer(&Up[i]);
            if (uVer != QV_ADDR_VER_NONE && (uVerCount == 0 || uVers[0] != uVer))
                uVers[uVerCount++] = uVer;
        }
        WrOwnMain(f);
        WrZero(f, REC3);
        f[2] &= (u8)~CCF_REC3;
        for (DRIV_ADDR_S* d = m_DrivAddr.Head(); d; d = m_DrivAddr.Next(d)) {
            if (!Keep(d, uVers, uVerCount))
                continue;
            if (d->uDrivType == QV_SOCK_DRIV_TCP) {
                WrAddr(f, REC3, d->Addr, CCA_TCP);
                f[2] |= CCF_REC3 | CCF_TCP;
            } else {
                WrAddr(f, REC3, d->Addr, 0);
                f[2] |= CCF_REC3;
            }
            break;
        }
        SockCnntDrivSend(uDrivType, 0, Source, M.Raw, CC_LEN, nullptr, 1);
    }

    if (uKnown && (p->uStatus & (QV_PEER_STA_DIRECT | QV_PEER_STA_RELAYED)) &&
        m_uTick - p->uRecvTick > CNNT_RECONNECT_SILENT) {
        qvLogOut(3, "SocketProc: SockCnntRequestDown: uDrivType=%u, Reconnect peer", uDrivType);
        p->uStatus &= ~(QV_PEER_STA_SILENT | QV_PEER_STA_MPREQ | QV_PEER_STA_MPON);
        p->uRecvPath = 0;
        p->uMPChangeTick = 0;
        p->uMPOnTick = 0;
        SockPeerCnntAddrClean(uIndex, QV_SOCK_DRIV_NONE);
        SockPeerCnntStatusMaskUpdate(uIndex);
        CnntListAdd(p);
        PostMessage(1, p->uHandle, QV_SOCK_DRIV_NONE, 1);
    }
}

void CQVSocketProc::SockCnntReplyDown(u32 uDrivType, const QV_ADDR_S& Source, const u8* m, u32 uLen)
{
    (void)Source;
    QV_ADDR_S DstMain = RdAddr(m, REC2);
    char szMain[QV_ADDR_STR_SIZE];
    qvLogOut(1, "SocketProc: SockCnntReplyDown: uDrivType=%u, szAddrDstMain=%s", uDrivType, AddrText(DstMain, szMain));
    if (m_uMainDriv >= QV_SOCK_DRIV_MAX) {
        qvLogOut(1, "SocketProc: SockCnntReplyDown: This main drivtype invalid");
        return;
    }
    u32 uIndex = SockPeerSearch(Plain(DstMain));
    if (uIndex == QV_SOCKPROC_PEER_NONE) {
        qvLogOut(1, "SocketProc: SockCnntReplyDown: Search peer no find. DstMain.Port=%u", DstMain.uPort);
        return;
    }
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    if (p->uStatus & QV_PEER_STA_PXYREQ) {
        p->uStatus &= ~QV_PEER_STA_PXYREQ;
        p->uStatus |= QV_PEER_STA_TCP;
    }
    u32 uTrying = !(m[2] & CCF_NO_TRY);
    if (uLen >= CC_LEN_FULL) {
        p->uStatus &= ~QV_PEER_STA_SHORT;
        SockPeerCnntAddrUpdateAndReq(uIndex, DstMain, uTrying);
        QV_ADDR_S Flagged;
        memset(&Flagged, 0, sizeof(Flagged));
        for (u32 i = 0; i < CC_TAIL_MAX; i++) {
            QV_ADDR_S A = RdAddr(m, CC_LEN + REC_SIZE * i);
            if (RecZero(A))
                break;
            if ((A.uExtra & CCA_MAIN) && RecZero(Flagged))
                Flagged = Plain(A);
            SockPeerCnntAddrUpdateAndReq(uIndex, A, uTrying);
        }
        if (!RecZero(Flagged)) {
            p->AddrAlt = Flagged;
            p->uAltDriv = GetAddrDrivType(Flagged);
        }
    } else {
        if (m[2] & CCF_TCP)
            DstMain.uExtra |= CCA_TCP;
        SockPeerCnntAddrUpdateAndReq(uIndex, DstMain, uTrying);
        if (m[2] & CCF_REC3)
            SockPeerCnntAddrUpdateAndReq(uIndex, RdAddr(m, REC3), uTrying);
        if (!(p->uStatus & QV_PEER_STA_SHORT)) {
            p->uStatus |= QV_PEER_STA_SHORT;
            SockCnntPxyShortSend(uIndex, QV_SOCK_DRIV_NONE, 0);
        }
    }
}

void CQVSocketProc::SockCnntMainRequest(u32 uDrivType, const QV_ADDR_S& Source, const u8* m, u32 uLen)
{
    if (m_uMainSpeed && ++m_uMainReplies > m_uMainSpeed)
        return;
    u32 uRedir = uLen >= CC_LEN_MAIN;
    const char* lpszName = nullptr;
    if (uRedir) {
        const char* lpszAt = (const char*)(m + CC_LEN);
        // A name without its terminator within its field is not read past the field.
        if (!memchr(lpszAt, 0, CC_NAME_MAX))
            return;
        lpszName = lpszAt;
    }
    CC_MSG_S M;
    M.Copy(m, CC_LEN);
    u8* r = M.Msg();
    r[1] = 'I';
    r[2] |= CCF_REC1;
    WrAddr(r, REC1, Source, 0);
    if (uRedir && m_uAssemCount && lpszName[0]) {
        const QV_ADDR_PAIR_S& Pair = m_Assem[StrHashCode(lpszName) & 63];
        WrAddr(r, CC_LEN, Pair.Addr4, 0);
        WrAddr(r, CC_LEN + REC_SIZE, Pair.Addr6, 0);
    }
    SockCnntDrivSend(uDrivType, 0, Source, M.Raw, uRedir ? CC_LEN_MAIN_REDIR : CC_LEN, nullptr, 1);
}

void CQVSocketProc::SockCnntDeleteRecv(const u8* m)
{
    u32 uIndex = SockPeerSearch(Plain(RdAddr(m, REC0)));
    if (uIndex == QV_SOCKPROC_PEER_NONE)
        return;
    CNNT_ADDR_S* a = SockPeerCnntAddrSearch(uIndex, Plain(RdAddr(m, REC1)));
    if (!a)
        return;
    SockPeerCnntAddrDelete(uIndex, a);
    SockPeerCnntStatusMaskUpdate(uIndex);
}

void CQVSocketProc::SockCnntActiveRecv(u32 uDrivType, const QV_ADDR_S& Source, const u8* m)
{
    u32 uIndex = SockPeerSearch(Plain(RdAddr(m, REC0)));
    if (uIndex == QV_SOCKPROC_PEER_NONE)
        return;
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    p->uStatus |= QV_PEER_STA_PROBE;
    CNNT_ADDR_S* lpRequest = nullptr;
    CNNT_ADDR_S* a = SockPeerCnntAddrSearch(uIndex, Source);
    if (a) {
        a->uRecvTick = m_uTick;
        a->Driv[uDrivType].uTick = m_uTick;
        SockPeerCnntAddrSort(uIndex, a, 1);
        if (CnntAddrDrivStaGet(a))
            a->uSendTick = m_uTick;
        else if (!m_Cnnt.Contains(p))
            lpRequest = a;
    }
    CC_MSG_S M;
    M.Init('Q');
    u8* q = M.Msg();
    memcpy(q + REC0, m + REC0, REC_SIZE);
    WrAddr(q, REC2, m_AddrMain, 0);
    SockCnntDrivSend(uDrivType, p->uHandle, Source, M.Raw, CC_LEN_PROBE, nullptr, m[2] & CCF_RELAYED);
    if (lpRequest)
        SockCnntSendSingle(uIndex, lpRequest);
}

void CQVSocketProc::SockCnntActiveReplyRecv(u32 uDrivType, const QV_ADDR_S& Source, const u8* m)
{
    u32 uIndex = SockPeerSearch(Plain(RdAddr(m, REC2)));
    if (uIndex == QV_SOCKPROC_PEER_NONE)
        return;
    m_lpPeer[uIndex].uStatus |= QV_PEER_STA_PROBE;
    CNNT_ADDR_S* a = SockPeerCnntAddrSearch(uIndex, Source);
    if (!a)
        return;
    a->uRecvTick = m_uTick;
    a->Driv[uDrivType].uTick = m_uTick;
    SockPeerCnntAddrSort(uIndex, a, 1);
}

// Both backlogs are lists in arrival order; these helpers keep the list logic in one place
// for either entry type.

template <typename T>
static void BacklogUnlink(CQVList<T>& L, T* e)
{
    L.Remove(e);
    delete e;
}

// Drops the entries older than uAge ticks and returns the first live one that lpfnMatch
// accepts. With uWhole the walk goes on to the end of the list (and ages it all); without,
// it stops at the match.
template <typename T, typename M>
static T* BacklogWalk(CQVList<T>& L, u32 uTick, u32 uAge, u32 uWhole, M lpfnMatch)
{
    T* lpFound = nullptr;
    T* e = L.Head();
    while (e) {
        T* n = L.Next(e);
        if (uTick - e->uTick > uAge) {
            BacklogUnlink(L, e);
        } else if (!lpFound && lpfnMatch(e)) {
            lpFound = e;
            if (!uWhole)
                break;
        }
        e = n;
    }
    return lpFound;
}

// A zeroed entry appended at the tail; when the list is full the oldest makes room.
template <typename T>
static T* BacklogAppend(CQVList<T>& L, u32 uMax)
{
    if (L.Count() >= uMax)
        BacklogUnlink(L, L.Head());
    T* e = new (std::nothrow) T;
    if (!e)
        return nullptr;
    memset(static_cast<void*>(e), 0, sizeof(*e));
    L.PushTail(e);
    return e;
}

// Connect backlog: requests of peers the socket layer has not added yet.

void CQVSocketProc::CnntBacklogUnlink(CNNT_BACKLOG_S* e)
{
    BacklogUnlink(m_Backlog, e);
}

void CQVSocketProc::CnntBacklogPush(const QV_ADDR_S& Main, const QV_ADDR_S& Source, u32 uDrivType,
                                   const QV_ADDR_S& Tunnel, u32 uFlags)
{
    if (uDrivType >= QV_SOCK_DRIV_MAX)
        return;
    CNNT_BACKLOG_S* lpFound =
        BacklogWalk(m_Backlog, m_uTick, CNNT_BACKLOG_AGE, 1,
                    [&](const CNNT_BACKLOG_S* e) { return AddrEq(e->Main, Main) && AddrEq(e->Source, Source); });
    if (!lpFound) {
        lpFound = BacklogAppend(m_Backlog, CNNT_BACKLOG_MAX);
        if (!lpFound)
            return;
        lpFound->Main = Plain(Main);
        lpFound->Source = Plain(Source);
    }
    if (uFlags & 0x2)
        lpFound->uFlags |= 0x2;
    CNNT_BACKLOG_TUNNEL_S& t = lpFound->Tunnel[uDrivType];
    t.uFlags = 0x1 | ((uFlags & 0x1) ? REC_RELAYED : 0);
    t.Addr = Plain(Tunnel);
    lpFound->uTick = m_uTick;
}

u32 CQVSocketProc::CnntBacklogPop(const QV_ADDR_S& Main, QV_ADDR_S* lpSource, u32* lpuFlags, QV_ADDR_S* lpTunnels,
                                  u32* lpuTunnelFlags)
{
    CNNT_BACKLOG_S* e = BacklogWalk(m_Backlog, m_uTick, CNNT_BACKLOG_AGE, 0,
                                    [&](const CNNT_BACKLOG_S* x) { return AddrEq(x->Main, Main); });
    if (!e)
        return 0;
    if (lpSource)
        *lpSource = e->Source;
    if (lpuFlags)
        *lpuFlags = e->uFlags;
    for (u32 d = 0; d < QV_SOCK_DRIV_MAX; d++) {
        if (lpTunnels)
            lpTunnels[d] = e->Tunnel[d].Addr;
        if (lpuTunnelFlags)
            lpuTunnelFlags[d] = e->Tunnel[d].uFlags;
    }
    CnntBacklogUnlink(e);
    return 1;
}

void CQVSocketProc::CnntBacklogClean()
{
    while (CNNT_BACKLOG_S* e = m_Backlog.Head())
        CnntBacklogUnlink(e);
}

// Assist backlog: the main address of the other IP version that an unknown requester
// named, kept for when the socket layer adds it.

void CQVSocketProc::AssistBacklogUnlink(ASSIST_BACKLOG_S* e)
{
    BacklogUnlink(m_Assist, e);
}

void CQVSocketProc::AssistBacklogAdd(const QV_ADDR_S& Main, const QV_ADDR_S& Flagged)
{
    ASSIST_BACKLOG_S* lpFound =
        BacklogWalk(m_Assist, m_uTick, ASSIST_BACKLOG_AGE, 1,
                    [&](const ASSIST_BACKLOG_S* e) { return AddrEq(e->Main, Main) && AddrEq(e->Flagged, Flagged); });
    if (!lpFound) {
        lpFound = BacklogAppend(m_Assist, ASSIST_BACKLOG_MAX);
        if (!lpFound)
            return;
        lpFound->Main = Plain(Main);
        lpFound->Flagged = Plain(Flagged);
    }
    lpFound->uTick = m_uTick;
}

u32 CQVSocketProc::AssistBacklogGet(const QV_ADDR_S& Main, QV_ADDR_S* lpFlagged)
{
    ASSIST_BACKLOG_S* e = BacklogWalk(m_Assist, m_uTick, ASSIST_BACKLOG_AGE,
                                      0, [&](const ASSIST_BACKLOG_S* x) { return AddrEq(x->Main, Main); });
    if (!e)
        return 0;
    if (lpFlagged)
        *lpFlagged = e->Flagged;
    return 1;
}

void CQVSocketProc::AssistBacklogTimer()
{
    BacklogWalk(m_Assist, m_uTick, ASSIST_BACKLOG_AGE, 1,
                [](const ASSIST_BACKLOG_S*) { return false; });
}

void CQVSocketProc::AssistBacklogClean()
{
    while (ASSIST_BACKLOG_S* e = m_Assist.Head())
        AssistBacklogUnlink(e);
}

// Proxy holes (server mode): where a client that asked for relaying really sends from.

static u32 PxyHoleHash(const QV_ADDR_S& A)
{
    return A.uAddr[0] + A.uAddr[1] + A.uAddr[2] + A.uAddr[3] + A.uPort;
}

u32 CQVSocketProc::PxyHoleInit()
{
    if (!m_uSide)
        return 1;
    if (m_HoleHash.m_pBucket)
        return 1;
    return m_HoleHash.Init(PXY_HOLE_BUCKETS);
}

CQVSocketProc::PXY_HOLE_S* CQVSocketProc::PxyHoleSearch(const QV_ADDR_S& Key)
{
    if (!m_HoleHash.m_pBucket)
        return nullptr;
    return m_HoleHash.Find<PXY_HOLE_S>(PxyHoleHash(Key), [&](PXY_HOLE_S* h) { return AddrEq(h->Key, Key); });
}

CQVSocketProc::PXY_HOLE_S* CQVSocketProc::PxyHoleAdd(const QV_ADDR_S& Key, const QV_ADDR_S& Hole)
{
    if (!m_HoleHash.m_pBucket)
        return nullptr;
    if (m_Holes.Count() >= PXY_HOLE_MAX)
        PxyHoleDelete(m_Holes.Head());
    PXY_HOLE_S* h = new (std::nothrow) PXY_HOLE_S;
    if (!h)
        return nullptr;
    h->uTick = m_uTick;
    h->Key = Plain(Key);
    h->Hole = Plain(Hole);
    if (!m_HoleHash.Add(&h->Hash, h, PxyHoleHash(h->Key))) {
        delete h;
        return nullptr;
    }
    m_Holes.PushTail(h);
    return h;
}

void CQVSocketProc::PxyHoleDelete(PXY_HOLE_S* h)
{
    if (!h)
        return;
    if (m_lpHoleCursor == h)
        m_lpHoleCursor = m_Holes.Next(h);
    m_HoleHash.Remove(&h->Hash);
    m_Holes.Remove(h);
    delete h;
}

void CQVSocketProc::PxyHoleTimer()
{
    PXY_HOLE_S* h = m_lpHoleCursor ? m_lpHoleCursor : m_Holes.Head();
    for (u32 i = 0; h && i < PXY_HOLE_SWEEP; i++) {
        PXY_HOLE_S* n = m_Holes.Next(h);
        if (m_uTick - h->uTick > PXY_HOLE_AGE)
            PxyHoleDelete(h);
        h = n;
    }
    m_lpHoleCursor = h;
}

void CQVSocketProc::PxyHoleClean()
{
    while (PXY_HOLE_S* h = m_Holes.Head())
        PxyHoleDelete(h);
    m_lpHoleCursor = nullptr;
    m_HoleHash.Clean();
}
