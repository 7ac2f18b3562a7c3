// The node's core on its own: configuration, attachment, objects and handles, peer-ID lists,
// the dispatch thread (object dispatch, notifications, waiters, class timers), requests with
// their handle records and time-outs, extension instances and multicast units. The socket
// layer runs over a datagram carrier that goes nowhere.
#include "kvNodeFakes.h"

#include <atomic>
#include <condition_variable>
#include <set>

namespace {

class NodeCore : public ::testing::Test {
protected:
    void SetUp() override
    {
        node = new CQVNode();
        node->GetSocket()->SetLower(&lower);
        ASSERT_EQ(1u, node->AttachClass(&tc, 7, 100));
        QV_CFG_S c = SmallCfg();
        c.uRequestTimeout = cfgTimeout;
        c.uSockSide = cfgSide;
        ASSERT_EQ(1u, node->Initialize(nullptr, &owner, &c));
    }
    void TearDown() override
    {
        if (node)
            node->Delete();
    }
    // Adds n peer objects "p0".."p<n-1>".
    std::vector<u32> Peers(u32 n, u32 uFlags = 0, const std::string& prefix = "p")
    {
        std::vector<u32> v;
        for (u32 i = 0; i < n; i++)
            v.push_back(node->ObjectAdd((prefix + std::to_string(i)).c_str(), QV_CLASS_PEER, 0, uFlags));
        return v;
    }
    u32 Inst(u32 uObject)
    {
        u32 i = 0xFFFFFFFF;
        node->ObjectGetInstID(uObject, &i);
        return i;
    }

