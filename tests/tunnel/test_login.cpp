// Login, relogin delays, kick-out, redirects and node reports, played through a scripted node
// with the tunnel's clock driven by ticks.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <future>
#include <string>

#include "doZirizaModule.h"
#include "kvFakeNode.h"
#include "qvLibTunnel.h"
#include "qvSocketAddr.h"

namespace {

class Login : public CFakeNodeTunnel
{
protected:
    u32 Logins() { return Node() ? Node()->CountMethod(32) : 0; }
    void LoggedIn()
    {
        Node()->ReplyLogin(0, "(Direct){1}", "sess");
        ASSERT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    }
};

}  // namespace

TEST_F(Login, SuccessReportsStatusEventAndDomain)
{
    Start(ClientCfg(dir.path, "", "(AccountPass){(User){_DEV_c1@grp}(Pass){pw}(Comment){a&Eb&F}}"));
    ASSERT_EQ(1u, Logins());
    // The node was started with the record the configuration asks for.
    const QV_CFG_S& cfg = Node()->m_Cfg;
    EXPECT_STREQ("doZiriza/Client", cfg.szClientInfo);
    EXPECT_EQ(16u, cfg.uPeerMax);
    EXPECT_EQ(2u, cfg.uGroupMax);
    EXPECT_EQ(56u, cfg.uObjMax);
    EXPECT_EQ(128u, cfg.uMCastMax);
    EXPECT_EQ(64u, cfg.uExtInstMax);
    EXPECT_EQ(256u, cfg.auQueueSize[0]);
    EXPECT_EQ(64u, cfg.auQueueSize[3]);
    EXPECT_EQ(0x101u, cfg.uNodeOption);
    EXPECT_EQ(120u, cfg.uRequestTimeout);
    std::string user;
    Node()->LastLoginParam(&user);
    EXPECT_EQ("_DEV_c1@grp", user);
    EXPECT_EQ("pw", Node()->m_strLoginPass);
    EXPECT_EQ("(Ver){2.9.5.115}(Cmmt){a&Eb&F}", Node()->m_strLoginParam);

    LoggedIn();
    ASSERT_TRUE(WaitFor([] { return CEventLog::Get().Has(2, "{\"errcode\":0}"); }));
    QV_TUNNEL_DOMAIN_S dom;
    ASSERT_EQ(0, doZirizaDomainGet(&dom));
    EXPECT_STREQ("grp", dom.szDomain);
    QV_TUNNEL_COMMENT_S com;
    ASSERT_EQ(0, doZirizaCommentGet(&com));
    EXPECT_STREQ("a{b}", com.szComment);
    // Client mode asks the server object for its peer information at the 10th logged-in tick.
    Ticks(9);
    EXPECT_EQ(0u, Node()->CountMethod(38));
    Ticks(1);
    EXPECT_EQ(1u, Node()->CountMethod(38));
}

TEST_F(Login, WrongPasswordBacksOffAndSuccessResets)
{
    Start(ClientCfg(dir.path));
    for (u32 n = 1; n <= 5; n++)
    {
        u32 uLogins = Logins();
        Node()->ReplyLogin(9);
        EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_BADPASS, Sync());
        EXPECT_EQ(30 * n, Tunnel()->GetReloginCountdown()) << n;
        Ticks(30 * n - 1);
        EXPECT_EQ(uLogins, Logins()) << n;
        Ticks(1);
        EXPECT_EQ(uLogins + 1, Logins()) << n;
    }
    ASSERT_TRUE(WaitFor([] { return CEventLog::Get().Has(2, "{\"errcode\":9}"); }));
    EXPECT_EQ(5u, Tunnel()->GetFailCount());
    LoggedIn();
    EXPECT_EQ(0u, Tunnel()->GetFailCount());
}

