// The tunnel through its flat interface in the network lab: each tunnel is a tool_tunnel_host
// process in a lab host, driven through its control FIFO, logging in to the test rendezvous
// server (kv_rendezvous) over real sockets. The tunnel's one-second tick runs only by "tick"
// commands (--manual); where the node's own timers matter, its seconds run by "nodetick".
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "kvDriven.h"
#include "kvLab.h"

namespace {

const char* kSrvName = "kvserver";
const int kLong = 30000;  // ms: a login through the server
const char* kAllBadStatus = "-6,-6,-6,-6,-6,-6,-6,-6,-6,-6,-6,-6,-6,-6,-6,-6,-6,-6,-6,-6,-6,-6";

// The FIFO-driven lab program, with the commands these tests use.
class Driven : public kvlab::Driven {
public:
    // Sends a command and returns the rest of the first new line that starts with the answer
    // prefix ("<none>" when none comes).
    std::string Ask(const std::string& cmd, const std::string& prefix, int ms = 15000)
    {
        size_t before = Count(prefix);
        Cmd(cmd);
        if (!WaitCount(prefix, before + 1, ms))
            return "<none>";
        std::string out = p.Output();
        size_t at = 0;
        for (size_t i = 0; i <= before; i++)
            at = out.find(prefix, i == 0 ? 0 : at + 1);
        size_t end = out.find('\n', at);
        return out.substr(at + prefix.size(), end == std::string::npos ? std::string::npos : end - at - prefix.size());
    }
};

class TunnelLab : public ::testing::Test {
protected:
    void SetUp() override
    {
        KV_LAB_REQUIRE();
        auto pub = lab.AddSegment("pub");
        hs = lab.AddHost(pub, "srv");
        ha = lab.AddHost(pub, "a");
        ASSERT_TRUE(lab.PinNeighbours({hs, ha}));
        ASSERT_NO_FATAL_FAILURE(StartServer());
        cfgPath = dir.Path() + "/kelvard.cfg";
    }
    void TearDown() override
    {
        // The host stops its tunnel and ends cleanly; nothing went wrong on the way out.
        if (host.p.Valid() && host.p.Running()) {
            host.Cmd("quit");
            int code = -1;
            EXPECT_TRUE(host.p.Wait(15000, &code)) << host.Out();
            EXPECT_EQ(0, code) << host.Out();
        }
        for (Driven* d : {&srv, &host})
            kvlab::ExpectNoSanitizerReport(d->p);
    }
    void StartServer()
    {
        srvAddr = hs.ip4 + ":7781";
        srv = Driven();
        srv.Start(lab, hs,
                  {KV_TOOL_DIR "/kv_rendezvous", "--addr", srvAddr, "--name", kSrvName, "--account", "alice@grp:pw",
                   "--expire", "20"},
                  dir.Path() + "/srv" + std::to_string(++srvRuns));
        ASSERT_TRUE(srv.Wait("kvsrv: ready", 10000)) << srv.Out();
    }
    // A client-mode configuration for alice@grp (every other key at its default); extra goes
    // into the mode element.
    std::string Cfg(const std::string& pass, const std::string& extra = "")
    {
        return "(Home){" + dir.Path() + "/home}(ModeClient){(Node){(SvrAddr){" + srvAddr +
               "}(CltAddr){0.0.0.0:0}(SvrName){" + kSrvName + "}}(AccountPass){(User){alice@grp}(Pass){" + pass +
               "}}" + extra + "}";
    }
    void WriteCfg(const std::string& text)
    {
        std::ofstream f(cfgPath, std::ios::binary | std::ios::trunc);
        f << text;
    }
    void StartHost(std::vector<std::string> flags)
    {
        std::vector<std::string> argv = {KV_TOOL_DIR "/tool_tunnel_host", "--cfg", cfgPath, "--manual", "--log"};
        argv.insert(argv.end(), flags.begin(), flags.end());
        host.Start(lab, ha, argv, dir.Path() + "/host");
        ASSERT_TRUE(host.Wait("host: ready", 15000)) << host.Out();
    }
    // The login status as doZirizaStatusGet reports it ("result status").
    std::string Status() { return host.Ask("status", "host: status="); }

