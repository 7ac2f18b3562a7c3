// Socket process: peer records, their connection addresses and the local driver
// addresses, with the rules that sort and age them and the net type codes.
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "qvLog.h"
#include "qvSockAddrUti.h"
#include "qvSocketProc.h"

// A peer table above this many slots gets a hash of one bucket per 16 peers.
static const u32 PEER_HASH_SMALL_MAX = 4095;
static const u32 PEER_HASH_SMALL = 256;
// Record flags of a connection address's driver record.
static const u32 REC_WORK = 0x1;
static const u32 REC_FILLED = 0x2;
static const u32 REC_OWNMAIN = 0x4;
static const u32 REC_RELAYED = 0x8;
static const u32 REC_MASKED = 0x10;
// Entries of the removed-TCP-address list live this many ticks.
static const u32 TCP_DEL_KEEP = 5;
// Driver addresses one peer may teach us (addresses at which it saw us: a few per NAT and
// IP version). Its connect messages carry them as payload, so a peer sending new ones
// without end would otherwise grow the list, and every peer's 'D' and 'F' tails, for good;
// past this many its oldest one gives way.
static const u32 PEER_TAUGHT_MAX = 8;
// Log lines of driver addresses taught by peers, per tick; the rest are counted and the
// count is logged on a later tick.
static const u32 TAUGHT_LOGS_PER_TICK = 8;
// Driver addresses per hash bucket on average with every peer at its limit.
static const u32 DRIV_ADDR_PER_BUCKET = 4;
// Interface and network-learned addresses counted in the hash size.
static const u32 DRIV_ADDR_LOCAL = 64;

u32 CQVSocketProc::PeerHashBuckets(u32 uSlots)
{
    if (uSlots <= PEER_HASH_SMALL_MAX)
        return PEER_HASH_SMALL;
    // One bucket per 16 peers, rounded up, then up to a power of two.
    u32 uNeed = (uSlots + 15) / 16;
    u32 uCount = PEER_HASH_SMALL;
    while (uCount < uNeed)
        uCount <<= 1;
    return uCount;
}

u32 CQVSocketProc::GetThroughPrio(u32 uThrough)
{
    switch (uThrough) {
    case 12: return 1;
    case 13: case 36: return 2;
    case 4: case 32: return 8;
    case 5: return 16;
    case 6: return 17;
    case 7: return 18;
    case 8: return 24;
    case 24: return 32;
    case 14: case 15: case 16: case 40: case 41: case 42: return 48;
    case 0: return 128;
    case 0xFFFF: return 256;
    default: return 1024;
    }
}

u32 CQVSocketProc::GetAddrDrivType(const QV_ADDR_S& Addr)
{
    u32 uVer = qvAddrIPVer(&Addr);
    if (uVer == QV_ADDR_VER_IPV4)
        return 0;
    if (uVer == QV_ADDR_VER_IPV6)
        return 1;
    return 4;
}

u32 CQVSocketProc::GetAddrPrio(const QV_ADDR_S& Addr, const QV_ADDR_S& AddrMain)
{
    u32 uVer = qvAddrIPVer(&Addr);
    if (uVer == QV_ADDR_VER_NONE)
        return 255;
    if (uVer == QV_ADDR_VER_IPV4) {
        u32 uHost = ntohl(Addr.uAddr[3]);
        if ((uHost >> 24) == 127)
            return 0;
        if (!qvIsPubAddr(Addr.uAddr[3]))
            return 1;
    } else {
        if (!Addr.uAddr[0] && !Addr.uAddr[1] && !Addr.uAddr[2] && Addr.uAddr[3] == htonl(1))
            return 0;
        u32 uTop = ntohl(Addr.uAddr[0]) >> 22;   // first 10 bits
        if (uTop == (0xfe80u >> 6) || uTop == (0xfec0u >> 6))
            return 1;
    }
    if (AddrEq(Addr, AddrMain))
        return 3;
    return 4;
}

u32 CQVSocketProc::HelperGetDrivParam(const QV_ADDR_S& A, const QV_ADDR_S& B)
{
    return AddrEq(A, B) ? 0 : 1;
}

u32 CQVSocketProc::IsValidDrivType(u32 uSel, u32 uDrivType, u32 uRelayed) const
{
    if (m_uSide)
        return 1;
    switch (uSel) {
    case 0: return 1;
    case 1: return (uDrivType == QV_SOCK_DRIV_UDP4 || uDrivType == QV_SOCK_DRIV_UDP6) && !uRelayed;
    case 2: return uRelayed || uDrivType == QV_SOCK_DRIV_TCP;
    default: return 0;
    }
}

// Peer table.

u32 CQVSocketProc::SockPeerHash(const QV_ADDR_S& Addr) const
{
    return Addr.uAddr[0] + Addr.uAddr[1] + Addr.uAddr[2] + Addr.uAddr[3] + Addr.uPort;
}

u32 CQVSocketProc::SockPeerInit(u32 uSlots)
{
    if (!uSlots || uSlots > 0xFFFF)
        return 0;
    if (!m_PeerHash.Init(PeerHashBuckets(uSlots)))
        return 0;
    if (!SockDrivAddrHashInit(uSlots)) {
        m_PeerHash.Clean();
        return 0;
    }
    m_lpPeer = new (std::nothrow) SOCK_PEER_S[uSlots];
    if (!m_lpPeer) {
        m_PeerHash.Clean();
        m_DrivAddrHash.Clean();
        m_DrivCookieHash.Clean();
        return 0;
    }
    m_uPeerMax = uSlots;
    m_PeerFree.Reset();
    m_PeerUsed.Reset();
    m_Cnnt.Reset();
    for (u32 i = 0; i < uSlots; i++) {
        SOCK_PEER_S* p = &m_lpPeer[i];
        memset(static_cast<void*>(p), 0, sizeof(*p));
        p->uIndex = i;
        p->usCookie = qvGetCookieShort(0);
        p->uMainDriv = QV_SOCK_DRIV_NONE;
        p->uAltDriv = QV_SOCK_DRIV_NONE;
        m_PeerFree.PushTail(p);
    }
    return 1;
}

void CQVSocketProc::SockPeerFreeAll()
{
    if (!m_lpPeer)
        return;
    for (u32 i = 0; i < m_uPeerMax; i++) {
        SOCK_PEER_S* p = &m_lpPeer[i];
        if (p->Hash.pBucket)
            m_PeerHash.Remove(&p->Hash);
        CNNT_ADDR_S* a = p->Addrs.Head();
        while (a) {
            CNNT_ADDR_S* n = ADDR_LIST::Next(a);
            delete a;
            a = n;
        }
    }
    delete[] m_lpPeer;
    m_lpPeer = nullptr;
    m_uPeerMax = 0;
    m_PeerFree.Reset();
    m_PeerUsed.Reset();
    m_Cnnt.Reset();
}

CQVSocketProc::SOCK_PEER_S* CQVSocketProc::PeerByHandle(u32 uHandle)
{
    u32 uIndex = uHandle >> 16;
    if (!m_lpPeer || uIndex >= m_uPeerMax)
        return nullptr;
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    if (!m_PeerUsed.Contains(p) || p->usCookie != (u16)(uHandle & 0xFFFF))
        return nullptr;
    return p;
}

// Runs lpfnDo on the peer of uHandle with the process lock held; 1 when there is such a peer.
template <class F>
u32 CQVSocketProc::WithPeer(u32 uHandle, F lpfnDo)
{
    if (!m_uInit || !Lock())
        return 0;
    SOCK_PEER_S* p = PeerByHandle(uHandle);
    if (p)
        lpfnDo(p);
    Unlock();
    return p ? 1 : 0;
}

u32 CQVSocketProc::SockPeerSearch(const QV_ADDR_S& Addr)
{
    if (!m_lpPeer)
        return QV_SOCKPROC_PEER_NONE;
    SOCK_PEER_S* p = m_PeerHash.Find<SOCK_PEER_S>(SockPeerHash(Addr),
                                                  [&](SOCK_PEER_S* q) { return AddrEq(q->AddrMain, Addr); });
    return p ? p->uIndex : QV_SOCKPROC_PEER_NONE;
}

