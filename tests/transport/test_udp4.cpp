// UDP over IPv4 driver core: control message minimum lengths and hostile datagrams, the
// 0x80 tunnel header, sessions carrying datagrams both ways between two hosts, the session
// sweep, parameters, local port choice and the server error rate limit. The drivers run in
// namespaces the lab makes; the test plays the socket process.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "kvAddr4.h"
#include "kvDrivPump.h"
#include "kvFlood.h"
#include "kvLab.h"
#include "qvSockDrivUDP4.h"
#include "qvTimer.h"

class CQVSockDrivUDP4Probe {
public:
    explicit CQVSockDrivUDP4Probe(CQVSockDrivUDP4& d) : D(d) {}
    CQVSockDrivUDP4& D;
    u32 Nat64Count() { return D.m_uNat64Count; }
    bool Nat64Open() { return D.m_Sock[1].IsOpened(); }
    void OnlyLocal(const QV_ADDR_S& a)
    {
        memset(D.m_Local, 0, sizeof(D.m_Local));
        D.m_Local[0].uValid = 1;
        D.m_Local[0].Addr = a;
    }
    void Lock() { D.m_Sect.Lock(); }
    void Unlock() { D.m_Sect.Unlock(); }
    QV_UDP4_SESS_S* Sess(const QV_ADDR_S& a)
    {
        QV_UDP4_ADDR_S k{a.uAddr[3], a.uPort, 0};
        return D.SessSearch(&k);
    }
};

namespace {

class FakeProc : public IQVSocketProc {
public:
    void OnAddrUpdate(u32, const QV_ADDR_S* lpAddr, u32 uFlags) override
    {
        updates.push_back(*lpAddr);
        updateFlags.push_back(uFlags);
    }
    std::vector<QV_ADDR_S> updates;
    std::vector<u32> updateFlags;
    void OnSetSock(u32, i32 hSocket, u32 uFdMask, u32 uPriv) override
    {
        if (uFdMask && uPriv == 0)
            fd = hSocket;
        else if (!uFdMask && hSocket == fd)
            fd = -1;
    }
    u32 OnData(u32, const QV_ADDR_S* lpAddr, const QV_BUF_S* lpBuf, u32) override
    {
        data.push_back(std::string((const char*)lpBuf->buf + lpBuf->uOffset, lpBuf->uLen));
        from.push_back(*lpAddr);
        return 0;
    }
    // The millisecond timer posts from its own thread.
    u32 OnPostMessage(u32, u32 uMsg, u32, u32) override
    {
        std::lock_guard<std::mutex> g(mu);
        msgs.push_back(uMsg);
        return 1;
    }
    void OnConnect(u32, const QV_ADDR_S*, u32) override {}
    void OnReport(u32, u32) override {}
    void OnActive(u32, const QV_ADDR_S*, const QV_ADDR_S*) override {}
    void OnInteract(u32, u32, void*, u32) override {}
    u32 Posted(u32 m)
    {
        std::lock_guard<std::mutex> g(mu);
        u32 n = 0;
        for (u32 x : msgs)
            n += x == m;
        return n;
    }

