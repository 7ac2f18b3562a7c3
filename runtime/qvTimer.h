// The process-wide 10 ms timer service and the millisecond time stamp.
#pragma once

#include <atomic>

#include <pthread.h>

#include "qvThread.h"
#include "qvType.h"

// The wall clock in milliseconds (seconds * 1000 + microseconds / 1000), wrapping in 32 bits.
u32 qvGetTimeStamp();
#define GET_TIMESTAMP() qvGetTimeStamp()

class IQVTimerProc
{
public:
    virtual void OnTimer(u32 uHandle, u32 uParam) = 0;

protected:
    ~IQVTimerProc() = default;
};

// 1 / 0. uUnitCount below 64 (0 included) gives 64 units.
u32 qvTimerInit(u32 uUnitCount);
// Stops the timer thread and frees the table.
void qvTimerClean();
// Handle (index << 16 | cookie), or 0 for a null proc or when no unit is free.
u32 qvTimerAdd(u32 uPeriodMs, IQVTimerProc* pProc, u32 uParam);
// Returns when no callback of the timer runs any more; called from the timer's own callback
// (or anything else the timer thread runs) it only stops further calls. Stale handles are
// ignored. Because it waits for a running callback, the caller must not hold a lock that the
// timer's callback takes.
void qvTimerDelete(u32 uHandle);

// Pacing state of the timer loop, all in milliseconds of GET_TIMESTAMP.
struct QV_TIMER_PACE_S
{
    u32 uStart;  // stamp at which the pass count began
    u32 uPrev;   // stamp of the previous pass
    u32 uPass;   // passes counted since uStart
    u32 uSleep;  // sleep before the next pass
};

class CQVTimerImp : public CQVThread
{
public:
    // Milliseconds of timer time per pass of the loop.
    static const u32 TICK_MS = 10;
    static const u32 UNIT_MIN = 64;
    static const u32 PRIORITY = 75;

    enum
    {
        UNIT_FREE = 0,
        UNIT_ACTIVE = 1,
        UNIT_DELETING = 2,
    };

    struct UNIT_S
    {
        std::atomic<u32> uState{UNIT_FREE};
        u16 uCookie = 0;
        u16 uReserved = 0;
        IQVTimerProc* pProc = nullptr;
        u32 uParam = 0;
        u32 uPeriod = 0;
        u32 uElapsed = 0;
        u32 uLast = 0;
        // Counts the times the unit was freed, so that a waiting delete notices the unit was
        // freed even when it has been taken again since.
        u32 uFreed = 0;
    };

    CQVTimerImp();
    ~CQVTimerImp() override;

    u32 Init(u32 uUnitCount);
    void Clean();
    u32 Add(u32 uPeriodMs, IQVTimerProc* pProc, u32 uParam);
    void Delete(u32 uHandle);

    // Makes the unit table without starting the thread (Init does both); lets a caller drive
    // the passes itself through Pass. 0 when the table cannot be made or the thread runs.
    u32 InitTable(u32 uUnitCount);
    // One pass over the units: advance and fire the active ones, free the ones being deleted.
    void Pass();
    // One pacing step at stamp uNow; returns 1 when the stamps were reset (clock set back or
    // a stall of 200 ms or more).
    static u32 Pace(QV_TIMER_PACE_S& pace, u32 uNow);

    // Read under the table's lock: the timer thread frees the table when the service stops.
    u32 GetUnitCount() const
    {
        u32 uCount = 0;
        if (m_Sect.Lock())
        {
            uCount = m_uUnitCount;
            m_Sect.Unlock();
        }
        return uCount;
    }
    u32 IsRunning() const { return m_uRunning.load(); }

    void Proc() override;

private:
    void FreeUnitLocked(UNIT_S& unit);
    void FreeTableLocked();
    u32 AllocTableLocked(u32 uUnitCount);

    // Serialises Init and Clean, which wait for the thread without holding m_Sect.
    CQVCriticalSection m_SectLife;
    // Guards the table's allocation, unit states on add and delete, and the loop flags.
    mutable CQVCriticalSection m_Sect;
    // Wakes deletes that wait for a unit to be freed, the loop to stop or the table to go
    // (used with m_Sect's mutex).
    pthread_cond_t m_CondFreed;
    u32 m_uCondValid;
    UNIT_S* m_pUnit;
    u32 m_uUnitCount;
    // Changes whenever a table is freed, so that a waiting delete notices its table is gone.
    u32 m_uTableGen;
    std::atomic<u32> m_uRunning;
    // Set while Proc runs its loop.
    u32 m_uLoopActive;
    // Set by a Clean called from a callback: the loop frees the table when it ends.
    u32 m_uFreeOnExit;
};

// The process's one timer service.
CQVTimerImp* qvGetTimer();
