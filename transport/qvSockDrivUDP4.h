// UDP over IPv4 driver (driver 0): one session per remote IPv4 address, the UDP4
// control messages 0x80..0xa7 and their dispatcher, the local address table and the
// NAT64 paths. NAT detection, hole punching and forwarding live in its three clients.
#pragma once

#include <atomic>

#include "qvDgramOut.h"
#include "qvSockDriv.h"
#include "qvNodeHash.h"
#include "qvTable.h"
#include "qvThread.h"     // CQVCriticalSection
#include "qvSocketUti.h"   // CQVSocketUDP
#include "qvTimer.h"       // IQVTimerProc

class CQVSockDrivUDP4;

// IPv4 address as the UDP4 protocol carries it: IP in network order, port and flags
// word in host order (big-endian on the wire).
typedef struct tagQV_UDP4_ADDR_S {
    u32 uIP;
    u16 usPort;
    u16 usFlags;
} QV_UDP4_ADDR_S;

// Minimum length of every UDP4 control message type 0x80..0xa7 that is handled on
// receipt; 0 marks types that are ignored when received.
u32 qvUdp4CtlMinLen(u32 uType);

class CQVSockDrivUDP4Priv : public IQVSocketUDP4Priv {
public:
    CQVSockDrivUDP4Priv() : m_lpDriv(nullptr) {}
    void Attach(CQVSockDrivUDP4* lpDriv) { m_lpDriv = lpDriv; }
    u32 SetConfig(u32 uItem, void* lpData) override;
    u32 GetForwardStatus(QV_SKT_UDP4_FWD_STATUS_S* lpStatus) override;
    u32 GetForwardRelayStat(QV_SKT_UDP4_FWD_STAT_S* lpStat) override;
    u32 GetForwardHoleStat(QV_SKT_UDP4_FWD_STAT_S* lpSend, QV_SKT_UDP4_FWD_STAT_S* lpRecv) override;
    virtual ~CQVSockDrivUDP4Priv() {}

private:
    CQVSockDrivUDP4* m_lpDriv;
};

class CQVSockDrivUDP4Timer : public IQVTimerProc {
public:
    CQVSockDrivUDP4Timer() : m_lpDriv(nullptr), m_uTimer(0) {}
    void Attach(CQVSockDrivUDP4* lpDriv) { m_lpDriv = lpDriv; }
    u32 Enable(u32 uTimeoutMs);
    void Disable();
    void OnTimer(u32 uHandle, u32 uParam) override;
    virtual ~CQVSockDrivUDP4Timer() {}

private:
    CQVSockDrivUDP4* m_lpDriv;
    u32 m_uTimer;
};

class CQVSockDrivUDP4Socket : public CQVSocketUDP {
public:
    CQVSockDrivUDP4Socket() : m_lpDriv(nullptr), m_uIndex(0) {}
    void Attach(CQVSockDrivUDP4* lpDriv, u32 uIndex)
    {
        m_lpDriv = lpDriv;
        m_uIndex = uIndex;
    }
    void OnError(int iErrNo, const QV_ADDR_S* lpAddr) override;

private:
    CQVSockDrivUDP4* m_lpDriv;
    u32 m_uIndex;
};

struct QV_UDP4_SESS_S;

// NAT age client (NAT keep-time probing). Its work is not part of this build: the
// driver calls these steps and they do nothing.
class CQVSockDrivUDP4NatAgeClt {
public:
    CQVSockDrivUDP4NatAgeClt() : m_lpDriv(nullptr) {}
    virtual ~CQVSockDrivUDP4NatAgeClt() {}
    void Attach(CQVSockDrivUDP4* lpDriv) { m_lpDriv = lpDriv; }
    u32 Init() { return 1; }
    void Clean() {}
    void SetProxy(const QV_UDP4_ADDR_S*) {}
    void TimerProc() {}

private:
    CQVSockDrivUDP4* m_lpDriv;
};

class CQVSockDrivUDP4FwdClt;

