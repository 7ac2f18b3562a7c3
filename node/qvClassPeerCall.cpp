// Peer class: calls between peers (the owner's request 35, types 9 and 10, the reply through the
// owner's extension reply), one-way messages (request 36, type 11), the server's no-authority
// message (13) and the ping (request 50, types 23 and 24).
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qvClassPeer.h"
#include "qvLog.h"
#include "qvNode.h"
#include "qvSocket.h"

namespace {

// Waiter kinds of the class (the waiter time-outs dispatch on them).
const u32 kWaitCall = 1;
const u32 kWaitPing = 6;
// Extension requests raised at the owner.
const u32 kExtCall = 35;
const u32 kExtMessage = 36;
// Flag word of calls, replies and messages: bit 0 the payload is a u32 error code, bit 1 it is
// a text with its NUL.
const u16 kFlagError = 1;
const u16 kFlagText = 2;
// Seconds a reply, message or ping reply is tried before its unit ends.
const u32 kSendSeconds = 3;
// Ping payload: the stamp in the first 4 bytes, 24 header bytes in all; 52 bytes for size 0,
// at most 4116.
const u32 kPingHead = 24;
const u32 kPingMin = 52;
const u32 kPingMax = 4116;
const u32 kPingRecord = 12;
// Calls kept at once for sending again (each at most QV_PEER_MSG_MAX bytes); a call beyond them
// is not sent again.
const u32 kCallKeepMax = 64;
// Only a client-only login refuses calls (node option bit 7); the bits above it are other
// switches of the owner (batch receive is bit 8).
const u32 kNodeOptClientOnly = 0x80;

u32 WallMs()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    return (u32)((u64)tv.tv_sec * 1000u + (u64)tv.tv_usec / 1000u);
}

}  // namespace

// The payload of a call or message: a text (size 0) goes with its NUL and flag word 2, a
// binary record as given with flag word 0.
u32 CQVClassPeer::CallPayload(const void* lpData, u32 uSize, u32* lpuLen, u16* lpuFlag)
{
    if (!lpData)
        return 0;
    if (uSize == 0) {
        size_t n = strnlen(static_cast<const char*>(lpData), QV_PEER_MSG_MAX);
        if (n >= QV_PEER_MSG_MAX)
            return 0;
        *lpuLen = (u32)n + 1;
        *lpuFlag = kFlagText;
    } else {
        if (uSize > QV_PEER_MSG_MAX)
            return 0;
        *lpuLen = uSize;
        *lpuFlag = 0;
    }
    return 1;
}

int CQVClassPeer::ReqCall(u32 uIndex, const void* lpData, u32 uSize, u32 uParam)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 5;
    if (p->uFlags & QV_PEER_FLAG_NOGROUP)
        return 4;
    u32 uLen = 0;
    u16 uFlag = 0;
    if (!CallPayload(lpData, uSize, &uLen, &uFlag))
        return 2;
    u32 uWaiter = m_pProc->WaiterAlloc(p->uObject, p->uCallTimeout, kWaitCall, uParam);
    if (!uWaiter)
        return 6;
    u32 uTarget = p->uObject;
    u32 uUnit = m_pProc->MCastAlloc(p->uObject, QV_PMSG_CALL, 0, &uTarget, 1, 0, p->uCallTimeout, uWaiter);
    if (!uUnit) {
        m_pProc->WaiterFinish(uWaiter, nullptr, nullptr);
        qvPrintf("CQVClassPeer::ReqCall. MCastAlloc failed!");
        Debug(uIndex, "CQVClassPeer::ReqCall. MCastAlloc failed!");
        return 14;
    }
    if (m_pProc->MCastSend(uUnit, uFlag, lpData, uLen, 0, 0) != 0) {
        m_pProc->MCastFree(uUnit);
        m_pProc->WaiterFinish(uWaiter, nullptr, nullptr);
        qvPrintf("CQVClassPeer::ReqCall. MCastSend failed!");
        Debug(uIndex, "CQVClassPeer::ReqCall. MCastSend failed!");
        return 14;
    }
    CallKeep(uIndex, uWaiter, uUnit, uFlag, lpData, uLen);
    return -1;
}

