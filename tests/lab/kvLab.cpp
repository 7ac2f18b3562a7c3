// Network lab and process helpers for the tests (see kvLab.h).
#include "kvLab.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace kvlab {

namespace {

const char kNetnsDir[] = "/var/run/netns/";
const char kEtcNetnsDir[] = "/etc/netns/";
// Shared by every test program on the machine, on purpose (see NsLock).
const char kNsLockPath[] = "/tmp/kvlab-netns.lock";

// Poll interval of every wait helper: short enough not to slow tests, long enough not to spin.
const int kPollMs = 5;

std::string Quote(const std::string& s)
{
    std::string r = "'";
    for (char c : s) {
        if (c == '\'')
            r += "'\\''";
        else
            r += c;
    }
    return r + "'";
}

std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char* fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return buf;
}

bool PidAlive(pid_t pid)
{
    return kill(pid, 0) == 0 || errno != ESRCH;
}

// Parses "kvl<pid>-..." and gives the pid, or 0 when the name does not follow the pattern.
pid_t LabPidOf(const std::string& name)
{
    if (name.compare(0, 3, "kvl") != 0)
        return 0;
    size_t i = 3;
    long pid = 0;
    while (i < name.size() && isdigit(static_cast<unsigned char>(name[i])) && pid < 100000000)
        pid = pid * 10 + (name[i++] - '0');
    if (i == 3 || i >= name.size() || name[i] != '-')
        return 0;
    return static_cast<pid_t>(pid);
}

// A lock that all test programs on the machine share, held while namespaces are made
// (shared) and while the stale ones of dead programs are looked for and deleted (exclusive).
// Pids are reused: without it, a program could judge a namespace stale just before a new
// program with the same pid makes one of that very name, and delete the live one. The first
// namespace made on a machine is also made exclusively (see CanMakeNamespaces).
class NsLock {
public:
    explicit NsLock(int op)
    {
        m_fd = open(kNsLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            while (flock(m_fd, op) != 0 && errno == EINTR) {
            }
        }
    }
    ~NsLock()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    NsLock(const NsLock&) = delete;
    NsLock& operator=(const NsLock&) = delete;

private:
    int m_fd = -1;
};

// Kills every process inside the namespace, waits (bounded) until none is left, deletes it.
bool DeleteNs(const std::string& ns)
{
    for (int round = 0; round < 3; ++round) {
        std::string pids;
        if (Sh("ip netns pids " + Quote(ns) + " 2>/dev/null", &pids) != 0)
            break;
        std::istringstream in(pids);
        bool any = false;
        for (long pid; in >> pid;) {
            if (pid > 1 && pid != getpid()) {
                kill(static_cast<pid_t>(pid), SIGKILL);
                any = true;
            }
        }
        if (!any)
            break;
        // A killed process leaves the namespace only once the kernel has torn it down.
        WaitUntil([&] {
            std::string left;
            Sh("ip netns pids " + Quote(ns) + " 2>/dev/null", &left);
            return left.find_first_not_of(" \n") == std::string::npos;
        }, 2000);
    }
    int rc = Sh("ip netns del " + Quote(ns) + " 2>/dev/null");
    std::error_code ec;
    std::filesystem::remove_all(kEtcNetnsDir + ns, ec);
    return rc == 0 || !std::filesystem::exists(kNetnsDir + ns);
}

// Waits until each device (namespace, name) is up with its real queue. A veth device whose
// carrier has just come on drops everything it is given until the kernel's deferred link work
// has run, and a bridge port forwards nothing before it: the first datagram of a test (often
// a neighbour solicitation) would be lost, and only the retransmission a second later would
// get through.
bool WaitLinksReady(const std::vector<std::pair<std::string, std::string>>& devs)
{
    std::string cmd;
    for (auto& d : devs)
        cmd += "ip -n " + Quote(d.first) + " -o link show dev " + Quote(d.second) + "; ";
    return WaitUntil([&] {
        std::string out;
        Sh(cmd, &out);
        size_t up = 0;
        for (size_t at = 0; (at = out.find(" state UP ", at)) != std::string::npos; ++at)
            ++up;
        return up == devs.size() && out.find("qdisc noop") == std::string::npos;
    }, 20000);
}

std::atomic<int> g_labCount{0};
std::atomic<int> g_outCount{0};

