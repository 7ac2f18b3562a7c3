// TCP sessions through a scripted node and the real TCP extension on loopback: the calling
// side (local client accepted, "TcpSess" call, File objects by the peer's names), the called
// side (the peer's call, the connect to the service, the answer), the end of a session from
// either side, the periodic checks by driven ticks, and hostile calls, answers and lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "qvClassFile.h"
#include "test_sess_node.h"

namespace {

const char* const kPeer = "_DEV_p2@grp";

class Sess : public SessFixture
{
protected:
    // A direct connection to kPeer's service svc on a fresh local port; a client connected
    // through it and the call the tunnel made for it.
    struct CLIENT_S
    {
        int fd = -1;
        std::string strCall;
        u32 uSess = 0;
        u32 uPeer = 0;
        size_t uCallIndex = 0;
    };
    u16 m_uCliPort = 0;
    void Connection(const std::string& strSvc = "10.1.2.3:80")
    {
        m_uCliPort = SessFreePort();
        ASSERT_EQ(0, AddConnection(kPeer, strSvc, "127.0.0.1:" + std::to_string(m_uCliPort)));
    }
    CLIENT_S Client()
    {
        CLIENT_S c;
        size_t uBefore = Calls().size();
        c.fd = Keep(SessConnect(m_uCliPort));
        EXPECT_GE(c.fd, 0);
        EXPECT_TRUE(WaitFor([&] { return Calls().size() > uBefore; }));
        auto calls = Calls();
        if (calls.size() <= uBefore)
            return c;
        c.uCallIndex = uBefore;
        c.strCall = calls[uBefore].strData;
        c.uSess = (u32)strtoul(SessParam(c.strCall, "Sess").c_str(), nullptr, 10);
        c.uPeer = calls[uBefore].uObject;
        return c;
    }
    // The index of this call among all method-35 requests (answers go by it).
    size_t AnyIndex(const CLIENT_S& c)
    {
        auto all = Node()->ByMethod(35);
        for (size_t i = 0; i < all.size(); i++)
            if (all[i].strData == c.strCall)
                return i;
        return all.size();
    }
    std::vector<CFakeNode::REQ_S> FileOpens()
    {
        std::vector<CFakeNode::REQ_S> v;
        for (auto& r : Node()->Requests())
            if ((r.uMethod == 32 || r.uMethod == 33) && r.uSize == 536)
                v.push_back(r);
        return v;
    }
    void Post(u32 uMsg, u32 a, u32 b = 0, u32 c = 0, const char* t = nullptr)
    {
        Tunnel()->PostMessage(uMsg, a, b, c, t);
    }
    // Sets a calling-side session up to established: answer, objects synced and opened.
    void Establish(const CLIENT_S& c, u32 uRemote)
    {
        std::string strPut = "FilePut:" + std::to_string(uRemote) + ":" + std::to_string(c.uSess);
        std::string strGet = "FileGet:" + std::to_string(uRemote) + ":" + std::to_string(c.uSess);
        ReplyCall(AnyIndex(c), 0, "TcpSess?FilePut=" + strPut + "&FileGet=" + strGet);
        Sync();
        u32 uPut = Node()->Obj(strPut), uGet = Node()->Obj(strGet);
        ASSERT_NE(0u, uPut);
        ASSERT_NE(0u, uGet);
        Post(DOZIRIZA_MSG_FILE_SYNC, uPut, 1);
        Post(DOZIRIZA_MSG_FILE_SYNC, uGet, 1);
        Sync();
        Post(DOZIRIZA_MSG_FILE_REPLY, uPut, 0);
        Post(DOZIRIZA_MSG_FILE_REPLY, uGet, 0);
        Sync();
    }
};

}  // namespace

