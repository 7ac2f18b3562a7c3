// Server calls and notifications, the requests that reach the server or a peer, and their
// completions, played through a scripted node with the tunnel's clock driven by ticks.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <string>

#include "doZirizaModule.h"
#include "kvFakeNode.h"
#include "qvLibTunnel.h"

namespace {

class Services : public CFakeNodeTunnel
{
protected:
    void LoggedIn(const char* lpszParam = "(Direct){1}", const char* lpszSess = "")
    {
        Node()->ReplyLogin(0, lpszParam, lpszSess);
        ASSERT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    }
    // The self object: the one named after the login user.
    u32 Self()
    {
        std::string user;
        Node()->LastLoginParam(&user);
        return Node()->Obj(user);
    }
    // Server calls made so far whose text starts with the prefix.
    std::vector<CFakeNode::REQ_S> Calls(const std::string& prefix)
    {
        std::vector<CFakeNode::REQ_S> out;
        for (auto& r : Node()->Requests())
            if (r.uMethod == 35 && r.uObject == Node()->Svr() && r.strData.compare(0, prefix.size(), prefix) == 0)
                out.push_back(r);
        return out;
    }
    CFakeNode::REQ_S LastCall(const std::string& prefix)
    {
        auto v = Calls(prefix);
        return v.empty() ? CFakeNode::REQ_S{0, 0, 0, 0, "", ""} : v.back();
    }
    // The server's answer to a call, as the node hands it over.
    void Reply(const CFakeNode::REQ_S& call, u32 uErr, const std::string& text = "")
    {
        Node()->Proc()->OnReply(Node()->Svr(), uErr, uErr ? nullptr : text.c_str(),
                                uErr ? 0 : (u32)text.size() + 1, call.uParam);
        Sync();
    }
    void Notify(const std::string& text)
    {
        Node()->Proc()->OnExtRequest(Self(), 36, text.c_str(), (u32)text.size() + 1, 0, Node()->Svr());
        Sync();
    }
    // A request through the call bridge; the whole answer text.
    std::string Raw(const char* lpszName, const char* lpszParam, u32 uTimeoutMs = 3000)
    {
        CDOZirizaHttpCall* pCall = Tunnel()->GetHttpCall();
        u32 uSlot = pCall->CallAlloc();
        QV_STRING answer;
        int r = pCall->CallRequest(uSlot, lpszName, lpszParam, uTimeoutMs, answer);
        pCall->CallFree(uSlot);
        return r == 0 ? std::string(answer.c_str()) : "<" + std::to_string(r) + ">";
    }
    // Waits until the tunnel holds n parked requests.
    void Parked(u32 n) { ASSERT_TRUE(WaitFor([n] { return Tunnel()->HttpSessCount() == n; })); }
    static std::string Elements(u32 uFirst, u32 uCount)
    {
        std::string s;
        for (u32 i = uFirst; i < uFirst + uCount; i++)
            s += "(t" + std::to_string(i) + "){(Type){0}}";
        return s;
    }
};

const char* const kNoDirect = "(Utilize){(DirectTunnelEnable){0}}";

}  // namespace

