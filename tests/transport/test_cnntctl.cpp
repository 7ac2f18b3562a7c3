// Connect-control protocol of the socket process: message checks and hostile datagrams of
// every letter, the connect request and reply ('B'/'C') that make a path work, proxy
// requests and replies through a station ('D'/'E'/'F'/'G') with its proxy holes, the main
// request answer ('H'/'I'), probes ('P'/'Q'), deletes ('J'), and the bounded backlogs.
// Single-process tests run one socket process in a namespace and play its peers with plain
// UDP sockets; the end-to-end tests run one socket process per child process.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "kvAddr4.h"
#include "kvFlood.h"
#include "kvLab.h"
#include "kvProcEvents.h"
#include "kvSocketProcProbe.h"
#include "qvLog.h"
#include "qvSocketProc.h"
#include "qvTimer.h"

namespace {

bool Same(const QV_ADDR_S& a, const QV_ADDR_S& b)
{
    return !memcmp(a.uAddr, b.uAddr, 16) && a.uPort == b.uPort;
}

// Connect-control messages as the wire carries them.
std::string Msg(char letter, u32 len = 84, u8 flags = 0)
{
    std::string m(len, '\0');
    if (len > 1)
        m[1] = letter;
    if (len > 2)
        m[2] = (char)flags;
    return m;
}

void Put(std::string& m, u32 at, const QV_ADDR_S& a, u16 flags = 0)
{
    memcpy(&m[at], a.uAddr, 16);
    m[at + 16] = (char)(a.uPort >> 8);
    m[at + 17] = (char)a.uPort;
    m[at + 18] = (char)(flags >> 8);
    m[at + 19] = (char)flags;
}

QV_ADDR_S Get(const std::string& m, u32 at)
{
    QV_ADDR_S a{};
    memcpy(a.uAddr, &m[at], 16);
    a.uPort = (u16)(((u8)m[at + 16] << 8) | (u8)m[at + 17]);
    a.uExtra = (u16)(((u8)m[at + 18] << 8) | (u8)m[at + 19]);
    return a;
}

bool Zero(const std::string& m, u32 at)
{
    for (u32 i = 0; i < 20; i++)
        if (m[at + i])
            return false;
    return true;
}

// The next datagram on fd within ms that take accepts; the others are skipped.
bool NextWhere(int fd, int ms, std::string* out, const std::function<bool(const std::string&)>& take)
{
    u32 until = GET_TIMESTAMP() + (u32)ms;
    for (;;) {
        int left = (int)(until - GET_TIMESTAMP());
        if (left <= 0)
            return false;
        std::string d;
        if (!kvlab::UdpRecv(fd, left, &d))
            return false;
        if (take(d)) {
            *out = d;
            return true;
        }
    }
}

bool IsCnntCtl(const std::string& d) { return d.size() >= 84 && d[1] >= 'A' && d[1] <= 'Q'; }

// The next connect-control message (byte 1 'A'..'Q') on fd within ms; others are skipped.
bool NextMsg(int fd, int ms, std::string* out, char letter = 0)
{
    return NextWhere(fd, ms, out, [&](const std::string& d) { return IsCnntCtl(d) && (!letter || d[1] == letter); });
}

// The next datagram on fd within ms that is no connect-control message (the process may
// send those on its own at any tick).
bool NextData(int fd, int ms, std::string* out)
{
    return NextWhere(fd, ms, out, [](const std::string& d) { return !IsCnntCtl(d); });
}

void Drain(int fd)
{
    std::string d;
    while (kvlab::UdpRecv(fd, 0, &d)) {
    }
}

CQVSocketProc::CFG_S Cfg(u32 side = 0)
{
    CQVSocketProc::CFG_S c;
    memset(&c, 0, sizeof(c));
    c.uTryTimeout = 10;
    c.uSide = side;
    c.uTableSize = 64;
    c.uSendQueSum = 1024;
    return c;
}

// One socket process in a namespace; the test's own UDP sockets there play its peers and
// its station.
class CnntCtl : public ::testing::Test {
protected:
    void SetUp() override
    {
        KV_LAB_REQUIRE();
        host = lab.AddHost(lab.AddSegment("s"), "h");
    }
    void Start(u32 side)
    {
        {
            kvlab::NetnsGuard ns(host.ns);
            ASSERT_TRUE(ns.Ok());
            proc.Attach(&sock);
            auto cfg = Cfg(side);
            ASSERT_EQ(1u, proc.Initialize(nullptr, cfg));
        }
        self = V4(host.ip4, (u16)probe.Udp4Port());
        if (!side) {
            // Requests are sent only toward addresses our drivers can reach.
            ASSERT_TRUE(kvlab::WaitUntil([&] { return proc.CheckDrivAddr(&self) == 1; }, 10000));
            probe.SetMain(self, 0);
        }
    }
    void TearDown() override
    {
        probe.Thaw();   // a failed assertion may leave the thread held
        proc.Clean();
        for (int fd : fds)
            close(fd);
    }
    // A UDP socket of the test in the process's namespace, and its address.
    int Open(QV_ADDR_S* addr)
    {
        int fd = kvlab::UdpOpen(host.ns, host.ip4, 0);
        EXPECT_GE(fd, 0);
        fds.push_back(fd);
        *addr = V4(host.ip4, kvlab::UdpPort(fd));
        return fd;
    }
    void Deliver(const std::string& bytes, const QV_ADDR_S& from, u32 driv = 0)
    {
        std::vector<u8> raw(bytes.size() + 64);
        memcpy(raw.data() + 16, bytes.data(), bytes.size());
        QV_BUF_S b{raw.data(), 16, (u32)raw.size(), (u32)bytes.size(), 0};
        static_cast<IQVSocketProc&>(proc).OnData(driv, &from, &b, 0);
    }
    kvlab::Lab lab;
    kvlab::Host host;
    CQVSocketProc proc;
    CProcEvents sock;
    CQVSocketProcProbe probe{proc};
    QV_ADDR_S self{};
    std::vector<int> fds;
};

}  // namespace