TEST_F(Sess, CallingSideSetsUpOpensBothObjectsAndEndsWithThem)
{
    Start();
    Connection("10.1.2.3:8080");
    CLIENT_S c = Client();
    ASSERT_FALSE(c.strCall.empty());
    EXPECT_EQ(Node()->Obj(kPeer), c.uPeer);
    EXPECT_EQ("TcpSess", c.strCall.substr(0, 7));
    EXPECT_EQ("__DirectTunnel_" + std::string(kPeer) + "_127.0.0.1:" + std::to_string(m_uCliPort),
              SessParam(c.strCall, "Tunnel"));
    EXPECT_EQ("10.1.2.3:8080", SessParam(c.strCall, "Host"));
    EXPECT_EQ("1", SessParam(c.strCall, "Direct"));
    EXPECT_EQ("0", SessParam(c.strCall, "Mask"));

    Establish(c, 0x12345678);
    std::string strPut = "FilePut:" + std::to_string(0x12345678) + ":" + std::to_string(c.uSess);
    std::string strGet = "FileGet:" + std::to_string(0x12345678) + ":" + std::to_string(c.uSess);
    u32 uPut = Node()->Obj(strPut), uGet = Node()->Obj(strGet);
    auto opens = FileOpens();
    ASSERT_EQ(2u, opens.size());
    EXPECT_EQ(32u, opens[0].uMethod);
    EXPECT_EQ(uPut, opens[0].uObject);
    EXPECT_EQ(0u, opens[0].strData.find("Put/"));
    EXPECT_EQ(33u, opens[1].uMethod);
    EXPECT_EQ(uGet, opens[1].uObject);
    EXPECT_EQ(opens[0].strData.substr(4), opens[1].strData.substr(4));  // the same AddrSock
    EXPECT_EQ(c.uSess, opens[0].uParam);

    // The local client closes (the extension's report): its direction is closed, the other
    // still runs until it ends.
    shutdown(c.fd, SHUT_WR);
    Tunnel()->PostMessage(DOZIRIZA_MSG_TCP_DISCONNECT, 0, 0, 0, opens[0].strData.substr(4).c_str());
    ASSERT_TRUE(WaitFor([&] {
        for (auto& r : Node()->ByMethod(35))
            if (r.uObject == uPut)
                return true;
        return false;
    }));
    Sync();
    EXPECT_NE(0u, Node()->Obj(strGet));
    Post(DOZIRIZA_MSG_FILE_CLOSE, uPut, 0, 0, "10");
    Sync();
    EXPECT_EQ(0u, Node()->Obj(strPut));
    EXPECT_NE(0u, Node()->Obj(strGet));  // the answer direction is not cut
    EXPECT_FALSE(SessClosedByPeer(c.fd, 50));
    // The peer's sending end is gone once it has sent everything; this receiving end still
    // writes what it holds and ends by itself.
    Post(DOZIRIZA_MSG_FILE_SYNC, uGet, 0);
    Sync();
    EXPECT_NE(0u, Node()->Obj(strGet));
    EXPECT_FALSE(SessClosedByPeer(c.fd, 50));
    Post(DOZIRIZA_MSG_FILE_CLOSE, uGet, 0, 0, "20");
    Sync();
    EXPECT_EQ(0u, Node()->Obj(strGet));
    EXPECT_TRUE(SessClosedByPeer(c.fd));
    EXPECT_TRUE(WaitFor([&] { return ExtStat().uSockets == 0; }));
}

// The node reports the end of a transfer (status 3) from its own thread: with the tunnel thread
// between messages, the report is served there and then, so the object is gone, and with the
// last one the session and its client, by the time the report returns.
TEST_F(Sess, TransferEndsReportedByTheNodeAreServedOnItsThread)
{
    Start();
    Connection("10.1.2.3:8080");
    CLIENT_S c = Client();
    ASSERT_FALSE(c.strCall.empty());
    Establish(c, 0x2468);
    std::string strPut = "FilePut:" + std::to_string(0x2468) + ":" + std::to_string(c.uSess);
    std::string strGet = "FileGet:" + std::to_string(0x2468) + ":" + std::to_string(c.uSess);
    u32 uPut = Node()->Obj(strPut), uGet = Node()->Obj(strGet);
    ASSERT_NE(0u, uPut);
    ASSERT_NE(0u, uGet);
    auto end = [&](u32 uObj, u32 uSide, u64 ullBytes) {
        QV_PARAM_FILE_ST_S st;
        std::memset(&st, 0, sizeof(st));
        st.Status = 3;
        st.Side = uSide;
        st.CurSize = ullBytes;
        Node()->Proc()->OnExtRequest(uObj, 34, &st, sizeof(st), 0, c.uPeer);
    };
    end(uPut, 1, 10);
    EXPECT_EQ(0u, Node()->Obj(strPut));
    EXPECT_NE(0u, Node()->Obj(strGet));
    EXPECT_FALSE(SessClosedByPeer(c.fd, 50));
    end(uGet, 0, 20);
    EXPECT_EQ(0u, Node()->Obj(strGet));
    EXPECT_TRUE(SessClosedByPeer(c.fd));
    EXPECT_TRUE(WaitFor([&] { return ExtStat().uSockets == 0; }));
}

