// Socket process core: lifecycle, the process thread, its message queue, the
// one-second tick and driver enable control.
#include "qvSocketProc.h"
#include "qvDgramOut.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include <new>

#include "qvLog.h"
#include "qvTimer.h"

// Priority of the process thread (SCHED_RR when the system allows it).
static const u32 SOCKPROC_THREAD_PRIO = 50;
// The queue socket's buffer in server mode, where bursts of driver messages are larger;
// clients keep the system default (0).
static const u32 SOCKPROC_QUEUE_BUF_SERVER = 0x200000;
static const u32 SOCKPROC_QUEUE_ERR_LIMIT = 8;
// One queue record: target, message, p0, p1, p2.
static const u32 SOCKPROC_QUEUE_REC = 20;
// A record is read into this many bytes at most.
static const u32 SOCKPROC_QUEUE_READ = 256;
// Records taken from the wake-up queue per wake at most.
static const u32 SOCKPROC_QUEUE_DRAIN = 64;
// Ends the thread.
static const u32 SOCKPROC_MSG_QUIT = 0xFFFF;
// After a pass that found work the thread keeps looking for more, without sleeping, for this
// many microseconds. The datagrams and acknowledgements of a stream come a few microseconds
// apart, but the far end sometimes works on a whole message before it answers, while a
// sleeping thread woken by the next datagram costs tens of microseconds on each side (far
// more in a virtual machine). With at most 64 blocks in flight per round trip those
// wake-ups bounded one stream to about half of what the link carries; 50 us still left a
// third of them. An idle thread spends this once after its last datagram.
static const u32 SOCKPROC_SPIN_US = 200;

static u64 SpinClockUs()
{
    struct timespec Ts;
    clock_gettime(CLOCK_MONOTONIC, &Ts);
    return (u64)Ts.tv_sec * 1000000 + (u64)Ts.tv_nsec / 1000;
}
// Process message codes.
enum {
    MSG_KEEPALIVE = 0,
    MSG_CNNT_PEER = 1,
    MSG_CNNT_MAIN = 2,
    MSG_EVT_CONNECT = 3,
    MSG_CNNT_MAIN_EVT = 4,
    MSG_DRIV_DROP = 5,
    MSG_RPT_MAIN = 6,
    MSG_RPT_NAT64 = 7,
    MSG_RPT_PEER = 8,
    MSG_CNNT_ADDR_ADD = 9,
    MSG_CNNT_ADDR_DEL = 10,
    MSG_DRIV_CHECK = 11,
    MSG_DATA_PULL = 12,
    MSG_LAN_RESCAN = 128,
};

CQVSocketProc::CQVSocketProc()
    : m_lpContext(nullptr), m_lpSock(nullptr), m_uInit(0), m_uSide(0), m_uNetOption(0), m_uDrivSelDef(0),
      m_uTryTimeout(0), m_uBackoff(0), m_uRecvDisable(0), m_uThreadRun(0), m_uTick(0), m_uQueMiss(0), m_uFdUsed(0),
      m_uMainDriv(QV_SOCK_DRIV_NONE), m_uPxyCount(0), m_uRedirect(0), m_uStaIndex(0xFFFF), m_uMainSetTick(0),
      m_uMainRetryTick(0), m_uMainBackoff(0), m_uAssemCount(0), m_uSweepTick(0), m_uDrivCheck(0),
      m_lpEnumHead(nullptr), m_lpTcpDelHead(nullptr), m_lpPeer(nullptr), m_uPeerMax(0), m_uCnntResetPend(0),
      m_uFwdBudget(0), m_uInteract(0), m_uMainReplies(0), m_uMainSpeed(0), m_lpHoleCursor(nullptr)
{
    m_szSelfPeer[0] = 0;
    memset(m_Fd, 0, sizeof(m_Fd));
    memset(&m_AddrMain, 0, sizeof(m_AddrMain));
    memset(m_Pxy, 0, sizeof(m_Pxy));
    memset(m_Redirect, 0, sizeof(m_Redirect));
    m_Redirect[0].uDrivType = m_Redirect[1].uDrivType = QV_SOCK_DRIV_NONE;
    memset(m_Assem, 0, sizeof(m_Assem));
    memset(m_uDrivState, 0, sizeof(m_uDrivState));
    memset(m_uDrivTick, 0, sizeof(m_uDrivTick));
    m_lpDriv[QV_SOCK_DRIV_UDP4] = &m_DrivUDP4;
    m_lpDriv[QV_SOCK_DRIV_UDP6] = &m_DrivUDP6;
    m_lpDriv[QV_SOCK_DRIV_TCP] = &m_DrivTCP;
    m_lpDriv[QV_SOCK_DRIV_LAN] = &m_DrivLAN;
    m_Thread.SetTag("qvSocketProc");
    m_Thread.Attach(this);
    m_Queue.Attach(this);
}

