// Settings file, home directory, root directory and its sub-directories, under a temporary HOME.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "kvLab.h"
#include "qvSandbox.h"
#include "qvSetting.h"

namespace fs = std::filesystem;

namespace
{
std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class SandboxTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("HOME", home.Path().c_str(), 1);
        cfg = home.Path() + "/qvSetting.cfg";
    }

    kvlab::TempDir home;
    std::string cfg;
};
}  // namespace

TEST_F(SandboxTest, ValueSetCreatesMissingElements)
{
    CQVSetting s;
    ASSERT_EQ(1u, s.Load(cfg.c_str()));  // missing file: empty document
    ASSERT_EQ(1u, s.ValueSet("SANDBOX.Home", "/data"));
    ASSERT_EQ(1u, s.Save());
    EXPECT_EQ("(SANDBOX)[]{(Home)[]{/data}}", ReadAll(cfg));

    ASSERT_EQ(1u, s.ValueSet("SANDBOX.Port", "1"));
    ASSERT_EQ(1u, s.ValueSet("A.B.C", "a(b)&{c}"));
    ASSERT_EQ(1u, s.ValueSet("SANDBOX.Home", "/other"));
    ASSERT_EQ(1u, s.Save());
    EXPECT_EQ("(SANDBOX)[]{(Home)[]{/other}(Port)[]{1}}(A)[]{(B)[]{(C)[]{a&Ab&B&G&Ec&F}}}", ReadAll(cfg));

    CQVSetting r;
    ASSERT_EQ(1u, r.Load(cfg.c_str()));
    EXPECT_STREQ("/other", r.ValueGet("SANDBOX.Home"));
    EXPECT_STREQ("a(b)&{c}", r.ValueGet("A.B.C"));
    EXPECT_EQ(nullptr, r.ValueGet("SANDBOX.Missing"));
    r.Clean();
    EXPECT_EQ(nullptr, r.ValueGet("SANDBOX.Home"));
    EXPECT_EQ(0u, r.ValueSet("X", "1"));
    EXPECT_EQ(0u, r.Save());
}

TEST_F(SandboxTest, ValueSetRefusesBadKeysAndLeavesDocument)
{
    std::ofstream(cfg) << "(K)[]{v}";
    CQVSetting s;
    ASSERT_EQ(1u, s.Load(cfg.c_str()));
    std::string c63(63, 'c'), c64(64, 'c');
    std::string longKey;
    for (int i = 0; i < 5; i++)
        longKey += (i ? "." : "") + std::string(60, 'k');  // 304 bytes, every part short
    EXPECT_EQ(1u, s.ValueSet(c63.c_str(), "ok"));
    for (const std::string& key : {std::string(""), std::string("A..B"), std::string(".A"), std::string("A."),
                                   "A." + c64, c64, longKey})
        EXPECT_EQ(0u, s.ValueSet(key.c_str(), "x")) << key;
    EXPECT_EQ(0u, s.ValueSet(nullptr, "x"));
    EXPECT_EQ(0u, s.ValueSet("K", nullptr));
    ASSERT_EQ(1u, s.Save());
    EXPECT_EQ("(K)[]{v}(" + c63 + ")[]{ok}", ReadAll(cfg));
}

