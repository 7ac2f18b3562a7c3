// The node's built-in Peer class (class 0, "QV_CLASS_Peer"): one peer-table entry per remote
// party, the node's side of every peer socket, admission of peer traffic, the class's wire
// messages, object synchronisation with peers and the receive and send backlogs.
//
// The class is split into files by role:
//   qvClassPeer.cpp        class frame, peer table, eviction, IQVClass callbacks
//   qvClassPeerSock.cpp    socket events, new-socket table, moving sockets into entries
//   qvClassPeerRecv.cpp    the message-type table and the receive dispatch
//   qvClassPeerBacklog.cpp Send, Receive and the receive and send backlogs
//   qvClassPeerSync.cpp    sync reports and updates, stamps, pending sends
//   qvClassPeerReq.cpp     requests of the owner, error messages, SendPeerMsg
//   qvClassPeerOption.cpp  options (set, read back, pushed), check, class selection, LAN scan
//   qvClassPeerCall.cpp    calls, messages, no-authority message, ping
//   qvClassPeerAuth.cpp    admission by authentication and the peer digest
//   qvClassPeerLogin.cpp   server login, keep-alive, relogin, kick-out, agent logins
//   qvClassPeerStatus.cpp  status queries and replies, resolution list, connect step
#pragma once

#include "qvNodeDef.h"
#include "qvNodeHash.h"
#include "qvNodeList.h"
#include "qvOMLParser.h"
#include "qvString.h"
#include "qvTable.h"

class CQVSocket;
class CQVNodeClassProc;
struct tagQV_SK_BUF_S;

// Peer flags of an entry (the ObjAdd flags of its peer object).
#define QV_PEER_FLAG_SELF 0x00000001u
#define QV_PEER_FLAG_SERVER 0x00000002u
#define QV_PEER_FLAG_STATIC 0x00000004u
#define QV_PEER_FLAG_DIGEST 0x00000008u
#define QV_PEER_FLAG_CLASS01 0x00000010u
#define QV_PEER_FLAG_INFO 0x00000020u
#define QV_PEER_FLAG_STANOTIFY 0x00000040u
#define QV_PEER_FLAG_ADDED 0x00010000u
#define QV_PEER_FLAG_DEBUG 0x00100000u   // the owner hears the class's traces of this peer
#define QV_PEER_FLAG_AGENT 0x10000000u
#define QV_PEER_FLAG_AGENTDEP 0x20000000u
#define QV_PEER_FLAG_LAN 0x40000000u
// Entries with either agent bit cannot be the group of an object.
#define QV_PEER_FLAG_NOGROUP (QV_PEER_FLAG_AGENT | QV_PEER_FLAG_AGENTDEP)

// Peer entry status.
#define QV_PEER_STA_FREE 0
#define QV_PEER_STA_CREATED 1
#define QV_PEER_STA_ADMITTED 2
#define QV_PEER_STA_SYNC 3

// Pending-send bits of an entry.
#define QV_PEER_PEND_SELF 0x01
#define QV_PEER_PEND_STATUS 0x04
#define QV_PEER_PEND_OBJSET 0x10
#define QV_PEER_PEND_OBJCLR 0x20
#define QV_PEER_PEND_UPDATE 0x40
#define QV_PEER_PEND_AUTH 0x80
#define QV_PEER_PEND_BACKLOG 0x100  // held messages whose IDs are known wait for room in the queue
#define QV_PEER_PEND_RESYNC 0x200   // our report of the peer's object goes again (it was not answered)

// Dispatch bits served by OnDisp.
#define QV_PEER_DISP_CONNECT 0x01
#define QV_PEER_DISP_SYNC 0x02
#define QV_PEER_DISP_LOGIN 0x04
#define QV_PEER_DISP_LOGINDONE 0x08
#define QV_PEER_DISP_RECONNECT 0x10
#define QV_PEER_DISP_FWDSTATUS 0x20
#define QV_PEER_DISP_FWDRELAY 0x40
#define QV_PEER_DISP_FWDHOLE 0x80

// Notifications the class raises on its own objects.
#define QV_PEER_NOTIFY_OBJSYNC 257
#define QV_PEER_NOTIFY_DROPPED 258
#define QV_PEER_NOTIFY_NOAUTH 259

