// The node: object kernel of the library. It owns the peer socket layer, the tables of objects,
// classes and extension modules, the dispatch thread that delivers everything it queues to
// the classes, and the class services (multicast units, requests, waiters, extension
// instances) behind IQVClassProc.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "qvNodeDef.h"
#include "qvNodeDataCollect.h"
#include "qvNodeHash.h"
#include "qvSocket.h"
#include "qvString.h"
#include "qvTable.h"
#include "qvThread.h"
#include "qvClassPeer.h"
#include "qvClassGroup.h"

class CQVNode;

// Dispatch bits of the node (raised from any thread, served by the dispatch thread).
#define QV_NODE_DISP_OBJECT 0x01
#define QV_NODE_DISP_TIMER 0x02
#define QV_NODE_DISP_RESULT 0x04
#define QV_NODE_DISP_HANDLE 0x08
#define QV_NODE_DISP_NOTIFY 0x10
#define QV_NODE_DISP_EXTPOST 0x20
#define QV_NODE_DISP_EXTEVT 0x40
#define QV_NODE_DISP_SECOND 0x80
#define QV_NODE_DISP_EXTCLOSE 0x100

// Largest request or reply payload a handle record carries (bytes). The peer class receives
// messages of up to 0x1FFFF bytes and hands calls on whole; anything larger is refused.
#define QV_NODE_HND_DATA_MAX 0x100000u
// Handle data buffers up to this size stay with their record for reuse.
#define QV_NODE_HND_KEEP 256u
// Extension event records in existence at most (posted, pending, done and cached together):
// a stalled dispatch thread must not let extension workers grow memory without end.
#define QV_NODE_EXTEVT_MAX 65536u
// Group cache entries at most, per object-table slot.
#define QV_NODE_GCACHE_PER_OBJ 4u

// Object-class option bits (option 0 of an object).
#define QV_OBJ_OPT_NOENUM 0x00200000u
#define QV_OBJ_OPT_ENCRYPT 0x00040000u
#define QV_OBJ_OPT_HFLAG 0x00080000u

class CQVNodeExtProc : public IQVExtProc {
public:
    CQVNodeExtProc() : m_pNode(nullptr) {}
    virtual ~CQVNodeExtProc() {}
    bool OnEvent(u32 uInstHandle, u32 uA, u32 uB, u64 uC) override;
    bool OnEventNow(u32 uInstHandle, u32 uA, u32 uB, u64 uC) override;
    CQVNode* m_pNode;
};

class CQVNodeThread : public CQVThread {
public:
    CQVNodeThread() : m_pNode(nullptr) {}
    void Proc() override;
    CQVNode* m_pNode;
};

// The class services. Every operation runs the node's code without taking the node lock:
// classes are only ever called with it held.
class CQVNodeClassProc : public IQVClassProc {
public:
    CQVNodeClassProc() : m_pNode(nullptr) {}
    virtual ~CQVNodeClassProc() {}