// Child side of RunChild/SpawnChild: everything that must happen before the payload. Returns false when
// the setup failed (the reason is already written to the output).
bool ChildSetup(const RunOptions& opt, const std::string& outPath)
{
    int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        if (fd > 2)
            close(fd);
    }
    int nul = open("/dev/null", O_RDONLY);
    if (nul >= 0) {
        dup2(nul, 0);
        if (nul > 0)
            close(nul);
    }
    // Own process group, so that Kill also reaches what the child starts.
    setpgid(0, 0);
    signal(SIGPIPE, SIG_DFL);

    std::vector<std::string> binds;  // /etc files to cover with the namespace's own copies
    if (!opt.ns.empty()) {
        int nsfd = open((kNetnsDir + opt.ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (nsfd < 0 || setns(nsfd, CLONE_NEWNET) != 0) {
            fprintf(stderr, "kvlab: cannot enter namespace %s: %s\n", opt.ns.c_str(),
                    strerror(errno));
            return false;
        }
        close(nsfd);
        std::error_code ec;
        for (auto& e : std::filesystem::directory_iterator(kEtcNetnsDir + opt.ns, ec))
            binds.push_back(e.path().filename().string());
    }
    if (!binds.empty() || !opt.tmpfs.empty()) {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0) {
            fprintf(stderr, "kvlab: cannot make a private mount namespace: %s\n",
                    strerror(errno));
            return false;
        }
        for (auto& name : binds) {
            std::string src = kEtcNetnsDir + opt.ns + "/" + name;
            std::string dst = "/etc/" + name;
            if (mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) != 0) {
                fprintf(stderr, "kvlab: cannot bind %s over %s: %s\n", src.c_str(),
                        dst.c_str(), strerror(errno));
                return false;
            }
        }
        for (auto& dir : opt.tmpfs) {
            std::error_code ec;
            std::filesystem::create_directories(dir, ec);
            if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=0755") != 0) {
                fprintf(stderr, "kvlab: cannot mount a tmpfs on %s: %s\n", dir.c_str(),
                        strerror(errno));
                return false;
            }
        }
    }
    for (auto& kv : opt.env) {
        size_t eq = kv.find('=');
        if (eq == std::string::npos)
            unsetenv(kv.c_str());
        else
            setenv(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str(), 1);
    }
    return true;
}

// A new empty output file. The random part keeps its name apart from the files of an earlier
// program that had our pid, which another program may be about to delete as stale.
std::string NewOutPath()
{
    std::string path = Fmt("/tmp/kvlab-out-%d-%d-XXXXXX.log", static_cast<int>(getpid()),
                           g_outCount++);
    int fd = mkstemps(&path[0], 4);
    if (fd < 0) {
        ADD_FAILURE() << "kvlab: cannot create an output file: " << strerror(errno);
        return path;
    }
    close(fd);
    return path;
}

Process ForkChild(const RunOptions& opt, const std::function<int()>& body)
{
    std::string out = NewOutPath();
    fflush(nullptr);
    std::cout.flush();
    std::cerr.flush();
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "kvlab: fork failed: " << strerror(errno);
        unlink(out.c_str());
        return Process();
    }
    if (pid == 0) {
        int rc = 126;
        if (ChildSetup(opt, out)) {
            try {
                rc = body();
            } catch (...) {
                rc = 125;
            }
        }
        std::cout.flush();
        std::cerr.flush();
        fflush(nullptr);
        _exit(rc);
    }
    // Also from the parent, so that a Kill right after the fork reaches the group.
    setpgid(pid, pid);
    return Process(pid, out);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

int Sh(const std::string& cmd, std::string* pOut)
{
    fflush(nullptr);
    // Grouped so that the redirection also covers commands that end in a here-document.
    FILE* f = popen(("{ " + cmd + "\n} 2>&1").c_str(), "r");
    if (!f)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
        if (pOut)
            pOut->append(buf, n);
    }
    int st = pclose(f);
    if (st == -1 || !WIFEXITED(st))
        return -1;
    return WEXITSTATUS(st);
}

