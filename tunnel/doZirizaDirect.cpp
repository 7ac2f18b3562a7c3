// Direct tunnels: connections the client sets up with a peer by itself. Every direct tunnel is
// remembered in the back list, so that it is added again after every node start and can be
// queried and deleted while the node is stopped.
#include <cstdio>
#include <cstring>
#include <new>

#include "doZiriza.h"
#include "qvDomain.h"
#include "qvLog.h"

namespace {

// Longest direct tunnel name and connection text, in characters.
const u32 DIRECT_NAME_MAX = 255;
const u32 DIRECT_TEXT_MAX = 511;
// Time given to resolve a direct tunnel's client address, milliseconds.
const u32 DIRECT_RESOLVE_MS = 200;

}  // namespace

QV_STRING CDOZiriza::DirectTunnelBuildName(const char* lpszPeer, const char* lpszCltAddr)
{
    QV_STRING str("__DirectTunnel_");
    str += lpszPeer ? lpszPeer : "";
    str += "_";
    str += lpszCltAddr ? lpszCltAddr : "";
    if (str.length() > DIRECT_NAME_MAX)
        str.clear();
    return str;
}

QV_STRING CDOZiriza::DirectTunnelText(const char* lpszName, u32 uType, const char* lpszEncrypt,
                                      const char* lpszSection, const char* lpszPeer, const char* lpszCltAddr,
                                      const char* lpszSvrAddr)
{
    QV_STRING strName = doZirizaOmlEncode(lpszName);
    QV_STRING strPeer = doZirizaOmlEncode(lpszPeer);
    const char* lpszFormat = "CnntAdd?(%s){(Type){%u}(Option){(Encrypt){%s}(Compress){0}}(%s){(PeerOut){%s}(AddrIn){%s}"
                             "(AddrSvr){%s}}}";
    char szText[DIRECT_TEXT_MAX + 1];
    int n = snprintf(szText, sizeof(szText), lpszFormat, strName.c_str(), uType, lpszEncrypt ? lpszEncrypt : "",
                     lpszSection ? lpszSection : "", strPeer.c_str(), lpszCltAddr ? lpszCltAddr : "",
                     lpszSvrAddr ? lpszSvrAddr : "");
    if (n < 0 || (u32)n > DIRECT_TEXT_MAX)
        return QV_STRING();
    return QV_STRING(szText);
}

CDOZiriza::DIRECT_BACK_S* CDOZiriza::DirectTunnelBackSearch(const char* lpszName)
{
    if (lpszName == nullptr)
        return nullptr;
    for (DIRECT_BACK_S* p = m_ListDirectBack.Head(); p != nullptr; p = CQVList<DIRECT_BACK_S>::Next(p))
        if (p->strName == lpszName)
            return p;
    return nullptr;
}

CDOZiriza::DIRECT_BACK_S* CDOZiriza::DirectTunnelBackSearchExt(const char* lpszPeer, u32 uType,
                                                               const char* lpszSvrAddr, const char* lpszCltAddr)
{
    const char* lpszClt = lpszCltAddr ? lpszCltAddr : "";
    for (DIRECT_BACK_S* p = m_ListDirectBack.Head(); p != nullptr; p = CQVList<DIRECT_BACK_S>::Next(p))
    {
        if (p->uType != uType || p->strPeer.empty() || !(p->strPeer == (lpszPeer ? lpszPeer : "")))
            continue;
        if (uType == 0 && (p->strSvrAddr.empty() || !(p->strSvrAddr == (lpszSvrAddr ? lpszSvrAddr : ""))))
            continue;
        if (*lpszClt && (p->strCltAddr.empty() || !(p->strCltAddr == lpszClt)))
            continue;
        return p;
    }
    return nullptr;
}

CDOZiriza::DIRECT_BACK_S* CDOZiriza::DirectTunnelBackSearchAddrIn(const char* lpszCltAddr)
{
    if (lpszCltAddr == nullptr)
        return nullptr;
    for (DIRECT_BACK_S* p = m_ListDirectBack.Head(); p != nullptr; p = CQVList<DIRECT_BACK_S>::Next(p))
        if (p->strCltAddr == lpszCltAddr)
            return p;
    return nullptr;
}

CDOZiriza::DIRECT_BACK_S* CDOZiriza::DirectTunnelBackEnum(u32 uIndex)
{
    DIRECT_BACK_S* p = m_ListDirectBack.Head();
    for (u32 i = 0; p != nullptr && i < uIndex; i++)
        p = CQVList<DIRECT_BACK_S>::Next(p);
    return p;
}