// Message types of the class.
enum {
    QV_PMSG_ACTIVE = 0,
    QV_PMSG_SYNC_REPORT = 1,
    QV_PMSG_SYNC_UPDATE = 2,
    QV_PMSG_LOGIN = 3,
    QV_PMSG_LOGIN_REPLY = 4,
    QV_PMSG_LOGOUT = 5,
    QV_PMSG_STATUS = 7,
    QV_PMSG_STATUS_REPLY = 8,
    QV_PMSG_CALL = 9,
    QV_PMSG_CALL_REPLY = 10,
    QV_PMSG_MESSAGE = 11,
    QV_PMSG_ERROR = 12,
    QV_PMSG_NOAUTH = 13,
    QV_PMSG_AGENT_LOGIN = 14,
    QV_PMSG_AGENT_LOGIN_REPLY = 15,
    QV_PMSG_AGENT_LOGOUT = 16,
    QV_PMSG_AGENT_MESSAGE = 18,
    QV_PMSG_KICKOUT = 19,
    QV_PMSG_PUSH_OPTION = 20,
    QV_PMSG_STAMP = 21,
    QV_PMSG_STAMP_UPDATE = 22,
    QV_PMSG_PING = 23,
    QV_PMSG_PING_REPLY = 24,
    QV_PMSG_RESO_REQUEST = 25,
    QV_PMSG_RESO_REPLY = 26,
    QV_PMSG_MEM_REQUEST = 27,
    QV_PMSG_MEM_REPLY = 28,
    QV_PMSG_STATUS_NOTIFY = 29,
    QV_PMSG_LOGPULL_CMD = 30,
    QV_PMSG_LOGPULL_CMD_REPLY = 31,
    QV_PMSG_LOGPULL_REPORT = 32,
    QV_PMSG_AUTH_REQUEST = 33,
    QV_PMSG_AUTH_INFO = 34,
    QV_PMSG_AUTH_RESULT = 35,
    QV_PMSG_COUNT = 36
};

// Largest message the class receives (bytes); its receive buffer is at least this big.
#define QV_PEER_MSG_MAX 0x1FFFFu
#define QV_PEER_RECV_BUF 0x20000u
// Longest held receive-backlog message (bytes) and record ages (node seconds).
#define QV_PEER_RBL_DATA_MAX 1024u
#define QV_PEER_RBL_AGE 3u
#define QV_PEER_SBL_AGE 29u
#define QV_PEER_SBL_POP_AGE 30u
#define QV_PEER_BACKLOG_DEFAULT 32u
// Sync report payload limit (bytes) and the name limit inside it (characters).
#define QV_PEER_SYNC_MAX 320u
#define QV_PEER_NAME_MAX 128u
// A new socket not tied to a peer within this many seconds is dropped.
#define QV_PEER_NEW_TIMEOUT 10u
// Seconds after which a connecting peer's connect or sync is asked again by Send.
#define QV_PEER_SEND_NUDGE 7u

class CQVClassPeer : public IQVClass {
public:
    // An object whose sync report to a peer is still to be sent.
    struct PEND_OBJ_S {
        u32 uObject;
        u32 uFlags;   // 0x10 report with action 1 pending, 0x20 with action 0
    };
    // A sync update whose sending failed. It names the local object as it is when it goes
    // (uAsked: the peer's report carried its handle), not as it was when the report came.
    struct SYNC_UPD_S {
        QV_LINK_S<SYNC_UPD_S> link;
        u32 uAsked;
        u32 uEcho;
        u32 uOwn;
        QV_STRING name;
        QV_STRING group;
    };
    typedef CQVList<SYNC_UPD_S> SYNC_UPD_LIST;
    // The names of an object whose withdrawal (report with action 0) waits for room: were the
    // object deleted meanwhile, the withdrawal goes from them (the peer would otherwise keep
    // the object for ever).
    struct SYNC_GONE_S {
        QV_LINK_S<SYNC_GONE_S> link;
        u32 uObject;
        QV_STRING name;
        QV_STRING group;
    };
    typedef CQVList<SYNC_GONE_S> SYNC_GONE_LIST;