TEST_F(Login, NetworkErrorsRetryAfterTheIntervalUpToTheCap)
{
    Start(ClientCfg(dir.path, "(Base){(LoginDelayInterval){100}(LoginDelayMax){250}}"));
    const std::pair<u32, u32> steps[] = {{11, 100}, {12, 200}, {14, 250}, {11, 250}};
    const u32 status[] = {18, 17, 22, 18};
    for (u32 i = 0; i < 4; i++)
    {
        Node()->ReplyLogin(steps[i].first);
        EXPECT_EQ(status[i], Sync());
        EXPECT_EQ(steps[i].second, Tunnel()->GetReloginCountdown()) << i;
        Ticks(steps[i].second);
    }
    ASSERT_TRUE(WaitFor([] { return CEventLog::Get().Has(2, "{\"errcode\":12}"); }));
    // The login-now control ends the wait at the next tick.
    Node()->ReplyLogin(11);
    Sync();
    u32 uLogins = Logins();
    EXPECT_EQ(0, doZirizaControl(0, ""));
    EXPECT_EQ(0u, Tunnel()->GetFailCount());
    Ticks(1);
    EXPECT_EQ(uLogins + 1, Logins());
}

TEST_F(Login, KickOutRestartsAfterSixtyTicks)
{
    Start(ClientCfg(dir.path));
    LoggedIn();
    u32 uCreated = CFakeNode::Created();
    u8 rec[24];
    memset(rec, 0, sizeof(rec));
    u32 uParam = 7;
    memcpy(rec, &uParam, 4);
    QV_ADDR_S addr;
    memset(&addr, 0, sizeof(addr));
    const u8 ip[4] = {1, 2, 3, 4};
    memcpy(&addr.uAddr[3], ip, 4);
    addr.uPort = 99;
    memcpy(rec + 4, &addr, sizeof(addr));
    u32 uSelf = Node()->Obj("_DEV_c1@grp");
    ASSERT_NE(0u, uSelf);
    EXPECT_EQ(0, Node()->Proc()->OnExtRequest(uSelf, 47, rec, sizeof(rec), 0, Node()->Svr()));
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_KICKOUT, Sync());
    ASSERT_TRUE(WaitFor([] { return CEventLog::Get().Has(4, "{\"param\":7,\"addrnow\":\"1.2.3.4:99\"}"); }));
    ASSERT_TRUE(WaitFor([] { return CEventLog::Get().Has(3, ""); }));
    Ticks(59);
    EXPECT_EQ(uCreated, CFakeNode::Created());
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_KICKOUT, Sync());
    Ticks(1);
    EXPECT_EQ(uCreated + 1, CFakeNode::Created());
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_REQUESTING, Sync());
}

TEST_F(Login, RedirectAndFallBack)
{
    Start(ClientCfg(dir.path));
    u32 uCreated = CFakeNode::Created();
    Node()->ReplyLogin(0, "(Redirect){(SvrName){svr2}(SvrAddr){10.9.9.9:7000}}");
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_LOGOUTED, Sync());
    Ticks(1);
    ASSERT_EQ(uCreated + 1, CFakeNode::Created());
    EXPECT_NE(0u, Node()->Obj("svr2"));
    // The redirected server does not answer: back to the configured one.
    Node()->ReplyLogin(12);
    Sync();
    Ticks(1);
    ASSERT_EQ(uCreated + 2, CFakeNode::Created());
    EXPECT_NE(0u, Node()->Obj("svr"));
    EXPECT_EQ(0u, Node()->Obj("svr2"));
}

TEST_F(Login, DomainErrorRewritesTheAccountFileOnce)
{
    std::string code = "(AccountCode){(Prefix){p_}(Domain){cfgdom}}";
    std::string cfg = ClientCfg(dir.path, "", code);
    dir.Write("c.cfg", cfg);
    mkdir((dir.path + "/doZirizaC").c_str(), 0700);
    dir.Write("doZirizaC/doZiriza.acc", "(AccountCode){(Domain){other}(Comment){c}}");
    Start(cfg);
    std::string user;
    Node()->LastLoginParam(&user);
    EXPECT_EQ("p_dev1@other", user);
    Node()->ReplyLogin(23);
    EXPECT_EQ(23u, Sync());
    EXPECT_EQ("(AccountCode){(Domain){cfgdom}(Comment){c}}", dir.Read("doZirizaC/doZiriza.acc"));
    EXPECT_FALSE(CEventLog::Get().Has(2, "{\"errcode\":23}"));
    EXPECT_EQ(10u, Tunnel()->GetRestartCountdown());
    Ticks(10);
    Node()->LastLoginParam(&user);
    EXPECT_EQ("p_dev1@cfgdom", user);
    Node()->ReplyLogin(23);
    Sync();
    ASSERT_TRUE(WaitFor([] { return CEventLog::Get().Has(2, "{\"errcode\":23}"); }));
    EXPECT_EQ(20u, Tunnel()->GetReloginCountdown());
}

