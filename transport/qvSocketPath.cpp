// Connection paths of a peer socket, the choice of path per burst, the send pump with pacing,
// round-trip and window arithmetic, loss handling and the three resend routines.
#include "qvLog.h"

#include "qvSocket.h"

#include <cstring>
#include <new>

namespace {

// Value given to the stand-in path 0 (let the socket process choose); lower is better.
const u32 kPathZeroValue = 160;
// Path values at or below this mean a direct path: multipath gives way to it.
const u32 kPathDirectMax = 7;
// Seconds a priority must stay window-limited (or not) before multipath switches on (off).
const u32 kMultiSwitchSecs = 5;
// Ticks (10 ms) a path is kept out after a failed send, added per further failure.
const u32 kBackoffStep = 5;
// Ticks between two round-trip samples on one path.
const u32 kSampleGap = 10;
// Ticks and windows' worth of acks before a rate check may reset the threshold.
const u32 kRateCheckTicks = 20;
const u32 kRateCheckWnds = 8;

} // namespace

CQVSocket::CNNT_PATH_S* CQVSocket::CnntPathSearch(SOCK_S* s, u32 uID)
{
    for (CNNT_PATH_S* p = s->paths.Head(); p; p = PATH_LIST::Next(p))
        if (p->uID == uID) return p;
    return 0;
}

void CQVSocket::CnntPathForget(SOCK_S* s)
{
    for (u32 i = 0; i < PRIO_NUM; i++) s->send[i].pPath = 0;
}

CQVSocket::CNNT_PATH_S* CQVSocket::CnntPathAdd(SOCK_S* s, u32 uID, u32 uValue)
{
    CNNT_PATH_S* p = new (std::nothrow) CNNT_PATH_S();
    if (!p) return 0;
    p->uID = uID;
    p->uValue = uValue;
    p->uGen = s->uPathGen;
    p->uWnd = m_uInitWndMax;
    p->uSmoothWnd = m_uInitWndMax;
    p->uResendIntv = 10;
    p->uSampleBlock = 0xFFFFFFFF;
    s->paths.PushTail(p);
    CnntPathForget(s);
    return p;
}

void CQVSocket::CnntPathDelete(SOCK_S* s, CNNT_PATH_S* p)
{
    // Blocks in flight on it become resendable on another path.
    for (u32 i = 0; i < PRIO_NUM; i++) {
        SEND_Q_S& q = s->send[i];
        if (!q.que.IsCreated()) continue;
        u32 n = q.que.Count();
        for (u32 k = 0; k < n; k++) {
            BUF_S* b = 0;
            if (q.que.Get(k, b) == 0 && b && b->uPathID == p->uID) {
                b->uFlags &= ~0x8u;
                b->uPathID = 0x7FFFFFFF;
            }
        }
    }
    s->paths.Remove(p);
    CnntPathForget(s);
    if (s->pTop == p) s->pTop = 0;
    delete p;
}

void CQVSocket::CnntPathClean(SOCK_S* s)
{
    while (CNNT_PATH_S* p = s->paths.PopHead()) delete p;
    CnntPathForget(s);
    s->pTop = 0;
}

void CQVSocket::CnntPathUpdate(SOCK_S* s)
{
    s->uPathGen++;
    u32 aPairs[64];
    u32 n = (m_pLower && s->uProcHandle) ? m_pLower->GetPeerCnntAddr(s->uProcHandle, aPairs, 32) : 0;
    if (n > 32) n = 32;
    for (u32 i = 0; i < n; i++) {
        CNNT_PATH_S* p = CnntPathSearch(s, aPairs[2 * i]);
        if (p) {
            p->uGen = s->uPathGen;
            p->uValue = aPairs[2 * i + 1];
        } else {
            CnntPathAdd(s, aPairs[2 * i], aPairs[2 * i + 1]);
        }
    }
    CNNT_PATH_S* p0 = CnntPathSearch(s, 0);
    if (p0) p0->uGen = s->uPathGen;
    CNNT_PATH_S* p = s->paths.Head();
    while (p) {
        CNNT_PATH_S* next = PATH_LIST::Next(p);
        if (p->uGen != s->uPathGen) CnntPathDelete(s, p);
        p = next;
    }
    if (s->paths.Empty()) CnntPathAdd(s, 0, kPathZeroValue);
    CnntPathPrioMin(s);
}

