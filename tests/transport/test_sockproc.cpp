// Socket process: configuration, descriptor table, byte-1 dispatch and hostile payloads,
// peer table and connection addresses, send path with the relay envelope, connect
// retries and back-off, keep-alive and driver reports. One socket process per test, in
// this process; long timers are driven tick by tick while the process thread is held.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "kvAddr4.h"
#include "../runtime/kvLogLines.h"
#include "kvLab.h"
#include "kvSocketProcProbe.h"
#include "qvSocketProc.h"
#include "qvTimer.h"

namespace {

struct Event {
    std::string kind;   // data, connect, report, cnnt, pull, thread
    u32 a = 0, b = 0, c = 0, d = 0;
    QV_ADDR_S addr{};
    std::string bytes;
};

class FakeSock : public IQVSockEvent {
public:
    void SockEventData(QV_ADDR_S& Addr, QV_BUF_S& Buf, u32 uSockID, u32 uCnntID, u32 uDrivType) override
    {
        Event e;
        e.kind = "data";
        e.addr = Addr;
        e.a = uSockID;
        e.b = uCnntID;
        e.c = uDrivType;
        e.bytes.assign((const char*)Buf.buf + Buf.uOffset, Buf.uLen);
        Push(e);
    }
    void SockEventConnect(u32 uSockID, u32 uAction) override { Push("connect", uSockID, uAction); }
    void SockEventReport(u32 uSockID, u32 uReport) override { Push("report", uSockID, uReport); }
    void SockEventCnntAddr(u32 uSockID, u32 uAdd, u32 uCnntID, u32 uValue) override
    {
        Push("cnnt", uSockID, uAdd, uCnntID, uValue);
    }
    void SockEventDataPull() override { Push("pull"); }
    void SocketProcThreadStatus(u32 uStatus) override
    {
        if (uStatus) {
            thread = pthread_self();
            haveThread = true;
        }
        Push("thread", uStatus);
    }

    void Push(const char* kind, u32 a = 0, u32 b = 0, u32 c = 0, u32 d = 0)
    {
        Event e;
        e.kind = kind;
        e.a = a;
        e.b = b;
        e.c = c;
        e.d = d;
        Push(e);
    }
    void Push(const Event& e)
    {
        std::lock_guard<std::mutex> g(mu);
        ev.push_back(e);
    }
    size_t Count(const std::string& kind)
    {
        std::lock_guard<std::mutex> g(mu);
        size_t n = 0;
        for (auto& e : ev)
            n += e.kind == kind;
        return n;
    }
    bool Has(const std::string& kind, u32 a, u32 b)
    {
        std::lock_guard<std::mutex> g(mu);
        for (auto& e : ev)
            if (e.kind == kind && e.a == a && e.b == b)
                return true;
        return false;
    }
    std::vector<Event> Of(const std::string& kind)
    {
        std::lock_guard<std::mutex> g(mu);
        std::vector<Event> v;
        for (auto& e : ev)
            if (e.kind == kind)
                v.push_back(e);
        return v;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> g(mu);
        ev.clear();
    }
    std::mutex mu;
    std::vector<Event> ev;
    // The process thread, as it announced itself.
    pthread_t thread{};
    std::atomic<bool> haveThread{false};
};

CQVSocketProc::CFG_S Cfg(u32 uTry = 0, u32 uSlots = 64, u32 uBackoff = 0)
{
    CQVSocketProc::CFG_S c;
    memset(&c, 0, sizeof(c));
    c.uTryTimeout = uTry;
    c.uTableSize = uSlots;
    c.uSendQueSum = 1024;
    c.uBackoff = uBackoff;
    return c;
}

// The socket process runs in a namespace of its own (its thread and sockets stay there),
// so that whatever it sends reaches nothing outside.
class SockProc : public ::testing::Test {
protected:
    void SetUp() override
    {
        KV_LAB_REQUIRE();
        host = lab.AddHost(lab.AddSegment("s"), "h");
    }
    void Start(CQVSocketProc::CFG_S c)
    {
        kvlab::NetnsGuard ns(host.ns);
        ASSERT_TRUE(ns.Ok());
        proc.Attach(&sock);
        ASSERT_EQ(1u, proc.Initialize(nullptr, c));
    }
    void TearDown() override
    {
        probe.Thaw();   // a failed assertion may leave the thread held
        proc.Clean();
    }
    u32 Deliver(const std::string& bytes, const QV_ADDR_S& from, u32 driv = 3, u32 offset = 0, u32 size = 0)
    {
        std::vector<u8> raw(offset + bytes.size() + 8);
        memcpy(raw.data() + offset, bytes.data(), bytes.size());
        QV_BUF_S b;
        memset(&b, 0, sizeof(b));
        b.buf = raw.data();
        b.uOffset = offset;
        b.uLen = (u32)bytes.size();
        b.uSize = size ? size : (u32)raw.size();
        return static_cast<IQVSocketProc&>(proc).OnData(driv, &from, &b, 0);
    }
    kvlab::Lab lab;
    kvlab::Host host;
    CQVSocketProc proc;
    FakeSock sock;
    CQVSocketProcProbe probe{proc};
};

std::string Envelope(const QV_ADDR_S& sender, const std::string& inner)
{
    std::string e(24, '\0');
    e[1] = 0x40;
    memcpy(&e[4], sender.uAddr, 16);
    e[20] = (char)(sender.uPort >> 8);
    e[21] = (char)sender.uPort;
    return e + inner;
}

}  // namespace

