// The node adapter alone over a scripted node: start limits, the node configuration record, the
// request parameter table (reuse of overdue entries, stale replies) and the request records.
#include <gtest/gtest.h>

#include <cstring>

#include "doZiriza.h"
#include "kvFakeNode.h"
#include "qvSockDriv.h"

namespace {

class Adapter : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CFakeNode::Install();
        node.Attach(&tunnel, nullptr);
        memset(&cfg, 0, sizeof(cfg));
        cfg.uSessBufSize = 64;
        cfg.uP2PTryTime = 6;
        cfg.uDigest = 1;
        cfg.iDnsRandom = -1;
    }
    void TearDown() override { node.Clean(); }
    u32 Init(u32 uMaxSess, u32 uMaxTunnel, const QV_RELAY_INFO_S* relays = nullptr, u32 n = 0)
    {
        return node.Initialize(uMaxSess, uMaxTunnel, "svr", "127.0.0.1:7000", "0.0.0.0:0", "doZiriza/Client", relays, n,
                               cfg);
    }
    CFakeNode* Fake()
    {
        std::lock_guard<std::mutex> g(CFakeNode::Lock());
        return CFakeNode::Current();
    }

    CDOZiriza tunnel;
    CDOZirizaNode node;
    CDOZirizaNode::INIT_CFG_S cfg;
};

}  // namespace

TEST_F(Adapter, SessionLimit)
{
    u32 uCreated = CFakeNode::Created();
    EXPECT_EQ(0u, Init(16385, 8));
    EXPECT_EQ(uCreated, CFakeNode::Created());
    EXPECT_EQ(nullptr, node.GetNode());
    ASSERT_EQ(1u, Init(16384, 8));
    EXPECT_EQ(16384u, Fake()->m_Cfg.uPeerMax);
    EXPECT_EQ(3u * 16384 + 8, Fake()->m_Cfg.uObjMax);
}

TEST_F(Adapter, RelayListAndTableSize)
{
    ASSERT_EQ(1u, Init(16, 8));
    EXPECT_EQ(128u, node.ParamCount());
    node.Clean();
    // Every session being set up may hold an entry.
    ASSERT_EQ(1u, Init(1000, 16));
    EXPECT_EQ(1032u, node.ParamCount());
    EXPECT_EQ(0u, Fake()->m_uRelayCount);
    node.Clean();
    QV_RELAY_INFO_S r[2];
    memset(r, 0, sizeof(r));
    ASSERT_EQ(1u, Init(16, 100, r, 2));
    EXPECT_EQ(216u, node.ParamCount());
    EXPECT_EQ(2u, Fake()->m_uRelayCount);
    node.Clean();
    // A tunnel count beyond what 16-bit handle indexes can name is capped.
    ASSERT_EQ(1u, Init(16, 0xFFFFFFF0u));
    EXPECT_EQ(0xFFFFu, node.ParamCount());
}

TEST_F(Adapter, OverdueParameterEntriesAreReused)
{
    node.SetCurStamp(1000);
    ASSERT_EQ(1u, Init(16, 8));
    // Initialize asked for the server's option 18: one entry is taken already.
    u32 uFree = 128 - 1;
    for (u32 i = 0; i < uFree; i++)
        ASSERT_EQ(0, node.PeerCall(Fake()->Svr(), "Foo", 1, i)) << i;
    EXPECT_EQ(6, node.PeerCall(Fake()->Svr(), "Foo", 1, 0));
    EXPECT_EQ(1, node.CallRequest("x", 32, 0));
    size_t uRequests = Fake()->Requests().size();
    node.SetCurStamp(1000 + 119);
    EXPECT_EQ(6, node.PeerCall(Fake()->Svr(), "Foo", 1, 0));
    EXPECT_EQ(uRequests, Fake()->Requests().size());  // nothing was sent
    // 120 seconds old: the oldest entry is reused; its late reply is then dropped.
    ASSERT_EQ(3u, Fake()->Requests()[1].uMethod);
    u32 uOld = Fake()->Requests()[1].uParam;
    node.SetCurStamp(1000 + 120);
    EXPECT_EQ(0, node.PeerCall(Fake()->Svr(), "Foo", 1, 0));
    u32 k = 0, v1 = 0, v2 = 0, v3 = 0;
    EXPECT_EQ(0u, node.ParamGetInfo(uOld, &k, &v1, &v2, &v3));
    EXPECT_EQ(1u, node.OnReply(Fake()->Svr(), 0, "late", 5, uOld));
    EXPECT_EQ(0u, tunnel.MsgQueued());
}

TEST_F(Adapter, OptionRecords)
{
    ASSERT_EQ(1u, Init(16, 8));
    u32 uPeer = node.PeerAdd("peer", 30, 3, 3);
    ASSERT_NE(0u, uPeer);
    // Channel and multi-path modes above 2 are not sent: only item 3 (the time-out).
    u32 n = 0;
    for (auto& r : Fake()->Requests())
        if (r.uObject == uPeer && r.uMethod == 2)
        {
            n++;
            ASSERT_EQ(260u, r.uSize);
        }
    EXPECT_EQ(1u, n);
    EXPECT_EQ(0, node.PeerSetOption(uPeer, 30, 1, 2));
    n = 0;
    for (auto& r : Fake()->Requests())
        n += r.uObject == uPeer && r.uMethod == 2;
    EXPECT_EQ(4u, n);
    EXPECT_EQ(0, node.PeerSetChannelMode(uPeer, 3));
    EXPECT_EQ(1u, node.PeerNotify(uPeer, "Active", "1,2"));
    EXPECT_EQ(0u, node.PeerNotify(uPeer, "Big", std::string(3000, 'x').c_str()));
    EXPECT_EQ("Active?1,2", Fake()->Requests().back().strData);
}

TEST_F(Adapter, LanScanReplyIsReadWithinItsRecord)
{
    ASSERT_EQ(1u, Init(16, 8));
    ASSERT_EQ(1u, node.PeerLanScan("", 2));
    u32 uParam = Fake()->Requests().back().uParam;
    const u32 uEntry = sizeof(QV_ADDR_S) + 128;
    const u32 uCount = 6;
    std::vector<u8> rec(4 + uEntry * uCount, 0);
    memcpy(rec.data(), &uCount, 4);
    for (u32 i = 0; i < uCount; i++)
    {
        u8* p = rec.data() + 4 + i * uEntry;
        QV_ADDR_S a;
        memset(&a, 0, sizeof(a));
        a.uAddr[3] = 0x0100007f;
        a.uPort = (u16)(1000 + i);
        memcpy(p, &a, sizeof(a));
        // Names with key-value special characters, long enough that not all entries fit.
        std::string name = "p(" + std::to_string(i) + ")" + std::string(80, 'n');
        memcpy(p + sizeof(a), name.data(), name.size());
    }
    // A count larger than the record holds is read only as far as the record goes.
    u32 uLie = 1000;
    std::vector<u8> lie = rec;
    memcpy(lie.data(), &uLie, 4);
    EXPECT_EQ(1u, node.OnReply(Fake()->Svr(), 0, lie.data(), (u32)lie.size(), uParam));
    EXPECT_EQ(1u, tunnel.MsgQueued());
}
