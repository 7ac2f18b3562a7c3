#include "kelvardDaemon.h"

#include <nanomsg/nn.h>
#include <nanomsg/pair.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "kelvardCfg.h"
#include "kelvardJson.h"
#include "log.h"
#include "qvLibTunnel.h"

std::atomic<int> login_result{0};
std::atomic<int> fwd_flag{0};

namespace
{
// Texts of the login states, as `status` shows them.
const char* StatusText(int iStatus)
{
    switch (iStatus)
    {
    case 10: return "发送登录请求失败";
    case 11: return "已经注销(稍后重试登录请求)";
    case 16: return "正在请求登录";
    case 17: return "登录错误(请求超时)";
    case 18: return "登录错误(网络错误)";
    case 19: return "登录错误(用户名错误)";
    case 20: return "登录错误(密码错误)";
    case 21: return "登录错误(拒绝访问)";
    case 22: return "登录错误(服务器正忙)";
    case 23: return "登录错误(其他登录失败)";
    case 32: return "用户名冲突被服务器踢下线";
    case 255: return "未知状态";
    default: return nullptr;
    }
}

// As `login` shows them: a bad user there means the group or the client ID.
const char* LoginText(int iStatus)
{
    return iStatus == 19 ? "登录错误(组名或客户端ID错误)" : StatusText(iStatus);
}

const char* FwdText(int iStatus)
{
    switch (iStatus)
    {
    case 0: return "节点转发为禁用";
    case 1: return "节点转发为暂停，因为本端正在使用网络带宽";
    case 2: return "节点转发为启用，且当前空闲";
    case 3: return "节点转发为启用，且当前正在协助转发";
    default: return nullptr;
    }
}

// A definite no from the server to the account itself (bad user or password, refused, other
// failure, or one of the server's own codes), as opposed to a login that could not be
// completed (time-out, network, busy), which the tunnel keeps retrying.
bool IsRefusal(int iStatus)
{
    return iStatus == 19 || iStatus == 20 || iStatus == 21 || iStatus == 23 || iStatus >= 256;
}

long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char* const BAD_PARAM_TEXT = "传递的参数错误";
const char* const CFG_FAILED_TEXT = "保存配置文件失败";

// Longest texts taken from a request: the peer ID "_DEV_<ID>@<group>" and the account's User
// and Pass must fit the tunnel's 127-character fields, the addresses its 63-character ones.
const size_t TEXT_MAX = 255;
const size_t DEVID_MAX = 127;
const size_t PASS_MAX = 127;
}  // namespace

void TunnelEventProc(unsigned int uEvent, const char* lpszParam)
{
    if (!lpszParam)
        lpszParam = "";
    if (uEvent == 2)
    {
        login_result.store(1);
        return;
    }
    if (uEvent != 15)
        return;
    std::string strSafe = kelvard_log_safe(lpszParam, strnlen(lpszParam, 4096));
    KLOG("event = %d", (int)uEvent);
    KLOG("lpszParam = %s", strSafe.c_str());
    const char* p = strstr(lpszParam, "\":");
    if (p)
    {
        p += 2;
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
            p++;
        bool bNeg = false;
        if (*p == '-' || *p == '+')
            bNeg = *p++ == '-';
        long long v = 0;
        for (; *p >= '0' && *p <= '9'; p++)
        {
            if (v < INT_MAX)
                v = v * 10 + (*p - '0');
        }
        if (v > INT_MAX)
            v = INT_MAX;
        fwd_flag.store((int)(bNeg ? -v : v));
    }
    KLOG("event = %d, lpszParam = %s, fwd_status = %d", (int)uEvent, strSafe.c_str(), fwd_flag.load());
}

void DebugLogOut(unsigned int, const char*)
{
}

int StatusGet(int* piStatus)
{
    QV_TUNNEL_STATUS_S status;
    memset(&status, 0, sizeof(status));
    int r = doZirizaStatusGet(QV_TUNNEL_GET_STA_LOGIN, &status);
    if (r != 0)
    {
        KLOG("doZirizaStatusGet: errcode=%d", r);
        return r;
    }
    *piStatus = (int)status.uStatus;
    return 0;
}

