// The request seam of the tunnel thread: requests from the call bridge (and the HTTP front end)
// arrive as message 4, are dispatched by name and answered on their handle; requests that wait
// for data are parked until it arrives or the node stops.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "doZiriza.h"
#include "qvDomain.h"
#include "qvLog.h"
#include "qvUtilize.h"

const char* const CDOZiriza::s_pszHttpReq[26] = {
    "domainset",   "domainget",     "commentset",    "commentget",   "tunnelset",   "versionget",     "statusget",
    "peerinfoget", "cnntadd",       "cnntdelete",    "cnntquery",    "cnntlcldelete", "cnntlclquery", "userextend",
    "userextendjson", "pushget",    "pushgetjson",   "selfget",      "connectenum", "control",        "channelset",
    "peerfwdcfg",  "peerauthset",   "peerauthreply", "eventget",     "exit",
};

namespace {

const char* const s_szJsonType = "application/json;charset=UTF-8";

// A decimal request parameter; 0 when it is absent.
u32 ParamNumber(const char* lpszParam, const char* lpszName, u32* lpuValue)
{
    QV_STRING strValue;
    if (!CDOZiriza::ParseParam(lpszParam, lpszName, '=', strValue))
        return 0;
    *lpuValue = (u32)strtoul(strValue.c_str(), nullptr, 10);
    return 1;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Front-end side

int CDOZiriza::OnHttpRequest(u32 uHandle, const char* lpszName, const char* lpszParam)
{
    return PostMessage(DOZIRIZA_MSG_HTTP_REQUEST, uHandle, 0, 0, lpszName, lpszParam);
}

void CDOZiriza::OnHttpAbort(u32 uHandle)
{
    PostMessage(DOZIRIZA_MSG_HTTP_ABORT, uHandle);
}

void CDOZiriza::HttpSendResponse(u32 uHandle, u32 uStatus, const char* lpszContentType, const char* lpszData,
                                 u32 uLength)
{
    u32 uKind = DOZIRIZA_HTTP_HANDLE_KIND(uHandle);
    unsigned char* lpData = (unsigned char*)const_cast<char*>(lpszData ? lpszData : "");
    if (uKind == DOZIRIZA_HTTP_KIND_REAL)
    {
        if (m_pHttpReal != nullptr && m_Cfg.Base.uMaxHttp != 0)
            m_pHttpReal->SendResponse(uHandle, uStatus, lpszContentType, lpData, uLength);
    }
    else if (uKind == DOZIRIZA_HTTP_KIND_CALL)
        m_HttpCall.SendResponse(uHandle, uStatus, lpszContentType, lpData, uLength);
}

void CDOZiriza::HttpSendText(u32 uHandle, const char* lpszText)
{
    const char* lpsz = lpszText ? lpszText : "";
    HttpSendResponse(uHandle, 200, s_szJsonType, lpsz, (u32)strlen(lpsz));
}

u32 CDOZiriza::HttpInitialze()
{
    QV_ADDR_S addr;
    memset(&addr, 0, sizeof(addr));
    if (!m_Cfg.Base.strAddrHttpListen.empty())
    {
        if (qvDomainToAddr(m_Cfg.Base.strAddrHttpListen.c_str(), 0, &addr, 1, nullptr, 5000, 0) == 0)
            dprintf_level(1, "Tunnel: Initialize, Parse http listen addr failed.");
    }
    if (qvAddrIPVer(&addr) == 2)
        qvStrToAddr("0:0:0:7f000001:0:0", &addr);
    if (addr.uPort == 0)
        addr.uPort = 17881;
    if (m_Cfg.Base.uMaxHttp == 0 || m_pHttpReal == nullptr)
        qvLogOut(0, "Tunnel::Initialize: Real http is disabled");
    else if (m_pHttpReal->Initialize(m_Cfg.Base.uMaxHttp, m_Cfg.Base.uHttpPortRange, addr) != 1)
    {
        qvLogOut(0, "Tunnel::Initialize: Init real http failed");
        return 0;
    }
    if (m_HttpCall.Initialize(0, 0, addr) != 1)
    {
        qvLogOut(0, "Tunnel::Initialize: Init call http failed");
        return 0;
    }
    if (!s_uManualTimer)
    {
        m_uTimerHttp = qvTimerAdd(CDOZirizaHttpCall::TICK_MS, &m_TimerProc, 1);
        if (m_uTimerHttp == 0)
        {
            qvLogOut(0, "Tunnel::Initialize: Init call http timer failed");
            return 0;
        }
    }
    return 1;
}

void CDOZiriza::HttpClean()
{
    if (m_pHttpReal != nullptr && m_Cfg.Base.uMaxHttp != 0)
        m_pHttpReal->Clean();
    if (m_uTimerHttp != 0)
    {
        qvTimerDelete(m_uTimerHttp);
        m_uTimerHttp = 0;
    }
    m_HttpCall.Clean();
}

// ---------------------------------------------------------------------------------------------
// Parked requests

u32 CDOZiriza::HttpSessPush(u32 uHandle, u32 uKind, u32 uFlag)
{
    if (!m_SectHttpSess.Lock())
        return 0;
    HTTP_SESS_S* p = m_ListHttpSess.Count() < HTTP_SESS_MAX ? new (std::nothrow) HTTP_SESS_S : nullptr;
    if (p != nullptr)
    {
        p->uHandle = uHandle;
        p->uKind = uKind;
        p->uFlag = uFlag;
        m_ListHttpSess.PushTail(p);
    }
    m_SectHttpSess.Unlock();
    return p != nullptr;
}

u32 CDOZiriza::HttpSessPop(u32 uKind, u32* lpuFlag)
{
    if (!m_SectHttpSess.Lock())
        return 0;
    u32 uHandle = 0;
    for (HTTP_SESS_S* p = m_ListHttpSess.Head(); p != nullptr; p = CQVList<HTTP_SESS_S>::Next(p))
    {
        if (p->uKind == uKind)
        {
            uHandle = p->uHandle;
            if (lpuFlag)
                *lpuFlag = p->uFlag;
            m_ListHttpSess.Remove(p);
            delete p;
            break;
        }
    }
    m_SectHttpSess.Unlock();
    return uHandle;
}

u32 CDOZiriza::HttpSessDelete(u32 uHandle, u32* lpuFlag)
{
    if (!m_SectHttpSess.Lock())
        return 0;
    u32 uFound = 0;
    for (HTTP_SESS_S* p = m_ListHttpSess.Head(); p != nullptr; p = CQVList<HTTP_SESS_S>::Next(p))
    {
        if (p->uHandle == uHandle)
        {
            if (lpuFlag)
                *lpuFlag = p->uFlag;
            m_ListHttpSess.Remove(p);
            delete p;
            uFound = 1;
            break;
        }
    }
    m_SectHttpSess.Unlock();
    return uFound;
}

u32 CDOZiriza::HttpSessCount()
{
    if (!m_SectHttpSess.Lock())
        return 0;
    u32 uCount = m_ListHttpSess.Count();
    m_SectHttpSess.Unlock();
    return uCount;
}

void CDOZiriza::HttpSessAbort()
{
    // Requests waiting in the node for an answer of the server or a peer end with a time-out.
    u32 uIter = 0, uKind = 0, uValue1 = 0, uValue2 = 0;
    while (m_Node.RequestEnum(&uKind, &uValue1, &uValue2, &uIter))
    {
        if (uKind == 1 && uValue2 != 0)
        {
            switch (uValue1)
            {
            case CALL_GET_DOMAIN_CFG: OnHttpDomainSet(DOZIRIZA_RES_TIMEOUT, uValue2); break;
            case CALL_CNNT_ADD: OnHttpConnectAdd(DOZIRIZA_RES_TIMEOUT, uValue2, ""); break;
            case CALL_CNNT_DELETE: OnHttpConnectDelete(DOZIRIZA_RES_TIMEOUT, uValue2); break;
            case CALL_USER_EXTEND: OnHttpUserExtend(DOZIRIZA_RES_TIMEOUT, uValue2, ""); break;
            default: break;
            }
        }
        else if (uKind == 2 && uValue1 == 1)
            OnHttpPeerInfoGet(0, DOZIRIZA_RES_TIMEOUT, uValue2, "");
    }
    u32 uFlag = 0;
    while (u32 uHandle = HttpSessPop(REQ_PUSHGET, &uFlag))
        OnHttpPushGet(DOZIRIZA_RES_TIMEOUT, uHandle, "", uFlag);
    while (u32 uHandle = HttpSessPop(REQ_EVENTGET, &uFlag))
        OnHttpEventGet(DOZIRIZA_RES_TIMEOUT, uHandle, 255, "");
}

void CDOZiriza::OnHttpPushGet(u32 uResult, u32 uHandle, const char* lpszData, u32 uFlag)
{
    // Push data comes from the server: it is escaped in both forms so that it cannot add
    // members to the answer (the call bridge decodes it again).
    QV_STRING strText = qvStringFormat("%s:{\"result\":\"%u\",\"data\":\"%s\"}", uFlag ? "pushgetjson" : "pushget", uResult,
                               qvJsonConvert(lpszData).c_str());
    dprintf_level(3, "%s", strText.c_str());
    if (strText.empty())
        HttpSendResponse(uHandle, 500, s_szJsonType, "", 0);
    else
        HttpSendText(uHandle, strText.c_str());
}

void CDOZiriza::OnHttpEventGet(u32 uResult, u32 uHandle, u32 uEvent, const char* lpszParam)
{
    QV_STRING strText = qvStringFormat("eventget:{\"result\":\"%u\",\"event\":\"%u\",\"param\":\"%s\"}", uResult, uEvent,
                               qvJsonConvert(lpszParam).c_str());
    dprintf_level(3, "%s", strText.c_str());
    if (strText.empty())
        HttpSendResponse(uHandle, 500, s_szJsonType, "", 0);
    else
        HttpSendText(uHandle, strText.c_str());
}

// ---------------------------------------------------------------------------------------------
// Dispatch

void CDOZiriza::MsgHttpRequest(u32 uHandle, const char* lpszName, const char* lpszParam)
{
    u32 uIndex = 0;
    while (uIndex < 26 && strcasecmp(s_pszHttpReq[uIndex], lpszName ? lpszName : "") != 0)
        uIndex++;
    if (uIndex >= 26)
    {
        qvLogOut(1, "Tunnel: MsgHttpRequest, unknown request, Name=%s", lpszName ? lpszName : "");
        return;
    }
    const char* lpszParamText = lpszParam ? lpszParam : "";
    switch (uIndex)
    {
    case 0: HttpReqDomainSet(uHandle, lpszParamText); break;
    case 1: HttpReqDomainGet(uHandle, lpszParamText); break;
    case 2: HttpReqCommentSet(uHandle, lpszParamText); break;
    case 3: HttpReqCommentGet(uHandle, lpszParamText); break;
    case 4: HttpReqTunnelSet(uHandle, lpszParamText); break;
    case 5: HttpReqVersionGet(uHandle, lpszParamText); break;
    case 6: HttpReqStatusGet(uHandle, lpszParamText); break;
    case 7: HttpReqPeerInfoGet(uHandle, lpszParamText); break;
    case 11: HttpReqCnntLclDelete(uHandle, lpszParamText); break;
    case 12: HttpReqCnntLclQuery(uHandle, lpszParamText); break;
    case 13: HttpReqUserExtend(uHandle, lpszParamText, 0); break;
    case 14: HttpReqUserExtend(uHandle, lpszParamText, 1); break;
    case 20: HttpReqChannelSet(uHandle, lpszParamText); break;
    case 22: HttpReqPeerAuthSet(uHandle, lpszParamText); break;
    case 23: HttpReqPeerAuthReply(uHandle, lpszParamText); break;
    case 8: HttpReqConnectAdd(uHandle, lpszParamText); break;
    case 9: HttpReqConnectDelete(uHandle, lpszParamText); break;
    case 10: HttpReqConnectQuery(uHandle, lpszParamText); break;
    case 18: HttpReqConnectEnum(uHandle, lpszParamText); break;
    case REQ_PUSHGET: HttpReqPushGet(uHandle, lpszParamText, 0); break;
    case REQ_PUSHGETJSON: HttpReqPushGet(uHandle, lpszParamText, 1); break;
    case 17: HttpReqSelfGet(uHandle, lpszParamText); break;
    case 19: HttpReqControl(uHandle, lpszParamText); break;
    case 21: HttpReqPeerFwdCfg(uHandle, lpszParamText); break;
    case REQ_EVENTGET: HttpReqEventGet(uHandle, lpszParamText); break;
    case 25: HttpReqExit(uHandle, lpszParamText); break;
    default:
        // Known by name, served by the connection, server-call and authorisation logic; this
        // build answers that it does not implement it rather than leaving the caller waiting.
        HttpSendText(uHandle, qvStringFormat("%s:{\"result\":\"%u\"}", s_pszHttpReq[uIndex], DOZIRIZA_RES_NOIMP).c_str());
        break;
    }
}

void CDOZiriza::HttpReqStatusGet(u32 uHandle, const char* lpszParam)
{
    u32 uOption = 0;
    u32 uStatus = 0;
    u32 uResult = ParamNumber(lpszParam, "option", &uOption) ? StatusGet(uOption, &uStatus) : (u32)DOZIRIZA_RES_BADPARAM;
    if (uResult == DOZIRIZA_RES_OK)
        HttpSendText(uHandle, qvStringFormat("statusget:{\"result\":\"%u\",\"status\":\"%u\"}", uResult, uStatus).c_str());
    else
        HttpSendText(uHandle, qvStringFormat("statusget:{\"result\":\"%u\"}", uResult).c_str());
}

void CDOZiriza::HttpReqVersionGet(u32 uHandle, const char*)
{
    QV_STRING strText = qvStringFormat("versionget:{\"version\":\"%u.%u.%u.%s\"}", DOZIRIZA_VER_MAJOR, DOZIRIZA_VER_MINOR,
                               DOZIRIZA_VER_PATCH, DOZIRIZA_VER_BUILD);
    dprintf_level(3, "%s", strText.c_str());
    HttpSendText(uHandle, strText.c_str());
}

void CDOZiriza::HttpReqDomainGet(u32 uHandle, const char*)
{
    QV_STRING strText = qvStringFormat("domainget:{\"domain\":\"%s\"}", qvJsonConvert(DomainGet().c_str()).c_str());
    dprintf_level(3, "%s", strText.c_str());
    HttpSendText(uHandle, strText.c_str());
}

void CDOZiriza::HttpReqCommentGet(u32 uHandle, const char*)
{
    QV_STRING strText = qvStringFormat("commentget:{\"comment\":\"%s\"}", qvJsonConvert(CommentGet().c_str()).c_str());
    dprintf_level(3, "%s", strText.c_str());
    HttpSendText(uHandle, strText.c_str());
}

void CDOZiriza::HttpReqSelfGet(u32 uHandle, const char*)
{
    QV_STRING strSelf;
    if (!m_LoginInfo.strUser.empty())
        strSelf = PeerIDTrim(m_LoginInfo.strUser.c_str());
    QV_STRING strText = qvStringFormat("selfget:{\"self\":\"%s\"}", qvJsonConvert(strSelf.c_str()).c_str());
    dprintf_level(3, "%s", strText.c_str());
    HttpSendText(uHandle, strText.c_str());
}

void CDOZiriza::HttpReqControl(u32 uHandle, const char* lpszParam)
{
    u32 uResult = DOZIRIZA_RES_BADSTATUS;
    u32 uCtrl = 0;
    if (IsStarted())
    {
        if (!ParamNumber(lpszParam, "ctrl", &uCtrl))
            uResult = DOZIRIZA_RES_BADPARAM;
        else
        {
            QV_STRING strValue;
            ParseParam(lpszParam, "param", '=', strValue);
            QV_STRING strArg = doZirizaToUTF8(DecodeUriComponent(strValue.c_str()).c_str());
            if (uCtrl == 0)
                uResult = ControlLoginNow(strArg.c_str());
            else if (uCtrl == 1)
                uResult = ControlReloadCfg(strArg.c_str());
            else
                uResult = DOZIRIZA_RES_BADPARAM;
        }
    }
    HttpSendText(uHandle, qvStringFormat("control:{\"result\":\"%u\"}", uResult).c_str());
}

void CDOZiriza::HttpReqPeerFwdCfg(u32 uHandle, const char* lpszParam)
{
    u32 uResult = DOZIRIZA_RES_BADSTATUS;
    if (IsStarted())
    {
        const char* apszName[4] = {"speed", "gate", "use", "maxsess"};
        int aiValue[4];
        for (u32 i = 0; i < 4; i++)
        {
            QV_STRING strValue;
            aiValue[i] = (ParseParam(lpszParam, apszName[i], '=', strValue) && !strValue.empty())
                             ? (int)strtol(strValue.c_str(), nullptr, 10)
                             : -1;
        }
        uResult = (u32)m_Node.PeerFwdCfg(aiValue[0], aiValue[1], aiValue[2], aiValue[3]);
        if (uResult == DOZIRIZA_RES_OK)
        {
            u32* apuField[4] = {&m_Cfg.PeerForward.uSpeed, &m_Cfg.PeerForward.uGate, &m_Cfg.PeerForward.uUse,
                                &m_Cfg.PeerForward.uMaxSess};
            for (u32 i = 0; i < 4; i++)
                if (aiValue[i] >= 0)
                    *apuField[i] = (u32)aiValue[i];
        }
    }
    HttpSendText(uHandle, qvStringFormat("peerfwdcfg:{\"result\":\"%u\"}", uResult).c_str());
}

void CDOZiriza::HttpReqPushGet(u32 uHandle, const char*, u32 uFlag)
{
    QV_STRING strText;
    if (NotifyPop(strText))
        OnHttpPushGet(DOZIRIZA_RES_OK, uHandle, strText.c_str(), uFlag);
    else if (!HttpSessPush(uHandle, REQ_PUSHGET, uFlag))
        OnHttpPushGet(DOZIRIZA_RES_BUSY, uHandle, "", uFlag);
}

void CDOZiriza::HttpReqEventGet(u32 uHandle, const char*)
{
    u32 uEvent = 0;
    QV_STRING strParam;
    if (EventApiPop(&uEvent, strParam))
        OnHttpEventGet(DOZIRIZA_RES_OK, uHandle, uEvent, strParam.c_str());
    else if (!HttpSessPush(uHandle, REQ_EVENTGET, 0))
        OnHttpEventGet(DOZIRIZA_RES_BUSY, uHandle, 255, "");
}

void CDOZiriza::HttpReqExit(u32 uHandle, const char* lpszParam)
{
    QV_STRING strPass;
    u32 bPass = ParseParam(lpszParam, "pass", '=', strPass);
    HttpSendText(uHandle, qvStringFormat("exit:{\"result\":\"%u\"}", bPass ? DOZIRIZA_RES_OK : DOZIRIZA_RES_BADPARAM).c_str());
    if (bPass)
        Exit();
}
