// Library log: line format and limits, masks, hooks and sinks, file naming, rotation and
// pruning; the debug trace (in a child with its own /var).
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kvLab.h"
#include "qvLog.h"

namespace fs = std::filesystem;

namespace
{
const char* const kDatePattern = "[0-9]{4}-[0-9]{2}-[0-9]{2},[0-9]{2}:[0-9]{2}:[0-9]{2}";

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The log files (prefix_YYYYMMDD_HHMMSS.log) in a directory, sorted by name.
std::vector<std::string> LogFiles(const std::string& dir, const std::string& prefix = "qv")
{
    std::vector<std::string> out;
    std::regex re(prefix + "_[0-9]{8}_[0-9]{6}\\.log");
    std::error_code ec;
    for (auto& e : fs::directory_iterator(dir, ec))
        if (e.is_regular_file() && std::regex_match(e.path().filename().string(), re))
            out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

// Everything written to the log files of a directory.
std::string LogText(const std::string& dir)
{
    std::string all;
    for (auto& f : LogFiles(dir))
        all += ReadAll(f);
    return all;
}

struct RecordingSink : CQVLogProc
{
    std::vector<std::pair<u32, std::string>> lines;
    void LogPrint(u32 uLevel, const char* lpszLine) override { lines.emplace_back(uLevel, lpszLine); }
};

std::vector<std::string> g_hookLines;
template <int N>
void Hook(u32, const char* lpszLine)
{
    if (N == 0)
        g_hookLines.push_back(lpszLine);
}

class LogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qvGetLog()->Clean();
        qvGetLog()->SetFlush(1);
        g_hookLines.clear();
        setenv("HOME", home.Path().c_str(), 1);
    }
    void TearDown() override { qvGetLog()->Clean(); }

    kvlab::TempDir home;
    kvlab::TempDir dir;
};
}  // namespace

TEST_F(LogTest, NotInitialisedWritesNothing)
{
    EXPECT_EQ(0u, qvLogOut(0, "nothing %d", 1));
    EXPECT_EQ(0u, qvLogExt(&Hook<0>));
}

TEST_F(LogTest, LineFormatGoesToFileHooksAndSinks)
{
    ASSERT_EQ(1u, qvLogInit(0xFFFF, dir.Path().c_str(), "qv", 0, 0));
    ASSERT_EQ(1u, qvLogExt(&Hook<0>));
    RecordingSink sink;
    qvGetLog()->SetProcCallback(&sink, 1);
    EXPECT_EQ(1u, qvLogOut(2, "Node: value=%u name=%s", 7u, "x"));
    qvGetLog()->SetProcCallback(&sink, 0);

    std::regex line(std::string("^") + kDatePattern + ": Node: value=7 name=x\r\n$");
    std::string text = LogText(dir.Path());
    EXPECT_TRUE(std::regex_match(text, line)) << text;
    ASSERT_EQ(1u, g_hookLines.size());
    EXPECT_EQ(text, g_hookLines[0]);
    ASSERT_EQ(1u, sink.lines.size());
    EXPECT_EQ(2u, sink.lines[0].first);
    EXPECT_EQ(text, sink.lines[0].second);
}

TEST_F(LogTest, LineLimitAndEmptyText)
{
    ASSERT_EQ(1u, qvLogInit(0xFFFF, dir.Path().c_str(), "qv", 0, 0));
    // 19 date characters, ": ", the text and CR LF: 4070 bytes of text make 4093 bytes.
    std::string fits(4070, 'a'), over(4071, 'b');
    EXPECT_EQ(1u, qvLogOut(1, "%s", fits.c_str()));
    EXPECT_EQ(1u, qvLogOut(1, "%s", over.c_str()));
    EXPECT_EQ(1u, qvLogOut(1, "%s", ""));
    std::string text = LogText(dir.Path());
    EXPECT_EQ(4093u, text.size());
    EXPECT_EQ(std::string::npos, text.find('b'));
}

