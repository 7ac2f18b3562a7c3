// HTTP request and response heads, proxy rewrite and filters, chunked bodies.
#include "qvExtTcpHttp.h"

#include <cstring>

namespace {

struct METHOD_S {
    const char* lpszName;
    u32 uLen;
    u32 uMethod;
};

// Compared in this order, as far as the received bytes reach.
const METHOD_S g_Method[] = {
    {"GET", 3, QV_HTTP_GET},         {"POST", 4, QV_HTTP_POST},
    {"HEAD", 4, QV_HTTP_HEAD},       {"OPTIONS", 7, QV_HTTP_OPTIONS},
    {"CONNECT", 7, QV_HTTP_CONNECT},
};

// Position of the first CR LF at or after uFrom, or uLen when there is none.
u32 FindCrLf(const char* lpData, u32 uLen, u32 uFrom)
{
    while (uFrom + 1 < uLen) {
        const void* p = memchr(lpData + uFrom, '\r', uLen - 1 - uFrom);
        if (!p)
            return uLen;
        u32 uPos = (u32)((const char*)p - lpData);
        if (lpData[uPos + 1] == '\n')
            return uPos;
        uFrom = uPos + 1;
    }
    return uLen;
}

u32 StartsWith(const char* lpLine, u32 uLen, const char* lpszPrefix)
{
    u32 n = (u32)strlen(lpszPrefix);
    return uLen >= n && memcmp(lpLine, lpszPrefix, n) == 0;
}

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

// The value of a header line after its name: spaces after the ':' and spaces or tabs at its
// end are left out.
void HeaderValue(const char* lpLine, u32 uLen, u32 uNameLen, const char** lppValue, u32* lpuValueLen)
{
    u32 uPos = uNameLen;
    while (uPos < uLen && lpLine[uPos] == ' ')
        uPos++;
    u32 uEnd = uLen;
    while (uEnd > uPos && (lpLine[uEnd - 1] == ' ' || lpLine[uEnd - 1] == '\t'))
        uEnd--;
    *lppValue = lpLine + uPos;
    *lpuValueLen = uEnd - uPos;
}

// Copies a value that is short enough; 0 (nothing copied) otherwise.
u32 CopyValue(char* lpszOut, u32 uSize, const char* lpValue, u32 uLen)
{
    if (uLen >= uSize)
        return 0;
    memcpy(lpszOut, lpValue, uLen);
    lpszOut[uLen] = '\0';
    return 1;
}

// Characters of a host name, an IPv4 address or a bracketed IPv6 address, with a port.
u32 IsHostText(const char* lpValue, u32 uLen)
{
    if (uLen == 0)
        return 0;
    for (u32 i = 0; i < uLen; i++) {
        char c = lpValue[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '-' || c == '_' || c == ':' || c == '[' || c == ']'))
            return 0;
    }
    return 1;
}

// A value echoed into an answer must not carry control characters (it would split lines).
u32 IsPlainText(const char* lpValue, u32 uLen)
{
    for (u32 i = 0; i < uLen; i++) {
        unsigned char c = (unsigned char)lpValue[i];
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            return 0;
    }
    return 1;
}

// A decimal below 0xFFFFFFFF (that value marks a chunked body) without sign or blanks inside.
u32 ParseLength(const char* lpValue, u32 uLen, u32* lpuOut)
{
    if (uLen == 0 || uLen > 10)
        return 0;
    u64 uValue = 0;
    for (u32 i = 0; i < uLen; i++) {
        if (lpValue[i] < '0' || lpValue[i] > '9')
            return 0;
        uValue = uValue * 10 + (u32)(lpValue[i] - '0');
    }
    if (uValue >= QV_HTTP_CHUNKED)
        return 0;
    *lpuOut = (u32)uValue;
    return 1;
}

u32 EqualNI(const char* a, const char* b, u32 n)
{
    for (u32 i = 0; i < n; i++) {
        if (Lower(a[i]) != Lower(b[i]))
            return 0;
    }
    return 1;
}

u32 ContainsNI(const char* lpText, u32 uLen, const char* lpPat, u32 uPatLen)
{
    if (uPatLen > uLen)
        return 0;
    for (u32 i = 0; i + uPatLen <= uLen; i++) {
        if (EqualNI(lpText + i, lpPat, uPatLen))
            return 1;
    }
    return 0;
}

