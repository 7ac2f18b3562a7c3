// Peer authorisation records: the authorisation text the host set for a peer, handed to the
// peer's node object whenever that object is made or found again.
#include <cstring>
#include <new>

#include "doZiriza.h"
#include "qvLog.h"

void CDOZiriza::AuthObfuscate(const char* lpszSrc, char* lpszDst, u32 uSize)
{
    if (lpszDst == nullptr || uSize == 0)
        return;
    const char* lpsz = lpszSrc ? lpszSrc : "";
    size_t n = strlen(lpsz);
    if (n >= uSize)
    {
        lpszDst[0] = 0;
        return;
    }
    memcpy(lpszDst, lpsz, n + 1);
    // A quarter in, half of the text is starred: enough for a log reader to tell texts apart.
    size_t uStart = n / 4;
    size_t uCount = n / 2;
    for (size_t i = uStart; i < uStart + uCount && i < n; i++)
        lpszDst[i] = '*';
}

CDOZiriza::PEER_AUTH_S* CDOZiriza::PeerAuthSearch(const char* lpszPeer)
{
    if (lpszPeer == nullptr)
        return nullptr;
    for (PEER_AUTH_S* p = m_ListPeerAuth.Head(); p != nullptr; p = CQVList<PEER_AUTH_S>::Next(p))
        if (p->strPeer == lpszPeer)
            return p;
    return nullptr;
}

u32 CDOZiriza::PeerAuthSet(const char* lpszPeer, const char* lpszInfo)
{
    const char* lpszText = lpszInfo ? lpszInfo : "";
    char szMasked[256];
    AuthObfuscate(lpszText, szMasked, sizeof(szMasked));
    qvLogOut(3, "Tunnel: PeerAuthSet, lpszPeer=%s, Info=%s", lpszPeer ? lpszPeer : "", szMasked);
    const u32 uObj = m_Node.GetObjID(lpszPeer ? lpszPeer : "");
    PEER_AUTH_S* p = PeerAuthSearch(lpszPeer);
    if (*lpszText == 0)
    {
        if (p != nullptr)
        {
            m_ListPeerAuth.Remove(p);
            delete p;
        }
    }
    else
    {
        if (p == nullptr)
        {
            // One record per peer the host names; the host's own calls make them.
            p = new (std::nothrow) PEER_AUTH_S;
            if (p == nullptr || !p->strPeer.assign(lpszPeer ? lpszPeer : ""))
            {
                delete p;
                return 0;
            }
            m_ListPeerAuth.PushTail(p);
        }
        if (!p->strInfo.assign(lpszText))
            return 0;
        p->uPeer = uObj;
    }
    m_Node.PeerAuthSetInfo(uObj, lpszText);
    return 1;
}

void CDOZiriza::PeerAuthSetObj(const char* lpszPeer, u32 uObj)
{
    PEER_AUTH_S* p = PeerAuthSearch(lpszPeer);
    if (p == nullptr || p->uPeer == uObj)
        return;
    m_Node.PeerAuthSetInfo(uObj, p->strInfo.c_str());
    p->uPeer = uObj;
}

void CDOZiriza::PeerAuthClean()
{
    while (PEER_AUTH_S* p = m_ListPeerAuth.PopHead())
        delete p;
}
