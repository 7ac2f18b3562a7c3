// The OML key-value text parser: escapes, the element scanner, paths, reading and editing,
// and hostile documents (unbalanced, truncated, deeply nested, random bytes).
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "qvOMLParser.h"

namespace
{
const char* const NUL = "<null>";

struct Str
{
    explicit Str(IQVString* p = nullptr) : p(p) {}
    ~Str()
    {
        if (p)
            p->Delete();
    }
    Str(const Str&) = delete;
    Str& operator=(const Str&) = delete;
    std::string text() const { return p ? p->CStr() : NUL; }
    IQVString* p;
};

class Oml : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_NE(nullptr, P = qvNewOMLParser()); }
    void TearDown() override { P->Delete(); }

    static std::string Or(const char* text) { return text ? text : NUL; }
    std::string Content(const char* doc, const char* path)
    {
        Str d(qvNewString(doc));
        return Or(P->GetContent(d.p, path));
    }
    std::string Name(const char* doc, const char* path)
    {
        Str d(qvNewString(doc));
        return Or(P->GetName(d.p, path));
    }
    std::string Class(const char* doc, const char* path)
    {
        Str d(qvNewString(doc));
        return Or(P->GetClass(d.p, path));
    }
    std::string Ele(const char* doc, const char* path, u32 count, u32 index)
    {
        Str d(qvNewString(doc));
        Str e(P->GetEle(d.p, path, count, index));
        return e.text();
    }

    IQVOMLParser* P = nullptr;
};
} // namespace

TEST_F(Oml, EncodeAndDecode)
{
    struct
    {
        const char* plain;
        const char* encoded;
    } pairs[] = {
        {"a(b)&c", "a&Ab&B&Gc"},
        {"&()[]{}", "&G&A&B&C&D&E&F"},
        {"plain text", "plain text"},
        {"", ""},
        {"&A", "&GA"},
    };
    for (auto& c : pairs)
    {
        Str s(qvNewString(c.plain));
        ASSERT_EQ(1u, P->Encode(s.p));
        EXPECT_STREQ(c.encoded, s.p->CStr());
        ASSERT_EQ(1u, P->Decode(s.p));
        EXPECT_STREQ(c.plain, s.p->CStr());
    }
    // Decoding stops at the first '&' that begins no known code, the end of the text included.
    struct
    {
        const char* in;
        const char* out;
    } decodes[] = {
        {"x&Zy&Az", "x&Zy&Az"}, {"&Ax&Z&B", "(x&Z&B"}, {"abc&", "abc&"}, {"&", "&"},
        {"&&A", "&&A"},         {"&G&A", "&("},        {"&a", "&a"},     {"&E&F&", "{}&"},
    };
    for (auto& c : decodes)
    {
        Str s(qvNewString(c.in));
        ASSERT_EQ(1u, P->Decode(s.p));
        EXPECT_STREQ(c.out, s.p->CStr()) << c.in;
    }
    EXPECT_EQ(0u, P->Encode(nullptr));
    EXPECT_EQ(0u, P->Decode(nullptr));
}

