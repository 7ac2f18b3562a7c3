// Device identity and the system information text sent to the server at login.
#pragma once

#include "qvType.h"

class CQVSysUti
{
public:
    // Twelve upper-case hexadecimal digits of the first interface named eth0-3, wifi0-3,
    // ath0-3 or wl0-3 whose hardware address is not all zero. 1/0.
    static u32 GetMacAddr(char* lpszOut, u32 uSize);
    // The device ID stored in "<dir>/.qvDevID.id" or "/var/.qvDevID.id", made and stored when
    // neither holds one. uSize must be at least 32. 1/0.
    static u32 GetDevID(const char* lpszDir, char* lpszOut, u32 uSize);
    // "(DevID){..}(MacAddr){..}(CpuMHz){..}(MemSize){..}(BrwVer){..}(OSVer){..}(OSSpk){..}(OSType){..}"
    static u32 GetSysInfo(const char* lpszDir, char* lpszOut, u32 uSize);

    static u32 GetCpuMHz();
    static u32 GetMemSize();
    static u32 GetBrwVer(char* lpszOut, u32 uSize);
    static u32 GetOSVer(char* lpszOut, u32 uSize);
    static u32 GetOSSpk(char* lpszOut, u32 uSize);
    static u32 GetOSType(char* lpszOut, u32 uSize);
};