TEST_F(LogTest, LevelMaskAndSinkMaskUnion)
{
    ASSERT_EQ(1u, qvLogInit(0x000F, dir.Path().c_str(), "qv", 0, 0));
    RecordingSink sink;
    qvGetLog()->SetProcCallback(&sink, 1);
    EXPECT_EQ(0u, qvLogOut(5, "dropped"));
    EXPECT_EQ(1u, qvLogOut(33, "level 33 is bit 1"));

    qvGetLog()->SetProcLevelMask(&sink, 1u << 5);
    EXPECT_EQ(1u, qvLogOut(5, "five"));
    // The file gets every line that passed either mask.
    std::string text = LogText(dir.Path());
    EXPECT_EQ(std::string::npos, text.find("dropped"));
    EXPECT_NE(std::string::npos, text.find("five"));
    EXPECT_NE(std::string::npos, text.find("level 33"));
    ASSERT_EQ(2u, sink.lines.size());

    // Removing the sink takes its bits out of the union.
    qvGetLog()->SetProcCallback(&sink, 0);
    EXPECT_EQ(0u, qvLogOut(5, "five again"));
}

TEST_F(LogTest, SixteenSinksAtMost)
{
    ASSERT_EQ(1u, qvLogInit(0xFFFF, dir.Path().c_str(), "qv", 0, 0));
    std::vector<RecordingSink> sinks(17);
    for (auto& s : sinks)
        qvGetLog()->SetProcCallback(&s, 1);
    qvGetLog()->SetProcCallback(&sinks[0], 1);  // already installed: no second entry
    qvLogOut(0, "x");
    EXPECT_EQ(1u, sinks[0].lines.size());
    EXPECT_EQ(1u, sinks[15].lines.size());
    EXPECT_EQ(0u, sinks[16].lines.size());
    // Removing one packs the list, so the refused one can now be added.
    qvGetLog()->SetProcCallback(&sinks[3], 0);
    qvGetLog()->SetProcCallback(&sinks[16], 1);
    qvLogOut(0, "y");
    EXPECT_EQ(1u, sinks[3].lines.size());
    EXPECT_EQ(1u, sinks[16].lines.size());
    EXPECT_EQ(2u, sinks[15].lines.size());
    qvGetLog()->Clean();
}

TEST_F(LogTest, EightHooksAtMost)
{
    EXPECT_EQ(1u, qvLogInit(0xFFFF, dir.Path().c_str(), "qv", 0, 0));
    EXPECT_EQ(0u, qvLogExt(nullptr));
    QV_LOG_HOOK hooks[] = {&Hook<0>, &Hook<1>, &Hook<2>, &Hook<3>, &Hook<4>, &Hook<5>, &Hook<6>, &Hook<7>};
    for (auto h : hooks)
        EXPECT_EQ(1u, qvLogExt(h));
    EXPECT_EQ(1u, qvLogExt(&Hook<0>));
    EXPECT_EQ(0u, qvLogExt(&Hook<8>));
    qvLogOut(0, "once");
    EXPECT_EQ(1u, g_hookLines.size());
}

TEST_F(LogTest, ReinitSameDirKeepsHooksOtherDirCleans)
{
    ASSERT_EQ(1u, qvLogInit(0xFFFF, dir.Path().c_str(), "qv", 0, 0));
    ASSERT_EQ(1u, qvLogExt(&Hook<0>));
    ASSERT_EQ(1u, qvLogInit(0x1, dir.Path().c_str(), "qv", 0, 0));
    EXPECT_EQ(0u, qvLogOut(1, "masked"));
    EXPECT_EQ(1u, qvLogOut(0, "kept"));
    EXPECT_EQ(1u, g_hookLines.size());

    // An empty directory means the default "<home>/Quarlin/Log"; the applied directory is then
    // that path, so every such call sets the log up anew.
    ASSERT_EQ(1u, qvLogInit(0xFFFF, "", "qv", 0, 0));
    char path[256];
    ASSERT_EQ(1u, qvGetLog()->GetPath(path, sizeof(path)));
    EXPECT_EQ(home.Path() + "/Quarlin/Log", path);
    EXPECT_TRUE(fs::is_directory(path));
    ASSERT_EQ(1u, qvLogExt(&Hook<0>));
    ASSERT_EQ(1u, qvLogInit(0xFFFF, "*", "qv", 0, 0));
    qvLogOut(0, "after reinit");
    EXPECT_EQ(1u, g_hookLines.size());
    EXPECT_NE(std::string::npos, LogText(path).find("after reinit"));

    EXPECT_EQ(0u, qvGetLog()->GetPath(path, (u32)home.Path().size()));
    EXPECT_EQ(0u, qvLogInit(0xFFFF, dir.Path().c_str(), std::string(65, 'p').c_str(), 0, 0));
}

