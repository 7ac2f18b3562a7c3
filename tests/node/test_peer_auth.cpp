// Peer authentication between the node's Peer class and a remote party over the in-memory wire:
// the remote is asked what it presents, the owner judges it, calls are refused until the owner
// accepts; what the node presents and the remote's verdict; hostile authentication messages;
// digests made and checked with the connection's cookies.
#include "kvPeerRemote.h"

namespace {

class PeerAuth : public PeerRemote {
protected:
    // Type 34: 16 zero bytes, the information and the option.
    static std::string Info(const std::string& info, const std::string& option = "")
    {
        std::string s(16, '\0');
        PutStr(s, info);
        PutStr(s, option);
        return s;
    }
    // Type 35: the code, 12 zero bytes, the parameter.
    static std::string Result(u32 code, const std::string& param)
    {
        std::string s;
        Put32(s, code);
        s.append(12, '\0');
        PutStr(s, param);
        return s;
    }
    // The owner's verdict on a pending request 60 (parameter in a char[256]).
    int Verdict(const ClassCall& judge, u32 code, const char* param)
    {
        char rec[256] = {0};
        std::strcpy(rec, param);
        return node->ObjectExtReply(self, code, rec, sizeof(rec), judge.d);
    }
    // The remote calls the node; the answer's code (13 refused at once, else the owner is asked).
    void CallFromRemote(u32 uParam) { ASSERT_GT(rown.Send(QV_PMSG_CALL, self, Text("(Q){1}"), 0, 2, uParam), 0); }
    u32 AuthState()
    {
        return Entry([](const CQVClassPeer::PEER_S& e) { return e.uAuthState; });
    }
    static std::string Field256(const std::string& d, size_t at) { return std::string(d.c_str() + at); }
};

// The remote announced itself, so it is asked; what it presents goes to the owner, whose
// rejection keeps calls refused (13) until it presents something else that is accepted.
TEST_F(PeerAuth, TheOwnerRejectsThenAccepts)
{
    owner.extResult = -1;
    ASSERT_NO_FATAL_FAILURE(Start(0, 1));
    ASSERT_TRUE(WaitFor([&] { return rown.Msgs(QV_PMSG_AUTH_REQUEST).size() == 1; }));
    EXPECT_EQ(std::string(16, '\0'), rown.Msgs(QV_PMSG_AUTH_REQUEST)[0].data);
    EXPECT_EQ(1u, AuthState());
    CallFromRemote(0x71);
    ASSERT_TRUE(WaitFor([&] { return rown.Msgs(QV_PMSG_CALL_REPLY).size() == 1; }));
    EXPECT_EQ(Code(13), rown.Msgs(QV_PMSG_CALL_REPLY)[0].data);

    ASSERT_GT(rown.Send(QV_PMSG_AUTH_INFO, self, Info("guess")), 0);
    ASSERT_TRUE(WaitFor([&] { return Ext(60).size() == 1; }));
    ClassCall j = Ext(60)[0];
    EXPECT_EQ(self, j.a);
    EXPECT_EQ(peer, j.e);
    ASSERT_EQ(512u, j.data.size());
    EXPECT_EQ("guess", Field256(j.data, 0));
    EXPECT_EQ(2u, AuthState());
    ASSERT_EQ(0, Verdict(j, 9, "denied"));
    ASSERT_TRUE(WaitFor([&] { return rown.Msgs(QV_PMSG_AUTH_RESULT).size() == 1; }));
    EXPECT_EQ(Result(9, "denied"), rown.Msgs(QV_PMSG_AUTH_RESULT)[0].data);
    EXPECT_EQ(5u, AuthState());
    CallFromRemote(0x72);
    ASSERT_TRUE(WaitFor([&] { return rown.Msgs(QV_PMSG_CALL_REPLY).size() == 2; }));
    EXPECT_EQ(Code(13), rown.Msgs(QV_PMSG_CALL_REPLY)[1].data);

    // The same text again is not judged again; a new one is, and accepted.
    ASSERT_GT(rown.Send(QV_PMSG_AUTH_INFO, self, Info("guess")), 0);
    ASSERT_GT(rown.Send(QV_PMSG_AUTH_INFO, self, Info("letmein", "opt")), 0);
    ASSERT_TRUE(WaitFor([&] { return Ext(60).size() == 2; }));
    j = Ext(60)[1];
    EXPECT_EQ("letmein", Field256(j.data, 0));
    EXPECT_EQ("opt", Field256(j.data, 256));
    ASSERT_EQ(0, Verdict(j, 0, "welcome"));
    ASSERT_TRUE(WaitFor([&] { return rown.Msgs(QV_PMSG_AUTH_RESULT).size() == 2; }));
    EXPECT_EQ(Result(0, "welcome"), rown.Msgs(QV_PMSG_AUTH_RESULT)[1].data);
    EXPECT_EQ(4u, AuthState());
    CallFromRemote(0x73);
    ASSERT_TRUE(WaitFor([&] { return Ext(35).size() == 1; }));
    EXPECT_EQ(2u, rown.Msgs(QV_PMSG_CALL_REPLY).size());
    EXPECT_EQ(2u, Ext(60).size());
}

// A new text while the owner decides is handed over once the verdict on the old one comes
// (that verdict is not used); an unanswered request is repeated after more than 9 seconds.
TEST_F(PeerAuth, ChangedTextAndRepeatedRequest)
{
    owner.extResult = -1;
    ASSERT_NO_FATAL_FAILURE(Start(0, 1));
    ASSERT_TRUE(WaitFor([&] { return rown.Msgs(QV_PMSG_AUTH_REQUEST).size() == 1; }));
    ASSERT_NO_FATAL_FAILURE(Seconds(5));
    CallFromRemote(0x81);
    ASSERT_TRUE(WaitFor([&] { return rown.Msgs(QV_PMSG_CALL_REPLY).size() == 1; }));
    EXPECT_EQ(1u, rown.Msgs(QV_PMSG_AUTH_REQUEST).size());
    ASSERT_NO_FATAL_FAILURE(Seconds(6));
    CallFromRemote(0x82);
    ASSERT_TRUE(WaitFor([&] { return rown.Msgs(QV_PMSG_AUTH_REQUEST).size() == 2; }));

    ASSERT_GT(rown.Send(QV_PMSG_AUTH_INFO, self, Info("one")), 0);
    ASSERT_TRUE(WaitFor([&] { return Ext(60).size() == 1; }));
    ASSERT_GT(rown.Send(QV_PMSG_AUTH_INFO, self, Info("two")), 0);
    ASSERT_TRUE(WaitFor([&] { return AuthState() == 3; }));
    ASSERT_EQ(0, Verdict(Ext(60)[0], 0, "ok"));
    ASSERT_TRUE(WaitFor([&] { return Ext(60).size() == 2; }));
    EXPECT_EQ("two", Field256(Ext(60)[1].data, 0));
    EXPECT_EQ(2u, AuthState());
    EXPECT_TRUE(rown.Msgs(QV_PMSG_AUTH_RESULT).empty());
    // A verdict with a malformed parameter is refused and changes nothing.
    EXPECT_EQ(2, node->ObjectExtReply(self, 0, "x", 3, Ext(60)[1].d));
    EXPECT_EQ(2u, AuthState());
}

// A peer rejected more than 9 times is judged again only on information that comes more than
// 9 seconds after its last rejection, whatever the text.
TEST_F(PeerAuth, AMuchRejectedPeerIsHeardOnlyAfterAPause)
{
    owner.extResult = -1;
    ASSERT_NO_FATAL_FAILURE(Start(0, 1));
    ASSERT_NO_FATAL_FAILURE(Seconds(0));
    for (u32 i = 0; i < 10; i++) {
        ASSERT_GT(rown.Send(QV_PMSG_AUTH_INFO, self, Info("try" + std::to_string(i))), 0);
        ASSERT_TRUE(WaitFor([&] { return Ext(60).size() == i + 1; })) << i;
        ASSERT_EQ(0, Verdict(Ext(60)[i], 9, "no"));
        ASSERT_EQ(5u, AuthState());
    }
    EXPECT_EQ(10u, Entry([](const CQVClassPeer::PEER_S& e) { return e.uAuthRejects; }));
    ASSERT_GT(rown.Send(QV_PMSG_AUTH_INFO, self, Info("again")), 0);
    // A ping behind it shows it was handled.
    ASSERT_GT(rown.Send(QV_PMSG_PING, self, std::string(20, 'p'), 0, 0, 1), 0);
    ASSERT_TRUE(WaitFor([&] { return rown.Msgs(QV_PMSG_PING_REPLY).size() == 1; }));
    EXPECT_EQ(10u, Ext(60).size());
    ASSERT_NO_FATAL_FAILURE(Seconds(10));
    ASSERT_GT(rown.Send(QV_PMSG_AUTH_INFO, self, Info("try0")), 0);
    ASSERT_TRUE(WaitFor([&] { return Ext(60).size() == 11; }));
    EXPECT_EQ("try0", Field256(Ext(60)[10].data, 0));
}

// What the node presents goes out when set and whenever the remote asks; the remote's verdict
// on the node reaches the owner (59) without changing the node's own view of the remote.
// Authentication messages from the server's place, too short or with bad strings are dropped.
TEST_F(PeerAuth, PresentedInformationAndHostileMessages)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    char rec[512] = {0};
    std::strcpy(rec, "my-card");
    ASSERT_EQ(0, node->ObjectRequest(peer, 58, rec, sizeof(rec), 0));
    ASSERT_TRUE(WaitFor([&] { return rown.Msgs(QV_PMSG_AUTH_INFO).size() == 1; }));
    EXPECT_EQ(Info("my-card"), rown.Msgs(QV_PMSG_AUTH_INFO)[0].data);
    EXPECT_EQ(2, node->ObjectRequest(peer, 58, "(Info){x}", 0, 0));
    EXPECT_EQ(2, node->ObjectRequest(peer, 58, rec, 511, 0));
    ASSERT_GT(rown.Send(QV_PMSG_AUTH_REQUEST, self, std::string(16, '\0')), 0);
    ASSERT_TRUE(WaitFor([&] { return rown.Msgs(QV_PMSG_AUTH_INFO).size() == 2; }));
    EXPECT_EQ(Info("my-card"), rown.Msgs(QV_PMSG_AUTH_INFO)[1].data);

