// Proves the network lab that the transport and tunnel tests stand on: LAN reachability
// (IPv4, IPv6, broadcast), the four NAT behaviours, input loss, running code inside hosts and
// clean-up.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "kvLab.h"

using namespace kvlab;

namespace {

// Generous for datagrams that must arrive (a loaded machine may hold them back for a while,
// the first to a host also for neighbour resolution); short for those that must not (a
// dropped datagram can only be shown by waiting, and everything here is on one machine).
const int kArriveMs = 15000;
const int kAbsentMs = 300;
// A datagram that must arrive is sent again after this long without it.
const int kResendMs = 250;
// How long a batch must stay silent before it counts as complete.
const int kSettleMs = 2000;
// For whatever else must happen (a child to finish, a state to be reached); a loaded machine
// may take long, and the deadline costs nothing when the condition comes true early.
const int kEventuallyMs = 30000;

struct Sock {
    int fd = -1;
    explicit Sock(int f) : fd(f) {}
    ~Sock() { if (fd >= 0) close(fd); }
    Sock(const Sock&) = delete;
    Sock& operator=(const Sock&) = delete;
};

bool NsExists(const std::string& ns)
{
    return std::filesystem::exists("/var/run/netns/" + ns);
}

// Waits up to timeoutMs for a datagram with exactly this content; others are skipped, so that
// a second copy or a straggler of an earlier step is never taken for the one awaited.
bool RecvPayload(int fd, const std::string& payload, int timeoutMs, std::string* pFrom = nullptr,
                 uint16_t* pPort = nullptr)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now()).count();
        std::string data;
        if (!UdpRecv(fd, left > 0 ? static_cast<int>(left) : 0, &data, pFrom, pPort))
            return false;
        if (data == payload)
            return true;
    }
}

// Sends a datagram that must arrive at toFd, again and again until it does (true) or
// kArriveMs passed (false). Even between namespaces a datagram may be lost on a loaded
// machine: the kernel drops what exceeds its per-CPU receive backlog, which all programs on
// the machine share.
bool Deliver(int fromFd, const std::string& addr, uint16_t port, int toFd,
             const std::string& payload, std::string* pFrom = nullptr, uint16_t* pPort = nullptr)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kArriveMs);
    do {
        if (!UdpSend(fromFd, addr, port, payload))
            return false;
        if (RecvPayload(toFd, payload, kResendMs, pFrom, pPort))
            return true;
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

// What the lab's namespaces look like now: their links and neighbours, to explain a datagram
// that did not arrive.
std::string LabState(const Lab& lab)
{
    std::string out;
    for (const std::string& ns : lab.Namespaces()) {
        out += "--- " + ns + (NsExists(ns) ? "\n" : " (gone)\n");
        Sh("ip -n " + ns + " -br link; ip -n " + ns + " neigh", &out);
    }
    return out;
}

// Sends a datagram that must not arrive at toFd; true when it did not within kAbsentMs.
bool Blocked(int fromFd, const std::string& addr, uint16_t port, int toFd,
             const std::string& payload)
{
    return UdpSend(fromFd, addr, port, payload) && !RecvPayload(toFd, payload, kAbsentMs);
}

}  // namespace

