// Peer class frame: construction, the peer table with its address hash and lists, eviction,
// and the IQVClass callbacks OnInitialize, OnClean, OnAdd, OnDelete, OnSend, OnDisp,
// OnNotify and OnTimer.
#include "qvClassPeer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "qvLog.h"
#include "qvNode.h"
#include "qvSocket.h"
#include "qvUtilize.h"

namespace {

u32 AddrHashOf(const QV_ADDR_S& a)
{
    return a.uAddr[0] + a.uAddr[1] + a.uAddr[2] + a.uAddr[3] + a.uPort;
}

u32 AddrSame(const QV_ADDR_S& a, const QV_ADDR_S& b)
{
    return a.uAddr[0] == b.uAddr[0] && a.uAddr[1] == b.uAddr[1] && a.uAddr[2] == b.uAddr[2] &&
           a.uAddr[3] == b.uAddr[3] && a.uPort == b.uPort;
}

}  // namespace

CQVClassPeer::CQVClassPeer()
    : m_pSocket(nullptr), m_pProc(nullptr), m_pNew(nullptr), m_uNewMax(0), m_pPeer(nullptr), m_uPeerMax(0),
      m_uSide(0), m_uTick(0), m_uNodeOption(0), m_uPrivSvr(0xFFFFFF), m_uSelf(0), m_uClassOption(1),
      m_uLoginMode(0), m_uLoginStatus(0), m_uPeerTraffic(0), m_uExpire(30), m_uLoginTimeout(15),
      m_uReloginInterval(10), m_uReloginMax(300), m_uMainSpeed(128), m_uThroughWait(5),
      m_uRecvBufSize(QV_PEER_RECV_BUF), m_uClassRestrict(0), m_uAuthOption(0), m_pRecvBuf(nullptr),
      m_pParser(nullptr), m_pString(nullptr), m_pDigestBuf(nullptr), m_uDigestCap(0),
      m_uRblMax(QV_PEER_BACKLOG_DEFAULT), m_uSblMax(QV_PEER_BACKLOG_DEFAULT), m_uRblCount(0), m_uSblCount(0), m_uPendPass(0), m_uPendFull(0)
{
    m_uSockOptDefault[0] = m_uSockOptDefault[1] = 3;
    m_szSvrAddr[0] = 0;
    std::memset(m_LocalAddr, 0, sizeof(m_LocalAddr));
    std::memset(&m_Stat, 0, sizeof(m_Stat));
}

CQVClassPeer::~CQVClassPeer()
{
    OnClean();
}

void CQVClassPeer::Attach(CQVSocket* lpSocket, CQVNodeClassProc* lpProc)
{
    m_pSocket = lpSocket;
    m_pProc = lpProc;
}

void CQVClassPeer::SetClientInfo(const char* lpszInfo)
{
    m_ClientInfo.assign(lpszInfo);
}

void CQVClassPeer::Trace(u32 uLevel, const char* lpszFormat, ...)
{
    char szText[1024];
    va_list ap;
    va_start(ap, lpszFormat);
    vsnprintf(szText, sizeof(szText), lpszFormat, ap);
    va_end(ap);
    qvPrintf("%s", szText);
    if (uLevel < 4)
        qvLogOut(uLevel, "%s", szText);
}

u32 CQVClassPeer::SetLocalAddr(const char* lpszText, const QV_ADDR_S* lpAddr, u32 uBind, u32 uIndex)
{
    if (!lpszText || !lpAddr || uIndex > 1)
        return 0;
    m_LocalText[uIndex].assign(lpszText);
    m_LocalAddr[uIndex] = *lpAddr;
    QV_ADDR_S a = *lpAddr;
    a.uExtra = uBind ? 1 : 0;
    return m_pSocket->SetAddr(&a, uIndex);
}

