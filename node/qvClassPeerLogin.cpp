// Peer class: the node's session with its rendezvous server. Logs in under a user name with a
// self object of that name, keeps the login alive, notices a silent server, logs in again by
// itself with growing delays when automatic relogin is set, reports every result upward,
// handles the server's kick-out, and logs in agent identities through the same session.
// Everything runs on the node's dispatch thread under its lock, client side only.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include "qvClassPeer.h"
#include "qvLog.h"
#include "qvNode.h"
#include "qvSocket.h"
#include "qvUtilize.h"

namespace {

// Login status.
const u32 kStaIdle = 0;
const u32 kStaRequested = 1;   // the server object is being synced, the login goes on its answer
const u32 kStaSent = 2;        // the login message is out, its reply awaited
const u32 kStaLoggedIn = 3;
const u32 kStaDelay = 4;       // waiting to log in again
// Login mode.
const u32 kModeApi = 1;
const u32 kModeRelogin = 2;

// Result codes of the session (the reply's own codes pass through).
const u32 kErrFail = 1;
const u32 kErrParam = 2;
const u32 kErrNotAllowed = 4;
const u32 kErrNotServer = 5;
const u32 kErrNotReady = 6;
const u32 kErrSessionLost = 10;
const u32 kErrSendFailed = 11;
const u32 kErrTimeout = 12;
const u32 kErrRefused = 13;
const u32 kErrBusy = 14;
const u32 kErrNotAgent = 17;
const u32 kErrTableFull = 19;

// Extension requests raised upward.
const u32 kExtError = 1;
const u32 kExtAgentMessage = 45;
const u32 kExtRelogin = 46;
const u32 kExtKickOut = 47;

// Request methods.
const u32 kMethLogin = 32;
const u32 kMethAgentLogin = 43;

// Binary records of the requests (bytes).
const u32 kLoginRecord = 512;        // char User[128], Pass[128], Param[256]
const u32 kControlRecord = 260;      // u32 action, char Param[256]
const u32 kAgentLogoutRecord = 256;  // char User[128], ...
const u32 kAgentMsgRecord = 132;     // char Peer[128], then the data text
// Login message: the four strings together at most this many bytes.
const u32 kLoginStringsMax = 608;
// Login reply field limits (characters).
const u32 kSessMax = 127;
const u32 kParamMax = 255;
const u32 kReservedMax = 1279;
const u32 kVersionMax = 35;          // the result record's Version field is char[36]
// Result records upward (bytes).
const u32 kLoginResultSize = 428;
const u32 kReloginReportSize = 396;
const u32 kAgentResultSize = 260;
// A text report this long or longer is not sent (characters).
const u32 kTextReportMax = 1023;
// Agent messages: at most this many payload bytes; the record is grown in these steps.
const u32 kAgentMsgMax = 128 * 1024;
const u32 kAgentRecStep = 1024;
// The keep-alive must draw a packet within max(Expire / 2, this) seconds.
const u32 kReceiveLimitMin = 5;
// Peers still connecting this long (seconds) are dropped by the create check, every 4 s.
const u32 kCreateAge = 17;
// A login error this recent (seconds) does not reconnect the server socket at the next login.
const u32 kReconnectQuiet = 7;
// Peer traffic stays allowed this long (seconds) after the login was lost.
const u32 kTrafficGrace = 300;
// Without a login for this long (wall-clock seconds) the server entry is rebuilt.
const u32 kWatchdog = 899;

// A field of a binary record: NUL-terminated within its size.
u32 FieldOk(const void* p, u32 uSize)
{
    return std::memchr(p, 0, uSize) != nullptr;
}

// Pops a string of at most uMax characters at *lpuAt; null when missing or too long.
const char* PopStr(const u8* lpData, u32 uLen, u32* lpuAt, u32 uMax)
{
    if (*lpuAt > uLen)
        return nullptr;
    u32 uUsed = 0, uStrLen = 0;
    const char* s = qvStrPop(lpData + *lpuAt, uLen - *lpuAt, &uUsed, &uStrLen);
    if (!s || uStrLen > uMax)
        return nullptr;
    *lpuAt += uUsed;
    return s;
}

// Copies a field of a result record (NUL-terminated, cut to fit).
void PutField(u8* lpRec, u32 uAt, u32 uSize, const char* lpszText)
{
    u32 n = (u32)strnlen(lpszText, uSize - 1);
    std::memcpy(lpRec + uAt, lpszText, n);
    lpRec[uAt + n] = 0;
}

// Host-order u32 of a local binary record.
u32 RecU32(const void* p)
{
    u32 v;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Small helpers

u32 CQVClassPeer::WallSeconds() const
{
    return (u32)time(nullptr) + (u32)m_Login.iWallSkew;
}

// Error report (ext method 1) on an object: the method and the error.
void CQVClassPeer::HelperErrorReport(u32 uObject, u32 uMethod, u32 uError)
{
    if (m_uClassOption) {
        HelperSendText(uObject, kExtError, 0, 0, 0, 0, "(Meth){%u}(Error){%u}", uMethod, uError);
        return;
    }
    u32 r[2] = {uMethod, uError};
    m_pProc->ObjExtRequest(uObject, kExtError, r, sizeof(r), 0, 0, 0);
}

// Formats a text report and sends it as an extension request (uReply 0) or as the reply to a
// request (uReply 1); a text of kTextReportMax characters or more is not sent.
u32 CQVClassPeer::HelperSendText(u32 uObject, u32 uMethod, u32 uReply, u32 uError, u32 uParam, u32 uPeer,
                                 const char* lpszFormat, ...)
{
    char szText[kTextReportMax + 1];
    va_list ap;
    va_start(ap, lpszFormat);
    int n = vsnprintf(szText, sizeof(szText), lpszFormat, ap);
    va_end(ap);
    if (n < 0 || (u32)n >= kTextReportMax)
        return 0;
    if (uReply)
        return m_pProc->ObjReply(uObject, uError, szText, (u32)n, uParam, 1) ? 1 : 0;
    return m_pProc->ObjExtRequest(uObject, uMethod, szText, (u32)n, 0, uPeer, 1) ? 1 : 0;
}

// The server entry's address follows the transport's current server address.
u32 CQVClassPeer::HelperSvrPeerSetAddr()
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (!s)
        return 0;
    QV_ADDR_S cur;
    std::memset(&cur, 0, sizeof(cur));
    if (!m_pSocket->GetCurProxy(cur) || qvAddrIPVer(&cur) == QV_ADDR_VER_NONE)
        return 0;
    if (std::memcmp(cur.uAddr, s->addr.uAddr, sizeof(cur.uAddr)) == 0 && cur.uPort == s->addr.uPort)
        return 0;
    char szOld[QV_ADDR_STR_SIZE] = "";
    qvAddrToStr(&s->addr, szOld, sizeof(szOld));
    qvLogOut(3, "ClassPeer: HelperSvrPeerSetAddr, Old szAddr=%s", szOld);
    return HelperPeerSetAddr(m_uPrivSvr, cur, nullptr, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Requests

int CQVClassPeer::ReqLogin(u32 uIndex, const void* lpData, u32 uSize, u32 uParam)
{
    if (!lpData)
        return kErrParam;
    if (!EntryInUse(m_uPrivSvr))
        return kErrNotReady;
    if (uIndex != m_uPrivSvr)
        return kErrNotServer;
    char szUser[128], szPass[128], szParam[256];
    if (uSize == 0) {
        if (!m_pString->Assign(static_cast<const char*>(lpData)))
            return kErrFail;
        const char* u = m_pParser->GetContent(m_pString, "User");
        if (!u || !qvStrCopy(szUser, sizeof(szUser), u))
            return kErrParam;
        const char* p = m_pParser->GetContent(m_pString, "Pass");
        if (!p || !qvStrCopy(szPass, sizeof(szPass), p))
            return kErrParam;
        const char* x = m_pParser->GetContent(m_pString, "Param");
        if (!x || !qvStrCopy(szParam, sizeof(szParam), x))
            return kErrParam;
    } else if (uSize == kLoginRecord) {
        const u8* d = static_cast<const u8*>(lpData);
        if (!FieldOk(d, 128) || !FieldOk(d + 128, 128) || !FieldOk(d + 256, 256))
            return kErrParam;
        strcpy(szUser, reinterpret_cast<const char*>(d));
        strcpy(szPass, reinterpret_cast<const char*>(d + 128));
        strcpy(szParam, reinterpret_cast<const char*>(d + 256));
    } else {
        return kErrParam;
    }
    if (!szUser[0])
        return kErrParam;
    if (m_uLoginStatus == kStaDelay)
        HelperLoginStateReset();
    else if (m_uLoginStatus != kStaIdle)
        return kErrBusy;
    if (!m_Login.user.assign(szUser) || !m_Login.pass.assign(szPass) || !m_Login.param.assign(szParam))
        return kErrFail;
    m_Login.uCount = 0;
    m_Login.uTry = 0;
    int r = HelperLoginRequest(uIndex, uParam);
    if (r > 0)
        return r;
    if (!m_uLoginMode)
        m_uLoginMode = kModeApi;
    return -1;
}

int CQVClassPeer::ReqLogout(u32 uIndex)
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (!s)
        return kErrNotReady;
    if (uIndex != m_uPrivSvr)
        return kErrParam;
    if (m_uLoginStatus == kStaLoggedIn) {
        u8 aBuf[4] = {0, 0, 0, 0};
        SendPeerMsg(s->uObject, 0, QV_PMSG_LOGOUT, 0, aBuf, sizeof(aBuf), 0);
    }
    HelperLoginStateReset();
    m_uLoginMode = 0;
    return 0;
}

int CQVClassPeer::ReqControl(u32 uIndex, const void* lpData, u32 uSize)
{
    if (!lpData)
        return kErrParam;
    u32 uAction = 0;
    char szParam[256];
    if (uSize == 0) {
        if (!m_pString->Assign(static_cast<const char*>(lpData)))
            return kErrFail;
        const char* a = m_pParser->GetContent(m_pString, "Action");
        const char* x = m_pParser->GetContent(m_pString, "Param");
        if (!a || !x || !qvStrCopy(szParam, sizeof(szParam), x))
            return kErrParam;
        uAction = (u32)strtoul(a, nullptr, 10);
    } else if (uSize == kControlRecord) {
        const u8* d = static_cast<const u8*>(lpData);
        if (!FieldOk(d + 4, 256))
            return kErrParam;
        uAction = RecU32(d);
        strcpy(szParam, reinterpret_cast<const char*>(d + 4));
    } else {
        return kErrParam;
    }
    if (uAction != 0)
        return kErrParam;
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (!s || !m_uLoginMode || uIndex != m_uPrivSvr)
        return kErrNotReady;
    m_Login.uTry = 0;
    if (s->uSockID)
        m_pSocket->SetDropTimeout(s->uSockID, (u32)strtoul(szParam, nullptr, 10));
    if (m_uLoginStatus == kStaSent) {
        HelperLoginReRequest();
    } else if (m_uLoginStatus == kStaLoggedIn) {
        HelperSendActive();
    } else if (m_uLoginStatus == kStaDelay) {
        m_Login.uCountdown = 0;
        m_uLoginStatus = kStaIdle;
        HelperReloginStart();
    }
    return 0;
}

u32 CQVClassPeer::OptionReloginDelay(const char* lpszText)
{
    if (!lpszText || !m_pString->Assign(lpszText))
        return kErrParam;
    u32 uInterval = 10, uMax = 300;
    if (const char* i = m_pParser->GetContent(m_pString, "Interval"))
        uInterval = (u32)strtoul(i, nullptr, 10);
    if (const char* m = m_pParser->GetContent(m_pString, "Max"))
        uMax = (u32)strtoul(m, nullptr, 10);
    if (!uInterval || uMax < 30)
        return kErrParam;
    m_uReloginInterval = uInterval;
    m_uReloginMax = uMax;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// The login

void CQVClassPeer::HelperLoginStateReset()
{
    m_uLoginStatus = kStaIdle;
    m_Login.uCountdown = 0;
    m_Login.uCount = 0;
    m_Login.uTry = 0;
    m_Login.uType = 0;
    m_uPeerTraffic = 0;
    m_Login.uLostTime = 0;
    m_Login.user.clear();
    m_Login.pass.clear();
    m_Login.param.clear();
}

void CQVClassPeer::HelperLoginModeSwitch(u32 uErr)
{
    if (m_uNodeOption & 1)
        m_uLoginMode = kModeRelogin;
    else if (uErr)
        m_uLoginMode = 0;
}

int CQVClassPeer::HelperLoginRequest(u32 uIndex, u32 uParam)
{
    if (m_Login.user.empty())
        return kErrParam;
    // The self object carries the user name; one of another name goes.
    if (m_uSelf) {
        char szSelf[QV_PEER_NAME_MAX];
        if (!ObjName(m_uSelf, szSelf, sizeof(szSelf)) || !(m_Login.user == szSelf))
            m_pProc->ObjDelete(m_uSelf);
    }
    if (!m_uSelf) {
        if (u32 uOld = m_pProc->ObjGetID(m_Login.user.c_str()))
            m_pProc->ObjDelete(uOld);
        if (!HelperAddPeer(m_Login.user.c_str(), QV_PEER_FLAG_SELF) || !m_uSelf)
            return kErrFail;
    }
    PEER_S* s = EntryInUse(uIndex);
    if (!s)
        return kErrNotReady;
    u32 r = HelperSvrPeerSetAddr();
    if (r)
        return (int)r;
    m_uLoginStatus = kStaRequested;
    m_Login.uCountdown = m_uLoginTimeout;
    m_Login.uReqHandle = uParam;
    if (m_Login.uRecnnt && m_uTick - m_Login.uRecnnt > kReconnectQuiet) {
        if (s->uSockID)
            m_pSocket->Reconnect(s->uSockID);
        m_Login.uRecnnt = 0;
    }
    s->uSendMask &= ~QV_PEER_PEND_SELF;
    if (!s->uSendMask)
        m_PeerMask.Remove(s);
    if (!SendSyncReport(s->uObject, 0, 1))
        SendMaskAdd(uIndex, QV_PEER_PEND_SELF);
    qvLogOut(1, "ClassPeer: HelperLoginRequest, User=%s", m_Login.user.c_str());
    return -1;
}

void CQVClassPeer::HelperLoginSend(u32 uIndex)
{
    qvLogOut(2, "ClassPeer: HelperLoginSend, uPrivID=%u, uStatus=%u", uIndex, m_uLoginStatus);
    PEER_S* s = EntryInUse(uIndex);
    if (!m_uLoginMode || m_uLoginStatus != kStaRequested || !s || uIndex != m_uPrivSvr)
        return;
    // 32-byte header, then User, Pass (or its digest), Param and the client information. The
    // client information gives way when the four strings would pass their limit.
    char szDigest[64];
    const char* lpszPass = m_Login.pass.c_str();
    if (s->uFlags & QV_PEER_FLAG_DIGEST) {
        DigestGen(uIndex, m_Login.pass.c_str(), szDigest, sizeof(szDigest));
        lpszPass = szDigest;
    }
    u8 aBuf[32 + kLoginStringsMax + 16];
    std::memset(aBuf, 0, 32);
    qvSkWr32(aBuf, m_uSelf);
    qvSkWr32(aBuf + 4, s->uObject);
    qvSkWr16(aBuf + 8, m_Login.uCount);
    qvSkWr16(aBuf + 10, (m_uNodeOption & 0x80) ? 14 : 12);
    qvSkWr32(aBuf + 12, s->uCookieLcl);
    u32 uAt = 32;
    const u32 uEnd = 32 + kLoginStringsMax;
    u32 uOk = 1;
    for (const char* t : {m_Login.user.c_str(), lpszPass, m_Login.param.c_str()}) {
        u32 n = qvStrPush(aBuf + uAt, uEnd - uAt, t);
        if (!n) {
            uOk = 0;
            break;
        }
        uAt += n;
    }
    if (uOk) {
        // The room left holds 4 length bytes, the text, its NUL and padding.
        char szInfo[QV_PEER_NAME_MAX * 4];
        u32 uRoom = uEnd - uAt;
        u32 uText = m_ClientInfo.length();
        u32 uFit = uRoom >= 8 ? ((uRoom - 4) & ~3u) - 1 : 0;
        if (uText > uFit)
            uText = uFit;
        if (uText >= sizeof(szInfo))
            uText = sizeof(szInfo) - 1;
        // Never cut inside a UTF-8 sequence.
        while (uText && uText < m_ClientInfo.length() && ((u8)m_ClientInfo.c_str()[uText] & 0xC0) == 0x80)
            uText--;
        std::memcpy(szInfo, m_ClientInfo.c_str(), uText);
        szInfo[uText] = 0;
        u32 n = qvStrPush(aBuf + uAt, uEnd - uAt, szInfo);
        uOk = n != 0;
        uAt += n;
    }
    if (uOk && SendPeerMsg(s->uObject, 0, QV_PMSG_LOGIN, 0, aBuf, uAt, 0)) {
        m_uLoginStatus = kStaSent;
        m_Login.uCountdown = m_uLoginTimeout;
        return;
    }
    qvLogOut(0, "ClassPeer: SendLogin, send request failed, uPrivID=%u", uIndex);
    m_uLoginStatus = kStaIdle;
    m_Login.uCountdown = 0;
    if (m_uLoginMode == kModeApi) {
        u32 uReq = m_Login.uReqHandle;
        m_Login.uReqHandle = 0;
        m_Login.uCount = 0;
        HelperLoginModeSwitch(kErrSendFailed);
        m_pProc->ObjReply(s->uObject, kErrSendFailed, nullptr, 0, uReq, m_uClassOption);
    }
}

void CQVClassPeer::HelperLoginReRequest()
{
    if (!m_uLoginMode || m_uLoginStatus != kStaSent)
        return;
    m_uLoginStatus = kStaRequested;
    m_Login.uCountdown = m_uLoginTimeout;
}

void CQVClassPeer::HelperLoginRestart(u32 uReconnect)
{
    qvLogOut(1, "ClassPeer: HelperLoginRestart, uPrivID=%u, uIsRecnnt=%u", m_uPrivSvr, uReconnect);
    m_Login.uActiveTime = 0;
    m_Login.uActiveStamp = 0;
    if (m_uLoginStatus != kStaLoggedIn || !m_uLoginMode)
        return;
    m_Login.uRecnnt = uReconnect ? 1 : 0;
    if (m_uLoginMode == kModeRelogin) {
        m_uLoginStatus = kStaIdle;
        HelperReloginStart();
    } else if (PEER_S* s = EntryInUse(m_uPrivSvr)) {
        // The API's login stays in status 3 until the owner acts on the report.
        HelperErrorReport(s->uObject, kMethLogin, kErrSessionLost);
    }
}

void CQVClassPeer::HelperLoginTimeout()
{
    qvLogOut(1, "ClassPeer: HelperLoginTimeout, uPrivID=%u", m_uPrivSvr);
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (s) {
        s->uSendMask &= ~QV_PEER_PEND_SELF;
        if (!s->uSendMask)
            m_PeerMask.Remove(s);
        if (s->uSockID)
            m_pSocket->SendDropByObject(s->uSockID, 0, m_pProc->ObjGetObjIDByPeer(s->uObject, s->uObject));
    }
    m_Login.uCountdown = 0;
    m_Login.uRecnnt = 1;
    m_uLoginStatus = kStaIdle;
    if (m_uLoginMode == kModeRelogin) {
        HelperReloginReport(kErrTimeout, 0, 0, "", "");
        HelperReloginDelay();
    } else if (m_uLoginMode == kModeApi) {
        u32 uReq = m_Login.uReqHandle;
        m_Login.uReqHandle = 0;
        m_Login.uCount = 0;
        HelperLoginModeSwitch(kErrTimeout);
        if (s)
            m_pProc->ObjReply(s->uObject, kErrTimeout, nullptr, 0, uReq, m_uClassOption);
    }
    HelperSvrAddrReset();
}

void CQVClassPeer::HelperReloginDelay()
{
    if (m_uLoginMode != kModeRelogin || m_uLoginStatus != kStaIdle)
        return;
    u64 d = (u64)m_Login.uTry * m_uReloginInterval;
    u32 uDelay;
    if (d < m_uReloginMax) {
        m_Login.uTry++;
        uDelay = d ? (u32)d : 1;
    } else {
        uDelay = m_uReloginMax;
    }
    m_uLoginStatus = kStaDelay;
    m_Login.uCountdown = uDelay;
    qvLogOut(1, "ClassPeer: HelperReloginDelay, uReloginDelay=%u", uDelay);
}

int CQVClassPeer::HelperReloginStart()
{
    if (m_uLoginMode != kModeRelogin)
        return kErrNotReady;
    if (m_uLoginStatus != kStaIdle)
        return 0;
    int r = HelperLoginRequest(m_uPrivSvr, 0);
    if (r > 0)
        HelperReloginReport((u32)r, 0, 0, "", "");
    qvLogOut(1, "ClassPeer: HelperReloginStart, User=%s, iErr=%d", m_Login.user.c_str(), r);
    return r;
}

void CQVClassPeer::HelperReloginReport(u32 uErr, u32 uExpire, u32 uType, const char* lpszSess, const char* lpszParam)
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (!s)
        return;
    if (m_uClassOption) {
        IQVString* t = qvNewString(lpszSess);
        IQVString* u = qvNewString(lpszParam);
        if (t && u && m_pParser->Encode(t) && m_pParser->Encode(u))
            HelperSendText(s->uObject, kExtRelogin, 0, 0, 0, 0, "(ErrCode){%u}(Expire){%u}(Type){%u}(Sess){%s}(Param){%s}",
                           uErr, uExpire, uType, t->CStr(), u->CStr());
        if (t)
            t->Delete();
        if (u)
            u->Delete();
        return;
    }
    u8 aRec[kReloginReportSize];
    std::memset(aRec, 0, sizeof(aRec));
    std::memcpy(aRec, &uErr, 4);
    std::memcpy(aRec + 4, &uExpire, 4);
    std::memcpy(aRec + 8, &uType, 4);
    PutField(aRec, 12, 128, lpszSess);
    PutField(aRec, 140, 256, lpszParam);
    m_pProc->ObjExtRequest(s->uObject, kExtRelogin, aRec, sizeof(aRec), 0, 0, 0);
}

// ---------------------------------------------------------------------------------------------
// Notifications from the sync of the server object and of the self object

// The server entry's own object was synchronised (uSet) or lost its sync.
void CQVClassPeer::NotifyServerSync(u32 uSet)
{
    if (!uSet || m_uSide)
        return;
    if (m_uLoginStatus == kStaLoggedIn)
        HelperSendActive();
    else
        HelperLoginSend(m_uPrivSvr);
}

// The self object's sync toward the server changed.
void CQVClassPeer::NotifySelfSync(u32 uSet)
{
    if (!uSet)
        m_Login.uRecnnt = 1;
    HelperLoginReRequest();
}

// The server refused a message for lack of authority.
void CQVClassPeer::NotifyNoAuth()
{
    if (m_uLoginMode == kModeRelogin)
        HelperReloginStart();
    else if (m_uLoginMode == kModeApi)
        HelperLoginRestart(1);
}

// ---------------------------------------------------------------------------------------------
// The one-second login tick

u32 CQVClassPeer::HelperSendActive()
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (!s)
        return 0;
    u8 aBuf[16];
    std::memset(aBuf, 0, sizeof(aBuf));
    if (!SendPeerMsg(s->uObject, 0, QV_PMSG_ACTIVE, 0, aBuf, sizeof(aBuf), 0)) {
        qvLogOut(1, "ClassPeer: OnTimer, Send active failed");
        return 0;
    }
    // The oldest unanswered keep-alive is the one the silence is measured from: a newer one
    // must not push the limit on, else a server silent for good would never be noticed when
    // keep-alives go more often than the limit (Expire 3 s against a 5 s limit).
    u32 uStamp = m_pSocket->GetCurrentStamp();
    if (uStamp && !m_Login.uActiveTime) {
        m_Login.uActiveStamp = uStamp;
        m_Login.uActiveTime = m_uTick ? m_uTick : 1;
    }
    m_Login.uActiveAge = 0;
    return 1;
}

void CQVClassPeer::HelperCheckReceive()
{
    if (!m_Login.uActiveTime)
        return;
    u32 uLimit = m_uExpire / 2 > kReceiveLimitMin ? m_uExpire / 2 : kReceiveLimitMin;
    if (m_uTick - m_Login.uActiveTime < uLimit) {
        PEER_S* s = EntryInUse(m_uPrivSvr);
        u32 uStamp = s && s->uSockID ? m_pSocket->GetPeerRecvStamp(s->uSockID) : 0;
        if (uStamp && (s32)(uStamp - m_Login.uActiveStamp) >= 0) {
            m_Login.uActiveTime = 0;
            m_Login.uActiveStamp = 0;
        }
        return;
    }
    qvLogOut(2, "ClassPeer: HelperCheckReceive, Check receive timeout");
    HelperLoginRestart(1);
}

void CQVClassPeer::HelperCheckCreate()
{
    if (m_uTick % 4)
        return;
    // One deletion at a time: deleting a peer may delete others (its dependents).
    for (u32 uGuard = 0; uGuard < m_uPeerMax; uGuard++) {
        PEER_S* v = nullptr;
        for (PEER_S* p = m_PeerCreate.Head(); p && !v; p = PEER_CREATE_LIST::Next(p))
            if (IndexOf(p) != m_uPrivSvr && !(p->uFlags & (QV_PEER_FLAG_SERVER | QV_PEER_FLAG_STATIC)) &&
                m_uTick - p->uActive > kCreateAge)
                v = p;
        if (!v)
            return;
        char szName[QV_PEER_NAME_MAX];
        ObjName(v->uObject, szName, sizeof(szName));
        qvLogOut(2, "ClassPeer: HelperCheckCreate, Delete in create status. Peer=%s", szName);
        u32 uObject = v->uObject;
        m_pProc->ObjDelete(uObject);
        if (v->uStatus && v->uObject == uObject)
            return;   // not deleted: nothing more to gain this tick
    }
}

void CQVClassPeer::HelperLoginSvrPeerCheck()
{
    if (m_uLoginStatus == kStaLoggedIn) {
        m_Login.uWasLoggedIn = 1;
        return;
    }
    u32 uNow = WallSeconds();
    if (m_Login.uWasLoggedIn) {
        m_Login.uWasLoggedIn = 0;
        m_Login.uIdleSince = uNow;
        qvLogOut(1, "ClassPeer: HelperLoginSvrPeerCheck, switch to logout status");
    }
    if (!m_Login.uIdleSince || (s32)(m_Login.uIdleSince - uNow) > 0)
        m_Login.uIdleSince = uNow;
    if (uNow - m_Login.uIdleSince <= kWatchdog)
        return;
    // No login for a quarter of an hour: the server entry starts afresh from its address text.
    if (PEER_S* s = EntryInUse(m_uPrivSvr)) {
        HelperReset(s);
        RecvBacklogClean(m_uPrivSvr);
        SendBacklogClean(m_uPrivSvr);
        if (m_szSvrAddr[0])
            HelperAddrSetting(m_uPrivSvr, m_szSvrAddr, "", "");
    }
    m_uLoginStatus = kStaIdle;
    m_Login.uCountdown = 0;
    m_Login.uCount = 0;
    m_Login.uRecnnt = 1;
    int r = HelperLoginRequest(m_uPrivSvr, m_Login.uReqHandle);
    qvLogOut(1, "ClassPeer: HelperLoginSvrPeerCheck, HelperLoginRequest, iErr=%d", r);
    m_Login.uIdleSince = uNow;
}

void CQVClassPeer::LoginTimer()
{
    if (!m_uLoginMode || m_uSide)
        return;
    HelperLoginSvrPeerCheck();
    switch (m_uLoginStatus) {
    case kStaIdle:
        HelperReloginDelay();
        break;
    case kStaRequested:
    case kStaSent:
        if (m_Login.uCountdown) {
            if (PEER_S* s = EntryInUse(m_uPrivSvr))
                if (!SendSyncReport(s->uObject, 0, 1))
                    SendMaskAdd(m_uPrivSvr, QV_PEER_PEND_SELF);
            m_Login.uCountdown--;
        }
        if (!m_Login.uCountdown)
            HelperLoginTimeout();
        break;
    case kStaLoggedIn:
        if (++m_Login.uActiveAge >= m_uExpire)
            HelperSendActive();
        HelperCheckReceive();
        if (m_uLoginStatus == kStaLoggedIn)
            HelperCheckCreate();
        break;
    case kStaDelay:
        if (!m_Login.uCountdown || !--m_Login.uCountdown) {
            m_uLoginStatus = kStaIdle;
            HelperReloginStart();
        }
        break;
    default:
        if (m_uLoginMode == kModeRelogin)
            m_uLoginStatus = kStaIdle;
        break;
    }
    // Peers stay reachable for a while after the login was lost.
    if (m_uPeerTraffic && m_uLoginStatus != kStaLoggedIn) {
        if (!m_Login.uLostTime)
            m_Login.uLostTime = m_uTick ? m_uTick : 1;
        else if (m_uTick - m_Login.uLostTime >= kTrafficGrace)
            m_uPeerTraffic = 0;
    }
}

// ---------------------------------------------------------------------------------------------
// Messages from the server

void CQVClassPeer::RecvLoginReply(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen)
{
    PEER_S* s = EntryInUse(uIndex);
    if (!s || uIndex != m_uPrivSvr || m_uSide) {
        m_Stat.uNotAdmitted++;
        return;
    }
    const u8* d = m_pRecvBuf;
    u32 uErr = 0, uExpire = 0, uType = 0;
    char szSess[kSessMax + 1] = "", szParam[512] = "", szVersion[kVersionMax + 1] = "";
    if (buf.uFlag & 1) {
        // An error reply names its error; one that says 0 is still a refusal, never a success.
        uErr = qvSkRd32(d);
        if (!uErr)
            uErr = kErrRefused;
    } else {
        if (uLen < 21) {
            m_Stat.uShort++;
            return;
        }
        uExpire = qvSkRd16(d);
        uType = qvSkRd32(d + 4);
        u32 uAt = 16;
        const char* lpszSess = PopStr(d, uLen, &uAt, kSessMax);
        const char* lpszParam = lpszSess ? PopStr(d, uLen, &uAt, kParamMax) : nullptr;
        const char* lpszRes = lpszParam ? PopStr(d, uLen, &uAt, kReservedMax) : nullptr;
        if (!lpszRes) {
            m_Stat.uMalformed++;
            return;
        }
        strcpy(szSess, lpszSess);
        strcpy(szParam, lpszParam);
        if (uAt < uLen) {
            u32 uUsed = 0, uVerLen = 0;
            const char* v = qvStrPop(d + uAt, uLen - uAt, &uUsed, &uVerLen);
            if (!v || uVerLen > kVersionMax) {
                // A Version the result cannot carry: the reply is malformed, but the login
                // still gets its answer (a failure) instead of waiting for its time-out.
                m_Stat.uMalformed++;
                uErr = kErrFail;
            } else {
                strcpy(szVersion, v);
            }
        }
    }
    qvLogOut(1, "ClassPeer: RecvLoginReply, uErr=%d", (int)uErr);
    if (!m_uLoginMode)
        qvLogOut(1, "ClassPeer: RecvLoginReply, login mode is null");
    u32 uReq = m_Login.uReqHandle;
    m_Login.uReqHandle = 0;
    if (uErr) {
        m_Login.uType = 0;
        m_Login.uCount = 0;
        m_Login.uRecnnt = m_uTick ? m_uTick : 1;
        m_uLoginStatus = kStaIdle;
        m_Login.uCountdown = 0;
    } else {
        m_uExpire = uExpire ? uExpire : 3;
        m_Login.uType = uType;
        m_uPeerTraffic = 1;
        m_Login.uLostTime = 0;
        QV_ADDR_S pub;
        std::memset(&pub, 0, sizeof(pub));
        if (m_pSocket->GetAddr(&pub, 2) && qvAddrIPVer(&pub) != QV_ADDR_VER_NONE) {
            if (std::memcmp(pub.uAddr, m_Login.lastPublic.uAddr, sizeof(pub.uAddr)) != 0 ||
                pub.uPort != m_Login.lastPublic.uPort)
                m_pProc->ObjDisp(s->uObject, QV_PEER_DISP_RECONNECT);
            m_Login.lastPublic = pub;
        }
        m_Login.uTry = 0;
        m_Login.uRecnnt = 0;
        m_Login.uCount++;
        m_uLoginStatus = kStaLoggedIn;
        m_Login.uCountdown = 0;
        m_Login.uActiveAge = 0;
        m_Login.uActiveTime = 0;
        m_Login.uActiveStamp = 0;
        m_pProc->ObjDisp(s->uObject, QV_PEER_DISP_LOGINDONE);
        if (m_pSocket->AddrNat64Enable())
            HelperRedirectNat64(szParam, sizeof(szParam));
        if (szVersion[0])
            qvLogOut(1, "ClassPeer: RecvLoginReply, szVersion=%s", szVersion);
    }
    if (m_uLoginMode == kModeRelogin) {
        HelperReloginReport(uErr, uErr ? 0 : m_uExpire, uErr ? 0 : uType, uErr ? "" : szSess, uErr ? "" : szParam);
    } else if (m_uLoginMode == kModeApi) {
        HelperLoginModeSwitch(uErr);
        if (uErr) {
            m_pProc->ObjReply(s->uObject, uErr, nullptr, 0, uReq, m_uClassOption);
        } else if (m_uClassOption) {
            IQVString* t = qvNewString(szSess);
            IQVString* u = qvNewString(szParam);
            IQVString* v = qvNewString(szVersion);
            if (t && u && v && m_pParser->Encode(t) && m_pParser->Encode(u) && m_pParser->Encode(v))
                HelperSendText(s->uObject, 0, 1, 0, uReq, 0, "(Expire){%u}(Type){%u}(Sess){%s}(Param){%s}(Version){%s}",
                               m_uExpire, uType, t->CStr(), u->CStr(), v->CStr());
            for (IQVString* x : {t, u, v})
                if (x)
                    x->Delete();
        } else {
            u8 aRec[kLoginResultSize];
            std::memset(aRec, 0, sizeof(aRec));
            u32 uExp = m_uExpire;
            std::memcpy(aRec, &uExp, 4);
            std::memcpy(aRec + 4, &uType, 4);
            PutField(aRec, 8, 128, szSess);
            PutField(aRec, 136, 256, szParam);
            PutField(aRec, 392, 36, szVersion);
            m_pProc->ObjReply(s->uObject, 0, aRec, sizeof(aRec), uReq, 0);
        }
    }
}

void CQVClassPeer::RecvKickOut(u32 uIndex, const tagQV_SK_BUF_S&, u32 uLen)
{
    if (uIndex != m_uPrivSvr || m_uSide) {
        m_Stat.uNotAdmitted++;
        return;
    }
    const u8* d = m_pRecvBuf;
    u32 uParam = qvSkRd32(d);
    QV_ADDR_S now;
    std::memset(&now, 0, sizeof(now));
    if (uLen >= 24) {
        std::memcpy(now.uAddr, d + 4, 16);
        now.uPort = (u16)qvSkRd16(d + 20);
        now.uExtra = (u16)qvSkRd16(d + 22);
        if (m_pSocket->CheckDrivAddr(&now)) {
            char szAddr[QV_ADDR_STR_SIZE] = "";
            qvAddrToStr(&now, szAddr, sizeof(szAddr));
            qvLogOut(3, "ClassPeer: RecvKickOut: ignore, sAddrNow=%s", szAddr);
            return;
        }
    }
    m_Login.uCount = 0;
    if (!m_uSelf)
        return;
    PEER_S* s = EntryInUse(m_uPrivSvr);
    u32 uSvrObj = s ? s->uObject : 0;
    if (m_uClassOption) {
        char szAddr[QV_ADDR_STR_SIZE] = "";
        if (qvAddrIPVer(&now) != QV_ADDR_VER_NONE)
            qvAddrToReadable(&now, szAddr, sizeof(szAddr));
        HelperSendText(m_uSelf, kExtKickOut, 0, 0, 0, uSvrObj, "(Param){%u}(AddrNow){%s}", uParam, szAddr);
        return;
    }
    u8 aRec[4 + sizeof(QV_ADDR_S)];
    std::memcpy(aRec, &uParam, 4);
    std::memcpy(aRec + 4, &now, sizeof(now));
    m_pProc->ObjExtRequest(m_uSelf, kExtKickOut, aRec, sizeof(aRec), 0, uSvrObj, 0);
}

// ---------------------------------------------------------------------------------------------
// Agent logins: further names served through the same server session

int CQVClassPeer::ReqAgentLogin(u32 uIndex, const void* lpData, u32 uSize, u32 uParam)
{
    if (!lpData)
        return kErrParam;
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (!s)
        return kErrNotReady;
    if (uIndex != m_uPrivSvr)
        return kErrNotServer;
    char szUser[128], szPass[128], szParam[256];
    if (uSize == 0) {
        if (!m_pString->Assign(static_cast<const char*>(lpData)))
            return kErrFail;
        const char* u = m_pParser->GetContent(m_pString, "User");
        const char* p = m_pParser->GetContent(m_pString, "Pass");
        const char* x = m_pParser->GetContent(m_pString, "Param");
        if (!u || !p || !x || !qvStrCopy(szUser, sizeof(szUser), u) || !qvStrCopy(szPass, sizeof(szPass), p) ||
            !qvStrCopy(szParam, sizeof(szParam), x))
            return kErrParam;
    } else if (uSize == kLoginRecord) {
        const u8* d = static_cast<const u8*>(lpData);
        if (!FieldOk(d, 128) || !FieldOk(d + 128, 128) || !FieldOk(d + 256, 256))
            return kErrParam;
        strcpy(szUser, reinterpret_cast<const char*>(d));
        strcpy(szPass, reinterpret_cast<const char*>(d + 128));
        strcpy(szParam, reinterpret_cast<const char*>(d + 256));
    } else {
        return kErrParam;
    }
    if (!szUser[0])
        return kErrParam;
    u32 uObject = m_pProc->ObjGetID(szUser);
    u32 uAgent = EntryOfObject(uObject);
    if (uObject && uAgent != 0xFFFFFFFF && !(Entry(uAgent)->uFlags & QV_PEER_FLAG_AGENT))
        return kErrNotAgent;
    if (!uObject || uAgent == 0xFFFFFFFF) {
        uObject = HelperAddPeer(szUser, QV_PEER_FLAG_AGENT);
        if (EntryOfObject(uObject) == 0xFFFFFFFF)
            return kErrTableFull;
    }
    if (!m_pProc->ObjSetObjIDModePart(uObject)) {
        m_pProc->ObjDelete(uObject);
        return kErrFail;
    }
    u32 uWaiter = m_pProc->WaiterAlloc(uObject, m_uLoginTimeout, 5, uParam);
    if (!uWaiter) {
        m_pProc->ObjDelete(uObject);
        return kErrFail;
    }
    char szDigest[64];
    const char* lpszPass = szPass;
    s = EntryInUse(m_uPrivSvr);
    if (s && (s->uFlags & QV_PEER_FLAG_DIGEST)) {
        DigestGen(m_uPrivSvr, szPass, szDigest, sizeof(szDigest));
        lpszPass = szDigest;
    }
    u8 aBuf[16 + 132 + 132 + 260];
    std::memset(aBuf, 0, 16);
    u32 uAt = 16;
    u32 uOk = s != nullptr;
    for (const char* t : {(const char*)szUser, lpszPass, (const char*)szParam}) {
        u32 n = uOk ? qvStrPush(aBuf + uAt, sizeof(aBuf) - uAt, t) : 0;
        uOk = n != 0;
        uAt += n;
    }
    if (!uOk || !SendPeerMsg(s->uObject, 0, QV_PMSG_AGENT_LOGIN, 0, aBuf, uAt, uWaiter)) {
        m_pProc->WaiterFinish(uWaiter, nullptr, nullptr);
        m_pProc->ObjDelete(uObject);
        return kErrBusy;
    }
    qvLogOut(3, "ClassPeer: ReqAgentLogin, User=%s", szUser);
    return -1;
}

int CQVClassPeer::ReqAgentLogout(u32 uIndex, const void* lpData, u32 uSize)
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (!s)
        return kErrNotReady;
    if (uIndex != m_uPrivSvr || !lpData)
        return kErrParam;
    char szUser[128];
    if (uSize == 0) {
        if (!m_pString->Assign(static_cast<const char*>(lpData)))
            return kErrFail;
        const char* u = m_pParser->GetContent(m_pString, "User");
        if (!u || !qvStrCopy(szUser, sizeof(szUser), u))
            return kErrParam;
    } else if (uSize == kAgentLogoutRecord) {
        if (!FieldOk(lpData, 128))
            return kErrParam;
        strcpy(szUser, static_cast<const char*>(lpData));
    } else {
        return kErrParam;
    }
    if (!szUser[0])
        return kErrParam;
    u32 uObject = m_pProc->ObjGetID(szUser);
    if (!uObject)
        return 0;
    u8 aBuf[16 + 132];
    std::memset(aBuf, 0, 16);
    u32 n = qvStrPush(aBuf + 16, sizeof(aBuf) - 16, szUser);
    u32 uSent = n && SendPeerMsg(s->uObject, 0, QV_PMSG_AGENT_LOGOUT, 0, aBuf, 16 + n, 0);
    m_pProc->ObjDelete(uObject);
    return uSent ? 0 : kErrBusy;
}

