// TCP forwarding extension: set-up and clean-up, the owner's operations, the node's instances
// and byte calls, and freeing sockets. The worker loop is in qvExtTcpThread.cpp, the HTTP
// handling of accepted sockets in qvExtTcpHttpSock.cpp.
#include "qvExtTcp.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "qvLog.h"
#include "qvOMLParser.h"

namespace {

// Largest AddrSock text: two internal address texts and the '/'.
const u32 ADDR_SOCK_MAX = 255;

// Unread input drained before a socket is closed, so that the close sends FIN after the
// last bytes instead of a reset that could destroy them at the client: at most this many
// reads of a scratch buffer.
const u32 DRAIN_READS = 4;

// The mode of an open option "(Option){(Mode){%u}}": 1 with it in *lpuMode (0 when the
// element is missing), 0 for a text that cannot be read or a mode other than 0 and 1.
u32 ParseOption(const char* lpszOption, u32* lpuMode)
{
    *lpuMode = 0;
    if (!lpszOption || !*lpszOption)
        return 1;
    IQVOMLParser* lpParser = qvNewOMLParser();
    IQVString* lpDoc = qvNewString(lpszOption);
    u32 uOk = 0;
    if (lpParser && lpDoc && lpParser->GetName(lpDoc, "") != nullptr) {
        const char* lpszMode = lpParser->GetContent(lpDoc, "Option.Mode");
        if (!lpszMode) {
            uOk = 1;
        } else if (lpszMode[0] && strspn(lpszMode, "0123456789") == strlen(lpszMode) && strlen(lpszMode) < 3) {
            *lpuMode = (u32)atoi(lpszMode);
            uOk = *lpuMode < 2;
        }
    }
    if (lpDoc)
        lpDoc->Delete();
    if (lpParser)
        lpParser->Delete();
    return uOk;
}

u32 SetBufSizes(int h, u32 uKB, const char* lpszOp, u32* lpuWhich)
{
    (void)lpszOp;
    if (uKB == 0)
        return 1;
    int iSize = (int)(uKB * 1024);
    if (setsockopt(h, SOL_SOCKET, SO_SNDBUF, &iSize, sizeof(iSize)) != 0) {
        *lpuWhich = 0;
        return 0;
    }
    if (setsockopt(h, SOL_SOCKET, SO_RCVBUF, &iSize, sizeof(iSize)) != 0) {
        *lpuWhich = 1;
        return 0;
    }
    return 1;
}

} // namespace

void CQVExtTcpThread::Proc()
{
    m_lpExt->ThreadProc(m_uIndex);
}

void CQVExtTcpQueSocket::OnClose()
{
    if (m_lpExt)
        m_lpExt->OnQueClose(m_uIndex);
}

CQVExtTcp::CQVExtTcp()
    : m_lpProc(nullptr), m_lpThread(nullptr), m_uThreadCount(0), m_uRunning(0), m_uTimerManual(0), m_uSockCount(0),
      m_uBufCount(0), m_uLingerCount(0), m_uAttached(0), m_uPassCount(0)
{
    memset(&m_Cfg, 0, sizeof(m_Cfg));
    m_Cfg.uMaxSess = 32;
    m_Cfg.uConnectTimeout = 10;
    m_Cfg.uBufSize = 128;
}

CQVExtTcp::~CQVExtTcp()
{
    OnClean();
    while (TCP_S* t = m_ListInst.PopHead())
        delete t;
}

void CQVExtTcp::Delete()
{
    OnClean();
    delete this;
}

bool CQVExtTcp::AttachDepend(IQVBase*, u32)
{
    return true;
}

u32 CQVExtTcp::Config(const CFG_S& Cfg)
{
    std::lock_guard<CQVCriticalSection> Lock(m_Sect);
    m_Cfg = Cfg;
    if (m_Cfg.uFilterCount > QV_EXT_TCP_FILTER_MAX)
        m_Cfg.uFilterCount = QV_EXT_TCP_FILTER_MAX;
    for (u32 i = 0; i < QV_EXT_TCP_FILTER_MAX; i++)
        m_Cfg.Filter[i].szText[sizeof(m_Cfg.Filter[i].szText) - 1] = '\0';
    return 1;
}

bool CQVExtTcp::OnInitialize(void*, IQVExtProc* lpProc, u32)
{
    OnClean();
    std::unique_lock<CQVCriticalSection> Lock(m_Sect);
    m_lpProc = lpProc;
    u32 uSum = m_Cfg.uMaxSess + m_Cfg.uMaxTunnel;
    u32 uCount = (uSum + THREAD_ENTRY_MAX - 1) / THREAD_ENTRY_MAX;
    if (uCount) {
        m_lpThread = new (std::nothrow) THREAD_S[uCount];
        if (!m_lpThread) {
            qvLogOut(0, "ExtTcp::OnInitialize, alloc thread list failed");
            return false;
        }
    }
    m_uThreadCount = uCount;
    u32 uOk = 1;
    for (u32 i = 0; i < uCount && uOk; i++) {
        THREAD_S* w = &m_lpThread[i];
        w->lpThread = new (std::nothrow) CQVExtTcpThread(this, i);
        w->uRunning = 1;
        w->uTick = 0;
        w->uCount = 0;
        w->uKeepMiss = 0;
        w->lpSockResume = nullptr;
        w->lpListenResume = nullptr;
        w->uEpollReady = 0;
        w->uRebuild = 1;
        w->uWakePending = 0;
        qvEPollInit(&w->Epoll);
        QV_FD_INIT(&w->SetRead, 0, &w->Epoll);
        QV_FD_INIT(&w->SetWrite, 1, &w->Epoll);
        char szTag[32];
        snprintf(szTag, sizeof(szTag), "ExtTcp%u", i);
        w->Que.Attach(this, i);
        // Every descriptor the worker watches leaves its epoll before it is closed.
        w->Que.Watch(&w->Epoll);
        if (!w->lpThread || !w->Que.Open(szTag, 0, 8))
            uOk = 0;
    }
    m_uRunning = uOk;
    for (u32 i = 0; i < uCount && uOk; i++) {
        if (!m_lpThread[i].lpThread->Start(50, 0))
            uOk = 0;
    }
    if (!uOk) {
        qvLogOut(0, "ExtTcp::OnInitialize, start thread list failed");
        Lock.unlock();
        OnClean();
        return false;
    }
    return true;
}

