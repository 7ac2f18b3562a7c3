// Configuration, start and stop of the socket layer.
#include "qvLog.h"

#include "qvSocket.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>

namespace {

// Block payload size bounds, bytes.
const u32 kMDUDefault = 1024;
const u32 kMDUMax = 1280;
// Give-up limits of the try counters, in 50 ms timer passes: 18 s on the client side, 6 s
// on the server side.
const u32 kGiveUpClient = 360;
const u32 kGiveUpServer = 120;

} // namespace

CQVSocket::CQVSocket()
    : m_pOwner(0), m_pLower(0), m_pLowerOwn(0), m_lpContext(0), m_uSendQueMax(16), m_uInitWndMax(1),
      m_uMDU(kMDUDefault), m_uMainSpeed(0), m_uInitPend(0), m_uTimerHandle(0), m_uTick(0), m_uStamp(0),
      m_uSecond(0), m_uPassCount(0), m_uInit(0), m_uDispStarted(0), m_uSide(0), m_uBatch(0),
      m_uDispMask(0), m_uCheck(0), m_uSendPendCount(0), m_uPaced(0), m_pSocks(0), m_uSockCount(0),
      m_pNews(0), m_uNewCount(0), m_pBatch(0), m_pPassIn(0), m_pRecvPlain(0), m_uRecvPlainKey(0), m_uPassIn(0), m_uPassSeen(0), m_uPassData(0), m_pEncBuf(0), m_apEncAhead(),
      m_uEncAheadKey(0), m_pCmpBuf(0)
{
    m_uGiveUp[0] = kGiveUpClient;
    m_uGiveUp[1] = kGiveUpServer;
    std::memset(&m_Cfg, 0, sizeof(m_Cfg));
    m_Cfg.uTableSize = 32;
    for (u32 i = 0; i < PRIO_NUM; i++) {
        m_Cfg.uSendQue[i] = 16;
        m_Cfg.uRecvQue[i] = 16;
        m_Cfg.uInitWnd[i] = 1;
    }
    m_szName[0] = 0;
    for (u32 i = 0; i < 8; i++) m_pNewHash[i] = 0;
    for (PASS_KEY_S* k : {&m_aPassKey[0], &m_aPassKey[1], &m_aBatchKey[0], &m_aBatchKey[1]}) {
        k->uHandle = 0;
        std::memset(k->aKey, 0, sizeof(k->aKey));
    }
    m_Stat.uShort = m_Stat.uBadLen = m_Stat.uBadRange = m_Stat.uBadPad = m_Stat.uTooLong = m_Stat.uNoKey = m_Stat.uRefused = 0;
    m_Timer.m_pSocket = this;
    m_Disp.m_pSocket = this;
    m_Disp.SetTag("qvSocketDisp");
    m_pLowerOwn = qvSocketLowerNew(this);
    m_pLower = m_pLowerOwn;
}

CQVSocket::~CQVSocket()
{
    delete m_pLowerOwn;
    delete[] m_pPassIn;
}

void CQVSocket::Attach(IQVSocketOwner* pOwner)
{
    m_pOwner = pOwner;
}

void CQVSocket::SetLower(IQVSocketLower* pLower)
{
    if (!m_uInit) m_pLower = pLower ? pLower : m_pLowerOwn;
}

void CQVSocket::SetConfig(const CFG_S& cfg)
{
    if (cfg.uTableSize) m_Cfg.uTableSize = cfg.uTableSize;
    m_Cfg.uSide = cfg.uSide ? 1 : 0;
    for (u32 i = 0; i < PRIO_NUM; i++) {
        if (cfg.uSendQue[i]) m_Cfg.uSendQue[i] = cfg.uSendQue[i];
        if (cfg.uRecvQue[i]) m_Cfg.uRecvQue[i] = cfg.uRecvQue[i];
        if (cfg.uInitWnd[i]) m_Cfg.uInitWnd[i] = cfg.uInitWnd[i];
    }
    m_Cfg.uProcValue[0] = cfg.uProcValue[0];
    m_Cfg.uNodeOption = cfg.uNodeOption;
    m_Cfg.uProcWord = cfg.uProcWord;
    m_uSendQueMax = 0;
    m_uInitWndMax = 0;
    for (u32 i = 0; i < PRIO_NUM; i++) {
        if (m_Cfg.uSendQue[i] > m_uSendQueMax) m_uSendQueMax = m_Cfg.uSendQue[i];
        if (m_Cfg.uInitWnd[i] > m_uInitWndMax) m_uInitWndMax = m_Cfg.uInitWnd[i];
    }
}

