// Peer class: where a peer can be reached. The class asks the server for a peer's status,
// takes the answer with the peer's address, proxies and agent peer, resolves the names in it
// (now, or later in the resolution list), and opens or moves the peer socket (the connect
// step). Also: address settings of the owner, the server entry following the transport's
// server address, resolve requests of the server, connection details, peers going off line
// and the UDP forwarding statistics. Client side only, on the dispatch thread.
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "qvClassPeer.h"
#include "qvDomain.h"
#include "qvLog.h"
#include "qvNode.h"
#include "qvSockDriv.h"
#include "qvSocket.h"

namespace {

const u32 kAddrMax = 8;
// How long a status reply's or an address setting's names may hold the dispatch thread (ms).
const u32 kResolveWaitMs = 1500;
// Resolution entries: passes (seconds) a name may take, and no limit for the server's address.
const u32 kResoPasses = 30;
const u32 kResoNoLimit = 0x7FFFFFFF;
// Resolution entries come from status replies and resolve requests: at most this many wait.
const u32 kResoMax = 1024;
// Status reply: the fixed part (bytes) and the string limits (characters).
const u32 kStatusFixed = 36;
const u32 kNameMax = 127;
// Resolve request: the host name fits the reply's 64-byte field.
const u32 kResoNameField = 64;
const u32 kResoReplySize = 100;
// Connection details: binary record size and the text buffer.
const u32 kInfoRecord = 128;
const u32 kInfoText = 1024;
// Extension requests.
const u32 kExtPeerInfo = 38;
const u32 kExtFwdStatus = 53;
const u32 kExtFwdRelay = 54;
const u32 kExtFwdHole = 55;
// Peer-information retries: 3 s apart, at most 3.
const u32 kInfoRetryWait = 3;
const u32 kInfoRetries = 3;
// Waiter kinds of the class.
const u32 kWaitStatus = 0;
const u32 kWaitRequest = 1;
const u32 kWaitLanScan = 4;
const u32 kWaitAgentLogin = 5;
const u32 kWaitPing = 6;
const u32 kWaitPeerInfo = 7;
const u32 kWaitLogPull = 8;

u32 AddrSame(const QV_ADDR_S& a, const QV_ADDR_S& b)
{
    return std::memcmp(a.uAddr, b.uAddr, sizeof(a.uAddr)) == 0 && a.uPort == b.uPort;
}

const QV_ADDR_S& Zero()
{
    static const QV_ADDR_S z{};
    return z;
}

// The path of a peer other than the server, folded into four classes.
u32 ThroughFold(u32 uNet)
{
    switch (uNet) {
    case 4: case 5: case 6: case 7: case 8: case 32:
        return 0x80;
    case 12: case 13: case 36:
        return 0x81;
    case 24:
        return 0x82;
    case 14: case 15: case 16: case 40: case 41: case 42:
        return 0x83;
    default:
        return uNet;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Requests

int CQVClassPeer::ReqStatus(u32 uIndex)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 6;
    if (p->uFlags & QV_PEER_FLAG_NOGROUP)
        return 4;
    if (!SendStatus(uIndex))
        SendMaskAdd(uIndex, QV_PEER_PEND_STATUS);
    return 0;
}

int CQVClassPeer::ReqGetInfo(u32 uIndex, u32 uParam)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 6;
    u8 aBuf[kInfoText];
    u32 uThrough = 0;
    u32 n = PeerInfoBuild(uIndex, aBuf, sizeof(aBuf), &uThrough);
    if (!n)
        return 1;
    return m_pProc->ObjReply(p->uObject, 0, aBuf, n, uParam, m_uClassOption) ? -1 : 1;
}

// Connection details of a peer in the payload form; the size, 0 when they do not fit.
u32 CQVClassPeer::PeerInfoBuild(u32 uIndex, u8* lpBuf, u32 uSize, u32* lpuThrough)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 0;
    QV_ADDR_S a[6];   // Proxy, AddrLcl, AddrRmt, TunnelLcl, TunnelRmt, PrivateRmt
    std::memset(a, 0, sizeof(a));
    u32 uThrough = 0;
    if (m_uSide) {
        a[2] = p->addr;
    } else if (!p->uSockID || p->uStatus < QV_PEER_STA_ADMITTED) {
        uThrough = p->uOffline ? 0xFFFF : 0;
    } else {
        u32 uNet = 0;
        m_pSocket->GetPeerAddrInfo(p->uSockID, &uNet, &a[1], &a[2], &a[3], &a[4], &a[0], &a[5]);
        uThrough = uIndex == m_uPrivSvr ? uNet : ThroughFold(uNet);
    }
    *lpuThrough = uThrough;
    if (!m_uClassOption) {
        if (uSize < kInfoRecord)
            return 0;
        std::memcpy(lpBuf, &p->uPeerType, 4);
        std::memcpy(lpBuf + 4, &uThrough, 4);
        std::memcpy(lpBuf + 8, a, sizeof(a));
        return kInfoRecord;
    }
    char szText[6][QV_ADDR_STR_SIZE * 2];
    for (u32 i = 0; i < 6; i++) {
        char szAddr[QV_ADDR_STR_SIZE] = "";
        qvAddrToReadable(&a[i], szAddr, sizeof(szAddr));
        if (!m_pString->Assign(szAddr) || !m_pParser->Encode(m_pString) ||
            !qvStrCopy(szText[i], sizeof(szText[i]), m_pString->CStr()))
            return 0;
    }
    int n = snprintf(reinterpret_cast<char*>(lpBuf), uSize,
                     "(Type){%u}(Through){%u}(Proxy){%s}(AddrLcl){%s}(AddrRmt){%s}(TunnelLcl){%s}(TunnelRmt){%s}"
                     "(PrivateRmt){%s}",
                     p->uPeerType, uThrough, szText[0], szText[1], szText[2], szText[3], szText[4], szText[5]);
    return (n > 0 && (u32)n < uSize) ? (u32)n : 0;
}

