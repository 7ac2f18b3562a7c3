#include "qvClassGroup.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "qvLog.h"
#include "qvNode.h"

namespace {

const u32 kMemberEntry = 132;   // char[128] name, u32 flags
const u32 kRecvBuf = 4096;

}  // namespace

CQVClassGroup::CQVClassGroup()
    : m_pProc(nullptr), m_pGroup(nullptr), m_uGroupMax(0), m_uClassOption(1), m_pParser(nullptr),
      m_pString(nullptr), m_pRecvBuf(nullptr)
{
}

CQVClassGroup::~CQVClassGroup()
{
    OnClean();
}

bool CQVClassGroup::OnInitialize(void*, IQVClassProc*, u32 uMaxObj, u32 uClassOption)
{
    OnClean();
    m_uClassOption = uClassOption;
    m_pGroup = new (std::nothrow) GROUP_S[uMaxObj];
    m_pParser = qvNewOMLParser();
    m_pString = qvNewString(nullptr);
    m_pRecvBuf = new (std::nothrow) u8[kRecvBuf];
    if (!m_pGroup || !m_pParser || !m_pString || !m_pRecvBuf) {
        OnClean();
        return false;
    }
    m_uGroupMax = uMaxObj;
    for (u32 i = 0; i < uMaxObj; i++)
        m_Free.PushTail(&m_pGroup[i]);
    return true;
}

void CQVClassGroup::OnClean()
{
    if (m_pGroup)
        for (u32 i = 0; i < m_uGroupMax; i++)
            delete[] m_pGroup[i].pMember;
    m_Free.Reset();
    m_Used.Reset();
    delete[] m_pGroup;
    m_pGroup = nullptr;
    m_uGroupMax = 0;
    if (m_pParser)
        m_pParser->Delete();
    if (m_pString)
        m_pString->Delete();
    m_pParser = nullptr;
    m_pString = nullptr;
    delete[] m_pRecvBuf;
    m_pRecvBuf = nullptr;
}

CQVClassGroup::GROUP_S* CQVClassGroup::Group(u32 uInst) const
{
    if (!m_pGroup || uInst >= m_uGroupMax || !(m_pGroup[uInst].uState & 1))
        return nullptr;
    return &m_pGroup[uInst];
}

bool CQVClassGroup::OnAdd(u32 uObject, u32 uGroup, u32 uFlags, u32* lpuInstID)
{
    GROUP_S* g = m_Free.PopHead();
    if (!g)
        return false;
    g->uState = 1;
    g->uObject = uObject;
    g->uRefPeer = uGroup;
    g->uFlag = uFlags;
    g->uNear = 6;
    g->uMemberCount = 0;
    g->objs.pHead = g->objs.pTail = nullptr;
    m_Used.PushTail(g);
    if (lpuInstID)
        *lpuInstID = (u32)(g - m_pGroup);
    return true;
}

void CQVClassGroup::OnDelete(u32 uInst)
{
    GROUP_S* g = Group(uInst);
    if (!g)
        return;
    // The attached objects lose their group.
    while (QV_NODE_S* n = g->objs.pHead) {
        qvNodeListRemove(&g->objs, n);
        m_pProc->ObjDetachGroup(n);
    }
    g->uMemberCount = 0;
    g->uState = 0;
    g->uObject = 0;
    g->uRefPeer = 0;
    m_Used.Remove(g);
    m_Free.PushTail(g);
}

u32 CQVClassGroup::MemberAdd(GROUP_S* g, const char* lpszName, u32 uFlags, u32 uSource)
{
    u32 uPeer = m_pProc->ObjGetID(lpszName);
    u32 uClass = 0xFFFF;
    if (uPeer && (!m_pProc->ObjGetInfo(uPeer, &uClass, nullptr, nullptr, nullptr) || uClass != QV_CLASS_PEER))
        return 0;
    if (!uPeer)
        uPeer = m_pProc->ObjAdd(lpszName, QV_CLASS_PEER, 0, QV_PEER_FLAG_ADDED, nullptr);
    for (u32 i = 0; i < g->uMemberCount; i++)
        if (strcmp(g->pMember[i].szName, lpszName) == 0) {
            g->pMember[i].uPeer = uPeer;
            g->pMember[i].uFlags = uFlags;
            g->pMember[i].uSource |= uSource;
            return 1;
        }
    if (g->uMemberCount >= QV_GROUP_MEMBER_MAX)
        return 0;
    if (g->uMemberCount == g->uMemberCap) {
        u32 uCap = g->uMemberCap + 16;
        MEMBER_S* p = new (std::nothrow) MEMBER_S[uCap];
        if (!p)
            return 0;
        if (g->uMemberCount)
            std::memcpy(p, g->pMember, g->uMemberCount * sizeof(MEMBER_S));
        delete[] g->pMember;
        g->pMember = p;
        g->uMemberCap = uCap;
    }
    MEMBER_S& m = g->pMember[g->uMemberCount++];
    std::memset(&m, 0, sizeof(m));
    strcpy(m.szName, lpszName);
    m.uPeer = uPeer;
    m.uFlags = uFlags;
    m.uSource = uSource;
    // The objects attached to the group are synchronised with the new member.
    for (QV_NODE_S* n = g->objs.pHead; n && uPeer; n = n->lpNext)
        m_pProc->ObjSync(m_pProc->ObjGetByNode(n), uPeer, 1);
    return 1;
}

