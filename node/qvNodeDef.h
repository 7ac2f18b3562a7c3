// Node engine: the interfaces between the node, its object classes, its extension modules and
// its owner (the tunnel), and the records that cross them. The node itself is CQVNode
// (qvNode.h); everything outside the node sees only IQVNode.
#pragma once

#include "qvType.h"
#include "qvSocketAddr.h"   // QV_ADDR_S

struct tagQV_RELAY_INFO_S;

// Class slots of the node's built-in classes and of the ones the tunnel attaches.
#define QV_CLASS_PEER 0
#define QV_CLASS_GROUP 1
#define QV_CLASS_FILE 5
#define QV_CLASS_MAX 16
// Extension slots the tunnel attaches.
#define QV_EXT_FILE 0
#define QV_EXT_TCP 6
#define QV_EXT_MAX 16

// Node results of object requests (positive error codes).
#define QV_NODE_ERR_NOT_READY 1
#define QV_NODE_ERR_NO_OBJECT 5
#define QV_NODE_ERR_TIMEOUT 12

// Notify types (second argument of IQVClass::OnNotify).
#define QV_NOTIFY_ADDED 0
#define QV_NOTIFY_DELETED 1
#define QV_NOTIFY_PEER_ID 2
#define QV_NOTIFY_MASTER 3
#define QV_NOTIFY_WAITER 4

// OnSend events.
#define QV_SEND_EVENT_RESULT 0
#define QV_SEND_EVENT_TIMEOUT 1
#define QV_SEND_EVENT_GIVEUP 2

// Node configuration record, filled by the owner and copied by Initialize (248 bytes).
typedef struct tagQV_CFG_S {
    char szClientInfo[128];
    u32 uPeerMax;          // 256; objects of the peer class, socket table size
    u32 uGroupMax;         // 32
    u32 uObjMax;           // 512
    u32 uMCastMax;         // 512; multicast units and waiters
    u32 uHandleMax;        // 128; request/reply handle records
    u32 uNotifyMax;        // 256; notify records kept in the cache
    u32 uExtInstMax;       // 64; at least 64
    u32 auQueueSize[4];    // 64, 64, 256, 128 blocks per priority
    u32 auSockParam[6];    // further socket values (16-bit there)
    u32 uSockSide;         // 0 client, else server
    u32 uClassOption;      // 1 key-value texts, 0 binary records
    u32 uNodeOption;       // 0x1 relogin, 0x80 client-only login, 0x100 batch receive
    u32 uRequestTimeout;   // seconds; 0 off, 1..60 become 60
    u32 uSockProcParam;    // last word of the socket configuration
    char szReserve[32];
} QV_CFG_S;

// Per-peer result of a multicast unit.
typedef struct tagQV_MCAST_RES_S {
    s32 iResult;      // > 0 accepted, <= 0 failed, 0 while unsent
    u32 uValue;       // what the peer class returned with the send
    u64 uSent;        // amount sent
    u64 uAcked;       // amount acknowledged
} QV_MCAST_RES_S;

// List link by which the peer class or the group class chains the objects attached to one of
// its objects. The node only hands its address around.
typedef struct tagQV_NODE_S {
    tagQV_NODE_S* lpPrev;
    tagQV_NODE_S* lpNext;
    void* lpList;
} QV_NODE_S;

class IQVBase {
public:
    virtual void Delete() = 0;

protected:
    virtual ~IQVBase() {}
};

// The owner's callbacks, called on the node's dispatch thread without the node lock.
class IQVNodeProc {
public:
    virtual void OnReply(u32 uObject, u32 uError, const void* lpData, u32 uSize, u32 uParam) = 0;
    // Negative: the answer comes later through IQVNode::ObjectExtReply; else the error code
    // of an immediate answer.
    virtual int OnExtRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uHandle,
                             u32 uParam) = 0;

protected:
    virtual ~IQVNodeProc() {}
};

// Event callback that extension modules use to reach the node, from any thread.
class IQVExtProc {
public:
    virtual bool OnEvent(u32 uInstHandle, u32 uA, u32 uB, u64 uC) = 0;
    // The same from a thread that holds no lock of the node's nor of the extension's (an
    // extension's own worker): the node may hand the event to the class at once instead of
    // waking its dispatch thread.
    virtual bool OnEventNow(u32 uInstHandle, u32 uA, u32 uB, u64 uC) { return OnEvent(uInstHandle, uA, uB, uC); }

protected:
    virtual ~IQVExtProc() {}
};

class IQVClassProc;

