// The node adapter: node start and stop, the wrapped node requests, the request parameter table
// and the translation of the node's replies and requests into tunnel messages.
#include "doZirizaNode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "doZiriza.h"
#include "qvDomain.h"
#include "qvLog.h"
#include "qvSockDriv.h"
#include "qvSocketUti.h"
#include "qvUtilize.h"

#include "qvClassFile.h"
#include "qvExtFile.h"

// The node engine is built apart from its classes; the adapter makes it when it is part of the
// build.
#if __has_include("qvNode.h")
#define DOZIRIZA_HAVE_NODE 1
#endif

namespace {

#ifdef DOZIRIZA_HAVE_NODE
IQVNode* NewRealNode()
{
    return qvNewNode();
}
#endif

IQVBase* NewRealFileExt()
{
    return new (std::nothrow) CQVExtFile();
}

IQVBase* NewRealFileClass()
{
    return new (std::nothrow) CQVClassFile();
}

DOZIRIZA_NODE_FACTORY_S MakeDefaultFactory()
{
    DOZIRIZA_NODE_FACTORY_S f = {nullptr, nullptr, nullptr};
#ifdef DOZIRIZA_HAVE_NODE
    f.pfnNewNode = NewRealNode;
#endif
    f.pfnNewFileExt = NewRealFileExt;
    f.pfnNewFileClass = NewRealFileClass;
    return f;
}

DOZIRIZA_NODE_FACTORY_S g_Factory = MakeDefaultFactory();

// A text handed over by the node: NUL-terminated, or bounded by uSize when a size is given.
QV_STRING DataText(const void* lpData, u32 uSize)
{
    if (lpData == nullptr)
        return QV_STRING();
    const char* lpsz = static_cast<const char*>(lpData);
    if (uSize == 0)
        return QV_STRING(lpsz);
    return QV_STRING(lpsz, (u32)strnlen(lpsz, uSize));
}

u32 ReadU32(const void* lpData, u32 uSize, u32 uOffset)
{
    u32 v = 0;
    if (lpData != nullptr && uSize >= uOffset + 4)
        memcpy(&v, static_cast<const u8*>(lpData) + uOffset, 4);
    return v;
}

// A fixed char[] field of a node record as a text (never read past the field).
QV_STRING FieldText(const u8* pRec, u32 uOffset, u32 uWidth)
{
    const char* lpsz = reinterpret_cast<const char*>(pRec + uOffset);
    return QV_STRING(lpsz, (u32)strnlen(lpsz, uWidth));
}

void CopyField(char* lpszOut, u32 uSize, const char* lpszText)
{
    if (lpszText == nullptr)
        lpszText = "";
    size_t uLen = strnlen(lpszText, uSize - 1);
    memcpy(lpszOut, lpszText, uLen);
    lpszOut[uLen] = 0;
}

}  // namespace

void doZirizaContextNotify(void* lpContext, u32 uEvent, u32 uParam)
{
#ifdef DOZIRIZA_HAVE_NODE
    qvContextNotify(lpContext, uEvent, uParam);
#else
    (void)lpContext;
    (void)uEvent;
    (void)uParam;
#endif
}

void CDOZirizaNodeProc::OnReply(u32 uObject, u32 uError, const void* lpData, u32 uSize, u32 uParam)
{
    if (m_pNode)
        m_pNode->OnReply(uObject, uError, lpData, uSize, uParam);
}

int CDOZirizaNodeProc::OnExtRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uHandle, u32 uPeer)
{
    return m_pNode ? m_pNode->OnExtRequest(uObject, uMethod, lpData, uSize, uHandle, uPeer) : 1;
}

// ---------------------------------------------------------------------------------------------
// Set-up

CDOZirizaNode::CDOZirizaNode()
    : m_pNode(nullptr),
      m_pExtTcp(nullptr),
      m_pExtFile(nullptr),
      m_pClassFile(nullptr),
      m_pTunnel(nullptr),
      m_uCurStamp(0),
      m_uSockBufSize(256),
      m_uSvrBufSize(0),
      m_uSelfObj(0),
      m_uSvrObj(0),
      m_uLoggedIn(0),
      m_pParam(nullptr),
      m_uParamCount(0)
{
    m_NodeProc.Attach(this);
}

CDOZirizaNode::~CDOZirizaNode()
{
    ParamClean();
}

void CDOZirizaNode::SetFactory(const DOZIRIZA_NODE_FACTORY_S* lpFactory)
{
    g_Factory = lpFactory ? *lpFactory : MakeDefaultFactory();
}

const DOZIRIZA_NODE_FACTORY_S& CDOZirizaNode::GetFactory()
{
    return g_Factory;
}

void CDOZirizaNode::Attach(CDOZiriza* pTunnel, IQVBase* pExtTcp)
{
    m_pTunnel = pTunnel;
    m_pExtTcp = pExtTcp;
}

u32 CDOZirizaNode::TunnelRuns() const
{
    return m_pTunnel != nullptr && m_pTunnel->IsStarted();
}