    NullLower lower;
    TestClass tc;
    TestOwner owner;
    CQVNode* node = nullptr;
    u32 cfgTimeout = 0;
    u32 cfgSide = 0;
};

TEST(NodeConfig, CountsTimeoutsAndTheExtensionTable)
{
    struct Case {
        u32 uTimeout, uExtInst, uObjMax;
        u32 wantTimeout, wantExtInst, wantObjMax;
    } cases[] = {
        {30, 10, 0, 60, 64, 512},         // 1..60 s become 60; at least 64 instances; 0 keeps the default
        {0, 100, 0xFFFF, 0, 100, 512},    // time-outs off; above 0xFFFE keeps the default
        {61, 64, 0xFFFE, 61, 64, 0xFFFE}, // above 60 unchanged; the largest count taken
    };
    for (const Case& k : cases) {
        NullLower lower;
        CQVNode* n = new CQVNode();
        n->GetSocket()->SetLower(&lower);
        QV_CFG_S c = SmallCfg();
        c.uRequestTimeout = k.uTimeout;
        c.uExtInstMax = k.uExtInst;
        c.uObjMax = k.uObjMax;
        ASSERT_EQ(1u, n->Initialize(nullptr, nullptr, &c));
        CQVNodeTestProbe probe(*n);
        EXPECT_EQ(k.wantTimeout, probe.Cfg().uRequestTimeout);
        EXPECT_EQ(k.wantExtInst < 64 ? 64u : k.wantExtInst, probe.ExtInstCount());
        EXPECT_EQ(k.wantObjMax, probe.Cfg().uObjMax);
        n->Delete();
    }
}

TEST(NodeConfig, AttachRulesAndASecondInitializeFails)
{
    NullLower lower;
    TestClass a, b;
    CQVNode* n = new CQVNode();
    n->GetSocket()->SetLower(&lower);
    EXPECT_EQ(0u, n->AttachClass(nullptr, 7, 10));
    EXPECT_EQ(0u, n->AttachClass(&a, 16, 10));
    EXPECT_EQ(0u, n->AttachClass(&a, 7, 0));
    EXPECT_EQ(0u, n->AttachClass(&a, 7, 0xFFFF));
    EXPECT_EQ(1u, n->AttachClass(&a, 7, 10));
    EXPECT_EQ(0u, n->AttachClass(&b, 7, 10));   // never replaced
    EXPECT_EQ(0u, n->AttachExtDepend(0, 1));
    EXPECT_EQ(0u, n->SetOption(2, "1"));
    EXPECT_EQ(1u, n->SetOption(1, "x"));
    EXPECT_EQ(1u, n->SetOption(0, "1200"));
    EXPECT_EQ(0u, n->SetOption(0, "1281"));
    QV_CFG_S c = SmallCfg();
    ASSERT_EQ(1u, n->Initialize(nullptr, nullptr, &c));
    EXPECT_EQ(1u, a.Count("init"));
    EXPECT_EQ(10u, a.Calls("init")[0].a);
    n->Clean();
    EXPECT_EQ(1u, a.Count("clean"));
    // The built-in classes stay attached: a cleaned node cannot start again.
    EXPECT_EQ(0u, n->Initialize(nullptr, nullptr, &c));
    n->Delete();
}

TEST(NodeConfig, AFailingClassUndoesTheStart)
{
    NullLower lower;
    TestClass a;
    a.initOk = false;
    CQVNode* n = new CQVNode();
    n->GetSocket()->SetLower(&lower);
    n->AttachClass(&a, 9, 10);
    QV_CFG_S c = SmallCfg();
    EXPECT_EQ(0u, n->Initialize(nullptr, nullptr, &c));
    EXPECT_EQ(0u, n->IsInitialized());
    EXPECT_EQ(0u, n->ObjectAdd("x", 9, 0, 0));
    n->Delete();
}

TEST(NodeConfig, SetAddrRefusesBadTexts)
{
    NullLower lower;
    CQVNode* n = new CQVNode();
    n->GetSocket()->SetLower(&lower);
    QV_CFG_S c = SmallCfg();
    ASSERT_EQ(1u, n->Initialize(nullptr, nullptr, &c));
    const std::string kLong(128, '1');
    const char* bad[] = {"", "netif#eth0", "netif#", kLong.c_str(), "not an address at all"};
    for (const char* t : bad)
        EXPECT_EQ(0u, n->SetAddr(t, 0)) << t;
    EXPECT_EQ(0u, n->SetAddr("10.1.2.3:7000", 2));
    char buf[64];
    EXPECT_EQ(0u, n->GetAddr(nullptr, 10, 0));
    EXPECT_EQ(0u, n->GetAddr(buf, sizeof(buf), 2));
    n->Delete();
}

TEST_F(NodeCore, ObjectsNamesAndStaleHandles)
{
    u32 a = node->ObjectAdd("alpha", 7, 0, 0x40);
    ASSERT_NE(0u, a);
    ASSERT_EQ(1u, tc.Count("add"));
    EXPECT_EQ(0x40u, tc.Calls("add")[0].c);
    // Same name and class: the existing object, no second OnAdd; another class: refused.
    EXPECT_EQ(a, node->ObjectAdd("alpha", 7, 0, 0));
    EXPECT_EQ(1u, tc.Count("add"));
    EXPECT_EQ(0u, node->ObjectAdd("alpha", QV_CLASS_PEER, 0, 0));
    EXPECT_EQ(0u, node->ObjectAdd("", 7, 0, 0));
    EXPECT_EQ(0u, node->ObjectAdd("beta", 8, 0, 0));   // class not attached
    EXPECT_EQ(a, node->ObjectGetID("alpha"));
    char buf[6];
    EXPECT_EQ(0u, node->ObjectGetName(a, buf, 5));   // "alpha" needs 6 bytes
    EXPECT_EQ(1u, node->ObjectGetName(a, buf, 6));
    EXPECT_STREQ("alpha", buf);
    u32 uClass = 0;
    EXPECT_EQ(1u, node->ObjectGetClass(a, &uClass));
    EXPECT_EQ(7u, uClass);

    node->ObjectDelete(a);
    EXPECT_TRUE(WaitFor([&] { return tc.Count("delete") == 1; }));
    EXPECT_EQ(1u, tc.Count("notify") >= 1 ? 1u : 0u);
    // The index is reused by the next add; the old handle fails every check.
    u32 b = node->ObjectAdd("gamma", 7, 0, 0);
    ASSERT_NE(0u, b);
    EXPECT_NE(a, b);
    u32 uOut = 0;
    EXPECT_EQ(0u, node->ObjectGetClass(a, &uOut));
    EXPECT_EQ(0u, node->ObjectGetInstID(a, &uOut));
    EXPECT_EQ(0u, node->ObjectGetGroup(a, &uOut));
    EXPECT_EQ(0u, node->ObjectGetName(a, buf, sizeof(buf)));
    EXPECT_EQ(0u, node->ObjectSetGroup(a, 0));
    EXPECT_EQ(QV_NODE_ERR_NO_OBJECT, node->ObjectRequest(a, 1, nullptr, 0, 0));
    EXPECT_EQ(QV_NODE_ERR_NO_OBJECT, node->ObjectExtReply(a, 0, nullptr, 0, 0));
    EXPECT_EQ(0u, node->ObjectGetID("alpha"));
    node->ObjectDelete(a);   // nothing happens
    EXPECT_EQ(b, node->ObjectGetID("gamma"));
}

TEST_F(NodeCore, EnumerationFollowsTheAddOrderAndRestartsOnAStaleHandle)
{
    u32 a = node->ObjectAdd("a", 7, 0, 0);
    u32 h = node->ObjectAdd("hidden", 7, 0, QV_OBJ_OPT_NOENUM);
    u32 b = node->ObjectAdd("b", 7, 0, 0);
    u32 c = node->ObjectAdd("c", 7, 0, 0);
    ASSERT_TRUE(a && h && b && c);
    EXPECT_EQ(a, node->ObjectEnum(0, 7));
    EXPECT_EQ(b, node->ObjectEnum(a, 7));
    EXPECT_EQ(c, node->ObjectEnum(b, 7));
    EXPECT_EQ(0u, node->ObjectEnum(c, 7));
    node->ObjectDelete(b);
    EXPECT_EQ(a, node->ObjectEnum(b, 7));   // stale: from the first again
}

TEST_F(NodeCore, GroupChecks)
{
    std::vector<u32> p = Peers(1);
    u32 g = node->ObjectAdd("group", QV_CLASS_GROUP, 0, 0);
    ASSERT_TRUE(p[0] && g);
    // A peer or a group object may be the group; a stale or zero handle means no group.
    u32 x = node->ObjectAdd("x", 7, p[0], 0);
    u32 y = node->ObjectAdd("y", 7, g, 0);
    u32 z = node->ObjectAdd("z", 7, 0x12345678, 0);
    u32 uGroup = 1;
    ASSERT_TRUE(x && y && z);
    node->ObjectGetGroup(x, &uGroup);
    EXPECT_EQ(p[0], uGroup);
    node->ObjectGetGroup(y, &uGroup);
    EXPECT_EQ(g, uGroup);
    node->ObjectGetGroup(z, &uGroup);
    EXPECT_EQ(0u, uGroup);
    // A group object can only take a peer object as its group; an object of another class
    // cannot be a group.
    EXPECT_EQ(0u, node->ObjectAdd("g2", QV_CLASS_GROUP, g, 0));
    EXPECT_EQ(0u, node->ObjectAdd("w", 7, x, 0));
    EXPECT_EQ(0u, node->ObjectSetGroup(z, x));
    EXPECT_EQ(1u, node->ObjectSetGroup(z, p[0]));
    EXPECT_EQ(1u, node->ObjectSetGroup(z, p[0]));
    // An agent peer cannot be a group.
    u32 agent = node->ObjectAdd("agent", QV_CLASS_PEER, 0, QV_PEER_FLAG_AGENT);
    ASSERT_NE(0u, agent);
    EXPECT_EQ(0u, node->ObjectAdd("v", 7, agent, 0));
    // The peer goes: its objects lose their group and get it back when a peer of that name
    // returns.
    node->ObjectDelete(p[0]);
    node->ObjectGetGroup(x, &uGroup);
    EXPECT_EQ(0u, uGroup);
    u32 p2 = node->ObjectAdd("p0", QV_CLASS_PEER, 0, 0);
    ASSERT_NE(0u, p2);
    node->ObjectGetGroup(x, &uGroup);
    EXPECT_EQ(p2, uGroup);
    node->ObjectGetGroup(z, &uGroup);
    EXPECT_EQ(p2, uGroup);
}

TEST_F(NodeCore, PeerIDListsConvertWhenFull)
{
    CQVNodeTestProbe probe(*node);
    // 16 peers: a 16-entry list that never converts.
    std::vector<u32> p = Peers(16);
    u32 o = node->ObjectAdd("obj", 7, 0, 0);
    for (u32 i = 0; i < 16; i++)
        EXPECT_EQ(1u, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjSetPeerID(o, 1000 + i, p[i]); }));
    // Setting the same ID again changes nothing.
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjSetPeerID(o, 1003, p[3]); }));
    for (u32 i = 0; i < 16; i++)
        EXPECT_EQ(1000 + i, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjGetObjIDByPeer(o, p[i]); }));
    // A peer object keeps one ID, for its own peer only.
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjSetPeerID(p[0], 5, p[1]); }));
    EXPECT_EQ(1u, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjSetPeerID(p[0], 5, p[0]); }));
    EXPECT_EQ(5u, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjGetObjIDByPeer(p[0], p[0]); }));
    // The ID set is announced to the object's class (notify 2).
    EXPECT_TRUE(WaitFor([&] {
        for (auto& c : tc.Calls("notify"))
            if (c.b == QV_NOTIFY_PEER_ID && c.c == p[15] && c.d == 1)
                return true;
        return false;
    }));
    // Reset forgets one peer's ID.
    EXPECT_EQ(1u, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjResetPeerID(o, p[2]); }));
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjGetObjIDByPeer(o, p[2]); }));
}