TEST_F(Services, ClientInfoIsReportedAndRetriedWithDoublingGapsUntilAnswered)
{
    Start(ClientCfg(dir.path, "", "(AccountPass){(User){_DEV_c1@grp}(Pass){pw}(Comment){c&A1&B}}"));
    LoggedIn();
    ASSERT_EQ(1u, Calls("32:").size());
    std::string inner = "(ClientVer){2.9.5.115}(DevID){dev1}(MacAddr){00}(CpuMHz){1}(MemSize){1}(BrwVer){}"
                        "(OSType){linux}(OSVer){x}(OSSpk){}";
    EXPECT_EQ("32:(CltInfo){" + std::string(doZirizaOmlEncode(inner.c_str()).c_str()) + "}(Cmmt){c&A1&B}",
              LastCall("32:").strData);
    // Direct tunnels are on by default: no tunnel list is asked for.
    EXPECT_EQ(0u, Calls("34:").size());

    // Every failed answer keeps the interval; resends come 5, 10, 20, 40, 80, 120, 120 ticks
    // after the failure.
    Reply(LastCall("32:"), 12);
    for (u32 uGap : {5u, 10u, 20u, 40u, 80u, 120u, 120u})
    {
        size_t n = Calls("32:").size();
        Ticks(uGap - 1);
        EXPECT_EQ(n, Calls("32:").size()) << uGap;
        Ticks(1);
        ASSERT_EQ(n + 1, Calls("32:").size()) << uGap;
        Reply(LastCall("32:"), 12);
    }
    Ticks(120);
    size_t n = Calls("32:").size();
    Reply(LastCall("32:"), 0, "(MngUser){boss}");
    Ticks(300);
    EXPECT_EQ(n, Calls("32:").size());
    EXPECT_STREQ("boss", Tunnel()->GetLoginInfo().strMngUser.c_str());
}

TEST_F(Services, TunnelListIsPagedUntilAShortPageAndResentAfterAnError)
{
    Start(ClientCfg(dir.path, kNoDirect));
    LoggedIn();
    ASSERT_EQ(1u, Calls("34:").size());
    EXPECT_EQ("34:(Pos){0}(Size){128}", LastCall("34:").strData);
    // An error answer asks for the same page again after 5 ticks.
    Reply(LastCall("34:"), 12);
    Ticks(5);
    ASSERT_EQ(2u, Calls("34:").size());
    EXPECT_EQ("34:(Pos){0}(Size){128}", LastCall("34:").strData);
    Reply(LastCall("34:"), 0, Elements(0, 128));
    EXPECT_EQ("34:(Pos){128}(Size){128}", LastCall("34:").strData);
    Reply(LastCall("34:"), 0, Elements(128, 128));
    Reply(LastCall("34:"), 0, Elements(256, 128));
    EXPECT_EQ("34:(Pos){384}(Size){128}", LastCall("34:").strData);
    Reply(LastCall("34:"), 0, Elements(384, 10));
    EXPECT_EQ(5u, Calls("34:").size());
    Ticks(300);
    EXPECT_EQ(5u, Calls("34:").size());
}

TEST_F(Services, PageSizeIsAtLeastOneAndAnEmptyPageEndsTheList)
{
    Start(ClientCfg(dir.path, kNoDirect));
    // The server reports a receive buffer too small for one listed tunnel.
    u32 uParam = 0;
    for (auto& r : Node()->Requests())
        if (r.uMethod == 3)
            uParam = r.uParam;
    ASSERT_NE(0u, uParam);
    u8 rec[260];
    memset(rec, 0, sizeof(rec));
    u32 uItem = 18;
    memcpy(rec, &uItem, 4);
    strcpy((char*)rec + 4, "100");
    Node()->Proc()->OnReply(Node()->Svr(), 0, rec, sizeof(rec), uParam);
    LoggedIn();
    EXPECT_EQ("34:(Pos){0}(Size){1}", LastCall("34:").strData);
    Reply(LastCall("34:"), 0, Elements(0, 1));
    EXPECT_EQ("34:(Pos){1}(Size){1}", LastCall("34:").strData);
    Reply(LastCall("34:"), 0, "");
    Ticks(20);
    EXPECT_EQ(2u, Calls("34:").size());
}

TEST_F(Services, RestartNotificationsAndCommandCase)
{
    Start(ClientCfg(dir.path));
    LoggedIn();
    Notify("restart?delay=5");
    Notify("Restartx");
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    EXPECT_EQ(0u, Tunnel()->GetRestartCountdown());
    Notify("Restart?delay=30&redirect=1");
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_LOGOUTED, Sync());
    EXPECT_EQ(30u, Tunnel()->GetRestartCountdown());
    u32 uCreated = CFakeNode::Created();
    Ticks(30);
    EXPECT_EQ(uCreated + 1, CFakeNode::Created());
    LoggedIn();
    Notify("Restart");
    EXPECT_EQ(1u, Tunnel()->GetRestartCountdown());
}

