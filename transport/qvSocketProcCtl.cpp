// Socket process: the main station. A client asks the stations of its list (at most eight,
// or the redirect pair a station named) for its main address with 'H' requests; the first
// station whose 'I' reply is accepted becomes the main station, its driver the main driver,
// and only once the station's own peer record has a path are other peers connected.
// Everything here runs with the process mutex held.
#include <stdlib.h>
#include <string.h>

#include "qvLog.h"
#include "qvSockAddrUti.h"
#include "qvSocketProc.h"

static bool SameIP(const QV_ADDR_S& A, const QV_ADDR_S& B)
{
    return !memcmp(A.uAddr, B.uAddr, sizeof(A.uAddr));
}

// Head room in front of a message for the drivers' own headers.
static const u32 MAIN_HEAD = 64;
// 'H': header, four address records, the 128-byte peer name at 84.
static const u32 MAIN_REQ_LEN = 212;
static const u32 MAIN_NAME_AT = 84;
// 'I' with the redirect stations: IPv4 at 84, IPv6 at 104.
static const u32 MAIN_REPLY_REDIR_LEN = 124;
static const u32 MAIN_REDIR4_AT = 84;
static const u32 MAIN_REDIR6_AT = 104;
static const u32 MAIN_PUB_AT = 24;
// The back-off between 'H' rounds while no station answers doubles up to this, ticks.
static const u32 MAIN_BACKOFF_MAX = 300;
// The relayed retry interval of the station's peer doubles up to this, ticks.
static const u32 MAIN_RELAY_INTV_MAX = 180;
// A station that has not answered for this many ticks while its driver has been on as long
// gets its driver dropped and enabled anew (a new socket, a new NAT mapping).
static const u32 MAIN_SILENT_DROP = 299;
// After this many ticks without an answer the 'H' also goes over the TCP relay.
static const u32 MAIN_RELAY_AFTER = 5;
// A TCP relay answer this soon after a UDP one does not replace the UDP main driver.
static const u32 MAIN_TCP_REJECT = 2;

// A record: IP as stored, port and address flags big-endian.
static QV_ADDR_S RdAddr(const u8* lpMsg, u32 uAt)
{
    QV_ADDR_S A;
    const u8* p = lpMsg + uAt;
    memcpy(A.uAddr, p, 16);
    A.uPort = (u16)((p[16] << 8) | p[17]);
    A.uExtra = (u16)((p[18] << 8) | p[19]);
    return A;
}

static void WrAddr(u8* lpMsg, u32 uAt, const QV_ADDR_S& A)
{
    u8* p = lpMsg + uAt;
    memcpy(p, A.uAddr, 16);
    p[16] = (u8)(A.uPort >> 8);
    p[17] = (u8)A.uPort;
    p[18] = 0;
    p[19] = 0;
}

// Station list and current station.

// The station list in use: the redirect pair while a station redirected us, else the
// proxy list.
CQVSocketProc::ADDR_STA_S* CQVSocketProc::ThisStaPxyListGet(u32* lpuCount)
{
    *lpuCount = m_uRedirect ? 2 : m_uPxyCount;
    return m_uRedirect ? m_Redirect : m_Pxy;
}

u32 CQVSocketProc::ThisStaIsStation(const QV_ADDR_S& Addr)
{
    u32 uCount;
    const ADDR_STA_S* lpList = ThisStaPxyListGet(&uCount);
    for (u32 i = 0; i < uCount; i++)
        if (!AddrEmpty(lpList[i].Addr) && AddrEq(lpList[i].Addr, Addr))
            return i == m_uStaIndex ? 2 : 1;
    return 0;
}

// The record of the station in use (of the redirect pair or the proxy list), or nullptr.
const CQVSocketProc::ADDR_STA_S* CQVSocketProc::ThisStaCur() const
{
    const ADDR_STA_S* lpList = m_uRedirect ? m_Redirect : m_Pxy;
    u32 uCount = m_uRedirect ? 2 : m_uPxyCount;
    return m_uStaIndex < uCount ? &lpList[m_uStaIndex] : nullptr;
}

u32 CQVSocketProc::ThisStaMainValid()
{
    return ThisStaCur() && !AddrEmpty(m_AddrMain);
}

