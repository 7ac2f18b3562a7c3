// The node's dispatch thread and time base, the socket events, notifications, waiters, class
// timers and extension event posting.
#include <cstdlib>
#include <cstring>
#include <new>

#include "qvLog.h"
#include "qvNode.h"

namespace {

// Notify records in existence at most, whatever the cache limit: a flood of peer messages
// that raise notifications waits for the dispatch thread instead of growing memory.
const u32 kNotifyHardMax = 65536;

// The node whose socket event this thread is delivering. What the event leaves for the owner
// (notifications, then the owner's calls) is served on this thread right after it, as the
// dispatch thread would serve it, and that thread is only woken for what is left: each step
// of a new connection that a peer's message starts (its call, the answer to ours, the object
// sync, the start request) is then one thread hand-off shorter.
thread_local CQVNode* t_lpDelivering = nullptr;

// The node whose kept extension closes this thread carries out once it has released the
// dispatch lock (the dispatch thread, a thread in ExtEventNow): what it keeps wakes nobody.
thread_local CQVNode* t_lpCloser = nullptr;

}  // namespace

void CQVNodeThread::Proc()
{
    if (m_pNode)
        m_pNode->ThreadProc();
}

bool CQVNodeExtProc::OnEvent(u32 uInstHandle, u32 uA, u32 uB, u64 uC)
{
    return m_pNode && m_pNode->ExtPostEvent(uInstHandle, uA, uB, uC);
}

bool CQVNodeExtProc::OnEventNow(u32 uInstHandle, u32 uA, u32 uB, u64 uC)
{
    return m_pNode && m_pNode->ExtEventNow(uInstHandle, uA, uB, uC);
}

bool CQVNode::TakeBit(u32 uBit)
{
    return (m_uDispBits.fetch_and(~uBit) & uBit) != 0;
}

void CQVNode::DispRaise(u32 uBits)
{
    m_uDispBits.fetch_or(uBits);
    // The delivering thread wakes the dispatch thread once it has served what it could.
    if (t_lpDelivering != this)
        m_EventDisp.Signal();
}

void CQVNode::ThreadProc()
{
    t_lpCloser = this;
    qvContextNotify(m_lpContext, 0, 0);
    while (m_uInit) {
        if (!m_EventDisp.IsValid()) {
            qvLogOut(0, "DispProc: m_EventDisp.Wait fail");
            break;
        }
        m_EventDisp.Wait();
        if (!m_uInit) {
            qvLogOut(1, "DispProc: Disable, exist");
            break;
        }
        // Extension events posted since the last pass join this one: collecting them after
        // the pass would cost a second pass (and a second round of the lock) per event.
        if (TakeBit(QV_NODE_DISP_EXTPOST))
            DispExtPost();
        {
            std::lock_guard<std::mutex> lk(m_SectDisp);
            if (m_uInit) {
                if (TakeBit(QV_NODE_DISP_RESULT))
                    DispResults();
                if (TakeBit(QV_NODE_DISP_EXTEVT))
                    DispExtEvents();
                if (TakeBit(QV_NODE_DISP_OBJECT))
                    DispObjects();
                if (TakeBit(QV_NODE_DISP_TIMER))
                    DispTimer();
                if (TakeBit(QV_NODE_DISP_NOTIFY))
                    DispNotify();
                // Kept closes are carried out below, whoever asked for them.
                TakeBit(QV_NODE_DISP_EXTCLOSE);
                if (m_uDispBits.load())
                    m_EventDisp.Signal();
            }
        }
        // The sockets of the connections this pass ended are closed away from the lock:
        // a close can take tens of microseconds, which the threads delivering the next
        // connection's messages would otherwise wait for.
        if (m_uExtCloseCount.load())
            ExtCloseRun();
        if (m_uDispBits.load() & QV_NODE_DISP_HANDLE) {
            std::lock_guard<std::mutex> run(m_HndRun);
            if (TakeBit(QV_NODE_DISP_HANDLE))
                DispHandles();
        }
        if (TakeBit(QV_NODE_DISP_SECOND))
            DispSecond();
    }
    qvContextNotify(m_lpContext, 1, 0);
}

