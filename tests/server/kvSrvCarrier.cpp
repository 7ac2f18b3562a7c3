#include "kvSrvCarrier.h"

#include <string.h>

namespace kvsrv {

std::string Carrier::Key(const QV_ADDR_S& a)
{
    return std::string((const char*)a.uAddr, sizeof(a.uAddr)) + std::string((const char*)&a.uPort, 2);
}

void Carrier::Clean()
{
    std::lock_guard<std::mutex> lk(m_mu);
    m_byHandle.clear();
    m_byAddr.clear();
}

u32 Carrier::Add(const QV_ADDR_S& addr, u32 uSockID)
{
    std::lock_guard<std::mutex> lk(m_mu);
    QV_ADDR_S a = addr;
    a.uExtra = 0;
    auto it = m_byAddr.find(Key(a));
    if (it != m_byAddr.end()) {
        m_byHandle[it->second].sid = uSockID;
        return it->second;
    }
    u32 h = m_next++;
    if (!m_next)
        m_next = 1;
    m_byHandle[h] = Peer{a, uSockID};
    m_byAddr[Key(a)] = h;
    return h;
}

void Carrier::Delete(u32 uHandle)
{
    std::lock_guard<std::mutex> lk(m_mu);
    auto it = m_byHandle.find(uHandle);
    if (it == m_byHandle.end())
        return;
    auto ai = m_byAddr.find(Key(it->second.addr));
    if (ai != m_byAddr.end() && ai->second == uHandle)
        m_byAddr.erase(ai);
    m_byHandle.erase(it);
}

u32 Carrier::Search(const QV_ADDR_S& addr, u32& uSockID)
{
    std::lock_guard<std::mutex> lk(m_mu);
    QV_ADDR_S a = addr;
    a.uExtra = 0;
    auto it = m_byAddr.find(Key(a));
    if (it == m_byAddr.end())
        return 0;
    uSockID = m_byHandle[it->second].sid;
    return it->second;
}

u32 Carrier::SetPeerParam(u32 uHandle, u32 uSockID)
{
    std::lock_guard<std::mutex> lk(m_mu);
    auto it = m_byHandle.find(uHandle);
    if (it == m_byHandle.end())
        return 0;
    it->second.sid = uSockID;
    return 1;
}

u32 Carrier::GetPeerAddr(u32 uHandle, QV_ADDR_S* lpAddr)
{
    std::lock_guard<std::mutex> lk(m_mu);
    auto it = m_byHandle.find(uHandle);
    if (it == m_byHandle.end() || !lpAddr)
        return 0;
    *lpAddr = it->second.addr;
    return 1;
}

s32 Carrier::Send(u32 uHandle, const QV_BUF_S& buf, u32 uCnntID, u32, u32* lpuCnntUsed)
{
    QV_ADDR_S to;
    {
        std::lock_guard<std::mutex> lk(m_mu);
        auto it = m_byHandle.find(uHandle);
        if (it == m_byHandle.end())
            return -1;
        to = it->second.addr;
    }
    if (lpuCnntUsed)
        *lpuCnntUsed = uCnntID;
    return m_send(to, buf.buf + buf.uOffset, buf.uLen);
}

s32 Carrier::SendDirect(const QV_ADDR_S& addr, const QV_BUF_S& buf, u32)
{
    return m_send(addr, buf.buf + buf.uOffset, buf.uLen);
}

}  // namespace kvsrv
