// LAN driver: port choice, discovery by label, hostile discovery messages, peer ageing;
// and socket processes in separate namespaces finding each other over the LAN and
// carrying datagrams both ways. Everything runs inside namespaces the lab makes.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kvDrivPump.h"
#include "kvFlood.h"
#include "kvLab.h"
#include "qvSockDrivLAN.h"
#include "qvSocketProc.h"
#include "qvUtilize.h"

namespace {

std::string Ip(const QV_ADDR_S& a)
{
    char s[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a.uAddr[3], s, sizeof(s));
    return s;
}

// Stands in for the socket process when a driver is tested alone: records what the
// driver reports and keeps its self-posted messages for the test to run.
class FakeProc : public IQVSocketProc {
public:
    void OnAddrUpdate(u32, const QV_ADDR_S*, u32) override {}
    void OnSetSock(u32, i32 hSocket, u32 uFdMask, u32) override { fd = uFdMask ? hSocket : -1; }
    u32 OnData(u32 uDriv, const QV_ADDR_S* lpAddr, const QV_BUF_S* lpBuf, u32) override
    {
        data.push_back(std::string((const char*)lpBuf->buf + lpBuf->uOffset, lpBuf->uLen));
        from.push_back(*lpAddr);
        driv = uDriv;
        return 0;
    }
    u32 OnPostMessage(u32 uDriv, u32 uMsg, u32 p0, u32 p1) override
    {
        msgs.push_back({uDriv, uMsg, p0, p1});
        return 1;
    }
    void OnConnect(u32, const QV_ADDR_S*, u32) override {}
    void OnReport(u32, u32) override {}
    void OnActive(u32, const QV_ADDR_S*, const QV_ADDR_S*) override {}
    void OnInteract(u32, u32, void*, u32) override {}

    int fd = -1;
    u32 driv = 99;
    std::vector<std::string> data;
    std::vector<QV_ADDR_S> from;
    std::vector<std::vector<u32>> msgs;
};

QV_SOCK_DRIV_CFG_S DrivCfg()
{
    QV_SOCK_DRIV_CFG_S c = {0, 64, 1024, 0};
    return c;
}

std::string Msg(u8 code, const std::string& str, int lenOverride = -1)
{
    u8 buf[600];
    memset(buf, 0, sizeof(buf));
    buf[1] = code;
    u32 n = qvStrPush(buf + 4, sizeof(buf) - 4, str.c_str());
    if (lenOverride >= 0) {
        u32 be = htonl((u32)lenOverride);
        memcpy(buf + 4, &be, 4);
    }
    return std::string((const char*)buf, 4 + n);
}

struct LanFixture : public ::testing::Test {
    void SetUp() override
    {
        KV_LAB_REQUIRE();
        seg = lab.AddSegment("lan");
        host = lab.AddHost(seg, "h");
        other = lab.AddHost(seg, "o");
        // Peers known for good: other programs' LAN scans may fill the machine's neighbour table.
        ASSERT_TRUE(lab.PinNeighbours({host, other}));
    }
    kvlab::Lab lab;
    kvlab::Segment seg;
    kvlab::Host host, other;
};

}  // namespace

