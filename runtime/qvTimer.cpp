#include "qvTimer.h"

#include <sys/time.h>

#include <new>

#include "qvLog.h"
#include "qvUtilize.h"

u32 qvGetTimeStamp()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (u32)tv.tv_sec * 1000u + (u32)(tv.tv_usec / 1000);
}

namespace
{
// The timer whose loop runs on this thread, so that calls made from its callbacks are told
// apart from calls of other threads without reading another thread's state.
thread_local const CQVTimerImp* t_pLoopTimer = nullptr;

// A 16-bit handle index cannot name more units than this.
const u32 UNIT_MAX = 0x10000;
// Stamps further apart than this (milliseconds) between two passes mean the clock jumped or
// the process stalled; pacing then starts counting afresh instead of racing to catch up.
const u32 PACE_STALL_MS = 199;
}  // namespace

CQVTimerImp::CQVTimerImp()
    : m_pUnit(nullptr), m_uUnitCount(0), m_uTableGen(0), m_uRunning(0), m_uLoopActive(0), m_uFreeOnExit(0)
{
    m_uCondValid = pthread_cond_init(&m_CondFreed, nullptr) == 0 ? 1 : 0;
    SetTag("qvTimer");
}

CQVTimerImp::~CQVTimerImp()
{
    Clean();
    if (m_uCondValid)
        pthread_cond_destroy(&m_CondFreed);
}

void CQVTimerImp::FreeTableLocked()
{
    delete[] m_pUnit;
    m_pUnit = nullptr;
    m_uUnitCount = 0;
    m_uTableGen++;
    if (m_uCondValid)
        pthread_cond_broadcast(&m_CondFreed);
}

u32 CQVTimerImp::AllocTableLocked(u32 uUnitCount)
{
    FreeTableLocked();
    if (uUnitCount < UNIT_MIN)
        uUnitCount = UNIT_MIN;
    if (uUnitCount > UNIT_MAX)
        return 0;
    UNIT_S* pUnit = new (std::nothrow) UNIT_S[uUnitCount];
    if (pUnit == nullptr)
        return 0;
    for (u32 i = 0; i < uUnitCount; i++)
        pUnit[i].uCookie = qvGetCookieShort(0);
    m_pUnit = pUnit;
    m_uUnitCount = uUnitCount;
    return 1;
}

u32 CQVTimerImp::InitTable(u32 uUnitCount)
{
    if (!m_Sect.Lock())
        return 0;
    u32 uRet = 0;
    if (!m_uRunning && !m_uLoopActive)
        uRet = AllocTableLocked(uUnitCount);
    m_Sect.Unlock();
    return uRet;
}

u32 CQVTimerImp::Init(u32 uUnitCount)
{
    // A callback cannot restart the loop it runs on.
    if (t_pLoopTimer == this)
        return m_uRunning.load();
    if (!m_SectLife.Lock())
        return 0;
    if (!m_Sect.Lock())
    {
        m_SectLife.Unlock();
        return 0;
    }
    if (m_uRunning)
    {
        m_Sect.Unlock();
        m_SectLife.Unlock();
        return 1;
    }
    m_Sect.Unlock();
    // A loop told to stop from one of its callbacks may still be ending.
    WaitForTermination();

    u32 uRet = 0;
    if (m_Sect.Lock())
    {
        if (AllocTableLocked(uUnitCount))
        {
            m_uFreeOnExit = 0;
            m_uRunning = 1;
            if (Start(PRIORITY, 0))
            {
                uRet = 1;
            }
            else
            {
                qvPrintf("TimerImp: Init: Thread start failed.");
                qvLogOut(0, "TimerImp: Init: Thread start failed.");
                m_uRunning = 0;
                // Without a thread no unit would ever fire; refuse adds instead.
                FreeTableLocked();
            }
        }
        m_Sect.Unlock();
    }
    m_SectLife.Unlock();
    return uRet;
}