u32 CDOZirizaNode::Initialize(u32 uMaxSess, u32 uMaxTunnel, const char* lpszSvrName, const char* lpszSvrAddr,
                              const char* lpszCltAddr, const char* lpszClientInfo,
                              const tagQV_RELAY_INFO_S* lpRelays, u32 uRelayCount, const INIT_CFG_S& cfg)
{
    if (uMaxSess > SESSION_MAX)
    {
        qvLogOut(1, "TunnelNode::Initialize, Session number limit: %u", SESSION_MAX);
        return 0;
    }
    if (m_pNode != nullptr)
        Clean();

    // One entry per outstanding request; handles keep the index in 16 bits. Every TCP session
    // being set up holds one (its "TcpSess" call) besides the two per tunnel: a table sized by
    // the tunnels alone made set-ups beyond it wait for a tick and time out under load.
    u64 uParams = 2 * (u64)uMaxTunnel + uMaxSess;
    if (uParams < PARAM_MIN)
        uParams = PARAM_MIN;
    if (uParams > PARAM_MAX)
        uParams = PARAM_MAX;
    m_pParam = new (std::nothrow) PARAM_S[uParams];
    if (m_pParam == nullptr)
        return 0;
    m_uParamCount = (u32)uParams;
    m_ListFree.Reset();
    m_ListBusy.Reset();
    for (u32 i = 0; i < m_uParamCount; i++)
    {
        m_pParam[i].uCookie = qvGetCookieShort(0);
        m_ListFree.PushTail(&m_pParam[i]);
    }

    auto fail = [this]() {
        Clean();
        return 0u;
    };
    m_pNode = g_Factory.pfnNewNode ? g_Factory.pfnNewNode() : nullptr;
    if (m_pNode == nullptr)
    {
        dprintf_level(3, "TunnelNode: Initialize, new node failed");
        return fail();
    }
    if (m_pExtTcp != nullptr)
        m_pNode->AttachExtend(m_pExtTcp, QV_EXT_TCP, 0x7FFF);
    if (g_Factory.pfnNewFileExt != nullptr)
    {
        m_pExtFile = g_Factory.pfnNewFileExt();
        if (m_pExtFile == nullptr)
            return fail();
        m_pNode->AttachExtend(m_pExtFile, QV_EXT_FILE, 0x7FFF);
    }
    if (g_Factory.pfnNewFileClass != nullptr)
    {
        m_pClassFile = g_Factory.pfnNewFileClass();
        if (m_pClassFile == nullptr)
            return fail();
        m_pNode->AttachClass(m_pClassFile, QV_CLASS_FILE, 2 * uMaxSess);
    }
    m_pNode->SetAddr(lpszCltAddr ? lpszCltAddr : "", 0);

    // Table sizes in the order of the record: peers, groups, objects, multicast units,
    // waiters, handles, extension instances.
    QV_CFG_S nodeCfg;
    memset(&nodeCfg, 0, sizeof(nodeCfg));
    CopyField(nodeCfg.szClientInfo, sizeof(nodeCfg.szClientInfo), lpszClientInfo);
    u32* puTable = &nodeCfg.uPeerMax;
    const u32 uTwice = 2 * uMaxSess < 128 ? 128 : 2 * uMaxSess;
    puTable[0] = uMaxSess;
    puTable[1] = 2;
    puTable[2] = 3 * uMaxSess + 8;
    puTable[3] = uTwice;
    puTable[4] = uTwice;
    puTable[5] = uMaxSess < 128 ? 128 : uMaxSess;
    puTable[6] = 2 * uMaxSess + 32;
    nodeCfg.auQueueSize[0] = m_uSockBufSize;
    nodeCfg.auQueueSize[1] = 4;
    nodeCfg.auQueueSize[2] = 16;
    nodeCfg.auQueueSize[3] = cfg.uSessBufSize;
    nodeCfg.auSockParam[0] = cfg.uP2PTryTime;
    nodeCfg.auSockParam[3] = cfg.uP2PTryTime;
    nodeCfg.uSockSide = 0;
    nodeCfg.uClassOption = 0;
    nodeCfg.uNodeOption = 1 | (cfg.uClientOnly ? 0x80 : 0) | (cfg.uBatchReceive ? 0x100 : 0);
    nodeCfg.uRequestTimeout = 120;
    nodeCfg.uSockProcParam = cfg.uP2PTryInterval;

    if (cfg.iDnsRandom >= 0)
        qvDomainRandom((u32)cfg.iDnsRandom);
    if (cfg.uDnsUseIPv4 && cfg.uDnsUseIPv6)
        qvDomainIPVersion(2);
    else if (cfg.uDnsUseIPv4)
        qvDomainIPVersion(0);
    else if (cfg.uDnsUseIPv6)
        qvDomainIPVersion(1);

    if (IQVSocketUDP4Priv* pUdp4 = static_cast<IQVSocketUDP4Priv*>(qvSocketGetPriv(m_pNode, 0)))
    {
        u32 uValue = cfg.uFwdSpeed;
        pUdp4->SetConfig(0, &uValue);
        uValue = cfg.uFwdGate;
        pUdp4->SetConfig(1, &uValue);
        uValue = cfg.uP2PTryTime / 2;
        pUdp4->SetConfig(2, &uValue);
        uValue = cfg.uFwdUse;
        pUdp4->SetConfig(3, &uValue);
        uValue = cfg.uFwdMaxSess;
        pUdp4->SetConfig(4, &uValue);
        u32 auStat[3] = {cfg.uFwdStatEnable, cfg.uFwdIntervalByte, cfg.uFwdIntervalSecond};
        pUdp4->SetConfig(5, auStat);
    }

    if (m_pNode->Initialize(this, &m_NodeProc, &nodeCfg) != 1)
    {
        dprintf_level(3, "TunnelNode: Initialize, node initialize failed");
        return fail();
    }
    if (lpRelays != nullptr && uRelayCount != 0)
        m_pNode->SetRelay(lpRelays, uRelayCount);

    u32 uSvr = m_pNode->ObjectAdd(lpszSvrName ? lpszSvrName : "", QV_CLASS_PEER, 0, cfg.uDigest ? 10 : 2);
    if (uSvr == 0)
    {
        dprintf_level(3, "TunnelNode: Add server peer object failed");
        return fail();
    }
    m_uSvrObj = uSvr;
    char aucAddr[ADDR_REC_SIZE];
    memset(aucAddr, 0, sizeof(aucAddr));
    CopyField(aucAddr, 128, lpszSvrAddr);
    int iAddrErr = m_pNode->ObjectRequest(uSvr, 37, aucAddr, sizeof(aucAddr), 0);
    if (iAddrErr > 0)
    {
        dprintf_level(3, "TunnelNode: Object request failed");
        dprintf_level(3, "TunnelNode: set server address, iErr=%d, Addr=%s", iAddrErr, aucAddr);
        return fail();
    }
    // The buffer size is an option of the File class; without it there is nothing to size.
    if (m_pClassFile != nullptr)
    {
        u64 uBuf = (u64)cfg.uSessBufSize * 3 / 2;
        if (!FileSetBufSize(uBuf > 0xFFFFFFFFu ? 0xFFFFFFFFu : (u32)uBuf))
            return fail();
    }
    PeerSvrGetOption(18);
    return 1;
}

void CDOZirizaNode::Clean()
{
    if (m_pNode != nullptr)
    {
        m_uLoggedIn = 0;
        m_uSelfObj = 0;
        if (m_uSvrObj != 0)
            m_pNode->ObjectDelete(m_uSvrObj);
        m_uSvrObj = 0;
        m_pNode->Clean();
        m_pNode->Delete();
        m_pNode = nullptr;
    }
    if (m_pClassFile != nullptr)
    {
        m_pClassFile->Delete();
        m_pClassFile = nullptr;
    }
    if (m_pExtFile != nullptr)
    {
        m_pExtFile->Delete();
        m_pExtFile = nullptr;
    }
    ParamClean();
}

// ---------------------------------------------------------------------------------------------
// Parameter table

void CDOZirizaNode::ParamClean()
{
    if (!m_SectParam.Lock())
        return;
    m_ListFree.Reset();
    m_ListBusy.Reset();
    delete[] m_pParam;
    m_pParam = nullptr;
    m_uParamCount = 0;
    m_SectParam.Unlock();
}

u32 CDOZirizaNode::ParamAlloc(u32 uKind, u32 uValue1, u32 uValue2, u32 uValue3)
{
    if (!m_SectParam.Lock())
        return 0;
    PARAM_S* p = m_ListFree.PopHead();
    if (p == nullptr)
    {
        // Reclaim the oldest entry whose reply is long overdue.
        const u32 uNow = m_uCurStamp;
        for (PARAM_S* q = m_ListBusy.Head(); q != nullptr; q = PARAM_LIST::Next(q))
        {
            if (uNow - q->uStamp > PARAM_AGE_MAX && (p == nullptr || q->uStamp < p->uStamp))
                p = q;
        }
        if (p != nullptr)
            m_ListBusy.Remove(p);
    }
    u32 uHandle = 0;
    if (p != nullptr)
    {
        p->uCookie = qvGetCookieShort(p->uCookie);
        p->uKind = (u16)uKind;
        p->uStamp = m_uCurStamp;
        p->uValue1 = uValue1;
        p->uValue2 = uValue2;
        p->uValue3 = uValue3;
        m_ListBusy.PushTail(p);
        uHandle = qvHandleMake((u32)(p - m_pParam), p->uCookie);
    }
    m_SectParam.Unlock();
    return uHandle;
}