CQVSocketProc::~CQVSocketProc()
{
    SockPeerFreeAll();
    m_PeerHash.Clean();
    m_DrivAddrHash.Clean();
    m_DrivCookieHash.Clean();
    CnntBacklogClean();
    AssistBacklogClean();
    PxyHoleClean();
}

void CQVSocketProcThread::Proc()
{
    if (m_lpProc)
        m_lpProc->ThreadProc();
}

void CQVSocketProcQueue::OnClose()
{
    if (m_lpProc)
        m_lpProc->OnQueueClose();
}

u32 CQVSocketProc::Lock()
{
    return m_Sect.Lock();
}

void CQVSocketProc::Unlock()
{
    m_Sect.Unlock();
}

IQVSocketDriv* CQVSocketProc::Driv(u32 uDrivType)
{
    return uDrivType < QV_SOCK_DRIV_MAX ? m_lpDriv[uDrivType] : nullptr;
}

void CQVSocketProc::Report(u32 uSockID, u32 uReport)
{
    if (m_lpSock)
        m_lpSock->SockEventReport(uSockID, uReport);
}

void CQVSocketProc::Attach(IQVSockEvent* lpSock)
{
    m_lpSock = lpSock;
}

u32 CQVSocketProc::HelperEnableSocketDriv()
{
    if (!SockDrivEnable(QV_SOCK_DRIV_UDP4, 0))
        return 0;
    if (!SockDrivEnable(QV_SOCK_DRIV_UDP6, 0)) {
        qvLogOut(0, "SocketProc: HelperEnableSocketDriv, This device may not support IPv6 stack !");
        // Retried from the tick through the driver check.
        m_uDrivCheck = 1;
    }
    if (!m_uSide && !SockDrivEnable(QV_SOCK_DRIV_LAN, 0)) {
        qvLogOut(0, "SocketProc: HelperEnableSocketDriv, The LAN scan ports may have use up !");
        m_uDrivCheck = 1;
    }
    return 1;
}

u32 CQVSocketProc::Initialize(void* lpContext, CFG_S& Cfg)
{
    if (m_uInit)
        return 0;
    m_lpContext = lpContext;
    if (!Lock()) {
        qvLogOut(0, "SocketProc: Initialize, Section wait failed");
        m_lpContext = nullptr;
        return 0;
    }
    m_uSide = Cfg.uSide ? 1 : 0;
    m_uNetOption = Cfg.uNodeOption;
    m_uBackoff = Cfg.uBackoff;
    m_uDrivSelDef = 0;
    // Timeouts below 3 s are too short to try anything: treated as unset (6 s). Above an
    // hour the peer is taken as reachable only through the relay.
    if (Cfg.uTryTimeout < 3) {
        m_uTryTimeout = 0;
    } else if (Cfg.uTryTimeout <= 3600) {
        m_uTryTimeout = Cfg.uTryTimeout;
    } else {
        m_uTryTimeout = 0;
        m_uDrivSelDef = 2;
    }
    QV_SOCK_DRIV_CFG_S DrivCfg;
    DrivCfg.uSide = Cfg.uSide;
    DrivCfg.uTableSize = Cfg.uTableSize;
    DrivCfg.uSendQueSum = Cfg.uSendQueSum;
    DrivCfg.uNodeOption = Cfg.uNodeOption;

    const char* lpszFail = nullptr;
    if (!m_DrivUDP4.Initialize(lpContext, this, &DrivCfg))
        lpszFail = "SocketProc: Initialize, Initialize UDP4 Socket failed";
    else if (!m_DrivUDP6.Initialize(lpContext, this, &DrivCfg))
        lpszFail = "SocketProc: Initialize, Initialize UDP6 Socket failed";
    else if (!m_DrivTCP.Initialize(lpContext, this, &DrivCfg))
        lpszFail = "SocketProc: Initialize, Initialize TCP Socket failed";
    else if (!m_DrivLAN.Initialize(lpContext, this, &DrivCfg))
        lpszFail = "SocketProc: Initialize, Initialize LAN Socket failed";
    else if (!SockPeerInit(Cfg.uTableSize))
        lpszFail = "SocketProc: Initialize, Initialize Socket peer list failed";
    if (!lpszFail) {
        m_uQueMiss = 0;
        if (!m_Queue.Open("SocketProc", m_uSide ? SOCKPROC_QUEUE_BUF_SERVER : 0, SOCKPROC_QUEUE_ERR_LIMIT))
            lpszFail = "SocketProc: Initialize, Initialize msg socket failed";
        else if (!PxyHoleInit())
            lpszFail = "SocketProc: Initialize, Initialize proxy hole failed";
    }
    if (!lpszFail) {
        m_uInit = 1;
        if (!HelperEnableSocketDriv()) {
            for (u32 i = 0; i < QV_SOCK_DRIV_MAX; i++)
                SockDrivEnable(i, 1);
            lpszFail = "SocketProc: Initialize, Enable socket drivers failed";
        }
    }
    if (lpszFail) {
        qvLogOut(0, "%s", lpszFail);
        Unlock();
        Clean();
        return 0;
    }
    ThisStaMainReset(0);
    Unlock();
    m_uMainSpeed = 0;
    m_uMainReplies = 0;
    if (m_uNetOption & 0x10)
        m_uRecvDisable = 1;
    if (!m_Thread.Start(SOCKPROC_THREAD_PRIO, 0)) {
        qvLogOut(0, "SocketProc: Initialize, Start dispatch thread failed");
        Clean();
        return 0;
    }
    qvLogOut(1, "SocketProc: Initialize, success");
    return 1;
}