int CQVClassPeer::ReqAgentMessage(u32 uIndex, const void* lpData, u32 uSize)
{
    if (!lpData)
        return kErrParam;
    PEER_S* p = EntryInUse(uIndex);
    if (!p || !(p->uFlags & QV_PEER_FLAG_NOGROUP))
        return kErrNotAllowed;
    char szPeer[128];
    const char* lpszData = nullptr;
    QV_STRING data;
    if (uSize == 0) {
        if (!m_pString->Assign(static_cast<const char*>(lpData)))
            return kErrFail;
        const char* x = m_pParser->GetContent(m_pString, "Peer");
        const char* y = m_pParser->GetContent(m_pString, "Data");
        if (!x || !y || !qvStrCopy(szPeer, sizeof(szPeer), x) || !data.assign(y))
            return kErrParam;
        lpszData = data.c_str();
    } else if (uSize == kAgentMsgRecord) {
        // The record leaves 4 bytes for the data text after the name.
        const u8* d = static_cast<const u8*>(lpData);
        if (!FieldOk(d, 128) || !FieldOk(d + 128, 4))
            return kErrParam;
        strcpy(szPeer, reinterpret_cast<const char*>(d));
        lpszData = reinterpret_cast<const char*>(d + 128);
    } else {
        return kErrParam;
    }
    u32 uTarget = (p->uFlags & QV_PEER_FLAG_AGENT) ? m_pProc->ObjGetID(szPeer) : p->uAgentObj;
    u32 uTargetIndex = EntryOfObject(uTarget);
    PEER_S* t = EntryInUse(uTargetIndex);
    if (!t)
        return kErrParam;
    u32 uKnown = 1;
    if (m_pProc->ObjGetSync(p->uObject, uTarget, &uKnown) && !uKnown && t->uStatus == QV_PEER_STA_SYNC)
        SendSyncReport(p->uObject, uTarget, 1);
    char szName[QV_PEER_NAME_MAX];
    ObjName(p->uObject, szName, sizeof(szName));
    u32 uDataLen = (u32)strlen(lpszData);
    u32 uNeed = 4 + ((u32)strlen(szName) + 4) + 4 + uDataLen + 4;
    if (uNeed > kAgentMsgMax)
        return kErrParam;
    std::vector<u8> msg(uNeed);
    u32 a = qvStrPush(msg.data(), uNeed, szName);
    u32 b = a ? qvStrPush(msg.data() + a, uNeed - a, lpszData) : 0;
    if (!b)
        return kErrParam;
    u32 uUnit = m_pProc->MCastAlloc(p->uObject, QV_PMSG_AGENT_MESSAGE, 0, &uTarget, 1, 0, 3, 0);
    if (!uUnit) {
        qvLogOut(1, "ClassPeer: ReqAgentMessage, MCast alloc failed");
        return kErrBusy;
    }
    if (m_pProc->MCastSend(uUnit, 0, msg.data(), a + b, 0, 0) != 0) {
        QV_MCAST_RES_S res;
        std::memset(&res, 0, sizeof(res));
        u32 uCount = 1;
        m_pProc->MCastGetRes(uUnit, &uTarget, &res, &uCount, 0);
        m_pProc->MCastFree(uUnit);
        qvLogOut(1, "ClassPeer: ReqAgentMessage, Send failed. Peer=%s, SocketErr=%d", szPeer, res.iResult);
        return kErrBusy;
    }
    m_pProc->MCastFree(uUnit);
    return 0;
}

