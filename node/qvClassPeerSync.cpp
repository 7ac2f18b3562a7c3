// Peer class object synchronisation: sync reports and updates (each side learns the other's
// handle of every object they share), clock offsets from the reports' time stamps and the
// stamp messages, pending sends retried every second, the status query and the status notify.
#include <cstdio>
#include <cstring>
#include <new>

#include "qvClassPeer.h"
#include "qvLog.h"
#include "qvNode.h"
#include "qvSocket.h"

namespace {

const u32 kPendStep = 32;
// Sync updates kept for resending per peer at most: a peer that reports ever new names while
// its socket is full cannot grow the list without end.
const u32 kUpdatesMax = 256;
// A clock sample from an exchange longer than this (ms) is not used.
const u32 kStampTripMax = 500;
// An offset farther than this (ms) from a new sample is replaced by it.
const s32 kStampJump = 200;

}  // namespace

// Builds a sync report or update payload: object, two times, cookie, flags 1, object name,
// group name. Its length, or 0 when the names do not fit.
u32 CQVClassPeer::SyncBuild(u8* lpBuf, u32 uSize, u32 uObject, u32 uTime, u32 uTime2, u32 uCookie,
                            const char* lpszName, const char* lpszGroup)
{
    if (uSize < 32)
        return 0;
    std::memset(lpBuf, 0, 32);
    qvSkWr32(lpBuf, uObject);
    qvSkWr32(lpBuf + 4, uTime);
    qvSkWr32(lpBuf + 8, uTime2);
    qvSkWr32(lpBuf + 12, uCookie);
    qvSkWr16(lpBuf + 20, 1);
    u32 a = qvStrPush(lpBuf + 32, uSize - 32, lpszName);
    if (!a)
        return 0;
    u32 b = qvStrPush(lpBuf + 32 + a, uSize - 32 - a, lpszGroup);
    if (!b)
        return 0;
    return 32 + a + b;
}

// The local object that answers a peer's report of (name, group): the object of that name when
// its group is the one named (or this node itself, as the peer names it), else 0.
u32 CQVClassPeer::SyncLocalObject(const char* lpszName, const char* lpszGroup, u32* lpuClass)
{
    u32 uObject = m_pProc->ObjGetID(lpszName);
    if (!uObject)
        return 0;
    u32 uClass = 0xFFFF, uGroup = 0;
    m_pProc->ObjGetInfo(uObject, &uClass, &uGroup, nullptr, nullptr);
    if (lpuClass)
        *lpuClass = uClass;
    if (uClass > QV_CLASS_GROUP) {
        u32 uNamed = m_pProc->ObjGetID(lpszGroup);
        if (uNamed != uGroup && !(uNamed && uNamed == m_uSelf))
            return 0;
    }
    return uObject;
}

// Queues a sync message on the peer socket unless an equal one still waits there:
// 1 queued or already waiting, 0 refused (<= 0 from the socket in *lpiRet).
s32 CQVClassPeer::SyncSendRaw(PEER_S* p, u32 uMethod, u8* lpData, u32 uLen)
{
    QV_SK_BUF_S b;
    std::memset(&b, 0, sizeof(b));
    b.uMethod = (u16)uMethod;
    b.uSize = uLen;
    b.lpData = lpData;
    if (PendQueueFull(p))
        return -1;
    if (m_pSocket->SendFind(p->uSockID, b, 0, 4, 12) >= 0)
        return 0;   // equal message still queued
    s32 r = m_pSocket->Send(p->uSockID, b, 0);
    if (r == 0)
        PendRefused(p);
    return r > 0 ? r : (r == 0 ? -1 : r);
}

