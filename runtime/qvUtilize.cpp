// Cookies, strings in binary messages, buffers, dates, hashes, encodings and RC4.
#include "qvUtilize.h"
// Before the system headers: <limits.h> defines a LINE_MAX macro that clashes with the log.
#include "qvLog.h"

#include <mbedtls/base64.h>
#include <mbedtls/sha256.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

// ---------------------------------------------------------------------------------------------
// Random source of the cookies.
//
// One generator per process, seeded once: re-seeding from the clock (per thread or per call)
// makes threads started in the same second draw the same cookies, so a stale handle could
// match a reused entry. The state is a splitmix64 counter advanced atomically, so every thread
// draws from the same sequence without a lock. A forked child seeds its own sequence, so two
// processes forked from one parent (peers in a test, a daemon) do not share cookies.

namespace
{
std::atomic<u64> g_uRandState{0};
std::atomic<u32> g_uRandSeeded{0};
pthread_once_t g_RandOnce = PTHREAD_ONCE_INIT;

void RandSeed()
{
    u64 uSeed = 0;
    if (getrandom(&uSeed, sizeof(uSeed), GRND_NONBLOCK) != (ssize_t)sizeof(uSeed))
    {
        // No kernel entropy yet (early boot): the clock, the process id and an address still
        // give distinct seeds to processes started together.
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        uSeed = ((u64)ts.tv_sec * 1000000000ull + (u64)ts.tv_nsec) ^ ((u64)getpid() << 32) ^
                (u64)(uintptr_t)&uSeed;
    }
    g_uRandState.store(uSeed, std::memory_order_relaxed);
    g_uRandSeeded.store(1, std::memory_order_release);
}

void RandOnce()
{
    RandSeed();
    pthread_atfork(nullptr, nullptr, RandSeed);
}

u32 RandNext()
{
    if (!g_uRandSeeded.load(std::memory_order_acquire))
        pthread_once(&g_RandOnce, RandOnce);
    u64 z = g_uRandState.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return (u32)(z >> 32);
}
}  // namespace

u16 qvGetCookieShort(u32 uOld)
{
    for (;;)
    {
        u32 uValue = RandNext() & 0xFFFFu;
        if (uValue != 0 && uValue != uOld)
            return (u16)uValue;
    }
}

u32 qvGetCookieLong()
{
    for (;;)
    {
        u32 uValue = RandNext();
        if (uValue != 0)
            return uValue;
    }
}

// ---------------------------------------------------------------------------------------------
// Strings in binary messages

namespace
{
// Size of a string item with length field L: 4 + L rounded up to 4. Computed in 64 bits so
// that a length near 2^32 taken from the wire cannot wrap around to a small size.
u64 StrItemSize(u64 uL)
{
    return (4 + uL + 3) & ~(u64)3;
}
}  // namespace

u32 qvStrPush(u8* pucBuf, u32 uSize, const char* lpszText)
{
    if (!lpszText)
        lpszText = "";
    if (!pucBuf)
        return 0;
    u64 uL = (u64)strlen(lpszText) + 1;
    u64 uItem = StrItemSize(uL);
    if (uItem > uSize)
        return 0;
    pucBuf[0] = (u8)(uL >> 24);
    pucBuf[1] = (u8)(uL >> 16);
    pucBuf[2] = (u8)(uL >> 8);
    pucBuf[3] = (u8)uL;
    memcpy(pucBuf + 4, lpszText, (size_t)uL);
    memset(pucBuf + 4 + uL, 0, (size_t)(uItem - 4 - uL));
    return (u32)uItem;
}

const char* qvStrPop(const u8* pucBuf, u32 uSize, u32* puUsed, u32* puLen)
{
    if (!pucBuf || uSize < 4)
        return nullptr;
    u32 uL = ((u32)pucBuf[0] << 24) | ((u32)pucBuf[1] << 16) | ((u32)pucBuf[2] << 8) | pucBuf[3];
    u64 uItem = StrItemSize(uL);
    if (uL == 0 || uItem > uSize)
        return nullptr;
    const u8* pucZero = (const u8*)memchr(pucBuf + 4, 0, uL);
    if (!pucZero)
        return nullptr;
    if (puUsed)
        *puUsed = (u32)uItem;
    // The length up to the first zero, so that it always agrees with the returned C string
    // even when a peer puts a zero before the end of the L bytes.
    if (puLen)
        *puLen = (u32)(pucZero - (pucBuf + 4));
    return (const char*)(pucBuf + 4);
}

