// Peer class: admission of peers by the owner's verdict on what they present (authentication
// request 33, information 34 and result 35; the owner judges through extension request 60 and
// hears a peer's verdict through 59), and the peer digest (the entry's two session cookies
// mixed into SHA-256, as Base64 text; requests 39 and 40).
#include <cstdio>
#include <cstring>
#include <new>

#include "qvClassPeer.h"
#include "qvLog.h"
#include "qvNode.h"
#include "qvSocket.h"
#include "qvUtilize.h"

namespace {

const u32 kDigestStep = 256;
// Auth states of an entry.
const u32 kAuthNone = 0;
const u32 kAuthAsked = 1;
const u32 kAuthJudging = 2;
const u32 kAuthChanged = 3;
const u32 kAuthAccepted = 4;
const u32 kAuthRejected = 5;
// A request without an answer is repeated, and a much-rejected peer heard again, only after
// more than this many seconds.
const u32 kAuthRetry = 9;
// A peer rejected more often than this is heard only after kAuthRetry seconds.
const u32 kAuthRejectMany = 9;
// Wire: 16 leading bytes (the result's code in the first 4), then strings.
const u32 kAuthHead = 16;
const u32 kAuthTextMax = 255;     // characters of an information, option or parameter text
const u32 kAuthInfoStrings = 752; // both strings of an information message (bytes)
const u32 kAuthResultString = 496;
// Extension requests raised at the owner.
const u32 kExtAuthResult = 59;
const u32 kExtAuthJudge = 60;
const u32 kExtResultText = 383;   // encoded parameter of a text request 59
const u32 kExtJudgeText = 767;    // whole text request 60
// Binary records.
const u32 kAuthSetRecord = 512;   // char[256] info, char[256] option
const u32 kDigRecord = 384;       // char[256] data, char[128] value
const u32 kDigValueMax = 127;
const u32 kSendSeconds = 3;

}  // namespace

void CQVClassPeer::AuthSetState(PEER_S* p, u32 uState)
{
    p->uAuthState = uState;
    p->uAuthTime = m_uTick;
}

// 1 for the server's entry and for an accepted peer; otherwise moves the exchange on (asks
// the peer, or hands what it presented to the owner) and gives 0.
u32 CQVClassPeer::AuthCheckAccept(u32 uInst)
{
    PEER_S* p = EntryInUse(uInst);
    if (!p)
        return 0;
    if (uInst == m_uPrivSvr)
        return 1;
    switch (p->uAuthState) {
    case kAuthAccepted:
        return 1;
    case kAuthAsked:
        if (m_uTick - p->uAuthTime > kAuthRetry && AuthSendPrompt(uInst))
            p->uAuthTime = m_uTick;
        return 0;
    case kAuthNone:
        if (p->uStateFlags & 0x4) {
            if (AuthSendPrompt(uInst))
                AuthSetState(p, kAuthAsked);
        } else if (p->uStateFlags & 0x8) {
            if (AuthProcInfo(uInst, "", ""))
                AuthSetState(p, kAuthJudging);
        }
        return 0;
    case kAuthChanged: {
        // The text is copied: handing it over must not read an entry string it could change.
        char sz[kAuthTextMax + 1];
        qvStrCopy(sz, sizeof(sz), p->authPeer.c_str());
        if (AuthProcInfo(uInst, sz, ""))
            AuthSetState(p, kAuthJudging);
        return 0;
    }
    default:
        return 0;
    }
}

// Type 33 straight to the peer's socket: a request for its information.
u32 CQVClassPeer::AuthSendPrompt(u32 uIndex)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p || !p->uSockID)
        return 0;
    char szPeer[QV_PEER_NAME_MAX];
    ObjName(p->uObject, szPeer, sizeof(szPeer));
    u8 aBuf[kAuthHead];
    std::memset(aBuf, 0, sizeof(aBuf));
    QV_SK_BUF_S b;
    std::memset(&b, 0, sizeof(b));
    b.uMethod = QV_PMSG_AUTH_REQUEST;
    b.uSize = sizeof(aBuf);
    b.lpData = aBuf;
    if (m_pSocket->SendFind(p->uSockID, b, 0, 0, sizeof(aBuf)) >= 0) {
        qvLogOut(3, "ClassPeer: AuthSendPrompt, pend in socket, szPeer=%s", szPeer);
        return 1;
    }
    if (m_pSocket->Send(p->uSockID, b, 0) > 0) {
        qvLogOut(3, "ClassPeer: AuthSendPrompt, szPeer=%s", szPeer);
        return 1;
    }
    qvLogOut(1, "ClassPeer: AuthSendPrompt, socket send try, szPeer=%s", szPeer);
    return 0;
}