// A client that sends its request and ends its side at once: its end can come while the
// object that reads it is open and the other one is not yet. The request still goes: the
// reading object drains once the other one is open, and the answer's direction stays.
TEST_F(Sess, ClientEndBeforeBothObjectsAreOpenStillSendsItsRequest)
{
    Start();
    Connection("10.1.2.3:8080");
    CLIENT_S c = Client();
    ASSERT_FALSE(c.strCall.empty());
    std::string strPut = "FilePut:77:" + std::to_string(c.uSess);
    std::string strGet = "FileGet:77:" + std::to_string(c.uSess);
    ReplyCall(AnyIndex(c), 0, "TcpSess?FilePut=" + strPut + "&FileGet=" + strGet);
    Sync();
    u32 uPut = Node()->Obj(strPut), uGet = Node()->Obj(strGet);
    ASSERT_NE(0u, uPut);
    ASSERT_NE(0u, uGet);
    auto Closes = [&] {
        size_t n = 0;
        for (auto& r : Node()->ByMethod(35))
            n += r.uObject == uPut;
        return n;
    };
    Post(DOZIRIZA_MSG_FILE_SYNC, uPut, 1);
    Sync();
    auto opens = FileOpens();
    ASSERT_EQ(1u, opens.size());
    shutdown(c.fd, SHUT_WR);
    Tunnel()->PostMessage(DOZIRIZA_MSG_TCP_DISCONNECT, 0, 0, 0, opens[0].strData.substr(4).c_str());
    Sync();
    EXPECT_EQ(uPut, Node()->Obj(strPut));
    EXPECT_EQ(uGet, Node()->Obj(strGet));
    EXPECT_EQ(0u, Closes());
    Post(DOZIRIZA_MSG_FILE_SYNC, uGet, 1);
    ASSERT_TRUE(WaitFor([&] { return Closes() == 1; }));
    Sync();
    EXPECT_EQ(2u, FileOpens().size());
    EXPECT_NE(0u, Node()->Obj(strGet));
    EXPECT_FALSE(SessClosedByPeer(c.fd, 50));
}

TEST_F(Sess, RefusedAnswerClosesTheLocalClientWithTheEvent)
{
    Start();
    Connection("10.1.2.3:22");
    CLIENT_S c = Client();
    ASSERT_NE(0u, c.uSess);
    ReplyCall(AnyIndex(c), 11, "");
    EXPECT_TRUE(SessClosedByPeer(c.fd));
    EXPECT_TRUE(WaitFor([&] {
        for (auto& e : CEventLog::Get().Copy())
            if (e.first == 18 && e.second.find("\"errcode\":11") != std::string::npos &&
                e.second.find("\"clientaddr\":\"127.0.0.1:" + std::to_string(m_uCliPort) + "\"") != std::string::npos &&
                e.second.find("\"hostaddr\":\"10.1.2.3:22\"") != std::string::npos)
                return true;
        return false;
    }));
    EXPECT_TRUE(WaitFor([&] { return ExtStat().uSockets == 0; }));
}

