#include "qvSysUti.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qvLog.h"
#include "qvOMLParser.h"
#include "qvString.h"
#include "qvTimer.h"
#include "qvUtilize.h"

namespace
{
const char* const DEVID_NAME = ".qvDevID.id";
const char* const DEVID_FALLBACK = "/var/.qvDevID.id";
// At most this many bytes of a device ID file are taken as the ID.
const u32 DEVID_READ_MAX = 255;
// A stored ID needs more than this many characters to be taken.
const u32 DEVID_MIN_LEN = 3;
// GetDevID's callers hand in at least this much room (a new ID has 20 characters).
const u32 DEVID_OUT_MIN = 32;
// Room for the device ID inside the system information text.
const u32 SYSINFO_DEVID_SIZE = 64;
const u32 MAC_TEXT_SIZE = 13;

// 1 with the file's text in szId (cut at DEVID_READ_MAX bytes or at a zero byte).
u32 ReadIdFile(const char* lpszPath, char* szId)
{
    u32 uLen = DEVID_READ_MAX;
    if (!qvFileRead(lpszPath, szId, &uLen, 0))
        return 0;
    szId[uLen] = 0;
    return 1;
}

// 1 when the file holds an ID that can be used; szId receives it.
u32 DevIDRead(const char* lpszPath, char* szId)
{
    if (!ReadIdFile(lpszPath, szId))
    {
        qvLogOut(0, "SysUti: DevIDRead, Read device id failed, path='%s'", lpszPath);
        return 0;
    }
    if (strlen(szId) <= DEVID_MIN_LEN)
    {
        qvLogOut(0, "SysUti: DevIDRead, Read device id is too short, path='%s', id='%s'", lpszPath, szId);
        return 0;
    }
    qvLogOut(1, "SysUti: DevIDRead, Read device id success, path='%s', id='%s'", lpszPath, szId);
    return 1;
}

// Replaces the file with the ID and reads it back; two tries, the file removed after each
// failed one.
u32 DevIDWrite(const char* lpszPath, const char* lpszId)
{
    for (u32 uTry = 0; uTry < 2; uTry++)
    {
        u32 uLen = (u32)strlen(lpszId);
        char szBack[DEVID_READ_MAX + 1];
        if (!qvFileWrite(lpszPath, lpszId, &uLen, (u64)-1) || uLen != strlen(lpszId))
            qvLogOut(0, "SysUti: DevIDWrite, Write device id failed, path='%s'", lpszPath);
        else if (!ReadIdFile(lpszPath, szBack))
            qvLogOut(0, "SysUti: DevIDWrite, Read device id failed, path='%s'", lpszPath);
        else if (strcmp(szBack, lpszId) != 0)
            qvLogOut(0, "SysUti: DevIDWrite, Device id save is not match, '%s' != '%s'", lpszId, szBack);
        else
            return 1;
        qvFileDelete(lpszPath);
    }
    return 0;
}

// The text with & ( ) [ ] { } escaped, so that it stays one value of the key-value text.
u32 Escape(const char* lpszText, char* lpszOut, u32 uSize)
{
    IQVOMLParser* pParser = qvNewOMLParser();
    IQVString* pText = qvNewString(lpszText);
    u32 uResult = 0;
    if (pParser && pText && pParser->Encode(pText) && pText->Length() < uSize)
    {
        memcpy(lpszOut, pText->CStr(), pText->Length() + 1);
        uResult = 1;
    }
    if (pText)
        pText->Delete();
    if (pParser)
        pParser->Delete();
    return uResult;
}

}  // namespace

