// Every named request of the local interface, answered through the call bridge with good and
// bad parameters; requests parked until the server, a peer or an event answers them, and the
// time-out answers a node stop gives them; direct tunnels across node stops and a server that
// forbids them. A scripted node stands in for the peer network; listeners are real loopback
// sockets of the tunnel's TCP extension.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "test_sess_node.h"

namespace {

const char* const kPeer = "_DEV_p2@grp";
const char* const kNoDirect = "(Utilize){(DirectTunnelEnable){0}}";

class Requests : public SessFixture
{
protected:
    static std::string Cli(u16 uPort) { return "127.0.0.1:" + std::to_string(uPort); }
    // A request through the call bridge: the whole answer text, "<code>" when none came.
    std::string Raw(const std::string& strName, const std::string& strParam, u32 uTimeoutMs = 3000)
    {
        CDOZirizaHttpCall* pCall = Tunnel()->GetHttpCall();
        u32 uSlot = pCall->CallAlloc();
        QV_STRING answer;
        int r = pCall->CallRequest(uSlot, strName.c_str(), strParam.c_str(), uTimeoutMs, answer);
        pCall->CallFree(uSlot);
        return r == 0 ? std::string(answer.c_str()) : "<" + std::to_string(r) + ">";
    }
    std::future<std::string> Async(const std::string& strName, const std::string& strParam)
    {
        return std::async(std::launch::async, [this, strName, strParam] { return Raw(strName, strParam, 20000); });
    }
    static std::string Result(const std::string& strName, u32 uResult)
    {
        return strName + ":{\"result\":\"" + std::to_string(uResult) + "\"}";
    }
    // Server calls (method 35 on the server object) whose text starts with the prefix.
    std::vector<CFakeNode::REQ_S> SvrCalls(const std::string& strPrefix)
    {
        std::vector<CFakeNode::REQ_S> v;
        for (auto& r : Node()->ByMethod(35))
            if (r.uObject == Node()->Svr() && r.strData.compare(0, strPrefix.size(), strPrefix) == 0)
                v.push_back(r);
        return v;
    }
    void SvrReply(const CFakeNode::REQ_S& call, u32 uErr, const std::string& strText)
    {
        Node()->Proc()->OnReply(Node()->Svr(), uErr, uErr ? nullptr : strText.c_str(),
                                uErr ? 0 : (u32)strText.size() + 1, call.uParam);
        Sync();
    }
    void ServerNotify(const std::string& strText)
    {
        Node()->Proc()->OnExtRequest(Self(), 36, strText.c_str(), (u32)strText.size() + 1, 0, Node()->Svr());
        Sync();
    }
    void KickOut()
    {
        u8 rec[4] = {0};
        Node()->Proc()->OnExtRequest(Self(), 47, rec, sizeof(rec), 0, Node()->Svr());
        ASSERT_EQ((u32)QV_TUNNEL_STA_LOGIN_KICKOUT, Sync());
    }
    void Parked(u32 n) { ASSERT_TRUE(WaitFor([&] { return Tunnel()->HttpSessCount() == n; })) << n; }
    bool Closed(u16 uPort)
    {
        return WaitFor([&] {
            int fd = SessConnect(uPort);
            if (fd >= 0)
                close(fd);
            return fd < 0;
        });
    }
    bool Listening(u16 uPort)
    {
        return WaitFor([&] {
            int fd = SessConnect(uPort);
            if (fd >= 0)
                close(fd);
            return fd >= 0;
        });
    }
};

struct CASE_S
{
    std::string name, param, answer;
};

void RunTable(const std::vector<CASE_S>& cases, const std::function<std::string(const CASE_S&)>& ask)
{
    for (auto& c : cases)
        EXPECT_EQ(c.answer, ask(c)) << c.name << "?" << c.param;
}

}  // namespace