TEST_F(Sess, AnswersWithForeignObjectNamesAreRefused)
{
    Start();
    Connection();
    struct
    {
        const char* put;
        const char* get;
    } cases[] = {
        {"FilePut:7:%S", "FileGet:8:%S"},          // two different called-side handles
        {"FilePut:7:1", "FileGet:7:1"},            // not this session's handle
        {"FileGet:7:%S", "FileGet:7:%S"},          // put named as get
        {"FilePut:7:%S", ""},                      // missing name
        {"FilePut:x7:%S", "FileGet:x7:%S"},        // not a number
        {"FilePut:99999999999:%S", "FileGet:99999999999:%S"},  // past 32 bits
        {"_DEV_p2@grp", "_DEV_c1@grp"},            // names of peer objects
        {"FilePut:7:%S:1", "FileGet:7:%S:1"},      // trailing part
    };
    for (auto& k : cases)
    {
        CLIENT_S c = Client();
        ASSERT_NE(0u, c.uSess);
        auto fill = [&](std::string s) {
            size_t p = s.find("%S");
            if (p != std::string::npos)
                s.replace(p, 2, std::to_string(c.uSess));
            return s;
        };
        std::string strReply = "TcpSess?FilePut=" + fill(k.put) + "&FileGet=" + fill(k.get);
        size_t uObjects = Node()->ByMethod(2).size();  // every added File object gets its option
        ReplyCall(AnyIndex(c), 0, strReply);
        EXPECT_TRUE(SessClosedByPeer(c.fd)) << strReply;
        EXPECT_EQ(uObjects, Node()->ByMethod(2).size()) << strReply;
    }
    EXPECT_TRUE(WaitFor([&] { return ExtStat().uSockets == 0; }));
}

TEST_F(Sess, AnswerFromAnotherPeerObjectIsIgnored)
{
    Start();
    Connection();
    CLIENT_S c = Client();
    u32 uOther = PeerObj("_DEV_p3@grp");
    auto calls = Node()->ByMethod(35);
    size_t i = AnyIndex(c);
    std::string strReply = "TcpSess?FilePut=FilePut:5:" + std::to_string(c.uSess) +
                           "&FileGet=FileGet:5:" + std::to_string(c.uSess);
    Node()->Proc()->OnReply(uOther, 0, strReply.c_str(), (u32)strReply.size() + 1, calls[i].uParam);
    Sync();
    EXPECT_EQ(0u, Node()->Obj("FilePut:5:" + std::to_string(c.uSess)));
    EXPECT_FALSE(SessClosedByPeer(c.fd, 50));
}

TEST_F(Sess, FileObjectIsMatchedToItsOwnSessionOnly)
{
    // The called side's handle in a name may equal one of this side's handles: the object
    // still belongs to the session that added it.
    Start();
    Connection();
    CLIENT_S a = Client();
    CLIENT_S b = Client();
    ASSERT_NE(a.uSess, b.uSess);
    std::string strPut = "FilePut:" + std::to_string(a.uSess) + ":" + std::to_string(b.uSess);
    std::string strGet = "FileGet:" + std::to_string(a.uSess) + ":" + std::to_string(b.uSess);
    ReplyCall(AnyIndex(b), 0, "TcpSess?FilePut=" + strPut + "&FileGet=" + strGet);
    Sync();
    u32 uPut = Node()->Obj(strPut);
    ASSERT_NE(0u, uPut);
    Post(DOZIRIZA_MSG_FILE_SYNC, uPut, 1);
    Sync();
    auto opens = FileOpens();
    ASSERT_EQ(1u, opens.size());
    EXPECT_EQ(b.uSess, opens[0].uParam);
    // An object that no session holds finds none, whatever its name says.
    u32 uStray = Node()->ObjectAdd(("FilePut:" + std::to_string(a.uSess) + ":1").c_str(), 5, 0, 0);
    Post(DOZIRIZA_MSG_FILE_CLOSED, uStray);
    Post(DOZIRIZA_MSG_FILE_SYNC, uStray, 0);
    Sync();
    EXPECT_FALSE(SessClosedByPeer(a.fd, 50));
    EXPECT_FALSE(SessClosedByPeer(b.fd, 50));
    // The object closed by the node ends its own session.
    Post(DOZIRIZA_MSG_FILE_CLOSED, uPut);
    EXPECT_TRUE(SessClosedByPeer(b.fd));
    EXPECT_FALSE(SessClosedByPeer(a.fd, 50));
}

TEST_F(Sess, UnansweredCallIsDroppedAfterTheConnectTimeout)
{
    Start();
    Connection();
    CLIENT_S c = Client();
    ASSERT_NE(0u, c.uSess);
    Ticks(15);
    EXPECT_FALSE(SessClosedByPeer(c.fd, 20));
    Ticks(10);
    EXPECT_TRUE(SessClosedByPeer(c.fd));
}