u32 CQVClassPeer::GetLocalAddr(char* lpszBuf, u32 uSize, u32 uIndex)
{
    if (!lpszBuf || uIndex > 1)
        return 0;
    const QV_STRING& t = m_LocalText[uIndex];
    if (!t.empty() && t.length() < uSize) {
        std::memcpy(lpszBuf, t.c_str(), t.length() + 1);
        return 1;
    }
    QV_ADDR_S a;
    std::memset(&a, 0, sizeof(a));
    if (!m_pSocket->GetAddr(&a, uIndex))
        return 0;
    return qvAddrToStr(&a, lpszBuf, uSize);
}

// Table.

CQVClassPeer::PEER_S* CQVClassPeer::EntryInUse(u32 uInst) const
{
    PEER_S* p = Entry(uInst);
    return (p && p->uStatus && m_PeerUsed.Contains(p)) ? p : nullptr;
}

u32 CQVClassPeer::EntryOfObject(u32 uObject)
{
    u32 uClass = 0xFFFF, uInst = 0xFFFFFFFF;
    if (!uObject || !m_pProc->ObjGetInfo(uObject, &uClass, nullptr, &uInst, nullptr) || uClass != QV_CLASS_PEER)
        return 0xFFFFFFFF;
    return EntryInUse(uInst) ? uInst : 0xFFFFFFFF;
}

u32 CQVClassPeer::ObjName(u32 uObject, char* lpszBuf, u32 uSize)
{
    if (!m_pProc->ObjGetName(uObject, lpszBuf, uSize)) {
        if (uSize)
            lpszBuf[0] = 0;
        return 0;
    }
    return 1;
}

u32 CQVClassPeer::ClassMaskDefault(const PEER_S* p) const
{
    return (m_uClassRestrict || (p->uFlags & QV_PEER_FLAG_CLASS01)) ? 3u : 0xFFFFFFFFu;
}

void CQVClassPeer::HashAdd(PEER_S* p)
{
    if (qvAddrIPVer(&p->addr) != QV_ADDR_VER_NONE)
        m_AddrHash.Add(&p->hash, p, AddrHashOf(p->addr));
}

void CQVClassPeer::HashRemove(PEER_S* p)
{
    m_AddrHash.Remove(&p->hash);
}

u32 CQVClassPeer::PeerSearch(const QV_ADDR_S& addr)
{
    if (!m_AddrHash.m_uCount)
        return 0xFFFFFFFF;
    PEER_S* p = m_AddrHash.Find<PEER_S>(AddrHashOf(addr), [&](PEER_S* x) {
        return x->uStatus && AddrSame(x->addr, addr);
    });
    return p ? IndexOf(p) : 0xFFFFFFFF;
}

void CQVClassPeer::HelperSetStatus(PEER_S* p, u32 uStatus)
{
    u32 uOld = p->uStatus;
    if (uStatus == QV_PEER_STA_CREATED)
        m_PeerCreate.PushTail(p);
    else
        m_PeerCreate.Remove(p);
    p->uStatus = uStatus;
    if (!m_uSide && uStatus <= QV_PEER_STA_ADMITTED)
        p->uStateFlags &= ~0x8u;
    // A peer that becomes ready gets the messages it sent meanwhile.
    if (uOld < QV_PEER_STA_ADMITTED && uStatus >= QV_PEER_STA_ADMITTED && !m_Rbl.Empty())
        RecvBacklogEvent(IndexOf(p));
}

u32 CQVClassPeer::HelperAddPeer(const char* lpszName, u32 uFlags)
{
    return m_pProc->ObjAdd(lpszName, QV_CLASS_PEER, 0, uFlags | QV_PEER_FLAG_ADDED, nullptr);
}

u32 CQVClassPeer::CanRecv(u32 uIndex)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 0;
    u32 uOk;
    if (m_uSide)
        uOk = p->uStatus >= QV_PEER_STA_ADMITTED;
    else if (uIndex == m_uPrivSvr || (p->uFlags & QV_PEER_FLAG_SERVER))
        uOk = 1;
    else
        uOk = p->uStatus >= QV_PEER_STA_ADMITTED &&
              (m_uPeerTraffic || (p->uFlags & (QV_PEER_FLAG_STATIC | QV_PEER_FLAG_LAN)));
    if (uOk)
        p->uActive = m_uTick;
    return uOk;
}

