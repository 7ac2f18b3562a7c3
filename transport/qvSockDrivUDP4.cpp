// UDP over IPv4 driver core: sessions, local port choice, the control message
// dispatcher, the 0x80 tunnel header, the session sweep, the local address table,
// the NAT64 paths and the millisecond timer.
#include "qvSockDrivUDP4.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "qvLog.h"
#include "qvSysNet.h"
#include "qvUtilize.h"

static const u32 UDP4_BUF_SIZE = 4096;
// Datagrams per read of the main socket, and reads per wake at most.
static const u32 UDP4_RECV_BATCH = 32;
static const u32 UDP4_RECV_ROUNDS = 8;
// Datagrams shorter than this carry nothing we handle.
static const u32 UDP4_MIN_DGRAM = 5;
// Port choice when none is configured: a random start in 32768..49151, 32 tries.
static const u32 UDP4_PORT_BASE = 32768;
static const u32 UDP4_PORT_SPAN = 16384;
static const u32 UDP4_PORT_TRIES = 32;
// Error limit handed to the sockets.
static const u32 UDP4_ERR_LIMIT = 8;
// Idle session lifetimes in ticks, without and with a forward part.
static const u32 UDP4_SESS_IDLE = 60;
static const u32 UDP4_SESS_IDLE_FWD = 150;
// Sessions kept at most. A tunnel header makes a session for an address that is only payload
// bytes, so any sender could otherwise grow the table without end; past the cap the session
// idle longest gives way. At about 100 bytes each the table stays under half a MiB.
static const u32 UDP4_SESS_MAX = 4096;
// Sessions per hash bucket on average at the cap.
static const u32 UDP4_SESS_PER_BUCKET = 4;
// A NAT64 or IPv4 path that sent this many ticks without a reply is paced by its back-off.
static const u32 UDP4_PATH_SILENT = 30;
// Server errors are reported at most this often (ticks).
static const u32 UDP4_ERR_REPORT_GAP = 4;
// Errors that mean "no route": reported only while this driver carries the main connection.
static const int UDP4_ENETUNREACH = 101;
static const int UDP4_EHOSTUNREACH = 113;
// The network-changed report repeats on this many ticks.
static const u32 UDP4_CHANGE_REPORTS = 8;
// Source address selection failures tolerated before the change check goes on.
static const u32 UDP4_SELECT_FAIL_MAX = 9;
// Tunnel data header.
static const u32 UDP4_TUNNEL_HDR = 12;
// TTL of hit-hole packets: far enough to open our NAT, not to reach the peer's.
static const u32 UDP4_HIT_TTL = 4;
// Fall-back target of the local address check (a documentation address: only used to
// pick a source address, nothing is sent to it).
static const u32 UDP4_DEF_SERVER_IP = 0xC0000201;   // 192.0.2.1
static const u16 UDP4_DEF_SERVER_PORT = 7781;

u32 qvUdp4CtlMinLen(u32 uType)
{
    switch (uType) {
    case 0x80: return 12;
    case 0x82: return 44;
    case 0x84: return 44;
    case 0x86: return 44;
    case 0x89: return 44;
    case 0x8a: return 44;
    case 0x8b: return 20;
    case 0x8c: return 20;
    case 0x8e: return 12;
    case 0x90: return 84;
    case 0x92: return 84;
    case 0x93: return 36;
    case 0x94: return 36;
    case 0x95: return 20;
    case 0x96: return 20;
    case 0x97: return 36;
    case 0x98: return 36;
    case 0xa1: return 32;
    case 0xa2: return 44;
    case 0xa4: return 24;
    case 0xa5: return 28;
    case 0xa6: return 40;
    case 0xa7: return 32;
    default: return 0;
    }
}

static QV_UDP4_ADDR_S ToUdp4(const QV_ADDR_S& A)
{
    QV_UDP4_ADDR_S R;
    R.uIP = A.uAddr[3];
    R.usPort = A.uPort;
    R.usFlags = A.uExtra;
    return R;
}

static QV_ADDR_S FromUdp4(const QV_UDP4_ADDR_S& A)
{
    QV_ADDR_S R;
    memset(&R, 0, sizeof(R));
    R.uAddr[3] = A.uIP;
    R.uPort = A.usPort;
    R.uExtra = A.usFlags;
    return R;
}

static bool Udp4Eq(const QV_UDP4_ADDR_S& A, const QV_UDP4_ADDR_S& B)
{
    return A.uIP == B.uIP && A.usPort == B.usPort;
}

static const char* Udp4Text(const QV_UDP4_ADDR_S& A, char* lpszBuf, u32 uSize)
{
    const u8* p = (const u8*)&A.uIP;
    snprintf(lpszBuf, uSize, "%u.%u.%u.%u:%u", p[0], p[1], p[2], p[3], A.usPort);
    return lpszBuf;
}

// Private interface and helpers.

u32 CQVSockDrivUDP4Priv::SetConfig(u32 uItem, void* lpData) { return m_lpDriv->PrivSetConfig(uItem, lpData); }
u32 CQVSockDrivUDP4Priv::GetForwardStatus(QV_SKT_UDP4_FWD_STATUS_S* lpStatus)
{
    return m_lpDriv->PrivGetForwardStatus(lpStatus);
}
u32 CQVSockDrivUDP4Priv::GetForwardRelayStat(QV_SKT_UDP4_FWD_STAT_S* lpStat)
{
    return m_lpDriv->PrivGetForwardRelayStat(lpStat);
}
u32 CQVSockDrivUDP4Priv::GetForwardHoleStat(QV_SKT_UDP4_FWD_STAT_S* lpSend, QV_SKT_UDP4_FWD_STAT_S* lpRecv)
{
    return m_lpDriv->PrivGetForwardHoleStat(lpSend, lpRecv);
}

u32 CQVSockDrivUDP4Timer::Enable(u32 uTimeoutMs)
{
    if (m_uTimer)
        return 1;
    m_uTimer = qvTimerAdd(uTimeoutMs, this, 0);
    qvPrintf("CQVSocketUDP4Timer::Enable, status=1, uTimeout=%u", uTimeoutMs);
    return m_uTimer ? 1 : 0;
}

void CQVSockDrivUDP4Timer::Disable()
{
    if (!m_uTimer)
        return;
    qvTimerDelete(m_uTimer);
    m_uTimer = 0;
    qvPrintf("CQVSocketUDP4Timer::Enable, status=0");
}

void CQVSockDrivUDP4Timer::OnTimer(u32, u32)
{
    if (m_lpDriv)
        m_lpDriv->OnMilliSecTimer();
}

void CQVSockDrivUDP4Socket::OnError(int iErrNo, const QV_ADDR_S* lpAddr)
{
    if (m_lpDriv)
        m_lpDriv->OnSocketError(m_uIndex, iErrNo, lpAddr);
}

// Forward client statistics: nothing is ever forwarded in this build.
u32 CQVSockDrivUDP4FwdClt::GetForwardStatus(QV_SKT_UDP4_FWD_STATUS_S* lpStatus)
{
    if (!lpStatus)
        return 0;
    memset(lpStatus, 0, sizeof(*lpStatus));
    return 1;
}

