// The tunnel engine: initialisation and clean-up, the message loop, the one-second tick, node
// start and stop, login, relogin and kick-out.
#include "doZiriza.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "qvCharSet.h"
#include "qvLog.h"
#include "qvSandbox.h"
#include "qvSocketUti.h"
#include "qvSysNet.h"
#include "qvUtilize.h"

std::atomic<u32> CDOZiriza::s_uManualTimer{0};

namespace {

std::atomic<TfnTunnelEventProc> g_lpfnEvent{nullptr};

}  // namespace

void doZirizaEventCallbackSet(TfnTunnelEventProc lpfnEvent)
{
    g_lpfnEvent = lpfnEvent;
}

TfnTunnelEventProc doZirizaEventCallbackGet()
{
    return g_lpfnEvent;
}

void CDOZirizaTimerProc::OnTimer(u32, u32 uParam)
{
    if (m_pTunnel != nullptr)
        m_pTunnel->OnTimer(uParam);
}

CDOZiriza::CDOZiriza()
    : m_uTimerMain(0),
      m_uTimerHttp(0),
      m_uTickStamp(0),
      m_uStarted(0),
      m_uRunning(0),
      m_uRestartCountdown(0),
      m_uReloginCountdown(0),
      m_pHttpReal(nullptr),
      m_pExtTcp(nullptr),
      m_uLoggedIn(0),
      m_uLoginFailCount(0),
      m_uDirectAllowed(1),
      m_uPeerInfoTick(0),
      m_uPeerInfoDone(0),
      m_uSessCheckPos(0),
      m_auSessStat{},
      m_uFreshPos(0),
      m_uActiveTick(0),
      m_uMsgCount(0),
      m_pParser(nullptr),
      m_pStr1(nullptr),
      m_pStr2(nullptr),
      m_BuildIn{0},
      m_iInitError(QV_TUNNEL_ERROR_UNKNOWN),
      m_lpContext(nullptr),
      m_lpfnLog(nullptr),
      m_uListPos(0),
      m_uListSize(0)
{
    m_TimerProc.Attach(this);
    m_HttpCall.Attach(this);
    m_Node.Attach(this, nullptr);
    m_Callback.Attach(this);
    m_ExtTcp.Attach(this);
    m_pExtTcp = &m_ExtTcp;
    CleanCfg();
}

CDOZiriza::~CDOZiriza()
{
    m_Callback.Clean();
    EventApiClean();
    NotifyClean();
    while (HTTP_SESS_S* p = m_ListHttpSess.PopHead())
        delete p;
    while (MSG_S* p = m_ListMsg.PopHead())
        delete p;
    while (MSG_S* p = m_ListMsgFree.PopHead())
        delete p;
    DirectTunnelBackClean();
    PeerOutCheckClean();
    PeerAuthClean();
    if (m_pParser)
        m_pParser->Delete();
    if (m_pStr1)
        m_pStr1->Delete();
    if (m_pStr2)
        m_pStr2->Delete();
    CleanCfg();
}

void CDOZiriza::OnMsgProc(u32, u32, u32, u32, const char*, const char*, const char*) {}
void CDOZiriza::OnLoginReply(u32) {}
void CDOZiriza::OnKickOut(u32 uParam)
{
    qvLogOut(0, "Kick out by server. Param=%u", uParam);
}
void CDOZiriza::OnDomainSet(u32) {}
void CDOZiriza::OnExit() {}

void CDOZiriza::SetManualTimer(u32 uManual)
{
    s_uManualTimer = uManual;
}

void CDOZiriza::SetBuildInCfg(const BUILD_IN_CFG_S* lpCfg)
{
    if (lpCfg != nullptr)
        m_BuildIn = *lpCfg;
}

// ---------------------------------------------------------------------------------------------
// Initialisation and clean-up

