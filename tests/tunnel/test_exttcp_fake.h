// Fixtures for the TCP forwarding extension tests: a subclass that records the four
// notifications, a fake node that plays the File class's part on one dispatch thread (opens
// read and write sides, pulls bytes on event 2, pushes them until the socket takes no more,
// picks up again on event 1, closes a stream's write side after its end), and loopback
// socket helpers.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qvExtTcp.h"

namespace kvext {

inline QV_ADDR_S V4(u16 uPort, const char* lpszIP = "127.0.0.1")
{
    QV_ADDR_S Addr;
    memset(&Addr, 0, sizeof(Addr));
    inet_pton(AF_INET, lpszIP, &Addr.uAddr[3]);
    Addr.uPort = uPort;
    return Addr;
}

// Polls a condition until it holds or a generous deadline passes.
inline bool WaitFor(const std::function<bool()>& fn, int iMs = 10000)
{
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
    while (!fn()) {
        if (std::chrono::steady_clock::now() > tEnd)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A listening loopback socket on a port the system chose.
inline int ListenOn(u16* lpuPort, int iBacklog = 128)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int iOn = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn));
    struct sockaddr_in Sa;
    memset(&Sa, 0, sizeof(Sa));
    Sa.sin_family = AF_INET;
    Sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr*)&Sa, sizeof(Sa)) != 0 || listen(fd, iBacklog) != 0) {
        close(fd);
        return -1;
    }
    socklen_t uLen = sizeof(Sa);
    getsockname(fd, (struct sockaddr*)&Sa, &uLen);
    *lpuPort = ntohs(Sa.sin_port);
    return fd;
}

// A loopback port that nothing listens on (bound and closed a moment ago).
inline u16 ClosedPort()
{
    u16 uPort = 0;
    int fd = ListenOn(&uPort);
    close(fd);
    return uPort;
}

// A blocking client connected to a loopback port, -1 on failure.
inline int ConnectTo(u16 uPort)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in Sa;
    memset(&Sa, 0, sizeof(Sa));
    Sa.sin_family = AF_INET;
    Sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Sa.sin_port = htons(uPort);
    if (connect(fd, (struct sockaddr*)&Sa, sizeof(Sa)) != 0) {
        close(fd);
        return -1;
    }
    struct timeval Tv = {20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &Tv, sizeof(Tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &Tv, sizeof(Tv));
    return fd;
}

inline bool SendAll(int fd, const void* lpData, size_t uLen)
{
    const u8* p = (const u8*)lpData;
    while (uLen) {
        ssize_t n = send(fd, p, uLen, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        uLen -= (size_t)n;
    }
    return true;
}

inline bool SendAll(int fd, const std::string& str)
{
    return SendAll(fd, str.data(), str.size());
}

// Everything up to the end of stream (or a read error or time-out); *lpiEnd gets 0 for a
// clean end of stream, else the errno.
inline std::string RecvAll(int fd, int* lpiEnd = nullptr)
{
    std::string str;
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n > 0) {
            str.append(buf, (size_t)n);
            continue;
        }
        if (lpiEnd)
            *lpiEnd = n == 0 ? 0 : errno;
        return str;
    }
}

// Exactly uLen bytes, or fewer when the stream ends first.
inline std::string RecvN(int fd, size_t uLen)
{
    std::string str;
    char buf[65536];
    while (str.size() < uLen) {
        size_t uWant = uLen - str.size();
        ssize_t n = recv(fd, buf, uWant < sizeof(buf) ? uWant : sizeof(buf), 0);
        if (n <= 0)
            break;
        str.append(buf, (size_t)n);
    }
    return str;
}

// A reproducible byte stream.
class CPattern {
public:
    explicit CPattern(u64 uSeed) : m_uState(uSeed * 0x9E3779B97F4A7C15ull + 1) {}
    void Fill(u8* p, size_t uLen)
    {
        for (size_t i = 0; i < uLen; i++) {
            if ((m_uPos & 7) == 0) {
                m_uState ^= m_uState << 13;
                m_uState ^= m_uState >> 7;
                m_uState ^= m_uState << 17;
                m_uWord = m_uState;
            }
            p[i] = (u8)(m_uWord >> ((m_uPos & 7) * 8));
            m_uPos++;
        }
    }

private:
    u64 m_uState;
    u64 m_uWord = 0;
    u64 m_uPos = 0;
};

// Sends uLen pattern bytes, then shuts its write side.
inline bool SendPattern(int fd, u64 uSeed, size_t uLen)
{
    CPattern Pat(uSeed);
    std::vector<u8> Buf(65536);
    while (uLen) {
        size_t n = uLen < Buf.size() ? uLen : Buf.size();
        Pat.Fill(Buf.data(), n);
        if (!SendAll(fd, Buf.data(), n))
            return false;
        uLen -= n;
    }
    return shutdown(fd, SHUT_WR) == 0;
}

