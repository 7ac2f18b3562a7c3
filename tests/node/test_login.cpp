// The Peer class's server session on its own: a node whose socket layer runs over a carrier
// that goes nowhere, the server's messages handed to the class's handlers by the probe, node
// time driven by timer passes. Login replies good and hostile, keep-alive and silence,
// relogin delays, time-outs, the watchdog, kick-out, and the waiters that messages finish.
#include "kvLoginNode.h"

namespace {

class Login : public LoginNode {};

}  // namespace

TEST_F(Login, ASuccessfulLoginAnswersTheRequestWithTheResultRecord)
{
    ASSERT_NO_FATAL_FAILURE(ToLoggedIn());
    auto r = owner.Replies()[0];
    EXPECT_EQ(svr, r.a);
    EXPECT_EQ(0u, r.b);
    EXPECT_EQ(0x77u, r.d);
    ASSERT_EQ(428u, r.data.size());
    EXPECT_EQ(30u, U32(r.data, 0));
    EXPECT_EQ(3u, U32(r.data, 4));
    EXPECT_EQ("S1", Field(r.data, 8, 128));
    EXPECT_EQ("(Direct){1}", Field(r.data, 136, 256));
    EXPECT_EQ("v1", Field(r.data, 392, 36));
    // Automatic relogin is configured: the mode is relogin from now on; the self object exists.
    EXPECT_EQ(2u, Mode());
    EXPECT_NE(0u, node->ObjectGetID("alice"));
    // A second login while logged in is busy.
    EXPECT_EQ(14, RequestLogin());
}

TEST_F(Login, RepliesGoodAndHostile)
{
    const std::string v35(35, 'v'), v36(36, 'v');
    std::vector<u8> overlong = LoginReply(20, 0, "S", "", nullptr);
    qvSkWr32(&overlong[16], 0xFFFFFFF0);   // Sess's length runs past the message
    struct Case {
        const char* what;
        u16 flag;
        std::vector<u8> data;
        u32 status;   // login status afterwards
        int err;      // error the request is answered with, -1 none (dropped)
        u32 expire;   // Expire stored, 0 not checked
    } cases[] = {
        {"error 9", 1, Code(9), 0, 9, 0},
        {"error 0 is a refusal", 1, Code(0), 0, 13, 0},
        {"Expire 0 becomes 3", 0, LoginReply(0, 0, "S", "", nullptr), 3, 0, 3},
        {"Version of 35", 0, LoginReply(20, 0, "S", "", &v35), 3, 0, 20},
        {"Version of 36 is answered as malformed", 0, LoginReply(20, 0, "S", "", &v36), 0, 1, 0},
        {"20 bytes", 0, std::vector<u8>(20, 0), 2, -1, 0},
        {"Sess too long", 0, LoginReply(20, 0, std::string(128, 's'), "", nullptr), 2, -1, 0},
        {"Param too long", 0, LoginReply(20, 0, "S", std::string(256, 'p'), nullptr), 2, -1, 0},
        {"strings missing", 0, std::vector<u8>(24, 0), 2, -1, 0},
        {"string length past the end", 0, overlong, 2, -1, 0},
    };
    for (auto& c : cases) {
        TearDown();
        {
            std::lock_guard<std::mutex> lk(owner.mu);
            owner.replies.clear();
        }
        ASSERT_NO_FATAL_FAILURE(Start(0));
        ASSERT_NO_FATAL_FAILURE(ToSent());
        Deliver(svr, QV_PMSG_LOGIN_REPLY, c.flag, 0, c.data);
        EXPECT_EQ(c.status, Status()) << c.what;
        if (c.expire) {
            EXPECT_EQ(c.expire, Peer([](CQVClassPeerLoginProbe& p) { return p.Expire(); })) << c.what;
        }
        if (c.err < 0) {
            Seconds(1);
            EXPECT_TRUE(owner.Replies().empty()) << c.what;
            continue;
        }
        ASSERT_TRUE(WaitFor([&] { return owner.Replies().size() == 1; })) << c.what;
        EXPECT_EQ((u32)c.err, owner.Replies()[0].b) << c.what;
        // Without automatic relogin a failed login ends the login mode.
        EXPECT_EQ(c.err ? 0u : 1u, Mode()) << c.what;
    }
}