void CQVClassPeer::HelperReportPeerInfo(u32 uIndex, u32 uTry)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p || m_uSide)
        return;
    if (!(p->uFlags & QV_PEER_FLAG_INFO) || p->uStatus < QV_PEER_STA_ADMITTED || !p->uSockID) {
        p->uInfoWaiter = 0;
        return;
    }
    u8 aBuf[kInfoText];
    u32 uThrough = 0;
    u32 n = PeerInfoBuild(uIndex, aBuf, sizeof(aBuf), &uThrough);
    if (n && uThrough && uThrough < 0xFFFF) {
        m_pProc->ObjExtRequest(p->uObject, kExtPeerInfo, aBuf, n, 0, 0, m_uClassOption);
        p->uInfoWaiter = 0;
        return;
    }
    // No path yet: tried again a few times. The retry waiter is the entry's peer-information
    // waiter, never its status waiter, so that a status reply cannot finish it.
    p->uInfoWaiter = (!uThrough && uTry < kInfoRetries)
                         ? m_pProc->WaiterAlloc(p->uObject, kInfoRetryWait, kWaitPeerInfo, uTry + 1)
                         : 0;
}

void CQVClassPeer::NotifyTimeout(u32 uIndex, u32 uType, u32 uParam)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    switch (uType) {
    case kWaitStatus:
        p->uStatusWaiter = 0;   // the node has freed it
        if (!SendStatus(uIndex))
            SendMaskAdd(uIndex, QV_PEER_PEND_STATUS);
        break;
    case kWaitRequest:
    case kWaitLogPull:
        m_pProc->ObjReply(p->uObject, 12, nullptr, 0, uParam, m_uClassOption);
        break;
    case kWaitAgentLogin: {
        m_pProc->ObjDelete(p->uObject);
        if (PEER_S* s = EntryInUse(m_uPrivSvr))
            m_pProc->ObjReply(s->uObject, 12, nullptr, 0, uParam, m_uClassOption);
        break;
    }
    case kWaitPing:
        HelperPingReply(uIndex, 12, 0, uParam);
        break;
    case kWaitLanScan:
        HelperLanScanReply(uIndex, uParam);
        break;
    case kWaitPeerInfo:
        p->uInfoWaiter = 0;   // the node has freed it
        if (!m_uSide)
            HelperReportPeerInfo(uIndex, uParam);
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------------------------
// Address settings (the owner's request 37, the server watchdog, the server address reset)

u32 CQVClassPeer::HelperAddrSetting(u32 uIndex, const char* lpszAddr, const char* lpszProxy, const char* lpszProxy6)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 1;
    u32 uLimit = uIndex == m_uPrivSvr ? kResoNoLimit : kResoPasses;
    QV_ADDR_S aAddr[kAddrMax];
    std::memset(aAddr, 0, sizeof(aAddr));
    u32 uIsName = 0;
    u32 uCount = qvDomainToAddr(lpszAddr, 2, aAddr, kAddrMax, &uIsName, kResolveWaitMs, 0);
    if (!uCount) {
        if (!uIsName)
            return 2;
        return ResoluteAdd(0, p->uObject, 0, lpszAddr, lpszProxy, lpszProxy6, uLimit) ? 0 : 1;
    }
    u32 uUsable = 0;
    for (u32 i = 0; i < uCount; i++)
        uUsable |= qvAddrIPVer(&aAddr[i]) != QV_ADDR_VER_NONE;
    if (!uUsable)
        return 2;
    QV_ADDR_S proxy = Zero(), proxy6 = Zero();
    for (u32 k = 0; k < 2; k++) {
        const char* t = k ? lpszProxy6 : lpszProxy;
        if (!t || !t[0])
            continue;
        u32 uName = 0;
        if (!qvDomainToAddr(t, 2, k ? &proxy6 : &proxy, 1, &uName, kResolveWaitMs, 0)) {
            if (!uName)
                return 2;
            return ResoluteAdd(0, p->uObject, 0, lpszAddr, lpszProxy, lpszProxy6, uLimit) ? 0 : 1;
        }
    }
    ResoluteRemove(0, p->uObject, lpszAddr, lpszProxy, lpszProxy6);
    return ResoluteReqSetAddr(uIndex, aAddr, uCount, proxy, proxy6, 1);
}

