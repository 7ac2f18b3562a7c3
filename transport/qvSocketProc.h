// The socket process: the layer between the socket layer (CQVSocket) and the four
// network drivers. It owns the drivers, the peer table with each peer's connection
// addresses, connect scheduling and the data path, and runs one thread that waits on
// every driver descriptor and on a loopback message queue.
#pragma once

#include <atomic>

#include "qvType.h"
#include "qvTable.h"
#include "qvSocketAddr.h"
#include "qvUtilize.h"
#include "qvThread.h"
#include "qvNodeHash.h"
#include "qvSocketUti.h"   // CQVSocketQueue
#include "qvSockDriv.h"
#include "qvSockEvent.h"
#include "qvSockDrivUDP4.h"
#include "qvSockDrivUDP6.h"
#include "qvSockDrivTCP.h"
#include "qvSockDrivLAN.h"

// Path of a peer as the socket layer knows it.
typedef struct tagQV_SOCK_CNNT_ADDR_S {
    u32 uCnntID;     // connection id word: id << 16 | cookie
    u32 uThrough;    // through priority, smaller is better
} QV_SOCK_CNNT_ADDR_S;

// Peer status bits.
#define QV_PEER_STA_LAN 0x1u
#define QV_PEER_STA_RELAY 0x2u
#define QV_PEER_STA_PXYREQ 0x4u
#define QV_PEER_STA_TCP 0x8u
#define QV_PEER_STA_SHORT 0x10u
#define QV_PEER_STA_UDP4 0x20u
#define QV_PEER_STA_UDP6 0x40u
#define QV_PEER_STA_TCPWORK 0x80u
#define QV_PEER_STA_RELAYUDP 0x100u
#define QV_PEER_STA_REPORTED 0x200u
#define QV_PEER_STA_SILENT 0x400u
#define QV_PEER_STA_PROBE 0x1000u
#define QV_PEER_STA_MPREQ 0x2000u
#define QV_PEER_STA_MPON 0x4000u
#define QV_PEER_STA_EXTPUB 0x8000u
#define QV_PEER_STA_DIRECT 0x60u
#define QV_PEER_STA_RELAYED 0x180u
#define QV_PEER_STA_PATHS 0x1E0u

#define QV_SOCKPROC_PEER_NONE 0xFFFFFFu
#define QV_SOCKPROC_CNNT_MAX 31u
#define QV_SOCKPROC_FD_MAX 64u
#define QV_SOCKPROC_ENVELOPE 24u

class CQVSocketProc;

class CQVSocketProcThread : public CQVThread {
public:
    CQVSocketProcThread() : m_lpProc(nullptr) {}
    void Attach(CQVSocketProc* lpProc) { m_lpProc = lpProc; }
    void Proc() override;

private:
    CQVSocketProc* m_lpProc;
};

class CQVSocketProcQueue : public CQVSocketQueue {
public:
    CQVSocketProcQueue() : m_lpProc(nullptr) {}
    void Attach(CQVSocketProc* lpProc) { m_lpProc = lpProc; }
    void OnOpen() override {}
    void OnClose() override;

private:
    CQVSocketProc* m_lpProc;
};

class CQVSocketProc : public IQVSocketProc {
public:
    // Filled by the socket layer; read once by Initialize.
    struct CFG_S {
        u32 uTryTimeout;    // seconds
        u32 uParam[5];      // not read
        u32 uSide;          // server mode when non-zero
        u32 uTableSize;     // peer table slots
        u32 uSendQueSum;    // handed to the drivers
        u32 uNodeOption;    // bit 0x10: start with receiving disabled
        u32 uBackoff;       // first relayed retry interval, ticks
    };

    CQVSocketProc();
    virtual ~CQVSocketProc();

    // Driver callbacks (IQVSocketProc).
    void OnAddrUpdate(u32 uDrivType, const QV_ADDR_S* lpAddr, u32 uFlags) override;
    void OnSetSock(u32 uDrivType, i32 hSocket, u32 uFdMask, u32 uPriv) override;
    u32 OnData(u32 uDrivType, const QV_ADDR_S* lpAddr, const QV_BUF_S* lpBuf, u32 uLimit) override;
    u32 OnPostMessage(u32 uDrivType, u32 uMsg, u32 uParam0, u32 uParam1) override;
    void OnConnect(u32 uDrivType, const QV_ADDR_S* lpAddr, u32 uUp) override;
    void OnReport(u32 uDrivType, u32 uReport) override;
    void OnActive(u32 uDrivType, const QV_ADDR_S* lpTarget, const QV_ADDR_S* lpProxy) override;
    void OnInteract(u32 uDrivType, u32 uOp, void* lpValue, u32 uSize) override;