// One filter comparison (type modulo 4) of a pattern against a part of the target.
u32 FilterTest(u32 uKind, const char* lpText, u32 uLen, const char* lpPat, u32 uPatLen)
{
    switch (uKind) {
    case 0:
        return uLen == uPatLen && EqualNI(lpText, lpPat, uLen);
    case 1:
        return uLen >= uPatLen && EqualNI(lpText, lpPat, uPatLen);
    case 2:
        return uLen >= uPatLen && EqualNI(lpText + uLen - uPatLen, lpPat, uPatLen);
    default:
        return ContainsNI(lpText, uLen, lpPat, uPatLen);
    }
}

} // namespace

u32 qvHttpRequestParse(const char* lpData, u32 uLen, QV_HTTP_REQ_S* lpReq)
{
    if (!lpData || !lpReq || uLen == 0)
        return QV_HTTP_PARSE_MORE;
    memset(lpReq, 0, sizeof(*lpReq));

    // 1. The method, as far as the bytes reach.
    u32 uMethod = 0;
    for (const METHOD_S& m : g_Method) {
        u32 n = uLen < m.uLen ? uLen : m.uLen;
        if (memcmp(lpData, m.lpszName, n) != 0)
            continue;
        if (n < m.uLen)
            return QV_HTTP_PARSE_MORE;
        uMethod = m.uMethod;
        break;
    }
    if (uMethod == 0)
        return QV_HTTP_PARSE_RAW;

    // 2. The request line: at least 12 characters with "HTTP/" among its last 10.
    u32 uFirst = FindCrLf(lpData, uLen, 0);
    if (uFirst == uLen)
        return QV_HTTP_PARSE_MORE;
    if (uFirst < 12)
        return QV_HTTP_PARSE_RAW;
    const char* lpTail = lpData + uFirst - 10;
    const char* lpVer = nullptr;
    for (u32 i = 0; i + 5 <= 10; i++) {
        if (memcmp(lpTail + i, "HTTP/", 5) == 0) {
            lpVer = lpTail + i + 5;
            break;
        }
    }
    if (!lpVer)
        return QV_HTTP_PARSE_RAW;

    // The whole head must be there before any header is believed.
    u32 uEnd = qvHttpHeadEnd(lpData, uLen, uFirst);
    if (uEnd == 0)
        return QV_HTTP_PARSE_MORE;

    lpReq->uMethod = uMethod;
    lpReq->uHeadLen = uEnd;
    lpReq->uFirstLineLen = uFirst;
    u32 uVerLen = (u32)(lpData + uFirst - lpVer);
    memcpy(lpReq->szVersion, (uVerLen == 3 && memcmp(lpVer, "1.0", 3) == 0) ? "1.0" : "1.1", 4);

    // The target lies between the first and the second space of the request line.
    const char* lpSp1 = (const char*)memchr(lpData, ' ', uFirst);
    if (lpSp1) {
        const char* lpTarget = lpSp1 + 1;
        const char* lpSp2 = (const char*)memchr(lpTarget, ' ', (size_t)(lpData + uFirst - lpTarget));
        u32 uTargetLen = (u32)((lpSp2 ? lpSp2 : lpData + uFirst) - lpTarget);
        if (uMethod == QV_HTTP_CONNECT) {
            if (!IsHostText(lpTarget, uTargetLen) ||
                !CopyValue(lpReq->szHost, QV_HTTP_CONNECT_TARGET_MAX, lpTarget, uTargetLen))
                return QV_HTTP_PARSE_BAD;
            lpReq->uHasHost = 1;
        }
        CopyValue(lpReq->szTarget, sizeof(lpReq->szTarget), lpTarget, uTargetLen);
    } else if (uMethod == QV_HTTP_CONNECT) {
        return QV_HTTP_PARSE_BAD;
    }

    // 3. Header lines up to the empty one.
    u32 uPos = uFirst + 2;
    while (uPos + 2 <= uEnd) {
        u32 uLineEnd = FindCrLf(lpData, uEnd, uPos);
        const char* lpLine = lpData + uPos;
        u32 uLineLen = uLineEnd - uPos;
        uPos = uLineEnd + 2;
        if (uLineLen == 0)
            break;
        const char* lpValue;
        u32 uValueLen;
        // A body length is believed only when it can be read whole: a length that is skipped
        // would let the body pass for the next request.
        if (uMethod == QV_HTTP_POST && StartsWith(lpLine, uLineLen, "Content-Length:")) {
            HeaderValue(lpLine, uLineLen, 15, &lpValue, &uValueLen);
            u32 uValue = 0;
            if (!ParseLength(lpValue, uValueLen, &uValue))
                return QV_HTTP_PARSE_BAD;
            if (lpReq->uHasContentLen && lpReq->uContentLen != uValue)
                return QV_HTTP_PARSE_BAD;
            lpReq->uHasContentLen = 1;
            lpReq->uContentLen = uValue;
            continue;
        }
        if (uLineLen >= QV_HTTP_LINE_MAX)
            continue;
        if (StartsWith(lpLine, uLineLen, "Host:")) {
            HeaderValue(lpLine, uLineLen, 5, &lpValue, &uValueLen);
            if (uValueLen >= QV_HTTP_VALUE_MAX || uMethod == QV_HTTP_CONNECT)
                continue;
            if (!IsHostText(lpValue, uValueLen))
                return QV_HTTP_PARSE_BAD;
            CopyValue(lpReq->szHost, sizeof(lpReq->szHost), lpValue, uValueLen);
            lpReq->uHasHost = 1;
        } else if (uMethod == QV_HTTP_POST && StartsWith(lpLine, uLineLen, "Content-Type:")) {
            HeaderValue(lpLine, uLineLen, 13, &lpValue, &uValueLen);
            CopyValue(lpReq->szContentType, sizeof(lpReq->szContentType), lpValue, uValueLen);
        } else if (uMethod == QV_HTTP_OPTIONS && StartsWith(lpLine, uLineLen, "Origin:")) {
            HeaderValue(lpLine, uLineLen, 7, &lpValue, &uValueLen);
            if (IsPlainText(lpValue, uValueLen))
                CopyValue(lpReq->szOrigin, sizeof(lpReq->szOrigin), lpValue, uValueLen);
        } else if (uMethod == QV_HTTP_OPTIONS &&
                   StartsWith(lpLine, uLineLen, "Access-Control-Request-Headers:")) {
            HeaderValue(lpLine, uLineLen, 31, &lpValue, &uValueLen);
            if (IsPlainText(lpValue, uValueLen))
                CopyValue(lpReq->szAcrHeaders, sizeof(lpReq->szAcrHeaders), lpValue, uValueLen);
        }
    }
    return QV_HTTP_PARSE_DONE;
}

