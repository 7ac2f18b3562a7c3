// Device ID file, MAC address and the system information text. Every test runs in a child with
// a private tmpfs over /var and a network namespace of its own (no interface but lo unless
// the test adds one).
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "kvLab.h"
#include "qvOMLParser.h"
#include "qvSysUti.h"

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

void WriteAll(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool IsNewId(const std::string& id)
{
    return std::regex_match(id, std::regex("[0-9A-F]{20}"));
}

#define CHILD_CHECK(cond)                                                                \
    do                                                                                   \
    {                                                                                    \
        if (!(cond))                                                                     \
        {                                                                                \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);    \
            return 1;                                                                    \
        }                                                                                \
    } while (0)

void RunIsolated(const std::function<int()>& fn)
{
    kvlab::RunOptions opt;
    opt.tmpfs = {"/var"};
    kvlab::Process p = kvlab::RunChild(opt, [&fn]() -> int {
        if (unshare(CLONE_NEWNET) != 0)
        {
            perror("unshare(CLONE_NEWNET)");
            return 2;
        }
        return fn();
    });
    int code = -1;
    ASSERT_TRUE(p.Wait(30000, &code)) << p.Output();
    EXPECT_EQ(0, code) << p.Output();
}

const char* const kSysInfoTail = "(CpuMHz){0}(MemSize){0}(BrwVer){}(OSVer){}(OSSpk){}(OSType){Linux}";
}  // namespace

TEST(SysInfoTest, StoredIdGoesEscapedIntoSysInfo)
{
    kvlab::TempDir dir;
    RunIsolated([&] {
        const std::string id = "dev(1){x}&y[z]";
        WriteAll(dir.Path() + "/.qvDevID.id", id);
        char out[256];
        CHILD_CHECK(CQVSysUti::GetDevID(dir.Path().c_str(), out, sizeof(out)) == 1);
        CHILD_CHECK(id == out);
        CHILD_CHECK(CQVSysUti::GetSysInfo(dir.Path().c_str(), out, sizeof(out)) == 1);
        CHILD_CHECK(std::string("(DevID){dev&A1&B&Ex&F&Gy&Cz&D}(MacAddr){}") + kSysInfoTail == out);
        // The text stays one document whose DevID element reads back as stored.
        IQVOMLParser* parser = qvNewOMLParser();
        IQVString* doc = qvNewString(out);
        CHILD_CHECK(parser && doc);
        const char* got = parser->GetContent(doc, "DevID");
        CHILD_CHECK(got && id == got);
        got = parser->GetContent(doc, "OSType");
        CHILD_CHECK(got && std::string("Linux") == got);
        doc->Delete();
        parser->Delete();
        CHILD_CHECK(!fs::exists("/var/.qvDevID.id"));

        char small[40];
        CHILD_CHECK(CQVSysUti::GetSysInfo(dir.Path().c_str(), small, sizeof(small)) == 0);
        CHILD_CHECK(CQVSysUti::GetDevID(dir.Path().c_str(), out, 31) == 0);
        return 0;
    });
}

TEST(SysInfoTest, DeviceIdFileContents)
{
    struct Case
    {
        std::string content;
        std::string expect;  // "" = a new ID replaces the content
    };
    const Case cases[] = {
        {"abc", ""},
        {"", ""},
        {std::string("ab\0cdef", 7), ""},  // the text ends at the zero: too short
        {"abcd", "abcd"},
        {std::string("abcdef\0xyz", 10), "abcdef"},
        {std::string(300, 'A'), std::string(255, 'A')},  // at most 255 bytes are read
    };
    kvlab::TempDir dir;
    RunIsolated([&] {
        std::string path = dir.Path() + "/.qvDevID.id";
        for (const auto& c : cases)
        {
            WriteAll(path, c.content);
            char out[256];
            CHILD_CHECK(CQVSysUti::GetDevID(dir.Path().c_str(), out, sizeof(out)) == 1);
            if (c.expect.empty())
            {
                CHILD_CHECK(IsNewId(out));
                CHILD_CHECK(ReadAll(path) == out);
            }
            else
            {
                CHILD_CHECK(c.expect == out);
                CHILD_CHECK(ReadAll(path) == c.content);
            }
        }
        // A stored ID too long for the caller is an error; the file keeps it.
        WriteAll(path, std::string(100, 'B'));
        char out[64];
        CHILD_CHECK(CQVSysUti::GetDevID(dir.Path().c_str(), out, sizeof(out)) == 0);
        CHILD_CHECK(CQVSysUti::GetSysInfo(dir.Path().c_str(), out, sizeof(out)) == 0);
        CHILD_CHECK(ReadAll(path) == std::string(100, 'B'));
        return 0;
    });
}

