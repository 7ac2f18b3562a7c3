// Name resolution: literal and internal address texts directly, host names through a cache
// whose pending entries are resolved by one short-lived worker thread each.
#include "qvDomain.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <new>

#include "qvLog.h"
#include "qvThread.h"
#include "qvTimer.h"
#include "qvUtilize.h"

namespace {

// Worker threads: real-time priority and stack size (bytes) of the resolver threads.
const u32 WORKER_PRIORITY = 50;
const u32 WORKER_STACK = 131072;
// Port part of 'host:port' texts, zero included.
const u32 PORT_TEXT_SIZE = 16;
// Buffer for gethostbyname_r's records (bytes).
const size_t HOSTENT_BUF_SIZE = 16384;

std::atomic<u32> g_uDomainRandom(1);
std::atomic<u32> g_uDomainIPVersion(QV_ADDR_VER_NONE);

// Serialises a worker's report with the cleaning of its cache, which may disown it. A plain
// static mutex, never destroyed, so that a disowned worker can still take it after the cache
// is gone.
pthread_mutex_t g_MutexLife = PTHREAD_MUTEX_INITIALIZER;

u32 NameCopy(char* lpszDst, const char* lpszSrc)
{
    size_t uLen = strlen(lpszSrc);
    if (uLen >= QV_DOMAIN_NAME_SIZE)
        return 0;
    memcpy(lpszDst, lpszSrc, uLen + 1);
    return 1;
}

u32 SameAddr(const QV_ADDR_S* lpA, const QV_ADDR_S* lpB)
{
    return memcmp(lpA->uAddr, lpB->uAddr, sizeof(lpA->uAddr)) == 0 ? 1 : 0;
}

// Takes up to uMax of the n usable addresses, starting at a random one when the random
// setting is on, walking to the end and once more from the start, skipping repeats.
u32 SelectList(const QV_ADDR_S* lpList, u32 uCount, QV_ADDR_S* lpOut, u32 uMax, u32 uLog,
               const char* lpszTag)
{
    if (uLog) {
        qvLogOut(1, "%s: uIPCount=%u", lpszTag, uCount);
        qvPrintf("%s: uIPCount=%u", lpszTag, uCount);
    }
    if (uCount == 0 || !lpOut)
        return 0;
    u32 uStart = g_uDomainRandom ? (u32)qvGetCookieShort(0) % uCount : 0;
    u32 uLimit = uMax < uCount ? uMax : uCount;
    u32 uTaken = 0;
    for (u32 uPass = 0; uPass < 2 && uTaken < uLimit; uPass++) {
        for (u32 i = (uPass == 0 ? uStart : 0); i < uCount && uTaken < uLimit; i++) {
            u32 uDup = 0;
            for (u32 j = 0; j < uTaken && !uDup; j++)
                uDup = SameAddr(&lpOut[j], &lpList[i]);
            if (uDup)
                continue;
            lpOut[uTaken] = lpList[i];
            if (uLog) {
                char szAddr[QV_ADDR_STR_SIZE];
                qvAddrToReadable(&lpOut[uTaken], szAddr, sizeof(szAddr));
                qvLogOut(1, "%s: Addr[%u]=%s", lpszTag, uTaken, szAddr);
                qvPrintf("%s: Addr[%u]=%s", lpszTag, uTaken, szAddr);
            }
            uTaken++;
        }
    }
    return uTaken;
}

u32 UsableFamily(int iFamily, u32 uIPVersion)
{
    if (iFamily == AF_INET)
        return uIPVersion == QV_ADDR_VER_IPV4 || uIPVersion == QV_ADDR_VER_NONE;
    if (iFamily == AF_INET6)
        return uIPVersion == QV_ADDR_VER_IPV6 || uIPVersion == QV_ADDR_VER_NONE;
    return 0;
}

u32 ResolveAddrInfo(const struct addrinfo* lpRes, u32 uIPVersion, QV_ADDR_S* lpOut, u32 uMax,
                    u32 uLog)
{
    u32 uCount = 0;
    for (const struct addrinfo* p = lpRes; p; p = p->ai_next)
        if (p->ai_addr && UsableFamily(p->ai_family, uIPVersion))
            uCount++;
    QV_ADDR_S* lpList = uCount ? new (std::nothrow) QV_ADDR_S[uCount] : nullptr;
    if (uCount && !lpList)
        return 0;
    u32 i = 0;
    for (const struct addrinfo* p = lpRes; p; p = p->ai_next) {
        if (!p->ai_addr || !UsableFamily(p->ai_family, uIPVersion))
            continue;
        qvAddrFromSockAddr(p->ai_addr, &lpList[i]);
        lpList[i].uPort = 0;
        i++;
    }
    u32 uRet = SelectList(lpList, uCount, lpOut, uMax, uLog, "qvAddrListSelect");
    delete[] lpList;
    return uRet;
}

// gethostbyname's fallback: the answer as a list; 0 with *lpFailed set when the name is unknown.
u32 ResolveHostEnt(const char* lpszHost, u32 uIPVersion, QV_ADDR_S* lpOut, u32 uMax, u32 uLog,
                   u32* lpFailed)
{
    *lpFailed = 1;
    char* lpBuf = new (std::nothrow) char[HOSTENT_BUF_SIZE];
    if (!lpBuf)
        return 0;
    struct hostent Host, *lpHost = nullptr;
    int iErr = 0;
    if (gethostbyname_r(lpszHost, &Host, lpBuf, HOSTENT_BUF_SIZE, &lpHost, &iErr) != 0 ||
        !lpHost) {
        delete[] lpBuf;
        return 0;
    }
    *lpFailed = 0;
    u32 uCount = 0;
    if (UsableFamily(lpHost->h_addrtype, uIPVersion) && lpHost->h_addr_list)
        while (lpHost->h_addr_list[uCount])
            uCount++;
    QV_ADDR_S* lpList = uCount ? new (std::nothrow) QV_ADDR_S[uCount] : nullptr;
    if (uCount && !lpList) {
        delete[] lpBuf;
        return 0;
    }
    for (u32 i = 0; i < uCount; i++) {
        memset(&lpList[i], 0, sizeof(lpList[i]));
        if (lpHost->h_addrtype == AF_INET && lpHost->h_length == 4)
            memcpy(&lpList[i].uAddr[3], lpHost->h_addr_list[i], 4);
        else if (lpHost->h_addrtype == AF_INET6 && lpHost->h_length == 16)
            memcpy(lpList[i].uAddr, lpHost->h_addr_list[i], 16);
    }
    u32 uRet = SelectList(lpList, uCount, lpOut, uMax, uLog, "qvHostListSelect");
    delete[] lpList;
    delete[] lpBuf;
    return uRet;
}

} // namespace