TEST_F(SandboxTest, HostileSettingsFiles)
{
    const std::string cases[] = {
        "(((]]{{", "}{)(][", std::string("(SANDBOX)[]{(Home)[]{/a\0b}}", 27), "(SANDBOX)[]{(Home)[]{&", "&&&&&&",
        "(SANDBOX){(Home)", std::string(100000, '('),
    };
    for (const auto& content : cases)
    {
        std::ofstream(cfg, std::ios::binary | std::ios::trunc) << content;
        CQVSetting s;
        ASSERT_EQ(1u, s.Load(cfg.c_str()));
        s.ValueGet("SANDBOX.Home");
        s.ValueSet("SANDBOX.Home", "/x");
        char out[256];
        // Whatever the file holds, the home directory comes out as a usable path.
        ASSERT_EQ(1u, qvSandboxGetHome(out, sizeof(out)));
        EXPECT_TRUE(fs::is_directory(out)) << out;
    }
    // A file far beyond any settings file is refused, and setting the home leaves it alone.
    std::ofstream(cfg, std::ios::trunc) << "(K)[]{v}";
    fs::resize_file(cfg, 16 * 1024 * 1024 + 1);
    CQVSetting big;
    EXPECT_EQ(0u, big.Load(cfg.c_str()));
    EXPECT_EQ(0u, qvSandboxSetHome(home.Path().c_str()));
    EXPECT_EQ(16u * 1024 * 1024 + 1, fs::file_size(cfg));
    EXPECT_EQ("(K)[]{v}", ReadAll(cfg).substr(0, 8));

    // A file that cannot be written reports failure.
    CQVSetting s;
    std::string missingDir = home.Path() + "/no/such/dir/x.cfg";
    ASSERT_EQ(1u, s.Load(missingDir.c_str()));
    ASSERT_EQ(1u, s.ValueSet("A", "1"));
    EXPECT_EQ(0u, s.Save());
    EXPECT_EQ(0u, s.Load(nullptr));
    EXPECT_EQ(0u, s.Load(""));
}

TEST_F(SandboxTest, EmptyDocumentSaveEmptiesFile)
{
    std::ofstream(cfg) << "(K)[]{v}";
    const std::string empty = home.Path() + "/empty.cfg";
    std::ofstream{empty};
    CQVSetting s;
    ASSERT_EQ(1u, s.Load(empty.c_str()));
    EXPECT_EQ(nullptr, s.ValueGet("K"));
    std::ofstream(empty) << "(K)[]{written meanwhile}";
    ASSERT_EQ(1u, s.Save());
    EXPECT_EQ("", ReadAll(empty));
    ASSERT_EQ(1u, s.Load(cfg.c_str()));
    EXPECT_STREQ("v", s.ValueGet("K"));
}

// A settings file that exists but cannot be read is not an empty one: loading it fails, and
// setting the home leaves its content alone instead of overwriting it.
TEST_F(SandboxTest, UnreadableSettingsFileIsKept)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a child as another user";
    const std::string content = "(Other)[]{1}";
    std::ofstream(cfg) << content;
    // Write-only for the unprivileged user the child becomes.
    const uid_t kNobody = 65534;
    ASSERT_EQ(0, chmod(home.Path().c_str(), 0755));
    ASSERT_EQ(0, chown(cfg.c_str(), kNobody, kNobody));
    ASSERT_EQ(0, chmod(cfg.c_str(), 0200));
    kvlab::Process p = kvlab::RunChild({}, [&]() -> int {
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0)
            return 2;
        if (qvSandboxSetHome("/elsewhere") != 0)
            return 3;
        CQVSetting s;
        return s.Load(cfg.c_str()) == 0 ? 0 : 4;
    });
    int code = -1;
    ASSERT_TRUE(p.Wait(30000, &code)) << p.Output();
    EXPECT_EQ(0, code) << p.Output();
    EXPECT_EQ(content, ReadAll(cfg));
}

TEST_F(SandboxTest, HomeFromSettingsFileOrEnvironment)
{
    char out[4096];
    ASSERT_EQ(1u, qvSandboxGetHome(out, sizeof(out)));
    EXPECT_EQ(home.Path(), out);

    std::ofstream(cfg) << "(Other)[]{1}";
    kvlab::TempDir lib;
    ASSERT_EQ(1u, qvSandboxSetHome(lib.Path().c_str()));
    EXPECT_EQ("(Other)[]{1}(SANDBOX)[]{(Home)[]{" + lib.Path() + "}}", ReadAll(cfg));
    ASSERT_EQ(1u, qvSandboxGetHome(out, sizeof(out)));
    EXPECT_EQ(lib.Path(), out);
    // Too small for the stored home and for the environment's one (of the same length).
    EXPECT_EQ(0u, qvSandboxGetHome(out, (u32)lib.Path().size()));

    // A stored home that is not a directory is passed over.
    ASSERT_EQ(1u, qvSandboxSetHome((lib.Path() + "/gone").c_str()));
    ASSERT_EQ(1u, qvSandboxGetHome(out, sizeof(out)));
    EXPECT_EQ(home.Path(), out);
    EXPECT_EQ(0u, qvSandboxSetHome(nullptr));
}

