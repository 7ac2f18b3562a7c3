#include "qvLog.h"

#include <sys/time.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "qvCharSet.h"
#include "qvSandbox.h"
#include "qvUtilize.h"

namespace
{
// Line buffer of the library log: a line may use all but the zero and two spare bytes.
const u32 LOG_BUF_SIZE = 4096;
// Debug trace buffer: a trace line may use all but the zero and one spare byte.
const u32 TRACE_BUF_SIZE = 1024;
const u32 TRACE_LINE_MAX = 1022;
// Defaults after construction and after Clean: 4 MiB per file, 32 files kept.
const u32 LOG_DEF_MAX_SIZE = 0x400000;
const u32 LOG_DEF_MAX_COUNT = 32;
// A size limit below one full line would rotate on every line.
const u32 LOG_MIN_MAX_SIZE = 4095;
const char* const TRACE_PATH = "/var/quarlin.log";

u32 FormatNow(char* lpszOut, u32 uSize, u32* puMilli)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t t = tv.tv_sec;
    struct tm tmNow;
    localtime_r(&t, &tmNow);
    if (puMilli)
        *puMilli = (u32)(tv.tv_usec / 1000);
    int n = snprintf(lpszOut, uSize, "%04u-%02u-%02u,%02u:%02u:%02u", (u32)tmNow.tm_year + 1900,
                     (u32)tmNow.tm_mon + 1, (u32)tmNow.tm_mday, (u32)tmNow.tm_hour, (u32)tmNow.tm_min,
                     (u32)tmNow.tm_sec);
    return n < 0 ? 0 : (u32)n;
}

class LogLock
{
public:
    explicit LogLock(pthread_mutex_t* pMutex) : m_pMutex(pMutex) { pthread_mutex_lock(m_pMutex); }
    ~LogLock() { pthread_mutex_unlock(m_pMutex); }
    LogLock(const LogLock&) = delete;
    LogLock& operator=(const LogLock&) = delete;

private:
    pthread_mutex_t* m_pMutex;
};

bool IsDefaultDir(const char* lpszDir)
{
    return lpszDir == nullptr || lpszDir[0] == 0 || strchr(lpszDir, '*') != nullptr;
}

// True for the names the log gives its own files: <prefix>_YYYYMMDD_HHMMSS.log. Pruning must
// never touch other files that merely share the prefix.
bool IsLogFileName(const char* lpszName, const QV_STRING& strPrefix)
{
    static const char szShape[] = "_dddddddd_dddddd.log";
    const size_t uShape = sizeof(szShape) - 1;
    if (strlen(lpszName) != strPrefix.length() + uShape ||
        strncmp(lpszName, strPrefix.c_str(), strPrefix.length()) != 0)
        return false;
    for (size_t i = 0; i < uShape; i++)
    {
        char c = lpszName[strPrefix.length() + i];
        if (szShape[i] == 'd' ? (c < '0' || c > '9') : c != szShape[i])
            return false;
    }
    return true;
}

}  // namespace

CQVLog::CQVLog()
    : m_uInit(0), m_pFile(nullptr), m_uLevelMask(0xFFFF), m_uMaxSize(LOG_DEF_MAX_SIZE),
      m_uMaxCount(LOG_DEF_MAX_COUNT), m_lpszLine(nullptr), m_strPrefix("qv"), m_uReopen(0), m_uFlushLine(1),
      m_uUnflushed(0), m_uSinkCount(0), m_uSinkMask(0)
{
    pthread_mutex_init(&m_Mutex, nullptr);
    memset(m_pfnHook, 0, sizeof(m_pfnHook));
    memset(m_Sink, 0, sizeof(m_Sink));
}

// The mutex is left alive on purpose: threads still running at process exit may log after the
// destructor, and must then find an uninitialised log rather than a destroyed mutex.
CQVLog::~CQVLog()
{
    Clean();
}

void CQVLog::ApplyLimits(u32 uLevelMask, u32 uMaxSize, u32 uMaxCount)
{
    m_uLevelMask = uLevelMask;
    if (uMaxSize > LOG_MIN_MAX_SIZE)
        m_uMaxSize = uMaxSize;
    if (uMaxCount != 0)
        m_uMaxCount = uMaxCount;
}

void CQVLog::CleanLocked()
{
    m_uInit = 0;
    if (m_pFile)
    {
        fclose(m_pFile);
        m_pFile = nullptr;
    }
    m_uLevelMask = 0;
    m_uMaxSize = LOG_DEF_MAX_SIZE;
    m_uMaxCount = LOG_DEF_MAX_COUNT;
    delete[] m_lpszLine;
    m_lpszLine = nullptr;
    m_strPrefix.assign("qv");
    m_strDir.clear();
    m_InitCfg.strDir.clear();
    m_InitCfg.strPrefix.clear();
    m_uReopen = 0;
    m_uUnflushed = 0;
    memset(m_pfnHook, 0, sizeof(m_pfnHook));
    memset(m_Sink, 0, sizeof(m_Sink));
    m_uSinkCount = 0;
    m_uSinkMask = 0;
}

