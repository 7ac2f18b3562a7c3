// The direct-tunnel back list, the LAN peer table, peer-out check records, authorisation records
// and the retry control, each on an engine object of its own (no node, no thread).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "doZiriza.h"

namespace {

class CTestTunnel : public CDOZiriza
{
public:
    void SetTick(u32 u) { m_uTickStamp = u; }
    CFG_S& Cfg() { return m_Cfg; }
};

// A loopback port nobody listens on (the socket is closed again).
u16 FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr*)&sa, sizeof(sa));
    socklen_t n = sizeof(sa);
    getsockname(fd, (sockaddr*)&sa, &n);
    close(fd);
    return ntohs(sa.sin_port);
}

std::string Loop(u16 port)
{
    return "127.0.0.1:" + std::to_string(port);
}

}  // namespace

TEST(DirectBack, SameTunnelTwiceKeepsOneEntryAndAClientAddressHasOneOwner)
{
    CTestTunnel t;
    const std::string clt = Loop(FreePort());
    const QV_STRING name = CDOZiriza::DirectTunnelBuildName("p1@d", clt.c_str());
    EXPECT_STREQ(("__DirectTunnel_p1@d_" + clt).c_str(), name.c_str());
    u32 bNew = 9;
    EXPECT_EQ(0u, t.DirectTunnelBackAdd(name.c_str(), "p1@d", 0, "0", "Tcp", "10.0.0.1:80", clt.c_str(), &bNew));
    EXPECT_EQ(1u, bNew);
    EXPECT_EQ(0u, t.DirectTunnelBackAdd(name.c_str(), "p1@d", 0, "1", "Tcp", "10.0.0.1:80", clt.c_str(), &bNew));
    EXPECT_EQ(0u, bNew);
    EXPECT_EQ(1u, t.DirectTunnelBackCount());
    EXPECT_STREQ("1", t.DirectTunnelBackSearch(name.c_str())->strEncrypt.c_str());
    // Another peer on the same client address is refused.
    QV_STRING other = CDOZiriza::DirectTunnelBuildName("p2@d", clt.c_str());
    EXPECT_EQ(13u, t.DirectTunnelBackAdd(other.c_str(), "p2@d", 0, "0", "Tcp", "10.0.0.1:80", clt.c_str()));
    EXPECT_EQ(1u, t.DirectTunnelBackCount());
    EXPECT_EQ(0u, t.DirectTunnelBackDelete(name.c_str()));
    EXPECT_EQ(18u, t.DirectTunnelBackDelete(name.c_str()));
    // Never added: 18.
    EXPECT_EQ(18u, t.DirectTunnelDelete("p9@d", 0, "0", "10.0.0.1:80", clt.c_str(), 0));
}

TEST(DirectBack, AChangedTunnelOfTheSameNameReplacesTheStaleEntry)
{
    CTestTunnel t;
    const std::string clt1 = Loop(FreePort());
    const std::string clt2 = Loop(FreePort());
    QV_STRING n1 = CDOZiriza::DirectTunnelBuildName("p1@d", clt1.c_str());
    QV_STRING n2 = CDOZiriza::DirectTunnelBuildName("p2@d", clt2.c_str());
    ASSERT_EQ(0u, t.DirectTunnelBackAdd(n1.c_str(), "p1@d", 0, "0", "Tcp", "10.0.0.1:80", clt1.c_str()));
    ASSERT_EQ(0u, t.DirectTunnelBackAdd(n2.c_str(), "p2@d", 0, "0", "Tcp", "10.0.0.2:80", clt2.c_str()));
    // Same peer and client address (same name), a new service address and then a new type.
    u32 bNew = 0;
    ASSERT_EQ(0u, t.DirectTunnelBackAdd(n1.c_str(), "p1@d", 0, "0", "Tcp", "10.0.0.9:81", clt1.c_str(), &bNew));
    EXPECT_EQ(1u, bNew);
    EXPECT_EQ(2u, t.DirectTunnelBackCount());
    EXPECT_EQ(nullptr, t.DirectTunnelBackSearchExt("p1@d", 0, "10.0.0.1:80", clt1.c_str()));
    ASSERT_NE(nullptr, t.DirectTunnelBackSearchExt("p1@d", 0, "10.0.0.9:81", clt1.c_str()));
    // The replacement keeps the entry's place in the list.
    EXPECT_EQ(t.DirectTunnelBackSearch(n1.c_str()), t.DirectTunnelBackEnum(0));
    ASSERT_EQ(0u, t.DirectTunnelBackAdd(n1.c_str(), "p1@d", 1, "0", "Proxy", "", clt1.c_str()));
    EXPECT_EQ(2u, t.DirectTunnelBackCount());
    EXPECT_EQ(nullptr, t.DirectTunnelBackSearchExt("p1@d", 0, "10.0.0.9:81", ""));
    CDOZiriza::DIRECT_BACK_S* p = t.DirectTunnelBackSearchExt("p1@d", 1, "", "");
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("Proxy", p->strSection.c_str());
    EXPECT_EQ(p, t.DirectTunnelBackSearchAddrIn(clt1.c_str()));
    EXPECT_EQ(nullptr, t.DirectTunnelBackEnum(2));
    // Deleting by peer and client address finds the replaced entry.
    EXPECT_EQ(0u, t.DirectTunnelDelete("p1@d", 1, "0", "", clt1.c_str(), 0));
    EXPECT_EQ(1u, t.DirectTunnelBackCount());
}

