// TCP forwarding extension: accepted sockets of HTTP and proxy listeners. Request heads are
// read by the socket's worker; one request goes out at a time and the next head is read only
// after its response has ended. Bytes that arrive behind a request stay in the socket's buffer
// for the next one.
#include "qvExtTcp.h"

#include <errno.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "qvLog.h"

namespace {

const char CONNECT_ANSWER[] = "HTTP/1.0 200 Connection established\r\n\r\n";

const char FILTER_ANSWER[] = "HTTP/1.0 200 OK\r\nServer: doZiriza/1.0\r\nPragma: no-cache\r\n"
                             "Cache-Control: no-cache\r\nCache-Control: no-store\r\n"
                             "Cache-Control: must-revalidate\r\nExpires: 0\r\nContent-Length: 0\r\n\r\n";

// Room for the OPTIONS answer; the answer must leave one byte of it free.
const u32 OPTIONS_ANSWER_MAX = 512;

} // namespace

u32 CQVExtTcp::HttpAllowance(SOCK_S* s)
{
    if (s->uSide != 0 || s->uListenFlags == 0 || s->uHttpState == 6)
        return 0xFFFFFFFFu;
    // Between requests and while a response comes back the head reader owns the input.
    if (s->uHttpState < 1 || s->uHttpState > 3 || s->uPhase != 1)
        return 0;
    u64 uAllow = (u64)s->uHeadLeft + (s->uContentLen - s->uBodyPos);
    return uAllow > 0xFFFFFFFFu ? 0xFFFFFFFFu : (u32)uAllow;
}

void CQVExtTcp::HttpDeliver(SOCK_S* s, u32 uBytes, EVENTS_S* lpEv)
{
    if (s->uSide != 0 || s->uListenFlags == 0 || s->uHttpState < 1 || s->uHttpState > 3 || s->uPhase != 1)
        return;
    u32 uHead = uBytes < s->uHeadLeft ? uBytes : s->uHeadLeft;
    s->uHeadLeft -= uHead;
    s->uBodyPos += uBytes - uHead;
    if (s->uHeadLeft == 0 && s->uBodyPos >= s->uContentLen) {
        // The request has gone whole: its response may come now.
        s->uPhase = 2;
        s->uRespScan = 0;
        EventAdd(lpEv, s->lpWrite, 1);
    }
}

u32 CQVExtTcp::HttpAnswer(SOCK_S* s, const char* lpData, u32 uLen)
{
    if (!BufGet(&s->Out.Buf) || s->Out.Buf.uLen + uLen > s->Out.Buf.uSize)
        return 0;
    memcpy(s->Out.Buf.buf + s->Out.Buf.uLen, lpData, uLen);
    s->Out.Buf.uLen += uLen;
    s->Out.uReady = s->Out.Buf.uLen;
    int iErr = 0;
    OutFlush(s, &iErr);
    return iErr == 0;
}

