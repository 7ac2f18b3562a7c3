// Test rendezvous server: the accounts it accepts logins of.
//
// An account is "user:password[:type[:param]]" on the command line, or one line of an
// accounts file: "user password [type [param]]", fields separated by blanks, the param being
// the rest of the line; empty lines and lines starting with '#' are skipped. The type goes
// back in the login reply as the account type; the param, when given, replaces the server's
// default login parameter text for that account.
#pragma once

#include <map>
#include <string>

#include "qvType.h"

namespace kvsrv {

struct Account {
    std::string user;
    std::string pass;
    u32 type = 0;
    std::string param;    // empty: the server's default
};

class Accounts {
public:
    // Users and passwords of at most 127 characters, as the login carries them; the param at
    // most 255. A bad entry is refused with the reason in *why.
    bool Add(const std::string& entry, std::string* why);
    bool Load(const std::string& path, std::string* why);
    const Account* Find(const std::string& user) const;
    size_t Count() const { return m_acc.size(); }

private:
    bool Put(Account a, std::string* why);
    std::map<std::string, Account> m_acc;
};

}  // namespace kvsrv
