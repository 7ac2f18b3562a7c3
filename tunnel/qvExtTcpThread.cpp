// TCP forwarding extension: the worker loop, accepting, outgoing connects, the once-a-second
// step and the socket events that the workers pass to the node.
#include "qvExtTcp.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "qvLog.h"

namespace {

// A pass waits at most this long, so that the once-a-second step keeps its pace.
const u32 TICK_MS = 1000;
// Reading and writing are re-armed when they have not been for more than this many ticks.
const u32 REARM_TICKS = 4;
// Seconds a freed socket may spend sending its last buffered bytes.
const u32 LINGER_TICKS = 10;
// Messages read from the wake-up socket in one pass.
const u32 MSG_PER_PASS = 16;

// Set on the workers' threads for their whole life.
thread_local bool t_bWorker = false;

u64 NowMs()
{
    struct timespec Ts;
    clock_gettime(CLOCK_MONOTONIC, &Ts);
    return (u64)Ts.tv_sec * 1000 + (u64)Ts.tv_nsec / 1000000;
}

} // namespace

u32 CQVExtTcp::ListenReady(const LISTEN_S* l) const
{
    return (m_Cfg.uMaxParallel == 0 || l->uParallel < m_Cfg.uMaxParallel) &&
           (m_Cfg.uAcceptSpeed == 0 || l->uAcceptCount < m_Cfg.uAcceptSpeed);
}

bool CQVExtTcp::OnWorkerThread()
{
    return t_bWorker;
}

void CQVExtTcp::ThreadProc(u32 uIndex)
{
    t_bWorker = true;
    THREAD_S* w;
    {
        std::lock_guard<CQVCriticalSection> Lock(m_Sect);
        if (uIndex >= m_uThreadCount)
            return;
        w = &m_lpThread[uIndex];
        if (qvEpollCreate(&w->Epoll) < 0) {
            qvLogOut(0, "ExtTcp::ThreadProc, create epoll failed, errno=%d", errno);
            w->uRunning = 0;
            return;
        }
        QV_FD_INIT(&w->SetRead, 0, &w->Epoll);
        QV_FD_INIT(&w->SetWrite, 1, &w->Epoll);
        w->uEpollReady = 1;
    }
    u64 uLastTick = NowMs();
    for (;;) {
        u32 uInput;
        {
            std::lock_guard<CQVCriticalSection> Lock(m_Sect);
            if (!w->uRunning || !m_uRunning)
                break;
            uInput = BuildSets(w);
        }
        u64 uElapsed = NowMs() - uLastTick;
        int iTimeout = (uInput || uElapsed >= TICK_MS) ? 0 : (int)(TICK_MS - uElapsed);
        int iReady = qvEpollSelect(0, &w->SetRead, &w->SetWrite, nullptr, iTimeout);
        if (iReady < 0) {
            int iErr = errno;
            if (iErr != EINTR) {
                qvLogOut(0, "ExtTcp::ThreadProc, select failed, uThreadInd=%u, uSockCount=%u, errno=%d", uIndex,
                         w->uCount, iErr);
                qvSleep(200);
            }
        }
        EVENTS_S Ev;
        Ev.uCount = 0;
        u32 uStop = 0;
        {
            std::lock_guard<CQVCriticalSection> Lock(m_Sect);
            u64 uNow = NowMs();
            if (m_uTimerManual) {
                uLastTick = uNow;
            } else if (uNow - uLastTick >= TICK_MS) {
                // After a long stall the clock restarts rather than running a burst of steps.
                uLastTick = uNow - uLastTick >= 3 * TICK_MS ? uNow : uLastTick + TICK_MS;
                TimerProc(uIndex, 1, &Ev);
            }
            if (iReady > 0 || uInput)
                uStop = ServeReady(uIndex, iReady > 0, &Ev);
            m_uPassCount++;
        }
        EventPost(&Ev, 1);
        OnPassEnd();
        if (uStop)
            break;
    }
    std::lock_guard<CQVCriticalSection> Lock(m_Sect);
    w->uEpollReady = 0;
    qvEpollDestroy(&w->Epoll);
    qvEPollInit(&w->Epoll);
}