void CQVSocket::GetConfig(CFG_S& cfg) const
{
    cfg = m_Cfg;
}

void CQVSocket::BuildProcCfg(u32* lpCfg) const
{
    std::memset(lpCfg, 0, 11 * sizeof(u32));
    lpCfg[0] = m_Cfg.uProcValue[0];
    lpCfg[6] = m_Cfg.uSide;
    lpCfg[7] = m_Cfg.uTableSize;
    u32 uSum = 0;
    for (u32 i = 0; i < PRIO_NUM; i++) uSum += m_Cfg.uSendQue[i];
    if (m_Cfg.uTableSize > 1024) uSum *= m_Cfg.uTableSize / 1024;
    lpCfg[8] = uSum;
    lpCfg[9] = m_Cfg.uNodeOption;
    lpCfg[10] = m_Cfg.uProcWord;
}

u32 CQVSocket::Initialize(void* lpContext)
{
    if (m_uInit) return 0;
    m_lpContext = lpContext;
    const char* lpszFail = 0;
    {
        SectDisp lk(this);
        m_uSide = m_Cfg.uSide ? 1 : 0;
        m_uBatch = (m_Cfg.uNodeOption & 0x100) ? 1 : 0;
        u32 uTable = m_Cfg.uTableSize;
        do {
            m_pEncBuf = new (std::nothrow) u8[(QV_AES_MANY_MAX + 1) * QV_SKP_MAX_DGRAM];
            SendEncForget();
            if (!m_pEncBuf) {
                lpszFail = "Socket: Initialize, Alloc encrypt buffer failed";
                break;
            }
            m_pCmpBuf = new (std::nothrow) u8[QV_SKP_MAX_DGRAM];
            if (!m_pCmpBuf) {
                lpszFail = "Socket: Initialize, Alloc compress buffer failed";
                break;
            }
            u32 uEvents = uTable / 2 > 64 ? uTable / 2 : 64;
            u32 uOk = 1;
            for (u32 i = 0; i < uEvents && uOk; i++) {
                EVENT_S* e = new (std::nothrow) EVENT_S;
                if (e) m_EventFree.PushTail(e); else uOk = 0;
            }
            if (!uOk) {
                lpszFail = "Socket: Initialize, prepare event queue failed";
                break;
            }
            u32 uReports = uTable / 4 > 32 ? uTable / 4 : 32;
            for (u32 i = 0; i < uReports && uOk; i++) {
                REPORT_S* r = new (std::nothrow) REPORT_S;
                if (r) m_ReportFree.PushTail(r); else uOk = 0;
            }
            if (!uOk) {
                lpszFail = "Socket: Initialize, prepare report queue failed";
                break;
            }
            if (!BatchRecvInit()) {
                lpszFail = "Socket: Initialize, prepare batch recv queue failed";
                break;
            }
            u32 aCfg[11];
            BuildProcCfg(aCfg);
            if (!m_pLower || !m_pLower->Initialize(lpContext, aCfg)) {
                lpszFail = "Socket: Initialize, Init SocketProc failed";
                break;
            }
            m_pSocks = new (std::nothrow) SOCK_S[uTable];
            if (!m_pSocks) {
                lpszFail = "Socket: Initialize, Alloc socket list failed";
                break;
            }
            m_uSockCount = uTable;
            for (u32 i = 0; i < uTable; i++) {
                SOCK_S* s = &m_pSocks[i];
                s->uCookie = qvGetCookieShort(0);
                s->uInUse = 0;
                s->uParam = 0xFFFFFFFF;
                s->uCookieLcl = qvGetCookieLong();
                s->uCrypto = 0;
                SockResetFields(s);
                m_SockFree.PushTail(s);
            }
            if (!m_Crypto.Initialize(uTable)) {
                lpszFail = "Socket: Initialize, Initialize crypto failed";
                break;
            }
            u32 uNew = m_uSide ? uTable >> 3 : uTable >> 5;
            if (uNew < 8) uNew = 8;
            m_pNews = new (std::nothrow) NEW_S[uNew];
            if (!m_pNews) {
                lpszFail = "Socket: Initialize, Alloc new list failed";
                break;
            }
            m_uNewCount = uNew;
            for (u32 i = 0; i < uNew; i++) {
                NEW_S* n = &m_pNews[i];
                n->pHashNext = 0;
                n->uCookie = qvGetCookieShort(0);
                n->uAnnounced = 0;
                n->szName[0] = 0;
                n->uCookieSrc = 0;
                n->uInitParam = 0;
                std::memset(&n->addr, 0, sizeof(n->addr));
                m_NewFree.PushTail(n);
            }
            qvLogOut(2, "Socket: Initialize, New list size: %u", uNew);
            m_uTimerHandle = qvTimerAdd(10, &m_Timer, 0);
            if (!m_uTimerHandle) {
                lpszFail = "Socket: Initialize, Add Timer failed";
                break;
            }
        } while (0);
        if (!lpszFail) {
            m_uTick = 0;
            m_uStamp = 0;
            m_uSecond = 0;
            m_uPassCount = 0;
            m_uMainSpeed = 0;
            m_uInitPend = 0;
            m_uDispMask = 0;
            m_uCheck = 0;
            m_uInit = 1;
        }
    }
    if (lpszFail) {
        qvLogOut(0, "%s", lpszFail);
        Clean();
        return 0;
    }
    if (!m_Disp.Start(50, 0)) {
        qvLogOut(0, "Socket: Initialize, Start dispatch thread failed");
        Clean();
        return 0;
    }
    m_uDispStarted = 1;
    qvLogOut(1, "Socket: Initialize, success");
    return 1;
}

