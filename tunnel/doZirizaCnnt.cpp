// Connection requests of the local interface ("cnntadd", "cnntdelete", "cnntquery",
// "connectenum") and the direct-tunnel add that "cnntadd" takes with direct tunnels on.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doZiriza.h"
#include "qvLog.h"

namespace {

// Longest texts a connection request may carry: peer IDs as the node names objects, addresses
// as the flat interface's records hold them.
const u32 REQ_PEER_MAX = 127;
const u32 REQ_ADDR_MAX = 63;
const u32 REQ_SVR_MAX = 255;
const u32 REQ_SESSION_MAX = 255;

// The parameters shared by the connection requests.
struct CNNT_REQ_S
{
    u32 bPeer = 0, bType = 0, bListen = 0, bClient = 0;
    QV_STRING strPeer, strEncrypt, strListen, strClient, strSession;
    u32 uType = 0;
};

void ReadCnntReq(const char* lpszParam, CNNT_REQ_S& r)
{
    QV_STRING strType;
    r.bPeer = CDOZiriza::ParseParam(lpszParam, "peerid", '=', r.strPeer);
    r.bType = CDOZiriza::ParseParam(lpszParam, "type", '=', strType);
    r.bListen = CDOZiriza::ParseParam(lpszParam, "listenaddr", '=', r.strListen);
    r.bClient = CDOZiriza::ParseParam(lpszParam, "clientaddr", '=', r.strClient);
    CDOZiriza::ParseParam(lpszParam, "encrypt", '=', r.strEncrypt);
    CDOZiriza::ParseParam(lpszParam, "session", '=', r.strSession);
    char* lpszEnd = nullptr;
    unsigned long ul = strtoul(strType.c_str(), &lpszEnd, 10);
    // A type that is not a plain decimal counts as an unknown type.
    r.uType = (strType.empty() || *lpszEnd != 0 || ul > 0xFFFFFFFFul) ? 0xFFFFFFFFu : (u32)ul;
    r.strPeer = doZirizaToUTF8(r.strPeer.c_str());
    r.strSession = doZirizaToUTF8(r.strSession.c_str());
    if (r.strEncrypt.empty())
        r.strEncrypt = "0";
}

// Lengths any connection request must respect.
u32 CnntReqSane(const CNNT_REQ_S& r)
{
    return r.strPeer.length() <= REQ_PEER_MAX && r.strListen.length() <= REQ_SVR_MAX &&
           r.strClient.length() <= REQ_ADDR_MAX && r.strSession.length() <= REQ_SESSION_MAX &&
           r.strEncrypt.length() <= 10;
}

}  // namespace

// A session text the host gave passes when it is the digest of the server's session text
// (or the server gave none).
static u32 DigestPass(CDOZirizaNode& node, const QV_STRING& strSvrSess, const QV_STRING& strSession)
{
    if (strSvrSess.empty())
        return 1;
    return node.PeerDigVerify(node.GetSelfObj(), strSvrSess.c_str(), strSession.c_str());
}

void CDOZiriza::HttpReqConnectAdd(u32 uHandle, const char* lpszParam)
{
    u32 uResult = DOZIRIZA_RES_BADSTATUS;
    CNNT_REQ_S r;
    ReadCnntReq(lpszParam, r);
    if (m_uStarted || m_Cfg.UtiClient.uDirectTunnelEnable)
    {
        uResult = DOZIRIZA_RES_BADPARAM;
        if (r.bPeer && r.bType && r.uType <= DOZIRIZA_TUNNEL_PROXY && CnntReqSane(r) &&
            !(r.uType == DOZIRIZA_TUNNEL_TCP && (!r.bListen || r.strListen.empty())))
        {
            uResult = PeerIDFill(r.strPeer);
            if (uResult == 0 && (r.strPeer.empty() || r.strPeer.length() > REQ_PEER_MAX ||
                                 PeerIDIsSvrName(r.strPeer.c_str()) || r.strPeer == m_LoginInfo.strUser.c_str()))
                uResult = DOZIRIZA_RES_BADPARAM;
            if (uResult == 0)
            {
                if (m_Cfg.UtiClient.uDirectTunnelEnable)
                {
                    if (!m_uDirectAllowed || !DigestPass(m_Node, m_strSvrSess, r.strSession))
                        uResult = DOZIRIZA_RES_REJECT;
                    else
                        uResult = DirectTunnelAdd(r.strPeer.c_str(), r.uType, r.strEncrypt.c_str(),
                                                  r.strListen.c_str(), r.strClient.c_str(), uHandle);
                }
                else
                {
                    QV_STRING strCall = CnntCallText(r.strSession.c_str(), r.strPeer.c_str(), r.uType,
                                                     r.strEncrypt.c_str(), r.strListen.c_str(), r.strClient.c_str());
                    uResult = CallRequest(CALL_CNNT_ADD, strCall.c_str(), uHandle);
                }
            }
        }
    }
    if (uResult != 0)
        HttpSendText(uHandle, qvStringFormat("cnntadd:{\"result\":\"%u\"}", uResult).c_str());
}