// An object class.
class IQVClass : public IQVBase {
public:
    virtual bool OnInitialize(void* lpContext, IQVClassProc* lpProc, u32 uMaxObj, u32 uClassOption) = 0;
    virtual void OnClean() = 0;
    virtual bool OnAdd(u32 uObject, u32 uGroup, u32 uFlags, u32* lpuInstID) = 0;
    virtual void OnDelete(u32 uInst) = 0;
    virtual int OnRequest(u32 uInst, u32 uMethod, const void* lpData, u32 uSize, u32 uParam) = 0;
    virtual int OnExtReply(u32 uInst, u32 uError, const void* lpData, u32 uSize, u32 uHandle) = 0;
    // Non-zero: free the unit.
    virtual int OnSend(u32 uInst, u32 uEvent, const QV_MCAST_RES_S* lpRes, u32 uUnit, u32 uPeer) = 0;
    virtual int OnReceive(u32 uInst, u32 uPrio, u32 uMethod, u32 uParam, u32 uExtra, u32 uPeer) = 0;
    // The bits still pending.
    virtual u32 OnDisp(u32 uInst, u32 uBits) = 0;
    virtual void OnNotify(u32 uInst, u32 uType, u32 uP0, u32 uP1) = 0;
    virtual void OnExtend(u32 uExtInst, u32 uA, u32 uB, u64 uC, u32 uInstParam) = 0;
    virtual void OnTimer(u32 uSeconds) = 0;
    virtual const char* OnGetName() = 0;
    virtual void OnControl(u32 uA, u32 uB, u32 uC) = 0;
};

// An extension module (byte streams: files, forwarded TCP sockets).
class IQVExt : public IQVBase {
public:
    virtual bool AttachDepend(IQVBase* lpDep, u32 uIndex) = 0;
    virtual bool OnInitialize(void* lpContext, IQVExtProc* lpProc, u32 uMaxInst) = 0;
    virtual void OnClean() = 0;
    virtual bool OnOpen(void** lppInst, const char* lpszS1, const char* lpszS2, u32 uValue, u32 uInstHandle,
                        IQVExtProc* lpProc) = 0;
    virtual void OnClose(const void* lpInst, u32 uValue) = 0;
    // True when OnClose may run on any thread without the node's lock (the extension keeps
    // its own): the node then closes instances once it has released that lock, before the
    // owner hears of anything that came after the close.
    virtual bool OnCloseUnlocked() { return false; }
    // Results: 0 closed or failed, 1 nothing moved now, 3 moved (*lpuSize bytes).
    virtual int OnWrite(const void* lpInst, u32 uValue, const void* lpData, u32* lpuSize, u64 uPos) = 0;
    virtual int OnRead(const void* lpInst, u32 uValue, void* lpBuf, u32* lpuSize, u64 uPos) = 0;
    virtual int OnCtrl(const void* lpInst, u32 uValue, const void* lpIn, u32 uInSize, void* lpOut,
                       u32* lpuOutSize) = 0;
};