TEST_F(Oml, PathsAndGetters)
{
    const char* nested = "(A)[k]{(B){1}(P){2}}";
    struct
    {
        const char* doc;
        const char* path;
        const char* name;
        const char* cls;
        const char* content;
    } cases[] = {
        {"(A){x}(B){y}", "B", "B", "", "y"},
        {"(A){x}(B){y}", "C", NUL, NUL, NUL},
        {"(A){x}(B){y}", "", "A", "", "x"},
        {"(A){x}(B){y}", "A.", NUL, NUL, NUL},  // text content: no children
        {nested, "A.P", "P", "", "2"},
        {nested, "A", "A", "k", ""},  // content that holds children reads ""
        {nested, "A.", "B", "", "1"},
        {nested, "A.B", "B", "", "1"},
        {nested, "A.Q", NUL, NUL, NUL},
        {nested, "A.P.", NUL, NUL, NUL},
        {nested, "P", NUL, NUL, NUL},  // children are not top-level siblings
        {nested, "\n/A/P", "P", "", "2"},
        {"(x){1}(a.b){2}", "\n/a.b", "a.b", "", "2"},
        {"(a&Ab){v}", "a(b", "a(b", "", "v"},
        {"[k]{v}(A){w}", "A", "A", "", "w"},  // an element without a name never matches
        {"[k]{v}(A){w}", "", "", "k", "v"},
        {"{(B)[c]{1}}", "", "", "", ""},  // name and class count only before the first '{'
        {"{(B)[c]{1}}", ".B", "B", "c", "1"},
        {"(A)(B)", "B", "B", "", ""},
        {" (A){1} \n (B){2} ", "B", "B", "", "2"},
        {"(A){}", "A", "A", "", ""},
        {"(A)[x&Dy]{a&Eb&Fc}", "A", "A", "x]y", "a{b}c"},
        {"(A){x&}", "A", "A", "", "x&"},
        {"(R){(A){(B){deep}}}", "R.A.B", "B", "", "deep"},
        {"(R){(A){(B){deep}}}", "R..B", "B", "", "deep"},
        {"(A){1}", "A..", NUL, NUL, NUL},
        {"", "", NUL, NUL, NUL},
    };
    for (auto& c : cases)
    {
        EXPECT_EQ(c.name, Name(c.doc, c.path)) << c.doc << " @ " << c.path;
        EXPECT_EQ(c.cls, Class(c.doc, c.path)) << c.doc << " @ " << c.path;
        EXPECT_EQ(c.content, Content(c.doc, c.path)) << c.doc << " @ " << c.path;
    }
    EXPECT_EQ(nullptr, P->GetContent(nullptr, "A"));
    Str d(qvNewString("(A)[k]{v}"));
    EXPECT_EQ(nullptr, P->GetContent(d.p, nullptr));
    // Each getter keeps its own result until it runs again.
    const char* name = P->GetName(d.p, "A");
    const char* cls = P->GetClass(d.p, "A");
    const char* content = P->GetContent(d.p, "A");
    EXPECT_STREQ("A", name);
    EXPECT_STREQ("k", cls);
    EXPECT_STREQ("v", content);
}

TEST_F(Oml, GetEleTakesConsecutiveSiblings)
{
    const char* doc = "(A){(B){1}(P){2}(Q){3}}(Z){9}";
    struct
    {
        const char* path;
        u32 count, index;
        const char* result;
    } cases[] = {
        {"A.B", 2, 0, "(B){1}(P){2}"},
        {"A.B", 1024, 1, "(P){2}(Q){3}"},
        {"A.", 1, 2, "(Q){3}"},
        {"A.B", 1, 3, NUL},
        {"A.B", 0, 0, NUL},
        {"A.X", 1, 0, NUL},
        {"", 1024, 0, "(A){(B){1}(P){2}(Q){3}}(Z){9}"},
        {"Z", 1, 0, "(Z){9}"},
    };
    for (auto& c : cases)
        EXPECT_EQ(c.result, Ele(doc, c.path, c.count, c.index)) << c.path << " " << c.count << " " << c.index;
    // Elements without content end where the next one begins; escapes stay raw.
    EXPECT_EQ("(A)", Ele("(A)(B)", "", 1, 0));
    EXPECT_EQ("(B)", Ele("(A)(B)", "", 1, 1));
    EXPECT_EQ("(A)[]{(B)[&A]}", Ele("(A)[]{(B)[&A]}(C)", "", 1, 0));
    EXPECT_EQ(nullptr, P->GetEle(nullptr, "", 1, 0));
}

