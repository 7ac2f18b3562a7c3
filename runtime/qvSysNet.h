// Network interfaces of the machine (names, IPv4 / IPv6 / hardware addresses), the interface
// name filter, the default interface and the HTTP proxy settings.
#pragma once

#include "qvSocketAddr.h"
#include "qvString.h"
#include "qvThread.h"
#include "qvType.h"

typedef struct tagQV_SYS_NET_CARD_INFO_S {
    char szName[128];
} QV_SYS_NET_CARD_INFO_S;

// Hardware address as 12 upper-case hexadecimal digits.
typedef struct tagQV_SYS_MAC_INFO_S {
    char szText[16];
} QV_SYS_MAC_INFO_S;

// Filter modes of NetCardFilter.
#define QV_SYS_NET_FILTER_OFF 0
#define QV_SYS_NET_FILTER_INCLUDE 1
#define QV_SYS_NET_FILTER_EXCLUDE 2

// IP versions of ListIPAddr (NetCardGetIPAddr and DefNetCardGetIPAddr know only 0).
#define QV_SYS_NET_IPV4 0
#define QV_SYS_NET_IPV6 1
#define QV_SYS_NET_IPV4_IPV6 2

class IQVSysNet
{
public:
    // Proxy from the http_proxy variable ("scheme://[user[:password]@]host[:port][/...]"),
    // gated by the enable flag of NetSetProxy. The outputs are cleared first; they stay empty
    // when proxy use is off, the variable is unset or has no "://". 0 for a null output, a
    // value of 256 characters or more, or a part that does not fit its output.
    virtual u32 NetGetProxy(u32 uUnused, char* lpszHost, u32 uHostSize, char* lpszUser,
                            u32 uUserSize, char* lpszPass, u32 uPassSize) = 0;
    // Stores the enable flag and the three texts.
    virtual u32 NetSetProxy(u32 uUnused, u32 uEnable, const char* lpszHost, const char* lpszUser,
                            const char* lpszPass) = 0;
    // Default interface for the choice of a local address (at most 15 characters; "" none).
    virtual u32 DefNetCardSet(const char* lpszName) = 0;
    virtual u32 DefNetCardGetIPAddr(QV_ADDR_S* lpAddr, u32 uIPVer) = 0;
    // IPv4 address of an interface (uIPVer must be 0); port and extra word 0.
    virtual u32 NetCardGetIPAddr(const char* lpszName, QV_ADDR_S* lpAddr, u32 uIPVer) = 0;
    // Hardware addresses of the listed interfaces (at most 8, all-zero ones skipped).
    virtual u32 ListMacInfo(QV_SYS_MAC_INFO_S* lpList, u32 uSize) = 0;
    // Names of the interfaces that are up, have an IPv4 address, are not "lo..." and pass the
    // filter; each name once.
    virtual u32 ListNetCardInfo(QV_SYS_NET_CARD_INFO_S* lpList, u32 uSize) = 0;
    // Local addresses: uIPVer 0 IPv4 (loopback last), 1 IPv6, 2 IPv4 then IPv6.
    virtual u32 ListIPAddr(QV_ADDR_S* lpList, u32 uSize, u32 uIPVer) = 0;
    // Mode 0 off, 1 only names matching a pattern, 2 all but those; patterns separated by ','
    // or ';': "name" exact, "name*" prefix, "*name" suffix, "*name*" contains.
    virtual u32 NetCardFilter(u32 uMode, const char* lpszList) = 0;

    virtual ~IQVSysNet() {}
};

// The process-wide instance; never deleted by its users.
IQVSysNet* qvGetSysNet();

// The host's parameter callback. Item 1 fills the buffer with "name#IPv6 address" lines
// ending in CR LF, for systems without /proc/net/if_inet6; a negative result means nothing
// given. The node layer fills this hook so that the runtime does not depend on the layers
// above it; without it the IPv6 list goes on as if the callback gave nothing.
typedef int (*QV_PARAM_CALLBACK_PROC)(u32 uItem, void* pParam, u32 uSize);
void qvParamCallbackProcSet(QV_PARAM_CALLBACK_PROC lpfnProc);

class CQVSysNet : public IQVSysNet
{
public:
    CQVSysNet();
    ~CQVSysNet() override;
    CQVSysNet(const CQVSysNet&) = delete;
    CQVSysNet& operator=(const CQVSysNet&) = delete;

    u32 NetGetProxy(u32 uUnused, char* lpszHost, u32 uHostSize, char* lpszUser, u32 uUserSize,
                    char* lpszPass, u32 uPassSize) override;
    u32 NetSetProxy(u32 uUnused, u32 uEnable, const char* lpszHost, const char* lpszUser,
                    const char* lpszPass) override;
    u32 DefNetCardSet(const char* lpszName) override;
    u32 DefNetCardGetIPAddr(QV_ADDR_S* lpAddr, u32 uIPVer) override;
    u32 NetCardGetIPAddr(const char* lpszName, QV_ADDR_S* lpAddr, u32 uIPVer) override;
    u32 ListMacInfo(QV_SYS_MAC_INFO_S* lpList, u32 uSize) override;
    u32 ListNetCardInfo(QV_SYS_NET_CARD_INFO_S* lpList, u32 uSize) override;
    u32 ListIPAddr(QV_ADDR_S* lpList, u32 uSize, u32 uIPVer) override;
    u32 NetCardFilter(u32 uMode, const char* lpszList) override;

    // 1 when the interface name passes the filter (taken under the lock; 0 when it cannot be).
    u32 NetCardFilterCheck(const char* lpszName);

protected:
    CQVCriticalSection m_Lock;  // guards the default name and the filter

private:
    struct FILTER_S {
        u32 uKind;  // 0 exact, 1 prefix, 2 suffix, 3 contains
        QV_STRING szPattern;
    };

    u32 ListIPv4(QV_ADDR_S* lpList, u32 uSize);
    u32 ListIPv6(QV_ADDR_S* lpList, u32 uSize);
    u32 ListIPv6File(QV_ADDR_S* lpList, u32 uSize, u32* puCount);
    u32 ListIPv6Callback(QV_ADDR_S* lpList, u32 uSize);
    u32 ListIPv6Probe(QV_ADDR_S* lpList, u32 uSize);

    u32 m_uProxyEnable;
    QV_STRING m_szProxyHost;
    QV_STRING m_szProxyUser;
    QV_STRING m_szProxyPass;
    QV_STRING m_szDefNetCard;
    u32 m_uFilterMode;
    FILTER_S* m_pFilter;
    u32 m_uFilterCount;
};
