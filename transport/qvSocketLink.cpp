// The socket layer's link to the socket process: the default datagram carrier and the
// operations that hand over to the socket process.
#include "qvLog.h"

#include "qvSocket.h"
#include "qvSocketProc.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

class CQVSocketLowerProc : public IQVSocketLower {
public:
    explicit CQVSocketLowerProc(CQVSocket* pSocket) { m_Proc.Attach(pSocket); }

    u32 Initialize(void* lpContext, const u32* lpCfg) override
    {
        CQVSocketProc::CFG_S cfg;
        std::memset(&cfg, 0, sizeof(cfg));
        cfg.uTryTimeout = lpCfg[0];
        for (u32 i = 0; i < 5; i++) cfg.uParam[i] = lpCfg[1 + i];
        cfg.uSide = lpCfg[6];
        cfg.uTableSize = lpCfg[7];
        cfg.uSendQueSum = lpCfg[8];
        cfg.uNodeOption = lpCfg[9];
        cfg.uBackoff = lpCfg[10];
        return m_Proc.Initialize(lpContext, cfg);
    }
    void Clean() override { m_Proc.Clean(); }
    u32 Add(const QV_ADDR_S& addr, u32 uSockID) override { return m_Proc.Add(addr, uSockID); }
    void Delete(u32 uHandle) override { m_Proc.Delete(uHandle); }
    u32 Search(const QV_ADDR_S& addr, u32& uSockID) override { return m_Proc.Search(addr, uSockID); }
    u32 SetPeerParam(u32 uHandle, u32 uSockID) override { return m_Proc.SetPeerParam(uHandle, uSockID); }
    u32 GetPeerAddr(u32 uHandle, QV_ADDR_S* lpAddr) override { return m_Proc.GetPeerAddr(uHandle, lpAddr); }
    s32 Send(u32 uHandle, const QV_BUF_S& buf, u32 uCnntID, u32 uMode, u32* lpuCnntUsed) override
    {
        return (s32)m_Proc.Send(uHandle, buf, uCnntID, uMode, lpuCnntUsed);
    }
    s32 SendDirect(const QV_ADDR_S& addr, const QV_BUF_S& buf, u32 uDriv) override
    {
        return (s32)m_Proc.SendDirect(addr, buf, uDriv);
    }
    u32 Ctrl(u32 uHandle, u32 uCmd, u32 uValue) override { return m_Proc.Ctrl(uHandle, uCmd, uValue); }
    u32 GetPeerCnntAddr(u32 uHandle, u32* lpPairs, u32 uMax) override
    {
        QV_SOCK_CNNT_ADDR_S a[32];
        if (uMax > 32) uMax = 32;
        u32 n = m_Proc.GetPeerCnntAddr(uHandle, a, uMax);
        if (n > uMax) n = uMax;
        for (u32 i = 0; i < n; i++) {
            lpPairs[2 * i] = a[i].uCnntID;
            lpPairs[2 * i + 1] = a[i].uThrough;
        }
        return n;
    }
    u32 SetMainSpeed(u32 uSpeed, u32 uRoom) override { return m_Proc.SetMainSpeed(uSpeed, uRoom); }
    u32 SetSelfPeer(const char* lpszName) override { return m_Proc.SetSelfPeer(lpszName); }
    u32 GetTryTimeout() override { return m_Proc.GetTryTimeout(); }
    u32 SetLoopSpeed(u32 uSpeed) override { return m_Proc.SetLoopSpeed(uSpeed); }
    CQVSocketProc* GetProc() override { return &m_Proc; }

private:
    CQVSocketProc m_Proc;
};

} // namespace

IQVSocketLower* qvSocketLowerNew(CQVSocket* pSocket)
{
    return new (std::nothrow) CQVSocketLowerProc(pSocket);
}

// ---------------------------------------------------------------------------------------
// Hand-overs

#define QV_SOCK_PROC(fail)                                                                  \
    CQVSocketProc* pProc = m_pLower ? m_pLower->GetProc() : 0;                              \
    if (!pProc) return fail

void* CQVSocket::GetSocketPrivate(u32 uDriv)
{
    QV_SOCK_PROC(0);
    return pProc->GetPrivate(uDriv);
}

u32 CQVSocket::SetAddr(const QV_ADDR_S* lpAddr, u32 uWhich)
{
    QV_SOCK_PROC(0);
    if (!lpAddr) return 0;
    SectDisp lk(this);
    return pProc->SetAddr(*lpAddr, uWhich);
}

u32 CQVSocket::GetAddr(QV_ADDR_S* lpAddr, u32 uWhich)
{
    QV_SOCK_PROC(0);
    if (!lpAddr) return 0;
    SectDisp lk(this);
    return pProc->GetAddr(*lpAddr, uWhich);
}

u32 CQVSocket::SetAssemAddr(const tagQV_ADDR_PAIR_S* lpPairs, u32 uCount)
{
    QV_SOCK_PROC(0);
    SectDisp lk(this);
    return pProc->SetAssemAddr(lpPairs, uCount) ? 1 : 0;
}

