// Cookies and handles, strings in binary messages, buffers, dates, hashes, encodings, RC4 and
// the buffer dump of the debug trace.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qvLog.h"
#include "qvUtilize.h"

namespace
{
std::string Hex(const u8* p, size_t n)
{
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; i++)
    {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

std::vector<u8> Bytes(std::initializer_list<int> l)
{
    std::vector<u8> v;
    for (int b : l)
        v.push_back((u8)b);
    return v;
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// Cookies and handles

TEST(UtilizeCookie, ShortNeverZeroNorOld)
{
    for (u32 uOld : {0u, 1u, 0x7FFFu, 0xFFFFu, 0x12345u})
        for (int i = 0; i < 20000; i++)
        {
            u16 c = qvGetCookieShort(uOld);
            ASSERT_NE(c, 0);
            ASSERT_NE((u32)c, uOld);
        }
    // Chained as a table entry does on each take and release: each differs from the last.
    u16 c = 0;
    for (int i = 0; i < 20000; i++)
    {
        u16 n = qvGetCookieShort(c);
        ASSERT_NE(n, c);
        ASSERT_NE(n, 0);
        c = n;
    }
}

TEST(UtilizeCookie, LongIsNonZeroAndSpread)
{
    std::set<u32> seen;
    u32 uOr = 0;
    for (int i = 0; i < 1000; i++)
    {
        u32 v = qvGetCookieLong();
        ASSERT_NE(v, 0u);
        seen.insert(v);
        uOr |= v;
    }
    EXPECT_GT(seen.size(), 995u);
    EXPECT_EQ(uOr, 0xFFFFFFFFu);  // every bit, high half included, takes part
}

// Threads started together must not draw the same sequence (as they would when each seeded
// from the clock).
TEST(UtilizeCookie, ThreadsStartedTogetherDrawDifferentValues)
{
    const int kThreads = 8;
    std::vector<u32> first(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            ready++;
            while (ready.load() < kThreads)
            {
            }
            first[t] = qvGetCookieLong();
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(std::set<u32>(first.begin(), first.end()).size(), (size_t)kThreads);
}

// Two processes forked from one parent are two peers: their cookies must differ.
TEST(UtilizeCookie, ForkedChildrenDrawDifferentValues)
{
    qvGetCookieLong();  // the parent has seeded before forking
    std::vector<u32> values;
    for (int k = 0; k < 2; k++)
    {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
        {
            u32 v[4] = {qvGetCookieLong(), qvGetCookieLong(), qvGetCookieLong(), qvGetCookieLong()};
            _exit(write(fds[1], v, sizeof(v)) == (ssize_t)sizeof(v) ? 0 : 1);
        }
        close(fds[1]);
        u32 v[4] = {};
        ASSERT_EQ(read(fds[0], v, sizeof(v)), (ssize_t)sizeof(v));
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        values.insert(values.end(), v, v + 4);
    }
    values.push_back(qvGetCookieLong());
    EXPECT_EQ(std::set<u32>(values.begin(), values.end()).size(), values.size());
}

TEST(UtilizeCookie, HandleCarriesIndexAndCookie)
{
    u32 h = qvHandleMake(0x1234, 0xBEEF);
    EXPECT_EQ(h, 0x1234BEEFu);
    EXPECT_EQ(qvHandleIndex(h), 0x1234u);
    EXPECT_EQ(qvHandleCookie(h), 0xBEEF);
    EXPECT_EQ(qvHandleMake(1, 0x1FFFF), 0x1FFFFu);  // a cookie never spills into the index
}

// ---------------------------------------------------------------------------------------------
// Strings in binary messages

TEST(UtilizeStrPush, EncodesLengthBytesZeroAndPadding)
{
    struct Case
    {
        const char* text;
        std::vector<u8> bytes;
    } cases[] = {
        {"abc", Bytes({0, 0, 0, 4, 'a', 'b', 'c', 0})},
        {"abcd", Bytes({0, 0, 0, 5, 'a', 'b', 'c', 'd', 0, 0, 0, 0})},
        {"", Bytes({0, 0, 0, 1, 0, 0, 0, 0})},
        {nullptr, Bytes({0, 0, 0, 1, 0, 0, 0, 0})},
    };
    for (const auto& c : cases)
    {
        std::vector<u8> buf(32, 0xEE);
        EXPECT_EQ(qvStrPush(buf.data(), (u32)buf.size(), c.text), c.bytes.size());
        EXPECT_EQ(std::vector<u8>(buf.begin(), buf.begin() + c.bytes.size()), c.bytes);
        EXPECT_EQ(buf[c.bytes.size()], 0xEE);  // nothing beyond the item
        // Exactly the item's size fits, one byte less does not and writes nothing.
        std::vector<u8> exact(c.bytes.size(), 0xEE);
        EXPECT_EQ(qvStrPush(exact.data(), (u32)exact.size(), c.text), c.bytes.size());
        std::vector<u8> small(c.bytes.size() - 1, 0xEE);
        EXPECT_EQ(qvStrPush(small.data(), (u32)small.size(), c.text), 0u);
        EXPECT_EQ(small, std::vector<u8>(small.size(), 0xEE));
    }
    EXPECT_EQ(qvStrPush(nullptr, 64, "abc"), 0u);
}

TEST(UtilizeStrPop, ReadsWhatPushWrote)
{
    std::vector<u8> msg(64);
    u32 uPos = 0;
    for (const char* s : {"abc", "", "abcd", "hello world"})
        uPos += qvStrPush(msg.data() + uPos, (u32)msg.size() - uPos, s);
    // Heap copy of exactly the written size, so that any read past it is caught.
    std::vector<u8> exact(msg.begin(), msg.begin() + uPos);
    u32 uOff = 0;
    for (const char* s : {"abc", "", "abcd", "hello world"})
    {
        u32 uUsed = 0, uLen = 0;
        const char* p = qvStrPop(exact.data() + uOff, (u32)exact.size() - uOff, &uUsed, &uLen);
        ASSERT_NE(p, nullptr);
        EXPECT_STREQ(p, s);
        EXPECT_EQ(uLen, strlen(s));
        EXPECT_EQ(uUsed % 4, 0u);
        uOff += uUsed;
    }
    EXPECT_EQ(uOff, uPos);
    EXPECT_EQ(qvStrPop(exact.data() + uOff, (u32)exact.size() - uOff, nullptr, nullptr), nullptr);
}

TEST(UtilizeStrPop, AbcGivesUsed8Length3AndFailsWhenCut)
{
    std::vector<u8> b = Bytes({0, 0, 0, 4, 'a', 'b', 'c', 0});
    u32 uUsed = 99, uLen = 99;
    char* p = qvStrPop(b.data(), 8, &uUsed, &uLen);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p, (char*)b.data() + 4);
    EXPECT_STREQ(p, "abc");
    EXPECT_EQ(uUsed, 8u);
    EXPECT_EQ(uLen, 3u);
    uUsed = uLen = 99;
    EXPECT_EQ(qvStrPop(b.data(), 7, &uUsed, &uLen), nullptr);
    EXPECT_EQ(uUsed, 99u);  // outputs untouched on failure
    EXPECT_EQ(uLen, 99u);
}

// Lengths from a hostile peer. Each message lies in a heap block of exactly its size.
TEST(UtilizeStrPop, HostileInputGivesNull)
{
    struct Case
    {
        const char* what;
        std::vector<u8> bytes;
    } cases[] = {
        {"empty", {}},
        {"truncated length field", Bytes({0, 0, 4})},
        {"zero length", Bytes({0, 0, 0, 0, 'a', 'b', 'c', 0})},
        {"length past the message", Bytes({0, 0, 0, 9, 'a', 'b', 'c', 0, 'd', 'e', 'f', 0})},
        {"padding missing", Bytes({0, 0, 0, 5, 'a', 'b', 'c', 'd', 0})},
        {"no zero among the L bytes", Bytes({0, 0, 0, 4, 'a', 'b', 'c', 'd'})},
        {"zero only in the padding", Bytes({0, 0, 0, 2, 'a', 'b', 0, 0})},
        // 4 + L + 3 wraps to a small value in 32-bit arithmetic for these.
        {"length 2^32-1", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b', 'c', 0})},
        {"length 2^32-3", Bytes({0xFF, 0xFF, 0xFF, 0xFD, 'a', 'b', 'c', 0})},
        {"length 2^32-4", Bytes({0xFF, 0xFF, 0xFF, 0xFC, 'a', 'b', 'c', 0})},
        {"length 2^32-7", Bytes({0xFF, 0xFF, 0xFF, 0xF9, 'a', 'b', 'c', 0})},
        {"length 2^31", Bytes({0x80, 0, 0, 0, 'a', 'b', 'c', 0})},
    };
    for (const auto& c : cases)
    {
        std::vector<u8>* heap = new std::vector<u8>(c.bytes);
        u32 uUsed = 77, uLen = 77;
        EXPECT_EQ(qvStrPop(heap->data(), (u32)heap->size(), &uUsed, &uLen), nullptr) << c.what;
        EXPECT_EQ(uUsed, 77u) << c.what;
        EXPECT_EQ(uLen, 77u) << c.what;
        delete heap;
    }
    EXPECT_EQ(qvStrPop((u8*)nullptr, 64, nullptr, nullptr), nullptr);
}

// A zero before the end of the L bytes: the length matches the C string that is returned.
TEST(UtilizeStrPop, EarlyZeroGivesLengthOfReturnedText)
{
    std::vector<u8> b = Bytes({0, 0, 0, 6, 'a', 'b', 0, 'x', 'y', 0, 0, 0});
    u32 uUsed = 0, uLen = 0;
    const char* p = qvStrPop((const u8*)b.data(), (u32)b.size(), &uUsed, &uLen);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "ab");
    EXPECT_EQ(uLen, 2u);
    EXPECT_EQ(uUsed, 12u);
}

// ---------------------------------------------------------------------------------------------
// Text helpers

TEST(UtilizeText, StrCharNRFindsLastWithinCountAndStopsAtZero)
{
    const char* s = "a/b/c/d";
    EXPECT_EQ(qvStrCharNR(s, '/', 7), s + 5);
    EXPECT_EQ(qvStrCharNR(s, '/', 5), s + 3);
    EXPECT_EQ(qvStrCharNR(s, '/', 1), nullptr);
    EXPECT_EQ(qvStrCharNR(s, '/', 0), nullptr);
    EXPECT_EQ(qvStrCharNR(s, 'x', 7), nullptr);
    // A count past the text's end reads nothing after its zero.
    char* heap = strdup("x/y");
    EXPECT_EQ(qvStrCharNR(heap, '/', 1000), heap + 1);
    free(heap);
    EXPECT_EQ(qvStrCharNR((const char*)nullptr, '/', 3), nullptr);
}

TEST(UtilizeText, StrConvertChangesCaseInPlace)
{
    char s[] = "Hello, World 123 \xC3\xA9";
    EXPECT_EQ(qvStrConvert(s, 1), s);
    EXPECT_STREQ(s, "HELLO, WORLD 123 \xC3\xA9");
    qvStrConvert(s, 0);
    EXPECT_STREQ(s, "hello, world 123 \xC3\xA9");
    EXPECT_EQ(qvStrConvert(nullptr, 1), nullptr);
}

TEST(UtilizeText, StrCmpNI)
{
    struct Case
    {
        const char* a;
        const char* b;
        u32 n;
        int sign;
    } cases[] = {
        {"Content-Length", "content-length", 14, 0},
        {"HTTP/1.1", "http/1.0", 7, 0},   // only the first 7 compared
        {"HTTP/1.1", "http/1.0", 8, 1},
        {"abc", "abd", 3, -1},
        {"abc", "ABCDEF", 10, -1},        // a ends first
        {"abcdef", "ABC", 10, 1},
        {"abc", "xyz", 0, 0},
        {"", "", 5, 0},
    };
    for (const auto& c : cases)
    {
        int r = qvStrCmpNI(c.a, c.b, c.n);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " / " << c.b << " / " << c.n;
    }
    EXPECT_EQ(qvStrCmpNI("abc", "abd", 3), 'c' - 'd');
}

// ---------------------------------------------------------------------------------------------
// Buffers

TEST(UtilizeBuf, AllocZeroesAndFreeClears)
{
    QV_BUF_S b;
    memset(&b, 0xAB, sizeof(b));
    ASSERT_EQ(qvBufAlloc(&b, 100, 16), 1u);
    ASSERT_NE(b.buf, nullptr);
    EXPECT_EQ(b.uOffset, 16u);
    EXPECT_EQ(b.uSize, 100u);
    EXPECT_EQ(b.uLen, 0u);
    EXPECT_EQ(b.uParam, 0u);
    EXPECT_EQ(std::vector<u8>(b.buf, b.buf + 100), std::vector<u8>(100, 0));
    qvBufFree(&b);
    EXPECT_EQ(b.buf, nullptr);
    EXPECT_EQ(b.uOffset + b.uSize + b.uLen + b.uParam, 0u);
    qvBufFree(&b);  // an empty descriptor is left alone

    // Head room beyond the end would place the data outside the buffer.
    QV_BUF_S bad;
    memset(&bad, 0, sizeof(bad));
    EXPECT_EQ(qvBufAlloc(&bad, 8, 9), 0u);
    EXPECT_EQ(bad.buf, nullptr);
    EXPECT_EQ(qvBufAlloc(nullptr, 8, 0), 0u);
}

TEST(UtilizeBuf, ByteBufAllocGrowsInUnits)
{
    u8* p = nullptr;
    u32 uCap = 0;
    u8* first = qvByteBufAlloc(&p, &uCap, 100, 64, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(p, first);
    EXPECT_EQ(uCap, 128u);
    EXPECT_EQ(qvByteBufAlloc(&p, &uCap, 120, 64, 0), first);  // still fits: same buffer
    EXPECT_EQ(uCap, 128u);
    for (u32 i = 0; i < 128; i++)
        p[i] = (u8)i;
    ASSERT_NE(qvByteBufAlloc(&p, &uCap, 200, 64, 1), nullptr);
    EXPECT_EQ(uCap, 256u);
    for (u32 i = 0; i < 128; i++)
        ASSERT_EQ(p[i], (u8)i);  // kept
    qvByteBufFree(&p);
    EXPECT_EQ(p, nullptr);

    uCap = 0;
    ASSERT_NE(qvByteBufAlloc(&p, &uCap, 0, 32, 0), nullptr);  // need 0: one unit
    EXPECT_EQ(uCap, 32u);
    // A size that cannot be rounded up within 32 bits, or no unit: refused, nothing changed.
    u8* before = p;
    EXPECT_EQ(qvByteBufAlloc(&p, &uCap, 0xFFFFFFF0u, 64, 1), nullptr);
    EXPECT_EQ(qvByteBufAlloc(&p, &uCap, 64, 0, 1), nullptr);
    EXPECT_EQ(p, before);
    EXPECT_EQ(uCap, 32u);
    qvByteBufFree(&p);
    qvByteBufFree(&p);
}

// ---------------------------------------------------------------------------------------------
// Dates

TEST(UtilizeDate, DateTimeFormatAndSmallBuffer)
{
    char s[32];
    ASSERT_EQ(qvDateTime(s, sizeof(s)), 19u);
    u32 y, mo, d, h, mi, se;
    ASSERT_EQ(qvDateTimeParse(s, &y, &mo, &d, &h, &mi, &se), 1u) << s;
    EXPECT_GE(y, 2020u);
    EXPECT_TRUE(mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && h < 24 && mi < 60 && se < 61) << s;
    EXPECT_EQ(s[4], '-');
    EXPECT_EQ(s[10], ',');
    EXPECT_EQ(s[13], ':');
    char small[19];
    memset(small, 'Z', sizeof(small));
    EXPECT_EQ(qvDateTime(small, sizeof(small)), 0u);
    EXPECT_EQ(small[0], 'Z');
    EXPECT_EQ(qvDateTime(s, 20), 19u);
}

TEST(UtilizeDate, DateTimeParse)
{
    struct Case
    {
        const char* text;
        u32 ok;
        u32 v[6];
    } cases[] = {
        {"2024-01-02,03:04:05", 1, {2024, 1, 2, 3, 4, 5}},
        {"03:04:05", 1, {0, 0, 0, 3, 4, 5}},
        {"2024-01-02,", 1, {2024, 1, 2, 0, 0, 0}},
        {"", 1, {0, 0, 0, 0, 0, 0}},
        {"2024-01-02-09,03:04:05:06", 1, {2024, 1, 2, 3, 4, 5}},  // further fields ignored
        {"2024-01", 0, {}},
        {"2024-01,03:04:05", 0, {}},
        {"2024-01-02,03:04", 0, {}},
        {"2024-xx-02,03:04:05", 0, {}},
        {"2024-01-02,03:-4:05", 0, {}},
        {"99999999999-01-02,03:04:05", 0, {}},  // beyond 32 bits
        // Parts of 32 characters or more are ignored.
        {"2024-01-02-0000000000000000000000,03:04:05", 1, {0, 0, 0, 3, 4, 5}},
        {"2024-01-02,03:04:05:00000000000000000000000", 1, {2024, 1, 2, 0, 0, 0}},
    };
    for (const auto& c : cases)
    {
        u32 v[6] = {7, 7, 7, 7, 7, 7};
        EXPECT_EQ(qvDateTimeParse(c.text, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]), c.ok) << c.text;
        for (int i = 0; i < 6; i++)
            EXPECT_EQ(v[i], c.ok ? c.v[i] : 7u) << c.text << " field " << i;
    }
    EXPECT_EQ(qvDateTimeParse("2024-01-02,03:04:05", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 1u);
    EXPECT_EQ(qvDateTimeParse(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0u);
}

// ---------------------------------------------------------------------------------------------
// Hashes and encodings

TEST(UtilizeHash, DataHashIsSha256)
{
    u8 h[QV_HASH_SIZE];
    ASSERT_EQ(qvDataHash("abc", 3, h, sizeof(h)), 1u);
    EXPECT_EQ(Hex(h, 32), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    ASSERT_EQ(qvDataHash(nullptr, 0, h, sizeof(h)), 1u);
    EXPECT_EQ(Hex(h, 32), "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
    u8 small[31];
    EXPECT_EQ(qvDataHash("abc", 3, small, sizeof(small)), 0u);
}

TEST(UtilizeHash, HashToStrAndBack)
{
    u8 h[QV_HASH_SIZE];
    ASSERT_EQ(qvDataHash("abc", 3, h, sizeof(h)), 1u);
    char s[64];
    ASSERT_EQ(qvHashToStr(h, 32, s, sizeof(s)), 1u);
    EXPECT_STREQ(s, "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=");
    EXPECT_EQ(qvHashToStr(h, 32, s, 63), 0u);

    u8 back[40];
    u32 uLen = sizeof(back);
    ASSERT_EQ(qvStrToHash(s, back, &uLen), 1u);
    EXPECT_EQ(uLen, 32u);
    EXPECT_EQ(memcmp(back, h, 32), 0);

    struct Case
    {
        const char* text;
        u32 cap;
    } bad[] = {
        {"ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=", 31},  // no room
        {"YWJj", 40},                                          // 3 bytes, not 32
        {"ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0AAAA=", 40},  // 35 bytes
        {"ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAF!0=", 40},  // not Base64
        {"", 40},
    };
    for (const auto& c : bad)
    {
        u8 out[40];
        memset(out, 0x5A, sizeof(out));
        u32 n = c.cap;
        EXPECT_EQ(qvStrToHash(c.text, out, &n), 0u) << c.text;
        EXPECT_EQ(n, c.cap) << c.text;
        EXPECT_EQ(out[0], 0x5A) << c.text;
    }
}

TEST(UtilizeEncode, Base64Vectors)
{
    struct Case
    {
        const char* plain;
        const char* b64;
    } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& c : cases)
    {
        char enc[16];
        ASSERT_EQ(qvBase64Encode(c.plain, (u32)strlen(c.plain), enc, sizeof(enc)), 1u) << c.plain;
        EXPECT_STREQ(enc, c.b64);
        // The text and its zero must fit.
        char exact[16];
        EXPECT_EQ(qvBase64Encode(c.plain, (u32)strlen(c.plain), exact, (u32)strlen(c.b64) + 1), 1u);
        EXPECT_EQ(qvBase64Encode(c.plain, (u32)strlen(c.plain), exact, (u32)strlen(c.b64)), 0u);

        u8 dec[16];
        u32 uLen = sizeof(dec);
        ASSERT_EQ(qvBase64Decode(c.b64, dec, &uLen), 1u) << c.b64;
        EXPECT_EQ(std::string((char*)dec, uLen), c.plain);
    }
    u8 dec[8];
    memset(dec, 0x5A, sizeof(dec));
    u32 uLen = 5;  // "foobar" needs 6
    EXPECT_EQ(qvBase64Decode("Zm9vYmFy", dec, &uLen), 0u);
    EXPECT_EQ(uLen, 5u);
    EXPECT_EQ(dec[0], 0x5A);
    uLen = 8;
    EXPECT_EQ(qvBase64Decode("Zm9v!mFy", dec, &uLen), 0u);
    EXPECT_EQ(uLen, 8u);
}

TEST(UtilizeEncode, BinToHex)
{
    const u8 data[] = {0x0A, 0xFF, 0x00, 0x7B};
    char s[9];
    ASSERT_EQ(qvBinToHex(data, 4, s, sizeof(s)), 1u);
    EXPECT_STREQ(s, "0AFF007B");
    EXPECT_EQ(qvBinToHex(data, 4, s, 8), 0u);  // no room for the zero
    ASSERT_EQ(qvBinToHex(data, 0, s, 1), 1u);
    EXPECT_STREQ(s, "");
}

TEST(UtilizeEncode, HexToBin)
{
    u8 out[4] = {};
    u32 uLen = sizeof(out);
    ASSERT_EQ(qvHexToBin("0aFf", out, &uLen), 1u);
    EXPECT_EQ(uLen, 2u);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xFF);
    for (const char* bad : {"0g", "abc", "0aFf00112233", " 0aF"})
    {
        u8 o[4] = {9, 9, 9, 9};
        u32 n = sizeof(o);
        EXPECT_EQ(qvHexToBin(bad, o, &n), 0u) << bad;
        EXPECT_EQ(n, 4u) << bad;
        EXPECT_EQ(o[0], 9) << bad;
    }
    uLen = 4;
    EXPECT_EQ(qvHexToBin("", out, &uLen), 1u);
    EXPECT_EQ(uLen, 0u);
}

TEST(UtilizeEncode, Rc4VectorsAndInPlaceRoundTrip)
{
    struct Case
    {
        const char* key;
        const char* plain;
        const char* cipher;
    } cases[] = {
        {"Key", "Plaintext", "BBF316E8D940AF0AD3"},
        {"Wiki", "pedia", "1021BF0420"},
        {"Secret", "Attack at dawn", "45A01F645FC35B383552544B9BF5"},
    };
    for (const auto& c : cases)
    {
        size_t n = strlen(c.plain);
        std::vector<u8> out(n);
        qvRecycleLog((const u8*)c.plain, out.data(), (u32)n, (const u8*)c.key, (u32)strlen(c.key));
        EXPECT_EQ(Hex(out.data(), n), c.cipher);
        qvRecycleLog(out.data(), out.data(), (u32)n, (const u8*)c.key, (u32)strlen(c.key));
        EXPECT_EQ(std::string((char*)out.data(), n), c.plain);
    }
    // No key: nothing written (and no division by a zero key length).
    u8 buf[4] = {1, 2, 3, 4};
    qvRecycleLog(buf, buf, 4, (const u8*)"k", 0);
    qvRecycleLog(buf, buf, 4, nullptr, 4);
    EXPECT_EQ(Hex(buf, 4), "01020304");
}

// ---------------------------------------------------------------------------------------------
// Trace dump. The trace file lives in /var; the child writes it under a private tmpfs.

TEST(UtilizeTrace, DumpBufferWrites16BytesPerLine)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
    {
        close(fds[0]);
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/var", "tmpfs", 0, nullptr) != 0)
            _exit(2);
        u8 data[20];
        for (int i = 0; i < 20; i++)
            data[i] = (u8)(0xF0 + i);
        qvPrintfEnable(1);
        qvDumpBuffer(data, sizeof(data));
        qvPrintfEnable(0);
        std::ifstream f("/var/quarlin.log", std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        std::string s = ss.str();
        _exit(write(fds[1], s.data(), s.size()) == (ssize_t)s.size() ? 0 : 3);
    }
    close(fds[1]);
    std::string text;
    char chunk[512];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof(chunk))) > 0)
        text.append(chunk, (size_t)n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(text.find(": F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF \r\n"), std::string::npos) << text;
    EXPECT_NE(text.find(": 00 01 02 03 \r\n"), std::string::npos) << text;
}

TEST(Utilize, StrCopyWritesOnlyWhatFitsWhole)
{
    char out[4];
    memcpy(out, "zzz", 4);
    EXPECT_EQ(1u, qvStrCopy(out, sizeof(out), "abc"));
    EXPECT_STREQ("abc", out);
    memcpy(out, "zzz", 4);
    EXPECT_EQ(0u, qvStrCopy(out, sizeof(out), "abcd"));  // would need 5 bytes
    EXPECT_STREQ("zzz", out);
    EXPECT_EQ(0u, qvStrCopy(nullptr, sizeof(out), "a"));
    EXPECT_EQ(0u, qvStrCopy(out, sizeof(out), nullptr));
    EXPECT_EQ(0u, qvStrCopy(out, 0, ""));
}