// Time base.

void CQVNode::SocketTimer(u32 uStamp)
{
    if (!m_uInit || m_uManualTime.load())
        return;
    TimerTick(uStamp);
}

void CQVNode::TimerTick(u32 uStamp)
{
    m_uStamp = uStamp;
    u32 t = m_uTick.fetch_add(1) + 1;
    if (t % 10)
        return;
    // A timer pass every 10 calls, a node second every 10 passes.
    u32 uBits = QV_NODE_DISP_TIMER;
    if ((t / 10) % 10 == 0) {
        m_uSecond.fetch_add(1);
        uBits |= QV_NODE_DISP_SECOND;
    }
    DispRaise(uBits);
}

void CQVNode::SocketThreadStatus(u32 uStatus)
{
    qvContextNotify(m_lpContext, uStatus ? 0 : 1, 1);
}

void CQVNode::SocketDrop(u32)
{
}

void CQVNode::SocketSetParam(u32, u32, u32)
{
}

u32 CQVNodeClassProc::NodeGetTick()
{
    return m_pNode->m_uTick.load();
}

u32 CQVNodeClassProc::NodeGetTickStamp()
{
    return m_pNode->m_uStamp.load();
}

u32 CQVNodeClassProc::NodeGetCurStamp()
{
    return m_pNode->m_uSecond.load();
}

u32 CQVNodeClassProc::NodeGetCfgOption()
{
    return m_pNode->m_Cfg.uNodeOption;
}

bool CQVNodeClassProc::ClassSetTimer(u32 uClass, u32 uSeconds)
{
    if (uClass >= QV_CLASS_MAX || !m_pNode->m_Class[uClass].p)
        return false;
    CQVNode::CLASS_S& c = m_pNode->m_Class[uClass];
    c.uPeriod = uSeconds * 10;
    // A random phase spreads the classes over the second.
    c.uCounter = (u32)(rand() % 10);
    if (uSeconds)
        m_pNode->m_ClassTimer.PushTail(&c);
    else
        m_pNode->m_ClassTimer.Remove(&c);
    return true;
}

// Socket events.

u32 CQVNode::SocketProc(u32 uEvent, u32 uVal1, u32 uVal2, u32 uVal3, u32 uVal4, u32 uParam, u32 uExtra,
                        u32 uSockID)
{
    if (!m_uInit)
        return 0;
    CQVNode* lpOuter = t_lpDelivering;
    t_lpDelivering = this;
    u32 r = SocketEventProc(uEvent, uVal1, uVal2, uVal3, uVal4, uParam, uExtra, uSockID);
    DispAfterEvent();
    t_lpDelivering = lpOuter;
    if (m_uDispBits.load())
        m_EventDisp.Signal();
    return r;
}

void CQVNode::DispAfterEvent()
{
    if (m_uDispBits.load() & QV_NODE_DISP_NOTIFY) {
        std::lock_guard<std::mutex> lk(m_SectDisp);
        if (m_uInit && TakeBit(QV_NODE_DISP_NOTIFY))
            DispNotify();
    }
    // The owner's calls keep their order: they are served by one thread at a time. Never
    // waits: the dispatch thread may be serving them already (it goes on with these).
    if (m_uDispBits.load() & QV_NODE_DISP_HANDLE) {
        std::unique_lock<std::mutex> run(m_HndRun, std::try_to_lock);
        if (run.owns_lock() && TakeBit(QV_NODE_DISP_HANDLE))
            DispHandles();
    }
    TakeBit(QV_NODE_DISP_EXTCLOSE);
    if (m_uExtCloseCount.load())
        ExtCloseRun();
}

