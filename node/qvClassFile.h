// File class of the node: each object is one end of a byte stream between two peers, a file
// on disk (file extension, slot 0) or a forwarded TCP stream (TCP extension, slot 6). One end
// asks with a Put (it sends) or a Get (it receives), the other end's application accepts or
// refuses; then the sending end reads its extension and sends the bytes to the peer within a
// share of that peer's send window, and the receiving end writes them into its extension,
// asking the sender to pause while its buffers are full.
#pragma once

#include "qvNodeDef.h"
#include "qvOMLParser.h"
#include "qvString.h"
#include "qvTable.h"

// Application requests (IQVNode::ObjectRequest).
#define QV_FILE_REQ_SETOPTION 2
#define QV_FILE_REQ_PUT 32
#define QV_FILE_REQ_GET 33
#define QV_FILE_REQ_STATUS 34
#define QV_FILE_REQ_CANCEL 35

// Extension requests to the application (IQVNodeProc::OnExtRequest).
#define QV_FILE_EXT_DEBUG 31
#define QV_FILE_EXT_PUT 32      // the peer asks to Put into this end
#define QV_FILE_EXT_GET 33      // the peer asks to Get from this end
#define QV_FILE_EXT_STATUS 34
#define QV_FILE_EXT_CANCEL 35   // the peer cancelled
#define QV_FILE_EXT_BLOCKED 36  // saving has been blocked for the object's block time-out

// Object flags (IQVNode::ObjectAdd).
#define QV_FILE_FLAG_TCP 0x1          // move the data through the TCP extension
#define QV_FILE_FLAG_DRAIN 0x2        // on cancel, move what is buffered before ending
#define QV_FILE_FLAG_SYNC_END 0x4     // end when the peer's sync is lost
#define QV_FILE_FLAG_TRUNCATE 0x8     // the receiving file starts empty
#define QV_FILE_FLAG_SPEED_EDGE 0x10  // also report status when the speed starts or stops
#define QV_FILE_FLAG_DEBUG 0x100000   // send debug texts to the application

// Error codes returned to the application or sent in a StartReply.
#define QV_FILE_ERR_FAIL 1
#define QV_FILE_ERR_PARAM 2
#define QV_FILE_ERR_METHOD 4
#define QV_FILE_ERR_OBJECT 5
#define QV_FILE_ERR_STATE 6
#define QV_FILE_ERR_NOFILE 7
#define QV_FILE_ERR_TIMEOUT 12
#define QV_FILE_ERR_DENIED 13
#define QV_FILE_ERR_SEND 14
#define QV_FILE_ERR_BUSY 15

// Status record (extension request 34 with the class option 0).
typedef struct tagQV_PARAM_FILE_ST_S {
    char Path[256];
    char PeerPath[256];
    u32 Speed;    // bytes per second; 0 unless transferring
    u32 Status;   // 1 starting, 2 transferring, 3 idle
    u32 Request;  // 1 for a Put, 0 for a Get (on both ends)
    u32 Side;     // 1 on the sending end
    u64 Offset;
    u64 ReqSize;
    u64 CurSize;  // acknowledged (sending end) or saved (receiving end) bytes
} QV_PARAM_FILE_ST_S;

// Put and Get data (class option 0).
typedef struct tagQV_PARAM_FILE_REQ_S {
    char Path[256];
    char PeerPath[256];
    u32 TimerVal;  // seconds between status reports, 0 none
    u32 uPad;
    u64 Offset;
    u64 Size;      // 0: the rest of the file
} QV_PARAM_FILE_REQ_S;

// The peer's Put or Get, passed to the application (extension requests 32 and 33).
typedef struct tagQV_PARAM_FILE_ASK_S {
    char PeerPath[256];
    u64 Offset;
    u64 Size;
} QV_PARAM_FILE_ASK_S;

// The application's acceptance of the peer's Put or Get.
typedef struct tagQV_PARAM_FILE_ACCEPT_S {
    char Path[256];
    u32 TimerVal;
} QV_PARAM_FILE_ACCEPT_S;

// SetOption data: Item 0 the class's transfer buffer size in KiB, Item 1 the object's block
// time-out in seconds.
typedef struct tagQV_PARAM_FILE_OPTION_S {
    u32 Item;
    char Value[256];
} QV_PARAM_FILE_OPTION_S;