void CQVClassGroup::MemberDelete(GROUP_S* g, const char* lpszName)
{
    for (u32 i = 0; i < g->uMemberCount; i++) {
        if (strcmp(g->pMember[i].szName, lpszName) != 0)
            continue;
        u32 uPeer = g->pMember[i].uPeer;
        for (QV_NODE_S* n = g->objs.pHead; n && uPeer; n = n->lpNext)
            m_pProc->ObjSync(m_pProc->ObjGetByNode(n), uPeer, 0);
        std::memmove(&g->pMember[i], &g->pMember[i + 1], (g->uMemberCount - i - 1) * sizeof(MEMBER_S));
        g->uMemberCount--;
        return;
    }
}

// Request 32: members set by the owner. Binary: u16 action, u16 count, then count entries of
// char[128] peer name and u32 member flags. Text: "Action" and the elements of "PeerList."
// (element name = peer name, content = flags).
int CQVClassGroup::ReqMembers(GROUP_S* g, const void* lpData, u32 uSize)
{
    if (!lpData)
        return 2;
    if (uSize) {
        if (uSize < 4)
            return 2;
        u16 uAction, uCount;
        std::memcpy(&uAction, lpData, 2);
        std::memcpy(&uCount, static_cast<const u8*>(lpData) + 2, 2);
        if (uSize != 4 + kMemberEntry * (u32)uCount)
            return 2;
        const u8* e = static_cast<const u8*>(lpData) + 4;
        for (u32 i = 0; i < uCount; i++)
            if (!memchr(e + i * kMemberEntry, 0, 128) || !e[i * kMemberEntry])
                return 2;
        for (u32 i = 0; i < uCount; i++) {
            const char* lpszName = reinterpret_cast<const char*>(e + i * kMemberEntry);
            u32 uFlags;
            std::memcpy(&uFlags, e + i * kMemberEntry + 128, 4);
            if (uAction)
                MemberAdd(g, lpszName, uFlags, 4);
            else
                MemberDelete(g, lpszName);
        }
        return 0;
    }
    if (!m_pString->Assign(static_cast<const char*>(lpData)))
        return 1;
    const char* lpszAction = m_pParser->GetContent(m_pString, "Action");
    u32 uAction = lpszAction ? (u32)strtoul(lpszAction, nullptr, 10) : 0;
    for (u32 i = 0; i <= QV_GROUP_MEMBER_MAX; i++) {
        IQVString* e = m_pParser->GetEle(m_pString, "PeerList.", 1, i);
        if (!e)
            break;
        const char* lpszName = m_pParser->GetName(e, "");
        char szName[128];
        u32 uOk = lpszName && lpszName[0] && qvStrCopy(szName, sizeof(szName), lpszName);
        const char* lpszFlags = uOk ? m_pParser->GetContent(e, "") : nullptr;
        u32 uFlags = lpszFlags ? (u32)strtoul(lpszFlags, nullptr, 10) : 0;
        e->Delete();
        if (!uOk)
            return 2;
        if (uAction)
            MemberAdd(g, szName, uFlags, 4);
        else
            MemberDelete(g, szName);
    }
    return 0;
}

int CQVClassGroup::OnRequest(u32 uInst, u32 uMethod, const void* lpData, u32 uSize, u32)
{
    GROUP_S* g = Group(uInst);
    if (!g)
        return 6;
    if (uMethod == 32)
        return ReqMembers(g, lpData, uSize);
    return 4;
}

