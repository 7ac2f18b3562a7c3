// Batched datagram output: collection under the owner's lock, sendmmsg and UDP GSO after it.
#include "qvDgramOut.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/uio.h>

#include <cstring>
#include <new>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif
#ifndef UDP_GRO
#define UDP_GRO 104
#endif

namespace {

// Datagrams per sendmmsg call and segments per GSO send (the kernel takes at most 64
// segments of one GSO send, and 64 KiB in all).
const u32 kBatchMax = 64;
const u32 kGsoBytesMax = 60 * 1024;
// Records kept at most: a burst larger than this (far above any window) goes out directly.
const u32 kPendMax = 4096;
// Wait for room in a full send buffer, once per batch, ms.
const int kFullWaitMs = 5;
// Waits per batch at most.
const u32 kFullWaits = 20;

// Off for good after the kernel refused a GSO send (an old kernel or a device without it).
std::atomic<u32> g_uGsoOff{0};

thread_local CQVDgramOut* t_lpCapture = nullptr;
thread_local u32 t_uDefer = 0;

bool SameDest(const QV_DGRAM_REC_S* a, const QV_DGRAM_REC_S* b)
{
    return a->uSaLen == b->uSaLen && memcmp(&a->Sa, &b->Sa, a->uSaLen) == 0;
}

bool Full(int iErr)
{
    return iErr == EAGAIN || iErr == EWOULDBLOCK || iErr == ENOBUFS;
}

bool WaitRoom(int hSocket, u32& uWaited)
{
    if (uWaited >= kFullWaits)
        return false;
    uWaited++;
    struct pollfd Pfd;
    Pfd.fd = hSocket;
    Pfd.events = POLLOUT;
    Pfd.revents = 0;
    return poll(&Pfd, 1, kFullWaitMs) > 0;
}

// One GSO send of records [0, n): all to one address, all of lpList[0]'s size but the last,
// which may be shorter. -1 when the kernel refuses GSO, else the errno of the send (0 sent).
int SendGso(int hSocket, QV_DGRAM_REC_S** lpList, u32 n)
{
    struct iovec Iov[kBatchMax];
    for (u32 i = 0; i < n; i++) {
        Iov[i].iov_base = lpList[i]->aData;
        Iov[i].iov_len = lpList[i]->uLen;
    }
    union {
        char aBuf[CMSG_SPACE(sizeof(u16))];
        struct cmsghdr Align;
    } Ctl;
    memset(&Ctl, 0, sizeof(Ctl));
    struct msghdr Msg;
    memset(&Msg, 0, sizeof(Msg));
    Msg.msg_name = &lpList[0]->Sa;
    Msg.msg_namelen = lpList[0]->uSaLen;
    Msg.msg_iov = Iov;
    Msg.msg_iovlen = n;
    Msg.msg_control = Ctl.aBuf;
    Msg.msg_controllen = sizeof(Ctl.aBuf);
    struct cmsghdr* c = CMSG_FIRSTHDR(&Msg);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof(u16));
    u16 uSeg = (u16)lpList[0]->uLen;
    memcpy(CMSG_DATA(c), &uSeg, sizeof(uSeg));
    if (sendmsg(hSocket, &Msg, 0) >= 0)
        return 0;
    int iErr = errno;
    if (iErr == EIO || iErr == EINVAL || iErr == ENOPROTOOPT || iErr == EOPNOTSUPP || iErr == ENOTSUP)
        return -1;
    return iErr ? iErr : EIO;
}

// sendmmsg of records [0, n); the number sent, the error of the first one not sent.
u32 SendMany(int hSocket, QV_DGRAM_REC_S** lpList, u32 n, int& iErr)
{
    struct mmsghdr Mh[kBatchMax];
    struct iovec Iov[kBatchMax];
    memset(Mh, 0, n * sizeof(Mh[0]));
    for (u32 i = 0; i < n; i++) {
        Iov[i].iov_base = lpList[i]->aData;
        Iov[i].iov_len = lpList[i]->uLen;
        Mh[i].msg_hdr.msg_name = &lpList[i]->Sa;
        Mh[i].msg_hdr.msg_namelen = lpList[i]->uSaLen;
        Mh[i].msg_hdr.msg_iov = &Iov[i];
        Mh[i].msg_hdr.msg_iovlen = 1;
    }
    int r = sendmmsg(hSocket, Mh, n, 0);
    iErr = r < (int)n ? (errno ? errno : EIO) : 0;
    return r > 0 ? (u32)r : 0;
}

} // namespace