TEST_F(Oml, NewEle)
{
    Str e(P->NewEle("a", "b", "c"));
    EXPECT_EQ("(a)[b]{c}", e.text());
    Str empty(P->NewEle("", "", ""));
    EXPECT_EQ("()[]{}", empty.text());
    // Content given here is always text: a nested element is escaped.
    Str nested(P->NewEle("A", "", "(B){1}"));
    EXPECT_EQ("(A)[]{&AB&B&E1&F}", nested.text());
    EXPECT_EQ(nullptr, P->NewEle(nullptr, "", ""));
    EXPECT_EQ(nullptr, P->NewEle("", nullptr, ""));
    EXPECT_EQ(nullptr, P->NewEle("", "", nullptr));
}

TEST_F(Oml, InsertEle)
{
    struct
    {
        const char* doc;
        const char* path;
        u32 count;
        u32 ret;
        const char* result;
    } cases[] = {
        {"(A)[]{old}", "A.", 1024, 1, "(A)[]{(K)[]{v}}"},  // a text content is dropped
        {"(A)[c]{}", "A.", 1024, 1, "(A)[c]{(K)[]{v}}"},
        {"(A)", "A.", 1024, 1, "(A)[]{(K)[]{v}}"},
        {"(A)[]{(B)[]{1}}", "A.", 1024, 1, "(A)[]{(B)[]{1}(K)[]{v}}"},
        {"(A)[]{(B)[]{1}(C)}", "A.", 1024, 1, "(A)[]{(B)[]{1}(C)(K)[]{v}}"},
        {"(A)[]{(B)[]{1}}", "A.B", 0, 1, "(A)[]{(K)[]{v}(B)[]{1}}"},
        {"", "", 1024, 1, "(K)[]{v}"},
        {"(A){1}", "", 1024, 1, "(A){1}(K)[]{v}"},
        {"(A){1}(B){2}", "B", 0, 1, "(A){1}(K)[]{v}(B){2}"},
        {"(A){1}(B){2}", "", 1, 1, "(A){1}(K)[]{v}(B){2}"},
        {"(A){1}(B){2}", "", 0, 1, "(K)[]{v}(A){1}(B){2}"},
        {"(R){(A){(B){1}}}", "R.A.", 1024, 1, "(R){(A){(B){1}(K)[]{v}}}"},
        {"(R){(A){x}}", "\n/R/A/", 1024, 1, "(R){(A)[]{(K)[]{v}}}"},
        {"(A){1}", "X.", 1024, 0, "(A){1}"},
        {"(A){1}", "X", 1024, 0, "(A){1}"},
        {"(A){1}", "A.B", 1024, 0, "(A){1}"},
        {"(A){1}", "A.B.", 1024, 0, "(A){1}"},
    };
    for (auto& c : cases)
    {
        Str d(qvNewString(c.doc));
        EXPECT_EQ(c.ret, P->InsertEle(d.p, c.path, c.count, "K", "", "v")) << c.doc << " @ " << c.path;
        EXPECT_STREQ(c.result, d.p->CStr()) << c.doc << " @ " << c.path;
    }
    Str d(qvNewString(""));
    ASSERT_EQ(1u, P->InsertEle(d.p, "", 1024, "a(b", "[c]", "{x}&"));
    EXPECT_STREQ("(a&Ab)[&Cc&D]{&Ex&F&G}", d.p->CStr());
    EXPECT_EQ("{x}&", Or(P->GetContent(d.p, "a(b")));
    EXPECT_EQ(0u, P->InsertEle(nullptr, "", 1, "K", "", "v"));
    EXPECT_EQ(0u, P->InsertEle(d.p, nullptr, 1, "K", "", "v"));
    EXPECT_EQ(0u, P->InsertEle(d.p, "", 1, nullptr, "", "v"));
    EXPECT_EQ(0u, P->InsertEle(d.p, "", 1, "K", nullptr, "v"));
    EXPECT_EQ(0u, P->InsertEle(d.p, "", 1, "K", "", nullptr));
    EXPECT_STREQ("(a&Ab)[&Cc&D]{&Ex&F&G}", d.p->CStr());
}