TEST(SockProcStatic, PeerHashBucketsRoundUp)
{
    struct { u32 slots, buckets; } cases[] = {{1, 256}, {4095, 256}, {4096, 256}, {4097, 512}, {8192, 512},
                                               {8193, 1024}, {65535, 4096}};
    for (auto& c : cases)
        EXPECT_EQ(c.buckets, CQVSocketProc::PeerHashBuckets(c.slots)) << c.slots;
}

TEST(SockProcStatic, ThroughPriority)
{
    struct { u32 code, prio; } cases[] = {{12, 1}, {13, 2}, {36, 2}, {4, 8}, {32, 8}, {5, 16}, {6, 17}, {7, 18},
                                          {8, 24}, {24, 32}, {16, 48}, {41, 48}, {0, 128}, {0xFFFF, 256}, {99, 1024}};
    for (auto& c : cases)
        EXPECT_EQ(c.prio, CQVSocketProc::GetThroughPrio(c.code)) << c.code;
}

TEST(SockProcStatic, RelayInfoPacksAtMostSevenAndCountsWhatItWrote)
{
    std::vector<QV_RELAY_INFO_S> list(9);
    for (u32 i = 0; i < list.size(); i++) {
        memset(&list[i], 0, sizeof(list[i]));
        list[i].uType = i + 1;
        snprintf(list[i].szAddr, sizeof(list[i].szAddr), "relay%u:80", i);
    }
    struct { u32 given, written; } cases[] = {{1, 1}, {7, 7}, {9, 7}};
    for (auto& c : cases) {
        u8 block[1024];
        memset(block, 0xAA, sizeof(block));
        u32 len = CQVSocketProc::BuildRelayInfo(block, sizeof(block), list.data(), c.given);
        u32 count;
        memcpy(&count, block, 4);
        EXPECT_EQ(c.written, count);
        EXPECT_EQ(4 + 136 * c.written, len);
        EXPECT_EQ(0, memcmp(block + 4, list.data(), 136 * c.written));
        for (u32 i = len; i < sizeof(block); i++)
            ASSERT_EQ(0, block[i]) << "byte " << i << " beyond the records";
    }
}

TEST_F(SockProc, TryTimeoutRule)
{
    Start(Cfg(4000));
    EXPECT_EQ(6u, proc.GetTryTimeout());
    EXPECT_EQ(2u, probe.DrivSelDef());
    u32 h = proc.Add(V4("203.0.113.9", 5000), 7);
    ASSERT_NE(0u, h);
    EXPECT_EQ(2u, probe.Peer(h)->uDrivSel);
    EXPECT_TRUE(probe.Peer(h)->uStatus & QV_PEER_STA_RELAY);
}

TEST_F(SockProc, TryTimeoutBelowThreeIsUnset)
{
    Start(Cfg(2));
    EXPECT_EQ(6u, proc.GetTryTimeout());
    EXPECT_EQ(0u, probe.DrivSelDef());
    proc.Clean();
    Start(Cfg(10));
    EXPECT_EQ(10u, proc.GetTryTimeout());
}

// The UDP over IPv6 driver is not in this build: it is tried once, not retried (and logged)
// on every tick, also not after every other driver was dropped and came back.
TEST_F(SockProc, AbsentDriverIsTriedOnce)
{
    CLogLines& log = LogLines();
    const char* kTry = "SockDrivUDP6: Enable, not available";
    u32 before = log.Count(kTry);
    Start(Cfg());
    probe.Freeze();
    EXPECT_EQ(before + 1, log.Count(kTry));
    probe.Tick(5);
    static_cast<IQVSocketProc&>(proc).OnReport(QV_SOCK_DRIV_NONE, 1);
    probe.Tick(5);
    EXPECT_EQ(1u, probe.DrivState(QV_SOCK_DRIV_UDP4) & 1) << "the dropped drivers came back";
    EXPECT_EQ(before + 1, log.Count(kTry));
    probe.Thaw();
}

TEST_F(SockProc, DescriptorTableHoldsSixtyFourAndKeepsOrder)
{
    Start(Cfg());
    // Driver index 5 is no driver: the thread watches the descriptors but never calls one.
    std::vector<int> fds;
    IQVSocketProc& cb = proc;
    u32 base = probe.FdUsed();
    while (probe.FdUsed() < QV_SOCKPROC_FD_MAX) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        cb.OnSetSock(5, fd, 1, 0);
    }
    int extra = socket(AF_INET, SOCK_DGRAM, 0);
    cb.OnSetSock(5, extra, 1, 0);
    EXPECT_EQ(QV_SOCKPROC_FD_MAX, probe.FdUsed());
    for (u32 i = 0; i < probe.FdUsed(); i++)
        EXPECT_NE(extra, probe.Fd(i));
    cb.OnSetSock(5, fds[1], 0, 0);
    ASSERT_EQ(QV_SOCKPROC_FD_MAX - 1, probe.FdUsed());
    EXPECT_EQ(fds[0], probe.Fd(base));
    EXPECT_EQ(fds[2], probe.Fd(base + 1));
    for (int fd : fds)
        cb.OnSetSock(5, fd, 0, 0);
    for (int fd : fds)
        close(fd);
    close(extra);
}

