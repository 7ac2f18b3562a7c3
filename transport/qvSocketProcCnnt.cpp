// Socket process: the receive path (OnData and byte-1 dispatch), the send path,
// connect scheduling with retries and back-off, keep-alive and multipath.
#include <string.h>

#include "qvLog.h"
#include "qvSocketProc.h"
#include "qvTimer.h"

static const u32 REC_WORK = 0x1;
static const u32 REC_OWNMAIN = 0x4;
static const u32 REC_RELAYED = 0x8;

// Byte 1 of a driver payload picks its handler.
static const u8 ACT_ENVELOPE = 0x40;
static const u8 ACT_DRIVER = 0x80;
// No connect request is sent after this many tries without any path.
static const u32 CNNT_TRY_MAX = 30;
// Relayed retry interval cap, ticks.
static const u32 RELAY_INTV_MAX = 180;
// Connect kick back-off cap, units of 100 ms.
static const u32 KICK_INTV_MAX = 25;
// The TCP driver is switched off after this many idle ticks.
static const u32 TCP_IDLE_MAX = 14;

static u32 RdU16(const u8* p)
{
    return ((u32)p[0] << 8) | p[1];
}

// Receive.

u32 CQVSocketProc::OnData(u32 uDrivType, const QV_ADDR_S* lpAddr, const QV_BUF_S* lpBuf, u32 uLimit)
{
    if (!m_uInit || m_uRecvDisable || !lpAddr || !lpBuf || !lpBuf->buf || uDrivType >= QV_SOCK_DRIV_MAX)
        return 0;
    // Byte 1 picks the handler: a payload too short to hold it is dropped.
    if (lpBuf->uLen < 2 || lpBuf->uOffset > lpBuf->uSize || lpBuf->uLen > lpBuf->uSize - lpBuf->uOffset)
        return 0;
    QV_BUF_S Buf = *lpBuf;
    QV_ADDR_S Sender = *lpAddr;
    const u8* lpData = Buf.buf + Buf.uOffset;
    if (lpData[1] >= ACT_DRIVER)
        return 0;
    if (lpData[1] == ACT_ENVELOPE) {
        // The envelope must be whole and leave an inner payload with its byte 1.
        if (Buf.uLen < QV_SOCKPROC_ENVELOPE + 2)
            return 0;
        memcpy(Sender.uAddr, lpData + 4, 16);
        Sender.uPort = (u16)RdU16(lpData + 20);
        Sender.uExtra = (u16)RdU16(lpData + 22);
        Buf.uOffset += QV_SOCKPROC_ENVELOPE;
        Buf.uLen -= QV_SOCKPROC_ENVELOPE;
        lpData = Buf.buf + Buf.uOffset;
    }
    if (lpData[1] >= ACT_ENVELOPE) {
        if (Lock()) {
            SockConnectReceive(uDrivType, Sender, Buf);
            u32 uPend = m_uMainReportPend;
            m_uMainReportPend = 0;
            Unlock();
            if (uPend)
                Report(0, 2);
        }
        return 0;
    }
    if (!Lock())
        return 0;
    u32 uRes = 0;
    u32 uSockID = 0;
    u32 uCnntID = 0;
    u32 uDeliver = 1;
    u32 uIndex = SockPeerSearch(Sender);
    if (uIndex != QV_SOCKPROC_PEER_NONE) {
        SOCK_PEER_S* p = &m_lpPeer[uIndex];
        p->uRecvTick = m_uTick;
        uSockID = p->uSockID;
        if (m_uSide) {
            if (uLimit && m_uTick - p->uRecvPath >= uLimit) {
                p->uRecvPath = m_uTick;
                uRes = 1;
            }
        } else if (uDrivType == QV_SOCK_DRIV_LAN) {
            if (!(p->uStatus & QV_PEER_STA_LAN)) {
                p->uStatus |= QV_PEER_STA_LAN;
                PostMessage(8, p->uSockID, 0, 0);
            }
            p->uStatus &= ~QV_PEER_STA_SILENT;
            p->uSilentTick = 0;
        } else {
            CNNT_ADDR_S* a = SockPeerCnntAddrSearch(uIndex, *lpAddr);
            if (a) {
                DRIV_REC_S& r = a->Driv[uDrivType];
                if (IsValidDrivType(p->uDrivSel, uDrivType, r.uFlags & REC_RELAYED)) {
                    a->uRecvBytes += Buf.uLen;
                    a->uRecvTick = m_uTick;
                    r.uTick = m_uTick;
                    if (!(p->uStatus & QV_PEER_STA_PROBE)) {
                        if (r.uFlags & REC_WORK)
                            p->uRecvPath = a->uCnntID;
                        else
                            SockCnntSendSingle(uIndex, a);
                    }
                    if (m_uTick - a->uSortTick >= 10) {
                        SockPeerCnntAddrSort(uIndex, a, 1);
                        a->uSortTick = m_uTick;
                    }
                    uCnntID = a->uCnntID;
                } else {
                    uDeliver = 0;
                }
            } else if (m_uStaIndex != 0xFFFF && ThisStaIsStation(*lpAddr) == 2) {
                char szAddr[QV_ADDR_STR_SIZE];
                if (!qvAddrToReadable(lpAddr, szAddr, sizeof(szAddr)))
                    szAddr[0] = 0;
                qvLogOut(3, "SocketProc: SockPeerCnntAddrStat: add skip main, uInd=%u, szAddr=%s, uDrivType=%u",
                         uIndex, szAddr, uDrivType);
                uDeliver = 0;
            } else {
                a = SockPeerCnntAddrAdd(uIndex, *lpAddr);
                if (a) {
                    a->uRecvBytes += Buf.uLen;
                    a->uRecvTick = m_uTick;
                    uCnntID = a->uCnntID;
                } else {
                    uDeliver = 0;
                }
            }
            if (uDeliver) {
                p->uStatus &= ~QV_PEER_STA_SILENT;
                if (!(p->uStatus & QV_PEER_STA_PATHS)) {
                    if (uDrivType == QV_SOCK_DRIV_TCP)
                        p->uStatus |= QV_PEER_STA_TCP;
                    SockCnntSend(uIndex, uDrivType);
                } else if (!(p->uStatus & (QV_PEER_STA_DIRECT | QV_PEER_STA_RELAYUDP)) &&
                           (uDrivType == QV_SOCK_DRIV_UDP4 || uDrivType == QV_SOCK_DRIV_UDP6) && p->uDrivSel != 2) {
                    SockCnntSend(uIndex, uDrivType);
                }
                p->uSilentTick = 0;
            }
        }
    } else if (!m_uSide) {
        QV_ADDR_S Empty;
        memset(&Empty, 0, sizeof(Empty));
        CnntBacklogPush(Sender, *lpAddr, uDrivType, Empty, 0);
    }
    Unlock();
    if (uDeliver && m_lpSock)
        m_lpSock->SockEventData(Sender, Buf, uSockID, uCnntID, uDrivType);
    return uRes;
}