u32 CQVClassPeer::SendSyncReport(u32 uObject, u32 uPeer, u32 uStart)
{
    if (!m_uSelf || uObject == m_uSelf)
        return 1;
    u32 uClass = 0xFFFF, uGroup = 0, uInst = 0xFFFFFFFF;
    if (!m_pProc->ObjGetInfo(uObject, &uClass, &uGroup, &uInst, nullptr))
        return 1;
    u32 uTarget = uPeer;
    u32 uNeed = QV_PEER_STA_SYNC;
    if (uClass == QV_CLASS_PEER) {
        uTarget = uObject;
        PEER_S* e = Entry(uInst);
        if (e && e->uStatus && (e->uFlags & QV_PEER_FLAG_AGENT)) {
            uTarget = uPeer;
            if (!uTarget)
                return 1;
        } else if (e && e->uStatus && (e->uFlags & QV_PEER_FLAG_AGENTDEP)) {
            uTarget = e->uAgentObj;
            if (!uTarget)
                return 1;
        }
        uNeed = QV_PEER_STA_ADMITTED;
    } else if (uClass == QV_CLASS_GROUP) {
        if (!uTarget)
            uTarget = uGroup;
        if (!uTarget) {
            qvPrintf("CQVClassPeer::SendSyncReport, Group object, not attach to a group, don't send sync");
            return 1;
        }
    } else if (!uTarget) {
        u32 uGroupClass = 0xFFFF;
        if (!uGroup) {
            qvPrintf("CQVClassPeer::SendSyncReport, Other objectd, not special peer or not attach to a group, "
                     "don't send sync");
            return 1;
        }
        if (!m_pProc->ObjGetInfo(uGroup, &uGroupClass, nullptr, nullptr, nullptr) || uGroupClass != QV_CLASS_PEER) {
            qvPrintf("CQVClassPeer::SendSyncReport, Other objectd, group is not a peer, don't send sync");
            return 1;
        }
        uTarget = uGroup;
    }
    if (m_pProc->PeerGetStatus(uTarget) < uNeed)
        return 1;
    u32 uIndex = EntryOfObject(uTarget);
    PEER_S* p = EntryInUse(uIndex);
    char szPeer[QV_PEER_NAME_MAX];
    if (uTarget == m_uSelf || !p || !ObjName(uTarget, szPeer, sizeof(szPeer)) || !szPeer[0])
        return 1;
    if (PeerAddrNameIs(szPeer)) {
        qvPrintf("CQVClassPeer::SendSyncReport, PeerName is peer address name.");
        return 0;
    }
    char szObj[QV_PEER_NAME_MAX];
    char szGroup[QV_PEER_NAME_MAX];
    if (!ObjName(uObject, szObj, sizeof(szObj)) || !szObj[0])
        return 1;
    szGroup[0] = 0;
    if (uClass != QV_CLASS_PEER && uGroup)
        ObjName(uGroup, szGroup, sizeof(szGroup));
    u8 aBuf[QV_PEER_SYNC_MAX];
    u32 uNow = GET_TIMESTAMP();
    u32 uLen = SyncBuild(aBuf, sizeof(aBuf), uStart ? uObject : 0, uNow, 0, p->uCookieLcl, szObj, szGroup);
    if (!uLen)
        return 1;
    u32 uLevel = (m_uPrivSvr != 0xFFFFFF && Entry(m_uPrivSvr) && Entry(m_uPrivSvr)->uObject == uTarget) ? 1 : 2;
    u32 uLog = m_uPrivSvr != 0xFFFFFF;
    s32 r = SyncSendRaw(p, QV_PMSG_SYNC_REPORT, aBuf, uLen);
    if (r == 0) {
        if (uLog)
            qvLogOut(uLevel,
                     "ClassPeer: SendSyncReport: Pending in queue, szObj=%s, szGroup=%s, uObj=%u, uPeer=%u, "
                     "PeerName=%s, uAction=%u, sSelf=%s",
                     szObj, szGroup, uObject, uTarget, szPeer, uStart, "");
        return 1;
    }
    if (r < 1) {
        if (uLog)
            qvLogOut(uLevel, "ClassPeer: SendSyncReport: Send to socket failed. iRet=%d", r);
        return 0;
    }
    if (uLog)
        qvLogOut(uLevel,
                 "ClassPeer: SendSyncReport: szObj=%s, szGroup=%s, uObj=%u, uPeer=%u, PeerName=%s, uAction=%u, "
                 "uStamp=%u, sSelf=%s",
                 szObj, szGroup, uObject, uTarget, szPeer, uStart, uNow, "");
    return 1;
}

u32 CQVClassPeer::ForceSync(u32 uInst)
{
    PEER_S* p = EntryInUse(uInst);
    if (!p)
        return 0;
    if (p->uStatus == QV_PEER_STA_CREATED) {
        if (uInst == m_uPrivSvr || (p->uFlags & QV_PEER_FLAG_STATIC))
            return 0;
        return m_pProc->ObjDisp(p->uObject, QV_PEER_DISP_CONNECT) ? 1 : 0;
    }
    if (p->uStatus >= QV_PEER_STA_ADMITTED && !SendSyncReport(p->uObject, 0, 1))
        return m_pProc->ObjDisp(p->uObject, QV_PEER_DISP_CONNECT) ? 1 : 0;
    return 0;
}

u32 CQVClassPeer::SyncObjNotify(u32 uInst, u32 uP0, u32 uP1)
{
    PEER_S* p = EntryInUse(uInst);
    return p ? (m_pProc->ObjNotify(p->uObject, QV_PEER_NOTIFY_OBJSYNC, uP0, uP1) ? 1 : 0) : 0;
}

// Pending object table.

void CQVClassPeer::ObjSyncMark(PEER_S* p, u32 uObject, u32 uFlag)
{
    PEND_OBJ_S* lpFree = nullptr;
    for (u32 i = 0; i < p->uPendCap; i++) {
        PEND_OBJ_S& e = p->pPend[i];
        if (e.uObject == uObject) {
            if (!(e.uFlags & uFlag)) {
                e.uFlags |= uFlag;
                (uFlag == 0x10 ? p->uPend10 : p->uPend20)++;
            }
            return;
        }
        if (!e.uObject && !lpFree)
            lpFree = &e;
    }
    if (!lpFree) {
        if (p->uPendCap + kPendStep > 0xFFFF)
            return;
        u32 uCap = p->uPendCap + kPendStep;
        PEND_OBJ_S* a = new (std::nothrow) PEND_OBJ_S[uCap]();
        if (!a)
            return;
        if (p->pPend)
            std::memcpy(a, p->pPend, p->uPendCap * sizeof(PEND_OBJ_S));
        lpFree = a + p->uPendCap;
        delete[] p->pPend;
        p->pPend = a;
        p->uPendCap = (u16)uCap;
    }
    lpFree->uObject = uObject;
    lpFree->uFlags = uFlag;
    p->uPendUsed++;
    (uFlag == 0x10 ? p->uPend10 : p->uPend20)++;
}