u32 CQVNode::SocketEventProc(u32 uEvent, u32 uVal1, u32 uVal2, u32 uVal3, u32 uVal4, u32 uParam, u32 uExtra,
                             u32)
{
    std::lock_guard<std::mutex> lk(m_SectDisp);
    if (!m_uInit)
        return 0;
    switch (uEvent) {
    case QV_SOCK_EVENT_REPORT:
        switch (uVal4) {
        case 1: return m_ClassPeer.SocketDrop(uParam);
        case 2: return m_ClassPeer.SocketAddrChange(uParam);
        case 6: return m_ClassPeer.SocketNotifyPush(uParam);
        case 7: return m_ClassPeer.SocketNat64Detected(uParam);
        case 8: return m_ClassPeer.SocketThroughChange(uParam);
        case 9: return m_ClassPeer.SocketUdp4FwdStatus(uParam);
        case 10: return m_ClassPeer.SocketUdp4FwdRelayStat(uParam);
        case 11: return m_ClassPeer.SocketUdp4FwdHoleStat(uParam);
        default: return 0;
        }
    case QV_SOCK_EVENT_NEW:
        return m_ClassPeer.SocketNew(uParam);
    case QV_SOCK_EVENT_CONNECT:
        return m_ClassPeer.SocketConnect(uParam);
    case QV_SOCK_EVENT_ACKED:
        return SockAcked(uVal3, uVal2, uVal4, uParam);
    case QV_SOCK_EVENT_RECV:
    case QV_SOCK_EVENT_POSTED:
        return SockReceive(uEvent, uVal1, uVal2, uVal3, uVal4, uParam, uExtra);
    case QV_SOCK_EVENT_DISCARD:
        return SockDiscard(uVal4);
    default:
        return 0;
    }
}

u32 CQVNode::SockAcked(u32 uVal3, u32 uVal2, u32 uVal4, u32 uParam)
{
    if (uParam & 0xFFFF)
        return 0;
    const CQVClassPeer::PEER_S* p = m_ClassPeer.PeerAt(uParam >> 16);
    if (!p || !p->uStatus || !p->uObject)
        return 0;
    u32 uPeer = p->uObject;
    if (uVal4) {
        MCAST_S* m = MCastGet(uVal4);
        if (!m)
            return 0;
        OBJ_S* o = ObjGet(m->uObject);
        IQVClass* c = ObjClass(o);
        if (!c) {
            MCastFreeUnit(m);
            return 0;
        }
        QV_MCAST_RES_S res;
        std::memset(&res, 0, sizeof(res));
        for (u32 i = 0; i < m->uPeerCount; i++)
            if (m->pPeers[i] == uPeer) {
                if (i < m->uResCap) {
                    m->pRes[i].uAcked += uVal3;
                    res = m->pRes[i];
                }
                break;
            }
        u32 uInst = o->uInst;
        // An event without acknowledged bytes only tells that the send window opened again:
        // it is passed on but does not count as the peer's answer.
        if (!uVal3) {
            c->OnSend(uInst, QV_SEND_EVENT_RESULT, &res, uVal4, uPeer);
            return 1;
        }
        m->uAnswer++;
        int r = c->OnSend(uInst, QV_SEND_EVENT_RESULT, &res, uVal4, uPeer);
        m = MCastGet(uVal4);
        if (!m)
            return 1;
        if (m->uAnswer >= m->uPeerCount) {
            r = c->OnSend(uInst, QV_SEND_EVENT_RESULT, &res, uVal4, 0);
            m = MCastGet(uVal4);
            if (!m)
                return 1;
            m_MCastTmo.Remove(m);
            m->uCount = 0;
        }
        if (r)
            MCastFreeUnit(m);
        return 1;
    }
    if (uVal2 == QV_PMSG_SYNC_REPORT || uVal2 == QV_PMSG_SYNC_UPDATE) {
        OBJ_S* o = ObjGet(uPeer);
        IQVClass* c = ObjClass(o);
        if (c)
            c->OnSend(o->uInst, QV_SEND_EVENT_RESULT, nullptr, 0, uPeer);
        return 1;
    }
    return 0;
}