void CQVClassPeer::RecvAgentLoginReply(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen)
{
    PEER_S* s = EntryInUse(m_uPrivSvr);
    if (!s || uIndex != m_uPrivSvr || m_uSide) {
        m_Stat.uNotAdmitted++;
        return;
    }
    // The parameter names a waiter: only an agent login's waiter of an agent entry is taken,
    // never another kind that the number happens to name.
    u32 uWaiter = buf.uHandle2, uObject = 0, uType = 0xFFFFFFFF, uReq = 0;
    for (PEER_S* p = m_PeerUsed.Head(); p && !uObject; p = PEER_LIST::Next(p)) {
        if (!(p->uFlags & QV_PEER_FLAG_AGENT))
            continue;
        for (u32 w = m_pProc->WaiterEnum(0, p->uObject, &uType, &uReq); w;
             w = m_pProc->WaiterEnum(w, p->uObject, &uType, &uReq))
            if (w == uWaiter && uType == 5) {
                uObject = p->uObject;
                break;
            }
    }
    if (!uObject || !m_pProc->WaiterFinish(uWaiter, &uType, &uReq)) {
        m_Stat.uMalformed++;
        return;
    }
    u32 uAgent = EntryOfObject(uObject);
    u32 uErr = 0;
    char szParam[kParamMax + 1] = "";
    if (buf.uFlag & 1) {
        uErr = qvSkRd32(m_pRecvBuf);
        if (!uErr)
            uErr = kErrRefused;
    } else {
        u32 uAt = 16;
        const char* x = uLen >= 21 ? PopStr(m_pRecvBuf, uLen, &uAt, kParamMax) : nullptr;
        if (!x)
            uErr = kErrFail;
        else
            strcpy(szParam, x);
    }
    qvLogOut(3, "ClassPeer: RecvAgentLoginReply, uErr=%d", (int)uErr);
    PEER_S* a = EntryInUse(uAgent);
    if (!a && !uErr)
        uErr = kErrFail;
    if (uErr) {
        if (a)
            m_pProc->ObjDelete(uObject);
        m_pProc->ObjReply(s->uObject, uErr, nullptr, 0, uReq, m_uClassOption);
        return;
    }
    HelperSetStatus(a, QV_PEER_STA_SYNC);
    a->uActive = m_uTick;
    if (m_uClassOption) {
        if (m_pString->Assign(szParam) && m_pParser->Encode(m_pString))
            HelperSendText(s->uObject, 0, 1, 0, uReq, 0, "(Param){%s}", m_pString->CStr());
        return;
    }
    u8 aRec[kAgentResultSize];
    std::memset(aRec, 0, sizeof(aRec));
    PutField(aRec, 4, 256, szParam);
    m_pProc->ObjReply(s->uObject, 0, aRec, sizeof(aRec), uReq, 0);
}

