// Starts a worker thread with a real-time priority in a process that may not use real-time
// scheduling (RLIMIT_RTPRIO 0, no root) and reports through its exit code how it ran:
// 0 default scheduling (the fallback), 1 real-time, 2 could not drop privileges, 3 no thread.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include "qvThread.h"

namespace
{
class CProbe : public CQVThread
{
public:
    void Proc() override
    {
        struct sched_param param;
        pthread_getschedparam(pthread_self(), &m_iPolicy, &param);
    }
    int m_iPolicy = -1;
};
}  // namespace

int main()
{
    // 65534: the unprivileged "nobody" user and group.
    struct rlimit rl = {0, 0};
    if (setrlimit(RLIMIT_RTPRIO, &rl) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0)
        return 2;
    CProbe probe;
    if (probe.Start(50, 0) != 1)
        return 3;
    probe.WaitForTermination();
    return probe.m_iPolicy == SCHED_OTHER ? 0 : 1;
}