u32 CQVSocketProc::SockPeerAlloc(const QV_ADDR_S& AddrMain, u32 uSockID)
{
    SOCK_PEER_S* p = m_PeerFree.PopHead();
    if (!p)
        return QV_SOCKPROC_PEER_NONE;
    u32 uIndex = p->uIndex;
    u16 usCookie = qvGetCookieShort(p->usCookie);
    memset(static_cast<void*>(p), 0, sizeof(*p));
    p->uIndex = uIndex;
    p->usCookie = usCookie;
    p->uHandle = (uIndex << 16) | usCookie;
    p->uSockID = uSockID;
    p->uRecvTick = m_uTick;
    p->uTryTick = m_uTick;
    p->uRelayTryTick = m_uTick;
    p->AddrMain = AddrMain;
    p->uAltDriv = QV_SOCK_DRIV_NONE;
    if (m_uSide) {
        p->uMainDriv = GetAddrDrivType(AddrMain);
        p->uStatus = QV_PEER_STA_PATHS;
        p->uRecvPath = m_uTick;
    } else {
        if (m_uStaIndex != 0xFFFF && ThisStaIsStation(AddrMain) == 2)
            p->uMainDriv = m_uMainDriv;
        else
            p->uMainDriv = GetAddrDrivType(AddrMain);
        if (m_DrivLAN.PrivIsAddrExist(&AddrMain)) {
            p->uStatus |= QV_PEER_STA_LAN;
            PostMessage(8, uSockID, 0, 0);
        }
    }
    m_PeerHash.Add(&p->Hash, p, SockPeerHash(AddrMain));
    m_PeerUsed.PushTail(p);
    return uIndex;
}

void CQVSocketProc::CnntListAdd(SOCK_PEER_S* p)
{
    m_Cnnt.PushTail(p);   // refused, leaving the order alone, when already on the list
}

void CQVSocketProc::CnntListRemove(SOCK_PEER_S* p)
{
    m_Cnnt.Remove(p);
}

void CQVSocketProc::SockPeerFree(u32 uIndex)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    if (!m_PeerUsed.Contains(p))
        return;
    m_PeerHash.Remove(&p->Hash);
    SockPeerReset(uIndex, 0);
    // Server-mode peers keep addresses too when a driver reported them.
    SockPeerCnntAddrClean(uIndex, QV_SOCK_DRIV_NONE);
    // What it taught us stays, with nobody to answer for it; the sweep ages it.
    while (DRIV_ADDR_S* d = p->Taught.PopHead())
        d->uPeer = QV_SOCKPROC_PEER_NONE;
    p->usCookie = qvGetCookieShort(p->usCookie);
    p->uHandle = 0;
    CnntListRemove(p);
    m_PeerUsed.Remove(p);
    m_PeerFree.PushTail(p);
}

u32 CQVSocketProc::SockPeerRelayUsing(u32 uExcept)
{
    for (SOCK_PEER_S* p = m_PeerUsed.Head(); p; p = PEER_LIST::Next(p))
        if (p->uIndex != uExcept && (p->uStatus & (QV_PEER_STA_TCPWORK | QV_PEER_STA_RELAY)))
            return 1;
    return 0;
}

void CQVSocketProc::SockPeerReset(u32 uIndex, u32 uKeepRelay)
{
    if (m_uSide)
        return;
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    CnntListRemove(p);
    if (!uKeepRelay && (p->uStatus & QV_PEER_STA_TCPWORK) && !SockPeerRelayUsing(uIndex))
        TcpDrivOff();
    p->uStatus = 0;
    p->uSilentTick = 0;
    p->uRecvTick = m_uTick;
    p->uThrough = 0;
    SockDrivEnumDelete(p->AddrMain);
    SockPeerCnntCtlReset(uIndex);
    SockPeerCnntAddrClean(uIndex, QV_SOCK_DRIV_NONE);
}

// The peer is reachable without the relay: a relay attempt starts over, and the kick and try
// counts with it.
void CQVSocketProc::SockPeerHeardDirect(SOCK_PEER_S* p)
{
    if (p->uStatus & QV_PEER_STA_DIRECT) {
        p->uRelayTryTick = m_uTick;
        p->uRelayIntv = 0;
    }
    p->uStatus &= ~QV_PEER_STA_RELAY;
    p->uRecvTick = m_uTick;
    p->uKickIntv = 0;
    p->uTryCount = 0;
}

void CQVSocketProc::SockPeerCnntCtlReset(u32 uIndex)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    if (m_uTryTimeout == 0 && !ThisStaIsStation(p->AddrMain))
        p->uStatus |= QV_PEER_STA_RELAY;
    p->uTryTick = m_uTick;
    p->uTryCount = 0;
    p->uKickTime = 0;
    p->uKickIntv = 0;
    p->uRelayTryTick = m_uTick;
    p->uEnumCookie = 0;
    if (m_uSide) {
        p->uRecvPath = m_uTick;
    } else {
        p->uRecvPath = 0;
        p->uMPChangeTick = 0;
        p->uMPOnTick = 0;
    }
}

u32 CQVSocketProc::SockPeerAssistGetBacklog(u32 uIndex)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    QV_ADDR_S Flagged;
    memset(&Flagged, 0, sizeof(Flagged));
    if (!AssistBacklogGet(p->AddrMain, &Flagged) || AddrEmpty(Flagged))
        return 0;
    p->AddrAlt = Flagged;
    p->uAltDriv = GetAddrDrivType(Flagged);
    return 1;
}

u32 CQVSocketProc::Add(const QV_ADDR_S& AddrMain, u32 uSockID)
{
    if (!m_uInit || !Lock())
        return 0;
    u32 uIndex = SockPeerSearch(AddrMain);
    if (uIndex == QV_SOCKPROC_PEER_NONE)
        uIndex = SockPeerAlloc(AddrMain, uSockID);
    if (uIndex == QV_SOCKPROC_PEER_NONE) {
        Unlock();
        return 0;
    }
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    p->uSockID = uSockID;
    u32 uStation = (m_uStaIndex != 0xFFFF && ThisStaIsStation(AddrMain) == 2);
    if (uStation) {
        p->uDrivSel = 0;
    } else {
        SockPeerAssistGetBacklog(uIndex);
        p->uDrivSel = m_uDrivSelDef;
        if (m_uDrivSelDef == 2)
            p->uStatus |= QV_PEER_STA_RELAY;
    }
    u32 uHandle = p->uHandle;
    if (!m_uSide && !(p->uStatus & (QV_PEER_STA_DIRECT | QV_PEER_STA_RELAYED | QV_PEER_STA_LAN))) {
        SockPeerCnntCtlReset(uIndex);
        if (uStation) {
            CNNT_ADDR_S* a = SockPeerCnntAddrSearch(uIndex, AddrMain);
            if (!a) {
                SockPeerCnntAddrClean(uIndex, QV_SOCK_DRIV_NONE);
                a = SockPeerCnntAddrAdd(uIndex, AddrMain);
                if (!a)
                    qvLogOut(0, "SocketProc: SockPeerCnntSetPxy. CnntAddrAdd failed");
            }
            if (a) {
                a->uRecvTick = m_uTick;
                if (m_uMainDriv < QV_SOCK_DRIV_MAX) {
                    CnntAddrDrivStaReset(a, QV_SOCK_DRIV_NONE);
                    CnntAddrDrivTypeSet(uIndex, a, m_uMainDriv, &m_AddrMain, 0);
                    a->Driv[m_uMainDriv].uFlags |= REC_WORK;
                    SockPeerCnntAddrSort(uIndex, a, 1);
                }
                SockPeerHeardDirect(p);
                SockPeerCnntStatusMaskUpdate(uIndex);
                SockPeerCheckThrough(uIndex, AddrMain, 0);
            }
        } else {
            QV_ADDR_S Source, Tunnels[QV_SOCK_DRIV_MAX];
            u32 uFlags = 0, uTunFlags[QV_SOCK_DRIV_MAX];
            while (CnntBacklogPop(AddrMain, &Source, &uFlags, Tunnels, uTunFlags)) {
                for (u32 d = 0; d < QV_SOCK_DRIV_MAX; d++)
                    if (uTunFlags[d] & REC_RELAYED)
                        p->uStatus |= QV_PEER_STA_TCP;
                CNNT_ADDR_S* a = SockPeerCnntAddrSearch(uIndex, Source);
                if (!a)
                    a = SockPeerCnntAddrAdd(uIndex, Source);
                if (!a)
                    continue;
                a->uRecvTick = m_uTick;
                SockPeerCnntAddrMaskSet(a, 0x2, uFlags & 0x2);
                for (u32 d = 0; d < QV_SOCK_DRIV_MAX; d++) {
                    if (!(uTunFlags[d] & 0x1))
                        continue;
                    CnntAddrDrivTypeSet(uIndex, a, d, &Tunnels[d], uTunFlags[d] & REC_RELAYED);
                    SockCnntSendDrivType(uIndex, a, d);
                }
                SockPeerCnntAddrSort(uIndex, a, 1);
                SockPeerCheckThrough(uIndex, Source, 0);
            }
        }
        if (!AddrEmpty(p->AddrPxy4) || !AddrEmpty(p->AddrPxy6))
            PostMessage(1, uHandle, QV_SOCK_DRIV_NONE, 1);
    }
    Unlock();
    return uHandle;
}

