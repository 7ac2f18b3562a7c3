// Epoll facade: slots, interest bookkeeping of the read and write views, readiness.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <vector>

#include "qvEPoll.h"

namespace {

class EPollTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_GE(qvEpollCreate(&m_Epoll), 0);
        QV_FD_INIT(&m_Read, 0, &m_Epoll);
        QV_FD_INIT(&m_Write, 1, &m_Epoll);
    }
    void TearDown() override
    {
        qvEpollDestroy(&m_Epoll);
        for (int fd : m_Fds)
            close(fd);
    }
    // An eventfd: always writable, readable once Signal was called.
    int NewFd()
    {
        int fd = eventfd(0, EFD_NONBLOCK);
        EXPECT_GE(fd, 0);
        m_Fds.push_back(fd);
        return fd;
    }
    static void Signal(int fd)
    {
        uint64_t u = 1;
        ASSERT_EQ((ssize_t)sizeof(u), write(fd, &u, sizeof(u)));
    }
    int Slot(int fd)
    {
        for (int i = 0; i < QV_FD_EPOLL_MAX; i++)
            if (m_Epoll.iFd[i] == fd)
                return i;
        return -1;
    }

    _qv_fd_epoll m_Epoll;
    _qv_fd_set m_Read, m_Write;
    std::vector<int> m_Fds;
};

TEST_F(EPollTest, InitLeavesEverySlotFree)
{
    _qv_fd_epoll Epoll;
    qvEPollInit(&Epoll);
    EXPECT_EQ(-1, Epoll.iEpFd);
    for (int i = 0; i < QV_FD_EPOLL_MAX; i++)
        EXPECT_EQ(-1, Epoll.iFd[i]);
    EXPECT_EQ(0, QV_FD_ISSET(-1, &m_Read));
    EXPECT_EQ(-1, qvEpollSelect(0, nullptr, nullptr, nullptr, 0));
}

TEST_F(EPollTest, WatchesAtMost128Descriptors)
{
    std::vector<int> fds;
    for (int i = 0; i < QV_FD_EPOLL_MAX + 1; i++)
        fds.push_back(NewFd());
    for (int fd : fds)
        QV_FD_SET(fd, &m_Read);
    EXPECT_EQ(-1, Slot(fds.back())); // the 129th is silently not watched

    Signal(fds.front());
    Signal(fds.back());
    EXPECT_EQ(1, qvEpollSelect(0, &m_Read, &m_Write, nullptr, 1000));
    EXPECT_EQ(1, QV_FD_ISSET(fds.front(), &m_Read));
    EXPECT_EQ(0, QV_FD_ISSET(fds.back(), &m_Read));
    EXPECT_EQ(0, QV_FD_ISSET(fds.front(), &m_Write));
}

TEST_F(EPollTest, BothViewsShareOneSlot)
{
    int fd = NewFd();
    QV_FD_SET(fd, &m_Read);
    QV_FD_SET(fd, &m_Read);
    QV_FD_SET(fd, &m_Write);
    int iSlot = Slot(fd);
    ASSERT_GE(iSlot, 0);
    EXPECT_EQ(3, m_Epoll.iCur[iSlot]);
    int iSlots = 0;
    for (int i = 0; i < QV_FD_EPOLL_MAX; i++)
        iSlots += m_Epoll.iFd[i] >= 0;
    EXPECT_EQ(1, iSlots);

    // Writable at once; readable too once signalled: one event with both bits.
    Signal(fd);
    EXPECT_EQ(1, qvEpollSelect(0, &m_Read, &m_Write, nullptr, 1000));
    EXPECT_EQ(1, QV_FD_ISSET(fd, &m_Read));
    EXPECT_EQ(1, QV_FD_ISSET(fd, &m_Write));
}

TEST_F(EPollTest, ZeroDropsOnlyItsOwnInterest)
{
    int fdRead = NewFd(), fdBoth = NewFd();
    QV_FD_SET(fdRead, &m_Read);
    QV_FD_SET(fdBoth, &m_Read);
    QV_FD_SET(fdBoth, &m_Write);
    QV_FD_ZERO(&m_Read);
    EXPECT_EQ(-1, Slot(fdRead)); // removed from epoll, slot freed
    int iSlot = Slot(fdBoth);
    ASSERT_GE(iSlot, 0);
    EXPECT_EQ(1, m_Epoll.iCur[iSlot]);

    // Only the write interest is left: a signalled fdRead no longer wakes the wait.
    Signal(fdRead);
    Signal(fdBoth);
    EXPECT_EQ(1, qvEpollSelect(0, &m_Read, &m_Write, nullptr, 1000));
    EXPECT_EQ(0, QV_FD_ISSET(fdRead, &m_Read));
    EXPECT_EQ(1, QV_FD_ISSET(fdBoth, &m_Write));
    EXPECT_EQ(0, QV_FD_ISSET(fdBoth, &m_Read));

    QV_FD_ZERO(&m_Write);
    EXPECT_EQ(-1, Slot(fdBoth));
    EXPECT_EQ(0, qvEpollSelect(0, &m_Read, &m_Write, nullptr, 0));
    // A wait through the write view alone uses the same facade.
    QV_FD_SET(fdBoth, &m_Write);
    EXPECT_EQ(1, qvEpollSelect(0, nullptr, &m_Write, nullptr, 1000));
    EXPECT_EQ(1, QV_FD_ISSET(fdBoth, &m_Write));
}