u32 CQVClassPeer::ResoluteReqSetAddr(u32 uIndex, const QV_ADDR_S* lpAddr, u32 uCount, const QV_ADDR_S& proxy,
                                     const QV_ADDR_S& proxy6, u32 uSuccess)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 1;
    if (!uCount)
        return 2;
    if (!uSuccess)
        return 11;
    u32 uServer = uIndex == m_uPrivSvr || (p->uFlags & QV_PEER_FLAG_SERVER);
    u32 uOther = PeerSearch(lpAddr[0]);
    if (uOther != 0xFFFFFFFF && uOther != uIndex)
        return 17;
    if (uOther == uIndex) {
        if (!uServer)
            return 0;
        m_pSocket->SetLabel(m_szSvrAddr);
        return m_pSocket->SetProxy(lpAddr, uCount) ? 0 : 1;
    }
    QV_ADDR_S addr = lpAddr[0];
    if (uServer) {
        m_pSocket->SetLabel(m_szSvrAddr);
        if (!m_pSocket->SetProxy(lpAddr, uCount))
            return 1;
        // The transport picks its current server once a station answered; until then the
        // entry waits without an address (the address change event brings it).
        if (!m_pSocket->GetCurProxy(addr) || qvAddrIPVer(&addr) == QV_ADDR_VER_NONE)
            return 0;
    } else {
        u32 v4 = qvAddrIPVer(&proxy), v6 = qvAddrIPVer(&proxy6);
        if ((v4 != QV_ADDR_VER_NONE && v4 != QV_ADDR_VER_IPV4) || (v6 != QV_ADDR_VER_NONE && v6 != QV_ADDR_VER_IPV6))
            return 2;
    }
    return HelperPeerSetAddr(uIndex, addr, &proxy, &proxy6);
}

void CQVClassPeer::HelperSvrAddrReset()
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (!s || !m_szSvrAddr[0] || !qvDomainDiscard(m_szSvrAddr, 2))
        return;
    if ((s->uFlags & (QV_PEER_FLAG_SERVER | QV_PEER_FLAG_STATIC)) && !(s->uFlags & QV_PEER_FLAG_NOGROUP))
        HelperAddrSetting(m_uPrivSvr, m_szSvrAddr, "", "");
}

// ---------------------------------------------------------------------------------------------
// Resolution list

