// Socket dispatcher thread, the 10 ms timer, dispatch bits, report and event queues and batch
// receive.
#include "qvLog.h"

#include "qvSocket.h"

#include <cstring>
#include <new>

namespace {

// Timer passes (50 ms each) an armed delayed ack waits; it goes out on the pass after them.
const u32 kDelayAckPasses = 4;
// Handshake and keep-alive checks run every this many timer passes.
const u32 kTryCheckPasses = 10;

} // namespace

void CQVSocketTimer::OnTimer(u32, u32)
{
    if (m_pSocket) m_pSocket->TimerProc();
}

void CQVSocketDisp::Proc()
{
    if (m_pSocket) m_pSocket->DispProc();
}

// ---------------------------------------------------------------------------------------
// Bits and lists

void CQVSocket::DispSignal(u32 uBits)
{
    if (m_uDispMask.load() & uBits) m_EventDisp.Signal();
}

void CQVSocket::ListDispPush(SOCK_S* s, u32 uBits, u32 uPrio)
{
    if (!m_DispList.Contains(s)) m_DispList.PushTail(s);
    if (uPrio < PRIO_NUM) s->uDispPrio[uPrio] |= uBits;
    if ((uBits & 1) && !(s->uDisp & 1)) m_uSendPendCount++;
    s->uDisp |= uBits;
    // These bits are cleared only by the dispatcher under this same lock: when they are all
    // set already, the shared word is left alone (one locked write less per datagram).
    if ((m_uDispMask.load(std::memory_order_relaxed) & uBits) != uBits) m_uDispMask.fetch_or(uBits);
}

void CQVSocket::TimerDispPush(SOCK_S* s, u32 uBits, u32 uPrio)
{
    if (uPrio < PRIO_NUM) {
        s->uTimerPrio[uPrio] |= uBits;
        if (uBits & 0x1) s->recv[uPrio].uDelayTicks = 0;
        if (uBits & 0x4) s->send[uPrio].uResendCnt = 0;
        if (uBits & 0x2) s->send[uPrio].uTimer[0] = s->send[uPrio].uTimer[1] = 0;
    } else {
        s->uTimerFlags |= uBits;
        if (uBits & 0x8) s->uInitTry = 0;
    }
    if (!m_TimerList.Contains(s)) m_TimerList.PushTail(s);
}

void CQVSocket::TimerDispDelete(SOCK_S* s, u32 uBits, u32 uPrio)
{
    if (uPrio < PRIO_NUM)
        s->uTimerPrio[uPrio] &= ~uBits;
    else
        s->uTimerFlags &= ~uBits;
    u32 uAny = s->uTimerFlags;
    for (u32 i = 0; i < PRIO_NUM; i++) uAny |= s->uTimerPrio[i];
    if (!uAny) m_TimerList.Remove(s);
}

void CQVSocket::DispPushSendTimer(SOCK_S* s, u32 uPrio)
{
    s->uDispPrio[uPrio] &= ~1u;
    SEND_Q_S& q = s->send[uPrio];
    if (q.uNext > q.uAcked && !(s->uTimerPrio[uPrio] & 0x2)) TimerDispPush(s, 0x2, uPrio);
}

u32 CQVSocket::SendDispMask(SOCK_S* s)
{
    u32 uAny = 0;
    for (u32 i = 0; i < PRIO_NUM; i++) {
        if (s->send[i].que.IsCreated() && s->send[i].que.Count()) {
            ListDispPush(s, 0x1, i);
            uAny = 1;
        }
    }
    return uAny;
}

void CQVSocket::DispInitPendCount()
{
    u32 uCount = 0;
    SOCK_S* s = m_InitList.Head();
    while (s) {
        SOCK_S* next = INIT_LIST::Next(s);
        if (s->uInUse && s->uState != 2)
            uCount++;
        else
            m_InitList.Remove(s);
        s = next;
    }
    m_uInitPend = uCount;
    if (m_pLower) m_pLower->SetMainSpeed(m_uMainSpeed, m_uMainSpeed > uCount ? m_uMainSpeed - uCount : 1);
}

// ---------------------------------------------------------------------------------------
// Queues

u32 CQVSocket::EventPost(u32 uEvent, u32 uV1, u32 uV2, u32 uV3, u32 uV4, u32 uParam, u32 uExtra,
                         u32 uSockID)
{
    std::lock_guard<std::mutex> lk(m_EventMutex);
    EVENT_S* e = m_EventFree.PopHead();
    if (!e) e = new (std::nothrow) EVENT_S;
    if (!e) return 0;
    e->uEvent = uEvent;
    e->uVal[0] = uV1;
    e->uVal[1] = uV2;
    e->uVal[2] = uV3;
    e->uVal[3] = uV4;
    e->uParam = uParam;
    e->uExtra = uExtra;
    e->uSockID = uSockID;
    m_EventQue.PushTail(e);
    return 1;
}

