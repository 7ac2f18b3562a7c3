// TCP forwarding extension (node extension 6): joins local TCP sockets to the node's byte
// streams. It listens on local addresses, accepts local clients, opens outgoing connections to
// service addresses and serves every socket's bytes to the node through IQVExt: the node pulls
// what a socket received (OnRead) and pushes what came from the remote peer (OnWrite). A pool
// of worker threads, each serving at most 32 sockets and listeners, waits on the sockets with
// the epoll facade. Listeners marked for HTTP read request heads themselves, route every
// request by its Host header, answer CONNECT and OPTIONS locally, act as a simple HTTP proxy
// with blocking filters and forward one request and its response at a time.
//
// The owner (the tunnel) learns of sockets through four virtual notifications, OnAccept,
// OnConnect, OnDisconnect and OnError, which are called with the extension's lock held: an
// implementation must not call back into the extension and should only post messages. After
// each pass a worker calls OnPassEnd holding no lock, where the owner may serve at once what its
// notifications of that pass posted.
//
// A socket's two directions end apart: when the local side stops sending (end of stream),
// OnRead yields 0 once everything before it was read and OnDisconnect is raised, but the
// socket stays and still takes bytes for the local side until the owner disconnects it, its
// write side is closed (then the local side gets its end of stream after every byte) or it
// fails. A socket whose both directions have ended is freed by itself.
#pragma once

#include <atomic>
#include <mutex>

#include "qvEPoll.h"
#include "qvExtTcpHttp.h"
#include "qvNodeDef.h"
#include "qvSocketAddr.h"
#include "qvSocketUti.h"
#include "qvString.h"
#include "qvTable.h"
#include "qvThread.h"
#include "qvType.h"
#include "qvUtilize.h"

// Listen flags.
#define QV_EXT_TCP_LISTEN_HTTP 0x1  // read request heads, route each request by its Host
#define QV_EXT_TCP_LISTEN_PROXY 0x2 // HTTP proxy: filters and absolute targets

// Open option of an instance, read from "(Option){(Mode){%u}}": 0 read side, 1 write side.
typedef struct tagQV_EXT_TCP_OPT_S {
    u32 uMode;
} QV_EXT_TCP_OPT_S;

// OnError codes.
#define QV_EXT_TCP_ERR_ALLOC 1
#define QV_EXT_TCP_ERR_ACCEPT 2
#define QV_EXT_TCP_ERR_SOCKET 3
#define QV_EXT_TCP_ERR_OPTION 4
#define QV_EXT_TCP_ERR_CONNECT 5
#define QV_EXT_TCP_ERR_ADDR 6
#define QV_EXT_TCP_ERR_FULL 7
#define QV_EXT_TCP_ERR_BIND 10

class CQVExtTcp;

// Worker thread: runs CQVExtTcp::ThreadProc with its index.
class CQVExtTcpThread : public CQVThread {
public:
    CQVExtTcpThread(CQVExtTcp* lpExt, u32 uIndex) : m_lpExt(lpExt), m_uIndex(uIndex) {}
    ~CQVExtTcpThread() override {}
    void Proc() override;

private:
    CQVExtTcp* m_lpExt;
    u32 m_uIndex;
};

// A worker's wake-up socket; closing it while the worker runs drops that worker's sockets.
class CQVExtTcpQueSocket : public CQVSocketQueue {
public:
    CQVExtTcpQueSocket() : m_lpExt(nullptr), m_uIndex(0) {}
    ~CQVExtTcpQueSocket() override {}
    void OnOpen() override {}
    void OnClose() override;
    void Attach(CQVExtTcp* lpExt, u32 uIndex)
    {
        m_lpExt = lpExt;
        m_uIndex = uIndex;
    }

private:
    CQVExtTcp* m_lpExt;
    u32 m_uIndex;
};