// NAT type detection and hole punching. Only the parts the driver core needs are
// here: the public address, the data receive and a per-session record.
class CQVSockDrivUDP4HoleClt {
public:
    CQVSockDrivUDP4HoleClt() : m_lpDriv(nullptr), m_lpNatAge(nullptr), m_lpFwd(nullptr) { Reset(); }
    virtual ~CQVSockDrivUDP4HoleClt() {}
    void Attach(CQVSockDrivUDP4* lpDriv, CQVSockDrivUDP4NatAgeClt* lpNatAge, CQVSockDrivUDP4FwdClt* lpFwd)
    {
        m_lpDriv = lpDriv;
        m_lpNatAge = lpNatAge;
        m_lpFwd = lpFwd;
    }
    u32 Init() { return 1; }
    void Clean() { Reset(); }
    void Enable() {}
    void Disable() {}
    void SetLocalAddr(const QV_UDP4_ADDR_S* lpAddr) { m_AddrLocal = *lpAddr; }
    void SetInitProxy(const QV_UDP4_ADDR_S* lpAddr) { m_AddrServer = *lpAddr; }
    void GetPubAddr(QV_UDP4_ADDR_S* lpAddr) const { *lpAddr = m_AddrPub; }
    u32 IsOwnAddr(const QV_UDP4_ADDR_S* lpAddr) const;
    void UpdateExtPubAddr() {}
    void HopNatTimerProc() {}
    void OnNatAgeDetect(u32) {}

    // Per-session hole record.
    u32 SessAlloc(QV_UDP4_SESS_S* lpSess);
    void SessFree(QV_UDP4_SESS_S* lpSess);
    void SessReset(QV_UDP4_SESS_S* lpSess);
    u32 SessConnect(QV_UDP4_SESS_S* lpSess);
    u32 SessSend(QV_UDP4_SESS_S* lpSess, const QV_BUF_S* lpBuf);
    u32 SessGetPeerInfo(QV_UDP4_SESS_S* lpSess, u32* lpuType, QV_UDP4_ADDR_S* lpA, QV_UDP4_ADDR_S* lpB,
                        QV_UDP4_ADDR_S* lpC);
    void SessTimerProcBegin() {}
    void SessTimerProc(QV_UDP4_SESS_S* lpSess) { (void)lpSess; }
    void SessTimerProcEnd() {}
    // A 0x80 header asked us to learn the path the peer's packets arrive on.
    void LearnHoleAddr(QV_UDP4_SESS_S* lpSess, const QV_UDP4_ADDR_S* lpPath, u32 uInnerIsOwnPub);
    // A plain peer packet or the payload of a 0x80 message.
    void DataReceive(const QV_UDP4_ADDR_S* lpPeer, const QV_BUF_S* lpBuf, const QV_UDP4_ADDR_S* lpPath);
    // Control messages handled by the hole and NAT halves; not part of this build.
    void OnCtlMessage(u32 uType, const QV_UDP4_ADDR_S* lpFrom, const u8* lpData, u32 uLen)
    {
        (void)uType, (void)lpFrom, (void)lpData, (void)uLen;
    }

private:
    void Reset();

    CQVSockDrivUDP4* m_lpDriv;
    CQVSockDrivUDP4NatAgeClt* m_lpNatAge;
    CQVSockDrivUDP4FwdClt* m_lpFwd;
    QV_UDP4_ADDR_S m_AddrLocal;
    QV_UDP4_ADDR_S m_AddrServer;
    QV_UDP4_ADDR_S m_AddrPub;
};

// Forwarding through peers. Not part of this build: no session is ever forwarded.
class CQVSockDrivUDP4FwdClt {
public:
    CQVSockDrivUDP4FwdClt() : m_lpDriv(nullptr), m_lpHole(nullptr), m_uByteTick(0) {}
    virtual ~CQVSockDrivUDP4FwdClt() {}
    void Attach(CQVSockDrivUDP4* lpDriv, CQVSockDrivUDP4HoleClt* lpHole)
    {
        m_lpDriv = lpDriv;
        m_lpHole = lpHole;
    }
    u32 Init() { return 1; }
    void Clean() {}
    u32 SessConnect(QV_UDP4_SESS_S*) { return 0; }
    u32 SessSend(QV_UDP4_SESS_S*, const QV_BUF_S*) { return 0xFFFFFFFFu; }
    u32 SessGetPeerInfo(QV_UDP4_SESS_S*, u32*, QV_UDP4_ADDR_S*, QV_UDP4_ADDR_S*, QV_UDP4_ADDR_S*) { return 0; }
    void SessFree(QV_UDP4_SESS_S*) {}
    void SessTimerProcBegin() {}
    void SessTimerProc(QV_UDP4_SESS_S*) {}
    void SessTimerProcEnd() {}
    void AddBytes(u32 uBytes) { m_uByteTick += uBytes; }
    u32 TakeBytes() { return m_uByteTick.exchange(0); }
    u32 SetConfig(u32, void*) { return 1; }
    u32 GetForwardStatus(QV_SKT_UDP4_FWD_STATUS_S* lpStatus);
    u32 GetForwardRelayStat(QV_SKT_UDP4_FWD_STAT_S* lpStat);
    u32 GetForwardHoleStat(QV_SKT_UDP4_FWD_STAT_S* lpSend, QV_SKT_UDP4_FWD_STAT_S* lpRecv);
    void OnCtlMessage(u32 uType, const QV_UDP4_ADDR_S* lpFrom, const u8* lpData, u32 uLen)
    {
        (void)uType, (void)lpFrom, (void)lpData, (void)uLen;
    }

private:
    CQVSockDrivUDP4* m_lpDriv;
    CQVSockDrivUDP4HoleClt* m_lpHole;
    // Added by the socket's dispatcher as it sends, taken by the driver's tick.
    std::atomic<u32> m_uByteTick;
};

