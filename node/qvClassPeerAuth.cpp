// Peer class admission by authentication and the peer digest.
#include <cstring>
#include <new>

#include "qvClassPeer.h"
#include "qvNode.h"
#include "qvUtilize.h"

namespace {

const u32 kDigestStep = 256;

}  // namespace

// 1 for the server's entry and for an accepted peer (state 4). The exchange that brings a peer
// to state 4 is built with the authentication messages; until then other peers are refused.
u32 CQVClassPeer::AuthCheckAccept(u32 uInst)
{
    PEER_S* p = EntryInUse(uInst);
    if (!p)
        return 0;
    if (uInst == m_uPrivSvr)
        return 1;
    return p->uAuthState == 4 ? 1 : 0;
}

// SHA-256 of the data mixed with the entry's two cookies: mode 1 (making a digest) byte i
// becomes (d[i] + local[i % 4]) XOR remote[i % 4], mode 0 (checking the peer's) swaps them.
u32 CQVClassPeer::DigestHash(u32 uInst, u32 uMode, const void* lpData, u32 uSize, u8* lpDigest, u32* lpuDigestSize)
{
    PEER_S* p = EntryInUse(uInst);
    if (!p || !lpDigest || !lpuDigestSize || *lpuDigestSize < QV_HASH_SIZE || (uSize && !lpData))
        return 0;
    if (uSize > m_uDigestCap || !m_pDigestBuf) {
        u32 uCap = (uSize / kDigestStep + 1) * kDigestStep;
        u8* b = new (std::nothrow) u8[uCap];
        if (!b)
            return 0;
        delete[] m_pDigestBuf;
        m_pDigestBuf = b;
        m_uDigestCap = uCap;
    }
    u8 aLocal[4], aRemote[4];
    qvSkWr32(aLocal, p->uCookieLcl);
    qvSkWr32(aRemote, p->uCookieRmt);
    const u8* a = uMode ? aLocal : aRemote;
    const u8* x = uMode ? aRemote : aLocal;
    const u8* d = static_cast<const u8*>(lpData);
    for (u32 i = 0; i < uSize; i++)
        m_pDigestBuf[i] = (u8)((u8)(d[i] + a[i % 4]) ^ x[i % 4]);
    if (!qvDataHash(m_pDigestBuf, uSize, lpDigest, *lpuDigestSize))
        return 0;
    *lpuDigestSize = QV_HASH_SIZE;
    return 1;
}
