// Two tunnel instances and the test rendezvous server in the network lab, for tests and
// benchmarks of forwarded connections:
//
//   kvtun::TunnelPair pair;                       // in a test: KV_LAB_REQUIRE() first
//   ASSERT_TRUE(pair.Start());                    // lab, server, both tunnels logged in
//   std::string cli = pair.AddConnection(0, "127.0.0.1:7000", "127.0.0.1:9000");
//   int fd = kvtun::TcpConnect(pair.ha.ns, "127.0.0.1", 9000);   // a local client at A
//
// Host A (the calling side, where connections are added and local clients connect) and host B
// (the called side, whose services the connections reach) each run tool_tunnel_host, driven
// through its control FIFO; the server (kv_rendezvous) runs in host srv. All three sit on one
// segment ("pub", 10.1.0.0/24: srv .11, a .12, b .13). Services at B are started by the test
// inside pair.hb.ns (see kvTcpServices.h), local clients inside pair.ha.ns.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "kvDriven.h"
#include "kvLab.h"

namespace kvtun {

const int kLong = 30000;  // ms: logins and the first contact of two peers through the server

// The FIFO-driven lab program, with the commands these tests use.
class Driven : public kvlab::Driven {
public:
    bool Cmd(const std::string& line) { return Send(line); }
    // Sends the command and returns the first line starting with `prefix` that it printed
    // ("" when none came within ms).
    std::string Ask(const std::string& cmd, const std::string& prefix, int ms = 5000)
    {
        size_t before = Count(prefix);
        if (!Cmd(cmd) || !kvlab::WaitUntil([&] { return Count(prefix) > before; }, ms))
            return "";
        std::string out = p.Output();
        size_t at = out.find(prefix);
        for (size_t i = 0; i < before; i++)
            at = out.find(prefix, at + 1);
        return out.substr(at, out.find('\n', at) - at);
    }
};

// The value of "name=" in a line of "name=value" words (an empty text when missing).
inline std::string Field(const std::string& line, const std::string& name)
{
    size_t at = line.find(" " + name + "=");
    if (at == std::string::npos)
        return "";
    at += name.size() + 2;
    return line.substr(at, line.find(' ', at) - at);
}

struct PairOptions {
    // Extra key-value text inside each tunnel's ModeClient element.
    std::string extraCfg = "(Base){(MaxSess){1024}(MaxTunnel){16}(ConnectTimeout){10}}";
    // Content of the Utilize element: connections are added through the server (its session
    // text makes a host's direct add fail the digest check), no LAN scans.
    std::string utilize = "(LanScanEnable){0}(DirectTunnelEnable){0}";
    bool log = getenv("KV_TUNNEL_LOG") != nullptr;  // the library's log lines on the hosts' output
};

class TunnelPair {
public:
    using Options = PairOptions;

    static constexpr const char* kSrvName = "kvserver";
    static constexpr const char* kPeerA = "_DEV_a@grp";
    static constexpr const char* kPeerB = "_DEV_b@grp";

    // Builds the lab, starts the server and both tunnels and waits for both logins.
    // Failures are reported on the current test (ADD_FAILURE) with the outputs.
    bool Start(const Options& opt = Options())
    {
        auto pub = lab.AddSegment("pub");
        hs = lab.AddHost(pub, "srv");
        ha = lab.AddHost(pub, "a");
        hb = lab.AddHost(pub, "b");
        if (!lab.PinNeighbours({hs, ha, hb}) || !lab.QuietUnknownNeighbours(hb))
            return Fail("lab");
        return StartProcesses(opt);
    }

    // Like Start, on two hosts the caller made (a benchmark over one veth pair): the server
    // runs in host b, on port 7781 of b's address.
    bool StartOn(const kvlab::Host& hostA, const kvlab::Host& hostB, const Options& opt = Options())
    {
        ha = hostA;
        hb = hostB;
        hs = hostB;
        return StartProcesses(opt);
    }

