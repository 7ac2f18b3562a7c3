// The node object: construction, attachment of classes and extensions, Initialize, Clean,
// local addresses and the object operations of IQVNode (each under the node lock).
#include "qvNode.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "qvDomain.h"
#include "qvLog.h"
#include "qvSocketUti.h"
#include "qvSysNet.h"

namespace {

void* NodeGetPriv(IQVNode* lpNode, u32 uType)
{
    return lpNode ? lpNode->GetSocketPrivate(uType) : nullptr;
}

// The configuration defaults of a node that was given no record.
void CfgDefault(QV_CFG_S& c)
{
    std::memset(&c, 0, sizeof(c));
    c.uPeerMax = 256;
    c.uGroupMax = 32;
    c.uObjMax = 512;
    c.uMCastMax = 512;
    c.uHandleMax = 128;
    c.uNotifyMax = 256;
    c.uExtInstMax = 64;
    c.auQueueSize[0] = 64;
    c.auQueueSize[1] = 64;
    c.auQueueSize[2] = 256;
    c.auQueueSize[3] = 128;
    c.uClassOption = 1;
}

// A count takes effect only inside 1..0xFFFE (0 and larger values keep the default).
void CfgCount(u32& uDst, u32 uSrc)
{
    if (uSrc >= 1 && uSrc <= 0xFFFE)
        uDst = uSrc;
}

u32 PowerOfTwoAtLeast(u32 n)
{
    u32 p = 1;
    while (p < n && p < 0x10000)
        p <<= 1;
    return p;
}

}  // namespace

IQVNode* qvNewNode()
{
    return new (std::nothrow) CQVNode();
}

CQVNode::CQVNode()
    : m_uExtEvtCount(0), m_uExtCloseCount(0), m_uTick(0), m_uPass(0), m_uSecond(1), m_uStamp(0), m_uManualTime(0),
      m_uNotifyCount(0), m_uNotifyMax(256), m_uHndCount(0), m_uHndPend(0), m_uHndMax(128), m_uTmoSecond(0), m_uDispBits(0),
      m_lpContext(nullptr), m_lpProc(nullptr), m_uInit(0), m_uSide(0), m_uThreadStarted(0), m_uNeedClean(0)
{
    CfgDefault(m_Cfg);
    std::memset(&m_Stat, 0, sizeof(m_Stat));
    srand((unsigned)time(nullptr));
    m_Thread.SetTag("qvNodeDisp");
    m_Thread.m_pNode = this;
    m_Socket.Attach(this);
    m_ExtProc.m_pNode = this;
    m_ClassProc.m_pNode = this;
    m_ClassPeer.Attach(&m_Socket, &m_ClassProc);
    m_ClassGroup.Attach(&m_ClassProc);
    // The runtime reaches the upper layers only through these two hooks.
    qvSocketGetPrivSet(NodeGetPriv);
    qvParamCallbackProcSet(qvParamCallbackProc);
}

CQVNode::~CQVNode()
{
    if (m_uNeedClean)
        Clean();
}

void CQVNode::Delete()
{
    Clean();
    delete this;
}

void* CQVNode::GetSocketPrivate(u32 uType)
{
    return m_Socket.GetSocketPrivate(uType);
}

u32 CQVNode::AttachExtend(IQVBase* lpExt, u32 uIndex, u32 uMaxInst)
{
    IQVExt* p = dynamic_cast<IQVExt*>(lpExt);
    if (!p || uIndex >= QV_EXT_MAX || uMaxInst < 1 || uMaxInst > 0xFFFE || m_Ext[uIndex].p)
        return 0;
    m_Ext[uIndex].p = p;
    m_Ext[uIndex].uMax = (u16)uMaxInst;
    m_Ext[uIndex].uInit = 0;
    return 1;
}

