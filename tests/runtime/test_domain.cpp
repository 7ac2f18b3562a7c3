// Name resolution. Literal and internal texts need no resolver; host names are resolved in a
// forked child that enters a private mount namespace and bind-mounts its own /etc/hosts and
// /etc/nsswitch.conf ("hosts: files"), so no DNS server is ever asked.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "kvLab.h"
#include "qvDomain.h"
#include "qvUtilize.h"

namespace {

QV_ADDR_S A(const char* lpszIP, u16 uPort = 0)
{
    QV_ADDR_S Addr;
    memset(&Addr, 0, sizeof(Addr));
    if (strchr(lpszIP, ':'))
        inet_pton(AF_INET6, lpszIP, Addr.uAddr);
    else
        inet_pton(AF_INET, lpszIP, &Addr.uAddr[3]);
    Addr.uPort = uPort;
    return Addr;
}

bool Same(const QV_ADDR_S& a, const QV_ADDR_S& b)
{
    return memcmp(&a, &b, sizeof(a)) == 0;
}

TEST(DomainText, LiteralsAndInternalForms)
{
    struct {
        const char* lpszText;
        u32 uIPVer, uCount;
        const char* lpszIP;
        u16 uPort;
    } cases[] = {
        {"1.2.3.4:80", 2, 1, "1.2.3.4", 80},
        {"1.2.3.4", 0, 1, "1.2.3.4", 0},
        {"1.2.3.4:65535", 2, 1, "1.2.3.4", 65535},
        {"1.2.3.4:65536", 2, 0, nullptr, 0},
        {"1.2.3.4:4294967376", 2, 0, nullptr, 0}, // 2^32 + 80 must not wrap to port 80
        {"1.2.3.4:000000000000080", 2, 1, "1.2.3.4", 80},
        {"1.2.3.4:8a", 2, 0, nullptr, 0},
        {"[2001:db8::1]:443", 2, 1, "2001:db8::1", 443},
        {"[2001:db8::1]:443", 1, 1, "2001:db8::1", 443},
        {"[2001:db8::1]", 2, 0, nullptr, 0}, // the port part is "1]"
        {"0:0:0:a000001:80:0", 2, 1, "10.0.0.1", 80},
        {"0:0:0:10.0.0.1:80:0", 0, 1, "10.0.0.1", 80},
        {"a:b:c:d:e", 2, 0, nullptr, 0},        // internal form: parsed, not resolved
        {"1.2.3.4:80", 3, 0, nullptr, 0},       // no such IP version
    };
    for (auto& c : cases) {
        QV_ADDR_S Out[4];
        u32 uIsName = 7;
        EXPECT_EQ(c.uCount, qvDomainToAddr(c.lpszText, c.uIPVer, Out, 4, &uIsName, 0, 1))
            << c.lpszText;
        if (c.uCount) {
            EXPECT_TRUE(Same(A(c.lpszIP, c.uPort), Out[0])) << c.lpszText;
            EXPECT_EQ(0u, uIsName) << c.lpszText;
        }
    }

    QV_ADDR_S Out[2];
    memset(Out, 0xFF, sizeof(Out));
    u32 uIsName = 7;
    EXPECT_EQ(1u, qvDomainToAddr("", 2, Out, 2, &uIsName, 0, 0));
    EXPECT_TRUE(Same(A("0.0.0.0"), Out[0]));
    EXPECT_EQ(0u, uIsName);
    EXPECT_EQ(0u, qvDomainToAddr("", 2, Out, 0, nullptr, 0, 0));
    EXPECT_EQ(0u, qvDomainToAddr(nullptr, 2, Out, 2, nullptr, 0, 0));
    EXPECT_EQ(1u, qvDomainToAddr("1.2.3.4:1", 2, Out, 2, nullptr, 0, 0)); // null flag allowed

    // Literals and internal forms have no cache entry to drop.
    EXPECT_EQ(0u, qvDomainDiscard("1.2.3.4:80", 2));
    EXPECT_EQ(0u, qvDomainDiscard("[2001:db8::1]:80", 2));
    EXPECT_EQ(0u, qvDomainDiscard("0:0:0:a000001:80:0", 2));
    EXPECT_EQ(0u, qvDomainDiscard("host:8a", 2));
    EXPECT_EQ(1u, qvDomainDiscard("never-asked.test:80", 2));
}

// ---------------------------------------------------------------------------------------------
// Child side

#define CHECK(cond)                                                                      \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);     \
            return __LINE__;                                                             \
        }                                                                                \
    } while (0)

