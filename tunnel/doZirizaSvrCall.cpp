// Server calls and server notifications: the call texts and their replies (tunnel message 10),
// the retry controls of the calls that must get through, the paging of the tunnel and forward
// lists, and the notifications the server sends (tunnel message 13).
#include <cstdio>
#include <cstring>
#include <new>

#include "doZiriza.h"
#include "doZirizaOmlDoc.h"
#include "qvLog.h"
#include "qvSocketAddr.h"

namespace {

// Largest accept-list entry of a "TunnelSta" confirmation, in characters.
const u32 ACCEPT_ENTRY_MAX = 255;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Calls

u32 CDOZiriza::CallRequest(u32 uMeth, const char* lpszParam, u32 uHandle)
{
    const char* lpsz = lpszParam ? lpszParam : "";
    size_t uLen = strlen(lpsz);
    char* lpszText = new (std::nothrow) char[uLen + 32];
    if (lpszText == nullptr)
        return DOZIRIZA_RES_SYSTEM;
    int n = snprintf(lpszText, uLen + 32, "%u:%s", uMeth, lpsz);
    u32 uRet;
    if (n < 0 || (size_t)n >= uLen + 32)
    {
        dprintf_level(3, "Tunnel::CallRequest, falied uCallMeth=%u, Param=%s", uMeth, lpsz);
        uRet = DOZIRIZA_RES_BADPARAM;
    }
    else
        uRet = (u32)m_Node.CallRequest(lpszText, uMeth, uHandle);
    delete[] lpszText;
    return uRet;
}

u32 CDOZiriza::CallReqReportClientInfo()
{
    const SYS_INFO_S& si = m_Cfg.SysInfo;
    QV_STRING strInner = qvStringFormat("(ClientVer){%u.%u.%u.%s}(DevID){%s}(MacAddr){%s}(CpuMHz){%s}(MemSize){%s}"
                                "(BrwVer){%s}(OSType){%s}(OSVer){%s}(OSSpk){%s}",
                                DOZIRIZA_VER_MAJOR, DOZIRIZA_VER_MINOR, DOZIRIZA_VER_PATCH, DOZIRIZA_VER_BUILD,
                                si.strDevID.c_str(), si.strMacAddr.c_str(), si.strCpuMHz.c_str(),
                                si.strMemSize.c_str(), si.strBrwVer.c_str(), si.strOSType.c_str(),
                                si.strOSVer.c_str(), si.strOSSpk.c_str());
    QV_STRING strParam("(CltInfo){");
    strParam += doZirizaOmlEncode(strInner.c_str());
    strParam += "}(Cmmt){";
    strParam += doZirizaOmlEncode(m_LoginInfo.strComment.c_str());
    strParam += "}";
    dprintf_level(3, "Tunnel::CallReqReportClientInfo: %s", strParam.c_str());
    return CallRequest(CALL_REPORT_CLIENT_INFO, strParam.c_str(), 0);
}

u32 CDOZiriza::CallReqGetDomainCfg(const char* lpszPassCode, u32 uHandle)
{
    // The pass code is the user's own text: escaped so that it stays one value.
    QV_STRING strParam("(PassCode){");
    strParam += doZirizaOmlEncode(lpszPassCode);
    strParam += "}";
    return CallRequest(CALL_GET_DOMAIN_CFG, strParam.c_str(), uHandle);
}

u32 CDOZiriza::ListTunnelStepSize()
{
    const u32 uNodeSock = m_Node.GetSvrBufSize();
    const u64 ullPeerClass = (u64)m_Node.GetSockBufSize() * 1024;
    const u64 ullBuf = (uNodeSock != 0 && uNodeSock < ullPeerClass) ? uNodeSock : ullPeerClass;
    u64 ullStep = ullBuf / LIST_ENTRY_BYTES;
    if (ullStep > LIST_STEP_MAX)
        ullStep = LIST_STEP_MAX;
    // A page of 0 entries would count every reply as a full page and page for ever.
    if (ullStep == 0)
        ullStep = 1;
    dprintf_level(3, "Tunnel:ListTunnelStepSize: uStepSize=%u, uNodeSockBufSize=%u, uPeerClassBufSize=%llu",
                  (u32)ullStep, uNodeSock, (unsigned long long)ullPeerClass);
    return (u32)ullStep;
}

namespace {

// Positions a list request: from the start with a new page size, the next page, or the same.
void ListPosition(CDOZiriza& tunnel, u32 uMode, u32& uPos, u32& uSize)
{
    if (uMode == CDOZiriza::LIST_FIRST)
    {
        uPos = 0;
        uSize = tunnel.ListTunnelStepSize();
    }
    else if (uMode == CDOZiriza::LIST_NEXT)
        uPos += uSize;
    if (uSize == 0)
        uSize = tunnel.ListTunnelStepSize();
}

}  // namespace

u32 CDOZiriza::CallReqGetTunnelList(u32 uMode)
{
    ListPosition(*this, uMode, m_uListPos, m_uListSize);
    char szParam[64];
    snprintf(szParam, sizeof(szParam), "(Pos){%u}(Size){%u}", m_uListPos, m_uListSize);
    return CallRequest(CALL_GET_TUNNEL_LIST, szParam, 0);
}

u32 CDOZiriza::CallReqGetForwardList(u32 uMode)
{
    ListPosition(*this, uMode, m_uListPos, m_uListSize);
    char szParam[64];
    snprintf(szParam, sizeof(szParam), "(Pos){%u}(Size){%u}", m_uListPos, m_uListSize);
    return CallRequest(CALL_GET_FORWARD_LIST, szParam, 0);
}

u32 CDOZiriza::CallReqConfirmTunnelSta(const char* lpszText, u32 uHandle)
{
    dprintf_level(3, "Tunnel::CallReqConfirmTunnelSta, lpszData=%s", lpszText ? lpszText : "");
    return CallRequest(CALL_CONFIRM_TUNNEL_STA, lpszText, uHandle);
}

u32 CDOZiriza::DomainSet(const char* lpszPassCode, u32 uHandle, u32 uCookie)
{
    if (lpszPassCode == nullptr || *lpszPassCode == 0)
        return DOZIRIZA_RES_BADPARAM;
    u32 uRet = CallReqGetDomainCfg(lpszPassCode, uHandle);
    if (uRet == DOZIRIZA_RES_OK && uHandle != 0)
        HttpSessPush(uHandle, REQ_DOMAIN_WAIT, uCookie);
    return uRet;
}

u32 CDOZiriza::CommentSet(const char* lpszComment)
{
    const char* lpsz = lpszComment ? lpszComment : "";
    if (strlen(lpsz) >= 128)
        return DOZIRIZA_RES_BADPARAM;
    if (!SaveAccountFile(m_LoginInfo.uAccountType, nullptr, lpsz))
        return DOZIRIZA_RES_SYSTEM;
    if (m_LoginInfo.uStatus != QV_TUNNEL_STA_LOGIN_SUCCESS)
        return DOZIRIZA_RES_NOLOGIN;
    m_LoginInfo.strComment = lpsz;
    return CallReqReportClientInfo();
}

// ---------------------------------------------------------------------------------------------
// Retry controls

void CDOZiriza::TimerCtlEnable(TIMER_CTL_S& ctl, u32 bForce)
{
    if (bForce || !ctl.uEnable)
    {
        ctl.uEnable = 1;
        ctl.uInterval = RETRY_FIRST;
    }
    ctl.uCount = 0;
}

void CDOZiriza::TimerCtlDisable(TIMER_CTL_S& ctl)
{
    ctl.uEnable = 0;
    ctl.uInterval = 0;
    ctl.uCount = 0;
}

u32 CDOZiriza::TimerCtlCheck(TIMER_CTL_S& ctl)
{
    if (!ctl.uEnable)
        return 0;
    if (++ctl.uCount < ctl.uInterval)
        return 0;
    ctl.uCount = 0;
    ctl.uInterval = ctl.uInterval * 2 > RETRY_MAX ? RETRY_MAX : ctl.uInterval * 2;
    return 1;
}

void CDOZiriza::TimerClientActiveServer()
{
    if (TimerCtlCheck(m_CtlClientInfo))
        CallReqReportClientInfo();
    if (TimerCtlCheck(m_CtlList))
        CallReqGetTunnelList(LIST_AGAIN);
}

void CDOZiriza::TimerForwardActiveServer()
{
    if (TimerCtlCheck(m_CtlClientInfo))
        CallReqReportClientInfo();
    if (TimerCtlCheck(m_CtlList))
        CallReqGetForwardList(LIST_AGAIN);
}

// ---------------------------------------------------------------------------------------------
// Replies (message 10)

void CDOZiriza::MsgCallReply(u32 uErr, u32 uMeth, u32 uHandle, const char* lpszData)
{
    const char* lpsz = lpszData ? lpszData : "";
    switch (uMeth)
    {
    case CALL_REPORT_CLIENT_INFO:
        if (uErr != 0)
            TimerCtlEnable(m_CtlClientInfo, 0);
        else
            CallReplyReportClientInfo(lpsz);
        break;
    case CALL_GET_DOMAIN_CFG:
        if (uErr == 0)
            CallReplyGetDomainCfg(lpsz);
        if (uHandle != 0)
            OnHttpDomainSet(uErr, uHandle);
        else
            OnDomainSet(uErr);
        break;
    case CALL_GET_TUNNEL_LIST:
    case CALL_GET_FORWARD_LIST:
    {
        if (uErr != 0)
        {
            TimerCtlEnable(m_CtlList, 0);
            break;
        }
        TimerCtlDisable(m_CtlList);
        u32 bMore = uMeth == CALL_GET_TUNNEL_LIST ? CallReplyGetTunnelList(lpsz) : CallReplyGetForwardList(lpsz);
        if (bMore)
        {
            u32 uRet = uMeth == CALL_GET_TUNNEL_LIST ? CallReqGetTunnelList(LIST_NEXT) : CallReqGetForwardList(LIST_NEXT);
            if (uRet != DOZIRIZA_RES_OK)
                TimerCtlEnable(m_CtlList, 1);
        }
        break;
    }
    case CALL_CHECK_ONLINE_STA:
        if (uErr == 0 && m_Cfg.uMode == MODE_FORWARD)
            CallReplyCheckOnlineSta(lpsz);
        break;
    case CALL_CNNT_ADD:
        OnHttpConnectAdd(uErr, uHandle, uErr == 0 ? lpsz : "");
        break;
    case CALL_CNNT_DELETE:
        OnHttpConnectDelete(uErr, uHandle);
        break;
    case CALL_USER_EXTEND:
        OnHttpUserExtend(uErr, uHandle, uErr == 0 ? lpsz : "");
        break;
    default:
        // 40 and 41 want no answer; other methods are not ours.
        break;
    }
}

void CDOZiriza::CallReplyReportClientInfo(const char* lpszData)
{
    TimerCtlDisable(m_CtlClientInfo);
    CDOZirizaOmlDoc doc(lpszData);
    m_LoginInfo.strMngUser = doc.Text("MngUser");
}

void CDOZiriza::CallReplyGetDomainCfg(const char* lpszData)
{
    dprintf_level(3, "Tunnel::CallReplyGetDomainCfg, lpszData=%s", lpszData);
    CDOZirizaOmlDoc doc(lpszData);
    QV_STRING strDomain = doc.Text("Domain");
    if (strDomain.empty() || strDomain == m_LoginInfo.strDomain.c_str())
        return;
    if (SaveAccountFile(ACCOUNT_CODE, strDomain.c_str(), m_LoginInfo.strComment.c_str()))
        dprintf_level(3, "Tunnel::CallReplyGetDomainCfg, Save Account. strDomain=%s", strDomain.c_str());
    else
        dprintf_level(3, "Tunnel::CallReplyGetDomainCfg, Save Account failed. strDomain=%s", strDomain.c_str());
    Restart(1, QV_TUNNEL_STA_LOGIN_LOGOUTED);
}

namespace {

// Adds every top-level element of a list reply as a connection; the number of elements.
u32 AddListed(CDOZiriza& tunnel, const char* lpszData)
{
    CDOZirizaOmlDoc doc(lpszData);
    u32 uCount = 0;
    while (IQVString* pEle = doc.Element("", uCount))
    {
        QV_STRING strName;
        QV_ADDR_S addr;
        tunnel.SvrTunnelAdd(pEle, 0, strName, addr);
        pEle->Delete();
        uCount++;
    }
    return uCount;
}

}  // namespace

u32 CDOZiriza::CallReplyGetTunnelList(const char* lpszData)
{
    if (m_Cfg.uMode == MODE_CLIENT && m_Cfg.UtiClient.uDirectTunnelEnable)
    {
        qvLogOut(1, "Tunnel::CallReplyGetTunnelList: Direct tunnel is enable");
        return 1;
    }
    u32 uCount = AddListed(*this, lpszData);
    qvLogOut(1, "Tunnel::CallReplyGetTunnelList: Tunnel count: %u", uCount);
    // An empty page always ends the list, whatever the page size.
    return uCount != 0 && uCount >= m_uListSize;
}

u32 CDOZiriza::CallReplyGetForwardList(const char* lpszData)
{
    u32 uCount = AddListed(*this, lpszData);
    qvLogOut(1, "Tunnel::CallReplyGetForwardList: Tunnel count: %u", uCount);
    return uCount != 0 && uCount >= m_uListSize;
}

void CDOZiriza::CallReplyCheckOnlineSta(const char* lpszData)
{
    CDOZirizaOmlDoc doc(lpszData);
    const char* lpszMeth = doc.Content("Meth");
    if (lpszMeth == nullptr || strtoul(lpszMeth, nullptr, 10) != 0)
        return;
    if (doc.Number("Status") != 0)
        return;
    SvrTunnelFree(doc.Text("Tunnel").c_str());
}

// ---------------------------------------------------------------------------------------------
// Notifications (message 13)

void CDOZiriza::MsgServerNotify(const char* lpszText)
{
    const char* lpsz = lpszText ? lpszText : "";
    dprintf_level(3, "Tunnel::MsgServerNotify, Msg=%s", lpsz);
    char szCmd[128];
    const char* lpszParam = ParseCmd(lpsz, szCmd, sizeof(szCmd));
    if (lpszParam == nullptr)
        return;
    if (strcmp(szCmd, "Restart") == 0)
        ServerNotifyRestart(lpszParam);
    else if (strcmp(szCmd, "RefreshFwd") == 0)
        CallRequest(CALL_GET_FORWARD_LIST, "", 0);
    else if (strcmp(szCmd, "SetDomain") == 0)
    {
        if (m_Cfg.uMode == MODE_CLIENT)
            ServerNotifySetDomain(lpszParam);
    }
    else if (strcmp(szCmd, "TunnelSta") == 0)
    {
        if (m_Cfg.uMode == MODE_CLIENT || m_Cfg.uMode == MODE_FORWARD)
            ServerNotifyTunnelSta(lpszParam);
    }
    else if (strcmp(szCmd, "SetSess") == 0)
        ServerNotifySetSess(lpszParam);
    else if (strcmp(szCmd, "UserExtend") == 0)
        ServerNotifyUserExtend(lpszParam);
}

void CDOZiriza::ServerNotifyRestart(const char* lpszParam)
{
    QV_STRING strValue;
    u32 uDelay = ParseParam(lpszParam, "delay", '=', strValue) ? (u32)strtoul(strValue.c_str(), nullptr, 10) : 0;
    u32 uRedirect = ParseParam(lpszParam, "redirect", '=', strValue) ? (u32)strtoul(strValue.c_str(), nullptr, 10) : 0;
    if (uRedirect != 0)
    {
        m_Redirect.strSvrName.clear();
        m_Redirect.strSvrAddr.clear();
    }
    Restart(uDelay == 0 ? 1 : uDelay, QV_TUNNEL_STA_LOGIN_LOGOUTED);
}

void CDOZiriza::ServerNotifySetDomain(const char* lpszParam)
{
    dprintf_level(3, "Tunnel::ServerNotifySetDomain, lpszData=%s", lpszParam);
    CDOZirizaOmlDoc doc(lpszParam);
    QV_STRING strDomain = doc.Text("Domain");
    if (strDomain.empty() || strDomain == m_LoginInfo.strDomain.c_str())
        return;
    if (SaveAccountFile(ACCOUNT_CODE, strDomain.c_str(), m_LoginInfo.strComment.c_str()))
        dprintf_level(3, "Tunnel::ServerNotifySetDomain, Save Account. strDomain=%s", strDomain.c_str());
    else
        dprintf_level(3, "Tunnel::ServerNotifySetDomain, Save Account failed. strDomain=%s", strDomain.c_str());
    Restart(1, QV_TUNNEL_STA_LOGIN_LOGOUTED);
}

void CDOZiriza::ServerNotifyTunnelSta(const char* lpszParam)
{
    CDOZirizaOmlDoc doc(lpszParam);
    const u32 uAction = doc.Number("Action");
    const QV_STRING strExt = doc.Text("Ext");
    const u32 bConfirm = uAction != 0 && !strExt.empty();
    const u32 bNoAdd = m_Cfg.uMode == MODE_CLIENT && m_Cfg.UtiClient.uDirectTunnelEnable;
    // Names and Ext come from the server: escaped so that each stays one element of the list.
    QV_STRING strExtEnc = doZirizaOmlEncode(strExt.c_str());
    QV_STRING strAccept;
    for (u32 i = 0;; i++)
    {
        IQVString* pEle = doc.Element("TunnelList.", i);
        if (pEle == nullptr)
            break;
        if (uAction == 0)
        {
            SvrTunnelDelete(pEle);
            pEle->Delete();
            continue;
        }
        QV_STRING strEntry;
        if (bNoAdd)
            strEntry = qvStringFormat("(){(Accept){0}(Ext){%s}}", strExtEnc.c_str());
        else
        {
            QV_STRING strName;
            QV_ADDR_S addr;
            memset(&addr, 0, sizeof(addr));
            u32 uIndex = SvrTunnelAdd(pEle, bConfirm ? 0x01 : 0, strName, addr);
            QV_STRING strNameEnc = doZirizaOmlEncode(strName.c_str());
            if (uIndex < m_Cfg.Base.uMaxTunnel)
                strEntry = qvStringFormat("(%s){(Accept){1}(Ext){%s}}", strNameEnc.c_str(), strExtEnc.c_str());
            else
            {
                strEntry = qvStringFormat("(%s){(Accept){0}", strNameEnc.c_str());
                if (addr.uAddr[0] | addr.uAddr[1] | addr.uAddr[2] | addr.uAddr[3] | addr.uPort)
                {
                    char szAddr[64] = "";
                    qvAddrToReadable(&addr, szAddr, sizeof(szAddr));
                    strEntry += "(ClientAddr){";
                    strEntry += doZirizaOmlEncode(szAddr);
                    strEntry += "}";
                }
                strEntry += "(Ext){";
                strEntry += strExtEnc;
                strEntry += "}}";
            }
        }
        pEle->Delete();
        if (bConfirm && strEntry.length() <= ACCEPT_ENTRY_MAX)
            strAccept += strEntry;
    }
    if (bConfirm)
        CallReqConfirmTunnelSta(strAccept.c_str(), 0);
}

void CDOZiriza::ServerNotifySetSess(const char* lpszParam)
{
    QV_STRING strValue;
    ParseParam(lpszParam, "sess", '=', strValue);
    m_strSvrSess = strValue;
}

void CDOZiriza::ServerNotifyUserExtend(const char* lpszParam)
{
    UserExtendNotify(lpszParam);
}
