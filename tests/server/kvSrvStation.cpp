#include "kvSrvStation.h"

#include <string.h>

#include "qvSocketProc.h"   // CQVSocketProc::StrHashCode, the station's name hash

namespace kvsrv {

std::string Station::Key(const QV_ADDR_S& a)
{
    return std::string((const char*)a.uAddr, sizeof(a.uAddr)) + std::string((const char*)&a.uPort, 2);
}

void Station::SetRedirect(const std::vector<QV_ADDR_PAIR_S>& pairs)
{
    std::lock_guard<std::mutex> lk(m_mu);
    m_redirect.clear();
    if (pairs.empty())
        return;
    m_redirect.resize(64);
    for (size_t i = 0; i < 64; i++)
        m_redirect[i] = pairs[i % pairs.size()];
}

void Station::OnConnectControl(const QV_ADDR_S& from, const u8* p, u32 len)
{
    CcMsg m;
    if (!CcParse(p, len, &m))
        return;
    switch (m.letter) {
    case 'H': OnMainRequest(from, m); break;
    case 'D': OnProxyRequest(from, m); break;
    case 'F': OnProxyReply(m); break;
    default: break;
    }
}

void Station::OnMainRequest(const QV_ADDR_S& from, const CcMsg& m)
{
    std::string name = CcMainName(m);
    std::vector<u8> reply;
    {
        std::lock_guard<std::mutex> lk(m_mu);
        const QV_ADDR_PAIR_S* redirect = nullptr;
        if (!name.empty() && m_redirect.size() == 64)
            redirect = &m_redirect[CQVSocketProc::StrHashCode(name.c_str()) & 63];
        reply = BuildMainReply(m, from, redirect);
        if (!name.empty()) {
            auto it = m_names.find(name);
            if (it == m_names.end() && m_names.size() >= kNamesMax) {
                auto oldest = m_names.begin();
                for (auto i = m_names.begin(); i != m_names.end(); ++i)
                    if (i->second.seq < oldest->second.seq)
                        oldest = i;
                m_names.erase(oldest);
            }
            m_names[name] = Named{from, ++m_seq};
        }
    }
    m_send(from, reply.data(), (u32)reply.size());
}

void Station::OnProxyRequest(const QV_ADDR_S& from, const CcMsg& m)
{
    std::vector<u8> e = CcPassOn(m, 'E');
    QV_ADDR_S main = RdRec(m.data, kRec0);
    main.uExtra = 0;
    if (!m.full && (m.flags & kCcRec1)) {
        // The request names the address it was sent from; where it really came from is kept
        // for the reply.
        std::lock_guard<std::mutex> lk(m_mu);
        std::string key = Key(main);
        auto it = m_holes.find(key);
        if (it == m_holes.end() && m_holes.size() >= kHolesMax) {
            auto oldest = m_holes.begin();
            for (auto i = m_holes.begin(); i != m_holes.end(); ++i)
                if (m_tick - i->second.tick > m_tick - oldest->second.tick)
                    oldest = i;
            m_holes.erase(oldest);
        }
        m_holes[key] = HoleRec{from, m_tick};
    } else {
        WrRec(e.data(), kRec1, from);
    }
    QV_ADDR_S dst = RdRec(m.data, kRec2);
    Forward(dst, e);
}

void Station::OnProxyReply(const CcMsg& m)
{
    std::vector<u8> g = CcPassOn(m, 'G');
    QV_ADDR_S main = RdRec(m.data, kRec0);
    main.uExtra = 0;
    QV_ADDR_S second;
    memset(&second, 0, sizeof(second));
    if (!m.full && (m.flags & kCcRec1)) {
        std::lock_guard<std::mutex> lk(m_mu);
        auto it = m_holes.find(Key(main));
        if (it != m_holes.end()) {
            second = it->second.hole;
            it->second.tick = m_tick;
        }
    } else {
        second = RdRec(m.data, kRec1);
    }
    if (qvAddrIPVer(&second) != QV_ADDR_VER_NONE && !SameAddr(second, main))
        Forward(second, g);
    Forward(main, g);
}

void Station::Forward(const QV_ADDR_S& to, const std::vector<u8>& msg)
{
    if (qvAddrIPVer(&to) != QV_ADDR_VER_IPV4 || to.uPort == 0)
        return;
    QV_ADDR_S plain = to;
    plain.uExtra = 0;
    m_send(plain, msg.data(), (u32)msg.size());
}

void Station::OnLoopRequest(const QV_ADDR_S& from, const u8* p, u32 len)
{
    std::vector<u8> reply;
    if (BuildLoopReply(p, len, from, &reply))
        m_send(from, reply.data(), (u32)reply.size());
}

void Station::Tick()
{
    std::lock_guard<std::mutex> lk(m_mu);
    m_tick++;
    for (auto it = m_holes.begin(); it != m_holes.end();) {
        if (m_tick - it->second.tick > kHoleAge)
            it = m_holes.erase(it);
        else
            ++it;
    }
}

bool Station::Seen(const std::string& name, QV_ADDR_S* addr)
{
    std::lock_guard<std::mutex> lk(m_mu);
    auto it = m_names.find(name);
    if (it == m_names.end())
        return false;
    *addr = it->second.addr;
    return true;
}

size_t Station::NameCount()
{
    std::lock_guard<std::mutex> lk(m_mu);
    return m_names.size();
}

size_t Station::HoleCount()
{
    std::lock_guard<std::mutex> lk(m_mu);
    return m_holes.size();
}

bool Station::Hole(const QV_ADDR_S& key, QV_ADDR_S* hole)
{
    std::lock_guard<std::mutex> lk(m_mu);
    QV_ADDR_S k = key;
    k.uExtra = 0;
    auto it = m_holes.find(Key(k));
    if (it == m_holes.end())
        return false;
    *hole = it->second.hole;
    return true;
}

}  // namespace kvsrv