TEST_F(SockProc, HostilePayloadsAreDroppedBeforeByteOne)
{
    Start(Cfg());
    QV_ADDR_S from = V4("10.9.0.2", 7654);
    QV_ADDR_S inner = V4("198.51.100.7", 4321);
    struct {
        const char* name;
        std::string bytes;
        u32 offset, size;
    } drop[] = {
        {"empty", std::string(), 0, 0},
        {"one byte", std::string(1, '\0'), 0, 0},
        {"driver private", std::string("\x00\x80\x00\x00", 4), 0, 0},
        {"envelope cut", Envelope(inner, "").substr(0, 23), 0, 0},
        {"envelope alone", Envelope(inner, ""), 0, 0},
        {"envelope, inner 1 byte", Envelope(inner, std::string(1, '\0')), 0, 0},
        {"length past buffer", std::string("\x00\x05\x00\x00", 4), 8, 10},
        {"connect control", std::string("\x00\x42\x00\x00", 4), 0, 0},
        {"connect control enveloped", Envelope(inner, std::string("\x00\x42\x00\x00", 4)), 0, 0},
    };
    for (auto& c : drop)
        Deliver(c.bytes, from, 3, c.offset, c.size);
    EXPECT_EQ(0u, sock.Count("data"));

    Deliver(Envelope(inner, std::string("\x00\x05", 2)), from);
    Deliver(std::string("\x00\x05\x01\x02", 4), from, 0, 100);
    auto ev = sock.Of("data");
    ASSERT_EQ(2u, ev.size());
    // The envelope's address becomes the sender, the payload starts after it.
    EXPECT_EQ(inner.uAddr[3], ev[0].addr.uAddr[3]);
    EXPECT_EQ(inner.uPort, ev[0].addr.uPort);
    EXPECT_EQ(std::string("\x00\x05", 2), ev[0].bytes);
    EXPECT_EQ(0u, ev[0].a);   // unknown peer: a new incoming socket
    EXPECT_EQ(from.uAddr[3], ev[1].addr.uAddr[3]);
    EXPECT_EQ(0u, ev[1].c);

    proc.SetNetEnable(0);
    Deliver(std::string("\x00\x05\x01\x02", 4), from);
    EXPECT_EQ(2u, sock.Count("data"));
}

TEST_F(SockProc, PeerTableHandlesAndOptions)
{
    Start(Cfg(10, 4));
    QV_ADDR_S a = V4("203.0.113.1", 1000);
    u32 h = proc.Add(a, 11);
    ASSERT_NE(0u, h);
    EXPECT_EQ(h, proc.Add(a, 12)) << "same main address, same record";
    u32 id = 0;
    EXPECT_EQ(h, proc.Search(a, id));
    EXPECT_EQ(12u, id);
    QV_ADDR_S got;
    EXPECT_EQ(1u, proc.GetPeerAddr(h, &got));
    EXPECT_EQ(a.uAddr[3], got.uAddr[3]);

    EXPECT_EQ(0u, proc.SetPeerOption(h, 2, "1"));
    EXPECT_EQ(0u, proc.SetPeerOption(h, 0, "x1"));
    EXPECT_EQ(0u, proc.SetPeerOption(h, 0, "3")) << "no driver could carry such a peer";
    EXPECT_EQ(0u, probe.Peer(h)->uDrivSel);
    EXPECT_EQ(1u, proc.SetPeerOption(h, 1, "2"));
    EXPECT_EQ(2u, probe.Peer(h)->uMultiPath);
    EXPECT_EQ(1u, proc.SetPeerOption(h, 0, "1"));
    EXPECT_EQ(1u, probe.Peer(h)->uDrivSel);

    // A full table refuses, a freed slot gets a new cookie, the old handle is stale.
    std::vector<u32> hs;
    for (u32 i = 0; i < 3; i++)
        hs.push_back(proc.Add(V4("203.0.113.2", (u16)(2000 + i)), i));
    EXPECT_EQ(0u, proc.Add(V4("203.0.113.3", 1), 0));
    EXPECT_EQ(1u, proc.Delete(h));
    EXPECT_EQ(0u, proc.Delete(h));
    EXPECT_EQ(0u, proc.GetPeerAddr(h, &got));
    EXPECT_EQ(0u, proc.SetPeerParam(h, 1));
    u32 h2 = proc.Add(V4("203.0.113.3", 1), 0);
    ASSERT_NE(0u, h2);
    EXPECT_NE(h, h2);
    EXPECT_EQ(0u, proc.Search(a, id));
    EXPECT_EQ(0u, proc.SetPeerParam(0xFFFF0000u, 1)) << "index outside the table";
}