// Reads to the end of stream; the number of bytes that matched the pattern before the first
// difference (or the end).
inline size_t RecvPattern(int fd, u64 uSeed, bool* lpbCleanEnd)
{
    CPattern Pat(uSeed);
    std::vector<u8> Buf(65536), Want(65536);
    size_t uGood = 0;
    bool bSame = true;
    for (;;) {
        ssize_t n = recv(fd, Buf.data(), Buf.size(), 0);
        if (n <= 0) {
            *lpbCleanEnd = n == 0;
            return uGood;
        }
        Pat.Fill(Want.data(), (size_t)n);
        for (ssize_t i = 0; i < n && bSame; i++) {
            if (Buf[i] != Want[i])
                bSame = false;
            else
                uGood++;
        }
    }
}

// A socket's readable bytes within a short time, without waiting for the end of stream.
inline std::string RecvSome(int fd, size_t uWant, int iMs = 10000)
{
    std::string str;
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
    char buf[65536];
    while (str.size() < uWant && std::chrono::steady_clock::now() < tEnd) {
        struct pollfd Pfd = {fd, POLLIN, 0};
        if (poll(&Pfd, 1, 20) <= 0)
            continue;
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n <= 0)
            break;
        str.append(buf, (size_t)n);
    }
    return str;
}

// 1 when the peer has closed (end of stream or reset) within the deadline.
inline bool PeerClosed(int fd, int iMs = 10000)
{
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
    char buf[4096];
    while (std::chrono::steady_clock::now() < tEnd) {
        struct pollfd Pfd = {fd, POLLIN, 0};
        if (poll(&Pfd, 1, 20) <= 0)
            continue;
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN))
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------

enum { NOTE_ACCEPT = 0, NOTE_CONNECT, NOTE_DISCONNECT, NOTE_ERROR };

struct NOTE_S {
    int iKind;
    std::string strAddr;
    std::string strHost;
    u32 uValue; // listen parameter, connect result or error code
    std::thread::id Tid = std::this_thread::get_id(); // the thread that raised it
};

class CTestExtTcp : public CQVExtTcp {
public:
    u32 OnAccept(const char* lpszAddr, const char* lpszHost, u32 uParam) override
    {
        Add({NOTE_ACCEPT, lpszAddr, lpszHost, uParam});
        return m_uAcceptResult;
    }
    void OnConnect(const char* lpszAddr, u32 uResult) override { Add({NOTE_CONNECT, lpszAddr, "", uResult}); }
    void OnDisconnect(const char* lpszAddr) override { Add({NOTE_DISCONNECT, lpszAddr, "", 0}); }
    void OnError(u32 uError) override { Add({NOTE_ERROR, "", "", uError}); }

    std::vector<NOTE_S> Notes(int iKind)
    {
        std::lock_guard<std::mutex> Lock(m_Mutex);
        std::vector<NOTE_S> Out;
        for (const NOTE_S& n : m_Notes) {
            if (n.iKind == iKind)
                Out.push_back(n);
        }
        return Out;
    }
    size_t Count(int iKind, const std::string& strAddr = "")
    {
        size_t c = 0;
        for (const NOTE_S& n : Notes(iKind))
            c += strAddr.empty() || n.strAddr == strAddr;
        return c;
    }
    size_t CountError(u32 uError)
    {
        size_t c = 0;
        for (const NOTE_S& n : Notes(NOTE_ERROR))
            c += n.uValue == uError;
        return c;
    }
    // The iIndex-th note of a kind, once it has come.
    bool WaitNote(int iKind, size_t iIndex, NOTE_S* lpOut, int iMs = 10000)
    {
        if (!WaitFor([&] { return Notes(iKind).size() > iIndex; }, iMs))
            return false;
        *lpOut = Notes(iKind)[iIndex];
        return true;
    }
    bool Idle(u32 uListeners)
    {
        STAT_S St;
        GetStat(&St);
        return St.uSockets == 0 && St.uLinger == 0 && St.uAttached == 0 && St.uBuffers == 0 &&
               St.uListeners == uListeners && St.uEntries == uListeners;
    }

    std::atomic<u32> m_uAcceptResult{1};

private:
    void Add(const NOTE_S& Note)
    {
        std::lock_guard<std::mutex> Lock(m_Mutex);
        m_Notes.push_back(Note);
    }

    std::mutex m_Mutex;
    std::vector<NOTE_S> m_Notes;
};

