// The timer service: unit table and handles, firing schedule by passes, pacing, and deletes
// and clean-up racing with running callbacks.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kvLab.h"
#include "kvLogLines.h"
#include "qvTimer.h"
#include "qvUtilize.h"

namespace
{

class CProc : public IQVTimerProc
{
public:
    explicit CProc(std::function<void(u32, u32)> fn = nullptr) : m_Fn(std::move(fn)) {}
    void OnTimer(u32 uHandle, u32 uParam) override
    {
        m_uCalls++;
        m_uLastHandle = uHandle;
        m_uLastParam = uParam;
        if (m_Fn)
            m_Fn(uHandle, uParam);
    }
    std::atomic<u32> m_uCalls{0};
    std::atomic<u32> m_uLastHandle{0};
    std::atomic<u32> m_uLastParam{0};

private:
    std::function<void(u32, u32)> m_Fn;
};

// Deadline of every wait for something that must happen: generous for a loaded machine, and
// free when it happens early.
const int kEventuallyMs = 30000;

const char* const kNoIdle = "Timer::Add: There is no idle timer unit.";

// ---------------------------------------------------------------------------------------------
// Passes driven by the test itself (no timer thread).

TEST(TimerTable, HoldsAtLeast64UnitsAndRefusesTheNextWithALogLine)
{
    LogLines();
    CQVTimerImp timer;
    ASSERT_EQ(timer.InitTable(10), 1u);
    EXPECT_EQ(timer.GetUnitCount(), 64u);
    CProc proc;
    std::set<u32> handles;
    for (u32 i = 0; i < 64; i++)
    {
        u32 h = timer.Add(10, &proc, i);
        ASSERT_NE(h, 0u);
        EXPECT_EQ(qvHandleIndex(h), i);  // the free unit with the lowest index
        handles.insert(h);
    }
    EXPECT_EQ(handles.size(), 64u);

    u32 uBefore = LogLines().Count(kNoIdle);
    EXPECT_EQ(timer.Add(10, &proc, 0), 0u);
    EXPECT_EQ(LogLines().Count(kNoIdle), uBefore + 1);
    // A null proc is refused before the table is looked at, without a log line.
    EXPECT_EQ(timer.Add(10, nullptr, 0), 0u);
    EXPECT_EQ(LogLines().Count(kNoIdle), uBefore + 1);

    // A freed unit is the one taken next.
    u32 h5 = *std::next(handles.begin(), 5);
    timer.Delete(h5);
    u32 h = timer.Add(10, &proc, 0);
    EXPECT_EQ(qvHandleIndex(h), qvHandleIndex(h5));
    EXPECT_NE(h, h5);
}

TEST(TimerTable, RefusesATableThatHandlesCannotIndex)
{
    CQVTimerImp timer;
    EXPECT_EQ(timer.InitTable(0x10001), 0u);
    EXPECT_EQ(timer.GetUnitCount(), 0u);
    CProc proc;
    EXPECT_EQ(timer.Add(10, &proc, 0), 0u);
    EXPECT_EQ(timer.InitTable(0x10000), 1u);
    EXPECT_EQ(timer.GetUnitCount(), 0x10000u);
}

TEST(TimerTable, FiresByPassesOfTenMilliseconds)
{
    struct
    {
        u32 uPeriod;
        std::vector<u32> passes;  // passes (from 1) at which the unit fires, up to pass 30
    } cases[] = {
        {0, {}}, {5, {}}, {10, {}},  // every pass
        {15, {2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30}},
        {100, {10, 20, 30}},
        {250, {25}},
    };
    for (auto& c : cases)
    {
        std::vector<u32> expect = c.passes;
        if (c.uPeriod <= 10)
            for (u32 p = 1; p <= 30; p++)
                expect.push_back(p);
        CQVTimerImp timer;
        ASSERT_EQ(timer.InitTable(0), 1u);
        u32 uPass = 0;
        std::vector<u32> fired;
        CProc proc([&](u32, u32) { fired.push_back(uPass); });
        u32 h = timer.Add(c.uPeriod, &proc, 77);
        ASSERT_NE(h, 0u);
        for (uPass = 1; uPass <= 30; uPass++)
            timer.Pass();
        EXPECT_EQ(fired, expect) << "period " << c.uPeriod;
        EXPECT_EQ(proc.m_uLastHandle.load(), h);
        EXPECT_EQ(proc.m_uLastParam.load(), 77u);
    }
}

TEST(TimerTable, AThrowingCallbackIsLoggedAndTheOthersStillFire)
{
    CQVTimerImp timer;
    ASSERT_EQ(timer.InitTable(0), 1u);
    CProc thrower([](u32, u32) { throw std::runtime_error("callback failed"); });
    CProc after;
    u32 h = timer.Add(0, &thrower, 0);
    ASSERT_NE(timer.Add(0, &after, 0), 0u);
    std::string line = "TimerImp: Proc: OnTimer threw, uHandle=" + std::to_string(h) + "\r\n";
    u32 uBefore = LogLines().Count(line);
    timer.Pass();
    timer.Pass();
    EXPECT_EQ(thrower.m_uCalls.load(), 2u);
    EXPECT_EQ(after.m_uCalls.load(), 2u);
    EXPECT_EQ(LogLines().Count(line), uBefore + 2);
}

TEST(TimerTable, StaleAndForeignHandlesAreIgnored)
{
    CQVTimerImp timer;
    ASSERT_EQ(timer.InitTable(0), 1u);
    CProc oldProc, newProc;
    u32 hOld = timer.Add(0, &oldProc, 0);
    timer.Delete(hOld);
    u32 hNew = timer.Add(0, &newProc, 0);
    ASSERT_EQ(qvHandleIndex(hNew), qvHandleIndex(hOld));
    ASSERT_NE(hNew, hOld);

    for (u32 h : {hOld, 0u, 0xFFFF0000u | qvHandleCookie(hNew), hNew ^ 1u})
        timer.Delete(h);
    timer.Pass();
    EXPECT_EQ(oldProc.m_uCalls.load(), 0u);
    EXPECT_EQ(newProc.m_uCalls.load(), 1u);
}

TEST(TimerPace, KeepsTenMillisecondsPerPassAndResetsOnClockJumps)
{
    struct
    {
        u32 uSleep;  // sleep before the step
        u32 uNow;    // stamp of the pass; counting began at 1000, previous pass at 1000
        u32 uReset, uSleepAfter, uPassAfter;
    } cases[] = {
        {10, 1010, 0, 10, 1},  // on time: sleep kept
        {3, 1005, 0, 10, 1},   // ahead: full sleep
        {10, 1013, 0, 9, 1},   // slightly behind: one millisecond less
        {5, 1013, 0, 5, 1},    // slightly behind but the sleep is already short enough
        {10, 1020, 0, 0, 1},   // a whole pass behind: back to back
        {10, 1199, 0, 0, 1},   // 199 ms since the last pass is still counted
        {10, 1200, 1, 10, 0},  // a stall of 200 ms: reset, sleep kept
        {7, 900, 1, 7, 0},     // clock set back: reset, sleep kept
    };
    for (auto& c : cases)
    {
        QV_TIMER_PACE_S pace = {1000, 1000, 0, c.uSleep};
        EXPECT_EQ(CQVTimerImp::Pace(pace, c.uNow), c.uReset) << c.uNow;
        EXPECT_EQ(pace.uSleep, c.uSleepAfter) << c.uNow;
        EXPECT_EQ(pace.uPass, c.uPassAfter) << c.uNow;
        EXPECT_EQ(pace.uPrev, c.uNow);
        EXPECT_EQ(pace.uStart, c.uReset ? c.uNow : 1000u);
    }

    // After a reset the count starts again from the new stamp without a catch-up burst.
    QV_TIMER_PACE_S pace = {1000, 1000, 0, 10};
    CQVTimerImp::Pace(pace, 5000);
    CQVTimerImp::Pace(pace, 5010);
    EXPECT_EQ(pace.uSleep, 10u);
    EXPECT_EQ(pace.uPass, 1u);
}

TEST(TimeStamp, IsTheWallClockInMilliseconds)
{
    auto ms = [] {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        return (u32)tv.tv_sec * 1000u + (u32)(tv.tv_usec / 1000);
    };
    u32 uBefore = ms();
    u32 uStamp = GET_TIMESTAMP();
    u32 uAfter = ms();
    EXPECT_LE(uStamp - uBefore, uAfter - uBefore);
}

// ---------------------------------------------------------------------------------------------
// The process's timer thread.

// Stops the service when the test body ends, before the callback objects declared ahead of it
// are destroyed.
struct CCleanAtExit
{
    ~CCleanAtExit() { qvTimerClean(); }
};

class TimerService : public ::testing::Test
{
protected:
    void SetUp() override
    {
        LogLines();
        ASSERT_EQ(qvTimerInit(0), 1u);
    }
    void TearDown() override { qvTimerClean(); }
};

TEST_F(TimerService, RunsRoundRobinAndFiresByPasses)
{
    EXPECT_EQ(qvGetTimer()->GetUnitCount(), 64u);
    EXPECT_EQ(qvTimerInit(200), 1u);  // already running: left as it is
    EXPECT_EQ(qvGetTimer()->GetUnitCount(), 64u);

    std::atomic<int> policy{-1}, priority{-1};
    CProc fast([&](u32, u32) {
        struct sched_param param;
        int iPolicy;
        pthread_getschedparam(pthread_self(), &iPolicy, &param);
        policy = iPolicy;
        priority = param.sched_priority;
    });
    std::atomic<u32> fastAtSlow2{0};
    CProc slow;
    CProc slowWatch([&](u32, u32) {
        if (slow.m_uCalls == 2 && fastAtSlow2 == 0)
            fastAtSlow2 = fast.m_uCalls.load();
    });
    CCleanAtExit clean;
    u32 hFast = qvTimerAdd(10, &fast, 1);
    u32 hSlow = qvTimerAdd(100, &slow, 2);
    u32 hWatch = qvTimerAdd(0, &slowWatch, 3);
    ASSERT_NE(hFast, 0u);
    ASSERT_NE(hSlow, 0u);
    ASSERT_NE(hWatch, 0u);
    ASSERT_TRUE(kvlab::WaitUntil([&] { return fastAtSlow2 != 0; }, kEventuallyMs));
    // The slow unit fires at its 10th and 20th pass; the fast one fired at each of them.
    EXPECT_GE(fastAtSlow2.load(), 20u);
    EXPECT_EQ(slow.m_uLastHandle.load(), hSlow);
    EXPECT_EQ(slow.m_uLastParam.load(), 2u);
    EXPECT_EQ(policy.load(), SCHED_RR);
    EXPECT_EQ(priority.load(), 75);
    qvTimerDelete(hFast);
    qvTimerDelete(hSlow);
    qvTimerDelete(hWatch);
}

TEST_F(TimerService, DeleteReturnsOnlyAfterARunningCallbackFinished)
{
    std::atomic<bool> entered{false}, done{false};
    CProc slowCallback([&](u32, u32) {
        if (entered.exchange(true))
            return;
        // Longer than any fixed wait a delete might give up after.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        done = true;
    });
    CProc ticker;
    CCleanAtExit clean;
    u32 h = qvTimerAdd(0, &slowCallback, 0);
    ASSERT_TRUE(kvlab::WaitUntil([&] { return entered.load(); }, kEventuallyMs));
    qvTimerDelete(h);
    EXPECT_TRUE(done.load());
    u32 uCalls = slowCallback.m_uCalls;

    // No call follows the delete.
    ASSERT_NE(qvTimerAdd(0, &ticker, 0), 0u);
    ASSERT_TRUE(kvlab::WaitUntil([&] { return ticker.m_uCalls >= 5; }, kEventuallyMs));
    EXPECT_EQ(slowCallback.m_uCalls.load(), uCalls);
}

TEST_F(TimerService, CallbacksDeleteThemselvesAndOthersWithoutWaiting)
{
    std::atomic<u32> hOther{0}, otherAtDelete{0};
    CProc other;
    std::atomic<u32> selfCalls{0};
    CProc self([&](u32 uHandle, u32) {
        if (++selfCalls == 3)
        {
            otherAtDelete = other.m_uCalls.load();
            qvTimerDelete(hOther);
            qvTimerDelete(uHandle);
        }
    });
    CProc ticker;
    CCleanAtExit clean;
    hOther = qvTimerAdd(0, &other, 0);
    ASSERT_NE(hOther.load(), 0u);
    ASSERT_NE(qvTimerAdd(0, &self, 0), 0u);
    ASSERT_TRUE(kvlab::WaitUntil([&] { return self.m_uCalls >= 3; }, kEventuallyMs));
    ASSERT_NE(qvTimerAdd(0, &ticker, 0), 0u);
    ASSERT_TRUE(kvlab::WaitUntil([&] { return ticker.m_uCalls >= 10; }, kEventuallyMs));
    EXPECT_EQ(self.m_uCalls.load(), 3u);
    EXPECT_EQ(other.m_uCalls.load(), otherAtDelete.load());

    // Both units were freed: the table has room for 63 more beside the ticker.
    std::vector<u32> extra;
    for (u32 i = 0; i < 63; i++)
        extra.push_back(qvTimerAdd(1000, &ticker, 0));
    EXPECT_EQ(std::count(extra.begin(), extra.end(), 0u), 0);
}

TEST_F(TimerService, CleanDoesNotDeadlockWithCallbacksThatAddDeleteOrAreDeleted)
{
    std::atomic<bool> cleaning{false};
    std::atomic<u32> uAddsDuringClean{0};
    CProc spare;
    CProc churn([&](u32, u32) {
        if (cleaning)
        {
            // Give Clean time to be waiting for this thread, then take the timer lock.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            uAddsDuringClean++;
        }
        qvTimerDelete(qvTimerAdd(10, &spare, 0));
    });
    std::atomic<bool> slowEntered{false};
    CProc slow([&](u32, u32) {
        // Only after churn, which runs first in each pass, has done its add and delete while
        // cleaning; cleaning alone could be set between the two callbacks of one pass, and
        // the loop would then end before churn ran again.
        if (uAddsDuringClean > 0)
        {
            slowEntered = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    CProc again;
    CCleanAtExit clean;
    ASSERT_NE(qvTimerAdd(0, &churn, 0), 0u);
    u32 hSlow = qvTimerAdd(0, &slow, 0);
    ASSERT_TRUE(kvlab::WaitUntil([&] { return churn.m_uCalls >= 3; }, kEventuallyMs));

    std::atomic<bool> cleanDone{false}, deleteDone{false};
    cleaning = true;
    ASSERT_TRUE(kvlab::WaitUntil([&] { return slowEntered.load(); }, kEventuallyMs));
    std::thread deleter([&] {
        qvTimerDelete(hSlow);
        deleteDone = true;
    });
    std::thread cleaner([&] {
        qvTimerClean();
        cleanDone = true;
    });
    bool bFinished = kvlab::WaitUntil([&] { return cleanDone && deleteDone; }, kEventuallyMs);
    EXPECT_TRUE(bFinished);
    if (!bFinished)
    {
        // Leave the stuck threads behind rather than hang the whole run.
        cleaner.detach();
        deleter.detach();
        return;
    }
    cleaner.join();
    deleter.join();
    EXPECT_GE(uAddsDuringClean.load(), 1u);
    EXPECT_EQ(qvGetTimer()->IsRunning(), 0u);
    EXPECT_EQ(qvTimerAdd(10, &spare, 0), 0u);  // no table any more

    // The service starts again.
    ASSERT_EQ(qvTimerInit(0), 1u);
    ASSERT_NE(qvTimerAdd(0, &again, 0), 0u);
    EXPECT_TRUE(kvlab::WaitUntil([&] { return again.m_uCalls >= 2; }, kEventuallyMs));
}

TEST_F(TimerService, CleanFromACallbackStopsTheServiceWithoutDeadlock)
{
    CProc stopper([](u32, u32) { qvTimerClean(); });
    CProc again;
    CCleanAtExit clean;
    ASSERT_NE(qvTimerAdd(0, &stopper, 0), 0u);
    ASSERT_TRUE(kvlab::WaitUntil([] { return qvGetTimer()->IsRunning() == 0 && qvGetTimer()->GetUnitCount() == 0; }, kEventuallyMs));
    EXPECT_EQ(stopper.m_uCalls.load(), 1u);

    ASSERT_EQ(qvTimerInit(0), 1u);
    ASSERT_NE(qvTimerAdd(0, &again, 0), 0u);
    EXPECT_TRUE(kvlab::WaitUntil([&] { return again.m_uCalls >= 2; }, kEventuallyMs));
}

}  // namespace