u32 CQVExtTcp::HttpInput(SOCK_S* s, u32 uRecv, EVENTS_S* lpEv)
{
    s->uPoll &= ~(u32)SOCK_POLL_INPUT;
    if (uRecv && !(s->uStatus & SOCK_STA_READ_END)) {
        if (!BufGet(&s->Buf))
            return HTTP_IN_FAIL;
        if (s->uReadPos) {
            memmove(s->Buf.buf, s->Buf.buf + s->uReadPos, s->Buf.uLen - s->uReadPos);
            s->Buf.uLen -= s->uReadPos;
            s->uReadPos = 0;
        }
        u32 uFree = BUF_SIZE - s->Buf.uLen;
        if (uFree <= BUF_SPARE) {
            qvLogOut(0, "ExtTcp::SockRequestHead, http request too long.");
            return HTTP_IN_FAIL;
        }
        ssize_t n = recv(s->hSocket, s->Buf.buf + s->Buf.uLen, uFree - BUF_SPARE, MSG_DONTWAIT);
        if (n > 0) {
            s->Buf.uLen += (u32)n;
            s->uStampRecv = m_lpThread[s->uThread].uTick;
        } else if (n == 0) {
            // The client has stopped sending; what it sent before is still served.
            s->uStatus |= SOCK_STA_READ_END;
            s->uPoll &= ~(u32)SOCK_POLL_PEEK;
            DisarmRead(s);
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return HTTP_IN_FAIL;
        }
    }

    // Heads are read only while no answer is still going out, so that answers keep the order
    // of their requests.
    while (s->uHttpState == 0 && s->Buf.uLen > s->uReadPos && s->Out.uReady <= s->Out.uSent) {
        u32 uAvail = s->Buf.uLen - s->uReadPos;
        QV_HTTP_REQ_S Req;
        u32 uParse = qvHttpRequestParse((const char*)s->Buf.buf + s->uReadPos, uAvail, &Req);
        if (uParse == QV_HTTP_PARSE_MORE) {
            if (uAvail >= BUF_SIZE - BUF_SPARE) {
                qvLogOut(0, "ExtTcp::SockRequestHead, http request too long.");
                return HTTP_IN_FAIL;
            }
            break;
        }
        if (uParse == QV_HTTP_PARSE_RAW) {
            s->uHttpState = 6;
            break;
        }
        if (uParse == QV_HTTP_PARSE_BAD) {
            qvLogOut(0, "ExtTcp::SockRequestHead, bad request head, AddrSock=%s", s->strAddrSock.c_str());
            return HTTP_IN_FAIL;
        }
        u32 uRet = HttpRequest(s, &Req, lpEv);
        if (uRet != HTTP_IN_OK)
            return uRet;
    }

    if (s->uHttpState == 6) {
        if (!(s->uStatus & SOCK_STA_REPORTED)) {
            s->uStatus |= SOCK_STA_REPORTED;
            if (!OnAccept(s->strAddrSock.c_str(), s->strHost.c_str(), s->uListenParam)) {
                qvLogOut(0, "ExtTcp: SockAccept, OnAccept failed.");
                SockFree(s, FREE_ABORT, lpEv);
                return HTTP_IN_FREED;
            }
        }
        if (s->Buf.uLen == s->uReadPos) {
            s->Buf.uLen = s->uReadPos = 0;
            BufFree(&s->Buf);
        }
        DisarmRead(s);
        if (s->lpRead)
            EventAdd(lpEv, s->lpRead, 2);
        return HTTP_IN_OK;
    }
    if (s->uHttpState == 0 && (s->uStatus & SOCK_STA_READ_END) && s->Out.uReady <= s->Out.uSent) {
        // No further request can come.
        SockGone(s);
        if (SockCheckDone(s, lpEv))
            return HTTP_IN_FREED;
    }
    if (s->uHttpState == 0)
        ArmRead(s);
    return HTTP_IN_OK;
}

u32 CQVExtTcp::HttpRequest(SOCK_S* s, const QV_HTTP_REQ_S* lpReq, EVENTS_S* lpEv)
{
    u32 uHeadLen = lpReq->uHeadLen;
    if (lpReq->uMethod == QV_HTTP_CONNECT) {
        if (!HttpAnswer(s, CONNECT_ANSWER, sizeof(CONNECT_ANSWER) - 1))
            return HTTP_IN_FAIL;
        s->uReadPos += uHeadLen;
        s->uHttpState = (s->uListenFlags & QV_EXT_TCP_LISTEN_HTTP) ? 0 : 6;
        if (strcmp(s->strHost.c_str(), lpReq->szHost) != 0) {
            s->strHost = lpReq->szHost;
            return HttpHostReport(s, lpEv);
        }
        return HTTP_IN_OK;
    }
    if (lpReq->uMethod == QV_HTTP_OPTIONS) {
        char szAnswer[OPTIONS_ANSWER_MAX];
        int n = snprintf(szAnswer, sizeof(szAnswer),
                         "HTTP/%s 200 OK\r\nServer: doZiriza/1.0\r\nAccess-Control-Allow-Methods: POST, GET, "
                         "OPTIONS\r\nAccess-Control-Allow-Headers: %s\r\nAccess-Control-Allow-Origin: %s\r\n"
                         "Access-Control-Max-Age: 3600\r\nCache-Control: no-cache\r\nContent-Length: 0\r\n\r\n",
                         lpReq->szVersion, lpReq->szAcrHeaders, lpReq->szOrigin);
        if (n <= 0 || (u32)n >= OPTIONS_ANSWER_MAX - 1 || !HttpAnswer(s, szAnswer, (u32)n))
            return HTTP_IN_FAIL;
        s->uReadPos += uHeadLen;
        return HTTP_IN_OK;
    }

    // GET, POST, HEAD. A blocked proxy request is answered here and leaves the socket's
    // session alone.
    if ((s->uListenFlags & QV_EXT_TCP_LISTEN_PROXY) &&
        qvHttpFilterMatch(m_Cfg.Filter, m_Cfg.uFilterCount, lpReq->szTarget)) {
        if (!HttpAnswer(s, FILTER_ANSWER, sizeof(FILTER_ANSWER) - 1))
            return HTTP_IN_FAIL;
        s->uReadPos += uHeadLen;
        return HTTP_IN_OK;
    }
    if (s->uListenFlags & QV_EXT_TCP_LISTEN_PROXY) {
        char* lpHead = (char*)s->Buf.buf + s->uReadPos;
        u32 uNewLen = uHeadLen;
        qvHttpProxyRewrite(lpHead, &uNewLen, &s->uProxyConn);
        if (uNewLen < uHeadLen) {
            u32 uRest = s->Buf.uLen - s->uReadPos - uHeadLen;
            memmove(lpHead + uNewLen, lpHead + uHeadLen, uRest);
            s->Buf.uLen -= uHeadLen - uNewLen;
            uHeadLen = uNewLen;
        }
    }
    s->strTarget = lpReq->szTarget;
    const char* lpszQuery = strchr(lpReq->szTarget, '?');
    s->strQuery = lpszQuery ? lpszQuery + 1 : "";
    s->strContentType = lpReq->szContentType;
    s->uContentLen = lpReq->uHasContentLen ? lpReq->uContentLen : 0;
    s->uReqCount++;
    s->uBodyPos = 0;
    s->uHeadLeft = uHeadLen;
    s->uPhase = 1;
    s->uHttpState = lpReq->uMethod;
    // The node reads the request from the buffer now; nothing more is read meanwhile.
    DisarmRead(s);
    if (lpReq->uHasHost && strcmp(s->strHost.c_str(), lpReq->szHost) != 0) {
        s->strHost = lpReq->szHost;
        u32 uRet = HttpHostReport(s, lpEv);
        if (uRet != HTTP_IN_OK)
            return uRet;
    }
    if (s->lpRead)
        EventAdd(lpEv, s->lpRead, 2);
    return HTTP_IN_STOP;
}