u32 CQVSockDrivUDP4FwdClt::GetForwardRelayStat(QV_SKT_UDP4_FWD_STAT_S* lpStat)
{
    if (!lpStat)
        return 0;
    memset(lpStat, 0, sizeof(*lpStat));
    return 1;
}

u32 CQVSockDrivUDP4FwdClt::GetForwardHoleStat(QV_SKT_UDP4_FWD_STAT_S* lpSend, QV_SKT_UDP4_FWD_STAT_S* lpRecv)
{
    if (!lpSend || !lpRecv)
        return 0;
    memset(lpSend, 0, sizeof(*lpSend));
    memset(lpRecv, 0, sizeof(*lpRecv));
    return 1;
}

// Hole client: the parts the driver core relies on.

void CQVSockDrivUDP4HoleClt::Reset()
{
    memset(&m_AddrLocal, 0, sizeof(m_AddrLocal));
    memset(&m_AddrServer, 0, sizeof(m_AddrServer));
    memset(&m_AddrPub, 0, sizeof(m_AddrPub));
}

u32 CQVSockDrivUDP4HoleClt::IsOwnAddr(const QV_UDP4_ADDR_S* lpAddr) const
{
    return m_AddrPub.uIP && Udp4Eq(m_AddrPub, *lpAddr) ? 1 : 0;
}

u32 CQVSockDrivUDP4HoleClt::SessAlloc(QV_UDP4_SESS_S* lpSess)
{
    lpSess->uHoleFlags = 0;
    memset(&lpSess->AddrHole, 0, sizeof(lpSess->AddrHole));
    lpSess->lpHole = lpSess;
    return 1;
}

void CQVSockDrivUDP4HoleClt::SessFree(QV_UDP4_SESS_S* lpSess)
{
    lpSess->lpHole = nullptr;
}

void CQVSockDrivUDP4HoleClt::SessReset(QV_UDP4_SESS_S* lpSess)
{
    lpSess->uHoleFlags = 0;
    memset(&lpSess->AddrHole, 0, sizeof(lpSess->AddrHole));
}

// A session is usable once a packet of the peer told us the address it arrives from.
u32 CQVSockDrivUDP4HoleClt::SessConnect(QV_UDP4_SESS_S* lpSess)
{
    return (lpSess->uHoleFlags & 0x20) && lpSess->AddrHole.uIP && lpSess->AddrHole.usPort ? 1 : 0;
}

u32 CQVSockDrivUDP4HoleClt::SessSend(QV_UDP4_SESS_S* lpSess, const QV_BUF_S* lpBuf)
{
    if (!SessConnect(lpSess))
        return 0xFFFFFFFFu;
    return m_lpDriv->SockSend(lpBuf->buf + lpBuf->uOffset, lpBuf->uLen, &lpSess->AddrHole, 0);
}

u32 CQVSockDrivUDP4HoleClt::SessGetPeerInfo(QV_UDP4_SESS_S* lpSess, u32* lpuType, QV_UDP4_ADDR_S* lpA,
                                            QV_UDP4_ADDR_S* lpB, QV_UDP4_ADDR_S* lpC)
{
    (void)lpA, (void)lpC;
    if (!SessConnect(lpSess))
        return 0;
    if (lpuType)
        *lpuType = 0;
    if (lpB)
        *lpB = lpSess->AddrHole;
    return 1;
}

void CQVSockDrivUDP4HoleClt::LearnHoleAddr(QV_UDP4_SESS_S* lpSess, const QV_UDP4_ADDR_S* lpPath, u32 uInnerIsOwnPub)
{
    lpSess->AddrHole = *lpPath;
    lpSess->uHoleFlags |= uInnerIsOwnPub ? 0x1 : 0x20;
}

void CQVSockDrivUDP4HoleClt::DataReceive(const QV_UDP4_ADDR_S* lpPeer, const QV_BUF_S* lpBuf,
                                         const QV_UDP4_ADDR_S* lpPath)
{
    IQVSocketProc* lpProc = m_lpDriv->GetProc();
    QV_ADDR_S Peer = FromUdp4(*lpPeer);
    Peer.uExtra = 0;
    if (!(m_AddrServer.uIP && Udp4Eq(m_AddrServer, *lpPeer))) {
        m_lpDriv->OnPeerPacket(lpPeer, lpPath);
    }
    if (lpProc)
        lpProc->OnData(QV_SOCK_DRIV_UDP4, &Peer, lpBuf, 0);
}

// The driver.

CQVSockDrivUDP4::CQVSockDrivUDP4()
    : m_lpContext(nullptr), m_lpProc(nullptr), m_uBare(0), m_uTableSize(0), m_uCfg2(0), m_uCfg3(0), m_uTick(0),
      m_uMainDriv(0), m_uEnabled(0),
      m_uErrReportTick(0), m_uLocalGen(0), m_uChangeCount(0), m_uSelectFail(0), m_uV4SendTick(0), m_uV4RecvTick(0),
      m_uV4Backoff(0), m_uNat64Count(0), m_uGateCount(0)
{
    m_Priv.Attach(this);
    m_Timer.Attach(this);
    m_NatAgeClt.Attach(this);
    m_HoleClt.Attach(this, &m_NatAgeClt, &m_FwdClt);
    m_FwdClt.Attach(this, &m_HoleClt);
    m_Sock[0].Attach(this, 0);
    m_Sock[1].Attach(this, 1);
    memset(&m_AddrConfig, 0, sizeof(m_AddrConfig));
    memset(&m_AddrServer, 0, sizeof(m_AddrServer));
    memset(&m_AddrChosen, 0, sizeof(m_AddrChosen));
    m_AddrServerDef.uIP = htonl(UDP4_DEF_SERVER_IP);
    m_AddrServerDef.usPort = UDP4_DEF_SERVER_PORT;
    m_AddrServerDef.usFlags = 0;
    memset(m_Local, 0, sizeof(m_Local));
    memset(m_Nat64, 0, sizeof(m_Nat64));
    memset(&m_BufRecv, 0, sizeof(m_BufRecv));
}

CQVSockDrivUDP4::~CQVSockDrivUDP4()
{
    m_Timer.Disable();
    SessFreeAll();
    m_SessHash.Clean();
    m_Sock[0].Close();
    m_Sock[1].Close();
    qvBufFree(&m_BufRecv);
}

void* CQVSockDrivUDP4::GetPrivate(u32)
{
    return static_cast<IQVSocketUDP4Priv*>(&m_Priv);
}

// The key is chosen by whoever sends a tunnel header: the address is mixed with a seed
// drawn per driver, so that no sender can aim its sessions at one bucket.
u32 CQVSockDrivUDP4::SessHashCode(const QV_UDP4_ADDR_S* lpAddr) const
{
    u32 h = (lpAddr->uIP ^ m_uHashSeed) * 0x9E3779B1u;
    h ^= ((u32)lpAddr->usPort + (m_uHashSeed >> 16)) * 0x85EBCA77u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 13;
    return h;
}

