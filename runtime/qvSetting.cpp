#include "qvSetting.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "qvCharSet.h"
#include "qvLog.h"
#include "qvOMLParser.h"
#include "qvUtilize.h"

namespace
{
// Longest element name along a key, and longest key prefix, in bytes.
const size_t SETTING_NAME_MAX = 63;
const size_t SETTING_PATH_MAX = 255;
// A settings file is a few hundred bytes; anything beyond this is not one of ours.
const u64 SETTING_FILE_MAX = 16 * 1024 * 1024;
// InsertEle sibling count that means "after the last child".
const u32 SETTING_APPEND = 1024;

// Only a file that is not there at all counts as an empty document: one that exists but cannot
// be read must not be taken as empty, or the next Save would overwrite what it holds.
bool IsMissing(const char* lpszPath)
{
    struct stat st;
    return stat(lpszPath, &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}
}  // namespace

CQVSetting::CQVSetting() : m_pParser(nullptr), m_pDoc(nullptr)
{
}

CQVSetting::~CQVSetting()
{
    Clean();
}

void CQVSetting::Clean()
{
    if (m_pDoc)
        m_pDoc->Delete();
    m_pDoc = nullptr;
    if (m_pParser)
        m_pParser->Delete();
    m_pParser = nullptr;
    m_strPath.clear();
}

u32 CQVSetting::Load(const char* lpszPath)
{
    Clean();
    if (!lpszPath || !lpszPath[0])
        return 0;
    try
    {
        m_pParser = qvNewOMLParser();
        m_pDoc = qvNewString("");
        if (!m_pParser || !m_pDoc)
        {
            Clean();
            return 0;
        }
        u64 uSize = 0;
        if (!qvFileInfo(lpszPath, &uSize, nullptr, 0))
        {
            if (!IsMissing(lpszPath))
            {
                qvPrintf("CQVSetting::Load, File cannot be read, Path=%s", lpszPath);
                Clean();
                return 0;
            }
        }
        else if (uSize > 0)
        {
            if (uSize > SETTING_FILE_MAX)
            {
                qvPrintf("CQVSetting::Load, File too large, Path=%s, Size=%llu", lpszPath, (unsigned long long)uSize);
                Clean();
                return 0;
            }
            u32 uLen = (u32)uSize;
            char* pBuf = new (std::nothrow) char[uLen + 1];
            if (!pBuf)
            {
                Clean();
                return 0;
            }
            u32 uResult = qvFileRead(lpszPath, pBuf, &uLen, 0);
            if (uResult)
            {
                pBuf[uLen] = 0;
                uResult = m_pDoc->Assign(pBuf, uLen);
            }
            delete[] pBuf;
            if (!uResult)
            {
                Clean();
                return 0;
            }
        }
        if (!m_strPath.assign(lpszPath))
        {
            Clean();
            return 0;
        }
        return 1;
    }
    catch (...)
    {
        Clean();
        return 0;
    }
}

u32 CQVSetting::Save()
{
    if (!m_pDoc || m_strPath.empty())
        return 0;
    u32 uLen = m_pDoc->Length();
    if (uLen > 0)
        return qvFileWrite(m_strPath.c_str(), m_pDoc->CStr(), &uLen, (u64)-1);
    // An empty document still replaces the file: it is emptied.
    try
    {
        CQVAutoString name(m_strPath.c_str(), QV_CHARSET_UTF8, 0);
        FILE* pFile = fopen(name.GetStr(QV_CHARSET_SYS), "wb");
        if (!pFile)
            return 0;
        return fclose(pFile) == 0 ? 1 : 0;
    }
    catch (...)
    {
        return 0;
    }
}

u32 CQVSetting::ValueSet(const char* lpszKey, const char* lpszValue)
{
    if (!m_pParser || !m_pDoc || !lpszKey || !lpszValue)
        return 0;
    size_t uKeyLen = strlen(lpszKey);
    // Every component is checked before anything is inserted, so a refused key leaves the
    // document untouched.
    size_t uStart = 0;
    for (size_t i = 0; i <= uKeyLen; i++)
    {
        if (i == uKeyLen || lpszKey[i] == '.')
        {
            size_t uComp = i - uStart;
            if (uComp == 0 || uComp > SETTING_NAME_MAX || i > SETTING_PATH_MAX)
                return 0;
            uStart = i + 1;
        }
    }
    try
    {
        char szPrefix[SETTING_PATH_MAX + 1];
        char szParent[SETTING_PATH_MAX + 1];
        char szName[SETTING_NAME_MAX + 1];
        uStart = 0;
        for (size_t i = 0; i <= uKeyLen; i++)
        {
            if (i != uKeyLen && lpszKey[i] != '.')
                continue;
            memcpy(szPrefix, lpszKey, i);
            szPrefix[i] = 0;
            if (!m_pParser->GetName(m_pDoc, szPrefix))
            {
                memcpy(szParent, lpszKey, uStart);
                szParent[uStart] = 0;
                memcpy(szName, lpszKey + uStart, i - uStart);
                szName[i - uStart] = 0;
                if (!m_pParser->InsertEle(m_pDoc, szParent, SETTING_APPEND, szName, "", ""))
                    return 0;
            }
            uStart = i + 1;
        }
        return m_pParser->SetContent(m_pDoc, lpszKey, lpszValue);
    }
    catch (...)
    {
        return 0;
    }
}

const char* CQVSetting::ValueGet(const char* lpszKey)
{
    if (!m_pParser || !m_pDoc || !lpszKey)
        return nullptr;
    return m_pParser->GetContent(m_pDoc, lpszKey);
}

u32 qvDefSettingPath(char* lpszOut, u32 uSize)
{
    if (!lpszOut || uSize == 0)
        return 0;
    char szHome[4096];
    if (!qvDirHome(szHome, sizeof(szHome)))
        return 0;
    int n = snprintf(lpszOut, uSize, "%s/qvSetting.cfg", szHome);
    if (n < 0 || (u32)n >= uSize)
        return 0;
    qvPrintf("qvDefSettingPath: Path=%s", lpszOut);
    return 1;
}