int CKelvardDaemon::OpenSocket(const char* lpszAddr)
{
    const char* lpszFile = strncmp(lpszAddr, "ipc://", 6) == 0 ? lpszAddr + 6 : nullptr;
    if (lpszFile)
    {
        std::string strDir(lpszFile);
        size_t pos = strDir.rfind('/');
        if (pos != std::string::npos && pos > 0)
        {
            strDir.resize(pos);
            if (mkdir(strDir.c_str(), 0755) != 0 && errno != EEXIST)
                KLOG("mkdir %s: %s", strDir.c_str(), strerror(errno));
        }
    }
    int iSock = nn_socket(AF_SP, NN_PAIR);
    if (iSock < 0)
    {
        KLOG("nn_socket: %s", nn_strerror(nn_errno()));
        return -1;
    }
    // A reply to a client that has gone must not hold the loop: it waits 2 s for a peer. The
    // loop wakes every second (a tick) to check the link. A request larger than 64 KiB is
    // dropped by the transport before it reaches the loop.
    int iSendTimeout = 2000;
    int iTick = 1000;
    int iMaxSize = 64 * 1024;
    nn_setsockopt(iSock, NN_SOL_SOCKET, NN_SNDTIMEO, &iSendTimeout, sizeof(iSendTimeout));
    nn_setsockopt(iSock, NN_SOL_SOCKET, NN_RCVTIMEO, &iTick, sizeof(iTick));
    nn_setsockopt(iSock, NN_SOL_SOCKET, NN_RCVMAXSIZE, &iMaxSize, sizeof(iMaxSize));
    if (nn_bind(iSock, lpszAddr) < 0)
    {
        KLOG("绑定IPC地址%s失败: %s", lpszAddr, nn_strerror(nn_errno()));
        nn_close(iSock);
        return -1;
    }
    return iSock;
}

CKelvardDaemon::~CKelvardDaemon()
{
    if (m_iSock >= 0)
        nn_close(m_iSock);
}

bool CKelvardDaemon::Bind(const char* lpszAddr)
{
    m_strAddr = lpszAddr;
    m_iSock = OpenSocket(lpszAddr);
    m_uSuspectTicks = 0;
    return m_iSock >= 0;
}

void CKelvardDaemon::Reopen()
{
    if (m_iSock >= 0)
        nn_close(m_iSock);
    m_iSock = OpenSocket(m_strAddr.c_str());
    m_uSuspectTicks = 0;
}

bool CKelvardDaemon::SocketFileMissing() const
{
    // Closing a socket removes its file, sometimes only after a new one has been bound.
    if (m_strAddr.compare(0, 6, "ipc://") != 0)
        return false;
    struct stat st;
    return stat(m_strAddr.c_str() + 6, &st) != 0 || !S_ISSOCK(st.st_mode);
}

std::vector<int> CKelvardDaemon::OwnSockets(const char* lpszState) const
{
    // Unix sockets on the IPC path in the given state (01 listening, 03 connected; an accepted
    // socket shows its listener's path), then the descriptors of this process among them.
    std::vector<int> fds;
    std::string strPath = m_strAddr.compare(0, 6, "ipc://") == 0 ? m_strAddr.substr(6) : m_strAddr;
    std::set<unsigned long> inodes;
    FILE* fp = fopen("/proc/net/unix", "r");
    if (!fp)
        return fds;
    char szLine[1024];
    while (fgets(szLine, sizeof(szLine), fp))
    {
        char szState[8] = {0};
        unsigned long ulInode = 0;
        char szPath[512] = {0};
        if (sscanf(szLine, "%*s %*s %*s %*s %*s %7s %lu %511s", szState, &ulInode, szPath) == 3 &&
            strcmp(szState, lpszState) == 0 && strPath == szPath)
            inodes.insert(ulInode);
    }
    fclose(fp);
    if (inodes.empty())
        return fds;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return fds;
    while (struct dirent* e = readdir(dir))
    {
        char szLink[64] = {0};
        std::string strFd = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(strFd.c_str(), szLink, sizeof(szLink) - 1);
        unsigned long ulInode = 0;
        if (n > 0 && sscanf(szLink, "socket:[%lu]", &ulInode) == 1 && inodes.count(ulInode))
            fds.push_back(atoi(e->d_name));
    }
    closedir(dir);
    return fds;
}

bool CKelvardDaemon::ListenerWaiting() const
{
    // The library accepts a connection as soon as one waits; one still waiting a tick later
    // (and the next) is not being accepted.
    for (int fd : OwnSockets("01"))
    {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN))
            return true;
    }
    return false;
}

