// The tunnel module thread, its start and stop, and the API lock.
#include "doZirizaModule.h"

#include "doZirizaNode.h"
#include "qvLog.h"
#include "qvSandbox.h"
#include "qvSocketUti.h"
#include "qvUtilize.h"

CDOZirizaModule& doZirizaModule()
{
    // Lives for the whole process and is never destroyed: a tunnel thread left running by a
    // host that exits without doZirizaStop must not find it gone.
    static CDOZirizaModule* s_pModule = new CDOZirizaModule();
    return *s_pModule;
}

CDOZirizaModule::CDOZirizaModule()
    : m_lpContext(nullptr), m_lpfnLog(nullptr), m_uStarted(0), m_iInitError(0), m_uBusy(0), m_uStopping(0)
{
    SetTag("TunnelModule");
}

CDOZirizaModule::~CDOZirizaModule() {}

int CDOZirizaModule::Start(const char* lpszCfgPath, const char* lpszSysInfo, void* lpContext, TfnTunnelLogOut lpfnLog)
{
    if (m_uStarted)
        return QV_TUNNEL_ERROR_OK;
    m_strCfgPath = lpszCfgPath ? lpszCfgPath : "";
    m_strSysInfo = lpszSysInfo ? lpszSysInfo : "";
    m_lpContext = lpContext;
    m_lpfnLog = lpfnLog;
    m_iInitError = 0;
    // A thread that ended on its own (the "exit" request) is collected before a new one starts.
    if (IsStarted())
        WaitForTermination();
    m_EventStart.Reset();
    if (!m_EventStart.IsValid() || !CQVThread::Start(50, 0))
    {
        Stop();
        return QV_TUNNEL_ERROR_SYSTEM;
    }
    m_EventStart.Wait();
    int iError = m_iInitError;
    if (iError == 0)
    {
        m_uStarted = 1;
        return QV_TUNNEL_ERROR_OK;
    }
    Stop();
    return iError;
}

void CDOZirizaModule::Stop()
{
    if (m_uStarted.exchange(0))
        m_Tunnel.Exit();
    if (IsStarted())
        WaitForTermination();
    m_strCfgPath.clear();
    m_strSysInfo.clear();
    m_lpContext = nullptr;
    m_lpfnLog = nullptr;
    m_iInitError = 0;
}

u32 CDOZirizaModule::LibInit()
{
    doZirizaLogSinkSet(m_lpfnLog);
    QV_STRING strHome;
    QV_STRING strLog;
    if (!doZirizaHomeDir(m_strCfgPath.c_str(), strHome) || !qvSandboxSetRoot(strHome.c_str()) ||
        !doZirizaLogDir(strLog))
        return 0;
    if (!qvLogInit(0xFFFF, strLog.c_str(), "tunnel", 0, 0))
    {
        dprintf_level(0, "doZirizaInit:Init log module failed, LogDir=%s", strLog.c_str());
        return 0;
    }
    if (m_lpfnLog != nullptr && !qvLogExt(m_lpfnLog))
    {
        dprintf_level(0, "doZirizaInit: Set extend log output failed!");
        return 0;
    }
    doZirizaLogReadySet(1);
    if (!qvSocketInit(0, nullptr))
    {
        dprintf_level(0, "doZirizaInit: socket init failed");
        return 0;
    }
    dprintf_level(1, "doZirizaInit: succcess");
    return 1;
}

void CDOZirizaModule::Proc()
{
    void* lpContext = m_lpContext;
    doZirizaContextNotify(lpContext, 0, 0);
    if (!LibInit())
    {
        m_iInitError = QV_TUNNEL_ERROR_SYSTEM;
        m_EventStart.Signal();
    }
    else if (!m_Tunnel.Initialize(m_strCfgPath.c_str(), m_strSysInfo.c_str(), lpContext, m_lpfnLog))
    {
        int iError = m_Tunnel.GetInitError();
        m_iInitError = iError != 0 ? iError : QV_TUNNEL_ERROR_SYSTEM;
        m_EventStart.Signal();
    }
    else
    {
        m_EventStart.Signal();
        m_Tunnel.MainProc();
        m_Tunnel.Clean();
        // The tunnel may have ended on its own: a later doZirizaStart then starts it again.
        m_uStarted = 0;
        if (TfnTunnelEventProc lpfnEvent = doZirizaEventCallbackGet())
            lpfnEvent(0, "");
    }
    doZirizaContextNotify(lpContext, 1, 0);
}

int CDOZirizaModule::ApiLock(u32 uKind)
{
    for (;;)
    {
        if (!m_SectInner.Lock())
            return QV_TUNNEL_ERROR_SYSTEM;
        if (uKind != LOCK_WAIT && m_uStopping)
        {
            m_SectInner.Unlock();
            return QV_TUNNEL_ERROR_BADSTATUS;
        }
        if (uKind != LOCK_CALL && m_uBusy)
        {
            m_SectInner.Unlock();
            qvSleep(uKind == LOCK_STOP ? 5 : 10);
            continue;
        }
        if (!m_SectApi.Lock())
        {
            m_SectInner.Unlock();
            return QV_TUNNEL_ERROR_SYSTEM;
        }
        if (uKind == LOCK_STOP)
            m_uStopping = 1;
        m_uBusy = 1;
        m_SectInner.Unlock();
        return QV_TUNNEL_ERROR_OK;
    }
}

void CDOZirizaModule::ApiUnlock()
{
    m_uBusy = 0;
    m_uStopping = 0;
    m_SectApi.Unlock();
}
