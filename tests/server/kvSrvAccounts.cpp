#include "kvSrvAccounts.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>

namespace kvsrv {

namespace {

bool ParseType(const std::string& s, u32* out)
{
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = (u32)strtoul(s.c_str(), nullptr, 10);
    return true;
}

}  // namespace

bool Accounts::Put(Account a, std::string* why)
{
    if (a.user.empty() || a.user.size() > 127) {
        *why = "user must have 1 to 127 characters";
        return false;
    }
    if (a.pass.size() > 127) {
        *why = "password longer than 127 characters";
        return false;
    }
    if (a.param.size() > 255) {
        *why = "param longer than 255 characters";
        return false;
    }
    m_acc[a.user] = std::move(a);
    return true;
}

bool Accounts::Add(const std::string& entry, std::string* why)
{
    Account a;
    size_t c1 = entry.find(':');
    if (c1 == std::string::npos) {
        *why = "expected user:password[:type[:param]]";
        return false;
    }
    a.user = entry.substr(0, c1);
    size_t c2 = entry.find(':', c1 + 1);
    a.pass = entry.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
    if (c2 != std::string::npos) {
        size_t c3 = entry.find(':', c2 + 1);
        std::string type = entry.substr(c2 + 1, c3 == std::string::npos ? std::string::npos : c3 - c2 - 1);
        if (!ParseType(type, &a.type)) {
            *why = "type must be a decimal number";
            return false;
        }
        if (c3 != std::string::npos)
            a.param = entry.substr(c3 + 1);
    }
    return Put(std::move(a), why);
}

bool Accounts::Load(const std::string& path, std::string* why)
{
    std::ifstream in(path);
    if (!in) {
        *why = "cannot read " + path;
        return false;
    }
    std::string line;
    for (u32 no = 1; std::getline(in, line); no++) {
        std::istringstream ls(line);
        Account a;
        if (!(ls >> a.user) || a.user[0] == '#')
            continue;
        std::string type;
        if (!(ls >> a.pass)) {
            *why = path + ":" + std::to_string(no) + ": no password";
            return false;
        }
        if (ls >> type && !ParseType(type, &a.type)) {
            *why = path + ":" + std::to_string(no) + ": type must be a decimal number";
            return false;
        }
        std::getline(ls >> std::ws, a.param);
        std::string err;
        if (!Put(std::move(a), &err)) {
            *why = path + ":" + std::to_string(no) + ": " + err;
            return false;
        }
    }
    return true;
}

const Account* Accounts::Find(const std::string& user) const
{
    auto it = m_acc.find(user);
    return it == m_acc.end() ? nullptr : &it->second;
}

}  // namespace kvsrv
