// Two socket layers, each in its own process and network namespace on one LAN segment, over
// the real socket process and LAN driver: messages on all four priorities, encrypted and not,
// under 20% loss on both hosts' input; and a peer that restarts in the middle of the traffic.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "kvLab.h"
#include "kvLanSockets.h"
#include "qvSockDriv.h"
#include "qvSocket.h"
#include "qvTimer.h"
#include "qvLog.h"

namespace {

using kvlan::Body;

bool ParseBody(const std::string& m, u32* prio, u32* seq)
{
    u32 p = 0, s = 0, l = 0;
    if (sscanf(m.c_str(), "P%uS%uL%u:", &p, &s, &l) != 3) return false;
    *prio = p;
    *seq = s;
    return l == m.size() && Body(p, s, l) == m;
}

u32 Len(u32 prio, u32 seq)
{
    return 20 + (seq * 733 + prio * 211) % 3500;
}

// The node's part inside the child: reads every waiting message, checks it and counts events.
// Events come from the dispatcher or the socket process thread: it also counts calls made
// while another is still running, and acknowledgements out of their priority's order.
class ChildOwner : public IQVSocketOwner {
public:
    CQVSocket* sock = nullptr;
    std::mutex mu;
    std::atomic<u32> connects{0}, acked{0}, recvEvents{0}, recvOk{0}, recvBad{0};
    std::atomic<u32> inCall{0}, overlap{0}, ackUnordered{0};
    std::map<u32, u32> acksPerHandle;
    std::map<u32, u32> lastAck;   // priority -> handle last acknowledged
    std::map<u32, int> lastSeq;   // priority -> last sequence number seen
    bool holdAt10 = false;        // stop taking messages in once ten have arrived