TEST_F(CnntCtl, MalformedAndMisdirectedMessagesAreDropped)
{
    Start(0);
    QV_ADDR_S peer;
    int rx = Open(&peer);
    u32 h = proc.Add(peer, 5);
    ASSERT_NE(0u, h);
    // Each would be answered if it were whole and meant for a client.
    std::string b = Msg('B');
    Put(b, 4, peer);
    std::string e = Msg('E', 200);
    Put(e, 4, peer);
    std::string p = Msg('P', 99);
    Put(p, 4, peer);
    std::string h212 = Msg('H', 212);
    Put(h212, 4, peer);
    struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"83-byte 'B'", b.substr(0, 83)},
        {"'K' carries nothing", [&] { std::string k = b; k[1] = 'K'; return k; }()},
        {"letter after 'Q'", [&] { std::string k = b; k[1] = 'R'; return k; }()},
        {"letter 0x7F", [&] { std::string k = b; k[1] = 0x7F; return k; }()},
        {"'E' whose tail runs past the datagram", e},
        {"'G' whose tail runs past the datagram", [&] { std::string k = e; k[1] = 'G'; return k; }()},
        {"99-byte 'P'", p},
        {"station letter 'D' at a client", [&] { std::string k = b; k[1] = 'D'; return k; }()},
        {"station letter 'H' at a client", h212},
    };
    for (auto& c : cases)
        Deliver(c.bytes, peer);
    std::string got;
    EXPECT_FALSE(NextMsg(rx, 300, &got)) << "answered: " << got[1];
    EXPECT_EQ(0u, probe.BacklogCount());
    EXPECT_EQ(0u, probe.Peer(h)->Addrs.Count());

    // A whole request still gets its reply.
    Deliver(b, peer);
    ASSERT_TRUE(NextMsg(rx, 10000, &got, 'C'));
}

TEST_F(CnntCtl, RandomMessagesOfEveryLetterDoNoHarm)
{
    for (u32 side = 0; side < 2; side++) {
        Start(side);
        QV_ADDR_S peer;
        Open(&peer);
        u32 h = proc.Add(peer, 5);
        std::mt19937 rnd(7 + side);
        const u32 lens[] = {84, 99, 100, 124, 211, 212, 323, 324, 344};
        for (char letter = 'A'; letter <= 'Q'; letter++)
            for (u32 len : lens)
                for (int i = 0; i < 8; i++) {
                    std::string m(len, '\0');
                    for (auto& ch : m)
                        ch = (char)rnd();
                    m[0] = 0;
                    m[1] = letter;
                    // Half of them name the known peer, so that deeper paths are walked.
                    if (i & 1) {
                        Put(m, 4, peer);
                        Put(m, 44, peer);
                    }
                    Deliver(m, peer);
                    Deliver(m, peer, 2);
                }
        // Still answering properly.
        QV_ADDR_S other;
        int rx = Open(&other);
        std::string q = Msg(side ? 'H' : 'B');
        Put(q, 4, other);
        Deliver(q, other);
        std::string got;
        EXPECT_TRUE(NextMsg(rx, 10000, &got, side ? 'I' : 'C')) << "side " << side;
        EXPECT_EQ(1u, proc.Delete(h));
        proc.Clean();
    }
}

TEST_F(CnntCtl, RequestFromUnknownPeerIsAnsweredAndWaitsInTheBacklog)
{
    Start(0);
    QV_ADDR_S src;
    int rx = Open(&src);
    QV_ADDR_S main = V4("10.200.0.9", 4000), tunnel = V4("10.200.0.10", 4001);
    std::string b = Msg('B', 84, 0x08 | 0x10);
    Put(b, 4, main);
    Put(b, 44, self);
    Put(b, 64, tunnel);
    probe.Freeze();
    Deliver(b, src);
    std::string c;
    ASSERT_TRUE(NextMsg(rx, 10000, &c, 'C'));
    EXPECT_TRUE(Same(main, Get(c, 4))) << "requester main copied";
    EXPECT_TRUE(Same(src, Get(c, 24))) << "observed source";
    EXPECT_EQ(0x02 | 0x08, (u8)c[2]);
    EXPECT_TRUE(Same(self, Get(c, 44)));
    EXPECT_TRUE(Same(tunnel, Get(c, 64)));
    EXPECT_EQ(1u, probe.BacklogCount());

    // The same requester again updates its entry; the socket layer adding it takes it.
    Deliver(b, src);
    EXPECT_EQ(1u, probe.BacklogCount());
    Drain(rx);
    QV_ADDR_S got;
    u32 flags = 0, tun[4] = {};
    EXPECT_TRUE(probe.Pop(main, &got, &flags, tun));
    EXPECT_TRUE(Same(src, got));
    EXPECT_EQ(0x2u, flags) << "enable relay kept";
    EXPECT_EQ(0x1u, tun[0]);
    EXPECT_EQ(0u, probe.BacklogCount());

    // Taken when the peer is added: a request goes back to where it came from (the
    // requester did not ask for relaying this time).
    b[2] = 0x08;
    Deliver(b, src);
    Drain(rx);
    u32 h = proc.Add(main, 9);
    std::string back;
    ASSERT_TRUE(NextMsg(rx, 10000, &back, 'B'));
    EXPECT_TRUE(Same(self, Get(back, 4)));
    EXPECT_TRUE(Same(main, Get(back, 44)));
    EXPECT_NE(nullptr, probe.Addr(h, src));

    // Not taken within three ticks: gone.
    Deliver(b, src);
    probe.Tick(4);
    EXPECT_FALSE(probe.Pop(main, &got, &flags, tun));
    EXPECT_EQ(0u, probe.BacklogCount());
    probe.Thaw();
}

