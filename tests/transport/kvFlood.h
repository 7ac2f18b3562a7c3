// Cost of handling a flood of hostile datagrams: the CPU time the handling thread spends on
// each one, so that the first and the last thousand of a flood can be compared. Bounded state
// keeps the two alike; state that grows with the flood makes the last thousand dear.
#pragma once

#include <time.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace {

inline uint64_t ThreadCpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

class FloodCost {
public:
    // Runs the handling of one datagram (or one burst) and records its CPU time.
    void Time(const std::function<void()>& fnHandle)
    {
        uint64_t t0 = ThreadCpuNs();
        fnHandle();
        m_Ns.push_back(ThreadCpuNs() - t0);
    }
    size_t Count() const { return m_Ns.size(); }
    uint64_t First(size_t n = 1000) const { return Sum(0, n); }
    uint64_t Last(size_t n = 1000) const { return Sum(m_Ns.size() > n ? m_Ns.size() - n : 0, n); }
    // The last thousand cost at most four times the first, give or take a microsecond a
    // datagram of scheduling noise: state that grew with the flood costs ten times or more.
    // n: the records that make up a thousand datagrams (one record may time a burst).
    bool Bounded(size_t n = 1000) const { return Last(n) <= 4 * First(n) + 1000000ull; }

private:
    uint64_t Sum(size_t from, size_t n) const
    {
        uint64_t s = 0;
        for (size_t i = from; i < from + n && i < m_Ns.size(); i++)
            s += m_Ns[i];
        return s;
    }
    std::vector<uint64_t> m_Ns;
};

}  // namespace