void CQVExtTcp::OnClean()
{
    std::unique_lock<CQVCriticalSection> Lock(m_Sect);
    m_uRunning = 0;
    u32 uCount = m_uThreadCount;
    THREAD_S* lpThread = m_lpThread;
    for (u32 i = 0; i < uCount; i++)
        lpThread[i].uRunning = 0;
    Lock.unlock();
    // Stop every worker; one that cannot be reached still sees its cleared flag within a
    // second.
    for (u32 i = 0; i < uCount; i++) {
        u32 uMsg = 4;
        lpThread[i].Que.Send(&uMsg, sizeof(uMsg), 0);
    }
    for (u32 i = 0; i < uCount; i++) {
        if (lpThread[i].lpThread && lpThread[i].lpThread->IsStarted())
            lpThread[i].lpThread->WaitForTermination();
    }
    Lock.lock();
    for (u32 i = 0; i < uCount; i++) {
        while (SOCK_S* s = lpThread[i].ListSock.Head())
            SockFree(s, FREE_ABORT, nullptr);
    }
    while (LISTEN_S* l = m_ListListen.Head())
        ListenFree(l);
    for (u32 i = 0; i < uCount; i++) {
        while (LISTEN_S* l = lpThread[i].ListFree.Head())
            ListenFree(l);
    }
    // Instances stay until the node closes them; they only lose their sockets.
    for (TCP_S* t = m_ListInst.Head(); t; t = m_ListInst.Next(t))
        t->lpSock = nullptr;
    m_uAttached = 0;
    m_lpThread = nullptr;
    m_uThreadCount = 0;
    Lock.unlock();
    for (u32 i = 0; i < uCount; i++) {
        lpThread[i].Que.Attach(nullptr, i);
        lpThread[i].Que.Close();
        delete lpThread[i].lpThread;
    }
    delete[] lpThread;
}

// ---------------------------------------------------------------------------------------------
// Notifications: the base class takes nothing.

u32 CQVExtTcp::OnAccept(const char*, const char*, u32)
{
    return 0;
}

void CQVExtTcp::OnConnect(const char*, u32) {}

void CQVExtTcp::OnPassEnd() {}

void CQVExtTcp::OnDisconnect(const char*) {}

void CQVExtTcp::OnError(u32) {}

// ---------------------------------------------------------------------------------------------
// Helpers (lock held)

u32 CQVExtTcp::MakeAddrSock(const QV_ADDR_S* lpA, const QV_ADDR_S* lpB, char* lpszOut, u32 uSize)
{
    char szA[QV_ADDR_STR_SIZE], szB[QV_ADDR_STR_SIZE];
    if (!qvAddrToStr(lpA, szA, sizeof(szA)) || !qvAddrToStr(lpB, szB, sizeof(szB)))
        return 0;
    int n = snprintf(lpszOut, uSize, "%s/%s", szA, szB);
    return n > 0 && (u32)n < uSize && (u32)n <= ADDR_SOCK_MAX;
}

u32 CQVExtTcp::HashOf(const char* lpszText)
{
    u32 h = 0;
    for (const char* p = lpszText; *p; p++)
        h = h * 31 + (u8)*p;
    return h & (HASH_SIZE - 1);
}

CQVExtTcp::SOCK_S* CQVExtTcp::SockFind(const char* lpszAddrSock)
{
    if (!lpszAddrSock)
        return nullptr;
    HASH_LIST& List = m_Hash[HashOf(lpszAddrSock)];
    for (SOCK_S* s = List.Head(); s; s = List.Next(s)) {
        if (strcmp(s->strAddrSock.c_str(), lpszAddrSock) == 0)
            return s;
    }
    return nullptr;
}

CQVExtTcp::LISTEN_S* CQVExtTcp::ListenFind(const QV_ADDR_S* lpAddr)
{
    for (LISTEN_S* l = m_ListListen.Head(); l; l = m_ListListen.Next(l)) {
        if (qvAddrCompare(&l->Addr, lpAddr) == 0)
            return l;
    }
    return nullptr;
}

u32 CQVExtTcp::SelectThread()
{
    u32 uBest = 0xFFFF;
    for (u32 i = 0; i < m_uThreadCount; i++) {
        THREAD_S* w = &m_lpThread[i];
        if (!w->uRunning || w->uCount >= THREAD_ENTRY_MAX)
            continue;
        if (uBest == 0xFFFF || w->uCount < m_lpThread[uBest].uCount)
            uBest = i;
    }
    return uBest;
}

