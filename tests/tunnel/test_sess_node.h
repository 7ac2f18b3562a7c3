// Fixture of the TCP session and tunnel table tests: the scripted node of the tunnel tests,
// which here also starts the tunnel's real TCP forwarding extension (so that local clients,
// listeners and outgoing connects are real loopback sockets) and records what the tunnel asks
// of it; the test plays the peer through the node's callbacks. No bytes move between peers
// here: the File objects' data path has its own tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "doZirizaModule.h"
#include "kvFakeNode.h"
#include "qvExtTcp.h"
#include "qvLibTunnel.h"

class CSessExtProc : public IQVExtProc
{
public:
    bool OnEvent(u32, u32, u32, u64) override { return true; }
};

// An answer the tunnel gave through the node (ObjectExtReply).
struct SESS_REPLY_S
{
    u32 uObject, uError, uSize, uHandle;
    std::string strData;
};

class CSessNode : public CFakeNode
{
public:
    static IQVNode* New()
    {
        std::lock_guard<std::mutex> g(Lock());
        CSessNode* p = new CSessNode();
        Current() = p;
        Created()++;
        return p;
    }
    static void Install()
    {
        static const DOZIRIZA_NODE_FACTORY_S s_f = {&CSessNode::New, nullptr, nullptr};
        CDOZirizaNode::SetFactory(&s_f);
    }
    // What the peer check (method 41) answers: 0 reachable, 5 no such object, else an error.
    static std::atomic<int>& CheckResult()
    {
        static std::atomic<int> s_i{0};
        return s_i;
    }
    // What the session digest check (method 40) answers: 0 or below passes, else refused.
    static std::atomic<int>& DigestResult()
    {
        static std::atomic<int> s_i{0};
        return s_i;
    }

    u32 AttachExtend(IQVBase* lpExt, u32 uID, u32) override
    {
        if (uID == 6)
            m_pExt = static_cast<CQVExtTcp*>(static_cast<IQVExt*>(lpExt));
        return 1;
    }
    u32 Initialize(void* lpCtx, IQVNodeProc* lpProc, const QV_CFG_S* lpCfg) override
    {
        CFakeNode::Initialize(lpCtx, lpProc, lpCfg);
        return m_pExt == nullptr || m_pExt->OnInitialize(nullptr, &m_ExtProc, 0x7FFF);
    }
    void Clean() override
    {
        if (m_pExt != nullptr)
            m_pExt->OnClean();
        CFakeNode::Clean();
    }
    int ObjectRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uParam) override
    {
        int iRet = CFakeNode::ObjectRequest(uObject, uMethod, lpData, uSize, uParam);
        if (uMethod == 41 && uSize == 260 && lpData != nullptr)
        {
            u32 uAction;
            memcpy(&uAction, lpData, 4);
            if (uAction == 1)
                return ObjectGetName(uObject, m_szTmp, sizeof(m_szTmp)) ? CheckResult().load() : 5;
        }
        if (uMethod == 40)
            return DigestResult().load();
        if (uMethod == 35 || uMethod == 32 || uMethod == 33)
            return ObjectGetName(uObject, m_szTmp, sizeof(m_szTmp)) ? (uMethod == 35 && IsPeer(uObject) ? -1 : 0) : 5;
        return iRet;
    }
    int ObjectExtReply(u32 uObject, u32 uError, const void* lpData, u32 uSize, u32 uHandle) override
    {
        std::lock_guard<std::mutex> g(m_Mutex2);
        // A full send queue refuses the next m_uReplyFails answers.
        if (m_uReplyFails > 0)
        {
            m_uReplyFails--;
            return 14;
        }
        std::string str;
        if (lpData != nullptr)
            str = uSize == 0 ? std::string((const char*)lpData)
                             : std::string((const char*)lpData, strnlen((const char*)lpData, uSize));
        m_Replies.push_back({uObject, uError, uSize, uHandle, str});
        return 0;
    }
    u32 ObjectSync(u32 uObj, u32, u32) override
    {
        m_uSyncs++;
        (void)uObj;
        return 1;
    }
    u32 IsPeer(u32 uObj)
    {
        u32 uClass = 0xFFFF;
        ObjectGetClass(uObj, &uClass);
        return uClass == 0;
    }

    std::vector<SESS_REPLY_S> Replies()
    {
        std::lock_guard<std::mutex> g(m_Mutex2);
        return m_Replies;
    }
    std::vector<REQ_S> ByMethod(u32 uMethod)
    {
        std::vector<REQ_S> v;
        for (auto& r : Requests())
            if (r.uMethod == uMethod)
                v.push_back(r);
        return v;
    }
    CQVExtTcp* Ext() { return m_pExt; }
    std::atomic<u32> m_uSyncs{0};
    std::atomic<u32> m_uReplyFails{0};

