// Text helpers of the tunnel: the answer scanner of the call bridge, percent-encoding, JSON and
// key-value escaping, and the command and parameter splitters.
#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

#include "doZiriza.h"
#include "doZirizaHttpCall.h"

namespace {

std::string Value(const char* answer, const char* name, bool* found = nullptr)
{
    QV_STRING v;
    u32 ok = CDOZirizaHttpCall::AnswerValue(answer, name, v);
    if (found)
        *found = ok != 0;
    return ok ? std::string(v.c_str()) : std::string("<none>");
}

}  // namespace

TEST(AnswerScanner, ReadsQuotedMembers)
{
    struct
    {
        const char* answer;
        const char* name;
        const char* value;
    } cases[] = {
        {"statusget:{\"result\":\"0\",\"status\":\"16\"}", "status", "16"},
        {"statusget:{\"result\":\"0\",\"status\":\"16\"}", "result", "0"},
        {"x:{ \"a\" : \"1\" , \"b\" : \"2\" }", "b", "2"},
        {"x:{\"a\":\"1\",\"a\":\"2\"}", "a", "1"},                 // the first match wins
        {"x:{\"a\":\"q\\\"b\"}", "a", "q\"b"},                     // escaped quote inside a value
        {"x:{\"a\":\"ends\\\\\",\"b\":\"2\"}", "a", "ends\\"},     // value ending in a backslash
        {"x:{\"a\":\"ends\\\\\",\"b\":\"2\"}", "b", "2"},          // ... and the member after it
        {"x:{\"a\":\"\\\"b\\\":\\\"x\\\"\",\"b\":\"y\"}", "b", "y"}, // a name inside a value does not count
        {"x:{\"a\":\"l1\\nl2\\u0001\\u00e9\"}", "a", "l1\nl2\x01\xc3\xa9"},
        {"x:{\"a\":\"\\ud83d\\ude00\"}", "a", "\xf0\x9f\x98\x80"},
        {"x:{\"n\":5,\"a\":\"1\"}", "a", "1"},                     // unquoted values are skipped
        {"x:{\"n\":5,\"a\":\"1\"}", "n", "<none>"},
        {"x:{\"a\":\"1\"}", "b", "<none>"},
        {"x:{\"a\":\"1\"},\"b\":\"2\"}", "b", "<none>"},          // a closing brace ends the search
        {"x:{\"a\":\"unterminated", "a", "<none>"},
        {"x:{\"a\":\"1\\", "a", "<none>"},
        {"no brace \"a\":\"1\"", "a", "<none>"},
        {"", "a", "<none>"},
        {"x:{\"a\"", "a", "<none>"},
        {"x:{\"a\":", "a", "<none>"},
        {"x:{\"\":\"e\"}", "", "e"},
    };
    for (auto& c : cases)
        EXPECT_EQ(c.value, Value(c.answer, c.name)) << c.answer << " / " << c.name;
    EXPECT_EQ("<none>", Value(nullptr, "a"));
}

TEST(AnswerScanner, ActionName)
{
    EXPECT_STREQ("statusget", CDOZirizaHttpCall::AnswerAction("statusget:{\"result\":\"0\"}").c_str());
    EXPECT_STREQ("", CDOZirizaHttpCall::AnswerAction("no colon here").c_str());
    EXPECT_STREQ("", CDOZirizaHttpCall::AnswerAction(":{}").c_str());
    EXPECT_STREQ("", CDOZirizaHttpCall::AnswerAction(nullptr).c_str());
}

TEST(AnswerScanner, RoundTripsEscapedText)
{
    // Whatever a peer or the server sends comes back out of an answer unchanged.
    const std::string hostile[] = {"plain", "q\"uote", "back\\", "\\\"", "\"},\"result\":\"0", "tab\tnl\n\x01",
                                   "\xe4\xb8\xad\xe6\x96\x87", ""};
    for (auto& s : hostile)
    {
        QV_STRING esc = qvJsonConvert(s.c_str());
        std::string answer = std::string("pushget:{\"result\":\"0\",\"data\":\"") + esc.c_str() + "\"}";
        EXPECT_EQ(s, Value(answer.c_str(), "data")) << answer;
        EXPECT_EQ("0", Value(answer.c_str(), "result")) << answer;
        Json::Value v;
        Json::CharReaderBuilder b;
        std::string err;
        std::string obj = answer.substr(answer.find(':') + 1);
        std::unique_ptr<Json::CharReader> r(b.newCharReader());
        ASSERT_TRUE(r->parse(obj.data(), obj.data() + obj.size(), &v, &err)) << obj << " " << err;
        EXPECT_EQ(s, v["data"].asString());
        EXPECT_EQ(2u, v.size());
    }
}

TEST(TextHelpers, JsonConvert)
{
    EXPECT_STREQ("a\\\"b\\\\c", qvJsonConvert("a\"b\\c").c_str());
    EXPECT_STREQ("\\u000a\\u001f", qvJsonConvert("\n\x1f").c_str());
    EXPECT_STREQ("", qvJsonConvert(nullptr).c_str());
    EXPECT_STREQ("\xc3\xa9", qvJsonConvert("\xc3\xa9").c_str());
}

