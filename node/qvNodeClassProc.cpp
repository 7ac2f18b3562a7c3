// Class services that reach peers and groups: peer status, addresses, stamps, sending and
// receiving through the Peer class, the socket queues of a peer, digests, and the group
// class's member services.
#include <cstring>

#include "qvLog.h"
#include "qvNode.h"

u32 CQVNodeClassProc::ClassGetID(const char* lpszName)
{
    if (!lpszName)
        return 0xFFFF;
    for (u32 i = 0; i < QV_CLASS_MAX; i++) {
        IQVClass* c = m_pNode->m_Class[i].p;
        if (!c)
            continue;
        const char* lpszClass = c->OnGetName();
        if (lpszClass && strcmp(lpszClass, lpszName) == 0)
            return i;
    }
    return 0xFFFF;
}

u32 CQVNodeClassProc::PeerGetSize()
{
    return m_pNode->m_ClassPeer.GetTableSize();
}

u32 CQVNodeClassProc::PeerGetSelf()
{
    return m_pNode->m_ClassPeer.GetSelf();
}

u32 CQVNodeClassProc::PeerGetStatus(u32 uPeer)
{
    u32 uInst = 0;
    if (!m_pNode->PeerInst(uPeer, &uInst))
        return 0;
    const CQVClassPeer::PEER_S* p = m_pNode->m_ClassPeer.PeerAt(uInst);
    return p ? p->uStatus : QV_PEER_STA_SYNC;
}

bool CQVNodeClassProc::PeerGetAddr(u32 uPeer, QV_ADDR_S* lpAddr)
{
    u32 uInst = 0;
    if (!lpAddr || !m_pNode->PeerInst(uPeer, &uInst))
        return false;
    const CQVClassPeer::PEER_S* p = m_pNode->m_ClassPeer.PeerAt(uInst);
    if (!p)
        return m_pNode->m_Socket.GetAddr(lpAddr, 2) != 0;
    *lpAddr = p->addr;
    return true;
}

u32 CQVNodeClassProc::PeerLocalStamp(u32 uPeer, u32 uStamp)
{
    u32 uInst = 0;
    if (!m_pNode->PeerInst(uPeer, &uInst))
        return 0;
    const CQVClassPeer::PEER_S* p = m_pNode->m_ClassPeer.PeerAt(uInst);
    return p ? uStamp + (u32)p->iClockOffset : 0;
}

u32 CQVNodeClassProc::PeerSyncStamp(u32 uPeer)
{
    u32 uInst = 0;
    if (!m_pNode->PeerInst(uPeer, &uInst))
        return 0;
    return m_pNode->m_ClassPeer.SyncStampSend(uInst);
}

int CQVNodeClassProc::PeerSend(u32 uPeer, u32* lpuPrio, u32 uObject, u32 uMethod, u32 uFlag, u32 uParam,
                               u32* lpuRoom, void* lpData, u32 uSize, u32 uKind)
{
    if (!lpData || !uSize)
        return -4;
    CQVNode& n = *m_pNode;
    u32 uInst = 0;
    CQVNode::OBJ_S* o = n.ObjGet(uObject);
    if (!o || !n.PeerInst(uPeer, &uInst))
        return -3;
    QV_SK_BUF_S b;
    std::memset(&b, 0, sizeof(b));
    b.uObject = n.PeerIDGet(o, uPeer);
    b.uMethod = (u16)uMethod;
    b.uFlag = (u16)uFlag;
    b.uPrio = lpuPrio ? *lpuPrio : 4;
    b.uHandle2 = uParam;
    b.uSize = uSize;
    b.lpData = static_cast<u8*>(lpData);
    u32 uSendFlags = 0;
    if (o->uOption0 & QV_OBJ_OPT_HFLAG)
        uSendFlags |= QV_SOCK_SEND_HFLAG;
    if (o->uOption0 & QV_OBJ_OPT_ENCRYPT)
        uSendFlags |= QV_SOCK_SEND_ENCRYPT;
    s32 r = n.m_ClassPeer.Send(uInst, b, uSendFlags, uKind, uObject);
    if (r <= 0)
        return r;
    if (lpuPrio)
        *lpuPrio = b.uPrio;
    if (lpuRoom)
        *lpuRoom = b.uRemain;
    return r;
}

