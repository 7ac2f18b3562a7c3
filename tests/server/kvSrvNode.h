// Test rendezvous server: the node session. Every client node opens a peer socket to the
// server; over it the server synchronises two objects with the client (the server object and
// the client's self object), takes the login, keep-alives and logout, answers status queries
// about other logged-in clients and kicks a login out. Messages are handled through a table
// of message types with their minimum payload sizes (kHandlers in the source): a later server
// call or notification is one more line there and one handler.
//
// Choices where the client side leaves the server open, written down here:
//   - The server object is the object named like the server (--name, the client's
//     Node.SvrName); its handle here is kServerObject. The client's self object is the object
//     named like the client's peer socket (the name its handshake carried: the login user);
//     its handle here is the peer socket's uSockID. Reports of any other object are answered
//     with handle 0.
//   - Every report is answered at once. A client learns the server's handle of the server
//     object from the answer to its report of that object, and sends its login on that answer
//     (also when the handle is the one it already knew); it never reports its self object.
//   - One cookie per peer socket, drawn when the socket is taken in and kept for as long as
//     the server runs, so that a new handshake of the same socket does not look like a new
//     server to the client.
//   - Login: an unknown user is refused with 8, a wrong password with 9 (the magnitudes of the
//     bad-user and bad-password errors). The password may come plain or as the 44-character
//     digest text of the client's cookie pair. A success carries Expire (--expire), the
//     account's Type, a fresh Sess text "S" + 16 hex digits (an empty one with --nosess, so
//     that clients need no digest for their connection requests), the account's Param or the default
//     (--param, "(Direct){1}") and Version "kv-rendezvous 1.0".
//   - A second login of a user from another peer socket kicks the first one out (type 19 with
//     Param 0 and the new login's address as the address now). A login lives until logout,
//     kick-out, the peer socket dropping, or kSessionIdle (x Expire) ticks without a message.
//   - Status query: answered for a logged-in peer with its address as the station saw it in
//     'H' (else its peer socket's address), peer type 0, the station's address as Proxy, no
//     agent peer, no Proxy6. A query about a peer that is not logged in, or from a client that
//     is not, is answered with error 10 (not logged in).
//   - Replies carry object ID 0 (for the peer class itself) and the request's parameter.
//   - Server calls (type 9) and the notifications they cause: kvSrvCalls.h. A notification
//     (type 11, a text with its NUL) goes to a logged-in user only.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kvSrvAccounts.h"
#include "kvSrvCalls.h"
#include "kvSrvCarrier.h"
#include "kvSrvStation.h"
#include "kvSrvWire.h"
#include "qvSocket.h"

namespace kvsrv {

// Lines for the tests that start the server: "kvsrv: " and the text, flushed at once.
void Out(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

class NodeServer : public IQVSocketOwner {
public:
    static constexpr u32 kServerObject = 0x00010001;
    static constexpr u32 kSessionIdle = 4;      // a login dies after this many Expire periods of silence
    static constexpr u32 kErrBadUser = 8;
    static constexpr u32 kErrBadPass = 9;
    static constexpr u32 kErrNoLogin = 10;

    struct Config {
        std::string name = "kvserver";     // the server object's name
        u16 expire = 30;                   // keep-alive period given to clients, seconds
        u16 table = 256;                   // peer sockets
        std::string param = "(Direct){1}"; // login parameter text of accounts without their own
        std::string version = "kv-rendezvous 1.0";
        std::string proxy;                 // the station's address text for status replies
        std::string mng = "kvadmin";       // manager user named in client-information replies
        bool sessText = true;              // logins get a session text (false: an empty one)
        std::vector<std::string> passCodes; // "CODE:DOMAIN"
    };

    NodeServer(const Config& cfg, const Accounts& accounts, Station* station, Carrier* carrier);
    ~NodeServer();
    bool Start();
    void Stop();

    // A datagram whose byte 1 is a socket action, from the given address.
    void OnSocketData(const QV_ADDR_S& from, u8* buf, u32 offset, u32 len);
    // One second: ends logins that went silent.
    void Tick();
    // Ends the user's login with a kick-out carrying param; false when not logged in.
    bool Kick(const std::string& user, u32 param);
    size_t SessionCount();
    bool Online(const std::string& user);
    // Sends a notification to a logged-in user; false when not logged in.
    bool Notify(const std::string& user, const std::string& text);
    // A connection text for the user's tunnel list; false when malformed or the list is full.
    bool AddTunnel(const std::string& user, const std::string& element);
    bool RemoveTunnel(const std::string& user, const std::string& name);

    // IQVSocketOwner.
    u32 SocketProc(u32 uEvent, u32 uVal1, u32 uVal2, u32 uVal3, u32 uVal4, u32 uParam, u32 uExtra,
                   u32 uSockID) override;
    void SocketTimer(u32) override {}
    void SocketDrop(u32 uSockID) override;
    void SocketSetParam(u32, u32, u32) override {}
    void SocketThreadStatus(u32) override {}

private:
    struct Session {
        u32 sid = 0;
        QV_ADDR_S addr{};
        std::string sockName;     // the client's peer socket name: its self object
        u32 cookie = 0;           // ours toward this client
        u32 peerCookie = 0;       // the client's, from its reports and login
        std::string user;         // logged in as ("" not logged in)
        u32 lastHeard = 0;        // server tick
    };
    struct OutMsg {
        u32 sid;
        u16 type;
        u16 flag;
        u32 param;
        std::vector<u8> data;
    };
    struct Msg {
        u16 type;
        u16 flag;
        u32 param;
        const u8* data;
        u32 len;
    };
    using Handler = void (NodeServer::*)(Session&, const Msg&);
    struct HandlerEntry {
        u16 type;
        u32 min;          // shortest payload handled
        Handler fn;
    };
    static const HandlerEntry kHandlers[];

    void OnNewSocket(u32 newId);
    void OnConnected(u32 sid);
    void OnReceive(u32 sid, u32 prio);
    void Flush();   // sends what the handlers queued, outside the lock
    void Queue(u32 sid, u16 type, u16 flag, u32 param, std::vector<u8> data);
    void Logout(Session& s, const char* why);
    void SendUpdate(Session& s, const Sync& report, u32 object);
    bool PassOk(const Session& s, const Account& a, const std::string& given, u32 peerCookie);

    void OnKeepAlive(Session& s, const Msg& m);
    void OnSyncReport(Session& s, const Msg& m);
    void OnLogin(Session& s, const Msg& m);
    void OnLogout(Session& s, const Msg& m);
    void OnStatusQuery(Session& s, const Msg& m);
    void OnStamp(Session& s, const Msg& m);
    void OnCall(Session& s, const Msg& m);

    Config m_cfg;
    const Accounts& m_acc;
    Station* m_station;
    Carrier* m_carrier;
    CQVSocket m_sock;
    bool m_started = false;
    std::mutex m_mu;
    std::map<u32, Session> m_sess;            // by uSockID
    std::map<std::string, u32> m_online;      // user -> uSockID
    std::vector<OutMsg> m_out;
    Calls m_calls;
    u32 m_tick = 0;
};

}  // namespace kvsrv
