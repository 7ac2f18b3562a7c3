// The client's commands: installer mode with the first login, status, start, stop, and the
// installed check with the client's single-instance lock.
#pragma once

#include "kelvardIpc.h"

#define KELVARD_CLIENT_VERSION "3.1.1.295"

// What an interactive step asks of its caller afterwards.
enum KelvStep
{
    KSTEP_PROMPT = 0,    // go on and show the menu prompt
    KSTEP_NOPROMPT = 1,  // go on without the prompt
    KSTEP_QUIT = 2,      // end of input or a broken exchange: end the client
};

// SIGINT and SIGTERM: restore the terminal and end with 0.
void signal_int_func(int iSig);
void VersionGet();

// The daemon program must be installed and no other client may run; prints why not and ends
// the process otherwise. The lock descriptor, closed at the end of the command.
int kelvard_check_and_lock();

int kelvard_status(CKelvardIpc& ipc);
int kelvard_start_stop(CKelvardIpc& ipc, bool bStart);
int kelvard_install();

// The login dialogue of the installer and of menu item 1: group and client ID, password, the
// login request; retried on a bad account up to three attempts. With bInstall the install
// script runs once before the first request and the client lock is taken (*piLockFd).
KelvStep kelvard_login_loop(CKelvardIpc& ipc, bool bInstall, bool bOneShot, int* piLockFd);

// Prints a failed exchange ("返回码解析失败" or "无法通信"); true for a broken link.
bool kelvard_report_failure(KelvIpcResult result);