void CQVTimerImp::Clean()
{
    if (t_pLoopTimer == this)
    {
        // Called from a callback: waiting for this very thread would never end, so the loop
        // frees the table itself once it has left.
        if (m_Sect.Lock())
        {
            m_uRunning = 0;
            m_uFreeOnExit = 1;
            m_Sect.Unlock();
        }
        return;
    }
    u32 uLife = m_SectLife.Lock();
    if (m_Sect.Lock())
    {
        m_uRunning = 0;
        m_Sect.Unlock();
    }
    // No lock is held here: callbacks still running may add or delete timers.
    WaitForTermination();
    if (m_Sect.Lock())
    {
        FreeTableLocked();
        m_Sect.Unlock();
    }
    if (uLife)
        m_SectLife.Unlock();
}

u32 CQVTimerImp::Add(u32 uPeriodMs, IQVTimerProc* pProc, u32 uParam)
{
    if (pProc == nullptr)
        return 0;
    if (!m_Sect.Lock())
        return 0;
    for (u32 i = 0; i < m_uUnitCount; i++)
    {
        UNIT_S& unit = m_pUnit[i];
        if (unit.uState.load(std::memory_order_acquire) != UNIT_FREE)
            continue;
        unit.uCookie = qvGetCookieShort(unit.uCookie);
        unit.pProc = pProc;
        unit.uParam = uParam;
        unit.uPeriod = uPeriodMs;
        unit.uElapsed = 0;
        unit.uLast = 0;
        // Last, so that the loop never sees a half-filled active unit.
        unit.uState.store(UNIT_ACTIVE, std::memory_order_release);
        u32 uHandle = qvHandleMake(i, unit.uCookie);
        m_Sect.Unlock();
        return uHandle;
    }
    m_Sect.Unlock();
    qvLogOut(0, "Timer::Add: There is no idle timer unit.");
    return 0;
}

void CQVTimerImp::FreeUnitLocked(UNIT_S& unit)
{
    unit.uCookie = qvGetCookieShort(unit.uCookie);
    unit.pProc = nullptr;
    unit.uParam = 0;
    unit.uPeriod = 0;
    unit.uElapsed = 0;
    unit.uLast = 0;
    unit.uFreed++;
    unit.uState.store(UNIT_FREE, std::memory_order_release);
    if (m_uCondValid)
        pthread_cond_broadcast(&m_CondFreed);
}

void CQVTimerImp::Delete(u32 uHandle)
{
    if (!m_Sect.Lock())
        return;
    u32 uIndex = qvHandleIndex(uHandle);
    if (m_pUnit == nullptr || uIndex >= m_uUnitCount || m_pUnit[uIndex].uCookie != qvHandleCookie(uHandle) ||
        m_pUnit[uIndex].uState.load(std::memory_order_acquire) == UNIT_FREE)
    {
        m_Sect.Unlock();
        return;
    }
    UNIT_S& unit = m_pUnit[uIndex];
    unit.uState.store(UNIT_DELETING, std::memory_order_release);

    if (!m_uLoopActive)
    {
        // No loop runs, so no callback can be running either.
        FreeUnitLocked(unit);
    }
    else if (t_pLoopTimer != this && m_uCondValid)
    {
        // The loop frees the unit after any callback of it has returned; wait for that, for
        // the loop to end, or for the table to go. The wait releases the mutex, so callbacks
        // may add and delete timers meanwhile.
        u32 uGen = m_uTableGen;
        u32 uFreed = unit.uFreed;
        while (m_uTableGen == uGen && unit.uFreed == uFreed && m_uLoopActive)
            pthread_cond_wait(&m_CondFreed, m_Sect.Get());
        if (m_uTableGen == uGen && unit.uFreed == uFreed)
            FreeUnitLocked(unit);
    }
    // On the loop's own thread no callback of this unit can be running except the caller
    // itself; being-deleted stops further calls and the loop frees the unit when it returns.
    m_Sect.Unlock();
}