    u32 SocketProc(u32 e, u32 v1, u32, u32, u32 v4, u32, u32, u32 sid) override
    {
        if (inCall.fetch_add(1)) overlap++;
        struct Leave {
            std::atomic<u32>& n;
            ~Leave() { n--; }
        } leave{inCall};
        if (e == QV_SOCK_EVENT_CONNECT) {
            connects++;
            printf("CONNECTED\n");
            fflush(stdout);
        }
        if (e == QV_SOCK_EVENT_ACKED) {
            std::lock_guard<std::mutex> lk(mu);
            if (acksPerHandle[v4]++ == 0) acked++;
            // Handles rise with the sending order, which each priority keeps.
            if (v4 < lastAck[v1]) ackUnordered++;
            lastAck[v1] = v4;
        }
        if (e == QV_SOCK_EVENT_RECV) {
            recvEvents++;
            std::string m;
            bool bHold = false;
            if (kvlan::ReceiveMsg(*sock, sid, v1, &m) > 0) {
                u32 p = 0, s = 0;
                std::lock_guard<std::mutex> lk(mu);
                auto it = lastSeq.find(v1);
                if (ParseBody(m, &p, &s) && p == v1 && (it == lastSeq.end() || (int)s > it->second)) {
                    lastSeq[v1] = (int)s;
                    if (++recvOk == 10) {
                        printf("RECV10\n");
                        fflush(stdout);
                        bHold = holdAt10;
                    }
                } else {
                    recvBad++;
                    printf("BAD prio %u: %.40s\n", v1, m.c_str());
                    fflush(stdout);
                }
            }
            // For good: the process is killed in this state.
            while (bHold)
                pause();
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

// One instance: finds the peer on the LAN by label, opens a peer socket to it, sends
// nPerPrio messages per priority (every other one encrypted), waits for all of them to be
// acknowledged and for nRecv messages to arrive, and prints what it saw. It then marks itself
// done in dir and keeps running (acknowledging) until the peer has marked itself done too.
int RunInstance(const std::string& id, const std::string& peerId, u32 nPerPrio, u32 nRecv, const std::string& dir,
                u32 uQue = 16, bool bHoldAt10 = false)
{
    if (!qvTimerInit(64)) return 2;
    // KV_TRACE=1 switches the debug trace on; its tail is printed when the run stalls.
    const bool bTrace = getenv("KV_TRACE") != nullptr;
    if (bTrace) qvPrintfEnable(1);
    ChildOwner own;
    own.holdAt10 = bHoldAt10;
    CQVSocket sock;
    own.sock = &sock;
    IQVSocketLANPriv* lan = nullptr;
    if (int err = kvlan::StartLanSocket(sock, &own, id, uQue, uQue + uQue / 4, "kvsock", &lan)) return err;
    QV_ADDR_S peer;
    std::memset(&peer, 0, sizeof(peer));
    if (!kvlan::ScanFor(lan, peerId, &peer, 15000)) {
        printf("NOT FOUND\n");
        fflush(stdout);
        sock.Clean();
        return 5;
    }
    u32 sid = sock.Add(&peer, 0, 1, 0);
    if (!sid || !Until([&] { return own.connects.load() > 0; }, 15000)) {
        printf("NO CONNECT\n");
        fflush(stdout);
        sock.Clean();
        return 6;
    }
    u32 handle = 1;
    for (u32 seq = 0; seq < nPerPrio; seq++)
        for (u32 prio = 0; prio < 4; prio++) {
            std::string m = Body(prio, seq, Len(prio, seq));
            u32 h = handle++;
            u32 opt = (seq % 2) ? QV_SOCK_SEND_ENCRYPT : 0;
            if (!Until([&] { return kvlan::SendMsg(sock, sid, h, prio, m, opt) > 0; },
                       getenv("KV_TRACE") ? 15000 : 60000)) {
                if (bTrace && system("grep -v Thread /var/quarlin.log | tail -300") != 0) printf("no trace\n");
                printf("SEND STUCK\n");
                fflush(stdout);
            }
        }
    printf("QUEUED %u\n", handle - 1);
    fflush(stdout);
    u32 total = nPerPrio * 4;
    bool all = Until([&] { return own.acked.load() >= total && own.recvOk.load() >= nRecv; }, 150000);
    if (!all && bTrace && system("grep -v Thread /var/quarlin.log | tail -300") != 0) printf("no trace\n");
    printf("DONE all=%d acked=%u recv=%u bad=%u events4=%u\n", all ? 1 : 0, own.acked.load(), own.recvOk.load(),
           own.recvBad.load(), own.recvEvents.load());
    fflush(stdout);
    // The peer may still wait for acks of its last blocks: stay until it is done as well.
    if (FILE* f = fopen((dir + "/done-" + id).c_str(), "w")) fclose(f);
    bool peerDone = Until([&] { return access((dir + "/done-" + peerId).c_str(), F_OK) == 0; }, 150000);
    if (!peerDone) {
        printf("PEER NOT DONE\n");
        fflush(stdout);
    }
    {
        std::lock_guard<std::mutex> lk(own.mu);
        u32 twice = 0;
        for (auto& kv : own.acksPerHandle)
            if (kv.second != 1) twice++;
        printf("FINAL acked=%u recv=%u bad=%u events4=%u twice=%u overlap=%u unordered=%u\n", own.acked.load(),
               own.recvOk.load(), own.recvBad.load(), own.recvEvents.load(), twice, own.overlap.load(),
               own.ackUnordered.load());
        fflush(stdout);
    }
    sock.Clean();
    qvTimerClean();
    return 0;
}

} // namespace

TEST(SocketLan, MessagesOnAllPrioritiesUnderLoss)
{
    KV_LAB_REQUIRE();
    kvlab::Lab lab;
    auto seg = lab.AddSegment("lan");
    auto a = lab.AddHost(seg, "a");
    auto b = lab.AddHost(seg, "b");
    ASSERT_TRUE(lab.QuietScans({a, b}));  // both scan the LAN
    ASSERT_TRUE(lab.SetLoss(a, 20));
    ASSERT_TRUE(lab.SetLoss(b, 20));
    kvlab::TempDir home;
    kvlab::RunOptions opt;
    opt.tmpfs = {"/var"};
    opt.env = {"HOME=" + home.Path()};
    if (getenv("KV_TRACE")) opt.env.push_back("KV_TRACE=1");
    const u32 n = 6;
    auto pa = lab.RunIn(a, [&] { return RunInstance("peerA", "peerB", n, 4 * n, home.Path()); }, opt);
    auto pb = lab.RunIn(b, [&] { return RunInstance("peerB", "peerA", n, 4 * n, home.Path()); }, opt);
    std::string want = "FINAL acked=" + std::to_string(4 * n) + " recv=" + std::to_string(4 * n) +
                       " bad=0 events4=" + std::to_string(4 * n) + " twice=0 overlap=0 unordered=0";
    EXPECT_TRUE(pa.WaitOutput(want, 200000)) << pa.Output();
    EXPECT_TRUE(pb.WaitOutput(want, 200000)) << pb.Output();
    int rc = -1;
    EXPECT_TRUE(pa.Wait(20000, &rc));
    EXPECT_EQ(0, rc);
    EXPECT_TRUE(pb.Wait(20000, &rc));
    EXPECT_EQ(0, rc);
}

// Deep queues let whole windows go out at once: the datagrams of a burst leave and arrive in
// batches, and under 20% loss on both inputs every message still arrives once, whole and in
// order, and is acknowledged once.
TEST(SocketLan, BurstsUnderLossArriveOnceInOrder)
{
    KV_LAB_REQUIRE();
    kvlab::Lab lab;
    auto seg = lab.AddSegment("lan");
    auto a = lab.AddHost(seg, "a");
    auto b = lab.AddHost(seg, "b");
    ASSERT_TRUE(lab.QuietScans({a, b}));
    ASSERT_TRUE(lab.SetLoss(a, 20));
    ASSERT_TRUE(lab.SetLoss(b, 20));
    kvlab::TempDir home;
    kvlab::RunOptions opt;
    opt.tmpfs = {"/var"};
    opt.env = {"HOME=" + home.Path()};
    const u32 n = 40;
    auto pa = lab.RunIn(a, [&] { return RunInstance("peerA", "peerB", n, 4 * n, home.Path(), 200); }, opt);
    auto pb = lab.RunIn(b, [&] { return RunInstance("peerB", "peerA", n, 4 * n, home.Path(), 200); }, opt);
    std::string want = "FINAL acked=" + std::to_string(4 * n) + " recv=" + std::to_string(4 * n) +
                       " bad=0 events4=" + std::to_string(4 * n) + " twice=0 overlap=0 unordered=0";
    EXPECT_TRUE(pa.WaitOutput(want, 200000)) << pa.Output();
    EXPECT_TRUE(pb.WaitOutput(want, 200000)) << pb.Output();
    int rc = -1;
    EXPECT_TRUE(pa.Wait(20000, &rc));
    EXPECT_EQ(0, rc);
    EXPECT_TRUE(pb.Wait(20000, &rc));
    EXPECT_EQ(0, rc);
}

// B is killed in the middle of A's traffic and started again (a new cookie, empty rings):
// the handshake runs again, A's queued messages reach the new B whole and in order, and A's
// messages all end acknowledged once.
TEST(SocketLan, RestartedPeerIsHandshakenAgain)
{
    KV_LAB_REQUIRE();
    kvlab::Lab lab;
    auto seg = lab.AddSegment("lan");
    auto a = lab.AddHost(seg, "a");
    auto b = lab.AddHost(seg, "b");
    ASSERT_TRUE(lab.QuietScans({a, b}));  // both scan the LAN
    kvlab::TempDir home;
    kvlab::RunOptions opt;
    opt.tmpfs = {"/var"};
    opt.env = {"HOME=" + home.Path()};
    if (getenv("KV_TRACE")) opt.env.push_back("KV_TRACE=1");
    const u32 n = 30;
    auto pa = lab.RunIn(a, [&] { return RunInstance("peerA", "peerB", n, 0, home.Path()); }, opt);
    // B stops taking messages in at the tenth: A's messages cannot all be acknowledged before
    // B is killed, however slowly the test sees B's line.
    auto pb = lab.RunIn(b, [&] { return RunInstance("peerB", "peerA", 0, 0, home.Path(), 16, true); }, opt);
    ASSERT_TRUE(pb.WaitOutput("RECV10", 60000)) << pb.Output();
    pb.Kill();
    // The killed B marked itself done right after it had connected. The mark goes with it, so
    // that A stays until the new B has found it and marked itself done: the new B's socket layer
    // can take A's traffic in and acknowledge all of it before its LAN scan has found A, and an
    // A gone by then would leave that scan without an answer.
    unlink((home.Path() + "/done-peerB").c_str());
    auto pb2 = lab.RunIn(b, [&] { return RunInstance("peerB", "peerA", 0, 0, home.Path()); }, opt);
    EXPECT_TRUE(pa.WaitOutput("DONE all=1 acked=" + std::to_string(4 * n) + " recv=0 bad=0", 200000))
        << pa.Output();
    EXPECT_TRUE(pb2.WaitOutput("CONNECTED", 20000)) << pb2.Output();
    // Whatever reached the new B is whole and in order.
    EXPECT_EQ(std::string::npos, pb2.Output().find("BAD")) << pb2.Output();
    EXPECT_TRUE(pa.WaitOutput("twice=0 overlap=0 unordered=0", 20000)) << pa.Output();
    pb2.Kill();
}
