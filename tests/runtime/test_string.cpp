// QV_STRING and IQVString: the behaviour callers rely on, including where it deliberately
// differs from std::string (find at the end, rfind not clamped, out-of-range replace reporting
// success, split merging separator runs, capacities in steps of 32).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qvString.h"

namespace
{
const u32 NF = QV_NOT_FOUND;

struct StrPtr
{
    explicit StrPtr(IQVString* p) : p(p) {}
    ~StrPtr()
    {
        if (p)
            p->Delete();
    }
    IQVString* operator->() const { return p; }
    IQVString* p;
};

QV_STRING Make(const char* text)
{
    return QV_STRING(text);
}
} // namespace

TEST(String, EmptyStringsOwnNoBufferAndReadEmpty)
{
    QV_STRING fresh;
    QV_STRING cleared("abc");
    cleared.clear();
    QV_STRING zero("abc");
    ASSERT_EQ(1u, zero.assign("xyz", 0));
    QV_STRING fromNull(nullptr);
    for (const QV_STRING* s : {&fresh, &cleared, &zero, &fromNull})
    {
        EXPECT_EQ(nullptr, s->data);
        EXPECT_EQ(0u, s->uLength);
        EXPECT_EQ(0u, s->uCapacity);
        EXPECT_STREQ("", s->c_str());
    }
    StrPtr obj(qvNewString(nullptr));
    ASSERT_NE(nullptr, obj.p);
    EXPECT_STREQ("", obj->CStr());
    EXPECT_EQ(0u, obj->Length());
    ASSERT_EQ(1u, obj->Assign("abc"));
    ASSERT_EQ(1u, obj->Assign("abc", 0));
    EXPECT_STREQ("", obj->CStr());
}

TEST(String, CapacityGrowsInStepsOf32)
{
    struct
    {
        u32 n;
        u32 cap;
    } cases[] = {{1, 32}, {31, 32}, {32, 64}, {33, 64}, {63, 64}, {64, 96}};
    for (auto& c : cases)
    {
        std::string text(c.n, 'x');
        QV_STRING s(text.c_str());
        EXPECT_EQ(c.n, s.length()) << c.n;
        EXPECT_EQ(c.cap, s.capacity()) << c.n;
        EXPECT_EQ(0, s.data[s.uLength]);
    }
    // Appending "" to an empty string gives it a buffer that still reads "".
    QV_STRING e;
    ASSERT_EQ(1u, e.append(""));
    EXPECT_NE(nullptr, e.data);
    EXPECT_EQ(32u, e.capacity());
    EXPECT_STREQ("", e.c_str());
    // Growing keeps the text.
    QV_STRING g(std::string(30, 'a').c_str());
    g += "bcdef";
    EXPECT_EQ(std::string(30, 'a') + "bcdef", g.c_str());
    EXPECT_EQ(64u, g.capacity());
}

TEST(String, AssignReadsAtMostCountBytes)
{
    // A buffer without terminator: reading past its 4 bytes is caught by AddressSanitizer.
    char* raw = (char*)malloc(4);
    memcpy(raw, "abcd", 4);
    QV_STRING s;
    ASSERT_EQ(1u, s.assign(raw, 4));
    EXPECT_STREQ("abcd", s.c_str());
    ASSERT_EQ(1u, s.assign(raw, 2));
    EXPECT_STREQ("ab", s.c_str());
    StrPtr obj(qvNewString("x"));
    ASSERT_EQ(1u, obj->Assign(raw, 3));
    EXPECT_STREQ("abc", obj->CStr());
    ASSERT_EQ(1u, s.append(raw, 4));
    EXPECT_STREQ("ababcd", s.c_str());
    free(raw);
    // A count past the text stops at its terminator.
    ASSERT_EQ(1u, s.assign("xy", 10));
    EXPECT_STREQ("xy", s.c_str());
}