TEST_F(Sess, MissingPeerObjectIsMadeAgainForANewClient)
{
    Start();
    Connection();
    u32 uPeer = Node()->Obj(kPeer);
    Node()->ObjectDelete(uPeer);
    CLIENT_S c = Client();
    ASSERT_NE(0u, c.uSess);
    EXPECT_NE(0u, Node()->Obj(kPeer));
    EXPECT_EQ(Node()->Obj(kPeer), c.uPeer);
    EXPECT_FALSE(SessClosedByPeer(c.fd, 20));
}

// ---------------------------------------------------------------------------------------------
// Called side

namespace {

class Called : public SessFixture
{
protected:
    u32 m_uPeer = 0;
    int m_fdSvc = -1;
    u16 m_uSvcPort = 0;
    void StartCalled(const std::string& strExtra = "")
    {
        Start(strExtra);
        m_uPeer = PeerObj(kPeer);
        m_fdSvc = Keep(SessListen(&m_uSvcPort));
    }
    std::string Direct(u32 uRemote, const std::string& strHost)
    {
        return "TcpSess?Tunnel=t&Sess=" + std::to_string(uRemote) + "&Host=" + strHost + "&Direct=1&Mask=1";
    }
    std::string Svc() { return "127.0.0.1:" + std::to_string(m_uSvcPort); }
    // The answer to the call of that handle, once it is there.
    bool Answer(u32 uHandle, SESS_REPLY_S* lpOut, int iMs = 5000)
    {
        return WaitFor(
            [&] {
                for (auto& r : CallAnswers())
                    if (r.uHandle == uHandle)
                    {
                        *lpOut = r;
                        return true;
                    }
                return false;
            },
            iMs);
    }
    std::vector<std::string> Notifies()
    {
        std::vector<std::string> v;
        for (auto& r : Node()->ByMethod(36))
            v.push_back(r.strData);
        return v;
    }
};

}  // namespace

TEST_F(Called, DirectCallConnectsToTheServiceAndAnswersWithTheObjects)
{
    StartCalled();
    PeerCall(m_uPeer, Direct(777, Svc()), 0x1001);
    auto svc = SessAcceptAll(m_fdSvc, 1);
    ASSERT_EQ(1u, svc.size());
    Keep(svc[0]);
    SESS_REPLY_S a;
    ASSERT_TRUE(Answer(0x1001, &a));
    EXPECT_EQ(0u, a.uError);
    std::string strPut = SessParam(a.strData, "FilePut");
    std::string strGet = SessParam(a.strData, "FileGet");
    u32 uOwn = 0, uRemote = 0;
    ASSERT_EQ(2, sscanf(strPut.c_str(), "FilePut:%u:%u", &uOwn, &uRemote));
    EXPECT_EQ(777u, uRemote);
    EXPECT_EQ("FileGet:" + std::to_string(uOwn) + ":777", strGet);
    u32 uPut = Node()->Obj(strPut), uGet = Node()->Obj(strGet);
    ASSERT_NE(0u, uPut);
    ASSERT_NE(0u, uGet);
    // The caller learnt both handles before the answer.
    auto n = Notifies();
    ASSERT_FALSE(n.empty());
    EXPECT_EQ("TcpSess?Sess=777&SessOut=" + std::to_string(uOwn), n.back());

    // The peer opens both; the answers name the service socket.
    Node()->Proc()->OnExtRequest(uPut, 32, "x", 1, 0x2001, m_uPeer);
    Node()->Proc()->OnExtRequest(uGet, 33, "x", 1, 0x2002, m_uPeer);
    Sync();
    std::string strPath[2];
    for (auto& r : Node()->Replies())
        if (r.uHandle == 0x2001 || r.uHandle == 0x2002)
        {
            EXPECT_EQ(0u, r.uError);
            strPath[r.uHandle - 0x2001] = r.strData;
        }
    EXPECT_EQ(0u, strPath[0].find("Put/")) << strPath[0];
    EXPECT_EQ(strPath[0].substr(4), strPath[1].substr(4));
    // A put request on the get object is not this session's: refused.
    Node()->Proc()->OnExtRequest(uGet, 32, "x", 1, 0x2003, m_uPeer);
    Sync();
    for (auto& r : Node()->Replies())
    {
        if (r.uHandle == 0x2003)
        {
            EXPECT_EQ(1u, r.uError);
        }
    }

    // The service closes (the extension's report): this side's sending object drains and
    // ends, then the session.
    close(svc[0]);
    m_fds.pop_back();
    Tunnel()->PostMessage(DOZIRIZA_MSG_TCP_DISCONNECT, 0, 0, 0, strPath[0].substr(4).c_str());
    ASSERT_TRUE(WaitFor([&] {
        for (auto& r : Node()->ByMethod(35))
            if (r.uObject == uGet)
                return true;
        return false;
    }));
    Tunnel()->PostMessage(DOZIRIZA_MSG_FILE_CLOSE, uGet, 0, 0, "0");
    Tunnel()->PostMessage(DOZIRIZA_MSG_FILE_CLOSE, uPut, 0, 0, "0");
    Sync();
    EXPECT_EQ(0u, Node()->Obj(strPut));
    EXPECT_EQ(0u, Node()->Obj(strGet));
    EXPECT_TRUE(WaitFor([&] { return ExtStat().uSockets == 0; }));
}

