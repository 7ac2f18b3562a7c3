// Forwarded connections end to end: two tunnel instances (tool_tunnel_host processes) logged in
// to the test rendezvous server in the network lab; a connection added at A reaches services
// that the test runs in B's namespace, and local clients connect to its client address at A.
#include <gtest/gtest.h>

#include <thread>

#include "kvTcpServices.h"
#include "kvTunnelPair.h"

namespace {

using namespace kvtun;

class ForwardLab : public ::testing::Test {
protected:
    void SetUp() override { KV_LAB_REQUIRE(); }
    void TearDown() override
    {
        pair.ExpectClean();
        if (getenv("KV_TUNNEL_LOG"))
            printf("%s\n", Outputs().c_str());
    }

    void Begin(const TunnelPair::Options& opt = TunnelPair::Options())
    {
        ASSERT_TRUE(pair.Start(opt));
        ASSERT_TRUE(echo.Start(pair.hb.ns, "127.0.0.1", 0, EchoHandler));
        client = pair.AddConnection(0, "127.0.0.1:" + std::to_string(echo.Port()), "127.0.0.1:9000");
        ASSERT_EQ("127.0.0.1:9000", client);
    }
    int Client(uint16_t port = 9000) { return TcpConnect(pair.ha.ns, "127.0.0.1", port); }
    std::string Outputs() { return "--- a\n" + pair.a.Out() + "\n--- b\n" + pair.b.Out(); }
    // Both tunnels are back to no sessions, sockets, instances or buffers.
    void ExpectIdle()
    {
        std::string last;
        EXPECT_TRUE(TunnelPair::Idle(pair.a, kLong, &last)) << last << "\n" << Outputs();
        EXPECT_TRUE(TunnelPair::Idle(pair.b, kLong, &last)) << last << "\n" << Outputs();
    }

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
    ExpectIdle();
    EXPECT_EQ("1", Field(TunnelPair::Stat(pair.a), "listeners"));
    EXPECT_EQ(1, echo.Accepted());
}

TEST_F(ForwardLab, SixtyFourMiBEachWayArriveWithIdenticalDigests)
{
    ASSERT_NO_FATAL_FAILURE(Begin());
    int fd = Client();
    ASSERT_GE(fd, 0);
    int64_t t0 = NowMs();
    EchoResult r = EchoStream(fd, 64u << 20, 0x5eed, 120000);
    int64_t ms = NowMs() - t0;
    EXPECT_TRUE(r.whole) << (int)r.end << "\n" << Outputs();
    EXPECT_EQ(r.sent, r.received);
    printf("64 MiB each way in %lld ms\n", (long long)ms);
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(ReadEnd::Closed, WaitEnd(fd, kLong));
    close(fd);
    ExpectIdle();
}

// 200 connections set up at once fill the peers' control queues for seconds (on a slow
// machine, or, as here, with 5% of the datagrams lost on both sides): messages of the set-up
// that a full queue refuses go again, and those held until the peer's object IDs are known
// are never dropped, so every connection still gets its whole echo.
TEST_F(ForwardLab, TwoHundredConnectionsAtOnce)
{
    // Set-ups may queue behind each other for seconds on a slow (instrumented) build: the
    // connect time-out is not what this test is about.
    TunnelPair::Options opt;
    opt.extraCfg = "(Base){(MaxSess){1024}(MaxTunnel){16}(ConnectTimeout){60}}";
    ASSERT_NO_FATAL_FAILURE(Begin(opt));
    ASSERT_TRUE(pair.lab.SetLoss(pair.ha, 5));
    ASSERT_TRUE(pair.lab.SetLoss(pair.hb, 5));
    const int kConns = 200;
    std::vector<int> fds(kConns, -1);
    for (int i = 0; i < kConns; i++) {
        fds[i] = Client();
        ASSERT_GE(fds[i], 0) << i;
    }
    // Every connection asks at once, then every answer is read: each one is its own.
    for (int i = 0; i < kConns; i++)
        ASSERT_TRUE(SendAll(fds[i], "conn-" + std::to_string(i) + std::string(4000, (char)('a' + i % 26))));
    // One deadline for all: a run that stalls ends in a minute, not in 200 waits.
    int whole = 0;
    int64_t end = NowMs() + 2 * kLong;
    for (int i = 0; i < kConns; i++) {
        std::string want = "conn-" + std::to_string(i) + std::string(4000, (char)('a' + i % 26));
        std::string got;
        RecvN(fds[i], want.size(), &got, (int)std::max<int64_t>(0, end - NowMs()));
        whole += got == want;
    }
    EXPECT_EQ(kConns, whole) << Outputs();
    EXPECT_EQ(kConns, echo.Accepted());
    for (int fd : fds)
        close(fd);
    ExpectIdle();
}

TEST_F(ForwardLab, HalfCloseStillDeliversTheWholeResponse)
{
    ASSERT_NO_FATAL_FAILURE(Begin());
    Service http;
    std::atomic<int> sentOk{-1};
    ASSERT_TRUE(http.Start(pair.hb.ns, "127.0.0.1", 0, [&](int sfd) {
        std::string req;
        while (req.find("\r\n\r\n") == std::string::npos && RecvN(sfd, req.size() + 1, &req, kLong) == ReadEnd::Data) {
        }
        std::string resp = "HTTP/1.1 200 OK\r\nContent-Length: 3000000\r\n\r\n" + std::string(3000000, 'x');
        sentOk = SendAll(sfd, resp) ? 1 : 0;
        std::string rest;
        RecvToEnd(sfd, &rest, kLong);
    }));
    ASSERT_EQ("127.0.0.1:9001", pair.AddConnection(0, "127.0.0.1:" + std::to_string(http.Port()), "127.0.0.1:9001"));
    // The client asks and at once ends its sending; the 3 MB answer still arrives whole, and
    // then the connection ends.
    int fd = Client(9001);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, "GET /3000000 HTTP/1.1\r\nHost: svc\r\n\r\n"));
    shutdown(fd, SHUT_WR);
    std::string got;
    EXPECT_EQ(ReadEnd::Closed, RecvToEnd(fd, &got, kLong)) << Outputs();
    size_t head = got.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, head) << got.substr(0, 200);
    EXPECT_EQ(0u, got.find("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(3000000u, got.size() - head - 4) << "service sent all: " << sentOk << "\n" << Outputs();
    EXPECT_EQ(std::string::npos, got.find_first_not_of('x', head + 4));
    close(fd);
    ExpectIdle();
}

// Services that cannot be reached: the local client is closed within a few seconds (no
// connect time-out waits) and the calling side reports the answer with event 18.
TEST_F(ForwardLab, RefusedOrUnreachableServiceClosesTheClientPromptlyWithTheEvent)
{
    ASSERT_NO_FATAL_FAILURE(Begin());
    ASSERT_EQ(0, pair.lab.Exec(pair.hb, "ip route add unreachable 10.99.0.0/16"));
    struct Case {
        const char* svc;
        const char* client;
    } cases[] = {
        {"127.0.0.1:1", "127.0.0.1:9002"},   // nothing listens there
        {"10.99.0.1:80", "127.0.0.1:9003"},  // B has no route there
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.svc);
        ASSERT_EQ(c.client, pair.AddConnection(0, c.svc, c.client));
        int fd = Client((uint16_t)atoi(strchr(c.client, ':') + 1));
        ASSERT_GE(fd, 0);
        int64_t t0 = NowMs();
        ReadEnd e = WaitEnd(fd, kLong);
        EXPECT_TRUE(e == ReadEnd::Closed || e == ReadEnd::Reset) << (int)e;
        EXPECT_LT(NowMs() - t0, 5000);
        EXPECT_TRUE(pair.a.Wait(std::string("\"errcode\":11,\"clientaddr\":\"") + c.client + "\"", 5000))
            << Outputs();
        close(fd);
    }
    ExpectIdle();
}

