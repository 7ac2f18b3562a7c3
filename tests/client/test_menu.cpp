// kelvard config: the menu driven through a terminal against the daemon program on the tunnel
// stand-in. Navigation, each item with its messages, one-shot mode, and end of input.
#include <gtest/gtest.h>

#include "kvClientFixture.h"

using kvbox::ReadFile;
using kvclient::In;

namespace
{
const char* const kPrompt = "请输入对应功能序号(输入m查看主菜单): ";
const char* const kHelp =
    "此菜单可以实现以下功能:\r\n\t1.修改组名和客户端ID\r\n\t2.添加远程连接\r\n\t3.查看远程连接\r\n"
    "\t4.删除远程连接\r\n\t5.启用/禁用节点转发\r\n\t6.查看网络类型\r\n\t7.退出此菜单\r\n";
const char* const kHeader = "序号\t远程ID\t\t服务端地址                 \t客户端地址\r\n";
}  // namespace

class Menu : public kvclient::ClientProgram
{
protected:
    void SetUp() override
    {
        kvclient::ClientProgram::SetUp();
        InstallAndStart();
    }
    kvbox::Pty Open()
    {
        kvbox::Pty pty = box->Terminal({"./kelvard", "config"}, kvbox::kInstallDir);
        EXPECT_TRUE(pty.Expect(std::string(kHelp) + kPrompt));
        return pty;
    }
    // Types an answer and expects exactly this output before the next prompt.
    static void Step(kvbox::Pty& pty, const std::string& input, const std::string& output)
    {
        pty.Line(input);
        ASSERT_TRUE(pty.Expect(input + "\r\n" + output + kPrompt)) << "after " << input << ":\n" << pty.Pending() << "\nall:\n" << pty.All();
    }
    void Add(kvbox::Pty& pty, const std::string& remote, const std::string& srv, const std::string& cli)
    {
        pty.Line("2");
        ASSERT_TRUE(pty.Expect("请输入远程服务ID: "));
        pty.Line(remote);
        ASSERT_TRUE(pty.Expect("请输入服务端地址: "));
        pty.Line(srv);
        ASSERT_TRUE(pty.Expect("请输入客户端地址: "));
        pty.Line(cli);
    }
};

TEST_F(Menu, Navigation)
{
    kvbox::Pty pty = Open();
    Step(pty, "m", kHelp);
    Step(pty, "m  ", kHelp);
    Step(pty, "m1", "非法的配置参数\r\n");
    Step(pty, "8", "非法的配置参数\r\n");
    Step(pty, "", "非法的配置参数\r\n");
    pty.Line("7");
    EXPECT_EQ(0, pty.Wait());
    EXPECT_EQ("", pty.Pending().substr(3));
}

TEST_F(Menu, EndOfInputEndsTheMenu)
{
    kvbox::Pty pty = Open();
    pty.EndInput();
    EXPECT_EQ(0, pty.Wait());
}

TEST_F(Menu, OneShotItems)
{
    std::string out;
    EXPECT_EQ(0, Client({"config", "6"}, &out));
    EXPECT_EQ("当前网络类型: 完全锥形NAT\n", out);
    Control("nettype=24\n");
    EXPECT_EQ(0, Client({"config", "6"}, &out));
    EXPECT_EQ("当前网络类型: 借助P2P节点转发\n", out);
    Control("nettype=99\n");
    EXPECT_EQ(0, Client({"config", "6"}, &out));
    EXPECT_EQ("当前网络类型: \n", out);
    EXPECT_EQ(0, Client({"config", "9"}, &out));
    EXPECT_EQ("非法的配置参数\n", out);
    EXPECT_EQ(0, Client({"config", "3"}, &out));
    EXPECT_EQ("序号\t远程ID\t\t服务端地址                 \t客户端地址\n", out);
}