u32 CDOZiriza::Initialize(const char* lpszCfgPath, const char* lpszSysInfo, void* lpContext, TfnTunnelLogOut lpfnLog)
{
    m_lpfnLog = lpfnLog;
    m_lpContext = lpContext;
    m_iInitError = QV_TUNNEL_ERROR_UNKNOWN;
    CleanCfg();
    auto fail = [this](u32 uStatus, int iError) {
        m_LoginInfo.uStatus = uStatus;
        m_iInitError = iError;
    };

    if (!LoadCfg(lpszCfgPath))
    {
        fail(QV_TUNNEL_STA_LOGIN_CONFIG, QV_TUNNEL_ERROR_BADFILE);
        return 0;
    }
    qvPrintfEnable(m_Cfg.Log.uDebug != 0);
    m_strHomeSub = m_Cfg.uMode == MODE_CLIENT ? "doZirizaC" : (m_Cfg.uMode == MODE_FORWARD ? "doZirizaF" : "doZiriza");

    QV_STRING strHome;
    QV_STRING strLogDir;
    u32 uLevelMask = 0;
    for (u32 i = 0; i < 4; i++)
        if (m_Cfg.Log.aucLevel[i])
            uLevelMask |= 1u << i;
    if (!doZirizaHomeDir(lpszCfgPath, strHome) || !qvSandboxSetRoot(strHome.c_str()) || !doZirizaLogDir(strLogDir) ||
        !qvLogInit(uLevelMask, strLogDir.c_str(), "tunnel", m_Cfg.Log.uFileSize, m_Cfg.Log.uFileNum))
    {
        dprintf_level(0, "Tunnel::Initialize, Init log module failed!");
        fail(QV_TUNNEL_STA_LOGIN_INITFAILED, QV_TUNNEL_ERROR_SYSTEM);
        return 0;
    }
    if (lpfnLog != nullptr && !qvLogExt(lpfnLog))
    {
        dprintf_level(0, "Add extend Tunnel Log output failed!");
        fail(QV_TUNNEL_STA_LOGIN_INITFAILED, QV_TUNNEL_ERROR_SYSTEM);
        return 0;
    }
    doZirizaLogReadySet(1);
    qvLogOut(0, "Tunnel::Initialize: Version=%u.%u.%u.%s", DOZIRIZA_VER_MAJOR, DOZIRIZA_VER_MINOR,
             DOZIRIZA_VER_PATCH, DOZIRIZA_VER_BUILD);

    if (!LoadSysInfo(lpszSysInfo))
    {
        qvLogOut(0, "Tunnel::Initialize, Load system info failed, lpszSysInfo=%s", lpszSysInfo ? lpszSysInfo : "");
        fail(QV_TUNNEL_STA_LOGIN_SYSINFO, QV_TUNNEL_ERROR_BADPARAM);
        return 0;
    }

    auto failClean = [&](u32 uStatus, int iError) {
        Clean();
        fail(uStatus, iError);
        return 0u;
    };
    if (!m_Callback.Initialize(doZirizaEventCallbackGet()))
    {
        qvLogOut(0, "Tunnel::Initialize: Event calback failed");
        return failClean(QV_TUNNEL_STA_LOGIN_INITFAILED, QV_TUNNEL_ERROR_SYSTEM);
    }
    if (m_pParser == nullptr)
        m_pParser = qvNewOMLParser();
    if (m_pStr1 == nullptr)
        m_pStr1 = qvNewString("");
    if (m_pStr2 == nullptr)
        m_pStr2 = qvNewString("");
    if (m_pParser == nullptr || m_pStr1 == nullptr || m_pStr2 == nullptr)
        return failClean(QV_TUNNEL_STA_LOGIN_INITFAILED, QV_TUNNEL_ERROR_SYSTEM);

    IQVSysNet* pSysNet = qvGetSysNet();
    if (!m_Cfg.strNetCard.empty() && (pSysNet == nullptr || !pSysNet->DefNetCardSet(m_Cfg.strNetCard.c_str())))
        qvLogOut(0, "Tunnel::Initialize: Set default net card failed. NetCard=%s", m_Cfg.strNetCard.c_str());
    if (pSysNet == nullptr ||
        !pSysNet->NetCardFilter(m_Cfg.NetCardFilter.uMode, m_Cfg.NetCardFilter.strList.c_str()))
    {
        qvLogOut(0, "Tunnel::Initialize: Config NetCard Filter failed");
        return failClean(QV_TUNNEL_STA_LOGIN_CONFIG, QV_TUNNEL_ERROR_SYSTEM);
    }

    if (!ConfigExtTcp())
    {
        qvLogOut(0, "Tunnel::Initialize: Config ExtTcp failed");
        return failClean(QV_TUNNEL_STA_LOGIN_CONFIG, QV_TUNNEL_ERROR_NETWORK);
    }
    if (!qvTimerInit(0))
    {
        qvLogOut(0, "Tunnel::Initialize: Init timer failed");
        return failClean(QV_TUNNEL_STA_LOGIN_INITFAILED, QV_TUNNEL_ERROR_SYSTEM);
    }
    if (!TcpSessInit(m_Cfg.Base.uMaxSess) || !TunnelInit(m_Cfg.Base.uMaxTunnel))
        return failClean(QV_TUNNEL_STA_LOGIN_INITFAILED, QV_TUNNEL_ERROR_SYSTEM);
    if (!HttpInitialze())
    {
        qvLogOut(0, "Tunnel::Initialize: Init http failed");
        return failClean(QV_TUNNEL_STA_LOGIN_INITFAILED, QV_TUNNEL_ERROR_SYSTEM);
    }
    if (!s_uManualTimer)
    {
        m_uTimerMain = qvTimerAdd(1000, &m_TimerProc, 0);
        if (m_uTimerMain == 0)
        {
            qvLogOut(0, "Tunnel::Initialize: Start timer failed");
            return failClean(QV_TUNNEL_STA_LOGIN_INITFAILED, QV_TUNNEL_ERROR_SYSTEM);
        }
    }

    LanScanPeerClean();
    m_uStarted = 0;
    m_uLoggedIn = 0;
    m_uTickStamp = 0;
    m_uRestartCountdown = 0;
    m_uReloginCountdown = 0;
    m_uLoginFailCount = 0;
    m_uRunning = 1;
    m_iInitError = QV_TUNNEL_ERROR_OK;
    if (!Start())
    {
        qvLogOut(0, "Tunnel: Initialize, Post start msg failed.");
        Restart(RestartDelay(), 0);
    }
    qvLogOut(0, "Tunnel: Initialize success");
    return 1;
}

void CDOZiriza::Clean()
{
    qvLogOut(0, "Tunnel: Clean, Begin");
    m_uRunning = 0;
    m_Callback.Clean();
    EventApiClean();
    NodeStop(QV_TUNNEL_STA_LOGIN_LOGOUTED);
    if (m_uTimerMain != 0)
    {
        qvTimerDelete(m_uTimerMain);
        m_uTimerMain = 0;
    }
    m_uTickStamp = 0;
    m_uRestartCountdown = 0;
    m_uReloginCountdown = 0;
    m_uLoginFailCount = 0;
    TimerCtlDisable(m_CtlClientInfo);
    TimerCtlDisable(m_CtlList);
    m_uListPos = 0;
    m_uListSize = 0;
    LanScanPeerClean();
    HttpClean();
    qvTimerClean();
    TcpSessClean();
    TunnelClean();
    if (m_SectHttpSess.Lock())
    {
        while (HTTP_SESS_S* p = m_ListHttpSess.PopHead())
            delete p;
        m_SectHttpSess.Unlock();
    }
    if (m_SectMsg.Lock())
    {
        while (MSG_S* p = m_ListMsg.PopHead())
            delete p;
        while (MSG_S* p = m_ListMsgFree.PopHead())
            delete p;
        m_uMsgCount = 0;
        m_SectMsg.Unlock();
    }
    DirectTunnelBackClean();
    PeerAuthClean();
    m_Redirect.strSvrName.clear();
    m_Redirect.strSvrAddr.clear();
    CleanCfg();
    if (m_pParser)
        m_pParser->Delete();
    if (m_pStr1)
        m_pStr1->Delete();
    if (m_pStr2)
        m_pStr2->Delete();
    m_pParser = nullptr;
    m_pStr1 = m_pStr2 = nullptr;
    qvLogOut(0, "Tunnel: Clean, finish");
}

// ---------------------------------------------------------------------------------------------
// Message queue and loop

u32 CDOZiriza::PostMessage(u32 uMsg, u32 uParam0, u32 uParam1, u32 uParam2, const char* lpszText0,
                           const char* lpszText1, const char* lpszText2)
{
    if (!m_SectMsg.Lock())
        return 0;
    MSG_S* pMsg = m_ListMsgFree.PopHead();
    if (pMsg == nullptr && m_uMsgCount < MSG_MAX)
    {
        pMsg = new (std::nothrow) MSG_S;
        if (pMsg != nullptr)
            m_uMsgCount++;
    }
    if (pMsg == nullptr)
    {
        m_SectMsg.Unlock();
        return 0;
    }
    pMsg->uMsg = uMsg;
    pMsg->uParam[0] = uParam0;
    pMsg->uParam[1] = uParam1;
    pMsg->uParam[2] = uParam2;
    const char* apszText[3] = {lpszText0, lpszText1, lpszText2};
    for (u32 i = 0; i < 3; i++)
    {
        if (apszText[i] == nullptr || !pMsg->strText[i].assign(apszText[i]))
            pMsg->strText[i].clear();
    }
    m_ListMsg.PushTail(pMsg);
    m_SectMsg.Unlock();
    // Posted while this thread serves messages (the module thread, or a caller in MsgNow
    // whose step posts, as a connect that finishes at once does), or by a TCP worker within
    // its pass: the module thread's loop takes it next; a caller's run, or the worker at the
    // end of its pass, serves the TCP messages at the head itself and wakes the module thread
    // then only for what is left. Woken at once, the module thread would only wait for the
    // run lock, or take the message from the worker that is about to serve it.
    if (m_MsgRunOwner.load() == std::this_thread::get_id() || CQVExtTcp::OnWorkerThread())
        m_uWakeHeld = 1;
    else
        m_EventMsg.Signal();
    return 1;
}