TEST_F(Services, SessionUserExtendAndRefreshNotifications)
{
    Start(ClientCfg(dir.path));
    LoggedIn("(Direct){1}", "sess0");
    EXPECT_STREQ("sess0", Tunnel()->GetSvrSess().c_str());
    Notify("SetSess?sess=s1&x=2");
    EXPECT_STREQ("s1", Tunnel()->GetSvrSess().c_str());
    Notify("RefreshFwd");
    EXPECT_EQ(1u, Calls("35:").size());
    EXPECT_EQ("35:", LastCall("35:").strData);

    // Two parked "pushget" requests both receive the server's text, quotes and all.
    const std::string text = "a\"b\\c{d}";
    auto f1 = std::async(std::launch::async, [] {
        char buf[sizeof(QV_TUNNEL_DATA_S) + 64];
        QV_TUNNEL_DATA_S* p = (QV_TUNNEL_DATA_S*)buf;
        p->uSize = 64;
        int r = doZirizaPushGet(p, 5000);
        return r == 0 ? std::string(p->szData) : std::to_string(r);
    });
    Parked(1);
    std::string json;
    auto f2 = std::async(std::launch::async, [this] { return Raw("pushgetjson", ""); });
    Parked(2);
    Notify("UserExtend?" + text);
    EXPECT_EQ(text, f1.get());
    EXPECT_EQ("pushgetjson:{\"result\":\"0\",\"data\":\"a\\\"b\\\\c{d}\"}", f2.get());
    ASSERT_TRUE(WaitFor([&] { return CEventLog::Get().Has(12, text); }));
    // With nobody waiting the text is kept for the next request.
    Notify("UserExtend?later");
    EXPECT_EQ("pushget:{\"result\":\"0\",\"data\":\"later\"}", Raw("pushget", ""));
}

TEST_F(Services, DomainFromTheServerIsSavedAndRestartsOnlyWhenItChanges)
{
    Start(ClientCfg(dir.path, "", "(AccountCode){(Prefix){_DEV_}(Domain){dom1}}"));
    Node()->ReplyLogin(0, "(Direct){1}", "");
    ASSERT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    u32 uSelf = Node()->Obj("_DEV_dev1@dom1");
    ASSERT_NE(0u, uSelf);
    auto notify = [&](const std::string& t) {
        Node()->Proc()->OnExtRequest(uSelf, 36, t.c_str(), (u32)t.size() + 1, 0, Node()->Svr());
        Sync();
    };
    notify("SetDomain?(Domain){dom1}");
    notify("SetDomain?(Other){x}");
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    notify("SetDomain?(Domain){d&Fom2}");
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_LOGOUTED, Sync());
    EXPECT_EQ(1u, Tunnel()->GetRestartCountdown());
    EXPECT_EQ("(AccountCode){(Domain){d&Fom2}(Comment){}}", dir.Read("doZirizaC/doZiriza.acc"));
    Ticks(1);
    std::string user;
    Node()->LastLoginParam(&user);
    EXPECT_EQ("_DEV_dev1@d}om2", user);
}

TEST_F(Services, TunnelStateNotificationConfirmsOnlyWithExt)
{
    Start(ClientCfg(dir.path));
    LoggedIn();
    // Direct tunnels are on: nothing is added and every entry is refused without a name.
    Notify("TunnelSta?(Action){1}(Ext){e&Ax}(TunnelList){(t&A1){(Type){0}}(t2){(Type){1}}}");
    ASSERT_EQ(1u, Calls("41:").size());
    EXPECT_EQ("41:(){(Accept){0}(Ext){e&Ax}}(){(Accept){0}(Ext){e&Ax}}", LastCall("41:").strData);
    Notify("TunnelSta?(Action){1}(TunnelList){(t1){(Type){0}}}");
    Notify("TunnelSta?(Action){0}(Ext){e}(TunnelList){(t1){(Type){0}}}");
    EXPECT_EQ(1u, Calls("41:").size());
}