void CQVClassPeer::ObjSyncDelete(PEER_S* p, u32 uElement, u32 uAction)
{
    if (uElement >= p->uPendCap)
        return;
    PEND_OBJ_S& e = p->pPend[uElement];
    u32 uFlag = uAction ? 0x10 : 0x20;
    if (!e.uObject || !(e.uFlags & uFlag))
        return;
    e.uFlags &= ~uFlag;
    u16& c = uAction ? p->uPend10 : p->uPend20;
    if (c)
        c--;
    if (!e.uFlags) {
        e.uObject = 0;
        if (p->uPendUsed)
            p->uPendUsed--;
    }
    if (!p->uPendUsed)
        PendObjClean(p);
}

void CQVClassPeer::PendObjClean(PEER_S* p)
{
    GoneDrop(p, 0);
    delete[] p->pPend;
    p->pPend = nullptr;
    p->uPendCap = p->uPendUsed = p->uPend10 = p->uPend20 = 0;
}

void CQVClassPeer::UpdatesClean(PEER_S* p)
{
    while (SYNC_UPD_S* u = p->updates.PopHead())
        delete u;
}

void CQVClassPeer::SendMaskAdd(u32 uIndex, u32 uBits)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p || !p->uObject || !uBits)
        return;
    p->uSendMask |= uBits;
    if (!m_PeerMask.Contains(p))
        m_PeerMask.PushTail(p);
}

void CQVClassPeer::SendMaskInst(u32 uIndex)
{
    // The pending sends of a peer go to one queue (priority 0) and run on every
    // acknowledgement: once the full queue refused one, the others would be refused too.
    struct Pass {
        CQVClassPeer& c;
        explicit Pass(CQVClassPeer& x) : c(x)
        {
            c.m_uPendPass = 1;
            c.m_uPendFull = 0;
        }
        ~Pass() { c.m_uPendPass = 0; }
    } pass(*this);
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    u32 uMask = p->uSendMask;
    if (uMask & QV_PEER_PEND_SELF) {
        if (SendSyncReport(p->uObject, 0, 1))
            uMask &= ~QV_PEER_PEND_SELF;
    }
    // Our report of the peer's object once more, two node seconds after the peer reported us
    // (in the usual order the peer's answer to the first one comes just after its report; an
    // entry in sync or no longer admitted has no use for it).
    if (uMask & QV_PEER_PEND_RESYNC) {
        if (p->uStatus != QV_PEER_STA_ADMITTED)
            uMask &= ~QV_PEER_PEND_RESYNC;
        else if (m_uTick - p->uResyncTick >= 2 && SendSyncReport(p->uObject, 0, 1))
            uMask &= ~QV_PEER_PEND_RESYNC;
    }
    if (uMask & QV_PEER_PEND_STATUS) {
        if (SendStatus(uIndex))
            uMask &= ~QV_PEER_PEND_STATUS;
    }
    if (!EntryInUse(uIndex))
        return;
    if (uMask & QV_PEER_PEND_UPDATE) {
        SYNC_UPD_S* u = p->updates.Head();
        while (u) {
            SYNC_UPD_S* n = SYNC_UPD_LIST::Next(u);
            // The handle as it is now: an answer that waited while the object was added (and
            // reported with its handle meanwhile) must not take that handle back at the peer.
            u32 uObject = u->uAsked ? SyncLocalObject(u->name.c_str(), u->group.c_str(), nullptr) : 0;
            if (SyncUpdateSend(uIndex, uObject, u->uEcho, u->uOwn, u->name.c_str(), u->group.c_str())) {
                p->updates.Remove(u);
                delete u;
            }
            u = n;
        }
        if (p->updates.Empty())
            uMask &= ~QV_PEER_PEND_UPDATE;
    }
    // Pending reports of attached objects: action 1 first, then action 0.
    const u32 aAction[2] = {1, 0};
    for (u32 uAction : aAction) {
        u32 uBit = uAction ? QV_PEER_PEND_OBJSET : QV_PEER_PEND_OBJCLR;
        u32 uFlag = uAction ? 0x10 : 0x20;
        if (!(uMask & uBit))
            continue;
        for (u32 i = 0; p->pPend && i < p->uPendCap; i++) {
            PEND_OBJ_S e = p->pPend[i];
            if (!e.uObject || !(e.uFlags & uFlag))
                continue;
            u32 uDone = uAction || m_pProc->ObjIsValid(e.uObject) ? SendSyncReport(e.uObject, p->uObject, uAction)
                                                                  : GoneSend(uIndex, e.uObject);
            if (!uDone)
                continue;
            if (!uAction)
                GoneDrop(p, e.uObject);
            ObjSyncDelete(p, i, uAction);
        }
        if (!p->pPend || !(uAction ? p->uPend10 : p->uPend20))
            uMask &= ~uBit;
    }
    if ((uMask & QV_PEER_PEND_BACKLOG) && SendBacklogRetry(uIndex))
        uMask &= ~QV_PEER_PEND_BACKLOG;
    if (!EntryInUse(uIndex))
        return;
    // What this node presents to the peer, when sending it failed before.
    if ((uMask & QV_PEER_PEND_AUTH) && AuthSendInfo(uIndex))
        uMask &= ~QV_PEER_PEND_AUTH;
    if (!p->uSendMask)
        return;
    p->uSendMask = uMask;
    if (!uMask)
        m_PeerMask.Remove(p);
}