// Type 34 straight to the peer's socket: what this node presents to that peer.
u32 CQVClassPeer::AuthSendInfo(u32 uIndex)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p || !p->uSockID)
        return 0;
    char szPeer[QV_PEER_NAME_MAX];
    ObjName(p->uObject, szPeer, sizeof(szPeer));
    u8 aBuf[kAuthHead + kAuthInfoStrings];
    std::memset(aBuf, 0, kAuthHead);
    u32 n = qvStrPush(aBuf + kAuthHead, kAuthInfoStrings, p->authOwn.c_str());
    u32 m = n ? qvStrPush(aBuf + kAuthHead + n, kAuthInfoStrings - n, "") : 0;
    if (!m)
        return 0;
    QV_SK_BUF_S b;
    std::memset(&b, 0, sizeof(b));
    b.uMethod = QV_PMSG_AUTH_INFO;
    b.uSize = kAuthHead + n + m;
    b.lpData = aBuf;
    s32 r = PendQueueFull(p) ? 0 : m_pSocket->Send(p->uSockID, b, 0);
    if (r <= 0) {
        if (r == 0)
            PendRefused(p);
        qvLogOut(1, "ClassPeer: AuthSendInfo, socket send try, szPeer=%s", szPeer);
        return 0;
    }
    char szMask[kAuthTextMax + 1];
    AuthObfuscate(p->authOwn.c_str(), szMask, sizeof(szMask));
    qvLogOut(3, "ClassPeer: AuthSendInfo, szPeer=%s, Info=%s", szPeer, szMask);
    return 1;
}

// What a peer presented, by the state of its exchange.
void CQVClassPeer::AuthRecvInfo(u32 uIndex, const char* lpszInfo, const char* lpszOption)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    char szPeer[QV_PEER_NAME_MAX], szMask[kAuthTextMax + 1];
    ObjName(p->uObject, szPeer, sizeof(szPeer));
    AuthObfuscate(lpszInfo, szMask, sizeof(szMask));
    qvLogOut(3, "ClassPeer: AuthRecvInfo, szPeer=%s, uStatus=%u, pszInfo=%s", szPeer, p->uAuthState, szMask);
    u32 uSame = p->authPeer == lpszInfo;
    u32 uHand = 0;
    switch (p->uAuthState) {
    case kAuthNone:
    case kAuthAsked:
        uHand = 1;
        break;
    case kAuthJudging:
        // The owner is deciding on the stored text: a different one is handed over afterwards.
        if (!uSame && p->authPeer.assign(lpszInfo))
            AuthSetState(p, kAuthChanged);
        return;
    case kAuthChanged:
        if (p->authPeer.assign(lpszInfo))
            p->uAuthTime = m_uTick;
        return;
    case kAuthAccepted:
        uHand = !uSame;
        break;
    case kAuthRejected:
        uHand = p->uAuthRejects > kAuthRejectMany ? m_uTick - p->uAuthTime > kAuthRetry : !uSame;
        break;
    default:
        return;
    }
    if (!uHand || !p->authPeer.assign(lpszInfo))
        return;
    if (p->uAuthState >= kAuthAccepted)
        p->uAuthTime = m_uTick;
    if (AuthProcInfo(uIndex, lpszInfo, lpszOption)) {
        if ((p = EntryInUse(uIndex)) != nullptr)
            AuthSetState(p, kAuthJudging);
    }
}

