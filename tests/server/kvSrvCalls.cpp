#include "kvSrvCalls.h"

#include <stdio.h>
#include <string.h>

#include "kvSrvNode.h"
#include "qvOMLParser.h"
#include "qvString.h"

namespace kvsrv {

namespace {

// Holds one key-value text and its parser.
struct Doc {
    explicit Doc(const std::string& text) : parser(qvNewOMLParser()), doc(qvNewString(text.c_str())) {}
    ~Doc()
    {
        if (parser)
            parser->Delete();
        if (doc)
            doc->Delete();
    }
    std::string Get(const std::string& path)
    {
        const char* s = parser && doc ? parser->GetContent(doc, path.c_str()) : nullptr;
        return s ? s : "";
    }
    std::string Name(const std::string& path)
    {
        const char* s = parser && doc ? parser->GetName(doc, path.c_str()) : nullptr;
        return s ? s : "";
    }
    IQVOMLParser* parser;
    IQVString* doc;
};

u32 Num(const std::string& s)
{
    return (u32)strtoul(s.c_str(), nullptr, 10);
}

}  // namespace

bool ParseCallText(const u8* p, u32 len, u32* method, std::string* param)
{
    const u8* nul = p ? (const u8*)memchr(p, 0, len) : nullptr;
    if (!nul)
        return false;
    const char* s = (const char*)p;
    size_t n = (size_t)(nul - p);
    size_t i = 0;
    u64 v = 0;
    while (i < n && i < 11 && s[i] >= '0' && s[i] <= '9')
        v = v * 10 + (u64)(s[i++] - '0');
    if (i == 0 || i > 10 || i >= n || s[i] != ':' || v > 0xFFFFFFFFull)
        return false;
    *method = (u32)v;
    param->assign(s + i + 1, n - i - 1);
    return true;
}

std::string OmlGet(const std::string& text, const std::string& path)
{
    return Doc(text).Get(path);
}

std::string OmlEscape(const std::string& text)
{
    static const char kSpecial[] = "&()[]{}";
    static const char kCode[] = "GABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const char* at = c ? strchr(kSpecial, c) : nullptr;
        if (at) {
            out += '&';
            out += kCode[at - kSpecial];
        } else {
            out += c;
        }
    }
    return out;
}

bool Calls::AddPassCode(const std::string& entry)
{
    size_t colon = entry.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= entry.size())
        return false;
    m_passCodes[entry.substr(0, colon)] = entry.substr(colon + 1);
    return true;
}

std::vector<Calls::Tunnel>* Calls::List(const std::string& user, bool create)
{
    auto it = m_lists.find(user);
    if (it != m_lists.end())
        return &it->second;
    if (!create || m_lists.size() >= kUsersMax)
        return nullptr;
    return &m_lists[user];
}

bool Calls::AddTunnel(const std::string& user, const std::string& element)
{
    Doc d(element);
    Tunnel t;
    t.name = d.Name("");
    if (t.name.empty() || d.Get(".Type").empty())
        return false;
    t.type = Num(d.Get(".Type"));
    const char* section = t.type == 0 ? ".Tcp" : t.type == 1 ? ".Proxy" : ".Forward";
    t.peer = d.Get(std::string(section) + ".PeerOut");
    t.listen = d.Get(std::string(section) + ".AddrSvr");
    t.client = d.Get(std::string(section) + ".AddrIn");
    t.text = element;
    std::vector<Tunnel>* l = List(user, true);
    if (!l)
        return false;
    for (Tunnel& old : *l)
        if (old.name == t.name) {
            old = t;
            return true;
        }
    if (l->size() >= kListMax)
        return false;
    l->push_back(t);
    return true;
}

bool Calls::RemoveTunnel(const std::string& user, const std::string& name)
{
    std::vector<Tunnel>* l = List(user, false);
    if (!l)
        return false;
    for (auto it = l->begin(); it != l->end(); ++it)
        if (it->name == name) {
            l->erase(it);
            return true;
        }
    return false;
}

size_t Calls::ListSize(const std::string& user) const
{
    auto it = m_lists.find(user);
    return it == m_lists.end() ? 0 : it->second.size();
}

std::string Calls::ClientInfo(const std::string& user) const
{
    auto it = m_info.find(user);
    return it == m_info.end() ? "" : it->second;
}

