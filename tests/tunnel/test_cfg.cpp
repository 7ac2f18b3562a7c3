// Tunnel configuration: defaults, bounds and raising rules, hostile values, filters, relay list,
// system information and the account file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "doZiriza.h"
#include "kvFakeNode.h"
#include "qvSandbox.h"

namespace {

class Cfg : public ::testing::Test
{
protected:
    void SetUp() override { qvSandboxSetRoot(dir.path.c_str()); }
    // Loads a text of mode-element content (client mode unless given whole).
    u32 Load(const std::string& mode, const std::string& top = "")
    {
        std::string path = dir.Write("c.cfg", top + "(ModeClient){" + mode + "}");
        return t.LoadCfg(path.c_str());
    }
    const CDOZiriza::CFG_S& C() { return t.GetCfg(); }

    static std::string Base() { return "(Node){(SvrAddr){s:1}(CltAddr){c:2}(SvrName){svr}}(AccountPass){(User){u@g}}"; }

    CTempDir dir;
    CDOZiriza t;
};

}  // namespace

TEST_F(Cfg, ClientDefaultsAndRaising)
{
    ASSERT_EQ(1u, Load(Base()));
    const auto& b = C().Base;
    EXPECT_EQ((u32)CDOZiriza::MODE_CLIENT, C().uMode);
    EXPECT_EQ(16u, b.uMaxSess);
    EXPECT_EQ(8u, b.uMaxTunnel);
    EXPECT_EQ(30u, b.uConnectTimeout);
    EXPECT_EQ(64u, b.uSessBufSize);
    EXPECT_EQ(6u, b.uP2PTryTime);
    EXPECT_EQ(10u, b.uLoginDelayInterval);
    EXPECT_EQ(300u, b.uLoginDelayMax);
    EXPECT_EQ(10u, b.uDisconnectDelay);
    EXPECT_EQ(15u, C().Session.uBlockedTimeout);
    EXPECT_EQ(1u, C().Node.uDigest);
    EXPECT_EQ(-1, C().Node.iDnsRandom);
    EXPECT_EQ(524288u, C().PeerForward.uSpeed);
    EXPECT_EQ(1u, C().PeerForward.uUse);
    EXPECT_EQ(3u, C().PeerForward.uMaxSess);
    EXPECT_EQ(1u, C().UtiClient.uDirectTunnelAccept);
    EXPECT_EQ(1u, C().UtiClient.uDirectTunnelEnable);
    EXPECT_EQ(1u, C().UtiClient.uLanScanEnable);
    EXPECT_STREQ("doZiriza", C().UtiClient.strLanScanLabel.c_str());
    EXPECT_EQ(3u, C().UtiClient.uChannelMode);
    EXPECT_EQ(1u, C().UtiClient.uBatchReceive);
    EXPECT_EQ(1u, C().Log.aucLevel[0]);
    EXPECT_EQ(1u, C().Log.aucLevel[1]);
    EXPECT_EQ(0u, C().Log.aucLevel[2]);
    EXPECT_EQ(1u, C().AccountPass.uPresent);
    EXPECT_EQ(0u, C().AccountCode.uPresent);
}

TEST_F(Cfg, NumbersAndBounds)
{
    struct
    {
        const char* base;
        u32 CDOZiriza::CFG_BASE_S::*field;
        u32 want;
    } cases[] = {
        {"(MaxSess){5}", &CDOZiriza::CFG_BASE_S::uMaxSess, 16},
        {"(MaxSess){100}", &CDOZiriza::CFG_BASE_S::uMaxSess, 100},
        {"(MaxSess){abc}", &CDOZiriza::CFG_BASE_S::uMaxSess, 16},
        {"(MaxSess){42xyz}", &CDOZiriza::CFG_BASE_S::uMaxSess, 42},
        {"(MaxSess){-1}", &CDOZiriza::CFG_BASE_S::uMaxSess, 0xFFFFFFFFu},
        {"(MaxSess){99999999999}", &CDOZiriza::CFG_BASE_S::uMaxSess, (u32)99999999999ull},
        {"(MaxTunnel){0}", &CDOZiriza::CFG_BASE_S::uMaxTunnel, 8},
        {"(SessBufSize){10}", &CDOZiriza::CFG_BASE_S::uSessBufSize, 64},
        {"(SessBufSize){}", &CDOZiriza::CFG_BASE_S::uSessBufSize, 64},
        {"(ConnectTimeout){3}", &CDOZiriza::CFG_BASE_S::uConnectTimeout, 10},
        {"(ConnectTimeout){45}", &CDOZiriza::CFG_BASE_S::uConnectTimeout, 45},
        {"(P2PTryTime){0}", &CDOZiriza::CFG_BASE_S::uP2PTryTime, 6},
        {"(LoginDelayInterval){0}", &CDOZiriza::CFG_BASE_S::uLoginDelayInterval, 10},
        {"(LoginDelayMax){}", &CDOZiriza::CFG_BASE_S::uLoginDelayMax, 300},
        {"(DisconnectDelay){+7}", &CDOZiriza::CFG_BASE_S::uDisconnectDelay, 7},
        {"(MaxHttp){4}", &CDOZiriza::CFG_BASE_S::uMaxHttp, 4},
    };
    for (auto& c : cases)
    {
        CDOZiriza fresh;
        std::string path = dir.Write("n.cfg", std::string("(ModeClient){") + Base() + "(Base){" + c.base + "}}");
        ASSERT_EQ(1u, fresh.LoadCfg(path.c_str())) << c.base;
        EXPECT_EQ(c.want, fresh.GetCfg().Base.*c.field) << c.base;
    }
}

