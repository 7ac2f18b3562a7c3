// Address record helpers: text forms, areas, public tests, host[:port] parsing, NAT64 prefix
// and the choice of a local source address.
#include "qvSocketAddr.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "qvLog.h"
#include "qvSysNet.h"

namespace {

// Longest field of the internal text form, terminating zero excluded.
const u32 ADDR_FIELD_MAX = 63;
// Host and port buffers used when a text is only checked, zero included.
const u32 HOST_SIZE = 128;
const u32 PORT_SIZE = 16;

u32 HostOrder(const QV_ADDR_S* lpAddr, u32 uIndex)
{
    return ntohl(lpAddr->uAddr[uIndex]);
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A hexadecimal field of at most 8 digits (32 bits).
u32 ParseHex32(const char* lpszField, u32* lpValue)
{
    u32 uLen = (u32)strlen(lpszField);
    if (uLen == 0 || uLen > 8)
        return 0;
    u32 uValue = 0;
    for (u32 i = 0; i < uLen; i++) {
        int iDigit = HexDigit(lpszField[i]);
        if (iDigit < 0)
            return 0;
        uValue = (uValue << 4) | (u32)iDigit;
    }
    *lpValue = uValue;
    return 1;
}

// Decimal digits whose value does not exceed uMax; a long run of digits is refused instead of
// wrapping around 32 bits.
u32 ParseDecimal(const char* lpszField, u32 uMax, u32* lpValue)
{
    if (*lpszField == '\0')
        return 0;
    u64 uValue = 0;
    for (const char* p = lpszField; *p; p++) {
        if (*p < '0' || *p > '9')
            return 0;
        uValue = uValue * 10 + (u64)(*p - '0');
        if (uValue > uMax)
            return 0;
    }
    *lpValue = (u32)uValue;
    return 1;
}

u32 CountChar(const char* lpszText, char c)
{
    u32 uCount = 0;
    for (const char* p = lpszText; *p; p++)
        if (*p == c)
            uCount++;
    return uCount;
}

// IPv6 helpers over the bytes of an address in network order.
u8 ByteAt(const QV_ADDR_S* lpAddr, u32 uIndex)
{
    return ((const u8*)lpAddr->uAddr)[uIndex];
}

// ::x: first 112 bits zero, last group non-zero.
u32 IsV6HostForm(const QV_ADDR_S* lpAddr)
{
    if (lpAddr->uAddr[0] || lpAddr->uAddr[1] || lpAddr->uAddr[2])
        return 0;
    u32 uLast = HostOrder(lpAddr, 3);
    return ((uLast >> 16) == 0 && (uLast & 0xFFFF) != 0) ? 1 : 0;
}

u32 IsV6LinkLocal(const QV_ADDR_S* lpAddr)
{
    return (ByteAt(lpAddr, 0) == 0xFE && (ByteAt(lpAddr, 1) & 0xC0) == 0x80) ? 1 : 0;
}

u32 IsV6SiteLocal(const QV_ADDR_S* lpAddr)
{
    return (ByteAt(lpAddr, 0) == 0xFE && (ByteAt(lpAddr, 1) & 0xC0) == 0xC0) ? 1 : 0;
}

// fe80::/9: link-local and site-local together.
u32 IsV6Fe80Slash9(const QV_ADDR_S* lpAddr)
{
    return (ByteAt(lpAddr, 0) == 0xFE && ByteAt(lpAddr, 1) >= 0x80) ? 1 : 0;
}

u32 IsV4Loopback(u32 uIPv4)
{
    return ((ntohl(uIPv4) >> 24) == 127) ? 1 : 0;
}

} // namespace

u32 qvAddrToStr(const QV_ADDR_S* lpAddr, char* lpszOut, u32 uSize)
{
    if (!lpAddr || !lpszOut || uSize == 0)
        return 0;
    int iLen = snprintf(lpszOut, uSize, "%x:%x:%x:%x:%u:%u", HostOrder(lpAddr, 0),
                        HostOrder(lpAddr, 1), HostOrder(lpAddr, 2), HostOrder(lpAddr, 3),
                        (u32)lpAddr->uPort, (u32)lpAddr->uExtra);
    return (iLen >= 0 && (u32)iLen < uSize) ? 1 : 0;
}

u32 qvStrToAddr(const char* lpszText, QV_ADDR_S* lpAddr)
{
    if (!lpAddr)
        return 0;
    memset(lpAddr, 0, sizeof(*lpAddr));
    if (!lpszText)
        return 0;

    char szField[6][ADDR_FIELD_MAX + 1];
    const char* p = lpszText;
    for (u32 i = 0; i < 6; i++) {
        const char* lpEnd = strchr(p, ':');
        if (i < 5 && !lpEnd)
            return 0;
        if (i == 5) {
            if (lpEnd) // more than six fields
                return 0;
            lpEnd = p + strlen(p);
        }
        u32 uLen = (u32)(lpEnd - p);
        if (uLen > ADDR_FIELD_MAX)
            return 0;
        memcpy(szField[i], p, uLen);
        szField[i][uLen] = '\0';
        p = lpEnd + 1;
    }

    QV_ADDR_S Addr;
    memset(&Addr, 0, sizeof(Addr));
    for (u32 i = 0; i < 4; i++) {
        u32 uWord = 0;
        if (i == 3 && CountChar(szField[3], '.') == 3) {
            struct in_addr In;
            if (inet_pton(AF_INET, szField[3], &In) != 1)
                return 0;
            Addr.uAddr[3] = In.s_addr;
            continue;
        }
        if (!ParseHex32(szField[i], &uWord))
            return 0;
        Addr.uAddr[i] = htonl(uWord);
    }
    u32 uPort = 0, uExtra = 0;
    if (!ParseDecimal(szField[4], 0xFFFF, &uPort) || !ParseDecimal(szField[5], 0xFFFF, &uExtra))
        return 0;
    Addr.uPort = (u16)uPort;
    Addr.uExtra = (u16)uExtra;
    *lpAddr = Addr;
    return 1;
}

u32 qvAddrToReadable(const QV_ADDR_S* lpAddr, char* lpszOut, u32 uSize)
{
    if (!lpAddr || !lpszOut || uSize == 0)
        return 0;
    int iLen = -1;
    switch (qvAddrIPVer(lpAddr)) {
    case QV_ADDR_VER_IPV4: {
        const u8* b = (const u8*)&lpAddr->uAddr[3];
        iLen = snprintf(lpszOut, uSize, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3],
                        (u32)lpAddr->uPort);
        break;
    }
    case QV_ADDR_VER_IPV6: {
        u32 g[8];
        for (u32 i = 0; i < 4; i++) {
            u32 w = HostOrder(lpAddr, i);
            g[i * 2] = w >> 16;
            g[i * 2 + 1] = w & 0xFFFF;
        }
        iLen = snprintf(lpszOut, uSize, "[%x:%x:%x:%x:%x:%x:%x:%x]:%u", g[0], g[1], g[2], g[3],
                        g[4], g[5], g[6], g[7], (u32)lpAddr->uPort);
        break;
    }
    default:
        return qvAddrToStr(lpAddr, lpszOut, uSize);
    }
    return (iLen >= 0 && (u32)iLen < uSize) ? 1 : 0;
}

