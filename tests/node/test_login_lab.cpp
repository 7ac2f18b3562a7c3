// Nodes logging in to the test rendezvous server (kv_rendezvous) over real sockets in the
// network lab: each node is a tool_login_node process in a lab host, driven through its
// control FIFO; the node seconds of the login timers are driven by "tick" commands.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "kvDriven.h"
#include "kvLab.h"

namespace {

const char* kSrvName = "kvserver";
const int kLong = 30000;   // ms: logins and connections through the station

// The FIFO-driven lab program, with the commands these tests use.
class Driven : public kvlab::Driven {
public:
    // Runs "state" and waits for the answer to contain the text (asked again until it does;
    // ms 0: asked once).
    bool State(const std::string& arg, const std::string& text, int ms = kLong)
    {
        return kvlab::WaitUntil([&] {
            size_t before = Count("node: state ");
            Cmd("state " + arg);
            if (!WaitCount("node: state ", before + 1, 5000))
                return false;
            std::string out = p.Output();
            size_t at = out.rfind("node: state ");
            return out.find(text, at) != std::string::npos && out.find(text, at) < out.find('\n', at);
        }, ms);
    }
};

class LoginLab : public ::testing::Test {
protected:
    void SetUp() override { KV_LAB_REQUIRE(); }
    void TearDown() override
    {
        for (Driven* d : {&srv, &a, &b})
            kvlab::ExpectNoSanitizerReport(d->p);
    }
    void StartServer(const kvlab::Host& h)
    {
        srvAddr = h.ip4 + ":7781";
        srv = Driven();
        srv.Start(lab, h,
                  {KV_TOOL_DIR "/kv_rendezvous", "--addr", srvAddr, "--name", kSrvName, "--account",
                   "alice:pw:3", "--account", "bob:pw", "--expire", "20"},
                  dir.Path() + "/srv" + std::to_string(++srvRuns));
        ASSERT_TRUE(srv.Wait("kvsrv: ready", 10000)) << srv.Out();
    }
    void StartNode(Driven& d, const kvlab::Host& h, const std::string& tag, const std::string& lanId = "")
    {
        std::vector<std::string> argv = {KV_TOOL_DIR "/tool_login_node", "--server", srvAddr, "--name", kSrvName};
        if (!lanId.empty())
            argv.insert(argv.end(), {"--lan", lanId});
        d.Start(lab, h, argv, dir.Path() + "/" + tag);
        ASSERT_TRUE(d.Wait("node: ready", 10000)) << d.Out();
    }
    void Login(Driven& d, const std::string& user)
    {
        d.Cmd("login " + user + " pw");
        ASSERT_TRUE(d.Wait("node: reply obj=kvserver err=0", kLong)) << d.Out();
    }
    // The server and the hosts of nodes a and b on one segment, whose LAN scans reach only
    // each other; the server runs, the nodes are left to the test.
    void LanPair(kvlab::Host& ha, kvlab::Host& hb)
    {
        auto pub = lab.AddSegment("pub");
        auto hs = lab.AddHost(pub, "srv");
        ha = lab.AddHost(pub, "a");
        hb = lab.AddHost(pub, "b");
        ASSERT_TRUE(lab.PinNeighbours({hs, ha, hb}));
        ASSERT_TRUE(lab.QuietScans({ha, hb}));
        ASSERT_NO_FATAL_FAILURE(StartServer(hs));
    }
    // The server and nodes a (alice) and b (bob) on one public segment, both logged in.
    void PublicPair()
    {
        auto pub = lab.AddSegment("pub");
        auto hs = lab.AddHost(pub, "srv");
        auto ha = lab.AddHost(pub, "a");
        auto hb = lab.AddHost(pub, "b");
        ASSERT_TRUE(lab.PinNeighbours({hs, ha, hb}));
        ASSERT_NO_FATAL_FAILURE(StartServer(hs));
        ASSERT_NO_FATAL_FAILURE(StartNode(a, ha, "a"));
        ASSERT_NO_FATAL_FAILURE(StartNode(b, hb, "b"));
        ASSERT_NO_FATAL_FAILURE(Login(a, "alice"));
        ASSERT_NO_FATAL_FAILURE(Login(b, "bob"));
    }
    // Lines of the server's output that hold every one of the texts.
    size_t SrvLines(const std::vector<std::string>& texts)
    {
        std::string out = srv.Out();
        size_t n = 0, at = 0;
        while (at < out.size()) {
            size_t end = out.find('\n', at);
            std::string line = out.substr(at, end == std::string::npos ? std::string::npos : end - at);
            bool all = true;
            for (const std::string& t : texts)
                all = all && line.find(t) != std::string::npos;
            n += all;
            if (end == std::string::npos)
                break;
            at = end + 1;
        }
        return n;
    }
    // The node's login goes through one keep-alive, driven by ticks: node seconds pass one by
    // one until the keep-alive goes out and the server hears it; once the server's answer is in,
    // the node runs on for most of a period and is still logged in, its silence check cleared.
    void KeepAlive(Driven& d, const std::string& user)
    {
        ASSERT_TRUE(d.State("", "answered=1 ", 10000)) << d.Out();
        size_t before = SrvLines({"keepalive", "user=" + user});
        // One second at a time until the keep-alive is out (its age starts again from 0), and
        // not one more, however long the server then takes to hear it.
        bool out = false;
        for (int i = 0; i < 25 && !out; i++) {
            d.Cmd("tick 1");
            out = d.State("", " age=0\n", 0);
        }
        ASSERT_TRUE(out) << d.Out();
        ASSERT_TRUE(kvlab::WaitUntil([&] { return SrvLines({"keepalive", "user=" + user}) > before; }, 10000))
            << srv.Out();
        ASSERT_TRUE(d.State("", "answered=1 ", 10000)) << d.Out() << srv.Out();
        d.Cmd("tick 18");
        ASSERT_TRUE(d.State("", "login=3 ")) << d.Out() << srv.Out();
        ASSERT_TRUE(d.State("", "active=0 ")) << d.Out();
    }
    // Both nodes know each other through the server, are connected and in sync, and their
    // "chat" objects exchange a message each way. The peer-information report (a path is up:
    // its class is not 0) goes to the owner once the path settled.
    void ConnectAndChat(Driven& x, const std::string& xn, Driven& y, const std::string& yn)
    {
        x.Cmd("peer " + yn);
        // Both sides' logs: what one side sent the other may never have heard.
        ASSERT_TRUE(x.State(yn, "peer=3 ")) << x.Out() << "\n--- " << yn << "\n" << y.Out();
        ASSERT_TRUE(y.State(xn, "peer=3 ")) << y.Out() << "\n--- " << xn << "\n" << x.Out();
        ASSERT_TRUE(srv.Wait("status from=" + xn + " peer=" + yn)) << srv.Out();
        x.Cmd("chat " + yn);
        y.Cmd("chat " + xn);
        bool said = kvlab::WaitUntil([&] {
            x.Cmd("say hello-from-" + xn);
            return y.Wait("text=hello-from-" + xn, 1000);
        }, kLong);
        y.Cmd("stat");
        y.Wait("node: stat", 3000);
        ASSERT_TRUE(said) << y.Out();
        ASSERT_TRUE(kvlab::WaitUntil([&] {
            y.Cmd("say hello-from-" + yn);
            return x.Wait("text=hello-from-" + yn, 1000);
        }, kLong)) << y.Out();
        EXPECT_TRUE(x.Wait("chat from=" + yn + " text=hello-from-" + yn));
        EXPECT_TRUE(x.Wait("ext obj=" + yn + " method=38 param= size=128 u32=0,")) << x.Out();
        EXPECT_EQ(0u, x.Count("ext obj=" + yn + " method=38 param= size=128 u32=0,0\n")) << x.Out();
    }

