// kelvard's commands as a program against the daemon program (on the tunnel stand-in):
// argument dispatch, the installed check and the client lock, status, start and stop, the
// installer mode through a terminal with the install script run through a sudo stand-in, and
// uninstall.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "kvClientFixture.h"

namespace fs = std::filesystem;
using kvbox::ReadFile;
using kvbox::WriteFile;
using kvclient::In;

class ClientCommands : public kvclient::ClientProgram
{
};

TEST_F(ClientCommands, ArgumentsAndInstalledCheck)
{
    std::string out;
    // Nothing is installed yet.
    fs::remove_all(kvbox::kInstallDir);
    ASSERT_TRUE(fs::create_directories(kvbox::kInstallDir));
    ASSERT_TRUE(kvbox::CopyFile(KV_CLIENT_BIN, In("kelvard"), 0755));
    EXPECT_EQ(0, Client({}, &out));
    EXPECT_EQ("", out);
    EXPECT_EQ(0, Client({"status"}, &out));
    EXPECT_EQ("kelvard后台程序尚未安装\n", out);
    ASSERT_TRUE(kvbox::CopyFile(KV_DAEMON_FAKE, In("kelvard-daemon"), 0755));
    EXPECT_EQ(255, Client({"status"}, &out));
    EXPECT_EQ("初始化锁失败\n", out);

    ASSERT_TRUE(WriteFile(In("kelvard.lock"), ""));
    ASSERT_TRUE(kvbox::WriteFile(In("kelvard.cfg"), kvclient::kCfg, 0600));
    ASSERT_EQ(0, box->Run({"./kelvard-daemon"}, kvbox::kInstallDir, &out));
    ASSERT_TRUE(kvlab::WaitUntil([] { return fs::exists(In("comm/kelvard-com")); }, 10000));
    EXPECT_EQ(0, Client({"whatever"}, &out));
    EXPECT_EQ("", out);
}

TEST_F(ClientCommands, StatusStartAndStop)
{
    InstallAndStart();
    std::string out;
    const struct
    {
        const char* control;
        const char* line;
    } status[] = {
        {"", "用户ID:olduser, 状态:在线\n"},
        {"login=16\n", "用户ID:olduser, 状态:正在请求登录\n"},
        {"login=20\n", "用户ID:olduser, 状态:登录错误(密码错误)\n"},
        {"login=4\n", "用户ID:olduser, 状态:离线\n"},
        {"login=11\n", "用户ID:olduser, 状态:离线\n"},
        {"status=-6\n", "用户ID:olduser, 状态:离线\n"},
    };
    for (auto& s : status)
    {
        Control(s.control);
        EXPECT_EQ(0, Client({"status"}, &out));
        EXPECT_EQ(s.line, out) << s.control;
    }
    Control("");
    EXPECT_EQ(0, Client({"stop"}, &out));
    EXPECT_EQ("停止成功\n", out);
    EXPECT_EQ(0, Client({"stop"}, &out));
    EXPECT_EQ("停止失败, 已停止\n", out);
    EXPECT_EQ(0, Client({"status"}, &out));
    EXPECT_EQ("kelvard后台程序尚未启动\n", out);
    Control("start=-7\n");
    EXPECT_EQ(0, Client({"start"}, &out));
    EXPECT_EQ("启动失败, 启动P2P隧道客户端模块失败\n", out);
    Control("");
    EXPECT_EQ(0, Client({"start"}, &out));
    EXPECT_EQ("启动成功\n", out);
    EXPECT_EQ(0, Client({"start"}, &out));
    EXPECT_EQ("启动失败, 已启动\n", out);
}

