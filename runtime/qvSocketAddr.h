// Network address record of the library, its text forms, areas, NAT64 prefix state and the
// choice of a local source address.
#pragma once

#include "qvType.h"

struct sockaddr;
struct sockaddr_storage;

// One record for IPv4 and IPv6 alike.
typedef struct tagQV_ADDR_S {
    u32 uAddr[4]; // network byte order; an IPv4 address stands in uAddr[3], uAddr[0..2] zero
    u16 uPort;    // host byte order
    u16 uExtra;   // a second number carried with the address, 0 unless a user sets it
} QV_ADDR_S;

// NAT64 prefix learnt from a peer: the first 64 bits of an IPv6 address.
typedef struct tagQV_SKT_ADDR_NAT64_STA_S {
    u32 uSet;
    u32 uPrefix[2]; // network byte order, as uAddr[0] and uAddr[1]
} QV_SKT_ADDR_NAT64_STA_S;

// Results of qvAddrIPVer / qvAddrStrIPVer.
#define QV_ADDR_VER_IPV4 0
#define QV_ADDR_VER_IPV6 1
#define QV_ADDR_VER_NONE 2

// Areas given by qvAddrIPArea.
#define QV_ADDR_AREA_V4_LOOPBACK 0
#define QV_ADDR_AREA_V4_PRIVATE 1
#define QV_ADDR_AREA_V4_PUBLIC 2
#define QV_ADDR_AREA_V6_HOST 3   // ::x, ::1 included
#define QV_ADDR_AREA_V6_LOCAL 4  // fe80::/10 link-local or fec0::/10 site-local
#define QV_ADDR_AREA_V6_OTHER 5
#define QV_ADDR_AREA_EMPTY 6

// Room for any text form of an address, terminating zero included.
#define QV_ADDR_STR_SIZE 64

// Internal text form "%x:%x:%x:%x:%u:%u". 1 when the text fitted into lpszOut.
u32 qvAddrToStr(const QV_ADDR_S* lpAddr, char* lpszOut, u32 uSize);
// 1 when all six fields were present and valid; the address is zeroed first.
u32 qvStrToAddr(const char* lpszText, QV_ADDR_S* lpAddr);
// Readable form: "%u.%u.%u.%u:%u", "[%x:%x:%x:%x:%x:%x:%x:%x]:%u", or the internal form
// for the empty address. 1 when it fitted.
u32 qvAddrToReadable(const QV_ADDR_S* lpAddr, char* lpszOut, u32 uSize);
// -1, 0, 1 over uAddr[3], uAddr[2], uAddr[1], uAddr[0] (big-endian numbers) then the port.
int qvAddrCompare(const QV_ADDR_S* lpA, const QV_ADDR_S* lpB);

u32 qvAddrIPVer(const QV_ADDR_S* lpAddr);
u32 qvAddrIPArea(const QV_ADDR_S* lpAddr);
u32 qvAddrIsPublic(const QV_ADDR_S* lpAddr);
// uIPv4 in network byte order.
u32 qvIsPubAddr(u32 uIPv4);
u32 qvAddrMatchSubnet(const QV_ADDR_S* lpA, const QV_ADDR_S* lpB);

// Internal text form: at least four ':' and no '[' or ']'.
u32 qvIsQuarlinAddr(const char* lpszText);
u32 IsIPv4(const char* lpszText);
u32 IsIPv6(const char* lpszText);
// Splits "host[:port]"; brackets around the host are removed. 1/0.
u32 qvParseDomainIPnPort(const char* lpszText, char* lpszHost, u32 uHostSize, char* lpszPort,
                         u32 uPortSize);
u32 qvAddrIsIPnPort(const char* lpszText);
u32 qvAddrStrIPVer(const char* lpszText);

void qvSocketAddrNat64Init(QV_SKT_ADDR_NAT64_STA_S* lpSta);
u32 qvSocketAddrNat64Set(QV_SKT_ADDR_NAT64_STA_S* lpSta, const QV_ADDR_S* lpAddrIPv6,
                         const QV_ADDR_S* lpAddrIPv4);
u32 qvSocketAddrNat64Is(const QV_SKT_ADDR_NAT64_STA_S* lpSta, const QV_ADDR_S* lpAddr);
u32 qvSocketAddrNat64Remove(const QV_SKT_ADDR_NAT64_STA_S* lpSta, QV_ADDR_S* lpAddr);
u32 qvSocketAddrNat64Fill(const QV_SKT_ADDR_NAT64_STA_S* lpSta, QV_ADDR_S* lpAddr);

// Local source address toward lpToward (port 0 in the result). 1/0.
u32 qvSelectAddr(QV_ADDR_S* lpOut, const QV_ADDR_S* lpToward, u32 uLog);

// Conversions between the record and the system's socket addresses (IPv4 or IPv6).
// qvAddrFromSockAddr: 1 for AF_INET / AF_INET6, port to host order, extra 0; else 0.
u32 qvAddrFromSockAddr(const struct sockaddr* lpSa, QV_ADDR_S* lpAddr);
// qvAddrToSockAddr: uIPVer 0 builds an AF_INET address from uAddr[3], 1 an AF_INET6 address
// from all four words; returns the length of the built address, 0 for another version.
u32 qvAddrToSockAddr(const QV_ADDR_S* lpAddr, u32 uIPVer, struct sockaddr_storage* lpSa);