TEST(SysInfoTest, FallbackToVarAndFailureWhenNothingIsWritable)
{
    kvlab::TempDir dir;
    RunIsolated([&] {
        std::string missing = dir.Path() + "/missing";
        char first[64], again[64];
        CHILD_CHECK(CQVSysUti::GetDevID(missing.c_str(), first, sizeof(first)) == 1);
        CHILD_CHECK(IsNewId(first));
        CHILD_CHECK(ReadAll("/var/.qvDevID.id") == first);
        CHILD_CHECK(CQVSysUti::GetDevID(nullptr, again, sizeof(again)) == 1);
        CHILD_CHECK(std::string(first) == again);

        // The directory's file is read first, /var's when it has none.
        WriteAll("/var/.qvDevID.id", "VARID123");
        CHILD_CHECK(CQVSysUti::GetDevID(dir.Path().c_str(), again, sizeof(again)) == 1);
        CHILD_CHECK(std::string("VARID123") == again);

        // A failed try is removed and tried again: a link to a full device becomes a file.
        std::string path = dir.Path() + "/.qvDevID.id";
        fs::remove("/var/.qvDevID.id");
        fs::create_symlink("/dev/full", path);
        CHILD_CHECK(CQVSysUti::GetDevID(dir.Path().c_str(), again, sizeof(again)) == 1);
        CHILD_CHECK(!fs::is_symlink(path));
        CHILD_CHECK(ReadAll(path) == again);

        fs::remove("/var/.qvDevID.id");
        CHILD_CHECK(mount(nullptr, "/var", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0);
        CHILD_CHECK(CQVSysUti::GetDevID(missing.c_str(), again, sizeof(again)) == 0);
        CHILD_CHECK(CQVSysUti::GetSysInfo(missing.c_str(), again, sizeof(again)) == 0);
        return 0;
    });
}

TEST(SysInfoTest, MacAddressFromNamedInterfaces)
{
    std::string why;
    if (!kvlab::CanMakeNamespaces(&why))
        GTEST_SKIP() << "needs root and ip: " << why;
    kvlab::TempDir dir;
    RunIsolated([&] {
        char mac[13];
        CHILD_CHECK(CQVSysUti::GetMacAddr(mac, sizeof(mac)) == 0);
        // eth comes before wl, whatever the numbers; other names are not asked for.
        CHILD_CHECK(kvlab::Sh("ip link add wl0 type veth peer name xa0 && "
                              "ip link set wl0 address 02:00:00:00:00:01 && "
                              "ip link add eth3 type veth peer name xb0 && "
                              "ip link set eth3 address 02:ab:cd:ef:12:34 && "
                              "ip link add br5 type veth peer name xc0") == 0);
        CHILD_CHECK(CQVSysUti::GetMacAddr(mac, 12) == 0);
        CHILD_CHECK(CQVSysUti::GetMacAddr(mac, sizeof(mac)) == 1);
        CHILD_CHECK(std::string("02ABCDEF1234") == mac);

        char id[64], info[256];
        CHILD_CHECK(CQVSysUti::GetDevID(dir.Path().c_str(), id, sizeof(id)) == 1);
        CHILD_CHECK(IsNewId(id) && std::string(id).rfind("02ABCDEF1234", 0) == 0);
        CHILD_CHECK(CQVSysUti::GetSysInfo(dir.Path().c_str(), info, sizeof(info)) == 1);
        CHILD_CHECK(std::string("(DevID){") + id + "}(MacAddr){02ABCDEF1234}" + kSysInfoTail == info);
        return 0;
    });
}