int qvAddrCompare(const QV_ADDR_S* lpA, const QV_ADDR_S* lpB)
{
    for (int i = 3; i >= 0; i--) {
        u32 a = HostOrder(lpA, (u32)i), b = HostOrder(lpB, (u32)i);
        if (a != b)
            return a < b ? -1 : 1;
    }
    if (lpA->uPort != lpB->uPort)
        return lpA->uPort < lpB->uPort ? -1 : 1;
    return 0;
}

u32 qvAddrIPVer(const QV_ADDR_S* lpAddr)
{
    if (!lpAddr)
        return QV_ADDR_VER_NONE;
    if (lpAddr->uAddr[0] || lpAddr->uAddr[1] || lpAddr->uAddr[2])
        return QV_ADDR_VER_IPV6;
    if (lpAddr->uAddr[3] == htonl(1))
        return QV_ADDR_VER_IPV6;
    if (lpAddr->uAddr[3] == 0)
        return QV_ADDR_VER_NONE;
    return QV_ADDR_VER_IPV4;
}

u32 qvIsPubAddr(u32 uIPv4)
{
    u32 a = ntohl(uIPv4);
    u32 b0 = a >> 24, b1 = (a >> 16) & 0xFF;
    if (b0 == 10 || b0 == 127 || b0 == 0)
        return 0;
    if (b0 == 100 && (b1 & 0xC0) == 64)
        return 0;
    if (b0 == 172 && (b1 & 0xF0) == 16)
        return 0;
    if (b0 == 192 && b1 == 168)
        return 0;
    if (b0 == 169 && b1 == 254)
        return 0;
    return 1;
}