u32 CQVClassPeer::PeerAddrNameBuild(const QV_ADDR_S& addr, char* lpszBuf, u32 uSize)
{
    char szAddr[QV_ADDR_STR_SIZE];
    if (!lpszBuf || uSize < 128 || !qvAddrToStr(&addr, szAddr, sizeof(szAddr)))
        return 0;
    snprintf(lpszBuf, uSize, "_PEER_:%s", szAddr);
    return 1;
}

u32 CQVClassPeer::PeerAddrNameIs(const char* lpszName)
{
    return lpszName && strncmp(lpszName, "_PEER_:", 7) == 0;
}

u32 CQVClassPeer::PeerAddrNameCheck(u32 uInst)
{
    PEER_S* p = EntryInUse(uInst);
    char szName[QV_PEER_NAME_MAX];
    return p && ObjName(p->uObject, szName, sizeof(szName)) && PeerAddrNameIs(szName);
}

u32 CQVClassPeer::PeerAddrNameSet(u32 uInst)
{
    PEER_S* p = EntryInUse(uInst);
    char szName[QV_PEER_NAME_MAX];
    if (!p || !PeerAddrNameBuild(p->addr, szName, sizeof(szName)))
        return 0;
    return m_pProc->ObjSetName(p->uObject, szName);
}

u32 CQVClassPeer::PeerClean()
{
    PEER_S* p = m_PeerUsed.Head();
    while (p) {
        PEER_S* n = PEER_LIST::Next(p);
        if (IndexOf(p) != m_uPrivSvr && !(p->uFlags & (QV_PEER_FLAG_SELF | QV_PEER_FLAG_SERVER)))
            m_pProc->ObjDelete(p->uObject);
        p = n;
    }
    return 1;
}

bool CQVClassPeer::OnInitialize(void*, IQVClassProc*, u32 uMaxObj, u32 uClassOption)
{
    m_uClassOption = uClassOption;
    qvLogOut(0, "ClassPeer: Initialize begin");
    m_pParser = qvNewOMLParser();
    m_pString = qvNewString(nullptr);
    m_pRecvBuf = new (std::nothrow) u8[m_uRecvBufSize];
    u32 uShift = m_uSide ? 3 : 5;
    m_uNewMax = (uMaxObj >> uShift) > 32 ? (uMaxObj >> uShift) : 32;
    m_pNew = new (std::nothrow) NEW_S[m_uNewMax];
    m_pPeer = new (std::nothrow) PEER_S[uMaxObj];
    m_uPeerMax = m_pPeer ? uMaxObj : 0;
    if (!m_pParser || !m_pString || !m_pRecvBuf || !m_pNew || !m_pPeer || !m_AddrHash.Init(uMaxObj)) {
        OnClean();
        return false;
    }
    for (u32 i = 0; i < m_uNewMax; i++) {
        std::memset(&m_pNew[i].addr, 0, sizeof(QV_ADDR_S));
        m_NewFree.PushTail(&m_pNew[i]);
    }
    for (u32 i = 0; i < m_uPeerMax; i++) {
        std::memset(&m_pPeer[i].addr, 0, sizeof(QV_ADDR_S));
        m_PeerFree.PushTail(&m_pPeer[i]);
    }
    m_uPrivSvr = 0xFFFFFF;
    m_uLoginMode = m_uLoginStatus = m_uPeerTraffic = 0;
    m_uTick = m_pProc->NodeGetCurStamp();
    m_pProc->ClassSetTimer(QV_CLASS_PEER, 1);
    qvLogOut(0, "ClassPeer: Initialize success");
    return true;
}

