// Peer socket layer over an in-memory datagram carrier: handshake, framing of every action
// (hostile input included), send and receive rings, acknowledgements, key exchange, events
// and configuration.
#include "kvSocketFakes.h"
#include "qvDgramOut.h"
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

u32 Rd32(const u8* p) { return qvSkRd32(p); }

struct Pkt {
    std::vector<u8> b;
    u32 uCnnt;
    u32 uMode;
    std::thread::id tid;  // the thread that handed it to the carrier
};

// Datagram carrier that records what the layer sends. With bCapture, a datagram made while
// the calling thread collects its datagrams is recorded when the collection is flushed, as a
// driver sends it; onFlush sees each such datagram then.
class FakeLower : public FakePeerTable, public IQVDgramPort {
public:
    std::vector<Pkt> sent;
    std::vector<Pkt> direct;
    std::vector<u32> ctrl;
    bool bFail = false;
    std::atomic<bool> bCapture{false};
    std::function<void(const Pkt&)> onFlush;
    std::vector<u32> cnnt;   // pairs (connection id, value) reported for every peer

    u32 Initialize(void*, const u32*) override { return 1; }
    void Clean() override {}
    s32 Send(u32, const QV_BUF_S& buf, u32 uCnnt, u32 uMode, u32* lpuUsed) override
    {
        std::lock_guard<std::mutex> lk(mu);
        if (lpuUsed) *lpuUsed = uCnnt;
        if (bFail) return -1;
        CQVDgramOut* lpOut = bCapture ? qvDgramCapture() : nullptr;
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        if (lpOut && lpOut->Add(this, -1, uMode, (const sockaddr*)&sa, sizeof(sa), buf.buf + buf.uOffset, buf.uLen))
            return (s32)buf.uLen;
        sent.push_back({std::vector<u8>(buf.buf + buf.uOffset, buf.buf + buf.uOffset + buf.uLen), uCnnt, uMode,
                        std::this_thread::get_id()});
        return (s32)buf.uLen;
    }
    void DgramFlush(QV_DGRAM_REC_S** lpList, u32 uCount) override
    {
        for (u32 i = 0; i < uCount; i++) {
            Pkt p{std::vector<u8>(lpList[i]->aData, lpList[i]->aData + lpList[i]->uLen), 0, lpList[i]->uWhich,
                  std::this_thread::get_id()};
            {
                std::lock_guard<std::mutex> lk(mu);
                sent.push_back(p);
            }
            if (onFlush) onFlush(p);
        }
    }
    s32 SendDirect(const QV_ADDR_S&, const QV_BUF_S& buf, u32) override
    {
        std::lock_guard<std::mutex> lk(mu);
        direct.push_back({std::vector<u8>(buf.buf + buf.uOffset, buf.buf + buf.uOffset + buf.uLen), 0, 0, {}});
        return (s32)buf.uLen;
    }
    u32 Ctrl(u32, u32 uCmd, u32) override
    {
        std::lock_guard<std::mutex> lk(mu);
        ctrl.push_back(uCmd);
        return 1;
    }
    u32 GetPeerCnntAddr(u32, u32* lpPairs, u32 uMax) override
    {
        std::lock_guard<std::mutex> lk(mu);
        u32 n = 0;
        for (; n < uMax && 2 * n + 1 < cnnt.size(); n++) {
            lpPairs[2 * n] = cnnt[2 * n];
            lpPairs[2 * n + 1] = cnnt[2 * n + 1];
        }
        return n;
    }
    u32 SetMainSpeed(u32, u32) override { return 1; }
    u32 SetSelfPeer(const char*) override { return 1; }
    u32 GetTryTimeout() override { return 6; }
    u32 SetLoopSpeed(u32) override { return 1; }

    // Packets of one action sent so far.
    std::vector<Pkt> Of(u8 uAction)
    {
        std::lock_guard<std::mutex> lk(mu);
        std::vector<Pkt> v;
        for (auto& p : sent)
            if (p.b.size() >= 2 && p.b[1] == uAction) v.push_back(p);
        return v;
    }
    size_t Count(u8 uAction) { return Of(uAction).size(); }
    void Clear()
    {
        std::lock_guard<std::mutex> lk(mu);
        sent.clear();
    }
};

struct Ev {
    u32 e, v1, v2, v3, v4, param, extra, sid;
};

class Owner : public IQVSocketOwner {
public:
    std::mutex mu;
    std::vector<Ev> ev;
    std::vector<u32> drops;
    std::atomic<bool> bTake{true};
    std::function<void(const Ev&)> onEvent;

    u32 SocketProc(u32 e, u32 v1, u32 v2, u32 v3, u32 v4, u32 p, u32 x, u32 sid) override
    {
        Ev r{e, v1, v2, v3, v4, p, x, sid};
        {
            std::lock_guard<std::mutex> lk(mu);
            ev.push_back(r);
        }
        if (onEvent) onEvent(r);
        return bTake ? 1 : 0;
    }
    void SocketTimer(u32) override {}
    void SocketDrop(u32 sid) override
    {
        std::lock_guard<std::mutex> lk(mu);
        drops.push_back(sid);
    }
    void SocketSetParam(u32, u32, u32) override {}
    void SocketThreadStatus(u32) override {}
    std::vector<Ev> Of(u32 e)
    {
        std::lock_guard<std::mutex> lk(mu);
        std::vector<Ev> v;
        for (auto& r : ev)
            if (r.e == e) v.push_back(r);
        return v;
    }
    bool Marked(u32 m)
    {
        for (auto& r : Of(QV_SOCK_EVENT_REPORT))
            if (r.v4 == m) return true;
        return false;
    }
};

const u32 kPeerCookie = 0x5A5A0001;

// One socket layer on a fake carrier, with one peer socket brought to the connected state.
class SocketTest : public ::testing::Test {
protected:
    FakeLower low;
    Owner own;
    CQVSocket sock;
    QV_ADDR_S peer = Addr(0x0A000002, 2000);
    u32 sid = 0;

    // The tests' configuration: 16 blocks to send and a window of 16 on every priority, a
    // receive ring of uRecvQue.
    static CQVSocket::CFG_S Cfg(u32 uRecvQue = 8, u32 uNodeOption = 0)
    {
        CQVSocket::CFG_S cfg;
        std::memset(&cfg, 0, sizeof(cfg));
        cfg.uNodeOption = uNodeOption;
        for (u32 i = 0; i < 4; i++) {
            cfg.uSendQue[i] = 16;
            cfg.uRecvQue[i] = uRecvQue;
            cfg.uInitWnd[i] = 16;
        }
        return cfg;
    }
    void Start(CQVSocket::CFG_S* pCfg = nullptr, u32 uMDU = 100)
    {
        sock.SetLower(&low);
        sock.Attach(&own);
        sock.SetConfig(pCfg ? *pCfg : Cfg());
        ASSERT_EQ(1u, sock.Initialize(nullptr));
        ASSERT_EQ(1u, sock.SetMDU(uMDU));
        ASSERT_EQ(1u, sock.SetName("me"));
    }
    void TearDown() override
    {
        sock.Clean();
        if (bTimerStopped) {
            EXPECT_EQ(1u, qvTimerInit(64));
        }
    }
    // Returns once the dispatcher has done all it had to do so far (see SettleDispatcher).
    void Settle() { ASSERT_TRUE(SettleDispatcher(sock, [&](u32 m) { return own.Marked(m); })); }
    // Stops the timer service, so that every timer pass from here on is one the test drives
    // (TimerPass); it starts again after the test.
    bool bTimerStopped = false;
    void StopTimer()
    {
        qvTimerClean();
        bTimerStopped = true;
    }

    void Inject(const std::vector<u8>& pkt, u32 uSockID)
    {
        std::vector<u8> d(64 + pkt.size());
        if (!pkt.empty()) std::memcpy(d.data() + 64, pkt.data(), pkt.size());
        QV_BUF_S b{d.data(), 64, (u32)d.size(), (u32)pkt.size(), 0};
        sock.SockEventData(peer, b, uSockID, 0, 0);
    }
    std::vector<u8> InitPkt(u8 uAction, u32 uRecvCookie, u32 uSendCookie, u8 uFlags = 7,
                            std::vector<u32> next = {0, 0, 0, 0}, size_t len = 188)
    {
        std::vector<u8> p(len, 0);
        p[1] = uAction;
        p[2] = uFlags;
        if (len >= 12) {
            qvSkWr32(&p[4], uRecvCookie);
            qvSkWr32(&p[8], uSendCookie);
        }
        if (len >= 140) std::memcpy(&p[12], "peer", 4);
        if (len >= 156)
            for (u32 i = 0; i < 4; i++) qvSkWr32(&p[140 + 4 * i], next[i]);
        return p;
    }
    // The layer's own cookie, from its latest InitQ (remembered across low.Clear()).
    u32 uLcl = 0;
    u32 LocalCookie()
    {
        auto q = low.Of(QV_SKP_INITQ);
        if (!q.empty()) uLcl = Rd32(&q.back().b[8]);
        return uLcl;
    }
    // Brings the peer socket to the connected state; uFlags are the peer's init flags.
    void Connect(u8 uFlags = 7)
    {
        sid = sock.Add(&peer, 0, 77, 0);
        ASSERT_NE(0u, sid);
        ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_INITQ) >= 1; }));
        Inject(InitPkt(QV_SKP_INITR, LocalCookie(), kPeerCookie, uFlags), sid);
        ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_CONNECT).size() == 1; }));
    }
    std::vector<u8> DataPkt(u32 uBlock, u8 uFlags, u32 uPrio, const std::string& pay, u32 uObject = 9,
                            u16 uMethod = 3, u32 uCookie = 0)
    {
        std::vector<u8> p(24 + pay.size(), 0);
        p[1] = QV_SKP_DATA;
        p[2] = uFlags;
        p[3] = (u8)uPrio;
        qvSkWr32(&p[4], uCookie ? uCookie : LocalCookie());
        qvSkWr32(&p[8], uBlock);
        qvSkWr32(&p[12], uObject);
        qvSkWr16(&p[16], uMethod);
        qvSkWr32(&p[20], 0x44);
        std::memcpy(p.data() + 24, pay.data(), pay.size());
        return p;
    }
    std::vector<u8> AckPkt(u32 uNext, u8 uGap, u32 uPrio, u32 uFree = 16, bool bRange = false, u32 uStart = 0,
                           u32 uSize = 0)
    {
        std::vector<u8> p(bRange ? 32 : 16, 0);
        p[1] = QV_SKP_ACK;
        p[2] = uGap;
        p[3] = (u8)uPrio;
        qvSkWr32(&p[4], LocalCookie());
        qvSkWr32(&p[8], uNext);
        qvSkWr16(&p[12], uFree);
        if (bRange) {
            qvSkWr16(&p[16], uStart);
            qvSkWr16(&p[18], uSize);
        }
        return p;
    }
    // Answers the layer's EncQ as the peer: the peer's key is then in slot h of peerKey
    // (on mbedtls when uPeerHw is 0).
    void AnswerKeyExchange(CQVCrypto& peerKey, u32& h, u32 uPeerHw = 1)
    {
        ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_ENCQ) >= 1; }));
        auto q = low.Of(QV_SKP_ENCQ)[0].b;
        ASSERT_EQ(q.size() - 12, qvSkRd16(&q[10]));
        EXPECT_EQ(kPeerCookie, Rd32(&q[4]));
        ASSERT_EQ(1u, peerKey.Initialize(1));
        h = peerKey.Open(0);
        ASSERT_EQ(QV_CRYPTO_OK, peerKey.Import(h, &q[12], (u32)q.size() - 12, qvSkRd16(&q[8]), 1));
        std::vector<u8> r(12 + 512, 0);
        u32 len = 0, qid = 0;
        CQVAesCbc::SetHwAllowed(uPeerHw);
        int rc = peerKey.Export(h, &r[12], &len, qid, 0);
        CQVAesCbc::SetHwAllowed(1);
        ASSERT_EQ(QV_CRYPTO_OK, rc);
        r.resize(12 + len);
        r[1] = QV_SKP_ENCR;
        qvSkWr32(&r[4], LocalCookie());
        qvSkWr16(&r[8], qid);
        qvSkWr16(&r[10], len);
        Inject(r, sid);
    }
    s32 SendMsg(const std::string& s, u32 uPrio = 0, u32 uOpt = 0, u32 uHandle = 0x1111, u32 uObject = 9,
                u32 uMethod = 3)
    {
        QV_SK_BUF_S b;
        std::memset(&b, 0, sizeof(b));
        b.uHandle = uHandle;
        b.uObject = uObject;
        b.uMethod = uMethod;
        b.uFlag = 1;
        b.uPrio = uPrio;
        b.uHandle2 = 0x44;
        b.uSize = (u32)s.size();
        b.lpData = (u8*)s.data();
        return sock.Send(sid, b, uOpt);
    }
};

