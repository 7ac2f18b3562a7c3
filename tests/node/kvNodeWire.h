// An in-memory datagram wire between two socket layers of one test process: the node's socket
// layer on one side and a bare socket layer on the other, which the test drives as the remote
// peer (it can send anything, well-formed or not).
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <thread>

#include "kvNodeFakes.h"
#include "qvDomain.h"

namespace {

inline std::string AddrKey(const QV_ADDR_S& a)
{
    return std::to_string(a.uAddr[3]) + ":" + std::to_string(a.uPort);
}

inline QV_ADDR_S AddrOf(const char* lpszText)
{
    QV_ADDR_S a;
    std::memset(&a, 0, sizeof(a));
    qvDomainToAddr(lpszText, 0, &a, 1, nullptr, 0, 1);
    return a;
}

class MemWire;

// One side's carrier: a peer table and sends into the wire.
class MemLower : public IQVSocketLower {
public:
    MemLower(MemWire* w, int side, QV_ADDR_S self) : m_w(w), m_side(side), m_self(self) {}
    u32 Initialize(void*, const u32*) override { return 1; }
    void Clean() override
    {
        std::lock_guard<std::mutex> lk(mu);
        sockOf.clear();
        addrOf.clear();
    }
    u32 Add(const QV_ADDR_S& a, u32 uSockID) override
    {
        std::lock_guard<std::mutex> lk(mu);
        sockOf[AddrKey(a)] = uSockID;
        addrOf[uNext] = a;
        return uNext++;
    }
    void Delete(u32 h) override
    {
        std::lock_guard<std::mutex> lk(mu);
        auto it = addrOf.find(h);
        if (it != addrOf.end()) {
            sockOf.erase(AddrKey(it->second));
            addrOf.erase(it);
        }
    }
    u32 Search(const QV_ADDR_S& a, u32& uSockID) override
    {
        std::lock_guard<std::mutex> lk(mu);
        auto it = sockOf.find(AddrKey(a));
        if (it == sockOf.end())
            return 0;
        uSockID = it->second;
        return 1;
    }
    u32 SetPeerParam(u32 h, u32 uSockID) override
    {
        std::lock_guard<std::mutex> lk(mu);
        if (!addrOf.count(h))
            return 0;
        sockOf[AddrKey(addrOf[h])] = uSockID;
        return 1;
    }
    u32 GetPeerAddr(u32 h, QV_ADDR_S* a) override
    {
        std::lock_guard<std::mutex> lk(mu);
        if (!addrOf.count(h))
            return 0;
        *a = addrOf[h];
        return 1;
    }
    s32 Send(u32, const QV_BUF_S& buf, u32 uCnnt, u32, u32* used) override;
    s32 SendDirect(const QV_ADDR_S&, const QV_BUF_S&, u32) override { return -1; }
    u32 Ctrl(u32, u32, u32) override { return 1; }
    u32 GetPeerCnntAddr(u32, u32*, u32) override { return 0; }
    u32 SetMainSpeed(u32, u32) override { return 1; }
    u32 SetSelfPeer(const char*) override { return 1; }
    u32 GetTryTimeout() override { return 6; }
    u32 SetLoopSpeed(u32) override { return 1; }

    MemWire* m_w;
    int m_side;
    QV_ADDR_S m_self;
    std::mutex mu;
    std::map<std::string, u32> sockOf;
    std::map<u32, QV_ADDR_S> addrOf;
    u32 uNext = 1;
};

class MemWire {
public:
    CQVSocket* sock[2] = {nullptr, nullptr};
    MemLower* low[2] = {nullptr, nullptr};

    MemWire() : m_th([this] { Run(); }) {}
    ~MemWire() { Stop(); }
    void Stop()
    {
        {
            std::lock_guard<std::mutex> lk(m_mu);
            m_stop = true;
        }
        m_cv.notify_all();
        if (m_th.joinable())
            m_th.join();
    }
    void Post(int from, const QV_ADDR_S& src, const u8* p, u32 n)
    {
        std::lock_guard<std::mutex> lk(m_mu);
        (m_hold[from] ? m_held : m_q).push_back({1 - from, src, std::vector<u8>(p, p + n)});
        m_cv.notify_one();
    }
    // While held, what one side sends waits; released, it all goes in the order sent.
    void Hold(int from, bool on)
    {
        std::lock_guard<std::mutex> lk(m_mu);
        m_hold[from] = on;
        for (auto it = m_held.begin(); !on && it != m_held.end();) {
            if (it->to == 1 - from) {
                m_q.push_back(std::move(*it));
                it = m_held.erase(it);
            } else {
                ++it;
            }
        }
        m_cv.notify_one();
    }

private:
    struct Item {
        int to;
        QV_ADDR_S src;
        std::vector<u8> b;
    };
    void Run()
    {
        for (;;) {
            Item it;
            {
                std::unique_lock<std::mutex> lk(m_mu);
                m_cv.wait(lk, [&] { return m_stop || !m_q.empty(); });
                if (m_stop)
                    return;
                it = std::move(m_q.front());
                m_q.pop_front();
            }
            if (!sock[it.to] || !low[it.to])
                continue;
            u32 sid = 0;
            low[it.to]->Search(it.src, sid);
            std::vector<u8> d(64 + it.b.size());
            std::memcpy(d.data() + 64, it.b.data(), it.b.size());
            QV_BUF_S buf{d.data(), 64, (u32)d.size(), (u32)it.b.size(), 0};
            sock[it.to]->SockEventData(it.src, buf, sid, 0, 0);
        }
    }
    std::mutex m_mu;
    std::condition_variable m_cv;
    std::deque<Item> m_q;
    std::deque<Item> m_held;
    bool m_hold[2] = {false, false};
    bool m_stop = false;
    std::thread m_th;
};

inline s32 MemLower::Send(u32, const QV_BUF_S& buf, u32 uCnnt, u32, u32* used)
{
    if (used)
        *used = uCnnt;
    m_w->Post(m_side, m_self, buf.buf + buf.uOffset, buf.uLen);
    return (s32)buf.uLen;
}

struct RemoteMsg {
    u32 uPrio, uMethod, uFlag, uObject, uParam;
    std::string data;
};

// The remote party's owner: adopts incoming sockets and keeps every message it receives.
class RemoteOwner : public IQVSocketOwner {
public:
    CQVSocket* sock = nullptr;
    std::mutex mu;
    std::vector<RemoteMsg> msgs;
    std::atomic<u32> sid{0};
    std::atomic<u32> connected{0};

