// HTTP and proxy listeners of the TCP forwarding extension over loopback sockets: routing by
// Host with pipelined requests, one request and its response at a time, bytes behind a request
// kept for the next one, CONNECT, OPTIONS, blocking filters and the proxy rewrite, response
// framing, responses that end at close, and hostile request heads.
#include "test_exttcp_fake.h"

using namespace kvext;

namespace {

// The request bytes that a read side offers, until there are uLen of them.
std::string ReadUntil(CFakeNode& Node, u32 h, size_t uLen)
{
    std::string str;
    WaitFor([&] {
        auto r = Node.Read(h);
        if (r.first == 3)
            str += r.second;
        return str.size() >= uLen || r.first == 0;
    });
    return str;
}

// Writes everything, a slice at a time; false when the extension stops taking bytes.
bool WriteAll(CFakeNode& Node, u32 h, const std::string& str, size_t uSlice = 1 << 20)
{
    size_t uPos = 0;
    return WaitFor([&] {
        size_t n = std::min(uSlice, str.size() - uPos);
        auto r = Node.Write(h, str.substr(uPos, n));
        if (r.first == 3)
            uPos += r.second;
        return uPos == str.size() || r.first == 0;
    }) && uPos == str.size();
}

// What the owner does when a session ends: its instances close and the socket is let go.
void EndSession(CExtFixture& F, const std::string& strAddr)
{
    F.Node.CloseAll();
    F.Ext.Disconnect(strAddr.c_str(), 1);
}

class ExtTcpHttp : public ::testing::Test {
protected:
    void SetUp() override {}

    // A listener with the given flags; returns its port.
    u16 Listen(CExtFixture& F, u32 uFlags)
    {
        u16 uPort = ClosedPort();
        QV_ADDR_S Addr = V4(uPort);
        EXPECT_TRUE(F.Ext.ListenAdd(&Addr, uFlags, 42));
        return uPort;
    }
};

TEST_F(ExtTcpHttp, PipelinedRequestsGoOneAtATimeAndFollowTheirHost)
{
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    u16 uPort = Listen(F, QV_EXT_TCP_LISTEN_HTTP);
    const std::string R1 = "GET /a HTTP/1.1\r\nHost: alpha\r\n\r\n";
    const std::string R2 = "POST /b HTTP/1.1\r\nHost: alpha\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nHELLO";
    const std::string R3 = "GET /c HTTP/1.1\r\nHost: beta:8080\r\n\r\n";
    int fd = ConnectTo(uPort);
    ASSERT_TRUE(SendAll(fd, R1 + R2 + R3));

    NOTE_S Note;
    ASSERT_TRUE(F.Ext.WaitNote(NOTE_ACCEPT, 0, &Note));
    EXPECT_EQ(Note.strHost, "alpha");
    EXPECT_EQ(Note.uValue, 42u);
    u32 hRead = F.Node.Open(Note.strAddr, 0), hWrite = F.Node.Open(Note.strAddr, 1);
    ASSERT_TRUE(hRead && hWrite);
    // Nothing goes to the client while its request is still going out; the bytes stay.
    const std::string A1 = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc";
    EXPECT_EQ(F.Node.Write(hWrite, A1), std::make_pair(1, 0u));
    EXPECT_EQ(ReadUntil(F.Node, hRead, R1.size()), R1);
    EXPECT_EQ(F.Node.Read(hRead).first, 1);
    ASSERT_TRUE(WriteAll(F.Node, hWrite, A1));
    EXPECT_EQ(RecvN(fd, A1.size()), A1);

    // The request behind it was already in the buffer: it comes whole, body included, and
    // not a byte of the third.
    EXPECT_EQ(ReadUntil(F.Node, hRead, R2.size()), R2);
    EXPECT_EQ(F.Node.Read(hRead).first, 1);
    const std::string A2 = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nxyz\r\n10\r\n0123456789abcdef\r\n0\r\n\r\n";
    ASSERT_TRUE(WriteAll(F.Node, hWrite, A2.substr(0, A2.size() - 1), 3));
    EXPECT_EQ(F.Node.Read(hRead).first, 1);
    ASSERT_TRUE(WriteAll(F.Node, hWrite, A2.substr(A2.size() - 1)));
    EXPECT_EQ(RecvN(fd, A2.size()), A2);

    // Another Host: the socket goes to a new session; the old instances no longer reach it.
    ASSERT_TRUE(F.Ext.WaitNote(NOTE_ACCEPT, 1, &Note));
    EXPECT_EQ(Note.strHost, "beta:8080");
    EXPECT_EQ(F.Node.Read(hRead).first, 0);
    F.Node.Close(hRead);
    F.Node.Close(hWrite);
    hRead = F.Node.Open(Note.strAddr, 0);
    hWrite = F.Node.Open(Note.strAddr, 1);
    EXPECT_EQ(ReadUntil(F.Node, hRead, R3.size()), R3);
    // A response that ends at close reaches the client whole before its end of stream.
    const std::string A3 = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + std::string(3000000, 'b');
    int iEnd = -1;
    std::string strGot;
    std::thread Client([&] { strGot = RecvAll(fd, &iEnd); });
    ASSERT_TRUE(WriteAll(F.Node, hWrite, A3));
    F.Node.Close(hWrite);
    Client.join();
    EXPECT_TRUE(strGot == A3);
    EXPECT_EQ(iEnd, 0);
    close(fd);
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Count(NOTE_DISCONNECT) == 1; }));
    F.Node.Close(hRead);
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Idle(1); }));
}

