// A node in a process of its own for the login tests: it sets its server's address, then takes
// commands from a control FIFO and prints what happens on standard output, each line starting
// with "node: " (library log lines start with "log: ").
//
//   tool_login_node --server IP:PORT --name SERVERNAME --control FIFO [--digest] [--no-relogin]
//                   [--lan ID]   (the LAN driver on, answering scans for ID)
//
// The node's clock is driven here: one timer pass every 100 ms of real time (so messages and
// connections progress as usual), and "tick N" runs N node seconds at once on top of that.
//
// Commands (one per line):
//   login USER PASS     request 32 (binary record)         -> "node: login r=<result>"
//   logout              request 33                         -> "node: logout r=<result>"
//   control PARAM       request 4, action 0 (login now)    -> "node: control r=<result>"
//   tick N              N node seconds now                 -> "node: ticked N"
//   clock 0|1           the real-time clock off or on      -> "node: clock N"
//   peer NAME           a peer object (status reports, info reports, like a tunnel's peer)
//   scan NAME           LAN scans until one finds NAME      -> "node: found NAME ADDR" or
//                                                              "node: not found NAME ..." (24 s)
//   static NAME ADDR    a static peer at ADDR (request 37), as a tunnel adds a peer that its
//                       LAN scan found                      -> "node: static NAME obj=O r=<result>"
//   chat NAME           an object "chat" of the test class in the group of peer NAME
//   say TEXT            the chat object sends TEXT to its peer -> "node: said r=<result>"
//   info NAME           request 38 on the peer              -> reply printed
//   state [NAME]        "node: state login=S mode=M tick=T peer=P offline=O reso=R"
//   skew SECONDS        moves the session's wall clock on (the 900 s watchdog)
//   call NAME TEXT      request 35 (a call) on peer NAME    -> "node: call r=<result> param=P"
//   msg NAME TEXT       request 36 (a message)             -> "node: msg r=<result>"
//   ping NAME           request 50, 2 s time-out           -> "node: ping r=<result> param=P"
//   callmode MODE [E]   how this node's owner answers calls: echo (text "echo:" + the call),
//                       error E, or silent (never)
//   auth 0|1            peer authentication off or on (option 23)
//   acceptinfo TEXT     the owner accepts peers presenting TEXT, rejects others with 9
//   authset NAME TEXT   request 58: what this node presents to peer NAME
//   digest NAME TEXT    request 39                          -> reply "... digest=D"
//   verify NAME TEXT D  request 40                          -> "node: verify r=<result>"
//   quit
// Events: "node: reply obj=NAME err=E size=N param=P [text]", "node: ext obj=NAME method=M
// param=P size=N [text]", "node: chat text=TEXT"; calls and verdicts that the owner answers
// later: "node: pending method=M handle=H", then "node: answered method=M handle=H err=E r=R".
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "kvLoginProbe.h"
#include "kvNodeFakes.h"
#include "qvSockDriv.h"
#include "qvSocketAddr.h"

