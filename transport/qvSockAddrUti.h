// Address helpers of the peer transport (socket layer, socket process, drivers): one
// definition each.
#pragma once

#include "qvSocketAddr.h"

// Same IP (all four words) and port; the extra word does not count.
inline bool AddrEq(const QV_ADDR_S& A, const QV_ADDR_S& B)
{
    return A.uAddr[0] == B.uAddr[0] && A.uAddr[1] == B.uAddr[1] && A.uAddr[2] == B.uAddr[2] &&
           A.uAddr[3] == B.uAddr[3] && A.uPort == B.uPort;
}

// No IP version: the address was never set.
inline bool AddrEmpty(const QV_ADDR_S& A)
{
    return qvAddrIPVer(&A) == QV_ADDR_VER_NONE;
}

// The readable form in lpszBuf (QV_ADDR_STR_SIZE bytes), "" when there is none; returns lpszBuf.
inline const char* AddrText(const QV_ADDR_S& A, char* lpszBuf)
{
    if (!qvAddrToReadable(&A, lpszBuf, QV_ADDR_STR_SIZE))
        lpszBuf[0] = 0;
    return lpszBuf;
}