TEST_F(Cfg, ForwardMode)
{
    std::string path = dir.Write("f.cfg", "(ModeForward){" + Base() +
                                              "(Base){(MaxHttp){5}(ConnectTimeout){3}}(PeerForward){(Speed){1000}}"
                                              "(Utilize){(TunnelOnDemand){1}(DirectTunnelAccept){1}}}");
    ASSERT_EQ(1u, t.LoadCfg(path.c_str()));
    EXPECT_EQ((u32)CDOZiriza::MODE_FORWARD, C().uMode);
    EXPECT_EQ(0u, C().Base.uMaxHttp);            // not read
    EXPECT_EQ(30u, C().Base.uConnectTimeout);    // not read, not raised
    EXPECT_EQ(0u, C().PeerForward.uSpeed);
    EXPECT_EQ(0u, C().PeerForward.uUse);
    EXPECT_EQ(0u, C().UtiClient.uDirectTunnelEnable);
    EXPECT_EQ(0u, C().UtiClient.uDirectTunnelAccept);  // not read
    EXPECT_EQ(0u, C().UtiClient.uLanScanEnable);
    EXPECT_EQ(1u, C().UtiClient.uTunnelOnDemand);
    EXPECT_EQ(8000u, C().UtiForward.uPortListen);
}

TEST_F(Cfg, ModeChoiceAndRequiredKeys)
{
    std::string both = dir.Write("b.cfg", "(ModeForward){" + Base() + "}(ModeClient){" + Base() + "}");
    ASSERT_EQ(1u, t.LoadCfg(both.c_str()));
    EXPECT_EQ((u32)CDOZiriza::MODE_CLIENT, C().uMode);
    const char* bad[] = {
        "(Other){x}(Home){/tmp}",
        "(ModeClient){(Node){(SvrAddr){s}(CltAddr){c}}(AccountPass){(User){u}}}",
        "(ModeClient){(Node){(SvrAddr){s}(CltAddr){c}(SvrName){}}(AccountPass){(User){u}}}",
        "(ModeClient){(Node){(SvrAddr){s}(CltAddr){c}(SvrName){n}}}",
        "(ModeClient){plain text}",
        "(ModeClient){(Node){(SvrAddr){s}(CltAddr){c}(SvrName){n}}(AccountPass){(User){u}}",  // unclosed
        "((((((((",
        "}}}}}}}}}",
    };
    for (const char* text : bad)
    {
        CDOZiriza fresh;
        std::string path = dir.Write("bad.cfg", text);
        EXPECT_EQ(0u, fresh.LoadCfg(path.c_str())) << text;
    }
    CDOZiriza fresh;
    EXPECT_EQ(0u, fresh.LoadCfg((dir.path + "/missing.cfg").c_str()));
    EXPECT_EQ(0u, fresh.LoadCfg(dir.Write("short.cfg", "(A){1}").c_str()));
    EXPECT_EQ(0u, fresh.LoadCfg(dir.path.c_str()));  // a directory
}