u32 CQVExtTcp::HttpHostReport(SOCK_S* s, EVENTS_S* lpEv)
{
    // The socket belongs to a new session from here on: the old one keeps its instances but
    // they no longer reach the socket.
    SockDetach(s);
    s->uStatus |= SOCK_STA_REPORTED;
    if (!OnAccept(s->strAddrSock.c_str(), s->strHost.c_str(), s->uListenParam)) {
        qvLogOut(0, "ExtTcp: SockAccept, OnAccept failed.");
        SockFree(s, FREE_ABORT, lpEv);
        return HTTP_IN_FREED;
    }
    return HTTP_IN_OK;
}

u32 CQVExtTcp::HttpRequestEnd(SOCK_S* s, EVENTS_S* lpEv)
{
    if (s->uReqCount)
        s->uReqCount--;
    s->uHttpState = 0;
    s->uPhase = 0;
    s->uContentLen = s->uBodyPos = s->uHeadLeft = 0;
    s->uProxyConn = 0;
    s->strContentType = "";
    s->strTarget = "";
    s->strQuery = "";
    s->uRespLen = s->uRespPos = s->uRespScan = 0;
    s->Chunk.Reset();
    if (s->uStatus & SOCK_STA_CLOSING) {
        SockFree(s, FREE_NORMAL, lpEv);
        return 1;
    }
    // A request that came in behind this one is read now.
    if (s->Buf.uLen > s->uReadPos) {
        s->uPoll |= SOCK_POLL_INPUT;
        Wake(s->uThread, 0);
    } else if (s->uStatus & SOCK_STA_READ_END) {
        SockGone(s);
    }
    ArmRead(s);
    return 0;
}