// One object with one peer.
u32 CQVClassPeer::SyncOneObject(u32 uIndex, u32 uObject, u32 uAction)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p || !uObject)
        return 0;
    if (SendSyncReport(uObject, p->uObject, uAction)) {
        if (!uAction)
            m_pProc->ObjResetPeerID(uObject, p->uObject);
        return 1;
    }
    p = EntryInUse(uIndex);
    if (!p || !p->uObject)
        return 0;
    SendMaskAdd(uIndex, uAction ? QV_PEER_PEND_OBJSET : QV_PEER_PEND_OBJCLR);
    ObjSyncMark(p, uObject, uAction ? 0x10 : 0x20);
    if (!uAction)
        GoneKeep(p, uObject);
    return 0;
}

void CQVClassPeer::GoneKeep(PEER_S* p, u32 uObject)
{
    u32 uClass = 0xFFFF, uGroup = 0;
    if (!m_pProc->ObjGetInfo(uObject, &uClass, &uGroup, nullptr, nullptr) || uClass == QV_CLASS_PEER)
        return;
    for (SYNC_GONE_S* g = p->gone.Head(); g; g = SYNC_GONE_LIST::Next(g))
        if (g->uObject == uObject)
            return;
    char szObj[QV_PEER_NAME_MAX], szGroup[QV_PEER_NAME_MAX];
    szGroup[0] = 0;
    if (p->gone.Count() >= kUpdatesMax || !ObjName(uObject, szObj, sizeof(szObj)) || !szObj[0] ||
        (uGroup && !ObjName(uGroup, szGroup, sizeof(szGroup))))
        return;
    SYNC_GONE_S* g = new (std::nothrow) SYNC_GONE_S();
    if (g && g->name.assign(szObj) && g->group.assign(szGroup)) {
        g->uObject = uObject;
        p->gone.PushTail(g);
    } else {
        delete g;
    }
}

// The withdrawal of a deleted object, from its names: 1 sent or nothing to send, 0 refused.
u32 CQVClassPeer::GoneSend(u32 uIndex, u32 uObject)
{
    PEER_S* p = EntryInUse(uIndex);
    SYNC_GONE_S* g = p ? p->gone.Head() : nullptr;
    while (g && g->uObject != uObject)
        g = SYNC_GONE_LIST::Next(g);
    if (!g || m_pProc->PeerGetStatus(p->uObject) < QV_PEER_STA_SYNC)
        return 1;
    // An object of that name attached to the peer since: its own report tells the peer.
    u32 uGroup = 0;
    u32 uNow = m_pProc->ObjGetID(g->name.c_str());
    if (uNow && m_pProc->ObjGetInfo(uNow, nullptr, &uGroup, nullptr, nullptr) && uGroup == p->uObject)
        return 1;
    u8 aBuf[QV_PEER_SYNC_MAX];
    u32 uLen = SyncBuild(aBuf, sizeof(aBuf), 0, GET_TIMESTAMP(), 0, p->uCookieLcl, g->name.c_str(), g->group.c_str());
    return !uLen || SyncSendRaw(p, QV_PMSG_SYNC_REPORT, aBuf, uLen) >= 0 ? 1 : 0;
}

void CQVClassPeer::GoneDrop(PEER_S* p, u32 uObject)
{
    SYNC_GONE_S* g = p->gone.Head();
    while (g) {
        SYNC_GONE_S* n = SYNC_GONE_LIST::Next(g);
        if (!uObject || g->uObject == uObject) {
            p->gone.Remove(g);
            delete g;
        }
        g = n;
    }
}

void CQVClassPeer::SyncAllObject(u32 uIndex, u32 uAction)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    u32 uGuard = 0;
    for (QV_NODE_S* n = p->objs.pHead; n && uGuard < 0x10000; uGuard++) {
        QV_NODE_S* x = n->lpNext;
        SyncOneObject(uIndex, m_pProc->ObjGetByNode(n), uAction);
        if (!EntryInUse(uIndex))
            return;
        n = x;
    }
}

void CQVClassPeer::SyncPeerAndGroupObjects(u32 uIndex, u32 uAction)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p || (p->uFlags & QV_PEER_FLAG_NOGROUP))
        return;
    u32 uObject = p->uObject;
    SyncAllObject(uIndex, uAction);
    m_pProc->GroupPeerSync(uObject, uAction);
}

