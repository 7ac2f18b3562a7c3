// The tunnel table: connections, each binding a local client address (listened on through the
// TCP extension) to a service behind a remote peer. Adding from the connection text, replacing,
// searching, freeing and recycling entries, the peers' node objects, and the timers that keep
// the peers reachable and report connections on and off line. All on the tunnel thread.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doZiriza.h"
#include "qvDomain.h"
#include "qvLog.h"
#include "qvUtilize.h"

namespace {

// Longest texts a connection keeps: names up to the direct-tunnel name, peer IDs as the node
// names objects, addresses as the flat interface returns them.
const u32 NAME_MAX_LEN = 255;
const u32 PEER_MAX_LEN = 127;
const u32 ADDR_MAX_LEN = 63;
const u32 SVR_MAX_LEN = 255;
const u32 SUBDNS_MAX_LEN = 127;
// Tries of a listen (short and long retry), 50 ms apart.
const u32 LISTEN_TRIES = 2;
const u32 LISTEN_TRIES_LONG = 10;
// Entries that end here are recycled once idle this many ticks.
const u32 RECYCLE_IDLE = 10;
// Most ticks between two peer checks of a connection whose peer does not answer.
const u32 RETRY_INTERVAL_MAX = 120;

// Decimal 0 to 2 as a whole text.
u32 ReadType(const char* lpszText, u32* lpuType)
{
    if (lpszText == nullptr || lpszText[0] < '0' || lpszText[0] > '2' || lpszText[1] != 0)
        return 0;
    *lpuType = (u32)(lpszText[0] - '0');
    return 1;
}

u32 IsNonZero(const char* lpszText)
{
    return lpszText != nullptr && strtoul(lpszText, nullptr, 10) != 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Table

u32 CDOZiriza::TunnelInit(u32 uCount)
{
    TunnelClean();
    // Node requests for the connections keep their index in 16 bits, two per connection.
    if (uCount > TUNNEL_TABLE_MAX)
        uCount = TUNNEL_TABLE_MAX;
    if (!m_Tunnel.Init(uCount) || !m_HashTunnel.Init(256))
    {
        TunnelClean();
        return 0;
    }
    return 1;
}

void CDOZiriza::TunnelClean()
{
    while (TUNNEL_S* p = m_ListTunnelBusy.Head())
    {
        m_HashTunnel.Remove(&p->linkHash);
        p->strName.clear();
        p->strPeerOut.clear();
        p->strAddrSvr.clear();
        p->strAddrIn.clear();
        p->strFwdName.clear();
        m_Tunnel.Free(p);
    }
    m_Tunnel.Clean();
    m_HashTunnel.Clean();
    m_uFreshPos = 0;
    m_uActiveTick = 0;
}

const CDOZiriza::TUNNEL_S* CDOZiriza::TunnelGet(u32 uIndex) const
{
    TUNNEL_S* p = m_Tunnel.At(uIndex);
    return (p != nullptr && m_Tunnel.IsUsed(p)) ? p : nullptr;
}

u32 CDOZiriza::TunnelHandle(u32 uIndex) const
{
    const TUNNEL_S* p = TunnelGet(uIndex);
    return p ? m_Tunnel.Handle(p) : 0;
}

u32 CDOZiriza::TunnelIndexOf(u32 uHandle) const
{
    TUNNEL_S* p = m_Tunnel.Find(uHandle);
    return p ? m_Tunnel.IndexOf(p) : DOZIRIZA_TUNNEL_NONE;
}

u32 CDOZiriza::TunnelIsPeerOut(const TUNNEL_S* p) const
{
    return p != nullptr && !m_LoginInfo.strUser.empty() && p->strPeerOut == m_LoginInfo.strUser.c_str();
}

u32 CDOZiriza::TunnelSelfIsPeerOut(u32 uIndex)
{
    return TunnelIsPeerOut(TunnelGet(uIndex));
}

u32 CDOZiriza::TunnelSelfIsPeerIn(u32 uIndex)
{
    const TUNNEL_S* p = TunnelGet(uIndex);
    return p != nullptr && !p->strPeerOut.empty() && !TunnelIsPeerOut(p);
}

u32 CDOZiriza::TunnelAlloc(const char* lpszName, u32 uType, u32 uOption, u32 uFlags)
{
    TUNNEL_S* p = m_Tunnel.Alloc();
    if (p == nullptr)
        return DOZIRIZA_TUNNEL_NONE;
    const u32 uNow = m_uTickStamp;
    p->strName = lpszName;
    p->uType = (u16)uType;
    p->uOption = uOption;
    p->uFlags = uFlags;
    p->uRetryCount = 0;
    p->uRetryInterval = 1;
    p->uActiveCount = 0;
    p->uCheckStamp = uNow;
    p->uLastActive = uNow;
    p->uPeer = 0;
    p->uSessCount = 0;
    p->strPeerOut.clear();
    p->strAddrSvr.clear();
    p->strAddrIn.clear();
    p->strFwdName.clear();
    m_HashTunnel.Add(&p->linkHash, p, qvNameHash(lpszName));
    m_ListTunnelBusy.PushTail(p);
    return m_Tunnel.IndexOf(p);
}

u32 CDOZiriza::TunnelResolveAddrIn(const TUNNEL_S* p, QV_ADDR_S* lpAddr, u32 uWaitMs)
{
    memset(lpAddr, 0, sizeof(*lpAddr));
    return !p->strAddrIn.empty() && qvDomainToAddr(p->strAddrIn.c_str(), 2, lpAddr, 1, nullptr, uWaitMs, 0) != 0;
}

void CDOZiriza::TunnelFree(u32 uIndex)
{
    TUNNEL_S* p = m_Tunnel.At(uIndex);
    if (p == nullptr || !m_Tunnel.IsUsed(p))
        return;
    qvLogOut(2, "Tunnel::TunnelFree, strName=%s", p->strName.c_str());
    if (p->uType != DOZIRIZA_TUNNEL_FORWARD)
    {
        if (TunnelSelfIsPeerIn(uIndex) && !p->strAddrIn.empty())
        {
            TunnelEventCallback(uIndex, 9);
            QV_ADDR_S addr;
            if (TunnelResolveAddrIn(p, &addr, 5000))
                ExtTcpListenDelete(&addr);
        }
        p->strAddrIn.clear();
        p->strAddrSvr.clear();
    }
    else
    {
        p->strFwdName.clear();
        p->strAddrSvr.clear();
    }
    m_HashTunnel.Remove(&p->linkHash);
    p->strName.clear();
    p->strPeerOut.clear();
    p->uPeer = 0;
    p->uSessCount = 0;
    p->uFlags = 0;
    m_Tunnel.Free(p);
}

u32 CDOZiriza::TunnelRecycle()
{
    if (m_Tunnel.FreeCount() != 0)
        return 0;
    TUNNEL_S* pWait = nullptr;
    TUNNEL_S* pOther = nullptr;
    for (TUNNEL_S* p = m_ListTunnelBusy.Head(); p != nullptr; p = CQVList<TUNNEL_S>::Next(p))
    {
        if (!TunnelIsPeerOut(p))
            continue;
        TUNNEL_S*& pOld = (p->uFlags & DOZIRIZA_TUNNEL_FLAG_WAIT) ? pWait : pOther;
        if (pOld == nullptr || (s32)(p->uLastActive - pOld->uLastActive) < 0)
            pOld = p;
    }
    const u32 uNow = m_uTickStamp;
    TUNNEL_S* pFree = nullptr;
    if (pWait != nullptr && uNow - pWait->uLastActive >= RECYCLE_IDLE)
        pFree = pWait;
    else if (pOther != nullptr && uNow - pOther->uLastActive >= RECYCLE_IDLE)
        pFree = pOther;
    if (pFree == nullptr)
        return 0;
    qvLogOut(2, "Tunnel::TunnelRecycle, Free tunnel, Name=%s", pFree->strName.c_str());
    TunnelFree(m_Tunnel.IndexOf(pFree));
    return 1;
}

void CDOZiriza::TunnelFreeDirect()
{
    TUNNEL_S* p = m_ListTunnelBusy.Head();
    while (p != nullptr)
    {
        TUNNEL_S* pNext = CQVList<TUNNEL_S>::Next(p);
        if (p->uFlags & DOZIRIZA_TUNNEL_FLAG_DIRECT)
            TunnelFree(m_Tunnel.IndexOf(p));
        p = pNext;
    }
}

void CDOZiriza::TunnelServiceStop()
{
    while (TUNNEL_S* p = m_ListTunnelBusy.Head())
    {
        const u32 uIndex = m_Tunnel.IndexOf(p);
        QV_STRING strPeer;
        if (TunnelSelfIsPeerIn(uIndex))
            strPeer = p->strPeerOut;
        TunnelFree(uIndex);
        if (!strPeer.empty() && TunnelCountPeerOut(strPeer.c_str()) == 0)
            CallbackEventPost(QV_TUNNEL_EVENT_PEER_OFFLINE, 0, strPeer.c_str());
    }
}

// ---------------------------------------------------------------------------------------------
// Adding and deleting by connection text

u32 CDOZiriza::TunnelAdd(IQVString* pText, u32 uFlags, char* lpszNameOut, u32 uNameSize, QV_ADDR_S* lpAddrOut)
{
    if (lpszNameOut != nullptr && uNameSize != 0)
        lpszNameOut[0] = 0;
    if (pText == nullptr || m_pParser == nullptr || !m_Tunnel.Count())
        return DOZIRIZA_TUNNEL_NONE;
    IQVOMLParser* pParser = m_pParser;
    const char* lpsz = pParser->GetName(pText, "");
    QV_STRING strName(lpsz ? lpsz : "");
    if (lpszNameOut != nullptr && strName.length() < uNameSize)
        memcpy(lpszNameOut, strName.c_str(), strName.length() + 1);
    u32 uType = 0;
    if (strName.empty() || strName.length() > NAME_MAX_LEN || !ReadType(pParser->GetContent(pText, ".Type"), &uType))
        return DOZIRIZA_TUNNEL_NONE;
    if (m_Cfg.uMode == MODE_FORWARD && uType != DOZIRIZA_TUNNEL_FORWARD)
        return DOZIRIZA_TUNNEL_NONE;
    u32 uOption = 0;
    if (IsNonZero(pParser->GetContent(pText, ".Option.Encrypt")))
        uOption |= 1;
    if (IsNonZero(pParser->GetContent(pText, ".Option.Compress")))
        uOption |= 2;
    static const char* const s_apszSection[3] = {".Tcp", ".Proxy", ".Forward"};
    auto get = [&](const char* lpszKey) {
        QV_STRING strPath(s_apszSection[uType]);
        strPath += lpszKey;
        const char* lpszValue = pParser->GetContent(pText, strPath.c_str());
        return QV_STRING(lpszValue ? lpszValue : "");
    };
    QV_STRING strPeerOut = get(".PeerOut");
    QV_STRING strAddrSvr, strAddrIn, strSubDNS;
    if (uType != DOZIRIZA_TUNNEL_FORWARD)
        strAddrIn = get(".AddrIn");
    if (uType != DOZIRIZA_TUNNEL_PROXY)
        strAddrSvr = get(".AddrSvr");
    if (uType == DOZIRIZA_TUNNEL_FORWARD)
    {
        strSubDNS = get(".SubDNS");
        if (strSubDNS.length() > SUBDNS_MAX_LEN)
            return DOZIRIZA_TUNNEL_NONE;
        qvStrConvert(strSubDNS.data, 0);
    }
    // Texts come from the host or the server: bounded before they are kept.
    if (strPeerOut.empty() || strPeerOut.length() > PEER_MAX_LEN || strAddrSvr.length() > SVR_MAX_LEN ||
        strAddrIn.length() > ADDR_MAX_LEN)
        return DOZIRIZA_TUNNEL_NONE;
    dprintf_level(3, "Tunnel::TunnelAdd, strName=%s", strName.c_str());
    const QV_STRING& strKey = m_Cfg.uMode == MODE_FORWARD ? strSubDNS : strName;
    if (strKey.empty())
        return DOZIRIZA_TUNNEL_NONE;
    const u32 bOut = !m_LoginInfo.strUser.empty() && strPeerOut == m_LoginInfo.strUser.c_str();

    u32 uOld = TunnelSearch(strKey.c_str());
    if (uOld != DOZIRIZA_TUNNEL_NONE)
    {
        TUNNEL_S* p = m_Tunnel.At(uOld);
        u32 bSame = p->uType == uType && p->strPeerOut == strPeerOut.c_str();
        if (bSame && uType == DOZIRIZA_TUNNEL_TCP)
            bSame = p->strAddrSvr == strAddrSvr.c_str() && p->strAddrIn == strAddrIn.c_str();
        else if (bSame && uType == DOZIRIZA_TUNNEL_PROXY)
            bSame = p->strAddrIn == strAddrIn.c_str();
        else if (bSame)
            bSame = p->strAddrSvr == strAddrSvr.c_str() && p->strFwdName == strName.c_str();
        if (bSame)
        {
            p->uOption = uOption;
            p->uFlags |= uFlags;
            if (TunnelIsPeerOut(p))
                p->uLastActive = m_uTickStamp;
            dprintf_level(3, "Tunnel::TunnelAdd, Tunnel exist, pszNameTemp=%s", strKey.c_str());
            return uOld;
        }
        TunnelFree(uOld);
    }
    if (uType != DOZIRIZA_TUNNEL_FORWARD && !(uFlags & DOZIRIZA_TUNNEL_FLAG_WAIT) && !strAddrIn.empty())
    {
        u32 uOther = TunnelSearchByAddrIn(strAddrIn.c_str());
        if (uOther != DOZIRIZA_TUNNEL_NONE)
            TunnelFree(uOther);
    }
    u32 uIndex = TunnelAlloc(strKey.c_str(), uType, uOption, uFlags);
    if (uIndex == DOZIRIZA_TUNNEL_NONE && TunnelRecycle())
        uIndex = TunnelAlloc(strKey.c_str(), uType, uOption, uFlags);
    if (uIndex == DOZIRIZA_TUNNEL_NONE)
    {
        qvLogOut(1, "Tunnel::TunnelAdd, Alloc tunnel failed, pszNameTemp=%s", strKey.c_str());
        return DOZIRIZA_TUNNEL_NONE;
    }
    TUNNEL_S* p = m_Tunnel.At(uIndex);
    u32 uPeer = 0;
    if (!bOut && !m_Cfg.UtiClient.uTunnelOnDemand)
    {
        u32 uStatic = 0;
        uPeer = PeerOutObjCreate(strPeerOut.c_str(), 0, &uStatic);
        if (uPeer == 0)
        {
            TunnelFree(uIndex);
            return DOZIRIZA_TUNNEL_NONE;
        }
        if (uStatic)
            p->uFlags |= DOZIRIZA_TUNNEL_FLAG_STATIC;
        else
            p->uFlags &= ~(u32)DOZIRIZA_TUNNEL_FLAG_STATIC;
    }
    if (uType != DOZIRIZA_TUNNEL_FORWARD && !bOut)
    {
        auto dropPeer = [&]() {
            if (uPeer != 0 && TunnelCountPeerOut(strPeerOut.c_str()) == 0)
                m_Node.PeerDelete(uPeer);
            TunnelFree(uIndex);
        };
        QV_ADDR_S addr;
        memset(&addr, 0, sizeof(addr));
        if (strAddrIn.empty() || qvDomainToAddr(strAddrIn.c_str(), 2, &addr, 1, nullptr, 1500, 0) == 0)
        {
            dropPeer();
            return DOZIRIZA_TUNNEL_NONE;
        }
        const u32 uMode = uType == DOZIRIZA_TUNNEL_PROXY ? QV_EXT_TCP_LISTEN_PROXY : 0;
        if (!ExtTcpListenAdd(&addr, uMode, m_Tunnel.Handle(p), uFlags & DOZIRIZA_TUNNEL_FLAG_WAIT))
        {
            CallbackEventPost(QV_TUNNEL_EVENT_LISTEN_FAIL, 0, strAddrIn.c_str());
            if (uFlags & DOZIRIZA_TUNNEL_FLAG_WAIT)
            {
                if (m_Cfg.UtiClient.uTunnelIdlePort)
                    PortSearch(&addr, lpAddrOut, 1);
                dropPeer();
                return DOZIRIZA_TUNNEL_NONE;
            }
            p->uFlags |= DOZIRIZA_TUNNEL_FLAG_RELISTEN;
        }
    }
    p->uPeer = uPeer;
    p->strPeerOut = strPeerOut;
    if (uType == DOZIRIZA_TUNNEL_FORWARD)
    {
        p->strAddrSvr = strAddrSvr;
        p->strFwdName = strName;
    }
    else
    {
        if (uType == DOZIRIZA_TUNNEL_TCP)
            p->strAddrSvr = strAddrSvr;
        p->strAddrIn = strAddrIn;
        if (!bOut)
            TunnelEventCallback(uIndex, 8);
    }
    return uIndex;
}

u32 CDOZiriza::TunnelDelete(IQVString* pText)
{
    if (pText == nullptr || m_pParser == nullptr)
        return 0;
    QV_STRING strKey;
    if (m_Cfg.uMode == MODE_FORWARD)
    {
        const char* lpsz = m_pParser->GetContent(pText, ".Forward.SubDNS");
        strKey = lpsz ? lpsz : "";
        if (strKey.length() > SUBDNS_MAX_LEN)
            return 0;
        qvStrConvert(strKey.data, 0);
    }
    else
    {
        const char* lpsz = m_pParser->GetName(pText, "");
        strKey = lpsz ? lpsz : "";
    }
    if (strKey.empty())
        return 0;
    u32 uIndex = TunnelSearch(strKey.c_str());
    if (uIndex == DOZIRIZA_TUNNEL_NONE)
        return 0;
    TunnelFree(uIndex);
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Searches and counters

u32 CDOZiriza::TunnelSearch(const char* lpszName)
{
    if (lpszName == nullptr || !m_HashTunnel.m_uCount)
        return DOZIRIZA_TUNNEL_NONE;
    TUNNEL_S* p = m_HashTunnel.Find<TUNNEL_S>(qvNameHash(lpszName),
                                              [&](TUNNEL_S* t) { return t->strName == lpszName; });
    return p ? m_Tunnel.IndexOf(p) : DOZIRIZA_TUNNEL_NONE;
}

u32 CDOZiriza::TunnelSearchExt(const char* lpszPeer, u32 uType, const char* lpszSvrAddr, const char* lpszCltAddr)
{
    if (lpszPeer == nullptr || *lpszPeer == 0)
        return DOZIRIZA_TUNNEL_NONE;
    for (TUNNEL_S* p = m_ListTunnelBusy.Head(); p != nullptr; p = CQVList<TUNNEL_S>::Next(p))
    {
        if (p->uType != uType || !(p->strPeerOut == lpszPeer))
            continue;
        if (uType == DOZIRIZA_TUNNEL_TCP &&
            (p->strAddrSvr.empty() || lpszSvrAddr == nullptr || !(p->strAddrSvr == lpszSvrAddr)))
            continue;
        if (lpszCltAddr != nullptr && *lpszCltAddr != 0 && (p->strAddrIn.empty() || !(p->strAddrIn == lpszCltAddr)))
            continue;
        return m_Tunnel.IndexOf(p);
    }
    return DOZIRIZA_TUNNEL_NONE;
}

u32 CDOZiriza::TunnelSearchByAddrIn(const char* lpszCltAddr)
{
    if (lpszCltAddr == nullptr || *lpszCltAddr == 0)
        return DOZIRIZA_TUNNEL_NONE;
    for (TUNNEL_S* p = m_ListTunnelBusy.Head(); p != nullptr; p = CQVList<TUNNEL_S>::Next(p))
    {
        u32 uIndex = m_Tunnel.IndexOf(p);
        if (p->uType != DOZIRIZA_TUNNEL_FORWARD && TunnelSelfIsPeerIn(uIndex) && p->strAddrIn == lpszCltAddr)
            return uIndex;
    }
    return DOZIRIZA_TUNNEL_NONE;
}

u32 CDOZiriza::TunnelSearchIn(const char* lpszName)
{
    u32 uIndex = TunnelSearch(lpszName);
    return (uIndex != DOZIRIZA_TUNNEL_NONE && TunnelSelfIsPeerIn(uIndex)) ? uIndex : DOZIRIZA_TUNNEL_NONE;
}

u32 CDOZiriza::TunnelSearchOut(const char* lpszName)
{
    u32 uIndex = TunnelSearch(lpszName);
    return (uIndex != DOZIRIZA_TUNNEL_NONE && TunnelSelfIsPeerOut(uIndex)) ? uIndex : DOZIRIZA_TUNNEL_NONE;
}

u32 CDOZiriza::TunnelEnum(u32 uNth)
{
    for (TUNNEL_S* p = m_ListTunnelBusy.Head(); p != nullptr; p = CQVList<TUNNEL_S>::Next(p))
    {
        u32 uIndex = m_Tunnel.IndexOf(p);
        if (p->uType != DOZIRIZA_TUNNEL_FORWARD && TunnelSelfIsPeerIn(uIndex) && uNth-- == 0)
            return uIndex;
    }
    return DOZIRIZA_TUNNEL_NONE;
}

u32 CDOZiriza::TunnelPeerCnntDemand(u32 uIndex)
{
    const TUNNEL_S* p = TunnelGet(uIndex);
    return !m_Cfg.UtiClient.uTunnelOnDemand || (p != nullptr && p->uSessCount > 0);
}

u32 CDOZiriza::TunnelCountDirect()
{
    u32 uCount = 0;
    for (TUNNEL_S* p = m_ListTunnelBusy.Head(); p != nullptr; p = CQVList<TUNNEL_S>::Next(p))
        uCount += (p->uFlags & DOZIRIZA_TUNNEL_FLAG_DIRECT) != 0;
    return uCount;
}

u32 CDOZiriza::TunnelCountPeerOut(const char* lpszPeer)
{
    u32 uCount = 0;
    for (TUNNEL_S* p = m_ListTunnelBusy.Head(); p != nullptr; p = CQVList<TUNNEL_S>::Next(p))
        uCount += TunnelSelfIsPeerIn(m_Tunnel.IndexOf(p)) && p->strPeerOut == lpszPeer;
    return uCount;
}

u32 CDOZiriza::PeerSyncCount()
{
    u32 uCount = 0;
    u32 uObj = 0;
    // The node's object table bounds the walk; the guard only protects against a node that
    // would hand the same object back.
    for (u32 uGuard = 0; uGuard < 0x10000; uGuard++)
    {
        uObj = m_Node.ObjectEnum(uObj, QV_CLASS_PEER);
        if (uObj == 0)
            break;
        if (uObj == m_Node.GetSvrObj() || uObj == m_Node.GetSelfObj())
            continue;
        if (m_Node.PeerCheck(uObj, 0) == 0)
            uCount++;
    }
    return uCount;
}

// ---------------------------------------------------------------------------------------------
// Peer objects

u32 CDOZiriza::PeerOutObjCreate(const char* lpszPeer, u32 bForceNew, u32* lpuStatic)
{
    dprintf_level(3, "Tunnel::PeerOutObjCreate: Peer=%s, uForceNew=%u", lpszPeer, bForceNew);
    u32 uStatic = 0;
    u32 uObj = m_Node.GetObjID(lpszPeer);
    if (uObj != 0 && bForceNew)
    {
        m_Node.PeerDelete(uObj);
        uObj = 0;
    }
    if (uObj == 0)
    {
        LAN_PEER_S* pLan = m_uLoggedIn ? nullptr : LanScanPeerSearch(lpszPeer);
        if (pLan != nullptr && !pLan->strAddr.empty())
        {
            if (m_uTickStamp - pLan->uStamp > 30)
                m_Node.PeerLanScan(lpszPeer, 2);
            uObj = m_Node.PeerStaticAdd(lpszPeer, pLan->strAddr.c_str());
            uStatic = 1;
        }
        else
        {
            if (!m_uLoggedIn && m_Cfg.UtiClient.uDirectTunnelEnable && TunnelCountDirect() > 0)
                m_Node.PeerLanScan(lpszPeer, 2);
            uObj = m_Node.PeerAdd(lpszPeer, m_Cfg.Base.uConnectTimeout, m_Cfg.UtiClient.uChannelMode,
                                  m_Cfg.UtiClient.uMultiPathMode);
        }
        if (uObj != 0)
            PeerAuthSetObj(lpszPeer, uObj);
        qvLogOut(2, "Tunnel::PeerOutObjCreate: Peer=%s, uForceNew=%u, uStatic=%u", lpszPeer, bForceNew, uStatic);
    }
    if (lpuStatic != nullptr)
        *lpuStatic = uStatic;
    return uObj;
}

u32 CDOZiriza::TunnelAddPeerObj(u32 uIndex, u32 bForceNew)
{
    TUNNEL_S* p = m_Tunnel.At(uIndex);
    if (p == nullptr || !m_Tunnel.IsUsed(p))
        return 0;
    u32 uStatic = 0;
    u32 uObj = PeerOutObjCreate(p->strPeerOut.c_str(), bForceNew, &uStatic);
    if (uObj == 0)
        return 0;
    if (uStatic)
        p->uFlags |= DOZIRIZA_TUNNEL_FLAG_STATIC;
    else
        p->uFlags &= ~(u32)DOZIRIZA_TUNNEL_FLAG_STATIC;
    if (uObj != p->uPeer)
    {
        p->uPeer = uObj;
        TcpSessSetGroup(m_Tunnel.Handle(p), uObj);
    }
    return 1;
}

u32 CDOZiriza::PeerOutObjDelete(u32 uPeer, u32 bStatic)
{
    QV_STRING strName = PeerName(uPeer);
    u32 bMatched = 0;
    u32 bDeleted = 0;
    for (TUNNEL_S* p = m_ListTunnelBusy.Head(); p != nullptr; p = CQVList<TUNNEL_S>::Next(p))
    {
        if (((p->uFlags & DOZIRIZA_TUNNEL_FLAG_STATIC) != 0) != (bStatic != 0))
            continue;
        if (p->uPeer != uPeer && (strName.empty() || !(p->strPeerOut == strName.c_str())))
            continue;
        bMatched = 1;
        if (!bDeleted && uPeer != 0)
        {
            qvLogOut(2, "Tunnel::PeerOutObjDelete: delete Peer=%u", uPeer);
            m_Node.PeerDelete(uPeer);
            bDeleted = 1;
        }
        if (p->uPeer != 0 && p->uPeer != uPeer)
        {
            qvLogOut(2, "Tunnel::PeerOutObjDelete: delete different Peer=%u", p->uPeer);
            m_Node.PeerDelete(p->uPeer);
        }
        p->uFlags &= ~(u32)DOZIRIZA_TUNNEL_FLAG_STATIC;
        p->uPeer = 0;
    }
    if (bMatched)
        return 0;
    if (uPeer != 0 && (m_Node.PeerCheckStatic(uPeer) != 0) == (bStatic != 0))
    {
        qvLogOut(2, "Tunnel::PeerOutObjDelete: delete not match Peer=%u", uPeer);
        m_Node.PeerDelete(uPeer);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Liveness

int CDOZiriza::TunnelCheckPeer(u32 uIndex, u32* lpuPeer)
{
    TUNNEL_S* p = m_Tunnel.At(uIndex);
    if (p == nullptr || !m_Tunnel.IsUsed(p) || p->uType > DOZIRIZA_TUNNEL_FORWARD ||
        (m_Cfg.uMode == MODE_FORWARD && p->uType != DOZIRIZA_TUNNEL_FORWARD))
    {
        dprintf_level(3, "Tunnel::TunnelCheck, tunnel is an invalid tunnel.");
        return DOZIRIZA_RES_BADPARAM;
    }
    int iRet = m_Node.PeerCheck(p->uPeer, 1);
    if (iRet == 5)
    {
        TunnelAddPeerObj(uIndex, 0);
        iRet = m_Node.PeerCheck(p->uPeer, 0);
    }
    PeerOutCheckRequest(p->strPeerOut.c_str());
    if (lpuPeer != nullptr)
        *lpuPeer = p->uPeer;
    return iRet;
}

void CDOZiriza::TunnelActivePeer(u32 uIndex)
{
    TUNNEL_S* p = m_Tunnel.At(uIndex);
    if (p == nullptr || !m_Tunnel.IsUsed(p))
        return;
    if (!TunnelPeerCnntDemand(uIndex))
    {
        p->uRetryInterval = 1;
        p->uRetryCount = 0;
        p->uActiveCount = 0;
        return;
    }
    int iRet = m_Node.PeerCheck(p->uPeer, 0);
    if (iRet != 0)
    {
        if (++p->uRetryCount >= p->uRetryInterval)
        {
            p->uRetryCount = 0;
            p->uRetryInterval = p->uRetryInterval * 2 > RETRY_INTERVAL_MAX ? RETRY_INTERVAL_MAX : p->uRetryInterval * 2;
            if (iRet == 5)
                TunnelAddPeerObj(uIndex, 0);
            else
                m_Node.ObjectSync(p->uPeer, 0, 1);
        }
    }
    else
    {
        p->uRetryInterval = 1;
        p->uRetryCount = 0;
        if (p->uFlags & DOZIRIZA_TUNNEL_FLAG_RELISTEN)
        {
            QV_ADDR_S addr;
            const u32 uMode = p->uType == DOZIRIZA_TUNNEL_PROXY ? QV_EXT_TCP_LISTEN_PROXY : 0;
            if (TunnelResolveAddrIn(p, &addr, 200) && ExtTcpListenAdd(&addr, uMode, m_Tunnel.Handle(p), 0))
            {
                p->uFlags &= ~(u32)DOZIRIZA_TUNNEL_FLAG_RELISTEN;
                TunnelEventCallback(uIndex, 10);
            }
        }
    }
    const u32 uDue = (p->uFlags & DOZIRIZA_TUNNEL_FLAG_STATIC) ? 2 : 6;
    if (++p->uActiveCount >= uDue && TcpSessActiveNotify(p->uPeer, ACTIVE_TEXT_CLIENT))
    {
        p->uActiveCount = 0;
        char szList[ACTIVE_TEXT_CLIENT + 1];
        TcpSessGetListByPeer(p->uPeer, szList, sizeof(szList));
        dprintf_level(3, "Tunnel::TunnelActivePeer, Session list, szPeer=%s, szParam=%s", p->strPeerOut.c_str(),
                      szList);
    }
}

void CDOZiriza::TunnelCheckAllClient()
{
    for (TUNNEL_S* p = m_ListTunnelBusy.Head(); p != nullptr; p = CQVList<TUNNEL_S>::Next(p))
    {
        const u32 uIndex = m_Tunnel.IndexOf(p);
        if (!TunnelSelfIsPeerIn(uIndex))
            continue;
        if (!TunnelPeerCnntDemand(uIndex))
        {
            p->uRetryInterval = 1;
            p->uRetryCount = 0;
            p->uActiveCount = 0;
            continue;
        }
        int iRet = m_Node.PeerCheck(p->uPeer, 0);
        if (iRet == 5)
            TunnelAddPeerObj(uIndex, 0);
        else if (iRet != 0)
            m_Node.ObjectSync(p->uPeer, 0, 1);
        else if (TcpSessActiveNotify(p->uPeer, ACTIVE_TEXT_CLIENT))
            p->uActiveCount = 0;
    }
}

void CDOZiriza::TimerClientActivePeer()
{
    PeerOutCheckTimer();
    if (++m_uActiveTick % 5 != 0)
        return;
    for (TUNNEL_S* p = m_ListTunnelBusy.Head(); p != nullptr; p = CQVList<TUNNEL_S>::Next(p))
    {
        const u32 uIndex = m_Tunnel.IndexOf(p);
        if (TunnelSelfIsPeerIn(uIndex))
            TunnelActivePeer(uIndex);
    }
    TunnelCheckPeerFresh(45);
    TcpSessPeerOutDrop(45);
}

void CDOZiriza::TimerForwardActivePeer()
{
    PeerOutCheckTimer();
    if (++m_uActiveTick % 30 == 0)
    {
        for (TUNNEL_S* p = m_ListTunnelBusy.Head(); p != nullptr; p = CQVList<TUNNEL_S>::Next(p))
        {
            if (p->uPeer == 0)
                continue;
            TcpSessActiveNotify(p->uPeer, ACTIVE_TEXT_FORWARD);
            QV_STRING strCall("(Peer){");
            strCall += omlEncode(p->strPeerOut.c_str());
            strCall += "}(Meth){0}(Tunnel){";
            strCall += omlEncode(p->strName.c_str());
            strCall += "}";
            CallRequest(36, strCall.c_str(), 0);
        }
    }
    TunnelCheckPeerFresh(45);
}

void CDOZiriza::TunnelCheckPeerFresh(u32 uSeconds)
{
    auto used = [&](u32 uObj) {
        for (TUNNEL_S* t = m_ListTunnelBusy.Head(); t != nullptr; t = CQVList<TUNNEL_S>::Next(t))
            if (t->uPeer == uObj)
                return true;
        for (TCP_SESS_S* s = m_ListSessUsed.Head(); s != nullptr; s = CQVList<TCP_SESS_S>::Next(s))
            if (s->uPeer == uObj)
                return true;
        return false;
    };
    u32 uObj = m_uFreshPos;
    for (u32 uGuard = 0; uGuard < 0x10000; uGuard++)
    {
        u32 uNext = m_Node.ObjectEnum(uObj, QV_CLASS_PEER);
        if (uNext == 0)
        {
            m_uFreshPos = 0;
            return;
        }
        uObj = uNext;
        if (uObj == m_Node.GetSvrObj() || uObj == m_Node.GetSelfObj() || used(uObj))
            continue;
        if (m_Node.PeerFresh(uObj, uSeconds))
        {
            m_uFreshPos = uObj;
            return;
        }
        QV_STRING strName = PeerName(uObj);
        if (m_Node.PeerCheck(uObj, 0) == 0)
        {
            u32 uCount = PeerSyncCount();
            CallbackEventPost(QV_TUNNEL_EVENT_PEER_OFFLINE, uCount ? uCount - 1 : 0, strName.c_str());
        }
        qvLogOut(2, "Tunnel::TunnelCheckPeerFresh: delete peer: %s", strName.c_str());
        m_Node.PeerDelete(uObj);
    }
}

// ---------------------------------------------------------------------------------------------
// Connection events

void CDOZiriza::TunnelEventCallback(u32 uIndex, u32 uCode)
{
    TUNNEL_S* p = m_Tunnel.At(uIndex);
    if (p == nullptr || !m_Tunnel.IsUsed(p) || p->uType > DOZIRIZA_TUNNEL_PROXY)
        return;
    const char* lpszAddr = p->strAddrIn.c_str();
    const u32 bOnline = (p->uFlags & DOZIRIZA_TUNNEL_FLAG_ONLINE) != 0;
    const u32 bHold = (p->uFlags & (DOZIRIZA_TUNNEL_FLAG_ONLINE | DOZIRIZA_TUNNEL_FLAG_RELISTEN)) != 0;
    switch (uCode)
    {
    case 8:
        CallbackEventPost(QV_TUNNEL_EVENT_CONNECT_CHECK, 0, lpszAddr);
        if (!bHold && m_Node.PeerCheck(p->uPeer, 0) == 0)
        {
            CallbackEventPost(QV_TUNNEL_EVENT_CONNECT_ONLINE, 0, lpszAddr);
            p->uFlags |= DOZIRIZA_TUNNEL_FLAG_ONLINE;
        }
        break;
    case 9:
        if (bOnline)
        {
            CallbackEventPost(QV_TUNNEL_EVENT_CONNECT_OFFLINE, 0, lpszAddr);
            p->uFlags &= ~(u32)DOZIRIZA_TUNNEL_FLAG_ONLINE;
        }
        CallbackEventPost(QV_TUNNEL_EVENT_CONNECT_FREE, 0, lpszAddr);
        break;
    case 10:
        if (!bHold)
        {
            CallbackEventPost(QV_TUNNEL_EVENT_CONNECT_ONLINE, 0, lpszAddr);
            p->uFlags |= DOZIRIZA_TUNNEL_FLAG_ONLINE;
        }
        break;
    case 11:
        if (bOnline)
        {
            CallbackEventPost(QV_TUNNEL_EVENT_CONNECT_OFFLINE, 0, lpszAddr);
            p->uFlags &= ~(u32)DOZIRIZA_TUNNEL_FLAG_ONLINE;
        }
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------------------------
// Listening

u32 CDOZiriza::ConfigExtTcp()
{
    CQVExtTcp::CFG_S cfg;
    memset(&cfg, 0, sizeof(cfg));
    const CFG_BASE_S& b = m_Cfg.Base;
    cfg.uMaxSess = b.uMaxSess < SESS_TABLE_MAX ? b.uMaxSess : SESS_TABLE_MAX;
    cfg.uMaxTunnel = b.uMaxTunnel < TUNNEL_TABLE_MAX ? b.uMaxTunnel : TUNNEL_TABLE_MAX;
    cfg.uConnectTimeout = b.uConnectTimeout;
    // Socket buffers of one and a half session buffers (KB), computed without overflow.
    cfg.uBufSize = (u32)(((u64)b.uSessBufSize * 3) / 2);
    cfg.uAcceptSpeed = b.uAcceptSpeed;
    cfg.uMaxParallel = b.uMaxParallel;
    for (u32 i = 0; i < m_Cfg.PxyFilter.uCount && i < PXY_FILTER_MAX && i < QV_EXT_TCP_FILTER_MAX; i++)
    {
        cfg.Filter[cfg.uFilterCount].uType = m_Cfg.PxyFilter.auType[i];
        snprintf(cfg.Filter[cfg.uFilterCount].szText, sizeof(cfg.Filter[cfg.uFilterCount].szText), "%s",
                 m_Cfg.PxyFilter.astrPattern[i].c_str());
        cfg.uFilterCount++;
    }
    cfg.uUpActiveTimeout = m_Cfg.Session.uUpActiveTimeout;
    cfg.uDownActiveTimeout = m_Cfg.Session.uDownActiveTimeout;
    cfg.uActiveCombine = m_Cfg.Session.uActiveCombine;
    return m_ExtTcp.Config(cfg);
}

u32 CDOZiriza::ExtTcpListenAdd(const QV_ADDR_S* lpAddr, u32 uMode, u32 uHandle, u32 bRetryLong)
{
    if (m_ExtTcp.ListenExist(lpAddr))
        return 0;
    const u32 uTries = bRetryLong ? LISTEN_TRIES_LONG : LISTEN_TRIES;
    for (u32 i = 0; i < uTries; i++)
    {
        if (m_ExtTcp.ListenAdd(lpAddr, uMode, uHandle))
            return 1;
        qvSleep(50);
    }
    return 0;
}

void CDOZiriza::ExtTcpListenDelete(const QV_ADDR_S* lpAddr)
{
    m_ExtTcp.ListenDelete(lpAddr);
}

u32 CDOZiriza::ExtTcpListenBind(const QV_ADDR_S* lpAddr)
{
    return m_ExtTcp.ListenBind(lpAddr);
}

u32 CDOZiriza::PortSearch(const QV_ADDR_S* lpAddr, QV_ADDR_S* lpAddrOut, u32 bTcp)
{
    if (lpAddrOut == nullptr)
        return 1;
    int hSocket = socket(AF_INET, bTcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (hSocket < 0)
    {
        qvLogOut(0, "Tunnel::PortSearch, socket failed, errno=%d", errno);
        return 0;
    }
    u32 uPort = lpAddr->uPort ? lpAddr->uPort : 80;
    u32 uFound = 0;
    while (uPort < 65535 && !uFound)
    {
        uPort++;
        sockaddr_in sin;
        memset(&sin, 0, sizeof(sin));
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = lpAddr->uAddr[3];
        sin.sin_port = htons((u16)uPort);
        uFound = bind(hSocket, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0;
    }
    close(hSocket);
    if (!uFound)
        return 0;
    *lpAddrOut = *lpAddr;
    lpAddrOut->uPort = (u16)uPort;
    qvLogOut(0, "Tunnel::PortSearch: PortOld=%u, PortNew=%u", lpAddr->uPort, uPort);
    return 1;
}
