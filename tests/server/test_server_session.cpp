// The node session of the test rendezvous server (kv_rendezvous, in the network lab) against a
// transport-level client: a socket layer with its socket process, which learns its main
// address from the server's station and opens its peer socket to the server, and the test
// playing the node on top of it (sync reports, login, keep-alive, status queries, logout).
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "kvAddr4.h"
#include "kvLab.h"
#include "kvSrvTestClient.h"
#include "kvSrvWire.h"
#include "qvSocket.h"
#include "qvTimer.h"
#include "qvUtilize.h"

using namespace kvsrv;

namespace {

class TimerEnv : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(1u, qvTimerInit(64)); }
    void TearDown() override { qvTimerClean(); }
};
::testing::Environment* const s_TimerEnv = ::testing::AddGlobalTestEnvironment(new TimerEnv);

const u16 kSrvPort = 7781;
const char* kSrvName = "kvserver";

std::string Str(const std::vector<u8>& d, u32 at, u32* next = nullptr)
{
    u32 used = 0, len = 0;
    if (at > d.size())
        return "<none>";
    const char* s = qvStrPop(d.data() + at, (u32)d.size() - at, &used, &len);
    if (next)
        *next = at + used;
    return s ? std::string(s, len) : "<none>";
}

// The digest text a client makes of a password: each byte plus our cookie byte, xor the
// server's, SHA-256, Base64.
std::string Digest(const std::string& pass, u32 own, u32 server)
{
    u8 a[4], b[4];
    Wr32(a, own);
    Wr32(b, server);
    std::vector<u8> w(pass.begin(), pass.end());
    for (size_t i = 0; i < w.size(); i++)
        w[i] = (u8)((u8)(w[i] + a[i % 4]) ^ b[i % 4]);
    u8 h[32];
    char t[64];
    qvDataHash(w.data(), (u32)w.size(), h, 32);
    qvHashToStr(h, 0, t, sizeof(t));
    return t;
}

class Session : public ::testing::Test {
protected:
    void SetUp() override
    {
        KV_LAB_REQUIRE();
        auto pub = lab.AddSegment("pub");
        hs = lab.AddHost(pub, "srv");
        ha = lab.AddHost(pub, "a");
        hb = lab.AddHost(pub, "b");
        ASSERT_TRUE(lab.PinNeighbours({hs, ha, hb}));
        srv = V4(hs.ip4, kSrvPort);
        ctl = dir.Path() + "/ctl";
        server = lab.SpawnIn(hs, {KV_TOOL_DIR "/kv_rendezvous", "--addr", hs.ip4 + ":" + std::to_string(kSrvPort),
                                  "--name", kSrvName, "--account", "alice:pw:7", "--account", "bob:pw",
                                  "--expire", "20", "--control", ctl});
        ASSERT_TRUE(server.WaitOutput("kvsrv: ready", 10000)) << server.Output();
    }
    void TearDown() override
    {
        kvlab::ExpectNoSanitizerReport(server);
    }
    // Starts the test's own client on host a.
    void StartA(const std::string& name = "alice")
    {
        kvlab::NetnsGuard ns(ha.ns);
        ASSERT_TRUE(ns.Ok());
        ASSERT_TRUE(a.Start(name, srv));
        ASSERT_TRUE(a.WaitConnected());
    }
    void Control(const std::string& line)
    {
        int fd = open(ctl.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        std::string l = line + "\n";
        ASSERT_EQ((ssize_t)l.size(), write(fd, l.data(), l.size()));
        close(fd);
    }
    // A client in a process of its own (tool_session_client) logged in as user.
    kvlab::Process OtherClient(const kvlab::Host& h, const std::string& user)
    {
        return lab.SpawnIn(h, {KV_TOOL_DIR "/tool_session_client", "--server", AddrText(srv), "--name", kSrvName,
                               "--user", user, "--pass", "pw"});
    }
    // The server's output has the line (a text it prints once per event).
    bool ServerSays(const std::string& text) { return server.WaitOutput(text, 10000); }
    // The server printed the text n times.
    bool ServerSaid(const std::string& text, size_t n)
    {
        return kvlab::WaitUntil([&] {
            std::string out = server.Output();
            size_t count = 0;
            for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
                count++;
            return count >= n;
        }, 10000);
    }
    kvlab::Lab lab;
    kvlab::TempDir dir;
    kvlab::Host hs, ha, hb;
    QV_ADDR_S srv{};
    std::string ctl;
    kvlab::Process server;
    SessionClient a;
};

}  // namespace

