// TCP sessions: one forwarded TCP connection each. The calling side accepted a local client and
// asks the peer with the "TcpSess" call; the called side connects to the service and answers
// with the names of two File objects that carry the bytes, one per direction. Everything here
// runs on the tunnel thread, driven by the tunnel messages of the TCP extension and the node.
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doZiriza.h"
#include "qvDomain.h"
#include "qvLog.h"
#include "qvTimer.h"
#include "qvUtilize.h"

namespace {

// Extension method that tags the "TcpSess" peer call (its reply comes back with it).
const u32 TCPSESS_EXT_METH = 8;
// Longest "TcpSess" call text.
const u32 CALL_TEXT_MAX = 511;
// Longest texts taken from a peer's call: tunnel names and hosts are bounded by the texts the
// calling side can build (511 characters in all).
const u32 CALL_PARAM_MAX = 511;
// A session set up this recently is not dropped by an "Active" list: the list may have been
// built before the caller's call that made it (seconds).
const u32 ACTIVE_GRACE = 10;
// A part of a long "Active" list that more parts follow ends with this character.
const char ACTIVE_MORE = '+';

// Reads a decimal u32 that is the whole text (1 to 10 digits, at most 0xFFFFFFFF). 1/0.
u32 ReadU32(const char* lpszText, u32 uLen, u32* lpuValue)
{
    if (uLen == 0 || uLen > 10)
        return 0;
    u64 v = 0;
    for (u32 i = 0; i < uLen; i++)
    {
        if (lpszText[i] < '0' || lpszText[i] > '9')
            return 0;
        v = v * 10 + (u32)(lpszText[i] - '0');
    }
    if (v > 0xFFFFFFFFull)
        return 0;
    *lpuValue = (u32)v;
    return 1;
}

u32 ReadU32(const QV_STRING& str, u32* lpuValue)
{
    return ReadU32(str.c_str(), str.length(), lpuValue);
}

// "FilePut:<a>:<b>" (or FileGet): both numbers. 1/0.
u32 ParseFileName(const char* lpszName, const char* lpszPrefix, u32* lpuFirst, u32* lpuSecond)
{
    size_t uPrefix = strlen(lpszPrefix);
    if (strncmp(lpszName, lpszPrefix, uPrefix) != 0)
        return 0;
    const char* p = lpszName + uPrefix;
    const char* lpszColon = strchr(p, ':');
    if (lpszColon == nullptr)
        return 0;
    return ReadU32(p, (u32)(lpszColon - p), lpuFirst) &&
           ReadU32(lpszColon + 1, (u32)strlen(lpszColon + 1), lpuSecond);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TCP extension notifications (any thread, extension lock held: post only)

u32 CDOZiriza::OnTcpAccept(const char* lpszAddrSock, const char* lpszHost, u32 uParam)
{
    if (!m_uStarted)
        return 0;
    if (!PostMessage(DOZIRIZA_MSG_TCP_ACCEPT, uParam, 0, 0, lpszAddrSock, lpszHost))
        return 0;
    m_uTcpSetupPosted = 1;
    return 1;
}

void CDOZiriza::OnTcpConnect(const char* lpszAddrSock, u32 uResult)
{
    if (m_uStarted && PostMessage(DOZIRIZA_MSG_TCP_CONNECT, uResult, 0, 0, lpszAddrSock))
        m_uTcpSetupPosted = 1;
}

void CDOZiriza::OnTcpPassEnd()
{
    // A new connection's first step on the worker that saw it: the module thread would add a
    // wake-up before the call to the peer (calling side) or the answer (called side). A local
    // end is served here too.
    if (m_uTcpSetupPosted.load(std::memory_order_relaxed) && m_uTcpSetupPosted.exchange(0))
        MsgServeTcpSetup();
    // What the pass posted and could not serve (the module thread was running a message, or
    // something else was queued first) wakes the module thread now.
    WakeHeldCheck();
}

void CDOZiriza::OnTcpDisconnect(const char* lpszAddrSock)
{
    if (m_uStarted && PostMessage(DOZIRIZA_MSG_TCP_DISCONNECT, 0, 0, 0, lpszAddrSock))
        m_uTcpSetupPosted = 1;
}

void CDOZiriza::OnTcpError(u32 uError)
{
    CallbackEventPost(QV_TUNNEL_EVENT_NET_ERROR, uError, "");
}

// ---------------------------------------------------------------------------------------------
// Table

u32 CDOZiriza::TcpSessInit(u32 uCount)
{
    TcpSessClean();
    // The node takes at most this many sessions; handles keep the index in 16 bits.
    if (uCount > SESS_TABLE_MAX)
        uCount = SESS_TABLE_MAX;
    if (!m_TcpSess.Init(uCount) || !m_HashSess.Init(256))
    {
        TcpSessClean();
        return 0;
    }
    m_uSessCheckPos = 0;
    return 1;
}

void CDOZiriza::TcpSessClean()
{
    while (TCP_SESS_S* p = m_ListSessUsed.Head())
    {
        m_HashSess.Remove(&p->linkHash);
        m_ListSessPending.Remove(p);
        m_ListSessDelay.Remove(p);
        p->strAddrSock.clear();
        p->strPending.clear();
        m_TcpSess.Free(p);
    }
    m_TcpSess.Clean();
    m_HashSess.Clean();
    m_uSessCheckPos = 0;
}

u32 CDOZiriza::TcpSessAlloc(u32 uSide, const char* lpszAddrSock, u32 uTunnel, u32 uFlags)
{
    TCP_SESS_S* p = m_TcpSess.Alloc();
    if (p == nullptr)
        return 0;
    m_ListSessUsed.PushTail(p);
    const u32 uNow = m_uTickStamp;
    p->uSide = (u16)uSide;
    p->strAddrSock = lpszAddrSock ? lpszAddrSock : "";
    if (!p->strAddrSock.empty())
        m_HashSess.Add(&p->linkHash, p, qvNameHash(p->strAddrSock.c_str()));
    p->uTunnel = uTunnel;
    p->uActive = uNow;
    p->uBorn = uNow;
    p->uIdleSince = 0;
    p->uPutState = p->uGetState = DOZIRIZA_SESS_FILE_NONE;
    p->uLocalEnded = 0;
    p->uPutObj = p->uGetObj = 0;
    p->uFlags = 0x13 | uFlags;
    p->uPeer = p->uRemoteSess = p->uCallHandle = p->uReplyCode = 0;
    p->strPending.clear();
    p->uSpeed[0] = p->uSpeed[1] = 0;
    p->uActiveMark = 0;
    p->uEstablished = 0;
    u32 uIndex = TunnelIndexOf(uTunnel);
    if (uIndex != DOZIRIZA_TUNNEL_NONE && TunnelSelfIsPeerIn(uIndex))
        m_Tunnel.At(uIndex)->uSessCount++;
    return m_TcpSess.Handle(p);
}

void CDOZiriza::TcpSessFree(u32 uSess, u32 uMode)
{
    TCP_SESS_S* p = m_TcpSess.Find(uSess);
    if (p == nullptr)
        return;
    if (m_uSessCheckPos == m_TcpSess.IndexOf(p))
    {
        TCP_SESS_S* pNext = CQVList<TCP_SESS_S>::Next(p);
        m_uSessCheckPos = pNext ? m_TcpSess.IndexOf(pNext) : 0xFFFFFFFFu;
    }
    m_HashSess.Remove(&p->linkHash);
    if (!p->strAddrSock.empty())
    {
        if (uMode <= 1)
            m_ExtTcp.Disconnect(p->strAddrSock.c_str(), uMode);
        p->strAddrSock.clear();
    }
    u32 uIndex = TunnelIndexOf(p->uTunnel);
    if (uIndex != DOZIRIZA_TUNNEL_NONE && TunnelSelfIsPeerIn(uIndex) && m_Tunnel.At(uIndex)->uSessCount > 0)
        m_Tunnel.At(uIndex)->uSessCount--;
    p->uSide = 0;
    p->uTunnel = 0;
    const u32 auObj[2] = {p->uPutObj, p->uGetObj};
    p->uPutObj = p->uGetObj = 0;
    for (u32 uObj : auObj)
    {
        if (uObj != 0)
        {
            m_Node.FileClose(uObj);
            m_Node.FileDelete(uObj);
        }
    }
    p->uPutState = p->uGetState = DOZIRIZA_SESS_FILE_NONE;
    p->uLocalEnded = 0;
    p->uPeer = p->uRemoteSess = p->uCallHandle = p->uReplyCode = 0;
    p->strPending.clear();
    m_ListSessDelay.Remove(p);
    m_ListSessPending.Remove(p);
    m_TcpSess.Free(p);
}

u32 CDOZiriza::TcpSessSearch(const char* lpszAddrSock)
{
    if (lpszAddrSock == nullptr || *lpszAddrSock == 0)
        return 0;
    TCP_SESS_S* p = m_HashSess.Find<TCP_SESS_S>(qvNameHash(lpszAddrSock), [&](TCP_SESS_S* s) {
        return s->strAddrSock == lpszAddrSock;
    });
    return p ? m_TcpSess.Handle(p) : 0;
}

u32 CDOZiriza::TcpSessGetByFileObj(u32 uObj)
{
    // The object's name carries both sides' handles; the session is the one that holds this
    // very object (a number that merely happens to be a valid handle of this side names
    // another connection's session).
    if (uObj == 0)
        return 0;
    char szName[128] = "";
    if (!m_Node.GetObjName(uObj, szName, sizeof(szName)))
        return 0;
    u32 auNum[2];
    if (!ParseFileName(szName, "FilePut:", &auNum[0], &auNum[1]) &&
        !ParseFileName(szName, "FileGet:", &auNum[0], &auNum[1]))
        return 0;
    for (u32 uSess : auNum)
    {
        TCP_SESS_S* p = m_TcpSess.Find(uSess);
        if (p != nullptr && (p->uPutObj == uObj || p->uGetObj == uObj))
            return uSess;
    }
    return 0;
}

u32 CDOZiriza::TcpSessGetListByPeer(u32 uPeer, char* lpszBuf, u32 uSize)
{
    if (lpszBuf == nullptr || uSize == 0)
        return 0;
    u32 uLen = 0;
    u32 uCount = 0;
    lpszBuf[0] = 0;
    for (TCP_SESS_S* p = m_ListSessUsed.Head(); p != nullptr; p = CQVList<TCP_SESS_S>::Next(p))
    {
        if (p->uSide != 0 || p->uPeer != uPeer)
            continue;
        char sz[16];
        int n = snprintf(sz, sizeof(sz), uCount ? ",%u" : "%u", m_TcpSess.Handle(p));
        if (uLen + (u32)n + 1 > uSize)
            break;
        memcpy(lpszBuf + uLen, sz, (size_t)n + 1);
        uLen += (u32)n;
        uCount++;
    }
    return uCount;
}

u32 CDOZiriza::TcpSessGetCltAddr(u32 uIndex, char* lpszBuf, u32 uSize)
{
    TCP_SESS_S* p = m_TcpSess.At(uIndex);
    if (p == nullptr || !m_TcpSess.IsUsed(p) || lpszBuf == nullptr || uSize == 0)
        return 0;
    u32 uSlash = p->strAddrSock.find('/');
    QV_ADDR_S addr;
    if (uSlash == QV_NOT_FOUND || !qvStrToAddr(p->strAddrSock.c_str() + uSlash + 1, &addr))
        return 0;
    return qvAddrToReadable(&addr, lpszBuf, uSize);
}

QV_STRING CDOZiriza::PeerName(u32 uPeer)
{
    char szName[128] = "";
    if (uPeer != 0)
        m_Node.GetObjName(uPeer, szName, sizeof(szName));
    return QV_STRING(szName);
}

// ---------------------------------------------------------------------------------------------
// Sending the call and the reply

u32 CDOZiriza::TcpSessRequestSend(TCP_SESS_S* p)
{
    int iRet = m_Node.PeerCall(p->uPeer, p->strPending.c_str(), TCPSESS_EXT_METH, m_TcpSess.Handle(p));
    if (iRet == 5)
        m_Node.PeerCheck(p->uPeer, 0);
    return iRet == 0;
}

u32 CDOZiriza::TcpSessReplySend(TCP_SESS_S* p)
{
    if (!m_Node.PeerCallReply(p->strPending.c_str(), p->uReplyCode, p->uCallHandle))
        return 0;
    p->strPending.clear();
    return 1;
}

// A calling-side session's peer is its tunnel's current peer object.
static void TakeTunnelPeer(CDOZiriza* pTunnel, CDOZiriza::TCP_SESS_S* p)
{
    const CDOZiriza::TUNNEL_S* t = pTunnel->TunnelGet(pTunnel->TunnelIndexOf(p->uTunnel));
    if (t != nullptr && t->uPeer != 0)
        p->uPeer = t->uPeer;
}

void CDOZiriza::TcpSessSetGroup(u32 uTunnel, u32 uPeer)
{
    for (TCP_SESS_S* p = m_ListSessUsed.Head(); p != nullptr; p = CQVList<TCP_SESS_S>::Next(p))
    {
        if (p->uSide != 0 || p->uTunnel != uTunnel)
            continue;
        p->uPeer = uPeer;
        if (p->uPutObj != 0 && p->uGetObj != 0)
        {
            m_Node.ObjectSetGroup(p->uPutObj, uPeer);
            m_Node.ObjectSetGroup(p->uGetObj, uPeer);
        }
        else
            m_ListSessPending.PushTail(p);
    }
}

void CDOZiriza::TcpSessRequestResend(u32 uTunnel)
{
    for (TCP_SESS_S* p = m_ListSessUsed.Head(); p != nullptr; p = CQVList<TCP_SESS_S>::Next(p))
    {
        if (p->uSide != 0 || p->uTunnel != uTunnel || m_ListSessPending.Contains(p))
            continue;
        TakeTunnelPeer(this, p);
        if (p->uPutObj == 0)
        {
            qvLogOut(2, "Tunnel::TcpSessRequestResend: resend request");
            TcpSessRequestSend(p);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Calling side: a local client was accepted (message 6)

void CDOZiriza::MsgTcpAccept(u32 uTunnel, const char* lpszAddrSock, const char* lpszHost)
{
    if (!m_uStarted)
    {
        m_ExtTcp.Disconnect(lpszAddrSock, 0);
        qvLogOut(1, "Tunnel::MsgTcpAccept, Service not start.");
        return;
    }
    u32 uIndex = DOZIRIZA_TUNNEL_NONE;
    if (m_Cfg.uMode == MODE_FORWARD)
    {
        // The tunnel is chosen by the host: its name before any ':' first, then the whole.
        char szName[128];
        snprintf(szName, sizeof(szName), "%s", lpszHost);
        char* lpszColon = strchr(szName, ':');
        if (lpszColon != nullptr)
        {
            *lpszColon = 0;
            qvStrConvert(szName, 0);
            uIndex = TunnelSearchIn(szName);
        }
        if (uIndex == DOZIRIZA_TUNNEL_NONE)
        {
            snprintf(szName, sizeof(szName), "%s", lpszHost);
            qvStrConvert(szName, 0);
            uIndex = TunnelSearchIn(szName);
        }
    }
    else
        uIndex = TunnelIndexOf(uTunnel);
    if (uIndex == DOZIRIZA_TUNNEL_NONE)
    {
        m_ExtTcp.Disconnect(lpszAddrSock, 0);
        qvLogOut(1, "Tunnel::MsgTcpAccept, Tunnel handle invalid. lpszHost=%s", lpszHost);
        return;
    }
    u32 uPeer = 0;
    int iErr = TunnelCheckPeer(uIndex, &uPeer);
    if (iErr != 0)
        qvLogOut(2, "Tunnel::MsgTcpAccept, Tunnel has not synced, lpszHost=%s, iErr=%d", lpszHost, iErr);
    // A kept-alive HTTP connection whose Host changed comes again with its socket: the old
    // session lets go of it.
    if (u32 uOld = TcpSessSearch(lpszAddrSock))
        TcpSessFree(uOld, 2);
    TUNNEL_S* t = m_Tunnel.At(uIndex);
    u32 uSess = TcpSessAlloc(0, lpszAddrSock, TunnelHandle(uIndex), (t->uOption & 3) * 0x40000);
    TCP_SESS_S* p = m_TcpSess.Find(uSess);
    if (p == nullptr)
    {
        m_ExtTcp.Disconnect(lpszAddrSock, 0);
        qvLogOut(0, "Tunnel::MsgTcpAccept, Alloc Tcp session failed");
        return;
    }
    p->uPeer = t->uPeer;
    const char* lpszTunnel = t->strName.c_str();
    const char* lpszTarget = lpszHost;
    if (lpszHost == nullptr || *lpszHost == 0)
        lpszTarget = t->strAddrSvr.c_str();
    else if (m_Cfg.uMode == MODE_FORWARD)
    {
        lpszTunnel = t->strFwdName.c_str();
        lpszTarget = t->strAddrSvr.c_str();
    }
    char szText[CALL_TEXT_MAX + 1];
    int n = snprintf(szText, sizeof(szText), "TcpSess?Tunnel=%s&Sess=%u&Host=%s", lpszTunnel, uSess, lpszTarget);
    if (n > 0 && n < (int)sizeof(szText) &&
        ((t->uFlags & DOZIRIZA_TUNNEL_FLAG_DIRECT) || (m_Cfg.uMode == MODE_FORWARD && m_Cfg.UtiClient.uDirectTunnelEnable)))
        n += snprintf(szText + n, sizeof(szText) - (size_t)n, "&Direct=1&Mask=%u", t->uOption);
    if (n <= 0 || n >= (int)sizeof(szText))
    {
        qvLogOut(1, "Tunnel::MsgTcpAccept, call text too long, lpszHost=%s", lpszHost);
        TcpSessFree(uSess, 0);
        return;
    }
    p->strPending = szText;
    p->uActive = m_uTickStamp;
    if (!TcpSessRequestSend(p))
        m_ListSessPending.PushTail(p);
}

// ---------------------------------------------------------------------------------------------
// Called side: the "TcpSess" call (message 18)

u32 CDOZiriza::TcpSessParseSvrAddr(QV_ADDR_S* lpAddr, const char* lpszSvr)
{
    // Outgoing forwarded connections are IPv4.
    if (qvDomainToAddr(lpszSvr, 0, lpAddr, 1, nullptr, 3000, 0) == 0)
    {
        qvLogOut(1, "Tunnel::TcpSessParseSvrAddr, qvDomainToAddr failed! AddrSvr=%s", lpszSvr);
        CallbackEventPost(QV_TUNNEL_EVENT_NET_ERROR, 8, "");
        return DOZIRIZA_RES_BADPARAM;
    }
    if (lpAddr->uPort == 0)
        lpAddr->uPort = 80;
    const CFG_SVR_FILTER_S& f = m_Cfg.SvrFilter;
    if (f.uCount == 0)
        return DOZIRIZA_RES_OK;
    const u32 uIP = lpAddr->uAddr[3];
    for (u32 i = 0; i < f.uCount && i < SVR_FILTER_MAX; i++)
    {
        const SVR_FILTER_ITEM_S& item = f.aItem[i];
        if ((uIP & item.uMask) != uIP)
            continue;
        if (item.uRangeCount == 0)
            return DOZIRIZA_RES_OK;
        for (u32 r = 0; r < item.uRangeCount && r < SVR_RANGE_MAX; r++)
            if (lpAddr->uPort >= item.aRange[r].uBegin && lpAddr->uPort <= item.aRange[r].uEnd)
                return DOZIRIZA_RES_OK;
        qvLogOut(1, "Tunnel::TcpSessParseSvrAddr, filter block port, AddrSvr=%s", lpszSvr);
        CallbackEventPost(QV_TUNNEL_EVENT_NET_ERROR, 9, "");
        return DOZIRIZA_RES_REJECT;
    }
    qvLogOut(1, "Tunnel::TcpSessParseSvrAddr, filter block ip, AddrSvr=%s", lpszSvr);
    CallbackEventPost(QV_TUNNEL_EVENT_NET_ERROR, 9, "");
    return DOZIRIZA_RES_REJECT;
}

void CDOZiriza::TcpSessRequest(const char* lpszParam, u32 uPeer, u32 uHandle)
{
    QV_STRING strTunnel, strSess, strHost, strDirect, strMask, strTcpAddr;
    ParseParam(lpszParam, "Tunnel", '=', strTunnel);
    ParseParam(lpszParam, "Sess", '=', strSess);
    ParseParam(lpszParam, "Host", '=', strHost);
    ParseParam(lpszParam, "Direct", '=', strDirect);
    auto reply = [&](u32 uErr, const char* lpszWhy) {
        if (!m_Node.PeerCallReply("", uErr, uHandle))
        {
            if (lpszWhy != nullptr)
                qvLogOut(1, "%s", lpszWhy);
            else
                qvLogOut(1, "Tunnel::TcpSessRequest, send reply failed. ErrCode=%u", uErr);
        }
    };
    if (strTunnel.length() > CALL_PARAM_MAX || strHost.length() > CALL_PARAM_MAX)
    {
        qvLogOut(1, "Tunnel: TcpSessRequest, Invalid session info.");
        reply(DOZIRIZA_RES_BADPARAM, nullptr);
        return;
    }
    u32 uTunnelHandle = 0;
    u32 uFlags = 0;
    QV_STRING strTarget;
    if (strDirect == "1")
    {
        if (!m_Cfg.UtiClient.uDirectTunnelAccept || !m_uDirectAllowed)
        {
            reply(DOZIRIZA_RES_REJECT, "Tunnel::TcpSessRequest, send reply failed. Direct tunnel reject");
            return;
        }
        QV_STRING strPeer = PeerName(uPeer);
        u32 uAt = strPeer.rfind('@');
        if (uAt == QV_NOT_FOUND || m_LoginInfo.strDomain.empty() || !(m_LoginInfo.strDomain == strPeer.c_str() + uAt + 1))
        {
            reply(DOZIRIZA_RES_REJECT, "Tunnel::TcpSessRequest, send reply failed. bad domain reject");
            return;
        }
        u32 uMask = 0;
        ParseParam(lpszParam, "Mask", '=', strMask);
        ReadU32(strMask, &uMask);
        uFlags = (uMask & 3) << 18;
        strTarget = strHost;
    }
    else
    {
        u32 uIndex = TunnelSearchOut(strTunnel.c_str());
        if (uIndex == DOZIRIZA_TUNNEL_NONE)
        {
            char sz[640];
            snprintf(sz, sizeof(sz), "Tunnel::TcpSessRequest, send reply failed. bad tunnel=%s", strTunnel.c_str());
            reply(DOZIRIZA_RES_NOEXIST, sz);
            return;
        }
        TUNNEL_S* t = m_Tunnel.At(uIndex);
        t->uLastActive = m_uTickStamp;
        if (t->uType == DOZIRIZA_TUNNEL_PROXY)
            strTarget = strHost;
        else
            strTarget = t->strAddrSvr;
        uFlags = (t->uOption & 3) << 18;
        uTunnelHandle = TunnelHandle(uIndex);
    }
    u32 uRemote = 0;
    if (!ReadU32(strSess, &uRemote) || strTarget.empty())
    {
        qvLogOut(1, "Tunnel: TcpSessRequest, Invalid session info.");
        reply(DOZIRIZA_RES_BADPARAM, nullptr);
        return;
    }
    QV_ADDR_S addrSvr;
    u32 uErr = TcpSessParseSvrAddr(&addrSvr, strTarget.c_str());
    if (uErr != 0)
    {
        reply(uErr, nullptr);
        return;
    }
    QV_ADDR_S addrBind;
    const QV_ADDR_S* lpBind = nullptr;
    if (ParseParam(lpszParam, "TcpAddr", '=', strTcpAddr) && strTcpAddr.length() < 64 &&
        qvStrToAddr(strTcpAddr.c_str(), &addrBind))
        lpBind = &addrBind;
    char szAddrSock[256];
    if (!m_ExtTcp.Connect(&addrSvr, lpBind, szAddrSock, sizeof(szAddrSock)))
    {
        qvLogOut(1, "Tunnel: TcpSessRequest, Connect tcp server failed.");
        reply(DOZIRIZA_RES_NETWORK, nullptr);
        return;
    }
    if (u32 uOld = TcpSessSearch(szAddrSock))
        TcpSessFree(uOld, 2);
    u32 uSess = TcpSessAlloc(1, szAddrSock, uTunnelHandle, uFlags);
    TCP_SESS_S* p = m_TcpSess.Find(uSess);
    if (p == nullptr)
    {
        qvLogOut(0, "Tunnel: TcpSessRequest, Alloc session ctrl failed.");
        m_ExtTcp.Disconnect(szAddrSock, 0);
        reply(19, nullptr);
        return;
    }
    p->uPeer = uPeer;
    p->uRemoteSess = uRemote;
    p->uCallHandle = uHandle;
    char szNotify[64];
    snprintf(szNotify, sizeof(szNotify), "Sess=%u&SessOut=%u", uRemote, uSess);
    m_Node.PeerNotify(uPeer, "TcpSess", szNotify);
}

// Called side, message 7: the connect to the service finished.
void CDOZiriza::MsgTcpConnect(u32 uResult, const char* lpszAddrSock)
{
    if (!m_uStarted)
    {
        m_ExtTcp.Disconnect(lpszAddrSock, 0);
        return;
    }
    TCP_SESS_S* p = m_TcpSess.Find(TcpSessSearch(lpszAddrSock));
    if (p != nullptr && p->uSide != 1)
        p = nullptr;
    if (uResult == 0)
        qvLogOut(1, "Tunnel: MsgTcpConnect, Connect failed. szAddrSock=%s", lpszAddrSock);
    if (p == nullptr)
    {
        m_ExtTcp.Disconnect(lpszAddrSock, 0);
        return;
    }
    const u32 uSess = m_TcpSess.Handle(p);
    QV_STRING strReply("TcpSess?");
    u32 uCode = DOZIRIZA_RES_NETWORK;
    if (uResult != 0)
    {
        char szPut[64], szGet[64];
        snprintf(szPut, sizeof(szPut), "FilePut:%u:%u", uSess, p->uRemoteSess);
        snprintf(szGet, sizeof(szGet), "FileGet:%u:%u", uSess, p->uRemoteSess);
        p->uPutObj = m_Node.FileAdd(szPut, p->uPeer, p->uFlags, m_Cfg.Session.uBlockedTimeout);
        p->uGetObj = p->uPutObj ? m_Node.FileAdd(szGet, p->uPeer, p->uFlags, m_Cfg.Session.uBlockedTimeout) : 0;
        if (p->uPutObj == 0 || p->uGetObj == 0)
        {
            m_Node.PeerCallReply("", 19, p->uCallHandle);
            TcpSessFree(uSess, 0);
            return;
        }
        strReply += "FilePut=";
        strReply += szPut;
        strReply += "&FileGet=";
        strReply += szGet;
        uCode = DOZIRIZA_RES_OK;
    }
    p->strPending = strReply;
    p->uReplyCode = uCode;
    p->uActive = m_uTickStamp;
    if (!TcpSessReplySend(p))
    {
        // The peer's send queue may be full for a moment (many connections set up at once):
        // the answer waits in the pending list and goes again every tick until the connect
        // time-out, as a call does on the calling side.
        qvLogOut(1, "Tunnel: MsgTcpConnect, send reply failed.");
        if (!m_ListSessPending.Contains(p))
            m_ListSessPending.PushTail(p);
    }
}

// ---------------------------------------------------------------------------------------------
// Calling side: the answer to the call (message 19)

void CDOZiriza::MsgPeerCallReply(u32 uErr, u32 uSess, u32 uPeer, const char* lpszReply, const char* lpszTag)
{
    if (!m_uStarted && !m_Cfg.UtiClient.uDirectTunnelEnable)
        return;
    char szCmd[128] = "";
    const char* lpszParam = ParseCmd(lpszReply, szCmd, sizeof(szCmd));
    if (lpszParam == nullptr || strchr(lpszReply, '?') == nullptr)
    {
        lpszParam = "";
        if (uErr == 0)
            uErr = DOZIRIZA_RES_SYSTEM;
    }
    u32 uMeth = 0;
    if (!ReadU32(lpszTag, (u32)strlen(lpszTag), &uMeth) || uMeth != TCPSESS_EXT_METH)
        return;
    PeerCallReplyTcpSess(lpszParam, uErr, uSess, uPeer);
}

void CDOZiriza::PeerCallReplyTcpSess(const char* lpszParam, u32 uErr, u32 uSess, u32 uPeer)
{
    TCP_SESS_S* p = m_TcpSess.Find(uSess);
    // Only the calling side's own session, answered by the peer it called.
    if (p != nullptr && (p->uSide != 0 || p->uPeer != uPeer))
        p = nullptr;
    QV_STRING strPeer = PeerName(uPeer);
    if (uErr != 0)
    {
        if (uErr == DOZIRIZA_RES_TIMEOUT && PeerOutObjDelete(uPeer, 0) != 0 && m_Node.PeerCheck(uPeer, 1) == 0 &&
            m_Node.PeerCheckStatic(uPeer))
        {
            m_Node.PeerLanScan(strPeer.c_str(), 2);
            m_Node.ObjectSync(uPeer, 0, 1);
        }
        if (p != nullptr)
        {
            TcpSessReplyEventCallback(uSess, uErr);
            TcpSessFree(uSess, 0);
        }
        qvLogOut(1, "Tunnel: PeerCallReplyTcpSess, uErr=%u", uErr);
    }
    else if (p != nullptr)
    {
        if (p->uPutObj != 0)
            qvLogOut(2, "Tunnel: PeerCallReplyTcpSess, objects exist, uSess=%u", uSess);
        else
        {
            QV_STRING strPut, strGet;
            ParseParam(lpszParam, "FilePut", '=', strPut);
            ParseParam(lpszParam, "FileGet", '=', strGet);
            if (!TcpSessAddFiles(p, strPut.c_str(), strGet.c_str()))
            {
                qvLogOut(1, "Tunnel: PeerCallReplyTcpSess, bad reply, uSess=%u", uSess);
                TcpSessFree(uSess, 0);
            }
        }
    }
    PeerOutCheckReply(strPeer.c_str(), uErr == DOZIRIZA_RES_TIMEOUT);
}

u32 CDOZiriza::TcpSessAddFiles(TCP_SESS_S* p, const char* lpszPut, const char* lpszGet)
{
    // The names come from the peer: they must be the pair this session expects, the called
    // side's handle first and ours second, else a peer could make this side add or take over
    // any object by its name.
    const u32 uSess = m_TcpSess.Handle(p);
    u32 uPutA = 0, uPutB = 0, uGetA = 0, uGetB = 0;
    if (!ParseFileName(lpszPut, "FilePut:", &uPutA, &uPutB) || !ParseFileName(lpszGet, "FileGet:", &uGetA, &uGetB) ||
        uPutB != uSess || uGetB != uSess || uPutA != uGetA)
        return 0;
    char szPut[64], szGet[64];
    snprintf(szPut, sizeof(szPut), "FilePut:%u:%u", uPutA, uSess);
    snprintf(szGet, sizeof(szGet), "FileGet:%u:%u", uGetA, uSess);
    p->uPutObj = m_Node.FileAdd(szPut, p->uPeer, p->uFlags, m_Cfg.Session.uBlockedTimeout);
    p->uGetObj = p->uPutObj ? m_Node.FileAdd(szGet, p->uPeer, p->uFlags, m_Cfg.Session.uBlockedTimeout) : 0;
    return p->uPutObj != 0 && p->uGetObj != 0;
}

void CDOZiriza::TcpSessReplyEventCallback(u32 uSess, u32 uErr)
{
    TCP_SESS_S* p = m_TcpSess.Find(uSess);
    if (p == nullptr)
        return;
    const TUNNEL_S* t = TunnelGet(TunnelIndexOf(p->uTunnel));
    if (t == nullptr)
        return;
    char szTcp[64] = "";
    TcpSessGetCltAddr(m_TcpSess.IndexOf(p), szTcp, sizeof(szTcp));
    QV_STRING strHost;
    const char* lpszQ = strchr(p->strPending.c_str(), '?');
    if (lpszQ != nullptr)
        ParseParam(lpszQ + 1, "Host", '=', strHost);
    char szText[256];
    int n = snprintf(szText, sizeof(szText), "{\"tcpaddr\":\"%s\",\"errcode\":%u,\"clientaddr\":\"%s\",\"hostaddr\":\"%s\"}",
                     szTcp, uErr, t->strAddrIn.c_str(), strHost.c_str());
    if (n > 0 && n < (int)sizeof(szText))
        CallbackEventPush(QV_TUNNEL_EVENT_TCP_SESS_REPLY, szText, "");
}

// ---------------------------------------------------------------------------------------------
// File objects (messages 28 to 33)

void CDOZiriza::MsgFileSync(u32 uObj, u32 uAction)
{
    TCP_SESS_S* p = m_TcpSess.Find(TcpSessGetByFileObj(uObj));
    if (p == nullptr)
        return;
    const u32 uSess = m_TcpSess.Handle(p);
    const u32 bPut = p->uPutObj == uObj;
    u32& uState = bPut ? p->uPutState : p->uGetState;
    if (uAction != 0)
    {
        if (p->uSide != 0 || uState != DOZIRIZA_SESS_FILE_NONE)
            return;
        char szPath[300];
        snprintf(szPath, sizeof(szPath), "%s/%s", bPut ? "Put" : "Get", p->strAddrSock.c_str());
        u32 uBlock = m_Cfg.Session.uProgressReport ? 3 : 0;
        if (m_Node.FileOpen(uObj, bPut, szPath, "", uBlock, ~0ull, uSess))
        {
            uState = DOZIRIZA_SESS_FILE_REQUESTED;
            TcpSessOpenedCheck(p);
        }
        else
            TcpSessFree(uSess, 0);
        return;
    }
    // The object went away at the peer. An opened object that receives here (the get object
    // of the calling side, the put object of the called side) may still hold bytes the peer
    // has sent but this side has not yet written to its socket: it ends by itself once they
    // are written (message 31), or by the peer's cancel (message 31 or 32).
    const u32 bReceives = bPut == (p->uSide == 1);
    if (bReceives && uState != DOZIRIZA_SESS_FILE_NONE)
        return;
    if (p->uSide == 0 || uState != DOZIRIZA_SESS_FILE_NONE)
    {
        m_Node.FileDelete(uObj);
        (bPut ? p->uPutObj : p->uGetObj) = 0;
        uState = DOZIRIZA_SESS_FILE_NONE;
        p->uSpeed[bPut ? (p->uSide == 0 ? 1 : 0) : (p->uSide == 0 ? 0 : 1)] = 0;
    }
    if (p->uPutObj == 0 && p->uGetObj == 0)
        TcpSessFree(uSess, 1);
}

void CDOZiriza::MsgFileOpen(u32 uObj, u32 bPut, u32 uHandle)
{
    TCP_SESS_S* p = m_TcpSess.Find(TcpSessGetByFileObj(uObj));
    // The peer may open only the called side's object of that direction.
    if (p == nullptr || p->uSide != 1 || (bPut ? p->uPutObj : p->uGetObj) != uObj)
    {
        m_Node.FileReply(uObj, 1, "", 0, uHandle);
        return;
    }
    char szPath[300];
    snprintf(szPath, sizeof(szPath), "%s/%s", bPut ? "Put" : "Get", p->strAddrSock.c_str());
    u32 uBlock = m_Cfg.Session.uProgressReport ? 3 : 0;
    (bPut ? p->uPutState : p->uGetState) = DOZIRIZA_SESS_FILE_PEER;
    if (p->uPutState >= DOZIRIZA_SESS_FILE_PEER && p->uGetState >= DOZIRIZA_SESS_FILE_PEER)
        p->uEstablished = 1;
    if (!m_Node.FileReply(uObj, 0, szPath, uBlock, uHandle))
    {
        qvLogOut(1, "Tunnel::TcpSessFileOpen, reply failed. FileTcp=%s, uErrCode=%u", szPath, 0u);
        TcpSessFree(m_TcpSess.Handle(p), 0);
        return;
    }
    TcpSessOpenedCheck(p);
}

void CDOZiriza::MsgFileReply(u32 uObj, u32 uErr)
{
    qvLogOut(2, "Tunnel::TcpSessFileReply, uErrCode=%u", uErr);
    TCP_SESS_S* p = m_TcpSess.Find(TcpSessGetByFileObj(uObj));
    if (p == nullptr)
        return;
    if (uErr != 0)
    {
        TcpSessFree(m_TcpSess.Handle(p), 0);
        return;
    }
    (p->uPutObj == uObj ? p->uPutState : p->uGetState) = DOZIRIZA_SESS_FILE_OPEN;
    if (p->uPutState >= DOZIRIZA_SESS_FILE_PEER && p->uGetState >= DOZIRIZA_SESS_FILE_PEER)
        p->uEstablished = 1;
}

void CDOZiriza::MsgFileClose(u32 uObj, const char* lpszSize)
{
    TCP_SESS_S* p = m_TcpSess.Find(TcpSessGetByFileObj(uObj));
    if (p == nullptr)
        return;
    dprintf_level(3, "Tunnel::TcpSessFileClose, uObj=%u, Size=%s", uObj, lpszSize);
    // One direction has ended: its object goes. The other direction ends on its own (a peer
    // that half-closed still gets the whole answer); the session ends with the last object.
    const u32 bPut = p->uPutObj == uObj;
    m_Node.FileDelete(uObj);
    (bPut ? p->uPutObj : p->uGetObj) = 0;
    (bPut ? p->uPutState : p->uGetState) = DOZIRIZA_SESS_FILE_NONE;
    p->uSpeed[bPut == (p->uSide == 0) ? 1 : 0] = 0;
    if (p->uPutObj == 0 && p->uGetObj == 0)
        TcpSessFree(m_TcpSess.Handle(p), 1);
    else
        TcpSessIdleCheck(p);
}

void CDOZiriza::MsgFileProgress(u32 uObj, u32 bSend, u32 uSpeed, const char* lpszBytes)
{
    TCP_SESS_S* p = m_TcpSess.Find(TcpSessGetByFileObj(uObj));
    if (p == nullptr)
        return;
    p->uSpeed[bSend ? 1 : 0] = uSpeed;
    TcpSessIdleCheck(p);
    const u32 uReport = m_Cfg.Session.uProgressReport;
    if (!(uReport & (bSend ? 0x2u : 0x1u)))
        return;
    // The byte count is our own decimal text; anything else is not reported.
    u64 ullBytes = 0;
    for (const char* s = lpszBytes; *s; s++)
    {
        if (*s < '0' || *s > '9' || ullBytes > 0xFFFFFFFFFFFFFFFull)
            return;
        ullBytes = ullBytes * 10 + (u32)(*s - '0');
    }
    char szAddr[64] = "";
    TcpSessGetCltAddr(m_TcpSess.IndexOf(p), szAddr, sizeof(szAddr));
    char szText[256];
    int n = snprintf(szText, sizeof(szText), "{\"tcpaddr\":\"%s\",\"dir\":%u,\"speed\":%u,\"bytes\":%" PRIu64 "}",
                     szAddr, bSend ? 1u : 0u, uSpeed, (uint64_t)ullBytes);
    if (n > 0 && n < (int)sizeof(szText))
        CallbackEventPush(QV_TUNNEL_EVENT_TCP_PROGRESS, szText, "");
}

void CDOZiriza::TcpSessIdleCheck(TCP_SESS_S* p)
{
    // A draining session is idle only while neither direction moves: the direction still open
    // may carry a long answer after this side stopped sending.
    if (!m_ListSessDelay.Contains(p))
        return;
    if (p->uSpeed[0] == 0 && p->uSpeed[1] == 0)
    {
        if (p->uIdleSince == 0)
            p->uIdleSince = m_uTickStamp ? m_uTickStamp.load() : 1;
    }
    else
        p->uIdleSince = 0;
}

void CDOZiriza::TcpSessDelayJoin(TCP_SESS_S* p)
{
    p->uIdleSince = 0;
    m_ListSessDelay.PushTail(p);
}

// ---------------------------------------------------------------------------------------------
// The local side closed (message 8)

void CDOZiriza::MsgTcpDisconnect(const char* lpszAddrSock)
{
    u32 uSess = TcpSessSearch(lpszAddrSock);
    TCP_SESS_S* p = m_TcpSess.Find(uSess);
    if (p == nullptr)
    {
        dprintf_level(3, "Tunnel: MsgTcpDisconnect, no exist. lpszAddrSock=%s, Stamp=%u", lpszAddrSock,
                      GET_TIMESTAMP());
        return;
    }
    dprintf_level(3, "Tunnel: MsgTcpDisconnect, uSess=%u, lpszAddrSock=%s, Stamp=%u", uSess, lpszAddrSock,
                  GET_TIMESTAMP());
    // The service closed before the peer got its answer: the answer made both objects, so
    // neither exists yet. (One missing object is a direction that has already ended: the
    // other one still carries the rest of the answer.)
    if (p->uSide == 1 && p->uPutObj == 0 && p->uGetObj == 0)
    {
        p->strPending = "TcpSess?";
        p->uReplyCode = DOZIRIZA_RES_NETWORK;
        TcpSessReplySend(p);
        TcpSessFree(uSess, 0);
        dprintf_level(3, "Tunnel: MsgTcpDisconnect, send reply.");
        return;
    }
    if (TcpSessNotOpened(p))
    {
        // The object that reads the socket was opened, so it holds what the socket gave before
        // its end (a request, a service's whole answer): the end waits for the other object's
        // open, and the bytes still go. A session whose object never opens ends at the
        // connect time-out.
        if ((p->uSide == 1 ? p->uGetState : p->uPutState) != DOZIRIZA_SESS_FILE_NONE)
        {
            p->uLocalEnded = 1;
            return;
        }
        TcpSessFree(uSess, 0);
        dprintf_level(3, "Tunnel: MsgTcpDisconnect, Not opened.");
        return;
    }
    TcpSessLocalEnd(p);
}

u32 CDOZiriza::TcpSessNotOpened(const TCP_SESS_S* p) const
{
    return (p->uPutObj != 0 && p->uPutState == DOZIRIZA_SESS_FILE_NONE) ||
           (p->uGetObj != 0 && p->uGetState == DOZIRIZA_SESS_FILE_NONE);
}

void CDOZiriza::TcpSessLocalEnd(TCP_SESS_S* p)
{
    p->uLocalEnded = 0;
    // The object carrying this side's bytes to the peer drains what it has and ends.
    u32 uObj = p->uSide == 1 ? p->uGetObj : p->uPutObj;
    if (uObj != 0)
        m_Node.FileClose(uObj);
    if (!m_ListSessDelay.Contains(p))
        TcpSessDelayJoin(p);
}

void CDOZiriza::TcpSessOpenedCheck(TCP_SESS_S* p)
{
    if (p->uLocalEnded && !TcpSessNotOpened(p))
        TcpSessLocalEnd(p);
}

// ---------------------------------------------------------------------------------------------
// Periodic checks

void CDOZiriza::TcpSessCheckFileStatus()
{
    // One session per tick, in turn through the used list.
    TCP_SESS_S* p = m_TcpSess.At(m_uSessCheckPos);
    if (p == nullptr || !m_ListSessUsed.Contains(p))
        p = m_ListSessUsed.Head();
    if (p == nullptr)
        return;
    TCP_SESS_S* pNext = CQVList<TCP_SESS_S>::Next(p);
    m_uSessCheckPos = pNext ? m_TcpSess.IndexOf(pNext) : 0xFFFFFFFFu;
    // Sessions set up, or draining after their local side closed, are left to their own ends.
    if (p->uEstablished || m_ListSessDelay.Contains(p))
        return;
    if (m_uTickStamp - p->uActive < m_Cfg.Base.uConnectTimeout)
        return;
    qvLogOut(1, "Tunnel::TcpSessCheckFileStatus, Drop session, uSess=%u, strAddrSock=%s", m_TcpSess.Handle(p),
             p->strAddrSock.c_str());
    TcpSessFree(m_TcpSess.Handle(p), 0);
}

void CDOZiriza::TcpSessTryConnect()
{
    TCP_SESS_S* p = m_ListSessPending.Head();
    while (p != nullptr)
    {
        TCP_SESS_S* pNext = CQVList<TCP_SESS_S, &TCP_SESS_S::linkPending>::Next(p);
        const u32 uSess = m_TcpSess.Handle(p);
        if (m_uTickStamp - p->uActive >= m_Cfg.Base.uConnectTimeout)
        {
            qvLogOut(1, "Tunnel::TcpSessTryConnect, Drop session, uSess=%u, strAddrSock=%s", uSess,
                     p->strAddrSock.c_str());
            TcpSessFree(uSess, 0);
        }
        else
        {
            u32 uSent;
            if (p->uSide == 1)
                uSent = TcpSessReplySend(p);
            else
            {
                if (p->uPeer == 0)
                    TakeTunnelPeer(this, p);
                uSent = TcpSessRequestSend(p);
            }
            if (uSent)
                m_ListSessPending.Remove(p);
        }
        p = pNext;
    }
}

void CDOZiriza::TcpSessDisconnectDelay()
{
    TCP_SESS_S* p = m_ListSessDelay.Head();
    while (p != nullptr)
    {
        TCP_SESS_S* pNext = CQVList<TCP_SESS_S, &TCP_SESS_S::linkDelay>::Next(p);
        if (p->uIdleSince != 0 && m_uTickStamp - p->uIdleSince >= m_Cfg.Base.uDisconnectDelay)
            TcpSessFree(m_TcpSess.Handle(p), 0);
        p = pNext;
    }
}

void CDOZiriza::TcpSessPeerOutDrop(u32 uSeconds)
{
    TCP_SESS_S* p = m_ListSessUsed.Head();
    while (p != nullptr)
    {
        TCP_SESS_S* pNext = CQVList<TCP_SESS_S>::Next(p);
        if (p->uSide == 1 && !m_ListSessPending.Contains(p) && !m_ListSessDelay.Contains(p) &&
            m_uTickStamp - p->uActive >= uSeconds)
        {
            dprintf_level(3, "Tunnel::TcpSessPeerOutDrop: uSess=%u", m_TcpSess.Handle(p));
            TcpSessFree(m_TcpSess.Handle(p), 0);
        }
        p = pNext;
    }
}

void CDOZiriza::TcpSessPeerSync(u32 uPeer, u32 uAction)
{
    if (uAction == 0)
        return;
    TCP_SESS_S* p = m_ListSessPending.Head();
    while (p != nullptr)
    {
        TCP_SESS_S* pNext = CQVList<TCP_SESS_S, &TCP_SESS_S::linkPending>::Next(p);
        u32 uSent = 0;
        if (p->uSide == 1)
        {
            if (p->uPeer == uPeer)
            {
                dprintf_level(3, "Tunnel::TcpSessPeerSync: resend reply. uPeer=%u", uPeer);
                uSent = TcpSessReplySend(p);
            }
        }
        else
        {
            TakeTunnelPeer(this, p);
            if (p->uPeer == uPeer)
            {
                dprintf_level(3, "Tunnel::TcpSessPeerSync: resend request. uPeer=%u", uPeer);
                uSent = TcpSessRequestSend(p);
            }
        }
        if (uSent)
            m_ListSessPending.Remove(p);
        p = pNext;
    }
}

void CDOZiriza::TcpSessPeerError(u32 uPeer)
{
    TCP_SESS_S* p = m_ListSessPending.Head();
    while (p != nullptr)
    {
        TCP_SESS_S* pNext = CQVList<TCP_SESS_S, &TCP_SESS_S::linkPending>::Next(p);
        if (p->uPeer == uPeer)
            TcpSessFree(m_TcpSess.Handle(p), 0);
        p = pNext;
    }
}

void CDOZiriza::TcpSessServiceStop()
{
    while (TCP_SESS_S* p = m_ListSessUsed.Head())
        TcpSessFree(m_TcpSess.Handle(p), 0);
}

u32 CDOZiriza::PeerOutCheckIsRequesting(const char* lpszPeer)
{
    if (lpszPeer == nullptr || m_LoginInfo.strUser == lpszPeer)
        return 0;
    for (TCP_SESS_S* p = m_ListSessUsed.Head(); p != nullptr; p = CQVList<TCP_SESS_S>::Next(p))
    {
        if (p->uSide != 0 || p->uPutObj != 0)
            continue;
        const TUNNEL_S* t = TunnelGet(TunnelIndexOf(p->uTunnel));
        if (t != nullptr && t->strPeerOut == lpszPeer)
            return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// "Active" lists: the calling side names its sessions to the peer, which drops the ones it
// serves for that peer that the list no longer names.

u32 CDOZiriza::TcpSessActiveNotify(u32 uPeer, u32 uTextMax)
{
    // A long list goes in parts of whole numbers (at most ACTIVE_LIST_MAX each, and shorter
    // than ACTIVE_TEXT_FORWARD, so that no part looks cut); every part but the last ends with
    // ACTIVE_MORE, and the peer drops sessions only at the last part, so no live session is
    // lost to a cut list.
    const u32 uLimit = uTextMax < ACTIVE_TEXT_FORWARD - 1 ? uTextMax : ACTIVE_TEXT_FORWARD - 1;
    char szPart[2048];
    u32 uLen = 0;
    u32 uCount = 0;
    u32 uSentAll = 1;
    szPart[0] = 0;
    for (TCP_SESS_S* p = m_ListSessUsed.Head(); p != nullptr; p = CQVList<TCP_SESS_S>::Next(p))
    {
        if (p->uSide != 0 || p->uPeer != uPeer)
            continue;
        char sz[16];
        int n = snprintf(sz, sizeof(sz), uCount ? ",%u" : "%u", m_TcpSess.Handle(p));
        // Room for the number and a possible ACTIVE_MORE.
        if (uCount == ACTIVE_LIST_MAX || uLen + (u32)n + 1 > uLimit)
        {
            szPart[uLen++] = ACTIVE_MORE;
            szPart[uLen] = 0;
            if (!m_Node.PeerNotify(uPeer, "Active", szPart))
                uSentAll = 0;
            uLen = 0;
            uCount = 0;
            n = snprintf(sz, sizeof(sz), "%u", m_TcpSess.Handle(p));
        }
        memcpy(szPart + uLen, sz, (size_t)n + 1);
        uLen += (u32)n;
        uCount++;
    }
    if (!m_Node.PeerNotify(uPeer, "Active", szPart))
        uSentAll = 0;
    return uSentAll;
}

void CDOZiriza::PeerNotifyActive(u32 uPeer, const char* lpszList)
{
    dprintf_level(3, "Tunnel::PeerNotifyActive, Active. szPeer=%s, TcpSessList=%s", PeerName(uPeer).c_str(), lpszList);
    // Up to ACTIVE_LIST_MAX decimal numbers separated by single characters; a number that is
    // not a valid u32 names nothing. Sessions are freed only by a list known to be whole.
    u32 auNum[ACTIVE_LIST_MAX];
    u32 uCount = 0;
    const char* s = lpszList;
    u32 bMore = 0;  // a part that more parts of the same list follow
    u32 bCut = 0;   // a list that may have lost its tail
    while (*s != 0)
    {
        const char* e = s;
        while (*e >= '0' && *e <= '9')
            e++;
        u32 v;
        if (ReadU32(s, (u32)(e - s), &v))
        {
            // More numbers than one list carries: the rest is unread, so this list cannot
            // tell which sessions are gone.
            if (uCount == ACTIVE_LIST_MAX)
            {
                bCut = 1;
                break;
            }
            auNum[uCount++] = v;
        }
        if (*e == 0)
            break;
        if (*e == ACTIVE_MORE && e[1] == 0)
        {
            bMore = 1;
            break;
        }
        s = e + 1;
    }
    size_t uTextLen = strlen(lpszList);
    if (uTextLen > 0 && lpszList[uTextLen - 1] == ACTIVE_MORE)
        bMore = 1;
    // A sender may cut its list at ACTIVE_TEXT_FORWARD characters: a last part that long may
    // have lost its tail. A cut list only renews what it names and ends the list without
    // freeing; sessions it could not name end by the 45-second check if they are gone.
    if (!bMore && uTextLen >= ACTIVE_TEXT_FORWARD)
        bCut = 1;
    const u32 uNow = m_uTickStamp;
    TCP_SESS_S* p = m_ListSessUsed.Head();
    while (p != nullptr)
    {
        TCP_SESS_S* pNext = CQVList<TCP_SESS_S>::Next(p);
        if (p->uSide == 1 && p->uPeer == uPeer)
        {
            for (u32 i = 0; i < uCount; i++)
                if (auNum[i] == p->uRemoteSess)
                {
                    p->uActive = uNow;
                    p->uActiveMark = 1;
                    break;
                }
            if (bCut)
                p->uActiveMark = 0;
            else if (!bMore)
            {
                // Sessions being set up, or set up so recently that the list may predate
                // them, are kept.
                if (!p->uActiveMark && !m_ListSessPending.Contains(p) && uNow - p->uBorn >= ACTIVE_GRACE)
                    TcpSessFree(m_TcpSess.Handle(p), 0);
                else
                    p->uActiveMark = 0;
            }
        }
        p = pNext;
    }
    for (TUNNEL_S* t = m_ListTunnelBusy.Head(); t != nullptr; t = CQVList<TUNNEL_S>::Next(t))
        if (t->uPeer == uPeer && t->strPeerOut == m_LoginInfo.strUser.c_str())
            t->uLastActive = uNow;
}

// ---------------------------------------------------------------------------------------------
// Peer notifications (message 15)

void CDOZiriza::MsgPeerNotify(u32 uPeer, const char* lpszText)
{
    char szCmd[128] = "";
    const char* lpszParam = ParseCmd(lpszText, szCmd, sizeof(szCmd));
    if (lpszParam == nullptr)
        return;
    if (strcmp(szCmd, "Active") == 0)
        PeerNotifyActive(uPeer, lpszParam);
    else if (strcmp(szCmd, "TcpSess") == 0)
        PeerOutCheckReply(PeerName(uPeer).c_str(), 0);
}