    kvlab::Lab lab;
    kvlab::TempDir dir;
    std::string srvAddr;
    int srvRuns = 0;
    Driven srv, a, b;
};

}  // namespace

TEST_F(LoginLab, PublicNodesLogInStayLoggedInResolveConnectAndChat)
{
    ASSERT_NO_FATAL_FAILURE(PublicPair());
    EXPECT_TRUE(a.Wait("type=3 ")) << a.Out();
    EXPECT_TRUE(a.Wait("version=kv-rendezvous 1.0")) << a.Out();
    ASSERT_TRUE(a.State("", "login=3 mode=2 ")) << a.Out();
    ASSERT_TRUE(a.State("", "expire=20 ")) << a.Out();
    ASSERT_NO_FATAL_FAILURE(ConnectAndChat(a, "alice", b, "bob"));
    // Node time from here on runs only by ticks: two keep-alive periods keep the login.
    a.Cmd("clock 0");
    ASSERT_TRUE(a.Wait("node: clock 0"));
    ASSERT_NO_FATAL_FAILURE(KeepAlive(a, "alice"));
    ASSERT_NO_FATAL_FAILURE(KeepAlive(a, "alice"));
    ASSERT_NO_FATAL_FAILURE(KeepAlive(a, "alice"));
    EXPECT_EQ(1u, srv.Count("login ok user=alice"));
    // Connecting the two nodes took a handful of connect requests, not a stream of them.
    EXPECT_LT(a.Count("SockCnntRequest:") + b.Count("SockCnntRequest:"), 40u);
}

