// Status queries and replies of the Peer class on a node whose carrier goes nowhere: a reply
// connects the peer, hostile replies take it off line with 2, replies only finish the status
// waiter they name and only when they come from the server, status notifications, waiter
// time-outs, connection details, resolve requests and the clock offsets of the stamps.
#include "kvLoginNode.h"

namespace {

// A status reply: peer type, address, Proxy, then optionally the agent peer and Proxy6.
std::vector<u8> StatusReply(u32 type, const QV_ADDR_S& a, const std::string& proxy,
                            const std::vector<std::string>& more = {})
{
    std::vector<u8> v(36, 0);
    qvSkWr32(&v[4], type);
    std::memcpy(&v[16], a.uAddr, 16);
    qvSkWr16(&v[32], a.uPort);
    PushStr(v, proxy);
    for (auto& m : more)
        PushStr(v, m);
    return v;
}

class Status : public LoginNode {
protected:
    void SetUp() override
    {
        LoginNode::SetUp();
        ASSERT_NO_FATAL_FAILURE(ToLoggedIn());
        // A peer as the tunnel adds it: peer-information reports, status notify.
        bob = node->ObjectAdd("bob", QV_CLASS_PEER, 0, 0x10060);
        ASSERT_NE(0u, bob);
        ASSERT_TRUE(WaitFor([&] { return Waiter() != 0; }));
    }
    u32 Waiter() { return Peer([&](CQVClassPeerLoginProbe& p) { return p.StatusWaiter(bob); }); }
    u32 PeerStatus() { return Peer([&](CQVClassPeerLoginProbe& p) { return p.PeerStatus(bob); }); }
    u32 Offline() { return Peer([&](CQVClassPeerLoginProbe& p) { return p.PeerOffline(bob); }); }
    // A new status query of bob; its waiter.
    u32 Query()
    {
        Peer([&](CQVClassPeerLoginProbe& p) { return p.SendStatus(bob); });
        return Waiter();
    }
    // The error reports (ext 1) of bob: method and error.
    std::vector<std::pair<u32, u32>> Errors()
    {
        std::vector<std::pair<u32, u32>> v;
        for (auto& r : Ext(1))
            if (r.a == bob)
                v.push_back({U32(r.data, 0), U32(r.data, 4)});
        return v;
    }
    u32 bob = 0;
};

}  // namespace

TEST_F(Status, AReplyConnectsThePeerAtItsAddress)
{
    u32 w = Waiter();
    EXPECT_EQ(1u, PeerStatus());
    Deliver(svr, QV_PMSG_STATUS_REPLY, 0, w, StatusReply(5, V4("10.0.0.2", 7000), "10.0.0.1:7781"));
    EXPECT_EQ(2u, PeerStatus());
    EXPECT_EQ(0u, Waiter());
    EXPECT_EQ(5u, Peer([&](CQVClassPeerLoginProbe& p) { return p.PeerType(bob); }));
    QV_ADDR_S a = Peer([&](CQVClassPeerLoginProbe& p) { return p.PeerAddr(bob); });
    EXPECT_EQ(0, std::memcmp(a.uAddr, V4("10.0.0.2", 7000).uAddr, 16));
    EXPECT_EQ(7000, a.uPort);
    // The same reply again: its waiter is finished, nothing changes.
    Deliver(svr, QV_PMSG_STATUS_REPLY, 0, w, StatusReply(6, V4("10.0.0.3", 7000), ""));
    EXPECT_EQ(5u, Peer([&](CQVClassPeerLoginProbe& p) { return p.PeerType(bob); }));
    // Connection details: the binary record with the peer type.
    EXPECT_EQ(-1, node->ObjectRequest(bob, 38, nullptr, 0, 0x38));
    ASSERT_TRUE(WaitFor([&] { return owner.Replies().size() == 2; }));
    auto r = owner.Replies()[1];
    EXPECT_EQ(bob, r.a);
    ASSERT_EQ(128u, r.data.size());
    EXPECT_EQ(5u, U32(r.data, 0));
}