// One pending resolution: its thread resolves the name and reports to the owning cache.
class CQVAsyncDomainThread : public CQVThread {
public:
    CQVAsyncDomainThread()
        : m_lpOwner(nullptr), m_lpNext(nullptr), m_uDone(0), m_uIPVerKey(0), m_uLog(0)
    {
        m_szName[0] = '\0';
    }

    void Proc() override
    {
        QV_ADDR_S Addr[QV_DOMAIN_ADDR_MAX];
        memset(Addr, 0, sizeof(Addr));
        u32 uCount = qvResolution(m_szName, m_uIPVerKey, Addr, QV_DOMAIN_ADDR_MAX, m_uLog);
        if (m_uLog)
            qvPrintf("CQVAsyncDomain::ThreadProc: resolution return. szDomain=%s, uRetSize=%u",
                     m_szName, uCount);
        m_uResult = uCount;
        memcpy(m_Result, Addr, sizeof(Addr));

        pthread_mutex_lock(&g_MutexLife);
        CQVAsyncDomain* lpOwner = m_lpOwner;
        if (lpOwner) {
            lpOwner->ThreadProc(this);
            pthread_mutex_unlock(&g_MutexLife);
            return;
        }
        pthread_mutex_unlock(&g_MutexLife);
        // The cache was cleaned while this name was still being resolved: nobody else holds
        // this request any more.
        DestroyFlag(1);
        delete this;
    }

    CQVAsyncDomain* m_lpOwner; // null once the cache has disowned a running request
    CQVAsyncDomainThread* m_lpNext;
    u32 m_uDone;               // 0 running, else the state it reported
    char m_szName[QV_DOMAIN_NAME_SIZE];
    u32 m_uIPVerKey;
    std::atomic<u32> m_uLog;
    u32 m_uResult;
    QV_ADDR_S m_Result[QV_DOMAIN_ADDR_MAX];
};

