// TCP forwarding extension over real loopback sockets, with the fake node moving the bytes:
// forwarding at volume both ways, half-close, connect failures, worker limits, accept budget,
// parallel limit, active time-outs, the periodic check for clients that left, and that every
// socket, buffer and instance is gone afterwards.
#include "test_exttcp_fake.h"

using namespace kvext;

namespace {

// A local client connected through a listener of the extension to a test service, with both
// directions joined by the fake node.
struct CForward {
    CExtFixture& F;
    int fdClient = -1;
    int fdService = -1;
    std::string strAccepted, strOutgoing;
    int iUp = -1, iDown = -1;

    explicit CForward(CExtFixture& Fix) : F(Fix) {}
    ~CForward()
    {
        if (fdClient >= 0)
            close(fdClient);
        if (fdService >= 0)
            close(fdService);
    }

    // Client -> listener (uListenPort), extension -> service (accepted from fdServiceListen).
    bool Open(u16 uListenPort, int fdServiceListen, u16 uServicePort, size_t uAcceptIndex = 0)
    {
        fdClient = ConnectTo(uListenPort);
        NOTE_S Note;
        if (fdClient < 0 || !F.Ext.WaitNote(NOTE_ACCEPT, uAcceptIndex, &Note))
            return false;
        strAccepted = Note.strAddr;
        QV_ADDR_S Svc = V4(uServicePort);
        char szAddr[256];
        if (!F.Ext.Connect(&Svc, nullptr, szAddr, sizeof(szAddr)))
            return false;
        strOutgoing = szAddr;
        fdService = accept(fdServiceListen, nullptr, nullptr);
        if (!WaitFor([&] { return F.Ext.Count(NOTE_CONNECT, strOutgoing) == 1; }))
            return false;
        if (F.Ext.Notes(NOTE_CONNECT).back().uValue != 1)
            return false;
        iUp = F.Node.Join(strAccepted, strOutgoing);
        iDown = F.Node.Join(strOutgoing, strAccepted);
        return fdService >= 0 && iUp >= 0 && iDown >= 0;
    }
};

// Makes sure the worker has made a whole pass (built its wait sets, waited and served) after
// this call began: each round wakes it with a new listener and waits for a pass to end.
void WholePass(CExtFixture& F)
{
    for (int i = 0; i < 2; i++) {
        u64 uPasses = F.Ext.GetPassCount();
        QV_ADDR_S Dummy = V4(ClosedPort());
        ASSERT_TRUE(F.Ext.ListenAdd(&Dummy, 0, 0));
        ASSERT_TRUE(WaitFor([&] { return F.Ext.GetPassCount() > uPasses; }));
    }
}

class ExtTcp : public ::testing::Test {};

TEST_F(ExtTcp, BytesBothWaysAtVolume)
{
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    u16 uSvcPort = 0, uPort = ClosedPort();
    int fdSvc = ListenOn(&uSvcPort);
    QV_ADDR_S Listen = V4(uPort);
    ASSERT_TRUE(F.Ext.ListenAdd(&Listen, 0, 77));
    CForward Fw(F);
    ASSERT_TRUE(Fw.Open(uPort, fdSvc, uSvcPort));
    EXPECT_EQ(F.Ext.Notes(NOTE_ACCEPT)[0].uValue, 77u);
    EXPECT_EQ(F.Ext.Notes(NOTE_ACCEPT)[0].strHost, "");

    const size_t SIZE = 48u << 20;
    bool bSvcEnd = false, bCltEnd = false;
    size_t uAtSvc = 0, uAtClt = 0;
    std::thread Up([&] { SendPattern(Fw.fdClient, 1, SIZE); });
    std::thread Down([&] { SendPattern(Fw.fdService, 2, SIZE); });
    std::thread SvcRead([&] { uAtSvc = RecvPattern(Fw.fdService, 1, &bSvcEnd); });
    uAtClt = RecvPattern(Fw.fdClient, 2, &bCltEnd);
    Up.join();
    Down.join();
    SvcRead.join();
    EXPECT_EQ(uAtSvc, SIZE);
    EXPECT_EQ(uAtClt, SIZE);
    EXPECT_TRUE(bSvcEnd);
    EXPECT_TRUE(bCltEnd);
    EXPECT_TRUE(WaitFor([&] { return F.Node.PipeDone(Fw.iUp) && F.Node.PipeDone(Fw.iDown); }));
    // Both directions ended: the sockets went by themselves, each reported once.
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Idle(1); }));
    EXPECT_EQ(F.Ext.Count(NOTE_DISCONNECT, Fw.strAccepted), 1u);
    EXPECT_EQ(F.Ext.Count(NOTE_DISCONNECT, Fw.strOutgoing), 1u);
    EXPECT_EQ(F.Node.OpenCount(), 0u);
    EXPECT_EQ(F.Ext.Notes(NOTE_ERROR).size(), 0u);
    close(fdSvc);
}