    struct PEER_S {
        QV_LINK_S<PEER_S> link;         // free list or in-use list
        QV_HASH_LINK_S hash;            // address hash
        QV_LINK_S<PEER_S> linkCreate;   // entries in status 1
        QV_LINK_S<PEER_S> linkMask;     // entries with pending sends
        QV_LINK_S<PEER_S> linkAgent;    // in the agent entry's dependent list
        QV_NODE_LIST_S objs = {nullptr, nullptr};   // objects whose group is this peer
        CQVList<PEER_S, &PEER_S::linkAgent> deps;
        QV_ADDR_S addr;
        u32 uStatus = 0;
        u32 uObject = 0;
        u32 uSockID = 0;
        u32 uFlags = 0;
        u32 uStateFlags = 0;
        u32 uSendMask = 0;
        u16 uConnected = 0;
        u32 uPeerType = 0;
        u32 uInfoWaiter = 0;
        u32 uActive = 0;                // node second of the last admitted traffic
        u32 uStatusWaiter = 0;
        s32 iClockOffset = 0;
        u32 uStampSent = 0;
        u32 uResyncTick = 0;            // node second the peer reported us while not answering ours
        u32 uCookieLcl = 0;
        u32 uCookieRmt = 0;
        u32 uSendClassMask = 0;
        u32 uRecvClassMask = 0;
        u32 uAuthState = 0;
        u32 uAuthRejects = 0;
        u32 uAuthTime = 0;
        QV_STRING authOwn;
        QV_STRING authPeer;
        PEND_OBJ_S* pPend = nullptr;
        u16 uPendCap = 0;
        u16 uPendUsed = 0;
        u16 uPend10 = 0;
        u16 uPend20 = 0;
        SYNC_UPD_LIST updates;
        SYNC_GONE_LIST gone;
        u16 uOffline = 0;
        u16 uRefresh = 0;
        u32 uLastStatus = 0;
        u32 uAgentObj = 0;
        u16 uCallTimeout = 10;
        u8 uSockOpt[2] = {3, 3};
    };
    typedef CQVList<PEER_S> PEER_LIST;
    typedef CQVList<PEER_S, &PEER_S::linkCreate> PEER_CREATE_LIST;
    typedef CQVList<PEER_S, &PEER_S::linkMask> PEER_MASK_LIST;

    struct NEW_S {
        QV_LINK_S<NEW_S> link;          // free list or in-use list
        u32 uSockID = 0;
        u32 uFlags = 0;                 // bit 0: a path change was reported while new
        u32 uStamp = 0;
        QV_ADDR_S addr;
    };
    typedef CQVList<NEW_S> NEW_LIST;

    // Receive backlog record.
    struct RBL_S {
        QV_LINK_S<RBL_S> link;
        u32 uStamp;
        u32 uIndex;
        u32 uKey;
        u16 uPrio, uFlag, uMethod;
        u32 uObject;
        u32 uParam;
        u8* pData;
        u32 uLen;
    };
    // Send backlog record.
    struct SBL_S {
        QV_LINK_S<SBL_S> link;
        u32 uStamp;
        u32 uIndex;
        u32 uLocal;                     // local object whose message waits
        u32 uMode;
        u16 uPrio, uFlag, uMethod;
        u32 uParam;
        u32 uHandle;                    // the sender's tag (its multicast unit), for the acks
        u8* pData;
        u32 uLen;
        u32 uSendFlags;
    };

    // A call sent and not answered yet, kept so that a call the peer refused (it went to the
    // ID the peer's previous instance had for itself) goes again once the peer has told its
    // new one. Ends with its waiter.
    struct CALL_S {
        QV_LINK_S<CALL_S> link;
        u32 uIndex;
        u32 uWaiter;
        u32 uUnit;
        u32 uRemoteID;                  // the peer's ID the call went to, 0 once sent again
        u32 uSendFlags;
        u16 uFlag;
        u8* pData;
        u32 uLen;
    };

    // Counters of messages dropped by the receive path, by cause.
    struct STAT_S {
        u32 uShort;        // below the minimum size of its type
        u32 uUnknown;      // type above 35
        u32 uUnhandled;    // a type this side does not act on
        u32 uNotAdmitted;  // the peer may not send it now
        u32 uMalformed;    // a field inside failed its check (string, name, length)
        u32 uNoPeer;       // not from a peer entry
    };

    CQVClassPeer();
    virtual ~CQVClassPeer();
    CQVClassPeer(const CQVClassPeer&) = delete;
    CQVClassPeer& operator=(const CQVClassPeer&) = delete;