bool CKelvardDaemon::PeerSocketPresent() const
{
    // Connected, unless its peer has closed (a socket keeps its state after that).
    for (int fd : OwnSockets("03"))
    {
        struct pollfd pfd = {fd, POLLRDHUP, 0};
        if (poll(&pfd, 1, 0) >= 0 && !(pfd.revents & (POLLHUP | POLLRDHUP | POLLERR)))
            return true;
    }
    return false;
}

void CKelvardDaemon::CheckLink()
{
    if (SocketFileMissing())
    {
        KLOG("IPC socket file is gone, opened again");
        Reopen();
        return;
    }
    bool bSuspect = (nn_get_statistic(m_iSock, NN_STAT_CURRENT_CONNECTIONS) > 0 && !PeerSocketPresent()) ||
                    ListenerWaiting();
    m_uSuspectTicks = bSuspect ? m_uSuspectTicks + 1 : 0;
    if (m_uSuspectTicks >= 2)
    {
        KLOG("IPC socket keeps a peer whose connection is gone or accepts no client, opened again");
        Reopen();
    }
}

CKelvardDaemon::StartStage CKelvardDaemon::StartTunnel(int* piCode)
{
    *piCode = 0;
    char szInfo[256];
    memset(szInfo, 0, sizeof(szInfo));
    std::string strDevID = "_DEV_" + m_strUser + "@" + m_strGroup;
    int r = doZirizaSysInfo(CFG_PATH, szInfo, sizeof(szInfo));
    if (r != 0)
    {
        KLOG("doZirizaSysInfo: errcode=%d", r);
        *piCode = r;
        return START_SYSINFO;
    }
    szInfo[sizeof(szInfo) - 1] = 0;
    if (strDevID.size() > DEVID_MAX || !ReplaceDevID(szInfo, sizeof(szInfo), strDevID))
        KLOG("设备ID未写入系统信息: %s", kelvard_log_safe(strDevID).c_str());
    login_result.store(0);
    doZirizaCallbackSet(TunnelEventProc);
    r = doZirizaStart(CFG_PATH, szInfo, nullptr, DebugLogOut);
    if (r != 0)
    {
        KLOG("doZirizaStart: errcode=%d", r);
        *piCode = r;
        return START_LIBRARY;
    }
    return START_OK;
}

std::string CKelvardDaemon::PeerOf(const KelvCon& con) const
{
    return "_DEV_" + con.remote + "@" + m_strGroup;
}

void CKelvardDaemon::LogFields(const KelvCon& con)
{
    KLOG("remote: %s", kelvard_log_safe(con.remote).c_str());
    KLOG("srvip: %s", kelvard_log_safe(con.srvip).c_str());
    KLOG("srvport: %d", con.srvport);
    KLOG("cliip: %s", kelvard_log_safe(con.cliip).c_str());
    KLOG("cliport: %d", con.cliport);
}

int CKelvardDaemon::ConnectAdd(const KelvCon& con)
{
    std::string strPeer = PeerOf(con);
    if (strPeer.size() > DEVID_MAX)
        return QV_TUNNEL_ERROR_BADPARAM;
    std::string strSrv = con.srvip + ":" + std::to_string(con.srvport);
    std::string strCli = con.cliip + ":" + std::to_string(con.cliport);
    QV_TUNNEL_CLIENT_ADDR_S addr;
    memset(&addr, 0, sizeof(addr));
    int r = doZirizaConnectAdd("", strPeer.c_str(), con.flag & 1, (con.flag >> 1) & 1, strSrv.c_str(),
                               strCli.c_str(), &addr);
    if (r == 0)
        KLOG("此连接的本地地址为: %s", kelvard_log_safe(strCli).c_str());
    return r;
}

int CKelvardDaemon::ConnectDelete(const KelvCon& con)
{
    std::string strPeer = PeerOf(con);
    if (strPeer.size() > DEVID_MAX)
        return QV_TUNNEL_ERROR_BADPARAM;
    std::string strSrv = con.srvip + ":" + std::to_string(con.srvport);
    std::string strCli = con.cliip + ":" + std::to_string(con.cliport);
    return doZirizaConnectDelete("", strPeer.c_str(), con.flag & 1, (con.flag >> 1) & 1, strSrv.c_str(),
                                 strCli.c_str());
}

void CKelvardDaemon::RestoreConnections()
{
    load_connects_cfg(CONNECTS_PATH, m_cons);
    for (auto& it : m_cons)
    {
        int r = ConnectAdd(it.second);
        if (r != 0)
        {
            LogFields(it.second);
            KLOG("添加连接失败: %d", r);
        }
    }
}