u32 CQVSockDrivUDP4::SessHashInit(u32 uTableSize)
{
    u32 uNeed = uTableSize / 256;
    if (uNeed < UDP4_SESS_MAX / UDP4_SESS_PER_BUCKET)
        uNeed = UDP4_SESS_MAX / UDP4_SESS_PER_BUCKET;
    u32 uCount = 1;
    while (uCount < uNeed)
        uCount <<= 1;
    if (uCount < 32)
        uCount = 32;
    m_uHashSeed = ((u32)rand() << 16) ^ (u32)rand() ^ GET_TIMESTAMP();
    return m_SessHash.Init(uCount);
}

u32 CQVSockDrivUDP4::Initialize(void* lpContext, IQVSocketProc* lpProc, const QV_SOCK_DRIV_CFG_S* lpCfg)
{
    m_lpContext = lpContext;
    m_lpProc = lpProc;
    if (lpCfg) {
        m_uBare = lpCfg->uSide;
        m_uTableSize = lpCfg->uTableSize;
        m_uCfg2 = lpCfg->uSendQueSum;
        m_uCfg3 = lpCfg->uNodeOption;
    }
    const char* lpszFail = nullptr;
    if (!m_BufRecv.buf && !qvBufAlloc(&m_BufRecv, UDP4_BUF_SIZE, 0))
        lpszFail = "SockDrivUDP4: Initialize, Alloc receive buffer failed";
    else if (!m_uBare && !m_SessHash.m_pBucket && !SessHashInit(m_uTableSize))
        lpszFail = "SockDrivUDP4: Initialize, session list init failed";
    else if (!m_uBare && !m_NatAgeClt.Init())
        lpszFail = "SockDrivUDP4: Initialize, Nat age client init failed";
    else if (!m_uBare && !m_HoleClt.Init())
        lpszFail = "SockDrivUDP4: Initialize, Hole client init failed";
    else if (!m_uBare && !m_FwdClt.Init())
        lpszFail = "SockDrivUDP4: Initialize, Forward client init failed";
    if (lpszFail) {
        qvLogOut(0, "%s", lpszFail);
        Clean();
        return 0;
    }
    m_uTick = 0;
    m_uErrReportTick = 0;
    m_uMainDriv = 0;
    qvLogOut(0, "SockDrivUDP4: Initialize, success");
    return 1;
}

u32 CQVSockDrivUDP4::SockOpen()
{
    QV_ADDR_S Bind;
    memset(&Bind, 0, sizeof(Bind));
    if (m_AddrConfig.usFlags & 1)
        Bind.uAddr[3] = m_AddrConfig.uIP;
    u32 uPort = m_AddrConfig.usPort;
    u32 uOk = 0;
    if (uPort == 0) {
        u32 uStart = UDP4_PORT_BASE + (u32)rand() % UDP4_PORT_SPAN;
        for (u32 i = 0; i < UDP4_PORT_TRIES && !uOk; i++) {
            Bind.uPort = (u16)(uStart + i);
            if (m_Sock[0].Config("SockUDP4", 0, &Bind, m_uBare, m_uTableSize, m_uCfg2, UDP4_ERR_LIMIT) &&
                m_Sock[0].Open())
                uOk = 1;
        }
        Bind.uPort = 0;
    }
    if (!uOk) {
        Bind.uPort = (u16)uPort;
        if (!m_Sock[0].Config("SockUDP4", 0, &Bind, m_uBare, m_uTableSize, m_uCfg2, UDP4_ERR_LIMIT) ||
            !m_Sock[0].Open()) {
            qvLogOut(0, "SockDrivUDP4: SockOpen, Open udp4 socket failed");
            SockCloseAll();
            return 0;
        }
    }
    QV_ADDR_S Local;
    memset(&Local, 0, sizeof(Local));
    m_Sock[0].GetAddr(&Local);
    m_AddrChosen.usPort = Local.uPort;
    if (Local.uAddr[3])
        m_AddrChosen.uIP = Local.uAddr[3];
    if (!m_uBare)
        m_HoleClt.SetLocalAddr(&m_AddrChosen);
    if (m_uNat64Count && !m_Sock[1].IsOpened())
        SockOpenNat64();
    return 1;
}

u32 CQVSockDrivUDP4::SockOpenNat64()
{
    if (m_uBare)
        return 0;
    QV_ADDR_S Any;
    memset(&Any, 0, sizeof(Any));
    if (!m_Sock[1].Config("SockUDP4Nat64", 1, &Any, 0, m_uTableSize, m_uCfg2, UDP4_ERR_LIMIT) || !m_Sock[1].Open()) {
        qvLogOut(0, "SockDrivUDP4: SockOpen, Open upd6 socket failed");
        return 0;
    }
    return 1;
}

void CQVSockDrivUDP4::SockCloseAll()
{
    m_Sock[0].Close();
    m_Sock[1].Close();
}

u32 CQVSockDrivUDP4::Enable(u32 uFlag)
{
    if (uFlag) {
        if (m_uEnabled)
            return 1;
        if (!m_Sect.Lock())
            return 0;
        u32 uOk = m_Sock[0].IsOpened() ? 1 : SockOpen();
        m_Sect.Unlock();
        if (!uOk)
            return 0;
        for (u32 i = 0; i < 2; i++) {
            int hSock = -1;
            if (m_Sock[i].IsOpened() && m_Sock[i].GetSocket(&hSock, 1) && m_lpProc)
                m_lpProc->OnSetSock(QV_SOCK_DRIV_UDP4, hSock, 1, i);
        }
        m_uEnabled = 1;
        if (!m_uBare) {
            if (m_lpProc)
                m_lpProc->OnPostMessage(QV_SOCK_DRIV_UDP4, 0, 1, 0);
            m_HoleClt.Enable();
        }
        return 1;
    }
    if (!m_uEnabled)
        return 1;
    m_uEnabled = 0;
    for (u32 i = 0; i < 2; i++) {
        int hSock = -1;
        if (m_Sock[i].IsOpened() && m_Sock[i].GetSocket(&hSock, 1) && m_lpProc)
            m_lpProc->OnSetSock(QV_SOCK_DRIV_UDP4, hSock, 0, 0);
    }
    if (!m_uBare && m_lpProc)
        m_lpProc->OnPostMessage(QV_SOCK_DRIV_UDP4, 0, 0, 0);
    if (m_Sect.Lock()) {
        SockCloseAll();
        SessFreeAll();
        m_Sect.Unlock();
    }
    if (!m_uBare)
        m_HoleClt.Disable();
    return 1;
}

void CQVSockDrivUDP4::Clean()
{
    m_uEnabled = 0;
    m_Timer.Disable();
    if (!m_uBare) {
        m_FwdClt.Clean();
        m_HoleClt.Clean();
        m_NatAgeClt.Clean();
        if (m_Sect.Lock()) {
            SessFreeAll();
            m_Sect.Unlock();
        }
        m_SessHash.Clean();
        memset(m_Local, 0, sizeof(m_Local));
    }
    m_Sock[1].Close();
    m_Sock[0].Close();
    qvBufFree(&m_BufRecv);
    m_In.Free();
    m_lpContext = nullptr;
}

// Sessions (caller holds the driver mutex).

