// Node objects: adding, deleting, groups, synchronisation requests, the per-object lists of
// the IDs remote peers use for an object, the group cache and the object reads of the class
// services. Everything here runs under the node lock (the owner's calls take it, classes are
// called with it held).
#include <cstring>
#include <new>

#include "qvLog.h"
#include "qvNode.h"

namespace {

// Entries of a mode-1 list: {remote ID, flags, peer handle}; of a mode-2 array: {ID, flags}.
const u32 kListWords = 3;
const u32 kArrayWords = 2;
const u32 kListMax = 32;

}  // namespace

CQVNode::OBJ_S* CQVNode::ObjGet(u32 uObject) const
{
    if (!uObject)
        return nullptr;
    OBJ_S* o = m_ObjTable.Find(uObject);
    return (o && o->uClass < QV_CLASS_MAX) ? o : nullptr;
}

IQVClass* CQVNode::ObjClass(const OBJ_S* o) const
{
    if (!o || o->uClass >= QV_CLASS_MAX || !m_Class[o->uClass].uInit)
        return nullptr;
    return m_Class[o->uClass].p;
}

u32 CQVNode::PeerInst(u32 uPeer, u32* lpuInst) const
{
    OBJ_S* o = ObjGet(uPeer);
    if (!o || o->uClass != QV_CLASS_PEER)
        return 0;
    if (lpuInst)
        *lpuInst = o->uInst;
    return 1;
}

void CQVNode::ObjFreeIDs(OBJ_S* o)
{
    delete[] o->pIDs;
    o->pIDs = nullptr;
    o->aOne[0] = o->aOne[1] = 0;
    o->uListLen = 0;
}

// Checks a group handle for an object of class uClass. 1 with the group's class and instance
// when it may be the group; 0 when it is refused; 2 when it names no object (no group).
u32 CQVNode::ObjGroupCheck(u32 uGroup, u32 uClass, u32* lpuGroupClass, u32* lpuGroupInst)
{
    OBJ_S* g = ObjGet(uGroup);
    if (!g)
        return 2;
    if (g->uClass == QV_CLASS_PEER) {
        const CQVClassPeer::PEER_S* p = m_ClassPeer.PeerAt(g->uInst);
        if (!p || !p->uStatus || (p->uFlags & QV_PEER_FLAG_NOGROUP))
            return 0;
    } else if (g->uClass != QV_CLASS_GROUP || uClass == QV_CLASS_GROUP) {
        return 0;
    }
    *lpuGroupClass = g->uClass;
    *lpuGroupInst = g->uInst;
    return 1;
}

u32 CQVNode::ObjAttach(OBJ_S* o, u32 uGroupClass, u32 uGroupInst)
{
    if (uGroupClass == QV_CLASS_PEER)
        return m_ClassPeer.AttachObj(uGroupInst, &o->node);
    return m_ClassGroup.AttachObj(uGroupInst, &o->node);
}

void CQVNode::ObjDetach(OBJ_S* o)
{
    OBJ_S* g = ObjGet(o->uGroup);
    if (!g)
        return;
    if (g->uClass == QV_CLASS_PEER)
        m_ClassPeer.DetachObj(g->uInst, &o->node);
    else if (g->uClass == QV_CLASS_GROUP)
        m_ClassGroup.DetachObj(g->uInst, &o->node);
}

