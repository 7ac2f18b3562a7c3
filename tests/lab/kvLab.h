// Test fixtures shared by the test programs: the network lab and process helpers.
//
// The network lab builds small networks out of Linux network namespaces, so that tests can
// send real traffic between "machines" without touching any address outside the machine:
//
//   kvlab::Lab lab;                                   // removes everything it made when destroyed
//   auto pub  = lab.AddSegment("pub");                // a switch (bridge) = one LAN segment
//   auto srv  = lab.AddHost(pub, "srv", 3);           // a server with three IPv4 addresses
//   auto lanA = lab.AddSegment("lana");
//   auto natA = lab.AddNatRouter("nata", pub, lanA, kvlab::NatType::FullCone);
//   auto a    = lab.AddHost(lanA, "a");               // default route through natA
//   kvlab::Process p = lab.SpawnIn(a, {KV_TOOL_DIR "/tool_peer", "--port", "7000"});
//   ASSERT_TRUE(p.WaitOutput("ready", 3000));
//
// Addressing (every range is private and exists only inside the lab's namespaces):
//   segment number s (1, 2, ... in creation order): IPv4 10.s.0.0/24 with broadcast
//   10.s.0.255, IPv6 fd00:s::/64 (added "nodad", usable at once);
//   a NAT router takes 10.s.0.1 / fd00:s::1 on its LAN segment and is the default gateway of
//   that segment's hosts; hosts and the router's WAN side get 10.s.0.11, .12, ... in the order
//   they are added (a host with several IPv4 addresses takes consecutive ones);
//   the device inside every host namespace is "eth0", inside a router "wan" and "lan".
// IPv4 from a LAN behind a router leaves through its NAT; IPv6 is routed without NAT (hosts on
// the router's WAN segment get a route to the LAN prefix), so IPv6 peers reach each other
// directly.
//
// Namespace names are "kvl<pid>-<lab number>-<name>", so test programs that ctest runs in
// parallel never collide. The Lab destructor kills what still runs inside its namespaces and
// deletes them; constructing a Lab also deletes namespaces of that pattern whose pid no longer
// lives (left over from a program that crashed or was killed).
//
// Only the C++ standard library, POSIX and GoogleTest are used here.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kvlab {

// ---------------------------------------------------------------------------------------------
// Availability

// True when network namespaces can be made here: running as root, `ip` and `nft` found, and a
// probe namespace could be created and deleted (checked once per process). Otherwise false and
// the reason in *pWhy.
bool CanMakeNamespaces(std::string* pWhy = nullptr);

// Skips the current test (GTEST_SKIP) with a clear message when the lab cannot run.
#define KV_LAB_REQUIRE()                                                                  \
    do {                                                                                  \
        std::string kvLabWhy_;                                                            \
        if (!::kvlab::CanMakeNamespaces(&kvLabWhy_))                                      \
            GTEST_SKIP() << "network lab unavailable (needs root, ip, nft, netns): "      \
                         << kvLabWhy_;                                                    \
    } while (0)

// ---------------------------------------------------------------------------------------------
// Commands and processes

// Runs a shell command (sh -c) in the caller's namespaces; returns its exit status (-1 when it
// could not run or died by a signal). Standard output and error are appended to *pOut.
int Sh(const std::string& cmd, std::string* pOut = nullptr);

// How to start a child (see RunChild and SpawnChild).
struct RunOptions {
    std::string ns;                    // full namespace name to enter ("" = stay where we are)
    std::vector<std::string> tmpfs;    // directories (e.g. "/var") to hide behind a fresh tmpfs
                                       // in a private mount namespace of the child
    std::vector<std::string> env;      // extra "NAME=value" entries for the child's environment
};

// A child process (forked function or spawned program) whose standard output and error go to
// a private file. Not copyable, movable. The destructor kills (SIGKILL) and reaps the child.
class Process {
public:
    Process() = default;
    Process(pid_t pid, std::string outPath);
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();

    pid_t Pid() const { return m_pid; }
    bool Valid() const { return m_pid > 0; }
    // True while the child has not exited (reaps it when it has).
    bool Running();
    // Waits up to uTimeoutMs for the child to exit. True when it exited; *pExit then holds the
    // exit code (128 + signal number when killed by a signal).
    bool Wait(int timeoutMs, int* pExit = nullptr);
    // Sends a signal (default SIGKILL); with SIGKILL the child is also reaped.
    void Kill(int sig = 9);
    // Everything the child has written so far to its standard output and error.
    std::string Output() const;
    // Polls the output until it contains the text (true) or the time is up (false).
    bool WaitOutput(const std::string& text, int timeoutMs) const;
    // Exit code after Wait/Running saw the exit, else -1.
    int ExitCode() const { return m_exit; }

private:
    void Release();
    pid_t m_pid = -1;
    int m_exit = -1;
    bool m_reaped = false;
    std::string m_out;
};