TEST_F(LanFixture, PortsFallBackAndTheFourthFails)
{
    kvlab::NetnsGuard ns(host.ns);
    ASSERT_TRUE(ns.Ok());
    CQVSockDrivLAN d[4];
    FakeProc p[4];
    QV_SOCK_DRIV_CFG_S cfg = DrivCfg();
    for (u32 i = 0; i < 4; i++)
        ASSERT_EQ(1u, d[i].Initialize(nullptr, &p[i], &cfg));
    // Without the private switch a driver restart opens nothing.
    EXPECT_EQ(1u, d[0].Enable(1));
    EXPECT_EQ(0u, d[0].GetPort());
    for (u32 i = 0; i < 3; i++) {
        EXPECT_EQ(1u, d[i].PrivEnable(1, 0, "peer", "grp"));
        EXPECT_EQ(7654u + i, d[i].GetPort());
    }
    EXPECT_EQ(0u, d[3].PrivEnable(1, 0, "peer", "grp"));
    EXPECT_EQ(-1, p[3].fd);
    // A restart of a privately enabled driver that finds every port taken reports failure,
    // so that the socket process retries it.
    EXPECT_EQ(1u, d[0].Enable(0));
    EXPECT_EQ(0u, d[0].GetPort());
    int squatter = kvlab::UdpOpen(host.ns, "", 7654);
    ASSERT_GE(squatter, 0);
    EXPECT_EQ(0u, d[0].Enable(1));
    close(squatter);
    EXPECT_EQ(1u, d[0].Enable(1));
    EXPECT_EQ(7654u, d[0].GetPort());
    // A restart of a privately enabled driver that cannot bind reports failure.
    d[3].Clean();
    d[0].PrivEnable(0, 0, nullptr, nullptr);
    EXPECT_EQ(1u, d[3].Initialize(nullptr, &p[3], &cfg));
    EXPECT_EQ(1u, d[3].PrivEnable(1, 0, "peer", ""));
    EXPECT_EQ(7654u, d[3].GetPort());
    for (u32 i = 0; i < 4; i++)
        d[i].Clean();
}

TEST_F(LanFixture, DiscoveryAnswersByLabelAndRefusesHostileMessages)
{
    kvlab::NetnsGuard ns(host.ns);
    ASSERT_TRUE(ns.Ok());
    CQVSockDrivLAN d;
    FakeProc p;
    QV_SOCK_DRIV_CFG_S cfg = DrivCfg();
    ASSERT_EQ(1u, d.Initialize(nullptr, &p, &cfg));
    ASSERT_EQ(1u, d.PrivEnable(1, 0, "me", "grp"));
    EXPECT_EQ(0u, d.PrivEnable(1, 0, std::string(128, 'x').c_str(), "grp")) << "ID too long for a record";
    int raw = kvlab::UdpOpen(other.ns, other.ip4, 0);
    ASSERT_GE(raw, 0);

    struct {
        const char* name;
        std::string msg;
        bool answered;
    } reqs[] = {
        {"same label", Msg(0x80, "grp"), true},
        {"empty label", Msg(0x80, ""), true},
        {"other label", Msg(0x80, "B"), false},
        {"seven bytes", Msg(0x80, "grp").substr(0, 7), false},
        {"string length past the datagram", Msg(0x80, "grp", 1000), false},
        {"string without its zero", Msg(0x80, "grp", 3), false},
    };
    for (auto& r : reqs) {
        ASSERT_TRUE(kvlab::UdpSend(raw, host.ip4, 7654, r.msg));
        ASSERT_TRUE(PumpReads(d, p, 1)) << r.name;
        // An answer is sent while the request is read: a short quiet spell proves there is
        // none, and the answered requests all come before the others.
        std::string got;
        bool answered = kvlab::UdpRecv(raw, r.answered ? 10000 : 100, &got);
        EXPECT_EQ(r.answered, answered) << r.name;
        if (answered) {
            EXPECT_EQ(Msg(0x81, "me"), got) << r.name;
        }
    }

    struct {
        const char* name;
        std::string msg;
    } bad[] = {
        {"seven bytes", Msg(0x81, "peerX").substr(0, 7)},
        {"ID longer than a record", Msg(0x81, std::string(200, 'y'))},
        {"ID of 128 characters", Msg(0x81, std::string(128, 'y'))},
        {"length past the datagram", Msg(0x81, "peerX", 4000)},
        {"unknown code", Msg(0x85, "peerX")},
    };
    for (auto& b : bad) {
        ASSERT_TRUE(kvlab::UdpSend(raw, host.ip4, 7654, b.msg));
        ASSERT_TRUE(PumpReads(d, p, 1)) << b.name;
        EXPECT_EQ(0u, d.PrivScanGetResult(nullptr, 0)) << b.name;
    }
    ASSERT_TRUE(kvlab::UdpSend(raw, host.ip4, 7654, Msg(0x81, std::string(127, 'z'))));
    ASSERT_TRUE(PumpReads(d, p, 1));
    QV_SKT_LAN_PEER_S res[4];
    ASSERT_EQ(1u, d.PrivScanGetResult(res, 4));
    EXPECT_EQ(std::string(127, 'z'), res[0].szPeerID);
    EXPECT_EQ(other.ip4, Ip(res[0].Addr));
    EXPECT_EQ(1u, d.PrivIsAddrExist(&res[0].Addr));

    // Datagrams below 0x80 are socket packets for the process; under 4 bytes they are dropped.
    ASSERT_TRUE(kvlab::UdpSend(raw, host.ip4, 7654, std::string("\x00\x05\x00", 3)));
    ASSERT_TRUE(kvlab::UdpSend(raw, host.ip4, 7654, std::string("\x00\x05\x00\x07", 4)));
    ASSERT_TRUE(PumpReads(d, p, 2));
    ASSERT_EQ(1u, p.data.size());
    EXPECT_EQ(std::string("\x00\x05\x00\x07", 4), p.data[0]);
    EXPECT_EQ(3u, p.driv);
    close(raw);
    d.Clean();
}