TEST(String, SourcesInsideTheStringItself)
{
    QV_STRING s("hello world");
    ASSERT_EQ(1u, s.assign(s.c_str() + 6, 3));
    EXPECT_STREQ("wor", s.c_str());
    ASSERT_EQ(1u, s.assign(s.c_str()));
    EXPECT_STREQ("wor", s.c_str());
    QV_STRING& alias = s;
    s = alias;
    EXPECT_STREQ("wor", s.c_str());

    // Appending itself across a buffer growth (20 + 20 > 31).
    QV_STRING a("0123456789abcdefghij");
    ASSERT_EQ(32u, a.capacity());
    ASSERT_EQ(1u, a.append(a.c_str()));
    EXPECT_STREQ("0123456789abcdefghij0123456789abcdefghij", a.c_str());
    a += a;
    EXPECT_EQ(80u, a.length());

    QV_STRING r("abcdefghijklmnopqrstuvwxyz");
    ASSERT_EQ(1u, r.replace(1, 1, r.c_str()));
    EXPECT_STREQ("aabcdefghijklmnopqrstuvwxyzcdefghijklmnopqrstuvwxyz", r.c_str());

    StrPtr obj(qvNewString("abcdef"));
    ASSERT_EQ(1u, obj->Assign(obj->CStr() + 2));
    EXPECT_STREQ("cdef", obj->CStr());
    ASSERT_EQ(1u, obj->Append(obj->CStr()));
    EXPECT_STREQ("cdefcdef", obj->CStr());
}

TEST(String, ReplaceTable)
{
    struct
    {
        const char* start;
        u32 pos, count;
        const char* text;
        u32 ret;
        const char* result;
    } cases[] = {
        {"abc", 3, 1, "x", 1, "abc"},            // 3 + 1 > 3: nothing changes, still success
        {"abc", 4, 0, "x", 1, "abc"},
        {"abc", 2, 0xFFFFFFFFu, "x", 1, "abc"},  // pos + count wraps around 32 bits
        {"abc", 0xFFFFFFFFu, 2, "x", 1, "abc"},
        {"abc", 0xFFFFFFFFu, 0xFFFFFFFFu, "", 1, "abc"},
        {"abc", 1, 1, "XYZ", 1, "aXYZc"},
        {"abc", 0, 3, "", 1, ""},
        {"abc", 3, 0, "de", 1, "abcde"},
        {"abc", 0, 0, "_", 1, "_abc"},
        {"abcdef", 1, 4, "Z", 1, "aZf"},
        {"", 0, 0, "new", 1, "new"},
        {"", 0, 0, "", 1, ""},
        {"", 0, 1, "x", 1, ""},
    };
    for (auto& c : cases)
    {
        StrPtr s(qvNewString(c.start));
        EXPECT_EQ(c.ret, s->Replace(c.pos, c.count, c.text)) << c.start << " " << c.pos << " " << c.count;
        EXPECT_STREQ(c.result, s->CStr()) << c.start << " " << c.pos << " " << c.count;
        EXPECT_EQ(strlen(c.result), s->Length());
    }
    // The character form: n copies, or n = 0 to delete.
    QV_STRING s("abc");
    ASSERT_EQ(1u, s.replace(1, 1, 3, '-'));
    EXPECT_STREQ("a---c", s.c_str());
    ASSERT_EQ(1u, s.replace(0, 2, 0, ' '));
    EXPECT_STREQ("--c", s.c_str());
    ASSERT_EQ(1u, s.replace(1, 0xFFFFFFFFu, 2, 'x'));
    EXPECT_STREQ("--c", s.c_str());
    // A result too long for 32 bits fails and leaves the string as it was.
    EXPECT_EQ(0u, s.replace(0, 0, 0xFFFFFFF0u, 'x'));
    EXPECT_STREQ("--c", s.c_str());
}

TEST(String, FindTable)
{
    struct
    {
        const char* hay;
        const char* text;
        u32 start;
        u32 find;
        u32 rfind;
    } cases[] = {
        // find: start = length gives length only for the empty text
        // rfind: a start beyond length - strlen(text) is not clamped
        {"abc", "", 3, 3, 3},
        {"abc", "", 4, NF, NF},
        {"abc", "", 1, 1, 1},
        {"abc", "", NF, NF, 3},
        {"abc", "b", 5, NF, NF},
        {"abc", "b", 0, 1, NF},
        {"abc", "b", 1, 1, 1},
        {"abc", "b", 2, NF, 1},
        {"abc", "c", 1, 2, NF},
        {"abc", "c", 2, 2, 2},
        {"abc", "c", NF, NF, 2},
        {"abc", "c", 3, NF, NF},
        {"abc", "abcd", 0, NF, NF},
        {"abcabc", "bc", 2, 4, 1},
        {"abcabc", "bc", NF, NF, 4},
        {"abcabc", "abc", 0, 0, 0},
        {"", "", 0, 0, 0},
        {"", "a", 0, NF, NF},
        {"", "a", NF, NF, NF},
    };
    for (auto& c : cases)
    {
        StrPtr s(qvNewString(c.hay));
        EXPECT_EQ(c.find, s->Find(c.text, c.start)) << c.hay << " / " << c.text << " / " << c.start;
        EXPECT_EQ(c.rfind, s->RFind(c.text, c.start)) << c.hay << " / " << c.text << " / " << c.start;
        if (strlen(c.text) == 1)
        {
            EXPECT_EQ(c.find, s->Find(c.text[0], c.start));
            EXPECT_EQ(c.rfind, s->RFind(c.text[0], c.start));
        }
    }
}

