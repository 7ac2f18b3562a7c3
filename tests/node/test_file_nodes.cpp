// Files and streams between two real nodes in two processes, each in its own lab namespace,
// peers of each other at static addresses (tool_file): a 64 MiB file arrives with the same
// SHA-256, a range above 4 GiB lands at its offset, two transfers share the window, a stream
// whose receiver stops reading pauses its sender with bounded memory and resumes, cancels from
// either side end both ends, streams end cleanly both ways, and a file crosses a lossy link.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "kvLab.h"
#include "qvUtilize.h"

namespace {

const char* kTool = KV_TOOL_DIR "/tool_file";

// One tool_file process: commands go through a named pipe, answers come from its output.
class Tool {
public:
    Tool(kvlab::Lab& lab, const kvlab::Host& host, const std::string& self, const std::string& peer,
         const std::string& dir)
    {
        m_fifo = dir + "/" + self + ".cmd";
        mkfifo(m_fifo.c_str(), 0600);
        m_fd = open(m_fifo.c_str(), O_RDWR | O_CLOEXEC);
        m_proc = lab.SpawnIn(host, {kTool, self, peer, dir, m_fifo});
    }
    ~Tool()
    {
        Cmd("quit");
        int code = -1;
        // A clean stop (sanitizer reports in the tool make it fail).
        EXPECT_TRUE(m_proc.Wait(10000, &code)) << m_proc.Output();
        EXPECT_EQ(0, code) << m_proc.Output();
        if (m_fd >= 0) close(m_fd);
    }
    void Cmd(const std::string& line)
    {
        std::string l = line + "\n";
        ssize_t w = write(m_fd, l.data(), l.size());
        (void)w;
    }
    std::string Output() const { return m_proc.Output(); }
    // Waits for an output line that starts with the text; returns it (empty when none came).
    std::string WaitLine(const std::string& start, int ms, size_t nth = 1)
    {
        std::string found;
        kvlab::WaitUntil(
            [&] {
                std::istringstream in(m_proc.Output());
                std::string l;
                size_t n = 0;
                while (std::getline(in, l))
                    if (l.rfind(start, 0) == 0 && ++n == nth) {
                        found = l;
                        return true;
                    }
                return false;
            },
            ms);
        return found;
    }
    // The answer to a stat command: its numbers.
    std::vector<unsigned long long> Stat(const std::string& cmd, const std::string& answer)
    {
        size_t before = Count(answer);
        Cmd(cmd);
        std::string l = WaitLine(answer, 5000, before + 1);
        std::istringstream in(l.size() > answer.size() ? l.substr(answer.size()) : std::string());
        std::vector<unsigned long long> v;
        unsigned long long x;
        while (in >> x) v.push_back(x);
        return v;
    }
    size_t Count(const std::string& start) const
    {
        std::istringstream in(m_proc.Output());
        std::string l;
        size_t n = 0;
        while (std::getline(in, l)) n += l.rfind(start, 0) == 0;
        return n;
    }
    kvlab::Process& Proc() { return m_proc; }

private:
    std::string m_fifo;
    int m_fd = -1;
    kvlab::Process m_proc;
};

std::string Sha(const std::string& path)
{
    u8 h[32];
    if (access(path.c_str(), R_OK) != 0 || qvFileHash(path.c_str(), h, sizeof(h)) == 0xFFFFFFFF) return "missing";
    char hex[65];
    qvBinToHex(h, 32, hex, sizeof(hex));
    return hex;
}

bool WriteRandom(const std::string& path, u64 size, u32 seed, u64 at = 0)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) return false;
    std::vector<u8> buf(1 << 20);
    u32 x = seed * 2654435761u + 1;
    bool ok = true;
    for (u64 done = 0; done < size && ok;) {
        size_t n = (size_t)std::min<u64>(buf.size(), size - done);
        for (size_t i = 0; i < n; i++) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            buf[i] = (u8)x;
        }
        ok = pwrite(fd, buf.data(), n, (off_t)(at + done)) == (ssize_t)n;
        done += n;
    }
    close(fd);
    return ok;
}