TEST_F(Status, RepliesOnlyFinishTheStatusWaiterTheyNameFromTheServer)
{
    u32 w = Waiter();
    // The peer-information retry waiter lives beside the status waiter, never in its place.
    Peer([&](CQVClassPeerLoginProbe& p) {
        p.WaiterTimeout(bob, 7, 0);
        return 0;
    });
    Deliver(svr, QV_PMSG_STATUS_REPLY, 0, w, StatusReply(5, V4("10.0.0.2", 7000), ""));
    ASSERT_EQ(2u, PeerStatus());
    u32 info = Peer([&](CQVClassPeerLoginProbe& p) {
        p.WaiterTimeout(bob, 7, 0);   // no path yet: a retry in 3 s
        return p.InfoWaiter(bob);
    });
    ASSERT_NE(0u, info);
    w = Query();
    ASSERT_NE(0u, w);
    EXPECT_NE(info, w);
    // A reply naming the info waiter, one from another peer, one naming nothing: all ignored.
    u32 other = node->ObjectAdd("mallory", QV_CLASS_PEER, 0, QV_PEER_FLAG_STATIC);
    ASSERT_EQ(0u, Peer([&](CQVClassPeerLoginProbe& p) { return p.SetAddr(other, V4("10.0.0.9", 7000)); }));
    Deliver(svr, QV_PMSG_STATUS_REPLY, 0, info, StatusReply(7, V4("10.0.0.7", 7000), ""));
    Deliver(other, QV_PMSG_STATUS_REPLY, 0, w, StatusReply(7, V4("10.0.0.7", 7000), ""));
    Deliver(svr, QV_PMSG_STATUS_REPLY, 0, 0, StatusReply(7, V4("10.0.0.7", 7000), ""));
    // An agent login reply naming the status waiter is not an agent login's: ignored too.
    Deliver(svr, QV_PMSG_AGENT_LOGIN_REPLY, 1, w, Code(3));
    EXPECT_EQ(5u, Peer([&](CQVClassPeerLoginProbe& p) { return p.PeerType(bob); }));
    EXPECT_EQ(w, Waiter());
    EXPECT_EQ(info, Peer([&](CQVClassPeerLoginProbe& p) { return p.InfoWaiter(bob); }));
    // The right one still works.
    Deliver(svr, QV_PMSG_STATUS_REPLY, 0, w, StatusReply(7, V4("10.0.0.2", 7000), ""));
    EXPECT_EQ(7u, Peer([&](CQVClassPeerLoginProbe& p) { return p.PeerType(bob); }));
}

TEST_F(Status, HostileRepliesTakeThePeerOffLine)
{
    std::vector<u8> past = StatusReply(5, V4("10.0.0.2", 7000), "x");
    qvSkWr32(&past[36], 0xFFFFFFF0);
    std::vector<u8> agent = StatusReply(5, V4("10.0.0.2", 7000), "");
    agent.insert(agent.end(), {0, 0, 0, 9, 'a'});   // agent string cut short
    struct Case {
        const char* what;
        u16 flag;
        std::vector<u8> data;
        u32 err;
    } cases[] = {
        {"error 10", 1, Code(10), 10},
        {"error 0", 1, Code(0), 13},
        {"36 bytes", 0, std::vector<u8>(36, 0), 2},
        {"Proxy runs past the end", 0, past, 2},
        {"agent cut short", 0, agent, 2},
        {"Proxy too long", 0, StatusReply(5, V4("10.0.0.2", 7000), std::string(128, 'p')), 2},
        {"no address", 0, StatusReply(5, QV_ADDR_S{}, ""), 2},
    };
    size_t n = 0;
    for (auto& c : cases) {
        // Connected first, so that going off line is seen.
        Deliver(svr, QV_PMSG_STATUS_REPLY, 0, Waiter(), StatusReply(5, V4("10.0.0.2", 7000), ""));
        ASSERT_EQ(2u, PeerStatus()) << c.what;
        Deliver(svr, QV_PMSG_STATUS_REPLY, c.flag, Query(), c.data);
        ASSERT_TRUE(WaitFor([&] { return Errors().size() == n + 1; })) << c.what;
        EXPECT_EQ(34u, Errors()[n].first) << c.what;
        EXPECT_EQ(c.err, Errors()[n].second) << c.what;
        EXPECT_EQ(1u, PeerStatus()) << c.what;
        EXPECT_EQ(1u, Offline()) << c.what;
        n++;
        Query();
    }
}

