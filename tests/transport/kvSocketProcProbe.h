// The socket process tests' white-box probe: the process declares it a friend, so that the
// tests can hold its thread, drive its ticks and reach its tables directly.
#pragma once

#include <string.h>

#include <string>
#include <vector>

#include "qvSocketProc.h"
#include "qvTimer.h"

class CQVSocketProcProbe {
public:
    explicit CQVSocketProcProbe(CQVSocketProc& p) : P(p) {}
    CQVSocketProc& P;
    using PEER = CQVSocketProc::SOCK_PEER_S;
    using ADDR = CQVSocketProc::CNNT_ADDR_S;
    using DRIV_ADDR = CQVSocketProc::DRIV_ADDR_S;

    // Holds the process thread between its work units so that ticks come only from Tick.
    void Freeze()
    {
        P.m_SectWork.Lock();
        frozen = true;
    }
    void Thaw()
    {
        if (frozen)
            P.m_SectWork.Unlock();
        frozen = false;
    }
    bool frozen = false;
    void Tick(u32 n)
    {
        for (u32 i = 0; i < n; i++)
            P.ProcTick(GET_TIMESTAMP(), 0);
    }
    PEER* Peer(u32 h) { return P.PeerByHandle(h); }
    // The peer's status word, read under the process mutex (the thread may be running).
    u32 Status(u32 h)
    {
        P.Lock();
        PEER* p = P.PeerByHandle(h);
        u32 r = p ? p->uStatus : 0;
        P.Unlock();
        return r;
    }
    // What the main station would have told us: our main address and the driver to it.
    void SetMain(const QV_ADDR_S& a, u32 driv)
    {
        P.Lock();
        P.m_AddrMain = a;
        P.m_uMainDriv = driv;
        P.Unlock();
    }
    // A peer address learnt as a proxy reply would tell it; asks for a connect at once.
    void Tell(u32 h, const QV_ADDR_S& a)
    {
        P.Lock();
        P.SockPeerCnntAddrUpdateAndReq(Peer(h)->uIndex, a, 1);
        P.Unlock();
    }
    u32 ConnectPeer(u32 h, u32 driv, u32 reset)
    {
        P.Lock();
        u32 r = P.SockConnectPeer(Peer(h)->uIndex, driv, reset);
        P.Unlock();
        return r;
    }
    ADDR* Addr(u32 h, const QV_ADDR_S& a) { return P.SockPeerCnntAddrSearch(Peer(h)->uIndex, a); }
    u32 Udp4Port() { return P.m_DrivUDP4.GetLocalPort(); }
    u32 BacklogCount() { return P.m_Backlog.Count(); }
    u32 AssistCount() { return P.m_Assist.Count(); }
    u32 HoleCount() { return P.m_Holes.Count(); }
    u32 DrivAddrCount()
    {
        P.Lock();
        u32 n = P.m_DrivAddr.Count();
        P.Unlock();
        return n;
    }
    u32 EnumCursors()
    {
        u32 n = 0;
        for (auto* e = P.m_lpEnumHead; e; e = e->lpNext)
            n++;
        return n;
    }
    void Push(const QV_ADDR_S& main, const QV_ADDR_S& src, u32 driv, u32 flags)
    {
        QV_ADDR_S zero{};
        P.Lock();
        P.CnntBacklogPush(main, src, driv, zero, flags);
        P.Unlock();
    }
    bool Pop(const QV_ADDR_S& main, QV_ADDR_S* src, u32* flags, u32* tunFlags)
    {
        QV_ADDR_S tun[4];
        P.Lock();
        u32 r = P.CnntBacklogPop(main, src, flags, tun, tunFlags);
        P.Unlock();
        return r == 1;
    }
    void AssistAdd(const QV_ADDR_S& main, const QV_ADDR_S& flagged)
    {
        P.Lock();
        P.AssistBacklogAdd(main, flagged);
        P.Unlock();
    }
    bool AssistGet(const QV_ADDR_S& main, QV_ADDR_S* flagged)
    {
        P.Lock();
        u32 r = P.AssistBacklogGet(main, flagged);
        P.Unlock();
        return r == 1;
    }
    bool HoleAdd(const QV_ADDR_S& key, const QV_ADDR_S& hole)
    {
        P.Lock();
        bool r = P.PxyHoleAdd(key, hole) != nullptr;
        P.Unlock();
        return r;
    }
    bool HoleFind(const QV_ADDR_S& key, QV_ADDR_S* hole = nullptr)
    {
        P.Lock();
        auto* h = P.PxyHoleSearch(key);
        if (h && hole)
            *hole = h->Hole;
        P.Unlock();
        return h != nullptr;
    }
    void HoleUse(const QV_ADDR_S& key)
    {
        P.Lock();
        if (auto* h = P.PxyHoleSearch(key))
            h->uTick = P.m_uTick;
        P.Unlock();
    }
    // The UDP over IPv4 driver's socket, taken out of the process thread's wait set: the
    // caller reads it (a server-mode driver drops what it reads itself).
    int TakeUdp4Socket()
    {
        int fd = -1;
        P.m_SectFd.Lock();
        for (u32 i = 0; i < P.m_uFdUsed; i++)
            if (P.m_Fd[i].uDrivType == 0 && P.m_Fd[i].uPriv == 0)
                fd = P.m_Fd[i].hSocket;
        P.m_SectFd.Unlock();
        if (fd >= 0)
            static_cast<IQVSocketProc&>(P).OnSetSock(0, fd, 0, 0);
        return fd;
    }