    int fd = -1;
    std::vector<std::string> data;
    std::vector<QV_ADDR_S> from;
    std::vector<u32> msgs;
    std::mutex mu;
};

// Lets the driver read until cond holds (true) or the deadline passed (false).
template <typename Cond>
bool PumpUntil(CQVSockDrivUDP4& d, FakeProc& p, Cond cond, int timeoutMs = 10000)
{
    u32 until = GET_TIMESTAMP() + (u32)timeoutMs;
    while (!cond() && (s32)(until - GET_TIMESTAMP()) > 0) {
        pollfd pf{p.fd, POLLIN, 0};
        if (p.fd >= 0 && poll(&pf, 1, 20) > 0)
            d.SelectProc(p.fd, 1, 0, 0);
    }
    return cond();
}

u32 SendBytes(CQVSockDrivUDP4& d, const QV_ADDR_S& to, const std::string& s, u32 flags = 0)
{
    std::vector<u8> raw(64 + s.size());
    memcpy(raw.data() + 64, s.data(), s.size());
    QV_BUF_S b{raw.data(), 64, (u32)raw.size(), (u32)s.size(), 0};
    return d.Send(0, &to, &b, nullptr, flags);
}

struct Udp4 : public ::testing::Test {
    void SetUp() override
    {
        KV_LAB_REQUIRE();
        seg = lab.AddSegment("net");
        a = lab.AddHost(seg, "a");
        b = lab.AddHost(seg, "b");
        // Peers known for good: other programs' LAN scans may fill the machine's neighbour table.
        ASSERT_TRUE(lab.PinNeighbours({a, b}));
    }
    // Initialises and enables a driver inside host h, on port (0 = the driver's choice).
    bool Start(CQVSockDrivUDP4& d, FakeProc& p, const kvlab::Host& h, u16 port = 0, u32 side = 0)
    {
        kvlab::NetnsGuard ns(h.ns);
        if (!ns.Ok())
            return false;
        QV_SOCK_DRIV_CFG_S cfg = {side, 64, 1024, 0};
        if (!d.Initialize(nullptr, &p, &cfg))
            return false;
        QV_ADDR_S local = V4("0.0.0.0", port);
        d.SetLocalAddr(&local);
        return d.Enable(1) == 1;
    }
    kvlab::Lab lab;
    kvlab::Segment seg;
    kvlab::Host a, b;
};

std::string Tunnel(const QV_ADDR_S& inner, u8 flags, const std::string& payload)
{
    std::string h(12, '\0');
    h[1] = (char)0x80;
    h[2] = (char)flags;
    memcpy(&h[4], &inner.uAddr[3], 4);
    h[8] = (char)(inner.uPort >> 8);
    h[9] = (char)inner.uPort;
    return h + payload;
}

}  // namespace

TEST(Udp4Table, ControlMinimumLengths)
{
    struct { u32 type, min; } handled[] = {
        {0x80, 12}, {0x82, 44}, {0x84, 44}, {0x86, 44}, {0x89, 44}, {0x8a, 44}, {0x8b, 20}, {0x8c, 20},
        {0x8e, 12}, {0x90, 84}, {0x92, 84}, {0x93, 36}, {0x94, 36}, {0x95, 20}, {0x96, 20}, {0x97, 36},
        {0x98, 36}, {0xa1, 32}, {0xa2, 44}, {0xa4, 24}, {0xa5, 28}, {0xa6, 40}, {0xa7, 32}};
    for (auto& h : handled)
        EXPECT_EQ(h.min, qvUdp4CtlMinLen(h.type)) << std::hex << h.type;
    for (u32 t : {0x81u, 0x83u, 0x85u, 0x87u, 0x88u, 0x8du, 0x8fu, 0x91u, 0x99u, 0x9fu, 0xa0u, 0xa3u, 0xa8u, 0xffu})
        EXPECT_EQ(0u, qvUdp4CtlMinLen(t)) << std::hex << t;
}

TEST_F(Udp4, HostileDatagramsAndTheTunnelHeader)
{
    CQVSockDrivUDP4 d;
    FakeProc p;
    CQVSockDrivUDP4Probe probe(d);
    ASSERT_TRUE(Start(d, p, a, 9000));
    int raw = kvlab::UdpOpen(b.ns, b.ip4, 0);
    ASSERT_GE(raw, 0);
    u16 rawPort = kvlab::UdpPort(raw);
    QV_ADDR_S inner = V4("198.51.100.20", 4444);

    std::string drop[] = {
        std::string("\x00\x05\x00\x00", 4),            // under 5 bytes
        std::string("\x00\x8c\x00\x00\x00", 5),        // below the 0x8c minimum of 20
        Tunnel(inner, 0, "").substr(0, 11),            // cut tunnel header
        std::string("\x00\x99\x00\x00\x00\x00", 6),    // no such type
        std::string(44, '\0').replace(1, 1, "\x81"),   // loop request: only sent, never handled
    };
    for (auto& m : drop)
        ASSERT_TRUE(kvlab::UdpSend(raw, a.ip4, 9000, m));
    ASSERT_TRUE(PumpReads(d, p, 5));
    EXPECT_EQ(0u, p.data.size());

    ASSERT_TRUE(kvlab::UdpSend(raw, a.ip4, 9000, std::string("\x00\x05xyz", 5)));
    ASSERT_TRUE(kvlab::UdpSend(raw, a.ip4, 9000, Tunnel(inner, 0, std::string("\x00\x05in", 4))));
    ASSERT_TRUE(PumpReads(d, p, 2));
    ASSERT_EQ(2u, p.data.size());
    EXPECT_EQ(std::string("\x00\x05xyz", 5), p.data[0]);
    EXPECT_EQ(V4(b.ip4, rawPort).uAddr[3], p.from[0].uAddr[3]);
    EXPECT_EQ(rawPort, p.from[0].uPort);
    EXPECT_EQ(std::string("\x00\x05in", 4), p.data[1]);
    EXPECT_EQ(inner.uAddr[3], p.from[1].uAddr[3]) << "the inner address is the peer";
    EXPECT_EQ(inner.uPort, p.from[1].uPort);
    EXPECT_EQ(nullptr, probe.Sess(inner)) << "flag 0 makes no session";

    // Flag 1: the session of the inner address learns the outer address as its hole.
    ASSERT_TRUE(kvlab::UdpSend(raw, a.ip4, 9000, Tunnel(inner, 1, std::string("\x00\x05", 2))));
    ASSERT_TRUE(PumpReads(d, p, 1));
    QV_UDP4_SESS_S* s = probe.Sess(inner);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(V4(b.ip4, 0).uAddr[3], s->AddrHole.uIP);
    EXPECT_EQ(rawPort, s->AddrHole.usPort);
    close(raw);
    d.Clean();
}