u32 CDOZiriza::DirectTunnelBackAdd(const char* lpszName, const char* lpszPeer, u32 uType, const char* lpszEncrypt,
                                   const char* lpszSection, const char* lpszSvrAddr, const char* lpszCltAddr,
                                   u32* lpbNew)
{
    const char* lpszClt = lpszCltAddr ? lpszCltAddr : "";
    const char* lpszSvr = lpszSvrAddr ? lpszSvrAddr : "";
    if (lpbNew)
        *lpbNew = 0;
    // The name holds peer and client address. An entry of that name that still names the same
    // connection stays; one whose type or service address changed is stale and is replaced, or
    // it would bring the old connection back at the next node start.
    DIRECT_BACK_S* pOld = DirectTunnelBackSearch(lpszName);
    if (pOld != nullptr)
    {
        if (pOld->uType == uType && pOld->strSvrAddr == lpszSvr && pOld->strPeer == (lpszPeer ? lpszPeer : ""))
        {
            pOld->strEncrypt = lpszEncrypt ? lpszEncrypt : "";
            return DOZIRIZA_RES_OK;
        }
    }
    if (*lpszClt)
    {
        for (DIRECT_BACK_S* p = m_ListDirectBack.Head(); p != nullptr; p = CQVList<DIRECT_BACK_S>::Next(p))
            if (p != pOld && p->strCltAddr == lpszClt)
                return DOZIRIZA_RES_REJECT;
    }
    QV_ADDR_S addr;
    memset(&addr, 0, sizeof(addr));
    if (qvDomainToAddr(lpszClt, 2, &addr, 1, nullptr, DIRECT_RESOLVE_MS, 0) == 0)
    {
        qvLogOut(1, "Tunnel::DirectTunnelBackAdd: domain to addr, lpszClientAddr=%s", lpszClt);
        return DOZIRIZA_RES_BADPARAM;
    }
    // The old entry's connection listens on the address until it is replaced.
    if (pOld == nullptr && !SvrTunnelListenBind(addr))
        return DOZIRIZA_RES_REJECT;
    DIRECT_BACK_S* p = new (std::nothrow) DIRECT_BACK_S;
    if (p == nullptr || !p->strName.assign(lpszName ? lpszName : "") || !p->strPeer.assign(lpszPeer ? lpszPeer : "") ||
        !p->strEncrypt.assign(lpszEncrypt ? lpszEncrypt : "") || !p->strSection.assign(lpszSection ? lpszSection : "") ||
        !p->strSvrAddr.assign(lpszSvr) || !p->strCltAddr.assign(lpszClt))
    {
        delete p;
        qvLogOut(1, "Tunnel::DirectTunnelBackAdd: alloc tunnel back failed");
        return DOZIRIZA_RES_SYSTEM;
    }
    p->uType = uType;
    if (pOld != nullptr)
    {
        m_ListDirectBack.InsertAfter(pOld, p);
        m_ListDirectBack.Remove(pOld);
        delete pOld;
    }
    else
        m_ListDirectBack.PushTail(p);
    if (lpbNew)
        *lpbNew = 1;
    return DOZIRIZA_RES_OK;
}

u32 CDOZiriza::DirectTunnelBackDelete(const char* lpszName)
{
    DIRECT_BACK_S* p = DirectTunnelBackSearch(lpszName);
    if (p == nullptr)
        return DOZIRIZA_RES_NOEXIST;
    m_ListDirectBack.Remove(p);
    delete p;
    return DOZIRIZA_RES_OK;
}

void CDOZiriza::DirectTunnelBackClean()
{
    while (DIRECT_BACK_S* p = m_ListDirectBack.PopHead())
        delete p;
}

void CDOZiriza::DirectTunnelBackResume()
{
    for (DIRECT_BACK_S* p = m_ListDirectBack.Head(); p != nullptr; p = CQVList<DIRECT_BACK_S>::Next(p))
    {
        if (SvrTunnelExists(p->strName.c_str()))
            continue;
        QV_STRING strText = DirectTunnelText(p->strName.c_str(), p->uType, p->strEncrypt.c_str(),
                                             p->strSection.c_str(), p->strPeer.c_str(), p->strCltAddr.c_str(),
                                             p->strSvrAddr.c_str());
        IQVString* pText = strText.empty() ? nullptr : qvNewString(strText.c_str());
        QV_STRING strName;
        QV_ADDR_S addr;
        u32 uIndex = pText ? SvrTunnelAdd(pText, 0x01 | 0x02, strName, addr) : SVR_TUNNEL_NONE;
        if (pText)
            pText->Delete();
        if (uIndex == SVR_TUNNEL_NONE)
            qvLogOut(1, "Tunnel: DirectTunnelBackResume, TunnelAdd failed, sName=%s", p->strName.c_str());
    }
}

u32 CDOZiriza::DirectTunnelDelete(const char* lpszPeer, u32 uType, const char*, const char* lpszSvrAddr,
                                  const char* lpszCltAddr, u32 uHttpSess)
{
    QV_STRING strName;
    if (SvrTunnelFindExt(lpszPeer, uType, lpszSvrAddr, lpszCltAddr, strName))
    {
        DirectTunnelBackDelete(strName.c_str());
        SvrTunnelFree(strName.c_str());
    }
    else
    {
        strName = DirectTunnelBuildName(lpszPeer, lpszCltAddr);
        if (DirectTunnelBackDelete(strName.c_str()) != DOZIRIZA_RES_OK)
            return DOZIRIZA_RES_NOEXIST;
    }
    OnHttpConnectDelete(DOZIRIZA_RES_OK, uHttpSess);
    return DOZIRIZA_RES_OK;
}

void CDOZiriza::DirectTunnelPeerStatic(const char* lpszPeer, const char* lpszAddr)
{
    if (SvrTunnelPeerStatic(lpszPeer, lpszAddr) != 0)
        return;
    if (m_LoginInfo.strUser == (lpszPeer ? lpszPeer : "") || QV_STRING(m_Node.GetLoginUser()) == lpszPeer)
        return;
    u32 uObj = m_Node.GetObjID(lpszPeer ? lpszPeer : "");
    if (uObj != 0)
    {
        m_Node.PeerDelete(uObj);
        qvLogOut(2, "Tunnel::DirectTunnelPeerStatic: Delete sPeer=%s uPeer=%u", lpszPeer, uObj);
    }
}