TEST_F(Oml, DeleteEle)
{
    const char* doc = "(R){(A){1}(B){2}(C){3}}(Z){9}";
    struct
    {
        const char* path;
        u32 count, index;
        const char* result;
    } cases[] = {
        {"R.A", 5, 0, "(R){}(Z){9}"},  // only three siblings to cut
        {"R.A", 1, 1, "(R){(A){1}(C){3}}(Z){9}"},
        {"R.", 2, 1, "(R){(A){1}}(Z){9}"},
        {"R.A", 1, 3, doc},
        {"R.A", 0, 0, doc},
        {"R.X", 1, 0, doc},
        {"Z", 1, 0, "(R){(A){1}(B){2}(C){3}}"},
        {"", 1, 0, "(Z){9}"},
        {"", 1024, 0, ""},
    };
    for (auto& c : cases)
    {
        Str d(qvNewString(doc));
        P->DeleteEle(d.p, c.path, c.count, c.index);
        EXPECT_STREQ(c.result, d.p->CStr()) << c.path << " " << c.count << " " << c.index;
    }
    P->DeleteEle(nullptr, "", 1, 0);
    Str d(qvNewString(doc));
    P->DeleteEle(d.p, nullptr, 1, 0);
    EXPECT_STREQ(doc, d.p->CStr());
}

TEST_F(Oml, SettersRewriteOneElement)
{
    struct
    {
        const char* doc;
        int part;  // 0 name, 1 class, 2 content
        const char* path;
        const char* value;
        u32 ret;
        const char* result;
    } cases[] = {
        {"(A)[k]{x}(B){y}", 2, "A", "n{e}w", 1, "(A)[k]{n&Ee&Fw}(B){y}"},
        {"(A)[k]{x}(B){y}", 0, "B", "C", 1, "(A)[k]{x}(C)[]{y}"},
        {"(A)[k]{x}(B){y}", 1, "A", "c&d", 1, "(A)[c&Gd]{x}(B){y}"},
        {"(A)[k]{x}(B){y}", 2, "C", "z", 0, "(A)[k]{x}(B){y}"},
        {"pre(A){x}post", 2, "A", "z", 1, "pre(A)[]{z}post"},
        {"(R){(A){1}(B){2}}", 2, "R.B", "", 1, "(R){(A){1}(B)[]{}}"},
        {"(R)[c]{(A){1}}", 2, "R", "text", 1, "(R)[c]{text}"},
        // Renaming or reclassing keeps an element's children.
        {"(R)[c]{(A){1}(B){2}}", 0, "R", "S", 1, "(S)[c]{(A){1}(B){2}}"},
        {"(R){(A){(B){1}}}", 1, "R.A", "k", 1, "(R){(A)[k]{(B){1}}}"},
        {"(A)", 2, "A", "v", 1, "(A)[]{v}"},
        {"", 2, "", "v", 0, ""},
    };
    for (auto& c : cases)
    {
        Str d(qvNewString(c.doc));
        u32 r = c.part == 0 ? P->SetName(d.p, c.path, c.value)
                            : c.part == 1 ? P->SetClass(d.p, c.path, c.value) : P->SetContent(d.p, c.path, c.value);
        EXPECT_EQ(c.ret, r) << c.doc << " @ " << c.path;
        EXPECT_STREQ(c.result, d.p->CStr()) << c.doc << " @ " << c.path;
    }
    Str d(qvNewString("(A){x}"));
    EXPECT_EQ(0u, P->SetContent(nullptr, "A", "v"));
    EXPECT_EQ(0u, P->SetContent(d.p, nullptr, "v"));
    EXPECT_EQ(0u, P->SetName(d.p, "A", nullptr));
    EXPECT_STREQ("(A){x}", d.p->CStr());
}