TEST_F(ExtTcp, HalfCloseStillDeliversTheWholeAnswer)
{
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    u16 uSvcPort = 0, uPort = ClosedPort();
    int fdSvc = ListenOn(&uSvcPort);
    QV_ADDR_S Listen = V4(uPort);
    ASSERT_TRUE(F.Ext.ListenAdd(&Listen, 0, 1));
    CForward Fw(F);
    ASSERT_TRUE(Fw.Open(uPort, fdSvc, uSvcPort));

    // The service answers only after the client has shut its side: everything it sends then
    // must still reach the client, followed by the end of stream.
    const size_t SIZE = 4u << 20;
    std::thread Svc([&] {
        std::string strReq = RecvAll(Fw.fdService);
        std::string strAnswer = "got " + std::to_string(strReq.size()) + "\n";
        SendAll(Fw.fdService, strAnswer);
        SendPattern(Fw.fdService, 9, SIZE);
    });
    ASSERT_TRUE(SendAll(Fw.fdClient, std::string(100000, 'q')));
    ASSERT_EQ(shutdown(Fw.fdClient, SHUT_WR), 0);
    EXPECT_EQ(RecvN(Fw.fdClient, 11), "got 100000\n");
    bool bEnd = false;
    EXPECT_EQ(RecvPattern(Fw.fdClient, 9, &bEnd), SIZE);
    EXPECT_TRUE(bEnd);
    Svc.join();
    // The accepted socket reported its client's end before the answer went down.
    EXPECT_EQ(F.Ext.Count(NOTE_DISCONNECT, Fw.strAccepted), 1u);
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Idle(1); }));
    close(fdSvc);
}

TEST_F(ExtTcp, RefusedConnectIsReportedFailed)
{
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    QV_ADDR_S Svc = V4(ClosedPort());
    char szAddr[256];
    ASSERT_TRUE(F.Ext.Connect(&Svc, nullptr, szAddr, sizeof(szAddr)));
    NOTE_S Note;
    ASSERT_TRUE(F.Ext.WaitNote(NOTE_CONNECT, 0, &Note));
    EXPECT_EQ(Note.strAddr, szAddr);
    EXPECT_EQ(Note.uValue, 0u);
    // The socket stays for its owner; driving past the time-out adds no second report.
    for (int i = 0; i < 40; i++)
        F.Ext.TimerTick(0);
    EXPECT_EQ(F.Ext.Count(NOTE_CONNECT), 1u);
    EXPECT_TRUE(F.Ext.Disconnect(szAddr, 0));
    EXPECT_TRUE(F.Ext.Idle(0));
}