// Send.

u32 CQVSocketProc::Send(u32 uHandle, const QV_BUF_S& Buf, u32 uCnntID, u32 uMode, u32* lpuCnntUsed)
{
    if (!m_uInit || !Lock())
        return 0xFFFFFFFFu;
    u32 uRes = 0xFFFFFFFFu;
    SOCK_PEER_S* p = PeerByHandle(uHandle);
    if (p) {
        if (m_uSide) {
            if (p->uMainDriv < QV_SOCK_DRIV_MAX)
                uRes = m_lpDriv[p->uMainDriv]->Send(uHandle, &p->AddrMain, &Buf, nullptr, 0);
        } else {
            uRes = SendAtClient(p->uIndex, Buf, uCnntID, uMode, lpuCnntUsed);
        }
    }
    Unlock();
    return uRes;
}

u32 CQVSocketProc::UdpRecAllowed(const SOCK_PEER_S* p, const DRIV_REC_S& r) const
{
    if (!(r.uFlags & REC_WORK))
        return 0;
    switch (p->uDrivSel) {
    case 0: return 1;
    case 1: return (r.uFlags & REC_RELAYED) ? 0 : 1;
    case 2: return (r.uFlags & REC_RELAYED) ? 1 : 0;
    default: return 0;
    }
}

