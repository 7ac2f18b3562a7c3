// Starts threads in a process whose rights are cut down, and reports through its exit code
// whether they behaved as required (0) or which check failed (see the codes below). Modes:
//   (none)    real-time scheduling not permitted (RLIMIT_RTPRIO 0, no root): a worker asked
//             for a real-time priority must still start, with default scheduling;
//   nothread  no thread can be created at all (RLIMIT_NPROC 0): Start fails with its log
//             line and the started flag clear, and qvTimerInit fails with its log line and
//             leaves no unit table.
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "kvLogLines.h"
#include "qvThread.h"
#include "qvTimer.h"

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

class CNoop : public IQVTimerProc
{
public:
    void OnTimer(u32, u32) override {}
};

int RealTimeRefused()
{
    CProbe probe;
    if (probe.Start(50, 0) != 1)
        return 3;
    probe.WaitForTermination();
    return probe.m_iPolicy == SCHED_OTHER ? 0 : 1;
}

int ThreadRefused()
{
    CProbe probe;
    probe.SetTag("kvProbe");
    if (probe.Start(50, 1) != 0 || probe.IsStarted())
        return 4;
    if (!LogLines().Has("Thread: Start: 'pthread_create' failed in default or priority, uStackSize=16384, Tag=kvProbe\r\n"))
        return 5;
    return 0;
}

int TimerRefused()
{
    if (qvTimerInit(0) != 0 || qvGetTimer()->IsRunning())
        return 6;
    if (!LogLines().Has("TimerImp: Init: Thread start failed.\r\n"))
        return 7;
    // Without a thread no unit would ever fire, so none is handed out.
    CNoop noop;
    if (qvGetTimer()->GetUnitCount() != 0 || qvTimerAdd(10, &noop, 0) != 0)
        return 8;
    return 0;
}
}  // namespace

int main(int argc, char** argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    // Started while the log directory can still be made.
    LogLines();

    // 65534: the unprivileged "nobody" user and group. RLIMIT_NPROC binds only without root.
    struct rlimit rlZero = {0, 0};
    if (setrlimit(RLIMIT_RTPRIO, &rlZero) != 0 || (mode != "" && setrlimit(RLIMIT_NPROC, &rlZero) != 0) ||
        setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
        _exit(2);

    int iRet = 9;  // unknown mode
    if (mode == "")
        iRet = RealTimeRefused();
    else if (mode == "nothread" && (iRet = ThreadRefused()) == 0)
        iRet = TimerRefused();
    // _exit: a leak check at exit would need a thread of its own, which this process may not have.
    _exit(iRet);
}
