// Connections through the flat interface with a scripted node and the real TCP extension:
// adding, replacing, querying, enumerating and deleting, their listeners, their events, the
// peer checks and "Active" notifications by driven ticks, and the end of everything when the
// node stops.
#include <gtest/gtest.h>

#include <cstdlib>

#include "test_sess_node.h"

namespace {

const char* const kPeer = "_DEV_p2@grp";
// The peer as the tunnel shows it: without its domain.
const char* const kPeerShown = "_DEV_p2";

class Tunnels : public SessFixture
{
protected:
    std::string Cli(u16 uPort) { return "127.0.0.1:" + std::to_string(uPort); }
    int Enum(u32 uIndex, QV_TUNNEL_CONNECT_INFO_S* lpInfo)
    {
        memset(lpInfo, 0, sizeof(*lpInfo));
        return doZirizaConnectEnum(uIndex, lpInfo);
    }
    bool EventSeen(u32 uEvent, const std::string& strParam)
    {
        return WaitFor([&] { return CEventLog::Get().Has(uEvent, strParam); }, 3000);
    }
    std::string ClientEvent(const std::string& strAddr) { return "{\"clientaddr\":\"" + strAddr + "\"}"; }
    u32 CountEvents(u32 uEvent, const std::string& strParam)
    {
        u32 n = 0;
        for (auto& e : CEventLog::Get().Copy())
            n += e.first == uEvent && e.second == strParam;
        return n;
    }
    // Connecting to the port is refused (a listener goes away in its worker's next pass).
    bool Refused(u16 uPort)
    {
        return WaitFor([&] {
            int fd = SessConnect(uPort);
            if (fd < 0)
                return true;
            close(fd);
            return false;
        });
    }
    std::vector<std::string> ActiveNotifies(u32 uPeer)
    {
        std::vector<std::string> v;
        for (auto& r : Node()->ByMethod(36))
            if (r.uObject == uPeer && r.strData.compare(0, 7, "Active?") == 0)
                v.push_back(r.strData.substr(7));
        return v;
    }
};

}  // namespace

TEST_F(Tunnels, AddQueryEnumerateAndDelete)
{
    Start();
    u16 uA = SessFreePort(), uB = SessFreePort();
    ASSERT_EQ(0, AddConnection(kPeer, "10.0.0.1:80", Cli(uA)));
    // The same connection again changes nothing.
    ASSERT_EQ(0, AddConnection(kPeer, "10.0.0.1:80", Cli(uA)));
    ASSERT_EQ(0, AddConnection(kPeer, "10.0.0.2:22", Cli(uB), 0, 1));
    QV_TUNNEL_CONNECT_INFO_S info;
    ASSERT_EQ(0, Enum(0, &info));
    EXPECT_STREQ(kPeerShown, info.szPeerID);
    EXPECT_EQ(0u, info.uType);
    EXPECT_STREQ("10.0.0.1:80", info.szListenAddr);
    EXPECT_STREQ(Cli(uA).c_str(), info.szClientAddr);
    ASSERT_EQ(0, Enum(1, &info));
    EXPECT_STREQ("10.0.0.2:22", info.szListenAddr);
    EXPECT_EQ(QV_TUNNEL_ERROR_NOEXIST, Enum(2, &info));

    QV_TUNNEL_CLIENT_ADDR_S ca;
    memset(&ca, 0, sizeof(ca));
    ASSERT_EQ(0, doZirizaConnectQuery(kPeer, 0, 0, "10.0.0.2:22", &ca));
    EXPECT_STREQ(Cli(uB).c_str(), ca.szClientAddr);
    memset(&ca, 0, sizeof(ca));
    EXPECT_EQ(QV_TUNNEL_ERROR_NOEXIST, doZirizaConnectQuery(kPeer, 0, 0, "10.0.0.9:1", &ca));

    // Both listen; checked and on line (the peer answers its check).
    int fd = Keep(SessConnect(uA));
    EXPECT_GE(fd, 0);
    EXPECT_TRUE(EventSeen(8, ClientEvent(Cli(uA))));
    EXPECT_TRUE(EventSeen(10, ClientEvent(Cli(uA))));
    EXPECT_EQ(1u, CountEvents(8, ClientEvent(Cli(uA))));

    ASSERT_EQ(0, doZirizaConnectDelete("", kPeer, 0, 0, "10.0.0.1:80", Cli(uA).c_str()));
    EXPECT_TRUE(EventSeen(11, ClientEvent(Cli(uA))));
    EXPECT_TRUE(EventSeen(9, ClientEvent(Cli(uA))));
    EXPECT_TRUE(Refused(uA));  // no longer listening
    ASSERT_EQ(0, Enum(0, &info));
    EXPECT_STREQ("10.0.0.2:22", info.szListenAddr);
}