void CQVClassPeer::HelperSetPeerSync(u32 uIndex, u32 uSet)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    if (uSet) {
        HelperSetStatus(p, QV_PEER_STA_SYNC);
        SyncPeerAndGroupObjects(uIndex, 1);
        return;
    }
    SyncPeerAndGroupObjects(uIndex, 0);
    p = EntryInUse(uIndex);
    if (!p || (p->uFlags & QV_PEER_FLAG_AGENT))
        return;
    u32 uKeep = uIndex == m_uPrivSvr || (p->uFlags & (QV_PEER_FLAG_SERVER | QV_PEER_FLAG_STATIC));
    HelperSetStatus(p, uKeep ? QV_PEER_STA_ADMITTED : QV_PEER_STA_CREATED);
}

void CQVClassPeer::ExtRequestSync(u32 uIndex, u32 uObject, u32 uAction)
{
    PEER_S* p = EntryInUse(uIndex);
    u32 uOption = 0;
    if (!p || !m_pProc->ObjGetOption(uObject, 0, &uOption) || !(uOption & 0x10000))
        return;
    if (m_uClassOption) {
        char szText[32];
        snprintf(szText, sizeof(szText), "(Action){%u}", uAction);
        m_pProc->ObjExtRequest(uObject, 0, szText, (u32)strlen(szText), 0, p->uObject, 1);
    } else {
        m_pProc->ObjExtRequest(uObject, 0, &uAction, sizeof(uAction), 0, p->uObject, 0);
    }
    char szObj[QV_PEER_NAME_MAX], szPeer[QV_PEER_NAME_MAX];
    ObjName(uObject, szObj, sizeof(szObj));
    ObjName(p->uObject, szPeer, sizeof(szPeer));
    qvPrintf("CQVClassPeer::ExtRequestSync: szObj=%s, szPeer=%s, uAction=%u", szObj, szPeer, uAction);
}

void CQVClassPeer::NotifyObjectSync(u32 uIndex, u32 uObject, u32 uAction)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    if (!m_uSide && uAction)
        SendBacklogPop(uIndex, uObject);
    ExtRequestSync(uIndex, uObject, uAction);
    p = EntryInUse(uIndex);
    if (!p || uObject != p->uObject || (p->uFlags & QV_PEER_FLAG_NOGROUP))
        return;
    u32 uBit = uAction ? QV_PEER_PEND_OBJSET : QV_PEER_PEND_OBJCLR;
    for (PEER_S* d = p->deps.Head(); d; d = CQVList<PEER_S, &PEER_S::linkAgent>::Next(d)) {
        if (!(d->uFlags & QV_PEER_FLAG_AGENTDEP))
            continue;
        d->uSendMask &= ~uBit;
        if (!d->uSendMask)
            m_PeerMask.Remove(d);
        if (!SendSyncReport(d->uObject, 0, uAction))
            SendMaskAdd(IndexOf(d), uBit);
    }
}

u32 CQVClassPeer::SyncUpdateSend(u32 uIndex, u32 uObject, u32 uEcho, u32 uOwn, const char* lpszName,
                                 const char* lpszGroup)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 1;
    u8 aBuf[QV_PEER_SYNC_MAX];
    u32 uLen = SyncBuild(aBuf, sizeof(aBuf), uObject, uEcho, uOwn, p->uCookieLcl, lpszName, lpszGroup);
    if (!uLen)
        return 1;
    u32 uLog = m_uPrivSvr != 0xFFFFFF;
    u32 uLevel = uIndex == m_uPrivSvr ? 1 : 2;
    char szPeer[QV_PEER_NAME_MAX];
    ObjName(p->uObject, szPeer, sizeof(szPeer));
    s32 r = SyncSendRaw(p, QV_PMSG_SYNC_UPDATE, aBuf, uLen);
    if (r == 0) {
        if (uLog)
            qvLogOut(uLevel, "ClassPeer: SyncUpdateSend: Pending in queue, szObj=%s, szGroup=%s, uObj=%u, uPeer=%u, sSelf=%s",
                     lpszName, lpszGroup, uObject, p->uObject, "");
        return 1;
    }
    if (r < 1) {
        if (uLog)
            qvLogOut(uLevel, "ClassPeer: SyncUpdateSend failed, iRet=%d", r);
        return 0;
    }
    if (uLog)
        qvLogOut(uLevel,
                 "ClassPeer: SyncUpdateSend: szObj=%s, szGroup=%s, uObj=%u, uPeer=%u, PeerName=%s, uStamp=%u, sSelf=%s",
                 lpszName, lpszGroup, uObject, p->uObject, szPeer, uOwn, "");
    return 1;
}

void CQVClassPeer::SyncStampUpdate(u32 uIndex, u32 uEcho, u32 uPeerTime)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    u32 uTrip = GET_TIMESTAMP() - uEcho;
    if (uTrip > kStampTripMax)
        return;
    // The clocks wrap at 32 bits: their difference is taken as the nearest signed one. The
    // distance to the stored offset is taken in 64 bits, so that offsets of opposite signs far
    // apart cannot overflow into a small step.
    s32 iSample = (s32)(uEcho + uTrip / 2 - uPeerTime);
    s64 iDiff = (s64)iSample - (s64)p->iClockOffset;
    if (iDiff >= kStampJump || iDiff <= -kStampJump)
        p->iClockOffset = iSample;
    else
        p->iClockOffset += (s32)(iDiff >> 1);   // half the way, rounded down
}