void CQVTimerImp::Pass()
{
    for (u32 i = 0; i < m_uUnitCount; i++)
    {
        UNIT_S& unit = m_pUnit[i];
        u32 uState = unit.uState.load(std::memory_order_acquire);
        if (uState == UNIT_ACTIVE)
        {
            unit.uElapsed += TICK_MS;
            if (unit.uElapsed - unit.uLast >= unit.uPeriod)
            {
                unit.uLast = unit.uElapsed;
                u32 uHandle = qvHandleMake(i, unit.uCookie);
                try
                {
                    unit.pProc->OnTimer(uHandle, unit.uParam);
                }
                catch (...)
                {
                    qvPrintf("CQVTimerImp::Proc, OnTimer threw, uHandle=%u", uHandle);
                    qvLogOut(0, "TimerImp: Proc: OnTimer threw, uHandle=%u", uHandle);
                }
            }
            // A delete made while the callback ran is completed at once.
            uState = unit.uState.load(std::memory_order_acquire);
        }
        if (uState == UNIT_DELETING && m_Sect.Lock())
        {
            if (unit.uState.load(std::memory_order_acquire) == UNIT_DELETING)
                FreeUnitLocked(unit);
            m_Sect.Unlock();
        }
    }
}

u32 CQVTimerImp::Pace(QV_TIMER_PACE_S& pace, u32 uNow)
{
    u32 uReset = 0;
    pace.uPass++;
    if (uNow < pace.uStart || uNow - pace.uPrev > PACE_STALL_MS)
    {
        qvPrintf("CQVTimerImp::Proc, System time has been adjusted, reset the stamp and tick count");
        pace.uStart = uNow;
        pace.uPass = 0;
        uReset = 1;
    }
    else
    {
        u32 uRun = uNow - pace.uStart;
        u32 uExpect = TICK_MS * pace.uPass;
        if (uRun < uExpect)
        {
            pace.uSleep = TICK_MS;
        }
        else if (uRun > uExpect)
        {
            if (uRun < uExpect + TICK_MS)
            {
                if (pace.uSleep > 0 && uExpect + TICK_MS - uRun < pace.uSleep)
                    pace.uSleep--;
            }
            else
            {
                // A whole pass behind: run passes back to back until caught up.
                pace.uSleep = 0;
            }
        }
    }
    pace.uPrev = uNow;
    return uReset;
}

void CQVTimerImp::Proc()
{
    t_pLoopTimer = this;
    if (m_Sect.Lock())
    {
        m_uLoopActive = 1;
        m_Sect.Unlock();
    }

    QV_TIMER_PACE_S pace;
    pace.uStart = pace.uPrev = GET_TIMESTAMP();
    pace.uPass = 0;
    pace.uSleep = TICK_MS;
    while (m_uRunning)
    {
        if (pace.uSleep != 0)
            qvSleep(pace.uSleep);
        Pass();
        Pace(pace, GET_TIMESTAMP());
    }

    if (m_Sect.Lock())
    {
        m_uLoopActive = 0;
        if (m_uFreeOnExit)
        {
            m_uFreeOnExit = 0;
            FreeTableLocked();
        }
        else if (m_uCondValid)
        {
            pthread_cond_broadcast(&m_CondFreed);
        }
        m_Sect.Unlock();
    }
    t_pLoopTimer = nullptr;
}

CQVTimerImp* qvGetTimer()
{
    // Never destroyed: the timer thread may still run while the process exits, and the
    // service must stay valid for it.
    static CQVTimerImp* s_pTimer = new CQVTimerImp;
    return s_pTimer;
}

u32 qvTimerInit(u32 uUnitCount) { return qvGetTimer()->Init(uUnitCount); }
void qvTimerClean() { qvGetTimer()->Clean(); }
u32 qvTimerAdd(u32 uPeriodMs, IQVTimerProc* pProc, u32 uParam) { return qvGetTimer()->Add(uPeriodMs, pProc, uParam); }
void qvTimerDelete(u32 uHandle) { qvGetTimer()->Delete(uHandle); }