TEST_F(Tunnels, BadRequestsAreRefused)
{
    Start();
    u16 uA = SessFreePort();
    struct
    {
        std::string peer, svr, cli;
        u32 type;
        int want;
    } cases[] = {
        {kPeer, "10.0.0.1:80", Cli(uA), 2, QV_TUNNEL_ERROR_BADPARAM},              // unknown type
        {kPeer, "", Cli(uA), 0, QV_TUNNEL_ERROR_BADPARAM},                         // no service
        {"svr", "10.0.0.1:80", Cli(uA), 0, QV_TUNNEL_ERROR_BADPARAM},              // the server
        {"_DEV_c1@grp", "10.0.0.1:80", Cli(uA), 0, QV_TUNNEL_ERROR_BADPARAM},      // this side
        {std::string(200, 'p'), "10.0.0.1:80", Cli(uA), 0, QV_TUNNEL_ERROR_BADPARAM},
        {kPeer, std::string(300, 's'), Cli(uA), 0, QV_TUNNEL_ERROR_BADPARAM},
        {kPeer, "10.0.0.1:80", "no.such.host.invalid:1", 0, QV_TUNNEL_ERROR_BADPARAM},  // cannot resolve
        {kPeer, "10.0.0.1:80", "", 0, QV_TUNNEL_ERROR_REJECT},
    };
    for (auto& c : cases)
        EXPECT_EQ(c.want, AddConnection(c.peer, c.svr, c.cli, c.type)) << c.peer.substr(0, 20) << " " << c.cli;
    QV_TUNNEL_CONNECT_INFO_S info;
    EXPECT_EQ(QV_TUNNEL_ERROR_NOEXIST, Enum(0, &info));
    // Another peer on a client address already in use is refused; the first one stays.
    ASSERT_EQ(0, AddConnection(kPeer, "10.0.0.1:80", Cli(uA)));
    EXPECT_EQ(QV_TUNNEL_ERROR_REJECT, AddConnection("_DEV_p3@grp", "10.0.0.1:80", Cli(uA)));
    ASSERT_EQ(0, Enum(0, &info));
    EXPECT_STREQ(kPeerShown, info.szPeerID);
    EXPECT_EQ(QV_TUNNEL_ERROR_NOEXIST, Enum(1, &info));
    EXPECT_GE(Keep(SessConnect(uA)), 0);
}

TEST_F(Tunnels, PeerIDsWithSpecialCharactersStayWhole)
{
    Start();
    u16 uA = SessFreePort();
    // The key-value special characters travel encoded in the connection text.
    std::string strPeer = "p(1){x}[y]@grp";
    ASSERT_EQ(0, AddConnection(strPeer, "10.0.0.1:80", Cli(uA)));
    QV_TUNNEL_CONNECT_INFO_S info;
    ASSERT_EQ(0, Enum(0, &info));
    EXPECT_STREQ("p(1){x}[y]", info.szPeerID);
    EXPECT_NE(0u, Node()->Obj(strPeer));
}

TEST_F(Tunnels, PeerSyncTurnsConnectionsOnAndOffLine)
{
    Start();
    u16 uA = SessFreePort();
    CSessNode::CheckResult() = 6;  // not reachable yet: checked, not on line
    ASSERT_EQ(0, AddConnection(kPeer, "10.0.0.1:80", Cli(uA)));
    EXPECT_TRUE(EventSeen(8, ClientEvent(Cli(uA))));
    EXPECT_EQ(0u, CountEvents(10, ClientEvent(Cli(uA))));
    u32 uPeer = Node()->Obj(kPeer);
    u32 uOn = 1, uOff = 0;
    Node()->Proc()->OnExtRequest(uPeer, 0, &uOn, 4, 0, 0);
    EXPECT_TRUE(EventSeen(5, "{\"peerid\":\"_DEV_p2\",\"count\":0}"));
    EXPECT_TRUE(EventSeen(10, ClientEvent(Cli(uA))));
    Node()->Proc()->OnExtRequest(uPeer, 0, &uOn, 4, 0, 0);
    Sync();
    EXPECT_EQ(1u, CountEvents(10, ClientEvent(Cli(uA))));  // once per change
    Node()->Proc()->OnExtRequest(uPeer, 0, &uOff, 4, 0, 0);
    EXPECT_TRUE(EventSeen(11, ClientEvent(Cli(uA))));
    Node()->Proc()->OnExtRequest(uPeer, 0, &uOff, 4, 0, 0);
    Sync();
    EXPECT_EQ(1u, CountEvents(11, ClientEvent(Cli(uA))));
}