QV_UDP4_SESS_S* CQVSockDrivUDP4::SessSearch(const QV_UDP4_ADDR_S* lpAddr)
{
    if (!m_SessHash.m_pBucket)
        return nullptr;
    return m_SessHash.Find<QV_UDP4_SESS_S>(SessHashCode(lpAddr),
                                           [&](QV_UDP4_SESS_S* s) { return Udp4Eq(s->Key, *lpAddr); });
}

QV_UDP4_SESS_S* CQVSockDrivUDP4::SessAlloc(const QV_UDP4_ADDR_S* lpAddr, const QV_UDP4_ADDR_S* lpSecond, u32 uCreate)
{
    QV_UDP4_SESS_S* s = SessSearch(lpAddr);
    if (s) {
        if (lpSecond && (lpSecond->uIP || lpSecond->usPort))
            s->Second = *lpSecond;
        return s;
    }
    if (!uCreate || !m_SessHash.m_pBucket)
        return nullptr;
    // The list runs from the session idle longest to the one active last.
    if (m_SessList.Count() >= UDP4_SESS_MAX) {
        QV_UDP4_SESS_S* lpOld = m_SessList.Head();
        if (lpOld)
            SessFreeOne(lpOld);
        m_uSessEvicted++;
    }
    s = new (std::nothrow) QV_UDP4_SESS_S;
    if (!s)
        return nullptr;
    memset(static_cast<void*>(s), 0, sizeof(*s));
    s->Key = *lpAddr;
    if (lpSecond)
        s->Second = *lpSecond;
    s->uCnntTick = s->uActiveTick = m_uTick;
    if (!m_HoleClt.SessAlloc(s)) {
        delete s;
        return nullptr;
    }
    m_SessHash.Add(&s->Hash, s, SessHashCode(lpAddr));
    m_SessList.PushTail(s);
    return s;
}

void CQVSockDrivUDP4::SessFreeOne(QV_UDP4_SESS_S* s)
{
    m_HoleClt.SessFree(s);
    m_FwdClt.SessFree(s);
    m_SessHash.Remove(&s->Hash);
    m_SessList.Remove(s);
    delete s;
}

void CQVSockDrivUDP4::SessFreeAll()
{
    while (QV_UDP4_SESS_S* s = m_SessList.Head())
        SessFreeOne(s);
}

u32 CQVSockDrivUDP4::SessCount()
{
    if (!m_Sect.Lock())
        return 0;
    u32 u = m_SessList.Count();
    m_Sect.Unlock();
    return u;
}

// Caller holds the driver mutex.
void CQVSockDrivUDP4::SessTouch(QV_UDP4_SESS_S* s)
{
    s->uActiveTick = m_uTick;
    if (m_SessList.Tail() != s) {
        m_SessList.Remove(s);
        m_SessList.PushTail(s);
    }
}

void CQVSockDrivUDP4::OnPeerPacket(const QV_UDP4_ADDR_S* lpPeer, const QV_UDP4_ADDR_S* lpPath)
{
    if (!m_Sect.Lock())
        return;
    QV_UDP4_SESS_S* s = SessSearch(lpPeer);
    if (s) {
        s->AddrHole = *lpPath;
        s->uHoleFlags |= 0x20;
        SessTouch(s);
    }
    m_Sect.Unlock();
}

void CQVSockDrivUDP4::SessSweep()
{
    if (!m_Sect.Lock())
        return;
    m_HoleClt.SessTimerProcBegin();
    m_FwdClt.SessTimerProcBegin();
    QV_UDP4_SESS_S* s = m_SessList.Head();
    while (s) {
        QV_UDP4_SESS_S* n = m_SessList.Next(s);
        u32 uIdle = m_uTick - s->uActiveTick;
        if (uIdle <= (s->lpFwd ? UDP4_SESS_IDLE_FWD : UDP4_SESS_IDLE)) {
            if (s->lpFwd)
                m_FwdClt.SessTimerProc(s);
            else
                m_HoleClt.SessTimerProc(s);
        } else {
            SessFreeOne(s);
        }
        s = n;
    }
    m_HoleClt.SessTimerProcEnd();
    m_FwdClt.SessTimerProcEnd();
    m_Sect.Unlock();
}

// Sending.

u32 CQVSockDrivUDP4::PathUsable(u32 uSendTick, u32 uRecvTick, u32 uBackoff) const
{
    return uSendTick == 0 || m_uTick - uSendTick < uBackoff || uSendTick <= uRecvTick + UDP4_PATH_SILENT;
}

u32 CQVSockDrivUDP4::SockSend(const void* lpData, u32 uLen, const QV_UDP4_ADDR_S* lpAddr, u32 uTTL)
{
    if (!lpAddr || !lpAddr->uIP || !lpAddr->usPort)
        return 0xFFFFFFFFu;
    QV_ADDR_S To = FromUdp4(*lpAddr);
    if (!m_uNat64Count) {
        // Under the socket layer's lock the datagram is only collected; it leaves once that
        // lock is released (DgramFlush), with the others of its batch.
        CQVDgramOut* lpOut = qvDgramCapture();
        int hSock = -1;
        if (lpOut && !uTTL && uLen && m_Sock[0].GetSocket(&hSock, 1) && hSock >= 0) {
            struct sockaddr_in Sa;
            memset(&Sa, 0, sizeof(Sa));
            Sa.sin_family = AF_INET;
            Sa.sin_port = htons(To.uPort);
            Sa.sin_addr.s_addr = To.uAddr[3];
            if (lpOut->Add(this, hSock, 0, (struct sockaddr*)&Sa, sizeof(Sa), lpData, uLen))
                return uLen;
        }
        return m_Sock[0].Send(lpData, uLen, &To, uTTL);
    }
    u32 uRes = 0xFFFFFFFFu;
    u32 uAny = 0;
    for (u32 i = 0; i < m_uNat64Count; i++) {
        NAT64_S& e = m_Nat64[i];
        if (!PathUsable(e.uSendTick, e.uRecvTick, e.uBackoff))
            continue;
        QV_SKT_ADDR_NAT64_STA_S Sta;
        Sta.uSet = e.uSet;
        Sta.uPrefix[0] = e.uPrefix[0];
        Sta.uPrefix[1] = e.uPrefix[1];
        QV_ADDR_S To6 = To;
        if (!qvSocketAddrNat64Fill(&Sta, &To6))
            continue;
        u32 r = m_Sock[1].Send(lpData, uLen, &To6, uTTL);
        if (r != 0xFFFFFFFFu && r > 0) {
            if (m_uTick - e.uSendTick >= e.uBackoff)
                e.uBackoff++;
            e.uSendTick = m_uTick;
            uRes = r;
            uAny = 1;
        }
    }
    if (uAny)
        return uRes;
    if (!PathUsable(m_uV4SendTick, m_uV4RecvTick, m_uV4Backoff))
        return 0xFFFFFFFFu;
    uRes = m_Sock[0].Send(lpData, uLen, &To, uTTL);
    if (uRes != 0xFFFFFFFFu && uRes > 0) {
        if (m_uTick - m_uV4SendTick >= m_uV4Backoff)
            m_uV4Backoff++;
        m_uV4SendTick = m_uTick;
    }
    return uRes;
}