TEST(NodePeerIDs, ThirtyThirdPeerConvertsTheListToAnArray)
{
    NullLower lower;
    TestClass tc;
    CQVNode* n = new CQVNode();
    n->GetSocket()->SetLower(&lower);
    n->AttachClass(&tc, 7, 10);
    QV_CFG_S c = SmallCfg();
    c.uPeerMax = 40;
    ASSERT_EQ(1u, n->Initialize(nullptr, nullptr, &c));
    CQVNodeTestProbe probe(*n);
    std::vector<u32> p;
    for (u32 i = 0; i < 40; i++)
        p.push_back(n->ObjectAdd(("p" + std::to_string(i)).c_str(), QV_CLASS_PEER, 0, 0));
    u32 o = n->ObjectAdd("obj", 7, 0, 0);
    for (u32 i = 0; i < 33; i++)
        ASSERT_EQ(1u, probe.Locked([&](CQVNodeClassProc& k) { return k.ObjSetPeerID(o, 500 + i, p[i]); })) << i;
    for (u32 i = 0; i < 33; i++)
        EXPECT_EQ(500 + i, probe.Locked([&](CQVNodeClassProc& k) { return k.ObjGetObjIDByPeer(o, p[i]); }));
    EXPECT_EQ(1u, probe.Locked([&](CQVNodeClassProc& k) { return k.ObjSetPeerID(o, 900, p[39]); }));
    n->Delete();
}

TEST_F(NodeCore, DispatchBitsRepeatUntilTheClassIsDone)
{
    CQVNodeTestProbe probe(*node);
    u32 a = node->ObjectAdd("a", 7, 0, 0);
    tc.dispRepeat = 2;
    probe.Locked([&](CQVNodeClassProc& c) {
        c.ObjDisp(a, 0x1);
        return c.ObjDisp(a, 0x4);
    });
    ASSERT_TRUE(WaitFor([&] { return tc.Count("disp") == 3; }));
    for (auto& c : tc.Calls("disp"))
        EXPECT_EQ(0x5u, c.b);
    EXPECT_FALSE(probe.Locked([&](CQVNodeClassProc& c) { return c.ObjDisp(0x10001, 1); }));
}

TEST_F(NodeCore, WaitersExpireFinishAndEnumerate)
{
    CQVNodeTestProbe probe(*node);
    probe.ManualTime();
    u32 a = node->ObjectAdd("a", 7, 0, 0);
    u32 b = node->ObjectAdd("b", 7, 0, 0);
    u32 w0 = probe.Locked([&](CQVNodeClassProc& c) { return c.WaiterAlloc(a, 0, 11, 12); });
    u32 w2 = probe.Locked([&](CQVNodeClassProc& c) { return c.WaiterAlloc(a, 2, 21, 22); });
    u32 wb = probe.Locked([&](CQVNodeClassProc& c) { return c.WaiterAlloc(b, 2, 31, 32); });
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc& c) { return c.WaiterAlloc(0, 2, 0, 0); }));
    ASSERT_TRUE(w0 && w2 && wb);
    u32 p0 = 0, p1 = 0;
    EXPECT_EQ(w2, probe.Locked([&](CQVNodeClassProc& c) { return c.WaiterEnum(w0, a, &p0, &p1); }));
    EXPECT_EQ(21u, p0);
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc& c) { return c.WaiterEnum(w2, a, &p0, &p1); }));
    // A waiter of 0 seconds expires at the next pass.
    probe.Pass(1);
    ASSERT_TRUE(WaitFor([&] { return tc.Count("notify") >= 3; }));
    auto n = tc.Calls("notify");
    EXPECT_EQ((u32)QV_NOTIFY_WAITER, n.back().b);
    EXPECT_EQ(11u, n.back().c);
    EXPECT_EQ(12u, n.back().d);
    // 2 seconds are 20 passes; finishing one early returns its object and parameters.
    EXPECT_EQ(b, probe.Locked([&](CQVNodeClassProc& c) { return c.WaiterFinish(wb, &p0, &p1); }));
    EXPECT_EQ(31u, p0);
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc& c) { return c.WaiterFinish(wb, &p0, &p1); }));
    EXPECT_FALSE(probe.Locked([&](CQVNodeClassProc& c) { return c.WaiterAdjust(wb, 5); }));
    probe.Pass(18);
    EXPECT_EQ(w2, probe.Locked([&](CQVNodeClassProc& c) { return c.WaiterEnum(0, a, &p0, &p1); }));
    probe.Pass(1);
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc& c) { return c.WaiterEnum(0, 0, &p0, &p1); }));
    ASSERT_TRUE(WaitFor([&] { return tc.Count("notify") >= 4; }));
    EXPECT_EQ(21u, tc.Calls("notify").back().c);
}

