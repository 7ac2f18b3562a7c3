// Tunnel events: their texts, delivery to the callback thread and to waiting "eventget"
// requests, the event API queue and the push queue.
#include <cstdio>
#include <cstring>
#include <new>

#include "doZiriza.h"
#include "qvLog.h"

// "%s" texts of events are built dynamically: a peer or server text has no fixed bound here.
void CDOZiriza::CallbackEventPost(u32 uEvent, u32 uValue, const char* lpszText)
{
    const char* lpszIn = lpszText ? lpszText : "";
    switch (uEvent)
    {
    case QV_TUNNEL_EVENT_NET_ERROR:
    case QV_TUNNEL_EVENT_LOGIN:
        CallbackEventPush(uEvent, qvStringFormat("{\"errcode\":%u}", uValue).c_str(), "");
        break;
    case QV_TUNNEL_EVENT_LOGOUT:
        CallbackEventPush(uEvent, "", "");
        break;
    case QV_TUNNEL_EVENT_KICK_OUT:
        CallbackEventPush(uEvent, qvStringFormat("{\"param\":%u,\"addrnow\":\"%s\"}", uValue, qvJsonConvert(lpszIn).c_str()).c_str(),
                          "");
        break;
    case QV_TUNNEL_EVENT_PEER_ONLINE:
    case QV_TUNNEL_EVENT_PEER_OFFLINE:
    case QV_TUNNEL_EVENT_PEER_ERROR:
    {
        QV_STRING strPeer = qvJsonConvert(PeerIDTrim(lpszIn).c_str());
        CallbackEventPush(uEvent, qvStringFormat("{\"peerid\":\"%s\",\"count\":%u}", strPeer.c_str(), uValue).c_str(), lpszIn);
        break;
    }
    case QV_TUNNEL_EVENT_CONNECT_CHECK:
    case QV_TUNNEL_EVENT_CONNECT_FREE:
    case QV_TUNNEL_EVENT_CONNECT_ONLINE:
    case QV_TUNNEL_EVENT_CONNECT_OFFLINE:
    case QV_TUNNEL_EVENT_LISTEN_FAIL:
        CallbackEventPush(uEvent, qvStringFormat("{\"clientaddr\":\"%s\"}", qvJsonConvert(lpszIn).c_str()).c_str(), lpszIn);
        break;
    default:
        break;
    }
}

void CDOZiriza::CallbackEventPeerInfo(const char* lpszPeer, u32 uType, const char* lpszAddr, const char* lpszIPVer)
{
    QV_STRING strPeer = qvJsonConvert(PeerIDTrim(lpszPeer).c_str());
    QV_STRING strText = qvStringFormat("{\"peerid\":\"%s\",\"type\":%u,\"addr\":\"%s\",\"ipver\":\"%s\"}", strPeer.c_str(),
                               uType, qvJsonConvert(lpszAddr).c_str(), qvJsonConvert(lpszIPVer).c_str());
    CallbackEventPush(QV_TUNNEL_EVENT_PEER_INFO, strText.c_str(), "");
}

void CDOZiriza::PeerEventCallback(const char* lpszPeer, u32 uEvent, u32 uCount)
{
    CallbackEventPost(uEvent, uCount, lpszPeer);
    // The connections to that peer follow it on line and off line.
    if (lpszPeer == nullptr || *lpszPeer == 0 || m_LoginInfo.strUser == lpszPeer)
        return;
    const u32 uCode = uEvent == QV_TUNNEL_EVENT_PEER_ONLINE ? 10 : 11;
    for (TUNNEL_S* p = m_ListTunnelBusy.Head(); p != nullptr; p = CQVList<TUNNEL_S>::Next(p))
        if (p->strPeerOut == lpszPeer)
            TunnelEventCallback(m_Tunnel.IndexOf(p), uCode);
}

void CDOZiriza::CallbackEventPush(u32 uEvent, const char* lpszParam, const char* lpszMatch)
{
    const char* lpszText = lpszParam ? lpszParam : "";
    const char* lpszKey = lpszMatch ? lpszMatch : "";
    qvLogOut(2, "Tunnel: CallbackEventPush, uEvent=%u, lpszParam=%s, lpszMatch=%s", uEvent, lpszText, lpszKey);
    u32 uAnswered = 0;
    u32 uFlag = 0;
    while (u32 uHandle = HttpSessPop(REQ_EVENTGET, &uFlag))
    {
        OnHttpEventGet(0, uHandle, uEvent, lpszText);
        uAnswered++;
    }
    if (uAnswered == 0)
        EventApiPush(uEvent, lpszText, lpszKey);
    m_Callback.PostEvent(uEvent, lpszText, lpszKey);
}