// ---------------------------------------------------------------------------------------------

TEST_F(SocketTest, HandshakeConnectsAndLearnsThePeer)
{
    Start();
    Connect();
    auto q = low.Of(QV_SKP_INITQ);
    ASSERT_FALSE(q.empty());
    EXPECT_EQ(188u, q[0].b.size());
    EXPECT_EQ(7, q[0].b[2]);
    EXPECT_EQ(0u, Rd32(&q[0].b[4]));     // remote cookie still unknown
    EXPECT_EQ(2u, q[0].uMode);
    EXPECT_STREQ("me", (const char*)&q[0].b[12]);
    auto c = own.Of(QV_SOCK_EVENT_CONNECT);
    EXPECT_EQ(77u, c[0].param);
    EXPECT_EQ(sid, c[0].sid);
    char name[16];
    EXPECT_EQ(1u, sock.GetPeerName(sid, name, sizeof(name)));
    EXPECT_STREQ("peer", name);
}

TEST_F(SocketTest, InitQAnsweredWithInitRCarryingBothCookies)
{
    Start();
    Connect();
    low.Clear();
    Inject(InitPkt(QV_SKP_INITQ, LocalCookie(), kPeerCookie), sid);
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_INITR) == 1; }));
    auto r = low.Of(QV_SKP_INITR)[0].b;
    EXPECT_EQ(kPeerCookie, Rd32(&r[4]));
    EXPECT_EQ(188u, r.size());
}

TEST_F(SocketTest, InitQFromRestartedPeerRestartsTheHandshake)
{
    Start();
    Connect();
    u32 old = LocalCookie();
    low.Clear();
    Inject(InitPkt(QV_SKP_INITQ, 0, kPeerCookie + 1), sid);
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_INITQ) == 1 && low.Count(QV_SKP_INITR) == 1; }));
    EXPECT_EQ(old, LocalCookie());
    EXPECT_EQ(kPeerCookie + 1, Rd32(&low.Of(QV_SKP_INITR)[0].b[4]));
    char name[16];
    EXPECT_EQ(0u, sock.GetPeerName(sid, name, sizeof(name)));   // back in the handshake
}

TEST_F(SocketTest, UnknownSourcesArePendingUntilAccepted)
{
    Start();
    // Two InitQs and a Data packet from one unknown address make one pending record.
    Inject(InitPkt(QV_SKP_INITQ, 0, 0x1234), 0);
    Inject(InitPkt(QV_SKP_INITQ, 0, 0x1235), 0);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_NEW).size() == 1; }));
    u32 nid = own.Of(QV_SOCK_EVENT_NEW)[0].param;
    char name[128];
    u32 cookie = 0;
    ASSERT_EQ(1u, sock.NewGetInitParam(nid, name, cookie));
    EXPECT_STREQ("peer", name);
    EXPECT_EQ(0x1235u, cookie);
    auto d = DataPkt(0, QV_SKD_LAST, 1, "held", 9, 3, 1);
    Inject(d, 0);
    EXPECT_EQ(0u, sock.NewGetInitParam(nid, name, cookie));   // a Data packet cleared it
    QV_SK_BUF_S b;
    std::memset(&b, 0, sizeof(b));
    u8 out[64];
    b.lpData = out;
    b.uSize = 2;
    EXPECT_EQ(-6, sock.NewBufGet(nid, b));                   // too small: refused, not overrun
    Inject(d, 0);
    b.uSize = sizeof(out);
    ASSERT_EQ(4, sock.NewBufGet(nid, b));
    EXPECT_EQ(0, std::memcmp(out, "held", 4));
    EXPECT_EQ(1u, b.uPrio);
    EXPECT_EQ(-5, sock.NewBufGet(nid, b));
    QV_ADDR_S got;
    ASSERT_EQ(1u, sock.NewGet(nid, got));
    EXPECT_EQ(Key(peer), Key(got));
    sock.NewDelete(nid);
    EXPECT_EQ(0u, sock.NewGet(nid, got));
}

TEST_F(SocketTest, InitLimitAnswersWithSimulatedReplyAndAllocatesNothing)
{
    Start();
    sock.SetMainSpeed(1);
    Connect();   // the socket in its handshake counted while it lasted; connected now
    sock.Add(&peer, 0, 1, 0);   // reuse, back to the handshake: one pending init
    QV_ADDR_S other = Addr(0x0A000009, 9);
    std::swap(peer, other);
    ASSERT_TRUE(WaitFor([&] {
        Inject(InitPkt(QV_SKP_INITQ, 0, 0x77), 0);
        std::lock_guard<std::mutex> lk(low.mu);
        return !low.direct.empty();
    }));
    std::swap(peer, other);
    std::lock_guard<std::mutex> lk(low.mu);
    auto& r = low.direct[0].b;
    ASSERT_EQ(188u, r.size());
    EXPECT_EQ(QV_SKP_INITR, r[1]);
    EXPECT_EQ(0x77u, Rd32(&r[4]));
    EXPECT_EQ(0u, Rd32(&r[8]));
    EXPECT_EQ(0, r[2]);
}

// ---------------------------------------------------------------------------------------------
// Send ring

TEST_F(SocketTest, MessagesAreCutIntoMduBlocks)
{
    Start();
    Connect();
    struct Case {
        u32 size, blocks;
    } cases[] = {{200, 2}, {201, 3}, {1, 1}};
    u32 uBlock = 0;
    for (auto c : cases) {
        low.Clear();
        std::string m(c.size, 'x');
        ASSERT_EQ((s32)c.size, SendMsg(m));
        ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) == c.blocks; }));
        auto d = low.Of(QV_SKP_DATA);
        for (u32 i = 0; i < c.blocks; i++) {
            EXPECT_EQ(uBlock + i, Rd32(&d[i].b[8]));
            EXPECT_EQ(kPeerCookie, Rd32(&d[i].b[4]));
            EXPECT_EQ(9u, Rd32(&d[i].b[12]));
            EXPECT_EQ(0x44u, Rd32(&d[i].b[20]));
            EXPECT_EQ(i + 1 == c.blocks, (d[i].b[2] & QV_SKD_LAST) != 0) << c.size << " " << i;
        }
        Inject(AckPkt(uBlock + c.blocks, 0, 0), sid);
        ASSERT_TRUE(WaitFor([&] { return !own.Of(QV_SOCK_EVENT_ACKED).empty(); }));
        auto a = own.Of(QV_SOCK_EVENT_ACKED);
        EXPECT_EQ(c.size, a.back().v3);        // the whole message, once
        EXPECT_EQ(0x1111u, a.back().v4);
        {
            std::lock_guard<std::mutex> lk(own.mu);
            own.ev.clear();
        }
        uBlock += c.blocks;
    }
}

// A one-block message leaves from the sender's own thread, before Send returns, even while
// the one before it still waits for its ack; a message of several blocks behind blocks still
// out is left to the dispatcher (a stream goes on in its batches).
TEST_F(SocketTest, OneBlockMessageLeavesAtOnceBehindUnackedBlocks)
{
    Start();
    Connect();
    const std::thread::id self = std::this_thread::get_id();
    ASSERT_EQ(10, SendMsg(std::string(10, 'a')));
    ASSERT_EQ(10, SendMsg(std::string(10, 'b')));   // block 0 is not acknowledged
    auto d = low.Of(QV_SKP_DATA);
    ASSERT_EQ(2u, d.size()) << "both went out within their Send calls";
    for (u32 i = 0; i < 2; i++) {
        EXPECT_EQ(i, Rd32(&d[i].b[8]));
        EXPECT_EQ(self, d[i].tid);
        EXPECT_EQ('a' + i, d[i].b[24]);
    }
    ASSERT_EQ(300, SendMsg(std::string(300, 'c')));   // three blocks
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) == 5; }));
    d = low.Of(QV_SKP_DATA);
    for (u32 i = 2; i < 5; i++) {
        EXPECT_EQ(i, Rd32(&d[i].b[8]));
        EXPECT_NE(self, d[i].tid) << "block " << i << " left without the dispatcher";
    }
    Inject(AckPkt(5, 0, 0), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_ACKED).size() == 3; }));
    EXPECT_EQ(5u, low.Count(QV_SKP_DATA)) << "nothing sent twice";
}