    // Lifecycle.
    void Attach(IQVSockEvent* lpSock);
    u32 Initialize(void* lpContext, CFG_S& Cfg);
    void Clean();
    u32 PostMessage(u32 uMsg, u32 uParam0, u32 uParam1, u32 uParam2);

    // Configuration.
    void* GetPrivate(u32 uDrivType);
    u32 GetTryTimeout();
    u32 SetNetEnable(u32 uEnable);
    u32 SetLoopSpeed(u32 uSpeed);
    u32 SetMainSpeed(u32 uSpeed, u32 uRoom);
    u32 SetParam(u32 uItem, const void* lpValue, u32 uSize);
    u32 GetParam(u32 uItem, void* lpValue, u32* lpuSize);
    u32 SetAddr(const QV_ADDR_S& Addr, u32 uWhich);
    u32 GetAddr(QV_ADDR_S& Addr, u32 uWhich);
    u32 SetLabel(const char* lpszLabel);
    u32 SetRelay(const QV_RELAY_INFO_S* lpList, u32 uCount);
    u32 SetRelayExt(const QV_RELAY_INFO_S* lpList, u32 uCount);
    u32 SendDirect(const QV_ADDR_S& Addr, const QV_BUF_S& Buf, u32 uDrivType);

    // Main station.
    u32 SetProxy(const QV_ADDR_S* lpList, u32 uCount);
    u32 SetSelfPeer(const char* lpszName);
    u32 GetSelfPeer(char* lpszOut, u32 uSize);
    u32 GetCurProxy(QV_ADDR_S& Addr);
    u32 AddrNat64Fill(QV_ADDR_S* lpAddr);
    u32 AddrNat64Remove(QV_ADDR_S* lpAddr);
    u32 AddrNat64Enable();
    u32 SetAssemAddr(const QV_ADDR_PAIR_S* lpPairs, u32 uCount);
    static u32 StrHashCode(const char* lpszName);

    // Peers.
    u32 Add(const QV_ADDR_S& AddrMain, u32 uSockID);
    u32 Delete(u32 uHandle);
    u32 Search(const QV_ADDR_S& Addr, u32& uSockID);
    u32 SetPeerParam(u32 uHandle, u32 uSockID);
    u32 GetPeerAddr(u32 uHandle, QV_ADDR_S* lpAddr);
    u32 GetPeerInfo(u32 uHandle, u32* lpuOut);
    u32 GetPeerAddrInfo(u32 uHandle, u32* lpuType, QV_ADDR_S* lpSelf, QV_ADDR_S* lpPeer, QV_ADDR_S* lpLocal,
                        QV_ADDR_S* lpRemote, QV_ADDR_S* lpProxy, QV_ADDR_S* lpPriv);
    u32 GetPeerCnntAddr(u32 uHandle, QV_SOCK_CNNT_ADDR_S* lpOut, u32 uMax);
    u32 SetPeerOption(u32 uHandle, u32 uOption, const char* lpszValue);
    u32 SetPeerProxy(u32 uHandle, const QV_ADDR_S* lpProxy4, const QV_ADDR_S* lpProxy6);
    u32 CheckDrivAddr(const QV_ADDR_S* lpAddr);

    // Data path. Send returns the bytes sent or 0xFFFFFFFF.
    u32 Send(u32 uHandle, const QV_BUF_S& Buf, u32 uCnntID, u32 uMode, u32* lpuCnntUsed);
    u32 Ctrl(u32 uHandle, u32 uType, u32 uFlag);

    // Process thread body (called by CQVSocketProcThread).
    void ThreadProc();
    // The queue socket was closed under us.
    void OnQueueClose();

