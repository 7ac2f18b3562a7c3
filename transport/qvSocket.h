// Peer socket layer: reliable, ordered, prioritised and optionally encrypted messages to peers,
// over the datagrams of the socket process.
#pragma once

#include "qvType.h"
#include "qvSocketAddr.h"
#include "qvTable.h"
#include "qvThread.h"
#include "qvTimer.h"
#include "qvUtilize.h"
#include "qvTQue.h"
#include "qvAesCbc.h"
#include "qvCrypto.h"
#include "qvDgramOut.h"
#include "qvSockEvent.h"

#include <atomic>
#include <mutex>

// Message descriptor between the node and the socket layer.
typedef struct tagQV_SK_BUF_S {
    u32 uHandle;   // sender's own tag; stays local (events 3 and 5, SendDropByHandle)
    u32 uObject;   // carried in the data header
    u16 uMethod;   // carried in the data header
    u16 uFlag;     // carried in the data header
    u32 uPrio;     // 0-3; on receive above 3 = the first priority with a message
    u32 uHandle2;  // second handle word, carried to the receiver
    u32 uSize;     // data length on send, buffer capacity on receive
    u8* lpData;
    u32 uRemain;   // out: free send blocks (Send), remaining in-order blocks (Receive)
} QV_SK_BUF_S;

// Socket events delivered to the owner (CQVNode::SocketProc).
#define QV_SOCK_EVENT_REPORT 0
#define QV_SOCK_EVENT_NEW 1
#define QV_SOCK_EVENT_CONNECT 2
#define QV_SOCK_EVENT_ACKED 3
#define QV_SOCK_EVENT_RECV 4
#define QV_SOCK_EVENT_DISCARD 5
#define QV_SOCK_EVENT_POSTED 6

// Options of Send.
#define QV_SOCK_SEND_ENCRYPT 0x1
#define QV_SOCK_SEND_SINGLE 0x2
#define QV_SOCK_SEND_HFLAG 0x8

// Options of Receive.
#define QV_SOCK_RECV_FILL 0x1
#define QV_SOCK_RECV_GATHER 0x2

// Socket packet layout: byte 0 is 0, byte 1 the action, all integers big-endian.
#define QV_SKP_INITQ 1
#define QV_SKP_INITR 2
#define QV_SKP_ENCQ 3
#define QV_SKP_ENCR 4
#define QV_SKP_DATA 5
#define QV_SKP_ACK 6
#define QV_SKP_NAMEQ 7
#define QV_SKP_NAMER 8

#define QV_SKP_HEADROOM 64      // bytes in front of every packet for the lower layers
#define QV_SKP_MAX_DGRAM 2048   // offset + length of an accepted datagram
#define QV_SKP_INIT_LEN 188     // InitQ / InitR as sent
#define QV_SKP_INIT_MIN 140     // shortest InitQ / InitR accepted
#define QV_SKP_DATA_HDR 24
#define QV_SKP_ACK_LEN 16
#define QV_SKP_ACK_EX_LEN 32    // Ack with a missing range
#define QV_SKP_NAME_LEN 164
#define QV_SKP_ENC_HDR 12
#define QV_SKP_BLOCK_MAX 1336   // header + payload of one block

// Data flags (byte 2 of Data).
#define QV_SKD_ACKREQ 0x01
#define QV_SKD_LAST 0x02
#define QV_SKD_SINGLE 0x04
#define QV_SKD_ENC 0x08
#define QV_SKD_OPT8 0x10
#define QV_SKD_RANGE 0x40

class CQVSocketProc;
struct tagQV_RELAY_INFO_S;
struct tagQV_ADDR_PAIR_S;

// Receiver of the socket layer's events and timer calls (the node implements it).
class IQVSocketOwner {
public:
    // Socket events 0-6; non-zero when the event was taken. Called with no lock of the layer held.
    virtual u32 SocketProc(u32 uEvent, u32 uVal1, u32 uVal2, u32 uVal3, u32 uVal4, u32 uParam,
                           u32 uExtra, u32 uSockID) = 0;
    // Every 10 ms on the timer thread; uStamp is the wall clock in ms.
    virtual void SocketTimer(u32 uStamp) = 0;
    // Called by Delete after the slot was marked for freeing (also for a stale uSockID).
    virtual void SocketDrop(u32 uSockID) = 0;
    // The private value of a peer socket changed.
    virtual void SocketSetParam(u32 uSockID, u32 uOld, u32 uNew) = 0;
    // The dispatcher or the socket process thread started (1) or stopped (0).
    virtual void SocketThreadStatus(u32 uStatus) = 0;

protected:
    ~IQVSocketOwner() {}
};