void CDOZiriza::MainProc()
{
    while (m_uRunning)
    {
        MSG_S* pMsg = nullptr;
        std::unique_lock<std::mutex> run(m_MsgRun);
        m_MsgRunOwner = std::this_thread::get_id();
        if (m_SectMsg.Lock())
        {
            pMsg = m_ListMsg.PopHead();
            m_SectMsg.Unlock();
        }
        if (pMsg == nullptr)
        {
            m_MsgRunOwner = std::thread::id();
            run.unlock();
            if (!m_EventMsg.Wait())
                qvSleep(10);
            continue;
        }
        MsgDispatch(pMsg);
        SessStatUpdate();
        // What it posted is popped by the next turn of this loop.
        m_uWakeHeld = 0;
        m_MsgRunOwner = std::thread::id();
        run.unlock();
        MsgRecycle(pMsg);
    }
    OnExit();
}

void CDOZiriza::MsgRecycle(MSG_S* pMsg)
{
    if (m_SectMsg.Lock())
    {
        pMsg->uMsg = 0x10000;
        pMsg->uParam[0] = pMsg->uParam[1] = pMsg->uParam[2] = 0;
        for (QV_STRING& str : pMsg->strText)
            str.clear();
        m_ListMsgFree.PushTail(pMsg);
        m_SectMsg.Unlock();
    }
    else
        delete pMsg;
}

void CDOZiriza::SessStatUpdate()
{
    m_auSessStat[0] = m_TcpSess.Used();
    m_auSessStat[1] = m_ListSessPending.Count();
    m_auSessStat[2] = m_ListSessDelay.Count();
    m_auSessStat[3] = m_Tunnel.Used();
}

template <class F>
u32 CDOZiriza::MsgRunOnCaller(F fnRun)
{
    if (m_MsgRunOwner.load() == std::this_thread::get_id())
        return 0;
    // Never waits: the module thread may be stopping the node whose thread calls here.
    std::unique_lock<std::mutex> run(m_MsgRun, std::try_to_lock);
    if (!run.owns_lock() || !m_uRunning || !m_uStarted)
        return 0;
    m_MsgRunOwner = std::this_thread::get_id();
    u32 uDone = fnRun();
    if (uDone)
        SessStatUpdate();
    m_MsgRunOwner = std::thread::id();
    run.unlock();
    WakeHeldCheck();
    return uDone;
}

void CDOZiriza::WakeHeldCheck()
{
    if (m_uWakeHeld.exchange(0) && m_SectMsg.Lock())
    {
        u32 uLeft = m_ListMsg.Count();
        m_SectMsg.Unlock();
        if (uLeft)
            m_EventMsg.Signal();
    }
}

u32 CDOZiriza::MsgNow(u32 uMsg, u32 uParam0, u32 uParam1, u32 uParam2, const char* lpszText0,
                      const char* lpszText1)
{
    return MsgRunOnCaller([&]() -> u32 {
        if (!m_SectMsg.Lock())
            return 0;
        u32 uQueued = m_ListMsg.Count();
        m_SectMsg.Unlock();
        if (uQueued)
            return 0;
        switch (uMsg)
        {
        case DOZIRIZA_MSG_FILE_SYNC:
            MsgFileSync(uParam0, uParam1);
            break;
        case DOZIRIZA_MSG_FILE_OPEN:
            MsgFileOpen(uParam0, uParam1, uParam2);
            break;
        case DOZIRIZA_MSG_PEER_CALL_REQUEST:
            MsgPeerCallRequest(uParam0, uParam1, lpszText0 ? lpszText0 : "");
            break;
        case DOZIRIZA_MSG_PEER_CALL_REPLY:
            MsgPeerCallReply(uParam0, uParam1, uParam2, lpszText0 ? lpszText0 : "", lpszText1 ? lpszText1 : "");
            break;
        case DOZIRIZA_MSG_PEER_NOTIFY:
            MsgPeerNotify(uParam0, lpszText0 ? lpszText0 : "");
            break;
        case DOZIRIZA_MSG_FILE_REPLY:
            MsgFileReply(uParam0, uParam1);
            break;
        case DOZIRIZA_MSG_FILE_PROGRESS:
            MsgFileProgress(uParam0, uParam1, uParam2, lpszText0 ? lpszText0 : "");
            break;
        case DOZIRIZA_MSG_FILE_CLOSE:
            MsgFileClose(uParam0, lpszText0 ? lpszText0 : "");
            break;
        case DOZIRIZA_MSG_FILE_CLOSED:
            TcpSessFree(TcpSessGetByFileObj(uParam0), 0);
            break;
        default:
            return 0;
        }
        // The connect of a peer's call to a service on this host has finished by the time the
        // call is served: its result, posted meanwhile, follows here rather than after a
        // wake-up of the module thread.
        if (m_uTcpSetupPosted.load(std::memory_order_relaxed) && m_uTcpSetupPosted.exchange(0))
            MsgServeTcpSetupHeld();
        return 1;
    });
}

u32 CDOZiriza::MsgServeTcpSetup()
{
    return MsgRunOnCaller([&]() -> u32 { return MsgServeTcpSetupHeld(); });
}

u32 CDOZiriza::MsgServeTcpSetupHeld()
{
    u32 uServed = 0;
    for (;;)
    {
        MSG_S* pMsg = nullptr;
        if (m_SectMsg.Lock())
        {
            MSG_S* pHead = m_ListMsg.Head();
            if (pHead != nullptr && (pHead->uMsg == DOZIRIZA_MSG_TCP_ACCEPT || pHead->uMsg == DOZIRIZA_MSG_TCP_CONNECT ||
                                     pHead->uMsg == DOZIRIZA_MSG_TCP_DISCONNECT))
                pMsg = m_ListMsg.PopHead();
            m_SectMsg.Unlock();
        }
        if (pMsg == nullptr)
            return uServed;
        MsgDispatch(pMsg);
        MsgRecycle(pMsg);
        uServed++;
    }
}

void CDOZiriza::GetSessStat(SESS_STAT_S* lpStat) const
{
    lpStat->uSess = m_auSessStat[0];
    lpStat->uPending = m_auSessStat[1];
    lpStat->uDelay = m_auSessStat[2];
    lpStat->uTunnels = m_auSessStat[3];
}