TEST_F(Services, DomainAndTunnelSetWaitForTheServer)
{
    Start(ClientCfg(dir.path, "", "(AccountCode){(Prefix){_DEV_}(Domain){grp}}"));
    Node()->ReplyLogin(0, "(Direct){1}", "");
    ASSERT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    EXPECT_EQ(-2, doZirizaDomainSet(""));

    auto f = std::async(std::launch::async, [] { return doZirizaDomainSet("p}ss&x=1"); });
    ASSERT_TRUE(WaitFor([&] { return Calls("33:").size() == 1; }));
    EXPECT_EQ("33:(PassCode){p&Fss&Gx=1}", LastCall("33:").strData);
    Reply(LastCall("33:"), 9);
    EXPECT_EQ(-9, f.get());

    // "tunnelset" sets the comment (reported to the server) and then asks for the domain.
    f = std::async(std::launch::async, [] { return doZirizaTunnelSet("pc", "new comment"); });
    ASSERT_TRUE(WaitFor([&] { return Calls("33:").size() == 2; }));
    EXPECT_NE(std::string::npos, LastCall("32:").strData.find("(Cmmt){new comment}"));
    Reply(LastCall("33:"), 0, "(Domain){grp}");
    EXPECT_EQ(0, f.get());
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    QV_TUNNEL_COMMENT_S com;
    ASSERT_EQ(0, doZirizaCommentGet(&com));
    EXPECT_STREQ("new comment", com.szComment);
    EXPECT_EQ(-2, doZirizaCommentSet(std::string(128, 'c').c_str()));

    // A node stop answers a waiting domain request with a time-out.
    auto g = std::async(std::launch::async, [this] { return Raw("domainset", "passcode=x"); });
    ASSERT_TRUE(WaitFor([&] { return Calls("33:").size() == 3; }));
    Notify("Restart?delay=5");
    EXPECT_EQ("domainset:{\"result\":\"12\"}", g.get());
}

TEST_F(Services, UserExtendAnswersWithTheServersDataEscaped)
{
    Start(ClientCfg(dir.path));
    LoggedIn();
    auto f = std::async(std::launch::async, [] {
        char buf[sizeof(QV_TUNNEL_DATA_S) + 64];
        QV_TUNNEL_DATA_S* p = (QV_TUNNEL_DATA_S*)buf;
        p->uSize = 64;
        int r = doZirizaUserExtend("q=1&r=\"", p, 5000);
        return r == 0 ? std::string(p->szData) : std::to_string(r);
    });
    ASSERT_TRUE(WaitFor([&] { return Calls("1024:").size() == 1; }));
    EXPECT_EQ("1024:q=1&r=\"", LastCall("1024:").strData);
    Reply(LastCall("1024:"), 0, "x\",\"result\":\"0");
    EXPECT_EQ("x\",\"result\":\"0", f.get());

    auto g = std::async(std::launch::async, [this] { return Raw("userextendjson", "a"); });
    ASSERT_TRUE(WaitFor([&] { return Calls("1024:").size() == 2; }));
    Parked(1);
    Reply(LastCall("1024:"), 13);
    EXPECT_EQ("userextendjson:{\"result\":\"13\",\"data\":\"\"}", g.get());
    EXPECT_EQ(0u, Tunnel()->HttpSessCount());
}