u32 CQVNode::AttachExtDepend(u32 uIndex, u32 uDepIndex)
{
    if (uIndex >= QV_EXT_MAX || uDepIndex >= QV_EXT_MAX || !m_Ext[uIndex].p || !m_Ext[uDepIndex].p)
        return 0;
    return m_Ext[uIndex].p->AttachDepend(m_Ext[uDepIndex].p, uDepIndex) ? 1 : 0;
}

u32 CQVNode::AttachClass(IQVBase* lpClass, u32 uIndex, u32 uMaxObj)
{
    IQVClass* p = dynamic_cast<IQVClass*>(lpClass);
    if (!p || uIndex >= QV_CLASS_MAX || uMaxObj < 1 || uMaxObj > 0xFFFE || m_Class[uIndex].p)
        return 0;
    m_Class[uIndex].p = p;
    m_Class[uIndex].uMax = (u16)uMaxObj;
    m_Class[uIndex].uInit = 0;
    m_Class[uIndex].uObjCount = 0;
    return 1;
}

u32 CQVNode::SetRelay(const tagQV_RELAY_INFO_S* lpList, u32 uCount)
{
    return m_Socket.SetRelay(lpList, uCount, 0);
}

u32 CQVNode::SetOption(u32 uItem, const char* lpszValue)
{
    if (uItem == 0)
        return m_Socket.SetMDU(lpszValue && lpszValue[0] ? (u32)strtoul(lpszValue, nullptr, 10) : 0);
    if (uItem == 1)
        return 1;
    return 0;
}

u32 CQVNode::GetOption(u32, char*, u32)
{
    return 0;
}