u32 CQVNode::SockReceive(u32 uEvent, u32 uVal1, u32 uVal2, u32 uVal3, u32 uVal4, u32 uParam, u32 uExtra)
{
    if (uParam & 0xFFFF) {
        qvPrintf("CQVNode::SockReceive, uCookie=%u, uPrio=%u, uMethod=%u, uObject=%u", uParam & 0xFFFF, uVal1, uVal2,
                 uVal3);
        m_Stat.uUnbound++;
        return 0;
    }
    u32 uIndex = uParam >> 16;
    const CQVClassPeer::PEER_S* p = m_ClassPeer.PeerAt(uIndex);
    // A socket whose entry was freed meanwhile belongs to no peer any more.
    if (p && !p->uStatus) {
        m_Stat.uUnbound++;
        return 0;
    }
    u32 uPeer = p ? p->uObject : 0;
    if (!uVal3)
        return (u32)m_ClassPeer.OnReceive(uIndex, uVal1, uVal2, uVal4, uExtra, uPeer);
    OBJ_S* o = ObjGet(uVal3);
    IQVClass* c = ObjClass(o);
    if (!c || !p) {
        m_ClassPeer.SendError(uIndex, uVal1, uVal2, uVal3, uVal4);
        qvPrintf("CQVNode::SockReceive, SendError, uPrio=%u, uMethod=%u, uObject=%u, uParam=%u", uVal1, uVal2, uVal3,
                 uVal4);
        m_Stat.uNoObject++;
        return 0;
    }
    u32 uClass = o->uClass;
    if (m_ClassPeer.GetAuthOption() && uClass > QV_CLASS_GROUP && !m_ClassPeer.AuthCheckAccept(uIndex)) {
        m_Stat.uNotAuth++;
        return 0;
    }
    if (!(p->uRecvClassMask & (1u << uClass))) {
        m_Stat.uMasked++;
        return 0;
    }
    if (uEvent == QV_SOCK_EVENT_POSTED) {
        uExtra |= 0x10000;
    } else if (uClass <= QV_CLASS_GROUP &&
               m_ClassPeer.CheckRecvBacklog(uIndex, uVal1, uVal2, uVal3, uVal4, uExtra)) {
        return 1;
    }
    // The backlog check may have dropped the object (never in practice); look again.
    o = ObjGet(uVal3);
    c = ObjClass(o);
    if (!c)
        return 0;
    return (u32)c->OnReceive(o->uInst, uVal1, uVal2, uVal4, uExtra, uPeer);
}

u32 CQVNode::SockDiscard(u32 uVal4)
{
    MCAST_S* m = MCastGet(uVal4);
    if (!m)
        return 0;
    OBJ_S* o = ObjGet(m->uObject);
    IQVClass* c = ObjClass(o);
    if (!c) {
        MCastFreeUnit(m);
        return 0;
    }
    if (c->OnSend(o->uInst, QV_SEND_EVENT_GIVEUP, nullptr, uVal4, 0)) {
        m = MCastGet(uVal4);
        if (m)
            MCastFreeUnit(m);
    }
    return 1;
}

// Dispatch passes.

void CQVNode::DispResults()
{
    CQVList<RES_S> batch;
    while (RES_S* r = m_ResQue.PopHead())
        batch.PushTail(r);
    while (RES_S* r = batch.PopHead()) {
        OBJ_S* o = ObjGet(r->uObject);
        IQVClass* c = ObjClass(o);
        u32 uError = r->uError, uHandle = r->uHandle;
        m_ResFree.PushTail(r);
        if (c)
            c->OnExtReply(o->uInst, uError, nullptr, 0, uHandle);
    }
}

