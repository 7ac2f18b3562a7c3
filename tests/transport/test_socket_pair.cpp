// Two socket layers joined by an in-memory lossy datagram wire: every message arrives exactly
// once, whole and in order within its priority, encrypted or not, and a peer that restarts is
// handshaken again without splicing messages across the restart.
#include "kvSocketFakes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

class Wire;

// The carrier of one side: a peer table and sends into the wire.
class PairLower : public FakePeerTable {
public:
    PairLower(Wire* w, int side, QV_ADDR_S self) : m_w(w), m_side(side), m_self(self) {}
    u32 Initialize(void*, const u32*) override { return 1; }
    void Clean() override
    {
        std::lock_guard<std::mutex> lk(mu);
        sockOf.clear();
        addrOf.clear();
    }
    s32 Send(u32, const QV_BUF_S& buf, u32 uCnnt, u32, u32* used) override;
    s32 SendDirect(const QV_ADDR_S&, const QV_BUF_S&, u32) override { return -1; }
    u32 Ctrl(u32, u32, u32) override { return 1; }
    u32 GetPeerCnntAddr(u32, u32*, u32) override { return 0; }
    u32 SetMainSpeed(u32, u32) override { return 1; }
    u32 SetSelfPeer(const char*) override { return 1; }
    u32 GetTryTimeout() override { return 6; }
    u32 SetLoopSpeed(u32) override { return 1; }

    Wire* m_w;
    int m_side;
    QV_ADDR_S m_self;
};

// Delivers datagrams between the two sides on its own thread, dropping a share of them.
class Wire {
public:
    struct Item {
        int to;
        QV_ADDR_S src;
        std::vector<u8> b;
    };
    CQVSocket* sock[2] = {nullptr, nullptr};
    PairLower* low[2] = {nullptr, nullptr};
    std::atomic<int> lossPct{0};
    std::atomic<int> budget[2] = {{-1}, {-1}};   // datagrams still let through to a side; -1 all

    Wire() : m_th([this] { Run(); }) {}
    ~Wire() { Stop(); }
    void Stop()
    {
        {
            std::lock_guard<std::mutex> lk(m_mu);
            m_stop = true;
        }
        m_cv.notify_all();
        if (m_th.joinable()) m_th.join();
    }
    void Post(int from, const QV_ADDR_S& src, const u8* p, u32 n)
    {
        std::lock_guard<std::mutex> lk(m_mu);
        m_q.push_back({1 - from, src, std::vector<u8>(p, p + n)});
        m_cv.notify_one();
    }

private:
    void Run()
    {
        std::mt19937 rng(12345);
        for (;;) {
            Item it;
            {
                std::unique_lock<std::mutex> lk(m_mu);
                m_cv.wait(lk, [&] { return m_stop || !m_q.empty(); });
                if (m_stop) return;
                it = std::move(m_q.front());
                m_q.pop_front();
            }
            if ((int)(rng() % 100) < lossPct.load()) continue;
            int b = budget[it.to].load();
            if (b == 0) continue;
            if (b > 0) budget[it.to]--;
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
    bool m_stop = false;
    std::thread m_th;
};

s32 PairLower::Send(u32, const QV_BUF_S& buf, u32 uCnnt, u32, u32* used)
{
    if (used) *used = uCnnt;
    m_w->Post(m_side, m_self, buf.buf + buf.uOffset, buf.uLen);
    return (s32)buf.uLen;
}

struct Msg {
    u32 prio;
    std::string data;
};

// The node's part: reads every waiting message and counts the events.
class Peer : public IQVSocketOwner {
public:
    CQVSocket sock;
    PairLower low;
    std::mutex mu;
    std::vector<Msg> got;
    std::map<u32, u32> ackCount;   // handle word -> number of events 3
    u32 recvEvents = 0;
    u32 connects = 0;
    u32 sid = 0;

    Peer(Wire* w, int side, QV_ADDR_S self) : low(w, side, self)
    {
        w->sock[side] = &sock;
        w->low[side] = &low;
        sock.SetLower(&low);
        sock.Attach(this);
    }
    ~Peer() { sock.Clean(); }
    void Start(const char* name, const QV_ADDR_S& other)
    {
        CQVSocket::CFG_S cfg;
        std::memset(&cfg, 0, sizeof(cfg));
        for (u32 i = 0; i < 4; i++) {
            cfg.uSendQue[i] = 16;
            cfg.uRecvQue[i] = 20;
        }
        sock.SetConfig(cfg);
        ASSERT_EQ(1u, sock.Initialize(nullptr));
        ASSERT_EQ(1u, sock.SetName(name));
        sid = sock.Add(&other, 0, 1, 0);
        ASSERT_NE(0u, sid);
    }
    u32 SocketProc(u32 e, u32 v1, u32, u32, u32 v4, u32, u32, u32 s) override
    {
        std::lock_guard<std::mutex> lk(mu);
        if (e == QV_SOCK_EVENT_CONNECT) connects++;
        if (e == QV_SOCK_EVENT_ACKED) ackCount[v4]++;
        if (e == QV_SOCK_EVENT_RECV) {
            recvEvents++;
            std::vector<u8> buf(8192);
            QV_SK_BUF_S b = RecvReq(buf.data(), (u32)buf.size(), v1);
            s32 n = sock.Receive(s, b, 0);
            if (n > 0) got.push_back({v1, std::string((char*)buf.data(), n)});
        }
        return 1;
    }
    void SocketTimer(u32) override {}
    void SocketDrop(u32) override {}
    void SocketSetParam(u32, u32, u32) override {}
    void SocketThreadStatus(u32) override {}

    // Queues a message, waiting for room in the send ring.
    bool Send(u32 prio, const std::string& m, u32 opt, u32 handle)
    {
        QV_SK_BUF_S b;
        std::memset(&b, 0, sizeof(b));
        b.uHandle = handle;
        b.uObject = 5;
        b.uMethod = 2;
        b.uPrio = prio;
        b.uSize = (u32)m.size();
        b.lpData = (u8*)m.data();
        return WaitFor([&] { return sock.Send(sid, b, opt) > 0; }, 20000);
    }
    std::vector<Msg> Got()
    {
        std::lock_guard<std::mutex> lk(mu);
        return got;
    }
};

std::string Body(u32 prio, u32 seq, u32 len)
{
    std::string s = "P" + std::to_string(prio) + "S" + std::to_string(seq) + ":";
    while (s.size() < len) s.push_back((char)('a' + (seq * 7 + s.size()) % 26));
    s.resize(len);
    return s;
}

class SocketPair : public ::testing::Test {
protected:
    Wire wire;
    QV_ADDR_S aAddr = Addr(0x0A000001, 1000), bAddr = Addr(0x0A000002, 2000);
    Peer a{&wire, 0, Addr(0x0A000001, 1000)};
    Peer b{&wire, 1, Addr(0x0A000002, 2000)};

    void TearDown() override { wire.Stop(); }

    void Connect()
    {
        a.Start("alpha", bAddr);
        b.Start("beta", aAddr);
        ASSERT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> l1(a.mu);
            std::lock_guard<std::mutex> l2(b.mu);
            return a.connects >= 1 && b.connects >= 1;
        }, 5000));
    }
};