CQVSocket::CNNT_PATH_S* CQVSocket::CnntPathZero(SOCK_S* s)
{
    CNNT_PATH_S* p = CnntPathSearch(s, 0);
    if (!p && (p = CnntPathAdd(s, 0, kPathZeroValue)) != 0) CnntPathPrioMin(s);
    return p;
}

void CQVSocket::SockEventCnntAddr(u32 uSockID, u32 uAdd, u32 uCnntID, u32 uValue)
{
    if (!m_uInit) return;
    PassRecvProc();
    SectDisp lk(this);
    SOCK_S* s = SockGet(uSockID);
    if (!s) return;
    CNNT_PATH_S* p = CnntPathSearch(s, uCnntID);
    if (uAdd) {
        if (p)
            p->uValue = uValue;
        else
            CnntPathAdd(s, uCnntID, uValue);
    } else if (p) {
        CnntPathDelete(s, p);
        if (s->paths.Empty()) CnntPathAdd(s, 0, kPathZeroValue);
    }
    CnntPathPrioMin(s);
}

void CQVSocket::CnntPathPrioMin(SOCK_S* s)
{
    CNNT_PATH_S* old = s->pTop;
    CNNT_PATH_S* top = 0;
    for (CNNT_PATH_S* p = s->paths.Head(); p; p = PATH_LIST::Next(p))
        if (!top || p->uValue < top->uValue) top = p;
    s->pTop = top;
    if (top && top->uValue <= kPathDirectMax)
        for (u32 i = 0; i < PRIO_NUM; i++) s->send[i].uMode = 0;
    u32 uBothMulti = (s->uOwnFlags & 2) && (s->uPeerFlags & 2);
    if (!uBothMulti && old && top && old != top && old->uValue >= 48 && old->uValue <= 63 && top->uValue <= 47) {
        for (u32 i = 0; i < PRIO_NUM; i++) {
            SEND_Q_S& q = s->send[i];
            if (!q.que.IsCreated()) continue;
            for (u32 k = q.uAcked; k < q.uNext; k++) {
                BUF_S* b = 0;
                if (q.que.Get(k, b) == 0 && b && !(b->uFlags & 0x4) && b->uPathID == old->uID) {
                    CnntPathUncount(s, b);
                    b->uPathID = 0x7FFFFFFF;
                }
            }
        }
    }
}

void CQVSocket::CnntPathResetCount(SOCK_S* s, CNNT_PATH_S* p)
{
    for (CNNT_PATH_S* c = s->paths.Head(); c; c = PATH_LIST::Next(c))
        if (!p || c == p) c->uInFlight = 0;
    // Blocks counted on a reset path are no longer counted, so none is counted down twice.
    for (u32 i = 0; i < PRIO_NUM; i++) {
        SEND_Q_S& q = s->send[i];
        if (!q.que.IsCreated()) continue;
        u32 n = q.que.Count();
        for (u32 k = 0; k < n; k++) {
            BUF_S* b = 0;
            if (q.que.Get(k, b) == 0 && b && (!p || b->uPathID == p->uID)) b->uFlags &= ~0x8u;
        }
    }
}

void CQVSocket::CnntPathUncount(SOCK_S* s, BUF_S* b)
{
    if (!(b->uFlags & 0x8)) return;
    b->uFlags &= ~0x8u;
    CNNT_PATH_S* p = CnntPathSearch(s, b->uPathID);
    if (p && p->uInFlight) p->uInFlight--;
}

u32 CQVSocket::CnntPathInBackoff(const CNNT_PATH_S* p) const
{
    return p->uBackoff && (u32)(m_uTick.load() - p->uBackoffStamp) < p->uBackoff;
}

u32 CQVSocket::AnyWndLimited(SOCK_S* s)
{
    for (u32 i = 0; i < PRIO_NUM; i++)
        if (s->send[i].uIdle) return 1;
    return 0;
}

