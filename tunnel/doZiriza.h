// The tunnel engine: configuration and account, the message loop of the tunnel thread, the
// one-second tick, node start and stop, login and relogin, events and the request seam.
// All state changes on the tunnel thread; other threads only post messages.
#pragma once

#include <atomic>

#include "doZirizaCallback.h"
#include "doZirizaDef.h"
#include "doZirizaHttpCall.h"
#include "doZirizaNode.h"
#include "qvLibTunnel.h"
#include "qvNodeDef.h"
#include "qvOMLParser.h"
#include "qvSockDriv.h"
#include "qvString.h"
#include "qvTable.h"
#include "qvThread.h"
#include "qvTimer.h"
#include "qvType.h"

class CDOZiriza;

class CDOZirizaTimerProc : public IQVTimerProc
{
public:
    CDOZirizaTimerProc() : m_pTunnel(nullptr) {}
    void Attach(CDOZiriza* pTunnel) { m_pTunnel = pTunnel; }
    void OnTimer(u32 uHandle, u32 uParam) override;

private:
    CDOZiriza* m_pTunnel;
};

class CDOZiriza
{
public:
    // ---- Configuration records ----
    enum { MODE_CLIENT = 0, MODE_FORWARD = 1, MODE_NONE = 2 };
    enum { ACCOUNT_CODE = 0, ACCOUNT_PASS = 1, ACCOUNT_NONE = 2 };

    static const u32 RELAY_MAX = 16;
    static const u32 MODE_CHILD_MAX = 256;
    static const u32 PXY_FILTER_MAX = 32;
    static const u32 SVR_FILTER_MAX = 16;
    static const u32 SVR_RANGE_MAX = 32;