TEST_F(ExtTcp, ConnectFinishedAtOnceIsReportedFromWithinConnect)
{
    // A service on this host answers (or refuses) during connect(): the result is raised on
    // the caller's thread before Connect returns, and the worker does not raise it again.
    u16 uPort = 0;
    int fdListen = ListenOn(&uPort);
    ASSERT_GE(fdListen, 0);
    const struct {
        u16 uPort;
        u32 uResult;
    } aCase[] = {{uPort, 1}, {ClosedPort(), 0}};
    for (const auto& c : aCase) {
        CExtFixture F(DefaultCfg());
        ASSERT_TRUE(F.bStarted);
        QV_ADDR_S Svc = V4(c.uPort);
        char szAddr[256];
        ASSERT_TRUE(F.Ext.Connect(&Svc, nullptr, szAddr, sizeof(szAddr)));
        std::vector<NOTE_S> Notes = F.Ext.Notes(NOTE_CONNECT);
        ASSERT_EQ(Notes.size(), 1u) << c.uPort;
        EXPECT_EQ(Notes[0].strAddr, szAddr);
        EXPECT_EQ(Notes[0].uValue, c.uResult);
        EXPECT_EQ(Notes[0].Tid, std::this_thread::get_id());
        WholePass(F);  // adds two listeners
        EXPECT_EQ(F.Ext.Count(NOTE_CONNECT), 1u);
        EXPECT_TRUE(F.Ext.Disconnect(szAddr, 0));
        EXPECT_TRUE(F.Ext.Idle(2));
    }
    close(fdListen);
}

TEST_F(ExtTcp, UnansweredConnectTimesOutByTicks)
{
    CQVExtTcp::CFG_S Cfg = DefaultCfg();
    Cfg.uConnectTimeout = 12;
    CExtFixture F(Cfg);
    ASSERT_TRUE(F.bStarted);
    // A listener whose queue is full drops further handshakes: the connect hangs.
    u16 uPort = 0;
    int fdFull = ListenOn(&uPort, 0);
    int fdFirst = ConnectTo(uPort);
    ASSERT_GE(fdFirst, 0);
    QV_ADDR_S Svc = V4(uPort);
    char szAddr[256];
    ASSERT_TRUE(F.Ext.Connect(&Svc, nullptr, szAddr, sizeof(szAddr)));
    for (int i = 0; i < 11; i++)
        F.Ext.TimerTick(0);
    EXPECT_EQ(F.Ext.Count(NOTE_CONNECT), 0u);
    F.Ext.TimerTick(0);
    NOTE_S Note;
    ASSERT_TRUE(F.Ext.WaitNote(NOTE_CONNECT, 0, &Note, 1000));
    EXPECT_EQ(Note.strAddr, szAddr);
    EXPECT_EQ(Note.uValue, 0u);
    EXPECT_TRUE(F.Ext.Disconnect(szAddr, 0));
    EXPECT_TRUE(F.Ext.Idle(0));
    close(fdFirst);
    close(fdFull);
}

TEST_F(ExtTcp, ConnectErrorsAreRefusedAtOnce)
{
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    char szAddr[256];
    // An IPv6 service is not taken for the IPv4 address in its last word.
    QV_ADDR_S V6 = V4(80);
    V6.uAddr[0] = htonl(0x20010db8);
    EXPECT_FALSE(F.Ext.Connect(&V6, nullptr, szAddr, sizeof(szAddr)));
    EXPECT_EQ(F.Ext.CountError(QV_EXT_TCP_ERR_CONNECT), 1u);
    // A bind address that cannot be had.
    QV_ADDR_S Svc = V4(ClosedPort());
    QV_ADDR_S Bind = V4(1, "192.0.2.1");
    EXPECT_FALSE(F.Ext.Connect(&Svc, &Bind, szAddr, sizeof(szAddr)));
    EXPECT_EQ(F.Ext.CountError(QV_EXT_TCP_ERR_BIND), 1u);
    // No room for the AddrSock.
    EXPECT_FALSE(F.Ext.Connect(&Svc, nullptr, szAddr, 8));
    EXPECT_TRUE(F.Ext.Idle(0));
}