    kvlab::Lab lab;
    kvlab::TempDir dir;
    kvlab::Host hs, ha;
    std::string srvAddr, cfgPath;
    int srvRuns = 0;
    Driven srv, host;
};

}  // namespace

TEST_F(TunnelLab, LogsInReportsStatusStopsAndStartsAgain)
{
    WriteCfg(Cfg("pw"));
    ASSERT_NO_FATAL_FAILURE(StartHost({"--no-start"}));
    EXPECT_EQ(kAllBadStatus, host.Ask("calls", "host: calls=")) << host.Out();

    for (size_t run = 1; run <= 2; run++) {
        ASSERT_EQ("0", host.Ask("start", "host: start=")) << host.Out();
        ASSERT_TRUE(host.WaitCount("host: event 2 {\"errcode\":0}\n", run)) << host.Out() << srv.Out();
        EXPECT_EQ("0 0", Status());
        EXPECT_TRUE(srv.WaitCount("login ok user=alice@grp", run, 5000)) << srv.Out();
        // A second start while running changes nothing.
        EXPECT_EQ("0", host.Ask("start", "host: start="));
        EXPECT_EQ(run, srv.Count("login ok user=alice@grp")) << srv.Out();
        // A bridged call reaches the tunnel thread and its handler.
        EXPECT_EQ("0 0", Status());

        // The stop returns within its bound (the exit message, the node's clean-up), the
        // tunnel thread's last word is event 0, and every bridged call is refused again.
        ASSERT_EQ("", host.Ask("stop", "host: stopped", 15000)) << host.Out();
        EXPECT_TRUE(host.WaitCount("host: event 0 \n", run, 5000)) << host.Out();
        EXPECT_EQ(kAllBadStatus, host.Ask("calls", "host: calls=")) << host.Out();
        EXPECT_EQ("-6 0", Status());
    }
    EXPECT_EQ(2u, host.Count("Tunnel: NodeStart, success.")) << host.Out();
}

TEST_F(TunnelLab, WrongPasswordGivesItsStateAndBacksOffByTicks)
{
    // The relogin delay keys hold no number: the defaults apply (10 s steps, 300 s at most).
    WriteCfg(Cfg("wrong", "(Base){(LoginDelayInterval){ten}(LoginDelayMax){}}"));
    ASSERT_NO_FATAL_FAILURE(StartHost({}));
    ASSERT_TRUE(host.Wait("host: start=0")) << host.Out();
    const std::string kFail = "host: event 2 {\"errcode\":9}\n";
    const std::string kSent = "Tunnel: NodeLogin: Login request success";
    ASSERT_TRUE(host.WaitCount(kFail, 1)) << host.Out() << srv.Out();
    EXPECT_TRUE(srv.Wait("login fail user=alice@grp err=9", 5000)) << srv.Out();
    EXPECT_EQ("0 20", Status());  // bad password
    // A bad password waits three delay steps: 30 ticks, then 60. The status answer comes after
    // the ticks were handled, so the count of login requests is exact at that point.
    for (size_t n = 1; n <= 3; n++) {
        EXPECT_EQ(n, host.Count(kSent)) << host.Out();
        ASSERT_NO_FATAL_FAILURE(host.Cmd("tick " + std::to_string(30 * n - 1)));
        EXPECT_EQ("0 20", Status());
        EXPECT_EQ(n, host.Count(kSent)) << host.Out();
        EXPECT_EQ(n, host.Count(kFail));
        ASSERT_NO_FATAL_FAILURE(host.Cmd("tick 1"));
        ASSERT_TRUE(host.WaitCount(kFail, n + 1)) << host.Out();
        EXPECT_EQ(n + 1, host.Count(kSent)) << host.Out();
        EXPECT_TRUE(srv.WaitCount("login fail user=alice@grp err=9", n + 1, 5000)) << srv.Out();
    }
    EXPECT_EQ("0 20", Status());
    EXPECT_EQ(0u, srv.Count("login ok"));
}