TEST_F(LoginLab, BadPasswordKickOutAndAServerRestart)
{
    auto pub = lab.AddSegment("pub");
    auto hs = lab.AddHost(pub, "srv");
    auto ha = lab.AddHost(pub, "a");
    auto hb = lab.AddHost(pub, "b");
    ASSERT_TRUE(lab.PinNeighbours({hs, ha, hb}));
    ASSERT_NO_FATAL_FAILURE(StartServer(hs));
    // Node a logs in with the password's digest text, node b first with a wrong password.
    a.Start(lab, ha, {KV_TOOL_DIR "/tool_login_node", "--server", srvAddr, "--name", kSrvName, "--digest"},
            dir.Path() + "/a");
    ASSERT_TRUE(a.Wait("node: ready", 10000)) << a.Out();
    ASSERT_NO_FATAL_FAILURE(StartNode(b, hb, "b"));
    b.Cmd("login bob wrong");
    ASSERT_TRUE(b.Wait("node: reply obj=kvserver err=9")) << b.Out();
    ASSERT_TRUE(srv.Wait("login fail user=bob err=9")) << srv.Out();
    b.Cmd("logout");
    ASSERT_TRUE(b.Wait("node: logout r=0")) << b.Out();
    ASSERT_NO_FATAL_FAILURE(Login(b, "bob"));
    ASSERT_NO_FATAL_FAILURE(Login(a, "alice"));
    // A kick-out goes up to the owner on the self object; the login itself stays as it is.
    srv.Cmd("kick alice 5");
    ASSERT_TRUE(a.Wait("node: ext obj=alice method=47 param=kvserver size=24 u32=5")) << a.Out();
    ASSERT_TRUE(a.State("", "login=3 ")) << a.Out();

    // The server goes away. Node time runs by ticks from here: each node sends its keep-alive,
    // hears nothing for Expire / 2 s and logs in again; the tries time out (15 s) and the next
    // ones wait 1 s, then 10 s.
    srv.p.Kill();
    for (Driven* d : {&a, &b}) {
        d->Cmd("clock 0");
        ASSERT_TRUE(d->Wait("node: clock 0"));
        // The silence is measured in the transport's whole seconds: one has to pass without a
        // packet from the server before node time jumps.
        ASSERT_TRUE(d->State("", "silent=1 ", 10000)) << d->Out();
        d->Cmd("tick 20");
        d->Cmd("tick 10");
        ASSERT_TRUE(d->Wait("HelperCheckReceive, Check receive timeout")) << d->Out();
        ASSERT_TRUE(d->State("", "login=1 ")) << d->Out();
        d->Cmd("tick 15");
        ASSERT_TRUE(d->Wait("HelperReloginDelay, uReloginDelay=1")) << d->Out();
        d->Cmd("tick 1");
        d->Cmd("tick 15");
        ASSERT_TRUE(d->Wait("HelperReloginDelay, uReloginDelay=10")) << d->Out();
        // The relogin reports reach the owner through the node's queue, after the log line.
        EXPECT_TRUE(d->WaitCount("method=46 param= size=396 u32=12,", 2, 5000)) << d->Out();
    }
    // Back again at the same address: the next try of each node logs in, reported upward as a
    // relogin with error 0.
    ASSERT_NO_FATAL_FAILURE(StartServer(hs));
    for (Driven* d : {&a, &b}) {
        d->Cmd("tick 10");
        d->Cmd("clock 1");
    }
    for (Driven* d : {&a, &b})
        ASSERT_TRUE(d->Wait("method=46 param= size=396 u32=0,")) << d->Out() << srv.Out();
    EXPECT_TRUE(srv.Wait("login ok user=alice")) << srv.Out();
    EXPECT_TRUE(srv.Wait("login ok user=bob")) << srv.Out();
    EXPECT_TRUE(a.State("", "login=3 ")) << a.Out();
}