// Whether the log still holds its file open: a line written after the file was unlinked
// only reappears in the directory when the log had closed the file and opens a new one.
static bool StillOpen(const std::string& dir)
{
    for (auto& f : LogFiles(dir))
        fs::remove(f);
    qvLogOut(0, "probe");
    return LogFiles(dir).empty();
}

TEST_F(LogTest, SizeRotationAndMaxSizeFloor)
{
    std::string big(3000, 's');
    // 4095 is refused: the maximum stays 4 MiB.
    ASSERT_EQ(1u, qvLogInit(0xFFFF, dir.Path().c_str(), "qv", 4095, 0));
    qvLogOut(0, "%s", big.c_str());
    qvLogOut(0, "%s", big.c_str());
    EXPECT_TRUE(StillOpen(dir.Path()));

    // Same directory and prefix: only the limits change; 4096 is taken, and the open file,
    // already beyond it, is closed after the next line.
    ASSERT_EQ(1u, qvLogInit(0xFFFF, dir.Path().c_str(), "qv", 4096, 0));
    qvLogOut(0, "%s", big.c_str());
    EXPECT_FALSE(StillOpen(dir.Path()));
    qvLogOut(0, "%s", big.c_str());
    EXPECT_TRUE(StillOpen(dir.Path()));
    qvLogOut(0, "%s", big.c_str());
    EXPECT_FALSE(StillOpen(dir.Path()));
}

TEST_F(LogTest, PruneKeepsNewestOwnFilesOnly)
{
    for (const char* name : {"qv_20240101_000000.log", "qv_20240102_000000.log", "qv_20240103_000000.log",
                             "qv_20240104_000000.log", "qv_notes.log", "qvx_20240101_000000.log",
                             "qv_20240101_000000.log.bak", "qv_2024010_000000.log", "zz_20240101_000000.log"})
        std::ofstream(dir.Path() + "/" + name) << "old";
    fs::create_directory(dir.Path() + "/qv_20200101_000000.log");

    ASSERT_EQ(1u, qvLogInit(0xFFFF, dir.Path().c_str(), "qv", 0, 3));
    qvLogOut(0, "new file");

    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir.Path()))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    auto has = [&](const std::string& n) { return std::find(names.begin(), names.end(), n) != names.end(); };
    EXPECT_FALSE(has("qv_20240101_000000.log"));
    EXPECT_FALSE(has("qv_20240102_000000.log"));
    EXPECT_TRUE(has("qv_20240103_000000.log"));
    EXPECT_TRUE(has("qv_20240104_000000.log"));
    for (const char* other : {"qv_notes.log", "qvx_20240101_000000.log", "qv_20240101_000000.log.bak",
                              "qv_2024010_000000.log", "zz_20240101_000000.log", "qv_20200101_000000.log"})
        EXPECT_TRUE(has(other)) << other;
    EXPECT_EQ(3u, LogFiles(dir.Path()).size());
}

TEST_F(LogTest, SetChangesDirectoryAndPrefix)
{
    kvlab::TempDir other;
    ASSERT_EQ(1u, qvLogInit(0xFFFF, dir.Path().c_str(), "qv", 0, 0));
    qvLogOut(0, "first");
    ASSERT_EQ(1u, qvLogSet(0xFFFF, "*", "", 0, 0));  // "*" and "" leave them as they are
    qvLogOut(0, "second");
    EXPECT_EQ(1u, LogFiles(dir.Path()).size());

    ASSERT_EQ(1u, qvLogSet(0xFFFF, other.Path().c_str(), "kv", 0, 0));
    qvLogOut(0, "third");
    EXPECT_EQ(std::string::npos, LogText(dir.Path()).find("third"));
    ASSERT_EQ(1u, LogFiles(other.Path(), "kv").size());
    EXPECT_NE(std::string::npos, ReadAll(LogFiles(other.Path(), "kv")[0]).find("third"));
}