TEST_F(CnntCtl, ReplyMakesThePathWorkAndCarriesData)
{
    Start(0);
    QV_ADDR_S peer;
    int rx = Open(&peer);
    u32 h = proc.Add(peer, 33);
    probe.Tell(h, peer);
    std::string b;
    ASSERT_TRUE(NextMsg(rx, 10000, &b, 'B'));
    EXPECT_TRUE(Same(self, Get(b, 4)));
    EXPECT_TRUE(Same(peer, Get(b, 44)));
    EXPECT_EQ(0, b[2] & 0x08) << "sent to the peer's main address";

    // The peer answers as a socket process would.
    std::string c = Msg('C');
    Put(c, 4, self);
    Put(c, 24, self);
    Put(c, 44, peer);
    Deliver(c, peer);
    EXPECT_TRUE(probe.Peer(h)->uStatus & QV_PEER_STA_UDP4);
    EXPECT_TRUE(kvlab::WaitUntil([&] { return sock.Connected(33); }, 10000));
    // The fresh path is probed twice.
    std::string pr;
    ASSERT_TRUE(NextMsg(rx, 10000, &pr, 'P'));
    EXPECT_EQ(100u, pr.size());
    EXPECT_TRUE(Same(self, Get(pr, 4)));
    EXPECT_TRUE(Same(peer, Get(pr, 44)));
    Drain(rx);

    // Our side of the path is our main address: data goes without an envelope.
    u8 raw[64 + 7] = {};
    memcpy(raw + 64, "\x00\x05hello", 7);
    QV_BUF_S buf{raw, 64, sizeof(raw), 7, 0};
    EXPECT_EQ(7u, proc.Send(h, buf, 0, 0, nullptr));
    std::string d;
    ASSERT_TRUE(NextData(rx, 10000, &d));
    EXPECT_EQ(std::string("\x00\x05hello", 7), d);

    // A probe is answered and marks the peer as probing.
    std::string p = Msg('P', 100, 0x01);
    Put(p, 4, peer);
    Put(p, 44, self);
    Deliver(p, peer);
    std::string q;
    ASSERT_TRUE(NextMsg(rx, 10000, &q, 'Q'));
    EXPECT_TRUE(Same(peer, Get(q, 4)));
    EXPECT_TRUE(Same(self, Get(q, 44)));
    EXPECT_TRUE(probe.Peer(h)->uStatus & QV_PEER_STA_PROBE);

    // The peer says the address is gone.
    std::string j = Msg('J', 84, 0x02);
    Put(j, 4, peer);
    Put(j, 24, peer);
    Put(j, 44, self);
    Deliver(j, peer);
    EXPECT_EQ(nullptr, probe.Addr(h, peer));
    EXPECT_EQ(0u, probe.Peer(h)->uStatus & QV_PEER_STA_PATHS);
}

TEST_F(CnntCtl, TryingIsAnsweredWithARequest)
{
    Start(0);
    QV_ADDR_S peer, cand;
    int rx = Open(&peer);
    Open(&cand);
    u32 h = proc.Add(peer, 6);
    std::string a = Msg('A', 84, 0x02);
    Put(a, 4, self);
    Put(a, 24, self);
    Put(a, 44, peer);
    Deliver(a, peer);
    std::string b;
    ASSERT_TRUE(NextMsg(rx, 10000, &b, 'B'));
    EXPECT_TRUE(Same(peer, Get(b, 44)));
    ASSERT_NE(nullptr, probe.Addr(h, peer));
    EXPECT_EQ(0x2u | 0x4u, probe.Addr(h, peer)->Driv[0].uFlags & 0x6) << "filled, our side is our main";
    // From a peer we do not know: nothing.
    Put(a, 44, cand);
    Deliver(a, cand);
    EXPECT_FALSE(NextMsg(rx, 300, &b));
}

TEST_F(CnntCtl, ReplyToAPublicMainFromAPrivateSourceUsesTheNamedTunnel)
{
    Start(0);
    QV_ADDR_S peer, tunnel;
    Open(&peer);
    Open(&tunnel);
    QV_ADDR_S pubMain = V4("203.0.113.5", self.uPort);
    probe.SetMain(pubMain, 0);
    u32 h = proc.Add(peer, 6);
    std::string c = Msg('C', 84, 0x08);
    Put(c, 4, pubMain);
    Put(c, 24, pubMain);
    Put(c, 44, peer);
    Put(c, 64, tunnel);
    Deliver(c, peer);
    ASSERT_NE(nullptr, probe.Addr(h, tunnel));
    EXPECT_EQ(nullptr, probe.Addr(h, peer));
    EXPECT_TRUE(probe.Addr(h, tunnel)->Driv[0].uFlags & 0x1);
}

TEST_F(CnntCtl, DriverSelectionChangeAnnouncesOurAddressAsGone)
{
    Start(0);
    QV_ADDR_S peer;
    int rx = Open(&peer);
    u32 h = proc.Add(peer, 6);
    std::string c = Msg('C');
    Put(c, 4, self);
    Put(c, 44, peer);
    Deliver(c, peer);
    ASSERT_TRUE(probe.Peer(h)->uStatus & QV_PEER_STA_UDP4);
    Drain(rx);
    ASSERT_EQ(1u, proc.SetPeerOption(h, 0, "1"));
    std::string j;
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(NextMsg(rx, 10000, &j, 'J')) << i;
        EXPECT_TRUE(Same(self, Get(j, 4)));
        EXPECT_TRUE(Same(self, Get(j, 24)));
        EXPECT_EQ(0x02, j[2]);
        EXPECT_TRUE(Same(peer, Get(j, 44)));
    }
}

TEST_F(CnntCtl, ProxyRequestsGoToTheStation)
{
    Start(0);
    QV_ADDR_S sta;
    int rx = Open(&sta);
    QV_ADDR_S dst = V4("10.200.0.20", 5000);
    // Held first: a tick must not send a request of its own before the test asks.
    probe.Freeze();
    u32 h = proc.Add(dst, 3);
    ASSERT_EQ(1u, proc.SetPeerProxy(h, &sta, nullptr));
    EXPECT_EQ(0u, probe.ConnectPeer(h, 4, 1));
    std::string d;
    ASSERT_TRUE(NextMsg(rx, 10000, &d, 'D'));
    ASSERT_EQ(324u, d.size()) << "full request";
    EXPECT_TRUE(Same(self, Get(d, 4)));
    EXPECT_TRUE(Same(dst, Get(d, 44)));
    EXPECT_EQ(0, d[3]);
    for (u32 i = 0; i < 12; i++)
        EXPECT_FALSE(Same(self, Get(d, 84 + 20 * i))) << "the main address is not listed again";

    // Short form: one request per own driver address, naming it when it is not the main one.
    Drain(rx);
    probe.Peer(h)->uStatus |= QV_PEER_STA_SHORT;
    EXPECT_EQ(0u, probe.ConnectPeer(h, 4, 0));
    u32 shorts = 0, naming = 0;
    while (NextMsg(rx, 300, &d, 'D')) {
        shorts++;
        EXPECT_EQ(84u, d.size());
        EXPECT_TRUE(Same(dst, Get(d, 44)));
        if (d[2] & 0x02) {
            QV_ADDR_S named = Get(d, 24);
            EXPECT_FALSE(Same(self, named));
            EXPECT_EQ(1u, proc.CheckDrivAddr(&named));
            naming++;
        }
    }
    EXPECT_EQ(1u, shorts - naming) << "one for the main address";

    // Asked for long enough without a path, relaying is requested too.
    probe.Tick(5);
    Drain(rx);
    EXPECT_EQ(0u, probe.ConnectPeer(h, 4, 0));
    ASSERT_TRUE(NextMsg(rx, 10000, &d, 'D'));
    EXPECT_EQ(0x10, d[2] & 0x10);
    EXPECT_EQ(1, d[3]) << "relay type of a UDP over IPv4 address";
    probe.Thaw();
}

