// Two socket layers that open a peer socket to each other at about the same moment, each in
// its own process and network namespace on one LAN segment, over the real socket process and
// LAN driver. A side whose peer's handshake arrives first takes the incoming socket the way
// the node does: it accepts it in prepare-connect and binds it (SetPeerParam) when it opens
// its own or when the prepared socket connects. Whatever the order, every message sent from
// the first moment on arrives once, whole and in order, and is acknowledged once.
#include <arpa/inet.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "kvLab.h"
#include "kvLanSockets.h"
#include "qvLog.h"
#include "qvSockDriv.h"
#include "qvSocket.h"
#include "qvTimer.h"

namespace {

// The private value of an accepted incoming socket until it is bound, and after.
const u32 kPrepared = 0xFFFF;
const u32 kBound = 1 << 16;

using kvlan::Body;
using kvlan::StartLanSocket;

u32 Len(u32 prio, u32 seq)
{
    return 20 + (seq * 733 + prio * 211) % 3000;
}

// The node's part: accepts an incoming socket prepared, binds it, reads and checks messages.
class Owner : public IQVSocketOwner {
public:
    CQVSocket* sock = nullptr;
    std::mutex mu;
    u32 sid = 0;          // the socket to the peer, once opened or bound
    u32 prepared = 0;     // an incoming socket accepted in prepare-connect
    bool accept = true;   // false: incoming sockets are refused (this side opens its own)
    std::atomic<u32> incoming{0};
    std::atomic<u32> acked{0}, recvOk{0}, recvBad{0}, connects{0};
    std::map<u32, u32> acksPerHandle;
    std::map<u32, u32> nextSeq;   // priority -> sequence number expected next