int CQVClassGroup::OnExtReply(u32 uInst, u32, const void*, u32, u32)
{
    return Group(uInst) ? 4 : 6;
}

// The group's wire exchange with its reference peer is not part of this build: a group
// message is read and dropped so that it does not stay in the socket's queue.
int CQVClassGroup::OnReceive(u32, u32 uPrio, u32 uMethod, u32, u32 uExtra, u32 uPeer)
{
    if (uExtra & 0xFFFF)
        return 0;
    u32 uObject = 0;
    return m_pProc->PeerReceive(uPeer, &uPrio, &uObject, &uMethod, nullptr, nullptr, nullptr, m_pRecvBuf,
                                kRecvBuf - 1, uExtra, 0) > 0
               ? 1
               : 0;
}

u32 CQVClassGroup::GetPeer(u32 uInst, u32* lpuPeers, u32* lpuCount)
{
    GROUP_S* g = Group(uInst);
    if (!g || !lpuCount)
        return 0;
    u32 uSelf = m_pProc->PeerGetSelf();
    u32 n = 0;
    for (u32 i = 0; i < g->uMemberCount; i++) {
        MEMBER_S& m = g->pMember[i];
        u32 uClass = 0xFFFF;
        if (!m.uPeer || !m_pProc->ObjGetInfo(m.uPeer, &uClass, nullptr, nullptr, nullptr) || uClass != QV_CLASS_PEER)
            m.uPeer = m_pProc->ObjGetID(m.szName);
        if (!m.uPeer || m.uPeer == uSelf)
            continue;
        if (lpuPeers) {
            if (n >= *lpuCount)
                break;
            lpuPeers[n] = m.uPeer;
        }
        n++;
    }
    *lpuCount = n;
    return lpuPeers ? 1 : n;
}

u32 CQVClassGroup::GetNear(u32, u32*, u32*)
{
    // No self member without the reference exchange: there is no near window.
    return 0;
}

u32 CQVClassGroup::IsNear(u32, u32, u32)
{
    return 0;
}

u32 CQVClassGroup::GetMaster(u32)
{
    return 0;
}

u32 CQVClassGroup::SetGroup(u32 uInst, u32 uRefPeer)
{
    GROUP_S* g = Group(uInst);
    if (!g)
        return 0;
    if (!(g->uFlag & 0x4))
        g->uRefPeer = uRefPeer;
    return 1;
}

u32 CQVClassGroup::AttachObj(u32 uInst, QV_NODE_S* lpNode)
{
    GROUP_S* g = Group(uInst);
    if (!g || !lpNode)
        return 0;
    qvNodeListPush(&g->objs, lpNode);
    u32 uObject = m_pProc->ObjGetByNode(lpNode);
    for (u32 i = 0; i < g->uMemberCount; i++)
        if (g->pMember[i].uPeer)
            m_pProc->ObjSync(uObject, g->pMember[i].uPeer, 1);
    return 1;
}

u32 CQVClassGroup::DetachObj(u32 uInst, QV_NODE_S* lpNode)
{
    GROUP_S* g = Group(uInst);
    if (!g || !lpNode)
        return 0;
    u32 uObject = m_pProc->ObjGetByNode(lpNode);
    for (u32 i = 0; i < g->uMemberCount; i++)
        if (g->pMember[i].uPeer)
            m_pProc->ObjSync(uObject, g->pMember[i].uPeer, 0);
    qvNodeListRemove(&g->objs, lpNode);
    return 1;
}

u32 CQVClassGroup::HelperPeerStatus(u32 uPeer, u32 uSync, u32 uDeleted)
{
    char szName[128];
    if (!m_pProc->ObjGetName(uPeer, szName, sizeof(szName)))
        return 0;
    for (GROUP_S* g = m_Used.Head(); g; g = CQVList<GROUP_S>::Next(g))
        for (u32 i = 0; i < g->uMemberCount; i++) {
            MEMBER_S& m = g->pMember[i];
            if (strcmp(m.szName, szName) != 0)
                continue;
            if (uDeleted) {
                m.uPeer = 0;
            } else {
                m.uPeer = uPeer;
                if (uSync)
                    for (QV_NODE_S* n = g->objs.pHead; n; n = n->lpNext)
                        m_pProc->ObjSync(m_pProc->ObjGetByNode(n), uPeer, 1);
            }
        }
    return 1;
}

u32 CQVClassGroup::PeerSyncObjNotify(u32, u32)
{
    return 1;
}