    // The process tick (one per second).
    u32 GetTick() const { return m_uTick; }
    // Runs uCount process ticks now, as the thread does once a second (the queue
    // keep-alive, which watches the loopback socket in real time, excepted); lets a
    // caller drive the long timers without waiting for them.
    void TickRun(u32 uCount);

    // Relay information block for the TCP driver: u32 count, then up to 7 records of
    // 136 bytes; returns the bytes used (4 + 136 x count).
    static u32 BuildRelayInfo(u8* lpBlock, u32 uSize, const QV_RELAY_INFO_S* lpList, u32 uCount);
    // Through priority of a net type code (smaller is better).
    static u32 GetThroughPrio(u32 uThrough);
    // Buckets of the peer hash for a table of uSlots peers.
    static u32 PeerHashBuckets(u32 uSlots);

private:
    friend class CQVSocketProcProbe;   // white-box access for the tests

    struct DRIV_REC_S {
        u32 uFlags;
        u32 uTick;
        u32 uCookie;
    };
    struct CNNT_ADDR_S {
        QV_LINK_S<CNNT_ADDR_S> link;   // on its peer's address list, best first
        u32 uCnntID;        // id << 16 | cookie
        u32 uMask;
        u32 uRecvBytes;
        u32 uRecvTick;
        u32 uSendTick;
        u32 uSortTick;
        u32 uThrough;
        QV_ADDR_S Addr;
        DRIV_REC_S Driv[QV_SOCK_DRIV_MAX];
        u32 uReqSent;       // connect requests ('B') sent to this address
    };
    typedef CQVList<CNNT_ADDR_S> ADDR_LIST;
    struct DRIV_ADDR_S {
        QV_LINK_S<DRIV_ADDR_S> link;       // on the process list, newest last
        QV_LINK_S<DRIV_ADDR_S> peerLink;   // on the list of the peer that taught it
        QV_HASH_LINK_S AddrHash;
        QV_HASH_LINK_S CookieHash;
        u32 uCookie;
        u32 uDrivType;
        u32 uMask;
        u32 uPeer;          // index of the peer that taught it, QV_SOCKPROC_PEER_NONE for none
        QV_ADDR_S Addr;
    };
    typedef CQVList<DRIV_ADDR_S, &DRIV_ADDR_S::peerLink> TAUGHT_LIST;
    struct SOCK_PEER_S {
        QV_LINK_S<SOCK_PEER_S> link;      // on the free or the used list
        QV_HASH_LINK_S Hash;
        QV_LINK_S<SOCK_PEER_S> cnntLink;  // on the connect list while it is trying to connect
        u32 uIndex;
        u16 usCookie;
        u16 usZero;
        u32 uHandle;
        u32 uSockID;
        u32 uStatus;
        u32 uSilentTick;
        u32 uRecvTick;
        u32 uThrough;
        u32 uDrivSel;
        u32 uMultiPath;
        u32 uTryTick;
        u32 uTryCount;
        u32 uKickTime;
        u32 uKickIntv;
        u32 uRelayTryTick;
        u32 uRelayIntv;
        u32 uEnumCookie;
        u32 uRecvPath;
        u32 uMPChangeTick;
        u32 uMPOnTick;
        QV_ADDR_S AddrMain;
        u32 uMainDriv;
        QV_ADDR_S AddrAlt;
        u32 uAltDriv;
        QV_ADDR_S AddrPxy4;
        QV_ADDR_S AddrPxy6;
        ADDR_LIST Addrs;
        TAUGHT_LIST Taught;   // driver addresses this peer saw us at, oldest first
    };
    typedef CQVList<SOCK_PEER_S> PEER_LIST;
    typedef CQVList<SOCK_PEER_S, &SOCK_PEER_S::cnntLink> CNNT_LIST;
    struct ENUM_S {
        ENUM_S* lpNext;
        u32 uCookie;
        QV_ADDR_S Addr;
    };
    struct TCP_DEL_S {
        TCP_DEL_S* lpNext;
        u32 uType;
        u32 uTick;
        QV_ADDR_S Addr;
    };
    struct SOCK_FD_S {
        u32 uDrivType;
        i32 hSocket;
        u32 uMask;
        u32 uPriv;
    };
    struct ADDR_STA_S {
        QV_ADDR_S Addr;
        u32 uDrivType;
        u32 uSendTick;
        u32 uAnswerTick;
        QV_SKT_ADDR_NAT64_STA_S Nat64;
    };

