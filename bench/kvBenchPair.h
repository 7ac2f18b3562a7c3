// What the benchmarks share: two network namespaces joined by one veth pair (A and B, one
// address each, a default route each so that LAN discovery's broadcast to 255.255.255.255
// leaves), loss made on both ends, and runs of the benchmark program itself as a receiver in B
// and a sender in A that report one "RESULT ..." line; plus a plain TCP stream on the pair.
// Header only, C++ standard library and POSIX; run as root.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace kvbench {

inline double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Polls f every millisecond until it is true (true) or secs have passed (false).
inline bool Until(const std::function<bool()>& f, double secs)
{
    double t0 = Now();
    while (!f()) {
        if (Now() - t0 > secs) return false;
        usleep(1000);
    }
    return true;
}

inline int Sh(const std::string& c)
{
    return system(c.c_str());
}

// The path of the running program ("" when unknown).
inline std::string SelfPath()
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return "";
    self[n] = 0;
    return self;
}

class VethPair {
public:
    std::string nsA, nsB, vethA, vethB;
    bool netem = false;  // loss by netem (else by nftables, when the kernel has no netem)

    // Names are <nsTag><pid>a/b for the namespaces and <devTag><pid>a/b for the devices;
    // addrA and addrB are IPv4 addresses in prefix24.0/24 (prefix24 like "10.231.0").
    bool Make(const std::string& nsTag, const std::string& devTag, const std::string& prefix24,
              const std::string& addrA, const std::string& addrB)
    {
        std::string tag = std::to_string(getpid());
        nsA = nsTag + tag + "a";
        nsB = nsTag + tag + "b";
        vethA = devTag + tag + "a";
        vethB = devTag + tag + "b";
        std::string bc = " broadcast " + prefix24 + ".255 dev ";
        if (Sh("ip netns add " + nsA) || Sh("ip netns add " + nsB) ||
            Sh("ip link add " + vethA + " type veth peer name " + vethB) ||
            Sh("ip link set " + vethA + " netns " + nsA) || Sh("ip link set " + vethB + " netns " + nsB) ||
            Sh("ip -n " + nsA + " addr add " + addrA + "/24" + bc + vethA) ||
            Sh("ip -n " + nsB + " addr add " + addrB + "/24" + bc + vethB) ||
            Sh("ip -n " + nsA + " link set " + vethA + " up") || Sh("ip -n " + nsB + " link set " + vethB + " up") ||
            Sh("ip -n " + nsA + " link set lo up") || Sh("ip -n " + nsB + " link set lo up") ||
            Sh("ip -n " + nsA + " route add default dev " + vethA) ||
            Sh("ip -n " + nsB + " route add default dev " + vethB)) {
            Remove();
            return false;
        }
        netem = Sh("ip netns exec " + nsA + " tc qdisc add dev " + vethA + " root netem loss 0% 2>/dev/null") == 0;
        if (netem) Sh("ip netns exec " + nsA + " tc qdisc del dev " + vethA + " root");
        return true;
    }

    void Remove()
    {
        Sh("ip netns del " + nsA + " 2>/dev/null; ip netns del " + nsB + " 2>/dev/null");
    }

    // Drops about percent % of the packets each end sends (netem), or of those arriving at each
    // end (nftables); 0 removes the loss.
    void SetLoss(int percent)
    {
        for (auto& p : {std::make_pair(nsA, vethA), std::make_pair(nsB, vethB)}) {
            if (netem) {
                Sh("ip netns exec " + p.first + " tc qdisc del dev " + p.second + " root 2>/dev/null");
                if (percent > 0)
                    Sh("ip netns exec " + p.first + " tc qdisc add dev " + p.second + " root netem loss " +
                       std::to_string(percent) + "%");
                continue;
            }
            Sh("ip netns exec " + p.first + " nft delete table inet kvbench 2>/dev/null");
            if (percent > 0)
                Sh("ip netns exec " + p.first + " nft add table inet kvbench && ip netns exec " + p.first +
                   " nft 'add chain inet kvbench in { type filter hook input priority 0; policy accept; }' && ip netns exec " +
                   p.first + " nft add rule inet kvbench in iifname " + p.second + " numgen random mod 100 \\< " +
                   std::to_string(percent) + " drop");
        }
    }
};

// One run's figures, from the receiver's line "RESULT [msgs=N ]bytes=N secs=S".
struct Result {
    unsigned msgs = 0;
    unsigned long long bytes = 0;
    double secs = 0;
    bool ok = false;
};

// Starts "<self> <recvArgs>" in B; once it prints "READY", starts "<self> <sendArgs>" in A
// (in the background); returns the receiver's RESULT line. Then waits pauseSecs, so that the
// sender has ended and its port is free for the next run.
inline Result RunPair(const VethPair& pair, const std::string& self, const std::string& recvArgs,
                      const std::string& sendArgs, int pauseSecs)
{
    Result res;
    FILE* r = popen(("ip netns exec " + pair.nsB + " " + self + " " + recvArgs).c_str(), "r");
    if (!r) return res;
    char line[512];
    bool ready = false;
    while (fgets(line, sizeof(line), r)) {
        if (!ready && std::strncmp(line, "READY", 5) == 0) {
            ready = true;
            Sh("ip netns exec " + pair.nsA + " " + self + " " + sendArgs + " &");
        }
        if (std::sscanf(line, "RESULT msgs=%u bytes=%llu secs=%lf", &res.msgs, &res.bytes, &res.secs) == 3 ||
            std::sscanf(line, "RESULT bytes=%llu secs=%lf", &res.bytes, &res.secs) == 2)
            res.ok = true;
    }
    pclose(r);
    Sh("sleep " + std::to_string(pauseSecs));
    return res;
}

// The receiving end of a plain TCP stream on port: prints READY, takes one connection, reads
// up to total bytes and prints "RESULT bytes=N secs=S" (first byte to last).
inline int TcpRecv(uint16_t port, uint64_t total)
{
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    bind(ls, (sockaddr*)&a, sizeof(a));
    listen(ls, 1);
    printf("READY\n");
    fflush(stdout);
    int fd = accept(ls, nullptr, nullptr);
    std::vector<char> buf(1 << 16);
    uint64_t got = 0;
    double first = 0;
    while (got < total) {
        ssize_t r = recv(fd, buf.data(), buf.size(), 0);
        if (r <= 0) break;
        if (!got) first = Now();
        got += (uint64_t)r;
    }
    printf("RESULT bytes=%llu secs=%.6f\n", (unsigned long long)got, Now() - first);
    close(fd);
    close(ls);
    return 0;
}

// The sending end: connects to addr:port (retrying for 5 s) and writes total bytes in writes of
// size bytes, with Nagle off.
inline int TcpSend(const char* addr, uint16_t port, uint64_t total, uint32_t size)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, addr, &a.sin_addr);
    for (int i = 0; i < 50 && connect(fd, (sockaddr*)&a, sizeof(a)) != 0; i++) usleep(100 * 1000);
    std::vector<char> m(size, 't');
    for (uint64_t sent = 0; sent < total;) {
        ssize_t r = send(fd, m.data(), (size_t)std::min<uint64_t>(m.size(), total - sent), 0);
        if (r <= 0) break;
        sent += (uint64_t)r;
    }
    close(fd);
    return 0;
}

}  // namespace kvbench
