#include "kvSrvWire.h"

#include <arpa/inet.h>
#include <string.h>

#include "qvUtilize.h"

namespace kvsrv {

std::string AddrText(const QV_ADDR_S& a)
{
    char sz[QV_ADDR_STR_SIZE];
    if (!qvAddrToReadable(&a, sz, sizeof(sz)))
        return "";
    return sz;
}

bool ParseIPv4Port(const std::string& text, QV_ADDR_S* out)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size() || colon + 6 < text.size())
        return false;
    QV_ADDR_S a;
    memset(&a, 0, sizeof(a));
    if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &a.uAddr[3]) != 1)
        return false;
    u32 port = 0;
    for (size_t i = colon + 1; i < text.size(); i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        port = port * 10 + (u32)(text[i] - '0');
    }
    if (port == 0 || port > 0xFFFF)
        return false;
    a.uPort = (u16)port;
    *out = a;
    return true;
}

bool SameAddr(const QV_ADDR_S& a, const QV_ADDR_S& b)
{
    return !memcmp(a.uAddr, b.uAddr, sizeof(a.uAddr)) && a.uPort == b.uPort;
}

// Connect-control messages.

QV_ADDR_S RdRec(const u8* m, u32 at)
{
    QV_ADDR_S a;
    memcpy(a.uAddr, m + at, 16);
    a.uPort = (u16)Rd16(m + at + 16);
    a.uExtra = (u16)Rd16(m + at + 18);
    return a;
}

void WrRec(u8* m, u32 at, const QV_ADDR_S& a, u16 flags)
{
    memcpy(m + at, a.uAddr, 16);
    Wr16(m + at + 16, a.uPort);
    Wr16(m + at + 18, flags);
}

bool CcParse(const u8* p, u32 len, CcMsg* out)
{
    if (!p || len < kCcLen || p[0] != 0)
        return false;
    CcMsg m;
    m.letter = p[1];
    m.flags = p[2];
    m.data = p;
    switch (m.letter) {
    case 'D':
    case 'F':
        // The two forms are told apart by length; the full one needs all of its bytes.
        if (len >= kCcLenFull) {
            m.full = true;
            m.len = kCcLenFull;
        } else if (len == kCcLen) {
            m.len = kCcLen;
        } else {
            return false;
        }
        break;
    case 'H':
        m.len = len >= kCcLenMain ? kCcLenMain : kCcLen;
        break;
    default:
        return false;
    }
    *out = m;
    return true;
}

std::string CcMainName(const CcMsg& h)
{
    if (h.letter != 'H' || h.len < kCcLenMain)
        return "";
    const char* name = (const char*)h.data + kCcLen;
    if (!memchr(name, 0, kCcNameMax))
        return "";
    return name;
}

std::vector<u8> BuildMainReply(const CcMsg& h, const QV_ADDR_S& source, const QV_ADDR_PAIR_S* redirect)
{
    std::vector<u8> r(h.len >= kCcLenMain ? kCcLenRedir : kCcLen, 0);
    memcpy(r.data(), h.data, kCcLen);
    r[1] = 'I';
    r[2] |= kCcRec1;
    WrRec(r.data(), kRec1, source);
    if (r.size() == kCcLenRedir && redirect) {
        WrRec(r.data(), kCcLen, redirect->Addr4);
        WrRec(r.data(), kCcLen + 20, redirect->Addr6);
    }
    return r;
}

std::vector<u8> CcPassOn(const CcMsg& m, u8 letter)
{
    std::vector<u8> r(m.data, m.data + m.len);
    r[1] = letter;
    return r;
}

// UDP over IPv4 control.

bool BuildLoopReply(const u8* req, u32 len, const QV_ADDR_S& source, std::vector<u8>* out)
{
    if (!req || len < kLoopMin || req[0] != 0 || req[1] != kUdpLoopReq)
        return false;
    std::vector<u8> r(kLoopLen, 0);
    r[1] = kUdpLoopReply;
    // The report is taken whenever one came: the server keeps no NAT state of its own.
    r[2] = req[2] == 1 ? 1 : 0;
    memcpy(&r[4], &source.uAddr[3], 4);
    Wr16(&r[8], source.uPort);
    memcpy(&r[44], req + 44, 12);
    *out = std::move(r);
    return true;
}

// Node session payloads.

