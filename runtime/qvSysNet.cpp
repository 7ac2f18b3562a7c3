// Network interfaces, interface filter, default interface and HTTP proxy settings.
#include "qvSysNet.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "qvLog.h"
#include "qvUtilize.h"

namespace {

// The host's parameter callback, registered from above; null until then.
std::atomic<QV_PARAM_CALLBACK_PROC> g_lpfnParamCallback(nullptr);

// Longest interface name the kernel knows (IFNAMSIZ without the terminator).
const u32 kNameMax = IFNAMSIZ - 1;
// SIOCGIFCONF is asked for this many entries.
const u32 kIfConfMax = 32;
// Interfaces whose IPv4 addresses are listed, and whose hardware addresses are.
const u32 kIPv4CardMax = 16;
const u32 kMacCardMax = 8;
// An http_proxy value this long or longer is refused.
const u32 kProxyMax = 256;
// Patterns kept by NetCardFilter.
const u32 kFilterMax = 32;
// Lines of /proc/net/if_inet6 are read up to this many characters, line end excluded.
const u32 kInet6LineMax = 255;
// Hexadecimal digits of the address at the start of such a line.
const u32 kInet6HexLen = 32;
// Size of the text the parameter callback may fill with "name#address\r\n" lines.
const u32 kParamBufSize = 2048;

const char kIfInet6Path[] = "/proc/net/if_inet6";

// Copies a part of a text into an output of the given size; 0 when it does not fit.
u32 CopyPart(const char* lpszFrom, u32 uLen, char* lpszTo, u32 uSize)
{
    if (uLen >= uSize)
        return 0;
    memcpy(lpszTo, lpszFrom, uLen);
    lpszTo[uLen] = 0;
    return 1;
}

u32 AddrListed(const QV_ADDR_S* lpList, u32 uCount, const QV_ADDR_S* lpAddr)
{
    for (u32 i = 0; i < uCount; ++i) {
        if (memcmp(lpList[i].uAddr, lpAddr->uAddr, sizeof(lpAddr->uAddr)) == 0)
            return 1;
    }
    return 0;
}

void AddrFromIPv6(QV_ADDR_S* lpAddr, const u8* pucBytes)
{
    memset(lpAddr, 0, sizeof(*lpAddr));
    memcpy(lpAddr->uAddr, pucBytes, 16);
}

// Copies at most kNameMax characters and the terminator into an ifreq name.
void SetIfName(struct ifreq* pReq, const char* lpszName)
{
    memset(pReq, 0, sizeof(*pReq));
    size_t uLen = strnlen(lpszName, kNameMax);
    memcpy(pReq->ifr_name, lpszName, uLen);
}

}  // namespace

void qvParamCallbackProcSet(QV_PARAM_CALLBACK_PROC lpfnProc)
{
    g_lpfnParamCallback = lpfnProc;
}

IQVSysNet* qvGetSysNet()
{
    // Made on first use and never destroyed: threads may still ask for it while the process
    // exits.
    static CQVSysNet* s_pSysNet = new (std::nothrow) CQVSysNet();
    return s_pSysNet;
}

CQVSysNet::CQVSysNet()
    : m_uProxyEnable(0), m_uFilterMode(QV_SYS_NET_FILTER_OFF), m_pFilter(nullptr),
      m_uFilterCount(0)
{
}

CQVSysNet::~CQVSysNet()
{
    delete[] m_pFilter;
}

u32 CQVSysNet::NetSetProxy(u32 uUnused, u32 uEnable, const char* lpszHost, const char* lpszUser,
                           const char* lpszPass)
{
    (void)uUnused;
    m_uProxyEnable = uEnable;
    if (!m_szProxyHost.assign(lpszHost) || !m_szProxyUser.assign(lpszUser) ||
        !m_szProxyPass.assign(lpszPass))
        return 0;
    return 1;
}