void CQVSocket::EventRemove(u32 uEvent, u32 uV1, u32 uV2, u32 uV3, u32 uV4, u32 uParam, u32 uExtra,
                            u32 uSockID)
{
    std::lock_guard<std::mutex> lk(m_EventMutex);
    EVENT_S* e = m_EventQue.Head();
    while (e) {
        EVENT_S* next = EVENT_LIST::Next(e);
        if (e->uEvent == uEvent && e->uVal[0] == uV1 && e->uVal[1] == uV2 && e->uVal[2] == uV3 &&
            e->uVal[3] == uV4 && e->uParam == uParam && e->uExtra == uExtra && e->uSockID == uSockID) {
            qvPrintf("CQVSocket::EventRemove: uEvent=%u, uSockID=%u", uEvent, uSockID);
            m_EventQue.Remove(e);
            m_EventFree.PushTail(e);
        }
        e = next;
    }
}

void CQVSocket::EventDrop(const EVENT_S& e)
{
    if (e.uEvent == QV_SOCK_EVENT_RECV) {
        ReceiveDrop(e.uSockID, e.uVal[0], e.uVal[1], e.uVal[2], e.uVal[3], 1);
    } else if (e.uEvent == QV_SOCK_EVENT_NEW) {
        SectDisp lk(this);
        NEW_S* n = NewGetRec(e.uParam);
        if (n) NewFree(n);
    }
}

void CQVSocket::SockEventReport(u32 uSockID, u32 uReport)
{
    if (!m_uInit) return;
    // Datagrams that came before the report are handled before it.
    PassRecvProc();
    qvPrintf("CQVSocket::SockEventReport, uSockID=%u, uReport=%u", uSockID, uReport);
    {
        std::lock_guard<std::mutex> lk(m_ReportMutex);
        REPORT_S* r = m_ReportFree.PopHead();
        if (!r) r = new (std::nothrow) REPORT_S;
        if (!r) return;
        r->uKind = 0;
        r->uSockID = uSockID;
        r->uCode = uReport;
        m_ReportQue.PushTail(r);
    }
    m_uDispMask.fetch_or(0x40000);
    m_EventDisp.Signal();
}

void CQVSocket::SockEventConnect(u32 uSockID, u32 uAction)
{
    if (!m_uInit) return;
    PassRecvProc();
    qvPrintf("CQVSocket::SockEventConnect: uSockID=%u, uAction=%u", uSockID, uAction);
    {
        std::lock_guard<std::mutex> lk(m_ReportMutex);
        REPORT_S* r = m_ReportFree.PopHead();
        if (!r) r = new (std::nothrow) REPORT_S;
        if (!r) return;
        r->uKind = 1;
        r->uSockID = uSockID;
        r->uCode = uAction;
        m_ReportQue.PushTail(r);
    }
    m_uDispMask.fetch_or(0x40000);
    m_EventDisp.Signal();
}

void CQVSocket::SocketProcThreadStatus(u32 uStatus)
{
    if (m_pOwner) m_pOwner->SocketThreadStatus(uStatus);
}

void CQVSocket::DispReports()
{
    std::lock_guard<std::mutex> lk(m_ReportMutex);
    while (REPORT_S* r = m_ReportQue.PopHead()) {
        SOCK_S* s = SockGet(r->uSockID);
        if (r->uKind == 0) {
            EventPost(QV_SOCK_EVENT_REPORT, 4, 0, 0, r->uCode, s ? s->uParam : 0xFFFFFFFF, 0,
                      s ? r->uSockID : 0);
        } else if (s) {
            if (s->uInitQuery) ListDispPush(s, 0x10, 4);
            if (s->uState != 2) {
                s->uState = 0;
                ListDispPush(s, 0x100, 4);
                qvPrintf("CQVSocket::ReportSockConnect: init start, uSockInd=%u", SockIndex(s));
            }
            SendDispMask(s);
        }
        m_ReportFree.PushTail(r);
    }
}

// ---------------------------------------------------------------------------------------
// Timer