// Extension request 60: the owner judges what the peer presented; its verdict comes back
// through OnExtReply with a type-35 unit to the peer.
u32 CQVClassPeer::AuthProcInfo(u32 uIndex, const char* lpszInfo, const char* lpszOption)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 0;
    char szPeer[QV_PEER_NAME_MAX], szMask[kAuthTextMax + 1];
    ObjName(p->uObject, szPeer, sizeof(szPeer));
    AuthObfuscate(lpszInfo, szMask, sizeof(szMask));
    qvLogOut(3, "ClassPeer: AuthProcInfo, szPeer=%s, uStatus=%u, pszInfo=%s", szPeer, p->uAuthState, szMask);
    u8 aBuf[kExtJudgeText + 1];
    u32 uLen = 0;
    if (m_uClassOption) {
        // Encoded texts that no longer fit the owner's 256-byte fields are refused, never cut.
        char szInfo[kAuthTextMax + 1], szOption[kAuthTextMax + 1];
        if (!m_pString->Assign(lpszInfo) || !m_pParser->Encode(m_pString) ||
            !qvStrCopy(szInfo, sizeof(szInfo), m_pString->CStr()))
            return 0;
        if (!m_pString->Assign(lpszOption) || !m_pParser->Encode(m_pString) ||
            !qvStrCopy(szOption, sizeof(szOption), m_pString->CStr()))
            return 0;
        int n = snprintf(reinterpret_cast<char*>(aBuf), sizeof(aBuf), "(Info){%s}(Option){%s}", szInfo, szOption);
        if (n <= 0 || (u32)n > kExtJudgeText)
            return 0;
        uLen = (u32)n;
    } else {
        std::memset(aBuf, 0, kAuthSetRecord);
        if (!qvStrCopy(reinterpret_cast<char*>(aBuf), 256, lpszInfo) ||
            !qvStrCopy(reinterpret_cast<char*>(aBuf + 256), 256, lpszOption))
            return 0;
        uLen = kAuthSetRecord;
    }
    u32 uTarget = p->uObject;
    u32 uUnit = m_pProc->MCastAlloc(m_uSelf, QV_PMSG_AUTH_RESULT, 0, &uTarget, 1, 0, kSendSeconds, 0);
    if (!uUnit) {
        qvLogOut(1, "ClassPeer: AuthProcInfo, MCastAlloc failed!");
        return 0;
    }
    if (!m_pProc->ObjExtRequest(m_uSelf, kExtAuthJudge, aBuf, uLen, uUnit, uTarget, m_uClassOption)) {
        m_pProc->MCastFree(uUnit);
        qvLogOut(1, "ClassPeer: AuthProcInfo, ObjExtRequest failed!");
        return 0;
    }
    return 1;
}

// The owner's verdict on a peer: 0 or 1 once the unit is freed here; 13, 6 or 2 leave the unit
// to the caller.
int CQVClassPeer::ExtRepAuth(u32 uError, const void* lpData, u32 uSize, u32 uHandle)
{
    if (m_uSide)
        return 13;
    if (!m_uAuthOption)
        return 6;
    u32 uPeer = 0, uCount = 1;
    if (!m_pProc->MCastGetPeer(uHandle, &uPeer, &uCount) || !uPeer || !uCount) {
        qvLogOut(1, "ClassPeer: ExtRepAuth. MCastGetPeer failed");
        return 6;
    }
    u32 uClass = 0xFFFF, uIndex = 0xFFFFFF;
    if (!m_pProc->ObjGetInfo(uPeer, &uClass, nullptr, &uIndex, nullptr) || uClass != QV_CLASS_PEER ||
        !EntryInUse(uIndex)) {
        qvLogOut(1, "ClassPeer: ExtRepAuth. ObjGetInfo failed");
        return 6;
    }
    char szParam[kAuthTextMax + 1] = "";
    if (lpData && uSize == 0) {
        if (!m_pString->Assign(static_cast<const char*>(lpData)) || ReqText("Param", szParam, sizeof(szParam)) != 1)
            return 2;
    } else if (lpData && uSize == 256) {
        if (!memchr(lpData, 0, 256))
            return 2;
        std::memcpy(szParam, lpData, 256);
    } else if (lpData) {
        return 2;
    }
    m_pProc->MCastFree(uHandle);
    PEER_S* p = EntryInUse(uIndex);
    char szPeer[QV_PEER_NAME_MAX];
    ObjName(p->uObject, szPeer, sizeof(szPeer));
    qvLogOut(3, "ClassPeer: ExtRepAuth. szPeer=%s, uStatus=%u, uRejectCount=%u, uErrCode=%u", szPeer, p->uAuthState,
             p->uAuthRejects, uError);
    if (p->uAuthState != kAuthJudging) {
        // A verdict on a text that is no longer the peer's: ask again.
        AuthCheckAccept(uIndex);
        return 0;
    }
    if (uError) {
        AuthSetState(p, kAuthRejected);
        p->uAuthRejects++;
    } else {
        AuthSetState(p, kAuthAccepted);
        p->uAuthRejects = 0;
    }
    return AuthSendResult(uIndex, uError, szParam) ? 0 : 1;
}