TEST_F(NodeCore, ClassTimerFiresWithinItsFirstSecondThenEveryTenPasses)
{
    CQVNodeTestProbe probe(*node);
    probe.ManualTime();
    ASSERT_TRUE(probe.Locked([&](CQVNodeClassProc& c) { return c.ClassSetTimer(7, 1); }));
    EXPECT_FALSE(probe.Locked([&](CQVNodeClassProc& c) { return c.ClassSetTimer(8, 1); }));
    u32 uFirst = 0;
    for (u32 i = 1; i <= 10 && !uFirst; i++) {
        probe.Pass(1);
        if (tc.Count("timer"))
            uFirst = i;
    }
    EXPECT_GE(uFirst, 1u);
    EXPECT_LE(uFirst, 10u);
    probe.Pass(9);
    EXPECT_EQ(1u, tc.Count("timer"));
    probe.Pass(1);
    EXPECT_EQ(2u, tc.Count("timer"));
    probe.Locked([&](CQVNodeClassProc& c) { return c.ClassSetTimer(7, 0); });
    probe.Pass(30);
    EXPECT_EQ(2u, tc.Count("timer"));
}

TEST_F(NodeCore, RequestsRepliesAndResults)
{
    CQVNodeTestProbe probe(*node);
    u32 a = node->ObjectAdd("a", 7, 0, 0);
    tc.requestResult = -1;
    EXPECT_EQ(-1, node->ObjectRequest(a, 9, "abc", 3, 77));
    ASSERT_EQ(1u, tc.Count("request"));
    EXPECT_EQ("abc", tc.Calls("request")[0].data);
    // A reply to the owner.
    EXPECT_EQ(1, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjReply(a, 0, "done", 4, 77, 0); }));
    ASSERT_TRUE(WaitFor([&] { return owner.Replies().size() == 1; }));
    EXPECT_EQ("done", owner.Replies()[0].data);
    EXPECT_EQ(77u, owner.Replies()[0].d);
    // An extension request answered at once with 3 comes back as a result for OnExtReply.
    owner.extResult = 3;
    EXPECT_EQ(1, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjExtRequest(a, 35, "x", 1, 0x55, 1, 0); }));
    ASSERT_TRUE(WaitFor([&] { return tc.Count("extreply") == 1; }));
    EXPECT_EQ(3u, tc.Calls("extreply")[0].b);
    EXPECT_EQ(0x55u, tc.Calls("extreply")[0].d);
    // With handle 0 no result is queued; a text request hands size 0 to the owner.
    owner.extResult = 0;
    EXPECT_EQ(1, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjExtRequest(a, 36, "text", 4, 0, 2, 1); }));
    ASSERT_TRUE(WaitFor([&] { return owner.Requests().size() == 2; }));
    EXPECT_EQ(0u, owner.Requests()[1].c);
    EXPECT_EQ("text", owner.Requests()[1].data);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(1u, tc.Count("extreply"));
    // Null data with a size, or a stale object, is refused.
    EXPECT_EQ(0, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjExtRequest(a, 1, nullptr, 4, 0, 0, 0); }));
    EXPECT_EQ(0, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjReply(0x10001, 0, "x", 1, 0, 0); }));
    EXPECT_EQ(0, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjGetReply(0, nullptr, nullptr, nullptr, 0); }));
}

// A handle record holds any payload the node accepts: sizes past 65535 bytes arrive whole,
// and payloads beyond the node's limit are refused instead of cut.
TEST_F(NodeCore, LargePayloadsAreNeverCut)
{
    CQVNodeTestProbe probe(*node);
    u32 a = node->ObjectAdd("a", 7, 0, 0);
    std::string big(70000, 'q');
    for (size_t i = 0; i < big.size(); i += 997)
        big[i] = (char)('a' + i % 26);
    EXPECT_EQ(1, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjExtRequest(a, 35, big.data(), (u32)big.size(), 0, 0, 0); }));
    EXPECT_EQ(1, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjReply(a, 0, big.data(), (u32)big.size(), 0, 0); }));
    ASSERT_TRUE(WaitFor([&] { return owner.Requests().size() == 1 && owner.Replies().size() == 1; }));
    EXPECT_EQ(big.size(), owner.Requests()[0].c);
    EXPECT_TRUE(owner.Requests()[0].data == big);
    EXPECT_TRUE(owner.Replies()[0].data == big);
    std::string huge(QV_NODE_HND_DATA_MAX + 1, 'x');
    EXPECT_EQ(0, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjExtRequest(a, 35, huge.data(), (u32)huge.size(), 0, 0, 0); }));
    EXPECT_EQ(0, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjReply(a, 0, huge.data(), (u32)huge.size(), 0, 0); }));
}

class NodeTimeout : public NodeCore {
protected:
    NodeTimeout() { cfgTimeout = 30; }
    // Object a on a peer and two message units for requests to it; node time runs by Pass only.
    void TwoUnits(CQVNodeTestProbe& probe, u32& a, u32& u1, u32& u2)
    {
        probe.ManualTime();
        std::vector<u32> p = Peers(1);
        a = node->ObjectAdd("a", 7, p[0], 0);
        u1 = probe.Locked([&](CQVNodeClassProc& c) { return c.MCastAlloc(a, 10, 0, nullptr, 0, 0, 0xFFFFFFFF, 0); });
        u2 = probe.Locked([&](CQVNodeClassProc& c) { return c.MCastAlloc(a, 10, 0, nullptr, 0, 0, 0xFFFFFFFF, 0); });
        ASSERT_TRUE(u1 && u2);
    }
};

