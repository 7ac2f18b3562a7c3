// Test double of the node for the File class tests: one FakeNode hosts one File class (and its
// extensions) behind IQVClassProc; two FakeNodes linked together pass messages between their
// classes in one process, on one thread, with the socket layer's rules that the class relies
// on: per-priority send rings of 1024-byte blocks whose free room is the send window, receive
// rings that refuse blocks while full (so a receiver that stops reading closes the sender's
// window), acknowledgement amounts per multicast unit, one receive event per waiting message,
// reads that may gather single-block messages, and dispatch, notification, waiter, timer and
// extension-event queues served one step at a time. Time only moves when the test calls
// Second().
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "qvNodeDef.h"

namespace kvfile {

struct Block {
    u32 uObject;  // target object on the receiving node
    u32 uMethod;
    u32 uFlag;
    u32 uParam;   // second handle word: the sender's session cookie
    u32 uHandle;  // sender's multicast unit
    std::vector<u8> data;
    bool bLast;
    bool bSingle;
};

struct ExtReq {
    u32 uObject;
    u32 uMethod;
    std::vector<u8> data;
    u32 uHandle;
    u32 uParam;
    bool bDisp = false;  // made while the node's dispatch served the object
    std::string Text() const { return std::string(data.begin(), data.end()); }
};

struct AppReply {
    u32 uObject;
    u32 uError;
    u32 uParam;
};

// One control or data message as it left a node (for tests that watch the wire).
struct SentMsg {
    u32 uMethod;
    u32 uFlag;
    u32 uParam;
    std::vector<u8> data;
};

class FakeNode : public IQVClassProc, public IQVExtProc {
public:
    static constexpr u32 kMdu = 1024;
    static constexpr u32 kPeerHandle = (1u << 16) | 0x11;

    explicit FakeNode(const std::string& name) : m_name(name)
    {
        m_sendCap[0] = 64;
        m_sendCap[1] = 64;
        m_sendCap[2] = 256;
        m_sendCap[3] = 128;
        for (u32 i = 0; i < 4; i++) m_recvCap[i] = 256;
        // Fixed tables as in the node; references into them stay valid.
        m_units.reserve(512);
        m_inst.reserve(64);
    }
    ~FakeNode() override {}

    // ---------------------------------------------------------------- set-up
    bool AttachClass(IQVClass* pClass, u32 uMaxObj, u32 uOption)
    {
        m_pClass = pClass;
        m_uClassOption = uOption;
        return pClass->OnInitialize(nullptr, this, uMaxObj, uOption);
    }
    bool AttachExt(u32 uIndex, IQVExt* pExt, u32 uMax = 64)
    {
        m_ext[uIndex] = pExt;
        return pExt->OnInitialize(nullptr, this, uMax);
    }
    static void Link(FakeNode& a, FakeNode& b)
    {
        a.m_peer = &b;
        b.m_peer = &a;
    }
    // A File object of this node, grouped under the peer object.
    u32 AddObject(const std::string& name, u32 uFlags)
    {
        OBJ o;
        o.name = name;
        o.uHandle = ((u32)(m_obj.size() + 2) << 16) | (0x100 + (u32)m_obj.size());
        u32 uInst = 0;
        if (!m_pClass->OnAdd(o.uHandle, kPeerHandle, uFlags, &uInst)) return 0;
        o.uInst = uInst;
        m_obj.push_back(o);
        m_pClass->OnNotify(uInst, 0, 0, 0);
        return o.uHandle;
    }
    void DeleteObject(u32 uObject)
    {
        OBJ* o = Obj(uObject);
        if (!o) return;
        m_pClass->OnNotify(o->uInst, 1, 0, 0);
        m_pClass->OnDelete(o->uInst);
        for (auto& u : m_units)
            if (u.bUsed && u.uOwner == uObject) FreeUnit(u);
        o->bValid = false;
    }
    u32 Inst(u32 uObject) { OBJ* o = Obj(uObject); return o ? o->uInst : 0xFFFFFFFF; }
    // Queues a notification to an object as the node would (peer ID changes, say).
    void Notify(u32 uObject, u32 uType, u32 uP0, u32 uP1) { ObjNotify(uObject, uType, uP0, uP1); }

    // ---------------------------------------------------------------- application side
    int Request(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uParam)
    {
        OBJ* o = Obj(uObject);
        if (!o) return 5;
        return m_pClass->OnRequest(o->uInst, uMethod, lpData, uSize, uParam);
    }
    int Request(u32 uObject, u32 uMethod, const std::string& text, u32 uParam)
    {
        return Request(uObject, uMethod, text.c_str(), (u32)text.size(), uParam);
    }
    int ExtReply(u32 uObject, u32 uError, const void* lpData, u32 uSize, u32 uHandle)
    {
        OBJ* o = Obj(uObject);
        if (!o) return 5;
        return m_pClass->OnExtReply(o->uInst, uError, lpData, uSize, uHandle);
    }
    // Answers the peer's Put and Get requests (extension requests 32 and 33) one pump step
    // after they arrive, as the owner's dispatch does.
    std::function<void(FakeNode&, const ExtReq&)> onAsk;
    std::vector<ExtReq> extReqs;
    std::vector<AppReply> replies;
    std::vector<ExtReq> ExtReqs(u32 uMethod) const
    {
        std::vector<ExtReq> v;
        for (auto& r : extReqs)
            if (r.uMethod == uMethod) v.push_back(r);
        return v;
    }

