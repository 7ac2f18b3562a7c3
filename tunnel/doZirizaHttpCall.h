// The in-process call bridge: a flat-interface call becomes a named request posted to the tunnel
// thread, and the caller's thread blocks on one of 16 call slots until the answer, a time-out
// (counted in 100 ms ticks of the tunnel thread) or a cancel ends the wait.
#pragma once

#include <atomic>

#include "doZirizaHttp.h"
#include "qvLibTunnel.h"
#include "qvString.h"
#include "qvTable.h"
#include "qvThread.h"
#include "qvType.h"

class CDOZirizaHttpCall : public IDOZirizaHttp
{
public:
    CDOZirizaHttpCall();
    ~CDOZirizaHttpCall() override;
    CDOZirizaHttpCall(const CDOZirizaHttpCall&) = delete;
    CDOZirizaHttpCall& operator=(const CDOZirizaHttpCall&) = delete;

    // The three arguments are not used.
    int Initialize(u32 uMaxConn, u32 uPortTries, QV_ADDR_S& addrListen) override;
    void Clean() override;
    int SendResponse(u32 uHandle, u32 uStatus, const char* lpszContentType, unsigned char* lpData,
                     u32 uLength) override;
    // Ends every waiting call with -6 and waits (at most 12 s) until their slots are free.
    void Cancel() override;
    void Attach(CDOZiriza* pTunnel) override { m_pTunnel = pTunnel; }

    u32 IsInitialized() const { return m_uInit.load(); }

    // The 100 ms tick, on the tunnel thread: counts down the waiting calls' time-outs.
    void TimerProc();

    // Slot index, or SLOT_NONE when all are taken.
    u32 CallAlloc();
    void CallFree(u32 uSlot);
    // Posts the request and waits: 0 answered with status 200, -1 answered otherwise or not
    // posted, -12 timed out, -6 cancelled or a slot not idle. uTimeoutMs 0 waits without limit.
    int CallRequest(u32 uSlot, const char* lpszName, const char* lpszParam, u32 uTimeoutMs, QV_STRING& strAnswer);

    // The bridged flat functions (same arguments and results).
    int VersionGet(QV_TUNNEL_VERSION_S* lpVersion);
    int StatusGet(unsigned int uItem, QV_TUNNEL_STATUS_S* lpStatus);
    int DomainSet(const char* lpszPasscode);
    int DomainGet(QV_TUNNEL_DOMAIN_S* lpDomain);
    int CommentSet(const char* lpszComment);
    int CommentGet(QV_TUNNEL_COMMENT_S* lpComment);
    int TunnelSet(const char* lpszPasscode, const char* lpszComment);
    int PeerInfoGet(const char* lpszPeerID, QV_TUNNEL_PEER_INFO_S* lpInfo);
    int ConnectAdd(const char* lpszSession, const char* lpszPeerID, unsigned int uType, unsigned int uEncrypt,
                   const char* lpszListenAddr, const char* lpszClientAddr, QV_TUNNEL_CLIENT_ADDR_S* lpClientAddr);
    int ConnectDelete(const char* lpszSession, const char* lpszPeerID, unsigned int uType, unsigned int uEncrypt,
                      const char* lpszListenAddr, const char* lpszClientAddr);
    int ConnectQuery(const char* lpszPeerID, unsigned int uType, unsigned int uEncrypt, const char* lpszListenAddr,
                     QV_TUNNEL_CLIENT_ADDR_S* lpClientAddr);
    int ConnectLocalDelete(const char* lpszSession, const char* lpszClientAddr);
    int ConnectLocalQuery(const char* lpszClientAddr, QV_TUNNEL_CONNECT_INFO_S* lpInfo);
    int UserExtend(const char* lpszRequest, QV_TUNNEL_DATA_S* lpData, unsigned int uTimeoutMs);
    int PushGet(QV_TUNNEL_DATA_S* lpData, unsigned int uTimeoutMs);
    int SelfGet(QV_TUNNEL_SELF_S* lpSelf);
    int ConnectEnum(unsigned int uIndex, QV_TUNNEL_CONNECT_INFO_S* lpInfo);
    int Control(unsigned int uCtrl, const char* lpszParam);
    int ChannelSet(const char* lpszPeerID, unsigned int uType, const char* lpszParam);
    int PeerFwdCfg(int iSpeed, int iGate, int iUse, int iMaxSess, const char* lpszOption);
    int PeerAuthSet(const char* lpszPeerID, const char* lpszInfo);
    int PeerAuthReply(const char* lpszHandle, unsigned int uErrCode, const char* lpszParam);

    // Answer reading: the action name is the text before the first ':' ("" without one).
    static QV_STRING AnswerAction(const char* lpszAnswer);
    // The decoded value of the first member of that name in the flat JSON object after the
    // first '{'; only quoted values are read. 1 found / 0.
    static u32 AnswerValue(const char* lpszAnswer, const char* lpszName, QV_STRING& strValue);
    // The parameter text of doZirizaPeerFwdCfg.
    static QV_STRING PeerFwdCfgText(int iSpeed, int iGate, int iUse, int iMaxSess, const char* lpszOption);

    static const u32 SLOT_COUNT = 16;
    static const u32 SLOT_NONE = 0xFFFF;
    // Default wait of a bridged call, in ms.
    static const u32 CALL_TIMEOUT_MS = 12000;
    static const u32 TICK_MS = 100;
    // Cancel waits this many times TICK_MS for the woken callers to free their slots.
    static const u32 CANCEL_WAIT_TICKS = 120;

private:
    enum { STATE_IDLE = 0, STATE_WAIT = 1, STATE_ANSWERED = 2, STATE_TIMEOUT = 3, STATE_CANCEL = 4 };

    struct SLOT_S
    {
        QV_LINK_S<SLOT_S> link;       // free or used list
        QV_LINK_S<SLOT_S> linkTimer;  // timer list
        u16 uCookie = 0;
        u16 uState = STATE_IDLE;
        u32 uTickLimit = 0;
        u32 uTickCount = 0;
        QV_STRING strAnswer;
        int iResult = 0;
        CQVEvent event;
    };
    typedef CQVList<SLOT_S> SLOT_LIST;
    typedef CQVList<SLOT_S, &SLOT_S::linkTimer> TIMER_LIST;

    static u32 MakeHandle(u32 uSlot, u32 uCookie) { return (1u << 28) | ((uSlot & 0xFFF) << 16) | (uCookie & 0xFFFF); }

    // Runs one request whose answer carries "result" and then the listed members; the common
    // result rules of the bridged functions. lpValues receives the members after "result".
    int Call(const char* lpszName, const char* lpszParam, u32 uTimeoutMs, u32 bResult, const char* const* lppszMembers,
             u32 uMemberCount, QV_STRING* lpValues);

    std::atomic<u32> m_uInit;
    CDOZiriza* m_pTunnel;
    SLOT_S m_Slot[SLOT_COUNT];
    SLOT_LIST m_ListFree;
    SLOT_LIST m_ListUsed;
    TIMER_LIST m_ListTimer;
    CQVCriticalSection m_Sect;
};
