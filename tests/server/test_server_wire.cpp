// The test rendezvous server's readers against hostile input (truncated, oversized lengths,
// bad letters and types, random bytes), and its station on its own: 'H' answered with 'I' and
// the name kept, accounts from the command line and a file, proxy requests and replies passed on through holes, holes ageing, tables
// bounded.
#include <arpa/inet.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kvAddr4.h"
#include "kvSrvAccounts.h"
#include "kvSrvStation.h"
#include "kvSrvWire.h"
#include "qvUtilize.h"

using namespace kvsrv;

namespace {

std::vector<u8> Cc(char letter, u32 len, u8 flags = 0)
{
    std::vector<u8> m(len, 0);
    m[1] = (u8)letter;
    m[2] = flags;
    return m;
}

// A payload made of a header of n zero bytes and the given strings.
std::vector<u8> WithStrings(u32 header, const std::vector<std::string>& strs)
{
    std::vector<u8> v(header, 0);
    for (const std::string& s : strs) {
        size_t at = v.size();
        v.resize(at + 4 + ((s.size() + 4) & ~(size_t)3));
        qvStrPush(v.data() + at, (u32)(v.size() - at), s.c_str());
    }
    return v;
}

// h = h * 31 + byte over the name, 32-bit.
u32 NameHash(const char* s)
{
    u32 h = 0;
    for (; *s; s++)
        h = h * 31 + (u8)*s;
    return h;
}

struct Sent {
    QV_ADDR_S to;
    std::vector<u8> data;
};

}  // namespace

TEST(ServerWire, ConnectControlFormsAreToldApartByLength)
{
    struct Case {
        char letter;
        u32 len;
        bool ok;
        bool full;
        u32 used;
    } cases[] = {
        {'H', 83, false, false, 0},   {'H', 84, true, false, 84},   {'H', 211, true, false, 84},
        {'H', 212, true, false, 212}, {'H', 900, true, false, 212}, {'D', 84, true, false, 84},
        {'D', 85, false, false, 0},   {'D', 323, false, false, 0},  {'D', 324, true, true, 324},
        {'D', 2000, true, true, 324}, {'F', 200, false, false, 0},  {'F', 84, true, false, 84},
        {'E', 84, false, false, 0},   {'G', 324, false, false, 0},  {'I', 124, false, false, 0},
        {'A', 84, false, false, 0},   {'Q', 100, false, false, 0},  {'K', 84, false, false, 0},
    };
    for (const Case& c : cases) {
        std::vector<u8> m = Cc(c.letter, c.len);
        CcMsg out;
        EXPECT_EQ(c.ok, CcParse(m.data(), (u32)m.size(), &out)) << c.letter << " " << c.len;
        if (c.ok) {
            EXPECT_EQ(c.full, out.full) << c.letter << " " << c.len;
            EXPECT_EQ(c.used, out.len) << c.letter << " " << c.len;
        }
    }
    std::vector<u8> bad = Cc('H', 84);
    bad[0] = 1;
    CcMsg out;
    EXPECT_FALSE(CcParse(bad.data(), 84, &out));
    EXPECT_FALSE(CcParse(nullptr, 84, &out));
}

TEST(ServerWire, MainReplyEchoesTheRequestAndNamesTheSource)
{
    QV_ADDR_S src = V4("10.1.0.12", 40000);
    QV_ADDR_PAIR_S pair;
    memset(&pair, 0, sizeof(pair));
    pair.Addr4 = V4("10.1.0.13", 7781);
    std::vector<u8> h = Cc('H', 212);
    WrRec(h.data(), kRec0, V4("10.9.0.1", 1), 0);
    memcpy(&h[84], "alice", 5);
    CcMsg m;
    ASSERT_TRUE(CcParse(h.data(), 212, &m));
    EXPECT_EQ("alice", CcMainName(m));
    std::vector<u8> r = BuildMainReply(m, src, &pair);
    ASSERT_EQ(124u, r.size());
    EXPECT_EQ('I', r[1]);
    EXPECT_EQ(kCcRec1, r[2] & kCcRec1);
    EXPECT_TRUE(SameAddr(src, RdRec(r.data(), kRec1)));
    EXPECT_TRUE(SameAddr(V4("10.9.0.1", 1), RdRec(r.data(), kRec0)));
    EXPECT_TRUE(SameAddr(pair.Addr4, RdRec(r.data(), 84)));
    EXPECT_EQ(0, RdRec(r.data(), 104).uPort);
    // Without a terminator inside its 128 bytes the name is not read.
    memset(&h[84], 'x', 128);
    ASSERT_TRUE(CcParse(h.data(), 212, &m));
    EXPECT_EQ("", CcMainName(m));
    // A short 'H' gets a short 'I'.
    ASSERT_TRUE(CcParse(h.data(), 100, &m));
    EXPECT_EQ(84u, BuildMainReply(m, src, &pair).size());
}