    // ---------------------------------------------------------------- wire control
    u32 m_sendCap[4];
    u32 m_recvCap[4];
    bool bHold = false;       // the link carries nothing from this node
    bool bSyncLost = false;   // ObjGetSync reports the peer unknown
    u32 uPeerStatus = 3;
    u32 uCfgOption = 0;
    std::vector<SentMsg> sent;   // control messages that left this node
    u64 dataBytesSent = 0;
    std::vector<std::pair<u32, u32>> dataLog;  // (data unit, bytes) of every data send
    size_t maxUnits = 0;         // most multicast units in use at once

    // Puts a message straight into this node's receive ring, as if the peer had sent it.
    void Inject(u32 uPrio, u32 uObject, u32 uMethod, u32 uFlag, u32 uParam, const std::vector<u8>& data,
                bool bSingle = false)
    {
        Block b{uObject, uMethod, uFlag, uParam, 0, data, !bSingle, bSingle};
        m_recv[uPrio].push_back(b);
    }
    size_t RecvQueued(u32 uPrio) const { return m_recv[uPrio].size(); }
    size_t SendQueued(u32 uPrio) const { return m_send[uPrio].size(); }
    size_t UnitsInUse() const
    {
        size_t n = 0;
        for (auto& u : m_units) n += u.bUsed;
        return n;
    }
    size_t WaitersInUse() const { return m_waiters.size(); }
    size_t ExtOpenCount() const
    {
        size_t n = 0;
        for (auto& e : m_inst) n += e.bUsed;
        return n;
    }

    // ---------------------------------------------------------------- running
    // One round of every queue; true when anything happened.
    bool Step()
    {
        bool any = false;
        any |= MoveBlocks();
        any |= DeliverAcks();
        any |= DeliverReceive();
        any |= DeliverExtEvents();
        any |= DeliverNotify();
        any |= DeliverDisp();
        any |= DeliverAsks();
        return any;
    }
    static bool Pump(FakeNode& a, FakeNode& b, u32 uMaxRounds = 2000000)
    {
        for (u32 i = 0; i < uMaxRounds; i++) {
            bool any = a.Step();
            any |= b.Step();
            if (!any) return true;
        }
        return false;
    }
    // One node second: class timer, waiters and control message time-outs.
    void Second()
    {
        m_uSeconds++;
        for (auto it = m_waiters.begin(); it != m_waiters.end();) {
            if (++it->second.uCount >= it->second.uLimit) {
                WAITER w = it->second;
                it = m_waiters.erase(it);
                if (Obj(w.uObject)) ObjNotify(w.uObject, 4, w.uP0, w.uP1);
            } else
                ++it;
        }
        for (auto& u : m_units) {
            if (!u.bUsed || !u.bTimeout) continue;
            if (++u.uCount >= u.uLimit) {
                u.bTimeout = false;
                u32 uHandle = UnitHandle(u);
                OBJ* o = Obj(u.uOwner);
                if (!o || m_pClass->OnSend(o->uInst, 1, nullptr, uHandle, 0)) FreeUnit(u);
            }
        }
        if (m_uTimerSeconds) m_pClass->OnTimer(m_uSeconds);
    }

    // ---------------------------------------------------------------- IQVExtProc
    bool OnEvent(u32 uInst, u32 uA, u32 uB, u64 uC) override
    {
        std::lock_guard<std::mutex> lk(m_evMutex);
        m_events.push_back({uInst, uA, uB, uC});
        return true;
    }