TEST_F(Cfg, PeerForwardOverrides)
{
    ASSERT_EQ(1u, Load(Base() + "(PeerForward){(Speed){1000}(Gate){}(Use){0}}(Utilize){(ForwardSpeed){2000}(ForwardUse){}}"));
    EXPECT_EQ(2000u, C().PeerForward.uSpeed);
    EXPECT_EQ(0u, C().PeerForward.uGate);
    EXPECT_EQ(0u, C().PeerForward.uUse);
    CDOZiriza fresh;
    ASSERT_EQ(1u, fresh.LoadCfg(dir.Write("e.cfg", "(ModeClient){" + Base() + "(PeerForward){(Speed){}}}").c_str()));
    EXPECT_EQ(524288u, fresh.GetCfg().PeerForward.uSpeed);
}

TEST_F(Cfg, AccountValueLimits)
{
    std::string d48(48, 'd'), d47(47, 'd'), u128(128, 'u');
    ASSERT_EQ(1u, Load("(Node){(SvrAddr){s}(CltAddr){c}(SvrName){n}}(AccountCode){(Prefix){p_}(Domain){" + d48 +
                       "}}(AccountPass){(User){" + u128 + "}(Pass){pw}}"));
    EXPECT_STREQ("", C().AccountCode.strDomain.c_str());
    EXPECT_STREQ("", C().AccountPass.strUser.c_str());
    EXPECT_STREQ("pw", C().AccountPass.strPass.c_str());
    CDOZiriza fresh;
    ASSERT_EQ(1u, fresh.LoadCfg(dir.Write("d.cfg", "(ModeClient){(Node){(SvrAddr){s}(CltAddr){c}(SvrName){n}}"
                                                   "(AccountCode){(Domain){" + d47 + "}}}").c_str()));
    EXPECT_EQ(d47, fresh.GetCfg().AccountCode.strDomain.c_str());
}

TEST_F(Cfg, RelayList)
{
    std::string addr128(128, 'a');
    ASSERT_EQ(1u, Load(Base(), "(RelayList){(r1){(Type){0}(Addr){relay1:443}}(r2){(Type){2}(Addr){x}}(r3){(Addr){y}}"
                               "(r4){(Type){1}(Addr){}}(r5){(Type){1}(Addr){" + addr128 + "}}(r6){(Type){1}(Addr){relay6}}}"));
    ASSERT_EQ(2u, C().uRelayCount);
    EXPECT_EQ(0u, C().pRelay[0].uType);
    EXPECT_STREQ("relay1:443", C().pRelay[0].szAddr);
    EXPECT_EQ(1u, C().pRelay[1].uType);
    EXPECT_STREQ("relay6", C().pRelay[1].szAddr);
    // Only the first 16 items are looked at.
    std::string many = "(RelayList){";
    for (int i = 0; i < 20; i++)
        many += "(r){(Type){0}(Addr){a" + std::to_string(i) + "}}";
    CDOZiriza fresh;
    ASSERT_EQ(1u, fresh.LoadCfg(dir.Write("r.cfg", many + "}(ModeClient){" + Base() + "}").c_str()));
    EXPECT_EQ(16u, fresh.GetCfg().uRelayCount);
}

TEST_F(Cfg, ProxyFilters)
{
    std::string f = "(PxyFilter){(Path){*}(Path){**}(Path){*abc*}(Path){/x*}(Param){*.js}(Param){q=1}(Other){z}"
                    "(Path){}(Path){" + std::string(32, 'l') + "}(Path){*a}(Path){a*}}";
    ASSERT_EQ(1u, Load(Base() + f));
    const auto& pf = C().PxyFilter;
    ASSERT_EQ(6u, pf.uCount);
    const std::pair<u32, const char*> want[] = {{3, "abc"}, {1, "/x"}, {6, ".js"}, {4, "q=1"}, {2, "a"}, {1, "a"}};
    for (u32 i = 0; i < 6; i++)
    {
        EXPECT_EQ(want[i].first, pf.auType[i]) << i;
        EXPECT_STREQ(want[i].second, pf.astrPattern[i].c_str()) << i;
    }
}