// Type 35 straight to the peer's socket: this node's verdict on it.
u32 CQVClassPeer::AuthSendResult(u32 uIndex, u32 uError, const char* lpszParam)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 0;
    char szPeer[QV_PEER_NAME_MAX];
    ObjName(p->uObject, szPeer, sizeof(szPeer));
    u8 aBuf[kAuthHead + kAuthResultString];
    std::memset(aBuf, 0, kAuthHead);
    qvSkWr32(aBuf, uError);
    u32 n = qvStrPush(aBuf + kAuthHead, kAuthResultString, lpszParam);
    QV_SK_BUF_S b;
    std::memset(&b, 0, sizeof(b));
    b.uMethod = QV_PMSG_AUTH_RESULT;
    b.uSize = kAuthHead + n;
    b.lpData = aBuf;
    if (!n || !p->uSockID || m_pSocket->Send(p->uSockID, b, 0) <= 0) {
        qvLogOut(1, "ClassPeer: AuthSendResult, socket send try, szPeer=%s", szPeer);
        return 0;
    }
    qvLogOut(3, "ClassPeer: AuthSendResult, szPeer=%s, uErrCode=%u", szPeer, uError);
    return 1;
}

// The peer's session restarted: whatever it presented before no longer counts.
void CQVClassPeer::AuthStatusReset(u32 uIndex)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p || uIndex == m_uPrivSvr)
        return;
    char szPeer[QV_PEER_NAME_MAX];
    ObjName(p->uObject, szPeer, sizeof(szPeer));
    qvLogOut(3, "ClassPeer: AuthStatusReset, szPeer=%s, uStatus=%u", szPeer, p->uAuthState);
    p->authPeer.clear();
    AuthSetState(p, kAuthNone);
}

// For logs: the text with its middle masked, "" when it does not fit.
void CQVClassPeer::AuthObfuscate(const char* lpszText, char* lpszOut, u32 uSize)
{
    if (!lpszOut || !uSize)
        return;
    size_t l = lpszText ? strlen(lpszText) : 0;
    if (l >= uSize) {
        lpszOut[0] = 0;
        return;
    }
    std::memcpy(lpszOut, lpszText ? lpszText : "", l + 1);
    for (size_t i = l / 4, k = 0; i < l && k < l / 2; i++, k++)
        lpszOut[i] = '*';
}

// Type 33: the peer asks what this node presents to it.
void CQVClassPeer::RecvAuthRequest(u32 uIndex, const tagQV_SK_BUF_S&, u32)
{
    if (uIndex == m_uPrivSvr) {
        m_Stat.uNotAdmitted++;
        return;
    }
    if (!AuthSendInfo(uIndex))
        SendMaskAdd(uIndex, QV_PEER_PEND_AUTH);
}

// Type 34: what the peer presents (only heard while authentication is on).
void CQVClassPeer::RecvAuthInfo(u32 uIndex, const tagQV_SK_BUF_S&, u32 uLen)
{
    if (uIndex == m_uPrivSvr || !m_uAuthOption) {
        m_Stat.uNotAdmitted++;
        return;
    }
    u32 uUsed = 0, uInfoLen = 0, uOptLen = 0;
    const char* i = qvStrPop(m_pRecvBuf + kAuthHead, uLen - kAuthHead, &uUsed, &uInfoLen);
    const char* o = i && kAuthHead + uUsed < uLen
                        ? qvStrPop(m_pRecvBuf + kAuthHead + uUsed, uLen - kAuthHead - uUsed, nullptr, &uOptLen)
                        : nullptr;
    if (!o || uInfoLen > kAuthTextMax || uOptLen > kAuthTextMax) {
        m_Stat.uMalformed++;
        return;
    }
    char szInfo[kAuthTextMax + 1], szOption[kAuthTextMax + 1];
    std::memcpy(szInfo, i, uInfoLen + 1);
    std::memcpy(szOption, o, uOptLen + 1);
    AuthRecvInfo(uIndex, szInfo, szOption);
}