void CQVSocketProc::GetCurProxyLocked(QV_ADDR_S& Addr)
{
    const ADDR_STA_S* lpSta = ThisStaCur();
    if (lpSta)
        Addr = lpSta->Addr;
    else
        memset(&Addr, 0, sizeof(Addr));
}

u32 CQVSocketProc::ThisStaMainPeer()
{
    QV_ADDR_S Sta;
    GetCurProxyLocked(Sta);
    if (AddrEmpty(Sta))
        return QV_SOCKPROC_PEER_NONE;
    return SockPeerSearch(Sta);
}

void CQVSocketProc::ThisStaMainReset(u32 uConvert)
{
    SockConnectReset(QV_SOCK_DRIV_NONE);
    if (!AddrEmpty(m_AddrMain) && m_uMainDriv < QV_SOCK_DRIV_MAX) {
        char szAddr[QV_ADDR_STR_SIZE];
        if (!qvAddrToReadable(&m_AddrMain, szAddr, sizeof(szAddr)))
            szAddr[0] = 0;
        qvLogOut(1, "SocketProc: ThisStaMainReset: uDrivType=%u, szAddr=%s", m_uMainDriv, szAddr);
    }
    memset(&m_AddrMain, 0, sizeof(m_AddrMain));
    m_uMainDriv = QV_SOCK_DRIV_NONE;
    m_uStaIndex = 0xFFFF;
    m_uMainSetTick = m_uMainRetryTick = m_uMainBackoff = 0;
    u32 uZero = 0;
    m_DrivUDP4.SetParam(10, &uZero, 4);
    m_DrivUDP6.SetParam(10, &uZero, 4);
    m_DrivTCP.SetParam(10, &uZero, 4);
    for (u32 i = 0; i < m_uPxyCount; i++) {
        m_Pxy[i].uSendTick = m_Pxy[i].uAnswerTick = 0;
        if (uConvert && m_Pxy[i].Nat64.uSet) {
            m_Pxy[i].uDrivType = QV_SOCK_DRIV_UDP6;
            qvSocketAddrNat64Fill(&m_Pxy[i].Nat64, &m_Pxy[i].Addr);
            memset(&m_Pxy[i].Nat64, 0, sizeof(m_Pxy[i].Nat64));
        }
    }
    if (uConvert) {
        memset(m_Redirect, 0, sizeof(m_Redirect));
        m_Redirect[0].uDrivType = m_Redirect[1].uDrivType = QV_SOCK_DRIV_NONE;
        m_uRedirect = 0;
    } else {
        for (u32 i = 0; i < 2; i++)
            m_Redirect[i].uSendTick = m_Redirect[i].uAnswerTick = 0;
    }
}

void CQVSocketProc::ThisStaPxyListResetLocked()
{
    ThisStaMainReset(1);
    m_uRedirect = 0;
    memset(m_Redirect, 0, sizeof(m_Redirect));
    m_Redirect[0].uDrivType = m_Redirect[1].uDrivType = QV_SOCK_DRIV_NONE;
    for (u32 i = 0; i < m_uPxyCount; i++) {
        m_Pxy[i].uSendTick = m_Pxy[i].uAnswerTick = 0;
        memset(&m_Pxy[i].Nat64, 0, sizeof(m_Pxy[i].Nat64));
    }
}