u32 CDOZiriza::EventApiPush(u32 uEvent, const char* lpszParam, const char* lpszMatch)
{
    if (!m_SectEventApi.Lock())
        return 0;
    DOZIRIZA_EVENT_S* pEvent = nullptr;
    if (m_ListEventApi.Count() >= EVENT_API_MAX)
        pEvent = m_ListEventApi.PopHead();
    else
        pEvent = new (std::nothrow) DOZIRIZA_EVENT_S;
    if (pEvent == nullptr)
    {
        m_SectEventApi.Unlock();
        return 0;
    }
    doZirizaEventCoalesce(m_ListEventApi, uEvent, lpszMatch);
    pEvent->uEvent = uEvent;
    pEvent->strParam = lpszParam ? lpszParam : "";
    pEvent->strMatch = lpszMatch ? lpszMatch : "";
    m_ListEventApi.PushTail(pEvent);
    m_SectEventApi.Unlock();
    return 1;
}

u32 CDOZiriza::EventApiPop(u32* lpuEvent, QV_STRING& strParam)
{
    if (!m_SectEventApi.Lock())
        return 0;
    DOZIRIZA_EVENT_S* pEvent = m_ListEventApi.PopHead();
    m_SectEventApi.Unlock();
    if (pEvent == nullptr)
        return 0;
    *lpuEvent = pEvent->uEvent;
    strParam = static_cast<QV_STRING&&>(pEvent->strParam);
    delete pEvent;
    return 1;
}

void CDOZiriza::EventApiDrop(u32 uEvent, const char* lpszMatch)
{
    if (!m_SectEventApi.Lock())
        return;
    DOZIRIZA_EVENT_S* p = m_ListEventApi.Head();
    while (p != nullptr)
    {
        DOZIRIZA_EVENT_S* pNext = DOZIRIZA_EVENT_LIST::Next(p);
        if (p->uEvent == uEvent && p->strMatch == (lpszMatch ? lpszMatch : ""))
        {
            m_ListEventApi.Remove(p);
            delete p;
        }
        p = pNext;
    }
    m_SectEventApi.Unlock();
}

void CDOZiriza::EventApiClean()
{
    if (!m_SectEventApi.Lock())
        return;
    doZirizaEventFreeAll(m_ListEventApi);
    m_SectEventApi.Unlock();
}

u32 CDOZiriza::EventApiCount()
{
    if (!m_SectEventApi.Lock())
        return 0;
    u32 uCount = m_ListEventApi.Count();
    m_SectEventApi.Unlock();
    return uCount;
}

u32 CDOZiriza::NotifyPush(const char* lpszText)
{
    if (!m_SectNotify.Lock())
        return 0;
    NOTIFY_S* p = m_ListNotify.Count() >= NOTIFY_MAX ? m_ListNotify.PopHead() : new (std::nothrow) NOTIFY_S;
    if (p != nullptr)
    {
        p->strText = lpszText ? lpszText : "";
        m_ListNotify.PushTail(p);
    }
    m_SectNotify.Unlock();
    return p != nullptr;
}

u32 CDOZiriza::NotifyPop(QV_STRING& strText)
{
    if (!m_SectNotify.Lock())
        return 0;
    NOTIFY_S* p = m_ListNotify.PopHead();
    m_SectNotify.Unlock();
    if (p == nullptr)
        return 0;
    strText = static_cast<QV_STRING&&>(p->strText);
    delete p;
    return 1;
}

void CDOZiriza::NotifyClean()
{
    if (!m_SectNotify.Lock())
        return;
    while (NOTIFY_S* p = m_ListNotify.PopHead())
        delete p;
    m_SectNotify.Unlock();
}

void CDOZiriza::UserExtendNotify(const char* lpszText)
{
    const char* lpszData = lpszText ? lpszText : "";
    u32 uAnswered = 0;
    u32 uFlag = 0;
    while (u32 uHandle = HttpSessPop(REQ_PUSHGET, &uFlag))
    {
        OnHttpPushGet(0, uHandle, lpszData, uFlag);
        uAnswered++;
    }
    if (uAnswered == 0)
        NotifyPush(lpszData);
    CallbackEventPush(QV_TUNNEL_EVENT_USER_EXTEND, lpszData, "");
}