private:
    CQVExtTcp* m_pExt = nullptr;
    CSessExtProc m_ExtProc;
    std::mutex m_Mutex2;
    std::vector<SESS_REPLY_S> m_Replies;
    char m_szTmp[128];
};

// Loopback sockets.
inline int SessListen(u16* lpuPort, const char* lpszIP = "127.0.0.1")
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, lpszIP, &sa.sin_addr);
    if (bind(fd, (sockaddr*)&sa, sizeof(sa)) != 0 || listen(fd, 512) != 0)
    {
        close(fd);
        return -1;
    }
    socklen_t uLen = sizeof(sa);
    getsockname(fd, (sockaddr*)&sa, &uLen);
    *lpuPort = ntohs(sa.sin_port);
    return fd;
}

// A port that was free a moment ago.
inline u16 SessFreePort(const char* lpszIP = "127.0.0.1")
{
    u16 uPort = 0;
    int fd = SessListen(&uPort, lpszIP);
    close(fd);
    return uPort;
}

inline int SessConnect(u16 uPort, const char* lpszIP = "127.0.0.1")
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uPort);
    inet_pton(AF_INET, lpszIP, &sa.sin_addr);
    if (connect(fd, (sockaddr*)&sa, sizeof(sa)) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

// 1 when the peer of the socket has closed it (end of stream or reset) within the time.
inline bool SessClosedByPeer(int fd, int iMs = 5000)
{
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, iMs) <= 0)
        return false;
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN);
}

// Accepts every pending connection of a listening socket; the accepted descriptors.
inline std::vector<int> SessAcceptAll(int fdListen, size_t uWant, int iMs = 5000)
{
    std::vector<int> v;
    while (v.size() < uWant)
    {
        pollfd p = {fdListen, POLLIN, 0};
        if (poll(&p, 1, iMs) <= 0)
            break;
        int fd = accept(fdListen, nullptr, nullptr);
        if (fd >= 0)
            v.push_back(fd);
    }
    return v;
}

inline std::string SessParam(const std::string& strText, const std::string& strKey)
{
    size_t q = strText.find('?');
    std::string s = "&" + (q == std::string::npos ? strText : strText.substr(q + 1)) + "&";
    size_t p = s.find("&" + strKey + "=");
    if (p == std::string::npos)
        return "";
    p += strKey.size() + 2;
    return s.substr(p, s.find('&', p) - p);
}

class SessFixture : public CFakeNodeTunnel
{
protected:
    static void SetUpTestSuite()
    {
        CSessNode::Install();
        CDOZiriza::SetManualTimer(1);
        doZirizaCallbackSet(&CEventLog::Callback);
    }
    void SetUp() override
    {
        CFakeNodeTunnel::SetUp();
        CSessNode::CheckResult() = 0;
        CSessNode::DigestResult() = 0;
    }
    void TearDown() override
    {
        CFakeNodeTunnel::TearDown();
        for (int fd : m_fds)
            close(fd);
    }
    int Keep(int fd)
    {
        if (fd >= 0)
            m_fds.push_back(fd);
        return fd;
    }