void CQVSocket::CnntPathSmoothWndUpdate(CNNT_PATH_S* p)
{
    if (m_uSide) return;
    u32 rtt = p->uRtt ? p->uRtt : 1;
    u32 w = p->uWnd / rtt;
    p->uSmoothWnd = w > m_uInitWndMax ? w : m_uInitWndMax;
    if (p->uRtt < 6) {
        p->uResendIntv = 3;
    } else {
        u32 t = p->uRtt / 10;
        if (t < 2) t = 2;
        if (t > 5) t = 5;
        p->uResendIntv = p->uRtt / 5 + t;
    }
}

void CQVSocket::CnntPathTakeValues(SOCK_S* s, CNNT_PATH_S* p)
{
    for (u32 i = 0; i < PRIO_NUM; i++) {
        if (s->send[i].pPath == p) {
            s->send[i].uBurst = p->uSmoothWnd ? p->uSmoothWnd : 1;
            s->send[i].uResendIntv = p->uResendIntv ? p->uResendIntv : 1;
        }
    }
}

void CQVSocket::CnntPathWndIncrease(SOCK_S* s, CNNT_PATH_S* p)
{
    if (p->uThreshold) {
        u32 uStep = p->uWnd < 8 ? 1 : p->uWnd;
        if (p->uAckedCount - p->uIncMark < uStep) return;
        p->uIncMark = p->uAckedCount;
    }
    if (p->uWnd < m_uSendQueMax && AnyWndLimited(s)) {
        p->uWnd++;
        CnntPathSmoothWndUpdate(p);
        CnntPathTakeValues(s, p);
    }
}

u32 CQVSocket::CnntPathAckBuf(SOCK_S* s, BUF_S* b)
{
    CNNT_PATH_S* p = CnntPathSearch(s, b->uPathID);
    if (p) p->uAckedCount++;
    CnntPathUncount(s, b);
    if (b->uFlags & 0x4) return 0;
    b->uFlags |= 0x4;
    return 1;
}

void CQVSocket::RecvAckCheckLoss(SOCK_S* s, u32 uPrio)
{
    SEND_Q_S& q = s->send[uPrio];
    u32 uNow = m_uTick.load();
    u32 uBit = 1u << uPrio;
    for (CNNT_PATH_S* p = s->paths.Head(); p; p = PATH_LIST::Next(p)) {
        u32 uCarries = 0, uMissing = 0;
        for (u32 k = q.uAcked; k < q.uNext; k++) {
            BUF_S* b = 0;
            if (q.que.Get(k, b) != 0 || !b || b->uPathID != p->uID) continue;
            uCarries = 1;
            if (!(b->uFlags & (0x4 | 0x10))) uMissing++;
        }
        if (!uCarries) continue;
        if (uMissing == 0) {
            p->uLossMarks &= ~uBit;
            if (!p->uLossMarks) CnntPathWndIncrease(s, p);
            continue;
        }
        if (p->uLossMarks & uBit) continue;
        p->uLossMarks |= uBit;
        p->uLossEnd[uPrio] = q.uBase + q.uNext;
        u32 w = p->uWnd, t = p->uThreshold;
        u32 uOld = p->uWnd;
        if (t == 0) {
            p->uPeakWnd = 0;
            p->uThreshold = w;
            p->uCheckStamp = uNow;
            p->uAckedCount = 0;
            p->uIncMark = 0;
        } else if (!AnyWndLimited(s)) {
            if (w > p->uPeakWnd) p->uPeakWnd = w;
            p->uWnd = t < w ? t + (w - t) / 2 : t;
            p->uCheckStamp = uNow;
            p->uAckedCount = 0;
            p->uIncMark = 0;
        } else if (uNow - p->uCheckStamp < kRateCheckTicks || p->uAckedCount < kRateCheckWnds * w) {
            if (w > p->uPeakWnd) p->uPeakWnd = w;
            p->uWnd = t < w ? t + (w - t) / 2 : t;
        } else {
            u32 uSpan = uNow - p->uCheckStamp;
            u32 rate = (u32)((u64)p->uAckedCount * 100 / (uSpan ? uSpan : 1));
            u32 a = p->uAvgRate;
            u32 peak = p->uPeakWnd > w ? p->uPeakWnd : w;
            u32 rtt = p->uRtt ? p->uRtt : 1;   // an unmeasured round trip counts as one tick
            if (rate / 8 > a / 8) {
                if (a) {
                    u64 v = (u64)t * rate / a;
                    p->uThreshold = (u32)(v < peak ? v : peak);
                } else {
                    u32 m = peak > t ? peak : t;
                    p->uThreshold = t + (m - t) / 2;
                }
            } else if (rate / 8 == a / 8) {
                if ((u64)a * 4 < (u64)t * 100 / rtt && t > m_uInitWndMax) p->uThreshold = t - 1;
            } else {
                if (a && (u64)(a - rate) * t / a > 1 && t > m_uInitWndMax) p->uThreshold = t - 1;
            }
            if (p->uRateCount == 4) {
                p->uRateSum -= p->uRate[p->uRateHead];
            } else {
                p->uRateCount++;
            }
            p->uRate[p->uRateHead] = rate;
            p->uRateSum += rate;
            p->uRateHead = (p->uRateHead + 1) % 4;
            p->uAvgRate = p->uRateSum / p->uRateCount;
            p->uPeakWnd = 0;
            p->uWnd = p->uThreshold ? p->uThreshold : 1;
            p->uCheckStamp = uNow;
            p->uAckedCount = 0;
            p->uIncMark = 0;
        }
        if (p->uWnd == 0) p->uWnd = 1;
        if (p->uWnd != uOld) {
            CnntPathSmoothWndUpdate(p);
            CnntPathTakeValues(s, p);
        }
    }
}