    // Adds a connection at A to a service behind B (type 0 Tcp, 1 Proxy) the way a host does
    // and waits until it is on-line (listening, its peer reachable); returns the client address
    // the tunnel reports, "" on failure.
    std::string AddConnection(int type, const std::string& svc, const std::string& client, int encrypt = 0)
    {
        std::string line = a.Ask("add " + std::to_string(type) + " " + kPeerB + " " + (svc.empty() ? "-" : svc) + " " +
                                     client + " " +
                                     std::to_string(encrypt),
                                 "host: add=", 15000);
        if (line.compare(0, 11, "host: add=0") != 0) {
            ADD_FAILURE() << "add: " << line << "\n" << a.Out();
            return "";
        }
        std::string cli = Field(line, "client");
        if (!a.Wait("host: event 10 {\"clientaddr\":\"" + cli + "\"}")) {
            Fail("connection on-line");
            return "";
        }
        return cli;
    }

    // The "stat" line of a host split into its counts; empty text on failure.
    static std::string Stat(Driven& d) { return d.Ask("stat", "host: stat "); }
    // True once the host's sessions, TCP sockets, instances and buffers are all gone (listeners
    // stay with their connections), within ms.
    static bool Idle(Driven& d, int ms, std::string* last = nullptr)
    {
        std::string line;
        bool idle = kvlab::WaitUntil([&] {
            line = Stat(d);
            for (const char* k : {"sess", "pending", "delay", "sockets", "linger", "instances", "attached", "buffers"})
                if (Field(line, k) != "0")
                    return false;
            return true;
        }, ms);
        if (last)
            *last = line;
        return idle;
    }

    // Every output free of sanitizer reports.
    void ExpectClean() const
    {
        for (const Driven* d : {&srv, &a, &b})
            kvlab::ExpectNoSanitizerReport(d->p);
    }

    kvlab::Lab lab;
    kvlab::TempDir dir;
    kvlab::Host hs, ha, hb;
    std::string srvAddr;
    Driven srv, a, b;

private:
    // The server, then both tunnels, until both are logged in.
    bool StartProcesses(const Options& opt)
    {
        srvAddr = hs.ip4 + ":7781";
        srv.Start(lab, hs,
                  {KV_TOOL_DIR "/kv_rendezvous", "--addr", srvAddr, "--name", kSrvName, "--account",
                   std::string(kPeerA) + ":pw", "--account", std::string(kPeerB) + ":pw"},
                  dir.Path() + "/srv");
        if (!srv.Wait("kvsrv: ready", 10000))
            return Fail("server");
        if (!StartHost(a, ha, "a", kPeerA, opt) || !StartHost(b, hb, "b", kPeerB, opt))
            return false;
        for (Driven* d : {&a, &b})
            if (!d->Wait("host: event 2 {\"errcode\":0}"))
                return Fail("login");
        return true;
    }
    bool Fail(const std::string& what)
    {
        ADD_FAILURE() << what << " failed\n--- srv\n"
                      << srv.Out() << "\n--- a\n"
                      << a.Out() << "\n--- b\n"
                      << b.Out();
        return false;
    }
    bool StartHost(Driven& d, const kvlab::Host& h, const std::string& tag, const std::string& user,
                   const Options& opt)
    {
        std::string home = dir.Path() + "/home-" + tag;
        std::string cfg = dir.Path() + "/" + tag + ".cfg";
        std::ofstream(cfg) << "(Home){" << home << "}(ModeClient){(Node){(SvrAddr){" << srvAddr
                           << "}(CltAddr){0.0.0.0:0}(SvrName){" << kSrvName << "}}(AccountPass){(User){" << user
                           << "}(Pass){pw}}(Utilize){" << opt.utilize << "}" << opt.extraCfg
                           << (opt.log ? "(Log){(Level2){1}(Level3){1}}" : "") << "}";
        std::vector<std::string> argv = {KV_TOOL_DIR "/tool_tunnel_host", "--cfg", cfg};
        if (opt.log)
            argv.push_back("--log");
        d.Start(lab, h, argv, dir.Path() + "/ctl-" + tag);
        if (!d.Wait("host: ready", 10000))
            return Fail("host " + tag);
        return true;
    }
};

}  // namespace kvtun