// How long a caller waits for an answer. Lookups end early (answered or failed), so this only
// has to be generous enough for a loaded machine.
const u32 kWaitMs = 30000;
// How long a child that runs a whole sequence of such lookups may take.
const int kChildMs = 120000;

const char* const HOSTS =
    "127.0.0.1 localhost\n"
    "10.1.2.3 alpha.test\n"
    "10.1.2.4 multi.test\n"
    "10.1.2.5 multi.test\n"
    "10.1.2.6 multi.test\n"
    "fd00::7 six.test\n"
    "10.1.2.8 dual.test\n"
    "fd00::8 dual.test\n";

bool WriteFile(const std::string& strPath, const std::string& strText)
{
    std::ofstream F(strPath, std::ios::trunc); // same inode: the bind mount sees the change
    F << strText;
    return F.good();
}

// The child's own resolver files, bind-mounted over /etc in a private mount namespace.
bool PrivateResolver(const std::string& strDir, const std::string& strHosts,
                     const std::string& strNss = "hosts: files\n",
                     const std::string& strResolv = "")
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        return false;
    struct {
        std::string strName, strText;
    } files[] = {{"hosts", strHosts}, {"nsswitch.conf", strNss}, {"resolv.conf", strResolv}};
    for (auto& f : files) {
        if (f.strName == "resolv.conf" && f.strText.empty())
            continue;
        std::string strSrc = strDir + "/" + f.strName, strDst = "/etc/" + f.strName;
        if (!WriteFile(strSrc, f.strText) ||
            mount(strSrc.c_str(), strDst.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return false;
    }
    return true;
}

std::string HostsPath(const std::string& strDir)
{
    return strDir + "/hosts";
}

// Runs fn in a child with the private resolver files; the test fails with the child's output
// unless fn returned 0.
void InChild(const std::function<int(const std::string&)>& fn, const std::string& strHosts = HOSTS)
{
    kvlab::TempDir Dir;
    std::string strDir = Dir.Path();
    kvlab::Process P = kvlab::RunChild({}, [&] {
        if (!PrivateResolver(strDir, strHosts)) {
            perror("private resolver files");
            return 100;
        }
        return fn(strDir);
    });
    int iExit = -1;
    ASSERT_TRUE(P.Wait(kChildMs, &iExit)) << P.Output();
    EXPECT_EQ(0, iExit) << P.Output();
}

// Polls a name with waitMs 0 until it gives addresses (result) or kWaitMs passed (0).
u32 PollName(const char* lpszText, u32 uIPVer, QV_ADDR_S* lpOut, u32 uMax)
{
    u32 uCount = 0;
    kvlab::WaitUntil(
        [&] { return (uCount = qvDomainToAddr(lpszText, uIPVer, lpOut, uMax, nullptr, 0, 1)); },
        kWaitMs);
    return uCount;
}

TEST(Resolver, HostNamesThroughTheCache)
{
    InChild([](const std::string&) {
        QV_ADDR_S Out[8];
        u32 uIsName = 0;
        // waitMs 0: one look, the worker starts; a later call finds the answer.
        CHECK(qvDomainToAddr("alpha.test:99", 2, Out, 8, &uIsName, 0, 0) == 0);
        CHECK(uIsName == 1);
        CHECK(PollName("alpha.test:99", 2, Out, 8) == 1);
        CHECK(Same(A("10.1.2.3", 99), Out[0]));

        // With a wait the first call already answers.
        uIsName = 0;
        CHECK(qvDomainToAddr("six.test:7", 1, Out, 8, &uIsName, kWaitMs, 0) == 1);
        CHECK(uIsName == 1);
        CHECK(Same(A("fd00::7", 7), Out[0]));
        CHECK(qvDomainToAddr("six.test", 0, Out, 8, nullptr, kWaitMs, 1) == 0);

        // IP versions: each is its own cache entry; 2 follows the process-wide setting.
        CHECK(qvDomainToAddr("dual.test:1", 0, Out, 8, nullptr, kWaitMs, 1) == 1);
        CHECK(Same(A("10.1.2.8", 1), Out[0]));
        CHECK(qvDomainToAddr("dual.test:1", 1, Out, 8, nullptr, kWaitMs, 1) == 1);
        CHECK(Same(A("fd00::8", 1), Out[0]));
        CHECK(qvDomainToAddr("dual.test:1", 2, Out, 8, nullptr, kWaitMs, 1) == 2);
        qvDomainIPVersion(0);
        CHECK(qvDomainToAddr("dual.test:1", 2, Out, 8, nullptr, kWaitMs, 1) == 1);
        CHECK(Same(A("10.1.2.8", 1), Out[0]));
        qvDomainIPVersion(3); // ignored
        CHECK(qvDomainToAddr("dual.test:1", 2, Out, 8, nullptr, kWaitMs, 1) == 1);
        qvDomainIPVersion(2);

        // At most max addresses; an unknown name fails; a port above 65535 is refused.
        CHECK(qvDomainToAddr("multi.test", 0, Out, 2, nullptr, kWaitMs, 1) == 2);
        CHECK(qvDomainToAddr("nobody.test:80", 2, Out, 8, nullptr, kWaitMs, 1) == 0);
        CHECK(qvDomainToAddr("alpha.test:65536", 2, Out, 8, nullptr, kWaitMs, 1) == 0);
        CHECK(qvDomainToAddr("alpha.test:4294967297", 2, Out, 8, nullptr, kWaitMs, 1) == 0);
        CHECK(qvDomainToAddr("alpha.test:8a", 2, Out, 8, nullptr, kWaitMs, 1) == 0);
        return 0;
    });
}

TEST(Resolver, FailedNamesAreAskedAgainResolvedOnesReused)
{
    InChild([](const std::string& strDir) {
        QV_ADDR_S Out[8];
        CHECK(qvDomainToAddr("later.test", 2, Out, 8, nullptr, kWaitMs, 0) == 0);
        CHECK(qvDomainToAddr("alpha.test", 2, Out, 8, nullptr, kWaitMs, 0) == 1);

        // The resolver configuration changes: a failed name is asked again at once, a
        // resolved one keeps its cached answer until it is discarded.
        CHECK(WriteFile(HostsPath(strDir), "10.5.5.5 later.test\n10.9.9.9 alpha.test\n"));
        CHECK(qvDomainToAddr("later.test", 2, Out, 8, nullptr, kWaitMs, 0) == 1);
        CHECK(Same(A("10.5.5.5"), Out[0]));
        CHECK(qvDomainToAddr("alpha.test", 2, Out, 8, nullptr, kWaitMs, 0) == 1);
        CHECK(Same(A("10.1.2.3"), Out[0]));
        CHECK(qvDomainDiscard("alpha.test:80", 2) == 1);
        CHECK(qvDomainToAddr("alpha.test", 2, Out, 8, nullptr, kWaitMs, 0) == 1);
        CHECK(Same(A("10.9.9.9"), Out[0]));
        return 0;
    });
}

TEST(Resolver, RandomStartKeepsListOrder)
{
    InChild([](const std::string&) {
        QV_ADDR_S List[8], Out[8];
        qvDomainRandom(0);
        CHECK(qvResolution("multi.test", 0, List, 8, 1) == 3);
        for (int i = 0; i < 20; i++) { // without the random setting: always the same start
            CHECK(qvResolution("multi.test", 0, Out, 8, 0) == 3);
            CHECK(Same(List[0], Out[0]));
        }
        qvDomainRandom(1);
        std::set<int> starts;
        for (int i = 0; i < 60; i++) {
            CHECK(qvResolution("multi.test", 0, Out, 8, 0) == 3);
            int k = -1;
            for (int j = 0; j < 3; j++)
                if (Same(Out[0], List[j]))
                    k = j;
            CHECK(k >= 0);
            for (int j = 0; j < 3; j++)
                CHECK(Same(Out[j], List[(k + j) % 3])); // all three, wrapping
            starts.insert(k);
        }
        CHECK(starts.size() >= 2);
        CHECK(qvResolution("multi.test", 0, Out, 1, 0) == 1);
        CHECK(qvResolution("nobody.test", 2, Out, 8, 1) == 0);
        CHECK(qvResolution("six.test", 0, Out, 8, 0) == 0); // no usable IPv4 answer
        return 0;
    });
}

// A cache whose clock the test sets.
class ClockDomain : public CQVAsyncDomain {
public:
    ~ClockDomain() override { Clean(); }
    std::atomic<u32> uNow{1000};

protected:
    u32 Now() override { return uNow; }
};

TEST(Resolver, EntriesAgeAfter120Seconds)
{
    InChild([](const std::string& strDir) {
        ClockDomain D;
        QV_ADDR_S Out[8];
        CHECK(D.Resolution("alpha.test", 0, Out, 8, kWaitMs, 0) == 1);
        CHECK(D.Resolution("six.test", 1, Out, 8, kWaitMs, 0) == 1);
        CHECK(WriteFile(HostsPath(strDir), "10.9.9.9 alpha.test\n"));

        D.uNow = 1000 + QV_DOMAIN_ENTRY_AGE; // not older yet: the cached answer
        CHECK(D.Resolution("alpha.test", 0, Out, 8, 0, 0) == 1);
        CHECK(Same(A("10.1.2.3"), Out[0]));
        CHECK(D.EntryState("six.test", 1) == QV_DOMAIN_RESOLVED);

        D.uNow = 1000 + QV_DOMAIN_ENTRY_AGE + 1; // older: asked again; others dropped
        CHECK(D.Resolution("alpha.test", 0, Out, 8, kWaitMs, 0) == 1);
        CHECK(Same(A("10.9.9.9"), Out[0]));
        CHECK(D.EntryState("six.test", 1) == QV_NOT_FOUND);
        CHECK(D.EntryState("alpha.test", 0) == QV_DOMAIN_RESOLVED);

        // The clock wraps around 32 bits without losing the age.
        D.uNow = 0xFFFFFF00u;
        CHECK(D.Resolution("alpha.test", 0, Out, 8, kWaitMs, 0) == 1);
        D.uNow = 0xFFFFFF00u + 1000; // wrapped
        CHECK(D.Resolution("alpha.test", 0, Out, 8, 0, 0) == 1);
        D.Discard("alpha.test", 0);
        CHECK(D.EntryState("alpha.test", 0) == QV_NOT_FOUND);
        CHECK(D.RequestCount() == 0);
        return 0;
    });
}

TEST(Resolver, RequestsFreedAfterTheirThreadsEnd)
{
    // Callers on several threads sweep without pause while the workers of many names finish:
    // each request must be freed only after its thread has ended (the sanitizer build sees
    // any use after free).
    const int NAMES = 160;
    std::string strHosts = HOSTS;
    for (int i = 0; i < NAMES; i++)
        strHosts += "10.2." + std::to_string((i + 1) / 256) + "." + std::to_string((i + 1) % 256) + " n" + std::to_string(i) + ".test\n";
    InChild(
        [NAMES](const std::string&) {
            CQVAsyncDomain D;
            std::atomic<int> iBad(0);
            auto Caller = [&](int iFirst) {
                QV_ADDR_S Out[8];
                for (int k = 0; k < NAMES; k++) {
                    int i = (iFirst + k) % NAMES;
                    std::string strName = "n" + std::to_string(i) + ".test";
                    // No pause between calls: every call sweeps the finished requests.
                    u32 uCount = 0;
                    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
                    while (!(uCount = D.Resolution(strName.c_str(), 0, Out, 8, 0, 0)) &&
                           std::chrono::steady_clock::now() < tEnd)
                        sched_yield();
                    if (uCount != 1 || Out[0].uAddr[3] != htonl(0x0A020000u + (u32)i + 1))
                        iBad++;
                }
            };
            std::thread T1(Caller, 0), T2(Caller, NAMES / 4), T3(Caller, NAMES / 2),
                T4(Caller, NAMES * 3 / 4);
            T1.join();
            T2.join();
            T3.join();
            T4.join();
            CHECK(iBad == 0);
            QV_ADDR_S Out[8];
            CHECK(kvlab::WaitUntil(
                [&] {
                    D.Resolution("alpha.test", 0, Out, 8, 0, 0);
                    return D.RequestCount() == 0;
                },
                kWaitMs));
            return 0;
        },
        strHosts);
}

u32 ThreadCount()
{
    std::ifstream F("/proc/self/status");
    std::string strLine;
    while (std::getline(F, strLine))
        if (strLine.rfind("Threads:", 0) == 0)
            return (u32)std::stoul(strLine.substr(8));
    return 0;
}

TEST(Resolver, CleanWhileAWorkerIsBlocked)
{
    // A name server on the child's own loopback that never answers keeps a worker inside the
    // system resolver while the cache is cleaned and destroyed.
    kvlab::TempDir Dir;
    std::string strDir = Dir.Path();
    kvlab::Process P = kvlab::RunChild({}, [&] {
        if (unshare(CLONE_NEWNET) != 0)
            return 101;
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        struct ifreq Ifr;
        memset(&Ifr, 0, sizeof(Ifr));
        strcpy(Ifr.ifr_name, "lo");
        CHECK(ioctl(fd, SIOCGIFFLAGS, &Ifr) == 0);
        Ifr.ifr_flags |= IFF_UP;
        CHECK(ioctl(fd, SIOCSIFFLAGS, &Ifr) == 0);
        close(fd);
        int fdDns = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in Sa;
        memset(&Sa, 0, sizeof(Sa));
        Sa.sin_family = AF_INET;
        Sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Sa.sin_port = htons(53);
        CHECK(bind(fdDns, (struct sockaddr*)&Sa, sizeof(Sa)) == 0);
        CHECK(PrivateResolver(strDir, "127.0.0.1 localhost\n", "hosts: files dns\n",
                              "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"));

        // A helper thread a sanitizer starts with the first thread of the process must not
        // count as the worker.
        std::thread([] {}).join();
        u32 uThreads = ThreadCount();
        CQVAsyncDomain* lpD = new CQVAsyncDomain;
        QV_ADDR_S Out[8];
        CHECK(lpD->Resolution("slow.test", 0, Out, 8, 0, 0) == 0);
        CHECK(lpD->RequestCount() == 1);
        CHECK(ThreadCount() == uThreads + 1);
        delete lpD; // cleans while the worker waits for the silent server
        // The disowned worker ends by itself once the resolver gives up.
        CHECK(kvlab::WaitUntil([&] { return ThreadCount() == uThreads; }, kWaitMs));
        close(fdDns);
        return 0;
    });
    int iExit = -1;
    ASSERT_TRUE(P.Wait(kChildMs, &iExit)) << P.Output();
    EXPECT_EQ(0, iExit) << P.Output();
}

} // namespace