u32 qvAddrIPArea(const QV_ADDR_S* lpAddr)
{
    switch (qvAddrIPVer(lpAddr)) {
    case QV_ADDR_VER_IPV4:
        if (IsV4Loopback(lpAddr->uAddr[3]))
            return QV_ADDR_AREA_V4_LOOPBACK;
        return qvIsPubAddr(lpAddr->uAddr[3]) ? QV_ADDR_AREA_V4_PUBLIC : QV_ADDR_AREA_V4_PRIVATE;
    case QV_ADDR_VER_IPV6:
        if (IsV6HostForm(lpAddr))
            return QV_ADDR_AREA_V6_HOST;
        if (IsV6LinkLocal(lpAddr) || IsV6SiteLocal(lpAddr))
            return QV_ADDR_AREA_V6_LOCAL;
        return QV_ADDR_AREA_V6_OTHER;
    default:
        return QV_ADDR_AREA_EMPTY;
    }
}

u32 qvAddrIsPublic(const QV_ADDR_S* lpAddr)
{
    switch (qvAddrIPVer(lpAddr)) {
    case QV_ADDR_VER_IPV4:
        return qvIsPubAddr(lpAddr->uAddr[3]);
    case QV_ADDR_VER_IPV6:
        return (IsV6HostForm(lpAddr) || IsV6Fe80Slash9(lpAddr)) ? 0 : 1;
    default:
        return 0;
    }
}

u32 qvAddrMatchSubnet(const QV_ADDR_S* lpA, const QV_ADDR_S* lpB)
{
    u32 uVerA = qvAddrIPVer(lpA), uVerB = qvAddrIPVer(lpB);
    if (uVerA != uVerB || uVerA == QV_ADDR_VER_NONE)
        return 0;
    if (uVerA == QV_ADDR_VER_IPV4) {
        if (IsV4Loopback(lpA->uAddr[3]))
            return IsV4Loopback(lpB->uAddr[3]);
        if (qvIsPubAddr(lpA->uAddr[3]))
            return qvIsPubAddr(lpB->uAddr[3]);
        return IsV4Loopback(lpB->uAddr[3]) ? 0 : 1;
    }
    if (IsV6HostForm(lpA))
        return IsV6HostForm(lpB);
    if (IsV6SiteLocal(lpA))
        return IsV6SiteLocal(lpB);
    if (IsV6LinkLocal(lpA))
        return IsV6LinkLocal(lpB);
    return IsV6Fe80Slash9(lpB) ? 0 : 1;
}

u32 qvIsQuarlinAddr(const char* lpszText)
{
    if (!lpszText)
        return 0;
    if (strchr(lpszText, '[') || strchr(lpszText, ']'))
        return 0;
    return CountChar(lpszText, ':') >= 4 ? 1 : 0;
}

u32 IsIPv4(const char* lpszText)
{
    if (!lpszText)
        return 0;
    u32 uDots = 0, uRun = 0;
    for (const char* p = lpszText; *p; p++) {
        if (*p == '.') {
            uDots++;
            uRun = 0;
        } else if (*p >= '0' && *p <= '9') {
            if (++uRun > 3)
                return 0;
        } else {
            return 0;
        }
    }
    return uDots == 3 ? 1 : 0;
}

u32 IsIPv6(const char* lpszText)
{
    if (!lpszText)
        return 0;
    u32 uColons = 0, uRun = 0;
    for (const char* p = lpszText; *p; p++) {
        if (*p == ':') {
            uColons++;
            uRun = 0;
        } else if (HexDigit(*p) >= 0) {
            if (++uRun > 4)
                return 0;
        } else {
            return 0;
        }
    }
    return (uColons >= 2 && uColons <= 7) ? 1 : 0;
}

u32 qvParseDomainIPnPort(const char* lpszText, char* lpszHost, u32 uHostSize, char* lpszPort,
                         u32 uPortSize)
{
    if (!lpszText || !lpszHost || !lpszPort || uHostSize == 0 || uPortSize == 0)
        return 0;
    const char* lpColon = strrchr(lpszText, ':');
    u32 uHostLen;
    if (!lpColon) {
        uHostLen = (u32)strlen(lpszText);
        if (uHostLen >= uHostSize)
            return 0;
        memcpy(lpszHost, lpszText, uHostLen);
        lpszHost[uHostLen] = '\0';
        lpszPort[0] = '\0';
    } else {
        uHostLen = (u32)(lpColon - lpszText);
        u32 uPortLen = (u32)strlen(lpColon + 1);
        if (uHostLen >= uHostSize || uPortLen >= uPortSize)
            return 0;
        for (const char* p = lpColon + 1; *p; p++) {
            if (*p < '0' || *p > '9') {
                qvPrintf("qvPaserDomainIPnPort: Invalid port. szPort='%s'", lpColon + 1);
                return 0;
            }
        }
        memcpy(lpszHost, lpszText, uHostLen);
        lpszHost[uHostLen] = '\0';
        memcpy(lpszPort, lpColon + 1, uPortLen);
        lpszPort[uPortLen] = '\0';
    }
    if (uHostLen > 0 && lpszHost[uHostLen - 1] == ']')
        lpszHost[--uHostLen] = '\0';
    if (lpszHost[0] == '[')
        memmove(lpszHost, lpszHost + 1, uHostLen); // zero included
    return 1;
}