// One datagram on one driver record of a connection address; puts the relay envelope
// in front unless our side of that path is our own main address.
u32 CQVSocketProc::SendOnDriv(u32 uIndex, CNNT_ADDR_S* a, u32 uDrivType, const QV_BUF_S& Buf)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    const DRIV_REC_S& r = a->Driv[uDrivType];
    QV_BUF_S Out = Buf;
    if (!(r.uFlags & REC_OWNMAIN)) {
        if (!Buf.buf || Buf.uOffset < QV_SOCKPROC_ENVELOPE)
            return 0xFFFFFFFFu;
        Out.uOffset -= QV_SOCKPROC_ENVELOPE;
        Out.uLen += QV_SOCKPROC_ENVELOPE;
        u8* e = Out.buf + Out.uOffset;
        e[0] = 0;
        e[1] = ACT_ENVELOPE;
        e[2] = 0;
        e[3] = 0;
        memcpy(e + 4, m_AddrMain.uAddr, 16);
        e[20] = (u8)(m_AddrMain.uPort >> 8);
        e[21] = (u8)m_AddrMain.uPort;
        e[22] = (u8)(m_AddrMain.uExtra >> 8);
        e[23] = (u8)m_AddrMain.uExtra;
    }
    QV_ADDR_S Pxy;
    u32 uWhich = uDrivType == QV_SOCK_DRIV_UDP4 ? 0 : uDrivType == QV_SOCK_DRIV_UDP6 ? 1 : 2;
    const QV_ADDR_S* lpPxy = SockPeerSelectAddrPxy(uIndex, uWhich, &Pxy) ? &Pxy : nullptr;
    u32 uParam = SockPeerCnntGetDrivParam(uIndex, uDrivType, a->Addr);
    u32 uRes = m_lpDriv[uDrivType]->Send(p->uHandle, &a->Addr, &Out, lpPxy, uParam);
    a->uSendTick = m_uTick;
    if (uRes == 0 || uRes == 0xFFFFFFFFu || (uRes & 0x80000000u))
        return 0xFFFFFFFFu;
    if (uDrivType == QV_SOCK_DRIV_TCP)
        m_uDrivTick[QV_SOCK_DRIV_TCP] = m_uTick;
    return uRes;
}

static u32 Better(u32 uOld, u32 uNew)
{
    if (uNew == 0xFFFFFFFFu)
        return uOld;
    if (uOld == 0xFFFFFFFFu)
        return uNew;
    return uNew > uOld ? uNew : uOld;
}

u32 CQVSocketProc::SendAtClientDriv(u32 uIndex, CNNT_ADDR_S* a, u32 uMode, const QV_BUF_S& Buf)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    u32 uUdp = (a->Driv[QV_SOCK_DRIV_UDP4].uFlags & REC_WORK) ? QV_SOCK_DRIV_UDP4 : QV_SOCK_DRIV_UDP6;
    u32 uRes;
    if (UdpRecAllowed(p, a->Driv[uUdp])) {
        uRes = SendOnDriv(uIndex, a, uUdp, Buf);
        const DRIV_REC_S& t = a->Driv[QV_SOCK_DRIV_TCP];
        if ((uMode & 2) && p->uDrivSel != 1 && (t.uFlags & REC_WORK) && m_uTick - t.uTick <= 4) {
            u32 uTcp = SendOnDriv(uIndex, a, QV_SOCK_DRIV_TCP, Buf);
            if (uTcp != 0xFFFFFFFFu)
                uRes = uTcp;
        }
    } else {
        if (p->uDrivSel == 1 || !(a->Driv[QV_SOCK_DRIV_TCP].uFlags & REC_WORK))
            return 0xFFFFFFFFu;
        uRes = SendOnDriv(uIndex, a, QV_SOCK_DRIV_TCP, Buf);
    }
    return uRes;
}