// What the socket layer needs of the socket process. The layer talks to the socket process
// only through this, so that the data path can also run over any datagram carrier.
class IQVSocketLower {
public:
    virtual ~IQVSocketLower() {}
    // cfg: the eleven words of the socket process configuration.
    virtual u32 Initialize(void* lpContext, const u32* lpCfg) = 0;
    virtual void Clean() = 0;
    virtual u32 Add(const QV_ADDR_S& addr, u32 uSockID) = 0;
    virtual void Delete(u32 uHandle) = 0;
    virtual u32 Search(const QV_ADDR_S& addr, u32& uSockID) = 0;
    virtual u32 SetPeerParam(u32 uHandle, u32 uSockID) = 0;
    virtual u32 GetPeerAddr(u32 uHandle, QV_ADDR_S* lpAddr) = 0;
    // Bytes sent (> 0), else 0 or -1; *lpuCnntUsed = the connection really used.
    virtual s32 Send(u32 uHandle, const QV_BUF_S& buf, u32 uCnntID, u32 uMode, u32* lpuCnntUsed) = 0;
    virtual s32 SendDirect(const QV_ADDR_S& addr, const QV_BUF_S& buf, u32 uDriv) = 0;
    virtual u32 Ctrl(u32 uHandle, u32 uCmd, u32 uValue) = 0;
    // Up to uMax pairs (connection id, value) of the peer's connections; the pair count.
    virtual u32 GetPeerCnntAddr(u32 uHandle, u32* lpPairs, u32 uMax) = 0;
    virtual u32 SetMainSpeed(u32 uSpeed, u32 uRoom) = 0;
    virtual u32 SetSelfPeer(const char* lpszName) = 0;
    virtual u32 GetTryTimeout() = 0;
    virtual u32 SetLoopSpeed(u32 uSpeed) = 0;
    // The socket process behind this carrier, for the configuration pass-throughs; may be null.
    virtual CQVSocketProc* GetProc() { return 0; }
};

class CQVSocket;

// The default datagram carrier: the socket process, owned by the socket layer.
IQVSocketLower* qvSocketLowerNew(CQVSocket* pSocket);

class CQVSocketTimer : public IQVTimerProc {
public:
    CQVSocketTimer() : m_pSocket(0) {}
    virtual ~CQVSocketTimer() {}
    void OnTimer(u32 uHandle, u32 uParam) override;
    CQVSocket* m_pSocket;
};

class CQVSocketDisp : public CQVThread {
public:
    CQVSocketDisp() : m_pSocket(0) {}
    void Proc() override;
    CQVSocket* m_pSocket;
};

class CQVSocket : public IQVSockEvent {
public:
    // Configuration record filled by the node.
    struct CFG_S {
        u16 uTableSize;      // peer-socket slots
        u16 uSide;           // 0 client, else server
        u16 uSendQue[4];     // blocks per priority
        u16 uRecvQue[4];     // blocks per priority
        u16 uInitWnd[4];     // blocks per priority
        u16 uProcValue[6];   // [0]: connect try timeout of the socket process, seconds
        u32 uNodeOption;     // 0x100: batch receive
        u32 uProcWord;       // backoff base of the socket process
    };

    CQVSocket();
    virtual ~CQVSocket();
    CQVSocket(const CQVSocket&) = delete;
    CQVSocket& operator=(const CQVSocket&) = delete;

    // Lifecycle and configuration.
    void Attach(IQVSocketOwner* pOwner);
    // Replaces the datagram carrier (before Initialize); the layer does not own it.
    void SetLower(IQVSocketLower* pLower);
    void SetConfig(const CFG_S& cfg);
    void GetConfig(CFG_S& cfg) const;
    u32 Initialize(void* lpContext);
    void Clean();
    u32 SetMDU(u32 uMDU);
    u32 SetInitWnd(u32 uWnd);
    u32 SetMainSpeed(u32 uSpeed);
    u32 SetLoopSpeed(u32 uSpeed);
    u32 SetName(const char* lpszName);
    s32 SetDropTimeout(u32 uSockID, u32 uSeconds);
    u32 SetPeerMDU(u32 uSockID, u32 uMDU);
    u32 GetCurrentStamp();
    // Drop limit of a peer socket in timer passes (SetDropTimeout), 0 none.
    u32 GetDropLimit(u32 uSockID);
    // The eleven words of the socket process configuration built from CFG_S.
    void BuildProcCfg(u32* lpCfg) const;
    u32 IsInitialized() const { return m_uInit.load(); }

