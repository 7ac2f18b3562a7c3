// Pieces shared by the socket layer tests: the timer the layer needs, address helpers, a
// polling wait, receive requests and the peer table every in-memory carrier keeps.
#pragma once

#include "qvLog.h"
#include "qvSocket.h"
#include "qvTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

class TimerEnv : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_EQ(1u, qvTimerInit(64));
        if (getenv("KV_TRACE")) qvPrintfEnable(1);
    }
    void TearDown() override { qvTimerClean(); }
};
::testing::Environment* const s_TimerEnv = ::testing::AddGlobalTestEnvironment(new TimerEnv);

inline bool WaitFor(const std::function<bool()>& pred, int ms = 3000)
{
    auto t0 = std::chrono::steady_clock::now();
    while (!pred()) {
        if (std::chrono::steady_clock::now() - t0 > std::chrono::milliseconds(ms)) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Waits until the dispatcher of sock has done whatever it had to do so far and delivered its
// events: marks posted one after the other through its report queue come back to the owner
// (isMarked tells when one did) only after the work of the passes before them.
inline bool SettleDispatcher(CQVSocket& sock, const std::function<bool(u32)>& isMarked)
{
    static std::atomic<u32> s_uMark{0x5E770000};
    for (int i = 0; i < 3; i++) {
        u32 m = s_uMark++;
        sock.SockEventReport(0, m);
        if (!WaitFor([&] { return isMarked(m); }, 10000)) return false;
    }
    return true;
}

inline QV_ADDR_S Addr(u32 ip, u16 port)
{
    QV_ADDR_S a;
    std::memset(&a, 0, sizeof(a));
    a.uAddr[3] = ip;
    a.uPort = port;
    return a;
}

inline std::string Key(const QV_ADDR_S& a)
{
    return std::to_string(a.uAddr[3]) + ":" + std::to_string(a.uPort);
}

// A receive request for a message of any method into lpData.
inline QV_SK_BUF_S RecvReq(u8* lpData, u32 uSize, u32 uPrio = 0)
{
    QV_SK_BUF_S b;
    std::memset(&b, 0, sizeof(b));
    b.uMethod = 0xFFFF;
    b.uPrio = uPrio;
    b.lpData = lpData;
    b.uSize = uSize;
    return b;
}

// A carrier's peer table: handles given out in order, looked up by address or by handle.
class FakePeerTable : public IQVSocketLower {
public:
    std::mutex mu;
    std::map<std::string, u32> sockOf;
    std::map<u32, QV_ADDR_S> addrOf;
    u32 uNext = 1;

    u32 Add(const QV_ADDR_S& a, u32 uSockID) override
    {
        std::lock_guard<std::mutex> lk(mu);
        sockOf[Key(a)] = uSockID;
        addrOf[uNext] = a;
        return uNext++;
    }
    void Delete(u32 h) override
    {
        std::lock_guard<std::mutex> lk(mu);
        auto it = addrOf.find(h);
        if (it != addrOf.end()) {
            sockOf.erase(Key(it->second));
            addrOf.erase(it);
        }
    }
    u32 Search(const QV_ADDR_S& a, u32& uSockID) override
    {
        std::lock_guard<std::mutex> lk(mu);
        auto it = sockOf.find(Key(a));
        if (it == sockOf.end()) return 0;
        uSockID = it->second;
        return 1;
    }
    u32 SetPeerParam(u32 h, u32 uSockID) override
    {
        std::lock_guard<std::mutex> lk(mu);
        if (!addrOf.count(h)) return 0;
        sockOf[Key(addrOf[h])] = uSockID;
        return 1;
    }
    u32 GetPeerAddr(u32 h, QV_ADDR_S* a) override
    {
        std::lock_guard<std::mutex> lk(mu);
        if (!addrOf.count(h)) return 0;
        *a = addrOf[h];
        return 1;
    }
};

}  // namespace