    struct CFG_PROXY_S
    {
        u32 uEnable = 0;
        QV_STRING strHost, strUser, strPass;
    };
    struct CFG_BASE_S
    {
        u32 uMaxSess, uMaxHttp, uMaxTunnel, uConnectTimeout, uAcceptSpeed, uMaxParallel, uSessBufSize,
            uP2PTryTime, uP2PTryInterval, uLoginDelayInterval, uLoginDelayMax, uDisconnectDelay, uHttpPortRange;
        QV_STRING strAddrHttpListen;
    };
    struct CFG_SESSION_S
    {
        u32 uUpActiveTimeout, uDownActiveTimeout, uActiveCombine, uBlockedTimeout, uProgressReport;
    };
    struct CFG_NODE_S
    {
        QV_STRING strSvrAddr, strCltAddr, strSvrName;
        u32 uDigest, uClientOnly, uDnsUseIPv4, uDnsUseIPv6;
        s32 iDnsRandom;
        u32 uAuthEnable;
    };
    struct CFG_ACCOUNT_PASS_S
    {
        u32 uPresent;
        QV_STRING strUser, strPass, strComment;
    };
    struct CFG_ACCOUNT_CODE_S
    {
        u32 uPresent;
        QV_STRING strPrefix, strDomain, strComment;
    };
    struct CFG_LOG_S
    {
        u8 aucLevel[4];
        u32 uFileSize, uFileNum, uDebug;
    };
    struct CFG_PXY_FILTER_S
    {
        u32 uCount;
        u32 auType[PXY_FILTER_MAX];
        QV_STRING astrPattern[PXY_FILTER_MAX];
    };
    struct SVR_RANGE_S
    {
        u32 uBegin, uEnd;
    };
    struct SVR_FILTER_ITEM_S
    {
        u32 uMask;  // IPv4 address in network byte order
        u32 uRangeCount;
        SVR_RANGE_S aRange[SVR_RANGE_MAX];
    };
    struct CFG_SVR_FILTER_S
    {
        u32 uCount;
        SVR_FILTER_ITEM_S aItem[SVR_FILTER_MAX];
    };
    struct CFG_PEER_FWD_S
    {
        u32 uSpeed, uGate, uUse, uMaxSess, uStatEnable, uIntervalByte, uIntervalSecond;
    };
    struct CFG_NETCARD_FILTER_S
    {
        u32 uMode;
        QV_STRING strList;
    };
    struct CFG_UTI_CLIENT_S
    {
        u32 uTunnelIdlePort, uTunnelOnDemand, uDirectTunnelAccept, uDirectTunnelEnable, uLanScanEnable,
            uChannelMode, uMultiPathMode, uBatchReceive;
        QV_STRING strLanScanLabel;
    };
    struct CFG_UTI_FORWARD_S
    {
        u32 uPortListen;
    };
    struct SYS_INFO_S
    {
        QV_STRING strDevID, strMacAddr, strCpuMHz, strMemSize, strBrwVer, strOSVer, strOSSpk, strOSType;
    };
    struct CFG_S
    {
        QV_RELAY_INFO_S* pRelay = nullptr;
        u32 uRelayCount = 0;
        CFG_PROXY_S Proxy;
        u32 uMode = MODE_NONE;
        QV_STRING strNetCard;
        CFG_BASE_S Base;
        CFG_SESSION_S Session;
        CFG_NODE_S Node;
        CFG_ACCOUNT_PASS_S AccountPass;
        CFG_ACCOUNT_CODE_S AccountCode;
        CFG_LOG_S Log;
        CFG_PXY_FILTER_S PxyFilter;
        CFG_SVR_FILTER_S SvrFilter;
        CFG_PEER_FWD_S PeerForward;
        CFG_NETCARD_FILTER_S NetCardFilter;
        CFG_UTI_CLIENT_S UtiClient;
        CFG_UTI_FORWARD_S UtiForward;
        SYS_INFO_S SysInfo;
    };
    struct ACCOUNT_INFO_S
    {
        u32 uType = ACCOUNT_NONE;
        QV_STRING strDomain, strUser, strPass, strComment;
    };
    struct LOGIN_INFO_S
    {
        std::atomic<u32> uStatus{QV_TUNNEL_STA_LOGIN_UNKNOWN};
        u32 uAccountType = ACCOUNT_NONE;
        QV_STRING strDomain, strUser, strPass, strComment, strMngUser;
    };
    struct REDIRECT_S
    {
        QV_STRING strSvrName, strSvrAddr;
    };
    struct BUILD_IN_CFG_S
    {
        u32 uP2PTryInterval;
    };
    struct MSG_S
    {
        QV_LINK_S<MSG_S> link;
        u32 uMsg = 0x10000;
        u32 uParam[3] = {0, 0, 0};
        QV_STRING strText[3];
    };
    typedef CQVList<MSG_S> MSG_LIST;

    CDOZiriza();
    virtual ~CDOZiriza();
    CDOZiriza(const CDOZiriza&) = delete;
    CDOZiriza& operator=(const CDOZiriza&) = delete;

    // Hooks for a host that derives from the engine.
    virtual void OnMsgProc(u32 uMsg, u32 uParam0, u32 uParam1, u32 uParam2, const char* lpszText0,
                           const char* lpszText1, const char* lpszText2);
    virtual void OnLoginReply(u32 uErr);
    virtual void OnKickOut(u32 uParam);
    virtual void OnDomainSet(u32 uErr);
    virtual void OnExit();

    // ---- Life on the tunnel module thread ----
    u32 Initialize(const char* lpszCfgPath, const char* lpszSysInfo, void* lpContext, TfnTunnelLogOut lpfnLog);
    void Clean();
    void MainProc();
    int GetInitError() const { return m_iInitError; }
    void* GetContext() const { return m_lpContext; }

