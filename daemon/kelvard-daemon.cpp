// kelvard-daemon: detaches, runs as the only instance, binds the IPC socket, starts the tunnel
// with the stored account and connections and then answers the client's requests for ever.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kelvardDaemon.h"
#include "kelvardShared.h"
#include "log.h"

int main()
{
    // The socket and every file the daemon makes (the log, the account's password) are for its
    // owner only.
    umask(077);
    char szCwd[4096];
    if (getcwd(szCwd, sizeof(szCwd)))
        logname = std::string(szCwd) + "/log";
    else
        logname = "./log";
    pid = (int)getpid();
    if (daemon(1, 0) != 0)
        KLOG("daemon: %s", strerror(errno));
    signal(SIGPIPE, SIG_IGN);

    int fd = kelvard_initlock();
    if (fd < 0)
    {
        KLOG("初始化锁失败");
        return -1;
    }
    if (kelvard_lock(fd, KELVARD_LOCK_DAEMON) != 0)
    {
        KLOG("请检查程序是否已启动");
        return -1;
    }
    KLOG("kelvard-daemon程序启动成功");

    CKelvardDaemon daemon;
    if (!daemon.Bind(KELVARD_IPC_ADDR))
        return -1;
    daemon.StartUp();
    while (daemon.ServeOne())
    {
    }
    KLOG("IPC socket closed, daemon ends");
    return -1;
}
