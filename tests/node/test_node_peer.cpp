// The node and its Peer class against a remote party made of a bare socket layer joined by an
// in-memory wire: connecting a static peer, object synchronisation, the send and receive
// backlogs, messages both ways between objects, hostile messages of every type, errors for
// missing objects, a dropped peer, and a peer that connects first.
#include "kvPeerRemote.h"

#include <random>

namespace {

const u32 kChatMsg = 100;
const u32 kRemoteSelf = 0x00030001;   // the remote's handle of its object for the node

class NodePeer : public RemoteWire {
protected:
    void SetUp() override
    {
        QV_CFG_S c = SmallCfg();
        ASSERT_NO_FATAL_FAILURE(Open(c, &tc, 7, 100));
    }
    // Adds the remote as a static peer at its address and waits for the node's sync report of
    // the peer object, which tells the node's handle of it.
    void ConnectStatic()
    {
        ASSERT_NO_FATAL_FAILURE(AddStaticPeer());
        ASSERT_TRUE(WaitFor([&] { return Report("R") != nullptr; }, 5000));
        EXPECT_EQ(peer, Get32(Report("R")->data, 0));
        uPeerIndex = 0xFFFFFFFF;
        node->ObjectGetInstID(peer, &uPeerIndex);
    }
    // The latest sync report the remote got for a name, or null.
    const RemoteMsg* Report(const std::string& name)
    {
        std::lock_guard<std::mutex> lk(rown.mu);
        for (auto it = rown.msgs.rbegin(); it != rown.msgs.rend(); ++it)
            if (it->uMethod == QV_PMSG_SYNC_REPORT && SyncName(it->data) == name) {
                m_last = *it;
                return &m_last;
            }
        return nullptr;
    }
    // The remote answers a report: its own handle of the named object.
    void Update(const std::string& name, u32 uHandle, const std::string& group = "", u32 uTarget = 0)
    {
        ASSERT_GT(rown.Send(QV_PMSG_SYNC_UPDATE, uTarget, SyncMsg(uHandle, 0, 0, 0x1111, name, group)), 0);
    }
    u32 PeerStatus()
    {
        CQVNodeTestProbe probe(*node);
        return probe.Locked([&](CQVNodeClassProc& c) { return c.PeerGetStatus(peer); });
    }
    u32 IDByPeer(u32 uObject)
    {
        CQVNodeTestProbe probe(*node);
        return probe.Locked([&](CQVNodeClassProc& c) { return c.ObjGetObjIDByPeer(uObject, peer); });
    }
    // A message unit of another object ("fill"), to fill the node's queue to the peer with.
    void FillUnit(u32* lpUnit)
    {
        CQVNodeTestProbe probe(*node);
        u32 fill = node->ObjectAdd("fill", 7, peer, 0);
        ASSERT_NE(0u, fill);
        *lpUnit = probe.Locked([&](CQVNodeClassProc& c) {
            c.ObjSetPeerID(fill, 0x00030001, peer);
            return c.MCastAlloc(fill, kChatMsg, 0, nullptr, 0, 0, 30, 0);
        });
        ASSERT_NE(0u, *lpUnit);
    }
    // Nothing the node sends leaves from now on. What went before is acknowledged first: no
    // room can come back while the node's side is held.
    void HoldAfterAcks()
    {
        CQVNodeTestProbe probe(*node);
        CQVClassPeerTestProbe peers(*node->GetClassPeer());
        ASSERT_TRUE(WaitFor([&] {
            u32 uFree = 0, uUsed = 1;
            probe.Locked([&](CQVNodeClassProc&) {
                return node->GetSocket()->SendQueStatus(peers.SockID(uPeerIndex), 0, &uFree, &uUsed);
            });
            return uUsed == 0;
        }));
        wire.Hold(0, true);
    }
    // Connected and in sync, with a unit of "fill" messages ready for HoldFull.
    void SyncedWithFill(u32* lpUnit)
    {
        ASSERT_NO_FATAL_FAILURE(ConnectStatic());
        ASSERT_NO_FATAL_FAILURE(Update("R", 0x00010001));
        ASSERT_TRUE(WaitFor([&] { return PeerStatus() == QV_PEER_STA_SYNC; }));
        ASSERT_NO_FATAL_FAILURE(FillUnit(lpUnit));
    }
    // Held as above, and the unit's messages fill the queue.
    void HoldFull(u32 unit)
    {
        CQVNodeTestProbe probe(*node);
        ASSERT_NO_FATAL_FAILURE(HoldAfterAcks());
        int n = 0;
        while (n < 1000 &&
               probe.Locked([&](CQVNodeClassProc& c) { return c.MCastSend(unit, 0, "fill", 4, 0, 0); }) == 0)
            n++;
        ASSERT_LT(n, 1000);
    }