// Cookie and state flags of a report or update from the peer; 1 when the server's cookie
// changed (its session restarted).
u32 CQVClassPeer::SyncCookieCheck(u32 uIndex, u32 uCookie, u32 uFlags)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 0;
    u32 uServerNew = uIndex == m_uPrivSvr && uCookie != p->uCookieRmt;
    if (m_uSide) {
        p->uCookieRmt = uCookie;
        return uServerNew;
    }
    if (uCookie != p->uCookieRmt) {
        p->uCookieRmt = uCookie;
        p->uStateFlags &= ~0x4u;
        if (m_uAuthOption)
            AuthStatusReset(uIndex);
    }
    p->uStateFlags |= 0x8;
    if (uFlags & 1)
        p->uStateFlags |= 0x4;
    return uServerNew;
}

void CQVClassPeer::RecvSyncReport(u32 uIndex, const tagQV_SK_BUF_S&, u32 uLen)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    u32 uUsed = 0, uNameLen = 0, uGroupLen = 0;
    const char* lpszName = qvStrPop(static_cast<const u8*>(m_pRecvBuf) + 32, uLen - 32, &uUsed, &uNameLen);
    const char* lpszGroup =
        lpszName ? qvStrPop(static_cast<const u8*>(m_pRecvBuf) + 32 + uUsed, uLen - 32 - uUsed, nullptr, &uGroupLen)
                 : nullptr;
    if (!lpszName || !lpszGroup || uNameLen > QV_PEER_NAME_MAX || uGroupLen > QV_PEER_NAME_MAX) {
        m_Stat.uMalformed++;
        return;
    }
    // Names are copied: the handlers below may receive into the buffer again.
    char szName[QV_PEER_NAME_MAX + 1], szGroup[QV_PEER_NAME_MAX + 1];
    std::memcpy(szName, lpszName, uNameLen + 1);
    std::memcpy(szGroup, lpszGroup, uGroupLen + 1);
    u32 uRemote = qvSkRd32(m_pRecvBuf);
    u32 uTime = qvSkRd32(m_pRecvBuf + 4);
    u32 uCookie = qvSkRd32(m_pRecvBuf + 12);
    u32 uFlags = qvSkRd16(m_pRecvBuf + 20);
    u32 uPeer = p->uObject;
    char szPeer[QV_PEER_NAME_MAX];
    ObjName(uPeer, szPeer, sizeof(szPeer));
    if (m_uPrivSvr != 0xFFFFFF)
        qvLogOut(uIndex == m_uPrivSvr ? 1 : 2,
                 "ClassPeer: RecvSyncReport: szObj=%s, szGroup=%s, uObj=%u, uPeer=%u, PeerName=%s, uStamp=%u, sSelf=%s",
                 szName, szGroup, uRemote, uPeer, szPeer, uTime, "");
    if (PeerAddrNameIs(szName))
        return;
    u32 uClass = 0xFFFF;
    u32 uObject = SyncLocalObject(szName, szGroup, &uClass);
    u32 uReply = 0;
    if (uObject) {
        if (m_pProc->ObjSetPeerID(uObject, uRemote, uPeer))
            m_pProc->ObjNotify(uPeer, QV_PEER_NOTIFY_OBJSYNC, uObject, uRemote ? 1 : 0);
        if (uClass == QV_CLASS_PEER && !uRemote)
            return;
        if (uRemote)
            uReply = uObject;
    }
    if (!EntryInUse(uIndex))
        return;
    // A new cookie from the server: its side of the session started afresh.
    if (SyncCookieCheck(uIndex, uCookie, uFlags) && !m_uSide)
        HelperLoginRestart(0);
    if (!(p = EntryInUse(uIndex)))
        return;
    // The peer reported its object for this node: it has taken our connection in. A report of
    // ours that it never answered (it came before that and was lost) would leave the entry
    // admitted but never in sync: unless the answer comes meanwhile, it goes again (Resync).
    if (!m_uSide && uRemote && uObject && uObject == m_uSelf && uIndex != m_uPrivSvr &&
        p->uStatus == QV_PEER_STA_ADMITTED &&
        !(p->uFlags & (QV_PEER_FLAG_SERVER | QV_PEER_FLAG_AGENT | QV_PEER_FLAG_AGENTDEP)) &&
        !(p->uSendMask & QV_PEER_PEND_RESYNC)) {
        p->uResyncTick = m_uTick;
        SendMaskAdd(uIndex, QV_PEER_PEND_RESYNC);
    }
    u32 uOwn = GET_TIMESTAMP();
    if (SyncUpdateSend(uIndex, uReply, uTime, uOwn, szName, szGroup) || !szName[0])
        return;
    p = EntryInUse(uIndex);
    if (!p)
        return;
    for (SYNC_UPD_S* u = p->updates.Head(); u; u = SYNC_UPD_LIST::Next(u))
        if (u->name == szName) {
            u->uAsked = uRemote ? 1 : 0;  // the answer goes to the latest report
            SendMaskAdd(uIndex, QV_PEER_PEND_UPDATE);
            return;
        }
    if (p->updates.Count() < kUpdatesMax) {
        SYNC_UPD_S* u = new (std::nothrow) SYNC_UPD_S();
        if (u && u->name.assign(szName) && u->group.assign(szGroup)) {
            u->uAsked = uRemote ? 1 : 0;
            u->uEcho = uTime;
            u->uOwn = uOwn;
            p->updates.PushTail(u);
        } else {
            delete u;
        }
    }
    SendMaskAdd(uIndex, QV_PEER_PEND_UPDATE);
}

