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

// Remembers the peer sockets reported dropped.
class DropOwner : public IQVSocketOwner {
public:
    std::mutex mu;
    std::vector<u32> dropped;
    u32 SocketProc(u32 e, u32, u32, u32, u32 v4, u32, u32, u32 sid) override
    {
        if (e == QV_SOCK_EVENT_REPORT && v4 == 1) {
            std::lock_guard<std::mutex> lk(mu);
            dropped.push_back(sid);
        }
        return 1;
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
    // The real 10 ms timer runs a pass every 50 ms from here on, besides the ones driven below.
    auto started = std::chrono::steady_clock::now();
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
    // try timeout 10 s x 20 + 200 = 400 timer passes instead of 360. The 10 ms timer adds its
    // own passes meanwhile (one per 50 ms): the check that the socket outlives 370 passes is
    // made only while the real ones cannot have made up the rest, which a slow machine may not
    // allow.
    for (u32 i = 0; i < 370; i++) sock.TimerPass();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - started).count();
    if (370 + elapsedMs / 50 + 2 < 400) {
        EXPECT_FALSE(own.Dropped(sid)) << "gave up before the longer limit";
    }
    for (u32 i = 0; i < 40; i++) sock.TimerPass();
    EXPECT_TRUE(kvlab::WaitUntil([&] { return own.Dropped(sid); }, 30000));

    sock.Clean();
    close(rx);
    close(sta);
}
