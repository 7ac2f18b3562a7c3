// An IPv4 address text and a port as the runtime's address record (IPv4 in the last word, in
// network order), for tests of every layer.
#pragma once

#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "qvSocketAddr.h"

inline QV_ADDR_S V4(const std::string& ip, u16 port)
{
    QV_ADDR_S a;
    std::memset(&a, 0, sizeof(a));
    inet_pton(AF_INET, ip.c_str(), &a.uAddr[3]);
    a.uPort = port;
    return a;
}
