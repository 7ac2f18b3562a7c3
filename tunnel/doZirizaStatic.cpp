// Process-wide helpers of the tunnel: debug lines, JSON and URI escaping, the stored
// configuration text and the home and log directories.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "doZirizaDef.h"
#include "qvCharSet.h"
#include "qvLog.h"
#include "qvOMLParser.h"
#include "qvSandbox.h"
#include "qvUtilize.h"

namespace {

std::atomic<TfnTunnelLogOut> g_lpfnLogSink{nullptr};
std::atomic<u32> g_uLogReady{0};

}  // namespace

void doZirizaLogSinkSet(TfnTunnelLogOut lpfnSink)
{
    g_lpfnLogSink = lpfnSink;
}

TfnTunnelLogOut doZirizaLogSinkGet()
{
    return g_lpfnLogSink;
}

void doZirizaLogReadySet(u32 uReady)
{
    g_uLogReady = uReady;
}

void dprintf_level(u32 uLevel, const char* lpszFormat, ...)
{
    char szLine[1024];
    va_list args;
    va_start(args, lpszFormat);
    int n = vsnprintf(szLine, sizeof(szLine), lpszFormat, args);
    va_end(args);
    if (n <= 0 || n > 1020)
        return;
    if (g_uLogReady)
    {
        qvLogOut(uLevel, "%s", szLine);
        return;
    }
    TfnTunnelLogOut lpfnSink = g_lpfnLogSink;
    if (lpfnSink != nullptr)
        lpfnSink(uLevel, szLine);
    else
        printf("%s\n", szLine);
}

QV_STRING qvJsonConvert(const char* lpszText)
{
    QV_STRING str;
    if (lpszText == nullptr)
        return str;
    // Escapes only grow the text: count first so that one allocation does.
    u32 uNeed = 0;
    for (const unsigned char* p = (const unsigned char*)lpszText; *p; p++)
        uNeed += (*p == '"' || *p == '\\') ? 2 : (*p < 0x20 ? 6 : 1);
    if (!str.Alloc(uNeed, 0))
        return str;
    char* pOut = str.data;
    static const char s_szHex[] = "0123456789abcdef";
    for (const unsigned char* p = (const unsigned char*)lpszText; *p; p++)
    {
        if (*p == '"' || *p == '\\')
        {
            *pOut++ = '\\';
            *pOut++ = (char)*p;
        }
        else if (*p < 0x20)
        {
            memcpy(pOut, "\\u00", 4);
            pOut[4] = s_szHex[*p >> 4];
            pOut[5] = s_szHex[*p & 15];
            pOut += 6;
        }
        else
            *pOut++ = (char)*p;
    }
    *pOut = 0;
    str.uLength = uNeed;
    return str;
}

QV_STRING doZirizaOmlEncode(const char* lpszText)
{
    static const char s_szSpecial[] = "&()[]{}";
    static const char s_szCode[] = "GABCDEF";
    QV_STRING str;
    if (lpszText == nullptr)
        return str;
    u32 uNeed = 0;
    for (const char* p = lpszText; *p; p++)
        uNeed += strchr(s_szSpecial, *p) ? 2 : 1;
    if (!str.Alloc(uNeed, 0))
        return str;
    char* pOut = str.data;
    for (const char* p = lpszText; *p; p++)
    {
        const char* lpszHit = strchr(s_szSpecial, *p);
        if (lpszHit)
        {
            *pOut++ = '&';
            *pOut++ = s_szCode[lpszHit - s_szSpecial];
        }
        else
            *pOut++ = *p;
    }
    *pOut = 0;
    str.uLength = uNeed;
    return str;
}

QV_STRING doZirizaUriEncode(const char* lpszText)
{
    QV_STRING str;
    if (lpszText == nullptr || !*lpszText)
        return str;
    u32 uNeed = 0;
    auto keep = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               (c != 0 && strchr("-_.!~*'()", c) != nullptr);
    };
    for (const unsigned char* p = (const unsigned char*)lpszText; *p; p++)
        uNeed += keep(*p) ? 1 : 3;
    if (!str.Alloc(uNeed, 0))
        return str;
    static const char s_szHex[] = "0123456789ABCDEF";
    char* pOut = str.data;
    for (const unsigned char* p = (const unsigned char*)lpszText; *p; p++)
    {
        if (keep(*p))
            *pOut++ = (char)*p;
        else
        {
            *pOut++ = '%';
            *pOut++ = s_szHex[*p >> 4];
            *pOut++ = s_szHex[*p & 15];
        }
    }
    *pOut = 0;
    str.uLength = uNeed;
    return str;
}

QV_STRING doZirizaToUTF8(const char* lpszText)
{
    if (lpszText == nullptr)
        return QV_STRING();
    if (qvStrIsUTF8(lpszText))
        return QV_STRING(lpszText);
    CQVAutoString conv(lpszText, QV_CHARSET_SYS, 0);
    return QV_STRING(conv.GetStr(QV_CHARSET_UTF8));
}

// ---------------------------------------------------------------------------------------------
// CDOZirizaStatic

CDOZirizaStatic& doZirizaStatic()
{
    // Never destroyed: a tunnel thread may still read it while the process exits.
    static CDOZirizaStatic* s_pStatic = new CDOZirizaStatic();
    return *s_pStatic;
}

int CDOZirizaStatic::SetCfgParam(const char* lpszCfg)
{
    if (lpszCfg == nullptr || strlen(lpszCfg) < CFG_MIN)
        return QV_TUNNEL_ERROR_BADPARAM;
    if (!m_Sect.Lock())
        return QV_TUNNEL_ERROR_SYSTEM;
    u32 uOk = m_strCfg.assign(lpszCfg);
    m_Sect.Unlock();
    return uOk ? QV_TUNNEL_ERROR_OK : QV_TUNNEL_ERROR_SYSTEM;
}