u32 CQVExtTcp::BuildSets(THREAD_S* w)
{
    // The sets follow every arm and disarm as it happens. They are rebuilt whole once a
    // second and whenever a descriptor may have been closed behind them: the message socket
    // or a listen socket closed by its wrapper, or a listener that stops taking clients.
    u32 uFull = w->uRebuild || !w->Que.IsOpened();
    for (LISTEN_S* l = w->ListListen.Head(); l; l = w->ListListen.Next(l)) {
        if (!l->Listen.IsOpened() || (l->uWatched && !ListenReady(l)))
            uFull = 1;
    }
    if (uFull) {
        QV_FD_ZERO(&w->SetRead);
        QV_FD_ZERO(&w->SetWrite);
        w->uRebuild = 0;
    }
    w->Que.FdSet(&w->SetRead, 0);
    for (LISTEN_S* l = w->ListListen.Head(); l; l = w->ListListen.Next(l)) {
        l->uWatched = ListenReady(l);
        if (l->uWatched)
            l->Listen.FdSet(&w->SetRead, 0);
    }
    u32 uInput = 0;
    for (SOCK_S* s = w->ListSock.Head(); s; s = w->ListSock.Next(s)) {
        if (uFull && (s->uPoll & SOCK_POLL_READ))
            QV_FD_SET(s->hSocket, &w->SetRead);
        if (uFull && (s->uPoll & SOCK_POLL_WRITE))
            QV_FD_SET(s->hSocket, &w->SetWrite);
        if (s->uPoll & SOCK_POLL_INPUT)
            uInput = 1;
    }
    return uInput;
}

u32 CQVExtTcp::ServeReady(u32 uIndex, u32 uReady, EVENTS_S* lpEv)
{
    THREAD_S* w = &m_lpThread[uIndex];
    u32 uStop = 0;
    if (uReady && w->Que.FdCheck(&w->SetRead)) {
        // Cleared before reading, so that a wake-up sent meanwhile is not lost.
        w->uWakePending = 0;
        for (u32 i = 0; i < MSG_PER_PASS; i++) {
            u32 auMsg[16];
            u32 n = w->Que.Receive(auMsg, sizeof(auMsg));
            if (n == QV_NOT_FOUND)
                break;
            if (n < sizeof(u32))
                continue;
            if (auMsg[0] > 3)
                uStop = 1;
            else if (auMsg[0] == 3)
                w->uKeepMiss = 0;
        }
    }
    while (LISTEN_S* l = w->ListFree.PopHead()) {
        l->Listen.Close();
        delete l;
        w->uRebuild = 1;
    }
    if (uStop || !w->uRunning)
        return 1;

    if (uReady) {
        LISTEN_S* apListen[THREAD_ENTRY_MAX];
        u32 uCount = 0;
        LISTEN_S* lpStart = w->lpListenResume ? w->lpListenResume : w->ListListen.Head();
        for (LISTEN_S* l = lpStart; l && uCount < THREAD_ENTRY_MAX; l = w->ListListen.Next(l))
            apListen[uCount++] = l;
        for (LISTEN_S* l = w->ListListen.Head(); l != lpStart && uCount < THREAD_ENTRY_MAX; l = w->ListListen.Next(l))
            apListen[uCount++] = l;
        if (lpStart)
            w->lpListenResume = w->ListListen.Next(lpStart);
        for (u32 i = 0; i < uCount; i++) {
            if (ListenReady(apListen[i]) && apListen[i]->Listen.FdCheck(&w->SetRead))
                SockAccept(uIndex, apListen[i], lpEv);
        }
    }

    // Sockets are served from a rotating start. Serving one socket frees at most that socket.
    SOCK_S* apSock[THREAD_ENTRY_MAX];
    u32 uCount = 0;
    SOCK_S* lpStart = w->lpSockResume ? w->lpSockResume : w->ListSock.Head();
    for (SOCK_S* s = lpStart; s && uCount < THREAD_ENTRY_MAX; s = w->ListSock.Next(s))
        apSock[uCount++] = s;
    for (SOCK_S* s = w->ListSock.Head(); s != lpStart && uCount < THREAD_ENTRY_MAX; s = w->ListSock.Next(s))
        apSock[uCount++] = s;
    if (lpStart)
        w->lpSockResume = w->ListSock.Next(lpStart);
    for (u32 i = 0; i < uCount; i++) {
        SOCK_S* s = apSock[i];
        u32 uRead = uReady && (s->uPoll & SOCK_POLL_READ) && QV_FD_ISSET(s->hSocket, &w->SetRead);
        u32 uWrite = uReady && (s->uPoll & SOCK_POLL_WRITE) && QV_FD_ISSET(s->hSocket, &w->SetWrite);
        if (uRead || uWrite || (s->uPoll & SOCK_POLL_INPUT))
            SockProc(uIndex, s, uRead, uWrite, lpEv);
    }
    return 0;
}