void CQVSocket::QueuesClean()
{
    {
        std::lock_guard<std::mutex> lk(m_EventMutex);
        while (EVENT_S* e = m_EventQue.PopHead()) delete e;
        while (EVENT_S* e = m_EventFree.PopHead()) delete e;
    }
    std::lock_guard<std::mutex> lk(m_ReportMutex);
    while (REPORT_S* r = m_ReportQue.PopHead()) delete r;
    while (REPORT_S* r = m_ReportFree.PopHead()) delete r;
}

void CQVSocket::Clean()
{
    qvLogOut(1, "Socket: Clean, begin");
    m_uInit = 0;
    if (m_uDispStarted) {
        m_EventDisp.Signal();
        m_Disp.WaitForTermination();
        m_uDispStarted = 0;
        qvLogOut(3, "Socket: clean, Dispatch thread stop");
    }
    if (m_uTimerHandle) {
        qvTimerDelete(m_uTimerHandle);
        m_uTimerHandle = 0;
        qvLogOut(3, "Socket: Clean, delete timer");
    }
    if (m_pLower) m_pLower->Clean();
    qvLogOut(3, "Socket: clean, Proc clean");
    // The socket process thread has stopped: what it held of its last pass is dropped (its
    // blocks decrypted ahead are pool buffers, freed with the pool below), the keys kept for
    // decrypting ahead forgotten.
    m_uPassIn = 0;
    for (PASS_KEY_S* k : {&m_aPassKey[0], &m_aPassKey[1], &m_aBatchKey[0], &m_aBatchKey[1]}) {
        k->uHandle = 0;
        volatile u8* v = k->aKey;
        for (u32 i = 0; i < sizeof(k->aKey); i++) v[i] = 0;
        k->aes.Clear();
    }
    {
        SectDisp lk(this);
        qvLogOut(3, "Socket: Clean, in section");
        m_Crypto.Clean();
        QueuesClean();
        SockClean();
        m_szName[0] = 0;
        m_uDispMask = 0;
        m_uCheck = 0;
        m_uSendPendCount = 0;
        m_uPaced = 0;
        m_uInitPend = 0;
        BatchRecvClean();
        NewClean();
        SendEncForget();
        BufClean();
        delete[] m_pEncBuf;
        m_pEncBuf = 0;
        delete[] m_pCmpBuf;
        m_pCmpBuf = 0;
    }
    m_lpContext = 0;
    qvLogOut(1, "Socket: clean, finish");
}

u32 CQVSocket::SetMDU(u32 uMDU)
{
    qvPrintf("CQVSocket::SetMDU, uMDU=%u", uMDU);
    if (uMDU < 1 || uMDU > kMDUMax) return 0;
    m_uMDU = uMDU;
    return 1;
}

u32 CQVSocket::SetInitWnd(u32 uWnd)
{
    if (!uWnd) return 1;
    u32 uMin = m_Cfg.uSendQue[0];
    for (u32 i = 1; i < PRIO_NUM; i++)
        if (m_Cfg.uSendQue[i] < uMin) uMin = m_Cfg.uSendQue[i];
    u32 w = uWnd < uMin / 2 ? uWnd : uMin / 2;
    if (!w) w = 1;
    m_Cfg.uInitWnd[2] = (u16)w;
    m_Cfg.uInitWnd[3] = (u16)w;
    m_uInitWndMax = 0;
    for (u32 i = 0; i < PRIO_NUM; i++)
        if (m_Cfg.uInitWnd[i] > m_uInitWndMax) m_uInitWndMax = m_Cfg.uInitWnd[i];
    return 1;
}

