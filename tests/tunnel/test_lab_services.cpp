// Tunnels logged in to the test rendezvous server (kv_rendezvous) in the network lab: each
// tunnel runs in a tool_tunnel_host process of a lab host and is asked through the call bridge
// by the host's "req" command; the server is driven through its control FIFO.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <string>
#include <vector>

#include "kvDriven.h"
#include "kvLab.h"
#include "kvTcpServices.h"

namespace {

const char* kSrvName = "kvserver";
const int kLong = 30000;  // ms: a login through the lab
const char* kUser = "alice@lab";

// The FIFO-driven lab program, with the commands these tests use.
class Driven : public kvlab::Driven {
public:
    // The rest of the first output line that starts with the text ("" when none).
    std::string Line(const std::string& text) const
    {
        std::string out = p.Output();
        size_t at = out.find(text);
        if (at == std::string::npos)
            return "";
        at += text.size();
        return out.substr(at, out.find('\n', at) - at);
    }
    std::vector<std::string> Lines(const std::string& text) const
    {
        std::vector<std::string> v;
        std::string out = p.Output();
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
            v.push_back(out.substr(at + text.size(), out.find('\n', at) - at - text.size()));
        return v;
    }
};

class ServicesLab : public ::testing::Test {
protected:
    void SetUp() override
    {
        KV_LAB_REQUIRE();
        auto pub = lab.AddSegment("pub");
        hs = lab.AddHost(pub, "srv");
        ha = lab.AddHost(pub, "a");
        ASSERT_TRUE(lab.PinNeighbours({hs, ha}));
        srvAddr = hs.ip4 + ":7781";
        srv.Start(lab, hs, {KV_TOOL_DIR "/kv_rendezvous", "--addr", srvAddr, "--name", kSrvName, "--account",
                            std::string(kUser) + ":pw", "--account", "bob@lab:pw"},
                  dir.Path() + "/srv");
        ASSERT_TRUE(srv.Wait("kvsrv: ready", 10000)) << srv.Out();
    }
    void TearDown() override
    {
        for (Driven* d : {&srv, &a})
            kvlab::ExpectNoSanitizerReport(d->p);
    }
    // Starts the tunnel host logged in as kUser; extra goes into the client section.
    void StartHost(const std::string& extra)
    {
        const std::string home = dir.Path() + "/a";
        ASSERT_EQ(0, kvlab::Sh("mkdir -p " + home));
        std::ofstream(home + "/kelvard.cfg")
            << "(Home){" << home << "}(ModeClient){(Node){(SvrAddr){" << srvAddr
            << "}(CltAddr){0.0.0.0:0}(SvrName){" << kSrvName << "}}(AccountPass){(User){" << kUser
            << "}(Pass){pw}}(Base){(MaxTunnel){400}}" << extra << "}";
        a.Start(lab, ha, {KV_TOOL_DIR "/tool_tunnel_host", "--cfg", home + "/kelvard.cfg"}, dir.Path() + "/a.fifo");
        ASSERT_TRUE(a.Wait("host: ready", 10000)) << a.Out();
        ASSERT_TRUE(a.Wait("host: event 2 {\"errcode\":0}")) << a.Out() << srv.Out();
    }
    // A request through the host's call bridge; its answer text.
    std::string Req(const std::string& name, const std::string& param = "", int ms = 10000)
    {
        std::string tag = "r" + std::to_string(++reqs);
        a.Cmd("req " + tag + " " + name + " " + param);
        if (!a.Wait("host: answer " + tag + " ", ms))
            return "<none>";
        return a.Line("host: answer " + tag + " ");
    }
    // Asks again until the answer is the wanted one.
    bool ReqUntil(const std::string& name, const std::string& param, const std::string& want)
    {
        return kvlab::WaitUntil([&] { return Req(name, param) == want; }, kLong);
    }
    // True when a TCP connection to the address inside the tunnel host's namespace succeeds.
    bool Connects(u_int16_t port)
    {
        kvlab::NetnsGuard g(ha.ns);
        if (!g.Ok())
            return false;
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool ok = connect(fd, (sockaddr*)&sa, sizeof(sa)) == 0;
        close(fd);
        return ok;
    }