void qvHttpProxyRewrite(char* lpHead, u32* lpuLen, u32* lpuProxyConn)
{
    if (!lpHead || !lpuLen)
        return;
    u32 uLen = *lpuLen;
    u32 uFirst = FindCrLf(lpHead, uLen, 0);
    if (uFirst == uLen)
        return;
    // "http://" starting within the first 8 characters of the request line.
    u32 uAt = uFirst;
    for (u32 i = 0; i < 8 && i + 7 <= uFirst; i++) {
        if (memcmp(lpHead + i, "http://", 7) == 0) {
            uAt = i;
            break;
        }
    }
    if (uAt == uFirst || uFirst < 5)
        return;
    // And a '/' behind it, before the line's last 5 characters (" HTTP/1.x" follows it).
    u32 uSlash = uAt + 7;
    while (uSlash < uFirst - 5 && lpHead[uSlash] != '/')
        uSlash++;
    if (uSlash >= uFirst - 5)
        return;
    u32 uCut = uSlash - uAt;
    memmove(lpHead + uAt, lpHead + uSlash, uLen - uSlash);
    uLen -= uCut;
    uFirst -= uCut;

    u32 uPos = uFirst + 2;
    while (uPos + 2 <= uLen) {
        u32 uLineEnd = FindCrLf(lpHead, uLen, uPos);
        if (uLineEnd == uPos || uLineEnd == uLen)
            break;
        if (StartsWith(lpHead + uPos, uLineEnd - uPos, "Proxy-Connection:")) {
            memmove(lpHead + uPos, lpHead + uPos + 6, uLen - uPos - 6);
            uLen -= 6;
            uLineEnd -= 6;
            if (lpuProxyConn)
                *lpuProxyConn = 1;
        }
        uPos = uLineEnd + 2;
    }
    *lpuLen = uLen;
}

u32 qvHttpFilterMatch(const QV_EXT_TCP_FILTER_S* lpFilter, u32 uCount, const char* lpszTarget)
{
    if (!lpFilter || !lpszTarget)
        return 0;
    if (uCount > QV_EXT_TCP_FILTER_MAX)
        uCount = QV_EXT_TCP_FILTER_MAX;
    u32 uLen = (u32)strlen(lpszTarget);
    const char* lpQ = (const char*)memchr(lpszTarget, '?', uLen);
    u32 uPathLen = lpQ ? (u32)(lpQ - lpszTarget) : uLen;
    const char* lpQuery = lpQ ? lpQ + 1 : lpszTarget + uLen;
    u32 uQueryLen = (u32)(lpszTarget + uLen - lpQuery);
    for (u32 i = 0; i < uCount; i++) {
        const QV_EXT_TCP_FILTER_S& f = lpFilter[i];
        u32 uPatLen = (u32)strnlen(f.szText, sizeof(f.szText));
        if (uPatLen == 0 || uPatLen >= sizeof(f.szText) || f.uType > 7)
            continue;
        u32 uHit = f.uType < 4 ? FilterTest(f.uType & 3, lpszTarget, uPathLen, f.szText, uPatLen)
                               : FilterTest(f.uType & 3, lpQuery, uQueryLen, f.szText, uPatLen);
        if (uHit)
            return 1;
    }
    return 0;
}

