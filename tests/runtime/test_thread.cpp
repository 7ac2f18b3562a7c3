// Worker threads: start with real-time priority and its fallback, stack sizes, the message
// queue, tags, termination and the destroy flag; the wake-up event and the mutex wrapper.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvLab.h"
#include "kvLogLines.h"
#include "qvThread.h"

namespace
{

// Deadline of every wait for something that must happen: generous for a loaded machine, and
// free when it happens early.
const int kEventuallyMs = 30000;

// Tags differ from run to run so that lines of an earlier run (--gtest_repeat) never match.
std::string UniqueTag(const char* lpszBase)
{
    static std::atomic<u32> s_uNext{0};
    return std::string(lpszBase) + "#" + std::to_string(++s_uNext);
}

class CTestThread : public CQVThread
{
public:
    explicit CTestThread(std::function<void(CTestThread*)> body) : m_Body(std::move(body)) {}
    void Proc() override { m_Body(this); }

private:
    std::function<void(CTestThread*)> m_Body;
};

struct SCHED_S
{
    int iPolicy = -1;
    int iPriority = -1;
    size_t uStack = 0;
};

SCHED_S ReadSelf()
{
    SCHED_S s;
    struct sched_param param;
    pthread_getschedparam(pthread_self(), &s.iPolicy, &param);
    s.iPriority = param.sched_priority;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0)
    {
        pthread_attr_getstacksize(&attr, &s.uStack);
        pthread_attr_destroy(&attr);
    }
    return s;
}

// Starts a thread that reports its own scheduling and stack, and waits for it.
SCHED_S RunAndRead(u32 uPriority, u32 uStack)
{
    SCHED_S s;
    CTestThread t([&s](CTestThread*) { s = ReadSelf(); });
    EXPECT_EQ(t.Start(uPriority, uStack), 1u);
    t.WaitForTermination();
    EXPECT_EQ(t.IsStarted(), 0u);
    return s;
}

TEST(Thread, StackSizeRule)
{
    struct
    {
        u32 uIn, uOut;
    } cases[] = {{0, 0}, {1, 16384}, {16383, 16384}, {16384, 16384}, {16385, 20480}, {65536, 65536},
                 {0xFFFFFFFFu, 0xFFFFF000u}};
    for (auto& c : cases)
        EXPECT_EQ(CQVThread::AdjustStackSize(c.uIn), c.uOut) << c.uIn;
}

TEST(Thread, StartsWithTheAdjustedStack)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer gives every thread a stack of its own choosing";
#endif
    LogLines();
    EXPECT_EQ(RunAndRead(20, 1).uStack, 16384u);
    EXPECT_EQ(RunAndRead(20, 16385).uStack, 20480u);
}

TEST(Thread, StartsRealTimeRoundRobinWhenAllowed)
{
    LogLines();
    SCHED_S s = RunAndRead(20, 0);
    EXPECT_EQ(s.iPolicy, SCHED_RR);
    EXPECT_EQ(s.iPriority, 20);
}

TEST(Thread, FallsBackToDefaultAttributesWhenThePriorityIsRefused)
{
    LogLines();
    // 100 lies outside the round-robin range 1..99.
    SCHED_S s = RunAndRead(100, 0);
    EXPECT_EQ(s.iPolicy, SCHED_OTHER);
}

// Runs the helper in a fresh process (a forked copy of this one could inherit a lock held by
// another thread) with its rights cut down; its exit code 0 means every check passed.
void ExpectToolPasses(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {KV_TOOL_DIR "/tool_thread_fallback"};
    argv.insert(argv.end(), args.begin(), args.end());
    kvlab::Process p = kvlab::SpawnChild({}, argv);
    int iExit = -1;
    EXPECT_TRUE(p.Wait(kEventuallyMs, &iExit)) << p.Output();
    EXPECT_EQ(iExit, 0) << (args.empty() ? "" : args[0]) << ": " << p.Output();
}

TEST(Thread, FallsBackWhenRealTimeIsNotPermitted)
{
    ExpectToolPasses({});
}

// The timer service, built on this class, must fail as cleanly.
TEST(Thread, StartAndTimerInitFailWithTheirLogLinesWhenNoThreadCanBeCreated)
{
    ExpectToolPasses({"nothread"});
}

