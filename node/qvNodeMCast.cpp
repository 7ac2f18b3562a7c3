// Multicast units: one message of an object to a set of peers, with a result per peer that
// acknowledgements, give-ups and the unit's time-out complete (qvNodeDisp.cpp).
#include <cstring>
#include <new>

#include "qvLog.h"
#include "qvNode.h"

namespace {

const u32 kPeerStep = 16;
// Buffers of units up to this many peers stay with the unit for its next use.
const u32 kKeepPeers = 4;
// A time-out above this many seconds does not fit in timer passes: no time-out.
const u32 kSecondsMax = 429496728;

}  // namespace

u32 CQVNode::MCastPeerReserve(MCAST_S* m, u32 uCount)
{
    if (uCount <= m->uPeerCap)
        return 1;
    u32 uCap = (uCount + kPeerStep - 1) / kPeerStep * kPeerStep;
    u32* p = new (std::nothrow) u32[uCap]();
    if (!p)
        return 0;
    if (m->pPeers && m->uPeerCount)
        std::memcpy(p, m->pPeers, m->uPeerCount * sizeof(u32));
    delete[] m->pPeers;
    m->pPeers = p;
    m->uPeerCap = uCap;
    return 1;
}

u32 CQVNode::MCastResSize(MCAST_S* m, u32 uCount)
{
    if (uCount != m->uResCap) {
        delete[] m->pRes;
        m->pRes = nullptr;
        m->uResCap = 0;
        if (uCount) {
            m->pRes = new (std::nothrow) QV_MCAST_RES_S[uCount];
            if (!m->pRes)
                return 0;
            m->uResCap = (u16)uCount;
        }
    }
    if (m->pRes)
        std::memset(m->pRes, 0, m->uResCap * sizeof(QV_MCAST_RES_S));
    return 1;
}

// Fills the unit's peer list for its owner by the selection rules; 0 when there is nothing
// the owner may send to or memory runs out.
u32 CQVNode::MCastSelect(MCAST_S* m, u32* lpuPeers, u32 uCount, u32 uMode)
{
    OBJ_S* o = ObjGet(m->uObject);
    if (!o)
        return 0;
    if (uCount > 0xFFFF)
        uCount = 0xFFFF;
    OBJ_S* g = ObjGet(o->uGroup);
    u32 uGroupIsGroup = g && g->uClass == QV_CLASS_GROUP;
    u32 uGroupIsPeer = g && g->uClass == QV_CLASS_PEER;
    // The members of a group-class object (group inst), into the unit's peer list.
    auto Members = [&](u32 uInst, u32 uKeep, u32 uFilter) -> u32 {
        u32 uAll = 0;
        m_ClassGroup.GetPeer(uInst, nullptr, &uAll);
        if (!MCastPeerReserve(m, uAll ? uAll : 1))
            return 0;
        u32 n = uAll;
        m_ClassGroup.GetPeer(uInst, m->pPeers, &n);
        if (n > uAll)
            n = uAll;
        u32 k = 0;
        for (u32 i = 0; i < n; i++) {
            if (uFilter) {
                u32 uIn = 0;
                for (u32 j = 0; j < uCount && !uIn; j++)
                    uIn = lpuPeers[j] == m->pPeers[i];
                if ((uIn != 0) != (uKeep != 0))
                    continue;
            }
            m->pPeers[k++] = m->pPeers[i];
        }
        m->uPeerCount = (u16)(k > 0xFFFF ? 0xFFFF : k);
        return 1;
    };
    m->uPeerCount = 0;
    if (lpuPeers && uCount) {
        if (uGroupIsGroup && (uMode == 1 || uMode == 2)) {
            m->uMode = (u8)uMode;
            return Members(g->uInst, uMode == 1, 1);
        }
        if (!MCastPeerReserve(m, uCount))
            return 0;
        std::memcpy(m->pPeers, lpuPeers, uCount * sizeof(u32));
        m->uPeerCount = (u16)uCount;
        m->uMode = (u8)(uGroupIsGroup ? uMode : 0);
        return 1;
    }
    m->uMode = 255;
    if (uGroupIsGroup)
        return Members(g->uInst, 1, 0);
    if (uGroupIsPeer || o->uClass == QV_CLASS_PEER) {
        if (!MCastPeerReserve(m, 1))
            return 0;
        m->pPeers[0] = uGroupIsPeer ? o->uGroup : m->uObject;
        m->uPeerCount = 1;
        return 1;
    }
    if (o->uClass == QV_CLASS_GROUP)
        return Members(o->uInst, 1, 0);
    return 0;
}