void CQVLog::Clean()
{
    pthread_mutex_lock(&m_Mutex);
    CleanLocked();
    pthread_mutex_unlock(&m_Mutex);
}

u32 CQVLog::Initialize(u32 uLevelMask, const char* lpszDir, const char* lpszPrefix, u32 uMaxSize, u32 uMaxCount)
{
    const char* lpszGivenDir = lpszDir ? lpszDir : "";
    const char* lpszGivenPrefix = lpszPrefix ? lpszPrefix : "";
    if (strlen(lpszGivenPrefix) > LOG_PREFIX_MAX)
        return 0;
    // The default directory is resolved before the lock is taken: the sandbox reports its own
    // failures through this log.
    char szDir[4096] = "";
    if (IsDefaultDir(lpszDir))
    {
        if (!qvSandboxGetSub("Log", szDir, sizeof(szDir), 1))
            szDir[0] = 0;
    }
    else if (strlen(lpszGivenDir) >= sizeof(szDir))
        return 0;
    else
        strcpy(szDir, lpszGivenDir);

    LogLock lock(&m_Mutex);
    if (m_uInit)
    {
        if (m_InitCfg.strDir == lpszGivenDir && m_InitCfg.strPrefix == lpszGivenPrefix)
        {
            ApplyLimits(uLevelMask, uMaxSize, uMaxCount);
            return 1;
        }
        CleanLocked();
    }
    m_lpszLine = new (std::nothrow) char[LOG_BUF_SIZE];
    if (!m_lpszLine || !m_strDir.assign(szDir) || (lpszGivenPrefix[0] && !m_strPrefix.assign(lpszGivenPrefix)) ||
        !m_InitCfg.strDir.assign(m_strDir.c_str()) || !m_InitCfg.strPrefix.assign(m_strPrefix.c_str()))
    {
        CleanLocked();
        return 0;
    }
    ApplyLimits(uLevelMask, uMaxSize, uMaxCount);
    if (m_uLevelMask != 0 && !m_strDir.empty())
        qvDirCreate(m_strDir.c_str());
    m_uReopen = 0;
    m_pFile = nullptr;
    m_uInit = 1;
    return 1;
}

u32 CQVLog::Set(u32 uLevelMask, const char* lpszDir, const char* lpszPrefix, u32 uMaxSize, u32 uMaxCount)
{
    if (lpszPrefix && strlen(lpszPrefix) > LOG_PREFIX_MAX)
        return 0;
    LogLock lock(&m_Mutex);
    if (!IsDefaultDir(lpszDir) && !m_strDir.assign(lpszDir))
        return 0;
    if (lpszPrefix && lpszPrefix[0] && !m_strPrefix.assign(lpszPrefix))
        return 0;
    ApplyLimits(uLevelMask, uMaxSize, uMaxCount);
    if (m_uLevelMask != 0 && !m_strDir.empty())
        qvDirCreate(m_strDir.c_str());
    if (m_strDir != m_InitCfg.strDir.c_str() || m_strPrefix != m_InitCfg.strPrefix.c_str())
    {
        if (!m_InitCfg.strDir.assign(m_strDir.c_str()) || !m_InitCfg.strPrefix.assign(m_strPrefix.c_str()))
            return 0;
        m_uReopen = 1;
    }
    return 1;
}

u32 CQVLog::Ext(QV_LOG_HOOK pfnHook)
{
    if (!pfnHook)
        return 0;
    u32 uResult = 0;
    pthread_mutex_lock(&m_Mutex);
    if (m_uInit)
    {
        for (u32 i = 0; i < LOG_HOOK_MAX; i++)
        {
            if (m_pfnHook[i] == pfnHook)
            {
                uResult = 1;
                break;
            }
            if (!m_pfnHook[i])
            {
                m_pfnHook[i] = pfnHook;
                uResult = 1;
                break;
            }
        }
    }
    pthread_mutex_unlock(&m_Mutex);
    return uResult;
}

void CQVLog::OpenFile()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t t = tv.tv_sec;
    struct tm tmNow;
    localtime_r(&t, &tmNow);
    char szName[64];
    snprintf(szName, sizeof(szName), "_%04d%02d%02d_%02d%02d%02d.log", tmNow.tm_year + 1900, tmNow.tm_mon + 1,
             tmNow.tm_mday, tmNow.tm_hour, tmNow.tm_min, tmNow.tm_sec);
    QV_STRING strPath = m_strDir + "/";
    strPath += m_strPrefix;
    strPath += szName;
    CQVAutoString name(strPath.c_str(), QV_CHARSET_UTF8, 0);
    m_pFile = fopen(name.GetStr(QV_CHARSET_SYS), "ab");
    if (m_pFile)
        Prune();
}