void CQVExtTcp::TimerTick(u32 uKeepAlive)
{
    EVENTS_S Ev;
    Ev.uCount = 0;
    {
        std::lock_guard<CQVCriticalSection> Lock(m_Sect);
        if (!m_uRunning)
            return;
        for (u32 i = 0; i < m_uThreadCount; i++) {
            if (m_lpThread[i].uRunning)
                TimerProc(i, uKeepAlive, &Ev);
        }
        // The workers rebuild their wait sets: listeners may take clients again.
        for (u32 i = 0; i < m_uThreadCount; i++)
            Wake(i, 0);
    }
    EventPost(&Ev);
}

void CQVExtTcp::TimerProc(u32 uIndex, u32 uKeepAlive, EVENTS_S* lpEv)
{
    THREAD_S* w = &m_lpThread[uIndex];
    u32 uTick = ++w->uTick;
    w->uRebuild = 1;

    SOCK_S* lpNext;
    for (SOCK_S* s = w->ListWait.Head(); s; s = lpNext) {
        lpNext = w->ListWait.Next(s);
        if (s->uStatus & SOCK_STA_CONNECTED) {
            w->ListWait.Remove(s);
            continue;
        }
        if (m_Cfg.uConnectTimeout && ++s->uWaitCount >= m_Cfg.uConnectTimeout) {
            // The socket stays until the owner disconnects it; a late connect is not reported.
            s->uWaitCount = 0;
            w->ListWait.Remove(s);
            s->uStatus |= SOCK_STA_FAILED;
            DisarmWrite(s);
            OnConnect(s->strAddrSock.c_str(), 0);
        }
    }

    for (SOCK_S* s = w->ListSock.Head(); s; s = lpNext) {
        lpNext = w->ListSock.Next(s);
        if (s->uStatus & SOCK_STA_LINGER) {
            if (++s->uLingerCount > LINGER_TICKS)
                SockFree(s, FREE_ABORT, lpEv);
            continue;
        }
        if ((s->uStatus & SOCK_STA_CLOSING) && (!s->lpRead || !s->lpWrite)) {
            SockFree(s, FREE_NORMAL, lpEv);
            continue;
        }
        if (s->uStatus & SOCK_STA_CONNECTED) {
            if (uTick - s->uStampRead > REARM_TICKS && !(s->uStatus & SOCK_STA_READ_END)) {
                if (s->uSide == 0)
                    s->uPoll |= SOCK_POLL_PEEK;
                ArmRead(s);
            }
            if (uTick - s->uStampWrite > REARM_TICKS)
                ArmWrite(s);
        }
        if (s->uSide == 0 && s->uListenFlags && s->uHttpState >= 1 && s->uHttpState <= 3) {
            if (s->uPhase == 1)
                EventAdd(lpEv, s->lpRead, 2);
            else
                EventAdd(lpEv, s->lpWrite, 1);
        }
        if (s->uSide == 0 && s->lpRead && s->lpWrite) {
            u32 uUp = m_Cfg.uUpActiveTimeout && uTick - s->uStampRecv >= m_Cfg.uUpActiveTimeout;
            u32 uDown = m_Cfg.uDownActiveTimeout && uTick - s->uStampSend >= m_Cfg.uDownActiveTimeout;
            if (m_Cfg.uActiveCombine == 1 ? (uUp && uDown) : (uUp || uDown)) {
                qvLogOut(1, "ExtTcp::SockServerTimerProc: Active drop, AddrSock=%s", s->strAddrSock.c_str());
                SockGone(s);
                SockFree(s, FREE_NORMAL, lpEv);
                continue;
            }
        }
    }

    for (LISTEN_S* l = w->ListListen.Head(); l; l = w->ListListen.Next(l)) {
        if (l->uAcceptCount)
            l->uAcceptCount--;
        l->Listen.TimerProc(uTick);
    }
    w->Que.TimerProc(uTick);
    if (!uKeepAlive)
        return;
    if (w->uKeepMiss > 2) {
        qvLogOut(0, "ExtTcp::TimerProc, Msg timer count >= 3, close msg socket!");
        w->Que.Close();
        w->uKeepMiss = 0;
    } else {
        u32 uMsg = 3;
        w->Que.Send(&uMsg, sizeof(uMsg), 0);
        w->uKeepMiss++;
    }
}