void CQVSocket::TimerProc()
{
    if (!m_uInit) {
        qvPrintf("CQVSocket::TimerProc: Disable");
        return;
    }
    u32 uTick = ++m_uTick;
    if (uTick % 5 == 0) {
        m_uDispMask.fetch_or(0x20000);
        m_EventDisp.Signal();
    }
    if (m_uCheck.load() || m_uPaced) {
        m_uDispMask.fetch_or(0x80000);
        m_EventDisp.Signal();
    }
    u32 uStamp = GET_TIMESTAMP();
    m_uStamp = uStamp;
    if (m_pOwner) m_pOwner->SocketTimer(uStamp);
    // 100 passes of 10 ms make a second; the count is taken from the tick so that a pass
    // driven by a caller while the timer runs counts once, like every other pass.
    if (uTick % 100 == 0) m_uSecond++;
}

void CQVSocket::TimerPass()
{
    if (!m_uInit) return;
    {
        SectDisp lk(this);
        DispTimerWalk();
    }
    m_EventDisp.Signal();
}

u32 CQVSocket::GetCurrentStamp()
{
    return m_uInit ? m_uSecond.load() : 0;
}

// ---------------------------------------------------------------------------------------
// Dispatcher

void CQVSocket::DispProc()
{
    if (m_pOwner) m_pOwner->SocketThreadStatus(1);
    while (m_uInit) {
        if (!m_EventDisp.Wait()) {
            qvLogOut(0, "Socket: DispProc: m_EventDisp.Wait fail");
            break;
        }
        if (!m_uInit) {
            qvPrintf("CQVSocket::DispProc: Disable");
            break;
        }
        {
            std::lock_guard<std::mutex> tk(m_DispRun);
            u32 uAll = 0xFFFFFFFF;
            DispPass(uAll);
        }
        if (m_uDispMask.load()) m_EventDisp.Signal();
    }
    if (m_pOwner) m_pOwner->SocketThreadStatus(0);
}

u32 CQVSocket::DispPass(u32& uMax)
{
    {
        SectDisp lk(this);
        if (!m_uInit) return 1;
        // Takes the asked-for bits in one step: a bit set meanwhile stays for the next pass.
        auto TakeDisp = [this](u32 uBits) { return (m_uDispMask.fetch_and(~uBits) & uBits) != 0; };
        if (TakeDisp(0x40000)) {
            DispReports();
        }
        if (TakeDisp(0x3FFF)) {
            DispWalk();
        }
        if (TakeDisp(0x80000)) {
            DispWndCheck();
            if (TakeDisp(0x3FFF)) {
                DispWalk();
            }
        }
        if (TakeDisp(0x20000)) {
            DispTimerWalk();
            if (++m_uPassCount >= 10) m_uPassCount = 0;
        }
        if (TakeDisp(0x10000)) {
            for (NEW_S* n = m_NewPend.Head(); n; n = NEW_LIST::Next(n)) {
                if (!n->uAnnounced && EventPost(QV_SOCK_EVENT_NEW, 0, 0, 0, 0, NewID(n), 0, 0))
                    n->uAnnounced = 1;
            }
        }
    }
    return m_uInit ? DispDeliver(uMax) : 1;
}

namespace {

// Dispatcher passes the socket process thread runs at the end of one of its passes at most:
// what the owner did in one (reads that free room, sends) may ask for another, but the
// thread goes back to its descriptors after these and leaves the rest to the dispatcher.
const u32 kInlineRounds = 4;
// Events it hands to the owner in all those passes at most. A flood of them (hundreds of
// connections set up at once) goes to the dispatcher: the owner's handling of each may wait
// for its own locks, and meanwhile this thread would read no datagram.
const u32 kInlineEvents = 16;
// Datagrams a pass of the socket process thread took in at most for it to serve that pass's
// dispatcher work itself. Acks do not count: see PassRecvPush.
const u32 kInlineDgrams = 8;

} // namespace

void CQVSocket::DispInline()
{
    u32 uBudget = kInlineEvents;
    // A pass that took in a burst (a stream, many set-ups at once) leaves the work to the
    // dispatcher and goes back to reading: the owner's handling of a burst, and the flush of
    // what it sends, would keep this thread from the socket long enough for its receive
    // buffer to overflow. A light pass (a message and its answer, acks) is served here.
    u32 uSeen = m_uPassSeen;
    m_uPassSeen = 0;
    for (u32 i = 0; uSeen <= kInlineDgrams && i < kInlineRounds && m_uWakePend.load() && m_uInit; i++) {
        // The dispatcher busy with a pass: it is woken below and takes the work after it.
        if (!m_DispRun.try_lock()) break;
        m_uWakePend = 0;
        u32 uDone = DispPass(uBudget);
        m_DispRun.unlock();
        if (m_uDispMask.load() || !uDone) m_uWakePend = 1;
        // The owner's calls may have brought datagrams in (held for this pass) and built
        // replies: both go before the next round.
        PassRecvProc();
        m_Out.Flush();
        if (!uDone) break;
    }
    if (m_uWakePend.exchange(0)) m_EventDisp.Signal();
}