u32 CQVSocketProc::SendAtClient(u32 uIndex, const QV_BUF_S& Buf, u32 uCnntID, u32 uMode, u32* lpuCnntUsed)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    if (!(p->uStatus & (QV_PEER_STA_DIRECT | QV_PEER_STA_RELAYED))) {
        if (!(p->uStatus & QV_PEER_STA_LAN) && !m_DrivLAN.PrivIsAddrExist(&p->AddrMain)) {
            u32 uNow = GET_TIMESTAMP();
            if (p->uKickIntv && uNow - p->uKickTime < p->uKickIntv * 100)
                return 0xFFFFFFFFu;
            p->uKickTime = uNow;
            p->uKickIntv = p->uKickIntv ? (p->uKickIntv * 2 < KICK_INTV_MAX ? p->uKickIntv * 2 : KICK_INTV_MAX) : 1;
            if (ThisStaMainValid())
                PostMessage(1, p->uHandle, QV_SOCK_DRIV_NONE, 1);
            else
                PostMessage(2, 0, 0, 0);
            return 0xFFFFFFFFu;
        }
        if (!(p->uStatus & QV_PEER_STA_LAN)) {
            p->uStatus |= QV_PEER_STA_LAN;
            PostMessage(8, p->uSockID, 0, 0);
        }
        return m_DrivLAN.Send(p->uHandle, &p->AddrMain, &Buf, nullptr, 0);
    }
    if (uCnntID != 0 && uCnntID != 0x7FFFFFFF) {
        if (p->uStatus & QV_PEER_STA_PROBE) {
            CNNT_ADDR_S* a = SockPeerCnntAddrSearchByCnntID(uIndex, uCnntID);
            if (!a) {
                PostMessage(10, p->uSockID, uCnntID, 0);
            } else if (CnntAddrDrivStaGet(a)) {
                u32 uRes = SendAtClientDriv(uIndex, a, uMode, Buf);
                if (uRes != 0xFFFFFFFFu) {
                    if (lpuCnntUsed)
                        *lpuCnntUsed = uCnntID;
                    return uRes;
                }
            }
        } else if (p->uRecvPath) {
            CNNT_ADDR_S* a = SockPeerCnntAddrSearchByCnntID(uIndex, p->uRecvPath);
            if (a && CnntAddrDrivStaGet(a)) {
                u32 uRes = SendAtClientDriv(uIndex, a, uMode, Buf);
                if (uRes != 0xFFFFFFFFu) {
                    // The block went on the receive path: the socket layer counts it there.
                    if (lpuCnntUsed)
                        *lpuCnntUsed = a->uCnntID;
                    return uRes;
                }
            } else {
                p->uRecvPath = 0;
            }
        }
    }
    u32 uOne = (p->uStatus & (QV_PEER_STA_PROBE | QV_PEER_STA_SILENT)) == QV_PEER_STA_PROBE;
    u32 uRes = 0xFFFFFFFFu;
    u32 uFirst = 0;
    for (CNNT_ADDR_S* a = p->Addrs.Head(); a; a = ADDR_LIST::Next(a)) {
        if (!CnntAddrDrivStaGet(a))
            continue;
        u32 uOne1 = SendAtClientDriv(uIndex, a, uMode, Buf);
        if (uOne1 != 0xFFFFFFFFu && !uFirst)
            uFirst = a->uCnntID;
        uRes = Better(uRes, uOne1);
        if (uOne && uOne1 != 0xFFFFFFFFu)
            break;
    }
    if (uFirst && lpuCnntUsed)
        *lpuCnntUsed = uFirst;
    if ((uMode & 1) && !(p->uStatus & QV_PEER_STA_MPREQ)) {
        p->uStatus |= QV_PEER_STA_MPREQ;
        p->uMPChangeTick = m_uTick;
    } else if (!(uMode & 1) && (p->uStatus & QV_PEER_STA_MPREQ)) {
        p->uStatus &= ~QV_PEER_STA_MPREQ;
        p->uMPChangeTick = m_uTick;
    }
    return uRes;
}

// Connect scheduling.

u32 CQVSocketProc::TcpDrivOn()
{
    if (DrivEnabled(QV_SOCK_DRIV_TCP))
        return 1;
    return SockDrivEnable(QV_SOCK_DRIV_TCP, 0);
}

void CQVSocketProc::TcpDrivOff()
{
    if (DrivEnabled(QV_SOCK_DRIV_TCP))
        SockDrivEnable(QV_SOCK_DRIV_TCP, 1);
}

void CQVSocketProc::SendHoleOpen(u32 uIndex)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    if (qvAddrIPVer(&p->AddrPxy4) != QV_ADDR_VER_IPV4)
        return;
    // 4-byte hole opener built with 64 bytes of head room.
    u8 Raw[64 + 4];
    memset(Raw, 0, sizeof(Raw));
    Raw[64 + 1] = 0x7F;
    QV_BUF_S Buf;
    memset(&Buf, 0, sizeof(Buf));
    Buf.buf = Raw;
    Buf.uOffset = 64;
    Buf.uSize = sizeof(Raw);
    Buf.uLen = 4;
    for (CNNT_ADDR_S* a = p->Addrs.Head(); a; a = ADDR_LIST::Next(a)) {
        if (qvAddrIPVer(&a->Addr) != QV_ADDR_VER_IPV4 || !qvAddrIsPublic(&a->Addr))
            continue;
        for (u32 i = 0; i < 3; i++)
            m_DrivUDP4.Send(p->uHandle, &a->Addr, &Buf, &p->AddrPxy4, SockPeerCnntGetDrivParam(uIndex, 0, a->Addr));
    }
}

