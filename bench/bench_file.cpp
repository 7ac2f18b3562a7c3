// File class throughput between two nodes in two network namespaces joined by a veth pair: a
// file transfer (file extension) and a byte stream (stream extension over socket pairs), beside
// a plain TCP stream on the same pair, at 0% and 5% loss on both ends. Prints MB/s and
// the ratios to TCP; run as root: bench_file
//
// Modes used internally (each node runs in its own process inside its namespace):
//   bench_file file-recv <bytes> | file-send <bytes>
//   bench_file stream-recv <bytes> | stream-send <bytes>
//   bench_file tcp-recv <bytes> | tcp-send <addr> <bytes>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kvBenchPair.h"
#include "qvLog.h"
#include "test_file_nodehost.h"

namespace {

const char* kAddrA = "10.232.0.1";
const char* kAddrB = "10.232.0.2";
const u16 kPort = 17200;
const char* kSelfA = "bfA";
const char* kSelfB = "bfB";

using kvbench::Now;
using kvbench::Until;

std::string TempDir()
{
    char tmpl[] = "/tmp/kvbench_file_XXXXXX";
    const char* d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

void RemoveDir(const std::string& d)
{
    if (d.rfind("/tmp/kvbench_file_", 0) == 0) system(("rm -rf " + d).c_str());
}

// ---------------------------------------------------------------------------------------
// Node ends

struct NodeEnd {
    kvfile::FileNodeHost host;
    std::atomic<int> status{0};
    std::atomic<double> t2{0}, t3{0};
    std::atomic<unsigned long long> cur{0};

    bool Start(const char* self, const char* peer, const std::string& obj, u32 flags)
    {
        host.onLine = [this, obj](const std::string& l) {
            char name[64];
            unsigned st = 0, side = 0;
            unsigned long long c = 0, req = 0;
            if (std::sscanf(l.c_str(), "STATUS %63s %u %llu %llu %u", name, &st, &c, &req, &side) == 5 && obj == name) {
                if (st == 2 && t2 == 0) t2 = Now();
                if (st == 3) {
                    cur = c;
                    t3 = Now();
                }
                status = (int)st;
            }
        };
        if (!host.Start(self, peer) || !host.Connect()) {
            fprintf(stderr, "bench_file: node did not start: %s\n", host.Why().c_str());
            return false;
        }
        return host.AddObject(obj, flags) != 0;
    }
};

int FileRecv(u64 bytes)
{
    NodeEnd n;
    std::string dir = TempDir();
    n.host.acceptDir = dir;
    printf("READY\n");
    fflush(stdout);
    if (!n.Start(kSelfB, kSelfA, "f", 0)) return 1;
    Until([&] { return n.status == 3; }, 300);
    double secs = n.t3 > n.t2 && n.t2 > 0 ? n.t3 - n.t2 : 0;
    printf("RESULT bytes=%llu secs=%.6f\n", (unsigned long long)(n.cur == bytes ? bytes : 0), secs);
    fflush(stdout);
    usleep(500 * 1000);
    n.host.Stop();
    qvTimerClean();
    RemoveDir(dir);
    return 0;
}

int FileSend(u64 bytes)
{
    std::string dir = TempDir(), path = dir + "/f.bin";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    std::vector<u8> buf(1 << 20);
    for (size_t i = 0; i < buf.size(); i++) buf[i] = (u8)(i * 131 + (i >> 9));
    for (u64 done = 0; fd >= 0 && done < bytes; done += buf.size())
        if (write(fd, buf.data(), (size_t)std::min<u64>(buf.size(), bytes - done)) <= 0) break;
    if (fd >= 0) close(fd);
    NodeEnd n;
    if (!n.Start(kSelfA, kSelfB, "f", 0)) return 1;
    n.host.Transfer(QV_FILE_REQ_PUT, "f", path, "f.bin", 0, 0, 1);
    Until([&] { return n.status == 3; }, 300);
    usleep(1000 * 1000);  // the last messages get out
    n.host.Stop();
    qvTimerClean();
    RemoveDir(dir);
    return 0;
}

int StreamRecv(u64 bytes)
{
    NodeEnd n;
    printf("READY\n");
    fflush(stdout);
    if (!n.Start(kSelfB, kSelfA, "s", QV_FILE_FLAG_TCP | QV_FILE_FLAG_DRAIN)) return 1;
    kvfile::StreamSink sink;
    sink.Start(n.host.streams, "s");
    double first = 0;
    Until([&] {
        if (!first && sink.Read()) first = Now();
        return sink.Eof();
    }, 300);
    double last = Now();
    bool ok = sink.Read() == bytes && !sink.Corrupt();
    printf("RESULT bytes=%llu secs=%.6f\n", (unsigned long long)(ok ? bytes : 0), first ? last - first : 0);
    fflush(stdout);
    usleep(500 * 1000);
    n.host.Stop();
    sink.Join();
    qvTimerClean();
    return 0;
}

int StreamSend(u64 bytes)
{
    NodeEnd n;
    if (!n.Start(kSelfA, kSelfB, "s", QV_FILE_FLAG_TCP | QV_FILE_FLAG_DRAIN)) return 1;
    kvfile::StreamSource src;
    src.Start(n.host.streams, "s", bytes);
    n.host.Transfer(QV_FILE_REQ_PUT, "s", "stream/s", "stream/s", 0, 0, 1);
    Until([&] { return n.status == 3; }, 300);
    usleep(1000 * 1000);
    n.host.Stop();
    src.Join();
    qvTimerClean();
    return 0;
}

// ---------------------------------------------------------------------------------------
// Orchestration

std::string g_self;
kvbench::VethPair g_pair;

struct Result : kvbench::Result {
    double MBs() const { return ok && secs > 0 && bytes ? bytes / secs / 1e6 : 0; }
};

// Runs the receiver in B and the sender in A; returns the receiver's figures.
Result Run(const std::string& recvArgs, const std::string& sendArgs)
{
    return {kvbench::RunPair(g_pair, g_self, recvArgs, sendArgs, 2)};
}

int Orchestrate()
{
    g_self = kvbench::SelfPath();
    if (g_self.empty() || !g_pair.Make("kvbenchf", "kvf", "10.232.0", kAddrA, kAddrB)) {
        fprintf(stderr, "bench_file: cannot build the veth pair (needs root, ip and nft)\n");
        return 1;
    }
    struct Row {
        int loss;
        u64 bytes;
        Result tcp, file, stream;
    } rows[] = {{0, 64ull << 20, {}, {}, {}}, {5, 8ull << 20, {}, {}, {}}};
    for (auto& r : rows) {
        g_pair.SetLoss(r.loss);
        std::string b = std::to_string(r.bytes);
        r.tcp = Run("tcp-recv " + b, std::string("tcp-send ") + kAddrB + " " + b);
        r.file = Run("file-recv " + b, "file-send " + b);
        r.stream = Run("stream-recv " + b, "stream-send " + b);
    }
    g_pair.SetLoss(0);
    g_pair.Remove();

    printf("\nFile class throughput between two nodes over a veth pair (receiver side figures)\n");
    printf("%-6s %-9s %12s %12s %12s %14s %14s\n", "loss", "size", "TCP MB/s", "file MB/s", "stream MB/s",
           "file / TCP", "stream / TCP");
    for (auto& r : rows) {
        double t = r.tcp.MBs(), f = r.file.MBs(), s = r.stream.MBs();
        printf("%4d%%  %5llu MiB %12.1f %12.1f %12.1f %14.3f %14.3f%s\n", r.loss, (unsigned long long)(r.bytes >> 20), t, f,
               s, t > 0 ? f / t : 0, t > 0 ? s / t : 0,
               (r.file.ok && r.file.bytes && r.stream.ok && r.stream.bytes) ? "" : "   (a transfer did not complete)");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (getenv("KV_TRACE")) qvPrintfEnable(1);
    if (mode == "file-recv" && argc >= 3) return FileRecv(strtoull(argv[2], nullptr, 10));
    if (mode == "file-send" && argc >= 3) return FileSend(strtoull(argv[2], nullptr, 10));
    if (mode == "stream-recv" && argc >= 3) return StreamRecv(strtoull(argv[2], nullptr, 10));
    if (mode == "stream-send" && argc >= 3) return StreamSend(strtoull(argv[2], nullptr, 10));
    if (mode == "tcp-recv" && argc >= 3) return kvbench::TcpRecv(kPort, strtoull(argv[2], nullptr, 10));
    if (mode == "tcp-send" && argc >= 4) return kvbench::TcpSend(argv[2], kPort, strtoull(argv[3], nullptr, 10), 1 << 16);
    if (!mode.empty()) {
        fprintf(stderr, "usage: bench_file\n");
        return 2;
    }
    return Orchestrate();
}
