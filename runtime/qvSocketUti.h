// Thin non-blocking socket classes shared by the library's event loops. Each object belongs to
// the thread that runs its loop; only CQVSocketQueue::Send may be called from other threads.
// A closed socket is re-opened by its FdSet call, paced by the time fed in through TimerProc.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <atomic>

#include "qvEPoll.h"
#include "qvSocketAddr.h"
#include "qvType.h"

class IQVNode;

// Longest tag of a socket wrapper, used only in log lines.
#define QV_SOCKET_TAG_MAX 63

// Loopback datagram socket a thread sends to itself so that other threads can wake its loop.
class CQVSocketQueue {
public:
    CQVSocketQueue();
    virtual ~CQVSocketQueue();
    virtual void OnOpen() {}
    virtual void OnClose() {}

    u32 Open(const char* lpszTag, u32 uBufSize, u32 uErrLimit);
    void Close();
    u32 IsOpened() const;
    // Bytes sent or -1 (0xFFFFFFFF). Safe from any thread.
    u32 Send(const void* lpData, u32 uLen, u32 uCloseOnError);
    // Bytes received or -1.
    u32 Receive(void* lpBuf, u32 uSize);
    int FdSet(_qv_fd_set* lpSet, int iMaxFd);
    u32 FdCheck(_qv_fd_set* lpSet);
    void TimerProc(u32 uNow);
    // The epoll facade of the loop that watches this socket (null: none). Every close, also
    // one on an error, first forgets the descriptor there, so that the loop never registers
    // or drops a number that another open may already have taken. Set and closed only under
    // the lock that guards the loop's registrations.
    void Watch(_qv_fd_epoll* lpEpoll) { m_lpWatch = lpEpoll; }
    // The descriptor, -1 when closed, and how many times the socket was opened: a loop that
    // keeps its epoll registration re-registers when the count moves (a re-opened socket
    // may get back the number of the one closed).
    int GetSocket() const { return m_hSocket.load(); }
    u32 GetOpenCount() const { return m_uOpens; }

protected:
    u32 ReOpen();
    void CloseOnError();

    std::atomic<int> m_hSocket;
    struct sockaddr_in m_AddrQue;
    u32 m_uStampOpen;
    u32 m_uTimeCur;
    u32 m_uErrCnt;
    char m_szTag[QV_SOCKET_TAG_MAX + 1];
    u32 m_uBufSize;
    u32 m_uErrLimit;
    // The thread that runs the owner's loop (last FdSet, else Open); a failed Send from any
    // other thread only asks that loop to close the socket, through m_uClosePending.
    std::atomic<pthread_t> m_Owner;
    std::atomic<u32> m_uClosePending;
    // Port of m_AddrQue (network order) for senders on other threads, which must not read
    // the record while the owner re-opens the socket.
    std::atomic<u16> m_uPortQue;
    u32 m_uConfigured; // Open was called: FdSet may re-open
    u32 m_uOpens = 0;
    _qv_fd_epoll* m_lpWatch = nullptr;
};

// UDP socket of the IPv4 and IPv6 drivers; drivers derive from it to receive error reports.
class CQVSocketUDP {
public:
    CQVSocketUDP();
    virtual ~CQVSocketUDP();
    // Called on the thread of Send when the consecutive send errors reach the limit.
    virtual void OnError(int iErrNo, const QV_ADDR_S* lpAddr);

    u32 Config(const char* lpszTag, u32 uIPVersion, const QV_ADDR_S* lpBind, u32 uBufMode,
               u32 uBufScale, u32 uBufBase, u32 uErrLimit);
    u32 Open();
    void Close();
    u32 IsOpened() const { return m_hSocket >= 0 ? 1 : 0; }
    // Bytes sent, 0 when the socket would block, -1 (0xFFFFFFFF) on error.
    u32 Send(const void* lpData, u32 uLen, const QV_ADDR_S* lpTo, u32 uTTL);
    // What Send makes of one send's outcome (uSent SOCK_FAIL: failed with iErrNo), for a
    // datagram that was sent later in a batch: errors are counted the same way.
    u32 SendResult(int iErrNo, u32 uSent, const QV_ADDR_S* lpTo);
    // A datagram was read outside Receive (a batched read): the error run ends as there.
    void NoteReceived() { m_uErrCnt = 0; }
    // Bytes received or -1.
    u32 Receive(void* lpBuf, u32 uSize, QV_ADDR_S* lpFrom);
    int FdSet(_qv_fd_set* lpSet, int iMaxFd);
    u32 FdCheck(_qv_fd_set* lpSet);
    void TimerProc(u32 uNow);
    u32 GetSocket(int* lpSocket, u32 uSlots);
    void GetAddr(QV_ADDR_S* lpAddr);
    // The last error number, then cleared.
    int GetError();
    // Buffer size in bytes for the configured mode, scale and base (KiB).
    static u32 CalcBufSize(u32 uMode, u32 uScale, u32 uBase);

protected:
    int m_hSocket;
    QV_ADDR_S m_AddrLocal;
    // Send may run on another thread than Receive and TimerProc (a caller that sends under
    // its own lock while the owner's thread reads): the counters they share are atomic.
    std::atomic<u32> m_uErrCnt;
    std::atomic<u32> m_uStampErr;
    std::atomic<int> m_iErrNo;
    std::atomic<u32> m_uTimeCur;
    char m_szTag[QV_SOCKET_TAG_MAX + 1];
    u32 m_uIPVersion; // 0 IPv4, 1 IPv6, 2 not configured
    QV_ADDR_S m_AddrBind;
    u32 m_uBufMode;
    u32 m_uBufScale;
    u32 m_uBufBase;
    u32 m_uErrLimit;
    u32 m_uStampOpen; // time of the last open or close, paces re-opening in FdSet
};