u32 qvUdpSendBatch(int hSocket, QV_DGRAM_REC_S** lpList, u32 uCount)
{
    u32 uSent = 0, uWaited = 0, i = 0;
    while (i < uCount) {
        // A run for GSO: one address, one size (the last may be shorter).
        u32 k = 1, uBytes = lpList[i]->uLen;
        if (!g_uGsoOff.load(std::memory_order_relaxed)) {
            while (i + k < uCount && k < kBatchMax && SameDest(lpList[i], lpList[i + k]) &&
                   lpList[i + k]->uLen <= lpList[i]->uLen && uBytes + lpList[i + k]->uLen <= kGsoBytesMax) {
                uBytes += lpList[i + k]->uLen;
                k++;
                if (lpList[i + k - 1]->uLen < lpList[i]->uLen)
                    break;
            }
        }
        if (k >= 2) {
            int iErr = SendGso(hSocket, lpList + i, k);
            if (iErr < 0) {
                g_uGsoOff = 1;
                continue;
            }
            if (Full(iErr) && WaitRoom(hSocket, uWaited))
                continue;
            for (u32 n = 0; n < k; n++)
                lpList[i + n]->iErr = iErr;
            if (!iErr)
                uSent += k;
            i += k;
            continue;
        }
        // Up to the next GSO run, or all of the rest with GSO off, by sendmmsg.
        u32 n = 1;
        while (i + n < uCount && n < kBatchMax &&
               (g_uGsoOff.load(std::memory_order_relaxed) || !SameDest(lpList[i + n - 1], lpList[i + n]) ||
                lpList[i + n]->uLen != lpList[i + n - 1]->uLen))
            n++;
        int iErr = 0;
        u32 uDone = SendMany(hSocket, lpList + i, n, iErr);
        for (u32 m = 0; m < uDone; m++)
            lpList[i + m]->iErr = 0;
        uSent += uDone;
        i += uDone;
        if (uDone < n) {
            if (Full(iErr) && WaitRoom(hSocket, uWaited))
                continue;
            lpList[i]->iErr = iErr;
            i++;
        }
    }
    return uSent;
}

CQVDgramOut::CQVDgramOut() : m_uPend(0) {}

CQVDgramOut::~CQVDgramOut()
{
    for (QV_DGRAM_REC_S* r : m_Pend)
        delete r;
    for (QV_DGRAM_REC_S* r : m_Free)
        delete r;
    for (QV_DGRAM_REC_S* r : m_Batch)
        delete r;
}

u32 CQVDgramOut::Add(IQVDgramPort* lpPort, int hSocket, u32 uWhich, const struct sockaddr* lpSa, socklen_t uSaLen,
                     const void* lpData, u32 uLen)
{
    if (!lpPort || !lpSa || uSaLen > sizeof(struct sockaddr_storage) || uLen > QV_DGRAM_OUT_MAX ||
        (uLen && !lpData))
        return 0;
    std::lock_guard<std::mutex> lk(m_Que);
    if (m_Pend.size() >= kPendMax)
        return 0;
    QV_DGRAM_REC_S* r = nullptr;
    if (!m_Free.empty()) {
        r = m_Free.back();
        m_Free.pop_back();
    } else {
        r = new (std::nothrow) QV_DGRAM_REC_S;
        if (!r)
            return 0;
    }
    try {
        m_Pend.push_back(r);
    } catch (...) {
        delete r;
        return 0;
    }
    r->lpPort = lpPort;
    r->hSocket = hSocket;
    r->uWhich = uWhich;
    memcpy(&r->Sa, lpSa, uSaLen);
    r->uSaLen = uSaLen;
    r->uLen = uLen;
    r->iErr = 0;
    if (uLen)
        memcpy(r->aData, lpData, uLen);
    m_uPend.store((u32)m_Pend.size(), std::memory_order_relaxed);
    return 1;
}

void CQVDgramOut::Flush()
{
    if (!m_uPend.load(std::memory_order_relaxed))
        return;
    std::lock_guard<std::mutex> lkSend(m_Send);
    {
        std::lock_guard<std::mutex> lk(m_Que);
        m_Batch.swap(m_Pend);
        m_uPend.store(0, std::memory_order_relaxed);
    }
    u32 n = (u32)m_Batch.size();
    for (u32 i = 0; i < n;) {
        u32 k = 1;
        while (i + k < n && m_Batch[i + k]->lpPort == m_Batch[i]->lpPort)
            k++;
        m_Batch[i]->lpPort->DgramFlush(&m_Batch[i], k);
        i += k;
    }
    std::lock_guard<std::mutex> lk(m_Que);
    for (QV_DGRAM_REC_S* r : m_Batch) {
        try {
            m_Free.push_back(r);
        } catch (...) {
            delete r;
        }
    }
    m_Batch.clear();
}

CQVDgramOut* qvDgramCapture()
{
    return t_lpCapture;
}

