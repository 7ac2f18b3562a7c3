// What the server calls, the direct tunnels and the peer-out checks need of the connection
// table and the TCP sessions, in one place. Without a connection table in this build, there
// are no connections: adds fail and searches find nothing.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "doZiriza.h"

u32 CDOZiriza::SvrTunnelAdd(IQVString*, u32, QV_STRING& strName, QV_ADDR_S& addrFree)
{
    strName.clear();
    memset(&addrFree, 0, sizeof(addrFree));
    return SVR_TUNNEL_NONE;
}

u32 CDOZiriza::SvrTunnelDelete(IQVString*)
{
    return 0;
}

u32 CDOZiriza::SvrTunnelFree(const char*)
{
    return 0;
}

u32 CDOZiriza::SvrTunnelExists(const char*)
{
    return 0;
}

u32 CDOZiriza::SvrTunnelFindExt(const char*, u32, const char*, const char*, QV_STRING&)
{
    return 0;
}

u32 CDOZiriza::SvrTunnelInfoByAddrIn(const char*, SVR_TUNNEL_INFO_S&)
{
    return 0;
}

u32 CDOZiriza::SvrTunnelPeerStatic(const char*, const char*)
{
    return 0;
}

u32 CDOZiriza::SvrTunnelSessWaiting(const char*)
{
    return 0;
}

void CDOZiriza::SvrTunnelRemakePeer(const char*) {}

u32 CDOZiriza::SvrTunnelDirectRescan(const char*, u32)
{
    return 0;
}

u32 CDOZiriza::SvrTunnelListenBind(const QV_ADDR_S& addr)
{
    const u32 bV6 = addr.uAddr[0] | addr.uAddr[1] | (addr.uAddr[2] != htonl(0xFFFF) && addr.uAddr[2] != 0);
    int fd = socket(bV6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    int iOn = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn));
    int iRet;
    if (bV6)
    {
        sockaddr_in6 sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin6_family = AF_INET6;
        memcpy(&sa.sin6_addr, addr.uAddr, 16);
        sa.sin6_port = htons(addr.uPort);
        iRet = bind(fd, (sockaddr*)&sa, sizeof(sa));
    }
    else
    {
        sockaddr_in sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = addr.uAddr[3];
        sa.sin_port = htons(addr.uPort);
        iRet = bind(fd, (sockaddr*)&sa, sizeof(sa));
    }
    close(fd);
    return iRet == 0;
}