u32 CQVSocketProc::SockConnectPeer(u32 uIndex, u32 uDrivType, u32 uReset)
{
    if (m_uSide)
        return 1;
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    u32 c = 0;
    u32 uTimeout = m_uTryTimeout;
    if (p->uStatus & QV_PEER_STA_DIRECT) {
        if ((p->uStatus & QV_PEER_STA_RELAYED) || p->uDrivSel != 2)
            return 1;
        c = 0;
    } else if (p->uStatus & QV_PEER_STA_RELAYED) {
        if (p->uDrivSel == 2)
            return 1;
        u32 uBase = m_uBackoff ? m_uBackoff : 1;
        if (uReset) {
            p->uRelayIntv = 0;
            c = 0;
        } else {
            if (m_uTick - p->uRelayTryTick < p->uRelayIntv)
                return 0;
            p->uRelayTryTick = m_uTick;
            p->uRelayIntv = p->uRelayIntv ? (p->uRelayIntv * 2 < RELAY_INTV_MAX ? p->uRelayIntv * 2 : RELAY_INTV_MAX)
                                          : uBase;
            if (!(p->uStatus & QV_PEER_STA_EXTPUB) && p->uRelayIntv > 1 && !SockDrivAddrMaskCheck(1)) {
                if (m_DrivUDP4.Control(0, 1, nullptr, 0))
                    p->uStatus |= QV_PEER_STA_EXTPUB;
            }
            SendHoleOpen(uIndex);
            c = 2 * uBase < p->uRelayIntv ? 12 : 8;
        }
        if (uDrivType == QV_SOCK_DRIV_TCP && m_uTick - p->uTryTick >= uTimeout)
            p->uStatus |= QV_PEER_STA_RELAY;
    } else {
        if (uReset) {
            p->uTryCount = 0;
            p->uRelayIntv = 0;
            c = 0;
        } else {
            p->uTryCount++;
            if (p->uTryCount >= CNNT_TRY_MAX)
                return 0;
            c = p->uTryCount <= 4 ? 0 : 4;
        }
        if (m_uTick - p->uTryTick >= uTimeout)
            p->uStatus |= QV_PEER_STA_RELAY;
    }
    if (p->uDrivSel != 1 && (p->uStatus & QV_PEER_STA_RELAY))
        TcpDrivOn();
    if (p->uStatus & QV_PEER_STA_SHORT)
        SockCnntPxyShortSend(uIndex, uDrivType, c);
    else
        SockCnntPxySend(uIndex, uDrivType, 0);
    return 0;
}

