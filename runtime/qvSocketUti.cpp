// Non-blocking socket wrappers shared by the library's event loops.
#include "qvSocketUti.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "qvLog.h"
#include "qvSysNet.h"
#include "qvUtilize.h"

namespace {

// Result of a failed socket read or write.
const u32 SOCK_FAIL = 0xFFFFFFFFu;
// Pending connections a listening socket keeps.
const int LISTEN_BACKLOG = 128;
// A listen address without a port listens on HTTP's.
const u16 LISTEN_PORT_DEFAULT = 80;
// A connect socket that cannot be re-opened makes its loop pause this long (ms), so that a
// loop without other work does not spin.
const u32 CONNECT_RETRY_PAUSE_MS = 50;
// CalcBufSize: the base (KiB) is rounded up to this step, and the product is capped per mode.
const u64 BUF_BASE_STEP = 256;
const u64 BUF_MAX_KB_SCALED = 32768;   // mode != 0, scale in units of 1024
const u64 BUF_MAX_KB_UNSCALED = 16384; // mode 0, scale in units of 128

u32 CopyTag(char* lpszDst, const char* lpszTag)
{
    if (!lpszTag)
        lpszTag = "";
    size_t uLen = strlen(lpszTag);
    if (uLen > QV_SOCKET_TAG_MAX)
        return 0;
    memcpy(lpszDst, lpszTag, uLen + 1);
    return 1;
}

int SetNonBlocking(int hSocket)
{
    int iOn = 1;
    return ioctl(hSocket, FIONBIO, &iOn);
}

int SetBuffer(int hSocket, int iOpt, u32 uSize)
{
    int iSize = (int)(uSize > 0x7FFFFFFFu ? 0x7FFFFFFFu : uSize);
    return setsockopt(hSocket, SOL_SOCKET, iOpt, &iSize, sizeof(iSize));
}

void Readable(const QV_ADDR_S* lpAddr, char* lpszOut, u32 uSize)
{
    if (!qvAddrToReadable(lpAddr, lpszOut, uSize) && uSize)
        lpszOut[0] = '\0';
}

// Failure stages of the UDP open steps, so that TryOpen knows which failures to step over.
enum {
    UDP_OK = 0,
    UDP_FAIL_SOCKET,
    UDP_FAIL_NONBLOCK,
    UDP_FAIL_SNDBUF,
    UDP_FAIL_RCVBUF,
    UDP_FAIL_BIND,
    UDP_FAIL_NAME,
};

// Shared open steps of CQVSocketUDP and CQVSocketUDPStatic: socket, non-blocking, buffers,
// bind, local address. Returns the descriptor or -1 with the failed stage and errno.
int UdpOpen(u32 uIPVer, u32 uBufSize, const QV_ADDR_S* lpBind, QV_ADDR_S* lpLocal, int* lpStage,
            int* lpErrNo)
{
    int iFamily = (uIPVer == QV_ADDR_VER_IPV6) ? AF_INET6 : AF_INET;
    int iProto = (uIPVer == QV_ADDR_VER_IPV6) ? IPPROTO_UDP : 0;
    int iStage = UDP_OK;
    int hSocket = socket(iFamily, SOCK_DGRAM, iProto);
    if (hSocket < 0) {
        iStage = UDP_FAIL_SOCKET;
    } else if (SetNonBlocking(hSocket) != 0) {
        iStage = UDP_FAIL_NONBLOCK;
    } else if (uBufSize && SetBuffer(hSocket, SO_SNDBUF, uBufSize) != 0) {
        iStage = UDP_FAIL_SNDBUF;
    } else if (uBufSize && SetBuffer(hSocket, SO_RCVBUF, uBufSize) != 0) {
        iStage = UDP_FAIL_RCVBUF;
    } else {
        struct sockaddr_storage Sa;
        socklen_t uLen = (socklen_t)qvAddrToSockAddr(lpBind, uIPVer, &Sa);
        if (bind(hSocket, (struct sockaddr*)&Sa, uLen) != 0) {
            iStage = UDP_FAIL_BIND;
        } else {
            struct sockaddr_storage Local;
            socklen_t uLocalLen = sizeof(Local);
            if (getsockname(hSocket, (struct sockaddr*)&Local, &uLocalLen) != 0 ||
                !qvAddrFromSockAddr((struct sockaddr*)&Local, lpLocal))
                iStage = UDP_FAIL_NAME;
        }
    }
    *lpStage = iStage;
    if (iStage == UDP_OK) {
        *lpErrNo = 0;
        return hSocket;
    }
    *lpErrNo = errno;
    if (hSocket >= 0)
        close(hSocket);
    return -1;
}

u32 SendTo(int hSocket, const void* lpData, u32 uLen, const QV_ADDR_S* lpTo, u32 uIPVer)
{
    struct sockaddr_storage Sa;
    socklen_t uSaLen = (socklen_t)qvAddrToSockAddr(lpTo, uIPVer, &Sa);
    ssize_t iSent = sendto(hSocket, lpData, uLen, MSG_NOSIGNAL, (struct sockaddr*)&Sa, uSaLen);
    return iSent < 0 ? SOCK_FAIL : (u32)iSent;
}

u32 RecvFrom(int hSocket, void* lpBuf, u32 uSize, QV_ADDR_S* lpFrom)
{
    struct sockaddr_storage Sa;
    socklen_t uSaLen = sizeof(Sa);
    memset(&Sa, 0, sizeof(Sa));
    ssize_t iRecv = recvfrom(hSocket, lpBuf, uSize, 0, (struct sockaddr*)&Sa, &uSaLen);
    if (iRecv < 0)
        return SOCK_FAIL;
    if (lpFrom) {
        int iErrNo = errno;
        if (!qvAddrFromSockAddr((struct sockaddr*)&Sa, lpFrom))
            memset(lpFrom, 0, sizeof(*lpFrom));
        errno = iErrNo;
    }
    return (u32)iRecv;
}

// Adds an open descriptor to a view; the larger of it and iMaxFd.
int FdAdd(int hSocket, _qv_fd_set* lpSet, int iMaxFd)
{
    if (hSocket < 0)
        return iMaxFd;
    QV_FD_SET(hSocket, lpSet);
    return hSocket > iMaxFd ? hSocket : iMaxFd;
}

// 1 when the descriptor is open and the last wait found it ready for the view.
u32 FdReady(int hSocket, _qv_fd_set* lpSet)
{
    return (hSocket >= 0 && QV_FD_ISSET(hSocket, lpSet)) ? 1 : 0;
}

u32 g_uSocketInit = 0;
QV_ADDR_S g_AddrProxy;
QV_SOCKET_GET_PRIV_PROC g_lpfnGetPriv = nullptr;

} // namespace