class CQVExtTcp : public IQVExt {
public:
    struct CFG_S {
        u32 uMaxSess;           // TCP sessions; with MaxTunnel it sizes the worker pool
        u32 uMaxTunnel;
        u32 uConnectTimeout;    // seconds an outgoing connect may take
        u32 uBufSize;           // KB for SO_SNDBUF and SO_RCVBUF (0 keeps the system's)
        u32 uAcceptSpeed;       // accept budget of one listener per second (0 no limit)
        u32 uMaxParallel;       // open accepted sockets per listener (0 no limit)
        u32 uFilterCount;       // proxy filter rules used, at most 32
        QV_EXT_TCP_FILTER_S Filter[QV_EXT_TCP_FILTER_MAX];
        u32 uUpActiveTimeout;   // seconds without data from the local client (0 off)
        u32 uDownActiveTimeout; // seconds without data to the local client (0 off)
        u32 uActiveCombine;     // 1: drop only when both are exceeded, else when either is
    };

    // Counts for checks that nothing is left behind.
    struct STAT_S {
        u32 uSockets;     // sockets with a descriptor (lingering ones included)
        u32 uLinger;      // freed sockets still sending their last buffered bytes
        u32 uInstances;   // open instances
        u32 uAttached;    // instances attached to a socket
        u32 uListeners;   // listeners, deleted ones not yet closed included
        u32 uBuffers;     // allocated socket buffers
        u32 uThreads;     // workers
        u32 uEntries;     // sockets and listeners counted by the workers
    };

    CQVExtTcp();
    ~CQVExtTcp() override;

    // IQVExt
    void Delete() override;
    bool AttachDepend(IQVBase* lpDep, u32 uIndex) override;
    bool OnInitialize(void* lpContext, IQVExtProc* lpProc, u32 uMaxInst) override;
    void OnClean() override;
    bool OnOpen(void** lppInst, const char* lpszName, const char* lpszOption, u32 uValue, u32 uInstHandle,
                IQVExtProc* lpProc) override;
    void OnClose(const void* lpInst, u32 uValue) override;
    // Closing takes the extension's own lock only; the socket calls of a close (the end of
    // stream, the close itself) then keep no thread of the node waiting.
    bool OnCloseUnlocked() override { return true; }
    int OnWrite(const void* lpInst, u32 uValue, const void* lpData, u32* lpuSize, u64 uPos) override;
    int OnRead(const void* lpInst, u32 uValue, void* lpBuf, u32* lpuSize, u64 uPos) override;
    int OnCtrl(const void* lpInst, u32 uValue, const void* lpIn, u32 uInSize, void* lpOut,
               u32* lpuOutSize) override;

    // Notifications to the owner, called with the extension's lock held.
    // 1 takes the accepted socket, 0 frees it.
    virtual u32 OnAccept(const char* lpszAddrSock, const char* lpszHost, u32 uParam);
    // uResult 1 connected, 0 failed (refused, or no answer within the connect time-out). A
    // connect that has finished when Connect returns is reported from within Connect, before
    // it returns the AddrSock.
    virtual void OnConnect(const char* lpszAddrSock, u32 uResult);
    virtual void OnDisconnect(const char* lpszAddrSock);
    virtual void OnError(u32 uError);
    // A worker's pass ended; called on that worker, no lock held.
    virtual void OnPassEnd();
    // Whether the calling thread is one of the workers (of any extension): a notification
    // raised on it is followed by its OnPassEnd.
    static bool OnWorkerThread();

    // Owner operations. All but Config and ListenBind do nothing and yield 0 while the
    // extension is not running.
    u32 Config(const CFG_S& Cfg);
    // Opens an outgoing IPv4 connection; 1 with its AddrSock in lpszAddrSock.
    u32 Connect(const QV_ADDR_S* lpServer, const QV_ADDR_S* lpBind, char* lpszAddrSock, u32 uSize);
    // Mode 0 frees the socket now, 1 closes it once its current response has gone (at once
    // when it lacks a side); no notification follows. Bytes already taken are still sent.
    u32 Disconnect(const char* lpszAddrSock, u32 uMode);
    u32 ListenAdd(const QV_ADDR_S* lpAddr, u32 uFlags, u32 uParam);
    u32 ListenDelete(const QV_ADDR_S* lpAddr);
    u32 ListenExist(const QV_ADDR_S* lpAddr);
    u32 ListenBind(const QV_ADDR_S* lpAddr);