    TestClass tc;
    u32 uPeerIndex = 0;
    RemoteMsg m_last;
};

// Held messages are never dropped for want of room: a full backlog refuses the new message
// (its sender tries again), and messages released while the queue to the peer is full keep
// their order and go once it has room.
TEST_F(NodePeer, HeldMessagesWaitForRoomInsteadOfBeingDropped)
{
    ConnectStatic();
    CQVNodeTestProbe probe(*node);
    CQVClassPeerTestProbe peers(*node->GetClassPeer());
    probe.Locked([&](CQVNodeClassProc&) {
        peers.SetBacklogLimits(32, 3);
        return 0;
    });
    u32 chat = node->ObjectAdd("chat", 7, peer, 0);
    ASSERT_NE(0u, chat);
    u32 unit = probe.Locked([&](CQVNodeClassProc& c) { return c.MCastAlloc(chat, kChatMsg, 0, nullptr, 0, 0, 30, 7); });
    ASSERT_NE(0u, unit);
    for (const char* m : {"m1", "m2", "m3"})
        EXPECT_EQ(0, probe.Locked([&](CQVNodeClassProc& c) { return c.MCastSend(unit, 0, m, 2, 0, 0); }));
    EXPECT_EQ(1, probe.Locked([&](CQVNodeClassProc& c) { return c.MCastSend(unit, 0, "m4", 2, 0, 0); }));
    EXPECT_EQ(3u, probe.Locked([&](CQVNodeClassProc&) { return node->GetClassPeer()->SendBacklogCount(); }));

    Update("R", 0x00010001);
    ASSERT_TRUE(WaitFor([&] { return PeerStatus() == QV_PEER_STA_SYNC; }));
    // Nothing the node sends leaves: messages to the peer fill its queue.
    ASSERT_NO_FATAL_FAILURE(HoldAfterAcks());
    int n = 0;
    while (n < 1000 && node->ObjectRequest(peer, 36, "(Note){n}", 0, 0) == 0)
        n++;
    ASSERT_LT(n, 1000);
    probe.Locked([&](CQVNodeClassProc& c) { return c.ObjSetPeerID(chat, 0x00020001, peer); });
    // A message of the object sent now waits behind the held ones.
    EXPECT_NE(0, probe.Locked([&](CQVNodeClassProc& c) { return c.MCastSend(unit, 0, "m4", 2, 0, 0); }));
    EXPECT_EQ(3u, probe.Locked([&](CQVNodeClassProc&) { return node->GetClassPeer()->SendBacklogCount(); }));
    wire.Hold(0, false);
    ASSERT_TRUE(WaitFor([&] { return rown.Msgs(kChatMsg).size() == 3; }, 10000));
    auto m = rown.Msgs(kChatMsg);
    EXPECT_EQ("m1", m[0].data);
    EXPECT_EQ("m2", m[1].data);
    EXPECT_EQ("m3", m[2].data);
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc&) { return node->GetClassPeer()->SendBacklogCount(); }));
}