void CQVSockDrivUDP4::DgramFlush(QV_DGRAM_REC_S** lpList, u32 uCount)
{
    if (!m_Sect.Lock())
        return;
    // Records of a socket closed since are dropped: its number may now be another's.
    int hSock = -1;
    u32 uKeep = 0;
    if (m_Sock[0].GetSocket(&hSock, 1) && hSock >= 0)
        for (u32 i = 0; i < uCount; i++)
            if (lpList[i]->hSocket == hSock)
                lpList[uKeep++] = lpList[i];
    if (uKeep)
        qvUdpSendBatch(hSock, lpList, uKeep);
    for (u32 i = 0; i < uKeep; i++) {
        QV_ADDR_S To;
        if (!qvAddrFromSockAddr((struct sockaddr*)&lpList[i]->Sa, &To))
            memset(&To, 0, sizeof(To));
        m_Sock[0].SendResult(lpList[i]->iErr, lpList[i]->iErr ? 0xFFFFFFFFu : lpList[i]->uLen, &To);
    }
    m_Sect.Unlock();
}

u32 CQVSockDrivUDP4::SockSendHitHole(const QV_UDP4_ADDR_S* lpAddr)
{
    static const u8 Hit[4] = {0x00, 0xFF, 0x00, 0x00};
    return SockSend(Hit, sizeof(Hit), lpAddr, UDP4_HIT_TTL);
}

u32 CQVSockDrivUDP4::Send(u32, const QV_ADDR_S* lpAddr, const QV_BUF_S* lpBuf, const QV_ADDR_S* lpSecond, u32 uFlags)
{
    if (!m_uEnabled || !lpAddr || !lpBuf || !lpBuf->buf || qvAddrIPVer(lpAddr) != QV_ADDR_VER_IPV4)
        return 0xFFFFFFFFu;
    if (lpBuf->uOffset > lpBuf->uSize || lpBuf->uLen > lpBuf->uSize - lpBuf->uOffset)
        return 0xFFFFFFFFu;
    QV_UDP4_ADDR_S To = ToUdp4(*lpAddr);
    const u8* lpData = lpBuf->buf + lpBuf->uOffset;
    // Bare mode has no sessions: every send goes out directly, also those of callers that
    // ask for the session path (the server's sends to its peers).
    if ((uFlags & 1) || m_uBare) {
        if (uFlags & 2)
            for (u32 i = 0; i < 3; i++)
                SockSendHitHole(&To);
        u32 uRes = SockSend(lpData, lpBuf->uLen, &To, 0);
        if (uRes != 0xFFFFFFFFu)
            m_FwdClt.AddBytes(uRes);
        return uRes;
    }
    if (!m_Sect.Lock())
        return 0xFFFFFFFFu;
    QV_UDP4_ADDR_S Second;
    memset(&Second, 0, sizeof(Second));
    if (lpSecond && qvAddrIPVer(lpSecond) == QV_ADDR_VER_IPV4)
        Second = ToUdp4(*lpSecond);
    u32 uRes;
    QV_UDP4_SESS_S* s = SessAlloc(&To, &Second, 1);
    if (s && m_HoleClt.SessConnect(s)) {
        uRes = m_HoleClt.SessSend(s, lpBuf);
        if (uRes != 0xFFFFFFFFu)
            m_FwdClt.AddBytes(uRes);
    } else if (s && m_FwdClt.SessConnect(s)) {
        uRes = m_FwdClt.SessSend(s, lpBuf);
        if (uRes != 0xFFFFFFFFu)
            m_FwdClt.AddBytes(uRes);
    } else {
        uRes = SockSend(lpData, lpBuf->uLen, &To, 0);
    }
    m_Sect.Unlock();
    return uRes;
}

u32 CQVSockDrivUDP4::GetPeerInfo(u32, const QV_ADDR_S* lpPeer, u32* lpuType, QV_ADDR_S* lpLocal,
                                 QV_ADDR_S* lpPeerSeen, QV_ADDR_S* lpThird)
{
    if (!m_uEnabled)
        return 0;
    if (m_uBare)
        return 1;
    if (!lpPeer || !m_Sect.Lock())
        return 0;
    QV_UDP4_ADDR_S Key = ToUdp4(*lpPeer);
    QV_UDP4_ADDR_S A, B, C;
    memset(&A, 0, sizeof(A));
    B = C = A;
    u32 uType = 0;
    u32 uRes = 0;
    QV_UDP4_SESS_S* s = SessSearch(&Key);
    if (s)
        uRes = m_HoleClt.SessGetPeerInfo(s, &uType, &A, &B, &C) || m_FwdClt.SessGetPeerInfo(s, &uType, &A, &B, &C);
    m_Sect.Unlock();
    if (!uRes)
        return 0;
    if (lpuType)
        *lpuType = uType;
    if (lpLocal)
        *lpLocal = FromUdp4(A);
    if (lpPeerSeen)
        *lpPeerSeen = FromUdp4(B);
    if (lpThird)
        *lpThird = FromUdp4(C);
    return 1;
}

u32 CQVSockDrivUDP4::CheckAddr(u32, const QV_ADDR_S* lpAddr)
{
    if (!lpAddr)
        return 0;
    for (u32 i = 0; i < 16; i++)
        if (m_Local[i].uValid && m_Local[i].Addr.uAddr[3] == lpAddr->uAddr[3] && m_Local[i].Addr.uPort == lpAddr->uPort)
            return 1;
    QV_UDP4_ADDR_S A = ToUdp4(*lpAddr);
    return m_HoleClt.IsOwnAddr(&A);
}

u32 CQVSockDrivUDP4::TryConnect(u32, const QV_ADDR_S* lpAddr, const QV_ADDR_S* lpSecond, u32)
{
    if (!m_uEnabled || m_uBare || !lpAddr)
        return 0;
    QV_UDP4_ADDR_S Key = ToUdp4(*lpAddr);
    char szAddr[32];
    qvPrintf("CQVSockDrivUDP4::TryConnect, AddrMain=%s", Udp4Text(Key, szAddr, sizeof(szAddr)));
    if (!m_Sect.Lock())
        return 0;
    QV_UDP4_SESS_S* s = SessSearch(&Key);
    if (s) {
        if (lpSecond && qvAddrIPVer(lpSecond) == QV_ADDR_VER_IPV4) {
            QV_UDP4_ADDR_S Second = ToUdp4(*lpSecond);
            if (!Udp4Eq(Second, s->Second))
                s->Second = Second;
        }
        m_HoleClt.SessReset(s);
        m_FwdClt.SessFree(s);
        s->lpFwd = nullptr;
        s->uFlags = 0;
    }
    m_Sect.Unlock();
    return 1;
}

u32 CQVSockDrivUDP4::Delete(u32, const QV_ADDR_S*) { return 0; }

