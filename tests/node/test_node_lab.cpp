// Two nodes in two processes and two network namespaces on one LAN segment add each other as
// static peers: their sockets connect, objects synchronise, messages sent early wait and arrive
// in order, multicast messages and request/reply pairs go both ways, stale handles are refused,
// and when one node is killed the other reports it dropped and ends its object's waiters.
#include <gtest/gtest.h>

#include <string>

#include "kvLab.h"

namespace {

TEST(NodeLab, TwoNodesTalkThroughObjectsAndNoticeADroppedPeer)
{
    KV_LAB_REQUIRE();
    kvlab::Lab lab;
    kvlab::Segment seg = lab.AddSegment("lan");
    kvlab::Host a = lab.AddHost(seg, "a");
    kvlab::Host b = lab.AddHost(seg, "b");
    ASSERT_TRUE(lab.QuietScans({a, b}));
    kvlab::TempDir dir;
    kvlab::RunOptions opt;
    opt.tmpfs = {"/var"};
    if (getenv("KV_TRACE"))
        opt.env.push_back("KV_TRACE=1");
    const std::string tool = KV_TOOL_DIR "/tool_node_peer";
    kvlab::Process pa =
        lab.SpawnIn(a, {tool, "--id", "nodeA", "--peer", "nodeB", "--peer-addr", b.ip4 + ":7654", "--dir",
                        dir.Path(), "--role", "stay"},
                    opt);
    kvlab::Process pb =
        lab.SpawnIn(b, {tool, "--id", "nodeB", "--peer", "nodeA", "--peer-addr", a.ip4 + ":7654", "--dir",
                        dir.Path(), "--role", "leave"},
                    opt);
    ASSERT_TRUE(pa.WaitOutput("READY", 60000)) << pa.Output() << "\n-- B:\n" << pb.Output();
    ASSERT_TRUE(pb.WaitOutput("READY", 60000)) << pb.Output() << "\n-- A:\n" << pa.Output();
    for (kvlab::Process* p : {&pa, &pb}) {
        const std::string out = p->Output();
        const std::string other = p == &pa ? "nodeB" : "nodeA";
        // Sent before the peer was ready, accepted and held; received whole and in order.
        EXPECT_NE(std::string::npos, out.find("ADDR SET 0")) << out;
        EXPECT_NE(std::string::npos, out.find("FOUND " + std::string(p == &pa ? b.ip4 : a.ip4) + ":7654")) << out;
        EXPECT_NE(std::string::npos, out.find("SEND " + std::string(p == &pa ? "nodeA" : "nodeB") + "-early1 0")) << out;
        size_t e1 = out.find("MSG " + other + "-early1");
        size_t e2 = out.find("MSG " + other + "-early2");
        size_t e3 = out.find("MSG " + other + "-early3");
        ASSERT_NE(std::string::npos, e1) << out;
        ASSERT_NE(std::string::npos, e2) << out;
        ASSERT_NE(std::string::npos, e3) << out;
        EXPECT_LT(e1, e2);
        EXPECT_LT(e2, e3);
        EXPECT_NE(std::string::npos, out.find("MSG " + other + "-late")) << out;
        // Request/reply pairs both ways, each matched to its waiter.
        const std::string self = p == &pa ? "nodeA" : "nodeB";
        for (int i = 1; i <= 3; i++)
            EXPECT_NE(std::string::npos, out.find("REPLY " + std::to_string(i) + " re:" + self + "-q" +
                                                  std::to_string(i)))
                << out;
        EXPECT_EQ(std::string::npos, out.find("REPLY STALE")) << out;
        // Multicast results: acknowledged by the peer, then complete.
        EXPECT_NE(std::string::npos, out.find("MCAST DONE")) << out;
        EXPECT_NE(std::string::npos, out.find("STALE UNIT -1")) << out;
        EXPECT_NE(std::string::npos, out.find("STALE WAITER 0")) << out;
        EXPECT_NE(std::string::npos, out.find("STALE OBJECT 5")) << out;
    }
    // B goes away without a word; A notices, reports it and ends the waiter of its object.
    pb.Kill();
    FILE* f = fopen((dir.Path() + "/killed").c_str(), "w");
    ASSERT_NE(nullptr, f);
    fclose(f);
    ASSERT_TRUE(pa.WaitOutput("FINISHED", 60000)) << pa.Output();
    const std::string out = pa.Output();
    EXPECT_NE(std::string::npos, out.find("EXTREQ 1 (Meth){34}(Error){11}")) << out;
    EXPECT_NE(std::string::npos, out.find("DROPPED peer")) << out;
    EXPECT_NE(std::string::npos, out.find("WAITERS ENDED 1")) << out;
    int code = -1;
    EXPECT_TRUE(pa.Wait(10000, &code));
    EXPECT_EQ(0, code);
}

}  // namespace