// The node side: one dispatch thread that makes every call into the extension, as the node
// does, and a pump per forwarded direction.
class CFakeNode : public IQVExtProc {
public:
    explicit CFakeNode(CQVExtTcp* lpExt) : m_lpExt(lpExt), m_Thread([this] { Loop(); }) {}
    ~CFakeNode()
    {
        {
            std::lock_guard<std::mutex> Lock(m_Mutex);
            m_bStop = true;
        }
        m_Cv.notify_all();
        m_Thread.join();
    }

    bool OnEvent(u32 uInst, u32, u32 uEvent, u64) override
    {
        {
            std::lock_guard<std::mutex> Lock(m_Mutex);
            m_Events.push_back({uInst, uEvent});
            m_EventCount[uInst * 4 + (uEvent & 3)]++;
        }
        m_Cv.notify_all();
        return true;
    }

    // Runs fn on the dispatch thread and waits for it.
    template <class F>
    auto Call(F fn) -> decltype(fn())
    {
        auto lpTask = std::make_shared<std::packaged_task<decltype(fn())()>>(fn);
        auto Fut = lpTask->get_future();
        {
            std::lock_guard<std::mutex> Lock(m_Mutex);
            m_Tasks.push_back([lpTask] { (*lpTask)(); });
        }
        m_Cv.notify_all();
        return Fut.get();
    }

    // An instance: "Put/<AddrSock>" mode 0 reads the socket, "Get/<AddrSock>" mode 1 writes it.
    u32 Open(const std::string& strAddrSock, u32 uMode)
    {
        return Call([&] { return OpenHere(strAddrSock, uMode); });
    }
    void Close(u32 h)
    {
        Call([&] { CloseHere(h); });
    }
    // (result, bytes) of one OnRead of at most uMax bytes.
    std::pair<int, std::string> Read(u32 h, u32 uMax = 65536)
    {
        return Call([&] {
            std::string str(uMax, '\0');
            u32 uSize = uMax;
            int r = m_lpExt->OnRead(Inst(h), 0, &str[0], &uSize, 0);
            str.resize(r == 3 ? uSize : 0);
            return std::make_pair(r, str);
        });
    }
    // (result, bytes taken) of one OnWrite.
    std::pair<int, u32> Write(u32 h, const std::string& str)
    {
        return Call([&] {
            u32 uSize = (u32)str.size();
            int r = m_lpExt->OnWrite(Inst(h), 0, str.data(), &uSize, 0);
            return std::make_pair(r, r == 3 ? uSize : 0u);
        });
    }
    int Ctrl(u32 h, u32 uCode)
    {
        return Call([&] { return m_lpExt->OnCtrl(Inst(h), uCode, nullptr, 0, nullptr, nullptr); });
    }
    u32 EventCount(u32 h, u32 uEvent)
    {
        std::lock_guard<std::mutex> Lock(m_Mutex);
        return m_EventCount[h * 4 + (uEvent & 3)];
    }
    // Reads everything a request side offers right now (until the extension says "nothing").
    std::string Drain(u32 h)
    {
        std::string str;
        for (;;) {
            auto r = Read(h);
            if (r.first != 3)
                return str;
            str += r.second;
        }
    }

    // Forwards one direction: the bytes read from src's socket are written to dst's socket;
    // when src's stream ends and everything has gone, both instances are closed.
    int Join(const std::string& strSrc, const std::string& strDst, u32 uBuf = 65536)
    {
        return Call([&] {
            auto lpPipe = std::make_shared<PIPE_S>();
            lpPipe->hSrc = OpenHere(strSrc, 0);
            lpPipe->hDst = OpenHere(strDst, 1);
            lpPipe->Buf.resize(uBuf);
            if (!lpPipe->hSrc || !lpPipe->hDst)
                return -1;
            m_Pipes.push_back(lpPipe);
            Run(*lpPipe);
            return (int)m_Pipes.size() - 1;
        });
    }
    bool PipeDone(int i)
    {
        return Call([&] { return m_Pipes[i]->bDone; });
    }
    u64 PipeBytes(int i)
    {
        return Call([&] { return m_Pipes[i]->uBytes; });
    }
    size_t OpenCount()
    {
        return Call([&] { return m_Inst.size(); });
    }
    void CloseAll()
    {
        Call([&] {
            while (!m_Inst.empty())
                CloseHere(m_Inst.begin()->first);
        });
    }

private:
    struct PIPE_S {
        u32 hSrc = 0, hDst = 0;
        std::vector<u8> Buf;
        size_t uPos = 0, uLen = 0;
        bool bSrcEnd = false, bDstDead = false, bDone = false;
        u64 uBytes = 0;
    };