void CQVNode::MCastFreeUnit(MCAST_S* m)
{
    if (m->uResCap > kKeepPeers || m->uPeerCap > kPeerStep) {
        delete[] m->pRes;
        delete[] m->pPeers;
        m->pRes = nullptr;
        m->pPeers = nullptr;
        m->uResCap = 0;
        m->uPeerCap = 0;
    }
    m->uPeerCount = 0;
    if (OBJ_S* o = m_ObjTable.At(qvHandleIndex(m->uObject)))
        o->units.Remove(m);
    m_MCastTmo.Remove(m);
    m->uObject = 0;
    m->uCount = 0;
    m_MCast.Free(m);   // leaves the allocated list, new cookie, to the free list's tail
}

void CQVNode::ObjFreeUnits(OBJ_S* o)
{
    while (MCAST_S* m = o->units.Head())
        MCastFreeUnit(m);
}

void CQVNode::MCastClean()
{
    for (u32 i = 0; i < m_MCast.Count(); i++) {
        MCAST_S* m = m_MCast.At(i);
        delete[] m->pRes;
        delete[] m->pPeers;
        m->pRes = nullptr;
        m->pPeers = nullptr;
    }
    m_MCastAlloc.Reset();
    m_MCastTmo.Reset();
    m_MCast.Clean();
    m_TmpUnits.clear();
    m_TmpUnits.shrink_to_fit();
}

u32 CQVNodeClassProc::MCastAlloc(u32 uObject, u32 uMethod, u32 uPrio, u32* lpuPeers, u32 uCount, u32 uMode,
                                 u32 uSeconds, u32 uParam)
{
    CQVNode& n = *m_pNode;
    CQVNode::MCAST_S* m = n.m_MCast.Alloc();
    if (!m) {
        qvLogOut(0, "Node: Alloc mcast: No free mcast unit!");
        return 0;
    }
    CQVNode::OBJ_S* o = n.ObjGet(uObject);
    m->uObject = uObject;
    if (!o || !n.MCastSelect(m, lpuPeers, uCount, uMode)) {
        qvLogOut(0, "Node: Alloc mcast: Attach object failed!");
        m->uObject = 0;
        m->uPeerCount = 0;
        n.m_MCast.Free(m);
        return 0;
    }
    if (!n.MCastResSize(m, m->uPeerCount)) {
        qvLogOut(0, "Node: Alloc mcast: Attach result list failed!");
        m->uObject = 0;
        m->uPeerCount = 0;
        n.m_MCast.Free(m);
        return 0;
    }
    m->uAnswer = 0;
    m->uMethod = (u16)uMethod;
    m->uPrio = (u8)uPrio;
    m->uLimit = uSeconds > kSecondsMax ? 0xFFFFFFFF : uSeconds * 10;
    m->uCount = 0;
    m->uParam = uParam;
    n.m_MCastAlloc.PushTail(m);
    o->units.PushTail(m);
    return n.m_MCast.Handle(m);
}

void CQVNodeClassProc::MCastFree(u32 uUnit)
{
    if (CQVNode::MCAST_S* m = m_pNode->MCastGet(uUnit))
        m_pNode->MCastFreeUnit(m);
}

bool CQVNodeClassProc::ObjCleanMCast(u32 uObject)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uObject);
    if (!o)
        return false;
    m_pNode->ObjFreeUnits(o);
    return true;
}