u32 CQVSocketProc::Delete(u32 uHandle)
{
    return WithPeer(uHandle, [&](SOCK_PEER_S* p) { SockPeerFree(p->uIndex); });
}

u32 CQVSocketProc::Search(const QV_ADDR_S& Addr, u32& uSockID)
{
    if (!m_uInit || !Lock())
        return 0;
    u32 uIndex = SockPeerSearch(Addr);
    u32 uHandle = 0;
    if (uIndex != QV_SOCKPROC_PEER_NONE) {
        uHandle = m_lpPeer[uIndex].uHandle;
        uSockID = m_lpPeer[uIndex].uSockID;
    }
    Unlock();
    return uHandle;
}

u32 CQVSocketProc::SetPeerParam(u32 uHandle, u32 uSockID)
{
    return WithPeer(uHandle, [&](SOCK_PEER_S* p) { p->uSockID = uSockID; });
}

u32 CQVSocketProc::GetPeerAddr(u32 uHandle, QV_ADDR_S* lpAddr)
{
    if (!lpAddr)
        return 0;
    return WithPeer(uHandle, [&](SOCK_PEER_S* p) { *lpAddr = p->AddrMain; });
}

u32 CQVSocketProc::GetPeerInfo(u32 uHandle, u32* lpuOut)
{
    if (!lpuOut)
        return 0;
    return WithPeer(uHandle, [&](SOCK_PEER_S* p) { *lpuOut = (p->uStatus & QV_PEER_STA_LAN) ? 1 : 0; });
}

u32 CQVSocketProc::GetPeerCnntAddr(u32 uHandle, QV_SOCK_CNNT_ADDR_S* lpOut, u32 uMax)
{
    if (!lpOut || m_uSide || !m_uInit || !Lock())
        return 0;
    u32 uCount = 0;
    SOCK_PEER_S* p = PeerByHandle(uHandle);
    if (p) {
        for (CNNT_ADDR_S* a = p->Addrs.Head(); a && uCount < uMax; a = ADDR_LIST::Next(a)) {
            lpOut[uCount].uCnntID = a->uCnntID;
            lpOut[uCount].uThrough = GetThroughPrio(a->uThrough);
            uCount++;
        }
    }
    Unlock();
    return uCount;
}

u32 CQVSocketProc::SockPeerOptDrivSel(u32 uIndex, u32 uSel)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    char szAddr[QV_ADDR_STR_SIZE];
    qvLogOut(1, "SocketProc: SockPeerOptDrivSel, AddrMain=%s, uDrivSelOld=%u, uDrivSel=%u",
             AddrText(p->AddrMain, szAddr), p->uDrivSel, uSel);
    if (m_uStaIndex != 0xFFFF && ThisStaIsStation(p->AddrMain) == 2)
        return 1;
    if (p->uDrivSel == uSel)
        return 1;
    p->uDrivSel = uSel;
    for (CNNT_ADDR_S* a = p->Addrs.Head(); a; a = ADDR_LIST::Next(a))
        SockCnntDeleteSend(uIndex, a, QV_SOCK_DRIV_NONE);
    SockPeerReset(uIndex, 1);
    if (uSel == 2)
        p->uStatus |= QV_PEER_STA_RELAY;
    PostMessage(1, p->uHandle, QV_SOCK_DRIV_NONE, 1);
    return 1;
}

u32 CQVSocketProc::SetPeerOption(u32 uHandle, u32 uOption, const char* lpszValue)
{
    if (!m_uInit || !Lock())
        return 0;
    u32 uRes = 0;
    SOCK_PEER_S* p = PeerByHandle(uHandle);
    if (p) {
        if (m_uSide) {
            uRes = 1;
        } else if (uOption <= 1 && lpszValue) {
            char* lpszEnd = nullptr;
            unsigned long uValue = strtoul(lpszValue, &lpszEnd, 10);
            if (lpszEnd == lpszValue || *lpszEnd != 0 || uValue > 0xFFFFFFFFul) {
                uRes = 0;
            } else if (uOption == 0) {
                // Selections are 0 any, 1 UDP only, 2 relay only; any other value would let
                // no driver carry the peer at all.
                uRes = uValue <= 2 ? SockPeerOptDrivSel(p->uIndex, (u32)uValue) : 0;
            } else {
                p->uMultiPath = (u32)uValue;
                uRes = 1;
            }
        }
    }
    Unlock();
    return uRes;
}

u32 CQVSocketProc::SetPeerProxy(u32 uHandle, const QV_ADDR_S* lpProxy4, const QV_ADDR_S* lpProxy6)
{
    if (!m_uInit || !Lock())
        return 0;
    SOCK_PEER_S* p = PeerByHandle(uHandle);
    if (!p) {
        Unlock();
        return 0;
    }
    u32 uChanged = 0;
    if (lpProxy4 && !AddrEq(*lpProxy4, p->AddrPxy4)) {
        p->AddrPxy4 = *lpProxy4;
        uChanged = 1;
    }
    if (lpProxy6 && !AddrEq(*lpProxy6, p->AddrPxy6)) {
        p->AddrPxy6 = *lpProxy6;
        uChanged = 1;
    }
    if (uChanged || !(p->uStatus & (QV_PEER_STA_DIRECT | QV_PEER_STA_RELAYED))) {
        SockPeerCnntCtlReset(p->uIndex);
        if (ThisStaMainValid())
            PostMessage(1, p->uHandle, QV_SOCK_DRIV_NONE, 1);
    }
    char sz4[QV_ADDR_STR_SIZE], sz6[QV_ADDR_STR_SIZE];
    qvLogOut(1, "SocketProc: SetPeerProxy: uInd=%u, szAddrPxy=%s, szAddrPxy6=%s", p->uIndex,
             AddrText(p->AddrPxy4, sz4), AddrText(p->AddrPxy6, sz6));
    Unlock();
    return 1;
}

u32 CQVSocketProc::CheckDrivAddr(const QV_ADDR_S* lpAddr)
{
    if (!lpAddr || !m_uInit || !Lock())
        return 0;
    u32 uRes = 0;
    for (DRIV_ADDR_S* d = m_DrivAddr.Head(); d; d = m_DrivAddr.Next(d))
        if (AddrEq(d->Addr, *lpAddr)) {
            uRes = 1;
            break;
        }
    Unlock();
    return uRes;
}

// Connection addresses.