// ---------------------------------------------------------------------------------------------
// CQVSocketQueue

CQVSocketQueue::CQVSocketQueue()
    : m_hSocket(-1), m_uStampOpen(0), m_uTimeCur(0), m_uErrCnt(0), m_uBufSize(0),
      m_uErrLimit(0), m_Owner(pthread_self()), m_uClosePending(0), m_uPortQue(0), m_uConfigured(0)
{
    memset(&m_AddrQue, 0, sizeof(m_AddrQue));
    m_szTag[0] = '\0';
}

CQVSocketQueue::~CQVSocketQueue()
{
    int hSocket = m_hSocket.exchange(-1);
    if (hSocket >= 0)
        close(hSocket);
}

u32 CQVSocketQueue::Open(const char* lpszTag, u32 uBufSize, u32 uErrLimit)
{
    if (!CopyTag(m_szTag, lpszTag))
        return 0;
    if (m_hSocket >= 0)
        Close();
    m_uBufSize = uBufSize;
    m_uErrLimit = uErrLimit;
    m_Owner = pthread_self();
    m_uConfigured = 1;
    return ReOpen();
}

u32 CQVSocketQueue::ReOpen()
{
    m_uStampOpen = m_uTimeCur;
    m_uClosePending = 0;
    int hSocket = socket(AF_INET, SOCK_DGRAM, 0);
    int iErrNo = 0;
    struct sockaddr_in Addr;
    memset(&Addr, 0, sizeof(Addr));
    Addr.sin_family = AF_INET;
    Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t uLen = sizeof(Addr);
    if (hSocket < 0 || SetNonBlocking(hSocket) != 0 ||
        (m_uBufSize && (SetBuffer(hSocket, SO_SNDBUF, m_uBufSize) != 0 ||
                        SetBuffer(hSocket, SO_RCVBUF, m_uBufSize) != 0)) ||
        bind(hSocket, (struct sockaddr*)&Addr, sizeof(Addr)) != 0 ||
        getsockname(hSocket, (struct sockaddr*)&Addr, &uLen) != 0) {
        iErrNo = errno;
        if (hSocket >= 0)
            close(hSocket);
        qvLogOut(0, "SocketQueue::Open failed, Tag=%s, errno=%d", m_szTag, iErrNo);
        return 0;
    }
    m_AddrQue = Addr;
    m_uPortQue = Addr.sin_port;
    m_uErrCnt = 0;
    m_hSocket = hSocket;

    QV_ADDR_S AddrQue;
    char szAddr[QV_ADDR_STR_SIZE];
    qvAddrFromSockAddr((struct sockaddr*)&Addr, &AddrQue);
    Readable(&AddrQue, szAddr, sizeof(szAddr));
    qvLogOut(1, "SocketQueue::Open, Tag=%s, hSocket=%d, szAddrQue=%s", m_szTag, hSocket, szAddr);
    m_uOpens++;
    OnOpen();
    return 1;
}

void CQVSocketQueue::Close()
{
    int hSocket = m_hSocket.exchange(-1);
    m_uStampOpen = m_uTimeCur;
    if (hSocket >= 0) {
        qvEpollForget(m_lpWatch, hSocket);
        close(hSocket);
        OnClose();
    }
    qvLogOut(1, "SocketQueue::Close, finish, Tag=%s", m_szTag);
}

u32 CQVSocketQueue::IsOpened() const
{
    return m_hSocket >= 0 ? 1 : 0;
}

void CQVSocketQueue::CloseOnError()
{
    // Never in the tick of the last open or close: a socket that fails at once is retried
    // only after the owner has fed a new time.
    if (m_uTimeCur != m_uStampOpen)
        Close();
}

u32 CQVSocketQueue::Send(const void* lpData, u32 uLen, u32 uCloseOnError)
{
    int hSocket = m_hSocket;
    if (hSocket < 0 || (!lpData && uLen))
        return SOCK_FAIL;
    struct sockaddr_in To;
    memset(&To, 0, sizeof(To));
    To.sin_family = AF_INET;
    To.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    To.sin_port = m_uPortQue;
    ssize_t iSent = sendto(hSocket, lpData, uLen, MSG_NOSIGNAL, (struct sockaddr*)&To, sizeof(To));
    if (iSent >= 0)
        return (u32)iSent;
    u32 uErr = (u32)errno;
    qvLogOut(0, "SocketQueue::Send msg failed, Tag=%s, uErr=%u", m_szTag, uErr);
    qvPrintf("CQVSocketQueue: Send msg failed, Tag=%s, uErr=%u", m_szTag, uErr);
    if (uCloseOnError && uErr != 0 && uErr != EAGAIN && uErr != EINPROGRESS) {
        // Only the owner's thread may close: its loop may be using the descriptor right now,
        // and a closed number can be reused at once by another open. Others leave the close
        // to the owner's next FdSet.
        if (pthread_equal(pthread_self(), m_Owner.load()))
            CloseOnError();
        else
            m_uClosePending = 1;
    }
    return SOCK_FAIL;
}