namespace {

// The whole file, or 0 when it cannot be read (missing, a directory, too large, unreadable).
u32 ReadTextFile(const char* lpszPath, u32 uMax, QV_STRING& strOut)
{
    strOut.clear();
    if (lpszPath == nullptr || !*lpszPath)
        return 0;
    u64 uSize = 0;
    if (!qvFileInfo(lpszPath, &uSize, nullptr, 0) || uSize > uMax)
        return 0;
    if (uSize == 0)
        return 1;
    if (!strOut.Alloc((u32)uSize, 0))
        return 0;
    u32 uLen = (u32)uSize;
    if (!qvFileRead(lpszPath, strOut.data, &uLen, 0))
    {
        strOut.clear();
        return 0;
    }
    strOut.data[uLen] = 0;
    // The text ends at the first zero byte, whatever the file holds after it.
    strOut.uLength = (u32)strlen(strOut.data);
    return 1;
}

}  // namespace

u32 CDOZirizaStatic::LoadCfgParam(const char* lpszFullPath, QV_STRING& strOut)
{
    if (!m_Sect.Lock())
        return 0;
    u32 uOk = 0;
    QV_STRING strFile;
    if (ReadTextFile(lpszFullPath, CFG_FILE_MAX, strFile) && !strFile.empty())
    {
        if (strFile.length() < CFG_MIN)
        {
            dprintf_level(3, "CDOZirizaStatic::LoadCfgParam: Load config from file, file too short");
            qvLogOut(0, "TunnelStatic::LoadCfgParam: Load config from file, file too short");
        }
        else
        {
            strOut = static_cast<QV_STRING&&>(strFile);
            uOk = 1;
        }
    }
    else if (m_strCfg.length() >= CFG_MIN)
        uOk = strOut.assign(m_strCfg.c_str());
    else
    {
        dprintf_level(3, "CDOZirizaStatic::LoadCfgParam: Get config from setting param, param string too short");
        qvLogOut(0, "TunnelStatic::LoadCfgParam: Get config from setting param, param string too short");
    }
    m_Sect.Unlock();
    return uOk;
}

// ---------------------------------------------------------------------------------------------
// Paths

u32 doZirizaFullPath(const char* lpszPath, QV_STRING& strOut)
{
    QV_STRING strPath = doZirizaToUTF8(lpszPath ? lpszPath : "");
    u32 uOk = 1;
    if (strPath.empty())
        strOut.clear();
    else if (strPath.find('/') != QV_NOT_FOUND)
        uOk = strOut.assign(strPath.c_str());
    else
    {
        char szDir[DOZIRIZA_PATH_MAX + 1];
        if (qvDirSelf(szDir, sizeof(szDir)))
            uOk = strOut.assign(szDir) && strOut.append("/") && strOut.append(strPath.c_str());
        else
            uOk = strOut.assign(strPath.c_str());
    }
    if (uOk && strOut.length() > DOZIRIZA_PATH_MAX)
        uOk = 0;
    return uOk;
}

u32 doZirizaHomeDir(const char* lpszCfgPath, QV_STRING& strOut)
{
    const char* lpszPath = lpszCfgPath ? lpszCfgPath : "";
    QV_STRING strFull;
    u32 uFull = doZirizaFullPath(lpszPath, strFull);
    if (uFull && strFull.empty())
    {
        // An empty path is good only with a stored configuration text to stand in for it.
        QV_STRING strProbe;
        uFull = doZirizaStatic().LoadCfgParam("", strProbe);
    }
    if (!uFull)
    {
        dprintf_level(3, "doZirizaHomeDir: Build full path failed, Path=%s", lpszPath);
    }
    else
    {
        QV_STRING strCfg;
        if (doZirizaStatic().LoadCfgParam(strFull.c_str(), strCfg))
        {
            IQVString* pDoc = qvNewString(strCfg.c_str());
            IQVOMLParser* pParser = qvNewOMLParser();
            const char* lpszHome = (pDoc && pParser) ? pParser->GetContent(pDoc, "Home") : nullptr;
            u32 uFound = lpszHome != nullptr && *lpszHome && strOut.assign(doZirizaToUTF8(lpszHome).c_str());
            if (pParser)
                pParser->Delete();
            if (pDoc)
                pDoc->Delete();
            if (uFound)
                return 1;
            dprintf_level(3, "doZirizaHomeDir: no find home directory in cfg file.");
        }
        else
            dprintf_level(3, "doZirizaHomeDir: Load config, load file failed, Path=%s", strFull.c_str());
    }
    char szRoot[DOZIRIZA_PATH_MAX + 1];
    if (!qvSandboxGetRoot(szRoot, sizeof(szRoot)))
    {
        dprintf_level(3, "doZirizaHomeDir: Get default home directory failed.");
        return 0;
    }
    return strOut.assign(szRoot);
}

u32 doZirizaLogDir(QV_STRING& strOut)
{
    char szPath[DOZIRIZA_PATH_MAX + 1] = "doZiriza";
    if (!qvSandboxGetSub("doZiriza", szPath, sizeof(szPath), 1))
    {
        dprintf_level(3, "doZirizaLogDir: Create Tunnel dir failed, szPath=%s", szPath);
        return 0;
    }
    QV_STRING strLog(szPath);
    if (!strLog.append("/Log") || strLog.length() > DOZIRIZA_PATH_MAX || !qvDirCreate(strLog.c_str()))
    {
        dprintf_level(3, "doZirizaLogDir: Create Tunnel Log dir failed, szPath=%s", strLog.c_str());
        return 0;
    }
    strOut = strLog;
    return 1;
}