// A stream of one-block messages: once several blocks wait for their ack, the next ones are
// left to the dispatcher, which sends what piled up in its batches (one send each from the
// sender's thread cut such a stream to a fifth).
TEST_F(SocketTest, OneBlockMessagesBehindSeveralUnackedGoThroughTheDispatcher)
{
    Start();
    Connect();
    const std::thread::id self = std::this_thread::get_id();
    for (u32 i = 0; i < 6; i++) ASSERT_EQ(10, SendMsg(std::string(10, (char)('a' + i))));
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) == 6; }));
    auto d = low.Of(QV_SKP_DATA);
    for (u32 i = 0; i < 6; i++) {
        EXPECT_EQ(i, Rd32(&d[i].b[8]));
        EXPECT_EQ('a' + i, d[i].b[24]);
        if (i < 4)
            EXPECT_EQ(self, d[i].tid) << "block " << i << " waited for the dispatcher";
        else
            EXPECT_NE(self, d[i].tid) << "block " << i << " left without the dispatcher";
    }
    Inject(AckPkt(6, 0, 0), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_ACKED).size() == 6; }));
    EXPECT_EQ(6u, low.Count(QV_SKP_DATA)) << "nothing sent twice";
}

// A one-block message of another object or method than the one before it is a step of its
// own (a new connection's call or answer behind the stops of the one before): it leaves from
// the sender's thread behind several unacked blocks, up to a bound; one that repeats the
// message before it belongs to a stream and is left to the dispatcher.
TEST_F(SocketTest, OneBlockStepsBehindUnackedBlocksLeaveAtOnceUpToABound)
{
    CQVSocket::CFG_S cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    cfg.uSendQue[0] = 32;  // room and window beyond the bound
    cfg.uInitWnd[0] = 32;
    Start(&cfg);
    Connect();
    const std::thread::id self = std::this_thread::get_id();
    struct Msg {
        u32 object, method;
        bool now;
    };
    std::vector<Msg> msgs = {{9, 3, true}, {9, 3, true}, {9, 3, true}, {9, 3, true},
                             {20, 3, true}, {20, 4, true}, {20, 4, false}, {21, 4, true}};
    for (u32 i = 0; msgs.size() < 17; i++) msgs.push_back({30 + i, 3, msgs.size() < 16});
    for (u32 i = 0; i < msgs.size(); i++) {
        ASSERT_EQ(10, SendMsg(std::string(10, (char)('a' + i)), 0, 0, 0x1111, msgs[i].object, msgs[i].method));
        // Out before the next one is queued (which would otherwise queue behind it).
        ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) == i + 1; }));
    }
    auto d = low.Of(QV_SKP_DATA);
    for (u32 i = 0; i < msgs.size(); i++) {
        EXPECT_EQ(i, Rd32(&d[i].b[8]));
        EXPECT_EQ(msgs[i].object, Rd32(&d[i].b[12]));
        if (msgs[i].now)
            EXPECT_EQ(self, d[i].tid) << "block " << i << " waited for the dispatcher";
        else
            EXPECT_NE(self, d[i].tid) << "block " << i << " left without the dispatcher";
    }
    Inject(AckPkt((u32)msgs.size(), 0, 0), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_ACKED).size() == msgs.size(); }));
    EXPECT_EQ(msgs.size(), low.Count(QV_SKP_DATA)) << "nothing sent twice";
}

TEST_F(SocketTest, FullRingRefusesWholeMessageButSingleDatagramsFill)
{
    CQVSocket::CFG_S cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    cfg.uSendQue[0] = 3;
    Start(&cfg);
    // Before the handshake: queued unnumbered, nothing goes out.
    sid = sock.Add(&peer, 0, 77, 0);
    EXPECT_EQ(0, SendMsg(std::string(400, 'a')));    // 4 blocks, 3 free
    EXPECT_EQ(3, sock.SendRemain(sid, 0));
    EXPECT_EQ(300, SendMsg(std::string(400, 'a'), 0, QV_SOCK_SEND_SINGLE));
    EXPECT_EQ(0, sock.SendRemain(sid, 0));
    EXPECT_EQ(0u, low.Count(QV_SKP_DATA));
    EXPECT_EQ(0, SendMsg(""));
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_INITQ) >= 1; }));
    Inject(InitPkt(QV_SKP_INITR, LocalCookie(), kPeerCookie), sid);
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) >= 1; }));
    auto d = low.Of(QV_SKP_DATA);
    EXPECT_EQ(0u, Rd32(&d[0].b[8]));   // numbered from the agreed base
    EXPECT_TRUE(d[0].b[2] & QV_SKD_SINGLE);
    EXPECT_FALSE(d[0].b[2] & QV_SKD_LAST);
}

TEST_F(SocketTest, DropByObjectKeepsAMessageWhoseHeadIsSent)
{
    CQVSocket::CFG_S cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    cfg.uSendQue[0] = 16;
    cfg.uInitWnd[0] = 1;
    Start(&cfg);
    Connect();
    ASSERT_EQ(300, SendMsg(std::string(300, 'a')));   // 3 blocks, window 1: one goes out
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) == 1; }));
    ASSERT_EQ(100, SendMsg(std::string(100, 'b')));
    ASSERT_EQ(0, sock.SendDropByObject(sid, 0, 9));
    EXPECT_EQ(16 - 3, sock.SendRemain(sid, 0));       // the second message is gone
    EXPECT_EQ(-4, sock.SendDropByObject(sid, 0, 0));
    EXPECT_EQ(-4, sock.SendDropByHandle(sid, 4, 1));
}

// While one priority waits for room in its window, an Ack of another priority that asks for
// resends of nothing (nothing sent there, gap flag, no room) must not set the dispatcher
// spinning; the waiting blocks go out when room comes.
TEST_F(SocketTest, GapAckOnAnIdlePriorityLeavesTheDispatcherIdle)
{
    CQVSocket::CFG_S cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    for (u32 i = 0; i < 4; i++) {
        cfg.uSendQue[i] = 16;
        cfg.uRecvQue[i] = 8;
        cfg.uInitWnd[i] = 1;
    }
    Start(&cfg);
    Connect();
    ASSERT_EQ(300, SendMsg(std::string(300, 'w')));   // 3 blocks, window 1: one goes out
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) == 1; }));
    Inject(AckPkt(0, 1, 1, 0), sid);
    auto cpuMs = [] {
        timespec ts;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
    };
    // The 10 ms timer and the dispatcher's passes cost a few ms in half a second; a
    // dispatcher that keeps asking for passes takes the whole of it.
    double c0 = cpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double used = cpuMs() - c0;
    EXPECT_LT(used, 200.0) << "CPU ms used while idle";
    Inject(AckPkt(1, 0, 0, 8), sid);
    EXPECT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) >= 2; })) << "the waiting blocks go on";
}

// Three blocks of four are reported missing, then the link loses nothing: the window must
// grow again, whether the four went out before the peer's first ack (it may have dropped
// them in its handshake: no congestion at all) or after it (a loss, over once all four are
// acknowledged). It used to stay at its first size for the life of the connection.
TEST_F(SocketTest, WindowGrowsAgainOnACleanLinkAfterAGap)
{
    for (bool bPeerAckedBefore : {false, true}) {
        SCOPED_TRACE(bPeerAckedBefore ? "loss after the first ack" : "blocks dropped in the handshake");
        CQVSocket::CFG_S cfg;
        std::memset(&cfg, 0, sizeof(cfg));
        for (u32 i = 0; i < 4; i++) {
            cfg.uSendQue[i] = 64;
            cfg.uRecvQue[i] = 64;
            cfg.uInitWnd[i] = 4;
        }
        Start(&cfg);
        Connect();
        u32 base = 0;
        if (bPeerAckedBefore) {
            ASSERT_EQ(1, SendMsg("a"));
            ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) == 1; }));
            Inject(AckPkt(1, 0, 0, 64), sid);
            ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_ACKED).size() == 1; }));
            base = 1;
        }
        auto highest = [&] {
            u32 h = 0;
            for (auto& p : low.Of(QV_SKP_DATA)) h = std::max(h, Rd32(&p.b[8]) + 1);
            return h;
        };
        ASSERT_EQ(5900, SendMsg(std::string(5900, 'x')));   // 59 blocks, window 4
        ASSERT_TRUE(WaitFor([&] { return highest() == base + 4; }));
        // Only the fourth reached the peer.
        size_t sent = low.Count(QV_SKP_DATA);
        Inject(AckPkt(base, 1, 0, 64, true, 0, 3), sid);
        ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) >= sent + 3; })) << "the missing ones are resent";
        // From here on every block sent is acknowledged at once.
        u32 uMaxOut = 0;
        for (int round = 0; round < 40 && highest() < base + 59; round++) {
            u32 acked = highest();
            size_t before = low.Count(QV_SKP_DATA);
            Inject(AckPkt(acked, 0, 0, 64), sid);
            if (!WaitFor([&] { return low.Count(QV_SKP_DATA) > before; })) break;
            // Let the burst the ack opened go out, then count what is out unacknowledged.
            for (int t = 0; t < 3; t++) sock.TimerProc();
            Settle();
            uMaxOut = std::max(uMaxOut, highest() - acked);
        }
        EXPECT_GT(uMaxOut, 4u) << "the window grew past its first 4 blocks";
        sock.Clean();
        low.Clear();
        {
            std::lock_guard<std::mutex> lk(own.mu);
            own.ev.clear();
        }
    }
}

TEST_F(SocketTest, FreeingASocketReportsEveryQueuedBlock)
{
    Start();
    sid = sock.Add(&peer, 0, 77, 0);
    SendMsg(std::string(250, 'z'), 1, 0, 0xBEEF);   // 3 blocks, never sent
    sock.Delete(sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_DISCARD).size() == 3; }));
    for (auto& e : own.Of(QV_SOCK_EVENT_DISCARD)) EXPECT_EQ(0xBEEFu, e.v4);
    sock.Delete(0x12345);   // stale: still reported to the owner
    std::lock_guard<std::mutex> lk(own.mu);
    ASSERT_EQ(2u, own.drops.size());
    EXPECT_EQ(sid, own.drops[0]);
    EXPECT_EQ(0x12345u, own.drops[1]);
}

// The peer's claim of what it received is bounded by what was sent.
TEST_F(SocketTest, InitRNextBlockIsClampedToTheBlocksSent)
{
    CQVSocket::CFG_S cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    cfg.uInitWnd[0] = 2;
    Start(&cfg);
    Connect();
    ASSERT_EQ(500, SendMsg(std::string(500, 'q')));   // 5 blocks, window 2
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) == 2; }));
    low.Clear();
    ASSERT_EQ(0, sock.Reconnect(sid));
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_INITQ) >= 1; }));
    Inject(InitPkt(QV_SKP_INITR, LocalCookie(), kPeerCookie, 7, {5, 0, 0, 0}), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_CONNECT).size() == 2; }));
    // Blocks 2.. were never sent, so they still go out and the message is not reported done.
    ASSERT_TRUE(WaitFor([&] {
        for (auto& p : low.Of(QV_SKP_DATA))
            if (Rd32(&p.b[8]) == 2) return true;
        return false;
    }));
    EXPECT_TRUE(own.Of(QV_SOCK_EVENT_ACKED).empty());
}