void CQVSocketProc::Clean()
{
    qvLogOut(1, "SocketProc: Clean, Begin");
    m_uInit = 0;
    if (m_Thread.IsStarted()) {
        for (u32 i = 0; i < 8; i++)
            if (PostRecord(QV_SOCK_DRIV_NONE, SOCKPROC_MSG_QUIT, 0, 0, 0))
                break;
        m_Thread.WaitForTermination();
    }
    qvLogOut(3, "SocketProc: Clean, Dispatch thread stoped");
    u32 uLocked = Lock();
    qvLogOut(3, "SocketProc: Clean, In section");
    m_Queue.Close();
    m_uQueMiss = 0;
    SockDrivAddrClean(QV_SOCK_DRIV_NONE);
    for (u32 i = 0; i < QV_SOCK_DRIV_MAX; i++) {
        m_lpDriv[i]->Enable(0);
        m_uDrivState[i] = 0;
        m_uDrivTick[i] = 0;
    }
    m_uSweepTick = 0;
    m_uDrivCheck = 0;
    m_uAbsentTried = 0;
    SockDrivEnumClean();
    SockDrivAddrDelClean();
    qvLogOut(3, "SocketProc: Clean, Disable all the socket driver");
    m_DrivUDP4.Clean();
    qvLogOut(3, "SocketProc: Clean, Socket driver UDP4 clean");
    m_DrivUDP6.Clean();
    qvLogOut(3, "SocketProc: Clean, Socket driver UDP6 clean");
    m_DrivTCP.Clean();
    qvLogOut(3, "SocketProc: Clean, Socket driver TCP clean");
    m_DrivLAN.Clean();
    SockPeerFreeAll();
    m_PeerHash.Clean();
    m_DrivAddrHash.Clean();
    m_DrivCookieHash.Clean();
    CnntBacklogClean();
    AssistBacklogClean();
    PxyHoleClean();
    m_uFwdBudget = 0;
    m_uInteract = 0;
    memset(&m_AddrMain, 0, sizeof(m_AddrMain));
    m_uMainDriv = QV_SOCK_DRIV_NONE;
    memset(m_Pxy, 0, sizeof(m_Pxy));
    m_uPxyCount = 0;
    memset(m_Redirect, 0, sizeof(m_Redirect));
    m_Redirect[0].uDrivType = m_Redirect[1].uDrivType = QV_SOCK_DRIV_NONE;
    m_uRedirect = 0;
    m_uStaIndex = 0xFFFF;
    m_uMainSetTick = m_uMainRetryTick = m_uMainBackoff = 0;
    m_uMainReportPend = 0;
    m_uCnntResetPend = 0;
    {
        m_SectFd.Lock();
        memset(m_Fd, 0, sizeof(m_Fd));
        m_uFdUsed = 0;
        m_SectFd.Unlock();
    }
    m_uTick = 0;
    if (uLocked)
        Unlock();
    m_lpContext = nullptr;
    qvLogOut(1, "SocketProc: Clean, finish");
}

u32 CQVSocketProc::PostRecord(u32 uTarget, u32 uMsg, u32 uParam0, u32 uParam1, u32 uParam2)
{
    u32 uRec[5] = {uTarget, uMsg, uParam0, uParam1, uParam2};
    return m_Queue.Send(uRec, SOCKPROC_QUEUE_REC, 0) == SOCKPROC_QUEUE_REC ? 1 : 0;
}

u32 CQVSocketProc::PostMessage(u32 uMsg, u32 uParam0, u32 uParam1, u32 uParam2)
{
    return PostRecord(QV_SOCK_DRIV_NONE, uMsg, uParam0, uParam1, uParam2);
}

u32 CQVSocketProc::OnPostMessage(u32 uDrivType, u32 uMsg, u32 uParam0, u32 uParam1)
{
    if (!m_uInit)
        return 0;
    return PostRecord(uDrivType, uMsg, uParam0, uParam1, 0);
}