TEST_F(Cfg, ServerFilter)
{
    std::string f = "(SvrFilter){(a){10.0.0.0:80,443;20~23}(b){gateway:80}(c){10.0.0.1:0-5}(d){}(e){10.0.0.2}"
                    "(f){1.2.3.4:9-8,70000,5-5}}";
    ASSERT_EQ(1u, Load(Base() + f));
    const auto& sf = C().SvrFilter;
    ASSERT_EQ(4u, sf.uCount);
    const u8* m = reinterpret_cast<const u8*>(&sf.aItem[0].uMask);
    EXPECT_EQ(10, m[0]);
    EXPECT_EQ(0, m[3]);
    ASSERT_EQ(3u, sf.aItem[0].uRangeCount);
    EXPECT_EQ(80u, sf.aItem[0].aRange[0].uBegin);
    EXPECT_EQ(80u, sf.aItem[0].aRange[0].uEnd);
    EXPECT_EQ(443u, sf.aItem[0].aRange[1].uBegin);
    EXPECT_EQ(20u, sf.aItem[0].aRange[2].uBegin);
    EXPECT_EQ(23u, sf.aItem[0].aRange[2].uEnd);
    EXPECT_EQ(0u, sf.aItem[1].uRangeCount);  // 10.0.0.1:0-5
    EXPECT_EQ(0u, sf.aItem[2].uRangeCount);  // 10.0.0.2
    ASSERT_EQ(1u, sf.aItem[3].uRangeCount);
    EXPECT_EQ(5u, sf.aItem[3].aRange[0].uBegin);

    // A 17th item and a 33rd range are ignored.
    std::string items = "(SvrFilter){";
    std::string ports;
    for (int i = 1; i <= 40; i++)
        ports += (i > 1 ? "," : "") + std::to_string(i);
    for (int i = 0; i < 17; i++)
        items += "(i){10.0.0." + std::to_string(i) + ":" + ports + "}";
    CDOZiriza fresh;
    ASSERT_EQ(1u, fresh.LoadCfg(dir.Write("s.cfg", "(ModeClient){" + Base() + items + "}}").c_str()));
    EXPECT_EQ(16u, fresh.GetCfg().SvrFilter.uCount);
    EXPECT_EQ(32u, fresh.GetCfg().SvrFilter.aItem[0].uRangeCount);

    // A reload without the element leaves the table; with one it replaces it.
    EXPECT_EQ(0u, t.ControlReloadCfg("(Other){x}"));
    EXPECT_EQ(4u, C().SvrFilter.uCount);
    EXPECT_EQ(0u, t.ControlReloadCfg("(SvrFilter){(a){192.168.1.0:22}}"));
    EXPECT_EQ(1u, C().SvrFilter.uCount);
    EXPECT_EQ(22u, C().SvrFilter.aItem[0].aRange[0].uBegin);
}

TEST_F(Cfg, SysInfo)
{
    EXPECT_EQ(1u, t.LoadSysInfo(SysInfo()));
    EXPECT_STREQ("dev1", C().SysInfo.strDevID.c_str());
    EXPECT_STREQ("linux", C().SysInfo.strOSType.c_str());
    CDOZiriza fresh;
    EXPECT_EQ(0u, fresh.LoadSysInfo("(MacAddr){00}"));
    EXPECT_EQ(0u, fresh.LoadSysInfo("(DevID){}"));
    EXPECT_EQ(0u, fresh.LoadSysInfo(nullptr));
}

TEST_F(Cfg, AccountBuild)
{
    // Code account: prefix, device ID and domain make the user; no password.
    ASSERT_EQ(1u, Load("(Node){(SvrAddr){s}(CltAddr){c}(SvrName){n}}(AccountCode){(Prefix){p_}(Domain){dom}(Comment){hi}}"));
    t.LoadSysInfo("(DevID){D1}");
    CDOZiriza::ACCOUNT_INFO_S a;
    ASSERT_EQ(1u, t.BuildAccountInfo(a));
    EXPECT_EQ((u32)CDOZiriza::ACCOUNT_CODE, a.uType);
    EXPECT_STREQ("p_D1@dom", a.strUser.c_str());
    EXPECT_STREQ("", a.strPass.c_str());
    EXPECT_STREQ("hi", a.strComment.c_str());

    // Password account: the domain is what follows the last '@', up to a ':'.
    CDOZiriza p;
    ASSERT_EQ(1u, p.LoadCfg(dir.Write("p.cfg", "(ModeClient){(Node){(SvrAddr){s}(CltAddr){c}(SvrName){n}}"
                                               "(AccountPass){(User){_DEV_a@b@grp:9}(Pass){pw}}}").c_str()));
    ASSERT_EQ(1u, p.BuildAccountInfo(a));
    EXPECT_EQ((u32)CDOZiriza::ACCOUNT_PASS, a.uType);
    EXPECT_STREQ("_DEV_a@b@grp:9", a.strUser.c_str());
    EXPECT_STREQ("pw", a.strPass.c_str());
    EXPECT_STREQ("grp", a.strDomain.c_str());

    CDOZiriza e;
    ASSERT_EQ(1u, e.LoadCfg(dir.Write("e.cfg", "(ModeClient){(Node){(SvrAddr){s}(CltAddr){c}(SvrName){n}}"
                                               "(AccountPass){(Pass){pw}}}").c_str()));
    EXPECT_EQ(0u, e.BuildAccountInfo(a));
}