u32 CQVNode::ObjAddProc(const char* lpszName, u32 uClass, u32 uGroup, u32 uFlags, IQVNodeProc* lpProc)
{
    // 1-2. Names are unique within the node.
    if (!lpszName || !lpszName[0])
        return 0;
    u32 uHash = qvNameHash(lpszName);
    OBJ_S* e = m_ObjHash.Find<OBJ_S>(uHash, [&](OBJ_S* x) { return x->name == lpszName; });
    if (e) {
        if (e->uClass == uClass)
            return ObjHandle(e);
        qvLogOut(0, "Node: Add object: Object name exist, but different class!");
        return 0;
    }
    // 3. A free record.
    OBJ_S* o = m_ObjTable.Alloc();
    if (!o) {
        qvLogOut(0, "Node: Add object: No free object unit!");
        return 0;
    }
    // 4. An attached class.
    if (uClass >= QV_CLASS_MAX || !m_Class[uClass].p || !m_Class[uClass].uInit) {
        qvLogOut(0, "Node: Add object: Invalid class!");
        m_ObjTable.Free(o);
        return 0;
    }
    // 5. The group.
    u32 uGroupClass = 0, uGroupInst = 0;
    u32 uGroupOk = uGroup ? ObjGroupCheck(uGroup, uClass, &uGroupClass, &uGroupInst) : 2;
    if (uGroupOk == 0) {
        OBJ_S* g = ObjGet(uGroup);
        if (g && g->uClass == QV_CLASS_GROUP && uClass == QV_CLASS_GROUP)
            qvLogOut(0, "Node: Add object: QV_CLASS_Group object can only attach to peer object as group!");
        else
            qvLogOut(0, "Node: Add object: Invalid group object class!");
        m_ObjTable.Free(o);
        return 0;
    }
    if (uGroupOk == 2)
        uGroup = 0;
    // 6. The class takes the object. The cookie is the table's fresh one.
    u32 uHandle = ObjHandle(o);
    u32 uInst = 0xFFFFFFFF;
    IQVClass* c = m_Class[uClass].p;
    if (!c->OnAdd(uHandle, uGroup, uFlags, &uInst)) {
        qvLogOut(0, "Node: Add object: Call class OnAdd failed, uClass=%u", uClass);
        m_ObjTable.Free(o);
        return 0;
    }
    // OnAdd may have deleted other objects (eviction); the group must still be there.
    if (uGroup && ObjGroupCheck(uGroup, uClass, &uGroupClass, &uGroupInst) != 1)
        uGroup = 0;
    // 7. Peer-ID storage.
    u32 uPeers = m_ClassPeer.GetTableSize();
    o->pIDs = nullptr;
    o->aOne[0] = o->aOne[1] = 0;
    o->uListLen = 0;
    if (uClass != QV_CLASS_PEER) {
        u32 n = uPeers < kListMax ? uPeers : kListMax;
        o->pIDs = new (std::nothrow) u32[n * kListWords]();
        o->uIDMode = 1;
        o->uListLen = (u16)n;
    } else if (uFlags & 1) {
        o->pIDs = new (std::nothrow) u32[uPeers * kArrayWords]();
        o->uIDMode = 2;
    } else {
        o->uIDMode = 0;
    }
    if (o->uIDMode != 0 && !o->pIDs) {
        qvLogOut(0, "Node: Add object: Alloc object list failed!");
        c->OnDelete(uInst);
        o->uIDMode = 3;
        m_ObjTable.Free(o);
        return 0;
    }
    // 8. The record.
    if (!o->name.assign(lpszName)) {
        qvLogOut(0, "Node: Add object: Assign object name failed!");
        c->OnDelete(uInst);
        ObjFreeIDs(o);
        o->uIDMode = 3;
        m_ObjTable.Free(o);
        return 0;
    }
    o->pProc = lpProc;
    o->uClass = (u16)uClass;
    o->uGroup = uGroup;
    o->uOption0 = uFlags;
    o->uOption1 = 0;
    o->uDispBits = 0;
    o->uInst = uInst;
    o->node.lpPrev = o->node.lpNext = nullptr;
    o->node.lpList = nullptr;
    m_ObjLive.PushTail(o);
    m_ObjHash.Add(&o->hash, o, uHash);
    if (o->uIDMode == 1 || o->uIDMode == 2)
        m_ObjPeerID.PushTail(o);
    m_Class[uClass].uObjCount++;
    // 9. Attach to the group.
    if (uGroup && !ObjAttach(o, uGroupClass, uGroupInst)) {
        o->uGroup = 0;
        ObjDeleteProc(uHandle);
        qvLogOut(0, uGroupClass == QV_CLASS_PEER ? "Node: Add object: Attach peer object failed!"
                                                  : "Node: Add object: Attach group object failed!");
        return 0;
    }
    // 10. Objects once attached to a peer of this name come back to it.
    if (uClass == QV_CLASS_PEER)
        GroupCacheReuse(uInst, uHandle, lpszName);
    // 11. Announce the object to its class.
    if (ObjGet(uHandle) == o)
        c->OnNotify(uInst, QV_NOTIFY_ADDED, 0, 0);
    return uHandle;
}