    void GetStat(STAT_S* lpStat);
    // Runs the once-a-second step of every worker now (the workers also run it by the clock):
    // connect time-outs, re-arming, active time-outs and the listeners' accept budgets; with
    // uKeepAlive also the message-socket keep-alive.
    void TimerTick(u32 uKeepAlive);
    // 1: the workers leave the once-a-second step to TimerTick (a host or test that drives
    // time itself); 0 (the default): they run it by the clock.
    void SetTimerManual(u32 uManual);
    // Passes the worker loops have made; grows by at least one after any wake-up.
    u64 GetPassCount();

    // Worker entry (CQVExtTcpThread) and message-socket close (CQVExtTcpQueSocket).
    void ThreadProc(u32 uIndex);
    void OnQueClose(u32 uIndex);

protected:
    struct SOCK_S;
    struct LISTEN_S;

    // One open extension instance.
    struct TCP_S {
        QV_LINK_S<TCP_S> link;
        QV_STRING strName;
        u32 uInstHandle;
        u32 uMode;       // 0 read side, 1 write side
        SOCK_S* lpSock;
    };

    struct LISTEN_S {
        QV_LINK_S<LISTEN_S> linkAll;
        QV_LINK_S<LISTEN_S> linkThread; // the worker's listener list or its free list
        QV_ADDR_S Addr;
        u32 uThread;        // 0xffffff once deleted
        u32 uFlags;
        u32 uParam;
        u32 uAcceptCount;
        u32 uParallel;
        u32 uWatched;       // in its worker's read set
        CQVSocketListen Listen;
    };

    // Pending output of a socket: a response head (with its rewrites) or a local answer.
    struct OUT_S {
        QV_BUF_S Buf;    // Buf.uLen bytes held, the first uReady of them ready to go
        u32 uReady;
        u32 uSent;       // of the ready bytes, those that have gone
    };

    struct SOCK_S {
        QV_LINK_S<SOCK_S> linkAll;
        QV_LINK_S<SOCK_S> linkHash;
        QV_LINK_S<SOCK_S> linkThread;
        QV_LINK_S<SOCK_S> linkWait;     // the worker's connect-wait list
        TCP_S* lpWrite;
        TCP_S* lpRead;
        QV_ADDR_S Addr;                 // listen address, or server address of an outgoing one
        QV_STRING strAddrSock;
        QV_STRING strHost;
        LISTEN_S* lpListen;             // accepting listener while it exists
        u32 uListenFlags;
        u32 uListenParam;
        u32 uListenThread;              // 0xffff for an outgoing socket
        u32 uThread;
        u32 uSide;                      // 0 accepted, 1 outgoing
        u32 uStatus;                    // SOCK_STA_*
        u32 uCtrl;
        u32 uPoll;                      // SOCK_POLL_*
        u32 uStampRead;                 // ticks: last re-arm of reading and of writing,
        u32 uStampWrite;                //   last data received and last data sent
        u32 uStampRecv;
        u32 uStampSend;
        u32 uWaitCount;                 // seconds in the connect-wait list
        u32 uLingerCount;               // seconds spent lingering
        int hSocket;
        // HTTP (accepted sockets of HTTP and proxy listeners)
        u32 uReqCount;
        u32 uHttpState;                 // 0 head awaited, 1-3 request, 4 OPTIONS, 5 CONNECT, 6 raw
        u32 uPhase;                     // 0 none, 1 request going out, 2 response head, 3 body
        u32 uContentLen;                // request body length
        u32 uBodyPos;
        u32 uHeadLeft;                  // request head bytes still to deliver
        u32 uProxyConn;                 // the request's Proxy-Connection was rewritten
        u32 uHostChanged;               // sides detached for a new Host, accept not yet raised
        QV_STRING strContentType;
        QV_STRING strTarget;
        QV_STRING strQuery;
        u32 uRespLen;                   // response body length, QV_HTTP_CHUNKED for chunks
        u32 uRespPos;
        u32 uRespScan;                  // response head bytes known not to hold its end
        CQVHttpChunk Chunk;
        QV_BUF_S Buf;                   // received bytes not yet delivered: uReadPos, Buf.uLen
        u32 uReadPos;
        OUT_S Out;
    };