// An InitR that answers an earlier InitQ (a query sent again before its answer came) can
// arrive after a later handshake began and complete it with the peer's old numbers. Blocks
// the peer has acknowledged since are gone from the ring: the message behind them keeps its
// number, or the peer would take it for the old block it already read and acknowledge it.
TEST_F(SocketTest, LateInitRDoesNotRenumberBelowAcknowledgedBlocks)
{
    Start();
    Connect();
    ASSERT_EQ(3, SendMsg("one", 0, 0, 1));
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) == 1; }));
    Inject(AckPkt(1, 0, 0), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_ACKED).size() == 1; }));
    ASSERT_EQ(3, SendMsg("two", 0, 0, 2));
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) == 2; }));
    EXPECT_EQ(1u, Rd32(&low.Of(QV_SKP_DATA)[1].b[8]));
    // The peer starts a handshake again, and the late answer to the first query comes first.
    low.Clear();
    Inject(InitPkt(QV_SKP_INITQ, 0, kPeerCookie), sid);
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_INITQ) >= 1; }));
    Inject(InitPkt(QV_SKP_INITR, LocalCookie(), kPeerCookie, 7, {0, 0, 0, 0}), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_CONNECT).size() == 2; }));
    // The peer, which has read block 0, answers whatever comes with its next block, 1: that
    // acknowledges "two" only when "two" went out as block 1.
    Inject(AckPkt(1, 0, 0), sid);
    Settle();
    EXPECT_EQ(1u, own.Of(QV_SOCK_EVENT_ACKED).size());
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) >= 1; }, 5000));
    for (auto& d : low.Of(QV_SKP_DATA)) EXPECT_EQ(1u, Rd32(&d.b[8]));
    Inject(AckPkt(2, 0, 0), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_ACKED).size() == 2; }));
    EXPECT_EQ(2u, own.Of(QV_SOCK_EVENT_ACKED)[1].v4);
}

// A peer that shows a new cookie takes this side's complete messages for delivered (they
// were acknowledged) and sends what it had not finished again from its first block: the
// complete unread message stays for the node, the unfinished one is dropped, and the InitR
// announces the block after the complete ones as the next.
TEST_F(SocketTest, NewPeerIncarnationLeavesCompleteUnreadMessagesForTheNode)
{
    Start();
    Connect();
    Inject(DataPkt(0, QV_SKD_LAST | QV_SKD_ACKREQ, 1, "done"), sid);
    Inject(DataPkt(1, QV_SKD_ACKREQ, 1, "half"), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_RECV).size() == 1; }));
    low.Clear();
    Inject(InitPkt(QV_SKP_INITQ, LocalCookie(), kPeerCookie + 1), sid);
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_INITR) == 1; }));
    auto r = low.Of(QV_SKP_INITR)[0].b;
    EXPECT_EQ(0u, Rd32(&r[140]));
    EXPECT_EQ(1u, Rd32(&r[144]));
    Settle();
    u8 buf[64];
    QV_SK_BUF_S b = RecvReq(buf, sizeof(buf), 1);
    ASSERT_EQ(4, sock.Receive(sid, b, 0));
    EXPECT_EQ("done", std::string((char*)buf, 4));
    Inject(DataPkt(1, 0, 1, "again+"), sid);
    Inject(DataPkt(2, QV_SKD_LAST, 1, "rest"), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_RECV).size() >= 2; }));
    b = RecvReq(buf, sizeof(buf), 1);
    ASSERT_EQ(10, sock.Receive(sid, b, 0));
    EXPECT_EQ("again+rest", std::string((char*)buf, 10));
}

// A peer socket in prepare-connect handshakes with flags 3 and refuses data until the node
// gives it its value; then the handshake runs again and data flows.
TEST_F(SocketTest, PrepareConnectHoldsDataUntilSetPeerParam)
{
    Start();
    sid = sock.Add(&peer, 0, 77, 1);
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_INITQ) >= 1; }));
    EXPECT_EQ(3, low.Of(QV_SKP_INITQ)[0].b[2]);
    Inject(InitPkt(QV_SKP_INITR, LocalCookie(), kPeerCookie), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_CONNECT).size() == 1; }));
    Inject(DataPkt(0, QV_SKD_LAST | QV_SKD_ACKREQ, 0, "early"), sid);
    Settle();
    EXPECT_TRUE(own.Of(QV_SOCK_EVENT_RECV).empty());
    EXPECT_EQ(0u, low.Count(QV_SKP_ACK));
    low.Clear();
    ASSERT_EQ(1u, sock.SetPeerParam(sid, 88));
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_INITQ) >= 1; }));
    EXPECT_EQ(7, low.Of(QV_SKP_INITQ)[0].b[2]);
    Inject(InitPkt(QV_SKP_INITR, LocalCookie(), kPeerCookie), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_CONNECT).size() == 2; }));
    EXPECT_EQ(88u, own.Of(QV_SOCK_EVENT_CONNECT)[1].param);
    Inject(DataPkt(0, QV_SKD_LAST, 0, "now"), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_RECV).size() == 1; }));
    EXPECT_EQ(88u, own.Of(QV_SOCK_EVENT_RECV)[0].param);
}

TEST_F(SocketTest, SendFindMatchesAQueuedSingleBlockMessage)
{
    CQVSocket::CFG_S cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    Start(&cfg);
    sid = sock.Add(&peer, 0, 1, 0);   // not connected: the message stays queued
    ASSERT_EQ(10, SendMsg("abcdefghij"));
    QV_SK_BUF_S b;
    std::memset(&b, 0, sizeof(b));
    std::string probe = "abcXYZghij";
    b.uObject = 9;
    b.uMethod = 3;
    b.uFlag = 1;
    b.uHandle2 = 0x44;
    b.uSize = (u32)probe.size();
    b.lpData = (u8*)probe.data();
    EXPECT_EQ(0, sock.SendFind(sid, b, 0, 3, 6));    // differs only inside [3, 6)
    EXPECT_EQ(-4, sock.SendFind(sid, b, 0, 3, 5));
    EXPECT_EQ(-4, sock.SendFind(sid, b, QV_SOCK_SEND_SINGLE, 3, 6));
    EXPECT_EQ(-4, sock.SendFind(sid, b, 0, 6, 3));
    u32 uFree = 0, uUsed = 0;
    EXPECT_EQ(0, sock.SendQueStatus(sid, 0, &uFree, &uUsed));
    EXPECT_EQ(100u, uUsed);   // one block, in units of the MDU
    EXPECT_EQ(1500u, uFree);
}

TEST_F(SocketTest, MoveHandsTheConnectionToAnotherSocket)
{
    Start();
    Connect();
    QV_ADDR_S other = Addr(0x0A000003, 3000);
    u32 sid2 = sock.Add(&other, 0, 5, 0);
    ASSERT_NE(0u, sid2);
    low.Clear();
    ASSERT_EQ(1u, sock.Move(sid2, sid));
    // The source is freed; the destination restarts its handshake on the source's peer.
    ASSERT_TRUE(WaitFor([&] { return sock.SendRemain(sid, 0) == -4; }));
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_INITQ) >= 1; }));
    u32 found = 0;
    ASSERT_EQ(1u, low.Search(peer, found));
    EXPECT_EQ(sid2, found);
    EXPECT_EQ(0u, sock.Move(sid2, sid));   // stale source
}

// ---------------------------------------------------------------------------------------------
// Receive ring

// A message the node took the event for but left unread (its socket was not yet bound) is
// announced again, under the new value, when SetPeerParam binds the socket.
TEST_F(SocketTest, SetPeerParamAnnouncesAnUnreadMessageAgain)
{
    Start();
    Connect();
    Inject(DataPkt(0, QV_SKD_LAST | QV_SKD_ACKREQ, 1, "held"), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_RECV).size() == 1; }));
    EXPECT_EQ(77u, own.Of(QV_SOCK_EVENT_RECV)[0].param);
    ASSERT_EQ(1u, sock.SetPeerParam(sid, 88));
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_RECV).size() == 2; }));
    auto e = own.Of(QV_SOCK_EVENT_RECV)[1];
    EXPECT_EQ(88u, e.param);
    EXPECT_EQ(1u, e.v1);
    EXPECT_EQ(sid, e.sid);
    // Further blocks of other messages do not repeat the announcement.
    Inject(DataPkt(1, QV_SKD_LAST | QV_SKD_ACKREQ, 1, "next"), sid);
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_ACK) >= 2; }));
    Settle();
    EXPECT_EQ(2u, own.Of(QV_SOCK_EVENT_RECV).size());
}

TEST_F(SocketTest, ReorderedBlocksMakeOneMessageAndOneEvent)
{
    Start();
    Connect();
    low.Clear();
    Inject(DataPkt(0, 0, 2, "aa"), sid);
    Inject(DataPkt(2, QV_SKD_LAST, 2, "cc"), sid);
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_ACK) >= 1; }));
    auto a = low.Of(QV_SKP_ACK).back().b;
    ASSERT_EQ(32u, a.size());          // the peer takes ranges
    EXPECT_EQ(1, a[2]);                // gap
    EXPECT_EQ(1u, Rd32(&a[8]));        // next expected
    EXPECT_EQ(0u, qvSkRd16(&a[16]));   // range start (from the in-order point)
    EXPECT_EQ(1u, qvSkRd16(&a[18]));   // range size
    EXPECT_TRUE(own.Of(QV_SOCK_EVENT_RECV).empty());
    Inject(DataPkt(1, QV_SKD_ACKREQ, 2, "bb"), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_RECV).size() == 1; }));
    Inject(DataPkt(1, 0, 2, "bb"), sid);   // a duplicate changes nothing
    auto e = own.Of(QV_SOCK_EVENT_RECV)[0];
    EXPECT_EQ(2u, e.v1);
    EXPECT_EQ(3u, e.v2);
    EXPECT_EQ(9u, e.v3);
    EXPECT_EQ(0x44u, e.v4);
    u8 out[16];
    QV_SK_BUF_S b = RecvReq(out, sizeof(out), 4);
    ASSERT_EQ(6, sock.Receive(sid, b, 0));
    EXPECT_EQ(0, std::memcmp(out, "aabbcc", 6));
    EXPECT_EQ(2u, b.uPrio);
    EXPECT_EQ(0, sock.Receive(sid, b, 0));
    Settle();
    EXPECT_EQ(1u, own.Of(QV_SOCK_EVENT_RECV).size());
}