void CQVNode::DispExtEvents()
{
    while (EXTEVT_S* e = m_ExtPending.PopHead()) {
        EXTINST_S* x = ExtInstGet(e->uInst);
        u32 uInst = e->uInst, uA = e->uA, uB = e->uB;
        u64 uC = e->uC;
        m_ExtDone.PushTail(e);
        if (!x || x->uClass >= QV_CLASS_MAX || !m_Class[x->uClass].uInit || !m_Class[x->uClass].p)
            continue;
        m_Class[x->uClass].p->OnExtend(uInst, uA, uB, uC, x->uParam);
    }
}

void CQVNode::DispObjects()
{
    OBJ_DISP_LIST batch;
    while (OBJ_S* o = m_ObjDisp.PopHead())
        batch.PushTail(o);
    while (OBJ_S* o = batch.PopHead()) {
        u32 uBits = o->uDispBits;
        o->uDispBits = 0;
        IQVClass* c = ObjClass(o);
        if (!c || !uBits)
            continue;
        u32 uObject = ObjHandle(o);
        u32 r = c->OnDisp(o->uInst, uBits);
        if (ObjGet(uObject) != o)
            continue;
        o->uDispBits |= r;
        if (o->uDispBits) {
            m_ObjDisp.PushTail(o);
            m_uDispBits.fetch_or(QV_NODE_DISP_OBJECT);
        }
    }
}

void CQVNode::DispTimer()
{
    // Class timers. A class may change the timer list from its OnTimer.
    for (u32 i = 0; i < QV_CLASS_MAX; i++) {
        CLASS_S& c = m_Class[i];
        if (!m_ClassTimer.Contains(&c))
            continue;
        if (++c.uCounter >= c.uPeriod) {
            c.uCounter = 0;
            if (c.uInit && c.p)
                c.p->OnTimer(m_uSecond.load());
        }
    }
    // Multicast time-outs: the expired units are collected first, because OnSend may free
    // any unit.
    m_TmpUnits.clear();
    for (MCAST_S* m = m_MCastTmo.Head(); m; m = MCAST_TMO_LIST::Next(m))
        if (++m->uCount >= m->uLimit && m_TmpUnits.size() < m_TmpUnits.capacity())
            m_TmpUnits.push_back(m_MCast.Handle(m));
    for (u32 uUnit : m_TmpUnits) {
        MCAST_S* m = MCastGet(uUnit);
        if (!m || !m_MCastTmo.Contains(m))
            continue;
        m_MCastTmo.Remove(m);
        m->uCount = 0;
        OBJ_S* o = ObjGet(m->uObject);
        IQVClass* c = ObjClass(o);
        if (!c) {
            MCastFreeUnit(m);
            continue;
        }
        if (c->OnSend(o->uInst, QV_SEND_EVENT_TIMEOUT, nullptr, uUnit, 0)) {
            m = MCastGet(uUnit);
            if (m)
                MCastFreeUnit(m);
        }
    }
    // Waiters: an expired waiter is freed and its object told.
    WAITER_S* w = m_WaiterActive.Head();
    while (w) {
        WAITER_S* n = CQVList<WAITER_S>::Next(w);
        if (++w->uCount >= w->uLimit || w->uLimit == 0) {
            if (ObjGet(w->uObject))
                m_ClassProc.ObjNotify(w->uObject, QV_NOTIFY_WAITER, w->uP0, w->uP1);
            WaiterFree(w);
        }
        w = n;
    }
    TmoPass();
}

