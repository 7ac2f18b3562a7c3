// Socket process: main station list and state. The station exchange itself (sending
// 'H', handling 'I') is not part of this build: no station ever answers.
#include <string.h>

#include "qvLog.h"
#include "qvSocketProc.h"

static bool AddrEq(const QV_ADDR_S& A, const QV_ADDR_S& B)
{
    return A.uAddr[0] == B.uAddr[0] && A.uAddr[1] == B.uAddr[1] && A.uAddr[2] == B.uAddr[2] &&
           A.uAddr[3] == B.uAddr[3] && A.uPort == B.uPort;
}

static bool AddrEmpty(const QV_ADDR_S& A)
{
    return qvAddrIPVer(&A) == QV_ADDR_VER_NONE;
}

// Station list and current station.

u32 CQVSocketProc::ThisStaIsStation(const QV_ADDR_S& Addr)
{
    const ADDR_STA_S* lpList = m_uRedirect ? m_Redirect : m_Pxy;
    u32 uCount = m_uRedirect ? 2 : m_uPxyCount;
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

// Main connect. Without the station exchange no station ever answers, so there is never
// a station peer and other peers wait.

u32 CQVSocketProc::SockConnectPeerMain(u32 uDrivType, u32 uReset)
{
    if (m_uSide)
        return QV_SOCKPROC_PEER_NONE;
    u32 uCount = m_uRedirect ? 2 : m_uPxyCount;
    if (m_uStaIndex >= uCount) {
        if (uReset) {
            m_uMainRetryTick = m_uTick;
            if (uDrivType != QV_SOCK_DRIV_TCP)
                m_uMainBackoff = 0;
        } else {
            if (m_uTick - m_uMainRetryTick < m_uMainBackoff)
                return QV_SOCKPROC_PEER_NONE;
            m_uMainRetryTick = m_uTick;
            m_uMainBackoff = m_uMainBackoff ? (m_uMainBackoff * 2 < 300 ? m_uMainBackoff * 2 : 300) : 1;
        }
        return QV_SOCKPROC_PEER_NONE;
    }
    u32 uIndex = ThisStaMainPeer();
    if (uIndex == QV_SOCKPROC_PEER_NONE)
        return QV_SOCKPROC_PEER_NONE;
    if (m_lpPeer[uIndex].uStatus & (QV_PEER_STA_DIRECT | QV_PEER_STA_RELAYED))
        return uIndex;
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

// Main reply ('I'), at least 84 bytes (the redirect records need 124). The station
// exchange is not part of this build: the reply is dropped.
void CQVSocketProc::SockCnntMainReply(u32 uDrivType, const QV_ADDR_S& From, const QV_BUF_S& Buf)
{
    (void)uDrivType, (void)From, (void)Buf;
}
