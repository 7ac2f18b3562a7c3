// Peer-out checks: for each peer that a connection's TCP sessions need, the state of the attempt
// to reach it, with time-outs that drop the peer object (so it is made anew) and forget idle
// peers. The list holds one record per peer-out of the connection table, so it is bounded by
// the table; it is emptied whenever the node stops.
#include <new>

#include "doZiriza.h"
#include "qvLog.h"

namespace {

// A direct connection's LAN scan is asked again at most this often, in ticks.
const u32 DIRECT_RESCAN_TICKS = 6;
// Time-out of a LAN scan asked for one peer, seconds.
const u32 PEER_SCAN_TIMEOUT = 2;

}  // namespace

u32 CDOZiriza::PeerOutTimeout() const
{
    const u32 uTimeout = m_Cfg.Base.uConnectTimeout;
    // Tunnels made on demand give a silent peer up sooner.
    if (m_Cfg.UtiClient.uTunnelOnDemand && uTimeout > 5)
        return 6;
    return uTimeout;
}

CDOZiriza::PEER_OUT_S* CDOZiriza::PeerOutCheckSearch(const char* lpszPeer)
{
    if (lpszPeer == nullptr)
        return nullptr;
    for (PEER_OUT_S* p = m_ListPeerOut.Head(); p != nullptr; p = CQVList<PEER_OUT_S>::Next(p))
        if (p->strPeer == lpszPeer)
            return p;
    return nullptr;
}

CDOZiriza::PEER_OUT_S* CDOZiriza::PeerOutCheckAdd(const char* lpszPeer)
{
    PEER_OUT_S* p = new (std::nothrow) PEER_OUT_S;
    if (p == nullptr || !p->strPeer.assign(lpszPeer ? lpszPeer : ""))
    {
        delete p;
        return nullptr;
    }
    p->uStamp = m_uTickStamp;
    p->uPeer = m_Node.GetObjID(p->strPeer.c_str());
    if (p->uPeer != 0)
        PeerAuthSetObj(p->strPeer.c_str(), p->uPeer);
    m_ListPeerOut.PushTail(p);
    return p;
}

void CDOZiriza::PeerOutCheckDelete(PEER_OUT_S* pRec)
{
    if (pRec == nullptr || !m_ListPeerOut.Contains(pRec))
        return;
    m_ListPeerOut.Remove(pRec);
    delete pRec;
}

void CDOZiriza::PeerOutCheckClean()
{
    while (PEER_OUT_S* p = m_ListPeerOut.PopHead())
        delete p;
}

void CDOZiriza::PeerOutCheckRequest(const char* lpszPeer)
{
    if (lpszPeer == nullptr || *lpszPeer == 0)
        return;
    PEER_OUT_S* p = PeerOutCheckSearch(lpszPeer);
    if (p == nullptr && (p = PeerOutCheckAdd(lpszPeer)) == nullptr)
        return;
    if (p->uState != PEER_OUT_REQUESTING)
        p->uStamp = m_uTickStamp;
    p->uState = PEER_OUT_REQUESTING;
    PeerOutCheckProc(p);
}

void CDOZiriza::PeerOutCheckReply(const char* lpszPeer, u32 bRequesting)
{
    PEER_OUT_S* p = PeerOutCheckSearch(lpszPeer);
    if (p == nullptr)
        return;
    if (bRequesting && SvrTunnelSessWaiting(p->strPeer.c_str()))
    {
        p->uState = PEER_OUT_REQUESTING;
        qvLogOut(3, "Tunnel::PeerOutCheckReply: set to requesting, Peer=%s", p->strPeer.c_str());
    }
    else
        p->uState = PEER_OUT_IDLE;
    p->uStamp = m_uTickStamp;
}

void CDOZiriza::PeerOutCheckProc(PEER_OUT_S* pRec)
{
    const u32 uNow = m_uTickStamp;
    const u32 uTimeout = PeerOutTimeout();
    const char* lpszPeer = pRec->strPeer.c_str();

    pRec->uPeer = m_Node.GetObjID(lpszPeer);
    if (pRec->uPeer != 0)
        PeerAuthSetObj(lpszPeer, pRec->uPeer);

    const u32 bExists = pRec->uPeer != 0 && m_Node.PeerCheck(pRec->uPeer, 0) != 5;
    const u32 bExpired = uNow - pRec->uStamp >= uTimeout;
    if (bExists)
    {
        if (pRec->uState == PEER_OUT_REQUESTING && bExpired)
        {
            // The object is made anew by the connections below; a session that still waits
            // for its set-up answer keeps the attempt going.
            m_Node.PeerDelete(pRec->uPeer);
            pRec->uPeer = 0;
            if (!SvrTunnelSessWaiting(lpszPeer))
                pRec->uState = PEER_OUT_GIVEN_UP;
            pRec->uStamp = uNow;
        }
        else if (pRec->uState != PEER_OUT_REQUESTING && bExpired && !SvrTunnelSessWaiting(lpszPeer))
        {
            pRec->uState = PEER_OUT_IDLE;
            pRec->uStamp = uNow;
        }
    }
    else if (pRec->uState != PEER_OUT_IDLE && bExpired && !SvrTunnelSessWaiting(lpszPeer))
        pRec->uState = PEER_OUT_IDLE;

    int iCheck = pRec->uPeer != 0 ? m_Node.PeerCheck(pRec->uPeer, 0) : 5;
    if (iCheck == 0)
        return;
    if (iCheck == 5)
    {
        SvrTunnelRemakePeer(lpszPeer);
        pRec->uPeer = m_Node.GetObjID(lpszPeer);
        return;
    }
    if (!m_uLoggedIn && m_Cfg.UtiClient.uDirectTunnelEnable && SvrTunnelDirectRescan(lpszPeer, DIRECT_RESCAN_TICKS))
        m_Node.PeerLanScan(lpszPeer, PEER_SCAN_TIMEOUT);
}

void CDOZiriza::PeerOutCheckTimer()
{
    const u32 uNow = m_uTickStamp;
    PEER_OUT_S* p = m_ListPeerOut.Head();
    while (p != nullptr)
    {
        PEER_OUT_S* pNext = CQVList<PEER_OUT_S>::Next(p);
        if (p->uState != PEER_OUT_IDLE)
            PeerOutCheckProc(p);
        else if (uNow - p->uStamp > m_Cfg.Base.uConnectTimeout)
            PeerOutCheckDelete(p);
        p = pNext;
    }
}
