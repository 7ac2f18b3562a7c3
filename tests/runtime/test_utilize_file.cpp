// Files, directories and the program's, home and download directories.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "qvUtilize.h"

namespace
{
// A fresh directory under /tmp per test, removed afterwards.
class UtilizeFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kv_utilize_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + m_dir + "'";
        (void)system(cmd.c_str());
    }
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    void Put(const std::string& name, const std::string& data) const
    {
        if (data.empty())  // a write of nothing fails by design
        {
            int fd = open(Path(name).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
            ASSERT_GE(fd, 0);
            close(fd);
            return;
        }
        u32 uLen = (u32)data.size();
        ASSERT_EQ(qvFileWrite(Path(name).c_str(), data.data(), &uLen, ~(u64)0), 1u);
    }
    std::string Get(const std::string& name) const
    {
        std::vector<char> buf(1 << 16);
        u32 uLen = (u32)buf.size();
        if (!qvFileRead(Path(name).c_str(), buf.data(), &uLen, 0))
            return "<unreadable>";
        return std::string(buf.data(), uLen);
    }

    std::string m_dir;
};

std::string Pattern(size_t n)
{
    std::string s(n, 0);
    for (size_t i = 0; i < n; i++)
        s[i] = (char)('a' + (i * 7 + i / 13) % 26);
    return s;
}