    ASSERT_GT(rown.Send(QV_PMSG_AUTH_RESULT, self, Result(9, "no")), 0);
    ASSERT_TRUE(WaitFor([&] { return Ext(59).size() == 1; }));
    std::string r59 = Ext(59)[0].data;
    ASSERT_EQ(260u, r59.size());
    u32 code = 0;
    std::memcpy(&code, r59.data(), 4);
    EXPECT_EQ(9u, code);
    EXPECT_EQ("no", Field256(r59, 4));
    EXPECT_EQ(peer, Ext(59)[0].e);
    EXPECT_EQ(0u, AuthState());

    // With authentication off, information is not heard.
    CQVClassPeer::STAT_S before = PeerStat();
    std::string longInfo = Info(std::string(300, 'i'));
    std::string noOption = Info("x").substr(0, 24);
    std::string lenPast = Info("x");
    lenPast[19] = 100;
    ASSERT_GT(rown.Send(QV_PMSG_AUTH_INFO, self, Info("x")), 0);
    ASSERT_GT(rown.Send(QV_PMSG_AUTH_REQUEST, self, std::string(15, '\0')), 0);
    ASSERT_GT(rown.Send(QV_PMSG_AUTH_RESULT, self, Result(1, "").substr(0, 16)), 0);
    ASSERT_GT(rown.Send(QV_PMSG_AUTH_RESULT, self, Result(1, std::string(300, 'p'))), 0);
    ASSERT_TRUE(WaitFor([&] {
        CQVClassPeer::STAT_S s = PeerStat();
        return s.uNotAdmitted >= before.uNotAdmitted + 1 && s.uShort >= before.uShort + 2 &&
               s.uMalformed >= before.uMalformed + 1;
    }));
    ASSERT_EQ(0, node->ObjectRequest(peer, 2, "(Item){23}(Value){1}", 0, 0));
    before = PeerStat();
    for (const std::string& m : {longInfo, noOption, lenPast})
        ASSERT_GT(rown.Send(QV_PMSG_AUTH_INFO, self, m), 0);
    ASSERT_TRUE(WaitFor([&] { return PeerStat().uMalformed >= before.uMalformed + 3; }));
    EXPECT_TRUE(Ext(60).empty());
    EXPECT_EQ(1u, Ext(59).size());
}