void CQVClassPeer::OnClean()
{
    if (m_pPeer) {
        PEER_S* p;
        while ((p = m_PeerUsed.Head()) != nullptr)
            OnDelete(IndexOf(p));
    }
    m_PeerFree.Reset();
    m_PeerUsed.Reset();
    m_PeerCreate.Reset();
    m_PeerMask.Reset();
    delete[] m_pPeer;
    m_pPeer = nullptr;
    m_uPeerMax = 0;
    m_AddrHash.Clean();
    if (m_pNew) {
        while (NEW_S* n = m_NewUsed.Head())
            SockNewDelete(n, 0);
    }
    m_NewFree.Reset();
    m_NewUsed.Reset();
    delete[] m_pNew;
    m_pNew = nullptr;
    m_uNewMax = 0;
    RecvBacklogClean(0xFFFFFFFF);
    SendBacklogClean(0xFFFFFFFF);
    delete[] m_pRecvBuf;
    m_pRecvBuf = nullptr;
    delete[] m_pDigestBuf;
    m_pDigestBuf = nullptr;
    m_uDigestCap = 0;
    if (m_pParser)
        m_pParser->Delete();
    if (m_pString)
        m_pString->Delete();
    m_pParser = nullptr;
    m_pString = nullptr;
    ResoluteClean();
    m_uSelf = 0;
    m_uPrivSvr = 0xFFFFFF;
    HelperLoginStateReset();
    m_uLoginMode = m_uLoginStatus = m_uPeerTraffic = 0;
}

bool CQVClassPeer::OnAdd(u32 uObject, u32, u32 uFlags, u32* lpuInstID)
{
    if (uFlags & QV_PEER_FLAG_SELF) {
        if (m_uSelf && m_uSelf != uObject)
            m_pProc->ObjDelete(m_uSelf);
        m_uSelf = uObject;
        if (lpuInstID)
            *lpuInstID = m_uPeerMax;
        return true;
    }
    if ((uFlags & QV_PEER_FLAG_SERVER) && m_uPrivSvr != 0xFFFFFF) {
        PEER_S* s = Entry(m_uPrivSvr);
        m_uPrivSvr = 0xFFFFFF;
        if (s && s->uObject)
            m_pProc->ObjDelete(s->uObject);
    }
    PEER_S* p = m_PeerFree.Head();
    if (!p) {
        if (!GetOld()) {
            qvLogOut(0, "ClassPeer: OnAdd: Force to free old peer failed");
            return false;
        }
        p = m_PeerFree.Head();
        if (!p) {
            qvLogOut(0, "ClassPeer: OnAdd: ReAlloc peer peer failed");
            return false;
        }
    }
    m_PeerFree.Remove(p);
    std::memset(&p->addr, 0, sizeof(p->addr));
    p->uObject = uObject;
    p->uFlags = uFlags;
    p->uSockID = 0;
    p->uStateFlags = 0;
    p->uSendMask = 0;
    p->uConnected = 0;
    p->uPeerType = 0;
    p->uInfoWaiter = 0;
    p->uActive = m_uTick;
    p->uStatusWaiter = 0;
    p->iClockOffset = 0;
    p->uStampSent = 0;
    p->uCookieLcl = qvGetCookieLong();
    p->uCookieRmt = 0;
    p->uSendClassMask = p->uRecvClassMask = ClassMaskDefault(p);
    p->uAuthState = p->uAuthRejects = p->uAuthTime = 0;
    p->authOwn.clear();
    p->authPeer.clear();
    p->uOffline = 0;
    p->uRefresh = 0;
    p->uLastStatus = 0;
    p->uAgentObj = 0;
    p->uCallTimeout = 10;
    p->uSockOpt[0] = p->uSockOpt[1] = 3;
    HelperSetStatus(p, QV_PEER_STA_CREATED);
    m_PeerUsed.PushTail(p);
    u32 uIndex = IndexOf(p);
    if (uFlags & QV_PEER_FLAG_SERVER)
        m_uPrivSvr = uIndex;
    if (lpuInstID)
        *lpuInstID = uIndex;
    return true;
}