// A full receive ring is announced (room 0); when reading makes room, an ack says so at once
// and the delayed ack repeats it on the fifth timer pass after, not before.
TEST_F(SocketTest, DelayedAckGoesOutOnTheFifthPass)
{
    Start();
    Connect();
    for (u32 i = 0; i < 8; i++) Inject(DataPkt(i, QV_SKD_LAST, 0, "m"), sid);   // ring of 8
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_ACK) == 1; }));
    EXPECT_EQ(0u, qvSkRd16(&low.Of(QV_SKP_ACK)[0].b[12])) << "no room";
    StopTimer();
    u8 out[16];
    QV_SK_BUF_S b = RecvReq(out, sizeof(out));
    ASSERT_EQ(1, sock.Receive(sid, b, 0));
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_ACK) == 2; }));
    EXPECT_EQ(1u, qvSkRd16(&low.Of(QV_SKP_ACK)[1].b[12])) << "room again";
    for (int i = 0; i < 4; i++) sock.TimerPass();
    EXPECT_EQ(2u, low.Count(QV_SKP_ACK)) << "four passes";
    sock.TimerPass();
    EXPECT_EQ(3u, low.Count(QV_SKP_ACK)) << "the fifth pass";
}

TEST_F(SocketTest, DuplicatesAreAckedOnlyWhenAsked)
{
    Start();
    Connect();
    Inject(DataPkt(0, QV_SKD_LAST | QV_SKD_ACKREQ, 0, "x"), sid);
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_ACK) == 1; }));
    Inject(DataPkt(0, QV_SKD_LAST, 0, "x"), sid);
    Settle();
    EXPECT_EQ(1u, low.Count(QV_SKP_ACK));
    Inject(DataPkt(0, QV_SKD_LAST | QV_SKD_ACKREQ, 0, "x"), sid);
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_ACK) == 2; }));
}

// A block beyond the ring is acknowledged but neither stored nor counted as the highest seen.
TEST_F(SocketTest, BlockBeyondTheRingIsAckedNotStored)
{
    Start();
    Connect();
    Inject(DataPkt(8, QV_SKD_LAST, 0, "far"), sid);   // receive ring of 8
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_ACK) == 1; }));
    auto a = low.Of(QV_SKP_ACK)[0].b;
    EXPECT_EQ(0, a[2]);               // nothing held beyond the in-order point
    EXPECT_EQ(0u, Rd32(&a[8]));
    EXPECT_EQ(8u, qvSkRd16(&a[12]));   // all slots free
    Inject(DataPkt(0, QV_SKD_LAST | QV_SKD_ACKREQ, 0, "n"), sid);
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_ACK) == 2; }));
    EXPECT_EQ(0, low.Of(QV_SKP_ACK)[1].b[2]);
}

TEST_F(SocketTest, TooSmallBufferLosesTheMessageAndRefusalDrops)
{
    Start();
    Connect();
    Inject(DataPkt(0, QV_SKD_LAST, 0, "12345"), sid);
    Inject(DataPkt(1, QV_SKD_LAST, 0, "second"), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_RECV).size() == 1; }));
    u8 out[16];
    QV_SK_BUF_S b = RecvReq(out, 4);
    EXPECT_EQ(-6, sock.Receive(sid, b, 0));
    b.uSize = sizeof(out);
    b.uObject = 1234;
    EXPECT_EQ(-3, sock.Receive(sid, b, QV_SOCK_RECV_FILL));
    EXPECT_EQ(9u, b.uObject);         // filled with the waiting message
    b.uObject = 0;
    b.uMethod = 7;
    EXPECT_EQ(-2, sock.Receive(sid, b, 0));
    b.uMethod = 0xFFFF;
    ASSERT_EQ(6, sock.Receive(sid, b, 0));
    EXPECT_EQ(0, std::memcmp(out, "second", 6));
    // The owner refusing event 4 drops the message.
    Settle();
    own.bTake = false;
    size_t uBefore = own.Of(QV_SOCK_EVENT_RECV).size();
    Inject(DataPkt(2, QV_SKD_LAST, 0, "gone"), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_RECV).size() > uBefore; }));
    ASSERT_TRUE(WaitFor([&] {
        u32 p = 0;
        return sock.ReceiveRemain(sid, p, 0, 0xFFFF) == 0;
    }));
}

TEST_F(SocketTest, GatherCollectsSingleDatagramMessages)
{
    Start();
    Connect();
    for (u32 i = 0; i < 3; i++) Inject(DataPkt(i, QV_SKD_SINGLE, 1, std::string(1, (char)('a' + i))), sid);
    Inject(DataPkt(3, QV_SKD_SINGLE, 1, "z", 10), sid);   // another object: not gathered
    ASSERT_TRUE(WaitFor([&] { return !own.Of(QV_SOCK_EVENT_RECV).empty(); }));
    u8 out[16];
    QV_SK_BUF_S b = RecvReq(out, sizeof(out), 1);
    ASSERT_EQ(3, sock.Receive(sid, b, QV_SOCK_RECV_GATHER));
    EXPECT_EQ(0, std::memcmp(out, "abc", 3));
    b.uObject = 0;   // the read filled in the message's fields
    b.uMethod = 0xFFFF;
    b.uSize = sizeof(out);
    ASSERT_EQ(1, sock.Receive(sid, b, QV_SOCK_RECV_GATHER));
    EXPECT_EQ('z', out[0]);
}

// Batch receive: plain Data waits in the batch until a Data packet that wants an ack (or a
// pull asked for by the dispatcher) processes the whole batch in arrival order.
TEST_F(SocketTest, BatchReceiveHoldsPlainDataUntilAnAckIsWanted)
{
    CQVSocket::CFG_S cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    cfg.uNodeOption = 0x100;
    Start(&cfg);
    Connect();
    Inject(DataPkt(0, 0, 0, "ab"), sid);
    Inject(DataPkt(1, QV_SKD_LAST, 0, "cd"), sid);
    Settle();
    EXPECT_TRUE(own.Of(QV_SOCK_EVENT_RECV).empty());
    // The dispatcher asks the socket process for a pull; the process thread then runs it.
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lk(low.mu);
        for (u32 c : low.ctrl)
            if (c == 2) return true;
        return false;
    }));
    sock.SockEventDataPull();
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_RECV).size() == 1; }));
    Inject(DataPkt(2, 0, 0, "ef"), sid);
    Inject(DataPkt(3, QV_SKD_LAST | QV_SKD_ACKREQ, 0, "gh"), sid);
    u8 out[16];
    QV_SK_BUF_S b = RecvReq(out, sizeof(out));
    ASSERT_EQ(4, sock.Receive(sid, b, 0));
    EXPECT_EQ(0, std::memcmp(out, "abcd", 4));
    ASSERT_TRUE(WaitFor([&] {
        b.uObject = 0;
        b.uMethod = 0xFFFF;
        return sock.Receive(sid, b, 0) == 4;
    }));
    EXPECT_EQ(0, std::memcmp(out, "efgh", 4));
}

// ---------------------------------------------------------------------------------------------
// Acknowledgements

// A pass of the socket process thread that took in a stream's run of Data packets sends the
// run's ack before the owner hears of the message: the sender's window waits for that ack,
// not for the owner's handling of the data.
TEST_F(SocketTest, AStreamRunsAckLeavesBeforeTheOwnerHearsOfIt)
{
    CQVSocket::CFG_S cfg = Cfg(32, 0x100);
    // Set before the layer starts (its threads call them) and kept alive by them.
    struct Order {
        std::mutex mu;
        std::vector<std::string> v;
    };
    auto order = std::make_shared<Order>();
    low.onFlush = [order](const Pkt& p) {
        std::lock_guard<std::mutex> lk(order->mu);
        if (p.b.size() >= 16 && p.b[1] == QV_SKP_ACK) order->v.push_back("ack " + std::to_string(Rd32(&p.b[8])));
    };
    own.onEvent = [order](const Ev& e) {
        std::lock_guard<std::mutex> lk(order->mu);
        if (e.e == QV_SOCK_EVENT_RECV) order->v.push_back("message");
    };
    Start(&cfg);
    Connect();
    Settle();
    StopTimer();   // the dispatcher runs only when woken: the pass below is all there is
    low.bCapture = true;
    std::thread pass([&] {
        CQVDgramDefer defer;   // as on the socket process thread
        for (u32 i = 0; i < 12; i++)
            Inject(DataPkt(i, i == 11 ? QV_SKD_LAST | QV_SKD_ACKREQ : 0, 0, std::string(50, (char)('a' + i))), sid);
        sock.SockEventBatchEnd();
    });
    pass.join();
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lk(order->mu);
        return order->v.size() >= 2;
    }));
    std::lock_guard<std::mutex> lk(order->mu);
    EXPECT_EQ((std::vector<std::string>{"ack 12", "message"}), order->v);
}

TEST_F(SocketTest, RepeatedInvalidAcksRestartTheHandshake)
{
    Start();
    Connect();
    SendMsg("abc");
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) >= 1; }));
    low.Clear();
    for (int i = 0; i < 32; i++) Inject(AckPkt(50, 0, 0), sid);   // acks more than was sent
    Settle();
    EXPECT_EQ(0u, low.Count(QV_SKP_INITQ));
    Inject(AckPkt(50, 0, 0), sid);
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_INITQ) == 1; }));
}

// The ack of a round-trip sample that had to be resent measures the resend wait, not the
// round trip: it must not stretch the resend interval (3 passes after a quick round trip).
TEST_F(SocketTest, ResentSampleDoesNotStretchTheResendInterval)
{
    Start();
    Connect();
    auto dataOf = [&](u32 uBlock) {
        size_t n = 0;
        for (auto& p : low.Of(QV_SKP_DATA))
            if (Rd32(&p.b[8]) == uBlock) n++;
        return n;
    };
    // Ticks are driven here (the 10 ms timer only adds to them). A sample needs 10 ticks
    // since the last one; the first round trip is quick.
    auto ticks = [&](int n) {
        for (int t = 0; t < n; t++) sock.TimerProc();
    };
    ticks(12);
    ASSERT_EQ(1, SendMsg("a"));
    ASSERT_TRUE(WaitFor([&] { return dataOf(0) == 1; }));
    Inject(AckPkt(1, 0, 0), sid);
    ticks(12);
    // The next sample is lost, resent by the probe and acknowledged only 40 ticks later.
    ASSERT_EQ(1, SendMsg("b"));
    ASSERT_TRUE(WaitFor([&] { return dataOf(1) == 1; }));
    for (int i = 0; i < 4; i++) sock.TimerPass();
    ASSERT_TRUE(WaitFor([&] { return dataOf(1) >= 2; }));
    ticks(40);
    Inject(AckPkt(2, 0, 0), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_ACKED).size() == 2; }));
    // A lost block is probed again within a few passes.
    ASSERT_EQ(1, SendMsg("c"));
    ASSERT_TRUE(WaitFor([&] { return dataOf(2) == 1; }));
    for (int i = 0; i < 9; i++) sock.TimerPass();
    EXPECT_GE(dataOf(2), 3u);
}

