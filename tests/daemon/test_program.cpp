// kelvard-daemon as a program (on the tunnel stand-in), each instance in its own box: pid,
// mount and network namespace with a private /opt. Detaching, the single-instance lock, the
// IPC socket and its failures, file modes, and a restart that keeps account and connections.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "kvDaemonBox.h"
#include "kvFakeTunnel.h"

namespace fs = std::filesystem;
using kvbox::kInstallDir;
using kvbox::ReadFile;
using kvbox::WriteFile;

namespace
{
const char* const kCfg =
    "(ModeClient){(Node){(SvrAddr){127.0.0.1:7781}(CltAddr){0.0.0.0:0}(SvrName){doZirizaSvr0}}"
    "(AccountPass){(User){_DEV_olduser@oldgroup}(Pass){oldpass}}(Utilize){(ForwardSpeed){524288}}}\n";

std::string In(const char* name)
{
    return std::string(kInstallDir) + "/" + name;
}

mode_t Mode(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 07777;
}
}  // namespace

class Program : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(kvbox::PrivateInstallDir(&why)) << why;
        ASSERT_TRUE(kvbox::CopyFile(KV_DAEMON_FAKE, In("kelvard-daemon"), 0755));
        ASSERT_TRUE(WriteFile(In("kelvard.cfg"), kCfg, 0600));
        box = std::make_unique<kvbox::Box>();
        ASSERT_TRUE(box->Ok());
    }
    void TearDown() override { box.reset(); }

    // Starts a daemon in the install directory; the starting process ends at once.
    void Start()
    {
        std::string out;
        ASSERT_EQ(0, box->Run({"./kelvard-daemon"}, kInstallDir, &out)) << out;
    }
    bool Up()
    {
        return kvlab::WaitUntil([] { return kvbox::LockHolder(1) != 0 && fs::exists(In("comm/kelvard-com")); },
                                10000);
    }
    bool LogHas(const std::string& text, int timeoutMs = 10000)
    {
        return kvlab::WaitUntil([&] { return ReadFile(In("log")).find(text) != std::string::npos; }, timeoutMs);
    }

    std::unique_ptr<kvbox::Box> box;
};

TEST_F(Program, DetachesTakesTheLockAndAnswers)
{
    Start();
    ASSERT_TRUE(Up());
    EXPECT_TRUE(LogHas("kelvard-daemon程序启动成功"));
    kvbox::IpcClient ipc;
    Json::Value st = ipc.Ask("{\"option\":\"status\"}");
    EXPECT_EQ(0, st["errcode"].asInt());
    EXPECT_EQ("登录成功", st["errmsg"].asString());
    EXPECT_EQ("olduser", st["user"].asString());
    EXPECT_NE(std::string::npos, ReadFile(In("kv-fake-tunnel.log")).find("(DevID){_DEV_olduser@oldgroup}"));
    // Nobody but the daemon's owner reaches the socket or reads its files.
    EXPECT_EQ(0u, Mode(In("comm/kelvard-com")) & 077);
    EXPECT_EQ(0u, Mode(In("log")) & 077);
    // The library's own log lines are dropped.
    for (auto& e : fs::recursive_directory_iterator(kInstallDir))
    {
        if (e.is_regular_file() && e.path().filename() != "kelvard-daemon")
        {
            EXPECT_EQ(std::string::npos, ReadFile(e.path()).find(kvfake::LIBRARY_LOG_LINE)) << e.path();
        }
    }
}

TEST_F(Program, SecondInstanceIsRefusedByTheLock)
{
    Start();
    ASSERT_TRUE(Up());
    pid_t first = kvbox::LockHolder(1);
    Start();
    EXPECT_TRUE(LogHas("请检查程序是否已启动"));
    EXPECT_EQ(first, kvbox::LockHolder(1));
    kvbox::IpcClient ipc;
    EXPECT_EQ(0, ipc.Ask("{\"option\":\"status\"}")["errcode"].asInt());
}

TEST_F(Program, MissingLockFileEndsTheDaemon)
{
    fs::remove(In("kelvard.lock"));
    Start();
    EXPECT_TRUE(LogHas("初始化锁失败"));
    EXPECT_FALSE(fs::exists(In("comm/kelvard-com")));
}

TEST_F(Program, FailedBindEndsTheDaemonWithALogLine)
{
    fs::remove_all(In("comm"));
    ASSERT_TRUE(WriteFile(In("comm"), "not a directory"));
    Start();
    EXPECT_TRUE(LogHas("绑定IPC地址ipc:///opt/apps/kelvard-1.0.0/comm/kelvard-com失败"));
    // It does not linger holding the lock while no client can reach it.
    EXPECT_TRUE(kvlab::WaitUntil([] { return kvbox::LockHolder(1) == 0; }, 10000));
}

