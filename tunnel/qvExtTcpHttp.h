// HTTP pieces of the TCP forwarding extension: reading a local client's request head, the
// proxy rewrite and filters, reading a response head and following a chunked body. All of it
// works on bytes from the network and checks every length before use; nothing here touches a
// socket.
#pragma once

#include "qvType.h"

// Proxy filter rule: type 0 path equals, 1 path begins with, 2 path ends with, 3 path contains,
// 4 to 7 the same on the query; letter case is ignored. An empty text or a type above 7 is
// skipped.
typedef struct tagQV_EXT_TCP_FILTER_S {
    u32 uType;
    char szText[32];
} QV_EXT_TCP_FILTER_S;

#define QV_EXT_TCP_FILTER_MAX 32

// Request methods, equal to the HTTP states of an accepted socket that they lead to.
#define QV_HTTP_GET 1
#define QV_HTTP_POST 2
#define QV_HTTP_HEAD 3
#define QV_HTTP_OPTIONS 4
#define QV_HTTP_CONNECT 5

// Results of the head parsers.
#define QV_HTTP_PARSE_MORE 0 // the head is not complete yet
#define QV_HTTP_PARSE_RAW 1  // not HTTP: carry the bytes unchanged
#define QV_HTTP_PARSE_DONE 2 // a complete head
#define QV_HTTP_PARSE_BAD 3  // HTTP, but a value in it cannot be trusted: drop the connection

// Header values of 128 characters or more are ignored, header lines of 256 or more are not
// looked at; request targets are kept up to 1023 characters, CONNECT targets up to 127.
#define QV_HTTP_VALUE_MAX 128
#define QV_HTTP_LINE_MAX 256
#define QV_HTTP_TARGET_MAX 1024
#define QV_HTTP_CONNECT_TARGET_MAX 128

// The content length that stands for a chunked body.
#define QV_HTTP_CHUNKED 0xFFFFFFFFu

typedef struct tagQV_HTTP_REQ_S {
    u32 uMethod;         // QV_HTTP_GET ... QV_HTTP_CONNECT
    u32 uHeadLen;        // bytes of the head, its empty line included
    u32 uFirstLineLen;   // bytes of the request line without CR LF
    char szVersion[4];   // "1.0" or "1.1" from the request line ("1.1" when it says otherwise)
    char szTarget[QV_HTTP_TARGET_MAX];  // empty when longer than it can hold
    char szHost[QV_HTTP_VALUE_MAX];     // Host header, or the CONNECT target
    u32 uHasHost;
    char szContentType[QV_HTTP_VALUE_MAX]; // POST only
    u32 uHasContentLen;                    // POST only
    u32 uContentLen;
    char szOrigin[QV_HTTP_VALUE_MAX];      // OPTIONS only
    char szAcrHeaders[QV_HTTP_VALUE_MAX];  // OPTIONS only: Access-Control-Request-Headers
} QV_HTTP_REQ_S;

typedef struct tagQV_HTTP_RESP_S {
    u32 uStatus;         // the three-digit status code, 0 when unreadable
    u32 uHasLength;      // a Content-Length or a chunked Transfer-Encoding was given
    u32 uContentLen;     // QV_HTTP_CHUNKED for a chunked body
    char szContentType[QV_HTTP_VALUE_MAX];
} QV_HTTP_RESP_S;

// Reads a request head from the first uLen bytes. DONE fills lpReq; MORE asks for more bytes
// (a method name cut short, or no empty line yet); RAW when the bytes begin with no known
// method or the request line is not an HTTP one; BAD for a Content-Length that is not a
// plain decimal below 0xFFFFFFFF or contradicts an earlier one, or a Host or CONNECT target
// with characters that no host name or address holds (such a value would otherwise travel on
// inside the tunnel's own parameter texts).
u32 qvHttpRequestParse(const char* lpData, u32 uLen, QV_HTTP_REQ_S* lpReq);

// Rewrites a proxy request head in place: an absolute target "http://host/path" becomes
// "/path", and only then "Proxy-Connection:" lines become "Connection:" lines. *lpuLen is the
// head length before and after; *lpuProxyConn is set when a line was rewritten.
void qvHttpProxyRewrite(char* lpHead, u32* lpuLen, u32* lpuProxyConn);

// 1 when the first usable filter rule of the list matches the request target (split at its
// first '?' into path and query).
u32 qvHttpFilterMatch(const QV_EXT_TCP_FILTER_S* lpFilter, u32 uCount, const char* lpszTarget);

// Length of a head that ends with the first empty line (CR LF CR LF) in the first uLen bytes,
// searching from uFrom (bytes before it are known not to hold the end); 0 when there is none.
u32 qvHttpHeadEnd(const char* lpData, u32 uLen, u32 uFrom);

// Reads a complete response head (lpData holds exactly uLen bytes ending with the empty line).
// DONE or RAW (a status line under 12 characters, not beginning with "HTTP/", or a
// Content-Length that is not a plain decimal below 0xFFFFFFFF).
u32 qvHttpResponseParse(const char* lpData, u32 uLen, QV_HTTP_RESP_S* lpResp);

// Puts "Proxy-" in front of every "Connection:" line of a response head held in a buffer of
// uSize bytes, while it has room. *lpuLen is the head length before and after.
void qvHttpResponseProxyConn(char* lpHead, u32* lpuLen, u32 uSize);

// Follows a chunked body (size line in hex with optional extensions, CR LF, data, CR LF; the
// size-0 chunk, optional trailer lines and the final empty line end it).
class CQVHttpChunk {
public:
    CQVHttpChunk() { Reset(); }
    void Reset();
    // Consumes up to uLen bytes; *lpuUsed gets how many belong to the body. 1 when the body
    // ended within them (the bytes after it are not part of it), 0 when it goes on, 2 when the
    // bytes do not follow the chunked format (from then on the body cannot be delimited).
    u32 Feed(const u8* lpData, u32 uLen, u32* lpuUsed);

private:
    u32 m_uState;
    u64 m_uRemain;    // data bytes left in the current chunk
    u32 m_uDigits;    // hex digits of the size line so far
    u32 m_uLineLen;   // bytes of the current size-extension or trailer line
};