u32 CDOZiriza::DirectTunnelAdd(const char* lpszPeer, u32 uType, const char* lpszEncrypt, const char* lpszSvrAddr,
                               const char* lpszCltAddr, u32 uHttpSess)
{
    if (uType > DOZIRIZA_TUNNEL_PROXY)
        return DOZIRIZA_RES_BADPARAM;
    const char* lpszSection = uType == DOZIRIZA_TUNNEL_TCP ? "Tcp" : "Proxy";
    QV_STRING strName = DirectTunnelBuildName(lpszPeer, lpszCltAddr);
    if (strName.empty())
        return DOZIRIZA_RES_BADPARAM;
    u32 bNew = 0;
    u32 uResult = DirectTunnelBackAdd(strName.c_str(), lpszPeer, uType, lpszEncrypt, lpszSection, lpszSvrAddr,
                                      lpszCltAddr, &bNew);
    if (uResult != 0)
        return uResult;
    if (m_uStarted)
    {
        auto dropBack = [&]() {
            if (bNew)
                DirectTunnelBackDelete(strName.c_str());
        };
        QV_STRING strText =
            DirectTunnelText(strName.c_str(), uType, lpszEncrypt, lpszSection, lpszPeer, lpszCltAddr, lpszSvrAddr);
        if (strText.empty())
        {
            dropBack();
            return DOZIRIZA_RES_BADPARAM;
        }
        IQVString* pText = qvNewString(strText.c_str());
        if (pText == nullptr)
        {
            dropBack();
            return DOZIRIZA_RES_SYSTEM;
        }
        u32 uIndex = TunnelAdd(pText, DOZIRIZA_TUNNEL_FLAG_WAIT | DOZIRIZA_TUNNEL_FLAG_DIRECT, nullptr, 0, nullptr);
        pText->Delete();
        if (uIndex == DOZIRIZA_TUNNEL_NONE)
        {
            dropBack();
            return DOZIRIZA_RES_REJECT;
        }
    }
    OnHttpConnectAdd(0, uHttpSess, qvStringFormat("(ClientAddr){%s}", doZirizaOmlEncode(lpszCltAddr).c_str()).c_str());
    return 0;
}

void CDOZiriza::HttpReqConnectDelete(u32 uHandle, const char* lpszParam)
{
    u32 uResult = DOZIRIZA_RES_BADPARAM;
    CNNT_REQ_S r;
    ReadCnntReq(lpszParam, r);
    if (r.bPeer && r.bType && r.uType <= DOZIRIZA_TUNNEL_PROXY && CnntReqSane(r) &&
        !(r.uType == DOZIRIZA_TUNNEL_TCP && !r.bListen) && !(r.uType == DOZIRIZA_TUNNEL_PROXY && !r.bClient))
    {
        uResult = PeerIDFill(r.strPeer);
        if (uResult == 0 && PeerIDIsSvrName(r.strPeer.c_str()))
            uResult = DOZIRIZA_RES_BADPARAM;
    }
    if (uResult == 0)
    {
        auto directDelete = [&]() {
            if (!DigestPass(m_Node, m_strSvrSess, r.strSession))
                return (u32)DOZIRIZA_RES_REJECT;
            return DirectTunnelDelete(r.strPeer.c_str(), r.uType, r.strEncrypt.c_str(), r.strListen.c_str(),
                                      r.strClient.c_str(), uHandle);
        };
        if (m_uStarted)
        {
            u32 uIndex = TunnelSearchExt(r.strPeer.c_str(), r.uType, r.strListen.c_str(), r.strClient.c_str());
            const TUNNEL_S* t = TunnelGet(uIndex);
            if (t != nullptr && (t->uFlags & DOZIRIZA_TUNNEL_FLAG_DIRECT))
                uResult = directDelete();
            else
            {
                QV_STRING strCall = CnntCallText(r.strSession.c_str(), r.strPeer.c_str(), r.uType,
                                                 r.strEncrypt.c_str(), r.strListen.c_str(), r.strClient.c_str());
                uResult = CallRequest(CALL_CNNT_DELETE, strCall.c_str(), uHandle);
                if (uResult == 0 && t != nullptr)
                    TunnelFree(uIndex);
            }
        }
        else if (m_Cfg.UtiClient.uDirectTunnelEnable)
            uResult = directDelete();
        else
            uResult = DOZIRIZA_RES_BADSTATUS;
    }
    if (uResult != 0)
        HttpSendText(uHandle, qvStringFormat("cnntdelete:{\"result\":\"%u\"}", uResult).c_str());
}