CQVExtTcp::SOCK_S* CQVExtTcp::SockNew(u32 uThread, int hSocket, const char* lpszAddrSock)
{
    SOCK_S* s = new (std::nothrow) SOCK_S();
    if (!s)
        return nullptr;
    s->strAddrSock = lpszAddrSock;
    if (s->strAddrSock.length() != strlen(lpszAddrSock)) {
        delete s;
        return nullptr;
    }
    THREAD_S* w = &m_lpThread[uThread];
    s->lpWrite = s->lpRead = nullptr;
    memset(&s->Addr, 0, sizeof(s->Addr));
    s->lpListen = nullptr;
    s->uListenFlags = s->uListenParam = 0;
    s->uListenThread = 0xFFFF;
    s->uThread = uThread;
    s->uSide = 0;
    s->uStatus = s->uCtrl = s->uPoll = 0;
    s->uStampRead = s->uStampWrite = s->uStampRecv = s->uStampSend = w->uTick;
    s->uWaitCount = s->uLingerCount = 0;
    s->hSocket = hSocket;
    s->uReqCount = s->uHttpState = s->uPhase = s->uContentLen = s->uBodyPos = s->uHeadLeft = 0;
    s->uProxyConn = s->uHostChanged = 0;
    s->uRespLen = s->uRespPos = s->uRespScan = 0;
    memset(&s->Buf, 0, sizeof(s->Buf));
    s->uReadPos = 0;
    memset(&s->Out.Buf, 0, sizeof(s->Out.Buf));
    s->Out.uSent = s->Out.uReady = 0;
    // The number may have been left behind in the worker's wait set by a descriptor that was
    // closed elsewhere; it is forgotten before this socket is watched.
    Unwatch(uThread, hSocket);
    m_Hash[HashOf(lpszAddrSock)].PushTail(s);
    m_ListSock.PushTail(s);
    w->ListSock.PushTail(s);
    w->uCount++;
    m_uSockCount++;
    return s;
}

void CQVExtTcp::EventAdd(EVENTS_S* lpEv, TCP_S* t, u32 uEvent)
{
    if (!lpEv || !t || lpEv->uCount >= EVENT_MAX)
        return;
    for (u32 i = 0; i < lpEv->uCount; i++) {
        if (lpEv->uInst[i] == t->uInstHandle && lpEv->uEvent[i] == uEvent)
            return;
    }
    lpEv->uInst[lpEv->uCount] = t->uInstHandle;
    lpEv->uEvent[lpEv->uCount] = uEvent;
    lpEv->uCount++;
}

void CQVExtTcp::EventPost(EVENTS_S* lpEv, u32 uNow)
{
    IQVExtProc* lpProc = m_lpProc;
    if (!lpProc)
        return;
    for (u32 i = 0; i < lpEv->uCount; i++) {
        if (uNow)
            lpProc->OnEventNow(lpEv->uInst[i], 0, lpEv->uEvent[i], 0);
        else
            lpProc->OnEvent(lpEv->uInst[i], 0, lpEv->uEvent[i], 0);
    }
    lpEv->uCount = 0;
}

void CQVExtTcp::Wake(u32 uThread, u32 uMsg)
{
    if (uThread >= m_uThreadCount)
        return;
    THREAD_S* w = &m_lpThread[uThread];
    // One wake-up on its way is enough: the worker rebuilds everything in its next pass.
    if (w->uWakePending.exchange(1))
        return;
    // Not sent (the socket is being reopened): the next wake-up must try again.
    if (w->Que.Send(&uMsg, sizeof(uMsg), 0) == QV_NOT_FOUND)
        w->uWakePending = 0;
}

void CQVExtTcp::ArmRead(SOCK_S* s)
{
    if (s->uStatus & (SOCK_STA_READ_END | SOCK_STA_LINGER))
        return;
    THREAD_S* w = &m_lpThread[s->uThread];
    s->uStampRead = w->uTick;
    if (s->uPoll & SOCK_POLL_READ)
        return;
    s->uPoll |= SOCK_POLL_READ;
    // Registered at once: a worker in its wait hears of the socket without being woken.
    if (w->uEpollReady)
        QV_FD_SET(s->hSocket, &w->SetRead);
}

void CQVExtTcp::DisarmRead(SOCK_S* s)
{
    if (!(s->uPoll & SOCK_POLL_READ))
        return;
    s->uPoll &= ~(u32)SOCK_POLL_READ;
    THREAD_S* w = &m_lpThread[s->uThread];
    if (w->uEpollReady)
        QV_FD_CLR(s->hSocket, &w->SetRead);
}

void CQVExtTcp::DisarmWrite(SOCK_S* s)
{
    if (!(s->uPoll & SOCK_POLL_WRITE))
        return;
    s->uPoll &= ~(u32)SOCK_POLL_WRITE;
    THREAD_S* w = &m_lpThread[s->uThread];
    if (w->uEpollReady)
        QV_FD_CLR(s->hSocket, &w->SetWrite);
}

void CQVExtTcp::Unwatch(u32 uThread, int hSocket)
{
    THREAD_S* w = &m_lpThread[uThread];
    if (w->uEpollReady)
        qvEpollForget(&w->Epoll, hSocket);
}

void CQVExtTcp::ArmWrite(SOCK_S* s)
{
    THREAD_S* w = &m_lpThread[s->uThread];
    s->uStampWrite = w->uTick;
    if (s->uPoll & SOCK_POLL_WRITE)
        return;
    s->uPoll |= SOCK_POLL_WRITE;
    if (w->uEpollReady)
        QV_FD_SET(s->hSocket, &w->SetWrite);
}

void CQVExtTcp::SockGone(SOCK_S* s)
{
    if (s->uStatus & SOCK_STA_GONE)
        return;
    s->uStatus |= SOCK_STA_GONE;
    OnDisconnect(s->strAddrSock.c_str());
}