TEST_F(Udp4, SessionsCarryDatagramsBothWays)
{
    CQVSockDrivUDP4 da, db;
    FakeProc pa, pb;
    ASSERT_TRUE(Start(da, pa, a));
    ASSERT_TRUE(Start(db, pb, b));
    u16 portA = (u16)da.GetLocalPort(), portB = (u16)db.GetLocalPort();
    ASSERT_NE(0, portA);
    ASSERT_NE(0, portB);
    QV_ADDR_S toB = V4(b.ip4, portB), toA = V4(a.ip4, portA);

    EXPECT_EQ(6u, SendBytes(da, toB, std::string("\x00\x05ping", 6)));
    // The session may send control messages of its own first: wait for the data itself.
    ASSERT_TRUE(PumpUntil(db, pb, [&] { return pb.data.size() >= 1; }));
    ASSERT_EQ(1u, pb.data.size());
    EXPECT_EQ(std::string("\x00\x05ping", 6), pb.data[0]);
    EXPECT_EQ(toA.uAddr[3], pb.from[0].uAddr[3]);
    EXPECT_EQ(portA, pb.from[0].uPort);
    EXPECT_EQ(1u, da.SessCount());
    EXPECT_EQ(0u, da.GetPeerInfo(0, &toB, nullptr, nullptr, nullptr, nullptr)) << "B not heard yet";

    EXPECT_EQ(6u, SendBytes(db, toA, std::string("\x00\x05pong", 6)));
    ASSERT_TRUE(PumpUntil(da, pa, [&] { return pa.data.size() >= 1; }));
    ASSERT_EQ(1u, pa.data.size());
    EXPECT_EQ(std::string("\x00\x05pong", 6), pa.data[0]);
    // A heard B: its session now goes through the learned path.
    QV_ADDR_S seen;
    EXPECT_EQ(1u, da.GetPeerInfo(0, &toB, nullptr, nullptr, &seen, nullptr));
    EXPECT_EQ(portB, seen.uPort);
    EXPECT_EQ(7u, SendBytes(da, toB, std::string("\x00\x05again", 7)));
    ASSERT_TRUE(PumpUntil(db, pb, [&] { return pb.data.size() >= 2; }));
    ASSERT_EQ(2u, pb.data.size());
    EXPECT_EQ(std::string("\x00\x05again", 7), pb.data[1]);

    // Direct sends (flag 1) make no session; a disabled driver cannot send.
    QV_ADDR_S other = V4(b.ip4, (u16)(portB + 1));
    EXPECT_EQ(4u, SendBytes(da, other, std::string("\x00\x05zz", 4), 1));
    EXPECT_EQ(1u, da.SessCount());
    EXPECT_EQ(0xFFFFFFFFu, SendBytes(da, V4("0.0.0.0", 1), std::string("\x00\x05zz", 4)));
    da.Enable(0);
    EXPECT_EQ(0xFFFFFFFFu, SendBytes(da, toB, std::string("\x00\x05zz", 4)));
    EXPECT_EQ(0u, da.SessCount()) << "disabling frees the sessions";
    da.Clean();
    db.Clean();
}

