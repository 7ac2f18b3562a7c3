// Test rendezvous server: the station. Tells every client the address it is seen from ('H'
// answered with 'I', optionally naming a redirect pair), passes proxy requests and replies
// between clients ('D' on as 'E' to the destination, 'F' on as 'G' to the requester) keeping a
// proxy hole for requests that name the address they were sent from, and answers the UDP over
// IPv4 loop request (0x81 with 0x82).
//
// Choices where the client side leaves the station open, written down here:
//   - IPv4 only: the server listens on one UDP socket; messages naming an IPv6 destination,
//     and 'H' received in NAT64 form, are dropped.
//   - No budgets: every 'H', 'D' and 'F' is answered or passed on (no main speed, no
//     forwarding byte budget).
//   - The redirect table has 64 entries filled cyclically from the configured pairs; an 'H'
//     of 212 bytes with a name picks entry StrHashCode(name) & 63, any other gets zero
//     redirect records. Without configured pairs there is no redirect.
//   - Names seen in 'H' (the client's own peer name at [84]) are kept with the address they
//     came from, at most kNamesMax of them, the least recently seen making room; the node
//     session answers status queries from them (a client that has its station sends no more
//     'H', so names do not age).
//   - A proxy hole lives kHoleAge ticks after its last use, at most kHolesMax of them, the
//     oldest making room.
//   - The loop reply takes the client's report whenever one is flagged and echoes its NAT
//     fields; it names no detection servers.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kvSrvWire.h"

namespace kvsrv {

class Station {
public:
    using SendFn = std::function<void(const QV_ADDR_S& to, const u8* data, u32 len)>;
    static constexpr u32 kNamesMax = 4096;
    static constexpr u32 kHolesMax = 4096;
    static constexpr u32 kHoleAge = 10;   // ticks

    explicit Station(SendFn send) : m_send(std::move(send)) {}

    // Redirect pairs for 'H' (IPv4 station, IPv6 station); an empty list switches it off.
    void SetRedirect(const std::vector<QV_ADDR_PAIR_S>& pairs);

    // A datagram whose byte 1 is a connect-control letter.
    void OnConnectControl(const QV_ADDR_S& from, const u8* p, u32 len);
    // A datagram whose byte 1 is 0x81.
    void OnLoopRequest(const QV_ADDR_S& from, const u8* p, u32 len);
    // One second: ages the proxy holes.
    void Tick();

    // The address the named client sent its last 'H' from.
    bool Seen(const std::string& name, QV_ADDR_S* addr);
    size_t NameCount();
    size_t HoleCount();
    bool Hole(const QV_ADDR_S& key, QV_ADDR_S* hole);

private:
    struct Named {
        QV_ADDR_S addr;
        u64 seq;           // order of the last 'H' (least recent makes room)
    };
    struct HoleRec {
        QV_ADDR_S hole;
        u32 tick;          // last use
    };
    static std::string Key(const QV_ADDR_S& a);
    void OnMainRequest(const QV_ADDR_S& from, const CcMsg& m);
    void OnProxyRequest(const QV_ADDR_S& from, const CcMsg& m);
    void OnProxyReply(const CcMsg& m);
    void Forward(const QV_ADDR_S& to, const std::vector<u8>& msg);

    SendFn m_send;
    std::mutex m_mu;
    std::vector<QV_ADDR_PAIR_S> m_redirect;   // 64 entries or none
    std::map<std::string, Named> m_names;
    u64 m_seq = 0;
    std::map<std::string, HoleRec> m_holes;   // by the client's main address
    u32 m_tick = 0;
};

}  // namespace kvsrv
