// One TCP stream through the tunnel, plain and encrypted, beside raw TCP and beside `ssh -L`
// (OpenSSH with its default cipher) over one veth pair between two network namespaces, in
// one run. For every path: MB/s of a bulk stream, round trip of a 64-byte echo, time to open
// a new connection (connect plus its first 64-byte echo), at 0% and 5% loss; then the memory
// (RSS) of the processes that carry 1,000 idle connections. Prints the figures and the ratios
// tunnel/raw and tunnel/ssh; run as root: bench_tunnel [--secs N] [--quick]
// (--quick: 0% loss only, no memory figures)
//
// Namespace A holds the measuring client, the ssh client and the calling tunnel; namespace B
// holds the sink and echo services (on its loopback), sshd and the called tunnel. ssh and the
// tunnel both carry the client's connections from a local port in A to 127.0.0.1 in B.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kvBenchPair.h"
#include "kvLab.h"
#include "kvTunnelPair.h"

namespace {

const char* kAddrA = "10.233.0.1";
const char* kAddrB = "10.233.0.2";
const uint16_t kSinkPort = 17301;  // in B, on every address
const uint16_t kEchoPort = 17302;
const uint16_t kSshPort = 2222;    // sshd on kAddrB
const uint16_t kSshSink = 17311;   // ssh -L listeners on 127.0.0.1 in A
const uint16_t kSshEcho = 17312;
const uint16_t kTunSink = 17321;   // tunnel client addresses on 127.0.0.1 in A (plain; +10
const uint16_t kTunEcho = 17322;   // encrypted)
const int kIdleConns = 1000;

using kvbench::Now;

// ---------------------------------------------------------------------------------------
// Services in B: the sink reads frames "u32 length (big-endian), payload"; a frame of length
// 0 ends a run and is answered with the u64 payload byte count of that run. The echo service
// writes back what it reads.

struct Conn {
    int fd = -1;
    bool echo = false;
    uint8_t hdr[4] = {};
    uint32_t hdrGot = 0;
    uint64_t left = 0;   // payload bytes still to come in the current frame
    uint64_t total = 0;  // payload bytes of the current run
};

bool WriteAll(int fd, const void* p, size_t n)
{
    const char* c = static_cast<const char*>(p);
    while (n) {
        ssize_t r = send(fd, c, n, MSG_NOSIGNAL);
        if (r > 0) {
            c += r;
            n -= (size_t)r;
        } else if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd w = {fd, POLLOUT, 0};
            poll(&w, 1, 1000);
        } else {
            return false;
        }
    }
    return true;
}

