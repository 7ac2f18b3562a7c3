// A driver that this build does not have (the TCP/HTTP relay, UDP over IPv6): it initialises
// and accepts its settings but cannot be enabled and refuses to send, so the socket process
// retries it or works without it.
#pragma once

#include "qvSockDriv.h"

class CQVSockDrivAbsent : public IQVSocketDriv {
public:
    // lpszTag begins the driver's log lines ("SockDrivTCP").
    explicit CQVSockDrivAbsent(const char* lpszTag) : m_lpszTag(lpszTag) {}

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

    // Public address seen by a server: always empty, there being no server exchange.
    u32 GetPubAddr(QV_ADDR_S* lpAddr);

private:
    const char* m_lpszTag;
};