void CQVNode::ObjDeleteProc(u32 uObject)
{
    OBJ_S* o = ObjGet(uObject);
    IQVClass* c = ObjClass(o);
    if (!c)
        return;
    u32 uClass = o->uClass;
    u32 uInst = o->uInst;
    if (uClass != QV_CLASS_PEER) {
        c->OnNotify(uInst, QV_NOTIFY_DELETED, 0, 0);
        c->OnDelete(uInst);
        GroupCacheDelete(uObject);
    } else {
        QV_NODE_S* lpCursor = nullptr;
        u32 n = 0;
        // Bounded by the object table: a corrupt list can never loop for ever.
        while (u32 uAttached = m_ClassPeer.EnumNextObj(uInst, &lpCursor)) {
            GroupCacheAdd(uAttached, o->name.c_str());
            if (++n > m_ObjTable.Count())
                break;
        }
        c->OnNotify(uInst, QV_NOTIFY_DELETED, 0, 0);
        c->OnDelete(uInst);
        m_ClassPeer.SendSyncReport(uObject, 0, 0);
        if (uInst < m_ClassPeer.GetTableSize()) {
            for (OBJ_S* x = m_ObjPeerID.Head(); x; x = OBJ_PEERID_LIST::Next(x))
                PeerIDReset(x, uObject);
            m_ClassGroup.HelperPeerStatus(uObject, 0, 1);
        }
        GroupCacheDelete(uObject);
    }
    // The class callbacks above may have deleted the object themselves.
    if (ObjGet(uObject) != o)
        return;
    // An object of any class leaves the list of the group it is attached to.
    ObjDetach(o);
    // 3.
    if (m_Class[uClass].uObjCount)
        m_Class[uClass].uObjCount--;
    m_ObjDisp.Remove(o);
    m_ObjHash.Remove(&o->hash);
    m_ObjPeerID.Remove(o);
    // 4.
    ObjFreeUnits(o);
    // 5.
    ObjFreeIDs(o);
    o->uIDMode = 3;
    o->pProc = nullptr;
    o->name.clear();
    o->uClass = 0xFFFF;
    o->uGroup = 0;
    o->uDispBits = 0;
    o->uOption0 = o->uOption1 = 0;
    o->uInst = 0xFFFFFFFF;
    o->node.lpPrev = o->node.lpNext = nullptr;
    o->node.lpList = nullptr;
    m_ObjTable.Free(o);
}

u32 CQVNode::ObjSetGroupProc(u32 uObject, u32 uGroup)
{
    OBJ_S* o = ObjGet(uObject);
    if (!o)
        return 0;
    if (o->uGroup == uGroup)
        return 1;
    u32 uGroupClass = 0, uGroupInst = 0;
    if (uGroup && ObjGroupCheck(uGroup, o->uClass, &uGroupClass, &uGroupInst) != 1)
        return 0;
    u32 uOld = o->uGroup;
    ObjDetach(o);
    ObjFreeUnits(o);
    o->uGroup = uGroup;
    if (uGroup) {
        if (o->uClass == QV_CLASS_GROUP)
            m_ClassGroup.SetGroup(o->uInst, uGroup);
        if (!ObjAttach(o, uGroupClass, uGroupInst))
            o->uGroup = uOld;   // stays detached from both
    }
    return 1;
}