TEST_F(SockProc, ThirtySecondAddressRecyclesTheLongestSilent)
{
    Start(Cfg());
    probe.Freeze();
    u32 h = proc.Add(V4("203.0.113.1", 1000), 1);
    std::vector<CQVSocketProcProbe::ADDR*> a;
    for (u32 i = 0; i < 31; i++) {
        a.push_back(probe.AddWorking(h, V4("198.51.100.1", (u16)(3000 + i))));
        ASSERT_NE(nullptr, a.back());
        probe.Tick(1);
    }
    // Everyone heard now, except id 7 which was heard longest ago.
    for (auto* c : a)
        c->uRecvTick = probe.Now();
    u32 victim = 6;
    a[victim]->uRecvTick = probe.Now() - 40;
    u32 vid = a[victim]->uCnntID >> 16;
    auto* n = probe.AddWorking(h, V4("198.51.100.2", 1));
    ASSERT_NE(nullptr, n);
    EXPECT_EQ(vid, n->uCnntID >> 16);
    EXPECT_EQ(31u, probe.AddrCount(h));
    probe.Thaw();
    EXPECT_TRUE(kvlab::WaitUntil([&] { return sock.Has("cnnt", 1, 0); }, 10000)) << "removal reported";
}

TEST_F(SockProc, SortKeepsDirectFirstAndMoreRecentFirst)
{
    Start(Cfg());
    probe.Freeze();
    u32 h = proc.Add(V4("203.0.113.1", 1000), 1);
    auto* relayed = probe.AddWorking(h, V4("198.51.100.1", 1), 1);
    auto* older = probe.AddWorking(h, V4("198.51.100.2", 2));
    probe.Tick(2);
    auto* newer = probe.AddWorking(h, V4("198.51.100.3", 3));
    probe.Sort(h, older, 1);
    probe.Sort(h, newer, 1);
    std::vector<u32> want = {newer->uCnntID >> 16, older->uCnntID >> 16, relayed->uCnntID >> 16};
    EXPECT_EQ(want, probe.Ids(h));
    // A private address outranks a public one of the same kind.
    auto* lan = probe.AddWorking(h, V4("192.168.1.5", 4));
    lan->uRecvTick = probe.Now() - 5;
    probe.Sort(h, lan, 1);
    EXPECT_EQ(lan->uCnntID >> 16, probe.Ids(h)[0]);
    // Down: a working direct address moves behind the other direct ones.
    probe.Sort(h, lan, 0);
    EXPECT_EQ(lan->uCnntID >> 16, probe.Ids(h)[2]);
    // A dead address goes behind every working one, whichever way it is sorted.
    lan->Driv[0].uFlags = 0;
    probe.Sort(h, lan, 1);
    EXPECT_EQ(lan->uCnntID >> 16, probe.Ids(h).back());
    probe.Thaw();
}

TEST_F(SockProc, RelayedRetryIntervalsDoubleToTheCap)
{
    Start(Cfg(10, 64, 3));
    probe.Freeze();
    u32 h = proc.Add(V4("203.0.113.1", 1000), 1);
    probe.AddWorking(h, V4("203.0.113.1", 1000), 1);
    ASSERT_TRUE(probe.Peer(h)->uStatus & QV_PEER_STA_RELAYUDP);
    std::vector<u32> seen;
    for (u32 i = 0; i < 9; i++) {
        probe.Tick(probe.Peer(h)->uRelayIntv);
        EXPECT_EQ(0u, probe.ConnectPeer(h, 4, 0));
        seen.push_back(probe.Peer(h)->uRelayIntv);
    }
    std::vector<u32> want = {3, 6, 12, 24, 48, 96, 180, 180, 180};
    EXPECT_EQ(want, seen);
    // Asked again before the interval passed: nothing changes.
    EXPECT_EQ(0u, probe.ConnectPeer(h, 4, 0));
    EXPECT_EQ(180u, probe.Peer(h)->uRelayIntv);
    probe.Thaw();
}

TEST_F(SockProc, ConnectKickIsRateLimited)
{
    Start(Cfg());
    u32 h = proc.Add(V4("203.0.113.1", 1000), 1);
    u8 raw[64 + 8] = {};
    QV_BUF_S b{raw, 64, sizeof(raw), 8, 0};
    std::vector<u32> seen;
    // The kicks are wall-clock paced: the thread is held so that it touches no peer while
    // the test moves the kick time back, and a second send that came late (the machine was
    // busy) proves nothing and is repeated from a fresh kick time.
    probe.Freeze();
    for (u32 i = 0; i < 7; i++) {
        EXPECT_EQ(0xFFFFFFFFu, proc.Send(h, b, 0, 0, nullptr));
        u32 intv = probe.Peer(h)->uKickIntv;
        seen.push_back(intv);
        // Within the interval nothing changes.
        bool checked = false;
        for (int attempt = 0; attempt < 20 && !checked; attempt++) {
            u32 kick = GET_TIMESTAMP();
            probe.Peer(h)->uKickTime = kick;
            proc.Send(h, b, 0, 0, nullptr);
            if (GET_TIMESTAMP() - kick >= intv * 100) {
                probe.Peer(h)->uKickIntv = intv;
                continue;
            }
            EXPECT_EQ(kick, probe.Peer(h)->uKickTime);
            EXPECT_EQ(intv, probe.Peer(h)->uKickIntv);
            checked = true;
        }
        EXPECT_TRUE(checked) << "never within the interval";
        probe.Peer(h)->uKickTime -= intv * 100;
    }
    probe.Thaw();
    std::vector<u32> want = {1, 2, 4, 8, 16, 25, 25};
    EXPECT_EQ(want, seen);
}

