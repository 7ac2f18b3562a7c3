// A select-style interface over epoll: one facade watches up to 128 descriptors and is used
// through a read view and a write view in place of select's two sets.
#pragma once

#include <sys/epoll.h>

#include "qvType.h"

// Descriptors one facade can watch; a further one is silently not watched.
#define QV_FD_EPOLL_MAX 128

// Interest values of a slot: the write view owns bit 1, the read view bit 2.
#define QV_FD_INTEREST_WRITE 1
#define QV_FD_INTEREST_READ 2

typedef struct _qv_fd_epoll {
    int iFd[QV_FD_EPOLL_MAX];   // watched descriptors, -1 marks a free slot
    int iCur[QV_FD_EPOLL_MAX];  // interest registered with epoll
    int iWant[QV_FD_EPOLL_MAX]; // interest wanted
    struct epoll_event stEv[QV_FD_EPOLL_MAX]; // events of the last wait
    int iReady;                 // events of the last wait
    int iEpFd;                  // epoll descriptor, -1 when none
} _qv_fd_epoll;

typedef struct _qv_fd_set {
    _qv_fd_epoll* lpEpoll;
    u32 uIsWrite; // 0 read view, 1 write view
} _qv_fd_set;

void qvEPollInit(_qv_fd_epoll* lpEpoll);
// The new epoll descriptor, -1 on failure.
int qvEpollCreate(_qv_fd_epoll* lpEpoll);
void qvEpollDestroy(_qv_fd_epoll* lpEpoll);

// Stops watching a descriptor at once and frees its slot, so that its owner may close it
// without the watcher touching the number again.
void qvEpollForget(_qv_fd_epoll* lpEpoll, int iFd);

void QV_FD_INIT(_qv_fd_set* lpSet, u32 uIsWrite, _qv_fd_epoll* lpEpoll);
void QV_FD_ZERO(_qv_fd_set* lpSet);
void QV_FD_SET(int iFd, _qv_fd_set* lpSet);
// Drops the view's interest in one descriptor (the slot is freed when no view wants it), so
// that a loop can keep its interest up to date instead of zeroing a view every cycle. Such a
// loop forgets a descriptor (qvEpollForget) before closing it and before watching a new one,
// whose number may have been left behind by a descriptor closed elsewhere.
void QV_FD_CLR(int iFd, _qv_fd_set* lpSet);
int QV_FD_ISSET(int iFd, _qv_fd_set* lpSet);
// Number of ready descriptors, 0 on time-out, -1 on error. The first argument is ignored
// (kept for the select-style call sites); lpExcept is not used.
int qvEpollSelect(int iIgnored, _qv_fd_set* lpRead, _qv_fd_set* lpWrite, _qv_fd_set* lpExcept,
                  int iTimeoutMs);