TEST(Lab, LanHostsReachEachOtherOverIpv4Ipv6AndBroadcast)
{
    KV_LAB_REQUIRE();
    Lab lab;
    Segment lan = lab.AddSegment("lan");
    Host a = lab.AddHost(lan, "a");
    Host b = lab.AddHost(lan, "b");
    ASSERT_NE(a.ip4, b.ip4);

    struct Case { const char* what; std::string bindA, bindB, to; };
    const Case cases[] = {
        {"ipv4", "", "", b.ip4},
        {"ipv6", "::", "::", b.ip6},
        {"broadcast", "", "", lan.broadcast4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sock sa(UdpOpen(a.ns, c.bindA, 0));
        Sock sb(UdpOpen(b.ns, c.bindB, 0));
        ASSERT_GE(sa.fd, 0);
        ASSERT_GE(sb.fd, 0);
        std::string from;
        uint16_t port = 0;
        ASSERT_TRUE(Deliver(sa.fd, c.to, UdpPort(sb.fd), sb.fd, c.what, &from, &port))
            << LabState(lab);
        EXPECT_EQ(from, c.bindA == "::" ? a.ip6 : a.ip4);
        EXPECT_EQ(port, UdpPort(sa.fd));
    }
}

// One inside socket talks to two servers; the mapped endpoints show the mapping rule, and
// datagrams from endpoints the host never addressed show the filtering rule.
TEST(Lab, NatTypesMapAndFilterAsTheirKind)
{
    KV_LAB_REQUIRE();
    Lab lab;
    Segment pub = lab.AddSegment("pub");
    Host srv = lab.AddHost(pub, "srv", 3);
    ASSERT_EQ(srv.ip4s.size(), 3u);
    Segment lanA = lab.AddSegment("lana");
    Host nat = lab.AddNatRouter("nata", pub, lanA, NatType::PortRestricted);
    Host a = lab.AddHost(lanA, "a");

    struct Case {
        NatType type;
        const char* name;
        bool sameMapping;     // one outside port for every destination
        bool otherPortPasses; // a new port on an address the host sent to may send in
        bool otherAddrPasses; // an address the host never sent to may send in
    };
    const Case cases[] = {
        {NatType::FullCone, "full cone", true, true, true},
        {NatType::RestrictedCone, "restricted cone", true, true, false},
        {NatType::PortRestricted, "port-restricted cone", true, false, false},
        {NatType::Symmetric, "symmetric", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(lab.SetNat(nat, c.type));
        Sock in(UdpOpen(a.ns, "", 0));
        Sock s1(UdpOpen(srv.ns, srv.ip4s[0], 3478));
        Sock s1b(UdpOpen(srv.ns, srv.ip4s[0], 3479));
        Sock s2(UdpOpen(srv.ns, srv.ip4s[1], 3478));
        Sock s3(UdpOpen(srv.ns, srv.ip4s[2], 3478));
        ASSERT_TRUE(in.fd >= 0 && s1.fd >= 0 && s1b.fd >= 0 && s2.fd >= 0 && s3.fd >= 0);

        std::string from1, from2;
        uint16_t port1 = 0, port2 = 0;
        ASSERT_TRUE(Deliver(in.fd, srv.ip4s[0], 3478, s1.fd, "one", &from1, &port1))
            << LabState(lab);
        ASSERT_TRUE(Deliver(in.fd, srv.ip4s[1], 3478, s2.fd, "two", &from2, &port2))
            << LabState(lab);
        EXPECT_EQ(from1, nat.ip4);
        EXPECT_EQ(from2, nat.ip4);
        EXPECT_EQ(port1 == port2, c.sameMapping) << port1 << " vs " << port2;

        // Filtering of unsolicited datagrams to the first mapping.
        if (c.otherPortPasses)
            EXPECT_TRUE(Deliver(s1b.fd, nat.ip4, port1, in.fd, "other port")) << LabState(lab);
        else
            EXPECT_TRUE(Blocked(s1b.fd, nat.ip4, port1, in.fd, "other port"));
        if (c.otherAddrPasses)
            EXPECT_TRUE(Deliver(s3.fd, nat.ip4, port1, in.fd, "other address")) << LabState(lab);
        else
            EXPECT_TRUE(Blocked(s3.fd, nat.ip4, port1, in.fd, "other address"));
        // The endpoint the host addressed always gets through.
        EXPECT_TRUE(Deliver(s1.fd, nat.ip4, port1, in.fd, "reply")) << LabState(lab);
    }
}

// Mapping lifetime is per namespace: a short UDP timeout lets an idle full-cone mapping (its
// conntrack entry and its cone map entry) expire within a test.
TEST(Lab, UdpTimeoutEndsIdleMappings)
{
    KV_LAB_REQUIRE();
    Lab lab;
    Segment pub = lab.AddSegment("pub");
    Host srv = lab.AddHost(pub, "srv", 2);
    Segment lanA = lab.AddSegment("lana");
    Host nat = lab.AddNatRouter("nata", pub, lanA, NatType::FullCone);
    Host a = lab.AddHost(lanA, "a");
    ASSERT_TRUE(lab.SetUdpTimeout(nat, 1));
    Sock in(UdpOpen(a.ns, "", 0));
    Sock s1(UdpOpen(srv.ns, srv.ip4s[0], 3478));
    Sock s2(UdpOpen(srv.ns, srv.ip4s[1], 3478));
    uint16_t port = 0;
    ASSERT_TRUE(Deliver(in.fd, srv.ip4s[0], 3478, s1.fd, "map", nullptr, &port)) << LabState(lab);
    // Waits without traffic (a probe datagram would refresh the mapping).
    ASSERT_TRUE(WaitUntil([&] {
        std::string out;
        lab.Exec(nat, "conntrack -L -p udp 2>/dev/null; nft list map ip kvnat cone", &out);
        return out.find("udp") == std::string::npos && out.find("elements") == std::string::npos;
    }, kEventuallyMs));
    EXPECT_TRUE(Blocked(s2.fd, nat.ip4, port, in.fd, "late"));
}

TEST(Lab, Ipv6IsRoutedThroughTheRouterWithoutTranslation)
{
    KV_LAB_REQUIRE();
    Lab lab;
    Segment pub = lab.AddSegment("pub");
    Host srvEarly = lab.AddHost(pub, "srv1");  // before the router: gets the route later
    Segment lanA = lab.AddSegment("lana");
    lab.AddNatRouter("nata", pub, lanA, NatType::Symmetric);
    Host a = lab.AddHost(lanA, "a");
    Host srvLate = lab.AddHost(pub, "srv2");  // after the router
    for (const Host* srv : {&srvEarly, &srvLate}) {
        SCOPED_TRACE(srv->name);
        Sock sa(UdpOpen(a.ns, "::", 0));
        Sock ss(UdpOpen(srv->ns, "::", 0));
        std::string from;
        uint16_t port = 0;
        ASSERT_TRUE(Deliver(sa.fd, srv->ip6, UdpPort(ss.fd), ss.fd, "hello", &from, &port))
            << LabState(lab);
        EXPECT_EQ(from, a.ip6);
        EXPECT_EQ(port, UdpPort(sa.fd));
        EXPECT_TRUE(Deliver(ss.fd, from, port, sa.fd, "back")) << LabState(lab);
    }
}

TEST(Lab, LossDropsPartOfTheInputOnly)
{
    KV_LAB_REQUIRE();
    Lab lab;
    Segment lan = lab.AddSegment("lan");
    Host a = lab.AddHost(lan, "a");
    Host b = lab.AddHost(lan, "b");
    Sock sa(UdpOpen(a.ns, "", 0));
    Sock sb(UdpOpen(b.ns, "", 0));
    // Neighbour resolution first, so that no batch waits for it.
    ASSERT_TRUE(Deliver(sa.fd, b.ip4, UdpPort(sb.fd), sb.fd, "resolve")) << LabState(lab);
    // Each batch has its own payload, so that a straggler of an earlier batch is never counted
    // in a later one. The count ends when the whole batch came or when nothing more came for
    // waitMs.
    int batch = 0;
    auto countArrived = [&](int n, int waitMs) {
        const std::string payload = "batch " + std::to_string(++batch);
        for (int i = 0; i < n; ++i)
            EXPECT_TRUE(UdpSend(sa.fd, b.ip4, UdpPort(sb.fd), payload));
        int got = 0;
        std::string data;
        while (got < n && UdpRecv(sb.fd, waitMs, &data))
            got += data == payload;
        return got;
    };
    ASSERT_TRUE(lab.SetLoss(b, 50));
    int got = countArrived(200, kSettleMs);
    EXPECT_GT(got, 20);   // about 100 expected; only a broken rule leaves the wide band
    EXPECT_LT(got, 180);
    // Sending never fails under loss: the drop happens at the receiver.
    ASSERT_TRUE(lab.SetLoss(b, 100));
    EXPECT_EQ(countArrived(20, kAbsentMs), 0);
    // Without loss every datagram of a batch arrives. A loaded machine may drop a few on its
    // own, so a batch may be tried again; under any loss worth the name a whole batch of 50
    // never comes through.
    ASSERT_TRUE(lab.SetLoss(b, 0));
    int whole = 0;
    for (int i = 0; i < 3 && whole != 50; ++i)
        whole = countArrived(50, kSettleMs);
    EXPECT_EQ(whole, 50);
}

TEST(Lab, RunsCodeAndProgramsInsideHosts)
{
    KV_LAB_REQUIRE();
    Lab lab;
    Segment lan = lab.AddSegment("lan");
    Host a = lab.AddHost(lan, "a");
    ASSERT_TRUE(lab.SetHosts(a, "10.99.0.7 kvlab-test-name\n"));

    // A forked function sees the host's interfaces and its hosts file; its exit code and
    // output come back.
    Process fn = lab.RunIn(a, [&] {
        std::string out;
        Sh("ip -4 addr show dev eth0; getent hosts kvlab-test-name", &out);
        printf("%s", out.c_str());
        return 7;
    });
    int rc = -1;
    ASSERT_TRUE(fn.Wait(kEventuallyMs, &rc));
    EXPECT_EQ(rc, 7);
    EXPECT_NE(fn.Output().find(a.ip4), std::string::npos) << fn.Output();
    EXPECT_NE(fn.Output().find("10.99.0.7"), std::string::npos) << fn.Output();

    // A spawned program, its output captured while it runs; killing ends it.
    Process prog = lab.SpawnIn(a, {"sh", "-c", "echo started; ip -6 addr show dev eth0; sleep 60"});
    ASSERT_TRUE(prog.WaitOutput("started", kEventuallyMs));
    EXPECT_TRUE(prog.WaitOutput(a.ip6, kEventuallyMs)) << prog.Output();
    EXPECT_FALSE(prog.Wait(50));
    EXPECT_TRUE(prog.Running());
    prog.Kill();
    EXPECT_FALSE(prog.Running());
    EXPECT_EQ(prog.ExitCode(), 128 + 9);

    // A private tmpfs hides a directory from the test machine.
    const std::string probe = "/var/kvlab-probe-" + std::to_string(getpid());
    RunOptions opt;
    opt.tmpfs = {"/var"};
    opt.env = {"KVLAB_PROBE=yes"};
    Process priv = RunChild(opt, [&] {
        std::ofstream(probe) << "x";
        return std::filesystem::exists(probe) && getenv("KVLAB_PROBE") ? 0 : 1;
    });
    ASSERT_TRUE(priv.Wait(kEventuallyMs, &rc));
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(std::filesystem::exists(probe));

    // A program that cannot start reports 127.
    Process bad = SpawnChild({}, {"/nonexistent/kvlab-program"});
    ASSERT_TRUE(bad.Wait(kEventuallyMs, &rc));
    EXPECT_EQ(rc, 127);
}

TEST(Lab, CleanupRemovesNamespacesEvenWithProcessesInside)
{
    KV_LAB_REQUIRE();
    std::vector<std::string> made;
    {
        Lab lab;
        Segment lan = lab.AddSegment("lan");
        Host a = lab.AddHost(lan, "a");
        Segment pub = lab.AddSegment("pub");
        lab.AddNatRouter("nat", pub, lan, NatType::FullCone);
        lab.SetHosts(a, "10.1.0.1 gw\n");
        made = lab.Namespaces();
        ASSERT_EQ(made.size(), 4u);
        for (auto& ns : made)
            EXPECT_EQ(ns.rfind(lab.Prefix(), 0), 0u) << ns;
        // Left running on purpose: the lab must kill it to delete the namespace.
        Process p = lab.SpawnIn(a, {"sleep", "60"});
        ASSERT_TRUE(p.Valid());
        ASSERT_TRUE(WaitUntil([&] {
            std::string pids;
            Sh("ip netns identify " + std::to_string(p.Pid()), &pids);
            return pids.find(a.ns) != std::string::npos;
        }, kEventuallyMs));
        EXPECT_TRUE(lab.Cleanup());
        EXPECT_FALSE(p.Running());
    }
    for (auto& ns : made) {
        EXPECT_FALSE(NsExists(ns)) << ns;
        EXPECT_FALSE(std::filesystem::exists("/etc/netns/" + ns)) << ns;
    }
}

TEST(Lab, StaleNamespacesOfDeadProcessesAreRemoved)
{
    KV_LAB_REQUIRE();
    std::string mine = "kvl" + std::to_string(getpid()) + "-99-alive";
    ASSERT_EQ(Sh("ip netns add " + mine), 0);
    // A pid that surely ended: a child we reaped. Pids are reused, though, and a new process
    // may take it before the lab looks; the namespace is then rightly kept, so try again.
    bool removed = false;
    for (int attempt = 0; attempt < 5 && !removed; ++attempt) {
        Process dead = RunChild({}, [] { return 0; });
        ASSERT_TRUE(dead.Wait(kEventuallyMs));
        std::string stale = "kvl" + std::to_string(dead.Pid()) + "-0-stale";
        // A lab of a test program running beside this one may clean the stale namespace away
        // while it is being made; that is the behaviour under test, so just make it again.
        bool made = false;
        for (int i = 0; i < 5 && !made; ++i)
            made = Sh("ip netns add " + stale) == 0;
        ASSERT_TRUE(made);
        {
            Lab lab;
            removed = !NsExists(stale);
            EXPECT_TRUE(NsExists(mine));  // its owner still lives
        }
        Sh("ip netns del " + stale + " 2>/dev/null");
    }
    EXPECT_TRUE(removed);
    Sh("ip netns del " + mine);
}