TEST(String, FindFirstAndLastOfTable)
{
    struct
    {
        const char* hay;
        const char* set;
        u32 start;
        u32 first;
        u32 last;
    } cases[] = {
        {"a,b", ",", 100, NF, 1},
        {"a,b", ",", 0, 1, NF},
        {"a,b", ",", 1, 1, 1},
        {"a,b", ",", 2, NF, 1},
        {"a,b", ",", 3, NF, 1},
        {"a,b", "", 0, NF, NF},
        {"a,b;c", ";,", 0, 1, NF},
        {"a,b;c", ";,", 2, 3, 1},
        {"a,b;c", ";,", NF, NF, 3},
        {"a,b;c", "ca", NF, NF, 4},
        {"", ",", 0, NF, NF},
        {"", ",", NF, NF, NF},
    };
    for (auto& c : cases)
    {
        StrPtr s(qvNewString(c.hay));
        EXPECT_EQ(c.first, s->FindFirstOf(c.set, c.start)) << c.hay << " / " << c.set << " / " << c.start;
        EXPECT_EQ(c.last, s->FindLastOf(c.set, c.start)) << c.hay << " / " << c.set << " / " << c.start;
        if (strlen(c.set) == 1)
        {
            EXPECT_EQ(c.first, s->FindFirstOf(c.set[0], c.start));
            EXPECT_EQ(c.last, s->FindLastOf(c.set[0], c.start));
        }
    }
}

TEST(String, CompareTable)
{
    struct
    {
        u32 pos, count;
        const char* text;
        s32 sign;
    } cases[] = {
        {3, 1, "", 0},
        {3, 1, "x", -1},
        {4, 1, "", -1},
        {0, 3, "abc", 0},
        {0, 2, "abx", 0},
        {0, 3, "abd", -1},
        {0, 3, "abb", 1},
        {1, 5, "bc", 0},
        {1, 2, "a", 1},
        {0, 0, "zzz", 0},
        {0, 4, "abcd", -1},
    };
    StrPtr s(qvNewString("abc"));
    for (auto& c : cases)
        EXPECT_EQ(c.sign, s->Compare(c.pos, c.count, c.text)) << c.pos << " " << c.count << " " << c.text;
}

TEST(String, SplitMergesRunsOfSeparators)
{
    struct
    {
        const char* text;
        const char* seps;
        u32 max;
        std::vector<std::string> parts;
    } cases[] = {
        {"a,,b", ",", 8, {"a", "b"}},
        {",a", ",", 8, {"", "a"}},
        {"a,", ",", 8, {"a", ""}},
        {"a,,,", ",", 8, {"a", ""}},
        {"a b c", " ", 2, {"a", "b"}},
        {"a b c", " ", 3, {"a", "b", "c"}},
        {"a b c", " ", 0, {}},
        {"", ",", 8, {}},
        {"abc", ",", 8, {"abc"}},
        {"abc", "", 8, {"abc"}},
        {"a;b, c", ",; ", 8, {"a", "b", "c"}},
    };
    for (auto& c : cases)
    {
        QV_STRING s(c.text);
        QV_STRING parts[8];
        u32 n = s.split(c.seps, parts, c.max);
        ASSERT_EQ(c.parts.size(), n) << c.text << " max " << c.max;
        for (u32 i = 0; i < n; i++)
            EXPECT_EQ(c.parts[i], parts[i].c_str()) << c.text << " part " << i;
    }
}