u32 CQVSocketQueue::Receive(void* lpBuf, u32 uSize)
{
    int hSocket = m_hSocket;
    if (hSocket < 0 || !lpBuf)
        return SOCK_FAIL;
    struct sockaddr_in From;
    socklen_t uFromLen = sizeof(From);
    memset(&From, 0, sizeof(From));
    ssize_t iRecv = recvfrom(hSocket, lpBuf, uSize, 0, (struct sockaddr*)&From, &uFromLen);
    if (iRecv < 0) {
        u32 uErr = (u32)errno;
        // Nothing queued is not a fault of the socket.
        if (uErr == EAGAIN || uErr == EINTR)
            return SOCK_FAIL;
        qvLogOut(0, "SocketQueue::Receive msg failed, Tag=%s, uErr=%u", m_szTag, uErr);
        qvPrintf("CQVSocketQueue: Receive msg failed, Tag=%s, uErr=%u", m_szTag, uErr);
        if (++m_uErrCnt >= m_uErrLimit)
            CloseOnError();
        return SOCK_FAIL;
    }
    if (From.sin_family != AF_INET || From.sin_addr.s_addr != m_AddrQue.sin_addr.s_addr ||
        From.sin_port != m_AddrQue.sin_port) {
        QV_ADDR_S AddrRecv;
        char szAddr[QV_ADDR_STR_SIZE];
        if (!qvAddrFromSockAddr((struct sockaddr*)&From, &AddrRecv))
            memset(&AddrRecv, 0, sizeof(AddrRecv));
        Readable(&AddrRecv, szAddr, sizeof(szAddr));
        qvLogOut(1, "SocketQueue::Receive, Skip the external msg, Tag=%s, szAddrRecv=%s", m_szTag,
                 szAddr);
        qvPrintf("CQVSocketQueue: Receive, Skip the external msg, Tag=%s, szAddrRecv=%s", m_szTag,
                 szAddr);
        return SOCK_FAIL;
    }
    m_uErrCnt = 0;
    return (u32)iRecv;
}

int CQVSocketQueue::FdSet(_qv_fd_set* lpSet, int iMaxFd)
{
    m_Owner = pthread_self();
    if (m_uClosePending.exchange(0) && m_hSocket >= 0)
        CloseOnError();
    if (m_hSocket < 0 && m_uConfigured && m_uTimeCur != m_uStampOpen)
        ReOpen();
    return FdAdd(m_hSocket, lpSet, iMaxFd);
}

u32 CQVSocketQueue::FdCheck(_qv_fd_set* lpSet)
{
    return FdReady(m_hSocket, lpSet);
}

void CQVSocketQueue::TimerProc(u32 uNow)
{
    m_uTimeCur = uNow;
}

// ---------------------------------------------------------------------------------------------
// CQVSocketUDP

CQVSocketUDP::CQVSocketUDP()
    : m_hSocket(-1), m_uErrCnt(0), m_uStampErr(0), m_iErrNo(0), m_uTimeCur(0),
      m_uIPVersion(QV_ADDR_VER_NONE), m_uBufMode(0), m_uBufScale(0), m_uBufBase(0),
      m_uErrLimit(0), m_uStampOpen(0)
{
    memset(&m_AddrLocal, 0, sizeof(m_AddrLocal));
    memset(&m_AddrBind, 0, sizeof(m_AddrBind));
    m_szTag[0] = '\0';
}

CQVSocketUDP::~CQVSocketUDP()
{
    if (m_hSocket >= 0)
        close(m_hSocket);
}

void CQVSocketUDP::OnError(int iErrNo, const QV_ADDR_S* lpAddr)
{
    char szAddr[QV_ADDR_STR_SIZE];
    Readable(lpAddr, szAddr, sizeof(szAddr));
    qvLogOut(2, "SocketUDP::OnError, Tag=%s, iErrNo=%d, szAddr=%s", m_szTag, iErrNo, szAddr);
}

u32 CQVSocketUDP::Config(const char* lpszTag, u32 uIPVersion, const QV_ADDR_S* lpBind,
                         u32 uBufMode, u32 uBufScale, u32 uBufBase, u32 uErrLimit)
{
    if (uIPVersion != QV_ADDR_VER_IPV4 && uIPVersion != QV_ADDR_VER_IPV6)
        return 0;
    if (!CopyTag(m_szTag, lpszTag))
        return 0;
    m_uIPVersion = uIPVersion;
    memset(&m_AddrBind, 0, sizeof(m_AddrBind));
    if (lpBind) {
        m_AddrBind = *lpBind;
        u32 uVer = qvAddrIPVer(lpBind);
        // A loopback bind address would hide the socket from its peers: the any-address keeps
        // the port and reaches every interface.
        u32 uAny = 0;
        if (uIPVersion == QV_ADDR_VER_IPV4)
            uAny = (uVer == QV_ADDR_VER_IPV6) ||
                   (uVer == QV_ADDR_VER_IPV4 && (ntohl(lpBind->uAddr[3]) >> 24) == 127);
        else
            uAny = (uVer == QV_ADDR_VER_IPV6 && qvAddrIPArea(lpBind) == QV_ADDR_AREA_V6_HOST &&
                    lpBind->uAddr[3] == htonl(1));
        if (uAny)
            memset(m_AddrBind.uAddr, 0, sizeof(m_AddrBind.uAddr));
    }
    m_uBufMode = uBufMode;
    m_uBufScale = uBufScale;
    m_uBufBase = uBufBase;
    m_uErrLimit = uErrLimit;
    return 1;
}