TEST_F(ExtTcp, WorkerTakesAtMost32AndTheListenerCounts)
{
    CExtFixture F(DefaultCfg()); // 16 + 8: one worker
    ASSERT_TRUE(F.bStarted);
    u16 uPort = ClosedPort();
    QV_ADDR_S Listen = V4(uPort);
    ASSERT_TRUE(F.Ext.ListenAdd(&Listen, 0, 3));
    std::vector<int> Clients;
    for (int i = 0; i < 31; i++) {
        Clients.push_back(ConnectTo(uPort));
        ASSERT_GE(Clients.back(), 0);
    }
    ASSERT_TRUE(WaitFor([&] { return F.Ext.Count(NOTE_ACCEPT) == 31; }));
    int fdExtra = ConnectTo(uPort);
    ASSERT_TRUE(WaitFor([&] { return F.Ext.CountError(QV_EXT_TCP_ERR_FULL) == 1; }));
    EXPECT_TRUE(PeerClosed(fdExtra));
    EXPECT_EQ(F.Ext.Count(NOTE_ACCEPT), 31u);
    QV_ADDR_S Svc = V4(ClosedPort());
    char szAddr[256];
    EXPECT_FALSE(F.Ext.Connect(&Svc, nullptr, szAddr, sizeof(szAddr)));
    EXPECT_EQ(F.Ext.CountError(QV_EXT_TCP_ERR_FULL), 2u);
    // Clients that leave while nobody reads from them are found by the periodic check.
    for (int fd : Clients)
        close(fd);
    for (int i = 0; i < 6; i++)
        F.Ext.TimerTick(0);
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Count(NOTE_DISCONNECT) == 31; }));
    for (const NOTE_S& n : F.Ext.Notes(NOTE_ACCEPT))
        EXPECT_TRUE(F.Ext.Disconnect(n.strAddr.c_str(), 0));
    EXPECT_TRUE(F.Ext.Idle(1));
    close(fdExtra);
}

TEST_F(ExtTcp, AcceptBudgetPerSecond)
{
    CQVExtTcp::CFG_S Cfg = DefaultCfg();
    Cfg.uAcceptSpeed = 2;
    CExtFixture F(Cfg);
    ASSERT_TRUE(F.bStarted);
    u16 uPort = ClosedPort();
    QV_ADDR_S Listen = V4(uPort);
    ASSERT_TRUE(F.Ext.ListenAdd(&Listen, 0, 0));
    std::vector<int> Clients;
    for (int i = 0; i < 5; i++)
        Clients.push_back(ConnectTo(uPort));
    ASSERT_TRUE(WaitFor([&] { return F.Ext.Count(NOTE_ACCEPT) == 2; }));
    // Without a tick the listener is not served again.
    WholePass(F);
    EXPECT_EQ(F.Ext.Count(NOTE_ACCEPT), 2u);
    for (size_t uWant = 3; uWant <= 5; uWant++) {
        F.Ext.TimerTick(0);
        EXPECT_TRUE(WaitFor([&] { return F.Ext.Count(NOTE_ACCEPT) == uWant; }));
    }
    for (const NOTE_S& n : F.Ext.Notes(NOTE_ACCEPT))
        F.Ext.Disconnect(n.strAddr.c_str(), 0);
    EXPECT_TRUE(F.Ext.Idle(3));
    for (int fd : Clients)
        close(fd);
}

TEST_F(ExtTcp, ParallelLimitHoldsClientsBack)
{
    CQVExtTcp::CFG_S Cfg = DefaultCfg();
    Cfg.uMaxParallel = 2;
    CExtFixture F(Cfg);
    ASSERT_TRUE(F.bStarted);
    u16 uPort = ClosedPort();
    QV_ADDR_S Listen = V4(uPort);
    ASSERT_TRUE(F.Ext.ListenAdd(&Listen, 0, 0));
    std::vector<int> Clients;
    for (int i = 0; i < 3; i++)
        Clients.push_back(ConnectTo(uPort));
    ASSERT_TRUE(WaitFor([&] { return F.Ext.Count(NOTE_ACCEPT) == 2; }));
    WholePass(F);
    EXPECT_EQ(F.Ext.Count(NOTE_ACCEPT), 2u);
    // One leaves: the third is taken.
    F.Ext.Disconnect(F.Ext.Notes(NOTE_ACCEPT)[0].strAddr.c_str(), 0);
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Count(NOTE_ACCEPT) == 3; }));
    for (const NOTE_S& n : F.Ext.Notes(NOTE_ACCEPT))
        F.Ext.Disconnect(n.strAddr.c_str(), 0);
    EXPECT_TRUE(F.Ext.Idle(3));
    for (int fd : Clients)
        close(fd);
}

