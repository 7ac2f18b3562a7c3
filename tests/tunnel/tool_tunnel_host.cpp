// tool_tunnel_host: a host program of the tunnel library for tests (the tunnel module is one per
// process, so every tunnel in a test runs in a host process of its own).
//
//   tool_tunnel_host --cfg PATH [--control FIFO] [--manual]
//
// It sets an event callback and starts the tunnel with the configuration file, then serves
// one command per line from the FIFO (made when missing):
//   status      prints the login status
//   tick N      (with --manual) runs N one-second ticks of the tunnel now
//   stop        doZirizaStop
//   start       doZirizaStart again with the same file
//   quit        stops and ends
// With --manual the tunnel's one-second tick is driven by "tick" only; the call bridge's
// 100 ms tick keeps running. Everything it does is printed on standard output as lines
// starting with "host: ".
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "doZirizaModule.h"
#include "qvLibTunnel.h"

namespace {

std::atomic<bool> g_bStop{false};

void Say(const char* lpszFormat, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* lpszFormat, ...)
{
    char sz[2048];
    va_list args;
    va_start(args, lpszFormat);
    vsnprintf(sz, sizeof(sz), lpszFormat, args);
    va_end(args);
    printf("host: %s\n", sz);
    fflush(stdout);
}

void OnEvent(unsigned int uEvent, const char* lpszParam)
{
    Say("event %u %s", uEvent, lpszParam ? lpszParam : "");
}

void OnSignal(int)
{
    g_bStop = true;
}

const char* kSysInfo = "(DevID){hostdev}(MacAddr){000000000000}(CpuMHz){1}(MemSize){1}(BrwVer){}(OSVer){lab}"
                       "(OSSpk){}(OSType){linux}";

}  // namespace

int main(int argc, char** argv)
{
    std::string strCfg, strControl;
    bool bManual = false;
    for (int i = 1; i < argc; i++)
    {
        std::string a = argv[i];
        if (a == "--cfg" && i + 1 < argc)
            strCfg = argv[++i];
        else if (a == "--control" && i + 1 < argc)
            strControl = argv[++i];
        else if (a == "--manual")
            bManual = true;
        else
        {
            fprintf(stderr, "usage: tool_tunnel_host --cfg PATH [--control FIFO] [--manual]\n");
            return 2;
        }
    }
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    if (bManual)
        CDOZiriza::SetManualTimer(1);
    std::atomic<bool> bTicker{bManual};
    std::thread ticker([&] {
        while (bTicker && !g_bStop)
        {
            doZirizaModule().GetTunnel()->OnTimer(1);
            usleep(100 * 1000);
        }
    });

    doZirizaCallbackSet(OnEvent);
    Say("start=%d", doZirizaStart(strCfg.c_str(), kSysInfo, nullptr, nullptr));

    int fd = -1;
    if (!strControl.empty())
    {
        if (mkfifo(strControl.c_str(), 0600) != 0 && errno != EEXIST)
            Say("control failed: %s", strerror(errno));
        // Opened for reading and writing so that a writer closing it does not end the reads.
        fd = open(strControl.c_str(), O_RDWR | O_NONBLOCK);
    }
    Say("ready");
    std::string strLine;
    while (!g_bStop)
    {
        if (fd < 0)
        {
            usleep(100 * 1000);
            continue;
        }
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0)
            continue;
        strLine.append(buf, (size_t)n);
        size_t at;
        while ((at = strLine.find('\n')) != std::string::npos)
        {
            std::string cmd = strLine.substr(0, at);
            strLine.erase(0, at + 1);
            if (cmd == "status")
            {
                QV_TUNNEL_STATUS_S s = {0};
                int r = doZirizaStatusGet(0, &s);
                Say("status=%d %u", r, s.uStatus);
            }
            else if (cmd.compare(0, 5, "tick ") == 0)
            {
                int ticks = atoi(cmd.c_str() + 5);
                for (int i = 0; i < ticks; i++)
                    doZirizaModule().GetTunnel()->OnTimer(0);
                QV_TUNNEL_STATUS_S s = {0};
                doZirizaStatusGet(0, &s);  // the ticks are handled once this returns
                Say("ticked %d", ticks);
            }
            else if (cmd == "stop")
            {
                doZirizaStop();
                Say("stopped");
            }
            else if (cmd == "start")
                Say("start=%d", doZirizaStart(strCfg.c_str(), kSysInfo, nullptr, nullptr));
            else if (cmd == "quit")
                g_bStop = true;
        }
    }
    bTicker = false;
    ticker.join();
    doZirizaStop();
    Say("quit");
    if (fd >= 0)
        close(fd);
    return 0;
}
