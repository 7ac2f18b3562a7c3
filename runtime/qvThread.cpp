#include "qvThread.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "qvLog.h"

// ---------------------------------------------------------------------------------------------
// CQVCriticalSection

CQVCriticalSection::CQVCriticalSection()
{
    m_uValid = pthread_mutex_init(&m_Mutex, nullptr) == 0 ? 1 : 0;
}

CQVCriticalSection::~CQVCriticalSection()
{
    if (m_uValid)
        pthread_mutex_destroy(&m_Mutex);
}

u32 CQVCriticalSection::Lock()
{
    if (!m_uValid)
        return 0;
    return pthread_mutex_lock(&m_Mutex) == 0 ? 1 : 0;
}

void CQVCriticalSection::Unlock()
{
    if (m_uValid)
        pthread_mutex_unlock(&m_Mutex);
}

// ---------------------------------------------------------------------------------------------
// CQVEvent

CQVEvent::CQVEvent() : m_uSignaled(0), m_uWaiting(0), m_uValid(0)
{
    if (pthread_cond_init(&m_Cond, nullptr) != 0)
        return;
    if (pthread_mutex_init(&m_Mutex, nullptr) != 0)
    {
        pthread_cond_destroy(&m_Cond);
        return;
    }
    m_uValid = 1;
}

CQVEvent::~CQVEvent()
{
    if (!m_uValid)
        return;
    pthread_cond_destroy(&m_Cond);
    pthread_mutex_destroy(&m_Mutex);
}

void CQVEvent::Signal()
{
    if (!m_uValid)
        return;
    pthread_mutex_lock(&m_Mutex);
    m_uSignaled = 1;
    if (m_uWaiting)
        pthread_cond_signal(&m_Cond);
    pthread_mutex_unlock(&m_Mutex);
}

u32 CQVEvent::Wait()
{
    if (!m_uValid)
        return 0;
    pthread_mutex_lock(&m_Mutex);
    while (!m_uSignaled)
    {
        m_uWaiting = 1;
        pthread_cond_wait(&m_Cond, &m_Mutex);
        m_uWaiting = 0;
    }
    m_uSignaled = 0;
    pthread_mutex_unlock(&m_Mutex);
    return 1;
}

void CQVEvent::Reset()
{
    if (!m_uValid)
        return;
    pthread_mutex_lock(&m_Mutex);
    m_uSignaled = 0;
    pthread_mutex_unlock(&m_Mutex);
}

// ---------------------------------------------------------------------------------------------
// CQVThread

CQVThread::CQVThread()
    : m_Thread(), m_uStarted(0), m_uNodeCount(0), m_uPending(0), m_puDestroyFlag(nullptr)
{
    m_szTag[0] = 0;
}

CQVThread::~CQVThread()
{
    CleanMessage();
}

u32 CQVThread::AdjustStackSize(u32 uStackSize)
{
    if (uStackSize == 0)
        return 0;
    if (uStackSize < STACK_MIN)
        return STACK_MIN;
    // Rounding up must not wrap past 4 GiB; the largest page-aligned u32 is kept instead.
    if (uStackSize > 0xFFFFFFFFu - (STACK_STEP - 1))
        return 0xFFFFFFFFu & ~(STACK_STEP - 1);
    return (uStackSize + STACK_STEP - 1) & ~(STACK_STEP - 1);
}

u32 CQVThread::Start(u32 uPriority, u32 uStackSize)
{
    m_EventMsg.Reset();
    m_EventTerm.Reset();
    m_uStarted = 0;
    CleanMessage();

    uStackSize = AdjustStackSize(uStackSize);
    // Set before the thread exists: a Proc that deletes its own object may already be done
    // when pthread_create returns, so nothing of the object is touched after a success.
    m_uStarted = 1;
    if (StartPrivPriority(uStackSize, uPriority) || StartPriv(uStackSize))
        return 1;
    m_uStarted = 0;
    qvPrintf("CQVThread::Start: 'pthread_create' failed in default or priority, uStackSize=%u, Tag=%s",
             uStackSize, m_szTag);
    qvLogOut(0, "Thread: Start: 'pthread_create' failed in default or priority, uStackSize=%u, Tag=%s",
             uStackSize, m_szTag);
    return 0;
}