// Forks a child that enters the options' namespace (with /etc/netns/<ns>/* bind-mounted over
// /etc/* like `ip netns exec`, so a hosts file written with Lab::SetHosts is used), mounts the
// tmpfs directories, adds the environment entries, runs fn and exits with its result (125 when
// it threw, 126 when the setup failed). The child never returns into the test: gtest
// assertions in fn only affect the child; report through the exit code or the output.
Process RunChild(const RunOptions& opt, const std::function<int()>& fn);
// Like RunChild, but executes a program (argv[0] is a path or a name searched in PATH).
Process SpawnChild(const RunOptions& opt, const std::vector<std::string>& argv);

// Polls cond every few milliseconds until it is true (true) or timeoutMs has passed (false).
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs);

// Fails the current test (non-fatally) when the child's output holds a sanitizer report: the
// programs the tests start are built with the same sanitizers as the tests, and what they find
// there is a fault of the test too. Nothing for a child that was never started.
void ExpectNoSanitizerReport(const Process& p);

// A fresh directory under /tmp, removed with its content by the destructor. Use it as HOME.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// Switches the calling thread into a namespace until destroyed (then back). Sockets made
// meanwhile stay in that namespace for their whole life, and threads started meanwhile live
// in it; this lets one test process hold sockets in several hosts at once.
class NetnsGuard {
public:
    explicit NetnsGuard(const std::string& ns);
    ~NetnsGuard();
    NetnsGuard(const NetnsGuard&) = delete;
    NetnsGuard& operator=(const NetnsGuard&) = delete;
    bool Ok() const { return m_ok; }

private:
    int m_saved = -1;
    bool m_ok = false;
};

// ---------------------------------------------------------------------------------------------
// UDP helpers (numeric IPv4 or IPv6 address texts; the family follows the address)

// A UDP socket made inside namespace ns ("" = the caller's), bound to addr:port (port 0 = any;
// addr "" = the IPv4 wildcard, "::" = the IPv6 wildcard), with SO_BROADCAST on. -1 on failure.
int UdpOpen(const std::string& ns, const std::string& addr, uint16_t port = 0);
// The port a socket is bound to (0 on failure).
uint16_t UdpPort(int fd);
// Sends one datagram; true when the whole datagram was sent.
bool UdpSend(int fd, const std::string& addr, uint16_t port, const std::string& data);
// Waits up to timeoutMs for one datagram. True with its content and sender when one came.
bool UdpRecv(int fd, int timeoutMs, std::string* pData, std::string* pFromAddr = nullptr,
             uint16_t* pFromPort = nullptr);

// ---------------------------------------------------------------------------------------------
// Network lab

enum class NatType {
    FullCone,        // one mapping per inside address and port; anyone may send to it
    RestrictedCone,  // one mapping; only addresses the host has sent to may send to it
    PortRestricted,  // one mapping; only address and port pairs the host has sent to
    Symmetric,       // a new mapping per destination; only that destination may answer
};

struct Segment {
    std::string name;     // name given to AddSegment
    std::string ns;       // namespace of its switch (bridge "br0")
    int index = 0;        // s in 10.s.0.0/24, fd00:s::/64
    std::string prefix4;  // "10.s.0" (append ".N")
    std::string prefix6;  // "fd00:s:" (append ":N" with N in hexadecimal)
    std::string broadcast4;  // "10.s.0.255"
};

struct Host {
    std::string name;               // name given to AddHost / AddNatRouter
    std::string ns;                 // full namespace name (for RunChild, SpawnChild, NetnsGuard, UdpOpen)
    std::string ifname;             // "eth0" for hosts, "wan" for a router
    std::string ip4;                // first IPv4 address (router: WAN address)
    std::vector<std::string> ip4s;  // all IPv4 addresses of eth0 (router: of wan)
    std::string ip6;                // IPv6 address of eth0 (router: of wan)
    std::string lan4;               // router only: its LAN-side IPv4 address (gateway)
    std::string lan6;               // router only: its LAN-side IPv6 address
};

class Lab {
public:
    Lab();   // fails the current test (ADD_FAILURE) on errors; use KV_LAB_REQUIRE() first
    ~Lab();  // kills processes in the lab's namespaces, deletes them and their /etc/netns dirs
    Lab(const Lab&) = delete;
    Lab& operator=(const Lab&) = delete;

    // "kvl<pid>-<n>-": the start of every namespace name of this lab.
    const std::string& Prefix() const { return m_prefix; }