int CQVNodeClassProc::PeerReceive(u32 uPeer, u32* lpuPrio, u32* lpuObject, u32* lpuMethod, u32* lpuFlag,
                                  u32* lpuParam, u32* lpuRoom, void* lpBuf, u32 uSize, u32 uE, u32 uFlags)
{
    if (!lpBuf || !uSize)
        return -4;
    CQVNode& n = *m_pNode;
    u32 uInst = 0;
    if (!n.PeerInst(uPeer, &uInst)) {
        qvPrintf("CQVNode::PeerReceive, Bad peer object. uPeer=%u", uPeer);
        return -3;
    }
    QV_SK_BUF_S b;
    std::memset(&b, 0, sizeof(b));
    b.uPrio = lpuPrio ? *lpuPrio : 4;
    b.uObject = lpuObject ? *lpuObject : 0;
    b.uMethod = (u16)(lpuMethod ? *lpuMethod : 0xFFFF);
    b.uSize = uSize;
    b.lpData = static_cast<u8*>(lpBuf);
    s32 r = n.m_ClassPeer.Receive(uInst, b, uFlags, uE & 0xFFFF, uE >> 16);
    if (r <= 0 && !(uFlags & QV_SOCK_RECV_FILL))
        return r;
    if (lpuPrio)
        *lpuPrio = b.uPrio;
    if (lpuObject)
        *lpuObject = b.uObject;
    if (lpuMethod)
        *lpuMethod = b.uMethod;
    if (lpuFlag)
        *lpuFlag = b.uFlag;
    if (lpuParam)
        *lpuParam = b.uHandle2;
    if (lpuRoom)
        *lpuRoom = b.uRemain;
    return r;
}

namespace {

// The socket of a peer object's entry, 0 when it has none.
u32 PeerSocket(CQVNode* lpNode, u32 uInst, const CQVClassPeer& peers)
{
    (void)lpNode;
    const CQVClassPeer::PEER_S* p = peers.PeerAt(uInst);
    return (p && p->uStatus) ? p->uSockID : 0;
}

}  // namespace

int CQVNodeClassProc::PeerSendRemain(u32 uPeer, u32 uPrio)
{
    u32 uInst = 0;
    if (!m_pNode->PeerInst(uPeer, &uInst) || !m_pNode->m_ClassPeer.PeerAt(uInst))
        return -3;
    return m_pNode->m_Socket.SendRemain(PeerSocket(m_pNode, uInst, m_pNode->m_ClassPeer), uPrio);
}

int CQVNodeClassProc::PeerReceiveRemain(u32 uPeer, u32* lpuOut, u32 uA, u32 uB)
{
    u32 uInst = 0;
    if (!lpuOut || !m_pNode->PeerInst(uPeer, &uInst) || !m_pNode->m_ClassPeer.PeerAt(uInst))
        return -3;
    return m_pNode->m_Socket.ReceiveRemain(PeerSocket(m_pNode, uInst, m_pNode->m_ClassPeer), *lpuOut, uA, uB);
}

int CQVNodeClassProc::PeerSendQueStatus(u32 uPeer, u32 uPrio, u32* lpuFree, u32* lpuUsed)
{
    u32 uInst = 0;
    if (!m_pNode->PeerInst(uPeer, &uInst) || !m_pNode->m_ClassPeer.PeerAt(uInst))
        return -3;
    return m_pNode->m_Socket.SendQueStatus(PeerSocket(m_pNode, uInst, m_pNode->m_ClassPeer), uPrio, lpuFree,
                                           lpuUsed);
}

int CQVNodeClassProc::PeerReceiveQueStatus(u32 uPeer, u32 uPrio, u32* lpuFree, u32* lpuUsed)
{
    u32 uInst = 0;
    if (!m_pNode->PeerInst(uPeer, &uInst) || !m_pNode->m_ClassPeer.PeerAt(uInst))
        return -3;
    return m_pNode->m_Socket.ReceiveQueStatus(PeerSocket(m_pNode, uInst, m_pNode->m_ClassPeer), uPrio, lpuFree,
                                              lpuUsed);
}