TEST_F(SocketPair, AllPrioritiesArriveOnceInOrderUnderLoss)
{
    Connect();
    wire.lossPct = 20;
    const u32 kPerPrio = 12;
    std::vector<Msg> sent;
    std::mt19937 rng(7);
    u32 handle = 1;
    for (u32 seq = 0; seq < kPerPrio; seq++) {
        for (u32 prio = 0; prio < 4; prio++) {
            u32 len = 1 + rng() % 3000;
            std::string m = Body(prio, seq, len);
            u32 opt = (seq % 2) ? QV_SOCK_SEND_ENCRYPT : 0;
            ASSERT_TRUE(a.Send(prio, m, opt, handle++)) << prio << " " << seq;
            sent.push_back({prio, m});
        }
    }
    ASSERT_TRUE(WaitFor([&] { return b.Got().size() >= sent.size(); }, 120000)) << b.Got().size();
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lk(a.mu);
        return a.ackCount.size() >= sent.size();
    }, 30000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto got = b.Got();
    ASSERT_EQ(sent.size(), got.size());
    for (u32 prio = 0; prio < 4; prio++) {
        std::vector<std::string> s, g;
        for (auto& m : sent)
            if (m.prio == prio) s.push_back(m.data);
        for (auto& m : got)
            if (m.prio == prio) g.push_back(m.data);
        EXPECT_EQ(s, g) << "priority " << prio;
    }
    std::lock_guard<std::mutex> lk(a.mu);
    EXPECT_EQ(sent.size(), a.ackCount.size());
    for (auto& kv : a.ackCount) EXPECT_EQ(1u, kv.second) << "handle " << kv.first;
    std::lock_guard<std::mutex> lk2(b.mu);
    EXPECT_EQ(sent.size(), b.recvEvents);
}

