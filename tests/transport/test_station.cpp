// Main station of the socket process against the test rendezvous server (kv_rendezvous) in the
// network lab: the main address learnt from 'I' (public host, full-cone NAT), the station's
// own peer connected once the station answered, redirects followed once, the back-off of
// 'H' while no station answers and the driver renewed after a long silence (ticks driven),
// replies that must not be taken, NAT64 learnt from a reply over IPv6, a reply read together
// with a peer's handshake reaching a socket layer on top, and two clients that find each other
// through the server's station ('D'/'E'/'F'/'G').
#include <arpa/inet.h>
#include <poll.h>
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
#include "kvProcEvents.h"
#include "kvSocketProcProbe.h"
#include "qvSocket.h"
#include "qvSocketProc.h"
#include "qvTimer.h"

namespace {

const u16 kSrvPort = 7781;

QV_ADDR_S V6(const std::string& ip, u16 port)
{
    QV_ADDR_S a;
    memset(&a, 0, sizeof(a));
    inet_pton(AF_INET6, ip.c_str(), a.uAddr);
    a.uPort = port;
    return a;
}

bool Same(const QV_ADDR_S& a, const QV_ADDR_S& b)
{
    return !memcmp(a.uAddr, b.uAddr, 16) && a.uPort == b.uPort;
}

std::string Text(const QV_ADDR_S& a)
{
    char sz[QV_ADDR_STR_SIZE];
    return qvAddrToReadable(&a, sz, sizeof(sz)) ? sz : "?";
}

// A connect-control message as the wire carries it.
std::string Msg(char letter, u32 len)
{
    std::string m(len, '\0');
    m[1] = letter;
    return m;
}

void Put(std::string& m, u32 at, const QV_ADDR_S& a)
{
    memcpy(&m[at], a.uAddr, 16);
    m[at + 16] = (char)(a.uPort >> 8);
    m[at + 17] = (char)a.uPort;
}

// An 'I' naming pub as the public address, with a redirect pair when given.
std::string Reply(const QV_ADDR_S& pub, const QV_ADDR_S* r4 = nullptr, const QV_ADDR_S* r6 = nullptr)
{
    std::string m = Msg('I', (r4 || r6) ? 124 : 84);
    m[2] = 0x02;
    Put(m, 24, pub);
    if (r4)
        Put(m, 84, *r4);
    if (r6)
        Put(m, 104, *r6);
    return m;
}

CQVSocketProc::CFG_S Cfg()
{
    CQVSocketProc::CFG_S c;
    memset(&c, 0, sizeof(c));
    c.uTryTimeout = 10;
    c.uTableSize = 64;
    c.uSendQueSum = 1024;
    return c;
}


QV_ADDR_S MainOf(CQVSocketProc& proc)
{
    QV_ADDR_S m;
    memset(&m, 0, sizeof(m));
    proc.GetAddr(m, 2);
    return m;
}

using NeighEnd = kvlab::Lab::NeighEnd;

// One client socket process in the test's own process, on a host of the lab.
class Station : public ::testing::Test {
protected:
    void SetUp() override
    {
        KV_LAB_REQUIRE();
        LogLines();
        pub = lab.AddSegment("pub");
        hs = lab.AddHost(pub, "srv");
        sta = V4(hs.ip4, kSrvPort);
    }
    void TearDown() override
    {
        probe.Thaw();
        proc.Clean();
        for (int fd : fds)
            close(fd);
        for (auto& srv : servers)
            kvlab::ExpectNoSanitizerReport(srv);
    }
    // The test rendezvous server on host h, port kSrvPort.
    void StartServer(const kvlab::Host& h, const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> argv = {KV_TOOL_DIR "/kv_rendezvous", "--addr",
                                         h.ip4 + ":" + std::to_string(kSrvPort), "--account", "alice:pw"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        servers.push_back(lab.SpawnIn(h, argv));
        ASSERT_TRUE(servers.back().WaitOutput("kvsrv: ready", 10000)) << servers.back().Output();
    }
    void Start(const kvlab::Host& h)
    {
        kvlab::NetnsGuard ns(h.ns);
        ASSERT_TRUE(ns.Ok());
        proc.Attach(&sock);
        auto cfg = Cfg();
        ASSERT_EQ(1u, proc.Initialize(nullptr, cfg));
    }
    // A station that is the test's own socket on hs: it answers what the test answers. -1 when
    // it cannot be opened.
    int OwnStation()
    {
        int fd = kvlab::UdpOpen(hs.ns, hs.ip4, kSrvPort);
        if (fd >= 0)
            fds.push_back(fd);
        return fd;
    }
    // The station's list and our name: the 'H' requests begin.
    void Ask(const std::vector<QV_ADDR_S>& list, const char* name = "alice")
    {
        ASSERT_EQ(1u, proc.SetSelfPeer(name));
        ASSERT_EQ(1u, proc.SetProxy(list.data(), (u32)list.size()));
    }
    kvlab::Lab lab;
    kvlab::Segment pub;
    kvlab::Host hs;
    QV_ADDR_S sta{};
    CQVSocketProc proc;
    CProcEvents sock;
    CQVSocketProcProbe probe{proc};
    std::vector<int> fds;
    std::vector<kvlab::Process> servers;
};

}  // namespace

TEST_F(Station, PublicHostLearnsItsAddressAndItsStationPeerConnects)
{
    auto ha = lab.AddHost(pub, "a");
    ASSERT_TRUE(lab.PinNeighbours({hs, ha}));
    StartServer(hs);
    Start(ha);
    u32 h = proc.Add(sta, 77);
    ASSERT_NE(0u, h);
    Ask({sta});
    QV_ADDR_S self = V4(ha.ip4, (u16)probe.Udp4Port());
    ASSERT_TRUE(kvlab::WaitUntil([&] { return Same(MainOf(proc), self); }, 15000)) << Text(MainOf(proc));
    EXPECT_EQ(0u, probe.MainDriv());
    QV_ADDR_S cur{};
    EXPECT_EQ(1u, proc.GetCurProxy(cur));
    EXPECT_TRUE(Same(cur, sta));
    EXPECT_TRUE(kvlab::WaitUntil([&] { return sock.Connected(77) && sock.Reported(0, 2); }, 10000));
    EXPECT_TRUE(probe.Peer(h)->uStatus & QV_PEER_STA_DIRECT);
    // The station's peer carries data now.
    std::string pkt("\x00\x05 ping", 7);
    std::vector<u8> raw(64 + pkt.size());
    memcpy(raw.data() + 64, pkt.data(), pkt.size());
    QV_BUF_S b{raw.data(), 64, (u32)raw.size(), (u32)pkt.size(), 0};
    EXPECT_GT((s32)proc.Send(h, b, 0, 0, nullptr), 0);
}

// The keep-alive drops the station peer's address after the station went silent. Until the
// station answers an 'H' again, what comes from its address is not taken as a new path of
// that peer (only the answer gives the path and our side of it); the first answer gives the
// path back and the station's data is delivered again.
TEST_F(Station, StationPeerDroppedForSilenceIsTakenBackByTheNextAnswer)
{
    auto ha = lab.AddHost(pub, "a");
    ASSERT_TRUE(lab.PinNeighbours({hs, ha}));
    int fd = OwnStation();
    ASSERT_GE(fd, 0);
    Start(ha);
    u32 h = proc.Add(sta, 77);
    ASSERT_NE(0u, h);
    const u16 port = (u16)probe.Udp4Port();
    const QV_ADDR_S self = V4(ha.ip4, port);
    auto answerNextAsk = [&] {
        std::string d;
        for (int i = 0; i < 100; i++) {
            if (!kvlab::UdpRecv(fd, 5000, &d))
                break;
            if (d.size() == 212 && d[1] == 'H')
                return kvlab::UdpSend(fd, ha.ip4, port, Reply(self));
        }
        return false;
    };
    auto stationSays = [&](const std::string& text) {
        return kvlab::UdpSend(fd, ha.ip4, port, std::string("\x00\x05", 2) + text);
    };
    auto delivered = [&](const std::string& text) { return sock.Got("77:" + std::string("\x00\x05", 2) + text); };
    auto direct = [&] { return (probe.Status(h) & QV_PEER_STA_DIRECT) != 0; };
    Ask({sta});
    ASSERT_TRUE(answerNextAsk());
    ASSERT_TRUE(kvlab::WaitUntil([&] { return direct() && sock.Connected(77); }, 10000));
    ASSERT_TRUE(stationSays("one"));
    ASSERT_TRUE(kvlab::WaitUntil([&] { return delivered("one"); }, 5000));

    // The socket layer hears nothing more from the station: its keep-alive check once a tick
    // until the station peer's address is gone.
    probe.Freeze();
    for (u32 t = 0; t < 30 && probe.AddrCount(h); t++) {
        EXPECT_EQ(1u, proc.Ctrl(h, 0, 0));
        probe.Tick(1);
    }
    ASSERT_EQ(0u, probe.AddrCount(h));
    EXPECT_FALSE(direct());
    // The next tick asks the station again.
    probe.Tick(1);
    probe.Thaw();
    const u32 skips = LogLines().Count("add skip main", hs.ip4);
    ASSERT_TRUE(stationSays("two"));
    ASSERT_TRUE(kvlab::WaitUntil([&] { return LogLines().Count("add skip main", hs.ip4) > skips; }, 5000));
    EXPECT_FALSE(delivered("two"));
    EXPECT_EQ(0u, probe.Locked([&] { return probe.AddrCount(h); }));

    ASSERT_TRUE(answerNextAsk());
    ASSERT_TRUE(kvlab::WaitUntil(direct, 10000));
    ASSERT_TRUE(stationSays("three"));
    EXPECT_TRUE(kvlab::WaitUntil([&] { return delivered("three"); }, 5000));
    EXPECT_TRUE(Same(MainOf(proc), self));
}

TEST_F(Station, HostBehindFullConeNatLearnsItsMapping)
{
    auto lan = lab.AddSegment("lan");
    auto nat = lab.AddNatRouter("nat", pub, lan, kvlab::NatType::FullCone);
    auto hb = lab.AddHost(lan, "b");
    ASSERT_TRUE(lab.PinNeighbours({hs, nat}));
    ASSERT_TRUE(lab.PinNeighbours({kvlab::Lab::End(hb), NeighEnd{nat, "lan", nat.lan4}}));
    StartServer(hs);
    Start(hb);
    Ask({sta});
    ASSERT_TRUE(kvlab::WaitUntil([&] { return MainOf(proc).uPort != 0; }, 15000));
    QV_ADDR_S m = MainOf(proc);
    EXPECT_TRUE(Same(m, V4(nat.ip4, m.uPort))) << Text(m);
    EXPECT_FALSE(Same(m, V4(hb.ip4, (u16)probe.Udp4Port())));
}

TEST_F(Station, RedirectIsFollowedOnceAndNotBouncedBack)
{
    auto h2 = lab.AddHost(pub, "srv2");
    auto ha = lab.AddHost(pub, "a");
    ASSERT_TRUE(lab.PinNeighbours({hs, h2, ha}));
    QV_ADDR_S sta2 = V4(h2.ip4, kSrvPort);
    // Each names the other: the client goes to the second and stays there.
    StartServer(hs, {"--redirect", Text(sta2)});
    StartServer(h2, {"--redirect", Text(sta)});
    Start(ha);
    Ask({sta});
    ASSERT_TRUE(kvlab::WaitUntil([&] { return MainOf(proc).uPort != 0; }, 20000));
    EXPECT_TRUE(Same(MainOf(proc), V4(ha.ip4, (u16)probe.Udp4Port())));
    QV_ADDR_S cur{};
    EXPECT_EQ(1u, proc.GetCurProxy(cur));
    EXPECT_TRUE(Same(cur, sta2)) << Text(cur);
    EXPECT_EQ(1u, probe.Redirected());
}

TEST_F(Station, SilentStationIsAskedWithGrowingGapsAndItsDriverRenewed)
{
    auto ha = lab.AddHost(pub, "a");
    ASSERT_TRUE(lab.PinNeighbours({hs, ha}));
    // A station that never answers.
    int fd = OwnStation();
    ASSERT_GE(fd, 0);
    Start(ha);
    probe.Freeze();
    Ask({sta});
    auto sends = [] { return LogLines().Count("SockCnntMainSendMsg: AddrStaPxy="); };
    auto relays = [] { return LogLines().Count("SockCnntMainSendMsg: AddrStaPxy=", "uTryRelay=1"); };
    auto drops = [] { return LogLines().Count("SocketProc: uDrivType=0,", "uFdMask=0"); };
    std::vector<u32> sentAt, relayAt, dropAt;
    for (u32 t = 0; t <= 820; t++) {
        u32 s0 = sends(), r0 = relays(), d0 = drops();
        probe.Tick(1);
        if (sends() != s0)
            sentAt.push_back(t);
        if (relays() != r0)
            relayAt.push_back(t);
        if (drops() != d0)
            dropAt.push_back(t);
    }
    // Gaps 1, 2, 4 ... 256 ticks, then 300; a station silent for 300 ticks while the driver has
    // been on as long gets the driver renewed instead of a request, and the silence is counted
    // afresh from the next request.
    EXPECT_EQ((std::vector<u32>{0, 1, 3, 7, 15, 31, 63, 127, 255, 811}), sentAt);
    EXPECT_EQ((std::vector<u32>{511}), dropAt);
    // From the fifth tick without an answer the request also tries the relay.
    EXPECT_EQ((std::vector<u32>{7, 15, 31, 63, 127, 255}), relayAt);
    probe.Thaw();
    std::string d;
    ASSERT_TRUE(kvlab::UdpRecv(fd, 5000, &d));
    ASSERT_EQ(212u, d.size());
    EXPECT_EQ('H', d[1]);
    EXPECT_EQ(std::string("alice"), std::string(&d[84]));
    QV_ADDR_S named{};
    memcpy(named.uAddr, &d[44], 16);
    named.uPort = (u16)(((u8)d[60] << 8) | (u8)d[61]);
    EXPECT_TRUE(Same(named, sta));
}

TEST_F(Station, RepliesThatMustNotBeTaken)
{
    auto ha = lab.AddHost(pub, "a");
    int fd = OwnStation();
    ASSERT_GE(fd, 0);
    Start(ha);
    probe.Freeze();
    QV_ADDR_S other = V4(hs.ip4, kSrvPort + 1);
    Ask({sta, other});
    QV_ADDR_S pub1 = V4("10.77.0.1", 4000), pub2 = V4("10.77.0.2", 4000);
    struct Case {
        const char* name;
        u32 driv;
        QV_ADDR_S from;
        std::string msg;
    };
    const Case refused[] = {
        {"from an address that is no station", 0, V4(hs.ip4, 9), Reply(pub1)},
        {"naming no public address", 0, sta, Reply(QV_ADDR_S{})},
        {"over IPv6 from an address no station has", 1, V6("64:ff9b::a01:b", kSrvPort), Reply(pub1)},
    };
    for (const Case& c : refused) {
        probe.MainReply(c.driv, c.from, c.msg);
        EXPECT_EQ(0u, MainOf(proc).uPort) << c.name;
        EXPECT_EQ(0xFFFFu, probe.StaIndex()) << c.name;
    }
    // A redirect pair with an IPv6 station in the IPv4 place is no redirect: the reply counts as
    // a plain one.
    QV_ADDR_S v6 = V6("fd00:9::1", kSrvPort);
    probe.MainReply(0, sta, Reply(pub1, &v6));
    EXPECT_TRUE(Same(MainOf(proc), pub1));
    EXPECT_EQ(0u, probe.Redirected());
    EXPECT_EQ(0u, probe.StaIndex());
    // Another station of the list cannot take over while this one is the station.
    probe.MainReply(0, other, Reply(pub2));
    EXPECT_TRUE(Same(MainOf(proc), pub1));
    // A reply over the relay within two ticks of the UDP one does not replace it.
    probe.MainReply(2, sta, Reply(pub2));
    EXPECT_TRUE(Same(MainOf(proc), pub1));
    EXPECT_EQ(0u, probe.MainDriv());
    EXPECT_TRUE(LogLines().Has("ThisStaMainAddrSet: uDrivType=2, update reject!"));
    // The relay cannot follow a redirect to another server.
    QV_ADDR_S far = V4("10.78.0.1", kSrvPort);
    probe.MainReply(2, sta, Reply(pub2, &far));
    EXPECT_EQ(0u, probe.Redirected());
    EXPECT_TRUE(LogLines().Has("Can not redirect to diff ip, AddrPxy=10.78.0.1"));
    // A redirect over UDP is followed: the pair replaces the list and the station is asked anew.
    probe.MainReply(0, sta, Reply(pub2, &far));
    EXPECT_EQ(1u, probe.Redirected());
    EXPECT_EQ(0xFFFFu, probe.StaIndex());
    EXPECT_EQ(0u, MainOf(proc).uPort);
    EXPECT_TRUE(Same(probe.StaAddr(0), far));
    // Hostile replies of every length from the station do no harm.
    for (u32 len = 84; len <= 130; len++) {
        std::string m = Msg('I', len);
        for (u32 i = 2; i < len; i++)
            m[i] = (char)(i * 37 + len);
        probe.MainReply(0, far, m);
    }
}

TEST_F(Station, Nat64IsLearntFromAReplyOverIPv6)
{
    auto ha = lab.AddHost(pub, "a");
    Start(ha);
    probe.Freeze();
    // A station given by its NAT64 address (64:ff9b::/96 holding 10.1.0.11).
    QV_ADDR_S v6 = V6("64:ff9b::a01:b", kSrvPort);
    Ask({v6});
    EXPECT_EQ(1u, probe.StaDriv(0));
    probe.MainReply(1, v6, Reply(V4("10.77.0.1", 4000)));
    // The station is an IPv4 one behind the NAT64 prefix now; the station state starts over.
    EXPECT_EQ(0u, probe.StaDriv(0));
    EXPECT_EQ(1u, probe.StaNat64(0));
    EXPECT_TRUE(Same(probe.StaAddr(0), V4("10.1.0.11", kSrvPort))) << Text(probe.StaAddr(0));
    EXPECT_EQ(0u, MainOf(proc).uPort);
    // A later reply in NAT64 form is not taken; one from the IPv4 station is.
    probe.MainReply(1, v6, Reply(V4("10.77.0.1", 4000)));
    EXPECT_EQ(0u, MainOf(proc).uPort);
    probe.MainReply(0, V4("10.1.0.11", kSrvPort), Reply(V4("10.77.0.1", 4000)));
    EXPECT_TRUE(Same(MainOf(proc), V4("10.77.0.1", 4000)));
    probe.Thaw();
    EXPECT_TRUE(kvlab::WaitUntil([&] { return sock.Reported(0, 7); }, 5000));
}

namespace {

// Bytes waiting in the receive queue of this namespace's IPv4 UDP socket bound to port.
u32 RxQueued(u16 port)
{
    u32 queued = 0;
    if (FILE* f = fopen("/proc/net/udp", "r")) {
        char line[512];
        while (fgets(line, sizeof(line), f)) {
            unsigned lport = 0, rx = 0;
            if (sscanf(line, " %*u: %*x:%x %*x:%*x %*x %*x:%x", &lport, &rx) == 2 && lport == port)
                queued = rx;
        }
        fclose(f);
    }
    return queued;
}

// Events of a socket layer: incoming handshakes and reports of a changed main address.
class LayerOwner : public IQVSocketOwner {
public:
    std::atomic<u32> news{0}, mainReports{0};
    u32 SocketProc(u32 e, u32, u32, u32, u32 v4, u32, u32, u32) override
    {
        if (e == QV_SOCK_EVENT_NEW)
            news++;
        if (e == QV_SOCK_EVENT_REPORT && v4 == 2)
            mainReports++;
        return 0;
    }
    void SocketTimer(u32) override {}
    void SocketDrop(u32) override {}
    void SocketSetParam(u32, u32, u32) override {}
    void SocketThreadStatus(u32) override {}
};

// A socket layer over its socket process, in a process of its own on the host whose address is
// ip4: the process thread is held while a peer's InitQ (from fdPeer) and then the station's 'I'
// (from fdSta) come in, so that it reads both in one pass. Prints "NEW <n> REPORT <n>" once the
// layer has reported both (or given up waiting), then cleans up.
int LayerReadsPeerAndStationInOnePass(const std::string& ip4, const QV_ADDR_S& sta, int fdSta, int fdPeer)
{
    if (!qvTimerInit(64))
        return 2;
    LayerOwner own;
    CQVSocket sock;
    IQVSocketLower* lower = qvSocketLowerNew(&sock);
    sock.SetLower(lower);
    sock.Attach(&own);
    CQVSocket::CFG_S cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.uTableSize = 16;
    for (u32 i = 0; i < 4; i++)
        cfg.uSendQue[i] = cfg.uRecvQue[i] = 16;
    sock.SetConfig(cfg);
    if (!lower->GetProc() || !sock.Initialize(nullptr))
        return 3;
    CQVSocketProc& proc = *lower->GetProc();
    CQVSocketProcProbe probe(proc);
    proc.SetSelfPeer("alice");
    proc.SetProxy(&sta, 1);
    const u16 port = (u16)probe.Udp4Port();
    std::string initQ = Msg(1, 188);
    memcpy(&initQ[12], "bob", 3);
    probe.Freeze();
    bool queued = kvlab::UdpSend(fdPeer, ip4, port, initQ) &&
                  kvlab::WaitUntil([&] { return RxQueued(port) != 0; }, 5000);
    const u32 first = RxQueued(port);
    queued = queued && kvlab::UdpSend(fdSta, ip4, port, Reply(V4("10.77.0.1", 4000))) &&
             kvlab::WaitUntil([&] { return RxQueued(port) > first; }, 5000);
    probe.Thaw();
    if (!queued)
        return 4;
    kvlab::WaitUntil([&] { return own.news.load() && own.mainReports.load(); }, 10000);
    printf("NEW %u REPORT %u\n", own.news.load(), own.mainReports.load());
    fflush(stdout);
    sock.Clean();
    delete lower;
    qvTimerClean();
    return 0;
}

u32 ReadNumber(const kvlab::Process& p, const std::string& key)
{
    std::string out = p.Output();
    size_t at = out.find(key);
    return at == std::string::npos ? 0 : (u32)strtoul(out.c_str() + at + key.size(), nullptr, 10);
}

// A client socket process in its own process: learns its main address from the station, prints
// "MAIN <ip> <port>", reads the other client's main address (char[64] IP, u32 port) from the
// pipe, adds it as a peer reached through the station and sends "hello from <me>" until the
// other's hello arrived; then goes on sending until the test writes one more byte. 0 when both
// ways worked.
int ClientMain(const std::string& me, const QV_ADDR_S& station, int pipeRd)
{
    kvlab::TempDir logDir;
    qvLogInit(0xF, logDir.Path().c_str(), "st", 0, 0);
    CQVSocketProc proc;
    CProcEvents sock;
    proc.Attach(&sock);
    auto cfg = Cfg();
    if (!proc.Initialize(nullptr, cfg))
        return 2;
    // The station's own peer: other peers are connected once it has a path.
    if (!proc.Add(station, 50))
        return 3;
    proc.SetSelfPeer(me.c_str());
    proc.SetProxy(&station, 1);
    if (!kvlab::WaitUntil([&] { return MainOf(proc).uPort != 0 && sock.Connected(50); }, 20000))
        return 4;
    QV_ADDR_S m = MainOf(proc);
    char ip[64] = {};
    inet_ntop(AF_INET, &m.uAddr[3], ip, sizeof(ip));
    printf("MAIN %s PORT %u\n", ip, m.uPort);
    fflush(stdout);
    u32 peerPort = 0;
    if (read(pipeRd, ip, sizeof(ip)) != (ssize_t)sizeof(ip) || read(pipeRd, &peerPort, 4) != 4)
        return 5;
    u32 h = proc.Add(V4(ip, (u16)peerPort), 77);
    if (!h || !proc.SetPeerProxy(h, &station, nullptr))
        return 6;
    std::string hello = std::string("\x00\x05", 2) + "hello from " + me;
    std::vector<u8> raw(64 + hello.size());
    memcpy(raw.data() + 64, hello.data(), hello.size());
    QV_BUF_S b{raw.data(), 64, (u32)raw.size(), (u32)hello.size(), 0};
    bool connected = kvlab::WaitUntil([&] { return sock.Connected(77); }, 30000);
    bool got = kvlab::WaitUntil([&] {
        proc.Send(h, b, 0, 0, nullptr);
        usleep(50 * 1000);
        return sock.Got("77:") && sock.Got("hello from");
    }, 20000);
    printf("HEARD %d\n", got ? 1 : 0);
    fflush(stdout);
    for (int i = 0; i < 600; i++) {
        proc.Send(h, b, 0, 0, nullptr);
        pollfd pf{pipeRd, POLLIN, 0};
        if (poll(&pf, 1, 50) > 0)
            break;
    }
    printf("CONNECTED %d GOT %d\n", connected ? 1 : 0, got ? 1 : 0);
    fflush(stdout);
    proc.Clean();
    return connected && got ? 0 : 7;
}

void TellPeer(int fd, const kvlab::Process& other)
{
    std::string out = other.Output();
    size_t at = out.find("MAIN ");
    ASSERT_NE(std::string::npos, at);
    char ip[64] = {};
    ASSERT_EQ(1, sscanf(out.c_str() + at, "MAIN %63s", ip));
    u32 port = ReadNumber(other, " PORT ");
    ASSERT_EQ((ssize_t)sizeof(ip), write(fd, ip, sizeof(ip)));
    ASSERT_EQ(4, write(fd, &port, 4));
}

// Two clients on hosts a and b find each other through the server on hs.
void Meet(kvlab::Lab& lab, const kvlab::Host& ha, const kvlab::Host& hb, const QV_ADDR_S& sta)
{
    int pa[2], pb[2];
    ASSERT_EQ(0, pipe(pa));
    ASSERT_EQ(0, pipe(pb));
    auto a = lab.RunIn(ha, [&] { return ClientMain("alice", sta, pa[0]); });
    auto b = lab.RunIn(hb, [&] { return ClientMain("bob", sta, pb[0]); });
    ASSERT_TRUE(a.WaitOutput("MAIN ", 30000)) << a.Output();
    ASSERT_TRUE(b.WaitOutput("MAIN ", 30000)) << b.Output();
    TellPeer(pa[1], b);
    TellPeer(pb[1], a);
    EXPECT_TRUE(a.WaitOutput("HEARD", 60000)) << a.Output();
    EXPECT_TRUE(b.WaitOutput("HEARD", 60000)) << b.Output();
    EXPECT_EQ(1, write(pa[1], "s", 1));
    EXPECT_EQ(1, write(pb[1], "s", 1));
    int rc = -1;
    EXPECT_TRUE(a.Wait(20000, &rc));
    EXPECT_EQ(0, rc) << a.Output();
    EXPECT_TRUE(b.Wait(20000, &rc));
    EXPECT_EQ(0, rc) << b.Output();
    for (int fd : {pa[0], pa[1], pb[0], pb[1]})
        close(fd);
}

}  // namespace

// A station's reply that changes the main address, read in the same pass as a peer's handshake
// that the socket layer holds until the end of the pass: the layer gets both, although taking
// the handshake calls back into the process from within the report.
TEST_F(Station, ReplyReadInOnePassWithAPeersHandshakeReachesTheSocketLayer)
{
    auto ha = lab.AddHost(pub, "a");
    ASSERT_TRUE(lab.PinNeighbours({hs, ha}));
    int fdSta = OwnStation();
    ASSERT_GE(fdSta, 0);
    int fdPeer = kvlab::UdpOpen(hs.ns, hs.ip4, kSrvPort + 1);
    ASSERT_GE(fdPeer, 0);
    fds.push_back(fdPeer);
    auto p = lab.RunIn(ha, [&] { return LayerReadsPeerAndStationInOnePass(ha.ip4, sta, fdSta, fdPeer); });
    EXPECT_TRUE(p.WaitOutput("NEW 1 REPORT 1", 30000)) << p.Output();
    int rc = -1;
    EXPECT_TRUE(p.Wait(20000, &rc)) << p.Output();
    EXPECT_EQ(0, rc) << p.Output();
}

TEST_F(Station, TwoPublicClientsMeetThroughTheServerStation)
{
    auto ha = lab.AddHost(pub, "a");
    auto hb = lab.AddHost(pub, "b");
    ASSERT_TRUE(lab.PinNeighbours({hs, ha, hb}));
    StartServer(hs);
    Meet(lab, ha, hb, sta);
}

TEST_F(Station, ClientBehindFullConeNatMeetsAPublicOne)
{
    auto lan = lab.AddSegment("lan");
    auto nat = lab.AddNatRouter("nat", pub, lan, kvlab::NatType::FullCone);
    auto ha = lab.AddHost(pub, "a");
    auto hb = lab.AddHost(lan, "b");
    ASSERT_TRUE(lab.PinNeighbours({hs, ha, nat}));
    ASSERT_TRUE(lab.PinNeighbours({kvlab::Lab::End(hb), NeighEnd{nat, "lan", nat.lan4}}));
    StartServer(hs);
    Meet(lab, ha, hb, sta);
}
