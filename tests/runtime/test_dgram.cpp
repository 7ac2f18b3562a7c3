// Batched datagram input: reads with UDP GRO are cut back into the datagrams that were sent.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "qvDgramOut.h"

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace {

struct Loop {
    int rx = -1, tx = -1, tx2 = -1;
    u16 tx2Port = 0;
    sockaddr_in to{};
    u16 txPort = 0;
    Loop()
    {
        rx = socket(AF_INET, SOCK_DGRAM, 0);
        tx = socket(AF_INET, SOCK_DGRAM, 0);
        int big = 4 << 20;
        setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(rx, (sockaddr*)&to, sizeof(to));
        socklen_t l = sizeof(to);
        getsockname(rx, (sockaddr*)&to, &l);
        sockaddr_in me = to;
        me.sin_port = 0;
        bind(tx, (sockaddr*)&me, sizeof(me));
        l = sizeof(me);
        getsockname(tx, (sockaddr*)&me, &l);
        txPort = ntohs(me.sin_port);
        tx2 = socket(AF_INET, SOCK_DGRAM, 0);
        me.sin_port = 0;
        bind(tx2, (sockaddr*)&me, sizeof(me));
        l = sizeof(me);
        getsockname(tx2, (sockaddr*)&me, &l);
        tx2Port = ntohs(me.sin_port);
    }
    ~Loop()
    {
        close(rx);
        close(tx);
        close(tx2);
    }
    // Datagram k of a test: its length and first bytes tell it apart.
    static std::string Dgram(u32 k, u32 len)
    {
        std::string d(len, (char)('a' + k % 26));
        if (len >= 4) std::memcpy(&d[0], &k, 4);
        return d;
    }
    // Sends the datagrams as one UDP GSO send of equal segments (the last may be shorter)
    // where the kernel takes it, else one by one.
    void SendRun(const std::vector<std::string>& run, bool second = false)
    {
        int fd = second ? tx2 : tx;
        std::string all;
        for (const auto& d : run) all += d;
        int seg = (int)run[0].size();
        char ctl[CMSG_SPACE(sizeof(uint16_t))] = {};
        iovec iov{&all[0], all.size()};
        msghdr m{};
        m.msg_name = &to;
        m.msg_namelen = sizeof(to);
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = ctl;
        m.msg_controllen = sizeof(ctl);
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        uint16_t s16 = (uint16_t)seg;
        std::memcpy(CMSG_DATA(c), &s16, sizeof(s16));
        if (run.size() > 1 && sendmsg(fd, &m, 0) == (ssize_t)all.size()) return;
        for (const auto& d : run) sendto(fd, d.data(), d.size(), 0, (sockaddr*)&to, sizeof(to));
    }
};

// Reads until want datagrams came or a read finds nothing twice; every datagram must come
// from the sender's port.
std::vector<std::string> ReadAll(CQVDgramIn& in, int fd, u32 want, u16 port, std::vector<u16>* ports = nullptr)
{
    std::vector<std::string> got;
    for (u32 idle = 0; got.size() < want && idle < 50;) {
        u32 n = in.Receive(fd);
        EXPECT_LE(n, in.Count());
        if (!n) {
            idle++;
            usleep(2000);
            continue;
        }
        for (u32 i = 0; i < n; i++) {
            QV_ADDR_S from;
            EXPECT_EQ(1u, in.From(i, &from));
            if (ports)
                ports->push_back((u16)from.uPort);
            else
                EXPECT_EQ(port, from.uPort);
            got.emplace_back((const char*)in.Data(i), in.Len(i));
        }
    }
    return got;
}

} // namespace