bool SameRange(const std::string& a, u64 offA, const std::string& b, u64 offB, u64 n)
{
    int fa = open(a.c_str(), O_RDONLY), fb = open(b.c_str(), O_RDONLY);
    bool ok = fa >= 0 && fb >= 0;
    std::vector<u8> x(1 << 20), y(1 << 20);
    for (u64 done = 0; done < n && ok;) {
        size_t k = (size_t)std::min<u64>(x.size(), n - done);
        ok = pread(fa, x.data(), k, (off_t)(offA + done)) == (ssize_t)k &&
             pread(fb, y.data(), k, (off_t)(offB + done)) == (ssize_t)k && memcmp(x.data(), y.data(), k) == 0;
        done += k;
    }
    if (fa >= 0) close(fa);
    if (fb >= 0) close(fb);
    return ok;
}

unsigned long long First(const std::vector<unsigned long long>& v)
{
    return v.empty() ? 0 : v[0];
}

u64 SizeOf(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (u64)st.st_size : ~0ull;
}

class FileNodes : public ::testing::Test {
protected:
    void SetUp() override
    {
        KV_LAB_REQUIRE();
        lab.reset(new kvlab::Lab());
        seg = lab->AddSegment("lan");
        ha = lab->AddHost(seg, "a");
        hb = lab->AddHost(seg, "b");
        ASSERT_TRUE(lab->QuietScans({ha, hb}));  // both scan the LAN
        // LAN discovery broadcasts to 255.255.255.255, which needs a route.
        lab->Exec(ha, "ip route add default dev eth0 2>/dev/null");
        lab->Exec(hb, "ip route add default dev eth0 2>/dev/null");
        dirA.reset(new kvlab::TempDir());
        dirB.reset(new kvlab::TempDir());
    }
    void Start()
    {
        a.reset(new Tool(*lab, ha, "nodeA", "nodeB", dirA->Path()));
        b.reset(new Tool(*lab, hb, "nodeB", "nodeA", dirB->Path()));
        ASSERT_FALSE(a->WaitLine("FOUND", 60000).empty()) << a->Output();
        ASSERT_FALSE(b->WaitLine("FOUND", 60000).empty()) << b->Output();
        a->Cmd("connect");
        b->Cmd("connect");
        ASSERT_FALSE(a->WaitLine("READY", 10000).empty()) << a->Output();
        ASSERT_FALSE(b->WaitLine("READY", 10000).empty()) << b->Output();
    }
    void TearDown() override
    {
        a.reset();
        b.reset();
    }
    // The same File object on both nodes.
    void Obj(const std::string& name, u32 flags)
    {
        a->Cmd("obj " + name + " " + std::to_string(flags));
        b->Cmd("obj " + name + " " + std::to_string(flags));
        ASSERT_FALSE(a->WaitLine("OBJ " + name, 3000).empty());
        ASSERT_FALSE(b->WaitLine("OBJ " + name, 3000).empty());
    }
    std::string A(const std::string& n) const { return dirA->Path() + "/" + n; }
    std::string B(const std::string& n) const { return dirB->Path() + "/" + n; }

    std::unique_ptr<kvlab::Lab> lab;
    kvlab::Segment seg;
    kvlab::Host ha, hb;
    std::unique_ptr<kvlab::TempDir> dirA, dirB;
    std::unique_ptr<Tool> a, b;
};

}  // namespace