    // Lock.
    u32 Lock();
    void Unlock();

    // Core.
    void ProcTick(u32 uNowMs, u32 uKeepAlive);
    u32 MessageProc(u32 uTarget, u32 uMsg, u32 uParam0, u32 uParam1, u32 uParam2);
    u32 PostRecord(u32 uTarget, u32 uMsg, u32 uParam0, u32 uParam1, u32 uParam2);
    u32 SockDrivEnable(u32 uDrivType, u32 uMode);
    void SockDrivCheckEnable();
    void SockDrivDrop(u32 uDrivType);
    void SockDrivCheckTimer();
    u32 HelperEnableSocketDriv();
    IQVSocketDriv* Driv(u32 uDrivType);
    u32 DrivEnabled(u32 uDrivType) const { return uDrivType < QV_SOCK_DRIV_MAX && (m_uDrivState[uDrivType] & 1); }
    u32 DrivAbsent(u32 uDrivType) const;
    void Report(u32 uSockID, u32 uReport);

    // Peer table (peers).
    u32 SockPeerInit(u32 uSlots);
    void SockPeerFreeAll();
    u32 SockPeerHash(const QV_ADDR_S& Addr) const;
    SOCK_PEER_S* PeerByHandle(u32 uHandle);
    template <class F>
    u32 WithPeer(u32 uHandle, F lpfnDo);
    u32 SockPeerSearch(const QV_ADDR_S& Addr);
    u32 SockPeerAlloc(const QV_ADDR_S& AddrMain, u32 uSockID);
    void SockPeerFree(u32 uIndex);
    void SockPeerReset(u32 uIndex, u32 uKeepRelay);
    void SockPeerCnntCtlReset(u32 uIndex);
    void SockPeerHeardDirect(SOCK_PEER_S* lpPeer);
    u32 SockPeerRelayUsing(u32 uExcept);
    void CnntListAdd(SOCK_PEER_S* lpPeer);
    void CnntListRemove(SOCK_PEER_S* lpPeer);
    CNNT_ADDR_S* SockPeerCnntAddrAdd(u32 uIndex, const QV_ADDR_S& Addr);
    void SockPeerCnntAddrDelete(u32 uIndex, CNNT_ADDR_S* lpAddr);
    void SockPeerCnntAddrClean(u32 uIndex, u32 uDrivType);
    CNNT_ADDR_S* SockPeerCnntAddrSearch(u32 uIndex, const QV_ADDR_S& Addr);
    CNNT_ADDR_S* SockPeerCnntAddrSearchByCnntID(u32 uIndex, u32 uCnntID);
    CNNT_ADDR_S* SockPeerCnntAddrSearchByDrivCookie(u32 uDrivType, u32 uCookie, u32* lpuIndex);
    void SockPeerCnntAddrSort(u32 uIndex, CNNT_ADDR_S* lpAddr, u32 uUp);
    void SockPeerCnntAddrReport(u32 uIndex, CNNT_ADDR_S* lpAddr, u32 uUp);
    void SockPeerCnntAddrUpdateAndReq(u32 uIndex, const QV_ADDR_S& Addr, u32 uSend);
    u32 SockPeerCnntAddrMatchDriv(u32 uIndex, u32 uDrivType, const QV_ADDR_S& Addr);
    void SockPeerCnntAddrMaskSet(CNNT_ADDR_S* lpAddr, u32 uBits, u32 uSet);
    u32 SockPeerCnntAddrMaskCount(u32 uIndex, u32 uBits);
    static u32 CnntAddrDrivStaGet(const CNNT_ADDR_S* lpAddr);
    void CnntAddrDrivStaReset(CNNT_ADDR_S* lpAddr, u32 uDrivType);
    u32 CnntAddrDrivStaCheck(CNNT_ADDR_S* lpAddr, u32 uDrivType);
    u32 CnntAddrDrivTypeSet(u32 uIndex, CNNT_ADDR_S* lpAddr, u32 uDrivType, const QV_ADDR_S* lpLocal,
                            u32 uRelayed);
    u32 SockPeerCnntStatusMaskUpdate(u32 uIndex);
    void SockPeerCheckThrough(u32 uIndex, const QV_ADDR_S& Addr, u32 uForce);
    u32 SockPeerSelectAddrPxy(u32 uIndex, u32 uWhich, QV_ADDR_S* lpOut);
    u32 SockPeerAssistMainGet(u32 uIndex, const QV_ADDR_S& Addr, QV_ADDR_S* lpOut);
    u32 SockPeerCnntGetDrivParam(u32 uIndex, u32 uDrivType, const QV_ADDR_S& Addr);
    u32 SockPeerAssistGetBacklog(u32 uIndex);
    DRIV_ADDR_S* SockPeerDrivAddrEnum(u32 uIndex);
    u32 IsValidDrivType(u32 uSel, u32 uDrivType, u32 uRelayed) const;
    static u32 GetAddrPrio(const QV_ADDR_S& Addr, const QV_ADDR_S& AddrMain);
    static u32 GetAddrDrivType(const QV_ADDR_S& Addr);
    static u32 HelperGetDrivParam(const QV_ADDR_S& A, const QV_ADDR_S& B);
    u32 SockPeerOptDrivSel(u32 uIndex, u32 uSel);