    // ---- Any thread ----
    // 1 queued / 0. Null texts leave the message's texts empty.
    u32 PostMessage(u32 uMsg, u32 uParam0 = 0, u32 uParam1 = 0, u32 uParam2 = 0, const char* lpszText0 = nullptr,
                    const char* lpszText1 = nullptr, const char* lpszText2 = nullptr);
    u32 Start();
    u32 Restart(u32 uDelay, u32 uStatus);
    u32 Relogin(u32 uDelay, u32 uStatus);
    u32 Exit();
    // From the timer thread (or a test driving the clock): 0 the one-second tick, 1 the 100 ms
    // tick of the call bridge.
    void OnTimer(u32 uParam);
    int OnHttpRequest(u32 uHandle, const char* lpszName, const char* lpszParam);
    void OnHttpAbort(u32 uHandle);
    // Formats and posts a file progress report (node dispatch thread).
    void FileProgress(u32 uObj, u32 bSend, u32 uSpeed, u64 ullSize);
    // The peer information text of a connection details record; 1/0 (0 leaves it empty).
    u32 PeerInfoBuild(u32 uObj, const void* lpData, u32 uSize, QV_STRING& strOut);

    CDOZirizaHttpCall* GetHttpCall() { return &m_HttpCall; }
    CDOZirizaNode* GetCtx() { return &m_Node; }
    CDOZirizaCallback* GetCallback() { return &m_Callback; }

    // Runs while the node is started (the adapter tests it from the dispatch thread).
    u32 IsStarted() const { return m_uStarted.load(); }
    u32 IsRunning() const { return m_uRunning.load(); }
    u32 IsLoggedIn() const { return m_uLoggedIn.load(); }
    u32 GetLoginStatus() const { return m_LoginInfo.uStatus.load(); }
    u32 GetTickStamp() const { return m_uTickStamp.load(); }
    u32 GetRestartCountdown() const { return m_uRestartCountdown.load(); }
    u32 GetReloginCountdown() const { return m_uReloginCountdown.load(); }
    u32 GetFailCount() const { return m_uLoginFailCount.load(); }
    const CFG_S& GetCfg() const { return m_Cfg; }
    // Messages waiting for the tunnel thread.
    u32 MsgQueued();
    const LOGIN_INFO_S& GetLoginInfo() const { return m_LoginInfo; }

    // Tests drive the clock themselves: no 1 s and 100 ms timers are started.
    static void SetManualTimer(u32 uManual);
    void SetBuildInCfg(const BUILD_IN_CFG_S* lpCfg);

    // ---- Configuration and account (tunnel thread) ----
    u32 LoadCfg(const char* lpszPath);
    u32 LoadCfgClient(IQVOMLParser* pParser, IQVString* pText);
    u32 LoadCfgForward(IQVOMLParser* pParser, IQVString* pText);
    u32 LoadCfgClientSvrFilter(IQVOMLParser* pParser, IQVString* pText);
    u32 ControlReloadCfg(const char* lpszText);
    void CleanCfg();
    u32 LoadSysInfo(const char* lpszSysInfo);
    u32 LoadAccountFile(u32* lpuType, QV_STRING& strDomain, QV_STRING& strUser, QV_STRING& strPass,
                        QV_STRING& strComment, QV_STRING* lpstrPath);
    u32 BuildAccountInfo(ACCOUNT_INFO_S& info);
    u32 SaveAccountFile(u32 uType, const char* lpszDomain, const char* lpszComment);
    QV_STRING AccountFilePath();
    QV_STRING CommentGet();
    u32 Redirect(const char* lpszParam);
    void LoginCfg(const char* lpszParam, const char* lpszSess);

    // ---- Text helpers ----
    // The escaped form of a text for a key-value element; valid until the next call.
    const char* omlEncode(const char* lpszText);
    const char* omlGetName(const char* lpszText, const char* lpszPath);
    const char* omlGetContent(const char* lpszText, const char* lpszPath);
    // Splits "command?parameters": the parameters, or null when the command does not fit
    // uSize - 1 characters. Without '?' the parameters are "".
    static const char* ParseCmd(const char* lpszText, char* lpszCmd, u32 uSize);
    // The value of the first '&'-separated segment whose key equals the name. 1/0.
    static u32 ParseParam(const char* lpszText, const char* lpszName, char cSep, QV_STRING& strValue);
    // Decodes %XX escapes; a '%' not followed by two hexadecimal digits stays.
    static QV_STRING DecodeUriComponent(const char* lpszText);
    QV_STRING PeerIDTrim(const char* lpszPeer);
    u32 PeerIDIsSvrName(const char* lpszPeer);