TEST_F(Udp4, TunnelHeaderFloodKeepsTheSessionsBounded)
{
    CQVSockDrivUDP4 d, e;
    FakeProc p, pe;
    ASSERT_TRUE(Start(d, p, a, 9000));
    ASSERT_TRUE(Start(e, pe, b));
    int raw = kvlab::UdpOpen(b.ns, b.ip4, 0);
    ASSERT_GE(raw, 0);
    // Every datagram asks for a session of a new inner address, which is only payload.
    const u32 kFlood = 12000, kBurst = 100;
    FloodCost cost;
    for (u32 i = 0; i < kFlood; i += kBurst) {
        for (u32 k = i; k < i + kBurst; k++) {
            QV_ADDR_S inner = V4("203.0.113.0", (u16)(1000 + k));
            inner.uAddr[3] = htonl(0xC6120000u + k);   // 198.18.x.y
            ASSERT_TRUE(kvlab::UdpSend(raw, a.ip4, 9000, Tunnel(inner, 1, std::string("\x00\x05", 2))));
        }
        bool got = false;
        cost.Time([&] { got = PumpUntil(d, p, [&] { return p.data.size() >= i + kBurst; }); });
        ASSERT_TRUE(got) << "burst from datagram " << i;
    }
    EXPECT_EQ(kFlood, (u32)p.data.size()) << "every payload still reaches the process";
    EXPECT_LE(d.SessCount(), 4096u);
    EXPECT_GE(d.SessEvicted(), kFlood - 4096);
    EXPECT_TRUE(cost.Bounded(1000 / kBurst)) << "first thousand " << cost.First(1000 / kBurst) << " ns, last "
                                             << cost.Last(1000 / kBurst) << " ns";
    // A well-behaved peer still gets through both ways.
    QV_ADDR_S toD = V4(a.ip4, 9000), toE = V4(b.ip4, (u16)e.GetLocalPort());
    EXPECT_EQ(6u, SendBytes(e, toD, std::string("\x00\x05ping", 6)));
    ASSERT_TRUE(PumpUntil(d, p, [&] { return p.data.size() > kFlood; }));
    EXPECT_EQ(std::string("\x00\x05ping", 6), p.data.back());
    EXPECT_EQ(6u, SendBytes(d, toE, std::string("\x00\x05pong", 6)));
    ASSERT_TRUE(PumpUntil(e, pe, [&] { return !pe.data.empty(); }));
    EXPECT_EQ(std::string("\x00\x05pong", 6), pe.data.back());
    close(raw);
    d.Clean();
    e.Clean();
}

TEST_F(Udp4, IdleSessionsAreSwept)
{
    CQVSockDrivUDP4 d;
    FakeProc p;
    ASSERT_TRUE(Start(d, p, a));
    SendBytes(d, V4(b.ip4, 9), std::string("\x00\x05zz", 4));
    ASSERT_EQ(1u, d.SessCount());
    for (u32 i = 0; i < 60; i++)
        d.TimerProc(0);
    EXPECT_EQ(1u, d.SessCount());
    d.TimerProc(0);
    EXPECT_EQ(0u, d.SessCount()) << "idle for 61 ticks";
    d.Clean();
}

TEST_F(Udp4, Parameters)
{
    CQVSockDrivUDP4 d;
    FakeProc p;
    CQVSockDrivUDP4Probe probe(d);
    ASSERT_TRUE(Start(d, p, a));
    kvlab::NetnsGuard ns(a.ns);
    u8 buf[4 + 12 * 6];
    memset(buf, 0, sizeof(buf));
    for (u32 i = 0; i < 6; i++) {
        u32 w[3] = {1, htonl(0x0064ff9b), 0};
        memcpy(buf + 4 + 12 * i, w, 12);
    }
    u32 six = 6, zero = 0;
    memcpy(buf, &six, 4);
    EXPECT_EQ(0u, d.SetParam(2, buf, 8));
    EXPECT_EQ(1u, d.SetParam(2, buf, sizeof(buf)));
    EXPECT_EQ(4u, probe.Nat64Count());
    EXPECT_TRUE(probe.Nat64Open());
    // A count larger than the records given reads only those present.
    EXPECT_EQ(1u, d.SetParam(2, buf, 16));
    EXPECT_EQ(1u, probe.Nat64Count());
    memcpy(buf, &zero, 4);
    EXPECT_EQ(1u, d.SetParam(2, buf, 16));
    EXPECT_EQ(0u, probe.Nat64Count());
    EXPECT_FALSE(probe.Nat64Open());
    u32 v = 1;
    for (u32 item : {1u, 4u, 8u})
        EXPECT_EQ(0u, d.SetParam(item, &v, 4)) << item;
    EXPECT_EQ(1u, d.SetParam(3, &v, 4));
    EXPECT_EQ(0u, d.SetParam(10, &v, 2));
    u32 size = 4;
    EXPECT_EQ(0u, d.GetParam(3, &v, &size));
    d.Clean();
}