    u32 NodeGetTick() override;
    u32 NodeGetTickStamp() override;
    u32 NodeGetCurStamp() override;
    u32 NodeGetCfgOption() override;
    bool ClassSetTimer(u32 uClass, u32 uSeconds) override;
    u32 ClassGetID(const char* lpszName) override;
    u32 PeerGetSize() override;
    u32 PeerGetSelf() override;
    u32 PeerGetStatus(u32 uPeer) override;
    bool PeerGetAddr(u32 uPeer, QV_ADDR_S* lpAddr) override;
    u32 PeerLocalStamp(u32 uPeer, u32 uStamp) override;
    u32 PeerSyncStamp(u32 uPeer) override;
    int PeerSend(u32 uPeer, u32* lpuPrio, u32 uObject, u32 uMethod, u32 uFlag, u32 uParam, u32* lpuRoom,
                 void* lpData, u32 uSize, u32 uKind) override;
    int PeerReceive(u32 uPeer, u32* lpuPrio, u32* lpuObject, u32* lpuMethod, u32* lpuFlag, u32* lpuParam,
                    u32* lpuRoom, void* lpBuf, u32 uSize, u32 uE, u32 uFlags) override;
    int PeerSendRemain(u32 uPeer, u32 uPrio) override;
    int PeerReceiveRemain(u32 uPeer, u32* lpuOut, u32 uA, u32 uB) override;
    int PeerSendQueStatus(u32 uPeer, u32 uPrio, u32* lpuFree, u32* lpuUsed) override;
    int PeerReceiveQueStatus(u32 uPeer, u32 uPrio, u32* lpuFree, u32* lpuUsed) override;
    int PeerSendDrop(u32 uPeer, u32 uA, u32 uB) override;
    bool PeerDigestGen(u32 uPeer, const void* lpData, u32 uSize, u8* lpDigest, u32* lpuDigestSize) override;
    bool PeerDigestVerify(u32 uPeer, const void* lpData, u32 uSize, const u8* lpDigest, u32 uDigestSize) override;
    bool GroupGetPeer(u32 uGroup, u32* lpuPeers, u32* lpuCount) override;
    bool GroupGetNear(u32 uGroup, u32* lpuPeers, u32* lpuCount) override;
    bool GroupIsNear(u32 uGroup, u32 uA, u32 uB) override;
    u32 GroupGetMaster(u32 uGroup) override;
    u32 ObjAdd(const char* lpszName, u32 uClass, u32 uGroup, u32 uFlags, IQVNodeProc* lpProc) override;
    void ObjDelete(u32 uObject) override;
    bool ObjDisp(u32 uObject, u32 uBits) override;
    u32 ObjSync(u32 uObject, u32 uPeer, u32 uStart) override;
    bool ObjNotify(u32 uObject, u32 uType, u32 uP0, u32 uP1) override;
    bool ObjIsValid(u32 uObject) override;
    u32 ObjGetID(const char* lpszName) override;
    bool ObjGetName(u32 uObject, char* lpszBuf, u32 uSize) override;
    bool ObjGetSync(u32 uObject, u32 uPeer, u32* lpuKnown) override;
    bool ObjGetInfo(u32 uObject, u32* lpuClass, u32* lpuGroup, u32* lpuInst, u32* lpuFirstUnit) override;
    bool ObjSetOption(u32 uObject, u32 uItem, u32 uValue) override;
    bool ObjGetOption(u32 uObject, u32 uItem, u32* lpuValue) override;
    bool ObjCleanMCast(u32 uObject) override;
    bool ObjSetObjIDModePart(u32 uObject) override;
    u32 ObjGetObjIDByPeer(u32 uObject, u32 uPeer) override;
    int ObjRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uParam) override;
    int ObjExtRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uHandle, u32 uParam,
                      u32 uTextOnly) override;
    int ObjReply(u32 uObject, u32 uError, const void* lpData, u32 uSize, u32 uParam, u32 uTextOnly) override;
    int ObjExtReply(u32 uObject, u32 uError, const void* lpData, u32 uSize, u32 uHandle) override;
    int ObjGetReply(u32 uA, u32* lpuB, void* lpC, u32* lpuD, u32 uE) override;
    u32 MCastAlloc(u32 uObject, u32 uMethod, u32 uPrio, u32* lpuPeers, u32 uCount, u32 uMode, u32 uSeconds,
                   u32 uParam) override;
    void MCastFree(u32 uUnit) override;
    int MCastSend(u32 uUnit, u32 uFlag, const void* lpData, u32 uSize, u32 uPeer, u32 uFlags) override;
    bool MCastSetPeer(u32 uUnit, u32* lpuPeers, u32 uCount, u32 uMode) override;
    void MCastReset(u32 uUnit, u32 uFlag) override;
    u32 MCastGetNext(u32 uUnit, u32 uBackward) override;
    bool MCastGetPeer(u32 uUnit, u32* lpuPeers, u32* lpuCount) override;
    bool MCastGetRes(u32 uUnit, u32* lpuPeers, QV_MCAST_RES_S* lpRes, u32* lpuCount, u32 uMode) override;
    bool MCastGetInfo(u32 uUnit, u32* lpuObject, u32* lpuMethod, u32* lpuInst, u32* lpuPrio, u32* lpuParam) override;
    u32 WaiterAlloc(u32 uObject, u32 uSeconds, u32 uP0, u32 uP1) override;
    u32 WaiterFinish(u32 uWaiter, u32* lpuP0, u32* lpuP1) override;
    bool WaiterAdjust(u32 uWaiter, u32 uSeconds) override;
    u32 WaiterEnum(u32 uAfter, u32 uObject, u32* lpuP0, u32* lpuP1) override;
    u32 ExtOpen(u32 uExt, const char* lpszS1, const char* lpszS2, u32 uValue, u32 uParam, u32 uClass) override;
    void ExtClose(u32 uInst, u32 uValue) override;
    int ExtWrite(u32 uInst, u32 uValue, const void* lpData, u32* lpuSize, u64 uPos) override;
    int ExtRead(u32 uInst, u32 uValue, void* lpBuf, u32* lpuSize, u64 uPos) override;
    int ExtCtrl(u32 uInst, u32 uValue, const void* lpIn, u32 uInSize, void* lpOut, u32* lpuOutSize) override;
    bool ExtPostEvent(u32 uInst, u32 uA, u32 uB, u64 uC) override;

    // Services that only the peer and group classes call.
    u32 ObjSetName(u32 uObject, const char* lpszName);
    // A pending waiter's object and words, without finishing it; 0 when it is not pending.
    u32 WaiterPeek(u32 uWaiter, u32* lpuP0, u32* lpuP1);
    u32 ObjGetByNode(const QV_NODE_S* lpNode);
    u32 ObjDetachGroup(QV_NODE_S* lpNode);
    u32 ObjSetMaster(QV_NODE_S* lpNode, u32 uValue);
    u32 GroupPeerSync(u32 uPeer, u32 uStatus);
    u32 GroupPeerDelete(u32 uPeer);
    u32 GroupPeerSyncObjNotify(u32 uA, u32 uB);
    u32 PeerSyncObjNotify(u32 uPeer, u32 uA, u32 uB);
    u32 ObjSetPeerID(u32 uObject, u32 uRemoteID, u32 uPeer);
    u32 ObjResetPeerID(u32 uObject, u32 uPeer);
    u32 PeerCleanID(u32 uPeer, u32 uRemoteID);
    u32 ObjMemberChange(QV_NODE_S* lpNode);

    CQVNode* m_pNode;
};