// ---------------------------------------------------------------------------------------
// Path choice and the send pump

CQVSocket::CNNT_PATH_S* CQVSocket::CnntPathSelect(SOCK_S* s, u32 uPrio)
{
    SEND_Q_S& q = s->send[uPrio];
    u32 uSec = m_uSecond.load();
    u32 uMulti = (s->uOwnFlags & 2) && (s->uPeerFlags & 2) && s->pTop && s->pTop->uValue > kPathDirectMax;
    if (uMulti) {
        u32 uMode = q.uMode;
        if (q.uIdle && uSec - q.uIdleStamp > kMultiSwitchSecs) uMode = 1;
        if (!q.uIdle && uSec - q.uIdleStamp > kMultiSwitchSecs) uMode = 0;
        if (uMode != q.uMode) {
            q.uMode = uMode;
            if (!uMode) q.pPath = 0;
            qvPrintf("CQVSocket::CnntPathSelect: uSockInd=%u, uPrio=%u, uMultiPath=%u", SockIndex(s), uPrio, uMode);
        }
        if (q.pPath && CnntPathInBackoff(q.pPath)) q.pPath = 0;
    } else if (q.pPath) {
        CNNT_PATH_S* t = s->pTop;
        if (!(!t || t == q.pPath || t->uValue >= q.pPath->uValue || CnntPathInBackoff(t))) q.pPath = 0;
    }
    if (!q.pPath) {
        CNNT_PATH_S* best = 0;
        for (CNNT_PATH_S* p = s->paths.Head(); p; p = PATH_LIST::Next(p))
            if (!CnntPathInBackoff(p) && (!best || p->uValue < best->uValue)) best = p;
        if (!best) {
            best = CnntPathSearch(s, 0);
            if (!best) best = CnntPathAdd(s, 0, kPathZeroValue);
            CnntPathPrioMin(s);
            if (!best) return 0;
        }
        q.pPath = best;
        q.uBurst = best->uSmoothWnd ? best->uSmoothWnd : 1;
        q.uResendIntv = best->uResendIntv ? best->uResendIntv : 1;
    }
    CNNT_PATH_S* c = q.pPath;
    if (q.uMode == 1 && (CnntPathInBackoff(c) || c->uID == 0 || c->uInFlight >= c->uWnd)) {
        CNNT_PATH_S* p = PATH_LIST::Next(c);
        for (;;) {
            if (!p) p = s->paths.Head();
            if (p == c) break;
            if (!CnntPathInBackoff(p) && p->uID != 0 && p->uInFlight < p->uWnd) {
                q.pPath = p;
                q.uBurst = p->uSmoothWnd ? p->uSmoothWnd : 1;
                q.uResendIntv = p->uResendIntv ? p->uResendIntv : 1;
                return p;
            }
            p = PATH_LIST::Next(p);
        }
    }
    return c;
}

