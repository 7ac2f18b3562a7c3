// Every bridged call of the flat interface once, with harmless arguments (addresses only on
// loopback and in the lab's private ranges), in the order of the header.
#pragma once

#include <vector>

#include "qvLibTunnel.h"

namespace {

std::vector<int> AllBridgedResults()
{
    QV_TUNNEL_VERSION_S ver;
    QV_TUNNEL_STATUS_S sta;
    QV_TUNNEL_DOMAIN_S dom;
    QV_TUNNEL_COMMENT_S com;
    QV_TUNNEL_PEER_INFO_S pi;
    QV_TUNNEL_CLIENT_ADDR_S ca = {""};
    QV_TUNNEL_CONNECT_INFO_S ci;
    QV_TUNNEL_SELF_S self;
    struct
    {
        unsigned int uSize;
        char sz[16];
    } data = {sizeof(data.sz), ""};
    QV_TUNNEL_DATA_S* pData = reinterpret_cast<QV_TUNNEL_DATA_S*>(&data);
    return {doZirizaVersionGet(&ver),
            doZirizaStatusGet(0, &sta),
            doZirizaDomainSet("p"),
            doZirizaDomainGet(&dom),
            doZirizaCommentSet("c"),
            doZirizaCommentGet(&com),
            doZirizaTunnelSet("p", "c"),
            doZirizaPeerInfoGet("peer", &pi),
            doZirizaConnectAdd("", "peer", 0, 0, "10.99.0.1:80", "127.0.0.1:18080", &ca),
            doZirizaConnectDelete("", "peer", 0, 0, "10.99.0.1:80", "127.0.0.1:18080"),
            doZirizaConnectQuery("peer", 0, 0, "10.99.0.1:80", &ca),
            doZirizaConnectLocalDelete("", "127.0.0.1:18080"),
            doZirizaConnectLocalQuery("127.0.0.1:18080", &ci),
            doZirizaUserExtend("req", pData, 1000),
            doZirizaPushGet(pData, 1000),
            doZirizaSelfGet(&self),
            doZirizaConnectEnum(0, &ci),
            doZirizaControl(5, ""),
            doZirizaChannelSet("peer", 0, ""),
            doZirizaPeerFwdCfg(-1, -1, -1, -1, ""),
            doZirizaPeerAuthSet("peer", "info"),
            doZirizaPeerAuthReply("1", 0, "")};
}

}  // namespace