    // Peer sockets.
    u32 Add(const QV_ADDR_S* lpAddr, u32 uNewID, u32 uParam, u32 uPrepare);
    void Delete(u32 uSockID);
    s32 Reconnect(u32 uSockID);
    u32 Move(u32 uSockIDDst, u32 uSockIDSrc);
    u32 SetPeerParam(u32 uSockID, u32 uParam);
    u32 SetPeerAddr(u32 uSockID, const QV_ADDR_S* lpAddr);
    s32 PostNodeEvent(u32 uSockID, u32 uP1, u32 uP2, u32 uP3, u32 uP4, u32 uExtra);
    u32 NewGet(u32 uNewID, QV_ADDR_S& addr);
    u32 NewGetInitParam(u32 uNewID, char* lpszName, u32& uCookie);
    s32 NewBufGet(u32 uNewID, QV_SK_BUF_S& buf);
    void NewDelete(u32 uNewID);
    u32 GetPeerName(u32 uSockID, char* lpszDst, u32 uSize);
    u32 GetPeerRecvStamp(u32 uSockID);
    u32 SetPeerOption(u32 uSockID, u32 uOption, const char* lpszValue);

    // Hand-overs to the socket process.
    void* GetSocketPrivate(u32 uDriv);
    u32 SetAddr(const QV_ADDR_S* lpAddr, u32 uWhich);
    u32 GetAddr(QV_ADDR_S* lpAddr, u32 uWhich);
    u32 SetAssemAddr(const tagQV_ADDR_PAIR_S* lpPairs, u32 uCount);
    u32 SetProxy(const QV_ADDR_S* lpList, u32 uCount);
    u32 GetCurProxy(QV_ADDR_S& addr);
    u32 SetRelay(const tagQV_RELAY_INFO_S* lpList, u32 uCount, u32 uFlag);
    u32 SetNetEnable(u32 uEnable);
    u32 SetLabel(const char* lpszLabel);
    u32 SetParam(u32 uItem, const void* lpValue, u32 uSize);
    u32 GetParam(u32 uItem, void* lpValue, u32* lpuSize);
    u32 AddrNat64Enable();
    u32 AddrNat64Remove(QV_ADDR_S* lpAddr);
    u32 AddrNat64Fill(QV_ADDR_S* lpAddr);
    u32 CheckDrivAddr(const QV_ADDR_S* lpAddr);
    u32 SetPeerProxy(u32 uSockID, const QV_ADDR_S* lpProxy4, const QV_ADDR_S* lpProxy6);
    u32 GetPeerInfo(u32 uSockID, u32* lpuOut);
    u32 GetPeerAddr(u32 uSockID, QV_ADDR_S* lpAddr);
    u32 GetPeerAddrInfo(u32 uSockID, u32* lpuType, QV_ADDR_S* lpSelf, QV_ADDR_S* lpPeer, QV_ADDR_S* lpLocal,
                        QV_ADDR_S* lpRemote, QV_ADDR_S* lpProxy, QV_ADDR_S* lpPriv);

    // Sending.
    s32 Send(u32 uSockID, QV_SK_BUF_S& buf, u32 uOption);
    s32 SendFind(u32 uSockID, QV_SK_BUF_S& buf, u32 uOption, u64 uFrom, u64 uTo);
    s32 SendDropByHandle(u32 uSockID, u32 uPrio, u32 uHandle);
    s32 SendDropByObject(u32 uSockID, u32 uPrio, u32 uObject);
    s32 SendRemain(u32 uSockID, u32 uPrio);
    s32 SendQueStatus(u32 uSockID, u32 uPrio, u32* lpuFree, u32* lpuUsed);

    // Receiving.
    s32 Receive(u32 uSockID, QV_SK_BUF_S& buf, u32 uOption);
    s32 ReceiveRemain(u32 uSockID, u32& uPrio, u32 uObject, u32 uMethod);
    void ReceiveDrop(u32 uSockID, u32 uPrio, u32 uMethod, u32 uObject, u32 uHandle2, u32 uCheck);
    s32 ReceiveQueStatus(u32 uSockID, u32 uPrio, u32* lpuFree, u32* lpuUsed);

    // Callbacks of the socket process.
    void SockEventData(QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID, u32 uDriv) override;
    void SockEventDataProc(const QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID);
    void SockEventDataPull() override;
    void SockEventConnect(u32 uSockID, u32 uAction) override;
    void SockEventReport(u32 uSockID, u32 uReport) override;
    void SockEventCnntAddr(u32 uSockID, u32 uAdd, u32 uCnntID, u32 uValue) override;
    void SocketProcThreadStatus(u32 uStatus) override;
    void SockEventBatchEnd() override;

    // Timer and dispatcher bodies.
    void TimerProc();
    // One timer pass of the peer sockets (handshake resends, delayed acks, resend timers,
    // give-up counting), run at once on the caller's thread.
    void TimerPass();
    void DispProc();