    // IQVClass.
    void Delete() override {}
    bool OnInitialize(void* lpContext, IQVClassProc* lpProc, u32 uMaxObj, u32 uClassOption) override;
    void OnClean() override;
    bool OnAdd(u32 uObject, u32 uGroup, u32 uFlags, u32* lpuInstID) override;
    void OnDelete(u32 uInst) override;
    int OnRequest(u32 uInst, u32 uMethod, const void* lpData, u32 uSize, u32 uParam) override;
    int OnExtReply(u32 uInst, u32 uError, const void* lpData, u32 uSize, u32 uHandle) override;
    int OnSend(u32 uInst, u32 uEvent, const QV_MCAST_RES_S* lpRes, u32 uUnit, u32 uPeer) override;
    int OnReceive(u32 uInst, u32 uPrio, u32 uMethod, u32 uParam, u32 uExtra, u32 uPeer) override;
    u32 OnDisp(u32 uInst, u32 uBits) override;
    void OnNotify(u32 uInst, u32 uType, u32 uP0, u32 uP1) override;
    void OnExtend(u32, u32, u32, u64, u32) override {}
    void OnTimer(u32 uSeconds) override;
    const char* OnGetName() override { return "QV_CLASS_Peer"; }
    void OnControl(u32, u32, u32) override {}

    // Called by the node.
    void Attach(CQVSocket* lpSocket, CQVNodeClassProc* lpProc);
    void SetClientInfo(const char* lpszInfo);
    void SetSockSide(u32 uSide) { m_uSide = uSide; }
    void SetNodeOption(u32 uOption) { m_uNodeOption = uOption; }
    u32 SetLocalAddr(const char* lpszText, const QV_ADDR_S* lpAddr, u32 uBind, u32 uIndex);
    u32 GetLocalAddr(char* lpszBuf, u32 uSize, u32 uIndex);
    u32 AttachObj(u32 uInst, QV_NODE_S* lpNode);
    u32 DetachObj(u32 uInst, QV_NODE_S* lpNode);
    u32 EnumNextObj(u32 uInst, QV_NODE_S** lppCursor);
    u32 SendSyncReport(u32 uObject, u32 uPeer, u32 uStart);
    u32 ForceSync(u32 uInst);
    u32 SyncStampSend(u32 uInst);
    u32 SyncObjNotify(u32 uInst, u32 uP0, u32 uP1);
    u32 DigestHash(u32 uInst, u32 uMode, const void* lpData, u32 uSize, u8* lpDigest, u32* lpuDigestSize);
    s32 Send(u32 uInst, tagQV_SK_BUF_S& buf, u32 uSendFlags, u32 uMode, u32 uObject);
    s32 Receive(u32 uInst, tagQV_SK_BUF_S& buf, u32 uOption, u32 uKey, u32 uBacklog);
    u32 SendError(u32 uInst, u32 uPrio, u32 uMethod, u32 uObject, u32 uParam);
    u32 AuthCheckAccept(u32 uInst);
    u32 CheckRecvBacklog(u32 uInst, u32 uPrio, u32 uMethod, u32 uObject, u32 uParam, u32 uExtra);
    u32 SocketNew(u32 uParam);
    u32 SocketConnect(u32 uParam);
    u32 SocketDrop(u32 uParam);
    u32 SocketAddrChange(u32 uParam);
    u32 SocketNotifyPush(u32 uParam);
    u32 SocketNat64Detected(u32 uParam);
    u32 SocketThroughChange(u32 uParam);
    u32 SocketUdp4FwdStatus(u32 uParam);
    u32 SocketUdp4FwdRelayStat(u32 uParam);
    u32 SocketUdp4FwdHoleStat(u32 uParam);

    // What the node reads of the class.
    u32 GetTableSize() const { return m_uPeerMax; }
    const PEER_S* PeerAt(u32 uInst) const { return uInst < m_uPeerMax && m_pPeer ? &m_pPeer[uInst] : nullptr; }
    u32 GetSelf() const { return m_uSelf; }
    u32 GetAuthOption() const { return m_uAuthOption; }
    u32 GetServerIndex() const { return m_uPrivSvr; }
    const STAT_S& GetStat() const { return m_Stat; }
    u32 GetLoginStatus() const { return m_uLoginStatus; }
    u32 GetLoginMode() const { return m_uLoginMode; }

    // Table operations the class offers (and tests use).
    u32 PeerSearch(const QV_ADDR_S& addr);
    u32 PeerClean();
    u32 PeerAddrNameCheck(u32 uInst);
    u32 PeerAddrNameSet(u32 uInst);
    static u32 PeerAddrNameBuild(const QV_ADDR_S& addr, char* lpszBuf, u32 uSize);
    static u32 PeerAddrNameIs(const char* lpszName);
    u32 RecvBacklogEvent(u32 uInst);
    u32 SendBacklogPop(u32 uInst, u32 uLocal);
    // Sends the held messages of a peer whose object IDs are known, in order; 1 when none is
    // left refused by a full queue.
    u32 SendBacklogRetry(u32 uInst);
    void RecvBacklogClean(u32 uInst);
    void SendBacklogClean(u32 uInst);
    u32 RecvBacklogCount() const { return m_uRblCount; }
    u32 SendBacklogCount() const { return m_uSblCount; }

private:
    friend class CQVClassPeerTestProbe;
    friend class CQVClassPeerLoginProbe;