CQVSocketProc::CNNT_ADDR_S* CQVSocketProc::SockPeerCnntAddrAdd(u32 uIndex, const QV_ADDR_S& Addr)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    u32 uUsed = 0;   // bit n: id n taken
    for (CNNT_ADDR_S* a = p->Addrs.Head(); a; a = ADDR_LIST::Next(a))
        uUsed |= 1u << (a->uCnntID >> 16);
    u32 uID = 0;
    for (u32 i = 1; i <= QV_SOCKPROC_CNNT_MAX; i++)
        if (!(uUsed & (1u << i))) {
            uID = i;
            break;
        }
    if (!uID) {
        // All ids in use: recycle the stalest trying address, else the connected one
        // heard from least recently.
        CNNT_ADDR_S* lpOld = nullptr;
        u32 uAge = 0;
        for (CNNT_ADDR_S* a = p->Addrs.Head(); a; a = ADDR_LIST::Next(a))
            if (!CnntAddrDrivStaGet(a) && (!lpOld || m_uTick - a->uSendTick > uAge)) {
                lpOld = a;
                uAge = m_uTick - a->uSendTick;
            }
        char szAddr[QV_ADDR_STR_SIZE];
        if (lpOld) {
            qvLogOut(1, "SocketProc: SockPeerCnntAddrAdd, Recycle trying, uInd=%u, uCnntID=%u, szAddr=%s", uIndex,
                     lpOld->uCnntID >> 16, AddrText(lpOld->Addr, szAddr));
        } else {
            for (CNNT_ADDR_S* a = p->Addrs.Head(); a; a = ADDR_LIST::Next(a))
                if (!lpOld || m_uTick - a->uRecvTick > uAge) {
                    lpOld = a;
                    uAge = m_uTick - a->uRecvTick;
                }
            if (lpOld)
                qvLogOut(1, "SocketProc: SockPeerCnntAddrAdd, Recycle cnnted, uInd=%u, uCnntID=%u, szAddr=%s",
                         uIndex, lpOld->uCnntID >> 16, AddrText(lpOld->Addr, szAddr));
        }
        if (!lpOld) {
            qvLogOut(1, "SocketProc: SockPeerCnntAddrAdd, CnntAddr full, uInd=%u", uIndex);
            return nullptr;
        }
        uID = lpOld->uCnntID >> 16;
        SockPeerCnntAddrDelete(uIndex, lpOld);
    }
    CNNT_ADDR_S* a = new (std::nothrow) CNNT_ADDR_S;
    if (!a)
        return nullptr;
    memset(static_cast<void*>(a), 0, sizeof(*a));
    u16 usCookie = qvGetCookieShort(0);
    for (;;) {
        CNNT_ADDR_S* b = p->Addrs.Head();
        while (b && (u16)(b->uCnntID & 0xFFFF) != usCookie)
            b = ADDR_LIST::Next(b);
        if (!b)
            break;
        usCookie++;
        if (!usCookie)
            usCookie = 1;
    }
    a->uCnntID = (uID << 16) | usCookie;
    a->uSendTick = m_uTick;
    a->Addr = Addr;
    a->Addr.uExtra = 0;
    p->Addrs.PushTail(a);
    return a;
}

void CQVSocketProc::SockPeerCnntAddrDelete(u32 uIndex, CNNT_ADDR_S* a)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    for (u32 d = 0; d < QV_SOCK_DRIV_MAX; d++)
        if (a->Driv[d].uFlags & REC_WORK)
            m_lpDriv[d]->Delete(p->uHandle, &a->Addr);
    PostMessage(10, p->uSockID, a->uCnntID, 0);
    if (p->uRecvPath == a->uCnntID && !m_uSide)
        p->uRecvPath = 0;
    p->Addrs.Remove(a);
    delete a;
}

void CQVSocketProc::SockPeerCnntAddrClean(u32 uIndex, u32 uDrivType)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    CNNT_ADDR_S* a = p->Addrs.Head();
    while (a) {
        CNNT_ADDR_S* n = ADDR_LIST::Next(a);
        if (uDrivType >= QV_SOCK_DRIV_MAX) {
            SockPeerCnntAddrDelete(uIndex, a);
        } else {
            if (a->Driv[uDrivType].uFlags & REC_WORK)
                m_lpDriv[uDrivType]->Delete(p->uHandle, &a->Addr);
            memset(&a->Driv[uDrivType], 0, sizeof(a->Driv[uDrivType]));
            u32 uAny = 0;
            for (u32 d = 0; d < QV_SOCK_DRIV_MAX; d++)
                uAny |= a->Driv[d].uFlags & REC_WORK;
            if (!uAny)
                SockPeerCnntAddrDelete(uIndex, a);
        }
        a = n;
    }
}

CQVSocketProc::CNNT_ADDR_S* CQVSocketProc::SockPeerCnntAddrSearch(u32 uIndex, const QV_ADDR_S& Addr)
{
    for (CNNT_ADDR_S* a = m_lpPeer[uIndex].Addrs.Head(); a; a = ADDR_LIST::Next(a))
        if (AddrEq(a->Addr, Addr))
            return a;
    return nullptr;
}

CQVSocketProc::CNNT_ADDR_S* CQVSocketProc::SockPeerCnntAddrSearchByCnntID(u32 uIndex, u32 uCnntID)
{
    for (CNNT_ADDR_S* a = m_lpPeer[uIndex].Addrs.Head(); a; a = ADDR_LIST::Next(a))
        if (a->uCnntID == uCnntID)
            return a;
    return nullptr;
}

CQVSocketProc::CNNT_ADDR_S* CQVSocketProc::SockPeerCnntAddrSearchByDrivCookie(u32 uDrivType, u32 uCookie,
                                                                                 u32* lpuIndex)
{
    if (uDrivType >= QV_SOCK_DRIV_MAX)
        return nullptr;
    for (SOCK_PEER_S* p = m_PeerUsed.Head(); p; p = PEER_LIST::Next(p))
        for (CNNT_ADDR_S* a = p->Addrs.Head(); a; a = ADDR_LIST::Next(a))
            if ((a->Driv[uDrivType].uFlags & REC_WORK) && a->Driv[uDrivType].uCookie == uCookie) {
                if (lpuIndex)
                    *lpuIndex = p->uIndex;
                return a;
            }
    return nullptr;
}

u32 CQVSocketProc::CnntAddrDrivStaGet(const CNNT_ADDR_S* a)
{
    const DRIV_REC_S& Udp = (a->Driv[QV_SOCK_DRIV_UDP4].uFlags & REC_WORK) ? a->Driv[QV_SOCK_DRIV_UDP4]
                                                                            : a->Driv[QV_SOCK_DRIV_UDP6];
    u32 uSta = 0;
    if (Udp.uFlags & REC_WORK)
        uSta |= (Udp.uFlags & REC_RELAYED) ? 2 : 1;
    if (a->Driv[QV_SOCK_DRIV_LAN].uFlags & REC_WORK)
        uSta |= 1;
    if (a->Driv[QV_SOCK_DRIV_TCP].uFlags & REC_WORK)
        uSta |= 2;
    return uSta;
}

void CQVSocketProc::CnntAddrDrivStaReset(CNNT_ADDR_S* a, u32 uDrivType)
{
    if (uDrivType >= QV_SOCK_DRIV_MAX)
        memset(a->Driv, 0, sizeof(a->Driv));
    else
        memset(&a->Driv[uDrivType], 0, sizeof(a->Driv[uDrivType]));
    if (!CnntAddrDrivStaGet(a))
        a->uMask = 0;
}

u32 CQVSocketProc::CnntAddrDrivStaCheck(CNNT_ADDR_S* a, u32 uDrivType)
{
    u32 uList[2];
    u32 uCount = 0;
    if (uDrivType >= QV_SOCK_DRIV_MAX) {
        uList[uCount++] = (a->Driv[QV_SOCK_DRIV_UDP4].uFlags & REC_WORK) ? QV_SOCK_DRIV_UDP4 : QV_SOCK_DRIV_UDP6;
        uList[uCount++] = QV_SOCK_DRIV_TCP;
    } else {
        uList[uCount++] = uDrivType;
    }
    u32 uCleared = 0;
    for (u32 i = 0; i < uCount; i++) {
        DRIV_REC_S& r = a->Driv[uList[i]];
        if ((r.uFlags & REC_WORK) && r.uCookie && (r.uFlags & REC_MASKED) && !SockDrivAddrSearchByCookie(r.uCookie)) {
            memset(&r, 0, sizeof(r));
            uCleared = 1;
        }
    }
    if (!CnntAddrDrivStaGet(a))
        a->uMask = 0;
    return uCleared;
}