void CKelvardDaemon::StartUp()
{
    load_kelvard_cfg(CFG_PATH, m_strGroup, m_strUser);
    int iCode = 0;
    if (StartTunnel(&iCode) != START_OK)
        return;
    start_flag = 1;
    login_flag = 1;
    RestoreConnections();
}

bool CKelvardDaemon::ServeOne()
{
    if (m_iSock < 0)
    {
        // The socket could not be opened again: retry once per tick.
        sleep(1);
        Reopen();
        return true;
    }
    void* pMsg = nullptr;
    int n = nn_recv(m_iSock, &pMsg, NN_MSG, 0);
    if (n < 0)
    {
        int e = nn_errno();
        if (e == EAGAIN || e == ETIMEDOUT)
        {
            CheckLink();
            return true;
        }
        if (e == EINTR)
            return true;
        KLOG("nn_recv: %s", nn_strerror(e));
        return e != EBADF && e != ETERM;
    }
    m_uSuspectTicks = 0;
    HandleRequest((const char*)pMsg, (size_t)n);
    nn_freemsg(pMsg);
    m_ullServed++;
    return true;
}

Json::Value CKelvardDaemon::Reply(const Request& req) const
{
    Json::Value reply(Json::objectValue);
    reply["option"] = req.strOption;
    if (!req.reqid.isNull())
        reply["reqid"] = req.reqid;
    return reply;
}

Json::Value CKelvardDaemon::ReplyCode(const Request& req, int iCode, const char* lpszMsg) const
{
    Json::Value reply = Reply(req);
    reply["errcode"] = iCode;
    reply["errmsg"] = lpszMsg ? lpszMsg : "";
    return reply;
}

void CKelvardDaemon::Send(const Json::Value& reply)
{
    std::string str = kelvard_json_write(reply);
    if (m_bRecording && m_curReplies.size() < KELVCON_MAX_COUNT + 2)
        m_curReplies.push_back(str);
    if (nn_send(m_iSock, str.data(), str.size(), 0) < 0)
        KLOG("nn_send: %s", nn_strerror(nn_errno()));
}

bool CKelvardDaemon::SeenBefore(const std::string& strId) const
{
    for (auto& id : m_astrServed)
    {
        if (!id.empty() && id == strId)
            return true;
    }
    return false;
}

void CKelvardDaemon::SendNotReady(const Request& req, bool bWithUser, bool bWithFinish)
{
    Json::Value reply = start_flag == 1 ? ReplyCode(req, -27, "尚未登录") : ReplyCode(req, -26, "尚未启动");
    if (bWithUser)
        reply["user"] = m_strUser;
    // The client lists records until a message with `finish`; a refusal ends the list too.
    if (bWithFinish)
        reply["finish"] = 1;
    Send(reply);
}