u32 CQVSocketProc::SetProxy(const QV_ADDR_S* lpList, u32 uCount)
{
    if (m_uSide)
        return 1;
    if (!lpList || !uCount)
        return 0;
    if (!Lock())
        return 0;
    char szAddr[QV_ADDR_STR_SIZE];
    for (u32 i = 0; i < uCount; i++) {
        if (!qvAddrToReadable(&lpList[i], szAddr, sizeof(szAddr)))
            szAddr[0] = 0;
        qvLogOut(0, "SocketProc: SetProxy: uInd=%u, szAddr=%s", i, szAddr);
    }
    u32 uSame = uCount == m_uPxyCount;
    for (u32 i = 0; i < uCount && uSame; i++) {
        u32 uIn = 0;
        for (u32 j = 0; j < m_uPxyCount; j++)
            if (AddrEq(lpList[i], m_Pxy[j].Addr))
                uIn = 1;
        uSame = uIn;
    }
    if (!uSame) {
        memset(m_Pxy, 0, sizeof(m_Pxy));
        m_uPxyCount = 0;
        for (u32 i = 0; i < uCount && m_uPxyCount < 8; i++) {
            u32 uVer = qvAddrIPVer(&lpList[i]);
            if (uVer != QV_ADDR_VER_IPV4 && uVer != QV_ADDR_VER_IPV6)
                continue;
            m_Pxy[m_uPxyCount].Addr = lpList[i];
            m_Pxy[m_uPxyCount].uDrivType = uVer == QV_ADDR_VER_IPV4 ? QV_SOCK_DRIV_UDP4 : QV_SOCK_DRIV_UDP6;
            m_uPxyCount++;
        }
        ThisStaPxyListResetLocked();
        if (m_uInit)
            PostMessage(2, 0, 0, 0);
    }
    Unlock();
    return 1;
}

u32 CQVSocketProc::SetSelfPeer(const char* lpszName)
{
    if (!lpszName || strlen(lpszName) > 127)
        return 0;
    if (!Lock())
        return 0;
    if (strcmp(lpszName, m_szSelfPeer) != 0) {
        strcpy(m_szSelfPeer, lpszName);
        ThisStaMainReset(0);
        if (m_uInit)
            PostMessage(2, 0, 0, 0);
    }
    Unlock();
    return 1;
}

u32 CQVSocketProc::GetSelfPeer(char* lpszOut, u32 uSize)
{
    if (!lpszOut || !Lock())
        return 0;
    size_t uLen = strlen(m_szSelfPeer);
    u32 uRes = 0;
    if (uLen < uSize) {
        memcpy(lpszOut, m_szSelfPeer, uLen + 1);
        uRes = 1;
    }
    Unlock();
    return uRes;
}

u32 CQVSocketProc::GetCurProxy(QV_ADDR_S& Addr)
{
    if (!Lock())
        return 0;
    GetCurProxyLocked(Addr);
    u32 uRes = !AddrEmpty(Addr);
    Unlock();
    if (!uRes && m_uInit)
        PostMessage(2, 0, 0, 0);
    return uRes;
}

u32 CQVSocketProc::AddrNat64Fill(QV_ADDR_S* lpAddr)
{
    if (!lpAddr || !Lock())
        return 0;
    const ADDR_STA_S* lpSta = ThisStaCur();
    u32 uRes = lpSta ? qvSocketAddrNat64Fill(&lpSta->Nat64, lpAddr) : 0;
    Unlock();
    return uRes;
}

u32 CQVSocketProc::AddrNat64Remove(QV_ADDR_S* lpAddr)
{
    if (!lpAddr || !Lock())
        return 0;
    const ADDR_STA_S* lpSta = ThisStaCur();
    u32 uRes = lpSta ? qvSocketAddrNat64Remove(&lpSta->Nat64, lpAddr) : 0;
    Unlock();
    return uRes;
}

u32 CQVSocketProc::AddrNat64Enable()
{
    if (!Lock())
        return 0;
    const ADDR_STA_S* lpSta = ThisStaCur();
    u32 uRes = lpSta ? lpSta->Nat64.uSet : 0;
    Unlock();
    return uRes;
}

u32 CQVSocketProc::SetAssemAddr(const QV_ADDR_PAIR_S* lpPairs, u32 uCount)
{
    if (!Lock())
        return 0;
    if (!m_uSide || !lpPairs || !uCount) {
        m_uAssemCount = 0;
    } else {
        for (u32 i = 0; i < 64; i++)
            m_Assem[i] = lpPairs[i % uCount];
        m_uAssemCount = 64;
    }
    Unlock();
    return 1;
}

u32 CQVSocketProc::StrHashCode(const char* lpszName)
{
    u32 h = 0;
    for (const unsigned char* p = (const unsigned char*)lpszName; p && *p; p++)
        h = h * 31 + *p;
    return h;
}

u32 CQVSocketProc::SetMainSpeed(u32 uSpeed, u32 uRoom)
{
    (void)uRoom;
    m_uMainSpeed = uSpeed;
    return 1;
}