u32 CQVClassPeer::ResoluteAdd(u32 uAction, u32 uObject, u32 uParam, const char* lpszAddr, const char* lpszProxy,
                              const char* lpszProxy6, u32 uLimit)
{
    for (RESO_S* r = m_Reso.Head(); r; r = CQVList<RESO_S>::Next(r))
        if (r->uAction == uAction && r->uObject == uObject && r->addr == lpszAddr && r->proxy == lpszProxy &&
            r->proxy6 == lpszProxy6) {
            r->uLimit = uLimit;
            r->uParam = uParam;
            return 1;
        }
    if (m_Reso.Count() >= kResoMax)
        return 0;
    RESO_S* r = new (std::nothrow) RESO_S();
    if (!r)
        return 0;
    if (!r->addr.assign(lpszAddr) || !r->proxy.assign(lpszProxy) || !r->proxy6.assign(lpszProxy6)) {
        delete r;
        return 0;
    }
    std::memset(r->aAddr, 0, sizeof(r->aAddr));
    r->proxyAddr = Zero();
    r->proxy6Addr = Zero();
    r->uAction = uAction;
    r->uObject = uObject;
    r->uParam = uParam;
    r->uLimit = uLimit;
    m_Reso.PushTail(r);
    return 1;
}

void CQVClassPeer::ResoluteRemove(u32 uAction, u32 uObject, const char* lpszAddr, const char* lpszProxy,
                                  const char* lpszProxy6)
{
    RESO_S* r = m_Reso.Head();
    while (r) {
        RESO_S* n = CQVList<RESO_S>::Next(r);
        if (r->uAction == uAction && r->uObject == uObject && r->addr == lpszAddr && r->proxy == lpszProxy &&
            r->proxy6 == lpszProxy6) {
            m_Reso.Remove(r);
            delete r;
        }
        r = n;
    }
}

void CQVClassPeer::ResoluteClean()
{
    while (RESO_S* r = m_Reso.PopHead())
        delete r;
}

void CQVClassPeer::ResoluteTimerProc()
{
    // Entries that end this pass leave the list before they act: what they call may queue or
    // remove entries.
    std::vector<RESO_S*> done;
    RESO_S* r = m_Reso.Head();
    while (r) {
        RESO_S* n = CQVList<RESO_S>::Next(r);
        if (!r->uCount && !r->addr.empty())
            r->uCount = qvDomainToAddr(r->addr.c_str(), 2, r->aAddr, kAddrMax, nullptr, 0, r->uAction == 2);
        u32 uDone = r->addr.empty() || r->uCount;
        for (u32 k = 0; k < 2; k++) {
            const QV_STRING& t = k ? r->proxy6 : r->proxy;
            QV_ADDR_S& a = k ? r->proxy6Addr : r->proxyAddr;
            if (t.empty())
                continue;
            if (qvAddrIPVer(&a) == QV_ADDR_VER_NONE && !qvDomainToAddr(t.c_str(), 2, &a, 1, nullptr, 0, 0))
                uDone = 0;
        }
        if (r->uLimit)
            r->uLimit--;
        if (uDone || !r->uLimit) {
            // From here on the limit field carries the success flag: an entry that ran out of
            // passes ends unresolved.
            m_Reso.Remove(r);
            r->uLimit = uDone;
            done.push_back(r);
        }
        r = n;
    }
    for (RESO_S* e : done) {
        u32 uSuccess = e->uLimit;
        u32 uIndex = EntryOfObject(e->uObject);
        if (uIndex != 0xFFFFFFFF) {
            if (e->uAction == 1) {
                u32 err = ResoluteRecvStatusReply(uIndex, e->aAddr[0], e->proxyAddr, e->proxy6Addr, e->uParam, uSuccess);
                if (err)
                    PeerOffLine(uIndex, err);
            } else if (e->uAction == 0) {
                u32 err = ResoluteReqSetAddr(uIndex, e->aAddr, e->uCount, e->proxyAddr, e->proxy6Addr, uSuccess);
                if (err)
                    HelperErrorReport(e->uObject, 37, err);
            } else if (e->uAction == 2) {
                SendResoReply(e->addr.c_str(), e->uCount ? e->aAddr[0] : Zero());
            }
        }
        delete e;
    }
}

// ---------------------------------------------------------------------------------------------
// Status reply and the connect step