TEST(ServerWire, LoopReplyEchoesTheNatFields)
{
    std::vector<u8> q(136, 0);
    q[1] = kUdpLoopReq;
    q[2] = 1;
    for (u32 i = 44; i < 56; i++)
        q[i] = (u8)i;
    std::vector<u8> r;
    QV_ADDR_S src = V4("10.1.0.12", 40000);
    ASSERT_TRUE(BuildLoopReply(q.data(), 136, src, &r));
    ASSERT_EQ(kLoopLen, r.size());
    EXPECT_EQ(kUdpLoopReply, r[1]);
    EXPECT_EQ(1, r[2]);
    EXPECT_EQ(0, memcmp(&r[4], &src.uAddr[3], 4));
    EXPECT_EQ(40000u, Rd16(&r[8]));
    EXPECT_EQ(0, memcmp(&r[44], &q[44], 12));
    EXPECT_FALSE(BuildLoopReply(q.data(), 55, src, &r));
    q[1] = 0x8d;
    EXPECT_FALSE(BuildLoopReply(q.data(), 136, src, &r));
}

TEST(ServerWire, SyncReportsAreReadOnlyWhenWhole)
{
    Sync s;
    s.object = 0x10001;
    s.time = 1234;
    s.cookie = 0xCAFE;
    s.flags = 1;
    s.name = "alice";
    std::vector<u8> good = BuildSync(s);
    Sync out;
    ASSERT_TRUE(ParseSync(good.data(), (u32)good.size(), &out));
    EXPECT_EQ(0x10001u, out.object);
    EXPECT_EQ(1234u, out.time);
    EXPECT_EQ(0xCAFEu, out.cookie);
    EXPECT_EQ("alice", out.name);
    EXPECT_EQ("", out.group);

    std::vector<u8> longName = WithStrings(32, {std::string(129, 'n'), ""});
    std::vector<u8> noGroup = WithStrings(32, {"alice"});
    std::vector<u8> hugeLen = good;
    Wr32(&hugeLen[32], 0x7FFFFFF0);
    std::vector<u8> zeroLen = good;
    Wr32(&zeroLen[32], 0);
    std::vector<u8> noNul = good;
    noNul[36 + 5] = 'x';   // the name's terminator overwritten
    struct Case {
        const char* name;
        std::vector<u8> bytes;
        u32 len;
    } cases[] = {
        {"36 bytes", good, 36},
        {"cut inside the group", good, (u32)good.size() - 1},
        {"name of 129 characters", longName, (u32)longName.size()},
        {"no group", noGroup, (u32)noGroup.size()},
        {"length past the payload", hugeLen, (u32)hugeLen.size()},
        {"length 0", zeroLen, (u32)zeroLen.size()},
        {"no terminator", noNul, (u32)noNul.size()},
    };
    for (const Case& c : cases)
        EXPECT_FALSE(ParseSync(c.bytes.data(), c.len, &out)) << c.name;
}

