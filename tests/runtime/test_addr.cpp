// Address record: text forms, areas, public tests, subnet match, host[:port] parsing, NAT64
// prefix and source address choice.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "qvSocketAddr.h"

namespace {

// Builds an address from a numeric IPv4 or IPv6 text.
QV_ADDR_S A(const char* lpszIP, u16 uPort = 0, u16 uExtra = 0)
{
    QV_ADDR_S Addr;
    memset(&Addr, 0, sizeof(Addr));
    if (strchr(lpszIP, ':'))
        EXPECT_EQ(1, inet_pton(AF_INET6, lpszIP, Addr.uAddr)) << lpszIP;
    else
        EXPECT_EQ(1, inet_pton(AF_INET, lpszIP, &Addr.uAddr[3])) << lpszIP;
    Addr.uPort = uPort;
    Addr.uExtra = uExtra;
    return Addr;
}

std::string Str(const QV_ADDR_S& Addr)
{
    char sz[QV_ADDR_STR_SIZE];
    EXPECT_EQ(1u, qvAddrToStr(&Addr, sz, sizeof(sz)));
    return sz;
}

std::string Readable(const QV_ADDR_S& Addr)
{
    char sz[QV_ADDR_STR_SIZE];
    EXPECT_EQ(1u, qvAddrToReadable(&Addr, sz, sizeof(sz)));
    return sz;
}

bool Same(const QV_ADDR_S& a, const QV_ADDR_S& b)
{
    return memcmp(&a, &b, sizeof(a)) == 0;
}

TEST(Addr, InternalTextForm)
{
    EXPECT_EQ("0:0:0:a000001:80:0", Str(A("10.0.0.1", 80)));
    EXPECT_EQ("20010db8:0:0:1:443:7", Str(A("2001:db8::1", 443, 7)));
    EXPECT_EQ("0:0:0:0:0:0", Str(A("0.0.0.0")));

    char szSmall[18]; // one byte short for "0:0:0:a000001:80:0"
    QV_ADDR_S Addr = A("10.0.0.1", 80);
    EXPECT_EQ(0u, qvAddrToStr(&Addr, szSmall, sizeof(szSmall)));
}

TEST(Addr, ParseInternalTextForm)
{
    struct {
        const char* lpszText;
        u32 uOk;
        const char* lpszIP;
        u16 uPort, uExtra;
    } cases[] = {
        {"0:0:0:a000001:80:0", 1, "10.0.0.1", 80, 0},
        {"0:0:0:10.0.0.1:80:0", 1, "10.0.0.1", 80, 0},
        {"20010DB8:0:0:1:443:7", 1, "2001:db8::1", 443, 7},
        {"0:0:0:0:65535:65535", 1, "0.0.0.0", 65535, 65535},
        {"", 0, nullptr, 0, 0},
        {"0:0:0:a000001:80", 0, nullptr, 0, 0},       // five fields
        {"0:0:0:a000001:80:0:1", 0, nullptr, 0, 0},   // seven fields
        {":::::", 0, nullptr, 0, 0},                  // empty fields
        {"0:0:0:g:80:0", 0, nullptr, 0, 0},
        {"0:0:0:123456789:80:0", 0, nullptr, 0, 0},   // more than 32 bits
        {"0:0:0:1:65536:0", 0, nullptr, 0, 0},
        {"0:0:0:1:4294967376:0", 0, nullptr, 0, 0},   // 2^32 + 80 must not wrap to 80
        {"0:0:0:1:80:70000", 0, nullptr, 0, 0},
        {"0:0:0:1:-1:0", 0, nullptr, 0, 0},
        {"0:0:0:1.2.3.256:80:0", 0, nullptr, 0, 0},
        {"0:0:0:1.2.3:80:0", 0, nullptr, 0, 0},
        {"0:0:0: 1:80:0", 0, nullptr, 0, 0},
    };
    for (auto& c : cases) {
        QV_ADDR_S Addr;
        memset(&Addr, 0xAB, sizeof(Addr));
        EXPECT_EQ(c.uOk, qvStrToAddr(c.lpszText, &Addr)) << c.lpszText;
        QV_ADDR_S Want;
        if (c.uOk)
            Want = A(c.lpszIP, c.uPort, c.uExtra);
        else
            memset(&Want, 0, sizeof(Want)); // zeroed even on failure
        EXPECT_TRUE(Same(Want, Addr)) << c.lpszText;
    }

    std::string strLong = "0:0:0:" + std::string(64, '0') + "1:80:0";
    QV_ADDR_S Addr;
    EXPECT_EQ(0u, qvStrToAddr(strLong.c_str(), &Addr));
    EXPECT_EQ(0u, qvStrToAddr(nullptr, &Addr));

    // Round trip.
    QV_ADDR_S Orig = A("fe80::1:2", 7000, 3), Back;
    EXPECT_EQ(1u, qvStrToAddr(Str(Orig).c_str(), &Back));
    EXPECT_TRUE(Same(Orig, Back));
}

TEST(Addr, ReadableForm)
{
    EXPECT_EQ("10.0.0.1:80", Readable(A("10.0.0.1", 80)));
    EXPECT_EQ("[2001:db8:0:0:0:0:0:1]:443", Readable(A("2001:db8::1", 443)));
    EXPECT_EQ("[0:0:0:0:0:0:0:1]:5", Readable(A("::1", 5)));
    EXPECT_EQ("0:0:0:0:9:0", Readable(A("0.0.0.0", 9)));

    char szSmall[8];
    QV_ADDR_S Addr = A("10.0.0.1", 80);
    EXPECT_EQ(0u, qvAddrToReadable(&Addr, szSmall, sizeof(szSmall)));
}

TEST(Addr, Compare)
{
    QV_ADDR_S a = A("10.0.0.1", 80), b = A("10.0.0.2", 1);
    EXPECT_EQ(-1, qvAddrCompare(&a, &b));
    EXPECT_EQ(1, qvAddrCompare(&b, &a));
    // The last word decides before the first ones.
    QV_ADDR_S c = A("ffff::1"), d = A("::2");
    EXPECT_EQ(-1, qvAddrCompare(&c, &d));
    // Then the port; the extra word is not compared.
    QV_ADDR_S e = A("10.0.0.1", 81, 1), f = A("10.0.0.1", 81, 2);
    EXPECT_EQ(-1, qvAddrCompare(&a, &e));
    EXPECT_EQ(0, qvAddrCompare(&e, &f));
}

TEST(Addr, VersionAreaAndPublic)
{
    struct {
        const char* lpszIP;
        u32 uVer, uArea, uPublic;
    } cases[] = {
        {"127.0.0.1", 0, 0, 0},     {"10.1.1.1", 0, 1, 0},       {"100.64.0.1", 0, 1, 0},
        {"100.127.255.255", 0, 1, 0}, {"100.128.0.1", 0, 2, 1},  {"172.16.0.1", 0, 1, 0},
        {"172.31.255.1", 0, 1, 0},  {"172.32.0.1", 0, 2, 1},     {"192.168.1.1", 0, 1, 0},
        {"169.254.1.1", 0, 1, 0},   {"0.1.2.3", 0, 1, 0},        {"8.8.8.8", 0, 2, 1},
        {"::1", 1, 3, 0},           {"fe80::1", 1, 4, 0},        {"febf::1", 1, 4, 0},
        {"fec0::1", 1, 4, 0},       {"fc00::1", 1, 5, 1},        {"2001:db8::1", 1, 5, 1},
        {"fe7f::1", 1, 5, 1},       {"0.0.0.0", 2, 6, 0},
    };
    for (auto& c : cases) {
        QV_ADDR_S Addr = A(c.lpszIP, 80);
        EXPECT_EQ(c.uVer, qvAddrIPVer(&Addr)) << c.lpszIP;
        EXPECT_EQ(c.uArea, qvAddrIPArea(&Addr)) << c.lpszIP;
        EXPECT_EQ(c.uPublic, qvAddrIsPublic(&Addr)) << c.lpszIP;
        if (c.uVer == 0) {
            EXPECT_EQ(c.uPublic, qvIsPubAddr(Addr.uAddr[3])) << c.lpszIP;
        }
    }
}

TEST(Addr, MatchSubnet)
{
    struct {
        const char *a, *b;
        u32 uMatch;
    } cases[] = {
        {"192.168.1.2", "203.0.113.5", 1}, {"203.0.113.5", "192.168.1.2", 0},
        {"203.0.113.5", "8.8.8.8", 1},     {"127.0.0.1", "127.0.0.2", 1},
        {"127.0.0.1", "10.0.0.1", 0},      {"10.0.0.1", "127.0.0.1", 0},
        {"10.0.0.1", "192.168.0.1", 1},    {"10.0.0.1", "2001:db8::1", 0},
        {"0.0.0.0", "0.0.0.0", 0},         {"::1", "::1", 1},
        {"::1", "2001:db8::1", 0},         {"fe80::1", "fe80::2", 1},
        {"fe80::1", "fec0::1", 0},         {"fec0::1", "fec0::2", 1},
        {"fec0::1", "fe80::2", 0},         {"2001:db8::1", "fe80::1", 0},
        {"2001:db8::1", "fec0::1", 0},     {"2001:db8::1", "3001::1", 1},
    };
    for (auto& c : cases) {
        QV_ADDR_S a = A(c.a), b = A(c.b);
        EXPECT_EQ(c.uMatch, qvAddrMatchSubnet(&a, &b)) << c.a << " / " << c.b;
    }
}

TEST(Addr, LiteralTests)
{
    struct {
        const char* lpszText;
        u32 uV4, uV6;
    } cases[] = {
        {"1.2.3.4", 1, 0},     {"255.255.255.255", 1, 0}, {"1.2.3", 0, 0},
        {"1.2.3.4.5", 0, 0},   {"1234.1.1.1", 0, 0},      {"1.2.3.a", 0, 0},
        {"::1", 0, 1},         {"2001:db8::1", 0, 1},     {"1:2:3:4:5:6:7:8", 0, 1},
        {"1:2:3:4:5:6:7:8:9", 0, 0}, {"12345::1", 0, 0},  {"fe80::1%eth0", 0, 0},
        {":", 0, 0},           {"", 0, 0},                {"host.example", 0, 0},
    };
    for (auto& c : cases) {
        EXPECT_EQ(c.uV4, IsIPv4(c.lpszText)) << c.lpszText;
        EXPECT_EQ(c.uV6, IsIPv6(c.lpszText)) << c.lpszText;
    }
}

TEST(Addr, ParseHostAndPort)
{
    struct {
        const char* lpszText;
        u32 uOk;
        const char *lpszHost, *lpszPort;
    } cases[] = {
        {"host", 1, "host", ""},
        {"host:80", 1, "host", "80"},
        {"host:", 1, "host", ""},
        {"1.2.3.4:80", 1, "1.2.3.4", "80"},
        {"[2001:db8::1]:443", 1, "2001:db8::1", "443"},
        {"[2001:db8::1]", 0, nullptr, nullptr}, // the port part is "1]"
        {"host:8a", 0, nullptr, nullptr},
        {"host:-1", 0, nullptr, nullptr},
        {"", 1, "", ""},
    };
    for (auto& c : cases) {
        char szHost[32], szPort[8];
        EXPECT_EQ(c.uOk, qvParseDomainIPnPort(c.lpszText, szHost, sizeof(szHost), szPort,
                                              sizeof(szPort)))
            << c.lpszText;
        if (c.uOk) {
            EXPECT_STREQ(c.lpszHost, szHost) << c.lpszText;
            EXPECT_STREQ(c.lpszPort, szPort) << c.lpszText;
        }
    }
    // Parts that do not fit their buffers.
    char szHost[5], szPort[3];
    EXPECT_EQ(1u, qvParseDomainIPnPort("abcd:12", szHost, sizeof(szHost), szPort, sizeof(szPort)));
    EXPECT_EQ(0u, qvParseDomainIPnPort("abcde:12", szHost, sizeof(szHost), szPort, sizeof(szPort)));
    EXPECT_EQ(0u, qvParseDomainIPnPort("abcd:123", szHost, sizeof(szHost), szPort, sizeof(szPort)));
    EXPECT_EQ(0u, qvParseDomainIPnPort("abcde", szHost, sizeof(szHost), szPort, sizeof(szPort)));
    EXPECT_EQ(0u, qvParseDomainIPnPort(nullptr, szHost, sizeof(szHost), szPort, sizeof(szPort)));
}

TEST(Addr, TextClassification)
{
    struct {
        const char* lpszText;
        u32 uInternal, uIPnPort, uVer;
    } cases[] = {
        {"0:0:0:a000001:80:0", 1, 0, 0},
        {"20010db8:0:0:1:443:0", 1, 0, 1},
        {"0:0:0:0:0:0", 1, 0, 2},
        {"a:b:c:d:e", 1, 0, 2}, // internal form that does not parse
        {"1.2.3.4:80", 0, 1, 0},
        {"1.2.3.4", 0, 1, 0},
        {"[2001:db8::1]:443", 0, 1, 1},
        {"[2001:db8::1]", 0, 0, 2},
        {"example.test:80", 0, 0, 2},
        {"[1:2:3:4]:5", 0, 1, 1},
    };
    for (auto& c : cases) {
        EXPECT_EQ(c.uInternal, qvIsQuarlinAddr(c.lpszText)) << c.lpszText;
        EXPECT_EQ(c.uIPnPort, qvAddrIsIPnPort(c.lpszText)) << c.lpszText;
        EXPECT_EQ(c.uVer, qvAddrStrIPVer(c.lpszText)) << c.lpszText;
    }
}

TEST(Addr, Nat64Prefix)
{
    QV_SKT_ADDR_NAT64_STA_S Sta;
    memset(&Sta, 0x5A, sizeof(Sta));
    qvSocketAddrNat64Init(&Sta);
    EXPECT_EQ(0u, Sta.uSet);

    QV_ADDR_S v6 = A("64:ff9b:1:2::c000:201"), v6b = A("2001:db8:1:2::1"), v4 = A("192.0.2.1");
    QV_ADDR_S Addr = A("64:ff9b:1:2::c633:6401", 9);
    EXPECT_EQ(0u, qvSocketAddrNat64Is(&Sta, &Addr));
    EXPECT_EQ(0u, qvSocketAddrNat64Fill(&Sta, &Addr));

    EXPECT_EQ(0u, qvSocketAddrNat64Set(&Sta, &v4, &v4));
    EXPECT_EQ(0u, qvSocketAddrNat64Set(&Sta, &v6, &v6));
    EXPECT_EQ(0u, Sta.uSet);
    EXPECT_EQ(1u, qvSocketAddrNat64Set(&Sta, &v6, &v4));
    EXPECT_EQ(1u, qvSocketAddrNat64Set(&Sta, &v6b, &v4)); // the first prefix stays
    EXPECT_EQ(1u, qvSocketAddrNat64Is(&Sta, &Addr));
    EXPECT_EQ(0u, qvSocketAddrNat64Is(&Sta, &v6b));

    EXPECT_EQ(1u, qvSocketAddrNat64Remove(&Sta, &Addr));
    EXPECT_TRUE(Same(A("198.51.100.1", 9), Addr));
    EXPECT_EQ(0u, qvSocketAddrNat64Remove(&Sta, &Addr));

    EXPECT_EQ(1u, qvSocketAddrNat64Fill(&Sta, &Addr));
    EXPECT_EQ("64:ff9b:1:2::c633:6401", [&] {
        char sz[64];
        inet_ntop(AF_INET6, Addr.uAddr, sz, sizeof(sz));
        return std::string(sz);
    }());
}

TEST(Addr, SockAddrConversion)
{
    struct sockaddr_storage Sa;
    QV_ADDR_S v4 = A("10.1.2.3", 4000, 9), v6 = A("2001:db8::5", 5000), Back;
    ASSERT_EQ(sizeof(struct sockaddr_in), qvAddrToSockAddr(&v4, 0, &Sa));
    ASSERT_EQ(1u, qvAddrFromSockAddr((struct sockaddr*)&Sa, &Back));
    EXPECT_TRUE(Same(A("10.1.2.3", 4000), Back)); // the extra word does not travel
    ASSERT_EQ(sizeof(struct sockaddr_in6), qvAddrToSockAddr(&v6, 1, &Sa));
    ASSERT_EQ(1u, qvAddrFromSockAddr((struct sockaddr*)&Sa, &Back));
    EXPECT_TRUE(Same(v6, Back));
    EXPECT_EQ(0u, qvAddrToSockAddr(&v6, 2, &Sa));
    Sa.ss_family = AF_UNIX;
    EXPECT_EQ(0u, qvAddrFromSockAddr((struct sockaddr*)&Sa, &Back));
}

TEST(Addr, SelectSourceAddress)
{
    QV_ADDR_S Out, Toward = A("127.0.0.1", 9);
    ASSERT_EQ(1u, qvSelectAddr(&Out, &Toward, 1));
    EXPECT_TRUE(Same(A("127.0.0.1"), Out));

    int hProbe = socket(AF_INET6, SOCK_DGRAM, 0);
    if (hProbe >= 0) {
        close(hProbe);
        Toward = A("::1", 9);
        if (qvSelectAddr(&Out, &Toward, 0)) {
            EXPECT_TRUE(Same(A("::1"), Out));
        }
    }

    QV_ADDR_S Empty;
    memset(&Empty, 0, sizeof(Empty));
    EXPECT_EQ(0u, qvSelectAddr(&Out, &Empty, 1));
}

} // namespace
