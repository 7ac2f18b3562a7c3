// The HTTP readers of the TCP forwarding extension on their own: request heads cut at every
// length, hostile lengths and values, the proxy rewrite and filters, response heads and
// chunked bodies fed in every split, and random bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "qvExtTcpHttp.h"

namespace {

u32 Parse(const std::string& str, QV_HTTP_REQ_S* lpReq)
{
    return qvHttpRequestParse(str.data(), (u32)str.size(), lpReq);
}

TEST(ExtTcpParse, RequestIsReadOnlyWhenWhole)
{
    const std::string REQ = "POST /up?a=1 HTTP/1.0\r\nHost: files.lan:8080\r\nContent-Type: text/plain\r\n"
                            "Content-Length: 12\r\n\r\nbody follows";
    const u32 HEAD = (u32)REQ.find("\r\n\r\n") + 4;
    QV_HTTP_REQ_S Req;
    for (u32 i = 0; i < HEAD; i++)
        ASSERT_EQ(qvHttpRequestParse(REQ.data(), i, &Req), (u32)QV_HTTP_PARSE_MORE) << i;
    ASSERT_EQ(Parse(REQ, &Req), (u32)QV_HTTP_PARSE_DONE);
    EXPECT_EQ(Req.uMethod, (u32)QV_HTTP_POST);
    EXPECT_EQ(Req.uHeadLen, HEAD);
    EXPECT_STREQ(Req.szVersion, "1.0");
    EXPECT_STREQ(Req.szTarget, "/up?a=1");
    EXPECT_STREQ(Req.szHost, "files.lan:8080");
    EXPECT_STREQ(Req.szContentType, "text/plain");
    EXPECT_EQ(Req.uHasContentLen, 1u);
    EXPECT_EQ(Req.uContentLen, 12u);
}

struct REQ_CASE_S {
    const char* lpszName;
    std::string strHead;
    u32 uResult;
};

class ExtTcpParseReq : public ::testing::TestWithParam<REQ_CASE_S> {};

TEST_P(ExtTcpParseReq, Verdict)
{
    QV_HTTP_REQ_S Req;
    EXPECT_EQ(Parse(GetParam().strHead, &Req), GetParam().uResult);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtTcpParseReq,
    ::testing::Values(
        REQ_CASE_S{"Empty", "", QV_HTTP_PARSE_MORE},
        REQ_CASE_S{"MethodCut", "OPTIO", QV_HTTP_PARSE_MORE},
        REQ_CASE_S{"UnknownMethod", "PUT / HTTP/1.1\r\n\r\n", QV_HTTP_PARSE_RAW},
        REQ_CASE_S{"LowerCaseMethod", "get / HTTP/1.1\r\n\r\n", QV_HTTP_PARSE_RAW},
        REQ_CASE_S{"LineTooShort", "GET / HTTP\r\n\r\n", QV_HTTP_PARSE_RAW},
        REQ_CASE_S{"VersionTooFarLeft", "GET HTTP/1.1 /aaaaaaaaaaaa\r\n\r\n", QV_HTTP_PARSE_RAW},
        REQ_CASE_S{"NoEmptyLine", "GET / HTTP/1.1\r\nHost: a\r\n", QV_HTTP_PARSE_MORE},
        REQ_CASE_S{"BareLineFeeds", "GET / HTTP/1.1\n\n", QV_HTTP_PARSE_MORE},
        REQ_CASE_S{"Plain", "GET / HTTP/1.1\r\n\r\n", QV_HTTP_PARSE_DONE},
        REQ_CASE_S{"LengthMax", "POST / HTTP/1.1\r\nContent-Length: 4294967294\r\n\r\n", QV_HTTP_PARSE_DONE},
        REQ_CASE_S{"LengthChunkMark", "POST / HTTP/1.1\r\nContent-Length: 4294967295\r\n\r\n", QV_HTTP_PARSE_BAD},
        REQ_CASE_S{"LengthOverflow", "POST / HTTP/1.1\r\nContent-Length: 18446744073709551617\r\n\r\n",
                   QV_HTTP_PARSE_BAD},
        REQ_CASE_S{"LengthNegative", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", QV_HTTP_PARSE_BAD},
        REQ_CASE_S{"LengthSigned", "POST / HTTP/1.1\r\nContent-Length: +5\r\n\r\n", QV_HTTP_PARSE_BAD},
        REQ_CASE_S{"LengthEmpty", "POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", QV_HTTP_PARSE_BAD},
        REQ_CASE_S{"LengthTwoSame", "POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\n",
                   QV_HTTP_PARSE_DONE},
        REQ_CASE_S{"LengthOnGetIgnored", "GET / HTTP/1.1\r\nContent-Length: zz\r\n\r\n", QV_HTTP_PARSE_DONE},
        REQ_CASE_S{"HostSpace", "GET / HTTP/1.1\r\nHost: a b\r\n\r\n", QV_HTTP_PARSE_BAD},
        REQ_CASE_S{"HostQuery", "GET / HTTP/1.1\r\nHost: a?Tunnel=x\r\n\r\n", QV_HTTP_PARSE_BAD},
        REQ_CASE_S{"HostControl", std::string("GET / HTTP/1.1\r\nHost: a\x01\r\n\r\n"), QV_HTTP_PARSE_BAD},
        REQ_CASE_S{"HostEmpty", "GET / HTTP/1.1\r\nHost: \r\n\r\n", QV_HTTP_PARSE_BAD},
        REQ_CASE_S{"HostIPv6", "GET / HTTP/1.1\r\nHost: [fe80::1]:80\r\n\r\n", QV_HTTP_PARSE_DONE},
        REQ_CASE_S{"ConnectNoTarget", "CONNECT  HTTP/1.1\r\n\r\n", QV_HTTP_PARSE_BAD},
        REQ_CASE_S{"ConnectTarget127", "CONNECT " + std::string(125, 'h') + ":1 HTTP/1.1\r\n\r\n",
                   QV_HTTP_PARSE_DONE},
        REQ_CASE_S{"ConnectTarget128", "CONNECT " + std::string(126, 'h') + ":1 HTTP/1.1\r\n\r\n",
                   QV_HTTP_PARSE_BAD}),
    [](const ::testing::TestParamInfo<REQ_CASE_S>& Info) { return std::string(Info.param.lpszName); });

TEST(ExtTcpParse, OverlongValuesAreLeftOut)
{
    QV_HTTP_REQ_S Req;
    // A Host value of 128 characters or more and any header line of 256 or more are ignored.
    ASSERT_EQ(Parse("GET / HTTP/1.1\r\nHost: " + std::string(128, 'h') + "\r\n\r\n", &Req),
              (u32)QV_HTTP_PARSE_DONE);
    EXPECT_EQ(Req.uHasHost, 0u);
    ASSERT_EQ(Parse("GET / HTTP/1.1\r\nHost: " + std::string(127, 'h') + "\r\n\r\n", &Req),
              (u32)QV_HTTP_PARSE_DONE);
    EXPECT_EQ(strlen(Req.szHost), 127u);
    ASSERT_EQ(Parse("OPTIONS / HTTP/1.1\r\nOrigin: " + std::string(300, 'o') + "\r\n\r\n", &Req),
              (u32)QV_HTTP_PARSE_DONE);
    EXPECT_STREQ(Req.szOrigin, "");
    // Echoed values lose nothing but may not carry control characters.
    ASSERT_EQ(Parse("OPTIONS / HTTP/1.1\r\nOrigin: a\nSet-Cookie: x\r\n\r\n", &Req), (u32)QV_HTTP_PARSE_DONE);
    EXPECT_STREQ(Req.szOrigin, "");
    // A target longer than 1023 characters is kept empty.
    ASSERT_EQ(Parse("GET /" + std::string(1023, 't') + " HTTP/1.1\r\n\r\n", &Req), (u32)QV_HTTP_PARSE_DONE);
    EXPECT_STREQ(Req.szTarget, "");
    ASSERT_EQ(Parse("GET /" + std::string(1022, 't') + " HTTP/1.1\r\n\r\n", &Req), (u32)QV_HTTP_PARSE_DONE);
    EXPECT_EQ(strlen(Req.szTarget), 1023u);
}

TEST(ExtTcpParse, RandomBytesNeverCrash)
{
    std::mt19937 Rng(12345);
    const std::string ALPHABET = "GETPOSHADCNIpostget /:\r\n\r\n0123456789abcdefHTTP/1.1 Host: Content-Length: ";
    for (int i = 0; i < 20000; i++) {
        std::string str;
        size_t n = Rng() % 200;
        for (size_t j = 0; j < n; j++)
            str += (Rng() % 4) ? ALPHABET[Rng() % ALPHABET.size()] : (char)(Rng() & 0xFF);
        QV_HTTP_REQ_S Req;
        u32 r = Parse(str, &Req);
        ASSERT_LE(r, (u32)QV_HTTP_PARSE_BAD);
        if (r == QV_HTTP_PARSE_DONE) {
            ASSERT_LE(Req.uHeadLen, str.size());
            ASSERT_LT(strlen(Req.szHost), sizeof(Req.szHost));
        }
        QV_HTTP_RESP_S Resp;
        qvHttpResponseParse(str.data(), (u32)str.size(), &Resp);
        u32 uLen = (u32)str.size();
        std::string strBuf = str + std::string(64, '\0');
        qvHttpProxyRewrite(&strBuf[0], &uLen, nullptr);
        ASSERT_LE(uLen, str.size());
        CQVHttpChunk Chunk;
        u32 uUsed = 0;
        Chunk.Feed((const u8*)str.data(), (u32)str.size(), &uUsed);
        ASSERT_LE(uUsed, str.size());
    }
}

TEST(ExtTcpParse, ProxyRewrite)
{
    struct {
        std::string strIn, strOut;
        u32 uProxyConn;
    } Cases[] = {
        {"GET http://h:81/p?q HTTP/1.1\r\nHost: h\r\nProxy-Connection: close\r\n\r\n",
         "GET /p?q HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n", 1},
        // No path behind the host: nothing is rewritten, the later lines included.
        {"GET http://h HTTP/1.1\r\nProxy-Connection: close\r\n\r\n",
         "GET http://h HTTP/1.1\r\nProxy-Connection: close\r\n\r\n", 0},
        {"GET /p HTTP/1.1\r\nProxy-Connection: close\r\n\r\n", "GET /p HTTP/1.1\r\nProxy-Connection: close\r\n\r\n", 0},
        {"POST    http://h/x HTTP/1.1\r\n\r\n", "POST    http://h/x HTTP/1.1\r\n\r\n", 0},
    };
    for (auto& C : Cases) {
        std::string str = C.strIn;
        u32 uLen = (u32)str.size(), uProxy = 0;
        qvHttpProxyRewrite(&str[0], &uLen, &uProxy);
        EXPECT_EQ(str.substr(0, uLen), C.strOut);
        EXPECT_EQ(uProxy, C.uProxyConn);
    }
}

TEST(ExtTcpParse, Filters)
{
    QV_EXT_TCP_FILTER_S F[QV_EXT_TCP_FILTER_MAX];
    memset(F, 0, sizeof(F));
    F[0] = {0, "/EXACT"};
    F[1] = {1, "/pre"};
    F[2] = {2, ".gif"};
    F[3] = {3, "mid"};
    F[4] = {4, "a=1"};
    F[5] = {5, "b="};
    F[6] = {6, "=z"};
    F[7] = {7, "TRACK"};
    F[8] = {8, "/never"}; // no such type
    F[9] = {2, ""};       // empty
    EXPECT_TRUE(qvHttpFilterMatch(F, 10, "/exact"));
    EXPECT_FALSE(qvHttpFilterMatch(F, 10, "/exactly"));
    EXPECT_TRUE(qvHttpFilterMatch(F, 10, "/prefix/x"));
    EXPECT_TRUE(qvHttpFilterMatch(F, 10, "/img/a.GIF?x"));
    EXPECT_TRUE(qvHttpFilterMatch(F, 10, "/aMIDb"));
    EXPECT_TRUE(qvHttpFilterMatch(F, 10, "/q?a=1"));
    EXPECT_TRUE(qvHttpFilterMatch(F, 10, "/q?b=2"));
    EXPECT_TRUE(qvHttpFilterMatch(F, 10, "/q?x=z"));
    EXPECT_TRUE(qvHttpFilterMatch(F, 10, "/q?x&track"));
    EXPECT_FALSE(qvHttpFilterMatch(F, 10, "/never"));
    EXPECT_FALSE(qvHttpFilterMatch(F, 10, "/q?a=12"));
    // The query part is not a path and the path is not a query.
    EXPECT_FALSE(qvHttpFilterMatch(F, 10, "/x?/pre"));
    EXPECT_FALSE(qvHttpFilterMatch(F, 10, "/a=1"));
    // Only the rules counted are used, at most 32.
    EXPECT_FALSE(qvHttpFilterMatch(F, 1, "/prefix"));
    EXPECT_TRUE(qvHttpFilterMatch(F, 1000, "/prefix"));
    // A pattern without its terminating zero is skipped.
    memset(F[0].szText, 'x', sizeof(F[0].szText));
    EXPECT_FALSE(qvHttpFilterMatch(F, 1, std::string(40, 'x').c_str()));
}

TEST(ExtTcpParse, ResponseHeads)
{
    QV_HTTP_RESP_S R;
    std::string str = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 42\r\n\r\n";
    ASSERT_EQ(qvHttpResponseParse(str.data(), (u32)str.size(), &R), (u32)QV_HTTP_PARSE_DONE);
    EXPECT_EQ(R.uStatus, 200u);
    EXPECT_EQ(R.uHasLength, 1u);
    EXPECT_EQ(R.uContentLen, 42u);
    EXPECT_STREQ(R.szContentType, "text/html");
    str = "HTTP/1.1 200 OK\r\nContent-Length: 42\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n";
    ASSERT_EQ(qvHttpResponseParse(str.data(), (u32)str.size(), &R), (u32)QV_HTTP_PARSE_DONE);
    EXPECT_EQ(R.uContentLen, QV_HTTP_CHUNKED);
    str = "HTTP/1.0 404 Not Found\r\n\r\n";
    ASSERT_EQ(qvHttpResponseParse(str.data(), (u32)str.size(), &R), (u32)QV_HTTP_PARSE_DONE);
    EXPECT_EQ(R.uStatus, 404u);
    EXPECT_EQ(R.uHasLength, 0u);
    for (const char* lpsz : {"HTTP/1.1 20\r\n\r\n", "XTTP/1.1 200 OK\r\n\r\n",
                             "HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n",
                             "HTTP/1.1 200 OK\r\nContent-Length: 4294967295\r\n\r\n",
                             "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n"}) {
        str = lpsz;
        EXPECT_EQ(qvHttpResponseParse(str.data(), (u32)str.size(), &R), (u32)QV_HTTP_PARSE_RAW) << lpsz;
    }
    // "Proxy-" goes back in front of Connection lines only while there is room.
    char szHead[80] = "HTTP/1.1 200 OK\r\nConnection: a\r\nConnection: b\r\n\r\n";
    u32 uLen = (u32)strlen(szHead);
    qvHttpResponseProxyConn(szHead, &uLen, uLen + 6);
    EXPECT_EQ(std::string(szHead, uLen), "HTTP/1.1 200 OK\r\nProxy-Connection: a\r\nConnection: b\r\n\r\n");
}

TEST(ExtTcpParse, HeadEnd)
{
    std::string str = "ab\r\n\r\ncd";
    EXPECT_EQ(qvHttpHeadEnd(str.data(), (u32)str.size(), 0), 6u);
    EXPECT_EQ(qvHttpHeadEnd(str.data(), 5, 0), 0u);
    EXPECT_EQ(qvHttpHeadEnd(str.data(), (u32)str.size(), 2), 6u);
    EXPECT_EQ(qvHttpHeadEnd(str.data(), (u32)str.size(), 3), 0u);
    EXPECT_EQ(qvHttpHeadEnd(str.data(), (u32)str.size(), 100), 0u);
}

// A chunked body fed in every two-piece split ends exactly at its last byte.
TEST(ExtTcpParse, ChunkedBodyEndsAtItsLastByte)
{
    const std::string BODY = "4\r\nWiki\r\n5;name=v\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n0\r\nExpires: x\r\n\r\n";
    const std::string AFTER = "HTTP/1.1 200 OK";
    std::string str = BODY + AFTER;
    for (size_t uSplit = 0; uSplit <= str.size(); uSplit++) {
        CQVHttpChunk Chunk;
        u32 uUsed = 0, uTotal = 0;
        u32 r = Chunk.Feed((const u8*)str.data(), (u32)uSplit, &uUsed);
        uTotal += uUsed;
        if (r == 0) {
            ASSERT_EQ(uUsed, uSplit);
            r = Chunk.Feed((const u8*)str.data() + uSplit, (u32)(str.size() - uSplit), &uUsed);
            uTotal += uUsed;
        }
        ASSERT_EQ(r, 1u) << uSplit;
        ASSERT_EQ(uTotal, BODY.size()) << uSplit;
    }
}

TEST(ExtTcpParse, ChunkedBodyThatBreaksTheFormat)
{
    for (const char* lpsz : {"zz\r\n", "\r\n", "5\r\nhello0\r\n\r\n", "5\rX", "1234567890abcdef0\r\n",
                             "-1\r\n"}) {
        CQVHttpChunk Chunk;
        u32 uUsed = 0;
        EXPECT_EQ(Chunk.Feed((const u8*)lpsz, (u32)strlen(lpsz), &uUsed), 2u) << lpsz;
    }
    // A chunk of 2^56 bytes (15 digits, the most taken) is followed, not wrapped.
    CQVHttpChunk Chunk;
    u32 uUsed = 0;
    std::string str = "100000000000000\r\n" + std::string(1000, 'd');
    EXPECT_EQ(Chunk.Feed((const u8*)str.data(), (u32)str.size(), &uUsed), 0u);
    EXPECT_EQ(uUsed, str.size());
    // Extensions and trailers are held to a bounded length.
    CQVHttpChunk Long;
    str = "1;" + std::string(9000, 'e');
    EXPECT_EQ(Long.Feed((const u8*)str.data(), (u32)str.size(), &uUsed), 2u);
}

} // namespace