// Session flags.
#define QV_UDP4_SESS_EXT 0x1u
#define QV_UDP4_SESS_HOLE 0x2u
#define QV_UDP4_SESS_FWD 0x4u
#define QV_UDP4_SESS_NOFWD 0x8u

struct QV_UDP4_SESS_S {
    QV_LINK_S<QV_UDP4_SESS_S> link;   // on the driver's session list
    QV_HASH_LINK_S Hash;
    u32 uFlags;
    u32 uCnntTick;
    u32 uActiveTick;
    QV_UDP4_ADDR_S Key;
    QV_UDP4_ADDR_S Second;
    // Hole client's per-session state.
    u32 uHoleFlags;
    QV_UDP4_ADDR_S AddrHole;
    void* lpHole;
    void* lpFwd;
};

class CQVSockDrivUDP4 : public IQVSocketDriv, public IQVDgramPort {
public:
    CQVSockDrivUDP4();
    ~CQVSockDrivUDP4() override;

    void* GetPrivate(u32 uType) override;
    u32 Initialize(void* lpContext, IQVSocketProc* lpProc, const QV_SOCK_DRIV_CFG_S* lpCfg) override;
    u32 Enable(u32 uFlag) override;
    void Clean() override;
    u32 Send(u32 uSess, const QV_ADDR_S* lpAddr, const QV_BUF_S* lpBuf, const QV_ADDR_S* lpVia, u32 uFlags) override;
    u32 GetPeerInfo(u32 uSess, const QV_ADDR_S* lpPeer, u32* lpuType, QV_ADDR_S* lpLocal, QV_ADDR_S* lpPeerSeen,
                    QV_ADDR_S* lpThird) override;
    u32 CheckAddr(u32 uParam, const QV_ADDR_S* lpAddr) override;
    u32 TryConnect(u32 uSess, const QV_ADDR_S* lpAddr, const QV_ADDR_S* lpSecond, u32 uParam) override;
    u32 Delete(u32 uSess, const QV_ADDR_S* lpAddr) override;
    u32 SetInitProxy(const QV_ADDR_S* lpAddr) override;
    u32 SetLocalAddr(const QV_ADDR_S* lpAddr) override;
    u32 SetParam(u32 uItem, const void* lpValue, u32 uSize) override;
    u32 GetParam(u32 uItem, void* lpValue, u32* lpuSize) override;
    u32 Control(u32 uParam, u32 uOp, void* lpValue, u32 uSize) override;
    u32 SelectProc(int hSocket, u32 uEvents, u32 uPriv, u32 uTick) override;
    u32 MessageProc(u32 uMsg, u32 uParam0, u32 uParam1) override;
    u32 TimerProc(u32 uTick) override;

    // The public address a server reported (IPv4 in the last word); 0 for null.
    u32 GetPubAddr(QV_ADDR_S* lpAddr);
    // The UDP port the IPv4 socket is bound to (0 when closed).
    u32 GetLocalPort() const { return m_AddrChosen.usPort; }
    // Number of live sessions, and of sessions that made room for a newer one (for
    // inspection).
    u32 SessCount();
    u32 SessEvicted() const { return m_uSessEvicted; }
    // One driver tick counts one second.
    u32 GetTick() const { return m_uTick; }