TEST_F(Session, ReportsAreAnsweredAtOnceThenLogin)
{
    StartA();
    // The server object, as a client reports it to request its login, and the self object:
    // each is answered at once with the server's handle, under one cookie.
    ASSERT_TRUE(a.Report(kSrvName, 0x10001, 1111));
    ASSERT_TRUE(a.Report("alice", 0x20001, 2222));
    Rx r1, r2;
    ASSERT_TRUE(a.Next(kMsgSyncUpdate, &r1));
    ASSERT_TRUE(a.Next(kMsgSyncUpdate, &r2));
    Sync u1, u2;
    ASSERT_TRUE(ParseSync(r1.data.data(), (u32)r1.data.size(), &u1));
    ASSERT_TRUE(ParseSync(r2.data.data(), (u32)r2.data.size(), &u2));
    EXPECT_EQ(kSrvName, u1.name);
    EXPECT_EQ(1111u, u1.time);
    EXPECT_NE(0u, u1.object);
    EXPECT_EQ("alice", u2.name);
    EXPECT_EQ(2222u, u2.time);
    EXPECT_NE(0u, u2.object);
    EXPECT_NE(u1.object, u2.object);
    EXPECT_EQ(u1.cookie, u2.cookie);
    EXPECT_EQ(1, u1.flags);
    // The same report again gets the same handle; a withdrawal and an object the server does
    // not hold get handle 0.
    struct Case {
        const char* name;
        u32 object;
        u32 expect;
    } cases[] = {{kSrvName, 0x10001, u1.object}, {kSrvName, 0, 0}, {"carol", 0x30001, 0}};
    for (const Case& c : cases) {
        ASSERT_TRUE(a.Report(c.name, c.object));
        Rx r;
        ASSERT_TRUE(a.Next(kMsgSyncUpdate, &r)) << c.name;
        Sync u;
        ASSERT_TRUE(ParseSync(r.data.data(), (u32)r.data.size(), &u));
        EXPECT_EQ(c.expect, u.object) << c.name << " " << c.object;
        EXPECT_EQ(u1.cookie, u.cookie);
    }
    // The login reply.
    Rx lr;
    ASSERT_TRUE(a.Login("alice", "pw", &lr));
    EXPECT_EQ(0, lr.flag);
    EXPECT_EQ(0x77u, lr.param);
    ASSERT_GE(lr.data.size(), 21u);
    EXPECT_EQ(20u, Rd16(&lr.data[0]));
    EXPECT_EQ(7u, Rd32(&lr.data[4]));
    u32 at = 16;
    std::string sess = Str(lr.data, at, &at);
    std::string param = Str(lr.data, at, &at);
    std::string reserved = Str(lr.data, at, &at);
    std::string version = Str(lr.data, at, &at);
    EXPECT_EQ(17u, sess.size());
    EXPECT_EQ('S', sess[0]);
    EXPECT_EQ("(Direct){1}", param);
    EXPECT_EQ("", reserved);
    EXPECT_EQ("kv-rendezvous 1.0", version);
    EXPECT_TRUE(ServerSays("login ok user=alice"));
}

