// LAN driver: finds peers on the local network by broadcast, subnet broadcast and a
// unicast sweep on UDP ports 7654..7656, and carries datagrams to the peers found.
#pragma once

#include <atomic>

#include "qvDgramOut.h"
#include "qvSockDriv.h"
#include "qvThread.h"   // CQVCriticalSection

#define QV_LAN_PORT_BASE 7654u
#define QV_LAN_PORT_COUNT 3u
#define QV_LAN_LOCAL_MAX 16u
#define QV_LAN_BUF_SIZE 2048u
// Datagrams per read, and reads per wake at most.
#define LAN_RECV_BATCH 32u
#define LAN_RECV_ROUNDS 8u
// LAN peers kept at most: one /24 sweep finds at most 254 hosts; unsolicited scan replies
// beyond this evict the stalest peer that nothing was sent to.
#define QV_LAN_PEER_MAX 256u

class CQVSockDrivLAN;

class CQVSockDrivLANPriv : public IQVSocketLANPriv {
public:
    CQVSockDrivLANPriv() : m_lpDriv(nullptr) {}
    void Attach(CQVSockDrivLAN* lpDriv) { m_lpDriv = lpDriv; }
    u32 Enable(u32 uOn, u32 uIPVer, const char* lpszPeerID, const char* lpszLabel) override;
    u32 ReEnable() override;
    u32 IsAddrExist(const QV_ADDR_S* lpAddr) override;
    u32 ScanLaunch(u32 uAge) override;
    u32 ScanGetResult(QV_SKT_LAN_PEER_S* lpList, u32 uSize) override;
    u32 ScanHasResult(const char* lpszPeerID) override;
    virtual ~CQVSockDrivLANPriv() {}

private:
    CQVSockDrivLAN* m_lpDriv;
};

class CQVSockDrivLAN : public IQVSocketDriv, public IQVDgramPort {
public:
    CQVSockDrivLAN();
    ~CQVSockDrivLAN() override;

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

    // The private interface's operations.
    u32 PrivEnable(u32 uOn, u32 uIPVer, const char* lpszPeerID, const char* lpszLabel);
    u32 PrivReEnable();
    u32 PrivIsAddrExist(const QV_ADDR_S* lpAddr);
    u32 PrivScanLaunch(u32 uAge);
    u32 PrivScanGetResult(QV_SKT_LAN_PEER_S* lpList, u32 uSize);
    u32 PrivScanHasResult(const char* lpszPeerID);

    // Both SO_SNDBUF and SO_RCVBUF, in bytes.
    static u32 SocketCalcBufSize(u32 uTableSize, u32 uSendQueSum);
    // The UDP port the socket is bound to, 0 when closed.
    u32 GetPort() const { return m_uPort; }
    // Number of LAN peers kept (for inspection).
    u32 PeerCount();

private:
    struct LAN_PEER_S {
        LAN_PEER_S* lpNext;
        u32 uSendTick;
        u32 uRecvTick;
        u32 uSent;          // something was sent to it since it was found
        QV_ADDR_S Addr;
        char szPeerID[128];
    };

    u32 SockOpen(u32 uIPVer);
    void SockClose();
    u32 SockEnable(u32 uOn, u32 uIPVer);
    u32 SockSend(const void* lpData, u32 uLen, const QV_ADDR_S* lpTo, u32 uCountErr);
    // The result of one send, errors counted as a direct send counts them.
    u32 SendResult(int iErr, u32 uSent, u32 uCountErr);
    void DgramFlush(QV_DGRAM_REC_S** lpList, u32 uCount) override;
    // One received datagram (at least the header long); 1 when it went to the process.
    u32 DgramProc(u8* lpData, u32 uLen, const QV_ADDR_S& From);
    void MsgScanLaunch(u32 uAge);
    void MsgScanUnicast(u32 uPos);
    u32 ScanRequestBuild(u8* lpBuf, u32 uSize);
    u32 IPVer() const { return m_uIPVer; }
    u32 LanEvictStalest();
    void LanUnlink(LAN_PEER_S* lpPrev, LAN_PEER_S* p);
    void TryGetLocalAddr();
    void LanAdd(const QV_ADDR_S* lpAddr, const char* lpszPeerID);
    void LanDropIf(u32 uAge, u32 uBySendGap);
    void LanClean();

    // The private interface runs on the node's threads, everything else on the socket
    // process thread: the flags and the socket number both sides read are atomic, the
    // peer ID and the label are read and written under the lock.
    CQVSockDrivLANPriv m_Priv;
    IQVSocketProc* m_lpProc;
    u32 m_uSide;
    u32 m_uTableSize;
    u32 m_uSendQueSum;
    std::atomic<u32> m_uEnabled;
    std::atomic<u32> m_uPrivEnabled;
    std::atomic<u32> m_uIPVer;
    std::atomic<int> m_hSocket;
    std::atomic<u32> m_uPort;
    u32 m_uErrCount;
    std::atomic<u32> m_uSendErr;
    u32 m_uTick;
    QV_ADDR_S m_AddrLocal[QV_LAN_LOCAL_MAX];
    u32 m_uLocalCount;
    char m_szPeerID[128];
    char m_szLabel[256];
    QV_BUF_S m_BufRecv;
    CQVDgramIn m_In; // batched reads, on the process thread
    LAN_PEER_S* m_lpPeerHead;
    LAN_PEER_S* m_lpPeerTail;
    u32 m_uPeerCount;
    u32 m_uAddLogTick;     // tick of the new-peer log lines counted below
    u32 m_uAddLogs;
    u32 m_uAddLogMissed;
    CQVCriticalSection m_Sect;
};