TEST_F(FileNodes, FilesArriveIntact)
{
    Start();
    // A 64 MiB file.
    Obj("f1", 0);
    ASSERT_TRUE(WriteRandom(A("big.bin"), 64ull << 20, 1));
    a->Cmd("put f1 " + A("big.bin") + " big.bin 0 0 7");
    EXPECT_EQ("REPLY f1 0 7", a->WaitLine("REPLY f1", 20000)) << a->Output() << b->Output();
    EXPECT_FALSE(a->WaitLine("STATUS f1 3", 60000).empty()) << a->Output();
    EXPECT_FALSE(b->WaitLine("STATUS f1 3", 10000).empty()) << b->Output();
    EXPECT_EQ(Sha(A("big.bin")), Sha(B("big.bin")));

    // A Get resumed at an offset above 4 GiB of a sparse file: 64-bit offsets without moving
    // 4 GiB.
    const u64 k5G = 5ull << 30, start = k5G + 12345;
    ASSERT_TRUE(WriteRandom(B("sparse.bin"), 2u << 20, 2, k5G));
    a->Cmd("get f1 " + A("sparse.bin") + " sparse.bin " + std::to_string(start) + " 0 8");
    EXPECT_EQ("REPLY f1 0 8", a->WaitLine("REPLY f1", 20000, 2)) << a->Output() << b->Output();
    EXPECT_FALSE(a->WaitLine("STATUS f1 3", 30000, 2).empty()) << a->Output();
    EXPECT_EQ(k5G + (2u << 20), SizeOf(A("sparse.bin")));
    EXPECT_TRUE(SameRange(A("sparse.bin"), start, B("sparse.bin"), start, k5G + (2u << 20) - start));

    // Two transfers at once share the peer's window and both arrive.
    Obj("f2", 0);
    Obj("f3", 0);
    ASSERT_TRUE(WriteRandom(A("two.bin"), 12u << 20, 3));
    ASSERT_TRUE(WriteRandom(A("three.bin"), 12u << 20, 4));
    a->Cmd("put f2 " + A("two.bin") + " two.bin 0 0 9");
    a->Cmd("put f3 " + A("three.bin") + " three.bin 0 0 10");
    EXPECT_FALSE(a->WaitLine("STATUS f2 3", 60000).empty()) << a->Output();
    EXPECT_FALSE(a->WaitLine("STATUS f3 3", 60000).empty()) << a->Output();
    // The sender is done once its bytes are acknowledged; the receiver has saved them when it
    // ends too.
    EXPECT_FALSE(b->WaitLine("STATUS f2 3", 10000).empty()) << b->Output();
    EXPECT_FALSE(b->WaitLine("STATUS f3 3", 10000).empty()) << b->Output();
    EXPECT_EQ(Sha(A("two.bin")), Sha(B("two.bin")));
    EXPECT_EQ(Sha(A("three.bin")), Sha(B("three.bin")));
}