TEST_F(Status, TimeOutsAndNotificationsAskAgain)
{
    u32 w = Waiter();
    // The status waiter's time-out (5 s) sends a new query.
    Seconds(6);
    ASSERT_TRUE(WaitFor([&] { return Waiter() != w && Waiter() != 0; }));
    u32 w2 = Waiter();
    Deliver(svr, QV_PMSG_STATUS_REPLY, 0, w2, StatusReply(5, V4("10.0.0.2", 7000), ""));
    ASSERT_EQ(2u, PeerStatus());
    auto notify = [&](u16 mask, const std::string& name) {
        std::vector<u8> v(16, 0);
        qvSkWr16(&v[0], mask);
        PushStr(v, name);
        return v;
    };
    // Changed (bit 2): asked again; from a peer that is not the server: ignored.
    Deliver(svr, QV_PMSG_STATUS_NOTIFY, 0, 0, notify(4, "bob"));
    EXPECT_NE(0u, Waiter());
    Deliver(svr, QV_PMSG_STATUS_REPLY, 0, Waiter(), StatusReply(5, V4("10.0.0.2", 7000), ""));
    u32 other = node->ObjectAdd("mallory", QV_CLASS_PEER, 0, QV_PEER_FLAG_STATIC);
    ASSERT_EQ(0u, Peer([&](CQVClassPeerLoginProbe& p) { return p.SetAddr(other, V4("10.0.0.9", 7000)); }));
    Deliver(other, QV_PMSG_STATUS_NOTIFY, 0, 0, notify(8, "bob"));
    EXPECT_EQ(2u, PeerStatus());
    // Off line (bit 3): error 10 upward; unknown and empty names change nothing.
    Deliver(svr, QV_PMSG_STATUS_NOTIFY, 0, 0, notify(8, "carol"));
    Deliver(svr, QV_PMSG_STATUS_NOTIFY, 0, 0, notify(8, ""));
    EXPECT_EQ(2u, PeerStatus());
    Deliver(svr, QV_PMSG_STATUS_NOTIFY, 0, 0, notify(8, "bob"));
    EXPECT_EQ(1u, PeerStatus());
    ASSERT_TRUE(WaitFor([&] { return !Errors().empty(); }));
    EXPECT_EQ(10u, Errors().back().second);
}

TEST_F(Status, ResolveRequestsAreBoundedByTheReplyField)
{
    auto malformed = [&] {
        return probe->Locked([&](CQVNodeClassProc&) { return node->GetClassPeer()->GetStat().uMalformed; });
    };
    u32 before = malformed();
    std::vector<u8> longName(84, 'n');   // no NUL within the 64-byte field
    Deliver(svr, QV_PMSG_RESO_REQUEST, 0, 0, longName);
    EXPECT_EQ(before + 1, malformed());
    // A literal is answered at once: nothing waits in the resolution list.
    std::vector<u8> lit(84, 0);
    std::memcpy(lit.data(), "10.1.2.3:80", 11);
    Deliver(svr, QV_PMSG_RESO_REQUEST, 0, 0, lit);
    EXPECT_EQ(before + 1, malformed());
    EXPECT_EQ(0u, Peer([](CQVClassPeerLoginProbe& p) { return p.ResoCount(); }));
}

TEST_F(Status, ClockOffsetsFromStamps)
{
    struct Case {
        const char* what;
        s32 before;
        u32 trip;     // ms the exchange took
        s64 sample;   // the offset the stamps tell
        s32 after;
    } cases[] = {
        {"a jump is taken", 0, 0, 1000, 1000},
        {"near: half way", 1000, 0, 1100, 1050},
        {"near, negative: half way rounded down", 1000, 0, 899, 949},
        {"equal", 1000, 0, 1000, 1000},
        {"too slow an exchange", 1000, 600, 5000, 1000},
        {"far apart of opposite signs", -2000000000, 0, 2000000000, 2000000000},
        {"the other way", 2000000000, 0, -2000000000, -2000000000},
    };
    for (auto& c : cases) {
        s32 got = Peer([&](CQVClassPeerLoginProbe& p) {
            p.SetOffset(bob, c.before);
            u32 echo = GET_TIMESTAMP() - c.trip;
            p.StampUpdate(bob, echo, echo + c.trip / 2 - (u32)c.sample);
            return p.ClockOffset(bob);
        });
        EXPECT_EQ(c.after, got) << c.what;
    }
    // An echoed time from the future (forged) wraps to a huge trip and is not used.
    s32 got = Peer([&](CQVClassPeerLoginProbe& p) {
        p.SetOffset(bob, 7);
        u32 echo = GET_TIMESTAMP() + 100000;
        p.StampUpdate(bob, echo, echo - 3000);
        return p.ClockOffset(bob);
    });
    EXPECT_EQ(7, got);
}