class CQVNode : public IQVNode, public IQVSocketOwner {
public:
    CQVNode();
    virtual ~CQVNode();
    CQVNode(const CQVNode&) = delete;
    CQVNode& operator=(const CQVNode&) = delete;

    // IQVNode.
    void* GetSocketPrivate(u32 uType) override;
    u32 AttachExtend(IQVBase* lpExt, u32 uIndex, u32 uMaxInst) override;
    u32 AttachExtDepend(u32 uIndex, u32 uDepIndex) override;
    u32 AttachClass(IQVBase* lpClass, u32 uIndex, u32 uMaxObj) override;
    u32 SetRelay(const tagQV_RELAY_INFO_S* lpList, u32 uCount) override;
    u32 SetOption(u32 uItem, const char* lpszValue) override;
    u32 GetOption(u32 uItem, char* lpszBuf, u32 uSize) override;
    u32 Initialize(void* lpContext, IQVNodeProc* lpProc, const QV_CFG_S* lpCfg) override;
    void Clean() override;
    u32 SetAddr(const char* lpszAddr, u32 uIndex) override;
    u32 GetAddr(char* lpszBuf, u32 uSize, u32 uIndex) override;
    u32 ObjectAdd(const char* lpszName, u32 uClass, u32 uGroup, u32 uFlags) override;
    void ObjectDelete(u32 uObject) override;
    u32 ObjectEnum(u32 uAfter, u32 uClass) override;
    u32 ObjectGetID(const char* lpszName) override;
    u32 ObjectGetName(u32 uObject, char* lpszBuf, u32 uSize) override;
    u32 ObjectGetClass(u32 uObject, u32* lpuClass) override;
    u32 ObjectGetInstID(u32 uObject, u32* lpuInst) override;
    u32 ObjectSetGroup(u32 uObject, u32 uGroup) override;
    u32 ObjectGetGroup(u32 uObject, u32* lpuGroup) override;
    u32 ObjectSync(u32 uObject, u32 uPeer, u32 uStart) override;
    int ObjectRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uParam) override;
    int ObjectExtReply(u32 uObject, u32 uError, const void* lpData, u32 uSize, u32 uHandle) override;
    void Delete() override;

    // IQVSocketOwner: the socket layer's events and timer.
    u32 SocketProc(u32 uEvent, u32 uVal1, u32 uVal2, u32 uVal3, u32 uVal4, u32 uParam, u32 uExtra,
                   u32 uSockID) override;
    void SocketTimer(u32 uStamp) override;
    void SocketDrop(u32 uSockID) override;
    void SocketSetParam(u32 uSockID, u32 uOld, u32 uNew) override;
    void SocketThreadStatus(u32 uStatus) override;

    // Extension events from any thread.
    u32 ExtPostEvent(u32 uInst, u32 uA, u32 uB, u64 uC);
    // An extension event passed to its class at once, on the calling thread.
    u32 ExtEventNow(u32 uInst, u32 uA, u32 uB, u64 uC);

    // Counters of received messages the node dropped, by cause.
    struct STAT_S {
        u32 uUnbound;   // from a socket not bound to a peer entry
        u32 uNoObject;  // to an object that does not exist (answered with an error message)
        u32 uNotAuth;   // from a peer not accepted by authentication
        u32 uMasked;    // of a class the peer may not send
    };

    // For tests: the socket layer (to give it another datagram carrier before Initialize) and
    // the time base, driven without waiting.
    CQVSocket* GetSocket() { return &m_Socket; }
    CQVClassPeer* GetClassPeer() { return &m_ClassPeer; }
    u32 IsInitialized() const { return m_uInit.load(); }