// Type 35: the peer's verdict on this node, told to the owner.
void CQVClassPeer::RecvAuthResult(u32 uIndex, const tagQV_SK_BUF_S&, u32 uLen)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p || uIndex == m_uPrivSvr) {
        m_Stat.uNotAdmitted++;
        return;
    }
    u32 uParamLen = 0;
    const char* s = qvStrPop(m_pRecvBuf + kAuthHead, uLen - kAuthHead, nullptr, &uParamLen);
    if (!s || uParamLen > kAuthTextMax) {
        m_Stat.uMalformed++;
        return;
    }
    u32 uError = qvSkRd32(m_pRecvBuf);
    char szParam[kAuthTextMax + 1];
    std::memcpy(szParam, s, uParamLen + 1);
    char szPeer[QV_PEER_NAME_MAX];
    ObjName(p->uObject, szPeer, sizeof(szPeer));
    qvLogOut(3, "ClassPeer: AuthRecvResult, szPeer=%s, uErrCode=%u", szPeer, uError);
    u8 aBuf[kExtResultText + 32];
    u32 n = 0;
    if (m_uClassOption) {
        if (!m_pString->Assign(szParam) || !m_pParser->Encode(m_pString) || m_pString->Length() > kExtResultText)
            return;
        int k = snprintf(reinterpret_cast<char*>(aBuf), sizeof(aBuf), "(ErrCode){%u}(Param){%s}", uError,
                         m_pString->CStr());
        if (k <= 0 || (u32)k >= sizeof(aBuf))
            return;
        n = (u32)k;
    } else {
        std::memset(aBuf, 0, 260);
        std::memcpy(aBuf, &uError, 4);
        std::memcpy(aBuf + 4, szParam, uParamLen + 1);
        n = 260;
    }
    if (!m_pProc->ObjExtRequest(m_uSelf, kExtAuthResult, aBuf, n, 0, p->uObject, m_uClassOption))
        qvLogOut(1, "ClassPeer: AuthRecvResult, ObjExtRequest failed!");
}

// Request 58: what this node presents to the peer (Info; the Option is read, not kept).
int CQVClassPeer::ReqAuthSet(u32 uIndex, const void* lpData, u32 uSize)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 5;
    if (m_uSide)
        return 13;
    if (!lpData)
        return 2;
    if (p->uFlags & QV_PEER_FLAG_NOGROUP)
        return 4;
    char szInfo[kAuthTextMax + 1];
    if (uSize == 0) {
        char szOption[kAuthTextMax + 1];
        if (!m_pString->Assign(static_cast<const char*>(lpData)))
            return 1;
        if (ReqText("Info", szInfo, sizeof(szInfo)) != 1 || ReqText("Option", szOption, sizeof(szOption)) != 1)
            return 2;
    } else if (uSize == kAuthSetRecord) {
        const u8* d = static_cast<const u8*>(lpData);
        if (!memchr(d, 0, 256) || !memchr(d + 256, 0, 256))
            return 2;
        std::memcpy(szInfo, d, 256);
    } else {
        return 2;
    }
    if (!p->authOwn.assign(szInfo))
        return 1;
    if (!AuthSendInfo(uIndex))
        SendMaskAdd(uIndex, QV_PEER_PEND_AUTH);
    return 0;
}

// SHA-256 of the data mixed with the entry's two cookies: direction 1 (making a digest) byte i
// becomes (d[i] + local[i % 4]) XOR remote[i % 4], direction 0 (checking the peer's) swaps
// them, so that both ends of a connection hash the same bytes.
u32 CQVClassPeer::DigestHash(u32 uInst, u32 uMode, const void* lpData, u32 uSize, u8* lpDigest, u32* lpuDigestSize)
{
    PEER_S* p = EntryInUse(uInst);
    if (!p || !lpDigest || !lpuDigestSize || *lpuDigestSize < QV_HASH_SIZE || (uSize && !lpData))
        return 0;
    if (uSize > m_uDigestCap || !m_pDigestBuf) {
        u32 uCap = (uSize / kDigestStep + 1) * kDigestStep;
        u8* b = new (std::nothrow) u8[uCap];
        if (!b)
            return 0;
        delete[] m_pDigestBuf;
        m_pDigestBuf = b;
        m_uDigestCap = uCap;
    }
    u8 aLocal[4], aRemote[4];
    qvSkWr32(aLocal, p->uCookieLcl);
    qvSkWr32(aRemote, p->uCookieRmt);
    const u8* a = uMode ? aLocal : aRemote;
    const u8* x = uMode ? aRemote : aLocal;
    const u8* d = static_cast<const u8*>(lpData);
    for (u32 i = 0; i < uSize; i++)
        m_pDigestBuf[i] = (u8)((u8)(d[i] + a[i % 4]) ^ x[i % 4]);
    if (!qvDataHash(m_pDigestBuf, uSize, lpDigest, *lpuDigestSize))
        return 0;
    *lpuDigestSize = QV_HASH_SIZE;
    return 1;
}

