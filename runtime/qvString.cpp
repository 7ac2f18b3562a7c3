// QV_STRING and CQVString: the library's string type and its heap object.
#include "qvString.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace
{
// Buffers grow in steps of this many bytes.
const u32 STR_GRAIN = 32;
// Largest character count whose buffer size (count + 1, rounded up to STR_GRAIN) still fits
// in u32.
const u32 STR_MAX_COUNT = 0xFFFFFFFFu - 2 * STR_GRAIN;

u32 TextLen(const char* lpszText)
{
    if (!lpszText)
        return 0;
    size_t n = strlen(lpszText);
    return n > STR_MAX_COUNT ? STR_MAX_COUNT + 1 : (u32)n;
}

// True when p points into [pBegin, pBegin + uSize); compared as addresses because the
// pointers may belong to unrelated objects.
bool PtrIn(const char* p, const char* pBegin, size_t uSize)
{
    uintptr_t u = (uintptr_t)p, b = (uintptr_t)pBegin;
    return pBegin && u >= b && u - b < uSize;
}

bool InSet(const char* lpszSet, u32 uSetLen, char ch)
{
    return memchr(lpszSet, ch, uSetLen) != nullptr;
}
} // namespace

QV_STRING::QV_STRING() : data(nullptr), uLength(0), uCapacity(0) {}

QV_STRING::QV_STRING(const char* lpszText, u32 uCount) : data(nullptr), uLength(0), uCapacity(0)
{
    if (!assign(lpszText, uCount))
        throw std::bad_alloc();
}

QV_STRING::QV_STRING(const QV_STRING& other) : data(nullptr), uLength(0), uCapacity(0)
{
    if (!assign(other.c_str(), other.uLength))
        throw std::bad_alloc();
}

QV_STRING::QV_STRING(QV_STRING&& other) noexcept
    : data(other.data), uLength(other.uLength), uCapacity(other.uCapacity)
{
    other.data = nullptr;
    other.uLength = 0;
    other.uCapacity = 0;
}

QV_STRING::~QV_STRING()
{
    clear();
}

QV_STRING& QV_STRING::operator=(const QV_STRING& other)
{
    if (this != &other && !assign(other.c_str(), other.uLength))
        throw std::bad_alloc();
    return *this;
}

QV_STRING& QV_STRING::operator=(QV_STRING&& other) noexcept
{
    if (this != &other)
    {
        clear();
        data = other.data;
        uLength = other.uLength;
        uCapacity = other.uCapacity;
        other.data = nullptr;
        other.uLength = 0;
        other.uCapacity = 0;
    }
    return *this;
}

QV_STRING& QV_STRING::operator=(const char* lpszText)
{
    if (!assign(lpszText, QV_NOT_FOUND))
        throw std::bad_alloc();
    return *this;
}

QV_STRING& QV_STRING::operator+=(const char* lpszText)
{
    if (!append(lpszText))
        throw std::bad_alloc();
    return *this;
}

QV_STRING& QV_STRING::operator+=(const QV_STRING& other)
{
    if (!append(other.c_str(), other.uLength))
        throw std::bad_alloc();
    return *this;
}

u32 QV_STRING::Alloc(u32 uCount, u32 bKeep)
{
    if (data && (u64)uCapacity >= (u64)uCount + 1)
        return 1;
    if (uCount > STR_MAX_COUNT)
        return 0;
    u32 uSize = (uCount + 1 + STR_GRAIN - 1) / STR_GRAIN * STR_GRAIN;
    char* pNew = (char*)malloc(uSize);
    if (!pNew)
        return 0;
    if (bKeep && data)
    {
        memcpy(pNew, data, uLength + 1);
    }
    else
    {
        pNew[0] = 0;
        uLength = 0;
    }
    free(data);
    data = pNew;
    uCapacity = uSize;
    return 1;
}

void QV_STRING::clear()
{
    free(data);
    data = nullptr;
    uLength = 0;
    uCapacity = 0;
}

