// One node of the File milestone tests, run inside a lab namespace:
//   tool_file <self> <peer> <accept dir> [command fifo]
// It finds the other node on the LAN and prints "FOUND", then takes one command per line on
// standard input (or from the named pipe given):
//   connect                 make the other node a static peer (give it to both nodes at
//                           once) -> "READY" or "FAILED ..."
//   obj <name> <flags>                                   add a File object under the peer
//   put|get <name> <path> <peer path> <offset> <size> <param>
//   cancel <name>
//   src <stream> <bytes>    a source of <bytes> pattern bytes, then the end of the stream
//   sink <stream> [rcvbuf]  a sink that checks the pattern
//   pause <stream> 0|1      the sink stops / resumes reading
//   srcstat|sinkstat <stream>  -> "SRC <stream> <written> <done>" / "SINK <stream> <read> <eof> <corrupt>"
//   mem                     -> "MEM <resident KiB>"
//   quit
// and prints what the node reports: "REPLY", "STATUS", "CANCELLED", "BLOCKED" lines (see
// test_file_nodehost.h). Every answer line ends with a newline and is flushed at once.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "qvLog.h"
#include "test_file_nodehost.h"

using namespace kvfile;

namespace {

std::mutex g_out;

void Out(const std::string& line)
{
    std::lock_guard<std::mutex> lk(g_out);
    fprintf(stdout, "%s\n", line.c_str());
    fflush(stdout);
}

u64 ResidentKiB()
{
    FILE* f = fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    u64 kib = 0;
    while (fgets(line, sizeof(line), f))
        if (!strncmp(line, "VmRSS:", 6)) kib = strtoull(line + 6, nullptr, 10);
    fclose(f);
    return kib;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: tool_file <self> <peer> <accept dir> [command fifo]\n");
        return 2;
    }
    if (getenv("KV_TRACE")) qvPrintfEnable(1);
    // KV_LOG=<dir> writes the library log there.
    if (const char* dir = getenv("KV_LOG")) qvLogInit(0xF, dir, argv[1], 0, 0);
    FileNodeHost host;
    host.acceptDir = argv[3];
    host.onLine = Out;
    if (!host.Start(argv[1], argv[2])) {
        Out("FAILED start: " + host.Why());
        return 1;
    }
    std::map<std::string, std::unique_ptr<StreamSource>> sources;
    std::map<std::string, std::unique_ptr<StreamSink>> sinks;
    std::ifstream fifo;
    if (argc > 4) fifo.open(argv[4]);
    std::istream& cmds = argc > 4 ? static_cast<std::istream&>(fifo) : std::cin;
    Out("FOUND");
    std::string line;
    while (std::getline(cmds, line)) {
        std::istringstream in(line);
        std::string cmd, name;
        in >> cmd >> name;
        if (cmd == "quit") break;
        if (cmd == "connect") {
            Out(host.Connect() ? "READY" : "FAILED connect: " + host.Why());
        } else if (cmd == "obj") {
            u32 flags = 0;
            in >> flags;
            Out("OBJ " + name + " " + std::to_string(host.AddObject(name, flags)));
        } else if (cmd == "put" || cmd == "get") {
            std::string path, peerPath;
            unsigned long long off = 0, size = 0;
            u32 param = 0;
            in >> path >> peerPath >> off >> size >> param;
            int r = host.Transfer(cmd == "put" ? QV_FILE_REQ_PUT : QV_FILE_REQ_GET, name, path, peerPath, off, size,
                                  param);
            Out("REQ " + name + " " + std::to_string(r));
        } else if (cmd == "cancel") {
            Out("REQ " + name + " " + std::to_string(host.Request(name, QV_FILE_REQ_CANCEL)));
        } else if (cmd == "src") {
            unsigned long long n = 0;
            in >> n;
            auto s = std::make_unique<StreamSource>();
            bool ok = s->Start(host.streams, name, n);
            sources[name] = std::move(s);
            Out(std::string(ok ? "OK src " : "FAILED src ") + name);
        } else if (cmd == "sink") {
            u32 rcv = 0;
            in >> rcv;
            auto s = std::make_unique<StreamSink>();
            bool ok = s->Start(host.streams, name, rcv);
            sinks[name] = std::move(s);
            Out(std::string(ok ? "OK sink " : "FAILED sink ") + name);
        } else if (cmd == "pause") {
            int on = 0;
            in >> on;
            if (sinks.count(name)) sinks[name]->Pause(on != 0);
            Out("OK pause " + name);
        } else if (cmd == "srcstat") {
            StreamSource* s = sources.count(name) ? sources[name].get() : nullptr;
            Out("SRC " + name + " " + std::to_string(s ? s->Written() : 0) + " " + std::to_string(s && s->Done()));
        } else if (cmd == "sinkstat") {
            StreamSink* s = sinks.count(name) ? sinks[name].get() : nullptr;
            Out("SINK " + name + " " + std::to_string(s ? s->Read() : 0) + " " + std::to_string(s && s->Eof()) + " " +
                std::to_string(s && s->Corrupt()));
        } else if (cmd == "mem") {
            Out("MEM " + std::to_string(ResidentKiB()));
        } else if (!cmd.empty()) {
            Out("FAILED unknown " + cmd);
        }
    }
    host.Stop();
    sources.clear();
    sinks.clear();
    qvTimerClean();
    Out("BYE");
    return 0;
}