TEST_F(TunnelLab, ServerGoingAwayGivesTheReloginDelays)
{
    // A relogin step of 7 s goes to the node, whose relogin waits 1 s, then 7, then 14.
    WriteCfg(Cfg("pw", "(Base){(LoginDelayInterval){7}}(Log){(Level2){1}}"));
    ASSERT_NO_FATAL_FAILURE(StartHost({"--node-manual"}));
    ASSERT_TRUE(host.Wait("host: start=0")) << host.Out();
    ASSERT_TRUE(host.Wait("host: event 2 {\"errcode\":0}\n")) << host.Out() << srv.Out();
    ASSERT_EQ("0 0", Status());

    srv.p.Kill();
    ASSERT_EQ("0", host.Ask("nodeclock 0", "host: nodeclock "));
    auto nodeTick = [&](int n) {
        ASSERT_EQ(std::to_string(n), host.Ask("nodetick " + std::to_string(n), "host: nodeticked ")) << host.Out();
    };
    // The silence is measured in whole seconds of the transport: one passes without a packet
    // from the server before node time runs on. Then the keep-alive goes out, its answer is
    // missed and the node logs in again.
    usleep(1200 * 1000);
    for (int i = 0; i < 40 && host.Count("HelperCheckReceive, Check receive timeout") == 0; i++)
        ASSERT_NO_FATAL_FAILURE(nodeTick(1));
    ASSERT_EQ(1u, host.Count("HelperCheckReceive, Check receive timeout")) << host.Out();
    // Each login try times out; the node waits 1 s, then one step, then two before the next.
    const std::string kLost = "host: event 2 {\"errcode\":12}\n";
    const std::string kTimeout = "ClassPeer: HelperLoginTimeout";
    const std::string kTry = "ClassPeer: HelperReloginStart, User=alice@grp";
    for (int delay : {1, 7, 14}) {
        size_t lost = host.Count(kLost), timeouts = host.Count(kTimeout);
        for (int i = 0; i < 20 && host.Count(kTimeout) == timeouts; i++)
            ASSERT_NO_FATAL_FAILURE(nodeTick(1));
        ASSERT_EQ(timeouts + 1, host.Count(kTimeout)) << host.Out();
        EXPECT_EQ(1u, host.Count("HelperReloginDelay, uReloginDelay=" + std::to_string(delay) + "\n")) << host.Out();
        ASSERT_TRUE(host.WaitCount(kLost, lost + 1)) << host.Out();
        EXPECT_EQ("0 17", Status());  // login time-out
        size_t tries = host.Count(kTry);
        if (delay > 1) {
            ASSERT_NO_FATAL_FAILURE(nodeTick(delay - 1));
        }
        EXPECT_EQ(tries, host.Count(kTry)) << host.Out();
        ASSERT_NO_FATAL_FAILURE(nodeTick(1));
        EXPECT_EQ(tries + 1, host.Count(kTry)) << host.Out();
    }
    // The engine itself schedules nothing for a failed relogin: its ticks start no login.
    host.Cmd("tick 400");
    EXPECT_EQ("0 17", Status());
    EXPECT_EQ(1u, host.Count("Tunnel: NodeLogin: Login request success")) << host.Out();

    // The server is back at the same address: the try under way, or when that one went out
    // before the server was up, the next one after its delay, logs in; the tunnel reports it.
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ASSERT_EQ("1", host.Ask("nodeclock 1", "host: nodeclock "));
    bool back = kvlab::WaitUntil([&] {
        host.Cmd("nodetick 15");
        return host.WaitCount("host: event 2 {\"errcode\":0}\n", 2, 2000);
    }, 2 * kLong);
    ASSERT_TRUE(back) << host.Out() << srv.Out();
    EXPECT_EQ("0 0", Status());
}

