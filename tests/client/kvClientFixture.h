// Fixture of the client program tests: a private /opt, one box, the daemon program on the
// tunnel stand-in installed and running, and the client beside it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "kvDaemonBox.h"

namespace kvclient
{
inline std::string In(const char* name)
{
    return std::string(kvbox::kInstallDir) + "/" + name;
}

const char* const kCfg =
    "(ModeClient){(Node){(SvrAddr){127.0.0.1:7781}(CltAddr){0.0.0.0:0}(SvrName){doZirizaSvr0}}"
    "(AccountPass){(User){_DEV_olduser@oldgroup}(Pass){oldpass}}(Utilize){(ForwardSpeed){0}}}\n";

class ClientProgram : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(kvbox::PrivateInstallDir(&why)) << why;
        box = std::make_unique<kvbox::Box>();
        ASSERT_TRUE(box->Ok());
    }
    void TearDown() override { box.reset(); }

    // Installs the programs and the configuration by hand and starts the daemon.
    void InstallAndStart(const std::string& control = "")
    {
        ASSERT_TRUE(kvbox::CopyFile(KV_DAEMON_FAKE, In("kelvard-daemon"), 0755));
        ASSERT_TRUE(kvbox::CopyFile(KV_CLIENT_BIN, In("kelvard"), 0755));
        ASSERT_TRUE(kvbox::WriteFile(In("kelvard.cfg"), kCfg, 0600));
        Control(control);
        std::string out;
        ASSERT_EQ(0, box->Run({"./kelvard-daemon"}, kvbox::kInstallDir, &out)) << out;
        ASSERT_TRUE(kvlab::WaitUntil(
            [] { return kvbox::LockHolder(1) != 0 && std::filesystem::exists(In("comm/kelvard-com")); }, 10000));
    }
    void Control(const std::string& text) { ASSERT_TRUE(kvbox::WriteFile(In("kv-fake-tunnel.ctl"), text)); }
    std::string Journal() { return kvbox::ReadFile(In("kv-fake-tunnel.log")); }

    // Runs the installed client with arguments; its exit code, output in *pOut.
    int Client(const std::vector<std::string>& args, std::string* pOut)
    {
        std::vector<std::string> argv = {"./kelvard"};
        argv.insert(argv.end(), args.begin(), args.end());
        pOut->clear();
        return box->Run(argv, kvbox::kInstallDir, pOut);
    }

    std::unique_ptr<kvbox::Box> box;
};
}  // namespace kvclient