void CKelvardDaemon::HandleRequest(const char* lpszText, size_t uLen)
{
    Request req;
    Json::Value root;
    bool bJson = kelvard_json_parse(lpszText, uLen, &root) && root.isObject();

    // The log never holds the password: a login request is logged with it masked.
    if (bJson)
    {
        Json::Value shown = root;
        if (shown["args"].isObject() && shown["args"].isMember("pass"))
            shown["args"]["pass"] = "******";
        KLOG("recv: %s", kelvard_log_safe(kelvard_json_write(shown)).c_str());
    }
    else if (memmem(lpszText, uLen, "pass", 4))
        KLOG("recv: (%zu bytes, not JSON, not shown)", uLen);
    else
        KLOG("recv: %s", kelvard_log_safe(lpszText, uLen).c_str());

    if (!bJson)
    {
        Send(ReplyCode(req, QV_TUNNEL_ERROR_BADPARAM, BAD_PARAM_TEXT));
        return;
    }
    const Json::Value* pId = root.find("reqid", "reqid" + 5);
    if (pId && ((pId->isString() && pId->asString().size() <= 64) || pId->isInt64() || pId->isUInt64()))
        req.reqid = *pId;
    if (kelvard_json_text(root, "option", 32, &req.strOption) != KJ_OK)
    {
        req.strOption.clear();
        Send(ReplyCode(req, QV_TUNNEL_ERROR_BADPARAM, BAD_PARAM_TEXT));
        return;
    }
    const Json::Value* pArgs = root.find("args", "args" + 4);
    if (uLen > KELVARD_MSG_MAX || (pArgs && !pArgs->isNull() && !pArgs->isObject()))
    {
        Send(ReplyCode(req, QV_TUNNEL_ERROR_BADPARAM, BAD_PARAM_TEXT));
        return;
    }
    req.root = std::move(root);

    std::string strId = req.reqid.isNull() ? "" : kelvard_json_write(req.reqid);
    if (!strId.empty() && SeenBefore(strId))
    {
        // A copy of a request already served. The newest one is answered again from what was
        // sent (never waiting for a client that may have gone), unless its answer went out
        // just now (copies that queued up while it ran); older ones are done with.
        bool bLast = m_astrServed[(m_uServedNext + SERVED_IDS - 1) % SERVED_IDS] == strId &&
                     NowMs() - m_llLastReplyMs >= 500;
        KLOG("repeated request %s, %s", kelvard_log_safe(strId).c_str(), bLast ? "answered again" : "ignored");
        if (bLast)
        {
            for (auto& str : m_lastReplies)
                nn_send(m_iSock, str.data(), str.size(), NN_DONTWAIT);
        }
        return;
    }
    m_bRecording = !strId.empty();
    m_curReplies.clear();
    Dispatch(req);
    if (m_bRecording)
    {
        m_astrServed[m_uServedNext] = strId;
        m_uServedNext = (m_uServedNext + 1) % SERVED_IDS;
        m_lastReplies.swap(m_curReplies);
        m_llLastReplyMs = NowMs();
        m_bRecording = false;
    }
    m_curReplies.clear();
}

void CKelvardDaemon::Dispatch(const Request& req)
{

    static const struct
    {
        const char* lpszName;
        void (CKelvardDaemon::*pfn)(const Request&);
    } COMMANDS[] = {
        {"login", &CKelvardDaemon::CmdLogin},       {"status", &CKelvardDaemon::CmdStatus},
        {"qryfwd", &CKelvardDaemon::CmdQryFwd},     {"addcon", &CKelvardDaemon::CmdAddCon},
        {"qrycon", &CKelvardDaemon::CmdQryCon},     {"delcon", &CKelvardDaemon::CmdDelCon},
        {"qrynettype", &CKelvardDaemon::CmdQryNetType}, {"setforward", &CKelvardDaemon::CmdSetForward},
        {"start", &CKelvardDaemon::CmdStart},       {"stop", &CKelvardDaemon::CmdStop},
    };
    for (auto& cmd : COMMANDS)
    {
        if (req.strOption == cmd.lpszName)
        {
            (this->*cmd.pfn)(req);
            return;
        }
    }
    Send(ReplyCode(req, QV_TUNNEL_ERROR_BADMETHOD, "不支持的命令"));
}

