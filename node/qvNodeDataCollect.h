// The node's data-collection client. A host would switch it on through the data-collection
// functions; this build has none of them, so the client initialises with the node, counts its
// time and never has work: no socket is opened and nothing is sent.
#pragma once

#include <mutex>

#include "qvType.h"

class CQVDataCollectClt {
public:
    CQVDataCollectClt();
    ~CQVDataCollectClt();
    CQVDataCollectClt(const CQVDataCollectClt&) = delete;
    CQVDataCollectClt& operator=(const CQVDataCollectClt&) = delete;

    u32 Initialize(void* lpContext);
    void Clean();
    u32 IsEnabled() const { return m_uInit && m_uEnable; }
    // The node's one-second pass: stores the time and runs the work its bits ask for.
    void SecondProc(u32 uNow);
    u32 GetWork() const { return m_uWork; }

private:
    u32 m_uInit;
    u32 m_uEnable;
    void* m_lpContext;
    u32 m_uNow;
    u32 m_uLastSend;   // node second of the last send, 0 none
    u32 m_uWork;       // 0x1 send or receive work, 0x2 callback work
    std::mutex m_Mutex;
};
