// The client's helpers in process: address split, line and password input, and the IPC
// exchange that drops replies belonging to an earlier client.
#include <gtest/gtest.h>
#include <nanomsg/nn.h>
#include <nanomsg/pair.h>
#include <unistd.h>

#include <cstdio>
#include <future>

#include "kelvardInput.h"
#include "kelvardIpc.h"
#include "kvDaemonBox.h"

TEST(ClientInput, AddressSplitsAtTheLastColon)
{
    const struct
    {
        const char* in;
        const char* host;
        long port;
    } cases[] = {
        {"10.0.0.5:8080", "10.0.0.5", 8080},
        {":8080", ":8080", 0},
        {"host", "host", 0},
        {"[::1]:22", "[::1]", 22},
        {"a:b:c", "a:b", 0},
        {"h:-1", "h", -1},
        {"", "", 0},
    };
    for (auto& c : cases)
    {
        char host[64];
        long port = 99;
        get_ip_and_port(c.in, host, sizeof(host), &port);
        EXPECT_STREQ(c.host, host) << c.in;
        EXPECT_EQ(c.port, port) << c.in;
    }
    char small[8];
    long port = 0;
    get_ip_and_port("averylonghostname:1", small, sizeof(small), &port);
    EXPECT_STREQ("averylo", small);
    EXPECT_EQ(1, port);
}

TEST(ClientInput, LinesAreTrimmedAndCutAndEndOfInputIsSeen)
{
    kvlab::TempDir dir;
    std::string path = dir.Path() + "/in";
    ASSERT_TRUE(kvbox::WriteFile(path, "  \tword \r\n" + std::string(100, 'x') + "\nnext\n" + std::string(200, 'p') +
                                           "\nafter\nlast-without-newline"));
    ASSERT_NE(nullptr, freopen(path.c_str(), "r", stdin));
    char buf[20];
    ASSERT_TRUE(GetInput(buf, sizeof(buf)));
    EXPECT_STREQ("word", buf);
    ASSERT_TRUE(GetInput(buf, sizeof(buf)));
    EXPECT_EQ(std::string(19, 'x'), buf);
    ASSERT_TRUE(GetInput(buf, sizeof(buf)));
    EXPECT_STREQ("next", buf) << "the rest of a long line is dropped";
    char pass[128];
    ASSERT_TRUE(GetPassInput(pass, sizeof(pass)));
    EXPECT_EQ(std::string(127, 'p'), pass);
    ASSERT_TRUE(GetInput(buf, sizeof(buf)));
    EXPECT_STREQ("after", buf);
    ASSERT_FALSE(GetPassInput(pass, sizeof(pass)));
    EXPECT_FALSE(GetInput(buf, sizeof(buf)));
}

class ClientIpc : public ::testing::Test
{
protected:
    void SetUp() override
    {
        addr = "ipc://" + dir.Path() + "/sock";
        daemonSock = nn_socket(AF_SP, NN_PAIR);
        ASSERT_GE(daemonSock, 0);
        int timeout = 5000;
        nn_setsockopt(daemonSock, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof(timeout));
        ASSERT_GE(nn_bind(daemonSock, addr.c_str()), 0);
        ASSERT_TRUE(ipc.Connect(addr.c_str()));
    }
    void TearDown() override { nn_close(daemonSock); }
    // The request as the daemon sees it.
    Json::Value Take()
    {
        void* p = nullptr;
        int n = nn_recv(daemonSock, &p, NN_MSG, 0);
        if (n < 0)
            return Json::Value();
        std::string text((const char*)p, (size_t)n);
        nn_freemsg(p);
        return kvbox::Parse(text);
    }
    void Reply(const std::string& text) { ASSERT_EQ((int)text.size(), nn_send(daemonSock, text.data(), text.size(), 0)); }

    kvlab::TempDir dir;
    std::string addr;
    int daemonSock = -1;
    CKelvardIpc ipc;
};

TEST_F(ClientIpc, RepliesOfOtherRequestsAreDropped)
{
    Json::Value request(Json::objectValue);
    request["option"] = "status";
    Json::Value reply;
    auto result = std::async(std::launch::async, [&] { return ipc.Exchange(request, &reply); });
    Json::Value seen = Take();
    ASSERT_EQ("status", seen["option"].asString());
    std::string id = seen["reqid"].asString();
    ASSERT_FALSE(id.empty());
    // Left over from a client that went away, then one without any reqid, then the real one.
    Reply("{\"option\":\"status\",\"reqid\":\"1-2-3\",\"errcode\":20}");
    Reply("{\"option\":\"status\",\"errcode\":19}");
    Reply("{\"option\":\"status\",\"reqid\":\"" + id + "\",\"errcode\":0,\"user\":\"me\"}");
    ASSERT_EQ(KIPC_OK, result.get());
    EXPECT_EQ(0, reply["errcode"].asInt());
    EXPECT_EQ("me", reply["user"].asString());

    // The next request has its own id; later messages of a list are read with it.
    request["option"] = "qrycon";
    result = std::async(std::launch::async, [&] { return ipc.Exchange(request, &reply); });
    seen = Take();
    ASSERT_NE(id, seen["reqid"].asString());
    id = seen["reqid"].asString();
    Reply("{\"option\":\"qrycon\",\"reqid\":\"" + id + "\",\"finish\":0,\"seq\":0}");
    Reply("{\"option\":\"status\",\"reqid\":\"old\",\"finish\":1}");
    Reply("{\"option\":\"qrycon\",\"reqid\":\"" + id + "\",\"finish\":1}");
    ASSERT_EQ(KIPC_OK, result.get());
    EXPECT_EQ(0, reply["finish"].asInt());
    ASSERT_EQ(KIPC_OK, ipc.Receive(&reply));
    EXPECT_EQ(1, reply["finish"].asInt());
    EXPECT_EQ("qrycon", reply["option"].asString());

    // A reply that is not JSON.
    result = std::async(std::launch::async, [&] { return ipc.Exchange(request, &reply); });
    Take();
    Reply("garbage");
    EXPECT_EQ(KIPC_PARSE, result.get());
}