void CQVClassPeer::CallKeep(u32 uIndex, u32 uWaiter, u32 uUnit, u16 uFlag, const void* lpData, u32 uLen)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    // Calls whose waiter has ended (answered or timed out) go first.
    for (CALL_S* c = m_Calls.Head(); c;) {
        CALL_S* n = CQVList<CALL_S>::Next(c);
        u32 uKind = 0;
        if (m_pProc->WaiterPeek(c->uWaiter, &uKind, nullptr) == 0 || uKind != kWaitCall) {
            m_Calls.Remove(c);
            delete[] c->pData;
            delete c;
        }
        c = n;
    }
    u32 uRemote = m_pProc->ObjGetObjIDByPeer(p->uObject, p->uObject);
    if (!uRemote || m_Calls.Count() >= kCallKeepMax || uLen > QV_PEER_MSG_MAX)
        return;
    CALL_S* c = new (std::nothrow) CALL_S();
    u8* d = uLen ? new (std::nothrow) u8[uLen] : nullptr;
    if (!c || (uLen && !d)) {
        delete c;
        delete[] d;
        return;
    }
    if (uLen)
        std::memcpy(d, lpData, uLen);
    u32 uOption = 0;
    m_pProc->ObjGetOption(p->uObject, 0, &uOption);
    c->uIndex = uIndex;
    c->uWaiter = uWaiter;
    c->uUnit = uUnit;
    c->uRemoteID = uRemote;
    c->uSendFlags = ((uOption & QV_OBJ_OPT_ENCRYPT) ? QV_SOCK_SEND_ENCRYPT : 0) |
                    ((uOption & QV_OBJ_OPT_HFLAG) ? QV_SOCK_SEND_HFLAG : 0);
    c->uFlag = uFlag;
    c->pData = d;
    c->uLen = uLen;
    m_Calls.PushTail(c);
}

// The peer has no object of the ID uRemoteID: the calls of this entry that went to it and
// still wait for their answer join the send backlog, which sends them once the peer's object
// has its new ID (a peer that restarted tells it when it synchronises again).
void CQVClassPeer::CallAgain(u32 uIndex, u32 uRemoteID)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p || !uRemoteID)
        return;
    for (CALL_S* c = m_Calls.Head(); c; c = CQVList<CALL_S>::Next(c)) {
        u32 uKind = 0;
        if (c->uIndex != uIndex || c->uRemoteID != uRemoteID ||
            m_pProc->WaiterPeek(c->uWaiter, &uKind, nullptr) != p->uObject || uKind != kWaitCall)
            continue;
        QV_SK_BUF_S b;
        std::memset(&b, 0, sizeof(b));
        b.uHandle = c->uUnit;
        b.uMethod = QV_PMSG_CALL;
        b.uFlag = c->uFlag;
        b.uHandle2 = c->uWaiter;
        b.uSize = c->uLen;
        b.lpData = c->pData;
        c->uRemoteID = 0;
        if (SendBacklogPush(uIndex, b, c->uSendFlags, 0, p->uObject) > 0)
            Debug(uIndex, "CQVClassPeer::CallAgain, uWaiter=%u, uObjPeer=%u", c->uWaiter, uRemoteID);
    }
}

void CQVClassPeer::CallClean(u32 uInst)
{
    for (CALL_S* c = m_Calls.Head(); c;) {
        CALL_S* n = CQVList<CALL_S>::Next(c);
        if (uInst >= m_uPeerMax || c->uIndex == uInst) {
            m_Calls.Remove(c);
            delete[] c->pData;
            delete c;
        }
        c = n;
    }
}

int CQVClassPeer::ReqMessage(u32 uIndex, const void* lpData, u32 uSize, u32 uParam)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 5;
    if (p->uFlags & QV_PEER_FLAG_NOGROUP)
        return 4;
    u32 uLen = 0;
    u16 uFlag = 0;
    if (!CallPayload(lpData, uSize, &uLen, &uFlag))
        return 2;
    u32 uTarget = p->uObject;
    u32 uUnit = m_pProc->MCastAlloc(p->uObject, QV_PMSG_MESSAGE, 0, &uTarget, 1, 0, kSendSeconds, uParam);
    if (!uUnit) {
        qvLogOut(1, "ClassPeer: ReqMessage, MCast alloc failed");
        return 1;
    }
    int r = m_pProc->MCastSend(uUnit, uFlag, lpData, uLen, 0, 0);
    if (r == 0) {
        p->uActive = m_uTick;
        m_pProc->MCastFree(uUnit);
        return 0;
    }
    char szPeer[QV_PEER_NAME_MAX];
    ObjName(p->uObject, szPeer, sizeof(szPeer));
    QV_MCAST_RES_S res;
    std::memset(&res, 0, sizeof(res));
    u32 uPeer = 0, uCount = 1;
    m_pProc->MCastGetRes(uUnit, &uPeer, &res, &uCount, 0);
    qvLogOut(2, "ClassPeer: ReqMessage, Send failed. Peer=%s, SocketErr=%d", szPeer, res.iResult);
    m_pProc->MCastFree(uUnit);
    return 14;
}