void CDOZiriza::MsgDropNodeMessages()
{
    // Replies, reports and requests of a node that is gone would be taken for the new node's;
    // everything else (requests from the host, ticks, TCP worker reports) stays queued and is
    // served.
    if (!m_SectMsg.Lock())
        return;
    MSG_S* p = m_ListMsg.Head();
    while (p != nullptr)
    {
        MSG_S* pNext = MSG_LIST::Next(p);
        if (p->uMsg >= DOZIRIZA_MSG_LOGIN_REPLY && p->uMsg <= DOZIRIZA_MSG_FILE_PROGRESS)
        {
            m_ListMsg.Remove(p);
            for (QV_STRING& str : p->strText)
                str.clear();
            p->uMsg = 0x10000;
            m_ListMsgFree.PushTail(p);
        }
        p = pNext;
    }
    m_SectMsg.Unlock();
}

void CDOZiriza::MsgDispatch(MSG_S* pMsg)
{
    const u32 u0 = pMsg->uParam[0];
    const u32 u1 = pMsg->uParam[1];
    const u32 u2 = pMsg->uParam[2];
    const char* t0 = pMsg->strText[0].c_str();
    const char* t1 = pMsg->strText[1].c_str();
    const u32 bStarted = m_uStarted;
    switch (pMsg->uMsg)
    {
    case DOZIRIZA_MSG_TICK:
        MsgTick();
        break;
    case DOZIRIZA_MSG_START:
        if (!bStarted && !NodeStart())
            Restart(RestartDelay(), 0);
        break;
    case DOZIRIZA_MSG_RESTART:
        NodeStop(u1);
        if (u0 != 0)
            m_uRestartCountdown = u0;
        else if (!NodeStart())
            Restart(RestartDelay(), 0);
        break;
    case DOZIRIZA_MSG_RELOGIN:
        NodeLogout(u1);
        if (u0 != 0)
        {
            dprintf_level(1, "CDOZiriza::MsgRelogin, uDelay=%u", u0);
            m_uReloginCountdown = u0;
        }
        // A login request that cannot be sent is retried after the restart delay: retrying at
        // once would spin the tunnel thread for as long as the node refuses.
        else if (!NodeLogin())
            Relogin(RestartDelay(), 0);
        break;
    case DOZIRIZA_MSG_HTTP_REQUEST:
        MsgHttpRequest(u0, t0, t1);
        break;
    case DOZIRIZA_MSG_HTTP_ABORT:
        HttpSessDelete(u0, nullptr);
        break;
    case DOZIRIZA_MSG_TCP_ACCEPT:
        MsgTcpAccept(u0, t0, t1);
        break;
    case DOZIRIZA_MSG_TCP_CONNECT:
        MsgTcpConnect(u0, t0);
        break;
    case DOZIRIZA_MSG_TCP_DISCONNECT:
        MsgTcpDisconnect(t0);
        break;
    case DOZIRIZA_MSG_LOGIN_REPLY:
        MsgLoginReply(u0, t0, t1);
        break;
    case DOZIRIZA_MSG_RELOGIN_REPLY:
        if (bStarted)
            MsgReloginReply(u0, t0, t1);
        break;
    case DOZIRIZA_MSG_KICK_OUT:
        if (bStarted)
            MsgKickOut(u0, t0);
        break;
    case DOZIRIZA_MSG_SERVER_SYNC:
        if (bStarted && u0 != 0)
        {
            m_uPeerInfoTick = 0;
            m_uPeerInfoDone = 0;
        }
        break;
    case DOZIRIZA_MSG_PEER_SYNC:
        if (bStarted)
            MsgPeerSync(u0, u1, t0);
        break;
    case DOZIRIZA_MSG_PEER_ERROR:
        if (bStarted)
            MsgPeerError(u0, u1, u2);
        break;
    case DOZIRIZA_MSG_PEER_CALL_REQUEST:
        MsgPeerCallRequest(u0, u1, t0);
        break;
    case DOZIRIZA_MSG_PEER_INFO_REPLY:
        if (bStarted)
            MsgPeerGetInfoReply(u0, u1, u2, t0);
        break;
    case DOZIRIZA_MSG_PEER_INFO_REPORT:
        if (bStarted)
            MsgPeerGetInfoReply(u0, 0, 0, t0);
        break;
    case DOZIRIZA_MSG_FWD_STATUS:
        if (bStarted)
        {
            char sz[128];
            snprintf(sz, sizeof(sz), "{\"status\":%u,\"sesscount\":%u}", u0, u1);
            CallbackEventPush(QV_TUNNEL_EVENT_FORWARD_STATUS, sz, "");
        }
        break;
    case DOZIRIZA_MSG_FWD_RELAY_STAT:
        if (bStarted)
        {
            char sz[128];
            snprintf(sz, sizeof(sz), "{\"speed\":%u,\"bytecount\":%u}", u0, u1);
            CallbackEventPush(QV_TUNNEL_EVENT_FORWARD_SPEED, sz, "");
        }
        break;
    case DOZIRIZA_MSG_FWD_HOLE_STAT:
        if (bStarted)
        {
            char sz[256];
            snprintf(sz, sizeof(sz), "{\"sendspeed\":%u,\"sendbytecount\":%u,\"recvspeed\":%u,\"recvbytecount\":%u}",
                     u0, u1, (u32)strtoul(t0, nullptr, 10), (u32)strtoul(t1, nullptr, 10));
            CallbackEventPush(QV_TUNNEL_EVENT_FORWARD_STAT, sz, "");
        }
        break;
    case DOZIRIZA_MSG_AUTH_REQUEST:
        if (bStarted)
        {
            char szName[128] = "";
            m_Node.GetObjName(u0, szName, sizeof(szName));
            QV_STRING strPeer = qvJsonConvert(PeerIDTrim(szName).c_str());
            QV_STRING strInfo = qvJsonConvert(t0);
            QV_STRING strText("{\"peerid\":\"");
            char szHandle[16];
            snprintf(szHandle, sizeof(szHandle), "%u", u1);
            strText += strPeer;
            strText += "\",\"handle\":\"";
            strText += szHandle;
            strText += "\",\"info\":\"";
            strText += strInfo;
            strText += "\"}";
            CallbackEventPush(QV_TUNNEL_EVENT_PEER_AUTH_REQUEST, strText.c_str(), "");
        }
        break;
    case DOZIRIZA_MSG_AUTH_REPLY:
        if (bStarted)
        {
            char szName[128] = "";
            m_Node.GetObjName(u0, szName, sizeof(szName));
            QV_STRING strText("{\"peerid\":\"");
            char szErr[32];
            snprintf(szErr, sizeof(szErr), "\",\"errcode\":%u,\"param\":\"", u1);
            strText += qvJsonConvert(PeerIDTrim(szName).c_str());
            strText += szErr;
            strText += qvJsonConvert(t0);
            strText += "\"}";
            CallbackEventPush(QV_TUNNEL_EVENT_PEER_AUTH_REPLY, strText.c_str(), "");
        }
        break;
    case DOZIRIZA_MSG_PEER_NOTIFY:
        if (bStarted)
            MsgPeerNotify(u0, t0);
        break;
    case DOZIRIZA_MSG_PEER_CALL_REPLY:
        MsgPeerCallReply(u0, u1, u2, t0, t1);
        break;
    case DOZIRIZA_MSG_FILE_SYNC:
        if (bStarted)
            MsgFileSync(u0, u1);
        break;
    case DOZIRIZA_MSG_FILE_OPEN:
        if (bStarted)
            MsgFileOpen(u0, u1, u2);
        break;
    case DOZIRIZA_MSG_FILE_REPLY:
        if (bStarted)
            MsgFileReply(u0, u1);
        break;
    case DOZIRIZA_MSG_FILE_CLOSE:
        if (bStarted)
            MsgFileClose(u0, t0);
        break;
    case DOZIRIZA_MSG_FILE_CLOSED:
        if (bStarted)
            TcpSessFree(TcpSessGetByFileObj(u0), 0);
        break;
    case DOZIRIZA_MSG_FILE_PROGRESS:
        if (bStarted)
            MsgFileProgress(u0, u1, u2, t0);
        break;
    case DOZIRIZA_MSG_CALL_REPLY:
        if (bStarted)
            MsgCallReply(u0, u1, u2, t0);
        break;
    case DOZIRIZA_MSG_SERVER_NOTIFY:
        if (bStarted)
            MsgServerNotify(t0);
        break;
    case DOZIRIZA_MSG_LAN_SCAN:
        MsgLanScan(t0);
        break;
    case DOZIRIZA_MSG_HTTP_TIMER:
        m_HttpCall.TimerProc();
        break;
    default:
        if (pMsg->uMsg > 0xFFFF)
            m_uRunning = 0;
        else
            OnMsgProc(pMsg->uMsg, u0, u1, u2, t0, t1, pMsg->strText[2].c_str());
        break;
    }
}