void CQVNode::DispNotify()
{
    CQVList<NOTIFY_S> batch;
    while (NOTIFY_S* r = m_NotifyQue.PopHead())
        batch.PushTail(r);
    while (NOTIFY_S* r = batch.PopHead()) {
        OBJ_S* o = ObjGet(r->uObject);
        u32 uType = r->uType, uP0 = r->uP0, uP1 = r->uP1;
        if (m_uNotifyCount > m_uNotifyMax) {
            delete r;
            m_uNotifyCount--;
        } else {
            m_NotifyCache.PushTail(r);
        }
        if (!o)
            continue;
        if (o->uClass >= QV_CLASS_MAX) {
            qvLogOut(3, "CQVNode::DispNotify: uClass=%u, uObject=0x%x, uParam0=0x%x", o->uClass, ObjHandle(o), uP0);
            qvLogFlush();
            continue;
        }
        if (IQVClass* c = ObjClass(o))
            c->OnNotify(o->uInst, uType, uP0, uP1);
    }
}

void CQVNode::DispExtPost()
{
    u32 uPosted = 0;
    {
        std::lock_guard<std::mutex> lk(m_ExtMutex);
        while (EXTEVT_S* e = m_ExtPosted.PopHead()) {
            m_ExtPending.PushTail(e);
            uPosted = 1;
        }
        while (EXTEVT_S* e = m_ExtDone.PopHead())
            m_ExtFree.PushTail(e);
    }
    // Only called at the start of a pass, which takes the bit: no wake-up is needed.
    if (uPosted)
        m_uDispBits.fetch_or(QV_NODE_DISP_EXTEVT);
}

void CQVNode::DispHandles()
{
    while (m_uInit) {
        HND_S* h = nullptr;
        {
            std::lock_guard<std::mutex> lk(m_HndMutex);
            h = m_HndPend.PopHead();
            if (h && m_uHndPend)
                m_uHndPend--;
        }
        if (!h)
            break;
        // An instance closed before this record was made is closed before the owner reads it.
        if (m_uExtCloseCount.load())
            ExtCloseRun();
        if (m_lpProc) {
            if (h->uKind == HND_REPLY) {
                m_lpProc->OnReply(h->uObject, h->uValue, h->pData, h->uSize, h->uParam);
            } else {
                // The answer's time-out is set before the application is asked: an answer
                // given at once, or by another thread before this one continues, removes it
                // (one set afterwards would outlive the answer).
                if (m_Cfg.uRequestTimeout && h->uHandle) {
                    std::lock_guard<std::mutex> lk(m_SectDisp);
                    MCAST_S* m = m_uInit ? MCastGet(h->uHandle) : nullptr;
                    if (m && m->uObject == h->uObject)
                        HndResTimeoutAdd(h->uObject, h->uHandle);
                }
                int r = m_lpProc->OnExtRequest(h->uObject, h->uValue, h->pData, h->uSize, h->uHandle, h->uParam);
                if (r >= 0 && h->uHandle) {
                    std::lock_guard<std::mutex> lk(m_SectDisp);
                    if (m_uInit) {
                        HndResTimeoutRemove(h->uObject, h->uHandle);
                        HndResultAdd(h->uObject, h->uHandle, (u32)r);
                    }
                    if (r > 0)
                        qvLogOut(1, "Node::DispHandle, Call OnExtRequest failed, iErr=%d", r);
                }
            }
        }
        HndGive(h);
    }
}

void CQVNode::DispSecond()
{
    if (m_DataClt.IsEnabled())
        m_DataClt.SecondProc(m_uSecond.load());
    qvActiveTraceItemFresh(m_lpContext, 3);
}

// Notifications.

bool CQVNodeClassProc::ObjNotify(u32 uObject, u32 uType, u32 uP0, u32 uP1)
{
    CQVNode& n = *m_pNode;
    if (!n.ObjGet(uObject))
        return false;
    CQVNode::NOTIFY_S* r = n.m_NotifyCache.PopHead();
    if (!r) {
        r = n.m_uNotifyCount < kNotifyHardMax ? new (std::nothrow) CQVNode::NOTIFY_S() : nullptr;
        if (!r) {
            qvLogOut(0, "Node: Object notify: New notify event failed!");
            return false;
        }
        n.m_uNotifyCount++;
    }
    r->uObject = uObject;
    r->uType = uType;
    r->uP0 = uP0;
    r->uP1 = uP1;
    n.m_NotifyQue.PushTail(r);
    n.DispRaise(QV_NODE_DISP_NOTIFY);
    return true;
}