TEST_F(Called, AnswerThatCannotGoOutWaitsForTheNextTick)
{
    StartCalled();
    Node()->m_uReplyFails = 1;
    PeerCall(m_uPeer, Direct(778, Svc()), 0x1003);
    auto svc = SessAcceptAll(m_fdSvc, 1);
    ASSERT_EQ(1u, svc.size());
    Keep(svc[0]);
    ASSERT_TRUE(WaitFor([&] { return Node()->m_uReplyFails == 0; }));
    Sync();
    EXPECT_TRUE(CallAnswers().empty());
    EXPECT_EQ(1u, ExtStat().uSockets);  // the session and its socket stay
    Ticks(1);
    SESS_REPLY_S a;
    ASSERT_TRUE(Answer(0x1003, &a));
    EXPECT_EQ(0u, a.uError);
    EXPECT_EQ("778", SessParam(a.strData, "FilePut").substr(SessParam(a.strData, "FilePut").rfind(':') + 1));
}

TEST_F(Called, RefusedServiceIsAnswered11AndDroppedByTheCheck)
{
    StartCalled();
    u16 uDead = SessFreePort();
    PeerCall(m_uPeer, Direct(5, "127.0.0.1:" + std::to_string(uDead)), 0x1002);
    SESS_REPLY_S a;
    ASSERT_TRUE(Answer(0x1002, &a));
    EXPECT_EQ(11u, a.uError);
    EXPECT_EQ("TcpSess?", a.strData);
    // The answered session stays until the file-status check drops it.
    Ticks(25);
    EXPECT_TRUE(WaitFor([&] { return ExtStat().uSockets == 0; }));
}

TEST_F(Called, HostileCallsAreAnsweredWithTheirErrorAndOpenNothing)
{
    StartCalled("(SvrFilter){(a){127.0.0.2}}");
    const std::string strFar = "127.0.0.1:" + std::to_string(m_uSvcPort);
    struct
    {
        std::string call;
        u32 peer;  // 0: kPeer
        u32 err;
    } cases[] = {
        {"TcpSess?Tunnel=t&Host=" + strFar + "&Direct=1", 0, 2},                     // no Sess
        {"TcpSess?Tunnel=t&Sess=&Host=" + strFar + "&Direct=1", 0, 2},              // empty Sess
        {"TcpSess?Tunnel=t&Sess=12x&Host=" + strFar + "&Direct=1", 0, 2},           // not a number
        {"TcpSess?Tunnel=t&Sess=4294967296&Host=" + strFar + "&Direct=1", 0, 2},    // past 32 bits
        {"TcpSess?Tunnel=t&Sess=1&Host=&Direct=1", 0, 2},                            // no target
        {"TcpSess?Tunnel=t&Sess=1&Host=" + std::string(600, 'h') + "&Direct=1", 0, 2},  // oversized
        {"TcpSess?Tunnel=nosuch&Sess=1&Host=" + strFar, 0, 18},                      // unknown tunnel
        {"TcpSess?Tunnel=t&Sess=1&Host=" + strFar + "&Direct=1", 1, 13},             // foreign domain
        {"TcpSess?Tunnel=t&Sess=1&Host=no.such.name.invalid:80&Direct=1", 0, 2},    // unresolvable
        {"TcpSess?Tunnel=t&Sess=1&Host=" + strFar + "&Direct=1", 0, 13},             // server filter
        {"Other?Sess=1", 0, 2},                                                       // other command
        {std::string(200, 'T') + "?Sess=1", 0, 2},                                   // oversized command
    };
    u32 uForeign = PeerObj("_DEV_x9@other");
    u32 uHandle = 0x3000;
    for (auto& k : cases)
    {
        PeerCall(k.peer ? uForeign : m_uPeer, k.call, ++uHandle);
        SESS_REPLY_S a;
        ASSERT_TRUE(Answer(uHandle, &a)) << k.call;
        EXPECT_EQ(k.err, a.uError) << k.call;
        EXPECT_EQ(0u, ExtStat().uSockets) << k.call;
    }
    EXPECT_TRUE(SessAcceptAll(m_fdSvc, 1, 50).empty());
    EXPECT_TRUE(CEventLog::Get().Has(1, "{\"errcode\":8}"));
    EXPECT_TRUE(WaitFor([] { return CEventLog::Get().Has(1, "{\"errcode\":9}"); }));
}