    // ---------------------------------------------------------------- IQVClassProc
    u32 NodeGetTick() override { return m_uSeconds * 100; }
    u32 NodeGetTickStamp() override { return m_uSeconds * 1000; }
    u32 NodeGetCurStamp() override { return m_uSeconds; }
    u32 NodeGetCfgOption() override { return uCfgOption; }
    bool ClassSetTimer(u32 uClass, u32 uSeconds) override
    {
        if (uClass != QV_CLASS_FILE) return false;
        m_uTimerSeconds = uSeconds;
        return true;
    }
    u32 ClassGetID(const char*) override { return 0xFFFF; }
    u32 PeerGetSize() override { return 1; }
    u32 PeerGetSelf() override { return 0; }
    u32 PeerGetStatus(u32 uPeer) override { return uPeer == kPeerHandle ? uPeerStatus : 0; }
    bool PeerGetAddr(u32, QV_ADDR_S*) override { return false; }
    u32 PeerLocalStamp(u32, u32 uStamp) override { return uStamp; }
    u32 PeerSyncStamp(u32) override { return 0; }
    int PeerSend(u32, u32*, u32, u32, u32, u32, u32*, void*, u32, u32) override { return -3; }
    int PeerReceive(u32 uPeer, u32* lpuPrio, u32* lpuObject, u32* lpuMethod, u32* lpuFlag, u32* lpuParam,
                    u32* lpuRoom, void* lpBuf, u32 uSize, u32, u32 uFlags) override
    {
        if (!lpBuf || !uSize) return -4;
        if (uPeer != kPeerHandle) return -3;
        u32 uPrio = lpuPrio ? *lpuPrio : 4;
        u32 uObjF = lpuObject ? *lpuObject : 0;
        u32 uMethF = lpuMethod ? *lpuMethod : 0xFFFF;
        u32 uMsg = 0;
        if (uPrio > 3) {
            for (u32 i = 0; i < 4 && !uMsg; i++)
                if ((uMsg = HeadSize(i))) uPrio = i;
        } else
            uMsg = HeadSize(uPrio);
        if (!uMsg) return 0;
        std::deque<Block>& r = m_recv[uPrio];
        if (uMsg > uSize) {
            DropHead(uPrio);
            return -6;
        }
        const Block h = r.front();
        auto fill = [&] {
            if (lpuPrio) *lpuPrio = uPrio;
            if (lpuObject) *lpuObject = h.uObject;
            if (lpuMethod) *lpuMethod = h.uMethod;
            if (lpuFlag) *lpuFlag = h.uFlag;
            if (lpuParam) *lpuParam = h.uParam;
            if (lpuRoom) *lpuRoom = (u32)r.size();
        };
        if (uObjF && uObjF != h.uObject) {
            if (uFlags & 1) fill();
            return -3;
        }
        if (uMethF != 0xFFFF && uMethF != h.uMethod) {
            if (uFlags & 1) fill();
            return -2;
        }
        u32 uCopied = 0;
        u8* out = (u8*)lpBuf;
        if ((uFlags & 2) && h.bSingle) {
            while (!r.empty()) {
                const Block& b = r.front();
                if (uCopied && (!b.bSingle || !SameKey(b, h) || b.uFlag != h.uFlag)) break;
                if (uCopied + b.data.size() > uSize) break;
                memcpy(out + uCopied, b.data.data(), b.data.size());
                uCopied += (u32)b.data.size();
                r.pop_front();
            }
        } else {
            while (!r.empty()) {
                Block b = r.front();
                if (uCopied && !SameKey(b, h)) break;
                if (uCopied + b.data.size() > uSize) break;
                memcpy(out + uCopied, b.data.data(), b.data.size());
                uCopied += (u32)b.data.size();
                r.pop_front();
                if (b.bLast || b.bSingle) break;
            }
        }
        m_evented[uPrio] = false;
        fill();
        if (lpuRoom) *lpuRoom = (u32)r.size();
        return (int)uCopied;
    }
    int PeerSendRemain(u32 uPeer, u32 uPrio) override
    {
        if (uPeer != kPeerHandle || uPrio > 3) return -3;
        return (int)(m_sendCap[uPrio] - m_send[uPrio].size());
    }
    // The size of the complete message at the head of the priority's ring, 0 when there is
    // none or it is not for the object and method asked for.
    int PeerReceiveRemain(u32 uPeer, u32* lpuPrio, u32 uObject, u32 uMethod) override
    {
        if (uPeer != kPeerHandle) return -3;
        if (!lpuPrio || *lpuPrio > 3 || m_recv[*lpuPrio].empty()) return 0;
        const Block& h = m_recv[*lpuPrio].front();
        if ((uObject && h.uObject != uObject) || (uMethod < 0xFFFF && h.uMethod != uMethod)) return 0;
        return (int)HeadSize(*lpuPrio);
    }
    int PeerSendQueStatus(u32, u32, u32*, u32*) override { return 0; }
    int PeerReceiveQueStatus(u32, u32, u32*, u32*) override { return 0; }
    int PeerSendDrop(u32 uPeer, u32 uPrio, u32 uHandle) override
    {
        if (uPeer != kPeerHandle || uPrio > 3) return -3;
        std::deque<Block>& s = m_send[uPrio];
        s.erase(std::remove_if(s.begin(), s.end(), [&](const Block& b) { return b.uHandle == uHandle; }), s.end());
        return 0;
    }
    bool PeerDigestGen(u32, const void*, u32, u8*, u32*) override { return false; }
    bool PeerDigestVerify(u32, const void*, u32, const u8*, u32) override { return false; }
    bool GroupGetPeer(u32, u32*, u32*) override { return false; }
    bool GroupGetNear(u32, u32*, u32*) override { return false; }
    bool GroupIsNear(u32, u32, u32) override { return false; }
    u32 GroupGetMaster(u32) override { return 0; }
    u32 ObjAdd(const char*, u32, u32, u32, IQVNodeProc*) override { return 0; }
    void ObjDelete(u32) override {}
    bool ObjDisp(u32 uObject, u32 uBits) override
    {
        if (!Obj(uObject)) return false;
        m_pending[uObject] |= uBits;
        if (std::find(m_dispQ.begin(), m_dispQ.end(), uObject) == m_dispQ.end()) m_dispQ.push_back(uObject);
        return true;
    }
    u32 ObjSync(u32, u32, u32) override { return 0; }
    bool ObjNotify(u32 uObject, u32 uType, u32 uP0, u32 uP1) override
    {
        if (!Obj(uObject)) return false;
        m_notify.push_back({uObject, uType, uP0, uP1});
        return true;
    }
    bool ObjIsValid(u32 uObject) override { return Obj(uObject) || uObject == kPeerHandle; }
    u32 ObjGetID(const char*) override { return 0; }
    bool ObjGetName(u32 uObject, char* lpszBuf, u32 uSize) override
    {
        std::string n;
        if (uObject == kPeerHandle)
            n = m_peer ? m_peer->m_name : "";
        else if (OBJ* o = Obj(uObject))
            n = o->name;
        else
            return false;
        if (n.size() + 1 > uSize) return false;
        memcpy(lpszBuf, n.c_str(), n.size() + 1);
        return true;
    }
    bool ObjGetSync(u32 uObject, u32 uPeer, u32* lpuKnown) override
    {
        if (!Obj(uObject) || uPeer != kPeerHandle) return false;
        if (lpuKnown) *lpuKnown = bSyncLost ? 0 : 1;
        return true;
    }
    bool ObjGetInfo(u32 uObject, u32* lpuClass, u32* lpuGroup, u32* lpuInst, u32* lpuFirstUnit) override
    {
        if (uObject == kPeerHandle) {
            if (lpuClass) *lpuClass = QV_CLASS_PEER;
            if (lpuGroup) *lpuGroup = 0;
            if (lpuInst) *lpuInst = 0;
            if (lpuFirstUnit) *lpuFirstUnit = 0;
            return true;
        }
        OBJ* o = Obj(uObject);
        if (!o) return false;
        if (lpuClass) *lpuClass = QV_CLASS_FILE;
        if (lpuGroup) *lpuGroup = kPeerHandle;
        if (lpuInst) *lpuInst = o->uInst;
        if (lpuFirstUnit) {
            *lpuFirstUnit = 0;
            for (auto& u : m_units)
                if (u.bUsed && u.uOwner == uObject) {
                    *lpuFirstUnit = UnitHandle(u);
                    break;
                }
        }
        return true;
    }
    bool ObjSetOption(u32, u32, u32) override { return false; }
    bool ObjGetOption(u32, u32, u32*) override { return false; }
    bool ObjCleanMCast(u32) override { return false; }
    bool ObjSetObjIDModePart(u32) override { return true; }
    u32 ObjGetObjIDByPeer(u32, u32) override { return 0; }
    int ObjRequest(u32, u32, const void*, u32, u32) override { return 5; }
    int ObjExtRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uHandle, u32 uParam,
                      u32) override
    {
        if (!lpData && uSize) return 0;
        if (!Obj(uObject)) return 0;
        ExtReq r{uObject, uMethod, {}, uHandle, uParam, m_bInDisp};
        if (lpData) r.data.assign((const u8*)lpData, (const u8*)lpData + uSize);
        extReqs.push_back(r);
        if (uMethod == 32 || uMethod == 33) m_asks.push_back(r);
        return 1;
    }
    int ObjReply(u32 uObject, u32 uError, const void*, u32, u32 uParam, u32) override
    {
        replies.push_back({uObject, uError, uParam});
        return 1;
    }
    int ObjExtReply(u32, u32, const void*, u32, u32) override { return 5; }
    int ObjGetReply(u32, u32*, void*, u32*, u32) override { return 0; }
    u32 MCastAlloc(u32 uObject, u32 uMethod, u32 uPrio, u32* lpuPeers, u32 uCount, u32, u32 uSeconds,
                   u32 uParam) override
    {
        if (!Obj(uObject)) return 0;
        UNIT* u = nullptr;
        for (auto& x : m_units)
            if (!x.bUsed) {
                u = &x;
                break;
            }
        if (!u) {
            if (m_units.size() >= 512) return 0;  // the node's table is fixed
            m_units.push_back(UNIT());
            u = &m_units.back();
        }
        u->bUsed = true;
        u->uCookie = (u16)(u->uCookie + 1) ? (u16)(u->uCookie + 1) : 1;
        u->uOwner = uObject;
        u->uMethod = uMethod;
        u->uPrio = uPrio > 3 ? 3 : uPrio;
        u->uParam = uParam;
        u->peers.clear();
        if (lpuPeers && uCount)
            u->peers.assign(lpuPeers, lpuPeers + uCount);
        else
            u->peers.push_back(kPeerHandle);
        u->res.assign(u->peers.size(), QV_MCAST_RES_S());
        for (auto& r : u->res) memset(&r, 0, sizeof(r));
        u->uLimit = uSeconds > 429496728u ? 0xFFFFFFFFu : uSeconds;
        u->uCount = 0;
        u->bTimeout = false;
        u->uSeq = ++m_uUnitSeq;
        maxUnits = std::max(maxUnits, UnitsInUse());
        return UnitHandle(*u);
    }
    void MCastFree(u32 uUnit) override
    {
        if (UNIT* u = Unit(uUnit)) FreeUnit(*u);
    }
    int MCastSend(u32 uUnit, u32 uFlag, const void* lpData, u32 uSize, u32 uPeer, u32 uFlags) override
    {
        UNIT* u = Unit(uUnit);
        if (!u) return -1;
        u->uCount = 0;
        u32 uOk = 0, uFail = 0;
        for (size_t i = 0; i < u->peers.size(); i++) {
            if (uPeer && u->peers[i] != uPeer) continue;
            int r = LinkSend(*u, uUnit, uFlag, (const u8*)lpData, uSize, (uFlags & 2) != 0);
            u->res[i].iResult = r;
            if (r > 0) {
                u->res[i].uSent += (u64)r;
                // As the peer class: the blocks left free in the priority's send ring.
                u->res[i].uValue = m_sendCap[u->uPrio] - (u32)m_send[u->uPrio].size();
                uOk++;
            } else
                uFail++;
        }
        // As in the node, the time-out runs from every try, also one that went nowhere.
        if (u->uLimit != 0xFFFFFFFFu) u->bTimeout = true;
        if (!uOk) return uFail ? (int)uFail : -1;
        return (int)uFail;
    }
    bool MCastSetPeer(u32 uUnit, u32* lpuPeers, u32 uCount, u32) override
    {
        UNIT* u = Unit(uUnit);
        if (!u || !lpuPeers || !uCount) return false;
        u->peers.assign(lpuPeers, lpuPeers + uCount);
        u->res.assign(uCount, QV_MCAST_RES_S());
        for (auto& r : u->res) memset(&r, 0, sizeof(r));
        return true;
    }
    void MCastReset(u32, u32) override {}
    u32 MCastGetNext(u32 uUnit, u32) override
    {
        UNIT* u = Unit(uUnit);
        if (!u) return 0;
        UNIT* best = nullptr;
        for (auto& x : m_units)
            if (x.bUsed && x.uOwner == u->uOwner && x.uSeq > u->uSeq && (!best || x.uSeq < best->uSeq)) best = &x;
        return best ? UnitHandle(*best) : 0;
    }
    bool MCastGetPeer(u32, u32*, u32*) override { return false; }
    bool MCastGetRes(u32 uUnit, u32* lpuPeers, QV_MCAST_RES_S* lpRes, u32* lpuCount, u32 uMode) override
    {
        UNIT* u = Unit(uUnit);
        if (!u || !lpuPeers || !lpRes || !lpuCount || uMode != 0) return false;
        for (u32 i = 0; i < *lpuCount; i++) {
            memset(&lpRes[i], 0, sizeof(lpRes[i]));
            for (size_t k = 0; k < u->peers.size(); k++)
                if (u->peers[k] == lpuPeers[i]) lpRes[i] = u->res[k];
        }
        return true;
    }
    bool MCastGetInfo(u32 uUnit, u32* lpuObject, u32* lpuMethod, u32* lpuInst, u32* lpuPrio,
                      u32* lpuParam) override
    {
        UNIT* u = Unit(uUnit);
        if (!u) return false;
        if (lpuObject) *lpuObject = u->uOwner;
        if (lpuMethod) *lpuMethod = u->uMethod;
        if (lpuInst) *lpuInst = Obj(u->uOwner) ? Obj(u->uOwner)->uInst : 0;
        if (lpuPrio) *lpuPrio = u->uPrio;
        if (lpuParam) *lpuParam = u->uParam;
        return true;
    }
    u32 WaiterAlloc(u32 uObject, u32 uSeconds, u32 uP0, u32 uP1) override
    {
        if (!uObject) return 0;
        m_uWaiterSeq++;
        u32 h = ((m_uWaiterSeq & 0x1FF) << 16) | (m_uWaiterSeq & 0xFFFF) | 0x10000000;
        m_waiters[h] = {uObject, uSeconds, 0, uP0, uP1};
        return h;
    }
    u32 WaiterFinish(u32 uWaiter, u32* lpuP0, u32* lpuP1) override
    {
        auto it = m_waiters.find(uWaiter);
        if (it == m_waiters.end()) return 0;
        if (lpuP0) *lpuP0 = it->second.uP0;
        if (lpuP1) *lpuP1 = it->second.uP1;
        u32 uObject = it->second.uObject;
        m_waiters.erase(it);
        return uObject;
    }
    bool WaiterAdjust(u32 uWaiter, u32 uSeconds) override
    {
        auto it = m_waiters.find(uWaiter);
        if (it == m_waiters.end()) return false;
        it->second.uLimit = uSeconds;
        return true;
    }
    u32 WaiterEnum(u32 uAfter, u32 uObject, u32* lpuP0, u32* lpuP1) override
    {
        auto it = uAfter && m_waiters.count(uAfter) ? std::next(m_waiters.find(uAfter)) : m_waiters.begin();
        for (; it != m_waiters.end(); ++it)
            if (!uObject || it->second.uObject == uObject) {
                if (lpuP0) *lpuP0 = it->second.uP0;
                if (lpuP1) *lpuP1 = it->second.uP1;
                return it->first;
            }
        return 0;
    }
    u32 ExtOpen(u32 uExt, const char* lpszS1, const char* lpszS2, u32 uValue, u32 uParam, u32 uClass) override
    {
        auto it = m_ext.find(uExt);
        if (it == m_ext.end()) return 0;
        size_t i = 0;
        while (i < m_inst.size() && m_inst[i].bUsed) i++;
        if (i == m_inst.size()) {
            if (m_inst.size() >= 64) return 0;
            m_inst.push_back(EXTINST());
        }
        EXTINST& e = m_inst[i];
        e.uCookie = (u16)(e.uCookie + 1) ? (u16)(e.uCookie + 1) : 1;
        u32 h = ((u32)i << 16) | e.uCookie;
        void* inst = nullptr;
        if (!it->second->OnOpen(&inst, lpszS1, lpszS2, uValue, h, nullptr) || !inst) {
            e.uCookie++;
            return 0;
        }
        e.bUsed = true;
        e.pInst = inst;
        e.uExt = uExt;
        e.uParam = uParam;
        e.uClass = uClass;
        return h;
    }
    void ExtClose(u32 uInst, u32 uValue) override
    {
        EXTINST* e = Ext(uInst);
        if (!e) return;
        m_ext[e->uExt]->OnClose(e->pInst, uValue);
        e->bUsed = false;
        e->pInst = nullptr;
        e->uCookie++;
    }
    int ExtWrite(u32 uInst, u32 uValue, const void* lpData, u32* lpuSize, u64 uPos) override
    {
        EXTINST* e = Ext(uInst);
        return e ? m_ext[e->uExt]->OnWrite(e->pInst, uValue, lpData, lpuSize, uPos) : 0;
    }
    int ExtRead(u32 uInst, u32 uValue, void* lpBuf, u32* lpuSize, u64 uPos) override
    {
        EXTINST* e = Ext(uInst);
        return e ? m_ext[e->uExt]->OnRead(e->pInst, uValue, lpBuf, lpuSize, uPos) : 0;
    }
    int ExtCtrl(u32 uInst, u32 uValue, const void* lpIn, u32 uInSize, void* lpOut, u32* lpuOutSize) override
    {
        EXTINST* e = Ext(uInst);
        return e ? m_ext[e->uExt]->OnCtrl(e->pInst, uValue, lpIn, uInSize, lpOut, lpuOutSize) : 0;
    }
    bool ExtPostEvent(u32 uInst, u32 uA, u32 uB, u64 uC) override { return OnEvent(uInst, uA, uB, uC); }

private:
    struct OBJ {
        std::string name;
        u32 uHandle = 0;
        u32 uInst = 0;
        bool bValid = true;
    };
    struct UNIT {
        bool bUsed = false;
        u16 uCookie = 0;
        u32 uOwner = 0, uMethod = 0, uPrio = 0, uParam = 0;
        std::vector<u32> peers;
        std::vector<QV_MCAST_RES_S> res;
        u32 uLimit = 0, uCount = 0;
        bool bTimeout = false;
        u64 uSeq = 0;
    };
    struct WAITER {
        u32 uObject, uLimit, uCount, uP0, uP1;
    };
    struct NOTIFY {
        u32 uObject, uType, uP0, uP1;
    };
    struct EVENT {
        u32 uInst, uA, uB;
        u64 uC;
    };
    struct EXTINST {
        bool bUsed = false;
        u16 uCookie = 0;
        void* pInst = nullptr;
        u32 uExt = 0, uParam = 0, uClass = 0;
    };
    struct ACK {
        u32 uHandle;
        u32 uBytes;
    };