// Main connect.

// The station's peer index, or QV_SOCKPROC_PEER_NONE while other peers must wait.
u32 CQVSocketProc::SockConnectPeerMain(u32 uDrivType, u32 uReset)
{
    if (m_uSide)
        return QV_SOCKPROC_PEER_NONE;
    if (!ThisStaCur()) {
        if (uReset) {
            m_uMainRetryTick = m_uTick;
            if (uDrivType != QV_SOCK_DRIV_TCP)
                m_uMainBackoff = 0;
        } else {
            if (m_uTick - m_uMainRetryTick < m_uMainBackoff)
                return QV_SOCKPROC_PEER_NONE;
            m_uMainRetryTick = m_uTick;
            m_uMainBackoff = m_uMainBackoff ? (m_uMainBackoff * 2 < MAIN_BACKOFF_MAX ? m_uMainBackoff * 2
                                                                                     : MAIN_BACKOFF_MAX)
                                            : 1;
        }
        SockCnntMainSend(uDrivType, 0);
        return QV_SOCKPROC_PEER_NONE;
    }
    u32 uIndex = ThisStaMainPeer();
    if (uIndex == QV_SOCKPROC_PEER_NONE)
        return QV_SOCKPROC_PEER_NONE;
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    if (p->uStatus & QV_PEER_STA_DIRECT)
        return uIndex;
    if (p->uStatus & QV_PEER_STA_RELAYED) {
        if (p->uDrivSel == 2)
            return uIndex;
        if (uReset) {
            p->uRelayIntv = 0;
        } else {
            if (m_uTick - p->uRelayTryTick < p->uRelayIntv)
                return uIndex;
            p->uRelayTryTick = m_uTick;
            u32 uBase = m_uBackoff ? m_uBackoff : 1;
            p->uRelayIntv = p->uRelayIntv ? (p->uRelayIntv * 2 < MAIN_RELAY_INTV_MAX ? p->uRelayIntv * 2
                                                                                     : MAIN_RELAY_INTV_MAX)
                                          : uBase;
        }
        SockCnntMainSend(uDrivType, 2);
        return uIndex;
    }
    SockCnntMainSend(uDrivType, 0);
    return QV_SOCKPROC_PEER_NONE;
}

u32 CQVSocketProc::SockConnectTry(u32 uDrivType, u32 uReset)
{
    u32 uMain = SockConnectPeerMain(uDrivType, uReset);
    if (uMain == QV_SOCKPROC_PEER_NONE)
        return 0;
    SOCK_PEER_S* p = m_Cnnt.Head();
    while (p) {
        SOCK_PEER_S* n = CNNT_LIST::Next(p);
        if (p->uIndex != uMain && SockConnectPeer(p->uIndex, uDrivType, uReset))
            CnntListRemove(p);
        p = n;
    }
    return 1;
}