TEST_F(Oml, SettingsTextRoundTrip)
{
    // Values with every special character survive writing and reading back exactly.
    const char* values[] = {"plain", "a&b", "&", "(x)[y]{z}", "&G&A literal", "line\nbreak", "\xe4\xb8\xad\xe6\x96\x87",
                            "trailing &"};
    Str d(qvNewString(""));
    ASSERT_EQ(1u, P->InsertEle(d.p, "", 1024, "Base", "", ""));
    ASSERT_EQ(1u, P->InsertEle(d.p, "", 1024, "AccountPass", "", ""));
    for (size_t i = 0; i < sizeof(values) / sizeof(values[0]); i++)
    {
        std::string key = "K" + std::to_string(i);
        ASSERT_EQ(1u, P->InsertEle(d.p, "AccountPass.", 1024, key.c_str(), "", "old"));
        ASSERT_EQ(1u, P->SetContent(d.p, ("AccountPass." + key).c_str(), values[i]));
    }
    for (size_t i = 0; i < sizeof(values) / sizeof(values[0]); i++)
        EXPECT_EQ(values[i], Or(P->GetContent(d.p, ("AccountPass.K" + std::to_string(i)).c_str())));
    EXPECT_EQ("", Or(P->GetContent(d.p, "Base")));
    EXPECT_EQ(nullptr, P->GetContent(d.p, "AccountPass.K99"));

    // The system information text: one element edited in place, the others untouched.
    Str info(qvNewString("(DevID){}(MacAddr){00:11}(CpuMHz){2000}"));
    ASSERT_EQ(1u, P->SetContent(info.p, "DevID", "_DEV_c@g"));
    EXPECT_STREQ("(DevID)[]{_DEV_c@g}(MacAddr){00:11}(CpuMHz){2000}", info.p->CStr());
}

TEST_F(Oml, MalformedDocumentsHoldNoElement)
{
    const char* docs[] = {")(A){x}", "(A",     "(A){x", "(A){(B){1}", "((A)){x}", "(A)[[k]]{x}", "}{",
                          "(A]{x}",  "[(A)]{x}", "{",     "&",          "(A)[k",    "(A){x&"};
    for (const char* doc : docs)
    {
        Str d(qvNewString(doc));
        EXPECT_EQ(nullptr, P->GetContent(d.p, "A")) << doc;
        EXPECT_EQ(nullptr, P->GetEle(d.p, "A", 1, 0)) << doc;
        EXPECT_EQ(0u, P->SetContent(d.p, "A", "v")) << doc;
        EXPECT_EQ(0u, P->InsertEle(d.p, "A.", 1, "K", "", "v")) << doc;
        P->DeleteEle(d.p, "A", 1, 0);
        EXPECT_STREQ(doc, d.p->CStr()) << doc;
    }
    // Stray brackets after a complete element belong to no one.
    EXPECT_EQ("x", Content("(A){x}}}", "A"));
    EXPECT_EQ("x", Content("(A){x}{", "A"));
    // Brackets that run out after a name or class still close an element.
    EXPECT_EQ("(A){(B)[]", Ele("(A){(B)[]", "A", 1, 0));
}

TEST_F(Oml, DeepNestingIsScannedWithoutRecursion)
{
    const int depth = 200000;
    std::string open;
    for (int i = 0; i < depth; i++)
        open += "(A){";
    Str unclosed(qvNewString(open.c_str()));
    EXPECT_EQ(nullptr, P->GetContent(unclosed.p, "A"));
    EXPECT_EQ(nullptr, P->GetEle(unclosed.p, "A.A.A", 1, 0));

    std::string closed = open + "x" + std::string(depth, '}');
    Str d(qvNewString(closed.c_str()));
    EXPECT_EQ("", Or(P->GetContent(d.p, "A")));
    Str all(P->GetEle(d.p, "", 1024, 0));
    ASSERT_NE(nullptr, all.p);
    EXPECT_EQ(closed.size(), all.p->Length());
    // A few levels down by path.
    Str inner(P->GetEle(d.p, "A.A.A.A", 1, 0));
    ASSERT_NE(nullptr, inner.p);
    EXPECT_EQ(closed.size() - 5 * 3, inner.p->Length());
}