TEST_F(Cfg, AccountFileSaveAndRead)
{
    ASSERT_EQ(1u, Load("(Node){(SvrAddr){s}(CltAddr){c}(SvrName){n}}(AccountCode){(Prefix){p_}(Domain){cfgdom}}"));
    t.LoadSysInfo("(DevID){D1}");
    std::string acc = dir.path + "/doZirizaC/doZiriza.acc";

    // The first save writes the file; a domain from the server may hold any character.
    ASSERT_EQ(1u, t.SaveAccountFile(0, "new(dom)", "c{1}"));
    EXPECT_EQ("(AccountCode){(Domain){new&Adom&B}(Comment){c&E1&F}}", dir.Read(acc));
    EXPECT_EQ("<missing>", dir.Read(acc + ".bak"));
    CDOZiriza::ACCOUNT_INFO_S a;
    ASSERT_EQ(1u, t.BuildAccountInfo(a));
    EXPECT_STREQ("p_D1@new(dom)", a.strUser.c_str());
    EXPECT_STREQ("c{1}", a.strComment.c_str());
    EXPECT_STREQ("c{1}", t.CommentGet().c_str());

    // A second save keeps the first text as backup; no domain keeps the file's.
    ASSERT_EQ(1u, t.SaveAccountFile(0, nullptr, "c2"));
    EXPECT_EQ("(AccountCode){(Domain){new&Adom&B}(Comment){c&E1&F}}", dir.Read(acc + ".bak"));
    ASSERT_EQ(1u, t.BuildAccountInfo(a));
    EXPECT_STREQ("p_D1@new(dom)", a.strUser.c_str());
    EXPECT_STREQ("c2", a.strComment.c_str());
    EXPECT_EQ(1u, t.SaveAccountFile(1, "x", "y"));  // other types write nothing
    EXPECT_STREQ("c2", t.CommentGet().c_str());
}

TEST_F(Cfg, AccountFileFailedWriteKeepsTheFile)
{
    ASSERT_EQ(1u, Load("(Node){(SvrAddr){s}(CltAddr){c}(SvrName){n}}(AccountCode){(Domain){d}}"));
    std::string acc = dir.path + "/doZirizaC/doZiriza.acc";
    ASSERT_EQ(1u, t.SaveAccountFile(0, "old", "keep"));
    // The temporary file cannot be made: the save fails and the account file stays whole.
    ASSERT_EQ(0, mkdir((acc + ".tmp").c_str(), 0700));
    dir.Write("doZirizaC/doZiriza.acc.tmp/pin", "x");
    EXPECT_EQ(0u, t.SaveAccountFile(0, "new", "lost"));
    EXPECT_EQ("(AccountCode){(Domain){old}(Comment){keep}}", dir.Read(acc));
}

TEST_F(Cfg, AccountFileHostile)
{
    ASSERT_EQ(1u, Load("(Node){(SvrAddr){s}(CltAddr){c}(SvrName){n}}(AccountCode){(Domain){cfg}}"));
    t.LoadSysInfo("(DevID){D}");
    std::string sub = dir.path + "/doZirizaC";
    mkdir(sub.c_str(), 0700);
    const std::string texts[] = {"", "garbage", "(AccountCode){(Domain){" + std::string(48, 'd') + "}}",
                                 "(AccountPass){(User){x}}", "((((", std::string(100000, 'x')};
    for (const std::string& text : texts)
    {
        dir.Write("doZirizaC/doZiriza.acc", text);
        CDOZiriza::ACCOUNT_INFO_S a;
        ASSERT_EQ(1u, t.BuildAccountInfo(a)) << text.substr(0, 40);
        // Unusable or over-long file values fall back to the configuration (a 48-character
        // domain is ignored).
        EXPECT_TRUE(a.strUser == "D@cfg" || a.strUser == "D@") << text.substr(0, 40) << " -> " << a.strUser.c_str();
    }
}