TEST_F(FileNodes, StreamsCancelsAndPauses)
{
    Start();
    // Streams end cleanly in both directions.
    const u64 n = 24ull << 20;
    Obj("up", 3);
    Obj("down", 3);
    a->Cmd("src up " + std::to_string(n));
    b->Cmd("sink up");
    b->Cmd("src down " + std::to_string(n));
    a->Cmd("sink down");
    // The streams exist before the transfers ask for them.
    ASSERT_FALSE(a->WaitLine("OK sink down", 5000).empty()) << a->Output();
    ASSERT_FALSE(b->WaitLine("OK sink up", 5000).empty()) << b->Output();
    ASSERT_FALSE(a->WaitLine("OK src up", 5000).empty()) << a->Output();
    ASSERT_FALSE(b->WaitLine("OK src down", 5000).empty()) << b->Output();
    a->Cmd("put up stream/up stream/up 0 0 1");
    b->Cmd("put down stream/down stream/down 0 0 2");
    ASSERT_TRUE(kvlab::WaitUntil([&] { return b->Stat("sinkstat up", "SINK up ") == std::vector<unsigned long long>{n, 1, 0}; }, 60000))
        << a->Output() << b->Output();
    ASSERT_TRUE(kvlab::WaitUntil([&] { return a->Stat("sinkstat down", "SINK down ") == std::vector<unsigned long long>{n, 1, 0}; }, 60000))
        << a->Output() << b->Output();
    for (Tool* t : {a.get(), b.get()}) {
        EXPECT_FALSE(t->WaitLine("STATUS up 3 " + std::to_string(n), 10000).empty()) << t->Output();
        EXPECT_FALSE(t->WaitLine("STATUS down 3 " + std::to_string(n), 10000).empty()) << t->Output();
        EXPECT_EQ(0u, t->Count("CANCELLED"));
    }

    // A receiver that stops reading pauses the sender: what the sender takes from its source
    // stays bounded (buffers, not memory growth), and everything arrives once it reads again.
    const u64 big = 96ull << 20;
    Obj("slow", 3);
    b->Cmd("sink slow 65536");
    b->Cmd("pause slow 1");
    a->Cmd("src slow " + std::to_string(big));
    ASSERT_FALSE(b->WaitLine("OK pause slow", 5000).empty()) << b->Output();
    ASSERT_FALSE(a->WaitLine("OK src slow", 5000).empty()) << a->Output();
    unsigned long long memA0 = First(a->Stat("mem", "MEM ")), memB0 = First(b->Stat("mem", "MEM "));
    a->Cmd("put slow stream/slow stream/slow 0 0 3");
    unsigned long long taken = 0;
    ASSERT_TRUE(kvlab::WaitUntil(
        [&] {
            unsigned long long w = First(a->Stat("srcstat slow", "SRC slow "));
            bool still = w > 0 && w == taken;
            taken = w;
            usleep(300 * 1000);
            return still;
        },
        30000));
    EXPECT_LT(taken, 16ull << 20);
    unsigned long long memA = First(a->Stat("mem", "MEM ")), memB = First(b->Stat("mem", "MEM "));
    fprintf(stderr, "paused: sender took %llu bytes; resident KiB A %llu -> %llu, B %llu -> %llu\n", taken, memA0, memA,
            memB0, memB);
    EXPECT_LT(memA, memA0 + 16 * 1024) << "KiB";
    EXPECT_LT(memB, memB0 + 16 * 1024) << "KiB";
    b->Cmd("pause slow 0");
    ASSERT_TRUE(kvlab::WaitUntil([&] { return b->Stat("sinkstat slow", "SINK slow ") == std::vector<unsigned long long>{big, 1, 0}; }, 90000))
        << b->Output();

    // Cancels from either side end both ends; the other side hears of it.
    Obj("c1", 0);
    Obj("c2", 0);
    ASSERT_TRUE(WriteRandom(A("c.bin"), 256u << 20, 5));
    a->Cmd("put c1 " + A("c.bin") + " c1.bin 0 0 4");
    ASSERT_TRUE(kvlab::WaitUntil([&] { return SizeOf(B("c1.bin")) != ~0ull && SizeOf(B("c1.bin")) > (2u << 20); }, 30000));
    a->Cmd("cancel c1");
    EXPECT_FALSE(a->WaitLine("STATUS c1 3", 10000).empty()) << a->Output();
    EXPECT_FALSE(b->WaitLine("STATUS c1 3", 10000).empty()) << b->Output();
    EXPECT_FALSE(b->WaitLine("CANCELLED c1", 10000).empty()) << b->Output();
    a->Cmd("put c2 " + A("c.bin") + " c2.bin 0 0 5");
    ASSERT_TRUE(kvlab::WaitUntil([&] { return SizeOf(B("c2.bin")) != ~0ull && SizeOf(B("c2.bin")) > (2u << 20); }, 30000));
    b->Cmd("cancel c2");
    EXPECT_FALSE(b->WaitLine("STATUS c2 3", 10000).empty()) << b->Output();
    EXPECT_FALSE(a->WaitLine("STATUS c2 3", 10000).empty()) << a->Output();
    EXPECT_FALSE(a->WaitLine("CANCELLED c2", 10000).empty()) << a->Output();
    EXPECT_LT(SizeOf(B("c2.bin")), 256u << 20);
}

TEST_F(FileNodes, AFileCrossesALossyLink)
{
    Start();
    Obj("f1", 0);
    // A first small transfer while the link is clean: the peers are connected and the object
    // is known on both sides before the loss starts.
    ASSERT_TRUE(WriteRandom(A("small.bin"), 1000, 7));
    a->Cmd("put f1 " + A("small.bin") + " small.bin 0 0 6");
    ASSERT_FALSE(b->WaitLine("STATUS f1 3", 30000).empty()) << a->Output() << b->Output();
    ASSERT_FALSE(a->WaitLine("STATUS f1 3", 10000).empty()) << a->Output();
    ASSERT_TRUE(lab->SetLoss(ha, 20));
    ASSERT_TRUE(lab->SetLoss(hb, 20));
    ASSERT_TRUE(WriteRandom(A("lossy.bin"), 3u << 20, 6));
    a->Cmd("put f1 " + A("lossy.bin") + " lossy.bin 0 0 7");
    EXPECT_EQ("REPLY f1 0 7", a->WaitLine("REPLY f1 0 7", 30000)) << a->Output() << b->Output();
    EXPECT_FALSE(b->WaitLine("STATUS f1 3", 120000, 2).empty()) << b->Output();
    EXPECT_EQ(Sha(A("lossy.bin")), Sha(B("lossy.bin")));
}
