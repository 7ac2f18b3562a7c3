// The directly acting flat functions: the stored configuration text, system information and the
// network card. (A process of its own: the stored text outlives every start.)
#include <gtest/gtest.h>

#include <string>

#include "doZirizaModule.h"
#include "kvFakeNode.h"
#include "qvLibTunnel.h"

TEST(CfgParam, StoredTextStandsInForAMissingOrEmptyFile)
{
    CFakeNode::Install();
    CDOZiriza::SetManualTimer(1);
    CTempDir dir;
    EXPECT_EQ(QV_TUNNEL_ERROR_BADPARAM, doZirizaSetCfgParam(nullptr));
    EXPECT_EQ(QV_TUNNEL_ERROR_BADPARAM, doZirizaSetCfgParam("1234567"));
    // Nothing usable stored yet: a missing file fails the start.
    EXPECT_EQ(QV_TUNNEL_ERROR_BADFILE, doZirizaStart((dir.path + "/none.cfg").c_str(), SysInfo(), nullptr, nullptr));
    EXPECT_EQ(0, doZirizaSetCfgParam("12345678"));  // stored, though no configuration
    EXPECT_EQ(QV_TUNNEL_ERROR_BADFILE, doZirizaStart((dir.path + "/none.cfg").c_str(), SysInfo(), nullptr, nullptr));

    ASSERT_EQ(0, doZirizaSetCfgParam(ClientCfg(dir.path).c_str()));
    const std::string paths[] = {dir.path + "/none.cfg", dir.Write("empty.cfg", ""), ""};
    for (auto& p : paths)
    {
        EXPECT_EQ(0, doZirizaStart(p.c_str(), SysInfo(), nullptr, nullptr)) << p;
        QV_TUNNEL_STATUS_S s = {0};
        EXPECT_EQ(0, doZirizaStatusGet(0, &s)) << p;
        EXPECT_EQ((u32)QV_TUNNEL_STA_LOGIN_REQUESTING, s.uStatus);
        doZirizaStop();
    }
    // A file too short to be a configuration is an error of its own, not a fallback.
    EXPECT_EQ(QV_TUNNEL_ERROR_BADFILE, doZirizaStart(dir.Write("short.cfg", "(A){1}").c_str(), SysInfo(), nullptr, nullptr));
    doZirizaStop();
}

TEST(CfgParam, SysInfoAndNetCard)
{
    CTempDir dir;
    std::string cfg = dir.Write("k.cfg", ClientCfg(dir.path));
    char sz[1024];
    ASSERT_EQ(0, doZirizaSysInfo(cfg.c_str(), sz, sizeof(sz)));
    EXPECT_EQ(0, strncmp(sz, "(DevID){", 8)) << sz;
    EXPECT_NE(nullptr, strstr(sz, "(OSType){"));
    // The library keeps its device ID and log under the configured home directory.
    EXPECT_NE("<missing>", dir.Read(".qvDevID.id"));
    EXPECT_EQ(QV_TUNNEL_ERROR_NOIMP, doZirizaSysInfo(cfg.c_str(), sz, 8));
    EXPECT_EQ(QV_TUNNEL_ERROR_NOIMP, doZirizaSysInfo(cfg.c_str(), nullptr, 0));

    EXPECT_EQ(0, doZirizaSetNetCard("lo"));
    EXPECT_EQ(QV_TUNNEL_ERROR_BADPARAM, doZirizaSetNetCard(std::string(40, 'n').c_str()));
    EXPECT_EQ(0, doZirizaSetNetCard(""));
}