u32 CQVSocket::SetProxy(const QV_ADDR_S* lpList, u32 uCount)
{
    QV_SOCK_PROC(0);
    SectDisp lk(this);
    u32 r = pProc->SetProxy(lpList, uCount);
    if (r) {
        // The client side waits for the relayed connect as long as the process tries.
        u32 uLimit = pProc->GetTryTimeout() * 20 + 200;
        if (uLimit > m_uGiveUp[0]) m_uGiveUp[0] = uLimit;
    }
    return r;
}

u32 CQVSocket::GetCurProxy(QV_ADDR_S& addr)
{
    QV_SOCK_PROC(0);
    return pProc->GetCurProxy(addr);
}

u32 CQVSocket::SetRelay(const tagQV_RELAY_INFO_S* lpList, u32 uCount, u32 uFlag)
{
    QV_SOCK_PROC(0);
    SectDisp lk(this);
    return uFlag ? pProc->SetRelayExt(lpList, uCount) : pProc->SetRelay(lpList, uCount);
}

u32 CQVSocket::SetNetEnable(u32 uEnable)
{
    QV_SOCK_PROC(0);
    return pProc->SetNetEnable(uEnable);
}

u32 CQVSocket::SetLabel(const char* lpszLabel)
{
    QV_SOCK_PROC(0);
    return pProc->SetLabel(lpszLabel);
}

u32 CQVSocket::SetParam(u32 uItem, const void* lpValue, u32 uSize)
{
    QV_SOCK_PROC(0);
    return pProc->SetParam(uItem, lpValue, uSize);
}

u32 CQVSocket::GetParam(u32 uItem, void* lpValue, u32* lpuSize)
{
    QV_SOCK_PROC(0);
    return pProc->GetParam(uItem, lpValue, lpuSize);
}

u32 CQVSocket::AddrNat64Enable()
{
    QV_SOCK_PROC(0);
    return pProc->AddrNat64Enable();
}

u32 CQVSocket::AddrNat64Remove(QV_ADDR_S* lpAddr)
{
    QV_SOCK_PROC(0);
    return pProc->AddrNat64Remove(lpAddr);
}

u32 CQVSocket::AddrNat64Fill(QV_ADDR_S* lpAddr)
{
    QV_SOCK_PROC(0);
    return pProc->AddrNat64Fill(lpAddr);
}

u32 CQVSocket::CheckDrivAddr(const QV_ADDR_S* lpAddr)
{
    QV_SOCK_PROC(0);
    return pProc->CheckDrivAddr(lpAddr);
}

u32 CQVSocket::SetPeerProxy(u32 uSockID, const QV_ADDR_S* lpProxy4, const QV_ADDR_S* lpProxy6)
{
    QV_SOCK_PROC(0);
    if (!m_uInit) return 0;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return 0;
    return pProc->SetPeerProxy(s->uProcHandle, lpProxy4, lpProxy6);
}

u32 CQVSocket::SetPeerOption(u32 uSockID, u32 uOption, const char* lpszValue)
{
    if (!m_uInit) return 0;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return 0;
    if (m_uSide == 0 && uOption == 1 && lpszValue) {
        if (std::strtoul(lpszValue, 0, 10))
            s->uOwnFlags |= 2;
        else
            s->uOwnFlags &= ~2u;
    }
    CQVSocketProc* pProc = m_pLower ? m_pLower->GetProc() : 0;
    return pProc ? pProc->SetPeerOption(s->uProcHandle, uOption, lpszValue) : 1;
}

u32 CQVSocket::GetPeerInfo(u32 uSockID, u32* lpuOut)
{
    QV_SOCK_PROC(0);
    if (!m_uInit) return 0;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return 0;
    return pProc->GetPeerInfo(s->uProcHandle, lpuOut);
}

u32 CQVSocket::GetPeerAddr(u32 uSockID, QV_ADDR_S* lpAddr)
{
    if (!m_uInit) return 0;
    qvPrintf("CQVSocket::GetPeerAddr, uSockID=%u", uSockID);
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s || !m_pLower) return 0;
    return m_pLower->GetPeerAddr(s->uProcHandle, lpAddr);
}

u32 CQVSocket::GetPeerAddrInfo(u32 uSockID, u32* lpuType, QV_ADDR_S* lpSelf, QV_ADDR_S* lpPeer,
                               QV_ADDR_S* lpLocal, QV_ADDR_S* lpRemote, QV_ADDR_S* lpProxy, QV_ADDR_S* lpPriv)
{
    QV_SOCK_PROC(0);
    if (!m_uInit) return 0;
    qvPrintf("CQVSocket::GetPeerAddrInfo, uSockID=%u", uSockID);
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return 0;
    return pProc->GetPeerAddrInfo(s->uProcHandle, lpuType, lpSelf, lpPeer, lpLocal, lpRemote, lpProxy, lpPriv);
}
