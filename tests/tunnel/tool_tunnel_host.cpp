// tool_tunnel_host: a host program of the tunnel library for tests (the tunnel module is one per
// process, so every tunnel in a test runs in a host process of its own).
//
//   tool_tunnel_host --cfg PATH [--control FIFO] [--manual] [--node-manual] [--no-start] [--log]
//
// It sets an event callback and starts the tunnel with the configuration file, then serves
// one command per line from the FIFO (made when missing):
//   status      prints the login status
//   add TYPE PEER SVR CLIENT [ENCRYPT]
//               doZirizaConnectAdd as a host adds a connection (no session text; "-" stands
//               for an empty address); prints the result and the client address
//   del TYPE PEER SVR CLIENT [ENCRYPT]
//               doZirizaConnectDelete
//   stat        prints the session and tunnel counts and the TCP extension's sockets,
//               instances, listeners and buffers
//   tick N      (with --manual) runs N one-second ticks of the tunnel now
//   stop        doZirizaStop
//   start       doZirizaStart again with the same file
//   quit        stops and ends
//   calls       runs all 22 bridged calls with harmless arguments: "calls=R1,R2,...,R22"
//   nodeclock 0|1  (with --node-manual) the node's real-time clock off or on
//   nodetick N  (with --node-manual) runs N node seconds now
//   req TAG NAME [PARAM]  sends the named request through the call bridge (on a thread of its
//               own, so that a request that waits does not hold the others) and prints
//               "answer TAG <answer text>", or "answer TAG <code>" when none came
// With --manual the tunnel's one-second tick is driven by "tick" only; the call bridge's
// 100 ms tick keeps running. With --node-manual the node's time base runs one timer pass every
// 100 ms while its clock is on (so logins and packets progress as usual) and "nodetick" adds
// node seconds at once. --no-start leaves the first doZirizaStart to a "start" command.
// Everything it does is printed on standard output as lines starting with "host: "; with
// --log the library's log lines follow as "log: " lines.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "doZirizaModule.h"
#include "doZirizaNode.h"
#include "qvExtTcp.h"
#include "kvBridgedCalls.h"
#include "qvLibTunnel.h"
#include "qvNode.h"

// The node lets this probe drive its time base (it is a friend of the node).
class CQVNodeTestProbe
{
public:
    explicit CQVNodeTestProbe(CQVNode& n) : N(n) {}
    CQVNode& N;
    void ManualTime() { N.m_uManualTime = 1; }
    // n timer passes on the caller's thread, a node second every 10th.
    void Pass(u32 n)
    {
        for (u32 i = 0; i < n; i++)
        {
            u32 t = N.m_uTick.fetch_add(10) + 10;
            if ((t / 10) % 10 == 0)
                N.m_uSecond.fetch_add(1);
            std::lock_guard<std::mutex> lk(N.m_SectDisp);
            N.DispTimer();
        }
    }
};