namespace {

// Pops one string of at most maxLen characters; advances *at.
bool PopStr(const u8* p, u32 len, u32* at, u32 maxLen, std::string* out)
{
    if (*at > len)
        return false;
    u32 used = 0, slen = 0;
    const char* s = qvStrPop(p + *at, len - *at, &used, &slen);
    if (!s || slen > maxLen)
        return false;
    out->assign(s, slen);
    *at += used;
    return true;
}

void PushStr(std::vector<u8>* v, const std::string& s)
{
    size_t at = v->size();
    v->resize(at + 4 + ((s.size() + 1 + 3) & ~(size_t)3));
    qvStrPush(v->data() + at, (u32)(v->size() - at), s.c_str());
}

}  // namespace

bool ParseSync(const u8* p, u32 len, Sync* out)
{
    if (!p || len <= 36 || len > kPayloadMax)
        return false;
    Sync s;
    s.object = Rd32(p);
    s.time = Rd32(p + 4);
    s.time2 = Rd32(p + 8);
    s.cookie = Rd32(p + 12);
    s.flags = (u16)Rd16(p + 20);
    u32 at = 32;
    if (!PopStr(p, len, &at, 128, &s.name) || !PopStr(p, len, &at, 128, &s.group))
        return false;
    *out = std::move(s);
    return true;
}

std::vector<u8> BuildSync(const Sync& s)
{
    std::vector<u8> v(32, 0);
    Wr32(&v[0], s.object);
    Wr32(&v[4], s.time);
    Wr32(&v[8], s.time2);
    Wr32(&v[12], s.cookie);
    Wr16(&v[20], s.flags);
    PushStr(&v, s.name);
    PushStr(&v, s.group);
    return v;
}

bool ParseLogin(const u8* p, u32 len, Login* out)
{
    if (!p || len < kLoginHeader || len > kPayloadMax)
        return false;
    Login l;
    l.self = Rd32(p);
    l.server = Rd32(p + 4);
    l.count = (u16)Rd16(p + 8);
    l.mode = (u16)Rd16(p + 10);
    l.cookie = Rd32(p + 12);
    u32 at = kLoginHeader;
    if (!PopStr(p, len, &at, 127, &l.user) || !PopStr(p, len, &at, 127, &l.pass) ||
        !PopStr(p, len, &at, 255, &l.param) || !PopStr(p, len, &at, kLoginStringsMax, &l.info))
        return false;
    if (at - kLoginHeader > kLoginStringsMax)
        return false;
    *out = std::move(l);
    return true;
}

std::vector<u8> BuildLoginReply(u16 expire, u32 type, const std::string& sess, const std::string& param,
                                const std::string& version)
{
    std::vector<u8> v(16, 0);
    Wr16(&v[0], expire);
    Wr32(&v[4], type);
    PushStr(&v, sess);
    PushStr(&v, param);
    PushStr(&v, "");
    PushStr(&v, version);
    return v;
}

std::vector<u8> BuildError(u32 code)
{
    std::vector<u8> v(4, 0);
    Wr32(&v[0], code);
    return v;
}

bool ParseStatusQuery(const u8* p, u32 len, StatusQuery* out)
{
    if (!p || len < 16 || len > kPayloadMax)
        return false;
    StatusQuery q;
    q.flags = (u16)Rd16(p);
    u32 at = 16;
    if (!PopStr(p, len, &at, 127, &q.name) || q.name.empty())
        return false;
    *out = std::move(q);
    return true;
}

std::vector<u8> BuildStatusReply(u32 type, const QV_ADDR_S& addr, const std::string& proxy,
                                 const std::string& agent, const std::string& proxy6)
{
    std::vector<u8> v(36, 0);
    Wr32(&v[4], type);
    memcpy(&v[16], addr.uAddr, 16);
    Wr16(&v[32], addr.uPort);
    Wr16(&v[34], addr.uExtra);
    PushStr(&v, proxy);
    PushStr(&v, agent);
    PushStr(&v, proxy6);
    return v;
}

std::vector<u8> BuildKickOut(u32 param, const QV_ADDR_S* now)
{
    std::vector<u8> v(now ? 24 : 4, 0);
    Wr32(&v[0], param);
    if (now) {
        memcpy(&v[4], now->uAddr, 16);
        Wr16(&v[20], now->uPort);
        Wr16(&v[22], now->uExtra);
    }
    return v;
}

bool BuildStampUpdate(const u8* p, u32 len, u32 now, std::vector<u8>* out)
{
    if (!p || len < 16)
        return false;
    std::vector<u8> v(16, 0);
    memcpy(&v[0], p, 4);
    Wr32(&v[4], now);
    *out = std::move(v);
    return true;
}

std::vector<u8> BuildText(const std::string& text)
{
    std::vector<u8> v(text.begin(), text.end());
    v.push_back(0);
    return v;
}

}  // namespace kvsrv