void CQVSocket::DispPaced(SOCK_S* s, u32 uPrio)
{
    s->uDispPrio[uPrio] &= ~1u;
    s->uPacedMask |= 1u << uPrio;
    if (!m_PacedList.Contains(s)) m_PacedList.PushTail(s);
    m_uPaced = 1;
}

u32 CQVSocket::DispSendData(SOCK_S* s)
{
    if (s->uState != 2) {
        if (s->uState == 0) ListDispPush(s, 0x100, 4);
        for (u32 i = 0; i < PRIO_NUM; i++) s->uDispPrio[i] &= ~1u;
        return 1;
    }
    u32 uPrio = PRIO_NUM;
    for (u32 i = 0; i < PRIO_NUM; i++)
        if (s->uDispPrio[i] & 1) {
            uPrio = i;
            break;
        }
    if (uPrio == PRIO_NUM) return 1;
    for (u32 k = 0; k < uPrio; k++)
        if (s->uDispPrio[k] & 2) {
            ListDispPush(s, 0x2, 4);
            return 0;
        }
    SEND_Q_S& q = s->send[uPrio];
    u32 uTick = m_uTick.load();
    u32 n = q.que.Count();
    u32 uWaitRoom = 0;
    CNNT_PATH_S* p = 0;
    u32 j = 0;
    if ((s->uDispPrio[uPrio] & 2) && q.uWndClosed >= 17) {
        uWaitRoom = 1;
    } else {
        p = CnntPathSelect(s, uPrio);
        if (!p) {
            s->uDispPrio[uPrio] &= ~1u;
            return 1;
        }
        j = SendWndRemain(s, uPrio, p);
        if (j == 0) uWaitRoom = 1;
    }
    if (uWaitRoom) {
        DispPushSendTimer(s, uPrio);
        if (q.uNext < n) {
            // Polled from the window check until room opens (acks also wake it).
            s->uWaitMask |= 1u << uPrio;
            if (!m_WaitList.Contains(s)) m_WaitList.PushTail(s);
            m_uCheck.fetch_or(1);
        }
    } else if (q.uNext < n) {
        if (uTick != q.uLastTick) q.uSentTick = 0;
        if (p->uRtt >= 2 && q.uSentTick >= q.uBurst) {
            DispPaced(s, uPrio);
        } else {
            u32 uBurst = j;
            if (m_uSendPendCount >= 2) {
                uBurst = j / m_uSendPendCount;
                if (!uBurst) uBurst = 1;
            }
            if (p->uRtt > 1 && uBurst > q.uBurst) uBurst = q.uBurst;
            u32 uSent = 0;
            u32 uAheadEnd = q.uNext;   // blocks before it were offered to SendEncAhead
            while (uBurst && q.uNext < n) {
                u32 idx = q.uNext;
                if (idx >= uAheadEnd) {
                    u32 c = n - idx < uBurst ? n - idx : uBurst;
                    if (c > QV_AES_MANY_MAX) c = QV_AES_MANY_MAX;
                    SendEncAhead(s, q, idx, c);
                    uAheadEnd = idx + c;
                }
                BUF_S* b = 0;
                q.que.Get(idx, b);
                q.uNext++;
                if (!b) break;
                u32 uNoAck = q.uNoAckRun < 3 && q.uSentTick != 0 && q.uSentTick + 1 != q.uBurst &&
                             uBurst > 1 && j != p->uWnd && j != 1 && q.uNext < n;
                if (!uNoAck) {
                    q.uNoAckRun = 0;
                    if (p->uSampleBlock == 0xFFFFFFFF && uTick - p->uSampleTick >= kSampleGap) {
                        p->uSampleBlock = q.uBase + idx;
                        p->uSampleTick = uTick;
                        p->uSamplePrio = uPrio;
                    }
                }
                SendData(s, uPrio, b, idx, uNoAck ? 4 : 3, p->uID);
                if (p->uID == 0 && b->uPathID != 0 && b->uPathID != 0x7FFFFFFF) q.pPath = 0;
                b->uFlags |= 0x2;
                b->uResendStamp = 0;
                q.uNoAckRun++;
                q.uSentTick++;
                if (j) j--;
                uBurst--;
                uSent++;
            }
            SendEncForget();
            if (uSent) {
                q.uLastTick = uTick;
                TimerDispPush(s, 0x2, uPrio);
                if (q.uNext < n && j && q.uSentTick >= q.uBurst)
                    DispPaced(s, uPrio);
                else if (q.uNext >= n || !j)
                    s->uDispPrio[uPrio] &= ~1u;
                if (q.uNext < n && !j) {
                    s->uWaitMask |= 1u << uPrio;
                    if (!m_WaitList.Contains(s)) m_WaitList.PushTail(s);
                    m_uCheck.fetch_or(1);
                }
            }
        }
        // The stamp marks when the priority became window-limited: multipath waits for it to
        // stay so for more than 5 s, which a stamp renewed at every burst would never show.
        if (q.uNext < n) {
            if (!q.uIdle) {
                q.uIdle = 1;
                q.uIdleStamp = m_uSecond.load();
            }
        } else if (q.uIdle) {
            q.uIdle = 0;
            q.uIdleStamp = m_uSecond.load();
        }
    } else {
        s->uDispPrio[uPrio] &= ~1u;
    }
    if (q.uNext >= n) s->uDispPrio[uPrio] &= ~1u;
    u32 uMore = 0;
    for (u32 k = uPrio; k < PRIO_NUM; k++) {
        SEND_Q_S& o = s->send[k];
        if (!o.que.IsCreated() || o.uNext >= o.que.Count()) continue;
        if (s->uPacedMask & (1u << k)) continue;
        if (s->uWaitMask & (1u << k)) continue;
        if (k == uPrio && uWaitRoom) continue;
        ListDispPush(s, 0x1, k);
        uMore = 1;
    }
    if (uMore) return 0;
    for (u32 k = uPrio + 1; k < PRIO_NUM; k++)
        if (s->uDispPrio[k] & 2) ListDispPush(s, 0x2, 4);
    for (u32 k = 0; k < PRIO_NUM; k++)
        if (s->uDispPrio[k] & 1) return 0;
    return 1;
}