char* qvStrPop(u8* pucBuf, u32 uSize, u32* puUsed, u32* puLen)
{
    return const_cast<char*>(qvStrPop((const u8*)pucBuf, uSize, puUsed, puLen));
}

const char* qvStrCharNR(const char* lpszText, char ch, u32 uCount)
{
    if (!lpszText)
        return nullptr;
    const char* lpszLast = nullptr;
    for (u32 i = 0; i < uCount; i++)
    {
        if (lpszText[i] == ch)
            lpszLast = lpszText + i;
        if (lpszText[i] == '\0')
            break;
    }
    return lpszLast;
}

char* qvStrCharNR(char* lpszText, char ch, u32 uCount)
{
    return const_cast<char*>(qvStrCharNR((const char*)lpszText, ch, uCount));
}

char* qvStrConvert(char* lpszText, u32 uUpper)
{
    if (!lpszText)
        return nullptr;
    for (char* p = lpszText; *p; p++)
        *p = (char)(uUpper ? toupper((unsigned char)*p) : tolower((unsigned char)*p));
    return lpszText;
}

int qvStrCmpNI(const char* lpszA, const char* lpszB, u32 uCount)
{
    if (!lpszA || !lpszB)
        return lpszA == lpszB ? 0 : (lpszA ? 1 : -1);
    for (u32 i = 0; i < uCount; i++)
    {
        int a = tolower((unsigned char)lpszA[i]);
        int b = tolower((unsigned char)lpszB[i]);
        if (a != b || a == 0)
            return a - b;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Buffers

u32 qvBufAlloc(QV_BUF_S* pBuf, u32 uSize, u32 uOffset)
{
    if (!pBuf)
        return 0;
    pBuf->buf = nullptr;
    // Head room beyond the end would put the data outside the buffer.
    if (uOffset > uSize)
        return 0;
    // One byte at least, so that an empty buffer is still told apart from a failed one.
    u8* pucBytes = (u8*)calloc(uSize ? uSize : 1, 1);
    if (!pucBytes)
        return 0;
    pBuf->buf = pucBytes;
    pBuf->uOffset = uOffset;
    pBuf->uSize = uSize;
    pBuf->uLen = 0;
    pBuf->uParam = 0;
    return 1;
}

void qvBufFree(QV_BUF_S* pBuf)
{
    if (!pBuf || !pBuf->buf)
        return;
    free(pBuf->buf);
    memset(pBuf, 0, sizeof(*pBuf));
}

u8* qvByteBufAlloc(u8** ppBuf, u32* puCapacity, u32 uNeed, u32 uUnit, u32 uKeep)
{
    if (!ppBuf || !puCapacity)
        return nullptr;
    if (*ppBuf && *puCapacity >= uNeed)
        return *ppBuf;
    if (uUnit == 0)
        return nullptr;
    u64 uNew = uNeed ? ((u64)uNeed + uUnit - 1) / uUnit * uUnit : uUnit;
    if (uNew > 0xFFFFFFFFull)
        return nullptr;
    u8* pucNew = (u8*)malloc((size_t)uNew);
    if (!pucNew)
        return nullptr;
    if (uKeep && *ppBuf)
        memcpy(pucNew, *ppBuf, *puCapacity < uNew ? *puCapacity : (size_t)uNew);
    free(*ppBuf);
    *ppBuf = pucNew;
    *puCapacity = (u32)uNew;
    return pucNew;
}

void qvByteBufFree(u8** ppBuf)
{
    if (!ppBuf)
        return;
    free(*ppBuf);
    *ppBuf = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Dates and time

namespace
{
// Three decimal numbers separated by chSep (blanks allowed before each number, as scanf
// does); anything after the third number is ignored. 1/0.
u32 ParseTriple(const char* p, const char* pEnd, char chSep, u32 uOut[3])
{
    for (u32 i = 0; i < 3; i++)
    {
        if (i > 0)
        {
            if (p >= pEnd || *p != chSep)
                return 0;
            p++;
        }
        while (p < pEnd && (*p == ' ' || *p == '\t'))
            p++;
        if (p >= pEnd || !isdigit((unsigned char)*p))
            return 0;
        u64 uValue = 0;
        while (p < pEnd && isdigit((unsigned char)*p))
        {
            uValue = uValue * 10 + (u64)(*p - '0');
            if (uValue > 0xFFFFFFFFull)
                return 0;
            p++;
        }
        uOut[i] = (u32)uValue;
    }
    return 1;
}
}  // namespace

u32 qvDateTimeParse(const char* lpszText, u32* puYear, u32* puMonth, u32* puDay, u32* puHour,
                    u32* puMinute, u32* puSecond)
{
    if (!lpszText)
        return 0;
    // A part of 32 characters or more is no date or time of this form and is left out.
    const size_t kPartMax = 32;
    u32 uDate[3] = {0, 0, 0};
    u32 uTime[3] = {0, 0, 0};
    const char* lpszComma = strchr(lpszText, ',');
    const char* lpszTimePart = lpszText;
    if (lpszComma)
    {
        size_t uDateLen = (size_t)(lpszComma - lpszText);
        if (uDateLen > 0 && uDateLen < kPartMax && !ParseTriple(lpszText, lpszComma, '-', uDate))
            return 0;
        lpszTimePart = lpszComma + 1;
    }
    size_t uTimeLen = strlen(lpszTimePart);
    if (uTimeLen > 0 && uTimeLen < kPartMax && !ParseTriple(lpszTimePart, lpszTimePart + uTimeLen, ':', uTime))
        return 0;
    if (puYear)
        *puYear = uDate[0];
    if (puMonth)
        *puMonth = uDate[1];
    if (puDay)
        *puDay = uDate[2];
    if (puHour)
        *puHour = uTime[0];
    if (puMinute)
        *puMinute = uTime[1];
    if (puSecond)
        *puSecond = uTime[2];
    return 1;
}

void qvSleep(u32 uMilliseconds)
{
    struct timespec ts;
    ts.tv_sec = uMilliseconds / 1000;
    ts.tv_nsec = (long)(uMilliseconds % 1000) * 1000000L;
    // A signal cuts the sleep short; continue with what is left.
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
    {
    }
}

// ---------------------------------------------------------------------------------------------
// Hashes and encodings

u32 qvDataHash(const void* pData, u32 uLen, u8* pucOut, u32 uOutSize)
{
    if (uOutSize < QV_HASH_SIZE || !pucOut || (!pData && uLen))
        return 0;
    const unsigned char* pucData = pData ? (const unsigned char*)pData : (const unsigned char*)"";
    // The last argument 0 selects SHA-256, not SHA-224.
    if (mbedtls_sha256_ret(pucData, uLen, pucOut, 0) != 0)
        return 0;
    return 1;
}

u32 qvBase64Encode(const void* pData, u32 uLen, char* lpszOut, u32 uSize)
{
    if (!lpszOut || (!pData && uLen))
        return 0;
    if (uLen == 0)
    {
        // mbedtls writes no zero for empty input.
        if (uSize == 0)
            return 0;
        lpszOut[0] = '\0';
        return 1;
    }
    size_t uOut = 0;
    // mbedtls checks that the text and its zero fit before writing anything.
    if (mbedtls_base64_encode((unsigned char*)lpszOut, uSize, &uOut,
                              pData ? (const unsigned char*)pData : (const unsigned char*)"", uLen) != 0)
        return 0;
    return 1;
}

u32 qvBase64Decode(const char* lpszText, void* pOut, u32* puLen)
{
    if (!lpszText || !puLen || (!pOut && *puLen))
        return 0;
    size_t uOut = 0;
    size_t uTextLen = strlen(lpszText);
    // A first pass with no room measures the result, so nothing is written when it does not
    // fit or the text is not Base64.
    int nRet = mbedtls_base64_decode(nullptr, 0, &uOut, (const unsigned char*)lpszText, uTextLen);
    if (nRet != 0 && nRet != MBEDTLS_ERR_BASE64_BUFFER_TOO_SMALL)
        return 0;
    if (uOut > *puLen)
        return 0;
    if (uOut == 0)
    {
        *puLen = 0;
        return 1;
    }
    if (mbedtls_base64_decode((unsigned char*)pOut, *puLen, &uOut, (const unsigned char*)lpszText, uTextLen) != 0)
        return 0;
    *puLen = (u32)uOut;
    return 1;
}

u32 qvHashToStr(const u8* pucHash, u32, char* lpszOut, u32 uSize)
{
    // The callers' buffers are at least 64 bytes; 44 characters and a zero are written.
    if (uSize < 64 || !pucHash)
        return 0;
    return qvBase64Encode(pucHash, QV_HASH_SIZE, lpszOut, uSize);
}

u32 qvStrToHash(const char* lpszText, u8* pucOut, u32* puLen)
{
    if (!puLen || *puLen < QV_HASH_SIZE || !pucOut)
        return 0;
    u8 ucHash[48];
    u32 uLen = sizeof(ucHash);
    if (!qvBase64Decode(lpszText, ucHash, &uLen) || uLen != QV_HASH_SIZE)
        return 0;
    memcpy(pucOut, ucHash, QV_HASH_SIZE);
    *puLen = QV_HASH_SIZE;
    return 1;
}

u32 qvBinToHex(const void* pData, u32 uLen, char* lpszOut, u32 uSize)
{
    if (!lpszOut || (!pData && uLen) || (u64)uLen * 2 + 1 > uSize)
        return 0;
    static const char kDigits[] = "0123456789ABCDEF";
    const u8* pucData = (const u8*)pData;
    for (u32 i = 0; i < uLen; i++)
    {
        lpszOut[2 * i] = kDigits[pucData[i] >> 4];
        lpszOut[2 * i + 1] = kDigits[pucData[i] & 0x0F];
    }
    lpszOut[(size_t)uLen * 2] = '\0';
    return 1;
}

namespace
{
int HexDigit(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}
}  // namespace

u32 qvHexToBin(const char* lpszText, void* pOut, u32* puLen)
{
    if (!lpszText || !puLen)
        return 0;
    size_t uTextLen = strlen(lpszText);
    if (uTextLen % 2 != 0 || uTextLen / 2 > *puLen || (!pOut && uTextLen))
        return 0;
    for (size_t i = 0; i < uTextLen; i++)
        if (HexDigit(lpszText[i]) < 0)
            return 0;
    u8* pucOut = (u8*)pOut;
    for (size_t i = 0; i < uTextLen / 2; i++)
        pucOut[i] = (u8)((HexDigit(lpszText[2 * i]) << 4) | HexDigit(lpszText[2 * i + 1]));
    *puLen = (u32)(uTextLen / 2);
    return 1;
}

void qvRecycleLog(const u8* pucIn, u8* pucOut, u32 uLen, const u8* pucKey, u32 uKeyLen)
{
    if (!pucKey || uKeyLen == 0 || !pucIn || !pucOut)
        return;
    u8 S[256];
    for (u32 i = 0; i < 256; i++)
        S[i] = (u8)i;
    u8 j = 0;
    for (u32 i = 0; i < 256; i++)
    {
        j = (u8)(j + S[i] + pucKey[i % uKeyLen]);
        u8 t = S[i];
        S[i] = S[j];
        S[j] = t;
    }
    u8 x = 0;
    u8 y = 0;
    for (u32 k = 0; k < uLen; k++)
    {
        x = (u8)(x + 1);
        y = (u8)(y + S[x]);
        u8 t = S[x];
        S[x] = S[y];
        S[y] = t;
        pucOut[k] = pucIn[k] ^ S[(u8)(S[x] + S[y])];
    }
}

void qvDumpBuffer(const void* pData, u32 uLen)
{
    if (!pData)
        return;
    const u8* pucData = (const u8*)pData;
    // 16 groups of "XX " and the zero.
    char szLine[16 * 3 + 1];
    for (u32 uPos = 0; uPos < uLen; uPos += 16)
    {
        u32 uCount = uLen - uPos < 16 ? uLen - uPos : 16;
        for (u32 i = 0; i < uCount; i++)
            snprintf(szLine + 3 * i, 4, "%02X ", pucData[uPos + i]);
        qvPrintf("%s", szLine);
    }
}