// With both ends taking multipath, a priority that stays window-limited for more than 5 s
// (while its bursts go on) spills blocks onto the next path once its own is full.
TEST_F(SocketTest, WindowLimitedPrioritySpillsToTheNextPath)
{
    CQVSocket::CFG_S cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    for (u32 i = 0; i < 4; i++) {
        cfg.uSendQue[i] = 64;
        cfg.uRecvQue[i] = 64;
        cfg.uInitWnd[i] = 1;
    }
    const u32 kPath1 = 0x10000, kPath2 = 0x20000;
    low.cnnt = {kPath1, 20, kPath2, 30};
    Start(&cfg);
    Connect();
    ASSERT_EQ(1u, sock.SetPeerOption(sid, 1, "1"));
    auto onPath = [&](u32 uCnnt) {
        size_t n = 0;
        for (auto& p : low.Of(QV_SKP_DATA))
            if (p.uCnnt == uCnnt) n++;
        return n;
    };
    ASSERT_EQ(6000, SendMsg(std::string(6000, 'm')));
    ASSERT_TRUE(WaitFor([&] { return onPath(kPath1) >= 1; }));
    // One more block acknowledged every second keeps the priority window-limited.
    for (u32 k = 1; k <= 7; k++) {
        for (int t = 0; t < 100; t++) sock.TimerProc();
        size_t before = low.Count(QV_SKP_DATA);
        std::vector<u8> a = AckPkt(k, 0, 0, 64);
        std::vector<u8> d(64 + a.size());
        std::memcpy(d.data() + 64, a.data(), a.size());
        QV_BUF_S b{d.data(), 64, (u32)d.size(), (u32)a.size(), 0};
        sock.SockEventData(peer, b, sid, kPath1, 0);
        ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) > before; })) << k;
    }
    EXPECT_TRUE(WaitFor([&] { return onPath(kPath2) > 0; }));
}

// A socket made after its peer's first datagram starts with the connection the socket process
// learnt from it, while the LAN then carries everything on the process's own path 0: acks on
// path 0 still release the blocks; an ack on a connection the process never had does not.
TEST_F(SocketTest, AckOnPathZeroIsTakenBesideALearntConnection)
{
    const u32 kLearnt = 0x10000;
    low.cnnt = {kLearnt, 20};
    Start();
    Connect();
    ASSERT_EQ(3, SendMsg("abc"));
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) >= 1; }));
    EXPECT_EQ(kLearnt, low.Of(QV_SKP_DATA)[0].uCnnt);
    std::vector<u8> a = AckPkt(1, 0, 0);
    std::vector<u8> d(64 + a.size());
    std::memcpy(d.data() + 64, a.data(), a.size());
    QV_BUF_S b{d.data(), 64, (u32)d.size(), (u32)a.size(), 0};
    sock.SockEventData(peer, b, sid, 0x50000, 0);   // a connection the process never had
    Settle();
    EXPECT_TRUE(own.Of(QV_SOCK_EVENT_ACKED).empty());
    Inject(a, sid);   // path 0
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_ACKED).size() == 1; }));
    EXPECT_EQ(3u, own.Of(QV_SOCK_EVENT_ACKED)[0].v3);
}

// ---------------------------------------------------------------------------------------------
// Hostile input: every action, short, with lying lengths, bad ids and ranges out of bounds.

TEST_F(SocketTest, HostilePacketsAreDroppedAndCounted)
{
    Start();
    Connect();
    SendMsg(std::string(250, 's'));   // blocks in flight for the ack checks
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_DATA) == 3; }));
    const CQVSocket::STAT_S& st = sock.GetStat();
    u32 cookie = LocalCookie();
    auto raw = [&](std::vector<u8> p, u32 uSockID) { Inject(p, uSockID); };
    // Truncated packets of every action: under 4 bytes nothing is read; then each action has
    // its minimum (InitQ/InitR 140, EncQ/EncR 12, Data 24, Ack 16; name packets are not read).
    struct {
        u8 act;
        u32 uShort;   // of the eight lengths below, those too short for the action
    } shortCases[] = {{QV_SKP_INITQ, 8}, {QV_SKP_INITR, 8}, {QV_SKP_ENCQ, 5}, {QV_SKP_ENCR, 5},
                      {QV_SKP_DATA, 7},  {QV_SKP_ACK, 6},   {QV_SKP_NAMEQ, 3}, {QV_SKP_NAMER, 3}};
    for (auto& c : shortCases) {
        u32 uBefore = st.uShort.load();
        for (size_t len : {0, 1, 3, 4, 11, 15, 23, 139})
            raw([&] {
                std::vector<u8> p(len, 0);
                if (len > 1) p[1] = c.act;
                if (len >= 8) qvSkWr32(&p[4], cookie);
                return p;
            }(), sid);
        EXPECT_EQ(c.uShort, st.uShort.load() - uBefore) << "action " << (u32)c.act;
    }
    u32 uBadLen0 = st.uBadLen.load();
    // EncQ / EncR whose L disagrees with the datagram.
    for (u8 act : {QV_SKP_ENCQ, QV_SKP_ENCR})
        for (u32 L : {0u, 1u, 100u, 0xFFFFu}) {
            std::vector<u8> p(12 + 10, 0);
            p[1] = act;
            qvSkWr32(&p[4], cookie);
            qvSkWr16(&p[10], L);
            raw(p, sid);
        }
    EXPECT_EQ(uBadLen0 + 8, st.uBadLen.load());
    // A Data packet larger than any block.
    raw(DataPkt(0, QV_SKD_LAST, 0, std::string(1400, 'L')), sid);
    EXPECT_EQ(uBadLen0 + 9, st.uBadLen.load());
    // An EncQ of the right length but with garbage key data is refused by the crypto.
    {
        std::vector<u8> p(12 + 40, 0xEE);
        p[0] = 0;
        p[1] = QV_SKP_ENCQ;
        p[2] = p[3] = 0;
        qvSkWr32(&p[4], cookie);
        qvSkWr16(&p[8], 1);
        qvSkWr16(&p[10], 40);
        raw(p, sid);
    }
    // Encrypted Data while no key exists.
    raw(DataPkt(0, QV_SKD_ENC | QV_SKD_LAST, 0, std::string(33, '\xff')), sid);
    EXPECT_GE(st.uNoKey.load(), 1u);
    // Ack ranges that point outside what was sent.
    raw(AckPkt(0, 1, 0, 16, true, 60000, 10), sid);
    raw(AckPkt(0, 1, 0, 16, true, 1, 0xFFFF), sid);
    EXPECT_EQ(2u, st.uBadRange.load());
    // Bad gap flag, bad priority, unknown socket ids, data before any handshake.
    raw(AckPkt(1, 9, 0), sid);
    raw(AckPkt(1, 0, 7), sid);
    raw(DataPkt(0, QV_SKD_LAST, 9, "p"), sid);
    raw(AckPkt(1, 0, 0), 0xFFFF0000);
    raw(InitPkt(QV_SKP_INITR, cookie, 1), 0x7FFF1234);
    // A datagram beyond 2048 bytes, offset included.
    {
        std::vector<u8> d(2100, 0);
        d[65] = QV_SKP_DATA;
        QV_BUF_S b{d.data(), 64, (u32)d.size(), 1990, 0};
        sock.SockEventData(peer, b, sid, 0, 0);
        EXPECT_EQ(1u, st.uTooLong.load());
    }
    // Unknown actions and a name query (answered).
    raw({0, 0x3F, 0, 0, 0, 0, 0, 0}, sid);
    {
        low.Clear();
        std::vector<u8> q(164, 0);
        q[1] = QV_SKP_NAMEQ;
        raw(q, sid);
        ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_NAMER) == 1; }));
        EXPECT_EQ(164u, low.Of(QV_SKP_NAMER)[0].b.size());
    }
    // Still working: a valid message arrives whole.
    Inject(DataPkt(0, QV_SKD_LAST, 3, "ok"), sid);
    ASSERT_TRUE(WaitFor([&] { return !own.Of(QV_SOCK_EVENT_RECV).empty(); }));
}

// ---------------------------------------------------------------------------------------------
// Key exchange against a test-side crypto, and encrypted blocks on the wire.

TEST_F(SocketTest, EncryptedSendRunsTheKeyExchangeFirst)
{
    Start();
    Connect();
    std::string m(100, 'e');
    ASSERT_EQ(100, SendMsg(m, 0, QV_SOCK_SEND_ENCRYPT));
    CQVCrypto peerKey;
    u32 h = 0;
    ASSERT_NO_FATAL_FAILURE(AnswerKeyExchange(peerKey, h));
    ASSERT_TRUE(WaitFor([&] {
        for (auto& p : low.Of(QV_SKP_DATA))
            if (p.b[2] & QV_SKD_ENC) return true;
        return false;
    }));
    std::vector<u8> d;
    for (auto& p : low.Of(QV_SKP_DATA))
        if (p.b[2] & QV_SKD_ENC) d = p.b;
    ASSERT_EQ(153u, d.size());   // 24 + 128 encrypted + pad count
    EXPECT_EQ(28, d.back());
    std::vector<u8> plain(128);
    ASSERT_EQ(1u, peerKey.Decrypt(h, &d[24], plain.data(), 128));
    EXPECT_EQ(0, std::memcmp(plain.data(), m.data(), 100));
    // The peer's encrypted block decrypts here.
    std::vector<u8> back = DataPkt(0, QV_SKD_ENC | QV_SKD_LAST, 1, std::string(33, 'r'));
    std::vector<u8> enc(64, 0);
    std::memcpy(enc.data(), &back[24], 33);
    ASSERT_EQ(1u, peerKey.Encrypt(h, enc.data(), enc.data(), 64));
    back.resize(24);
    back.insert(back.end(), enc.begin(), enc.end());
    back.push_back(31);
    Inject(back, sid);
    ASSERT_TRUE(WaitFor([&] { return !own.Of(QV_SOCK_EVENT_RECV).empty(); }));
    u8 out[64];
    QV_SK_BUF_S b = RecvReq(out, sizeof(out), 1);
    ASSERT_EQ(33, sock.Receive(sid, b, 0));
    EXPECT_EQ(std::string(33, 'r'), std::string((char*)out, 33));
    // The pad count may cover all but one encrypted byte, never all of them.
    auto encBlock = [&](u32 uBlock, u8 uPad) {
        std::vector<u8> blk = DataPkt(uBlock, QV_SKD_ENC | QV_SKD_LAST, 1, "");
        std::vector<u8> e(64, 'p');
        peerKey.Encrypt(h, e.data(), e.data(), 64);
        blk.insert(blk.end(), e.begin(), e.end());
        blk.push_back(uPad);
        return blk;
    };
    u32 uBad = sock.GetStat().uBadPad.load();
    Inject(encBlock(1, 64), sid);
    EXPECT_EQ(uBad + 1, sock.GetStat().uBadPad.load()) << "pad count of the whole encrypted part";
    Inject(encBlock(1, 63), sid);
    EXPECT_EQ(uBad + 1, sock.GetStat().uBadPad.load());
    ASSERT_TRUE(WaitFor([&] { return sock.Receive(sid, b, 0) == 1; })) << "one byte left";
    EXPECT_EQ('p', out[0]);
    // An encrypted block whose plain part would not fit a block is refused unread.
    {
        std::vector<u8> blk = DataPkt(2, QV_SKD_ENC | QV_SKD_LAST, 1, "");
        std::vector<u8> e(1376, 'z');
        ASSERT_EQ(1u, peerKey.Encrypt(h, e.data(), e.data(), (u32)e.size()));
        blk.insert(blk.end(), e.begin(), e.end());
        blk.push_back(0);
        u32 uBadLen = sock.GetStat().uBadLen.load();
        Inject(blk, sid);
        EXPECT_EQ(uBadLen + 1, sock.GetStat().uBadLen.load());
    }
    peerKey.Clean();
}