u32 QV_STRING::assign(const char* lpszText, u32 uCount)
{
    size_t n = lpszText ? strnlen(lpszText, uCount) : 0;
    if (n == 0)
    {
        clear();
        return 1;
    }
    if (n > STR_MAX_COUNT)
        return 0;
    // The new buffer is filled before the old one goes, so the source may be this string.
    QV_STRING tmp;
    if (!tmp.Alloc((u32)n, 0))
        return 0;
    memcpy(tmp.data, lpszText, n);
    tmp.data[n] = 0;
    tmp.uLength = (u32)n;
    *this = std::move(tmp);
    return 1;
}

u32 QV_STRING::append(const char* lpszText)
{
    return append(lpszText, QV_NOT_FOUND);
}

u32 QV_STRING::append(const char* lpszText, u32 uCount)
{
    size_t n = lpszText ? strnlen(lpszText, uCount) : 0;
    if ((u64)uLength + n > STR_MAX_COUNT)
        return 0;
    // A source inside our own buffer moves with it when the buffer grows.
    bool bOwn = PtrIn(lpszText, data, (size_t)uLength + 1);
    size_t uOff = bOwn ? (size_t)(lpszText - data) : 0;
    if (!Alloc(uLength + (u32)n, 1))
        return 0;
    const char* pSrc = bOwn ? data + uOff : lpszText;
    memmove(data + uLength, pSrc, n);
    uLength += (u32)n;
    data[uLength] = 0;
    return 1;
}

u32 QV_STRING::replace(u32 uPos, u32 uCount, const char* lpszText)
{
    if ((u64)uPos + uCount > uLength)
        return 1;
    if (PtrIn(lpszText, data, uCapacity))
    {
        QV_STRING tmp;
        if (!tmp.assign(lpszText))
            return 0;
        return replace(uPos, uCount, tmp.c_str());
    }
    // The character form opens a gap of the text's size; the text is then copied into it.
    u32 uLen = TextLen(lpszText);
    if (!replace(uPos, uCount, uLen, '\0'))
        return 0;
    if (uLen)
        memcpy(data + uPos, lpszText, uLen);
    return 1;
}

u32 QV_STRING::replace(u32 uPos, u32 uCount, u32 uNum, char ch)
{
    if ((u64)uPos + uCount > uLength)
        return 1;
    u64 uNew = (u64)uLength - uCount + uNum;
    if (uNew > STR_MAX_COUNT)
        return 0;
    if (!data)
    {
        if (uNum == 0)
            return 1;
        if (!Alloc((u32)uNew, 1))
            return 0;
    }
    else if (uNum > uCount && !Alloc((u32)uNew, 1))
        return 0;
    memmove(data + uPos + uNum, data + uPos + uCount, uLength - uPos - uCount + 1);
    memset(data + uPos, ch, uNum);
    uLength = (u32)uNew;
    data[uLength] = 0;
    return 1;
}

u32 QV_STRING::find(const char* lpszText, u32 uStart) const
{
    if (!lpszText || uStart > uLength)
        return QV_NOT_FOUND;
    u32 m = TextLen(lpszText);
    if (uStart == uLength)
        return m == 0 ? uLength : QV_NOT_FOUND;
    if (m == 0)
        return uStart;
    if (m > uLength - uStart)
        return QV_NOT_FOUND;
    for (u32 i = uStart; i <= uLength - m; i++)
    {
        if (data[i] == lpszText[0] && memcmp(data + i, lpszText, m) == 0)
            return i;
    }
    return QV_NOT_FOUND;
}

u32 QV_STRING::find(char ch, u32 uStart) const
{
    const char sz[2] = {ch, 0};
    return find(sz, uStart);
}

u32 QV_STRING::rfind(const char* lpszText, u32 uStart) const
{
    if (!lpszText)
        return QV_NOT_FOUND;
    u32 m = TextLen(lpszText);
    if (m > uLength)
        return QV_NOT_FOUND;
    u32 uLast = uLength - m;
    if (uStart != QV_NOT_FOUND && uStart > uLast)
        return QV_NOT_FOUND;
    u32 uBegin = uStart == QV_NOT_FOUND ? uLast : uStart;
    if (m == 0)
        return uBegin;
    for (u32 i = uBegin + 1; i-- > 0;)
    {
        if (memcmp(data + i, lpszText, m) == 0)
            return i;
    }
    return QV_NOT_FOUND;
}