    // Counters of dropped packets, by cause (for the log and the tests).
    struct STAT_S {
        std::atomic<u32> uShort;     // shorter than its action needs
        std::atomic<u32> uBadLen;    // a length field disagrees with the datagram
        std::atomic<u32> uBadRange;  // an ack range out of bounds
        std::atomic<u32> uBadPad;    // encrypted block with a bad pad count
        std::atomic<u32> uTooLong;   // datagram beyond 2048 bytes
        std::atomic<u32> uNoKey;     // encrypted block without a key
        std::atomic<u32> uRefused;   // a message Send refused for want of room in its ring
    };
    const STAT_S& GetStat() const { return m_Stat; }

    // Block buffer of the pool.
    struct BUF_S {
        QV_LINK_S<BUF_S> link;
        u8* pData;
        u32 uOffset;
        u32 uSize;
        u32 uLen;
        u32 uFlags;     // 0x1 unnumbered, 0x2 sent, 0x4 acked, 0x8 counted in flight,
                        // 0x10 sent before the peer's first ack (it may still have been
                        // in its handshake and dropped it: no sign of congestion)
        u32 uHandle;
        u32 uBlockNo;
        u32 uPathID;
        u32 uResendStamp;
    };

    // Connection path.
    struct CNNT_PATH_S {
        QV_LINK_S<CNNT_PATH_S> link;
        u32 uID;
        u32 uValue;
        u32 uGen;
        u32 uWnd;
        u32 uInFlight;
        u32 uSmoothWnd;
        u32 uResendIntv;
        u32 uLossMarks;
        u32 uLossEnd[4];      // per priority: block number after the last one out at the loss
        u32 uBackoff;
        u32 uBackoffStamp;
        u32 uSampleBlock;
        u32 uSampleTick;
        u32 uRtt;
        u32 uPeakWnd;
        u32 uThreshold;
        u32 uAckedCount;
        u32 uIncMark;
        u32 uCheckStamp;
        u32 uRate[4];
        u32 uRateSum;
        u32 uRateCount;
        u32 uRateHead;
        u32 uAvgRate;
        u32 uSamplePrio;
    };

    enum { PRIO_NUM = 4 };

private:
    friend class CQVSocketTimer;
    friend class CQVSocketDisp;

    // Holds m_SectDisp. The carrier's datagrams made meanwhile are only collected (m_Out)
    // and leave once the lock is released, so that no system call runs under it; on the
    // socket process thread they leave at the end of its pass (SockEventBatchEnd).
    class SectDisp {
    public:
        explicit SectDisp(CQVSocket* p) : m_p(p), m_Capture(&p->m_Out) { p->m_SectDisp.lock(); }
        ~SectDisp()
        {
            m_p->m_SectDisp.unlock();
            m_Capture.End();
            if (!qvDgramDeferred()) m_p->m_Out.Flush();
        }
        SectDisp(const SectDisp&) = delete;
        SectDisp& operator=(const SectDisp&) = delete;

    private:
        CQVSocket* m_p;
        CQVDgramCaptureScope m_Capture;
    };
    friend class SectDisp;
    // Wakes the dispatcher, or on the socket process thread marks it for the end of the
    // pass: one wake per batch of received datagrams.
    void DispWake();

    struct SEND_Q_S {
        CQVTQue<BUF_S*> que;
        u32 uBase;
        u32 uLastTick;
        u32 uNext;
        u32 uAcked;
        u32 uTimer[2];        // top-resend pass counter, pass count at the last top resend
        u32 uWndClosed;
        u32 uPeerWnd;
        u32 uNoAckRun;
        u32 uAckState;
        u32 uResendDown;
        u32 uSentTick;
        u32 uBurst;
        u32 uPathVal2;
        u32 uBadAck;
        u32 uIdle;            // window-limited flag
        u32 uMode;            // 0 single path, 1 multipath
        u32 uIdleStamp;       // seconds
        CNNT_PATH_S* pPath;
        u32 uResendIntv;
        u32 uRoundTick;
        u32 uResendCnt;       // resend timer pass counter
        u32 uLastAckTick;
        u32 uRangeOnce;
        // Object and method of the last message queued: one-block messages that repeat them
        // are a stream (SendNow).
        u32 uLastObject;
        u32 uLastMethod;
    };
    struct RECV_Q_S {
        CQVTQue<BUF_S*> que;
        u32 uBase;
        u32 uHigh;
        u32 uInOrder;
        u32 uAdvRoom;
        u32 uDelayTicks;
        u32 uEvtMark;         // 1 + first block number of the message last announced, 0 none
    };
    typedef CQVList<CNNT_PATH_S> PATH_LIST;