bool CanMakeNamespaces(std::string* pWhy)
{
    static int s_state = -1;  // -1 not probed yet, 0 no, 1 yes
    static std::string s_why;
    if (s_state < 0) {
        s_state = 0;
        if (geteuid() != 0) {
            s_why = "not running as root";
        } else if (Sh("command -v ip >/dev/null && command -v nft >/dev/null") != 0) {
            s_why = "the programs ip (iproute2) and nft (nftables) are needed";
        } else {
            std::string probe = Fmt("kvl%d-probe", static_cast<int>(getpid()));
            std::string out;
            int addRc;
            {
                // The first `ip netns add` on a machine turns the namespace directory into a
                // shared mount point; several of them racing each mount it, stacked, and the
                // namespaces of the losers may vanish under the top one. Every test program
                // probes before it makes a namespace, so making the probes one at a time is
                // enough.
                NsLock lock(LOCK_EX);
                Sh("ip netns del " + probe + " 2>/dev/null");  // left by an earlier owner of our pid
                addRc = Sh("ip netns add " + probe, &out);
            }
            if (addRc != 0) {
                s_why = "cannot create a network namespace: " + out;
            } else {
                if (Sh("ip netns exec " + probe + " nft list ruleset", &out) != 0)
                    s_why = "nft does not work inside a namespace: " + out;
                else
                    s_state = 1;
                Sh("ip netns del " + probe);
            }
        }
    }
    if (pWhy)
        *pWhy = s_why;
    return s_state == 1;
}

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

void ExpectNoSanitizerReport(const Process& p)
{
    if (!p.Valid())
        return;
    std::string out = p.Output();
    for (const char* bad : {"Sanitizer", "runtime error"})
        EXPECT_EQ(std::string::npos, out.find(bad)) << out;
}

// ---------------------------------------------------------------------------------------------
// Process

Process::Process(pid_t pid, std::string outPath) : m_pid(pid), m_out(std::move(outPath)) {}

Process::Process(Process&& other) noexcept
    : m_pid(other.m_pid), m_exit(other.m_exit), m_reaped(other.m_reaped),
      m_out(std::move(other.m_out))
{
    other.m_pid = -1;
    other.m_out.clear();
}

Process& Process::operator=(Process&& other) noexcept
{
    if (this != &other) {
        Release();
        m_pid = other.m_pid;
        m_exit = other.m_exit;
        m_reaped = other.m_reaped;
        m_out = std::move(other.m_out);
        other.m_pid = -1;
        other.m_out.clear();
    }
    return *this;
}

Process::~Process()
{
    Release();
}

void Process::Release()
{
    if (m_pid > 0 && !m_reaped)
        Kill(SIGKILL);
    if (!m_out.empty())
        unlink(m_out.c_str());
    m_pid = -1;
    m_out.clear();
}