u32 CDOZiriza::MsgQueued()
{
    if (!m_SectMsg.Lock())
        return 0;
    u32 uCount = m_ListMsg.Count();
    m_SectMsg.Unlock();
    return uCount;
}

u32 CDOZiriza::PostRetry(u32 uTries, u32 uWaitMs, u32 uMsg, u32 uParam0, u32 uParam1)
{
    for (u32 i = 0; i < uTries; i++)
    {
        if (PostMessage(uMsg, uParam0, uParam1))
            return 1;
        qvSleep(uWaitMs);
    }
    return 0;
}

u32 CDOZiriza::Start()
{
    return PostRetry(32, 100, DOZIRIZA_MSG_START);
}

u32 CDOZiriza::Restart(u32 uDelay, u32 uStatus)
{
    if (PostRetry(32, 200, DOZIRIZA_MSG_RESTART, uDelay, uStatus))
        return 1;
    m_uRestartCountdown = uDelay;
    qvLogOut(0, "Tunnel::Restart: failed.");
    return 0;
}

u32 CDOZiriza::Relogin(u32 uDelay, u32 uStatus)
{
    if (PostRetry(16, 200, DOZIRIZA_MSG_RELOGIN, uDelay, uStatus))
        return 1;
    m_uReloginCountdown = uDelay;
    qvLogOut(0, "Tunnel::Relogin: failed.");
    return 0;
}

u32 CDOZiriza::Exit()
{
    m_Callback.Disable();
    m_uRunning = 0;
    if (PostRetry(16, 100, DOZIRIZA_MSG_EXIT))
        return 1;
    // The loop has seen the cleared flag or will on its next wake-up.
    m_EventMsg.Signal();
    return 0;
}

void CDOZiriza::OnTimer(u32 uParam)
{
    if (!m_uRunning)
        return;
    if (uParam == 0)
        PostMessage(DOZIRIZA_MSG_TICK);
    else if (uParam == 1)
        PostMessage(DOZIRIZA_MSG_HTTP_TIMER);
}

// ---------------------------------------------------------------------------------------------
// Tick

void CDOZiriza::MsgTick()
{
    u32 uStamp = ++m_uTickStamp;
    m_Node.SetCurStamp(uStamp);
    u32 uRestart = m_uRestartCountdown;
    if (uRestart != 0)
    {
        m_uRestartCountdown = uRestart - 1;
        if (uRestart == 1 && !NodeStart())
            Restart(RestartDelay(), 0);
    }
    if (!m_uStarted)
        return;
    u32 uRelogin = m_uReloginCountdown;
    if (uRelogin != 0)
    {
        m_uReloginCountdown = uRelogin - 1;
        if (uRelogin == 1 && !NodeLogin())
            Relogin(RestartDelay(), 0);
    }
    if (!m_uStarted)
        return;
    if (m_Cfg.uMode == MODE_CLIENT)
    {
        if (m_uLoggedIn && !m_uPeerInfoDone && ++m_uPeerInfoTick >= 10)
        {
            m_Node.PeerGetInfo(m_Node.GetSvrObj(), 0, 0);
            m_uPeerInfoDone = 1;
        }
        TimerClientActivePeer();
        TimerClientActiveServer();
        TcpSessCheckFileStatus();
        TcpSessTryConnect();
        TcpSessDisconnectDelay();
    }
    else if (m_Cfg.uMode == MODE_FORWARD)
    {
        TimerForwardActivePeer();
        TimerForwardActiveServer();
        TcpSessCheckFileStatus();
        TcpSessTryConnect();
    }
}

// ---------------------------------------------------------------------------------------------
// Node start and stop, login and logout