// Without a path, a peer is asked for through its station at most 29 times in a row; the
// 30th try and those after it send nothing until a reset.
TEST_F(CnntCtl, ConnectTriesStopAtThirty)
{
    Start(0);
    QV_ADDR_S sta;
    int rx = Open(&sta);
    probe.Freeze();
    u32 h = proc.Add(V4("10.200.0.20", 5000), 3);
    ASSERT_EQ(1u, proc.SetPeerProxy(h, &sta, nullptr));
    for (u32 i = 1; i <= 35; i++)
        EXPECT_EQ(0u, probe.ConnectPeer(h, 4, 0));
    std::string d;
    u32 requests = 0;
    while (NextMsg(rx, 300, &d, 'D'))
        requests++;
    EXPECT_EQ(29u, requests);
    EXPECT_EQ(35u, probe.Peer(h)->uTryCount);
    EXPECT_FALSE(probe.Peer(h)->uStatus & QV_PEER_STA_RELAY) << "try timeout not reached";
    // A reset after the try timeout asks again, relaying allowed.
    probe.Tick(10);
    EXPECT_EQ(0u, probe.ConnectPeer(h, 4, 1));
    EXPECT_EQ(0u, probe.Peer(h)->uTryCount);
    EXPECT_TRUE(probe.Peer(h)->uStatus & QV_PEER_STA_RELAY) << "relay allowed after the try timeout";
    EXPECT_TRUE(NextMsg(rx, 10000, &d, 'D'));
    probe.Thaw();
}

TEST_F(CnntCtl, RequestDownIsAnsweredWithOurAddressesAndTried)
{
    Start(0);
    QV_ADDR_S sta, req, alt, r12, r13;
    int rxSta = Open(&sta);
    int rxReq = Open(&req);
    int rx12 = Open(&r12);
    int rx13 = Open(&r13);
    alt = V4("10.200.0.30", 30);
    // A full request of an unknown peer, thirteen addresses in its tail.
    std::string e = Msg('E', 344);
    Put(e, 4, req);
    Put(e, 24, req);
    Put(e, 44, self);
    for (u32 i = 0; i < 11; i++)
        Put(e, 84 + 20 * i, i == 0 ? alt : V4(host.ip4, (u16)(1 + i)), i == 0 ? 0x0200 : 0);
    Put(e, 84 + 20 * 11, r12);
    Put(e, 84 + 20 * 12, r13);
    probe.SetMain(self, 1);
    Deliver(e, sta);
    std::string got;
    EXPECT_FALSE(NextMsg(rxSta, 300, &got)) << "not on the main driver";

    probe.SetMain(self, 0);
    Deliver(e, sta);
    std::string f;
    ASSERT_TRUE(NextMsg(rxSta, 10000, &f, 'F'));
    ASSERT_EQ(324u, f.size());
    EXPECT_TRUE(Same(req, Get(f, 4)));
    EXPECT_TRUE(Same(self, Get(f, 44)));
    EXPECT_EQ(0, f[2] & (0x01 | 0x10));
    // Our other addresses are listed, our main one is not.
    for (u32 i = 0; i < 12 && !Zero(f, 84 + 20 * i); i++) {
        QV_ADDR_S listed = Get(f, 84 + 20 * i);
        EXPECT_FALSE(Same(self, listed));
        EXPECT_EQ(1u, proc.CheckDrivAddr(&listed));
    }
    ASSERT_TRUE(NextMsg(rxReq, 10000, &got, 'A'));
    EXPECT_TRUE(Same(req, Get(got, 4)));
    EXPECT_TRUE(Same(self, Get(got, 44)));
    EXPECT_TRUE(NextMsg(rx12, 10000, &got, 'A')) << "the twelfth record is tried";
    EXPECT_FALSE(NextMsg(rx13, 300, &got)) << "the thirteenth is not read";
    QV_ADDR_S flagged;
    EXPECT_TRUE(probe.AssistGet(req, &flagged));
    EXPECT_TRUE(Same(alt, flagged));
    EXPECT_EQ(0u, probe.EnumCursors()) << "requesters that are no peers leave no cursor";

    // Added later, the peer takes its other main address from the assist backlog.
    u32 h = proc.Add(req, 4);
    EXPECT_TRUE(Same(alt, probe.Peer(h)->AddrAlt));

    // Entries nobody asks for go after ten ticks.
    probe.Freeze();
    probe.Tick(11);
    EXPECT_EQ(0u, probe.AssistCount());
    probe.Thaw();
}

TEST_F(CnntCtl, ShortRequestDownNamesOneOtherAddress)
{
    Start(0);
    QV_ADDR_S sta, req, named;
    int rxSta = Open(&sta);
    int rxReq = Open(&req);
    int rxNamed = Open(&named);
    u32 h = proc.Add(req, 4);
    std::string e = Msg('E', 84, 0x02 | 0x10);
    e[3] = 1;
    Put(e, 4, req);
    Put(e, 24, named);
    Put(e, 44, self);
    Deliver(e, sta);
    std::string f;
    ASSERT_TRUE(NextMsg(rxSta, 10000, &f, 'F'));
    EXPECT_EQ(84u, f.size());
    EXPECT_EQ(1, f[3]) << "relay type kept";
    EXPECT_EQ(0, f[2] & 0x10);
    EXPECT_TRUE(Same(self, Get(f, 44)));
    if (f[2] & 0x08) {
        QV_ADDR_S other = Get(f, 64);
        EXPECT_FALSE(Same(self, other));
        EXPECT_EQ(1u, proc.CheckDrivAddr(&other));
    }
    EXPECT_TRUE(probe.Peer(h)->uStatus & QV_PEER_STA_SHORT);
    // Both addresses of the requester are tried and asked for a connect.
    std::string got;
    EXPECT_TRUE(NextMsg(rxReq, 10000, &got, 'A'));
    EXPECT_TRUE(NextMsg(rxNamed, 10000, &got, 'A'));
    EXPECT_NE(nullptr, probe.Addr(h, req));
    EXPECT_NE(nullptr, probe.Addr(h, named));
}

