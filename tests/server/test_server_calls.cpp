// Server calls and notifications of the test rendezvous server: the call text reader with
// hostile input, the calls' logic alone, and calls and notifications over a real peer socket in
// the network lab against a transport-level client.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "kvLab.h"
#include "kvSrvCalls.h"
#include "kvSrvTestClient.h"
#include "kvSrvWire.h"
#include "qvTimer.h"

using namespace kvsrv;

namespace {

std::vector<u8> Bytes(const std::string& s, bool nul = true)
{
    std::vector<u8> v(s.begin(), s.end());
    if (nul)
        v.push_back(0);
    return v;
}

std::string Element(u32 i, const std::string& peer = "bob")
{
    return "(t" + std::to_string(i) + "){(Type){0}(Option){(Encrypt){0}(Compress){0}}(Tcp){(PeerOut){" + peer +
           "}(AddrIn){127.0.0.1:" + std::to_string(20000 + i) + "}(AddrSvr){10.0.0.1:80}}}";
}

// Names of the connections in a list reply, in order.
std::vector<std::string> Names(const std::string& reply)
{
    std::vector<std::string> out;
    for (size_t at = 0; (at = reply.find("(t", at)) != std::string::npos; at++)
        if (at == 0 || reply[at - 1] == '}')
            out.push_back(reply.substr(at + 1, reply.find(')', at) - at - 1));
    return out;
}

}  // namespace

TEST(ServerCalls, CallTextReaderRefusesHostileInput)
{
    u32 m = 0;
    std::string p;
    ASSERT_TRUE(ParseCallText(Bytes("32:(a){b}").data(), 10, &m, &p));
    EXPECT_EQ(32u, m);
    EXPECT_EQ("(a){b}", p);
    ASSERT_TRUE(ParseCallText(Bytes("4294967295:").data(), 12, &m, &p));
    EXPECT_EQ(0xFFFFFFFFu, m);
    EXPECT_EQ("", p);
    const std::vector<u8> bad[] = {
        Bytes("32:x", false),       // no NUL within the payload
        Bytes(""),                  // empty text
        Bytes(":x"),                // no method
        Bytes("32x"),               // no colon
        Bytes("4294967296:x"),      // method past 32 bits
        Bytes("12345678901:x"),     // eleven digits
        Bytes("-1:x"),
        Bytes("3 2:x"),
    };
    for (const auto& b : bad)
        EXPECT_FALSE(ParseCallText(b.data(), (u32)b.size(), &m, &p)) << std::string(b.begin(), b.end());
    EXPECT_FALSE(ParseCallText(nullptr, 0, &m, &p));
    // A NUL inside ends the text there.
    std::vector<u8> mid = Bytes("7:ab");
    mid.insert(mid.begin() + 3, 0);
    ASSERT_TRUE(ParseCallText(mid.data(), (u32)mid.size(), &m, &p));
    EXPECT_EQ("a", p);
    // Random bytes never crash the reader.
    std::srand(7);
    for (int i = 0; i < 20000; i++) {
        std::vector<u8> r((size_t)(std::rand() % 24));
        for (u8& c : r)
            c = (u8)(std::rand() % 4 == 0 ? ':' : std::rand() % 4 == 0 ? '0' + std::rand() % 10 : std::rand());
        ParseCallText(r.data(), (u32)r.size(), &m, &p);
    }
}

TEST(ServerCalls, ListsArePagedAndCutToOneMessage)
{
    Calls c([](const std::string&) { return false; });
    for (u32 i = 0; i < 300; i++)
        ASSERT_TRUE(c.AddTunnel("alice", Element(i)));
    EXPECT_FALSE(c.AddTunnel("alice", "no element"));
    EXPECT_FALSE(c.AddTunnel("alice", "(x){(Option){}}"));
    EXPECT_EQ(300u, c.ListSize("alice"));
    std::vector<std::string> all;
    for (u32 pos = 0; pos < 300; pos += 128) {
        Calls::Result r = c.Handle("alice", 34, "(Pos){" + std::to_string(pos) + "}(Size){128}");
        EXPECT_EQ(0u, r.err);
        auto n = Names(r.reply);
        EXPECT_EQ(pos < 256 ? 128u : 44u, n.size()) << pos;
        all.insert(all.end(), n.begin(), n.end());
    }
    ASSERT_EQ(300u, all.size());
    EXPECT_EQ(300u, std::set<std::string>(all.begin(), all.end()).size());
    EXPECT_EQ("", c.Handle("alice", 34, "(Pos){300}(Size){128}").reply);
    EXPECT_EQ("", c.Handle("carol", 35, "(Pos){0}(Size){5}").reply);
    // A huge page asked for is cut before the message would grow too large.
    Calls::Result big = c.Handle("alice", 35, "");
    EXPECT_LE(big.reply.size(), Calls::kReplyMax);
    EXPECT_EQ(300u, Names(big.reply).size());
    // Replacing a name keeps one entry; removing it drops it.
    ASSERT_TRUE(c.AddTunnel("alice", Element(5, "carol")));
    EXPECT_EQ(300u, c.ListSize("alice"));
    EXPECT_TRUE(c.RemoveTunnel("alice", "t5"));
    EXPECT_FALSE(c.RemoveTunnel("alice", "t5"));
}

