#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

std::string logname = "./logfile";
int pid = 0;
const char* const log_str[4] = {"DEBUG", "INFO", "WARN", "ERROR"};

namespace
{
const char* BaseName(const char* lpszPath)
{
    const char* p = strrchr(lpszPath, '/');
    return p ? p + 1 : lpszPath;
}
}  // namespace

void kelvard_log(const char* lpszFile, const char* lpszFunc, int iLine, const char* lpszFmt, ...)
{
    char szMsg[4096];
    va_list ap;
    va_start(ap, lpszFmt);
    vsnprintf(szMsg, sizeof(szMsg), lpszFmt, ap);
    va_end(ap);

    char szTime[32] = {0};
    time_t now = time(nullptr);
    struct tm tmNow;
    if (localtime_r(&now, &tmNow))
        strftime(szTime, sizeof(szTime), "%Y-%m-%d %H:%M:%S", &tmNow);

    FILE* fp = fopen(logname.c_str(), "a+");
    if (!fp)
        return;
    fprintf(fp, "%s [%s]\t[%s,%s,%d]:\t[%d] %s\n", szTime, log_str[0], BaseName(lpszFile), lpszFunc, iLine,
            pid, szMsg);
    fflush(fp);
    fclose(fp);
}

std::string kelvard_log_safe(const char* lpsz, size_t uLen, size_t uMax)
{
    std::string out;
    if (!lpsz)
        return out;
    bool bCut = uLen > uMax;
    if (bCut)
        uLen = uMax;
    out.reserve(uLen);
    for (size_t i = 0; i < uLen; i++)
    {
        unsigned char ch = (unsigned char)lpsz[i];
        if (ch < 0x20 || ch == 0x7f)
        {
            char sz[8];
            snprintf(sz, sizeof(sz), "\\x%02x", ch);
            out += sz;
        }
        else
            out += (char)ch;
    }
    if (bCut)
        out += "...";
    return out;
}

std::string kelvard_log_safe(const std::string& str, size_t uMax)
{
    return kelvard_log_safe(str.data(), str.size(), uMax);
}