u32 qvAddrIsIPnPort(const char* lpszText)
{
    if (!lpszText || qvIsQuarlinAddr(lpszText))
        return 0;
    char szHost[HOST_SIZE], szPort[PORT_SIZE];
    if (!qvParseDomainIPnPort(lpszText, szHost, sizeof(szHost), szPort, sizeof(szPort)))
        return 0;
    return (IsIPv4(szHost) || IsIPv6(szHost)) ? 1 : 0;
}

u32 qvAddrStrIPVer(const char* lpszText)
{
    if (!lpszText)
        return QV_ADDR_VER_NONE;
    if (qvIsQuarlinAddr(lpszText)) {
        QV_ADDR_S Addr;
        if (!qvStrToAddr(lpszText, &Addr))
            return QV_ADDR_VER_NONE;
        return qvAddrIPVer(&Addr);
    }
    char szHost[HOST_SIZE], szPort[PORT_SIZE];
    if (!qvParseDomainIPnPort(lpszText, szHost, sizeof(szHost), szPort, sizeof(szPort)))
        return QV_ADDR_VER_NONE;
    if (IsIPv4(szHost))
        return QV_ADDR_VER_IPV4;
    if (IsIPv6(szHost))
        return QV_ADDR_VER_IPV6;
    return QV_ADDR_VER_NONE;
}

void qvSocketAddrNat64Init(QV_SKT_ADDR_NAT64_STA_S* lpSta)
{
    memset(lpSta, 0, sizeof(*lpSta));
}

u32 qvSocketAddrNat64Set(QV_SKT_ADDR_NAT64_STA_S* lpSta, const QV_ADDR_S* lpAddrIPv6,
                         const QV_ADDR_S* lpAddrIPv4)
{
    if (!lpSta || !lpAddrIPv6 || !lpAddrIPv4)
        return 0;
    if (qvAddrIPVer(lpAddrIPv4) != QV_ADDR_VER_IPV4 || qvAddrIPVer(lpAddrIPv6) != QV_ADDR_VER_IPV6)
        return 0;
    if (lpSta->uSet)
        return 1;
    lpSta->uPrefix[0] = lpAddrIPv6->uAddr[0];
    lpSta->uPrefix[1] = lpAddrIPv6->uAddr[1];
    lpSta->uSet = 1;
    return 1;
}

u32 qvSocketAddrNat64Is(const QV_SKT_ADDR_NAT64_STA_S* lpSta, const QV_ADDR_S* lpAddr)
{
    if (!lpSta || !lpAddr || !lpSta->uSet)
        return 0;
    return (lpAddr->uAddr[0] == lpSta->uPrefix[0] && lpAddr->uAddr[1] == lpSta->uPrefix[1]) ? 1
                                                                                            : 0;
}

u32 qvSocketAddrNat64Remove(const QV_SKT_ADDR_NAT64_STA_S* lpSta, QV_ADDR_S* lpAddr)
{
    if (!qvSocketAddrNat64Is(lpSta, lpAddr))
        return 0;
    lpAddr->uAddr[0] = lpAddr->uAddr[1] = lpAddr->uAddr[2] = 0;
    return 1;
}

u32 qvSocketAddrNat64Fill(const QV_SKT_ADDR_NAT64_STA_S* lpSta, QV_ADDR_S* lpAddr)
{
    if (!lpSta || !lpAddr || !lpSta->uSet)
        return 0;
    lpAddr->uAddr[0] = lpSta->uPrefix[0];
    lpAddr->uAddr[1] = lpSta->uPrefix[1];
    return 1;
}