class CQVClassFile : public IQVClass
{
public:
    CQVClassFile();
    ~CQVClassFile() override;

    void Delete() override;
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
    void OnExtend(u32 uExtInst, u32 uA, u32 uB, u64 uC, u32 uInstParam) override;
    void OnTimer(u32 uSeconds) override;
    const char* OnGetName() override;
    void OnControl(u32 uA, u32 uB, u32 uC) override;

    // Per-peer record: the share of the peer's send window each sending object may use.
    struct PEER_S {
        QV_LINK_S<PEER_S> link;      // free list or list of records in use
        QV_LINK_S<PEER_S> linkHash;  // hash bucket
        u32 uPeer;                   // peer object handle
        u32 uShare;                  // KiB of send window per sending object
        u32 uCount;                  // objects with unsent data for this peer
    };

    // Extra receive buffer, used while the transfer buffer is full.
    struct PAUSE_BUF_S {
        QV_LINK_S<PAUSE_BUF_S> link;
        u8* pBuf;
        u32 uCount;
    };

    struct OBJ_S {
        QV_LINK_S<OBJ_S> link;       // free list or list in use
        QV_LINK_S<OBJ_S> linkRetry;  // retry list
        u32 uObject;
        u32 uFlag;
        u32 uMCast;       // data multicast (sending end)
        u32 uPeer;
        u32 uStatus;      // 0 no object, 1 starting, 2 transferring, 3 idle
        u32 uStaMask;
        u32 uRetry;       // bit 0 data send pending, bit 1 start reply pending, bit 2 start request pending
        u32 uRetryCount;  // seconds the start request has waited to go out
        u32 uSession;     // session cookie, the parameter of every message of the session
        u32 uWaiter;      // waiter of the application's pending Put or Get
        u32 uTimerCount;  // seconds since the last status report
        u32 uTimerVal;    // status report interval in seconds, 0 none
        QV_STRING strPeerName;
        QV_STRING strPath;
        QV_STRING strPeerPath;
        u32 uRequest;     // low 4 bits 1 Put, 0 Get (this end asked); 0x10 this end sends
        u64 ullOffset;
        u64 ullReqSize;   // all ones: unlimited
        u64 ullAckSize;   // sending end: bytes the peer acknowledged
        u64 ullStopSize;  // receiving end: where to stop
        u32 uSpeedBytes;
        u32 uActiveCount;   // seconds without received data (receiving end)
        u32 uBlockTimeout;  // seconds, 0 off
        u32 uBlockCount;
        u32 uPauseFlag;
        u32 uPauseStamp;
        u32 uBufCount;
        CQVList<PAUSE_BUF_S> PauseList;
        u8* pBuf;           // transfer buffer
        u32 uBufLen;        // its size, fixed for the session
        u32 uDataSize;      // bytes in it
        u32 uDataPos;       // bytes of it already sent or saved
        u64 ullProcSize;    // bytes read from or written to the extension
        // Speed meter.
        u32 auSpeed[4];
        u32 uSpeedTick;
        u32 uSpeedPeak;
        u32 uSpeed;
        u64 ullSpeedSum;
        u32 uSpeedRead;
        u32 uSpeedWrite;
        u32 uSpeedWrap;
        u32 uExtInst;
        u32 uExtID;
        QV_STRING strExtOption;
        // Bookkeeping of the data multicast.
        u64 ullSentSize;   // bytes queued to the peer so far
        u64 ullResAcked;   // the acknowledged total last seen in the multicast's result
        u32 uIdleCount;    // seconds the receiving end waited for data after the peer ended
        // Peer whose waiting data message this object kept unread: the queue gives no further
        // message until it is read, so a session that ends must take it out.
        u32 uHeldPeer;
    };

private:
    CQVClassFile(const CQVClassFile&) = delete;
    CQVClassFile& operator=(const CQVClassFile&) = delete;

    typedef CQVList<OBJ_S, &OBJ_S::link> OBJ_LIST;
    typedef CQVList<OBJ_S, &OBJ_S::linkRetry> RETRY_LIST;
    typedef CQVList<PEER_S, &PEER_S::link> PEER_LIST;
    typedef CQVList<PEER_S, &PEER_S::linkHash> PEER_BUCKET;

    static const u32 kPeerBuckets = 32;
    static const u32 kRecvBufSize = 4096;