    struct SOCK_S {
        QV_LINK_S<SOCK_S> link;      // free / used
        QV_LINK_S<SOCK_S> linkDisp;
        QV_LINK_S<SOCK_S> linkTimer;
        QV_LINK_S<SOCK_S> linkPaced;
        QV_LINK_S<SOCK_S> linkInit;
        QV_LINK_S<SOCK_S> linkWait;
        u32 uProcHandle;
        u16 uInUse;
        u16 uCookie;
        u32 uOwnFlags;
        u32 uDisp;
        u32 uTimerFlags;
        u32 uParam;
        u32 uMDU;
        u32 uRecvStamp;
        char szPeerName[128];
        u32 uCookieLcl;
        u32 uCookieRmt;
        u32 uCrypto;
        u32 uPeerFlags;
        u32 uState;
        u32 uInitQuery;
        u32 uInitTry;
        u32 uReplyCnnt;
        PATH_LIST paths;
        CNNT_PATH_S* pTop;
        u32 uPathGen;
        u32 uDispPrio[4];
        u32 uTimerPrio[4];
        SEND_Q_S send[4];
        RECV_Q_S recv[4];
        u32 uPeerNext[4];
        u32 uPacedMask;
        u32 uWaitMask;
        u32 uTryCount;
        u32 uDropLimit;
        u32 uIdleCount;
        u32 uSendPend;
        u32 uPeerCookieSeen;  // the peer's cookie as last learned, kept across resets
        u32 uPeerNewRecv;     // the peer restarted: its queues are gone (receive side)
        u32 uPeerNewSend;     // the peer restarted: its queues are gone (send side)
        u32 uPeerAcked;       // an ack came from the peer since the handshake
    };
    struct NEW_S {
        QV_LINK_S<NEW_S> link;       // free / pending
        NEW_S* pHashNext;
        QV_ADDR_S addr;
        u16 uCookie;
        u16 uAnnounced;
        char szName[128];
        u32 uCookieSrc;
        u32 uInitParam;
        CQVTQue<BUF_S*> held;
    };
    struct EVENT_S {
        QV_LINK_S<EVENT_S> link;
        u32 uEvent;
        u32 uVal[4];
        u32 uParam;
        u32 uExtra;
        u32 uSockID;
    };
    struct REPORT_S {
        QV_LINK_S<REPORT_S> link;
        u32 uKind;
        u32 uSockID;
        u32 uCode;
    };
    struct BATCH_S {
        QV_LINK_S<BATCH_S> link;
        u8 aData[QV_SKP_MAX_DGRAM];
        u32 uOffset;
        u32 uLen;
        u32 uSockID;
        u32 uCnntID;
        QV_ADDR_S addr;
        BUF_S* pPlain;        // an encrypted Data block decrypted ahead of its handling, or 0
        u32 uPlainKey;        // the crypto slot it was decrypted with
    };
    // A key of the pass's blocks decrypted ahead, expanded away from m_SectDisp.
    struct PASS_KEY_S {
        u32 uHandle;          // crypto slot, 0 none
        u8 aKey[32];
        CQVAesCbc aes;
    };
    typedef CQVList<SOCK_S> SOCK_LIST;
    typedef CQVList<SOCK_S, &SOCK_S::linkDisp> DISP_LIST;
    typedef CQVList<SOCK_S, &SOCK_S::linkTimer> TIMER_LIST;
    typedef CQVList<SOCK_S, &SOCK_S::linkPaced> PACED_LIST;
    typedef CQVList<SOCK_S, &SOCK_S::linkInit> INIT_LIST;
    typedef CQVList<SOCK_S, &SOCK_S::linkWait> WAIT_LIST;
    typedef CQVList<BUF_S> BUF_LIST;
    typedef CQVList<NEW_S> NEW_LIST;
    typedef CQVList<EVENT_S> EVENT_LIST;
    typedef CQVList<REPORT_S> REPORT_LIST;
    typedef CQVList<BATCH_S> BATCH_LIST;

    // Table and handshake.
    // The slot a socket id names (index in range, cookie matching), in use or not; null else.
    SOCK_S* SockSlot(u32 uSockID);
    SOCK_S* SockGet(u32 uSockID);
    u32 SockID(const SOCK_S* s) const;
    u32 SockIndex(const SOCK_S* s) const;
    u32 SockSearch(const QV_ADDR_S& addr);
    SOCK_S* SockAlloc(const QV_ADDR_S& addr, u32 uParam);
    void SockFree(SOCK_S* s);
    void SockClean();
    void SockResetFields(SOCK_S* s);
    void ResetInitStart(SOCK_S* s);
    void InitRestart(SOCK_S* s, u32 uCnntID);
    void PeerCookieLearn(SOCK_S* s, u32 uCookie);
    u32 NewAlloc(const QV_ADDR_S& addr, u32 uInitParam, const char* lpszName, u32 uCookieSrc,
                 BUF_S* pBlock);
    NEW_S* NewGetRec(u32 uNewID);
    NEW_S* NewSearch(const QV_ADDR_S& addr);
    void NewFree(NEW_S* n);
    void NewDrop(const QV_ADDR_S& addr);
    void NewClean();
    u32 NewID(const NEW_S* n) const;
    u32 SendInit(SOCK_S* s, u32 uAction);
    u32 SendName(SOCK_S* s, u32 uCnntID);
    void SendSimulateReply(const QV_ADDR_S& addr, const QV_BUF_S& buf, u32 uDriv);
    u32 RecvInitQ(const QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID);
    u32 RecvInitR(const QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID);
    u32 SockEventDataLocked(const QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID);
    s32 SocketProcSend(SOCK_S* s, const u8* lpPkt, u32 uLen, u32 uCnntID, u32 uMode, u32* lpuUsed);