u32 CQVSysNet::NetGetProxy(u32 uUnused, char* lpszHost, u32 uHostSize, char* lpszUser,
                           u32 uUserSize, char* lpszPass, u32 uPassSize)
{
    (void)uUnused;
    if (!lpszHost || !lpszUser || !lpszPass)
        return 0;
    // Every output starts empty, so that no part of an earlier value is left behind.
    if (uHostSize)
        lpszHost[0] = 0;
    if (uUserSize)
        lpszUser[0] = 0;
    if (uPassSize)
        lpszPass[0] = 0;
    if (!m_uProxyEnable)
        return 1;
    const char* lpszEnv = getenv("http_proxy");
    if (!lpszEnv || !strstr(lpszEnv, "://"))
        return 1;
    if (strlen(lpszEnv) >= kProxyMax)
        return 0;

    char szValue[kProxyMax];
    strcpy(szValue, lpszEnv);
    const char* lpszRest = strstr(szValue, "://") + 3;
    // The proxy is the authority part only: a path, query or fragment behind it (a trailing
    // "/" is common) is not part of the host, and an '@' in it is not a user separator.
    u32 uLen = (u32)strcspn(lpszRest, "/?#");
    const char* lpszAt = (const char*)memchr(lpszRest, '@', uLen);
    if (!lpszAt)
        return CopyPart(lpszRest, uLen, lpszHost, uHostSize);

    u32 uUserInfo = (u32)(lpszAt - lpszRest);
    const char* lpszColon = (const char*)memchr(lpszRest, ':', uUserInfo);
    u32 uUser = lpszColon ? (u32)(lpszColon - lpszRest) : uUserInfo;
    if (!CopyPart(lpszAt + 1, uLen - uUserInfo - 1, lpszHost, uHostSize))
        return 0;
    if (!CopyPart(lpszRest, uUser, lpszUser, uUserSize))
        return 0;
    if (lpszColon && !CopyPart(lpszColon + 1, uUserInfo - uUser - 1, lpszPass, uPassSize))
        return 0;
    return 1;
}

u32 CQVSysNet::DefNetCardSet(const char* lpszName)
{
    if (!lpszName || strlen(lpszName) > kNameMax)
        return 0;
    if (!m_Lock.Lock())
        return 0;
    u32 uRes = m_szDefNetCard.assign(lpszName);
    m_Lock.Unlock();
    return uRes;
}

u32 CQVSysNet::DefNetCardGetIPAddr(QV_ADDR_S* lpAddr, u32 uIPVer)
{
    char szName[kNameMax + 1];
    if (!m_Lock.Lock())
        return 0;
    snprintf(szName, sizeof(szName), "%s", m_szDefNetCard.c_str());
    m_Lock.Unlock();
    if (!szName[0])
        return 0;
    return NetCardGetIPAddr(szName, lpAddr, uIPVer);
}

u32 CQVSysNet::NetCardGetIPAddr(const char* lpszName, QV_ADDR_S* lpAddr, u32 uIPVer)
{
    // A name longer than any interface name would, cut short, name a different interface.
    if (uIPVer != QV_SYS_NET_IPV4 || !lpszName || !lpszName[0] || !lpAddr ||
        strlen(lpszName) > kNameMax)
        return 0;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    struct ifreq req;
    SetIfName(&req, lpszName);
    req.ifr_addr.sa_family = AF_INET;
    int rc = ioctl(fd, SIOCGIFADDR, &req);
    close(fd);
    if (rc != 0 || req.ifr_addr.sa_family != AF_INET)
        return 0;
    struct sockaddr_in sin;
    memcpy(&sin, &req.ifr_addr, sizeof(sin));
    memset(lpAddr, 0, sizeof(*lpAddr));
    lpAddr->uAddr[3] = sin.sin_addr.s_addr;
    return 1;
}

u32 CQVSysNet::NetCardFilterCheck(const char* lpszName)
{
    if (!lpszName)
        return 0;
    if (!m_Lock.Lock())
        return 0;
    u32 uMatch = 0;
    for (u32 i = 0; i < m_uFilterCount && !uMatch; ++i) {
        const QV_STRING& pat = m_pFilter[i].szPattern;
        size_t uName = strlen(lpszName);
        switch (m_pFilter[i].uKind) {
        case 0:
            uMatch = pat == lpszName;
            break;
        case 1:
            uMatch = strncmp(lpszName, pat.c_str(), pat.length()) == 0;
            break;
        case 2:
            uMatch = uName >= pat.length() &&
                     memcmp(lpszName + uName - pat.length(), pat.c_str(), pat.length()) == 0;
            break;
        default:
            uMatch = strstr(lpszName, pat.c_str()) != nullptr;
            break;
        }
    }
    u32 uMode = m_uFilterMode;
    m_Lock.Unlock();
    switch (uMode) {
    case QV_SYS_NET_FILTER_OFF:
        return 1;
    case QV_SYS_NET_FILTER_INCLUDE:
        return uMatch;
    case QV_SYS_NET_FILTER_EXCLUDE:
        return !uMatch;
    default:
        return 0;
    }
}