    // Peer addresses, paths and the process state around them.
    u32 Now()
    {
        P.Lock();
        u32 r = P.m_uTick;
        P.Unlock();
        return r;
    }
    // A connection address whose UDP over IPv4 record works (relayed or not, our side
    // being our main address or not).
    ADDR* AddWorking(u32 h, const QV_ADDR_S& a, u32 uRelayed = 0, u32 uOwnMain = 0)
    {
        P.Lock();
        PEER* p = P.PeerByHandle(h);
        ADDR* c = P.SockPeerCnntAddrAdd(p->uIndex, a);
        if (c) {
            c->Driv[0].uFlags = 0x1 | 0x2 | (uRelayed ? 0x8 : 0) | (uOwnMain ? 0x4 : 0);
            c->uRecvTick = P.m_uTick;
            P.SockPeerCnntStatusMaskUpdate(p->uIndex);
        }
        P.Unlock();
        return c;
    }
    u32 OnCnnt(u32 h) { return P.m_Cnnt.Contains(Peer(h)); }
    u32 AddrCount(u32 h) { return Peer(h)->Addrs.Count(); }
    std::vector<u32> Ids(u32 h)
    {
        std::vector<u32> v;
        for (ADDR* a = Peer(h)->Addrs.Head(); a; a = CQVSocketProc::ADDR_LIST::Next(a))
            v.push_back(a->uCnntID >> 16);
        return v;
    }
    void Sort(u32 h, ADDR* a, u32 up)
    {
        P.Lock();
        P.SockPeerCnntAddrSort(Peer(h)->uIndex, a, up);
        P.Unlock();
    }
    void CheckThrough(u32 h, const QV_ADDR_S& a)
    {
        P.Lock();
        P.SockPeerCheckThrough(Peer(h)->uIndex, a, 0);
        P.Unlock();
    }
    ADDR* AddTrying(u32 h, const QV_ADDR_S& a)
    {
        P.Lock();
        ADDR* c = P.SockPeerCnntAddrAdd(Peer(h)->uIndex, a);
        P.Unlock();
        return c;
    }
    u32 AddrCheck(u32 h, u32 kind)
    {
        P.Lock();
        u32 r = P.SockPeerCnntAddrCheck(Peer(h)->uIndex, kind);
        P.Unlock();
        return r;
    }
    u32 MultiPath(u32 h)
    {
        P.Lock();
        u32 r = P.SockPeerMultiPathCnnt(Peer(h)->uIndex);
        P.Unlock();
        return r;
    }
    // The next driver address of the peer's enumeration (its address, or empty at the end).
    QV_ADDR_S EnumNext(u32 h)
    {
        P.Lock();
        DRIV_ADDR* d = P.SockPeerDrivAddrEnum(Peer(h)->uIndex);
        QV_ADDR_S a{};
        if (d)
            a = d->Addr;
        P.Unlock();
        return a;
    }
    // Main station, under the process mutex; the report it owes is raised after, as the
    // connect-control receiver does.
    void MainReply(u32 driv, const QV_ADDR_S& from, const std::string& bytes)
    {
        std::vector<u8> raw(64 + bytes.size());
        memcpy(raw.data() + 64, bytes.data(), bytes.size());
        QV_BUF_S b{raw.data(), 64, (u32)raw.size(), (u32)bytes.size(), 0};
        P.Lock();
        P.SockCnntMainReply(driv, from, b);
        u32 pend = P.m_uMainReportPend;
        P.m_uMainReportPend = 0;
        P.Unlock();
        if (pend)
            P.Report(0, 2);
    }
    template <class F>
    u32 Locked(F f)
    {
        P.Lock();
        u32 r = f();
        P.Unlock();
        return r;
    }
    u32 StaIndex() { return Locked([&] { return P.m_uStaIndex; }); }
    u32 Redirected() { return Locked([&] { return P.m_uRedirect; }); }
    // Entry i of the station list in use.
    QV_ADDR_S StaAddr(u32 i)
    {
        P.Lock();
        QV_ADDR_S a = (P.m_uRedirect ? P.m_Redirect : P.m_Pxy)[i].Addr;
        P.Unlock();
        return a;
    }
    u32 StaDriv(u32 i) { return Locked([&] { return (P.m_uRedirect ? P.m_Redirect : P.m_Pxy)[i].uDrivType; }); }
    u32 StaNat64(u32 i) { return Locked([&] { return (P.m_uRedirect ? P.m_Redirect : P.m_Pxy)[i].Nat64.uSet; }); }
    u32 MainDriv() { return Locked([&] { return P.m_uMainDriv; }); }
    // Each reads or writes under the lock its field is kept under: the descriptor table
    // under its own lock, the queue-miss count under the work lock of the process thread,
    // the rest under the process mutex.
    u32 FdUsed()
    {
        P.m_SectFd.Lock();
        u32 n = P.m_uFdUsed;
        P.m_SectFd.Unlock();
        return n;
    }
    i32 Fd(u32 i)
    {
        P.m_SectFd.Lock();
        i32 fd = P.m_Fd[i].hSocket;
        P.m_SectFd.Unlock();
        return fd;
    }
    u32 DrivSelDef()
    {
        P.Lock();
        u32 r = P.m_uDrivSelDef;
        P.Unlock();
        return r;
    }
    void SetMainDriv(u32 d)
    {
        P.Lock();
        P.m_uMainDriv = d;
        P.Unlock();
    }
    void SetQueMiss(u32 n)
    {
        if (frozen) {
            P.m_uQueMiss = n;
            return;
        }
        P.m_SectWork.Lock();
        P.m_uQueMiss = n;
        P.m_SectWork.Unlock();
    }
    u32 DrivState(u32 d)
    {
        P.Lock();
        u32 r = P.m_uDrivState[d];
        P.Unlock();
        return r;
    }
};