    // Key exchange.
    u32 RecvEncQ(const QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID);
    u32 RecvEncR(const QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID);
    u32 SendEnc(SOCK_S* s, u32 uAction);
    // A key was just established: the blocks of the send rings that are out go again.
    void SendEncReady(SOCK_S* s);
    void CryptoClose(SOCK_S* s);

    // Send path.
    BUF_S* BufAlloc(const u8* lpSrc, u32 uLen, u32 uWithHeader);
    void BufFree(BUF_S* b);
    void BufClean();
    void SendDataTry(SOCK_S* s, u32 uPrio);
    // Sends the newly queued blocks (uBlocks of them) of an idle priority, or a one-block
    // message behind blocks already out, at once (uQueued: blocks queued before them;
    // uStream: the message repeats the object and method of the one before it); 0 when it
    // is left to the dispatcher.
    u32 SendNow(SOCK_S* s, u32 uPrio, u32 uQueued, u32 uBlocks, u32 uStream);
    u32 SendData(SOCK_S* s, u32 uPrio, BUF_S* b, u32 uIndex, u32 uType, u32 uCnntID);
    // Encrypts the payloads of the encrypted blocks among uCount blocks of a send ring from
    // index uFrom (at most QV_AES_MANY_MAX) side by side, ahead of their SendData, which then
    // only puts the header in front. Each goes to its own datagram buffer of m_pEncBuf.
    void SendEncAhead(SOCK_S* s, SEND_Q_S& q, u32 uFrom, u32 uCount);
    // The datagram buffer holding b's payload encrypted ahead (taken), or 0.
    u8* SendEncTake(SOCK_S* s, BUF_S* b);
    void SendEncForget();
    u32 SendWndRemain(SOCK_S* s, u32 uPrio, CNNT_PATH_S* p);
    void SendQueueReset(SOCK_S* s);
    void SendQInit(SEND_Q_S& q, u32 uInitWnd);
    void SendDrop(SOCK_S* s, u32 uPrio, u32 uMode, u32 uValue);
    u32 SendDispMask(SOCK_S* s);
    u32 SendUnacked(SOCK_S* s, u32 uPrio);

    // Receive path.
    u32 RecvData(const QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID);
    u32 RecvAck(const QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID);
    u32 SendAck(SOCK_S* s, u32 uPrio, u32 uGap, u32 uRangeStart, u32 uRangeSize, u32 uCnntID);
    u32 ReceiveCheck(SOCK_S* s, u32 uPrio, u32 uObject, u32 uMethod);
    void ReceiveDropLocked(SOCK_S* s, u32 uPrio, u32 uMethod, u32 uObject, u32 uHandle2, u32 uCheck);
    u32 DispRecvData(SOCK_S* s);
    u32 DispRecvAck(SOCK_S* s);
    void ReceiveQueueReset(SOCK_S* s);
    u32 RecvKeptRun(SOCK_S* s, u32 uPrio);
    void EventDrop(const EVENT_S& e);

    // Paths and congestion.
    CNNT_PATH_S* CnntPathSearch(SOCK_S* s, u32 uID);
    CNNT_PATH_S* CnntPathAdd(SOCK_S* s, u32 uID, u32 uValue);
    void CnntPathDelete(SOCK_S* s, CNNT_PATH_S* p);
    void CnntPathClean(SOCK_S* s);
    void CnntPathUpdate(SOCK_S* s);
    CNNT_PATH_S* CnntPathZero(SOCK_S* s);   // path 0, added when missing
    void CnntPathPrioMin(SOCK_S* s);
    void CnntPathResetCount(SOCK_S* s, CNNT_PATH_S* p);
    void CnntPathForget(SOCK_S* s);
    CNNT_PATH_S* CnntPathSelect(SOCK_S* s, u32 uPrio);
    u32 CnntPathInBackoff(const CNNT_PATH_S* p) const;
    void CnntPathSmoothWndUpdate(CNNT_PATH_S* p);
    void CnntPathTakeValues(SOCK_S* s, CNNT_PATH_S* p);
    void CnntPathWndIncrease(SOCK_S* s, CNNT_PATH_S* p);
    u32 CnntPathAckBuf(SOCK_S* s, BUF_S* b);
    void CnntPathUncount(SOCK_S* s, BUF_S* b);
    void RecvAckCheckLoss(SOCK_S* s, u32 uPrio);
    u32 DispSendData(SOCK_S* s);
    void SendMultiPathSingle(SOCK_S* s, u32 uPrio, u32 uAll);
    void SendMultiPathRange(SOCK_S* s, u32 uPrio, u32 uAll, u32 uOnce);
    void SendMultiPathTop(SOCK_S* s, u32 uPrio);
    u32 AnyWndLimited(SOCK_S* s);
    void DispPaced(SOCK_S* s, u32 uPrio);