static int ExitOf(int st)
{
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

bool Process::Running()
{
    if (m_pid <= 0 || m_reaped)
        return false;
    int st = 0;
    pid_t r = waitpid(m_pid, &st, WNOHANG);
    if (r == m_pid || (r < 0 && errno == ECHILD)) {
        m_reaped = true;
        m_exit = r == m_pid ? ExitOf(st) : -1;
        return false;
    }
    return true;
}

bool Process::Wait(int timeoutMs, int* pExit)
{
    bool done = WaitUntil([this] { return !Running(); }, timeoutMs);
    if (done && pExit)
        *pExit = m_exit;
    return done;
}

void Process::Kill(int sig)
{
    if (m_pid <= 0 || m_reaped)
        return;
    kill(-m_pid, sig);
    kill(m_pid, sig);
    if (sig == SIGKILL) {
        int st = 0;
        pid_t r;
        do {
            r = waitpid(m_pid, &st, 0);
        } while (r < 0 && errno == EINTR);
        m_reaped = true;
        m_exit = r == m_pid ? ExitOf(st) : -1;
    }
}

std::string Process::Output() const
{
    std::ifstream in(m_out, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Process::WaitOutput(const std::string& text, int timeoutMs) const
{
    return WaitUntil([&] { return Output().find(text) != std::string::npos; }, timeoutMs);
}

Process RunChild(const RunOptions& opt, const std::function<int()>& fn)
{
    return ForkChild(opt, fn);
}

Process SpawnChild(const RunOptions& opt, const std::vector<std::string>& argv)
{
    if (argv.empty()) {
        ADD_FAILURE() << "kvlab: SpawnChild without a program";
        return Process();
    }
    // Built before the fork: the child only execs.
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return ForkChild(opt, [&args]() -> int {
        execvp(args[0], args.data());
        fprintf(stderr, "kvlab: cannot run %s: %s\n", args[0], strerror(errno));
        return 127;
    });
}

// ---------------------------------------------------------------------------------------------
// TempDir, NetnsGuard

TempDir::TempDir()
{
    std::string tmpl = Fmt("/tmp/kvlab-dir-%d-XXXXXX", static_cast<int>(getpid()));
    if (mkdtemp(&tmpl[0]))
        m_path = tmpl;
    else
        ADD_FAILURE() << "kvlab: mkdtemp failed: " << strerror(errno);
}

TempDir::~TempDir()
{
    if (!m_path.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
}

NetnsGuard::NetnsGuard(const std::string& ns)
{
    if (ns.empty()) {
        m_ok = true;
        return;
    }
    m_saved = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int fd = open((kNetnsDir + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (m_saved >= 0 && fd >= 0 && setns(fd, CLONE_NEWNET) == 0)
        m_ok = true;
    if (fd >= 0)
        close(fd);
}

NetnsGuard::~NetnsGuard()
{
    if (m_saved >= 0) {
        if (m_ok && setns(m_saved, CLONE_NEWNET) != 0)
            std::abort();  // the thread would stay in a foreign namespace: fail loudly
        close(m_saved);
    }
}

// ---------------------------------------------------------------------------------------------
// UDP helpers

namespace {

bool ToSockaddr(const std::string& addr, uint16_t port, sockaddr_storage* ss, socklen_t* len)
{
    memset(ss, 0, sizeof(*ss));
    if (addr.find(':') != std::string::npos) {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(ss);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(port);
        if (inet_pton(AF_INET6, addr.c_str(), &s6->sin6_addr) != 1)
            return false;
        *len = sizeof(*s6);
    } else {
        auto* s4 = reinterpret_cast<sockaddr_in*>(ss);
        s4->sin_family = AF_INET;
        s4->sin_port = htons(port);
        if (!addr.empty() && inet_pton(AF_INET, addr.c_str(), &s4->sin_addr) != 1)
            return false;
        *len = sizeof(*s4);
    }
    return true;
}

}  // namespace

int UdpOpen(const std::string& ns, const std::string& addr, uint16_t port)
{
    sockaddr_storage ss;
    socklen_t len = 0;
    if (!ToSockaddr(addr, port, &ss, &len))
        return -1;
    NetnsGuard g(ns);
    if (!g.Ok())
        return -1;
    int fd = socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
    if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t UdpPort(int fd)
{
    sockaddr_storage ss;
    socklen_t len = sizeof(ss);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return 0;
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

bool UdpSend(int fd, const std::string& addr, uint16_t port, const std::string& data)
{
    sockaddr_storage ss;
    socklen_t len = 0;
    if (!ToSockaddr(addr, port, &ss, &len))
        return false;
    ssize_t n = sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&ss), len);
    return n == static_cast<ssize_t>(data.size());
}

bool UdpRecv(int fd, int timeoutMs, std::string* pData, std::string* pFromAddr,
             uint16_t* pFromPort)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        end - std::chrono::steady_clock::now())
                                        .count());
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, left < 0 ? 0 : left);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char buf[65536];
        sockaddr_storage ss;
        socklen_t len = sizeof(ss);
        ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&ss), &len);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return false;  // e.g. ICMP unreachable reported on the socket
        }
        if (pData)
            pData->assign(buf, static_cast<size_t>(n));
        char text[INET6_ADDRSTRLEN] = "";
        uint16_t port = 0;
        if (ss.ss_family == AF_INET6) {
            auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
            inet_ntop(AF_INET6, &s6->sin6_addr, text, sizeof(text));
            port = ntohs(s6->sin6_port);
        } else {
            auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
            inet_ntop(AF_INET, &s4->sin_addr, text, sizeof(text));
            port = ntohs(s4->sin_port);
        }
        if (pFromAddr)
            *pFromAddr = text;
        if (pFromPort)
            *pFromPort = port;
        return true;
    }
}

// ---------------------------------------------------------------------------------------------
// Lab

Lab::Lab()
{
    m_prefix = Fmt("kvl%d-%d-", static_cast<int>(getpid()), g_labCount++);
    std::string why;
    if (!CanMakeNamespaces(&why)) {
        ADD_FAILURE() << "kvlab: network lab unavailable: " << why;
        m_failed = true;
        return;
    }
    CleanStale();
}

Lab::~Lab()
{
    Cleanup();
}

bool Lab::Cleanup()
{
    bool ok = true;
    // Hosts and routers first, switches last, so that nothing is left dangling meanwhile.
    for (auto it = m_ns.rbegin(); it != m_ns.rend(); ++it)
        ok = DeleteNs(*it) && ok;
    m_ns.clear();
    m_segs.clear();
    m_routers.clear();
    return ok;
}