TEST_F(Session, LoginErrorsAndTheDigestForm)
{
    StartA();
    ASSERT_TRUE(a.Sync2("alice", kSrvName));
    struct Case {
        const char* user;
        std::string pass;
        u32 err;
    } cases[] = {
        {"alice", "wrong", 9},
        {"mallory", "pw", 8},
        {"alice", Digest("wrong", a.cookie, a.srvCookie), 9},
        {"alice", Digest("pw", a.cookie, a.srvCookie), 0},
    };
    for (const Case& c : cases) {
        Rx r;
        ASSERT_TRUE(a.Login(c.user, c.pass, &r)) << c.user << " " << c.pass;
        if (c.err) {
            EXPECT_EQ(kFlagError, r.flag) << c.pass;
            ASSERT_EQ(4u, r.data.size());
            EXPECT_EQ(c.err, Rd32(r.data.data())) << c.pass;
        } else {
            EXPECT_EQ(0, r.flag) << c.pass;
        }
    }
    EXPECT_TRUE(ServerSays("login fail user=mallory err=8"));
}

TEST_F(Session, StatusNamesThePeerAsTheStationSawItAndASecondLoginKicksTheFirst)
{
    StartA();
    ASSERT_TRUE(a.Sync2("alice", kSrvName));
    Rx r;
    ASSERT_TRUE(a.Login("alice", "pw", &r));
    ASSERT_EQ(0, r.flag);
    // Not logged in yet: bob is unknown to the server.
    ASSERT_TRUE(a.Send(kMsgStatusQuery, a.StatusMsg("bob"), 0, 0x55));
    ASSERT_TRUE(a.Next(kMsgStatusReply, &r));
    EXPECT_EQ(kFlagError, r.flag);
    EXPECT_EQ(0x55u, r.param);
    EXPECT_EQ(10u, Rd32(r.data.data()));
    auto bob = OtherClient(hb, "bob");
    ASSERT_TRUE(bob.WaitOutput("LOGGED", 30000)) << bob.Output();
    char ip[64] = {};
    unsigned port = 0;
    std::string out = bob.Output();
    ASSERT_EQ(2, sscanf(out.c_str() + out.find("MAIN "), "MAIN %63s %u", ip, &port));
    ASSERT_TRUE(a.Send(kMsgStatusQuery, a.StatusMsg("bob"), 0, 0x56));
    ASSERT_TRUE(a.Next(kMsgStatusReply, &r));
    EXPECT_EQ(0, r.flag);
    EXPECT_EQ(0x56u, r.param);
    ASSERT_GE(r.data.size(), 37u);
    QV_ADDR_S seen;
    memcpy(seen.uAddr, &r.data[16], 16);
    seen.uPort = (u16)Rd16(&r.data[32]);
    EXPECT_TRUE(SameAddr(V4(ip, (u16)port), seen)) << AddrText(seen);
    EXPECT_EQ(AddrText(srv), Str(r.data, 36));
    // A second login of alice, from host b, ends this one: the kick-out names where it is now.
    auto alice2 = OtherClient(hb, "alice");
    ASSERT_TRUE(alice2.WaitOutput("LOGGED", 30000)) << alice2.Output();
    ASSERT_TRUE(a.Next(kMsgKickOut, &r));
    ASSERT_EQ(24u, r.data.size());
    EXPECT_EQ(0u, Rd32(r.data.data()));
    out = alice2.Output();
    ASSERT_EQ(2, sscanf(out.c_str() + out.find("MAIN "), "MAIN %63s %u", ip, &port));
    QV_ADDR_S now;
    memcpy(now.uAddr, &r.data[4], 16);
    now.uPort = (u16)Rd16(&r.data[20]);
    EXPECT_TRUE(SameAddr(V4(ip, (u16)port), now)) << AddrText(now);
    EXPECT_TRUE(ServerSays("logout user=alice reason=relogin"));
    // The control's kick-out carries its parameter alone.
    Control("kick bob 5");
    EXPECT_TRUE(bob.WaitOutput("KICKED 4", 10000)) << bob.Output();
    EXPECT_TRUE(ServerSays("logout user=bob reason=kick"));
}