u32 CQVSocketUDP::CalcBufSize(u32 uMode, u32 uScale, u32 uBase)
{
    u64 uBaseKB = ((u64)uBase + BUF_BASE_STEP - 1) / BUF_BASE_STEP * BUF_BASE_STEP;
    u64 uKB;
    if (uMode) {
        u64 uFactor = uScale / 1024 ? uScale / 1024 : 1;
        uKB = uBaseKB * uFactor;
        if (uKB > BUF_MAX_KB_SCALED)
            uKB = BUF_MAX_KB_SCALED;
    } else {
        u64 uFactor = uScale / 128 ? uScale / 128 : 1;
        uKB = uBaseKB * uFactor;
        if (uKB > BUF_MAX_KB_UNSCALED)
            uKB = BUF_MAX_KB_UNSCALED;
    }
    return (u32)(uKB * 1024);
}

u32 CQVSocketUDP::Open()
{
    if (m_uIPVersion != QV_ADDR_VER_IPV4 && m_uIPVersion != QV_ADDR_VER_IPV6)
        return 0;
    if (m_hSocket >= 0)
        Close();
    m_uStampOpen = m_uTimeCur;
    u32 uBufSize = m_uBufBase ? CalcBufSize(m_uBufMode, m_uBufScale, m_uBufBase) : 0;
    int iStage = UDP_OK, iErrNo = 0;
    QV_ADDR_S AddrLocal;
    int hSocket = UdpOpen(m_uIPVersion, uBufSize, &m_AddrBind, &AddrLocal, &iStage, &iErrNo);
    if (hSocket < 0) {
        m_iErrNo = iErrNo;
        u32 uV6 = (m_uIPVersion == QV_ADDR_VER_IPV6);
        switch (iStage) {
        case UDP_FAIL_SOCKET:
            qvLogOut(0, "SocketUDP::Open, Open udp socket failed, Tag=%s, errno=%d", m_szTag,
                     iErrNo);
            break;
        case UDP_FAIL_NONBLOCK:
            qvLogOut(0, "SocketUDP::Open, ioctlsocket udp socket failed, Tag=%s, errno=%d",
                     m_szTag, iErrNo);
            break;
        case UDP_FAIL_SNDBUF:
            qvLogOut(0, "SocketUDP::Open, set send buffer size failed, Tag=%s, errno=%d", m_szTag,
                     iErrNo);
            break;
        case UDP_FAIL_RCVBUF:
            qvLogOut(0, "SocketUDP::Open, set recv buffer size failed, Tag=%s, errno=%d", m_szTag,
                     iErrNo);
            break;
        case UDP_FAIL_BIND:
            if (uV6)
                qvLogOut(0, "SocketUDP::Open, bind socket6 failed, Tag=%s, errno=%d", m_szTag,
                         iErrNo);
            else
                qvLogOut(0, "SocketUDP::Open, Bind socket4 failed, Tag=%s, errno=%d", m_szTag,
                         iErrNo);
            break;
        default:
            if (uV6)
                qvLogOut(0, "SocketUDP::Open, getsockname6 failed, Tag=%s, errno=%d", m_szTag,
                         iErrNo);
            else
                qvLogOut(0, "SocketUDP::Open, getsockname4 failed, Tag=%s, errno=%d", m_szTag,
                         iErrNo);
            break;
        }
        return 0;
    }
    m_hSocket = hSocket;
    m_AddrLocal = AddrLocal;
    m_uErrCnt = 0;
    char szAddr[QV_ADDR_STR_SIZE];
    Readable(&m_AddrLocal, szAddr, sizeof(szAddr));
    qvLogOut(3, "SocketUDP::Open, success. Tag=%s, hSocket=%u, szAddr=%s", m_szTag, (u32)hSocket,
             szAddr);
    return 1;
}

void CQVSocketUDP::Close()
{
    if (m_hSocket >= 0)
        close(m_hSocket);
    m_hSocket = -1;
    m_uStampOpen = m_uTimeCur;
}

u32 CQVSocketUDP::Send(const void* lpData, u32 uLen, const QV_ADDR_S* lpTo, u32 uTTL)
{
    if (m_hSocket < 0 || !lpTo || (!lpData && uLen))
        return SOCK_FAIL;
    u32 uV6 = (m_uIPVersion == QV_ADDR_VER_IPV6);
    int iLevel = uV6 ? IPPROTO_IPV6 : IPPROTO_IP;
    int iOpt = uV6 ? IPV6_UNICAST_HOPS : IP_TTL;
    int iTTLOld = 0;
    if (uTTL) {
        // Above 255 no hop limit exists (and -1 as int would silently mean the default).
        if (uTTL > 255) {
            m_iErrNo = EINVAL;
            return SOCK_FAIL;
        }
        socklen_t uOptLen = sizeof(iTTLOld);
        int iTTL = (int)uTTL;
        if (getsockopt(m_hSocket, iLevel, iOpt, &iTTLOld, &uOptLen) != 0 ||
            setsockopt(m_hSocket, iLevel, iOpt, &iTTL, sizeof(iTTL)) != 0) {
            m_iErrNo = errno;
            return SOCK_FAIL;
        }
    }
    u32 uSent = SendTo(m_hSocket, lpData, uLen, lpTo, m_uIPVersion);
    int iErrNo = errno;
    if (uTTL)
        setsockopt(m_hSocket, iLevel, iOpt, &iTTLOld, sizeof(iTTLOld));
    return SendResult(uSent != SOCK_FAIL ? 0 : iErrNo, uSent, lpTo);
}