// One round of 'H': to the current station, or, without one, to every station of the list
// once, starting at a random one. uRelayMode 2: the station's peer already has a relayed
// path, so the request goes over UDP only.
void CQVSocketProc::SockCnntMainSend(u32 uDrivType, u32 uRelayMode)
{
    if (!m_szSelfPeer[0])
        return;
    u32 uCount;
    ADDR_STA_S* lpList = ThisStaPxyListGet(&uCount);
    if (!uCount)
        return;
    u32 uFirst, uTries;
    if (m_uStaIndex < uCount) {
        uFirst = m_uStaIndex;
        uTries = 1;
    } else {
        uFirst = (u32)rand() % uCount;
        uTries = uCount;
    }
    for (u32 n = 0; n < uTries; n++) {
        ADDR_STA_S& e = lpList[(uFirst + n) % uCount];
        if ((uDrivType == QV_SOCK_DRIV_UDP4 || uDrivType == QV_SOCK_DRIV_UDP6 || uDrivType == QV_SOCK_DRIV_LAN) &&
            uDrivType != e.uDrivType)
            continue;
        if (e.uDrivType >= QV_SOCK_DRIV_MAX)
            continue;
        if (DrivEnabled(e.uDrivType)) {
            // The silence is measured from the first request after the last answer (an answer
            // tick of 0: none sent yet), so that a list set anew in a process that has run
            // for minutes does not drop its driver at once, and after a drop it is measured
            // afresh: a station down for long is still asked every other round.
            if (e.uAnswerTick && m_uTick - e.uAnswerTick > MAIN_SILENT_DROP &&
                m_uTick - m_uDrivTick[e.uDrivType] > MAIN_SILENT_DROP) {
                SockDrivDrop(e.uDrivType);
                PostMessage(11, 0, 0, 0);
                e.uAnswerTick = 0;
                // The driver is off until the check enables it again: nothing to send on.
                continue;
            }
        } else if (!SockDrivEnable(e.uDrivType, 0)) {
            continue;
        }
        if (!(e.uSendTick < m_uTick))
            continue;
        if (!e.uAnswerTick)
            e.uAnswerTick = m_uTick;
        u32 uRelay;
        if (uRelayMode == 2 || m_uTick - e.uAnswerTick < MAIN_RELAY_AFTER) {
            uRelay = 0;
            e.uSendTick = m_uTick;
        } else {
            uRelay = 1;
            if (!DrivEnabled(QV_SOCK_DRIV_TCP)) {
                TcpDrivOn();
                // The relay may need this tick to come up: one more try is allowed in it.
                e.uSendTick = m_uTick - 1;
            } else {
                e.uSendTick = m_uTick;
            }
        }
        SockCnntMainSendMsg(e, uRelay);
    }
}

u32 CQVSocketProc::SockCnntMainSendMsg(ADDR_STA_S& Sta, u32 uTryRelay)
{
    if (AddrEmpty(Sta.Addr))
        return 0;
    char szAddr[QV_ADDR_STR_SIZE];
    qvLogOut(1, "SocketProc: SockCnntMainSendMsg: AddrStaPxy=%s, uDrivType=%u, uTryRelay=%u",
             AddrText(Sta.Addr, szAddr), Sta.uDrivType, uTryRelay);
    u8 Raw[MAIN_HEAD + MAIN_REQ_LEN];
    memset(Raw, 0, sizeof(Raw));
    u8* m = Raw + MAIN_HEAD;
    m[1] = 'H';
    WrAddr(m, 4, m_AddrMain);
    WrAddr(m, 44, Sta.Addr);
    // The name is at most 127 characters (SetSelfPeer), so its zero always fits.
    memcpy(m + MAIN_NAME_AT, m_szSelfPeer, strlen(m_szSelfPeer));
    SockCnntDrivSend(Sta.uDrivType, 0, Sta.Addr, Raw, MAIN_REQ_LEN, nullptr, 1);
    if (uTryRelay && DrivEnabled(QV_SOCK_DRIV_TCP))
        SockCnntDrivSend(QV_SOCK_DRIV_TCP, 0, Sta.Addr, Raw, MAIN_REQ_LEN, nullptr, 0);
    return 1;
}