TEST_F(Requests, EveryNamedRequestWithGoodAndBadParameters)
{
    Start();
    const u16 uPort = SessFreePort();
    const std::string cli = Cli(uPort);
    const std::string cnnt = "peerid=" + std::string(kPeer) + "&type=0&encrypt=1&listenaddr=10.0.0.1:80&clientaddr=" + cli;
    PeerObj(kPeer);
    const std::string ok = ":{\"result\":\"0\"}";
    const std::string entry = "{\"result\":\"0\",\"peerid\":\"_DEV_p2\",\"type\":\"0\",\"encrypt\":\"1\","
                              "\"listenaddr\":\"10.0.0.1:80\",\"clientaddr\":\"" + cli + "\"}";
    // In order: each row may depend on the ones before it.
    const std::vector<CASE_S> cases = {
        {"versionget", "", "versionget:{\"version\":\"2.9.5.115\"}"},
        {"statusget", "option=0", "statusget:{\"result\":\"0\",\"status\":\"0\"}"},
        {"statusget", "option=1", Result("statusget", 2)},
        {"statusget", "", Result("statusget", 2)},
        {"selfget", "", "selfget:{\"self\":\"_DEV_c1\"}"},
        {"domainget", "", "domainget:{\"domain\":\"grp\"}"},
        {"commentset", "comment=a%22b%5Cc%zz+", "commentset" + ok},
        {"commentget", "", "commentget:{\"comment\":\"a\\\"b\\\\c%zz+\"}"},
        {"commentset", "remark=x", Result("commentset", 2)},
        {"commentset", "comment=" + std::string(128, 'c'), Result("commentset", 2)},
        {"domainset", "", Result("domainset", 2)},
        {"domainset", "passcode=", Result("domainset", 2)},
        {"tunnelset", "passcode=1", Result("tunnelset", 2)},
        {"tunnelset", "comment=1", Result("tunnelset", 2)},
        {"peerinfoget", "", Result("peerinfoget", 2)},
        {"peerinfoget", "peerid=svr", Result("peerinfoget", 2)},
        {"peerinfoget", "peerid=_DEV_nobody@grp", Result("peerinfoget", 6)},
        {"cnntadd", "peerid=" + std::string(kPeer) + "&type=0&clientaddr=" + cli, Result("cnntadd", 2)},
        {"cnntadd", "peerid=" + std::string(kPeer) + "&type=2&listenaddr=10.0.0.1:80&clientaddr=" + cli,
         Result("cnntadd", 2)},
        {"cnntadd", "peerid=" + std::string(kPeer) + "&type=x&clientaddr=" + cli, Result("cnntadd", 2)},
        {"cnntadd", "type=1&clientaddr=" + cli, Result("cnntadd", 2)},
        {"cnntadd", "peerid=svr&type=1&clientaddr=" + cli, Result("cnntadd", 2)},
        {"cnntadd", "peerid=_DEV_c1@grp&type=1&clientaddr=" + cli, Result("cnntadd", 2)},
        {"cnntadd", cnnt, "cnntadd:{\"result\":\"0\",\"clientaddr\":\"" + cli + "\"}"},
        {"cnntquery", "peerid=" + std::string(kPeer) + "&type=0&listenaddr=10.0.0.1:80",
         "cnntquery:{\"result\":\"0\",\"clientaddr\":\"" + cli + "\"}"},
        {"cnntquery", "peerid=" + std::string(kPeer) + "&type=0&listenaddr=10.0.0.9:9", Result("cnntquery", 18)},
        {"cnntquery", "peerid=" + std::string(kPeer) + "&type=0", Result("cnntquery", 2)},
        {"cnntquery", "peerid=" + std::string(kPeer) + "&type=3", Result("cnntquery", 2)},
        {"connectenum", "index=0", "connectenum:" + entry},
        {"connectenum", "index=1", Result("connectenum", 18)},
        {"connectenum", "index=", Result("connectenum", 2)},
        {"connectenum", "", Result("connectenum", 2)},
        {"cnntlclquery", "clientaddr=" + cli, "cnntlclquery:" + entry},
        {"cnntlclquery", "clientaddr=127.0.0.1:1", Result("cnntlclquery", 18)},
        {"cnntlclquery", "", Result("cnntlclquery", 2)},
        {"cnntdelete", "peerid=" + std::string(kPeer) + "&type=1&listenaddr=10.0.0.1:80", Result("cnntdelete", 2)},
        {"cnntdelete", "peerid=" + std::string(kPeer) + "&type=0&clientaddr=" + cli, Result("cnntdelete", 2)},
        {"cnntdelete", "peerid=svr&type=0&listenaddr=10.0.0.1:80", Result("cnntdelete", 2)},
        {"cnntdelete", cnnt, "cnntdelete" + ok},
        {"", "", ""},  // the listener goes away in its worker's next pass
        {"cnntadd", cnnt, "cnntadd:{\"result\":\"0\",\"clientaddr\":\"" + cli + "\"}"},
        {"cnntlcldelete", "", Result("cnntlcldelete", 2)},
        {"cnntlcldelete", "clientaddr=127.0.0.1:1", Result("cnntlcldelete", 18)},
        {"cnntlcldelete", "clientaddr=" + cli, "cnntlcldelete" + ok},
        {"connectenum", "index=0", Result("connectenum", 18)},
        {"control", "ctrl=5", Result("control", 2)},
        {"control", "param=x", Result("control", 2)},
        {"control", "ctrl=1&param=%28SvrFilter%29%7B%7D", "control" + ok},
        {"channelset", "peerid=" + std::string(kPeer) + "&type=1", "channelset" + ok},
        {"channelset", "peerid=" + std::string(kPeer) + "&type=3", Result("channelset", 2)},
        {"channelset", "peerid=" + std::string(kPeer), Result("channelset", 2)},
        {"channelset", "peerid=svr&type=1", Result("channelset", 2)},
        {"channelset", "peerid=_DEV_nobody@grp&type=1", Result("channelset", 6)},
        // The scripted node has no UDP socket to configure: refused, and nothing is kept.
        {"peerfwdcfg", "speed=100&gate=&maxsess=7", Result("peerfwdcfg", 6)},
        {"peerauthset", "peerid=" + std::string(kPeer) + "&info=x%26y", "peerauthset" + ok},
        {"peerauthset", "peerid=" + std::string(kPeer), Result("peerauthset", 2)},
        {"peerauthset", "info=x", Result("peerauthset", 2)},
        {"peerauthset", "peerid=svr&info=x", Result("peerauthset", 2)},
        {"peerauthreply", "handle=7&errcode=13&param=n%7Bo", "peerauthreply" + ok},
        {"peerauthreply", "handle=7", Result("peerauthreply", 2)},
        {"peerauthreply", "errcode=13", Result("peerauthreply", 2)},
        {"exit", "passx=1", Result("exit", 2)},
    };
    RunTable(cases, [&](const CASE_S& c) {
        if (c.name.empty())
            return std::string(Closed(uPort) ? "" : "still listening");
        return Raw(c.name, c.param);
    });
    // The whole parameter text goes to the server; its data comes back escaped.
    auto ue = Async("userextend", "q=\"1&r");
    ASSERT_TRUE(WaitFor([&] { return SvrCalls("1024:").size() == 1; }));
    EXPECT_EQ("1024:q=\"1&r", SvrCalls("1024:")[0].strData);
    SvrReply(SvrCalls("1024:")[0], 0, "x\",\"result\":\"0");
    EXPECT_EQ("userextend:{\"result\":\"0\",\"data\":\"x\\\",\\\"result\\\":\\\"0\"}", ue.get());

    // What the good rows handed on.
    EXPECT_NE(100u, Tunnel()->GetCfg().PeerForward.uSpeed);
    EXPECT_NE(7u, Tunnel()->GetCfg().PeerForward.uMaxSess);
    ASSERT_NE(nullptr, Tunnel()->PeerAuthSearch(kPeer));
    EXPECT_STREQ("x&y", Tunnel()->PeerAuthSearch(kPeer)->strInfo.c_str());
    auto ext = Node()->Replies();
    ASSERT_FALSE(ext.empty());
    EXPECT_EQ(13u, ext.back().uError);
    EXPECT_EQ(7u, ext.back().uHandle);
    EXPECT_EQ("n{o", ext.back().strData);
    EXPECT_NE(std::string::npos, SvrCalls("32:").back().strData.find("(Cmmt){a\"b\\c%zz+}"));

    // The same through the flat functions: the negated result.
    QV_TUNNEL_STATUS_S st;
    QV_TUNNEL_PEER_INFO_S pi;
    QV_TUNNEL_CONNECT_INFO_S ci;
    QV_TUNNEL_CLIENT_ADDR_S ca;
    const std::vector<std::pair<int, int>> flat = {
        {doZirizaStatusGet(1, &st), QV_TUNNEL_ERROR_BADPARAM},
        {doZirizaDomainSet(""), QV_TUNNEL_ERROR_BADPARAM},
        {doZirizaCommentSet(std::string(128, 'c').c_str()), QV_TUNNEL_ERROR_BADPARAM},
        {doZirizaPeerInfoGet("svr", &pi), QV_TUNNEL_ERROR_BADPARAM},
        {doZirizaConnectAdd("", kPeer, 2, 0, "1.2.3.4:80", cli.c_str(), &ca), QV_TUNNEL_ERROR_BADPARAM},
        {doZirizaConnectQuery(kPeer, 0, 0, "1.2.3.4:80", &ca), QV_TUNNEL_ERROR_NOEXIST},
        {doZirizaConnectLocalQuery(cli.c_str(), &ci), QV_TUNNEL_ERROR_NOEXIST},
        {doZirizaConnectLocalDelete("", cli.c_str()), QV_TUNNEL_ERROR_NOEXIST},
        {doZirizaConnectEnum(0, &ci), QV_TUNNEL_ERROR_NOEXIST},
        {doZirizaControl(5, ""), QV_TUNNEL_ERROR_BADPARAM},
        {doZirizaChannelSet(kPeer, 3, ""), QV_TUNNEL_ERROR_BADPARAM},
        {doZirizaPeerAuthSet("svr", "x"), QV_TUNNEL_ERROR_BADPARAM},
    };
    for (size_t i = 0; i < flat.size(); i++)
        EXPECT_EQ(flat[i].second, flat[i].first) << i;

    // A node stop leaves only the requests that need no node, and the direct-tunnel back list.
    KickOut();
    const std::vector<CASE_S> stopped = {
        {"domainset", "passcode=1", Result("domainset", 6)},
        {"commentset", "comment=x", Result("commentset", 6)},
        {"tunnelset", "passcode=1&comment=x", Result("tunnelset", 6)},
        {"peerinfoget", "peerid=x", Result("peerinfoget", 6)},
        {"userextend", "x", "userextend:{\"result\":\"6\",\"data\":\"\"}"},
        {"userextendjson", "x", "userextendjson:{\"result\":\"6\",\"data\":\"\"}"},
        {"control", "ctrl=0", Result("control", 6)},
        {"channelset", "peerid=x&type=1", Result("channelset", 6)},
        {"peerfwdcfg", "", Result("peerfwdcfg", 6)},
        {"peerauthset", "peerid=x&info=y", Result("peerauthset", 6)},
        {"peerauthreply", "handle=1&errcode=0", Result("peerauthreply", 6)},
        {"statusget", "option=0", "statusget:{\"result\":\"0\",\"status\":\"32\"}"},
        {"versionget", "", "versionget:{\"version\":\"2.9.5.115\"}"},
        {"cnntquery", "peerid=" + std::string(kPeer) + "&type=0&listenaddr=10.0.0.1:80", Result("cnntquery", 18)},
        {"connectenum", "index=0", Result("connectenum", 18)},
        {"cnntdelete", cnnt, Result("cnntdelete", 18)},
        {"cnntlcldelete", "clientaddr=" + cli, Result("cnntlcldelete", 18)},
        {"cnntlclquery", "clientaddr=" + cli, Result("cnntlclquery", 18)},
    };
    RunTable(stopped, [this](const CASE_S& c) { return Raw(c.name, c.param); });
}