void Lab::CleanStale()
{
    std::error_code ec;
    // Output files and temporary directories of dead test programs (collected first: the
    // directory is not changed while it is read).
    std::vector<std::filesystem::path> dead;
    for (auto& e : std::filesystem::directory_iterator("/tmp", ec)) {
        std::string name = e.path().filename().string();
        for (const char* start : {"kvlab-out-", "kvlab-dir-"}) {
            size_t n = strlen(start);
            if (name.compare(0, n, start) != 0)
                continue;
            pid_t pid = static_cast<pid_t>(atol(name.c_str() + n));
            if (pid > 0 && pid != getpid() && !PidAlive(pid))
                dead.push_back(e.path());
        }
    }
    for (auto& path : dead)
        std::filesystem::remove_all(path, ec);
    NsLock lock(LOCK_EX);
    std::vector<std::string> deadNs;
    for (const char* dir : {kNetnsDir, kEtcNetnsDir}) {
        for (auto& e : std::filesystem::directory_iterator(dir, ec)) {
            std::string name = e.path().filename().string();
            pid_t pid = LabPidOf(name);
            if (pid > 0 && pid != getpid() && !PidAlive(pid))
                deadNs.push_back(name);
        }
    }
    for (auto& name : deadNs)
        DeleteNs(name);
}

bool Lab::NewNs(const std::string& ns)
{
    if (m_failed)
        return false;
    NsLock lock(LOCK_SH);
    // The name holds our pid and a number unique in this process: one that exists already
    // was left by a dead program that had the same pid before.
    std::error_code ec;
    if (std::filesystem::exists(kNetnsDir + ns, ec) ||
        std::filesystem::exists(kEtcNetnsDir + ns, ec))
        DeleteNs(ns);
    std::string out;
    int rc = Sh("ip netns add " + Quote(ns) + " && ip -n " + Quote(ns) + " link set lo up" +
                    // Addresses must be usable at once: no duplicate address detection.
                    " && ip netns exec " + Quote(ns) +
                    " sh -c 'echo 0 > /proc/sys/net/ipv6/conf/all/accept_dad;"
                    " echo 0 > /proc/sys/net/ipv6/conf/default/accept_dad'",
                &out);
    m_ns.push_back(ns);
    if (rc != 0) {
        ADD_FAILURE() << "kvlab: cannot create namespace " << ns << ": " << out;
        return false;
    }
    return true;
}

Lab::SegState* Lab::FindSeg(const Segment& seg)
{
    for (auto& s : m_segs) {
        if (s.seg.ns == seg.ns)
            return &s;
    }
    ADD_FAILURE() << "kvlab: unknown segment " << seg.name;
    return nullptr;
}

Lab::RouterState* Lab::FindRouter(const Host& host)
{
    for (auto& r : m_routers) {
        if (r.ns == host.ns)
            return &r;
    }
    return nullptr;
}

Segment Lab::AddSegment(const std::string& name)
{
    Segment seg;
    seg.name = name;
    seg.ns = m_prefix + name;
    seg.index = static_cast<int>(m_segs.size()) + 1;
    seg.prefix4 = Fmt("10.%d.0", seg.index);
    seg.prefix6 = Fmt("fd00:%x:", seg.index);
    seg.broadcast4 = seg.prefix4 + ".255";
    if (!NewNs(seg.ns))
        return seg;
    std::string out;
    // Without multicast snooping the bridge floods IPv6 neighbour discovery like a plain hub.
    if (Sh("ip -n " + Quote(seg.ns) + " link add br0 type bridge mcast_snooping 0 && ip -n " +
               Quote(seg.ns) + " link set br0 up",
           &out) != 0)
        ADD_FAILURE() << "kvlab: cannot create the bridge of " << name << ": " << out;
    SegState st;
    st.seg = seg;
    m_segs.push_back(st);
    return seg;
}