u32 CQVSocket::DispDeliver(u32& uMax)
{
    for (;;) {
        EVENT_S e;
        {
            std::lock_guard<std::mutex> lk(m_EventMutex);
            if (!m_EventQue.Head()) return 1;
            if (!uMax) return 0;
            uMax--;
            EVENT_S* p = m_EventQue.PopHead();
            e.uEvent = p->uEvent;
            std::memcpy(e.uVal, p->uVal, sizeof(e.uVal));
            e.uParam = p->uParam;
            e.uExtra = p->uExtra;
            e.uSockID = p->uSockID;
            m_EventFree.PushTail(p);
        }
        u32 uTaken = m_pOwner ? m_pOwner->SocketProc(e.uEvent, e.uVal[0], e.uVal[1], e.uVal[2],
                                                     e.uVal[3], e.uParam, e.uExtra, e.uSockID)
                              : 0;
        if (!uTaken) EventDrop(e);
        if (!m_uInit) return 1;
    }
}

void CQVSocket::DispWndCheck()
{
    if (m_uPaced) {
        m_uPaced = 0;
        while (SOCK_S* s = m_PacedList.PopHead()) {
            for (u32 i = 0; i < PRIO_NUM; i++)
                if (s->uPacedMask & (1u << i)) ListDispPush(s, 0x1, i);
            s->uPacedMask = 0;
        }
    }
    u32 uCheck = m_uCheck.load();
    if (uCheck & 1) {
        SOCK_S* s = m_WaitList.Head();
        while (s) {
            SOCK_S* next = WAIT_LIST::Next(s);
            for (u32 i = 0; i < PRIO_NUM; i++) {
                if (!(s->uWaitMask & (1u << i))) continue;
                SEND_Q_S& q = s->send[i];
                if (s->uState == 2 && q.que.IsCreated() && q.uNext < q.que.Count()) {
                    ListDispPush(s, 0x1, i);
                } else {
                    s->uWaitMask &= ~(1u << i);
                    if (q.que.IsCreated() && q.que.Free()) ListDispPush(s, 0x8, i);
                }
            }
            if (!s->uWaitMask) m_WaitList.Remove(s);
            s = next;
        }
    }
    if (uCheck & 2) {
        m_uCheck.fetch_and(~2u);
        if (m_pLower) m_pLower->Ctrl(0, 2, 0);
    }
    // Bit 2 may be set by the socket process thread meanwhile: only bit 1 is touched here.
    if (m_WaitList.Head())
        m_uCheck.fetch_or(1u);
    else
        m_uCheck.fetch_and(~1u);
}

void CQVSocket::DispWalk()
{
    SOCK_S* s = m_DispList.Head();
    while (s) {
        SOCK_S* next = DISP_LIST::Next(s);
        DispSock(s);
        s = next;
    }
    u32 uPend = 0;
    for (SOCK_S* p = m_DispList.Head(); p; p = DISP_LIST::Next(p))
        if (p->uDisp & 1) uPend++;
    m_uSendPendCount = uPend;
}