// Services the node offers its classes. Classes are called with the node lock held and call
// these without locking.
class IQVClassProc {
public:
    virtual u32 NodeGetTick() = 0;
    virtual u32 NodeGetTickStamp() = 0;
    virtual u32 NodeGetCurStamp() = 0;
    virtual u32 NodeGetCfgOption() = 0;
    virtual bool ClassSetTimer(u32 uClass, u32 uSeconds) = 0;
    virtual u32 ClassGetID(const char* lpszName) = 0;
    virtual u32 PeerGetSize() = 0;
    virtual u32 PeerGetSelf() = 0;
    virtual u32 PeerGetStatus(u32 uPeer) = 0;
    virtual bool PeerGetAddr(u32 uPeer, QV_ADDR_S* lpAddr) = 0;
    virtual u32 PeerLocalStamp(u32 uPeer, u32 uStamp) = 0;
    virtual u32 PeerSyncStamp(u32 uPeer) = 0;
    virtual int PeerSend(u32 uPeer, u32* lpuPrio, u32 uObject, u32 uMethod, u32 uFlag, u32 uParam, u32* lpuRoom,
                         void* lpData, u32 uSize, u32 uKind) = 0;
    virtual int PeerReceive(u32 uPeer, u32* lpuPrio, u32* lpuObject, u32* lpuMethod, u32* lpuFlag, u32* lpuParam,
                            u32* lpuRoom, void* lpBuf, u32 uSize, u32 uE, u32 uFlags) = 0;
    virtual int PeerSendRemain(u32 uPeer, u32 uPrio) = 0;
    virtual int PeerReceiveRemain(u32 uPeer, u32* lpuOut, u32 uA, u32 uB) = 0;
    virtual int PeerSendQueStatus(u32 uPeer, u32 uPrio, u32* lpuFree, u32* lpuUsed) = 0;
    virtual int PeerReceiveQueStatus(u32 uPeer, u32 uPrio, u32* lpuFree, u32* lpuUsed) = 0;
    virtual int PeerSendDrop(u32 uPeer, u32 uA, u32 uB) = 0;
    virtual bool PeerDigestGen(u32 uPeer, const void* lpData, u32 uSize, u8* lpDigest, u32* lpuDigestSize) = 0;
    virtual bool PeerDigestVerify(u32 uPeer, const void* lpData, u32 uSize, const u8* lpDigest,
                                  u32 uDigestSize) = 0;
    virtual bool GroupGetPeer(u32 uGroup, u32* lpuPeers, u32* lpuCount) = 0;
    virtual bool GroupGetNear(u32 uGroup, u32* lpuPeers, u32* lpuCount) = 0;
    virtual bool GroupIsNear(u32 uGroup, u32 uA, u32 uB) = 0;
    virtual u32 GroupGetMaster(u32 uGroup) = 0;
    virtual u32 ObjAdd(const char* lpszName, u32 uClass, u32 uGroup, u32 uFlags, IQVNodeProc* lpProc) = 0;
    virtual void ObjDelete(u32 uObject) = 0;
    virtual bool ObjDisp(u32 uObject, u32 uBits) = 0;
    virtual u32 ObjSync(u32 uObject, u32 uPeer, u32 uStart) = 0;
    virtual bool ObjNotify(u32 uObject, u32 uType, u32 uP0, u32 uP1) = 0;
    virtual bool ObjIsValid(u32 uObject) = 0;
    virtual u32 ObjGetID(const char* lpszName) = 0;
    virtual bool ObjGetName(u32 uObject, char* lpszBuf, u32 uSize) = 0;
    virtual bool ObjGetSync(u32 uObject, u32 uPeer, u32* lpuKnown) = 0;
    virtual bool ObjGetInfo(u32 uObject, u32* lpuClass, u32* lpuGroup, u32* lpuInst, u32* lpuFirstUnit) = 0;
    virtual bool ObjSetOption(u32 uObject, u32 uItem, u32 uValue) = 0;
    virtual bool ObjGetOption(u32 uObject, u32 uItem, u32* lpuValue) = 0;
    virtual bool ObjCleanMCast(u32 uObject) = 0;
    virtual bool ObjSetObjIDModePart(u32 uObject) = 0;
    virtual u32 ObjGetObjIDByPeer(u32 uObject, u32 uPeer) = 0;
    virtual int ObjRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uParam) = 0;
    virtual int ObjExtRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uHandle, u32 uParam,
                              u32 uTextOnly) = 0;
    virtual int ObjReply(u32 uObject, u32 uError, const void* lpData, u32 uSize, u32 uParam, u32 uTextOnly) = 0;
    virtual int ObjExtReply(u32 uObject, u32 uError, const void* lpData, u32 uSize, u32 uHandle) = 0;
    virtual int ObjGetReply(u32 uA, u32* lpuB, void* lpC, u32* lpuD, u32 uE) = 0;
    virtual u32 MCastAlloc(u32 uObject, u32 uMethod, u32 uPrio, u32* lpuPeers, u32 uCount, u32 uMode, u32 uSeconds,
                           u32 uParam) = 0;
    virtual void MCastFree(u32 uUnit) = 0;
    virtual int MCastSend(u32 uUnit, u32 uFlag, const void* lpData, u32 uSize, u32 uPeer, u32 uFlags) = 0;
    virtual bool MCastSetPeer(u32 uUnit, u32* lpuPeers, u32 uCount, u32 uMode) = 0;
    virtual void MCastReset(u32 uUnit, u32 uFlag) = 0;
    virtual u32 MCastGetNext(u32 uUnit, u32 uBackward) = 0;
    virtual bool MCastGetPeer(u32 uUnit, u32* lpuPeers, u32* lpuCount) = 0;
    virtual bool MCastGetRes(u32 uUnit, u32* lpuPeers, QV_MCAST_RES_S* lpRes, u32* lpuCount, u32 uMode) = 0;
    virtual bool MCastGetInfo(u32 uUnit, u32* lpuObject, u32* lpuMethod, u32* lpuInst, u32* lpuPrio,
                              u32* lpuParam) = 0;
    virtual u32 WaiterAlloc(u32 uObject, u32 uSeconds, u32 uP0, u32 uP1) = 0;
    virtual u32 WaiterFinish(u32 uWaiter, u32* lpuP0, u32* lpuP1) = 0;
    virtual bool WaiterAdjust(u32 uWaiter, u32 uSeconds) = 0;
    virtual u32 WaiterEnum(u32 uAfter, u32 uObject, u32* lpuP0, u32* lpuP1) = 0;
    virtual u32 ExtOpen(u32 uExt, const char* lpszS1, const char* lpszS2, u32 uValue, u32 uParam, u32 uClass) = 0;
    virtual void ExtClose(u32 uInst, u32 uValue) = 0;
    virtual int ExtWrite(u32 uInst, u32 uValue, const void* lpData, u32* lpuSize, u64 uPos) = 0;
    virtual int ExtRead(u32 uInst, u32 uValue, void* lpBuf, u32* lpuSize, u64 uPos) = 0;
    virtual int ExtCtrl(u32 uInst, u32 uValue, const void* lpIn, u32 uInSize, void* lpOut, u32* lpuOutSize) = 0;
    virtual bool ExtPostEvent(u32 uInst, u32 uA, u32 uB, u64 uC) = 0;

