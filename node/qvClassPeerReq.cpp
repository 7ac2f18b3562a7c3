// Peer class requests of the owner (the address of a static peer or of the server), replies to
// the class's extension requests, error messages for messages to missing objects, and
// one-peer messages.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qvClassPeer.h"
#include "qvLog.h"
#include "qvNode.h"
#include "qvSocket.h"

namespace {

const u32 kSetAddrRecord = 384;   // three char[128]: Addr, Proxy, Proxy6

// A field of a binary request: NUL-terminated inside its 128 bytes.
u32 FieldOk(const u8* p)
{
    return memchr(p, 0, 128) != nullptr;
}

}  // namespace

int CQVClassPeer::OnRequest(u32 uInst, u32 uMethod, const void* lpData, u32 uSize, u32 uParam)
{
    PEER_S* p = Entry(uInst);
    if (!p)
        return 5;
    if (!p->uStatus)
        return 6;
    switch (uMethod) {
    case 2:
        return ReqSetOption(uInst, lpData, uSize);
    case 3:
        return ReqGetOption(uInst, lpData, uSize, uParam);
    case 4:
        return ReqControl(uInst, lpData, uSize);
    case 32:
        return ReqLogin(uInst, lpData, uSize, uParam);
    case 33:
        return ReqLogout(uInst);
    case 34:
        if (uSize && uSize != 4)
            return 2;
        return ReqStatus(uInst);
    case 35:
        return ReqCall(uInst, lpData, uSize, uParam);
    case 36:
        return ReqMessage(uInst, lpData, uSize, uParam);
    case 37:
        return ReqSetAddr(uInst, lpData, uSize);
    case 38:
        return ReqGetInfo(uInst, uParam);
    case 39:
        return ReqDigGen(uInst, lpData, uSize, uParam);
    case 40:
        return ReqDigVerify(uInst, lpData, uSize);
    case 41:
        return ReqCheckInfo(uInst, lpData, uSize);
    case 42:
        return ReqLanScan(uInst, lpData, uSize, uParam);
    case 43:
        return ReqAgentLogin(uInst, lpData, uSize, uParam);
    case 44:
        return ReqAgentLogout(uInst, lpData, uSize);
    case 45:
        return ReqAgentMessage(uInst, lpData, uSize);
    case 48:
        return ReqClassSelect(uInst, lpData, uSize);
    case 50:
        return ReqPing(uInst, lpData, uSize, uParam);
    case 58:
        return ReqAuthSet(uInst, lpData, uSize);
    default:
        return 4;
    }
}

// Request 37: the address of the server or of a static peer.
int CQVClassPeer::ReqSetAddr(u32 uIndex, const void* lpData, u32 uSize)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 5;
    if (p->uFlags & QV_PEER_FLAG_NOGROUP)
        return 4;
    if (!(p->uFlags & (QV_PEER_FLAG_SERVER | QV_PEER_FLAG_STATIC)))
        return 13;
    if (!lpData)
        return 2;
    char szAddr[128], szProxy[128], szProxy6[128];
    szProxy6[0] = 0;
    if (uSize == 0) {
        if (!m_pString->Assign(static_cast<const char*>(lpData)))
            return 1;
        const char* a = m_pParser->GetContent(m_pString, "Addr");
        if (!a || !a[0] || !qvStrCopy(szAddr, sizeof(szAddr), a))
            return 2;
        const char* x = m_pParser->GetContent(m_pString, "Proxy");
        if (!x || !qvStrCopy(szProxy, sizeof(szProxy), x))
            return 2;
        const char* y = m_pParser->GetContent(m_pString, "Proxy6");
        if (!y || !qvStrCopy(szProxy6, sizeof(szProxy6), y))
            szProxy6[0] = 0;
    } else if (uSize == kSetAddrRecord) {
        const u8* d = static_cast<const u8*>(lpData);
        if (!FieldOk(d) || !FieldOk(d + 128) || !FieldOk(d + 256) || !d[0])
            return 2;
        strcpy(szAddr, reinterpret_cast<const char*>(d));
        strcpy(szProxy, reinterpret_cast<const char*>(d + 128));
        strcpy(szProxy6, reinterpret_cast<const char*>(d + 256));
    } else {
        return 2;
    }
    u32 uServer = uIndex == m_uPrivSvr || (p->uFlags & QV_PEER_FLAG_SERVER);
    if (uServer)
        strcpy(m_szSvrAddr, szAddr);

    return (int)HelperAddrSetting(uIndex, szAddr, szProxy, szProxy6);
}

u32 CQVClassPeer::SendError(u32 uInst, u32 uPrio, u32 uMethod, u32 uObject, u32 uParam)
{
    PEER_S* p = EntryInUse(uInst);
    if (!p)
        return 0;
    if (!p->uSockID)
        return 1;
    u8 aBuf[16];
    std::memset(aBuf, 0, sizeof(aBuf));
    qvSkWr32(aBuf + 4, uObject);
    aBuf[8] = 1;
    aBuf[9] = (u8)uPrio;
    qvSkWr16(aBuf + 10, uMethod);
    QV_SK_BUF_S b;
    std::memset(&b, 0, sizeof(b));
    b.uMethod = QV_PMSG_ERROR;
    b.uHandle2 = uParam;
    b.uSize = sizeof(aBuf);
    b.lpData = aBuf;
    // An error message to the peer still waiting in the queue is enough (the payload is not
    // compared): a peer that keeps sending to a missing object does not fill the queue.
    if (m_pSocket->SendFind(p->uSockID, b, 0, 0, sizeof(aBuf)) < 0)
        m_pSocket->Send(p->uSockID, b, 0);
    return 1;
}

u32 CQVClassPeer::SendPeerMsg(u32 uObject, u32 uPeer, u32 uMethod, u32 uFlag, const void* lpData, u32 uSize,
                              u32 uParam)
{
    u32 uUnit = m_pProc->MCastAlloc(uObject, uMethod, 0, uPeer ? &uPeer : nullptr, uPeer ? 1 : 0, 0, 3, uParam);
    if (!uUnit)
        return 0;
    int r = m_pProc->MCastSend(uUnit, uFlag, lpData, uSize, 0, 0);
    m_pProc->MCastFree(uUnit);
    return r == 0 ? 1 : 0;
}

// A trace of this peer for the owner (extension request 31), for peers marked for it.
void CQVClassPeer::Debug(u32 uIndex, const char* lpszFormat, ...)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p || !(p->uFlags & QV_PEER_FLAG_DEBUG))
        return;
    // 8188 characters at most, then CR LF and the NUL.
    char szText[8192];
    va_list ap;
    va_start(ap, lpszFormat);
    int n = vsnprintf(szText, sizeof(szText) - 3, lpszFormat, ap);
    va_end(ap);
    if (n <= 0 || n > (int)sizeof(szText) - 4)
        return;
    szText[n++] = '\r';
    szText[n++] = '\n';
    szText[n] = 0;
    m_pProc->ObjExtRequest(p->uObject, 31, szText, (u32)n, 0, 0, m_uClassOption);
}