TEST_F(Udp4, LocalPortChoice)
{
    CQVSockDrivUDP4 d1, d2, d3;
    FakeProc p1, p2, p3;
    ASSERT_TRUE(Start(d1, p1, a));
    EXPECT_GE(d1.GetLocalPort(), 32768u);
    EXPECT_LT(d1.GetLocalPort(), 32768u + 16384u + 32u);
    ASSERT_TRUE(Start(d2, p2, a, 12345));
    EXPECT_EQ(12345u, d2.GetLocalPort());
    EXPECT_FALSE(Start(d3, p3, a, 12345)) << "a configured port that is taken fails the enable";
    d1.Clean();
    d2.Clean();
    d3.Clean();
}

TEST_F(Udp4, ServerErrorsAreRateLimited)
{
    CQVSockDrivUDP4 d;
    FakeProc p;
    ASSERT_TRUE(Start(d, p, a));
    QV_ADDR_S server = V4(b.ip4, 7781);
    {
        kvlab::NetnsGuard ns(a.ns);
        ASSERT_EQ(1u, d.SetInitProxy(&server));
    }
    QV_ADDR_S elsewhere = V4(b.ip4, 7782);
    d.OnSocketError(0, 111, &elsewhere);
    d.OnSocketError(0, 101, &server);
    d.OnSocketError(0, 113, &server);
    EXPECT_EQ(0u, p.Posted(2)) << "no route, and this driver does not carry the main connection";
    u32 on = 1;
    ASSERT_EQ(1u, d.SetParam(10, &on, 4));
    d.OnSocketError(0, 101, &server);
    EXPECT_EQ(1u, p.Posted(2));
    for (u32 i = 0; i < 4; i++) {
        d.TimerProc(0);
        d.OnSocketError(0, 111, &server);
    }
    EXPECT_EQ(1u, p.Posted(2)) << "within 4 ticks of the last report";
    d.TimerProc(0);
    d.OnSocketError(0, 111, &server);
    EXPECT_EQ(2u, p.Posted(2));
    d.Clean();
}

TEST_F(Udp4, MilliSecondTimerPostsWhileEnabledAndStopsUnderTheDriverMutex)
{
    ASSERT_EQ(1u, qvTimerInit(0));
    CQVSockDrivUDP4 d;
    FakeProc p;
    CQVSockDrivUDP4Probe probe(d);
    ASSERT_TRUE(Start(d, p, a));
    ASSERT_EQ(1u, d.MilliSecTimerEnable(10));
    EXPECT_EQ(1u, d.MilliSecTimerEnable(10)) << "a second enable changes nothing";
    ASSERT_TRUE(kvlab::WaitUntil([&] { return p.Posted(4) >= 3; }, 10000));
    // The clients stop the timer with the driver mutex held: the timer's callback must not
    // need it, and nothing is posted once the stop returned.
    probe.Lock();
    d.MilliSecTimerDisable();
    probe.Unlock();
    u32 n = p.Posted(4);
    usleep(60 * 1000);
    EXPECT_EQ(n, p.Posted(4));
    // A disabled driver's timer posts nothing; Clean stops it. A callback that saw the
    // driver still enabled may post once more after Enable(0) returned, however late a busy
    // machine lets it run: wait for a quiet spell of ten timer periods first. A timer that
    // went on posting would never give one.
    ASSERT_EQ(1u, d.MilliSecTimerEnable(10));
    ASSERT_TRUE(kvlab::WaitUntil([&] { return p.Posted(4) > n; }, 10000)) << "the timer runs again";
    d.Enable(0);
    auto Quiet = [&] {
        u32 before = p.Posted(4);
        usleep(100 * 1000);
        return p.Posted(4) == before;
    };
    ASSERT_TRUE(kvlab::WaitUntil(Quiet, 5000));
    EXPECT_TRUE(Quiet());
    d.Clean();
    qvTimerClean();
}

