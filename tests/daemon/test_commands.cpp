// The daemon's command loop, in process: a real IPC socket pair, the daemon's requests served
// one at a time, the tunnel replaced by the stand-in of kvFakeTunnel. Every command with its
// replies and codes, hostile requests, and the files the commands change.
#include <gtest/gtest.h>
#include <nanomsg/nn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "kelvardDaemon.h"
#include "kvDaemonBox.h"
#include "kvFakeTunnel.h"
#include "log.h"

namespace fs = std::filesystem;
using kvbox::ReadFile;
using kvbox::WriteFile;

namespace
{
const char* const kCfg =
    "(Proxy){(Enable){0}(Host){}(User){_DEV_olduser@oldgroup}(Pass){oldpass}}\n"
    "(ModeClient){(Node){(SvrAddr){127.0.0.1:7781}(CltAddr){0.0.0.0:0}(SvrName){doZirizaSvr0}}"
    "(AccountPass){(User){_DEV_olduser@oldgroup}(Pass){oldpass}}(Utilize){(ForwardSpeed){524288}}}\n";

std::string Con(const std::string& remote, int srvport, int cliport)
{
    return "{\"option\":\"addcon\",\"args\":{\"remote\":\"" + remote + "\",\"srvip\":\"10.0.0.5\",\"srvport\":" +
           std::to_string(srvport) + ",\"cliip\":\"127.0.0.1\",\"cliport\":" + std::to_string(cliport) + "}}";
}
}  // namespace

class Commands : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kvfake::Reset();
        fwd_flag.store(0);
        login_result.store(0);
        ASSERT_EQ(0, chdir(dir.Path().c_str()));
        logname = dir.Path() + "/log";
        ASSERT_TRUE(WriteFile("kelvard.cfg", kCfg, 0600));
        addr = "ipc://" + dir.Path() + "/comm/sock";
        daemon = std::make_unique<CKelvardDaemon>();
        ASSERT_TRUE(daemon->Bind(addr.c_str()));
        client = std::make_unique<kvbox::IpcClient>(addr);
        // The stand-in's login event comes at once from a thread of its own; on a busy machine
        // that thread may not run for a while, so the wait is long (it ends with the event).
        daemon->SetLoginWait(500, 10);
    }
    void TearDown() override
    {
        kvfake::Reset();
        daemon.reset();
        client.reset();
        ASSERT_EQ(0, chdir("/"));
    }

    // Lets the daemon serve the next request (a few ticks at most).
    void Serve()
    {
        unsigned long long before = daemon->Served();
        for (int i = 0; i < 10 && daemon->Served() == before; i++)
            daemon->ServeOne();
        EXPECT_EQ(before + 1, daemon->Served());
    }
    // Sends a request text, lets the daemon serve it, returns the raw reply.
    std::string AskRaw(const std::string& request)
    {
        EXPECT_TRUE(client->Send(request));
        Serve();
        std::string reply;
        EXPECT_TRUE(client->Recv(&reply, 5000)) << "no reply to " << request;
        return reply;
    }
    // As AskRaw, with a reqid of this test added (so a stray extra reply would show up as a
    // reply to the next request) and the reply checked to carry it.
    Json::Value Ask(const std::string& request)
    {
        Json::Value req = kvbox::Parse(request);
        std::string id = "t" + std::to_string(++seq);
        std::string text = request;
        if (req.isObject())
        {
            req["reqid"] = id;
            Json::StreamWriterBuilder b;
            b["indentation"] = "";
            text = Json::writeString(b, req);
        }
        Json::Value reply = kvbox::Parse(AskRaw(text));
        if (req.isObject())
        {
            EXPECT_EQ(id, reply.get("reqid", "").asString()) << request;
        }
        return reply;
    }
    std::vector<Json::Value> AskList(const std::string& request)
    {
        EXPECT_TRUE(client->Send(request));
        Serve();
        std::vector<Json::Value> out;
        std::string text;
        while (out.size() < 100 && client->Recv(&text, 5000))
        {
            out.push_back(kvbox::Parse(text));
            if (out.back().isMember("finish") && out.back()["finish"].asInt() != 0)
                break;
        }
        return out;
    }
    void Control(const std::string& text) { ASSERT_TRUE(WriteFile("kv-fake-tunnel.ctl", text)); }
    std::string Journal() { return ReadFile("kv-fake-tunnel.log"); }
    std::string LastStart()
    {
        std::string j = Journal();
        size_t pos = j.rfind("start sysinfo=");
        return pos == std::string::npos ? "" : j.substr(pos, j.find('\n', pos) - pos);
    }
    static void ExpectCode(const Json::Value& reply, int code, const char* msg)
    {
        EXPECT_EQ(code, reply.get("errcode", 12345).asInt()) << reply.toStyledString();
        if (msg)
        {
            EXPECT_EQ(msg, reply.get("errmsg", "(none)").asString());
        }
    }
    void Login(const std::string& group, const std::string& user, const std::string& pass)
    {
        Json::Value req;
        req["option"] = "login";
        req["args"]["group"] = group;
        req["args"]["user"] = user;
        req["args"]["pass"] = pass;
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        lastReply = Ask(Json::writeString(b, req));
    }

    kvlab::TempDir dir;
    std::string addr;
    int seq = 0;
    std::unique_ptr<kvbox::IpcClient> client;
    std::unique_ptr<CKelvardDaemon> daemon;
    Json::Value lastReply;
};

