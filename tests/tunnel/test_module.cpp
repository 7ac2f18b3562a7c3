// The flat interface and the tunnel module, with a scripted node: start and stop, the start
// errors of bad configurations, every bridged call before start and after stop, bridge time-outs
// driven by ticks, parked requests and the "exit" request.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>
#include <vector>

#include "doZirizaModule.h"
#include "kvFakeNode.h"
#include "kvBridgedCalls.h"
#include "qvLibTunnel.h"

namespace {

class Module : public CFakeNodeTunnel
{
protected:
    int StartWith(const std::string& cfgText, const char* sysInfo = SysInfo())
    {
        std::string path = dir.Write("kelvard.cfg", cfgText);
        return doZirizaStart(path.c_str(), sysInfo, nullptr, nullptr);
    }
    u32 Status()
    {
        QV_TUNNEL_STATUS_S s = {0xDEAD};
        EXPECT_EQ(0, doZirizaStatusGet(0, &s));
        return s.uStatus;
    }
};

}  // namespace

TEST_F(Module, BridgedCallsAnswerBadStatusWhenNotStarted)
{
    for (int r : AllBridgedResults())
        EXPECT_EQ(QV_TUNNEL_ERROR_BADSTATUS, r);
    ASSERT_EQ(0, StartWith(ClientCfg(dir.path)));
    doZirizaStop();
    std::vector<int> after = AllBridgedResults();
    ASSERT_EQ(22u, after.size());
    for (int r : after)
        EXPECT_EQ(QV_TUNNEL_ERROR_BADSTATUS, r);
    doZirizaStop();  // a second stop does nothing
}

TEST_F(Module, StartStatusAndRestart)
{
    u32 uCreated = CFakeNode::Created();
    ASSERT_EQ(0, StartWith(ClientCfg(dir.path)));
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_REQUESTING, Status());
    EXPECT_EQ(uCreated + 1, CFakeNode::Created());
    // The second start changes nothing.
    EXPECT_EQ(0, doZirizaStart("/nonexistent", "", nullptr, nullptr));
    EXPECT_EQ(uCreated + 1, CFakeNode::Created());

    QV_TUNNEL_STATUS_S s;
    EXPECT_EQ(QV_TUNNEL_ERROR_BADPARAM, doZirizaStatusGet(1, &s));
    EXPECT_EQ(0, doZirizaStatusGet(0, nullptr));
    QV_TUNNEL_VERSION_S ver;
    ASSERT_EQ(0, doZirizaVersionGet(&ver));
    EXPECT_STREQ("2.9.5.115", ver.szVersion);
    QV_TUNNEL_DOMAIN_S dom;
    ASSERT_EQ(0, doZirizaDomainGet(&dom));
    EXPECT_STREQ("", dom.szDomain);  // not logged in
    QV_TUNNEL_SELF_S self;
    ASSERT_EQ(0, doZirizaSelfGet(&self));
    EXPECT_STREQ("_DEV_c1", self.szSelf);
    // Connection requests with bad arguments are refused at once.
    QV_TUNNEL_CLIENT_ADDR_S ca;
    EXPECT_EQ(QV_TUNNEL_ERROR_BADPARAM, doZirizaConnectAdd("", "p", 2, 0, "1.1.1.1:1", "127.0.0.1:1", &ca));
    // Argument checks come before anything is sent.
    EXPECT_EQ(QV_TUNNEL_ERROR_BADPARAM, doZirizaPeerAuthSet(std::string(128, 'p').c_str(), "i"));
    EXPECT_EQ(QV_TUNNEL_ERROR_BADPARAM, doZirizaPeerAuthSet("p", std::string(256, 'i').c_str()));
    EXPECT_EQ(QV_TUNNEL_ERROR_BADPARAM, doZirizaChannelSet("", 0, ""));
    EXPECT_EQ(QV_TUNNEL_ERROR_BADPARAM, doZirizaPeerAuthReply("", 0, ""));
    EXPECT_EQ(QV_TUNNEL_ERROR_BADPARAM, doZirizaConnectQuery("p", 0, 0, "a", nullptr));
    EXPECT_EQ(QV_TUNNEL_ERROR_BADPARAM, doZirizaPushGet(nullptr, 0));
    // Control and forwarding configuration need the node: it is started here.
    EXPECT_EQ(QV_TUNNEL_ERROR_BADPARAM, doZirizaControl(7, ""));
    EXPECT_EQ(0, doZirizaControl(0, "30"));
    EXPECT_EQ(QV_TUNNEL_ERROR_BADSTATUS, doZirizaPeerFwdCfg(1, 2, 3, 4, ""));  // no forwarding driver

    doZirizaStop();
    EXPECT_EQ(QV_TUNNEL_ERROR_BADSTATUS, doZirizaStatusGet(0, &s));
    // A new start starts anew: the status read 11 after the clean-up, the node start makes it 16.
    ASSERT_EQ(0, StartWith(ClientCfg(dir.path)));
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_REQUESTING, Status());
    EXPECT_EQ(uCreated + 2, CFakeNode::Created());
}