TEST_F(Requests, WithoutDirectTunnelsConnectionsGoThroughTheServerWithEscapedTexts)
{
    Start(kNoDirect);
    const std::string cli = Cli(SessFreePort());
    // Texts of the host stay inside their own elements of the server-call text.
    auto add = Async("cnntadd", "peerid=_DEV_p}2@grp&type=0&encrypt=1&session=s}(x){&listenaddr=10.0.0.1:80&clientaddr=" + cli);
    ASSERT_TRUE(WaitFor([&] { return SvrCalls("42:").size() == 1; }));
    EXPECT_EQ("42:(SessID){s&F&Ax&B&E}(PeerID){_DEV_p&F2@grp}(Type){0}(Encrypt){1}(ListenAddr){10.0.0.1:80}"
              "(ClientAddr){" + cli + "}",
              SvrCalls("42:")[0].strData);
    // The server's client address goes into the answer escaped.
    SvrReply(SvrCalls("42:")[0], 0, "(ClientAddr){1.2.3.4:5\",\"x\":\"y}");
    EXPECT_EQ("cnntadd:{\"result\":\"0\",\"clientaddr\":\"1.2.3.4:5\\\",\\\"x\\\":\\\"y\"}", add.get());

    auto del = Async("cnntdelete", "peerid=_DEV_p2@grp&type=1&clientaddr=" + cli);
    ASSERT_TRUE(WaitFor([&] { return SvrCalls("43:").size() == 1; }));
    EXPECT_EQ("43:(SessID){}(PeerID){_DEV_p2@grp}(Type){1}(Encrypt){0}(ListenAddr){}(ClientAddr){" + cli + "}",
              SvrCalls("43:")[0].strData);
    SvrReply(SvrCalls("43:")[0], 18, "");
    EXPECT_EQ(Result("cnntdelete", 18), del.get());

    // Stopped without direct tunnels: the connection requests have nothing to work on.
    KickOut();
    for (const char* n : {"cnntadd", "cnntdelete", "cnntquery", "cnntlcldelete", "cnntlclquery", "connectenum"})
        EXPECT_EQ(Result(n, 6), Raw(n, "peerid=_DEV_p2@grp&type=1&clientaddr=" + cli + "&index=0")) << n;
}