u32 CQVSysNet::NetCardFilter(u32 uMode, const char* lpszList)
{
    if (!lpszList)
        lpszList = "";
    qvLogOut(1, "SysNet: NetCardFilter: uMode=%u, lpszNetCardList=%s", uMode, lpszList);
    FILTER_S* pNew = nullptr;
    u32 uCount = 0;
    try {
        pNew = new FILTER_S[kFilterMax];
        const char* p = lpszList;
        for (u32 uParts = 0; *p && uParts < kFilterMax; ++uParts) {
            size_t uLen = strcspn(p, ",;");
            QV_STRING part(p, (u32)uLen);
            p += uLen;
            if (*p)
                ++p;
            part.trim(" \t\r\n");
            u32 uLead = 0, uTrail = 0;
            while (uLead < part.length() && part.c_str()[uLead] == '*')
                ++uLead;
            while (uTrail < part.length() - uLead &&
                   part.c_str()[part.length() - 1 - uTrail] == '*')
                ++uTrail;
            if (uLead + uTrail >= part.length())
                continue;  // empty, or stars only
            FILTER_S& f = pNew[uCount++];
            f.uKind = uLead ? (uTrail ? 3 : 2) : (uTrail ? 1 : 0);
            f.szPattern = part.substr(uLead, part.length() - uLead - uTrail);
        }
    } catch (const std::bad_alloc&) {
        delete[] pNew;
        qvLogOut(0, "SysNet: NetCardFilter: out of memory");
        return 0;
    }
    if (!m_Lock.Lock()) {
        delete[] pNew;
        return 0;
    }
    FILTER_S* pOld = m_pFilter;
    m_pFilter = pNew;
    m_uFilterCount = uCount;
    m_uFilterMode = uMode;
    m_Lock.Unlock();
    delete[] pOld;
    return 1;
}

u32 CQVSysNet::ListNetCardInfo(QV_SYS_NET_CARD_INFO_S* lpList, u32 uSize)
{
    if (!lpList || !uSize)
        return 0;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    struct ifreq reqs[kIfConfMax];
    struct ifconf conf;
    memset(reqs, 0, sizeof(reqs));
    conf.ifc_len = sizeof(reqs);
    conf.ifc_req = reqs;
    if (ioctl(fd, SIOCGIFCONF, &conf) != 0) {
        close(fd);
        return 0;
    }
    u32 uEntries = (u32)(conf.ifc_len / (int)sizeof(struct ifreq));
    if (uEntries > kIfConfMax)
        uEntries = kIfConfMax;
    u32 uCount = 0;
    for (u32 i = 0; i < uEntries && uCount < uSize; ++i) {
        char szName[IFNAMSIZ];
        memcpy(szName, reqs[i].ifr_name, IFNAMSIZ);
        szName[kNameMax] = 0;
        if (strncmp(szName, "lo", 2) == 0)
            continue;
        struct ifreq req;
        SetIfName(&req, szName);
        if (ioctl(fd, SIOCGIFFLAGS, &req) != 0 || !(req.ifr_flags & IFF_UP))
            continue;
        if (!NetCardFilterCheck(szName))
            continue;
        u32 uSeen = 0;
        for (u32 j = 0; j < uCount && !uSeen; ++j)
            uSeen = strcmp(lpList[j].szName, szName) == 0;
        if (uSeen)
            continue;
        snprintf(lpList[uCount].szName, sizeof(lpList[uCount].szName), "%s", szName);
        ++uCount;
    }
    close(fd);
    return uCount;
}

