// Library log (dated, size-rotated files plus hooks and sinks) and the developer debug trace.
#pragma once

#include <pthread.h>
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "qvString.h"
#include "qvType.h"

// Receiver of every library log line that passes a mask. The log never owns or frees a sink,
// so there is deliberately no virtual destructor.
class CQVLogProc
{
public:
    virtual void LogPrint(u32 uLevel, const char* lpszLine) = 0;

protected:
    ~CQVLogProc() = default;
};

typedef void (*QV_LOG_HOOK)(u32 uLevel, const char* lpszLine);

class CQVLog
{
public:
    CQVLog();
    virtual ~CQVLog();

    u32 Initialize(u32 uLevelMask, const char* lpszDir, const char* lpszPrefix, u32 uMaxSize, u32 uMaxCount);
    u32 Set(u32 uLevelMask, const char* lpszDir, const char* lpszPrefix, u32 uMaxSize, u32 uMaxCount);
    u32 Ext(QV_LOG_HOOK pfnHook);
    u32 Out(u32 uLevel, const char* lpszFormat, va_list args);
    void Flush();
    void Clean();

    void SetProcCallback(CQVLogProc* pSink, u32 uAdd);
    void SetProcLevelMask(CQVLogProc* pSink, u32 uMask);
    u32 GetPath(char* lpszOut, u32 uSize);
    void SetFlush(u32 uPerLine);

    // Largest line, CR LF included: the 4096-byte buffer keeps the zero and two bytes spare.
    static const u32 LOG_LINE_MAX = 4093;
    static const u32 LOG_HOOK_MAX = 8;
    static const u32 LOG_SINK_MAX = 16;
    static const u32 LOG_PREFIX_MAX = 64;

private:
    struct INIT_CFG_S
    {
        QV_STRING strDir;
        QV_STRING strPrefix;
    };
    struct SINK_S
    {
        CQVLogProc* pSink;
        u32 uMask;
    };

    void CleanLocked();
    void ApplyLimits(u32 uLevelMask, u32 uMaxSize, u32 uMaxCount);
    void WriteFile(const char* lpszLine, u32 uLen);
    void OpenFile();
    void Prune();
    void UpdateSinkMask();

    pthread_mutex_t m_Mutex;
    u32 m_uInit;
    FILE* m_pFile;
    u32 m_uLevelMask;
    u32 m_uMaxSize;
    u32 m_uMaxCount;
    char* m_lpszLine;
    QV_STRING m_strDir;
    QV_STRING m_strPrefix;
    QV_LOG_HOOK m_pfnHook[LOG_HOOK_MAX];
    INIT_CFG_S m_InitCfg;
    u32 m_uReopen;
    std::atomic<u32> m_uFlushLine;
    u32 m_uUnflushed;
    SINK_S m_Sink[LOG_SINK_MAX];
    u32 m_uSinkCount;
    u32 m_uSinkMask;
};

// Starts the log. A null, empty or "*" directory means "<root>/Log"; files are named
// "<dir>/<prefix>_YYYYMMDD_HHMMSS.log". uMaxSize (bytes) is taken only above 4095, uMaxCount
// (files kept) only when not 0. Called again with the same directory and prefix it only changes
// mask and limits; otherwise it cleans the log (hooks and sinks too) and starts anew. 1/0.
u32 qvLogInit(u32 uLevelMask, const char* lpszDir, const char* lpszPrefix, u32 uMaxSize, u32 uMaxCount);
// Changes the settings of a running log; a new directory or prefix starts a new file. 1/0.
u32 qvLogSet(u32 uLevelMask, const char* lpszDir, const char* lpszPrefix, u32 uMaxSize, u32 uMaxCount);
// Adds a hook that receives every written line (at most 8). 1 when installed or already there.
u32 qvLogExt(QV_LOG_HOOK pfnHook);
// One line of level uLevel (0 failures ... 3 fine detail): 1 when the level passed the log's
// or a sink's mask (even when the line was too long to write), else 0. Hooks and sinks are
// called under the log's lock and must not log themselves.
u32 qvLogOut(u32 uLevel, const char* lpszFormat, ...) __attribute__((format(printf, 2, 3)));
void qvLogFlush();
CQVLog* qvGetLog();

// Debug trace to "/var/quarlin.log", off until switched on.
void qvPrintfEnable(u32 uOn);
void qvPrintf(const char* lpszFormat, ...) __attribute__((format(printf, 1, 2)));
