// The event callback thread.
#include "doZirizaCallback.h"

#include <cstring>
#include <new>

#include "doZiriza.h"
#include "doZirizaNode.h"

namespace {

u32 IsPeerEvent(u32 uEvent)
{
    return uEvent >= 5 && uEvent <= 7;
}

u32 IsConnectEvent(u32 uEvent)
{
    return uEvent == 10 || uEvent == 11;
}

}  // namespace

u32 doZirizaEventCoalesce(DOZIRIZA_EVENT_LIST& list, u32 uEvent, const char* lpszMatch)
{
    u32 (*pfnSame)(u32) = IsPeerEvent(uEvent) ? IsPeerEvent : (IsConnectEvent(uEvent) ? IsConnectEvent : nullptr);
    if (pfnSame == nullptr)
        return 0;
    const char* lpszKey = lpszMatch ? lpszMatch : "";
    u32 uRemoved = 0;
    DOZIRIZA_EVENT_S* p = list.Head();
    while (p != nullptr)
    {
        DOZIRIZA_EVENT_S* pNext = DOZIRIZA_EVENT_LIST::Next(p);
        if (pfnSame(p->uEvent) && strcmp(p->strMatch.c_str(), lpszKey) == 0)
        {
            list.Remove(p);
            delete p;
            uRemoved++;
        }
        p = pNext;
    }
    return uRemoved;
}

void doZirizaEventFreeAll(DOZIRIZA_EVENT_LIST& list)
{
    while (DOZIRIZA_EVENT_S* p = list.PopHead())
        delete p;
}

CDOZirizaCallback::CDOZirizaCallback() : m_pTunnel(nullptr), m_uEnable(0), m_lpfnCallback(nullptr)
{
    SetTag("TunnelCallback");
}

CDOZirizaCallback::~CDOZirizaCallback()
{
    Clean();
}

u32 CDOZirizaCallback::Initialize(TfnTunnelEventProc lpfnCallback)
{
    m_lpfnCallback = lpfnCallback;
    if (lpfnCallback == nullptr)
        return 1;
    m_uEnable = 1;
    if (!Start(50, 0))
    {
        m_uEnable = 0;
        return 0;
    }
    return 1;
}

void CDOZirizaCallback::Wake()
{
    m_Wake.Signal();
}

void CDOZirizaCallback::PostEvent(u32 uEvent, const char* lpszParam, const char* lpszMatch)
{
    if (m_lpfnCallback.load() == nullptr || !m_uEnable)
        return;
    if (!m_SectQueue.Lock())
        return;
    DOZIRIZA_EVENT_S* pEvent = new (std::nothrow) DOZIRIZA_EVENT_S;
    if (pEvent != nullptr)
    {
        doZirizaEventCoalesce(m_List, uEvent, lpszMatch);
        if (m_List.Count() >= QUEUE_MAX)
            delete m_List.PopHead();
        pEvent->uEvent = uEvent;
        pEvent->strParam = lpszParam ? lpszParam : "";
        pEvent->strMatch = lpszMatch ? lpszMatch : "";
        m_List.PushTail(pEvent);
    }
    m_SectQueue.Unlock();
    Wake();
}

u32 CDOZirizaCallback::QueuedCount()
{
    if (!m_SectQueue.Lock())
        return 0;
    u32 uCount = m_List.Count();
    m_SectQueue.Unlock();
    return uCount;
}

void CDOZirizaCallback::Clean()
{
    m_uEnable = 0;
    if (IsStarted())
    {
        Wake();
        WaitForTermination();
    }
    if (m_SectQueue.Lock())
    {
        doZirizaEventFreeAll(m_List);
        m_SectQueue.Unlock();
    }
    m_lpfnCallback = nullptr;
}

void CDOZirizaCallback::Proc()
{
    void* lpContext = m_pTunnel ? m_pTunnel->GetContext() : nullptr;
    doZirizaContextNotify(lpContext, 0, 0);
    while (m_uEnable)
    {
        DOZIRIZA_EVENT_S* pEvent = nullptr;
        if (m_SectQueue.Lock())
        {
            pEvent = m_List.PopHead();
            m_SectQueue.Unlock();
        }
        if (pEvent != nullptr)
        {
            TfnTunnelEventProc lpfn = m_lpfnCallback;
            if (lpfn != nullptr && m_uEnable)
                lpfn(pEvent->uEvent, pEvent->strParam.c_str());
            delete pEvent;
            continue;
        }
        if (!m_Wake.IsValid())
            break;
        m_Wake.Wait();
    }
    doZirizaContextNotify(lpContext, 1, 0);
}