void CQVSocketProc::OnSetSock(u32 uDrivType, i32 hSocket, u32 uFdMask, u32 uPriv)
{
    if (!m_uInit)
        return;
    if (!m_SectFd.Lock())
        return;
    qvLogOut(2, "SocketProc: uDrivType=%u, hSocket=%u, uFdMask=%u, uPriv=%u, uUsed=%u", uDrivType, (u32)hSocket,
             uFdMask, uPriv, m_uFdUsed);
    u32 i = 0;
    for (; i < m_uFdUsed; i++)
        if (m_Fd[i].hSocket == hSocket)
            break;
    if (i < m_uFdUsed) {
        if (uFdMask) {
            m_Fd[i].uDrivType = uDrivType;
            m_Fd[i].uMask = uFdMask;
            m_Fd[i].uPriv = uPriv;
            qvEpollForget(m_lpEpoll, hSocket); // possibly a new descriptor with the old number
        } else {
            memmove(&m_Fd[i], &m_Fd[i + 1], (m_uFdUsed - i - 1) * sizeof(m_Fd[0]));
            m_uFdUsed--;
            qvEpollForget(m_lpEpoll, hSocket);
        }
        m_uFdGen++;
    } else if (uFdMask) {
        if (m_uFdUsed >= QV_SOCKPROC_FD_MAX) {
            qvLogOut(0, "SocketProc: OnSetSock, uSockFdUsed=%u, uDrivType=%u", m_uFdUsed, uDrivType);
        } else {
            m_Fd[m_uFdUsed].uDrivType = uDrivType;
            m_Fd[m_uFdUsed].hSocket = hSocket;
            m_Fd[m_uFdUsed].uMask = uFdMask;
            m_Fd[m_uFdUsed].uPriv = uPriv;
            m_uFdUsed++;
            m_uFdGen++;
            // A number taken over from a descriptor closed without being removed first may
            // still sit in the facade as registered; it is registered afresh.
            qvEpollForget(m_lpEpoll, hSocket);
        }
    }
    m_SectFd.Unlock();
}

void CQVSocketProc::OnReport(u32 uDrivType, u32 uReport)
{
    if (m_uSide || !m_uInit)
        return;
    switch (uReport) {
    case 0:
    case 1: {
        qvLogOut(1, "SocketProc: OnReport. uDrivType=%u, uReport=%u", uDrivType, uReport);
        if (!Lock())
            return;
        u32 uWasMain = (m_uMainDriv == uDrivType);
        u32 uNoMain = (m_uMainDriv >= QV_SOCK_DRIV_MAX);
        SockDrivDrop(uDrivType);
        PostMessage(MSG_DRIV_CHECK, 0, 0, 0);
        Unlock();
        if (uWasMain || (uNoMain && uDrivType != QV_SOCK_DRIV_TCP))
            Report(0, 2);
        break;
    }
    case 2:
        Report(0, 6);
        break;
    case 3:
        if (uDrivType < QV_SOCK_DRIV_MAX)
            m_lpDriv[uDrivType]->Control(0, 0, nullptr, 0);
        break;
    case 4:
    case 5:
    case 6:
        Report(0, uReport + 5);
        break;
    default:
        break;
    }
}

void CQVSocketProc::OnInteract(u32 uDrivType, u32 uOp, void* lpValue, u32 uSize)
{
    (void)uDrivType;
    if (!lpValue || uSize < 4)
        return;
    if (uOp == 0) {
        u32 u;
        memcpy(&u, lpValue, 4);
        m_uInteract += u;
    } else if (uOp == 1) {
        u32 u = m_uInteract;
        memcpy(lpValue, &u, 4);
    }
}

// Driver enable control, all under the process mutex.

// A driver this build does not have (a placeholder) can never come up.
u32 CQVSocketProc::DrivAbsent(u32 uDrivType) const
{
    return uDrivType < QV_SOCK_DRIV_MAX && dynamic_cast<const CQVSockDrivAbsent*>(m_lpDriv[uDrivType]) != nullptr;
}

u32 CQVSocketProc::SockDrivEnable(u32 uDrivType, u32 uMode)
{
    if (uDrivType >= QV_SOCK_DRIV_MAX)
        return 0;
    IQVSocketDriv* lpDriv = m_lpDriv[uDrivType];
    if (uMode != 0) {
        SockDrivAddrClean(uDrivType);
        lpDriv->Enable(0);
        m_uDrivState[uDrivType] &= ~1u;
        m_uDrivTick[uDrivType] = 0;
        if (uMode == 1)
            return 1;
    }
    // An absent driver is tried once per initialisation, not on every tick or connect.
    if (DrivAbsent(uDrivType)) {
        if (m_uAbsentTried & (1u << uDrivType))
            return 0;
        m_uAbsentTried |= 1u << uDrivType;
    }
    if (!lpDriv->Enable(1))
        return 0;
    m_uDrivState[uDrivType] |= 1;
    m_uDrivTick[uDrivType] = m_uTick;
    return 1;
}