    // Driver addresses.
    DRIV_ADDR_S* SockDrivAddrAdd(const QV_ADDR_S& Addr, u32 uDrivType, u32 uMask,
                                 u32 uPeer = QV_SOCKPROC_PEER_NONE);
    u32 SockDrivAddrHashInit(u32 uSlots);
    void SockDrivAddrUnlink(DRIV_ADDR_S* lpEntry);
    static u32 SockDrivAddrHash(const QV_ADDR_S& Addr);
    void SockDrivAddrDelete(DRIV_ADDR_S* lpEntry);
    DRIV_ADDR_S* SockDrivAddrSearch(const QV_ADDR_S& Addr, u32 uDrivType);
    DRIV_ADDR_S* SockDrivAddrSearchByCookie(u32 uCookie);
    u32 SockDrivAddrMaskCheck(u32 uBits);
    void SockDrivAddrClean(u32 uDrivType);
    DRIV_ADDR_S* SockDrivEnumGet(const QV_ADDR_S& Target);
    DRIV_ADDR_S* SockDrivAddrCursorNext(u32& uCursor);
    void SockDrivEnumDelete(const QV_ADDR_S& Target);
    void SockDrivEnumClean();
    void SockDrivAddrDelPush(const QV_ADDR_S& Addr);
    void SockDrivAddrDelClean();
    void SockConnectDrivAddrDrop(u32 uDrivType);
    void SockDrivAddrSweep();

    // Connect scheduling and data path.
    u32 SendAtClient(u32 uIndex, const QV_BUF_S& Buf, u32 uCnntID, u32 uMode, u32* lpuCnntUsed);
    u32 SendAtClientDriv(u32 uIndex, CNNT_ADDR_S* lpAddr, u32 uMode, const QV_BUF_S& Buf);
    u32 SendOnDriv(u32 uIndex, CNNT_ADDR_S* lpAddr, u32 uDrivType, const QV_BUF_S& Buf);
    u32 UdpRecAllowed(const SOCK_PEER_S* lpPeer, const DRIV_REC_S& Rec) const;
    u32 SockConnectPeer(u32 uIndex, u32 uDrivType, u32 uReset);
    void SockConnectTimer();
    void SockConnectCtlReset();
    void SockConnectReset(u32 uDrivType);
    u32 SockPeerCnntAddrCheck(u32 uIndex, u32 uKind);
    u32 SockPeerMultiPathCnnt(u32 uIndex);
    void SockPeerClearPaths(SOCK_PEER_S* lpPeer);
    u32 TcpDrivOn();
    void TcpDrivOff();
    void SendHoleOpen(u32 uIndex);