u32 CQVNode::ObjSyncProc(u32 uObject, u32 uPeer, u32 uStart)
{
    OBJ_S* o = ObjGet(uObject);
    if (!o)
        return 0;
    if (uStart) {
        u32 uRef = o->uClass == QV_CLASS_PEER ? uObject : uPeer;
        if (ObjGet(uRef))
            PeerIDReset(o, uRef);
        if (o->uClass != QV_CLASS_PEER)
            return m_ClassPeer.SendSyncReport(uObject, uPeer, uStart);
        return m_ClassPeer.ForceSync(o->uInst);
    }
    u32 uRes = m_ClassPeer.SendSyncReport(uObject, uPeer, 0);
    if (uRes && ObjGet(uObject) == o) {
        PeerIDReset(o, uPeer);
        m_ClassProc.ObjNotify(uObject, QV_NOTIFY_PEER_ID, uPeer, 0);
    }
    return uRes;
}

// Peer-ID lists.

u32 CQVNode::PeerIDSet(OBJ_S* o, u32 uPeer, u32 uRemoteID)
{
    u32 uPeerInst = 0;
    u32 uPeers = m_ClassPeer.GetTableSize();
    if (!uPeer || !PeerInst(uPeer, &uPeerInst) || uPeerInst >= uPeers)
        return 0;
    u32* e = nullptr;
    if (o->uIDMode == 0) {
        if (qvHandleIndex(uPeer) != m_ObjTable.IndexOf(o))
            return 0;
        e = o->aOne;
    } else if (o->uIDMode == 1) {
        u32* lpFree = nullptr;
        for (u32 i = 0; i < o->uListLen && !e; i++) {
            u32* x = o->pIDs + i * kListWords;
            if (x[2] == uPeer)
                e = x;
            else if (!x[2] && !lpFree)
                lpFree = x;
        }
        if (!e && lpFree) {
            e = lpFree;
            e[2] = uPeer;
        }
        if (!e) {
            // The list ran full: one slot per peer-table entry from now on.
            u32* a = new (std::nothrow) u32[uPeers * kArrayWords]();
            if (!a)
                return 0;
            for (u32 i = 0; i < o->uListLen; i++) {
                u32* x = o->pIDs + i * kListWords;
                u32 uInst = 0;
                if (x[2] && PeerInst(x[2], &uInst) && uInst < uPeers) {
                    a[uInst * kArrayWords] = x[0];
                    a[uInst * kArrayWords + 1] = x[1];
                }
            }
            delete[] o->pIDs;
            o->pIDs = a;
            o->uIDMode = 2;
            o->uListLen = 0;
            e = a + uPeerInst * kArrayWords;
        }
    } else if (o->uIDMode == 2) {
        e = o->pIDs + uPeerInst * kArrayWords;
    } else {
        return 0;
    }
    u32 uRet = (e[0] != uRemoteID || !(e[1] & 1)) ? 1 : 0;
    e[0] = uRemoteID;
    e[1] |= 1;
    qvLogOut(3, "Node: ObjPeerListSetObjID: sObject=%s, uPeer=%u, uObjPeer=%u, uIDMode=%u, uRet=%u",
             o->name.c_str(), uPeer, uRemoteID, o->uIDMode, uRet);
    return uRet;
}

u32 CQVNode::PeerIDGet(const OBJ_S* o, u32 uPeer) const
{
    u32 uPeerInst = 0;
    if (!uPeer || !PeerInst(uPeer, &uPeerInst) || uPeerInst >= m_ClassPeer.GetTableSize())
        return 0;
    if (o->uIDMode == 0)
        return qvHandleIndex(uPeer) == m_ObjTable.IndexOf(o) ? o->aOne[0] : 0;
    if (o->uIDMode == 1) {
        for (u32 i = 0; i < o->uListLen; i++)
            if (o->pIDs[i * kListWords + 2] == uPeer)
                return o->pIDs[i * kListWords];
        return 0;
    }
    if (o->uIDMode == 2)
        return o->pIDs[uPeerInst * kArrayWords];
    return 0;
}