    CSessNode* Node()
    {
        std::lock_guard<std::mutex> g(CFakeNode::Lock());
        return static_cast<CSessNode*>(CFakeNode::Current());
    }
    // Ticks, with a sync after every 16.
    void Ticks(u32 n)
    {
        for (u32 i = 0; i < n; i++)
        {
            Tunnel()->OnTimer(0);
            if (i % 16 == 15)
                Sync();
        }
        Sync();
    }
    // Starts a client-mode tunnel logged in as _DEV_c1@grp.
    void Start(const std::string& strExtra = "", u32 uConnectTimeout = 20)
    {
        std::string cfg = ClientCfg(dir.path,
                                    "(Base){(MaxSess){400}(MaxTunnel){200}(ConnectTimeout){" +
                                        std::to_string(uConnectTimeout) + "}}" + strExtra);
        std::string path = dir.Write("kelvard.cfg", cfg);
        ASSERT_EQ(0, doZirizaStart(path.c_str(), SysInfo(), nullptr, nullptr));
        Sync();
        ASSERT_NE(nullptr, Node());
        Node()->ReplyLogin(0, "(Direct){1}", "");
        ASSERT_EQ((u32)QV_TUNNEL_STA_LOGIN_SUCCESS, Sync());
    }
    u32 Self() { return Node()->Obj("_DEV_c1@grp"); }
    CQVExtTcp::STAT_S ExtStat()
    {
        CQVExtTcp::STAT_S st;
        memset(&st, 0, sizeof(st));
        if (Node() && Node()->Ext())
            Node()->Ext()->GetStat(&st);
        return st;
    }
    // The peer's call to this side, as the node hands it over.
    void PeerCall(u32 uPeer, const std::string& strCall, u32 uHandle)
    {
        Node()->Proc()->OnExtRequest(Self(), 35, strCall.c_str(), 0, uHandle, uPeer);
    }
    void PeerNotify(u32 uPeer, const std::string& strText)
    {
        Node()->Proc()->OnExtRequest(Self(), 36, strText.c_str(), 0, 0, uPeer);
    }
    // The answer to this side's call number i (in the order the calls were made).
    void ReplyCall(size_t i, u32 uErr, const std::string& strReply)
    {
        auto calls = Node()->ByMethod(35);
        ASSERT_LT(i, calls.size());
        Node()->Proc()->OnReply(calls[i].uObject, uErr, uErr ? nullptr : strReply.c_str(),
                                uErr ? 0 : (u32)strReply.size() + 1, calls[i].uParam);
    }
    // Peer calls this side made so far.
    std::vector<CFakeNode::REQ_S> Calls()
    {
        std::vector<CFakeNode::REQ_S> v;
        for (auto& r : Node()->ByMethod(35))
            if (Node()->IsPeer(r.uObject))
                v.push_back(r);
        return v;
    }
    // Answers to peer calls (sent to the self object), in order.
    std::vector<SESS_REPLY_S> CallAnswers()
    {
        std::vector<SESS_REPLY_S> v;
        for (auto& r : Node()->Replies())
            if (r.uObject == Self())
                v.push_back(r);
        return v;
    }
    u32 PeerObj(const std::string& strName)
    {
        u32 u = Node()->Obj(strName);
        if (u == 0)
            u = Node()->ObjectAdd(strName.c_str(), 0, 0, 0x10060);
        return u;
    }
    // Adds a direct connection from this side; the client address it listens on.
    int AddConnection(const std::string& strPeer, const std::string& strSvr, const std::string& strClient,
                      u32 uType = 0, u32 uEncrypt = 0)
    {
        QV_TUNNEL_CLIENT_ADDR_S ca;
        memset(&ca, 0, sizeof(ca));
        return doZirizaConnectAdd("", strPeer.c_str(), uType, uEncrypt, strSvr.c_str(), strClient.c_str(), &ca);
    }

    std::vector<int> m_fds;
};