TEST_F(Requests, ParkedRequestsAreAnsweredByTheirDataAndANodeStopAnswersTheRestWithTimeOut)
{
    Start(kNoDirect);
    // Data first: an event and a push text wait in their queues for the next request.
    std::string first = Raw("eventget", "");
    EXPECT_EQ(0u, first.find("eventget:{\"result\":\"0\",\"event\":\"")) << first;
    while (Tunnel()->EventApiCount() != 0)
        Raw("eventget", "");
    auto ev = Async("eventget", "");
    Parked(1);
    Tunnel()->CallbackEventPost(QV_TUNNEL_EVENT_LOGIN, 13, "");
    EXPECT_EQ("eventget:{\"result\":\"0\",\"event\":\"2\",\"param\":\"{\\\"errcode\\\":13}\"}", ev.get());
    Parked(0);

    // The server's user extension answers a parked "userextendjson" with its data escaped.
    auto ue = Async("userextendjson", "a=1");
    ASSERT_TRUE(WaitFor([&] { return SvrCalls("1024:").size() == 1; }));
    Parked(1);
    SvrReply(SvrCalls("1024:")[0], 0, "d\"\\");
    EXPECT_EQ("userextendjson:{\"result\":\"0\",\"data\":\"d\\\"\\\\\"}", ue.get());
    Parked(0);

    // An aborted request (the bridge gave up) leaves the list; the next push is kept instead.
    auto gone = std::async(std::launch::async, [this] { return Raw("pushget", "", 200); });
    Parked(1);
    while (gone.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        Tunnel()->OnTimer(1);  // the bridge's 100 ms tick
    EXPECT_EQ("<" + std::to_string(QV_TUNNEL_ERROR_TIMEOUT) + ">", gone.get());
    Parked(0);
    ServerNotify("UserExtend?kept");
    EXPECT_EQ("pushgetjson:{\"result\":\"0\",\"data\":\"kept\"}", Raw("pushgetjson", ""));

    // Everything that waits when the node stops ends with 12, in its own form (the push above
    // was also an event: taken first).
    while (Tunnel()->EventApiCount() != 0)
        Raw("eventget", "");
    PeerObj(kPeer);
    const std::string cli = Cli(SessFreePort());
    std::vector<std::pair<std::future<std::string>, std::string>> waiting;
    auto wait = [&](const std::string& n, const std::string& p, const std::string& want) {
        waiting.emplace_back(Async(n, p), want);
    };
    wait("domainset", "passcode=1", Result("domainset", 12));
    wait("tunnelset", "passcode=1&comment=c", Result("tunnelset", 12));
    wait("userextend", "u", "userextend:{\"result\":\"12\",\"data\":\"\"}");
    wait("userextendjson", "u", "userextendjson:{\"result\":\"12\",\"data\":\"\"}");
    wait("cnntadd", "peerid=" + std::string(kPeer) + "&type=1&clientaddr=" + cli, "cnntadd:{\"result\":\"12\",\"clientaddr\":\"\"}");
    wait("cnntdelete", "peerid=" + std::string(kPeer) + "&type=1&clientaddr=" + cli, Result("cnntdelete", 12));
    wait("peerinfoget", "peerid=" + std::string(kPeer),
         "peerinfoget:{\"result\":\"12\",\"peerid\":\"\",\"type\":\"\",\"addrlocal\":\"\",\"addrremote\":\"\","
         "\"tunnellocal\":\"\",\"tunnelremote\":\"\",\"privremote\":\"\"}");
    wait("pushget", "", "pushget:{\"result\":\"12\",\"data\":\"\"}");
    wait("pushgetjson", "", "pushgetjson:{\"result\":\"12\",\"data\":\"\"}");
    ASSERT_TRUE(WaitFor([&] {
        return SvrCalls("33:").size() == 2 && SvrCalls("1024:").size() == 3 && SvrCalls("42:").size() == 1 &&
               SvrCalls("43:").size() == 1 && Node()->CountMethod(38) == 1 && Tunnel()->HttpSessCount() == 5;
    }));
    // A waiting "eventget" is answered by the stop's own status event, before the rest time out.
    wait("eventget", "", "eventget:{\"result\":\"0\",\"event\":\"3\",\"param\":\"\"}");
    Parked(6);
    ServerNotify("Restart?delay=5");
    for (auto& w : waiting)
        EXPECT_EQ(w.second, w.first.get());
    EXPECT_EQ(0u, Tunnel()->HttpSessCount());
}

TEST_F(Requests, DirectTunnelAddedWhileStoppedIsMadeAtTheNextStartAndDroppedWhenTheServerForbidsIt)
{
    Start();
    KickOut();
    const u16 uPort = SessFreePort();
    const std::string cli = Cli(uPort);
    const std::string add = "peerid=" + std::string(kPeer) + "&type=1&clientaddr=" + cli;
    EXPECT_EQ("cnntadd:{\"result\":\"0\",\"clientaddr\":\"" + cli + "\"}", Raw("cnntadd", add));
    EXPECT_EQ("connectenum:{\"result\":\"0\",\"peerid\":\"_DEV_p2\",\"type\":\"1\",\"encrypt\":\"0\","
              "\"listenaddr\":\"\",\"clientaddr\":\"" + cli + "\"}",
              Raw("connectenum", "index=0"));
    EXPECT_EQ(Result("connectenum", 18), Raw("connectenum", "index=1"));
    // Not listening while the node is stopped.
    int fd = SessConnect(uPort);
    EXPECT_LT(fd, 0);
    if (fd >= 0)
        close(fd);

    // The kick-out's restart logs in again: the connection is made from the back list.
    Ticks(60);
    Node()->ReplyLogin(0, "(Direct){1}", "");
    ASSERT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    QV_TUNNEL_CONNECT_INFO_S ci;
    ASSERT_EQ(0, doZirizaConnectEnum(0, &ci));
    EXPECT_STREQ(cli.c_str(), ci.szClientAddr);
    EXPECT_TRUE(Listening(uPort));

    // A login that forbids direct tunnels drops the connection and keeps its back entry; new
    // ones are refused.
    KickOut();
    Ticks(60);
    Node()->ReplyLogin(0, "(Direct){0}", "");
    ASSERT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    EXPECT_EQ(QV_TUNNEL_ERROR_NOEXIST, doZirizaConnectEnum(0, &ci));
    EXPECT_EQ(1u, Tunnel()->DirectTunnelBackCount());
    EXPECT_EQ(Result("cnntadd", 13), Raw("cnntadd", "peerid=_DEV_p3@grp&type=1&clientaddr=" + Cli(SessFreePort())));
    // Allowed again: back.
    KickOut();
    Ticks(60);
    Node()->ReplyLogin(0, "", "");
    ASSERT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    ASSERT_EQ(0, doZirizaConnectEnum(0, &ci));
    EXPECT_TRUE(Listening(uPort));
}

TEST_F(Requests, SessionTextsThatFailTheDigestCheckAreRefused)
{
    Start();
    // The server gave a session text: the host's session must be its digest.
    ServerNotify("SetSess?sess=abc");
    CSessNode::DigestResult() = 13;
    const std::string cli = Cli(SessFreePort());
    const std::string add = "peerid=" + std::string(kPeer) + "&type=1&session=bad&clientaddr=" + cli;
    EXPECT_EQ(Result("cnntadd", 13), Raw("cnntadd", add));
    CSessNode::DigestResult() = 0;
    EXPECT_EQ("cnntadd:{\"result\":\"0\",\"clientaddr\":\"" + cli + "\"}", Raw("cnntadd", add));
    auto dig = Node()->ByMethod(40);
    ASSERT_FALSE(dig.empty());
    EXPECT_EQ("abc", dig.back().strData);
    CSessNode::DigestResult() = 13;
    EXPECT_EQ(Result("cnntdelete", 13), Raw("cnntdelete", "peerid=" + std::string(kPeer) + "&type=1&clientaddr=" + cli));
    EXPECT_EQ(Result("cnntlcldelete", 13), Raw("cnntlcldelete", "clientaddr=" + cli));
    CSessNode::DigestResult() = 0;
    EXPECT_EQ("cnntlcldelete:{\"result\":\"0\"}", Raw("cnntlcldelete", "clientaddr=" + cli));
}

TEST_F(Requests, TunnelStateNotificationsAddDeleteAndConfirmByName)
{
    Start(kNoDirect);
    const u16 uPort = SessFreePort();
    const std::string list = "(TunnelList){(n&A1){(Type){1}(Option){(Encrypt){0}(Compress){0}}(Proxy){(PeerOut){" +
                             std::string(kPeer) + "}(AddrIn){" + Cli(uPort) + "}}}}";
    ServerNotify("TunnelSta?(Action){1}(Ext){e&Fx}" + list);
    auto conf = SvrCalls("41:");
    ASSERT_EQ(1u, conf.size());
    EXPECT_EQ("41:(n&A1){(Accept){1}(Ext){e&Fx}}", conf[0].strData);
    EXPECT_TRUE(Listening(uPort));
    EXPECT_EQ("connectenum:{\"result\":\"0\",\"peerid\":\"_DEV_p2\",\"type\":\"1\",\"encrypt\":\"0\","
              "\"listenaddr\":\"\",\"clientaddr\":\"" + Cli(uPort) + "\"}",
              Raw("connectenum", "index=0"));
    ServerNotify("TunnelSta?(Action){0}(Ext){e}" + list);
    EXPECT_EQ(Result("connectenum", 18), Raw("connectenum", "index=0"));
    EXPECT_EQ(1u, SvrCalls("41:").size());
}

TEST_F(Requests, ForwardListPagesAndOnLineChecksFreeTunnelsOfPeersGone)
{
    const std::string cfg = "(Home){" + dir.path +
                            "}(ModeForward){(Node){(SvrAddr){127.0.0.1:7000}(CltAddr){0.0.0.0:0}(SvrName){svr}}"
                            "(AccountPass){(User){_DEV_c1@grp}(Pass){pw}}(Base){(MaxTunnel){300}}"
                            "(Utilize){(PortListen){" + std::to_string(SessFreePort()) + "}}}";
    ASSERT_EQ(0, doZirizaStart(dir.Write("kelvard.cfg", cfg).c_str(), SysInfo(), nullptr, nullptr));
    Sync();
    Node()->ReplyLogin(0, "", "");
    ASSERT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    ASSERT_EQ(1u, SvrCalls("35:").size());
    EXPECT_EQ(0u, SvrCalls("34:").size());
    EXPECT_EQ("35:(Pos){0}(Size){128}", SvrCalls("35:").back().strData);
    auto page = [](u32 uFirst, u32 uCount) {
        std::string s;
        for (u32 i = uFirst; i < uFirst + uCount; i++)
            s += "(f" + std::to_string(i) + "){(Type){2}(Forward){(PeerOut){_DEV_p" + std::to_string(i) +
                 "@grp}(AddrSvr){10.0.0.1:80}(SubDNS){s" + std::to_string(i) + "}}}";
        return s;
    };
    SvrReply(SvrCalls("35:").back(), 0, page(0, 128));
    EXPECT_EQ("35:(Pos){128}(Size){128}", SvrCalls("35:").back().strData);
    SvrReply(SvrCalls("35:").back(), 0, page(128, 2));
    EXPECT_EQ(2u, SvrCalls("35:").size());
    EXPECT_EQ(0u, SvrCalls("36:").size());

    // Every 30 ticks each tunnel's peer is checked with the server.
    Ticks(30);
    std::vector<CFakeNode::REQ_S> checks = SvrCalls("36:");
    ASSERT_EQ(130u, checks.size());
    EXPECT_EQ("36:(Peer){_DEV_p0@grp}(Meth){0}(Tunnel){s0}", checks[0].strData);
    // On line, another method, no Meth, or an error: the tunnel stays; off line: it goes.
    SvrReply(checks[0], 0, "(Status){1}(Meth){0}(Tunnel){s0}");
    SvrReply(checks[1], 0, "(Status){0}(Meth){1}(Tunnel){s1}");
    SvrReply(checks[2], 0, "(Status){0}(Tunnel){s2}");
    SvrReply(checks[3], 13, "");
    SvrReply(checks[4], 0, "(Status){0}(Meth){0}(Tunnel){s4}");
    // The next round checks every tunnel that is left.
    Ticks(30);
    checks = SvrCalls("36:");
    ASSERT_EQ(130u + 129u, checks.size());
    std::string round;
    for (size_t i = 130; i < checks.size(); i++)
        round += checks[i].strData;
    for (const char* t : {"(Tunnel){s0}", "(Tunnel){s1}", "(Tunnel){s2}", "(Tunnel){s3}", "(Tunnel){s5}"})
        EXPECT_NE(std::string::npos, round.find(t)) << t;
    EXPECT_EQ(std::string::npos, round.find("(Tunnel){s4}"));
}