u32 qvAddrFromSockAddr(const struct sockaddr* lpSa, QV_ADDR_S* lpAddr)
{
    if (!lpSa || !lpAddr)
        return 0;
    memset(lpAddr, 0, sizeof(*lpAddr));
    if (lpSa->sa_family == AF_INET) {
        const struct sockaddr_in* lpIn = (const struct sockaddr_in*)lpSa;
        lpAddr->uAddr[3] = lpIn->sin_addr.s_addr;
        lpAddr->uPort = ntohs(lpIn->sin_port);
        return 1;
    }
    if (lpSa->sa_family == AF_INET6) {
        const struct sockaddr_in6* lpIn6 = (const struct sockaddr_in6*)lpSa;
        memcpy(lpAddr->uAddr, &lpIn6->sin6_addr, 16);
        lpAddr->uPort = ntohs(lpIn6->sin6_port);
        return 1;
    }
    return 0;
}

u32 qvAddrToSockAddr(const QV_ADDR_S* lpAddr, u32 uIPVer, struct sockaddr_storage* lpSa)
{
    if (!lpAddr || !lpSa)
        return 0;
    memset(lpSa, 0, sizeof(*lpSa));
    if (uIPVer == QV_ADDR_VER_IPV4) {
        struct sockaddr_in* lpIn = (struct sockaddr_in*)lpSa;
        lpIn->sin_family = AF_INET;
        lpIn->sin_addr.s_addr = lpAddr->uAddr[3];
        lpIn->sin_port = htons(lpAddr->uPort);
        return sizeof(*lpIn);
    }
    if (uIPVer == QV_ADDR_VER_IPV6) {
        struct sockaddr_in6* lpIn6 = (struct sockaddr_in6*)lpSa;
        lpIn6->sin6_family = AF_INET6;
        memcpy(&lpIn6->sin6_addr, lpAddr->uAddr, 16);
        lpIn6->sin6_port = htons(lpAddr->uPort);
        return sizeof(*lpIn6);
    }
    return 0;
}

u32 qvSelectAddr(QV_ADDR_S* lpOut, const QV_ADDR_S* lpToward, u32 uLog)
{
    if (!lpOut || !lpToward)
        return 0;
    u32 uVer = qvAddrIPVer(lpToward);
    if (uVer == QV_ADDR_VER_NONE) {
        qvLogOut(0, "qvSelectAddr: Proxy address invalid.");
        return 0;
    }

    char szAddr[QV_ADDR_STR_SIZE];
    IQVSysNet* lpSysNet = qvGetSysNet();
    QV_ADDR_S AddrCard;
    memset(&AddrCard, 0, sizeof(AddrCard));
    if (lpSysNet && lpSysNet->DefNetCardGetIPAddr(&AddrCard, uVer)) {
        AddrCard.uPort = 0;
        *lpOut = AddrCard;
        qvAddrToReadable(lpOut, szAddr, sizeof(szAddr));
        qvLogOut(0, "qvSelectAddr: Get ip address from default net card. szAddr=%s", szAddr);
        return 1;
    }

    u32 uRes = 0;
    QV_ADDR_S AddrLocal;
    memset(&AddrLocal, 0, sizeof(AddrLocal));
    int iFamily = (uVer == QV_ADDR_VER_IPV4) ? AF_INET : AF_INET6;
    int hSocket = socket(iFamily, SOCK_DGRAM, 0);
    if (hSocket >= 0) {
        struct sockaddr_storage Sa;
        socklen_t uSaLen = (socklen_t)qvAddrToSockAddr(lpToward, uVer, &Sa);
        if (connect(hSocket, (struct sockaddr*)&Sa, uSaLen) == 0) {
            struct sockaddr_storage Local;
            socklen_t uLocalLen = sizeof(Local);
            if (getsockname(hSocket, (struct sockaddr*)&Local, &uLocalLen) == 0 &&
                qvAddrFromSockAddr((struct sockaddr*)&Local, &AddrLocal)) {
                AddrLocal.uPort = 0;
                *lpOut = AddrLocal;
                uRes = 1;
            }
        }
        close(hSocket);
    }
    if (uLog) {
        char szToward[QV_ADDR_STR_SIZE];
        qvAddrToReadable(&AddrLocal, szAddr, sizeof(szAddr));
        qvAddrToReadable(lpToward, szToward, sizeof(szToward));
        qvPrintf("qvSelectAddr: Addr=%s, AddrProxy=%s, Res=%u", szAddr, szToward, uRes);
        qvLogOut(0, "qvSelectAddr: Addr=%s, AddrProxy=%s, Res=%u", szAddr, szToward, uRes);
    }
    return uRes;
}