TEST_F(ExtTcp, RefusedAcceptFreesTheSocket)
{
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    F.Ext.m_uAcceptResult = 0;
    u16 uPort = ClosedPort();
    QV_ADDR_S Listen = V4(uPort);
    ASSERT_TRUE(F.Ext.ListenAdd(&Listen, 0, 0));
    int fd = ConnectTo(uPort);
    EXPECT_TRUE(PeerClosed(fd));
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Idle(1); }));
    close(fd);
}

struct ACTIVE_CASE_S {
    u32 uUp, uDown, uCombine;
    bool bClientTalks; // the client sends a byte every tick
    int iDropTick;     // tick at which the accepted socket is dropped, 0 never (within 30)
};

class ExtTcpActive : public ::testing::TestWithParam<ACTIVE_CASE_S> {};

TEST_P(ExtTcpActive, IdleSocketsAreDroppedByTicks)
{
    const ACTIVE_CASE_S& C = GetParam();
    CQVExtTcp::CFG_S Cfg = DefaultCfg();
    Cfg.uUpActiveTimeout = C.uUp;
    Cfg.uDownActiveTimeout = C.uDown;
    Cfg.uActiveCombine = C.uCombine;
    CExtFixture F(Cfg);
    ASSERT_TRUE(F.bStarted);
    u16 uSvcPort = 0, uPort = ClosedPort();
    int fdSvc = ListenOn(&uSvcPort);
    QV_ADDR_S Listen = V4(uPort);
    ASSERT_TRUE(F.Ext.ListenAdd(&Listen, 0, 0));
    CForward Fw(F);
    ASSERT_TRUE(Fw.Open(uPort, fdSvc, uSvcPort));
    int iDropped = 0;
    u64 uSent = 0;
    for (int iTick = 1; iTick <= 30 && !iDropped; iTick++) {
        if (C.bClientTalks) {
            ASSERT_TRUE(SendAll(Fw.fdClient, "t", 1));
            uSent++;
            // The byte has reached the service before time moves on.
            ASSERT_EQ(RecvN(Fw.fdService, 1), "t");
        }
        F.Ext.TimerTick(0);
        if (F.Ext.Count(NOTE_DISCONNECT, Fw.strAccepted))
            iDropped = iTick;
    }
    EXPECT_EQ(iDropped, C.iDropTick);
    if (iDropped) {
        EXPECT_TRUE(PeerClosed(Fw.fdClient));
        // Outgoing sockets are never dropped for idleness.
        EXPECT_EQ(F.Ext.Count(NOTE_DISCONNECT, Fw.strOutgoing), 0u);
    }
    F.Ext.Disconnect(Fw.strAccepted.c_str(), 0);
    F.Ext.Disconnect(Fw.strOutgoing.c_str(), 0);
    F.Node.CloseAll();
    EXPECT_TRUE(F.Ext.Idle(1));
    close(fdSvc);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExtTcpActive,
                         ::testing::Values(ACTIVE_CASE_S{10, 0, 0, false, 10}, ACTIVE_CASE_S{10, 0, 0, true, 0},
                                           ACTIVE_CASE_S{0, 7, 0, true, 7}, ACTIVE_CASE_S{10, 10, 1, true, 0},
                                           ACTIVE_CASE_S{10, 10, 1, false, 10}, ACTIVE_CASE_S{0, 0, 0, false, 0}));