void CQVNode::NotifyClean()
{
    while (NOTIFY_S* r = m_NotifyQue.PopHead())
        delete r;
    while (NOTIFY_S* r = m_NotifyCache.PopHead())
        delete r;
    m_uNotifyCount = 0;
}

bool CQVNodeClassProc::ObjDisp(u32 uObject, u32 uBits)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uObject);
    if (!o)
        return false;
    if (!m_pNode->m_ObjDisp.Contains(o))
        m_pNode->m_ObjDisp.PushTail(o);
    o->uDispBits |= uBits;
    m_pNode->DispRaise(QV_NODE_DISP_OBJECT);
    return true;
}

// Waiters.

u32 CQVNodeClassProc::WaiterAlloc(u32 uObject, u32 uSeconds, u32 uP0, u32 uP1)
{
    if (!uObject)
        return 0;
    CQVNode::WAITER_S* w = m_pNode->m_Waiter.Alloc();
    if (!w) {
        qvLogOut(0, "Node: Alloc waiter: No free waiter unit!");
        return 0;
    }
    w->uObject = uObject;
    w->uLimit = uSeconds * 10;
    w->uCount = 0;
    w->uP0 = uP0;
    w->uP1 = uP1;
    m_pNode->m_WaiterActive.PushTail(w);
    return m_pNode->m_Waiter.Handle(w);
}

void CQVNode::WaiterFree(WAITER_S* w)
{
    w->uObject = 0;
    w->uLimit = w->uCount = 0;
    m_Waiter.Free(w);   // off the active list, new cookie, to the free list's tail
}

u32 CQVNodeClassProc::WaiterFinish(u32 uWaiter, u32* lpuP0, u32* lpuP1)
{
    CQVNode::WAITER_S* w = m_pNode->m_Waiter.Find(uWaiter);
    if (!w || !w->uObject)
        return 0;
    u32 uObject = w->uObject;
    if (lpuP0)
        *lpuP0 = w->uP0;
    if (lpuP1)
        *lpuP1 = w->uP1;
    m_pNode->WaiterFree(w);
    return uObject;
}

u32 CQVNodeClassProc::WaiterPeek(u32 uWaiter, u32* lpuP0, u32* lpuP1)
{
    CQVNode::WAITER_S* w = m_pNode->m_Waiter.Find(uWaiter);
    if (!w || !w->uObject)
        return 0;
    if (lpuP0)
        *lpuP0 = w->uP0;
    if (lpuP1)
        *lpuP1 = w->uP1;
    return w->uObject;
}

bool CQVNodeClassProc::WaiterAdjust(u32 uWaiter, u32 uSeconds)
{
    CQVNode::WAITER_S* w = m_pNode->m_Waiter.Find(uWaiter);
    if (!w || !w->uObject)
        return false;
    w->uLimit = uSeconds * 10;
    return true;
}

u32 CQVNodeClassProc::WaiterEnum(u32 uAfter, u32 uObject, u32* lpuP0, u32* lpuP1)
{
    CQVNode& n = *m_pNode;
    CQVNode::WAITER_S* w = n.m_WaiterActive.Head();
    if (uAfter) {
        CQVNode::WAITER_S* a = n.m_Waiter.Find(uAfter);
        if (a && n.m_WaiterActive.Contains(a))
            w = CQVList<CQVNode::WAITER_S>::Next(a);
    }
    for (; w; w = CQVList<CQVNode::WAITER_S>::Next(w)) {
        if (uObject && w->uObject != uObject)
            continue;
        if (lpuP0)
            *lpuP0 = w->uP0;
        if (lpuP1)
            *lpuP1 = w->uP1;
        return n.m_Waiter.Handle(w);
    }
    return 0;
}