Calls::Result Calls::Handle(const std::string& user, u32 method, const std::string& param)
{
    Result r;
    switch (method) {
    case 32:
        if (m_info.size() < kUsersMax || m_info.count(user))
            m_info[user] = param;
        Out("call clientinfo user=%s cmmt=%s", user.c_str(), OmlGet(param, "Cmmt").c_str());
        r.reply = "(MngUser){" + OmlEscape(m_mng) + "}";
        break;
    case 33: {
        auto it = m_passCodes.find(OmlGet(param, "PassCode"));
        if (it == m_passCodes.end())
            r.err = kErrRefused;
        else
            r.reply = "(Domain){" + OmlEscape(it->second) + "}";
        Out("call domaincfg user=%s err=%u", user.c_str(), r.err);
        break;
    }
    case 34:
    case 35:
        r = ListReply(user, param);
        break;
    case 36: {
        std::string peer = OmlGet(param, "Peer");
        bool on = !peer.empty() && m_online(peer);
        r.reply = std::string("(Status){") + (on ? "1" : "0") + "}(Meth){0}(Tunnel){" +
                  OmlEscape(OmlGet(param, "Tunnel")) + "}";
        break;
    }
    case 40:
        Out("call peerinfo user=%s info=%s", user.c_str(), param.c_str());
        break;
    case 41:
        Out("call confirm user=%s list=%s", user.c_str(), param.c_str());
        break;
    case 42:
        r = ConnectAdd(user, param);
        break;
    case 43:
        r = ConnectDelete(user, param);
        break;
    case 1024:
        r.reply = "(Echo){" + OmlEscape(param) + "}";
        break;
    default:
        r.err = kErrBadParam;
        break;
    }
    return r;
}

Calls::Result Calls::ListReply(const std::string& user, const std::string& param)
{
    Result r;
    const std::vector<Tunnel>* l = List(user, false);
    const bool all = param.empty();
    u32 pos = all ? 0 : Num(OmlGet(param, "Pos"));
    u32 size = all ? kListMax : Num(OmlGet(param, "Size"));
    u32 count = 0;
    if (l) {
        for (u32 i = pos; i < l->size() && count < size; i++, count++) {
            if (r.reply.size() + (*l)[i].text.size() > kReplyMax)
                break;
            r.reply += (*l)[i].text;
        }
    }
    Out("call list user=%s pos=%u size=%u count=%u", user.c_str(), pos, size, count);
    return r;
}

Calls::Result Calls::ConnectAdd(const std::string& user, const std::string& param)
{
    Result r;
    Doc d(param);
    std::string peer = d.Get("PeerID");
    std::string typeText = d.Get("Type");
    u32 type = Num(typeText);
    std::string listen = d.Get("ListenAddr");
    std::string client = d.Get("ClientAddr");
    std::string encrypt = d.Get("Encrypt");
    if (peer.empty() || typeText.empty() || type > 1 || (type == 0 && listen.empty())) {
        r.err = kErrBadParam;
        return r;
    }
    char name[32];
    snprintf(name, sizeof(name), "kvT%u", m_next++);
    std::string element = std::string("(") + name + "){(Type){" + std::to_string(type) + "}(Option){(Encrypt){" +
                          OmlEscape(encrypt) + "}(Compress){0}}(" + (type == 0 ? "Tcp" : "Proxy") +
                          "){(PeerOut){" + OmlEscape(peer) + "}(AddrIn){" + OmlEscape(client) + "}(AddrSvr){" +
                          OmlEscape(listen) + "}}}";
    if (!AddTunnel(user, element)) {
        r.err = kErrRefused;
        return r;
    }
    if (peer != user && !AddTunnel(peer, element)) {
        RemoveTunnel(user, name);
        r.err = kErrRefused;
        return r;
    }
    for (const std::string& u : {user, peer})
        if (m_online(u) && (u == user || peer != user))
            r.notices.push_back({u, "TunnelSta?(Action){1}(TunnelList){" + element + "}"});
    r.reply = "(ClientAddr){" + OmlEscape(client) + "}";
    Out("call cnntadd user=%s peer=%s name=%s", user.c_str(), peer.c_str(), name);
    return r;
}

Calls::Result Calls::ConnectDelete(const std::string& user, const std::string& param)
{
    Result r;
    Doc d(param);
    std::string peer = d.Get("PeerID");
    u32 type = Num(d.Get("Type"));
    std::string listen = d.Get("ListenAddr");
    std::string client = d.Get("ClientAddr");
    std::vector<Tunnel>* l = List(user, false);
    if (l) {
        for (const Tunnel& t : *l) {
            if (t.peer != peer || t.type != type || (type == 0 && t.listen != listen) ||
                (!client.empty() && t.client != client))
                continue;
            Tunnel gone = t;
            RemoveTunnel(user, gone.name);
            if (peer != user)
                RemoveTunnel(peer, gone.name);
            std::string note = "TunnelSta?(Action){0}(TunnelList){(" + OmlEscape(gone.name) + "){}}";
            for (const std::string& u : {user, peer})
                if (m_online(u) && (u == user || peer != user))
                    r.notices.push_back({u, note});
            Out("call cnntdelete user=%s peer=%s name=%s", user.c_str(), peer.c_str(), gone.name.c_str());
            return r;
        }
    }
    r.err = kErrNoEntry;
    return r;
}

}  // namespace kvsrv