void CQVClassPeer::HelperReset(PEER_S* p)
{
    if (p->uSockID)
        m_pSocket->Delete(p->uSockID);
    p->uSockID = 0;
    if (qvAddrIPVer(&p->addr) != QV_ADDR_VER_NONE) {
        HashRemove(p);
        std::memset(&p->addr, 0, sizeof(p->addr));
    }
    // Agent relations: a dependent entry leaves its agent; an agent lets its dependents go.
    if (p->uFlags & QV_PEER_FLAG_AGENTDEP) {
        if (void* l = CQVList<PEER_S, &PEER_S::linkAgent>::ListOf(p))
            static_cast<CQVList<PEER_S, &PEER_S::linkAgent>*>(l)->Remove(p);
    } else if (!(p->uFlags & QV_PEER_FLAG_AGENT)) {
        while (PEER_S* d = p->deps.PopHead()) {
            d->uAgentObj = 0;
            if (!m_uSide) {
                d->uFlags &= ~QV_PEER_FLAG_AGENTDEP;
                if (d->uObject)
                    m_pProc->ObjDelete(d->uObject);
            }
        }
    }
    if (!m_uSide && (p->uFlags & QV_PEER_FLAG_STANOTIFY))
        SendStatusNotify(IndexOf(p), 2);
    if (p->uStatusWaiter)
        m_pProc->WaiterFinish(p->uStatusWaiter, nullptr, nullptr);
    if (p->uInfoWaiter)
        m_pProc->WaiterFinish(p->uInfoWaiter, nullptr, nullptr);
    p->uStatusWaiter = p->uInfoWaiter = 0;
    PendObjClean(p);
    UpdatesClean(p);
    p->uSendMask = 0;
    m_PeerMask.Remove(p);
    p->uStateFlags = 0;
    p->uConnected = 0;
    p->uActive = m_uTick;
    p->iClockOffset = 0;
    p->uStampSent = 0;
    p->uCookieLcl = qvGetCookieLong();
    p->uCookieRmt = 0;
    p->uSendClassMask = p->uRecvClassMask = ClassMaskDefault(p);
    p->uAuthState = p->uAuthRejects = p->uAuthTime = 0;
    p->authOwn.clear();
    p->authPeer.clear();
}

void CQVClassPeer::OnDelete(u32 uInst)
{
    if (uInst == m_uPeerMax) {
        m_uSelf = 0;
        return;
    }
    PEER_S* p = EntryInUse(uInst);
    if (!p)
        return;
    // The attached objects lose their group and the IDs this peer gave them.
    u32 uGuard = 0;
    while (QV_NODE_S* n = p->objs.pHead) {
        qvNodeListRemove(&p->objs, n);
        m_pProc->ObjDetachGroup(n);
        if (++uGuard > 0x10000)
            break;
    }
    HelperReset(p);
    p->uObject = 0;
    p->uFlags = 0;
    HelperSetStatus(p, QV_PEER_STA_FREE);
    m_PeerUsed.Remove(p);
    m_PeerFree.PushTail(p);
    if (uInst == m_uPrivSvr) {
        HelperLoginStateReset();
        m_uLoginMode = m_uLoginStatus = m_uPeerTraffic = 0;
        m_uPrivSvr = 0xFFFFFF;
    }
    RecvBacklogClean(uInst);
    SendBacklogClean(uInst);
}

u32 CQVClassPeer::GetOld()
{
    PEER_S* v = nullptr;
    char szName[QV_PEER_NAME_MAX];
    if (m_uSide) {
        for (PEER_S* p = m_PeerCreate.Head(); p && !v; p = PEER_CREATE_LIST::Next(p))
            if (!(p->uFlags & QV_PEER_FLAG_STATIC) && p->uActive != 0xFFFFFFFF)
                v = p;
    } else {
        // The server entry and server-flagged or static peers are never chosen.
        auto Evictable = [&](PEER_S* p) {
            return IndexOf(p) != m_uPrivSvr && !(p->uFlags & (QV_PEER_FLAG_SERVER | QV_PEER_FLAG_STATIC));
        };
        for (PEER_S* p = m_PeerCreate.Head(); p && !v; p = PEER_CREATE_LIST::Next(p))
            if (Evictable(p) && p->uActive != 0xFFFFFFFF)
                v = p;
        if (!v && m_uAuthOption) {
            for (PEER_S* p = m_PeerUsed.Head(); p && !v; p = PEER_LIST::Next(p))
                if (Evictable(p) && (p->uAuthState == 5 || (p->uAuthState == 1 && m_uTick - p->uAuthTime > 9)))
                    v = p;
            if (v) {
                ObjName(v->uObject, szName, sizeof(szName));
                qvLogOut(1, "ClassPeer: GetOld, Select one not auth peer. uIndOld=%u, uObject=%u, szOldPeer=%s",
                         IndexOf(v), v->uObject, szName);
            }
        }
        if (!v) {
            for (PEER_S* p = m_PeerUsed.Head(); p; p = PEER_LIST::Next(p))
                if (Evictable(p) && (!v || p->uActive < v->uActive))
                    v = p;
            if (v) {
                ObjName(v->uObject, szName, sizeof(szName));
                qvLogOut(1, "ClassPeer: GetOld, Select one in using peer. uIndOld=%u, uObject=%u, szOldPeer=%s",
                         IndexOf(v), v->uObject, szName);
            }
        }
    }
    if (!v)
        return 0;
    ObjName(v->uObject, szName, sizeof(szName));
    qvLogOut(0, "ClassPeer: GetOld, delete. uIndOld=%u, uObject=%u, szOldPeer=%s", IndexOf(v), v->uObject, szName);
    m_pProc->ObjDelete(v->uObject);
    return 1;
}