    // Opens the socket to the peer: an incoming socket already accepted is bound instead.
    u32 Open(const QV_ADDR_S& peer)
    {
        std::lock_guard<std::mutex> lk(mu);
        if (sid) return sid;
        if (prepared) {
            sock->SetPeerParam(prepared, kBound);
            sid = prepared;
            printf("BOUND AT OPEN\n");
        } else {
            sid = sock->Add(&peer, 0, kBound, 0);
            printf("ADDED\n");
        }
        fflush(stdout);
        return sid;
    }
    u32 Sid()
    {
        std::lock_guard<std::mutex> lk(mu);
        return sid;
    }
    u32 SocketProc(u32 e, u32 v1, u32, u32, u32 v4, u32 param, u32, u32 s) override
    {
        if (e == QV_SOCK_EVENT_NEW) {
            std::lock_guard<std::mutex> lk(mu);
            incoming++;
            if (!accept || sid || prepared) return 0;
            QV_ADDR_S a{};
            prepared = sock->Add(&a, param, kPrepared, 1);
            printf("PREPARED %u\n", prepared ? 1 : 0);
            fflush(stdout);
            return 1;
        }
        if (e == QV_SOCK_EVENT_CONNECT) {
            if (param == kPrepared) {
                std::lock_guard<std::mutex> lk(mu);
                if (!sid) {
                    sock->SetPeerParam(s, kBound);
                    sid = s;
                    printf("BOUND AT CONNECT\n");
                    fflush(stdout);
                }
            } else {
                connects++;
            }
        }
        if (e == QV_SOCK_EVENT_ACKED) {
            std::lock_guard<std::mutex> lk(mu);
            if (acksPerHandle[v4]++ == 0) acked++;
        }
        if (e == QV_SOCK_EVENT_RECV) {
            std::string m;
            if (kvlan::ReceiveMsg(*sock, s, v1, &m) > 0) {
                std::lock_guard<std::mutex> lk(mu);
                u32 seq = nextSeq[v1];
                if (param == kBound && m == Body(v1, seq, Len(v1, seq))) {
                    nextSeq[v1] = seq + 1;
                    recvOk++;
                } else {
                    recvBad++;
                    printf("BAD prio %u param %x: %.40s\n", v1, param, m.c_str());
                    fflush(stdout);
                }
            }
        }
        return 1;
    }
    void SocketTimer(u32) override {}
    void SocketDrop(u32) override {}
    void SocketSetParam(u32, u32, u32) override {}
    void SocketThreadStatus(u32) override {}
};

bool Until(const std::function<bool()>& f, int ms)
{
    return kvlab::WaitUntil(f, ms);
}

bool Exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

void Touch(const std::string& path)
{
    if (FILE* f = fopen(path.c_str(), "w")) fclose(f);
}

// How a side comes to its socket to the peer.
enum class Way {
    Scan,     // finds the peer by a LAN scan, then opens at once
    Accept,   // takes the peer's incoming socket prepared and binds it when it connects
    After,    // opens by address right after the peer's first handshake packet arrived
    AtOnce,   // opens by address as soon as the peer found it
};

// One instance: comes to its socket the given way, sends nPerPrio messages on priorities 1
// and 2 at once (before the handshake is done) and waits until all are acknowledged and as
// many arrived from the peer. The side that does not scan never learns the peer from its LAN
// driver, only from the datagrams that arrive.
int RunInstance(const std::string& id, const std::string& peerId, Way way, const std::string& peerIp, u32 nPerPrio,
                const std::string& dir)
{
    if (!qvTimerInit(64)) return 2;
    const bool bTrace = getenv("KV_TRACE") != nullptr;
    if (bTrace) qvPrintfEnable(1);
    Owner own;
    own.accept = way == Way::Accept;
    CQVSocket sock;
    own.sock = &sock;
    IQVSocketLANPriv* lan = nullptr;
    if (int err = StartLanSocket(sock, &own, id, 16, 20, "kvsimo", &lan)) return err;
    QV_ADDR_S peer;
    std::memset(&peer, 0, sizeof(peer));
    bool ok = true;
    if (way == Way::Scan) {
        ok = kvlan::ScanFor(lan, peerId, &peer, 15000);
        Touch(dir + "/found");
    } else {
        peer.uAddr[3] = inet_addr(peerIp.c_str());
        peer.uPort = 7654;
        if (way == Way::AtOnce)
            ok = Until([&] { return Exists(dir + "/found"); }, 15000);
        else if (way == Way::After)
            ok = Until([&] { return own.incoming.load() > 0; }, 15000);
        else
            ok = Until([&] { return own.Sid() != 0; }, 15000);
    }
    if (!ok) {
        printf("NO PEER\n");
        fflush(stdout);
        sock.Clean();
        return 5;
    }
    u32 sid = way == Way::Accept ? own.Sid() : own.Open(peer);
    if (!sid) return 6;
    u32 handle = 1;
    for (u32 seq = 0; seq < nPerPrio; seq++)
        for (u32 prio = 1; prio <= 2; prio++) {
            std::string m = Body(prio, seq, Len(prio, seq));
            u32 h = handle++;
            if (!Until([&] { return kvlan::SendMsg(sock, own.Sid(), h, prio, m, 0) > 0; }, 8000)) {
                printf("SEND STUCK\n");
                fflush(stdout);
            }
        }
    u32 total = nPerPrio * 2;
    bool all = Until([&] { return own.acked.load() >= total && own.recvOk.load() >= total; }, 10000);
    if (!all && bTrace && system("grep -v Thread /var/quarlin.log | tail -300") != 0) printf("no trace\n");
    Touch(dir + "/done-" + id);
    // The peer may still wait for acks of its last blocks: stay until it is done as well.
    Until([&] { return Exists(dir + "/done-" + peerId); }, 15000);
    {
        std::lock_guard<std::mutex> lk(own.mu);
        u32 twice = 0;
        for (auto& kv : own.acksPerHandle)
            if (kv.second != 1) twice++;
        printf("FINAL all=%d acked=%u recv=%u bad=%u twice=%u\n", all ? 1 : 0, own.acked.load(),
               own.recvOk.load(), own.recvBad.load(), twice);
        fflush(stdout);
    }
    sock.Clean();
    qvTimerClean();
    return 0;
}

} // namespace

