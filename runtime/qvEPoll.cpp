// Select-style facade over a level-triggered epoll object.
#include "qvEPoll.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>

namespace {

// Size hint given to epoll_create; ignored by current kernels but must be positive.
const int EPOLL_SIZE_HINT = QV_FD_EPOLL_MAX;

u32 InterestToEvents(int iInterest)
{
    u32 uEvents = 0;
    if (iInterest & QV_FD_INTEREST_READ)
        uEvents |= EPOLLIN;
    if (iInterest & QV_FD_INTEREST_WRITE)
        uEvents |= EPOLLOUT;
    return uEvents;
}

int ViewBit(const _qv_fd_set* lpSet)
{
    return lpSet->uIsWrite ? QV_FD_INTEREST_WRITE : QV_FD_INTEREST_READ;
}

int Ctl(int iEpFd, int iOp, int iFd, int iInterest)
{
    struct epoll_event Ev;
    memset(&Ev, 0, sizeof(Ev));
    Ev.events = InterestToEvents(iInterest);
    Ev.data.fd = iFd;
    return epoll_ctl(iEpFd, iOp, iFd, &Ev);
}

// Brings the slot's registration from cur to want.
void Register(_qv_fd_epoll* lpEpoll, int iSlot)
{
    int iFd = lpEpoll->iFd[iSlot];
    int iCur = lpEpoll->iCur[iSlot];
    int iWant = lpEpoll->iWant[iSlot];
    if (iCur == iWant)
        return;
    if (iWant == 0) {
        // The kernel already dropped a descriptor that was closed meanwhile; the slot is
        // freed either way.
        Ctl(lpEpoll->iEpFd, EPOLL_CTL_DEL, iFd, 0);
        lpEpoll->iFd[iSlot] = -1;
    } else if (iCur == 0) {
        // A descriptor number reused after a close without DEL may still be registered.
        if (Ctl(lpEpoll->iEpFd, EPOLL_CTL_ADD, iFd, iWant) != 0 && errno == EEXIST)
            Ctl(lpEpoll->iEpFd, EPOLL_CTL_MOD, iFd, iWant);
    } else {
        // A closed and re-created descriptor is no longer known to the kernel.
        if (Ctl(lpEpoll->iEpFd, EPOLL_CTL_MOD, iFd, iWant) != 0 && errno == ENOENT)
            Ctl(lpEpoll->iEpFd, EPOLL_CTL_ADD, iFd, iWant);
    }
    lpEpoll->iCur[iSlot] = iWant;
}

} // namespace

void qvEPollInit(_qv_fd_epoll* lpEpoll)
{
    if (!lpEpoll)
        return;
    memset(lpEpoll, 0, sizeof(*lpEpoll));
    for (int i = 0; i < QV_FD_EPOLL_MAX; i++)
        lpEpoll->iFd[i] = -1;
    lpEpoll->iEpFd = -1;
}

int qvEpollCreate(_qv_fd_epoll* lpEpoll)
{
    if (!lpEpoll)
        return -1;
    qvEPollInit(lpEpoll);
    lpEpoll->iEpFd = epoll_create(EPOLL_SIZE_HINT);
    return lpEpoll->iEpFd;
}

void qvEpollDestroy(_qv_fd_epoll* lpEpoll)
{
    if (!lpEpoll)
        return;
    if (lpEpoll->iEpFd >= 0)
        close(lpEpoll->iEpFd);
    lpEpoll->iEpFd = -1;
}

void qvEpollForget(_qv_fd_epoll* lpEpoll, int iFd)
{
    if (!lpEpoll || iFd < 0)
        return;
    for (int i = 0; i < QV_FD_EPOLL_MAX; i++) {
        if (lpEpoll->iFd[i] != iFd)
            continue;
        if (lpEpoll->iCur[i] != 0)
            Ctl(lpEpoll->iEpFd, EPOLL_CTL_DEL, iFd, 0);
        lpEpoll->iFd[i] = -1;
        lpEpoll->iCur[i] = lpEpoll->iWant[i] = 0;
        return;
    }
}