TEST_F(Menu, AddListAndDeleteConnections)
{
    kvbox::Pty pty = Open();
    // Refused inputs print their message and no prompt.
    const struct
    {
        const char* remote;
        const char* srv;
        const char* cli;
        const char* msg;
    } bad[] = {
        {"", "10.0.0.5:80", "127.0.0.1:9001", "无效的远程服务ID"},
        {"peer", "", "127.0.0.1:9001", "无效的服务端地址"},
        {"peer", "10.0.0.5:80", "", "无效的客户端地址"},
        {"peer", "10.0.0.5", "127.0.0.1:9001", "无效的服务端地址"},
        {"peer", "10.0.0.5:80", "127.0.0.1", "无效的客户端地址"},
    };
    for (auto& b : bad)
    {
        Add(pty, b.remote, b.srv, b.cli);
        ASSERT_TRUE(pty.Expect(std::string(b.cli) + "\r\n" + b.msg + "\r\n"));
        EXPECT_EQ("", pty.Pending());
    }
    Add(pty, "pa", "10.0.0.5:80", "127.0.0.1:9001");
    ASSERT_TRUE(pty.Expect("添加成功\r\n" + std::string(kPrompt)));
    Add(pty, "pa", "10.0.0.5:80", "127.0.0.1:9001");
    ASSERT_TRUE(pty.Expect("添加失败, 请勿重复添加\r\n" + std::string(kPrompt)));
    Add(pty, "pb", "10.0.0.6:22", "127.0.0.1:9002");
    ASSERT_TRUE(pty.Expect("添加成功\r\n" + std::string(kPrompt)));
    Add(pty, "pc", "10.0.0.7:443", "127.0.0.1:99999");
    ASSERT_TRUE(pty.Expect("添加失败, 传递的参数错误\r\n" + std::string(kPrompt)));
    Add(pty, "pc", "10.0.0.7:443", "127.0.0.1:9003");
    ASSERT_TRUE(pty.Expect("添加成功\r\n" + std::string(kPrompt)));
    Step(pty, "3",
         std::string(kHeader) + "0\tpa\t\t10.0.0.5:80                     127.0.0.1:9001\r\n" +
             "1\tpb\t\t10.0.0.6:22                     127.0.0.1:9002\r\n" +
             "2\tpc\t\t10.0.0.7:443                    127.0.0.1:9003\r\n");

    // The tunnel no longer knows pb: the list shows 0 and 2, and 2 deletes pc, the one picked.
    Control("forget=_DEV_pb@oldgroup\n");
    std::string list = std::string(kHeader) + "0\tpa\t\t10.0.0.5:80                     127.0.0.1:9001\r\n" +
                       "2\tpc\t\t10.0.0.7:443                    127.0.0.1:9003\r\n";
    pty.Line("4");
    ASSERT_TRUE(pty.Expect(list + "请输入远程连接序号进行删除: "));
    pty.Line("-1");
    ASSERT_TRUE(pty.Expect("无效的远程连接序号\r\n" + std::string(kPrompt)));
    pty.Line("4");
    ASSERT_TRUE(pty.Expect(list + "请输入远程连接序号进行删除: "));
    pty.Line("1");
    ASSERT_TRUE(pty.Expect("超出索引范围, 无法进入删除操作\r\n"));
    EXPECT_EQ("", pty.Pending());
    pty.Line("4");
    ASSERT_TRUE(pty.Expect(list + "请输入远程连接序号进行删除: "));
    pty.Line("2");
    ASSERT_TRUE(pty.Expect("确认删除请按Y，否则按N，[Y/N]: "));
    pty.Line("n");
    ASSERT_TRUE(pty.Expect("n\r\n"));
    EXPECT_EQ("", pty.Pending());
    pty.Line("4");
    ASSERT_TRUE(pty.Expect(list + "请输入远程连接序号进行删除: "));
    pty.Line("2");
    ASSERT_TRUE(pty.Expect("确认删除请按Y，否则按N，[Y/N]: "));
    pty.Line("Y");
    ASSERT_TRUE(pty.Expect("删除成功\r\n" + std::string(kPrompt)));
    Control("");
    Step(pty, "3",
         std::string(kHeader) + "0\tpa\t\t10.0.0.5:80                     127.0.0.1:9001\r\n" +
             "1\tpb\t\t10.0.0.6:22                     127.0.0.1:9002\r\n");
    EXPECT_EQ(std::string::npos, ReadFile(In("connects.json")).find("\"pc\""));
    pty.Line("7");
    EXPECT_EQ(0, pty.Wait());
}