    OBJ* Obj(u32 uObject)
    {
        for (auto& o : m_obj)
            if (o.bValid && o.uHandle == uObject) return &o;
        return nullptr;
    }
    OBJ* ObjByName(const std::string& name)
    {
        for (auto& o : m_obj)
            if (o.bValid && o.name == name) return &o;
        return nullptr;
    }
    u32 UnitHandle(const UNIT& u) const { return ((u32)(&u - &m_units[0] + 1) << 16) | u.uCookie; }
    UNIT* Unit(u32 uUnit)
    {
        u32 i = uUnit >> 16;
        if (!i || i > m_units.size()) return nullptr;
        UNIT& u = m_units[i - 1];
        return u.bUsed && u.uCookie == (uUnit & 0xFFFF) ? &u : nullptr;
    }
    void FreeUnit(UNIT& u)
    {
        u.bUsed = false;
        u.bTimeout = false;
        u.uCookie = (u16)(u.uCookie + 1) ? (u16)(u.uCookie + 1) : 1;
    }
    EXTINST* Ext(u32 uInst)
    {
        u32 i = uInst >> 16;
        if (i >= m_inst.size()) return nullptr;
        EXTINST& e = m_inst[i];
        return e.bUsed && e.uCookie == (uInst & 0xFFFF) ? &e : nullptr;
    }
    static bool SameKey(const Block& a, const Block& b)
    {
        return a.uObject == b.uObject && a.uMethod == b.uMethod && a.uParam == b.uParam;
    }
    int LinkSend(const UNIT& u, u32 uUnit, u32 uFlag, const u8* p, u32 uSize, bool bSingle)
    {
        if (!p || !uSize || !m_peer) return 0;
        OBJ* src = Obj(u.uOwner);
        OBJ* dst = src ? m_peer->ObjByName(src->name) : nullptr;
        if (!dst) return 0;
        std::deque<Block>& s = m_send[u.uPrio];
        u32 uFree = m_sendCap[u.uPrio] - (u32)s.size();
        u32 uBlocks = (uSize + kMdu - 1) / kMdu;
        if (!bSingle && uFree < uBlocks) return 0;
        u32 uDone = 0;
        while (uDone < uSize && s.size() < m_sendCap[u.uPrio]) {
            u32 n = std::min(kMdu, uSize - uDone);
            Block b{dst->uHandle, u.uMethod, uFlag, u.uParam, uUnit, std::vector<u8>(p + uDone, p + uDone + n),
                    !bSingle && uDone + n == uSize, bSingle};
            s.push_back(b);
            uDone += n;
        }
        if (u.uMethod != 0)
            sent.push_back({u.uMethod, uFlag, u.uParam, std::vector<u8>(p, p + uSize)});
        else {
            dataBytesSent += uDone;
            dataLog.push_back({uUnit, uDone});
        }
        return (int)uDone;
    }
    bool MoveBlocks()
    {
        if (!m_peer || bHold) return false;
        bool any = false;
        for (u32 pr = 0; pr < 4; pr++) {
            std::deque<Block>& s = m_send[pr];
            while (!s.empty() && m_peer->m_recv[pr].size() < m_peer->m_recvCap[pr]) {
                Block b = s.front();
                s.pop_front();
                if (!m_acks.empty() && m_acks.back().uHandle == b.uHandle)
                    m_acks.back().uBytes += (u32)b.data.size();
                else
                    m_acks.push_back({b.uHandle, (u32)b.data.size()});
                m_peer->m_recv[pr].push_back(b);
                any = true;
            }
        }
        return any;
    }
    bool DeliverAcks()
    {
        if (m_acks.empty()) return false;
        std::vector<ACK> acks;
        acks.swap(m_acks);
        for (auto& a : acks) {
            UNIT* u = Unit(a.uHandle);
            if (!u) continue;
            OBJ* o = Obj(u->uOwner);
            if (!o) {
                FreeUnit(*u);
                continue;
            }
            u->res[0].uAcked += a.uBytes;
            QV_MCAST_RES_S res = u->res[0];
            int r = m_pClass->OnSend(o->uInst, 0, &res, a.uHandle, u->peers[0]);
            if (!(u = Unit(a.uHandle))) continue;
            u->bTimeout = false;
            r = m_pClass->OnSend(o->uInst, 0, &res, a.uHandle, 0);
            if (r && (u = Unit(a.uHandle))) FreeUnit(*u);
        }
        return true;
    }
    u32 HeadSize(u32 uPrio)
    {
        std::deque<Block>& r = m_recv[uPrio];
        if (r.empty()) return 0;
        if (r.front().bSingle) return (u32)r.front().data.size();
        u32 n = 0;
        for (auto& b : r) {
            if (!SameKey(b, r.front())) return n;
            n += (u32)b.data.size();
            if (b.bLast) return n;
        }
        return 0;
    }
    void DropHead(u32 uPrio)
    {
        std::deque<Block>& r = m_recv[uPrio];
        if (r.empty()) return;
        Block h = r.front();
        while (!r.empty() && SameKey(r.front(), h)) {
            bool bEnd = r.front().bLast || r.front().bSingle;
            r.pop_front();
            if (bEnd) break;
        }
        m_evented[uPrio] = false;
    }
    bool DeliverReceive()
    {
        for (u32 pr = 0; pr < 4; pr++) {
            if (m_evented[pr] || !HeadSize(pr)) continue;
            const Block h = m_recv[pr].front();
            OBJ* o = Obj(h.uObject);
            m_evented[pr] = true;
            if (!o || !m_pClass->OnReceive(o->uInst, pr, h.uMethod, h.uParam, 0, kPeerHandle)) {
                // Not taken: the waiting message is dropped when it is still the same one.
                if (!m_recv[pr].empty() && SameKey(m_recv[pr].front(), h)) DropHead(pr);
                m_evented[pr] = false;
            }
            return true;
        }
        return false;
    }
    bool DeliverExtEvents()
    {
        std::vector<EVENT> ev;
        {
            std::lock_guard<std::mutex> lk(m_evMutex);
            ev.swap(m_events);
        }
        for (auto& e : ev) {
            EXTINST* x = Ext(e.uInst);
            if (x) m_pClass->OnExtend(e.uInst, e.uA, e.uB, e.uC, x->uParam);
        }
        return !ev.empty();
    }
    bool DeliverNotify()
    {
        if (m_notify.empty()) return false;
        std::deque<NOTIFY> q;
        q.swap(m_notify);
        for (auto& n : q)
            if (OBJ* o = Obj(n.uObject)) m_pClass->OnNotify(o->uInst, n.uType, n.uP0, n.uP1);
        return true;
    }
    bool DeliverDisp()
    {
        if (m_dispQ.empty()) return false;
        std::deque<u32> q;
        q.swap(m_dispQ);
        for (u32 uObject : q) {
            OBJ* o = Obj(uObject);
            u32 uBits = m_pending[uObject];
            if (!o || !uBits) {
                m_pending[uObject] = 0;
                continue;
            }
            // As the node does: the result replaces the pending bits; bits an object raised
            // for itself while it ran are lost unless it returns them.
            m_bInDisp = true;
            u32 r = m_pClass->OnDisp(o->uInst, uBits);
            m_bInDisp = false;
            m_pending[uObject] = r;
            if (r && std::find(m_dispQ.begin(), m_dispQ.end(), uObject) == m_dispQ.end()) m_dispQ.push_back(uObject);
        }
        return true;
    }
    bool DeliverAsks()
    {
        if (m_asks.empty()) return false;
        std::vector<ExtReq> q;
        q.swap(m_asks);
        if (onAsk)
            for (auto& a : q) onAsk(*this, a);
        return true;
    }

