// The tunnel engine: configuration and account, the message loop of the tunnel thread, the
// one-second tick, node start and stop, login and relogin, events and the request seam.
// All state changes on the tunnel thread; other threads only post messages.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "doZirizaCallback.h"
#include "doZirizaDef.h"
#include "doZirizaExtTcp.h"
#include "doZirizaHttpCall.h"
#include "doZirizaNode.h"
#include "doZirizaTunnelDef.h"
#include "qvLibTunnel.h"
#include "qvNodeDef.h"
#include "qvNodeHash.h"
#include "qvOMLParser.h"
#include "qvSockDriv.h"
#include "qvString.h"
#include "qvTable.h"
#include "qvThread.h"
#include "qvSocketAddr.h"
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
    void SessStatUpdate();
    int GetInitError() const { return m_iInitError; }
    void* GetContext() const { return m_lpContext; }

    // ---- Any thread ----
    // 1 queued / 0. Null texts leave the message's texts empty.
    u32 PostMessage(u32 uMsg, u32 uParam0 = 0, u32 uParam1 = 0, u32 uParam2 = 0, const char* lpszText0 = nullptr,
                    const char* lpszText1 = nullptr, const char* lpszText2 = nullptr);
    // PostMessage tried up to uTries times, uWaitMs apart, while the queue is full.
    u32 PostRetry(u32 uTries, u32 uWaitMs, u32 uMsg, u32 uParam0 = 0, u32 uParam1 = 0);
    // Serves a message of a connection's set-up or end (a peer's call, its notify, the answer
    // to ours, a file object's sync, open or open answer, a transfer's progress, end or close)
    // at once on the calling thread, as the module thread would, when that thread is between
    // messages and none is queued (so the order is the queue's); 0 when it has to be posted.
    // Saves a thread wake-up on each step of a connection; the end of the last connection no
    // longer keeps the module thread busy when the next one's first steps come. The caller
    // holds no lock of the node's nor of the TCP extension's.
    u32 MsgNow(u32 uMsg, u32 uParam0, u32 uParam1, u32 uParam2, const char* lpszText0 = nullptr,
               const char* lpszText1 = nullptr);
    // Serves, on the calling thread, the queued messages from the head of the queue while they
    // are TCP accepts, connect results or local ends and the module thread is between
    // messages; the number served. The caller holds no lock of the node's nor of the TCP
    // extension's.
    u32 MsgServeTcpSetup();
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


    // ---- TCP sessions, tunnel table, connection requests ----
    typedef DOZIRIZA_TCP_SESS_S TCP_SESS_S;
    typedef DOZIRIZA_TUNNEL_S TUNNEL_S;

    // TCP forwarding extension notifications (extension lock held: they only post).
    u32 OnTcpAccept(const char* lpszAddrSock, const char* lpszHost, u32 uParam);
    void OnTcpConnect(const char* lpszAddrSock, u32 uResult);
    void OnTcpDisconnect(const char* lpszAddrSock);
    void OnTcpError(u32 uError);
    // A TCP worker's pass ended (no lock held): an accept or connect result it posted is
    // served there when the module thread is between messages.
    void OnTcpPassEnd();
    CDOZirizaExtTcp* GetExtTcp() { return &m_ExtTcp; }

    // Session table (tunnel thread). Handles are (index << 16) | cookie.
    u32 TcpSessAlloc(u32 uSide, const char* lpszAddrSock, u32 uTunnel, u32 uFlags);
    void TcpSessFree(u32 uSess, u32 uMode);
    u32 TcpSessSearch(const char* lpszAddrSock);
    u32 TcpSessGetByFileObj(u32 uObj);
    // The calling-side sessions of a peer as decimal handles joined by ','; the text ends
    // before the first number that does not fit whole. The count of numbers written.
    u32 TcpSessGetListByPeer(u32 uPeer, char* lpszBuf, u32 uSize);
    u32 TcpSessGetCltAddr(u32 uIndex, char* lpszBuf, u32 uSize);
    void TcpSessSetGroup(u32 uTunnel, u32 uPeer);
    void TcpSessRequestResend(u32 uTunnel);
    void TcpSessPeerOutDrop(u32 uSeconds);
    void TcpSessTryConnect();
    void TcpSessCheckFileStatus();
    void TcpSessDisconnectDelay();
    void TcpSessPeerSync(u32 uPeer, u32 uAction);
    void TcpSessPeerError(u32 uPeer);
    // Sends the peer its "Active" notification (split in parts when long); 1 when all went.
    u32 TcpSessActiveNotify(u32 uPeer, u32 uTextMax);
    void PeerNotifyActive(u32 uPeer, const char* lpszList);
    // 1 when a session starting here still waits for its answer from that peer.
    u32 PeerOutCheckIsRequesting(const char* lpszPeer);
    TCP_SESS_S* TcpSessFind(u32 uSess) { return m_TcpSess.Find(uSess); }
    u32 TcpSessHandle(const TCP_SESS_S* p) const { return m_TcpSess.Handle(p); }
    u32 TcpSessCount() const { return m_TcpSess.Used(); }
    u32 TcpSessPendingCount() const { return m_ListSessPending.Count(); }
    u32 TcpSessDelayCount() const { return m_ListSessDelay.Count(); }
    // Session and tunnel counts as the tunnel thread left them after the last message it
    // handled; readable from any thread (hosts check with it that nothing stays behind).
    struct SESS_STAT_S
    {
        u32 uSess;
        u32 uPending;
        u32 uDelay;
        u32 uTunnels;
    };
    void GetSessStat(SESS_STAT_S* lpStat) const;
    // Longest "Active" text and most numbers one notification carries.
    static const u32 ACTIVE_TEXT_CLIENT = 2047;
    static const u32 ACTIVE_TEXT_FORWARD = 1023;
    static const u32 ACTIVE_LIST_MAX = 256;
    // Largest session and tunnel tables (the node takes at most 16384 sessions; node request
    // entries, two per tunnel, keep their index in 16 bits).
    static const u32 SESS_TABLE_MAX = 16384;
    static const u32 TUNNEL_TABLE_MAX = 0x7FFF;

    // Tunnel table (tunnel thread). Indexes, DOZIRIZA_TUNNEL_NONE when none.
    u32 TunnelAdd(IQVString* pText, u32 uFlags, char* lpszNameOut, u32 uNameSize, QV_ADDR_S* lpAddrOut);
    u32 TunnelDelete(IQVString* pText);
    void TunnelFree(u32 uIndex);
    u32 TunnelAlloc(const char* lpszName, u32 uType, u32 uOption, u32 uFlags);
    u32 TunnelRecycle();
    void TunnelFreeDirect();
    u32 TunnelSearch(const char* lpszName);
    u32 TunnelSearchExt(const char* lpszPeer, u32 uType, const char* lpszSvrAddr, const char* lpszCltAddr);
    u32 TunnelSearchByAddrIn(const char* lpszCltAddr);
    u32 TunnelSearchIn(const char* lpszName);
    u32 TunnelSearchOut(const char* lpszName);
    u32 TunnelEnum(u32 uNth);
    u32 TunnelSelfIsPeerIn(u32 uIndex);
    u32 TunnelSelfIsPeerOut(u32 uIndex);
    u32 TunnelPeerCnntDemand(u32 uIndex);
    u32 TunnelCountDirect();
    u32 TunnelCountPeerOut(const char* lpszPeer);
    // Peers other than the server and self objects that the node reports reachable.
    u32 PeerSyncCount();
    int TunnelCheckPeer(u32 uIndex, u32* lpuPeer);
    void TunnelActivePeer(u32 uIndex);
    void TunnelCheckAllClient();
    void TimerClientActivePeer();
    void TimerForwardActivePeer();
    void TunnelCheckPeerFresh(u32 uSeconds);
    u32 TunnelAddPeerObj(u32 uIndex, u32 bForceNew);
    u32 PeerOutObjCreate(const char* lpszPeer, u32 bForceNew, u32* lpuStatic);
    u32 PeerOutObjDelete(u32 uPeer, u32 bStatic);
    u32 ExtTcpListenAdd(const QV_ADDR_S* lpAddr, u32 uMode, u32 uHandle, u32 bRetryLong);
    void ExtTcpListenDelete(const QV_ADDR_S* lpAddr);
    u32 ExtTcpListenBind(const QV_ADDR_S* lpAddr);
    static u32 PortSearch(const QV_ADDR_S* lpAddr, QV_ADDR_S* lpAddrOut, u32 bTcp);
    void TunnelEventCallback(u32 uIndex, u32 uCode);
    // Read access to an entry in use; null otherwise.
    const TUNNEL_S* TunnelGet(u32 uIndex) const;
    u32 TunnelHandle(u32 uIndex) const;
    // The index of a handle still valid, DOZIRIZA_TUNNEL_NONE otherwise.
    u32 TunnelIndexOf(u32 uHandle) const;
    u32 TunnelCount() const { return m_Tunnel.Used(); }

    // Connection requests.
    u32 DirectTunnelAdd(const char* lpszPeer, u32 uType, const char* lpszEncrypt, const char* lpszSvrAddr,
                        const char* lpszCltAddr, u32 uHttpSess);


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

    // ---- Server calls and notifications, direct-tunnel back list, LAN peers, peer-out
    // checks and peer authorisation (doZirizaSvrCall.cpp, doZirizaDirect.cpp,
    // doZirizaLan.cpp, doZirizaPeerOut.cpp, doZirizaPeerAuth.cpp, doZirizaReq.cpp) ----
    // Retry control of a server call that must get through: interval in ticks, doubled after
    // every resend up to RETRY_MAX.
    struct TIMER_CTL_S
    {
        u32 uEnable = 0;
        u32 uInterval = 0;
        u32 uCount = 0;
    };
    enum {
        CALL_REPORT_CLIENT_INFO = 32,
        CALL_GET_DOMAIN_CFG = 33,
        CALL_GET_TUNNEL_LIST = 34,
        CALL_GET_FORWARD_LIST = 35,
        CALL_CHECK_ONLINE_STA = 36,
        CALL_PEER_INFO = 40,
        CALL_CONFIRM_TUNNEL_STA = 41,
        CALL_CNNT_ADD = 42,
        CALL_CNNT_DELETE = 43,
        CALL_USER_EXTEND = 1024,
    };
    // List paging modes: from the start, the next page, the same page again.
    enum { LIST_FIRST = 0, LIST_NEXT = 1, LIST_AGAIN = 2 };
    static const u32 RETRY_FIRST = 5;
    static const u32 RETRY_MAX = 120;
    static const u32 LIST_STEP_MAX = 128;
    // Bytes of list text the server is asked to fit per listed tunnel.
    static const u32 LIST_ENTRY_BYTES = 384;

    // "%u:%s" to the server; the node result (0 sent).
    u32 CallRequest(u32 uMeth, const char* lpszParam, u32 uHandle);
    u32 CallReqReportClientInfo();
    u32 CallReqGetDomainCfg(const char* lpszPassCode, u32 uHandle);
    u32 CallReqGetTunnelList(u32 uMode);
    u32 CallReqGetForwardList(u32 uMode);
    u32 CallReqConfirmTunnelSta(const char* lpszText, u32 uHandle);
    u32 DomainSet(const char* lpszPassCode, u32 uHandle, u32 uCookie);
    u32 CommentSet(const char* lpszComment);
    void CallReplyReportClientInfo(const char* lpszData);
    void CallReplyGetDomainCfg(const char* lpszData);
    u32 CallReplyGetTunnelList(const char* lpszData);
    u32 CallReplyGetForwardList(const char* lpszData);
    void CallReplyCheckOnlineSta(const char* lpszData);
    void ServerNotifyRestart(const char* lpszParam);
    void ServerNotifySetDomain(const char* lpszParam);
    void ServerNotifyTunnelSta(const char* lpszParam);
    void ServerNotifySetSess(const char* lpszParam);
    void ServerNotifyUserExtend(const char* lpszParam);
    static void TimerCtlEnable(TIMER_CTL_S& ctl, u32 bForce);
    static void TimerCtlDisable(TIMER_CTL_S& ctl);
    static u32 TimerCtlCheck(TIMER_CTL_S& ctl);
    void TimerClientActiveServer();
    void TimerForwardActiveServer();
    u32 ListTunnelStepSize();
    const TIMER_CTL_S& GetCtlClientInfo() const { return m_CtlClientInfo; }
    const TIMER_CTL_S& GetCtlList() const { return m_CtlList; }
    u32 GetListPos() const { return m_uListPos; }
    u32 GetListSize() const { return m_uListSize; }
    const QV_STRING& GetSvrSess() const { return m_strSvrSess; }
    u32 GetDirectAllowed() const { return m_uDirectAllowed; }

    // The connection table as the server's lists, notifications and the direct tunnels use
    // it: add a connection text (index, or 0xFFFFFF when nothing was added; the connection's
    // name and a free client address found instead of a busy one), delete one by its text,
    // free one by name (1 when there was one).
    // (doZirizaSvrTunnel.cpp)
    static const u32 SVR_TUNNEL_NONE = 0xFFFFFF;
    struct SVR_TUNNEL_INFO_S
    {
        u32 uType = 0;
        u32 uOption = 0;
        u32 uFlags = 0;
        QV_STRING strName, strPeer, strSvrAddr, strCltAddr;
    };
    u32 SvrTunnelAdd(IQVString* pText, u32 uFlags, QV_STRING& strName, QV_ADDR_S& addrFree);
    u32 SvrTunnelDelete(IQVString* pText);
    u32 SvrTunnelFree(const char* lpszName);
    u32 SvrTunnelExists(const char* lpszName);
    // The connection of that peer, type, service and client address: 1 and its name.
    u32 SvrTunnelFindExt(const char* lpszPeer, u32 uType, const char* lpszSvrAddr, const char* lpszCltAddr,
                         QV_STRING& strName);
    // The connection that starts here and listens on the client address: 1 and its values.
    u32 SvrTunnelInfoByAddrIn(const char* lpszCltAddr, SVR_TUNNEL_INFO_S& info);
    // The direct connections to a peer found on the LAN get a static peer object at its LAN
    // address; the number of such connections.
    u32 SvrTunnelPeerStatic(const char* lpszPeer, const char* lpszAddr);
    // 1 when a TCP session that starts here still waits for its set-up answer from the peer.
    u32 SvrTunnelSessWaiting(const char* lpszPeer);
    // The connections to the peer make their peer object anew.
    void SvrTunnelRemakePeer(const char* lpszPeer);
    // Direct connections to the peer whose LAN check is at least uTicks old are stamped now;
    // 1 when any was.
    u32 SvrTunnelDirectRescan(const char* lpszPeer, u32 uTicks);
    // 1 when a listener could be bound to the address.
    u32 SvrTunnelListenBind(const QV_ADDR_S& addr);

    // Peer IDs of requests: the account prefix and "@domain" added; 0, or 1 when the text
    // cannot be made UTF-8.
    u32 PeerIDFill(QV_STRING& strPeer);

    // Direct tunnels remembered across node starts.
    struct DIRECT_BACK_S
    {
        QV_LINK_S<DIRECT_BACK_S> link;
        u32 uType = 0;
        QV_STRING strName, strPeer, strEncrypt, strSection, strSvrAddr, strCltAddr;
    };
    // 0 added or already there (*lpbNew tells which), 2 bad client address, 13 client address
    // in use or not bindable, 1 out of memory. An entry of the same name whose type or service
    // address differ is replaced.
    u32 DirectTunnelBackAdd(const char* lpszName, const char* lpszPeer, u32 uType, const char* lpszEncrypt,
                            const char* lpszSection, const char* lpszSvrAddr, const char* lpszCltAddr,
                            u32* lpbNew = nullptr);
    u32 DirectTunnelBackDelete(const char* lpszName);
    DIRECT_BACK_S* DirectTunnelBackSearch(const char* lpszName);
    DIRECT_BACK_S* DirectTunnelBackSearchExt(const char* lpszPeer, u32 uType, const char* lpszSvrAddr,
                                             const char* lpszCltAddr);
    DIRECT_BACK_S* DirectTunnelBackSearchAddrIn(const char* lpszCltAddr);
    DIRECT_BACK_S* DirectTunnelBackEnum(u32 uIndex);
    u32 DirectTunnelBackCount() const { return m_ListDirectBack.Count(); }
    void DirectTunnelBackClean();
    void DirectTunnelBackResume();
    // "__DirectTunnel_%s_%s"; empty when longer than 255 characters.
    static QV_STRING DirectTunnelBuildName(const char* lpszPeer, const char* lpszCltAddr);
    // The connection text of a direct tunnel; empty when longer than 511 characters.
    QV_STRING DirectTunnelText(const char* lpszName, u32 uType, const char* lpszEncrypt, const char* lpszSection,
                               const char* lpszPeer, const char* lpszCltAddr, const char* lpszSvrAddr);
    u32 DirectTunnelDelete(const char* lpszPeer, u32 uType, const char* lpszEncrypt, const char* lpszSvrAddr,
                           const char* lpszCltAddr, u32 uHttpSess);
    void DirectTunnelPeerStatic(const char* lpszPeer, const char* lpszAddr);

    // Peers found by LAN scans.
    struct LAN_PEER_S
    {
        u32 uStamp = 0;
        QV_STRING strPeer, strAddr;
    };
    static const u32 LAN_PEER_MAX = 16;
    // A LAN address older than this many ticks asks for a new scan of the peer.
    static const u32 LAN_PEER_FRESH = 30;
    u32 LanScanPeerUpdate(const char* lpszPeer, const char* lpszAddr);
    void LanScanPeerClean();
    LAN_PEER_S* LanScanPeerSearch(const char* lpszPeer);
    void MsgLanScan(const char* lpszList);

    // Peers that connections need, with the state of reaching them.
    enum { PEER_OUT_IDLE = 0, PEER_OUT_REQUESTING = 1, PEER_OUT_GIVEN_UP = 2 };
    struct PEER_OUT_S
    {
        QV_LINK_S<PEER_OUT_S> link;
        u32 uState = PEER_OUT_IDLE;
        u32 uStamp = 0;
        u32 uPeer = 0;
        QV_STRING strPeer;
    };
    void PeerOutCheckRequest(const char* lpszPeer);
    void PeerOutCheckReply(const char* lpszPeer, u32 bRequesting);
    void PeerOutCheckTimer();
    void PeerOutCheckProc(PEER_OUT_S* pRec);
    PEER_OUT_S* PeerOutCheckSearch(const char* lpszPeer);
    PEER_OUT_S* PeerOutCheckAdd(const char* lpszPeer);
    void PeerOutCheckDelete(PEER_OUT_S* pRec);
    void PeerOutCheckClean();
    u32 PeerOutCheckCount() const { return m_ListPeerOut.Count(); }
    // Ticks after which a peer-out attempt is given up or forgotten.
    u32 PeerOutTimeout() const;

    // Authorisation texts handed to a peer's node object whenever it is made.
    struct PEER_AUTH_S
    {
        QV_LINK_S<PEER_AUTH_S> link;
        u32 uPeer = 0;
        QV_STRING strPeer, strInfo;
    };
    u32 PeerAuthSet(const char* lpszPeer, const char* lpszInfo);
    void PeerAuthSetObj(const char* lpszPeer, u32 uObj);
    PEER_AUTH_S* PeerAuthSearch(const char* lpszPeer);
    void PeerAuthClean();
    u32 PeerAuthCount() const { return m_ListPeerAuth.Count(); }
    static void AuthObfuscate(const char* lpszSrc, char* lpszDst, u32 uSize);

    // Completions of requests that wait for the server, a peer or the direct-tunnel logic.
    void OnHttpDomainSet(u32 uResult, u32 uHandle);
    void OnHttpConnectAdd(u32 uResult, u32 uHandle, const char* lpszReply);
    void OnHttpConnectDelete(u32 uResult, u32 uHandle);
    void OnHttpUserExtend(u32 uResult, u32 uHandle, const char* lpszData);
    void OnHttpPeerInfoGet(u32 uPeer, u32 uResult, u32 uHandle, const char* lpszInfo);
    // Reads a peer information text: net type, address (remote or local), second text,
    // IP version of the tunnel address ("4", "6" or ""), whether tunnel addresses are known.
    u32 ParsePeerInfo(const char* lpszText, u32 bRemote, u32* lpuThrough, QV_STRING& strAddr, QV_STRING& strSecond,
                      QV_STRING& strIPVer, u32* lpbTunnel);
    // The session text of a connection request checked against the login's server session
    // text (passes when that is empty); 1 passed.
    u32 SessionDigestCheck(const char* lpszSession);
    // The server-call text of a connection add or delete (calls 42 and 43).
    static QV_STRING CnntCallText(const char* lpszSession, const char* lpszPeer, u32 uType, const char* lpszEncrypt,
                                  const char* lpszListenAddr, const char* lpszClientAddr);
    // Handle bit of a "cnntlcldelete" waiting for its answer.
    static const u32 HTTP_LCL_DELETE = 0x80000000u;

    // Names of the local requests; the index is also the kind of a parked request.
    static const char* const s_pszHttpReq[26];
    // Kinds of parked requests: a domain change and a "userextendjson" wait for the server.
    enum { REQ_DOMAIN_WAIT = 0, REQ_USEREXTEND_WAIT = 13, REQ_PUSHGET = 15, REQ_PUSHGETJSON = 16, REQ_EVENTGET = 24 };

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
    // Gives a served message record back to the free list.
    void MsgRecycle(MSG_S* pMsg);
    // Runs fnRun (returning what it served) on the calling thread as the module thread would,
    // when that thread is between messages; 0 without running it when it is not.
    template <class F>
    u32 MsgRunOnCaller(F fnRun);
    // MsgServeTcpSetup's loop, for a caller that holds the run lock.
    u32 MsgServeTcpSetupHeld();
    // Wakes the module thread when a message was posted without waking it (m_uWakeHeld) and
    // the queue is not empty; called where such a post's run or worker pass ends.
    void WakeHeldCheck();
    void MsgTick();
    void MsgLoginReply(u32 uErr, const char* lpszParam, const char* lpszSess);
    void MsgReloginReply(u32 uErr, const char* lpszParam, const char* lpszSess);
    void MsgKickOut(u32 uParam, const char* lpszAddr);
    void MsgPeerSync(u32 uPeer, u32 uAction, const char* lpszName);
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

    void MsgCallReply(u32 uErr, u32 uMeth, u32 uHandle, const char* lpszData);
    void MsgServerNotify(const char* lpszText);
    // Request handlers of doZirizaReq.cpp.
    void HttpReqDomainSet(u32 uHandle, const char* lpszParam);
    void HttpReqCommentSet(u32 uHandle, const char* lpszParam);
    void HttpReqTunnelSet(u32 uHandle, const char* lpszParam);
    void HttpReqPeerInfoGet(u32 uHandle, const char* lpszParam);
    void HttpReqCnntLclDelete(u32 uHandle, const char* lpszParam);
    void HttpReqCnntLclQuery(u32 uHandle, const char* lpszParam);
    void HttpReqUserExtend(u32 uHandle, const char* lpszParam, u32 bJson);
    void HttpReqChannelSet(u32 uHandle, const char* lpszParam);
    void HttpReqPeerAuthSet(u32 uHandle, const char* lpszParam);
    void HttpReqPeerAuthReply(u32 uHandle, const char* lpszParam);
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


    // TCP sessions, tunnel table, connection requests.
    void MsgTcpAccept(u32 uTunnel, const char* lpszAddrSock, const char* lpszHost);
    void MsgTcpConnect(u32 uResult, const char* lpszAddrSock);
    void MsgTcpDisconnect(const char* lpszAddrSock);
    void MsgPeerNotify(u32 uPeer, const char* lpszText);
    void MsgPeerCallReply(u32 uErr, u32 uSess, u32 uPeer, const char* lpszReply, const char* lpszTag);
    void MsgFileSync(u32 uObj, u32 uAction);
    void MsgFileOpen(u32 uObj, u32 bPut, u32 uHandle);
    void MsgFileReply(u32 uObj, u32 uErr);
    void MsgFileClose(u32 uObj, const char* lpszSize);
    void MsgFileProgress(u32 uObj, u32 bSend, u32 uSpeed, const char* lpszBytes);
    void TcpSessRequest(const char* lpszParam, u32 uPeer, u32 uHandle);
    u32 TcpSessParseSvrAddr(QV_ADDR_S* lpAddr, const char* lpszSvr);
    void PeerCallReplyTcpSess(const char* lpszParam, u32 uErr, u32 uSess, u32 uPeer);
    u32 TcpSessRequestSend(TCP_SESS_S* p);
    u32 TcpSessReplySend(TCP_SESS_S* p);
    void TcpSessReplyEventCallback(u32 uSess, u32 uErr);
    u32 TcpSessAddFiles(TCP_SESS_S* p, const char* lpszPut, const char* lpszGet);
    void TcpSessDelayJoin(TCP_SESS_S* p);
    // An object of the session exists but is not opened yet.
    u32 TcpSessNotOpened(const TCP_SESS_S* p) const;
    // The local socket has ended: this side's sending object drains and ends.
    void TcpSessLocalEnd(TCP_SESS_S* p);
    // Runs the local end that waited for the objects once the last of them is opened.
    void TcpSessOpenedCheck(TCP_SESS_S* p);
    void TcpSessIdleCheck(TCP_SESS_S* p);
    void TcpSessServiceStop();
    u32 TcpSessInit(u32 uCount);
    void TcpSessClean();
    u32 TunnelInit(u32 uCount);
    // Hands the TCP forwarding extension its limits, buffer size, filters and time-outs.
    u32 ConfigExtTcp();
    void TunnelClean();
    void TunnelServiceStop();
    u32 TunnelResolveAddrIn(const TUNNEL_S* p, QV_ADDR_S* lpAddr, u32 uWaitMs);
    u32 TunnelIsPeerOut(const TUNNEL_S* p) const;
    void HttpReqConnectAdd(u32 uHandle, const char* lpszParam);
    void HttpReqConnectDelete(u32 uHandle, const char* lpszParam);
    void HttpReqConnectQuery(u32 uHandle, const char* lpszParam);
    void HttpReqConnectEnum(u32 uHandle, const char* lpszParam);
    // The session's peer ID text of a peer object; "" when it has none.
    QV_STRING PeerName(u32 uPeer);

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
    // The TCP forwarding extension; the node adapter hands m_pExtTcp to the node.
    CDOZirizaExtTcp m_ExtTcp;
    IQVBase* m_pExtTcp;
    CDOZirizaCallback m_Callback;
    std::atomic<u32> m_uLoggedIn;
    LOGIN_INFO_S m_LoginInfo;
    std::atomic<u32> m_uLoginFailCount;
    u32 m_uDirectAllowed;
    QV_STRING m_strSvrSess;
    u32 m_uPeerInfoTick;
    u32 m_uPeerInfoDone;


    // TCP sessions: table, used list, AddrSock hash, pending and delay lists.
    CQVTable<TCP_SESS_S> m_TcpSess;
    CQVList<TCP_SESS_S> m_ListSessUsed;
    CQVNodeHash m_HashSess;
    CQVList<TCP_SESS_S, &TCP_SESS_S::linkPending> m_ListSessPending;
    CQVList<TCP_SESS_S, &TCP_SESS_S::linkDelay> m_ListSessDelay;
    u32 m_uSessCheckPos;  // entry index of the file-status check
    std::atomic<u32> m_auSessStat[4];  // GetSessStat's copy
    // Tunnel table: entries, busy list, name hash; the freshness walk's position.
    CQVTable<TUNNEL_S> m_Tunnel;
    CQVList<TUNNEL_S> m_ListTunnelBusy;
    CQVNodeHash m_HashTunnel;
    u32 m_uFreshPos;
    u32 m_uActiveTick;

    MSG_LIST m_ListMsgFree;
    MSG_LIST m_ListMsg;
    u32 m_uMsgCount;  // records in existence
    CQVCriticalSection m_SectMsg;
    CQVEvent m_EventMsg;
    // Held while a message is served, by the module thread or by MsgNow; its owner, so that a
    // message served never tries to take it again.
    std::mutex m_MsgRun;
    std::atomic<std::thread::id> m_MsgRunOwner;
    // A TCP accept, connect result or local end was posted since a worker last looked.
    std::atomic<u32> m_uTcpSetupPosted{0};
    // A message was posted by the thread serving messages without waking the module thread:
    // the end of that run looks at the queue instead.
    std::atomic<u32> m_uWakeHeld{0};

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

    // Server calls, direct-tunnel back list, LAN peers, peer-out checks, authorisation.
    TIMER_CTL_S m_CtlClientInfo;
    TIMER_CTL_S m_CtlList;
    u32 m_uListPos;
    u32 m_uListSize;
    CQVList<DIRECT_BACK_S> m_ListDirectBack;
    LAN_PEER_S m_aLanPeer[LAN_PEER_MAX];
    CQVList<PEER_OUT_S> m_ListPeerOut;
    CQVList<PEER_AUTH_S> m_ListPeerAuth;

    static std::atomic<u32> s_uManualTimer;
};

// The host's event callback, stored process-wide by doZirizaCallbackSet.
void doZirizaEventCallbackSet(TfnTunnelEventProc lpfnEvent);
TfnTunnelEventProc doZirizaEventCallbackGet();
