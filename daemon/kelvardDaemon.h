// The daemon's state, the start routine it shares between start-up, `start` and `login`, the
// tunnel event callback and the IPC command loop: one JSON request at a time from the client
// over a nanomsg pair socket, each answered through the tunnel's flat interface.
#pragma once

#include <json/json.h>

#include <atomic>
#include <string>
#include <vector>

#include "kelvardConnects.h"

// Shared with the tunnel's event callback thread: set to 1 by the login-result event, and the
// last node-forwarding status (0-3) from the forwarding-status event.
extern std::atomic<int> login_result;
extern std::atomic<int> fwd_flag;

// The event callback given to the tunnel (events 2 and 15 are used).
void TunnelEventProc(unsigned int uEvent, const char* lpszParam);
// The tunnel's log sink: the library's lines are not wanted in the daemon's files.
void DebugLogOut(unsigned int uLevel, const char* lpszText);
// The login status; 0 with *piStatus set, or the tunnel's error code.
int StatusGet(int* piStatus);

// Longest request text taken; longer ones are answered with a parameter error.
#define KELVARD_MSG_MAX 2047

class CKelvardDaemon
{
public:
    // The daemon's files, relative to its working directory.
    static constexpr const char* CFG_PATH = "./kelvard.cfg";
    static constexpr const char* CONNECTS_PATH = "./connects.json";

    // Makes the pair socket and binds it to lpszAddr (an "ipc://" address), creating the
    // directory of the socket file when missing. The socket or -1 (logged).
    static int OpenSocket(const char* lpszAddr);

    CKelvardDaemon() = default;
    ~CKelvardDaemon();
    CKelvardDaemon(const CKelvardDaemon&) = delete;
    CKelvardDaemon& operator=(const CKelvardDaemon&) = delete;

    // Opens the IPC socket on lpszAddr. False (logged) when it cannot be bound.
    bool Bind(const char* lpszAddr);

    // Start-up: the account from kelvard.cfg, the tunnel started with it, the stored
    // connections restored. Failures are logged; the flags then show the tunnel stopped.
    void StartUp();

    // Waits up to one tick (1 s) for a request and answers it; a tick without one checks the
    // link (see CheckLink). False when the socket is no longer usable.
    bool ServeOne();
    // Requests answered so far.
    unsigned long long Served() const { return m_ullServed; }

    // Answers one request text (what ServeOne does with a received message).
    void HandleRequest(const char* lpszText, size_t uLen);

    // How long `login` waits for the login result: uPolls checks, uPollMs apart.
    void SetLoginWait(unsigned int uPolls, unsigned int uPollMs)
    {
        m_uLoginPolls = uPolls;
        m_uLoginPollMs = uPollMs;
    }

    int StartFlag() const { return start_flag; }
    int LoginFlag() const { return login_flag; }
    const std::string& Group() const { return m_strGroup; }
    const std::string& User() const { return m_strUser; }
    const KelvConMap& Connections() const { return m_cons; }

private:
    struct Request
    {
        std::string strOption;
        Json::Value root;   // the request object
        Json::Value reqid;  // echoed in every reply when the client sent one
    };
    enum StartStage
    {
        START_OK = 0,
        START_SYSINFO = 1,  // no system information text
        START_LIBRARY = 2,  // the tunnel did not start
    };

    // Start routine: system information with this account's device ID, callback, tunnel start.
    StartStage StartTunnel(int* piCode);
    // Loads connects.json and adds every record to the tunnel (failures logged, kept).
    void RestoreConnections();
    std::string PeerOf(const KelvCon& con) const;
    int ConnectAdd(const KelvCon& con);
    int ConnectDelete(const KelvCon& con);
    void LogFields(const KelvCon& con);
    bool Ready() const { return start_flag == 1 && login_flag == 1; }

    Json::Value Reply(const Request& req) const;
    Json::Value ReplyCode(const Request& req, int iCode, const char* lpszMsg) const;
    void Send(const Json::Value& reply);
    // The refusal of a command that needs the tunnel started and logged in.
    void SendNotReady(const Request& req, bool bWithUser, bool bWithFinish);

    void Dispatch(const Request& req);
    void CmdLogin(const Request& req);
    void CmdStatus(const Request& req);
    void CmdQryFwd(const Request& req);
    void CmdAddCon(const Request& req);
    void CmdQryCon(const Request& req);
    void CmdDelCon(const Request& req);
    void CmdQryNetType(const Request& req);
    void CmdSetForward(const Request& req);
    void CmdStart(const Request& req);
    void CmdStop(const Request& req);

    // A pair socket takes one peer at a time. After a burst of clients that connect and go,
    // the IPC library can keep a peer whose connection is already closed as its peer, or stop
    // accepting connections, and then serves no new client, for good. A tick without a
    // request is suspect when the library counts a peer but this process holds no socket on
    // the IPC path whose peer is still connected, or when a connection waits in the
    // listener's queue; two in a row make the daemon open its socket again (clients send
    // their request again). A socket file that has gone is made again at once.
    void CheckLink();
    void Reopen();
    bool PeerSocketPresent() const;
    bool ListenerWaiting() const;
    bool SocketFileMissing() const;
    std::vector<int> OwnSockets(const char* lpszState) const;
    std::string m_strAddr;
    unsigned int m_uSuspectTicks = 0;
    unsigned long long m_ullServed = 0;

    // Requests already served, by reqid: a client that heard nothing resends its request, and
    // a copy must not run twice. The last request's replies are kept to answer its copies.
    enum
    {
        SERVED_IDS = 16,
    };
    bool SeenBefore(const std::string& strId) const;
    std::string m_astrServed[SERVED_IDS];
    unsigned int m_uServedNext = 0;
    std::vector<std::string> m_lastReplies;
    long long m_llLastReplyMs = 0;
    std::vector<std::string> m_curReplies;
    bool m_bRecording = false;

    int m_iSock = -1;
    int start_flag = 0;
    int login_flag = 0;
    std::string m_strGroup;
    std::string m_strUser;
    KelvConMap m_cons;
    // 300 checks 100 ms apart: a server that never answers a login costs 30 s, not the daemon.
    unsigned int m_uLoginPolls = 300;
    unsigned int m_uLoginPollMs = 100;
};