TEST_F(Login, RepliesOnlyCountFromTheServer)
{
    ASSERT_NO_FATAL_FAILURE(ToSent());
    u32 other = node->ObjectAdd("mallory", QV_CLASS_PEER, 0, QV_PEER_FLAG_STATIC);
    ASSERT_EQ(0u, Peer([&](CQVClassPeerLoginProbe& p) { return p.SetAddr(other, V4("10.0.0.9", 7000)); }));
    Deliver(other, QV_PMSG_LOGIN_REPLY, 0, 0, LoginReply(20, 0, "S", "", nullptr));
    Deliver(other, QV_PMSG_KICKOUT, 0, 0, Code(5));
    EXPECT_EQ(2u, Status());
    Seconds(2);
    EXPECT_TRUE(owner.Replies().empty());
    EXPECT_TRUE(Ext(47).empty());
}

TEST_F(Login, AnUnansweredLoginTimesOutThenRelogsInWithGrowingDelays)
{
    ASSERT_NO_FATAL_FAILURE(ToSent());
    // The login time-out (15 s) answers the request with 12; relogin mode takes over.
    Seconds(15);
    ASSERT_TRUE(WaitFor([&] { return owner.Replies().size() == 1; }));
    EXPECT_EQ(12u, owner.Replies()[0].b);
    EXPECT_EQ(2u, Mode());
    // Each further try times out after 15 s; the delays before them grow by 10 s up to 300 s.
    Seconds(1);
    std::vector<u32> delays;
    for (int i = 0; i < 33; i++) {
        ASSERT_EQ(4u, Status()) << i;
        u32 d = Countdown();
        delays.push_back(d);
        Seconds(d);
        ASSERT_EQ(1u, Status()) << i;
        Seconds(15);
    }
    std::vector<u32> expect = {1};
    for (u32 d = 10; d <= 290; d += 10)
        expect.push_back(d);
    expect.insert(expect.end(), {300, 300, 300});
    EXPECT_EQ(expect, delays);
    // Every failed try is reported as a relogin report with 12.
    ASSERT_TRUE(WaitFor([&] { return Ext(46).size() == 33; }));
    auto reports = Ext(46);
    EXPECT_EQ(12u, U32(reports.back().data, 0));
    EXPECT_EQ(396u, reports.back().data.size());
}

TEST_F(Login, KeepAlivesAndASilentServer)
{
    // Expire 0 in the reply: keep-alives every 3 s, silence declared 5 s after the first one
    // that drew nothing (this carrier answers nothing), even though later keep-alives go.
    Seconds(10);
    // The transport's coarse stamp (one a second) is what a keep-alive is stamped with.
    ASSERT_TRUE(WaitFor([&] { return Peer([](CQVClassPeerLoginProbe& p) { return p.CurrentStamp(); }) > 0; }));
    ASSERT_NO_FATAL_FAILURE(ToLoggedIn(0));
    EXPECT_EQ(3u, Peer([](CQVClassPeerLoginProbe& p) { return p.Expire(); }));
    Seconds(3);
    u32 sent = Peer([](CQVClassPeerLoginProbe& p) { return p.ActiveTime(); });
    EXPECT_NE(0u, sent);
    Seconds(4);
    EXPECT_EQ(3u, Status());
    EXPECT_EQ(sent, Peer([](CQVClassPeerLoginProbe& p) { return p.ActiveTime(); }));
    Seconds(1);
    // Relogin mode: the login starts again at once, the server socket is reconnected.
    EXPECT_EQ(1u, Status());
    EXPECT_EQ(0u, Peer([](CQVClassPeerLoginProbe& p) { return p.Reconnect(); }));
}

TEST_F(Login, ErrorReplyThenAReconnectOnlyAfterSevenSeconds)
{
    Seconds(10);
    ASSERT_NO_FATAL_FAILURE(ToSent());
    Deliver(svr, QV_PMSG_LOGIN_REPLY, 1, 0, Code(9));
    ASSERT_EQ(0u, Status());
    u32 mark = Peer([](CQVClassPeerLoginProbe& p) { return p.Reconnect(); });
    EXPECT_GT(mark, 1u);   // the time of the error reply
    // The relogin after the 1 s delay is within 7 s of the error: no reconnect, the mark stays.
    Seconds(3);
    EXPECT_EQ(1u, Status());
    EXPECT_EQ(mark, Peer([](CQVClassPeerLoginProbe& p) { return p.Reconnect(); }));
    // A bad password is reported upward each time.
    ASSERT_TRUE(WaitFor([&] { return owner.Replies().size() == 1; }));
    EXPECT_EQ(9u, owner.Replies()[0].b);
}