CDOZirizaNode::PARAM_S* CDOZirizaNode::ParamFind(u32 uHandle)
{
    u32 uIndex = qvHandleIndex(uHandle);
    if (m_pParam == nullptr || uIndex >= m_uParamCount)
        return nullptr;
    PARAM_S* p = &m_pParam[uIndex];
    if (!m_ListBusy.Contains(p) || p->uCookie != qvHandleCookie(uHandle))
        return nullptr;
    return p;
}

void CDOZirizaNode::ParamFree(u32 uHandle)
{
    if (!m_SectParam.Lock())
        return;
    if (PARAM_S* p = ParamFind(uHandle))
    {
        p->uCookie = qvGetCookieShort(p->uCookie);
        m_ListBusy.Remove(p);
        m_ListFree.PushTail(p);
    }
    m_SectParam.Unlock();
}

u32 CDOZirizaNode::ParamGetInfo(u32 uHandle, u32* lpuKind, u32* lpuValue1, u32* lpuValue2, u32* lpuValue3)
{
    if (!m_SectParam.Lock())
        return 0;
    PARAM_S* p = ParamFind(uHandle);
    if (p != nullptr)
    {
        if (lpuKind)
            *lpuKind = p->uKind;
        if (lpuValue1)
            *lpuValue1 = p->uValue1;
        if (lpuValue2)
            *lpuValue2 = p->uValue2;
        if (lpuValue3)
            *lpuValue3 = p->uValue3;
    }
    m_SectParam.Unlock();
    return p != nullptr;
}

u32 CDOZirizaNode::ParamEnum(u32 uHandle)
{
    if (!m_SectParam.Lock())
        return 0;
    PARAM_S* p = ParamFind(uHandle);
    PARAM_S* pNext = p ? PARAM_LIST::Next(p) : m_ListBusy.Head();
    u32 uNext = pNext ? qvHandleMake((u32)(pNext - m_pParam), pNext->uCookie) : 0;
    m_SectParam.Unlock();
    return uNext;
}

