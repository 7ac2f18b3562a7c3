// The tunnel's way into the node engine: creates and starts the node with the File class and the
// file and TCP extensions, wraps the node requests the tunnel uses, and turns the node's replies
// and requests (on its dispatch thread) into messages for the tunnel thread.
#pragma once

#include <atomic>

#include "qvNodeDef.h"
#include "qvString.h"
#include "qvTable.h"
#include "qvThread.h"
#include "qvType.h"

class CDOZiriza;
class CDOZirizaNode;
struct tagQV_RELAY_INFO_S;

// How the adapter makes the node and the objects it attaches to it. The default makes the real
// ones; tests of the tunnel alone put a scripted node in their place.
struct DOZIRIZA_NODE_FACTORY_S
{
    IQVNode* (*pfnNewNode)();
    IQVBase* (*pfnNewFileExt)();
    IQVBase* (*pfnNewFileClass)();
};

// The node's context hooks, told when a tunnel thread starts (0) and ends (1).
void doZirizaContextNotify(void* lpContext, u32 uEvent, u32 uParam);

class CDOZirizaNodeProc : public IQVNodeProc
{
public:
    CDOZirizaNodeProc() : m_pNode(nullptr) {}
    virtual ~CDOZirizaNodeProc() {}
    void Attach(CDOZirizaNode* pNode) { m_pNode = pNode; }
    void OnReply(u32 uObject, u32 uError, const void* lpData, u32 uSize, u32 uParam) override;
    int OnExtRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uHandle, u32 uPeer) override;

private:
    CDOZirizaNode* m_pNode;
};

class CDOZirizaNode
{
public:
    // Start parameters, in this order, from the tunnel configuration.
    struct INIT_CFG_S
    {
        u32 uFwdSpeed;
        u32 uFwdGate;
        u32 uFwdUse;
        u32 uFwdMaxSess;
        u32 uFwdStatEnable;
        u32 uFwdIntervalByte;
        u32 uFwdIntervalSecond;
        u32 uSessBufSize;
        u32 uP2PTryTime;
        u32 uP2PTryInterval;
        u32 uDigest;
        u32 uClientOnly;
        u32 uDnsUseIPv4;
        u32 uDnsUseIPv6;
        s32 iDnsRandom;  // negative: not set
        u32 uBatchReceive;
    };

    // Node methods the parameter entries remember.
    enum { KIND_GET_OPTION = 3, KIND_LOGIN = 32, KIND_CALL = 35, KIND_PEER_INFO = 38, KIND_LAN_SCAN = 42 };

    CDOZirizaNode();
    virtual ~CDOZirizaNode();
    CDOZirizaNode(const CDOZirizaNode&) = delete;
    CDOZirizaNode& operator=(const CDOZirizaNode&) = delete;

    static void SetFactory(const DOZIRIZA_NODE_FACTORY_S* lpFactory);
    static const DOZIRIZA_NODE_FACTORY_S& GetFactory();

    void Attach(CDOZiriza* pTunnel, IQVBase* pExtTcp);
    u32 Initialize(u32 uMaxSess, u32 uMaxTunnel, const char* lpszSvrName, const char* lpszSvrAddr,
                   const char* lpszCltAddr, const char* lpszClientInfo, const tagQV_RELAY_INFO_S* lpRelays,
                   u32 uRelayCount, const INIT_CFG_S& cfg);
    void Clean();
    void SetCurStamp(u32 uStamp) { m_uCurStamp = uStamp; }

    u32 Login(const char* lpszUser, const char* lpszPass, const char* lpszComment);
    void Logout();

    u32 PeerAdd(const char* lpszPeer, u32 uTimeout, u32 uChannel, u32 uMultiPath);
    u32 PeerStaticAdd(const char* lpszPeer, const char* lpszAddr);
    void PeerDelete(u32 uObj);
    u32 PeerNotify(u32 uPeer, const char* lpszName, const char* lpszData);
    int PeerCheck(u32 uPeer, u32 bSync);
    u32 PeerFresh(u32 uPeer, u32 uValue);
    u32 PeerCheckStatic(u32 uPeer);
    int PeerSetOption(u32 uPeer, u32 uTimeout, u32 uChannel, u32 uMultiPath);
    int PeerSetChannelMode(u32 uPeer, u32 uMode);
    u32 PeerSetFlag(u32 uPeer, u32 uFlag);
    u32 PeerSetReloginDelay(u32 uInterval, u32 uMax);
    u32 PeerSetPeerInfoDelay(u32 uDelay);
    u32 PeerAuthEnable(u32 uEnable);
    u32 PeerLanScanEnable(const char* lpszPeer, const char* lpszLabel);
    int PeerFwdCfg(int iSpeed, int iGate, int iUse, int iMaxSess);
    int PeerControl(u32 uAction, const char* lpszParam);
    int PeerSvrGetOption(u32 uItem);
    u32 PeerDigVerify(u32 uSelf, const char* lpszDigest, const char* lpszPeer);
    int PeerAuthSetInfo(u32 uPeer, const char* lpszInfo);
    int PeerAuthProcReply(u32 uErr, u32 uHandle, const char* lpszParam);
    u32 PeerCallReply(const char* lpszData, u32 uErr, u32 uHandle);
    int PeerCall(u32 uPeer, const char* lpszData, u32 uExtMeth, u32 uParam);
    int CallRequest(const char* lpszData, u32 uCallMeth, u32 uHttpSess);
    int PeerGetInfo(u32 uPeer, u32 uValue1, u32 uValue2);
    u32 PeerLanScan(const char* lpszPeerLan, u32 uTimeout);