TEST_F(ExtTcp, ListenersAddDeleteAndBind)
{
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    u16 uPort = ClosedPort();
    QV_ADDR_S Listen = V4(uPort);
    // While the extension runs, an address it does not listen on is not tested.
    EXPECT_TRUE(F.Ext.ListenBind(&Listen));
    ASSERT_TRUE(F.Ext.ListenAdd(&Listen, 0, 5));
    EXPECT_TRUE(F.Ext.ListenExist(&Listen));
    EXPECT_FALSE(F.Ext.ListenBind(&Listen));
    // Adding again changes the parameter only.
    ASSERT_TRUE(F.Ext.ListenAdd(&Listen, 0, 6));
    int fd = ConnectTo(uPort);
    NOTE_S Note;
    ASSERT_TRUE(F.Ext.WaitNote(NOTE_ACCEPT, 0, &Note));
    EXPECT_EQ(Note.uValue, 6u);
    EXPECT_TRUE(F.Ext.ListenDelete(&Listen));
    EXPECT_FALSE(F.Ext.ListenExist(&Listen));
    EXPECT_TRUE(WaitFor([&] { return ConnectTo(uPort) < 0; }));
    EXPECT_TRUE(F.Ext.Disconnect(Note.strAddr.c_str(), 0));
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Idle(0); }));
    close(fd);
    // Stopped, it tests a real bind; IPv6 is never listened on.
    F.Ext.OnClean();
    EXPECT_TRUE(F.Ext.ListenBind(&Listen));
    QV_ADDR_S V6 = V4(uPort);
    V6.uAddr[0] = htonl(0x20010db8);
    EXPECT_FALSE(F.Ext.ListenBind(&V6));
    u16 uBusy = 0;
    int fdBusy = ListenOn(&uBusy);
    QV_ADDR_S Busy = V4(uBusy);
    EXPECT_FALSE(F.Ext.ListenBind(&Busy));
    EXPECT_FALSE(F.Ext.ListenAdd(&Busy, 0, 0));
    close(fdBusy);
}

// A deleted listener leaves its worker's epoll before its descriptor closes: the host's own
// files, opened and closed all the while on a thread that never speaks to the extension, take
// its number as soon as it is free, and the worker (which rebuilds its sets after the close)
// never registers or drops that number again. The thread sanitizer build checks the ordering:
// without it, it sees the worker touch a descriptor of the host's.
TEST_F(ExtTcp, DeletedListenersNumberIsLeftToTheHost)
{
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    std::atomic<bool> bStop{false};
    std::thread Host([&] {
        while (!bStop)
            close(open("/dev/null", O_RDONLY | O_CLOEXEC));
    });
    for (int iRound = 0; iRound < 300; iRound++) {
        QV_ADDR_S Listen = V4(ClosedPort());
        u64 uPasses = F.Ext.GetPassCount();
        ASSERT_TRUE(F.Ext.ListenAdd(&Listen, 0, 0));
        ASSERT_TRUE(WaitFor([&] { return F.Ext.GetPassCount() > uPasses; }));
        ASSERT_TRUE(F.Ext.ListenDelete(&Listen));
        ASSERT_TRUE(WaitFor([&] { return F.Ext.Idle(0); }));
    }
    bStop = true;
    Host.join();
}

