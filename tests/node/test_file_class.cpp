// File class and file extension, tested alone: two File classes on two fake nodes linked in
// one process (test_file_fakenode.h), with real files in a temporary directory and in-memory
// streams for the TCP extension's slot.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kvLab.h"
#include "qvClassFile.h"
#include "qvClassFileWire.h"
#include "qvExtFile.h"
#include "test_file_fakenode.h"

using namespace kvfile;
using namespace qvfile;

namespace {

std::vector<u8> Bytes(size_t n, u32 seed)
{
    std::vector<u8> v(n);
    u32 x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v[i] = (u8)x;
    }
    return v;
}

bool WriteAt(const std::string& path, const std::vector<u8>& data, u64 off, bool trunc = true)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | (trunc ? O_TRUNC : 0), 0644);
    if (fd < 0) return false;
    bool ok = pwrite(fd, data.data(), data.size(), (off_t)off) == (ssize_t)data.size();
    close(fd);
    return ok;
}

std::vector<u8> ReadAt(const std::string& path, u64 off, size_t n)
{
    std::vector<u8> v(n);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return {};
    ssize_t r = pread(fd, v.data(), n, (off_t)off);
    close(fd);
    v.resize(r > 0 ? (size_t)r : 0);
    return v;
}

u64 FileSize(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (u64)st.st_size : ~0ull;
}

std::vector<u8> PutRec(const std::string& path, const std::string& peerPath, u32 timer, u64 off, u64 size)
{
    QV_PARAM_FILE_REQ_S r;
    memset(&r, 0, sizeof(r));
    snprintf(r.Path, sizeof(r.Path), "%s", path.c_str());
    snprintf(r.PeerPath, sizeof(r.PeerPath), "%s", peerPath.c_str());
    r.TimerVal = timer;
    r.Offset = off;
    r.Size = size;
    return std::vector<u8>((u8*)&r, (u8*)&r + sizeof(r));
}

std::vector<u8> AcceptRec(const std::string& path, u32 timer = 0)
{
    QV_PARAM_FILE_ACCEPT_S a;
    memset(&a, 0, sizeof(a));
    snprintf(a.Path, sizeof(a.Path), "%s", path.c_str());
    a.TimerVal = timer;
    return std::vector<u8>((u8*)&a, (u8*)&a + sizeof(a));
}

QV_PARAM_FILE_ST_S LastStatus(const FakeNode& n, u32 obj)
{
    QV_PARAM_FILE_ST_S st;
    memset(&st, 0, sizeof(st));
    for (auto& r : n.extReqs)
        if (r.uMethod == QV_FILE_EXT_STATUS && r.uObject == obj && r.data.size() == sizeof(st))
            memcpy(&st, r.data.data(), sizeof(st));
    return st;
}

std::vector<u8> Be32(u32 v)
{
    std::vector<u8> b(4);
    Wr32(b.data(), v);
    return b;
}

std::vector<u8> SizeLong(u64 v)
{
    std::vector<u8> b(24, 0);
    Wr32(b.data(), (u32)v);
    Wr32(b.data() + 4, (u32)(v >> 32));
    return b;
}

const SentMsg* LastSent(const FakeNode& n, u32 uMethod)
{
    const SentMsg* m = nullptr;
    for (auto& s : n.sent)
        if (s.uMethod == uMethod) m = &s;
    return m;
}

size_t CountSent(const FakeNode& n, u32 uMethod, int flag = -1)
{
    size_t c = 0;
    for (auto& s : n.sent)
        if (s.uMethod == uMethod && (flag < 0 || (s.data.size() >= 4 && Rd32(s.data.data()) == (u32)flag))) c++;
    return c;
}

// Two nodes, each with a File class, the file extension in slot 0 and an in-memory stream
// extension in slot 6.
class FilePair : public ::testing::Test {
protected:
    FakeNode a{"nodeA"}, b{"nodeB"};
    CQVClassFile* ca = nullptr;
    CQVClassFile* cb = nullptr;
    CQVExtFile* fa = nullptr;
    CQVExtFile* fb = nullptr;
    MemStreamExt sa, sb;
    kvlab::TempDir dir;
    u32 objA = 0, objB = 0;