namespace {
CQVAsyncDomain g_AsyncDomain;
}

CQVAsyncDomain::CQVAsyncDomain() : m_lpEntry(nullptr), m_lpRequest(nullptr)
{
    pthread_mutex_init(&m_MutexEntry, nullptr);
    pthread_mutex_init(&m_MutexRequest, nullptr);
}

CQVAsyncDomain::~CQVAsyncDomain()
{
    Clean();
    pthread_mutex_destroy(&m_MutexEntry);
    pthread_mutex_destroy(&m_MutexRequest);
}

u32 CQVAsyncDomain::Now()
{
    return GET_TIMESTAMP();
}

CQVAsyncDomain::DOMAIN_S* CQVAsyncDomain::EntryFind(const char* lpszName, u32 uIPVerKey)
{
    for (DOMAIN_S* e = m_lpEntry; e; e = e->lpNext)
        if (e->uIPVerKey == uIPVerKey && strcmp(e->szName, lpszName) == 0)
            return e;
    return nullptr;
}

void CQVAsyncDomain::ThreadProc(CQVAsyncDomainThread* lpReq)
{
    u32 uState = lpReq->m_uResult ? QV_DOMAIN_RESOLVED : QV_DOMAIN_FAILED;
    pthread_mutex_lock(&m_MutexEntry);
    DOMAIN_S* e = EntryFind(lpReq->m_szName, lpReq->m_uIPVerKey);
    if (e) {
        e->uState = uState;
        e->uStamp = Now();
        e->uAddrCount = lpReq->m_uResult;
        memcpy(e->Addr, lpReq->m_Result, sizeof(e->Addr));
    }
    pthread_mutex_unlock(&m_MutexEntry);

    pthread_mutex_lock(&m_MutexRequest);
    lpReq->m_uDone = uState;
    pthread_mutex_unlock(&m_MutexRequest);
}

u32 CQVAsyncDomain::Attempt(const char* lpszName, u32 uIPVerKey, QV_ADDR_S* lpOut, u32 uMax,
                            u32 uFirst, u32* lpState)
{
    u32 uCopied = 0;
    u32 uNow = Now();
    pthread_mutex_lock(&m_MutexEntry);
    DOMAIN_S* e = EntryFind(lpszName, uIPVerKey);
    if (!e) {
        e = new (std::nothrow) DOMAIN_S;
        if (!e) {
            pthread_mutex_unlock(&m_MutexEntry);
            *lpState = QV_DOMAIN_FAILED;
            return 0;
        }
        memset(e, 0, sizeof(*e));
        NameCopy(e->szName, lpszName);
        e->uIPVerKey = uIPVerKey;
        e->uState = QV_DOMAIN_PENDING;
        e->uStamp = uNow;
        e->lpNext = m_lpEntry;
        m_lpEntry = e;
    } else if ((e->uState == QV_DOMAIN_RESOLVED && uNow - e->uStamp > QV_DOMAIN_ENTRY_AGE) ||
               (e->uState == QV_DOMAIN_FAILED && uFirst)) {
        e->uState = QV_DOMAIN_PENDING;
        e->uStamp = uNow;
        e->uAddrCount = 0;
        memset(e->Addr, 0, sizeof(e->Addr));
    }
    if (e->uState == QV_DOMAIN_RESOLVED) {
        uCopied = e->uAddrCount < uMax ? e->uAddrCount : uMax;
        if (lpOut && uCopied)
            memcpy(lpOut, e->Addr, uCopied * sizeof(QV_ADDR_S));
        else
            uCopied = 0;
    }
    *lpState = e->uState;
    pthread_mutex_unlock(&m_MutexEntry);
    return uCopied;
}