TEST_F(CnntCtl, ReplyDownConnectsToTheListedAddresses)
{
    Start(0);
    QV_ADDR_S sta, dst, a1;
    Open(&sta);
    int rxDst = Open(&dst);
    int rx1 = Open(&a1);
    u32 h = proc.Add(dst, 8);
    std::string g = Msg('G', 324);
    Put(g, 4, self);
    Put(g, 44, dst);
    Put(g, 84, a1);
    Deliver(g, sta);
    std::string got;
    ASSERT_TRUE(NextMsg(rxDst, 10000, &got, 'B'));
    ASSERT_TRUE(NextMsg(rx1, 10000, &got, 'B'));
    EXPECT_NE(nullptr, probe.Addr(h, a1));
    EXPECT_TRUE(Same(dst, Get(got, 44)));
    EXPECT_EQ(0x08, got[2] & 0x08) << "the address used differs from the peer's main";
    EXPECT_TRUE(Same(a1, Get(got, 64)));
    // Without a main driver nothing is taken.
    probe.SetMain(self, 4);
    QV_ADDR_S a2 = V4(host.ip4, 2);
    Put(g, 84, a2);
    Deliver(g, sta);
    EXPECT_EQ(nullptr, probe.Addr(h, a2));
}

TEST_F(CnntCtl, StationPassesRequestsAndRepliesThroughHoles)
{
    Start(1);
    QV_ADDR_S req, hole, dst;
    int rxReq = Open(&req);
    int rxHole = Open(&hole);
    int rxDst = Open(&dst);
    probe.Freeze();

    // Short request naming the address it was sent from: a hole keeps where it came from.
    QV_ADDR_S named = V4("10.200.0.40", 40);
    std::string d = Msg('D', 84, 0x02 | 0x10);
    d[3] = 1;
    Put(d, 4, req);
    Put(d, 24, named);
    Put(d, 44, dst);
    Deliver(d, hole);
    std::string e;
    ASSERT_TRUE(NextMsg(rxDst, 10000, &e, 'E'));
    EXPECT_EQ(84u, e.size());
    EXPECT_TRUE(Same(named, Get(e, 24))) << "[24] unchanged";
    EXPECT_EQ(1, e[3]);
    QV_ADDR_S got;
    ASSERT_TRUE(probe.HoleFind(req, &got));
    EXPECT_TRUE(Same(hole, got));

    // The reply goes to the hole and to the requester's main address.
    std::string f = e;
    f[1] = 'F';
    Put(f, 44, dst);
    Deliver(f, dst);
    std::string g;
    ASSERT_TRUE(NextMsg(rxHole, 10000, &g, 'G'));
    ASSERT_TRUE(NextMsg(rxReq, 10000, &g, 'G'));
    EXPECT_EQ(84u, g.size());

    // A full request cut short is not passed on, nor is a reply.
    std::string cut = Msg('D', 200);
    Put(cut, 4, req);
    Put(cut, 44, dst);
    Deliver(cut, hole);
    cut[1] = 'F';
    Deliver(cut, dst);
    EXPECT_FALSE(NextMsg(rxDst, 300, &e));
    EXPECT_FALSE(NextMsg(rxReq, 0, &e));

    // Full request: [24] becomes the observed source.
    std::string full = Msg('D', 324);
    Put(full, 4, req);
    Put(full, 44, dst);
    Deliver(full, hole);
    ASSERT_TRUE(NextMsg(rxDst, 10000, &e, 'E'));
    EXPECT_EQ(324u, e.size());
    EXPECT_TRUE(Same(hole, Get(e, 24)));

    // A forwarding budget: once this second's bytes reach it, requests wait for the next.
    u32 budget = 1;
    proc.SetParam(8, &budget, 4);
    Deliver(full, hole);
    ASSERT_TRUE(NextMsg(rxDst, 10000, &e, 'E'));
    Deliver(full, hole);
    EXPECT_FALSE(NextMsg(rxDst, 300, &e));
    probe.Tick(1);
    Deliver(full, hole);
    EXPECT_TRUE(NextMsg(rxDst, 10000, &e, 'E'));
    probe.Thaw();
}

TEST_F(CnntCtl, StationAnswersMainRequests)
{
    Start(1);
    QV_ADDR_S cli;
    int rx = Open(&cli);
    QV_ADDR_PAIR_S pairs[3];
    memset(pairs, 0, sizeof(pairs));
    for (u32 i = 0; i < 3; i++)
        pairs[i].Addr4 = V4("10.200.1.1", (u16)(100 + i));
    ASSERT_EQ(1u, proc.SetAssemAddr(pairs, 3));
    struct {
        const char* name;
        u32 len;
        std::string peer;   // "" = empty name; "!" = 128 bytes without a terminator
        u32 replyLen;       // 0 = no reply
        bool redirect;
    } cases[] = {
        {"short request", 84, "", 84, false},
        {"empty name", 212, "", 124, false},
        {"named", 212, "peer-1", 124, true},
        {"name without its terminator", 212, "!", 0, false},
    };
    probe.Freeze();
    for (auto& c : cases) {
        std::string m = Msg('H', c.len);
        Put(m, 4, cli);
        if (c.peer == "!")
            memset(&m[84], 'x', 128);
        else if (c.len > 84)
            memcpy(&m[84], c.peer.data(), c.peer.size());
        Deliver(m, cli);
        std::string r;
        if (!c.replyLen) {
            EXPECT_FALSE(NextMsg(rx, 300, &r)) << c.name;
            continue;
        }
        ASSERT_TRUE(NextMsg(rx, 10000, &r, 'I')) << c.name;
        EXPECT_EQ(c.replyLen, r.size()) << c.name;
        EXPECT_EQ(0x02, r[2] & 0x02) << c.name;
        EXPECT_TRUE(Same(cli, Get(r, 24))) << c.name;
        if (c.replyLen < 124)
            continue;
        if (c.redirect) {
            u32 i = CQVSocketProc::StrHashCode(c.peer.c_str()) & 63;
            EXPECT_TRUE(Same(pairs[i % 3].Addr4, Get(r, 84))) << c.name;
        } else {
            EXPECT_TRUE(Zero(r, 84) && Zero(r, 104)) << c.name;
        }
    }
    // With a main speed of one, one request per tick is answered.
    ASSERT_EQ(1u, proc.SetMainSpeed(1, 0));
    probe.Tick(1);
    std::string h = Msg('H');
    Put(h, 4, cli);
    std::string r;
    Deliver(h, cli);
    Deliver(h, cli);
    EXPECT_TRUE(NextMsg(rx, 10000, &r, 'I'));
    EXPECT_FALSE(NextMsg(rx, 300, &r));
    probe.Tick(1);
    Deliver(h, cli);
    EXPECT_TRUE(NextMsg(rx, 10000, &r, 'I'));
    probe.Thaw();
}