void CQVExtTcp::SockDetach(SOCK_S* s)
{
    if (s->lpRead) {
        s->lpRead->lpSock = nullptr;
        s->lpRead = nullptr;
        m_uAttached--;
    }
    if (s->lpWrite) {
        s->lpWrite->lpSock = nullptr;
        s->lpWrite = nullptr;
        m_uAttached--;
    }
}

u32 CQVExtTcp::SockReadEnd(SOCK_S* s, EVENTS_S* lpEv)
{
    s->uStatus |= SOCK_STA_READ_END;
    s->uPoll &= ~(u32)SOCK_POLL_PEEK;
    DisarmRead(s);
    SockGone(s);
    EventAdd(lpEv, s->lpRead, 2);
    return SockCheckDone(s, lpEv);
}

u32 CQVExtTcp::SockCheckDone(SOCK_S* s, EVENTS_S* lpEv)
{
    if (!(s->uStatus & SOCK_STA_READ_END) || (s->uStatus & SOCK_STA_LINGER))
        return 0;
    // Nothing is left to do when both directions have ended, and nobody will ever take an
    // accepted socket whose client left before it was reported.
    u32 uDone = (s->uStatus & SOCK_STA_SHUT) != 0;
    if (s->uSide == 0 && !(s->uStatus & SOCK_STA_REPORTED) && !s->lpRead && !s->lpWrite)
        uDone = 1;
    if (!uDone)
        return 0;
    SockFree(s, FREE_NORMAL, lpEv);
    return 1;
}

u32 CQVExtTcp::SockWriteEnd(SOCK_S* s, EVENTS_S* lpEv)
{
    s->uStatus |= SOCK_STA_WRITE_END;
    if (s->Out.uReady > s->Out.uSent) {
        ArmWrite(s);
        return 0;
    }
    if (!(s->uStatus & SOCK_STA_SHUT)) {
        shutdown(s->hSocket, SHUT_WR);
        s->uStatus |= SOCK_STA_SHUT;
    }
    return SockCheckDone(s, lpEv);
}

void CQVExtTcp::BufFree(QV_BUF_S* lpBuf)
{
    if (lpBuf->buf) {
        qvBufFree(lpBuf);
        m_uBufCount--;
    }
}

u32 CQVExtTcp::BufGet(QV_BUF_S* lpBuf)
{
    if (lpBuf->buf)
        return 1;
    if (!qvBufAlloc(lpBuf, BUF_SIZE, 0))
        return 0;
    m_uBufCount++;
    return 1;
}

void CQVExtTcp::SockFree(SOCK_S* s, u32 uHow, EVENTS_S* lpEv)
{
    THREAD_S* w = &m_lpThread[s->uThread];
    if (!(s->uStatus & SOCK_STA_LINGER)) {
        // The instances stay open without a socket; tell them so they read and write no more.
        EventAdd(lpEv, s->lpRead, 2);
        EventAdd(lpEv, s->lpWrite, 1);
        SockDetach(s);
        if (s->uSide == 0 && s->lpListen && m_Cfg.uMaxParallel && s->lpListen->uParallel) {
            // The listener may take a client again: its worker rebuilds its wait set.
            s->lpListen->uParallel--;
            Wake(s->lpListen->uThread, 2);
        }
        s->lpListen = nullptr;
        m_Hash[HashOf(s->strAddrSock.c_str())].Remove(s);
        m_ListSock.Remove(s);
        w->ListWait.Remove(s);
        BufFree(&s->Buf);
        m_uSockCount--;
        // Bytes that were taken from the node still go out before the end of stream.
        if (uHow == FREE_NORMAL && s->Out.uReady > s->Out.uSent) {
            int iErr = 0;
            OutFlush(s, &iErr);
            if (iErr == 0 && s->Out.uReady > s->Out.uSent) {
                s->uStatus |= SOCK_STA_LINGER;
                DisarmRead(s);
                s->uPoll = s->uPoll & SOCK_POLL_WRITE;
                s->uLingerCount = 0;
                m_uLingerCount++;
                ArmWrite(s);
                return;
            }
        }
    } else {
        s->uStatus &= ~(u32)SOCK_STA_LINGER;
        m_uLingerCount--;
    }
    if (w->lpSockResume == s)
        w->lpSockResume = w->ListSock.Next(s);
    w->ListSock.Remove(s);
    w->uCount--;
    BufFree(&s->Out.Buf);
    if (uHow == FREE_NORMAL && !(s->uStatus & SOCK_STA_READ_END)) {
        u8 aucScratch[4096];
        for (u32 i = 0; i < DRAIN_READS; i++) {
            if (recv(s->hSocket, aucScratch, sizeof(aucScratch), MSG_DONTWAIT) <= 0)
                break;
        }
    }
    Unwatch(s->uThread, s->hSocket);
    shutdown(s->hSocket, SHUT_WR);
    close(s->hSocket);
    delete s;
}

void CQVExtTcp::ListenFree(LISTEN_S* l)
{
    m_ListListen.Remove(l);
    if (l->uThread < m_uThreadCount) {
        THREAD_S* w = &m_lpThread[l->uThread];
        if (w->lpListenResume == l)
            w->lpListenResume = w->ListListen.Next(l);
        if (w->ListListen.Remove(l))
            w->uCount--;
    } else {
        for (u32 i = 0; i < m_uThreadCount; i++)
            m_lpThread[i].ListFree.Remove(l);
    }
    l->Listen.Close();
    delete l;
}