CQVDgramCaptureScope::CQVDgramCaptureScope(CQVDgramOut* lpOut) : m_lpPrev(t_lpCapture)
{
    t_lpCapture = lpOut;
}

CQVDgramCaptureScope::~CQVDgramCaptureScope()
{
    End();
}

void CQVDgramCaptureScope::End()
{
    if (!m_uEnded)
        t_lpCapture = m_lpPrev;
    m_uEnded = 1;
}

CQVDgramDefer::CQVDgramDefer()
{
    t_uDefer++;
}

CQVDgramDefer::~CQVDgramDefer()
{
    t_uDefer--;
}

u32 qvDgramDeferred()
{
    return t_uDefer;
}

namespace {

// Reads per recvmmsg with UDP GRO, and the room of each: a coalesced read is at most 64 KiB
// (1 MiB in all per reader). Datagrams that were not coalesced take a read each.
const u32 kBigReads = 16;
const u32 kBigSize = 65536;
const u32 kBigCtl = 64;

} // namespace

CQVDgramIn::CQVDgramIn()
    : m_lpBuf(nullptr), m_uCount(0), m_uSize(0), m_lpMsg(nullptr), m_lpIov(nullptr), m_lpSa(nullptr), m_uGroOff(0),
      m_hGroTried(-1), m_lpBig(nullptr), m_lpBigMsg(nullptr), m_lpBigIov(nullptr), m_lpBigSa(nullptr),
      m_lpBigCtl(nullptr), m_uBigRead(0), m_uBigCur(0), m_uBigOff(0)
{
}

CQVDgramIn::~CQVDgramIn()
{
    Free();
}

u32 CQVDgramIn::Alloc(u32 uCount, u32 uSize)
{
    Free();
    if (!uCount || !uSize)
        return 0;
    m_lpBuf = new (std::nothrow) u8[(size_t)uCount * uSize];
    m_lpMsg = new (std::nothrow) struct mmsghdr[uCount];
    m_lpIov = new (std::nothrow) struct iovec[uCount];
    m_lpSa = new (std::nothrow) struct sockaddr_storage[uCount];
    if (!m_lpBuf || !m_lpMsg || !m_lpIov || !m_lpSa) {
        Free();
        return 0;
    }
    m_uCount = uCount;
    m_uSize = uSize;
    memset(m_lpBuf, 0, (size_t)uCount * uSize);
    return 1;
}

void CQVDgramIn::Free()
{
    delete[] m_lpBuf;
    delete[] m_lpMsg;
    delete[] m_lpIov;
    delete[] m_lpSa;
    m_lpBuf = nullptr;
    m_lpMsg = nullptr;
    m_lpIov = nullptr;
    m_lpSa = nullptr;
    BigFree();
    m_hGroTried = -1;
    m_uCount = m_uSize = 0;
}

void CQVDgramIn::BigFree()
{
    delete[] m_lpBig;
    delete[] m_lpBigMsg;
    delete[] m_lpBigIov;
    delete[] m_lpBigSa;
    delete[] m_lpBigCtl;
    m_lpBig = nullptr;
    m_lpBigMsg = nullptr;
    m_lpBigIov = nullptr;
    m_lpBigSa = nullptr;
    m_lpBigCtl = nullptr;
    m_uBigRead = m_uBigCur = m_uBigOff = 0;
}

void CQVDgramIn::GroTry(int hSocket)
{
    if (m_uGroOff || hSocket == m_hGroTried)
        return;
    m_hGroTried = hSocket;
    u32 uNew = !m_lpBig;
    if (uNew) {
        m_lpBig = new (std::nothrow) u8[(size_t)kBigReads * kBigSize];
        m_lpBigMsg = new (std::nothrow) struct mmsghdr[kBigReads];
        m_lpBigIov = new (std::nothrow) struct iovec[kBigReads];
        m_lpBigSa = new (std::nothrow) struct sockaddr_storage[kBigReads];
        m_lpBigCtl = new (std::nothrow) u8[(size_t)kBigReads * kBigCtl];
        if (!m_lpBig || !m_lpBigMsg || !m_lpBigIov || !m_lpBigSa || !m_lpBigCtl) {
            BigFree();
            return;
        }
    }
    // Once a socket may hand over coalesced reads, every read goes to the large buffers
    // (a read into a 2 KiB slot would cut one). A kernel that refuses the first socket keeps
    // plain reads; a later socket that refuses is read through the large buffers all the same.
    int iOn = 1;
    if (setsockopt(hSocket, SOL_UDP, UDP_GRO, &iOn, sizeof(iOn)) != 0 && uNew) {
        BigFree();
        m_uGroOff = 1;
    }
}