int CQVNodeClassProc::PeerSendDrop(u32 uPeer, u32 uA, u32 uB)
{
    u32 uInst = 0;
    if (!m_pNode->PeerInst(uPeer, &uInst) || !m_pNode->m_ClassPeer.PeerAt(uInst))
        return -3;
    return m_pNode->m_Socket.SendDropByHandle(PeerSocket(m_pNode, uInst, m_pNode->m_ClassPeer), uA, uB);
}

bool CQVNodeClassProc::PeerDigestGen(u32 uPeer, const void* lpData, u32 uSize, u8* lpDigest, u32* lpuDigestSize)
{
    u32 uInst = 0;
    if (!m_pNode->PeerInst(uPeer, &uInst) || !m_pNode->m_ClassPeer.PeerAt(uInst))
        return false;
    return m_pNode->m_ClassPeer.DigestHash(uInst, 1, lpData, uSize, lpDigest, lpuDigestSize) != 0;
}

bool CQVNodeClassProc::PeerDigestVerify(u32 uPeer, const void* lpData, u32 uSize, const u8* lpDigest,
                                        u32 uDigestSize)
{
    u32 uInst = 0;
    if (!lpDigest || uDigestSize < QV_HASH_SIZE || !m_pNode->PeerInst(uPeer, &uInst) ||
        !m_pNode->m_ClassPeer.PeerAt(uInst))
        return false;
    u8 d[QV_HASH_SIZE];
    u32 uLen = sizeof(d);
    if (!m_pNode->m_ClassPeer.DigestHash(uInst, 0, lpData, uSize, d, &uLen))
        return false;
    return std::memcmp(d, lpDigest, QV_HASH_SIZE) == 0;
}

// Group services.


bool CQVNodeClassProc::GroupGetPeer(u32 uGroup, u32* lpuPeers, u32* lpuCount)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uGroup);
    if (!o || o->uClass != QV_CLASS_GROUP)
        return false;
    return m_pNode->m_ClassGroup.GetPeer(o->uInst, lpuPeers, lpuCount) != 0;
}

bool CQVNodeClassProc::GroupGetNear(u32 uGroup, u32* lpuPeers, u32* lpuCount)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uGroup);
    if (!o || o->uClass != QV_CLASS_GROUP)
        return false;
    return m_pNode->m_ClassGroup.GetNear(o->uInst, lpuPeers, lpuCount) != 0;
}

bool CQVNodeClassProc::GroupIsNear(u32 uGroup, u32 uA, u32 uB)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uGroup);
    if (!o || o->uClass != QV_CLASS_GROUP)
        return false;
    return m_pNode->m_ClassGroup.IsNear(o->uInst, uA, uB) != 0;
}

u32 CQVNodeClassProc::GroupGetMaster(u32 uGroup)
{
    CQVNode::OBJ_S* o = m_pNode->ObjGet(uGroup);
    if (!o || o->uClass != QV_CLASS_GROUP)
        return 0;
    return m_pNode->m_ClassGroup.GetMaster(o->uInst);
}

u32 CQVNodeClassProc::GroupPeerSync(u32 uPeer, u32 uStatus)
{
    return m_pNode->m_ClassGroup.HelperPeerStatus(uPeer, uStatus, 0);
}

u32 CQVNodeClassProc::GroupPeerDelete(u32 uPeer)
{
    return m_pNode->m_ClassGroup.HelperPeerStatus(uPeer, 0, 1);
}

u32 CQVNodeClassProc::GroupPeerSyncObjNotify(u32 uA, u32 uB)
{
    return m_pNode->m_ClassGroup.PeerSyncObjNotify(uA, uB);
}

u32 CQVNodeClassProc::PeerSyncObjNotify(u32 uPeer, u32 uA, u32 uB)
{
    u32 uInst = 0;
    if (!m_pNode->PeerInst(uPeer, &uInst))
        return 0;
    return m_pNode->m_ClassPeer.SyncObjNotify(uInst, uA, uB);
}