TEST_F(LogTest, DeferredFlush)
{
    ASSERT_EQ(1u, qvLogInit(0xFFFF, dir.Path().c_str(), "qv", 0, 0));
    qvGetLog()->SetFlush(0);
    qvLogOut(0, "buffered");
    qvLogFlush();
    EXPECT_NE(std::string::npos, LogText(dir.Path()).find("buffered"));
}

TEST_F(LogTest, ConcurrentWritersLoseNoLine)
{
    ASSERT_EQ(1u, qvLogInit(0xFFFF, dir.Path().c_str(), "qv", 8192, 100));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < 300; i++)
                qvLogOut(1, "thread %d line %d", t, i);
        });
    for (auto& th : threads)
        th.join();
    std::string text = LogText(dir.Path());
    EXPECT_EQ(1200, std::count(text.begin(), text.end(), '\n'));
}

// ---------------------------------------------------------------------------------------------
// Debug trace, in a child whose /var is a private tmpfs.

#define CHILD_CHECK(cond)                                                     \
    do                                                                        \
    {                                                                         \
        if (!(cond))                                                          \
        {                                                                     \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                         \
        }                                                                     \
    } while (0)

static void RunInPrivateVar(const std::function<int()>& fn)
{
    kvlab::RunOptions opt;
    opt.tmpfs = {"/var"};
    kvlab::Process p = kvlab::RunChild(opt, fn);
    int code = -1;
    ASSERT_TRUE(p.Wait(30000, &code)) << p.Output();
    EXPECT_EQ(0, code) << p.Output();
}

TEST(TraceTest, OffByDefaultThenTruncatedFileWithFormattedLines)
{
    RunInPrivateVar([] {
        qvPrintf("not written %d", 1);
        CHILD_CHECK(!fs::exists("/var/quarlin.log"));
        std::ofstream("/var/quarlin.log") << "stale content\n";
        qvPrintfEnable(1);
        qvPrintf("CQVNode::MCastSend: Multicast handle invalid. uMCast=%u", 5u);
        qvPrintf("%s", "");
        // Date 19, "." and 1 to 3 digits of milliseconds, ": ", text, CR LF: at most 1022.
        qvPrintf("%s", std::string(990, 'x').c_str());
        qvPrintf("%s", std::string(998, 'y').c_str());
        std::string text = ReadAll("/var/quarlin.log");
        std::regex re(std::string("^") + kDatePattern +
                      "\\.[0-9]{1,3}: CQVNode::MCastSend: Multicast handle invalid\\. uMCast=5\r\n" + kDatePattern +
                      "\\.[0-9]{1,3}: x{990}\r\n$");
        CHILD_CHECK(std::regex_match(text, re));
        qvPrintfEnable(0);
        qvPrintf("off again");
        CHILD_CHECK(ReadAll("/var/quarlin.log") == text);
        return 0;
    });
}

// Writers on several threads fill a tiny /var: every failed write closes the file and the
// next line reopens (empties) it. The lock keeps a writer off a file another thread closes.
TEST(TraceTest, FullDiskAcrossThreads)
{
    RunInPrivateVar([] {
        CHILD_CHECK(mount("tmpfs", "/var", "tmpfs", 0, "size=16k") == 0);
        qvPrintfEnable(1);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; t++)
            threads.emplace_back([t] {
                for (int i = 0; i < 2000; i++)
                    qvPrintf("thread %d line %d %s", t, i, std::string(100, 'z').c_str());
            });
        for (auto& th : threads)
            th.join();
        qvPrintfEnable(0);
        // Whatever survived is whole lines, but for a fragment the full disk cut off at the end.
        std::string text = ReadAll("/var/quarlin.log");
        std::regex re(std::string("^") + kDatePattern + "\\.[0-9]{1,3}: thread [0-3] line [0-9]+ z{100}\r$");
        size_t uStart = 0, uEnd, n = 0;
        while ((uEnd = text.find('\n', uStart)) != std::string::npos)
        {
            if (!std::regex_match(text.substr(uStart, uEnd - uStart), re))
                n++;
            uStart = uEnd + 1;
        }
        CHILD_CHECK(n == 0);
        return 0;
    });
}