TEST_F(NodeTimeout, UnansweredRequestsTimeOutAndLateAnswersStillArrive)
{
    CQVNodeTestProbe probe(*node);
    u32 a = 0, u1 = 0, u2 = 0;
    ASSERT_NO_FATAL_FAILURE(TwoUnits(probe, a, u1, u2));
    owner.extResult = -1;   // answers later
    probe.Locked([&](CQVNodeClassProc& c) { return c.ObjExtRequest(a, 35, "1", 1, u1, 0, 0); });
    probe.Locked([&](CQVNodeClassProc& c) { return c.ObjExtRequest(a, 35, "2", 1, u2, 0, 0); });
    ASSERT_TRUE(WaitFor([&] { return probe.TmoPending() == 2; }));
    // The owner answers the first in time: its time-out is gone.
    EXPECT_EQ(0, node->ObjectExtReply(a, 0, "ok", 2, u1));
    EXPECT_EQ(1u, probe.TmoPending());
    probe.Pass(590);
    EXPECT_EQ(1u, tc.Count("extreply"));
    probe.Pass(20);
    ASSERT_TRUE(WaitFor([&] { return tc.Count("extreply") == 2; }));
    EXPECT_EQ((u32)QV_NODE_ERR_TIMEOUT, tc.Calls("extreply")[1].b);
    EXPECT_EQ(u2, tc.Calls("extreply")[1].d);
    // A late answer still reaches the class.
    EXPECT_EQ(0, node->ObjectExtReply(a, 0, "late", 4, u2));
    EXPECT_EQ(3u, tc.Count("extreply"));
    EXPECT_EQ("late", tc.Calls("extreply")[2].data);
}

TEST_F(NodeTimeout, AnAnswerGivenWhileTheOwnerIsAskedLeavesNoTimeOut)
{
    CQVNodeTestProbe probe(*node);
    u32 a = 0, u1 = 0, u2 = 0;
    ASSERT_NO_FATAL_FAILURE(TwoUnits(probe, a, u1, u2));
    owner.extResult = -1;
    // The first request is answered from inside the owner's call (as an owner that serves it
    // on the asking thread does); the second is never answered.
    std::atomic<bool> first{true};
    std::atomic<int> answered{-1};
    owner.hold = [&] {
        if (first.exchange(false))
            answered = node->ObjectExtReply(a, 0, "now", 3, u1);
    };
    probe.Locked([&](CQVNodeClassProc& c) { return c.ObjExtRequest(a, 35, "1", 1, u1, 0, 0); });
    probe.Locked([&](CQVNodeClassProc& c) { return c.ObjExtRequest(a, 35, "2", 1, u2, 0, 0); });
    ASSERT_TRUE(WaitFor([&] { return owner.Requests().size() == 2; }));
    EXPECT_EQ(0, answered.load());
    probe.Pass(610);
    ASSERT_TRUE(WaitFor([&] { return tc.Count("extreply") >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The answer, then the second request's time-out: none for the answered one.
    ASSERT_EQ(2u, tc.Count("extreply"));
    EXPECT_EQ(u1, tc.Calls("extreply")[0].d);
    EXPECT_EQ(0u, tc.Calls("extreply")[0].b);
    EXPECT_EQ(u2, tc.Calls("extreply")[1].d);
    EXPECT_EQ((u32)QV_NODE_ERR_TIMEOUT, tc.Calls("extreply")[1].b);
    EXPECT_EQ(0u, probe.TmoPending());
}

class NodeServer : public NodeCore {
protected:
    NodeServer() { cfgSide = 1; }
};

// A server short of handle records keeps the last quarter for the peer class's login methods.
TEST_F(NodeServer, HandleGuardKeepsTheLastQuarter)
{
    CQVNodeTestProbe probe(*node);
    u32 self = node->ObjectAdd("self", QV_CLASS_PEER, 0, QV_PEER_FLAG_SELF);
    u32 a = node->ObjectAdd("a", 7, 0, 0);
    ASSERT_TRUE(self && a);
    // The owner's first call blocks the handle pass so that records stay pending.
    std::mutex m;
    std::condition_variable cv;
    bool release = false, entered = false;
    owner.hold = [&] {
        std::unique_lock<std::mutex> lk(m);
        entered = true;
        cv.notify_all();
        cv.wait(lk, [&] { return release; });
    };
    ASSERT_EQ(1, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjExtRequest(a, 35, "x", 1, 0, 0, 0); }));
    {
        std::unique_lock<std::mutex> lk(m);
        ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(3), [&] { return entered; }));
    }
    // 32 records: refused once fewer than 8 are free, that is with 25 pending.
    for (u32 i = 0; i < 24; i++)
        ASSERT_EQ(1, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjExtRequest(a, 35, "x", 1, 0, 0, 0); })) << i;
    EXPECT_EQ(24u, probe.HndPending());
    EXPECT_EQ(1, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjExtRequest(a, 35, "x", 1, 0, 0, 0); }));
    EXPECT_EQ(0, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjExtRequest(a, 35, "x", 1, 0, 0, 0); }));
    EXPECT_EQ(1, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjExtRequest(self, 32, "x", 1, 0, 0, 0); }));
    EXPECT_EQ(0, probe.Locked([&](CQVNodeClassProc& c) { return c.ObjExtRequest(self, 35, "x", 1, 0, 0, 0); }));
    {
        std::lock_guard<std::mutex> lk(m);
        release = true;
        owner.hold = nullptr;
    }
    cv.notify_all();
    EXPECT_TRUE(WaitFor([&] { return owner.Requests().size() == 27; }));
}