// Batch receive of encrypted blocks (decrypted away from the dispatch lock before the batch is
// handled): out of order, a copy of a block in the same batch, one beyond the ring and a late
// copy of a kept one; each message is read once, whole and in order.
TEST_F(SocketTest, BatchOfEncryptedBlocksIsReadOnceInOrder)
{
    CQVSocket::CFG_S cfg = Cfg(8, 0x100);
    Start(&cfg);
    Connect();
    ASSERT_EQ(1, SendMsg("k", 0, QV_SOCK_SEND_ENCRYPT));
    CQVCrypto peerKey;
    u32 h = 0;
    ASSERT_NO_FATAL_FAILURE(AnswerKeyExchange(peerKey, h));
    ASSERT_TRUE(WaitFor([&] {
        for (auto& p : low.Of(QV_SKP_DATA))
            if (p.b[2] & QV_SKD_ENC) return true;
        return false;
    }));
    // Message n is block n of priority 1, its text of 1 + 37 n bytes (pads of every size).
    auto text = [](u32 n) { return std::string(1 + 37 * n, (char)('a' + n)); };
    auto enc = [&](u32 uBlock, u8 uFlags) {
        std::string t = text(uBlock);
        std::vector<u8> blk = DataPkt(uBlock, QV_SKD_ENC | QV_SKD_LAST | uFlags, 1, "");
        std::vector<u8> e((t.size() + 31) / 32 * 32, 0);
        std::memcpy(e.data(), t.data(), t.size());
        EXPECT_EQ(1u, peerKey.Encrypt(h, e.data(), e.data(), (u32)e.size()));
        blk.insert(blk.end(), e.begin(), e.end());
        blk.push_back((u8)(e.size() - t.size()));
        return blk;
    };
    for (u32 uBlock : {2u, 0u, 2u, 9u, 1u}) Inject(enc(uBlock, 0), sid);   // held in the batch
    Inject(enc(3, QV_SKD_ACKREQ), sid);                                      // handles the batch
    Inject(enc(1, QV_SKD_ACKREQ), sid);                                      // a late copy
    u8 out[256];
    for (u32 n = 0; n < 4; n++) {
        QV_SK_BUF_S b = RecvReq(out, sizeof(out), 1);
        ASSERT_TRUE(WaitFor([&] {
            b = RecvReq(out, sizeof(out), 1);
            return sock.Receive(sid, b, 0) == (s32)text(n).size();
        })) << "message " << n;
        EXPECT_EQ(text(n), std::string((char*)out, text(n).size()));
    }
    Settle();
    QV_SK_BUF_S b = RecvReq(out, sizeof(out), 1);
    EXPECT_LE(sock.Receive(sid, b, 0), 0) << "nothing read twice";
    peerKey.Clean();
}

// A window's worth of blocks goes out at once, encrypted side by side: every packet is what
// AES-256-CBC from a zero IV makes of its zero-padded payload alone (checked with mbedtls),
// lengths of every padding, plain blocks in between left as they are.
TEST_F(SocketTest, EncryptedBurstIsEveryPacketOnItsOwnChain)
{
    Start();
    Connect();
    // MDU 100: 1 + 1 + 1 + 1 + 3 + 1 + 4 + 1 + 1 + 2 = 16 blocks, the whole ring and window.
    const std::vector<std::pair<u32, u32>> kMsgs = {{1, 1},  {31, 1},  {32, 1}, {33, 0}, {300, 1},
                                                    {99, 1}, {400, 1}, {64, 1}, {100, 0}, {117, 1}};
    std::string all;
    std::vector<u8> isEnc;   // per block, in block order
    u32 n = 0;
    for (const auto& m : kMsgs) {
        std::string d;
        for (u32 i = 0; i < m.first; i++) d.push_back((char)(n++ * 37 + 11));
        ASSERT_EQ((s32)m.first, SendMsg(d, 0, m.second ? QV_SOCK_SEND_ENCRYPT : 0));
        all += d;
        for (u32 i = 0; i < (m.first + 99) / 100; i++) isEnc.push_back((u8)m.second);
    }
    ASSERT_EQ(16u, isEnc.size());
    // The peer's key runs on mbedtls: it checks the layer's packets.
    CQVCrypto peerKey;
    u32 h = 0;
    ASSERT_NO_FATAL_FAILURE(AnswerKeyExchange(peerKey, h, 0));
    auto blocks = [&] {
        std::map<u32, std::vector<u8>> b;
        for (auto& p : low.Of(QV_SKP_DATA))
            if (!(p.b[2] & QV_SKD_ENC) || isEnc[Rd32(&p.b[8])]) b[Rd32(&p.b[8])] = p.b;
        return b;
    };
    ASSERT_TRUE(WaitFor([&] { return blocks().size() == 16; }));
    std::string got;
    for (auto& kv : blocks()) {
        const std::vector<u8>& d = kv.second;
        SCOPED_TRACE(testing::Message() << "block " << kv.first);
        ASSERT_EQ(isEnc[kv.first] ? QV_SKD_ENC : 0, d[2] & QV_SKD_ENC);
        if (!isEnc[kv.first]) {
            got.append((const char*)&d[24], d.size() - 24);
            continue;
        }
        ASSERT_GE(d.size(), 24u + 32 + 1);
        u32 uEnc = (u32)d.size() - 25, uPad = d.back();
        ASSERT_EQ(0u, uEnc % 32);
        ASSERT_LT(uPad, 32u);
        std::vector<u8> plain(uEnc);
        ASSERT_EQ(1u, peerKey.Decrypt(h, &d[24], plain.data(), uEnc));
        EXPECT_EQ(std::vector<u8>(uPad, 0), std::vector<u8>(plain.end() - uPad, plain.end()));
        // Encrypting the padded payload alone from a zero IV gives the same bytes.
        std::vector<u8> again(uEnc);
        ASSERT_EQ(1u, peerKey.Encrypt(h, plain.data(), again.data(), uEnc));
        EXPECT_EQ(0, std::memcmp(again.data(), &d[24], uEnc));
        got.append((const char*)plain.data(), uEnc - uPad);
    }
    EXPECT_EQ(all, got);
    peerKey.Clean();
}

// Blocks queued before the key exists cannot leave; the resend timer keeps trying the last
// one meanwhile. When the key comes, every one of them goes out at once, that one too (not
// one resend interval later).
TEST_F(SocketTest, BlocksWaitingForTheKeyAllLeaveWhenItComes)
{
    Start();
    Connect();
    StopTimer();
    ASSERT_EQ(400, SendMsg(std::string(400, 'w'), 0, QV_SOCK_SEND_ENCRYPT));   // 4 blocks
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_ENCQ) >= 1; }));
    for (int i = 0; i < 12; i++) sock.TimerPass();
    EXPECT_EQ(0u, low.Count(QV_SKP_DATA));
    CQVCrypto peerKey;
    u32 h = 0;
    ASSERT_NO_FATAL_FAILURE(AnswerKeyExchange(peerKey, h));
    auto sent = [&] {
        std::set<u32> b;
        for (auto& p : low.Of(QV_SKP_DATA))
            if (p.b[2] & QV_SKD_ENC) b.insert(Rd32(&p.b[8]));
        return b;
    };
    EXPECT_TRUE(WaitFor([&] { return sent().size() == 4; })) << sent().size() << " of 4 blocks";
    peerKey.Clean();
}

TEST_F(SocketTest, EncryptedDataWithoutKeyStartsAKeyExchange)
{
    Start();
    Connect();
    Inject(DataPkt(0, QV_SKD_ENC | QV_SKD_LAST, 0, std::string(32, 'k') + std::string(1, '\0')), sid);
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_ENCQ) == 1; }));
}

// ---------------------------------------------------------------------------------------------
// Timers and configuration

TEST_F(SocketTest, HandshakeThatNeverCompletesIsReportedDropped)
{
    Start();
    sid = sock.Add(&peer, 0, 5, 0);
    ASSERT_EQ(0, sock.SetDropTimeout(sid, 0));
    EXPECT_EQ(10u, sock.GetDropLimit(sid));
    ASSERT_EQ(0, sock.SetDropTimeout(sid, 3));
    EXPECT_EQ(60u, sock.GetDropLimit(sid));
    ASSERT_EQ(0, sock.SetDropTimeout(sid, 0));
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_INITQ) >= 1; }));
    for (int i = 0; i < 10; i++) sock.TimerPass();
    ASSERT_TRUE(WaitFor([&] {
        for (auto& e : own.Of(QV_SOCK_EVENT_REPORT))
            if (e.v4 == 1 && e.sid == sid && e.param == 5) return true;
        return false;
    }));
    EXPECT_GE(low.Count(QV_SKP_INITQ), 2u);   // resent on the 10th pass
}

