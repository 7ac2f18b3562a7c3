// A transport-level client of the test rendezvous server, for tests: a socket layer with its
// socket process (which learns its main address from the server's station and opens the peer
// socket to the server) and, on top, the node's part played by hand: sync reports, login,
// keep-alive, status queries. Messages from the server are kept as they come.
#pragma once

#include <string.h>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "kvLab.h"
#include "kvSrvWire.h"
#include "qvSocket.h"
#include "qvTimer.h"
#include "qvUtilize.h"

namespace kvsrv {

struct Rx {
    u16 type = 0;
    u16 flag = 0;
    u32 param = 0;
    std::vector<u8> data;
};

// The node's part of a client: one peer socket to the server, messages kept as they come.
class SessionClient : public IQVSocketOwner {
public:
    ~SessionClient() { sock.Clean(); }
    bool Start(const std::string& name, const QV_ADDR_S& srv)
    {
        CQVSocket::CFG_S c;
        memset(&c, 0, sizeof(c));
        c.uTableSize = 16;
        for (u32 i = 0; i < 4; i++) {
            c.uSendQue[i] = 16;
            c.uRecvQue[i] = 20;
        }
        c.uProcValue[0] = 10;
        sock.Attach(this);
        sock.SetConfig(c);
        if (!sock.Initialize(nullptr) || !sock.SetName(name.c_str()) || !sock.SetProxy(&srv, 1))
            return false;
        QV_ADDR_S a = srv;
        sid = sock.Add(&a, 0, 1, 0);
        return sid != 0;
    }
    bool WaitConnected() { return kvlab::WaitUntil([&] { return Connected(); }, 20000); }
    bool Connected()
    {
        std::lock_guard<std::mutex> lk(mu);
        return connected;
    }
    bool Send(u16 type, const std::vector<u8>& payload, u16 flag = 0, u32 param = 0)
    {
        QV_SK_BUF_S b;
        memset(&b, 0, sizeof(b));
        b.uMethod = type;
        b.uFlag = flag;
        b.uHandle2 = param;
        b.lpData = const_cast<u8*>(payload.data());
        b.uSize = (u32)payload.size();
        return kvlab::WaitUntil([&] { return sock.Send(sid, b, 0) > 0; }, 5000);
    }
    // The first message of that type (the others stay queued).
    bool Next(u16 type, Rx* out, int ms = 10000)
    {
        return kvlab::WaitUntil([&] {
            std::lock_guard<std::mutex> lk(mu);
            for (auto it = rx.begin(); it != rx.end(); ++it)
                if (it->type == type) {
                    *out = std::move(*it);
                    rx.erase(it);
                    return true;
                }
            return false;
        }, ms);
    }
    QV_ADDR_S Main()
    {
        QV_ADDR_S a;
        memset(&a, 0, sizeof(a));
        sock.GetAddr(&a, 2);
        return a;
    }

    // Node messages.
    bool Report(const std::string& name, u32 object, u32 time = 0)
    {
        Sync s;
        s.object = object;
        s.time = time ? time : GET_TIMESTAMP();
        s.cookie = cookie;
        s.flags = 1;
        s.name = name;
        return Send(kMsgSyncReport, BuildSync(s));
    }
    std::vector<u8> LoginMsg(const std::string& user, const std::string& pass)
    {
        std::vector<u8> v(32, 0);
        Wr32(&v[0], 0x20001);
        Wr32(&v[4], 0x10001);
        Wr16(&v[10], 12);
        Wr32(&v[12], cookie);
        for (const std::string& s : {user, pass, std::string(), std::string("client")}) {
            size_t at = v.size();
            v.resize(at + 4 + ((s.size() + 4) & ~(size_t)3));
            qvStrPush(v.data() + at, (u32)(v.size() - at), s.c_str());
        }
        return v;
    }
    // Reports the server and the self object and takes both updates (answered in the order
    // asked); the server's cookie then is known.
    bool Sync2(const std::string& self, const std::string& server)
    {
        Rx a, b;
        Sync ua, ub;
        if (!Report(server, 0x10001) || !Report(self, 0x20001) || !Next(kMsgSyncUpdate, &a) ||
            !Next(kMsgSyncUpdate, &b) || !ParseSync(a.data.data(), (u32)a.data.size(), &ua) ||
            !ParseSync(b.data.data(), (u32)b.data.size(), &ub))
            return false;
        srvCookie = ua.cookie;
        return ua.name == server && ub.name == self && ua.object && ub.object;
    }
    bool Login(const std::string& user, const std::string& pass, Rx* reply)
    {
        return Send(kMsgLogin, LoginMsg(user, pass), 0, 0x77) && Next(kMsgLoginReply, reply);
    }
    std::vector<u8> StatusMsg(const std::string& name)
    {
        std::vector<u8> v(16, 0);
        size_t at = v.size();
        v.resize(at + 4 + ((name.size() + 4) & ~(size_t)3));
        qvStrPush(v.data() + at, (u32)(v.size() - at), name.c_str());
        return v;
    }

    // IQVSocketOwner.
    u32 SocketProc(u32 e, u32 v1, u32, u32, u32, u32, u32, u32 s) override
    {
        if (e == QV_SOCK_EVENT_CONNECT) {
            std::lock_guard<std::mutex> lk(mu);
            connected = true;
        } else if (e == QV_SOCK_EVENT_RECV) {
            std::vector<u8> buf(kPayloadMax + 1);
            QV_SK_BUF_S b;
            memset(&b, 0, sizeof(b));
            b.uMethod = 0xFFFF;
            b.uPrio = v1;
            b.lpData = buf.data();
            b.uSize = (u32)buf.size();
            s32 n = sock.Receive(s, b, 0);
            if (n >= 0) {
                buf.resize((size_t)n);
                std::lock_guard<std::mutex> lk(mu);
                rx.push_back(Rx{b.uMethod, b.uFlag, b.uHandle2, std::move(buf)});
            }
        }
        return 1;
    }
    void SocketTimer(u32) override {}
    void SocketDrop(u32) override {}
    void SocketSetParam(u32, u32, u32) override {}
    void SocketThreadStatus(u32) override {}

    CQVSocket sock;
    u32 sid = 0;
    u32 cookie = 0x1234ABCD;
    u32 srvCookie = 0;
    std::mutex mu;
    bool connected = false;
    std::deque<Rx> rx;
};

}  // namespace kvsrv
