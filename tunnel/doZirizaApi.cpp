// The flat interface of the tunnel library: every function holds the module's API lock for its
// whole duration; six act here, the others are answered by the tunnel thread through the call
// bridge.
#include "doZirizaModule.h"
#include "qvLibTunnel.h"
#include "qvLog.h"
#include "qvSandbox.h"
#include "qvSysNet.h"
#include "qvSysUti.h"

namespace {

// Holds the API lock of one flat call.
class CApiLock
{
public:
    explicit CApiLock(u32 uKind) : m_iError(doZirizaModule().ApiLock(uKind)) {}
    ~CApiLock()
    {
        if (m_iError == QV_TUNNEL_ERROR_OK)
            doZirizaModule().ApiUnlock();
    }
    int Error() const { return m_iError; }

private:
    int m_iError;
};

CDOZirizaHttpCall* Bridge()
{
    return doZirizaModule().GetTunnel()->GetHttpCall();
}

}  // namespace

extern "C" {

void doZirizaCallbackSet(TfnTunnelEventProc lpfnEvent)
{
    CApiLock lock(CDOZirizaModule::LOCK_WAIT);
    if (lock.Error() == QV_TUNNEL_ERROR_OK)
        doZirizaEventCallbackSet(lpfnEvent);
}

int doZirizaSetCfgParam(const char* lpszCfg)
{
    CApiLock lock(CDOZirizaModule::LOCK_WAIT);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return doZirizaStatic().SetCfgParam(lpszCfg);
}

int doZirizaStart(const char* lpszCfgPath, const char* lpszSysInfo, void* lpContext, TfnTunnelLogOut lpfnLog)
{
    CApiLock lock(CDOZirizaModule::LOCK_WAIT);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return doZirizaModule().Start(lpszCfgPath, lpszSysInfo, lpContext, lpfnLog);
}

void doZirizaStop(void)
{
    CApiLock lock(CDOZirizaModule::LOCK_STOP);
    if (lock.Error() == QV_TUNNEL_ERROR_OK)
        doZirizaModule().Stop();
}

int doZirizaSysInfo(const char* lpszCfgPath, char* lpszOut, unsigned int uOutSize)
{
    CApiLock lock(CDOZirizaModule::LOCK_WAIT);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    QV_STRING strHome;
    // A failed lookup leaves the text empty, which resets the root to its default.
    if (!doZirizaHomeDir(lpszCfgPath, strHome))
        strHome.clear();
    qvSandboxSetRoot(strHome.c_str());
    char szRoot[DOZIRIZA_PATH_MAX + 1];
    if (strHome.empty() && qvSandboxGetRoot(szRoot, sizeof(szRoot)))
        strHome = szRoot;
    QV_STRING strLog;
    if (doZirizaLogDir(strLog))
        qvLogInit(255, strLog.c_str(), "tunnel", 0, 0);
    if (lpszOut == nullptr || uOutSize == 0 || !CQVSysUti::GetSysInfo(strHome.c_str(), lpszOut, uOutSize))
        return QV_TUNNEL_ERROR_NOIMP;
    return QV_TUNNEL_ERROR_OK;
}

int doZirizaSetNetCard(const char* lpszCard)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    IQVSysNet* pSysNet = qvGetSysNet();
    if (pSysNet == nullptr)
        return QV_TUNNEL_ERROR_SYSTEM;
    return pSysNet->DefNetCardSet(lpszCard ? lpszCard : "") ? QV_TUNNEL_ERROR_OK : QV_TUNNEL_ERROR_BADPARAM;
}

int doZirizaVersionGet(QV_TUNNEL_VERSION_S* lpVersion)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->VersionGet(lpVersion);
}

int doZirizaStatusGet(unsigned int uItem, QV_TUNNEL_STATUS_S* lpStatus)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->StatusGet(uItem, lpStatus);
}

int doZirizaDomainSet(const char* lpszPasscode)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->DomainSet(lpszPasscode);
}