TEST_F(Login, NodeStartKeepsQueuedRequestsAndDropsStaleNodeMessages)
{
    Start(ClientCfg(dir.path));
    // Hold the tunnel thread inside a node stop, queue a request and a stale login reply.
    CFakeNode::GateClose();
    Tunnel()->PostMessage(DOZIRIZA_MSG_RESTART, 0, 0);
    ASSERT_TRUE(WaitFor([] { return CFakeNode::GateWaiting(); }));
    Tunnel()->PostMessage(DOZIRIZA_MSG_LOGIN_REPLY, 0, 0, 0, "", "");
    QV_TUNNEL_STATUS_S s = {0xDEAD};
    auto call = std::async(std::launch::async, [&] { return doZirizaStatusGet(0, &s); });
    ASSERT_TRUE(WaitFor([] { return Tunnel()->MsgQueued() == 2; }));
    CFakeNode::GateOpen();
    ASSERT_EQ(std::future_status::ready, call.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(0, call.get());
    // The login reply of the stopped node did not count for the new one.
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_REQUESTING, s.uStatus);
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_REQUESTING, Sync());
}

TEST_F(Login, HostileNodeRecords)
{
    Start(ClientCfg(dir.path));
    // A login result whose texts fill their fields, and one shorter than its record.
    u8 full[428];
    memset(full, 'x', sizeof(full));
    Node()->Proc()->OnReply(Node()->Svr(), 0, full, sizeof(full), Node()->LastLoginParam());
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    Tunnel()->PostMessage(DOZIRIZA_MSG_RELOGIN, 0, 0);
    Sync();
    ASSERT_EQ(2u, Logins());
    u8 shortRec[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    Node()->Proc()->OnReply(Node()->Svr(), 0, shortRec, sizeof(shortRec), Node()->LastLoginParam());
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    // A stale parameter handle is dropped.
    Node()->Proc()->OnReply(Node()->Svr(), 9, nullptr, 0, 0x12345678);
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    // Short reports of every kind are ignored or read within their size.
    u32 uSelf = Node()->Obj("_DEV_c1@grp");
    u32 uSvr = Node()->Svr();
    u8 two[2] = {0, 0};
    const u32 methods[] = {0, 35, 36, 46, 53, 54, 55, 59, 60, 1, 38, 99};
    for (u32 m : methods)
    {
        Node()->Proc()->OnExtRequest(uSelf, m, two, sizeof(two), 1, uSvr);
        Node()->Proc()->OnExtRequest(uSvr, m, two, sizeof(two), 1, uSvr);
        Node()->Proc()->OnExtRequest(uSelf, m, nullptr, 0, 1, uSvr);
    }
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    // A kick-out without its address still acts (and stops this node: it is the last report).
    Node()->Proc()->OnExtRequest(uSelf, 47, two, sizeof(two), 1, uSvr);
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_KICKOUT, Sync());
    ASSERT_TRUE(WaitFor([] { return CEventLog::Get().Has(4, "{\"param\":0,\"addrnow\":\"\"}"); }));
}