TEST_F(Session, KeepAlivesHoldTheLoginUntilLogoutOrSilence)
{
    StartA();
    ASSERT_TRUE(a.Sync2("alice", kSrvName));
    Rx r;
    auto online = [&] {
        EXPECT_TRUE(a.Send(kMsgStatusQuery, a.StatusMsg("alice")));
        EXPECT_TRUE(a.Next(kMsgStatusReply, &r));
        return r.flag == 0;
    };
    ASSERT_TRUE(a.Login("alice", "pw", &r));
    // Expire 20: a login lives 4 x 20 ticks after the last message.
    Control("tick 79");
    EXPECT_TRUE(ServerSays("ticked 79"));
    ASSERT_TRUE(a.Send(kMsgKeepAlive, std::vector<u8>(16, 0)));
    EXPECT_TRUE(online());
    Control("tick 79");
    EXPECT_TRUE(ServerSaid("ticked 79", 2));
    EXPECT_TRUE(online());
    ASSERT_TRUE(a.Send(kMsgLogout, std::vector<u8>(4, 0)));
    EXPECT_TRUE(ServerSays("logout user=alice reason=logout"));
    EXPECT_FALSE(online());
    ASSERT_TRUE(a.Login("alice", "pw", &r));
    EXPECT_TRUE(online());
    Control("tick 81");
    EXPECT_TRUE(ServerSays("logout user=alice reason=drop"));
}

TEST_F(Session, HostileMessagesAndDatagramsLeaveTheServerServing)
{
    // Datagrams of every kind the server reads, cut and filled at random.
    int fd = kvlab::UdpOpen(hb.ns, hb.ip4, 0);
    ASSERT_GE(fd, 0);
    std::mt19937 rnd(5);
    const u32 lens[] = {1, 2, 12, 13, 24, 25, 26, 55, 56, 84, 100, 140, 188, 212, 324, 600};
    for (u32 act : {0u, 1u, 2u, 5u, 6u, 7u, 0x40u, 0x44u, 0x46u, 0x48u, 0x49u, 0x80u, 0x81u, 0x90u, 0xFFu})
        for (u32 len : lens) {
            std::string d(len, '\0');
            for (auto& c : d)
                c = (char)rnd();
            if (len > 1)
                d[1] = (char)act;
            kvlab::UdpSend(fd, hs.ip4, kSrvPort, d);
        }
    close(fd);
    StartA();
    ASSERT_TRUE(a.Sync2("alice", kSrvName));
    // Node messages of every handled type, short, long and random.
    for (u16 type : std::vector<u16>{kMsgKeepAlive, kMsgSyncReport, kMsgLogin, kMsgLogout, kMsgStatusQuery, 99})
        for (u32 len : {1u, 3u, 15u, 16u, 31u, 32u, 36u, 37u, 40u, 64u, 700u}) {
            std::vector<u8> p(len);
            for (auto& c : p)
                c = (u8)rnd();
            if (len >= 40 && type != kMsgLogout)
                Wr32(&p[32], 0xFFFFFFF0);   // a string longer than anything
            ASSERT_TRUE(a.Send(type, p));
        }
    Rx r;
    ASSERT_TRUE(a.Login("alice", "pw", &r));
    EXPECT_EQ(0, r.flag);
    // A stamp is answered with our four bytes and the server's clock.
    std::vector<u8> st(16, 0);
    Wr32(&st[0], 0xA5A5A5A5);
    ASSERT_TRUE(a.Send(kMsgStamp, st));
    ASSERT_TRUE(a.Next(kMsgStampUpdate, &r));
    ASSERT_EQ(16u, r.data.size());
    EXPECT_EQ(0xA5A5A5A5u, Rd32(r.data.data()));
}