// A lookup reads the document a bounded number of times whatever the depth of the path: the
// deepest element of a document nested 8,000 deep costs about what one read of the whole
// document does (it cost thousands of reads, one per level).
TEST_F(Oml, LookupCostDoesNotGrowWithTheDepthOfThePath)
{
    const int depth = 8000;
    std::string doc, path;
    for (int i = 0; i < depth; i++)
    {
        doc += "(A){";
        path += i ? ".A" : "A";
    }
    doc += "x" + std::string(depth, '}');
    Str d(qvNewString(doc.c_str()));
    auto cpuNs = [] {
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
    };
    long long t0 = cpuNs();
    const char* deepest = P->GetContent(d.p, path.c_str());
    long long tDeep = cpuNs() - t0;
    ASSERT_NE(nullptr, deepest);
    EXPECT_STREQ("x", deepest);
    t0 = cpuNs();
    for (int i = 0; i < 10; i++)
        Str(P->GetEle(d.p, "", 1, 0));
    long long tWhole = (cpuNs() - t0) / 10;
    EXPECT_LT(tDeep, 50 * tWhole + 5000000) << "deepest " << tDeep << " ns, one whole read " << tWhole << " ns";
}

TEST_F(Oml, TruncatedAndRandomDocumentsAreSafe)
{
    // Every prefix of a real document: reads stay in bounds; edits either succeed or leave
    // the text as it was.
    const std::string full = "(Base)[]{(MaxSess){32}(Name){a&Ab}}(Relay)[r]{(R1){x}(R2){(H){h}}}(End){e}";
    const char* paths[] = {"", "Base.MaxSess", "Relay.R2.H", "Relay.", "End", "Relay.R2.", "\n/Base/Name"};
    for (size_t len = 0; len <= full.size(); len++)
    {
        std::string prefix = full.substr(0, len);
        for (const char* path : paths)
        {
            Str d(qvNewString(prefix.c_str()));
            P->GetName(d.p, path);
            P->GetClass(d.p, path);
            P->GetContent(d.p, path);
            Str e(P->GetEle(d.p, path, 1024, 0));
            if (!P->SetContent(d.p, path, "v"))
            {
                EXPECT_EQ(prefix, d.p->CStr());
            }
            Str d2(qvNewString(prefix.c_str()));
            if (!P->InsertEle(d2.p, path, 2, "K", "", "v"))
            {
                EXPECT_EQ(prefix, d2.p->CStr());
            }
            P->DeleteEle(d2.p, path, 1, 1);
        }
    }
    // Random texts over the bracket and escape alphabet.
    std::mt19937 rng(20261210);
    const char alphabet[] = "()[]{}&AB.G ";
    const char* rpaths[] = {"", "A", "A.", "A.B", "B..", ".", "\n.A", "\n"};
    for (int round = 0; round < 20000; round++)
    {
        std::string text;
        int len = rng() % 40;
        for (int i = 0; i < len; i++)
            text += alphabet[rng() % (sizeof(alphabet) - 1)];
        const char* path = rpaths[rng() % (sizeof(rpaths) / sizeof(rpaths[0]))];
        Str d(qvNewString(text.c_str()));
        P->GetName(d.p, path);
        P->GetContent(d.p, path);
        Str e(P->GetEle(d.p, path, 1 + rng() % 3, rng() % 3));
        if (!P->SetName(d.p, path, "n"))
        {
            ASSERT_EQ(text, d.p->CStr());
        }
        Str d2(qvNewString(text.c_str()));
        if (!P->InsertEle(d2.p, path, rng() % 4, "K", "", "v"))
        {
            ASSERT_EQ(text, d2.p->CStr());
        }
        P->DeleteEle(d2.p, path, 1 + rng() % 3, rng() % 2);
        ASSERT_EQ(1u, P->Decode(d2.p));
    }
}