int CQVExtTcp::HttpWrite(SOCK_S* s, const u8* lpData, u32* lpuSize, EVENTS_S* lpEv)
{
    u32 uLen = *lpuSize;
    u32 uTaken = 0;
    int iErr = 0;
    *lpuSize = 0;
    while (uTaken < uLen) {
        if (s->Out.uReady > s->Out.uSent) {
            OutFlush(s, &iErr);
            if (iErr)
                break;
            if (s->Out.uReady > s->Out.uSent) {
                s->uStatus |= SOCK_STA_WANT_WRITE;
                break;
            }
        }
        const u8* lpIn = lpData + uTaken;
        u32 uIn = uLen - uTaken;
        if (s->uHttpState < 1 || s->uHttpState > 3) {
            // The response ended (or can no longer be followed): the rest passes unchanged.
            u32 n = Send(s, lpIn, uIn, &iErr);
            if (iErr)
                break;
            uTaken += n;
            if (n < uIn) {
                s->uStatus |= SOCK_STA_WANT_WRITE;
                ArmWrite(s);
            }
            break;
        }
        if (s->uPhase < 2) {
            // The request is still going out: the bytes stay with the node until it has.
            s->uStatus |= SOCK_STA_WANT_WRITE;
            break;
        }
        if (s->uPhase == 2) {
            if (!BufGet(&s->Out.Buf)) {
                iErr = ENOMEM;
                break;
            }
            u32 uOld = s->Out.Buf.uLen;
            u32 uRoom = BUF_SIZE - BUF_SPARE - uOld;
            u32 uCopy = uIn < uRoom ? uIn : uRoom;
            memcpy(s->Out.Buf.buf + uOld, lpIn, uCopy);
            s->Out.Buf.uLen += uCopy;
            u32 uEnd = qvHttpHeadEnd((const char*)s->Out.Buf.buf, s->Out.Buf.uLen, s->uRespScan);
            if (uEnd == 0) {
                uTaken += uCopy;
                s->uRespScan = s->Out.Buf.uLen > 3 ? s->Out.Buf.uLen - 3 : 0;
                if (s->Out.Buf.uLen >= BUF_SIZE - BUF_SPARE) {
                    // No head of this size is followed: the bytes held go out as they are
                    // and everything after them passes unchanged.
                    qvLogOut(0, "ExtTcp::SockResponseHead, http response too long.");
                    s->uHttpState = 6;
                    s->Out.uReady = s->Out.Buf.uLen;
                }
                continue;
            }
            uTaken += uEnd - uOld;
            s->Out.Buf.uLen = uEnd;
            s->Out.uReady = uEnd;
            s->uRespScan = 0;
            QV_HTTP_RESP_S Resp;
            if (qvHttpResponseParse((const char*)s->Out.Buf.buf, uEnd, &Resp) != QV_HTTP_PARSE_DONE ||
                Resp.uStatus == 101) {
                // Not a response that can be delimited, or a switch to another protocol.
                s->uHttpState = 6;
                continue;
            }
            if (s->uProxyConn) {
                u32 uHead = s->Out.Buf.uLen;
                qvHttpResponseProxyConn((char*)s->Out.Buf.buf, &uHead, s->Out.Buf.uSize);
                s->Out.Buf.uLen = s->Out.uReady = uHead;
            }
            if (Resp.uStatus >= 100 && Resp.uStatus < 200)
                continue; // an interim answer: the final head follows
            u32 uNoBody = s->uHttpState == QV_HTTP_HEAD || Resp.uStatus == 204 || Resp.uStatus == 304;
            if (!uNoBody && !Resp.uHasLength)
                qvLogOut(1, "ExtTcp::SockResponseHead, Not content length, Host=%s, AddrSock=%s",
                         s->strHost.c_str(), s->strAddrSock.c_str());
            s->uRespLen = (uNoBody || !Resp.uHasLength) ? 0 : Resp.uContentLen;
            s->uRespPos = 0;
            s->Chunk.Reset();
            s->uPhase = 3;
            if (s->uRespLen == 0 && HttpRequestEnd(s, lpEv)) {
                *lpuSize = uTaken;
                return uTaken ? 3 : 1;
            }
            continue;
        }
        // Phase 3: the body, sent straight from the node's bytes.
        u32 uBody;
        if (s->uRespLen == QV_HTTP_CHUNKED) {
            CQVHttpChunk Probe = s->Chunk;
            if (Probe.Feed(lpIn, uIn, &uBody) == 2) {
                s->uHttpState = 6;
                continue;
            }
        } else {
            uBody = s->uRespLen - s->uRespPos;
            if (uBody > uIn)
                uBody = uIn;
        }
        u32 n = uBody ? Send(s, lpIn, uBody, &iErr) : 0;
        if (iErr)
            break;
        uTaken += n;
        u32 uEnded;
        if (s->uRespLen == QV_HTTP_CHUNKED) {
            u32 uUsed = 0;
            uEnded = n && s->Chunk.Feed(lpIn, n, &uUsed) == 1;
        } else {
            s->uRespPos += n;
            uEnded = s->uRespPos == s->uRespLen;
        }
        if (uEnded) {
            if (HttpRequestEnd(s, lpEv)) {
                *lpuSize = uTaken;
                return uTaken ? 3 : 1;
            }
            continue;
        }
        if (n < uBody || n == 0) {
            s->uStatus |= SOCK_STA_WANT_WRITE;
            ArmWrite(s);
            break;
        }
    }
    // A head completed by the last bytes of this call goes out now, not with a later call.
    if (!iErr && s->Out.uReady > s->Out.uSent)
        OutFlush(s, &iErr);
    if (iErr) {
        SockGone(s);
        SockFree(s, FREE_ABORT, lpEv);
        return 0;
    }
    *lpuSize = uTaken;
    return uTaken ? 3 : 1;
}