TEST_F(ExtTcp, InstancesOpenOnlyOnTheirSocket)
{
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    u16 uPort = ClosedPort();
    QV_ADDR_S Listen = V4(uPort);
    ASSERT_TRUE(F.Ext.ListenAdd(&Listen, 0, 0));
    int fd = ConnectTo(uPort);
    NOTE_S Note;
    ASSERT_TRUE(F.Ext.WaitNote(NOTE_ACCEPT, 0, &Note));
    // Names without '/', unknown sockets and bad options are refused.
    void* lpInst = nullptr;
    EXPECT_FALSE(F.Node.Call([&] { return F.Ext.OnOpen(&lpInst, "NoSlash", "", 0, 1, &F.Node); }));
    EXPECT_FALSE(F.Node.Call([&] { return F.Ext.OnOpen(&lpInst, "Put/0:0:0:1:2:0/x", "", 0, 1, &F.Node); }));
    std::string strName = "Put/" + Note.strAddr;
    for (const char* lpszOpt : {"(Option){(Mode){2}}", "(Option){(Mode){x}}", "(Option){(Mode){-1}}", "(Opt"})
        EXPECT_FALSE(F.Node.Call([&] { return F.Ext.OnOpen(&lpInst, strName.c_str(), lpszOpt, 0, 1, &F.Node); }))
            << lpszOpt;
    // Two opens of one name are two instances: closing the first leaves the second working
    // (it has taken the socket's read side over).
    u32 h1 = F.Node.Open(Note.strAddr, 0);
    u32 h2 = F.Node.Open(Note.strAddr, 0);
    ASSERT_TRUE(h1 && h2);
    EXPECT_EQ(F.Node.Read(h1).first, 0);
    F.Node.Close(h1);
    SendAll(fd, "abc", 3);
    EXPECT_TRUE(WaitFor([&] { return F.Node.EventCount(h2, 2) > 0; }));
    EXPECT_EQ(F.Node.Read(h2).second, "abc");
    EXPECT_EQ(F.Node.Ctrl(h2, 0), 1);
    EXPECT_EQ(F.Node.Ctrl(h2, 1), 0);
    // The socket goes; the instance stays open and says so.
    EXPECT_TRUE(F.Ext.Disconnect(Note.strAddr.c_str(), 0));
    EXPECT_EQ(F.Node.Read(h2).first, 0);
    EXPECT_EQ(F.Node.Ctrl(h2, 0), 0);
    F.Node.Close(h2);
    EXPECT_TRUE(F.Ext.Idle(1));
    CQVExtTcp::STAT_S St;
    F.Ext.GetStat(&St);
    EXPECT_EQ(St.uInstances, 0u);
    close(fd);
}

// A raw stream is announced (event 2) once the node's read found it empty; a read that
// moved bytes, short or not, leaves the next read to the node, which reads again whenever it
// has room. Whatever comes after an empty read is announced, so nothing waits unseen.
TEST_F(ExtTcp, RawStreamIsAnnouncedAfterAReadThatFoundNothing)
{
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    u16 uPort = ClosedPort();
    QV_ADDR_S Listen = V4(uPort);
    ASSERT_TRUE(F.Ext.ListenAdd(&Listen, 0, 0));
    int fd = ConnectTo(uPort);
    NOTE_S Note;
    ASSERT_TRUE(F.Ext.WaitNote(NOTE_ACCEPT, 0, &Note));
    u32 h = F.Node.Open(Note.strAddr, 0);
    ASSERT_TRUE(h);
    const std::string strFirst(3000, 'a');
    ASSERT_TRUE(SendAll(fd, strFirst));
    ASSERT_TRUE(WaitFor([&] { return F.Node.EventCount(h, 2) == 1; }));
    // One full read, then short ones until the bytes sent are in.
    auto Full = F.Node.Read(h, 1000);
    EXPECT_EQ(Full.first, 3);
    std::string strGot = Full.second;
    EXPECT_TRUE(WaitFor([&] {
        strGot += F.Node.Read(h).second;
        return strGot.size() >= strFirst.size();
    }));
    EXPECT_EQ(strGot, strFirst);
    // Bytes after short reads: the node has not asked to hear of them.
    ASSERT_TRUE(SendAll(fd, std::string(100, 'b')));
    WholePass(F);
    EXPECT_EQ(F.Node.EventCount(h, 2), 1u);
    strGot.clear();
    EXPECT_TRUE(WaitFor([&] {
        strGot += F.Node.Read(h).second;
        return strGot.size() >= 100;
    }));
    EXPECT_EQ(strGot, std::string(100, 'b'));
    // A read that finds nothing: the next bytes are announced.
    auto Empty = F.Node.Read(h);
    EXPECT_EQ(Empty.first, 1);
    EXPECT_EQ(Empty.second, "");
    ASSERT_TRUE(SendAll(fd, "cde", 3));
    EXPECT_TRUE(WaitFor([&] { return F.Node.EventCount(h, 2) == 2; }));
    EXPECT_EQ(F.Node.Read(h).second, "cde");
    F.Node.Close(h);
    close(fd);
}