    OBJ_S* ObjGet(u32 uPrivID);
    u32 PrivID(const OBJ_S* o) const { return (u32)(o - m_pObj); }
    static u32 IsSender(const OBJ_S* o) { return (o->uRequest & 0x10) != 0; }
    // The requesting end asked for a Put (and sends) or a Get (and receives).
    static u32 IsRequester(const OBJ_S* o) { return ((o->uRequest & 0x0F) != 0) == IsSender(o); }
    // Receiving end: where saving stops.
    static u64 SaveTarget(const OBJ_S* o) { return o->ullStopSize < o->ullReqSize ? o->ullStopSize : o->ullReqSize; }
    // Receiving end: bytes held in the transfer buffer and the pause buffers, not yet saved.
    static u64 RecvBuffered(const OBJ_S* o);
    void Disp(OBJ_S* o, u32 uBits);
    // A forwarded TCP socket's step runs at once on the calling thread (the dispatch lock is
    // held by every caller of the class): a dispatch pass would add a thread wake-up. Other
    // objects, and any object while a dispatch runs, get a dispatch.
    void DispTcpNow(OBJ_S* o, u32 uBits);
    // Runs the steps at once and again while a data step makes progress; 0 when the object
    // went away meanwhile.
    u32 DispNowLoop(OBJ_S* o, u32 uBits);
    void DispOther(OBJ_S* o, u32 uOther);
    void ObjClear(OBJ_S* o);
    void RetryAdd(OBJ_S* o);
    void BufFree(OBJ_S* o);
    // A transfer buffer of uLen bytes, from the spares when there is one.
    u8* BufTake(u32 uLen);
    // Keeps a transfer buffer of the current size as a spare (at most kSpareBufMax).
    void BufGive(u8* pBuf, u32 uLen);
    void SpareBufClear();
    void PeerName(u32 uPeer, QV_STRING* pOut);
    // A message of the running session from the recorded peer.
    u32 FromPeer(const OBJ_S* o, u32 uParam, u32 uPeer);
    // The peer a requesting end asked: its group when that is a peer object.
    u32 GroupPeer(const OBJ_S* o, u32 uPeer);

    // Messages.
    u32 SendCtrl(OBJ_S* o, u32 uMethod, u32 uFlag, const void* lpData, u32 uSize, u32 uCookie, u32 uPeer,
                 u32* lpuAllocFailed = nullptr);
    u32 SendOnUnit(u32 uUnit, u32 uFlag, const void* lpData, u32 uSize);
    u32 PackSize(const OBJ_S* o, u64 ullSize, u8* lpOut);
    u32 SendStartReply(OBJ_S* o, u32 uUnit, u32 uError);
    // Requesting end: the StartRequest of the Put or Get; 0 when refused (*lpuAllocFailed set
    // when no unit could be had).
    u32 SendStartRequest(OBJ_S* o, u32* lpuAllocFailed);
    u32 SendStop(OBJ_S* o);
    void SendPause(OBJ_S* o, u32 uMethod, u32 uFlag);
    void RecvCtrl(OBJ_S* o, u32 uMethod, u32 uFlag, u32 uParam, u32 uPeer, const u8* lpData, u32 uSize);
    void RecvStartRequest(OBJ_S* o, u32 uParam, u32 uPeer, const u8* lpData, u32 uSize);
    void RecvStartReply(OBJ_S* o, u32 uFlag, u32 uParam, u32 uPeer, const u8* lpData, u32 uSize);
    void RecvStop(OBJ_S* o, u32 uCancel, u32 uParam, u32 uPeer, const u8* lpData, u32 uSize);
    void RecvPauseReport(OBJ_S* o, u32 uParam, u32 uPeer, const u8* lpData, u32 uSize);
    void RecvPauseQuery(OBJ_S* o, u32 uParam, u32 uPeer, u32 uSize);