TEST_F(Tunnels, UnreachablePeerIsRetriedWithDoublingIntervalsAndActiveListsFollowTheTicks)
{
    Start();
    u16 uA = SessFreePort();
    ASSERT_EQ(0, AddConnection(kPeer, "10.0.0.1:80", Cli(uA)));
    u32 uPeer = Node()->Obj(kPeer);
    CSessNode::CheckResult() = 6;
    u32 uSyncs = Node()->m_uSyncs;
    // Checks every 5 ticks; a sync is asked at the 1st, 3rd, 7th and 15th failed check.
    Ticks(5);
    EXPECT_EQ(uSyncs + 1, Node()->m_uSyncs.load());
    Ticks(10);
    EXPECT_EQ(uSyncs + 2, Node()->m_uSyncs.load());
    Ticks(20);
    EXPECT_EQ(uSyncs + 3, Node()->m_uSyncs.load());
    Ticks(39);
    EXPECT_EQ(uSyncs + 3, Node()->m_uSyncs.load());
    Ticks(1);
    EXPECT_EQ(uSyncs + 4, Node()->m_uSyncs.load());
    // The connection sends its session list every sixth check (30 ticks).
    CSessNode::CheckResult() = 0;
    size_t uBefore = ActiveNotifies(uPeer).size();
    for (u32 i = 0; i < 30 && ActiveNotifies(uPeer).size() == uBefore; i++)
        Ticks(1);
    auto v = ActiveNotifies(uPeer);
    ASSERT_EQ(uBefore + 1, v.size());
    EXPECT_EQ("", v.back());  // no session yet
    Ticks(29);
    EXPECT_EQ(v.size(), ActiveNotifies(uPeer).size());
    Ticks(1);
    EXPECT_EQ(v.size() + 1, ActiveNotifies(uPeer).size());
}

TEST_F(Tunnels, ActiveListOfManySessionsGoesInParts)
{
    Start("", 100);  // no session set-up is dropped while the lists go out
    u16 uA = SessFreePort();
    ASSERT_EQ(0, AddConnection(kPeer, "10.0.0.1:80", Cli(uA)));
    u32 uPeer = Node()->Obj(kPeer);
    const size_t uCount = 300;
    for (size_t i = 0; i < uCount; i++)
        ASSERT_GE(Keep(SessConnect(uA)), 0);
    std::set<std::string> sessions;
    ASSERT_TRUE(WaitFor([&] {
        sessions.clear();
        for (auto& r : Node()->ByMethod(35))
            if (r.uObject == uPeer)
                sessions.insert(SessParam(r.strData, "Sess"));
        return sessions.size() == uCount;
    })) << sessions.size() << " calls, sockets " << ExtStat().uSockets;
    size_t uBefore = ActiveNotifies(uPeer).size();
    Ticks(30);
    auto v = ActiveNotifies(uPeer);
    ASSERT_GE(v.size(), uBefore + 2);
    std::vector<std::string> parts(v.begin() + (long)uBefore, v.end());
    std::set<std::string> named;
    for (size_t i = 0; i < parts.size(); i++)
    {
        std::string s = parts[i];
        bool bMore = !s.empty() && s.back() == '+';
        EXPECT_EQ(i + 1 < parts.size(), bMore) << i;
        if (bMore)
            s.pop_back();
        EXPECT_LE(s.size(), 2040u);
        size_t n = 0;
        for (size_t p = 0; p <= s.size();)
        {
            size_t e = s.find(',', p);
            if (e == std::string::npos)
                e = s.size();
            named.insert(s.substr(p, e - p));
            n++;
            p = e + 1;
        }
        EXPECT_LE(n, 256u);
    }
    EXPECT_EQ(sessions.size(), named.size());
    for (auto& x : named)
        EXPECT_TRUE(sessions.count(x)) << "[" << x << "]";
}

TEST_F(Tunnels, NodeStopEndsSessionsAndConnections)
{
    Start();
    u16 uA = SessFreePort();
    ASSERT_EQ(0, AddConnection(kPeer, "10.0.0.1:80", Cli(uA)));
    int fd = Keep(SessConnect(uA));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitFor([&] { return !Node()->ByMethod(35).empty(); }));
    // Kicked out: the node stops, and with it every session and connection.
    u8 aucKick[4 + sizeof(QV_ADDR_S)];
    memset(aucKick, 0, sizeof(aucKick));
    Node()->Proc()->OnExtRequest(Self(), 47, aucKick, sizeof(aucKick), 0, Node()->Svr());
    EXPECT_TRUE(SessClosedByPeer(fd));
    EXPECT_TRUE(EventSeen(9, ClientEvent(Cli(uA))));
    EXPECT_TRUE(EventSeen(6, "{\"peerid\":\"_DEV_p2\",\"count\":0}"));
    EXPECT_TRUE(Refused(uA));
}