u32 qvHttpHeadEnd(const char* lpData, u32 uLen, u32 uFrom)
{
    if (!lpData)
        return 0;
    u32 uPos = uFrom;
    while (uPos + 4 <= uLen) {
        u32 uCr = FindCrLf(lpData, uLen, uPos);
        if (uCr + 4 > uLen)
            return 0;
        if (lpData[uCr + 2] == '\r' && lpData[uCr + 3] == '\n')
            return uCr + 4;
        uPos = uCr + 2;
    }
    return 0;
}

u32 qvHttpResponseParse(const char* lpData, u32 uLen, QV_HTTP_RESP_S* lpResp)
{
    if (!lpData || !lpResp)
        return QV_HTTP_PARSE_RAW;
    memset(lpResp, 0, sizeof(*lpResp));
    u32 uFirst = FindCrLf(lpData, uLen, 0);
    if (uFirst == uLen || uFirst < 12 || memcmp(lpData, "HTTP/", 5) != 0)
        return QV_HTTP_PARSE_RAW;
    const char* lpSp = (const char*)memchr(lpData, ' ', uFirst);
    if (lpSp && lpSp + 4 <= lpData + uFirst) {
        u32 uStatus = 0, i = 1;
        for (; i <= 3 && lpSp[i] >= '0' && lpSp[i] <= '9'; i++)
            uStatus = uStatus * 10 + (u32)(lpSp[i] - '0');
        if (i == 4)
            lpResp->uStatus = uStatus;
    }
    u32 uChunked = 0;
    u32 uPos = uFirst + 2;
    while (uPos + 2 <= uLen) {
        u32 uLineEnd = FindCrLf(lpData, uLen, uPos);
        const char* lpLine = lpData + uPos;
        u32 uLineLen = uLineEnd - uPos;
        uPos = uLineEnd + 2;
        if (uLineLen == 0 || uLineEnd == uLen)
            break;
        const char* lpValue;
        u32 uValueLen;
        if (StartsWith(lpLine, uLineLen, "Content-Length:")) {
            HeaderValue(lpLine, uLineLen, 15, &lpValue, &uValueLen);
            u32 uValue = 0;
            if (!ParseLength(lpValue, uValueLen, &uValue) ||
                (lpResp->uHasLength && lpResp->uContentLen != uValue))
                return QV_HTTP_PARSE_RAW;
            lpResp->uHasLength = 1;
            lpResp->uContentLen = uValue;
        } else if (StartsWith(lpLine, uLineLen, "Transfer-Encoding:")) {
            HeaderValue(lpLine, uLineLen, 18, &lpValue, &uValueLen);
            if (ContainsNI(lpValue, uValueLen, "chunked", 7))
                uChunked = 1;
        } else if (uLineLen < QV_HTTP_LINE_MAX && StartsWith(lpLine, uLineLen, "Content-Type:")) {
            HeaderValue(lpLine, uLineLen, 13, &lpValue, &uValueLen);
            CopyValue(lpResp->szContentType, sizeof(lpResp->szContentType), lpValue, uValueLen);
        }
    }
    // A chunked body is delimited by its chunks whatever length was also given.
    if (uChunked) {
        lpResp->uHasLength = 1;
        lpResp->uContentLen = QV_HTTP_CHUNKED;
    }
    return QV_HTTP_PARSE_DONE;
}

void qvHttpResponseProxyConn(char* lpHead, u32* lpuLen, u32 uSize)
{
    if (!lpHead || !lpuLen)
        return;
    u32 uLen = *lpuLen;
    u32 uPos = FindCrLf(lpHead, uLen, 0);
    if (uPos == uLen)
        return;
    uPos += 2;
    while (uPos + 2 <= uLen) {
        u32 uLineEnd = FindCrLf(lpHead, uLen, uPos);
        if (uLineEnd == uPos || uLineEnd == uLen)
            break;
        if (StartsWith(lpHead + uPos, uLineEnd - uPos, "Connection:") && uLen + 6 <= uSize) {
            memmove(lpHead + uPos + 6, lpHead + uPos, uLen - uPos);
            memcpy(lpHead + uPos, "Proxy-", 6);
            uLen += 6;
            uLineEnd += 6;
        }
        uPos = uLineEnd + 2;
    }
    *lpuLen = uLen;
}

