// The client's side of the IPC exchange with kelvard-daemon: one JSON request, one reply (or a
// series of them for the connection list) over a nanomsg pair socket. A request that gets no
// reply in time is sent again on a new link (the daemon answers copies without running them
// twice).
//
// Every request carries a `reqid` of this client and run, which the daemon copies into its
// replies. A reply with another or no `reqid` belongs to an earlier client whose exchange was
// cut (it died or gave up before reading): it is dropped and the reading goes on.
#pragma once

#include <json/json.h>

#include <string>

enum KelvIpcResult
{
    KIPC_OK = 0,
    KIPC_PARSE = 1,  // a reply came but is not a JSON object
    KIPC_COMM = 2,   // nothing could be sent, or no reply came in time
};

class CKelvardIpc
{
public:
    CKelvardIpc() = default;
    ~CKelvardIpc();
    CKelvardIpc(const CKelvardIpc&) = delete;
    CKelvardIpc& operator=(const CKelvardIpc&) = delete;

    // Sets the daemon's address; the link is made with the first request (in the background,
    // retried until the daemon is there).
    bool Connect(const char* lpszAddr);

    // Sends the request (with this client's reqid added) and reads its first reply.
    KelvIpcResult Exchange(Json::Value request, Json::Value* pReply);
    // Reads the next reply to the last request (the later messages of a list).
    KelvIpcResult Receive(Json::Value* pReply);

private:
    // Reads until a reply to the current request arrives or the time (steady clock, ms) is up.
    KelvIpcResult ReceiveUntil(long long llUntilMs, Json::Value* pReply);
    // A new socket linked to the address (the old one closed).
    bool Open();
    std::string m_strAddr;
    int m_iSock = -1;
    unsigned int m_uSeq = 0;
    std::string m_strReqId;
};