TEST_F(LoginLab, NodesBehindFullConeNatsConnectThroughTheirMappings)
{
    auto pub = lab.AddSegment("pub");
    auto lanA = lab.AddSegment("lana");
    auto lanB = lab.AddSegment("lanb");
    auto hs = lab.AddHost(pub, "srv");
    auto natA = lab.AddNatRouter("nata", pub, lanA, kvlab::NatType::FullCone);
    auto natB = lab.AddNatRouter("natb", pub, lanB, kvlab::NatType::FullCone);
    auto ha = lab.AddHost(lanA, "a");
    auto hb = lab.AddHost(lanB, "b");
    ASSERT_TRUE(lab.PinNeighbours({hs, natA, natB}));
    ASSERT_NO_FATAL_FAILURE(StartServer(hs));
    ASSERT_NO_FATAL_FAILURE(StartNode(a, ha, "a"));
    ASSERT_NO_FATAL_FAILURE(StartNode(b, hb, "b"));
    ASSERT_NO_FATAL_FAILURE(Login(a, "alice"));
    ASSERT_NO_FATAL_FAILURE(Login(b, "bob"));
    // The server saw each node at its NAT's address and names that address in status replies.
    EXPECT_TRUE(srv.Wait("login ok user=alice addr=" + natA.ip4)) << srv.Out();
    ASSERT_NO_FATAL_FAILURE(ConnectAndChat(a, "alice", b, "bob"));
    EXPECT_TRUE(srv.Wait("status from=alice peer=bob addr=" + natB.ip4)) << srv.Out();
}

TEST_F(LoginLab, NodesOnOneLan)
{
    auto pub = lab.AddSegment("pub");
    auto lan = lab.AddSegment("lan");
    auto hs = lab.AddHost(pub, "srv");
    auto nat = lab.AddNatRouter("nat", pub, lan, kvlab::NatType::FullCone);
    auto ha = lab.AddHost(lan, "a");
    auto hb = lab.AddHost(lan, "b");
    ASSERT_TRUE(lab.PinNeighbours({hs, nat}));
    ASSERT_TRUE(lab.PinNeighbours(std::vector<kvlab::Lab::NeighEnd>{
        {nat, "lan", nat.lan4}, kvlab::Lab::End(ha), kvlab::Lab::End(hb)}));
    ASSERT_NO_FATAL_FAILURE(StartServer(hs));
    ASSERT_NO_FATAL_FAILURE(StartNode(a, ha, "a"));
    ASSERT_NO_FATAL_FAILURE(StartNode(b, hb, "b"));
    ASSERT_NO_FATAL_FAILURE(Login(a, "alice"));
    ASSERT_NO_FATAL_FAILURE(Login(b, "bob"));
    ASSERT_NO_FATAL_FAILURE(ConnectAndChat(a, "alice", b, "bob"));
}

// Two logged-in nodes: a call from one node's owner reaches the other node's owner and its
// answer (text or error code) comes back, as do messages both ways; a ping measures a round
// trip; a call the far owner never answers ends with 12 at the caller's time-out (10 s of node
// time, driven by ticks).
TEST_F(LoginLab, CallsMessagesAndPingsBetweenLoggedInNodes)
{
    ASSERT_NO_FATAL_FAILURE(PublicPair());
    ASSERT_NO_FATAL_FAILURE(ConnectAndChat(a, "alice", b, "bob"));

    a.Cmd("call bob hello-call");
    ASSERT_TRUE(b.Wait("ext obj=bob method=35 param=alice size=11 hello-call")) << b.Out();
    ASSERT_TRUE(a.Wait("reply obj=bob err=0 size=16 param=101 echo:hello-call")) << a.Out() << b.Out();
    b.Cmd("callmode error 7");
    ASSERT_TRUE(b.Wait("node: callmode error"));
    a.Cmd("call bob second");
    ASSERT_TRUE(a.Wait("reply obj=bob err=7 size=0 param=102")) << a.Out();

    a.Cmd("msg bob note-1");
    ASSERT_TRUE(b.Wait("ext obj=bob method=36 param=alice size=7 note-1")) << b.Out();
    b.Cmd("msg alice note-2");
    ASSERT_TRUE(a.Wait("ext obj=alice method=36 param=bob size=7 note-2")) << a.Out();

    a.Cmd("ping bob");
    ASSERT_TRUE(a.Wait("reply obj=bob err=0 size=4 param=103 u32=")) << a.Out();

    b.Cmd("callmode silent");
    ASSERT_TRUE(b.Wait("node: callmode silent"));
    a.Cmd("clock 0");
    ASSERT_TRUE(a.Wait("node: clock 0"));
    a.Cmd("call bob unanswered");
    ASSERT_TRUE(b.Wait("method=35 param=alice size=11 unanswered")) << b.Out();
    a.Cmd("tick 9");
    ASSERT_TRUE(a.Wait("node: ticked 9"));
    EXPECT_EQ(0u, a.Count("param=104 ")) << a.Out();
    a.Cmd("tick 2");
    ASSERT_TRUE(a.Wait("reply obj=bob err=12 size=0 param=104")) << a.Out();
}

