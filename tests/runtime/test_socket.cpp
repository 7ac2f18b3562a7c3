// Socket wrappers over real loopback sockets: queue, UDP, static UDP, listen and connect.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kvAddr4.h"
#include "kvLab.h"
#include "qvEPoll.h"
#include "qvLog.h"
#include "qvSocketUti.h"

namespace {

const u32 FAIL = 0xFFFFFFFFu;
// Larger than any UDP datagram: every send of it fails with EMSGSIZE.
const u32 OVERSIZE = 70000;

// A loopback port that was free a moment ago.
u16 FreePort(int iType = SOCK_DGRAM)
{
    int fd = socket(AF_INET, iType, 0);
    struct sockaddr_in Sa;
    memset(&Sa, 0, sizeof(Sa));
    Sa.sin_family = AF_INET;
    Sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t uLen = sizeof(Sa);
    bind(fd, (struct sockaddr*)&Sa, sizeof(Sa));
    getsockname(fd, (struct sockaddr*)&Sa, &uLen);
    close(fd);
    return ntohs(Sa.sin_port);
}

u16 BoundPort(int fd)
{
    struct sockaddr_storage Sa;
    socklen_t uLen = sizeof(Sa);
    if (getsockname(fd, (struct sockaddr*)&Sa, &uLen) != 0)
        return 0;
    QV_ADDR_S Addr;
    qvAddrFromSockAddr((struct sockaddr*)&Sa, &Addr);
    return Addr.uPort;
}

bool FdValid(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

// One loop's facade and views.
struct Loop {
    Loop()
    {
        qvEpollCreate(&Epoll);
        QV_FD_INIT(&Read, 0, &Epoll);
        QV_FD_INIT(&Write, 1, &Epoll);
    }
    ~Loop() { qvEpollDestroy(&Epoll); }
    void Zero()
    {
        QV_FD_ZERO(&Read);
        QV_FD_ZERO(&Write);
    }
    int Wait(int iMs) { return qvEpollSelect(0, &Read, &Write, nullptr, iMs); }
    _qv_fd_epoll Epoll;
    _qv_fd_set Read, Write;
};

// True when a slot of the facade holds the descriptor number.
bool Watched(const _qv_fd_epoll& Epoll, int fd)
{
    for (int i = 0; i < QV_FD_EPOLL_MAX; i++)
        if (Epoll.iFd[i] == fd)
            return true;
    return false;
}

class TestQueue : public CQVSocketQueue {
public:
    void OnOpen() override { uOpens++; }
    void OnClose() override { uCloses++; }
    int Fd() const { return m_hSocket; }
    u16 Port() const { return ntohs(m_AddrQue.sin_port); }
    u32 uOpens = 0, uCloses = 0;
};

class TestUDP : public CQVSocketUDP {
public:
    void OnError(int iErrNo, const QV_ADDR_S* lpAddr) override
    {
        uErrors++;
        iLastErr = iErrNo;
        LastAddr = *lpAddr;
    }
    int Fd() const { return m_hSocket; }
    u32 uErrors = 0;
    int iLastErr = 0;
    QV_ADDR_S LastAddr;
};

class TestListen : public CQVSocketListen {
public:
    int Fd() const { return m_hSocket; }
};

class TestConnect : public CQVSocketConnect {
public:
    int Fd() const { return m_hSocket; }
};

// ---------------------------------------------------------------------------------------------
// CQVSocketQueue

TEST(SocketQueue, WakesItsLoopFromAnotherThread)
{
    TestQueue Q;
    ASSERT_EQ(1u, Q.Open("queue", 65536, 3));
    EXPECT_EQ(1u, Q.uOpens);
    std::thread T([&] { EXPECT_EQ(5u, Q.Send("hello", 5, 1)); });
    T.join();

    Loop L;
    L.Zero();
    int iMax = Q.FdSet(&L.Read, -1);
    EXPECT_EQ(Q.Fd(), iMax);
    ASSERT_EQ(1, L.Wait(2000));
    ASSERT_EQ(1u, Q.FdCheck(&L.Read));
    char szBuf[16] = {};
    EXPECT_EQ(5u, Q.Receive(szBuf, sizeof(szBuf)));
    EXPECT_STREQ("hello", szBuf);
    EXPECT_EQ(FAIL, Q.Receive(szBuf, sizeof(szBuf))); // nothing more queued

    Q.Close();
    EXPECT_EQ(1u, Q.uCloses);
    EXPECT_EQ(0u, Q.IsOpened());
    EXPECT_EQ(FAIL, Q.Send("x", 1, 0));
    Q.Close(); // already closed: no second OnClose
    EXPECT_EQ(1u, Q.uCloses);
}

TEST(SocketQueue, TagOfAtMost63Characters)
{
    CQVSocketQueue Q;
    EXPECT_EQ(0u, Q.Open(std::string(64, 't').c_str(), 0, 3));
    EXPECT_EQ(0u, Q.IsOpened());
    EXPECT_EQ(1u, Q.Open(std::string(63, 't').c_str(), 0, 3));
}

TEST(SocketQueue, DropsDatagramsFromOtherSenders)
{
    TestQueue Q;
    ASSERT_EQ(1u, Q.Open("queue", 0, 3));
    int fdOther = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in To;
    memset(&To, 0, sizeof(To));
    To.sin_family = AF_INET;
    To.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    To.sin_port = htons(Q.Port());
    ASSERT_EQ(3, sendto(fdOther, "bad", 3, 0, (struct sockaddr*)&To, sizeof(To)));
    close(fdOther);
    ASSERT_EQ(4u, Q.Send("good", 4, 0));

    char szBuf[8] = {};
    EXPECT_EQ(FAIL, Q.Receive(szBuf, sizeof(szBuf)));
    EXPECT_EQ(4u, Q.Receive(szBuf, sizeof(szBuf)));
    EXPECT_STREQ("good", szBuf);
}

TEST(SocketQueue, ReopensOnlyAfterANewTime)
{
    TestQueue Q;
    Loop L;
    Q.TimerProc(10);
    ASSERT_EQ(1u, Q.Open("queue", 0, 3));
    Q.Close();
    Q.FdSet(&L.Read, -1);
    EXPECT_EQ(0u, Q.IsOpened());
    Q.TimerProc(11);
    EXPECT_GE(Q.FdSet(&L.Read, -1), 0);
    EXPECT_EQ(1u, Q.IsOpened());
    EXPECT_EQ(2u, Q.uOpens);

    // A failed send with close-on-error closes only in a tick after the open.
    static char Big[OVERSIZE];
    EXPECT_EQ(FAIL, Q.Send(Big, sizeof(Big), 1));
    EXPECT_EQ(1u, Q.IsOpened());
    Q.TimerProc(12);
    EXPECT_EQ(FAIL, Q.Send(Big, sizeof(Big), 0)); // without the flag: stays open
    EXPECT_EQ(1u, Q.IsOpened());
    EXPECT_EQ(FAIL, Q.Send(Big, sizeof(Big), 1));
    EXPECT_EQ(0u, Q.IsOpened());
    Q.FdSet(&L.Read, -1);
    EXPECT_EQ(0u, Q.IsOpened());
    Q.TimerProc(13);
    Q.FdSet(&L.Read, -1);
    EXPECT_EQ(1u, Q.IsOpened());
}

TEST(SocketQueue, SendFromOtherThreadLeavesTheCloseToTheOwner)
{
    TestQueue Q;
    Loop L;
    Q.TimerProc(5);
    ASSERT_EQ(1u, Q.Open("queue", 0, 3));
    Q.FdSet(&L.Read, -1); // this thread runs the loop
    Q.TimerProc(6);
    int fd = Q.Fd();
    static char Big[OVERSIZE];
    std::thread T([&] { EXPECT_EQ(FAIL, Q.Send(Big, sizeof(Big), 1)); });
    T.join();
    // The descriptor the loop may be waiting on is still open.
    EXPECT_EQ(1u, Q.IsOpened());
    EXPECT_TRUE(FdValid(fd));
    EXPECT_EQ(0u, Q.uCloses);

    // The owner's next cycle closes it, and a later tick re-opens it.
    L.Zero();
    Q.FdSet(&L.Read, -1);
    EXPECT_EQ(0u, Q.IsOpened());
    EXPECT_EQ(1u, Q.uCloses);
    Q.TimerProc(7);
    L.Zero();
    Q.FdSet(&L.Read, -1);
    EXPECT_EQ(1u, Q.IsOpened());
    EXPECT_EQ(4u, Q.Send("ping", 4, 1));
}

// However it closes (by its owner, on the owner's failed send, asked from another thread), a
// watched queue first leaves its loop's facade: the number, free for any other open at once, is
// never registered or dropped there afterwards.
TEST(SocketQueue, EveryCloseForgetsTheDescriptorInItsWatcher)
{
    TestQueue Q;
    Loop L;
    Q.Watch(&L.Epoll);
    Q.TimerProc(1);
    ASSERT_EQ(1u, Q.Open("queue", 0, 3));
    static char Big[OVERSIZE];
    for (int iHow = 0; iHow < 3; iHow++) {
        SCOPED_TRACE(iHow);
        Q.TimerProc(10 * iHow + 2);
        Q.FdSet(&L.Read, -1);
        int fd = Q.Fd();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(Watched(L.Epoll, fd));
        Q.TimerProc(10 * iHow + 3);
        if (iHow == 0) {
            Q.Close();
        } else if (iHow == 1) {
            EXPECT_EQ(FAIL, Q.Send(Big, sizeof(Big), 1));
        } else {
            std::thread T([&] { EXPECT_EQ(FAIL, Q.Send(Big, sizeof(Big), 1)); });
            T.join();
            EXPECT_TRUE(Watched(L.Epoll, fd)) << "still open until the owner's next cycle";
            Q.FdSet(&L.Read, -1);
        }
        EXPECT_EQ(0u, Q.IsOpened());
        EXPECT_FALSE(Watched(L.Epoll, fd));
    }
}

// ---------------------------------------------------------------------------------------------
// CQVSocketUDP

TEST(SocketUDP, ConfigRules)
{
    TestUDP U;
    QV_ADDR_S Bind = V4("127.0.0.1", 0);
    EXPECT_EQ(0u, U.Open()); // not configured
    EXPECT_EQ(0u, U.Config("udp", 2, &Bind, 0, 0, 0, 3));
    EXPECT_EQ(0u, U.Config(std::string(64, 'u').c_str(), 0, &Bind, 0, 0, 0, 3));

    // A loopback bind address becomes the any-address; the port stays.
    u16 uPort = FreePort();
    Bind = V4("127.0.0.1", uPort);
    ASSERT_EQ(1u, U.Config("udp", 0, &Bind, 0, 0, 0, 3));
    ASSERT_EQ(1u, U.Open());
    QV_ADDR_S Local;
    U.GetAddr(&Local);
    EXPECT_EQ(0u, Local.uAddr[3]);
    EXPECT_EQ(uPort, Local.uPort);
    int fd = -2;
    EXPECT_EQ(0u, U.GetSocket(&fd, 0));
    EXPECT_EQ(1u, U.GetSocket(&fd, 1));
    EXPECT_EQ(U.Fd(), fd);
    U.Close();

    // An IPv6 address given for IPv4 also becomes the any-address.
    QV_ADDR_S Bind6;
    memset(&Bind6, 0, sizeof(Bind6));
    inet_pton(AF_INET6, "2001:db8::1", Bind6.uAddr);
    ASSERT_EQ(1u, U.Config("udp", 0, &Bind6, 0, 0, 0, 3));
    ASSERT_EQ(1u, U.Open());
    U.GetAddr(&Local);
    EXPECT_EQ(0u, Local.uAddr[3]);
    EXPECT_NE(0u, Local.uPort);
}

TEST(SocketUDP, SendWithTTLAndReceive)
{
    TestUDP A, B;
    QV_ADDR_S Any = V4("0.0.0.0", 0);
    ASSERT_EQ(1u, A.Config("a", 0, &Any, 0, 300, 100, 3)); // with buffer sizes
    ASSERT_EQ(1u, B.Config("b", 0, &Any, 0, 0, 0, 3));
    ASSERT_EQ(1u, A.Open());
    ASSERT_EQ(1u, B.Open());
    QV_ADDR_S AddrA, AddrB;
    A.GetAddr(&AddrA);
    B.GetAddr(&AddrB);

    int iTTL = 0;
    socklen_t uLen = sizeof(iTTL);
    ASSERT_EQ(0, getsockopt(A.Fd(), IPPROTO_IP, IP_TTL, &iTTL, &uLen));
    QV_ADDR_S To = V4("127.0.0.1", AddrB.uPort);
    EXPECT_EQ(4u, A.Send("ttl5", 4, &To, 5));
    int iAfter = 0;
    ASSERT_EQ(0, getsockopt(A.Fd(), IPPROTO_IP, IP_TTL, &iAfter, &uLen));
    EXPECT_EQ(iTTL, iAfter); // restored after the one datagram
    EXPECT_EQ(FAIL, A.Send("ttl", 3, &To, 256));
    EXPECT_EQ(EINVAL, A.GetError());

    // An IPv4 socket takes the last word of any target address.
    To.uAddr[0] = htonl(0x20010db8);
    EXPECT_EQ(4u, A.Send("last", 4, &To, 0));

    Loop L;
    L.Zero();
    B.FdSet(&L.Read, -1);
    ASSERT_EQ(1, L.Wait(2000));
    ASSERT_EQ(1u, B.FdCheck(&L.Read));
    char szBuf[16] = {};
    QV_ADDR_S From;
    memset(&From, 0xFF, sizeof(From));
    ASSERT_EQ(4u, B.Receive(szBuf, sizeof(szBuf), &From));
    EXPECT_STREQ("ttl5", szBuf);
    EXPECT_EQ(V4("127.0.0.1", AddrA.uPort).uAddr[3], From.uAddr[3]);
    EXPECT_EQ(AddrA.uPort, From.uPort);
    EXPECT_EQ(0u, From.uExtra);
    ASSERT_EQ(4u, B.Receive(szBuf, sizeof(szBuf), &From));
    EXPECT_EQ(0, memcmp("last", szBuf, 4));
    EXPECT_EQ(FAIL, B.Receive(szBuf, sizeof(szBuf), &From));
    EXPECT_EQ(EAGAIN, B.GetError());
    EXPECT_EQ(0, B.GetError());
}

TEST(SocketUDP, ErrorLimitReportsAndRestarts)
{
    TestUDP U;
    QV_ADDR_S Any = V4("0.0.0.0", 0), To = V4("127.0.0.1", FreePort());
    ASSERT_EQ(1u, U.Config("udp", 0, &Any, 0, 0, 0, 3));
    ASSERT_EQ(1u, U.Open());
    static char Big[OVERSIZE];
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(FAIL, U.Send(Big, sizeof(Big), &To, 0));
    EXPECT_EQ(2u, U.uErrors); // the 3rd and the 6th
    EXPECT_EQ(EMSGSIZE, U.iLastErr);
    EXPECT_EQ(To.uPort, U.LastAddr.uPort);
    EXPECT_EQ(EMSGSIZE, U.GetError());

    // A good send in between starts the count again.
    U.uErrors = 0;
    EXPECT_EQ(FAIL, U.Send(Big, sizeof(Big), &To, 0));
    EXPECT_EQ(FAIL, U.Send(Big, sizeof(Big), &To, 0));
    EXPECT_EQ(1u, U.Send("x", 1, &To, 0));
    EXPECT_EQ(FAIL, U.Send(Big, sizeof(Big), &To, 0));
    EXPECT_EQ(FAIL, U.Send(Big, sizeof(Big), &To, 0));
    EXPECT_EQ(0u, U.uErrors);
}

TEST(SocketUDP, ReopenedByFdSetInALaterTick)
{
    TestUDP U;
    Loop L;
    QV_ADDR_S Any = V4("0.0.0.0", 0);
    ASSERT_EQ(1u, U.Config("udp", 0, &Any, 0, 0, 0, 3));
    U.TimerProc(1);
    ASSERT_EQ(1u, U.Open());
    U.Close();
    EXPECT_EQ(-1, U.FdSet(&L.Read, -1));
    U.TimerProc(2);
    EXPECT_GE(U.FdSet(&L.Read, -1), 0);
    EXPECT_EQ(1u, U.IsOpened());
}

TEST(SocketUDP, CalcBufSize)
{
    struct {
        u32 uMode, uScale, uBase, uBytes;
    } cases[] = {
        {0, 300, 100, 256 * 2 * 1024},
        {1, 300, 100, 256 * 1024},
        {1, 4096, 256, 256 * 4 * 1024},
        {0, 0, 1, 256 * 1024},
        {0, 1u << 20, 256, 16384 * 1024},
        {1, 1u << 30, 1u << 20, 32768 * 1024},
        {0, 0xFFFFFFFF, 0xFFFFFFFF, 16384 * 1024}, // no wrap-around on the way
        {0, 0, 0, 0},
    };
    for (auto& c : cases)
        EXPECT_EQ(c.uBytes, CQVSocketUDP::CalcBufSize(c.uMode, c.uScale, c.uBase))
            << c.uMode << "," << c.uScale << "," << c.uBase;
}

TEST(SocketUDP, IPv6Loopback)
{
    int fdProbe = socket(AF_INET6, SOCK_DGRAM, 0);
    if (fdProbe < 0)
        GTEST_SKIP() << "no IPv6";
    close(fdProbe);
    TestUDP A, B;
    QV_ADDR_S Lo6;
    memset(&Lo6, 0, sizeof(Lo6));
    Lo6.uAddr[3] = htonl(1);
    ASSERT_EQ(1u, A.Config("a6", 1, &Lo6, 0, 0, 0, 3)); // ::1 becomes the any-address
    ASSERT_EQ(1u, B.Config("b6", 1, &Lo6, 0, 0, 0, 3));
    if (!A.Open() || !B.Open())
        GTEST_SKIP() << "IPv6 sockets cannot be bound here";
    QV_ADDR_S AddrB;
    B.GetAddr(&AddrB);
    EXPECT_EQ(0u, AddrB.uAddr[3]);
    QV_ADDR_S To = Lo6;
    To.uPort = AddrB.uPort;
    ASSERT_EQ(2u, A.Send("v6", 2, &To, 3));
    struct pollfd P = {B.Fd(), POLLIN, 0};
    ASSERT_EQ(1, poll(&P, 1, 2000));
    char szBuf[4] = {};
    QV_ADDR_S From;
    ASSERT_EQ(2u, B.Receive(szBuf, sizeof(szBuf), &From));
    EXPECT_EQ(htonl(1), From.uAddr[3]);
    EXPECT_EQ(1u, qvAddrIPVer(&From));
}

// ---------------------------------------------------------------------------------------------
// CQVSocketUDPStatic

TEST(SocketUDPStatic, OpenSendReceive)
{
    QV_ADDR_S Bind = V4("127.0.0.1", 0), LocalA, LocalB;
    EXPECT_EQ(-1, CQVSocketUDPStatic::Open4(0, nullptr, &LocalA));
    EXPECT_EQ(-1, CQVSocketUDPStatic::Open4(0, &Bind, nullptr));
    int fdA = CQVSocketUDPStatic::Open4(65536, &Bind, &LocalA);
    int fdB = CQVSocketUDPStatic::Open4(0, &Bind, &LocalB);
    ASSERT_GE(fdA, 0);
    ASSERT_GE(fdB, 0);
    EXPECT_NE(0u, LocalA.uPort);
    EXPECT_EQ(Bind.uAddr[3], LocalA.uAddr[3]);

    EXPECT_EQ(3u, CQVSocketUDPStatic::Send4(fdA, "abc", 3, &LocalB));
    struct pollfd P = {fdB, POLLIN, 0};
    ASSERT_EQ(1, poll(&P, 1, 2000));
    char szBuf[8] = {};
    QV_ADDR_S From;
    ASSERT_EQ(3u, CQVSocketUDPStatic::Receive4(fdB, szBuf, sizeof(szBuf), &From));
    EXPECT_STREQ("abc", szBuf);
    EXPECT_EQ(LocalA.uPort, From.uPort);
    EXPECT_EQ(0u, From.uExtra);
    EXPECT_EQ(FAIL, CQVSocketUDPStatic::Receive4(fdB, szBuf, sizeof(szBuf), &From));
    EXPECT_EQ(FAIL, CQVSocketUDPStatic::Send4(-1, "abc", 3, &LocalB));
    CQVSocketUDPStatic::Close(fdA);
    CQVSocketUDPStatic::Close(fdB);

    // Binding a busy address fails.
    int fdBusy = CQVSocketUDPStatic::Open4(0, &Bind, &LocalA);
    ASSERT_GE(fdBusy, 0);
    EXPECT_EQ(-1, CQVSocketUDPStatic::Open4(0, &LocalA, &LocalB));
    CQVSocketUDPStatic::Close(fdBusy);
}

TEST(SocketUDPStatic, TryOpenStepsOverBusyPorts)
{
    QV_ADDR_S Bind = V4("127.0.0.1", 0), Busy;
    // A busy port with a free one right after it.
    int fdBusy = -1;
    for (int i = 0; i < 20 && fdBusy < 0; i++) {
        int fd = CQVSocketUDPStatic::Open4(0, &Bind, &Busy);
        ASSERT_GE(fd, 0);
        QV_ADDR_S Next = Busy, Local;
        Next.uPort++;
        int fdNext = Busy.uPort < 0xFFFF ? CQVSocketUDPStatic::Open4(0, &Next, &Local) : -1;
        if (fdNext >= 0) {
            CQVSocketUDPStatic::Close(fdNext);
            fdBusy = fd;
        } else {
            CQVSocketUDPStatic::Close(fd);
        }
    }
    ASSERT_GE(fdBusy, 0);

    u32 uPort = 0;
    EXPECT_EQ(-1, CQVSocketUDPStatic::TryOpen4(1, &Busy, uPort));
    int fd = CQVSocketUDPStatic::TryOpen4(3, &Busy, uPort);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Busy.uPort + 1u, uPort);
    EXPECT_EQ(uPort, BoundPort(fd));
    EXPECT_EQ(-1, CQVSocketUDPStatic::TryOpen4(3, nullptr, uPort));
    CQVSocketUDPStatic::Close(fd);
    CQVSocketUDPStatic::Close(fdBusy);
}

// ---------------------------------------------------------------------------------------------
// CQVSocketListen and CQVSocketConnect

// Waits (with a deadline generous enough for a loaded machine) until the listener has a
// pending connection and accepts it.
int AcceptOne(TestListen& Lst, QV_ADDR_S* lpPeer)
{
    Loop L;
    for (int i = 0; i < 100; i++) {
        L.Zero();
        Lst.FdSet(&L.Read, -1);
        if (L.Wait(100) > 0 && Lst.FdCheck(&L.Read))
            return Lst.Accept(lpPeer);
    }
    return -1;
}

TEST(SocketListen, AcceptAndConnectExchangeBytes)
{
    TestListen Lst;
    QV_ADDR_S AddrListen = V4("127.0.0.1", FreePort(SOCK_STREAM));
    EXPECT_EQ(0u, Lst.Open(std::string(64, 'l').c_str(), &AddrListen, 8));
    ASSERT_EQ(1u, Lst.Open("listen", &AddrListen, 8));
    EXPECT_EQ(1u, Lst.Check());

    TestConnect Cnt;
    ASSERT_EQ(1u, Cnt.Open("connect", &AddrListen, 65536, 1));
    QV_ADDR_S Peer;
    int fdAcc = AcceptOne(Lst, &Peer);
    ASSERT_GE(fdAcc, 0);
    EXPECT_EQ(AddrListen.uAddr[3], Peer.uAddr[3]);
    EXPECT_EQ(BoundPort(Cnt.Fd()), Peer.uPort);

    Loop L;
    L.Zero();
    Cnt.FdSetWrite(&L.Write, -1);
    ASSERT_EQ(1, L.Wait(2000));
    EXPECT_EQ(1u, Cnt.FdCheckWrite(&L.Write));
    EXPECT_EQ(4u, Cnt.Send("ping", 4));
    char szBuf[8] = {};
    struct pollfd P = {fdAcc, POLLIN, 0};
    ASSERT_EQ(1, poll(&P, 1, 2000));
    ASSERT_EQ(4, recv(fdAcc, szBuf, sizeof(szBuf), 0));
    EXPECT_STREQ("ping", szBuf);

    char szNothing[4];
    EXPECT_EQ(FAIL, Cnt.Receive(szNothing, sizeof(szNothing))); // would block: quiet
    EXPECT_EQ(1u, Cnt.IsOpened());
    ASSERT_EQ(4, send(fdAcc, "pong", 4, 0));
    L.Zero();
    Cnt.FdSetRead(&L.Read, -1);
    ASSERT_EQ(1, L.Wait(2000));
    ASSERT_EQ(1u, Cnt.FdCheckRead(&L.Read));
    memset(szBuf, 0, sizeof(szBuf));
    EXPECT_EQ(4u, Cnt.Receive(szBuf, sizeof(szBuf)));
    EXPECT_STREQ("pong", szBuf);

    // The far side closes: the end of the stream counts as an error; with limit 1 the socket
    // closes, and the next FdSetRead connects again at once.
    close(fdAcc);
    L.Zero();
    Cnt.FdSetRead(&L.Read, -1);
    ASSERT_EQ(1, L.Wait(2000));
    EXPECT_EQ(FAIL, Cnt.Receive(szBuf, sizeof(szBuf)));
    EXPECT_EQ(0u, Cnt.IsOpened());
    L.Zero();
    EXPECT_GE(Cnt.FdSetRead(&L.Read, -1), 0);
    EXPECT_EQ(1u, Cnt.IsOpened());
    fdAcc = AcceptOne(Lst, &Peer);
    EXPECT_GE(fdAcc, 0);
    close(fdAcc);
}

TEST(SocketConnect, SendToAResetPeerFailsWithoutSignal)
{
    TestListen Lst;
    QV_ADDR_S AddrListen = V4("127.0.0.1", FreePort(SOCK_STREAM));
    ASSERT_EQ(1u, Lst.Open("listen", &AddrListen, 8));
    TestConnect Cnt;
    ASSERT_EQ(1u, Cnt.Open("connect", &AddrListen, 0, 3));
    int fdAcc = AcceptOne(Lst, nullptr);
    ASSERT_GE(fdAcc, 0);
    struct linger Lg = {1, 0};
    setsockopt(fdAcc, SOL_SOCKET, SO_LINGER, &Lg, sizeof(Lg));
    close(fdAcc); // reset
    u32 uLast = 0;
    for (int i = 0; i < 1000 && uLast != FAIL; i++) {
        uLast = Cnt.Send("data", 4);
        if (uLast != FAIL)
            usleep(10000);
    }
    EXPECT_EQ(FAIL, uLast); // and the process is still here
}

TEST(SocketConnect, RefusesAnEmptyServerAddress)
{
    TestConnect Cnt;
    QV_ADDR_S Empty;
    memset(&Empty, 0, sizeof(Empty));
    EXPECT_EQ(0u, Cnt.Open("connect", &Empty, 0, 3));
    EXPECT_EQ(0u, Cnt.Open("connect", nullptr, 0, 3));
    Loop L;
    EXPECT_EQ(7, Cnt.FdSetRead(&L.Read, 7)); // cannot re-open: nothing added
    EXPECT_EQ(0u, Cnt.IsOpened());
}

TEST(SocketListen, CheckCloseAndPacedReopen)
{
    TestListen Lst;
    Loop L;
    QV_ADDR_S AddrListen = V4("127.0.0.1", FreePort(SOCK_STREAM));
    Lst.TimerProc(1);
    ASSERT_EQ(1u, Lst.Open("listen", &AddrListen, 8));
    Lst.Close();
    EXPECT_EQ(0u, Lst.Check());
    EXPECT_EQ(-1, Lst.FdSet(&L.Read, -1));
    EXPECT_EQ(FAIL, (u32)Lst.Accept(nullptr));
    Lst.TimerProc(2);
    EXPECT_GE(Lst.FdSet(&L.Read, -1), 0);
    EXPECT_EQ(1u, Lst.IsOpened());
    EXPECT_EQ(AddrListen.uPort, BoundPort(Lst.Fd()));

    // Watched by a loop, it leaves the loop's facade before its descriptor closes.
    Lst.Watch(&L.Epoll);
    int fd = Lst.Fd();
    EXPECT_TRUE(Watched(L.Epoll, fd));
    Lst.Close();
    EXPECT_FALSE(Watched(L.Epoll, fd));

    // An IPv6 address is refused rather than cut to its last word.
    QV_ADDR_S Addr6 = AddrListen;
    Addr6.uAddr[0] = htonl(0x20010db8);
    EXPECT_EQ(0u, Lst.Open("listen6", &Addr6, 8));
}

// Child helpers: a private network namespace with its own loopback (for port 80), and a
// descriptor table filled up to its limit (for accept failures).
bool PrivateLoopback()
{
    if (unshare(CLONE_NEWNET) != 0)
        return false;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq Ifr;
    memset(&Ifr, 0, sizeof(Ifr));
    strcpy(Ifr.ifr_name, "lo");
    bool bOk = ioctl(fd, SIOCGIFFLAGS, &Ifr) == 0;
    Ifr.ifr_flags |= IFF_UP;
    bOk = bOk && ioctl(fd, SIOCSIFFLAGS, &Ifr) == 0;
    close(fd);
    return bOk;
}

TEST(SocketListen, PortZeroListensOn80)
{
    kvlab::Process P = kvlab::RunChild({}, [] {
        if (!PrivateLoopback())
            return 2;
        TestListen Lst;
        QV_ADDR_S Addr = V4("127.0.0.1", 0);
        if (!Lst.Open("listen", &Addr, 8))
            return 3;
        return BoundPort(Lst.Fd()) == 80 ? 0 : 4;
    });
    int iExit = -1;
    ASSERT_TRUE(P.Wait(30000, &iExit));
    EXPECT_EQ(0, iExit) << P.Output();
}

TEST(SocketListen, AcceptErrorsCloseAtTheLimit)
{
    kvlab::Process P = kvlab::RunChild({}, [] {
        TestListen Lst;
        Loop L;
        Lst.Watch(&L.Epoll);
        QV_ADDR_S Addr = V4("127.0.0.1", FreePort(SOCK_STREAM));
        Lst.TimerProc(1);
        if (!Lst.Open("listen", &Addr, 2) || Lst.FdSet(&L.Read, -1) < 0)
            return 2;
        int fd = Lst.Fd();
        int fdClient = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_storage Sa;
        socklen_t uLen = (socklen_t)qvAddrToSockAddr(&Addr, 0, &Sa);
        if (connect(fdClient, (struct sockaddr*)&Sa, uLen) != 0)
            return 3;
        // No descriptor left: accept fails with EMFILE.
        struct rlimit Lim;
        getrlimit(RLIMIT_NOFILE, &Lim);
        Lim.rlim_cur = 64;
        setrlimit(RLIMIT_NOFILE, &Lim);
        while (dup(0) >= 0) {
        }
        Lst.TimerProc(2);
        if (Lst.Accept(nullptr) != -1 || !Lst.IsOpened())
            return 4;
        if (Lst.Accept(nullptr) != -1 || Lst.IsOpened())
            return 5; // second failure reaches the limit of 2
        return Watched(L.Epoll, fd) ? 6 : 0;
    });
    int iExit = -1;
    ASSERT_TRUE(P.Wait(30000, &iExit));
    EXPECT_EQ(0, iExit) << P.Output();
}

// ---------------------------------------------------------------------------------------------
// Log lines that operators and tools look for

std::vector<std::string> g_Lines;

// Keeps "<level> <text>" of every line, without the time stamp in front.
void LineHook(u32 uLevel, const char* lpszLine)
{
    const char* lpszText = strstr(lpszLine, ": ");
    g_Lines.push_back(std::to_string(uLevel) + " " + (lpszText ? lpszText + 2 : lpszLine));
}

bool Logged(const std::string& strText)
{
    for (auto& s : g_Lines)
        if (s == strText)
            return true;
    return false;
}

TEST(SocketLog, ExactLines)
{
    kvlab::TempDir Dir;
    ASSERT_EQ(1u, qvLogInit(0xFFFF, Dir.Path().c_str(), "t", 0, 0));
    ASSERT_EQ(1u, qvLogExt(LineHook));

    TestQueue Q;
    ASSERT_EQ(1u, Q.Open("queue", 0, 3));
    int fdOther = socket(AF_INET, SOCK_DGRAM, 0);
    QV_ADDR_S Bind = V4("127.0.0.1", 0), Other;
    struct sockaddr_storage Sa;
    socklen_t uLen = (socklen_t)qvAddrToSockAddr(&Bind, 0, &Sa);
    ASSERT_EQ(0, bind(fdOther, (struct sockaddr*)&Sa, uLen));
    Other = V4("127.0.0.1", BoundPort(fdOther));
    QV_ADDR_S To = V4("127.0.0.1", Q.Port());
    uLen = (socklen_t)qvAddrToSockAddr(&To, 0, &Sa);
    ASSERT_EQ(1, sendto(fdOther, "x", 1, 0, (struct sockaddr*)&Sa, uLen));
    close(fdOther);
    char szBuf[4];
    EXPECT_EQ(FAIL, Q.Receive(szBuf, sizeof(szBuf)));
    EXPECT_TRUE(Logged("1 SocketQueue::Receive, Skip the external msg, Tag=queue, "
                       "szAddrRecv=127.0.0.1:" + std::to_string(Other.uPort) + "\r\n"));
    Q.Close();
    EXPECT_TRUE(Logged("1 SocketQueue::Close, finish, Tag=queue\r\n"));

    CQVSocketUDP U;
    QV_ADDR_S Any = V4("0.0.0.0", 0), Dst = V4("127.0.0.1", 9);
    ASSERT_EQ(1u, U.Config("udp", 0, &Any, 0, 0, 0, 1));
    ASSERT_EQ(1u, U.Open());
    static char Big[OVERSIZE];
    EXPECT_EQ(FAIL, U.Send(Big, sizeof(Big), &Dst, 0));
    EXPECT_TRUE(Logged("2 SocketUDP::OnError, Tag=udp, iErrNo=" + std::to_string(EMSGSIZE) +
                       ", szAddr=127.0.0.1:9\r\n"));
    qvGetLog()->Clean();
}

// ---------------------------------------------------------------------------------------------
// Socket layer globals

IQVNode* g_lpSeenNode = nullptr;
u32 g_uSeenType = 0;
int g_iPriv = 0;

void* GetPrivHook(IQVNode* lpNode, u32 uType)
{
    g_lpSeenNode = lpNode;
    g_uSeenType = uType;
    return &g_iPriv;
}

TEST(SocketGlobals, InitPrivateHookAndNetworkForwarders)
{
    EXPECT_EQ(1u, qvSocketInit(0, nullptr));
    QV_ADDR_S Proxy = V4("10.0.0.1", 8080);
    EXPECT_EQ(1u, qvSocketInit(1, &Proxy));

    IQVNode* lpNode = reinterpret_cast<IQVNode*>(&g_uSeenType);
    EXPECT_EQ(nullptr, qvSocketGetPriv(lpNode, 0)); // no hook yet
    qvSocketGetPrivSet(GetPrivHook);
    EXPECT_EQ(nullptr, qvSocketGetPriv(nullptr, 0));
    EXPECT_EQ(&g_iPriv, qvSocketGetPriv(lpNode, 3));
    EXPECT_EQ(lpNode, g_lpSeenNode);
    EXPECT_EQ(3u, g_uSeenType);
    qvSocketGetPrivSet(nullptr);

    EXPECT_EQ(0u, qvNetworkSetDefIf("sixteen-chars-xx"));
    EXPECT_EQ(1u, qvNetworkSetDefIf("lo"));
    EXPECT_EQ(1u, qvNetworkSetDefIf(""));
    EXPECT_EQ(1u, qvNetworkIfFilter(0, ""));
}

} // namespace