class TestExt : public IQVExt {
public:
    void Delete() override {}
    bool AttachDepend(IQVBase*, u32) override { return true; }
    bool OnInitialize(void*, IQVExtProc* p, u32) override
    {
        proc = p;
        return true;
    }
    void OnClean() override {}
    bool OnOpen(void** lpp, const char* s1, const char*, u32, u32 uHandle, IQVExtProc*) override
    {
        lastHandle = uHandle;
        *lpp = std::string(s1) == "fail" ? nullptr : this;
        return true;
    }
    void OnClose(const void*, u32 v) override { closed = v; }
    int OnWrite(const void*, u32, const void*, u32* n, u64) override
    {
        written += *n;
        return 3;
    }
    int OnRead(const void*, u32, void*, u32* n, u64) override
    {
        *n = 0;
        return 1;
    }
    int OnCtrl(const void*, u32, const void*, u32, void*, u32*) override { return 1; }
    IQVExtProc* proc = nullptr;
    u32 lastHandle = 0, closed = 0, written = 0;
};

TEST(NodeExt, InstancesForwardAndEventsReachTheOpeningClass)
{
    NullLower lower;
    TestClass tc;
    TestExt ext;
    CQVNode* n = new CQVNode();
    n->GetSocket()->SetLower(&lower);
    n->AttachClass(&tc, 7, 10);
    ASSERT_EQ(1u, n->AttachExtend(&ext, 6, 100));
    QV_CFG_S c = SmallCfg();
    ASSERT_EQ(1u, n->Initialize(nullptr, nullptr, &c));
    CQVNodeTestProbe probe(*n);
    u32 uFree = probe.ExtInstFree();
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc& k) { return k.ExtOpen(5, "p", "", 0, 1, 7); }));
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc& k) { return k.ExtOpen(6, "fail", "", 0, 1, 7); }));
    EXPECT_EQ(uFree, probe.ExtInstFree());
    u32 h = probe.Locked([&](CQVNodeClassProc& k) { return k.ExtOpen(6, "p", "", 0, 0xABC, 7); });
    ASSERT_NE(0u, h);
    EXPECT_EQ(h, ext.lastHandle);
    u32 len = 10;
    EXPECT_EQ(3, probe.Locked([&](CQVNodeClassProc& k) { return k.ExtWrite(h, 0, "0123456789", &len, 0); }));
    EXPECT_EQ(10u, ext.written);
    // An event from the module's thread reaches the class that opened the instance.
    ASSERT_TRUE(ext.proc->OnEvent(h, 0, 2, 0x1234));
    ASSERT_TRUE(WaitFor([&] { return tc.Count("extend") == 1; }));
    auto e = tc.Calls("extend")[0];
    EXPECT_EQ(h, e.a);
    EXPECT_EQ(2u, e.c);
    EXPECT_EQ(0x1234u, e.d);
    EXPECT_EQ(0xABCu, e.e);
    // One given by a thread that holds no lock is passed on before the call returns.
    ASSERT_TRUE(ext.proc->OnEventNow(h, 0, 1, 0x55));
    ASSERT_EQ(2u, tc.Count("extend"));
    EXPECT_EQ(1u, tc.Calls("extend")[1].c);
    EXPECT_EQ(0x55u, tc.Calls("extend")[1].d);
    probe.Locked([&](CQVNodeClassProc& k) {
        k.ExtClose(h, 9);
        return 0;
    });
    EXPECT_EQ(9u, ext.closed);
    len = 1;
    EXPECT_EQ(0, probe.Locked([&](CQVNodeClassProc& k) { return k.ExtWrite(h, 0, "x", &len, 0); }));
    // A stale instance's event is skipped.
    ext.proc->OnEvent(h, 0, 1, 0);
    ext.proc->OnEventNow(h, 0, 1, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(2u, tc.Count("extend"));
    n->Delete();
}

// An extension whose instances close without the node's lock: a close asked for under the
// lock is carried out once it is released, and before the owner is told anything the class
// queued after it (say, that the stream has ended).
class UnlockedCloseExt : public TestExt {
public:
    bool OnCloseUnlocked() override { return true; }
    void OnClose(const void* p, u32 v) override
    {
        closeThread = std::this_thread::get_id();
        TestExt::OnClose(p, v);
    }
    std::atomic<std::thread::id> closeThread{};
};

TEST_F(NodeCore, AnExtensionThatClosesUnlockedClosesAfterTheLockAndBeforeTheOwnerHearsMore)
{
    UnlockedCloseExt ext;
    node->Delete();
    node = new CQVNode();
    node->GetSocket()->SetLower(&lower);
    ASSERT_EQ(1u, node->AttachClass(&tc, 7, 100));
    ASSERT_EQ(1u, node->AttachExtend(&ext, 6, 100));
    QV_CFG_S c = SmallCfg();
    ASSERT_EQ(1u, node->Initialize(nullptr, &owner, &c));
    CQVNodeTestProbe probe(*node);
    u32 a = node->ObjectAdd("a", 7, 0, 0);
    ASSERT_NE(0u, a);
    u32 uFree = probe.ExtInstFree();
    u32 h = probe.Locked([&](CQVNodeClassProc& k) { return k.ExtOpen(6, "p", "", 0, 1, 7); });
    ASSERT_NE(0u, h);
    std::atomic<u32> closedWhenTold{0};
    owner.hold = [&] { closedWhenTold = ext.closed; };
    u32 closedUnderLock = 1;
    probe.Locked([&](CQVNodeClassProc& k) {
        k.ExtClose(h, 9);
        closedUnderLock = ext.closed;
        // The handle is gone at once; only the extension's close waits.
        u32 len = 1;
        EXPECT_EQ(0, k.ExtWrite(h, 0, "x", &len, 0));
        return k.ObjExtRequest(a, 35, "ended", 5, 0, 0, 1);
    });
    EXPECT_EQ(0u, closedUnderLock);
    EXPECT_EQ(uFree, probe.ExtInstFree());
    ASSERT_TRUE(WaitFor([&] { return owner.Requests().size() == 1; }));
    EXPECT_EQ(9u, closedWhenTold.load());
    EXPECT_NE(std::this_thread::get_id(), ext.closeThread.load());
    // A close still kept when the node stops is carried out by the stop.
    ext.closed = 0;
    h = probe.Locked([&](CQVNodeClassProc& k) { return k.ExtOpen(6, "p", "", 0, 1, 7); });
    ASSERT_NE(0u, h);
    probe.Locked([&](CQVNodeClassProc& k) {
        k.ExtClose(h, 4);
        return 0;
    });
    node->Delete();
    node = nullptr;
    EXPECT_EQ(4u, ext.closed);
}