    // Dispatcher.
    u32 EventPost(u32 uEvent, u32 uV1, u32 uV2, u32 uV3, u32 uV4, u32 uParam, u32 uExtra, u32 uSockID);
    void EventRemove(u32 uEvent, u32 uV1, u32 uV2, u32 uV3, u32 uV4, u32 uParam, u32 uExtra, u32 uSockID);
    void DispSignal(u32 uBits);
    void ListDispPush(SOCK_S* s, u32 uBits, u32 uPrio);
    void TimerDispPush(SOCK_S* s, u32 uBits, u32 uPrio);
    void TimerDispDelete(SOCK_S* s, u32 uBits, u32 uPrio);
    void DispPushSendTimer(SOCK_S* s, u32 uPrio);
    void DispInitPendCount();
    void DispWalk();
    void DispSock(SOCK_S* s);
    void DispResend(SOCK_S* s);
    void DispTimerWalk();
    void DispReports();
    void DispWndCheck();
    // Hands queued events to the owner, at most uMax (counted down); 1 when the queue was
    // emptied.
    u32 DispDeliver(u32& uMax);
    // One dispatcher pass (the dispatch bits under m_SectDisp) and the delivery of at most
    // uMax of the events queued so far; the caller holds m_DispRun. 1 when none is left.
    u32 DispPass(u32& uMax);
    // At the end of a pass of the socket process thread: runs the dispatcher passes its
    // datagrams asked for on that thread when the dispatcher is idle; else wakes it.
    void DispInline();
    // Datagrams of one pass of the socket process thread, handled together under one hold
    // of m_SectDisp (PassRecvProc) instead of one hold each. Only that thread uses them.
    u32 PassRecvPush(const QV_ADDR_S& addr, const QV_BUF_S& buf, u32 uSockID, u32 uCnntID);
    void PassRecvProc();
    // Encrypted Data blocks that RecvData will keep are decrypted ahead, each into the block
    // it will hold, with m_SectDisp held only to pick them (their ring slots still empty) and
    // to copy the keys: the decryption itself leaves the lock to the other threads.
    struct AHEAD_S {
        u32 aHandle[2];       // crypto slots of the keys picked, 0 none
        u8 aKey[2][32];
    };
    // 1 when any of the n datagrams is an encrypted Data packet (no lock needed); clears
    // their blocks decrypted ahead.
    u32 AheadAny(BATCH_S* const* ap, u32 n);
    // Under m_SectDisp: gives the datagrams to decrypt their blocks and keys (at most two
    // keys; the datagrams of others are left to RecvData); the number picked.
    u32 AheadPick(BATCH_S* const* ap, u32 n, AHEAD_S& a);
    // Without the lock: decrypts the picked ones with lpKeys[2] (expanded again only for a
    // changed key; kept by the caller's thread) and wipes a's key copies.
    void AheadRun(BATCH_S* const* ap, u32 n, AHEAD_S& a, PASS_KEY_S* lpKeys);
    // Under m_SectDisp: handles one datagram, RecvData taking its block decrypted ahead;
    // what SockEventDataLocked returns.
    u32 RecvDecryptedAhead(BATCH_S* b);
    // The crypto slot of an encrypted Data packet RecvData would keep now, and the length
    // of its encrypted part; 0 when it would not (or is not such a packet). No side effects.
    u32 RecvKeepEncrypted(const u8* p, u32 uLen, u32 uSockID, u32& uEnc);
    void BatchRecvPush(const QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID);
    void BatchRecvProc();
    u32 BatchRecvInit();
    void BatchRecvClean();
    void QueuesClean();