u32 CQVSocketProc::SockPeerCnntAddrCheck(u32 uIndex, u32 uKind)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    u32 uTcpNeed = 0;
    u32 uChanged = 0;
    u32 uProbe = (p->uStatus & QV_PEER_STA_PROBE) != 0;
    // The last working address in list order; losing it means the peer must start over.
    CNNT_ADDR_S* lpLastWork = nullptr;
    for (CNNT_ADDR_S* a = p->Addrs.Head(); a; a = ADDR_LIST::Next(a))
        if (CnntAddrDrivStaGet(a))
            lpLastWork = a;
    u32 uLastGone = 0;
    CNNT_ADDR_S* a = p->Addrs.Head();
    while (a) {
        CNNT_ADDR_S* n = ADDR_LIST::Next(a);
        if (CnntAddrDrivStaCheck(a, QV_SOCK_DRIV_NONE))
            uChanged = 1;
        u32 uSta = CnntAddrDrivStaGet(a);
        u32 uSend = m_uTick - a->uSendTick;
        u32 uRecv = m_uTick - a->uRecvTick;
        bool bDelete = false;
        if (uSta == 2) {
            if ((uKind & 1) && p->uDrivSel != 2 && p->uMultiPath != 2) {
                bDelete = uSend > 14 || uRecv > 15;
            } else if (uProbe) {
                if (uSend > 4)
                    SockCnntActiveSend(uIndex, a, 0);
                bDelete = uRecv > 15;
            } else {
                bDelete = uSend >= 5 && uSend <= 9 && uRecv > 25;
            }
            if (!bDelete && (a->Driv[QV_SOCK_DRIV_TCP].uFlags & REC_WORK))
                uTcpNeed = 1;
        } else if (uSta & 1) {
            if (uProbe) {
                if (uSend > 4)
                    SockCnntActiveSend(uIndex, a, 0);
                bDelete = uRecv > 15;
            } else {
                bDelete = uSend >= 5 && uSend <= 9 && uRecv > 25;
            }
            if (!bDelete && p->uDrivSel == 2 && (a->Driv[QV_SOCK_DRIV_TCP].uFlags & REC_WORK))
                uTcpNeed = 1;
        } else {
            bDelete = uSend > 29;
        }
        if (bDelete) {
            if (uSta)
                SockCnntDeleteSend(uIndex, a, QV_SOCK_DRIV_NONE);
            if (a == lpLastWork)
                uLastGone = 1;
            SockPeerCnntAddrDelete(uIndex, a);
            uChanged = 1;
        }
        a = n;
    }
    if (uChanged) {
        SockPeerCnntStatusMaskUpdate(uIndex);
        PostMessage(1, p->uHandle, QV_SOCK_DRIV_NONE, uLastGone ? 1 : 0);
        CNNT_ADDR_S* lpDirect = nullptr;
        CNNT_ADDR_S* lpRelay = nullptr;
        for (CNNT_ADDR_S* b = p->Addrs.Head(); b; b = ADDR_LIST::Next(b)) {
            u32 uSta = CnntAddrDrivStaGet(b);
            if ((uSta & 1) && !lpDirect)
                lpDirect = b;
            if (uSta == 2 && !lpRelay)
                lpRelay = b;
        }
        if (lpDirect)
            SockPeerCheckThrough(uIndex, lpDirect->Addr, 0);
        else if (lpRelay)
            SockPeerCheckThrough(uIndex, lpRelay->Addr, 0);
    }
    return uLastGone ? 1 : uTcpNeed;
}

u32 CQVSocketProc::SockPeerMultiPathCnnt(u32 uIndex)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    if (!p->uMultiPath)
        return 0;
    if (p->uStatus & QV_PEER_STA_MPREQ) {
        if (!(p->uStatus & QV_PEER_STA_MPON) && m_uTick - p->uMPChangeTick > 9) {
            p->uStatus |= QV_PEER_STA_MPON;
            p->uMPOnTick = m_uTick;
            qvLogOut(3, "SocketProc: SockPeerMultiPathCnnt, MultiPath On, uInd=%u", uIndex);
        }
    } else if ((p->uStatus & QV_PEER_STA_MPON) && m_uTick - p->uMPChangeTick > 9) {
        p->uStatus &= ~QV_PEER_STA_MPON;
        qvLogOut(3, "SocketProc: SockPeerMultiPathCnnt, MultiPath Off, uInd=%u", uIndex);
    }
    if (!(p->uStatus & QV_PEER_STA_MPON) || m_uTick - p->uMPOnTick > 29)
        return 0;
    u32 uMore = 0;
    for (u32 d = QV_SOCK_DRIV_UDP4; d <= QV_SOCK_DRIV_UDP6; d++) {
        u32 uBit = d == QV_SOCK_DRIV_UDP4 ? QV_PEER_STA_UDP4 : QV_PEER_STA_UDP6;
        u32 uVer = d == QV_SOCK_DRIV_UDP4 ? QV_ADDR_VER_IPV4 : QV_ADDR_VER_IPV6;
        if (!(p->uStatus & uBit)) {
            if (p->uDrivSel == 2)
                continue;
            u32 uFlags = (p->uStatus & QV_PEER_STA_RELAYUDP) ? 2 : 3;
            if (p->uStatus & QV_PEER_STA_SHORT)
                SockCnntPxyShortSend(uIndex, d, uFlags);
            else
                SockCnntPxySend(uIndex, d, uFlags);
            for (CNNT_ADDR_S* a = p->Addrs.Head(); a; a = ADDR_LIST::Next(a))
                if (qvAddrIPVer(&a->Addr) == uVer && !CnntAddrDrivStaGet(a) && !(a->uMask & 0x2))
                    SockCnntSendMsg(uIndex, d, a, 0);
        } else if (!(p->uStatus & QV_PEER_STA_RELAYUDP) && p->uMultiPath == 2 && p->uDrivSel != 1) {
            uMore = 1;
        }
    }
    if (!uMore)
        return 0;
    if (!TcpDrivOn())
        return uMore;
    if (p->uStatus & QV_PEER_STA_SHORT)
        SockCnntPxyShortSend(uIndex, QV_SOCK_DRIV_TCP, 3);
    else
        SockCnntPxySend(uIndex, QV_SOCK_DRIV_TCP, 3);
    for (CNNT_ADDR_S* a = p->Addrs.Head(); a; a = ADDR_LIST::Next(a))
        if (!CnntAddrDrivStaGet(a))
            SockCnntSendMsg(uIndex, QV_SOCK_DRIV_TCP, a, 16);
    return uMore;
}