    u32 SocketProc(u32 e, u32 v1, u32, u32, u32, u32 uParam, u32, u32 uSockID) override
    {
        if (e == QV_SOCK_EVENT_NEW) {
            QV_ADDR_S a;
            std::memset(&a, 0, sizeof(a));
            // Adopted prepared, then bound at once: the remote has no peer table to consult.
            u32 s = sock->Add(&a, uParam, 1, 1);
            if (s) {
                sock->SetPeerParam(s, 2);
                sid = s;
            }
            return s ? 1 : 0;
        }
        if (e == QV_SOCK_EVENT_CONNECT) {
            connected = 1;
            return 1;
        }
        if (e == QV_SOCK_EVENT_RECV) {
            std::vector<u8> buf(0x20000);
            QV_SK_BUF_S b;
            std::memset(&b, 0, sizeof(b));
            b.uMethod = 0xFFFF;
            b.uPrio = v1;
            b.lpData = buf.data();
            b.uSize = (u32)buf.size();
            s32 n = sock->Receive(uSockID, b, 0);
            if (n >= 0) {
                std::lock_guard<std::mutex> lk(mu);
                msgs.push_back({b.uPrio, b.uMethod, b.uFlag, b.uObject, b.uHandle2,
                                std::string((const char*)buf.data(), n)});
            }
            return 1;
        }
        return 1;
    }
    void SocketTimer(u32) override {}
    void SocketDrop(u32) override {}
    void SocketSetParam(u32, u32, u32) override {}
    void SocketThreadStatus(u32) override {}

    std::vector<RemoteMsg> Msgs(u32 uMethod)
    {
        std::lock_guard<std::mutex> lk(mu);
        std::vector<RemoteMsg> v;
        for (auto& m : msgs)
            if (m.uMethod == uMethod)
                v.push_back(m);
        return v;
    }
    // Sends one message to the node; the socket's result.
    s32 Send(u32 uMethod, u32 uObject, const std::string& data, u32 uPrio = 0, u32 uFlag = 0, u32 uParam = 0)
    {
        QV_SK_BUF_S b;
        std::memset(&b, 0, sizeof(b));
        b.uObject = uObject;
        b.uMethod = (u16)uMethod;
        b.uFlag = (u16)uFlag;
        b.uPrio = uPrio;
        b.uHandle2 = uParam;
        b.uSize = (u32)data.size();
        b.lpData = (u8*)data.data();
        return sock->Send(sid, b, 0);
    }
    // The same, waiting while the send queue is full.
    bool SendWait(u32 uMethod, u32 uObject, const std::string& data, u32 uPrio = 0)
    {
        return WaitFor([&] { return Send(uMethod, uObject, data, uPrio) > 0; }, 5000);
    }
};

// Big-endian fields and strings of the class's payloads.
inline void Put32(std::string& s, u32 v)
{
    s.push_back((char)(v >> 24));
    s.push_back((char)(v >> 16));
    s.push_back((char)(v >> 8));
    s.push_back((char)v);
}
inline void PutStr(std::string& s, const std::string& t)
{
    Put32(s, (u32)t.size() + 1);
    s += t;
    s.push_back(0);
    while (s.size() % 4)
        s.push_back(0);
}
inline u32 Get32(const std::string& s, size_t at)
{
    return (u32)(u8)s[at] << 24 | (u32)(u8)s[at + 1] << 16 | (u32)(u8)s[at + 2] << 8 | (u8)s[at + 3];
}
// A sync report (type 1) or update (type 2) payload.
inline std::string SyncMsg(u32 uObject, u32 uTime, u32 uTime2, u32 uCookie, const std::string& name,
                           const std::string& group)
{
    std::string s;
    Put32(s, uObject);
    Put32(s, uTime);
    Put32(s, uTime2);
    Put32(s, uCookie);
    Put32(s, 0);
    s.push_back(0);
    s.push_back(1);
    s.append(10, '\0');
    PutStr(s, name);
    PutStr(s, group);
    return s;
}
inline std::string SyncName(const std::string& payload)
{
    if (payload.size() < 36)
        return "";
    u32 n = Get32(payload, 32);
    if (n == 0 || 36 + n > payload.size())
        return "";
    return std::string(payload.data() + 36, n - 1);
}
inline std::string SyncGroup(const std::string& payload)
{
    if (SyncName(payload).empty())
        return "";
    size_t at = 36 + (Get32(payload, 32) + 3) / 4 * 4;  // strings are padded to 4 bytes
    if (at + 4 > payload.size())
        return "";
    u32 n = Get32(payload, at);
    if (n == 0 || at + 4 + n > payload.size())
        return "";
    return std::string(payload.data() + at + 4, n - 1);
}

}  // namespace