// Node a restarts twice: a new process at the same LAN address, which finds node b by a LAN
// scan and reaches it as a static peer at b's LAN address (the way a tunnel restores its
// connections before its login completes), then logs in. Node b, which stayed up, serves it
// again at once: the first time b's entry for a still holds the socket of a's old address
// through the server, the second time a socket to a's LAN address whose peer came back with
// new cookies.
TEST_F(LoginLab, APeerThatRestartsIsServedAgainByThePeerThatStayedUp)
{
    kvlab::Host ha, hb;
    ASSERT_NO_FATAL_FAILURE(LanPair(ha, hb));
    ASSERT_NO_FATAL_FAILURE(StartNode(a, ha, "a", "alice"));
    ASSERT_NO_FATAL_FAILURE(StartNode(b, hb, "b", "bob"));
    ASSERT_NO_FATAL_FAILURE(Login(a, "alice"));
    ASSERT_NO_FATAL_FAILURE(Login(b, "bob"));
    ASSERT_NO_FATAL_FAILURE(ConnectAndChat(a, "alice", b, "bob"));
    a.Cmd("call bob first");
    ASSERT_TRUE(a.Wait("reply obj=bob err=0 size=11 param=101 echo:first")) << a.Out() << b.Out();

    for (int run = 1; run <= 2; run++) {
        const std::string text = "again" + std::to_string(run);
        a.p.Kill();
        a = Driven();
        ASSERT_NO_FATAL_FAILURE(StartNode(a, ha, "a" + std::to_string(run), "alice"));
        a.Cmd("scan bob");
        ASSERT_TRUE(a.Wait("node: found bob " + hb.ip4 + ":7654")) << a.Out();
        a.Cmd("static bob " + hb.ip4 + ":7654");
        ASSERT_TRUE(a.Wait("node: static bob obj=")) << a.Out();
        ASSERT_NO_FATAL_FAILURE(Login(a, "alice"));
        ASSERT_TRUE(a.State("bob", "peer=3 ")) << a.Out() << "\n-- b:\n" << b.Out();
        a.Cmd("call bob " + text);
        ASSERT_TRUE(b.Wait("ext obj=bob method=35 param=alice size=7 " + text)) << b.Out() << "\n-- a:\n" << a.Out();
        ASSERT_TRUE(a.Wait("reply obj=bob err=0 size=12 param=101 echo:" + text)) << a.Out() << "\n-- b:\n" << b.Out();
    }
}

// Node a reaches node b as a static peer at b's LAN address; b restarts (a new process at the
// same address) and logs in again. A call that a makes as soon as b is back reaches b's new
// instance and is answered, rather than going to the handle b's old instance had for itself
// and waiting for the call time-out.
TEST_F(LoginLab, ACallToAPeerThatRestartedIsAnswered)
{
    kvlab::Host ha, hb;
    ASSERT_NO_FATAL_FAILURE(LanPair(ha, hb));
    ASSERT_NO_FATAL_FAILURE(StartNode(b, hb, "b", "bob"));
    ASSERT_NO_FATAL_FAILURE(Login(b, "bob"));
    ASSERT_NO_FATAL_FAILURE(StartNode(a, ha, "a", "alice"));
    a.Cmd("scan bob");
    ASSERT_TRUE(a.Wait("node: found bob " + hb.ip4 + ":7654")) << a.Out();
    a.Cmd("static bob " + hb.ip4 + ":7654");
    ASSERT_NO_FATAL_FAILURE(Login(a, "alice"));
    ASSERT_TRUE(a.State("bob", "peer=3 ")) << a.Out();
    a.Cmd("call bob before");
    ASSERT_TRUE(a.Wait("reply obj=bob err=0 size=12 param=101 echo:before")) << a.Out() << b.Out();

    b.p.Kill();
    b = Driven();
    ASSERT_NO_FATAL_FAILURE(StartNode(b, hb, "b1", "bob"));
    ASSERT_NO_FATAL_FAILURE(Login(b, "bob"));
    a.Cmd("call bob after");
    ASSERT_TRUE(b.Wait("ext obj=bob method=35 param=alice size=6 after", 5000)) << b.Out() << "\n-- a:\n" << a.Out();
    ASSERT_TRUE(a.Wait("reply obj=bob err=0 size=11 param=102 echo:after", 5000)) << a.Out();
}

