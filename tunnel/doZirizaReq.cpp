// Request handlers that reach the server or a peer (domain, comment, user extension, peer
// information, channel mode, authorisation) and the completions that answer requests when the
// server, a peer or the connection logic has answered.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doZiriza.h"
#include "doZirizaOmlDoc.h"
#include "qvLog.h"
#include "qvSocketAddr.h"

namespace {

const char* const s_szJsonType = "application/json;charset=UTF-8";

// A required parameter: 1 with its value, 0 when the key is absent.
u32 Required(const char* lpszParam, const char* lpszName, QV_STRING& strValue)
{
    return CDOZiriza::ParseParam(lpszParam, lpszName, '=', strValue);
}

// A free text parameter: percent-decoded, then made UTF-8.
QV_STRING Decoded(const QV_STRING& strValue)
{
    return doZirizaToUTF8(CDOZiriza::DecodeUriComponent(strValue.c_str()).c_str());
}

u32 Number(const QV_STRING& strValue)
{
    return (u32)strtoul(strValue.c_str(), nullptr, 10);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Handlers

void CDOZiriza::HttpReqDomainSet(u32 uHandle, const char* lpszParam)
{
    u32 uResult = DOZIRIZA_RES_BADSTATUS;
    if (IsStarted())
    {
        QV_STRING strPass;
        if (!Required(lpszParam, "passcode", strPass))
            uResult = DOZIRIZA_RES_BADPARAM;
        else if ((uResult = DomainSet(Decoded(strPass).c_str(), uHandle, 0)) == DOZIRIZA_RES_OK)
            return;
    }
    QV_STRING strText = qvStringFormat("domainset:{\"result\":\"%u\"}", uResult);
    dprintf_level(3, "%s", strText.c_str());
    HttpSendText(uHandle, strText.c_str());
}

void CDOZiriza::HttpReqCommentSet(u32 uHandle, const char* lpszParam)
{
    u32 uResult = DOZIRIZA_RES_BADSTATUS;
    if (IsStarted())
    {
        QV_STRING strComment;
        uResult = Required(lpszParam, "comment", strComment) ? CommentSet(Decoded(strComment).c_str())
                                                             : (u32)DOZIRIZA_RES_BADPARAM;
    }
    QV_STRING strText = qvStringFormat("commentset:{\"result\":\"%u\"}", uResult);
    dprintf_level(3, "%s", strText.c_str());
    HttpSendText(uHandle, strText.c_str());
}

void CDOZiriza::HttpReqTunnelSet(u32 uHandle, const char* lpszParam)
{
    u32 uResult = DOZIRIZA_RES_BADSTATUS;
    if (IsStarted())
    {
        QV_STRING strPass, strComment;
        if (!Required(lpszParam, "passcode", strPass) || !Required(lpszParam, "comment", strComment))
            uResult = DOZIRIZA_RES_BADPARAM;
        else if ((uResult = CommentSet(Decoded(strComment).c_str())) == DOZIRIZA_RES_OK &&
                 (uResult = DomainSet(Decoded(strPass).c_str(), uHandle, 1)) == DOZIRIZA_RES_OK)
            return;
    }
    QV_STRING strText = qvStringFormat("tunnelset:{\"result\":\"%u\"}", uResult);
    dprintf_level(3, "%s", strText.c_str());
    HttpSendText(uHandle, strText.c_str());
}

void CDOZiriza::HttpReqPeerInfoGet(u32 uHandle, const char* lpszParam)
{
    u32 uResult = DOZIRIZA_RES_BADSTATUS;
    if (IsStarted())
    {
        QV_STRING strPeer;
        if (!Required(lpszParam, "peerid", strPeer))
            uResult = DOZIRIZA_RES_BADPARAM;
        else if ((uResult = PeerIDFill(strPeer)) == DOZIRIZA_RES_OK)
        {
            u32 uObj = 0;
            if (PeerIDIsSvrName(strPeer.c_str()))
                uResult = DOZIRIZA_RES_BADPARAM;
            else if ((uObj = m_Node.GetObjID(strPeer.c_str())) == 0)
                uResult = DOZIRIZA_RES_BADSTATUS;
            else if ((uResult = (u32)m_Node.PeerGetInfo(uObj, 1, uHandle)) == DOZIRIZA_RES_OK)
                return;
        }
    }
    HttpSendText(uHandle, qvStringFormat("peerinfoget:{\"result\":\"%u\"}", uResult).c_str());
}

void CDOZiriza::HttpReqUserExtend(u32 uHandle, const char* lpszParam, u32 bJson)
{
    const char* lpszName = bJson ? "userextendjson" : "userextend";
    u32 uResult = DOZIRIZA_RES_BADSTATUS;
    if (IsStarted())
    {
        uResult = CallRequest(CALL_USER_EXTEND, doZirizaToUTF8(lpszParam).c_str(), uHandle);
        if (uResult == DOZIRIZA_RES_OK)
        {
            if (bJson)
                HttpSessPush(uHandle, REQ_USEREXTEND_WAIT, 1);
            return;
        }
    }
    QV_STRING strText = qvStringFormat("%s:{\"result\":\"%u\",\"data\":\"\"}", lpszName, uResult);
    dprintf_level(3, "%s", strText.c_str());
    HttpSendText(uHandle, strText.c_str());
}

void CDOZiriza::HttpReqChannelSet(u32 uHandle, const char* lpszParam)
{
    u32 uResult = DOZIRIZA_RES_BADSTATUS;
    if (IsStarted())
    {
        QV_STRING strPeer, strType;
        if (!Required(lpszParam, "peerid", strPeer) || !Required(lpszParam, "type", strType))
            uResult = DOZIRIZA_RES_BADPARAM;
        else if ((uResult = PeerIDFill(strPeer)) == DOZIRIZA_RES_OK)
        {
            u32 uType = Number(strType);
            u32 uObj = 0;
            if (PeerIDIsSvrName(strPeer.c_str()) || uType > 2)
                uResult = DOZIRIZA_RES_BADPARAM;
            else if ((uObj = m_Node.GetObjID(strPeer.c_str())) == 0)
                uResult = DOZIRIZA_RES_BADSTATUS;
            else
                uResult = (u32)m_Node.PeerSetChannelMode(uObj, uType);
        }
    }
    HttpSendText(uHandle, qvStringFormat("channelset:{\"result\":\"%u\"}", uResult).c_str());
}

void CDOZiriza::HttpReqPeerAuthSet(u32 uHandle, const char* lpszParam)
{
    u32 uResult = DOZIRIZA_RES_BADSTATUS;
    if (IsStarted())
    {
        QV_STRING strPeer, strInfo;
        if (!Required(lpszParam, "peerid", strPeer) || !Required(lpszParam, "info", strInfo))
            uResult = DOZIRIZA_RES_BADPARAM;
        else
        {
            strPeer = Decoded(strPeer);
            if ((uResult = PeerIDFill(strPeer)) == DOZIRIZA_RES_OK)
            {
                if (PeerIDIsSvrName(strPeer.c_str()))
                    uResult = DOZIRIZA_RES_BADPARAM;
                else
                    uResult = PeerAuthSet(strPeer.c_str(), Decoded(strInfo).c_str()) ? (u32)DOZIRIZA_RES_OK
                                                                                      : (u32)DOZIRIZA_RES_SYSTEM;
            }
        }
    }
    HttpSendText(uHandle, qvStringFormat("peerauthset:{\"result\":\"%u\"}", uResult).c_str());
}

void CDOZiriza::HttpReqPeerAuthReply(u32 uHandle, const char* lpszParam)
{
    u32 uResult = DOZIRIZA_RES_BADSTATUS;
    if (IsStarted())
    {
        QV_STRING strAuth, strErr, strValue;
        if (!Required(lpszParam, "handle", strAuth) || !Required(lpszParam, "errcode", strErr))
            uResult = DOZIRIZA_RES_BADPARAM;
        else
        {
            ParseParam(lpszParam, "param", '=', strValue);
            uResult = (u32)m_Node.PeerAuthProcReply(Number(strErr), Number(strAuth), Decoded(strValue).c_str());
        }
    }
    HttpSendText(uHandle, qvStringFormat("peerauthreply:{\"result\":\"%u\"}", uResult).c_str());
}

// ---------------------------------------------------------------------------------------------
// Completions

void CDOZiriza::OnHttpDomainSet(u32 uResult, u32 uHandle)
{
    u32 uFlag = 0;
    HttpSessDelete(uHandle, &uFlag);
    QV_STRING strText = qvStringFormat("%s:{\"result\":\"%u\"}", uFlag ? "tunnelset" : "domainset", uResult);
    dprintf_level(3, "%s", strText.c_str());
    HttpSendText(uHandle, strText.c_str());
}

void CDOZiriza::OnHttpConnectAdd(u32 uResult, u32 uHandle, const char* lpszReply)
{
    CDOZirizaOmlDoc doc(lpszReply);
    // The address comes from the server's reply: escaped so that it stays one member.
    HttpSendText(uHandle, qvStringFormat("cnntadd:{\"result\":\"%u\",\"clientaddr\":\"%s\"}", uResult,
                                 qvJsonConvert(doc.Text("ClientAddr").c_str()).c_str())
                              .c_str());
}

void CDOZiriza::OnHttpConnectDelete(u32 uResult, u32 uHandle)
{
    if (uHandle & HTTP_LCL_DELETE)
        HttpSendText(uHandle & ~HTTP_LCL_DELETE, qvStringFormat("cnntlcldelete:{\"result\":\"%u\"}", uResult).c_str());
    else
        HttpSendText(uHandle, qvStringFormat("cnntdelete:{\"result\":\"%u\"}", uResult).c_str());
}

void CDOZiriza::OnHttpUserExtend(u32 uResult, u32 uHandle, const char* lpszData)
{
    u32 uFlag = 0;
    HttpSessDelete(uHandle, &uFlag);
    // The data is the server's text: escaped in both forms so that it cannot add members to the
    // answer (the call bridge decodes it again).
    QV_STRING strText = qvStringFormat("%s:{\"result\":\"%u\",\"data\":\"%s\"}", uFlag ? "userextendjson" : "userextend",
                               uResult, qvJsonConvert(lpszData ? lpszData : "").c_str());
    dprintf_level(3, "%s", strText.c_str());
    if (strText.empty())
        HttpSendResponse(uHandle, 500, s_szJsonType, "", 0);
    else
        HttpSendText(uHandle, strText.c_str());
}

void CDOZiriza::OnHttpPeerInfoGet(u32 uPeer, u32 uResult, u32 uHandle, const char* lpszInfo)
{
    CDOZirizaOmlDoc doc(lpszInfo);
    const char* lpszName = doc.Name("");
    QV_STRING strPeer = qvJsonConvert(PeerIDTrim(lpszName ? lpszName : "").c_str());
    QV_STRING astr[6];
    const char* apszPath[6] = {".Through", ".AddrLcl", ".AddrRmt", ".TunnelLcl", ".TunnelRmt", ".PrivateRmt"};
    for (u32 i = 0; i < 6; i++)
        astr[i] = qvJsonConvert(doc.Text(apszPath[i]).c_str());
    if (uPeer != 0 && m_Node.PeerCheck(uPeer, 0) != 0)
    {
        astr[3].clear();
        astr[4].clear();
    }
    QV_STRING strText =
        qvStringFormat("peerinfoget:{\"result\":\"%u\",\"peerid\":\"%s\",\"type\":\"%s\",\"addrlocal\":\"%s\","
               "\"addrremote\":\"%s\",\"tunnellocal\":\"%s\",\"tunnelremote\":\"%s\",\"privremote\":\"%s\"}",
               uResult, strPeer.c_str(), astr[0].c_str(), astr[1].c_str(), astr[2].c_str(), astr[3].c_str(),
               astr[4].c_str(), astr[5].c_str());
    if (strText.empty())
        HttpSendResponse(uHandle, 500, s_szJsonType, "", 0);
    else
        HttpSendText(uHandle, strText.c_str());
}

// ---------------------------------------------------------------------------------------------
// Peer information (messages 20 and 21)

u32 CDOZiriza::ParsePeerInfo(const char* lpszText, u32 bRemote, u32* lpuThrough, QV_STRING& strAddr,
                             QV_STRING& strSecond, QV_STRING& strIPVer, u32* lpbTunnel)
{
    CDOZirizaOmlDoc doc(lpszText);
    if (lpuThrough)
        *lpuThrough = doc.Number(".Through");
    strAddr = doc.Text(bRemote ? ".AddrRmt" : ".AddrLcl");
    strSecond = doc.Text(bRemote ? ".PrivateRmt" : ".TunnelLcl");
    const char* lpszRmt = doc.Content(".TunnelRmt");
    QV_STRING strRmt(lpszRmt ? lpszRmt : "");
    const char* lpszLcl = doc.Content(".TunnelLcl");
    QV_STRING strLcl(lpszLcl ? lpszLcl : "");
    const QV_STRING& strTunnel = !strRmt.empty() ? strRmt : strLcl;
    u32 uVer = qvAddrStrIPVer(strTunnel.c_str());
    strIPVer = uVer == QV_ADDR_VER_IPV4 ? "4" : (uVer == QV_ADDR_VER_IPV6 ? "6" : "");
    if (lpbTunnel)
        *lpbTunnel = !((lpszRmt != nullptr && strRmt.empty()) || (lpszLcl != nullptr && strLcl.empty()));
    return 1;
}

void CDOZiriza::MsgPeerGetInfoReply(u32 uPeer, u32 uKind, u32 uHandle, const char* lpszInfo)
{
    const char* lpsz = lpszInfo ? lpszInfo : "";
    if (uKind == 1)
    {
        // An empty text means the node could not give the information.
        OnHttpPeerInfoGet(uPeer, *lpsz ? (u32)DOZIRIZA_RES_OK : (u32)DOZIRIZA_RES_SYSTEM, uHandle, lpsz);
        return;
    }
    if (*lpsz == 0)
        return;
    u32 uThrough = 0, bTunnel = 0;
    QV_STRING strAddr, strSecond, strIPVer;
    ParsePeerInfo(lpsz, 1, &uThrough, strAddr, strSecond, strIPVer, &bTunnel);
    CallRequest(CALL_PEER_INFO, lpsz, 0);
    char szName[128] = "";
    m_Node.GetObjName(uPeer, szName, sizeof(szName));
    CallbackEventPeerInfo(szName, uThrough, strAddr.c_str(), strIPVer.c_str());
}

// ---------------------------------------------------------------------------------------------
// Connections by their client address

u32 CDOZiriza::SessionDigestCheck(const char* lpszSession)
{
    if (m_strSvrSess.empty())
        return 1;
    return m_Node.PeerDigVerify(m_Node.GetSelfObj(), m_strSvrSess.c_str(), lpszSession ? lpszSession : "");
}

QV_STRING CDOZiriza::CnntCallText(const char* lpszSession, const char* lpszPeer, u32 uType, const char* lpszEncrypt,
                                  const char* lpszListenAddr, const char* lpszClientAddr)
{
    // Every value is escaped so that none can end its element early.
    QV_STRING str("(SessID){");
    str += doZirizaOmlEncode(lpszSession);
    str += "}(PeerID){";
    str += doZirizaOmlEncode(lpszPeer);
    char szType[16];
    snprintf(szType, sizeof(szType), "}(Type){%u", uType);
    str += szType;
    str += "}(Encrypt){";
    str += doZirizaOmlEncode(lpszEncrypt);
    str += "}(ListenAddr){";
    str += doZirizaOmlEncode(lpszListenAddr);
    str += "}(ClientAddr){";
    str += doZirizaOmlEncode(lpszClientAddr);
    str += "}";
    return str;
}

void CDOZiriza::HttpReqCnntLclDelete(u32 uHandle, const char* lpszParam)
{
    QV_STRING strClt, strSess;
    u32 uResult = DOZIRIZA_RES_OK;
    const u32 uWait = uHandle | HTTP_LCL_DELETE;
    if (!Required(lpszParam, "clientaddr", strClt))
        uResult = DOZIRIZA_RES_BADPARAM;
    else
    {
        ParseParam(lpszParam, "session", '=', strSess);
        strSess = doZirizaToUTF8(strSess.c_str());
        SVR_TUNNEL_INFO_S info;
        if (IsStarted())
        {
            if (!SvrTunnelInfoByAddrIn(strClt.c_str(), info))
                uResult = DOZIRIZA_RES_NOEXIST;
            else
            {
                const char* lpszEnc = (info.uOption & 1) ? "1" : "0";
                const char* lpszSvr = info.uType == 0 ? info.strSvrAddr.c_str() : "";
                if (info.uFlags & 0x02)
                    uResult = !SessionDigestCheck(strSess.c_str())
                                  ? (u32)DOZIRIZA_RES_REJECT
                                  : DirectTunnelDelete(info.strPeer.c_str(), info.uType, lpszEnc, lpszSvr,
                                                       strClt.c_str(), uWait);
                else
                {
                    QV_STRING strText = CnntCallText(strSess.c_str(), info.strPeer.c_str(), info.uType, lpszEnc,
                                                     lpszSvr, strClt.c_str());
                    uResult = CallRequest(CALL_CNNT_DELETE, strText.c_str(), uWait);
                    if (uResult == DOZIRIZA_RES_OK)
                        SvrTunnelFree(info.strName.c_str());
                }
            }
        }
        else if (m_Cfg.UtiClient.uDirectTunnelEnable)
        {
            DIRECT_BACK_S* p = DirectTunnelBackSearchAddrIn(strClt.c_str());
            if (p == nullptr)
                uResult = DOZIRIZA_RES_NOEXIST;
            else if (!SessionDigestCheck(strSess.c_str()))
                uResult = DOZIRIZA_RES_REJECT;
            else
            {
                // The entry goes away with the delete: its values are copied first.
                QV_STRING strPeer(p->strPeer), strEnc(p->strEncrypt), strSvr(p->strSvrAddr);
                uResult = DirectTunnelDelete(strPeer.c_str(), p->uType, strEnc.c_str(), strSvr.c_str(),
                                             strClt.c_str(), uWait);
            }
        }
        else
            uResult = DOZIRIZA_RES_BADSTATUS;
    }
    if (uResult != DOZIRIZA_RES_OK)
        HttpSendText(uHandle, qvStringFormat("cnntlcldelete:{\"result\":\"%u\"}", uResult).c_str());
}

void CDOZiriza::HttpReqCnntLclQuery(u32 uHandle, const char* lpszParam)
{
    QV_STRING strClt;
    u32 uResult = DOZIRIZA_RES_OK;
    u32 uType = 0;
    QV_STRING strPeer, strEnc, strSvr;
    if (!Required(lpszParam, "clientaddr", strClt))
        uResult = DOZIRIZA_RES_BADPARAM;
    else if (IsStarted())
    {
        SVR_TUNNEL_INFO_S info;
        if (!SvrTunnelInfoByAddrIn(strClt.c_str(), info))
            uResult = DOZIRIZA_RES_NOEXIST;
        else
        {
            uType = info.uType;
            strPeer = info.strPeer;
            strEnc = (info.uOption & 1) ? "1" : "0";
            strSvr = info.strSvrAddr;
        }
    }
    else if (m_Cfg.UtiClient.uDirectTunnelEnable)
    {
        DIRECT_BACK_S* p = DirectTunnelBackSearchAddrIn(strClt.c_str());
        if (p == nullptr)
            uResult = DOZIRIZA_RES_NOEXIST;
        else
        {
            uType = p->uType;
            strPeer = p->strPeer;
            strEnc = strtoul(p->strEncrypt.c_str(), nullptr, 10) != 0 ? "1" : "0";
            strSvr = p->strSvrAddr;
        }
    }
    else
        uResult = DOZIRIZA_RES_BADSTATUS;
    if (uResult != DOZIRIZA_RES_OK)
    {
        HttpSendText(uHandle, qvStringFormat("cnntlclquery:{\"result\":\"%u\"}", uResult).c_str());
        return;
    }
    HttpSendText(uHandle, qvStringFormat("cnntlclquery:{\"result\":\"0\",\"peerid\":\"%s\",\"type\":\"%u\",\"encrypt\":\"%s\","
                                 "\"listenaddr\":\"%s\",\"clientaddr\":\"%s\"}",
                                 qvJsonConvert(PeerIDTrim(strPeer.c_str()).c_str()).c_str(), uType, strEnc.c_str(),
                                 qvJsonConvert(uType == 0 ? strSvr.c_str() : "").c_str(),
                                 qvJsonConvert(strClt.c_str()).c_str())
                              .c_str());
}