u32 QV_STRING::rfind(char ch, u32 uStart) const
{
    const char sz[2] = {ch, 0};
    return rfind(sz, uStart);
}

u32 QV_STRING::find_first_of(const char* lpszSet, u32 uStart) const
{
    u32 uSetLen = TextLen(lpszSet);
    if (uStart >= uLength || uSetLen == 0)
        return QV_NOT_FOUND;
    for (u32 i = uStart; i < uLength; i++)
    {
        if (InSet(lpszSet, uSetLen, data[i]))
            return i;
    }
    return QV_NOT_FOUND;
}

u32 QV_STRING::find_first_of(char ch, u32 uStart) const
{
    const char sz[2] = {ch, 0};
    return find_first_of(sz, uStart);
}

u32 QV_STRING::find_last_of(const char* lpszSet, u32 uStart) const
{
    u32 uSetLen = TextLen(lpszSet);
    if (uLength == 0 || uSetLen == 0)
        return QV_NOT_FOUND;
    u32 uBegin = uStart < uLength - 1 ? uStart : uLength - 1;
    for (u32 i = uBegin + 1; i-- > 0;)
    {
        if (InSet(lpszSet, uSetLen, data[i]))
            return i;
    }
    return QV_NOT_FOUND;
}

u32 QV_STRING::find_last_of(char ch, u32 uStart) const
{
    const char sz[2] = {ch, 0};
    return find_last_of(sz, uStart);
}