TEST_F(Udp4, BareModeDropsEverything)
{
    CQVSockDrivUDP4 d;
    FakeProc p;
    ASSERT_TRUE(Start(d, p, a, 9001, 1));
    int raw = kvlab::UdpOpen(b.ns, b.ip4, 0);
    ASSERT_TRUE(kvlab::UdpSend(raw, a.ip4, 9001, std::string("\x00\x05xyz", 5)));
    ASSERT_TRUE(kvlab::UdpSend(raw, a.ip4, 9001, Tunnel(V4("1.2.3.4", 5), 1, std::string("\x00\x05", 2))));
    ASSERT_TRUE(PumpReads(d, p, 2));
    EXPECT_EQ(0u, p.data.size());
    // Without sessions every send goes out directly, whatever the flags.
    for (u32 flags : {0u, 1u}) {
        EXPECT_EQ(4u, SendBytes(d, V4(b.ip4, kvlab::UdpPort(raw)), std::string("\x00\x05zz", 4), flags));
        std::string got;
        EXPECT_TRUE(kvlab::UdpRecv(raw, 10000, &got));
        EXPECT_EQ(std::string("\x00\x05zz", 4), got);
    }
    EXPECT_EQ(0u, d.SessCount());
    close(raw);
    d.Clean();
}

// Process-level: a server-mode socket process sends over UDP on IPv4 to a client one that
// knows its address; the client reports the datagrams as its known peer's, on the path
// it made for the address they came from.
#include <mutex>
#include <set>

#include "qvSocketProc.h"

class CQVSocketProcProbe {
public:
    static u32 Udp4Port(CQVSocketProc& p) { return p.m_DrivUDP4.GetLocalPort(); }
};