void CQVSocketProc::SockDrivCheckEnable()
{
    u32 uAll = 1;
    u32 uDrivs[3] = {QV_SOCK_DRIV_UDP4, QV_SOCK_DRIV_UDP6, QV_SOCK_DRIV_LAN};
    for (u32 d : uDrivs) {
        if (d == QV_SOCK_DRIV_LAN && m_uSide)
            continue;
        // An absent driver already tried is no reason to keep checking.
        if (DrivEnabled(d) || (m_uAbsentTried & (1u << d)))
            continue;
        if (!SockDrivEnable(d, 0))
            uAll = 0;
    }
    if (uAll)
        m_uDrivCheck = 0;
}

void CQVSocketProc::SockDrivDrop(u32 uDrivType)
{
    if (uDrivType >= QV_SOCK_DRIV_MAX) {
        ThisStaMainReset(1);
        for (u32 i = 0; i < QV_SOCK_DRIV_MAX; i++)
            SockDrivEnable(i, 1);
    } else {
        if (m_uMainDriv == uDrivType)
            ThisStaMainReset(1);
        SockDrivEnable(uDrivType, 1);
    }
    // The dropped driver's paths are gone from every peer.
    SockConnectReset(uDrivType);
    m_uDrivCheck = 1;
}

void CQVSocketProc::SockDrivCheckTimer()
{
    if (m_uDrivCheck && m_Queue.IsOpened()) {
        if (Lock()) {
            SockDrivCheckEnable();
            Unlock();
        }
    }
    m_Queue.TimerProc(m_uTick);
    // A working queue answers each keep-alive within the tick; three unanswered in a row
    // mean the loopback socket is dead.
    if (m_uQueMiss > 2) {
        qvLogOut(1, "SocketProc: TimerProc, Msg timer count >= 3, close msg socket!");
        m_Queue.Close();
        m_uQueMiss = 0;
    } else {
        PostMessage(MSG_KEEPALIVE, 0, 0, 0);
        m_uQueMiss++;
    }
}

void CQVSocketProc::OnQueueClose()
{
    if (!m_uInit || m_Queue.IsOpened())
        return;
    qvLogOut(1, "SocketProc: MsgSocketClose, queue socket is invalid, reopen it.");
    if (!Lock())
        return;
    m_uCnntResetPend = 1;
    SockDrivDrop(QV_SOCK_DRIV_NONE);
    Unlock();
}

void CQVSocketProc::ProcTick(u32 uNowMs, u32 uKeepAlive)
{
    m_DrivUDP4.TimerProc(uNowMs);
    m_DrivUDP6.TimerProc(uNowMs);
    m_DrivTCP.TimerProc(uNowMs);
    m_DrivLAN.TimerProc(uNowMs);
    // The tick is read under the mutex by the public operations.
    if (!Lock()) {
        m_uTick++;
    } else {
        m_uTick++;
        if (m_uSide) {
            m_uInteract = 0;
            PxyHoleTimer();
        } else {
            SockConnectCtlReset();
            SockConnectTimer();
            if (m_uTick - m_uSweepTick > 60) {
                SockDrivAddrSweep();
                m_uSweepTick = m_uTick;
            }
            // Assist entries live ten ticks: swept every tick, not with the addresses.
            AssistBacklogTimer();
        }
        Unlock();
    }
    if (uKeepAlive)
        SockDrivCheckTimer();
    else if (m_uDrivCheck && Lock()) {
        SockDrivCheckEnable();
        Unlock();
    }
    m_uMainReplies = 0;
}

void CQVSocketProc::TickRun(u32 uCount)
{
    for (u32 i = 0; i < uCount && m_uInit; i++) {
        if (!m_SectWork.Lock())
            return;
        ProcTick(GET_TIMESTAMP(), 0);
        m_SectWork.Unlock();
    }
}

