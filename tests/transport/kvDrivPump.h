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
    u32 until = GET_TIMESTAMP() + (u32)timeoutMs;
    u32 n = 0;
    while (n < reads && (s32)(until - GET_TIMESTAMP()) > 0) {
        pollfd pf{p.fd, POLLIN, 0};
        if (p.fd >= 0 && poll(&pf, 1, 20) > 0) {
            d.SelectProc(p.fd, 1, 0, 0);
            n++;
        }
    }
    return n >= reads;
}

}  // namespace
