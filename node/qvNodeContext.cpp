// Process-wide context hooks of the library (a host may register up to four), the parameter
// callback the runtime reaches through its hook, and the active-trace items the layers report
// into (kept as calls; they record nothing).
#include <mutex>

#include "qvNodeDef.h"

namespace {

std::mutex g_ContextMutex;
IQVContextProc* g_lpContextProc[4] = {nullptr, nullptr, nullptr, nullptr};
QV_PARAM_CALLBACK_FN g_lpfnParam = nullptr;

// A copy of the table taken under the mutex: hooks are called without it held.
void ContextProcs(IQVContextProc* lpOut[4])
{
    std::lock_guard<std::mutex> lk(g_ContextMutex);
    for (u32 i = 0; i < 4; i++)
        lpOut[i] = g_lpContextProc[i];
}

}  // namespace

int qvContextNotify(void* lpContext, u32 uEvent, u32 uParam)
{
    IQVContextProc* p[4];
    ContextProcs(p);
    for (u32 i = 0; i < 4; i++)
        if (p[i])
            if (int r = p[i]->OnNotify(lpContext, uEvent, uParam))
                return r;
    return 0;
}

int qvContextSetParam(void* lpContext, u32 uItem, u32 uValue)
{
    IQVContextProc* p[4];
    ContextProcs(p);
    for (u32 i = 0; i < 4; i++)
        if (p[i])
            if (int r = p[i]->OnSetParam(lpContext, uItem, uValue))
                return r;
    return 0;
}

int qvContextGetParam(void* lpContext, u32 uItem, u32* lpuValue)
{
    IQVContextProc* p[4];
    ContextProcs(p);
    for (u32 i = 0; i < 4; i++)
        if (p[i])
            if (int r = p[i]->OnGetParam(lpContext, uItem, lpuValue))
                return r;
    return 0;
}

u32 qvContextSetProc(IQVContextProc* lpProc)
{
    return qvContextSetProc2(lpProc, 0);
}

u32 qvContextSetProc2(IQVContextProc* lpProc, u32 uIndex)
{
    if (uIndex > 3)
        return 0;
    std::lock_guard<std::mutex> lk(g_ContextMutex);
    if (!lpProc) {
        g_lpContextProc[uIndex] = nullptr;
        return 1;
    }
    if (g_lpContextProc[uIndex])
        return 0;
    g_lpContextProc[uIndex] = lpProc;
    return 1;
}

void qvParamCallbackSet(QV_PARAM_CALLBACK_FN lpfn)
{
    std::lock_guard<std::mutex> lk(g_ContextMutex);
    g_lpfnParam = lpfn;
}

int qvParamCallbackProc(u32 uA, void* lpP, u32 uB)
{
    QV_PARAM_CALLBACK_FN fn;
    {
        std::lock_guard<std::mutex> lk(g_ContextMutex);
        fn = g_lpfnParam;
    }
    return fn ? fn(uA, lpP, uB) : -1;
}

u32 qvActiveTraceItemSet(void*, u32, u32, const char*, u32)
{
    return 1;
}

u32 qvActiveTraceItemFresh(void*, u32)
{
    return 1;
}