struct FRAME_CASE_S {
    const char* lpszName;
    std::string strRequest;
    std::string strResponse;
};

class ExtTcpHttpFrame : public ::testing::TestWithParam<FRAME_CASE_S> {};

// The next request is read exactly when the response has ended: not a byte earlier, and
// without waiting for a body that such a response does not carry.
TEST_P(ExtTcpHttpFrame, NextRequestFollowsTheEndOfTheResponse)
{
    const FRAME_CASE_S& C = GetParam();
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    u16 uPort = ClosedPort();
    QV_ADDR_S Addr = V4(uPort);
    ASSERT_TRUE(F.Ext.ListenAdd(&Addr, QV_EXT_TCP_LISTEN_HTTP, 0));
    const std::string NEXT = "GET /next HTTP/1.1\r\nHost: h\r\n\r\n";
    int fd = ConnectTo(uPort);
    ASSERT_TRUE(SendAll(fd, C.strRequest + NEXT));
    NOTE_S Note;
    ASSERT_TRUE(F.Ext.WaitNote(NOTE_ACCEPT, 0, &Note));
    u32 hRead = F.Node.Open(Note.strAddr, 0), hWrite = F.Node.Open(Note.strAddr, 1);
    EXPECT_EQ(ReadUntil(F.Node, hRead, C.strRequest.size()), C.strRequest);
    // Byte by byte, so that every head and chunk boundary is met in a separate write.
    for (size_t i = 0; i + 1 < C.strResponse.size(); i++) {
        ASSERT_EQ(F.Node.Write(hWrite, C.strResponse.substr(i, 1)), std::make_pair(3, 1u)) << i;
        ASSERT_EQ(F.Node.Read(hRead).first, 1) << i;
    }
    ASSERT_EQ(F.Node.Write(hWrite, C.strResponse.substr(C.strResponse.size() - 1)), std::make_pair(3, 1u));
    EXPECT_EQ(RecvN(fd, C.strResponse.size()), C.strResponse);
    EXPECT_EQ(ReadUntil(F.Node, hRead, NEXT.size()), NEXT);
    close(fd);
    EndSession(F, Note.strAddr);
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Idle(1); }));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtTcpHttpFrame,
    ::testing::Values(
        FRAME_CASE_S{"Length", "GET / HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"},
        FRAME_CASE_S{"Chunked", "GET / HTTP/1.1\r\nHost: h\r\n\r\n",
                     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\nA\r\n0123456789\r\n0\r\n"
                     "Trailer: t\r\n\r\n"},
        FRAME_CASE_S{"Head", "HEAD / HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n"},
        FRAME_CASE_S{"NotModified", "GET / HTTP/1.1\r\nHost: h\r\n\r\n",
                     "HTTP/1.1 304 Not Modified\r\nContent-Length: 1000\r\n\r\n"},
        FRAME_CASE_S{"NoContent", "GET / HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 204 No Content\r\n\r\n"},
        FRAME_CASE_S{"Continue", "POST /u HTTP/1.1\r\nHost: h\r\nContent-Length: 4\r\n\r\nbody",
                     "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"},
        FRAME_CASE_S{"NoLength", "GET / HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 200 OK\r\nServer: x\r\n\r\n"}),
    [](const ::testing::TestParamInfo<FRAME_CASE_S>& Info) { return std::string(Info.param.lpszName); });