Host Lab::AddHost(const Segment& seg, const std::string& name, int nAddr4)
{
    Host h;
    h.name = name;
    h.ns = m_prefix + name;
    h.ifname = "eth0";
    SegState* s = FindSeg(seg);
    if (!s || !NewNs(h.ns))
        return h;
    if (nAddr4 < 1)
        nAddr4 = 1;
    std::string sw = Quote(s->seg.ns), ns = Quote(h.ns);
    std::string port = Fmt("p%d", s->nextPort++);
    std::string cmd = "ip -n " + sw + " link add " + port + " type veth peer name eth0 netns " +
                      ns + " && ip -n " + sw + " link set " + port + " master br0 up";
    for (int i = 0; i < nAddr4; ++i) {
        std::string a = Fmt("%s.%d", s->seg.prefix4.c_str(), s->nextHost + i);
        h.ip4s.push_back(a);
        cmd += " && ip -n " + ns + " addr add " + a + "/24 brd + dev eth0";
    }
    h.ip4 = h.ip4s[0];
    h.ip6 = Fmt("%s:%x", s->seg.prefix6.c_str(), s->nextHost);
    s->nextHost += nAddr4;
    cmd += " && ip -n " + ns + " addr add " + h.ip6 + "/64 dev eth0 nodad";
    cmd += " && ip -n " + ns + " link set eth0 up";
    if (!s->gw4.empty()) {
        cmd += " && ip -n " + ns + " route add default via " + s->gw4;
        cmd += " && ip -n " + ns + " -6 route add default via " + s->gw6;
    }
    // IPv6 is routed, not translated: reach the LANs behind routers on this segment.
    for (auto& r : m_routers) {
        if (m_segs[r.wanSeg].seg.ns == s->seg.ns)
            cmd += " && ip -n " + ns + " -6 route add " + m_segs[r.lanSeg].seg.prefix6 +
                   ":/64 via " + r.wan6;
    }
    std::string out;
    if (Sh(cmd, &out) != 0)
        ADD_FAILURE() << "kvlab: cannot set up host " << name << ": " << out;
    else if (!WaitLinksReady({{h.ns, "eth0"}, {s->seg.ns, port}}))
        ADD_FAILURE() << "kvlab: the links of host " << name << " did not come up";
    s->hostNs.push_back(h.ns);
    return h;
}

Host Lab::AddNatRouter(const std::string& name, const Segment& wan, const Segment& lan,
                       NatType type)
{
    Host h;
    h.name = name;
    h.ns = m_prefix + name;
    h.ifname = "wan";
    SegState* w = FindSeg(wan);
    SegState* l = FindSeg(lan);
    if (!w || !l || !NewNs(h.ns))
        return h;
    if (!l->gw4.empty()) {
        ADD_FAILURE() << "kvlab: segment " << lan.name << " already has a router";
        return h;
    }
    std::string ns = Quote(h.ns), wsw = Quote(w->seg.ns), lsw = Quote(l->seg.ns);
    std::string wport = Fmt("p%d", w->nextPort++), lport = Fmt("p%d", l->nextPort++);
    h.ip4 = Fmt("%s.%d", w->seg.prefix4.c_str(), w->nextHost);
    h.ip4s.push_back(h.ip4);
    h.ip6 = Fmt("%s:%x", w->seg.prefix6.c_str(), w->nextHost);
    w->nextHost++;
    h.lan4 = l->seg.prefix4 + ".1";
    h.lan6 = l->seg.prefix6 + ":1";
    std::string cmd =
        "ip -n " + wsw + " link add " + wport + " type veth peer name wan netns " + ns +
        " && ip -n " + wsw + " link set " + wport + " master br0 up" + " && ip -n " + lsw +
        " link add " + lport + " type veth peer name lan netns " + ns + " && ip -n " + lsw +
        " link set " + lport + " master br0 up" + " && ip -n " + ns + " addr add " + h.ip4 +
        "/24 brd + dev wan" + " && ip -n " + ns + " addr add " + h.ip6 + "/64 dev wan nodad" +
        " && ip -n " + ns + " addr add " + h.lan4 + "/24 brd + dev lan" + " && ip -n " + ns +
        " addr add " + h.lan6 + "/64 dev lan nodad" + " && ip -n " + ns + " link set wan up" +
        " && ip -n " + ns + " link set lan up" + " && ip netns exec " + ns +
        " sh -c 'echo 1 > /proc/sys/net/ipv4/ip_forward;"
        " echo 1 > /proc/sys/net/ipv6/conf/all/forwarding'";
    // Hosts already on the LAN get their gateway; hosts on the WAN a route to the LAN prefix.
    for (auto& hn : l->hostNs) {
        cmd += " && ip -n " + Quote(hn) + " route add default via " + h.lan4;
        cmd += " && ip -n " + Quote(hn) + " -6 route add default via " + h.lan6;
    }
    for (auto& hn : w->hostNs)
        cmd += " && ip -n " + Quote(hn) + " -6 route add " + l->seg.prefix6 + ":/64 via " + h.ip6;
    std::string out;
    if (Sh(cmd, &out) != 0) {
        ADD_FAILURE() << "kvlab: cannot set up router " << name << ": " << out;
        return h;
    }
    if (!WaitLinksReady({{h.ns, "wan"}, {h.ns, "lan"}, {w->seg.ns, wport}, {l->seg.ns, lport}}))
        ADD_FAILURE() << "kvlab: the links of router " << name << " did not come up";
    l->gw4 = h.lan4;
    l->gw6 = h.lan6;
    w->hostNs.push_back(h.ns);
    RouterState r;
    r.ns = h.ns;
    r.wanSeg = static_cast<int>(w - m_segs.data());
    r.lanSeg = static_cast<int>(l - m_segs.data());
    r.wan6 = h.ip6;
    r.type = type;
    m_routers.push_back(r);
    ApplyNat(m_routers.back());
    return h;
}