TEST(DirectBack, BusyOrBadClientAddressesAndLongNamesAreRefused)
{
    CTestTunnel t;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(fd, (sockaddr*)&sa, sizeof(sa)));
    ASSERT_EQ(0, listen(fd, 1));
    socklen_t n = sizeof(sa);
    getsockname(fd, (sockaddr*)&sa, &n);
    const std::string busy = Loop(ntohs(sa.sin_port));
    EXPECT_EQ(13u, t.DirectTunnelBackAdd("n", "p@d", 0, "0", "Tcp", "10.0.0.1:80", busy.c_str()));
    close(fd);
    EXPECT_EQ(2u, t.DirectTunnelBackAdd("n", "p@d", 0, "0", "Tcp", "10.0.0.1:80", "1.2.3:x:y"));
    EXPECT_EQ(0u, t.DirectTunnelBackCount());
    EXPECT_STREQ("", CDOZiriza::DirectTunnelBuildName(std::string(250, 'p').c_str(), "1.2.3.4:5").c_str());
    // Names and peer IDs are escaped in the connection text; the length is bounded.
    EXPECT_STREQ("CnntAdd?(a&Ab){(Type){0}(Option){(Encrypt){1}(Compress){0}}(Tcp){(PeerOut){p&E}(AddrIn){c}"
                 "(AddrSvr){s}}}",
                 t.DirectTunnelText("a(b", 0, "1", "Tcp", "p{", "c", "s").c_str());
    EXPECT_STREQ("", t.DirectTunnelText(std::string(500, 'n').c_str(), 0, "1", "Tcp", "p", "c", "s").c_str());
}

TEST(LanPeers, SeventeenthPeerReplacesTheOneReportedLongestAgo)
{
    CTestTunnel t;
    for (u32 i = 0; i < 16; i++)
    {
        t.SetTick(100 + i);
        EXPECT_EQ(1u, t.LanScanPeerUpdate(("p" + std::to_string(i)).c_str(), "a"));
    }
    t.SetTick(200);
    // Seen again at the same address: renewed, not new.
    EXPECT_EQ(0u, t.LanScanPeerUpdate("p0", "a"));
    EXPECT_EQ(1u, t.LanScanPeerUpdate("p16", "b"));
    EXPECT_EQ(nullptr, t.LanScanPeerSearch("p1"));
    ASSERT_NE(nullptr, t.LanScanPeerSearch("p0"));
    EXPECT_EQ(1u, t.LanScanPeerUpdate("p0", "moved"));
    EXPECT_STREQ("moved", t.LanScanPeerSearch("p0")->strAddr.c_str());
    // All slots stamped in this tick: nothing is stored.
    for (u32 i = 0; i < 16; i++)
        t.LanScanPeerUpdate(("q" + std::to_string(i)).c_str(), "a");
    EXPECT_EQ(0u, t.LanScanPeerUpdate("late", "a"));
    EXPECT_EQ(nullptr, t.LanScanPeerSearch("late"));
    t.LanScanPeerClean();
    EXPECT_EQ(nullptr, t.LanScanPeerSearch("q0"));
}

