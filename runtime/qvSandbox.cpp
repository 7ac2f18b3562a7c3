#include "qvSandbox.h"

#include <cstdio>
#include <cstring>

#include "qvLog.h"
#include "qvSetting.h"
#include "qvUtilize.h"

namespace
{
// Longest root path in bytes, without its zero.
const u32 SANDBOX_ROOT_MAX = 255;
const u32 SANDBOX_PATH_SIZE = 4096;

CQVSandbox& Sandbox()
{
    static CQVSandbox s_Sandbox;
    return s_Sandbox;
}

u32 DirExists(const char* lpszPath)
{
    void* hDir = qvDirOpen(lpszPath);
    if (!hDir)
        return 0;
    qvDirClose(hDir);
    return 1;
}

}  // namespace

CQVSandbox::CQVSandbox()
{
    pthread_mutex_init(&m_Mutex, nullptr);
}

// The mutex stays alive: worker threads may still ask for paths during process exit.
CQVSandbox::~CQVSandbox()
{
}

u32 CQVSandbox::SetHome(const char* lpszPath)
{
    if (!lpszPath)
        return 0;
    char szSetting[SANDBOX_PATH_SIZE];
    if (!qvDefSettingPath(szSetting, sizeof(szSetting)))
        return 0;
    CQVSetting setting;
    if (!setting.Load(szSetting) || !setting.ValueSet("SANDBOX.Home", lpszPath))
        return 0;
    return setting.Save();
}

u32 CQVSandbox::GetHome(char* lpszOut, u32 uSize)
{
    if (!lpszOut || uSize == 0)
        return 0;
    char szSetting[SANDBOX_PATH_SIZE];
    if (qvDefSettingPath(szSetting, sizeof(szSetting)))
    {
        CQVSetting setting;
        if (setting.Load(szSetting))
        {
            const char* lpszHome = setting.ValueGet("SANDBOX.Home");
            if (lpszHome && lpszHome[0] && strlen(lpszHome) < uSize && DirExists(lpszHome))
                return qvStrCopy(lpszOut, uSize, lpszHome);
        }
    }
    if (qvDirHome(lpszOut, uSize))
        return 1;
    qvLogOut(0, "CQVSandbox::GetHome, Get default home directory failed");
    return 0;
}

u32 CQVSandbox::ComputeRootLocked()
{
    char szHome[SANDBOX_PATH_SIZE];
    if (!GetHome(szHome, sizeof(szHome)))
    {
        qvPrintf("CQVSandbox::GetRoot, get home failed");
        return 0;
    }
    char szRoot[SANDBOX_ROOT_MAX + 1];
    int n = snprintf(szRoot, sizeof(szRoot), "%s/Quarlin", szHome);
    // A root that had to be cut would name some other directory.
    if (n < 0 || (u32)n > SANDBOX_ROOT_MAX)
    {
        qvPrintf("CQVSandbox::GetRoot, get home failed");
        return 0;
    }
    qvPrintf("CQVSandbox::GetRoot, Root=%s", szRoot);
    if (!DirExists(szRoot))
    {
        qvDirCreate(szRoot);
        if (!DirExists(szRoot))
        {
            qvPrintf("CQVSandbox::GetRoot, Create root failed");
            qvLogOut(0, "CQVSandbox::GetRoot, Create root failed");
            return 0;
        }
    }
    return m_strRoot.assign(szRoot);
}

u32 CQVSandbox::GetRoot(char* lpszOut, u32 uSize)
{
    pthread_mutex_lock(&m_Mutex);
    u32 uResult = 0;
    if (!m_strRoot.empty() || ComputeRootLocked())
        uResult = qvStrCopy(lpszOut, uSize, m_strRoot.c_str());
    pthread_mutex_unlock(&m_Mutex);
    return uResult;
}

u32 CQVSandbox::SetRoot(const char* lpszPath)
{
    pthread_mutex_lock(&m_Mutex);
    u32 uResult = 0;
    if (!lpszPath || !lpszPath[0])
    {
        m_strRoot.clear();
        uResult = ComputeRootLocked();
    }
    else if (DirExists(lpszPath) || (qvDirCreate(lpszPath) && DirExists(lpszPath)))
        uResult = m_strRoot.assign(lpszPath);
    else
    {
        qvPrintf("CQVSandbox::SetRoot, Create root failed, lpszPath=%s", lpszPath);
        qvLogOut(0, "CQVSandbox::SetRoot, Create root failed, lpszPath=%s", lpszPath);
    }
    pthread_mutex_unlock(&m_Mutex);
    return uResult;
}

u32 CQVSandbox::GetSub(const char* lpszName, char* lpszOut, u32 uSize, u32 uCreate)
{
    if (!lpszName || !lpszOut || uSize == 0)
        return 0;
    char szRoot[SANDBOX_PATH_SIZE];
    if (!GetRoot(szRoot, sizeof(szRoot)))
        return 0;
    char szPath[SANDBOX_PATH_SIZE];
    int n = snprintf(szPath, sizeof(szPath), "%s/%s", szRoot, lpszName);
    // A path that had to be cut to fit would name another directory: refuse it.
    if (n < 0 || (u32)n >= sizeof(szPath) || (u32)n >= uSize)
        return 0;
    if (!DirExists(szPath))
    {
        if (!uCreate)
            return 0;
        if (!qvDirCreate(szPath) || !DirExists(szPath))
        {
            qvLogOut(0, "CQVSandbox::GetSub, Create root failed, SubDir=%s", szPath);
            return 0;
        }
    }
    return qvStrCopy(lpszOut, uSize, szPath);
}

u32 qvSandboxInit(u32)
{
    return 1;
}

u32 qvSandboxSetHome(const char* lpszPath)
{
    return Sandbox().SetHome(lpszPath);
}

u32 qvSandboxGetHome(char* lpszOut, u32 uSize)
{
    return Sandbox().GetHome(lpszOut, uSize);
}

u32 qvSandboxGetRoot(char* lpszOut, u32 uSize)
{
    return Sandbox().GetRoot(lpszOut, uSize);
}

u32 qvSandboxSetRoot(const char* lpszPath)
{
    return Sandbox().SetRoot(lpszPath);
}

u32 qvSandboxGetSub(const char* lpszName, char* lpszOut, u32 uSize, u32 uCreate)
{
    return Sandbox().GetSub(lpszName, lpszOut, uSize, uCreate);
}

u32 qvSandboxCheck(const char*)
{
    return 1;
}