TEST_F(Services, PeerRequestsReachThePeersObject)
{
    Start(ClientCfg(dir.path, "", "(AccountCode){(Prefix){_DEV_}(Domain){grp}}"));
    Node()->ReplyLogin(0, "(Direct){1}", "");
    ASSERT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    u32 uPeer = Node()->ObjectAdd("_DEV_p1@grp", 0, 0, 0);

    // Channel mode: item 4 on the peer's object.
    EXPECT_EQ(0, doZirizaChannelSet("p1", 2, ""));
    auto reqs = Node()->Requests();
    ASSERT_EQ(2u, reqs.back().uMethod);
    EXPECT_EQ(uPeer, reqs.back().uObject);
    u32 uItem = 0;
    memcpy(&uItem, reqs.back().strRaw.data(), 4);
    EXPECT_EQ(4u, uItem);
    EXPECT_STREQ("2", reqs.back().strRaw.data() + 4);
    EXPECT_EQ(-2, doZirizaChannelSet("p1", 3, ""));
    EXPECT_EQ(-6, doZirizaChannelSet("nobody", 1, ""));
    EXPECT_EQ(-2, doZirizaChannelSet("svr", 1, ""));

    // Authorisation text: handed to the object now and to every later object of the peer.
    EXPECT_EQ(0, doZirizaPeerAuthSet("p1", "secret&x"));
    reqs = Node()->Requests();
    ASSERT_EQ(58u, reqs.back().uMethod);
    EXPECT_EQ(uPeer, reqs.back().uObject);
    EXPECT_STREQ("secret&x", reqs.back().strRaw.data());
    EXPECT_EQ(1u, Tunnel()->PeerAuthCount());
    EXPECT_EQ(-2, doZirizaPeerAuthSet("svr", "x"));
    EXPECT_EQ(0, doZirizaPeerAuthSet("p1", ""));
    EXPECT_EQ(0u, Tunnel()->PeerAuthCount());

    EXPECT_EQ(0, doZirizaPeerAuthReply("77", 13, "no&way"));
    auto ext = Node()->ExtReplies();
    ASSERT_FALSE(ext.empty());
    EXPECT_EQ(13u, ext.back().uMethod);
    EXPECT_EQ(77u, ext.back().uParam);
    EXPECT_EQ("no&way", ext.back().strData);

    // Peer information: asked of the peer's object, answered from the node's record.
    QV_TUNNEL_PEER_INFO_S info;
    auto f = std::async(std::launch::async, [&info] { return doZirizaPeerInfoGet("p1", &info); });
    ASSERT_TRUE(WaitFor([&] { return Node()->CountMethod(38) >= 1 && Node()->Requests().back().uMethod == 38; }));
    u32 uParam = Node()->Requests().back().uParam;
    u8 rec[CDOZirizaNode::PEER_INFO_REC_SIZE];
    memset(rec, 0, sizeof(rec));
    u32 uThrough = 5;
    memcpy(rec + 4, &uThrough, 4);
    QV_ADDR_S addr;
    memset(&addr, 0, sizeof(addr));
    const u8 ip[4] = {10, 0, 0, 7};
    memcpy(&addr.uAddr[3], ip, 4);
    addr.uPort = 4000;
    memcpy(rec + 8 + 2 * sizeof(QV_ADDR_S), &addr, sizeof(addr));
    Node()->Proc()->OnReply(uPeer, 0, rec, sizeof(rec), uParam);
    EXPECT_EQ(0, f.get());
    EXPECT_STREQ("p1", info.szPeerID);
    EXPECT_EQ(5u, info.uType);
    EXPECT_STREQ("10.0.0.7:4000", info.szAddrRemote);
    EXPECT_STREQ("", info.szAddrLocal);
    EXPECT_EQ(-6, doZirizaPeerInfoGet("nobody", &info));
}