    std::string m_name;
    FakeNode* m_peer = nullptr;
    IQVClass* m_pClass = nullptr;
    u32 m_uClassOption = 0;
    std::map<u32, IQVExt*> m_ext;
    std::vector<OBJ> m_obj;
    std::vector<UNIT> m_units;
    u64 m_uUnitSeq = 0;
    std::map<u32, WAITER> m_waiters;
    u32 m_uWaiterSeq = 0;
    std::vector<EXTINST> m_inst;
    std::deque<Block> m_send[4];
    std::deque<Block> m_recv[4];
    bool m_evented[4] = {false, false, false, false};
    std::vector<ACK> m_acks;
    std::deque<NOTIFY> m_notify;
    std::deque<u32> m_dispQ;
    bool m_bInDisp = false;
    std::map<u32, u32> m_pending;
    std::vector<ExtReq> m_asks;
    std::mutex m_evMutex;
    std::vector<EVENT> m_events;
    u32 m_uSeconds = 1;
    u32 m_uTimerSeconds = 0;
};

// ---------------------------------------------------------------------------------------------
// In-memory byte streams with the TCP extension's interface: a source that produces a known
// pattern as the test feeds it, and a sink that checks the pattern and accepts only up to a
// limit the test moves. Both tell the node when they can go on, as the TCP extension does.