TEST_F(SockProc, EnvelopeNeedsHeadRoomAndCarriesOwnMain)
{
    Start(Cfg());
    int rx = kvlab::UdpOpen(host.ns, "127.0.0.1", 0);
    ASSERT_GE(rx, 0);
    QV_ADDR_S peer = V4("127.0.0.1", kvlab::UdpPort(rx));

    probe.Freeze();
    u32 h = proc.Add(peer, 1);
    auto* c = probe.AddWorking(h, peer);
    ASSERT_NE(nullptr, c);
    u8 raw[100];
    memset(raw, 0, sizeof(raw));
    memcpy(raw + 64, "\x00\x05hello", 7);
    QV_BUF_S b{raw, 64, sizeof(raw), 7, 0};
    u32 used = 0;
    EXPECT_EQ(31u, proc.Send(h, b, 0, 0, &used));
    EXPECT_EQ(c->uCnntID, used);
    char got[200];
    ssize_t n = -1;
    ASSERT_TRUE(kvlab::WaitUntil([&] { return (n = recv(rx, got, sizeof(got), MSG_DONTWAIT)) > 0; }, 10000));
    ASSERT_EQ(31, n);
    EXPECT_EQ(0x40, (u8)got[1]);
    EXPECT_EQ(0, memcmp(got + 24, "\x00\x05hello", 7));

    // 20 bytes of head room cannot take the envelope.
    QV_BUF_S small{raw + 44, 20, sizeof(raw) - 44, 7, 0};
    EXPECT_EQ(0xFFFFFFFFu, proc.Send(h, small, 0, 0, nullptr));
    // A path whose local side is our main address needs no envelope.
    c->Driv[0].uFlags |= 0x4;
    EXPECT_EQ(7u, proc.Send(h, small, 0, 0, nullptr));
    ASSERT_TRUE(kvlab::WaitUntil([&] { return (n = recv(rx, got, sizeof(got), MSG_DONTWAIT)) > 0; }, 10000));
    EXPECT_EQ(7, n);
    probe.Thaw();
    close(rx);
}

// A send asked for one path goes on the path the peer's data last came on; the socket layer
// is told the path used, so that it counts the block in flight there.
TEST_F(SockProc, SendOnTheReceivePathNamesThatPath)
{
    Start(Cfg());
    int rx1 = kvlab::UdpOpen(host.ns, "127.0.0.1", 0), rx2 = kvlab::UdpOpen(host.ns, "127.0.0.1", 0);
    ASSERT_GE(rx1, 0);
    ASSERT_GE(rx2, 0);
    QV_ADDR_S a1 = V4("127.0.0.1", kvlab::UdpPort(rx1)), a2 = V4("127.0.0.1", kvlab::UdpPort(rx2));
    probe.Freeze();
    u32 h = proc.Add(a1, 1);
    auto* c1 = probe.AddWorking(h, a1);
    auto* c2 = probe.AddWorking(h, a2);
    ASSERT_TRUE(c1 && c2);
    probe.Peer(h)->uRecvPath = c2->uCnntID;
    u8 raw[100];
    memset(raw, 0, sizeof(raw));
    memcpy(raw + 64, "\x00\x05hello", 7);
    QV_BUF_S b{raw, 64, sizeof(raw), 7, 0};
    u32 used = 0;
    EXPECT_EQ(31u, proc.Send(h, b, c1->uCnntID, 0, &used));
    EXPECT_EQ(c2->uCnntID, used);
    probe.Thaw();
    char got[200];
    EXPECT_TRUE(kvlab::WaitUntil([&] { return recv(rx2, got, sizeof(got), MSG_DONTWAIT) > 0; }, 10000));
    close(rx1);
    close(rx2);
}

TEST_F(SockProc, KeepAliveSuspectsThenReconnects)
{
    struct { u32 tryTimeout, suspect, drop; } cases[] = {{10, 5, 10}, {0, 3, 6}};
    for (auto& c : cases) {
        Start(Cfg(c.tryTimeout));
        probe.Freeze();
        u32 h = proc.Add(V4("203.0.113.1", 1000), 1);
        probe.AddWorking(h, V4("203.0.113.1", 1000));
        EXPECT_EQ(1u, proc.Ctrl(h, 0, 0));
        probe.Tick(c.suspect - 1);
        proc.Ctrl(h, 0, 0);
        EXPECT_FALSE(probe.Peer(h)->uStatus & QV_PEER_STA_SILENT);
        probe.Tick(1);
        proc.Ctrl(h, 0, 0);
        EXPECT_TRUE(probe.Peer(h)->uStatus & QV_PEER_STA_SILENT);
        probe.Tick(c.drop - c.suspect - 1);
        proc.Ctrl(h, 0, 0);
        EXPECT_EQ(1u, probe.AddrCount(h));
        probe.Tick(1);
        proc.Ctrl(h, 0, 0);
        EXPECT_EQ(0u, probe.AddrCount(h));
        EXPECT_EQ(0u, probe.Peer(h)->uStatus & (QV_PEER_STA_PATHS | QV_PEER_STA_SILENT));
        // A path found again is timed afresh, not torn down by the next check.
        probe.AddWorking(h, V4("203.0.113.1", 1000));
        EXPECT_EQ(1u, proc.Ctrl(h, 0, 0));
        EXPECT_EQ(1u, probe.AddrCount(h));
        EXPECT_FALSE(probe.Peer(h)->uStatus & QV_PEER_STA_SILENT);
        probe.Thaw();
        proc.Clean();
    }
}