    kvlab::Lab lab;
    kvlab::TempDir dir;
    kvlab::Host hs, ha;
    std::string srvAddr;
    Driven srv, a;
    int reqs = 0;
};

std::string Entry(int i)
{
    return "(t" + std::to_string(i) + "){(Type){0}(Option){(Encrypt){0}(Compress){0}}(Tcp){(PeerOut){bob@lab}(AddrIn){127.0.0.1:" +
           std::to_string(21000 + i) + "}(AddrSvr){10.9.9.9:" + std::to_string(1000 + i) + "}}}";
}

}  // namespace

TEST_F(ServicesLab, ConnectionListServedInSeveralPagesArrivesWhole)
{
    const int n = 300;
    for (int i = 0; i < n; i++)
        srv.Cmd(std::string("tunnel ") + kUser + " " + Entry(i));
    ASSERT_TRUE(kvlab::WaitUntil([&] { return srv.Count("tunnel user=alice@lab added") == (size_t)n; }, 10000))
        << srv.Out();
    ASSERT_NO_FATAL_FAILURE(StartHost("(Utilize){(DirectTunnelEnable){0}(LanScanEnable){0}}"));
    const std::string last = std::to_string(n - 1);
    ASSERT_TRUE(ReqUntil("connectenum", "index=" + last,
                         "connectenum:{\"result\":\"0\",\"peerid\":\"bob\",\"type\":\"0\",\"encrypt\":\"0\","
                         "\"listenaddr\":\"10.9.9.9:" + std::to_string(1000 + n - 1) +
                             "\",\"clientaddr\":\"127.0.0.1:" + std::to_string(21000 + n - 1) + "\"}"))
        << a.Out() << srv.Out();
    EXPECT_EQ("connectenum:{\"result\":\"18\"}", Req("connectenum", "index=" + std::to_string(n)));
    // The pages asked follow each other and the last one was short.
    auto pages = srv.Lines("kvsrv: call list user=alice@lab ");
    ASSERT_GE(pages.size(), 3u) << srv.Out();
    u_int32_t next = 0, total = 0, size = 0;
    for (auto& l : pages) {
        u_int32_t pos = 0, count = 0;
        ASSERT_EQ(3, sscanf(l.c_str(), "pos=%u size=%u count=%u", &pos, &size, &count)) << l;
        EXPECT_EQ(next, pos) << l;
        next = pos + count;
        total += count;
    }
    EXPECT_EQ((u_int32_t)n, total);
    EXPECT_LT(n - (n / size) * size, size);
    // Every connection listens.
    EXPECT_TRUE(Connects(21000));
    EXPECT_TRUE(Connects(21000 + n - 1));
}

TEST_F(ServicesLab, DirectTunnelSurvivesANodeRestart)
{
    ASSERT_NO_FATAL_FAILURE(StartHost("(Utilize){(LanScanEnable){0}}"));
    const std::string add = "peerid=bob@lab&type=0&encrypt=1&listenaddr=10.9.9.9:80&clientaddr=127.0.0.1:22000";
    // The login gave a session text: a request without its digest is refused.
    EXPECT_EQ("cnntadd:{\"result\":\"13\"}", Req("cnntadd", add));
    // The server clears the session text: no digest needed.
    srv.Cmd(std::string("notify ") + kUser + " SetSess?sess=");
    ASSERT_TRUE(srv.Wait("notify user=alice@lab sent")) << srv.Out();
    ASSERT_TRUE(ReqUntil("cnntadd", add, "cnntadd:{\"result\":\"0\",\"clientaddr\":\"127.0.0.1:22000\"}"))
        << a.Out();
    ASSERT_TRUE(kvlab::WaitUntil([&] { return Connects(22000); }, 5000));
    // The server restarts the node: it logs in again and the connection is back.
    srv.Cmd(std::string("notify ") + kUser + " Restart?delay=1");
    ASSERT_TRUE(kvlab::WaitUntil([&] { return a.Count("host: event 2 {\"errcode\":0}") >= 2; }, kLong))
        << a.Out() << srv.Out();
    EXPECT_EQ(2u, srv.Count("login ok user=alice@lab"));
    const std::string entry = "connectenum:{\"result\":\"0\",\"peerid\":\"bob\",\"type\":\"0\",\"encrypt\":\"1\","
                              "\"listenaddr\":\"10.9.9.9:80\",\"clientaddr\":\"127.0.0.1:22000\"}";
    ASSERT_TRUE(ReqUntil("connectenum", "index=0", entry)) << a.Out();
    EXPECT_EQ("connectenum:{\"result\":\"18\"}", Req("connectenum", "index=1"));
    EXPECT_TRUE(kvlab::WaitUntil([&] { return Connects(22000); }, 5000));
    // The direct tunnel never went through the server.
    EXPECT_EQ(0u, srv.Count("method=42"));
}

