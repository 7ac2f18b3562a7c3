// A node for the tests of the Peer class's server session: its socket layer runs over a carrier
// that goes nowhere, the server's messages are handed to the class's handlers by the probe,
// and node time is driven by timer passes.
#pragma once

#include <arpa/inet.h>

#include "kvAddr4.h"
#include "kvLoginProbe.h"
#include "kvNodeFakes.h"

namespace {

inline void Put32(std::vector<u8>& v, u32 at, u32 x)
{
    if (v.size() < at + 4)
        v.resize(at + 4);
    qvSkWr32(&v[at], x);
}

inline void PushStr(std::vector<u8>& v, const std::string& s)
{
    size_t at = v.size();
    v.resize(at + 4 + ((s.size() + 1 + 3) & ~(size_t)3));
    qvStrPush(v.data() + at, (u32)(v.size() - at), s.c_str());
}

// A login reply: Expire, Type, Sess, Param, reserved and (when given) Version.
inline std::vector<u8> LoginReply(u16 expire, u32 type, const std::string& sess, const std::string& param,
                           const std::string* version)
{
    std::vector<u8> v(16, 0);
    qvSkWr16(&v[0], expire);
    qvSkWr32(&v[4], type);
    PushStr(v, sess);
    PushStr(v, param);
    PushStr(v, "");
    if (version)
        PushStr(v, *version);
    return v;
}

inline std::vector<u8> Code(u32 c)
{
    std::vector<u8> v(4);
    qvSkWr32(v.data(), c);
    return v;
}

inline std::string Field(const std::string& rec, size_t at, size_t n)
{
    std::string f = rec.substr(at, n);
    return f.substr(0, f.find('\0'));
}

inline u32 U32(const std::string& d, size_t at)
{
    u32 v = 0;
    if (d.size() >= at + 4)
        std::memcpy(&v, d.data() + at, 4);
    return v;
}

class LoginNode : public ::testing::Test {
protected:
    void SetUp() override { Start(1); }
    void Start(u32 uNodeOption)
    {
        node = new CQVNode();
        node->GetSocket()->SetLower(&lower);
        probe = new CQVNodeTestProbe(*node);
        probe->ManualTime();
        QV_CFG_S c = SmallCfg();
        c.uClassOption = 0;
        c.uNodeOption = uNodeOption;
        ASSERT_EQ(1u, node->Initialize(nullptr, &owner, &c));
        svr = node->ObjectAdd("kvserver", QV_CLASS_PEER, 0, QV_PEER_FLAG_SERVER);
        ASSERT_NE(0u, svr);
        ASSERT_EQ(0u, Peer([&](CQVClassPeerLoginProbe& p) { return p.SetAddr(svr, V4("10.0.0.1", 7781)); }));
    }
    void TearDown() override
    {
        if (node)
            node->Delete();
        delete probe;
    }
    template <class F>
    auto Peer(F f) -> decltype(f(*(CQVClassPeerLoginProbe*)nullptr))
    {
        return probe->Locked([&](CQVNodeClassProc&) {
            CQVClassPeerLoginProbe lp(*node->GetClassPeer());
            return f(lp);
        });
    }
    u32 Status() { return Peer([](CQVClassPeerLoginProbe& p) { return p.Status(); }); }
    u32 Mode() { return Peer([](CQVClassPeerLoginProbe& p) { return p.Mode(); }); }
    u32 Countdown() { return Peer([](CQVClassPeerLoginProbe& p) { return p.Countdown(); }); }
    // n node seconds.
    void Seconds(u32 n) { probe->Pass(10 * n); }
    void Deliver(u32 from, u16 type, u16 flag, u32 param, const std::vector<u8>& d)
    {
        Peer([&](CQVClassPeerLoginProbe& p) {
            p.Deliver(from, type, flag, param, d);
            return 0;
        });
    }
    int RequestLogin(const char* user = "alice", const char* pass = "pw")
    {
        char rec[512] = {0};
        snprintf(rec, 128, "%s", user);
        snprintf(rec + 128, 128, "%s", pass);
        return node->ObjectRequest(svr, 32, rec, sizeof(rec), 0x77);
    }
    // The server answers the report of its object: the login goes out.
    void ServerSync(u32 cookie = 0x5EC0)
    {
        std::vector<u8> u(32, 0);
        Put32(u, 0, 0x10001);
        Put32(u, 12, cookie);
        qvSkWr16(&u[20], 1);
        PushStr(u, "kvserver");
        PushStr(u, "");
        Deliver(svr, QV_PMSG_SYNC_UPDATE, 0, 0, u);
    }
    // Login requested, the server object in sync, the login sent.
    void ToSent()
    {
        ASSERT_EQ(-1, RequestLogin());
        ASSERT_EQ(1u, Status());
        ServerSync();
        ASSERT_TRUE(WaitFor([&] { return Status() == 2; }));
    }
    void ToLoggedIn(u16 expire = 30)
    {
        ToSent();
        std::string v = "v1";
        Deliver(svr, QV_PMSG_LOGIN_REPLY, 0, 0, LoginReply(expire, 3, "S1", "(Direct){1}", &v));
        ASSERT_EQ(3u, Status());
        ASSERT_TRUE(WaitFor([&] { return owner.Replies().size() == 1; }));
    }
    std::vector<ClassCall> Ext(u32 method)
    {
        std::vector<ClassCall> v;
        for (auto& r : owner.Requests())
            if (r.b == method)
                v.push_back(r);
        return v;
    }

    NullLower lower;
    TestOwner owner;
    CQVNode* node = nullptr;
    CQVNodeTestProbe* probe = nullptr;
    u32 svr = 0;
};

}  // namespace