u32 CDOZiriza::NodeStart()
{
    MsgDropNodeMessages();
    if (m_Cfg.uMode != MODE_CLIENT && m_Cfg.uMode != MODE_FORWARD)
    {
        qvLogOut(0, "Tunnel: NodeStart: Invalid mode.");
        m_LoginInfo.uStatus = QV_TUNNEL_STA_LOGIN_CONFIG;
        return 0;
    }
    const u32 bRedirect = !m_Redirect.strSvrName.empty() && !m_Redirect.strSvrAddr.empty();
    QV_STRING strSvrName = bRedirect ? m_Redirect.strSvrName : m_Cfg.Node.strSvrName;
    QV_STRING strSvrAddr = bRedirect ? m_Redirect.strSvrAddr : m_Cfg.Node.strSvrAddr;

    ACCOUNT_INFO_S account;
    if (!BuildAccountInfo(account))
    {
        qvLogOut(0, "Tunnel: NodeStart: Build account info failed.");
        m_LoginInfo.uStatus = QV_TUNNEL_STA_LOGIN_BUILDACCOUNT;
        return 0;
    }
    IQVSysNet* pSysNet = qvGetSysNet();
    if (pSysNet == nullptr ||
        !pSysNet->NetSetProxy(0, m_Cfg.Proxy.uEnable, m_Cfg.Proxy.strHost.c_str(), m_Cfg.Proxy.strUser.c_str(),
                              m_Cfg.Proxy.strPass.c_str()))
    {
        qvLogOut(0, "Tunnel: NodeStart: Set Proxy failed.");
        m_LoginInfo.uStatus = QV_TUNNEL_STA_LOGIN_INITFAILED;
        return 0;
    }
    const char* lpszClientInfo = m_Cfg.uMode == MODE_FORWARD
                                     ? "doZiriza/Forward"
                                     : (m_Cfg.Node.uClientOnly ? "doZiriza/Client;Only" : "doZiriza/Client");
    const CFG_BASE_S& b = m_Cfg.Base;
    const CFG_PEER_FWD_S& f = m_Cfg.PeerForward;
    CDOZirizaNode::INIT_CFG_S init = {f.uSpeed,
                                      f.uGate,
                                      f.uUse,
                                      f.uMaxSess,
                                      f.uStatEnable,
                                      f.uIntervalByte,
                                      f.uIntervalSecond,
                                      b.uSessBufSize,
                                      b.uP2PTryTime,
                                      (b.uP2PTryInterval == 0 && m_Cfg.uMode == MODE_CLIENT) ? m_BuildIn.uP2PTryInterval
                                                                                              : b.uP2PTryInterval,
                                      m_Cfg.Node.uDigest,
                                      m_Cfg.Node.uClientOnly,
                                      m_Cfg.Node.uDnsUseIPv4,
                                      m_Cfg.Node.uDnsUseIPv6,
                                      m_Cfg.Node.iDnsRandom,
                                      m_Cfg.UtiClient.uBatchReceive};
    m_Node.Attach(this, m_pExtTcp);
    if (!m_Node.Initialize(b.uMaxSess, b.uMaxTunnel, strSvrName.c_str(), strSvrAddr.c_str(),
                           m_Cfg.Node.strCltAddr.c_str(), lpszClientInfo, m_Cfg.pRelay, m_Cfg.uRelayCount, init))
    {
        qvLogOut(0, "Tunnel: NodeStart: Init node failed");
        m_LoginInfo.uStatus = QV_TUNNEL_STA_LOGIN_INITNODE;
        return 0;
    }
    const CFG_UTI_CLIENT_S& u = m_Cfg.UtiClient;
    if ((u.uDirectTunnelEnable || u.uDirectTunnelAccept) && u.uLanScanEnable &&
        !m_Node.PeerLanScanEnable(account.strUser.c_str(), u.strLanScanLabel.c_str()))
    {
        qvLogOut(0, "Tunnel: NodeStart: Enable lan scan failed");
        m_LoginInfo.uStatus = QV_TUNNEL_STA_LOGIN_INITFAILED;
        return 0;
    }
    m_Node.PeerSetReloginDelay(b.uLoginDelayInterval, b.uLoginDelayMax);
    m_Node.PeerSetPeerInfoDelay(10);
    m_Node.PeerAuthEnable(m_Cfg.Node.uAuthEnable);

    m_LoginInfo.uAccountType = account.uType;
    m_LoginInfo.strDomain = account.strDomain;
    m_LoginInfo.strUser = account.strUser;
    m_LoginInfo.strPass = account.strPass;
    m_LoginInfo.strComment = account.strComment;
    m_uDirectAllowed = 1;
    m_strSvrSess.clear();

    qvSleep(100);
    if (!NodeLogin())
    {
        NodeStop(0);
        return 0;
    }
    m_LoginInfo.uStatus = QV_TUNNEL_STA_LOGIN_REQUESTING;
    m_uStarted = 1;
    DirectTunnelBackResume();
    qvLogOut(0, "Tunnel: NodeStart, success.");
    return 1;
}

u32 CDOZiriza::NodeLogin()
{
    if (m_Node.Login(m_LoginInfo.strUser.c_str(), m_LoginInfo.strPass.c_str(), m_LoginInfo.strComment.c_str()))
    {
        qvLogOut(1, "Tunnel: NodeLogin: Login request success");
        return 1;
    }
    qvLogOut(0, "Tunnel: NodeLogin: Login request failed");
    m_LoginInfo.uStatus = QV_TUNNEL_STA_LOGIN_LOGINFAILED;
    return 0;
}

void CDOZiriza::NodeStop(u32 uStatus)
{
    qvLogOut(1, "Tunnel: NodeStop.");
    m_uStarted = 0;
    NodeLogout(uStatus);
    m_uReloginCountdown = 0;
    HttpSessAbort();
    m_LoginInfo.uAccountType = ACCOUNT_NONE;
    qvSleep(200);
    ServiceStop();
    m_Node.Clean();
    PeerOutCheckClean();
    NotifyClean();
    qvLogOut(1, "Tunnel: NodeStop end.");
}

void CDOZiriza::NodeLogout(u32 uStatus)
{
    m_Node.Logout();
    if (uStatus != 0)
        m_LoginInfo.uStatus = uStatus;
    LogoutProc();
}

void CDOZiriza::LogoutProc()
{
    if (!m_uLoggedIn)
        return;
    m_uLoggedIn = 0;
    CallbackEventPost(QV_TUNNEL_EVENT_LOGOUT, 0, "");
}

u32 CDOZiriza::ServiceStart()
{
    ServiceUpdate();
    if (m_Cfg.uMode == MODE_FORWARD)
    {
        // The forward service listens on every address at its port.
        QV_ADDR_S addr;
        memset(&addr, 0, sizeof(addr));
        addr.uPort = (u16)m_Cfg.UtiForward.uPortListen;
        if (!ExtTcpListenAdd(&addr, QV_EXT_TCP_LISTEN_HTTP, 0, 0))
        {
            qvLogOut(0, "Tunnel: ServiceStart, listen on port %u failed", m_Cfg.UtiForward.uPortListen);
            return 0;
        }
    }
    return 1;
}

void CDOZiriza::ServiceUpdate()
{
    if (m_Cfg.uMode == MODE_CLIENT)
    {
        TunnelCheckAllClient();
        TcpSessTryConnect();
        if (CallReqReportClientInfo() != DOZIRIZA_RES_OK)
            TimerCtlEnable(m_CtlClientInfo, 1);
        if (!m_Cfg.UtiClient.uDirectTunnelEnable && CallReqGetTunnelList(LIST_FIRST) != DOZIRIZA_RES_OK)
            TimerCtlEnable(m_CtlList, 1);
        LanScanPeerClean();
    }
    else if (m_Cfg.uMode == MODE_FORWARD)
    {
        TcpSessTryConnect();
        if (CallReqReportClientInfo() != DOZIRIZA_RES_OK)
            TimerCtlEnable(m_CtlClientInfo, 1);
        if (CallReqGetForwardList(LIST_FIRST) != DOZIRIZA_RES_OK)
            TimerCtlEnable(m_CtlList, 1);
    }
}