TEST(ServerWire, LoginsAreReadOnlyWithinTheirLimits)
{
    std::vector<u8> good = WithStrings(32, {"alice", "pw", "(P){1}", "info"});
    Wr32(&good[12], 0xABCD);
    Login l;
    ASSERT_TRUE(ParseLogin(good.data(), (u32)good.size(), &l));
    EXPECT_EQ("alice", l.user);
    EXPECT_EQ("pw", l.pass);
    EXPECT_EQ("(P){1}", l.param);
    EXPECT_EQ("info", l.info);
    EXPECT_EQ(0xABCDu, l.cookie);
    std::vector<u8> user128 = WithStrings(32, {std::string(128, 'u'), "pw", "", ""});
    std::vector<u8> param256 = WithStrings(32, {"a", "pw", std::string(256, 'p'), ""});
    std::vector<u8> tooLong = WithStrings(32, {"a", "pw", std::string(250, 'p'), std::string(400, 'i')});
    std::vector<u8> three = WithStrings(32, {"alice", "pw", "x"});
    struct Case {
        const char* name;
        std::vector<u8> bytes;
        u32 len;
    } cases[] = {
        {"header only", good, 32},
        {"31 bytes", good, 31},
        {"cut in the last string", good, (u32)good.size() - 2},
        {"user of 128 characters", user128, (u32)user128.size()},
        {"param of 256 characters", param256, (u32)param256.size()},
        {"strings beyond 608 bytes", tooLong, (u32)tooLong.size()},
        {"three strings", three, (u32)three.size()},
    };
    for (const Case& c : cases)
        EXPECT_FALSE(ParseLogin(c.bytes.data(), c.len, &l)) << c.name;
}

TEST(ServerWire, StatusQueriesAndRepliesKeepTheirLayout)
{
    std::vector<u8> q = WithStrings(16, {"bob"});
    Wr16(&q[0], 1);
    StatusQuery sq;
    ASSERT_TRUE(ParseStatusQuery(q.data(), (u32)q.size(), &sq));
    EXPECT_EQ(1, sq.flags);
    EXPECT_EQ("bob", sq.name);
    std::vector<u8> empty = WithStrings(16, {""});
    EXPECT_FALSE(ParseStatusQuery(empty.data(), (u32)empty.size(), &sq));
    EXPECT_FALSE(ParseStatusQuery(q.data(), 19, &sq));
    QV_ADDR_S peer = V4("10.1.0.12", 40000);
    std::vector<u8> r = BuildStatusReply(0, peer, "10.1.0.11:7781", "", "");
    ASSERT_GE(r.size(), 37u);
    EXPECT_EQ(0, memcmp(&r[16], peer.uAddr, 16));
    EXPECT_EQ(40000u, Rd16(&r[32]));
    u32 used = 0, len = 0;
    const char* proxy = qvStrPop(r.data() + 36, (u32)r.size() - 36, &used, &len);
    ASSERT_NE(nullptr, proxy);
    EXPECT_STREQ("10.1.0.11:7781", proxy);
    std::vector<u8> k = BuildKickOut(5, nullptr);
    EXPECT_EQ(4u, k.size());
    QV_ADDR_S now = V4("10.1.0.14", 9);
    k = BuildKickOut(0, &now);
    ASSERT_EQ(24u, k.size());
    EXPECT_EQ(9u, Rd16(&k[20]));
}

TEST(ServerWire, RandomBytesNeverReadPastTheirEnd)
{
    std::mt19937 rnd(7);
    QV_ADDR_S src = V4("10.1.0.12", 40000);
    std::vector<Sent> sent;
    Station st([&](const QV_ADDR_S& to, const u8* d, u32 n) { sent.push_back({to, std::vector<u8>(d, d + n)}); });
    for (int i = 0; i < 20000; i++) {
        u32 len = rnd() % 700;
        // Exactly as long as the datagram: the sanitizers see any read past it.
        std::vector<u8> b(len);
        for (auto& c : b)
            c = (u8)rnd();
        if (len > 1 && i % 2)
            b[0] = 0;
        if (len > 1 && i % 4 == 1)
            b[1] = "DFHI"[rnd() % 4];
        if (len > 35 && i % 8 == 3)
            Wr32(&b[32], rnd() % 64);   // a plausible string length
        Sync s;
        Login l;
        StatusQuery q;
        CcMsg m;
        std::vector<u8> r;
        ParseSync(b.data(), len, &s);
        ParseLogin(b.data(), len, &l);
        ParseStatusQuery(b.data(), len, &q);
        if (CcParse(b.data(), len, &m)) {
            CcMainName(m);
            BuildMainReply(m, src, nullptr);
        }
        BuildLoopReply(b.data(), len, src, &r);
        BuildStampUpdate(b.data(), len, 1, &r);
        st.OnConnectControl(src, b.data(), len);
        st.OnLoopRequest(src, b.data(), len);
    }
    // Whatever went out is a whole message of a known length.
    for (const Sent& s : sent) {
        u32 n = (u32)s.data.size();
        EXPECT_TRUE(n == 84 || n == 124 || n == 324 || n == kLoopLen) << n;
    }
}