// Node b has authentication on and its owner accepts only peers presenting "letmein": node a
// presents nothing at first, is rejected and hears so, and its messages do not reach b; once a
// presents the accepted text they do. A digest node a makes for b is accepted by b as a's; any
// other is refused.
TEST_F(LoginLab, AuthenticationGatesMessagesAndDigestsAreChecked)
{
    ASSERT_NO_FATAL_FAILURE(PublicPair());
    b.Cmd("auth 1");
    ASSERT_TRUE(b.Wait("node: auth r=0")) << b.Out();
    b.Cmd("acceptinfo letmein");
    ASSERT_TRUE(b.Wait("node: acceptinfo letmein"));

    a.Cmd("peer bob");
    ASSERT_TRUE(a.State("bob", "peer=3 ")) << a.Out();
    ASSERT_TRUE(b.Wait("ext obj=bob method=60 param=alice")) << b.Out();
    ASSERT_TRUE(b.Wait("err=9 r=0")) << b.Out();
    ASSERT_TRUE(a.Wait("ext obj=alice method=59 param=bob size=260 u32=9,")) << a.Out();

    a.Cmd("chat bob");
    b.Cmd("chat alice");
    // b's node drops a's chat messages before its chat class sees them.
    auto notAuth = [&] {
        b.Cmd("stat");
        if (!b.WaitCount("node: stat", b.Count("node: stat") + 1, 3000))
            return 0ul;
        std::string out = b.Out();
        size_t at = out.rfind("notauth=");
        return at == std::string::npos ? 0ul : strtoul(out.c_str() + at + 8, nullptr, 10);
    };
    ASSERT_TRUE(kvlab::WaitUntil([&] {
        a.Cmd("say blocked");
        return notAuth() > 0;
    }, kLong)) << a.Out() << b.Out();
    EXPECT_EQ(0u, b.Count("chat from=alice")) << b.Out();

    a.Cmd("authset bob letmein");
    ASSERT_TRUE(a.Wait("node: authset r=0")) << a.Out();
    ASSERT_TRUE(b.Wait("err=0 r=0")) << b.Out();
    ASSERT_TRUE(a.Wait("ext obj=alice method=59 param=bob size=260 u32=0,")) << a.Out();
    ASSERT_TRUE(kvlab::WaitUntil([&] {
        a.Cmd("say let-in");
        return b.Wait("chat from=alice text=let-in", 1000);
    }, kLong)) << b.Out();
    ASSERT_TRUE(kvlab::WaitUntil([&] {
        b.Cmd("say back");
        return a.Wait("chat from=bob text=back", 1000);
    }, kLong)) << a.Out();

    a.Cmd("digest bob session-text");
    ASSERT_TRUE(a.Wait("digest=")) << a.Out();
    std::string out = a.Out();
    size_t at = out.find("digest=") + 7;
    std::string d = out.substr(at, out.find_first_of(" \n", at) - at);
    ASSERT_EQ(44u, d.size()) << out;
    std::string wrong = d;
    wrong[0] = wrong[0] == 'A' ? 'B' : 'A';
    b.Cmd("verify alice session-text " + d);
    ASSERT_TRUE(b.Wait("node: verify r=0")) << b.Out();
    b.Cmd("verify alice session-text " + wrong);
    ASSERT_TRUE(b.Wait("node: verify r=13")) << b.Out();
    b.Cmd("verify alice session-texT " + d);
    ASSERT_TRUE(b.WaitCount("node: verify r=13", 2)) << b.Out();
}