u32 CQVSockDrivUDP4::SetInitProxy(const QV_ADDR_S* lpAddr)
{
    if (!m_Sect.Lock())
        return 0;
    u32 uRes = 1;
    if (!lpAddr) {
        memset(&m_AddrServer, 0, sizeof(m_AddrServer));
        uRes = 0;
    } else if (qvAddrIPVer(lpAddr) == QV_ADDR_VER_IPV4) {
        m_AddrServer = ToUdp4(*lpAddr);
        m_AddrServer.usFlags = 0;
        SelectLocalIP();
        m_HoleClt.SetInitProxy(&m_AddrServer);
        m_NatAgeClt.SetProxy(&m_AddrServer);
    }
    m_Sect.Unlock();
    return uRes;
}

u32 CQVSockDrivUDP4::SetLocalAddr(const QV_ADDR_S* lpAddr)
{
    if (!lpAddr || !m_Sect.Lock())
        return 0;
    QV_UDP4_ADDR_S New = ToUdp4(*lpAddr);
    u32 uChanged = New.uIP != m_AddrConfig.uIP || New.usPort != m_AddrConfig.usPort;
    m_AddrConfig = New;
    if (uChanged) {
        m_AddrChosen = New;
        m_AddrChosen.usFlags = 0;
        if (!(New.usFlags & 1))
            m_AddrChosen.uIP = 0;
        SelectLocalIP();
    }
    m_Sect.Unlock();
    return 1;
}

u32 CQVSockDrivUDP4::SetParam(u32 uItem, const void* lpValue, u32 uSize)
{
    switch (uItem) {
    case 2: {
        if (!lpValue || uSize < 16)
            return 0;
        u32 uCount;
        memcpy(&uCount, lpValue, 4);
        // Only the records actually present are read.
        u32 uHave = (uSize - 4) / 12;
        if (uCount > uHave)
            uCount = uHave;
        Nat64CtlUpdate((const u8*)lpValue + 4, uCount);
        return 1;
    }
    case 10:
        if (!lpValue || uSize < 4)
            return 0;
        memcpy(&m_uMainDriv, lpValue, 4);
        return 1;
    case 1:
    case 4:
    case 8:
        return 0;
    default:
        return 1;
    }
}

u32 CQVSockDrivUDP4::GetParam(u32, void*, u32*) { return 0; }

u32 CQVSockDrivUDP4::Control(u32, u32 uOp, void*, u32)
{
    if (uOp == 0) {
        AddrNetLoad();
        return 1;
    }
    if (uOp == 1) {
        if (m_lpProc)
            m_lpProc->OnPostMessage(QV_SOCK_DRIV_UDP4, 7, 0, 0);
        return 1;
    }
    return 0;
}

void CQVSockDrivUDP4::Nat64CtlUpdate(const u8* lpData, u32 uCount)
{
    memset(m_Nat64, 0, sizeof(m_Nat64));
    m_uV4SendTick = m_uV4RecvTick = m_uV4Backoff = 0;
    if (uCount == 0) {
        m_uNat64Count = 0;
        int hSock = -1;
        if (m_Sock[1].IsOpened() && m_Sock[1].GetSocket(&hSock, 1) && m_lpProc)
            m_lpProc->OnSetSock(QV_SOCK_DRIV_UDP4, hSock, 0, 0);
        if (m_Sect.Lock()) {
            m_Sock[1].Close();
            m_Sect.Unlock();
        }
        return;
    }
    if (uCount > 4)
        uCount = 4;
    for (u32 i = 0; i < uCount; i++) {
        u32 w[3];
        memcpy(w, lpData + 12 * i, 12);
        m_Nat64[i].uSet = w[0];
        m_Nat64[i].uPrefix[0] = w[1];
        m_Nat64[i].uPrefix[1] = w[2];
    }
    m_uNat64Count = uCount;
    if (!m_Sock[1].IsOpened() && m_Sect.Lock()) {
        u32 uOk = SockOpenNat64();
        m_Sect.Unlock();
        int hSock = -1;
        if (uOk && m_uEnabled && m_Sock[1].GetSocket(&hSock, 1) && m_lpProc)
            m_lpProc->OnSetSock(QV_SOCK_DRIV_UDP4, hSock, 1, 1);
    }
}

// Reception.

u32 CQVSockDrivUDP4::SelectProc(int hSocket, u32 uEvents, u32 uKind, u32 uTick)
{
    if (!m_uEnabled || !(uEvents & 1) || !m_BufRecv.buf)
        return 0;
    QV_ADDR_S From;
    memset(&From, 0, sizeof(From));
    u32 uLen = 0xFFFFFFFFu;
    int hOwn = -1;
    if (uKind == 0) {
        if (!m_Sock[0].GetSocket(&hOwn, 1) || hOwn != hSocket)
            return 0;
        if (!m_In.IsReady() && !m_In.Alloc(UDP4_RECV_BATCH, m_BufRecv.uSize))
            return 0;
        // Everything queued is taken on one wake, a batch per call, up to a bound so that
        // the other descriptors of the loop get their turn.
        u32 uAny = 0;
        // Datagrams of a coalesced read left over from the last round are taken in any case.
        for (u32 uRound = 0; uRound < UDP4_RECV_ROUNDS || m_In.Pending(); uRound++) {
            u32 n = m_In.Receive(hSocket, uRound < UDP4_RECV_ROUNDS);
            if (n)
                m_Sock[0].NoteReceived();
            if (n && m_uNat64Count) {
                m_uV4RecvTick = m_uTick;
                m_uV4Backoff = 0;
            }
            for (u32 i = 0; i < n; i++) {
                QV_ADDR_S Src;
                if (m_In.From(i, &Src) && DgramProc(m_In.Data(i), m_In.Len(i), m_In.Size(), Src, uTick, hSocket, uKind))
                    uAny = 1;
            }
            if (!n || (n < m_In.Count() && !m_In.Pending()))
                break;
        }
        return uAny;
    } else if (uKind == 1) {
        if (!m_Sock[1].GetSocket(&hOwn, 1) || hOwn != hSocket)
            return 0;
        uLen = m_Sock[1].Receive(m_BufRecv.buf, m_BufRecv.uSize, &From);
        if (uLen == 0xFFFFFFFFu)
            return 0;
        u32 uMatched = 0;
        for (u32 i = 0; i < m_uNat64Count && !uMatched; i++) {
            QV_SKT_ADDR_NAT64_STA_S Sta;
            Sta.uSet = m_Nat64[i].uSet;
            Sta.uPrefix[0] = m_Nat64[i].uPrefix[0];
            Sta.uPrefix[1] = m_Nat64[i].uPrefix[1];
            if (qvSocketAddrNat64Remove(&Sta, &From)) {
                m_Nat64[i].uRecvTick = m_uTick;
                m_Nat64[i].uBackoff = 0;
                uMatched = 1;
            }
        }
        if (!uMatched)
            return 0;
    } else if (uKind == 3) {
        uLen = CQVSocketUDPStatic::Receive4(hSocket, m_BufRecv.buf, m_BufRecv.uSize, &From);
    } else {
        return 0;
    }
    if (uLen == 0xFFFFFFFFu)
        return 0;
    return DgramProc(m_BufRecv.buf, uLen, m_BufRecv.uSize, From, uTick, hSocket, uKind);
}