    struct THREAD_S {
        CQVExtTcpThread* lpThread;
        u32 uRunning;
        u32 uTick;            // seconds since start (once-a-second steps run)
        u32 uCount;           // sockets and listeners served
        u32 uKeepMiss;
        SOCK_S* lpSockResume;
        LISTEN_S* lpListenResume;
        CQVExtTcpQueSocket Que;
        CQVList<SOCK_S, &SOCK_S::linkThread> ListSock;
        CQVList<SOCK_S, &SOCK_S::linkWait> ListWait;
        CQVList<LISTEN_S, &LISTEN_S::linkThread> ListListen;
        CQVList<LISTEN_S, &LISTEN_S::linkThread> ListFree;
        _qv_fd_epoll Epoll;
        _qv_fd_set SetRead;
        _qv_fd_set SetWrite;
        u32 uEpollReady;      // Epoll holds a live epoll descriptor
        u32 uRebuild;         // the wait sets are rebuilt whole in the next pass
        std::atomic<u32> uWakePending; // a wake-up message is on its way
    };

private:
    enum {
        SOCK_STA_CONNECTED = 0x1,
        SOCK_STA_REPORTED = 0x2,   // accept reported (accepted) or first read done (outgoing)
        SOCK_STA_CLOSING = 0x4,
        SOCK_STA_READ_END = 0x10,  // the local side's stream has ended
        SOCK_STA_GONE = 0x20,      // OnDisconnect raised
        SOCK_STA_WRITE_END = 0x40, // the write side closed: end of stream after the pending bytes
        SOCK_STA_SHUT = 0x80,      // shut down for writing
        SOCK_STA_FAILED = 0x100,   // connect reported failed
        SOCK_STA_LINGER = 0x200,   // freed, still sending its pending bytes
        SOCK_STA_WANT_READ = 0x400,  // the node was refused a read
        SOCK_STA_WANT_WRITE = 0x800, // the node was refused a write
    };
    enum {
        SOCK_POLL_READ = 0x2,
        SOCK_POLL_WRITE = 0x4,
        SOCK_POLL_PEEK = 0x8,
        SOCK_POLL_INPUT = 0x10,    // buffered input waits for the head reader
    };
    // How a socket is freed.
    enum {
        FREE_ABORT = 0,   // failed: close at once
        FREE_NORMAL = 1,  // pending bytes still go out; unread input is drained first
    };
    // Results of the head reader.
    enum {
        HTTP_IN_FAIL = 0,  // the connection cannot go on: the caller drops it
        HTTP_IN_OK = 1,
        HTTP_IN_FREED = 2, // the socket has been freed
        HTTP_IN_STOP = 3,  // a request went out
    };

    // Events collected under the lock and posted to the node after it is released.
    static const u32 EVENT_MAX = 160;
    struct EVENTS_S {
        u32 uCount;
        u32 uInst[EVENT_MAX];
        u32 uEvent[EVENT_MAX];
    };

    typedef CQVList<SOCK_S, &SOCK_S::linkHash> HASH_LIST;
    static const u32 HASH_SIZE = 32;
    static const u32 THREAD_ENTRY_MAX = 32;
    static const u32 BUF_SIZE = 32768;
    static const u32 BUF_SPARE = 256;

    // Set-up and lookup
    static u32 MakeAddrSock(const QV_ADDR_S* lpA, const QV_ADDR_S* lpB, char* lpszOut, u32 uSize);
    static u32 HashOf(const char* lpszText);
    u32 SelectThread();
    SOCK_S* SockFind(const char* lpszAddrSock);
    LISTEN_S* ListenFind(const QV_ADDR_S* lpAddr);
    u32 ListenReady(const LISTEN_S* l) const;
    SOCK_S* SockNew(u32 uThread, int hSocket, const char* lpszAddrSock);
    void ListenFree(LISTEN_S* l);
    u32 BufGet(QV_BUF_S* lpBuf);
    void BufFree(QV_BUF_S* lpBuf);

