// One node of the two-node test: it adds its peer as a static peer at the given address, lets
// its LAN driver find the peer, and talks to it through an object of a small class of its own ("chat"):
// messages sent before the peer is ready, multicast messages with their results, and
// request/reply pairs that wait on node waiters. It prints what it sees, one line each.
//
//   tool_node_peer --id A --peer B --peer-addr IP:PORT --dir DIR --role stay|leave
//
// "leave" stays until it is killed. "stay" waits for DIR/killed after both are done, then
// sends a request to the gone peer, drives the socket layer's passes until the peer is
// reported dropped, deletes the peer object and reports how many of its object's waiters ended.
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include "qvLog.h"
#include "qvNode.h"
#include "qvSockDriv.h"
#include "qvTimer.h"

namespace {

const u32 kChatClass = 7;
const u32 kMsg = 100;       // a message
const u32 kRequest = 101;   // a request: the receiver answers kReply with the same parameter
const u32 kReply = 102;

std::mutex g_Out;

void Say(const char* lpszFormat, ...)
{
    std::lock_guard<std::mutex> lk(g_Out);
    va_list ap;
    va_start(ap, lpszFormat);
    vprintf(lpszFormat, ap);
    va_end(ap);
    printf("\n");
    fflush(stdout);
}

bool Until(u32 uMs, const std::function<bool()>& f)
{
    for (u32 t = 0; t < uMs; t += 20) {
        if (f())
            return true;
        usleep(20 * 1000);
    }
    return f();
}

bool FileExists(const std::string& p)
{
    return access(p.c_str(), F_OK) == 0;
}

void Touch(const std::string& p)
{
    if (FILE* f = fopen(p.c_str(), "w"))
        fclose(f);
}

// The chat class: requests from the tool (its OnRequest) make it send; what arrives is printed.
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
        if (!object)
            object = uObject;   // the first object is the chat; others only exist briefly
        *lpuInst = 0;
        return true;
    }
    void OnDelete(u32) override {}
    int OnRequest(u32, u32 uMethod, const void* lpData, u32 uSize, u32 uParam) override
    {
        switch (uMethod) {
        case 1: {   // a multicast message to the group (the peer)
            u32 u = proc->MCastAlloc(object, kMsg, 0, nullptr, 0, 0, 30, 0);
            if (!u)
                return 1;
            int r = proc->MCastSend(u, 0, lpData, uSize, 0, 0);
            if (r != 0)
                proc->MCastFree(u);
            return r;
        }
        case 2: {   // a request that waits for its reply on a waiter
            u32 w = proc->WaiterAlloc(object, 30, uParam, 0);
            u32 u = proc->MCastAlloc(object, kRequest, 0, nullptr, 0, 0, 30, w);
            if (!w || !u)
                return 1;
            int r = proc->MCastSend(u, 0, lpData, uSize, 0, 0);
            if (r != 0) {
                proc->MCastFree(u);
                proc->WaiterFinish(w, nullptr, nullptr);
            }
            return r;
        }
        case 3: {   // a freed unit refuses to send
            u32 u = proc->MCastAlloc(object, kMsg, 0, nullptr, 0, 0, 30, 0);
            proc->MCastFree(u);
            return proc->MCastSend(u, 0, "x", 1, 0, 0);
        }
        case 4: {   // a reply naming a finished waiter finds nothing
            u32 w = proc->WaiterAlloc(object, 30, 0, 0);
            proc->WaiterFinish(w, nullptr, nullptr);
            return (int)proc->WaiterFinish(w, nullptr, nullptr);
        }
        default:
            return 4;
        }
    }
    int OnExtReply(u32, u32, const void*, u32, u32) override { return 0; }
    int OnSend(u32, u32 uEvent, const QV_MCAST_RES_S* r, u32 uUnit, u32 uPeer) override
    {
        if (uEvent == QV_SEND_EVENT_RESULT && uPeer)
            Say("ACK %u bytes=%u", uUnit, r ? (u32)r->uAcked : 0);
        else if (uEvent == QV_SEND_EVENT_RESULT)
            Say("MCAST DONE");
        else
            Say("MCAST END %u", uEvent);
        return uPeer ? 0 : 1;
    }
    int OnReceive(u32, u32 uPrio, u32 uMethod, u32 uParam, u32 uExtra, u32 uPeer) override
    {
        char buf[512];
        u32 uObject = 0, uFlag = 0, uRoom = 0;
        int n = proc->PeerReceive(uPeer, &uPrio, &uObject, &uMethod, &uFlag, &uParam, &uRoom, buf, sizeof(buf) - 1,
                                  uExtra, 0);
        if (n <= 0)
            return 0;
        buf[n] = 0;
        if (uMethod == kMsg) {
            Say("MSG %s", buf);
            received++;
        } else if (uMethod == kRequest) {
            std::string r = std::string("re:") + buf;
            u32 p = 0;
            proc->PeerSend(uPeer, &p, object, kReply, 0, uParam, &uRoom, &r[0], (u32)r.size(), 0);
        } else if (uMethod == kReply) {
            u32 uSeq = 0;
            if (proc->WaiterFinish(uParam, &uSeq, nullptr))
                Say("REPLY %u %s", uSeq, buf);
            else
                Say("REPLY STALE");
            replies++;
        }
        return 1;
    }
    u32 OnDisp(u32, u32) override { return 0; }
    void OnNotify(u32, u32 uType, u32 uP0, u32 uP1) override
    {
        if (uType == QV_NOTIFY_PEER_ID && uP1) {
            Say("SYNCED %u", proc->ObjGetObjIDByPeer(object, uP0));
            synced = 1;
        } else if (uType == QV_NOTIFY_PEER_ID) {
            // The peer forgot the object (or is gone): nothing will answer what waits for it.
            u32 n = 0;
            while (u32 w = proc->WaiterEnum(0, object, nullptr, nullptr)) {
                proc->WaiterFinish(w, nullptr, nullptr);
                n++;
            }
            Say("WAITERS ENDED %u peer=%u id=%u", n, uP0, proc->ObjGetObjIDByPeer(object, uP0));
            ended = 1;
        } else if (uType == QV_NOTIFY_WAITER) {
            Say("EXPIRED %u", uP0);
        }
    }
    void OnExtend(u32, u32, u32, u64, u32) override {}
    void OnTimer(u32) override {}
    const char* OnGetName() override { return "QV_CLASS_Chat"; }
    void OnControl(u32, u32, u32) override {}

    IQVClassProc* proc = nullptr;
    u32 object = 0;
    std::atomic<u32> synced{0}, received{0}, replies{0}, ended{0};
};