TEST(ServerStation, ProxyRequestsAndRepliesGoThroughHoles)
{
    std::vector<Sent> sent;
    Station st([&](const QV_ADDR_S& to, const u8* d, u32 n) { sent.push_back({to, std::vector<u8>(d, d + n)}); });
    QV_ADDR_S aMain = V4("10.1.0.12", 4000), aHole = V4("10.1.0.12", 4999), bMain = V4("10.1.0.13", 5000);
    // A short request naming the address it was sent from: the hole is kept, [24] untouched.
    std::vector<u8> d = Cc('D', 84, kCcRec1);
    WrRec(d.data(), kRec0, aMain);
    WrRec(d.data(), kRec1, V4("192.168.1.2", 4000));
    WrRec(d.data(), kRec2, bMain);
    st.OnConnectControl(aHole, d.data(), 84);
    ASSERT_EQ(1u, sent.size());
    EXPECT_TRUE(SameAddr(bMain, sent[0].to));
    EXPECT_EQ('E', sent[0].data[1]);
    EXPECT_TRUE(SameAddr(V4("192.168.1.2", 4000), RdRec(sent[0].data.data(), kRec1)));
    QV_ADDR_S hole;
    ASSERT_TRUE(st.Hole(aMain, &hole));
    EXPECT_TRUE(SameAddr(aHole, hole));
    // Its reply goes to the hole and to the requester's main address.
    std::vector<u8> f = Cc('F', 84, kCcRec1);
    WrRec(f.data(), kRec0, aMain);
    WrRec(f.data(), kRec2, bMain);
    sent.clear();
    st.OnConnectControl(bMain, f.data(), 84);
    ASSERT_EQ(2u, sent.size());
    EXPECT_TRUE(SameAddr(aHole, sent[0].to));
    EXPECT_TRUE(SameAddr(aMain, sent[1].to));
    EXPECT_EQ('G', sent[1].data[1]);
    // A full request gets [24] = its source, and its reply goes there and to [4].
    std::vector<u8> full = Cc('D', 324);
    WrRec(full.data(), kRec0, aMain);
    WrRec(full.data(), kRec2, bMain);
    sent.clear();
    st.OnConnectControl(aHole, full.data(), 324);
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(324u, sent[0].data.size());
    EXPECT_TRUE(SameAddr(aHole, RdRec(sent[0].data.data(), kRec1)));
    std::vector<u8> ff = sent[0].data;
    ff[1] = 'F';
    sent.clear();
    st.OnConnectControl(bMain, ff.data(), 324);
    ASSERT_EQ(2u, sent.size());
    EXPECT_TRUE(SameAddr(aHole, sent[0].to));
    EXPECT_TRUE(SameAddr(aMain, sent[1].to));
    // A hole unused for more than ten ticks is gone.
    for (u32 i = 0; i < 11; i++)
        st.Tick();
    EXPECT_FALSE(st.Hole(aMain, &hole));
    // A request naming an IPv6 destination is not passed on by this IPv4 station.
    QV_ADDR_S v6;
    memset(&v6, 0, sizeof(v6));
    inet_pton(AF_INET6, "fd00:1::5", v6.uAddr);
    v6.uPort = 5;
    WrRec(full.data(), kRec2, v6);
    sent.clear();
    st.OnConnectControl(aHole, full.data(), 324);
    EXPECT_TRUE(sent.empty());
}