TEST_F(LanFixture, LongestLabelThatFitsAScanRequest)
{
    kvlab::NetnsGuard ns(host.ns);
    ASSERT_TRUE(ns.Ok());
    CQVSockDrivLAN d;
    FakeProc p;
    QV_SOCK_DRIV_CFG_S cfg = DrivCfg();
    ASSERT_EQ(1u, d.Initialize(nullptr, &p, &cfg));
    // A scan request carries at most 252 bytes of string: 247 characters with the NUL and
    // the length word; a longer label could never be sent.
    EXPECT_EQ(0u, d.PrivEnable(1, 0, "me", std::string(248, 'L').c_str()));
    std::string label(247, 'L');
    ASSERT_EQ(1u, d.PrivEnable(1, 0, "me", label.c_str()));
    int rx = kvlab::UdpOpen(other.ns, "", 7654);
    ASSERT_GE(rx, 0);
    d.MessageProc(1, 0, 0);
    std::string got;
    ASSERT_TRUE(kvlab::UdpRecv(rx, 10000, &got));
    EXPECT_EQ(Msg(0x80, label), got);
    close(rx);
    d.Clean();
}

TEST_F(LanFixture, SwitchingTheIpVersionReopensTheSocket)
{
    kvlab::NetnsGuard ns(host.ns);
    ASSERT_TRUE(ns.Ok());
    int probe6 = socket(AF_INET6, SOCK_DGRAM, 0);
    if (probe6 < 0)
        GTEST_SKIP() << "no IPv6 here";
    close(probe6);
    CQVSockDrivLAN d;
    FakeProc p;
    QV_SOCK_DRIV_CFG_S cfg = DrivCfg();
    ASSERT_EQ(1u, d.Initialize(nullptr, &p, &cfg));
    auto Family = [&] {
        sockaddr_storage sa{};
        socklen_t len = sizeof(sa);
        return getsockname(p.fd, (sockaddr*)&sa, &len) == 0 ? (int)sa.ss_family : -1;
    };
    ASSERT_EQ(1u, d.PrivEnable(1, 0, "me", ""));
    EXPECT_EQ(AF_INET, Family());
    ASSERT_EQ(1u, d.PrivEnable(1, 1, "me", ""));
    EXPECT_EQ(AF_INET6, Family()) << "sends to IPv6 addresses need an IPv6 socket";
    ASSERT_EQ(1u, d.PrivEnable(1, 0, "me", ""));
    EXPECT_EQ(AF_INET, Family());
    d.Clean();
}