void CQVClassPeer::RecvSyncUpdate(u32 uIndex, const tagQV_SK_BUF_S&, u32 uLen)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    u32 uUsed = 0, uNameLen = 0, uGroupLen = 0;
    const char* lpszName = qvStrPop(static_cast<const u8*>(m_pRecvBuf) + 32, uLen - 32, &uUsed, &uNameLen);
    const char* lpszGroup =
        lpszName ? qvStrPop(static_cast<const u8*>(m_pRecvBuf) + 32 + uUsed, uLen - 32 - uUsed, nullptr, &uGroupLen)
                 : nullptr;
    if (!lpszName || !lpszGroup || uNameLen >= QV_PEER_NAME_MAX || uGroupLen >= QV_PEER_NAME_MAX) {
        m_Stat.uMalformed++;
        return;
    }
    char szName[QV_PEER_NAME_MAX], szGroup[QV_PEER_NAME_MAX];
    std::memcpy(szName, lpszName, uNameLen + 1);
    std::memcpy(szGroup, lpszGroup, uGroupLen + 1);
    if (PeerAddrNameIs(szName))
        return;
    u32 uRemote = qvSkRd32(m_pRecvBuf);
    u32 uEcho = qvSkRd32(m_pRecvBuf + 4);
    u32 uPeerTime = qvSkRd32(m_pRecvBuf + 8);
    u32 uCookie = qvSkRd32(m_pRecvBuf + 12);
    u32 uFlags = qvSkRd16(m_pRecvBuf + 20);
    SyncStampUpdate(uIndex, uEcho, uPeerTime);
    if (SyncCookieCheck(uIndex, uCookie, uFlags) && !m_uSide)
        HelperLoginRestart(0);
    if (!(p = EntryInUse(uIndex)))
        return;
    // A peer that announced itself is asked for (or judged on) what it presents.
    if (!m_uSide && m_uAuthOption) {
        AuthCheckAccept(uIndex);
        if (!(p = EntryInUse(uIndex)))
            return;
    }
    u32 uPeer = p->uObject;
    if (m_uPrivSvr != 0xFFFFFF) {
        char szPeer[QV_PEER_NAME_MAX];
        ObjName(uPeer, szPeer, sizeof(szPeer));
        qvLogOut(uIndex == m_uPrivSvr ? 1 : 2,
                 "ClassPeer: RecvSyncUpdate: szObj=%s, szGroup=%s, uObj=%u, uPeer=%u, PeerName=%s, uStamp=%u, sSelf=%s",
                 szName, szGroup, uRemote, uPeer, szPeer, uPeerTime, "");
    }
    u32 uObject = m_pProc->ObjGetID(szName);
    if (uObject && m_pProc->ObjSetPeerID(uObject, uRemote, uPeer)) {
        m_pProc->ObjNotify(uPeer, QV_PEER_NOTIFY_OBJSYNC, uObject, uRemote ? 1 : 0);
    } else if (uObject && uObject == uPeer && uRemote && !m_uSide &&
               (uIndex == m_uPrivSvr || p->uStatus < QV_PEER_STA_SYNC)) {
        // The peer confirmed its own handle unchanged. The node announces only changes, but
        // the entry still has to learn of it: a peer brought back to status 2 (a new address,
        // a status refresh) is in sync again, and each answer of the server drives its login
        // (the login is sent on it) and its keep-alive.
        m_pProc->ObjNotify(uPeer, QV_NOTIFY_PEER_ID, uPeer, 1);
    }
}

u32 CQVClassPeer::SyncStampSend(u32 uInst)
{
    PEER_S* p = EntryInUse(uInst);
    if (!p)
        return 0;
    if (p->uStampSent && m_uTick - p->uStampSent < 10)
        return m_uTick - p->uStampSent;
    u8 aBuf[16];
    std::memset(aBuf, 0, sizeof(aBuf));
    qvSkWr32(aBuf, GET_TIMESTAMP());
    SendPeerMsg(p->uObject, 0, QV_PMSG_STAMP, 0, aBuf, sizeof(aBuf), 0);
    p->uStampSent = m_uTick;
    return 0;
}

void CQVClassPeer::RecvStamp(u32 uIndex, const tagQV_SK_BUF_S&, u32)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    u8 aBuf[16];
    std::memset(aBuf, 0, sizeof(aBuf));
    std::memcpy(aBuf, m_pRecvBuf, 4);
    qvSkWr32(aBuf + 4, GET_TIMESTAMP());
    SendPeerMsg(p->uObject, 0, QV_PMSG_STAMP_UPDATE, 0, aBuf, sizeof(aBuf), 0);
}