// Returns 0 when the message ends the thread.
u32 CQVSocketProc::MessageProc(u32 uTarget, u32 uMsg, u32 uParam0, u32 uParam1, u32 uParam2)
{
    if (uTarget < QV_SOCK_DRIV_MAX) {
        m_lpDriv[uTarget]->MessageProc(uMsg, uParam0, uParam1);
        return 1;
    }
    switch (uMsg) {
    case MSG_KEEPALIVE:
        m_uQueMiss = 0;
        break;
    case MSG_CNNT_PEER:
        if (Lock()) {
            SOCK_PEER_S* lpPeer = PeerByHandle(uParam0);
            if (lpPeer) {
                lpPeer->uStatus &= ~QV_PEER_STA_REPORTED;
                if (!SockConnectPeer(lpPeer->uIndex, uParam1, uParam2))
                    CnntListAdd(lpPeer);
            }
            Unlock();
        }
        break;
    case MSG_CNNT_MAIN:
        if (Lock()) {
            SockConnectTry(QV_SOCK_DRIV_NONE, 1);
            Unlock();
        }
        break;
    case MSG_EVT_CONNECT:
        if (m_lpSock)
            m_lpSock->SockEventConnect(uParam0, uParam1);
        break;
    case MSG_CNNT_MAIN_EVT:
        if (Lock()) {
            SockConnectTry(QV_SOCK_DRIV_NONE, 0);
            Unlock();
        }
        if (m_lpSock)
            m_lpSock->SockEventConnect(uParam0, uParam1);
        break;
    case MSG_DRIV_DROP:
        OnReport(uParam0, 1);
        break;
    case MSG_RPT_MAIN:
        Report(0, 2);
        break;
    case MSG_RPT_NAT64:
        Report(0, 7);
        break;
    case MSG_RPT_PEER:
        Report(uParam0, 8);
        break;
    case MSG_CNNT_ADDR_ADD:
        if (m_lpSock)
            m_lpSock->SockEventCnntAddr(uParam0, 1, uParam1, uParam2);
        break;
    case MSG_CNNT_ADDR_DEL:
        if (m_lpSock)
            m_lpSock->SockEventCnntAddr(uParam0, 0, uParam1, 0);
        break;
    case MSG_DRIV_CHECK:
        if (Lock()) {
            SockDrivCheckEnable();
            Unlock();
        }
        break;
    case MSG_DATA_PULL:
        if (m_lpSock)
            m_lpSock->SockEventDataPull();
        break;
    case MSG_LAN_RESCAN: {
        IQVSocketLANPriv* lpLan = static_cast<IQVSocketLANPriv*>(m_DrivLAN.GetPrivate(0));
        if (lpLan && lpLan->ReEnable())
            lpLan->ScanLaunch(uParam0);
        break;
    }
    default:
        return 0;
    }
    return 1;
}