TEST_F(LanFixture, PeersAgeOut)
{
    kvlab::NetnsGuard ns(host.ns);
    ASSERT_TRUE(ns.Ok());
    CQVSockDrivLAN d;
    FakeProc p;
    QV_SOCK_DRIV_CFG_S cfg = DrivCfg();
    ASSERT_EQ(1u, d.Initialize(nullptr, &p, &cfg));
    ASSERT_EQ(1u, d.PrivEnable(1, 0, "me", ""));
    int raw = kvlab::UdpOpen(other.ns, other.ip4, 0);
    int raw2 = kvlab::UdpOpen(other.ns, other.ip4, 0);
    ASSERT_TRUE(kvlab::UdpSend(raw, host.ip4, 7654, Msg(0x81, "talked-to")));
    ASSERT_TRUE(kvlab::UdpSend(raw2, host.ip4, 7654, Msg(0x81, "quiet")));
    ASSERT_TRUE(PumpReads(d, p, 2));
    ASSERT_EQ(2u, d.PrivScanGetResult(nullptr, 0));
    QV_SKT_LAN_PEER_S res[2];
    d.PrivScanGetResult(res, 2);
    QV_ADDR_S talked = res[0].Addr;

    u8 pkt[68] = {};
    pkt[64 + 1] = 0x05;
    QV_BUF_S b{pkt, 64, sizeof(pkt), 4, 0};
    for (u32 i = 0; i < 175; i++)
        d.TimerProc(0);
    EXPECT_EQ(1u, d.PrivScanHasResult("quiet"));
    d.TimerProc(0);
    EXPECT_EQ(0u, d.PrivScanHasResult("quiet")) << "not heard for 176 ticks";
    // We keep sending to one peer that never answers: gone once the sends run 181 ticks ahead.
    for (u32 i = 0; i < 6; i++) {
        EXPECT_NE(0xFFFFFFFFu, d.Send(0, &talked, &b, nullptr, 0));
        d.TimerProc(0);
    }
    EXPECT_EQ(0u, d.PrivIsAddrExist(&talked));
    ASSERT_EQ(1u, d.PrivScanGetResult(res, 2));
    EXPECT_STREQ("quiet", res[0].szPeerID) << "neither sent to nor heard: kept";
    // A scan with an age drops it.
    d.MessageProc(1, 100, 0);
    EXPECT_EQ(0u, d.PrivScanGetResult(nullptr, 0));
    close(raw);
    close(raw2);
    d.Clean();
}

TEST_F(LanFixture, UnsolicitedScanRepliesKeepTheListBoundedAndPeersInUse)
{
    kvlab::NetnsGuard ns(host.ns);
    ASSERT_TRUE(ns.Ok());
    CQVSockDrivLAN d;
    FakeProc p;
    QV_SOCK_DRIV_CFG_S cfg = DrivCfg();
    ASSERT_EQ(1u, d.Initialize(nullptr, &p, &cfg));
    ASSERT_EQ(1u, d.PrivEnable(1, 0, "me", ""));
    int raw = kvlab::UdpOpen(other.ns, other.ip4, 0);
    int friendly = kvlab::UdpOpen(other.ns, other.ip4, 0);
    ASSERT_GE(raw, 0);
    ASSERT_GE(friendly, 0);
    // A peer we talk to before the flood.
    ASSERT_TRUE(kvlab::UdpSend(friendly, host.ip4, 7654, Msg(0x81, "friend")));
    ASSERT_TRUE(PumpReads(d, p, 1));
    QV_SKT_LAN_PEER_S res[1];
    ASSERT_EQ(1u, d.PrivScanGetResult(res, 1));
    QV_ADDR_S friendAddr = res[0].Addr;
    u8 pkt[68] = {};
    pkt[64 + 1] = 0x05;
    QV_BUF_S b{pkt, 64, sizeof(pkt), 4, 0};
    ASSERT_NE(0xFFFFFFFFu, d.Send(0, &friendAddr, &b, nullptr, 0));

    // Thousands of replies to no scan, each naming a new peer, sent in bursts the socket
    // buffer holds; the driver's handling of each is timed.
    const u32 kFlood = 12000, kBurst = 100;
    FloodCost cost;
    for (u32 i = 0; i < kFlood; i += kBurst) {
        for (u32 k = i; k < i + kBurst; k++)
            ASSERT_TRUE(kvlab::UdpSend(raw, host.ip4, 7654, Msg(0x81, "flood-" + std::to_string(k))));
        bool got = false;
        cost.Time([&] { got = PumpDrain(d, p); });
        ASSERT_TRUE(got) << "burst from datagram " << i;
        if (i % 2000 == 0)
            d.TimerProc(0);
    }
    EXPECT_LE(d.PeerCount(), QV_LAN_PEER_MAX);
    EXPECT_TRUE(cost.Bounded(1000 / kBurst)) << "first thousand " << cost.First(1000 / kBurst) << " ns, last "
                                             << cost.Last(1000 / kBurst) << " ns";
    EXPECT_EQ(1u, d.PrivIsAddrExist(&friendAddr)) << "a peer in use is never evicted by strangers";
    // A well-behaved peer still gets in.
    ASSERT_TRUE(kvlab::UdpSend(friendly, host.ip4, 7654, Msg(0x81, "newcomer")));
    ASSERT_TRUE(PumpReads(d, p, 1));
    EXPECT_EQ(1u, d.PrivScanHasResult("newcomer"));
    EXPECT_EQ(1u, d.PrivScanHasResult("friend"));
    close(raw);
    close(friendly);
    d.Clean();
}