bool Lab::ApplyNat(const RouterState& r)
{
    // Cone types keep their own table of mappings: filled in postrouting (after masquerade has
    // chosen the outside port) from the conntrack tuples, and used by a prerouting dnat for
    // packets from the outside that no conntrack entry covers. The key says who may send:
    // anyone to the mapped port (full cone) or only addresses the host has sent to
    // (restricted cone). Port-restricted cone is what plain masquerade does; symmetric is
    // masquerade with a random port per new flow, i.e. per destination.
    std::string key, keyOut, keyIn;
    std::string flags;
    switch (r.type) {
    case NatType::FullCone:
        key = "inet_service";
        keyOut = "udp sport";
        keyIn = "udp dport";
        break;
    case NatType::RestrictedCone:
        key = "inet_service . ipv4_addr";
        keyOut = "udp sport . ip daddr";
        keyIn = "udp dport . ip saddr";
        break;
    case NatType::PortRestricted:
        break;
    case NatType::Symmetric:
        flags = " random";
        break;
    }
    std::string rules = "table ip kvnat\ndelete table ip kvnat\ntable ip kvnat {\n";
    if (!key.empty()) {
        rules += Fmt("  map cone { type %s : ipv4_addr . inet_service; flags dynamic,timeout; "
                     "timeout %ds; }\n",
                     key.c_str(), r.mapTimeout);
        rules += "  chain pre { type nat hook prerouting priority dstnat; iifname \"wan\" "
                 "meta l4proto udp dnat ip to " + keyIn + " map @cone; }\n";
        rules += "  chain track { type filter hook postrouting priority srcnat + 1;\n"
                 "    iifname \"lan\" oifname \"wan\" meta l4proto udp ct direction original "
                 "update @cone { " + keyOut + " : ct original ip saddr . ct original proto-src }\n"
                 "    iifname \"lan\" oifname \"wan\" meta l4proto udp ct direction reply "
                 "update @cone { " + keyOut + " : ct reply ip saddr . ct reply proto-src }\n"
                 "  }\n";
    }
    rules += "  chain post { type nat hook postrouting priority srcnat; oifname \"wan\" "
             "masquerade" + flags + "; }\n";
    // Unsolicited UDP to the router itself: dropped before conntrack confirms an entry that
    // would take the port a host behind the router is about to be mapped to.
    rules += "  chain in { type filter hook input priority filter; iifname \"wan\" "
             "meta l4proto udp drop; }\n}\n";
    std::string out;
    int rc = Sh("ip netns exec " + Quote(r.ns) + " nft -f - <<'KVLAB_EOF'\n" + rules +
                    "KVLAB_EOF\n",
                &out);
    if (rc != 0) {
        ADD_FAILURE() << "kvlab: cannot load the NAT rules of " << r.ns << ": " << out;
        return false;
    }
    Sh("ip netns exec " + Quote(r.ns) + " conntrack -F 2>/dev/null");
    return true;
}

bool Lab::SetNat(const Host& router, NatType type)
{
    RouterState* r = FindRouter(router);
    if (!r) {
        ADD_FAILURE() << "kvlab: " << router.name << " is not a router";
        return false;
    }
    r->type = type;
    return ApplyNat(*r);
}

bool Lab::FlushNat(const Host& router)
{
    RouterState* r = FindRouter(router);
    if (!r)
        return false;
    return ApplyNat(*r);
}