void CQVLog::Prune()
{
    void* hDir = qvDirOpen(m_strDir.c_str());
    if (!hDir)
        return;
    std::vector<std::string> vecNames;
    char szName[256];
    u32 uIsFile = 0;
    while (qvDirRead(hDir, &uIsFile, nullptr, szName, sizeof(szName), nullptr, 0))
    {
        if (uIsFile && IsLogFileName(szName, m_strPrefix))
            vecNames.push_back(szName);
    }
    qvDirClose(hDir);
    if (vecNames.size() <= m_uMaxCount)
        return;
    // The date-time names sort the newest first.
    std::sort(vecNames.begin(), vecNames.end(), std::greater<std::string>());
    for (size_t i = m_uMaxCount; i < vecNames.size(); i++)
    {
        QV_STRING strPath = m_strDir + "/";
        strPath += vecNames[i].c_str();
        qvFileDelete(strPath.c_str());
    }
}

void CQVLog::WriteFile(const char* lpszLine, u32 uLen)
{
    if (m_uReopen)
    {
        m_uReopen = 0;
        if (m_pFile)
        {
            fclose(m_pFile);
            m_pFile = nullptr;
        }
    }
    if (m_strDir.empty())
        return;
    if (!m_pFile)
    {
        OpenFile();
        if (!m_pFile)
            return;
    }
    if (fwrite(lpszLine, 1, uLen, m_pFile) != uLen)
    {
        fclose(m_pFile);
        m_pFile = nullptr;
        return;
    }
    if (m_uFlushLine)
        fflush(m_pFile);
    else
        m_uUnflushed = 1;
    long lPos = ftell(m_pFile);
    if (lPos < 0 || (u64)lPos >= m_uMaxSize)
    {
        fclose(m_pFile);
        m_pFile = nullptr;
        m_uUnflushed = 0;
    }
}

u32 CQVLog::Out(u32 uLevel, const char* lpszFormat, va_list args)
{
    LogLock lock(&m_Mutex);
    if (!m_uInit)
        return 0;
    u32 uBit = 1u << (uLevel % 32);
    if (!(m_uLevelMask & uBit) && !(m_uSinkMask & uBit))
        return 0;
    u32 uHead = FormatNow(m_lpszLine, LOG_BUF_SIZE, nullptr);
    memcpy(m_lpszLine + uHead, ": ", 3);
    uHead += 2;
    // Room left for the text so that text plus CR LF stays within the line limit.
    u32 uRoom = LOG_LINE_MAX - 2 - uHead;
    int n = lpszFormat ? vsnprintf(m_lpszLine + uHead, LOG_BUF_SIZE - uHead, lpszFormat, args) : 0;
    if (n <= 0 || (u32)n > uRoom)
        return 1;
    u32 uLen = uHead + (u32)n;
    memcpy(m_lpszLine + uLen, "\r\n", 3);
    uLen += 2;
    try
    {
        WriteFile(m_lpszLine, uLen);
    }
    catch (...)
    {
        // Out of memory while naming or pruning files: the line still reaches hooks and sinks.
    }
    for (u32 i = 0; i < LOG_HOOK_MAX && m_pfnHook[i]; i++)
        m_pfnHook[i](uLevel, m_lpszLine);
    for (u32 i = 0; i < m_uSinkCount; i++)
        m_Sink[i].pSink->LogPrint(uLevel, m_lpszLine);
    return 1;
}

void CQVLog::Flush()
{
    pthread_mutex_lock(&m_Mutex);
    if (!m_uFlushLine && m_uUnflushed && m_pFile)
    {
        fflush(m_pFile);
        m_uUnflushed = 0;
    }
    pthread_mutex_unlock(&m_Mutex);
}

void CQVLog::UpdateSinkMask()
{
    m_uSinkMask = 0;
    for (u32 i = 0; i < m_uSinkCount; i++)
        m_uSinkMask |= m_Sink[i].uMask;
}

void CQVLog::SetProcCallback(CQVLogProc* pSink, u32 uAdd)
{
    if (!pSink)
        return;
    pthread_mutex_lock(&m_Mutex);
    u32 uIdx = 0;
    while (uIdx < m_uSinkCount && m_Sink[uIdx].pSink != pSink)
        uIdx++;
    if (uAdd)
    {
        if (uIdx == m_uSinkCount && m_uSinkCount < LOG_SINK_MAX)
        {
            m_Sink[m_uSinkCount].pSink = pSink;
            m_Sink[m_uSinkCount].uMask = 0;
            m_uSinkCount++;
        }
    }
    else if (uIdx < m_uSinkCount)
    {
        for (u32 i = uIdx + 1; i < m_uSinkCount; i++)
            m_Sink[i - 1] = m_Sink[i];
        m_uSinkCount--;
        m_Sink[m_uSinkCount].pSink = nullptr;
        m_Sink[m_uSinkCount].uMask = 0;
        UpdateSinkMask();
    }
    pthread_mutex_unlock(&m_Mutex);
}