// The node's answer to the peer's report of an object it did not have yet waits (full queue);
// meanwhile the node adds the object and its own report, with its handle, goes first. The
// answer that goes afterwards names the object as it is then: were it to say "no such object"
// the peer would forget the handle it has just learnt, and hold its messages to the object
// until they age out.
TEST_F(NodePeer, AnAnswerThatWaitedForRoomNamesTheObjectAddedMeanwhile)
{
    u32 unit = 0;
    ASSERT_NO_FATAL_FAILURE(SyncedWithFill(&unit));
    ASSERT_NO_FATAL_FAILURE(HoldFull(unit));
    CQVNodeTestProbe probe(*node);
    CQVClassPeerTestProbe peers(*node->GetClassPeer());
    ASSERT_GT(rown.Send(QV_PMSG_SYNC_REPORT, 0, SyncMsg(0x00020001, 0, 0, 0x1111, "chat", "N")), 0);
    ASSERT_TRUE(WaitFor([&] {
        return probe.Locked([&](CQVNodeClassProc&) { return peers.PendingUpdates(uPeerIndex); }) == 1;
    }));
    // Room again, and at once the object: its report takes the room before the answer.
    u32 chat = probe.Locked([&](CQVNodeClassProc& c) {
        c.PeerSendDrop(peer, 0, unit);
        return c.ObjAdd("chat", 7, peer, 0, nullptr);
    });
    ASSERT_NE(0u, chat);
    wire.Hold(0, false);
    // What the remote heard of "chat", in order: (type, handle).
    auto Chat = [&] {
        std::vector<std::pair<u32, u32>> v;
        std::lock_guard<std::mutex> lk(rown.mu);
        for (const RemoteMsg& m : rown.msgs)
            if ((m.uMethod == QV_PMSG_SYNC_REPORT || m.uMethod == QV_PMSG_SYNC_UPDATE) && SyncName(m.data) == "chat")
                v.push_back({m.uMethod, Get32(m.data, 0)});
        return v;
    };
    ASSERT_TRUE(WaitFor([&] { return Chat().size() == 2; }, 10000));
    std::vector<std::pair<u32, u32>> want = {{QV_PMSG_SYNC_REPORT, chat}, {QV_PMSG_SYNC_UPDATE, chat}};
    EXPECT_EQ(want, Chat());
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc&) { return peers.PendingUpdates(uPeerIndex); }));
}

// Reports of objects added while the queue to the peer is full wait for room: a pass of the
// pending sends (one runs on every acknowledgement) stops trying once the full queue refused
// the first, and once there is room they all go.
TEST_F(NodePeer, PendingSendsStopAtTheFirstRefusalOfTheFullQueue)
{
    u32 unit = 0;
    ASSERT_NO_FATAL_FAILURE(SyncedWithFill(&unit));
    ASSERT_NO_FATAL_FAILURE(HoldFull(unit));
    CQVNodeTestProbe probe(*node);
    CQVClassPeerTestProbe peers(*node->GetClassPeer());
    const std::vector<std::string> names = {"y1", "y2", "y3", "y4"};
    for (const std::string& n : names)
        ASSERT_NE(0u, node->ObjectAdd(n.c_str(), 7, peer, 0));
    ASSERT_NE(0u, probe.Locked([&](CQVNodeClassProc&) { return peers.SendMask(uPeerIndex) & QV_PEER_PEND_OBJSET; }));
    u32 uTries = probe.Locked([&](CQVNodeClassProc&) {
        u32 uBefore = node->GetSocket()->GetStat().uRefused;
        peers.PendingPass(uPeerIndex);
        return node->GetSocket()->GetStat().uRefused - uBefore;
    });
    EXPECT_EQ(1u, uTries);
    probe.Locked([&](CQVNodeClassProc& c) { return c.PeerSendDrop(peer, 0, unit); });
    wire.Hold(0, false);
    for (const std::string& n : names)
        EXPECT_TRUE(WaitFor([&] { return Report(n) != nullptr; }, 10000)) << n;
}