TEST(ServerStation, NamesAndHolesAreBounded)
{
    u32 replies = 0;
    Station st([&](const QV_ADDR_S&, const u8*, u32) { replies++; });
    std::vector<u8> h = Cc('H', 212);
    for (u32 i = 0; i < Station::kNamesMax + 10; i++) {
        snprintf((char*)&h[84], 128, "peer%u", i);
        st.OnConnectControl(V4("10.1.0.12", (u16)(1000 + i % 60000)), h.data(), 212);
    }
    EXPECT_EQ(Station::kNamesMax + 10, replies);
    EXPECT_EQ(Station::kNamesMax, st.NameCount());
    QV_ADDR_S a;
    EXPECT_FALSE(st.Seen("peer0", &a));
    EXPECT_TRUE(st.Seen("peer4105", &a));
    EXPECT_EQ(1000 + 4105, a.uPort);
    std::vector<u8> d = Cc('D', 84, kCcRec1);
    WrRec(d.data(), kRec2, V4("10.1.0.13", 5000));
    for (u32 i = 0; i < Station::kHolesMax + 10; i++) {
        WrRec(d.data(), kRec0, V4("10.2.0.1", (u16)(1 + i)));
        st.OnConnectControl(V4("10.1.0.12", 1), d.data(), 84);
    }
    EXPECT_EQ(Station::kHolesMax, st.HoleCount());
}

TEST(ServerStation, RedirectPairFollowsTheNameHash)
{
    std::vector<Sent> sent;
    Station st([&](const QV_ADDR_S& to, const u8* d, u32 n) { sent.push_back({to, std::vector<u8>(d, d + n)}); });
    QV_ADDR_PAIR_S p[3];
    memset(p, 0, sizeof(p));
    for (u32 i = 0; i < 3; i++)
        p[i].Addr4 = V4("10.5.0.1", (u16)(7000 + i));
    st.SetRedirect({p[0], p[1], p[2]});
    std::vector<u8> h = Cc('H', 212);
    memcpy(&h[84], "alice", 5);
    st.OnConnectControl(V4("10.1.0.12", 1), h.data(), 212);
    // Entry i of the 64 repeats pair i mod 3.
    u32 want = 7000 + (NameHash("alice") & 63) % 3;
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(want, RdRec(sent[0].data.data(), 84).uPort);
    // No name, no redirect.
    memset(&h[84], 0, 128);
    st.OnConnectControl(V4("10.1.0.12", 1), h.data(), 212);
    EXPECT_EQ(0, RdRec(sent[1].data.data(), 84).uPort);
}

TEST(ServerAccounts, CommandLineAndFileForms)
{
    Accounts acc;
    std::string why;
    EXPECT_TRUE(acc.Add("alice:pw", &why));
    struct Case {
        const char* entry;
        bool ok;
    } cases[] = {
        {"carol:secret:7:(Direct){0}", true}, {"dave::", false},          {"eve", false},
        {":pw", false},                       {"frank:pw:x", false},       {"gina:pw:12345678901", false},
        {"hal:", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.ok, acc.Add(c.entry, &why)) << c.entry << ": " << why;
    ASSERT_NE(nullptr, acc.Find("carol"));
    EXPECT_EQ("secret", acc.Find("carol")->pass);
    EXPECT_EQ(7u, acc.Find("carol")->type);
    EXPECT_EQ("(Direct){0}", acc.Find("carol")->param);
    EXPECT_EQ("", acc.Find("hal")->pass);
    EXPECT_FALSE(acc.Add(std::string(128, 'u') + ":pw", &why));

    char path[] = "/tmp/kvsrv-acc-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string text = "# users\n\nivan  pw2\njudy pw3 4 (Direct){0} (X){y}\n";
    ASSERT_EQ((ssize_t)text.size(), write(fd, text.data(), text.size()));
    close(fd);
    Accounts file;
    ASSERT_TRUE(file.Load(path, &why)) << why;
    EXPECT_EQ(2u, file.Count());
    EXPECT_EQ("pw2", file.Find("ivan")->pass);
    EXPECT_EQ(4u, file.Find("judy")->type);
    EXPECT_EQ("(Direct){0} (X){y}", file.Find("judy")->param);
    std::string bad = "kim\n";
    fd = open(path, O_WRONLY | O_TRUNC);
    ASSERT_EQ((ssize_t)bad.size(), write(fd, bad.data(), bad.size()));
    close(fd);
    EXPECT_FALSE(file.Load(path, &why));
    EXPECT_NE(std::string::npos, why.find(":1: no password")) << why;
    unlink(path);
    EXPECT_FALSE(file.Load("/nonexistent/accounts", &why));
}