void CQVSocket::DispSock(SOCK_S* s)
{
    char szAddr[QV_ADDR_STR_SIZE];
    if (s->uDisp & 0x400) {
        if (s->uInUse) {
            SockFree(s);
            if (m_uMainSpeed) DispInitPendCount();
        } else {
            m_DispList.Remove(s);
        }
        s->uDisp = 0;
        for (u32 i = 0; i < PRIO_NUM; i++) s->uDispPrio[i] = 0;
        return;
    }
    u32 uNamed = s->uInUse && m_szName[0];
    if (s->uDisp & 0x020) {
        s->uDisp &= ~0x020u;
        if (uNamed && s->uState == 1) {
            TimerDispDelete(s, 0x8, 4);
            s->uState = 2;
            s->uPeerAcked = 0;
            EventPost(QV_SOCK_EVENT_CONNECT, 0, 0, 0, 0, s->uParam, 0, SockID(s));
            SendQueueReset(s);
            CnntPathResetCount(s, 0);
            CryptoClose(s);
            if (m_uMainSpeed) DispInitPendCount();
            QV_ADDR_S a;
            std::memset(&a, 0, sizeof(a));
            if (m_pLower && s->uProcHandle) m_pLower->GetPeerAddr(s->uProcHandle, &a);
            if (!qvAddrToReadable(&a, szAddr, sizeof(szAddr))) szAddr[0] = 0;
            qvPrintf("CQVSocket::DispInitReply. uSockInd=%u, SockName=%s, Addr=%s", SockIndex(s),
                     s->szPeerName, szAddr);
        }
    }
    if (s->uDisp & 0x100) {
        s->uDisp &= ~0x100u;
        qvPrintf("CQVSocket::DispInitStart: uSockInd=%u, Name=%s, uStamp=%u", SockIndex(s),
                 s->szPeerName, m_uSecond.load());
        if (uNamed && s->uState == 0) {
            s->uState = 1;
            SendInit(s, QV_SKP_INITQ);
            TimerDispPush(s, 0x8, 4);
            if (!m_InitList.Contains(s)) m_InitList.PushTail(s);
            if (m_uMainSpeed) DispInitPendCount();
        }
    }
    if (s->uDisp & 0x010) {
        s->uDisp &= ~0x010u;
        qvPrintf("CQVSocket::DispInitQuery: uSockInd=%u, Name=%s, uStamp=%u", SockIndex(s),
                 s->szPeerName, m_uSecond.load());
        if (uNamed && s->uInitQuery && SendInit(s, QV_SKP_INITR)) {
            s->uInitQuery = 0;
            ReceiveQueueReset(s);
            CnntPathResetCount(s, 0);
            s->uDisp &= ~0x204u;
            for (u32 i = 0; i < PRIO_NUM; i++) {
                s->uDispPrio[i] &= ~0x204u;
                // A complete message kept across the handshake is announced again, or it
                // would wait for the next block to arrive.
                if (s->recv[i].uInOrder && ReceiveCheck(s, i, 0, 0xFFFF)) ListDispPush(s, 0x4, i);
            }
            if (s->uState == 2) SendDispMask(s);
        }
    }
    if (s->uDisp & 0x008) {
        if (DispRecvAck(s)) s->uDisp &= ~0x008u;
    }
    if (s->uDisp & 0x004) {
        if (DispRecvData(s)) s->uDisp &= ~0x004u;
    }
    if (s->uDisp & 0x002) DispResend(s);
    if (s->uDisp & 0x001) {
        if (DispSendData(s)) s->uDisp &= ~0x001u;
    }
    if (s->uDisp & 0x040) {
        s->uDisp &= ~0x040u;
        if (s->uState == 2) {
            if (!s->uCrypto) s->uCrypto = m_Crypto.Open(1);
            if (s->uCrypto) SendEnc(s, QV_SKP_ENCQ);
        }
    }
    if (s->uDisp & 0x080) {
        s->uDisp &= ~0x080u;
        if (s->uState == 2) SendEnc(s, QV_SKP_ENCR);
    }
    if (s->uDisp & 0x200) {
        s->uDisp &= ~0x200u;
        if (s->uInUse) {
            for (u32 i = 0; i < PRIO_NUM; i++) {
                s->uDispPrio[i] &= ~0x200u;
                RECV_Q_S& r = s->recv[i];
                if (!r.que.IsCreated()) continue;
                if (r.uAdvRoom == 0 && s->uState == 2) {
                    r.uAdvRoom = r.que.Free();
                    SendAck(s, i, r.uHigh >= r.uBase + r.uInOrder && r.que.Count() > r.uInOrder ? 1 : 0, 0, 0, 0);
                    TimerDispPush(s, 0x1, i);
                }
                if (ReceiveCheck(s, i, 0, 0xFFFF)) ListDispPush(s, 0x4, i);
            }
        }
    }
    if (s->uDisp & 0x800) {
        s->uDisp &= ~0x800u;
        if (s->uInUse) {
            s->uState = 0;
            TimerDispDelete(s, 0x8, 4);
            std::lock_guard<std::mutex> lk(m_ReportMutex);
            REPORT_S* r = m_ReportFree.PopHead();
            if (!r) r = new (std::nothrow) REPORT_S;
            if (r) {
                r->uKind = 0;
                r->uSockID = SockID(s);
                r->uCode = 1;
                m_ReportQue.PushTail(r);
                m_uDispMask.fetch_or(0x40000);
            }
        }
    }
    if (s->uDisp) {
        m_uDispMask.fetch_or(s->uDisp & 0xFFF);
    } else {
        m_DispList.Remove(s);
        for (u32 i = 0; i < PRIO_NUM; i++) s->uDispPrio[i] = 0;
    }
}