u32 CQVNode::Initialize(void* lpContext, IQVNodeProc* lpProc, const QV_CFG_S* lpCfg)
{
    // 1. Context, owner and configuration.
    m_uNeedClean = 1;
    m_lpContext = lpContext;
    m_lpProc = lpProc;
    if (lpCfg) {
        std::memcpy(m_Cfg.szClientInfo, lpCfg->szClientInfo, sizeof(m_Cfg.szClientInfo));
        m_Cfg.szClientInfo[sizeof(m_Cfg.szClientInfo) - 1] = 0;
        CfgCount(m_Cfg.uPeerMax, lpCfg->uPeerMax);
        CfgCount(m_Cfg.uGroupMax, lpCfg->uGroupMax);
        CfgCount(m_Cfg.uObjMax, lpCfg->uObjMax);
        CfgCount(m_Cfg.uMCastMax, lpCfg->uMCastMax);
        CfgCount(m_Cfg.uHandleMax, lpCfg->uHandleMax);
        CfgCount(m_Cfg.uNotifyMax, lpCfg->uNotifyMax);
        CfgCount(m_Cfg.uExtInstMax, lpCfg->uExtInstMax);
        for (u32 i = 0; i < 4; i++)
            CfgCount(m_Cfg.auQueueSize[i], lpCfg->auQueueSize[i]);
        std::memcpy(m_Cfg.auSockParam, lpCfg->auSockParam, sizeof(m_Cfg.auSockParam));
        m_Cfg.uSockSide = lpCfg->uSockSide;
        m_Cfg.uClassOption = lpCfg->uClassOption;
        m_Cfg.uNodeOption = lpCfg->uNodeOption;
        m_Cfg.uRequestTimeout = lpCfg->uRequestTimeout;
        if (m_Cfg.uRequestTimeout >= 1 && m_Cfg.uRequestTimeout <= 60)
            m_Cfg.uRequestTimeout = 60;
        m_Cfg.uSockProcParam = lpCfg->uSockProcParam;
        std::memcpy(m_Cfg.szReserve, lpCfg->szReserve, sizeof(m_Cfg.szReserve));
    }

    // 2. Data-collection client.
    if (!m_DataClt.Initialize(lpContext)) {
        qvLogOut(0, "Node: Initialize: Init data collect client failed!");
        Clean();
        return 0;
    }
    // 3. The two built-in classes.
    if (!AttachClass(&m_ClassPeer, QV_CLASS_PEER, m_Cfg.uPeerMax)) {
        qvLogOut(0, "Node: Initialize: Attach QV_CLASS_Peer failed!");
        Clean();
        return 0;
    }
    if (!AttachClass(&m_ClassGroup, QV_CLASS_GROUP, m_Cfg.uGroupMax)) {
        qvLogOut(0, "Node: Initialize: Attach QV_CLASS_Group failed!");
        Clean();
        return 0;
    }
    // 4. What the peer class needs before the socket layer starts.
    m_ClassPeer.SetClientInfo(m_Cfg.szClientInfo);
    m_ClassPeer.SetSockSide(m_Cfg.uSockSide);
    m_ClassPeer.SetNodeOption(m_Cfg.uNodeOption);

    // 5. The socket layer.
    CQVSocket::CFG_S sc;
    std::memset(&sc, 0, sizeof(sc));
    sc.uTableSize = (u16)m_Cfg.uPeerMax;
    sc.uSide = (u16)(m_Cfg.uSockSide ? 1 : 0);
    for (u32 i = 0; i < 4; i++) {
        sc.uSendQue[i] = (u16)m_Cfg.auQueueSize[i];
        u32 uRecv = m_Cfg.auQueueSize[i] + m_Cfg.auQueueSize[i] / 4;
        sc.uRecvQue[i] = (u16)(uRecv > 0xFFFF ? 0xFFFF : uRecv);
        sc.uInitWnd[i] = 0;
    }
    for (u32 i = 0; i < 6; i++)
        sc.uProcValue[i] = (u16)(m_Cfg.auSockParam[i] > 0xFFFE ? 0xFFFF : m_Cfg.auSockParam[i]);
    sc.uNodeOption = m_Cfg.uNodeOption;
    sc.uProcWord = m_Cfg.uSockProcParam;
    m_Socket.SetConfig(sc);
    if (!m_Socket.Initialize(lpContext)) {
        qvLogOut(0, "Node: Initialize: Initialize socket failed!");
        return 0;
    }

    // 6. Extension modules, 7. classes, in index order.
    for (u32 i = 0; i < QV_EXT_MAX; i++) {
        if (!m_Ext[i].p)
            continue;
        if (!m_Ext[i].p->OnInitialize(lpContext, &m_ExtProc, m_Ext[i].uMax)) {
            qvLogOut(0, "Node: Initialize: Initialize extend module failed! uInd=%u", i);
            Clean();
            return 0;
        }
        m_Ext[i].uInit = 1;
    }
    for (u32 i = 0; i < QV_CLASS_MAX; i++) {
        if (!m_Class[i].p)
            continue;
        if (!m_Class[i].p->OnInitialize(lpContext, &m_ClassProc, m_Class[i].uMax, m_Cfg.uClassOption)) {
            qvLogOut(0, "Node: Initialize: Initialize class module failed! uInd=%u", i);
            Clean();
            return 0;
        }
        m_Class[i].uObjCount = 0;
        m_Class[i].uInit = 1;
    }

    // 8. Tables.
    u32 uInstMax = m_Cfg.uExtInstMax < 64 ? 64 : m_Cfg.uExtInstMax;
    if (!m_ExtInst.Init(uInstMax)) {
        qvLogOut(0, "Node: Initialize: Alloc ext instance list failed!");
        Clean();
        return 0;
    }
    if (!m_ObjTable.Init(m_Cfg.uObjMax)) {
        qvLogOut(0, "Node: Initialize: Alloc object list failed!");
        Clean();
        return 0;
    }
    if (!m_ObjHash.Init(PowerOfTwoAtLeast(m_Cfg.uObjMax))) {
        qvLogOut(0, "Node: Initialize: Alloc object hash table failed!");
        Clean();
        return 0;
    }
    if (!m_MCast.Init(m_Cfg.uMCastMax)) {
        qvLogOut(0, "Node: Initialize: Alloc mcast list failed!");
        Clean();
        return 0;
    }
    m_TmpUnits.clear();
    try {
        m_TmpUnits.reserve(m_Cfg.uMCastMax);
    } catch (...) {
        qvLogOut(0, "Node: Initialize: Alloc mcast list failed!");
        Clean();
        return 0;
    }
    if (!m_Waiter.Init(m_Cfg.uMCastMax)) {
        qvLogOut(0, "Node: Initialize: Alloc waiter list failed!");
        Clean();
        return 0;
    }
    // 64 buckets while time-outs are on; with time-outs off only answered records pass.
    if (!m_TmoHash.Init(m_Cfg.uRequestTimeout ? 64 : 2)) {
        qvLogOut(0, "Node: Initialize: Alloc handle timeout failed!");
        Clean();
        return 0;
    }
    if (!m_GCacheHash.Init(32)) {
        qvLogOut(0, "Node: Initialize: init group cache failed!");
        Clean();
        return 0;
    }

    // 9. Active trace.
    if (!qvActiveTraceItemSet(lpContext, 3, 1, "node", 10)) {
        qvLogOut(0, "Node: Initialize: enable active trace failed!");
        Clean();
        return 0;
    }

    // 10. Limits, side, start.
    m_uNotifyMax = m_Cfg.uNotifyMax;
    m_uNotifyCount = 0;
    m_uHndMax = m_Cfg.uHandleMax;
    m_uHndCount = 0;
    m_uHndPend = 0;
    m_uSide = m_Cfg.uSockSide;
    {
        std::lock_guard<std::mutex> lk(m_SectDisp);
        m_uInit = 1;
    }
    m_uDispBits = 0;
    m_uThreadStarted = 1;
    if (!m_Thread.Start(50, 0)) {
        m_uThreadStarted = 0;
        qvLogOut(0, "Node: Initialize: Start dispatch thread failed!");
        Clean();
        return 0;
    }
    qvLogOut(1, "Node: Initialize: success");
    return 1;
}

