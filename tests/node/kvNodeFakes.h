// Pieces shared by the node tests: the timer service, a white-box probe (the node declares it
// a friend), a recording object class, a recording owner, a carrier that goes nowhere and a polling wait.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qvLog.h"
#include "qvNode.h"
#include "qvTimer.h"

class CQVNodeTestProbe {
public:
    explicit CQVNodeTestProbe(CQVNode& n) : N(n) {}
    CQVNode& N;

    // Runs f(class services) under the node lock, as a class callback would.
    template <class F>
    auto Locked(F f) -> decltype(f(*(CQVNodeClassProc*)nullptr))
    {
        std::lock_guard<std::mutex> lk(N.m_SectDisp);
        return f(N.m_ClassProc);
    }
    // The socket timer is ignored from now on; Pass drives the time base instead.
    void ManualTime() { N.m_uManualTime = 1; }
    // n timer passes run at once on the caller's thread (a node second every 10th).
    void Pass(u32 n)
    {
        for (u32 i = 0; i < n; i++) {
            u32 t = N.m_uTick.fetch_add(10) + 10;
            if ((t / 10) % 10 == 0)
                N.m_uSecond.fetch_add(1);
            std::lock_guard<std::mutex> lk(N.m_SectDisp);
            N.DispTimer();
        }
    }
    const QV_CFG_S& Cfg() const { return N.m_Cfg; }
    u32 ExtInstCount() const { return N.m_ExtInst.Count(); }
    u32 ExtInstFree() const { return N.m_ExtInst.FreeCount(); }
    u32 HndPending()
    {
        std::lock_guard<std::mutex> lk(N.m_HndMutex);
        return N.m_uHndPend;
    }
    CQVNode::STAT_S Stat()
    {
        std::lock_guard<std::mutex> lk(N.m_SectDisp);
        return N.m_Stat;
    }
    u32 Second() const { return N.m_uSecond.load(); }
    u32 ObjCount() const { return N.m_ObjTable.Used(); }
    u32 TmoPending()
    {
        std::lock_guard<std::mutex> lk(N.m_SectDisp);
        return N.m_TmoPend.Count();
    }
};

class CQVClassPeerTestProbe {
public:
    explicit CQVClassPeerTestProbe(CQVClassPeer& c) : C(c) {}
    CQVClassPeer& C;
    void SetLoggedIn(u32 uStatus, u32 uTraffic)
    {
        C.m_uLoginStatus = uStatus;
        C.m_uPeerTraffic = uTraffic;
    }
    void SetStatus(u32 uInst, u32 uStatus) { C.HelperSetStatus(C.Entry(uInst), uStatus); }
    void SetBacklogLimits(u32 uRecv, u32 uSend)
    {
        C.m_uRblMax = uRecv;
        C.m_uSblMax = uSend;
    }
    void SetTick(u32 t) { C.m_uTick = t; }
    u32 NewUsed() const { return C.m_NewUsed.Count(); }
    u32 NewMax() const { return C.m_uNewMax; }
    u32 Search(const QV_ADDR_S& a) { return C.PeerSearch(a); }
    u32 HashMask() const { return C.m_AddrHash.m_uMask; }
    u32 PendingUpdates(u32 uInst) const { return C.Entry(uInst)->updates.Count(); }
    u32 SockID(u32 uInst) const { return C.Entry(uInst)->uSockID; }
    u32 SendMask(u32 uInst) const { return C.Entry(uInst)->uSendMask; }
    // One pass of the peer's pending sends (as on an acknowledgement); under the node lock.
    void PendingPass(u32 uInst) { C.SendMaskInst(uInst); }
};

namespace {

class NodeTimerEnv : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_EQ(1u, qvTimerInit(64));
        if (getenv("KV_TRACE"))
            qvPrintfEnable(1);
    }
    void TearDown() override { qvTimerClean(); }
};
::testing::Environment* const s_NodeTimerEnv = ::testing::AddGlobalTestEnvironment(new NodeTimerEnv);