// The withdrawal of an object deleted while the queue to the peer was full goes once there is
// room, from the object's names: the peer would otherwise keep its end of it for ever. Unless
// an object of that name is attached to the peer again by then: its report is the last word.
TEST_F(NodePeer, TheWithdrawalOfAnObjectDeletedWhileTheQueueWasFullStillGoes)
{
    u32 unit = 0;
    ASSERT_NO_FATAL_FAILURE(SyncedWithFill(&unit));
    CQVNodeTestProbe probe(*node);
    CQVClassPeerTestProbe peers(*node->GetClassPeer());
    for (bool again : {false, true}) {
        std::string name = again ? "chat2" : "chat1";
        SCOPED_TRACE(name);
        u32 chat = node->ObjectAdd(name.c_str(), 7, peer, 0);
        ASSERT_NE(0u, chat);
        ASSERT_TRUE(WaitFor([&] { return Report(name) != nullptr; }));
        ASSERT_NO_FATAL_FAILURE(HoldFull(unit));
        // Deleted (and added again) while full; then room.
        u32 now = probe.Locked([&](CQVNodeClassProc& c) {
            c.ObjDelete(chat);
            u32 h = again ? c.ObjAdd(name.c_str(), 7, peer, 0, nullptr) : 0;
            c.PeerSendDrop(peer, 0, unit);
            return h;
        });
        wire.Hold(0, false);
        ASSERT_TRUE(WaitFor([&] { return Report(name) && Get32(Report(name)->data, 0) == now; }, 10000));
        EXPECT_EQ("R", SyncGroup(Report(name)->data));
        // Nothing else about it follows.
        ASSERT_TRUE(WaitFor([&] {
            return probe.Locked([&](CQVNodeClassProc&) { return peers.SendMask(uPeerIndex); }) == 0;
        }));
        EXPECT_EQ(now, Get32(Report(name)->data, 0));
    }
}