u32 CQVSocketProc::CnntAddrDrivTypeSet(u32 uIndex, CNNT_ADDR_S* a, u32 uDrivType, const QV_ADDR_S* lpLocal,
                                       u32 uRelayed)
{
    if (uDrivType >= QV_SOCK_DRIV_MAX)
        return 0;
    if (uDrivType == QV_SOCK_DRIV_UDP4)
        memset(&a->Driv[QV_SOCK_DRIV_UDP6], 0, sizeof(DRIV_REC_S));
    else if (uDrivType == QV_SOCK_DRIV_UDP6)
        memset(&a->Driv[QV_SOCK_DRIV_UDP4], 0, sizeof(DRIV_REC_S));
    DRIV_REC_S& r = a->Driv[uDrivType];
    r.uFlags |= REC_FILLED;
    if (lpLocal && !AddrEmpty(m_AddrMain) && AddrEq(*lpLocal, m_AddrMain))
        r.uFlags |= REC_OWNMAIN;
    else
        r.uFlags &= ~REC_OWNMAIN;
    if (uRelayed)
        r.uFlags |= REC_RELAYED;
    else
        r.uFlags &= ~REC_RELAYED;
    r.uTick = m_uTick;
    if (lpLocal && !AddrEmpty(*lpLocal)) {
        DRIV_ADDR_S* d = SockDrivAddrSearch(*lpLocal, uDrivType);
        if (!d)
            d = SockDrivAddrAdd(*lpLocal, uDrivType, 0x2, uIndex);
        if (d) {
            r.uCookie = d->uCookie;
            if (d->uMask & 3)
                r.uFlags |= REC_MASKED;
            else
                r.uFlags &= ~REC_MASKED;
        }
    }
    return 1;
}

void CQVSocketProc::SockPeerCnntAddrSort(u32 uIndex, CNNT_ADDR_S* a, u32 uUp)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    u32 uSta = CnntAddrDrivStaGet(a);
    CNNT_ADDR_S* lpBefore;   // a goes in front of it
    if (uSta && uUp) {
        u32 uPrio = GetAddrPrio(a->Addr, m_AddrMain);
        CNNT_ADDR_S* lpAt = ADDR_LIST::Prev(a);   // a goes after lpAt
        while (lpAt) {
            u32 uAtSta = CnntAddrDrivStaGet(lpAt);
            bool bPass = false;
            if (!uAtSta)
                bPass = true;
            else if (uAtSta == 2 && (uSta & 1))
                bPass = true;
            else if (((uAtSta & 1) != 0) == ((uSta & 1) != 0)) {
                u32 uAtPrio = GetAddrPrio(lpAt->Addr, m_AddrMain);
                if (uAtPrio > uPrio)
                    bPass = true;
                else if (uAtPrio == uPrio && m_uTick - lpAt->uRecvTick > m_uTick - a->uRecvTick)
                    bPass = true;
            }
            if (!bPass)
                break;
            lpAt = ADDR_LIST::Prev(lpAt);
        }
        if (lpAt == ADDR_LIST::Prev(a))
            return;
        lpBefore = lpAt ? ADDR_LIST::Next(lpAt) : p->Addrs.Head();
    } else {
        // Toward the tail: a working address passes every direct successor (and
        // relayed-only ones when it is relayed-only itself), a dead one every working one.
        lpBefore = ADDR_LIST::Next(a);
        while (lpBefore) {
            u32 uAtSta = CnntAddrDrivStaGet(lpBefore);
            bool bPass = uSta ? ((uAtSta & 1) || (uSta == 2 && uAtSta == 2)) : uAtSta != 0;
            if (!bPass)
                break;
            lpBefore = ADDR_LIST::Next(lpBefore);
        }
        if (lpBefore == ADDR_LIST::Next(a))
            return;
    }
    // Move a in front of lpBefore (to the tail when none).
    p->Addrs.Remove(a);
    p->Addrs.InsertAfter(lpBefore ? ADDR_LIST::Prev(lpBefore) : p->Addrs.Tail(), a);
}

void CQVSocketProc::SockPeerCnntAddrReport(u32 uIndex, CNNT_ADDR_S* a, u32 uUp)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    if (uUp)
        PostMessage(9, p->uSockID, a->uCnntID, GetThroughPrio(a->uThrough));
    else
        PostMessage(10, p->uSockID, a->uCnntID, 0);
}

u32 CQVSocketProc::SockPeerCnntStatusMaskUpdate(u32 uIndex)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    u32 uBits = 0;
    u32 uTcp = 0;
    for (CNNT_ADDR_S* a = p->Addrs.Head(); a; a = ADDR_LIST::Next(a)) {
        for (u32 d = QV_SOCK_DRIV_UDP4; d <= QV_SOCK_DRIV_UDP6; d++) {
            const DRIV_REC_S& r = a->Driv[d];
            if (!(r.uFlags & REC_WORK))
                continue;
            if (r.uFlags & REC_RELAYED)
                uBits |= QV_PEER_STA_RELAYUDP;
            else
                uBits |= d == QV_SOCK_DRIV_UDP4 ? QV_PEER_STA_UDP4 : QV_PEER_STA_UDP6;
        }
        if (a->Driv[QV_SOCK_DRIV_TCP].uFlags & REC_WORK) {
            uBits |= QV_PEER_STA_TCPWORK;
            uTcp = 1;
        }
    }
    u32 uOld = p->uStatus & QV_PEER_STA_PATHS;
    p->uStatus = (p->uStatus & ~QV_PEER_STA_PATHS) | uBits;
    if (uBits & QV_PEER_STA_DIRECT)
        p->uStatus &= ~QV_PEER_STA_RELAY;
    if (uTcp)
        p->uStatus &= ~QV_PEER_STA_TCP;
    return uOld != uBits ? 1 : 0;
}

u32 CQVSocketProc::SockPeerAssistMainGet(u32 uIndex, const QV_ADDR_S& Addr, QV_ADDR_S* lpOut)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    u32 uVer = GetAddrDrivType(Addr);
    if (uVer > 1)
        return 0;
    if (p->uMainDriv == uVer && !AddrEmpty(p->AddrMain)) {
        *lpOut = p->AddrMain;
        return 1;
    }
    if (p->uAltDriv == uVer && !AddrEmpty(p->AddrAlt)) {
        *lpOut = p->AddrAlt;
        return 1;
    }
    return 0;
}

void CQVSocketProc::SockPeerCheckThrough(u32 uIndex, const QV_ADDR_S& Addr, u32 uForce)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    CNNT_ADDR_S* a = SockPeerCnntAddrSearch(uIndex, Addr);
    if (!a || !CnntAddrDrivStaGet(a))
        return;
    u32 uCode = 0;
    u32 uVer = qvAddrIPVer(&Addr);
    const DRIV_REC_S& R4 = a->Driv[QV_SOCK_DRIV_UDP4];
    const DRIV_REC_S& R6 = a->Driv[QV_SOCK_DRIV_UDP6];
    const DRIV_REC_S& RT = a->Driv[QV_SOCK_DRIV_TCP];
    if (!qvAddrIsPublic(&Addr)) {
        uCode = uVer == QV_ADDR_VER_IPV6 ? 36 : 12;
    } else {
        if ((R4.uFlags & REC_WORK) && !(R4.uFlags & REC_RELAYED)) {
            m_DrivUDP4.GetPeerInfo(p->uHandle, &Addr, &uCode, nullptr, nullptr, nullptr);
            if (!uCode)
                m_DrivUDP6.GetPeerInfo(p->uHandle, &Addr, &uCode, nullptr, nullptr, nullptr);
        }
        if (!uCode) {
            if (R4.uFlags & REC_WORK) {
                if (R4.uFlags & REC_RELAYED) {
                    uCode = 16;
                } else {
                    QV_ADDR_S Main = p->AddrMain;
                    SockPeerAssistMainGet(uIndex, Addr, &Main);
                    uCode = AddrEq(Addr, Main) ? 7 : 8;
                }
            } else if (R6.uFlags & REC_WORK) {
                uCode = (R6.uFlags & REC_RELAYED) ? 40 : 32;
            } else if (RT.uFlags & REC_WORK) {
                if (uVer == QV_ADDR_VER_IPV4)
                    uCode = 16;
                else if (uVer == QV_ADDR_VER_IPV6)
                    uCode = 40;
                else
                    qvLogOut(3, "SocketProc: SockPeerCheckThrough: uInd=%u, no relay ip ver", uIndex);
            } else {
                qvLogOut(3, "SocketProc: SockPeerCheckThrough: uInd=%u, CnntAddr not enable", uIndex);
            }
        }
    }
    if (uCode && uCode != a->uThrough) {
        a->uThrough = uCode;
        SockPeerCnntAddrReport(uIndex, a, 1);
    }
    u32 uBest = 0, uBestPrio = 0xFFFFFFFF;
    for (CNNT_ADDR_S* b = p->Addrs.Head(); b; b = ADDR_LIST::Next(b)) {
        u32 uPrio = GetThroughPrio(b->uThrough);
        if (uPrio < uBestPrio) {
            uBestPrio = uPrio;
            uBest = b->uThrough;
        }
    }
    u32 uChanged = uBest != p->uThrough;
    p->uThrough = uBest;
    if (uChanged || uForce)
        PostMessage(8, p->uSockID, 0, 0);
}