void CQVNode::Clean()
{
    qvLogOut(1, "Node: clean, begin");
    {
        std::lock_guard<std::mutex> lk(m_SectDisp);
        m_uInit = 0;
    }
    if (m_uThreadStarted) {
        m_EventDisp.Signal();
        m_Thread.WaitForTermination();
        m_uThreadStarted = 0;
    }
    qvLogOut(3, "Node: clean, Disp thread stop");
    m_Socket.Clean();
    qvLogOut(3, "Node: clean, Socket clean");
    // Closes kept before the stop go before the extensions are cleaned (none is kept now).
    ExtCloseRun();
    for (u32 i = 0; i < QV_CLASS_MAX; i++) {
        if (!m_Class[i].p || !m_Class[i].uInit)
            continue;
        m_Class[i].p->OnClean();
        m_ClassTimer.Remove(&m_Class[i]);
        m_Class[i].uCounter = 0;
        m_Class[i].uInit = 0;
    }
    qvLogOut(3, "Node: clean, All class clean");
    for (u32 i = 0; i < QV_EXT_MAX; i++) {
        if (!m_Ext[i].p || !m_Ext[i].uInit)
            continue;
        m_Ext[i].p->OnClean();
        m_Ext[i].uInit = 0;
    }
    qvLogOut(3, "Node: clean, All extend clean");
    ExtEventClean();
    ExtInstClean();
    qvLogOut(3, "Node: clean, All extend list clean");
    HndClean();
    qvActiveTraceItemSet(m_lpContext, 3, 0, "node", 0);
    NotifyClean();
    qvLogOut(3, "Node: clean, Free Notify");
    qvLogOut(3, "Node: clean, Free Handle");
    m_WaiterActive.Reset();
    m_Waiter.Clean();
    qvLogOut(3, "Node: clean, Free waiter");
    MCastClean();
    qvLogOut(3, "Node: clean, Free mcastlist");
    for (OBJ_S* o = m_ObjLive.Head(); o; o = OBJ_LIST::Next(o)) {
        ObjFreeIDs(o);
        o->name.clear();
    }
    m_ObjLive.Reset();
    m_ObjDisp.Reset();
    m_ObjPeerID.Reset();
    m_ObjTable.Clean();
    m_ObjHash.Clean();
    GroupCacheClean();
    m_DataClt.Clean();
    m_uTick = 0;
    m_uPass = 0;
    m_uSecond = 1;
    m_uStamp = 0;
    m_uNeedClean = 0;
    qvLogOut(1, "Node: clean, finish");
}