// ---------------------------------------------------------------------------------------------
// CQVHttpChunk

namespace {

enum {
    CHUNK_SIZE = 0,     // hex digits of a size line
    CHUNK_EXT,          // extensions behind the size, up to CR
    CHUNK_SIZE_LF,      // LF after the size line
    CHUNK_DATA,         // chunk data
    CHUNK_DATA_CR,      // CR after the data
    CHUNK_DATA_LF,      // LF after the data
    CHUNK_TRAILER,      // start of a trailer line or of the final empty line
    CHUNK_TRAILER_LINE, // a trailer line, up to CR
    CHUNK_TRAILER_LF,   // LF after a trailer line
    CHUNK_END_LF,       // LF of the final empty line
    CHUNK_DONE,
    CHUNK_BROKEN,
};

// A size of more than 15 hex digits cannot be a real chunk; size extensions and trailer lines
// are held to the length of a header line that a server would send.
const u32 CHUNK_DIGITS_MAX = 15;
const u32 CHUNK_LINE_MAX = 8192;

int HexValue(u8 c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

void CQVHttpChunk::Reset()
{
    m_uState = CHUNK_SIZE;
    m_uRemain = 0;
    m_uDigits = 0;
    m_uLineLen = 0;
}

u32 CQVHttpChunk::Feed(const u8* lpData, u32 uLen, u32* lpuUsed)
{
    u32 uPos = 0;
    while (uPos < uLen && m_uState != CHUNK_DONE && m_uState != CHUNK_BROKEN) {
        if (m_uState == CHUNK_DATA) {
            u64 uTake = uLen - uPos;
            if (uTake > m_uRemain)
                uTake = m_uRemain;
            uPos += (u32)uTake;
            m_uRemain -= uTake;
            if (m_uRemain == 0)
                m_uState = CHUNK_DATA_CR;
            continue;
        }
        u8 c = lpData[uPos++];
        switch (m_uState) {
        case CHUNK_SIZE: {
            int v = HexValue(c);
            if (v >= 0 && m_uDigits < CHUNK_DIGITS_MAX) {
                m_uRemain = (m_uRemain << 4) | (u32)v;
                m_uDigits++;
            } else if (m_uDigits > 0 && (c == ';' || c == ' ' || c == '\t')) {
                m_uState = CHUNK_EXT;
                m_uLineLen = 0;
            } else if (m_uDigits > 0 && c == '\r') {
                m_uState = CHUNK_SIZE_LF;
            } else {
                m_uState = CHUNK_BROKEN;
            }
            break;
        }
        case CHUNK_EXT:
            if (c == '\r')
                m_uState = CHUNK_SIZE_LF;
            else if (++m_uLineLen > CHUNK_LINE_MAX)
                m_uState = CHUNK_BROKEN;
            break;
        case CHUNK_SIZE_LF:
            if (c != '\n') {
                m_uState = CHUNK_BROKEN;
            } else {
                m_uState = m_uRemain ? CHUNK_DATA : CHUNK_TRAILER;
                m_uDigits = 0;
            }
            break;
        case CHUNK_DATA_CR:
            m_uState = c == '\r' ? CHUNK_DATA_LF : CHUNK_BROKEN;
            break;
        case CHUNK_DATA_LF:
            m_uState = c == '\n' ? CHUNK_SIZE : CHUNK_BROKEN;
            m_uRemain = 0;
            break;
        case CHUNK_TRAILER:
            if (c == '\r') {
                m_uState = CHUNK_END_LF;
            } else {
                m_uState = CHUNK_TRAILER_LINE;
                m_uLineLen = 1;
            }
            break;
        case CHUNK_TRAILER_LINE:
            if (c == '\r')
                m_uState = CHUNK_TRAILER_LF;
            else if (++m_uLineLen > CHUNK_LINE_MAX)
                m_uState = CHUNK_BROKEN;
            break;
        case CHUNK_TRAILER_LF:
            m_uState = c == '\n' ? CHUNK_TRAILER : CHUNK_BROKEN;
            break;
        case CHUNK_END_LF:
            m_uState = c == '\n' ? CHUNK_DONE : CHUNK_BROKEN;
            break;
        default:
            m_uState = CHUNK_BROKEN;
            break;
        }
    }
    if (lpuUsed)
        *lpuUsed = uPos;
    if (m_uState == CHUNK_DONE)
        return 1;
    return m_uState == CHUNK_BROKEN ? 2 : 0;
}