u32 CQVDgramIn::ReadBig(int hSocket)
{
    memset(m_lpBigMsg, 0, kBigReads * sizeof(m_lpBigMsg[0]));
    for (u32 i = 0; i < kBigReads; i++) {
        m_lpBigIov[i].iov_base = m_lpBig + (size_t)i * kBigSize;
        m_lpBigIov[i].iov_len = kBigSize;
        m_lpBigMsg[i].msg_hdr.msg_name = &m_lpBigSa[i];
        m_lpBigMsg[i].msg_hdr.msg_namelen = sizeof(m_lpBigSa[i]);
        m_lpBigMsg[i].msg_hdr.msg_iov = &m_lpBigIov[i];
        m_lpBigMsg[i].msg_hdr.msg_iovlen = 1;
        m_lpBigMsg[i].msg_hdr.msg_control = m_lpBigCtl + (size_t)i * kBigCtl;
        m_lpBigMsg[i].msg_hdr.msg_controllen = kBigCtl;
    }
    int r = recvmmsg(hSocket, m_lpBigMsg, kBigReads, MSG_DONTWAIT, nullptr);
    m_uBigRead = r > 0 ? (u32)r : 0;
    m_uBigCur = m_uBigOff = 0;
    return m_uBigRead;
}

u32 CQVDgramIn::ReceiveGro(int hSocket, u32 uRead)
{
    u32 n = 0, uReads = 0;
    while (n < m_uCount) {
        if (m_uBigCur >= m_uBigRead) {
            // A short recvmmsg means the socket is empty.
            if (!uRead || (uReads && m_uBigRead < kBigReads))
                break;
            if (!ReadBig(hSocket))
                break;
            uReads++;
        }
        struct mmsghdr& m = m_lpBigMsg[m_uBigCur];
        u32 uLen = m.msg_len;
        u32 uSeg = uLen;
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&m.msg_hdr); c; c = CMSG_NXTHDR(&m.msg_hdr, c)) {
            if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
                int iSeg = 0;
                memcpy(&iSeg, CMSG_DATA(c), sizeof(iSeg));
                if (iSeg > 0 && (u32)iSeg < uSeg)
                    uSeg = (u32)iSeg;
            }
        }
        // One datagram of the read (the last of a coalesced run may be shorter); a datagram
        // longer than a slot comes cut to the slot, as with recvfrom.
        u32 uPart = uLen - m_uBigOff < uSeg ? uLen - m_uBigOff : uSeg;
        u32 uCopy = uPart < m_uSize ? uPart : m_uSize;
        const u8* lpSrc = m_lpBig + (size_t)m_uBigCur * kBigSize + m_uBigOff;
        if (uCopy)
            memcpy(Data(n), lpSrc, uCopy);
        m_lpMsg[n].msg_len = uCopy;
        // The sender is copied with the datagram: a later read of this same call reuses the
        // address records of the large buffers.
        m_lpSa[n] = m_lpBigSa[m_uBigCur];
        n++;
        m_uBigOff += uPart;
        if (!uPart || m_uBigOff >= uLen) {
            m_uBigCur++;
            m_uBigOff = 0;
        }
    }
    return n;
}

u32 CQVDgramIn::Receive(int hSocket, u32 uRead)
{
    if (!m_lpBuf || hSocket < 0)
        return 0;
    if (!uRead && !Pending())
        return 0;
    GroTry(hSocket);
    if (m_lpBig)
        return ReceiveGro(hSocket, uRead);
    memset(m_lpMsg, 0, m_uCount * sizeof(m_lpMsg[0]));
    for (u32 i = 0; i < m_uCount; i++) {
        m_lpIov[i].iov_base = Data(i);
        m_lpIov[i].iov_len = m_uSize;
        m_lpMsg[i].msg_hdr.msg_name = &m_lpSa[i];
        m_lpMsg[i].msg_hdr.msg_namelen = sizeof(m_lpSa[i]);
        m_lpMsg[i].msg_hdr.msg_iov = &m_lpIov[i];
        m_lpMsg[i].msg_hdr.msg_iovlen = 1;
    }
    int r = recvmmsg(hSocket, m_lpMsg, m_uCount, MSG_DONTWAIT, nullptr);
    return r > 0 ? (u32)r : 0;
}

u32 CQVDgramIn::Len(u32 i) const
{
    // A datagram longer than the buffer comes cut to the buffer, as with recvfrom.
    return i < m_uCount ? m_lpMsg[i].msg_len : 0;
}

u32 CQVDgramIn::From(u32 i, QV_ADDR_S* lpFrom) const
{
    if (i >= m_uCount || !lpFrom)
        return 0;
    memset(lpFrom, 0, sizeof(*lpFrom));
    return qvAddrFromSockAddr((const struct sockaddr*)&m_lpSa[i], lpFrom);
}