// ---------------------------------------------------------------------------------------------
// Owner operations

u32 CQVExtTcp::Connect(const QV_ADDR_S* lpServer, const QV_ADDR_S* lpBind, char* lpszAddrSock, u32 uSize)
{
    if (!lpServer || !lpszAddrSock || uSize == 0)
        return 0;
    std::unique_lock<CQVCriticalSection> Lock(m_Sect);
    if (!m_uRunning)
        return 0;
    u32 uThread = SelectThread();
    if (uThread == 0xFFFF) {
        qvLogOut(0, "ExtTcp: SockConnect, too manay connents!");
        OnError(QV_EXT_TCP_ERR_FULL);
        return 0;
    }
    int h = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (h < 0) {
        qvLogOut(0, "ExtTcp: SockConnect, create socket failed. errno=%d", errno);
        OnError(QV_EXT_TCP_ERR_SOCKET);
        return 0;
    }
    struct sockaddr_storage Sa;
    int iOn = 1;
    u32 uWhich = 0;
    const char* lpszFail = nullptr;
    u32 uErr = 0;
    if (lpBind && (lpBind->uAddr[0] | lpBind->uAddr[1] | lpBind->uAddr[2] | lpBind->uAddr[3] | lpBind->uPort)) {
        socklen_t uLen = (socklen_t)qvAddrToSockAddr(lpBind, QV_ADDR_VER_IPV4, &Sa);
        if (qvAddrIPVer(lpBind) == QV_ADDR_VER_IPV6 || uLen == 0 || bind(h, (struct sockaddr*)&Sa, uLen) != 0) {
            lpszFail = "ExtTcp: SockConnect, bind client addr failed. errno=%d";
            uErr = QV_EXT_TCP_ERR_BIND;
        }
    }
    if (!lpszFail && setsockopt(h, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn)) != 0) {
        lpszFail = "ExtTcp: SockConnect, reuse addr failed. errno=%d";
        uErr = QV_EXT_TCP_ERR_OPTION;
    }
    if (!lpszFail && !SetBufSizes(h, m_Cfg.uBufSize, "SockConnect", &uWhich)) {
        lpszFail = uWhich == 0 ? "ExtTcp: SockConnect, set send buffer size failed, errno=%d"
                               : "ExtTcp: SockConnect, set recv buffer size failed, errno=%d";
        uErr = QV_EXT_TCP_ERR_OPTION;
    }
    if (!lpszFail && fcntl(h, F_SETFL, fcntl(h, F_GETFL) | O_NONBLOCK) != 0) {
        lpszFail = "ExtTcp: SockConnect, ioctlsocket failed. errno=%d";
        uErr = QV_EXT_TCP_ERR_OPTION;
    }
    if (!lpszFail) {
        // Forwarded bytes go out as they come: the node hands them over in large pieces.
        setsockopt(h, IPPROTO_TCP, TCP_NODELAY, &iOn, sizeof(iOn));
        // Only IPv4 is connected; an IPv6 address would otherwise be cut to its last word.
        socklen_t uLen = qvAddrIPVer(lpServer) == QV_ADDR_VER_IPV4
                             ? (socklen_t)qvAddrToSockAddr(lpServer, QV_ADDR_VER_IPV4, &Sa)
                             : 0;
        if (uLen == 0)
            errno = EAFNOSUPPORT;
        if (uLen == 0 || (connect(h, (struct sockaddr*)&Sa, uLen) != 0 && errno != EINPROGRESS)) {
            lpszFail = "ExtTcp: SockConnect, connect failed. errno=%d";
            uErr = QV_EXT_TCP_ERR_CONNECT;
        }
    }
    QV_ADDR_S Local;
    if (!lpszFail) {
        socklen_t uLen = sizeof(Sa);
        if (getsockname(h, (struct sockaddr*)&Sa, &uLen) != 0 || !qvAddrFromSockAddr((struct sockaddr*)&Sa, &Local)) {
            lpszFail = "ExtTcp: SockConnect, getsockname failed. errno=%d";
            uErr = QV_EXT_TCP_ERR_ADDR;
        }
    }
    if (lpszFail) {
        qvLogOut(0, lpszFail, errno);
        close(h);
        OnError(uErr);
        return 0;
    }
    char szAddrSock[ADDR_SOCK_MAX + 1];
    if (!MakeAddrSock(lpServer, &Local, szAddrSock, sizeof(szAddrSock)) || strlen(szAddrSock) >= uSize) {
        close(h);
        return 0;
    }
    if (SockFind(szAddrSock)) {
        qvLogOut(0, "ExtTcp: SockConnect, The socket is exist, szAddrSock=%s", szAddrSock);
        close(h);
        return 0;
    }
    SOCK_S* s = SockNew(uThread, h, szAddrSock);
    if (!s) {
        qvLogOut(0, "ExtTcp: SockConnect, Alloc socket failed. szAddrSock=%s", szAddrSock);
        close(h);
        OnError(QV_EXT_TCP_ERR_ALLOC);
        return 0;
    }
    s->uSide = 1;
    s->Addr = *lpServer;
    s->uListenThread = 0xFFFF;
    s->uHttpState = 6;
    m_lpThread[uThread].ListWait.PushTail(s);
    // A connect to a service on this host has finished by the time connect() returns: it is
    // reported now rather than after the worker's wake-up, a thread hand-off less on the way
    // of every new connection. It is looked at before the socket is armed for writing: armed
    // first, the finished connect woke the worker for a socket that needed nothing from it.
    // Anything slower is armed and seen by the worker.
    struct pollfd Pfd = {h, POLLOUT, 0};
    if (poll(&Pfd, 1, 0) == 1)
        ConnectDone(s, nullptr);
    if (!(s->uStatus & (SOCK_STA_CONNECTED | SOCK_STA_FAILED)))
        ArmWrite(s);
    memcpy(lpszAddrSock, szAddrSock, strlen(szAddrSock) + 1);
    return 1;
}