TEST_F(Module, StartErrorsOfBadInput)
{
    struct
    {
        std::string cfg;
        const char* sysInfo;
        int want;
    } cases[] = {
        {"", SysInfo(), QV_TUNNEL_ERROR_BADFILE},
        {"(Home){" + dir.path + "}(ModeClient){(Node){(SvrAddr){x}}}", SysInfo(), QV_TUNNEL_ERROR_BADFILE},
        {"(Home){" + dir.path + "}(Nothing){}", SysInfo(), QV_TUNNEL_ERROR_BADFILE},
        {ClientCfg(dir.path), "(MacAddr){00}", QV_TUNNEL_ERROR_BADPARAM},
        {ClientCfg(dir.path), nullptr, QV_TUNNEL_ERROR_BADPARAM},
        // Non-numbers and out-of-range values start with defaults and bounds.
        {ClientCfg(dir.path, "(Base){(MaxSess){zz}(MaxTunnel){-4}(SessBufSize){1e9}(LoginDelayInterval){x}}"
                             "(Log){(Level0){q}(FileSize){-1}}(SvrFilter){(a){999.1.1.1:1-99999}}(RelayList){x}"),
         SysInfo(), QV_TUNNEL_ERROR_OK},
    };
    for (auto& c : cases)
    {
        EXPECT_EQ(c.want, StartWith(c.cfg, c.sysInfo)) << c.cfg;
        if (c.want != 0)
        {
            EXPECT_EQ(QV_TUNNEL_ERROR_BADSTATUS, doZirizaStatusGet(0, nullptr));
        }
        doZirizaStop();
    }
    EXPECT_EQ(QV_TUNNEL_ERROR_BADFILE, doZirizaStart((dir.path + "/missing.cfg").c_str(), SysInfo(), nullptr, nullptr));
    EXPECT_EQ(QV_TUNNEL_ERROR_BADFILE, doZirizaStart(nullptr, SysInfo(), nullptr, nullptr));
}