u32 CQVSocketUDP::SendResult(int iErrNo, u32 uSent, const QV_ADDR_S* lpTo)
{
    if (uSent != SOCK_FAIL) {
        m_uErrCnt = 0;
        return uSent;
    }
    if (iErrNo == 0 || iErrNo == EAGAIN)
        return 0;
    m_iErrNo = iErrNo;
    if (++m_uErrCnt >= m_uErrLimit) {
        m_uErrCnt = 0;
        m_uStampErr = m_uTimeCur.load();
        OnError(iErrNo, lpTo);
    }
    return SOCK_FAIL;
}

u32 CQVSocketUDP::Receive(void* lpBuf, u32 uSize, QV_ADDR_S* lpFrom)
{
    if (m_hSocket < 0 || !lpBuf)
        return SOCK_FAIL;
    u32 uRecv = RecvFrom(m_hSocket, lpBuf, uSize, lpFrom);
    if (uRecv == SOCK_FAIL) {
        m_iErrNo = errno;
        return SOCK_FAIL;
    }
    m_uErrCnt = 0;
    return uRecv;
}

int CQVSocketUDP::FdSet(_qv_fd_set* lpSet, int iMaxFd)
{
    if (m_hSocket < 0 && m_uIPVersion != QV_ADDR_VER_NONE && m_uTimeCur != m_uStampOpen)
        Open();
    return FdAdd(m_hSocket, lpSet, iMaxFd);
}

u32 CQVSocketUDP::FdCheck(_qv_fd_set* lpSet)
{
    return FdReady(m_hSocket, lpSet);
}

void CQVSocketUDP::TimerProc(u32 uNow)
{
    m_uTimeCur = uNow;
}

u32 CQVSocketUDP::GetSocket(int* lpSocket, u32 uSlots)
{
    if (!lpSocket || uSlots == 0)
        return 0;
    lpSocket[0] = m_hSocket;
    return 1;
}

void CQVSocketUDP::GetAddr(QV_ADDR_S* lpAddr)
{
    if (lpAddr)
        *lpAddr = m_AddrLocal;
}

int CQVSocketUDP::GetError()
{
    int iErrNo = m_iErrNo;
    m_iErrNo = 0;
    return iErrNo;
}

// ---------------------------------------------------------------------------------------------
// CQVSocketUDPStatic

namespace {

int StaticOpen(u32 uIPVer, u32 uBufSize, const QV_ADDR_S* lpBind, QV_ADDR_S* lpLocal,
               int* lpStage)
{
    if (!lpBind || !lpLocal) {
        qvLogOut(0, "SocketUDPStatic::Open, parameters invalid");
        *lpStage = UDP_FAIL_SOCKET;
        return -1;
    }
    int iErrNo = 0;
    int hSocket = UdpOpen(uIPVer, uBufSize, lpBind, lpLocal, lpStage, &iErrNo);
    if (hSocket >= 0)
        return hSocket;
    u32 uV6 = (uIPVer == QV_ADDR_VER_IPV6);
    char szAddr[QV_ADDR_STR_SIZE];
    switch (*lpStage) {
    case UDP_FAIL_SOCKET:
        qvLogOut(0, "SocketUDPStatic::Open, Open udp socket failed, errno=%d", iErrNo);
        break;
    case UDP_FAIL_NONBLOCK:
        qvLogOut(0, "SocketUDPStatic::Open, ioctlsocket udp socket failed, errno=%d", iErrNo);
        break;
    case UDP_FAIL_SNDBUF:
        qvLogOut(0, "SocketUDPStatic::Open, set send buffer size failed, errno=%d", iErrNo);
        break;
    case UDP_FAIL_RCVBUF:
        qvLogOut(0, "SocketUDPStatic::Open, set recv buffer size failed, errno=%d", iErrNo);
        break;
    case UDP_FAIL_BIND:
        Readable(lpBind, szAddr, sizeof(szAddr));
        if (uV6)
            qvLogOut(0, "SocketUDPStatic::Open, bind socket6 failed, errno=%d, AddrBind=%s",
                     iErrNo, szAddr);
        else
            qvLogOut(0, "SocketUDPStatic::Open, Bind socket4 failed, errno=%d, AddrBind=%s",
                     iErrNo, szAddr);
        break;
    default:
        if (uV6)
            qvLogOut(0, "SocketUDPStatic::Open, getsockname6 failed, errno=%d", iErrNo);
        else
            qvLogOut(0, "SocketUDPStatic::Open, getsockname4 failed, errno=%d", iErrNo);
        break;
    }
    return -1;
}

int StaticTryOpen(u32 uIPVer, u32 uTries, const QV_ADDR_S* lpBind, u32& uPort)
{
    if (!lpBind) {
        qvLogOut(0, "SocketUDPStatic::Open, parameters invalid");
        return -1;
    }
    QV_ADDR_S AddrBind = *lpBind;
    for (u32 i = 0; i < uTries; i++) {
        u32 uTryPort = (u32)lpBind->uPort + i;
        if (uTryPort > 0xFFFF)
            break;
        AddrBind.uPort = (u16)uTryPort;
        QV_ADDR_S AddrLocal;
        int iStage = UDP_OK;
        int hSocket = StaticOpen(uIPVer, 0, &AddrBind, &AddrLocal, &iStage);
        if (hSocket >= 0) {
            uPort = AddrLocal.uPort;
            return hSocket;
        }
        if (iStage != UDP_FAIL_SOCKET && iStage != UDP_FAIL_BIND)
            break;
    }
    return -1;
}

} // namespace