u32 CQVThread::StartPrivPriority(u32 uStackSize, u32 uPriority)
{
    pthread_attr_t attr;
    int iRet = pthread_attr_init(&attr);
    if (iRet != 0)
    {
        qvPrintf("CQVThread::StartPrivPriority: pthread_create, iRet=%d, Tag=%s", iRet, m_szTag);
        qvLogOut(1, "Thread: StartPrivPriority: pthread_create, iRet=%d, Tag=%s", iRet, m_szTag);
        return 0;
    }
    if (uStackSize != 0)
    {
        qvPrintf("CQVThread::StartPrivPriority: setstacksize, uStackSize=%u, Tag=%s", uStackSize, m_szTag);
        pthread_attr_setstacksize(&attr, uStackSize);
    }

    // The attributes only take effect with explicit scheduling; inherited scheduling would
    // silently run the thread with the creator's policy and make the real-time request void.
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);

    int iPolicy = SCHED_OTHER;
    pthread_attr_getschedpolicy(&attr, &iPolicy);
    if (iPolicy != SCHED_RR)
    {
        iRet = pthread_attr_setschedpolicy(&attr, SCHED_RR);
        if (iRet != 0)
            qvPrintf("CQVThread::StartPrivPriority: pthread_attr_setschedpolicy, iRet=%d, Tag=%s", iRet, m_szTag);
        pthread_attr_getschedpolicy(&attr, &iPolicy);
    }
    if (iPolicy == SCHED_FIFO || iPolicy == SCHED_RR)
    {
        struct sched_param param;
        memset(&param, 0, sizeof(param));
        param.sched_priority = (int)uPriority;
        iRet = pthread_attr_setschedparam(&attr, &param);
        if (iRet != 0)
            qvPrintf("CQVThread::StartPrivPriority: pthread_attr_setschedparam, Priority=%u, iRet=%d, Tag=%s",
                     uPriority, iRet, m_szTag);
    }

    // The new thread may delete this object at once (destroy flag); the success line below
    // must not read it.
    char szTag[TAG_MAX + 1];
    memcpy(szTag, m_szTag, sizeof(szTag));
    iRet = pthread_create(&m_Thread, &attr, ThreadEntry, this);
    pthread_attr_destroy(&attr);
    if (iRet != 0)
    {
        qvPrintf("CQVThread::StartPrivPriority: pthread_create, iRet=%d, Tag=%s", iRet, m_szTag);
        qvLogOut(1, "Thread: StartPrivPriority: pthread_create, iRet=%d, Tag=%s", iRet, m_szTag);
        return 0;
    }
    qvPrintf("CQVThread::StartPrivPriority: pthread_create, success, Tag=%s", szTag);
    return 1;
}

u32 CQVThread::StartPriv(u32 uStackSize)
{
    pthread_attr_t attr;
    int iRet = pthread_attr_init(&attr);
    if (iRet != 0)
    {
        qvPrintf("CQVThread::StartPriv: pthread_create, iRet=%d, Tag=%s", iRet, m_szTag);
        qvLogOut(1, "Thread: StartPriv: pthread_create, iRet=%d, Tag=%s", iRet, m_szTag);
        return 0;
    }
    if (uStackSize != 0)
    {
        qvPrintf("CQVThread::StartPriv: setstacksize, uStackSize=%u, Tag=%s", uStackSize, m_szTag);
        qvLogOut(3, "Thread: StartPriv: setstacksize, uStackSize=%u, Tag=%s", uStackSize, m_szTag);
        pthread_attr_setstacksize(&attr, uStackSize);
    }
    char szTag[TAG_MAX + 1];
    memcpy(szTag, m_szTag, sizeof(szTag));
    iRet = pthread_create(&m_Thread, &attr, ThreadEntry, this);
    pthread_attr_destroy(&attr);
    if (iRet != 0)
    {
        qvPrintf("CQVThread::StartPriv: pthread_create, iRet=%d, Tag=%s", iRet, m_szTag);
        qvLogOut(1, "Thread: StartPriv: pthread_create, iRet=%d, Tag=%s", iRet, m_szTag);
        return 0;
    }
    qvPrintf("CQVThread::StartPriv: pthread_create, success, Tag=%s", szTag);
    return 1;
}

void* CQVThread::ThreadEntry(void* lpParam)
{
    static_cast<CQVThread*>(lpParam)->ThreadProc();
    return nullptr;
}

void CQVThread::ThreadProc()
{
    u32 uThreadId = (u32)syscall(SYS_gettid);
    qvPrintf("CQVThread::ThreadProc: ThreadId=%u, Tag=%s", uThreadId, m_szTag);
    qvLogOut(1, "Thread: ThreadProc: ThreadId=%u, Tag=%s", uThreadId, m_szTag);

    int iRet = pthread_detach(pthread_self());
    if (iRet != 0)
        qvPrintf("CQVThread::ThreadProc, 'pthread_detach', err=%d, Tag=%s", iRet, m_szTag);
    qvPrintf("CQVThread::ThreadProc, running");

    // Cookies are drawn from rand(); every thread reseeds it.
    srand((unsigned)time(nullptr));

    // The object may be gone once Proc has set the destroy flag or the finished flag is
    // signalled, so the last log lines work from copies on this stack.
    char szTag[TAG_MAX + 1];
    memcpy(szTag, m_szTag, sizeof(szTag));
    u32 uDestroy = 0;
    m_puDestroyFlag = &uDestroy;

    Proc();

    if (uDestroy)
    {
        qvPrintf("Thread: ThreadProc: Destroy flag enable. ThreadId=%u, Tag=%s", uThreadId, szTag);
        qvLogOut(1, "Thread: ThreadProc: Destroy flag enable. ThreadId=%u, Tag=%s", uThreadId, szTag);
        return;
    }
    m_puDestroyFlag = nullptr;
    // Signal() sets the finished flag under the termination mutex and wakes a waiter.
    m_EventTerm.Signal();
    qvPrintf("Thread: ThreadProc: finish, ThreadId=%u, Tag=%s", uThreadId, szTag);
    qvLogOut(1, "Thread: ThreadProc: finish, ThreadId=%u, Tag=%s", uThreadId, szTag);
}