TEST_F(Login, ReloginReportsAndForwardingEvents)
{
    Start(ClientCfg(dir.path));
    LoggedIn();
    u32 uSvr = Node()->Svr();
    u8 rec[396];
    memset(rec, 0, sizeof(rec));
    u32 uErr = 9;
    memcpy(rec, &uErr, 4);
    EXPECT_EQ(0, Node()->Proc()->OnExtRequest(uSvr, 46, rec, sizeof(rec), 0, uSvr));
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_BADPASS, Sync());
    ASSERT_TRUE(WaitFor([] { return CEventLog::Get().Has(3, ""); }));
    uErr = 0;
    memcpy(rec, &uErr, 4);
    EXPECT_EQ(0, Node()->Proc()->OnExtRequest(uSvr, 46, rec, sizeof(rec), 0, uSvr));
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());

    u32 stat[4] = {1, 3, 500, 600};
    Node()->Proc()->OnExtRequest(uSvr, 53, stat, 8, 0, uSvr);
    Node()->Proc()->OnExtRequest(uSvr, 54, stat, 8, 0, uSvr);
    Node()->Proc()->OnExtRequest(uSvr, 55, stat, 16, 0, uSvr);
    Sync();
    ASSERT_TRUE(WaitFor([] { return CEventLog::Get().Has(15, "{\"status\":1,\"sesscount\":3}"); }));
    ASSERT_TRUE(WaitFor([] { return CEventLog::Get().Has(16, "{\"speed\":1,\"bytecount\":3}"); }));
    ASSERT_TRUE(WaitFor([] {
        return CEventLog::Get().Has(17, "{\"sendspeed\":1,\"sendbytecount\":3,\"recvspeed\":500,\"recvbytecount\":600}");
    }));
}

TEST_F(Login, PeerSyncAndPeerCalls)
{
    Start(ClientCfg(dir.path));
    LoggedIn();
    u32 uPeer = Node()->ObjectAdd("_DEV_p2@grp", QV_CLASS_PEER, 0, 0);
    u32 uOn = 1;
    Node()->Proc()->OnExtRequest(uPeer, 0, &uOn, 4, 0, uPeer);
    Sync();
    ASSERT_TRUE(WaitFor([] { return CEventLog::Get().Has(5, "{\"peerid\":\"_DEV_p2\",\"count\":0}"); }));
    u32 uOff = 0;
    Node()->Proc()->OnExtRequest(uPeer, 0, &uOff, 4, 0, uPeer);
    Sync();
    ASSERT_TRUE(WaitFor([] { return CEventLog::Get().Has(6, "{\"peerid\":\"_DEV_p2\",\"count\":0}"); }));
    // A peer call other than the ones the tunnel serves is answered with 2.
    u32 uSelf = Node()->Obj("_DEV_c1@grp");
    EXPECT_EQ(-1, Node()->Proc()->OnExtRequest(uSelf, 35, "Foo?x=1", 0, 77, uPeer));
    Sync();
    ASSERT_EQ(1u, Node()->m_ExtReply.size());
    EXPECT_EQ(2u, Node()->m_ExtReply[0].uMethod);  // the error
    EXPECT_EQ(77u, Node()->m_ExtReply[0].uParam);  // the call handle
}

// A peer error deletes the peer object (a peer that is not static); the error event still
// names the peer.
TEST_F(Login, PeerErrorEventNamesThePeerItsObjectIsDeletedFor)
{
    Start(ClientCfg(dir.path));
    LoggedIn();
    u32 uPeer = Node()->ObjectAdd("_DEV_p3@grp", QV_CLASS_PEER, 0, 0);
    u32 uOn = 1;
    Node()->Proc()->OnExtRequest(uPeer, 0, &uOn, 4, 0, uPeer);
    Sync();
    Node()->m_iCheckResult = 21;  // not a static peer
    u32 rec[2] = {34, 5};
    Node()->Proc()->OnExtRequest(uPeer, 1, rec, sizeof(rec), 0, uPeer);
    Sync();
    ASSERT_TRUE(WaitFor([] {
        for (auto& e : CEventLog::Get().Copy())
            if (e.first == 7 && e.second.find("{\"peerid\":\"_DEV_p3\",") == 0)
                return true;
        return false;
    }));
    EXPECT_EQ(0u, Node()->ObjectGetID("_DEV_p3@grp"));
}