TEST_F(ForwardLab, RemotePeerGoingAwayEndsItsSessions)
{
    ASSERT_NO_FATAL_FAILURE(Begin());
    std::vector<int> fds;
    for (int i = 0; i < 3; i++) {
        int fd = Client();
        ASSERT_GE(fd, 0);
        std::string got;
        ASSERT_TRUE(SendAll(fd, "ping"));
        ASSERT_EQ(ReadEnd::Data, RecvN(fd, 4, &got, kLong)) << Outputs();
        fds.push_back(fd);
    }
    ASSERT_TRUE(pair.b.Cmd("quit"));
    ASSERT_TRUE(pair.b.Wait("host: quit", 10000));
    // Every local client of that peer is closed and its session gone: at once for the
    // sessions whose end the peer sent before it stopped, the others when the transport finds
    // the peer silent (about 18 s).
    for (int fd : fds) {
        ReadEnd e = WaitEnd(fd, 2 * kLong);
        EXPECT_TRUE(e == ReadEnd::Closed || e == ReadEnd::Reset) << (int)e << "\n" << Outputs();
        close(fd);
    }
    std::string last;
    EXPECT_TRUE(TunnelPair::Idle(pair.a, kLong, &last)) << last << "\n" << Outputs();
}

TEST_F(ForwardLab, FivePercentLossOnBothSidesStillDeliversEveryByte)
{
    ASSERT_NO_FATAL_FAILURE(Begin());
    ASSERT_TRUE(pair.lab.SetLoss(pair.ha, 5));
    ASSERT_TRUE(pair.lab.SetLoss(pair.hb, 5));
    // Two connections at once, 4 MiB each way each.
    int fd1 = Client(), fd2 = Client();
    ASSERT_GE(fd1, 0);
    ASSERT_GE(fd2, 0);
    EchoResult r2;
    std::thread t([&] { r2 = EchoStream(fd2, 4u << 20, 2, 60000); });
    EchoResult r1 = EchoStream(fd1, 4u << 20, 1, 60000);
    t.join();
    for (EchoResult* r : {&r1, &r2}) {
        EXPECT_TRUE(r->whole) << (int)r->end << "\n" << Outputs();
        EXPECT_EQ(r->sent, r->received);
    }
    EXPECT_NE(r1.sent, r2.sent);
    for (int fd : {fd1, fd2}) {
        shutdown(fd, SHUT_WR);
        EXPECT_EQ(ReadEnd::Closed, WaitEnd(fd, kLong));
        close(fd);
    }
    ExpectIdle();
}

