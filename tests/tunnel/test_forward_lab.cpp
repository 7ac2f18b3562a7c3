// Forwarded connections end to end: two tunnel instances (tool_tunnel_host processes) logged in
// to the test rendezvous server in the network lab; a connection added at A reaches services
// that the test runs in B's namespace, and local clients connect to its client address at A.
#include <gtest/gtest.h>

#include "kvTcpServices.h"
#include "kvTunnelPair.h"

namespace {

using namespace kvtun;

class ForwardLab : public ::testing::Test {
protected:
    void SetUp() override { KV_LAB_REQUIRE(); }
    void TearDown() override { pair.ExpectClean(); }

    void Begin(const TunnelPair::Options& opt = TunnelPair::Options())
    {
        ASSERT_TRUE(pair.Start(opt));
        ASSERT_TRUE(echo.Start(pair.hb.ns, "127.0.0.1", 0, EchoHandler));
        client = pair.AddConnection(0, "127.0.0.1:" + std::to_string(echo.Port()), "127.0.0.1:9000");
        ASSERT_EQ("127.0.0.1:9000", client);
    }
    int Client(uint16_t port = 9000) { return TcpConnect(pair.ha.ns, "127.0.0.1", port); }
    std::string Outputs() { return "--- a\n" + pair.a.Out() + "\n--- b\n" + pair.b.Out(); }

    TunnelPair pair;
    Service echo;
    std::string client;
};

TEST_F(ForwardLab, BytesFlowBothWaysThroughAConnectionAndNothingStaysBehind)
{
    TunnelPair::Options opt;
    opt.log = true;
    ASSERT_NO_FATAL_FAILURE(Begin(opt));
    int fd = Client();
    ASSERT_GE(fd, 0);
    // Several exchanges on one connection: each answer comes back whole before the next ask.
    for (std::string ask : {std::string("hello through the tunnel"), std::string(100000, 'q'), std::string("x")}) {
        ASSERT_TRUE(SendAll(fd, ask));
        std::string got;
        ASSERT_EQ(ReadEnd::Data, RecvN(fd, ask.size(), &got, kLong)) << Outputs();
        ASSERT_EQ(ask, got);
    }
    // The client ends its sending; the service sees the end, closes, and the client sees that.
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(ReadEnd::Closed, WaitEnd(fd, kLong)) << Outputs();
    close(fd);
    std::string last;
    EXPECT_TRUE(TunnelPair::Idle(pair.a, kLong, &last)) << last << "\n" << Outputs();
    EXPECT_TRUE(TunnelPair::Idle(pair.b, kLong, &last)) << last << "\n" << Outputs();
    EXPECT_EQ("1", Field(TunnelPair::Stat(pair.a), "listeners"));
    EXPECT_EQ(1, echo.Accepted());
}

}  // namespace