int CQVNodeClassProc::MCastSend(u32 uUnit, u32 uFlag, const void* lpData, u32 uSize, u32 uPeer, u32 uFlags)
{
    CQVNode& n = *m_pNode;
    CQVNode::MCAST_S* m = n.MCastGet(uUnit);
    if (!m) {
        qvPrintf("CQVNode::MCastSend: Multicast handle invalid. uMCast=%u", uUnit);
        qvLogOut(1, "Node:MCastSend: Multicast handle invalid. uMCast=%u", uUnit);
        return -1;
    }
    CQVNode::OBJ_S* o = n.ObjGet(m->uObject);
    if (!o) {
        qvPrintf("CQVNode::MCastSend: Object index invalid. uObject=%u", m->uObject);
        qvLogOut(1, "Node:MCastSend: Object index invalid. uObject=%u", m->uObject);
        return -1;
    }
    m->uCount = 0;
    u32 uSendFlags = uFlags;
    if (o->uOption0 & QV_OBJ_OPT_ENCRYPT)
        uSendFlags |= QV_SOCK_SEND_ENCRYPT;
    if (o->uOption0 & QV_OBJ_OPT_HFLAG)
        uSendFlags |= QV_SOCK_SEND_HFLAG;
    u32 uNoResult = (uFlags & 0x04) ? 1 : 0;
    CQVClassPeer& peers = n.m_ClassPeer;
    u32 uTargets = uPeer ? 1 : m->uPeerCount;
    u32 uFail = 0, uOk = 0;
    for (u32 t = 0; t < uTargets; t++) {
        u32 uTarget = uPeer ? uPeer : m->pPeers[t];
        u32 uInst = 0;
        if (!n.PeerInst(uTarget, &uInst))
            continue;
        const CQVClassPeer::PEER_S* p = peers.PeerAt(uInst);
        if (!p || !p->uStatus)
            continue;
        if (peers.GetAuthOption() && o->uClass > QV_CLASS_GROUP && p->uAuthState != 4)
            continue;
        if (!(p->uSendClassMask & (1u << o->uClass)))
            continue;
        QV_SK_BUF_S b;
        std::memset(&b, 0, sizeof(b));
        b.uHandle = uUnit;
        b.uObject = n.PeerIDGet(o, uTarget);
        b.uMethod = m->uMethod;
        b.uFlag = (u16)uFlag;
        b.uPrio = m->uPrio;
        b.uHandle2 = m->uParam;
        b.uSize = uSize;
        b.lpData = static_cast<u8*>(const_cast<void*>(lpData));
        s32 r = peers.Send(uInst, b, uSendFlags, uNoResult, m->uObject);
        // The send may have freed the unit through the peer class's callbacks.
        m = n.MCastGet(uUnit);
        if (!m)
            return r > 0 ? (int)uFail : (int)uFail + 1;
        if (r > 0)
            uOk++;
        else
            uFail++;
        if (uNoResult)
            continue;
        u32 i = t;
        if (uPeer) {
            i = 0xFFFFFFFF;
            for (u32 k = 0; k < m->uPeerCount; k++)
                if (m->pPeers[k] == uPeer) {
                    i = k;
                    break;
                }
        }
        if (i < m->uResCap) {
            m->pRes[i].iResult = r;
            if (r > 0) {
                m->pRes[i].uValue = b.uRemain;
                m->pRes[i].uSent += uSize;
            }
        }
    }
    if (uNoResult)
        return (uOk || uFail) ? (int)uFail : -1;
    u32 uPeersOf = m->uPeerCount;
    m->uAnswer = (u16)(uPeersOf > uOk ? uPeersOf - uOk : 0);
    // A unit with a time-out runs it from every try, also one that went nowhere: a class may
    // keep a refused unit to try again (a peer's queue is full for a while), and one that is
    // never tried again still ends.
    if (m->uLimit != 0xFFFFFFFF && !n.m_MCastTmo.Contains(m))
        n.m_MCastTmo.PushTail(m);
    if (!uOk)
        return uFail ? (int)uFail : -1;
    return (int)uFail;
}