TEST_F(Commands, StartUpUsesTheStoredAccountAndRestoresConnections)
{
    ASSERT_TRUE(WriteFile("connects.json",
        "{\"connections\":[{\"seq\":0,\"remote\":\"bad\",\"srvip\":\"10.0.0.5\",\"srvport\":80,\"cliip\":\"127.0.0.1\","
        "\"cliport\":9001,\"flag\":0},{\"seq\":1,\"remote\":\"good\",\"srvip\":\"10.0.0.6\",\"srvport\":22,"
        "\"cliip\":\"127.0.0.1\",\"cliport\":9002,\"flag\":3}]}\n"));
    Control("refuse=_DEV_bad@oldgroup\n");
    daemon->StartUp();
    EXPECT_EQ(1, daemon->StartFlag());
    EXPECT_EQ(1, daemon->LoginFlag());
    EXPECT_EQ("olduser", daemon->User());
    EXPECT_EQ("oldgroup", daemon->Group());
    EXPECT_NE(std::string::npos, LastStart().find("(DevID){_DEV_olduser@oldgroup}(MacAddr){001122334455}"));
    // The refused record is logged and kept; the next is still added, type and encryption
    // taken from its flag.
    EXPECT_EQ(std::vector<std::string>{"_DEV_good@oldgroup|1|1|10.0.0.6:22|127.0.0.1:9002"}, kvfake::Connections());
    EXPECT_EQ(2u, daemon->Connections().size());
    std::string log = ReadFile(logname);
    for (const char* line : {"remote: bad", "srvip: 10.0.0.5", "srvport: 80", "cliip: 127.0.0.1", "cliport: 9001",
                             "添加连接失败: -13", "此连接的本地地址为: 127.0.0.1:9002", "组名: oldgroup",
                             "客户端: olduser"})
        EXPECT_NE(std::string::npos, log.find(line)) << line;
    EXPECT_EQ(std::string::npos, log.find(kvfake::LIBRARY_LOG_LINE));

    Json::Value st = Ask("{\"option\":\"status\"}");
    ExpectCode(st, 0, "登录成功");
    EXPECT_EQ("olduser", st["user"].asString());
}

TEST_F(Commands, FailedStartsAreReportedAndCanBeRetried)
{
    Control("start=-7\n");
    daemon->StartUp();
    EXPECT_EQ(0, daemon->StartFlag());
    Json::Value st = Ask("{\"option\":\"status\"}");
    ExpectCode(st, -26, "尚未启动");
    EXPECT_EQ("olduser", st["user"].asString());
    ExpectCode(Ask("{\"option\":\"start\"}"), -27, "启动P2P隧道客户端模块失败");
    Control("sysinfo=-256\n");
    ExpectCode(Ask("{\"option\":\"start\"}"), -26, "获取系统信息失败");
    ExpectCode(Ask("{\"option\":\"stop\"}"), -26, "已停止");
    Control("");
    ExpectCode(Ask("{\"option\":\"start\"}"), 0, "启动成功");
    ExpectCode(Ask("{\"option\":\"start\"}"), -26, "已启动");
    ExpectCode(Ask("{\"option\":\"status\"}"), 0, "登录成功");
    std::string log = ReadFile(logname);
    EXPECT_NE(std::string::npos, log.find("doZirizaStart: errcode=-7"));
    EXPECT_NE(std::string::npos, log.find("doZirizaSysInfo: errcode=-256"));
}