    // ---- Status ----
    u32 StatusGet(u32 uItem, u32* lpuStatus);
    QV_STRING DomainGet();
    static u32 LoginErrorToStatus(u32 uErr);
    u32 LoginFailDelay(u32 uMult);
    static u32 RestartDelay() { return RESTART_DELAY; }

    // ---- Events ----
    void CallbackEventPost(u32 uEvent, u32 uValue, const char* lpszText);
    void CallbackEventPeerInfo(const char* lpszPeer, u32 uType, const char* lpszAddr, const char* lpszIPVer);
    void PeerEventCallback(const char* lpszPeer, u32 uEvent, u32 uCount);
    void PeerEventCallbackObj(u32 uPeerObj, u32 uEvent, u32 uCount);
    void CallbackEventPush(u32 uEvent, const char* lpszParam, const char* lpszMatch);
    u32 EventApiPush(u32 uEvent, const char* lpszParam, const char* lpszMatch);
    u32 EventApiPop(u32* lpuEvent, QV_STRING& strParam);
    void EventApiDrop(u32 uEvent, const char* lpszMatch);
    void EventApiClean();
    u32 EventApiCount();
    u32 NotifyPush(const char* lpszText);
    u32 NotifyPop(QV_STRING& strText);
    void NotifyClean();
    // A user-extend notification text from the server: answers the parked push requests or
    // waits for the next one, and raises event 12.
    void UserExtendNotify(const char* lpszText);

    // ---- Requests ----
    void HttpSendResponse(u32 uHandle, u32 uStatus, const char* lpszContentType, const char* lpszData, u32 uLength);
    void HttpSendText(u32 uHandle, const char* lpszText);
    u32 HttpSessPush(u32 uHandle, u32 uKind, u32 uFlag);
    u32 HttpSessPop(u32 uKind, u32* lpuFlag);
    u32 HttpSessDelete(u32 uHandle, u32* lpuFlag);
    u32 HttpSessCount();
    void HttpSessAbort();
    void OnHttpPushGet(u32 uResult, u32 uHandle, const char* lpszData, u32 uFlag);
    void OnHttpEventGet(u32 uResult, u32 uHandle, u32 uEvent, const char* lpszParam);

    // Names of the local requests; the index is also the kind of a parked request.
    static const char* const s_pszHttpReq[26];
    enum { REQ_PUSHGET = 15, REQ_PUSHGETJSON = 16, REQ_EVENTGET = 24 };

    static const u32 RESTART_DELAY = 10;
    static const u32 EVENT_API_MAX = 16;
    static const u32 NOTIFY_MAX = 16;
    // Parked requests kept at most (the bridge has 16 slots, the HTTP front end its own limit).
    static const u32 HTTP_SESS_MAX = 256;
    // Messages that may wait for the tunnel thread at once; beyond it posting fails, so that a
    // stalled thread cannot make the queue grow without end.
    static const u32 MSG_MAX = 8192;
    static const u32 KICKOUT_DELAY = 60;

protected:
    void MsgDispatch(MSG_S* pMsg);
    void MsgTick();
    void MsgLoginReply(u32 uErr, const char* lpszParam, const char* lpszSess);
    void MsgReloginReply(u32 uErr, const char* lpszParam, const char* lpszSess);
    void MsgKickOut(u32 uParam, const char* lpszAddr);
    void MsgPeerSync(u32 uPeer, u32 uAction);
    void MsgPeerError(u32 uPeer, u32 uMethod, u32 uErr);
    void MsgPeerCallRequest(u32 uPeer, u32 uHandle, const char* lpszCall);
    void MsgPeerGetInfoReply(u32 uPeer, u32 uKind, u32 uHandle, const char* lpszInfo);
    void MsgHttpRequest(u32 uHandle, const char* lpszName, const char* lpszParam);

    u32 NodeStart();
    void NodeStop(u32 uStatus);
    u32 NodeLogin();
    void NodeLogout(u32 uStatus);
    void LogoutProc();
    u32 ServiceStart();
    void ServiceUpdate();
    void ServiceStop();
    u32 ControlLoginNow(const char* lpszParam);