// Starts, restarts or drops the request of (name, key) as the entry's state asks.
// Returns 0 when a needed request could not be allocated.
u32 CQVAsyncDomain::RequestCheck(const char* lpszName, u32 uIPVerKey, u32 uState, u32 uLog)
{
    CQVAsyncDomainThread* lpFree = nullptr;
    u32 uRet = 1;
    pthread_mutex_lock(&m_MutexRequest);
    CQVAsyncDomainThread** pp = &m_lpRequest;
    while (*pp && !((*pp)->m_uIPVerKey == uIPVerKey && strcmp((*pp)->m_szName, lpszName) == 0))
        pp = &(*pp)->m_lpNext;
    CQVAsyncDomainThread* r = *pp;
    if (r) {
        if (uState != QV_DOMAIN_PENDING) {
            if (r->m_uDone) {
                *pp = r->m_lpNext;
                lpFree = r;
            }
        } else {
            r->m_uLog = uLog;
            if (r->m_uDone) {
                if (uLog)
                    qvPrintf("CQVAsyncDomain::RequestReuse: Thread wait terminate. Domain=%s",
                             r->m_szName);
                r->WaitForTermination();
                r->m_uDone = QV_DOMAIN_PENDING;
                if (!r->Start(WORKER_PRIORITY, WORKER_STACK)) {
                    qvLogOut(0, "AsyncDomain:RequestReuse, start thread failed!");
                    // Marked finished so that a later call tries again or frees it.
                    r->m_uDone = QV_DOMAIN_FAILED;
                }
            }
        }
    } else if (uState == QV_DOMAIN_PENDING) {
        r = new (std::nothrow) CQVAsyncDomainThread;
        if (r) {
            r->m_lpOwner = this;
            NameCopy(r->m_szName, lpszName);
            r->m_uIPVerKey = uIPVerKey;
            r->m_uLog = uLog;
            r->SetTag("qvAsyncDomain");
            r->m_lpNext = m_lpRequest;
            m_lpRequest = r;
            if (!r->Start(WORKER_PRIORITY, WORKER_STACK)) {
                qvLogOut(0, "AsyncDomain:RequestAlloc, start thread failed!");
                m_lpRequest = r->m_lpNext;
                lpFree = r;
            }
        } else {
            uRet = 0;
        }
    }
    pthread_mutex_unlock(&m_MutexRequest);
    if (lpFree) {
        // A request is freed only after its thread has ended: the worker still runs for a
        // moment after it reported.
        lpFree->WaitForTermination();
        delete lpFree;
    }
    return uRet;
}

void CQVAsyncDomain::Sweep()
{
    CQVAsyncDomainThread* lpFree = nullptr;
    pthread_mutex_lock(&m_MutexRequest);
    for (CQVAsyncDomainThread** pp = &m_lpRequest; *pp;) {
        CQVAsyncDomainThread* r = *pp;
        if (r->m_uDone) {
            *pp = r->m_lpNext;
            r->m_lpNext = lpFree;
            lpFree = r;
        } else {
            pp = &r->m_lpNext;
        }
    }
    pthread_mutex_unlock(&m_MutexRequest);
    while (lpFree) {
        CQVAsyncDomainThread* r = lpFree;
        lpFree = r->m_lpNext;
        r->WaitForTermination();
        delete r;
    }

    u32 uNow = Now();
    DOMAIN_S* lpOld = nullptr;
    pthread_mutex_lock(&m_MutexEntry);
    for (DOMAIN_S** pp = &m_lpEntry; *pp;) {
        DOMAIN_S* e = *pp;
        if (uNow - e->uStamp > QV_DOMAIN_ENTRY_AGE) {
            *pp = e->lpNext;
            e->lpNext = lpOld;
            lpOld = e;
        } else {
            pp = &e->lpNext;
        }
    }
    pthread_mutex_unlock(&m_MutexEntry);
    while (lpOld) {
        DOMAIN_S* e = lpOld;
        lpOld = e->lpNext;
        delete e;
    }
}

u32 CQVAsyncDomain::Resolution(const char* lpszName, u32 uIPVerKey, QV_ADDR_S* lpOut, u32 uMax,
                               u32 uWaitMs, u32 uLog)
{
    if (!lpszName || strlen(lpszName) >= QV_DOMAIN_NAME_SIZE)
        return 0;
    u32 uSleeps = uWaitMs / QV_DOMAIN_POLL_MS;
    u32 uCopied = 0;
    for (u32 uAttempt = 0;; uAttempt++) {
        u32 uState = QV_DOMAIN_FAILED;
        uCopied = Attempt(lpszName, uIPVerKey, lpOut, uMax, uAttempt == 0, &uState);
        // A request that could not be made ends this call as failed.
        if (!RequestCheck(lpszName, uIPVerKey, uState, uLog))
            break;
        if (uState != QV_DOMAIN_PENDING || uAttempt >= uSleeps)
            break;
        qvSleep(QV_DOMAIN_POLL_MS);
    }
    Sweep();
    return uCopied;
}