TEST_F(TunnelLab, ConfigurationFilesWithBadValues)
{
    ASSERT_NO_FATAL_FAILURE(StartHost({"--no-start"}));
    struct Case {
        std::string text;  // "<missing>": no file at all
        const char* start;
    };
    const std::string bin("\x00\xff(ModeClient){\x01\x02", 17);
    std::vector<Case> cases = {
        {"<missing>", "-7"},
        {"", "-7"},
        {"(a){bc}", "-7"},  // 7 bytes: too short to be a configuration
        {bin, "-7"},
        {"(Home){" + dir.Path() + "/home}(Other){(Node){}}", "-7"},  // no mode element
        {"(ModeClient){(Node){(SvrAddr){" + srvAddr, "-7"},          // cut short
        {Cfg("pw").replace(Cfg("pw").find("(SvrName)"), 9, "(Nothing)"), "-7"},
        {Cfg("pw").replace(Cfg("pw").find("(AccountPass)"), 13, "(AccountNone)"), "-7"},
        // Non-numbers, numbers out of range and bad list items: the defaults and bounds apply.
        {Cfg("pw", "(Base){(MaxSess){zz}(MaxTunnel){-4}(SessBufSize){10}(ConnectTimeout){3}(P2PTryTime){abc}"
                   "(LoginDelayMax){0}(DisconnectDelay){-}(HttpPortRange){x}(MaxHttp){}}"
                   "(Session){(BlockedTimeout){1e9}(ProgressReport){-1}}(Log){(Level0){q}(FileSize){-1}(FileNum){z}}"
                   "(PeerForward){(Speed){}(Use){nine}}(SvrFilter){(a){999.1.1.1:1-99999}(b){10.0.0.0:x~y;0}}"
                   "(PxyFilter){(Path){*}(Param){**}}(Utilize){(ChannelMode){99}(MultiPathMode){-}(ForwardSpeed){}}") +
             "(RelayList){(r){(Type){7}(Addr){x}}(s){(Type){0}}}",
         "0"},
    };
    size_t logins = 0;
    for (const Case& c : cases) {
        if (c.text == "<missing>")
            unlink(cfgPath.c_str());
        else
            WriteCfg(c.text);
        ASSERT_EQ(c.start, host.Ask("start", "host: start=")) << c.text << "\n" << host.Out();
        if (std::string(c.start) == "0") {
            // The last configuration's bounds start the tunnel with about a thousand threads,
            // which takes ThreadSanitizer on two busy cores over 30 s.
            ASSERT_TRUE(host.WaitCount("host: event 2 {\"errcode\":0}\n", ++logins, 120000))
                << c.text << host.Out();
            EXPECT_EQ("0 0", Status()) << c.text;
            ASSERT_EQ("", host.Ask("stop", "host: stopped", 15000));
        } else {
            // Nothing stays started: the bridged calls are refused.
            EXPECT_EQ(kAllBadStatus, host.Ask("calls", "host: calls=")) << c.text;
        }
        ASSERT_TRUE(host.p.Running()) << c.text << host.Out();
    }
    // A session buffer the node cannot take: the tunnel runs, its node start fails (status 8)
    // and is tried again every 10 ticks.
    WriteCfg(Cfg("pw", "(Base){(SessBufSize){4294967295}}"));
    ASSERT_EQ("0", host.Ask("start", "host: start="));
    const std::string kNodeFail = "Tunnel: NodeStart: Init node failed";
    ASSERT_TRUE(host.WaitCount(kNodeFail, 1)) << host.Out();
    EXPECT_EQ("0 8", Status());
    host.Cmd("tick 9");
    EXPECT_EQ("0 8", Status());
    EXPECT_EQ(1u, host.Count(kNodeFail));
    host.Cmd("tick 1");
    EXPECT_EQ("0 8", Status());
    EXPECT_EQ(2u, host.Count(kNodeFail));
    ASSERT_EQ("", host.Ask("stop", "host: stopped", 15000));

    // The configuration with good values still starts in the same process.
    // The configuration with good values still starts in the same process.
    WriteCfg(Cfg("pw"));
    ASSERT_EQ("0", host.Ask("start", "host: start="));
    ASSERT_TRUE(host.WaitCount("host: event 2 {\"errcode\":0}\n", ++logins)) << host.Out();
    EXPECT_EQ("0 0", Status());
}