u32 CQVSysNet::ListMacInfo(QV_SYS_MAC_INFO_S* lpList, u32 uSize)
{
    if (!lpList || !uSize)
        return 0;
    QV_SYS_NET_CARD_INFO_S cards[kMacCardMax];
    u32 uCards = ListNetCardInfo(cards, kMacCardMax);
    if (!uCards)
        return 0;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    u32 uCount = 0;
    for (u32 i = 0; i < uCards && uCount < uSize; ++i) {
        struct ifreq req;
        SetIfName(&req, cards[i].szName);
        if (ioctl(fd, SIOCGIFHWADDR, &req) != 0)
            continue;
        const u8* puc = (const u8*)req.ifr_hwaddr.sa_data;
        if (!(puc[0] | puc[1] | puc[2] | puc[3] | puc[4] | puc[5]))
            continue;
        snprintf(lpList[uCount].szText, sizeof(lpList[uCount].szText), "%02X%02X%02X%02X%02X%02X",
                 puc[0], puc[1], puc[2], puc[3], puc[4], puc[5]);
        ++uCount;
    }
    close(fd);
    return uCount;
}

u32 CQVSysNet::ListIPAddr(QV_ADDR_S* lpList, u32 uSize, u32 uIPVer)
{
    if (!lpList || !uSize)
        return 0;
    try {
        switch (uIPVer) {
        case QV_SYS_NET_IPV4:
            return ListIPv4(lpList, uSize);
        case QV_SYS_NET_IPV6:
            return ListIPv6(lpList, uSize);
        case QV_SYS_NET_IPV4_IPV6: {
            u32 uCount = ListIPv4(lpList, uSize);
            if (uCount < uSize)
                uCount += ListIPv6(lpList + uCount, uSize - uCount);
            return uCount;
        }
        default:
            return 0;
        }
    } catch (const std::bad_alloc&) {
        qvLogOut(0, "SysNet: ListIPAddr: out of memory");
        return 0;
    }
}

u32 CQVSysNet::ListIPv4(QV_ADDR_S* lpList, u32 uSize)
{
    QV_SYS_NET_CARD_INFO_S cards[kIPv4CardMax];
    u32 uCards = ListNetCardInfo(cards, kIPv4CardMax);
    // The loopback address comes last, after every real interface.
    if (uCards < kIPv4CardMax)
        snprintf(cards[uCards++].szName, sizeof(cards[0].szName), "lo");
    u32 uCount = 0;
    for (u32 i = 0; i < uCards && uCount < uSize; ++i) {
        if (NetCardGetIPAddr(cards[i].szName, &lpList[uCount], QV_SYS_NET_IPV4))
            ++uCount;
    }
    return uCount;
}

u32 CQVSysNet::ListIPv6(QV_ADDR_S* lpList, u32 uSize)
{
    u32 uCount = 0;
    if (ListIPv6File(lpList, uSize, &uCount))
        return uCount;
    uCount = ListIPv6Callback(lpList, uSize);
    if (uCount != QV_NOT_FOUND)
        return uCount;
    return ListIPv6Probe(lpList, uSize);
}

// 0 when the file cannot be opened; else 1 with the number of addresses read.
u32 CQVSysNet::ListIPv6File(QV_ADDR_S* lpList, u32 uSize, u32* puCount)
{
    FILE* pFile = fopen(kIfInet6Path, "r");
    if (!pFile)
        return 0;
    // Room for the longest line, its line end and the terminator.
    char szLine[kInet6LineMax + 2];
    u32 uCount = 0;
    while (uCount < uSize && fgets(szLine, sizeof(szLine), pFile)) {
        // The tail of an over-long line would read as a line of its own: skip it whole.
        if (!strchr(szLine, '\n') && !feof(pFile)) {
            int ch;
            while ((ch = fgetc(pFile)) != EOF && ch != '\n') {
            }
            continue;
        }
        char* apField[6];
        u32 uFields = 0;
        char* lpszSave = nullptr;
        for (char* p = strtok_r(szLine, " \t\r\n", &lpszSave); p && uFields < 6;
             p = strtok_r(nullptr, " \t\r\n", &lpszSave))
            apField[uFields++] = p;
        if (uFields < 6 || strlen(apField[0]) < kInet6HexLen)
            continue;
        if (strcmp(apField[5], "lo") != 0 && !NetCardFilterCheck(apField[5]))
            continue;
        apField[0][kInet6HexLen] = 0;
        u8 aucAddr[16];
        u32 uLen = sizeof(aucAddr);
        if (!qvHexToBin(apField[0], aucAddr, &uLen))
            continue;
        AddrFromIPv6(&lpList[uCount++], aucAddr);
    }
    fclose(pFile);
    *puCount = uCount;
    return 1;
}

