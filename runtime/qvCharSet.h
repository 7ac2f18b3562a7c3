// Texts between the library (UTF-8), the system character set and wide characters.
#pragma once

#include "qvType.h"

// Text forms held by CQVAutoString.
#define QV_CHARSET_UTF8 1
#define QV_CHARSET_SYS 2
#define QV_CHARSET_WIDE 3  // 4-byte characters (wchar_t), ended by a zero character

// One text in up to three forms at once. The assigned form is borrowed from the caller unless
// uCopy is given; every converted form is owned.
class CQVAutoString
{
public:
    CQVAutoString();
    CQVAutoString(const void* pText, u32 uForm, u32 uCopy);
    ~CQVAutoString();

    u32 Assign(const void* pText, u32 uForm, u32 uCopy);
    // The text in the form asked for, converted on the first request and kept. Never null: a
    // failed conversion or an unknown form gives "". For QV_CHARSET_WIDE the pointer addresses
    // 4-byte characters (see GetWStr).
    const char* GetStr(u32 uForm);
    const wchar_t* GetWStr() { return reinterpret_cast<const wchar_t*>(GetStr(QV_CHARSET_WIDE)); }
    void Reset();

    // The name of the system character set: what follows the first "." of LANG, else "UTF-8".
    static const char* GetSysCharSetName();
    // Copies uLen bytes and a zero when uLen is below *puDstLen; *puDstLen becomes uLen.
    // The names travel along; the bytes themselves are not recoded.
    static u32 xConvert(const char* lpszTo, const char* lpszFrom, const char* pSrc, u32 uLen, char* pDst,
                        u32* puDstLen);

private:
    CQVAutoString(const CQVAutoString&) = delete;
    CQVAutoString& operator=(const CQVAutoString&) = delete;

    u32 m_uOwned;
    u32 m_uForm;
    u32 m_uPresent;  // bit n set when form n is present
    wchar_t* m_pWide;
    char* m_pSys;
    char* m_pUTF8;
};

// 1 for well-formed UTF-8 holding at least one byte of 0x80 or above; pure ASCII gives 0.
u32 qvStrIsUTF8(const char* lpszText);
// 1 when every byte of 0x80 or above is a GBK lead byte followed by a trail byte; ASCII gives 1.
u32 qvStrIsGBK(const char* lpszText);