TEST_F(Module, BridgeTimesOutByTicks)
{
    ASSERT_EQ(0, StartWith(ClientCfg(dir.path)));
    struct
    {
        unsigned int uSize;
        char sz[12];
    } data = {sizeof(data.sz), ""};
    QV_TUNNEL_DATA_S* pData = reinterpret_cast<QV_TUNNEL_DATA_S*>(&data);
    auto call = std::async(std::launch::async, [&] { return doZirizaPushGet(pData, 250); });
    ASSERT_TRUE(WaitFor([] { return Tunnel()->HttpSessCount() == 1; }));
    Tunnel()->OnTimer(1);
    Tunnel()->OnTimer(1);
    EXPECT_EQ(std::future_status::timeout, call.wait_for(std::chrono::milliseconds(50)));
    Tunnel()->OnTimer(1);  // 250 ms round up to three 100 ms ticks
    ASSERT_EQ(std::future_status::ready, call.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(QV_TUNNEL_ERROR_TIMEOUT, call.get());
    // The timed-out request was taken off the parked list.
    ASSERT_TRUE(WaitFor([] { return Tunnel()->HttpSessCount() == 0; }));

    // Pushed text waits for the next request; a short record gets the cut text.
    Tunnel()->NotifyPush("abcdef");
    data.uSize = 4;
    EXPECT_EQ(0, doZirizaPushGet(pData, 1000));
    EXPECT_STREQ("abc", data.sz);
    EXPECT_EQ(4u, data.uSize);
    Tunnel()->NotifyPush("q\"x\\");
    data.uSize = sizeof(data.sz);
    EXPECT_EQ(0, doZirizaPushGet(pData, 1000));
    EXPECT_STREQ("q\"x\\", data.sz);

    // Without a time-out the wait ends only with data or the node stopping.
    auto wait = std::async(std::launch::async, [&] { return doZirizaPushGet(pData, 0); });
    ASSERT_TRUE(WaitFor([] { return Tunnel()->HttpSessCount() == 1; }));
    for (int i = 0; i < 300; i++)
        Tunnel()->OnTimer(1);
    EXPECT_EQ(std::future_status::timeout, wait.wait_for(std::chrono::milliseconds(50)));
    Tunnel()->PostMessage(DOZIRIZA_MSG_RESTART, 5, 0);
    ASSERT_EQ(std::future_status::ready, wait.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(QV_TUNNEL_ERROR_TIMEOUT, wait.get());
}

TEST_F(Module, EventGetIsAnsweredByTheNextEvent)
{
    ASSERT_EQ(0, StartWith(ClientCfg(dir.path)));
    CDOZirizaHttpCall* pCall = Tunnel()->GetHttpCall();
    QV_STRING answer;
    auto call = std::async(std::launch::async, [&] {
        u32 uSlot = pCall->CallAlloc();
        int r = pCall->CallRequest(uSlot, "eventget", "", 0, answer);
        pCall->CallFree(uSlot);
        return r;
    });
    ASSERT_TRUE(WaitFor([] { return Tunnel()->HttpSessCount() == 1; }));
    Tunnel()->CallbackEventPost(QV_TUNNEL_EVENT_PEER_ONLINE, 1, "peer\"x");
    ASSERT_EQ(std::future_status::ready, call.wait_for(std::chrono::seconds(5)));
    ASSERT_EQ(0, call.get());
    QV_STRING v;
    ASSERT_EQ(1u, CDOZirizaHttpCall::AnswerValue(answer.c_str(), "param", v));
    EXPECT_STREQ("{\"peerid\":\"peer\\\"x\",\"count\":1}", v.c_str());
    EXPECT_EQ(0u, Tunnel()->EventApiCount());  // answered, not kept
    ASSERT_TRUE(WaitFor([] { return CEventLog::Get().Has(5, "{\"peerid\":\"peer\\\"x\",\"count\":1}"); }));
    // With nobody waiting the event is kept for the next request.
    Tunnel()->CallbackEventPost(QV_TUNNEL_EVENT_LOGIN, 0, "");
    EXPECT_EQ(1u, Tunnel()->EventApiCount());
    u32 uSlot = pCall->CallAlloc();
    ASSERT_EQ(0, pCall->CallRequest(uSlot, "EVENTGET", "", 1000, answer));
    pCall->CallFree(uSlot);
    EXPECT_STREQ("eventget:{\"result\":\"0\",\"event\":\"2\",\"param\":\"{\\\"errcode\\\":0}\"}", answer.c_str());
}

TEST_F(Module, ExitRequestEndsTheTunnelAndAllowsANewStart)
{
    ASSERT_EQ(0, StartWith(ClientCfg(dir.path)));
    // Handles whose top bits are 2 are answered by nobody; the request still acts.
    ASSERT_EQ(1, Tunnel()->OnHttpRequest(0x20000000, "exit", "pass"));
    ASSERT_TRUE(WaitFor([] { return doZirizaModule().IsModuleStarted() == 0; }));
    ASSERT_TRUE(WaitFor([] { return CEventLog::Get().Has(0, ""); }));
    EXPECT_EQ(QV_TUNNEL_ERROR_BADSTATUS, doZirizaStatusGet(0, nullptr));
    ASSERT_EQ(0, StartWith(ClientCfg(dir.path)));
    EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_REQUESTING, Status());
}

TEST_F(Module, UnknownRequestNamesGetNoAnswer)
{
    ASSERT_EQ(0, StartWith(ClientCfg(dir.path)));
    CDOZirizaHttpCall* pCall = Tunnel()->GetHttpCall();
    QV_STRING answer;
    u32 uSlot = pCall->CallAlloc();
    auto call = std::async(std::launch::async, [&] { return pCall->CallRequest(uSlot, "statusgetx", "option=0", 200, answer); });
    EXPECT_EQ(std::future_status::timeout, call.wait_for(std::chrono::milliseconds(50)));
    for (int i = 0; i < 2; i++)
        Tunnel()->OnTimer(1);
    ASSERT_EQ(std::future_status::ready, call.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(QV_TUNNEL_ERROR_TIMEOUT, call.get());
    pCall->CallFree(uSlot);
    // Another case of the same name is served; a request without "option" answers 2.
    uSlot = pCall->CallAlloc();
    ASSERT_EQ(0, pCall->CallRequest(uSlot, "STATUSGET", "", 1000, answer));
    pCall->CallFree(uSlot);
    EXPECT_STREQ("statusget:{\"result\":\"2\"}", answer.c_str());
}