namespace {

class PrintSock : public IQVSockEvent {
public:
    void SockEventData(QV_ADDR_S&, QV_BUF_S& Buf, u32 uSockID, u32 uCnntID, u32 uDriv) override
    {
        std::string s((const char*)Buf.buf + Buf.uOffset + 2, Buf.uLen - 2);
        std::lock_guard<std::mutex> g(mu);
        if (seen.insert(s + std::to_string(uSockID)).second) {
            printf("GOT %s sock %u path %s driver %u\n", s.c_str(), uSockID, uCnntID ? "yes" : "no", uDriv);
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

u32 PortFrom(const kvlab::Process& p)
{
    std::string out = p.Output();
    size_t at = out.find("PORT ");
    return at == std::string::npos ? 0 : (u32)strtoul(out.c_str() + at + 5, nullptr, 10);
}

}  // namespace

TEST_F(Udp4, ServerProcessReachesClientProcess)
{
    int go[2], stop[2];
    ASSERT_EQ(0, pipe(go));
    ASSERT_EQ(0, pipe(stop));
    auto pb = lab.RunIn(b, [&] {
        close(go[1]);
        close(stop[1]);
        CQVSocketProc proc;
        PrintSock sock;
        proc.Attach(&sock);
        CQVSocketProc::CFG_S cfg;
        memset(&cfg, 0, sizeof(cfg));
        cfg.uTableSize = 16;
        cfg.uSendQueSum = 1024;
        if (!proc.Initialize(nullptr, cfg))
            return 2;
        printf("PORT %u\n", CQVSocketProcProbe::Udp4Port(proc));
        fflush(stdout);
        u32 portA = 0;
        if (read(go[0], &portA, 4) != 4)
            return 3;
        proc.Add(V4(a.ip4, (u16)portA), 77);
        printf("READY\n");
        fflush(stdout);
        bool done = kvlab::WaitUntil([&] {
            std::lock_guard<std::mutex> g(sock.mu);
            return sock.seen.count("direct77") && sock.seen.count("via peer77");
        }, 20000);
        proc.Clean();
        return done ? 0 : 4;
    });
    close(go[0]);
    ASSERT_TRUE(pb.WaitOutput("PORT ", 10000)) << pb.Output();
    u32 portB = PortFrom(pb);
    ASSERT_NE(0u, portB);
    auto pa = lab.RunIn(a, [&] {
        CQVSocketProc proc;
        PrintSock sock;
        proc.Attach(&sock);
        CQVSocketProc::CFG_S cfg;
        memset(&cfg, 0, sizeof(cfg));
        cfg.uSide = 1;
        cfg.uTableSize = 16;
        cfg.uSendQueSum = 1024;
        if (!proc.Initialize(nullptr, cfg))
            return 2;
        printf("PORT %u\n", CQVSocketProcProbe::Udp4Port(proc));
        fflush(stdout);
        QV_ADDR_S to = V4(b.ip4, (u16)portB);
        u32 h = proc.Add(to, 5);
        std::string direct = std::string("\x00\x05", 2) + "direct";
        std::string viaPeer = std::string("\x00\x05", 2) + "via peer";
        std::vector<u8> r1(64 + direct.size()), r2(64 + viaPeer.size());
        memcpy(r1.data() + 64, direct.data(), direct.size());
        memcpy(r2.data() + 64, viaPeer.data(), viaPeer.size());
        QV_BUF_S b1{r1.data(), 64, (u32)r1.size(), (u32)direct.size(), 0};
        QV_BUF_S b2{r2.data(), 64, (u32)r2.size(), (u32)viaPeer.size(), 0};
        // Until the test saw both arrive (B may still be starting up), ten a second.
        for (int i = 0; i < 300; i++) {
            if (proc.SendDirect(to, b1, 0) != b1.uLen || proc.Send(h, b2, 0, 0, nullptr) != b2.uLen) {
                printf("SEND failed\n");
                fflush(stdout);
            }
            pollfd pf{stop[0], POLLIN, 0};
            if (poll(&pf, 1, 100) > 0)
                break;
        }
        proc.Clean();
        return 0;
    });
    close(stop[0]);
    ASSERT_TRUE(pa.WaitOutput("PORT ", 10000)) << pa.Output();
    u32 portA = PortFrom(pa);
    ASSERT_EQ(4, write(go[1], &portA, 4));
    close(go[1]);
    EXPECT_TRUE(pb.WaitOutput("GOT direct sock 77 path yes driver 0", 20000)) << pb.Output();
    EXPECT_TRUE(pb.WaitOutput("GOT via peer sock 77 path yes driver 0", 20000)) << pb.Output();
    ASSERT_EQ(1, write(stop[1], "s", 1));
    close(stop[1]);
    EXPECT_EQ(std::string::npos, pa.Output().find("SEND failed")) << pa.Output();
    int rc = -1;
    EXPECT_TRUE(pb.Wait(20000, &rc));
    EXPECT_EQ(0, rc) << pb.Output();
    EXPECT_TRUE(pa.Wait(20000, &rc));
    EXPECT_EQ(0, rc) << pa.Output();
}

TEST_F(Udp4, LocalAddressTableAndNetworkChange)
{
    CQVSockDrivUDP4 d;
    FakeProc p;
    CQVSockDrivUDP4Probe probe(d);
    ASSERT_TRUE(Start(d, p, a));
    kvlab::NetnsGuard ns(a.ns);
    ASSERT_EQ(1u, d.Control(0, 0, nullptr, 0));
    QV_ADDR_S own = V4(a.ip4, (u16)d.GetLocalPort());
    bool announced = false;
    for (size_t i = 0; i < p.updates.size(); i++)
        announced |= p.updateFlags[i] == 1 && p.updates[i].uAddr[3] == own.uAddr[3] && p.updates[i].uPort == own.uPort;
    EXPECT_TRUE(announced);
    EXPECT_EQ(1u, d.CheckAddr(0, &own));
    QV_ADDR_S server = V4(b.ip4, 7781);
    ASSERT_EQ(1u, d.SetInitProxy(&server));
    // The table no longer holds the source address toward the server: the change is
    // reported on eight successive ticks.
    probe.OnlyLocal(V4("10.250.0.1", own.uPort));
    p.msgs.clear();
    for (u32 i = 0; i < 10; i++)
        d.TimerProc(0);
    EXPECT_EQ(10u, p.Posted(6)) << "re-armed while the source stays missing";
    probe.OnlyLocal(own);
    p.msgs.clear();
    for (u32 i = 0; i < 12; i++)
        d.TimerProc(0);
    EXPECT_EQ(7u, p.Posted(6)) << "eight reports in all from the last tick the source was missing";
    d.Clean();
}