// Messages sent before the peer told its ID for the object wait in the send backlog and go out
// in order once it does; then both sides talk to each other's object.
TEST_F(NodePeer, SyncReleasesTheSendBacklogInOrderAndObjectsTalkBothWays)
{
    ConnectStatic();
    CQVNodeTestProbe probe(*node);
    u32 chat = node->ObjectAdd("chat", 7, peer, 0);
    ASSERT_NE(0u, chat);
    u32 unit = probe.Locked([&](CQVNodeClassProc& c) { return c.MCastAlloc(chat, kChatMsg, 0, nullptr, 0, 0, 30, 7); });
    ASSERT_NE(0u, unit);
    for (const char* m : {"m1", "m2", "m3"})
        EXPECT_EQ(0, probe.Locked([&](CQVNodeClassProc& c) { return c.MCastSend(unit, 0, m, 2, 0, 0); }));
    // Only priority 0 waits; a repeated message is refused as a duplicate.
    u32 hi = probe.Locked([&](CQVNodeClassProc& c) { return c.MCastAlloc(chat, kChatMsg, 1, nullptr, 0, 0, 30, 0); });
    EXPECT_EQ(1, probe.Locked([&](CQVNodeClassProc& c) { return c.MCastSend(hi, 0, "hi", 2, 0, 0); }));
    EXPECT_EQ(1, probe.Locked([&](CQVNodeClassProc& c) { return c.MCastSend(unit, 0, "m3", 2, 0, 0); }));
    EXPECT_EQ(3u, probe.Locked([&](CQVNodeClassProc&) { return node->GetClassPeer()->SendBacklogCount(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(rown.Msgs(kChatMsg).empty());

    // The remote tells its handle of the peer object: the peer is synchronised, and the node
    // reports the object attached to it.
    Update("R", 0x00010001);
    ASSERT_TRUE(WaitFor([&] { return PeerStatus() == QV_PEER_STA_SYNC; }));
    ASSERT_TRUE(WaitFor([&] { return Report("chat") != nullptr; }));
    u32 uChatAtNode = Get32(Report("chat")->data, 0);
    EXPECT_EQ(chat, uChatAtNode);
    // The remote's handle of "chat" releases the held messages, in order, also ahead of a
    // message sent after the ID was learned but before the release was served.
    probe.Locked([&](CQVNodeClassProc& c) {
        c.ObjSetPeerID(chat, 0x00020001, peer);
        return c.MCastSend(unit, 0, "m4", 2, 0, 0);
    });
    ASSERT_TRUE(WaitFor([&] { return rown.Msgs(kChatMsg).size() == 4; }));
    auto m = rown.Msgs(kChatMsg);
    EXPECT_EQ("m1", m[0].data);
    EXPECT_EQ("m2", m[1].data);
    EXPECT_EQ("m3", m[2].data);
    EXPECT_EQ("m4", m[3].data);
    for (auto& x : m) {
        EXPECT_EQ(0x00020001u, x.uObject);
        EXPECT_EQ(7u, x.uParam);
    }
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc&) { return node->GetClassPeer()->SendBacklogCount(); }));
    // The acknowledgements reach the unit's class with the peer's result.
    ASSERT_TRUE(WaitFor([&] { return tc.Count("send") >= 1; }));

    // A request from the remote to the node's object is answered through the class services.
    tc.onReceive = [&](u32, u32 uPrio, u32 uMethod, u32 uParam, u32 uExtra, u32 uPeer) -> int {
        char buf[64];
        u32 uObject = 0, uFlag = 0, uRoom = 0;
        int n = tc.proc->PeerReceive(uPeer, &uPrio, &uObject, &uMethod, &uFlag, &uParam, &uRoom, buf, sizeof(buf),
                                     uExtra, 0);
        if (n <= 0)
            return 0;
        std::string reply = "re:" + std::string(buf, n);
        u32 p = 0;
        tc.proc->PeerSend(uPeer, &p, chat, uMethod + 1, 0, uParam, &uRoom, &reply[0], (u32)reply.size(), 0);
        return 1;
    };
    ASSERT_GT(rown.Send(40, uChatAtNode, "question", 0, 0, 1234), 0);
    ASSERT_TRUE(WaitFor([&] { return rown.Msgs(41).size() == 1; }));
    EXPECT_EQ("re:question", rown.Msgs(41)[0].data);
    EXPECT_EQ(1234u, rown.Msgs(41)[0].uParam);
    EXPECT_EQ(0x00020001u, rown.Msgs(41)[0].uObject);
}

// A report of the peer object that the peer never answered (it reached the peer before the
// peer had taken the connection in, and was lost there) goes again two node seconds after the
// peer reported its object for this node; an answer that comes meanwhile makes it moot, and in
// sync a report from the peer is only answered.
TEST_F(NodePeer, AnUnansweredReportGoesAgainOnceThePeerReportsThisNode)
{
    ConnectStatic();
    CQVNodeTestProbe probe(*node);
    probe.ManualTime();
    auto reports = [&] {
        size_t n = 0;
        for (auto& m : rown.Msgs(QV_PMSG_SYNC_REPORT))
            n += SyncName(m.data) == "R";
        return n;
    };
    // The remote reports its object for the node and waits for the answer (what the node sent
    // before the answer has arrived by then).
    auto reportAndWait = [&] {
        size_t updates = rown.Msgs(QV_PMSG_SYNC_UPDATE).size();
        ASSERT_GT(rown.Send(QV_PMSG_SYNC_REPORT, 0, SyncMsg(kRemoteSelf, 0, 0, 0x1111, "N", "")), 0);
        ASSERT_TRUE(WaitFor([&] { return rown.Msgs(QV_PMSG_SYNC_UPDATE).size() > updates; }));
    };
    ASSERT_EQ(QV_PEER_STA_ADMITTED, PeerStatus());
    ASSERT_NO_FATAL_FAILURE(reportAndWait());
    // The node's reports from its connect (one or two, as the connect's events fall) have all
    // arrived with the answer.
    size_t before = reports();
    probe.Pass(10);
    ASSERT_NO_FATAL_FAILURE(reportAndWait());
    EXPECT_EQ(before, reports());
    probe.Pass(30);
    ASSERT_TRUE(WaitFor([&] { return reports() == before + 1; })) << before;
    // Reported again and answered before the two seconds are over: nothing more goes.
    ASSERT_NO_FATAL_FAILURE(reportAndWait());
    Update("R", 0x00010001);
    ASSERT_TRUE(WaitFor([&] { return PeerStatus() == QV_PEER_STA_SYNC; }));
    ASSERT_NO_FATAL_FAILURE(reportAndWait());
    probe.Pass(30);
    ASSERT_NO_FATAL_FAILURE(reportAndWait());
    EXPECT_EQ(before + 1, reports());
}

// A message for an object that does not exist is answered with an error naming it.
TEST_F(NodePeer, MissingObjectsAreReportedToTheSender)
{
    ConnectStatic();
    ASSERT_GT(rown.Send(40, 0x0BAD0001, "x", 2, 0, 5), 0);
    ASSERT_TRUE(WaitFor([&] { return rown.Msgs(QV_PMSG_ERROR).size() == 1; }));
    const RemoteMsg e = rown.Msgs(QV_PMSG_ERROR)[0];
    ASSERT_EQ(16u, e.data.size());
    EXPECT_EQ(0x0BAD0001u, Get32(e.data, 4));
    EXPECT_EQ(1, e.data[8]);
    EXPECT_EQ(2, e.data[9]);
    EXPECT_EQ(5u, e.uParam);
    CQVNodeTestProbe probe(*node);
    EXPECT_EQ(1u, probe.Stat().uNoObject);
}

// Messages of every type, too short, with bad strings, of unknown types or to bad handles:
// each is dropped and counted, and a well-formed message still works afterwards.
TEST_F(NodePeer, HostileMessagesOfEveryTypeAreDroppedAndCounted)
{
    ConnectStatic();
    std::mt19937 rng(7);
    auto Garbage = [&](size_t n) {
        std::string s(n, '\0');
        for (auto& c : s)
            c = (char)rng();
        return s;
    };
    // Types 0..45 with 1 byte and with 3 bytes: short for every type with a minimum.
    u32 sent = 0;
    for (u32 t = 0; t <= 45; t++)
        for (size_t n : {1u, 3u}) {
            ASSERT_TRUE(rown.SendWait(t, 0, Garbage(n)));
            sent++;
        }
    // Sync messages whose strings lie: a huge length, no terminating zero, a 200-character
    // name, a missing group.
    std::string base = SyncMsg(5, 0, 0, 1, "R", "");
    std::string huge = base.substr(0, 32);
    Put32(huge, 0xFFFFFFF0);
    huge += "RR";
    std::string noZero = base.substr(0, 32);
    Put32(noZero, 4);
    noZero += "ABCD";
    std::string longName = base.substr(0, 32);
    PutStr(longName, std::string(200, 'n'));
    PutStr(longName, "");
    std::string noGroup = base.substr(0, 32);
    PutStr(noGroup, "R");
    for (u32 t : {1u, 2u})
        for (const std::string* s : {&huge, &noZero, &longName, &noGroup}) {
            ASSERT_TRUE(rown.SendWait(t, 0, *s));
            sent++;
        }
    // Garbage of each type's minimum size and more, to the peer class and to bad handles.
    for (u32 t = 0; t <= 40; t++) {
        ASSERT_TRUE(rown.SendWait(t, 0, Garbage(48 + t)));
        ASSERT_TRUE(rown.SendWait(t, 0x7FFF0000 + t, Garbage(20)));
        sent += 2;
    }
    // Types 36..45 twice and 36..40 once more are unknown.
    ASSERT_TRUE(WaitFor([&] { return PeerStat().uUnknown == 25; }, 5000));
    CQVClassPeer::STAT_S s = PeerStat();
    EXPECT_GE(s.uShort, 10u);
    EXPECT_GE(s.uMalformed, 8u);
    CQVNodeTestProbe probe(*node);
    EXPECT_TRUE(WaitFor([&] { return probe.Stat().uNoObject >= 41; }));
    // Still in working order: a well-formed update synchronises the peer.
    Update("R", 0x00010001);
    EXPECT_TRUE(WaitFor([&] { return PeerStatus() == QV_PEER_STA_SYNC; }));
    EXPECT_EQ(1u, node->IsInitialized());
}

// Messages of classes 0 and 1 from a peer that is not ready wait (at most the limit, oldest
// dropped first) and are delivered in order once it is.
TEST_F(NodePeer, ReceiveBacklogHoldsEarlyMessagesAndDeliversThemInOrder)
{
    ConnectStatic();
    CQVNodeTestProbe probe(*node);
    CQVClassPeerTestProbe peers(*node->GetClassPeer());
    u32 x1 = node->ObjectAdd("x1", 7, 0, 0);
    u32 x2 = node->ObjectAdd("x2", 7, 0, 0);
    u32 x3 = node->ObjectAdd("x3", 7, 0, 0);
    probe.Locked([&](CQVNodeClassProc&) {
        peers.SetLoggedIn(3, 0);
        peers.SetBacklogLimits(3, 32);
        peers.SetStatus(uPeerIndex, QV_PEER_STA_CREATED);
        return 0;
    });
    Update("x1", 11, "", peer);
    Update("x2", 21, "", peer);
    Update("x3", 31, "", peer);
    Update("x3", 32, "", peer);
    ASSERT_TRUE(WaitFor([&] { return probe.Locked([&](CQVNodeClassProc&) { return node->GetClassPeer()->RecvBacklogCount(); }) == 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0u, IDByPeer(x2));
    // The peer becomes ready: the held messages arrive one after the other.
    probe.Locked([&](CQVNodeClassProc&) {
        peers.SetStatus(uPeerIndex, QV_PEER_STA_ADMITTED);
        return 0;
    });
    ASSERT_TRUE(WaitFor([&] { return IDByPeer(x3) == 32; }));
    EXPECT_EQ(21u, IDByPeer(x2));
    EXPECT_EQ(0u, IDByPeer(x1));
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc&) { return node->GetClassPeer()->RecvBacklogCount(); }));
    // While not logged in nothing is held: a peer that may not send yet is simply not heard.
    probe.Locked([&](CQVNodeClassProc&) {
        peers.SetLoggedIn(0, 0);
        peers.SetStatus(uPeerIndex, QV_PEER_STA_CREATED);
        return 0;
    });
    Update("x1", 12, "", peer);
    Update("x1", 13, "", peer);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc&) { return node->GetClassPeer()->RecvBacklogCount(); }));
    EXPECT_EQ(0u, IDByPeer(x1));
}