    typedef void (CQVClassPeer::*RECV_FN)(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    struct MSG_TYPE_S {
        u8 uClientOnly;   // acted on only on the client side
        u8 uAdmit;        // CanRecv must admit the sender
        u32 uMin;         // shortest payload in bytes
        RECV_FN fn;       // null: this side does not act on the type
    };
    static const MSG_TYPE_S s_MsgType[QV_PMSG_COUNT];

    // Table (qvClassPeer.cpp).
    PEER_S* Entry(u32 uInst) const { return uInst < m_uPeerMax && m_pPeer ? &m_pPeer[uInst] : nullptr; }
    PEER_S* EntryInUse(u32 uInst) const;
    u32 IndexOf(const PEER_S* p) const { return (u32)(p - m_pPeer); }
    u32 EntryOfObject(u32 uObject);
    u32 GetOld();
    void HelperReset(PEER_S* p);
    void HelperSetStatus(PEER_S* p, u32 uStatus);
    void HashAdd(PEER_S* p);
    void HashRemove(PEER_S* p);
    u32 ClassMaskDefault(const PEER_S* p) const;
    u32 HelperAddPeer(const char* lpszName, u32 uFlags);
    u32 CanRecv(u32 uIndex);
    u32 ObjName(u32 uObject, char* lpszBuf, u32 uSize);
    void Trace(u32 uLevel, const char* lpszFormat, ...) __attribute__((format(printf, 3, 4)));

    // Sockets (qvClassPeerSock.cpp).
    u32 SocketNewSkip(u32 uNewID);
    u32 SockNewAdd(u32 uNewID);
    void SockNewDelete(NEW_S* n, u32 uKeepSocket);
    void SockNewDropTimeout();
    NEW_S* SockNewAt(u32 uIndex);
    u32 SockNewPeerMove(u32 uNewIndex, u32 uIndex);
    u32 SockNewPeerCreate(u32 uNewIndex, const char* lpszName);
    u32 SocketConnectAtClient(u32 uParam);
    u32 SocketConnectAtServer(u32 uParam);
    u32 HelperLANPeerReuse(u32 uIndex, const char* lpszName);
    u32 HelperLANPeerAuth(u32 uIndex);
    void HelperSetSocketOption(u32 uIndex);
    u32 HelperPeerSetAddr(u32 uIndex, const QV_ADDR_S& addr, const QV_ADDR_S* lpProxy, const QV_ADDR_S* lpProxy6);

    // Receive path (qvClassPeerRecv.cpp).
    void RecvError(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);

    // Backlogs (qvClassPeerBacklog.cpp).
    u32 RecvBacklogPush(u32 uIndex, u32 uPrio, u32 uMethod, u32 uObject, u32 uExtra);
    s32 RecvBacklogPop(u32 uIndex, tagQV_SK_BUF_S& buf, u32 uKey);
    s32 SendBacklogPush(u32 uIndex, tagQV_SK_BUF_S& buf, u32 uSendFlags, u32 uMode, u32 uLocal);
    void RblFree(RBL_S* r);
    void SblFree(SBL_S* s);
    bool SblSend(PEER_S* p, const SBL_S* s, u32 uID);
    // Calls kept for a peer that restarted (qvClassPeerCall.cpp).
    void CallKeep(u32 uIndex, u32 uWaiter, u32 uUnit, u16 uFlag, const void* lpData, u32 uLen);
    void CallAgain(u32 uIndex, u32 uRemoteID);
    void CallClean(u32 uInst);

    // Synchronisation (qvClassPeerSync.cpp).
    u32 SyncOneObject(u32 uIndex, u32 uObject, u32 uAction);
    void SyncAllObject(u32 uIndex, u32 uAction);
    void SyncPeerAndGroupObjects(u32 uIndex, u32 uAction);
    void HelperSetPeerSync(u32 uIndex, u32 uSet);
    void NotifyObjectSync(u32 uIndex, u32 uObject, u32 uAction);
    void ExtRequestSync(u32 uIndex, u32 uObject, u32 uAction);
    void ObjSyncMark(PEER_S* p, u32 uObject, u32 uFlag);
    void ObjSyncDelete(PEER_S* p, u32 uElement, u32 uAction);
    void PendObjClean(PEER_S* p);
    void UpdatesClean(PEER_S* p);
    void GoneKeep(PEER_S* p, u32 uObject);
    u32 GoneSend(u32 uIndex, u32 uObject);
    void GoneDrop(PEER_S* p, u32 uObject);
    void SendMaskAdd(u32 uIndex, u32 uBits);
    void SendMaskInst(u32 uIndex);
    u32 SyncBuild(u8* lpBuf, u32 uSize, u32 uObject, u32 uTime, u32 uTime2, u32 uCookie, const char* lpszName,
                  const char* lpszGroup);
    s32 SyncSendRaw(PEER_S* p, u32 uMethod, u8* lpData, u32 uLen);
    u32 SyncUpdateSend(u32 uIndex, u32 uObject, u32 uEcho, u32 uOwn, const char* lpszName, const char* lpszGroup);
    u32 SyncLocalObject(const char* lpszName, const char* lpszGroup, u32* lpuClass);
    void SyncStampUpdate(u32 uIndex, u32 uEcho, u32 uPeerTime);
    u32 SyncCookieCheck(u32 uIndex, u32 uCookie, u32 uFlags);
    void RecvSyncReport(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    void RecvSyncUpdate(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    void RecvStamp(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    void RecvStampUpdate(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    u32 SendStatus(u32 uIndex);
    void SendStatusNotify(u32 uIndex, u32 uMask);

    // Requests (qvClassPeerReq.cpp).
    u32 SendPeerMsg(u32 uObject, u32 uPeer, u32 uMethod, u32 uFlag, const void* lpData, u32 uSize, u32 uParam);
    int ReqSetAddr(u32 uIndex, const void* lpData, u32 uSize);

    // Options, check, class selection and LAN scan (qvClassPeerOption.cpp).
    u32 ReqText(const char* lpszKey, char* lpszOut, u32 uSize);
    int ReqOptionRead(const void* lpData, u32 uSize, u32 uNeedValue, u32* lpuItem, char* lpszValue);
    int ReqSetOption(u32 uIndex, const void* lpData, u32 uSize);
    int ReqGetOption(u32 uIndex, const void* lpData, u32 uSize, u32 uParam);
    u32 OptionSocketLAN(const char* lpszText);
    u32 OptionRelayList(const char* lpszText);
    u32 OptionUDP4PrivCfg(const char* lpszValue, u32 uItem);
    void RecvPushOption(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    int ReqCheckInfo(u32 uIndex, const void* lpData, u32 uSize);
    int HelperCheckType(u32 uIndex, u32 uValue, const char* lpszOption);
    int ReqClassSelect(u32 uIndex, const void* lpData, u32 uSize);
    int ReqLanScan(u32 uIndex, const void* lpData, u32 uSize, u32 uParam);
    void HelperLanScanReply(u32 uIndex, u32 uParam);
    void Debug(u32 uIndex, const char* lpszFormat, ...) __attribute__((format(printf, 3, 4)));

    // Authentication and digests (qvClassPeerAuth.cpp).
    u32 AuthSendPrompt(u32 uIndex);
    u32 AuthSendInfo(u32 uIndex);
    void AuthRecvInfo(u32 uIndex, const char* lpszInfo, const char* lpszOption);
    u32 AuthProcInfo(u32 uIndex, const char* lpszInfo, const char* lpszOption);
    int ExtRepAuth(u32 uError, const void* lpData, u32 uSize, u32 uHandle);
    u32 AuthSendResult(u32 uIndex, u32 uError, const char* lpszParam);
    void AuthStatusReset(u32 uIndex);
    void AuthSetState(PEER_S* p, u32 uState);
    static void AuthObfuscate(const char* lpszText, char* lpszOut, u32 uSize);
    void RecvAuthRequest(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    void RecvAuthInfo(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    void RecvAuthResult(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    int ReqAuthSet(u32 uIndex, const void* lpData, u32 uSize);
    int ReqDigGen(u32 uIndex, const void* lpData, u32 uSize, u32 uParam);
    int ReqDigVerify(u32 uIndex, const void* lpData, u32 uSize);
    int ReqDigRead(const void* lpData, u32 uSize, QV_STRING& data, char* lpszValue);
    u32 DigestVerify(u32 uIndex, const char* lpszText, const char* lpszDigest);

    // Calls, messages and ping (qvClassPeerCall.cpp).
    u32 CallPayload(const void* lpData, u32 uSize, u32* lpuLen, u16* lpuFlag);
    int ReqCall(u32 uIndex, const void* lpData, u32 uSize, u32 uParam);
    int ReqMessage(u32 uIndex, const void* lpData, u32 uSize, u32 uParam);
    int ReqPing(u32 uIndex, const void* lpData, u32 uSize, u32 uParam);
    int CallReplySend(u32 uUnit, u32 uError, const void* lpData, u32 uSize);
    void HelperPingReply(u32 uIndex, u32 uError, u32 uRtt, u32 uParam);
    void RecvCall(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    void RecvCallReply(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    void RecvMessage(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    void RecvNoAuth(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    void RecvPing(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    void RecvPingReply(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);

    // Server login, keep-alive and agent logins (qvClassPeerLogin.cpp).
    int ReqLogin(u32 uIndex, const void* lpData, u32 uSize, u32 uParam);
    int ReqLogout(u32 uIndex);
    int ReqControl(u32 uIndex, const void* lpData, u32 uSize);
    int ReqAgentLogin(u32 uIndex, const void* lpData, u32 uSize, u32 uParam);
    int ReqAgentLogout(u32 uIndex, const void* lpData, u32 uSize);
    int ReqAgentMessage(u32 uIndex, const void* lpData, u32 uSize);
    u32 OptionReloginDelay(const char* lpszText);
    int HelperLoginRequest(u32 uIndex, u32 uParam);
    void HelperLoginSend(u32 uIndex);
    void HelperLoginReRequest();
    void HelperLoginRestart(u32 uReconnect);
    void HelperLoginTimeout();
    void HelperLoginStateReset();
    void HelperLoginModeSwitch(u32 uErr);
    void HelperReloginDelay();
    int HelperReloginStart();
    void HelperReloginReport(u32 uErr, u32 uExpire, u32 uType, const char* lpszSess, const char* lpszParam);
    void HelperLoginSvrPeerCheck();
    u32 HelperSvrPeerSetAddr();
    u32 HelperSendActive();
    void HelperCheckReceive();
    void HelperCheckCreate();
    void HelperErrorReport(u32 uObject, u32 uMethod, u32 uError);
    u32 HelperSendText(u32 uObject, u32 uMethod, u32 uReply, u32 uError, u32 uParam, u32 uPeer, const char* lpszFormat,
                       ...) __attribute__((format(printf, 8, 9)));
    u32 DigestGen(u32 uIndex, const char* lpszText, char* lpszOut, u32 uSize);
    u32 WallSeconds() const;
    void LoginTimer();
    void NotifyServerSync(u32 uSet);
    void NotifySelfSync(u32 uSet);
    void NotifyNoAuth();
    void RecvLoginReply(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    void RecvKickOut(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    void RecvAgentLoginReply(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    void RecvAgentMessage(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);

    // Status, resolution and connect (qvClassPeerStatus.cpp).
    struct RESO_S {
        QV_LINK_S<RESO_S> link;
        u32 uLimit = 0;                 // passes left; kResoNoLimit for the server's own address
        u32 uAction = 0;                // 0 address setting, 1 status reply, 2 resolve request
        u32 uObject = 0;
        u32 uParam = 0;                 // the peer type of a status reply
        QV_STRING addr, proxy, proxy6;
        QV_ADDR_S aAddr[8];
        u32 uCount = 0;
        QV_ADDR_S proxyAddr, proxy6Addr;
    };
    int ReqStatus(u32 uIndex);
    int ReqGetInfo(u32 uIndex, u32 uParam);
    u32 HelperAddrSetting(u32 uIndex, const char* lpszAddr, const char* lpszProxy, const char* lpszProxy6);
    u32 ResoluteReqSetAddr(u32 uIndex, const QV_ADDR_S* lpAddr, u32 uCount, const QV_ADDR_S& proxy,
                           const QV_ADDR_S& proxy6, u32 uSuccess);
    u32 ResoluteRecvStatusReply(u32 uIndex, const QV_ADDR_S& addr, QV_ADDR_S proxy, const QV_ADDR_S& proxy6,
                                u32 uType, u32 uSuccess);
    u32 ResoluteAdd(u32 uAction, u32 uObject, u32 uParam, const char* lpszAddr, const char* lpszProxy,
                    const char* lpszProxy6, u32 uLimit);
    void ResoluteRemove(u32 uAction, u32 uObject, const char* lpszAddr, const char* lpszProxy,
                        const char* lpszProxy6);
    void ResoluteTimerProc();
    void ResoluteClean();
    void HelperSvrAddrReset();
    void PeerOffLine(u32 uIndex, u32 uErr);
    u32 PeerInfoBuild(u32 uIndex, u8* lpBuf, u32 uSize, u32* lpuThrough);
    void HelperReportPeerInfo(u32 uIndex, u32 uTry);
    void NotifyTimeout(u32 uIndex, u32 uType, u32 uParam);
    void SendResoReply(const char* lpszName, const QV_ADDR_S& addr);
    void DispForwardReport(u32 uBits);
    void HelperRedirectNat64(char* lpszParam, u32 uSize);
    void RecvStatusReply(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    void RecvResoRequest(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);
    void RecvStatusNotify(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen);

    CQVSocket* m_pSocket;
    CQVNodeClassProc* m_pProc;

    NEW_S* m_pNew;
    u32 m_uNewMax;
    NEW_LIST m_NewFree;
    NEW_LIST m_NewUsed;

    PEER_S* m_pPeer;
    u32 m_uPeerMax;
    PEER_LIST m_PeerFree;
    PEER_LIST m_PeerUsed;
    PEER_CREATE_LIST m_PeerCreate;
    PEER_MASK_LIST m_PeerMask;
    CQVNodeHash m_AddrHash;

    u32 m_uSide;
    u32 m_uTick;
    u32 m_uNodeOption;
    u32 m_uPrivSvr;
    u32 m_uSelf;
    u32 m_uClassOption;

    QV_STRING m_ClientInfo;
    char m_szSvrAddr[128];   // the server address text last set
    QV_STRING m_LocalText[2];
    QV_ADDR_S m_LocalAddr[2];

    // Login state (the login itself comes with the server session).
    u32 m_uLoginMode;
    u32 m_uLoginStatus;
    u32 m_uPeerTraffic;
    u32 m_uExpire;
    u32 m_uLoginTimeout;
    u32 m_uReloginInterval;
    u32 m_uReloginMax;
    u32 m_uMainSpeed;
    u32 m_uThroughWait;
    u32 m_uRecvBufSize;
    u32 m_uSockOptDefault[2];
    u32 m_uClassRestrict;
    u32 m_uAuthOption;

    // Login and keep-alive state beside the fields above (all times in node seconds unless
    // said otherwise).
    struct LOGIN_S {
        u32 uCountdown = 0;        // seconds left in status 1, 2 or 4
        u16 uCount = 0;            // successful logins of this session, sent with each login
        u32 uTry = 0;              // relogin delay multiplier
        u32 uReqHandle = 0;        // parameter of the outstanding API login request
        u32 uRecnnt = 0;           // 0 none, 1 reconnect at the next login, else time of an error reply
        u32 uType = 0;             // account type from the login reply
        QV_STRING user, pass, param;
        u32 uActiveAge = 0;        // seconds since the last keep-alive
        u32 uActiveTime = 0;       // time of the oldest unanswered keep-alive, 0 none
        u32 uActiveStamp = 0;      // the transport's stamp at that keep-alive
        u32 uLostTime = 0;         // when peer traffic was first seen without a login
        QV_ADDR_S lastPublic{};    // the node's outside address at the last login
        u32 uWasLoggedIn = 0;      // watchdog: a login was up at the last tick
        u32 uIdleSince = 0;        // watchdog: wall-clock seconds since no login is up
        s32 iWallSkew = 0;         // seconds added to the wall clock (tests)
    } m_Login;
    CQVList<RESO_S> m_Reso;

    // Receive buffer and the parser and string the handlers reuse.
    u8* m_pRecvBuf;
    IQVOMLParser* m_pParser;
    IQVString* m_pString;
    u8* m_pDigestBuf;
    u32 m_uDigestCap;

    // Backlogs.
    u32 m_uRblMax;
    u32 m_uSblMax;
    CQVList<RBL_S> m_Rbl;
    u32 m_uRblCount;
    CQVList<SBL_S> m_Sbl;
    u32 m_uSblCount;
    CQVList<CALL_S> m_Calls;

    // While a pass of pending sends runs (m_uPendPass): the socket whose queue of priority 0
    // refused a message in it, 0 none. The rest of the pass tries nothing more on that queue.
    u32 m_uPendPass;
    u32 m_uPendFull;
    bool PendQueueFull(const PEER_S* p) const { return m_uPendPass && p->uSockID && p->uSockID == m_uPendFull; }
    void PendRefused(const PEER_S* p)
    {
        if (m_uPendPass)
            m_uPendFull = p->uSockID;
    }

    STAT_S m_Stat;
};