void CQVAsyncDomain::Discard(const char* lpszName, u32 uIPVerKey)
{
    if (!lpszName)
        return;
    DOMAIN_S* lpOld = nullptr;
    pthread_mutex_lock(&m_MutexEntry);
    for (DOMAIN_S** pp = &m_lpEntry; *pp; pp = &(*pp)->lpNext) {
        if ((*pp)->uIPVerKey == uIPVerKey && strcmp((*pp)->szName, lpszName) == 0) {
            lpOld = *pp;
            *pp = lpOld->lpNext;
            break;
        }
    }
    pthread_mutex_unlock(&m_MutexEntry);
    delete lpOld;
}

void CQVAsyncDomain::Clean()
{
    pthread_mutex_lock(&g_MutexLife);
    pthread_mutex_lock(&m_MutexRequest);
    CQVAsyncDomainThread* lpList = m_lpRequest;
    m_lpRequest = nullptr;
    pthread_mutex_unlock(&m_MutexRequest);
    while (lpList) {
        CQVAsyncDomainThread* r = lpList;
        lpList = r->m_lpNext;
        r->m_lpNext = nullptr;
        if (r->m_uDone || !r->IsStarted()) {
            r->WaitForTermination();
            delete r;
        } else {
            // Still inside the system resolver: it frees itself when it returns (g_MutexLife
            // keeps it from reporting to this cache meanwhile).
            r->m_lpOwner = nullptr;
        }
    }
    pthread_mutex_unlock(&g_MutexLife);

    pthread_mutex_lock(&m_MutexEntry);
    DOMAIN_S* e = m_lpEntry;
    m_lpEntry = nullptr;
    pthread_mutex_unlock(&m_MutexEntry);
    while (e) {
        DOMAIN_S* lpNext = e->lpNext;
        delete e;
        e = lpNext;
    }
}

u32 CQVAsyncDomain::EntryState(const char* lpszName, u32 uIPVerKey)
{
    if (!lpszName)
        return QV_NOT_FOUND;
    pthread_mutex_lock(&m_MutexEntry);
    DOMAIN_S* e = EntryFind(lpszName, uIPVerKey);
    u32 uState = e ? e->uState : QV_NOT_FOUND;
    pthread_mutex_unlock(&m_MutexEntry);
    return uState;
}

u32 CQVAsyncDomain::RequestCount()
{
    u32 uCount = 0;
    pthread_mutex_lock(&m_MutexRequest);
    for (CQVAsyncDomainThread* r = m_lpRequest; r; r = r->m_lpNext)
        uCount++;
    pthread_mutex_unlock(&m_MutexRequest);
    return uCount;
}

// ---------------------------------------------------------------------------------------------

u32 qvResolution(const char* lpszHost, u32 uIPVersion, QV_ADDR_S* lpOut, u32 uMax, u32 uLog)
{
    if (!lpszHost || uIPVersion > QV_ADDR_VER_NONE)
        return 0;
    struct addrinfo Hints;
    memset(&Hints, 0, sizeof(Hints));
    Hints.ai_family = uIPVersion == QV_ADDR_VER_IPV4   ? AF_INET
                      : uIPVersion == QV_ADDR_VER_IPV6 ? AF_INET6
                                                       : AF_UNSPEC;
    // One answer per address instead of one per socket type.
    Hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo* lpRes = nullptr;
    int iRet = getaddrinfo(lpszHost, nullptr, &Hints, &lpRes);
    if (iRet == 0) {
        u32 uRet = ResolveAddrInfo(lpRes, uIPVersion, lpOut, uMax, uLog);
        freeaddrinfo(lpRes);
        return uRet;
    }
    if (uLog) {
        qvLogOut(1, "qvResolution: getaddrinfo failed, iRet=%d, Domain=%s", iRet, lpszHost);
        qvPrintf("qvResolution: getaddrinfo failed, iRet=%d, Domain=%s", iRet, lpszHost);
    }
    u32 uFailed = 1;
    u32 uRet = ResolveHostEnt(lpszHost, uIPVersion, lpOut, uMax, uLog, &uFailed);
    if (!uFailed)
        return uRet;
    if (uLog) {
        qvLogOut(1, "qvResolution: gethostbyname failed, Domain=%s", lpszHost);
        qvPrintf("qvResolution: gethostbyname failed, Domain=%s", lpszHost);
    }
    // The resolver configuration may have changed since it was loaded.
    res_init();
    return 0;
}