int CQVSocketUDPStatic::Open4(u32 uBufSize, const QV_ADDR_S* lpBind, QV_ADDR_S* lpLocal)
{
    int iStage = UDP_OK;
    return StaticOpen(QV_ADDR_VER_IPV4, uBufSize, lpBind, lpLocal, &iStage);
}

int CQVSocketUDPStatic::Open6(u32 uBufSize, const QV_ADDR_S* lpBind, QV_ADDR_S* lpLocal)
{
    int iStage = UDP_OK;
    return StaticOpen(QV_ADDR_VER_IPV6, uBufSize, lpBind, lpLocal, &iStage);
}

int CQVSocketUDPStatic::TryOpen4(u32 uTries, const QV_ADDR_S* lpBind, u32& uPort)
{
    return StaticTryOpen(QV_ADDR_VER_IPV4, uTries, lpBind, uPort);
}

int CQVSocketUDPStatic::TryOpen6(u32 uTries, const QV_ADDR_S* lpBind, u32& uPort)
{
    return StaticTryOpen(QV_ADDR_VER_IPV6, uTries, lpBind, uPort);
}

u32 CQVSocketUDPStatic::Send4(int hSocket, const void* lpData, u32 uLen, const QV_ADDR_S* lpTo)
{
    if (hSocket < 0 || !lpTo || (!lpData && uLen))
        return SOCK_FAIL;
    return SendTo(hSocket, lpData, uLen, lpTo, QV_ADDR_VER_IPV4);
}

u32 CQVSocketUDPStatic::Send6(int hSocket, const void* lpData, u32 uLen, const QV_ADDR_S* lpTo)
{
    if (hSocket < 0 || !lpTo || (!lpData && uLen))
        return SOCK_FAIL;
    return SendTo(hSocket, lpData, uLen, lpTo, QV_ADDR_VER_IPV6);
}

u32 CQVSocketUDPStatic::Receive4(int hSocket, void* lpBuf, u32 uSize, QV_ADDR_S* lpFrom)
{
    if (hSocket < 0 || !lpBuf)
        return SOCK_FAIL;
    return RecvFrom(hSocket, lpBuf, uSize, lpFrom);
}

u32 CQVSocketUDPStatic::Receive6(int hSocket, void* lpBuf, u32 uSize, QV_ADDR_S* lpFrom)
{
    if (hSocket < 0 || !lpBuf)
        return SOCK_FAIL;
    return RecvFrom(hSocket, lpBuf, uSize, lpFrom);
}

void CQVSocketUDPStatic::Close(int hSocket)
{
    if (hSocket >= 0)
        close(hSocket);
}

// ---------------------------------------------------------------------------------------------
// CQVSocketListen

// Errors of a listening socket that say nothing about the socket itself: nothing was pending,
// or the client went away before it was accepted.
static u32 IsTransientAcceptError(int iErrNo)
{
    return (iErrNo == EAGAIN || iErrNo == EINTR || iErrNo == ECONNABORTED) ? 1 : 0;
}

CQVSocketListen::CQVSocketListen()
    : m_hSocket(-1), m_uStampOpen(0), m_uTimeCur(0), m_uErrCnt(0), m_uErrLimit(8),
      m_uConfigured(0)
{
    m_szTag[0] = '\0';
    memset(&m_AddrListen, 0, sizeof(m_AddrListen));
}

CQVSocketListen::~CQVSocketListen()
{
    if (m_hSocket >= 0)
        close(m_hSocket);
}

u32 CQVSocketListen::Open(const char* lpszTag, const QV_ADDR_S* lpAddr, u32 uErrLimit)
{
    if (!lpAddr || !CopyTag(m_szTag, lpszTag))
        return 0;
    if (m_hSocket >= 0)
        Close();
    m_AddrListen = *lpAddr;
    if (m_AddrListen.uPort == 0)
        m_AddrListen.uPort = LISTEN_PORT_DEFAULT;
    m_uErrLimit = uErrLimit;
    m_uConfigured = 1;
    return ReOpen();
}