void CQVSocket::DispResend(SOCK_S* s)
{
    if (s->uState == 0) {
        ListDispPush(s, 0x100, 4);
        s->uDisp &= ~0x2u;
        for (u32 i = 0; i < PRIO_NUM; i++) s->uDispPrio[i] &= ~0x2u;
        return;
    }
    if (s->uState == 1) {
        s->uDisp &= ~0x2u;
        for (u32 i = 0; i < PRIO_NUM; i++) s->uDispPrio[i] &= ~0x2u;
        return;
    }
    u32 uPrio = PRIO_NUM;
    for (u32 i = 0; i < PRIO_NUM; i++)
        if (s->uDispPrio[i] & 0x2) {
            uPrio = i;
            break;
        }
    if (uPrio == PRIO_NUM) {
        s->uDisp &= ~0x2u;
        return;
    }
    // New blocks of a lower priority go first. One that waits for room in its window or
    // for its pacing can send nothing now: the resend stays noted for its priority and is
    // asked for again once the lower priority has sent (DispSendData), not at once, which
    // would run pass after pass for as long as the peer stays silent.
    for (u32 k = 0; k < uPrio; k++) {
        SEND_Q_S& q = s->send[k];
        if ((s->uDispPrio[k] & 1) || (q.que.IsCreated() && q.uNext < q.que.Count())) {
            if (!((s->uWaitMask | s->uPacedMask) & (1u << k))) ListDispPush(s, 0x1, k);
            s->uDisp &= ~0x2u;
            return;
        }
    }
    SEND_Q_S& q = s->send[uPrio];
    if (q.uNext <= q.uAcked) {
        // Nothing of this priority is out: there is nothing to resend.
        s->uDispPrio[uPrio] &= ~0x2u;
        u32 uLeft = 0;
        for (u32 i = 0; i < PRIO_NUM; i++) uLeft |= s->uDispPrio[i] & 0x2;
        if (!uLeft) s->uDisp &= ~0x2u;
        return;
    }
    if (s->uPeerFlags & 1) {
        if (q.uRangeOnce) {
            q.uRangeOnce = 0;
            SendMultiPathRange(s, uPrio, 1, 1);
        } else if (q.uWndClosed < 17) {
            SendMultiPathRange(s, uPrio, 0, 0);
        } else {
            SendMultiPathSingle(s, uPrio, 1);
        }
    } else {
        SendMultiPathSingle(s, uPrio, q.uWndClosed >= 17 ? 1 : 0);
    }
    s->uDispPrio[uPrio] &= ~0x2u;
    TimerDispPush(s, 0x4, uPrio);
    u32 uLeft = 0;
    for (u32 i = 0; i < PRIO_NUM; i++) uLeft |= s->uDispPrio[i] & 0x2;
    if (!uLeft) s->uDisp &= ~0x2u;
}