// Port of a 'host:port' text: digits only (checked by the parser), at most 65535; a long run
// of digits is refused rather than wrapped.
static u32 PortParse(const char* lpszPort, u16* lpPort)
{
    u32 uPort = 0;
    for (const char* p = lpszPort; *p; p++) {
        uPort = uPort * 10 + (u32)(*p - '0');
        if (uPort > 0xFFFF)
            return 0;
    }
    *lpPort = (u16)uPort;
    return 1;
}

static u32 IPVersionKey(u32 uIPVersion)
{
    return uIPVersion == QV_ADDR_VER_NONE ? g_uDomainIPVersion.load() : uIPVersion;
}

u32 qvDomainToAddr(const char* lpszDomain, u32 uIPVersion, QV_ADDR_S* lpOut, u32 uMax,
                   u32* lpIsName, u32 uWaitMs, u32 uQuiet)
{
    if (!lpszDomain)
        return 0;
    if (!uQuiet) {
        qvPrintf("qvDomainToAddr: szDomain='%s'", lpszDomain);
        qvLogOut(1, "qvDomainToAddr: lpszDomain='%s'", lpszDomain);
    }
    if (!lpOut || uMax == 0 || uIPVersion > QV_ADDR_VER_NONE)
        return 0;
    if (lpIsName)
        *lpIsName = 0;
    if (lpszDomain[0] == '\0') {
        memset(&lpOut[0], 0, sizeof(lpOut[0]));
        return 1;
    }
    if (qvIsQuarlinAddr(lpszDomain))
        return qvStrToAddr(lpszDomain, &lpOut[0]);

    char szHost[QV_DOMAIN_NAME_SIZE], szPort[PORT_TEXT_SIZE];
    u16 uPort = 0;
    if (!qvParseDomainIPnPort(lpszDomain, szHost, sizeof(szHost), szPort, sizeof(szPort)) ||
        !PortParse(szPort, &uPort))
        return 0;

    u32 uCount;
    if (IsIPv4(szHost) || IsIPv6(szHost)) {
        uCount = qvResolution(szHost, uIPVersion, lpOut, uMax, uQuiet ? 0 : 1);
    } else {
        if (lpIsName)
            *lpIsName = 1;
        uCount = g_AsyncDomain.Resolution(szHost, IPVersionKey(uIPVersion), lpOut, uMax, uWaitMs,
                                          uQuiet ? 0 : 1);
    }
    for (u32 i = 0; i < uCount; i++)
        lpOut[i].uPort = uPort;
    return uCount;
}

u32 qvDomainDiscard(const char* lpszDomain, u32 uIPVersion)
{
    if (!lpszDomain || qvIsQuarlinAddr(lpszDomain) || uIPVersion > QV_ADDR_VER_NONE)
        return 0;
    char szHost[QV_DOMAIN_NAME_SIZE], szPort[PORT_TEXT_SIZE];
    if (!qvParseDomainIPnPort(lpszDomain, szHost, sizeof(szHost), szPort, sizeof(szPort)))
        return 0;
    if (IsIPv4(szHost) || IsIPv6(szHost))
        return 0;
    g_AsyncDomain.Discard(szHost, IPVersionKey(uIPVersion));
    return 1;
}

void qvDomainRandom(u32 uRandom)
{
    g_uDomainRandom = uRandom;
}

void qvDomainIPVersion(u32 uIPVersion)
{
    if (uIPVersion <= QV_ADDR_VER_NONE)
        g_uDomainIPVersion = uIPVersion;
}