u32 CQVSocketListen::ReOpen()
{
    m_uStampOpen = m_uTimeCur;
    char szAddr[QV_ADDR_STR_SIZE];
    Readable(&m_AddrListen, szAddr, sizeof(szAddr));
    int hSocket = socket(AF_INET, SOCK_STREAM, 0);
    if (hSocket < 0) {
        qvLogOut(0, "SocketListen::Open, open socket failed. Tag=%s, errno=%d", m_szTag, errno);
        return 0;
    }
    int iOn = 1;
    if (SetNonBlocking(hSocket) != 0) {
        qvLogOut(0, "SocketListen::Open, set unblock failed. Tag=%s, errno=%d", m_szTag, errno);
    } else if (setsockopt(hSocket, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn)) != 0) {
        qvLogOut(0, "SocketListen::Open, set reuseaddr failed. Tag=%s, errno=%d", m_szTag,
                 errno);
    } else {
        struct sockaddr_storage Sa;
        // Only IPv4 is listened on; an IPv6 address would otherwise be cut to its last word.
        socklen_t uLen = qvAddrIPVer(&m_AddrListen) == QV_ADDR_VER_IPV6
                             ? 0
                             : (socklen_t)qvAddrToSockAddr(&m_AddrListen, QV_ADDR_VER_IPV4, &Sa);
        if (uLen == 0)
            errno = EAFNOSUPPORT;
        if (uLen == 0 || bind(hSocket, (struct sockaddr*)&Sa, uLen) != 0) {
            qvLogOut(0, "SocketListen::Open, bind socket failed. Tag=%s, szAddr=%s, errno=%d",
                     m_szTag, szAddr, errno);
        } else if (listen(hSocket, LISTEN_BACKLOG) != 0) {
            qvLogOut(0, "SocketListen::Open, listen socket failed. Tag=%s, errno=%d", m_szTag,
                     errno);
        } else {
            m_hSocket = hSocket;
            m_uErrCnt = 0;
            qvLogOut(1, "SocketListen::Open, Tag=%s, hSocket=%d, szAddr=%s", m_szTag, hSocket,
                     szAddr);
            return 1;
        }
    }
    close(hSocket);
    return 0;
}

void CQVSocketListen::CloseOnError()
{
    if (m_uTimeCur != m_uStampOpen)
        Close();
}

int CQVSocketListen::Accept(QV_ADDR_S* lpPeer)
{
    if (m_hSocket < 0)
        return -1;
    struct sockaddr_in Peer;
    socklen_t uLen = sizeof(Peer);
    memset(&Peer, 0, sizeof(Peer));
    int hNew = accept(m_hSocket, (struct sockaddr*)&Peer, &uLen);
    if (hNew < 0) {
        int iErrNo = errno;
        if (IsTransientAcceptError(iErrNo))
            return -1;
        qvLogOut(0, "SocketListen::Accept, accept socket failed. Tag=%s, errno=%d", m_szTag,
                 iErrNo);
        qvPrintf("CQVSocketListen::Accept, accept socket failed. Tag=%s, errno=%d", m_szTag,
                 iErrNo);
        if (++m_uErrCnt >= m_uErrLimit)
            CloseOnError();
        return -1;
    }
    m_uErrCnt = 0;
    if (lpPeer && !qvAddrFromSockAddr((struct sockaddr*)&Peer, lpPeer))
        memset(lpPeer, 0, sizeof(*lpPeer));
    return hNew;
}

u32 CQVSocketListen::Check()
{
    if (m_hSocket < 0)
        return 0;
    int iValue = 0;
    socklen_t uLen = sizeof(iValue);
    if (getsockopt(m_hSocket, SOL_SOCKET, SO_REUSEADDR, &iValue, &uLen) != 0) {
        Close();
        return 0;
    }
    return 1;
}

void CQVSocketListen::Close()
{
    if (m_hSocket >= 0) {
        qvEpollForget(m_lpWatch, m_hSocket);
        shutdown(m_hSocket, SHUT_WR);
        close(m_hSocket);
        m_hSocket = -1;
    }
    m_uStampOpen = m_uTimeCur;
    char szAddr[QV_ADDR_STR_SIZE];
    Readable(&m_AddrListen, szAddr, sizeof(szAddr));
    qvLogOut(1, "SocketListen::Close, finish, Tag=%s, szAddr=%s", m_szTag, szAddr);
}

int CQVSocketListen::FdSet(_qv_fd_set* lpSet, int iMaxFd)
{
    if (m_hSocket < 0 && m_uConfigured && m_uTimeCur != m_uStampOpen)
        ReOpen();
    return FdAdd(m_hSocket, lpSet, iMaxFd);
}

u32 CQVSocketListen::FdCheck(_qv_fd_set* lpSet)
{
    return FdReady(m_hSocket, lpSet);
}

void CQVSocketListen::TimerProc(u32 uNow)
{
    m_uTimeCur = uNow;
}

// ---------------------------------------------------------------------------------------------
// CQVSocketConnect

CQVSocketConnect::CQVSocketConnect()
    : m_hSocket(-1), m_uErrCnt(0), m_uBufSize(0), m_uErrLimit(0), m_uConfigured(0)
{
    memset(&m_AddrServer, 0, sizeof(m_AddrServer));
    m_szTag[0] = '\0';
}

CQVSocketConnect::~CQVSocketConnect()
{
    if (m_hSocket >= 0)
        close(m_hSocket);
}

u32 CQVSocketConnect::Open(const char* lpszTag, const QV_ADDR_S* lpServer, u32 uBufSize,
                           u32 uErrLimit)
{
    if (!CopyTag(m_szTag, lpszTag))
        return 0;
    if (m_hSocket >= 0)
        Close();
    memset(&m_AddrServer, 0, sizeof(m_AddrServer));
    if (lpServer)
        m_AddrServer = *lpServer;
    m_uBufSize = uBufSize;
    m_uErrLimit = uErrLimit;
    m_uConfigured = 1;
    return ReOpen();
}