TEST_F(SockProc, DataFromAPeerAddsItsAddressAndEndsSilence)
{
    Start(Cfg());
    probe.Freeze();
    QV_ADDR_S a = V4("203.0.113.1", 1000);
    u32 h = proc.Add(a, 42);
    probe.Peer(h)->uStatus |= QV_PEER_STA_SILENT;
    probe.Peer(h)->uSilentTick = 3;
    Deliver(std::string("\x00\x05\x00\x00", 4), a, 0);
    EXPECT_EQ(1u, probe.AddrCount(h));
    EXPECT_EQ(0u, probe.Peer(h)->uStatus & QV_PEER_STA_SILENT);
    EXPECT_EQ(0u, probe.Peer(h)->uSilentTick);
    auto ev = sock.Of("data");
    ASSERT_EQ(1u, ev.size());
    EXPECT_EQ(42u, ev[0].a);
    EXPECT_EQ(probe.Peer(h)->Addrs.Head()->uCnntID, ev[0].b);
    // Over the LAN the peer is marked as seen there.
    Deliver(std::string("\x00\x05\x00\x00", 4), a, 3);
    u32 lan = 0;
    EXPECT_EQ(1u, proc.GetPeerInfo(h, &lan));
    EXPECT_EQ(1u, lan);
    probe.Thaw();
}

TEST_F(SockProc, DriverReportsReachTheSocketLayer)
{
    Start(Cfg());
    IQVSocketProc& cb = proc;
    probe.SetMainDriv(0);
    // Drivers report on the process thread: the test holds that thread while it reports.
    probe.Freeze();
    cb.OnReport(2, 1);
    EXPECT_EQ(0u, sock.Count("report")) << "TCP drop while UDP4 carries the main connection";
    cb.OnReport(0, 1);
    EXPECT_TRUE(sock.Has("report", 0, 2));
    sock.Clear();
    cb.OnReport(0, 2);
    cb.OnReport(0, 4);
    cb.OnReport(0, 6);
    cb.OnReport(0, 7);
    probe.Thaw();
    EXPECT_TRUE(sock.Has("report", 0, 6));
    EXPECT_TRUE(sock.Has("report", 0, 9));
    EXPECT_TRUE(sock.Has("report", 0, 11));
    EXPECT_EQ(3u, sock.Count("report"));
    // The dropped UDP4 driver comes back on a later tick.
    EXPECT_TRUE(kvlab::WaitUntil([&] { return probe.DrivState(0) & 1; }, 10000));
}

TEST_F(SockProc, DeadQueueDropsAndReEnablesDrivers)
{
    Start(Cfg());
    // Three keep-alives unanswered. The thread answers one posted by its own tick at any
    // moment, which puts the count back to zero: set it again until the queue went.
    EXPECT_TRUE(kvlab::WaitUntil([&] {
        probe.SetQueMiss(3);
        return !(probe.DrivState(0) & 1);
    }, 10000));
    EXPECT_TRUE(kvlab::WaitUntil([&] { return probe.DrivState(0) & 1; }, 10000));
    // The reopened queue carries messages again.
    EXPECT_EQ(1u, proc.Ctrl(0, 2, 0));
    EXPECT_TRUE(kvlab::WaitUntil([&] { return sock.Count("pull") > 0; }, 10000));
}

TEST_F(SockProc, UnknownMessageEndsTheThread)
{
    Start(Cfg());
    EXPECT_TRUE(kvlab::WaitUntil([&] { return sock.Has("thread", 1, 0); }, 10000));
    EXPECT_EQ(1u, proc.PostMessage(13, 0, 0, 0));
    EXPECT_TRUE(kvlab::WaitUntil([&] { return sock.Has("thread", 0, 0); }, 10000));
}

TEST_F(SockProc, ThroughCodesOfWorkingPaths)
{
    Start(Cfg());
    probe.Freeze();
    QV_ADDR_S main = V4("203.0.113.1", 1000);
    u32 h = proc.Add(main, 1);
    struct {
        const char* name;
        QV_ADDR_S addr;
        u32 relayed, code;
    } cases[] = {
        {"private IPv4", V4("192.168.7.7", 5), 0, 12},
        {"direct at the main address", main, 0, 7},
        {"direct elsewhere", V4("203.0.113.1", 1001), 0, 8},
        {"relayed", V4("198.51.100.9", 6), 1, 16},
    };
    for (auto& c : cases) {
        auto* a = probe.AddWorking(h, c.addr, c.relayed);
        probe.CheckThrough(h, c.addr);
        EXPECT_EQ(c.code, a->uThrough) << c.name;
    }
    EXPECT_EQ(12u, probe.Peer(h)->uThrough) << "the best code of all paths";
    // A path that does not work gets no code.
    QV_ADDR_S dead = V4("198.51.100.10", 7);
    auto* d = probe.AddTrying(h, dead);
    probe.CheckThrough(h, dead);
    EXPECT_EQ(0u, d->uThrough);

    QV_SOCK_CNNT_ADDR_S out[8];
    EXPECT_EQ(5u, proc.GetPeerCnntAddr(h, out, 8));
    EXPECT_EQ(2u, proc.GetPeerCnntAddr(h, out, 2));
    u32 type = 0;
    QV_ADDR_S peer, remote;
    EXPECT_EQ(1u, proc.GetPeerAddrInfo(h, &type, nullptr, &peer, nullptr, &remote, nullptr, nullptr));
    EXPECT_EQ(main.uAddr[3], peer.uAddr[3]);
    EXPECT_EQ(12u, type);
    probe.Thaw();
}