TEST_F(ClientCommands, OneClientAtATime)
{
    InstallAndStart();
    // Another client holds its byte: refused. The daemon's own byte does not block a client.
    int fd = open(In("kelvard.lock").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct flock fl;
    memset(&fl, 0, sizeof(fl));
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 2;
    fl.l_len = 1;
    ASSERT_EQ(0, fcntl(fd, F_SETLK, &fl));
    std::string out;
    EXPECT_EQ(255, Client({"status"}, &out));
    EXPECT_EQ("请检查程序是否已启动\n", out);
    close(fd);
    EXPECT_EQ(0, Client({"status"}, &out));
    EXPECT_EQ("用户ID:olduser, 状态:在线\n", out);

    // A client waiting at its menu holds the byte too.
    kvbox::Pty menu = box->Terminal({"./kelvard", "config"}, kvbox::kInstallDir);
    ASSERT_TRUE(menu.Expect("请输入对应功能序号(输入m查看主菜单): "));
    EXPECT_EQ(255, Client({"stop"}, &out));
    EXPECT_EQ("请检查程序是否已启动\n", out);
    menu.Line("7");
    EXPECT_EQ(0, menu.Wait());
}

// The installer: a release directory with the programs, the scripts and a sudo stand-in.
class ClientInstall : public kvclient::ClientProgram
{
protected:
    void SetUp() override
    {
        kvclient::ClientProgram::SetUp();
        fs::remove_all(kvbox::kInstallDir);
        rel = release.Path();
        ASSERT_TRUE(kvbox::CopyFile(KV_SOURCE_DIR "/install.sh", rel + "/install.sh", 0755));
        ASSERT_TRUE(kvbox::CopyFile(KV_SOURCE_DIR "/uninstall.sh", rel + "/uninstall.sh", 0755));
        ASSERT_TRUE(kvbox::CopyFile(KV_SOURCE_DIR "/daemon/kelvard.cfg", rel + "/kelvard.cfg", 0644));
        ASSERT_TRUE(kvbox::CopyFile(KV_DAEMON_FAKE, rel + "/kelvard-daemon", 0755));
        ASSERT_TRUE(kvbox::CopyFile(KV_CLIENT_BIN, rel + "/kelvard", 0755));
        ASSERT_TRUE(fs::create_directory(rel + "/bin"));
        ASSERT_TRUE(WriteFile(rel + "/bin/sudo", "#!/bin/sh\necho \"$*\" >> \"$KV_SUDO_LOG\"\nexec \"$@\"\n", 0755));
        env = {"PATH=" + rel + "/bin:/usr/sbin:/usr/bin:/sbin:/bin", "KV_SUDO_LOG=" + rel + "/sudo.log"};
    }
    // The stand-in tunnel's control file, in place before the installed daemon starts.
    void PreControl(const std::string& text)
    {
        ASSERT_TRUE(fs::create_directories(kvbox::kInstallDir));
        ASSERT_TRUE(WriteFile(In("kv-fake-tunnel.ctl"), text));
    }
    kvbox::Pty Install() { return box->Terminal({"./kelvard", "install"}, rel, env); }
    void Account(kvbox::Pty& pty, const std::string& group, const std::string& user)
    {
        ASSERT_TRUE(pty.Expect("请输入组名: "));
        pty.Line(group);
        ASSERT_TRUE(pty.Expect("请输入客户端ID: "));
        pty.Line(user);
    }
    void Password(kvbox::Pty& pty, const std::string& pass)
    {
        ASSERT_TRUE(pty.Expect("请输入密码: "));
        pty.Line(pass);
    }

    kvlab::TempDir release;
    std::string rel;
    std::vector<std::string> env;
};

TEST_F(ClientInstall, InstallsLogsInAndKeepsThePasswordOffTheScreen)
{
    kvbox::Pty pty = Install();
    ASSERT_TRUE(pty.Expect("KELVARD client for Linux V3.1.1.295\r\n"));
    Account(pty, "team", "alice");
    Password(pty, "pw12");
    ASSERT_TRUE(pty.Expect("****\r\n"));
    ASSERT_TRUE(pty.Expect("用户ID:alice, 登录成功\r\n"));
    EXPECT_EQ(0, pty.Wait());
    EXPECT_EQ(std::string::npos, pty.All().find("pw12"));
    EXPECT_EQ("./install.sh\n", ReadFile(rel + "/sudo.log"));
    for (const char* f : {"kelvard-daemon", "kelvard", "kelvard.cfg", "kelvard.lock", "comm/kelvard-com"})
        EXPECT_TRUE(fs::exists(In(f))) << f;
    std::string cfg = ReadFile(In("kelvard.cfg"));
    EXPECT_NE(std::string::npos, cfg.find("(User){_DEV_alice@team}(Pass){pw12}")) << cfg;
    // Installed and logged in: a second install runs no script.
    std::string out;
    EXPECT_EQ(0, box->Run({"./kelvard", "install"}, rel, &out, env));
    EXPECT_EQ("KELVARD client for Linux V3.1.1.295\nkelvard后台服务已启动，请通过./kelvard config进行配置\n", out);
    EXPECT_EQ("./install.sh\n", ReadFile(rel + "/sudo.log"));
    // And uninstall takes it all away, the daemon included.
    EXPECT_EQ(0, box->Run({"./kelvard", "uninstall"}, rel, &out, env));
    EXPECT_TRUE(kvlab::WaitUntil([] { return !fs::exists(kvbox::kInstallDir); }, 10000));
    EXPECT_EQ("./install.sh\n./uninstall.sh\n", ReadFile(rel + "/sudo.log"));
    EXPECT_TRUE(kvlab::WaitUntil([&] { return box->Run({"pidof", "kelvard-daemon"}, "/") != 0; }, 10000));
}

TEST_F(ClientInstall, ThreeWrongPasswords)
{
    PreControl("login=20\n");
    kvbox::Pty pty = Install();
    Account(pty, "team", "alice");
    Password(pty, "bad1");
    ASSERT_TRUE(pty.Expect("密码错误, 请重新输入!\r\n"));
    // Only the password is asked again.
    Password(pty, "bad2");
    ASSERT_TRUE(pty.Expect("密码错误, 请重新输入!\r\n"));
    Password(pty, "bad3");
    ASSERT_TRUE(pty.Expect("用户ID:alice, 登录错误(密码错误)\r\n"));
    EXPECT_EQ(0, pty.Wait());
    EXPECT_EQ(std::string::npos, pty.All().find("请输入组名: ", pty.All().find("请输入密码: ")));
    EXPECT_EQ("./install.sh\n", ReadFile(rel + "/sudo.log")) << "the script runs once";
}

TEST_F(ClientInstall, BadAccountsAskForGroupAgain)
{
    PreControl("login=19\n");
    kvbox::Pty pty = Install();
    Account(pty, "", "alice");
    ASSERT_TRUE(pty.Expect("无效的组名或ID, 请重新输入!\r\n"));
    Account(pty, "team", "alice");
    Password(pty, "pw");
    ASSERT_TRUE(pty.Expect("无效的组名或ID, 请重新输入!\r\n"));
    Account(pty, "team", "al");
    Password(pty, "pw");
    ASSERT_TRUE(pty.Expect("无效的组名或ID\r\n"));
    EXPECT_EQ(0, pty.Wait());
}

TEST_F(ClientInstall, LongPasswordStopsAtTheBuffer)
{
    kvbox::Pty pty = Install();
    Account(pty, "team", "alice");
    Password(pty, std::string(200, 'p'));
    ASSERT_TRUE(pty.Expect(std::string(127, '*') + "\r\n"));
    ASSERT_TRUE(pty.Expect("用户ID:alice, 登录成功\r\n"));
    EXPECT_EQ(0, pty.Wait());
    EXPECT_NE(std::string::npos, ReadFile(In("kelvard.cfg")).find("(Pass){" + std::string(127, 'p') + "}"));
}

TEST_F(ClientInstall, EndOfInputEndsTheInstaller)
{
    kvbox::Pty pty = Install();
    ASSERT_TRUE(pty.Expect("请输入组名: "));
    pty.EndInput();
    EXPECT_EQ(0, pty.Wait());
    EXPECT_FALSE(fs::exists(rel + "/sudo.log"));
}

TEST_F(ClientInstall, InterruptAtThePasswordRestoresTheTerminal)
{
    kvbox::Pty pty = Install();
    Account(pty, "team", "alice");
    ASSERT_TRUE(pty.Expect("请输入密码: "));
    int slave = open(ptsname(pty.Fd()), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    struct termios tm;
    ASSERT_TRUE(kvlab::WaitUntil([&] { return tcgetattr(slave, &tm) == 0 && !(tm.c_lflag & ECHO); }, 5000))
        << "echo is off while the password is typed";
    pty.Type("x\x03");
    EXPECT_EQ(0, pty.Wait());
    ASSERT_EQ(0, tcgetattr(slave, &tm));
    EXPECT_TRUE(tm.c_lflag & ECHO);
    EXPECT_TRUE(tm.c_lflag & ICANON);
    close(slave);
}