void CKelvardDaemon::CmdLogin(const Request& req)
{
    const Json::Value& args = req.root["args"];
    std::string strPass, strGroup, strUser;
    bool bArgsOk = kelvard_json_text(args, "pass", TEXT_MAX, &strPass) == KJ_OK &&
                   kelvard_json_text(args, "group", TEXT_MAX, &strGroup) == KJ_OK &&
                   kelvard_json_text(args, "user", TEXT_MAX, &strUser) == KJ_OK;
    KLOG("this is a login option");
    KLOG("组名: %s", kelvard_log_safe(strGroup).c_str());
    KLOG("用户名: %s", kelvard_log_safe(strUser).c_str());
    KLOG("密码: %s", "******");
    if (!bArgsOk)
    {
        Send(ReplyCode(req, QV_TUNNEL_ERROR_BADPARAM, BAD_PARAM_TEXT));
        return;
    }
    // Checked before anything changes: a refused login keeps the account in use.
    if (strGroup.find_first_of("()@}") != std::string::npos)
    {
        KLOG("group cannot contain '(', ')', or '}'");
        Send(ReplyCode(req, -25, "组名中不能包含字符'(',')','@'或'}'"));
        return;
    }
    if (strUser.find_first_of("()@}") != std::string::npos)
    {
        KLOG("user cannot contain '(', ')', or '}'");
        Send(ReplyCode(req, -25, "用户名中不能包含字符'(',')','@'或'}'"));
        return;
    }
    if (strPass.find('}') != std::string::npos)
    {
        KLOG("pass cannot contain '(', ')', or '}'");
        Send(ReplyCode(req, -25, "密码中不能包含字符'}'"));
        return;
    }
    if (5 + strUser.size() + 1 + strGroup.size() > DEVID_MAX || strPass.size() > PASS_MAX)
    {
        Send(ReplyCode(req, QV_TUNNEL_ERROR_BADPARAM, BAD_PARAM_TEXT));
        return;
    }

    // What a refusal by the server restores.
    std::string strOldUserRaw, strOldPassRaw;
    bool bHaveOld = kelvard_cfg_get_account(CFG_PATH, &strOldUserRaw, &strOldPassRaw);
    std::string strOldGroup = m_strGroup;
    std::string strOldUser = m_strUser;
    int iOldStart = start_flag;
    int iOldLogin = login_flag;

    if (save_kelvard_cfg(CFG_PATH, strGroup, strUser, strPass) != 0)
    {
        Send(ReplyCode(req, QV_TUNNEL_ERROR_BADFILE, CFG_FAILED_TEXT));
        return;
    }
    m_strGroup = strGroup;
    m_strUser = strUser;
    if (start_flag == 1)
    {
        doZirizaStop();
        start_flag = 0;
    }
    int iCode = 0;
    StartStage stage = StartTunnel(&iCode);
    if (stage == START_SYSINFO)
    {
        Send(ReplyCode(req, -26, "获取系统信息失败"));
        return;
    }
    login_flag = 1;
    if (stage == START_LIBRARY)
    {
        Send(ReplyCode(req, -27, "启动P2P隧道客户端模块失败"));
        return;
    }
    start_flag = 1;

    unsigned int uPoll = 0;
    while (login_result.load() != 1 && uPoll < m_uLoginPolls)
    {
        usleep(m_uLoginPollMs * 1000);
        uPoll++;
    }
    if (login_result.load() != 1)
    {
        // The tunnel goes on trying with the new account; the client hears of the wait's end.
        KLOG("no login result after %u ms", m_uLoginPolls * m_uLoginPollMs);
        Send(ReplyCode(req, QV_TUNNEL_ERROR_TIMEOUT, "登录错误(请求超时)"));
        return;
    }
    login_result.store(0);

    int iStatus = 0;
    int r = StatusGet(&iStatus);
    if (r != 0)
    {
        KLOG("doZirizaStart: errcode=%d", r);
        Send(ReplyCode(req, r, "获取登录到P2P服务器的状态失败"));
        return;
    }
    if (iStatus == 0)
    {
        RestoreConnections();
        login_flag = 1;
        KLOG("用户登录成功");
        Send(ReplyCode(req, 0, "登录成功"));
        return;
    }
    KLOG("StatusGet: errcode=%d", r);
    if (IsRefusal(iStatus))
    {
        // Back to the account that was in use, in the file, in memory and in the tunnel.
        KLOG("登录被拒绝, 恢复原账户: %s", kelvard_log_safe(strOldUser).c_str());
        if (bHaveOld)
            kelvard_cfg_set_account(CFG_PATH, strOldUserRaw, strOldPassRaw);
        m_strGroup = strOldGroup;
        m_strUser = strOldUser;
        doZirizaStop();
        start_flag = 0;
        login_flag = iOldLogin;
        if (iOldStart == 1 && StartTunnel(&iCode) == START_OK)
        {
            start_flag = 1;
            login_flag = 1;
            RestoreConnections();
        }
    }
    Json::Value reply = Reply(req);
    reply["errcode"] = iStatus;
    if (const char* lpszText = LoginText(iStatus))
        reply["errmsg"] = lpszText;
    Send(reply);
}

void CKelvardDaemon::CmdStatus(const Request& req)
{
    if (!Ready())
    {
        SendNotReady(req, true, false);
        return;
    }
    int iStatus = 0;
    int r = StatusGet(&iStatus);
    Json::Value reply = Reply(req);
    reply["user"] = m_strUser;
    if (r != 0)
    {
        KLOG("doZirizaStart: errcode=%d", r);
        reply["errcode"] = r;
        reply["errmsg"] = "获取登录到P2P服务器的状态失败";
    }
    else if (iStatus == 0)
    {
        reply["errcode"] = 0;
        reply["errmsg"] = "登录成功";
    }
    else
    {
        KLOG("StatusGet: errcode=%d", r);
        reply["errcode"] = iStatus;
        if (const char* lpszText = StatusText(iStatus))
            reply["errmsg"] = lpszText;
    }
    Send(reply);
}

