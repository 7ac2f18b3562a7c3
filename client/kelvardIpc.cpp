#include "kelvardIpc.h"

#include <nanomsg/nn.h>
#include <nanomsg/pair.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "kelvardJson.h"
#include "kelvardShared.h"

namespace
{
// A daemon that is up takes a message at once, or within a few seconds when it has to open
// its socket again; one that is not there never will.
const int SEND_TIMEOUT_MS = 10000;
// Longer than the daemon's longest answer, a login that waits for the server (30 s).
const int RECV_TIMEOUT_MS = 90000;
// Largest reply taken, like the daemon's requests.
const int REPLY_MAX = 2047;

long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

CKelvardIpc::~CKelvardIpc()
{
    if (m_iSock >= 0)
        nn_close(m_iSock);
}

bool CKelvardIpc::Connect(const char* lpszAddr)
{
    // The link is made when there is something to send: a client that leaves without asking
    // anything never connects.
    m_strAddr = lpszAddr;
    return true;
}

bool CKelvardIpc::Open()
{
    if (m_iSock >= 0)
        nn_close(m_iSock);
    m_iSock = nn_socket(AF_SP, NN_PAIR);
    if (m_iSock < 0)
        return false;
    int iSend = SEND_TIMEOUT_MS;
    int iMax = 64 * 1024;
    nn_setsockopt(m_iSock, NN_SOL_SOCKET, NN_SNDTIMEO, &iSend, sizeof(iSend));
    nn_setsockopt(m_iSock, NN_SOL_SOCKET, NN_RCVMAXSIZE, &iMax, sizeof(iMax));
    if (nn_connect(m_iSock, m_strAddr.c_str()) < 0)
    {
        nn_close(m_iSock);
        m_iSock = -1;
        return false;
    }
    return true;
}

KelvIpcResult CKelvardIpc::Exchange(Json::Value request, Json::Value* pReply)
{
    *pReply = Json::Value();
    if (m_strAddr.empty() || (m_iSock < 0 && !Open()))
        return KIPC_COMM;
    char szId[64];
    snprintf(szId, sizeof(szId), "%d-%ld-%u", (int)getpid(), (long)time(nullptr), ++m_uSeq);
    m_strReqId = szId;
    request["reqid"] = m_strReqId;
    std::string str = kelvard_json_write(request);
    if (nn_send(m_iSock, str.data(), str.size(), 0) < 0)
        return KIPC_COMM;
    // A message can be lost while a link to the daemon is being made or torn down, and a link
    // can stay broken; so a request without a reply goes again, on a new link, after 1, 3, 7,
    // 15, 23, ... s (at most 8 s apart). The daemon answers a copy without running it twice.
    long long llDeadline = NowMs() + RECV_TIMEOUT_MS;
    long long llResend = NowMs() + 1000;
    int iGap = 1000;
    for (;;)
    {
        long long llNow = NowMs();
        if (llNow >= llDeadline)
            return KIPC_COMM;
        if (llNow >= llResend)
        {
            if (Open())
                nn_send(m_iSock, str.data(), str.size(), 0);
            iGap = iGap < 8000 ? std::min(iGap * 2, 8000) : 8000;
            llResend = NowMs() + iGap;
        }
        if (m_iSock < 0)
        {
            usleep(100 * 1000);
            continue;
        }
        KelvIpcResult r = ReceiveUntil(std::min(llResend, llDeadline), pReply);
        if (r != KIPC_COMM)
            return r;
    }
}

KelvIpcResult CKelvardIpc::Receive(Json::Value* pReply)
{
    *pReply = Json::Value();
    if (m_iSock < 0)
        return KIPC_COMM;
    return ReceiveUntil(NowMs() + RECV_TIMEOUT_MS, pReply);
}

KelvIpcResult CKelvardIpc::ReceiveUntil(long long llUntilMs, Json::Value* pReply)
{
    for (;;)
    {
        long long llLeft = llUntilMs - NowMs();
        if (llLeft <= 0)
            return KIPC_COMM;
        int iTimeout = (int)llLeft;
        nn_setsockopt(m_iSock, NN_SOL_SOCKET, NN_RCVTIMEO, &iTimeout, sizeof(iTimeout));
        void* pMsg = nullptr;
        int n = nn_recv(m_iSock, &pMsg, NN_MSG, 0);
        if (n < 0)
        {
            if (nn_errno() == EINTR)
                continue;
            return KIPC_COMM;
        }
        std::string str((const char*)pMsg, (size_t)(n > REPLY_MAX ? REPLY_MAX : n));
        nn_freemsg(pMsg);
        Json::Value reply;
        if (!kelvard_json_parse(str, &reply) || !reply.isObject())
            return KIPC_PARSE;
        if (kelvard_json_get_text(reply, "reqid") != m_strReqId)
            continue;
        *pReply = std::move(reply);
        return KIPC_OK;
    }
}