// Extension events, posted from any thread.

u32 CQVNode::ExtPostEvent(u32 uInst, u32 uA, u32 uB, u64 uC)
{
    if (!m_uInit)
        return 0;
    {
        std::lock_guard<std::mutex> lk(m_ExtMutex);
        EXTEVT_S* e = m_ExtFree.PopHead();
        if (!e) {
            if (m_uExtEvtCount >= QV_NODE_EXTEVT_MAX)
                return 0;
            e = new (std::nothrow) EXTEVT_S();
            if (!e)
                return 0;
            m_uExtEvtCount++;
        }
        e->uInst = uInst;
        e->uA = uA;
        e->uB = uB;
        e->uC = uC;
        m_ExtPosted.PushTail(e);
    }
    DispRaise(QV_NODE_DISP_EXTPOST);
    return 1;
}

u32 CQVNode::ExtEventNow(u32 uInst, u32 uA, u32 uB, u64 uC)
{
    // The caller holds no lock of ours, so waiting for the dispatch lock here cannot close a
    // cycle; the class then runs as on the dispatch thread. An extension event only tells
    // that an instance can be read or written again, so it may overtake events still queued.
    {
        std::lock_guard<std::mutex> lk(m_SectDisp);
        if (!m_uInit)
            return 0;
        CQVNode* lpOuter = t_lpCloser;
        t_lpCloser = this;
        EXTINST_S* x = ExtInstGet(uInst);
        if (x && x->uClass < QV_CLASS_MAX && m_Class[x->uClass].uInit && m_Class[x->uClass].p)
            m_Class[x->uClass].p->OnExtend(uInst, uA, uB, uC, x->uParam);
        t_lpCloser = lpOuter;
    }
    if (m_uExtCloseCount.load())
        ExtCloseRun();
    return 1;
}

u32 CQVNode::ExtCloseLater(u32 uExt, void* lpInst, u32 uValue)
{
    if (!m_uInit || !m_Ext[uExt].p->OnCloseUnlocked())
        return 0;
    {
        std::lock_guard<std::mutex> lk(m_ExtCloseMutex);
        try {
            m_ExtClose.push_back({uExt, uValue, lpInst});
        } catch (...) {
            return 0;
        }
        m_uExtCloseCount.fetch_add(1);
    }
    // A thread that carries them out itself after the lock (or delivers a socket event, and
    // serves them after it) wakes nobody; any other leaves them to the dispatch thread.
    if (t_lpCloser != this)
        DispRaise(QV_NODE_DISP_EXTCLOSE);
    return 1;
}

void CQVNode::ExtCloseRun()
{
    std::lock_guard<std::mutex> run(m_ExtCloseRun);
    {
        std::lock_guard<std::mutex> lk(m_ExtCloseMutex);
        m_ExtClosing.swap(m_ExtClose);
    }
    for (const EXTCLOSE_S& c : m_ExtClosing)
        m_Ext[c.uExt].p->OnClose(c.pInst, c.uValue);
    // Counted off only now: a thread that finds closes counted waits here for them.
    m_uExtCloseCount.fetch_sub((u32)m_ExtClosing.size());
    m_ExtClosing.clear();
}

bool CQVNodeClassProc::ExtPostEvent(u32 uInst, u32 uA, u32 uB, u64 uC)
{
    return m_pNode->ExtPostEvent(uInst, uA, uB, uC) != 0;
}

void CQVNode::ExtEventClean()
{
    std::lock_guard<std::mutex> lk(m_ExtMutex);
    for (CQVList<EXTEVT_S>* l : {&m_ExtPosted, &m_ExtPending, &m_ExtDone, &m_ExtFree})
        while (EXTEVT_S* e = l->PopHead())
            delete e;
    m_uExtEvtCount = 0;
}