// Main reply ('I'), at least 84 bytes (the caller checked); the redirect stations are read
// only from a reply of 124 bytes or more.
void CQVSocketProc::SockCnntMainReply(u32 uDrivType, const QV_ADDR_S& From, const QV_BUF_S& Buf)
{
    if (m_uSide || uDrivType >= QV_SOCK_DRIV_MAX)
        return;
    const u8* m = Buf.buf + Buf.uOffset;
    u32 uLen = Buf.uLen;
    QV_ADDR_S Pub = RdAddr(m, MAIN_PUB_AT);
    // The record's flags word says nothing about the address itself.
    Pub.uExtra = 0;
    char szFrom[QV_ADDR_STR_SIZE], szPub[QV_ADDR_STR_SIZE];
    qvLogOut(1, "SocketProc: SockCnntMainReply: uDrivType=%u, Addr=%s, AddrPub=%s", uDrivType,
             AddrText(From, szFrom), AddrText(Pub, szPub));
    // A reply that names no address cannot give us one.
    if (AddrEmpty(Pub))
        return;
    if (ThisStaMainNat64Check(uDrivType, From, Pub))
        return;
    QV_ADDR_S Redir4, Redir6;
    memset(&Redir4, 0, sizeof(Redir4));
    memset(&Redir6, 0, sizeof(Redir6));
    if (uLen >= MAIN_REPLY_REDIR_LEN) {
        Redir4 = RdAddr(m, MAIN_REDIR4_AT);
        Redir6 = RdAddr(m, MAIN_REDIR6_AT);
        Redir4.uExtra = Redir6.uExtra = 0;
        if (uDrivType == QV_SOCK_DRIV_TCP) {
            // The relay reaches one server only: it cannot follow a redirect elsewhere.
            char szRedir[QV_ADDR_STR_SIZE];
            if (qvAddrIPVer(&From) == QV_ADDR_VER_IPV4 && qvAddrIPVer(&Redir4) == QV_ADDR_VER_IPV4 &&
                !SameIP(From, Redir4)) {
                qvLogOut(1, "SocketProc: SockCnntMainReply, Can not redirect to diff ip, AddrPxy=%s",
                         AddrText(Redir4, szRedir));
                return;
            }
            if (qvAddrIPVer(&From) == QV_ADDR_VER_IPV6 && qvAddrIPVer(&Redir6) == QV_ADDR_VER_IPV6 &&
                !SameIP(From, Redir6)) {
                qvLogOut(1, "SocketProc: SockCnntMainReply, Can not redirect to diff ip, AddrPxy6=%s",
                         AddrText(Redir6, szRedir));
                return;
            }
        }
        if (ThisStaMainPxyRedirect(From, Redir4, Redir6)) {
            PostMessage(2, 0, 0, 0);
            return;
        }
    }
    u32 uChanged = 0;
    if (!ThisStaMainAddrSet(uDrivType, From, Redir4, Redir6, Pub, &uChanged))
        return;
    u32 uIndex = SockPeerSearch(From);
    if (uIndex != QV_SOCKPROC_PEER_NONE) {
        SOCK_PEER_S* p = &m_lpPeer[uIndex];
        CNNT_ADDR_S* a = SockPeerCnntAddrSearch(uIndex, From);
        if (!a) {
            SockPeerCnntAddrClean(uIndex, QV_SOCK_DRIV_NONE);
            a = SockPeerCnntAddrAdd(uIndex, From);
            if (!a)
                qvLogOut(0, "SocketProc: SockCnntMainReply. CnntAddrAdd failed, uDrivType=%u, AddrMain=%s",
                         uDrivType, AddrText(From, szFrom));
        }
        if (a && m_uMainDriv >= QV_SOCK_DRIV_MAX) {
            qvLogOut(0, "SocketProc: SockCnntMainReply. invalid main, uDrivTypeTun=%u", m_uMainDriv);
        } else if (a) {
            CnntAddrDrivStaReset(a, QV_SOCK_DRIV_NONE);
            CnntAddrDrivTypeSet(uIndex, a, m_uMainDriv, &m_AddrMain, 0);
            a->Driv[m_uMainDriv].uFlags |= 0x1;   // working
            a->uRecvTick = m_uTick;
            SockPeerCnntAddrSort(uIndex, a, 1);
            SockPeerCnntAddrReport(uIndex, a, 1);
            SockPeerHeardDirect(p);
            SockPeerCheckThrough(uIndex, From, SockPeerCnntStatusMaskUpdate(uIndex));
            p->uRecvPath = 0;
            p->uSilentTick = 0;
            PostMessage(4, p->uSockID, 1, 0);
        }
    }
    if (uChanged)
        m_uMainReportPend = 1;
    qvLogOut(1, "SocketProc: SockCnntMainReply. uDrivType=%u, AddrMain=%s, uMainChanged=%u", uDrivType,
             AddrText(m_AddrMain, szPub), uChanged);
}