void CDOZiriza::HttpReqConnectQuery(u32 uHandle, const char* lpszParam)
{
    u32 uResult = DOZIRIZA_RES_BADPARAM;
    CNNT_REQ_S r;
    ReadCnntReq(lpszParam, r);
    QV_STRING strClient;
    if (r.bPeer && r.bType && r.uType <= DOZIRIZA_TUNNEL_PROXY && CnntReqSane(r) &&
        !(r.uType == DOZIRIZA_TUNNEL_TCP && !r.bListen))
    {
        uResult = PeerIDFill(r.strPeer);
        if (uResult == 0 && PeerIDIsSvrName(r.strPeer.c_str()))
            uResult = DOZIRIZA_RES_BADPARAM;
    }
    if (uResult == 0)
    {
        strClient = r.strClient;
        if (m_uStarted)
        {
            const TUNNEL_S* t =
                TunnelGet(TunnelSearchExt(r.strPeer.c_str(), r.uType, r.strListen.c_str(), r.strClient.c_str()));
            if (t == nullptr)
                uResult = DOZIRIZA_RES_NOEXIST;
            else if (!t->strAddrIn.empty())
                strClient = t->strAddrIn;
        }
        else if (m_Cfg.UtiClient.uDirectTunnelEnable)
        {
            DIRECT_BACK_S* b =
                DirectTunnelBackSearchExt(r.strPeer.c_str(), r.uType, r.strListen.c_str(), r.strClient.c_str());
            if (b == nullptr)
                uResult = DOZIRIZA_RES_NOEXIST;
            else
                strClient = b->strCltAddr;
        }
        else
            uResult = DOZIRIZA_RES_BADSTATUS;
    }
    if (uResult == 0)
        HttpSendText(uHandle, qvStringFormat("cnntquery:{\"result\":\"%u\",\"clientaddr\":\"%s\"}", uResult,
                                     qvJsonConvert(strClient.c_str()).c_str())
                                  .c_str());
    else
        HttpSendText(uHandle, qvStringFormat("cnntquery:{\"result\":\"%u\"}", uResult).c_str());
}

void CDOZiriza::HttpReqConnectEnum(u32 uHandle, const char* lpszParam)
{
    QV_STRING strIndex;
    u32 uResult = DOZIRIZA_RES_BADPARAM;
    QV_STRING strPeer, strListen, strClient;
    u32 uType = 0;
    u32 uEncrypt = 0;
    char* lpszEnd = nullptr;
    if (ParseParam(lpszParam, "index", '=', strIndex) && !strIndex.empty() &&
        (strtoul(strIndex.c_str(), &lpszEnd, 10), *lpszEnd == 0))
    {
        const u32 uNth = (u32)strtoul(strIndex.c_str(), nullptr, 10);
        if (m_uStarted)
        {
            const TUNNEL_S* t = TunnelGet(TunnelEnum(uNth));
            uResult = DOZIRIZA_RES_NOEXIST;
            if (t != nullptr)
            {
                uResult = 0;
                strPeer = t->strPeerOut;
                uType = t->uType;
                uEncrypt = t->uOption & 1;
                if (uType == DOZIRIZA_TUNNEL_TCP)
                    strListen = t->strAddrSvr;
                if (uType <= DOZIRIZA_TUNNEL_PROXY)
                    strClient = t->strAddrIn;
            }
        }
        else if (m_Cfg.UtiClient.uDirectTunnelEnable)
        {
            DIRECT_BACK_S* b = DirectTunnelBackEnum(uNth);
            uResult = DOZIRIZA_RES_NOEXIST;
            if (b != nullptr)
            {
                uResult = 0;
                strPeer = b->strPeer;
                uType = b->uType;
                uEncrypt = strtoul(b->strEncrypt.c_str(), nullptr, 10) != 0;
                if (uType == DOZIRIZA_TUNNEL_TCP)
                    strListen = b->strSvrAddr;
                strClient = b->strCltAddr;
            }
        }
        else
            uResult = DOZIRIZA_RES_BADSTATUS;
    }
    if (uResult == 0)
        HttpSendText(uHandle,
                     qvStringFormat("connectenum:{\"result\":\"%u\",\"peerid\":\"%s\",\"type\":\"%u\",\"encrypt\":\"%s\","
                            "\"listenaddr\":\"%s\",\"clientaddr\":\"%s\"}",
                            uResult, qvJsonConvert(PeerIDTrim(strPeer.c_str()).c_str()).c_str(), uType,
                            uEncrypt ? "1" : "0", qvJsonConvert(strListen.c_str()).c_str(),
                            qvJsonConvert(strClient.c_str()).c_str())
                         .c_str());
    else
        HttpSendText(uHandle, qvStringFormat("connectenum:{\"result\":\"%u\"}", uResult).c_str());
}