// Type 9: a peer calls. The reply unit is made first; the owner answers through OnExtReply
// with it, or the class answers 13 at once for a client-only login or a peer not accepted.
void CQVClassPeer::RecvCall(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p || (m_uSide && p->uStatusWaiter))
        return;
    if (m_uClassOption)
        m_pRecvBuf[uLen] = 0;
    u32 uTarget = p->uObject;
    u32 uReply = m_pProc->MCastAlloc(m_uSelf, QV_PMSG_CALL_REPLY, 0, &uTarget, 1, 0, kSendSeconds, buf.uHandle2);
    if (!uReply)
        return;
    if (!m_uSide && ((m_pProc->NodeGetCfgOption() & kNodeOptClientOnly) ||
                     (m_uAuthOption && !AuthCheckAccept(uIndex)))) {
        u8 aCode[4];
        qvSkWr32(aCode, 13);
        m_pProc->MCastSend(uReply, kFlagError, aCode, sizeof(aCode), 0, 0);
        m_pProc->MCastFree(uReply);
        return;
    }
    if (!m_pProc->ObjExtRequest(m_uSelf, kExtCall, m_pRecvBuf, uLen, uReply, uTarget, m_uClassOption))
        m_pProc->MCastFree(uReply);
}

// The owner's answer to a call: an error code, nothing (2), a text or a binary record.
int CQVClassPeer::CallReplySend(u32 uUnit, u32 uError, const void* lpData, u32 uSize)
{
    u8 aCode[4];
    const void* d = lpData;
    u32 uLen = uSize;
    u16 uFlag = 0;
    if (uError || !lpData) {
        qvSkWr32(aCode, uError ? uError : 2);
        d = aCode;
        uLen = sizeof(aCode);
        uFlag = kFlagError;
    } else if (!CallPayload(lpData, uSize, &uLen, &uFlag)) {
        m_pProc->MCastFree(uUnit);
        return 1;
    }
    // A refused send (the peer's queue is full for a while) keeps the handle: the owner may
    // answer again with it until the unit's time-out, which every try restarts. Freeing it
    // would lose the call for good however soon the queue had room again.
    if (m_pProc->MCastSend(uUnit, uFlag, d, uLen, 0, 0) != 0)
        return 1;
    return 0;
}

// Type 10: the answer to one of our calls. Only a call waiter of the sender's entry is finished
// (the parameter word comes from the wire and could name any waiter).
void CQVClassPeer::RecvCallReply(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    u32 uKind = 0, uParam = 0;
    if (m_pProc->WaiterPeek(buf.uHandle2, &uKind, nullptr) != p->uObject || uKind != kWaitCall) {
        m_Stat.uMalformed++;
        return;
    }
    u32 uError = 0;
    const void* d = m_pRecvBuf;
    u32 uSize = uLen;
    if (buf.uFlag & kFlagError) {
        if (uLen != 4) {
            m_Stat.uMalformed++;
            return;
        }
        uError = qvSkRd32(m_pRecvBuf);
        d = nullptr;
        uSize = 0;
    } else if (m_uClassOption) {
        m_pRecvBuf[uLen] = 0;
    }
    m_pProc->WaiterFinish(buf.uHandle2, nullptr, &uParam);
    m_pProc->ObjReply(p->uObject, uError, d, uSize, uParam, m_uClassOption);
}

// Type 11: a message for the owner.
void CQVClassPeer::RecvMessage(u32 uIndex, const tagQV_SK_BUF_S&, u32 uLen)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p || (m_uSide && p->uStatusWaiter))
        return;
    if (m_uClassOption)
        m_pRecvBuf[uLen] = 0;
    m_pProc->ObjExtRequest(m_uSelf, kExtMessage, m_pRecvBuf, uLen, 0, p->uObject, m_uClassOption);
}

// Type 13: the server says this login has no authority (any longer).
void CQVClassPeer::RecvNoAuth(u32 uIndex, const tagQV_SK_BUF_S&, u32 uLen)
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (uIndex != m_uPrivSvr || !s || uLen != 4) {
        m_Stat.uMalformed++;
        return;
    }
    qvPrintf("CQVClassPeer::RecvNoAuth");
    m_pProc->ObjNotify(s->uObject, QV_PEER_NOTIFY_NOAUTH, 0, 0);
}