// A finds B by a LAN scan and opens; B, which never scanned, comes to its socket each of the
// ways above. A socket made after the peer's first datagram arrived starts with the
// connection the socket process learnt from that datagram, while the LAN carries everything
// after on the process's own path.
TEST(SocketSimOpen, EveryMessageArrivesWhicheverSideOpensFirst)
{
    KV_LAB_REQUIRE();
    kvlab::Lab lab;
    auto seg = lab.AddSegment("lan");
    auto a = lab.AddHost(seg, "a");
    auto b = lab.AddHost(seg, "b");
    ASSERT_TRUE(lab.QuietScans({a, b}));
    kvlab::RunOptions opt;
    opt.tmpfs = {"/var"};
    if (getenv("KV_TRACE")) opt.env.push_back("KV_TRACE=1");
    const u32 n = 20;
    const std::string want = "FINAL all=1 acked=" + std::to_string(2 * n) + " recv=" + std::to_string(2 * n) +
                             " bad=0 twice=0";
    const char* names[] = {"scan", "accept", "after", "at once"};
    for (Way way : {Way::Accept, Way::After, Way::AtOnce}) {
        const char* name = names[(int)way];
        kvlab::TempDir home;
        auto pa = lab.RunIn(a, [&] { return RunInstance("peerA", "peerB", Way::Scan, "", n, home.Path()); }, opt);
        auto pb = lab.RunIn(b, [&] { return RunInstance("peerB", "peerA", way, a.ip4, n, home.Path()); }, opt);
        EXPECT_TRUE(pa.WaitOutput("FINAL", 60000)) << name << "\n" << pa.Output();
        EXPECT_TRUE(pb.WaitOutput("FINAL", 60000)) << name << "\n" << pb.Output();
        EXPECT_TRUE(pa.WaitOutput(want, 1000)) << name << "\n" << pa.Output() << "\n--- B\n" << pb.Output();
        EXPECT_TRUE(pb.WaitOutput(want, 1000)) << name << "\n" << pb.Output() << "\n--- A\n" << pa.Output();
        int rc = -1;
        EXPECT_TRUE(pa.Wait(20000, &rc));
        EXPECT_EQ(0, rc) << pa.Output();
        EXPECT_TRUE(pb.Wait(20000, &rc));
        EXPECT_EQ(0, rc) << pb.Output();
    }
}

namespace {

// Round r's messages: kPerPrio on each priority, one to three blocks long.
const u32 kPerPrio = 3;
const u32 kRoundMsgs = kPerPrio * 4;

std::string RoundBody(u32 round, u32 prio, u32 seq)
{
    u32 len = 24 + (round * 389 + prio * 211 + seq * 733) % 3000;
    std::string s = "R" + std::to_string(round) + "P" + std::to_string(prio) + "S" + std::to_string(seq) + ":";
    while (s.size() < len) s.push_back((char)('a' + (round + seq * 7 + prio * 3 + s.size()) % 26));
    return s;
}

u64 NowUs()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return (u64)t.tv_sec * 1000000 + (u64)t.tv_nsec / 1000;
}