void QV_FD_INIT(_qv_fd_set* lpSet, u32 uIsWrite, _qv_fd_epoll* lpEpoll)
{
    if (!lpSet)
        return;
    lpSet->lpEpoll = lpEpoll;
    lpSet->uIsWrite = uIsWrite ? 1 : 0;
}

void QV_FD_ZERO(_qv_fd_set* lpSet)
{
    if (!lpSet || !lpSet->lpEpoll)
        return;
    _qv_fd_epoll* lpEpoll = lpSet->lpEpoll;
    int iBit = ViewBit(lpSet);
    for (int i = 0; i < QV_FD_EPOLL_MAX; i++) {
        if (lpEpoll->iFd[i] < 0)
            continue;
        lpEpoll->iWant[i] &= ~iBit;
        Register(lpEpoll, i);
    }
    lpEpoll->iReady = 0;
}

void QV_FD_SET(int iFd, _qv_fd_set* lpSet)
{
    // -1 would match a free slot.
    if (iFd < 0 || !lpSet || !lpSet->lpEpoll)
        return;
    _qv_fd_epoll* lpEpoll = lpSet->lpEpoll;
    int iSlot = -1, iFree = -1;
    for (int i = 0; i < QV_FD_EPOLL_MAX; i++) {
        if (lpEpoll->iFd[i] == iFd) {
            iSlot = i;
            break;
        }
        if (iFree < 0 && lpEpoll->iFd[i] < 0)
            iFree = i;
    }
    if (iSlot < 0) {
        if (iFree < 0)
            return; // all 128 slots taken: not watched
        iSlot = iFree;
        lpEpoll->iFd[iSlot] = iFd;
        lpEpoll->iCur[iSlot] = 0;
        lpEpoll->iWant[iSlot] = 0;
    }
    lpEpoll->iWant[iSlot] |= ViewBit(lpSet);
    Register(lpEpoll, iSlot);
}

void QV_FD_CLR(int iFd, _qv_fd_set* lpSet)
{
    if (iFd < 0 || !lpSet || !lpSet->lpEpoll)
        return;
    _qv_fd_epoll* lpEpoll = lpSet->lpEpoll;
    for (int i = 0; i < QV_FD_EPOLL_MAX; i++) {
        if (lpEpoll->iFd[i] != iFd)
            continue;
        lpEpoll->iWant[i] &= ~ViewBit(lpSet);
        Register(lpEpoll, i);
        return;
    }
}

int QV_FD_ISSET(int iFd, _qv_fd_set* lpSet)
{
    if (iFd < 0 || !lpSet || !lpSet->lpEpoll)
        return 0;
    _qv_fd_epoll* lpEpoll = lpSet->lpEpoll;
    // A pending error or hang-up counts as ready in both views, as select reports it: epoll
    // signals it whether asked or not, and a loop that never looks would wake without end.
    u32 uMask = (lpSet->uIsWrite ? EPOLLOUT : EPOLLIN) | EPOLLERR | EPOLLHUP;
    int iReady = lpEpoll->iReady;
    if (iReady > QV_FD_EPOLL_MAX)
        iReady = QV_FD_EPOLL_MAX;
    for (int i = 0; i < iReady; i++) {
        if (lpEpoll->stEv[i].data.fd == iFd && (lpEpoll->stEv[i].events & uMask))
            return 1;
    }
    return 0;
}

int qvEpollSelect(int iIgnored, _qv_fd_set* lpRead, _qv_fd_set* lpWrite, _qv_fd_set* lpExcept,
                  int iTimeoutMs)
{
    (void)iIgnored;
    (void)lpExcept;
    _qv_fd_set* lpSet = lpRead ? lpRead : lpWrite;
    if (!lpSet || !lpSet->lpEpoll)
        return -1;
    _qv_fd_epoll* lpEpoll = lpSet->lpEpoll;
    int iRet = epoll_wait(lpEpoll->iEpFd, lpEpoll->stEv, QV_FD_EPOLL_MAX, iTimeoutMs);
    if (iRet >= 0)
        lpEpoll->iReady = iRet;
    return iRet;
}
