// Records of the tunnel engine's connection side: the TCP session table (one entry per
// forwarded TCP connection) and the tunnel table (one entry per connection).
#pragma once

#include "qvNodeHash.h"
#include "qvString.h"
#include "qvTable.h"
#include "qvType.h"

// One forwarded TCP connection. Two node File objects carry its bytes, one per direction.
struct DOZIRIZA_TCP_SESS_S
{
    QV_LINK_S<DOZIRIZA_TCP_SESS_S> link;         // free or used list
    QV_HASH_LINK_S linkHash;                     // AddrSock hash
    QV_LINK_S<DOZIRIZA_TCP_SESS_S> linkPending;  // call or reply not yet delivered
    QV_LINK_S<DOZIRIZA_TCP_SESS_S> linkDelay;    // local side closed, draining
    QV_STRING strAddrSock;  // key of its TCP extension socket, empty when none
    u16 uCookie = 0;
    u16 uSide = 0;          // 0 calling side (accepted a local client), 1 called side
    u32 uTunnel = 0;        // tunnel handle; 0 for a direct session on the called side
    u32 uActive = 0;        // tick of the last sign of life
    u32 uIdleSince = 0;     // tick since which a draining session moved no bytes (0 = moving)
    u32 uPutState = 0;      // SESS_FILE_*
    u32 uGetState = 0;
    u32 uPutObj = 0;        // node File objects, 0 when none
    u32 uGetObj = 0;
    u32 uFlags = 0;         // object flags
    u32 uPeer = 0;          // node object of the remote peer
    u32 uRemoteSess = 0;    // the other side's session handle (called side)
    u32 uCallHandle = 0;    // handle to answer the peer call with (called side)
    u32 uReplyCode = 0;
    QV_STRING strPending;   // call text (calling side) or reply text (called side) not yet out
    u32 uSpeed[2] = {0, 0}; // last reported speed, [0] receiving and [1] sending direction
    u32 uActiveMark = 0;    // named by the part of the peer's "Active" list read so far
    u32 uBorn = 0;          // tick of allocation
    u32 uEstablished = 0;   // both objects were opened once
    u32 uLocalEnded = 0;    // the local socket ended before every object was opened
};

// One connection ("tunnel"): a local client address bound to a service behind a peer.
struct DOZIRIZA_TUNNEL_S
{
    QV_LINK_S<DOZIRIZA_TUNNEL_S> link;  // free or busy list
    QV_HASH_LINK_S linkHash;            // name hash
    QV_STRING strName;                  // the key: connection name (forward mode: SubDNS)
    u16 uType = 0;                      // DOZIRIZA_TUNNEL_TCP / PROXY / FORWARD
    u16 uCookie = 0;
    u32 uOption = 0;                    // bit 0 encrypt, bit 1 compress
    u32 uFlags = 0;                     // DOZIRIZA_TUNNEL_FLAG_*
    u32 uRetryCount = 0;                // failed peer checks since the last retry
    u32 uRetryInterval = 1;             // ticks between retries, doubled up to 120
    u32 uActiveCount = 0;               // ticks since the last "Active" notification
    u32 uCheckStamp = 0;                // tick of the last LAN-scan trigger
    u32 uLastActive = 0;                // tick of the peer's last sign of life for it
    u32 uPeer = 0;                      // node object of the peer-out
    u32 uSessCount = 0;                 // TCP sessions of it that start here
    QV_STRING strPeerOut;               // peer ID of the exit peer
    QV_STRING strAddrSvr;               // service address (Tcp, Forward)
    QV_STRING strAddrIn;                // local listen address (Tcp, Proxy)
    QV_STRING strFwdName;               // element name of a Forward connection
};

enum { DOZIRIZA_TUNNEL_TCP = 0, DOZIRIZA_TUNNEL_PROXY = 1, DOZIRIZA_TUNNEL_FORWARD = 2 };

enum {
    DOZIRIZA_TUNNEL_FLAG_WAIT = 0x01,    // the caller waits for the listen result
    DOZIRIZA_TUNNEL_FLAG_DIRECT = 0x02,  // direct tunnel
    DOZIRIZA_TUNNEL_FLAG_STATIC = 0x04,  // the peer object is a static LAN peer
    DOZIRIZA_TUNNEL_FLAG_RELISTEN = 0x08, // listening failed and is retried
    DOZIRIZA_TUNNEL_FLAG_ONLINE = 0x10,  // event 10 was the last connection event raised
};

// File object states of a session.
enum {
    DOZIRIZA_SESS_FILE_NONE = 0,
    DOZIRIZA_SESS_FILE_REQUESTED = 1,  // open requested by this side
    DOZIRIZA_SESS_FILE_PEER = 2,       // opened at the peer's request
    DOZIRIZA_SESS_FILE_OPEN = 3,       // open confirmed
};

// No tunnel entry.
#define DOZIRIZA_TUNNEL_NONE 0xFFFFFFu