// A Proxy connection: the listener reads HTTP request heads and each request goes to the
// service its target names. Requests sent back to back are answered one after the other, and
// an answer that ends with the connection's close is delivered before the local client closes.
TEST_F(ForwardLab, ProxyConnectionCarriesPipelinedRequestsAndAnAnswerEndedByClose)
{
    ASSERT_NO_FATAL_FAILURE(Begin());
    Service http;
    ASSERT_TRUE(http.Start(pair.hb.ns, "127.0.0.1", 0, HttpHandler));
    ASSERT_EQ("127.0.0.1:9004", pair.AddConnection(1, "", "127.0.0.1:9004"));
    std::string svc = "127.0.0.1:" + std::to_string(http.Port());
    auto get = [&](const std::string& path) {
        return "GET http://" + svc + path + " HTTP/1.1\r\nHost: " + svc + "\r\nProxy-Connection: keep-alive\r\n\r\n";
    };
    int fd = Client(9004);
    ASSERT_GE(fd, 0);
    std::string body(70000, 'p');
    ASSERT_TRUE(SendAll(fd, get("/5") + "POST http://" + svc + "/ HTTP/1.1\r\nHost: " + svc +
                                "\r\nContent-Length: 70000\r\n\r\n" + body + get("/100000") + get("/close/2000")));
    std::string got;
    EXPECT_EQ(ReadEnd::Closed, RecvToEnd(fd, &got, kLong)) << Outputs();
    // Four answers in order: 5 bytes, the posted body, 100000 bytes, 2000 bytes up to the close.
    std::vector<std::string> bodies;
    size_t at = 0;
    while (at < got.size()) {
        size_t head = got.find("\r\n\r\n", at);
        ASSERT_NE(std::string::npos, head) << got.substr(at, 200);
        std::string h = got.substr(at, head - at);
        EXPECT_EQ(0u, h.find("HTTP/1.1 200 OK")) << h;
        size_t cl = h.find("Content-Length: ");
        size_t n = cl == std::string::npos ? got.size() - head - 4 : strtoul(h.c_str() + cl + 16, nullptr, 10);
        bodies.push_back(got.substr(head + 4, n));
        at = head + 4 + n;
    }
    ASSERT_EQ(4u, bodies.size()) << Outputs();
    EXPECT_EQ("xxxxx", bodies[0]);
    EXPECT_EQ(body, bodies[1]);
    EXPECT_EQ(std::string(100000, 'x'), bodies[2]);
    EXPECT_EQ(std::string(2000, 'x'), bodies[3]);
    close(fd);
    ExpectIdle();
}

}  // namespace
