// Requests and replies between an object's class and the owner: handle records handed to the
// dispatch thread's handle pass, request results for OnExtReply, and request time-outs.
#include <cstring>
#include <new>

#include "qvLog.h"
#include "qvNode.h"

namespace {

const u32 kHndStep = 256;
// Cached time-out records are freed after this many idle node seconds.
const u32 kTmoCacheAge = 299;
// Request result records in existence at most.
const u32 kResultMax = 65536;

}  // namespace

CQVNode::HND_S* CQVNode::HndTake()
{
    std::lock_guard<std::mutex> lk(m_HndMutex);
    HND_S* h = m_HndFree.PopHead();
    if (h)
        return h;
    if (m_uHndCount >= m_uHndMax)
        return nullptr;
    h = new (std::nothrow) HND_S();
    if (!h)
        return nullptr;
    std::memset(static_cast<void*>(h), 0, sizeof(*h));
    m_uHndCount++;
    return h;
}

void CQVNode::HndGive(HND_S* h)
{
    std::lock_guard<std::mutex> lk(m_HndMutex);
    if (h->uCap > QV_NODE_HND_KEEP) {
        qvByteBufFree(&h->pData);
        h->uCap = 0;
    }
    h->uSize = 0;
    m_HndFree.PushTail(h);
}

// Copies the data with a terminating zero into the record (which is on no list, so this runs
// outside the handle mutex).
u32 CQVNode::HndFill(HND_S* h, const void* lpData, u32 uSize, u32 uTextOnly)
{
    if (!qvByteBufAlloc(&h->pData, &h->uCap, uSize + 1, kHndStep, 0))
        return 0;
    if (uSize)
        std::memcpy(h->pData, lpData, uSize);
    h->pData[uSize] = 0;
    h->uSize = uTextOnly ? 0 : uSize;
    return 1;
}

u32 CQVNode::HndResultAdd(u32 uObject, u32 uHandle, u32 uError)
{
    RES_S* r = m_ResFree.PopHead();
    if (!r) {
        if (m_ResQue.Count() >= kResultMax)
            return 0;
        r = new (std::nothrow) RES_S();
        if (!r)
            return 0;
    }
    r->uObject = uObject;
    r->uError = uError;
    r->uHandle = uHandle;
    m_ResQue.PushTail(r);
    DispRaise(QV_NODE_DISP_RESULT);
    return 1;
}

u32 CQVNode::HndResTimeoutAdd(u32 uObject, u32 uHandle)
{
    u32 uHash = uObject + uHandle;
    TMO_S* t = m_TmoHash.Find<TMO_S>(uHash, [&](TMO_S* x) {
        return x->uObject == uObject && x->uHandle == uHandle;
    });
    if (t)
        return 1;
    t = m_TmoCache.PopHead();
    if (!t) {
        // One record per multicast unit at most is ever pending.
        if (m_TmoPend.Count() >= m_MCast.Count())
            return 0;
        t = new (std::nothrow) TMO_S();
        if (!t)
            return 0;
    }
    t->uObject = uObject;
    t->uHandle = uHandle;
    t->uStamp = m_uSecond.load();
    m_TmoPend.PushTail(t);
    m_TmoHash.Add(&t->hash, t, uHash);
    return 1;
}

void CQVNode::HndResTimeoutRemove(u32 uObject, u32 uHandle)
{
    TMO_S* t = m_TmoHash.Find<TMO_S>(uObject + uHandle, [&](TMO_S* x) {
        return x->uObject == uObject && x->uHandle == uHandle;
    });
    if (!t)
        return;
    m_TmoHash.Remove(&t->hash);
    m_TmoPend.Remove(t);
    t->uStamp = m_uSecond.load();
    m_TmoCache.PushTail(t);
}

void CQVNode::TmoPass()
{
    u32 uNow = m_uSecond.load();
    if (m_uTmoSecond == uNow)
        return;
    m_uTmoSecond = uNow;
    if (!m_Cfg.uRequestTimeout)
        return;
    if (m_TmoPend.Empty()) {
        TMO_S* t = m_TmoCache.Head();
        while (t) {
            TMO_S* n = CQVList<TMO_S>::Next(t);
            if (uNow - t->uStamp > kTmoCacheAge) {
                m_TmoCache.Remove(t);
                delete t;
            }
            t = n;
        }
        return;
    }
    // The expired ones leave the table first: the class's OnExtReply may answer others.
    CQVList<TMO_S> expired;
    TMO_S* t = m_TmoPend.Head();
    while (t) {
        TMO_S* n = CQVList<TMO_S>::Next(t);
        if (uNow - t->uStamp >= m_Cfg.uRequestTimeout) {
            m_TmoPend.Remove(t);
            m_TmoHash.Remove(&t->hash);
            expired.PushTail(t);
        }
        t = n;
    }
    while (TMO_S* x = expired.PopHead()) {
        u32 uObject = x->uObject, uHandle = x->uHandle;
        x->uStamp = uNow;
        m_TmoCache.PushTail(x);
        OBJ_S* o = ObjGet(uObject);
        if (IQVClass* c = ObjClass(o))
            c->OnExtReply(o->uInst, QV_NODE_ERR_TIMEOUT, nullptr, 0, uHandle);
    }
}

