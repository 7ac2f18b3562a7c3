// Worker threads with four-word message queues, the wake-up event and the mutex wrapper.
#pragma once

#include <pthread.h>

#include <atomic>

#include "qvTable.h"
#include "qvType.h"

// Plain mutex; the destructor destroys it.
class CQVCriticalSection
{
public:
    CQVCriticalSection();
    ~CQVCriticalSection();
    CQVCriticalSection(const CQVCriticalSection&) = delete;
    CQVCriticalSection& operator=(const CQVCriticalSection&) = delete;

    // 1 when taken, 0 when the mutex could not be taken (or was never created).
    u32 Lock();
    void Unlock();
    // Lower-case forms so that std::lock_guard / std::unique_lock can hold it.
    void lock() { Lock(); }
    void unlock() { Unlock(); }
    pthread_mutex_t* Get() { return &m_Mutex; }
    u32 IsValid() const { return m_uValid; }

private:
    pthread_mutex_t m_Mutex;
    u32 m_uValid;
};

// Auto-reset wake-up event: Signal sets the signalled flag and wakes a waiter; Wait blocks until
// it is set and clears it.
class CQVEvent
{
public:
    CQVEvent();
    ~CQVEvent();
    CQVEvent(const CQVEvent&) = delete;
    CQVEvent& operator=(const CQVEvent&) = delete;

    void Signal();
    // 1 after a signal was consumed, 0 when the event is not valid.
    u32 Wait();
    // Clears a pending signal.
    void Reset();
    u32 IsValid() const { return m_uValid; }

    pthread_cond_t m_Cond;
    pthread_mutex_t m_Mutex;
    u32 m_uSignaled;
    u32 m_uWaiting;
    u32 m_uValid;
};

// Base of every worker thread: the subclass supplies Proc; the base starts it with a real-time
// round-robin priority where the system allows it and gives it a FIFO of four-word messages.
class CQVThread
{
public:
    CQVThread();
    virtual ~CQVThread();
    CQVThread(const CQVThread&) = delete;
    CQVThread& operator=(const CQVThread&) = delete;

    virtual void Proc() = 0;

    u32 Start(u32 uPriority, u32 uStackSize);
    u32 StartPrivPriority(u32 uStackSize, u32 uPriority);
    u32 StartPriv(u32 uStackSize);

    u32 PostMessage(u32 uW0, u32 uW1, u32 uW2, u32 uW3);
    u32 GetMessage(u32* puW0, u32* puW1, u32* puW2, u32* puW3);
    u32 PeekMessage(u32* puW0, u32* puW1, u32* puW2, u32* puW3);
    u32 GetMessagePend();
    void CleanMessage();

    void DestroyFlag(u32 uValue);
    // 1 when taken, 0 for a null tag or one longer than TAG_MAX characters (the old one stays).
    u32 SetTag(const char* lpszTag);
    const char* GetTag() const { return m_szTag; }
    u32 IsStarted() const { return m_uStarted; }
    // Message nodes in existence (queued, free for reuse or in flight).
    u32 GetNodeCount() const { return m_uNodeCount; }

    void WaitForTermination();
    void Terminate(u32 uSignal);

    // Start's stack size rule: 0 keeps the system default, below STACK_MIN becomes STACK_MIN,
    // anything else is rounded up to whole pages of STACK_STEP bytes.
    static u32 AdjustStackSize(u32 uStackSize);

    static const u32 TAG_MAX = 127;
    static const u32 STACK_MIN = 16384;
    static const u32 STACK_STEP = 4096;
    // Nodes beyond this many are freed when taken off the queue instead of kept for reuse.
    static const u32 NODE_KEEP = 64;
    // A message whose first word is at least this value asks the thread to quit.
    static const u32 MSG_QUIT = 0xFFFF;

private:
    struct MSG_NODE_S
    {
        QV_LINK_S<MSG_NODE_S> link;
        u32 uWord[4];
    };
    typedef CQVList<MSG_NODE_S> MSG_LIST;

    static void* ThreadEntry(void* lpParam);
    void ThreadProc();
    void CleanMessageLocked();

    pthread_t m_Thread;
    CQVEvent m_EventMsg;
    // Termination event: m_EventTerm.m_uSignaled is the finished flag.
    CQVEvent m_EventTerm;
    std::atomic<u32> m_uStarted;
    MSG_LIST m_ListFree;
    MSG_LIST m_ListMsg;
    CQVCriticalSection m_SectQueue;
    u32 m_uNodeCount;
    std::atomic<u32> m_uPending;
    std::atomic<u32*> m_puDestroyFlag;
    char m_szTag[TAG_MAX + 1];
};