void CQVSocket::DispTimerWalk()
{
    SOCK_S* s = m_TimerList.Head();
    while (s) {
        SOCK_S* next = TIMER_LIST::Next(s);
        if (!s->uInUse) {
            m_TimerList.Remove(s);
            s = next;
            continue;
        }
        u32 uGiveUp = m_uGiveUp[m_uSide ? 1 : 0];
        if (s->uState != 1) {
            u32 uBusy = 0;
            for (u32 i = 0; i < PRIO_NUM; i++) {
                u32 t = s->uTimerPrio[i];
                if (!t) continue;
                RECV_Q_S& r = s->recv[i];
                SEND_Q_S& q = s->send[i];
                if ((t & 0x1) && s->uState == 2) {
                    if (++r.uDelayTicks > kDelayAckPasses) {
                        r.uDelayTicks = 0;
                        qvPrintf("CQVSocket::DispTimer: Delay ack timeout, SockInd=%u, uPrio=%u, uAck=%u, uBlockAck=%u, uStamp=%u",
                                 SockIndex(s), i, r.uBase + r.uInOrder, r.uHigh, m_uSecond.load());
                        SendAck(s, i, r.uHigh >= r.uBase + r.uInOrder && r.que.Count() > r.uInOrder ? 1 : 0, 0, 0, 0);
                    }
                }
                if ((t & 0x4) && s->uState == 2) {
                    if (++q.uResendCnt >= q.uResendIntv) {
                        q.uResendCnt = 0;
                        u32 uLowerWaits = 0;
                        for (u32 k = 0; k < i; k++)
                            if (s->send[k].que.IsCreated() && s->send[k].uNext < s->send[k].que.Count()) uLowerWaits = 1;
                        if ((s->uPeerFlags & 1) && !uLowerWaits && q.uWndClosed == 0)
                            SendMultiPathRange(s, i, 0, 0);
                        else
                            SendMultiPathSingle(s, i, 1);
                    }
                }
                if ((t & 0x2) && s->uState == 2) {
                    q.uTimer[0]++;
                    if (q.uTimer[0] - q.uTimer[1] >= q.uResendIntv) {
                        q.uTimer[1] = q.uTimer[0];
                        SendMultiPathTop(s, i);
                    }
                }
                if ((t & 0x6) || r.uAdvRoom != 0) uBusy = 1;
            }
            if (uBusy) {
                s->uTryCount++;
                if (s->uTryCount % kTryCheckPasses == 0 && m_pLower && s->uProcHandle)
                    m_pLower->Ctrl(s->uProcHandle, 0, 0);
                if (s->uTryCount >= uGiveUp || (s->uDropLimit && s->uTryCount >= s->uDropLimit)) {
                    for (u32 i = 0; i < PRIO_NUM; i++) {
                        s->uTimerPrio[i] = 0;
                        s->recv[i].uDelayTicks = 0;
                        s->send[i].uResendCnt = s->send[i].uTimer[0] = s->send[i].uTimer[1] = 0;
                    }
                    s->uTimerFlags = 0;
                    m_TimerList.Remove(s);
                    ListDispPush(s, 0x800, 4);
                    s->uTryCount = 0;
                    if (m_pLower && s->uProcHandle) m_pLower->Ctrl(s->uProcHandle, 1, s->uDropLimit ? 1 : 0);
                    s->uDropLimit = 0;
                    qvLogOut(3, "Socket: DispTimer: Common try timeout, SockInd=%u", SockIndex(s));
                }
            }
        } else if (s->uTimerFlags & 0x8) {
            s->uInitTry++;
            if (s->uInitTry % kTryCheckPasses == 0) {
                qvPrintf("CQVSocket::DispTimer: SockInd=%u, uStamp=%u, Send init timeout", SockIndex(s),
                         m_uSecond.load());
                if (m_pLower && s->uProcHandle) m_pLower->Ctrl(s->uProcHandle, 0, 0);
                SendInit(s, QV_SKP_INITQ);
            }
            if (s->uInitTry >= uGiveUp || (s->uDropLimit && s->uInitTry >= s->uDropLimit)) {
                TimerDispDelete(s, 0x8, 4);
                s->uInitTry = 0;
                ListDispPush(s, 0x800, 4);
                if (m_pLower && s->uProcHandle) m_pLower->Ctrl(s->uProcHandle, 1, s->uDropLimit ? 1 : 0);
                s->uDropLimit = 0;
            }
        }
        s = next;
    }
}

// ---------------------------------------------------------------------------------------
// Datagrams of a pass of the socket process thread

namespace {

// Datagrams held per pass before they are handled: a few recvmmsg calls' worth (32 each),
// so that one hold of the lock covers them and the dispatcher's and the owner's calls wait
// for it only briefly.
const u32 kPassIn = 64;

// Slots of the batch receive (node option 0x100).
const u32 kBatchSlots = 32;

} // namespace

u32 CQVSocket::PassRecvPush(const QV_ADDR_S& addr, const QV_BUF_S& buf, u32 uSockID, u32 uCnntID)
{
    if (!m_pPassIn) {
        m_pPassIn = new (std::nothrow) BATCH_S[kPassIn];
        if (!m_pPassIn) return 0;
    }
    if (m_uPassIn == kPassIn) PassRecvProc();
    // Acks leave a pass light however many there are: what they ask for is the release of
    // acknowledged blocks, the owner's ACKED events (within the pass's event budget) and the
    // next blocks of the window, which this thread sends at the end of the pass. Left to the
    // dispatcher, every window round of a stream waited for its wake-up (hundreds of
    // microseconds on a loaded host) between the acks and the blocks they made room for.
    const u8* p = buf.buf + buf.uOffset;
    if (buf.uLen < 2 || p[1] != QV_SKP_ACK) m_uPassSeen++;
    BATCH_S* b = &m_pPassIn[m_uPassIn++];
    // SockEventData checked that offset and length lie within the 2048 bytes.
    std::memcpy(b->aData + buf.uOffset, buf.buf + buf.uOffset, buf.uLen);
    b->uOffset = buf.uOffset;
    b->uLen = buf.uLen;
    b->uSockID = uSockID;
    b->uCnntID = uCnntID;
    b->addr = addr;
    b->pPlain = 0;
    return 1;
}