TEST_F(Menu, ListingWhenStoppedEnds)
{
    std::string out;
    ASSERT_EQ(0, Client({"stop"}, &out));
    kvbox::Pty pty = Open();
    Step(pty, "3", std::string(kHeader) + "尚未启动\r\n");
    Step(pty, "4", std::string(kHeader) + "尚未启动\r\n未设置远程连接, 无法进入删除操作\r\n");
    pty.Line("7");
    EXPECT_EQ(0, pty.Wait());
}

TEST_F(Menu, NodeForwarding)
{
    kvbox::Pty pty = Open();
    Control("nettype=8\n");
    Step(pty, "5", "无法启动节点转发, 网络类型不支持\r\n");
    EXPECT_EQ(std::string::npos, Journal().find("stop"));
    Control("nettype=4\n");
    pty.Line("5");
    ASSERT_TRUE(pty.Expect("当状态: 禁用\r\n切换到启用状态按Y键，返回主菜单请按N: "));
    pty.Line("n");
    ASSERT_TRUE(pty.Expect("n\r\n" + std::string(kPrompt)));
    pty.Line("5");
    ASSERT_TRUE(pty.Expect("当状态: 禁用\r\n切换到启用状态按Y键，返回主菜单请按N: "));
    // The daemon restarts the tunnel with the new speed; the stand-in then reports status 2.
    Control("nettype=4\nfwd=2\n");
    pty.Line("y");
    ASSERT_TRUE(pty.Expect("变更为: 启用\r\n" + std::string(kPrompt)));
    EXPECT_NE(std::string::npos, ReadFile(In("kelvard.cfg")).find("(ForwardSpeed){1048576}"));
    EXPECT_NE(std::string::npos, Journal().find("stop\nsysinfo\nstart"));
    ASSERT_TRUE(kvlab::WaitUntil([&] { return ReadFile(In("log")).find("fwd_status = 2") != std::string::npos; },
                                 5000));
    pty.Line("5");
    ASSERT_TRUE(pty.Expect("当状态: 启用(空闲中)\r\n切换到禁用状态按Y键，返回主菜单请按N: "));
    pty.Line("Y");
    ASSERT_TRUE(pty.Expect("变更为: 禁用\r\n" + std::string(kPrompt)));
    EXPECT_NE(std::string::npos, ReadFile(In("kelvard.cfg")).find("(ForwardSpeed){0}"));
    pty.Line("7");
    EXPECT_EQ(0, pty.Wait());
}

TEST_F(Menu, ChangeAccount)
{
    kvbox::Pty pty = Open();
    pty.Line("1");
    ASSERT_TRUE(pty.Expect("请输入组名: "));
    pty.Line("newteam");
    ASSERT_TRUE(pty.Expect("请输入客户端ID: "));
    pty.Line("bob");
    ASSERT_TRUE(pty.Expect("请输入密码: "));
    pty.Line("pw");
    ASSERT_TRUE(pty.Expect("**\r\n用户ID:bob, 登录成功\r\n" + std::string(kPrompt)));
    EXPECT_NE(std::string::npos, ReadFile(In("kelvard.cfg")).find("(User){_DEV_bob@newteam}(Pass){pw}"));
    Control("login=20\n");
    pty.Line("1");
    ASSERT_TRUE(pty.Expect("请输入组名: "));
    pty.Line("other");
    ASSERT_TRUE(pty.Expect("请输入客户端ID: "));
    pty.Line("carl");
    for (int i = 0; i < 2; i++)
    {
        ASSERT_TRUE(pty.Expect("请输入密码: "));
        pty.Line("bad");
        ASSERT_TRUE(pty.Expect("密码错误, 请重新输入!\r\n"));
    }
    ASSERT_TRUE(pty.Expect("请输入密码: "));
    pty.Line("bad");
    ASSERT_TRUE(pty.Expect("用户ID:carl, 登录错误(密码错误)\r\n" + std::string(kPrompt)));
    // The account in use stays bob's.
    EXPECT_NE(std::string::npos, ReadFile(In("kelvard.cfg")).find("(User){_DEV_bob@newteam}(Pass){pw}"));
    pty.Line("7");
    EXPECT_EQ(0, pty.Wait());
}