    void Init(u32 uOption = 0, u32 uFlagsA = 0, u32 uFlagsB = 0, const std::string& name = "f1")
    {
        ca = new CQVClassFile();
        cb = new CQVClassFile();
        fa = new CQVExtFile();
        fb = new CQVExtFile();
        ASSERT_TRUE(a.AttachClass(ca, 8, uOption));
        ASSERT_TRUE(b.AttachClass(cb, 8, uOption));
        ASSERT_TRUE(a.AttachExt(QV_EXT_FILE, fa));
        ASSERT_TRUE(b.AttachExt(QV_EXT_FILE, fb));
        ASSERT_TRUE(a.AttachExt(QV_EXT_TCP, &sa));
        ASSERT_TRUE(b.AttachExt(QV_EXT_TCP, &sb));
        FakeNode::Link(a, b);
        objA = a.AddObject(name, uFlagsA);
        objB = b.AddObject(name, uFlagsB);
        ASSERT_NE(0u, objA);
        ASSERT_NE(0u, objB);
    }
    void TearDown() override
    {
        if (ca) ca->Delete();
        if (cb) cb->Delete();
        if (fa) fa->Delete();
        if (fb) fb->Delete();
    }
    std::string P(const std::string& name) const { return dir.Path() + "/" + name; }
    // The application of b accepts every Put and Get with the given local path.
    void AcceptOn(FakeNode& n, const std::string& path, u32 timer = 0)
    {
        n.onAsk = [path, timer](FakeNode& node, const ExtReq& r) {
            std::vector<u8> acc = AcceptRec(path, timer);
            node.ExtReply(r.uObject, 0, acc.data(), (u32)acc.size(), r.uHandle);
        };
    }
    bool Pump() { return FakeNode::Pump(a, b); }
    // Seconds pass, with everything they trigger carried out.
    void Seconds(u32 n)
    {
        for (u32 i = 0; i < n; i++) {
            a.Second();
            b.Second();
            Pump();
        }
    }
    int Put(u32 obj, const std::string& path, const std::string& peerPath, u64 off = 0, u64 size = 0,
            u32 param = 77, u32 method = QV_FILE_REQ_PUT, FakeNode* n = nullptr)
    {
        std::vector<u8> r = PutRec(path, peerPath, 0, off, size);
        return (n ? *n : a).Request(obj, method, r.data(), (u32)r.size(), param);
    }
    bool Replied(const FakeNode& n, u32 err, u32 param) const
    {
        for (auto& r : n.replies)
            if (r.uError == err && r.uParam == param) return true;
        return false;
    }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// File extension

TEST(ExtFile, OpenModes)
{
    kvlab::TempDir dir;
    CQVExtFile* x = new CQVExtFile();
    ASSERT_TRUE(x->OnInitialize(nullptr, nullptr, 0x7fff));
    std::string missing = dir.Path() + "/missing", made = dir.Path() + "/made", full = dir.Path() + "/full";
    ASSERT_TRUE(WriteAt(full, Bytes(100, 1), 0));
    struct Case {
        std::string path, option;
        bool opened;
        u64 sizeAfter;  // ~0: the file must not exist afterwards
    } cases[] = {
        {missing, "(Option){(Mode){1}}", false, ~0ull},
        {made, "(Option){(Mode){2}}", true, 0},
        {full, "(Option){(Mode){2}}", true, 100},
        {full, "(Option){(Mode){1}}", true, 100},
        {missing, "(Option){(Mode){7}}", false, ~0ull},
        {missing, "(Option){}", false, ~0ull},
        {missing, "(Mode){2}", false, ~0ull},
        {missing, "(Option){(Mode){2x}}", false, ~0ull},
        {full, "(Option){(Mode){3}}", true, 0},
    };
    for (auto& c : cases) {
        void* inst = (void*)1;
        bool ok = x->OnOpen(&inst, c.path.c_str(), c.option.c_str(), 0, 0, nullptr);
        EXPECT_EQ(c.opened, ok) << c.path << " " << c.option;
        if (ok) x->OnClose(inst, 0);
        EXPECT_EQ(c.sizeAfter, FileSize(c.path)) << c.path << " " << c.option;
    }
    x->Delete();
}

TEST(ExtFile, ReadsAndWritesAt64BitOffsets)
{
    kvlab::TempDir dir;
    CQVExtFile* x = new CQVExtFile();
    ASSERT_TRUE(x->OnInitialize(nullptr, nullptr, 0x7fff));
    std::string path = dir.Path() + "/sparse";
    void* w = nullptr;
    ASSERT_TRUE(x->OnOpen(&w, path.c_str(), "(Option){(Mode){2}}", 0, 0, nullptr));
    const u64 k5G = 5ull << 30;
    std::vector<u8> data = Bytes(3000, 9);
    u32 n = (u32)data.size();
    EXPECT_EQ(3, x->OnWrite(w, 0, data.data(), &n, k5G));
    EXPECT_EQ(3000u, n);
    x->OnClose(w, 0);
    EXPECT_EQ(k5G + 3000, FileSize(path));
    EXPECT_EQ(data, ReadAt(path, k5G, 3000));

    void* r = nullptr;
    ASSERT_TRUE(x->OnOpen(&r, path.c_str(), "(Option){(Mode){1}}", 0, 0, nullptr));
    std::vector<u8> buf(4000);
    n = 1000;
    EXPECT_EQ(3, x->OnRead(r, 0, buf.data(), &n, k5G + 500));
    EXPECT_EQ(std::vector<u8>(data.begin() + 500, data.begin() + 1500), std::vector<u8>(buf.begin(), buf.begin() + 1000));
    n = 4000;
    EXPECT_EQ(2, x->OnRead(r, 0, buf.data(), &n, k5G + 1000));  // fewer than asked: end of file
    EXPECT_EQ(2000u, n);
    n = 10;
    EXPECT_EQ(2, x->OnRead(r, 0, buf.data(), &n, k5G + 3000));  // at the end
    EXPECT_EQ(0u, n);
    n = 0;
    EXPECT_EQ(3, x->OnRead(r, 0, buf.data(), &n, 0));
    n = 10;
    EXPECT_EQ(0, x->OnWrite(r, 0, data.data(), &n, 0));  // opened for reading only
    x->OnClose(r, 0);
    x->Delete();
}

// ---------------------------------------------------------------------------------------------
// Transfers

class FileOptions : public FilePair, public ::testing::WithParamInterface<u32> {};

TEST_P(FileOptions, PutArrivesIntactAndBothEndsGoIdle)
{
    u32 option = GetParam();
    Init(option);
    std::vector<u8> data = Bytes(300 * 1024 + 77, 5);
    ASSERT_TRUE(WriteAt(P("src"), data, 0));
    AcceptOn(b, P("dst"));
    if (option == 1) {
        b.onAsk = [this](FakeNode& n, const ExtReq& r) {
            EXPECT_NE(std::string::npos, r.Text().find("(PeerPath){remote.bin}(Offset){0}(Size){307277}")) << r.Text();
            std::string acc = "(Path){" + P("dst") + "}(TimerVal){0}";
            n.ExtReply(r.uObject, 0, acc.c_str(), (u32)acc.size(), r.uHandle);
        };
        std::string req = "(Path){" + P("src") + "}(PeerPath){remote.bin}(TimerVal){0}(Offset){0}(Size){0}";
        EXPECT_EQ(-1, a.Request(objA, QV_FILE_REQ_PUT, req, 77));
    } else {
        EXPECT_EQ(-1, Put(objA, P("src"), "remote.bin"));
    }
    ASSERT_TRUE(Pump());
    EXPECT_TRUE(Replied(a, 0, 77));
    EXPECT_EQ(data, ReadAt(P("dst"), 0, data.size() + 10));
    if (option == 0) {
        QV_PARAM_FILE_ST_S sa = LastStatus(a, objA), sb = LastStatus(b, objB);
        EXPECT_EQ(3u, sa.Status);
        EXPECT_EQ(1u, sa.Side);
        EXPECT_EQ(1u, sa.Request);
        EXPECT_EQ(data.size(), sa.CurSize);
        EXPECT_EQ(3u, sb.Status);
        EXPECT_EQ(0u, sb.Side);
        EXPECT_EQ(data.size(), sb.CurSize);
        EXPECT_STREQ("remote.bin", sb.PeerPath);
    } else {
        auto st = b.ExtReqs(QV_FILE_EXT_STATUS);
        ASSERT_FALSE(st.empty());
        EXPECT_NE(std::string::npos, st.back().Text().find("(Status){3}(Request){1}(Side){0}(Offset){0}(ReqSize){307277}(CurSize){307277}"))
            << st.back().Text();
    }
    Seconds(6);  // control messages still waiting for their acknowledgement time out
    EXPECT_EQ(0u, a.UnitsInUse());
    EXPECT_EQ(0u, b.UnitsInUse());
    EXPECT_EQ(0u, a.ExtOpenCount());
    EXPECT_EQ(0u, b.ExtOpenCount());
    EXPECT_EQ(0u, a.WaitersInUse());
    // The object takes the next transfer.
    if (option == 1)
        EXPECT_EQ(-1, a.Request(objA, QV_FILE_REQ_PUT, "(Path){" + P("src") + "}(PeerPath){remote.bin}(TimerVal){0}(Offset){0}(Size){0}", 78));
    else
        EXPECT_EQ(-1, Put(objA, P("src"), "again.bin", 0, 0, 78));
    ASSERT_TRUE(Pump());
    EXPECT_TRUE(Replied(a, 0, 78));
}

INSTANTIATE_TEST_SUITE_P(BinaryAndText, FileOptions, ::testing::Values(0u, 1u));

TEST_F(FilePair, GetOfARangeAbove4GiBLandsAtItsOffset)
{
    Init();
    const u64 off = (5ull << 30) + 1000;
    std::vector<u8> data = Bytes(200 * 1024, 6);
    ASSERT_TRUE(WriteAt(P("big"), data, off - 1000));
    AcceptOn(b, P("big"));
    std::vector<u8> r = PutRec(P("got"), "big", 0, off, 100000);
    EXPECT_EQ(-1, a.Request(objA, QV_FILE_REQ_GET, r.data(), (u32)r.size(), 5));
    ASSERT_TRUE(Pump());
    EXPECT_TRUE(Replied(a, 0, 5));
    EXPECT_EQ(off + 100000, FileSize(P("got")));
    EXPECT_EQ(std::vector<u8>(data.begin() + 1000, data.begin() + 101000), ReadAt(P("got"), off, 100000));
    QV_PARAM_FILE_ST_S st = LastStatus(a, objA);
    EXPECT_EQ(off, st.Offset);
    EXPECT_EQ(100000u, st.CurSize);
}

TEST_F(FilePair, PutAndGetRequestsAreChecked)
{
    Init();
    ASSERT_TRUE(WriteAt(P("empty"), {}, 0));
    ASSERT_TRUE(WriteAt(P("ten"), Bytes(10, 1), 0));
    std::vector<u8> shortRec = PutRec(P("ten"), "x", 0, 0, 0);
    shortRec.pop_back();
    std::vector<u8> unterminated = PutRec(P("ten"), "x", 0, 0, 0);
    memset(unterminated.data(), 'a', 256);
    struct Case {
        const char* what;
        u32 method;
        std::vector<u8> data;
        int result;
    } cases[] = {
        {"empty file", QV_FILE_REQ_PUT, PutRec(P("empty"), "x", 0, 0, 0), QV_FILE_ERR_NOFILE},
        {"missing file", QV_FILE_REQ_PUT, PutRec(P("none"), "x", 0, 0, 0), QV_FILE_ERR_NOFILE},
        {"offset at the end", QV_FILE_REQ_PUT, PutRec(P("ten"), "x", 0, 10, 0), QV_FILE_ERR_PARAM},
        {"short record", QV_FILE_REQ_PUT, shortRec, QV_FILE_ERR_PARAM},
        {"unterminated path", QV_FILE_REQ_PUT, unterminated, QV_FILE_ERR_PARAM},
        {"empty path", QV_FILE_REQ_GET, PutRec("", "x", 0, 0, 0), QV_FILE_ERR_PARAM},
        {"range past 2^64", QV_FILE_REQ_GET, PutRec(P("g"), "x", 0, ~0ull - 5, 10), QV_FILE_ERR_PARAM},
        {"unknown method", 99, PutRec(P("ten"), "x", 0, 0, 0), QV_FILE_ERR_METHOD},
    };
    for (auto& c : cases)
        EXPECT_EQ(c.result, a.Request(objA, c.method, c.data.data(), (u32)c.data.size(), 1)) << c.what;
    EXPECT_EQ(QV_FILE_ERR_PARAM, ca->OnRequest(100, QV_FILE_REQ_STATUS, nullptr, 0, 1));  // beyond the table
    EXPECT_EQ(QV_FILE_ERR_OBJECT, ca->OnRequest(7, QV_FILE_REQ_STATUS, nullptr, 0, 1));   // no object there
    EXPECT_TRUE(a.sent.empty());
    // A pending Put makes the object busy; a cancel of an idle object sends nothing.
    EXPECT_EQ(-1, Put(objA, P("ten"), "", 2, 0, 3));
    EXPECT_EQ(QV_FILE_ERR_STATE, Put(objA, P("ten"), "x"));
    EXPECT_EQ(0, b.Request(objB, QV_FILE_REQ_CANCEL, nullptr, 0, 0));
    EXPECT_TRUE(b.sent.empty());
    // Size 0 and an empty peer path: the rest of the file under its own name.
    ASSERT_TRUE(Pump());
    auto asks = b.ExtReqs(QV_FILE_EXT_PUT);
    ASSERT_EQ(1u, asks.size());
    QV_PARAM_FILE_ASK_S ask;
    ASSERT_EQ(sizeof(ask), asks[0].data.size());
    memcpy(&ask, asks[0].data.data(), sizeof(ask));
    EXPECT_STREQ("ten", ask.PeerPath);
    EXPECT_EQ(2u, ask.Offset);
    EXPECT_EQ(8u, ask.Size);
}

TEST_F(FilePair, TextRequestsNeedEveryKey)
{
    Init(1);
    ASSERT_TRUE(WriteAt(P("ten"), Bytes(10, 1), 0));
    std::string path = "(Path){" + P("ten") + "}";
    const char* bad[] = {
        "(PeerPath){x}(TimerVal){0}(Offset){0}",
        "(TimerVal){0}(Offset){0}(Size){0}",
        "(PeerPath){x}(TimerVal){0}(Offset){zero}(Size){0}",
        "(PeerPath){x}(TimerVal){-1}(Offset){0}(Size){0}",
        "(PeerPath){x}(TimerVal){4294967296}(Offset){0}(Size){0}",
        "(PeerPath){x}(TimerVal){0}(Offset){18446744073709551616}(Size){0}",
    };
    for (const char* rest : bad)
        EXPECT_EQ(QV_FILE_ERR_PARAM, a.Request(objA, QV_FILE_REQ_PUT, path + rest, 1)) << rest;
    EXPECT_EQ(QV_FILE_ERR_PARAM, a.Request(objA, QV_FILE_REQ_PUT, "(PeerPath){x}(TimerVal){0}(Offset){0}(Size){0}", 1));
    EXPECT_EQ(QV_FILE_ERR_PARAM, a.Request(objA, QV_FILE_REQ_PUT, "(Path){}(PeerPath){x}(TimerVal){0}(Offset){0}(Size){0}", 1));
    EXPECT_EQ(QV_FILE_ERR_PARAM, a.Request(objA, QV_FILE_REQ_PUT, "(Path){" + std::string(256, 'p') + "}(PeerPath){x}(TimerVal){0}(Offset){0}(Size){0}", 1));
    EXPECT_EQ(QV_FILE_ERR_PARAM, a.Request(objA, QV_FILE_REQ_SETOPTION, "(Item){2}(Value){1}", 0));
    EXPECT_EQ(QV_FILE_ERR_PARAM, a.Request(objA, QV_FILE_REQ_SETOPTION, "(Item){0}(Value){4194304}", 0));
    EXPECT_EQ(QV_FILE_ERR_PARAM, a.Request(objA, QV_FILE_REQ_SETOPTION, "(Item){1}(Value){" + std::string(256, '1') + "}", 0));
    EXPECT_EQ(0, a.Request(objA, QV_FILE_REQ_SETOPTION, "(Item){1}(Value){30}", 0));
    EXPECT_TRUE(a.sent.empty());
}

TEST_F(FilePair, RefusedAndBusyStartsEndIdle)
{
    Init();
    ASSERT_TRUE(WriteAt(P("src"), Bytes(5000, 2), 0));
    b.onAsk = [](FakeNode& n, const ExtReq& r) { n.ExtReply(r.uObject, QV_FILE_ERR_DENIED, nullptr, 0, r.uHandle); };
    EXPECT_EQ(-1, Put(objA, P("src"), "x", 0, 0, 11));
    ASSERT_TRUE(Pump());
    EXPECT_TRUE(Replied(a, QV_FILE_ERR_DENIED, 11));
    EXPECT_EQ(3u, LastStatus(b, objB).Status);

    // A node that allows no transfers refuses with 13.
    b.uCfgOption = 0x80;
    EXPECT_EQ(-1, Put(objA, P("src"), "x", 0, 0, 12));
    ASSERT_TRUE(Pump());
    EXPECT_TRUE(Replied(a, QV_FILE_ERR_DENIED, 12));
    b.uCfgOption = 0;

    // While b waits for its application, another StartRequest gets 15 and the first goes on.
    b.onAsk = nullptr;
    EXPECT_EQ(-1, Put(objA, P("src"), "x", 0, 0, 13));
    ASSERT_TRUE(Pump());
    auto asks = b.ExtReqs(QV_FILE_EXT_PUT);
    ASSERT_FALSE(asks.empty());
    std::vector<u8> req(52, 0);
    Wr32(req.data() + 4, 100);
    req[8] = 1;
    Wr32(req.data() + 44, 2);
    req[48] = 'z';
    size_t before = b.sent.size();
    b.Inject(0, objB, kMethStartReq, 0, 0x5555, req);
    ASSERT_TRUE(Pump());
    ASSERT_EQ(before + 1, b.sent.size());
    EXPECT_EQ(kMethStartRep, b.sent.back().uMethod);
    EXPECT_EQ(kFlagError, b.sent.back().uFlag);
    EXPECT_EQ(0x5555u, b.sent.back().uParam);
    EXPECT_EQ(Be32(QV_FILE_ERR_BUSY), b.sent.back().data);
    std::vector<u8> acc = AcceptRec(P("dst"));
    EXPECT_EQ(0, b.ExtReply(objB, 0, acc.data(), (u32)acc.size(), asks.back().uHandle));
    ASSERT_TRUE(Pump());
    EXPECT_TRUE(Replied(a, 0, 13));
    EXPECT_EQ(5000u, FileSize(P("dst")));
}

namespace {

// Steps both nodes until the condition holds (true) or nothing is left to do (false).
bool PumpUntil(FakeNode& a, FakeNode& b, const std::function<bool()>& cond, u32 maxRounds = 2000000)
{
    for (u32 i = 0; i < maxRounds; i++) {
        if (cond()) return true;
        bool any = a.Step();
        any |= b.Step();
        if (!any) return cond();
    }
    return false;
}

}  // namespace

class FileCancel : public FilePair, public ::testing::WithParamInterface<int> {};

TEST_P(FileCancel, CancelFromEitherSideEndsBothEnds)
{
    bool bySender = GetParam() == 0;
    Init();
    std::vector<u8> data = Bytes(4 << 20, 3);
    ASSERT_TRUE(WriteAt(P("src"), data, 0));
    AcceptOn(b, P("dst"));
    EXPECT_EQ(-1, Put(objA, P("src"), "x", 0, 0, 21));
    ASSERT_TRUE(PumpUntil(a, b, [&] { return FileSize(P("dst")) != ~0ull && FileSize(P("dst")) >= (1u << 20); }));
    FakeNode& canceller = bySender ? a : b;
    FakeNode& other = bySender ? b : a;
    EXPECT_EQ(0, canceller.Request(bySender ? objA : objB, QV_FILE_REQ_CANCEL, nullptr, 0, 0));
    ASSERT_TRUE(Pump());
    EXPECT_EQ(3u, LastStatus(a, objA).Status);
    EXPECT_EQ(3u, LastStatus(b, objB).Status);
    EXPECT_LT(FileSize(P("dst")), data.size());
    EXPECT_EQ(1u, other.ExtReqs(QV_FILE_EXT_CANCEL).size());
    EXPECT_EQ(0u, canceller.ExtReqs(QV_FILE_EXT_CANCEL).size());
    Seconds(6);
    EXPECT_EQ(0u, a.UnitsInUse());
    EXPECT_EQ(0u, b.UnitsInUse());
    EXPECT_EQ(0u, a.ExtOpenCount() + b.ExtOpenCount());
    // Both objects take the next transfer and the stale data of the old one is not written.
    EXPECT_EQ(-1, Put(objA, P("src"), "x", 0, 100000, 22));
    AcceptOn(b, P("dst2"));
    ASSERT_TRUE(Pump());
    EXPECT_TRUE(Replied(a, 0, 22));
    EXPECT_EQ(std::vector<u8>(data.begin(), data.begin() + 100000), ReadAt(P("dst2"), 0, 200000));
}

INSTANTIATE_TEST_SUITE_P(SenderAndReceiver, FileCancel, ::testing::Values(0, 1));

// ---------------------------------------------------------------------------------------------
// Streams (TCP extension slot)

class FileStream : public FilePair {
protected:
    u32 up = 0, upB = 0, down = 0, downB = 0;
    // "up" runs a -> b, "down" b -> a; both ends drain on cancel.
    void Start(u32 flagsRecv = QV_FILE_FLAG_TCP | QV_FILE_FLAG_DRAIN, u32 timer = 0)
    {
        Init();
        up = a.AddObject("up", QV_FILE_FLAG_TCP | QV_FILE_FLAG_DRAIN);
        upB = b.AddObject("up", flagsRecv);
        down = b.AddObject("down", QV_FILE_FLAG_TCP | QV_FILE_FLAG_DRAIN);
        downB = a.AddObject("down", flagsRecv);
        sa.streams["up"];
        sb.streams["up"];
        sa.streams["down"];
        sb.streams["down"];
        auto accept = [](FakeNode& n, const ExtReq& r) {
            QV_PARAM_FILE_ASK_S ask;
            memcpy(&ask, r.data.data(), sizeof(ask));
            std::string name = strchr(ask.PeerPath, '/') + 1;
            std::vector<u8> acc = AcceptRec("srv/" + name);
            n.ExtReply(r.uObject, 0, acc.data(), (u32)acc.size(), r.uHandle);
        };
        a.onAsk = accept;
        b.onAsk = accept;
        std::vector<u8> r = PutRec("cli/up", "srv/up", timer, 0, 0);
        ASSERT_EQ(-1, a.Request(up, QV_FILE_REQ_PUT, r.data(), (u32)r.size(), 1));
        r = PutRec("cli/down", "srv/down", timer, 0, 0);
        ASSERT_EQ(-1, b.Request(down, QV_FILE_REQ_PUT, r.data(), (u32)r.size(), 2));
        ASSERT_TRUE(Pump());
        ASSERT_TRUE(Replied(a, 0, 1));
        ASSERT_TRUE(Replied(b, 0, 2));
    }
};

TEST_F(FileStream, EndsCleanlyInBothDirections)
{
    Start();
    const u64 n = 3 * 1024 * 1024 + 11;
    for (u64 done = 0; done < n; done += 100000) {
        u64 k = std::min<u64>(100000, n - done);
        sa.Feed("up", k, done + k == n);
        sb.Feed("down", k, done + k == n);
        ASSERT_TRUE(Pump());
    }
    EXPECT_EQ(n, sb.streams["up"].uWritten);
    EXPECT_EQ(n, sa.streams["down"].uWritten);
    EXPECT_FALSE(sb.streams["up"].bCorrupt);
    EXPECT_FALSE(sa.streams["down"].bCorrupt);
    for (auto& st : {LastStatus(a, up), LastStatus(b, upB), LastStatus(b, down), LastStatus(a, downB)}) {
        EXPECT_EQ(3u, st.Status);
        EXPECT_EQ(n, st.CurSize);
    }
    EXPECT_TRUE(a.ExtReqs(QV_FILE_EXT_CANCEL).empty());
    EXPECT_TRUE(b.ExtReqs(QV_FILE_EXT_CANCEL).empty());
    EXPECT_GT(sa.streams["up"].uCtrl, 0u);  // acknowledgements reach the extension
    Seconds(6);
    EXPECT_EQ(0u, a.UnitsInUse() + b.UnitsInUse());
    EXPECT_EQ(0u, a.ExtOpenCount() + b.ExtOpenCount());
}

// The start of a stream is reported where it was taken in (the peer's answer, the owner's
// acceptance), not by a later dispatch: on a new forwarded connection that dispatch would be
// one more thread wake-up. A file's start still waits for the dispatch (it may wait on the
// disk). Either way the first report of a transfer is its start and the last its end.
TEST_F(FileStream, StreamStartsAreReportedAtOnceFileStartsByTheDispatch)
{
    Start();
    std::vector<u8> data = Bytes(1000, 3);
    ASSERT_TRUE(WriteAt(P("src"), data, 0));
    AcceptOn(b, P("dst"));
    EXPECT_EQ(-1, Put(objA, P("src"), "remote.bin"));
    ASSERT_TRUE(Pump());
    sa.Feed("up", 5000, true);
    sb.Feed("down", 5000, true);
    ASSERT_TRUE(Pump());
    struct {
        const char* what;
        FakeNode* n;
        u32 obj;
        bool bByDisp;
    } cases[] = {{"stream sender a", &a, up, false},   {"stream receiver b", &b, upB, false},
                 {"stream sender b", &b, down, false}, {"stream receiver a", &a, downB, false},
                 {"file sender a", &a, objA, true},    {"file receiver b", &b, objB, true}};
    for (auto& c : cases) {
        std::vector<std::pair<QV_PARAM_FILE_ST_S, bool>> st;
        for (auto& r : c.n->extReqs) {
            if (r.uMethod != QV_FILE_EXT_STATUS || r.uObject != c.obj || r.data.size() != sizeof(QV_PARAM_FILE_ST_S))
                continue;
            QV_PARAM_FILE_ST_S s;
            memcpy(&s, r.data.data(), sizeof(s));
            st.push_back({s, r.bDisp});
        }
        ASSERT_LE(2u, st.size()) << c.what;
        EXPECT_EQ(2u, st.front().first.Status) << c.what;
        EXPECT_EQ(c.bByDisp, st.front().second) << c.what;
        EXPECT_EQ(3u, st.back().first.Status) << c.what;
    }
    EXPECT_EQ(data, ReadAt(P("dst"), 0, data.size() + 10));
    EXPECT_EQ(5000u, sb.streams["up"].uWritten);
    EXPECT_EQ(5000u, sa.streams["down"].uWritten);
}

TEST_F(FileStream, ReceiverThatStopsReadingPausesTheSenderWithBoundedMemory)
{
    Start();
    MemStreamExt::Stream& src = sa.streams["up"];
    MemStreamExt::Stream& dst = sb.streams["up"];
    sb.SetLimit("up", 0);
    sa.Feed("up", 64ull << 20);
    ASSERT_TRUE(Pump());
    // Everything the sender took from its source sits in bounded buffers: its own transfer
    // buffer, the two send and receive rings and the receiver's transfer and pause buffers.
    u64 held = src.uRead;
    EXPECT_GT(held, 0u);
    EXPECT_LT(held, 1u << 20);
    EXPECT_EQ(0u, dst.uWritten);
    EXPECT_GE(CountSent(b, kMethPauseReport, 1), 1u);
    EXPECT_EQ(0u, CountSent(b, kMethPauseReport, 0));
    Seconds(4);
    EXPECT_EQ(held, src.uRead);               // still paused
    EXPECT_GE(CountSent(a, kMethPauseQuery), 2u);  // the sender asks once a second
    // The receiver reads again: the sender resumes and everything arrives.
    sb.SetLimit("up", ~0ull);
    ASSERT_TRUE(Pump());
    EXPECT_GE(CountSent(b, kMethPauseReport, 0), 1u);
    sa.Feed("up", 0, true);
    ASSERT_TRUE(Pump());
    EXPECT_EQ(64ull << 20, dst.uWritten);
    EXPECT_FALSE(dst.bCorrupt);
    EXPECT_EQ(3u, LastStatus(b, upB).Status);
}

// The sender has read everything, the peer's socket acknowledged it and the sender ends the
// session while the receiver still holds the bytes unsaved: they are saved before the end,
// also on a receiving end that does not drain on cancel.
TEST_F(FileStream, StopBeforeSavingLosesNothing)
{
    Start(QV_FILE_FLAG_TCP);
    sb.SetLimit("up", 0);
    sa.Feed("up", 100000, true);
    ASSERT_TRUE(Pump());
    EXPECT_EQ(3u, LastStatus(a, up).Status);  // the sender is done
    EXPECT_EQ(100000u, LastStatus(a, up).CurSize);
    EXPECT_EQ(2u, LastStatus(b, upB).Status);
    sb.SetLimit("up", ~0ull);
    ASSERT_TRUE(Pump());
    EXPECT_EQ(100000u, sb.streams["up"].uWritten);
    EXPECT_FALSE(sb.streams["up"].bCorrupt);
    EXPECT_EQ(3u, LastStatus(b, upB).Status);
}

// The sender's Stop is the receiver's only sign of the end: one that the full control queue
// refuses goes again every second, and the sender reports its end once it went (at most
// kRequestTries seconds later; then it ends without).
TEST_F(FileStream, AStopTheQueueRefusesGoesAgainEverySecond)
{
    Start();
    u32 capA = a.m_sendCap[0], capB = b.m_sendCap[0];
    a.m_sendCap[0] = 0;
    sa.Feed("up", 100000, true);
    ASSERT_TRUE(Pump());
    EXPECT_EQ(100000u, sb.streams["up"].uWritten);
    Seconds(3);
    EXPECT_EQ(2u, LastStatus(a, up).Status);
    EXPECT_EQ(2u, LastStatus(b, upB).Status);
    a.m_sendCap[0] = capA;
    Seconds(1);
    EXPECT_EQ(3u, LastStatus(a, up).Status);
    EXPECT_EQ(3u, LastStatus(b, upB).Status);

    b.m_sendCap[0] = 0;
    sb.Feed("down", 1000, true);
    ASSERT_TRUE(Pump());
    Seconds(kRequestTries - 1);
    EXPECT_EQ(2u, LastStatus(b, down).Status);
    Seconds(1);
    EXPECT_EQ(3u, LastStatus(b, down).Status);
    EXPECT_EQ(2u, LastStatus(a, downB).Status);  // never told
    b.m_sendCap[0] = capB;
}

TEST_F(FileStream, WriteFailureEndsWithStopCarryingTheBytesWritten)
{
    Start();
    sb.SetLimit("up", 100000);
    sa.Feed("up", 300000);
    ASSERT_TRUE(Pump());
    EXPECT_EQ(100000u, sb.streams["up"].uWritten);
    sb.streams["up"].bFail = true;
    sb.SetLimit("up", ~0ull);
    ASSERT_TRUE(Pump());
    const SentMsg* stop = LastSent(b, kMethStop);
    ASSERT_NE(nullptr, stop);
    EXPECT_EQ(SizeLong(100000), stop->data);
    EXPECT_EQ(3u, LastStatus(b, upB).Status);
    EXPECT_EQ(3u, LastStatus(a, up).Status);
    EXPECT_EQ(2u, a.ExtOpenCount() + b.ExtOpenCount());  // only "down" stays open
}

TEST_F(FileStream, GivenUpDataEndsTheTransfer)
{
    Start();
    sa.Feed("up", 10000);
    ASSERT_TRUE(Pump());
    ASSERT_FALSE(a.dataLog.empty());
    u32 unit = 0;
    for (auto& d : a.dataLog)
        if (a.MCastGetInfo(d.first, nullptr, nullptr, nullptr, nullptr, nullptr)) unit = d.first;
    ASSERT_NE(0u, unit);
    EXPECT_EQ(0, ca->OnSend(a.Inst(up), QV_SEND_EVENT_GIVEUP, nullptr, unit, 0));
    ASSERT_TRUE(Pump());
    EXPECT_EQ(3u, LastStatus(a, up).Status);
    EXPECT_EQ(3u, LastStatus(b, upB).Status);
}

TEST_F(FileStream, BlockedSavingAndIdleLinksAreReported)
{
    Start(QV_FILE_FLAG_TCP | QV_FILE_FLAG_DRAIN, 1);
    EXPECT_EQ(QV_FILE_ERR_PARAM, b.Request(upB, QV_FILE_REQ_SETOPTION, "x", 1, 0));  // not a 260-byte record
    QV_PARAM_FILE_OPTION_S opt;
    memset(&opt, 0, sizeof(opt));
    opt.Item = 1;
    strcpy(opt.Value, "3");
    EXPECT_EQ(0, b.Request(upB, QV_FILE_REQ_SETOPTION, &opt, sizeof(opt), 0));
    size_t active = CountSent(b, kMethActive);
    Seconds(5);
    EXPECT_GE(CountSent(b, kMethActive), active + 1);  // nothing came for 5 seconds
    size_t reports = a.ExtReqs(QV_FILE_EXT_STATUS).size();
    sb.SetLimit("up", 0);
    sa.Feed("up", 8 << 20);
    ASSERT_TRUE(Pump());
    EXPECT_TRUE(b.ExtReqs(QV_FILE_EXT_BLOCKED).empty());
    Seconds(3);
    EXPECT_EQ(1u, b.ExtReqs(QV_FILE_EXT_BLOCKED).size());
    Seconds(3);
    EXPECT_EQ(2u, b.ExtReqs(QV_FILE_EXT_BLOCKED).size());
    EXPECT_GE(a.ExtReqs(QV_FILE_EXT_STATUS).size(), reports + 6);  // one report a second
    EXPECT_EQ(2u, LastStatus(a, up).Status);
}

TEST_F(FileStream, LostSyncEndsOnlyWhenAsked)
{
    Start(QV_FILE_FLAG_TCP | QV_FILE_FLAG_DRAIN | QV_FILE_FLAG_SYNC_END);
    a.uPeerStatus = 1;
    a.Notify(downB, QV_NOTIFY_PEER_ID, FakeNode::kPeerHandle, 0);  // flag 0x4: ends
    a.Notify(up, QV_NOTIFY_PEER_ID, FakeNode::kPeerHandle, 0);     // no flag 0x4: waits
    ASSERT_TRUE(Pump());
    EXPECT_EQ(3u, LastStatus(a, downB).Status);
    EXPECT_EQ(2u, LastStatus(a, up).Status);
    EXPECT_EQ(0u, CountSent(a, kMethStop));  // the peer is gone: nothing to tell
}

// A peer that ends the session announcing bytes that never come does not keep the receiver
// waiting for ever.
TEST_F(FileStream, AnnouncedBytesThatNeverComeEndAfterAWhile)
{
    Start();
    const SentMsg* rep = LastSent(b, kMethStartRep);
    ASSERT_NE(nullptr, rep);
    b.Inject(0, upB, kMethStop, 0, rep->uParam, SizeLong(5 << 20));
    ASSERT_TRUE(Pump());
    EXPECT_EQ(2u, LastStatus(b, upB).Status);
    Seconds(kPeerEndWait - 2);
    EXPECT_EQ(2u, LastStatus(b, upB).Status);
    Seconds(3);
    EXPECT_EQ(3u, LastStatus(b, upB).Status);
}

TEST_F(FilePair, TwoTransfersShareTheWindow)
{
    Init();
    u32 obj2 = a.AddObject("f2", 0);
    u32 obj2B = b.AddObject("f2", 0);
    ASSERT_NE(0u, obj2B);
    std::vector<u8> d1 = Bytes(3 << 20, 7), d2 = Bytes(3 << 20, 8);
    ASSERT_TRUE(WriteAt(P("s1"), d1, 0));
    ASSERT_TRUE(WriteAt(P("s2"), d2, 0));
    b.onAsk = [this](FakeNode& n, const ExtReq& r) {
        QV_PARAM_FILE_ASK_S ask;
        memcpy(&ask, r.data.data(), sizeof(ask));
        std::vector<u8> acc = AcceptRec(P(std::string("d") + ask.PeerPath));
        n.ExtReply(r.uObject, 0, acc.data(), (u32)acc.size(), r.uHandle);
    };
    EXPECT_EQ(-1, Put(objA, P("s1"), "1", 0, 0, 1));
    EXPECT_EQ(-1, Put(obj2, P("s2"), "2", 0, 0, 2));
    ASSERT_TRUE(Pump());
    {
        std::vector<u8> g1 = ReadAt(P("d1"), 0, d1.size() + 1);
        size_t i = 0;
        while (i < g1.size() && i < d1.size() && g1[i] == d1[i]) i++;
        }
    EXPECT_EQ(d1, ReadAt(P("d1"), 0, d1.size() + 1));
    EXPECT_EQ(d2, ReadAt(P("d2"), 0, d2.size() + 1));
    // When the first transfer had sent its last byte, the other one had sent a fair part.
    std::map<u32, u64> sentBy;
    for (auto& d : a.dataLog) {
        sentBy[d.first] += d.second;
        if (sentBy[d.first] == d1.size()) break;
    }
    ASSERT_EQ(2u, sentBy.size());
    for (auto& s : sentBy) EXPECT_GT(s.second, d1.size() * 4 / 10);
}

// ---------------------------------------------------------------------------------------------
// Hostile messages

TEST_F(FileStream, HostileControlMessagesChangeNothing)
{
    Start();
    u32 cookie = LastSent(b, kMethStartRep)->uParam;
    std::vector<u8> longReq(kStartReqHead + 4 + 260, 0);
    Wr32(longReq.data() + kStartReqHead, 257);  // a 256-character path
    memset(longReq.data() + kStartReqHead + 4, 'p', 256);
    std::vector<u8> pastEnd(kStartReqHead + 8, 0);
    Wr32(pastEnd.data() + kStartReqHead, 1000);  // string length past the message
    std::vector<u8> badHigh(kStartReqHead + 8 + 8, 0);
    Wr32(badHigh.data() + kStartReqHead, 2);
    badHigh[kStartReqHead + 4] = 'z';
    Wr32(badHigh.data() + kStartReqHead + 8, 3);
    memcpy(badHigh.data() + kStartReqHead + 12, "1x", 2);
    std::vector<u8> badReq(kStartReqHead + 8, 0);
    Wr32(badReq.data() + kStartReqHead, 2);
    badReq[kStartReqHead + 4] = 'z';
    badReq[8] = 7;
    struct Case {
        const char* what;
        FakeNode* node;
        u32 obj, prio, method, flag, param;
        std::vector<u8> data;
    } cases[] = {
        {"short StartRequest", &b, upB, 0, kMethStartReq, 0, 9, std::vector<u8>(48, 0)},
        {"path of 256", &b, upB, 0, kMethStartReq, 0, 9, longReq},
        {"string past the end", &b, upB, 0, kMethStartReq, 0, 9, pastEnd},
        {"high half not a number", &b, upB, 0, kMethStartReq, 0, 9, badHigh},
        {"request byte 7", &b, upB, 0, kMethStartReq, 0, 9, badReq},
        {"StartRequest cookie 0", &b, upB, 0, kMethStartReq, 0, 0, std::vector<u8>(52, 0)},
        {"Stop of another session", &b, upB, 0, kMethStop, 0, cookie + 1, SizeLong(0)},
        {"Cancel of another session", &b, upB, 0, kMethCancel, 0, cookie ^ 0x100, SizeLong(0)},
        {"short Stop", &b, upB, 0, kMethStop, 0, cookie, std::vector<u8>(3, 0)},
        {"short Cancel", &b, upB, 0, kMethCancel, 0, cookie, std::vector<u8>(2, 0)},
        {"short PauseQuery", &b, upB, 0, kMethPauseQuery, 0, cookie, std::vector<u8>(15, 0)},
        {"StartReply to the accepting end", &b, upB, 0, kMethStartRep, 0, cookie, SizeLong(10)},
        {"unknown method", &b, upB, 0, 77, 0, cookie, std::vector<u8>(16, 0)},
        {"data of another session", &b, upB, 3, kMethData, 0, cookie + 1, std::vector<u8>(1000, 1)},
        {"data without session", &b, upB, 3, kMethData, 0, 0, std::vector<u8>(1000, 1)},
        {"data on the control priority", &b, upB, 0, kMethData, 0, cookie, std::vector<u8>(1000, 1)},
        {"data for the sending end", &a, up, 3, kMethData, 0, cookie, std::vector<u8>(1000, 1)},
        {"PauseReport of another session", &a, up, 0, kMethPauseReport, 0, cookie + 1, std::vector<u8>{0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"short PauseReport", &a, up, 0, kMethPauseReport, 0, cookie, std::vector<u8>{0, 0, 0, 1}},
        {"data for a deleted object", &b, upB + 0x100000, 3, kMethData, 0, cookie, std::vector<u8>(1000, 1)},
    };
    for (auto& c : cases) {
        size_t sentA = a.sent.size(), sentB = b.sent.size(), asks = b.extReqs.size();
        c.node->Inject(c.prio, c.obj, c.method, c.flag, c.param, c.data, c.method == kMethData);
        ASSERT_TRUE(Pump()) << c.what;
        EXPECT_EQ(sentA, a.sent.size()) << c.what;
        EXPECT_EQ(sentB, b.sent.size()) << c.what;
        EXPECT_EQ(asks, b.extReqs.size()) << c.what;
        EXPECT_EQ(0u, c.node->RecvQueued(0) + c.node->RecvQueued(3)) << c.what;
        EXPECT_EQ(2u, LastStatus(b, upB).Status) << c.what;
        EXPECT_EQ(0u, sb.streams["up"].uWritten) << c.what;
    }
    // The transfer is unharmed.
    sa.Feed("up", 300000, true);
    ASSERT_TRUE(Pump());
    EXPECT_EQ(300000u, sb.streams["up"].uWritten);
    EXPECT_FALSE(sb.streams["up"].bCorrupt);
    EXPECT_EQ(3u, LastStatus(b, upB).Status);
}

// A message of the peer is taken only into room that holds all of it: one larger than what
// is left of the transfer buffer goes to a pause buffer (or waits in the queue) instead of
// being lost, and every byte reaches the extension once it takes bytes again.
TEST_F(FileStream, AMessageLargerThanTheRoomLeftIsNotLost)
{
    Start();
    u32 cookie = LastSent(b, kMethStartRep)->uParam;
    sb.SetLimit("up", 0);
    const u32 sizes[] = {40000, 30000, 65536, 65536, 65536, 65536, 65536, 1000};
    u32 total = 0;
    for (u32 n : sizes) {
        b.Inject(3, upB, kMethData, 0, cookie, std::vector<u8>(n, 1));
        total += n;
        ASSERT_TRUE(Pump());
    }
    EXPECT_EQ(0u, sb.streams["up"].uWritten);
    sb.SetLimit("up", ~0ull);
    ASSERT_TRUE(Pump());
    EXPECT_EQ(total, sb.streams["up"].uWritten);
    EXPECT_EQ(0u, b.RecvQueued(3));
}

// Data messages already complete in the queue when the receiver writes go to the stream in
// one write, as far as the transfer buffer holds them whole; one that does not fit waits for
// the write that makes room.
struct RunCase {
    std::vector<u32> sizes;
    u32 writes;
};

class FileStreamRun : public FileStream, public ::testing::WithParamInterface<RunCase> {};

TEST_P(FileStreamRun, WaitingMessagesReachTheStreamInOneWrite)
{
    Start();
    u32 cookie = LastSent(b, kMethStartRep)->uParam;
    u64 total = 0;
    for (u32 n : GetParam().sizes) {
        b.Inject(3, upB, kMethData, 0, cookie, std::vector<u8>(n, 1));
        total += n;
    }
    ASSERT_TRUE(Pump());
    EXPECT_EQ(total, sb.streams["up"].uWritten);
    EXPECT_EQ(GetParam().writes, sb.streams["up"].uWrites);
    EXPECT_EQ(0u, b.RecvQueued(3));
}

INSTANTIATE_TEST_SUITE_P(Runs, FileStreamRun,
                         ::testing::Values(RunCase{{20000, 20000, 20000}, 1}, RunCase{{40000, 30000}, 2},
                                           RunCase{{1000, 64000, 500}, 2}));

TEST_F(FilePair, StartRequestWhoseRangeRunsPastTheAddressSpaceIsRefused)
{
    Init();
    std::vector<u8> req(kStartReqHead + 8 + 16 + 16, 0);
    req[8] = 1;  // Put
    req[10] = 1;
    u32 pos = kStartReqHead;
    pos += qvStrPush(req.data() + pos, (u32)req.size() - pos, "x");
    pos += qvStrPush(req.data() + pos, (u32)req.size() - pos, "4294967295");
    pos += qvStrPush(req.data() + pos, (u32)req.size() - pos, "4294967295");
    Wr32(req.data(), 0xFFFFFFFF);
    Wr32(req.data() + 4, 0xFFFFFFFF);
    b.Inject(0, objB, kMethStartReq, 0, 0x1234, req);
    ASSERT_TRUE(Pump());
    ASSERT_FALSE(b.sent.empty());
    EXPECT_EQ(Be32(QV_FILE_ERR_PARAM), b.sent.back().data);
    EXPECT_TRUE(b.ExtReqs(QV_FILE_EXT_PUT).empty());
}

// A peer can never make the receiver write past the size it asked for: not with a bigger size
// in its answer, not with more data than that, not with a Stop beyond it.
TEST_F(FilePair, ReceiverNeverWritesPastTheSizeItAskedFor)
{
    Init();
    std::vector<u8> data = Bytes(200 * 1024, 4);
    ASSERT_TRUE(WriteAt(P("src"), data, 0));
    AcceptOn(b, P("src"));
    std::vector<u8> r = PutRec(P("got"), "src", 0, 1000, 50000);
    EXPECT_EQ(-1, a.Request(objA, QV_FILE_REQ_GET, r.data(), (u32)r.size(), 3));
    u32 cookie = LastSent(a, kMethStartReq)->uParam;
    // Ahead of the real answer: a reply announcing a terabyte and 80000 bytes of data.
    a.Inject(0, objA, kMethStartRep, 0, cookie, SizeLong(1ull << 40));
    for (u32 i = 0; i < 80; i++) a.Inject(3, objA, kMethData, 0, cookie, std::vector<u8>(1000, 0xEE), true);
    a.Inject(0, objA, kMethStop, 0, cookie, SizeLong(1ull << 40));
    ASSERT_TRUE(Pump());
    EXPECT_EQ(1000u + 50000u, FileSize(P("got")));
    EXPECT_EQ(50000u, LastStatus(a, objA).CurSize);
    EXPECT_EQ(3u, LastStatus(a, objA).Status);
}

TEST_F(FilePair, PeerSpeakingShortSizesGetsShortSizes)
{
    Init();
    std::vector<u8> req(kStartReqHead + 8, 0);
    req[8] = 1;          // Put into b
    req[10] = 0;         // no 64-bit sizes
    Wr32(req.data() + 4, 5000);
    Wr32(req.data() + kStartReqHead, 2);
    req[kStartReqHead + 4] = 'z';
    b.onAsk = nullptr;
    b.Inject(0, objB, kMethStartReq, 0, 0x4321, req);
    ASSERT_TRUE(Pump());
    auto asks = b.ExtReqs(QV_FILE_EXT_PUT);
    ASSERT_EQ(1u, asks.size());
    std::vector<u8> acc = AcceptRec(P("dst"));
    EXPECT_EQ(0, b.ExtReply(objB, 0, acc.data(), (u32)acc.size(), asks[0].uHandle));
    ASSERT_TRUE(Pump());
    EXPECT_EQ(Be32(5000), LastSent(b, kMethStartRep)->data);
    EXPECT_EQ(0, b.Request(objB, QV_FILE_REQ_CANCEL, nullptr, 0, 0));
    ASSERT_TRUE(Pump());
    EXPECT_EQ(Be32(0), LastSent(b, kMethCancel)->data);
    EXPECT_EQ(3u, LastStatus(b, objB).Status);
}

// ---------------------------------------------------------------------------------------------
// Waiting for answers

TEST_F(FilePair, UnansweredPutTimesOutAndDeletionAnswersPendingRequests)
{
    Init();
    ASSERT_TRUE(WriteAt(P("src"), Bytes(1000, 1), 0));
    b.onAsk = nullptr;  // b's application never answers
    EXPECT_EQ(-1, Put(objA, P("src"), "x", 0, 0, 31));
    ASSERT_TRUE(Pump());
    for (u32 i = 0; i < kWaiterSeconds - 1; i++) a.Second();
    ASSERT_TRUE(Pump());
    EXPECT_FALSE(Replied(a, QV_FILE_ERR_TIMEOUT, 31));
    a.Second();
    ASSERT_TRUE(Pump());
    EXPECT_TRUE(Replied(a, QV_FILE_ERR_TIMEOUT, 31));
    EXPECT_EQ(-1, Put(objA, P("src"), "x", 0, 0, 32));  // idle again
    a.DeleteObject(objA);
    EXPECT_TRUE(Replied(a, QV_FILE_ERR_TIMEOUT, 32));
    EXPECT_EQ(0u, a.WaitersInUse());
}

TEST_F(FilePair, CancelBeforeTheAnswerEndsTheRequestingEndToo)
{
    Init();
    ASSERT_TRUE(WriteAt(P("src"), Bytes(1000, 1), 0));
    b.onAsk = nullptr;
    EXPECT_EQ(-1, Put(objA, P("src"), "x", 0, 0, 41));
    ASSERT_TRUE(Pump());
    ASSERT_EQ(1u, b.ExtReqs(QV_FILE_EXT_PUT).size());
    EXPECT_EQ(0, b.Request(objB, QV_FILE_REQ_CANCEL, nullptr, 0, 0));
    ASSERT_TRUE(Pump());
    EXPECT_TRUE(Replied(a, QV_FILE_ERR_FAIL, 41));
    EXPECT_EQ(1u, a.ExtReqs(QV_FILE_EXT_CANCEL).size());
    EXPECT_EQ(-1, Put(objA, P("src"), "x", 0, 0, 42));  // both ends idle again
    AcceptOn(b, P("dst"));
    ASSERT_TRUE(Pump());
    EXPECT_TRUE(Replied(a, 0, 42));
    // A late answer to the cancelled ask finds its multicast gone.
    std::vector<u8> acc = AcceptRec(P("late"));
    EXPECT_EQ(QV_FILE_ERR_FAIL, b.ExtReply(objB, 0, acc.data(), (u32)acc.size(), b.ExtReqs(QV_FILE_EXT_PUT)[0].uHandle));
}

TEST_F(FileStream, SpeedMeterAveragesTheLastFourSeconds)
{
    Start(QV_FILE_FLAG_TCP | QV_FILE_FLAG_DRAIN, 1);
    auto lastSpeed = [&] { return LastStatus(a, up).Speed; };
    for (int s = 0; s < 6; s++) {
        sa.Feed("up", 100000);
        ASSERT_TRUE(Pump());
        Seconds(1);
    }
    EXPECT_EQ(100000u, lastSpeed());
    Seconds(2);  // two quiet seconds out of four
    EXPECT_EQ(50000u, lastSpeed());
}

TEST_F(FilePair, AnAcceptThatCouldNotBeSentIsRetriedByTheTimer)
{
    Init(0, QV_FILE_FLAG_DEBUG, 0);
    ASSERT_TRUE(WriteAt(P("src"), Bytes(70000, 2), 0));
    AcceptOn(b, P("dst"));
    u32 cap = b.m_sendCap[0];
    b.m_sendCap[0] = 0;  // b's control queue takes nothing
    EXPECT_EQ(-1, Put(objA, P("src"), "x", 0, 0, 51));
    ASSERT_TRUE(Pump());
    EXPECT_FALSE(Replied(a, 0, 51));
    b.m_sendCap[0] = cap;
    Seconds(1);
    EXPECT_TRUE(Replied(a, 0, 51));
    EXPECT_EQ(70000u, FileSize(P("dst")));
    // Objects with the debug flag tell the application what they do, one line each.
    auto dbg = a.ExtReqs(QV_FILE_EXT_DEBUG);
    ASSERT_FALSE(dbg.empty());
    for (auto& d : dbg) {
        ASSERT_GE(d.data.size(), 2u);
        EXPECT_EQ("\r\n", d.Text().substr(d.data.size() - 2));
        EXPECT_LE(d.data.size(), 1022u);
    }
    EXPECT_TRUE(b.ExtReqs(QV_FILE_EXT_DEBUG).empty());
}

// A Put or Get whose request the full control queue refuses (many transfers starting at once)
// is answered later, not refused: the request goes again every second, and only after
// kRequestTries refused seconds is the application answered 14, with the object idle again.
TEST_F(FilePair, ARequestTheQueueRefusesGoesAgainEverySecond)
{
    Init();
    ASSERT_TRUE(WriteAt(P("src"), Bytes(70000, 3), 0));
    AcceptOn(b, P("dst"));
    u32 cap = a.m_sendCap[0];
    a.m_sendCap[0] = 0;  // a's control queue takes nothing
    EXPECT_EQ(-1, Put(objA, P("src"), "x", 0, 0, 61));
    Seconds(3);
    EXPECT_TRUE(b.ExtReqs(QV_FILE_EXT_PUT).empty());
    EXPECT_FALSE(Replied(a, 0, 61));
    a.m_sendCap[0] = cap;
    Seconds(1);
    EXPECT_TRUE(Replied(a, 0, 61));
    Seconds(2);
    EXPECT_EQ(70000u, FileSize(P("dst")));

    a.m_sendCap[0] = 0;
    EXPECT_EQ(-1, Put(objA, P("src"), "x", 0, 0, 62));
    Seconds(kRequestTries - 1);
    EXPECT_FALSE(Replied(a, QV_FILE_ERR_SEND, 62));
    Seconds(1);
    EXPECT_TRUE(Replied(a, QV_FILE_ERR_SEND, 62));
    a.m_sendCap[0] = cap;
    EXPECT_EQ(-1, Put(objA, P("src"), "x", 0, 0, 63));  // idle again
    ASSERT_TRUE(Pump());
    EXPECT_TRUE(Replied(a, 0, 63));
    EXPECT_EQ(1u + 1u, b.ExtReqs(QV_FILE_EXT_PUT).size());
}