u32 CQVSocket::SetMainSpeed(u32 uSpeed)
{
    m_uMainSpeed = uSpeed;
    qvLogOut(0, "Socket: SetMainSpeed, uMainSpeed=%u", uSpeed);
    u32 uPend = m_uInitPend.load();
    if (m_pLower) m_pLower->SetMainSpeed(uSpeed, uSpeed > uPend ? uSpeed - uPend : 1);
    return 1;
}

u32 CQVSocket::SetLoopSpeed(u32 uSpeed)
{
    qvLogOut(0, "Socket: SetLoopSpeed, uLoopSpeed=%u", uSpeed);
    if (m_pLower) m_pLower->SetLoopSpeed(uSpeed);
    return 1;
}

u32 CQVSocket::SetName(const char* lpszName)
{
    if (!m_uInit || !lpszName) return 0;
    if (std::strlen(lpszName) > 127) return 0;
    u32 uTouched = 0;
    {
        SectDisp lk(this);
        if (std::strcmp(lpszName, m_szName) == 0) return 1;
        std::strcpy(m_szName, lpszName);
        if (m_pLower) m_pLower->SetSelfPeer(m_szName);
        qvPrintf("CQVSocket::SetName: lpszName=%s", lpszName);
        for (SOCK_S* s = m_SockUsed.Head(); s; s = SOCK_LIST::Next(s)) {
            s->uState = 0;
            s->uInitTry = 0;
            s->uCookieLcl = qvGetCookieLong();
            s->uCookieRmt = 0;
            ListDispPush(s, 0x100, 4);
            uTouched = 1;
        }
    }
    if (uTouched) m_EventDisp.Signal();
    return 1;
}

s32 CQVSocket::SetDropTimeout(u32 uSockID, u32 uSeconds)
{
    if (!m_uInit) return -5;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return -4;
    u64 v = (u64)uSeconds * 20;
    s->uDropLimit = v < 12 ? 10 : (v > 0xFFFFFFFF ? 0xFFFFFFFF : (u32)v);
    s->uTryCount = 0;
    s->uInitTry = 0;
    return 0;
}

u32 CQVSocket::SetPeerMDU(u32 uSockID, u32 uMDU)
{
    if (!m_uInit) return 0;
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return 0;
    qvPrintf("CQVSocket::SetPeerMDU, uSockID=%u, uMDU=%u", uSockID, uMDU);
    if (uMDU < 1 || uMDU > kMDUMax) return 0;
    s->uMDU = uMDU;
    return 1;
}

u32 CQVSocket::GetDropLimit(u32 uSockID)
{
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    return s ? s->uDropLimit : 0;
}

// ---------------------------------------------------------------------------------------
// Process-wide NAT64 prefix of the socket source.

namespace {
u32 s_uSocketNet64Status = 0;
u32 s_uSocketNet64Prefix[2] = {0, 0};
} // namespace

u32 qvSocketAddrNat64Enable(const QV_ADDR_S* lpAddr, const QV_ADDR_S* lpAddr2)
{
    if (!lpAddr || !lpAddr2 || qvAddrIPVer(lpAddr) != QV_ADDR_VER_IPV6 || qvAddrIPVer(lpAddr2) != QV_ADDR_VER_IPV4)
        return 0;
    if (!s_uSocketNet64Status) {
        s_uSocketNet64Prefix[0] = lpAddr->uAddr[0];
        s_uSocketNet64Prefix[1] = lpAddr->uAddr[1];
        s_uSocketNet64Status = 1;
    }
    return 1;
}

u32 qvSocketAddrNat64Is(const QV_ADDR_S* lpAddr)
{
    return lpAddr && s_uSocketNet64Status && lpAddr->uAddr[0] == s_uSocketNet64Prefix[0] &&
           lpAddr->uAddr[1] == s_uSocketNet64Prefix[1];
}

u32 qvSocketAddrNat64Clean(QV_ADDR_S* lpAddr)
{
    if (!qvSocketAddrNat64Is(lpAddr)) return 0;
    lpAddr->uAddr[0] = lpAddr->uAddr[1] = lpAddr->uAddr[2] = 0;
    return 1;
}

u32 qvSocketAddrNat64Build(QV_ADDR_S* lpAddr)
{
    if (!lpAddr || !s_uSocketNet64Status) return 0;
    lpAddr->uAddr[0] = s_uSocketNet64Prefix[0];
    lpAddr->uAddr[1] = s_uSocketNet64Prefix[1];
    return 1;
}
