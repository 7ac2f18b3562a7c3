#include "qvSockDrivAbsent.h"

#include <string.h>

#include "qvLog.h"

void* CQVSockDrivAbsent::GetPrivate(u32) { return nullptr; }
u32 CQVSockDrivAbsent::Initialize(void*, IQVSocketProc*, const QV_SOCK_DRIV_CFG_S*) { return 1; }

u32 CQVSockDrivAbsent::Enable(u32 uFlag)
{
    if (!uFlag)
        return 1;
    qvLogOut(2, "%s: Enable, not available", m_lpszTag);
    return 0;
}

void CQVSockDrivAbsent::Clean() {}
u32 CQVSockDrivAbsent::Send(u32, const QV_ADDR_S*, const QV_BUF_S*, const QV_ADDR_S*, u32) { return 0xFFFFFFFFu; }

u32 CQVSockDrivAbsent::GetPeerInfo(u32, const QV_ADDR_S*, u32* lpuType, QV_ADDR_S*, QV_ADDR_S*, QV_ADDR_S*)
{
    if (lpuType)
        *lpuType = 0;
    return 0;
}

u32 CQVSockDrivAbsent::CheckAddr(u32, const QV_ADDR_S*) { return 0; }
u32 CQVSockDrivAbsent::TryConnect(u32, const QV_ADDR_S*, const QV_ADDR_S*, u32) { return 0; }
u32 CQVSockDrivAbsent::Delete(u32, const QV_ADDR_S*) { return 0; }
u32 CQVSockDrivAbsent::SetInitProxy(const QV_ADDR_S* lpAddr) { return lpAddr ? 1 : 0; }
u32 CQVSockDrivAbsent::SetLocalAddr(const QV_ADDR_S* lpAddr) { return lpAddr ? 1 : 0; }
u32 CQVSockDrivAbsent::SetParam(u32, const void*, u32) { return 1; }
u32 CQVSockDrivAbsent::GetParam(u32, void*, u32*) { return 0; }
u32 CQVSockDrivAbsent::Control(u32, u32, void*, u32) { return 0; }
u32 CQVSockDrivAbsent::SelectProc(int, u32, u32, u32) { return 0; }
u32 CQVSockDrivAbsent::MessageProc(u32, u32, u32) { return 0; }
u32 CQVSockDrivAbsent::TimerProc(u32) { return 0; }

u32 CQVSockDrivAbsent::GetPubAddr(QV_ADDR_S* lpAddr)
{
    if (!lpAddr)
        return 0;
    memset(lpAddr, 0, sizeof(*lpAddr));
    return 1;
}