TEST_F(ExtTcpHttp, ConnectIsAnsweredThenCarriedRaw)
{
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    u16 uPort = Listen(F, QV_EXT_TCP_LISTEN_PROXY);
    int fd = ConnectTo(uPort);
    const std::string RAW("\x16\x03\x01\x00\x05hello", 10);
    ASSERT_TRUE(SendAll(fd, "CONNECT db.internal:5432 HTTP/1.1\r\nHost: db.internal:5432\r\n\r\n" + RAW));
    const std::string OK = "HTTP/1.0 200 Connection established\r\n\r\n";
    EXPECT_EQ(RecvN(fd, OK.size()), OK);
    NOTE_S Note;
    ASSERT_TRUE(F.Ext.WaitNote(NOTE_ACCEPT, 0, &Note));
    EXPECT_EQ(Note.strHost, "db.internal:5432");
    u32 hRead = F.Node.Open(Note.strAddr, 0), hWrite = F.Node.Open(Note.strAddr, 1);
    EXPECT_EQ(ReadUntil(F.Node, hRead, RAW.size()), RAW);
    ASSERT_TRUE(SendAll(fd, "GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(ReadUntil(F.Node, hRead, 18), "GET / HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(WriteAll(F.Node, hWrite, "reply"));
    EXPECT_EQ(RecvN(fd, 5), "reply");
    EXPECT_EQ(F.Ext.Count(NOTE_ACCEPT), 1u);
    close(fd);
    EndSession(F, Note.strAddr);
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Idle(1); }));
}

TEST_F(ExtTcpHttp, OptionsIsAnsweredLocally)
{
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    u16 uPort = Listen(F, QV_EXT_TCP_LISTEN_HTTP);
    int fd = ConnectTo(uPort);
    ASSERT_TRUE(SendAll(fd, "OPTIONS /api HTTP/1.1\r\nOrigin: http://web.example\r\n"
                            "Access-Control-Request-Headers: content-type\r\n\r\n"
                            "GET /api HTTP/1.1\r\nHost: api\r\n\r\n"));
    const std::string ANSWER =
        "HTTP/1.1 200 OK\r\nServer: doZiriza/1.0\r\nAccess-Control-Allow-Methods: POST, GET, OPTIONS\r\n"
        "Access-Control-Allow-Headers: content-type\r\nAccess-Control-Allow-Origin: http://web.example\r\n"
        "Access-Control-Max-Age: 3600\r\nCache-Control: no-cache\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(RecvN(fd, ANSWER.size()), ANSWER);
    NOTE_S Note;
    ASSERT_TRUE(F.Ext.WaitNote(NOTE_ACCEPT, 0, &Note));
    EXPECT_EQ(Note.strHost, "api");
    EXPECT_EQ(F.Ext.Count(NOTE_ACCEPT), 1u);
    u32 hRead = F.Node.Open(Note.strAddr, 0);
    const std::string REQ = "GET /api HTTP/1.1\r\nHost: api\r\n\r\n";
    EXPECT_EQ(ReadUntil(F.Node, hRead, REQ.size()), REQ);
    close(fd);
    EndSession(F, Note.strAddr);
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Idle(1); }));
}