void CDOZiriza::ServiceStop()
{
    if (m_Cfg.uMode != MODE_CLIENT && m_Cfg.uMode != MODE_FORWARD)
        return;
    TcpSessServiceStop();
    TunnelServiceStop();
    if (m_Cfg.uMode == MODE_FORWARD)
    {
        QV_ADDR_S addr;
        memset(&addr, 0, sizeof(addr));
        addr.uPort = (u16)m_Cfg.UtiForward.uPortListen;
        ExtTcpListenDelete(&addr);
    }
}

u32 CDOZiriza::LoginErrorToStatus(u32 uErr)
{
    switch (uErr)
    {
    case 12: return QV_TUNNEL_STA_LOGIN_TIMEOUT;
    case 11: return QV_TUNNEL_STA_LOGIN_NETWORK;
    case 8: return QV_TUNNEL_STA_LOGIN_BADUSER;
    case 9: return QV_TUNNEL_STA_LOGIN_BADPASS;
    case 13: return QV_TUNNEL_STA_LOGIN_REJECT;
    case 14: return QV_TUNNEL_STA_LOGIN_BUSY;
    default: return uErr >= 256 ? uErr : (u32)QV_TUNNEL_STA_LOGIN_FAILED;
    }
}

u32 CDOZiriza::LoginFailDelay(u32 uMult)
{
    const u64 I = m_Cfg.Base.uLoginDelayInterval;
    const u64 M = m_Cfg.Base.uLoginDelayMax;
    const u64 uCap = I == 0 ? 60 : (M + I - 1) / I;
    u32 uCount = m_uLoginFailCount;
    if (uCount < uCap)
        m_uLoginFailCount = ++uCount;
    u64 uDelay = I * uCount;
    if (uDelay > M)
        uDelay = M;
    if (uMult >= 2)
        uDelay *= uMult;
    return uDelay > 0xFFFFFFFFu ? 0xFFFFFFFFu : (u32)uDelay;
}

u32 CDOZiriza::StatusGet(u32 uItem, u32* lpuStatus)
{
    if (uItem != QV_TUNNEL_GET_STA_LOGIN)
        return DOZIRIZA_RES_BADPARAM;
    *lpuStatus = m_LoginInfo.uStatus;
    return DOZIRIZA_RES_OK;
}

QV_STRING CDOZiriza::DomainGet()
{
    if (m_LoginInfo.uStatus == QV_TUNNEL_STA_LOGIN_SUCCESS)
        return m_LoginInfo.strDomain;
    return QV_STRING();
}

u32 CDOZiriza::ControlLoginNow(const char* lpszParam)
{
    m_uLoginFailCount = 0;
    if (m_uRestartCountdown != 0)
        m_uRestartCountdown = 1;
    if (m_uReloginCountdown != 0)
        m_uReloginCountdown = 1;
    int iRet = m_Node.PeerControl(0, lpszParam);
    return iRet == DOZIRIZA_RES_BADSTATUS ? (u32)DOZIRIZA_RES_OK : (u32)iRet;
}

// ---------------------------------------------------------------------------------------------
// Login replies and kick-out

void CDOZiriza::MsgLoginReply(u32 uErr, const char* lpszParam, const char* lpszSess)
{
    if (uErr == 0)
    {
        qvLogOut(1, "Tunnel::MsgLoginReply. success, Param=%s", lpszParam);
        m_uLoginFailCount = 0;
        if (Redirect(lpszParam))
        {
            Restart(1, QV_TUNNEL_STA_LOGIN_LOGOUTED);
            return;
        }
        LoginCfg(lpszParam, lpszSess);
        if (ServiceStart())
        {
            m_uLoggedIn = 1;
            m_LoginInfo.uStatus = QV_TUNNEL_STA_LOGIN_SUCCESS;
            OnLoginReply(0);
            CallbackEventPost(QV_TUNNEL_EVENT_LOGIN, 0, "");
        }
        else
            Restart(m_Cfg.Base.uLoginDelayInterval * 3, QV_TUNNEL_STA_LOGIN_LOGOUTED);
        return;
    }
    dprintf_level(1, "Tunnel::MsgLoginReply, uErr=%u", uErr);
    u32 uStatus = LoginErrorToStatus(uErr);
    const u32 bRedirect = !m_Redirect.strSvrName.empty() || !m_Redirect.strSvrAddr.empty();
    if (uErr == 11 || uErr == 12 || uErr == 14)
    {
        if (bRedirect)
        {
            m_Redirect.strSvrName.clear();
            m_Redirect.strSvrAddr.clear();
            Restart(1, 0);
        }
        else
        {
            OnLoginReply(uErr);
            CallbackEventPost(QV_TUNNEL_EVENT_LOGIN, uErr, "");
            Relogin(LoginFailDelay(0), uStatus);
        }
    }
    else if (uErr == 17 || uErr == 23)
    {
        if (m_LoginInfo.uAccountType == ACCOUNT_CODE && !(m_LoginInfo.strDomain == m_Cfg.AccountCode.strDomain.c_str()))
        {
            SaveAccountFile(ACCOUNT_CODE, m_Cfg.AccountCode.strDomain.c_str(), m_LoginInfo.strComment.c_str());
            Restart(LoginFailDelay(0), uStatus);
        }
        else
        {
            OnLoginReply(uErr);
            CallbackEventPost(QV_TUNNEL_EVENT_LOGIN, uErr, "");
            Relogin(LoginFailDelay(0), uStatus);
        }
    }
    else
    {
        OnLoginReply(uErr);
        CallbackEventPost(QV_TUNNEL_EVENT_LOGIN, uErr, "");
        Relogin(LoginFailDelay(3), uStatus);
    }
    qvLogOut(1, "Tunnel::MsgLoginReply. uErr=%u", uErr);
}

void CDOZiriza::MsgReloginReply(u32 uErr, const char* lpszParam, const char* lpszSess)
{
    if (uErr == 0)
    {
        qvLogOut(1, "Tunnel::MsgReloginReply. success, Param=%s", lpszParam);
        m_uLoginFailCount = 0;
        if (Redirect(lpszParam))
        {
            Restart(1, QV_TUNNEL_STA_LOGIN_LOGOUTED);
            return;
        }
        LoginCfg(lpszParam, lpszSess);
        m_uLoggedIn = 1;
        m_LoginInfo.uStatus = QV_TUNNEL_STA_LOGIN_SUCCESS;
        ServiceUpdate();
        OnLoginReply(0);
        CallbackEventPost(QV_TUNNEL_EVENT_LOGIN, 0, "");
        return;
    }
    u32 uStatus = LoginErrorToStatus(uErr);
    const u32 bRedirect = !m_Redirect.strSvrName.empty() || !m_Redirect.strSvrAddr.empty();
    if (uErr == 11 || uErr == 12 || uErr == 14)
    {
        if (bRedirect)
        {
            m_Redirect.strSvrName.clear();
            m_Redirect.strSvrAddr.clear();
            Restart(1, uStatus);
        }
        else
        {
            OnLoginReply(uErr);
            CallbackEventPost(QV_TUNNEL_EVENT_LOGIN, uErr, "");
        }
    }
    else if (uErr == 17 || uErr == 23)
    {
        if (m_LoginInfo.uAccountType == ACCOUNT_CODE && !(m_LoginInfo.strDomain == m_Cfg.AccountCode.strDomain.c_str()))
            SaveAccountFile(ACCOUNT_CODE, m_Cfg.AccountCode.strDomain.c_str(), m_LoginInfo.strComment.c_str());
        else
        {
            OnLoginReply(uErr);
            CallbackEventPost(QV_TUNNEL_EVENT_LOGIN, uErr, "");
        }
        Restart(LoginFailDelay(0), uStatus);
    }
    else
    {
        OnLoginReply(uErr);
        CallbackEventPost(QV_TUNNEL_EVENT_LOGIN, uErr, "");
    }
    m_LoginInfo.uStatus = uStatus;
    LogoutProc();
    qvLogOut(1, "Tunnel::MsgReloginReply. uErr=%u", uErr);
}