// Accepts the reply of a station of the list as the main station's; 0 when it is refused.
u32 CQVSocketProc::ThisStaMainAddrSet(u32 uDrivType, const QV_ADDR_S& From, const QV_ADDR_S& Redir4,
                                      const QV_ADDR_S& Redir6, const QV_ADDR_S& Pub, u32* lpuChanged)
{
    *lpuChanged = 0;
    u32 uCount;
    ADDR_STA_S* lpList = ThisStaPxyListGet(&uCount);
    u32 uAt = uCount;
    for (u32 i = 0; i < uCount && uAt == uCount; i++)
        if (!AddrEmpty(lpList[i].Addr) && AddrEq(lpList[i].Addr, From))
            uAt = i;
    if (uAt == uCount)
        return 0;
    if (!SockDrivAddrSearch(Pub, uDrivType))
        SockDrivAddrAdd(Pub, uDrivType, 0);
    if (m_uStaIndex < uCount && m_uStaIndex != uAt)
        return 0;
    lpList[uAt].uAnswerTick = m_uTick;
    if (uDrivType == QV_SOCK_DRIV_TCP && (m_uMainDriv == QV_SOCK_DRIV_UDP4 || m_uMainDriv == QV_SOCK_DRIV_UDP6) &&
        m_uTick - m_uMainSetTick <= MAIN_TCP_REJECT) {
        qvLogOut(1, "SocketProc: ThisStaMainAddrSet: uDrivType=%u, update reject!", uDrivType);
        return 0;
    }
    *lpuChanged = AddrEmpty(m_AddrMain) || !AddrEq(m_AddrMain, Pub);
    m_AddrMain = Pub;
    m_uMainDriv = uDrivType;
    m_uMainSetTick = m_uTick;
    m_uMainRetryTick = m_uMainBackoff = 0;
    for (u32 d = QV_SOCK_DRIV_UDP4; d <= QV_SOCK_DRIV_TCP; d++) {
        u32 uFlag = d == uDrivType;
        m_lpDriv[d]->SetParam(10, &uFlag, 4);
    }
    if (m_uStaIndex == uAt)
        return 1;
    m_uStaIndex = uAt;
    const ADDR_STA_S& Sta = lpList[uAt];
    QV_ADDR_S First4, First6;
    memset(&First4, 0, sizeof(First4));
    memset(&First6, 0, sizeof(First6));
    for (u32 i = uCount; i-- > 0;) {
        if (qvAddrIPVer(&lpList[i].Addr) == QV_ADDR_VER_IPV4)
            First4 = lpList[i].Addr;
        else if (qvAddrIPVer(&lpList[i].Addr) == QV_ADDR_VER_IPV6)
            First6 = lpList[i].Addr;
    }
    u32 uVer = qvAddrIPVer(&Sta.Addr);
    if (uVer == QV_ADDR_VER_IPV4) {
        m_DrivUDP4.SetInitProxy(&Sta.Addr);
        m_DrivUDP6.SetInitProxy(AddrEmpty(Redir6) ? &First6 : &Redir6);
    } else if (uVer == QV_ADDR_VER_IPV6) {
        m_DrivUDP6.SetInitProxy(&Sta.Addr);
        m_DrivUDP4.SetInitProxy(AddrEmpty(Redir4) ? &First4 : &Redir4);
    } else {
        m_DrivUDP4.SetInitProxy(&First4);
        m_DrivUDP6.SetInitProxy(&First6);
    }
    m_DrivTCP.SetInitProxy(&Sta.Addr);
    char szAddr[QV_ADDR_STR_SIZE];
    qvLogOut(1, "SocketProc: ThisStaMainAddrSet: uDrivType=%u, szAddr=%s", uDrivType, AddrText(Sta.Addr, szAddr));
    return 1;
}

