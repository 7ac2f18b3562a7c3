// Character-set detection and the text forms of CQVAutoString.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "qvCharSet.h"

namespace
{
struct CharSetCase
{
    const char* text;
    u32 utf8;
    u32 gbk;
};
}  // namespace

TEST(CharSetTest, DetectUtf8AndGbk)
{
    const CharSetCase cases[] = {
        {"", 0, 1},
        {"abc", 0, 1},
        {"\xC3\xA9", 1, 1},                    // é; also a valid GBK pair
        {"\xC3", 0, 0},                        // cut off by the end
        {"\x80\x41", 0, 0},                    // continuation byte where a lead is due
        {"\xB0\xA1", 0, 1},                    // GBK 啊; not UTF-8
        {"\xB0", 0, 0},
        {"a\xE4\xB8\xAD" "b", 1, 1},           // 中 between ASCII; as GBK, E4 B8 and AD 62
        {"\xE4\xB8", 0, 1},                    // three-byte sequence cut short
        {"\xF0\x9F\x98\x80", 1, 1},            // four bytes
        {"\xF8\x88\x80\x80\x80", 1, 0},        // five-byte form
        {"\xFC\x84\x80\x80\x80\x80", 1, 0},    // six-byte form
        {"\xFE\x80\x80\x80\x80", 1, 0},        // 0xFE leads five bytes; 0x80 is no GBK lead
        {"\xC3\x41", 0, 1},                    // bad continuation; a valid GBK pair
        {"\x81\x40", 0, 1},                    // smallest GBK pair
        {"\xFF\x40", 0, 0},                    // 0xFF is no GBK lead
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.utf8, qvStrIsUTF8(c.text)) << testing::PrintToString(std::string(c.text));
        EXPECT_EQ(c.gbk, qvStrIsGBK(c.text)) << testing::PrintToString(std::string(c.text));
    }
    EXPECT_EQ(0u, qvStrIsUTF8(nullptr));
    EXPECT_EQ(0u, qvStrIsGBK(nullptr));
}

TEST(CharSetTest, SystemCharSetNameFromLang)
{
    const char* saved = getenv("LANG");
    std::string keep = saved ? saved : "";
    const std::pair<const char*, const char*> cases[] = {
        {"en_US.GB2312", "GB2312"}, {"C", "UTF-8"}, {"zh_CN.UTF-8@x.y", "UTF-8@x.y"}, {nullptr, "UTF-8"}};
    for (const auto& c : cases)
    {
        if (c.first)
            setenv("LANG", c.first, 1);
        else
            unsetenv("LANG");
        EXPECT_STREQ(c.second, CQVAutoString::GetSysCharSetName()) << (c.first ? c.first : "(unset)");
    }
    if (saved)
        setenv("LANG", keep.c_str(), 1);
    else
        unsetenv("LANG");
}

TEST(CharSetTest, BorrowedAndCopiedForms)
{
    char text[] = "d\xC3\xA9j\xC3\xA0";
    CQVAutoString borrowed(text, QV_CHARSET_UTF8, 0);
    EXPECT_EQ(text, borrowed.GetStr(QV_CHARSET_UTF8));
    // The system form carries the same bytes, in a buffer of its own.
    const char* sys = borrowed.GetStr(QV_CHARSET_SYS);
    EXPECT_STREQ(text, sys);
    EXPECT_NE(text, sys);
    EXPECT_EQ(sys, borrowed.GetStr(QV_CHARSET_SYS));  // kept, not converted again

    CQVAutoString copied(text, QV_CHARSET_SYS, 1);
    EXPECT_NE(text, copied.GetStr(QV_CHARSET_SYS));
    text[0] = 'X';
    EXPECT_STREQ("d\xC3\xA9j\xC3\xA0", copied.GetStr(QV_CHARSET_UTF8));

    CQVAutoString none(nullptr, QV_CHARSET_UTF8, 0);
    EXPECT_STREQ("", none.GetStr(QV_CHARSET_UTF8));
    EXPECT_EQ(0u, none.Assign("x", 0, 0));
    EXPECT_EQ(0u, none.Assign("x", 4, 0));
    EXPECT_EQ(0u, none.Assign(nullptr, QV_CHARSET_UTF8, 0));
    EXPECT_STREQ("", copied.GetStr(7));
    copied.Reset();
    EXPECT_STREQ("", copied.GetStr(QV_CHARSET_UTF8));
}

TEST(CharSetTest, WideFormRoundTrip)
{
    const char* utf8 = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80";  // a é 中 😀
    CQVAutoString s(utf8, QV_CHARSET_UTF8, 0);
    const wchar_t* wide = s.GetWStr();
    ASSERT_EQ(4u, wcslen(wide));
    EXPECT_EQ((wchar_t)0x4E2D, wide[2]);
    EXPECT_EQ((wchar_t)0x1F600, wide[3]);

    CQVAutoString back(wide, QV_CHARSET_WIDE, 1);
    EXPECT_STREQ(utf8, back.GetStr(QV_CHARSET_UTF8));
    EXPECT_STREQ(utf8, back.GetStr(QV_CHARSET_SYS));

    // Malformed input has no wide form: the result is the empty text, never null.
    for (const char* bad : {"\xC3", "\xC0\x80", "\xED\xA0\x80", "\xF8\x88\x80\x80\x80"})
    {
        CQVAutoString b(bad, QV_CHARSET_UTF8, 0);
        ASSERT_NE(nullptr, b.GetWStr());
        EXPECT_EQ(0u, wcslen(b.GetWStr()));
    }
    const wchar_t badWide[] = {0xD800, 0};
    CQVAutoString bw(badWide, QV_CHARSET_WIDE, 0);
    EXPECT_STREQ("", bw.GetStr(QV_CHARSET_UTF8));
}

TEST(CharSetTest, ConvertCopiesOnlyWhenItFits)
{
    char out[4];
    u32 len = sizeof(out);
    EXPECT_EQ(1u, CQVAutoString::xConvert("GBK", "UTF-8", "abc", 3, out, &len));
    EXPECT_STREQ("abc", out);
    EXPECT_EQ(3u, len);
    memcpy(out, "zzz", 4);
    len = sizeof(out);
    EXPECT_EQ(0u, CQVAutoString::xConvert("GBK", "UTF-8", "abcd", 4, out, &len));
    EXPECT_EQ(4u, len);
    EXPECT_STREQ("zzz", out);
}
