// The tunnel module: the one tunnel thread of the process, its start handshake that carries the
// initialisation result back to doZirizaStart, and the API lock that serialises the flat
// interface.
#pragma once

#include <atomic>

#include "doZiriza.h"
#include "qvLibTunnel.h"
#include "qvString.h"
#include "qvThread.h"
#include "qvType.h"

class CDOZirizaModule : public CQVThread
{
public:
    // Lock kinds: 0 waits while another call is inside, 1 fails with -6 during a stop, 2 is the
    // stop itself.
    enum { LOCK_WAIT = 0, LOCK_CALL = 1, LOCK_STOP = 2 };

    CDOZirizaModule();
    ~CDOZirizaModule() override;

    int Start(const char* lpszCfgPath, const char* lpszSysInfo, void* lpContext, TfnTunnelLogOut lpfnLog);
    void Stop();
    CDOZiriza* GetTunnel() { return &m_Tunnel; }
    u32 IsModuleStarted() const { return m_uStarted.load(); }

    int ApiLock(u32 uKind);
    void ApiUnlock();

    void Proc() override;

private:
    // Library start-up on the module thread: home directory, log, socket layer. 1/0.
    u32 LibInit();

    QV_STRING m_strCfgPath;
    QV_STRING m_strSysInfo;
    void* m_lpContext;
    TfnTunnelLogOut m_lpfnLog;
    CDOZiriza m_Tunnel;
    CQVEvent m_EventStart;
    std::atomic<u32> m_uStarted;
    std::atomic<int> m_iInitError;
    CQVCriticalSection m_SectApi;
    CQVCriticalSection m_SectInner;
    std::atomic<u32> m_uBusy;
    std::atomic<u32> m_uStopping;
};

// The process's tunnel module.
CDOZirizaModule& doZirizaModule();