class ToolOwner : public IQVNodeProc {
public:
    void OnReply(u32, u32, const void*, u32, u32) override {}
    int OnExtRequest(u32 uObject, u32 uMethod, const void* lpData, u32, u32, u32) override
    {
        if (uMethod == 1) {
            Say("EXTREQ 1 %s", lpData ? (const char*)lpData : "");
            dropped = uObject;
        }
        return 0;
    }
    std::atomic<u32> dropped{0};
};

// With KV_TRACE set, the tail of the debug trace goes to the output of a run that stalls.
void TraceTail()
{
    if (getenv("KV_TRACE") && system("grep -v Thread /var/quarlin.log | tail -200") != 0)
        Say("no trace");
}

}  // namespace

// What the node holds, for the lines of a run that stalls (the node declares this a friend).
class CQVNodeTestProbe {
public:
    static void Dump(CQVNode& n, u32 uChat, u32 uPeer)
    {
        std::lock_guard<std::mutex> lk(n.m_SectDisp);
        const CQVClassPeer::STAT_S& c = n.m_ClassPeer.GetStat();
        Say("STATE sbl=%u rbl=%u id=%u status=%u node(unbound=%u noobj=%u auth=%u mask=%u) "
            "peer(short=%u unknown=%u unhandled=%u notadmitted=%u malformed=%u nopeer=%u)",
            n.m_ClassPeer.SendBacklogCount(), n.m_ClassPeer.RecvBacklogCount(),
            n.m_ClassProc.ObjGetObjIDByPeer(uChat, uPeer), n.m_ClassProc.PeerGetStatus(uPeer), n.m_Stat.uUnbound,
            n.m_Stat.uNoObject, n.m_Stat.uNotAuth, n.m_Stat.uMasked, c.uShort, c.uUnknown, c.uUnhandled,
            c.uNotAdmitted, c.uMalformed, c.uNoPeer);
    }
    static u32 PeerSocket(CQVNode& n, u32 uPeer)
    {
        std::lock_guard<std::mutex> lk(n.m_SectDisp);
        CQVNode::OBJ_S* o = n.ObjGet(uPeer);
        const CQVClassPeer::PEER_S* p = o ? n.m_ClassPeer.PeerAt(o->uInst) : nullptr;
        return p ? p->uSockID : 0;
    }
};