void CQVClassPeer::RecvStampUpdate(u32 uIndex, const tagQV_SK_BUF_S&, u32)
{
    SyncStampUpdate(uIndex, qvSkRd32(m_pRecvBuf), qvSkRd32(m_pRecvBuf + 4));
}

void CQVClassPeer::SendStatusNotify(u32 uIndex, u32 uMask)
{
    PEER_S* p = EntryInUse(uIndex);
    PEER_S* s = EntryInUse(m_uPrivSvr);
    char szName[QV_PEER_NAME_MAX];
    if (!p || !s || !ObjName(p->uObject, szName, sizeof(szName)))
        return;
    u8 aBuf[16 + 240];
    std::memset(aBuf, 0, 16);
    qvSkWr16(aBuf, uMask);
    u32 uStr = qvStrPush(aBuf + 16, sizeof(aBuf) - 16, szName);
    if (uStr)
        SendPeerMsg(s->uObject, 0, QV_PMSG_STATUS_NOTIFY, 0, aBuf, 16 + uStr, 0);
}

// Status query of a peer at the server (only while logged in; otherwise nothing to do: 1).
u32 CQVClassPeer::SendStatus(u32 uIndex)
{
    PEER_S* p = EntryInUse(uIndex);
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (m_uSide || !p || !s || uIndex == m_uPrivSvr || (p->uFlags & QV_PEER_FLAG_STATIC) || m_uLoginStatus != 3)
        return 1;
    char szName[QV_PEER_NAME_MAX];
    if (!ObjName(p->uObject, szName, sizeof(szName))) {
        qvLogOut(0, "ClassPeer: SendStatus: Get peer name failed. uPrivID=%u, uSockID=%u", uIndex, p->uSockID);
        return 1;
    }
    if (p->uStatusWaiter)
        m_pProc->WaiterFinish(p->uStatusWaiter, nullptr, nullptr);
    p->uStatusWaiter = 0;
    u32 uWaiter = m_pProc->WaiterAlloc(p->uObject, 5, 0, 0);
    if (!uWaiter) {
        qvLogOut(0, "ClassPeer: SendStatus: Alloc waiter failed. uPrivID=%u", uIndex);
        return 0;
    }
    u8 aBuf[16 + 4 + QV_PEER_NAME_MAX + 4];
    std::memset(aBuf, 0, 16);
    qvSkWr16(aBuf, (p->uFlags & QV_PEER_FLAG_STANOTIFY) ? 1 : 0);
    u32 uLen = 16 + qvStrPush(aBuf + 16, sizeof(aBuf) - 16, szName);
    u32 uSvr = s->uObject;
    u32 uUnit = m_pProc->MCastAlloc(uSvr, QV_PMSG_STATUS, 0, &uSvr, 1, 0, 3, uWaiter);
    if (!uUnit) {
        qvLogOut(0, "ClassPeer: SendStatus: MCast alloc failed. uPrivID=%u, Name=%s", uIndex, szName);
        m_pProc->WaiterFinish(uWaiter, nullptr, nullptr);
        return 0;
    }
    int r = m_pProc->MCastSend(uUnit, 0, aBuf, uLen, 0, 0);
    if (r != 0) {
        qvLogOut(0, "ClassPeer: SendStatus: MCast send failed. uPrivID=%u, Name=%s", uIndex, szName);
        m_pProc->MCastFree(uUnit);
        m_pProc->WaiterFinish(uWaiter, nullptr, nullptr);
        return 0;
    }
    if (PEER_S* q = EntryInUse(uIndex))
        q->uStatusWaiter = uWaiter;
    return 1;
}

// Type 29 from the server: a peer's status changed (bit 2) or it went off line (bit 3).
void CQVClassPeer::RecvStatusNotify(u32 uIndex, const tagQV_SK_BUF_S&, u32 uLen)
{
    u32 uUsed = 0, uNameLen = 0;
    const char* lpszName = qvStrPop(static_cast<const u8*>(m_pRecvBuf) + 16, uLen - 16, &uUsed, &uNameLen);
    if (!lpszName || !uNameLen || uNameLen >= QV_PEER_NAME_MAX) {
        m_Stat.uMalformed++;
        return;
    }
    u32 uMask = qvSkRd16(m_pRecvBuf);
    qvPrintf("CQVClassPeer::RecvStatusNotify, uMask=%u, szPeer=%s", uMask, lpszName);
    if (m_uSide)
        return;
    // Only the server speaks for other peers: a peer could otherwise take any of them off line.
    if (uIndex != m_uPrivSvr) {
        m_Stat.uNotAdmitted++;
        return;
    }
    u32 uTarget = EntryOfObject(m_pProc->ObjGetID(lpszName));
    PEER_S* t = EntryInUse(uTarget);
    if (!t || uTarget == m_uPrivSvr)
        return;
    if (uMask & 0x4) {
        if (t->uFlags & QV_PEER_FLAG_STANOTIFY)
            t->uRefresh = (u16)(2 * m_uExpire > 0xFFFF ? 0xFFFF : 2 * m_uExpire);
        if (!SendStatus(uTarget))
            SendMaskAdd(uTarget, QV_PEER_PEND_STATUS);
    } else if (uMask & 0x8) {
        PeerOffLine(uTarget, 10);
    }
}