TEST_F(Commands, HostileRequestsGetOneErrorReplyEach)
{
    daemon->StartUp();
    const struct
    {
        std::string request;
        int code;
    } cases[] = {
        {"not json", -2},
        {"", -2},
        {"[1,2,3]", -2},
        {"\"status\"", -2},
        {"42", -2},
        {"{\"option\":\"status\"} trailing", -2},
        {std::string(1500, '[') + std::string(1500, ']'), -2},
        {"{\"option\":5}", -2},
        {"{\"option\":[\"status\"]}", -2},
        {"{\"option\":\"" + std::string(100, 's') + "\"}", -2},
        {"{\"option\":\"sta\\u0000tus\"}", -2},
        {"{\"option\":\"status\",\"pad\":\"" + std::string(3000, 'x') + "\"}", -2},
        {"{\"option\":\"status\",\"args\":7}", -2},
        {"{\"option\":\"login\",\"args\":[1]}", -2},
        {"{\"option\":\"login\",\"args\":{\"group\":1,\"user\":\"u\",\"pass\":\"p\"}}", -2},
        {"{\"option\":\"login\",\"args\":{\"group\":\"g\",\"user\":\"u\",\"pass\":{}}}", -2},
        {"{\"option\":\"login\",\"args\":{\"group\":\"g\",\"user\":\"" + std::string(300, 'u') + "\",\"pass\":\"p\"}}", -2},
        {"{\"option\":\"login\",\"args\":{\"group\":\"" + std::string(100, 'g') + "\",\"user\":\"" +
             std::string(100, 'u') + "\",\"pass\":\"p\"}}", -2},
        {"{\"option\":\"login\",\"args\":{\"group\":\"g\",\"user\":\"u\",\"pass\":\"" + std::string(128, 'p') + "\"}}", -2},
        {"{\"option\":\"addcon\",\"args\":{\"remote\":\"r\",\"srvip\":\"h\",\"srvport\":4294967295,\"cliip\":\"c\",\"cliport\":1}}", -2},
        {"{\"option\":\"addcon\",\"args\":{\"remote\":\"r\",\"srvip\":\"h\",\"srvport\":80,\"cliip\":\"c\",\"cliport\":-1}}", -2},
        {"{\"option\":\"addcon\",\"args\":{\"remote\":\"r\",\"srvip\":\"h\",\"srvport\":\"80\",\"cliip\":\"c\",\"cliport\":1}}", -2},
        {"{\"option\":\"addcon\",\"args\":{\"remote\":\"r\",\"srvip\":\"h\",\"srvport\":80.5,\"cliip\":\"c\",\"cliport\":1}}", -2},
        {"{\"option\":\"addcon\",\"args\":{\"remote\":\"r\",\"srvip\":\"h\",\"srvport\":1e300,\"cliip\":\"c\",\"cliport\":1}}", -2},
        {"{\"option\":\"addcon\",\"args\":{\"remote\":\"r\",\"srvip\":\"" + std::string(200, 'h') +
             "\",\"srvport\":80,\"cliip\":\"c\",\"cliport\":1}}", -2},
        {"{\"option\":\"addcon\",\"args\":{\"remote\":true,\"srvip\":\"h\",\"srvport\":80,\"cliip\":\"c\",\"cliport\":1}}", -2},
        {"{\"option\":\"delcon\",\"seq\":\"0\"}", -2},
        {"{\"option\":\"delcon\",\"seq\":0.5}", -2},
        {"{\"option\":\"delcon\",\"seq\":4294967295}", -28},
        {"{\"option\":\"delcon\",\"seq\":-1}", -28},
        {"{\"option\":\"delcon\",\"seq\":18446744073709551615}", -28},
        {"{\"option\":\"setforward\",\"args\":{\"value\":-5}}", -2},
        {"{\"option\":\"setforward\",\"args\":{\"value\":4294967295}}", -2},
        {"{\"option\":\"setforward\",\"args\":{\"value\":null,\"x\":1}}", 12345},
        {"{\"option\":\"reboot\"}", -4},
        {"{}", -4},
        {"{\"option\":null}", -4},
    };
    for (auto& c : cases)
    {
        Json::Value reply = kvbox::Parse(AskRaw(c.request));
        ASSERT_TRUE(reply.isObject()) << c.request.substr(0, 80);
        EXPECT_EQ(c.code, reply.get("errcode", 12345).asInt()) << c.request.substr(0, 80);
        EXPECT_FALSE(reply.isMember("finish"));
        // Exactly one reply: the next request's reply is the next message.
        ExpectCode(Ask("{\"option\":\"qryfwd\"}"), 0, "节点转发为禁用");
    }
    ExpectCode(Ask("{\"option\":\"status\"}"), 0, "登录成功");
    EXPECT_NE(std::string::npos, ReadFile("kelvard.cfg").find("(AccountPass){(User){_DEV_olduser@oldgroup}(Pass){oldpass}}"));
}

