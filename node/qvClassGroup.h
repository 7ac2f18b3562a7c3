// The node's built-in Group class (class 1, "QV_CLASS_Group"): a group object is a named list
// of member peers; objects attached to the group are kept with it. This build holds what the
// node and the Peer class use of it: the group records, their attached objects, the member
// list set by the owner (request 32), and the node's group services. The wire exchange with a
// group's reference peer is not part of it.
#pragma once

#include "qvNodeDef.h"
#include "qvNodeList.h"
#include "qvOMLParser.h"
#include "qvString.h"
#include "qvTable.h"

class CQVNodeClassProc;

// Most members of one group (the own peer is not counted).
#define QV_GROUP_MEMBER_MAX 256u

class CQVClassGroup : public IQVClass {
public:
    struct MEMBER_S {
        char szName[128];
        u32 uPeer;     // peer object handle, 0 while unknown
        u32 uFlags;
        u32 uSource;   // 1 joined, 2 learned from the reference, 4 added by the owner
    };
    struct GROUP_S {
        QV_LINK_S<GROUP_S> link;
        QV_NODE_LIST_S objs = {nullptr, nullptr};   // attached node objects
        u32 uState = 0;                  // bit 0 in use
        u32 uObject = 0;
        u32 uRefPeer = 0;
        u32 uFlag = 0;
        u32 uNear = 6;
        MEMBER_S* pMember = nullptr;     // in add order
        u32 uMemberCount = 0;
        u32 uMemberCap = 0;
    };

    CQVClassGroup();
    virtual ~CQVClassGroup();
    CQVClassGroup(const CQVClassGroup&) = delete;
    CQVClassGroup& operator=(const CQVClassGroup&) = delete;

    void Delete() override {}
    bool OnInitialize(void* lpContext, IQVClassProc* lpProc, u32 uMaxObj, u32 uClassOption) override;
    void OnClean() override;
    bool OnAdd(u32 uObject, u32 uGroup, u32 uFlags, u32* lpuInstID) override;
    void OnDelete(u32 uInst) override;
    int OnRequest(u32 uInst, u32 uMethod, const void* lpData, u32 uSize, u32 uParam) override;
    int OnExtReply(u32 uInst, u32 uError, const void* lpData, u32 uSize, u32 uHandle) override;
    int OnSend(u32, u32, const QV_MCAST_RES_S*, u32, u32 uPeer) override { return uPeer ? 0 : 1; }
    int OnReceive(u32 uInst, u32 uPrio, u32 uMethod, u32 uParam, u32 uExtra, u32 uPeer) override;
    u32 OnDisp(u32, u32) override { return 0; }
    void OnNotify(u32, u32, u32, u32) override {}
    void OnExtend(u32, u32, u32, u64, u32) override {}
    void OnTimer(u32) override {}
    const char* OnGetName() override { return "QV_CLASS_Group"; }
    void OnControl(u32, u32, u32) override {}

    void Attach(CQVNodeClassProc* lpProc) { m_pProc = lpProc; }

    // Services the node answers through the group class.
    u32 GetPeer(u32 uInst, u32* lpuPeers, u32* lpuCount);
    u32 GetNear(u32 uInst, u32* lpuPeers, u32* lpuCount);
    u32 IsNear(u32 uInst, u32 uPeer, u32 uWindow);
    u32 GetMaster(u32 uInst);
    u32 SetGroup(u32 uInst, u32 uRefPeer);
    u32 AttachObj(u32 uInst, QV_NODE_S* lpNode);
    u32 DetachObj(u32 uInst, QV_NODE_S* lpNode);
    u32 HelperPeerStatus(u32 uPeer, u32 uSync, u32 uDeleted);
    u32 PeerSyncObjNotify(u32 uPeer, u32 uValue);

private:
    GROUP_S* Group(u32 uInst) const;
    u32 MemberAdd(GROUP_S* g, const char* lpszName, u32 uFlags, u32 uSource);
    void MemberDelete(GROUP_S* g, const char* lpszName);
    int ReqMembers(GROUP_S* g, const void* lpData, u32 uSize);

    CQVNodeClassProc* m_pProc;
    GROUP_S* m_pGroup;
    u32 m_uGroupMax;
    CQVList<GROUP_S> m_Free;
    CQVList<GROUP_S> m_Used;
    u32 m_uClassOption;
    IQVOMLParser* m_pParser;
    IQVString* m_pString;
    u8* m_pRecvBuf;
};