TEST_F(ExtTcpHttp, ProxyFiltersBlockAndRequestsAreRewritten)
{
    CQVExtTcp::CFG_S Cfg = DefaultCfg();
    Cfg.uFilterCount = 3;
    Cfg.Filter[0] = {3, "/ADS/"};  // path contains
    Cfg.Filter[1] = {9, "page"};   // no such type: skipped
    Cfg.Filter[2] = {7, "track"};  // query contains
    CExtFixture F(Cfg);
    ASSERT_TRUE(F.bStarted);
    u16 uPort = Listen(F, QV_EXT_TCP_LISTEN_PROXY);
    int fd = ConnectTo(uPort);
    ASSERT_TRUE(SendAll(fd, "GET http://h/ads/banner.gif HTTP/1.1\r\nHost: h\r\n\r\n"
                            "GET http://h/p?x=1&track=2 HTTP/1.1\r\nHost: h\r\n\r\n"
                            "GET http://h/page HTTP/1.1\r\nHost: h\r\nProxy-Connection: keep-alive\r\n\r\n"));
    const std::string BLOCKED = "HTTP/1.0 200 OK\r\nServer: doZiriza/1.0\r\nPragma: no-cache\r\n"
                                "Cache-Control: no-cache\r\nCache-Control: no-store\r\n"
                                "Cache-Control: must-revalidate\r\nExpires: 0\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(RecvN(fd, 2 * BLOCKED.size()), BLOCKED + BLOCKED);
    NOTE_S Note;
    ASSERT_TRUE(F.Ext.WaitNote(NOTE_ACCEPT, 0, &Note));
    EXPECT_EQ(Note.strHost, "h");
    u32 hRead = F.Node.Open(Note.strAddr, 0), hWrite = F.Node.Open(Note.strAddr, 1);
    const std::string REWRITTEN = "GET /page HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n\r\n";
    EXPECT_EQ(ReadUntil(F.Node, hRead, REWRITTEN.size()), REWRITTEN);
    EXPECT_EQ(F.Node.Read(hRead).first, 1);
    ASSERT_TRUE(WriteAll(F.Node, hWrite, "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nok"));
    const std::string BACK = "HTTP/1.1 200 OK\r\nProxy-Connection: keep-alive\r\nContent-Length: 2\r\n\r\nok";
    EXPECT_EQ(RecvN(fd, BACK.size()), BACK);
    EXPECT_EQ(F.Ext.Count(NOTE_ACCEPT), 1u);
    close(fd);
    EndSession(F, Note.strAddr);
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Idle(1); }));
}

TEST_F(ExtTcpHttp, HeadSplitIntoSingleBytesIsAssembled)
{
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    u16 uPort = Listen(F, QV_EXT_TCP_LISTEN_HTTP);
    int fd = ConnectTo(uPort);
    int iOn = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &iOn, sizeof(iOn));
    const std::string REQ = "POST /x HTTP/1.1\r\nHost: split\r\nContent-Length: 2\r\n\r\nhi";
    for (char c : REQ) {
        ASSERT_TRUE(SendAll(fd, &c, 1));
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    NOTE_S Note;
    ASSERT_TRUE(F.Ext.WaitNote(NOTE_ACCEPT, 0, &Note));
    EXPECT_EQ(Note.strHost, "split");
    u32 hRead = F.Node.Open(Note.strAddr, 0);
    EXPECT_EQ(ReadUntil(F.Node, hRead, REQ.size()), REQ);
    close(fd);
    EndSession(F, Note.strAddr);
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Idle(1); }));
}