TEST_F(Commands, RepliesAreCompactObjectsWithTheirOption)
{
    daemon->StartUp();
    EXPECT_EQ("{\"option\":\"setforward\",\"status\":0,\"user\":\"olduser\"}",
              AskRaw("{\"option\":\"setforward\",\"args\":{\"value\":0}}"));
    EXPECT_EQ("{\"errcode\":-26,\"errmsg\":\"已启动\",\"option\":\"start\"}", AskRaw("{\"option\":\"start\"}"));
    EXPECT_EQ("{\"finish\":1,\"option\":\"qrycon\"}", AskRaw("{\"option\":\"qrycon\"}"));
    EXPECT_EQ("{\"option\":\"qrynettype\",\"user\":\"olduser\",\"utype\":5}", AskRaw("{\"option\":\"qrynettype\"}"));
    EXPECT_EQ("{\"errcode\":-2,\"errmsg\":\"传递的参数错误\",\"option\":\"\"}", AskRaw("nonsense"));
}

TEST_F(Commands, LoginStoresTheAccountAndRestoresConnections)
{
    daemon->StartUp();
    ExpectCode(Ask(Con("peer1", 80, 9001)), 0, "添加成功");
    Login("grp{1", "alice", "s3cret(&[x]");
    ExpectCode(lastReply, 0, "登录成功");
    std::string cfg = ReadFile("kelvard.cfg");
    EXPECT_NE(std::string::npos, cfg.find("(AccountPass){(User){_DEV_alice@grp&E1}(Pass){s3cret&A&G&Cx&D}}"));
    EXPECT_NE(std::string::npos, cfg.find("(Proxy){(Enable){0}(Host){}(User){_DEV_olduser@oldgroup}(Pass){oldpass}}"));
    EXPECT_NE(std::string::npos, LastStart().find("(DevID){_DEV_alice@grp&E1}"));
    EXPECT_EQ(std::vector<std::string>{"_DEV_peer1@grp{1|0|0|10.0.0.5:80|127.0.0.1:9001"}, kvfake::Connections());
    Json::Value st = Ask("{\"option\":\"status\"}");
    ExpectCode(st, 0, "登录成功");
    EXPECT_EQ("alice", st["user"].asString());
    std::string log = ReadFile(logname);
    EXPECT_EQ(std::string::npos, log.find("s3cret")) << "the password never reaches the log";
    EXPECT_NE(std::string::npos, log.find("密码: ******"));
    EXPECT_NE(std::string::npos, log.find("用户登录成功"));
}

