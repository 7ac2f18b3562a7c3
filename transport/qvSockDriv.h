// Contract between the socket process and its network drivers (UDP over IPv4,
// UDP over IPv6, TCP/HTTP relay, LAN), and the records the two exchange.
#pragma once

#include "qvType.h"
#include "qvSocketAddr.h"   // QV_ADDR_S
#include "qvUtilize.h"      // QV_BUF_S

// Driver indexes; QV_SOCK_DRIV_NONE names no driver (or all of them).
#define QV_SOCK_DRIV_UDP4 0u
#define QV_SOCK_DRIV_UDP6 1u
#define QV_SOCK_DRIV_TCP 2u
#define QV_SOCK_DRIV_LAN 3u
#define QV_SOCK_DRIV_NONE 4u
#define QV_SOCK_DRIV_MAX 4u

// Same for every driver: side (non-zero = server mode), socket table size,
// sum of the socket layer's send queue sizes, node option word.
typedef struct tagQV_SOCK_DRIV_CFG_S {
    u32 uSide;
    u32 uTableSize;
    u32 uSendQueSum;
    u32 uNodeOption;
} QV_SOCK_DRIV_CFG_S;

#ifndef QV_RELAY_INFO_DEFINED
#define QV_RELAY_INFO_DEFINED
// One relay server; 136 bytes.
typedef struct tagQV_RELAY_INFO_S {
    u32 uType;
    u32 uLoad;
    char szAddr[128];
} QV_RELAY_INFO_S;
#endif

#ifndef QV_ADDR_PAIR_DEFINED
#define QV_ADDR_PAIR_DEFINED
// A pair of stations, one per IP version; 40 bytes.
typedef struct tagQV_ADDR_PAIR_S {
    QV_ADDR_S Addr4;
    QV_ADDR_S Addr6;
} QV_ADDR_PAIR_S;
#endif

// One result of a LAN scan.
typedef struct tagQV_SKT_LAN_PEER_S {
    QV_ADDR_S Addr;
    char szPeerID[128];
} QV_SKT_LAN_PEER_S;

// Forwarding status and statistics of the UDP over IPv4 driver.
typedef struct tagQV_SKT_UDP4_FWD_STATUS_S {
    u32 uStatus;
    u32 uSessCount;
} QV_SKT_UDP4_FWD_STATUS_S;

typedef struct tagQV_SKT_UDP4_FWD_STAT_S {
    u32 uSpeed;
    u32 uByteCount;
} QV_SKT_UDP4_FWD_STAT_S;

// Callbacks of the socket process, called by the drivers with their own driver
// index first: on the process thread, or (OnPostMessage only) from any thread.
class IQVSocketProc {
public:
    virtual void OnAddrUpdate(u32 uDrivType, const QV_ADDR_S* lpAddr, u32 uFlags) = 0;
    virtual void OnSetSock(u32 uDrivType, i32 hSocket, u32 uFdMask, u32 uPriv) = 0;
    virtual u32 OnData(u32 uDrivType, const QV_ADDR_S* lpAddr, const QV_BUF_S* lpBuf, u32 uLimit) = 0;
    virtual u32 OnPostMessage(u32 uDrivType, u32 uMsg, u32 uParam0, u32 uParam1) = 0;
    virtual void OnConnect(u32 uDrivType, const QV_ADDR_S* lpAddr, u32 uUp) = 0;
    virtual void OnReport(u32 uDrivType, u32 uReport) = 0;
    virtual void OnActive(u32 uDrivType, const QV_ADDR_S* lpTarget, const QV_ADDR_S* lpProxy) = 0;
    virtual void OnInteract(u32 uDrivType, u32 uOp, void* lpValue, u32 uSize) = 0;

protected:
    ~IQVSocketProc() {}
};

// The driver contract. Drivers start no thread of their own: the socket process
// thread calls TimerProc, SelectProc and MessageProc.
class IQVSocketDriv {
public:
    virtual void* GetPrivate(u32 uType) = 0;
    virtual u32 Initialize(void* lpContext, IQVSocketProc* lpProc, const QV_SOCK_DRIV_CFG_S* lpCfg) = 0;
    virtual u32 Enable(u32 uFlag) = 0;
    virtual void Clean() = 0;
    // Bytes sent (> 0), 0 when the send would block, 0xFFFFFFFF when the driver cannot send.
    virtual u32 Send(u32 uSess, const QV_ADDR_S* lpAddr, const QV_BUF_S* lpBuf, const QV_ADDR_S* lpVia, u32 uFlags) = 0;
    virtual u32 GetPeerInfo(u32 uSess, const QV_ADDR_S* lpPeer, u32* lpuType, QV_ADDR_S* lpLocal, QV_ADDR_S* lpPeerSeen,
                            QV_ADDR_S* lpThird) = 0;
    virtual u32 CheckAddr(u32 uParam, const QV_ADDR_S* lpAddr) = 0;
    virtual u32 TryConnect(u32 uSess, const QV_ADDR_S* lpAddr, const QV_ADDR_S* lpSecond, u32 uParam) = 0;
    virtual u32 Delete(u32 uSess, const QV_ADDR_S* lpAddr) = 0;
    virtual u32 SetInitProxy(const QV_ADDR_S* lpAddr) = 0;
    virtual u32 SetLocalAddr(const QV_ADDR_S* lpAddr) = 0;
    virtual u32 SetParam(u32 uItem, const void* lpValue, u32 uSize) = 0;
    virtual u32 GetParam(u32 uItem, void* lpValue, u32* lpuSize) = 0;
    virtual u32 Control(u32 uParam, u32 uOp, void* lpValue, u32 uSize) = 0;
    // uEvents: 1 readable, 2 writable, 3 both; uPriv: the value registered with OnSetSock.
    virtual u32 SelectProc(int hSocket, u32 uEvents, u32 uPriv, u32 uTick) = 0;
    virtual u32 MessageProc(u32 uMsg, u32 uParam0, u32 uParam1) = 0;
    // Once per process tick (one second); uTick is the millisecond clock.
    virtual u32 TimerProc(u32 uTick) = 0;
    virtual ~IQVSocketDriv() {}
};

// Private interface of the LAN driver (reached through GetSocketPrivate(3)).
class IQVSocketLANPriv {
public:
    virtual u32 Enable(u32 uOn, u32 uIPVer, const char* lpszPeerID, const char* lpszLabel) = 0;
    virtual u32 ReEnable() = 0;
    virtual u32 IsAddrExist(const QV_ADDR_S* lpAddr) = 0;
    virtual u32 ScanLaunch(u32 uAge) = 0;
    virtual u32 ScanGetResult(QV_SKT_LAN_PEER_S* lpList, u32 uSize) = 0;
    virtual u32 ScanHasResult(const char* lpszPeerID) = 0;

protected:
    ~IQVSocketLANPriv() {}
};

// Private interface of the UDP over IPv4 driver (reached through GetSocketPrivate(0)).
class IQVSocketUDP4Priv {
public:
    virtual u32 SetConfig(u32 uItem, void* lpData) = 0;
    virtual u32 GetForwardStatus(QV_SKT_UDP4_FWD_STATUS_S* lpStatus) = 0;
    virtual u32 GetForwardRelayStat(QV_SKT_UDP4_FWD_STAT_S* lpStat) = 0;
    virtual u32 GetForwardHoleStat(QV_SKT_UDP4_FWD_STAT_S* lpSend, QV_SKT_UDP4_FWD_STAT_S* lpRecv) = 0;

protected:
    ~IQVSocketUDP4Priv() {}
};