void CQVSocketProc::ThreadProc()
{
    if (m_lpSock)
        m_lpSock->SocketProcThreadStatus(1);
    _qv_fd_epoll* lpEpoll = new (std::nothrow) _qv_fd_epoll;
    if (!lpEpoll || qvEpollCreate(lpEpoll) < 0) {
        qvLogOut(0, "SocketProc: ThreadProc, create epoll failed, errno=%d", errno);
        delete lpEpoll;
        if (m_lpSock)
            m_lpSock->SocketProcThreadStatus(0);
        return;
    }
    _qv_fd_set SetRead, SetWrite;
    QV_FD_INIT(&SetRead, 0, lpEpoll);
    QV_FD_INIT(&SetWrite, 1, lpEpoll);
    // The table generation is read under m_SectFd like every change of it: drivers may be
    // enabled while this thread starts. One behind, so that the first pass registers the table.
    u32 uFdGenSeen = 0;
    if (m_SectFd.Lock()) {
        m_lpEpoll = lpEpoll;
        uFdGenSeen = m_uFdGen - 1;
        m_SectFd.Unlock();
    }
    // Calls into the socket layer on this thread leave their datagrams and wake-ups to the
    // end of the pass.
    CQVDgramDefer Defer;
    SOCK_FD_S Fd[QV_SOCKPROC_FD_MAX];
    u32 uFdCount = 0;
    int hQueue = -1;
    u32 uQueueOpens = 0;
    u32 uLast = GET_TIMESTAMP();
    u32 uRun = 1;
    // The last wait found work: the next one looks again before it sleeps.
    u32 uBusy = 0;
    while (m_uInit && uRun) {
        // Interest is registered with epoll once and changed only when the table changes:
        // a pass with the same descriptors makes no epoll_ctl call.
        if (m_SectFd.Lock()) {
            m_Queue.FdSet(&SetRead, 0);
            int hNow = m_Queue.GetSocket();
            u32 uOpens = m_Queue.GetOpenCount();
            if (hNow != hQueue || uOpens != uQueueOpens) {
                uQueueOpens = uOpens;
                // A re-opened queue may have a new number; the old one was closed.
                if (hQueue >= 0) {
                    // Its number may already belong to a driver socket: the table is
                    // registered again below.
                    qvEpollForget(lpEpoll, hQueue);
                    uFdGenSeen = m_uFdGen - 1;
                }
                if (hNow >= 0) {
                    qvEpollForget(lpEpoll, hNow);
                    QV_FD_SET(hNow, &SetRead);
                }
                hQueue = hNow;
            }
            if (m_uFdGen != uFdGenSeen) {
                uFdGenSeen = m_uFdGen;
                for (u32 i = 0; i < uFdCount; i++) {
                    u32 uKeep = 0;
                    for (u32 k = 0; k < m_uFdUsed; k++)
                        if (m_Fd[k].hSocket == Fd[i].hSocket)
                            uKeep = m_Fd[k].uMask;
                    if ((Fd[i].uMask & 1) && !(uKeep & 1))
                        QV_FD_CLR(Fd[i].hSocket, &SetRead);
                    if ((Fd[i].uMask & 2) && !(uKeep & 2))
                        QV_FD_CLR(Fd[i].hSocket, &SetWrite);
                }
                for (u32 k = 0; k < m_uFdUsed; k++) {
                    if (m_Fd[k].uMask & 1)
                        QV_FD_SET(m_Fd[k].hSocket, &SetRead);
                    if (m_Fd[k].uMask & 2)
                        QV_FD_SET(m_Fd[k].hSocket, &SetWrite);
                }
                uFdCount = m_uFdUsed;
                memcpy(Fd, m_Fd, uFdCount * sizeof(Fd[0]));
            }
            m_SectFd.Unlock();
        }
        // What the last pass left to send or to wake goes before the wait, once per pass.
        if (m_lpSock)
            m_lpSock->SockEventBatchEnd();
        u32 uElapsed = GET_TIMESTAMP() - uLast;
        int iTimeout = uElapsed >= 1000 ? 0 : (int)(1000 - uElapsed);
        int iReady = 0;
        if (uBusy && iTimeout > 0) {
            u64 uSpinEnd = SpinClockUs() + SOCKPROC_SPIN_US;
            do
                iReady = qvEpollSelect(0, &SetRead, &SetWrite, nullptr, 0);
            while (iReady == 0 && SpinClockUs() < uSpinEnd);
        }
        if (iReady == 0)
            iReady = qvEpollSelect(0, &SetRead, &SetWrite, nullptr, iTimeout);
        uBusy = iReady > 0;
        if (iReady < 0) {
            qvLogOut(0, "SocketProc: ThreadProc, select failed, errno=%d", errno);
            qvSleep(200);
        }
        u32 uNow = GET_TIMESTAMP();
        // A failed wait (a signal) is no timeout: the tick still waits for its second.
        if (iReady == 0 || uNow - uLast >= 1000) {
            if (m_SectWork.Lock()) {
                ProcTick(uNow, 1);
                m_SectWork.Unlock();
            }
            uLast = uNow;
        }
        if (!m_uInit || iReady <= 0)
            continue;
        if (m_Queue.FdCheck(&SetRead)) {
            // Every record queued so far is taken on one wake (at most a bounded number, so
            // that a flood of posts cannot starve the descriptors).
            for (u32 n = 0; n < SOCKPROC_QUEUE_DRAIN && m_uInit && uRun; n++) {
                u32 uRec[SOCKPROC_QUEUE_READ / 4];
                u32 uLen = m_Queue.Receive(uRec, sizeof(uRec));
                if (uLen == 0xFFFFFFFFu)
                    break;
                if (uLen >= SOCKPROC_QUEUE_REC && m_SectWork.Lock()) {
                    uRun = MessageProc(uRec[0], uRec[1], uRec[2], uRec[3], uRec[4]);
                    m_SectWork.Unlock();
                }
            }
            if (!m_uInit || !uRun)
                break;
        }
        for (u32 i = 0; i < uFdCount && m_uInit; i++) {
            u32 uBits = 0;
            if ((Fd[i].uMask & 1) && QV_FD_ISSET(Fd[i].hSocket, &SetRead))
                uBits |= 1;
            if ((Fd[i].uMask & 2) && QV_FD_ISSET(Fd[i].hSocket, &SetWrite))
                uBits |= 2;
            if (!uBits || Fd[i].uDrivType >= QV_SOCK_DRIV_MAX)
                continue;
            if (m_SectWork.Lock()) {
                m_lpDriv[Fd[i].uDrivType]->SelectProc(Fd[i].hSocket, uBits, Fd[i].uPriv, uNow);
                m_SectWork.Unlock();
            }
        }
    }
    if (m_lpSock)
        m_lpSock->SockEventBatchEnd();
    if (m_SectFd.Lock()) {
        m_lpEpoll = nullptr;
        m_SectFd.Unlock();
    }
    qvEpollDestroy(lpEpoll);
    delete lpEpoll;
    if (m_lpSock)
        m_lpSock->SocketProcThreadStatus(0);
}

// Configuration pass-throughs.

void* CQVSocketProc::GetPrivate(u32 uDrivType)
{
    if (uDrivType == QV_SOCK_DRIV_UDP4 || uDrivType == QV_SOCK_DRIV_LAN)
        return m_lpDriv[uDrivType]->GetPrivate(0);
    return nullptr;
}

u32 CQVSocketProc::GetTryTimeout()
{
    return m_uTryTimeout ? m_uTryTimeout : 6;
}