    // Main station: 'H' requests to the station list, 'I' replies.
    u32 ThisStaMainValid();
    u32 ThisStaIsStation(const QV_ADDR_S& Addr);
    const ADDR_STA_S* ThisStaCur() const;
    u32 ThisStaMainPeer();
    void ThisStaMainReset(u32 uConvert);
    void ThisStaPxyListResetLocked();
    void GetCurProxyLocked(QV_ADDR_S& Addr);
    u32 SockConnectTry(u32 uDrivType, u32 uReset);
    u32 SockConnectPeerMain(u32 uDrivType, u32 uReset);
    void SockCnntMainSend(u32 uDrivType, u32 uRelayMode);
    u32 SockCnntMainSendMsg(ADDR_STA_S& Sta, u32 uTryRelay);
    // Under the mutex; a changed main address leaves socket report 2 pending (m_uMainReportPend).
    void SockCnntMainReply(u32 uDrivType, const QV_ADDR_S& From, const QV_BUF_S& Buf);
    ADDR_STA_S* ThisStaPxyListGet(u32* lpuCount);
    u32 ThisStaMainAddrSet(u32 uDrivType, const QV_ADDR_S& From, const QV_ADDR_S& Redir4, const QV_ADDR_S& Redir6,
                           const QV_ADDR_S& Pub, u32* lpuChanged);
    u32 ThisStaMainPxyRedirect(const QV_ADDR_S& From, const QV_ADDR_S& Redir4, const QV_ADDR_S& Redir6);
    u32 ThisStaMainNat64Check(u32 uDrivType, const QV_ADDR_S& From, const QV_ADDR_S& Pub);