// A dropped static peer is reported to the owner; when the owner deletes it, the peer hears
// that it was withdrawn and the objects attached to it lose its ID.
TEST_F(NodePeer, ADroppedPeerIsReportedAndItsObjectsAreReleased)
{
    ConnectStatic();
    u32 chat = node->ObjectAdd("chat", 7, peer, 0);
    Update("R", 0x00010001);
    ASSERT_TRUE(WaitFor([&] { return Report("chat") != nullptr; }));
    Update("chat", 0x00020001, "R");
    ASSERT_TRUE(WaitFor([&] { return IDByPeer(chat) == 0x00020001; }));
    u32 uSockID = 0;
    {
        CQVNodeTestProbe probe(*node);
        uSockID = probe.Locked([&](CQVNodeClassProc&) { return node->GetClassPeer()->PeerAt(uPeerIndex)->uSockID; });
    }
    EXPECT_EQ(1u, node->SocketProc(QV_SOCK_EVENT_REPORT, 4, 0, 0, 1, uPeerIndex << 16, 0, uSockID));
    ASSERT_TRUE(WaitFor([&] {
        for (auto& r : owner.Requests())
            if (r.a == peer && r.b == 1)
                return true;
        return false;
    }));
    for (auto& r : owner.Requests()) {
        if (r.a == peer && r.b == 1) {
            EXPECT_EQ("(Meth){34}(Error){11}", r.data);
        }
    }
    tc.Clear();
    node->ObjectDelete(peer);
    ASSERT_TRUE(WaitFor([&] {
        for (auto& c : tc.Calls("notify"))
            if (c.b == QV_NOTIFY_PEER_ID && c.c == peer && c.d == 0)
                return true;
        return false;
    }));
    u32 uGroup = 1;
    node->ObjectGetGroup(chat, &uGroup);
    EXPECT_EQ(0u, uGroup);
    EXPECT_EQ(0u, node->ObjectGetID("R"));
}