u32 CQVNode::PeerIDReset(OBJ_S* o, u32 uPeer)
{
    u32 uPeerInst = 0;
    if (!uPeer || !PeerInst(uPeer, &uPeerInst) || uPeerInst >= m_ClassPeer.GetTableSize())
        return 0;
    u32* e = nullptr;
    if (o->uIDMode == 0) {
        if (qvHandleIndex(uPeer) == m_ObjTable.IndexOf(o))
            e = o->aOne;
    } else if (o->uIDMode == 1) {
        for (u32 i = 0; i < o->uListLen && !e; i++)
            if (o->pIDs[i * kListWords + 2] == uPeer)
                e = o->pIDs + i * kListWords;
    } else if (o->uIDMode == 2) {
        e = o->pIDs + uPeerInst * kArrayWords;
    }
    if (!e || (!e[0] && !e[1]))
        return 0;
    e[0] = e[1] = 0;
    return 1;
}

// Group cache.

void CQVNode::GroupCacheAdd(u32 uObject, const char* lpszName)
{
    u32 uHash = qvNameHash(lpszName);
    for (QV_HASH_LINK_S* l = m_GCacheHash.First(uHash); l; l = l->pNext) {
        GCACHE_S* g = static_cast<GCACHE_S*>(l->pOwner);
        if (g->uObject == uObject && g->name == lpszName)
            return;   // one entry per object and peer name is enough
    }
    if (m_GCache.Count() >= m_ObjTable.Count() * QV_NODE_GCACHE_PER_OBJ)
        return;
    GCACHE_S* g = new (std::nothrow) GCACHE_S();
    if (!g)
        return;
    if (!g->name.assign(lpszName) || !m_GCacheHash.Add(&g->hash, g, uHash)) {
        delete g;
        return;
    }
    g->uObject = uObject;
    m_GCache.PushTail(g);
    qvPrintf("CQVNode::GroupCacheAdd: uObjAttach=%u, lpszGrpName=%s", uObject, lpszName);
}

void CQVNode::GroupCacheReuse(u32 uPeerInst, u32 uPeer, const char* lpszName)
{
    qvPrintf("CQVNode::GroupCacheReuse: lpszGrpName=%s", lpszName);
    u32 uHash = qvNameHash(lpszName);
    for (QV_HASH_LINK_S* l = m_GCacheHash.First(uHash); l; l = l->pNext) {
        GCACHE_S* g = static_cast<GCACHE_S*>(l->pOwner);
        if (!(g->name == lpszName))
            continue;
        OBJ_S* o = ObjGet(g->uObject);
        // An object that meanwhile found another group keeps it.
        if (!o || o->uGroup || o->node.lpList)
            continue;
        o->uGroup = uPeer;
        if (o->uClass == QV_CLASS_GROUP)
            m_ClassGroup.SetGroup(o->uInst, uPeer);
        if (!m_ClassPeer.AttachObj(uPeerInst, &o->node))
            o->uGroup = 0;
        qvPrintf("CQVNode::GroupCacheReuse: uObjAttach=%u", g->uObject);
    }
}

void CQVNode::GroupCacheDelete(u32 uObject)
{
    GCACHE_S* g = m_GCache.Head();
    while (g) {
        GCACHE_S* n = CQVList<GCACHE_S>::Next(g);
        if (g->uObject == uObject) {
            m_GCache.Remove(g);
            m_GCacheHash.Remove(&g->hash);
            delete g;
        }
        g = n;
    }
}

void CQVNode::GroupCacheClean()
{
    while (GCACHE_S* g = m_GCache.PopHead()) {
        m_GCacheHash.Remove(&g->hash);
        delete g;
    }
    m_GCacheHash.Clean();
}

// Class services on objects.

u32 CQVNodeClassProc::ObjAdd(const char* lpszName, u32 uClass, u32 uGroup, u32 uFlags, IQVNodeProc* lpProc)
{
    return m_pNode->ObjAddProc(lpszName, uClass, uGroup, uFlags, lpProc);
}

void CQVNodeClassProc::ObjDelete(u32 uObject)
{
    m_pNode->ObjDeleteProc(uObject);
}

u32 CQVNodeClassProc::ObjSync(u32 uObject, u32 uPeer, u32 uStart)
{
    return m_pNode->ObjSyncProc(uObject, uPeer, uStart);
}