    // Connect-control protocol ('A'..'Q'), backlogs and proxy holes.
    struct CNNT_BACKLOG_TUNNEL_S {
        QV_ADDR_S Addr;     // the tunnel address the request named
        u32 uFlags;         // 0x1 this driver delivered a request, 0x8 it was relayed
    };
    struct CNNT_BACKLOG_S {
        QV_LINK_S<CNNT_BACKLOG_S> link;
        u32 uTick;
        u32 uFlags;         // 0x2 enable relay
        QV_ADDR_S Main;
        QV_ADDR_S Source;
        CNNT_BACKLOG_TUNNEL_S Tunnel[QV_SOCK_DRIV_MAX];
    };
    struct ASSIST_BACKLOG_S {
        QV_LINK_S<ASSIST_BACKLOG_S> link;
        u32 uTick;
        QV_ADDR_S Main;
        QV_ADDR_S Flagged;  // the requester's address flagged as its main (other IP version)
    };
    struct PXY_HOLE_S {
        QV_LINK_S<PXY_HOLE_S> link;
        QV_HASH_LINK_S Hash;
        u32 uTick;          // last use
        QV_ADDR_S Key;      // the client's main address
        QV_ADDR_S Hole;     // its observed outside address
    };
    void SockConnectReceive(u32 uDrivType, const QV_ADDR_S& Source, const QV_BUF_S& Buf);
    void SockCnntRequest(u32 uDrivType, const QV_ADDR_S& Source, const u8* lpMsg, u32 uLen);
    void SockCnntReply(u32 uDrivType, const QV_ADDR_S& Source, const u8* lpMsg, u32 uLen);
    void SockCnntPxyRequestDown(u32 uDrivType, const QV_ADDR_S& Source, const u8* lpMsg, u32 uLen);
    void SockCnntTryingRecv(u32 uDrivType, const QV_ADDR_S& Source, const u8* lpMsg);
    void SockCnntPxyRequest(u32 uDrivType, const QV_ADDR_S& Source, const u8* lpMsg, u32 uLen);
    void SockCnntPxyReply(u32 uDrivType, const QV_ADDR_S& Source, const u8* lpMsg, u32 uLen);
    void SockCnntReplyDown(u32 uDrivType, const QV_ADDR_S& Source, const u8* lpMsg, u32 uLen);
    void SockCnntMainRequest(u32 uDrivType, const QV_ADDR_S& Source, const u8* lpMsg, u32 uLen);
    void SockCnntDeleteRecv(const u8* lpMsg);
    void SockCnntActiveRecv(u32 uDrivType, const QV_ADDR_S& Source, const u8* lpMsg);
    void SockCnntActiveReplyRecv(u32 uDrivType, const QV_ADDR_S& Source, const u8* lpMsg);
    u32 SockCnntTryingSendMsg(u32 uIndex, const QV_ADDR_S& Main, u32 uDrivType, const QV_ADDR_S& Target,
                              u32 uFlags);
    u32 SockCnntTryingSend(u32 uIndex, const QV_ADDR_S& Main, const QV_ADDR_S* lpTargets, u32 uCount, u32 uFlags);
    u32 SockCnntSendSingle(u32 uIndex, CNNT_ADDR_S* lpAddr);
    u32 SockCnntSend(u32 uIndex, u32 uDrivType);
    u32 SockCnntSendDrivType(u32 uIndex, CNNT_ADDR_S* lpAddr, u32 uDrivType);
    u32 SockCnntSendMsg(u32 uIndex, u32 uDrivType, CNNT_ADDR_S* lpAddr, u32 uFlags);
    u32 SockCnntActiveSend(u32 uIndex, CNNT_ADDR_S* lpAddr, u32 uForce);
    u32 SockCnntSendActiveMsg(u32 uHandle, u32 uDrivType, const QV_ADDR_S& Target, const QV_ADDR_S* lpMain,
                              const QV_ADDR_S* lpProxy, u32 uDrivFlags);
    u32 SockCnntPxySend(u32 uIndex, u32 uType, u32 uFlags);
    u32 SockCnntPxySendMsg(u32 uIndex, u32 uType, u32 uFlags);
    u32 SockCnntPxyShortSend(u32 uIndex, u32 uType, u32 uFlags);
    u32 SockCnntPxyShortSendMsg(u32 uIndex, const DRIV_ADDR_S* lpDrivAddr, u32 uFlags);
    u32 SockCnntPxyToStations(u32 uIndex, u8* lpRaw, u32 uLen, u32 uNamesTcp);
    u32 SockCnntDeleteSendMsg(u32 uIndex, u32 uDrivType, CNNT_ADDR_S* lpTarget, const QV_ADDR_S& Deleted);
    u32 SockCnntDeleteSend(u32 uIndex, CNNT_ADDR_S* lpAddr, u32 uDrivType);
    u32 SockCnntDeleteSendDrivAddrDel(u32 uIndex, CNNT_ADDR_S* lpAddr, u32 uDrivType);
    u32 SockCnntDrivParamMain(const QV_ADDR_S& Main, const QV_ADDR_S& Addr);
    u32 SockCnntDrivSend(u32 uDrivType, u32 uSess, const QV_ADDR_S& To, u8* lpRaw, u32 uLen,
                         const QV_ADDR_S* lpProxy, u32 uDrivFlags);
    u32 SockCnntForward(u32 uDrivType, const QV_ADDR_S& To, u8* lpRaw, u32 uLen);
    void SockCnntMainPubAddr(QV_ADDR_S* lpOut);
    void CnntBacklogPush(const QV_ADDR_S& Main, const QV_ADDR_S& Source, u32 uDrivType, const QV_ADDR_S& Tunnel,
                         u32 uFlags);
    u32 CnntBacklogPop(const QV_ADDR_S& Main, QV_ADDR_S* lpSource, u32* lpuFlags, QV_ADDR_S* lpTunnels,
                       u32* lpuTunnelFlags);
    void CnntBacklogUnlink(CNNT_BACKLOG_S* lpEntry);
    void CnntBacklogClean();
    void AssistBacklogAdd(const QV_ADDR_S& Main, const QV_ADDR_S& Flagged);
    u32 AssistBacklogGet(const QV_ADDR_S& Main, QV_ADDR_S* lpFlagged);
    void AssistBacklogUnlink(ASSIST_BACKLOG_S* lpEntry);
    void AssistBacklogTimer();
    void AssistBacklogClean();
    u32 PxyHoleInit();
    PXY_HOLE_S* PxyHoleSearch(const QV_ADDR_S& Key);
    PXY_HOLE_S* PxyHoleAdd(const QV_ADDR_S& Key, const QV_ADDR_S& Hole);
    void PxyHoleDelete(PXY_HOLE_S* lpHole);
    void PxyHoleTimer();
    void PxyHoleClean();