void SleepUntilUs(u64 at)
{
    timespec t;
    t.tv_sec = (time_t)(at / 1000000);
    t.tv_nsec = (long)(at % 1000000) * 1000;
    while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

// Written under another name and renamed, so that a reader never sees it half written.
void WriteFile(const std::string& path, const std::string& text)
{
    std::string tmp = path + ".tmp";
    if (FILE* f = fopen(tmp.c_str(), "w")) {
        fputs(text.c_str(), f);
        fclose(f);
        rename(tmp.c_str(), path.c_str());
    }
}

u64 ReadU64(const std::string& path)
{
    u64 v = 0;
    if (FILE* f = fopen(path.c_str(), "r")) {
        unsigned long long x = 0;
        if (fscanf(f, "%llu", &x) == 1) v = x;
        fclose(f);
    }
    return v;
}

// The node's way with a peer that opens towards it while it opens towards the peer: an
// incoming socket is accepted in prepare-connect, and when it connects it is bound, or moved
// into the own socket when there is one; a bound socket sends the round's messages at its
// first connect event; messages on an unbound socket are refused (dropped), as the node does.
// The private value is (round + 1) << 16, with 0xFFFF in the low half while unbound.
class RoundOwner : public IQVSocketOwner {
public:
    CQVSocket* sock = nullptr;
    std::mutex mu;
    u32 round = 0;
    bool open = false;   // false between rounds: incoming sockets refused, events ignored
    u32 sid = 0;         // the socket of this round, once opened or bound
    u32 prepared = 0;    // an incoming socket accepted in prepare-connect
    bool sent = false;
    bool reconnect = false;   // a new handshake with a new cookie once half the peer's messages are read
    u32 connects = 0, recvOk = 0, recvBad = 0, sendFail = 0, dropped = 0;
    u32 nextSeq[4] = {0, 0, 0, 0};
    std::map<u32, u32> acks;   // handle -> acknowledgements
    std::string story;         // what happened this round, shown when it fails

    u32 Bound() const { return (round + 1) << 16; }
    u32 Unbound() const { return Bound() | 0xFFFF; }

    void Note(const char* what, u32 s)
    {
        story += std::string(what) + "(" + std::to_string(s) + ") ";
    }
    void Begin(u32 r)
    {
        std::lock_guard<std::mutex> lk(mu);
        round = r;
        open = true;
        sid = prepared = 0;
        sent = false;
        connects = recvOk = recvBad = sendFail = dropped = 0;
        for (u32& n : nextSeq) n = 0;
        acks.clear();
        story.clear();
    }
    void Open(const QV_ADDR_S& peer)
    {
        std::lock_guard<std::mutex> lk(mu);
        if (sid) return;
        QV_ADDR_S a = peer;
        sid = sock->Add(&a, 0, Bound(), 0);
        if (sid == prepared) prepared = 0;
        Note("open", sid);
    }
    // Deletes this round's sockets; from here on nothing is accepted.
    void End()
    {
        std::lock_guard<std::mutex> lk(mu);
        open = false;
        if (sid) sock->Delete(sid);
        if (prepared && prepared != sid) sock->Delete(prepared);
        sid = prepared = 0;
    }
    bool Whole()
    {
        std::lock_guard<std::mutex> lk(mu);
        return acks.size() == kRoundMsgs && recvOk == kRoundMsgs;
    }
    std::string Result()
    {
        std::lock_guard<std::mutex> lk(mu);
        u32 twice = 0;
        for (auto& kv : acks)
            if (kv.second != 1) twice++;
        char line[256];
        snprintf(line, sizeof(line), "acked=%zu twice=%u recv=%u bad=%u sendfail=%u dropped=%u connects=%u",
                 acks.size(), twice, recvOk, recvBad, sendFail, dropped, connects);
        return std::string(line) + " | " + story;
    }

    // Called with mu held.
    void SendAll()
    {
        if (sent || !sid) return;
        sent = true;
        for (u32 seq = 0; seq < kPerPrio; seq++)
            for (u32 prio = 0; prio < 4; prio++) {
                u32 h = (round << 8) | (prio << 4) | seq;
                if (kvlan::SendMsg(*sock, sid, h, prio, RoundBody(round, prio, seq), 0) <= 0) sendFail++;
            }
    }

    u32 SocketProc(u32 e, u32 v1, u32, u32, u32 v4, u32 param, u32, u32 s) override
    {
        std::lock_guard<std::mutex> lk(mu);
        const bool mine = open && (param >> 16) == round + 1;
        if (e == QV_SOCK_EVENT_NEW) {
            if (!open) return 0;
            QV_ADDR_S a{};
            u32 n = sock->Add(&a, param, Unbound(), 1);
            Note("accept", n);
            if (!n) return 0;
            if (n == sid) {
                sid = 0;   // the own socket was taken as the incoming one: bound again at connect
            }
            prepared = n;
            return 1;
        }
        if (e == QV_SOCK_EVENT_CONNECT && mine) {
            connects++;
            Note((param & 0xFFFF) ? "connect-unbound" : "connect", s);
            if (param & 0xFFFF) {
                if (sid && sid != s) {
                    sock->Move(sid, s);
                    Note("move", s);
                } else {
                    sid = s;
                }
                prepared = 0;
                sock->SetPeerParam(sid, Bound());
            }
            if (s == sid || (param & 0xFFFF)) SendAll();
            return 1;
        }
        if (e == QV_SOCK_EVENT_ACKED && mine) {
            acks[v4]++;
            return 1;
        }
        if (e == QV_SOCK_EVENT_RECV) {
            if (!mine || (param & 0xFFFF)) {
                dropped++;
                Note("refuse", s);
                return 0;
            }
            std::string m;
            if (kvlan::ReceiveMsg(*sock, s, v1, &m) > 0 && v1 < 4) {
                if (m == RoundBody(round, v1, nextSeq[v1])) {
                    nextSeq[v1]++;
                    recvOk++;
                    if (reconnect && recvOk == kRoundMsgs / 2) {
                        sock->Reconnect(s);
                        Note("reconnect", s);
                    }
                } else {
                    recvBad++;
                    Note(("bad:" + m.substr(0, 12)).c_str(), s);
                }
            }
            return 1;
        }
        return 1;
    }
    void SocketTimer(u32) override {}
    void SocketDrop(u32) override {}
    void SocketSetParam(u32, u32, u32) override {}
    void SocketThreadStatus(u32) override {}
};

// Both sides wait for each other at a file barrier, then open at once (each round with its
// own small offset on either side), and each sends its round's messages on four priorities
// right after its connect event. Prints one line per round and a FINAL count.
int RunRounds(const std::string& id, const std::string& peerId, const std::string& otherIp, bool reconnect,
              u32 rounds, const std::string& dir)
{
    if (!qvTimerInit(64)) return 2;
    if (getenv("KV_TRACE")) qvPrintfEnable(1);
    RoundOwner own;
    own.reconnect = reconnect;
    CQVSocket sock;
    own.sock = &sock;
    IQVSocketLANPriv* lan = nullptr;
    if (int err = StartLanSocket(sock, &own, id, 64, 64, "kvsimr", &lan)) return err;
    // Both sides know each other from a LAN scan, as nodes on one segment do.
    QV_ADDR_S peer;
    std::memset(&peer, 0, sizeof(peer));
    if (!kvlan::ScanFor(lan, peerId, &peer, 15000)) {
        printf("NO PEER\n");
        fflush(stdout);
        sock.Clean();
        return 5;
    }
    if (!otherIp.empty()) peer.uAddr[3] = inet_addr(otherIp.c_str());
    const bool first = id < peerId;
    u32 whole = 0;
    for (u32 r = 0; r < rounds && r - whole < 3; r++) {
        own.Begin(r);
        const std::string tag = "-" + std::to_string(r);
        // Each side writes when it is ready; both open at the same moment of the wall clock,
        // 30 ms after the later of the two, the one or the other up to 0.6 ms later.
        const u64 ready = NowUs();
        WriteFile(dir + "/ready-" + id + tag, std::to_string(ready));
        u64 peerReady = 0;
        if (!Until([&] { return (peerReady = ReadU64(dir + "/ready-" + peerId + tag)) != 0; }, 20000)) break;
        u64 lag = ((r / 10) % 2 == (first ? 0u : 1u)) ? (r % 10) * 700 : 0;
        SleepUntilUs((ready > peerReady ? ready : peerReady) + 30000 + lag);
        own.Open(peer);
        u64 t0 = NowUs();
        bool ok = Until([&] { return own.Whole(); }, 30000);
        if (ok) whole++;
        printf("ROUND %u %s %llums %s\n", r, ok ? "whole" : "LOST", (unsigned long long)(NowUs() - t0) / 1000,
               own.Result().c_str());
        fflush(stdout);
        // The peer may still wait for acknowledgements of its last blocks.
        Touch(dir + "/done-" + id + tag);
        Until([&] { return Exists(dir + "/done-" + peerId + tag); }, 20000);
        own.End();
        Touch(dir + "/gone-" + id + tag);
        Until([&] { return Exists(dir + "/gone-" + peerId + tag); }, 20000);
        usleep(100 * 1000);   // what the deleted sockets still had in flight is refused meanwhile
    }
    printf("FINAL whole=%u of %u\n", whole, rounds);
    fflush(stdout);
    sock.Clean();
    qvTimerClean();
    return 0;
}

} // namespace

