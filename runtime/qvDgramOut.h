// Batched datagram output. A layer that builds datagrams under its own lock collects them
// here instead of sending each one there, and sends the whole collection after releasing
// the lock: one sendmmsg per run of datagrams on one socket, and UDP GSO (one send for up
// to 64 equal-sized datagrams to one address) where the kernel accepts it.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "qvSocketAddr.h"
#include "qvType.h"

// Largest datagram a record holds, bytes.
#define QV_DGRAM_OUT_MAX 2048

// One datagram bound for a socket: its bytes, the destination, and after sending the error
// (0 sent, else errno).
typedef struct tagQV_DGRAM_REC_S {
    class IQVDgramPort* lpPort;
    int hSocket;
    u32 uWhich;                  // the port's own word (which of its sockets, ...)
    struct sockaddr_storage Sa;
    socklen_t uSaLen;
    u32 uLen;
    int iErr;
    u8 aData[QV_DGRAM_OUT_MAX];
} QV_DGRAM_REC_S;

// The owner of the sockets records are captured for (a driver). DgramFlush sends records
// that were captured for it, in order, and does what its own direct send would have done
// with each result (error counting); it checks under its lock that each record's descriptor
// is still its socket, and drops records whose socket is gone.
class IQVDgramPort {
public:
    virtual void DgramFlush(QV_DGRAM_REC_S** lpList, u32 uCount) = 0;

protected:
    ~IQVDgramPort() {}
};

// Sends uCount datagrams on one socket, in order, each record's iErr set. Runs of equal
// size to one address go out with UDP GSO (when the kernel refuses it once, never again),
// the rest with sendmmsg. A full send buffer is waited for a few ms once; what still does
// not fit is left with EAGAIN. Returns the number sent.
u32 qvUdpSendBatch(int hSocket, QV_DGRAM_REC_S** lpList, u32 uCount);

class CQVDgramOut {
public:
    CQVDgramOut();
    ~CQVDgramOut();
    CQVDgramOut(const CQVDgramOut&) = delete;
    CQVDgramOut& operator=(const CQVDgramOut&) = delete;

    // Takes a copy of one datagram; 0 when it is too long or the collection is full, and
    // the caller sends it directly. Called under the owner's lock, so the order of the
    // collection is the order in which the owner built its datagrams.
    u32 Add(IQVDgramPort* lpPort, int hSocket, u32 uWhich, const struct sockaddr* lpSa, socklen_t uSaLen,
            const void* lpData, u32 uLen);
    // Sends everything collected so far. Any thread, no lock of the owner held; flushes
    // run one at a time, so datagrams leave in the order they were added.
    void Flush();
    u32 Pending() const { return m_uPend.load(std::memory_order_relaxed); }

private:
    std::mutex m_Que;   // m_Pend and m_Free
    std::mutex m_Send;  // one flush at a time
    std::vector<QV_DGRAM_REC_S*> m_Pend;
    std::vector<QV_DGRAM_REC_S*> m_Free;
    std::vector<QV_DGRAM_REC_S*> m_Batch; // under m_Send
    std::atomic<u32> m_uPend;
};

// The collection the calling thread's datagrams go to, null when they are sent at once.
CQVDgramOut* qvDgramCapture();

// Points the calling thread's datagrams at a collection for the scope's life.
class CQVDgramCaptureScope {
public:
    explicit CQVDgramCaptureScope(CQVDgramOut* lpOut);
    ~CQVDgramCaptureScope();
    // Ends the scope early (the destructor then does nothing).
    void End();
    CQVDgramCaptureScope(const CQVDgramCaptureScope&) = delete;
    CQVDgramCaptureScope& operator=(const CQVDgramCaptureScope&) = delete;

private:
    CQVDgramOut* m_lpPrev;
    u32 m_uEnded = 0;
};

// A thread that runs a loop of its own (the socket process thread) defers the flushes that
// calls on it would make, to one point of its loop where it holds no lock: datagrams made
// while it handles a batch of received ones leave together.
class CQVDgramDefer {
public:
    CQVDgramDefer();
    ~CQVDgramDefer();
    CQVDgramDefer(const CQVDgramDefer&) = delete;
    CQVDgramDefer& operator=(const CQVDgramDefer&) = delete;
};
u32 qvDgramDeferred();

// Batched datagram input: one recvmmsg fills up to uCount buffers of uSize bytes each.
// Where the kernel allows it (UDP GRO), a socket it reads is switched to take runs of
// equal-sized datagrams from one sender as one read of up to 64 KiB; such a read is cut back
// into its datagrams here, so the caller sees exactly the datagrams that were sent, in order.
class CQVDgramIn {
public:
    CQVDgramIn();
    ~CQVDgramIn();
    CQVDgramIn(const CQVDgramIn&) = delete;
    CQVDgramIn& operator=(const CQVDgramIn&) = delete;

    u32 Alloc(u32 uCount, u32 uSize);
    void Free();
    u32 IsReady() const { return m_lpBuf != nullptr; }
    u32 Count() const { return m_uCount; }
    u32 Size() const { return m_uSize; }
    // Datagrams read (0 when none is queued or on error; errno tells). Fewer than Count()
    // with nothing Pending when the socket had no more. With uRead 0 only what is Pending
    // is given out, the socket is not read.
    u32 Receive(int hSocket, u32 uRead = 1);
    // Datagrams of a coalesced read that did not fit the slots yet: the socket's readiness no
    // longer tells of them, so the reader takes them before it waits again.
    u32 Pending() const { return m_lpBig && m_uBigCur < m_uBigRead; }
    u8* Data(u32 i) { return m_lpBuf + (size_t)i * m_uSize; }
    u32 Len(u32 i) const;
    // The sender of datagram i (port in host order, extra 0); 0 for an unknown family.
    u32 From(u32 i, QV_ADDR_S* lpFrom) const;

    // Reads without UDP GRO from now on (and never switches a socket to it).
    void GroOff() { m_uGroOff = 1; }
    u32 IsGro() const { return m_lpBig != nullptr; }

private:
    // Switches hSocket to UDP GRO once per descriptor number; the large buffers come first.
    void GroTry(int hSocket);
    u32 ReceiveGro(int hSocket, u32 uRead);
    u32 ReadBig(int hSocket);
    void BigFree();

    u8* m_lpBuf;
    u32 m_uCount;
    u32 m_uSize;
    struct mmsghdr* m_lpMsg;
    struct iovec* m_lpIov;
    struct sockaddr_storage* m_lpSa;
    // UDP GRO: reads of up to 64 KiB each, cut into datagrams copied to the slots above.
    u32 m_uGroOff;
    int m_hGroTried;
    u8* m_lpBig;
    struct mmsghdr* m_lpBigMsg;
    struct iovec* m_lpBigIov;
    struct sockaddr_storage* m_lpBigSa;
    u8* m_lpBigCtl;
    u32 m_uBigRead;   // reads in m_lpBig from the last recvmmsg
    u32 m_uBigCur;    // the read being cut
    u32 m_uBigOff;    // bytes of it already given out
};
