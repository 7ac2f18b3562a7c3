#include "kvSrvNode.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "qvTimer.h"
#include "qvUtilize.h"

namespace kvsrv {

void Out(const char* fmt, ...)
{
    static std::mutex s_mu;
    std::lock_guard<std::mutex> lk(s_mu);
    va_list ap;
    va_start(ap, fmt);
    fputs("kvsrv: ", stdout);
    vfprintf(stdout, fmt, ap);
    fputc('\n', stdout);
    fflush(stdout);
    va_end(ap);
}

// Message types the server acts on, with the shortest payload it reads. Anything else is
// ignored.
const NodeServer::HandlerEntry NodeServer::kHandlers[] = {
    {kMsgKeepAlive, 0, &NodeServer::OnKeepAlive},
    {kMsgSyncReport, 37, &NodeServer::OnSyncReport},
    {kMsgLogin, kLoginHeader, &NodeServer::OnLogin},
    {kMsgLogout, 0, &NodeServer::OnLogout},
    {kMsgStatusQuery, 16, &NodeServer::OnStatusQuery},
    {kMsgStamp, 16, &NodeServer::OnStamp},
    {kMsgCall, 0, &NodeServer::OnCall},
};

NodeServer::NodeServer(const Config& cfg, const Accounts& accounts, Station* station, Carrier* carrier)
    : m_cfg(cfg),
      m_acc(accounts),
      m_station(station),
      m_carrier(carrier),
      // Called with m_mu held, from the call handler.
      m_calls([this](const std::string& user) { return m_online.count(user) != 0; })
{
    m_calls.SetManager(cfg.mng);
    for (const std::string& p : cfg.passCodes)
        m_calls.AddPassCode(p);
}

NodeServer::~NodeServer()
{
    Stop();
}

bool NodeServer::Start()
{
    CQVSocket::CFG_S c;
    memset(&c, 0, sizeof(c));
    c.uTableSize = m_cfg.table;
    c.uSide = 1;
    for (u32 i = 0; i < 4; i++) {
        c.uSendQue[i] = 32;
        c.uRecvQue[i] = 40;
    }
    m_sock.SetLower(m_carrier);
    m_sock.Attach(this);
    m_sock.SetConfig(c);
    if (!m_sock.Initialize(nullptr))
        return false;
    m_started = true;
    return m_sock.SetName(m_cfg.name.c_str()) == 1;
}

void NodeServer::Stop()
{
    if (m_started)
        m_sock.Clean();
    m_started = false;
}

void NodeServer::OnSocketData(const QV_ADDR_S& from, u8* buf, u32 offset, u32 len)
{
    if (!m_started)
        return;
    QV_ADDR_S a = from;
    a.uExtra = 0;
    u32 sid = 0;
    m_carrier->Search(a, sid);
    QV_BUF_S b;
    memset(&b, 0, sizeof(b));
    b.buf = buf;
    b.uOffset = offset;
    b.uSize = offset + len;
    b.uLen = len;
    m_sock.SockEventData(a, b, sid, 0, 0);
}

u32 NodeServer::SocketProc(u32 uEvent, u32 uVal1, u32, u32, u32 uVal4, u32 uParam, u32, u32 uSockID)
{
    switch (uEvent) {
    case QV_SOCK_EVENT_NEW:
        OnNewSocket(uParam);
        break;
    case QV_SOCK_EVENT_CONNECT:
        OnConnected(uSockID);
        break;
    case QV_SOCK_EVENT_RECV:
        OnReceive(uSockID, uVal1);
        break;
    case QV_SOCK_EVENT_REPORT:
        // Report 1: the peer socket gave up on the client.
        if (uVal4 == 1 && uSockID)
            m_sock.Delete(uSockID);
        break;
    default:
        break;
    }
    Flush();
    return 1;
}

void NodeServer::OnNewSocket(u32 newId)
{
    u32 sid = m_sock.Add(nullptr, newId, 1, 0);
    if (!sid) {
        m_sock.NewDelete(newId);
        return;
    }
    char name[128] = {0};
    m_sock.GetPeerName(sid, name, sizeof(name));
    QV_ADDR_S addr;
    memset(&addr, 0, sizeof(addr));
    m_sock.GetPeerAddr(sid, &addr);
    std::lock_guard<std::mutex> lk(m_mu);
    Session& s = m_sess[sid];
    if (!s.sid) {
        s.sid = sid;
        s.cookie = qvGetCookieLong();
    }
    s.addr = addr;
    s.sockName = name;
    s.lastHeard = m_tick;
    Out("socket sid=%u name=%s addr=%s", sid, name, AddrText(addr).c_str());
}

void NodeServer::OnConnected(u32 sid)
{
    char name[128] = {0};
    m_sock.GetPeerName(sid, name, sizeof(name));
    std::lock_guard<std::mutex> lk(m_mu);
    auto it = m_sess.find(sid);
    if (it == m_sess.end())
        return;
    it->second.sockName = name;
    it->second.lastHeard = m_tick;
}

void NodeServer::OnReceive(u32 sid, u32 prio)
{
    static thread_local std::vector<u8> s_buf(kPayloadMax + 1);
    QV_SK_BUF_S b;
    memset(&b, 0, sizeof(b));
    b.uMethod = 0xFFFF;
    b.uPrio = prio;
    b.lpData = s_buf.data();
    b.uSize = (u32)s_buf.size();
    s32 n = m_sock.Receive(sid, b, 0);
    if (n < 0)
        return;
    std::lock_guard<std::mutex> lk(m_mu);
    auto it = m_sess.find(sid);
    if (it == m_sess.end())
        return;
    Session& s = it->second;
    s.lastHeard = m_tick;
    Msg m{b.uMethod, b.uFlag, b.uHandle2, s_buf.data(), (u32)n};
    for (const HandlerEntry& h : kHandlers) {
        if (h.type != m.type)
            continue;
        if (m.len >= h.min)
            (this->*h.fn)(s, m);
        return;
    }
}

void NodeServer::Queue(u32 sid, u16 type, u16 flag, u32 param, std::vector<u8> data)
{
    m_out.push_back(OutMsg{sid, type, flag, param, std::move(data)});
}

void NodeServer::Flush()
{
    std::vector<OutMsg> out;
    {
        std::lock_guard<std::mutex> lk(m_mu);
        out.swap(m_out);
    }
    for (OutMsg& o : out) {
        QV_SK_BUF_S b;
        memset(&b, 0, sizeof(b));
        b.uMethod = o.type;
        b.uFlag = o.flag;
        b.uHandle2 = o.param;
        b.lpData = o.data.data();
        b.uSize = (u32)o.data.size();
        if (m_sock.Send(o.sid, b, 0) <= 0)
            Out("send failed sid=%u type=%u", o.sid, o.type);
    }
}

void NodeServer::Logout(Session& s, const char* why)
{
    if (s.user.empty())
        return;
    auto it = m_online.find(s.user);
    if (it != m_online.end() && it->second == s.sid)
        m_online.erase(it);
    Out("logout user=%s reason=%s", s.user.c_str(), why);
    s.user.clear();
}

void NodeServer::SocketDrop(u32 uSockID)
{
    std::lock_guard<std::mutex> lk(m_mu);
    auto it = m_sess.find(uSockID);
    if (it == m_sess.end())
        return;
    Logout(it->second, "drop");
    m_sess.erase(it);
}

void NodeServer::Tick()
{
    std::vector<u32> dead;
    {
        std::lock_guard<std::mutex> lk(m_mu);
        m_tick++;
        for (auto& kv : m_sess)
            if (m_tick - kv.second.lastHeard > kSessionIdle * m_cfg.expire)
                dead.push_back(kv.first);
    }
    for (u32 sid : dead)
        m_sock.Delete(sid);   // comes back as SocketDrop
}

bool NodeServer::Kick(const std::string& user, u32 param)
{
    {
        std::lock_guard<std::mutex> lk(m_mu);
        auto it = m_online.find(user);
        if (it == m_online.end())
            return false;
        Session& s = m_sess[it->second];
        Queue(s.sid, kMsgKickOut, 0, 0, BuildKickOut(param, nullptr));
        Logout(s, "kick");
    }
    Flush();
    return true;
}

size_t NodeServer::SessionCount()
{
    std::lock_guard<std::mutex> lk(m_mu);
    return m_sess.size();
}

bool NodeServer::Online(const std::string& user)
{
    std::lock_guard<std::mutex> lk(m_mu);
    return m_online.count(user) != 0;
}

bool NodeServer::Notify(const std::string& user, const std::string& text)
{
    {
        std::lock_guard<std::mutex> lk(m_mu);
        auto it = m_online.find(user);
        if (it == m_online.end())
            return false;
        Queue(it->second, kMsgMessage, kFlagText, 0, BuildText(text));
    }
    Flush();
    return true;
}

bool NodeServer::AddTunnel(const std::string& user, const std::string& element)
{
    std::lock_guard<std::mutex> lk(m_mu);
    return m_calls.AddTunnel(user, element);
}

bool NodeServer::RemoveTunnel(const std::string& user, const std::string& name)
{
    std::lock_guard<std::mutex> lk(m_mu);
    return m_calls.RemoveTunnel(user, name);
}

// Handlers (m_mu held).

void NodeServer::OnKeepAlive(Session& s, const Msg&)
{
    Out("keepalive sid=%u user=%s", s.sid, s.user.c_str());
}

void NodeServer::SendUpdate(Session& s, const Sync& report, u32 object)
{
    Sync u = report;
    u.object = object;
    u.time2 = GET_TIMESTAMP();
    u.cookie = s.cookie;
    u.flags = 1;
    Queue(s.sid, kMsgSyncUpdate, 0, 0, BuildSync(u));
}

void NodeServer::OnSyncReport(Session& s, const Msg& m)
{
    Sync r;
    if (!ParseSync(m.data, m.len, &r))
        return;
    // Objects named after a peer's address are never synchronised.
    if (r.name.compare(0, 7, "_PEER_:") == 0)
        return;
    s.peerCookie = r.cookie;
    bool server = r.name == m_cfg.name;
    bool self = !server && !s.sockName.empty() && r.name == s.sockName;
    u32 handle = server ? kServerObject : self ? s.sid : 0;
    Out("sync sid=%u obj=%s action=%u", s.sid, r.name.c_str(), r.object ? 1u : 0u);
    SendUpdate(s, r, r.object ? handle : 0);
}

// The digest text of a password for this peer socket: each byte plus the client's cookie
// byte, xor our cookie byte (cookies big-endian, taken in turn), SHA-256, Base64.
static std::string Digest(const std::string& pass, u32 ourCookie, u32 peerCookie)
{
    u8 a[4], b[4];
    Wr32(a, ourCookie);
    Wr32(b, peerCookie);
    std::vector<u8> w(pass.begin(), pass.end());
    for (size_t i = 0; i < w.size(); i++)
        w[i] = (u8)((u8)(w[i] + b[i % 4]) ^ a[i % 4]);
    u8 hash[QV_HASH_SIZE];
    char text[64];
    if (!qvDataHash(w.data(), (u32)w.size(), hash, sizeof(hash)) || !qvHashToStr(hash, 0, text, sizeof(text)))
        return "";
    return text;
}

bool NodeServer::PassOk(const Session& s, const Account& a, const std::string& given, u32 peerCookie)
{
    if (given == a.pass)
        return true;
    std::string d = Digest(a.pass, s.cookie, peerCookie);
    return !d.empty() && given == d;
}

void NodeServer::OnLogin(Session& s, const Msg& m)
{
    Login l;
    if (!ParseLogin(m.data, m.len, &l))
        return;
    const Account* a = m_acc.Find(l.user);
    u32 err = !a ? kErrBadUser : !PassOk(s, *a, l.pass, l.cookie) ? kErrBadPass : 0;
    if (err) {
        Out("login fail user=%s err=%u", l.user.c_str(), err);
        Queue(s.sid, kMsgLoginReply, kFlagError, m.param, BuildError(err));
        return;
    }
    auto other = m_online.find(l.user);
    if (other != m_online.end() && other->second != s.sid) {
        auto os = m_sess.find(other->second);
        if (os != m_sess.end()) {
            Queue(os->second.sid, kMsgKickOut, 0, 0, BuildKickOut(0, &s.addr));
            Logout(os->second, "relogin");
        }
    }
    if (!s.user.empty() && s.user != l.user)
        Logout(s, "user change");
    s.user = l.user;
    m_online[l.user] = s.sid;
    char sess[32] = "";
    if (m_cfg.sessText)
        snprintf(sess, sizeof(sess), "S%08x%08x", qvGetCookieLong(), qvGetCookieLong());
    Queue(s.sid, kMsgLoginReply, 0, m.param,
          BuildLoginReply(m_cfg.expire, a->type, sess, a->param.empty() ? m_cfg.param : a->param, m_cfg.version));
    Out("login ok user=%s addr=%s", l.user.c_str(), AddrText(s.addr).c_str());
}

void NodeServer::OnLogout(Session& s, const Msg&)
{
    Logout(s, "logout");
}

void NodeServer::OnStatusQuery(Session& s, const Msg& m)
{
    StatusQuery q;
    if (!ParseStatusQuery(m.data, m.len, &q))
        return;
    auto it = m_online.find(q.name);
    if (s.user.empty() || it == m_online.end()) {
        Out("status from=%s peer=%s err=%u", s.user.c_str(), q.name.c_str(), kErrNoLogin);
        Queue(s.sid, kMsgStatusReply, kFlagError, m.param, BuildError(kErrNoLogin));
        return;
    }
    QV_ADDR_S addr;
    if (!m_station->Seen(q.name, &addr))
        addr = m_sess[it->second].addr;
    Out("status from=%s peer=%s addr=%s", s.user.c_str(), q.name.c_str(), AddrText(addr).c_str());
    Queue(s.sid, kMsgStatusReply, 0, m.param, BuildStatusReply(0, addr, m_cfg.proxy, "", ""));
}

void NodeServer::OnStamp(Session& s, const Msg& m)
{
    std::vector<u8> v;
    if (BuildStampUpdate(m.data, m.len, GET_TIMESTAMP(), &v))
        Queue(s.sid, kMsgStampUpdate, 0, m.param, std::move(v));
}

void NodeServer::OnCall(Session& s, const Msg& m)
{
    u32 method = 0;
    std::string param;
    if (!ParseCallText(m.data, m.len, &method, &param)) {
        Out("call sid=%u malformed len=%u", s.sid, m.len);
        Queue(s.sid, kMsgCallReply, kFlagError, m.param, BuildError(Calls::kErrBadParam));
        return;
    }
    if (s.user.empty()) {
        Queue(s.sid, kMsgCallReply, kFlagError, m.param, BuildError(kErrNoLogin));
        return;
    }
    Calls::Result r = m_calls.Handle(s.user, method, param);
    if (r.err)
        Queue(s.sid, kMsgCallReply, kFlagError, m.param, BuildError(r.err));
    else
        Queue(s.sid, kMsgCallReply, kFlagText, m.param, BuildText(r.reply));
    for (const Calls::Notice& n : r.notices) {
        auto it = m_online.find(n.user);
        if (it != m_online.end())
            Queue(it->second, kMsgMessage, kFlagText, 0, BuildText(n.text));
    }
}

}  // namespace kvsrv