inline bool WaitFor(const std::function<bool()>& pred, int ms = 3000)
{
    auto t0 = std::chrono::steady_clock::now();
    while (!pred()) {
        if (std::chrono::steady_clock::now() - t0 > std::chrono::milliseconds(ms))
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct ClassCall {
    std::string op;
    u32 a, b, c, d, e, f;
    std::string data;
};

// An object class that records every callback. Hooks may change the answers.
class TestClass : public IQVClass {
public:
    explicit TestClass(const char* lpszName = "QV_CLASS_Test") : m_name(lpszName) {}
    void Delete() override {}
    bool OnInitialize(void*, IQVClassProc* p, u32 uMax, u32 uOption) override
    {
        proc = p;
        Rec("init", uMax, uOption);
        return initOk;
    }
    void OnClean() override { Rec("clean"); }
    bool OnAdd(u32 uObject, u32 uGroup, u32 uFlags, u32* lpuInst) override
    {
        *lpuInst = nextInst++;
        Rec("add", uObject, uGroup, uFlags, *lpuInst);
        return addOk;
    }
    void OnDelete(u32 uInst) override { Rec("delete", uInst); }
    int OnRequest(u32 uInst, u32 uMethod, const void* d, u32 n, u32 uParam) override
    {
        Rec("request", uInst, uMethod, n, uParam, 0, 0, d ? std::string((const char*)d, n) : std::string());
        return requestResult;
    }
    int OnExtReply(u32 uInst, u32 uError, const void* d, u32 n, u32 uHandle) override
    {
        Rec("extreply", uInst, uError, n, uHandle, 0, 0, d ? std::string((const char*)d, n) : std::string());
        return 0;
    }
    int OnSend(u32 uInst, u32 uEvent, const QV_MCAST_RES_S* r, u32 uUnit, u32 uPeer) override
    {
        Rec("send", uInst, uEvent, uUnit, uPeer, r ? (u32)r->uAcked : 0xFFFFFFFF, r ? (u32)r->iResult : 0);
        return onSendFree;
    }
    int OnReceive(u32 uInst, u32 uPrio, u32 uMethod, u32 uParam, u32 uExtra, u32 uPeer) override
    {
        if (onReceive)
            return onReceive(uInst, uPrio, uMethod, uParam, uExtra, uPeer);
        Rec("receive", uInst, uPrio, uMethod, uParam, uExtra, uPeer);
        return receiveResult;
    }
    u32 OnDisp(u32 uInst, u32 uBits) override
    {
        Rec("disp", uInst, uBits);
        u32 r = dispRepeat ? uBits : 0;
        if (dispRepeat)
            dispRepeat--;
        return r;
    }
    void OnNotify(u32 uInst, u32 uType, u32 uP0, u32 uP1) override { Rec("notify", uInst, uType, uP0, uP1); }
    void OnExtend(u32 uExtInst, u32 a, u32 b, u64 c, u32 uParam) override
    {
        Rec("extend", uExtInst, a, b, (u32)c, uParam);
    }
    void OnTimer(u32 uSeconds) override { Rec("timer", uSeconds); }
    const char* OnGetName() override { return m_name.c_str(); }
    void OnControl(u32, u32, u32) override {}

    void Rec(const char* op, u32 a = 0, u32 b = 0, u32 c = 0, u32 d = 0, u32 e = 0, u32 f = 0,
             std::string data = std::string())
    {
        std::lock_guard<std::mutex> lk(mu);
        calls.push_back({op, a, b, c, d, e, f, std::move(data)});
    }
    std::vector<ClassCall> Calls(const std::string& op)
    {
        std::lock_guard<std::mutex> lk(mu);
        std::vector<ClassCall> v;
        for (auto& c : calls)
            if (c.op == op)
                v.push_back(c);
        return v;
    }
    size_t Count(const std::string& op) { return Calls(op).size(); }
    void Clear()
    {
        std::lock_guard<std::mutex> lk(mu);
        calls.clear();
    }

    IQVClassProc* proc = nullptr;
    bool initOk = true;
    bool addOk = true;
    int requestResult = 0;
    int receiveResult = 1;
    int onSendFree = 1;
    u32 dispRepeat = 0;
    u32 nextInst = 0;
    std::function<int(u32, u32, u32, u32, u32, u32)> onReceive;
    std::mutex mu;
    std::vector<ClassCall> calls;

private:
    std::string m_name;
};

// The owner's callbacks, recorded.
class TestOwner : public IQVNodeProc {
public:
    void OnReply(u32 uObject, u32 uError, const void* d, u32 n, u32 uParam) override
    {
        std::lock_guard<std::mutex> lk(mu);
        replies.push_back({"reply", uObject, uError, n, uParam, 0, 0, d ? std::string((const char*)d, n) : ""});
    }
    int OnExtRequest(u32 uObject, u32 uMethod, const void* d, u32 n, u32 uHandle, u32 uParam) override
    {
        if (hold)
            hold();
        std::string data = d ? (n ? std::string((const char*)d, n) : std::string((const char*)d)) : "";
        {
            std::lock_guard<std::mutex> lk(mu);
            requests.push_back({"extrequest", uObject, uMethod, n, uHandle, uParam, 0, data});
        }
        return extResult;
    }
    std::vector<ClassCall> Requests()
    {
        std::lock_guard<std::mutex> lk(mu);
        return requests;
    }
    std::vector<ClassCall> Replies()
    {
        std::lock_guard<std::mutex> lk(mu);
        return replies;
    }
    int extResult = 0;
    std::function<void()> hold;
    std::mutex mu;
    std::vector<ClassCall> requests, replies;
};

// A datagram carrier that takes everything and delivers nothing.
class NullLower : public IQVSocketLower {
public:
    u32 Initialize(void*, const u32*) override { return 1; }
    void Clean() override {}
    u32 Add(const QV_ADDR_S&, u32) override { return ++m_uNext; }
    void Delete(u32) override {}
    u32 Search(const QV_ADDR_S&, u32&) override { return 0; }
    u32 SetPeerParam(u32, u32) override { return 1; }
    u32 GetPeerAddr(u32, QV_ADDR_S*) override { return 0; }
    s32 Send(u32, const QV_BUF_S& b, u32, u32, u32*) override { return (s32)b.uLen; }
    s32 SendDirect(const QV_ADDR_S&, const QV_BUF_S&, u32) override { return -1; }
    u32 Ctrl(u32, u32, u32) override { return 1; }
    u32 GetPeerCnntAddr(u32, u32*, u32) override { return 0; }
    u32 SetMainSpeed(u32, u32) override { return 1; }
    u32 SetSelfPeer(const char*) override { return 1; }
    u32 GetTryTimeout() override { return 6; }
    u32 SetLoopSpeed(u32) override { return 1; }

private:
    std::atomic<u32> m_uNext{0};
};

inline QV_CFG_S SmallCfg()
{
    QV_CFG_S c;
    std::memset(&c, 0, sizeof(c));
    c.uPeerMax = 16;
    c.uGroupMax = 8;
    c.uObjMax = 64;
    c.uMCastMax = 64;
    c.uHandleMax = 32;
    c.uNotifyMax = 16;
    c.uExtInstMax = 64;
    c.uClassOption = 1;
    return c;
}

}  // namespace