TEST_F(Commands, LoginRefusedForCharactersChangesNothing)
{
    daemon->StartUp();
    const struct
    {
        const char* group;
        const char* user;
        const char* pass;
        const char* msg;
    } cases[] = {
        {"a@b", "u", "p", "组名中不能包含字符'(',')','@'或'}'"},
        {"a}", "u", "p", "组名中不能包含字符'(',')','@'或'}'"},
        {"(g", "u", "p", "组名中不能包含字符'(',')','@'或'}'"},
        {"g", "u)", "p", "用户名中不能包含字符'(',')','@'或'}'"},
        {"g", "u@x", "p", "用户名中不能包含字符'(',')','@'或'}'"},
        {"g", "u", "p}", "密码中不能包含字符'}'"},
    };
    for (auto& c : cases)
    {
        Login(c.group, c.user, c.pass);
        ExpectCode(lastReply, -25, c.msg);
        EXPECT_EQ("olduser", Ask("{\"option\":\"status\"}")["user"].asString());
        EXPECT_EQ(kCfg, ReadFile("kelvard.cfg"));
    }
    // A password with '(' is fine.
    Login("g", "u", "p(");
    ExpectCode(lastReply, 0, "登录成功");
}

TEST_F(Commands, LoginRefusedByTheServerKeepsThePreviousAccount)
{
    daemon->StartUp();
    ExpectCode(Ask(Con("peer1", 80, 9001)), 0, "添加成功");
    const struct
    {
        int status;
        const char* msg;
    } cases[] = {
        {20, "登录错误(密码错误)"},
        {19, "登录错误(组名或客户端ID错误)"},
        {21, "登录错误(拒绝访问)"},
        {23, "登录错误(其他登录失败)"},
        {300, nullptr},
    };
    for (auto& c : cases)
    {
        Control("login=" + std::to_string(c.status) + "\n");
        Login("newgroup", "bob", "wrong");
        ExpectCode(lastReply, c.status, c.msg);
        if (!c.msg)
        {
            EXPECT_FALSE(lastReply.isMember("errmsg"));
        }
        EXPECT_EQ(kCfg, ReadFile("kelvard.cfg")) << c.status;
        EXPECT_EQ("olduser", daemon->User());
        EXPECT_EQ("oldgroup", daemon->Group());
        // The tunnel runs again with the previous account and its connections.
        EXPECT_NE(std::string::npos, LastStart().find("(DevID){_DEV_olduser@oldgroup}")) << c.status;
        EXPECT_EQ(1, daemon->StartFlag());
        EXPECT_EQ(std::vector<std::string>{"_DEV_peer1@oldgroup|0|0|10.0.0.5:80|127.0.0.1:9001"},
                  kvfake::Connections());
    }
}

TEST_F(Commands, LoginThatDoesNotCompleteKeepsTheNewAccount)
{
    daemon->StartUp();
    // No answer from the server within the wait (short here: no event ever comes).
    Control("login_event=0\n");
    daemon->SetLoginWait(20, 10);
    Login("g2", "carol", "pw");
    ExpectCode(lastReply, -12, "登录错误(请求超时)");
    EXPECT_EQ("carol", daemon->User());
    EXPECT_NE(std::string::npos, ReadFile("kelvard.cfg").find("(User){_DEV_carol@g2}(Pass){pw}"));
    // Still trying (status 16) or a network failure: the tunnel keeps the new account.
    Control("login=16\n");
    Login("g3", "dave", "pw");
    ExpectCode(lastReply, 16, "正在请求登录");
    Control("login=18\n");
    Login("g4", "erin", "pw");
    ExpectCode(lastReply, 18, "登录错误(网络错误)");
    EXPECT_EQ("erin", daemon->User());
    Json::Value st = Ask("{\"option\":\"status\"}");
    ExpectCode(st, 18, "登录错误(网络错误)");
    Control("status=-6\n");
    Login("g5", "fay", "pw");
    ExpectCode(lastReply, -6, "获取登录到P2P服务器的状态失败");
    st = Ask("{\"option\":\"status\"}");
    ExpectCode(st, -6, "获取登录到P2P服务器的状态失败");
    EXPECT_EQ("fay", st["user"].asString());
}