u32 CDOZirizaNode::RequestEnum(u32* lpuValue3, u32* lpuValue1, u32* lpuValue2, u32* lpuIter)
{
    u32 uHandle = *lpuIter;
    for (;;)
    {
        uHandle = ParamEnum(uHandle);
        if (uHandle == 0)
            return 0;
        if (ParamGetInfo(uHandle, nullptr, lpuValue1, lpuValue2, lpuValue3))
        {
            *lpuIter = uHandle;
            return 1;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Login

u32 CDOZirizaNode::Login(const char* lpszUser, const char* lpszPass, const char* lpszComment)
{
    if (m_pNode == nullptr)
        return 0;
    u32 uParam = ParamAlloc(KIND_LOGIN, 0xFFFF, 0, 0);
    if (uParam == 0)
        return 0;
    m_uLoggedIn = 0;
    char aucRec[LOGIN_REC_SIZE];
    memset(aucRec, 0, sizeof(aucRec));
    CopyField(aucRec, 128, lpszUser);
    CopyField(aucRec + 128, 128, lpszPass);
    // The comment goes into a key-value element, escaped; it is cut (at a character boundary)
    // where the 256-byte field would overflow.
    char* lpszParam = aucRec + 256;
    int n = snprintf(lpszParam, 256, "(Ver){%u.%u.%u.%s}(Cmmt){", DOZIRIZA_VER_MAJOR, DOZIRIZA_VER_MINOR,
                     DOZIRIZA_VER_PATCH, DOZIRIZA_VER_BUILD);
    u32 uLen = (u32)n;
    const u32 uRoom = 255 - 1;  // keeps one byte for the closing brace
    for (const char* p = lpszComment ? lpszComment : ""; *p; p++)
    {
        QV_STRING strOne;
        // Gather one whole UTF-8 character.
        const char* q = p + 1;
        while (((unsigned char)*q & 0xC0) == 0x80)
            q++;
        strOne.assign(p, (u32)(q - p));
        QV_STRING strEnc = doZirizaOmlEncode(strOne.c_str());
        if (uLen + strEnc.length() > uRoom)
            break;
        memcpy(lpszParam + uLen, strEnc.c_str(), strEnc.length());
        uLen += strEnc.length();
        p = q - 1;
    }
    lpszParam[uLen++] = '}';
    lpszParam[uLen] = 0;
    int iRet = m_pNode->ObjectRequest(m_uSvrObj, KIND_LOGIN, aucRec, sizeof(aucRec), uParam);
    if (iRet > 0)
    {
        dprintf_level(3, "TunnelNode: Login request, iErr=%d", iRet);
        ParamFree(uParam);
        return 0;
    }
    m_uSelfObj = m_pNode->ObjectGetID(lpszUser ? lpszUser : "");
    m_strLoginUser = lpszUser ? lpszUser : "";
    return 1;
}

void CDOZirizaNode::Logout()
{
    if (m_pNode != nullptr && m_uSvrObj != 0)
        m_pNode->ObjectRequest(m_uSvrObj, 33, nullptr, 0, 0);
    m_uLoggedIn = 0;
}

// ---------------------------------------------------------------------------------------------
// Requests

int CDOZirizaNode::SetOption(u32 uObj, u32 uItem, const char* lpszValue)
{
    if (m_pNode == nullptr)
        return DOZIRIZA_RES_BADSTATUS;
    u8 aucRec[OPTION_REC_SIZE];
    memset(aucRec, 0, sizeof(aucRec));
    memcpy(aucRec, &uItem, 4);
    CopyField(reinterpret_cast<char*>(aucRec + 4), 256, lpszValue);
    return m_pNode->ObjectRequest(uObj, 2, aucRec, sizeof(aucRec), 0);
}

u32 CDOZirizaNode::PeerAdd(const char* lpszPeer, u32 uTimeout, u32 uChannel, u32 uMultiPath)
{
    if (m_pNode == nullptr)
        return 0;
    u32 uObj = m_pNode->ObjectAdd(lpszPeer, QV_CLASS_PEER, 0, 0x10060);
    if (uObj == 0)
        return 0;
    int iErr = PeerSetOption(uObj, uTimeout, uChannel, uMultiPath);
    if (iErr > 0)
    {
        m_pNode->ObjectDelete(uObj);
        dprintf_level(3, "TunnelNode, PeerAdd. set call timeout, iErr=%d.", iErr);
        dprintf_level(3, "TunnelNode: PeerAdd. Add tcp server peer failed. lpszPeer=%s", lpszPeer ? lpszPeer : "");
        return 0;
    }
    return uObj;
}

u32 CDOZirizaNode::PeerStaticAdd(const char* lpszPeer, const char* lpszAddr)
{
    if (m_pNode == nullptr)
        return 0;
    u32 uObj = m_pNode->ObjectAdd(lpszPeer, QV_CLASS_PEER, 0, 0x10024);
    if (uObj == 0)
        return 0;
    char aucRec[ADDR_REC_SIZE];
    memset(aucRec, 0, sizeof(aucRec));
    CopyField(aucRec, 128, lpszAddr);
    int iErr = m_pNode->ObjectRequest(uObj, 37, aucRec, sizeof(aucRec), 0);
    if (iErr > 0)
    {
        m_pNode->ObjectDelete(uObj);
        dprintf_level(3, "TunnelNode, PeerAdd. set call timeout, iErr=%d.", iErr);
        dprintf_level(3, "TunnelNode: PeerAdd. Add tcp server peer failed. lpszPeer=%s", lpszPeer ? lpszPeer : "");
        return 0;
    }
    return uObj;
}

void CDOZirizaNode::PeerDelete(u32 uObj)
{
    if (m_pNode != nullptr)
        m_pNode->ObjectDelete(uObj);
}

u32 CDOZirizaNode::PeerNotify(u32 uPeer, const char* lpszName, const char* lpszData)
{
    if (m_pNode == nullptr)
        return 0;
    QV_STRING strText(lpszName ? lpszName : "");
    strText += "?";
    strText += lpszData ? lpszData : "";
    if (strText.length() > 2046)
        return 0;
    return m_pNode->ObjectRequest(uPeer, 36, strText.c_str(), 0, 0) == 0;
}

namespace {

// Check record of method 41: u32 action, char[256] value.
void CheckRec(u8* aucRec, u32 uAction, const char* lpszValue)
{
    memset(aucRec, 0, 260);
    memcpy(aucRec, &uAction, 4);
    CopyField(reinterpret_cast<char*>(aucRec + 4), 256, lpszValue);
}

}  // namespace

int CDOZirizaNode::PeerCheck(u32 uPeer, u32 bSync)
{
    if (m_pNode == nullptr)
        return DOZIRIZA_RES_BADSTATUS;
    u8 aucRec[260];
    CheckRec(aucRec, 1, "3");
    int iErr = m_pNode->ObjectRequest(uPeer, 41, aucRec, sizeof(aucRec), 0);
    if (iErr != 0)
    {
        dprintf_level(3, "TunnelNode: PeerCheck: iErr=%d, uPeer=%u", iErr, uPeer);
        if (bSync)
            m_pNode->ObjectSync(uPeer, 0, 1);
    }
    return iErr;
}

u32 CDOZirizaNode::PeerFresh(u32 uPeer, u32 uValue)
{
    if (m_pNode == nullptr)
        return 0;
    u8 aucRec[260];
    char sz[16];
    snprintf(sz, sizeof(sz), "%u", uValue);
    CheckRec(aucRec, 2, sz);
    return m_pNode->ObjectRequest(uPeer, 41, aucRec, sizeof(aucRec), 0) == 0;
}

u32 CDOZirizaNode::PeerCheckStatic(u32 uPeer)
{
    if (m_pNode == nullptr)
        return 0;
    u8 aucRec[260];
    CheckRec(aucRec, 3, "4");
    return m_pNode->ObjectRequest(uPeer, 41, aucRec, sizeof(aucRec), 0) == 0;
}

int CDOZirizaNode::PeerSetOption(u32 uPeer, u32 uTimeout, u32 uChannel, u32 uMultiPath)
{
    char sz[16];
    snprintf(sz, sizeof(sz), "%u", uTimeout);
    int iRet = SetOption(uPeer, 3, sz);
    if (iRet > 0)
        return iRet;
    if (uChannel <= 2)
    {
        snprintf(sz, sizeof(sz), "%u", uChannel);
        iRet = SetOption(uPeer, 4, sz);
        if (iRet > 0)
            return iRet;
    }
    if (uMultiPath <= 2)
    {
        snprintf(sz, sizeof(sz), "%u", uMultiPath);
        iRet = SetOption(uPeer, 19, sz);
    }
    return iRet;
}

int CDOZirizaNode::PeerSetChannelMode(u32 uPeer, u32 uMode)
{
    if (m_pNode == nullptr)
        return DOZIRIZA_RES_BADSTATUS;
    if (uMode > 2)
        return 0;
    char sz[16];
    snprintf(sz, sizeof(sz), "%u", uMode);
    int iRet = SetOption(uPeer, 4, sz);
    return iRet > 0 ? iRet : 0;
}

u32 CDOZirizaNode::PeerSetFlag(u32 uPeer, u32 uFlag)
{
    if (m_pNode == nullptr)
        return 0;
    char sz[16];
    snprintf(sz, sizeof(sz), "%u", uFlag);
    return SetOption(uPeer, 16, sz) <= 0;
}

u32 CDOZirizaNode::PeerSetReloginDelay(u32 uInterval, u32 uMax)
{
    if (m_pNode == nullptr)
        return 0;
    char sz[64];
    snprintf(sz, sizeof(sz), "(Interval){%u}(Max){%u}", uInterval, uMax);
    return SetOption(m_uSvrObj, 15, sz) <= 0;
}

u32 CDOZirizaNode::PeerSetPeerInfoDelay(u32 uDelay)
{
    if (m_pNode == nullptr)
        return 0;
    char sz[16];
    snprintf(sz, sizeof(sz), "%u", uDelay);
    return SetOption(m_uSvrObj, 17, sz) <= 0;
}

u32 CDOZirizaNode::PeerAuthEnable(u32 uEnable)
{
    if (m_pNode == nullptr)
        return 0;
    char sz[16];
    snprintf(sz, sizeof(sz), "%u", uEnable);
    return SetOption(m_uSvrObj, 23, sz) <= 0;
}

u32 CDOZirizaNode::PeerLanScanEnable(const char* lpszPeer, const char* lpszLabel)
{
    if (m_pNode == nullptr)
        return 0;
    QV_STRING strValue("(Enable){1}(Peer){");
    strValue += doZirizaOmlEncode(lpszPeer);
    strValue += "}(Label){";
    strValue += doZirizaOmlEncode(lpszLabel);
    strValue += "}";
    if (strValue.length() > 255)
        return 0;
    return SetOption(m_uSvrObj, 1, strValue.c_str()) <= 0;
}

int CDOZirizaNode::PeerFwdCfg(int iSpeed, int iGate, int iUse, int iMaxSess)
{
    dprintf_level(3, "TunnelNode:PeerFwdCfg: iSpeed=%d, iGate=%d, iUse=%d, iMaxSess=%d", iSpeed, iGate, iUse, iMaxSess);
    if (m_pNode == nullptr)
        return DOZIRIZA_RES_BADSTATUS;
    IQVSocketUDP4Priv* pUdp4 = static_cast<IQVSocketUDP4Priv*>(qvSocketGetPriv(m_pNode, 0));
    if (pUdp4 == nullptr)
        return DOZIRIZA_RES_BADSTATUS;
    const u32 auItem[4] = {0, 1, 3, 4};
    const int aiValue[4] = {iSpeed, iGate, iUse, iMaxSess};
    for (u32 i = 0; i < 4; i++)
    {
        if (aiValue[i] < 0)
            continue;
        u32 uValue = (u32)aiValue[i];
        pUdp4->SetConfig(auItem[i], &uValue);
    }
    return 0;
}

int CDOZirizaNode::PeerControl(u32 uAction, const char* lpszParam)
{
    dprintf_level(3, "TunnelNode:PeerControl: uAction=%u, szParam=%s", uAction, lpszParam ? lpszParam : "");
    if (m_pNode == nullptr)
        return DOZIRIZA_RES_BADSTATUS;
    u8 aucRec[260];
    CheckRec(aucRec, uAction, lpszParam);
    int iRet = m_pNode->ObjectRequest(m_uSvrObj, 4, aucRec, sizeof(aucRec), 0);
    return iRet > 0 ? iRet : 0;
}

int CDOZirizaNode::PeerSvrGetOption(u32 uItem)
{
    if (m_pNode == nullptr)
        return DOZIRIZA_RES_BADSTATUS;
    u32 uParam = ParamAlloc(KIND_GET_OPTION, 0, 0, 0);
    if (uParam == 0)
        return DOZIRIZA_RES_BADSTATUS;
    u8 aucRec[OPTION_REC_SIZE];
    memset(aucRec, 0, sizeof(aucRec));
    memcpy(aucRec, &uItem, 4);
    int iErr = m_pNode->ObjectRequest(m_uSvrObj, 3, aucRec, sizeof(aucRec), uParam);
    if (iErr > 0)
    {
        ParamFree(uParam);
        dprintf_level(3, "TunnelNode: PeerGetOption: iErr=%d", iErr);
        return iErr;
    }
    return 0;
}

u32 CDOZirizaNode::PeerDigVerify(u32, const char* lpszDigest, const char* lpszPeer)
{
    if (m_pNode == nullptr)
        return 0;
    char aucRec[ADDR_REC_SIZE];
    memset(aucRec, 0, sizeof(aucRec));
    CopyField(aucRec, 256, lpszDigest);
    CopyField(aucRec + 256, 128, lpszPeer);
    return m_pNode->ObjectRequest(m_uSvrObj, 40, aucRec, sizeof(aucRec), 0) <= 0;
}

int CDOZirizaNode::PeerAuthSetInfo(u32 uPeer, const char* lpszInfo)
{
    if (m_pNode == nullptr)
        return DOZIRIZA_RES_BADSTATUS;
    char aucRec[512];
    memset(aucRec, 0, sizeof(aucRec));
    CopyField(aucRec, 256, lpszInfo);
    int iErr = m_pNode->ObjectRequest(uPeer, 58, aucRec, sizeof(aucRec), 0);
    if (iErr > 0)
    {
        dprintf_level(3, "TunnelNode: PeerAuthSetInfo, try, iErr=%d", iErr);
        return iErr;
    }
    return 0;
}

int CDOZirizaNode::PeerAuthProcReply(u32 uErr, u32 uHandle, const char* lpszParam)
{
    if (m_pNode == nullptr)
        return DOZIRIZA_RES_BADSTATUS;
    char aucRec[256];
    memset(aucRec, 0, sizeof(aucRec));
    CopyField(aucRec, 256, lpszParam);
    int iRet = m_pNode->ObjectExtReply(m_uSelfObj, uErr, aucRec, sizeof(aucRec), uHandle);
    return iRet > 0 ? iRet : 0;
}

u32 CDOZirizaNode::PeerCallReply(const char* lpszData, u32 uErr, u32 uHandle)
{
    if (m_pNode == nullptr)
        return 0;
    int iRet = m_pNode->ObjectExtReply(m_uSelfObj, uErr, lpszData ? lpszData : "", 0, uHandle);
    if (iRet != 0)
    {
        dprintf_level(3, "TunnelNode: PeerCallReply: uRet=%d", iRet);
        return 0;
    }
    return 1;
}

int CDOZirizaNode::PeerCall(u32 uPeer, const char* lpszData, u32 uExtMeth, u32 uParam)
{
    if (m_pNode == nullptr)
        return DOZIRIZA_RES_BADSTATUS;
    u32 uEntry = ParamAlloc(KIND_CALL, uExtMeth, uParam, 0);
    if (uEntry == 0)
    {
        dprintf_level(3, "TunnelNode: PeerCall: Alloc param failed.");
        return DOZIRIZA_RES_BADSTATUS;
    }
    int iErr = m_pNode->ObjectRequest(uPeer, KIND_CALL, lpszData ? lpszData : "", 0, uEntry);
    if (iErr > 0)
    {
        ParamFree(uEntry);
        dprintf_level(3, "TunnelNode: PeerCall: iErr=%d", iErr);
        return iErr;
    }
    return 0;
}

int CDOZirizaNode::CallRequest(const char* lpszData, u32 uCallMeth, u32 uHttpSess)
{
    if (m_pNode == nullptr)
        return DOZIRIZA_RES_NOLOGIN;
    u32 uEntry = ParamAlloc(KIND_CALL, uCallMeth, uHttpSess, 1);
    if (uEntry == 0)
        return DOZIRIZA_RES_SYSTEM;
    int iErr = m_pNode->ObjectRequest(m_uSvrObj, KIND_CALL, lpszData ? lpszData : "", 0, uEntry);
    if (iErr > 0)
    {
        ParamFree(uEntry);
        dprintf_level(3, "TunnelNode: CallRequest: iErr=%d", iErr);
        return iErr;
    }
    return 0;
}

int CDOZirizaNode::PeerGetInfo(u32 uPeer, u32 uValue1, u32 uValue2)
{
    if (m_pNode == nullptr)
        return DOZIRIZA_RES_BADSTATUS;
    u32 uEntry = ParamAlloc(KIND_PEER_INFO, uValue1, uValue2, 2);
    if (uEntry == 0)
    {
        dprintf_level(3, "TunnelNode: PeerGetInfo: Alloc param failed.");
        return DOZIRIZA_RES_SYSTEM;
    }
    int iErr = m_pNode->ObjectRequest(uPeer, KIND_PEER_INFO, nullptr, 0, uEntry);
    if (iErr > 0)
    {
        ParamFree(uEntry);
        dprintf_level(3, "TunnelNode: PeerGetInfo: iErr=%d", iErr);
        return iErr;
    }
    return 0;
}

u32 CDOZirizaNode::PeerLanScan(const char* lpszPeerLan, u32 uTimeout)
{
    qvLogOut(3, "TunnelNode: PeerLanScan: szPeerLan=%s, uTimeout=%u", lpszPeerLan ? lpszPeerLan : "", uTimeout);
    if (m_pNode == nullptr)
        return 0;
    u32 uEntry = ParamAlloc(KIND_LAN_SCAN, 0, 0, 0);
    if (uEntry == 0)
    {
        qvLogOut(2, "TunnelNode: PeerLanScan: Alloc param failed.");
        return 0;
    }
    u8 aucRec[136];
    memset(aucRec, 0, sizeof(aucRec));
    CopyField(reinterpret_cast<char*>(aucRec), 128, lpszPeerLan);
    memcpy(aucRec + 128, &uTimeout, 4);
    int iErr = m_pNode->ObjectRequest(m_uSvrObj, KIND_LAN_SCAN, aucRec, sizeof(aucRec), uEntry);
    if (iErr > 0)
    {
        ParamFree(uEntry);
        dprintf_level(3, "TunnelNode: PeerLanScan: iErr=%d", iErr);
        return 0;
    }
    return 1;
}

u32 CDOZirizaNode::FileAdd(const char* lpszName, u32 uGroup, u32 uFlag, u32 uTimeout)
{
    if (m_pNode == nullptr)
        return 0;
    u32 uObj = m_pNode->ObjectAdd(lpszName, QV_CLASS_FILE, uGroup, uFlag | 0x10000);
    if (uObj == 0)
    {
        dprintf_level(3, "TunnelNode: FileAdd: Add file objec falied.");
        return 0;
    }
    char sz[16];
    snprintf(sz, sizeof(sz), "%u", uTimeout);
    if (SetOption(uObj, 1, sz) > 0)
        dprintf_level(3, "TunnelNode: FileAdd: set blocked timeout falied.");
    return uObj;
}

void CDOZirizaNode::FileDelete(u32 uObj)
{
    if (m_pNode != nullptr)
        m_pNode->ObjectDelete(uObj);
}

u32 CDOZirizaNode::FileOpen(u32 uObj, u32 bPut, const char* lpszPath, const char* lpszPath2, u32 uBlock, u64 ullSize,
                            u32 uSess)
{
    if (m_pNode == nullptr)
        return 0;
    // char[256] path, char[256] second path, u32 block, u64 offset, u64 size.
    u8 aucRec[536];
    memset(aucRec, 0, sizeof(aucRec));
    CopyField(reinterpret_cast<char*>(aucRec), 256, lpszPath);
    CopyField(reinterpret_cast<char*>(aucRec + 256), 256, lpszPath2);
    u32 uBlk = uBlock ? uBlock : 16;
    memcpy(aucRec + 512, &uBlk, 4);
    memcpy(aucRec + 528, &ullSize, 8);
    int iErr = m_pNode->ObjectRequest(uObj, bPut ? 32 : 33, aucRec, sizeof(aucRec), uSess);
    if (iErr > 0)
    {
        dprintf_level(3, "TunnelNode: FileOpen: iErr=%d", iErr);
        return 0;
    }
    return 1;
}

u32 CDOZirizaNode::FileReply(u32 uObj, u32 uErr, const char* lpszText, u32 uBlock, u32 uHandle)
{
    if (m_pNode == nullptr)
        return 0;
    u8 aucRec[260];
    memset(aucRec, 0, sizeof(aucRec));
    CopyField(reinterpret_cast<char*>(aucRec), 256, lpszText);
    u32 uBlk = uBlock ? uBlock : 16;
    memcpy(aucRec + 256, &uBlk, 4);
    int iRet = m_pNode->ObjectExtReply(uObj, uErr, aucRec, sizeof(aucRec), uHandle);
    if (iRet != 0)
    {
        dprintf_level(3, "TunnelNode: FileReply: uRet=%d", iRet);
        return 0;
    }
    return 1;
}

void CDOZirizaNode::FileClose(u32 uObj)
{
    if (m_pNode != nullptr)
        m_pNode->ObjectRequest(uObj, 35, nullptr, 0, 0);
}

u32 CDOZirizaNode::FileSetBufSize(u32 uSize)
{
    if (m_pNode == nullptr)
        return 0;
    u32 uObj = m_pNode->ObjectAdd("_fileBufSize", QV_CLASS_FILE, 0, 0x10000);
    if (uObj == 0)
        return 0;
    char sz[16];
    snprintf(sz, sizeof(sz), "%u", uSize);
    int iErr = SetOption(uObj, 0, sz);
    m_pNode->ObjectDelete(uObj);
    if (iErr > 0)
    {
        dprintf_level(3, "TunnelNode, FileSetBufSize. set buffer size, iErr=%d.", iErr);
        return 0;
    }
    return 1;
}

u32 CDOZirizaNode::GetObjName(u32 uObj, char* lpszBuf, u32 uSize)
{
    if (lpszBuf != nullptr && uSize != 0)
        lpszBuf[0] = 0;
    if (m_pNode == nullptr || lpszBuf == nullptr || uSize == 0)
        return 0;
    u32 uRet = m_pNode->ObjectGetName(uObj, lpszBuf, uSize);
    lpszBuf[uSize - 1] = 0;
    return uRet;
}

u32 CDOZirizaNode::GetObjID(const char* lpszName)
{
    return m_pNode ? m_pNode->ObjectGetID(lpszName ? lpszName : "") : 0;
}

u32 CDOZirizaNode::ObjectSync(u32 uObj, u32 uPeer, u32 uStart)
{
    return m_pNode ? m_pNode->ObjectSync(uObj, uPeer, uStart) : 0;
}

u32 CDOZirizaNode::ObjectEnum(u32 uAfter, u32 uClass)
{
    return m_pNode ? m_pNode->ObjectEnum(uAfter, uClass) : 0;
}

u32 CDOZirizaNode::ObjectSetGroup(u32 uObj, u32 uGroup)
{
    return m_pNode ? m_pNode->ObjectSetGroup(uObj, uGroup) : 0;
}

// ---------------------------------------------------------------------------------------------
// Replies and requests from the node (dispatch thread)

void CDOZirizaNode::ReplyPeerInfo(u32 uObj, u32 uErrCode, const void* lpData, u32 uSize, u32 uValue1, u32 uValue2)
{
    if (!TunnelRuns())
        return;
    QV_STRING strText;
    if (uErrCode == 0)
        m_pTunnel->PeerInfoBuild(uObj, lpData, uSize, strText);
    m_pTunnel->PostMessage(DOZIRIZA_MSG_PEER_INFO_REPLY, uObj, uValue1, uValue2, strText.c_str());
}

u32 CDOZirizaNode::OnReply(u32 uObj, u32 uErrCode, const void* lpData, u32 uSize, u32 uParam)
{
    if (m_pNode == nullptr || m_pTunnel == nullptr)
        return 1;
    char szObj[128];
    GetObjName(uObj, szObj, sizeof(szObj));
    dprintf_level(3, "TunnelNode: OnReply: szObj=%s, uErrCode=%u, uParam=%u", szObj, uErrCode, uParam);
    QV_STRING strReply = uErrCode == 0 ? DataText(lpData, uSize) : QV_STRING();

    u32 uKind = 0, uValue1 = 0, uValue2 = 0, uValue3 = 0;
    if (uObj == m_uSvrObj)
    {
        if (!ParamGetInfo(uParam, &uKind, &uValue1, &uValue2, &uValue3))
            return 1;
        switch (uKind)
        {
        case KIND_GET_OPTION:
            if (uErrCode == 0 && lpData != nullptr && uSize >= OPTION_REC_SIZE && ReadU32(lpData, uSize, 0) == 18)
                m_uSvrBufSize = (u32)strtoul(FieldText(static_cast<const u8*>(lpData), 4, 256).c_str(), nullptr, 10);
            break;
        case KIND_LOGIN:
        {
            dprintf_level(3, "TunnelNode: LoginReply: uErr=%u", uErrCode);
            // The login result record is taken only as far as the node gave it; a short one
            // leaves the rest zero, and each text ends inside its field.
            u8 aucRec[LOGIN_REPLY_SIZE];
            memset(aucRec, 0, sizeof(aucRec));
            if (uErrCode == 0)
            {
                if (lpData != nullptr)
                    memcpy(aucRec, lpData, uSize < sizeof(aucRec) ? uSize : sizeof(aucRec));
                m_uSelfObj = GetObjID(m_strLoginUser.c_str());
                m_uLoggedIn = 1;
            }
            QV_STRING strSess = FieldText(aucRec, 8, 128);
            QV_STRING strParam = FieldText(aucRec, 136, 256);
            for (u32 i = 0; i < 16; i++)
            {
                if (m_pTunnel->PostMessage(DOZIRIZA_MSG_LOGIN_REPLY, uErrCode, 0, 0, strParam.c_str(), strSess.c_str()))
                    break;
                qvSleep(100);
            }
            break;
        }
        case KIND_CALL:
            if (TunnelRuns())
            {
                dprintf_level(3, "Tunnel::CallReply, uErr=%u, lpszData=%s", uErrCode, strReply.c_str());
                m_pTunnel->PostMessage(DOZIRIZA_MSG_CALL_REPLY, uErrCode, uValue1, uValue2, strReply.c_str());
            }
            break;
        case KIND_PEER_INFO:
            ReplyPeerInfo(uObj, uErrCode, lpData, uSize, uValue1, uValue2);
            break;
        case KIND_LAN_SCAN:
        {
            // u32 count, then entries of an address (20 bytes) and a char[128] name.
            QV_STRING strList;
            const u32 uEntry = sizeof(QV_ADDR_S) + 128;
            u32 uCount = uErrCode == 0 ? ReadU32(lpData, uSize, 0) : 0;
            if (uSize >= 4 && uCount > (uSize - 4) / uEntry)
                uCount = (uSize - 4) / uEntry;
            for (u32 i = 0; i < uCount && lpData != nullptr; i++)
            {
                const u8* p = static_cast<const u8*>(lpData) + 4 + i * uEntry;
                QV_ADDR_S addr;
                memcpy(&addr, p, sizeof(addr));
                char szAddr[QV_ADDR_STR_SIZE] = "";
                qvAddrToStr(&addr, szAddr, sizeof(szAddr));
                // LAN names come from other machines: escaped, so none can add elements.
                QV_STRING strItem("(");
                strItem += doZirizaOmlEncode(FieldText(p, sizeof(QV_ADDR_S), 128).c_str());
                strItem += "){";
                strItem += szAddr;
                strItem += "}";
                if (strList.length() + strItem.length() > 511)
                    break;
                strList += strItem;
            }
            m_pTunnel->PostMessage(DOZIRIZA_MSG_LAN_SCAN, uValue1, uValue2, 0, strList.c_str());
            break;
        }
        default:
            break;
        }
        ParamFree(uParam);
        return 1;
    }

    u32 uClass = 0xFFFF;
    m_pNode->ObjectGetClass(uObj, &uClass);
    if (uClass == QV_CLASS_FILE)
    {
        if (TunnelRuns() && !m_pTunnel->MsgNow(DOZIRIZA_MSG_FILE_REPLY, uObj, uErrCode, uParam))
            m_pTunnel->PostMessage(DOZIRIZA_MSG_FILE_REPLY, uObj, uErrCode, uParam, DataText(lpData, uSize).c_str());
        return 1;
    }
    if (uClass != QV_CLASS_PEER)
        return 1;
    if (!ParamGetInfo(uParam, &uKind, &uValue1, &uValue2, &uValue3))
        return 1;
    if (uKind == KIND_CALL)
    {
        if (TunnelRuns())
        {
            qvLogOut(3, "Tunnel::PeerCallReply, uErr=%u, uExtMeth=%u, lpszData=%s", uErrCode, uValue1,
                     strReply.c_str());
            char szTag[16];
            snprintf(szTag, sizeof(szTag), "%u", uValue1);
            if (!m_pTunnel->MsgNow(DOZIRIZA_MSG_PEER_CALL_REPLY, uErrCode, uValue2, uObj, strReply.c_str(), szTag))
                m_pTunnel->PostMessage(DOZIRIZA_MSG_PEER_CALL_REPLY, uErrCode, uValue2, uObj, strReply.c_str(),
                                       szTag);
        }
    }
    else if (uKind == KIND_PEER_INFO)
        ReplyPeerInfo(uObj, uErrCode, lpData, uSize, uValue1, uValue2);
    else if (uKind == KIND_GET_OPTION)
    {
        if (uErrCode == 0 && lpData != nullptr && uSize >= OPTION_REC_SIZE && ReadU32(lpData, uSize, 0) == 18)
            m_uSvrBufSize = (u32)strtoul(FieldText(static_cast<const u8*>(lpData), 4, 256).c_str(), nullptr, 10);
    }
    ParamFree(uParam);
    return 1;
}

int CDOZirizaNode::OnExtRequest(u32 uObj, u32 uMethod, const void* lpData, u32 uSize, u32 uHandle, u32 uPeer)
{
    if (m_pNode == nullptr || m_pTunnel == nullptr)
        return 1;
    CDOZiriza* t = m_pTunnel;
    const u32 bRuns = TunnelRuns();
    const u32 uAction = ReadU32(lpData, uSize, 0);
    if (uMethod == 0)
    {
        char szObj[128], szPeer[128];
        GetObjName(uObj, szObj, sizeof(szObj));
        GetObjName(uPeer, szPeer, sizeof(szPeer));
        dprintf_level(3, "TunnelNode: OnExtRequest: szObj=%s, uMethod=%u, uAction=%u, szPeer=%s", szObj, uMethod,
                      uAction, szPeer);
    }
    const u32 uSelf = m_uSelfObj;
    const u32 uSvr = m_uSvrObj;
    if (uObj != 0 && uObj == uSelf)
    {
        switch (uMethod)
        {
        case 0:
            if (uPeer == uSvr)
            {
                if (bRuns)
                    t->PostMessage(DOZIRIZA_MSG_SERVER_SYNC, uAction);
                if (uAction == 0)
                    qvLogOut(1, "TunnelNode: OnExtRequest: Server unsync at objself.");
            }
            else if (uAction == 0 && bRuns)
            {
                // The name goes along: the peer object may be gone when the message is served.
                char szPeer[128];
                GetObjName(uPeer, szPeer, sizeof(szPeer));
                t->PostMessage(DOZIRIZA_MSG_PEER_SYNC, uPeer, 0, 0, szPeer);
            }
            return 0;
        case 35:
        {
            if (!bRuns)
                return DOZIRIZA_RES_NOLOGIN;
            // A call is always answered through its handle, at once or when the connect to the
            // service has finished.
            QV_STRING strCall = DataText(lpData, uSize);
            if (t->MsgNow(DOZIRIZA_MSG_PEER_CALL_REQUEST, uPeer, uHandle, 0, strCall.c_str()))
                return -1;
            return t->PostMessage(DOZIRIZA_MSG_PEER_CALL_REQUEST, uPeer, uHandle, 0, strCall.c_str()) ? -1 : 1;
        }
        case 36:
            if (bRuns)
            {
                QV_STRING strText = DataText(lpData, uSize);
                if (uPeer == uSvr)
                    t->PostMessage(DOZIRIZA_MSG_SERVER_NOTIFY, 0, 0, 0, strText.c_str());
                // A new connection's notify comes just before the answer to its call: left to
                // the module thread, it would keep that thread busy when the answer comes.
                else if (strncmp(strText.c_str(), "TcpSess?", 8) != 0 ||
                         !t->MsgNow(DOZIRIZA_MSG_PEER_NOTIFY, uPeer, 0, 0, strText.c_str()))
                    t->PostMessage(DOZIRIZA_MSG_PEER_NOTIFY, uPeer, 0, 0, strText.c_str());
            }
            return 0;
        case 47:
        {
            char szAddr[QV_ADDR_STR_SIZE] = "";
            if (lpData != nullptr && uSize >= 4 + sizeof(QV_ADDR_S))
            {
                QV_ADDR_S addr;
                memcpy(&addr, static_cast<const u8*>(lpData) + 4, sizeof(addr));
                if (addr.uAddr[0] | addr.uAddr[1] | addr.uAddr[2] | addr.uAddr[3] | addr.uPort | addr.uExtra)
                    qvAddrToReadable(&addr, szAddr, sizeof(szAddr));
            }
            if (bRuns)
                t->PostMessage(DOZIRIZA_MSG_KICK_OUT, uAction, 0, 0, szAddr);
            return 0;
        }
        case 59:
            if (bRuns)
                t->PostMessage(DOZIRIZA_MSG_AUTH_REPLY, uPeer, uAction, 0,
                               uSize > 4 ? DataText(static_cast<const u8*>(lpData) + 4, uSize - 4).c_str() : "");
            return 0;
        case 60:
            if (!bRuns)
                return DOZIRIZA_RES_BADSTATUS;
            return t->PostMessage(DOZIRIZA_MSG_AUTH_REQUEST, uPeer, uHandle, 0, DataText(lpData, uSize).c_str()) ? -1
                                                                                                                : 1;
        default:
            return 0;
        }
    }
    if (uObj != 0 && uObj == uSvr)
    {
        switch (uMethod)
        {
        case 0:
            if (m_uLoggedIn && uAction == 0)
                qvLogOut(1, "TunnelNode: OnExtRequest: Server unsync at objsvr");
            return 0;
        case 46:
        {
            dprintf_level(3, "Tunnel::ReloginReply");
            // u32 error, u32 Expire, u32 Type, char Sess[128], char Param[256]; a short record
            // leaves the rest empty.
            u8 aucRec[RELOGIN_REPORT_SIZE];
            memset(aucRec, 0, sizeof(aucRec));
            if (lpData != nullptr)
                memcpy(aucRec, lpData, uSize < sizeof(aucRec) ? uSize : sizeof(aucRec));
            u32 uErr = ReadU32(aucRec, sizeof(aucRec), 0);
            if (bRuns)
                t->PostMessage(DOZIRIZA_MSG_RELOGIN_REPLY, uErr, 0, 0, FieldText(aucRec, 140, 256).c_str(),
                               FieldText(aucRec, 12, 128).c_str());
            dprintf_level(3, "TunnelNode: ReloginReply: uErr=%u", uErr);
            return 0;
        }
        case 53:
        case 54:
            if (bRuns && uSize >= 8)
                t->PostMessage(uMethod == 53 ? DOZIRIZA_MSG_FWD_STATUS : DOZIRIZA_MSG_FWD_RELAY_STAT, uAction,
                               ReadU32(lpData, uSize, 4));
            return 0;
        case 55:
            if (bRuns && uSize >= 16)
            {
                char sz2[16], sz3[16];
                snprintf(sz2, sizeof(sz2), "%u", ReadU32(lpData, uSize, 8));
                snprintf(sz3, sizeof(sz3), "%u", ReadU32(lpData, uSize, 12));
                t->PostMessage(DOZIRIZA_MSG_FWD_HOLE_STAT, uAction, ReadU32(lpData, uSize, 4), 0, sz2, sz3);
            }
            return 0;
        default:
            return 0;
        }
    }
    u32 uClass = 0xFFFF;
    m_pNode->ObjectGetClass(uObj, &uClass);
    if (uClass == QV_CLASS_PEER)
    {
        if (!bRuns)
            return 0;
        if (uMethod == 1 && uSize >= 8)
            t->PostMessage(DOZIRIZA_MSG_PEER_ERROR, uObj, uAction, ReadU32(lpData, uSize, 4));
        else if (uMethod == 0 && uSize >= 4)
        {
            char szPeer[128];
            GetObjName(uObj, szPeer, sizeof(szPeer));
            t->PostMessage(DOZIRIZA_MSG_PEER_SYNC, uObj, uAction, 0, szPeer);
        }
        else if (uMethod == 38)
        {
            QV_STRING strText;
            if (t->PeerInfoBuild(uObj, lpData, uSize, strText))
                t->PostMessage(DOZIRIZA_MSG_PEER_INFO_REPORT, uObj, 0, 0, strText.c_str());
        }
        return 0;
    }
    if (uClass == QV_CLASS_FILE)
    {
        switch (uMethod)
        {
        case 0:
            if (bRuns && !t->MsgNow(DOZIRIZA_MSG_FILE_SYNC, uObj, uAction, 0))
                t->PostMessage(DOZIRIZA_MSG_FILE_SYNC, uObj, uAction);
            return 0;
        case 32:
        case 33:
            if (!bRuns)
                return 1;
            if (t->MsgNow(DOZIRIZA_MSG_FILE_OPEN, uObj, uMethod == 32 ? 1 : 0, uHandle))
                return -1;
            return t->PostMessage(DOZIRIZA_MSG_FILE_OPEN, uObj, uMethod == 32 ? 1 : 0, uHandle) ? -1 : 1;
        case 34:
        {
            QV_PARAM_FILE_ST_S st;
            if (lpData == nullptr || uSize < sizeof(st))
                return 0;
            memcpy(&st, lpData, sizeof(st));
            if (bRuns && st.Status >= 1 && st.Status <= 3)
            {
                t->FileProgress(uObj, st.Side, st.Speed, st.CurSize);
                if (st.Status == 3)
                {
                    char sz[32];
                    snprintf(sz, sizeof(sz), "%llu", (unsigned long long)st.CurSize);
                    if (!t->MsgNow(DOZIRIZA_MSG_FILE_CLOSE, uObj, 0, 0, sz))
                        t->PostMessage(DOZIRIZA_MSG_FILE_CLOSE, uObj, 0, 0, sz);
                }
            }
            return 0;
        }
        case 36:
            if (bRuns && !t->MsgNow(DOZIRIZA_MSG_FILE_CLOSED, uObj, 0, 0))
                t->PostMessage(DOZIRIZA_MSG_FILE_CLOSED, uObj);
            return 0;
        default:
            return 0;
        }
    }
    return 0;
}