TEST_F(SockProc, AddressesAgeOut)
{
    Start(Cfg());
    probe.Freeze();
    u32 h = proc.Add(V4("203.0.113.1", 1000), 1);
    auto* keep = probe.AddWorking(h, V4("203.0.113.1", 1000));
    auto* stale = probe.AddWorking(h, V4("198.51.100.1", 2));
    auto* trying = probe.AddTrying(h, V4("198.51.100.2", 3));
    probe.Tick(30);
    keep->uRecvTick = keep->uSendTick = probe.Now();
    stale->uSendTick = probe.Now() - 6;   // sent 5..9 ticks ago, heard more than 25 ago
    u32 idStale = stale->uCnntID, idTrying = trying->uCnntID;
    EXPECT_EQ(1u, probe.AddrCheck(h, 1)) << "the last working address in list order went";
    ASSERT_EQ(1u, probe.AddrCount(h));
    EXPECT_EQ(keep->uCnntID, probe.Peer(h)->Addrs.Head()->uCnntID);
    probe.Thaw();
    EXPECT_TRUE(kvlab::WaitUntil([&] { return sock.Has("cnnt", 1, 0) && sock.Count("cnnt") >= 2; }, 10000));
    bool sawStale = false, sawTrying = false;
    for (auto& e : sock.Of("cnnt")) {
        sawStale |= e.c == idStale;
        sawTrying |= e.c == idTrying;
    }
    EXPECT_TRUE(sawStale && sawTrying) << "both removals reported";
}

TEST_F(SockProc, MultipathFollowsTheSocketLayer)
{
    Start(Cfg());
    probe.Freeze();
    u32 h = proc.Add(V4("203.0.113.1", 1000), 1);
    ASSERT_EQ(1u, proc.SetPeerOption(h, 1, "1"));
    probe.AddWorking(h, V4("203.0.113.1", 1000), 0, 1);
    u8 raw[64 + 4] = {};
    raw[65] = 5;
    QV_BUF_S b{raw, 64, sizeof(raw), 4, 0};
    proc.Send(h, b, 0, 1, nullptr);
    EXPECT_TRUE(probe.Peer(h)->uStatus & QV_PEER_STA_MPREQ);
    probe.Tick(9);
    probe.MultiPath(h);
    EXPECT_FALSE(probe.Peer(h)->uStatus & QV_PEER_STA_MPON);
    probe.Tick(1);
    probe.MultiPath(h);
    EXPECT_TRUE(probe.Peer(h)->uStatus & QV_PEER_STA_MPON);
    proc.Send(h, b, 0, 0, nullptr);
    EXPECT_FALSE(probe.Peer(h)->uStatus & QV_PEER_STA_MPREQ);
    probe.Tick(10);
    probe.MultiPath(h);
    EXPECT_FALSE(probe.Peer(h)->uStatus & QV_PEER_STA_MPON);
    probe.Thaw();
}

TEST_F(SockProc, DriverAddressesFollowTheDrivers)
{
    Start(Cfg());
    QV_ADDR_S own = V4(host.ip4.c_str(), 0);
    own.uPort = (u16)probe.Udp4Port();
    // The UDP4 driver loads its local addresses on the process thread after enabling.
    EXPECT_TRUE(kvlab::WaitUntil([&] { return proc.CheckDrivAddr(&own) == 1; }, 10000));
    // Held from here: the driver reloads its addresses from the thread now and then, which
    // would bring back the one the test removes.
    probe.Freeze();
    static_cast<IQVSocketProc&>(proc).OnAddrUpdate(0, &own, 0);
    EXPECT_EQ(0u, proc.CheckDrivAddr(&own));
    QV_ADDR_S learned = V4("198.51.100.77", 4000);
    static_cast<IQVSocketProc&>(proc).OnAddrUpdate(0, &learned, 3);
    EXPECT_EQ(1u, proc.CheckDrivAddr(&learned));
    static_cast<IQVSocketProc&>(proc).OnAddrUpdate(9, &learned, 0);
    EXPECT_EQ(1u, proc.CheckDrivAddr(&learned)) << "no such driver";
    probe.Thaw();
}

TEST_F(SockProc, LanRescanMessageReopensAndScans)
{
    // The scan also tries every address of the /24 by unicast, and each takes an entry in the
    // neighbour table all namespaces of the machine share, held for seconds by unanswered ARP:
    // here an unknown neighbour fails at once, without ARP, so that its entry can be reclaimed.
    ASSERT_TRUE(lab.QuietUnknownNeighbours(host));
    Start(Cfg());
    auto* lan = static_cast<IQVSocketLANPriv*>(proc.GetPrivate(3));
    ASSERT_NE(nullptr, lan);
    EXPECT_EQ(0u, lan->ScanLaunch(0)) << "not switched on yet";
    {
        kvlab::NetnsGuard ns(host.ns);
        ASSERT_EQ(1u, lan->Enable(1, 0, "me", "grp"));
    }
    // A listener on the next LAN port of the same host hears the scan.
    int rx = kvlab::UdpOpen(host.ns, "", 7655);
    ASSERT_GE(rx, 0);
    u32 fds = probe.FdUsed();
    EXPECT_EQ(1u, proc.PostMessage(128, 0, 0, 0));
    std::string got;
    ASSERT_TRUE(kvlab::UdpRecv(rx, 10000, &got));
    ASSERT_GE(got.size(), 8u);
    EXPECT_EQ(0x80, (u8)got[1]);
    EXPECT_EQ(std::string("grp", 3), got.substr(8, 3));
    EXPECT_EQ(fds, probe.FdUsed()) << "the reopened socket replaces the old one";
    close(rx);
}