TEST_F(ServicesLab, EventGetWaitsAndIsAnsweredByTheNextEvent)
{
    ASSERT_NO_FATAL_FAILURE(StartHost("(Utilize){(LanScanEnable){0}}"));
    // Take what is queued until a request waits.
    std::string tag;
    for (int i = 0; i < 20 && tag.empty(); i++) {
        std::string t = "e" + std::to_string(i);
        a.Cmd("req " + t + " eventget");
        if (!a.Wait("host: answer " + t + " ", 1500))
            tag = t;
    }
    ASSERT_FALSE(tag.empty()) << a.Out();
    srv.Cmd(std::string("notify ") + kUser + " UserExtend?hello\"lab");
    ASSERT_TRUE(a.Wait("host: answer " + tag + " ", 10000)) << a.Out() << srv.Out();
    std::string answer = a.Line("host: answer " + tag + " ");
    EXPECT_EQ(0u, answer.find("eventget:{\"result\":\"0\",\"event\":\"12\",\"param\":\"")) << answer;
    EXPECT_NE(std::string::npos, answer.find("hello\\\"lab")) << answer;
    // The push text waits for the next "pushget".
    EXPECT_EQ("pushget:{\"result\":\"0\",\"data\":\"hello\\\"lab\"}", Req("pushget"));
}

// Two tunnels on one LAN with no server to log in to (its address is on the segment, but
// nothing answers there); a direct tunnel at A reaches a service behind B.
class LanLab : public ::testing::Test {
public:
    void SetUp() override
    {
        KV_LAB_REQUIRE();
        auto pub = lab.AddSegment("pub");
        ha = lab.AddHost(pub, "a");
        hb = lab.AddHost(pub, "b");
        svr = pub.prefix4 + ".99:7781";
        ASSERT_TRUE(lab.QuietScans({ha, hb}));
        ASSERT_TRUE(echo.Start(hb.ns, "127.0.0.1", 0, kvtun::EchoHandler));
    }
    void TearDown() override
    {
        for (Driven* d : {&a, &b})
            kvlab::ExpectNoSanitizerReport(d->p);
    }
    void StartHost(Driven& d, const kvlab::Host& h, const std::string& tag, const std::string& node = "")
    {
        const std::string cfg = dir.Path() + "/" + tag + ".cfg";
        std::ofstream(cfg) << "(Home){" << dir.Path() << "/home-" << tag << "}(ModeClient){(Node){(SvrAddr){" << svr
                           << "}(CltAddr){0.0.0.0:0}(SvrName){" << kSrvName << "}" << node
                           << "}(AccountPass){(User){_DEV_" << tag << "@grp}(Pass){pw}}"
                           << "(Base){(MaxSess){64}(MaxTunnel){16}(ConnectTimeout){10}}}";
        d.Start(lab, h, {KV_TOOL_DIR "/tool_tunnel_host", "--cfg", cfg}, dir.Path() + "/ctl-" + tag);
        ASSERT_TRUE(d.Wait("host: ready", 10000)) << d.Out();
    }
    void AddConnection()
    {
        a.Cmd("req add cnntadd peerid=_DEV_b@grp&type=0&listenaddr=127.0.0.1:" + std::to_string(echo.Port()) +
              "&clientaddr=127.0.0.1:9000");
        ASSERT_TRUE(a.Wait("host: answer add cnntadd:{\"result\":\"0\",\"clientaddr\":\"127.0.0.1:9000\"}", 10000))
            << a.Out();
    }
    // A client at A sends a text and reads it back from the service behind B.
    bool Echoed(const std::string& text, int ms)
    {
        return kvlab::WaitUntil([&] {
            int fd = kvtun::TcpConnect(ha.ns, "127.0.0.1", 9000);
            if (fd < 0)
                return false;
            std::string got;
            bool ok = kvtun::SendAll(fd, text) && kvtun::RecvN(fd, text.size(), &got, 3000) == kvtun::ReadEnd::Data &&
                      got == text;
            close(fd);
            return ok;
        }, ms);
    }
    std::string Outputs() { return "--- a\n" + a.Out() + "\n--- b\n" + b.Out(); }

