// Socket layer over the real socket process: the configuration record reaches the process and
// the operations that hand over to it answer with the process's results. The process runs
// in a namespace of its own (its threads and sockets stay there), so that whatever it sends
// reaches nothing outside.
#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "kvLab.h"
#include "kvSocketFakes.h"
#include "qvLog.h"
#include "qvSockDriv.h"
#include "qvSocket.h"
#include "qvTimer.h"

namespace {

QV_ADDR_S Loopback(u16 port)
{
    QV_ADDR_S a;
    std::memset(&a, 0, sizeof(a));
    a.uAddr[3] = htonl(0x7F000001);
    a.uPort = port;
    return a;
}

// Remembers the peer sockets reported dropped, and the marks posted through the layer's
// report queue.
class DropOwner : public IQVSocketOwner {
public:
    std::mutex mu;
    std::vector<u32> dropped;
    std::vector<u32> marks;
    u32 SocketProc(u32 e, u32, u32, u32, u32 v4, u32, u32, u32 sid) override
    {
        std::lock_guard<std::mutex> lk(mu);
        if (e == QV_SOCK_EVENT_REPORT && v4 == 1) dropped.push_back(sid);
        if (e == QV_SOCK_EVENT_REPORT && v4 >= kMarkBase) marks.push_back(v4);
        return 1;
    }
    static const u32 kMarkBase = 0x1000;
    bool Marked(u32 m)
    {
        std::lock_guard<std::mutex> lk(mu);
        for (u32 x : marks)
            if (x == m) return true;
        return false;
    }
    void SocketTimer(u32) override {}
    void SocketDrop(u32) override {}
    void SocketSetParam(u32, u32, u32) override {}
    void SocketThreadStatus(u32) override {}
    bool Dropped(u32 sid)
    {
        std::lock_guard<std::mutex> lk(mu);
        for (u32 d : dropped)
            if (d == sid) return true;
        return false;
    }
};

// Waits until whatever the dispatcher had to report so far reached the owner: a report
// raised by the work of one dispatcher pass is delivered before a mark posted after the
// mark of that pass arrived.
bool Settle(CQVSocket& sock, DropOwner& own)
{
    static u32 uNext = DropOwner::kMarkBase;
    for (int i = 0; i < 2; i++) {
        u32 m = uNext++;
        sock.SockEventReport(0, m);
        if (!kvlab::WaitUntil([&] { return own.Marked(m); }, 10000)) return false;
    }
    return true;
}

} // namespace

TEST(SocketCfg, PassThroughsReachTheSocketProcess)
{
    KV_LAB_REQUIRE();
    kvlab::Lab lab;
    kvlab::Host host = lab.AddHost(lab.AddSegment("s"), "h");
    DropOwner own;
    CQVSocket sock;
    sock.Attach(&own);
    CQVSocket::CFG_S cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    cfg.uTableSize = 8;
    cfg.uProcValue[0] = 10;   // the process's connect try timeout, seconds
    sock.SetConfig(cfg);
    {
        kvlab::NetnsGuard ns(host.ns);
        ASSERT_TRUE(ns.Ok());
        ASSERT_EQ(1u, sock.Initialize(nullptr));
    }
    // The passes are driven below: the timer service, whose 10 ms timer would add passes of
    // its own, is stopped (and started again at the end for the other tests).
    qvTimerClean();
    ASSERT_EQ(1u, sock.SetName("me"));
    EXPECT_NE(nullptr, sock.GetSocketPrivate(0));
    EXPECT_NE(nullptr, sock.GetSocketPrivate(3));
    EXPECT_EQ(nullptr, sock.GetSocketPrivate(1));
    EXPECT_EQ(nullptr, sock.GetSocketPrivate(2));

    // A peer nobody answers for: the handshake never completes.
    int rx = kvlab::UdpOpen(host.ns, "127.0.0.1", 0);
    int sta = kvlab::UdpOpen(host.ns, "127.0.0.1", 0);
    ASSERT_GE(rx, 0);
    ASSERT_GE(sta, 0);
    QV_ADDR_S peer = Loopback(kvlab::UdpPort(rx));
    u32 sid = sock.Add(&peer, 0, 5, 0);
    ASSERT_NE(0u, sid);
    const u32 stale = sid ^ 0x8000;

    // Validated hand-overs pass the process handle; a stale uSockID is refused here.
    QV_ADDR_S a;
    std::memset(&a, 0, sizeof(a));
    ASSERT_EQ(1u, sock.GetPeerAddr(sid, &a));
    EXPECT_EQ(peer.uAddr[3], a.uAddr[3]);
    EXPECT_EQ(peer.uPort, a.uPort);
    EXPECT_EQ(0u, sock.GetPeerAddr(stale, &a));
    u32 uLan = 7;
    ASSERT_EQ(1u, sock.GetPeerInfo(sid, &uLan));
    EXPECT_EQ(0u, uLan);   // not seen on the LAN
    EXPECT_EQ(0u, sock.GetPeerInfo(stale, &uLan));
    EXPECT_EQ(1u, sock.SetPeerOption(sid, 1, "1"));
    EXPECT_EQ(0u, sock.SetPeerOption(sid, 0, "x"));   // the process takes decimal values only
    EXPECT_EQ(0u, sock.SetPeerOption(stale, 1, "1"));
    EXPECT_EQ(0u, sock.GetPeerAddrInfo(stale, &uLan, &a, &a, &a, &a, &a, &a));
    EXPECT_EQ(1u, sock.SetPeerProxy(sid, &peer, nullptr));
    EXPECT_EQ(0u, sock.SetPeerProxy(stale, &peer, nullptr));

    // Plain and locked hand-overs.
    EXPECT_EQ(1u, sock.SetLabel("kv"));
    EXPECT_EQ(1u, sock.SetNetEnable(1));
    EXPECT_EQ(1u, sock.SetRelay(nullptr, 0, 0));
    EXPECT_EQ(0u, sock.CheckDrivAddr(&peer));
    std::memset(&a, 0xEE, sizeof(a));
    ASSERT_EQ(1u, sock.GetAddr(&a, 2));   // the own main address: none before a station answered
    EXPECT_EQ(0u, a.uAddr[3]);
    QV_ADDR_S cur;
    EXPECT_EQ(0u, sock.GetCurProxy(cur));
    QV_ADDR_S station = Loopback(kvlab::UdpPort(sta));
    ASSERT_EQ(1u, sock.SetProxy(&station, 1));

    // With a station list the client waits for a relayed connect as long as the process tries:
    // try timeout 10 s x 20 + 200 = 400 timer passes instead of 360.
    // The handshake starts on the dispatcher thread: the count begins once it has.
    ASSERT_TRUE(Settle(sock, own));
    for (u32 i = 0; i < 399; i++) sock.TimerPass();
    ASSERT_TRUE(Settle(sock, own));
    EXPECT_FALSE(own.Dropped(sid)) << "gave up before the longer limit";
    sock.TimerPass();
    EXPECT_TRUE(kvlab::WaitUntil([&] { return own.Dropped(sid); }, 30000)) << "given up at the limit";

    sock.Clean();
    close(rx);
    close(sta);
    ASSERT_EQ(1u, qvTimerInit(64));
}

