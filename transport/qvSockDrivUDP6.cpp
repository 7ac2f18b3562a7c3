// Placeholder driver: initialises and keeps no state, reports that it cannot be
// enabled, and refuses to send; the socket process retries or works without it.
#include "qvSockDrivUDP6.h"

#include <string.h>

#include "qvLog.h"

CQVSockDrivUDP6::CQVSockDrivUDP6() : m_lpProc(nullptr), m_uInit(0) {}

CQVSockDrivUDP6::~CQVSockDrivUDP6() {}

void* CQVSockDrivUDP6::GetPrivate(u32) { return nullptr; }

u32 CQVSockDrivUDP6::Initialize(void*, IQVSocketProc* lpProc, const QV_SOCK_DRIV_CFG_S*)
{
    m_lpProc = lpProc;
    m_uInit = 1;
    return 1;
}

u32 CQVSockDrivUDP6::Enable(u32 uFlag)
{
    if (!uFlag)
        return 1;
    qvLogOut(2, "SockDrivUDP6: Enable, not available");
    return 0;
}

void CQVSockDrivUDP6::Clean()
{
    m_uInit = 0;
    m_lpProc = nullptr;
}

u32 CQVSockDrivUDP6::Send(u32, const QV_ADDR_S*, const QV_BUF_S*, const QV_ADDR_S*, u32) { return 0xFFFFFFFFu; }

u32 CQVSockDrivUDP6::GetPeerInfo(u32, const QV_ADDR_S*, u32* lpuType, QV_ADDR_S*, QV_ADDR_S*, QV_ADDR_S*)
{
    if (lpuType)
        *lpuType = 0;
    return 0;
}

u32 CQVSockDrivUDP6::CheckAddr(u32, const QV_ADDR_S*) { return 0; }
u32 CQVSockDrivUDP6::TryConnect(u32, const QV_ADDR_S*, const QV_ADDR_S*, u32) { return 0; }
u32 CQVSockDrivUDP6::Delete(u32, const QV_ADDR_S*) { return 0; }
u32 CQVSockDrivUDP6::SetInitProxy(const QV_ADDR_S* lpAddr) { return lpAddr ? 1 : 0; }
u32 CQVSockDrivUDP6::SetLocalAddr(const QV_ADDR_S* lpAddr) { return lpAddr ? 1 : 0; }
u32 CQVSockDrivUDP6::SetParam(u32, const void*, u32) { return 1; }
u32 CQVSockDrivUDP6::GetParam(u32, void*, u32*) { return 0; }
u32 CQVSockDrivUDP6::Control(u32, u32, void*, u32) { return 0; }
u32 CQVSockDrivUDP6::SelectProc(int, u32, u32, u32) { return 0; }
u32 CQVSockDrivUDP6::MessageProc(u32, u32, u32) { return 0; }
u32 CQVSockDrivUDP6::TimerProc(u32) { return 0; }

u32 CQVSockDrivUDP6::GetPubAddr(QV_ADDR_S* lpAddr)
{
    if (!lpAddr)
        return 0;
    memset(lpAddr, 0, sizeof(*lpAddr));
    return 1;
}
