// Helpers compiled into both programs, kelvard-daemon and kelvard: the fixed install paths,
// the single-instance byte locks on the lock file, and the white-space trim.
#pragma once

#include <string>

// Everything of an installation lives here; the daemon's working directory is usually it.
#define KELVARD_INSTALL_DIR "/opt/apps/kelvard-1.0.0"
#define KELVARD_LOCK_NAME "kelvard.lock"
#define KELVARD_DAEMON_PATH KELVARD_INSTALL_DIR "/kelvard-daemon"
#define KELVARD_COMM_DIR KELVARD_INSTALL_DIR "/comm"
#define KELVARD_IPC_FILE KELVARD_COMM_DIR "/kelvard-com"
#define KELVARD_IPC_ADDR "ipc://" KELVARD_IPC_FILE

// Byte offsets of the lock file used as locks.
enum
{
    KELVARD_LOCK_DAEMON = 1,
    KELVARD_LOCK_CLIENT = 2,
};

// Opens the existing lock file read-write; the descriptor, or -1.
int kelvard_initlock();
// -1 when the query fails, 0 when the byte is free, 1 when another process holds it.
int kelvard_islocked(int fd, int iOffset);
// Takes a write lock on one byte without waiting; 0, or -1 when it is held elsewhere or the
// call fails. Taking and testing are one system call, so two starters never both succeed.
int kelvard_lock(int fd, int iOffset);
// Closes the descriptor, which drops every lock of this process on the file.
int kelvard_freelock(int fd);

// Removes trailing spaces, tabs, CR and LF, then leading spaces and tabs.
void Trim(char* lpsz);
void Trim(std::string& str);
