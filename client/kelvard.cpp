// kelvard: the command-line client of kelvard-daemon.
//   kelvard install | install.sh   install with a first login
//   kelvard uninstall              remove the installation
//   kelvard status | start | stop  the daemon's login status, start or stop its tunnel
//   kelvard config [N]             the configuration menu (N: run item N once)
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kelvardClient.h"
#include "kelvardInput.h"
#include "kelvardMenu.h"
#include "kelvardShared.h"

int main(int argc, char** argv)
{
    if (argc < 2)
        return 0;
    if (tcgetattr(STDIN_FILENO, &kelvard_tm_old) == 0)
        kelvard_tm_saved = 1;
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = signal_int_func;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const char* lpszCmd = argv[1];
    if (strcmp(lpszCmd, "install") == 0 || strcmp(lpszCmd, "install.sh") == 0)
        return kelvard_install();
    if (strcmp(lpszCmd, "uninstall") == 0)
    {
        fflush(stdout);
        int iRet = system("sudo ./uninstall.sh");
        (void)iRet;
        return 0;
    }

    int fd = kelvard_check_and_lock();
    CKelvardIpc ipc;
    int iExit = 0;
    if (strcmp(lpszCmd, "status") == 0)
        iExit = kelvard_status(ipc);
    else if (strcmp(lpszCmd, "config") == 0)
        iExit = kelvard_config(ipc, argc, argv);
    else if (strcmp(lpszCmd, "start") == 0)
        iExit = kelvard_start_stop(ipc, true);
    else if (strcmp(lpszCmd, "stop") == 0)
        iExit = kelvard_start_stop(ipc, false);
    fflush(stdout);
    kelvard_freelock(fd);
    return iExit;
}