TEST_F(SocketPair, BothDirectionsAtOnce)
{
    Connect();
    wire.lossPct = 10;
    std::vector<std::string> toB, toA;
    for (u32 i = 0; i < 20; i++) {
        toB.push_back(Body(1, i, 100 + i * 97));
        toA.push_back(Body(2, i, 2500 - i * 50));
    }
    std::thread t([&] {
        for (u32 i = 0; i < toA.size(); i++) b.Send(2, toA[i], QV_SOCK_SEND_ENCRYPT, 100 + i);
    });
    for (u32 i = 0; i < toB.size(); i++) ASSERT_TRUE(a.Send(1, toB[i], 0, 1 + i));
    t.join();
    ASSERT_TRUE(WaitFor([&] { return b.Got().size() == toB.size() && a.Got().size() == toA.size(); }, 60000));
    for (u32 i = 0; i < toB.size(); i++) EXPECT_EQ(toB[i], b.Got()[i].data);
    for (u32 i = 0; i < toA.size(); i++) EXPECT_EQ(toA[i], a.Got()[i].data);
}

// The far side restarts (new cookies, empty queues) in the middle of messages in both
// directions: both are handshaken again and nothing of the old partial messages is spliced to
// the new ones.
TEST_F(SocketPair, RestartedPeerIsHandshakenAgainWithoutSplicing)
{
    Connect();
    ASSERT_TRUE(a.Send(0, "before", 0, 1));
    ASSERT_TRUE(WaitFor([&] { return b.Got().size() == 1; }, 5000));
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lk(a.mu);
        return a.ackCount.size() == 1;
    }, 5000));
    // Two blocks of a five-block message reach each side, then the link to both goes quiet.
    wire.budget[0] = 2;
    wire.budget[1] = 2;
    std::string longA = Body(0, 1, 4500), longB = Body(0, 2, 4500);
    ASSERT_TRUE(a.Send(0, longA, 0, 2));
    ASSERT_TRUE(b.Send(0, longB, 0, 7));
    ASSERT_TRUE(WaitFor([&] { return wire.budget[0] == 0 && wire.budget[1] == 0; }, 5000));
    // B restarts as a new incarnation.
    b.sock.Clean();
    {
        std::lock_guard<std::mutex> lk(b.mu);
        b.got.clear();
        b.connects = 0;
    }
    wire.budget[0] = -1;
    wire.budget[1] = -1;
    b.Start("beta", aAddr);
    ASSERT_TRUE(b.Send(0, "after", 0, 8));
    ASSERT_TRUE(WaitFor([&] { return b.Got().size() == 1 && a.Got().size() == 1; }, 20000))
        << b.Got().size() << " " << a.Got().size();
    EXPECT_EQ(longA, b.Got()[0].data);   // whole again, from its first block
    EXPECT_EQ("after", a.Got()[0].data);  // B's old partial message is gone, not spliced
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(1u, b.Got().size());
    EXPECT_EQ(1u, a.Got().size());
}

// One side starts its handshake again with a new cookie (Reconnect) a few times while
// messages flow both ways: the other side takes it for a new incarnation each time, yet
// every message arrives once, whole and in order, and every message acknowledged to its
// sender was delivered.
TEST_F(SocketPair, ReconnectsWhileMessagesFlowLoseNothing)
{
    Connect();
    wire.lossPct = 10;
    const u32 n = 40;
    std::vector<std::string> toB, toA;
    for (u32 i = 0; i < n; i++) {
        toB.push_back(Body(1, i, 100 + (i * 397) % 3000));
        toA.push_back(Body(2, i, 100 + (i * 211) % 3000));
    }
    std::thread t([&] {
        for (u32 i = 0; i < n; i++) b.Send(2, toA[i], 0, 100 + i);
    });
    for (u32 i = 0; i < n; i++) {
        ASSERT_TRUE(a.Send(1, toB[i], 0, 1 + i));
        if (i % 10 == 5) {
            EXPECT_EQ(0, a.sock.Reconnect(a.sid));
        }
    }
    t.join();
    ASSERT_TRUE(WaitFor([&] { return b.Got().size() >= n && a.Got().size() >= n; }, 60000))
        << b.Got().size() << " " << a.Got().size();
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> l1(a.mu);
        std::lock_guard<std::mutex> l2(b.mu);
        return a.ackCount.size() >= n && b.ackCount.size() >= n;
    }, 30000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto gb = b.Got(), ga = a.Got();
    ASSERT_EQ(n, gb.size());
    ASSERT_EQ(n, ga.size());
    for (u32 i = 0; i < n; i++) {
        EXPECT_EQ(toB[i], gb[i].data) << i;
        EXPECT_EQ(toA[i], ga[i].data) << i;
    }
    std::lock_guard<std::mutex> l1(a.mu);
    std::lock_guard<std::mutex> l2(b.mu);
    for (auto& kv : a.ackCount) EXPECT_EQ(1u, kv.second) << "handle " << kv.first;
    for (auto& kv : b.ackCount) EXPECT_EQ(1u, kv.second) << "handle " << kv.first;
}

} // namespace