// Attached objects.

u32 CQVClassPeer::AttachObj(u32 uInst, QV_NODE_S* lpNode)
{
    PEER_S* p = EntryInUse(uInst);
    if (!p || !lpNode)
        return 0;
    qvNodeListPush(&p->objs, lpNode);
    SyncOneObject(uInst, m_pProc->ObjGetByNode(lpNode), 1);
    return 1;
}

u32 CQVClassPeer::DetachObj(u32 uInst, QV_NODE_S* lpNode)
{
    PEER_S* p = EntryInUse(uInst);
    if (!p || !lpNode)
        return 0;
    SyncOneObject(uInst, m_pProc->ObjGetByNode(lpNode), 0);
    qvNodeListRemove(&p->objs, lpNode);
    return 1;
}

u32 CQVClassPeer::EnumNextObj(u32 uInst, QV_NODE_S** lppCursor)
{
    PEER_S* p = EntryInUse(uInst);
    if (!p || !lppCursor)
        return 0;
    QV_NODE_S* n = *lppCursor ? (*lppCursor)->lpNext : p->objs.pHead;
    if (*lppCursor && (*lppCursor)->lpList != &p->objs)
        n = nullptr;
    *lppCursor = n;
    return n ? m_pProc->ObjGetByNode(n) : 0;
}

// Class callbacks served on the dispatch thread.

int CQVClassPeer::OnSend(u32 uInst, u32 uEvent, const QV_MCAST_RES_S*, u32 uUnit, u32 uPeer)
{
    if (uPeer) {
        if (uEvent == QV_SEND_EVENT_RESULT && EntryInUse(uInst))
            SendMaskInst(uInst);
        return 0;
    }
    u32 uMethod = 0, uPrio = 0;
    if (!m_pProc->MCastGetInfo(uUnit, nullptr, &uMethod, nullptr, &uPrio, nullptr))
        return 1;
    if ((uMethod == QV_PMSG_CALL || uMethod == QV_PMSG_LOGPULL_CMD) && uEvent == QV_SEND_EVENT_TIMEOUT) {
        u32 uTarget = 0, uCount = 1;
        if (m_pProc->MCastGetPeer(uUnit, &uTarget, &uCount)) {
            PEER_S* p = EntryInUse(EntryOfObject(uTarget));
            if (p && p->uSockID)
                m_pSocket->SendDropByHandle(p->uSockID, uPrio, uUnit);
        }
    }
    return 1;
}

u32 CQVClassPeer::HelperLANPeerAuth(u32 uIndex)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p || !p->uSockID || !p->uConnected)
        return 0;
    u32 uInfo = 0;
    if (!m_pSocket->GetPeerInfo(p->uSockID, &uInfo) || !(uInfo & 1))
        return 0;
    HelperSetStatus(p, QV_PEER_STA_ADMITTED);
    p->uFlags |= QV_PEER_FLAG_LAN;
    m_pProc->ObjSetOption(p->uObject, 0, p->uFlags);
    return 1;
}