    // A new LAN segment (switch namespace with a bridge). Broadcast works on it.
    Segment AddSegment(const std::string& name);
    // A host namespace with "eth0" on the segment, nAddr4 IPv4 addresses and one IPv6 address.
    // Its default routes go through the segment's router, if it has one.
    Host AddHost(const Segment& seg, const std::string& name, int nAddr4 = 1);
    // A NAT router: "wan" on the wan segment, "lan" (gateway) on the lan segment; forwards
    // IPv4 with the given NAT and IPv6 without NAT. Unsolicited UDP to its own WAN address
    // is dropped so that it can never create a conntrack entry that disturbs the mappings.
    // The outside port of a mapping is usually the inside port (random for Symmetric); the
    // cone behaviour holds per inside address and port, so hosts behind one router should
    // not use the same UDP port (the kernel keeps a port only while it is free).
    Host AddNatRouter(const std::string& name, const Segment& wan, const Segment& lan,
                      NatType type);
    // Replaces a router's NAT type and forgets its mappings (flushes its conntrack table).
    bool SetNat(const Host& router, NatType type);
    // Forgets a router's mappings without changing its type.
    bool FlushNat(const Host& router);
    // Sets the UDP conntrack timeouts (seconds) of a namespace, for unreplied and replied
    // flows alike. On a router this is how long an idle mapping lives (cone mappings included,
    // default 120 s); it reloads the router's NAT, so its current mappings are forgotten.
    bool SetUdpTimeout(const Host& host, int seconds);
    // Drops about `percent` percent of the UDP datagrams arriving at the host from outside
    // (loopback and other protocols are untouched). 0 removes the loss.
    bool SetLoss(const Host& host, int percent);
    // Writes /etc/netns/<ns>/hosts, used by everything started with RunIn/SpawnIn in that host.
    bool SetHosts(const Host& host, const std::string& content);
    // Runs a shell command inside the host's namespace (`ip netns exec`); exit status as Sh.
    int Exec(const Host& host, const std::string& cmd, std::string* pOut = nullptr);

    // The kernel's IPv4 neighbour table is shared by every namespace of the machine (about a
    // thousand entries), and a LAN scan, which tries every address of a /24, can fill it for
    // seconds with unanswered entries; a host that then meets a neighbour for the first time
    // cannot send to it. Machines of one test that know each other for good never need a new
    // entry: PinNeighbours gives each end a permanent entry for every other end.
    struct NeighEnd {
        Host host;
        std::string dev;  // the end's interface on the shared segment
        std::string ip4;  // its address there
    };
    static NeighEnd End(const Host& host) { return {host, host.ifname, host.ip4}; }
    bool PinNeighbours(const std::vector<NeighEnd>& ends);
    bool PinNeighbours(const std::vector<Host>& hosts);
    // Makes an unknown neighbour of the host fail at once, without ARP, so that the entries a
    // scan leaves are reclaimed at once (use with PinNeighbours for the host's real peers).
    bool QuietUnknownNeighbours(const Host& host);
    // For hosts that run LAN scans: each gets QuietUnknownNeighbours, and they are pinned to
    // each other.
    bool QuietScans(const std::vector<Host>& hosts);

    // RunChild / SpawnChild inside the host (opt.ns is set to the host's namespace).
    Process RunIn(const Host& host, const std::function<int()>& fn, RunOptions opt = {});
    Process SpawnIn(const Host& host, const std::vector<std::string>& argv, RunOptions opt = {});

    // Names of the namespaces this lab made (switches, hosts, routers).
    std::vector<std::string> Namespaces() const { return m_ns; }
    // Deletes everything now (also done by the destructor); returns true when all went.
    bool Cleanup();

    // Deletes namespaces "kvl<pid>-..." (and their /etc/netns dirs), output files and
    // temporary directories of the lab whose pid no longer lives.
    static void CleanStale();

private:
    bool NewNs(const std::string& ns);
    std::string m_prefix;
    std::vector<std::string> m_ns;
    struct SegState {
        Segment seg;
        int nextHost = 11;
        int nextPort = 0;
        std::string gw4, gw6;  // router of this segment, if any
        std::vector<std::string> hostNs;
    };
    std::vector<SegState> m_segs;
    struct RouterState {
        std::string ns;
        int wanSeg, lanSeg;
        std::string wan6;
        NatType type;
        int mapTimeout = 120;
    };
    RouterState* FindRouter(const Host& host);
    bool ApplyNat(const RouterState& r);
    std::vector<RouterState> m_routers;
    SegState* FindSeg(const Segment& seg);
    bool m_failed = false;
};

}  // namespace kvlab