u32 CQVExtTcp::Disconnect(const char* lpszAddrSock, u32 uMode)
{
    std::unique_lock<CQVCriticalSection> Lock(m_Sect);
    if (!m_uRunning || uMode > 1)
        return 0;
    SOCK_S* s = SockFind(lpszAddrSock);
    if (!s)
        return 0;
    if (uMode == 1 && s->lpRead && s->lpWrite) {
        s->uStatus |= SOCK_STA_CLOSING;
        if (s->uSide == 0)
            s->strHost = "";
        ArmRead(s);
        ArmWrite(s);
        return 1;
    }
    SockFree(s, FREE_NORMAL, nullptr);
    return 1;
}

u32 CQVExtTcp::ListenAdd(const QV_ADDR_S* lpAddr, u32 uFlags, u32 uParam)
{
    if (!lpAddr)
        return 0;
    std::lock_guard<CQVCriticalSection> Lock(m_Sect);
    if (!m_uRunning)
        return 0;
    LISTEN_S* l = ListenFind(lpAddr);
    if (l) {
        l->uFlags = uFlags;
        l->uParam = uParam;
        l->Listen.Check();
        return 1;
    }
    u32 uThread = SelectThread();
    if (uThread == 0xFFFF) {
        qvLogOut(0, "ExtTcp::SockListenAdd, SelectThread failed.");
        return 0;
    }
    l = new (std::nothrow) LISTEN_S();
    if (!l)
        return 0;
    l->Addr = *lpAddr;
    l->uThread = uThread;
    l->uFlags = uFlags;
    l->uParam = uParam;
    l->uAcceptCount = 0;
    l->uParallel = 0;
    l->uWatched = 0;
    THREAD_S* w = &m_lpThread[uThread];
    l->Listen.Watch(&w->Epoll);
    l->Listen.TimerProc(w->uTick);
    if (!l->Listen.Open("ExtTcp", lpAddr, 8)) {
        qvLogOut(0, "ExtTcp::SockListenAdd, Open listen socket failed.");
        delete l;
        return 0;
    }
    m_ListListen.PushTail(l);
    w->ListListen.PushTail(l);
    w->uCount++;
    w->uRebuild = 1;
    Wake(uThread, 0);
    return 1;
}

u32 CQVExtTcp::ListenDelete(const QV_ADDR_S* lpAddr)
{
    if (!lpAddr)
        return 0;
    std::lock_guard<CQVCriticalSection> Lock(m_Sect);
    if (!m_uRunning)
        return 0;
    LISTEN_S* l = ListenFind(lpAddr);
    if (!l)
        return 0;
    THREAD_S* w = &m_lpThread[l->uThread];
    if (w->lpListenResume == l)
        w->lpListenResume = w->ListListen.Next(l);
    w->ListListen.Remove(l);
    w->uCount--;
    m_ListListen.Remove(l);
    for (SOCK_S* s = m_ListSock.Head(); s; s = m_ListSock.Next(s)) {
        if (s->lpListen == l)
            s->lpListen = nullptr;
    }
    u32 uThread = l->uThread;
    l->uThread = 0xFFFFFF;
    w->ListFree.PushTail(l);
    Wake(uThread, 0);
    return 1;
}

u32 CQVExtTcp::ListenExist(const QV_ADDR_S* lpAddr)
{
    if (!lpAddr)
        return 0;
    std::lock_guard<CQVCriticalSection> Lock(m_Sect);
    if (!m_uRunning)
        return 0;
    return ListenFind(lpAddr) ? 1 : 0;
}

u32 CQVExtTcp::ListenBind(const QV_ADDR_S* lpAddr)
{
    if (!lpAddr)
        return 0;
    {
        std::lock_guard<CQVCriticalSection> Lock(m_Sect);
        if (m_uRunning && !ListenFind(lpAddr))
            return 1;
    }
    if (qvAddrIPVer(lpAddr) == QV_ADDR_VER_IPV6)
        return 0;
    struct sockaddr_storage Sa;
    socklen_t uLen = (socklen_t)qvAddrToSockAddr(lpAddr, QV_ADDR_VER_IPV4, &Sa);
    int h = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (h < 0)
        return 0;
    // The listener binds with SO_REUSEADDR: so does the probe, or connections of an earlier
    // use of the port, still in their closing wait, would make a free address look taken.
    int iOn = 1;
    setsockopt(h, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn));
    u32 uOk = uLen != 0 && bind(h, (struct sockaddr*)&Sa, uLen) == 0;
    close(h);
    return uOk;
}

void CQVExtTcp::GetStat(STAT_S* lpStat)
{
    if (!lpStat)
        return;
    std::lock_guard<CQVCriticalSection> Lock(m_Sect);
    memset(lpStat, 0, sizeof(*lpStat));
    lpStat->uSockets = m_uSockCount + m_uLingerCount;
    lpStat->uLinger = m_uLingerCount;
    lpStat->uInstances = m_ListInst.Count();
    lpStat->uAttached = m_uAttached;
    lpStat->uListeners = m_ListListen.Count();
    lpStat->uBuffers = m_uBufCount;
    lpStat->uThreads = m_uThreadCount;
    for (u32 i = 0; i < m_uThreadCount; i++) {
        lpStat->uEntries += m_lpThread[i].uCount;
        lpStat->uListeners += m_lpThread[i].ListFree.Count();
    }
}