TEST_F(Login, KickOutReportsAndKeepsTheLogin)
{
    ASSERT_NO_FATAL_FAILURE(ToLoggedIn());
    std::vector<u8> k(24, 0);
    qvSkWr32(&k[0], 5);
    QV_ADDR_S now = V4("10.9.8.7", 4000);
    std::memcpy(&k[4], now.uAddr, 16);
    qvSkWr16(&k[20], 4000);
    Deliver(svr, QV_PMSG_KICKOUT, 0, 0, k);
    ASSERT_TRUE(WaitFor([&] { return Ext(47).size() == 1; }));
    auto e = Ext(47)[0];
    EXPECT_EQ(node->ObjectGetID("alice"), e.a);
    ASSERT_EQ(24u, e.data.size());
    EXPECT_EQ(5u, U32(e.data, 0));
    QV_ADDR_S got;
    std::memcpy(&got, e.data.data() + 4, sizeof(got));
    EXPECT_EQ(0, std::memcmp(got.uAddr, now.uAddr, 16));
    EXPECT_EQ(4000, got.uPort);
    EXPECT_EQ(3u, Status());
    EXPECT_EQ(0u, Peer([](CQVClassPeerLoginProbe& p) { return p.Count(); }));
    // Short: the parameter alone.
    Deliver(svr, QV_PMSG_KICKOUT, 0, 0, Code(7));
    ASSERT_TRUE(WaitFor([&] { return Ext(47).size() == 2; }));
}

TEST_F(Login, TheWatchdogRebuildsTheServerEntryAfterAQuarterOfAnHour)
{
    ASSERT_NO_FATAL_FAILURE(ToLoggedIn());
    Seconds(1);
    // The server refuses from now on; in relogin mode the tries go on.
    Deliver(svr, QV_PMSG_LOGIN_REPLY, 1, 0, Code(9));
    Seconds(1);
    auto sock = [&] { return Peer([](CQVClassPeerLoginProbe& p) { return p.ServerSock(); }); };
    u32 before = sock();
    ASSERT_NE(0u, before);
    Peer([](CQVClassPeerLoginProbe& p) {
        p.SkewWall(850);
        return 0;
    });
    Seconds(1);
    EXPECT_EQ(before, sock());
    // More than 899 s without a login: the server entry is reset (its socket goes) and the
    // login is requested again.
    Peer([](CQVClassPeerLoginProbe& p) {
        p.SkewWall(100);
        return 0;
    });
    Seconds(1);
    EXPECT_NE(before, sock());
    EXPECT_EQ(1u, Status());
}

TEST_F(Login, LogoutAndLoginRequestChecks)
{
    u32 other = node->ObjectAdd("bob", QV_CLASS_PEER, 0, 0);
    char rec[512] = {0};
    EXPECT_EQ(5, node->ObjectRequest(other, 32, rec, sizeof(rec), 0));   // not the server
    EXPECT_EQ(2, node->ObjectRequest(svr, 32, rec, sizeof(rec), 0));     // empty user
    EXPECT_EQ(2, node->ObjectRequest(svr, 32, rec, 100, 0));             // bad size
    std::memset(rec, 'x', sizeof(rec));
    EXPECT_EQ(2, node->ObjectRequest(svr, 32, rec, sizeof(rec), 0));     // unterminated fields
    EXPECT_EQ(2, node->ObjectRequest(svr, 32, "(User){a}(Pass){b}", 0, 0));   // Param missing
    EXPECT_EQ(-1, node->ObjectRequest(svr, 32, "(User){a}(Pass){b}(Param){}", 0, 0));
    EXPECT_EQ(2, node->ObjectRequest(other, 33, nullptr, 0, 0));
    EXPECT_EQ(0, node->ObjectRequest(svr, 33, nullptr, 0, 0));
    EXPECT_EQ(0u, Status());
    EXPECT_EQ(0u, Mode());
    // Control "login now" needs a login mode.
    u8 ctl[260] = {0};
    EXPECT_EQ(6, node->ObjectRequest(svr, 4, ctl, sizeof(ctl), 0));
    // Relogin delay option: Interval 0 or Max below 30 refused.
    u8 opt[260] = {0};
    u32 item = 15;
    std::memcpy(opt, &item, 4);
    std::strcpy(reinterpret_cast<char*>(opt + 4), "(Interval){0}(Max){60}");
    EXPECT_EQ(2, node->ObjectRequest(svr, 2, opt, sizeof(opt), 0));
    std::strcpy(reinterpret_cast<char*>(opt + 4), "(Interval){5}(Max){29}");
    EXPECT_EQ(2, node->ObjectRequest(svr, 2, opt, sizeof(opt), 0));
    std::strcpy(reinterpret_cast<char*>(opt + 4), "(Interval){5}(Max){30}");
    EXPECT_EQ(0, node->ObjectRequest(svr, 2, opt, sizeof(opt), 0));
}