void CQVClassPeer::RecvStatusReply(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen)
{
    if (uIndex != m_uPrivSvr || m_uSide) {
        m_Stat.uNotAdmitted++;
        return;
    }
    // The parameter names a waiter. Only the status waiter that an entry holds is finished: a
    // number that names any other waiter (a peer-information retry, a request) is a stale or
    // forged reply.
    u32 uWaiter = buf.uHandle2;
    PEER_S* e = nullptr;
    if (uWaiter)
        for (PEER_S* p = m_PeerUsed.Head(); p && !e; p = PEER_LIST::Next(p))
            if (p->uStatusWaiter == uWaiter)
                e = p;
    u32 uObject = e ? m_pProc->WaiterFinish(uWaiter, nullptr, nullptr) : 0;
    if (!uObject) {
        qvLogOut(2, "ClassPeer: RecvStatusReply: Has timeout. uPrivID=%u, uParam=%u", uIndex, uWaiter);
        return;
    }
    e->uStatusWaiter = 0;
    u32 uPeer = EntryOfObject(uObject);
    if (uPeer != IndexOf(e)) {
        qvLogOut(1, "ClassPeer: RecvStatusReply: Get PrivStatus invalid. uPrivID=%u, uObjStatus=%u", uIndex,
                 e->uStatus);
        return;
    }
    e->uLastStatus = m_uTick;
    if ((buf.uFlag & 0x100) && (e->uFlags & QV_PEER_FLAG_STANOTIFY))
        e->uRefresh = (u16)(2 * m_uExpire > 0xFFFF ? 0xFFFF : 2 * m_uExpire);
    const u8* d = m_pRecvBuf;
    if (buf.uFlag & 1) {
        u32 uErr = qvSkRd32(d);
        PeerOffLine(uPeer, uErr ? uErr : 13);
        return;
    }
    if (uLen < kStatusFixed + 1) {
        m_Stat.uShort++;
        PeerOffLine(uPeer, 2);
        return;
    }
    u32 uType = qvSkRd32(d + 4);
    QV_ADDR_S addr;
    std::memcpy(addr.uAddr, d + 16, 16);
    addr.uPort = (u16)qvSkRd16(d + 32);
    addr.uExtra = (u16)qvSkRd16(d + 34);
    // Proxy, then the optional agent peer and Proxy6.
    char szText[3][kNameMax + 1] = {"", "", ""};
    u32 uAt = kStatusFixed;
    for (u32 i = 0; i < 3; i++) {
        if (i && uAt >= uLen)
            break;
        u32 uUsed = 0, uStrLen = 0;
        const char* t = qvStrPop(d + uAt, uLen - uAt, &uUsed, &uStrLen);
        if (!t || uStrLen > kNameMax) {
            m_Stat.uMalformed++;
            PeerOffLine(uPeer, 2);
            return;
        }
        std::memcpy(szText[i], t, uStrLen + 1);
        uAt += uUsed;
    }
    const char* lpszProxy = szText[0];
    const char* lpszAgent = szText[1];
    const char* lpszProxy6 = szText[2];
    if (lpszAgent[0]) {
        u32 uAgentObj = m_pProc->ObjGetID(lpszAgent);
        u32 uNew = 0;
        if (!uAgentObj) {
            uAgentObj = HelperAddPeer(lpszAgent, 0);
            uNew = 1;
        }
        u32 uAgent = EntryOfObject(uAgentObj);
        e = EntryInUse(uPeer);
        PEER_S* a = EntryInUse(uAgent);
        if (!e)
            return;
        if (!a || a == e) {
            PeerOffLine(uPeer, 6);
            return;
        }
        m_pProc->ObjSetObjIDModePart(e->uObject);
        if (CQVList<PEER_S, &PEER_S::linkAgent>* l =
                static_cast<CQVList<PEER_S, &PEER_S::linkAgent>*>(CQVList<PEER_S, &PEER_S::linkAgent>::ListOf(e)))
            l->Remove(e);
        e->uAgentObj = uAgentObj;
        e->uFlags |= QV_PEER_FLAG_AGENTDEP;
        m_pProc->ObjSetOption(e->uObject, 0, e->uFlags);
        a->deps.PushTail(e);
        HelperSetStatus(e, QV_PEER_STA_ADMITTED);
        if (a->uStatus == QV_PEER_STA_SYNC) {
            e->uSendMask &= ~QV_PEER_PEND_SELF;
            if (!e->uSendMask)
                m_PeerMask.Remove(e);
            if (!SendSyncReport(e->uObject, 0, 1))
                SendMaskAdd(uPeer, QV_PEER_PEND_SELF);
        }
        if (!uNew)
            return;
        uPeer = uAgent;   // the agent is reached at the address of the reply
    }
    if (qvAddrIPVer(&addr) == QV_ADDR_VER_NONE) {
        PeerOffLine(uPeer, 2);
        return;
    }
    PEER_S* q = EntryInUse(uPeer);
    if (!q)
        return;
    char szAddr[QV_ADDR_STR_SIZE] = "", szName[QV_PEER_NAME_MAX] = "";
    qvAddrToStr(&addr, szAddr, sizeof(szAddr));
    ObjName(q->uObject, szName, sizeof(szName));
    qvLogOut(1,
             "ClassPeer: RecvStatusReply: uPrivStatus=%u, Peer=%u, szObjName=%s, szAddr=%s, pszProxy=%s, pszProxy6=%s",
             q->uStatus, q->uObject, szName, szAddr, lpszProxy, lpszProxy6);
    QV_ADDR_S proxy = Zero(), proxy6 = Zero();
    u32 uPending = 0;
    if (lpszProxy[0] && !qvDomainToAddr(lpszProxy, 2, &proxy, 1, nullptr, kResolveWaitMs, 0))
        uPending = 1;
    if (lpszProxy6[0] && !qvDomainToAddr(lpszProxy6, 2, &proxy6, 1, nullptr, kResolveWaitMs, 0))
        uPending = 1;
    if (uPending) {
        if (!ResoluteAdd(1, q->uObject, uType, szAddr, lpszProxy, lpszProxy6, kResoPasses))
            PeerOffLine(uPeer, 1);
        return;
    }
    ResoluteRemove(1, q->uObject, szAddr, lpszProxy, lpszProxy6);
    u32 uErr = ResoluteRecvStatusReply(uPeer, addr, proxy, proxy6, uType, 1);
    if (uErr)
        PeerOffLine(uPeer, uErr);
}