u32 CQVSockDrivUDP4::DgramProc(u8* lpData, u32 uLen, u32 uSize, const QV_ADDR_S& From, u32 uTick, int hSocket,
                               u32 uKind)
{
    if (uLen < UDP4_MIN_DGRAM || uLen > uSize)
        return 0;
    QV_UDP4_ADDR_S Sender = ToUdp4(From);
    Sender.usFlags = 0;
    QV_BUF_S Buf;
    memset(&Buf, 0, sizeof(Buf));
    Buf.buf = lpData;
    Buf.uSize = uSize;
    Buf.uLen = uLen;
    if (Buf.buf[1] & 0x80) {
        HoleProc(&Sender, &Buf, uTick, hSocket, uKind);
    } else if (!m_uBare) {
        m_HoleClt.DataReceive(&Sender, &Buf, &Sender);
    }
    return 1;
}

void CQVSockDrivUDP4::HoleProc(const QV_UDP4_ADDR_S* lpFrom, const QV_BUF_S* lpBuf, u32, int, u32)
{
    if (m_uBare || !lpBuf || !lpBuf->buf)
        return;
    const u8* lpData = lpBuf->buf + lpBuf->uOffset;
    u32 uLen = lpBuf->uLen;
    if (uLen < 2)
        return;
    u32 uType = lpData[1];
    u32 uMin = qvUdp4CtlMinLen(uType);
    if (!uMin || uLen < uMin)
        return;
    if (uType == 0x80) {
        QV_UDP4_ADDR_S Inner;
        memcpy(&Inner.uIP, lpData + 4, 4);
        Inner.usPort = (u16)((lpData[8] << 8) | lpData[9]);
        Inner.usFlags = (u16)((lpData[10] << 8) | lpData[11]);
        if (lpData[2] & 1) {
            if (m_Sect.Lock()) {
                QV_UDP4_ADDR_S Key = Inner;
                Key.usFlags = 0;
                QV_UDP4_SESS_S* s = SessAlloc(&Key, nullptr, 1);
                if (s) {
                    QV_UDP4_ADDR_S Pub;
                    m_HoleClt.GetPubAddr(&Pub);
                    m_HoleClt.LearnHoleAddr(s, lpFrom, Pub.uIP && Inner.uIP == Pub.uIP);
                    SessTouch(s);
                }
                m_Sect.Unlock();
            }
        }
        QV_BUF_S Inside = *lpBuf;
        Inside.uOffset += UDP4_TUNNEL_HDR;
        Inside.uLen -= UDP4_TUNNEL_HDR;
        Inner.usFlags = 0;
        m_HoleClt.DataReceive(&Inner, &Inside, lpFrom);
        return;
    }
    if (uType >= 0xa0)
        m_FwdClt.OnCtlMessage(uType, lpFrom, lpData, uLen);
    else
        m_HoleClt.OnCtlMessage(uType, lpFrom, lpData, uLen);
}

u32 CQVSockDrivUDP4::MessageProc(u32 uMsg, u32 uParam0, u32 uParam1)
{
    switch (uMsg) {
    case 0:
        if (uParam0)
            AddrNetLoad();
        else
            AddrNetUnload();
        break;
    case 2:
        if (m_lpProc)
            m_lpProc->OnReport(QV_SOCK_DRIV_UDP4, 0);
        break;
    case 3:
        if (m_lpProc)
            m_lpProc->OnReport(QV_SOCK_DRIV_UDP4, 1);
        break;
    case 4:
        m_HoleClt.HopNatTimerProc();
        break;
    case 5: {
        QV_ADDR_S Peer;
        memset(&Peer, 0, sizeof(Peer));
        Peer.uAddr[3] = uParam0;
        Peer.uPort = (u16)uParam1;
        QV_ADDR_S Server = FromUdp4(m_AddrServer);
        if (m_lpProc)
            m_lpProc->OnActive(QV_SOCK_DRIV_UDP4, &Peer, &Server);
        break;
    }
    case 6:
        if (m_lpProc)
            m_lpProc->OnReport(QV_SOCK_DRIV_UDP4, 3);
        break;
    case 7:
        m_HoleClt.UpdateExtPubAddr();
        break;
    case 8:
    case 9:
    case 10:
        if (m_lpProc)
            m_lpProc->OnReport(QV_SOCK_DRIV_UDP4, uMsg - 4);
        break;
    default:
        break;
    }
    return 1;
}

void CQVSockDrivUDP4::ForwardGateTick()
{
    // No relay runs in this build: the gate counter never runs up; the byte count of the
    // tick is dropped.
    m_uGateCount = 0;
    m_FwdClt.TakeBytes();
}

u32 CQVSockDrivUDP4::TimerProc(u32)
{
    // Sessions read the tick under the driver mutex.
    if (m_Sect.Lock()) {
        m_uTick++;
        m_Sect.Unlock();
    } else {
        m_uTick++;
    }
    if (!m_uEnabled || m_uBare)
        return 1;
    SessSweep();
    ForwardGateTick();
    m_NatAgeClt.TimerProc();
    AddrNetChangeDetect();
    return 1;
}

// Local address table.

void CQVSockDrivUDP4::AddrNetLoad()
{
    if (m_uBare || !m_AddrChosen.usPort)
        return;
    QV_ADDR_S List[16];
    memset(List, 0, sizeof(List));
    IQVSysNet* lpNet = qvGetSysNet();
    u32 uCount = lpNet ? lpNet->ListIPAddr(List, 16, 0) : 0;
    if (uCount > 16)
        uCount = 16;
    m_uLocalGen++;
    u32 uChange = 0;
    for (u32 i = 0; i < uCount; i++) {
        QV_ADDR_S A = List[i];
        A.uPort = m_AddrChosen.usPort;
        A.uExtra = 0;
        u32 j = 0;
        for (; j < 16; j++)
            if (m_Local[j].uValid && m_Local[j].Addr.uAddr[3] == A.uAddr[3] && m_Local[j].Addr.uPort == A.uPort)
                break;
        if (j < 16) {
            m_Local[j].uGen = m_uLocalGen;
            continue;
        }
        for (j = 0; j < 16; j++)
            if (!m_Local[j].uValid) {
                m_Local[j].uValid = 1;
                m_Local[j].uGen = m_uLocalGen;
                m_Local[j].Addr = A;
                if (A.uAddr[3] != m_AddrChosen.uIP)
                    uChange = 1;
                break;
            }
    }
    for (u32 j = 0; j < 16; j++)
        if (m_Local[j].uValid && m_Local[j].uGen != m_uLocalGen) {
            if (m_lpProc)
                m_lpProc->OnAddrUpdate(QV_SOCK_DRIV_UDP4, &m_Local[j].Addr, 0);
            if (m_Local[j].Addr.uAddr[3] == m_AddrChosen.uIP)
                uChange = 1;
            memset(&m_Local[j], 0, sizeof(m_Local[j]));
        }
    for (u32 j = 0; j < 16; j++)
        if (m_Local[j].uValid && m_lpProc)
            m_lpProc->OnAddrUpdate(QV_SOCK_DRIV_UDP4, &m_Local[j].Addr, 1);
    if (uChange && m_Sect.Lock()) {
        SelectLocalIP();
        m_Sect.Unlock();
    }
}