    // Calls of the clients into the driver.
    u32 SockSend(const void* lpData, u32 uLen, const QV_UDP4_ADDR_S* lpAddr, u32 uTTL);
    void DgramFlush(QV_DGRAM_REC_S** lpList, u32 uCount) override;
    // One received datagram; 1 when it was taken.
    u32 DgramProc(u8* lpData, u32 uLen, u32 uSize, const QV_ADDR_S& From, u32 uTick, int hSocket, u32 uKind);
    u32 SockSendHitHole(const QV_UDP4_ADDR_S* lpAddr);
    QV_UDP4_SESS_S* SessAlloc(const QV_UDP4_ADDR_S* lpAddr, const QV_UDP4_ADDR_S* lpSecond, u32 uCreate);
    QV_UDP4_SESS_S* SessSearch(const QV_UDP4_ADDR_S* lpAddr);
    void OnSessConnect(QV_UDP4_SESS_S* lpSess, u32 uRoute, u32 uOn);
    void OnUplayerActive(const QV_UDP4_ADDR_S* lpAddr);
    void OnNatAgeDetect(u32 uKeep);
    void OnPubAddrChanded(const QV_UDP4_ADDR_S* lpAddr);
    u32 MilliSecTimerEnable(u32 uMs);
    void MilliSecTimerDisable();
    void OnSocketError(u32 uIndex, int iErrNo, const QV_ADDR_S* lpAddr);
    void OnMilliSecTimer();
    // A peer packet arrived from lpPeer over lpPath: its session (if any) learns the path.
    void OnPeerPacket(const QV_UDP4_ADDR_S* lpPeer, const QV_UDP4_ADDR_S* lpPath);
    IQVSocketProc* GetProc() { return m_lpProc; }
    CQVSockDrivUDP4FwdClt* GetFwdClt() { return &m_FwdClt; }

    // Private interface.
    u32 PrivSetConfig(u32 uItem, void* lpData);
    u32 PrivGetForwardStatus(QV_SKT_UDP4_FWD_STATUS_S* lpStatus);
    u32 PrivGetForwardRelayStat(QV_SKT_UDP4_FWD_STAT_S* lpStat);
    u32 PrivGetForwardHoleStat(QV_SKT_UDP4_FWD_STAT_S* lpSend, QV_SKT_UDP4_FWD_STAT_S* lpRecv);

    // The control dispatcher, for a received datagram whose byte 1 has bit 7 set.
    void HoleProc(const QV_UDP4_ADDR_S* lpFrom, const QV_BUF_S* lpBuf, u32 uTick, int hSocket, u32 uKind);

private:
    friend class CQVSockDrivUDP4Probe;   // white-box access for the tests

    struct LOCAL_ADDR_S {
        u32 uValid;
        u32 uGen;
        QV_ADDR_S Addr;
    };
    struct NAT64_S {
        u32 uSet;
        u32 uPrefix[2];
        u32 uSendTick;
        u32 uRecvTick;
        u32 uBackoff;
    };

    u32 SockOpen();
    void SockCloseAll();
    u32 SockOpenNat64();
    void SessFreeOne(QV_UDP4_SESS_S* lpSess);
    void SessFreeAll();
    u32 SessHashInit(u32 uTableSize);
    u32 SessHashCode(const QV_UDP4_ADDR_S* lpAddr) const;
    void SessTouch(QV_UDP4_SESS_S* lpSess);
    void SessSweep();
    void AddrNetLoad();
    void AddrNetUnload();
    void AddrNetChangeDetect();
    void SelectLocalIP();
    void Nat64CtlUpdate(const u8* lpData, u32 uCount);
    void ForwardGateTick();
    u32 PathUsable(u32 uSendTick, u32 uRecvTick, u32 uBackoff) const;

    CQVSockDrivUDP4Priv m_Priv;
    CQVSockDrivUDP4Timer m_Timer;
    CQVSockDrivUDP4NatAgeClt m_NatAgeClt;
    CQVSockDrivUDP4HoleClt m_HoleClt;
    CQVSockDrivUDP4FwdClt m_FwdClt;
    void* m_lpContext;
    IQVSocketProc* m_lpProc;
    u32 m_uBare;
    u32 m_uTableSize;
    u32 m_uCfg2;
    u32 m_uCfg3;
    u32 m_uTick;
    u32 m_uMainDriv;
    // Read by the millisecond timer's thread (OnMilliSecTimer).
    std::atomic<u32> m_uEnabled;
    CQVList<QV_UDP4_SESS_S> m_SessList;
    CQVNodeHash m_SessHash;
    u32 m_uHashSeed = 0;
    std::atomic<u32> m_uSessEvicted{0};
    CQVCriticalSection m_Sect;
    CQVSockDrivUDP4Socket m_Sock[2];
    QV_UDP4_ADDR_S m_AddrConfig;
    QV_UDP4_ADDR_S m_AddrServer;
    QV_UDP4_ADDR_S m_AddrServerDef;
    QV_UDP4_ADDR_S m_AddrChosen;
    u32 m_uErrReportTick;
    LOCAL_ADDR_S m_Local[16];
    u32 m_uLocalGen;
    u32 m_uChangeCount;
    u32 m_uSelectFail;
    u32 m_uV4SendTick;
    u32 m_uV4RecvTick;
    u32 m_uV4Backoff;
    NAT64_S m_Nat64[4];
    u32 m_uNat64Count;
    QV_BUF_S m_BufRecv;
    CQVDgramIn m_In; // batched reads of the main socket, on the process thread
    u32 m_uGateCount;
};