u32 CQVThread::PostMessage(u32 uW0, u32 uW1, u32 uW2, u32 uW3)
{
    if (!m_SectQueue.Lock())
        return 0;
    MSG_NODE_S* pNode = m_ListFree.PopHead();
    if (pNode == nullptr)
    {
        pNode = new (std::nothrow) MSG_NODE_S;
        if (pNode == nullptr)
        {
            m_SectQueue.Unlock();
            return 0;
        }
        m_uNodeCount++;
    }
    pNode->uWord[0] = uW0;
    pNode->uWord[1] = uW1;
    pNode->uWord[2] = uW2;
    pNode->uWord[3] = uW3;
    m_ListMsg.PushTail(pNode);
    m_uPending++;
    m_SectQueue.Unlock();
    m_EventMsg.Signal();
    return 1;
}

u32 CQVThread::GetMessage(u32* puW0, u32* puW1, u32* puW2, u32* puW3)
{
    for (;;)
    {
        if (!m_SectQueue.Lock())
            return 0;
        MSG_NODE_S* pNode = m_ListMsg.PopHead();
        if (pNode != nullptr)
        {
            u32 uWord[4];
            memcpy(uWord, pNode->uWord, sizeof(uWord));
            if (m_uNodeCount > NODE_KEEP)
            {
                delete pNode;
                m_uNodeCount--;
            }
            else
            {
                m_ListFree.PushTail(pNode);
            }
            if (m_uPending > 0)
                m_uPending--;
            m_SectQueue.Unlock();
            if (puW0)
                *puW0 = uWord[0];
            if (puW1)
                *puW1 = uWord[1];
            if (puW2)
                *puW2 = uWord[2];
            if (puW3)
                *puW3 = uWord[3];
            return uWord[0] < MSG_QUIT ? 1 : 0;
        }
        m_SectQueue.Unlock();
        if (!m_EventMsg.Wait())
            return 0;
    }
}

u32 CQVThread::PeekMessage(u32* puW0, u32* puW1, u32* puW2, u32* puW3)
{
    if (!m_SectQueue.Lock())
        return 0;
    MSG_NODE_S* pNode = m_ListMsg.Head();
    if (pNode == nullptr)
    {
        m_SectQueue.Unlock();
        return 0;
    }
    if (puW0)
        *puW0 = pNode->uWord[0];
    if (puW1)
        *puW1 = pNode->uWord[1];
    if (puW2)
        *puW2 = pNode->uWord[2];
    if (puW3)
        *puW3 = pNode->uWord[3];
    m_SectQueue.Unlock();
    return 1;
}

u32 CQVThread::GetMessagePend()
{
    return m_uPending;
}

void CQVThread::CleanMessageLocked()
{
    while (MSG_NODE_S* pNode = m_ListMsg.PopHead())
        delete pNode;
    while (MSG_NODE_S* pNode = m_ListFree.PopHead())
        delete pNode;
    m_uNodeCount = 0;
    m_uPending = 0;
}

void CQVThread::CleanMessage()
{
    // Without the mutex the lists are still ours to free: a queue whose mutex is broken
    // cannot be used by anybody else either.
    u32 uLocked = m_SectQueue.Lock();
    CleanMessageLocked();
    if (uLocked)
        m_SectQueue.Unlock();
}

void CQVThread::DestroyFlag(u32 uValue)
{
    u32* puFlag = m_puDestroyFlag;
    if (puFlag != nullptr)
        *puFlag = uValue;
}

u32 CQVThread::SetTag(const char* lpszTag)
{
    if (lpszTag == nullptr)
        return 0;
    size_t uLen = strlen(lpszTag);
    if (uLen > TAG_MAX)
        return 0;
    memcpy(m_szTag, lpszTag, uLen + 1);
    return 1;
}

void CQVThread::WaitForTermination()
{
    if (!m_uStarted)
        return;
    // Wait() returns after consuming the finished flag, which leaves it cleared.
    m_EventTerm.Wait();
    CleanMessage();
    m_uStarted = 0;
}

void CQVThread::Terminate(u32 uSignal)
{
    if (m_uStarted)
        pthread_kill(m_Thread, (int)uSignal);
    CleanMessage();
    m_uStarted = 0;
    m_EventMsg.Reset();
    m_EventTerm.Reset();
}
