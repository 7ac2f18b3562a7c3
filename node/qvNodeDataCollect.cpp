#include "qvNodeDataCollect.h"

CQVDataCollectClt::CQVDataCollectClt()
    : m_uInit(0), m_uEnable(1), m_lpContext(nullptr), m_uNow(0), m_uLastSend(0), m_uWork(0)
{
}

CQVDataCollectClt::~CQVDataCollectClt()
{
    Clean();
}

u32 CQVDataCollectClt::Initialize(void* lpContext)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (m_uInit)
        return 0;
    m_lpContext = lpContext;
    m_uNow = 0;
    m_uLastSend = 0;
    m_uWork = 0;
    m_uInit = 1;
    return 1;
}

void CQVDataCollectClt::Clean()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_uInit = 0;
    m_lpContext = nullptr;
    m_uWork = 0;
    m_uLastSend = 0;
}

void CQVDataCollectClt::SecondProc(u32 uNow)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (!m_uInit)
        return;
    m_uNow = uNow;
    // A finished exchange keeps its socket for 14 seconds for late replies; with no sessions
    // there is never a socket to close, only the stamp to forget.
    if (m_uLastSend && m_uNow - m_uLastSend > 14)
        m_uLastSend = 0;
}