bool ReadAll(int fd, void* p, size_t n)
{
    char* c = static_cast<char*>(p);
    while (n) {
        ssize_t r = recv(fd, c, n, 0);
        if (r > 0) {
            c += r;
            n -= (size_t)r;
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

int Listen(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (bind(fd, (sockaddr*)&a, sizeof(a)) != 0 || listen(fd, 4096) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sink data: returns false when the connection must close.
bool SinkBytes(Conn& c, const uint8_t* p, size_t n)
{
    while (n) {
        if (c.left) {
            size_t k = (size_t)std::min<uint64_t>(c.left, n);
            c.left -= k;
            c.total += k;
            p += k;
            n -= k;
            continue;
        }
        c.hdr[c.hdrGot++] = *p++;
        n--;
        if (c.hdrGot < 4) continue;
        c.hdrGot = 0;
        c.left = (uint64_t)c.hdr[0] << 24 | (uint64_t)c.hdr[1] << 16 | (uint64_t)c.hdr[2] << 8 | c.hdr[3];
        if (!c.left) {
            uint64_t t = c.total;
            uint8_t out[8];
            for (int i = 7; i >= 0; i--, t >>= 8) out[i] = (uint8_t)t;
            c.total = 0;
            if (!WriteAll(c.fd, out, sizeof(out))) return false;
        }
    }
    return true;
}

int Serve()
{
    int ls = Listen(kSinkPort), le = Listen(kEchoPort);
    int ep = epoll_create1(0);
    if (ls < 0 || le < 0 || ep < 0) {
        printf("serve: cannot listen: %s\n", strerror(errno));
        return 1;
    }
    std::map<int, Conn> conns;
    for (int fd : {ls, le}) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = fd;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
    }
    printf("serving\n");
    fflush(stdout);
    std::vector<uint8_t> buf(1 << 18);
    epoll_event ev[64];
    for (;;) {
        int n = epoll_wait(ep, ev, 64, -1);
        for (int i = 0; i < n; i++) {
            int fd = ev[i].data.fd;
            if (fd == ls || fd == le) {
                int c;
                while ((c = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                    int one = 1;
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
                    Conn& k = conns[c];
                    k = Conn();
                    k.fd = c;
                    k.echo = fd == le;
                    epoll_event e{};
                    e.events = EPOLLIN;
                    e.data.fd = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &e);
                }
                continue;
            }
            auto it = conns.find(fd);
            if (it == conns.end()) continue;
            ssize_t r = recv(fd, buf.data(), buf.size(), 0);
            if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            bool keep = r > 0 && (it->second.echo ? WriteAll(fd, buf.data(), (size_t)r)
                                                  : SinkBytes(it->second, buf.data(), (size_t)r));
            if (!keep) {
                epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
                close(fd);
                conns.erase(it);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// Measuring client in A

int Connect(const std::string& host, uint16_t port, bool nodelay, double timeoutSecs = 10)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (nodelay) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    // A stalled path must not hang the run: reads and writes give up after the time-out.
    timeval tv{(time_t)timeoutSecs, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    if (connect(fd, (sockaddr*)&a, sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool Echo64(int fd)
{
    char m[64], back[64];
    std::memset(m, 'e', sizeof(m));
    return WriteAll(fd, m, sizeof(m)) && ReadAll(fd, back, sizeof(back)) && !std::memcmp(m, back, sizeof(m));
}

// Streams 64 KiB frames for `secs` seconds, then the end frame; the rate counts the time until
// the sink has answered, so bytes still in flight at the end are paid for.
void MeasureStream(const std::string& host, uint16_t port, double secs)
{
    int fd = Connect(host, port, false, 60);
    if (fd < 0) {
        printf("RESULT stream ok=0 bytes=0 secs=0\n");
        return;
    }
    const uint32_t kFrame = 65536;
    std::vector<uint8_t> m(4 + kFrame, 's');
    m[0] = 0, m[1] = 1, m[2] = 0, m[3] = 0;  // 65536 big-endian
    uint64_t sent = 0;
    bool ok = true;
    double t0 = Now();
    while (ok && Now() - t0 < secs) {
        ok = WriteAll(fd, m.data(), m.size());
        if (ok) sent += kFrame;
    }
    uint8_t end[4] = {0, 0, 0, 0}, got[8];
    ok = ok && WriteAll(fd, end, 4) && ReadAll(fd, got, 8);
    double t = Now() - t0;
    uint64_t n = 0;
    for (uint8_t b : got) n = n << 8 | b;
    ok = ok && n == sent;
    printf("RESULT stream ok=%d bytes=%llu secs=%.6f\n", ok ? 1 : 0, (unsigned long long)sent, t);
    close(fd);
}

struct Stats {
    double med = 0, mean = 0;
    size_t n = 0;
};

Stats Summarise(std::vector<double> v)
{
    Stats s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.med = v[v.size() / 2];
    for (double x : v) s.mean += x;
    s.mean /= (double)v.size();
    return s;
}

// Round trips of one 64-byte message on one connection, for `secs` seconds (at most 20,000).
void MeasureEcho(const std::string& host, uint16_t port, double secs)
{
    int fd = Connect(host, port, true);
    std::vector<double> v;
    bool ok = fd >= 0;
    for (int i = 0; ok && i < 20; i++) ok = Echo64(fd);  // warm-up: paths that open lazily
    double t0 = Now();
    while (ok && Now() - t0 < secs && v.size() < 20000) {
        double t = Now();
        ok = Echo64(fd);
        if (ok) v.push_back((Now() - t) * 1e6);
    }
    Stats s = Summarise(v);
    printf("RESULT echo ok=%d n=%zu med=%.1f mean=%.1f\n", ok ? 1 : 0, s.n, s.med, s.mean);
    if (fd >= 0) close(fd);
}

// New connections, each until its first 64-byte echo came back, for `secs` seconds (at most
// 300 of them).
void MeasureOpen(const std::string& host, uint16_t port, double secs)
{
    std::vector<double> v;
    bool ok = true;
    double t0 = Now();
    while (ok && Now() - t0 < secs && v.size() < 300) {
        double t = Now();
        int fd = Connect(host, port, true);
        ok = fd >= 0 && Echo64(fd);
        if (ok) v.push_back((Now() - t) * 1e6);
        if (fd >= 0) close(fd);
    }
    Stats s = Summarise(v);
    printf("RESULT open ok=%d n=%zu med=%.1f mean=%.1f\n", ok ? 1 : 0, s.n, s.med, s.mean);
}

// Opens `count` connections, each proven by one echo, reports how many, and keeps them
// until killed.
int Hold(const std::string& host, uint16_t port, int count)
{
    std::vector<int> fds;
    for (int i = 0; i < count; i++) {
        int fd = Connect(host, port, true);
        if (fd < 0 || !Echo64(fd)) {
            if (fd >= 0) close(fd);
            break;
        }
        fds.push_back(fd);
    }
    printf("held %zu\n", fds.size());
    fflush(stdout);
    for (;;) pause();
}

// ---------------------------------------------------------------------------------------
// Orchestration

kvbench::VethPair g_pair;

long RssKiB(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// A process and all its descendants (sshd forks a monitor and a user process per
// connection).
std::vector<pid_t> TreePids(pid_t root)
{
    std::map<pid_t, pid_t> parent;
    if (DIR* d = opendir("/proc")) {
        while (dirent* e = readdir(d)) {
            pid_t p = (pid_t)std::atoi(e->d_name);
            if (p <= 0) continue;
            std::ifstream f(std::string("/proc/") + e->d_name + "/stat");
            std::string s;
            std::getline(f, s);
            size_t rp = s.rfind(')');
            if (rp == std::string::npos) continue;
            std::istringstream is(s.substr(rp + 2));
            char state;
            pid_t pp = 0;
            is >> state >> pp;
            parent[p] = pp;
        }
        closedir(d);
    }
    std::vector<pid_t> v;
    for (auto& [p, pp] : parent) {
        (void)pp;
        for (pid_t q = p; q > 1; q = parent.count(q) ? parent[q] : 0)
            if (q == root) {
                v.push_back(p);
                break;
            }
    }
    return v;
}

long TreeRssKiB(pid_t root)
{
    long sum = 0;
    for (pid_t p : TreePids(root)) sum += RssKiB(p);
    return sum;
}

// Processes that carry a path's bytes: label, pid, with descendants.
struct Proc {
    std::string label;
    pid_t pid;
    bool tree;
};

// Context switches (voluntary and forced) of every thread of the processes so far. Each is a
// thread that slept or was put off its CPU: the hand-offs a path pays, counted the same
// however loaded the machine is, where its times are not.
long long CtxSwitches(const std::vector<Proc>& procs)
{
    long long n = 0;
    for (auto& q : procs)
        for (pid_t p : q.tree ? TreePids(q.pid) : std::vector<pid_t>{q.pid}) {
            std::string dir = "/proc/" + std::to_string(p) + "/task";
            DIR* d = opendir(dir.c_str());
            if (!d) continue;
            while (dirent* e = readdir(d)) {
                if (e->d_name[0] == '.') continue;
                std::ifstream f(dir + "/" + e->d_name + "/status");
                std::string line;
                while (std::getline(f, line))
                    if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0)
                        n += std::atoll(line.c_str() + 24);
                    else if (line.compare(0, 27, "nonvoluntary_ctxt_switches:") == 0)
                        n += std::atoll(line.c_str() + 27);
            }
            closedir(d);
        }
    return n;
}

// Runs one measurement in a child inside A and returns its RESULT line's fields.
std::map<std::string, double> Measure(const std::function<void()>& fn, int timeoutSecs)
{
    kvlab::RunOptions o;
    o.ns = g_pair.nsA;
    kvlab::Process p = kvlab::RunChild(o, [&] {
        fn();
        return 0;
    });
    std::map<std::string, double> r;
    if (!p.Wait(timeoutSecs * 1000)) {
        p.Kill();
        return r;
    }
    std::istringstream is(p.Output());
    std::string line;
    while (std::getline(is, line)) {
        if (line.compare(0, 7, "RESULT ") != 0) continue;
        std::istringstream ws(line.substr(7));
        std::string w;
        ws >> w;  // kind
        while (ws >> w) {
            size_t eq = w.find('=');
            if (eq != std::string::npos) r[w.substr(0, eq)] = std::atof(w.c_str() + eq + 1);
        }
    }
    return r;
}

struct Figures {
    bool streamOk = false, echoOk = false, openOk = false;
    double mbs = 0, echoMed = 0, echoMean = 0, openMed = 0, openMean = 0;
    // Context switches of the carrying processes per MB of stream, per echo round trip and
    // per open; negative when not counted.
    double csMB = -1, csEcho = -1, csOpen = -1;
};

// A path from A to the services in B.
struct Path {
    std::string name;
    std::string host;  // address in A that reaches the sink and echo services
    uint16_t sink = 0, echo = 0;
    bool ready = false;
    Figures fig[2];  // 0% and 5% loss
    std::vector<std::pair<std::string, long>> rss;  // with idle connections held
    std::vector<std::pair<std::string, long>> rss0;  // before
    std::function<void()> settle = [] {};            // after a run: until closed connections are gone
    std::vector<Proc> carriers = {};                 // whose context switches are counted
};

void MeasurePath(Path& p, Figures& f, double secs)
{
    std::string host = p.host;
    uint16_t sink = p.sink, echo = p.echo;
    // Switches per unit of work, or -1 when the path has no carrier or did no work.
    auto per = [&p](long long c0, double units) {
        return p.carriers.empty() || units <= 0 ? -1.0 : (double)(CtxSwitches(p.carriers) - c0) / units;
    };
    long long c0 = CtxSwitches(p.carriers);
    auto s = Measure([&] { MeasureStream(host, sink, secs); }, (int)secs + 120);
    f.streamOk = s["ok"] > 0;
    f.mbs = f.streamOk && s["secs"] > 0 ? s["bytes"] / s["secs"] / 1e6 : 0;
    f.csMB = per(c0, f.streamOk ? s["bytes"] / 1e6 : 0);
    c0 = CtxSwitches(p.carriers);
    auto e = Measure([&] { MeasureEcho(host, echo, secs); }, (int)secs + 60);
    f.echoOk = e["ok"] > 0 && e["n"] > 0;
    f.echoMed = e["med"], f.echoMean = e["mean"];
    f.csEcho = per(c0, f.echoOk ? e["n"] : 0);
    c0 = CtxSwitches(p.carriers);
    auto o = Measure([&] { MeasureOpen(host, echo, secs * 2); }, (int)secs * 2 + 60);
    f.openOk = o["ok"] > 0 && o["n"] > 0;
    f.openMed = o["med"], f.openMean = o["mean"];
    f.csOpen = per(c0, f.openOk ? o["n"] : 0);
}

void MeasureIdle(Path& p, const std::vector<Proc>& procs)
{
    for (auto& q : procs) p.rss0.push_back({q.label, q.tree ? TreeRssKiB(q.pid) : RssKiB(q.pid)});
    kvlab::RunOptions o;
    o.ns = g_pair.nsA;
    std::string host = p.host;
    uint16_t echo = p.echo;
    kvlab::Process h = kvlab::RunChild(o, [&] { return Hold(host, echo, kIdleConns); });
    if (!h.WaitOutput("held ", 120 * 1000) || h.Output().find("held " + std::to_string(kIdleConns)) == std::string::npos)
        fprintf(stderr, "bench_tunnel: %s held only: %s\n", p.name.c_str(), h.Output().c_str());
    usleep(1000 * 1000);  // let the carriers settle after the last open
    for (auto& q : procs) p.rss.push_back({q.label, q.tree ? TreeRssKiB(q.pid) : RssKiB(q.pid)});
    h.Kill();
    p.settle();
}

// ---------------------------------------------------------------------------------------
// ssh -L

struct Ssh {
    std::unique_ptr<kvlab::TempDir> dir;
    kvlab::Process sshd, ssh;
    std::string cipher;
};

bool StartSsh(Ssh& s)
{
    s.dir.reset(new kvlab::TempDir());
    const std::string d = s.dir->Path();
    std::string out;
    if (kvlab::Sh("ssh-keygen -q -t ed25519 -N '' -f " + d + "/host && ssh-keygen -q -t ed25519 -N '' -f " + d +
                      "/user && cp " + d + "/user.pub " + d + "/authorized_keys && (printf '[%s]:%u ' " + kAddrB + " " +
                      std::to_string(kSshPort) + "; cat " + d + "/host.pub) > " + d + "/known_hosts",
                  &out) != 0) {
        fprintf(stderr, "bench_tunnel: ssh-keygen failed: %s\n", out.c_str());
        return false;
    }
    {
        std::ofstream c(d + "/sshd_config");
        c << "ListenAddress " << kAddrB << ":" << kSshPort << "\n"
          << "HostKey " << d << "/host\n"
          << "AuthorizedKeysFile " << d << "/authorized_keys\n"
          << "PidFile " << d << "/sshd.pid\n"
          << "PermitRootLogin prohibit-password\nPubkeyAuthentication yes\nPasswordAuthentication no\n"
          << "KbdInteractiveAuthentication no\nUsePAM no\nStrictModes no\nAllowTcpForwarding yes\n"
          << "LogLevel ERROR\n";
        std::ofstream k(d + "/ssh_config");
        k << "Host *\n  IdentityFile " << d << "/user\n  IdentitiesOnly yes\n  UserKnownHostsFile " << d
          << "/known_hosts\n  StrictHostKeyChecking yes\n  BatchMode yes\n  ExitOnForwardFailure yes\n";
    }
    // sshd wants its privilege separation directory /run/sshd: it gets it on a private /run.
    kvlab::RunOptions ob;
    ob.ns = g_pair.nsB;
    ob.tmpfs = {"/run"};
    s.sshd = kvlab::SpawnChild(ob, {"/bin/sh", "-c", "mkdir -m 755 /run/sshd && exec /usr/sbin/sshd -D -e -f " + d +
                                                         "/sshd_config"});
    kvlab::RunOptions oa;
    oa.ns = g_pair.nsA;
    oa.env = {"HOME=" + d};
    std::string hostArg = std::string("root@") + kAddrB;
    bool up = false;
    for (int i = 0; i < 50 && !up; i++) {
        usleep(100 * 1000);
        s.ssh = kvlab::SpawnChild(
            oa, {"ssh", "-F", d + "/ssh_config", "-N", "-p", std::to_string(kSshPort), "-L",
                 "127.0.0.1:" + std::to_string(kSshSink) + ":127.0.0.1:" + std::to_string(kSinkPort), "-L",
                 "127.0.0.1:" + std::to_string(kSshEcho) + ":127.0.0.1:" + std::to_string(kEchoPort), hostArg});
        up = kvlab::WaitUntil(
            [&] {
                if (!s.ssh.Running()) return true;
                return Measure([] {
                           int fd = Connect("127.0.0.1", kSshEcho, true, 2);
                           printf("RESULT probe ok=%d\n", fd >= 0 && Echo64(fd) ? 1 : 0);
                       },
                               10)["ok"] > 0;
            },
            5000) &&
             s.ssh.Running();
    }
    if (!up) {
        fprintf(stderr, "bench_tunnel: ssh -L did not come up:\n%s\n%s\n", s.sshd.Output().c_str(),
                s.ssh.Output().c_str());
        return false;
    }
    // Both ends keep their default lists, so the client's first cipher is the one in use.
    out.clear();
    kvlab::Sh("ssh -G -F " + d + "/ssh_config " + hostArg + " 2>/dev/null | sed -n 's/^ciphers //p' | cut -d, -f1", &out);
    s.cipher = out.substr(0, out.find('\n'));
    return true;
}

// ---------------------------------------------------------------------------------------
// The tunnel: two tunnel instances logged in to the test rendezvous server, with connections
// added on the calling side (A) to services on the called side (B).

class TunnelPair {
public:
    bool Start(const std::string& nsA, const std::string& ipA, const std::string& nsB, const std::string& ipB)
    {
        kvlab::Host a, b;
        a.name = "a", a.ns = nsA, a.ip4 = ipA, a.ip4s = {ipA};
        b.name = "b", b.ns = nsB, b.ip4 = ipB, b.ip4s = {ipB};
        kvtun::PairOptions opt;
        // Room for the idle connections beside the ones still closing from the open runs.
        opt.extraCfg = "(Base){(MaxSess){4096}(MaxTunnel){16}(ConnectTimeout){10}}";
        return m_pair.StartOn(a, b, opt);
    }
    // A connection from 127.0.0.1:<client> in A to 127.0.0.1:<service> in B.
    bool AddConnection(bool encrypt, uint16_t service, uint16_t client)
    {
        return !m_pair.AddConnection(0, "127.0.0.1:" + std::to_string(service), "127.0.0.1:" + std::to_string(client),
                                     encrypt ? 1 : 0)
                    .empty();
    }
    // Until both tunnels have let go of every session (closed connections linger a while).
    void WaitIdle()
    {
        std::string last;
        double t0 = Now();
        for (kvtun::Driven* d : {&m_pair.a, &m_pair.b})
            if (!kvtun::TunnelPair::Idle(*d, 60000, &last))
                fprintf(stderr, "bench_tunnel: a tunnel is still busy after 60 s: %s\n", last.c_str());
        if (Now() - t0 > 2) fprintf(stderr, "bench_tunnel: the tunnels let go of closed connections in %.1f s\n", Now() - t0);
    }
    pid_t CallingPid() const { return m_pair.a.p.Pid(); }
    pid_t CalledPid() const { return m_pair.b.p.Pid(); }
    void Stop()
    {
        for (kvtun::Driven* d : {&m_pair.a, &m_pair.b, &m_pair.srv})
            if (d->p.Valid()) d->Cmd("quit");
        for (kvtun::Driven* d : {&m_pair.a, &m_pair.b, &m_pair.srv}) {
            if (d->p.Valid() && !d->p.Wait(5000)) d->p.Kill();
            // A figure from a process that went wrong on the way is not one to trust.
            std::string out = d->Out();
            for (const char* bad : {"Sanitizer", "runtime error"})
                if (out.find(bad) != std::string::npos) fprintf(stderr, "bench_tunnel: %s\n", out.c_str());
        }
    }

private:
    kvtun::TunnelPair m_pair;
};

// ---------------------------------------------------------------------------------------

double Ratio(double a, double b)
{
    return a > 0 && b > 0 ? a / b : 0;
}

void PrintRatio(double v)
{
    if (v > 0)
        printf(" %10.3f", v);
    else
        printf(" %10s", "-");
}

int Orchestrate(double secs, bool quick)
{
    rlimit nofile{65536, 65536};
    setrlimit(RLIMIT_NOFILE, &nofile);  // children inherit it: 1,000 idle connections per side
    if (!g_pair.Make("kvbencht", "kvt", "10.233.0", kAddrA, kAddrB)) {
        fprintf(stderr, "bench_tunnel: cannot build the veth pair (needs root, ip and nft)\n");
        return 1;
    }
    int rc = 0;
    {
        kvlab::RunOptions ob;
        ob.ns = g_pair.nsB;
        kvlab::Process services = kvlab::RunChild(ob, [] { return Serve(); });
        Ssh ssh;
        TunnelPair tun;
        std::vector<Path> paths(4);
        paths[0] = {"raw TCP", kAddrB, kSinkPort, kEchoPort, true, {}, {}, {}};
        paths[1] = {"ssh -L", "127.0.0.1", kSshSink, kSshEcho, false, {}, {}, {}};
        paths[2] = {"tunnel, plain", "127.0.0.1", 0, 0, false, {}, {}, {}};
        paths[3] = {"tunnel, encrypted", "127.0.0.1", 0, 0, false, {}, {}, {}};
        if (!services.WaitOutput("serving", 5000)) {
            fprintf(stderr, "bench_tunnel: services did not start: %s\n", services.Output().c_str());
            rc = 1;
        }
        paths[1].ready = rc == 0 && StartSsh(ssh);
        if (paths[1].ready) paths[1].carriers = {{"ssh client", ssh.ssh.Pid(), false}, {"sshd", ssh.sshd.Pid(), true}};
        if (rc == 0 && tun.Start(g_pair.nsA, kAddrA, g_pair.nsB, kAddrB)) {
            for (int enc = 0; enc < 2; enc++) {
                Path& p = paths[2 + enc];
                p.sink = (uint16_t)(kTunSink + 10 * enc);
                p.echo = (uint16_t)(kTunEcho + 10 * enc);
                p.settle = [&tun] { tun.WaitIdle(); };
                p.carriers = {{"calling tunnel", tun.CallingPid(), false}, {"called tunnel", tun.CalledPid(), false}};
                p.ready = tun.AddConnection(enc != 0, kSinkPort, p.sink) && tun.AddConnection(enc != 0, kEchoPort, p.echo);
            }
        }

        const int losses[2] = {0, 5};
        const int nLoss = quick ? 1 : 2;
        for (int l = 0; l < nLoss && rc == 0; l++) {
            g_pair.SetLoss(losses[l]);
            for (auto& p : paths) {
                if (!p.ready) continue;
                fprintf(stderr, "bench_tunnel: %s at %d%% loss\n", p.name.c_str(), losses[l]);
                MeasurePath(p, p.fig[l], secs);
                p.settle();
            }
        }
        g_pair.SetLoss(0);
        if (rc == 0 && !quick) {
            if (paths[1].ready)
                MeasureIdle(paths[1], {{"ssh client", ssh.ssh.Pid(), false}, {"sshd", ssh.sshd.Pid(), true}});
            for (int enc = 0; enc < 2; enc++)
                if (paths[2 + enc].ready)
                    MeasureIdle(paths[2 + enc],
                                {{"calling tunnel", tun.CallingPid(), true}, {"called tunnel", tun.CalledPid(), true}});
        }

        printf("\nOne TCP stream over a veth pair: raw TCP, ssh -L (cipher %s), the tunnel\n",
               ssh.cipher.empty() ? "?" : ssh.cipher.c_str());
        printf("stream %.0f s per figure; echo: 64 bytes there and back on one connection; open: connect and\n"
               "the first 64-byte echo on a new connection; times in microseconds, median (mean); loss by %s\n"
               "context switches: of every thread of the carrying processes (ssh client and sshd with its\n"
               "children; both tunnel processes), whatever the load of the machine\n",
               secs, g_pair.netem ? "netem on both ends" : "nftables on both ends (no netem in this kernel)");
        for (int l = 0; l < nLoss; l++) {
            printf("\n%d%% loss%-14s %10s %22s %22s\n", losses[l], "", "MB/s", "echo us", "open us");
            for (auto& p : paths) {
                Figures& f = p.fig[l];
                if (!p.ready) {
                    printf("%-22s %10s %22s %22s   (not running)\n", p.name.c_str(), "-", "-", "-");
                    continue;
                }
                char e[64] = "failed", o[64] = "failed";
                if (f.echoOk) snprintf(e, sizeof(e), "%.0f (%.0f)", f.echoMed, f.echoMean);
                if (f.openOk) snprintf(o, sizeof(o), "%.0f (%.0f)", f.openMed, f.openMean);
                char m[32] = "failed";
                if (f.streamOk) snprintf(m, sizeof(m), "%.1f", f.mbs);
                printf("%-22s %10s %22s %22s\n", p.name.c_str(), m, e, o);
            }
            printf("%-28s %10s %10s %10s\n", "  ratios (times: medians)", "MB/s", "echo", "open");
            for (int enc = 0; enc < 2; enc++) {
                Path& t = paths[2 + enc];
                if (!t.ready) continue;
                for (int ref = 0; ref < 2; ref++) {
                    Path& r = paths[ref];
                    Figures &ft = t.fig[l], &fr = r.fig[l];
                    printf("  %-26s", (t.name + (ref ? " / ssh" : " / raw")).c_str());
                    PrintRatio(Ratio(ft.mbs, fr.mbs));
                    PrintRatio(ft.echoOk && fr.echoOk ? Ratio(ft.echoMed, fr.echoMed) : 0);
                    PrintRatio(ft.openOk && fr.openOk ? Ratio(ft.openMed, fr.openMed) : 0);
                    printf("\n");
                }
            }
            printf("%-28s %10s %10s %10s\n", "  context switches", "per MB", "per echo", "per open");
            for (auto& p : paths) {
                Figures& f = p.fig[l];
                if (!p.ready || p.carriers.empty()) continue;
                printf("  %-26s", p.name.c_str());
                for (double v : {f.csMB, f.csEcho, f.csOpen}) {
                    if (v >= 0)
                        printf(" %10.1f", v);
                    else
                        printf(" %10s", "-");
                }
                printf("\n");
            }
        }
        if (!quick)
            printf("\nMemory (RSS, KiB) with %d idle connections open, 0%% loss\n", kIdleConns);
        for (auto& p : paths) {
            for (size_t i = 0; i < p.rss.size(); i++)
                printf("%-22s %-16s %10ld before, %10ld with them (+%ld)\n", p.name.c_str(), p.rss[i].first.c_str(),
                       p.rss0[i].second, p.rss[i].second, p.rss[i].second - p.rss0[i].second);
        }
        if (paths[2].rss.size() && paths[3].rss.size())
            printf("  (the encrypted tunnel's run follows the plain one in the same processes, whose heap has\n"
                   "  already grown: its figures with the connections are the ones to compare)\n");
        for (int enc = 0; enc < 2; enc++) {
            Path &t = paths[2 + enc], &s = paths[1];
            if (t.rss.size() == 2 && s.rss.size() == 2)
                printf("  %-26s called tunnel / sshd %.3f, calling tunnel / ssh client %.3f (with them)\n",
                       (t.name + " / ssh").c_str(), Ratio((double)t.rss[1].second, (double)s.rss[1].second),
                       Ratio((double)t.rss[0].second, (double)s.rss[0].second));
        }
        fflush(stdout);
        tun.Stop();
        ssh.ssh.Kill();
        ssh.sshd.Kill();
        services.Kill();
    }
    g_pair.Remove();
    return rc;
}

}  // namespace

int main(int argc, char** argv)
{
    double secs = 4;
    bool quick = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--secs" && i + 1 < argc)
            secs = std::max(1.0, std::atof(argv[++i]));
        else if (a == "--quick")
            quick = true;
        else {
            fprintf(stderr, "usage: bench_tunnel [--secs N] [--quick]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    return Orchestrate(secs, quick);
}