// Digests: the node's digest of a text is SHA-256 of its bytes mixed with the connection's
// cookies (its own first), as 44 Base64 characters; it accepts the remote's digest (cookies the
// other way round) and refuses any other.
TEST_F(PeerAuth, DigestsMadeAndChecked)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    u32 local = Get32(rown.Msgs(QV_PMSG_SYNC_REPORT).back().data, 12);
    const u32 remote = 0x1111;
    auto digest = [](const std::string& text, u32 add, u32 mix) {
        std::string w(text);
        for (size_t i = 0; i < w.size(); i++) {
            u8 a = (u8)(add >> (24 - 8 * (i % 4))), x = (u8)(mix >> (24 - 8 * (i % 4)));
            w[i] = (char)((u8)((u8)w[i] + a) ^ x);
        }
        u8 h[32];
        qvDataHash(w.data(), (u32)w.size(), h, sizeof(h));
        char out[64];
        qvHashToStr(h, 32, out, sizeof(out));
        return std::string(out);
    };
    std::string mine = digest("hello", local, remote);
    std::string theirs = digest("hello", remote, local);
    ASSERT_EQ(44u, mine.size());
    ASSERT_NE(mine, theirs);

    char rec[384] = {0};
    std::strcpy(rec, "hello");
    std::strcpy(rec + 256, "unused");
    ASSERT_EQ(-1, node->ObjectRequest(peer, 39, rec, sizeof(rec), 0x39));
    ASSERT_TRUE(WaitFor([&] { return Replies(0x39).size() == 1; }));
    std::string r = Replies(0x39)[0].data;
    ASSERT_EQ(384u, r.size());
    EXPECT_EQ(std::string(256, '\0'), r.substr(0, 256));
    EXPECT_EQ(mine, Field256(r, 256));
    EXPECT_EQ(2, node->ObjectRequest(peer, 39, "(Data){hello}", 0, 0));

    struct Case {
        std::string req;
        int result;
    } cases[] = {
        {"(Data){hello}(Value){" + theirs + "}", 0},
        {"(Data){hello}(Value){" + mine + "}", 13},
        {"(Data){hellO}(Value){" + theirs + "}", 13},
        {"(Data){hello}(Value){}", 2},
        {"(Data){hello}(Value){" + std::string(128, 'v') + "}", 2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.result, node->ObjectRequest(peer, 40, c.req.c_str(), 0, 0)) << c.req;
    std::memset(rec, 0, sizeof(rec));
    std::strcpy(rec, "hello");
    std::strcpy(rec + 256, theirs.c_str());
    EXPECT_EQ(0, node->ObjectRequest(peer, 40, rec, sizeof(rec), 0));
    std::memset(rec + 256, 'z', 128);
    EXPECT_EQ(2, node->ObjectRequest(peer, 40, rec, sizeof(rec), 0));
    EXPECT_EQ(2, node->ObjectRequest(peer, 40, nullptr, 0, 0));
}

}  // namespace