void CQVSocketProc::SockPeerCnntAddrUpdateAndReq(u32 uIndex, const QV_ADDR_S& Addr, u32 uSend)
{
    if (!SockPeerCnntAddrMatchDriv(uIndex, QV_SOCK_DRIV_NONE, Addr))
        return;
    QV_ADDR_S Key = Addr;
    Key.uExtra = 0;
    CNNT_ADDR_S* a = SockPeerCnntAddrSearch(uIndex, Key);
    if (!a)
        a = SockPeerCnntAddrAdd(uIndex, Key);
    if (!a)
        return;
    if (Addr.uExtra & 0x1) {
        u32 uUdp = GetAddrDrivType(Addr) == 1 ? QV_SOCK_DRIV_UDP6 : QV_SOCK_DRIV_UDP4;
        a->Driv[uUdp].uFlags |= REC_RELAYED;
        a->Driv[QV_SOCK_DRIV_TCP].uFlags |= REC_RELAYED;
    }
    if (uSend)
        SockCnntSendSingle(uIndex, a);
}

u32 CQVSocketProc::SockPeerCnntAddrMatchDriv(u32 uIndex, u32 uDrivType, const QV_ADDR_S& Addr)
{
    u32 uUdpOnly = (uIndex < m_uPeerMax && m_PeerUsed.Contains(&m_lpPeer[uIndex]) && m_lpPeer[uIndex].uDrivSel == 1);
    for (DRIV_ADDR_S* d = m_DrivAddr.Head(); d; d = m_DrivAddr.Next(d)) {
        if (uDrivType < QV_SOCK_DRIV_MAX && d->uDrivType != uDrivType)
            continue;
        if (uUdpOnly && d->uDrivType == QV_SOCK_DRIV_TCP)
            continue;
        if (qvAddrMatchSubnet(&d->Addr, &Addr))
            return 1;
    }
    return 0;
}

void CQVSocketProc::SockPeerCnntAddrMaskSet(CNNT_ADDR_S* a, u32 uBits, u32 uSet)
{
    if (uSet)
        a->uMask |= uBits;
    else
        a->uMask &= ~uBits;
}

u32 CQVSocketProc::SockPeerCnntAddrMaskCount(u32 uIndex, u32 uBits)
{
    u32 uCount = 0;
    for (CNNT_ADDR_S* a = m_lpPeer[uIndex].Addrs.Head(); a; a = ADDR_LIST::Next(a))
        if (a->uMask & uBits)
            uCount++;
    return uCount;
}

u32 CQVSocketProc::SockPeerSelectAddrPxy(u32 uIndex, u32 uWhich, QV_ADDR_S* lpOut)
{
    SOCK_PEER_S* p = &m_lpPeer[uIndex];
    u32 uHave4 = !AddrEmpty(p->AddrPxy4), uHave6 = !AddrEmpty(p->AddrPxy6);
    if (uWhich == 0 || (uWhich == 2 && uHave4 && !uHave6)) {
        if (!uHave4)
            return 0;
        *lpOut = p->AddrPxy4;
        return 1;
    }
    if (uWhich == 1 || (uWhich == 2 && uHave6 && !uHave4)) {
        if (!uHave6)
            return 0;
        *lpOut = p->AddrPxy6;
        return 1;
    }
    if (uWhich == 2 && uHave4 && uHave6) {
        *lpOut = (rand() & 1) ? p->AddrPxy4 : p->AddrPxy6;
        return 1;
    }
    return 0;
}

u32 CQVSocketProc::SockPeerCnntGetDrivParam(u32 uIndex, u32 uDrivType, const QV_ADDR_S& Addr)
{
    if (uDrivType != QV_SOCK_DRIV_UDP4 && uDrivType != QV_SOCK_DRIV_UDP6)
        return 1;
    QV_ADDR_S Main;
    if (!SockPeerAssistMainGet(uIndex, Addr, &Main))
        return 1;
    return AddrEq(Main, Addr) ? 0 : 1;
}

// Driver addresses.

u32 CQVSocketProc::SockDrivAddrHash(const QV_ADDR_S& A)
{
    u32 h = A.uAddr[0] * 0x9E3779B1u;
    h = (h ^ A.uAddr[1]) * 0x85EBCA77u;
    h = (h ^ A.uAddr[2]) * 0xC2B2AE3Du;
    h = (h ^ A.uAddr[3]) * 0x27D4EB2Fu;
    h ^= A.uPort;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 13;
    return h;
}

u32 CQVSocketProc::SockDrivAddrHashInit(u32 uSlots)
{
    u32 uNeed = (uSlots * PEER_TAUGHT_MAX + DRIV_ADDR_LOCAL) / DRIV_ADDR_PER_BUCKET;
    u32 uCount = 64;
    while (uCount < uNeed && uCount < 0x10000)
        uCount <<= 1;
    if (!m_DrivAddrHash.Init(uCount))
        return 0;
    if (!m_DrivCookieHash.Init(uCount)) {
        m_DrivAddrHash.Clean();
        return 0;
    }
    return 1;
}

CQVSocketProc::DRIV_ADDR_S* CQVSocketProc::SockDrivAddrAdd(const QV_ADDR_S& Addr, u32 uDrivType, u32 uMask,
                                                          u32 uPeer)
{
    if (!m_DrivAddrHash.m_pBucket || !m_DrivCookieHash.m_pBucket)
        return nullptr;
    SOCK_PEER_S* lpTeacher = uPeer < m_uPeerMax ? &m_lpPeer[uPeer] : nullptr;
    DRIV_ADDR_S* d = new (std::nothrow) DRIV_ADDR_S;
    if (!d) {
        qvLogOut(0, "SocketProc: SockDrivAddrAdd: alloc failed");
        return nullptr;
    }
    memset(static_cast<void*>(d), 0, sizeof(*d));
    for (;;) {
        u32 uCookie = qvGetCookieLong();
        if (!uCookie || SockDrivAddrSearchByCookie(uCookie))
            continue;
        d->uCookie = uCookie;
        break;
    }
    d->uDrivType = uDrivType;
    d->uMask = uMask;
    d->uPeer = QV_SOCKPROC_PEER_NONE;
    d->Addr = Addr;
    // A peer at its limit loses the oldest address it taught us.
    if (lpTeacher && lpTeacher->Taught.Count() >= PEER_TAUGHT_MAX)
        SockDrivAddrDelete(lpTeacher->Taught.Head());
    m_DrivAddr.PushTail(d);
    m_DrivAddrHash.Add(&d->AddrHash, d, SockDrivAddrHash(Addr));
    m_DrivCookieHash.Add(&d->CookieHash, d, d->uCookie);
    if (lpTeacher) {
        d->uPeer = uPeer;
        lpTeacher->Taught.PushTail(d);
    }
    if (uDrivType < QV_SOCK_DRIV_MAX) {
        m_uDrivState[uDrivType] |= 2;
        if (uDrivType == QV_SOCK_DRIV_TCP)
            m_uDrivTick[uDrivType] = m_uTick;
    }
    if (lpTeacher) {
        // Peers can make these at will: at most a few lines a tick.
        if (m_uTaughtLogTick != m_uTick) {
            if (m_uTaughtLogMissed)
                qvLogOut(1, "SocketProc: SockDrivAddrAdd: %u more learnt addresses not logged", m_uTaughtLogMissed);
            m_uTaughtLogTick = m_uTick;
            m_uTaughtLogs = 0;
            m_uTaughtLogMissed = 0;
        }
        if (m_uTaughtLogs >= TAUGHT_LOGS_PER_TICK) {
            m_uTaughtLogMissed++;
            return d;
        }
        m_uTaughtLogs++;
    }
    if (uMask & 1) {
        qvLogOut(1, "SocketProc: SockDrivAddrAdd: uDrivType=%u, uMask=%u, uCookie=%u", uDrivType, uMask, d->uCookie);
    } else {
        char szAddr[QV_ADDR_STR_SIZE];
        qvLogOut(1, "SocketProc: SockDrivAddrAdd: szAddr=%s, uDrivType=%u, uMask=%u, uCookie=%u",
                 AddrText(Addr, szAddr), uDrivType, uMask, d->uCookie);
    }
    return d;
}