// Runs of equal datagrams sent with GSO (and read with GRO where the kernel has it) by two
// senders in turn, plain datagrams between them, a last segment shorter than the others and
// more datagrams than the reader has slots: every datagram comes once, whole, in order, with
// its own sender.
TEST(DgramIn, CoalescedReadsGiveBackEveryDatagramInOrder)
{
    struct Case {
        u32 slots;
        bool gro;
    } cases[] = {{32, true}, {7, true}, {1, true}, {32, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE("slots " + std::to_string(c.slots) + (c.gro ? " gro" : " plain"));
        Loop l;
        CQVDgramIn in;
        ASSERT_EQ(1u, in.Alloc(c.slots, 2048));
        if (!c.gro) in.GroOff();
        EXPECT_EQ(0u, in.Receive(l.rx));   // nothing queued yet
        if (!c.gro) {
            EXPECT_EQ(0u, in.IsGro());
        }
        std::vector<std::string> sent;
        std::vector<u16> from;
        u32 k = 0, runs = 0;
        // Runs come from two senders in turn.
        auto run = [&](u32 count, u32 len, u32 lastLen) {
            std::vector<std::string> r;
            for (u32 i = 0; i < count; i++) r.push_back(Loop::Dgram(k++, i + 1 == count ? lastLen : len));
            bool second = runs++ % 2;
            l.SendRun(r, second);
            sent.insert(sent.end(), r.begin(), r.end());
            from.insert(from.end(), r.size(), second ? l.tx2Port : l.txPort);
        };
        run(10, 100, 37);
        run(1, 500, 500);
        run(40, 64, 64);
        run(1, 0, 0);   // an empty datagram is a datagram too
        run(30, 1336, 1336);
        run(3, 24, 16);
        std::vector<u16> ports;
        std::vector<std::string> got = ReadAll(in, l.rx, (u32)sent.size(), 0, &ports);
        ASSERT_EQ(sent.size(), got.size());
        for (size_t i = 0; i < sent.size(); i++) {
            EXPECT_EQ(sent[i], got[i]) << "datagram " << i;
            EXPECT_EQ(from[i], ports[i]) << "sender of datagram " << i;
        }
        EXPECT_EQ(0u, in.Receive(l.rx));
    }
}

// A datagram longer than a slot comes cut to the slot, with or without GRO.
TEST(DgramIn, LongDatagramIsCutToTheSlot)
{
    for (bool gro : {true, false}) {
        Loop l;
        CQVDgramIn in;
        ASSERT_EQ(1u, in.Alloc(4, 2048));
        if (!gro) in.GroOff();
        in.Receive(l.rx);
        std::string d = Loop::Dgram(9, 3000), e = Loop::Dgram(10, 20);
        sendto(l.tx, d.data(), d.size(), 0, (sockaddr*)&l.to, sizeof(l.to));
        sendto(l.tx, e.data(), e.size(), 0, (sockaddr*)&l.to, sizeof(l.to));
        std::vector<std::string> got = ReadAll(in, l.rx, 2, l.txPort);
        ASSERT_EQ(2u, got.size());
        EXPECT_EQ(d.substr(0, 2048), got[0]);
        EXPECT_EQ(e, got[1]);
    }
}

// A coalesced read larger than the slots leaves datagrams Pending; they are given out without
// reading the socket again, and only then is the socket read.
TEST(DgramIn, PendingPartOfACoalescedReadIsTakenWithoutReading)
{
    Loop l;
    CQVDgramIn in;
    ASSERT_EQ(1u, in.Alloc(4, 2048));
    EXPECT_EQ(0u, in.Receive(l.rx));
    std::vector<std::string> run;
    for (u32 k = 0; k < 20; k++) run.push_back(Loop::Dgram(k, 100));
    l.SendRun(run);
    std::vector<std::string> got;
    for (int i = 0; i < 200 && got.empty(); i++) {
        u32 n = in.Receive(l.rx);
        for (u32 j = 0; j < n; j++) got.emplace_back((const char*)in.Data(j), in.Len(j));
        if (!n) usleep(2000);
    }
    ASSERT_EQ(4u, got.size());
    if (!in.Pending()) GTEST_SKIP() << "the kernel did not coalesce the run";
    std::string late = Loop::Dgram(99, 30);
    sendto(l.tx, late.data(), late.size(), 0, (sockaddr*)&l.to, sizeof(l.to));
    while (in.Pending()) {
        u32 n = in.Receive(l.rx, 0);
        ASSERT_GT(n, 0u);
        for (u32 j = 0; j < n; j++) got.emplace_back((const char*)in.Data(j), in.Len(j));
    }
    EXPECT_EQ(run, got);
    EXPECT_EQ(0u, in.Receive(l.rx, 0));   // the late datagram waits in the socket
    std::vector<std::string> rest = ReadAll(in, l.rx, 1, l.txPort);
    ASSERT_EQ(1u, rest.size());
    EXPECT_EQ(late, rest[0]);
}

// The rest of a coalesced read and a datagram of another sender read in the same call each
// keep their own sender.
TEST(DgramIn, PendingDatagramsKeepTheirSenderWhenTheSocketIsReadAgain)
{
    Loop l;
    CQVDgramIn in;
    ASSERT_EQ(1u, in.Alloc(6, 2048));
    EXPECT_EQ(0u, in.Receive(l.rx));
    std::vector<std::string> run;
    for (u32 k = 0; k < 20; k++) run.push_back(Loop::Dgram(k, 100));
    l.SendRun(run);
    std::vector<std::string> got;
    std::vector<u16> ports;
    auto take = [&](u32 n) {
        for (u32 j = 0; j < n; j++) {
            QV_ADDR_S from;
            EXPECT_EQ(1u, in.From(j, &from));
            ports.push_back((u16)from.uPort);
            got.emplace_back((const char*)in.Data(j), in.Len(j));
        }
    };
    for (int i = 0; i < 200 && got.empty(); i++) {
        u32 n = in.Receive(l.rx);
        take(n);
        if (!n) usleep(2000);
    }
    if (!in.Pending()) GTEST_SKIP() << "the kernel did not coalesce the run";
    std::string late = Loop::Dgram(99, 30);
    sendto(l.tx2, late.data(), late.size(), 0, (sockaddr*)&l.to, sizeof(l.to));
    usleep(20000);
    for (int i = 0; i < 50 && got.size() < 21; i++) take(in.Receive(l.rx));
    run.push_back(late);
    EXPECT_EQ(run, got);
    ASSERT_EQ(21u, ports.size());
    for (u32 k = 0; k < 20; k++) EXPECT_EQ(l.txPort, ports[k]) << "datagram " << k;
    EXPECT_EQ(l.tx2Port, ports[20]);
}