    // Application requests and answers.
    int ReqSetOption(OBJ_S* o, const void* lpData, u32 uSize);
    int ReqPutAndGet(OBJ_S* o, u32 uMethod, const void* lpData, u32 uSize, u32 uParam);
    int ReqCancel(OBJ_S* o);
    int ExtRepStart(OBJ_S* o, u32 uError, const void* lpData, u32 uSize, u32 uUnit);
    void PassPeerRequest(OBJ_S* o);
    void MakeOption(OBJ_S* o);
    u32 TextLoad(const void* lpData, u32 uSize);
    u32 TextGet(const char* lpszKey, QV_STRING* pOut);
    u32 TextGetU64(const char* lpszKey, u64* pOut);
    void TextAppend(QV_STRING& strOut, const char* lpszKey, const char* lpszValue);
    void Reply(OBJ_S* o, u32 uError, u32 uParam);
    // Answers the application's pending Put or Get; 0 when no live waiter was left.
    u32 FinishWaiter(OBJ_S* o, u32 uError);
    // Method of a multicast unit, all ones for a stale one.
    u32 UnitMethod(u32 uUnit);
    u32 FindStartReplyUnit(OBJ_S* o);
    void FreeStartReplyUnits(OBJ_S* o);

    // Transfer steps.
    u32 DispStart(OBJ_S* o);
    u32 DispLoad(OBJ_S* o);
    u32 DispSave(OBJ_S* o);
    void DispStatus(OBJ_S* o);
    void DispError(OBJ_S* o);
    u32 DispStop(OBJ_S* o);
    void HelperStop(OBJ_S* o);
    void HelperReset(OBJ_S* o);
    void ReleaseHeld(OBJ_S* o);
    void FillStatus(OBJ_S* o, QV_PARAM_FILE_ST_S& st);
    void SendStatus(OBJ_S* o, const QV_PARAM_FILE_ST_S& st);
    // One second of the speed meter; 1 when the speed changed between zero and non-zero.
    u32 SpeedTick(OBJ_S* o);
    void DebugText(OBJ_S* o, const char* lpszFormat, ...) __attribute__((format(printf, 3, 4)));

    // Data path. *lpuLoad asks the caller for another read of the extension (room was made).
    u32 HelperSendData(OBJ_S* o, u32* lpuLoad);
    // *lpuLoad (when given) asks the caller to read the extension again instead of a dispatch.
    u32 HelperSendDataNext(OBJ_S* o, u32* lpuLoad = nullptr);
    u32 HelperRecvData(OBJ_S* o, u32 uPeer, u32 uExtra, u32* lpuOther, u32* lpuTaken);
    void HelperRecvRun(OBJ_S* o);
    void HelperSendResult(OBJ_S* o, const QV_MCAST_RES_S* lpRes);
    void HelperSendRemain(OBJ_S* o);
    void CompactSend(OBJ_S* o);
    void CompactRecv(OBJ_S* o);
    u32 PauseBufAdd(OBJ_S* o);
    void PauseBufClear(OBJ_S* o);
    void PeerChange(OBJ_S* o, u32 uPeer);

    // Peer records.
    PEER_S* PeerFind(u32 uPeer);
    void PeerCount(OBJ_S* o);
    void PeerRelease(OBJ_S* o);
    void PeerShare(PEER_S* p);
    // The peer's share of uRemain free blocks among its sending objects.
    void PeerShareOf(PEER_S* p, u32 uRemain);

    IQVClassProc* m_pProc;
    u32 m_uOption;
    u32 m_uStamp;
    OBJ_S* m_pObj;
    u32 m_uObjMax;
    u32 m_uLastSend;
    OBJ_LIST m_FreeList;
    OBJ_LIST m_UseList;
    RETRY_LIST m_RetryList;
    PEER_S* m_pPeer;
    PEER_LIST m_PeerFree;
    PEER_LIST m_PeerList;
    PEER_BUCKET m_PeerHash[kPeerBuckets];
    u8* m_pRecvBuf;
    IQVOMLParser* m_pParser;
    IQVString* m_pStr;
    u32 m_uBufSize;
    // Transfer buffers of ended sessions, all of m_uSpareBufLen bytes, for the next starts:
    // without them each new connection's start allocated its buffers and the end of the
    // connection before it gave them back to the system, both under the dispatch lock, at
    // up to hundreds of microseconds each (the pages were returned and faulted in again).
    static const u32 kSpareBufMax = 8;
    u8* m_apSpareBuf[kSpareBufMax];
    u32 m_uSpareBufCount;
    u32 m_uSpareBufLen;
    // The object whose OnDisp runs now and the bits it dispatched to itself meanwhile: they
    // are returned from OnDisp instead of queued, so that none is lost.
    OBJ_S* m_pDispObj;
    u32 m_uDispSelf;
};