u32 CQVSysUti::GetMacAddr(char* lpszOut, u32 uSize)
{
    if (!lpszOut || uSize < MAC_TEXT_SIZE)
        return 0;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    static const char* const s_aszPrefix[] = {"eth", "wifi", "ath", "wl"};
    u32 uResult = 0;
    for (u32 p = 0; p < 4 && !uResult; p++)
    {
        for (u32 i = 0; i < 4 && !uResult; i++)
        {
            struct ifreq ifr;
            memset(&ifr, 0, sizeof(ifr));
            snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s%u", s_aszPrefix[p], i);
            if (ioctl(fd, SIOCGIFHWADDR, &ifr) != 0)
                continue;
            const u8* mac = reinterpret_cast<const u8*>(ifr.ifr_hwaddr.sa_data);
            if ((mac[0] | mac[1] | mac[2] | mac[3] | mac[4] | mac[5]) == 0)
                continue;
            snprintf(lpszOut, uSize, "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
            uResult = 1;
        }
    }
    close(fd);
    return uResult;
}

u32 CQVSysUti::GetDevID(const char* lpszDir, char* lpszOut, u32 uSize)
{
    if (!lpszOut || uSize < DEVID_OUT_MIN)
        return 0;
    srand(GET_TIMESTAMP());

    char szDirPath[4096];
    const char* lpszDirPath = nullptr;
    if (lpszDir && lpszDir[0])
    {
        int n = snprintf(szDirPath, sizeof(szDirPath), "%s/%s", lpszDir, DEVID_NAME);
        if (n > 0 && (u32)n < sizeof(szDirPath))
            lpszDirPath = szDirPath;
    }

    char szId[DEVID_READ_MAX + 1];
    const char* aszRead[2] = {lpszDirPath, DEVID_FALLBACK};
    for (const char* lpszPath : aszRead)
    {
        if (!lpszPath || !DevIDRead(lpszPath, szId))
            continue;
        // A stored ID that does not fit is reported, not cut and not replaced: the device
        // would otherwise lose its identity.
        if (!qvStrCopy(lpszOut, uSize, szId))
        {
            qvLogOut(0, "SysUti: DevIDRead, Device id is too long, path='%s', size=%u", lpszPath, uSize);
            return 0;
        }
        return 1;
    }

    char szMac[MAC_TEXT_SIZE];
    char szNew[64];
    int n;
    if (GetMacAddr(szMac, sizeof(szMac)))
        n = snprintf(szNew, sizeof(szNew), "%s%08X", szMac, qvGetCookieLong());
    else
    {
        u32 uHigh = qvGetCookieLong();
        u32 uMid = qvGetCookieShort(0);
        n = snprintf(szNew, sizeof(szNew), "%08X%04X%08X", uHigh, uMid, qvGetCookieLong());
    }
    if (n < 0 || (u32)n >= sizeof(szNew) || !qvStrCopy(lpszOut, uSize, szNew))
    {
        qvLogOut(1, "SysUti: Generate a new device id failed");
        return 0;
    }

    if ((lpszDirPath && DevIDWrite(lpszDirPath, szNew)) || DevIDWrite(DEVID_FALLBACK, szNew))
        return 1;
    qvLogOut(0, "SysUti: The new device id can not save to '%s'", DEVID_NAME);
    return 0;
}

u32 CQVSysUti::GetSysInfo(const char* lpszDir, char* lpszOut, u32 uSize)
{
    if (!lpszOut || uSize == 0)
        return 0;
    char szId[SYSINFO_DEVID_SIZE];
    if (!GetDevID(lpszDir, szId, sizeof(szId)))
    {
        qvLogOut(0, "SysUti::GetSysInfo, Get device id failed.");
        return 0;
    }
    // A stored ID is read from a file and may hold the text's own brackets.
    char szIdEsc[SYSINFO_DEVID_SIZE * 2];
    if (!Escape(szId, szIdEsc, sizeof(szIdEsc)))
        return 0;
    char szMac[MAC_TEXT_SIZE];
    if (!GetMacAddr(szMac, sizeof(szMac)))
    {
        qvLogOut(0, "SysUti::GetSysInfo, Get MAC address failed.");
        szMac[0] = 0;
    }
    char szBrw[8], szOSVer[8], szOSSpk[8], szOSType[8];
    GetBrwVer(szBrw, sizeof(szBrw));
    GetOSVer(szOSVer, sizeof(szOSVer));
    GetOSSpk(szOSSpk, sizeof(szOSSpk));
    GetOSType(szOSType, sizeof(szOSType));
    int n = snprintf(lpszOut, uSize,
                     "(DevID){%s}(MacAddr){%s}(CpuMHz){%u}(MemSize){%u}(BrwVer){%s}(OSVer){%s}(OSSpk){%s}(OSType){%s}",
                     szIdEsc, szMac, GetCpuMHz(), GetMemSize(), szBrw, szOSVer, szOSSpk, szOSType);
    return (n >= 0 && (u32)n < uSize) ? 1 : 0;
}

u32 CQVSysUti::GetCpuMHz()
{
    return 0;
}

u32 CQVSysUti::GetMemSize()
{
    return 0;
}

u32 CQVSysUti::GetBrwVer(char* lpszOut, u32 uSize)
{
    return qvStrCopy(lpszOut, uSize, "");
}

u32 CQVSysUti::GetOSVer(char* lpszOut, u32 uSize)
{
    return qvStrCopy(lpszOut, uSize, "");
}

u32 CQVSysUti::GetOSSpk(char* lpszOut, u32 uSize)
{
    return qvStrCopy(lpszOut, uSize, "");
}

u32 CQVSysUti::GetOSType(char* lpszOut, u32 uSize)
{
    return qvStrCopy(lpszOut, uSize, "Linux");
}