TEST_F(SandboxTest, RootAndSubDirectories)
{
    ASSERT_EQ(1u, qvSandboxSetRoot(""));
    char out[4096];
    ASSERT_EQ(1u, qvSandboxGetRoot(out, sizeof(out)));
    std::string root = home.Path() + "/Quarlin";
    EXPECT_EQ(root, out);
    EXPECT_TRUE(fs::is_directory(root));
    EXPECT_EQ(0u, qvSandboxGetRoot(out, (u32)root.size()));

    std::string log = root + "/Log";
    EXPECT_EQ(0u, qvSandboxGetSub("Log", out, sizeof(out), 0));
    EXPECT_FALSE(fs::exists(log));
    // A path that would have to be cut is refused, and nothing is created for it.
    EXPECT_EQ(0u, qvSandboxGetSub("Log", out, (u32)log.size(), 1));
    ASSERT_EQ(1u, qvSandboxGetSub("Log", out, (u32)log.size() + 1, 1));
    EXPECT_EQ(log, out);
    EXPECT_TRUE(fs::is_directory(log));
    ASSERT_EQ(1u, qvSandboxGetSub("Log", out, sizeof(out), 0));
    EXPECT_EQ(0u, qvSandboxGetSub(nullptr, out, sizeof(out), 1));
    EXPECT_EQ(0u, qvSandboxGetSub("missing/deeper", out, sizeof(out), 1));

    // A root of the caller's choice is created; one that cannot be created is refused.
    std::string custom = home.Path() + "/custom";
    ASSERT_EQ(1u, qvSandboxSetRoot(custom.c_str()));
    ASSERT_EQ(1u, qvSandboxGetSub("Data", out, sizeof(out), 1));
    EXPECT_EQ(custom + "/Data", out);
    std::ofstream(home.Path() + "/file");
    EXPECT_EQ(0u, qvSandboxSetRoot((home.Path() + "/file/sub").c_str()));
    ASSERT_EQ(1u, qvSandboxGetRoot(out, sizeof(out)));
    EXPECT_EQ(custom, out);

    // The default root follows the home recorded in the settings file.
    kvlab::TempDir lib;
    ASSERT_EQ(1u, qvSandboxSetHome(lib.Path().c_str()));
    ASSERT_EQ(1u, qvSandboxSetRoot(nullptr));
    ASSERT_EQ(1u, qvSandboxGetRoot(out, sizeof(out)));
    EXPECT_EQ(lib.Path() + "/Quarlin", out);
    EXPECT_EQ(1u, qvSandboxCheck("/anything"));
    EXPECT_EQ(1u, qvSandboxInit(0));
}

TEST_F(SandboxTest, RootLongerThanLimitIsRefused)
{
    // "<home>/Quarlin" may take at most 255 bytes.
    std::string deep = home.Path();
    while (deep.size() < 247)
        deep += "/" + std::string(std::min<size_t>(40, 247 - deep.size() - 1), 'd');
    fs::create_directories(deep);
    ASSERT_EQ(255u, deep.size() + 8) << deep;
    setenv("HOME", deep.c_str(), 1);
    EXPECT_EQ(1u, qvSandboxSetRoot(""));
    deep += "x";
    fs::create_directories(deep);
    setenv("HOME", deep.c_str(), 1);
    EXPECT_EQ(0u, qvSandboxSetRoot(""));
    char out[512];
    setenv("HOME", home.Path().c_str(), 1);
    ASSERT_EQ(1u, qvSandboxGetRoot(out, sizeof(out)));  // a later request computes it again
    EXPECT_EQ(home.Path() + "/Quarlin", out);
}