bool CQVNodeClassProc::ObjIsValid(u32 uObject)
{
    return m_pNode->ObjGet(uObject) != nullptr;
}

u32 CQVNodeClassProc::ObjGetID(const char* lpszName)
{
    if (!lpszName || !lpszName[0] || !m_pNode->m_ObjHash.m_uCount)
        return 0;
    CQVNode::OBJ_S* o = m_pNode->m_ObjHash.Find<CQVNode::OBJ_S>(
        qvNameHash(lpszName), [&](CQVNode::OBJ_S* x) { return x->name == lpszName; });
    return o ? m_pNode->ObjHandle(o) : 0;
}

bool CQVNodeClassProc::ObjGetName(u32 uObject, char* lpszBuf, u32 uSize)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uObject);
    if (!o || !lpszBuf || uSize <= o->name.length())
        return false;
    std::memcpy(lpszBuf, o->name.c_str(), o->name.length() + 1);
    return true;
}

bool CQVNodeClassProc::ObjGetSync(u32 uObject, u32 uPeer, u32* lpuKnown)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uObject);
    if (!o)
        return false;
    if (!uPeer && o->uClass == QV_CLASS_PEER)
        uPeer = uObject;
    u32 uInst = 0;
    if (!m_pNode->PeerInst(uPeer, &uInst))
        return false;
    u32 uKnown = uInst >= m_pNode->m_ClassPeer.GetTableSize() ? 1 : (m_pNode->PeerIDGet(o, uPeer) ? 1 : 0);
    if (lpuKnown)
        *lpuKnown = uKnown;
    return true;
}

bool CQVNodeClassProc::ObjGetInfo(u32 uObject, u32* lpuClass, u32* lpuGroup, u32* lpuInst, u32* lpuFirstUnit)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uObject);
    if (!o)
        return false;
    if (lpuClass)
        *lpuClass = o->uClass;
    if (lpuGroup)
        *lpuGroup = o->uGroup;
    if (lpuInst)
        *lpuInst = o->uInst;
    if (lpuFirstUnit)
        *lpuFirstUnit = o->units.Head() ? m_pNode->m_MCast.Handle(o->units.Head()) : 0;
    return true;
}

bool CQVNodeClassProc::ObjSetOption(u32 uObject, u32 uItem, u32 uValue)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uObject);
    if (!o || uItem > 1)
        return false;
    (uItem ? o->uOption1 : o->uOption0) = uValue;
    return true;
}

bool CQVNodeClassProc::ObjGetOption(u32 uObject, u32 uItem, u32* lpuValue)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uObject);
    if (!o || uItem > 1)
        return false;
    if (lpuValue)
        *lpuValue = uItem ? o->uOption1 : o->uOption0;
    return true;
}

bool CQVNodeClassProc::ObjSetObjIDModePart(u32 uObject)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uObject);
    if (!o)
        return false;
    if (o->uClass != QV_CLASS_PEER || o->uIDMode == 1)
        return true;
    u32 uPeers = m_pNode->m_ClassPeer.GetTableSize();
    u32 n = uPeers < kListMax ? uPeers : kListMax;
    u32* l = new (std::nothrow) u32[n * kListWords]();
    if (!l)
        return false;
    m_pNode->ObjFreeIDs(o);
    o->pIDs = l;
    o->uListLen = (u16)n;
    o->uIDMode = 1;
    m_pNode->m_ObjPeerID.PushTail(o);
    return true;
}

u32 CQVNodeClassProc::ObjGetObjIDByPeer(u32 uObject, u32 uPeer)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uObject);
    return o ? m_pNode->PeerIDGet(o, uPeer) : 0;
}

u32 CQVNodeClassProc::ObjSetName(u32 uObject, const char* lpszName)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uObject);
    if (!o || !lpszName || !lpszName[0])
        return 0;
    QV_STRING s;
    if (!s.assign(lpszName))
        return 0;
    m_pNode->m_ObjHash.Remove(&o->hash);
    o->name = std::move(s);
    m_pNode->m_ObjHash.Add(&o->hash, o, qvNameHash(lpszName));
    return 1;
}