void CQVSockDrivUDP4::AddrNetUnload()
{
    for (u32 j = 0; j < 16; j++)
        if (m_Local[j].uValid) {
            if (m_lpProc)
                m_lpProc->OnAddrUpdate(QV_SOCK_DRIV_UDP4, &m_Local[j].Addr, 0);
            memset(&m_Local[j], 0, sizeof(m_Local[j]));
        }
}

void CQVSockDrivUDP4::AddrNetChangeDetect()
{
    QV_UDP4_ADDR_S Target = (m_AddrServer.uIP && m_AddrServer.usPort) ? m_AddrServer : m_AddrServerDef;
    QV_ADDR_S To = FromUdp4(Target);
    To.uExtra = 0;
    QV_ADDR_S Src;
    memset(&Src, 0, sizeof(Src));
    if (!qvSelectAddr(&Src, &To, 0)) {
        m_uSelectFail++;
        if (m_uSelectFail <= UDP4_SELECT_FAIL_MAX)
            return;
        m_uSelectFail = 0;
        Src.uAddr[3] = 0xFFFFFFFFu;
    }
    u32 uAny = 0, uFound = 0;
    for (u32 j = 0; j < 16; j++)
        if (m_Local[j].uValid) {
            uAny = 1;
            if (m_Local[j].Addr.uAddr[3] == Src.uAddr[3])
                uFound = 1;
        }
    if (uAny && !uFound)
        m_uChangeCount = UDP4_CHANGE_REPORTS;
    if (m_uChangeCount) {
        if (m_lpProc)
            m_lpProc->OnPostMessage(QV_SOCK_DRIV_UDP4, 6, 0, 0);
        m_uChangeCount--;
    }
}

void CQVSockDrivUDP4::SelectLocalIP()
{
    if (!m_AddrServer.uIP || !m_AddrServer.usPort || (m_AddrServer.usFlags & 1))
        return;
    QV_ADDR_S To = FromUdp4(m_AddrServer);
    To.uExtra = 0;
    QV_ADDR_S Src;
    memset(&Src, 0, sizeof(Src));
    if (qvSelectAddr(&Src, &To, 0))
        m_AddrChosen.uIP = Src.uAddr[3];
    if (!m_uBare)
        m_HoleClt.SetLocalAddr(&m_AddrChosen);
    char szAddr[32];
    qvLogOut(1, "SockDrivUDP4: SelectLocalIP, AddrLocal=%s", Udp4Text(m_AddrChosen, szAddr, sizeof(szAddr)));
}

// Calls of the clients.

void CQVSockDrivUDP4::OnSessConnect(QV_UDP4_SESS_S* lpSess, u32 uRoute, u32 uOn)
{
    if (uRoute == 0 && uOn) {
        lpSess->uFlags = (lpSess->uFlags & ~(QV_UDP4_SESS_HOLE | QV_UDP4_SESS_FWD)) | QV_UDP4_SESS_HOLE;
        m_FwdClt.SessFree(lpSess);
        lpSess->lpFwd = nullptr;
    } else if (uRoute == 1) {
        if (uOn)
            lpSess->uFlags |= QV_UDP4_SESS_FWD;
        else
            lpSess->uFlags &= ~QV_UDP4_SESS_FWD;
    }
}

void CQVSockDrivUDP4::OnUplayerActive(const QV_UDP4_ADDR_S* lpAddr)
{
    if (m_lpProc && lpAddr)
        m_lpProc->OnPostMessage(QV_SOCK_DRIV_UDP4, 5, lpAddr->uIP, lpAddr->usPort);
}

void CQVSockDrivUDP4::OnNatAgeDetect(u32 uKeep)
{
    m_HoleClt.OnNatAgeDetect(uKeep);
}

void CQVSockDrivUDP4::OnPubAddrChanded(const QV_UDP4_ADDR_S*)
{
    if (!m_Sect.Lock())
        return;
    SessFreeAll();
    SelectLocalIP();
    m_Sect.Unlock();
}

u32 CQVSockDrivUDP4::GetPubAddr(QV_ADDR_S* lpAddr)
{
    if (!lpAddr)
        return 0;
    QV_UDP4_ADDR_S Pub;
    m_HoleClt.GetPubAddr(&Pub);
    *lpAddr = FromUdp4(Pub);
    return 1;
}

u32 CQVSockDrivUDP4::MilliSecTimerEnable(u32 uMs)
{
    return m_Timer.Enable(uMs);
}

void CQVSockDrivUDP4::MilliSecTimerDisable()
{
    m_Timer.Disable();
}

void CQVSockDrivUDP4::OnMilliSecTimer()
{
    if (m_uEnabled && m_lpProc)
        m_lpProc->OnPostMessage(QV_SOCK_DRIV_UDP4, 4, 0, 0);
}

void CQVSockDrivUDP4::OnSocketError(u32, int iErrNo, const QV_ADDR_S* lpAddr)
{
    if (m_uBare || !lpAddr)
        return;
    char szAddr[QV_ADDR_STR_SIZE];
    if (!qvAddrToReadable(lpAddr, szAddr, sizeof(szAddr)))
        szAddr[0] = 0;
    qvPrintf("CQVSockDrivUDP4::OnSocketError: iErrNo=%d, szAddr=%s", iErrNo, szAddr);
    qvLogOut(2, "SockDrivUDP4: OnSocketError: iErrNo=%d, szAddr=%s", iErrNo, szAddr);
    if (lpAddr->uAddr[3] != m_AddrServer.uIP || lpAddr->uPort != m_AddrServer.usPort || !m_AddrServer.uIP)
        return;
    if ((iErrNo == UDP4_ENETUNREACH || iErrNo == UDP4_EHOSTUNREACH) && !m_uMainDriv)
        return;
    // Stored as tick + 1 so that 0 means "never reported".
    if (m_uErrReportTick && m_uTick + 1 - m_uErrReportTick <= UDP4_ERR_REPORT_GAP)
        return;
    if (m_lpProc)
        m_lpProc->OnPostMessage(QV_SOCK_DRIV_UDP4, 2, 0, 0);
    m_uErrReportTick = m_uTick + 1;
}

// Private interface: forwarding settings and statistics.

u32 CQVSockDrivUDP4::PrivSetConfig(u32 uItem, void* lpData)
{
    if (uItem > 5)
        return 0;
    return m_FwdClt.SetConfig(uItem, lpData);
}

u32 CQVSockDrivUDP4::PrivGetForwardStatus(QV_SKT_UDP4_FWD_STATUS_S* lpStatus)
{
    return m_FwdClt.GetForwardStatus(lpStatus);
}

u32 CQVSockDrivUDP4::PrivGetForwardRelayStat(QV_SKT_UDP4_FWD_STAT_S* lpStat)
{
    return m_FwdClt.GetForwardRelayStat(lpStat);
}

u32 CQVSockDrivUDP4::PrivGetForwardHoleStat(QV_SKT_UDP4_FWD_STAT_S* lpSend, QV_SKT_UDP4_FWD_STAT_S* lpRecv)
{
    return m_FwdClt.GetForwardHoleStat(lpSend, lpRecv);
}