u32 CQVSocketProc::SetNetEnable(u32 uEnable)
{
    m_uRecvDisable = uEnable ? 0 : 1;
    return 1;
}

u32 CQVSocketProc::SetLoopSpeed(u32 uSpeed)
{
    return m_DrivUDP4.SetParam(1, &uSpeed, 4);
}

u32 CQVSocketProc::SetParam(u32 uItem, const void* lpValue, u32 uSize)
{
    if (uItem == 4)
        return m_DrivUDP4.SetParam(4, lpValue, uSize);
    if (uItem == 8) {
        if (lpValue && uSize >= 4)
            memcpy(&m_uFwdBudget, lpValue, 4);
        return m_DrivUDP4.SetParam(8, lpValue, uSize);
    }
    return 0;
}

u32 CQVSocketProc::GetParam(u32 uItem, void* lpValue, u32* lpuSize)
{
    if (uItem == 3)
        return m_DrivUDP4.GetParam(uItem, lpValue, lpuSize);
    return 0;
}

u32 CQVSocketProc::SetAddr(const QV_ADDR_S& Addr, u32 uWhich)
{
    if (!m_uInit || !Lock())
        return 0;
    u32 uRes;
    if (uWhich == 0) {
        uRes = m_DrivUDP4.SetLocalAddr(&Addr);
    } else if (uWhich == 1) {
        uRes = m_DrivUDP6.SetLocalAddr(&Addr);
    } else {
        m_DrivUDP4.SetLocalAddr(&Addr);
        uRes = m_DrivUDP6.SetLocalAddr(&Addr);
    }
    Unlock();
    return uRes;
}

u32 CQVSocketProc::GetAddr(QV_ADDR_S& Addr, u32 uWhich)
{
    if (!m_uInit || !Lock())
        return 0;
    u32 uRes = 1;
    if (uWhich == 0)
        uRes = m_DrivUDP4.GetPubAddr(&Addr);
    else if (uWhich == 1)
        uRes = m_DrivUDP6.GetPubAddr(&Addr);
    else
        Addr = m_AddrMain;
    Unlock();
    return uRes;
}

u32 CQVSocketProc::SetLabel(const char* lpszLabel)
{
    if (m_uSide || !lpszLabel)
        return 1;
    size_t uLen = strlen(lpszLabel);
    if (uLen == 0 || uLen > 127)
        return 1;
    char szLabel[128];
    memset(szLabel, 0, sizeof(szLabel));
    memcpy(szLabel, lpszLabel, uLen);
    m_DrivTCP.SetParam(9, szLabel, sizeof(szLabel));
    return 1;
}

u32 CQVSocketProc::SendDirect(const QV_ADDR_S& Addr, const QV_BUF_S& Buf, u32 uDrivType)
{
    if (!m_uInit || uDrivType >= QV_SOCK_DRIV_MAX)
        return 0xFFFFFFFFu;
    if (!Lock())
        return 0xFFFFFFFFu;
    // A client too answers sources it keeps no peer for (the socket layer's reply to an
    // InitQ over its init limit): straight to the address (flag 0x1), making no session in
    // the driver for a sender that may be anybody.
    u32 uRes = m_lpDriv[uDrivType]->Send(0, &Addr, &Buf, nullptr, m_uSide ? 0 : 1);
    Unlock();
    return uRes;
}

u32 CQVSocketProc::BuildRelayInfo(u8* lpBlock, u32 uSize, const QV_RELAY_INFO_S* lpList, u32 uCount)
{
    if (!lpBlock || uSize < 4)
        return 0;
    memset(lpBlock, 0, uSize);
    u32 uFit = (uSize - 4) / sizeof(QV_RELAY_INFO_S);
    // Only as many records as the block holds are written, and the count says so.
    u32 uTake = lpList ? (uCount < uFit ? uCount : uFit) : 0;
    memcpy(lpBlock, &uTake, 4);
    if (uTake)
        memcpy(lpBlock + 4, lpList, uTake * sizeof(QV_RELAY_INFO_S));
    return 4 + uTake * (u32)sizeof(QV_RELAY_INFO_S);
}

u32 CQVSocketProc::SetRelay(const QV_RELAY_INFO_S* lpList, u32 uCount)
{
    if (m_uSide || !lpList || !uCount)
        return 1;
    u8 Block[1024];
    u32 uLen = BuildRelayInfo(Block, sizeof(Block), lpList, uCount);
    return m_DrivTCP.SetParam(6, Block, uLen);
}

u32 CQVSocketProc::SetRelayExt(const QV_RELAY_INFO_S* lpList, u32 uCount)
{
    if (m_uSide || !lpList || !uCount)
        return 1;
    u8 Block[1024];
    u32 uLen = BuildRelayInfo(Block, sizeof(Block), lpList, uCount);
    return m_DrivTCP.SetParam(7, Block, uLen);
}