// Takes the entry off the list, both hashes and its teacher's list.
void CQVSocketProc::SockDrivAddrUnlink(DRIV_ADDR_S* d)
{
    m_DrivAddr.Remove(d);
    m_DrivAddrHash.Remove(&d->AddrHash);
    m_DrivCookieHash.Remove(&d->CookieHash);
    if (d->uPeer < m_uPeerMax)
        m_lpPeer[d->uPeer].Taught.Remove(d);
    d->uPeer = QV_SOCKPROC_PEER_NONE;
}

void CQVSocketProc::SockDrivAddrDelete(DRIV_ADDR_S* d)
{
    u32 uDrivType = d->uDrivType;
    SockDrivAddrUnlink(d);
    delete d;
    if (uDrivType >= QV_SOCK_DRIV_MAX)
        return;
    for (DRIV_ADDR_S* e = m_DrivAddr.Head(); e; e = m_DrivAddr.Next(e))
        if (e->uDrivType == uDrivType)
            return;
    m_uDrivState[uDrivType] &= ~2u;
    if (uDrivType == QV_SOCK_DRIV_TCP)
        m_uDrivTick[uDrivType] = m_uTick;
}

// Entries with one address are chained in the order they were made, as on the list: the
// first match is the oldest, as a walk of the list would find it.
CQVSocketProc::DRIV_ADDR_S* CQVSocketProc::SockDrivAddrSearch(const QV_ADDR_S& Addr, u32 uDrivType)
{
    return m_DrivAddrHash.Find<DRIV_ADDR_S>(SockDrivAddrHash(Addr), [&](DRIV_ADDR_S* d) {
        return (uDrivType >= QV_SOCK_DRIV_MAX || d->uDrivType == uDrivType) && AddrEq(d->Addr, Addr);
    });
}

CQVSocketProc::DRIV_ADDR_S* CQVSocketProc::SockDrivAddrSearchByCookie(u32 uCookie)
{
    return m_DrivCookieHash.Find<DRIV_ADDR_S>(uCookie, [&](DRIV_ADDR_S* d) { return d->uCookie == uCookie; });
}

u32 CQVSocketProc::SockDrivAddrMaskCheck(u32 uBits)
{
    for (DRIV_ADDR_S* d = m_DrivAddr.Head(); d; d = m_DrivAddr.Next(d))
        if ((d->uMask & uBits) == uBits)
            return 1;
    return 0;
}

void CQVSocketProc::SockDrivAddrClean(u32 uDrivType)
{
    DRIV_ADDR_S* d = m_DrivAddr.Head();
    while (d) {
        DRIV_ADDR_S* n = m_DrivAddr.Next(d);
        if (uDrivType >= QV_SOCK_DRIV_MAX || d->uDrivType == uDrivType) {
            SockDrivAddrUnlink(d);
            delete d;
        }
        d = n;
    }
    for (u32 i = 0; i < QV_SOCK_DRIV_MAX; i++)
        if (uDrivType >= QV_SOCK_DRIV_MAX || i == uDrivType)
            m_uDrivState[i] &= ~2u;
}

CQVSocketProc::DRIV_ADDR_S* CQVSocketProc::SockDrivEnumGet(const QV_ADDR_S& Target)
{
    ENUM_S* e = m_lpEnumHead;
    while (e && !AddrEq(e->Addr, Target))
        e = e->lpNext;
    if (!e) {
        e = new (std::nothrow) ENUM_S;
        if (!e)
            return nullptr;
        e->uCookie = 0;
        e->Addr = Target;
        e->lpNext = m_lpEnumHead;
        m_lpEnumHead = e;
    }
    return SockDrivAddrCursorNext(e->uCookie);
}

// The driver address after the one the cursor names (the first when it names none or a
// vanished one); after the last one, nothing once, and the cursor starts over.
CQVSocketProc::DRIV_ADDR_S* CQVSocketProc::SockDrivAddrCursorNext(u32& uCursor)
{
    DRIV_ADDR_S* d = uCursor ? SockDrivAddrSearchByCookie(uCursor) : nullptr;
    d = d ? m_DrivAddr.Next(d) : m_DrivAddr.Head();
    uCursor = d ? d->uCookie : 0;
    return d;
}

void CQVSocketProc::SockDrivEnumDelete(const QV_ADDR_S& Target)
{
    ENUM_S** pp = &m_lpEnumHead;
    while (*pp) {
        if (AddrEq((*pp)->Addr, Target)) {
            ENUM_S* e = *pp;
            *pp = e->lpNext;
            delete e;
            return;
        }
        pp = &(*pp)->lpNext;
    }
}

void CQVSocketProc::SockDrivEnumClean()
{
    while (m_lpEnumHead) {
        ENUM_S* e = m_lpEnumHead;
        m_lpEnumHead = e->lpNext;
        delete e;
    }
}

CQVSocketProc::DRIV_ADDR_S* CQVSocketProc::SockPeerDrivAddrEnum(u32 uIndex)
{
    return SockDrivAddrCursorNext(m_lpPeer[uIndex].uEnumCookie);
}

void CQVSocketProc::SockDrivAddrDelPush(const QV_ADDR_S& Addr)
{
    TCP_DEL_S** pp = &m_lpTcpDelHead;
    TCP_DEL_S* lpFound = nullptr;
    while (*pp) {
        TCP_DEL_S* e = *pp;
        if (AddrEq(e->Addr, Addr)) {
            e->uTick = m_uTick;
            lpFound = e;
        }
        if (e != lpFound && m_uTick - e->uTick > TCP_DEL_KEEP) {
            *pp = e->lpNext;
            delete e;
            continue;
        }
        pp = &e->lpNext;
    }
    if (lpFound)
        return;
    TCP_DEL_S* e = new (std::nothrow) TCP_DEL_S;
    if (!e)
        return;
    e->lpNext = nullptr;
    e->uType = QV_SOCK_DRIV_TCP;
    e->uTick = m_uTick;
    e->Addr = Addr;
    *pp = e;
}

void CQVSocketProc::SockDrivAddrDelClean()
{
    while (m_lpTcpDelHead) {
        TCP_DEL_S* e = m_lpTcpDelHead;
        m_lpTcpDelHead = e->lpNext;
        delete e;
    }
}

void CQVSocketProc::SockConnectDrivAddrDrop(u32 uDrivType)
{
    if (uDrivType != QV_SOCK_DRIV_TCP)
        return;
    for (SOCK_PEER_S* p = m_PeerUsed.Head(); p; p = PEER_LIST::Next(p)) {
        if ((p->uStatus & QV_PEER_STA_LAN) || ThisStaIsStation(p->AddrMain) == 2)
            continue;
        u32 uCleared = 0;
        for (CNNT_ADDR_S* a = p->Addrs.Head(); a; a = ADDR_LIST::Next(a))
            uCleared |= CnntAddrDrivStaCheck(a, QV_SOCK_DRIV_TCP);
        if (uCleared) {
            SockPeerCnntStatusMaskUpdate(p->uIndex);
            PostMessage(1, p->uHandle, QV_SOCK_DRIV_NONE, 1);
        }
    }
}