// Switches to the redirect pair a station named; 0 when there is nothing to switch to.
u32 CQVSocketProc::ThisStaMainPxyRedirect(const QV_ADDR_S& From, const QV_ADDR_S& Redir4, const QV_ADDR_S& Redir6)
{
    u32 uEmpty4 = AddrEmpty(Redir4), uEmpty6 = AddrEmpty(Redir6);
    if ((!uEmpty4 && qvAddrIPVer(&Redir4) != QV_ADDR_VER_IPV4) ||
        (!uEmpty6 && qvAddrIPVer(&Redir6) != QV_ADDR_VER_IPV6) || (uEmpty4 && uEmpty6))
        return 0;
    if (m_uRedirect) {
        // Already redirected: a station of the pair does not send us on again.
        if (m_uStaIndex == 0 && AddrEq(Redir4, m_Redirect[0].Addr))
            return 0;
        if (m_uStaIndex == 1 && AddrEq(Redir6, m_Redirect[1].Addr))
            return 0;
        if (m_uStaIndex != 0 && m_uStaIndex != 1)
            return 0;
    } else {
        const ADDR_STA_S* lpCur = ThisStaCur();
        const QV_ADDR_S& Here = lpCur ? lpCur->Addr : From;
        if ((!uEmpty4 && AddrEq(Redir4, Here)) || (!uEmpty6 && AddrEq(Redir6, Here)))
            return 0;
    }
    memset(m_Redirect, 0, sizeof(m_Redirect));
    m_Redirect[0].Addr = Redir4;
    m_Redirect[0].uDrivType = QV_SOCK_DRIV_UDP4;
    m_Redirect[1].Addr = Redir6;
    m_Redirect[1].uDrivType = QV_SOCK_DRIV_UDP6;
    for (u32 i = 0; i < m_uPxyCount && !uEmpty4; i++) {
        if (m_Pxy[i].Nat64.uSet && SameIP(m_Pxy[i].Addr, Redir4)) {
            m_Redirect[0].Nat64 = m_Pxy[i].Nat64;
            break;
        }
    }
    ThisStaMainReset(0);
    m_uRedirect = 1;
    return 1;
}

// Learns a NAT64 network from a reply over UDP over IPv6 that names an IPv4 public address;
// non-zero when the reply is not to be used further.
u32 CQVSocketProc::ThisStaMainNat64Check(u32 uDrivType, const QV_ADDR_S& From, const QV_ADDR_S& Pub)
{
    u32 uCount;
    ADDR_STA_S* lpList = ThisStaPxyListGet(&uCount);
    ADDR_STA_S* e = nullptr;
    u32 uStripped = 0;
    for (u32 i = 0; i < uCount && !e; i++) {
        ADDR_STA_S& c = lpList[i];
        if (c.Nat64.uSet) {
            QV_ADDR_S Bare = From;
            if (qvSocketAddrNat64Remove(&c.Nat64, &Bare) && AddrEq(Bare, c.Addr)) {
                e = &c;
                uStripped = 1;
                continue;
            }
        }
        if (AddrEq(From, c.Addr))
            e = &c;
    }
    if (!e)
        return 0;
    if (e->Nat64.uSet)
        return uStripped;
    if (uDrivType != QV_SOCK_DRIV_UDP6 || e->uDrivType != QV_SOCK_DRIV_UDP6 ||
        qvAddrIPVer(&e->Addr) != QV_ADDR_VER_IPV6 || qvAddrIPVer(&Pub) != QV_ADDR_VER_IPV4)
        return 0;
    if (!qvSocketAddrNat64Set(&e->Nat64, &e->Addr, &Pub)) {
        memset(&e->Nat64, 0, sizeof(e->Nat64));
        return 0;
    }
    qvSocketAddrNat64Remove(&e->Nat64, &e->Addr);
    e->uDrivType = QV_SOCK_DRIV_UDP4;
    qvLogOut(1, "SocketProc: ThisStaMainNat64Check: Nat64 is enable.");
    // Item 2 of the UDP over IPv4 driver: a count, then the distinct NAT64 states.
    u8 Item[4 + sizeof(QV_SKT_ADDR_NAT64_STA_S) * 10];
    u32 uStates = 0;
    for (u32 i = 0; i < uCount; i++) {
        if (!lpList[i].Nat64.uSet)
            continue;
        u32 uSeen = 0;
        for (u32 j = 0; j < uStates && !uSeen; j++)
            uSeen = !memcmp(Item + 4 + sizeof(QV_SKT_ADDR_NAT64_STA_S) * j, &lpList[i].Nat64,
                            sizeof(QV_SKT_ADDR_NAT64_STA_S));
        if (!uSeen)
            memcpy(Item + 4 + sizeof(QV_SKT_ADDR_NAT64_STA_S) * uStates++, &lpList[i].Nat64,
                   sizeof(QV_SKT_ADDR_NAT64_STA_S));
    }
    memcpy(Item, &uStates, 4);
    m_DrivUDP4.SetParam(2, Item, 4 + sizeof(QV_SKT_ADDR_NAT64_STA_S) * uStates);
    ThisStaMainReset(0);
    PostMessage(7, 0, 0, 0);
    return 1;
}