void CKelvardDaemon::CmdQryFwd(const Request& req)
{
    int iFwd = fwd_flag.load();
    Json::Value reply = Reply(req);
    reply["user"] = m_strUser;
    reply["errcode"] = iFwd;
    if (const char* lpszText = FwdText(iFwd))
        reply["errmsg"] = lpszText;
    Send(reply);
}

void CKelvardDaemon::CmdAddCon(const Request& req)
{
    if (!Ready())
    {
        SendNotReady(req, false, false);
        return;
    }
    const Json::Value& args = req.root["args"];
    KelvCon con;
    long long llSrvPort = 0, llCliPort = 0;
    if (kelvard_json_text(args, "remote", KELVCON_MAX_REMOTE, &con.remote) != KJ_OK ||
        kelvard_json_text(args, "srvip", KELVCON_MAX_HOST, &con.srvip) != KJ_OK ||
        kelvard_json_int(args, "srvport", 0, 65535, &llSrvPort) != KJ_OK ||
        kelvard_json_text(args, "cliip", KELVCON_MAX_HOST, &con.cliip) != KJ_OK ||
        kelvard_json_int(args, "cliport", 0, 65535, &llCliPort) != KJ_OK)
    {
        Send(ReplyCode(req, QV_TUNNEL_ERROR_BADPARAM, BAD_PARAM_TEXT));
        return;
    }
    con.srvport = (int)llSrvPort;
    con.cliport = (int)llCliPort;
    con.seq = (int)m_cons.size();
    con.flag = 0;
    for (auto& it : m_cons)
    {
        if (it.second.SameTarget(con))
        {
            Send(ReplyCode(req, 257, "请勿重复添加"));
            return;
        }
    }
    if (m_cons.size() >= KELVCON_MAX_COUNT)
    {
        Send(ReplyCode(req, QV_TUNNEL_ERROR_NOSPACE, ""));
        return;
    }
    int r = ConnectAdd(con);
    if (r != 0)
    {
        LogFields(con);
        KLOG("添加连接失败: %d", r);
        Send(ReplyCode(req, r, r == -2 ? BAD_PARAM_TEXT : r == -1 ? "系统错误" : ""));
        return;
    }
    // Stored before the success is told, and taken back from the tunnel when it cannot be.
    KelvConMap cons = m_cons;
    cons.emplace(con.seq, con);
    if (!save_connects_cfg(CONNECTS_PATH, cons))
    {
        ConnectDelete(con);
        Send(ReplyCode(req, QV_TUNNEL_ERROR_SYSTEM, "系统错误"));
        return;
    }
    m_cons.swap(cons);
    Send(ReplyCode(req, 0, "添加成功"));
}

void CKelvardDaemon::CmdQryCon(const Request& req)
{
    if (!Ready())
    {
        SendNotReady(req, false, true);
        return;
    }
    for (auto& it : m_cons)
    {
        const KelvCon& con = it.second;
        std::string strPeer = PeerOf(con);
        std::string strSrv = con.srvip + ":" + std::to_string(con.srvport);
        QV_TUNNEL_CLIENT_ADDR_S addr;
        memset(&addr, 0, sizeof(addr));
        int r = strPeer.size() > DEVID_MAX ? QV_TUNNEL_ERROR_BADPARAM
                                            : doZirizaConnectQuery(strPeer.c_str(), con.flag & 1,
                                                                   (con.flag >> 1) & 1, strSrv.c_str(), &addr);
        if (r != 0)
        {
            LogFields(con);
            KLOG("查询连接失败: %d", r);
            continue;
        }
        KLOG("此连接的本地地址为: %s",
             kelvard_log_safe(con.cliip + ":" + std::to_string(con.cliport)).c_str());
        Json::Value reply = Reply(req);
        reply["seq"] = con.seq;
        reply["remote"] = con.remote;
        reply["srvip"] = con.srvip;
        reply["srvport"] = con.srvport;
        reply["cliip"] = con.cliip;
        reply["cliport"] = con.cliport;
        reply["finish"] = 0;
        Send(reply);
    }
    Json::Value last = Reply(req);
    last["finish"] = 1;
    Send(last);
}