u32 CQVClassPeer::ResoluteRecvStatusReply(u32 uIndex, const QV_ADDR_S& addr, QV_ADDR_S proxy,
                                          const QV_ADDR_S& proxy6, u32 uType, u32 uSuccess)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 1;
    if (!uSuccess)
        return 11;
    if (qvAddrIPVer(&addr) == QV_ADDR_VER_NONE)
        return 2;
    if (m_pSocket->AddrNat64Enable())
        m_pSocket->AddrNat64Remove(&proxy);
    p->uOffline = 0;
    // A socket the peer already opened to us from that address is taken over when it carries
    // the peer's name (or none and nothing speaks against it); any other one from there goes.
    char szName[QV_PEER_NAME_MAX] = "";
    ObjName(p->uObject, szName, sizeof(szName));
    NEW_S* n = m_NewUsed.Head();
    while (n) {
        NEW_S* x = NEW_LIST::Next(n);
        if (AddrSame(n->addr, addr)) {
            char szSock[QV_PEER_NAME_MAX] = "";
            if (!m_pSocket->GetPeerName(n->uSockID, szSock, sizeof(szSock)))
                szSock[0] = 0;
            u32 uNoAddr = qvAddrIPVer(&p->addr) == QV_ADDR_VER_NONE || AddrSame(p->addr, addr);
            if ((!szSock[0] && uNoAddr) || (szSock[0] && strcmp(szSock, szName) == 0))
                SockNewPeerMove((u32)(n - m_pNew), uIndex);
            else
                SockNewDelete(n, 0);
        }
        n = x;
    }
    p = EntryInUse(uIndex);
    if (!p)
        return 1;
    if (!AddrSame(p->addr, addr) || !p->uSockID) {
        if (!p->uSockID) {
            u32 uSockID = m_pSocket->Add(&addr, 0, uIndex << 16, 0);
            if (!uSockID)
                return 1;
            p->uSockID = uSockID;
        } else if (!m_pSocket->SetPeerAddr(p->uSockID, &addr)) {
            return 1;
        }
        HelperSetSocketOption(uIndex);
        HashRemove(p);
        p->addr = addr;
        HashAdd(p);
        p->uConnected = 0;
    }
    if (qvAddrIPVer(&proxy) == QV_ADDR_VER_IPV4 || qvAddrIPVer(&proxy6) == QV_ADDR_VER_IPV6)
        m_pSocket->SetPeerProxy(p->uSockID, &proxy, &proxy6);
    p->uPeerType = uType;
    HelperSetStatus(p, QV_PEER_STA_ADMITTED);
    p = EntryInUse(uIndex);
    if (p && p->uConnected) {
        p->uSendMask &= ~QV_PEER_PEND_SELF;
        if (!p->uSendMask)
            m_PeerMask.Remove(p);
        if (!SendSyncReport(p->uObject, 0, 1))
            SendMaskAdd(uIndex, QV_PEER_PEND_SELF);
    }
    return 0;
}

