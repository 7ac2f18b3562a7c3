// The event callback thread: events raised inside the tunnel are queued here and handed to the
// host's callback on this thread, never on the tunnel thread and never under a tunnel lock.
#pragma once

#include <atomic>

#include "qvLibTunnel.h"
#include "qvString.h"
#include "qvTable.h"
#include "qvThread.h"
#include "qvType.h"

class CDOZiriza;

// One queued event; the match text names what it is about (a peer or a client address) and
// decides which older events a newer one replaces.
struct DOZIRIZA_EVENT_S
{
    QV_LINK_S<DOZIRIZA_EVENT_S> link;
    u32 uEvent = 0;
    QV_STRING strParam;
    QV_STRING strMatch;
};
typedef CQVList<DOZIRIZA_EVENT_S> DOZIRIZA_EVENT_LIST;

// Removes from the list every event that a new event of that number and match replaces:
// 5, 6 and 7 replace each other for the same peer, 10 and 11 for the same client address.
// Returns the number removed (freed).
u32 doZirizaEventCoalesce(DOZIRIZA_EVENT_LIST& list, u32 uEvent, const char* lpszMatch);
void doZirizaEventFreeAll(DOZIRIZA_EVENT_LIST& list);

class CDOZirizaCallback : public CQVThread
{
public:
    CDOZirizaCallback();
    ~CDOZirizaCallback() override;

    void Attach(CDOZiriza* pTunnel) { m_pTunnel = pTunnel; }
    // Stores the callback; without one nothing starts (1). 0 when the thread cannot start.
    u32 Initialize(TfnTunnelEventProc lpfnCallback);
    void PostEvent(u32 uEvent, const char* lpszParam, const char* lpszMatch);
    // No more events are queued or delivered.
    void Disable() { m_uEnable = 0; }
    // Ends the thread and discards what was not delivered.
    void Clean();
    void Proc() override;

    u32 QueuedCount();

    // Undelivered events kept at most; beyond it the oldest gives way, so a host that stops
    // taking events cannot make the queue grow without end.
    static const u32 QUEUE_MAX = 1024;

private:
    void Wake();

    CDOZiriza* m_pTunnel;
    std::atomic<u32> m_uEnable;
    std::atomic<TfnTunnelEventProc> m_lpfnCallback;
    DOZIRIZA_EVENT_LIST m_List;
    CQVCriticalSection m_SectQueue;
    CQVEvent m_Wake;
};