int doZirizaDomainGet(QV_TUNNEL_DOMAIN_S* lpDomain)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->DomainGet(lpDomain);
}

int doZirizaCommentSet(const char* lpszComment)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->CommentSet(lpszComment);
}

int doZirizaCommentGet(QV_TUNNEL_COMMENT_S* lpComment)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->CommentGet(lpComment);
}

int doZirizaTunnelSet(const char* lpszPasscode, const char* lpszComment)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->TunnelSet(lpszPasscode, lpszComment);
}

int doZirizaPeerInfoGet(const char* lpszPeerID, QV_TUNNEL_PEER_INFO_S* lpInfo)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->PeerInfoGet(lpszPeerID, lpInfo);
}

int doZirizaConnectAdd(const char* lpszSession, const char* lpszPeerID, unsigned int uType, unsigned int uEncrypt,
                       const char* lpszListenAddr, const char* lpszClientAddr, QV_TUNNEL_CLIENT_ADDR_S* lpClientAddr)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->ConnectAdd(lpszSession, lpszPeerID, uType, uEncrypt, lpszListenAddr, lpszClientAddr, lpClientAddr);
}

int doZirizaConnectDelete(const char* lpszSession, const char* lpszPeerID, unsigned int uType, unsigned int uEncrypt,
                          const char* lpszListenAddr, const char* lpszClientAddr)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->ConnectDelete(lpszSession, lpszPeerID, uType, uEncrypt, lpszListenAddr, lpszClientAddr);
}

int doZirizaConnectQuery(const char* lpszPeerID, unsigned int uType, unsigned int uEncrypt, const char* lpszListenAddr,
                         QV_TUNNEL_CLIENT_ADDR_S* lpClientAddr)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->ConnectQuery(lpszPeerID, uType, uEncrypt, lpszListenAddr, lpClientAddr);
}

int doZirizaConnectLocalDelete(const char* lpszSession, const char* lpszClientAddr)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->ConnectLocalDelete(lpszSession, lpszClientAddr);
}

int doZirizaConnectLocalQuery(const char* lpszClientAddr, QV_TUNNEL_CONNECT_INFO_S* lpInfo)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->ConnectLocalQuery(lpszClientAddr, lpInfo);
}

int doZirizaUserExtend(const char* lpszRequest, QV_TUNNEL_DATA_S* lpData, unsigned int uTimeoutMs)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->UserExtend(lpszRequest, lpData, uTimeoutMs);
}

int doZirizaPushGet(QV_TUNNEL_DATA_S* lpData, unsigned int uTimeoutMs)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->PushGet(lpData, uTimeoutMs);
}

int doZirizaSelfGet(QV_TUNNEL_SELF_S* lpSelf)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->SelfGet(lpSelf);
}

int doZirizaConnectEnum(unsigned int uIndex, QV_TUNNEL_CONNECT_INFO_S* lpInfo)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->ConnectEnum(uIndex, lpInfo);
}

int doZirizaControl(unsigned int uCtrl, const char* lpszParam)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->Control(uCtrl, lpszParam);
}

int doZirizaChannelSet(const char* lpszPeerID, unsigned int uType, const char* lpszParam)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->ChannelSet(lpszPeerID, uType, lpszParam);
}

int doZirizaPeerFwdCfg(int iSpeed, int iGate, int iUse, int iMaxSess, const char* lpszOption)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->PeerFwdCfg(iSpeed, iGate, iUse, iMaxSess, lpszOption);
}

int doZirizaPeerAuthSet(const char* lpszPeerID, const char* lpszInfo)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->PeerAuthSet(lpszPeerID, lpszInfo);
}

int doZirizaPeerAuthReply(const char* lpszHandle, unsigned int uErrCode, const char* lpszParam)
{
    CApiLock lock(CDOZirizaModule::LOCK_CALL);
    if (lock.Error() != QV_TUNNEL_ERROR_OK)
        return lock.Error();
    return Bridge()->PeerAuthReply(lpszHandle, uErrCode, lpszParam);
}

}  // extern "C"