u32 CQVSocketConnect::ReOpen()
{
    char szAddr[QV_ADDR_STR_SIZE];
    Readable(&m_AddrServer, szAddr, sizeof(szAddr));
    u32 uVer = qvAddrIPVer(&m_AddrServer);
    if (uVer == QV_ADDR_VER_NONE) {
        qvLogOut(0, "SocketConnect::Open, invalid server addres, Tag=%s, SvrAddr=%s", m_szTag,
                 szAddr);
        return 0;
    }
    int hSocket = socket(uVer == QV_ADDR_VER_IPV6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (hSocket < 0) {
        qvLogOut(0, "SocketConnect::Open failed, Tag=%s, errno=%d", m_szTag, errno);
        return 0;
    }
    int iOn = 1;
    struct sockaddr_storage Sa;
    socklen_t uLen = (socklen_t)qvAddrToSockAddr(&m_AddrServer, uVer, &Sa);
    if ((m_uBufSize && (SetBuffer(hSocket, SO_SNDBUF, m_uBufSize) != 0 ||
                        SetBuffer(hSocket, SO_RCVBUF, m_uBufSize) != 0)) ||
        SetNonBlocking(hSocket) != 0 ||
        setsockopt(hSocket, IPPROTO_TCP, TCP_NODELAY, &iOn, sizeof(iOn)) != 0 ||
        (connect(hSocket, (struct sockaddr*)&Sa, uLen) != 0 && errno != EINPROGRESS)) {
        qvLogOut(0, "SocketConnect::Open failed, Tag=%s, errno=%d", m_szTag, errno);
        close(hSocket);
        return 0;
    }
    m_hSocket = hSocket;
    m_uErrCnt = 0;
    qvLogOut(1, "SocketConnect::Open, Tag=%s, hSocket=%d, szAddr=%s", m_szTag, hSocket, szAddr);
    return 1;
}

u32 CQVSocketConnect::Send(const void* lpData, u32 uLen)
{
    if (m_hSocket < 0 || (!lpData && uLen))
        return SOCK_FAIL;
    // MSG_NOSIGNAL: a peer that has gone must give an error here, not SIGPIPE the process.
    ssize_t iSent = send(m_hSocket, lpData, uLen, MSG_NOSIGNAL);
    if (iSent < 0) {
        qvLogOut(0, "SocketConnect::Send failed, Tag=%s, uErr=%u", m_szTag, (u32)errno);
        return SOCK_FAIL;
    }
    return (u32)iSent;
}

u32 CQVSocketConnect::Receive(void* lpBuf, u32 uSize)
{
    if (m_hSocket < 0 || !lpBuf)
        return SOCK_FAIL;
    if (uSize == 0)
        return 0;
    ssize_t iRecv = recv(m_hSocket, lpBuf, uSize, 0);
    if (iRecv > 0) {
        m_uErrCnt = 0;
        return (u32)iRecv;
    }
    u32 uErr = iRecv < 0 ? (u32)errno : 0;
    if (iRecv < 0 && (uErr == EAGAIN || uErr == EINPROGRESS || uErr == EINTR))
        return SOCK_FAIL;
    qvLogOut(0, "SocketConnect::Receive failed, Tag=%s, uErr=%u", m_szTag, uErr);
    if (++m_uErrCnt >= m_uErrLimit)
        Close();
    return SOCK_FAIL;
}

void CQVSocketConnect::Close()
{
    if (m_hSocket >= 0) {
        shutdown(m_hSocket, SHUT_WR);
        close(m_hSocket);
        m_hSocket = -1;
    }
    char szAddr[QV_ADDR_STR_SIZE];
    Readable(&m_AddrServer, szAddr, sizeof(szAddr));
    qvLogOut(1, "SocketConnect::Close, finish, Tag=%s, szSvrAddr=%s", m_szTag, szAddr);
}

int CQVSocketConnect::FdSetDir(_qv_fd_set* lpSet, int iMaxFd)
{
    if (m_hSocket < 0) {
        if (!m_uConfigured || !ReOpen()) {
            qvSleep(CONNECT_RETRY_PAUSE_MS);
            return iMaxFd;
        }
    }
    return FdAdd(m_hSocket, lpSet, iMaxFd);
}

int CQVSocketConnect::FdSetRead(_qv_fd_set* lpSet, int iMaxFd)
{
    return FdSetDir(lpSet, iMaxFd);
}

int CQVSocketConnect::FdSetWrite(_qv_fd_set* lpSet, int iMaxFd)
{
    return FdSetDir(lpSet, iMaxFd);
}

u32 CQVSocketConnect::FdCheckRead(_qv_fd_set* lpSet)
{
    return FdReady(m_hSocket, lpSet);
}

u32 CQVSocketConnect::FdCheckWrite(_qv_fd_set* lpSet)
{
    return FdReady(m_hSocket, lpSet);
}

// ---------------------------------------------------------------------------------------------
// Socket layer globals

u32 qvSocketInit(u32 uOption, const QV_ADDR_S* lpProxy)
{
    (void)uOption;
    if (lpProxy)
        g_AddrProxy = *lpProxy;
    else
        memset(&g_AddrProxy, 0, sizeof(g_AddrProxy));
    g_uSocketInit = 1;
    return 1;
}

void qvSocketGetPrivSet(QV_SOCKET_GET_PRIV_PROC lpfnProc)
{
    g_lpfnGetPriv = lpfnProc;
}

void* qvSocketGetPriv(IQVNode* lpNode, u32 uType)
{
    if (!lpNode || !g_lpfnGetPriv)
        return nullptr;
    return g_lpfnGetPriv(lpNode, uType);
}

u32 qvNetworkSetDefIf(const char* lpszName)
{
    IQVSysNet* lpSysNet = qvGetSysNet();
    return lpSysNet ? lpSysNet->DefNetCardSet(lpszName) : 0;
}

u32 qvNetworkIfFilter(u32 uMode, const char* lpszList)
{
    IQVSysNet* lpSysNet = qvGetSysNet();
    return lpSysNet ? lpSysNet->NetCardFilter(uMode, lpszList) : 0;
}