    // Members.
    void* m_lpContext;
    IQVSockEvent* m_lpSock;
    std::atomic<u32> m_uInit;          // read by the process thread, cleared by Clean
    u32 m_uSide;
    u32 m_uNetOption;
    u32 m_uDrivSelDef;
    u32 m_uTryTimeout;
    u32 m_uBackoff;
    std::atomic<u32> m_uRecvDisable;   // set by the node's threads, read on the process thread
    char m_szSelfPeer[128];
    CQVSocketProcThread m_Thread;
    CQVSocketProcQueue m_Queue;
    std::atomic<u32> m_uThreadRun;
    std::atomic<u32> m_uTick;   // written by the process thread, read by the public operations
    u32 m_uQueMiss;
    SOCK_FD_S m_Fd[QV_SOCKPROC_FD_MAX];
    u32 m_uFdUsed;
    u32 m_uFdGen = 0; // changes with the table (under m_SectFd), so the loop re-registers

    // Main station state.
    QV_ADDR_S m_AddrMain;
    u32 m_uMainDriv;
    ADDR_STA_S m_Pxy[8];
    u32 m_uPxyCount;
    ADDR_STA_S m_Redirect[2];
    u32 m_uRedirect;
    u32 m_uStaIndex;
    u32 m_uMainSetTick;
    u32 m_uMainRetryTick;
    u32 m_uMainBackoff;
    // Socket report 2 owed by a main reply that changed the main address (under the mutex).
    // It is raised once the mutex is let go: the socket layer's handler takes the layer's lock
    // and, on the process thread, first handles the datagrams held from earlier in the pass,
    // which call back in here (the mutex does not nest).
    u32 m_uMainReportPend = 0;
    QV_ADDR_PAIR_S m_Assem[64];
    u32 m_uAssemCount;

    IQVSocketDriv* m_lpDriv[QV_SOCK_DRIV_MAX];
    u32 m_uDrivState[QV_SOCK_DRIV_MAX];
    u32 m_uDrivTick[QV_SOCK_DRIV_MAX];
    u32 m_uSweepTick;
    u32 m_uDrivCheck;
    u32 m_uAbsentTried = 0;   // bit per absent driver whose one enable attempt was made

    CQVList<DRIV_ADDR_S> m_DrivAddr;
    // Driver addresses by address and by cookie.
    CQVNodeHash m_DrivAddrHash;
    CQVNodeHash m_DrivCookieHash;
    // Log lines of driver addresses learnt from peers, limited per tick (see SockDrivAddrAdd).
    u32 m_uTaughtLogTick = 0;
    u32 m_uTaughtLogs = 0;
    u32 m_uTaughtLogMissed = 0;
    ENUM_S* m_lpEnumHead;
    TCP_DEL_S* m_lpTcpDelHead;

    CQVSockDrivUDP4 m_DrivUDP4;
    CQVSockDrivUDP6 m_DrivUDP6;
    CQVSockDrivTCP m_DrivTCP;
    CQVSockDrivLAN m_DrivLAN;

    SOCK_PEER_S* m_lpPeer;
    u32 m_uPeerMax;
    PEER_LIST m_PeerFree;
    PEER_LIST m_PeerUsed;
    CNNT_LIST m_Cnnt;
    CQVNodeHash m_PeerHash;

    CQVCriticalSection m_Sect;
    u32 m_uCnntResetPend;

    u32 m_uFwdBudget;
    u32 m_uInteract;
    u32 m_uMainReplies;
    u32 m_uMainSpeed;
    // Connect backlog (requests of peers not yet known), assist backlog (main addresses of
    // unknown requesters) and, in server mode, the proxy holes.
    CQVList<CNNT_BACKLOG_S> m_Backlog;
    CQVList<ASSIST_BACKLOG_S> m_Assist;
    CQVList<PXY_HOLE_S> m_Holes;
    PXY_HOLE_S* m_lpHoleCursor;
    CQVNodeHash m_HoleHash;
    // Guards the descriptor table and the thread's epoll object: drivers may change the
    // table from other threads (the LAN private interface switches LAN on from the node's
    // threads). The thread registers descriptors with epoll under it and a removal drops
    // the descriptor from epoll under it, so a driver closes its socket only after the
    // thread is done with the number.
    CQVCriticalSection m_SectFd;
    struct _qv_fd_epoll* m_lpEpoll = nullptr;
    // Held by the process thread around each unit of driver work (tick, message,
    // descriptor pass) and by TickRun, so that driver state is only ever touched by
    // one of them at a time. Taken before the process mutex, never after it.
    CQVCriticalSection m_SectWork;
};