int main(int argc, char** argv)
{
    std::string id, peerId, dir, role = "stay", peerAddr;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        if (k == "--id")
            id = argv[i + 1];
        else if (k == "--peer")
            peerId = argv[i + 1];
        else if (k == "--dir")
            dir = argv[i + 1];
        else if (k == "--role")
            role = argv[i + 1];
        else if (k == "--peer-addr")
            peerAddr = argv[i + 1];
    }
    if (id.empty() || peerId.empty() || dir.empty() || peerAddr.empty())
        return 2;
    if (!qvTimerInit(64))
        return 3;
    if (getenv("KV_TRACE"))
        qvPrintfEnable(1);
    ChatClass chat;
    ToolOwner owner;
    CQVNode* node = static_cast<CQVNode*>(qvNewNode());
    node->AttachClass(&chat, kChatClass, 16);
    QV_CFG_S cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    cfg.uPeerMax = 16;
    cfg.uClassOption = 1;
    if (!node->Initialize(nullptr, &owner, &cfg))
        return 4;
    if (!node->ObjectAdd(id.c_str(), QV_CLASS_PEER, 0, QV_PEER_FLAG_SELF))
        return 5;
    auto* lan = static_cast<IQVSocketLANPriv*>(node->GetSocketPrivate(3));
    if (!lan || !lan->Enable(1, 0, id.c_str(), "kvnode"))
        return 6;
    // The peer, static at its address, before anything can arrive from it: both nodes then
    // open their sockets to each other and every handshake finds its socket.
    char rec[384];
    std::memset(rec, 0, sizeof(rec));
    std::strncpy(rec, peerAddr.c_str(), 127);
    u32 peer = node->ObjectAdd(peerId.c_str(), QV_CLASS_PEER, 0,
                               QV_PEER_FLAG_STATIC | QV_PEER_FLAG_INFO | QV_PEER_FLAG_ADDED);
    int r = node->ObjectRequest(peer, 37, rec, sizeof(rec), 0);
    Say("ADDR SET %d", r);
    // The LAN driver carries datagrams only to peers its scan found. One scan every 3 s: each
    // sends a sweep of the whole segment, and sweeps that pile up keep the LAN socket's send
    // buffer full for the handshake.
    u32 uPolls = 0;
    bool found = Until(20000, [&] {
        if (uPolls++ % 30 == 0)
            lan->ScanLaunch(0);
        usleep(80 * 1000);
        QV_SKT_LAN_PEER_S res[8];
        u32 n = lan->ScanGetResult(res, 8);
        for (u32 i = 0; i < n; i++)
            if (peerId == res[i].szPeerID) {
                char szFound[QV_ADDR_STR_SIZE];
                qvAddrToReadable(&res[i].Addr, szFound, sizeof(szFound));
                Say("FOUND %s", szFound);
                return true;
            }
        return false;
    });
    if (!found) {
        Say("NOT FOUND");
        return 7;
    }
    u32 obj = node->ObjectAdd("chat", kChatClass, peer, 0);
    if (!peer || !obj)
        return 8;
    // Messages before the peer told its ID for "chat" wait and go out in order.
    for (int i = 1; i <= 3; i++) {
        std::string m = id + "-early" + std::to_string(i);
        Say("SEND %s %d", m.c_str(), node->ObjectRequest(obj, 1, m.data(), (u32)m.size(), 0));
    }
    if (!Until(30000, [&] { return chat.synced.load() != 0; })) {
        Say("NOT SYNCED");
        TraceTail();
        return 9;
    }
    if (!Until(20000, [&] { return chat.received.load() >= 3; })) {
        Say("EARLY MISSING");
        CQVNodeTestProbe::Dump(*node, obj, peer);
        TraceTail();
        return 10;
    }
    // Requests and their replies, and multicast messages once synchronised.
    for (u32 i = 1; i <= 3; i++) {
        std::string q = id + "-q" + std::to_string(i);
        node->ObjectRequest(obj, 2, q.data(), (u32)q.size(), i);
    }
    std::string late = id + "-late";
    Say("SEND %s %d", late.c_str(), node->ObjectRequest(obj, 1, late.data(), (u32)late.size(), 0));
    if (!Until(20000, [&] { return chat.replies.load() >= 3 && chat.received.load() >= 4; })) {
        Say("REPLIES MISSING");
        CQVNodeTestProbe::Dump(*node, obj, peer);
        TraceTail();
        return 11;
    }
    // Stale handles are refused everywhere.
    Say("STALE UNIT %d", node->ObjectRequest(obj, 3, nullptr, 0, 0));
    Say("STALE WAITER %d", node->ObjectRequest(obj, 4, nullptr, 0, 0));
    u32 gone = node->ObjectAdd("temp", kChatClass, 0, 0);
    node->ObjectDelete(gone);
    Say("STALE OBJECT %d", node->ObjectRequest(gone, 1, "x", 1, 0));
    Say("READY");
    Touch(dir + "/done-" + id);
    Until(60000, [&] { return FileExists(dir + "/done-" + peerId); });
    if (role == "leave") {
        for (;;)
            pause();
    }
    // The peer was killed: a request to it waits, the socket layer gives up on the peer, the
    // node reports the peer dropped, and deleting the peer object ends the waiter.
    if (!Until(60000, [&] { return FileExists(dir + "/killed"); }))
        return 12;
    std::string q = id + "-unanswered";
    node->ObjectRequest(obj, 2, q.data(), (u32)q.size(), 9);
    // The give-up limit of the peer's socket is shortened to its least (10 passes) and the
    // passes are driven here instead of waited for.
    u32 uSock = CQVNodeTestProbe::PeerSocket(*node, peer);
    Say("DROP WAIT sock=%u limit=%d", uSock, node->GetSocket()->SetDropTimeout(uSock, 0));
    u32 uPasses = 0;
    Until(30000, [&] {
        for (u32 k = 0; k < 16; k++, uPasses++)
            node->GetSocket()->TimerPass();
        return owner.dropped.load() != 0;
    });
    Say("PASSES %u", uPasses);
    if (!Until(5000, [&] { return owner.dropped.load() != 0; })) {
        Say("NOT DROPPED");
        TraceTail();
        return 13;
    }
    Say("DROPPED %s", owner.dropped.load() == peer ? "peer" : "other");
    chat.ended = 0;
    node->ObjectDelete(peer);
    Until(5000, [&] { return chat.ended.load() != 0; });
    Say("FINISHED");
    node->Delete();
    qvTimerClean();
    return 0;
}