inline u8 Pattern(u64 i)
{
    return (u8)((i * 2654435761u) >> 13) ^ (u8)(i >> 8);
}

class MemStreamExt : public IQVExt {
public:
    struct Stream {
        // Source side.
        u64 uAvail = 0;      // bytes fed so far
        u64 uRead = 0;       // bytes the class has read
        bool bEof = false;
        bool bWantRead = false;
        // Sink side.
        u64 uLimit = ~0ull;  // accepted bytes may not pass this
        u64 uWritten = 0;
        u32 uWrites = 0;     // calls that took bytes
        bool bCorrupt = false;
        bool bWantWrite = false;
        bool bFail = false;  // writes fail (socket error)
        // Instances bound to it.
        u32 uReadInst = 0, uWriteInst = 0;
        bool bOpenRead = false, bOpenWrite = false;
        u32 uCtrl = 0;
    };
    std::map<std::string, Stream> streams;
    IQVExtProc* pProc = nullptr;

    void Feed(const std::string& name, u64 n, bool bEof = false)
    {
        Stream& s = streams[name];
        s.uAvail += n;
        s.bEof |= bEof;
        if (s.bWantRead && s.bOpenRead) {
            s.bWantRead = false;
            pProc->OnEvent(s.uReadInst, 0, 2, 0);
        }
    }
    void SetLimit(const std::string& name, u64 uLimit)
    {
        Stream& s = streams[name];
        s.uLimit = uLimit;
        if (s.bWantWrite && s.bOpenWrite) {
            s.bWantWrite = false;
            pProc->OnEvent(s.uWriteInst, 0, 1, 0);
        }
    }