// The digest text of a text for a peer (44 Base64 characters).
u32 CQVClassPeer::DigestGen(u32 uIndex, const char* lpszText, char* lpszOut, u32 uSize)
{
    if (!lpszOut || uSize < 64)
        return 0;
    lpszOut[0] = 0;
    u8 aHash[QV_HASH_SIZE];
    u32 uHash = sizeof(aHash);
    if (!DigestHash(uIndex, 1, lpszText, (u32)strlen(lpszText), aHash, &uHash))
        return 0;
    return qvHashToStr(aHash, uHash, lpszOut, uSize) ? 1 : 0;
}

// 1 when the digest text is the one the peer made of the text.
u32 CQVClassPeer::DigestVerify(u32 uIndex, const char* lpszText, const char* lpszDigest)
{
    u8 aHash[QV_HASH_SIZE];
    u32 uHash = sizeof(aHash);
    if (!lpszText || !lpszDigest || !DigestHash(uIndex, 0, lpszText, (u32)strlen(lpszText), aHash, &uHash))
        return 0;
    char sz[128];
    if (!qvHashToStr(aHash, uHash, sz, sizeof(sz)))
        return 0;
    return strcmp(sz, lpszDigest) == 0 ? 1 : 0;
}

// Data and Value of requests 39 and 40: text keys, or the 384-byte record. 0 read, else the
// request's error.
int CQVClassPeer::ReqDigRead(const void* lpData, u32 uSize, QV_STRING& data, char* lpszValue)
{
    if (uSize == 0) {
        if (!m_pString->Assign(static_cast<const char*>(lpData)))
            return 1;
        const char* d = m_pParser->GetContent(m_pString, "Data");
        if (!data.assign(d ? d : ""))
            return 1;
        return ReqText("Value", lpszValue, kDigValueMax + 1) == 1 ? 0 : 2;
    }
    if (uSize != kDigRecord)
        return 2;
    const u8* r = static_cast<const u8*>(lpData);
    if (!memchr(r, 0, 256) || !memchr(r + 256, 0, 128))
        return 2;
    if (!data.assign(reinterpret_cast<const char*>(r)))
        return 1;
    std::memcpy(lpszValue, r + 256, 128);
    return 0;
}

// Request 39: the digest of Data for this peer, as a reply.
int CQVClassPeer::ReqDigGen(u32 uIndex, const void* lpData, u32 uSize, u32 uParam)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 5;
    if (p->uFlags & QV_PEER_FLAG_NOGROUP)
        return 4;
    if (!lpData)
        return 2;
    QV_STRING data;
    char szValue[kDigValueMax + 1];
    int r = ReqDigRead(lpData, uSize, data, szValue);
    if (r)
        return r;
    char szDigest[128];
    if (!DigestGen(uIndex, data.c_str(), szDigest, sizeof(szDigest)))
        return 2;
    u32 uOk;
    if (m_uClassOption) {
        char sz[160];
        int n = snprintf(sz, sizeof(sz), "(Data){}(Value){%s}", szDigest);
        uOk = m_pProc->ObjReply(p->uObject, 0, sz, (u32)n, uParam, 1);
    } else {
        u8 aRec[kDigRecord];
        std::memset(aRec, 0, sizeof(aRec));
        std::memcpy(aRec + 256, szDigest, strlen(szDigest) + 1);
        uOk = m_pProc->ObjReply(p->uObject, 0, aRec, sizeof(aRec), uParam, 0);
    }
    return uOk ? -1 : 1;
}

// Request 40: 0 when Value is the digest the peer made of Data, 13 when not.
int CQVClassPeer::ReqDigVerify(u32 uIndex, const void* lpData, u32 uSize)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 5;
    if (p->uFlags & QV_PEER_FLAG_NOGROUP)
        return 4;
    if (!lpData)
        return 2;
    QV_STRING data;
    char szValue[kDigValueMax + 1];
    int r = ReqDigRead(lpData, uSize, data, szValue);
    if (r)
        return r;
    if (!szValue[0])
        return 2;
    return DigestVerify(uIndex, data.c_str(), szValue) ? 0 : 13;
}