void CQVClassPeer::PeerOffLine(u32 uIndex, u32 uErr)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p || (p->uFlags & (QV_PEER_FLAG_STATIC | QV_PEER_FLAG_LAN)))
        return;
    if (uErr == 11 || uErr == 12 || uErr == 14) {
        qvLogOut(1, "ClassPeer: PeerOffLine, status request failed.");
        return;
    }
    u32 uObject = p->uObject;
    if (p->uStatus >= QV_PEER_STA_ADMITTED) {
        m_pProc->ObjResetPeerID(uObject, uObject);
        SyncObjNotify(uIndex, uObject, 0);
        u32 uGuard = 0;
        for (QV_NODE_S* n = p->objs.pHead; n && uGuard < 0x10000; n = n->lpNext, uGuard++) {
            u32 o = m_pProc->ObjGetByNode(n);
            if (!o)
                continue;
            m_pProc->ObjResetPeerID(o, uObject);
            SyncObjNotify(uIndex, o, 0);
        }
        m_pProc->GroupPeerSyncObjNotify(uObject, 0);
        if ((p = EntryInUse(uIndex)) != nullptr)
            HelperSetStatus(p, QV_PEER_STA_CREATED);
    }
    if ((p = EntryInUse(uIndex)) != nullptr)
        p->uOffline = 1;
    HelperErrorReport(uObject, 34, uErr);
}

// ---------------------------------------------------------------------------------------------
// Resolve requests of the server

void CQVClassPeer::SendResoReply(const char* lpszName, const QV_ADDR_S& addr)
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (!s)
        return;
    u8 aBuf[kResoReplySize];
    std::memset(aBuf, 0, sizeof(aBuf));
    u32 n = (u32)strnlen(lpszName, kResoNameField - 1);
    std::memcpy(aBuf, lpszName, n);
    std::memcpy(aBuf + 80, addr.uAddr, 16);
    qvSkWr16(aBuf + 96, addr.uPort);
    qvSkWr16(aBuf + 98, addr.uExtra);
    SendPeerMsg(s->uObject, 0, QV_PMSG_RESO_REPLY, 0, aBuf, sizeof(aBuf), 0);
}

void CQVClassPeer::RecvResoRequest(u32 uIndex, const tagQV_SK_BUF_S&, u32)
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (!s || uIndex != m_uPrivSvr || m_uSide) {
        m_Stat.uNotAdmitted++;
        return;
    }
    // The reply's name field holds 63 characters: a longer name could not be answered so
    // that the server knows which name the address belongs to, and is refused.
    const char* lpszName = reinterpret_cast<const char*>(m_pRecvBuf);
    if (!std::memchr(lpszName, 0, kResoNameField)) {
        m_Stat.uMalformed++;
        qvLogOut(1, "ClassPeer: RecvResoRequest, host name too long");
        return;
    }
    char szName[kResoNameField];
    std::memcpy(szName, lpszName, strlen(lpszName) + 1);
    QV_ADDR_S aAddr[kAddrMax];
    std::memset(aAddr, 0, sizeof(aAddr));
    if (qvDomainToAddr(szName, 2, aAddr, kAddrMax, nullptr, 0, 1)) {
        ResoluteRemove(2, s->uObject, szName, "", "");
        SendResoReply(szName, aAddr[0]);
        return;
    }
    ResoluteAdd(2, s->uObject, 0, szName, "", "", kResoPasses);
}

// ---------------------------------------------------------------------------------------------
// Socket events about the server address and the forwarding statistics

u32 CQVClassPeer::SocketAddrChange(u32)
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (!s)
        return 0;
    HelperSvrPeerSetAddr();
    m_Login.uCount = 0;
    if ((s = EntryInUse(m_uPrivSvr)) != nullptr)
        m_pProc->ObjDisp(s->uObject, QV_PEER_DISP_LOGIN);
    return 1;
}