u32 CQVNodeClassProc::ObjGetByNode(const QV_NODE_S* lpNode)
{
    CQVNode::OBJ_S* first = m_pNode->m_ObjTable.At(0);
    if (!lpNode || !first)
        return 0;
    const char* p = reinterpret_cast<const char*>(lpNode);
    const char* b = reinterpret_cast<const char*>(&first->node);
    if (p < b)
        return 0;
    size_t d = (size_t)(p - b);
    if (d % sizeof(CQVNode::OBJ_S))
        return 0;
    size_t uIndex = d / sizeof(CQVNode::OBJ_S);
    CQVNode::OBJ_S* o = m_pNode->m_ObjTable.At((u32)uIndex);
    if (!o || o->uClass >= QV_CLASS_MAX)
        return 0;
    return m_pNode->ObjHandle(o);
}

u32 CQVNodeClassProc::ObjDetachGroup(QV_NODE_S* lpNode)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(ObjGetByNode(lpNode));
    if (!o)
        return 0;
    o->uGroup = 0;
    if (o->uIDMode == 0)
        o->aOne[0] = o->aOne[1] = 0;
    else if (o->uIDMode == 1)
        std::memset(o->pIDs, 0, o->uListLen * kListWords * sizeof(u32));
    else if (o->uIDMode == 2)
        std::memset(o->pIDs, 0, m_pNode->m_ClassPeer.GetTableSize() * kArrayWords * sizeof(u32));
    return 1;
}

u32 CQVNodeClassProc::ObjSetPeerID(u32 uObject, u32 uRemoteID, u32 uPeer)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uObject);
    if (!o)
        return 0;
    u32 uChanged = m_pNode->PeerIDSet(o, uPeer, uRemoteID);
    // Only a change is announced: the announcement of a peer's own ID sets off a round of
    // sync reports, which must not repeat for an ID that was already known.
    if (uChanged)
        ObjNotify(uObject, QV_NOTIFY_PEER_ID, uPeer, uRemoteID ? 1 : 0);
    return uChanged;
}

u32 CQVNodeClassProc::ObjResetPeerID(u32 uObject, u32 uPeer)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uObject);
    if (!o)
        return 0;
    u32 uChanged = m_pNode->PeerIDReset(o, uPeer);
    if (uChanged)
        ObjNotify(uObject, QV_NOTIFY_PEER_ID, uPeer, 0);
    return uChanged;
}

u32 CQVNodeClassProc::PeerCleanID(u32 uPeer, u32 uRemoteID)
{
    u32 uInst = 0;
    if (!m_pNode->PeerInst(uPeer, &uInst))
        return 0;
    // ID 0 is what every object without an ID reports: it names no object.
    if (uInst >= m_pNode->m_ClassPeer.GetTableSize() || !uRemoteID)
        return 1;
    for (CQVNode::OBJ_S* o = m_pNode->m_ObjLive.Head(); o; o = CQVNode::OBJ_LIST::Next(o)) {
        if (m_pNode->PeerIDGet(o, uPeer) != uRemoteID)
            continue;
        u32 uObject = m_pNode->ObjHandle(o);
        m_pNode->PeerIDReset(o, uPeer);
        m_pNode->m_ClassPeer.SendSyncReport(uObject, uPeer, 1);
        qvLogOut(2, "Node: PeerCleanID: sObj=%s, uObjLocal=%u, uObjPeer=%u, uPeer=%u", o->name.c_str(), uObject,
                 uRemoteID, uPeer);
        break;
    }
    return 1;
}

u32 CQVNodeClassProc::ObjMemberChange(QV_NODE_S*)
{
    // Units whose peers follow the group's members would be refreshed here; their peer list is
    // taken when they are allocated, so there is nothing to update.
    return 1;
}

u32 CQVNodeClassProc::ObjSetMaster(QV_NODE_S* lpNode, u32 uValue)
{
    u32 uObject = ObjGetByNode(lpNode);
    return uObject ? (ObjNotify(uObject, QV_NOTIFY_MASTER, uValue, 0) ? 1 : 0) : 0;
}