    kvlab::Lab lab;
    kvlab::TempDir dir;
    kvlab::Host ha, hb;
    std::string svr;
    kvtun::Service echo;
    Driven a, b;
};

TEST_F(LanLab, PeersFindEachOtherByLanScanAndForwardWithoutTheServer)
{
    ASSERT_NO_FATAL_FAILURE(StartHost(a, ha, "a"));
    ASSERT_NO_FATAL_FAILURE(StartHost(b, hb, "b"));
    ASSERT_NO_FATAL_FAILURE(AddConnection());
    EXPECT_TRUE(Echoed("over the lan", kLong)) << Outputs();
    EXPECT_GE(echo.Accepted(), 1);
}

// B judges every peer's authorisation before admitting it; A presents its text for B. A client
// at A makes A contact B, and B's host answers each request B raises about A with the code, as
// a host must: B asks again whenever it learns a new session cookie of A, and A's first sync
// report can come after the text it presented on the same session (B then asks once more).
// Whether a connection then reaches the service behind B.
bool Judged(LanLab& t, u_int32_t errcode)
{
    t.a.Cmd("req auth peerauthset peerid=_DEV_b@grp&info=the%20key");
    EXPECT_TRUE(t.a.Wait("host: answer auth peerauthset:{\"result\":\"0\"}", 10000)) << t.a.Out();
    const std::string ask = "host: event 19 {\"peerid\":\"_DEV_a\",\"handle\":\"";
    std::atomic<bool> done{false};
    size_t answered = 0;
    std::thread judge([&] {
        while (!done) {
            std::vector<std::string> asks = t.b.Lines(ask);
            for (; answered < asks.size(); answered++) {
                const std::string& rest = asks[answered];
                EXPECT_NE(std::string::npos, rest.find("\"info\":\"the key\"}")) << rest;
                EXPECT_TRUE(t.b.Send("req v" + std::to_string(answered) + " peerauthreply handle=" +
                                     rest.substr(0, rest.find('"')) + "&errcode=" + std::to_string(errcode) +
                                     "&param="));
            }
            usleep(5000);
        }
    });
    std::thread client([&] { t.Echoed("let me in", 8000); });
    bool asked = t.b.Wait(ask, kLong);
    client.join();
    bool served = asked && t.Echoed("after the verdict", errcode ? 3000 : kLong);
    done = true;
    judge.join();
    EXPECT_TRUE(asked) << t.Outputs();
    for (size_t i = 0; i < answered; i++)
        EXPECT_TRUE(t.b.Wait("host: answer v" + std::to_string(i) + " peerauthreply:{\"result\":\"0\"}", 10000))
            << t.b.Out();
    return served;
}

TEST_F(LanLab, PeerWhoseAuthorisationTheHostRefusesGetsNoSession)
{
    ASSERT_NO_FATAL_FAILURE(StartHost(a, ha, "a"));
    ASSERT_NO_FATAL_FAILURE(StartHost(b, hb, "b", "(AuthEnable){1}"));
    ASSERT_NO_FATAL_FAILURE(AddConnection());
    EXPECT_FALSE(Judged(*this, 13)) << Outputs();
    EXPECT_EQ(0, echo.Accepted());
}

TEST_F(LanLab, PeerWhoseAuthorisationTheHostAcceptsIsServed)
{
    ASSERT_NO_FATAL_FAILURE(StartHost(a, ha, "a"));
    ASSERT_NO_FATAL_FAILURE(StartHost(b, hb, "b", "(AuthEnable){1}"));
    ASSERT_NO_FATAL_FAILURE(AddConnection());
    EXPECT_TRUE(Judged(*this, 0)) << Outputs();
    EXPECT_GE(echo.Accepted(), 1);
}