void CQVSocketProc::SockDrivAddrSweep()
{
    DRIV_ADDR_S* d = m_DrivAddr.Head();
    while (d) {
        DRIV_ADDR_S* n = m_DrivAddr.Next(d);
        if (d->uDrivType < QV_SOCK_DRIV_MAX) {
            bool bKeep = false;
            if (d->uMask & 3) {
                for (SOCK_PEER_S* p = m_PeerUsed.Head(); p && !bKeep; p = PEER_LIST::Next(p))
                    for (CNNT_ADDR_S* a = p->Addrs.Head(); a && !bKeep; a = ADDR_LIST::Next(a)) {
                        const DRIV_REC_S& r = a->Driv[d->uDrivType];
                        if ((r.uFlags & REC_WORK) && r.uCookie == d->uCookie && m_uTick - r.uTick < 30)
                            bKeep = true;
                    }
            }
            if (!bKeep && !AddrEmpty(m_AddrMain) && AddrEq(d->Addr, m_AddrMain))
                bKeep = true;
            if (!bKeep && m_lpDriv[d->uDrivType]->CheckAddr(0, &d->Addr))
                bKeep = true;
            if (!bKeep)
                SockDrivAddrDelete(d);
        }
        d = n;
    }
}

void CQVSocketProc::OnAddrUpdate(u32 uDrivType, const QV_ADDR_S* lpAddr, u32 uFlags)
{
    if (uDrivType >= QV_SOCK_DRIV_MAX || !lpAddr || !m_uInit)
        return;
    if (!Lock())
        return;
    u32 uReportMain = 0;
    DRIV_ADDR_S* d = SockDrivAddrSearch(*lpAddr, uDrivType);
    if (d && !(uFlags & 1)) {
        if (uDrivType == QV_SOCK_DRIV_TCP)
            SockDrivAddrDelPush(*lpAddr);
        SockDrivAddrDelete(d);
        if (!AddrEmpty(m_AddrMain) && AddrEq(*lpAddr, m_AddrMain)) {
            ThisStaMainReset(0);
            uReportMain = 1;
        } else {
            SockConnectDrivAddrDrop(uDrivType);
        }
    } else if (!d && (uFlags & 1)) {
        if ((uFlags & 4) && uDrivType == m_uMainDriv && !AddrEq(*lpAddr, m_AddrMain)) {
            ThisStaMainReset(0);
            uReportMain = 1;
        }
        if (SockDrivAddrAdd(*lpAddr, uDrivType, (uFlags & 2) ? 1 : 0))
            SockConnectTry(uDrivType, 1);
    }
    if (uFlags && !AddrEmpty(m_AddrMain) && AddrEq(*lpAddr, m_AddrMain) && m_uStaIndex != 0xFFFF) {
        u32 uSta = ThisStaMainPeer();
        if (uSta != QV_SOCKPROC_PEER_NONE)
            PostMessage(4, m_lpPeer[uSta].uSockID, 1, 0);
    }
    Unlock();
    if (uReportMain)
        Report(0, 2);
}

// Peer path information for the socket layer.

u32 CQVSocketProc::GetPeerAddrInfo(u32 uHandle, u32* lpuType, QV_ADDR_S* lpSelf, QV_ADDR_S* lpPeer,
                                   QV_ADDR_S* lpLocal, QV_ADDR_S* lpRemote, QV_ADDR_S* lpProxy, QV_ADDR_S* lpPriv)
{
    if (!m_uInit || !Lock())
        return 0;
    SOCK_PEER_S* p = PeerByHandle(uHandle);
    if (!p) {
        Unlock();
        return 0;
    }
    QV_ADDR_S Self, Peer, Local, Remote, Proxy, Priv;
    memset(&Self, 0, sizeof(Self));
    Peer = Local = Remote = Proxy = Priv = Self;
    u32 uType = 0;
    u32 uFound = 0;
    if (m_uSide) {
        Peer = p->AddrMain;
        uFound = 1;
    } else {
        auto LocalOf = [&](const DRIV_REC_S& r) {
            QV_ADDR_S L = m_AddrMain;
            if (!(r.uFlags & REC_OWNMAIN)) {
                DRIV_ADDR_S* d = r.uCookie ? SockDrivAddrSearchByCookie(r.uCookie) : nullptr;
                if (d)
                    L = d->Addr;
            }
            return L;
        };
        CNNT_ADDR_S* lpRelayed = nullptr;
        u32 uRelayedDriv = 0;
        CNNT_ADDR_S* lpTcp = nullptr;
        for (CNNT_ADDR_S* a = p->Addrs.Head(); a && !uFound; a = ADDR_LIST::Next(a)) {
            u32 d = (a->Driv[QV_SOCK_DRIV_UDP4].uFlags & REC_WORK) ? QV_SOCK_DRIV_UDP4 : QV_SOCK_DRIV_UDP6;
            const DRIV_REC_S& r = a->Driv[d];
            if ((r.uFlags & REC_WORK) && !(r.uFlags & REC_RELAYED)) {
                m_lpDriv[d]->GetPeerInfo(uHandle, &a->Addr, &uType, &Local, &Remote, &Priv);
                if (AddrEmpty(Local))
                    Local = LocalOf(r);
                if (AddrEmpty(Remote))
                    Remote = a->Addr;
                if (!uType)
                    uType = p->uThrough ? p->uThrough : a->uThrough;
                if (!uType)
                    uType = d == QV_SOCK_DRIV_UDP4 ? 7 : 32;
                uFound = 1;
            } else if ((r.uFlags & REC_WORK) && !lpRelayed) {
                lpRelayed = a;
                uRelayedDriv = d;
            }
            if (!lpTcp && (a->Driv[QV_SOCK_DRIV_TCP].uFlags & REC_WORK))
                lpTcp = a;
        }
        if (!uFound && lpRelayed) {
            Local = LocalOf(lpRelayed->Driv[uRelayedDriv]);
            Remote = lpRelayed->Addr;
            uType = p->uThrough ? p->uThrough : lpRelayed->uThrough;
            if (!uType)
                uType = uRelayedDriv == QV_SOCK_DRIV_UDP4 ? 16 : 40;
            uFound = 1;
        }
        if (!uFound && lpTcp) {
            m_DrivTCP.GetPeerInfo(uHandle, &lpTcp->Addr, &uType, &Local, &Remote, &Priv);
            if (AddrEmpty(Local))
                Local = LocalOf(lpTcp->Driv[QV_SOCK_DRIV_TCP]);
            if (AddrEmpty(Remote))
                Remote = lpTcp->Addr;
            if (!uType)
                uType = p->uThrough ? p->uThrough : lpTcp->uThrough;
            if (!uType)
                uType = GetAddrDrivType(lpTcp->Addr) == 1 ? 40 : 16;
            uFound = 1;
        }
        if (uFound) {
            Self = m_AddrMain;
            Peer = p->AddrMain;
            if (m_uStaIndex != 0xFFFF && ThisStaIsStation(p->AddrMain) == 2) {
                GetCurProxyLocked(Proxy);
                if (!AddrEmpty(Priv))
                    Local = Priv;
            } else if (!AddrEmpty(p->AddrPxy4)) {
                Proxy = p->AddrPxy4;
            } else {
                Proxy = p->AddrPxy6;
            }
        } else if (p->uStatus & QV_PEER_STA_LAN) {
            if (m_DrivLAN.GetPeerInfo(uHandle, &p->AddrMain, &uType, &Local, &Remote, nullptr)) {
                Self = Local;
                Peer = Remote;
                uFound = 1;
            }
        }
    }
    if (uFound) {
        if (!uType)
            qvLogOut(3, "SocketProc: GetPeerAddrInfo: uInd=%u, through is unknown", p->uIndex);
        if (lpuType)
            *lpuType = uType;
        if (lpSelf)
            *lpSelf = Self;
        if (lpPeer)
            *lpPeer = Peer;
        if (lpLocal)
            *lpLocal = Local;
        if (lpRemote)
            *lpRemote = Remote;
        if (lpProxy)
            *lpProxy = Proxy;
        if (lpPriv)
            *lpPriv = Priv;
    }
    Unlock();
    return uFound;
}