    void* Inst(u32 h)
    {
        auto it = m_Inst.find(h);
        return it == m_Inst.end() ? nullptr : it->second;
    }
    u32 OpenHere(const std::string& strAddrSock, u32 uMode)
    {
        u32 h = ++m_uNext;
        std::string strName = (uMode ? "Get/" : "Put/") + strAddrSock;
        std::string strOpt = "(Option){(Mode){" + std::to_string(uMode) + "}}";
        void* lpInst = nullptr;
        if (!m_lpExt->OnOpen(&lpInst, strName.c_str(), strOpt.c_str(), 0, h, this))
            return 0;
        m_Inst[h] = lpInst;
        return h;
    }
    void CloseHere(u32 h)
    {
        auto it = m_Inst.find(h);
        if (it == m_Inst.end())
            return;
        m_lpExt->OnClose(it->second, 0);
        m_Inst.erase(it);
    }

    // The File class's load and save steps for one direction, until neither moves a byte.
    void Run(PIPE_S& p)
    {
        if (p.bDone)
            return;
        for (bool bMoved = true; bMoved;) {
            bMoved = false;
            if (p.uLen && !p.bDstDead) {
                u32 uSize = (u32)p.uLen;
                int r = m_lpExt->OnWrite(Inst(p.hDst), 0, p.Buf.data() + p.uPos, &uSize, 0);
                if (r == 3 && uSize) {
                    p.uPos += uSize;
                    p.uLen -= uSize;
                    p.uBytes += uSize;
                    bMoved = true;
                } else if (r == 0) {
                    p.bDstDead = true;
                }
            }
            if (p.uLen == 0)
                p.uPos = 0;
            if (!p.bSrcEnd && p.uPos + p.uLen < p.Buf.size()) {
                if (p.uPos) {
                    memmove(p.Buf.data(), p.Buf.data() + p.uPos, p.uLen);
                    p.uPos = 0;
                }
                u32 uSize = (u32)(p.Buf.size() - p.uLen);
                int r = m_lpExt->OnRead(Inst(p.hSrc), 0, p.Buf.data() + p.uLen, &uSize, 0);
                if (r == 3 && uSize) {
                    p.uLen += uSize;
                    bMoved = true;
                } else if (r == 0) {
                    p.bSrcEnd = true;
                }
            }
        }
        if ((p.bSrcEnd && p.uLen == 0) || p.bDstDead) {
            CloseHere(p.hDst);
            CloseHere(p.hSrc);
            p.bDone = true;
        }
    }

    void Loop()
    {
        std::unique_lock<std::mutex> Lock(m_Mutex);
        for (;;) {
            m_Cv.wait(Lock, [&] { return m_bStop || !m_Tasks.empty() || !m_Events.empty(); });
            if (m_bStop)
                return;
            if (!m_Tasks.empty()) {
                auto fn = std::move(m_Tasks.front());
                m_Tasks.pop_front();
                Lock.unlock();
                fn();
                Lock.lock();
                continue;
            }
            std::pair<u32, u32> Ev = m_Events.front();
            m_Events.pop_front();
            Lock.unlock();
            for (auto& lpPipe : m_Pipes) {
                if (lpPipe->hSrc == Ev.first || lpPipe->hDst == Ev.first)
                    Run(*lpPipe);
            }
            Lock.lock();
        }
    }

    CQVExtTcp* m_lpExt;
    std::mutex m_Mutex;
    std::condition_variable m_Cv;
    std::deque<std::function<void()>> m_Tasks;
    std::deque<std::pair<u32, u32>> m_Events;
    std::map<u32, u32> m_EventCount;
    std::map<u32, void*> m_Inst;
    std::vector<std::shared_ptr<PIPE_S>> m_Pipes;
    u32 m_uNext = 0;
    bool m_bStop = false;
    std::thread m_Thread;
};

// An extension started on the fake node, cleaned at the end of the test.
struct CExtFixture {
    explicit CExtFixture(const CQVExtTcp::CFG_S& Cfg, u32 uManual = 1) : Node(&Ext)
    {
        Ext.Config(Cfg);
        Ext.SetTimerManual(uManual);
        bStarted = Ext.OnInitialize(nullptr, &Node, 0x7FFF);
    }
    ~CExtFixture()
    {
        Node.CloseAll();
        Ext.OnClean();
    }
    CTestExtTcp Ext;
    CFakeNode Node;
    bool bStarted = false;
};

inline CQVExtTcp::CFG_S DefaultCfg()
{
    CQVExtTcp::CFG_S Cfg;
    memset(&Cfg, 0, sizeof(Cfg));
    Cfg.uMaxSess = 16;
    Cfg.uMaxTunnel = 8;
    Cfg.uConnectTimeout = 30;
    Cfg.uBufSize = 96;
    return Cfg;
}

} // namespace kvext