// Class services refuse stale and missing handles and buffers.
TEST_F(NodePeer, PeerServicesRefuseStaleHandles)
{
    ConnectStatic();
    CQVNodeTestProbe probe(*node);
    u32 chat = node->ObjectAdd("chat", 7, peer, 0);
    char buf[8] = "x";
    u32 prio = 0;
    EXPECT_EQ(-4, probe.Locked([&](CQVNodeClassProc& c) { return c.PeerSend(peer, &prio, chat, 1, 0, 0, nullptr, nullptr, 1, 0); }));
    EXPECT_EQ(-3, probe.Locked([&](CQVNodeClassProc& c) { return c.PeerSend(peer + 1, &prio, chat, 1, 0, 0, nullptr, buf, 1, 0); }));
    EXPECT_EQ(-3, probe.Locked([&](CQVNodeClassProc& c) { return c.PeerSend(peer, &prio, chat + 1, 1, 0, 0, nullptr, buf, 1, 0); }));
    EXPECT_EQ(-3, probe.Locked([&](CQVNodeClassProc& c) { return c.PeerReceive(chat, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, buf, 8, 0, 0); }));
    EXPECT_EQ(-4, probe.Locked([&](CQVNodeClassProc& c) { return c.PeerReceive(peer, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 8, 0, 0); }));
    EXPECT_EQ(-3, probe.Locked([&](CQVNodeClassProc& c) { return c.PeerSendRemain(peer + 1, 0); }));
    EXPECT_EQ(0u, probe.Locked([&](CQVNodeClassProc& c) { return c.PeerGetStatus(peer + 1); }));
    EXPECT_EQ(QV_PEER_STA_SYNC, probe.Locked([&](CQVNodeClassProc& c) { return c.PeerGetStatus(self); }));
    // The digest: made here with the peer's cookies, checked by the peer with them swapped.
    u8 d[32];
    u32 n = 31;
    EXPECT_FALSE(probe.Locked([&](CQVNodeClassProc& c) { return c.PeerDigestGen(peer, "abc", 3, d, &n); }));
    n = 32;
    EXPECT_TRUE(probe.Locked([&](CQVNodeClassProc& c) { return c.PeerDigestGen(peer, "abc", 3, d, &n); }));
    EXPECT_FALSE(probe.Locked([&](CQVNodeClassProc& c) { return c.PeerDigestVerify(peer, "abc", 3, d, 31); }));
    node->ObjectDelete(chat);
    EXPECT_EQ(-3, probe.Locked([&](CQVNodeClassProc& c) { return c.PeerSend(peer, &prio, chat, 1, 0, 0, nullptr, buf, 1, 0); }));
    // A request method the class does not offer, and requests on a stale peer.
    EXPECT_EQ(4, node->ObjectRequest(peer, 99, nullptr, 0, 0));
    EXPECT_EQ(5, node->ObjectRequest(self, 37, buf, 0, 0));
    char rec[384] = {0};
    EXPECT_EQ(2, node->ObjectRequest(peer, 37, rec, sizeof(rec), 0));   // empty address
    EXPECT_EQ(2, node->ObjectRequest(peer, 37, rec, 100, 0));           // wrong size
}

