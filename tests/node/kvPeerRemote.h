// A node whose Peer class talks to a remote party made of a bare socket layer over the
// in-memory wire: the remote is a static peer "R" (PeerRemote: in sync with the node), and the
// test sends it anything, well-formed or not.
#pragma once

#include "kvLoginProbe.h"
#include "kvNodeWire.h"

namespace {

// The node (its socket on end 0 of the wire, self object "N") and the remote's bare socket
// layer "R" (end 1), without any peer yet.
class RemoteWire : public ::testing::Test {
protected:
    // Starts both; pClass, when given, is attached to the node at uClassIndex first.
    void Open(const QV_CFG_S& c, IQVBase* pClass = nullptr, u32 uClassIndex = 0, u32 uMaxObj = 0)
    {
        addrA = AddrOf("10.9.0.1:7000");
        addrB = AddrOf("10.9.0.2:7000");
        lowA = new MemLower(&wire, 0, addrA);
        lowB = new MemLower(&wire, 1, addrB);
        node = new CQVNode();
        node->GetSocket()->SetLower(lowA);
        if (pClass) {
            ASSERT_EQ(1u, node->AttachClass(pClass, uClassIndex, uMaxObj));
        }
        ASSERT_EQ(1u, node->Initialize(nullptr, &owner, &c));
        rown.sock = &rsock;
        rsock.Attach(&rown);
        rsock.SetLower(lowB);
        CQVSocket::CFG_S sc;
        std::memset(&sc, 0, sizeof(sc));
        sc.uTableSize = 8;
        for (u32 i = 0; i < 4; i++) {
            sc.uSendQue[i] = 64;
            sc.uRecvQue[i] = 80;
        }
        rsock.SetConfig(sc);
        ASSERT_EQ(1u, rsock.Initialize(nullptr));
        ASSERT_EQ(1u, rsock.SetName("R"));
        wire.sock[0] = node->GetSocket();
        wire.low[0] = lowA;
        wire.sock[1] = &rsock;
        wire.low[1] = lowB;
        self = node->ObjectAdd("N", QV_CLASS_PEER, 0, QV_PEER_FLAG_SELF);
        ASSERT_NE(0u, self);
    }
    // Adds the remote as the static peer "R" at its address; uAuth: peer authentication
    // (option 23) is switched on before the peer is looked for.
    void AddStaticPeer(u32 uAuth = 0)
    {
        peer = node->ObjectAdd("R", QV_CLASS_PEER, 0, QV_PEER_FLAG_STATIC | QV_PEER_FLAG_INFO | QV_PEER_FLAG_ADDED);
        ASSERT_NE(0u, peer);
        if (uAuth) {
            ASSERT_EQ(0, node->ObjectRequest(peer, 2, "(Item){23}(Value){1}", 0, 0));
        }
        char rec[384] = {0};
        std::strcpy(rec, "10.9.0.2:7000");
        ASSERT_EQ(0, node->ObjectRequest(peer, 37, rec, sizeof(rec), 0));
    }
    void TearDown() override
    {
        wire.Stop();
        if (node)
            node->Delete();
        rsock.Clean();
        delete lowA;
        delete lowB;
    }
    CQVClassPeer::STAT_S PeerStat()
    {
        CQVNodeTestProbe probe(*node);
        return probe.Locked([&](CQVNodeClassProc&) { return node->GetClassPeer()->GetStat(); });
    }

    MemWire wire;
    MemLower* lowA = nullptr;
    MemLower* lowB = nullptr;
    QV_ADDR_S addrA, addrB;
    TestOwner owner;
    CQVNode* node = nullptr;
    CQVSocket rsock;
    RemoteOwner rown;
    u32 self = 0, peer = 0;
};

// The remote in sync with the node as its static peer.
class PeerRemote : public RemoteWire {
protected:
    // uAuth: peer authentication (option 23) is switched on before the peer announces itself.
    void Start(u32 uNodeOption = 0, u32 uAuth = 0)
    {
        QV_CFG_S c = SmallCfg();
        c.uNodeOption = uNodeOption;
        // Binary payloads, as the tunnel has them: texts keep their NUL.
        c.uClassOption = 0;
        ASSERT_NO_FATAL_FAILURE(Open(c));
        ASSERT_NO_FATAL_FAILURE(AddStaticPeer(uAuth));
        ASSERT_TRUE(WaitFor([&] { return !rown.Msgs(QV_PMSG_SYNC_REPORT).empty(); }, 5000));
        ASSERT_GT(rown.Send(QV_PMSG_SYNC_UPDATE, 0, SyncMsg(kRemotePeerObj, 0, 0, 0x1111, "R", "")), 0);
        CQVNodeTestProbe probe(*node);
        ASSERT_TRUE(WaitFor([&] {
            return probe.Locked([&](CQVNodeClassProc& c) { return c.PeerGetStatus(peer); }) == QV_PEER_STA_SYNC;
        }));
        // The remote's object for the node ("N") is the node's self object: what the self
        // object sends goes to it.
        ASSERT_GT(rown.Send(QV_PMSG_SYNC_REPORT, 0, SyncMsg(kRemoteSelfObj, 0, 0, 0x1111, "N", "")), 0);
        ASSERT_TRUE(WaitFor([&] {
            return probe.Locked([&](CQVNodeClassProc& c) { return c.ObjGetObjIDByPeer(self, peer); }) ==
                   kRemoteSelfObj;
        }));
    }
    std::vector<ClassCall> Replies(u32 uParam)
    {
        std::vector<ClassCall> v;
        for (auto& r : owner.Replies())
            if (r.d == uParam)
                v.push_back(r);
        return v;
    }
    std::vector<ClassCall> Ext(u32 uMethod)
    {
        std::vector<ClassCall> v;
        for (auto& r : owner.Requests())
            if (r.b == uMethod)
                v.push_back(r);
        return v;
    }
    // The peer's entry, read under the node lock.
    template <class F>
    auto Entry(F f) -> decltype(f(*(const CQVClassPeer::PEER_S*)nullptr))
    {
        CQVNodeTestProbe probe(*node);
        return probe.Locked([&](CQVNodeClassProc&) {
            CQVClassPeer* c = node->GetClassPeer();
            CQVClassPeerLoginProbe lp(*c);
            return f(*c->PeerAt(lp.Index(peer)));
        });
    }
    // The class's node second.
    u32 ClassTick()
    {
        CQVNodeTestProbe probe(*node);
        return probe.Locked([&](CQVNodeClassProc&) { return CQVClassPeerLoginProbe(*node->GetClassPeer()).Tick(); });
    }
    // At least n node seconds by timer passes (the node's time runs only so from here on). The
    // class's second follows the node's at its own timer's phase, so one more second is run.
    void Seconds(u32 n)
    {
        CQVNodeTestProbe probe(*node);
        probe.ManualTime();
        u32 before = ClassTick();
        probe.Pass(10 * (n + 1));
        ASSERT_GE(ClassTick() - before, n);
    }
    // The remote's reply to the node's call (flag 2 text with its NUL, flag 1 a code).
    void Answer(const RemoteMsg& call, u16 uFlag, const std::string& data)
    {
        ASSERT_GT(rown.Send(QV_PMSG_CALL_REPLY, peer, data, 0, uFlag, call.uParam), 0);
    }
    static std::string Code(u32 c)
    {
        std::string s;
        Put32(s, c);
        return s;
    }
    static std::string Text(const char* t) { return std::string(t, strlen(t) + 1); }

    static constexpr u32 kRemotePeerObj = 0x00010001;
    static constexpr u32 kRemoteSelfObj = 0x00030001;
};

}  // namespace