u32 CQVNode::SetAddr(const char* lpszAddr, u32 uIndex)
{
    if (!lpszAddr || !lpszAddr[0] || strlen(lpszAddr) >= 128 || uIndex > 1)
        return 0;
    char szAddr[128];
    u32 uBind = 0;
    static const char kNetIf[] = "netif#";
    static const char kBind[] = "bind#";
    static const char kNat[] = "natmode#";
    if (strncmp(lpszAddr, kNetIf, sizeof(kNetIf) - 1) == 0) {
        const char* lpszCard = lpszAddr + sizeof(kNetIf) - 1;
        const char* lpszColon = strrchr(lpszCard, ':');
        if (!lpszColon)
            return 0;
        u32 uLen = (u32)(lpszColon - lpszCard);
        char szCard[128];
        if (uLen > 127)
            return 0;
        std::memcpy(szCard, lpszCard, uLen);
        szCard[uLen] = 0;
        QV_ADDR_S a;
        std::memset(&a, 0, sizeof(a));
        IQVSysNet* lpNet = qvGetSysNet();
        if (!lpNet || !lpNet->NetCardGetIPAddr(szCard, &a, uIndex)) {
            qvLogOut(0, "Node: SetAddr, Get ip from net card failed, NetIf=%s", szCard);
            return 0;
        }
        a.uPort = (u16)strtoul(lpszColon + 1, nullptr, 10);
        if (!qvAddrToStr(&a, szAddr, sizeof(szAddr)))
            return 0;
        qvLogOut(1, "Node: SetAddr, bind ip from net card success, NetIf=%s, Addr=%s", szCard, szAddr);
        qvPrintf("Node: SetAddr, bind ip from net card success, NetIf=%s, Addr=%s", szCard, szAddr);
        uBind = 1;
    } else if (strncmp(lpszAddr, kBind, sizeof(kBind) - 1) == 0) {
        strcpy(szAddr, lpszAddr + sizeof(kBind) - 1);
        qvLogOut(1, "Node: SetAddr, bind this IP, Addr=%s", szAddr);
        uBind = 1;
    } else if (strncmp(lpszAddr, kNat, sizeof(kNat) - 1) == 0) {
        strcpy(szAddr, lpszAddr + sizeof(kNat) - 1);
    } else {
        strcpy(szAddr, lpszAddr);
    }
    QV_ADDR_S addr;
    std::memset(&addr, 0, sizeof(addr));
    u32 uIsName = 0;
    if (!qvDomainToAddr(szAddr, 2, &addr, 1, &uIsName, 3000, 0)) {
        qvLogOut(1, "Node: SetAddr: Address is invalid, Addr=%s", szAddr);
        return 0;
    }
    return m_ClassPeer.SetLocalAddr(szAddr, &addr, uBind && !uIsName, uIndex);
}

u32 CQVNode::GetAddr(char* lpszBuf, u32 uSize, u32 uIndex)
{
    if (!lpszBuf || uIndex > 1)
        return 0;
    return m_ClassPeer.GetLocalAddr(lpszBuf, uSize, uIndex);
}

// Object operations of the owner: the class services' code under the node lock.