    IQVSocketOwner* m_pOwner;
    IQVSocketLower* m_pLower;
    IQVSocketLower* m_pLowerOwn;   // the default carrier, made by the constructor
    void* m_lpContext;
    CQVSocketTimer m_Timer;
    CQVSocketDisp m_Disp;
    CQVCrypto m_Crypto;
    std::mutex m_SectDisp;
    CQVDgramOut m_Out;
    std::atomic<u32> m_uWakePend{0};
    // Held by the thread running a dispatcher pass and delivering events (the dispatcher,
    // or the socket process thread when the dispatcher is idle): the owner is called from
    // one thread at a time, and the events leave the queue in order.
    std::mutex m_DispRun;
    CQVEvent m_EventDisp;
    std::mutex m_EventMutex;
    std::mutex m_ReportMutex;

    CFG_S m_Cfg;
    u32 m_uSendQueMax;
    u32 m_uInitWndMax;
    u32 m_uMDU;
    u32 m_uGiveUp[2];
    u32 m_uMainSpeed;
    std::atomic<u32> m_uInitPend;
    u32 m_uTimerHandle;
    std::atomic<u32> m_uTick;
    std::atomic<u32> m_uStamp;
    std::atomic<u32> m_uSecond;
    u32 m_uPassCount;
    char m_szName[128];
    std::atomic<u32> m_uInit;
    u32 m_uDispStarted;
    u32 m_uSide;
    u32 m_uBatch;

    std::atomic<u32> m_uDispMask;
    std::atomic<u32> m_uCheck;
    u32 m_uSendPendCount;
    std::atomic<u32> m_uPaced;   // set by the dispatcher, read by the timer

    SOCK_S* m_pSocks;
    u32 m_uSockCount;
    SOCK_LIST m_SockFree;
    SOCK_LIST m_SockUsed;
    DISP_LIST m_DispList;
    TIMER_LIST m_TimerList;
    PACED_LIST m_PacedList;
    INIT_LIST m_InitList;
    WAIT_LIST m_WaitList;

    NEW_S* m_pNews;
    u32 m_uNewCount;
    NEW_LIST m_NewFree;
    NEW_LIST m_NewPend;
    NEW_S* m_pNewHash[8];

    BUF_LIST m_BufFree[8];
    BUF_LIST m_BufUsed[8];

    EVENT_LIST m_EventQue;
    EVENT_LIST m_EventFree;
    REPORT_LIST m_ReportQue;
    REPORT_LIST m_ReportFree;

    BATCH_S* m_pBatch;
    BATCH_LIST m_BatchFree;
    BATCH_LIST m_BatchPend;
    BATCH_S* m_pPassIn;   // the socket process thread's datagrams of its pass (PassRecvPush)
    PASS_KEY_S m_aPassKey[2];   // the socket process thread's (PassRecvProc)
    PASS_KEY_S m_aBatchKey[2];  // BatchRecvProc's, under m_BatchRun
    std::mutex m_BatchRun;      // one BatchRecvProc at a time
    // The block decrypted ahead for the datagram being handled (PassRecvProc to RecvData),
    // and its crypto slot; only under m_SectDisp.
    BUF_S* m_pRecvPlain;
    u32 m_uRecvPlainKey;
    u32 m_uPassIn;
    u32 m_uPassSeen;      // datagrams other than acks the socket process thread took in since its last pass end
    u32 m_uPassData;      // Data packets among the datagrams of that thread's pass (any mode)

    // QV_AES_MANY_MAX + 1 datagram buffers of QV_SKP_MAX_DGRAM bytes: one per payload
    // encrypted ahead, the last one for a payload encrypted alone.
    u8* m_pEncBuf;
    BUF_S* m_apEncAhead[QV_AES_MANY_MAX];   // the block whose payload is in buffer k, or 0
    u32 m_uEncAheadKey;                     // the crypto slot they were encrypted with
    u8* m_pCmpBuf;
    STAT_S m_Stat;
};

// Process-wide NAT64 prefix of the socket source (kept for compatibility; unused).
u32 qvSocketAddrNat64Enable(const QV_ADDR_S* lpAddr, const QV_ADDR_S* lpAddr2);
u32 qvSocketAddrNat64Is(const QV_ADDR_S* lpAddr);
u32 qvSocketAddrNat64Clean(QV_ADDR_S* lpAddr);
u32 qvSocketAddrNat64Build(QV_ADDR_S* lpAddr);

// Big-endian fields of the socket packets.
inline u32 qvSkRd32(const u8* p) { return (u32)p[0] << 24 | (u32)p[1] << 16 | (u32)p[2] << 8 | p[3]; }
inline u32 qvSkRd16(const u8* p) { return (u32)p[0] << 8 | p[1]; }
inline void qvSkWr32(u8* p, u32 v) { p[0] = (u8)(v >> 24); p[1] = (u8)(v >> 16); p[2] = (u8)(v >> 8); p[3] = (u8)v; }
inline void qvSkWr16(u8* p, u32 v) { p[0] = (u8)(v >> 8); p[1] = (u8)v; }