TEST_F(SockProc, LostDirectPathLeavesTheRelayedOneAndKeepsConnecting)
{
    Start(Cfg());
    probe.Freeze();
    QV_ADDR_S main = V4("203.0.113.1", 1000);
    u32 h = proc.Add(main, 1);
    probe.AddWorking(h, main);
    probe.AddWorking(h, V4("198.51.100.1", 2), 1);
    ASSERT_EQ(QV_PEER_STA_UDP4 | QV_PEER_STA_RELAYUDP, probe.Peer(h)->uStatus & QV_PEER_STA_PATHS);
    // UDP over IPv4 loses its link to the main address; the relayed address still works
    // over the same driver.
    static_cast<IQVSocketProc&>(proc).OnConnect(0, &main, 0);
    EXPECT_EQ(QV_PEER_STA_RELAYUDP, probe.Peer(h)->uStatus & QV_PEER_STA_PATHS);
    EXPECT_TRUE(probe.OnCnnt(h)) << "the peer goes on asking for a direct path";
    probe.Thaw();
}

TEST_F(SockProc, MainConnectMessageReportsTheConnect)
{
    Start(Cfg());
    EXPECT_EQ(1u, proc.PostMessage(4, 9, 1, 0));
    EXPECT_TRUE(kvlab::WaitUntil([&] { return sock.Has("connect", 9, 1); }, 10000));
}

TEST_F(SockProc, ServerModeIgnoresReportsAndRestartsTheForwardCountEachTick)
{
    CQVSocketProc::CFG_S c = Cfg();
    c.uSide = 1;
    Start(c);
    probe.Freeze();
    IQVSocketProc& cb = proc;
    cb.OnReport(0, 1);
    cb.OnReport(0, 4);
    EXPECT_TRUE(probe.DrivState(0) & 1) << "the report dropped nothing";
    u32 add = 300, got = 0;
    cb.OnInteract(0, 0, &add, 4);
    cb.OnInteract(0, 0, &add, 4);
    cb.OnInteract(0, 1, &got, 4);
    EXPECT_EQ(600u, got);
    probe.Tick(1);
    cb.OnInteract(0, 1, &got, 4);
    EXPECT_EQ(0u, got);
    probe.Thaw();
    EXPECT_EQ(0u, sock.Count("report"));
}

namespace {
void NoOp(int) {}
}  // namespace

TEST_F(SockProc, SignalsToTheThreadDoNotAddTicks)
{
    struct sigaction sa, old;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = NoOp;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(0, sigaction(SIGUSR2, &sa, &old));
    Start(Cfg());
    ASSERT_TRUE(kvlab::WaitUntil([&] { return sock.haveThread.load(); }, 10000));
    // Every signal makes the wait fail; the tick must still come once a second only.
    u32 t0 = proc.GetTick(), start = GET_TIMESTAMP();
    while (GET_TIMESTAMP() - start < 1500) {
        pthread_kill(sock.thread, SIGUSR2);
        usleep(20 * 1000);
    }
    u32 ticks = proc.GetTick() - t0, seconds = (GET_TIMESTAMP() - start) / 1000;
    proc.Clean();
    sigaction(SIGUSR2, &old, nullptr);
    EXPECT_LE(ticks, seconds + 2);
}

TEST_F(SockProc, DriverAddressEnumerationEndsOnceThenStartsOver)
{
    Start(Cfg());
    probe.Freeze();
    u32 h = proc.Add(V4("203.0.113.1", 1000), 1);
    IQVSocketProc& cb = proc;
    QV_ADDR_S x = V4("198.51.100.70", 1), y = V4("198.51.100.71", 2);
    cb.OnAddrUpdate(0, &x, 3);
    cb.OnAddrUpdate(0, &y, 3);
    auto Round = [&] {
        std::vector<u32> ips;
        for (QV_ADDR_S a = probe.EnumNext(h); a.uAddr[3] || a.uPort; a = probe.EnumNext(h))
            ips.push_back(a.uAddr[3]);
        return ips;
    };
    std::vector<u32> first = Round();
    ASSERT_GE(first.size(), 2u);
    EXPECT_EQ(y.uAddr[3], first.back()) << "newest last";
    EXPECT_EQ(first, Round()) << "after the end the next round starts at the first";
    // A cursor naming an address that went away starts over at the first.
    while (probe.EnumNext(h).uAddr[3] != x.uAddr[3]) {
    }
    cb.OnAddrUpdate(0, &x, 0);
    EXPECT_EQ(first[0] == x.uAddr[3] ? first[1] : first[0], probe.EnumNext(h).uAddr[3]);
    probe.Thaw();
}