TEST(String, SubStrTable)
{
    struct
    {
        u32 pos, count;
        const char* result;
    } cases[] = {{1, 3, "ell"}, {1, 100, "ello"}, {0, NF, "hello"}, {4, 1, "o"}, {5, 1, ""}, {9, 1, ""}, {2, 0, ""}};
    StrPtr s(qvNewString("hello"));
    for (auto& c : cases)
    {
        StrPtr sub(s->SubStr(c.pos, c.count));
        ASSERT_NE(nullptr, sub.p);
        EXPECT_STREQ(c.result, sub->CStr()) << c.pos << " " << c.count;
        EXPECT_STREQ(c.result, Make("hello").substr(c.pos, c.count).c_str());
    }
}

TEST(String, AtSetTrimAndEquality)
{
    StrPtr s(qvNewString("ab"));
    EXPECT_EQ((u32)'a', s->At(0));
    EXPECT_EQ(0u, s->At(2));
    EXPECT_EQ(0u, s->At(NF));
    StrPtr hi(qvNewString("\xff"));
    EXPECT_EQ(0xffu, hi->At(0));

    QV_STRING t("ab");
    ASSERT_EQ(1u, t.set(2, 'c'));
    ASSERT_EQ(1u, t.set(0, 'X'));
    EXPECT_STREQ("Xbc", t.c_str());
    // Writing past the end lengthens the string; the skipped bytes are zero.
    ASSERT_EQ(1u, t.set(5, 'z'));
    ASSERT_EQ(6u, t.length());
    EXPECT_EQ(0, memcmp(t.data, "Xbc\0\0z", 7));
    QV_STRING e;
    ASSERT_EQ(1u, e.set(0, 'q'));
    EXPECT_STREQ("q", e.c_str());
    EXPECT_EQ(0u, e.set(0xFFFFFFFEu, 'x'));
    EXPECT_STREQ("q", e.c_str());

    struct
    {
        const char* text;
        const char* set;
        const char* result;
    } trims[] = {{" \tab c\r\n", " \t\r\n", "ab c"}, {"xxxx", "x", ""}, {" a ", "", " a "}, {"", " ", ""}, {"abc", "ca", "b"}};
    for (auto& c : trims)
    {
        QV_STRING x(c.text);
        ASSERT_EQ(1u, x.trim(c.set));
        EXPECT_STREQ(c.result, x.c_str()) << c.text;
        EXPECT_EQ(strlen(c.result), x.length());
    }

    QV_STRING empty;
    EXPECT_TRUE(empty == "");
    EXPECT_FALSE(empty == "a");
    EXPECT_TRUE(Make("ab") == "ab");
    EXPECT_FALSE(Make("ab") == "abc");
    EXPECT_FALSE(Make("abc") == "ab");
}

TEST(String, CopiesConcatenationAndFailedGrowth)
{
    QV_STRING a("left");
    QV_STRING b(a);
    b += "+";
    EXPECT_STREQ("left", a.c_str());
    EXPECT_STREQ("left+", b.c_str());
    QV_STRING empty;
    QV_STRING c(empty);
    EXPECT_EQ(nullptr, c.data);
    EXPECT_STREQ("<left>", ("<" + a + ">").c_str());
    EXPECT_STREQ("leftleft+", (a + b).c_str());
    QV_STRING moved(std::move(b));
    EXPECT_STREQ("left+", moved.c_str());
    c = moved;
    EXPECT_STREQ("left+", c.c_str());
    c = "x";
    EXPECT_STREQ("x", c.c_str());

    // A size that cannot be represented fails and leaves the string as it was.
    EXPECT_EQ(0u, a.Alloc(0xFFFFFFFFu, 1));
    EXPECT_EQ(0u, a.Alloc(0xFFFFFFF0u, 1));
    EXPECT_STREQ("left", a.c_str());
    EXPECT_EQ(32u, a.capacity());
    // A buffer that already holds the count stays as it is.
    char* before = a.data;
    ASSERT_EQ(1u, a.Alloc(31, 1));
    EXPECT_EQ(before, a.data);
}

TEST(QvStringFormat, WritesWhatPrintfWouldInAnyLength)
{
    std::string big(1000, 'x');
    QV_STRING s = qvStringFormat("%s:%u", big.c_str(), 42u);
    EXPECT_EQ(big + ":42", std::string(s.c_str()));
    EXPECT_EQ(1003u, s.length());
    QV_STRING e = qvStringFormat("%s", "");
    EXPECT_TRUE(e.empty());
    EXPECT_STREQ("", e.c_str());
}