    u32 FileAdd(const char* lpszName, u32 uGroup, u32 uFlag, u32 uTimeout);
    void FileDelete(u32 uObj);
    u32 FileOpen(u32 uObj, u32 bPut, const char* lpszPath, const char* lpszPath2, u32 uBlock, u64 ullSize, u32 uSess);
    u32 FileReply(u32 uObj, u32 uErr, const char* lpszText, u32 uBlock, u32 uHandle);
    void FileClose(u32 uObj);
    u32 FileSetBufSize(u32 uSize);

    u32 GetObjName(u32 uObj, char* lpszBuf, u32 uSize);
    u32 GetObjID(const char* lpszName);
    u32 ObjectSync(u32 uObj, u32 uPeer, u32 uStart);
    u32 ObjectEnum(u32 uAfter, u32 uClass);
    u32 ObjectSetGroup(u32 uObj, u32 uGroup);
    // The next busy parameter entry after *lpuIter (0 starts): 1 with its values 3, 1 and 2.
    u32 RequestEnum(u32* lpuValue3, u32* lpuValue1, u32* lpuValue2, u32* lpuIter);

    // Called by CDOZirizaNodeProc on the node's dispatch thread.
    u32 OnReply(u32 uObj, u32 uErrCode, const void* lpData, u32 uSize, u32 uParam);
    int OnExtRequest(u32 uObj, u32 uMethod, const void* lpData, u32 uSize, u32 uHandle, u32 uPeer);

    IQVNode* GetNode() const { return m_pNode; }
    u32 GetSelfObj() const { return m_uSelfObj; }
    u32 GetSvrObj() const { return m_uSvrObj; }
    u32 IsLoggedIn() const { return m_uLoggedIn; }
    u32 GetSockBufSize() const { return m_uSockBufSize; }
    u32 GetSvrBufSize() const { return m_uSvrBufSize; }
    const char* GetLoginUser() const { return m_strLoginUser.c_str(); }

    // Parameter entries: (index << 16) | cookie, 0 when none is free.
    u32 ParamAlloc(u32 uKind, u32 uValue1, u32 uValue2, u32 uValue3);
    void ParamFree(u32 uHandle);
    u32 ParamGetInfo(u32 uHandle, u32* lpuKind, u32* lpuValue1, u32* lpuValue2, u32* lpuValue3);
    u32 ParamEnum(u32 uHandle);
    u32 ParamCount() const { return m_uParamCount; }

    // Most sessions a node may be started with.
    static const u32 SESSION_MAX = 16384;
    // A parameter entry without reply is reclaimed once older than this many seconds.
    static const u32 PARAM_AGE_MAX = 119;
    static const u32 PARAM_MIN = 128;
    // Handles keep the entry index in 16 bits.
    static const u32 PARAM_MAX = 0xFFFF;
    // Sizes of the node request records.
    static const u32 OPTION_REC_SIZE = 260;
    static const u32 ADDR_REC_SIZE = 384;
    static const u32 LOGIN_REC_SIZE = 512;
    // Login result record of the node (u32 Expire, u32 Type, char Sess[128], char Param[256],
    // char Version[36]) and relogin report (u32 error, then the same without Version).
    static const u32 LOGIN_REPLY_SIZE = 428;
    static const u32 RELOGIN_REPORT_SIZE = 396;
    // Peer connection details record: u32 Type, u32 Through, six addresses.
    static const u32 PEER_INFO_REC_SIZE = 8 + 6 * sizeof(QV_ADDR_S);
    static const u32 PEER_INFO_TEXT_MAX = 768;

private:
    struct PARAM_S
    {
        QV_LINK_S<PARAM_S> link;
        u16 uCookie = 0;
        u16 uKind = 0;
        u32 uStamp = 0;
        u32 uValue1 = 0;
        u32 uValue2 = 0;
        u32 uValue3 = 0;
    };
    typedef CQVList<PARAM_S> PARAM_LIST;

    // Sends one set-option record (item, value text) to an object; the node's result.
    int SetOption(u32 uObj, u32 uItem, const char* lpszValue);
    PARAM_S* ParamFind(u32 uHandle);
    void ParamClean();
    u32 TunnelRuns() const;
    void ReplyPeerInfo(u32 uObj, u32 uErrCode, const void* lpData, u32 uSize, u32 uValue1, u32 uValue2);

    IQVNode* m_pNode;
    IQVBase* m_pExtTcp;
    IQVBase* m_pExtFile;
    IQVBase* m_pClassFile;
    CDOZiriza* m_pTunnel;
    CDOZirizaNodeProc m_NodeProc;
    std::atomic<u32> m_uCurStamp;
    QV_STRING m_strLoginUser;
    u32 m_uSockBufSize;
    std::atomic<u32> m_uSvrBufSize;
    std::atomic<u32> m_uSelfObj;
    std::atomic<u32> m_uSvrObj;
    std::atomic<u32> m_uLoggedIn;
    PARAM_S* m_pParam;
    u32 m_uParamCount;
    PARAM_LIST m_ListFree;
    PARAM_LIST m_ListBusy;
    CQVCriticalSection m_SectParam;
};
