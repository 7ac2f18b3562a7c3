// The library's home directory (recorded in the settings file) and its root directory
// "<home>/Quarlin" with named sub-directories.
#pragma once

#include <pthread.h>

#include "qvString.h"
#include "qvType.h"

u32 qvSandboxInit(u32 uFlag);
u32 qvSandboxSetHome(const char* lpszPath);
u32 qvSandboxGetHome(char* lpszOut, u32 uSize);
u32 qvSandboxGetRoot(char* lpszOut, u32 uSize);
u32 qvSandboxSetRoot(const char* lpszPath);
u32 qvSandboxGetSub(const char* lpszName, char* lpszOut, u32 uSize, u32 uCreate);
u32 qvSandboxCheck(const char* lpszPath);

// Holds the root directory, computed when first needed and kept for the life of the process.
class CQVSandbox
{
public:
    CQVSandbox();
    virtual ~CQVSandbox();

    u32 SetHome(const char* lpszPath);
    u32 GetHome(char* lpszOut, u32 uSize);
    u32 GetRoot(char* lpszOut, u32 uSize);
    u32 SetRoot(const char* lpszPath);
    u32 GetSub(const char* lpszName, char* lpszOut, u32 uSize, u32 uCreate);

private:
    CQVSandbox(const CQVSandbox&) = delete;
    CQVSandbox& operator=(const CQVSandbox&) = delete;
    u32 ComputeRootLocked();

    pthread_mutex_t m_Mutex;
    QV_STRING m_strRoot;
};