void CQVSocketProc::SockConnectTimer()
{
    u32 uMain = SockConnectPeerMain(QV_SOCK_DRIV_NONE, 0);
    if (uMain == QV_SOCKPROC_PEER_NONE)
        return;
    u32 uTcpNeed = 0;
    for (SOCK_PEER_S* p = m_PeerUsed.Head(); p; p = PEER_LIST::Next(p)) {
        if (p->uIndex == uMain) {
            for (CNNT_ADDR_S* a = p->Addrs.Head(); a; a = ADDR_LIST::Next(a))
                if (a->Driv[QV_SOCK_DRIV_TCP].uFlags & REC_WORK)
                    uTcpNeed = 1;
            continue;
        }
        if (m_Cnnt.Contains(p)) {
            if (SockConnectPeer(p->uIndex, QV_SOCK_DRIV_NONE, 0))
                CnntListRemove(p);
            else
                uTcpNeed = 1;
        }
        if (p->uStatus & QV_PEER_STA_DIRECT) {
            if (SockPeerCnntAddrCheck(p->uIndex, (p->uStatus & QV_PEER_STA_RELAYED) ? 3 : 1))
                uTcpNeed = 1;
            if (SockPeerMultiPathCnnt(p->uIndex))
                uTcpNeed = 1;
        } else if (p->uStatus & QV_PEER_STA_RELAYED) {
            if (SockPeerCnntAddrCheck(p->uIndex, 2))
                uTcpNeed = 1;
            if (SockPeerMultiPathCnnt(p->uIndex))
                uTcpNeed = 1;
        }
    }
    if (!uTcpNeed && DrivEnabled(QV_SOCK_DRIV_TCP) && m_uTick - m_uDrivTick[QV_SOCK_DRIV_TCP] > TCP_IDLE_MAX)
        TcpDrivOff();
}

void CQVSocketProc::SockConnectCtlReset()
{
    if (!m_uCnntResetPend)
        return;
    for (SOCK_PEER_S* p = m_PeerUsed.Head(); p; p = PEER_LIST::Next(p))
        if (!(p->uStatus & QV_PEER_STA_LAN))
            SockPeerCnntCtlReset(p->uIndex);
    m_uCnntResetPend = 0;
}

void CQVSocketProc::SockPeerClearPaths(SOCK_PEER_S* p)
{
    p->uStatus &= ~(QV_PEER_STA_SILENT | QV_PEER_STA_MPREQ | QV_PEER_STA_MPON);
    p->uRecvPath = 0;
    p->uMPChangeTick = 0;
    p->uMPOnTick = 0;
}

void CQVSocketProc::SockConnectReset(u32 uDrivType)
{
    if (m_uSide)
        return;
    if (uDrivType >= QV_SOCK_DRIV_MAX) {
        for (SOCK_PEER_S* p = m_PeerUsed.Head(); p; p = PEER_LIST::Next(p))
            SockPeerReset(p->uIndex, 1);
        TcpDrivOff();
        return;
    }
    for (SOCK_PEER_S* p = m_PeerUsed.Head(); p; p = PEER_LIST::Next(p)) {
        SockPeerClearPaths(p);
        SockPeerCnntAddrClean(p->uIndex, uDrivType);
        SockPeerCnntStatusMaskUpdate(p->uIndex);
    }
}