// A client over its init limit answers an InitQ from an unknown source with a simulated
// InitR, through the real socket process (here on the LAN driver), making nothing for it.
TEST(SocketCfg, InitLimitAnswersUnknownSourcesInClientMode)
{
    KV_LAB_REQUIRE();
    kvlab::Lab lab;
    kvlab::Host host = lab.AddHost(lab.AddSegment("s"), "h");
    DropOwner own;
    CQVSocket sock;
    sock.Attach(&own);
    CQVSocket::CFG_S cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    cfg.uTableSize = 8;
    sock.SetConfig(cfg);
    {
        kvlab::NetnsGuard ns(host.ns);
        ASSERT_TRUE(ns.Ok());
        ASSERT_EQ(1u, sock.Initialize(nullptr));
        auto* lan = static_cast<IQVSocketLANPriv*>(sock.GetSocketPrivate(3));
        ASSERT_NE(nullptr, lan);
        ASSERT_EQ(1u, lan->Enable(1, 0, "me", ""));
    }
    ASSERT_EQ(1u, sock.SetName("me"));
    sock.SetMainSpeed(1);
    // One peer in its handshake fills the limit of one.
    int quiet = kvlab::UdpOpen(host.ns, "127.0.0.1", 0);
    ASSERT_GE(quiet, 0);
    QV_ADDR_S peer = Loopback(kvlab::UdpPort(quiet));
    ASSERT_NE(0u, sock.Add(&peer, 0, 5, 0));

    int stranger = kvlab::UdpOpen(host.ns, "127.0.0.1", 0);
    ASSERT_GE(stranger, 0);
    std::string q(QV_SKP_INIT_LEN, '\0');
    q[1] = QV_SKP_INITQ;
    q[2] = 7;
    q[8] = 0x12;
    q[9] = 0x34;
    q[10] = 0x56;
    q[11] = 0x78;
    std::memcpy(&q[12], "stranger", 8);
    std::string r;
    // Repeated until answered: the handshake of the quiet peer may not have started yet.
    EXPECT_TRUE(kvlab::WaitUntil([&] {
        kvlab::UdpSend(stranger, "127.0.0.1", 7654, q);
        return kvlab::UdpRecv(stranger, 200, &r);
    }, 10000)) << "no reply";
    ASSERT_EQ(QV_SKP_INIT_LEN, r.size());
    EXPECT_EQ(QV_SKP_INITR, (u8)r[1]);
    EXPECT_EQ(0, (u8)r[2]);
    EXPECT_EQ(std::string("\x12\x34\x56\x78", 4), r.substr(4, 4)) << "its cookie back";
    EXPECT_EQ(std::string(4, '\0'), r.substr(8, 4)) << "no cookie of ours";
    EXPECT_STREQ("me", r.c_str() + 12);
    sock.Clean();
    close(quiet);
    close(stranger);
}