void CQVNode::HndClean()
{
    {
        std::lock_guard<std::mutex> lk(m_HndMutex);
        for (CQVList<HND_S>* l : {&m_HndFree, &m_HndPend})
            while (HND_S* h = l->PopHead()) {
                qvByteBufFree(&h->pData);
                delete h;
            }
        m_uHndCount = 0;
        m_uHndPend = 0;
    }
    for (CQVList<RES_S>* l : {&m_ResQue, &m_ResFree})
        while (RES_S* r = l->PopHead())
            delete r;
    qvLogOut(3, "Node: clean, Free handle result");
    for (CQVList<TMO_S>* l : {&m_TmoPend, &m_TmoCache})
        while (TMO_S* t = l->PopHead()) {
            m_TmoHash.Remove(&t->hash);
            delete t;
        }
    m_TmoHash.Clean();
}

int CQVNodeClassProc::ObjRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uParam)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uObject);
    IQVClass* c = m_pNode->ObjClass(o);
    if (!c)
        return QV_NODE_ERR_NO_OBJECT;
    return c->OnRequest(o->uInst, uMethod, lpData, uSize, uParam);
}

int CQVNodeClassProc::ObjExtRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uHandle,
                                    u32 uParam, u32 uTextOnly)
{
    CQVNode& n = *m_pNode;
    CQVNode::OBJ_S* o = n.ObjGet(uObject);
    if ((!lpData && uSize) || !o)
        return 0;
    if (uSize > QV_NODE_HND_DATA_MAX) {
        qvLogOut(0, "Node: ObjExtRequest: Data too large, uObject=%u, uMethod=%u, uSize=%u", uObject, uMethod, uSize);
        return 0;
    }
    // A server short of handle records keeps the last quarter for the login methods of the
    // peer class's own object.
    if (n.m_uSide) {
        u32 uPend = 0;
        {
            std::lock_guard<std::mutex> lk(n.m_HndMutex);
            uPend = n.m_uHndPend;
        }
        u32 uFree = n.m_uHndMax > uPend ? n.m_uHndMax - uPend : 0;
        if (uFree * 4 < n.m_uHndMax &&
            !(uObject == n.m_ClassPeer.GetSelf() &&
              (uMethod == 32 || uMethod == 33 || uMethod == 43 || uMethod == 44)))
            return 0;
    }
    if (o->pProc) {
        int r = o->pProc->OnExtRequest(uObject, uMethod, lpData, uSize, uHandle, uParam);
        if (r >= 0 && uHandle)
            n.HndResultAdd(uObject, uHandle, (u32)r);
        return r <= 0 ? 1 : 0;
    }
    CQVNode::HND_S* h = n.HndTake();
    if (!h) {
        qvLogOut(0, "Node: ObjExtRequest: No free handle unit, uObject=%u, uMethod=%u, uHandle=%u", uObject, uMethod,
                 uHandle);
        return 0;
    }
    if (!n.HndFill(h, lpData, uSize, uTextOnly)) {
        qvLogOut(0, "Node: ObjExtRequest: ReAlloc data failed");
        n.HndGive(h);
        return 0;
    }
    h->uKind = CQVNode::HND_REQUEST;
    h->uObject = uObject;
    h->uValue = uMethod;
    h->uHandle = uHandle;
    h->uParam = uParam;
    {
        std::lock_guard<std::mutex> lk(n.m_HndMutex);
        n.m_HndPend.PushTail(h);
        n.m_uHndPend++;
    }
    n.DispRaise(QV_NODE_DISP_HANDLE);
    return 1;
}

int CQVNodeClassProc::ObjReply(u32 uObject, u32 uError, const void* lpData, u32 uSize, u32 uParam, u32 uTextOnly)
{
    CQVNode& n = *m_pNode;
    CQVNode::OBJ_S* o = n.ObjGet(uObject);
    if ((!lpData && uSize) || !o)
        return 0;
    if (uSize > QV_NODE_HND_DATA_MAX) {
        qvLogOut(0, "Node: ObjReply: Data too large, uObject=%u, uErrCode=%u, uSize=%u", uObject, uError, uSize);
        return 0;
    }
    if (o->pProc) {
        o->pProc->OnReply(uObject, uError, lpData, uTextOnly ? 0 : uSize, uParam);
        return 1;
    }
    CQVNode::HND_S* h = n.HndTake();
    if (!h) {
        qvLogOut(0, "Node: ObjReply: No free handle unit, uObject=%u, uErrCode=%u, uParam=%u", uObject, uError, uParam);
        return 0;
    }
    if (!n.HndFill(h, lpData, uSize, uTextOnly)) {
        qvLogOut(0, "Node: ObjReply: ReAlloc data failed");
        n.HndGive(h);
        return 0;
    }
    h->uKind = CQVNode::HND_REPLY;
    h->uObject = uObject;
    h->uValue = uError;
    h->uHandle = 0;
    h->uParam = uParam;
    {
        std::lock_guard<std::mutex> lk(n.m_HndMutex);
        n.m_HndPend.PushTail(h);
        n.m_uHndPend++;
    }
    n.DispRaise(QV_NODE_DISP_HANDLE);
    return 1;
}

int CQVNodeClassProc::ObjExtReply(u32 uObject, u32 uError, const void* lpData, u32 uSize, u32 uHandle)
{
    CQVNode& n = *m_pNode;
    if (n.m_Cfg.uRequestTimeout && uHandle)
        n.HndResTimeoutRemove(uObject, uHandle);
    CQVNode::OBJ_S* o = n.ObjGet(uObject);
    IQVClass* c = n.ObjClass(o);
    if (!c)
        return QV_NODE_ERR_NO_OBJECT;
    return c->OnExtReply(o->uInst, uError, lpData, uSize, uHandle);
}

int CQVNodeClassProc::ObjGetReply(u32, u32*, void*, u32*, u32)
{
    return 0;
}
