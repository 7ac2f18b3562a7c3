// What the server calls, the direct tunnels and the peer-out checks need of the connection
// table and the TCP sessions, in one place.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "doZiriza.h"
#include "qvLog.h"

u32 CDOZiriza::SvrTunnelAdd(IQVString* pText, u32 uFlags, QV_STRING& strName, QV_ADDR_S& addrFree)
{
    char szName[256] = "";
    memset(&addrFree, 0, sizeof(addrFree));
    u32 uIndex = TunnelAdd(pText, uFlags, szName, sizeof(szName), &addrFree);
    strName = szName;
    return uIndex == DOZIRIZA_TUNNEL_NONE ? SVR_TUNNEL_NONE : uIndex;
}

u32 CDOZiriza::SvrTunnelDelete(IQVString* pText)
{
    return TunnelDelete(pText);
}

u32 CDOZiriza::SvrTunnelFree(const char* lpszName)
{
    u32 uIndex = TunnelSearch(lpszName);
    if (uIndex == DOZIRIZA_TUNNEL_NONE)
        return 0;
    TunnelFree(uIndex);
    return 1;
}

u32 CDOZiriza::SvrTunnelExists(const char* lpszName)
{
    return TunnelSearch(lpszName) != DOZIRIZA_TUNNEL_NONE;
}

u32 CDOZiriza::SvrTunnelFindExt(const char* lpszPeer, u32 uType, const char* lpszSvrAddr, const char* lpszCltAddr,
                                QV_STRING& strName)
{
    const TUNNEL_S* t = TunnelGet(TunnelSearchExt(lpszPeer, uType, lpszSvrAddr, lpszCltAddr));
    if (t == nullptr)
        return 0;
    strName = t->strName;
    return 1;
}

u32 CDOZiriza::SvrTunnelInfoByAddrIn(const char* lpszCltAddr, SVR_TUNNEL_INFO_S& info)
{
    const TUNNEL_S* t = TunnelGet(TunnelSearchByAddrIn(lpszCltAddr));
    if (t == nullptr)
        return 0;
    info.uType = t->uType;
    info.uOption = t->uOption;
    info.uFlags = t->uFlags;
    info.strName = t->strName;
    info.strPeer = t->strPeerOut;
    info.strSvrAddr = t->strAddrSvr;
    info.strCltAddr = t->strAddrIn;
    return 1;
}

u32 CDOZiriza::SvrTunnelPeerStatic(const char* lpszPeer, const char* lpszAddr)
{
    // The first direct connection to the peer makes the static object at its LAN address; the
    // others take the same object; each sends its waiting session calls to it again.
    u32 uCount = 0;
    u32 uObj = 0;
    for (TUNNEL_S* p = m_ListTunnelBusy.Head(); p != nullptr; p = CQVList<TUNNEL_S>::Next(p))
    {
        if (!(p->uFlags & DOZIRIZA_TUNNEL_FLAG_DIRECT) || !(p->strPeerOut == lpszPeer))
            continue;
        if (uCount++ == 0)
        {
            if (p->uPeer != 0)
                m_Node.PeerDelete(p->uPeer);
            else if (u32 uOld = m_Node.GetObjID(lpszPeer))
                m_Node.PeerDelete(uOld);
            uObj = m_Node.PeerStaticAdd(lpszPeer, lpszAddr);
            if (uObj != 0)
                PeerAuthSetObj(lpszPeer, uObj);
        }
        qvLogOut(2, "Tunnel::DirectTunnelPeerStatic: Recreate sPeer=%s uPeer=%u", lpszPeer, uObj);
        p->uPeer = uObj;
        if (uObj != 0)
        {
            p->uFlags |= DOZIRIZA_TUNNEL_FLAG_STATIC;
            TcpSessRequestResend(m_Tunnel.Handle(p));
        }
    }
    return uCount;
}

u32 CDOZiriza::SvrTunnelSessWaiting(const char* lpszPeer)
{
    return PeerOutCheckIsRequesting(lpszPeer);
}

void CDOZiriza::SvrTunnelRemakePeer(const char* lpszPeer)
{
    for (TUNNEL_S* p = m_ListTunnelBusy.Head(); p != nullptr; p = CQVList<TUNNEL_S>::Next(p))
        if (p->strPeerOut == lpszPeer && TunnelSelfIsPeerIn(m_Tunnel.IndexOf(p)))
            TunnelAddPeerObj(m_Tunnel.IndexOf(p), 0);
}

u32 CDOZiriza::SvrTunnelDirectRescan(const char* lpszPeer, u32 uTicks)
{
    u32 bAny = 0;
    const u32 uNow = m_uTickStamp;
    for (TUNNEL_S* p = m_ListTunnelBusy.Head(); p != nullptr; p = CQVList<TUNNEL_S>::Next(p))
    {
        if ((p->uFlags & DOZIRIZA_TUNNEL_FLAG_DIRECT) && p->strPeerOut == lpszPeer && uNow - p->uCheckStamp >= uTicks)
        {
            p->uCheckStamp = uNow;
            bAny = 1;
        }
    }
    return bAny;
}

u32 CDOZiriza::SvrTunnelListenBind(const QV_ADDR_S& addr)
{
    const u32 bV6 = addr.uAddr[0] | addr.uAddr[1] | (addr.uAddr[2] != htonl(0xFFFF) && addr.uAddr[2] != 0);
    int fd = socket(bV6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    int iOn = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn));
    int iRet;
    if (bV6)
    {
        sockaddr_in6 sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin6_family = AF_INET6;
        memcpy(&sa.sin6_addr, addr.uAddr, 16);
        sa.sin6_port = htons(addr.uPort);
        iRet = bind(fd, (sockaddr*)&sa, sizeof(sa));
    }
    else
    {
        sockaddr_in sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = addr.uAddr[3];
        sa.sin_port = htons(addr.uPort);
        iRet = bind(fd, (sockaddr*)&sa, sizeof(sa));
    }
    close(fd);
    return iRet == 0;
}