bool Lab::SetUdpTimeout(const Host& host, int seconds)
{
    if (seconds < 1)
        seconds = 1;
    std::string out;
    int rc = Exec(host,
                  Fmt("echo %d > /proc/sys/net/netfilter/nf_conntrack_udp_timeout && "
                      "echo %d > /proc/sys/net/netfilter/nf_conntrack_udp_timeout_stream",
                      seconds, seconds),
                  &out);
    if (rc != 0) {
        ADD_FAILURE() << "kvlab: cannot set the UDP timeouts of " << host.name << ": " << out;
        return false;
    }
    if (RouterState* r = FindRouter(host)) {
        r->mapTimeout = seconds;
        return ApplyNat(*r);
    }
    return true;
}

bool Lab::SetLoss(const Host& host, int percent)
{
    std::string rules = "table inet kvloss\ndelete table inet kvloss\n";
    if (percent > 0) {
        std::string when = percent >= 100 ? "" : Fmt("numgen random mod 100 < %d ", percent);
        rules += "table inet kvloss {\n  chain in { type filter hook input priority -150; "
                 "iifname != \"lo\" meta l4proto udp " + when + "drop; }\n}\n";
    }
    std::string out;
    int rc = Sh("ip netns exec " + Quote(host.ns) + " nft -f - <<'KVLAB_EOF'\n" + rules +
                    "KVLAB_EOF\n",
                &out);
    if (rc != 0) {
        ADD_FAILURE() << "kvlab: cannot set the loss of " << host.name << ": " << out;
        return false;
    }
    return true;
}

bool Lab::SetHosts(const Host& host, const std::string& content)
{
    std::error_code ec;
    std::string dir = kEtcNetnsDir + host.ns;
    std::filesystem::create_directories(dir, ec);
    std::ofstream f(dir + "/hosts", std::ios::trunc);
    f << content;
    f.close();
    if (!f) {
        ADD_FAILURE() << "kvlab: cannot write " << dir << "/hosts";
        return false;
    }
    return true;
}

int Lab::Exec(const Host& host, const std::string& cmd, std::string* pOut)
{
    return Sh("ip netns exec " + Quote(host.ns) + " sh -c " + Quote(cmd), pOut);
}

bool Lab::PinNeighbours(const std::vector<NeighEnd>& ends)
{
    std::vector<std::string> macs;
    for (auto& e : ends) {
        std::string mac;
        if (Exec(e.host, "cat /sys/class/net/" + Quote(e.dev) + "/address", &mac) != 0) {
            ADD_FAILURE() << "kvlab: no hardware address of " << e.dev << " in " << e.host.ns << ": " << mac;
            return false;
        }
        macs.push_back(mac.substr(0, mac.find_first_of(" \n")));
    }
    for (size_t i = 0; i < ends.size(); i++) {
        std::string cmd = "true";
        for (size_t j = 0; j < ends.size(); j++) {
            if (j != i)
                cmd += " && ip neigh replace " + Quote(ends[j].ip4) + " lladdr " + macs[j] + " dev " +
                       Quote(ends[i].dev) + " nud permanent";
        }
        std::string out;
        if (Exec(ends[i].host, cmd, &out) != 0) {
            ADD_FAILURE() << "kvlab: cannot pin neighbours in " << ends[i].host.ns << ": " << out;
            return false;
        }
    }
    return true;
}

bool Lab::PinNeighbours(const std::vector<Host>& hosts)
{
    std::vector<NeighEnd> ends;
    for (auto& h : hosts)
        ends.push_back(End(h));
    return PinNeighbours(ends);
}

bool Lab::QuietUnknownNeighbours(const Host& host)
{
    std::string dir = "/proc/sys/net/ipv4/neigh/" + host.ifname;
    std::string out;
    if (Exec(host, "echo 0 > " + dir + "/mcast_solicit && echo 0 > " + dir + "/app_solicit", &out) != 0) {
        ADD_FAILURE() << "kvlab: cannot quiet neighbour discovery in " << host.ns << ": " << out;
        return false;
    }
    return true;
}

bool Lab::QuietScans(const std::vector<Host>& hosts)
{
    for (auto& h : hosts) {
        if (!QuietUnknownNeighbours(h))
            return false;
    }
    return PinNeighbours(hosts);
}

Process Lab::RunIn(const Host& host, const std::function<int()>& fn, RunOptions opt)
{
    opt.ns = host.ns;
    return RunChild(opt, fn);
}

Process Lab::SpawnIn(const Host& host, const std::vector<std::string>& argv, RunOptions opt)
{
    opt.ns = host.ns;
    return SpawnChild(opt, argv);
}

}  // namespace kvlab