TEST_F(NodeCore, MulticastSelectionAndResults)
{
    CQVNodeTestProbe probe(*node);
    std::vector<u32> p = Peers(3, QV_PEER_FLAG_STATIC);
    // A unit of a peer object with no peers given targets that peer alone, in mode 255.
    u32 u = probe.Locked([&](CQVNodeClassProc& c) { return c.MCastAlloc(p[0], 5, 0, nullptr, 0, 0, 3, 9); });
    ASSERT_NE(0u, u);
    u32 peers[4] = {0}, count = 4;
    EXPECT_TRUE(probe.Locked([&](CQVNodeClassProc& c) { return c.MCastGetPeer(u, peers, &count); }));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(p[0], peers[0]);
    u32 uObj = 0, uMethod = 0, uPrio = 9, uParam = 0;
    EXPECT_TRUE(probe.Locked([&](CQVNodeClassProc& c) { return c.MCastGetInfo(u, &uObj, &uMethod, nullptr, &uPrio, &uParam); }));
    EXPECT_EQ(p[0], uObj);
    EXPECT_EQ(5u, uMethod);
    EXPECT_EQ(9u, uParam);
    // An object without a group and no peers has nobody to send to.
    u32 lone = node->ObjectAdd("lone", 7, 0, 0);
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc& c) { return c.MCastAlloc(lone, 5, 0, nullptr, 0, 0, 3, 0); }));
    // A group object's members.
    u32 g = node->ObjectAdd("grp", QV_CLASS_GROUP, 0, 0);
    std::string req;
    req.resize(4 + 132 * 3);
    u16 act = 1, cnt = 3;
    std::memcpy(&req[0], &act, 2);
    std::memcpy(&req[2], &cnt, 2);
    for (u32 i = 0; i < 3; i++)
        std::strcpy(&req[4 + 132 * i], ("p" + std::to_string(i)).c_str());
    ASSERT_EQ(0, node->ObjectRequest(g, 32, req.data(), (u32)req.size(), 0));
    u32 m = node->ObjectAdd("member", 7, g, 0);
    u32 ug = probe.Locked([&](CQVNodeClassProc& c) { return c.MCastAlloc(m, 5, 0, nullptr, 0, 0, 3, 0); });
    count = 4;
    probe.Locked([&](CQVNodeClassProc& c) { return c.MCastGetPeer(ug, peers, &count); });
    EXPECT_EQ(3u, count);
    u32 one[1] = {p[1]};
    u32 u1 = probe.Locked([&](CQVNodeClassProc& c) { return c.MCastAlloc(m, 5, 0, one, 1, 1, 3, 0); });
    u32 u2 = probe.Locked([&](CQVNodeClassProc& c) { return c.MCastAlloc(m, 5, 0, one, 1, 2, 3, 0); });
    count = 4;
    probe.Locked([&](CQVNodeClassProc& c) { return c.MCastGetPeer(u1, peers, &count); });
    EXPECT_EQ(1u, count);
    EXPECT_EQ(p[1], peers[0]);
    count = 4;
    probe.Locked([&](CQVNodeClassProc& c) { return c.MCastGetPeer(u2, peers, &count); });
    EXPECT_EQ(2u, count);
    // The units of an object follow each other.
    EXPECT_EQ(u1, probe.Locked([&](CQVNodeClassProc& c) { return c.MCastGetNext(ug, 0); }));
    EXPECT_EQ(ug, probe.Locked([&](CQVNodeClassProc& c) { return c.MCastGetNext(u1, 1); }));
    // Every peer filtered out by its class mask: nothing sent, -1.
    std::vector<u32> r = Peers(2, QV_PEER_FLAG_CLASS01, "r");
    u32 x = node->ObjectAdd("x", 7, 0, 0);
    u32 ux = probe.Locked([&](CQVNodeClassProc& c) { return c.MCastAlloc(x, 5, 0, r.data(), 2, 0, 3, 0); });
    EXPECT_EQ(-1, probe.Locked([&](CQVNodeClassProc& c) { return c.MCastSend(ux, 0, "d", 1, 0, 0); }));
    probe.Locked([&](CQVNodeClassProc& c) {
        c.MCastFree(ux);
        return 0;
    });
    EXPECT_EQ(-1, probe.Locked([&](CQVNodeClassProc& c) { return c.MCastSend(ux, 0, "d", 1, 0, 0); }));
    EXPECT_FALSE(probe.Locked([&](CQVNodeClassProc& c) { return c.MCastGetInfo(ux, nullptr, nullptr, nullptr, nullptr, nullptr); }));
}