TEST_F(Commands, LoginLocalFailures)
{
    daemon->StartUp();
    Control("sysinfo=-256\n");
    Login("g", "u", "p");
    ExpectCode(lastReply, -26, "获取系统信息失败");
    EXPECT_EQ(0, daemon->StartFlag());
    Control("start=-1\n");
    Login("g", "u", "p");
    ExpectCode(lastReply, -27, "启动P2P隧道客户端模块失败");
    EXPECT_EQ(0, daemon->StartFlag());
    EXPECT_EQ(1, daemon->LoginFlag());
    ExpectCode(Ask("{\"option\":\"status\"}"), -26, "尚未启动");
    // No file to store the account in.
    Control("");
    fs::remove("kelvard.cfg");
    Login("g", "u", "p");
    ExpectCode(lastReply, -7, "保存配置文件失败");
}

TEST_F(Commands, StatusTexts)
{
    daemon->StartUp();
    const struct
    {
        int status;
        const char* msg;
    } cases[] = {
        {10, "发送登录请求失败"}, {11, "已经注销(稍后重试登录请求)"}, {16, "正在请求登录"},
        {17, "登录错误(请求超时)"}, {18, "登录错误(网络错误)"}, {19, "登录错误(用户名错误)"},
        {20, "登录错误(密码错误)"}, {21, "登录错误(拒绝访问)"}, {22, "登录错误(服务器正忙)"},
        {23, "登录错误(其他登录失败)"}, {32, "用户名冲突被服务器踢下线"}, {255, "未知状态"}, {4, nullptr},
    };
    for (auto& c : cases)
    {
        Control("login=" + std::to_string(c.status) + "\n");
        Json::Value st = Ask("{\"option\":\"status\"}");
        ExpectCode(st, c.status, c.msg);
        EXPECT_EQ(c.msg != nullptr, st.isMember("errmsg"));
        EXPECT_EQ("olduser", st["user"].asString());
    }
}

TEST_F(Commands, AddConnections)
{
    ExpectCode(Ask(Con("p", 80, 9001)), -26, "尚未启动");
    daemon->StartUp();
    fs::remove("connects.json");
    ExpectCode(Ask(Con("p", 80, 9001)), 0, "添加成功");
    // The first connection creates the list file.
    EXPECT_EQ("{\"connections\":[{\"cliip\":\"127.0.0.1\",\"cliport\":9001,\"flag\":0,\"remote\":\"p\",\"seq\":0,"
              "\"srvip\":\"10.0.0.5\",\"srvport\":80}]}\n",
              ReadFile("connects.json"));
    ExpectCode(Ask(Con("p", 80, 9001)), 257, "请勿重复添加");
    ExpectCode(Ask(Con("p", 80, 9002)), 0, "添加成功");
    Control("refuse=_DEV_no@oldgroup\n");
    Json::Value r = Ask(Con("no", 80, 9003));
    ExpectCode(r, -13, "");
    EXPECT_FALSE(r.isMember("finish"));
    EXPECT_EQ(2u, daemon->Connections().size());
    std::string log = ReadFile(logname);
    EXPECT_NE(std::string::npos, log.find("添加连接失败: -13"));
    // A list that cannot be written: the connection is taken back from the tunnel.
    Control("");
    fs::remove("connects.json");
    fs::create_directory("connects.json");
    ExpectCode(Ask(Con("q", 80, 9004)), -1, "系统错误");
    EXPECT_EQ(2u, kvfake::Connections().size());
    EXPECT_EQ(2u, daemon->Connections().size());
}

