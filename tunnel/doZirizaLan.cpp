// Peers found by LAN scans: a fixed table of the last 16 with their LAN addresses, used to reach
// peers directly when there is no server login; every new or moved peer becomes a static peer
// of the direct tunnels to it.
#include <cstring>

#include "doZiriza.h"
#include "doZirizaOmlDoc.h"
#include "qvLog.h"

CDOZiriza::LAN_PEER_S* CDOZiriza::LanScanPeerSearch(const char* lpszPeer)
{
    if (lpszPeer == nullptr || *lpszPeer == 0)
        return nullptr;
    for (LAN_PEER_S& s : m_aLanPeer)
        if (!s.strPeer.empty() && s.strPeer == lpszPeer)
            return &s;
    return nullptr;
}

u32 CDOZiriza::LanScanPeerUpdate(const char* lpszPeer, const char* lpszAddr)
{
    const u32 uNow = m_uTickStamp;
    if (LAN_PEER_S* p = LanScanPeerSearch(lpszPeer))
    {
        p->uStamp = uNow;
        if (p->strAddr == lpszAddr)
            return 0;
        p->strAddr = lpszAddr;
        return 1;
    }
    LAN_PEER_S* pSlot = nullptr;
    for (LAN_PEER_S& s : m_aLanPeer)
        if (s.strPeer.empty())
        {
            pSlot = &s;
            break;
        }
    if (pSlot == nullptr)
    {
        // The slot reported longest ago gives way; one reported in this very tick never does.
        u32 uOldest = 0;
        for (LAN_PEER_S& s : m_aLanPeer)
        {
            u32 uAge = uNow - s.uStamp;
            if (uAge > uOldest)
            {
                uOldest = uAge;
                pSlot = &s;
            }
        }
        if (pSlot == nullptr)
            return 0;
    }
    if (!pSlot->strPeer.assign(lpszPeer) || !pSlot->strAddr.assign(lpszAddr))
    {
        pSlot->strPeer.clear();
        pSlot->strAddr.clear();
        return 0;
    }
    pSlot->uStamp = uNow;
    return 1;
}

void CDOZiriza::LanScanPeerClean()
{
    for (LAN_PEER_S& s : m_aLanPeer)
    {
        s.uStamp = 0;
        s.strPeer.clear();
        s.strAddr.clear();
    }
}

void CDOZiriza::MsgLanScan(const char* lpszList)
{
    // "(peer){address}" per found peer; names were escaped by the node adapter.
    CDOZirizaOmlDoc doc(lpszList);
    const QV_STRING strSelf(m_Node.GetLoginUser());
    for (u32 i = 0;; i++)
    {
        IQVString* pEle = doc.Element("", i);
        if (pEle == nullptr)
            break;
        CDOZirizaOmlDoc ele(pEle->CStr());
        pEle->Delete();
        const char* lpszName = ele.Name("");
        const char* lpszAddr = ele.Content("");
        if (lpszName == nullptr || lpszAddr == nullptr || *lpszName == 0 || *lpszAddr == 0)
            continue;
        if (strSelf == lpszName || m_LoginInfo.strUser == lpszName)
            continue;
        QV_STRING strPeer(lpszName), strAddr(lpszAddr);
        if (LanScanPeerUpdate(strPeer.c_str(), strAddr.c_str()))
            DirectTunnelPeerStatic(strPeer.c_str(), strAddr.c_str());
    }
}