// ---------------------------------------------------------------------------------------
// Resends

namespace {

bool RecentlyResent(u32 uStamp, u32 uRound, u32 uNow, u32 uIntv)
{
    if (!uStamp) return false;
    return (s32)(uStamp - uRound) >= 0 || uNow - uStamp < 5 * uIntv;
}

} // namespace

void CQVSocket::SendMultiPathSingle(SOCK_S* s, u32 uPrio, u32 uAll)
{
    SEND_Q_S& q = s->send[uPrio];
    u32 uNow = m_uTick.load();
    u32 uAny = 0;
    u32 uLastPath = 0xFFFFFFFE;
    for (u32 k = q.uAcked; k < q.uNext; k++) {
        BUF_S* b = 0;
        if (q.que.Get(k, b) != 0 || !b) continue;
        if (b->uFlags & 0x4) {
            uLastPath = 0xFFFFFFFE;
            continue;
        }
        if (b->uPathID == uLastPath) continue;
        uLastPath = b->uPathID;
        if (!uAll && RecentlyResent(b->uResendStamp, q.uRoundTick, uNow, q.uResendIntv)) continue;
        u32 uCnnt = b->uPathID == 0x7FFFFFFF ? (q.pPath ? q.pPath->uID : 0) : b->uPathID;
        qvPrintf("CQVSocket::SendMultiPathSingle: uSockInd=%u, uPrio=%u, uPend=%u, uTop=%u, uBlockNo=%u, uAck=%u, uPos=%u, uCnntID=%u",
                 SockIndex(s), uPrio, q.uNext - q.uAcked, q.uBase + q.uNext, q.uBase + k, q.uBase + q.uAcked, k, uCnnt);
        SendData(s, uPrio, b, k, 2, uCnnt);
        b->uResendStamp = q.uRoundTick ? q.uRoundTick : uNow;
        uAny = 1;
    }
    if (!uAny) {
        q.uRoundTick = uNow;
        qvPrintf("CQVSocket::SendMultiPathSingle: uSockInd=%u, uPrio=%u, uTickRound=%u", SockIndex(s), uPrio, uNow);
    }
}