    void Delete() override {}
    bool AttachDepend(IQVBase*, u32) override { return true; }
    bool OnInitialize(void*, IQVExtProc* lpProc, u32) override
    {
        pProc = lpProc;
        return true;
    }
    void OnClean() override {}
    bool OnOpen(void** lppInst, const char* lpszPath, const char* lpszOption, u32, u32 uHandle, IQVExtProc*) override
    {
        std::string path = lpszPath ? lpszPath : "", opt = lpszOption ? lpszOption : "";
        size_t slash = path.find('/');
        if (slash == std::string::npos) return false;
        auto it = streams.find(path.substr(slash + 1));
        if (it == streams.end()) return false;
        INST* inst = new INST{&it->second, 0};
        if (opt == "(Option){(Mode){0}}") {
            inst->uMode = 0;
            it->second.uReadInst = uHandle;
            it->second.bOpenRead = true;
        } else if (opt == "(Option){(Mode){1}}") {
            inst->uMode = 1;
            it->second.uWriteInst = uHandle;
            it->second.bOpenWrite = true;
        } else {
            delete inst;
            return false;
        }
        *lppInst = inst;
        return true;
    }
    void OnClose(const void* lpInst, u32) override
    {
        INST* inst = (INST*)lpInst;
        if (inst->uMode == 0)
            inst->s->bOpenRead = false;
        else
            inst->s->bOpenWrite = false;
        delete inst;
    }
    int OnRead(const void* lpInst, u32, void* lpBuf, u32* lpuSize, u64) override
    {
        INST* inst = (INST*)lpInst;
        Stream& s = *inst->s;
        if (inst->uMode != 0) return 0;
        u64 uLeft = s.uAvail - s.uRead;
        if (!uLeft) {
            if (s.bEof) return 0;  // the socket closed
            s.bWantRead = true;
            *lpuSize = 0;
            return 1;
        }
        u32 n = (u32)std::min<u64>(*lpuSize, uLeft);
        u8* p = (u8*)lpBuf;
        for (u32 i = 0; i < n; i++) p[i] = Pattern(s.uRead + i);
        s.uRead += n;
        *lpuSize = n;
        return 3;
    }
    int OnWrite(const void* lpInst, u32, const void* lpData, u32* lpuSize, u64) override
    {
        INST* inst = (INST*)lpInst;
        Stream& s = *inst->s;
        if (inst->uMode != 1 || s.bFail) return 0;
        u64 uRoom = s.uLimit > s.uWritten ? s.uLimit - s.uWritten : 0;
        if (!uRoom) {
            s.bWantWrite = true;
            return 1;
        }
        u32 n = (u32)std::min<u64>(*lpuSize, uRoom);
        const u8* p = (const u8*)lpData;
        for (u32 i = 0; i < n; i++)
            if (p[i] != Pattern(s.uWritten + i)) s.bCorrupt = true;
        s.uWritten += n;
        s.uWrites += n != 0;
        *lpuSize = n;
        return 3;
    }
    int OnCtrl(const void* lpInst, u32, const void*, u32, void*, u32*) override
    {
        ((INST*)lpInst)->s->uCtrl++;
        return 1;
    }

private:
    struct INST {
        Stream* s;
        u32 uMode;
    };
};

}  // namespace kvfile