TEST_F(Called, DirectCallsAreRefusedWhenNotAccepted)
{
    StartCalled("(Utilize){(DirectTunnelAccept){0}}");
    PeerCall(m_uPeer, Direct(1, Svc()), 0x4001);
    SESS_REPLY_S a;
    ASSERT_TRUE(Answer(0x4001, &a));
    EXPECT_EQ(13u, a.uError);
    EXPECT_TRUE(SessAcceptAll(m_fdSvc, 1, 50).empty());
}

TEST_F(Called, ServiceClosingBeforeThePeerOpenedEndsTheSession)
{
    StartCalled();
    PeerCall(m_uPeer, Direct(9, Svc()), 0x5001);
    auto svc = SessAcceptAll(m_fdSvc, 1);
    ASSERT_EQ(1u, svc.size());
    SESS_REPLY_S a;
    ASSERT_TRUE(Answer(0x5001, &a));
    EXPECT_EQ(0u, a.uError);
    Keep(svc[0]);
    // The service goes away after the answer but before the peer opened: the extension
    // reports it, and objects that were never opened end the session at once.
    ASSERT_NE(0u, Node()->Obj(SessParam(a.strData, "FilePut")));
    close(svc[0]);
    m_fds.pop_back();
    EXPECT_TRUE(WaitFor([&] { return ExtStat().uSockets == 0; }));
    Sync();
    EXPECT_EQ(0u, Node()->Obj(SessParam(a.strData, "FilePut")));
    EXPECT_EQ(0u, Node()->Obj(SessParam(a.strData, "FileGet")));
}

TEST_F(Called, ActiveListsKeepNamedSessionsAndDropTheOthers)
{
    StartCalled();
    // 300 sessions of one peer: more than one notification may name.
    const u32 uCount = 300;
    for (u32 i = 0; i < uCount; i++)
        PeerCall(m_uPeer, Direct(1000 + i, Svc()), 0x6000 + i);
    auto svc = SessAcceptAll(m_fdSvc, uCount);
    ASSERT_EQ(uCount, svc.size());
    for (int fd : svc)
        Keep(fd);
    ASSERT_TRUE(WaitFor([&] { return CallAnswers().size() >= uCount; }));
    Ticks(12);  // older than the grace of a fresh session
    auto list = [](u32 uFrom, u32 uTo) {
        std::string s;
        for (u32 i = uFrom; i < uTo; i++)
            s += (s.empty() ? "" : ",") + std::to_string(1000 + i);
        return s;
    };
    // A list in parts: the first part names 256 and says more follow; nothing is dropped.
    PeerNotify(m_uPeer, "Active?" + list(0, 256) + "+");
    Sync();
    EXPECT_EQ(uCount, ExtStat().uSockets);
    // The last part names all but the last ten: those ten go, the others stay.
    PeerNotify(m_uPeer, "Active?" + list(256, 290));
    Sync();
    EXPECT_TRUE(WaitFor([&] { return ExtStat().uSockets == 290; }));
    // A list of more numbers than one list carries, or long enough to have been cut by its
    // sender, only renews: the sessions it could not name may be live.
    PeerNotify(m_uPeer, "Active?" + list(0, 290));
    PeerNotify(m_uPeer, "Active?" + list(0, 200) + "," + std::string(200, '7'));
    PeerNotify(m_uPeer, "Active?" + list(0, 210));
    Sync();
    EXPECT_EQ(290u, ExtStat().uSockets);
    // Hostile lists: junk, oversized numbers and separators name nothing they should not.
    PeerNotify(m_uPeer, "Active?" + list(0, 150) + ",99999999999999,abc,,-1+");
    PeerNotify(m_uPeer, "Active?" + list(0, 150) + ",18446744073709551617");
    Sync();
    EXPECT_TRUE(WaitFor([&] { return ExtStat().uSockets == 150; }));
    // An empty list drops every session of the peer.
    PeerNotify(m_uPeer, "Active?");
    EXPECT_TRUE(WaitFor([&] { return ExtStat().uSockets == 0; }));
}