TEST_F(CnntCtl, BacklogsAndHolesAreBounded)
{
    Start(1);
    probe.Freeze();
    QV_ADDR_S src = V4("10.200.2.1", 1);
    for (u32 i = 0; i < 1100; i++) {
        probe.Push(V4("10.201.0.1", (u16)(i + 1)), src, 0, 0);
        probe.AssistAdd(V4("10.201.0.1", (u16)(i + 1)), src);
    }
    EXPECT_EQ(1024u, probe.BacklogCount());
    EXPECT_EQ(1024u, probe.AssistCount());
    QV_ADDR_S got;
    u32 flags, tun[4];
    EXPECT_FALSE(probe.Pop(V4("10.201.0.1", 1), &got, &flags, tun)) << "the oldest made room";
    EXPECT_TRUE(probe.Pop(V4("10.201.0.1", 1100), &got, &flags, tun));
    EXPECT_TRUE(probe.AssistGet(V4("10.201.0.1", 1100), &got));
    probe.Tick(11);
    EXPECT_FALSE(probe.AssistGet(V4("10.201.0.1", 1100), &got)) << "aged out";
    EXPECT_EQ(0u, probe.AssistCount());

    const u32 kMax = 65536;
    auto Key = [](u32 i) {
        QV_ADDR_S k{};
        k.uAddr[3] = htonl(0x0A000000u + i);
        k.uPort = 1;
        return k;
    };
    for (u32 i = 0; i < kMax + 10; i++)
        ASSERT_TRUE(probe.HoleAdd(Key(i), src));
    EXPECT_EQ(kMax, probe.HoleCount());
    EXPECT_FALSE(probe.HoleFind(Key(0))) << "the oldest made room";
    EXPECT_TRUE(probe.HoleFind(Key(kMax + 9)));
    EXPECT_TRUE(probe.HoleFind(Key(10)));
    probe.Thaw();
}

// A known peer's requests name, each time, another address at which it says it saw us: the
// driver addresses it can teach us stay few, and the cost of a request stays flat.
TEST_F(CnntCtl, RequestsNamingEverNewLocalAddressesKeepTheDriverAddressesBounded)
{
    Start(0);
    QV_ADDR_S peer;
    int rx = Open(&peer);
    u32 h = proc.Add(peer, 5);
    ASSERT_NE(0u, h);
    probe.Freeze();
    u32 before = probe.DrivAddrCount();
    const u32 kFlood = 8000;
    FloodCost cost;
    for (u32 i = 0; i < kFlood; i++) {
        std::string b = Msg('B', 84, 0x08);
        Put(b, 4, peer);
        Put(b, 44, self);
        QV_ADDR_S seen = V4("198.18.0.0", (u16)(1 + i % 60000));
        seen.uAddr[3] = htonl(0xC6120000u + i);
        Put(b, 64, seen);
        cost.Time([&] { Deliver(b, peer); });
        if (i % 500 == 0)
            Drain(rx);
    }
    EXPECT_LE(probe.DrivAddrCount(), before + 8);
    EXPECT_TRUE(cost.Bounded()) << "first thousand " << cost.First() << " ns, last " << cost.Last() << " ns";
    probe.Thaw();
    // A well-behaved request is still answered.
    Drain(rx);
    QV_ADDR_S other;
    int rx2 = Open(&other);
    std::string q = Msg('B');
    Put(q, 4, other);
    Put(q, 44, self);
    Deliver(q, other);
    std::string got;
    EXPECT_TRUE(NextMsg(rx2, 10000, &got, 'C'));
}

TEST_F(CnntCtl, UnusedHolesAgeOutAFewAtATime)
{
    Start(1);
    probe.Freeze();
    for (u32 i = 0; i < 300; i++)
        ASSERT_TRUE(probe.HoleAdd(V4("10.202.0.1", (u16)(i + 1)), V4("10.203.0.1", 1)));
    probe.Tick(10);
    EXPECT_EQ(300u, probe.HoleCount());
    probe.HoleUse(V4("10.202.0.1", 300));
    // Unused for more than ten ticks; the timer looks at 128 entries per tick.
    probe.Tick(1);
    EXPECT_EQ(300u - 128u, probe.HoleCount());
    probe.Tick(2);
    EXPECT_EQ(1u, probe.HoleCount());
    EXPECT_TRUE(probe.HoleFind(V4("10.202.0.1", 300)));
    probe.Thaw();
}

// End to end: one socket process per child process.