// The same UDP operations on bare descriptors.
class CQVSocketUDPStatic {
public:
    static int Open4(u32 uBufSize, const QV_ADDR_S* lpBind, QV_ADDR_S* lpLocal);
    static int Open6(u32 uBufSize, const QV_ADDR_S* lpBind, QV_ADDR_S* lpLocal);
    static int TryOpen4(u32 uTries, const QV_ADDR_S* lpBind, u32& uPort);
    static int TryOpen6(u32 uTries, const QV_ADDR_S* lpBind, u32& uPort);
    static u32 Send4(int hSocket, const void* lpData, u32 uLen, const QV_ADDR_S* lpTo);
    static u32 Send6(int hSocket, const void* lpData, u32 uLen, const QV_ADDR_S* lpTo);
    static u32 Receive4(int hSocket, void* lpBuf, u32 uSize, QV_ADDR_S* lpFrom);
    static u32 Receive6(int hSocket, void* lpBuf, u32 uSize, QV_ADDR_S* lpFrom);
    static void Close(int hSocket);
};

// Listening TCP socket (IPv4).
class CQVSocketListen {
public:
    CQVSocketListen();
    virtual ~CQVSocketListen();

    u32 Open(const char* lpszTag, const QV_ADDR_S* lpAddr, u32 uErrLimit);
    // The new descriptor (peer address in lpPeer) or -1.
    int Accept(QV_ADDR_S* lpPeer);
    u32 Check();
    void Close();
    u32 IsOpened() const { return m_hSocket >= 0 ? 1 : 0; }
    int FdSet(_qv_fd_set* lpSet, int iMaxFd);
    u32 FdCheck(_qv_fd_set* lpSet);
    void TimerProc(u32 uNow);
    // As CQVSocketQueue::Watch: closes forget the descriptor in this facade first.
    void Watch(_qv_fd_epoll* lpEpoll) { m_lpWatch = lpEpoll; }

protected:
    u32 ReOpen();
    void CloseOnError();

    int m_hSocket;
    u32 m_uStampOpen;
    u32 m_uTimeCur;
    u32 m_uErrCnt;
    char m_szTag[QV_SOCKET_TAG_MAX + 1];
    QV_ADDR_S m_AddrListen;
    u32 m_uErrLimit;
    u32 m_uConfigured; // Open was called: FdSet may re-open
    _qv_fd_epoll* m_lpWatch = nullptr;
};

// Connecting TCP socket.
class CQVSocketConnect {
public:
    CQVSocketConnect();
    virtual ~CQVSocketConnect();

    u32 Open(const char* lpszTag, const QV_ADDR_S* lpServer, u32 uBufSize, u32 uErrLimit);
    u32 Send(const void* lpData, u32 uLen);
    u32 Receive(void* lpBuf, u32 uSize);
    void Close();
    u32 IsOpened() const { return m_hSocket >= 0 ? 1 : 0; }
    int FdSetRead(_qv_fd_set* lpSet, int iMaxFd);
    int FdSetWrite(_qv_fd_set* lpSet, int iMaxFd);
    u32 FdCheckRead(_qv_fd_set* lpSet);
    u32 FdCheckWrite(_qv_fd_set* lpSet);

protected:
    u32 ReOpen();
    int FdSetDir(_qv_fd_set* lpSet, int iMaxFd);

    int m_hSocket;
    QV_ADDR_S m_AddrServer;
    u32 m_uErrCnt;
    char m_szTag[QV_SOCKET_TAG_MAX + 1];
    u32 m_uBufSize;
    u32 m_uErrLimit;
    u32 m_uConfigured; // Open was called: FdSet may re-open
};

// Marks the socket layer initialised; the arguments have no further effect. 1.
u32 qvSocketInit(u32 uOption, const QV_ADDR_S* lpProxy);

// The node layer fills this hook (with a call of IQVNode::GetSocketPrivate) so that the
// runtime reaches a node's driver interfaces without depending on the upper layers.
typedef void* (*QV_SOCKET_GET_PRIV_PROC)(IQVNode* lpNode, u32 uType);
void qvSocketGetPrivSet(QV_SOCKET_GET_PRIV_PROC lpfnProc);
// The node's GetSocketPrivate(uType), or null for a null node or no hook.
void* qvSocketGetPriv(IQVNode* lpNode, u32 uType);

// Forward to the network interface service; 0 when it is absent.
u32 qvNetworkSetDefIf(const char* lpszName);
u32 qvNetworkIfFilter(u32 uMode, const char* lpszList);
