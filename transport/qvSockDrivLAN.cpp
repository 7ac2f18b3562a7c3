// LAN driver: discovery on UDP ports 7654..7656 and direct datagrams to LAN peers.
#include "qvSockDrivLAN.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "qvLog.h"
#include "qvSockAddrUti.h"
#include "qvSysNet.h"
#include "qvUtilize.h"

// Discovery message codes (byte 1).
static const u8 LAN_SCAN_REQ = 0x80;
static const u8 LAN_SCAN_REP = 0x81;
// Header of a discovery message, then a message string of at most 252 bytes.
static const u32 LAN_HDR = 4;
static const u32 LAN_STR_MAX = 252;
// Longest label whose string (length word, text, NUL, padding to 4) fits those 252 bytes.
static const u32 LAN_LABEL_MAX = LAN_STR_MAX - 4 - 1;
// Smallest discovery message that carries a string (header plus an empty string).
static const u32 LAN_MSG_MIN = 8;
// A peer we keep sending to without hearing from it for this many ticks is gone.
static const u32 LAN_SILENT_DROP = 180;
// ScanHasResult counts a peer as present while it was heard within this many ticks.
static const u32 LAN_RECENT = 176;
// More consecutive counted send errors than this make the next scan reopen the socket.
static const u32 LAN_ERR_MAX = 5;
// Pause between broadcast passes, ms.
static const u32 LAN_PASS_PAUSE = 5;
// Unicast sweep: positions 0..767 cover hosts 0..255 on the three ports, 32 per message.
static const u32 LAN_SWEEP_END = 767;
static const u32 LAN_SWEEP_STEP = 32;
// Net type code of a LAN peer.
static const u32 NET_TYPE_LAN = 12;
// New-peer log lines written per tick at most; a flood of scan replies is summed up in one
// line on the next tick instead.
static const u32 LAN_ADD_LOGS_PER_TICK = 16;

// Private interface: forwards to the driver.
u32 CQVSockDrivLANPriv::Enable(u32 uOn, u32 uIPVer, const char* lpszPeerID, const char* lpszLabel)
{
    return m_lpDriv->PrivEnable(uOn, uIPVer, lpszPeerID, lpszLabel);
}
u32 CQVSockDrivLANPriv::ReEnable() { return m_lpDriv->PrivReEnable(); }
u32 CQVSockDrivLANPriv::IsAddrExist(const QV_ADDR_S* lpAddr) { return m_lpDriv->PrivIsAddrExist(lpAddr); }
u32 CQVSockDrivLANPriv::ScanLaunch(u32 uAge) { return m_lpDriv->PrivScanLaunch(uAge); }
u32 CQVSockDrivLANPriv::ScanGetResult(QV_SKT_LAN_PEER_S* lpList, u32 uSize)
{
    return m_lpDriv->PrivScanGetResult(lpList, uSize);
}
u32 CQVSockDrivLANPriv::ScanHasResult(const char* lpszPeerID) { return m_lpDriv->PrivScanHasResult(lpszPeerID); }

CQVSockDrivLAN::CQVSockDrivLAN()
    : m_lpProc(nullptr), m_uSide(0), m_uTableSize(0), m_uSendQueSum(0), m_uEnabled(0), m_uPrivEnabled(0),
      m_uIPVer(2), m_hSocket(-1), m_uPort(0), m_uErrCount(0), m_uSendErr(0), m_uTick(0), m_uLocalCount(0),
      m_lpPeerHead(nullptr), m_lpPeerTail(nullptr), m_uPeerCount(0), m_uAddLogTick(0), m_uAddLogs(0),
      m_uAddLogMissed(0)
{
    m_Priv.Attach(this);
    memset(m_AddrLocal, 0, sizeof(m_AddrLocal));
    m_szPeerID[0] = 0;
    m_szLabel[0] = 0;
    memset(&m_BufRecv, 0, sizeof(m_BufRecv));
}

CQVSockDrivLAN::~CQVSockDrivLAN()
{
    SockClose();
    LanClean();
    qvBufFree(&m_BufRecv);
}

u32 CQVSockDrivLAN::SocketCalcBufSize(u32 uTableSize, u32 uSendQueSum)
{
    u32 uBase = (uSendQueSum + 255) / 256 * 256;
    u32 uScale = uTableSize >= 128 ? uTableSize / 128 : 1;
    u64 uKiB = (u64)uBase * uScale;
    if (uKiB > 16384)
        uKiB = 16384;
    return (u32)uKiB * 1024;
}

void* CQVSockDrivLAN::GetPrivate(u32)
{
    return static_cast<IQVSocketLANPriv*>(&m_Priv);
}