void CQVLog::SetProcLevelMask(CQVLogProc* pSink, u32 uMask)
{
    pthread_mutex_lock(&m_Mutex);
    for (u32 i = 0; i < m_uSinkCount; i++)
    {
        if (m_Sink[i].pSink == pSink)
        {
            m_Sink[i].uMask = uMask;
            UpdateSinkMask();
            break;
        }
    }
    pthread_mutex_unlock(&m_Mutex);
}

u32 CQVLog::GetPath(char* lpszOut, u32 uSize)
{
    u32 uResult = 0;
    pthread_mutex_lock(&m_Mutex);
    if (lpszOut && m_strDir.length() + 1 <= uSize)
    {
        memcpy(lpszOut, m_strDir.c_str(), m_strDir.length() + 1);
        uResult = 1;
    }
    pthread_mutex_unlock(&m_Mutex);
    return uResult;
}

void CQVLog::SetFlush(u32 uPerLine)
{
    m_uFlushLine = uPerLine;
}

CQVLog* qvGetLog()
{
    static CQVLog s_Log;
    return &s_Log;
}

u32 qvLogInit(u32 uLevelMask, const char* lpszDir, const char* lpszPrefix, u32 uMaxSize, u32 uMaxCount)
{
    return qvGetLog()->Initialize(uLevelMask, lpszDir, lpszPrefix, uMaxSize, uMaxCount);
}

u32 qvLogSet(u32 uLevelMask, const char* lpszDir, const char* lpszPrefix, u32 uMaxSize, u32 uMaxCount)
{
    return qvGetLog()->Set(uLevelMask, lpszDir, lpszPrefix, uMaxSize, uMaxCount);
}

u32 qvLogExt(QV_LOG_HOOK pfnHook)
{
    return qvGetLog()->Ext(pfnHook);
}

u32 qvLogOut(u32 uLevel, const char* lpszFormat, ...)
{
    va_list args;
    va_start(args, lpszFormat);
    u32 uResult = qvGetLog()->Out(uLevel, lpszFormat, args);
    va_end(args);
    return uResult;
}

void qvLogFlush()
{
    qvGetLog()->Flush();
}

namespace
{
// The trace file is shared by every thread; its lock keeps one thread from writing to a file
// that another thread is closing after a failed write.
struct QV_TRACE_S
{
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<u32> uOn{0};
    FILE* pFile = nullptr;

    ~QV_TRACE_S()
    {
        pthread_mutex_lock(&mutex);
        uOn = 0;
        if (pFile)
            fclose(pFile);
        pFile = nullptr;
        pthread_mutex_unlock(&mutex);
    }
};

QV_TRACE_S& Trace()
{
    static QV_TRACE_S s_Trace;
    return s_Trace;
}
}  // namespace

void qvPrintfEnable(u32 uOn)
{
    Trace().uOn = uOn ? 1 : 0;
}

void qvPrintf(const char* lpszFormat, ...)
{
    QV_TRACE_S& trace = Trace();
    if (!trace.uOn || !lpszFormat)
        return;
    char szLine[TRACE_BUF_SIZE];
    u32 uMilli = 0;
    u32 uHead = FormatNow(szLine, sizeof(szLine), &uMilli);
    int n = snprintf(szLine + uHead, sizeof(szLine) - uHead, ".%u: ", uMilli);
    if (n < 0)
        return;
    uHead += (u32)n;
    va_list args;
    va_start(args, lpszFormat);
    n = vsnprintf(szLine + uHead, sizeof(szLine) - uHead, lpszFormat, args);
    va_end(args);
    if (n <= 0 || uHead + (u32)n + 2 > TRACE_LINE_MAX)
        return;
    u32 uLen = uHead + (u32)n;
    memcpy(szLine + uLen, "\r\n", 3);
    uLen += 2;

    pthread_mutex_lock(&trace.mutex);
    if (!trace.pFile)
        trace.pFile = fopen(TRACE_PATH, "w");
    if (trace.pFile)
    {
        if (fwrite(szLine, 1, uLen, trace.pFile) != uLen || fflush(trace.pFile) != 0)
        {
            fclose(trace.pFile);
            trace.pFile = nullptr;
        }
    }
    pthread_mutex_unlock(&trace.mutex);
}