void CQVExtTcp::OnQueClose(u32 uIndex)
{
    // Called from the worker's own loop with the lock held.
    if (!m_uRunning || uIndex >= m_uThreadCount || !m_lpThread[uIndex].uRunning)
        return;
    THREAD_S* w = &m_lpThread[uIndex];
    for (LISTEN_S* l = w->ListListen.Head(); l; l = w->ListListen.Next(l))
        l->Listen.Close();
    while (SOCK_S* s = w->ListSock.Head()) {
        if (!(s->uStatus & SOCK_STA_LINGER))
            SockGone(s);
        SockFree(s, FREE_ABORT, nullptr);
    }
}

// ---------------------------------------------------------------------------------------------
// Accepting

void CQVExtTcp::SockAccept(u32, LISTEN_S* l, EVENTS_S* lpEv)
{
    QV_ADDR_S Peer;
    errno = 0;
    int h = l->Listen.Accept(&Peer);
    if (h < 0) {
        int iErr = errno;
        if (iErr != 0 && iErr != EAGAIN && iErr != EWOULDBLOCK && iErr != EINTR && iErr != ECONNABORTED) {
            qvLogOut(0, "ExtTcp: SockAccept, accept socket failed. errno=%d", iErr);
            OnError(QV_EXT_TCP_ERR_ACCEPT);
        }
        return;
    }
    u32 uThread = SelectThread();
    if (uThread == 0xFFFF) {
        qvLogOut(0, "ExtTcp: SockAccept, too manay connection!");
        OnError(QV_EXT_TCP_ERR_FULL);
        close(h);
        return;
    }
    int iOn = 1;
    const char* lpszFail = nullptr;
    if (setsockopt(h, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn)) != 0) {
        lpszFail = "ExtTcp: SockAccept, set reuseaddr failed. errno=%d";
    } else if (m_Cfg.uBufSize) {
        int iSize = (int)(m_Cfg.uBufSize * 1024);
        if (setsockopt(h, SOL_SOCKET, SO_SNDBUF, &iSize, sizeof(iSize)) != 0)
            lpszFail = "ExtTcp: SockAccept, set send buffer size failed, errno=%d";
        else if (setsockopt(h, SOL_SOCKET, SO_RCVBUF, &iSize, sizeof(iSize)) != 0)
            lpszFail = "ExtTcp: SockAccept, set recv buffer size failed, errno=%d";
    }
    if (!lpszFail && fcntl(h, F_SETFL, fcntl(h, F_GETFL) | O_NONBLOCK) != 0)
        lpszFail = "ExtTcp: SockAccept, ioctlsocket unblock. errno=%d";
    if (lpszFail) {
        qvLogOut(0, lpszFail, errno);
        OnError(QV_EXT_TCP_ERR_OPTION);
        close(h);
        return;
    }
    setsockopt(h, IPPROTO_TCP, TCP_NODELAY, &iOn, sizeof(iOn));
    char szAddrSock[256];
    if (!MakeAddrSock(&l->Addr, &Peer, szAddrSock, sizeof(szAddrSock))) {
        close(h);
        return;
    }
    if (SockFind(szAddrSock)) {
        qvLogOut(0, "ExtTcp: SockAccept, The socket is exist. szAddrSock=%s", szAddrSock);
        close(h);
        return;
    }
    SOCK_S* s = SockNew(uThread, h, szAddrSock);
    if (!s) {
        qvLogOut(0, "ExtTcp: SockAccept, Alloc failed.");
        OnError(QV_EXT_TCP_ERR_ALLOC);
        close(h);
        return;
    }
    s->uSide = 0;
    s->Addr = l->Addr;
    s->uListenFlags = l->uFlags;
    s->uListenParam = l->uParam;
    s->uListenThread = l->uThread;
    s->lpListen = l;
    s->uStatus |= SOCK_STA_CONNECTED;
    if (m_Cfg.uMaxParallel && l->uParallel < m_Cfg.uMaxParallel)
        l->uParallel++;
    ArmRead(s);
    if (l->uFlags == 0) {
        s->uHttpState = 6;
        s->uStatus |= SOCK_STA_REPORTED;
        if (!OnAccept(s->strAddrSock.c_str(), "", s->uListenParam)) {
            qvLogOut(0, "ExtTcp: SockAccept, OnAccept failed.");
            SockFree(s, FREE_ABORT, lpEv);
            s = nullptr;
        }
    }
    if (m_Cfg.uAcceptSpeed && l->uAcceptCount < m_Cfg.uAcceptSpeed)
        l->uAcceptCount++;
}