TEST(Thread, MessagesComeInOrderAndHighFirstWordsQuit)
{
    CTestThread t([](CTestThread*) {});
    struct
    {
        u32 uW0;
        u32 uRet;
    } cases[] = {{0, 1}, {7, 1}, {0xFFFE, 1}, {0xFFFF, 0}, {0x10000, 0}, {0xFFFFFFFFu, 0}};
    u32 i = 0;
    for (auto& c : cases)
    {
        ASSERT_EQ(t.PostMessage(c.uW0, i, i + 100, i + 200), 1u);
        i++;
    }
    EXPECT_EQ(t.GetMessagePend(), 6u);

    i = 0;
    for (auto& c : cases)
    {
        u32 w[4] = {1, 1, 1, 1};
        u32 p[4] = {};
        ASSERT_EQ(t.PeekMessage(&p[0], &p[1], &p[2], &p[3]), 1u);
        EXPECT_EQ(t.GetMessage(&w[0], &w[1], &w[2], &w[3]), c.uRet) << c.uW0;
        EXPECT_EQ(w[0], c.uW0);
        EXPECT_EQ(w[1], i);
        EXPECT_EQ(w[2], i + 100);
        EXPECT_EQ(w[3], i + 200);
        EXPECT_EQ(p[0], w[0]);
        EXPECT_EQ(p[3], w[3]);
        i++;
    }
    EXPECT_EQ(t.GetMessagePend(), 0u);

    // Empty queue: Peek leaves the outputs alone; null outputs are allowed.
    u32 w = 12345;
    EXPECT_EQ(t.PeekMessage(&w, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(w, 12345u);
    t.PostMessage(5, 6, 7, 8);
    EXPECT_EQ(t.GetMessage(nullptr, nullptr, nullptr, nullptr), 1u);
}

TEST(Thread, KeepsAtMost64NodesForReuse)
{
    CTestThread t([](CTestThread*) {});
    for (u32 i = 0; i < 100; i++)
        t.PostMessage(i, 0, 0, 0);
    EXPECT_EQ(t.GetNodeCount(), 100u);
    for (u32 i = 0; i < 100; i++)
    {
        u32 w = 0;
        t.GetMessage(&w, nullptr, nullptr, nullptr);
        ASSERT_EQ(w, i);
    }
    EXPECT_EQ(t.GetNodeCount(), 64u);
    for (u32 i = 0; i < 10; i++)
        t.PostMessage(i, 0, 0, 0);
    EXPECT_EQ(t.GetNodeCount(), 64u);
    t.CleanMessage();
    EXPECT_EQ(t.GetNodeCount(), 0u);
    EXPECT_EQ(t.GetMessagePend(), 0u);
}

TEST(Thread, WorkerDrainsMessagesPostedFromManyThreadsUntilQuit)
{
    LogLines();
    const u32 kPosters = 4, kEach = 2000;
    std::vector<u32> lastSeen(kPosters, 0);
    std::atomic<u32> received{0};
    bool ordered = true;
    CTestThread worker([&](CTestThread* self) {
        u32 w0, w1;
        while (self->GetMessage(&w0, &w1, nullptr, nullptr))
        {
            if (w1 != lastSeen[w0] + 1)
                ordered = false;
            lastSeen[w0] = w1;
            received++;
        }
    });
    std::string tag = UniqueTag("kvWorker");
    ASSERT_TRUE(worker.SetTag(tag.c_str()));
    ASSERT_EQ(worker.Start(10, 0), 1u);

    std::vector<std::thread> posters;
    for (u32 p = 0; p < kPosters; p++)
        posters.emplace_back([&worker, p, kEach]() {
            for (u32 i = 1; i <= kEach; i++)
                while (!worker.PostMessage(p, i, 0, 0))
                {
                }
        });
    for (auto& th : posters)
        th.join();
    worker.PostMessage(CQVThread::MSG_QUIT, 0, 0, 0);
    worker.WaitForTermination();

    EXPECT_EQ(received.load(), kPosters * kEach);
    EXPECT_TRUE(ordered);
    EXPECT_EQ(worker.IsStarted(), 0u);
    // Written after the finished flag, from the thread's own copies.
    EXPECT_TRUE(kvlab::WaitUntil([&] { return LogLines().Has("Thread: ThreadProc: finish, ThreadId=", ", Tag=" + tag + "\r\n"); }, kEventuallyMs));
}

TEST(Thread, TagOfAtMost127Characters)
{
    CTestThread t([](CTestThread*) {});
    EXPECT_STREQ(t.GetTag(), "");
    std::string s127(127, 'a'), s128(128, 'b');
    EXPECT_EQ(t.SetTag(s127.c_str()), 1u);
    EXPECT_EQ(t.GetTag(), s127);
    EXPECT_EQ(t.SetTag(s128.c_str()), 0u);
    EXPECT_EQ(t.GetTag(), s127);
    EXPECT_EQ(t.SetTag(nullptr), 0u);
    EXPECT_EQ(t.GetTag(), s127);
}

TEST(Thread, WaitForTerminationOfANeverStartedThreadReturnsAtOnce)
{
    CTestThread t([](CTestThread*) {});
    t.WaitForTermination();
    EXPECT_EQ(t.IsStarted(), 0u);
}

TEST(Thread, CanBeStartedAgainAfterItFinished)
{
    LogLines();
    std::atomic<int> runs{0};
    CTestThread t([&runs](CTestThread*) { runs++; });
    for (int i = 0; i < 3; i++)
    {
        ASSERT_EQ(t.Start(10, 0), 1u);
        t.WaitForTermination();
    }
    EXPECT_EQ(runs.load(), 3);
}

TEST(Thread, StartDiscardsOldMessages)
{
    LogLines();
    std::atomic<u32> first{0};
    CTestThread t([&first](CTestThread* self) {
        u32 w = 0;
        self->GetMessage(&w, nullptr, nullptr, nullptr);
        first = w;
    });
    t.PostMessage(1, 0, 0, 0);
    ASSERT_EQ(t.Start(10, 0), 1u);
    t.PostMessage(2, 0, 0, 0);
    t.WaitForTermination();
    EXPECT_EQ(first.load(), 2u);
}

TEST(Thread, DestroyFlagLetsProcDeleteItsOwnObject)
{
    LogLines();
    std::atomic<bool> deleted{false};
    CTestThread* t = new CTestThread([&deleted](CTestThread* self) {
        // The capture lives inside the object about to be deleted.
        std::atomic<bool>* pDeleted = &deleted;
        self->DestroyFlag(1);
        delete self;
        *pDeleted = true;
    });
    std::string tag = UniqueTag("kvSelfDelete");
    ASSERT_TRUE(t->SetTag(tag.c_str()));
    ASSERT_EQ(t->Start(10, 0), 1u);
    // The thread's last words come from its own stack; the sanitizers catch any touch of the
    // deleted object.
    EXPECT_TRUE(kvlab::WaitUntil([&] { return LogLines().Has("Thread: ThreadProc: Destroy flag enable. ThreadId=", ", Tag=" + tag + "\r\n"); }, kEventuallyMs));
    EXPECT_TRUE(deleted.load());

    // Outside a running Proc the flag is ignored.
    CTestThread idle([](CTestThread*) {});
    idle.DestroyFlag(1);
}

TEST(Thread, TerminateForgetsTheThreadWithoutWaiting)
{
    LogLines();
    std::atomic<bool> stop{false};
    CTestThread t([&stop](CTestThread*) {
        while (!stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    std::string tag = UniqueTag("kvTerminate");
    ASSERT_TRUE(t.SetTag(tag.c_str()));
    ASSERT_EQ(t.Start(10, 0), 1u);
    t.PostMessage(1, 2, 3, 4);
    t.Terminate(0);  // signal 0 only probes the thread
    EXPECT_EQ(t.IsStarted(), 0u);
    EXPECT_EQ(t.GetMessagePend(), 0u);
    t.WaitForTermination();  // not started any more: returns at once

    stop = true;
    // The object must outlive the thread's last touch of it, which precedes its finish line.
    EXPECT_TRUE(kvlab::WaitUntil([&] { return LogLines().Has("Thread: ThreadProc: finish, ThreadId=", ", Tag=" + tag + "\r\n"); }, kEventuallyMs));
}

TEST(Event, SignalWakesOneWaitAndResetsItself)
{
    CQVEvent ev;
    ASSERT_EQ(ev.IsValid(), 1u);
    ev.Signal();
    ev.Signal();
    EXPECT_EQ(ev.Wait(), 1u);  // a signal before the wait is kept
    EXPECT_EQ(ev.m_uSignaled, 0u);

    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        ev.Wait();
        woke = true;
    });
    // Signal only once the waiter is really blocked, so that the wake-up path is the one tested.
    ASSERT_TRUE(kvlab::WaitUntil(
        [&] {
            pthread_mutex_lock(&ev.m_Mutex);
            bool bWaiting = ev.m_uWaiting != 0;
            pthread_mutex_unlock(&ev.m_Mutex);
            return bWaiting;
        },
        kEventuallyMs));
    ev.Signal();
    waiter.join();
    EXPECT_TRUE(woke.load());

    ev.Signal();
    ev.Reset();
    EXPECT_EQ(ev.m_uSignaled, 0u);
}

TEST(CriticalSection, ExcludesOtherThreads)
{
    CQVCriticalSection sect;
    ASSERT_EQ(sect.IsValid(), 1u);
    u64 uCount = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; i++)
            {
                std::lock_guard<CQVCriticalSection> lock(sect);
                uCount++;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(uCount, 80000u);
    EXPECT_EQ(sect.Lock(), 1u);
    sect.Unlock();
}

}  // namespace