TEST_F(ExtTcp, GracefulDisconnectWaitsForASide)
{
    CExtFixture F(DefaultCfg());
    ASSERT_TRUE(F.bStarted);
    u16 uSvcPort = 0, uPort = ClosedPort();
    int fdSvc = ListenOn(&uSvcPort);
    QV_ADDR_S Listen = V4(uPort);
    ASSERT_TRUE(F.Ext.ListenAdd(&Listen, 0, 0));
    int fd = ConnectTo(uPort);
    NOTE_S Note;
    ASSERT_TRUE(F.Ext.WaitNote(NOTE_ACCEPT, 0, &Note));
    u32 hRead = F.Node.Open(Note.strAddr, 0);
    u32 hWrite = F.Node.Open(Note.strAddr, 1);
    ASSERT_TRUE(hRead && hWrite);
    EXPECT_TRUE(F.Ext.Disconnect(Note.strAddr.c_str(), 1));
    EXPECT_EQ(F.Node.Write(hWrite, "bye").second, 3u);
    CQVExtTcp::STAT_S St;
    F.Ext.GetStat(&St);
    EXPECT_EQ(St.uSockets, 1u);
    F.Node.Close(hRead);
    EXPECT_EQ(RecvAll(fd), "bye");
    EXPECT_TRUE(F.Ext.Idle(1));
    F.Node.Close(hWrite);
    EXPECT_EQ(F.Ext.Count(NOTE_DISCONNECT), 0u);
    close(fd);
    close(fdSvc);
}

TEST_F(ExtTcp, ManyConnectionsAtOnceOverSeveralWorkers)
{
    CQVExtTcp::CFG_S Cfg = DefaultCfg();
    Cfg.uMaxSess = 200;
    Cfg.uMaxTunnel = 8;
    CExtFixture F(Cfg);
    ASSERT_TRUE(F.bStarted);
    CQVExtTcp::STAT_S St;
    F.Ext.GetStat(&St);
    EXPECT_EQ(St.uThreads, 7u);
    u16 uSvcPort = 0, uPort = ClosedPort();
    int fdSvc = ListenOn(&uSvcPort);
    QV_ADDR_S Listen = V4(uPort);
    ASSERT_TRUE(F.Ext.ListenAdd(&Listen, 0, 0));
    const int N = 48;
    std::vector<std::unique_ptr<CForward>> Fw;
    for (int i = 0; i < N; i++) {
        Fw.emplace_back(new CForward(F));
        ASSERT_TRUE(Fw.back()->Open(uPort, fdSvc, uSvcPort, (size_t)i));
    }
    std::vector<std::thread> Threads;
    std::atomic<int> iGood{0};
    for (int i = 0; i < N; i++) {
        Threads.emplace_back([&, i] {
            // An echo service per connection.
            std::string str = RecvAll(Fw[i]->fdService);
            SendAll(Fw[i]->fdService, str);
            shutdown(Fw[i]->fdService, SHUT_WR);
        });
        Threads.emplace_back([&, i] {
            std::string strMsg = "connection " + std::to_string(i) + std::string(20000 + i, 'z');
            SendAll(Fw[i]->fdClient, strMsg);
            shutdown(Fw[i]->fdClient, SHUT_WR);
            if (RecvAll(Fw[i]->fdClient) == strMsg)
                iGood++;
        });
    }
    for (std::thread& t : Threads)
        t.join();
    EXPECT_EQ(iGood.load(), N);
    EXPECT_TRUE(WaitFor([&] { return F.Ext.Idle(1); }));
    close(fdSvc);
}

} // namespace
