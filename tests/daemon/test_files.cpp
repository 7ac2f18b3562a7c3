// The daemon's files: trim and replace helpers, the key-value escape and element lookup, the
// account and forwarding edits of kelvard.cfg, the DevID replacement, connects.json, the
// atomic rewrite on a full disk, the byte locks, the log line and the forwarding event.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>

#include "kelvardCfg.h"
#include "kelvardConnects.h"
#include "kelvardDaemon.h"
#include "kelvardFile.h"
#include "kelvardShared.h"
#include "kvDaemonBox.h"
#include "log.h"

namespace fs = std::filesystem;
using kvbox::ReadFile;
using kvbox::WriteFile;

namespace
{
ino_t Inode(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

mode_t Mode(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}
}  // namespace

TEST(DaemonHelpers, TrimRemovesTrailingWhiteAndLeadingBlanks)
{
    const struct
    {
        const char* in;
        const char* out;
    } cases[] = {
        {"  a b \t\r\n", "a b"}, {"\t\tx", "x"}, {"\r\nx", "\r\nx"}, {"", ""}, {" \t\r\n ", ""}, {"x", "x"},
    };
    for (auto& c : cases)
    {
        char buf[64];
        snprintf(buf, sizeof(buf), "%s", c.in);
        Trim(buf);
        EXPECT_STREQ(c.out, buf) << "in: " << c.in;
        std::string s = c.in;
        Trim(s);
        EXPECT_EQ(c.out, s);
    }
}

TEST(DaemonHelpers, ReplaceStringNeverSearchesTheInsertedText)
{
    std::string s = "aXbXc";
    EXPECT_EQ(-1, ReplaceString(s, "X", "Y"));
    EXPECT_EQ("aYbYc", s);
    s = "aa";
    EXPECT_EQ(-1, ReplaceString(s, "a", "aa"));
    EXPECT_EQ("aaaa", s);
    s = "abc";
    EXPECT_EQ(-1, ReplaceString(s, "", "z"));
    EXPECT_EQ("abc", s);
}

TEST(DaemonHelpers, KeyValueEscapeRoundTrip)
{
    EXPECT_EQ("p&G&Aw&B&Cx&D&Ey&Fz", kelvard_oml_escape("p&(w)[x]{y}z"));
    EXPECT_EQ("p&(w)[x]{y}z", kelvard_oml_unescape("p&G&Aw&B&Cx&D&Ey&Fz"));
    // An '&' that begins no code stops the decoding; the rest stays as it is.
    EXPECT_EQ("a{b&Zc&E", kelvard_oml_unescape("a&Eb&Zc&E"));
    EXPECT_EQ("a&", kelvard_oml_unescape("a&"));
}

TEST(DaemonHelpers, ElementLookupByPath)
{
    std::string t = "(Proxy){(User){px}(Pass){pp}}\n(ModeClient)[c]{(AccountPass){(User){u}(Pass){p}}}";
    KelvOmlElem e;
    ASSERT_TRUE(kelvard_oml_find(t, "ModeClient.AccountPass.Pass", &e));
    EXPECT_EQ("p", t.substr(e.uContent, e.uEnd - e.uContent));
    ASSERT_TRUE(kelvard_oml_find(t, "Proxy.User", &e));
    EXPECT_EQ("px", t.substr(e.uContent, e.uEnd - e.uContent));
    EXPECT_FALSE(kelvard_oml_find(t, "User", &e));
    EXPECT_FALSE(kelvard_oml_find(t, "ModeClient.Nope", &e));
    // Broken texts are not read past their fault.
    for (const char* bad : {"(User{x}", "(User)x{y}", "(User){x", "}(User){x}", "(A){(User){x}"})
        EXPECT_FALSE(kelvard_oml_find(bad, "User", &e)) << bad;
}

class DaemonCfg : public ::testing::Test
{
protected:
    void SetUp() override
    {
        path = dir.Path() + "/kelvard.cfg";
        logname = dir.Path() + "/log";
    }
    kvlab::TempDir dir;
    std::string path;
};

TEST_F(DaemonCfg, LoadReadsTheAccountUserElement)
{
    const struct
    {
        const char* text;
        bool ok;
        const char* user;
        const char* group;
    } cases[] = {
        {"(ModeClient){(AccountPass){(User){_DEV_alice@home}(Pass){x}}}", true, "alice", "home"},
        {"(User){_DEV_bob@a@b}", true, "bob", "a@b"},
        {"(User){xxxxxcarl@g}", true, "carl", "g"},
        {"(Proxy){(User){_DEV_px@py}}(ModeClient){(AccountPass){(User){_DEV_u@g}}}", true, "u", "g"},
        {"(User){_DEV_a&Eb@g&Gh}", true, "a{b", "g&h"},
        {"(User){_DEV_@}", true, "", ""},
        {"(User){_DEV_nobody}", false, "", ""},
        {"(User){_DE}", false, "", ""},
        {"(Proxy){(User){_DEV_px@py}}", false, "", ""},
        {"", false, "", ""},
    };
    for (auto& c : cases)
    {
        ASSERT_TRUE(WriteFile(path, c.text));
        std::string group = "old-g", user = "old-u";
        EXPECT_EQ(c.ok, load_kelvard_cfg(path.c_str(), group, user)) << c.text;
        EXPECT_EQ(c.ok ? c.user : "old-u", user) << c.text;
        EXPECT_EQ(c.ok ? c.group : "old-g", group) << c.text;
    }
    // An element longer than 256 characters is ignored.
    std::string longUser = "(User){_DEV_" + std::string(250, 'u') + "@g}";
    ASSERT_TRUE(WriteFile(path, longUser));
    std::string group = "g0", user = "u0";
    EXPECT_FALSE(load_kelvard_cfg(path.c_str(), group, user));
    EXPECT_EQ("u0", user);
    fs::remove(path);
    EXPECT_FALSE(load_kelvard_cfg(path.c_str(), group, user));
}

TEST_F(DaemonCfg, AccountEditTouchesOnlyTheAccountElements)
{
    // The proxy holds the same texts as the account: only the account's elements change.
    const std::string before =
        "(Proxy){(Enable){0}(User){_DEV_old@grp}(Pass){secret}}\n"
        "(ModeClient){(Node){(SvrAddr){10.0.0.1:7781}}(AccountPass){(User){_DEV_old@grp}(Pass){secret}}"
        "(Utilize){(ForwardSpeed){524288}}}\n";
    ASSERT_TRUE(WriteFile(path, before, 0644));
    ASSERT_EQ(0, save_kelvard_cfg(path.c_str(), "new{grp", "alice", "p}w{(x)&"));
    const std::string after =
        "(Proxy){(Enable){0}(User){_DEV_old@grp}(Pass){secret}}\n"
        "(ModeClient){(Node){(SvrAddr){10.0.0.1:7781}}(AccountPass){(User){_DEV_alice@new&Egrp}"
        "(Pass){p&Fw&E&Ax&B&G}}(Utilize){(ForwardSpeed){524288}}}\n";
    EXPECT_EQ(after, ReadFile(path));
    EXPECT_EQ(0600u, Mode(path)) << "the file holds a password";
    std::string group, user;
    ASSERT_TRUE(load_kelvard_cfg(path.c_str(), group, user));
    EXPECT_EQ("new{grp", group);
    EXPECT_EQ("alice", user);

    // The same account again: the file is not rewritten.
    ino_t ino = Inode(path);
    ASSERT_EQ(0, save_kelvard_cfg(path.c_str(), "new{grp", "alice", "p}w{(x)&"));
    EXPECT_EQ(ino, Inode(path));
    EXPECT_EQ(after, ReadFile(path));
}

TEST_F(DaemonCfg, MissingElementsAreNotAdded)
{
    const std::string text = "(ModeClient){(AccountPass){(User){_DEV_u@g}}(Utilize){}}";
    ASSERT_TRUE(WriteFile(path, text));
    EXPECT_EQ(-1, save_kelvard_cfg(path.c_str(), "g2", "u2", "p2"));
    EXPECT_EQ(-1, save_kelvard_cfg(path.c_str(), 0));
    EXPECT_EQ(text, ReadFile(path));
    fs::remove(path);
    EXPECT_EQ(-1, save_kelvard_cfg(path.c_str(), 0));
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(DaemonCfg, ForwardSpeedEdit)
{
    ASSERT_TRUE(WriteFile(path, "(ForwardSpeed){7}(ModeClient){(Utilize){(ForwardSpeed){524288}}}"));
    ASSERT_EQ(0, save_kelvard_cfg(path.c_str(), 0));
    EXPECT_EQ("(ForwardSpeed){7}(ModeClient){(Utilize){(ForwardSpeed){0}}}", ReadFile(path));
    ASSERT_TRUE(WriteFile(path, "(ForwardSpeed){3}"));
    ASSERT_EQ(0, save_kelvard_cfg(path.c_str(), 1048576));
    EXPECT_EQ("(ForwardSpeed){1048576}", ReadFile(path));
}

TEST_F(DaemonCfg, FullDiskLeavesTheOldFile)
{
    std::string small = dir.Path() + "/small";
    ASSERT_TRUE(fs::create_directory(small));
    ASSERT_EQ(0, mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k,mode=0755")) << strerror(errno);
    std::string cfg = small + "/kelvard.cfg";
    const std::string text = "(AccountPass){(User){_DEV_u@g}(Pass){p}}";
    ASSERT_TRUE(WriteFile(cfg, text));
    // Fill the disk.
    {
        std::string chunk(4096, 'x');
        FILE* f = fopen((small + "/fill").c_str(), "w");
        ASSERT_NE(nullptr, f);
        while (fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size() && fflush(f) == 0)
        {
        }
        fclose(f);
    }
    EXPECT_EQ(-1, save_kelvard_cfg(cfg.c_str(), "g", std::string(100, 'u'), std::string(100, 'p')));
    KelvConMap cons;
    KelvCon con;
    con.remote = std::string(90, 'r');
    for (int i = 0; i < 40; i++)
    {
        con.seq = i;
        con.cliport = i;
        cons[i] = con;
    }
    EXPECT_FALSE(save_connects_cfg((small + "/connects.json").c_str(), cons));
    EXPECT_EQ(text, ReadFile(cfg));
    size_t files = 0;
    for (auto& e : fs::directory_iterator(small))
    {
        (void)e;
        files++;
    }
    EXPECT_EQ(2u, files) << "no temporary file is left";
    umount2(small.c_str(), MNT_DETACH);
}

TEST(DaemonHelpers, ReplaceDevID)
{
    const std::string tail = "(MacAddr){00}(OSType){Linux}";
    char buf[256];
    snprintf(buf, sizeof(buf), "(DevID){FAKE0123456789}%s", tail.c_str());
    ASSERT_TRUE(ReplaceDevID(buf, sizeof(buf), "_DEV_a@g"));
    EXPECT_EQ("(DevID){_DEV_a@g}" + tail, std::string(buf));
    ASSERT_TRUE(ReplaceDevID(buf, sizeof(buf), "_DEV_" + std::string(40, 'x') + "@g"));
    EXPECT_EQ("(DevID){_DEV_" + std::string(40, 'x') + "@g}" + tail, std::string(buf));
    ASSERT_TRUE(ReplaceDevID(buf, sizeof(buf), "_DEV_a{&@g"));
    EXPECT_EQ("(DevID){_DEV_a&E&G@g}" + tail, std::string(buf));
    // Refused: the result would not fit, no ID, no DevID element. The text stays.
    std::string keep = buf;
    EXPECT_FALSE(ReplaceDevID(buf, sizeof(buf), std::string(250, 'x')));
    EXPECT_FALSE(ReplaceDevID(buf, sizeof(buf), ""));
    EXPECT_EQ(keep, std::string(buf));
    snprintf(buf, sizeof(buf), "%s", tail.c_str());
    EXPECT_FALSE(ReplaceDevID(buf, sizeof(buf), "_DEV_a@g"));
    EXPECT_EQ(tail, std::string(buf));
}

class DaemonConnects : public DaemonCfg
{
protected:
    void SetUp() override
    {
        DaemonCfg::SetUp();
        path = dir.Path() + "/connects.json";
    }
    static KelvCon Con(const std::string& remote, int cliport)
    {
        KelvCon c;
        c.remote = remote;
        c.srvip = "10.0.0.5";
        c.srvport = 80;
        c.cliip = "127.0.0.1";
        c.cliport = cliport;
        return c;
    }
};

TEST_F(DaemonConnects, SaveCreatesTheFileAndRenumbers)
{
    KelvConMap cons;
    ASSERT_TRUE(save_connects_cfg(path.c_str(), cons));
    EXPECT_EQ("{\"connections\":[]}\n", ReadFile(path));
    EXPECT_EQ(0600u, Mode(path));
    cons[0] = Con("a", 1000);
    cons[1] = Con("b", 1001);
    cons[2] = Con("c", 1002);
    cons.erase(1);
    fs::remove(path);
    ASSERT_TRUE(save_connects_cfg(path.c_str(), cons));
    EXPECT_EQ("{\"connections\":[{\"cliip\":\"127.0.0.1\",\"cliport\":1000,\"flag\":0,\"remote\":\"a\",\"seq\":0,"
              "\"srvip\":\"10.0.0.5\",\"srvport\":80},{\"cliip\":\"127.0.0.1\",\"cliport\":1002,\"flag\":0,"
              "\"remote\":\"c\",\"seq\":1,\"srvip\":\"10.0.0.5\",\"srvport\":80}]}\n",
              ReadFile(path));
    KelvConMap loaded;
    ASSERT_TRUE(load_connects_cfg(path.c_str(), loaded));
    ASSERT_EQ(2u, loaded.size());
    EXPECT_EQ("a", loaded[0].remote);
    EXPECT_EQ("c", loaded[1].remote);
    EXPECT_EQ(1, loaded[1].seq);
}

TEST_F(DaemonConnects, LoadTakesOnlyValidRecords)
{
    ASSERT_TRUE(WriteFile(path,
        "{\"connections\":["
        "{\"seq\":5,\"remote\":\"first\",\"srvip\":\"h\",\"srvport\":1,\"cliip\":\"c\",\"cliport\":2,\"flag\":1},"
        "{\"seq\":5,\"remote\":\"second-same-seq\"},"
        "{\"seq\":2,\"remote\":\"x\",\"srvport\":\"80\"},"
        "{\"seq\":3,\"remote\":\"x\",\"srvport\":70000},"
        "{\"seq\":4,\"remote\":\"x\",\"cliport\":4294967295},"
        "{\"seq\":6,\"remote\":\"" + std::string(300, 'r') + "\"},"
        "{\"seq\":-1,\"remote\":\"neg\"},"
        "{\"seq\":7,\"remote\":\"x\",\"flag\":9},"
        "[1,2],\"text\",null,"
        "{\"seq\":1,\"remote\":\"ok\"}"
        "]}"));
    KelvConMap cons;
    ASSERT_TRUE(load_connects_cfg(path.c_str(), cons));
    ASSERT_EQ(2u, cons.size());
    EXPECT_EQ("ok", cons[0].remote);
    EXPECT_EQ(0, cons[0].seq);
    EXPECT_EQ("first", cons[1].remote);
    EXPECT_EQ(1, cons[1].flag);
    EXPECT_EQ(1, cons[1].seq);

    // Unusable files leave the map as it is.
    for (const char* bad : {"", "not json", "[]", "{\"connections\":{}}", "{\"connections\":[] } x",
                            "{\"x\":[]}"})
    {
        ASSERT_TRUE(WriteFile(path, bad));
        EXPECT_FALSE(load_connects_cfg(path.c_str(), cons)) << bad;
        EXPECT_EQ(2u, cons.size()) << bad;
    }
    fs::remove(path);
    EXPECT_FALSE(load_connects_cfg(path.c_str(), cons));
    EXPECT_EQ(2u, cons.size());

    // At most KELVCON_MAX_COUNT records are taken.
    std::string big = "{\"connections\":[";
    for (int i = 0; i < KELVCON_MAX_COUNT + 10; i++)
        big += std::string(i ? "," : "") + "{\"seq\":" + std::to_string(i) + "}";
    ASSERT_TRUE(WriteFile(path, big + "]}"));
    ASSERT_TRUE(load_connects_cfg(path.c_str(), cons));
    EXPECT_EQ((size_t)KELVCON_MAX_COUNT, cons.size());
}

TEST(DaemonLock, BytesAreHeldPerProcessAndTakenAtomically)
{
    ASSERT_TRUE(kvbox::PrivateInstallDir());
    int fd = kelvard_initlock();
    ASSERT_GE(fd, 0);
    int ready[2], done[2];
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, pipe(done));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        int cfd = kelvard_initlock();
        char c = kelvard_lock(cfd, KELVARD_LOCK_CLIENT) == 0 ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1 || read(done[0], &c, 1) < 0)
            _exit(1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    EXPECT_EQ('y', c);
    EXPECT_EQ(1, kelvard_islocked(fd, KELVARD_LOCK_CLIENT));
    EXPECT_EQ(-1, kelvard_lock(fd, KELVARD_LOCK_CLIENT));
    EXPECT_EQ(0, kelvard_islocked(fd, KELVARD_LOCK_DAEMON));
    EXPECT_EQ(0, kelvard_lock(fd, KELVARD_LOCK_DAEMON));
    ASSERT_EQ(1, write(done[1], "x", 1));
    int st = 0;
    waitpid(child, &st, 0);
    // The child's end released its byte.
    EXPECT_EQ(0, kelvard_islocked(fd, KELVARD_LOCK_CLIENT));
    EXPECT_EQ(0, kelvard_freelock(fd));
    EXPECT_EQ(-1, kelvard_islocked(fd, KELVARD_LOCK_CLIENT));
    fs::remove(std::string(kvbox::kInstallDir) + "/kelvard.lock");
    EXPECT_EQ(-1, kelvard_initlock()) << "the lock file is never created by the programs";
    for (int p : {ready[0], ready[1], done[0], done[1]})
        close(p);
}

TEST(DaemonLog, LineFormatAndSafeTexts)
{
    kvlab::TempDir dir;
    logname = dir.Path() + "/log";
    pid = 4242;
    KLOG("x %d", 5);
    std::string text = ReadFile(logname);
    std::regex re(
        "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} \\[DEBUG\\]\t\\[test_files\\.cpp,TestBody,[0-9]+\\]:\t"
        "\\[4242\\] x 5\n");
    EXPECT_TRUE(std::regex_match(text, re)) << text;
    EXPECT_EQ("a\\x0ab\\x1b", kelvard_log_safe(std::string("a\nb\x1b")));
    EXPECT_EQ("abc...", kelvard_log_safe(std::string("abcdef"), 3));
}

TEST(DaemonEvents, ForwardingStatusFromEvent15)
{
    kvlab::TempDir dir;
    logname = dir.Path() + "/log";
    const struct
    {
        const char* param;
        int before;
        int after;
    } cases[] = {
        {"{\"status\":2,\"sesscount\":0}", 0, 2},
        {"{\"status\": \t3}", 0, 3},
        {"{\"status\":x}", 1, 0},
        {"{status:2}", 1, 1},
        {"no pair here", 3, 3},
        {"", 2, 2},
        {nullptr, 2, 2},
        {"{\"s\":99999999999999}", 0, 2147483647},
    };
    for (auto& c : cases)
    {
        fwd_flag.store(c.before);
        TunnelEventProc(15, c.param);
        EXPECT_EQ(c.after, fwd_flag.load()) << (c.param ? c.param : "(null)");
    }
    // Event 2 only sets the login result; other events change nothing.
    login_result.store(0);
    fwd_flag.store(1);
    TunnelEventProc(7, "{\"status\":3}");
    EXPECT_EQ(0, login_result.load());
    TunnelEventProc(2, "{\"errcode\":20}");
    EXPECT_EQ(1, login_result.load());
    EXPECT_EQ(1, fwd_flag.load());
}