u32 CQVNode::ObjectAdd(const char* lpszName, u32 uClass, u32 uGroup, u32 uFlags)
{
    std::lock_guard<std::mutex> lk(m_SectDisp);
    if (!m_uInit)
        return 0;
    return ObjAddProc(lpszName, uClass, uGroup, uFlags, nullptr);
}

void CQVNode::ObjectDelete(u32 uObject)
{
    std::lock_guard<std::mutex> lk(m_SectDisp);
    if (m_uInit)
        ObjDeleteProc(uObject);
}

u32 CQVNode::ObjectEnum(u32 uAfter, u32 uClass)
{
    std::lock_guard<std::mutex> lk(m_SectDisp);
    if (!m_uInit)
        return 0;
    OBJ_S* o = m_ObjLive.Head();
    if (uAfter) {
        OBJ_S* a = ObjGet(uAfter);
        if (a)
            o = OBJ_LIST::Next(a);
    }
    for (; o; o = OBJ_LIST::Next(o))
        if (o->uClass == uClass && !(o->uOption0 & QV_OBJ_OPT_NOENUM))
            return ObjHandle(o);
    return 0;
}

u32 CQVNode::ObjectGetID(const char* lpszName)
{
    std::lock_guard<std::mutex> lk(m_SectDisp);
    if (!m_uInit)
        return 0;
    return m_ClassProc.ObjGetID(lpszName);
}

u32 CQVNode::ObjectGetName(u32 uObject, char* lpszBuf, u32 uSize)
{
    std::lock_guard<std::mutex> lk(m_SectDisp);
    if (!m_uInit)
        return 0;
    return m_ClassProc.ObjGetName(uObject, lpszBuf, uSize) ? 1 : 0;
}

u32 CQVNode::ObjectGetClass(u32 uObject, u32* lpuClass)
{
    std::lock_guard<std::mutex> lk(m_SectDisp);
    if (!m_uInit)
        return 0;
    OBJ_S* o = ObjGet(uObject);
    if (!o)
        return 0;
    if (lpuClass)
        *lpuClass = o->uClass;
    return 1;
}

u32 CQVNode::ObjectGetInstID(u32 uObject, u32* lpuInst)
{
    std::lock_guard<std::mutex> lk(m_SectDisp);
    if (!m_uInit)
        return 0;
    OBJ_S* o = ObjGet(uObject);
    if (!o)
        return 0;
    if (lpuInst)
        *lpuInst = o->uInst;
    return 1;
}

u32 CQVNode::ObjectSetGroup(u32 uObject, u32 uGroup)
{
    std::lock_guard<std::mutex> lk(m_SectDisp);
    if (!m_uInit)
        return 0;
    return ObjSetGroupProc(uObject, uGroup);
}

u32 CQVNode::ObjectGetGroup(u32 uObject, u32* lpuGroup)
{
    std::lock_guard<std::mutex> lk(m_SectDisp);
    if (!m_uInit)
        return 0;
    OBJ_S* o = ObjGet(uObject);
    if (!o)
        return 0;
    if (lpuGroup)
        *lpuGroup = o->uGroup;
    return 1;
}

u32 CQVNode::ObjectSync(u32 uObject, u32 uPeer, u32 uStart)
{
    std::lock_guard<std::mutex> lk(m_SectDisp);
    if (!m_uInit)
        return 0;
    return ObjSyncProc(uObject, uPeer, uStart);
}

int CQVNode::ObjectRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uParam)
{
    std::lock_guard<std::mutex> lk(m_SectDisp);
    if (!m_uInit)
        return QV_NODE_ERR_NOT_READY;
    return m_ClassProc.ObjRequest(uObject, uMethod, lpData, uSize, uParam);
}

int CQVNode::ObjectExtReply(u32 uObject, u32 uError, const void* lpData, u32 uSize, u32 uHandle)
{
    std::lock_guard<std::mutex> lk(m_SectDisp);
    if (!m_uInit)
        return 0;
    return m_ClassProc.ObjExtReply(uObject, uError, lpData, uSize, uHandle);
}