TEST_F(SocketTest, ReportForAFreedSocketHasNoSocket)
{
    Start();
    sid = sock.Add(&peer, 0, 5, 0);
    sock.Delete(sid);
    ASSERT_TRUE(WaitFor([&] { return sock.SetPeerParam(sid, 1) == 0; }));
    sock.SockEventReport(sid, 8);
    ASSERT_TRUE(WaitFor([&] { return !own.Of(QV_SOCK_EVENT_REPORT).empty(); }));
    auto e = own.Of(QV_SOCK_EVENT_REPORT)[0];
    EXPECT_EQ(4u, e.v1);
    EXPECT_EQ(8u, e.v4);
    EXPECT_EQ(0xFFFFFFFFu, e.param);
    EXPECT_EQ(0u, e.sid);
}

TEST_F(SocketTest, PostedEventsAndTheSecondCount)
{
    Start();
    Connect();
    ASSERT_EQ(0, sock.PostNodeEvent(sid, 1, 2, 3, 4, 9));
    ASSERT_TRUE(WaitFor([&] { return !own.Of(QV_SOCK_EVENT_POSTED).empty(); }));
    auto e = own.Of(QV_SOCK_EVENT_POSTED)[0];
    EXPECT_EQ(1u, e.v1);
    EXPECT_EQ(4u, e.v4);
    EXPECT_EQ(77u, e.param);
    EXPECT_EQ(9u, e.extra);
    EXPECT_EQ(sid, e.sid);
    EXPECT_EQ(-4, sock.PostNodeEvent(sid ^ 0x8000, 1, 2, 3, 4, 9));
    u32 s0 = sock.GetCurrentStamp();
    for (int i = 0; i < 100; i++) sock.TimerProc();
    EXPECT_GE(sock.GetCurrentStamp(), s0 + 1);
    // A new own name restarts every handshake under a new cookie.
    u32 old = LocalCookie();
    low.Clear();
    ASSERT_EQ(1u, sock.SetName("renamed"));
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_INITQ) >= 1; }));
    EXPECT_NE(old, LocalCookie());
    EXPECT_STREQ("renamed", (const char*)&low.Of(QV_SKP_INITQ)[0].b[12]);
}

TEST(SocketConfig, SetConfigAndSetters)
{
    CQVSocket s;
    CQVSocket::CFG_S c;
    std::memset(&c, 0, sizeof(c));
    s.SetConfig(c);
    CQVSocket::CFG_S g;
    s.GetConfig(g);
    EXPECT_EQ(32, g.uTableSize);
    for (u32 i = 0; i < 4; i++) {
        EXPECT_EQ(16, g.uSendQue[i]);
        EXPECT_EQ(16, g.uRecvQue[i]);
        EXPECT_EQ(1, g.uInitWnd[i]);
    }
    u32 w[11];
    c.uTableSize = 2048;
    s.SetConfig(c);
    s.BuildProcCfg(w);
    EXPECT_EQ(128u, w[8]);
    c.uTableSize = 1024;
    s.SetConfig(c);
    s.BuildProcCfg(w);
    EXPECT_EQ(64u, w[8]);
    EXPECT_EQ(1024u, w[7]);
    EXPECT_EQ(0u, s.SetMDU(0));
    EXPECT_EQ(0u, s.SetMDU(1281));
    EXPECT_EQ(1u, s.SetMDU(1));
    EXPECT_EQ(1u, s.SetMDU(1280));
    c.uSendQue[0] = 16;
    c.uSendQue[1] = 8;
    c.uSendQue[2] = 64;
    c.uSendQue[3] = 64;
    s.SetConfig(c);
    s.SetInitWnd(100);
    s.GetConfig(g);
    EXPECT_EQ(4, g.uInitWnd[2]);
    EXPECT_EQ(4, g.uInitWnd[3]);
    EXPECT_EQ(1, g.uInitWnd[0]);
    EXPECT_EQ(0u, s.SetName("x"));   // not initialised
    EXPECT_EQ(-5, s.Reconnect(1));
}

TEST_F(SocketTest, LifecycleAndNames)
{
    Start();
    EXPECT_EQ(0u, sock.Initialize(nullptr));
    EXPECT_EQ(1u, sock.SetName("me"));
    EXPECT_EQ(0u, sock.SetName(std::string(128, 'n').c_str()));
    EXPECT_EQ(1u, sock.SetName(std::string(127, 'n').c_str()));
    sid = sock.Add(&peer, 0, 1, 0);
    EXPECT_EQ(-4, sock.SendRemain(sid, 4));
    EXPECT_EQ(-4, sock.SendRemain(sid ^ 1, 0));
    sock.Clean();
    EXPECT_EQ(-5, sock.SendRemain(sid, 0));
    ASSERT_EQ(1u, sock.Initialize(nullptr));   // may start again
}

// ---------------------------------------------------------------------------------------------
// Dispatcher, events and key exchange collisions

// A handshake that never completes is given up after 360 timer passes on the client side and
// 120 on the server side; its InitQ goes out again every 10 passes meanwhile.
TEST(SocketTimer, HandshakeGivesUpAfterTheLimitOfItsSide)
{
    for (u32 side : {0u, 1u}) {
        FakeLower low;
        Owner own;
        CQVSocket sock;
        sock.SetLower(&low);
        sock.Attach(&own);
        CQVSocket::CFG_S cfg;
        std::memset(&cfg, 0, sizeof(cfg));
        cfg.uSide = (u16)side;
        sock.SetConfig(cfg);
        ASSERT_EQ(1u, sock.Initialize(nullptr));
        // Every pass is driven here: the timer service, whose 10 ms timer would add its own,
        // is stopped until the end.
        qvTimerClean();
        ASSERT_EQ(1u, sock.SetName("me"));
        QV_ADDR_S peer = Addr(0x0A000002, 2000);
        u32 sid = sock.Add(&peer, 0, 5, 0);
        ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_INITQ) >= 1; }));
        auto dropped = [&] {
            for (auto& e : own.Of(QV_SOCK_EVENT_REPORT))
                if (e.v4 == 1 && e.sid == sid) return true;
            return false;
        };
        const u32 uLimit = side ? 120 : 360;
        for (u32 i = 0; i + 1 < uLimit; i++) sock.TimerPass();
        ASSERT_TRUE(SettleDispatcher(sock, [&](u32 m) { return own.Marked(m); }));
        EXPECT_FALSE(dropped()) << "side " << side;
        EXPECT_EQ(1 + (uLimit - 1) / 10, low.Count(QV_SKP_INITQ)) << "side " << side;
        sock.TimerPass();
        EXPECT_TRUE(WaitFor(dropped)) << "side " << side;
        sock.Clean();
        ASSERT_EQ(1u, qvTimerInit(64));
    }
}

// A refused event 1 discards the pending incoming socket; a refused event 2 changes nothing.
TEST_F(SocketTest, RefusedNewAndConnectEvents)
{
    Start();
    own.bTake = false;
    Inject(InitPkt(QV_SKP_INITQ, 0, 0x1234), 0);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_NEW).size() == 1; }));
    u32 nid = own.Of(QV_SOCK_EVENT_NEW)[0].param;
    QV_ADDR_S got;
    ASSERT_TRUE(WaitFor([&] { return sock.NewGet(nid, got) == 0; }));
    Connect();
    char name[16];
    EXPECT_EQ(1u, sock.GetPeerName(sid, name, sizeof(name)));
    EXPECT_STREQ("peer", name);
}

// 32 batch slots: plain Data waits until the push that takes the last free slot, which
// processes the whole batch at once; the next datagram waits again.
TEST_F(SocketTest, BatchOfThirtyTwoIsProcessedByTheLastSlot)
{
    CQVSocket::CFG_S cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    cfg.uNodeOption = 0x100;
    cfg.uRecvQue[0] = 64;
    Start(&cfg);
    Connect();
    auto drain = [&] {
        u32 n = 0;
        u8 out[16];
        QV_SK_BUF_S b;
        for (;;) {
            b = RecvReq(out, sizeof(out));
            if (sock.Receive(sid, b, 0) <= 0) return n;
            n++;
        }
    };
    for (u32 i = 0; i < 31; i++) Inject(DataPkt(i, QV_SKD_LAST, 0, "m" + std::to_string(i)), sid);
    EXPECT_EQ(0u, drain());
    Inject(DataPkt(31, QV_SKD_LAST, 0, "m31"), sid);
    EXPECT_EQ(32u, drain());
    Inject(DataPkt(32, QV_SKD_LAST, 0, "m32"), sid);
    EXPECT_EQ(0u, drain());
    sock.SockEventDataPull();
    EXPECT_EQ(1u, drain());
}

// Key exchange packets against the handshake state and against an own pending request.
TEST_F(SocketTest, KeyExchangeCollisionKeepsTheGreaterQueryId)
{
    Start();
    CQVCrypto peerKey;
    ASSERT_EQ(1u, peerKey.Initialize(4));
    auto encq = [&](u32 uQid) {
        u32 h = peerKey.Open(1);
        std::vector<u8> p(12 + 512, 0);
        u32 len = 0, qid = 0;
        EXPECT_EQ(QV_CRYPTO_OK, peerKey.Export(h, &p[12], &len, qid, 1));
        p.resize(12 + len);
        p[1] = QV_SKP_ENCQ;
        qvSkWr32(&p[4], LocalCookie());
        qvSkWr16(&p[8], uQid);
        qvSkWr16(&p[10], len);
        return p;
    };
    // Still in the handshake: the EncQ is dropped.
    sid = sock.Add(&peer, 0, 77, 0);
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_INITQ) >= 1; }));
    Inject(encq(1), sid);
    Inject(InitPkt(QV_SKP_INITR, LocalCookie(), kPeerCookie), sid);
    ASSERT_TRUE(WaitFor([&] { return own.Of(QV_SOCK_EVENT_CONNECT).size() == 1; }));
    EXPECT_EQ(0u, low.Count(QV_SKP_ENCR));
    // Both ends request at once. A request with a smaller query id than our own is ignored.
    ASSERT_EQ(3, SendMsg("abc", 0, QV_SOCK_SEND_ENCRYPT));
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_ENCQ) == 1; }));
    u32 uOwn = qvSkRd16(&low.Of(QV_SKP_ENCQ)[0].b[8]);
    ASSERT_GT(uOwn, 0u);
    Inject(encq(uOwn - 1), sid);
    Settle();
    EXPECT_EQ(0u, low.Count(QV_SKP_ENCR));
    // One with a query id not smaller makes this end give up its own and answer.
    Inject(encq(uOwn), sid);
    ASSERT_TRUE(WaitFor([&] { return low.Count(QV_SKP_ENCR) == 1; }));
    auto r = low.Of(QV_SKP_ENCR)[0].b;
    EXPECT_EQ(uOwn, qvSkRd16(&r[8]));
    EXPECT_EQ((u32)QV_CRYPTO_P_SIZE, qvSkRd16(&r[10]));
    EXPECT_EQ(kPeerCookie, Rd32(&r[4]));
    peerKey.Clean();
}

} // namespace