TEST_F(Commands, ListConnections)
{
    Json::Value refusal = AskList("{\"option\":\"qrycon\"}").at(0);
    ExpectCode(refusal, -26, "尚未启动");
    EXPECT_EQ(1, refusal["finish"].asInt()) << "the refusal ends the client's list";
    daemon->StartUp();
    for (auto& r : {"a", "b", "c"})
        ExpectCode(Ask(Con(r, 80, 9000 + r[0])), 0, "添加成功");
    Control("forget=_DEV_b@oldgroup\n");
    auto list = AskList("{\"option\":\"qrycon\"}");
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ("a", list[0]["remote"].asString());
    EXPECT_EQ(0, list[0]["seq"].asInt());
    EXPECT_EQ("c", list[1]["remote"].asString());
    EXPECT_EQ(2, list[1]["seq"].asInt());
    EXPECT_EQ(9000 + 'c', list[1]["cliport"].asInt());
    EXPECT_EQ("10.0.0.5", list[1]["srvip"].asString());
    EXPECT_EQ(0, list[1]["finish"].asInt());
    EXPECT_FALSE(list[1].isMember("errcode"));
    EXPECT_EQ(1, list[2]["finish"].asInt());
    EXPECT_EQ(2u, list[2].size()) << "option and finish only";
    EXPECT_NE(std::string::npos, ReadFile(logname).find("查询连接失败: -18"));
}

TEST_F(Commands, DeleteConnectionsKeepsKeysEqualToPositions)
{
    daemon->StartUp();
    for (auto& r : {"a", "b", "c"})
        ExpectCode(Ask(Con(r, 80, 9000 + r[0])), 0, "添加成功");
    ExpectCode(Ask("{\"option\":\"delcon\",\"seq\":3}"), -28, "超出索引范围");
    ExpectCode(Ask("{\"option\":\"delcon\",\"seq\":1}"), 0, "删除成功");
    ASSERT_EQ(2u, daemon->Connections().size());
    EXPECT_EQ("a", daemon->Connections().at(0).remote);
    EXPECT_EQ("c", daemon->Connections().at(1).remote);
    EXPECT_EQ(1, daemon->Connections().at(1).seq);
    std::string file = ReadFile("connects.json");
    EXPECT_NE(std::string::npos, file.find("\"remote\":\"c\",\"seq\":1"));
    EXPECT_EQ(std::string::npos, file.find("\"remote\":\"b\""));
    EXPECT_EQ(2u, kvfake::Connections().size());
    // The position shown is the record deleted.
    ExpectCode(Ask("{\"option\":\"delcon\",\"seq\":1}"), 0, "删除成功");
    EXPECT_EQ("a", daemon->Connections().at(0).remote);
    // A refusal of the tunnel keeps the record.
    Control("delete=-18\n");
    ExpectCode(Ask("{\"option\":\"delcon\",\"seq\":0}"), -18, "");
    EXPECT_EQ(1u, daemon->Connections().size());
    EXPECT_NE(std::string::npos, ReadFile(logname).find("删除连接失败: -18"));
    // A list that cannot be written: the tunnel gets the connection back.
    Control("");
    fs::remove("connects.json");
    fs::create_directory("connects.json");
    ExpectCode(Ask("{\"option\":\"delcon\",\"seq\":0}"), -1, "系统错误");
    EXPECT_EQ(1u, daemon->Connections().size());
    EXPECT_EQ(1u, kvfake::Connections().size());
}

TEST_F(Commands, NetTypeForwardingAndForwardSpeed)
{
    daemon->StartUp();
    Control("nettype=8\n");
    Json::Value r = Ask("{\"option\":\"qrynettype\"}");
    EXPECT_EQ(8u, r["utype"].asUInt());
    EXPECT_FALSE(r.isMember("errcode"));
    EXPECT_NE(std::string::npos, Journal().find("peerinfo peer=doZirizaSvr0"));
    Control("peerinfo=-12\nnettype=8\n");
    EXPECT_EQ(0u, Ask("{\"option\":\"qrynettype\"}")["utype"].asUInt());

    const struct
    {
        int fwd;
        const char* msg;
    } fwd[] = {
        {0, "节点转发为禁用"},
        {1, "节点转发为暂停，因为本端正在使用网络带宽"},
        {2, "节点转发为启用，且当前空闲"},
        {3, "节点转发为启用，且当前正在协助转发"},
        {7, nullptr},
    };
    for (auto& f : fwd)
    {
        fwd_flag.store(f.fwd);
        r = Ask("{\"option\":\"qryfwd\"}");
        ExpectCode(r, f.fwd, f.msg);
        EXPECT_EQ(f.msg != nullptr, r.isMember("errmsg"));
        EXPECT_EQ("olduser", r["user"].asString());
    }

    r = Ask("{\"option\":\"setforward\",\"args\":{\"value\":1048576}}");
    EXPECT_EQ(0, r["status"].asInt());
    EXPECT_FALSE(r.isMember("errcode"));
    EXPECT_NE(std::string::npos, ReadFile("kelvard.cfg").find("(Utilize){(ForwardSpeed){1048576}}"));
    // Failure is reported: no ForwardSpeed element to store the value in.
    ASSERT_TRUE(WriteFile("kelvard.cfg", "(ModeClient){(AccountPass){(User){_DEV_u@g}(Pass){}}}", 0600));
    r = Ask("{\"option\":\"setforward\",\"args\":{\"value\":0}}");
    EXPECT_EQ(-7, r["status"].asInt());
    ExpectCode(r, -7, "保存配置文件失败");
}