s32 QV_STRING::compare(u32 uPos, u32 uCount, const char* lpszText) const
{
    const char* lpszOther = lpszText ? lpszText : "";
    if (uPos > uLength)
        return -1;
    if (uPos == uLength)
        return lpszOther[0] == 0 ? 0 : -1;
    int r = strncmp(data + uPos, lpszOther, uCount);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

u32 QV_STRING::set(u32 uPos, char ch)
{
    if (uPos >= STR_MAX_COUNT)
        return 0;
    u32 uNeed = uPos + 1 > uLength ? uPos + 1 : uLength;
    if (!Alloc(uNeed, 1))
        return 0;
    if (uPos >= uLength)
    {
        memset(data + uLength, 0, uPos - uLength);
        uLength = uPos + 1;
        data[uLength] = 0;
    }
    data[uPos] = ch;
    return 1;
}

u32 QV_STRING::trim(const char* lpszSet)
{
    u32 uSetLen = TextLen(lpszSet);
    if (!data || uSetLen == 0)
        return 1;
    u32 a = 0;
    while (a < uLength && InSet(lpszSet, uSetLen, data[a]))
        a++;
    u32 b = uLength;
    while (b > a && InSet(lpszSet, uSetLen, data[b - 1]))
        b--;
    memmove(data, data + a, b - a);
    uLength = b - a;
    data[uLength] = 0;
    return 1;
}

bool QV_STRING::operator==(const char* lpszText) const
{
    const char* lpszOther = lpszText ? lpszText : "";
    size_t n = strlen(lpszOther);
    return n == uLength && memcmp(c_str(), lpszOther, n) == 0;
}

QV_STRING QV_STRING::substr(u32 uPos, u32 uCount) const
{
    QV_STRING r;
    if (uPos >= uLength)
        return r;
    u32 n = uCount < uLength - uPos ? uCount : uLength - uPos;
    if (!r.assign(data + uPos, n))
        throw std::bad_alloc();
    return r;
}

u32 QV_STRING::split(const char* lpszSeparators, QV_STRING* pParts, u32 uMax) const
{
    if (uLength == 0 || !pParts)
        return 0;
    u32 uSetLen = TextLen(lpszSeparators);
    u32 a = 0;
    u32 uCount = 0;
    while (uCount < uMax)
    {
        u32 p = find_first_of(lpszSeparators, a);
        if (p == QV_NOT_FOUND)
        {
            // The rest, empty when the text ended in a separator, is the last part.
            if (!pParts[uCount].assign(data + a, uLength - a))
                throw std::bad_alloc();
            return uCount + 1;
        }
        if (!pParts[uCount].assign(data + a, p - a))
            throw std::bad_alloc();
        uCount++;
        a = p + 1;
        while (a < uLength && InSet(lpszSeparators, uSetLen, data[a]))
            a++;
    }
    return uMax;
}

QV_STRING operator+(const char* lpszText, const QV_STRING& str)
{
    QV_STRING r(lpszText);
    r += str;
    return r;
}

QV_STRING operator+(const QV_STRING& str, const char* lpszText)
{
    QV_STRING r(str);
    r += lpszText;
    return r;
}

QV_STRING operator+(const QV_STRING& a, const QV_STRING& b)
{
    QV_STRING r(a);
    r += b;
    return r;
}

// ---- CQVString: IQVString over one QV_STRING. None of these throws. ----

u32 CQVString::At(u32 uPos) const
{
    return uPos < m_Str.uLength ? (u8)m_Str.data[uPos] : 0;
}

const char* CQVString::CStr() const
{
    return m_Str.c_str();
}

u32 CQVString::Length() const
{
    return m_Str.uLength;
}

u32 CQVString::Assign(const char* lpszText, u32 uCount)
{
    return m_Str.assign(lpszText, uCount);
}

u32 CQVString::Assign(const char* lpszText)
{
    return m_Str.assign(lpszText, QV_NOT_FOUND);
}

u32 CQVString::Append(const char* lpszText)
{
    return m_Str.append(lpszText);
}

u32 CQVString::Replace(u32 uPos, u32 uCount, const char* lpszText)
{
    return m_Str.replace(uPos, uCount, lpszText);
}

u32 CQVString::Find(const char* lpszText, u32 uStart) const
{
    return m_Str.find(lpszText, uStart);
}

u32 CQVString::Find(char ch, u32 uStart) const
{
    return m_Str.find(ch, uStart);
}

u32 CQVString::RFind(const char* lpszText, u32 uStart) const
{
    return m_Str.rfind(lpszText, uStart);
}

u32 CQVString::RFind(char ch, u32 uStart) const
{
    return m_Str.rfind(ch, uStart);
}

u32 CQVString::FindFirstOf(const char* lpszSet, u32 uStart) const
{
    return m_Str.find_first_of(lpszSet, uStart);
}

u32 CQVString::FindFirstOf(char ch, u32 uStart) const
{
    return m_Str.find_first_of(ch, uStart);
}

u32 CQVString::FindLastOf(const char* lpszSet, u32 uStart) const
{
    return m_Str.find_last_of(lpszSet, uStart);
}

u32 CQVString::FindLastOf(char ch, u32 uStart) const
{
    return m_Str.find_last_of(ch, uStart);
}

IQVString* CQVString::SubStr(u32 uPos, u32 uCount) const
{
    CQVString* p = new (std::nothrow) CQVString();
    if (!p)
        return nullptr;
    try
    {
        p->m_Str = m_Str.substr(uPos, uCount);
    }
    catch (const std::bad_alloc&)
    {
        delete p;
        return nullptr;
    }
    return p;
}

s32 CQVString::Compare(u32 uPos, u32 uCount, const char* lpszText) const
{
    return m_Str.compare(uPos, uCount, lpszText);
}

void CQVString::Delete()
{
    delete this;
}

IQVString* qvNewString(const char* lpszText)
{
    CQVString* p = new (std::nothrow) CQVString();
    if (!p)
        return nullptr;
    if (!p->Str().assign(lpszText, QV_NOT_FOUND))
    {
        delete p;
        return nullptr;
    }
    return p;
}

QV_STRING qvStringFormat(const char* lpszFormat, ...)
{
    va_list args;
    va_start(args, lpszFormat);
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, lpszFormat, copy);
    va_end(copy);
    QV_STRING str;
    if (n > 0 && str.Alloc((u32)n, 0))
    {
        vsnprintf(str.data, (size_t)n + 1, lpszFormat, args);
        str.uLength = (u32)n;
    }
    va_end(args);
    return str;
}