TEST_F(Services, RequestsCheckTheirParametersAndTheNodeState)
{
    Start(ClientCfg(dir.path));
    LoggedIn();
    const std::pair<const char*, const char*> bad[] = {
        {"domainset", ""},          {"commentset", "x=1"},   {"tunnelset", "passcode=1"},
        {"peerinfoget", "peer=x"},  {"channelset", "peerid=x"}, {"peerauthset", "peerid=x"},
        {"peerauthreply", "handle=1"}, {"cnntlclquery", "client=1"}, {"cnntlcldelete", "session=1"},
    };
    for (auto& b : bad)
        EXPECT_EQ(std::string(b.first) + ":{\"result\":\"2\"}", Raw(b.first, b.second)) << b.first;
    EXPECT_EQ("cnntlclquery:{\"result\":\"18\"}", Raw("cnntlclquery", "clientaddr=127.0.0.1:1"));
    EXPECT_EQ("cnntlcldelete:{\"result\":\"18\"}", Raw("cnntlcldelete", "clientaddr=127.0.0.1:1"));
    // A kick-out stops the node: requests that need it answer 6.
    u8 rec[4] = {0};
    Node()->Proc()->OnExtRequest(Self(), 47, rec, sizeof(rec), 0, Node()->Svr());
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_KICKOUT, Sync());
    const char* const names[] = {"domainset", "commentset", "tunnelset", "peerinfoget", "channelset",
                                 "peerauthset", "peerauthreply"};
    for (const char* n : names)
        EXPECT_EQ(std::string(n) + ":{\"result\":\"6\"}", Raw(n, "")) << n;
    EXPECT_EQ("userextend:{\"result\":\"6\",\"data\":\"\"}", Raw("userextend", "x"));
    // With direct tunnels on, connections are looked up in the direct-tunnel back list.
    EXPECT_EQ("cnntlclquery:{\"result\":\"18\"}", Raw("cnntlclquery", "clientaddr=127.0.0.1:1"));
    EXPECT_EQ("cnntlcldelete:{\"result\":\"18\"}", Raw("cnntlcldelete", "clientaddr=127.0.0.1:1"));
}

TEST_F(Services, LocalConnectionRequestsNeedTheNodeWithoutDirectTunnels)
{
    Start(ClientCfg(dir.path, kNoDirect));
    LoggedIn();
    u8 rec[4] = {0};
    Node()->Proc()->OnExtRequest(Self(), 47, rec, sizeof(rec), 0, Node()->Svr());
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_KICKOUT, Sync());
    EXPECT_EQ("cnntlclquery:{\"result\":\"6\"}", Raw("cnntlclquery", "clientaddr=127.0.0.1:1"));
    EXPECT_EQ("cnntlcldelete:{\"result\":\"6\"}", Raw("cnntlcldelete", "clientaddr=127.0.0.1:1"));
}

TEST_F(Services, LanScanResultsTakeNewPeersButNeverTheOwnUser)
{
    Start(ClientCfg(dir.path));
    LoggedIn();
    u32 uPeer = Node()->ObjectAdd("_DEV_p2@grp", 0, 0, 0);
    ASSERT_NE(0u, uPeer);
    // A peer found on the LAN without a direct tunnel to it loses its server-made object (it
    // is made anew, at its LAN address when needed); the own user is never touched.
    Tunnel()->PostMessage(DOZIRIZA_MSG_LAN_SCAN, 0, 0, 0,
                          "(_DEV_c1@grp){0:0:0:a000001:4000:0}(_DEV_p2@grp){0:0:0:a000002:4000:0}(){x}(y){}");
    Sync();
    EXPECT_EQ(0u, Node()->Obj("_DEV_p2@grp"));
    EXPECT_NE(0u, Self());
    // Seen again at the same address: nothing to do.
    uPeer = Node()->ObjectAdd("_DEV_p2@grp", 0, 0, 0);
    Tunnel()->PostMessage(DOZIRIZA_MSG_LAN_SCAN, 0, 0, 0, "(_DEV_p2@grp){0:0:0:a000002:4000:0}");
    Sync();
    EXPECT_EQ(uPeer, Node()->Obj("_DEV_p2@grp"));
}