// Two sides that open towards each other at the same moment, again and again, and send on
// four priorities right after their connect events: whichever handshake wins, and however
// often it runs, every message is delivered once and in order, and acknowledged once.
TEST(SocketSimOpen, MessagesSentAtConnectArriveOnceWhenBothOpenAtOnce)
{
    KV_LAB_REQUIRE();
    kvlab::Lab lab;
    auto seg = lab.AddSegment("lan");
    auto a = lab.AddHost(seg, "a", 2);
    auto b = lab.AddHost(seg, "b");
    ASSERT_TRUE(lab.QuietScans({a, b}));
    kvlab::RunOptions opt;
    opt.tmpfs = {"/var"};
    if (getenv("KV_TRACE")) opt.env.push_back("KV_TRACE=1");
    // B opens towards the address A's datagrams come from, or towards A's other address: then
    // B has two sockets to A, and the incoming one is moved into its own when it connects. A
    // may start its handshake again with a new cookie in the middle of its sends.
    const struct {
        const char* name;
        std::string bOpensTo;
        bool aReconnects;
        int loss;
        u32 rounds;
    } cases[] = {
        {"same address", "", false, 0, 20},
        {"other address", a.ip4s.at(1), false, 0, 10},
        {"A reconnects", "", true, 0, 20},
        {"A reconnects, 20% loss", "", true, 20, 10},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(lab.SetLoss(a, c.loss));
        ASSERT_TRUE(lab.SetLoss(b, c.loss));
        const std::string want = "FINAL whole=" + std::to_string(c.rounds) + " of " + std::to_string(c.rounds);
        kvlab::TempDir home;
        auto pa = lab.RunIn(a, [&] { return RunRounds("peerA", "peerB", "", c.aReconnects, c.rounds, home.Path()); },
                            opt);
        auto pb = lab.RunIn(b, [&] { return RunRounds("peerB", "peerA", c.bOpensTo, false, c.rounds, home.Path()); },
                            opt);
        EXPECT_TRUE(pa.WaitOutput("FINAL", 240000)) << c.name << "\n" << pa.Output();
        EXPECT_TRUE(pb.WaitOutput("FINAL", 240000)) << c.name << "\n" << pb.Output();
        EXPECT_TRUE(pa.WaitOutput(want, 1000)) << c.name << "\n" << pa.Output() << "\n--- B\n" << pb.Output();
        EXPECT_TRUE(pb.WaitOutput(want, 1000)) << c.name << "\n" << pb.Output() << "\n--- A\n" << pa.Output();
        int rc = -1;
        EXPECT_TRUE(pa.Wait(20000, &rc));
        EXPECT_EQ(0, rc) << pa.Output();
        EXPECT_TRUE(pb.Wait(20000, &rc));
        EXPECT_EQ(0, rc) << pb.Output();
    }
}