void CKelvardDaemon::CmdDelCon(const Request& req)
{
    if (!Ready())
    {
        SendNotReady(req, false, false);
        return;
    }
    long long llSeq = 0;
    KelvJsonRead rd = kelvard_json_int(req.root, "seq", LLONG_MIN, LLONG_MAX, &llSeq);
    if (rd == KJ_TYPE)
    {
        Send(ReplyCode(req, QV_TUNNEL_ERROR_BADPARAM, BAD_PARAM_TEXT));
        return;
    }
    if (rd != KJ_OK || llSeq < 0 || llSeq >= (long long)m_cons.size())
    {
        Send(ReplyCode(req, -28, "超出索引范围"));
        return;
    }
    // Keys are always the positions 0, 1, ..., so the key is the position the user saw.
    auto it = m_cons.find((int)llSeq);
    if (it == m_cons.end())
    {
        Send(ReplyCode(req, -28, "超出索引范围"));
        return;
    }
    KelvCon con = it->second;
    int r = ConnectDelete(con);
    if (r != 0)
    {
        KLOG("删除连接失败: %d", r);
        Send(ReplyCode(req, r, ""));
        return;
    }
    KLOG("删除连接成功");
    KelvConMap cons = m_cons;
    cons.erase((int)llSeq);
    kelvcon_renumber(cons);
    if (!save_connects_cfg(CONNECTS_PATH, cons))
    {
        // The stored list still holds it, so the tunnel gets it back.
        ConnectAdd(con);
        Send(ReplyCode(req, QV_TUNNEL_ERROR_SYSTEM, "系统错误"));
        return;
    }
    m_cons.swap(cons);
    Send(ReplyCode(req, 0, "删除成功"));
}

void CKelvardDaemon::CmdQryNetType(const Request& req)
{
    std::string strUser = m_strUser;
    load_kelvard_cfg(CFG_PATH, m_strGroup, m_strUser);
    QV_TUNNEL_PEER_INFO_S info;
    memset(&info, 0, sizeof(info));
    // An unanswered query reports net type 0, shown as unknown.
    if (doZirizaPeerInfoGet("doZirizaSvr0", &info) != 0)
        info.uType = 0;
    KLOG("net type: %d", (int)info.uType);
    Json::Value reply = Reply(req);
    reply["user"] = strUser;
    reply["utype"] = info.uType;
    Send(reply);
}

void CKelvardDaemon::CmdSetForward(const Request& req)
{
    long long llValue = 0;
    Json::Value reply = Reply(req);
    reply["user"] = m_strUser;
    if (kelvard_json_int(req.root["args"], "value", 0, INT_MAX, &llValue) != KJ_OK)
    {
        reply["status"] = QV_TUNNEL_ERROR_BADPARAM;
        reply["errcode"] = QV_TUNNEL_ERROR_BADPARAM;
        reply["errmsg"] = BAD_PARAM_TEXT;
    }
    else if (save_kelvard_cfg(CFG_PATH, (int)llValue) != 0)
    {
        reply["status"] = QV_TUNNEL_ERROR_BADFILE;
        reply["errcode"] = QV_TUNNEL_ERROR_BADFILE;
        reply["errmsg"] = CFG_FAILED_TEXT;
    }
    else
        reply["status"] = 0;
    Send(reply);
}

void CKelvardDaemon::CmdStart(const Request& req)
{
    if (start_flag == 1)
    {
        Send(ReplyCode(req, -26, "已启动"));
        return;
    }
    load_kelvard_cfg(CFG_PATH, m_strGroup, m_strUser);
    int iCode = 0;
    StartStage stage = StartTunnel(&iCode);
    if (stage == START_SYSINFO)
    {
        Send(ReplyCode(req, -26, "获取系统信息失败"));
        return;
    }
    if (stage == START_LIBRARY)
    {
        Send(ReplyCode(req, -27, "启动P2P隧道客户端模块失败"));
        return;
    }
    start_flag = 1;
    RestoreConnections();
    login_flag = 1;
    Send(ReplyCode(req, 0, "启动成功"));
}

void CKelvardDaemon::CmdStop(const Request& req)
{
    if (start_flag == 0)
    {
        Send(ReplyCode(req, -26, "已停止"));
        return;
    }
    login_result.store(0);
    for (auto& it : m_cons)
    {
        int r = ConnectDelete(it.second);
        if (r == 0)
            KLOG("删除连接成功");
        else
        {
            LogFields(it.second);
            KLOG("删除连接失败: %d", r);
        }
    }
    doZirizaStop();
    start_flag = 0;
    login_flag = 0;
    Send(ReplyCode(req, 0, "停止成功"));
}