    // Socket life
    void SockFree(SOCK_S* s, u32 uHow, EVENTS_S* lpEv);
    void SockGone(SOCK_S* s);
    void SockDetach(SOCK_S* s);
    u32 SockReadEnd(SOCK_S* s, EVENTS_S* lpEv);   // 1 when the socket was freed
    u32 SockWriteEnd(SOCK_S* s, EVENTS_S* lpEv);  // 1 when the socket was freed
    u32 SockCheckDone(SOCK_S* s, EVENTS_S* lpEv); // 1 when the socket was freed
    void ArmRead(SOCK_S* s);
    void ArmWrite(SOCK_S* s);
    void DisarmRead(SOCK_S* s);
    void DisarmWrite(SOCK_S* s);
    void Unwatch(u32 uThread, int hSocket);
    void Wake(u32 uThread, u32 uMsg);
    void EventAdd(EVENTS_S* lpEv, TCP_S* t, u32 uEvent);
    // uNow: the caller is a worker between passes, holding no lock; the node may serve the
    // events on this thread (a socket's bytes go out without a wake-up of its dispatch thread).
    void EventPost(EVENTS_S* lpEv, u32 uNow = 0);

    // Bytes
    int ReadLocked(TCP_S* t, u8* lpBuf, u32 uWant, u32* lpuSize, EVENTS_S* lpEv);
    int WritePlain(SOCK_S* s, const u8* lpData, u32 uLen, u32* lpuSize, EVENTS_S* lpEv);
    u32 Send(SOCK_S* s, const void* lpData, u32 uLen, int* lpiErr);
    void OutFlush(SOCK_S* s, int* lpiErr);

    // Workers
    u32 BuildSets(THREAD_S* w);
    u32 ServeReady(u32 uIndex, u32 uReady, EVENTS_S* lpEv);
    void TimerProc(u32 uIndex, u32 uKeepAlive, EVENTS_S* lpEv);
    void SockAccept(u32 uIndex, LISTEN_S* l, EVENTS_S* lpEv);
    void SockProc(u32 uIndex, SOCK_S* s, u32 uReadable, u32 uWritable, EVENTS_S* lpEv);
    void SockProcOut(SOCK_S* s, u32 uReadable, u32 uWritable, EVENTS_S* lpEv);
    // An outgoing socket that turned writable: its connect has finished, well or not.
    void ConnectDone(SOCK_S* s, EVENTS_S* lpEv);
    void SockWritable(SOCK_S* s, EVENTS_S* lpEv);

    // HTTP
    u32 HttpAllowance(SOCK_S* s);
    void HttpDeliver(SOCK_S* s, u32 uBytes, EVENTS_S* lpEv);
    u32 HttpInput(SOCK_S* s, u32 uRecv, EVENTS_S* lpEv);
    u32 HttpRequest(SOCK_S* s, const QV_HTTP_REQ_S* lpReq, EVENTS_S* lpEv);
    u32 HttpHostReport(SOCK_S* s, EVENTS_S* lpEv);
    u32 HttpAnswer(SOCK_S* s, const char* lpData, u32 uLen);
    u32 HttpRequestEnd(SOCK_S* s, EVENTS_S* lpEv); // 1 when the socket was freed
    int HttpWrite(SOCK_S* s, const u8* lpData, u32* lpuSize, EVENTS_S* lpEv);

    // Configuration
    CFG_S m_Cfg;
    IQVExtProc* m_lpProc;

    THREAD_S* m_lpThread;
    u32 m_uThreadCount;

    CQVList<TCP_S> m_ListInst;
    CQVList<SOCK_S, &SOCK_S::linkAll> m_ListSock;
    HASH_LIST m_Hash[HASH_SIZE];
    CQVList<LISTEN_S, &LISTEN_S::linkAll> m_ListListen;

    CQVCriticalSection m_Sect;
    u32 m_uRunning;
    std::atomic<u32> m_uTimerManual;
    u32 m_uSockCount;
    u32 m_uBufCount;
    u32 m_uLingerCount;
    u32 m_uAttached;
    u64 m_uPassCount;
};