// Request 50: Size, Prio (0 to 3), Timeout (ms) / three u32.
int CQVClassPeer::ReqPing(u32 uIndex, const void* lpData, u32 uSize, u32 uParam)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 5;
    if (!lpData)
        return 2;
    u32 uPingSize = 0, uPrio = 0, uTimeout = 0;
    if (uSize == 0) {
        if (!m_pString->Assign(static_cast<const char*>(lpData)))
            return 1;
        // Each content is read before the next look-up reuses the parser's buffer.
        const char* v = m_pParser->GetContent(m_pString, "Size");
        uPingSize = v ? (u32)strtoul(v, nullptr, 10) : 0;
        v = m_pParser->GetContent(m_pString, "Prio");
        uPrio = v ? (u32)strtoul(v, nullptr, 10) : 0;
        v = m_pParser->GetContent(m_pString, "Timeout");
        uTimeout = v ? (u32)strtoul(v, nullptr, 10) : 0;
    } else if (uSize == kPingRecord) {
        const u8* d = static_cast<const u8*>(lpData);
        std::memcpy(&uPingSize, d, 4);
        std::memcpy(&uPrio, d + 4, 4);
        std::memcpy(&uTimeout, d + 8, 4);
    } else {
        return 2;
    }
    if (uPrio > 3)
        return 2;
    u32 uLen = uPingSize == 0 ? kPingMin : uPingSize <= kPingMax - 20 ? uPingSize + 20 : kPingMax;
    // The filler is zeros: the class's receive buffer holds other peers' messages, which must
    // not leave the node.
    u8 aPing[kPingMax];
    std::memset(aPing, 0, uLen);
    qvSkWr32(aPing, WallMs());
    u32 uSeconds = uTimeout / 1000 + (uTimeout % 1000 ? 1 : 0);
    if (!uSeconds)
        uSeconds = 1;
    u32 uWaiter = m_pProc->WaiterAlloc(p->uObject, uSeconds, kWaitPing, uParam);
    if (!uWaiter)
        return 14;
    u32 uTarget = p->uObject;
    u32 uUnit = m_pProc->MCastAlloc(p->uObject, QV_PMSG_PING, uPrio, &uTarget, 1, 0, kSendSeconds, uWaiter);
    if (!uUnit) {
        m_pProc->WaiterFinish(uWaiter, nullptr, nullptr);
        return 14;
    }
    if (m_pProc->MCastSend(uUnit, 0, aPing, uLen, 0, 0) != 0) {
        m_pProc->MCastFree(uUnit);
        m_pProc->WaiterFinish(uWaiter, nullptr, nullptr);
        return 6;
    }
    return -1;
}

// Type 23: echoed back unchanged, exactly the bytes that came.
void CQVClassPeer::RecvPing(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p || (m_uSide && p->uStatusWaiter))
        return;
    u32 uUnit = m_pProc->MCastAlloc(p->uObject, QV_PMSG_PING_REPLY, buf.uPrio & 3, nullptr, 0, 0, kSendSeconds,
                                    buf.uHandle2);
    if (!uUnit)
        return;
    m_pProc->MCastSend(uUnit, 0, m_pRecvBuf, uLen, 0, 0);
    m_pProc->MCastFree(uUnit);
}

// Type 24: the echo of our ping; only a ping waiter of the sender's entry is finished.
void CQVClassPeer::RecvPingReply(u32 uIndex, const tagQV_SK_BUF_S& buf, u32)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    u32 uKind = 0, uParam = 0;
    if (m_pProc->WaiterPeek(buf.uHandle2, &uKind, nullptr) != p->uObject || uKind != kWaitPing) {
        m_Stat.uMalformed++;
        return;
    }
    m_pProc->WaiterFinish(buf.uHandle2, nullptr, &uParam);
    HelperPingReply(uIndex, 0, WallMs() - qvSkRd32(m_pRecvBuf), uParam);
}

void CQVClassPeer::HelperPingReply(u32 uIndex, u32 uError, u32 uRtt, u32 uParam)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    if (m_uClassOption) {
        char sz[32];
        int n = snprintf(sz, sizeof(sz), "(RTT){%u}", uRtt);
        m_pProc->ObjReply(p->uObject, uError, sz, (u32)n, uParam, 1);
    } else {
        m_pProc->ObjReply(p->uObject, uError, &uRtt, sizeof(uRtt), uParam, 0);
    }
}

int CQVClassPeer::OnExtReply(u32, u32 uError, const void* lpData, u32 uSize, u32 uHandle)
{
    if (!uHandle)
        return 0;
    u32 uMethod = 0;
    if (!m_pProc->MCastGetInfo(uHandle, nullptr, &uMethod, nullptr, nullptr, nullptr)) {
        qvLogOut(0, "ClassPeer: OnExtReply, MCastGetInfo failed. uHandle=%u", uHandle);
        m_pProc->MCastFree(uHandle);
        return 1;
    }
    if (uMethod == QV_PMSG_CALL_REPLY)
        return CallReplySend(uHandle, uError, lpData, uSize);
    if (uMethod == QV_PMSG_AUTH_RESULT) {
        int r = ExtRepAuth(uError, lpData, uSize, uHandle);
        if (r > 1)
            m_pProc->MCastFree(uHandle);
        return r;
    }
    m_pProc->MCastFree(uHandle);
    return 4;
}