u32 CQVSockDrivLAN::Initialize(void*, IQVSocketProc* lpProc, const QV_SOCK_DRIV_CFG_S* lpCfg)
{
    m_lpProc = lpProc;
    if (lpCfg) {
        m_uSide = lpCfg->uSide;
        m_uTableSize = lpCfg->uTableSize;
        m_uSendQueSum = lpCfg->uSendQueSum;
    }
    if (!m_BufRecv.buf && !qvBufAlloc(&m_BufRecv, QV_LAN_BUF_SIZE, 0)) {
        Clean();
        return 0;
    }
    m_uLocalCount = 0;
    m_uPort = 0;
    m_uPrivEnabled = 0;
    m_uTick = 0;
    return 1;
}

u32 CQVSockDrivLAN::SockOpen(u32 uIPVer)
{
    if (uIPVer > 1)
        return 0;
    if (m_hSocket >= 0) {
        qvLogOut(3, "SockDrivLAN: SockOpen, socket has opened");
        return 1;
    }
    int hSock = socket(uIPVer ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    if (hSock < 0) {
        qvLogOut(0, "SockDrivLAN: SockOpen, Open socket failed");
        return 0;
    }
    int iOn = 1;
    int iBuf = (int)SocketCalcBufSize(m_uTableSize, m_uSendQueSum);
    const char* lpszFail = nullptr;
    if (ioctl(hSock, FIONBIO, &iOn) != 0)
        lpszFail = "SockDrivLAN: SockOpen, ioctlsocket failed, errno=%d";
    else if (setsockopt(hSock, SOL_SOCKET, SO_SNDBUF, &iBuf, sizeof(iBuf)) != 0)
        lpszFail = "SockDrivLAN: SockOpen, set SNDBUF failed, errno=%d";
    else if (setsockopt(hSock, SOL_SOCKET, SO_RCVBUF, &iBuf, sizeof(iBuf)) != 0)
        lpszFail = "SockDrivLAN: SockOpen, set RCVBUF failed, errno=%d";
    else if (setsockopt(hSock, SOL_SOCKET, SO_BROADCAST, &iOn, sizeof(iOn)) != 0)
        lpszFail = "SockDrivLAN: SockOpen, set BROADCAST failed, errno=%d";
    if (lpszFail) {
        qvLogOut(0, lpszFail, errno);
        close(hSock);
        return 0;
    }
    for (u32 i = 0; i < QV_LAN_PORT_COUNT; i++) {
        u32 uPort = QV_LAN_PORT_BASE + i;
        int iRes;
        if (uIPVer) {
            struct sockaddr_in6 Sa;
            memset(&Sa, 0, sizeof(Sa));
            Sa.sin6_family = AF_INET6;
            Sa.sin6_port = htons((u16)uPort);
            Sa.sin6_addr = in6addr_any;
            iRes = bind(hSock, (struct sockaddr*)&Sa, sizeof(Sa));
        } else {
            struct sockaddr_in Sa;
            memset(&Sa, 0, sizeof(Sa));
            Sa.sin_family = AF_INET;
            Sa.sin_port = htons((u16)uPort);
            Sa.sin_addr.s_addr = htonl(INADDR_ANY);
            iRes = bind(hSock, (struct sockaddr*)&Sa, sizeof(Sa));
        }
        if (iRes == 0) {
            m_hSocket = hSock;
            m_uPort = uPort;
            m_uErrCount = 0;
            m_uSendErr = 0;
            return 1;
        }
    }
    qvLogOut(0, "SockDrivLAN: SockOpen, Bind socket failed, errno=%d", errno);
    close(hSock);
    return 0;
}

void CQVSockDrivLAN::SockClose()
{
    if (m_hSocket >= 0)
        close(m_hSocket);
    m_hSocket = -1;
    m_uPort = 0;
    m_uSendErr = 0;
}

u32 CQVSockDrivLAN::SockEnable(u32 uOn, u32 uIPVer)
{
    if (m_uSide)
        return 0;
    if (uOn) {
        if (m_uEnabled)
            return 1;
        if (!m_Sect.Lock())
            return 0;
        u32 uOk = SockOpen(uIPVer);
        m_Sect.Unlock();
        if (!uOk)
            return 0;
        m_uEnabled = 1;
        if (m_lpProc) {
            m_lpProc->OnSetSock(QV_SOCK_DRIV_LAN, m_hSocket, 1, 0);
            m_lpProc->OnPostMessage(QV_SOCK_DRIV_LAN, 0, 1, 0);
        }
        return 1;
    }
    if (m_uEnabled) {
        if (m_lpProc)
            m_lpProc->OnSetSock(QV_SOCK_DRIV_LAN, m_hSocket, 0, 0);
        m_uEnabled = 0;
        if (m_lpProc)
            m_lpProc->OnPostMessage(QV_SOCK_DRIV_LAN, 0, 0, 0);
        if (m_Sect.Lock()) {
            SockClose();
            m_Sect.Unlock();
        }
    }
    return 1;
}

u32 CQVSockDrivLAN::Enable(u32 uFlag)
{
    qvPrintf("CQVSockDrivLAN::Enable, uFlag=%u", uFlag);
    if (uFlag) {
        // LAN is switched on through the private interface; a driver restart reopens it
        // only when it was.
        if (!m_uPrivEnabled)
            return 1;
        return SockEnable(1, m_uIPVer);
    }
    SockEnable(0, m_uIPVer);
    return 1;
}

void CQVSockDrivLAN::LanClean()
{
    while (m_lpPeerHead) {
        LAN_PEER_S* p = m_lpPeerHead;
        m_lpPeerHead = p->lpNext;
        delete p;
    }
    m_lpPeerTail = nullptr;
    m_uPeerCount = 0;
}

// Caller holds the lock; lpPrev is the entry before p (null for the head).
void CQVSockDrivLAN::LanUnlink(LAN_PEER_S* lpPrev, LAN_PEER_S* p)
{
    if (lpPrev)
        lpPrev->lpNext = p->lpNext;
    else
        m_lpPeerHead = p->lpNext;
    if (m_lpPeerTail == p)
        m_lpPeerTail = lpPrev;
    m_uPeerCount--;
    delete p;
}

// Caller holds the lock. Frees the peer heard from least recently among those nothing was
// sent to; 0 when every peer is in use.
u32 CQVSockDrivLAN::LanEvictStalest()
{
    LAN_PEER_S* lpOld = nullptr;
    LAN_PEER_S* lpOldPrev = nullptr;
    LAN_PEER_S* lpPrev = nullptr;
    for (LAN_PEER_S* p = m_lpPeerHead; p; lpPrev = p, p = p->lpNext)
        if (!p->uSent && (!lpOld || m_uTick - p->uRecvTick > m_uTick - lpOld->uRecvTick)) {
            lpOld = p;
            lpOldPrev = lpPrev;
        }
    if (!lpOld)
        return 0;
    LanUnlink(lpOldPrev, lpOld);
    return 1;
}

u32 CQVSockDrivLAN::PeerCount()
{
    if (!m_Sect.Lock())
        return 0;
    u32 u = m_uPeerCount;
    m_Sect.Unlock();
    return u;
}

void CQVSockDrivLAN::Clean()
{
    if (m_Sect.Lock()) {
        LanClean();
        m_Sect.Unlock();
    }
    qvBufFree(&m_BufRecv);
    m_In.Free();
    m_uPrivEnabled = 0;
    m_uTick = 0;
}

u32 CQVSockDrivLAN::SockSend(const void* lpData, u32 uLen, const QV_ADDR_S* lpTo, u32 uCountErr)
{
    // The private interface may close or reopen the socket from the node's threads: the
    // descriptor is only used under the lock, so that a number the system has meanwhile
    // handed to another socket is never written to.
    if (!m_Sect.Lock())
        return 0xFFFFFFFFu;
    int hSock = m_hSocket;
    if (hSock < 0) {
        m_Sect.Unlock();
        return 0xFFFFFFFFu;
    }
    struct sockaddr_storage Sa;
    memset(&Sa, 0, sizeof(Sa));
    socklen_t uSaLen;
    if (m_uIPVer == 1) {
        struct sockaddr_in6* a6 = (struct sockaddr_in6*)&Sa;
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(lpTo->uPort);
        memcpy(&a6->sin6_addr, lpTo->uAddr, 16);
        uSaLen = sizeof(*a6);
    } else {
        struct sockaddr_in* a4 = (struct sockaddr_in*)&Sa;
        a4->sin_family = AF_INET;
        a4->sin_port = htons(lpTo->uPort);
        a4->sin_addr.s_addr = lpTo->uAddr[3];
        uSaLen = sizeof(*a4);
    }
    // Under the socket layer's lock the datagram is only collected; it leaves once that
    // lock is released (DgramFlush), with the others of its batch.
    CQVDgramOut* lpOut = qvDgramCapture();
    if (lpOut && uLen && lpOut->Add(this, hSock, uCountErr, (struct sockaddr*)&Sa, uSaLen, lpData, uLen)) {
        m_Sect.Unlock();
        return uLen;
    }
    errno = 0;
    ssize_t iRes = sendto(hSock, lpData, uLen, 0, (struct sockaddr*)&Sa, uSaLen);
    u32 uRes = SendResult(iRes > 0 ? 0 : errno, iRes > 0 ? (u32)iRes : 0, uCountErr);
    m_Sect.Unlock();
    return uRes;
}

// Under m_Sect.
u32 CQVSockDrivLAN::SendResult(int iErr, u32 uSent, u32 uCountErr)
{
    if (uSent) {
        m_uErrCount = 0;
        return uSent;
    }
    if (iErr == 0 || iErr == EAGAIN)
        return 0;
    if (uCountErr) {
        m_uErrCount++;
        if (m_uErrCount > LAN_ERR_MAX)
            m_uSendErr = 1;
        qvPrintf("CQVSockDrivLAN::SockSend: errno=%d, ErrCount=%u", iErr, m_uErrCount);
    }
    return 0xFFFFFFFFu;
}

void CQVSockDrivLAN::DgramFlush(QV_DGRAM_REC_S** lpList, u32 uCount)
{
    if (!m_Sect.Lock())
        return;
    // Records of a socket closed since are dropped: its number may now be another's.
    u32 uKeep = 0;
    for (u32 i = 0; i < uCount; i++)
        if (lpList[i]->hSocket == m_hSocket && m_hSocket >= 0)
            lpList[uKeep++] = lpList[i];
    if (uKeep)
        qvUdpSendBatch(m_hSocket, lpList, uKeep);
    for (u32 i = 0; i < uKeep; i++)
        SendResult(lpList[i]->iErr, lpList[i]->iErr ? 0 : lpList[i]->uLen, lpList[i]->uWhich);
    m_Sect.Unlock();
}

u32 CQVSockDrivLAN::Send(u32, const QV_ADDR_S* lpAddr, const QV_BUF_S* lpBuf, const QV_ADDR_S*, u32)
{
    if (!m_uEnabled || !lpAddr || !lpBuf || !lpBuf->buf)
        return 0xFFFFFFFFu;
    if (m_Sect.Lock()) {
        for (LAN_PEER_S* p = m_lpPeerHead; p; p = p->lpNext)
            if (AddrEq(p->Addr, *lpAddr)) {
                p->uSendTick = m_uTick;
                p->uSent = 1;
                break;
            }
        m_Sect.Unlock();
    }
    return SockSend(lpBuf->buf + lpBuf->uOffset, lpBuf->uLen, lpAddr, 1);
}

u32 CQVSockDrivLAN::GetPeerInfo(u32, const QV_ADDR_S* lpPeer, u32* lpuType, QV_ADDR_S* lpLocal,
                                QV_ADDR_S* lpPeerSeen, QV_ADDR_S* lpThird)
{
    if (!m_uEnabled || !lpPeer)
        return 0;
    if (lpuType)
        *lpuType = NET_TYPE_LAN;
    if (lpLocal) {
        memset(lpLocal, 0, sizeof(*lpLocal));
        if (qvSelectAddr(lpLocal, lpPeer, 0))
            lpLocal->uPort = (u16)m_uPort;
    }
    if (lpPeerSeen)
        *lpPeerSeen = *lpPeer;
    if (lpThird)
        memset(lpThird, 0, sizeof(*lpThird));
    return 1;
}

u32 CQVSockDrivLAN::CheckAddr(u32, const QV_ADDR_S*) { return 0; }
u32 CQVSockDrivLAN::TryConnect(u32, const QV_ADDR_S*, const QV_ADDR_S*, u32) { return 0; }
u32 CQVSockDrivLAN::Delete(u32, const QV_ADDR_S*) { return 0; }

u32 CQVSockDrivLAN::SetInitProxy(const QV_ADDR_S* lpAddr)
{
    return lpAddr && qvAddrIPVer(lpAddr) != QV_ADDR_VER_NONE ? 1 : 0;
}

u32 CQVSockDrivLAN::SetLocalAddr(const QV_ADDR_S* lpAddr) { return lpAddr ? 1 : 0; }
u32 CQVSockDrivLAN::SetParam(u32, const void*, u32) { return 1; }
u32 CQVSockDrivLAN::GetParam(u32, void*, u32*) { return 1; }
u32 CQVSockDrivLAN::Control(u32, u32, void*, u32) { return 0; }

u32 CQVSockDrivLAN::ScanRequestBuild(u8* lpBuf, u32 uSize)
{
    memset(lpBuf, 0, LAN_HDR);
    lpBuf[1] = LAN_SCAN_REQ;
    if (!m_Sect.Lock())
        return 0;
    u32 uStr = qvStrPush(lpBuf + LAN_HDR, uSize - LAN_HDR < LAN_STR_MAX ? uSize - LAN_HDR : LAN_STR_MAX, m_szLabel);
    m_Sect.Unlock();
    return uStr ? LAN_HDR + uStr : 0;
}

void CQVSockDrivLAN::TryGetLocalAddr()
{
    QV_ADDR_S List[QV_LAN_LOCAL_MAX];
    memset(List, 0, sizeof(List));
    IQVSysNet* lpNet = qvGetSysNet();
    u32 uCount = lpNet ? lpNet->ListIPAddr(List, QV_LAN_LOCAL_MAX, 0) : 0;
    if (uCount > QV_LAN_LOCAL_MAX)
        uCount = QV_LAN_LOCAL_MAX;
    m_uLocalCount = 0;
    for (u32 i = 0; i < uCount; i++) {
        if (!List[i].uAddr[3])
            continue;
        m_AddrLocal[m_uLocalCount++] = List[i];
        char szAddr[QV_ADDR_STR_SIZE];
        if (!qvAddrToReadable(&List[i], szAddr, sizeof(szAddr)))
            szAddr[0] = 0;
        qvLogOut(2, "SockDrivLAN: TryGetLocalAddr, szAddrIP=%s", szAddr);
    }
}

void CQVSockDrivLAN::MsgScanLaunch(u32 uAge)
{
    if (!m_uEnabled)
        return;
    if (uAge && m_Sect.Lock()) {
        LanDropIf(uAge, 0);
        m_Sect.Unlock();
    }
    if (m_uIPVer == 0)
        TryGetLocalAddr();
    u8 Msg[LAN_HDR + LAN_STR_MAX];
    u32 uLen = ScanRequestBuild(Msg, sizeof(Msg));
    if (!uLen)
        return;
    QV_ADDR_S To;
    memset(&To, 0, sizeof(To));
    if (m_uIPVer == 1) {
        To.uAddr[0] = htonl(0xff020000);
        To.uAddr[3] = htonl(1);
    } else {
        To.uAddr[3] = htonl(INADDR_BROADCAST);
    }
    for (u32 uPass = 0; uPass < 3; uPass++) {
        for (u32 i = 0; i < QV_LAN_PORT_COUNT; i++) {
            To.uPort = (u16)(QV_LAN_PORT_BASE + i);
            SockSend(Msg, uLen, &To, 0);
        }
        qvSleep(LAN_PASS_PAUSE);
    }
    qvLogOut(2, "SockDrivLAN::MsgScanLaunch: send %s broadcast finish.", m_uIPVer == 1 ? "IPv6" : "IPv4");
    if (m_uIPVer == 1 || m_uLocalCount == 0) {
        qvLogOut(2, "SockDrivLAN::MsgScanLaunch: not a invalid IPv4 local address.");
        return;
    }
    for (u32 uPass = 0; uPass < 3; uPass++) {
        for (u32 k = 0; k < m_uLocalCount; k++) {
            To = m_AddrLocal[k];
            ((u8*)&To.uAddr[3])[3] = 255;
            for (u32 i = 0; i < QV_LAN_PORT_COUNT; i++) {
                To.uPort = (u16)(QV_LAN_PORT_BASE + i);
                SockSend(Msg, uLen, &To, 0);
            }
        }
        qvSleep(LAN_PASS_PAUSE);
    }
    qvLogOut(2, "SockDrivLAN: MsgScanLaunch: send subnet broadcast finish.");
    if (!m_lpProc || !m_lpProc->OnPostMessage(QV_SOCK_DRIV_LAN, 2, 0, 0))
        qvLogOut(0, "SockDrivLAN: MsgScanLaunch: Send unicast start message failed..");
    qvLogOut(2, "SockDrivLAN: MsgScanLaunch: finish.");
}

void CQVSockDrivLAN::MsgScanUnicast(u32 uPos)
{
    if (!m_uEnabled || m_uIPVer != 0 || uPos > LAN_SWEEP_END)
        return;
    u8 Msg[LAN_HDR + LAN_STR_MAX];
    u32 uLen = ScanRequestBuild(Msg, sizeof(Msg));
    if (!uLen)
        return;
    for (u32 k = 0; k < m_uLocalCount; k++) {
        for (u32 j = uPos; j < uPos + LAN_SWEEP_STEP && j <= LAN_SWEEP_END; j++) {
            u32 uHost = j & 0xFF;
            if (uHost < 1 || uHost > 254)
                continue;
            QV_ADDR_S To = m_AddrLocal[k];
            ((u8*)&To.uAddr[3])[3] = (u8)uHost;
            To.uPort = (u16)(QV_LAN_PORT_BASE + j / 256);
            SockSend(Msg, uLen, &To, 0);
        }
    }
    u32 uNext = uPos + LAN_SWEEP_STEP;
    if (m_uEnabled && uNext <= LAN_SWEEP_END) {
        if (!m_lpProc || !m_lpProc->OnPostMessage(QV_SOCK_DRIV_LAN, 2, uNext, 0)) {
            qvPrintf("SockDrivLAN: MsgScanUnicast: Send unicast message failed. uNextPos=%u", uNext);
            qvLogOut(0, "SockDrivLAN: MsgScanUnicast: Send unicast message failed. uNextPos=%u", uNext);
        }
    }
}

// Caller holds the lock. uBySendGap 0: drop peers neither sent to nor heard from for
// more than uAge ticks; 1: drop peers we kept sending to for more than uAge ticks after
// the last datagram we heard from them.
void CQVSockDrivLAN::LanDropIf(u32 uAge, u32 uBySendGap)
{
    LAN_PEER_S** pp = &m_lpPeerHead;
    LAN_PEER_S* lpPrev = nullptr;
    while (*pp) {
        LAN_PEER_S* p = *pp;
        bool bDrop;
        if (uBySendGap)
            bDrop = (s32)(p->uSendTick - p->uRecvTick) > (s32)uAge;
        else
            bDrop = m_uTick - p->uSendTick > uAge && m_uTick - p->uRecvTick > uAge;
        if (bDrop) {
            LanUnlink(lpPrev, p);
            continue;
        }
        lpPrev = p;
        pp = &p->lpNext;
    }
}

void CQVSockDrivLAN::LanAdd(const QV_ADDR_S* lpAddr, const char* lpszPeerID)
{
    char szAddr[QV_ADDR_STR_SIZE];
    if (!qvAddrToReadable(lpAddr, szAddr, sizeof(szAddr)))
        szAddr[0] = 0;
    if (!m_Sect.Lock())
        return;
    LAN_PEER_S* p = m_lpPeerHead;
    while (p && strcmp(p->szPeerID, lpszPeerID) != 0)
        p = p->lpNext;
    if (p) {
        p->Addr = *lpAddr;
        p->uSendTick = p->uRecvTick = m_uTick;
    } else if (m_uPeerCount < QV_LAN_PEER_MAX || LanEvictStalest()) {
        p = new (std::nothrow) LAN_PEER_S;
        if (p) {
            memset(p, 0, sizeof(*p));
            p->Addr = *lpAddr;
            p->uSendTick = p->uRecvTick = m_uTick;
            strcpy(p->szPeerID, lpszPeerID);
            if (m_lpPeerTail)
                m_lpPeerTail->lpNext = p;
            else
                m_lpPeerHead = p;
            m_lpPeerTail = p;
            m_uPeerCount++;
            if (m_uAddLogTick != m_uTick) {
                if (m_uAddLogMissed)
                    qvLogOut(1, "SockDrivLAN: LanAdd, %u more peers not logged", m_uAddLogMissed);
                m_uAddLogTick = m_uTick;
                m_uAddLogs = 0;
                m_uAddLogMissed = 0;
            }
            if (m_uAddLogs < LAN_ADD_LOGS_PER_TICK) {
                m_uAddLogs++;
                qvPrintf("CQVSockDrivLAN::LanAdd, Addr=%s, Peer=%s", szAddr, lpszPeerID);
                qvLogOut(1, "SockDrivLAN: LanAdd, Addr=%s, Peer=%s", szAddr, lpszPeerID);
            } else {
                m_uAddLogMissed++;
            }
        }
    }
    m_Sect.Unlock();
}

u32 CQVSockDrivLAN::SelectProc(int hSocket, u32 uEvents, u32, u32)
{
    if (!m_uEnabled || hSocket != m_hSocket || !(uEvents & 1) || !m_BufRecv.buf)
        return 0;
    if (!m_In.IsReady() && !m_In.Alloc(LAN_RECV_BATCH, m_BufRecv.uSize))
        return 0;
    // Everything queued is taken on one wake, a batch per call, up to a bound so that the
    // other descriptors of the loop get their turn.
    u32 uAny = 0;
    // Datagrams of a coalesced read left over from the last round are taken in any case.
    for (u32 uRound = 0; uRound < LAN_RECV_ROUNDS || m_In.Pending(); uRound++) {
        // Read under the lock for the same reason as SockSend writes under it.
        if (!m_Sect.Lock())
            return uAny;
        u32 n = hSocket == m_hSocket ? m_In.Receive(hSocket, uRound < LAN_RECV_ROUNDS) : 0;
        m_Sect.Unlock();
        for (u32 i = 0; i < n; i++) {
            QV_ADDR_S From;
            if (m_In.Len(i) >= LAN_HDR && m_In.From(i, &From) && DgramProc(m_In.Data(i), m_In.Len(i), From))
                uAny = 1;
        }
        if (!n || (n < m_In.Count() && !m_In.Pending()))
            break;
    }
    return uAny;
}

u32 CQVSockDrivLAN::DgramProc(u8* lpData, u32 uLen, const QV_ADDR_S& From)
{
    // Our own broadcasts come back to us.
    if (From.uPort == m_uPort)
        for (u32 i = 0; i < m_uLocalCount; i++)
            if (m_AddrLocal[i].uAddr[3] == From.uAddr[3] && qvAddrIPVer(&From) == QV_ADDR_VER_IPV4)
                return 0;
    if (lpData[1] >= LAN_SCAN_REQ) {
        char szAddr[QV_ADDR_STR_SIZE];
        if (!qvAddrToReadable(&From, szAddr, sizeof(szAddr)))
            szAddr[0] = 0;
        qvPrintf("CQVSockDrivLAN::SelectProc, receive data. Addr=%s", szAddr);
        if (uLen < LAN_MSG_MIN)
            return 0;
        u32 uStrLen = 0;
        const char* lpszStr = qvStrPop((const u8*)lpData + LAN_HDR, uLen - LAN_HDR, nullptr, &uStrLen);
        if (!lpszStr)
            return 0;
        if (lpData[1] == LAN_SCAN_REQ) {
            u8 Rep[LAN_HDR + LAN_STR_MAX];
            memset(Rep, 0, LAN_HDR);
            Rep[1] = LAN_SCAN_REP;
            if (!m_Sect.Lock())
                return 0;
            u32 uStr = 0;
            if (!m_szLabel[0] || !lpszStr[0] || strcmp(m_szLabel, lpszStr) == 0)
                uStr = qvStrPush(Rep + LAN_HDR, LAN_STR_MAX, m_szPeerID);
            m_Sect.Unlock();
            if (uStr)
                SockSend(Rep, LAN_HDR + uStr, &From, 1);
        } else if (lpData[1] == LAN_SCAN_REP) {
            // A peer ID longer than a LAN peer record can hold is refused.
            if (uStrLen >= sizeof(((LAN_PEER_S*)nullptr)->szPeerID))
                return 0;
            LanAdd(&From, lpszStr);
        }
        return 0;
    }
    if (m_Sect.Lock()) {
        for (LAN_PEER_S* p = m_lpPeerHead; p; p = p->lpNext)
            if (AddrEq(p->Addr, From)) {
                p->uRecvTick = m_uTick;
                break;
            }
        m_Sect.Unlock();
    }
    QV_BUF_S Buf;
    memset(&Buf, 0, sizeof(Buf));
    Buf.buf = lpData;
    Buf.uSize = m_In.Size();
    Buf.uLen = uLen;
    if (m_lpProc)
        m_lpProc->OnData(QV_SOCK_DRIV_LAN, &From, &Buf, 0);
    return 1;
}

u32 CQVSockDrivLAN::MessageProc(u32 uMsg, u32 uParam0, u32)
{
    if (uMsg == 1)
        MsgScanLaunch(uParam0);
    else if (uMsg == 2)
        MsgScanUnicast(uParam0);
    return 1;
}

u32 CQVSockDrivLAN::TimerProc(u32)
{
    if (!m_Sect.Lock()) {
        m_uTick++;
        return 1;
    }
    m_uTick++;
    if (m_uEnabled)
        LanDropIf(LAN_SILENT_DROP, 1);
    m_Sect.Unlock();
    return 1;
}

u32 CQVSockDrivLAN::PrivEnable(u32 uOn, u32 uIPVer, const char* lpszPeerID, const char* lpszLabel)
{
    if (m_uSide)
        return 0;
    if (uOn) {
        // The peer ID must fit a LAN peer record at the far end, the label a scan request
        // (else every scan would go out empty-handed while the switch reports success).
        if (uIPVer > 1 || (lpszPeerID && strlen(lpszPeerID) >= sizeof(m_szPeerID)) ||
            (lpszLabel && strlen(lpszLabel) > LAN_LABEL_MAX))
            return 0;
        // A switch to the other IP version needs a socket of that family.
        if (m_uEnabled && uIPVer != m_uIPVer)
            SockEnable(0, m_uIPVer);
        // The ID and label are in place before the socket can read a scan request: a socket
        // without its label would answer the scans of every other label meanwhile.
        char szOldID[sizeof(m_szPeerID)];
        char szOldLabel[sizeof(m_szLabel)];
        if (!m_Sect.Lock())
            return 0;
        memcpy(szOldID, m_szPeerID, sizeof(szOldID));
        memcpy(szOldLabel, m_szLabel, sizeof(szOldLabel));
        strcpy(m_szPeerID, lpszPeerID ? lpszPeerID : "");
        strcpy(m_szLabel, lpszLabel ? lpszLabel : "");
        m_Sect.Unlock();
        if (!SockEnable(1, uIPVer)) {
            if (m_Sect.Lock()) {
                memcpy(m_szPeerID, szOldID, sizeof(szOldID));
                memcpy(m_szLabel, szOldLabel, sizeof(szOldLabel));
                m_Sect.Unlock();
            }
            return 0;
        }
        m_uIPVer = uIPVer;
        qvPrintf("SockDrivLAN: PrivEnable: Peer=%s, Label=%s", m_szPeerID, m_szLabel);
        qvLogOut(3, "SockDrivLAN: PrivEnable: Peer=%s, Label=%s", m_szPeerID, m_szLabel);
        m_uPrivEnabled = 1;
        return 1;
    }
    SockEnable(0, m_uIPVer);
    if (m_Sect.Lock()) {
        m_szPeerID[0] = 0;
        m_szLabel[0] = 0;
        m_Sect.Unlock();
    }
    m_uIPVer = 2;
    m_uPrivEnabled = 0;
    return 1;
}

u32 CQVSockDrivLAN::PrivReEnable()
{
    if (m_uSide)
        return 0;
    if (!m_uEnabled)
        return 1;
    if (m_lpProc)
        m_lpProc->OnSetSock(QV_SOCK_DRIV_LAN, m_hSocket, 0, 0);
    if (!m_Sect.Lock())
        return 0;
    SockClose();
    u32 uOk = SockOpen(m_uIPVer);
    m_Sect.Unlock();
    if (!uOk) {
        m_uEnabled = 0;
        if (m_lpProc)
            m_lpProc->OnPostMessage(QV_SOCK_DRIV_LAN, 0, 0, 0);
        return 0;
    }
    if (m_lpProc) {
        m_lpProc->OnSetSock(QV_SOCK_DRIV_LAN, m_hSocket, 1, 0);
        m_lpProc->OnPostMessage(QV_SOCK_DRIV_LAN, 0, 1, 0);
    }
    qvPrintf("CQVSockDrivLAN::PrivReEnable: success");
    return 1;
}

u32 CQVSockDrivLAN::PrivIsAddrExist(const QV_ADDR_S* lpAddr)
{
    if (m_uSide || !m_uEnabled || !lpAddr || !m_Sect.Lock())
        return 0;
    u32 uRes = 0;
    for (LAN_PEER_S* p = m_lpPeerHead; p && !uRes; p = p->lpNext)
        if (AddrEq(p->Addr, *lpAddr))
            uRes = 1;
    m_Sect.Unlock();
    return uRes;
}

u32 CQVSockDrivLAN::PrivScanLaunch(u32 uAge)
{
    if (m_uSide || !m_uEnabled || m_uIPVer > 1 || !m_lpProc)
        return 0;
    if (!m_uSendErr)
        return m_lpProc->OnPostMessage(QV_SOCK_DRIV_LAN, 1, uAge, 0);
    return m_lpProc->OnPostMessage(QV_SOCK_DRIV_NONE, 128, uAge, 0);
}

u32 CQVSockDrivLAN::PrivScanGetResult(QV_SKT_LAN_PEER_S* lpList, u32 uSize)
{
    if (m_uSide || !m_uEnabled || !m_Sect.Lock())
        return 0;
    u32 uCount = 0;
    for (LAN_PEER_S* p = m_lpPeerHead; p; p = p->lpNext) {
        if (lpList) {
            if (uCount >= uSize)
                break;
            lpList[uCount].Addr = p->Addr;
            memcpy(lpList[uCount].szPeerID, p->szPeerID, sizeof(lpList[uCount].szPeerID));
        }
        uCount++;
    }
    m_Sect.Unlock();
    return uCount;
}

u32 CQVSockDrivLAN::PrivScanHasResult(const char* lpszPeerID)
{
    if (m_uSide || !m_uEnabled || !lpszPeerID || !m_Sect.Lock())
        return 0;
    u32 uRes = 0;
    for (LAN_PEER_S* p = m_lpPeerHead; p; p = p->lpNext)
        if (strcmp(p->szPeerID, lpszPeerID) == 0 && m_uTick - p->uRecvTick < LAN_RECENT) {
            qvLogOut(3, "QVSocketLAN::PrivScanHasResult: Get it!");
            uRes = 1;
            break;
        }
    m_Sect.Unlock();
    return uRes;
}