// Sets or unsets an environment variable for the test's scope.
class EnvGuard
{
public:
    EnvGuard(const char* name, const char* value) : m_name(name)
    {
        const char* old = getenv(name);
        m_had = old != nullptr;
        if (old)
            m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvGuard()
    {
        if (m_had)
            setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    std::string m_old;
    bool m_had = false;
};
}  // namespace

// ---------------------------------------------------------------------------------------------
// Read and write

TEST_F(UtilizeFile, WriteReplaceLeavesOnlyNewData)
{
    Put("f", "a much longer old content");
    Put("f", "new");
    EXPECT_EQ(Get("f"), "new");
}

TEST_F(UtilizeFile, WriteAtOffsetUpdatesOrCreates)
{
    Put("f", "0123456789");
    u32 uLen = 3;
    ASSERT_EQ(qvFileWrite(Path("f").c_str(), "abc", &uLen, 4), 1u);
    EXPECT_EQ(uLen, 3u);
    EXPECT_EQ(Get("f"), "0123abc789");
    // A missing file is created; the bytes before the offset read as zeros.
    uLen = 2;
    ASSERT_EQ(qvFileWrite(Path("g").c_str(), "xy", &uLen, 3), 1u);
    EXPECT_EQ(Get("g"), std::string("\0\0\0xy", 5));
    // Nothing to write is a failure; a missing directory too.
    uLen = 0;
    EXPECT_EQ(qvFileWrite(Path("h").c_str(), "x", &uLen, ~(u64)0), 0u);
    uLen = 1;
    EXPECT_EQ(qvFileWrite(Path("no/such").c_str(), "x", &uLen, 0), 0u);
    EXPECT_EQ(uLen, 1u);
}

TEST_F(UtilizeFile, ReadStopsAtEnd)
{
    Put("f", "0123456789");
    char buf[16];
    struct Case
    {
        u64 offset;
        u32 want;
        std::string got;
    } cases[] = {{0, 10, "0123456789"}, {2, 3, "234"}, {7, 16, "789"}, {10, 4, ""}, {100, 4, ""}};
    for (const auto& c : cases)
    {
        u32 uLen = c.want;
        ASSERT_EQ(qvFileRead(Path("f").c_str(), buf, &uLen, c.offset), 1u) << c.offset;
        EXPECT_EQ(std::string(buf, uLen), c.got) << c.offset;
    }
    u32 uLen = 4;
    EXPECT_EQ(qvFileRead(Path("missing").c_str(), buf, &uLen, 0), 0u);
    EXPECT_EQ(uLen, 4u);
    EXPECT_EQ(qvFileRead("", buf, &uLen, 0), 0u);
}

// Offsets beyond 2 and 4 GiB (a sparse file: no disk space is used).
TEST_F(UtilizeFile, OffsetsBeyond4GiB)
{
    const u64 kFar = 0x140000123ull;
    u32 uLen = 4;
    ASSERT_EQ(qvFileWrite(Path("big").c_str(), "tail", &uLen, kFar), 1u);
    u64 uSize = 0;
    ASSERT_EQ(qvFileInfo(Path("big").c_str(), &uSize, nullptr, 0), 1u);
    EXPECT_EQ(uSize, kFar + 4);
    char buf[8];
    uLen = sizeof(buf);
    ASSERT_EQ(qvFileRead(Path("big").c_str(), buf, &uLen, kFar - 2), 1u);
    EXPECT_EQ(std::string(buf, uLen), std::string("\0\0tail", 6));

    FILE* f = fopen(Path("big").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(qv_fseek(f, kFar + 1), 0);
    EXPECT_EQ((u64)ftello(f), kFar + 1);
    EXPECT_EQ(fgetc(f), 'a');
    fclose(f);
    EXPECT_EQ(qv_fseek(nullptr, 1), -1);
}

// ---------------------------------------------------------------------------------------------
// Copy, move, delete

TEST_F(UtilizeFile, CopyInChunks)
{
    for (size_t n : {0, 1, 4096, 8192, 10001})
    {
        Put("src", Pattern(n));
        ASSERT_EQ(qvFileCopy(Path("src").c_str(), Path("dst").c_str()), 1u) << n;
        EXPECT_EQ(Get("dst"), Pattern(n)) << n;
    }
}

TEST_F(UtilizeFile, CopyFailuresLoseNothing)
{
    Put("src", "keep me");
    // Onto itself, directly or through a link: the source must survive.
    EXPECT_EQ(qvFileCopy(Path("src").c_str(), Path("src").c_str()), 0u);
    ASSERT_EQ(symlink(Path("src").c_str(), Path("link").c_str()), 0);
    EXPECT_EQ(qvFileCopy(Path("src").c_str(), Path("link").c_str()), 0u);
    EXPECT_EQ(Get("src"), "keep me");
    // A missing source does not create or empty the destination.
    Put("dst", "old");
    EXPECT_EQ(qvFileCopy(Path("missing").c_str(), Path("dst").c_str()), 0u);
    EXPECT_EQ(Get("dst"), "old");
    EXPECT_EQ(qvFileCopy(Path("src").c_str(), Path("no/dir").c_str()), 0u);
}

TEST_F(UtilizeFile, MoveAndDelete)
{
    Put("a", "data");
    ASSERT_EQ(qvFileMove(Path("a").c_str(), Path("b").c_str()), 1u);
    EXPECT_EQ(Get("b"), "data");
    EXPECT_EQ(access(Path("a").c_str(), F_OK), -1);
    EXPECT_EQ(qvFileMove(Path("a").c_str(), Path("c").c_str()), 0u);
    qvFileDelete(Path("b").c_str());
    EXPECT_EQ(access(Path("b").c_str(), F_OK), -1);

    ASSERT_EQ(qvDirCreate(Path("d").c_str()), 1u);
    Put("d/x", "x");
    qvDirDelete(Path("d").c_str());  // not empty: stays
    EXPECT_EQ(access(Path("d/x").c_str(), F_OK), 0);
    qvFileDelete(Path("d/x").c_str());
    qvDirDelete(Path("d").c_str());
    EXPECT_EQ(access(Path("d").c_str(), F_OK), -1);
}

// ---------------------------------------------------------------------------------------------
// Info and hash

TEST_F(UtilizeFile, InfoGivesSizeAndLocalModificationTime)
{
    Put("f", "12345");
    struct tm tmSet = {};
    tmSet.tm_year = 2024 - 1900;
    tmSet.tm_mon = 0;
    tmSet.tm_mday = 2;
    tmSet.tm_hour = 3;
    tmSet.tm_min = 4;
    tmSet.tm_sec = 5;
    tmSet.tm_isdst = -1;
    struct utimbuf times = {mktime(&tmSet), mktime(&tmSet)};
    ASSERT_EQ(utime(Path("f").c_str(), &times), 0);

    u64 uSize = 0;
    char szTime[20];
    ASSERT_EQ(qvFileInfo(Path("f").c_str(), &uSize, szTime, sizeof(szTime)), 1u);
    EXPECT_EQ(uSize, 5u);
    EXPECT_STREQ(szTime, "2024-01-02,03:04:05");
    EXPECT_EQ(qvFileInfo(Path("f").c_str(), nullptr, nullptr, 0), 1u);

    // The time must fit; nothing is written otherwise.
    uSize = 99;
    char small[19];
    memset(small, 'Z', sizeof(small));
    EXPECT_EQ(qvFileInfo(Path("f").c_str(), &uSize, small, sizeof(small)), 0u);
    EXPECT_EQ(uSize, 99u);
    EXPECT_EQ(small[0], 'Z');

    EXPECT_EQ(qvFileInfo(Path("missing").c_str(), &uSize, nullptr, 0), 0u);
    EXPECT_EQ(qvFileInfo("", &uSize, nullptr, 0), 0u);
    EXPECT_EQ(qvFileInfo(nullptr, &uSize, nullptr, 0), 0u);
    EXPECT_EQ(qvFileInfo(m_dir.c_str(), &uSize, nullptr, 0), 0u);  // a directory is no file

    // A FIFO without a writer has no size and must not block the caller: the call runs in a
    // child, and one that is still blocked after a long deadline (which a child that returns
    // never costs, even on a loaded machine) has failed.
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
    {
        u64 uFifoSize = 0;
        _exit(qvFileInfo(Path("fifo").c_str(), &uFifoSize, nullptr, 0) == 0 ? 0 : 1);
    }
    int status = -1;
    pid_t done = 0;
    const time_t deadline = time(nullptr) + 20;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && time(nullptr) < deadline)
        usleep(10000);
    if (done == 0)
    {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "qvFileInfo blocked on a FIFO";
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(UtilizeFile, HashOfContentEmptyAndMissing)
{
    std::string data = Pattern(100000);
    Put("f", data);
    u8 h[32], want[32];
    ASSERT_EQ(qvDataHash(data.data(), (u32)data.size(), want, 32), 1u);
    EXPECT_EQ(qvFileHash(Path("f").c_str(), h, sizeof(h)), 100000u);
    EXPECT_EQ(memcmp(h, want, 32), 0);

    ASSERT_EQ(close(open(Path("empty").c_str(), O_CREAT | O_WRONLY, 0644)), 0);
    ASSERT_EQ(qvDataHash(nullptr, 0, want, 32), 1u);
    memset(h, 0, sizeof(h));
    EXPECT_EQ(qvFileHash(Path("empty").c_str(), h, sizeof(h)), 0u);
    EXPECT_EQ(memcmp(h, want, 32), 0);

    u8 untouched[32];
    memset(untouched, 0x5A, sizeof(untouched));
    EXPECT_EQ(qvFileHash(Path("missing").c_str(), untouched, 32), 0u);
    EXPECT_EQ(qvFileHash(Path("f").c_str(), untouched, 31), 0xFFFFFFFFu);
    EXPECT_EQ(qvFileHash(m_dir.c_str(), untouched, 32), 0xFFFFFFFFu);
    // A FIFO would block an open for reading: refused at once.
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(qvFileHash(Path("fifo").c_str(), untouched, 32), 0xFFFFFFFFu);
    EXPECT_EQ(untouched[0], 0x5A);
}

// ---------------------------------------------------------------------------------------------
// Split path

TEST(UtilizeSplitPath, Parts)
{
    struct Case
    {
        const char* path;
        const char* dir;
        const char* name;
        const char* ext;
    } cases[] = {
        {"/a/b.c/d", "/a/b.c", "d", ""},
        {"/x/y/file.tar.gz", "/x/y", "file.tar", ".gz"},
        {"name.txt", "", "name", ".txt"},
        {"name", "", "name", ""},
        {"/root", "", "root", ""},
        {"dir/", "dir", "", ""},
        {"/h/.bashrc", "/h", "", ".bashrc"},
        {"", "", "", ""},
    };
    for (const auto& c : cases)
    {
        char drive[4] = "X", dir[QV_SPLIT_DIR_SIZE], name[QV_SPLIT_NAME_SIZE], ext[QV_SPLIT_EXT_SIZE];
        ASSERT_EQ(qvSplitPath(c.path, drive, dir, name, ext), 1u) << c.path;
        EXPECT_STREQ(drive, "");
        EXPECT_STREQ(dir, c.dir) << c.path;
        EXPECT_STREQ(name, c.name) << c.path;
        EXPECT_STREQ(ext, c.ext) << c.path;
    }
    char name[QV_SPLIT_NAME_SIZE];
    ASSERT_EQ(qvSplitPath("/a/b.c", nullptr, nullptr, name, nullptr), 1u);
    EXPECT_STREQ(name, "b");
    EXPECT_EQ(qvSplitPath(nullptr, nullptr, nullptr, name, nullptr), 0u);
}

// A part that would have to be cut is refused, and nothing is written.
TEST(UtilizeSplitPath, PartTooLongFails)
{
    std::string longExt = "/d/f." + std::string(63, 'e');   // ext of 64 with its dot
    std::string okExt = "/d/f." + std::string(62, 'e');     // 63
    std::string longName = "/d/" + std::string(4096, 'n');
    std::string longDir = "/" + std::string(4095, 'd') + "/f";
    char dir[QV_SPLIT_DIR_SIZE] = "D", name[QV_SPLIT_NAME_SIZE] = "N", ext[QV_SPLIT_EXT_SIZE] = "E";
    EXPECT_EQ(qvSplitPath(longExt.c_str(), nullptr, dir, name, ext), 0u);
    EXPECT_EQ(qvSplitPath(longName.c_str(), nullptr, dir, name, ext), 0u);
    EXPECT_EQ(qvSplitPath(longDir.c_str(), nullptr, dir, name, ext), 0u);
    EXPECT_STREQ(dir, "D");
    EXPECT_STREQ(name, "N");
    EXPECT_STREQ(ext, "E");
    // Only parts that are asked for have to fit.
    EXPECT_EQ(qvSplitPath(longExt.c_str(), nullptr, dir, name, nullptr), 1u);
    EXPECT_STREQ(name, "f");
    ASSERT_EQ(qvSplitPath(okExt.c_str(), nullptr, nullptr, nullptr, ext), 1u);
    EXPECT_EQ(strlen(ext), 63u);
}

// ---------------------------------------------------------------------------------------------
// Directories

TEST_F(UtilizeFile, DirCreateMode0771WithoutTouchingUmask)
{
    mode_t old = umask(022);
    ASSERT_EQ(qvDirCreate(Path("d").c_str()), 1u);
    EXPECT_EQ(umask(old), (mode_t)022);
    struct stat st;
    ASSERT_EQ(stat(Path("d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0771u);
    EXPECT_EQ(qvDirCreate(Path("d").c_str()), 1u);  // existing
    Put("file", "x");
    EXPECT_EQ(qvDirCreate(Path("file").c_str()), 0u);  // a file is in the way
    EXPECT_EQ(qvDirCreate(Path("no/parent").c_str()), 0u);
    EXPECT_EQ(qvDirCreate(""), 0u);
}

TEST_F(UtilizeFile, DirListing)
{
    Put("five", "12345");
    ASSERT_EQ(qvDirCreate(Path("sub").c_str()), 1u);
    ASSERT_EQ(symlink("nowhere", Path("dangling").c_str()), 0);

    void* h = qvDirOpen(m_dir.c_str());
    ASSERT_NE(h, nullptr);
    std::map<std::string, std::pair<u32, u32>> seen;
    u32 uIsFile = 9, uSize = 9;
    char name[256], time[20];
    while (qvDirRead(h, &uIsFile, &uSize, name, sizeof(name), time, sizeof(time)))
    {
        seen[name] = {uIsFile, uSize};
        u32 y, mo, d, hh, mi, s;
        EXPECT_EQ(qvDateTimeParse(time, &y, &mo, &d, &hh, &mi, &s), 1u) << name << " " << time;
    }
    qvDirClose(h);
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen["five"], std::make_pair(1u, 5u));
    EXPECT_EQ(seen["sub"].first, 0u);
    EXPECT_EQ(seen["."].first, 0u);
    EXPECT_EQ(seen[".."].first, 0u);
    EXPECT_EQ(seen["dangling"], std::make_pair(1u, 0u));  // status unreadable: size 0

    // A name that does not fit is passed over rather than cut to another name, and the
    // entries after it are still listed, whatever order the directory gives.
    Put("a-rather-long-file-name", "x");
    h = qvDirOpen(Path("").c_str());
    ASSERT_NE(h, nullptr);
    std::set<std::string> fitting;
    char small[8];
    memset(small, 'Z', sizeof(small));
    while (qvDirRead(h, nullptr, nullptr, small, sizeof(small), nullptr, 0))
        fitting.insert(small);
    qvDirClose(h);
    EXPECT_EQ(fitting, (std::set<std::string>{".", "..", "five", "sub"}));

    EXPECT_EQ(qvDirOpen(Path("missing").c_str()), nullptr);
    EXPECT_EQ(qvDirRead(nullptr, &uIsFile, &uSize, name, sizeof(name), nullptr, 0), 0u);
    qvDirClose(nullptr);
}

TEST(UtilizeDir, SelfIsDirectoryOfProgram)
{
    char exe[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", exe, PATH_MAX);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    std::string want(exe, strrchr(exe, '/'));
    char out[PATH_MAX];
    ASSERT_EQ(qvDirSelf(out, sizeof(out)), 1u);
    EXPECT_EQ(out, want);
    EXPECT_EQ(qvDirSelf(out, (u32)want.size() + 1), 1u);
    EXPECT_EQ(qvDirSelf(out, (u32)want.size()), 0u);
}

TEST(UtilizeDir, HomeFromEnvironmentOrVar)
{
    char out[64];
    {
        EnvGuard home("HOME", "/tmp/some-home");
        ASSERT_EQ(qvDirHome(out, sizeof(out)), 1u);
        EXPECT_STREQ(out, "/tmp/some-home");
        // Cut to fit it would name another directory: refused, nothing written.
        char small[14];
        memset(small, 'Z', sizeof(small));
        EXPECT_EQ(qvDirHome(small, sizeof(small)), 0u);
        EXPECT_EQ(small[0], 'Z');
        EXPECT_EQ(qvDirHome(small, 0), 0u);
    }
    for (const char* value : {(const char*)nullptr, ""})
    {
        EnvGuard home("HOME", value);
        ASSERT_EQ(qvDirHome(out, sizeof(out)), 1u);
        EXPECT_STREQ(out, "/var");
    }
}

TEST_F(UtilizeFile, DownloadUnderHome)
{
    char out[256];
    {
        EnvGuard home("HOME", m_dir.c_str());
        ASSERT_EQ(qvDirDownload(out, sizeof(out)), 1u);
        EXPECT_EQ(std::string(out), Path("download"));
        struct stat st;
        ASSERT_EQ(stat(out, &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(qvDirDownload(out, sizeof(out)), 1u);  // existing
        EXPECT_EQ(qvDirDownload(out, (u32)Path("download").size()), 0u);
    }
    {
        EnvGuard home("HOME", nullptr);
        EXPECT_EQ(qvDirDownload(out, sizeof(out)), 0u);
    }
    {
        EnvGuard home("HOME", Path("missing/deeper").c_str());
        EXPECT_EQ(qvDirDownload(out, sizeof(out)), 0u);
    }
}