protected:
    virtual ~IQVClassProc() {}
};

// The node as its owner sees it.
class IQVNode {
public:
    virtual void* GetSocketPrivate(u32 uType) = 0;
    virtual u32 AttachExtend(IQVBase* lpExt, u32 uIndex, u32 uMaxInst) = 0;
    virtual u32 AttachExtDepend(u32 uIndex, u32 uDepIndex) = 0;
    virtual u32 AttachClass(IQVBase* lpClass, u32 uIndex, u32 uMaxObj) = 0;
    virtual u32 SetRelay(const tagQV_RELAY_INFO_S* lpList, u32 uCount) = 0;
    virtual u32 SetOption(u32 uItem, const char* lpszValue) = 0;
    virtual u32 GetOption(u32 uItem, char* lpszBuf, u32 uSize) = 0;
    virtual u32 Initialize(void* lpContext, IQVNodeProc* lpProc, const QV_CFG_S* lpCfg) = 0;
    virtual void Clean() = 0;
    virtual u32 SetAddr(const char* lpszAddr, u32 uIndex) = 0;
    virtual u32 GetAddr(char* lpszBuf, u32 uSize, u32 uIndex) = 0;
    virtual u32 ObjectAdd(const char* lpszName, u32 uClass, u32 uGroup, u32 uFlags) = 0;
    virtual void ObjectDelete(u32 uObject) = 0;
    virtual u32 ObjectEnum(u32 uAfter, u32 uClass) = 0;
    virtual u32 ObjectGetID(const char* lpszName) = 0;
    virtual u32 ObjectGetName(u32 uObject, char* lpszBuf, u32 uSize) = 0;
    virtual u32 ObjectGetClass(u32 uObject, u32* lpuClass) = 0;
    virtual u32 ObjectGetInstID(u32 uObject, u32* lpuInst) = 0;
    virtual u32 ObjectSetGroup(u32 uObject, u32 uGroup) = 0;
    virtual u32 ObjectGetGroup(u32 uObject, u32* lpuGroup) = 0;
    virtual u32 ObjectSync(u32 uObject, u32 uPeer, u32 uStart) = 0;
    virtual int ObjectRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uParam) = 0;
    virtual int ObjectExtReply(u32 uObject, u32 uError, const void* lpData, u32 uSize, u32 uHandle) = 0;
    virtual void Delete() = 0;

protected:
    virtual ~IQVNode() {}
};

// A new node, or null when memory runs out.
IQVNode* qvNewNode();

// Library context hooks (host hooks; none are registered in this program).
class IQVContextProc {
public:
    virtual int OnNotify(void* lpContext, u32 uEvent, u32 uParam) = 0;
    virtual int OnSetParam(void* lpContext, u32 uItem, u32 uValue) = 0;
    virtual int OnGetParam(void* lpContext, u32 uItem, u32* lpuValue) = 0;

protected:
    virtual ~IQVContextProc() {}
};

int qvContextNotify(void* lpContext, u32 uEvent, u32 uParam);
u32 qvContextSetProc(IQVContextProc* lpProc);
u32 qvContextSetProc2(IQVContextProc* lpProc, u32 uIndex);
int qvContextSetParam(void* lpContext, u32 uItem, u32 uValue);
int qvContextGetParam(void* lpContext, u32 uItem, u32* lpuValue);
typedef int (*QV_PARAM_CALLBACK_FN)(u32 uA, void* lpP, u32 uB);
void qvParamCallbackSet(QV_PARAM_CALLBACK_FN lpfn);
int qvParamCallbackProc(u32 uA, void* lpP, u32 uB);
// Active-trace items: kept for the layers that report into them; they do nothing.
u32 qvActiveTraceItemSet(void* lpContext, u32 uType, u32 uEnable, const char* lpszName, u32 uPeriod);
u32 qvActiveTraceItemFresh(void* lpContext, u32 uType);