namespace {

std::atomic<bool> g_bStop{false};

void Say(const char* lpszFormat, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* lpszFormat, ...)
{
    char sz[2048];
    va_list args;
    va_start(args, lpszFormat);
    vsnprintf(sz, sizeof(sz), lpszFormat, args);
    va_end(args);
    printf("host: %s\n", sz);
    fflush(stdout);
}

void OnEvent(unsigned int uEvent, const char* lpszParam)
{
    Say("event %u %s", uEvent, lpszParam ? lpszParam : "");
}

void OnLog(unsigned int uLevel, const char* lpszText)
{
    // Library lines end with CR LF.
    std::string s = lpszText ? lpszText : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    printf("log: %u %s\n", uLevel, s.c_str());
    fflush(stdout);
}

// Words of a command line, split at spaces.
std::vector<std::string> Words(const std::string& line)
{
    std::vector<std::string> v;
    size_t at = 0;
    while (at < line.size())
    {
        size_t end = line.find(' ', at);
        if (end == std::string::npos)
            end = line.size();
        if (end > at)
            v.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return v;
}

void Stat()
{
    CDOZiriza* t = doZirizaModule().GetTunnel();
    CDOZiriza::SESS_STAT_S s = {};
    t->GetSessStat(&s);
    CQVExtTcp::STAT_S x = {};
    t->GetExtTcp()->GetStat(&x);
    Say("stat sess=%u pending=%u delay=%u tunnels=%u sockets=%u linger=%u instances=%u attached=%u "
        "listeners=%u buffers=%u",
        s.uSess, s.uPending, s.uDelay, s.uTunnels, x.uSockets, x.uLinger, x.uInstances, x.uAttached, x.uListeners,
        x.uBuffers);
}

void OnSignal(int)
{
    g_bStop = true;
}

// The node the tunnel made last, while it exists; its time base is driven by NodePass.
std::mutex g_NodeMutex;
CQVNode* g_pNode = nullptr;
std::atomic<bool> g_bNodeClock{true};

// The node's timer runs once the node is initialised and stops before its clean-up; so do
// the driven passes.
class CHostNode : public CQVNode
{
public:
    u32 Initialize(void* lpContext, IQVNodeProc* lpProc, const QV_CFG_S* lpCfg) override
    {
        u32 uOk = CQVNode::Initialize(lpContext, lpProc, lpCfg);
        if (uOk)
        {
            std::lock_guard<std::mutex> lk(g_NodeMutex);
            g_pNode = this;
        }
        return uOk;
    }
    void Clean() override
    {
        {
            std::lock_guard<std::mutex> lk(g_NodeMutex);
            if (g_pNode == this)
                g_pNode = nullptr;
        }
        CQVNode::Clean();
    }
};

IQVNode* NewHostNode()
{
    CHostNode* p = new (std::nothrow) CHostNode();
    if (p != nullptr)
        CQVNodeTestProbe(*p).ManualTime();
    return p;
}

void NodePass(u32 n)
{
    std::lock_guard<std::mutex> lk(g_NodeMutex);
    if (g_pNode != nullptr)
        CQVNodeTestProbe(*g_pNode).Pass(n);
}

// The results of all 22 bridged calls, comma-separated.
std::string AllBridged()
{
    std::string s;
    for (int v : AllBridgedResults())
        s += (s.empty() ? "" : ",") + std::to_string(v);
    return s;
}

// One request through the call bridge, as the flat functions send it.
void Request(std::string strTag, std::string strName, std::string strParam)
{
    CDOZirizaHttpCall* pCall = doZirizaModule().GetTunnel()->GetHttpCall();
    u32 uSlot = pCall->CallAlloc();
    QV_STRING answer;
    int r = pCall->CallRequest(uSlot, strName.c_str(), strParam.c_str(), 60000, answer);
    pCall->CallFree(uSlot);
    if (r == 0)
        Say("answer %s %s", strTag.c_str(), answer.c_str());
    else
        Say("answer %s <%d>", strTag.c_str(), r);
}

const char* kSysInfo = "(DevID){hostdev}(MacAddr){000000000000}(CpuMHz){1}(MemSize){1}(BrwVer){}(OSVer){lab}"
                       "(OSSpk){}(OSType){linux}";

}  // namespace

int main(int argc, char** argv)
{
    std::string strCfg, strControl;
    bool bManual = false, bNodeManual = false, bNoStart = false, bLog = false;
    for (int i = 1; i < argc; i++)
    {
        std::string a = argv[i];
        if (a == "--cfg" && i + 1 < argc)
            strCfg = argv[++i];
        else if (a == "--control" && i + 1 < argc)
            strControl = argv[++i];
        else if (a == "--manual")
            bManual = true;
        else if (a == "--node-manual")
            bNodeManual = true;
        else if (a == "--no-start")
            bNoStart = true;
        else if (a == "--log")
            bLog = true;
        else
        {
            fprintf(stderr, "usage: tool_tunnel_host --cfg PATH [--control FIFO] [--manual] [--node-manual] "
                            "[--no-start] [--log]\n");
            return 2;
        }
    }
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    if (bManual)
        CDOZiriza::SetManualTimer(1);
    std::atomic<bool> bTicker{bManual};
    std::thread ticker([&] {
        while (bTicker && !g_bStop)
        {
            doZirizaModule().GetTunnel()->OnTimer(1);
            usleep(100 * 1000);
        }
    });

    TfnTunnelLogOut lpfnLog = bLog ? OnLog : nullptr;
    std::thread nodeClock;
    if (bNodeManual)
    {
        DOZIRIZA_NODE_FACTORY_S f = CDOZirizaNode::GetFactory();
        f.pfnNewNode = NewHostNode;
        CDOZirizaNode::SetFactory(&f);
        nodeClock = std::thread([] {
            while (!g_bStop)
            {
                if (g_bNodeClock)
                    NodePass(1);
                usleep(100 * 1000);
            }
        });
    }

    doZirizaCallbackSet(OnEvent);
    if (!bNoStart)
        Say("start=%d", doZirizaStart(strCfg.c_str(), kSysInfo, nullptr, lpfnLog));

    int fd = -1;
    if (!strControl.empty())
    {
        if (mkfifo(strControl.c_str(), 0600) != 0 && errno != EEXIST)
            Say("control failed: %s", strerror(errno));
        // Opened for reading and writing so that a writer closing it does not end the reads.
        fd = open(strControl.c_str(), O_RDWR | O_NONBLOCK);
    }
    Say("ready");
    std::string strLine;
    while (!g_bStop)
    {
        if (fd < 0)
        {
            usleep(100 * 1000);
            continue;
        }
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0)
            continue;
        strLine.append(buf, (size_t)n);
        size_t at;
        while ((at = strLine.find('\n')) != std::string::npos)
        {
            std::string cmd = strLine.substr(0, at);
            strLine.erase(0, at + 1);
            if (cmd == "status")
            {
                QV_TUNNEL_STATUS_S s = {0};
                int r = doZirizaStatusGet(0, &s);
                Say("status=%d %u", r, s.uStatus);
            }
            else if (cmd.compare(0, 5, "tick ") == 0)
            {
                int ticks = atoi(cmd.c_str() + 5);
                for (int i = 0; i < ticks; i++)
                    doZirizaModule().GetTunnel()->OnTimer(0);
                QV_TUNNEL_STATUS_S s = {0};
                doZirizaStatusGet(0, &s);  // the ticks are handled once this returns
                Say("ticked %d", ticks);
            }
            else if (cmd == "stop")
            {
                doZirizaStop();
                Say("stopped");
            }
            else if (cmd == "start")
                Say("start=%d", doZirizaStart(strCfg.c_str(), kSysInfo, nullptr, lpfnLog));
            else if (cmd.compare(0, 4, "add ") == 0 || cmd.compare(0, 4, "del ") == 0)
            {
                std::vector<std::string> w = Words(cmd);
                if (w.size() < 5)
                {
                    Say("bad command: %s", cmd.c_str());
                    continue;
                }
                for (std::string& x : w)
                    if (x == "-")
                        x.clear();
                unsigned int uType = (unsigned int)atoi(w[1].c_str());
                unsigned int uEnc = w.size() > 5 ? (unsigned int)atoi(w[5].c_str()) : 0;
                if (w[0] == "add")
                {
                    QV_TUNNEL_CLIENT_ADDR_S out = {};
                    int r = doZirizaConnectAdd("", w[2].c_str(), uType, uEnc, w[3].c_str(), w[4].c_str(), &out);
                    Say("add=%d client=%s", r, out.szClientAddr);
                }
                else
                    Say("del=%d", doZirizaConnectDelete("", w[2].c_str(), uType, uEnc, w[3].c_str(), w[4].c_str()));
            }
            else if (cmd == "stat")
                Stat();
            else if (cmd == "calls")
                Say("calls=%s", AllBridged().c_str());
            else if (cmd.compare(0, 10, "nodeclock ") == 0)
            {
                g_bNodeClock = atoi(cmd.c_str() + 10) != 0;
                Say("nodeclock %d", g_bNodeClock ? 1 : 0);
            }
            else if (cmd.compare(0, 9, "nodetick ") == 0)
            {
                int n = atoi(cmd.c_str() + 9);
                NodePass(n > 0 ? (u32)n * 10 : 0);
                Say("nodeticked %d", n);
            }
            else if (cmd.compare(0, 4, "req ") == 0)
            {
                size_t a = cmd.find(' ', 4);
                size_t b = a == std::string::npos ? std::string::npos : cmd.find(' ', a + 1);
                if (a != std::string::npos)
                    std::thread(Request, cmd.substr(4, a - 4), cmd.substr(a + 1, b == std::string::npos ? b : b - a - 1),
                                b == std::string::npos ? std::string() : cmd.substr(b + 1))
                        .detach();
            }
            else if (cmd == "quit")
                g_bStop = true;
        }
    }
    bTicker = false;
    ticker.join();
    if (nodeClock.joinable())
        nodeClock.join();
    doZirizaStop();
    Say("quit");
    if (fd >= 0)
        close(fd);
    return 0;
}