namespace {

// Log lines of interest printed for the test to read.
void LogHook(u32, const char* line)
{
    static const char* kWanted[] = {"SockCnntRequestDown: uDrivType", "SockCnntReplyDown: uDrivType"};
    for (const char* w : kWanted)
        if (strstr(line, w)) {
            printf("LOG %s", line);
            fflush(stdout);
        }
}

u32 ReadPort(const kvlab::Process& p)
{
    std::string out = p.Output();
    size_t at = out.find("PORT ");
    return at == std::string::npos ? 0 : (u32)strtoul(out.c_str() + at + 5, nullptr, 10);
}

// A client socket process: own main address = its address as the other side sees it
// (IP given, the driver's port), one peer. It reports "PORT n", reads the peer's main
// address (IP, port) from the pipe, optionally asks the peer for a connect, and sends
// "hello from <me>" until the peer's hello arrived ("HEARD"); then it goes on sending for
// the other side until the test writes one more byte to the pipe. Exit code 0 when both
// ways worked.
int ClientMain(const std::string& me, const std::string& ifIp, const std::string& mainIp, int pipeRd, bool initiate,
               const QV_ADDR_S* station = nullptr)
{
    kvlab::TempDir logDir;
    qvLogInit(0xF, logDir.Path().c_str(), "cc", 0, 0);
    qvLogExt(LogHook);
    CQVSocketProc proc;
    CProcEvents sock;
    CQVSocketProcProbe probe(proc);
    proc.Attach(&sock);
    auto cfg = Cfg();
    if (!proc.Initialize(nullptr, cfg))
        return 2;
    u32 port = probe.Udp4Port();
    printf("PORT %u\n", port);
    fflush(stdout);
    char ip[64] = {};
    u32 peerPort = 0;
    if (read(pipeRd, ip, sizeof(ip)) != (ssize_t)sizeof(ip) || read(pipeRd, &peerPort, 4) != 4)
        return 3;
    QV_ADDR_S peer = V4(ip, (u16)peerPort);
    // Requests are sent only toward addresses our drivers can reach.
    QV_ADDR_S local = V4(ifIp, (u16)port);
    if (!kvlab::WaitUntil([&] { return proc.CheckDrivAddr(&local) == 1; }, 10000))
        return 4;
    probe.SetMain(V4(mainIp, (u16)port), 0);
    u32 h = proc.Add(peer, 77);
    if (!h)
        return 5;
    if (station) {
        proc.SetPeerProxy(h, station, nullptr);
        if (initiate)
            probe.ConnectPeer(h, 4, 1);
    } else if (initiate) {
        probe.Tell(h, peer);
    }
    printf("READY\n");
    fflush(stdout);
    std::string hello = std::string("\x00\x05", 2) + "hello from " + me;
    std::vector<u8> raw(64 + hello.size());
    memcpy(raw.data() + 64, hello.data(), hello.size());
    QV_BUF_S b{raw.data(), 64, (u32)raw.size(), (u32)hello.size(), 0};
    // The request is repeated until answered (datagrams may be lost), as the tick would.
    u32 last = GET_TIMESTAMP();
    bool connected = kvlab::WaitUntil([&] {
        if (initiate && GET_TIMESTAMP() - last > 500) {
            if (station)
                probe.ConnectPeer(h, 4, 0);
            else
                probe.Tell(h, peer);
            last = GET_TIMESTAMP();
        }
        return sock.Connected(77);
    }, 20000);
    bool got = kvlab::WaitUntil([&] {
        proc.Send(h, b, 0, 0, nullptr);
        usleep(50 * 1000);
        return sock.Got("77:") && sock.Got("hello from");
    }, 20000);
    printf("HEARD %d\n", got ? 1 : 0);
    fflush(stdout);
    // Keep answering for the other side, which may be slower, until the test saw both hear.
    for (int i = 0; i < 600; i++) {
        proc.Send(h, b, 0, 0, nullptr);
        pollfd pf{pipeRd, POLLIN, 0};
        if (poll(&pf, 1, 50) > 0)
            break;
    }
    printf("CONNECTED %d GOT %d STATUS %x\n", connected ? 1 : 0, got ? 1 : 0, probe.Status(h));
    fflush(stdout);
    proc.Clean();
    return connected && got ? 0 : 6;
}

void SendPeer(int fd, const std::string& ip, u32 port)
{
    char buf[64] = {};
    snprintf(buf, sizeof(buf), "%s", ip.c_str());
    ASSERT_EQ((ssize_t)sizeof(buf), write(fd, buf, sizeof(buf)));
    ASSERT_EQ(4, write(fd, &port, 4));
}

// Waits until both clients heard each other (or gave up), then lets both end.
void Release(const kvlab::Process& a, int pipeA, const kvlab::Process& b, int pipeB)
{
    EXPECT_TRUE(a.WaitOutput("HEARD", 30000)) << a.Output();
    EXPECT_TRUE(b.WaitOutput("HEARD", 30000)) << b.Output();
    EXPECT_EQ(1, write(pipeA, "s", 1));
    EXPECT_EQ(1, write(pipeB, "s", 1));
}

// Releases both clients and expects each to end with exit code 0.
void ReleaseAndJoin(kvlab::Process& a, int pipeA, kvlab::Process& b, int pipeB)
{
    Release(a, pipeA, b, pipeB);
    int rc = -1;
    EXPECT_TRUE(a.Wait(20000, &rc));
    EXPECT_EQ(0, rc) << a.Output();
    EXPECT_TRUE(b.Wait(20000, &rc));
    EXPECT_EQ(0, rc) << b.Output();
}

using NeighEnd = kvlab::Lab::NeighEnd;
NeighEnd On(const kvlab::Host& h) { return kvlab::Lab::End(h); }

// Hostile connect-control datagrams of every letter, aimed at a socket process.
void Blast(const std::string& ns, const std::string& ip, u32 port)
{
    int fd = kvlab::UdpOpen(ns, "", 0);
    ASSERT_GE(fd, 0);
    std::mt19937 rnd(99);
    const u32 lens[] = {2, 24, 83, 84, 99, 100, 124, 200, 212, 323, 324, 400};
    for (int letter = 0x41; letter <= 0x7F; letter++)
        for (u32 len : lens) {
            std::string m(len, '\0');
            for (auto& ch : m)
                ch = (char)rnd();
            m[0] = 0;
            m[1] = (char)letter;
            kvlab::UdpSend(fd, ip, (uint16_t)port, m);
            // The same inside a relay envelope.
            std::string env(24, '\0');
            env[1] = 0x40;
            kvlab::UdpSend(fd, ip, (uint16_t)port, env + m);
        }
    close(fd);
}

}  // namespace

class CnntCtlLab : public ::testing::Test {
protected:
    void SetUp() override { KV_LAB_REQUIRE(); }
    kvlab::Lab lab;
};

