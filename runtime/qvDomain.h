// Name resolution: 'host[:port]' texts to addresses, host names through a cache whose entries
// are filled by one worker thread per pending name.
#pragma once

#include <pthread.h>

#include "qvSocketAddr.h"
#include "qvType.h"

// Longest host name the cache keeps, terminating zero included.
#define QV_DOMAIN_NAME_SIZE 128
// Addresses kept per cached name.
#define QV_DOMAIN_ADDR_MAX 8
// A resolved name is reused for this long, and any entry older than this is dropped (ms).
#define QV_DOMAIN_ENTRY_AGE 120000
// Callers poll a pending name at this interval (ms).
#define QV_DOMAIN_POLL_MS 100

// Entry states.
#define QV_DOMAIN_PENDING 0
#define QV_DOMAIN_RESOLVED 1
#define QV_DOMAIN_FAILED 2

class CQVAsyncDomainThread;

class CQVAsyncDomain {
public:
    struct DOMAIN_S {
        DOMAIN_S* lpNext;
        u32 uState;
        u32 uStamp; // ms, when made or reset, or when its resolution finished
        char szName[QV_DOMAIN_NAME_SIZE];
        u32 uIPVerKey;
        u32 uAddrCount;
        QV_ADDR_S Addr[QV_DOMAIN_ADDR_MAX];
    };

    CQVAsyncDomain();
    virtual ~CQVAsyncDomain();
    CQVAsyncDomain(const CQVAsyncDomain&) = delete;
    CQVAsyncDomain& operator=(const CQVAsyncDomain&) = delete;

    // Number of addresses copied in the last attempt (0 while pending or after failure).
    u32 Resolution(const char* lpszName, u32 uIPVerKey, QV_ADDR_S* lpOut, u32 uMax,
                   u32 uWaitMs, u32 uLog);
    // Removes the entry (name, key) if present.
    void Discard(const char* lpszName, u32 uIPVerKey);
    // Frees every request (waiting for finished threads, disowning running ones) and entry.
    void Clean();
    // Stores a finished request's answer in its entry and marks the request done; called on
    // the request's thread.
    void ThreadProc(CQVAsyncDomainThread* lpReq);

    // Introspection for diagnostics: state of the entry (name, key), or QV_NOT_FOUND.
    u32 EntryState(const char* lpszName, u32 uIPVerKey);
    u32 RequestCount();

protected:
    // The wall clock in ms; the cache's ages are measured with it. Workers call it too, so a
    // class that overrides it calls Clean() in its own destructor.
    virtual u32 Now();

private:
    u32 Attempt(const char* lpszName, u32 uIPVerKey, QV_ADDR_S* lpOut, u32 uMax, u32 uFirst,
                u32* lpState);
    u32 RequestCheck(const char* lpszName, u32 uIPVerKey, u32 uState, u32 uLog);
    void Sweep();
    DOMAIN_S* EntryFind(const char* lpszName, u32 uIPVerKey);

    pthread_mutex_t m_MutexEntry;
    pthread_mutex_t m_MutexRequest;
    DOMAIN_S* m_lpEntry;
    CQVAsyncDomainThread* m_lpRequest;
};

// text: "", an internal address text, an IPv4 or [IPv6] literal or a host name, each with an
// optional ":port". uIPVersion 0 IPv4, 1 IPv6, 2 the process-wide choice. lpIsName may be
// null. Returns the number of addresses written, 0 on failure or while a name is pending.
u32 qvDomainToAddr(const char* lpszDomain, u32 uIPVersion, QV_ADDR_S* lpOut, u32 uMax,
                   u32* lpIsName, u32 uWaitMs, u32 uQuiet);
// Synchronous resolution; number of addresses.
u32 qvResolution(const char* lpszHost, u32 uIPVersion, QV_ADDR_S* lpOut, u32 uMax, u32 uLog);
// 1 when a cache entry could be addressed (and was dropped if present); 0 for literals and
// internal address texts.
u32 qvDomainDiscard(const char* lpszDomain, u32 uIPVersion);
void qvDomainRandom(u32 uRandom);
void qvDomainIPVersion(u32 uIPVersion);