void CQVSocket::PassRecvProc()
{
    // Only the socket process thread holds datagrams; a call from another thread has none.
    if (!qvDgramDeferred() || !m_uPassIn) return;
    BATCH_S* ap[kPassIn];
    for (u32 i = 0; i < m_uPassIn; i++) ap[i] = &m_pPassIn[i];
    // Encrypted blocks to be kept are decrypted ahead, away from the lock (a pass of acks and
    // plain blocks, the sending side's, takes it once as before).
    AHEAD_S a;
    if (AheadAny(ap, m_uPassIn)) {
        u32 uAhead = 0;
        {
            SectDisp lk(this);
            if (m_uInit) uAhead = AheadPick(ap, m_uPassIn, a);
        }
        if (uAhead) AheadRun(ap, m_uPassIn, a, m_aPassKey);
    }
    u32 uAny = 0;
    {
        SectDisp lk(this);
        for (u32 i = 0; i < m_uPassIn; i++)
            if (RecvDecryptedAhead(ap[i])) uAny = 1;
        m_uPassIn = 0;
    }
    if (uAny && (m_uDispMask.load() & 0x121fc)) DispWake();
}

// ---------------------------------------------------------------------------------------
// Batch receive

u32 CQVSocket::BatchRecvInit()
{
    if (m_pBatch) return 1;
    m_pBatch = new (std::nothrow) BATCH_S[kBatchSlots];
    if (!m_pBatch) return 0;
    for (u32 i = 0; i < kBatchSlots; i++) m_BatchFree.PushTail(&m_pBatch[i]);
    return 1;
}

void CQVSocket::BatchRecvClean()
{
    delete[] m_pBatch;
    m_pBatch = 0;
    m_BatchFree.Reset();
    m_BatchPend.Reset();
}

void CQVSocket::BatchRecvPush(const QV_ADDR_S& addr, QV_BUF_S& buf, u32 uSockID, u32 uCnntID)
{
    u32 uHeld = 0;
    {
        SectDisp lk(this);
        BATCH_S* b = m_BatchFree.PopHead();
        if (b) {
            uHeld = 1;
            std::memcpy(b->aData + buf.uOffset, buf.buf + buf.uOffset, buf.uLen);
            b->uOffset = buf.uOffset;
            b->uLen = buf.uLen;
            b->uSockID = uSockID;
            b->uCnntID = uCnntID;
            b->addr = addr;
            b->pPlain = 0;
            m_BatchPend.PushTail(b);
            const u8* p = buf.buf + buf.uOffset;
            if (m_BatchFree.Head() && p[1] == QV_SKP_DATA && !(p[2] & (QV_SKD_ACKREQ | 0x20)) && uSockID) {
                m_uCheck.fetch_or(2);
                return;
            }
        }
    }
    m_uCheck.fetch_and(~2u);
    BatchRecvProc();
    // With every slot taken the datagram is handled after the batch, in arrival order,
    // instead of being lost.
    if (!uHeld) SockEventDataProc(addr, buf, uSockID, uCnntID);
}

void CQVSocket::BatchRecvProc()
{
    // One run at a time: the slots it takes leave the pending list before the lock is let go
    // for the decryption, and the next run's datagrams are later ones.
    std::lock_guard<std::mutex> run(m_BatchRun);
    BATCH_S* ap[kBatchSlots];
    u32 n = 0, uAny = 0, uAhead = 0;
    AHEAD_S a;
    {
        SectDisp lk(this);
        while (n < kBatchSlots && m_BatchPend.Head()) ap[n++] = m_BatchPend.PopHead();
        // Encrypted blocks to be kept are decrypted ahead, away from the lock.
        if (AheadAny(ap, n) && m_uInit) uAhead = AheadPick(ap, n, a);
        if (!uAhead) {
            for (u32 i = 0; i < n; i++) {
                if (RecvDecryptedAhead(ap[i])) uAny = 1;
                m_BatchFree.PushTail(ap[i]);
            }
        }
    }
    if (uAhead) {
        AheadRun(ap, n, a, m_aBatchKey);
        SectDisp lk(this);
        for (u32 i = 0; i < n; i++) {
            if (RecvDecryptedAhead(ap[i])) uAny = 1;
            m_BatchFree.PushTail(ap[i]);
        }
    }
    if (uAny && (m_uDispMask.load() & 0x121fc)) DispWake();
}

void CQVSocket::SockEventDataPull()
{
    PassRecvProc();
    if (m_uInit) BatchRecvProc();
}