void CQVExtTcp::SetTimerManual(u32 uManual)
{
    m_uTimerManual = uManual ? 1 : 0;
}

u64 CQVExtTcp::GetPassCount()
{
    std::lock_guard<CQVCriticalSection> Lock(m_Sect);
    return m_uPassCount;
}

// ---------------------------------------------------------------------------------------------
// Instances (node thread)

bool CQVExtTcp::OnOpen(void** lppInst, const char* lpszName, const char* lpszOption, u32, u32 uInstHandle,
                       IQVExtProc*)
{
    if (!lppInst || !lpszName)
        return false;
    const char* lpszAddrSock = strchr(lpszName, '/');
    u32 uMode = 0;
    if (!lpszAddrSock || !ParseOption(lpszOption, &uMode))
        return false;
    lpszAddrSock++;
    EVENTS_S Ev;
    Ev.uCount = 0;
    {
        std::lock_guard<CQVCriticalSection> Lock(m_Sect);
        if (!m_uRunning)
            return false;
        SOCK_S* s = SockFind(lpszAddrSock);
        if (!s || (uMode == 1 && (s->uStatus & SOCK_STA_WRITE_END)))
            return false;
        // Every open gets its own instance: one shared by two opens of the same name would be
        // freed by the first close while the second still uses it.
        TCP_S* t = new (std::nothrow) TCP_S();
        if (!t)
            return false;
        t->strName = lpszName;
        t->uInstHandle = uInstHandle;
        t->uMode = uMode;
        t->lpSock = s;
        TCP_S** lppSide = uMode == 1 ? &s->lpWrite : &s->lpRead;
        if (*lppSide) {
            (*lppSide)->lpSock = nullptr;
            m_uAttached--;
        }
        *lppSide = t;
        m_uAttached++;
        m_ListInst.PushTail(t);
        if (uMode == 0) {
            // Whatever waits (bytes or the end of the stream) is announced to the new reader.
            if ((s->uStatus & SOCK_STA_READ_END) || (s->Buf.uLen > s->uReadPos && HttpAllowance(s)))
                EventAdd(&Ev, t, 2);
            else
                ArmRead(s);
        } else if (s->uStatus & SOCK_STA_CONNECTED) {
            EventAdd(&Ev, t, 1);
        }
        *lppInst = t;
    }
    EventPost(&Ev);
    return true;
}

void CQVExtTcp::OnClose(const void* lpInst, u32)
{
    TCP_S* t = (TCP_S*)lpInst;
    if (!t)
        return;
    EVENTS_S Ev;
    Ev.uCount = 0;
    {
        std::lock_guard<CQVCriticalSection> Lock(m_Sect);
        if (!m_ListInst.Remove(t))
            return;
        SOCK_S* s = t->lpSock;
        if (s) {
            m_uAttached--;
            u32 uFreed = 0;
            if (s->lpRead == t) {
                s->lpRead = nullptr;
            } else if (s->lpWrite == t) {
                s->lpWrite = nullptr;
                // The stream into this socket has ended: the local side gets its end of stream
                // after the last byte.
                if (!(s->uStatus & SOCK_STA_CLOSING))
                    uFreed = SockWriteEnd(s, &Ev);
                else
                    s->uStatus |= SOCK_STA_WRITE_END;
            }
            if (!uFreed && (s->uStatus & SOCK_STA_CLOSING))
                SockFree(s, FREE_NORMAL, &Ev);
        }
    }
    delete t;
    EventPost(&Ev);
}

int CQVExtTcp::OnCtrl(const void* lpInst, u32 uValue, const void*, u32, void*, u32*)
{
    TCP_S* t = (TCP_S*)lpInst;
    std::lock_guard<CQVCriticalSection> Lock(m_Sect);
    if (!t || !t->lpSock || uValue != 0)
        return 0;
    t->lpSock->uCtrl = 0;
    return 1;
}

int CQVExtTcp::OnRead(const void* lpInst, u32, void* lpBuf, u32* lpuSize, u64)
{
    TCP_S* t = (TCP_S*)lpInst;
    if (!lpuSize)
        return 0;
    u32 uWant = *lpuSize;
    *lpuSize = 0;
    if (!t || (!lpBuf && uWant))
        return 0;
    EVENTS_S Ev;
    Ev.uCount = 0;
    int iRet;
    {
        std::lock_guard<CQVCriticalSection> Lock(m_Sect);
        iRet = ReadLocked(t, (u8*)lpBuf, uWant, lpuSize, &Ev);
    }
    EventPost(&Ev);
    return iRet;
}