TEST_F(CnntCtlLab, TwoProcessesConnectAndCarryDataAfterHostileDatagrams)
{
    auto seg = lab.AddSegment("pub");
    auto ha = lab.AddHost(seg, "a");
    auto hb = lab.AddHost(seg, "b");
    ASSERT_TRUE(lab.PinNeighbours({On(ha), On(hb)}));
    int pa[2], pb[2];
    ASSERT_EQ(0, pipe(pa));
    ASSERT_EQ(0, pipe(pb));
    auto b = lab.RunIn(hb, [&] { return ClientMain("b", hb.ip4, hb.ip4, pb[0], false); });
    ASSERT_TRUE(b.WaitOutput("PORT ", 20000)) << b.Output();
    u32 portB = ReadPort(b);
    Blast(ha.ns, hb.ip4, portB);
    auto a = lab.RunIn(ha, [&] { return ClientMain("a", ha.ip4, ha.ip4, pa[0], true); });
    ASSERT_TRUE(a.WaitOutput("PORT ", 20000)) << a.Output();
    u32 portA = ReadPort(a);
    SendPeer(pb[1], ha.ip4, portA);
    ASSERT_TRUE(b.WaitOutput("READY", 20000)) << b.Output();
    SendPeer(pa[1], hb.ip4, portB);
    ReleaseAndJoin(a, pa[1], b, pb[1]);
}

TEST_F(CnntCtlLab, PeerBehindPortRestrictedNatReachesPublicPeer)
{
    auto pub = lab.AddSegment("pub");
    auto lan = lab.AddSegment("lan");
    auto nat = lab.AddNatRouter("nat", pub, lan, kvlab::NatType::PortRestricted);
    auto ha = lab.AddHost(pub, "a");
    auto hb = lab.AddHost(lan, "b");
    ASSERT_TRUE(lab.PinNeighbours({On(ha), On(nat)}));
    ASSERT_TRUE(lab.PinNeighbours({On(hb), NeighEnd{nat, "lan", nat.lan4}}));
    int pa[2], pb[2];
    ASSERT_EQ(0, pipe(pa));
    ASSERT_EQ(0, pipe(pb));
    // B's main address is its mapping on the router (the outside port is the inside one).
    auto a = lab.RunIn(ha, [&] { return ClientMain("a", ha.ip4, ha.ip4, pa[0], false); });
    auto b = lab.RunIn(hb, [&] { return ClientMain("b", hb.ip4, nat.ip4, pb[0], true); });
    ASSERT_TRUE(a.WaitOutput("PORT ", 20000)) << a.Output();
    ASSERT_TRUE(b.WaitOutput("PORT ", 20000)) << b.Output();
    u32 portA = ReadPort(a), portB = ReadPort(b);
    SendPeer(pa[1], nat.ip4, portB);
    ASSERT_TRUE(a.WaitOutput("READY", 20000)) << a.Output();
    SendPeer(pb[1], ha.ip4, portA);
    ReleaseAndJoin(a, pa[1], b, pb[1]);
}

TEST_F(CnntCtlLab, ProxyRequestThroughStationReachesItsDestination)
{
    auto seg = lab.AddSegment("pub");
    auto hs = lab.AddHost(seg, "sta");
    auto ha = lab.AddHost(seg, "a");
    auto hb = lab.AddHost(seg, "b");
    ASSERT_TRUE(lab.PinNeighbours({On(hs), On(ha), On(hb)}));
    // The station: a server-mode socket process. Its UDP driver only sends; what arrives
    // on its socket is handed to the process the way a receiving driver would.
    auto s = lab.RunIn(hs, [&] {
        CQVSocketProc proc;
        CProcEvents sock;
        CQVSocketProcProbe probe(proc);
        proc.Attach(&sock);
        auto cfg = Cfg(1);
        if (!proc.Initialize(nullptr, cfg))
            return 2;
        int fd = probe.TakeUdp4Socket();
        if (fd < 0)
            return 3;
        // The thread must stop watching the socket. A message it handled proves it woke, but
        // the same pass may still serve the descriptors it copied before; a second message
        // is handled in a later pass, which copied them after the socket left.
        for (u32 i = 1; i <= 2; i++) {
            proc.PostMessage(12, 0, 0, 0);   // asks for a data pull
            if (!kvlab::WaitUntil([&] { return sock.pulls >= i; }, 20000))
                return 4;
        }
        printf("PORT %u\n", probe.Udp4Port());
        fflush(stdout);
        // Serves until the test ends and kills it.
        u32 until = GET_TIMESTAMP() + 120000;
        while ((s32)(until - GET_TIMESTAMP()) > 0) {
            pollfd pf{fd, POLLIN, 0};
            if (poll(&pf, 1, 100) <= 0)
                continue;
            u8 raw[2048];
            sockaddr_in from{};
            socklen_t fl = sizeof(from);
            ssize_t n = recvfrom(fd, raw, sizeof(raw), 0, (sockaddr*)&from, &fl);
            if (n <= 0)
                continue;
            QV_ADDR_S src{};
            src.uAddr[3] = from.sin_addr.s_addr;
            src.uPort = ntohs(from.sin_port);
            QV_BUF_S b{raw, 0, sizeof(raw), (u32)n, 0};
            static_cast<IQVSocketProc&>(proc).OnData(0, &src, &b, 0);
        }
        proc.Clean();
        return 0;
    });
    ASSERT_TRUE(s.WaitOutput("PORT ", 20000)) << s.Output();
    QV_ADDR_S sta = V4(hs.ip4, (u16)ReadPort(s));
    int pa[2], pb[2];
    ASSERT_EQ(0, pipe(pa));
    ASSERT_EQ(0, pipe(pb));
    auto b = lab.RunIn(hb, [&] { return ClientMain("b", hb.ip4, hb.ip4, pb[0], false, &sta); });
    ASSERT_TRUE(b.WaitOutput("PORT ", 20000)) << b.Output();
    auto a = lab.RunIn(ha, [&] { return ClientMain("a", ha.ip4, ha.ip4, pa[0], true, &sta); });
    ASSERT_TRUE(a.WaitOutput("PORT ", 20000)) << a.Output();
    SendPeer(pb[1], ha.ip4, ReadPort(a));
    ASSERT_TRUE(b.WaitOutput("READY", 20000)) << b.Output();
    SendPeer(pa[1], hb.ip4, ReadPort(b));
    EXPECT_TRUE(b.WaitOutput("SockCnntRequestDown: uDrivType=0", 30000)) << b.Output();
    EXPECT_TRUE(a.WaitOutput("SockCnntReplyDown: uDrivType=0", 30000)) << a.Output();
    ReleaseAndJoin(a, pa[1], b, pb[1]);
}