// A remote party that connects first gets a peer object named after its socket.
TEST_F(NodePeer, AnIncomingSocketBecomesAPeerObject)
{
    u32 uSid = rsock.Add(&addrA, 0, 1, 0);
    ASSERT_NE(0u, uSid);
    rown.sid = uSid;
    ASSERT_TRUE(WaitFor([&] { return node->ObjectGetID("R") != 0; }, 5000));
    u32 r = node->ObjectGetID("R");
    u32 uClass = 0xFFFF;
    node->ObjectGetClass(r, &uClass);
    EXPECT_EQ((u32)QV_CLASS_PEER, uClass);
    CQVNodeTestProbe probe(*node);
    CQVClassPeerTestProbe peers(*node->GetClassPeer());
    EXPECT_TRUE(WaitFor([&] { return probe.Locked([&](CQVNodeClassProc&) { return peers.NewUsed(); }) == 0; }));
    EXPECT_EQ(QV_PEER_STA_CREATED, probe.Locked([&](CQVNodeClassProc& c) { return c.PeerGetStatus(r); }));
    EXPECT_EQ(32u, peers.NewMax());
    // The owner adding the same name gets that object.
    EXPECT_EQ(r, node->ObjectAdd("R", QV_CLASS_PEER, 0, QV_PEER_FLAG_STATIC));
    EXPECT_NE(0xFFFFFFFFu, probe.Locked([&](CQVNodeClassProc&) { return peers.Search(addrB); }));
}

}  // namespace