u32 CQVSocketProc::Ctrl(u32 uHandle, u32 uType, u32 uFlag)
{
    if (!m_uInit)
        return 0;
    if (m_uSide)
        return 1;
    if (uType == 2) {
        PostMessage(12, 0, 0, 0);
        return 1;
    }
    if (!Lock())
        return 0;
    u32 uRes = 0;
    SOCK_PEER_S* p = PeerByHandle(uHandle);
    if (uType == 0 && p) {
        uRes = 1;
        if (p->uStatus & (QV_PEER_STA_DIRECT | QV_PEER_STA_RELAYED)) {
            // Stamped as tick + 1: 0 means "not silent", also on the very first tick.
            if (!p->uSilentTick)
                p->uSilentTick = m_uTick + 1;
            u32 uTimeout = m_uTryTimeout > 6 ? m_uTryTimeout : 6;
            u32 uSilent = m_uTick + 1 - p->uSilentTick;
            if (uSilent >= uTimeout) {
                // This silence ends here: paths found again are timed afresh, not torn
                // down by the first check after they come back.
                p->uSilentTick = 0;
                SockPeerClearPaths(p);
                SockPeerCnntAddrClean(p->uIndex, QV_SOCK_DRIV_NONE);
                SockPeerCnntStatusMaskUpdate(p->uIndex);
                PostMessage(1, p->uHandle, QV_SOCK_DRIV_NONE, 1);
            } else if (2 * uSilent >= uTimeout) {
                p->uStatus |= QV_PEER_STA_SILENT;
            }
        }
    } else if (uType == 1 && p) {
        if (m_uStaIndex != 0xFFFF && ThisStaIsStation(p->AddrMain) == 2) {
            u32 uMainDriv = m_uMainDriv;
            ThisStaPxyListResetLocked();
            if (uFlag) {
                m_uCnntResetPend = 1;
                for (u32 d = 0; d <= QV_SOCK_DRIV_TCP; d++)
                    PostMessage(5, d, 0, 0);
            } else if (uMainDriv < QV_SOCK_DRIV_MAX) {
                PostMessage(5, uMainDriv, 0, 0);
            }
        }
        uRes = 1;
    }
    Unlock();
    return uRes;
}

void CQVSocketProc::OnConnect(u32 uDrivType, const QV_ADDR_S* lpAddr, u32 uUp)
{
    if (!m_uInit || m_uSide || !lpAddr || uDrivType >= QV_SOCK_DRIV_MAX || !Lock())
        return;
    u32 uIndex = SockPeerSearch(*lpAddr);
    if (uIndex != QV_SOCKPROC_PEER_NONE) {
        SOCK_PEER_S* p = &m_lpPeer[uIndex];
        CNNT_ADDR_S* a = SockPeerCnntAddrSearch(uIndex, *lpAddr);
        if (!uUp) {
            if (a) {
                CnntAddrDrivStaReset(a, uDrivType);
                SockPeerCnntAddrSort(uIndex, a, 0);
            }
            u32 uAny = 0;
            for (CNNT_ADDR_S* b = p->Addrs.Head(); b; b = ADDR_LIST::Next(b))
                uAny |= b->Driv[uDrivType].uFlags & REC_WORK;
            if (!uAny) {
                SockPeerClearPaths(p);
                SockPeerCnntAddrClean(uIndex, uDrivType);
            }
            // The path bits follow the records also while another address still works over
            // this driver: a lost direct path must not go on looking direct.
            SockPeerCnntStatusMaskUpdate(uIndex);
            // Still trying afterwards: back on the connect list, as after any lost path.
            if (p->uDrivSel != 2 && !(p->uStatus & QV_PEER_STA_DIRECT) &&
                !SockConnectPeer(uIndex, QV_SOCK_DRIV_NONE, 1))
                CnntListAdd(p);
        } else if (p->uDrivSel != 2 && (uDrivType == QV_SOCK_DRIV_UDP4 || uDrivType == QV_SOCK_DRIV_UDP6)) {
            if (a && !(p->uStatus & QV_PEER_STA_PROBE) && !(CnntAddrDrivStaGet(a) & 1))
                SockCnntSendSingle(uIndex, a);
            if (!(p->uStatus & QV_PEER_STA_DIRECT)) {
                p->uRelayIntv = 0;
                PostMessage(1, p->uHandle, uDrivType, 1);
            }
        }
    }
    Unlock();
}