    u32 HttpInitialze();
    void HttpClean();
    // Returns queued node messages of a previous node to the free list (see NodeStart).
    void MsgDropNodeMessages();

    // Request handlers served here.
    void HttpReqStatusGet(u32 uHandle, const char* lpszParam);
    void HttpReqVersionGet(u32 uHandle, const char* lpszParam);
    void HttpReqDomainGet(u32 uHandle, const char* lpszParam);
    void HttpReqCommentGet(u32 uHandle, const char* lpszParam);
    void HttpReqSelfGet(u32 uHandle, const char* lpszParam);
    void HttpReqControl(u32 uHandle, const char* lpszParam);
    void HttpReqPeerFwdCfg(u32 uHandle, const char* lpszParam);
    void HttpReqPushGet(u32 uHandle, const char* lpszParam, u32 uFlag);
    void HttpReqEventGet(u32 uHandle, const char* lpszParam);
    void HttpReqExit(u32 uHandle, const char* lpszParam);

    u32 LoadCfgMode(IQVOMLParser* pParser, IQVString* pText, u32 uMode);
    u32 LoadCfgPxyFilter(IQVOMLParser* pParser, IQVString* pText);

    // ---- Members ----
    QV_STRING m_strHomeSub;
    CDOZirizaTimerProc m_TimerProc;
    u32 m_uTimerMain;
    u32 m_uTimerHttp;
    std::atomic<u32> m_uTickStamp;
    std::atomic<u32> m_uStarted;
    std::atomic<u32> m_uRunning;
    std::atomic<u32> m_uRestartCountdown;
    std::atomic<u32> m_uReloginCountdown;
    CDOZirizaHttpCall m_HttpCall;
    // The local HTTP front end attaches here; without one, requests come only from the bridge.
    IDOZirizaHttp* m_pHttpReal;
    CDOZirizaNode m_Node;
    // The TCP forwarding extension attaches here; the node adapter hands it to the node.
    IQVBase* m_pExtTcp;
    CDOZirizaCallback m_Callback;
    std::atomic<u32> m_uLoggedIn;
    LOGIN_INFO_S m_LoginInfo;
    std::atomic<u32> m_uLoginFailCount;
    u32 m_uDirectAllowed;
    QV_STRING m_strSvrSess;
    u32 m_uPeerInfoTick;
    u32 m_uPeerInfoDone;

    MSG_LIST m_ListMsgFree;
    MSG_LIST m_ListMsg;
    u32 m_uMsgCount;  // records in existence
    CQVCriticalSection m_SectMsg;
    CQVEvent m_EventMsg;

    REDIRECT_S m_Redirect;

    DOZIRIZA_EVENT_LIST m_ListEventApi;
    CQVCriticalSection m_SectEventApi;
    struct NOTIFY_S
    {
        QV_LINK_S<NOTIFY_S> link;
        QV_STRING strText;
    };
    CQVList<NOTIFY_S> m_ListNotify;
    CQVCriticalSection m_SectNotify;
    struct HTTP_SESS_S
    {
        QV_LINK_S<HTTP_SESS_S> link;
        u32 uHandle = 0;
        u32 uKind = 0;
        u32 uFlag = 0;
    };
    CQVList<HTTP_SESS_S> m_ListHttpSess;
    CQVCriticalSection m_SectHttpSess;

    IQVOMLParser* m_pParser;
    IQVString* m_pStr1;
    IQVString* m_pStr2;

    CFG_S m_Cfg;
    BUILD_IN_CFG_S m_BuildIn;
    int m_iInitError;
    void* m_lpContext;
    TfnTunnelLogOut m_lpfnLog;

    static std::atomic<u32> s_uManualTimer;
};

// The host's event callback, stored process-wide by doZirizaCallbackSet.
void doZirizaEventCallbackSet(TfnTunnelEventProc lpfnEvent);
TfnTunnelEventProc doZirizaEventCallbackGet();