TEST(TextHelpers, PercentEncoding)
{
    EXPECT_STREQ("azAZ09-_.!~*'()", doZirizaUriEncode("azAZ09-_.!~*'()").c_str());
    EXPECT_STREQ("a%20b%26c%3Dd%25%2F%C3%A9", doZirizaUriEncode("a b&c=d%/\xc3\xa9").c_str());
    EXPECT_STREQ("", doZirizaUriEncode(nullptr).c_str());
    EXPECT_STREQ("", doZirizaUriEncode("").c_str());
    // Decoding gives the text back; malformed escapes stay as they are.
    EXPECT_STREQ("a b&c=d%/\xc3\xa9", CDOZiriza::DecodeUriComponent("a%20b%26c%3Dd%25%2F%C3%A9").c_str());
    EXPECT_STREQ("%zz%4%", CDOZiriza::DecodeUriComponent("%zz%4%").c_str());
    EXPECT_STREQ("a+b%41", CDOZiriza::DecodeUriComponent("a+b%2541").c_str());
    EXPECT_STREQ("x%00y", CDOZiriza::DecodeUriComponent("x%00y").c_str());
}

TEST(TextHelpers, PeerFwdCfgText)
{
    struct
    {
        int s, g, u, m;
        const char* opt;
        const char* text;
    } cases[] = {
        {-1, -1, -1, -1, nullptr, ""},
        {-1, -1, -1, -1, "", ""},
        {0, 1, 2, 3, nullptr, "speed=0&gate=1&use=2&maxsess=3"},
        {-1, 5, -1, -2, "a b", "gate=5&option=a%20b"},
        {-5, -1, -1, -1, "x", "option=x"},
    };
    for (auto& c : cases)
        EXPECT_STREQ(c.text, CDOZirizaHttpCall::PeerFwdCfgText(c.s, c.g, c.u, c.m, c.opt).c_str());
}

TEST(TextHelpers, OmlEncode)
{
    EXPECT_STREQ("&G&A&B&C&D&E&Fx", doZirizaOmlEncode("&()[]{}x").c_str());
    CDOZiriza t;
    EXPECT_STREQ("a&Ab&B", t.omlEncode("a(b)"));
    EXPECT_STREQ("1", t.omlGetContent("(A){(B){1}}", "A.B"));
    EXPECT_STREQ("A", t.omlGetName("(A){(B){1}}", ""));
    EXPECT_EQ(nullptr, t.omlGetContent(nullptr, "A"));
}

TEST(TextHelpers, ParseCmd)
{
    char cmd[128];
    const char* p = CDOZiriza::ParseCmd("SetSess?x=1", cmd, sizeof(cmd));
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("SetSess", cmd);
    EXPECT_STREQ("x=1", p);
    p = CDOZiriza::ParseCmd("Restart", cmd, sizeof(cmd));
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("Restart", cmd);
    EXPECT_STREQ("", p);
    p = CDOZiriza::ParseCmd("?only", cmd, sizeof(cmd));
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("", cmd);
    EXPECT_STREQ("only", p);
    std::string longCmd(127, 'c');
    EXPECT_NE(nullptr, CDOZiriza::ParseCmd((longCmd + "?a").c_str(), cmd, sizeof(cmd)));
    EXPECT_EQ(nullptr, CDOZiriza::ParseCmd((longCmd + "c?a").c_str(), cmd, sizeof(cmd)));
    EXPECT_EQ(nullptr, CDOZiriza::ParseCmd(nullptr, cmd, sizeof(cmd)));
}

TEST(TextHelpers, ParseParam)
{
    struct
    {
        const char* text;
        const char* name;
        const char* value;  // null: not found
    } cases[] = {
        {"a=1&b=2&a=3", "a", "1"},
        {"a=1&b=2&a=3", "b", "2"},
        {"flag&b=2", "flag", ""},
        {"=v&b=2", "=v", ""},
        {"a=x=y", "a", "x=y"},
        {"A=1", "a", nullptr},
        {"ab=1", "a", nullptr},
        {"", "a", nullptr},
        {"", "", ""},
        {"a=1&&b=", "b", ""},
        {"a=1&", "", ""},
    };
    for (auto& c : cases)
    {
        QV_STRING v;
        u32 found = CDOZiriza::ParseParam(c.text, c.name, '=', v);
        if (c.value == nullptr)
            EXPECT_EQ(0u, found) << c.text << " / " << c.name;
        else
        {
            EXPECT_EQ(1u, found) << c.text << " / " << c.name;
            EXPECT_STREQ(c.value, v.c_str()) << c.text << " / " << c.name;
        }
    }
}

TEST(TextHelpers, LoginErrorToStatus)
{
    const u32 table[][2] = {{12, 17}, {11, 18}, {8, 19}, {9, 20}, {13, 21}, {14, 22}, {1, 23}, {255, 23}, {256, 256},
                            {1000, 1000}, {0, 23}};
    for (auto& r : table)
        EXPECT_EQ(r[1], CDOZiriza::LoginErrorToStatus(r[0])) << r[0];
}