u32 CQVClassPeer::SocketNat64Detected(u32)
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (!s)
        return 0;
    QV_ADDR_S cur;
    std::memset(&cur, 0, sizeof(cur));
    if (!m_pSocket->GetCurProxy(cur) || AddrSame(cur, s->addr))
        return 0;
    m_pSocket->AddrNat64Remove(&cur);
    if (HelperPeerSetAddr(m_uPrivSvr, cur, nullptr, nullptr)) {
        qvLogOut(0, "ClassPeer: SocketNat64Detected, Set addr failed");
        return 0;
    }
    return 1;
}

u32 CQVClassPeer::SocketNotifyPush(u32)
{
    if (!EntryInUse(m_uPrivSvr) || m_uLoginStatus != 3)
        return 0;
    return HelperSendActive();
}

void CQVClassPeer::DispForwardReport(u32 uBits)
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    IQVSocketUDP4Priv* u = static_cast<IQVSocketUDP4Priv*>(m_pSocket->GetSocketPrivate(0));
    if (!s || !u)
        return;
    if (uBits & QV_PEER_DISP_FWDSTATUS) {
        QV_SKT_UDP4_FWD_STATUS_S st{};
        u->GetForwardStatus(&st);
        if (m_uClassOption)
            HelperSendText(s->uObject, kExtFwdStatus, 0, 0, 0, 0, "(Status){%u}(SessCount){%u}", st.uStatus,
                           st.uSessCount);
        else
            m_pProc->ObjExtRequest(s->uObject, kExtFwdStatus, &st, 8, 0, 0, 0);
    }
    if (uBits & QV_PEER_DISP_FWDRELAY) {
        QV_SKT_UDP4_FWD_STAT_S st{};
        u->GetForwardRelayStat(&st);
        if (m_uClassOption)
            HelperSendText(s->uObject, kExtFwdRelay, 0, 0, 0, 0, "(Speed){%u}(ByteCount){%u}", st.uSpeed,
                           st.uByteCount);
        else
            m_pProc->ObjExtRequest(s->uObject, kExtFwdRelay, &st, 8, 0, 0, 0);
    }
    if (uBits & QV_PEER_DISP_FWDHOLE) {
        QV_SKT_UDP4_FWD_STAT_S a{}, b{};
        u->GetForwardHoleStat(&a, &b);
        if (m_uClassOption) {
            HelperSendText(s->uObject, kExtFwdHole, 0, 0, 0, 0,
                           "(SendSpeed){%u}(SendByteCount){%u}(RecvSpeed){%u}(RecvByteCount){%u}", a.uSpeed,
                           a.uByteCount, b.uSpeed, b.uByteCount);
        } else {
            u32 r[4] = {a.uSpeed, a.uByteCount, b.uSpeed, b.uByteCount};
            m_pProc->ObjExtRequest(s->uObject, kExtFwdHole, r, sizeof(r), 0, 0, 0);
        }
    }
}

// Behind NAT64 the redirect address of a login reply is given in the prefix's form.
void CQVClassPeer::HelperRedirectNat64(char* lpszParam, u32 uSize)
{
    if (!m_pString->Assign(lpszParam))
        return;
    const char* a = m_pParser->GetContent(m_pString, "Redirect.SvrAddr");
    if (!a || qvAddrStrIPVer(a) == QV_ADDR_VER_NONE)
        return;   // absent, or a name: no lookup here
    QV_ADDR_S addr;
    std::memset(&addr, 0, sizeof(addr));
    if (!qvDomainToAddr(a, 2, &addr, 1, nullptr, 3000, 1))
        return;
    m_pSocket->AddrNat64Remove(&addr);
    if (qvAddrIPVer(&addr) != QV_ADDR_VER_IPV4 || !m_pSocket->AddrNat64Fill(&addr))
        return;
    char szAddr[QV_ADDR_STR_SIZE];
    if (!qvAddrToStr(&addr, szAddr, sizeof(szAddr)) || !m_pParser->SetContent(m_pString, "Redirect.SvrAddr", szAddr))
        return;
    qvStrCopy(lpszParam, uSize, m_pString->CStr());
}