TEST(PeerAuth, ObfuscationAndRecords)
{
    struct
    {
        const char* in;
        u32 size;
        const char* out;
    } cases[] = {{"abcdefgh", 256, "ab****gh"}, {"abc", 256, "*bc"}, {"a", 256, "a"}, {"", 256, ""}};
    char sz[256];
    for (auto& c : cases)
    {
        CDOZiriza::AuthObfuscate(c.in, sz, c.size);
        EXPECT_STREQ(c.out, sz) << c.in;
    }
    CDOZiriza::AuthObfuscate(std::string(256, 'x').c_str(), sz, 256);
    EXPECT_STREQ("", sz);

    CTestTunnel t;
    EXPECT_EQ(1u, t.PeerAuthSet("p@d", "info"));
    EXPECT_EQ(1u, t.PeerAuthSet("p@d", "info2"));
    EXPECT_EQ(1u, t.PeerAuthCount());
    EXPECT_STREQ("info2", t.PeerAuthSearch("p@d")->strInfo.c_str());
    EXPECT_EQ(1u, t.PeerAuthSet("p@d", ""));
    EXPECT_EQ(0u, t.PeerAuthCount());
}

TEST(PeerOut, RequestingPeerWithoutObjectFallsIdleAndIsForgotten)
{
    CTestTunnel t;
    t.Cfg().Base.uConnectTimeout = 20;
    EXPECT_EQ(20u, t.PeerOutTimeout());
    t.Cfg().UtiClient.uTunnelOnDemand = 1;
    EXPECT_EQ(6u, t.PeerOutTimeout());
    t.SetTick(10);
    t.PeerOutCheckRequest("p@d");
    ASSERT_NE(nullptr, t.PeerOutCheckSearch("p@d"));
    EXPECT_EQ((u32)CDOZiriza::PEER_OUT_REQUESTING, t.PeerOutCheckSearch("p@d")->uState);
    t.SetTick(15);
    t.PeerOutCheckTimer();
    EXPECT_EQ((u32)CDOZiriza::PEER_OUT_REQUESTING, t.PeerOutCheckSearch("p@d")->uState);
    t.SetTick(16);
    t.PeerOutCheckTimer();
    EXPECT_EQ((u32)CDOZiriza::PEER_OUT_IDLE, t.PeerOutCheckSearch("p@d")->uState);
    // Idle and older than the connect time-out: forgotten.
    t.SetTick(30);
    t.PeerOutCheckTimer();
    EXPECT_EQ(1u, t.PeerOutCheckCount());
    t.SetTick(31);
    t.PeerOutCheckTimer();
    EXPECT_EQ(0u, t.PeerOutCheckCount());
    // A reply for a peer without a record changes nothing.
    t.PeerOutCheckReply("p@d", 1);
    EXPECT_EQ(0u, t.PeerOutCheckCount());
}

TEST(RetryControl, ResendsDoubleUpToTwoMinutes)
{
    CDOZiriza::TIMER_CTL_S ctl;
    EXPECT_EQ(0u, CDOZiriza::TimerCtlCheck(ctl));
    CDOZiriza::TimerCtlEnable(ctl, 0);
    std::vector<u32> gaps;
    u32 uLast = 0;
    for (u32 tick = 1; tick <= 600 && gaps.size() < 8; tick++)
        if (CDOZiriza::TimerCtlCheck(ctl))
        {
            gaps.push_back(tick - uLast);
            uLast = tick;
        }
    EXPECT_EQ((std::vector<u32>{5, 10, 20, 40, 80, 120, 120, 120}), gaps);
    // Enabling an enabled control keeps its interval unless forced.
    CDOZiriza::TimerCtlEnable(ctl, 0);
    EXPECT_EQ(120u, ctl.uInterval);
    CDOZiriza::TimerCtlEnable(ctl, 1);
    EXPECT_EQ(5u, ctl.uInterval);
    CDOZiriza::TimerCtlDisable(ctl);
    EXPECT_EQ(0u, CDOZiriza::TimerCtlCheck(ctl));
}