u32 CQVClassPeer::OnDisp(u32 uInst, u32 uBits)
{
    PEER_S* p = EntryInUse(uInst);
    auto SendSelf = [&](u32 uIndex) {
        PEER_S* e = EntryInUse(uIndex);
        if (!e)
            return;
        e->uSendMask &= ~QV_PEER_PEND_SELF;
        if (!SendSyncReport(e->uObject, 0, 1))
            SendMaskAdd(uIndex, QV_PEER_PEND_SELF);
    };
    if (p && (uBits & QV_PEER_DISP_CONNECT)) {
        if (p->uStatus == QV_PEER_STA_ADMITTED) {
            if (HelperLANPeerAuth(uInst) || (p->uFlags & QV_PEER_FLAG_STATIC))
                SendSelf(uInst);
            else
                qvPrintf("CQVClassPeer::DispConnect, uPrivID=%u, uStatus=Auth", uInst);
        } else if (p->uStatus == QV_PEER_STA_CREATED) {
            if (HelperLANPeerAuth(uInst)) {
                SendSelf(uInst);
            } else if (!p->uRefresh || m_uTick - p->uLastStatus >= p->uRefresh) {
                if (!SendStatus(uInst))
                    SendMaskAdd(uInst, QV_PEER_PEND_STATUS);
            }
        } else {
            qvPrintf("CQVClassPeer::DispConnect, uPrivID=%u, uStatus=%u", uInst, p->uStatus);
        }
    }
    p = EntryInUse(uInst);
    if (p && (uBits & QV_PEER_DISP_SYNC) && p->uStatus == QV_PEER_STA_ADMITTED)
        SendSelf(uInst);
    if ((uBits & QV_PEER_DISP_LOGIN) && !m_uSide) {
        qvLogOut(1, "ClassPeer: DispLoginRestart, Dispatch login restart");
        // The server socket dropped or the server address changed: a fresh connection.
        HelperLoginRestart(1);
    }
    if (uBits & QV_PEER_DISP_LOGINDONE) {
        for (PEER_S* e = m_PeerUsed.Head(); e; e = PEER_LIST::Next(e)) {
            u32 i = IndexOf(e);
            if (i == m_uPrivSvr)
                continue;
            if (e->uStatus > QV_PEER_STA_CREATED && (e->uFlags & QV_PEER_FLAG_STANOTIFY)) {
                if (!SendStatus(i))
                    SendMaskAdd(i, QV_PEER_PEND_STATUS);
            } else if (e->uStatus <= QV_PEER_STA_CREATED && !(e->uFlags & QV_PEER_FLAG_STATIC)) {
                m_pProc->ObjDisp(e->uObject, QV_PEER_DISP_CONNECT);
            }
        }
    }
    if (uBits & QV_PEER_DISP_RECONNECT) {
        for (PEER_S* e = m_PeerUsed.Head(); e; e = PEER_LIST::Next(e))
            if (IndexOf(e) != m_uPrivSvr && !(e->uFlags & QV_PEER_FLAG_STATIC) && e->uSockID)
                m_pSocket->Reconnect(e->uSockID);
    }
    if (uBits & (QV_PEER_DISP_FWDSTATUS | QV_PEER_DISP_FWDRELAY | QV_PEER_DISP_FWDHOLE))
        DispForwardReport(uBits);
    return 0;
}

// Error report (ext method 1) of an operation on a peer to the owner.
static void ErrorReport(CQVNodeClassProc* lpProc, u32 uObject, u32 uMethod, u32 uError, u32 uText)
{
    if (uText) {
        char szText[64];
        snprintf(szText, sizeof(szText), "(Meth){%u}(Error){%u}", uMethod, uError);
        lpProc->ObjExtRequest(uObject, 1, szText, (u32)strlen(szText), 0, 0, 1);
    } else {
        u32 r[2] = {uMethod, uError};
        lpProc->ObjExtRequest(uObject, 1, r, sizeof(r), 0, 0, 0);
    }
}