namespace {

// A socket-process instance in a child: switches LAN on with its ID and label, scans until
// it has found the expected peers, then sends to each of them and prints what it gets.
class ChildSock : public IQVSockEvent {
public:
    void SockEventData(QV_ADDR_S& Addr, QV_BUF_S& Buf, u32, u32, u32 uDriv) override
    {
        std::string s((const char*)Buf.buf + Buf.uOffset + 2, Buf.uLen - 2);
        std::lock_guard<std::mutex> g(mu);
        if (seen.insert(s).second) {
            printf("GOT %s from %s:%u driver %u\n", s.c_str(), Ip(Addr).c_str(), Addr.uPort, uDriv);
            fflush(stdout);
        }
    }
    void SockEventConnect(u32, u32) override {}
    void SockEventReport(u32, u32) override {}
    void SockEventCnntAddr(u32, u32, u32, u32) override {}
    void SockEventDataPull() override {}
    void SocketProcThreadStatus(u32) override {}
    std::mutex mu;
    std::set<std::string> seen;
};

// True once the test has written to the pipe (nobody reads it, so every child sees it).
bool Stopped(int stopFd, int waitMs)
{
    pollfd pf{stopFd, POLLIN, 0};
    return poll(&pf, 1, waitMs) > 0;
}

// Scans and sends until the test, having seen what it waits for, writes to stopFd (or a
// deadline far beyond any normal run passed); then, with goFd, drives the ticks as below.
int RunPeer(const std::string& id, const std::string& label, const std::vector<std::string>& expect, int stopFd,
            int goFd)
{
    CQVSocketProc proc;
    ChildSock sock;
    proc.Attach(&sock);
    CQVSocketProc::CFG_S cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.uTableSize = 16;
    cfg.uSendQueSum = 1024;
    if (!proc.Initialize(nullptr, cfg))
        return 2;
    auto* lan = static_cast<IQVSocketLANPriv*>(proc.GetPrivate(3));
    if (!lan || !lan->Enable(1, 0, id.c_str(), label.c_str())) {
        printf("ENABLE failed\n");
        fflush(stdout);
        proc.Clean();
        return 3;
    }
    printf("ENABLED\n");
    fflush(stdout);
    std::vector<u32> handles;
    std::set<std::string> found;
    u32 start = GET_TIMESTAMP();
    while (found.size() < expect.size() && GET_TIMESTAMP() - start < 30000) {
        lan->ScanLaunch(0);
        if (Stopped(stopFd, 300))
            break;
        QV_SKT_LAN_PEER_S res[16];
        u32 n = lan->ScanGetResult(res, 16);
        for (u32 i = 0; i < n; i++) {
            std::string pid = res[i].szPeerID;
            if (found.count(pid))
                continue;
            found.insert(pid);
            printf("FOUND %s at %s:%u\n", pid.c_str(), Ip(res[i].Addr).c_str(), res[i].Addr.uPort);
            fflush(stdout);
            handles.push_back(proc.Add(res[i].Addr, 100 + i));
        }
    }
    std::string hello = std::string("\x00\x05", 2) + "hello from " + id;
    std::vector<u8> raw(64 + hello.size());
    memcpy(raw.data() + 64, hello.data(), hello.size());
    QV_BUF_S b{raw.data(), 64, (u32)raw.size(), (u32)hello.size(), 0};
    for (int round = 0; round < 300; round++) {
        for (u32 h : handles)
            proc.Send(h, b, 0, 0, nullptr);
        if (Stopped(stopFd, 100))
            break;
    }
    if (goFd >= 0) {
        // The others are gone now: keep sending to them while the ticks run, without waiting.
        char c;
        if (read(goFd, &c, 1) == 1) {
            for (u32 i = 0; i < 182; i++) {
                proc.TickRun(1);
                for (u32 h : handles)
                    proc.Send(h, b, 0, 0, nullptr);
            }
            printf("LEFT %u\n", lan->ScanGetResult(nullptr, 0));
            fflush(stdout);
        }
    }
    proc.Clean();
    return 0;
}

}  // namespace