struct HOSTILE_CASE_S {
    const char* lpszName;
    std::string strBytes;
    bool bRaw;       // carried unchanged with an empty Host; otherwise dropped unreported
    bool bShutdown;  // the client stops sending after the bytes
};

class ExtTcpHttpHostile : public ::testing::TestWithParam<HOSTILE_CASE_S> {};

TEST_P(ExtTcpHttpHostile, RequestHeadsAreCheckedBeforeUse)
{
    const HOSTILE_CASE_S& C = GetParam();
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    u16 uPort = ClosedPort();
    QV_ADDR_S Addr = V4(uPort);
    ASSERT_TRUE(F.Ext.ListenAdd(&Addr, QV_EXT_TCP_LISTEN_HTTP | QV_EXT_TCP_LISTEN_PROXY, 0));
    int fd = ConnectTo(uPort);
    std::thread Sender([&] {
        SendAll(fd, C.strBytes);
        if (C.bShutdown)
            shutdown(fd, SHUT_WR);
    });
    if (C.bRaw) {
        NOTE_S Note;
        ASSERT_TRUE(F.Ext.WaitNote(NOTE_ACCEPT, 0, &Note));
        EXPECT_EQ(Note.strHost, "");
        u32 hRead = F.Node.Open(Note.strAddr, 0);
        EXPECT_EQ(ReadUntil(F.Node, hRead, C.strBytes.size()), C.strBytes);
        Sender.join();
        close(fd);
        F.Node.CloseAll();
        F.Ext.Disconnect(Note.strAddr.c_str(), 0);
    } else {
        EXPECT_TRUE(PeerClosed(fd));
        Sender.join();
        EXPECT_EQ(F.Ext.Count(NOTE_ACCEPT), 0u);
        EXPECT_EQ(F.Ext.Count(NOTE_DISCONNECT), 1u);
        close(fd);
    }
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Idle(1); }));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtTcpHttpHostile,
    ::testing::Values(
        HOSTILE_CASE_S{"Oversized", "GET / HTTP/1.1\r\nX-Pad: " + std::string(40000, 'a'), false, false},
        HOSTILE_CASE_S{"OversizedLine", "GET /" + std::string(40000, 'a'), false, false},
        HOSTILE_CASE_S{"Truncated", "GET / HTTP/1.1\r\nHost: a", false, true},
        HOSTILE_CASE_S{"TruncatedMethod", "CONN", false, true},
        HOSTILE_CASE_S{"HugeLength", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 99999999999\r\n\r\n", false, false},
        HOSTILE_CASE_S{"LengthNotANumber", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 12x\r\n\r\n", false, false},
        HOSTILE_CASE_S{"TwoLengths", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
                       false, false},
        HOSTILE_CASE_S{"LongLengthLine",
                       "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: " + std::string(300, '0') + "1\r\n\r\n", false,
                       false},
        HOSTILE_CASE_S{"HostWithParameters", "GET / HTTP/1.1\r\nHost: a&Direct=1\r\n\r\n", false, false},
        HOSTILE_CASE_S{"ConnectTargetTooLong", "CONNECT " + std::string(200, 'h') + ":1 HTTP/1.1\r\n\r\n", false,
                       false},
        HOSTILE_CASE_S{"Binary", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), true, false},
        HOSTILE_CASE_S{"ShortRequestLine", "GET /\r\n\r\nmore", true, false},
        HOSTILE_CASE_S{"NoVersion", "GET /aaaaaaaaaaaaaaaaaaaaaa\r\n\r\n", true, false}),
    [](const ::testing::TestParamInfo<HOSTILE_CASE_S>& Info) { return std::string(Info.param.lpszName); });

// With small socket buffers and a client that does not read, a response head stays in the
// extension's buffer; it still reaches the client before the end of stream, whether the
// stream into the socket ends or the owner drops the socket.
class ExtTcpHttpSlow : public ::testing::TestWithParam<bool> {};