private:
    friend class CQVNodeClassProc;
    friend class CQVNodeThread;
    friend class CQVNodeExtProc;
    friend class CQVNodeTestProbe;

    // Multicast unit: one message to a set of peers, with a result per peer.
    struct MCAST_S {
        QV_LINK_S<MCAST_S> link;      // free list or allocated list
        QV_LINK_S<MCAST_S> linkObj;   // units of the owner object
        QV_LINK_S<MCAST_S> linkTmo;   // units whose time-out runs
        QV_MCAST_RES_S* pRes = nullptr;
        u16 uResCap = 0;
        u16 uPeerCount = 0;
        u32* pPeers = nullptr;        // peer object handles
        u32 uPeerCap = 0;
        u32 uObject = 0;              // owner
        u16 uCookie = 0;
        u16 uAnswer = 0;
        u16 uMethod = 0;
        u8 uPrio = 0;
        u8 uMode = 0;
        u32 uLimit = 0xFFFFFFFF;      // time-out in timer passes, 0xFFFFFFFF none
        u32 uCount = 0;
        u32 uParam = 0;
    };
    typedef CQVList<MCAST_S> MCAST_LIST;
    typedef CQVList<MCAST_S, &MCAST_S::linkObj> MCAST_OBJ_LIST;
    typedef CQVList<MCAST_S, &MCAST_S::linkTmo> MCAST_TMO_LIST;

    struct OBJ_S {
        QV_LINK_S<OBJ_S> link;        // free list or live list
        QV_HASH_LINK_S hash;          // name hash
        QV_NODE_S node = {nullptr, nullptr, nullptr};  // chained by its group's class
        QV_LINK_S<OBJ_S> linkDisp;    // dispatch queue
        QV_LINK_S<OBJ_S> linkPeerID;  // objects with a peer-ID list (modes 1 and 2)
        MCAST_OBJ_LIST units;
        IQVNodeProc* pProc = nullptr;
        QV_STRING name;
        u16 uClass = 0xFFFF;
        u16 uCookie = 0;
        u32 uGroup = 0;
        u16 uIDMode = 3;              // 0 single, 1 list, 2 per-peer array, 3 none (free)
        u16 uListLen = 0;             // entries of the mode-1 list
        u32 aOne[2] = {0, 0};         // mode 0: remote object ID, flags
        u32* pIDs = nullptr;          // mode 1: {ID, flags, peer} x len; mode 2: {ID, flags} x peers
        u32 uDispBits = 0;
        u32 uOption0 = 0;
        u32 uOption1 = 0;
        u32 uInst = 0xFFFFFFFF;
    };
    typedef CQVList<OBJ_S> OBJ_LIST;
    typedef CQVList<OBJ_S, &OBJ_S::linkDisp> OBJ_DISP_LIST;
    typedef CQVList<OBJ_S, &OBJ_S::linkPeerID> OBJ_PEERID_LIST;

    struct CLASS_S {
        QV_LINK_S<CLASS_S> link;      // class-timer list
        IQVClass* p = nullptr;
        u32 uPeriod = 0;              // timer passes
        u32 uCounter = 0;
        u32 uObjCount = 0;
        u16 uMax = 0;
        u16 uInit = 0;
    };
    struct EXT_S {
        IQVExt* p = nullptr;
        u16 uMax = 0;
        u16 uInit = 0;
    };
    struct NOTIFY_S {
        QV_LINK_S<NOTIFY_S> link;
        u32 uObject, uType, uP0, uP1;
    };
    struct WAITER_S {
        QV_LINK_S<WAITER_S> link;     // free list or active list
        u16 uCookie = 0;
        u32 uObject = 0;              // 0 = free
        u32 uLimit = 0;               // timer passes
        u32 uCount = 0;
        u32 uP0 = 0, uP1 = 0;
    };
    struct EXTEVT_S {
        QV_LINK_S<EXTEVT_S> link;
        u32 uInst, uA, uB;
        u64 uC;
    };
    enum { HND_REPLY = 0, HND_REQUEST = 1 };
    struct HND_S {
        QV_LINK_S<HND_S> link;
        u32 uKind;
        u32 uObject;
        u32 uValue;                   // method of a request, error of a reply
        u32 uHandle;
        u32 uParam;
        u32 uCap;                     // sized in 32 bits: a payload is never cut
        u32 uSize;
        u8* pData;
    };
    struct RES_S {
        QV_LINK_S<RES_S> link;
        u32 uObject, uError, uHandle;
    };
    struct TMO_S {
        QV_LINK_S<TMO_S> link;        // pending list or cache
        QV_HASH_LINK_S hash;
        u32 uObject, uHandle, uStamp;
    };
    struct EXTINST_S {
        QV_LINK_S<EXTINST_S> link;    // free list or open list
        void* pInst = nullptr;
        u16 uExt = 0xFFFF;
        u16 uCookie = 0;
        u32 uParam = 0;
        u16 uClass = 0xFFFF;
    };
    struct GCACHE_S {
        QV_LINK_S<GCACHE_S> link;
        QV_HASH_LINK_S hash;
        u32 uObject;
        QV_STRING name;
    };

    // Objects (qvNodeObj.cpp). None of these lock.
    OBJ_S* ObjGet(u32 uObject) const;
    u32 ObjHandle(const OBJ_S* o) const { return m_ObjTable.Handle(o); }
    IQVClass* ObjClass(const OBJ_S* o) const;
    u32 ObjAddProc(const char* lpszName, u32 uClass, u32 uGroup, u32 uFlags, IQVNodeProc* lpProc);
    void ObjDeleteProc(u32 uObject);
    u32 ObjSetGroupProc(u32 uObject, u32 uGroup);
    u32 ObjSyncProc(u32 uObject, u32 uPeer, u32 uStart);
    u32 ObjGroupCheck(u32 uGroup, u32 uClass, u32* lpuGroupClass, u32* lpuGroupInst);
    u32 ObjAttach(OBJ_S* o, u32 uGroupClass, u32 uGroupInst);
    void ObjDetach(OBJ_S* o);
    void ObjFreeIDs(OBJ_S* o);
    void ObjFreeUnits(OBJ_S* o);
    // A peer object's instance inside the peer table; 0 when the handle is stale or not a
    // peer-class object (*lpuInst may then lie outside the table).
    u32 PeerInst(u32 uPeer, u32* lpuInst) const;
    u32 PeerIDSet(OBJ_S* o, u32 uPeer, u32 uRemoteID);
    u32 PeerIDGet(const OBJ_S* o, u32 uPeer) const;
    u32 PeerIDReset(OBJ_S* o, u32 uPeer);
    void GroupCacheAdd(u32 uObject, const char* lpszName);
    void GroupCacheReuse(u32 uPeerInst, u32 uPeer, const char* lpszName);
    void GroupCacheDelete(u32 uObject);
    void GroupCacheClean();

    // Dispatch (qvNodeDisp.cpp).
    void ThreadProc();
    void DispRaise(u32 uBits);
    void TimerTick(u32 uStamp);
    u32 SocketEventProc(u32 uEvent, u32 uVal1, u32 uVal2, u32 uVal3, u32 uVal4, u32 uParam, u32 uExtra,
                        u32 uSockID);
    u32 SockAcked(u32 uVal3, u32 uVal2, u32 uVal4, u32 uParam);
    u32 SockReceive(u32 uEvent, u32 uVal1, u32 uVal2, u32 uVal3, u32 uVal4, u32 uParam, u32 uExtra);
    u32 SockDiscard(u32 uVal4);
    void DispResults();
    void DispExtEvents();
    void DispObjects();
    void DispTimer();
    void DispNotify();
    void DispExtPost();
    void DispHandles();
    // On the thread that delivered a socket event: the notifications and the owner's calls
    // it queued.
    void DispAfterEvent();
    // Clears a dispatch bit; true when it was set (the caller serves it).
    bool TakeBit(u32 uBit);
    void DispSecond();
    void WaiterFree(WAITER_S* w);
    void NotifyClean();
    void ExtEventClean();

    // Multicast (qvNodeMCast.cpp).
    MCAST_S* MCastGet(u32 uUnit) const { return m_MCast.Find(uUnit); }
    u32 MCastSelect(MCAST_S* m, u32* lpuPeers, u32 uCount, u32 uMode);
    u32 MCastPeerReserve(MCAST_S* m, u32 uCount);
    u32 MCastResSize(MCAST_S* m, u32 uCount);
    void MCastFreeUnit(MCAST_S* m);
    void MCastClean();

    // Requests (qvNodeRequest.cpp).
    HND_S* HndTake();
    void HndGive(HND_S* h);
    u32 HndFill(HND_S* h, const void* lpData, u32 uSize, u32 uTextOnly);
    u32 HndResultAdd(u32 uObject, u32 uHandle, u32 uError);
    u32 HndResTimeoutAdd(u32 uObject, u32 uHandle);
    void HndResTimeoutRemove(u32 uObject, u32 uHandle);
    void TmoPass();
    void HndClean();

    // Extension instances (qvNodeExt.cpp).
    EXTINST_S* ExtInstGet(u32 uInst) const { return m_ExtInst.Find(uInst); }
    void ExtInstClean();
    // Keeps the close of an instance of an extension that closes without the node's lock for
    // ExtCloseRun; 0 when it must be closed now.
    u32 ExtCloseLater(u32 uExt, void* lpInst, u32 uValue);
    // Closes the kept instances; called with no lock of the node's held. Those a thread has
    // taken are closed before another thread gets past this.
    void ExtCloseRun();

    QV_CFG_S m_Cfg;
    CQVSocket m_Socket;
    CQVNodeExtProc m_ExtProc;
    CQVNodeClassProc m_ClassProc;
    CQVClassPeer m_ClassPeer;
    CQVClassGroup m_ClassGroup;

    EXT_S m_Ext[QV_EXT_MAX];
    CQVTable<EXTINST_S> m_ExtInst;
    CQVList<EXTINST_S> m_ExtInstOpen;
    CQVList<EXTEVT_S> m_ExtPosted;
    CQVList<EXTEVT_S> m_ExtPending;
    CQVList<EXTEVT_S> m_ExtDone;
    CQVList<EXTEVT_S> m_ExtFree;
    u32 m_uExtEvtCount;
    std::mutex m_ExtMutex;
    struct EXTCLOSE_S {
        u32 uExt;
        u32 uValue;
        void* pInst;
    };
    // Closes kept for ExtCloseRun (at most one per open instance), under m_ExtCloseMutex;
    // m_ExtCloseRun is held while they are carried out.
    std::vector<EXTCLOSE_S> m_ExtClose;
    std::vector<EXTCLOSE_S> m_ExtClosing;
    std::atomic<u32> m_uExtCloseCount;
    std::mutex m_ExtCloseMutex;
    std::mutex m_ExtCloseRun;

    CQVList<CLASS_S> m_ClassTimer;
    CLASS_S m_Class[QV_CLASS_MAX];

    // Time base: socket timer calls, passes 0..9, node seconds (from 1), last stamp in ms.
    std::atomic<u32> m_uTick;
    u32 m_uPass;
    std::atomic<u32> m_uSecond;
    std::atomic<u32> m_uStamp;
    // Set by tests that drive the timer passes themselves: the socket timer is then ignored.
    std::atomic<u32> m_uManualTime;

    CQVTable<OBJ_S> m_ObjTable;
    CQVNodeHash m_ObjHash;
    OBJ_LIST m_ObjLive;
    OBJ_DISP_LIST m_ObjDisp;
    OBJ_PEERID_LIST m_ObjPeerID;

    CQVList<NOTIFY_S> m_NotifyQue;
    CQVList<NOTIFY_S> m_NotifyCache;
    u32 m_uNotifyCount;
    u32 m_uNotifyMax;

    CQVTable<MCAST_S> m_MCast;
    MCAST_LIST m_MCastAlloc;
    MCAST_TMO_LIST m_MCastTmo;
    std::vector<u32> m_TmpUnits;   // expired units of one timer pass (capacity = table size)

    CQVList<HND_S> m_HndFree;
    CQVList<HND_S> m_HndPend;
    u32 m_uHndCount;
    u32 m_uHndPend;
    u32 m_uHndMax;
    std::mutex m_HndMutex;
    // Held while the handle records are served (the owner's calls), by the dispatch thread or
    // by a thread that delivered a socket event.
    std::mutex m_HndRun;
    CQVList<RES_S> m_ResQue;
    CQVList<RES_S> m_ResFree;

    CQVList<TMO_S> m_TmoPend;
    CQVList<TMO_S> m_TmoCache;
    CQVNodeHash m_TmoHash;
    u32 m_uTmoSecond;

    CQVTable<WAITER_S> m_Waiter;
    CQVList<WAITER_S> m_WaiterActive;

    CQVNodeHash m_GCacheHash;
    CQVList<GCACHE_S> m_GCache;

    CQVNodeThread m_Thread;
    std::mutex m_SectDisp;
    CQVEvent m_EventDisp;
    std::atomic<u32> m_uDispBits;

    CQVDataCollectClt m_DataClt;

    void* m_lpContext;
    IQVNodeProc* m_lpProc;
    std::atomic<u32> m_uInit;
    u32 m_uSide;
    u32 m_uThreadStarted;
    u32 m_uNeedClean;   // set by Initialize, cleared by Clean
    STAT_S m_Stat;
};