TEST(ServerCalls, ConnectionsJoinBothListsAndTellLoggedInPeers)
{
    std::set<std::string> online = {"alice", "bob"};
    Calls c([&](const std::string& u) { return online.count(u) != 0; });
    ASSERT_TRUE(c.AddPassCode("code1:dom(1)"));
    EXPECT_FALSE(c.AddPassCode("nocolon"));
    EXPECT_EQ("(Domain){dom&A1&B}", c.Handle("alice", 33, "(PassCode){code1}").reply);
    EXPECT_EQ(13u, c.Handle("alice", 33, "(PassCode){other}").err);
    EXPECT_EQ("(MngUser){kvadmin}", c.Handle("alice", 32, "(CltInfo){x}(Cmmt){y}").reply);
    EXPECT_EQ("(CltInfo){x}(Cmmt){y}", c.ClientInfo("alice"));
    EXPECT_EQ("(Status){1}(Meth){0}(Tunnel){a&Ab}", c.Handle("alice", 36, "(Peer){bob}(Meth){0}(Tunnel){a&Ab}").reply);
    EXPECT_EQ("(Status){0}(Meth){0}(Tunnel){}", c.Handle("alice", 36, "(Peer){carol}").reply);
    EXPECT_EQ("(Echo){q=1&A}", c.Handle("alice", 1024, "q=1(").reply);
    EXPECT_EQ(2u, c.Handle("alice", 99, "").err);

    const std::string add = "(SessID){}(PeerID){bob}(Type){0}(Encrypt){1}(ListenAddr){10.0.0.2:22}"
                            "(ClientAddr){127.0.0.1:2222}";
    Calls::Result r = c.Handle("alice", 42, add);
    ASSERT_EQ(0u, r.err);
    EXPECT_EQ("(ClientAddr){127.0.0.1:2222}", r.reply);
    ASSERT_EQ(2u, r.notices.size());
    EXPECT_EQ("alice", r.notices[0].user);
    EXPECT_EQ("bob", r.notices[1].user);
    EXPECT_EQ("TunnelSta?(Action){1}(TunnelList){(kvT1){(Type){0}(Option){(Encrypt){1}(Compress){0}}(Tcp){(PeerOut){bob}"
              "(AddrIn){127.0.0.1:2222}(AddrSvr){10.0.0.2:22}}}}",
              r.notices[0].text);
    EXPECT_EQ(1u, c.ListSize("alice"));
    EXPECT_EQ(1u, c.ListSize("bob"));
    EXPECT_EQ(2u, c.Handle("alice", 42, "(PeerID){bob}(Type){0}").err);
    EXPECT_EQ(2u, c.Handle("alice", 42, "(PeerID){bob}(Type){2}(ListenAddr){x}").err);

    online.erase("bob");
    Calls::Result d = c.Handle("alice", 43, "(PeerID){bob}(Type){0}(ListenAddr){10.0.0.2:22}(ClientAddr){}");
    ASSERT_EQ(0u, d.err);
    ASSERT_EQ(1u, d.notices.size());
    EXPECT_EQ("TunnelSta?(Action){0}(TunnelList){(kvT1){}}", d.notices[0].text);
    EXPECT_EQ(0u, c.ListSize("alice"));
    EXPECT_EQ(0u, c.ListSize("bob"));
    EXPECT_EQ(18u, c.Handle("alice", 43, "(PeerID){bob}(Type){0}(ListenAddr){10.0.0.2:22}").err);
}

TEST(ServerCalls, StateIsBounded)
{
    Calls c([](const std::string&) { return false; });
    for (u32 i = 0; i < Calls::kListMax; i++)
        ASSERT_TRUE(c.AddTunnel("alice", "(n" + std::to_string(i) + "){(Type){1}}"));
    EXPECT_FALSE(c.AddTunnel("alice", "(more){(Type){1}}"));
    for (u32 i = 1; i < Calls::kUsersMax; i++)
        ASSERT_TRUE(c.AddTunnel("u" + std::to_string(i), "(a){(Type){1}}"));
    EXPECT_FALSE(c.AddTunnel("another", "(a){(Type){1}}"));
}

// ---------------------------------------------------------------------------------------------
// Over a peer socket in the lab.

namespace {

class TimerEnv : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(1u, qvTimerInit(64)); }
    void TearDown() override { qvTimerClean(); }
};
::testing::Environment* const s_TimerEnv = ::testing::AddGlobalTestEnvironment(new TimerEnv);

const u16 kSrvPort = 7781;
const char* kSrvName = "kvserver";

class CallSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        KV_LAB_REQUIRE();
        auto pub = lab.AddSegment("pub");
        hs = lab.AddHost(pub, "srv");
        ha = lab.AddHost(pub, "a");
        ASSERT_TRUE(lab.PinNeighbours({hs, ha}));
        memset(&srv, 0, sizeof(srv));
        inet_pton(AF_INET, hs.ip4.c_str(), &srv.uAddr[3]);
        srv.uPort = kSrvPort;
        ctl = dir.Path() + "/ctl";
        server = lab.SpawnIn(hs, {KV_TOOL_DIR "/kv_rendezvous", "--addr", hs.ip4 + ":" + std::to_string(kSrvPort),
                                  "--name", kSrvName, "--account", "alice:pw", "--passcode", "c1:newdom",
                                  "--control", ctl});
        ASSERT_TRUE(server.WaitOutput("kvsrv: ready", 10000)) << server.Output();
        kvlab::NetnsGuard ns(ha.ns);
        ASSERT_TRUE(ns.Ok());
        ASSERT_TRUE(a.Start("alice", srv));
        ASSERT_TRUE(a.WaitConnected());
        ASSERT_TRUE(a.Sync2("alice", kSrvName));
    }
    void TearDown() override
    {
        kvlab::ExpectNoSanitizerReport(server);
    }
    void Control(const std::string& line)
    {
        int fd = open(ctl.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        std::string l = line + "\n";
        ASSERT_EQ((ssize_t)l.size(), write(fd, l.data(), l.size()));
        close(fd);
    }
    // One call; its reply (type 10).
    Rx Call(const std::string& text, u32 param)
    {
        Rx r;
        EXPECT_TRUE(a.Send(kMsgCall, Bytes(text), kFlagText, param));
        EXPECT_TRUE(a.Next(kMsgCallReply, &r));
        EXPECT_EQ(param, r.param);
        return r;
    }
    static std::string Text(const Rx& r) { return r.data.empty() ? "<none>" : std::string((const char*)r.data.data()); }

    kvlab::Lab lab;
    kvlab::TempDir dir;
    kvlab::Host hs, ha;
    QV_ADDR_S srv;
    std::string ctl;
    kvlab::Process server;
    SessionClient a;
};

}  // namespace

TEST_F(CallSession, CallsNeedALoginAndAreAnsweredOnTheirParameter)
{
    Rx r = Call("32:(Cmmt){x}", 5);
    ASSERT_EQ(kFlagError, r.flag);
    ASSERT_EQ(4u, r.data.size());
    EXPECT_EQ(10u, Rd32(r.data.data()));
    Rx lr;
    ASSERT_TRUE(a.Login("alice", "pw", &lr));
    r = Call("32:(CltInfo){i}(Cmmt){hello}", 6);
    EXPECT_EQ(kFlagText, r.flag);
    EXPECT_EQ("(MngUser){kvadmin}", Text(r));
    EXPECT_TRUE(server.WaitOutput("call clientinfo user=alice cmmt=hello", 5000));
    r = Call("33:(PassCode){c1}", 7);
    EXPECT_EQ("(Domain){newdom}", Text(r));
    r = Call("garbage", 8);
    EXPECT_EQ(kFlagError, r.flag);
    EXPECT_EQ(2u, Rd32(r.data.data()));
    // A binary payload without its NUL is refused the same way.
    ASSERT_TRUE(a.Send(kMsgCall, Bytes("32:x", false), 0, 9));
    ASSERT_TRUE(a.Next(kMsgCallReply, &r));
    EXPECT_EQ(kFlagError, r.flag);
    // The server still serves afterwards.
    EXPECT_EQ("(Echo){z}", Text(Call("1024:z", 10)));
}

TEST_F(CallSession, TunnelListServedInPagesAndNotificationsFromControl)
{
    Rx lr;
    ASSERT_TRUE(a.Login("alice", "pw", &lr));
    ASSERT_TRUE(server.WaitOutput("login ok user=alice", 5000));
    for (u32 i = 0; i < 140; i++)
        Control("tunnel alice " + Element(i));
    ASSERT_TRUE(kvlab::WaitUntil([&] {
        std::string out = server.Output();
        size_t n = 0;
        for (size_t at = out.find("tunnel user=alice added"); at != std::string::npos;
             at = out.find("tunnel user=alice added", at + 1))
            n++;
        return n == 140;
    }, 10000));
    std::vector<std::string> names;
    for (u32 pos = 0;; pos += 64) {
        auto n = Names(Text(Call("34:(Pos){" + std::to_string(pos) + "}(Size){64}", 100 + pos)));
        names.insert(names.end(), n.begin(), n.end());
        if (n.size() < 64)
            break;
    }
    EXPECT_EQ(140u, names.size());
    EXPECT_EQ(140u, std::set<std::string>(names.begin(), names.end()).size());

    Control("notify alice UserExtend?hello world");
    Rx m;
    ASSERT_TRUE(a.Next(kMsgMessage, &m));
    EXPECT_EQ(kFlagText, m.flag);
    EXPECT_EQ("UserExtend?hello world", Text(m));
    Control("notify nobody Restart");
    EXPECT_TRUE(server.WaitOutput("notify user=nobody not logged in", 5000));
}