TEST_F(Commands, StopAndStart)
{
    daemon->StartUp();
    ExpectCode(Ask(Con("a", 80, 9001)), 0, "添加成功");
    ExpectCode(Ask("{\"option\":\"stop\"}"), 0, "停止成功");
    EXPECT_TRUE(kvfake::Connections().empty());
    EXPECT_NE(std::string::npos, ReadFile("connects.json").find("\"remote\":\"a\""));
    EXPECT_NE(std::string::npos, Journal().find("delete _DEV_a@oldgroup|0|0|10.0.0.5:80|127.0.0.1:9001"));
    ExpectCode(Ask("{\"option\":\"stop\"}"), -26, "已停止");
    ExpectCode(Ask(Con("b", 80, 9002)), -26, "尚未启动");
    ExpectCode(Ask("{\"option\":\"delcon\",\"seq\":0}"), -26, "尚未启动");
    // start reads the account again from the file.
    ASSERT_TRUE(WriteFile("kelvard.cfg",
                          "(ModeClient){(AccountPass){(User){_DEV_zed@zgroup}(Pass){x}}(Utilize){(ForwardSpeed){0}}}",
                          0600));
    ExpectCode(Ask("{\"option\":\"start\"}"), 0, "启动成功");
    EXPECT_EQ("zed", Ask("{\"option\":\"status\"}")["user"].asString());
    EXPECT_EQ(std::vector<std::string>{"_DEV_a@zgroup|0|0|10.0.0.5:80|127.0.0.1:9001"}, kvfake::Connections());
}

TEST_F(Commands, CopiesOfARequestRunOnce)
{
    daemon->StartUp();
    const std::string add = "{\"option\":\"addcon\",\"reqid\":\"c-1\",\"args\":{\"remote\":\"p\",\"srvip\":\"10.0.0.5\","
                            "\"srvport\":80,\"cliip\":\"127.0.0.1\",\"cliport\":9001}}";
    EXPECT_EQ("{\"errcode\":0,\"errmsg\":\"添加成功\",\"option\":\"addcon\",\"reqid\":\"c-1\"}", AskRaw(add));
    // The copy of the newest request is answered again (once its answer is not brand new),
    // and not run again.
    usleep(600 * 1000);
    EXPECT_EQ("{\"errcode\":0,\"errmsg\":\"添加成功\",\"option\":\"addcon\",\"reqid\":\"c-1\"}", AskRaw(add));
    EXPECT_EQ(1u, kvfake::Connections().size());
    auto list = AskList("{\"option\":\"qrycon\",\"reqid\":7}");
    ASSERT_EQ(2u, list.size());
    usleep(600 * 1000);
    auto again = AskList("{\"option\":\"qrycon\",\"reqid\":7}");
    ASSERT_EQ(2u, again.size());
    EXPECT_EQ(list[0], again[0]);
    // An older one is done with: no reply, and the next request gets its own.
    EXPECT_TRUE(client->Send(add));
    Serve();
    ExpectCode(Ask("{\"option\":\"status\"}"), 0, "登录成功");
    // Without a reqid, or with another, the request runs.
    ExpectCode(Ask(Con("p", 80, 9001)), 257, "请勿重复添加");
    EXPECT_NE(std::string::npos, ReadFile(logname).find("repeated request \"c-1\", ignored"));
}
