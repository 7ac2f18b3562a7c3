// Placeholder driver: initialises and keeps no state, reports that it cannot be
// enabled, and refuses to send; the socket process retries or works without it.
#include "qvSockDrivTCP.h"

#include <string.h>

#include "qvLog.h"

CQVSockDrivTCP::CQVSockDrivTCP() : m_lpProc(nullptr), m_uInit(0) {}

CQVSockDrivTCP::~CQVSockDrivTCP() {}

void* CQVSockDrivTCP::GetPrivate(u32) { return nullptr; }

u32 CQVSockDrivTCP::Initialize(void*, IQVSocketProc* lpProc, const QV_SOCK_DRIV_CFG_S*)
{
    m_lpProc = lpProc;
    m_uInit = 1;
    return 1;
}

u32 CQVSockDrivTCP::Enable(u32 uFlag)
{
    if (!uFlag)
        return 1;
    qvLogOut(2, "SockDrivTCP: Enable, not available");
    return 0;
}

void CQVSockDrivTCP::Clean()
{
    m_uInit = 0;
    m_lpProc = nullptr;
}

u32 CQVSockDrivTCP::Send(u32, const QV_ADDR_S*, const QV_BUF_S*, const QV_ADDR_S*, u32) { return 0xFFFFFFFFu; }

u32 CQVSockDrivTCP::GetPeerInfo(u32, const QV_ADDR_S*, u32* lpuType, QV_ADDR_S*, QV_ADDR_S*, QV_ADDR_S*)
{
    if (lpuType)
        *lpuType = 0;
    return 0;
}

u32 CQVSockDrivTCP::CheckAddr(u32, const QV_ADDR_S*) { return 0; }
u32 CQVSockDrivTCP::TryConnect(u32, const QV_ADDR_S*, const QV_ADDR_S*, u32) { return 0; }
u32 CQVSockDrivTCP::Delete(u32, const QV_ADDR_S*) { return 0; }
u32 CQVSockDrivTCP::SetInitProxy(const QV_ADDR_S* lpAddr) { return lpAddr ? 1 : 0; }
u32 CQVSockDrivTCP::SetLocalAddr(const QV_ADDR_S* lpAddr) { return lpAddr ? 1 : 0; }
u32 CQVSockDrivTCP::SetParam(u32, const void*, u32) { return 1; }
u32 CQVSockDrivTCP::GetParam(u32, void*, u32*) { return 0; }
u32 CQVSockDrivTCP::Control(u32, u32, void*, u32) { return 0; }
u32 CQVSockDrivTCP::SelectProc(int, u32, u32, u32) { return 0; }
u32 CQVSockDrivTCP::MessageProc(u32, u32, u32) { return 0; }
u32 CQVSockDrivTCP::TimerProc(u32) { return 0; }

u32 CQVSockDrivTCP::GetPubAddr(QV_ADDR_S* lpAddr)
{
    if (!lpAddr)
        return 0;
    memset(lpAddr, 0, sizeof(*lpAddr));
    return 1;
}