namespace {

std::mutex g_outMu;
void Out(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Out(const char* fmt, ...)
{
    std::lock_guard<std::mutex> lk(g_outMu);
    va_list ap;
    va_start(ap, fmt);
    fputs("node: ", stdout);
    vfprintf(stdout, fmt, ap);
    fputc('\n', stdout);
    fflush(stdout);
    va_end(ap);
}

void LogHook(u32 uLevel, const char* lpszLine)
{
    std::lock_guard<std::mutex> lk(g_outMu);
    printf("log: %u %s\n", uLevel, lpszLine);
    fflush(stdout);
}

IQVNode* g_node = nullptr;

std::string NameOf(u32 uObject)
{
    char sz[128] = "";
    if (g_node)
        g_node->ObjectGetName(uObject, sz, sizeof(sz));
    return sz;
}

// Printable view of a payload: text when it is text, else its size only.
std::string View(const void* d, u32 n)
{
    if (!d || !n)
        return "";
    const char* p = static_cast<const char*>(d);
    for (u32 i = 0; i < n; i++)
        if ((p[i] < 32 || p[i] > 126) && !(p[i] == 0 && i + 1 == n))
            return "";
    return std::string(p, strnlen(p, n));
}

// Calls (35) and authentication verdicts (60) wait here for the command loop, which answers
// them through the node's own interface (never from inside the node's callback).
struct Pending {
    u32 uMethod, uObject, uHandle;
    std::string data;
};
std::mutex g_pendMu;
std::deque<Pending> g_pend;

class Owner : public IQVNodeProc {
public:
    void OnReply(u32 uObject, u32 uError, const void* d, u32 n, u32 uParam) override
    {
        std::string extra;
        // The binary login result: Expire, Type, Sess, Param, Version.
        if (!uError && n == 428) {
            const u8* b = static_cast<const u8*>(d);
            u32 e, t;
            memcpy(&e, b, 4);
            memcpy(&t, b + 4, 4);
            extra = "expire=" + std::to_string(e) + " type=" + std::to_string(t) +
                    " sess=" + std::string((const char*)b + 8, strnlen((const char*)b + 8, 128)) +
                    " param=" + std::string((const char*)b + 136, strnlen((const char*)b + 136, 256)) +
                    " version=" + std::string((const char*)b + 392, strnlen((const char*)b + 392, 36));
        } else if (!uError && n == 128) {
            const u8* b = static_cast<const u8*>(d);
            u32 t, th;
            memcpy(&t, b, 4);
            memcpy(&th, b + 4, 4);
            QV_ADDR_S rmt;
            memcpy(&rmt, b + 8 + 2 * sizeof(QV_ADDR_S), sizeof(rmt));
            char sz[QV_ADDR_STR_SIZE] = "";
            qvAddrToReadable(&rmt, sz, sizeof(sz));
            extra = "type=" + std::to_string(t) + " through=" + std::to_string(th) + " rmt=" + sz;
        } else if (!uError && n == 384) {
            const char* b = static_cast<const char*>(d) + 256;
            extra = "digest=" + std::string(b, strnlen(b, 128));
        } else if (n == 4) {
            u32 v;
            memcpy(&v, d, 4);
            extra = "u32=" + std::to_string(v);
        } else {
            extra = View(d, n);
        }
        Out("reply obj=%s err=%u size=%u param=%u %s", NameOf(uObject).c_str(), uError, n, uParam, extra.c_str());
    }
    int OnExtRequest(u32 uObject, u32 uMethod, const void* d, u32 n, u32 uHandle, u32 uParam) override
    {
        std::string extra = View(d, n);
        if (extra.empty() && d && n >= 4) {
            u32 v;
            memcpy(&v, d, 4);
            extra = "u32=" + std::to_string(v);
            if (n >= 8) {
                memcpy(&v, static_cast<const u8*>(d) + 4, 4);
                extra += "," + std::to_string(v);
            }
        }
        Out("ext obj=%s method=%u param=%s size=%u %s", NameOf(uObject).c_str(), uMethod, NameOf(uParam).c_str(), n,
            extra.c_str());
        if ((uMethod == 35 || uMethod == 60) && uHandle) {
            std::lock_guard<std::mutex> lk(g_pendMu);
            g_pend.push_back({uMethod, uObject, uHandle, d ? std::string((const char*)d, n) : ""});
            Out("pending method=%u handle=%u", uMethod, uHandle);
            return -1;
        }
        return 0;
    }
};

// An object class whose "chat" objects send and print text messages.
const u32 kChatClass = 7;
const u32 kChatMethod = 100;

class ChatClass : public IQVClass {
public:
    void Delete() override {}
    bool OnInitialize(void*, IQVClassProc* p, u32, u32) override
    {
        proc = p;
        return true;
    }
    void OnClean() override {}
    bool OnAdd(u32 uObject, u32, u32, u32* lpuInst) override
    {
        if (next >= 16)
            return false;
        objects[next] = uObject;
        *lpuInst = next++;
        return true;
    }
    void OnDelete(u32) override {}
    int OnRequest(u32, u32, const void*, u32, u32) override { return 4; }
    int OnExtReply(u32, u32, const void*, u32, u32) override { return 0; }
    int OnSend(u32, u32, const QV_MCAST_RES_S*, u32, u32) override { return 1; }
    int OnReceive(u32 uInst, u32 uPrio, u32 uMethod, u32, u32 uExtra, u32 uPeer) override
    {
        char buf[1024];
        u32 uP = uPrio, uObj = uInst < 16 ? objects[uInst] : 0, uM = uMethod, uF = 0, uParam = 0, uRoom = 0;
        int r = proc->PeerReceive(uPeer, &uP, &uObj, &uM, &uF, &uParam, &uRoom, buf, sizeof(buf) - 1, uExtra, 0);
        if (r <= 0)
            return 0;
        buf[r < (int)sizeof(buf) ? r : (int)sizeof(buf) - 1] = 0;
        // Called under the node lock: the class services, never the node's own interface.
        char szPeer[128] = "";
        proc->ObjGetName(uPeer, szPeer, sizeof(szPeer));
        Out("chat from=%s text=%s", szPeer, buf);
        return 1;
    }
    u32 OnDisp(u32, u32) override { return 0; }
    void OnNotify(u32, u32, u32, u32) override {}
    void OnExtend(u32, u32, u32, u64, u32) override {}
    void OnTimer(u32) override {}
    const char* OnGetName() override { return "QV_CLASS_Chat"; }
    void OnControl(u32, u32, u32) override {}
    IQVClassProc* proc = nullptr;
    u32 next = 0;
    u32 objects[16] = {};
};

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct Tool {
    CQVNode* node = nullptr;
    CQVNodeTestProbe* probe = nullptr;
    ChatClass chat;
    Owner owner;
    std::mutex clockMu;
    std::atomic<bool> clockOn{true};
    u32 svr = 0;
    u32 chatObj = 0;
    u32 param = 100;
    std::string callMode = "echo";
    u32 callErr = 0;
    std::string acceptInfo;
    void Answer();

    void Pass(u32 n)
    {
        std::lock_guard<std::mutex> lk(clockMu);
        probe->Pass(n);
    }
    template <class F>
    auto Peer(F f) -> decltype(f(*(CQVClassPeerLoginProbe*)nullptr))
    {
        return probe->Locked([&](CQVNodeClassProc&) {
            CQVClassPeerLoginProbe lp(*node->GetClassPeer());
            return f(lp);
        });
    }
    bool Command(const std::string& line);
};

bool Tool::Command(const std::string& line)
{
    char word[32] = {0}, a1[256] = {0}, a2[256] = {0};
    int n = sscanf(line.c_str(), "%31s %255s %255s", word, a1, a2);
    if (n < 1)
        return true;
    std::string w = word;
    if (w == "quit")
        return false;
    if (w == "login" && n >= 2) {
        char rec[512] = {0};
        snprintf(rec, 128, "%.127s", a1);
        snprintf(rec + 128, 128, "%.127s", n >= 3 ? a2 : "");
        strcpy(rec + 256, "(Ver){1.0}");
        Out("login r=%d", node->ObjectRequest(svr, 32, rec, sizeof(rec), 0x4C));
    } else if (w == "logout") {
        Out("logout r=%d", node->ObjectRequest(svr, 33, nullptr, 0, 0));
    } else if (w == "control") {
        u8 rec[260] = {0};
        snprintf(reinterpret_cast<char*>(rec + 4), 256, "%.255s", n >= 2 ? a1 : "");
        Out("control r=%d", node->ObjectRequest(svr, 4, rec, sizeof(rec), 0));
    } else if (w == "tick" && n >= 2) {
        u32 k = (u32)strtoul(a1, nullptr, 10);
        for (u32 i = 0; i < k; i++)
            Pass(10);
        Out("ticked %u", k);
    } else if (w == "clock" && n >= 2) {
        clockOn = atoi(a1) != 0;
        Out("clock %d", clockOn ? 1 : 0);
    } else if (w == "peer" && n >= 2) {
        // As a tunnel adds a peer: info reports, status notify, added by the class's owner.
        u32 p = node->ObjectAdd(a1, QV_CLASS_PEER, 0, 0x10060);
        Out("peer %s obj=%u", a1, p);
    } else if (w == "scan" && n >= 2) {
        // The LAN driver carries datagrams only to peers a scan found. A scan is launched every
        // 2 s for up to 24 s, within the 30 s the tests wait for the line: the peer usually
        // answers the first one at once, but on a loaded machine (sanitizer builds beside
        // others) the processes can stall for seconds. What a scan that never found the peer
        // saw goes with its line.
        auto* lan = static_cast<IQVSocketLANPriv*>(node->GetSocketPrivate(3));
        std::string found;
        u32 launched = 0, refused = 0, k = 0;
        for (int i = 0; lan && found.empty() && i < 300; i++) {
            if (i % 25 == 0)
                (lan->ScanLaunch(0) ? launched : refused)++;
            usleep(80 * 1000);
            QV_SKT_LAN_PEER_S res[8];
            k = lan->ScanGetResult(res, 8);
            for (u32 j = 0; j < k && j < 8; j++) {
                char sz[QV_ADDR_STR_SIZE];
                if (strcmp(res[j].szPeerID, a1) == 0 && qvAddrToReadable(&res[j].Addr, sz, sizeof(sz)))
                    found = sz;
            }
        }
        if (found.empty())
            Out("not found %s launched=%u refused=%u peers=%u", a1, launched, refused, k);
        else
            Out("found %s %s", a1, found.c_str());
    } else if (w == "static" && n >= 3) {
        u32 p = node->ObjectAdd(a1, QV_CLASS_PEER, 0, 0x10024);
        char rec[384] = {0};
        snprintf(rec, 128, "%.127s", a2);
        Out("static %s obj=%u r=%d", a1, p, p ? node->ObjectRequest(p, 37, rec, sizeof(rec), 0) : -1);
    } else if (w == "chat" && n >= 2) {
        u32 p = node->ObjectGetID(a1);
        chatObj = node->ObjectAdd("chat", kChatClass, p, 0);
        Out("chat obj=%u group=%u", chatObj, p);
    } else if (w == "say" && n >= 2) {
        std::string text = line.substr(line.find(' ') + 1);
        int r = probe->Locked([&](CQVNodeClassProc& cp) {
            u32 unit = cp.MCastAlloc(chatObj, kChatMethod, 1, nullptr, 0, 0, 10, 0);
            if (!unit)
                return -100;
            int s = cp.MCastSend(unit, 0, text.c_str(), (u32)text.size() + 1, 0, 0);
            if (s)
                cp.MCastFree(unit);
            return s;
        });
        Out("said r=%d", r);
    } else if (w == "info" && n >= 2) {
        Out("info r=%d", node->ObjectRequest(node->ObjectGetID(a1), 38, nullptr, 0, 0x1F));
    } else if (w == "state") {
        u32 p = n >= 2 ? node->ObjectGetID(a1) : 0;
        Peer([&](CQVClassPeerLoginProbe& lp) {
            Out("state login=%u mode=%u tick=%u try=%u peer=%u offline=%u reso=%u expire=%u traffic=%u svr=%u "
                "active=%u answered=%u silent=%u stamps=%u/%u/%u age=%u",
                lp.Status(), lp.Mode(), lp.Tick(), lp.Try(), p ? lp.PeerStatus(p) : 0, p ? lp.PeerOffline(p) : 0,
                lp.ResoCount(), lp.Expire(), lp.Traffic(), lp.PeerStatus(svr), lp.ActiveTime(),
                !lp.ActiveTime() || (lp.ServerRecvStamp() && (s32)(lp.ServerRecvStamp() - lp.ActiveStamp()) >= 0),
                lp.CurrentStamp() - lp.ServerRecvStamp() >= 2,
                lp.ActiveStamp(), lp.ServerRecvStamp(), lp.CurrentStamp(), lp.ActiveAge());
            return 0;
        });
    } else if (w == "stat") {
        CQVNode::STAT_S ns = probe->Stat();
        CQVClassPeer::STAT_S ps = probe->Locked([&](CQVNodeClassProc&) { return node->GetClassPeer()->GetStat(); });
        Out("stat unbound=%u noobject=%u notauth=%u masked=%u short=%u unknown=%u unhandled=%u notadmitted=%u "
            "malformed=%u nopeer=%u",
            ns.uUnbound, ns.uNoObject, ns.uNotAuth, ns.uMasked, ps.uShort, ps.uUnknown, ps.uUnhandled,
            ps.uNotAdmitted, ps.uMalformed, ps.uNoPeer);
    } else if (w == "call" && n >= 3) {
        std::string text = line.substr(line.find(' ', line.find(' ') + 1) + 1);
        u32 p = ++param;
        Out("call r=%d param=%u", node->ObjectRequest(node->ObjectGetID(a1), 35, text.c_str(), 0, p), p);
    } else if (w == "msg" && n >= 3) {
        std::string text = line.substr(line.find(' ', line.find(' ') + 1) + 1);
        Out("msg r=%d", node->ObjectRequest(node->ObjectGetID(a1), 36, text.c_str(), 0, 0));
    } else if (w == "ping" && n >= 2) {
        u32 rec[3] = {0, 0, 2000};
        u32 p = ++param;
        Out("ping r=%d param=%u", node->ObjectRequest(node->ObjectGetID(a1), 50, rec, sizeof(rec), p), p);
    } else if (w == "callmode" && n >= 2) {
        callMode = a1;
        callErr = n >= 3 ? (u32)strtoul(a2, nullptr, 10) : 0;
        Out("callmode %s", a1);
    } else if (w == "auth" && n >= 2) {
        u8 rec[260] = {0};
        u32 item = 23;
        memcpy(rec, &item, 4);
        snprintf(reinterpret_cast<char*>(rec + 4), 256, "%s", a1);
        Out("auth r=%d", node->ObjectRequest(svr, 2, rec, sizeof(rec), 0));
    } else if (w == "acceptinfo" && n >= 2) {
        acceptInfo = a1;
        Out("acceptinfo %s", a1);
    } else if (w == "authset" && n >= 3) {
        char rec[512] = {0};
        snprintf(rec, 256, "%s", a2);
        Out("authset r=%d", node->ObjectRequest(node->ObjectGetID(a1), 58, rec, sizeof(rec), 0));
    } else if (w == "digest" && n >= 3) {
        char rec[384] = {0};
        snprintf(rec, 256, "%s", a2);
        Out("digest r=%d", node->ObjectRequest(node->ObjectGetID(a1), 39, rec, sizeof(rec), ++param));
    } else if (w == "verify" && n >= 3) {
        char a3[256] = {0};
        sscanf(line.c_str(), "%*s %*s %*s %255s", a3);
        char rec[384] = {0};
        snprintf(rec, 256, "%s", a2);
        snprintf(rec + 256, 128, "%.127s", a3);
        Out("verify r=%d", node->ObjectRequest(node->ObjectGetID(a1), 40, rec, sizeof(rec), 0));
    } else if (w == "skew" && n >= 2) {
        s32 s = (s32)strtol(a1, nullptr, 10);
        Peer([&](CQVClassPeerLoginProbe& lp) {
            lp.SkewWall(s);
            return 0;
        });
        Out("skewed %d", s);
    } else {
        Out("unknown command %s", word);
    }
    return true;
}

// Answers what the owner holds: calls by the call mode, verdicts by the accepted text.
void Tool::Answer()
{
    for (;;) {
        Pending pd;
        {
            std::lock_guard<std::mutex> lk(g_pendMu);
            if (g_pend.empty())
                return;
            pd = g_pend.front();
            g_pend.pop_front();
        }
        int r = 0;
        u32 err = 0;
        if (pd.uMethod == 35) {
            if (callMode == "silent")
                continue;
            if (callMode == "error") {
                err = callErr;
                r = node->ObjectExtReply(pd.uObject, err, nullptr, 0, pd.uHandle);
            } else {
                std::string text = "echo:" + std::string(pd.data.c_str());
                r = node->ObjectExtReply(pd.uObject, 0, text.c_str(), 0, pd.uHandle);
            }
        } else {
            // The verdict's parameter goes back in a char[256]; the information is the first
            // 256-byte field of the request.
            std::string info = pd.data.size() >= 256 ? std::string(pd.data.c_str()) : "";
            err = !acceptInfo.empty() && info == acceptInfo ? 0 : 9;
            char rec[256] = {0};
            snprintf(rec, sizeof(rec), "%s", err ? "denied" : "welcome");
            r = node->ObjectExtReply(pd.uObject, err, rec, sizeof(rec), pd.uHandle);
        }
        Out("answered method=%u handle=%u err=%u r=%d", pd.uMethod, pd.uHandle, err, r);
    }
}

int Usage()
{
    fprintf(stderr, "usage: tool_login_node --server IP:PORT --name SERVERNAME --control FIFO [--digest] "
                    "[--no-relogin] [--lan ID]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string server, name, control, lanId;
    u32 digest = 0, relogin = 1;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--digest")
            digest = 1;
        else if (a == "--no-relogin")
            relogin = 0;
        else if (i + 1 < argc && a == "--server")
            server = argv[++i];
        else if (i + 1 < argc && a == "--name")
            name = argv[++i];
        else if (i + 1 < argc && a == "--control")
            control = argv[++i];
        else if (i + 1 < argc && a == "--lan")
            lanId = argv[++i];
        else
            return Usage();
    }
    if (server.empty() || name.empty() || control.empty())
        return Usage();
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, OnSignal);
    char dir[] = "/tmp/kvnodeXXXXXX";
    if (!mkdtemp(dir) || !qvLogInit(0x7, dir, "node", 0, 0) || !qvLogExt(LogHook) || !qvTimerInit(64))
        return 3;
    if (mkfifo(control.c_str(), 0600) != 0 && errno != EEXIST)
        return 4;
    int ctl = open(control.c_str(), O_RDWR | O_NONBLOCK);
    if (ctl < 0)
        return 4;

    Tool t;
    t.node = new CQVNode();
    g_node = t.node;
    t.probe = new CQVNodeTestProbe(*t.node);
    t.probe->ManualTime();
    if (!t.node->AttachClass(&t.chat, kChatClass, 16))
        return 5;
    QV_CFG_S c;
    memset(&c, 0, sizeof(c));
    strcpy(c.szClientInfo, "kv login test node");
    c.uPeerMax = 32;
    c.uGroupMax = 4;
    c.uObjMax = 128;
    c.uMCastMax = 128;
    c.uHandleMax = 128;
    c.uNotifyMax = 256;
    c.uExtInstMax = 64;
    c.auQueueSize[0] = 64;
    c.auQueueSize[1] = 64;
    c.auQueueSize[2] = 64;
    c.auQueueSize[3] = 64;
    c.uClassOption = 0;
    c.uNodeOption = relogin;
    if (t.node->Initialize(nullptr, &t.owner, &c) != 1)
        return 6;
    auto* lan = static_cast<IQVSocketLANPriv*>(t.node->GetSocketPrivate(3));
    if (!lanId.empty() && (!lan || !lan->Enable(1, 0, lanId.c_str(), "kvnode")))
        return 6;
    t.svr = t.node->ObjectAdd(name.c_str(), QV_CLASS_PEER, 0, digest ? 10 : 2);
    char rec[384] = {0};
    snprintf(rec, 128, "%s", server.c_str());
    int r = t.node->ObjectRequest(t.svr, 37, rec, sizeof(rec), 0);
    if (!t.svr || r > 0) {
        fprintf(stderr, "tool_login_node: server object failed (%d)\n", r);
        return 7;
    }
    // One timer pass every 100 ms, as the socket timer gives the node (ten of them a second).
    std::thread clock([&] {
        while (!g_stop) {
            if (t.clockOn)
                t.Pass(1);
            usleep(100000);
        }
    });
    Out("ready");
    std::string pending;
    while (!g_stop) {
        t.Answer();
        pollfd fd = {ctl, POLLIN, 0};
        if (poll(&fd, 1, 50) <= 0)
            continue;
        char buf[512];
        ssize_t k = read(ctl, buf, sizeof(buf));
        if (k > 0)
            pending.append(buf, (size_t)k);
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!t.Command(line))
                g_stop = 1;
        }
        if (pending.size() > 4096)
            pending.clear();
    }
    clock.join();
    t.node->Delete();
    delete t.probe;
    close(ctl);
    qvTimerClean();
    std::string rm = std::string("rm -rf ") + dir;
    if (system(rm.c_str()) != 0)
        return 0;
    Out("stopped");
    return 0;
}