TEST_F(Program, RunsWithoutConfigurationFile)
{
    fs::remove(In("kelvard.cfg"));
    fs::remove_all(In("comm"));
    Start();
    ASSERT_TRUE(Up()) << "the socket directory is made when missing";
    kvbox::IpcClient ipc;
    Json::Value st = ipc.Ask("{\"option\":\"status\"}");
    EXPECT_EQ(0, st["errcode"].asInt());
    EXPECT_EQ("", st["user"].asString());
}

TEST_F(Program, RestartKeepsAccountAndConnections)
{
    Start();
    ASSERT_TRUE(Up());
    {
        kvbox::IpcClient ipc;
        Json::Value r = ipc.Ask(
            "{\"option\":\"login\",\"args\":{\"group\":\"team\",\"user\":\"alice\",\"pass\":\"pw\"}}");
        ASSERT_EQ(0, r["errcode"].asInt()) << r.toStyledString();
        r = ipc.Ask("{\"option\":\"addcon\",\"args\":{\"remote\":\"bob\",\"srvip\":\"10.1.0.2\",\"srvport\":22,"
                    "\"cliip\":\"127.0.0.1\",\"cliport\":2222}}");
        ASSERT_EQ(0, r["errcode"].asInt()) << r.toStyledString();
    }
    EXPECT_EQ(0u, Mode(In("kelvard.cfg")) & 077);
    EXPECT_EQ(0u, Mode(In("connects.json")) & 077);
    EXPECT_EQ(std::string::npos, ReadFile(In("log")).find("\"pw\""));
    pid_t holder = kvbox::LockHolder(1);
    ASSERT_GT(holder, 0);
    ASSERT_EQ(0, kill(holder, SIGKILL));
    ASSERT_TRUE(kvlab::WaitUntil([] { return kvbox::LockHolder(1) == 0; }, 10000));
    fs::remove(In("kv-fake-tunnel.log"));

    Start();
    ASSERT_TRUE(kvlab::WaitUntil([] { return kvbox::LockHolder(1) != 0; }, 10000));
    kvbox::IpcClient ipc;
    EXPECT_EQ("alice", ipc.Ask("{\"option\":\"status\"}")["user"].asString());
    auto list = ipc.AskList("{\"option\":\"qrycon\"}");
    ASSERT_EQ(2u, list.size());
    EXPECT_EQ("bob", list[0]["remote"].asString());
    std::string journal = ReadFile(In("kv-fake-tunnel.log"));
    EXPECT_NE(std::string::npos, journal.find("(DevID){_DEV_alice@team}"));
    EXPECT_NE(std::string::npos, journal.find("add _DEV_bob@team|0|0|10.1.0.2:22|127.0.0.1:2222"));
}

TEST_F(Program, AClientThatLeftMidRequestDoesNotConfuseTheNext)
{
    Start();
    ASSERT_TRUE(Up());
    {
        // Three requests whose replies nobody reads.
        kvbox::IpcClient gone;
        for (int i = 0; i < 3; i++)
            ASSERT_TRUE(gone.Send("{\"option\":\"qryfwd\",\"reqid\":\"gone\"}"));
    }
    ASSERT_TRUE(kvbox::CopyFile(KV_CLIENT_BIN, In("kelvard"), 0755));
    std::string out;
    EXPECT_EQ(0, box->Run({"./kelvard", "status"}, kInstallDir, &out));
    EXPECT_EQ("用户ID:olduser, 状态:在线\n", out);
    // A message over the transport's limit drops that client's link; the daemon goes on.
    {
        kvbox::IpcClient big;
        big.Send(std::string(100 * 1024, 'x'));
    }
    out.clear();
    EXPECT_EQ(0, box->Run({"./kelvard", "status"}, kInstallDir, &out));
    EXPECT_EQ("用户ID:olduser, 状态:在线\n", out);
}

TEST_F(Program, ALinkStuckWithAGonePeerIsOpenedAgain)
{
    Start();
    ASSERT_TRUE(Up());
    ASSERT_TRUE(kvbox::CopyFile(KV_CLIENT_BIN, In("kelvard"), 0755));
    std::string out;
    // Often enough this leaves the daemon's socket holding a peer that has gone; the daemon
    // sees new connections refused while nothing comes and opens its socket again.
    ASSERT_EQ(0, box->Run({KV_IPC_STORM, kvbox::kIpcAddr, "150"}, kInstallDir, &out, {}, 120000)) << out;
    EXPECT_EQ(0, box->Run({"./kelvard", "status"}, kInstallDir, &out, {}, 60000));
    EXPECT_EQ("用户ID:olduser, 状态:在线\n", out) << ReadFile(In("log"));
}