int CQVExtTcp::ReadLocked(TCP_S* t, u8* lpBuf, u32 uWant, u32* lpuSize, EVENTS_S* lpEv)
{
    SOCK_S* s = t->lpSock;
    if (!s || s->lpRead != t)
        return 0;
    if (uWant == 0)
        return 1;
    u32 uAllow = HttpAllowance(s);
    if (uAllow == 0) {
        s->uStatus |= SOCK_STA_WANT_READ;
        return 1;
    }
    if (uWant > uAllow)
        uWant = uAllow;
    // Bytes that the head reader took in go first.
    u32 uBuffered = s->Buf.uLen - s->uReadPos;
    if (uBuffered) {
        u32 n = uBuffered < uWant ? uBuffered : uWant;
        memcpy(lpBuf, s->Buf.buf + s->uReadPos, n);
        s->uReadPos += n;
        if (s->uReadPos == s->Buf.uLen) {
            s->uReadPos = s->Buf.uLen = 0;
            if (s->uHttpState == 6)
                BufFree(&s->Buf);
        }
        *lpuSize = n;
        HttpDeliver(s, n, lpEv);
        if (n < uWant)
            ArmRead(s);
        return 3;
    }
    if (s->uStatus & SOCK_STA_READ_END) {
        SockGone(s);
        return 0;
    }
    ssize_t n = recv(s->hSocket, lpBuf, uWant, MSG_DONTWAIT);
    if (n > 0) {
        if (s->uSide == 0)
            s->uStampRecv = m_lpThread[s->uThread].uTick;
        *lpuSize = (u32)n;
        HttpDeliver(s, (u32)n, lpEv);
        // A full read leaves the rest for the caller's next read. So does a short one of a
        // raw stream: the node reads again as soon as its buffer has room (after each send,
        // acknowledgement or window notice), and the read that finds the socket empty arms
        // it. Arming here cost two epoll_ctl calls and a worker wake-up, contending with this
        // thread, for every few reads of a stream that was never empty. A short read of a
        // socket whose reader is paced by its HTTP state is announced as before.
        if ((u32)n < uWant && s->uHttpState != 6)
            ArmRead(s);
        return 3;
    }
    if (n == 0) {
        SockReadEnd(s, nullptr);
        return 0;
    }
    int iErr = errno;
    if (iErr == EAGAIN || iErr == EWOULDBLOCK || iErr == EINTR) {
        s->uStatus |= SOCK_STA_WANT_READ;
        if (s->uSide == 0 || (s->uStatus & SOCK_STA_CONNECTED))
            ArmRead(s);
        return 1;
    }
    SockGone(s);
    SockFree(s, FREE_ABORT, lpEv);
    return 0;
}

int CQVExtTcp::OnWrite(const void* lpInst, u32, const void* lpData, u32* lpuSize, u64)
{
    TCP_S* t = (TCP_S*)lpInst;
    if (!lpuSize)
        return 0;
    u32 uLen = *lpuSize;
    *lpuSize = 0;
    if (!t || (!lpData && uLen))
        return 0;
    EVENTS_S Ev;
    Ev.uCount = 0;
    int iRet;
    {
        std::lock_guard<CQVCriticalSection> Lock(m_Sect);
        SOCK_S* s = t->lpSock;
        if (!s || s->lpWrite != t || (s->uStatus & SOCK_STA_SHUT)) {
            iRet = 0;
        } else if (uLen == 0) {
            iRet = 1;
        } else if (s->uSide == 0 && s->uListenFlags && s->uHttpState >= 1 && s->uHttpState <= 3) {
            *lpuSize = uLen;
            iRet = HttpWrite(s, (const u8*)lpData, lpuSize, &Ev);
        } else {
            iRet = WritePlain(s, (const u8*)lpData, uLen, lpuSize, &Ev);
        }
    }
    EventPost(&Ev);
    return iRet;
}

int CQVExtTcp::WritePlain(SOCK_S* s, const u8* lpData, u32 uLen, u32* lpuSize, EVENTS_S* lpEv)
{
    int iErr = 0;
    // Pending answer or head bytes go before anything that follows them.
    if (s->Out.uReady > s->Out.uSent) {
        OutFlush(s, &iErr);
        if (iErr) {
            SockGone(s);
            SockFree(s, FREE_ABORT, lpEv);
            return 0;
        }
        if (s->Out.uReady > s->Out.uSent) {
            s->uStatus |= SOCK_STA_WANT_WRITE;
            ArmWrite(s);
            return 1;
        }
    }
    u32 n = Send(s, lpData, uLen, &iErr);
    if (iErr) {
        SockGone(s);
        SockFree(s, FREE_ABORT, lpEv);
        return 0;
    }
    *lpuSize = n;
    if (n < uLen) {
        s->uStatus |= SOCK_STA_WANT_WRITE;
        ArmWrite(s);
    }
    return n ? 3 : 1;
}

u32 CQVExtTcp::Send(SOCK_S* s, const void* lpData, u32 uLen, int* lpiErr)
{
    *lpiErr = 0;
    ssize_t n = send(s->hSocket, lpData, uLen, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        if (s->uSide == 0)
            s->uStampSend = m_lpThread[s->uThread].uTick;
        return (u32)n;
    }
    int iErr = n == 0 ? EAGAIN : errno;
    if (iErr == EAGAIN || iErr == EWOULDBLOCK || iErr == EINTR) {
        qvLogOut(3, "ExtTcp:OnWrite, Name=%s, errno=%d", s->lpWrite ? s->lpWrite->strName.c_str() : "",
                 iErr);
        return 0;
    }
    *lpiErr = iErr;
    return 0;
}

void CQVExtTcp::OutFlush(SOCK_S* s, int* lpiErr)
{
    *lpiErr = 0;
    while (s->Out.uSent < s->Out.uReady) {
        u32 n = Send(s, s->Out.Buf.buf + s->Out.uSent, s->Out.uReady - s->Out.uSent, lpiErr);
        if (*lpiErr)
            return;
        if (n == 0) {
            ArmWrite(s);
            return;
        }
        s->Out.uSent += n;
    }
    if (s->Out.uReady == s->Out.Buf.uLen) {
        // Everything that was held has gone: the buffer is not kept between responses.
        BufFree(&s->Out.Buf);
        s->Out.uSent = s->Out.uReady = 0;
    }
}