TEST(LanMilestone, InstancesFindEachOtherByLabelAndCarryDatagrams)
{
    KV_LAB_REQUIRE();
    kvlab::Lab lab;
    auto seg = lab.AddSegment("lan");
    auto a = lab.AddHost(seg, "a");
    auto b = lab.AddHost(seg, "b");
    auto c = lab.AddHost(seg, "c");
    ASSERT_TRUE(lab.QuietScans({a, b, c}));  // all scan the LAN
    int go[2], stop[2];
    ASSERT_EQ(0, pipe(go));
    ASSERT_EQ(0, pipe(stop));
    auto Child = [&](const std::string& id, const std::string& label, const std::vector<std::string>& expect,
                     int goFd) {
        return [=] {
            close(go[1]);
            close(stop[1]);
            return RunPeer(id, label, expect, stop[0], goFd);
        };
    };
    auto pa1 = lab.RunIn(a, Child("A1", "grp", {"B1", "A2"}, -1));
    // Let A1 take 7654 first so that A2 falls back.
    ASSERT_TRUE(pa1.WaitOutput("ENABLED", 10000)) << pa1.Output();
    auto pa2 = lab.RunIn(a, Child("A2", "grp", {"B1", "A1"}, -1));
    auto pb = lab.RunIn(b, Child("B1", "grp", {"A1", "A2"}, go[0]));
    auto pc = lab.RunIn(c, Child("C1", "other", {"B1"}, -1));
    close(go[0]);
    close(stop[0]);

    EXPECT_TRUE(pb.WaitOutput("GOT hello from A1 from " + a.ip4 + ":7654 driver 3", 30000)) << pb.Output();
    EXPECT_TRUE(pb.WaitOutput("GOT hello from A2 from " + a.ip4 + ":7655 driver 3", 30000)) << pb.Output();
    EXPECT_TRUE(pa1.WaitOutput("GOT hello from B1", 30000)) << pa1.Output();
    EXPECT_TRUE(pa2.WaitOutput("GOT hello from B1", 30000)) << pa2.Output();
    EXPECT_TRUE(pa1.WaitOutput("GOT hello from A2", 30000)) << pa1.Output();
    // C1 uses another label: nobody in "grp" answers it, and nobody finds it.
    EXPECT_EQ(std::string::npos, pb.Output().find("FOUND C1"));
    EXPECT_EQ(std::string::npos, pc.Output().find("FOUND"));

    // A1 and A2 go silent; B1 drives its ticks and drops them.
    ASSERT_EQ(1, write(stop[1], "s", 1));
    close(stop[1]);
    int rc = -1;
    ASSERT_TRUE(pa1.Wait(15000, &rc));
    EXPECT_EQ(0, rc) << pa1.Output();
    ASSERT_TRUE(pa2.Wait(15000, &rc));
    EXPECT_EQ(0, rc) << pa2.Output();
    ASSERT_EQ(1, write(go[1], "g", 1));
    close(go[1]);
    EXPECT_TRUE(pb.WaitOutput("LEFT 0", 15000)) << pb.Output();
    EXPECT_TRUE(pb.Wait(10000));
    EXPECT_EQ(0, pb.ExitCode());
}