// ---------------------------------------------------------------------------------------------
// Socket events

void CQVExtTcp::SockProc(u32, SOCK_S* s, u32 uReadable, u32 uWritable, EVENTS_S* lpEv)
{
    if (s->uStatus & SOCK_STA_LINGER) {
        if (uWritable) {
            int iErr = 0;
            OutFlush(s, &iErr);
            if (iErr || s->Out.uReady <= s->Out.uSent)
                SockFree(s, iErr ? FREE_ABORT : FREE_NORMAL, lpEv);
        }
        return;
    }
    if (s->uSide == 1) {
        SockProcOut(s, uReadable, uWritable, lpEv);
        return;
    }
    if (s->uListenFlags && (s->uHttpState == 0 || (s->uPoll & SOCK_POLL_INPUT))) {
        u32 uRet = HttpInput(s, uReadable, lpEv);
        if (uRet == HTTP_IN_FAIL) {
            SockGone(s);
            SockFree(s, FREE_ABORT, lpEv);
            return;
        }
        if (uRet == HTTP_IN_FREED)
            return;
        uReadable = 0;
    }
    if (uReadable) {
        if (s->uPoll & SOCK_POLL_PEEK) {
            // A client that went away while nobody read from it is found here.
            s->uPoll &= ~(u32)SOCK_POLL_PEEK;
            u8 aucPeek[4];
            ssize_t n = recv(s->hSocket, aucPeek, sizeof(aucPeek), MSG_PEEK | MSG_DONTWAIT);
            if (n == 0) {
                if (SockReadEnd(s, lpEv))
                    return;
                uReadable = 0;
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                SockGone(s);
                SockFree(s, FREE_ABORT, lpEv);
                return;
            }
        }
    }
    if (uReadable) {
        if (s->uHttpState == 6 && !(s->uStatus & SOCK_STA_REPORTED)) {
            s->uStatus |= SOCK_STA_REPORTED;
            if (!OnAccept(s->strAddrSock.c_str(), s->strHost.c_str(), s->uListenParam)) {
                qvLogOut(0, "ExtTcp: SockAccept, OnAccept failed.");
                SockFree(s, FREE_ABORT, lpEv);
                return;
            }
        }
        // The node reads now; reading waits until it has emptied the socket.
        DisarmRead(s);
        if (s->lpRead) {
            s->uStatus &= ~(u32)SOCK_STA_WANT_READ;
            EventAdd(lpEv, s->lpRead, 2);
        }
    }
    if (uWritable)
        SockWritable(s, lpEv);
}