// QV_NOT_FOUND when the host's callback gives no text; else the number of addresses added.
u32 CQVSysNet::ListIPv6Callback(QV_ADDR_S* lpList, u32 uSize)
{
    QV_PARAM_CALLBACK_PROC lpfnProc = g_lpfnParamCallback;
    if (!lpfnProc)
        return QV_NOT_FOUND;
    std::unique_ptr<char[]> pBuf(new (std::nothrow) char[kParamBufSize]);
    char* lpszBuf = pBuf.get();
    if (!lpszBuf)
        return QV_NOT_FOUND;
    memset(lpszBuf, 0, kParamBufSize);
    int iRes = lpfnProc(1, lpszBuf, kParamBufSize);
    lpszBuf[kParamBufSize - 1] = 0;
    if (iRes < 0 || !lpszBuf[0])
        return QV_NOT_FOUND;
    u32 uCount = 0;
    char* lpszSave = nullptr;
    for (char* lpszLine = strtok_r(lpszBuf, "\r\n", &lpszSave); lpszLine && uCount < uSize;
         lpszLine = strtok_r(nullptr, "\r\n", &lpszSave)) {
        char* lpszHash = strchr(lpszLine, '#');
        if (!lpszHash)
            continue;
        *lpszHash = 0;
        QV_STRING szName(lpszLine);
        szName.trim(" \t");
        if (szName != "lo" && !NetCardFilterCheck(szName.c_str()))
            continue;
        QV_STRING szAddr(lpszHash + 1);
        szAddr.trim(" \t");
        struct in6_addr in6;
        if (inet_pton(AF_INET6, szAddr.c_str(), &in6) != 1)
            continue;
        QV_ADDR_S addr;
        AddrFromIPv6(&addr, in6.s6_addr);
        if (!AddrListed(lpList, uCount, &addr))
            lpList[uCount++] = addr;
    }
    return uCount;
}

// Last resort: the local addresses that routes toward well-known kinds of IPv6 destinations
// would use, then link-local addresses derived from the hardware addresses.
u32 CQVSysNet::ListIPv6Probe(QV_ADDR_S* lpList, u32 uSize)
{
    static const char* const s_aszTarget[] = {"::1",      "FE80::20", "FEC0::20",
                                              "FC00::20", "2001::1",  "3001::1"};
    u32 uCount = 0;
    for (const char* lpszTarget : s_aszTarget) {
        if (uCount >= uSize)
            break;
        struct in6_addr in6;
        if (inet_pton(AF_INET6, lpszTarget, &in6) != 1)
            continue;
        QV_ADDR_S toward, local;
        AddrFromIPv6(&toward, in6.s6_addr);
        toward.uPort = 80;
        if (!qvSelectAddr(&local, &toward, 0) || qvAddrIPVer(&local) != QV_ADDR_VER_IPV6)
            continue;
        local.uPort = 0;
        local.uExtra = 0;
        if (!AddrListed(lpList, uCount, &local))
            lpList[uCount++] = local;
    }
    if (!uCount)
        return 0;
    QV_SYS_MAC_INFO_S macs[kMacCardMax];
    u32 uMacs = ListMacInfo(macs, kMacCardMax);
    for (u32 i = 0; i < uMacs && uCount < uSize; ++i) {
        u8 aucMac[6];
        u32 uLen = sizeof(aucMac);
        if (!qvHexToBin(macs[i].szText, aucMac, &uLen) || uLen != sizeof(aucMac))
            continue;
        // fe80::/64 with the modified EUI-64 interface identifier of the hardware address.
        u8 aucAddr[16] = {0xfe, 0x80};
        aucAddr[8] = aucMac[0] ^ 0x02;
        aucAddr[9] = aucMac[1];
        aucAddr[10] = aucMac[2];
        aucAddr[11] = 0xff;
        aucAddr[12] = 0xfe;
        aucAddr[13] = aucMac[3];
        aucAddr[14] = aucMac[4];
        aucAddr[15] = aucMac[5];
        QV_ADDR_S addr;
        AddrFromIPv6(&addr, aucAddr);
        if (!AddrListed(lpList, uCount, &addr))
            lpList[uCount++] = addr;
    }
    return uCount;
}
