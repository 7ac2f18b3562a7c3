#include "qvCharSet.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

namespace
{
const wchar_t s_szEmptyWide[1] = {0};

char* DupBytes(const char* pText, size_t uLen)
{
    char* p = new (std::nothrow) char[uLen + 1];
    if (p)
    {
        memcpy(p, pText, uLen);
        p[uLen] = 0;
    }
    return p;
}

// UTF-8 to wide characters. Malformed input fails: a file name must not silently change.
wchar_t* Utf8ToWide(const char* lpszText)
{
    size_t uLen = strlen(lpszText);
    wchar_t* pOut = new (std::nothrow) wchar_t[uLen + 1];
    if (!pOut)
        return nullptr;
    const u8* p = reinterpret_cast<const u8*>(lpszText);
    size_t n = 0;
    while (*p)
    {
        u32 c = *p++;
        u32 uMore = 0;
        u32 uMin = 0;
        if (c >= 0xF0 && c <= 0xF4)
            uMore = 3, c &= 0x07, uMin = 0x10000;
        else if (c >= 0xE0 && c <= 0xEF)
            uMore = 2, c &= 0x0F, uMin = 0x800;
        else if (c >= 0xC2 && c <= 0xDF)
            uMore = 1, c &= 0x1F, uMin = 0x80;
        else if (c >= 0x80)
        {
            delete[] pOut;
            return nullptr;
        }
        for (u32 i = 0; i < uMore; i++, p++)
        {
            if ((*p & 0xC0) != 0x80)
            {
                delete[] pOut;
                return nullptr;
            }
            c = (c << 6) | (*p & 0x3F);
        }
        if (c < uMin || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        {
            delete[] pOut;
            return nullptr;
        }
        pOut[n++] = (wchar_t)c;
    }
    pOut[n] = 0;
    return pOut;
}

char* WideToUtf8(const wchar_t* pText)
{
    size_t uLen = wcslen(pText);
    // At most 4 bytes per character.
    char* pOut = new (std::nothrow) char[uLen * 4 + 1];
    if (!pOut)
        return nullptr;
    size_t n = 0;
    for (size_t i = 0; i < uLen; i++)
    {
        u32 c = (u32)pText[i];
        if (c < 0x80)
            pOut[n++] = (char)c;
        else if (c < 0x800)
        {
            pOut[n++] = (char)(0xC0 | (c >> 6));
            pOut[n++] = (char)(0x80 | (c & 0x3F));
        }
        else if (c < 0x10000 && !(c >= 0xD800 && c <= 0xDFFF))
        {
            pOut[n++] = (char)(0xE0 | (c >> 12));
            pOut[n++] = (char)(0x80 | ((c >> 6) & 0x3F));
            pOut[n++] = (char)(0x80 | (c & 0x3F));
        }
        else if (c >= 0x10000 && c <= 0x10FFFF)
        {
            pOut[n++] = (char)(0xF0 | (c >> 18));
            pOut[n++] = (char)(0x80 | ((c >> 12) & 0x3F));
            pOut[n++] = (char)(0x80 | ((c >> 6) & 0x3F));
            pOut[n++] = (char)(0x80 | (c & 0x3F));
        }
        else
        {
            delete[] pOut;
            return nullptr;
        }
    }
    pOut[n] = 0;
    return pOut;
}
}  // namespace

CQVAutoString::CQVAutoString()
    : m_uOwned(0), m_uForm(0), m_uPresent(0), m_pWide(nullptr), m_pSys(nullptr), m_pUTF8(nullptr)
{
}

CQVAutoString::CQVAutoString(const void* pText, u32 uForm, u32 uCopy) : CQVAutoString()
{
    if (pText && uForm != 0)
        Assign(pText, uForm, uCopy);
}

CQVAutoString::~CQVAutoString()
{
    Reset();
}

void CQVAutoString::Reset()
{
    // A borrowed form belongs to the caller; only copies and conversions are freed.
    if (m_pWide && (m_uForm != QV_CHARSET_WIDE || m_uOwned))
        delete[] m_pWide;
    if (m_pSys && (m_uForm != QV_CHARSET_SYS || m_uOwned))
        delete[] m_pSys;
    if (m_pUTF8 && (m_uForm != QV_CHARSET_UTF8 || m_uOwned))
        delete[] m_pUTF8;
    m_pWide = nullptr;
    m_pSys = nullptr;
    m_pUTF8 = nullptr;
    m_uOwned = 0;
    m_uForm = 0;
    m_uPresent = 0;
}

u32 CQVAutoString::Assign(const void* pText, u32 uForm, u32 uCopy)
{
    if (!pText || uForm < QV_CHARSET_UTF8 || uForm > QV_CHARSET_WIDE)
        return 0;
    Reset();
    if (uForm == QV_CHARSET_WIDE)
    {
        const wchar_t* pWide = static_cast<const wchar_t*>(pText);
        if (uCopy)
        {
            size_t uLen = wcslen(pWide);
            m_pWide = new (std::nothrow) wchar_t[uLen + 1];
            if (!m_pWide)
                return 0;
            memcpy(m_pWide, pWide, (uLen + 1) * sizeof(wchar_t));
        }
        else
            m_pWide = const_cast<wchar_t*>(pWide);
    }
    else
    {
        const char* lpszText = static_cast<const char*>(pText);
        char* p = uCopy ? DupBytes(lpszText, strlen(lpszText)) : const_cast<char*>(lpszText);
        if (!p)
            return 0;
        (uForm == QV_CHARSET_SYS ? m_pSys : m_pUTF8) = p;
    }
    m_uOwned = uCopy ? 1 : 0;
    m_uForm = uForm;
    m_uPresent = 1u << uForm;
    return 1;
}

const char* CQVAutoString::GetStr(u32 uForm)
{
    if (uForm < QV_CHARSET_UTF8 || uForm > QV_CHARSET_WIDE || m_uForm == 0)
        return uForm == QV_CHARSET_WIDE ? reinterpret_cast<const char*>(s_szEmptyWide) : "";
    if (!(m_uPresent & (1u << uForm)))
    {
        if (uForm == QV_CHARSET_WIDE)
        {
            // The system form holds the same bytes as the UTF-8 form.
            const char* lpszSrc = m_pUTF8 ? m_pUTF8 : m_pSys;
            m_pWide = Utf8ToWide(lpszSrc);
        }
        else
        {
            const char* lpszSrc = nullptr;
            const char* lpszFrom = nullptr;
            char* pConv = nullptr;
            if (m_uForm == QV_CHARSET_WIDE)
                pConv = WideToUtf8(m_pWide);
            else
            {
                lpszSrc = uForm == QV_CHARSET_SYS ? m_pUTF8 : m_pSys;
                lpszFrom = uForm == QV_CHARSET_SYS ? "UTF-8" : GetSysCharSetName();
                const char* lpszTo = uForm == QV_CHARSET_SYS ? GetSysCharSetName() : "UTF-8";
                u32 uLen = (u32)strlen(lpszSrc);
                u32 uDstLen = uLen + 1;
                pConv = new (std::nothrow) char[uDstLen];
                if (pConv && !xConvert(lpszTo, lpszFrom, lpszSrc, uLen, pConv, &uDstLen))
                {
                    delete[] pConv;
                    pConv = nullptr;
                }
            }
            if (pConv)
                (uForm == QV_CHARSET_SYS ? m_pSys : m_pUTF8) = pConv;
        }
        bool bDone = uForm == QV_CHARSET_WIDE ? m_pWide != nullptr
                                              : (uForm == QV_CHARSET_SYS ? m_pSys : m_pUTF8) != nullptr;
        if (!bDone)
            return uForm == QV_CHARSET_WIDE ? reinterpret_cast<const char*>(s_szEmptyWide) : "";
        m_uPresent |= 1u << uForm;
    }
    if (uForm == QV_CHARSET_WIDE)
        return reinterpret_cast<const char*>(m_pWide);
    return uForm == QV_CHARSET_SYS ? m_pSys : m_pUTF8;
}

const char* CQVAutoString::GetSysCharSetName()
{
    const char* lpszLang = getenv("LANG");
    const char* lpszDot = lpszLang ? strchr(lpszLang, '.') : nullptr;
    return lpszDot ? lpszDot + 1 : "UTF-8";
}

u32 CQVAutoString::xConvert(const char*, const char*, const char* pSrc, u32 uLen, char* pDst, u32* puDstLen)
{
    if (!pSrc || !pDst || !puDstLen)
        return 0;
    u32 uRoom = *puDstLen;
    *puDstLen = uLen;
    if (uLen >= uRoom)
        return 0;
    memcpy(pDst, pSrc, uLen);
    pDst[uLen] = 0;
    return 1;
}

u32 qvStrIsUTF8(const char* lpszText)
{
    if (!lpszText)
        return 0;
    const u8* p = reinterpret_cast<const u8*>(lpszText);
    u32 uHigh = 0;
    while (*p)
    {
        u8 c = *p++;
        if (c < 0x80)
            continue;
        uHigh = 1;
        u32 uMore;
        if (c <= 0xBF)
            return 0;
        else if (c <= 0xDF)
            uMore = 1;
        else if (c <= 0xEF)
            uMore = 2;
        else if (c <= 0xF7)
            uMore = 3;
        else if (c <= 0xFB)
            uMore = 4;
        else if (c <= 0xFD)
            uMore = 5;
        else
            uMore = 4;
        for (u32 i = 0; i < uMore; i++, p++)
        {
            // The zero at the end fails this test too, so a cut-off sequence is caught.
            if (*p < 0x80 || *p > 0xBF)
                return 0;
        }
    }
    return uHigh;
}

u32 qvStrIsGBK(const char* lpszText)
{
    if (!lpszText)
        return 0;
    const u8* p = reinterpret_cast<const u8*>(lpszText);
    while (*p)
    {
        u8 c = *p++;
        if (c < 0x80)
            continue;
        if (c < 0x81 || c > 0xFE || *p < 0x40 || *p > 0xFE)
            return 0;
        p++;
    }
    return 1;
}