void CQVClassPeer::OnNotify(u32 uInst, u32 uType, u32 uP0, u32 uP1)
{
    if (uInst == m_uPeerMax) {
        // The self object.
        if (uType == QV_NOTIFY_ADDED) {
            char szName[QV_PEER_NAME_MAX];
            if (!ObjName(m_uSelf, szName, sizeof(szName)) || !szName[0]) {
                qvLogOut(0, "ClassPeer: OnNotify, Event create, empty self object name!");
                return;
            }
            if (!m_pSocket->SetName(szName)) {
                qvLogOut(0, "ClassPeer: OnNotify, Event create, Set socket name failed!");
                return;
            }
            for (PEER_S* e = m_PeerUsed.Head(); e; e = PEER_LIST::Next(e))
                if (e->uStatus >= QV_PEER_STA_ADMITTED && !SendSyncReport(e->uObject, 0, 1))
                    SendMaskAdd(IndexOf(e), QV_PEER_PEND_SELF);
        } else if (uType == QV_NOTIFY_DELETED) {
            m_pSocket->SetName("");
        } else if (uType == QV_NOTIFY_PEER_ID) {
            PEER_S* svr = EntryInUse(m_uPrivSvr);
            if (svr && svr->uObject == uP0) {
                if (!m_uSide)
                    NotifySelfSync(uP1);
                return;
            }
            u32 i = EntryOfObject(uP0);
            PEER_S* e = EntryInUse(i);
            if (!uP1 && e)
                HelperSetStatus(e, (e->uFlags & QV_PEER_FLAG_STATIC) ? QV_PEER_STA_ADMITTED : QV_PEER_STA_CREATED);
        }
        return;
    }
    PEER_S* p = EntryInUse(uInst);
    if (!p)
        return;
    switch (uType) {
    case QV_NOTIFY_ADDED:
        if (!m_uSide && uInst != m_uPrivSvr && !(p->uFlags & (QV_PEER_FLAG_STATIC | QV_PEER_FLAG_AGENT)))
            m_pProc->ObjDisp(p->uObject, QV_PEER_DISP_CONNECT);
        break;
    case QV_NOTIFY_DELETED:
        SendSyncReport(p->uObject, 0, 0);
        HelperSetStatus(p, QV_PEER_STA_CREATED);
        SyncPeerAndGroupObjects(uInst, 0);
        break;
    case QV_NOTIFY_PEER_ID:
        if (m_uSide)
            break;
        if (uInst == m_uPrivSvr)
            NotifyServerSync(uP1);
        if (EntryInUse(uInst))
            HelperSetPeerSync(uInst, uP1);
        break;
    case QV_NOTIFY_WAITER:
        NotifyTimeout(uInst, uP0, uP1);
        break;
    case QV_PEER_NOTIFY_NOAUTH:
        if (!m_uSide)
            NotifyNoAuth();
        break;
    case QV_PEER_NOTIFY_OBJSYNC:
        NotifyObjectSync(uInst, uP0, uP1);
        break;
    case QV_PEER_NOTIFY_DROPPED:
        if (m_uSide)
            break;
        if (p->uFlags & QV_PEER_FLAG_STATIC) {
            ErrorReport(m_pProc, p->uObject, 34, 11, m_uClassOption);
        } else if (p->uFlags & QV_PEER_FLAG_LAN) {
            HelperSetStatus(p, QV_PEER_STA_CREATED);
        } else if (!SendStatus(uInst)) {
            SendMaskAdd(uInst, QV_PEER_PEND_STATUS);
        }
        break;
    default:
        break;
    }
}

void CQVClassPeer::OnTimer(u32 uSeconds)
{
    m_uTick = uSeconds;
    if (m_uSide) {
        SockNewDropTimeout();
        return;
    }
    // Pending sends, in list order; an entry may leave the list while it is served.
    PEER_S* p = m_PeerMask.Head();
    while (p) {
        PEER_S* n = PEER_MASK_LIST::Next(p);
        SendMaskInst(IndexOf(p));
        p = n;
    }
    if (m_uPrivSvr == 0xFFFFFF)
        return;
    ResoluteTimerProc();
    LoginTimer();
    SockNewDropTimeout();
}