TEST_F(EPollTest, DescriptorNumberReusedAfterClose)
{
    // The loops' pattern: zero, set, wait. A descriptor closed while watched and a new one
    // that got the same number must be watched correctly in the next cycle.
    int fdOld = eventfd(0, EFD_NONBLOCK);
    ASSERT_GE(fdOld, 0);
    QV_FD_SET(fdOld, &m_Read);
    close(fdOld);
    int fdNew = NewFd();
    ASSERT_EQ(fdOld, fdNew);
    QV_FD_SET(fdNew, &m_Read); // still in its slot with interest 2: nothing to register
    Signal(fdNew);
    QV_FD_ZERO(&m_Read);
    QV_FD_SET(fdNew, &m_Read);
    EXPECT_EQ(1, qvEpollSelect(0, &m_Read, &m_Write, nullptr, 1000));
    EXPECT_EQ(1, QV_FD_ISSET(fdNew, &m_Read));
}

TEST_F(EPollTest, ClearDropsOneInterestOfOneDescriptor)
{
    int fdA = NewFd(), fdB = NewFd();
    QV_FD_SET(fdA, &m_Read);
    QV_FD_SET(fdA, &m_Write);
    QV_FD_SET(fdB, &m_Read);
    QV_FD_CLR(fdA, &m_Write);
    ASSERT_GE(Slot(fdA), 0);
    EXPECT_EQ(2, m_Epoll.iCur[Slot(fdA)]);
    Signal(fdB);
    EXPECT_EQ(1, qvEpollSelect(0, &m_Read, &m_Write, nullptr, 1000));
    EXPECT_EQ(0, QV_FD_ISSET(fdA, &m_Write));
    EXPECT_EQ(1, QV_FD_ISSET(fdB, &m_Read));
    QV_FD_CLR(fdA, &m_Read);
    EXPECT_EQ(-1, Slot(fdA));
    QV_FD_CLR(fdA, &m_Read); // not watched: nothing happens
    QV_FD_CLR(-1, &m_Read);
    EXPECT_EQ(0, Slot(fdB) < 0);
}

TEST_F(EPollTest, ForgetBeforeWatchingAReusedNumber)
{
    // A descriptor closed elsewhere while watched leaves its slot; forgetting the number
    // before watching the new descriptor that took it registers the new one.
    int fdOld = eventfd(0, EFD_NONBLOCK);
    ASSERT_GE(fdOld, 0);
    QV_FD_SET(fdOld, &m_Read);
    QV_FD_SET(fdOld, &m_Write);
    close(fdOld);
    int fdNew = NewFd();
    ASSERT_EQ(fdOld, fdNew);
    qvEpollForget(&m_Epoll, fdNew);
    EXPECT_EQ(-1, Slot(fdNew));
    QV_FD_SET(fdNew, &m_Read);
    Signal(fdNew);
    EXPECT_EQ(1, qvEpollSelect(0, &m_Read, &m_Write, nullptr, 1000));
    EXPECT_EQ(1, QV_FD_ISSET(fdNew, &m_Read));
}

TEST_F(EPollTest, HangupCountsAsReady)
{
    // A pipe whose writer is gone reports only a hang-up; a loop that watches it for reading
    // must see it, or its wait would return at once for ever.
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    m_Fds.push_back(fds[0]);
    close(fds[1]);
    QV_FD_SET(fds[0], &m_Read);
    EXPECT_EQ(1, qvEpollSelect(0, &m_Read, &m_Write, nullptr, 1000));
    EXPECT_EQ(1, QV_FD_ISSET(fds[0], &m_Read));
}

TEST_F(EPollTest, TimeOutAndReadyCountReset)
{
    int fd = NewFd();
    QV_FD_SET(fd, &m_Write);
    EXPECT_EQ(1, qvEpollSelect(0, &m_Read, &m_Write, nullptr, 1000));
    EXPECT_EQ(1, QV_FD_ISSET(fd, &m_Write));
    QV_FD_ZERO(&m_Write); // forgets the last wait's events
    EXPECT_EQ(0, QV_FD_ISSET(fd, &m_Write));
    EXPECT_EQ(0, qvEpollSelect(0, &m_Read, &m_Write, nullptr, 10));
}

} // namespace
