// Test rendezvous server: the server calls a logged-in client makes (type 9, answered with
// type 10) and the notifications the server sends (type 11). A call's payload is the text
// "method:parameter"; every parameter and reply is a key-value text.
//
// Choices where the client side leaves the server open, written down here:
//   - 32 client information: kept per user; the reply names the manager user (--mnguser,
//     "kvadmin").
//   - 33 domain configuration: the pass code is looked up in the --passcode CODE:DOMAIN table;
//     the reply is "(Domain){...}", an unknown code is refused with 13.
//   - 34 and 35 tunnel and forward lists: one list of connection texts per user, in the order
//     they were added (by 42, by the control FIFO's "tunnel" command); "(Pos){p}(Size){s}"
//     answers entries p to p + s - 1, cut to what fits one message; an empty parameter (35
//     after "RefreshFwd") answers the whole list, cut the same way.
//   - 36 on-line check: "(Status){1}" while the named peer is logged in, else 0, with Meth 0
//     and the Tunnel echoed.
//   - 40 peer information report and 41 tunnel confirmation: printed and answered empty.
//   - 42 connection add: a connection named "kvT<n>" joins the lists of both the caller and the
//     peer; both are told with "TunnelSta" (Action 1) when logged in; the reply carries the
//     client address. 43 connection delete: the caller's connection of that peer, type and
//     addresses leaves both lists, both are told with "TunnelSta" (Action 0); none: 18.
//   - 1024 user extension: answered "(Echo){parameter}".
//   - Any other method is refused with 2; a call from a client not logged in with 10.
//   - Bounds: at most kListMax connections per user and kUsersMax users with state; a list
//     reply is cut before the entry that would pass kReplyMax bytes.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "qvType.h"

namespace kvsrv {

class Calls {
public:
    static constexpr u32 kListMax = 4096;
    static constexpr u32 kUsersMax = 1024;
    static constexpr u32 kReplyMax = 60000;
    static constexpr u32 kErrBadParam = 2;
    static constexpr u32 kErrRefused = 13;
    static constexpr u32 kErrNoEntry = 18;

    struct Notice {
        std::string user;
        std::string text;
    };
    struct Result {
        u32 err = 0;
        std::string reply;
        std::vector<Notice> notices;
    };

    explicit Calls(std::function<bool(const std::string&)> online) : m_online(std::move(online)) {}

    void SetManager(const std::string& mng) { m_mng = mng; }
    // "CODE:DOMAIN"; false when malformed.
    bool AddPassCode(const std::string& entry);

    // One call of a logged-in user.
    Result Handle(const std::string& user, u32 method, const std::string& param);

    // A connection text ("(name){...}") for the user's list; false when malformed or full.
    bool AddTunnel(const std::string& user, const std::string& element);
    bool RemoveTunnel(const std::string& user, const std::string& name);
    size_t ListSize(const std::string& user) const;
    std::string ClientInfo(const std::string& user) const;

private:
    struct Tunnel {
        std::string name;
        std::string text;
        std::string peer, listen, client;
        u32 type = 0;
    };
    std::vector<Tunnel>* List(const std::string& user, bool create);
    Result ListReply(const std::string& user, const std::string& param);
    Result ConnectAdd(const std::string& user, const std::string& param);
    Result ConnectDelete(const std::string& user, const std::string& param);

    std::function<bool(const std::string&)> m_online;
    std::string m_mng = "kvadmin";
    std::map<std::string, std::string> m_passCodes;
    std::map<std::string, std::vector<Tunnel>> m_lists;
    std::map<std::string, std::string> m_info;
    u32 m_next = 1;
};

// "method:parameter" of a call payload (a NUL-terminated text within len bytes, a decimal
// method of at most 10 digits); false for anything else.
bool ParseCallText(const u8* p, u32 len, u32* method, std::string* param);
// The decoded content at a path of a key-value text, "" when missing.
std::string OmlGet(const std::string& text, const std::string& path);
// The text with & ( ) [ ] { } escaped.
std::string OmlEscape(const std::string& text);

}  // namespace kvsrv