TEST_F(Called, SessionsWithoutActiveListsGoAfter45Seconds)
{
    StartCalled();
    PeerCall(m_uPeer, Direct(1, Svc()), 0x7001);
    auto svc = SessAcceptAll(m_fdSvc, 1);
    ASSERT_EQ(1u, svc.size());
    Keep(svc[0]);
    SESS_REPLY_S a;
    ASSERT_TRUE(Answer(0x7001, &a));
    Node()->Proc()->OnExtRequest(Node()->Obj(SessParam(a.strData, "FilePut")), 32, "x", 1, 0x7101, m_uPeer);
    Node()->Proc()->OnExtRequest(Node()->Obj(SessParam(a.strData, "FileGet")), 33, "x", 1, 0x7102, m_uPeer);
    Ticks(40);
    EXPECT_EQ(1u, ExtStat().uSockets);
    PeerNotify(m_uPeer, "Active?1");
    Ticks(40);
    EXPECT_EQ(1u, ExtStat().uSockets);
    Ticks(10);
    EXPECT_TRUE(WaitFor([&] { return ExtStat().uSockets == 0; }));
}

TEST_F(Called, DrainingSessionEndsOnlyWhenNeitherDirectionMoves)
{
    StartCalled();
    PeerCall(m_uPeer, Direct(3, Svc()), 0x8001);
    auto svc = SessAcceptAll(m_fdSvc, 1);
    ASSERT_EQ(1u, svc.size());
    SESS_REPLY_S a;
    ASSERT_TRUE(Answer(0x8001, &a));
    u32 uPut = Node()->Obj(SessParam(a.strData, "FilePut"));
    u32 uGet = Node()->Obj(SessParam(a.strData, "FileGet"));
    Node()->Proc()->OnExtRequest(uPut, 32, "x", 1, 0x8101, m_uPeer);
    Node()->Proc()->OnExtRequest(uGet, 33, "x", 1, 0x8102, m_uPeer);
    Sync();
    // The service half-closes; the peer's bytes to it still flow.
    shutdown(svc[0], SHUT_WR);
    Keep(svc[0]);
    std::string strAddrSock;
    for (auto& r : Node()->Replies())
        if (r.uHandle == 0x8101)
            strAddrSock = r.strData.substr(4);
    Tunnel()->PostMessage(DOZIRIZA_MSG_TCP_DISCONNECT, 0, 0, 0, strAddrSock.c_str());
    ASSERT_TRUE(WaitFor([&] {
        for (auto& r : Node()->ByMethod(35))
            if (r.uObject == uGet)
                return true;
        return false;
    }));
    Tunnel()->PostMessage(DOZIRIZA_MSG_FILE_PROGRESS, uGet, 1, 0, "100");
    Tunnel()->PostMessage(DOZIRIZA_MSG_FILE_PROGRESS, uPut, 0, 5000, "100");
    Ticks(30);
    EXPECT_EQ(1u, ExtStat().uSockets);  // still receiving
    Tunnel()->PostMessage(DOZIRIZA_MSG_FILE_PROGRESS, uPut, 0, 0, "200");
    Ticks(9);
    EXPECT_EQ(1u, ExtStat().uSockets);
    // Gone after the disconnect delay of stillness.
    Ticks(2);
    EXPECT_TRUE(WaitFor([&] { return ExtStat().uSockets == 0; }));
}