void CQVExtTcp::ConnectDone(SOCK_S* s, EVENTS_S* lpEv)
{
    THREAD_S* w = &m_lpThread[s->uThread];
    if (s->uStatus & SOCK_STA_FAILED) {
        DisarmWrite(s);
        return;
    }
    int iErr = 0;
    socklen_t uLen = sizeof(iErr);
    struct sockaddr_storage Sa;
    socklen_t uSaLen = sizeof(Sa);
    if (getsockopt(s->hSocket, SOL_SOCKET, SO_ERROR, &iErr, &uLen) != 0)
        iErr = errno;
    if (iErr) {
        // Refused or unreachable: said at once rather than after the time-out.
        qvLogOut(0, "ExtTcp: SockConnect, connect failed. errno=%d", iErr);
        w->ListWait.Remove(s);
        s->uStatus |= SOCK_STA_FAILED;
        DisarmWrite(s);
        DisarmRead(s);
        OnConnect(s->strAddrSock.c_str(), 0);
    } else if (getpeername(s->hSocket, (struct sockaddr*)&Sa, &uSaLen) == 0) {
        s->uStatus |= SOCK_STA_CONNECTED;
        w->ListWait.Remove(s);
        DisarmWrite(s);
        ArmRead(s);
        OnConnect(s->strAddrSock.c_str(), 1);
        EventAdd(lpEv, s->lpWrite, 1);
    }
    // Otherwise the connect is still under way (the readiness was that of a closed
    // descriptor whose number this socket took over).
}

void CQVExtTcp::SockProcOut(SOCK_S* s, u32 uReadable, u32 uWritable, EVENTS_S* lpEv)
{
    if (uWritable && !(s->uStatus & SOCK_STA_CONNECTED)) {
        uWritable = 0;
        ConnectDone(s, lpEv);
    }
    if (uReadable && (s->uStatus & SOCK_STA_CONNECTED)) {
        if (!(s->uStatus & SOCK_STA_REPORTED)) {
            // The first time, a service that closed at once is found before any session
            // waits on it.
            s->uStatus |= SOCK_STA_REPORTED;
            u8 ucPeek;
            ssize_t n = recv(s->hSocket, &ucPeek, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n == 0) {
                if (SockReadEnd(s, lpEv))
                    return;
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                qvLogOut(0, "ExtTcp::ThreadSessSockProc, SockCacheDown failed");
                SockGone(s);
                SockFree(s, FREE_ABORT, lpEv);
                return;
            }
        }
        DisarmRead(s);
        if (s->lpRead) {
            s->uStatus &= ~(u32)SOCK_STA_WANT_READ;
            EventAdd(lpEv, s->lpRead, 2);
        }
    }
    if (uWritable)
        SockWritable(s, lpEv);
}

void CQVExtTcp::SockWritable(SOCK_S* s, EVENTS_S* lpEv)
{
    if (s->Out.uReady > s->Out.uSent) {
        int iErr = 0;
        OutFlush(s, &iErr);
        if (iErr) {
            SockGone(s);
            SockFree(s, FREE_ABORT, lpEv);
            return;
        }
        if (s->Out.uReady > s->Out.uSent)
            return;
        // Heads that waited behind the answer are read now.
        if (s->uHttpState == 0 && s->Buf.uLen > s->uReadPos)
            s->uPoll |= SOCK_POLL_INPUT;
    }
    if ((s->uStatus & SOCK_STA_WRITE_END) && !(s->uStatus & SOCK_STA_SHUT)) {
        if (SockWriteEnd(s, lpEv))
            return;
    }
    DisarmWrite(s);
    if (s->lpWrite) {
        s->uStatus &= ~(u32)SOCK_STA_WANT_WRITE;
        EventAdd(lpEv, s->lpWrite, 1);
    }
}