void CQVSocket::SendMultiPathRange(SOCK_S* s, u32 uPrio, u32 uAll, u32 uOnce)
{
    SEND_Q_S& q = s->send[uPrio];
    u32 uNow = m_uTick.load();
    u32 uAny = 0;
    u32 uLimit = q.uBurst ? q.uBurst : 1;
    u32 k = q.uAcked;
    while (k < q.uNext) {
        BUF_S* b = 0;
        if (q.que.Get(k, b) != 0 || !b || (b->uFlags & 0x4) ||
            (!uAll && RecentlyResent(b->uResendStamp, q.uRoundTick, uNow, q.uResendIntv))) {
            k++;
            continue;
        }
        u32 uPath = b->uPathID;
        u32 uStart = k, uEnd = k + 1;
        while (uEnd < q.uNext && uEnd - uStart < uLimit) {
            BUF_S* c = 0;
            if (q.que.Get(uEnd, c) != 0 || !c || (c->uFlags & 0x4) || c->uPathID != uPath ||
                (!uAll && RecentlyResent(c->uResendStamp, q.uRoundTick, uNow, q.uResendIntv)))
                break;
            uEnd++;
        }
        u32 uCnnt = uPath == 0x7FFFFFFF ? (q.pPath ? q.pPath->uID : 0) : uPath;
        qvPrintf("CQVSocket::SendMultiPathRange: uSockInd=%u, uPrio=%u, uPend=%u, uTop=%u, uBlockNo=%u, uSize=%u, uCnntID=%u",
                 SockIndex(s), uPrio, q.uNext - q.uAcked, q.uBase + q.uNext, q.uBase + uStart, uEnd - uStart, uCnnt);
        for (u32 i = uStart; i < uEnd; i++) {
            if ((i - uStart) % QV_AES_MANY_MAX == 0)
                SendEncAhead(s, q, i, uEnd - i < QV_AES_MANY_MAX ? uEnd - i : QV_AES_MANY_MAX);
            BUF_S* c = 0;
            q.que.Get(i, c);
            SendData(s, uPrio, c, i, i + 1 == uEnd ? 2 : 1, uCnnt);
            c->uResendStamp = q.uRoundTick ? q.uRoundTick : uNow;
        }
        SendEncForget();
        uAny = 1;
        k = uEnd;
        if (uOnce) break;
    }
    if (!uAny) {
        q.uRoundTick = uNow;
        qvPrintf("CQVSocket::SendMultiPathRange: uSockInd=%u, uPrio=%u, uTickRound=%u", SockIndex(s), uPrio, uNow);
    }
}

void CQVSocket::SendMultiPathTop(SOCK_S* s, u32 uPrio)
{
    SEND_Q_S& q = s->send[uPrio];
    u32 uNow = m_uTick.load();
    u32 k = q.uAcked;
    while (k < q.uNext) {
        BUF_S* b = 0;
        if (q.que.Get(k, b) != 0 || !b || (b->uFlags & 0x4)) {
            k++;
            continue;
        }
        u32 uPath = b->uPathID;
        u32 uEnd = k + 1;
        while (uEnd < q.uNext) {
            BUF_S* c = 0;
            if (q.que.Get(uEnd, c) != 0 || !c || (c->uFlags & 0x4) || c->uPathID != uPath) break;
            uEnd++;
        }
        BUF_S* t = 0;
        q.que.Get(uEnd - 1, t);
        u32 uCnnt = uPath == 0x7FFFFFFF ? (q.pPath ? q.pPath->uID : 0) : uPath;
        qvPrintf("CQVSocket::SendMultiPathTop: uSockInd=%u, uPrio=%u, uBlockTop=%u, uBlockNo=%u, uCnntID=%u",
                 SockIndex(s), uPrio, q.uBase + q.uNext, q.uBase + uEnd - 1, uCnnt);
        SendData(s, uPrio, t, uEnd - 1, 2, uCnnt);
        t->uResendStamp = q.uRoundTick ? q.uRoundTick : uNow;
        k = uEnd;
    }
}