// Acknowledgements complete a unit: one OnSend per answering peer, and with the last one a
// second OnSend naming no peer.
TEST_F(NodeCore, AcknowledgementsOfThreePeers)
{
    CQVNodeTestProbe probe(*node);
    std::vector<u32> p = Peers(3, QV_PEER_FLAG_STATIC);
    u32 a = node->ObjectAdd("a", 7, 0, 0);
    u32 u = probe.Locked([&](CQVNodeClassProc& c) { return c.MCastAlloc(a, 5, 0, p.data(), 3, 0, 3, 0); });
    ASSERT_NE(0u, u);
    tc.onSendFree = 0;
    for (u32 i = 0; i < 3; i++) {
        u32 uIndex = Inst(p[i]);
        EXPECT_EQ(1u, node->SocketProc(QV_SOCK_EVENT_ACKED, 0, 5, 100 + i, u, uIndex << 16, 0, 1));
    }
    auto s = tc.Calls("send");
    ASSERT_EQ(4u, s.size());
    EXPECT_EQ(p[0], s[0].d);
    EXPECT_EQ(100u, s[0].e);
    EXPECT_EQ(p[2], s[2].d);
    EXPECT_EQ(102u, s[2].e);
    EXPECT_EQ(0u, s[3].d);
    // Results by peer.
    QV_MCAST_RES_S res[3];
    u32 n = 3;
    u32 asked[3] = {p[2], p[1], 0x7777};
    EXPECT_TRUE(probe.Locked([&](CQVNodeClassProc& c) { return c.MCastGetRes(u, asked, res, &n, 0); }));
    EXPECT_EQ(102u, res[0].uAcked);
    EXPECT_EQ(101u, res[1].uAcked);
    EXPECT_EQ(0u, res[2].uAcked);
    // A give-up frees the unit when the class says so.
    tc.onSendFree = 1;
    EXPECT_EQ(1u, node->SocketProc(QV_SOCK_EVENT_DISCARD, 0, 0, 0, u, 0, 0, 0));
    EXPECT_EQ((u32)QV_SEND_EVENT_GIVEUP, tc.Calls("send").back().b);
    EXPECT_EQ(0u, node->SocketProc(QV_SOCK_EVENT_DISCARD, 0, 0, 0, u, 0, 0, 0));
}

TEST_F(NodeCore, MulticastTimeOut)
{
    CQVNodeTestProbe probe(*node);
    probe.ManualTime();
    std::vector<u32> p = Peers(1, QV_PEER_FLAG_STATIC);
    char rec[384] = {0};
    std::strcpy(rec, "10.9.0.2:7000");
    ASSERT_EQ(0, node->ObjectRequest(p[0], 37, rec, sizeof(rec), 0));
    u32 a = node->ObjectAdd("a", 7, p[0], 0);
    u32 u = probe.Locked([&](CQVNodeClassProc& c) { return c.MCastAlloc(a, 5, 0, nullptr, 0, 0, 2, 0); });
    ASSERT_NE(0u, u);
    EXPECT_EQ(0, probe.Locked([&](CQVNodeClassProc& c) { return c.MCastSend(u, 0, "d", 1, 0, 0); }));
    probe.Pass(19);
    EXPECT_EQ(0u, tc.Count("send"));
    probe.Pass(1);
    ASSERT_EQ(1u, tc.Count("send"));
    EXPECT_EQ((u32)QV_SEND_EVENT_TIMEOUT, tc.Calls("send")[0].b);
    EXPECT_EQ(u, tc.Calls("send")[0].c);
    // The class freed it.
    EXPECT_FALSE(probe.Locked([&](CQVNodeClassProc& c) { return c.MCastGetInfo(u, nullptr, nullptr, nullptr, nullptr, nullptr); }));
}

// Receive events reach the target object's class, refused ones are dropped and counted.
TEST_F(NodeCore, ReceiveEventsAreRoutedByTargetAndMask)
{
    CQVNodeTestProbe probe(*node);
    std::vector<u32> p = Peers(1, QV_PEER_FLAG_STATIC);
    std::vector<u32> r = Peers(1, QV_PEER_FLAG_STATIC | QV_PEER_FLAG_CLASS01, "r");
    u32 a = node->ObjectAdd("a", 7, 0, 0);
    u32 uP = Inst(p[0]) << 16;
    EXPECT_EQ(1u, node->SocketProc(QV_SOCK_EVENT_RECV, 2, 40, a, 99, uP, 0, 1));
    auto c = tc.Calls("receive");
    ASSERT_EQ(1u, c.size());
    EXPECT_EQ(2u, c[0].b);
    EXPECT_EQ(40u, c[0].c);
    EXPECT_EQ(99u, c[0].d);
    EXPECT_EQ(0u, c[0].e);
    EXPECT_EQ(p[0], c[0].f);
    // A posted event carries the backlog mark.
    EXPECT_EQ(1u, node->SocketProc(QV_SOCK_EVENT_POSTED, 2, 40, a, 99, uP, 0, 1));
    EXPECT_EQ(0x10000u, tc.Calls("receive")[1].e);
    // A class the peer may not send: dropped.
    EXPECT_EQ(0u, node->SocketProc(QV_SOCK_EVENT_RECV, 2, 40, a, 99, Inst(r[0]) << 16, 0, 1));
    EXPECT_EQ(1u, probe.Stat().uMasked);
    // A socket not bound to a peer entry, and an object that does not exist.
    EXPECT_EQ(0u, node->SocketProc(QV_SOCK_EVENT_RECV, 2, 40, a, 99, (3u << 16) | 0xFFFF, 0, 1));
    EXPECT_EQ(1u, probe.Stat().uUnbound);
    node->ObjectDelete(a);
    EXPECT_EQ(0u, node->SocketProc(QV_SOCK_EVENT_RECV, 2, 40, a, 99, uP, 0, 1));
    EXPECT_EQ(1u, probe.Stat().uNoObject);
    EXPECT_EQ(2u, tc.Count("receive"));
    // Unknown event codes and report sub-codes.
    EXPECT_EQ(0u, node->SocketProc(7, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(0u, node->SocketProc(QV_SOCK_EVENT_REPORT, 4, 0, 0, 3, uP, 0, 1));
}

TEST_F(NodeCore, AFullPeerTableEvictsTheOldestConnectingPeer)
{
    std::vector<u32> p = Peers(15);
    u32 s = node->ObjectAdd("static", QV_CLASS_PEER, 0, QV_PEER_FLAG_STATIC);
    ASSERT_NE(0u, s);
    u32 n = node->ObjectAdd("newcomer", QV_CLASS_PEER, 0, 0);
    ASSERT_NE(0u, n);
    u32 uClass = 0;
    EXPECT_EQ(0u, node->ObjectGetClass(p[0], &uClass));   // the first in status 1 went
    EXPECT_EQ(1u, node->ObjectGetClass(p[1], &uClass));
    EXPECT_EQ(1u, node->ObjectGetClass(s, &uClass));
}

}  // namespace