bool CQVNodeClassProc::MCastSetPeer(u32 uUnit, u32* lpuPeers, u32 uCount, u32 uMode)
{
    CQVNode& n = *m_pNode;
    CQVNode::MCAST_S* m = n.MCastGet(uUnit);
    if (!m || m->uMode != 0)
        return false;
    if (!n.MCastSelect(m, lpuPeers, uCount, uMode))
        return false;
    return n.MCastResSize(m, m->uPeerCount) != 0;
}

void CQVNodeClassProc::MCastReset(u32 uUnit, u32 uFlag)
{
    CQVNode::MCAST_S* m = m_pNode->MCastGet(uUnit);
    if (!m || uFlag)
        return;
    if (m->pRes)
        std::memset(m->pRes, 0, m->uResCap * sizeof(QV_MCAST_RES_S));
    m_pNode->m_MCastTmo.Remove(m);
}

u32 CQVNodeClassProc::MCastGetNext(u32 uUnit, u32 uBackward)
{
    CQVNode::MCAST_S* m = m_pNode->MCastGet(uUnit);
    if (!m)
        return 0;
    CQVNode::MCAST_S* x = uBackward ? CQVNode::MCAST_OBJ_LIST::Prev(m) : CQVNode::MCAST_OBJ_LIST::Next(m);
    return x ? m_pNode->m_MCast.Handle(x) : 0;
}

bool CQVNodeClassProc::MCastGetPeer(u32 uUnit, u32* lpuPeers, u32* lpuCount)
{
    CQVNode::MCAST_S* m = m_pNode->MCastGet(uUnit);
    if (!m || !lpuPeers || !lpuCount)
        return false;
    u32 n = *lpuCount < m->uPeerCount ? *lpuCount : m->uPeerCount;
    if (n)
        std::memcpy(lpuPeers, m->pPeers, n * sizeof(u32));
    *lpuCount = n;
    return n != 0;
}

bool CQVNodeClassProc::MCastGetRes(u32 uUnit, u32* lpuPeers, QV_MCAST_RES_S* lpRes, u32* lpuCount, u32 uMode)
{
    CQVNode::MCAST_S* m = m_pNode->MCastGet(uUnit);
    if (!m || !lpuPeers || !lpRes || !lpuCount)
        return false;
    if (uMode == 0) {
        for (u32 i = 0; i < *lpuCount; i++) {
            std::memset(&lpRes[i], 0, sizeof(lpRes[i]));
            for (u32 k = 0; k < m->uPeerCount && k < m->uResCap; k++)
                if (m->pPeers[k] == lpuPeers[i]) {
                    lpRes[i] = m->pRes[k];
                    break;
                }
        }
        return true;
    }
    u32 n = 0;
    for (u32 k = 0; k < m->uPeerCount && k < m->uResCap && n < *lpuCount; k++)
        if (m->pRes[k].iResult < 1) {
            lpuPeers[n] = m->pPeers[k];
            lpRes[n] = m->pRes[k];
            n++;
        }
    *lpuCount = n;
    return true;
}

bool CQVNodeClassProc::MCastGetInfo(u32 uUnit, u32* lpuObject, u32* lpuMethod, u32* lpuInst, u32* lpuPrio,
                                    u32* lpuParam)
{
    CQVNode::MCAST_S* m = m_pNode->MCastGet(uUnit);
    if (!m)
        return false;
    CQVNode::OBJ_S* o = m_pNode->ObjGet(m->uObject);
    if (lpuObject)
        *lpuObject = m->uObject;
    if (lpuMethod)
        *lpuMethod = m->uMethod;
    if (lpuInst)
        *lpuInst = o ? o->uInst : 0xFFFFFFFF;
    if (lpuPrio)
        *lpuPrio = m->uPrio;
    if (lpuParam)
        *lpuParam = m->uParam;
    return true;
}