void CQVClassPeer::RecvAgentMessage(u32 uIndex, const tagQV_SK_BUF_S& buf, u32 uLen)
{
    PEER_S* from = EntryInUse(uIndex);
    if (!from)
        return;
    u32 uAt = 0;
    const char* lpszPeer = PopStr(m_pRecvBuf, uLen, &uAt, 127);
    u32 uDataAt = uAt;
    u32 uUsed = 0, uDataLen = 0;
    const char* lpszData =
        lpszPeer && uAt <= uLen ? qvStrPop(m_pRecvBuf + uAt, uLen - uAt, &uUsed, &uDataLen) : nullptr;
    if (!lpszPeer || !lpszData) {
        m_Stat.uMalformed++;
        return;
    }
    (void)uDataAt;
    char szPeer[128];
    strcpy(szPeer, lpszPeer);
    u32 uObject = m_pProc->ObjGetID(szPeer);
    u32 uTarget = EntryOfObject(uObject);
    PEER_S* t = EntryInUse(uTarget);
    if (!t) {
        m_Stat.uMalformed++;
        return;
    }
    t->uActive = m_uTick;
    // The record is built before anything is sent: a send may receive into the buffer again.
    std::vector<u8> rec;
    if (m_uClassOption) {
        IQVString* a = qvNewString(szPeer);
        IQVString* b = qvNewString(lpszData);
        if (a && b && m_pParser->Encode(a) && m_pParser->Encode(b)) {
            static const char kHead[] = "(Peer){";
            static const char kMid[] = "}(Data){";
            u32 n = (u32)(sizeof(kHead) - 1 + strlen(a->CStr()) + sizeof(kMid) - 1 + strlen(b->CStr()) + 1);
            rec.reserve((n / kAgentRecStep + 1) * kAgentRecStep);
            rec.insert(rec.end(), kHead, kHead + sizeof(kHead) - 1);
            rec.insert(rec.end(), a->CStr(), a->CStr() + strlen(a->CStr()));
            rec.insert(rec.end(), kMid, kMid + sizeof(kMid) - 1);
            rec.insert(rec.end(), b->CStr(), b->CStr() + strlen(b->CStr()));
            rec.push_back('}');
        }
        if (a)
            a->Delete();
        if (b)
            b->Delete();
        if (rec.empty())
            return;
    } else {
        rec.reserve(((128 + uDataLen + 1) / kAgentRecStep + 1) * kAgentRecStep);
        rec.assign(128, 0);
        std::memcpy(rec.data(), szPeer, strlen(szPeer));
        rec.insert(rec.end(), lpszData, lpszData + uDataLen + 1);
    }
    if (t->uFlags & QV_PEER_FLAG_AGENT) {
        u32 uKnown = 1;
        if (m_pProc->ObjGetSync(uObject, from->uObject, &uKnown) && !uKnown)
            SendSyncReport(uObject, from->uObject, 1);
    }
    m_pProc->ObjExtRequest(uObject, kExtAgentMessage, rec.data(), (u32)rec.size(), 0, buf.uObject, m_uClassOption);
}
