// Driving a socket driver by hand in the driver tests: the test stands in for the socket
// process's select loop on the one socket the driver handed over (p.fd of the fake process).
#pragma once

#include <poll.h>

#include "qvTimer.h"
#include "qvType.h"

namespace {

// Lets the driver read datagrams (one per SelectProc) until it has read `reads` of them; true
// when it did before the deadline, which only matters on failure. Counting reads proves that
// datagrams the driver must ignore or drop were looked at, however long their way took on a
// busy machine.
template <typename Driv, typename Proc>
bool PumpReads(Driv& d, Proc& p, u32 reads, int timeoutMs = 10000)
{
    // A driver takes every datagram queued on one wake: a call counts for all that were
    // waiting, and the pump is done once the socket stays empty for a while after a call.
    u32 until = GET_TIMESTAMP() + (u32)timeoutMs;
    u32 n = 0;
    while (n < reads && (s32)(until - GET_TIMESTAMP()) > 0) {
        pollfd pf{p.fd, POLLIN, 0};
        if (p.fd >= 0 && poll(&pf, 1, n ? 200 : 20) > 0) {
            d.SelectProc(p.fd, 1, 0, 0);
            n++;
        } else if (n) {
            return true;
        }
    }
    return n >= reads;
}

// Lets the driver take everything queued on its socket after waiting for the first datagram;
// false when none came.
template <typename Driv, typename Proc>
bool PumpDrain(Driv& d, Proc& p, int timeoutMs = 10000)
{
    pollfd pf{p.fd, POLLIN, 0};
    if (p.fd < 0 || poll(&pf, 1, timeoutMs) <= 0)
        return false;
    do {
        d.SelectProc(p.fd, 1, 0, 0);
        pf.revents = 0;
    } while (poll(&pf, 1, 0) > 0);
    return true;
}

}  // namespace