void CDOZiriza::MsgKickOut(u32 uParam, const char* lpszAddr)
{
    qvLogOut(1, "Tunnel::MsgKickOut. uParam=%u, szAddrNow=%s", uParam, lpszAddr);
    OnKickOut(uParam);
    Restart(KICKOUT_DELAY, QV_TUNNEL_STA_LOGIN_KICKOUT);
    CallbackEventPost(QV_TUNNEL_EVENT_KICK_OUT, uParam, lpszAddr);
}

// ---------------------------------------------------------------------------------------------
// Peers

void CDOZiriza::MsgPeerSync(u32 uPeer, u32 uAction, const char* lpszName)
{
    // The name the object had when the node reported it (a peer error served before this
    // message may have deleted the object since).
    char szName[128] = "";
    if (lpszName != nullptr && *lpszName != 0)
        snprintf(szName, sizeof(szName), "%s", lpszName);
    else
        m_Node.GetObjName(uPeer, szName, sizeof(szName));
    u32 uEvent = QV_TUNNEL_EVENT_PEER_OFFLINE;
    if (uAction != 0)
    {
        m_Node.PeerSetFlag(uPeer, 32);
        m_Node.PeerSetOption(uPeer, m_Cfg.Base.uConnectTimeout, m_Cfg.UtiClient.uChannelMode,
                             m_Cfg.UtiClient.uMultiPathMode);
        PeerAuthSetObj(szName, uPeer);
        uEvent = QV_TUNNEL_EVENT_PEER_ONLINE;
    }
    TcpSessPeerSync(uPeer, uAction);
    PeerEventCallback(szName, uEvent, PeerSyncCount());
    // A peer that came on line ends a pending attempt to reach it, unless sessions still wait.
    if (uAction != 0)
        PeerOutCheckReply(szName, 1);
}

void CDOZiriza::MsgPeerError(u32 uPeer, u32 uMethod, u32 uErr)
{
    if (uMethod != 34 || uErr == 0)
        return;
    // The name is taken first: the peer object may be deleted below.
    QV_STRING strName = PeerName(uPeer);
    TcpSessPeerError(uPeer);
    PeerOutObjDelete(uPeer, 0);
    PeerEventCallback(strName.c_str(), QV_TUNNEL_EVENT_PEER_ERROR, PeerSyncCount());
}

void CDOZiriza::MsgPeerCallRequest(u32 uPeer, u32 uHandle, const char* lpszCall)
{
    dprintf_level(3, "Tunnel: MsgPeerCallRequest, data=%s", lpszCall);
    char szCmd[128] = "";
    u32 uErr = DOZIRIZA_RES_NOLOGIN;
    if (m_uStarted || m_Cfg.UtiClient.uDirectTunnelAccept)
    {
        const char* lpszParam = ParseCmd(lpszCall, szCmd, sizeof(szCmd));
        // "TcpSess" calls are answered by the TCP sessions; any other call is unknown here.
        if (lpszParam != nullptr && strcmp(szCmd, "TcpSess") == 0)
        {
            TcpSessRequest(lpszParam, uPeer, uHandle);
            return;
        }
        uErr = DOZIRIZA_RES_BADPARAM;
    }
    if (!m_Node.PeerCallReply("", uErr, uHandle))
        qvLogOut(1, "Tunnel::MsgPeerCallRequest, send reply failed. ErrCode=%u, Cmd=%s", uErr, szCmd);
}

void CDOZiriza::FileProgress(u32 uObj, u32 bSend, u32 uSpeed, u64 ullSize)
{
    char szSize[32];
    snprintf(szSize, sizeof(szSize), "%llu", (unsigned long long)ullSize);
    if (!MsgNow(DOZIRIZA_MSG_FILE_PROGRESS, uObj, bSend, uSpeed, szSize))
        PostMessage(DOZIRIZA_MSG_FILE_PROGRESS, uObj, bSend, uSpeed, szSize);
}

u32 CDOZiriza::PeerInfoBuild(u32 uObj, const void* lpData, u32 uSize, QV_STRING& strOut)
{
    strOut.clear();
    if (lpData == nullptr || uSize < CDOZirizaNode::PEER_INFO_REC_SIZE)
        return 0;
    const u8* p = static_cast<const u8*>(lpData);
    u32 uThrough;
    memcpy(&uThrough, p + 4, 4);
    char szName[128] = "";
    m_Node.GetObjName(uObj, szName, sizeof(szName));
    // The record's six addresses in order: proxy, local, remote, local tunnel, remote tunnel,
    // remote private; each readable, or empty when all zero.
    QV_STRING astrAddr[6];
    for (u32 i = 0; i < 6; i++)
    {
        QV_ADDR_S addr;
        memcpy(&addr, p + 8 + i * sizeof(QV_ADDR_S), sizeof(addr));
        if (addr.uAddr[0] | addr.uAddr[1] | addr.uAddr[2] | addr.uAddr[3] | addr.uPort | addr.uExtra)
        {
            char sz[64];
            if (qvAddrToReadable(&addr, sz, sizeof(sz)))
                astrAddr[i] = doZirizaOmlEncode(sz);
        }
    }
    QV_STRING str("(");
    str += doZirizaOmlEncode(szName);
    char szThrough[32];
    snprintf(szThrough, sizeof(szThrough), "){(Through){%u}", uThrough);
    str += szThrough;
    const char* apszName[6] = {"Proxy", "AddrLcl", "AddrRmt", "TunnelLcl", "TunnelRmt", "PrivateRmt"};
    for (u32 i = 0; i < 6; i++)
    {
        str += "(";
        str += apszName[i];
        str += "){";
        str += astrAddr[i];
        str += "}";
    }
    str += "}";
    if (str.length() >= CDOZirizaNode::PEER_INFO_TEXT_MAX)
        return 0;
    strOut = str;
    return 1;
}