TEST_P(ExtTcpHttpSlow, HeldResponseHeadIsDeliveredBeforeTheClose)
{
    bool bDisconnect = GetParam();
    CQVExtTcp::CFG_S Cfg = DefaultCfg();
    Cfg.uBufSize = 4;
    CExtFixture F(Cfg);
    ASSERT_TRUE(F.bStarted);
    u16 uPort = ClosedPort();
    QV_ADDR_S Addr = V4(uPort);
    ASSERT_TRUE(F.Ext.ListenAdd(&Addr, QV_EXT_TCP_LISTEN_HTTP, 0));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int iSmall = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &iSmall, sizeof(iSmall));
    struct sockaddr_in Sa;
    memset(&Sa, 0, sizeof(Sa));
    Sa.sin_family = AF_INET;
    Sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Sa.sin_port = htons(uPort);
    ASSERT_EQ(connect(fd, (struct sockaddr*)&Sa, sizeof(Sa)), 0);
    ASSERT_TRUE(SendAll(fd, "GET / HTTP/1.1\r\nHost: slow\r\n\r\n"));
    NOTE_S Note;
    ASSERT_TRUE(F.Ext.WaitNote(NOTE_ACCEPT, 0, &Note));
    u32 hRead = F.Node.Open(Note.strAddr, 0), hWrite = F.Node.Open(Note.strAddr, 1);
    ReadUntil(F.Node, hRead, 30);
    std::string strHead = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; strHead.size() < 30000; i++)
        strHead += "X-Filler-" + std::to_string(i) + ": " + std::string(100, 'f') + "\r\n";
    strHead += "\r\n";
    ASSERT_TRUE(WriteAll(F.Node, hWrite, strHead));
    CQVExtTcp::STAT_S St;
    F.Ext.GetStat(&St);
    EXPECT_EQ(St.uBuffers, 2u); // the request buffer and the held head
    if (bDisconnect) {
        F.Node.Close(hWrite);
        F.Node.Close(hRead);
        EXPECT_TRUE(F.Ext.Disconnect(Note.strAddr.c_str(), 0));
        F.Ext.GetStat(&St);
        EXPECT_EQ(St.uLinger, 1u);
    } else {
        F.Node.Close(hWrite);
    }
    int iEnd = -1;
    EXPECT_EQ(RecvAll(fd, &iEnd), strHead);
    EXPECT_EQ(iEnd, 0);
    close(fd);
    EndSession(F, Note.strAddr);
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Idle(1); }));
}

INSTANTIATE_TEST_SUITE_P(Cases, ExtTcpHttpSlow, ::testing::Values(false, true));

TEST_F(ExtTcpHttp, OversizedResponseHeadPassesUnchanged)
{
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    u16 uPort = Listen(F, QV_EXT_TCP_LISTEN_HTTP);
    int fd = ConnectTo(uPort);
    ASSERT_TRUE(SendAll(fd, "GET / HTTP/1.1\r\nHost: big\r\n\r\n"));
    NOTE_S Note;
    ASSERT_TRUE(F.Ext.WaitNote(NOTE_ACCEPT, 0, &Note));
    u32 hRead = F.Node.Open(Note.strAddr, 0), hWrite = F.Node.Open(Note.strAddr, 1);
    ReadUntil(F.Node, hRead, 29);
    std::string strAnswer = "HTTP/1.1 200 OK\r\nX-Huge: " + std::string(50000, 'h') + "\r\n\r\ntail";
    std::thread Writer([&] { WriteAll(F.Node, hWrite, strAnswer, 7000); });
    EXPECT_EQ(RecvN(fd, strAnswer.size()), strAnswer);
    Writer.join();
    close(fd);
    EndSession(F, Note.strAddr);
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Idle(1); }));
}

} // namespace
