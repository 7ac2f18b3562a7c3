// Test rendezvous server: the byte layouts it reads and writes. Every reader takes the
// datagram or payload with its length and checks each size before it reads a field; a reader
// returns false for anything the server must drop. Writers return the finished bytes.
//
// Three families travel to and from the server:
//   - connect-control messages of the station (byte 1 'A'..'Q'): 'H' is answered with 'I',
//     'D' passed on as 'E', 'F' passed on as 'G';
//   - UDP over IPv4 control messages (byte 1 0x80 and above): the loop request 0x81 is
//     answered with 0x82;
//   - payloads of the node session over a peer socket (message types of the peer class).
// All integers are big-endian; strings inside payloads are the length-prefixed strings of
// qvStrPush / qvStrPop.
#pragma once

#include <string>
#include <vector>

#include "qvSockDriv.h"   // QV_ADDR_PAIR_S
#include "qvSocketAddr.h"
#include "qvType.h"

namespace kvsrv {

inline u32 Rd32(const u8* p) { return (u32)p[0] << 24 | (u32)p[1] << 16 | (u32)p[2] << 8 | p[3]; }
inline u32 Rd16(const u8* p) { return (u32)p[0] << 8 | p[1]; }
inline void Wr32(u8* p, u32 v)
{
    p[0] = (u8)(v >> 24);
    p[1] = (u8)(v >> 16);
    p[2] = (u8)(v >> 8);
    p[3] = (u8)v;
}
inline void Wr16(u8* p, u32 v)
{
    p[0] = (u8)(v >> 8);
    p[1] = (u8)v;
}

// "a.b.c.d:port" (or the internal form for anything else).
std::string AddrText(const QV_ADDR_S& a);
// "a.b.c.d:port" into an IPv4 address; false when it is not one.
bool ParseIPv4Port(const std::string& text, QV_ADDR_S* out);
bool SameAddr(const QV_ADDR_S& a, const QV_ADDR_S& b);   // IP and port; the extra word aside

// ---------------------------------------------------------------------------------------------
// Connect-control messages: [0] 0, [1] letter, [2] flags, [3] relay type, four 20-byte address
// records at 4, 24, 44, 64 (16 bytes IP as QV_ADDR_S holds it, u16 port, u16 address flags),
// then the letter's tail.

const u32 kCcLen = 84;          // header and four records: short 'D'..'G', 'H' without a name
const u32 kCcLenRedir = 124;    // 'I' with the redirect stations at 84 and 104
const u32 kCcLenMain = 212;     // 'H' with the 128-byte peer name at 84
const u32 kCcLenFull = 324;     // full 'D'..'G': twelve more records at 84 + 20 x i
const u32 kCcNameMax = 128;
const u32 kRec0 = 4, kRec1 = 24, kRec2 = 44, kRec3 = 64;
const u8 kCcRec1 = 0x02;        // flag: record 1 is valid

QV_ADDR_S RdRec(const u8* m, u32 at);
void WrRec(u8* m, u32 at, const QV_ADDR_S& a, u16 flags = 0);

// A connect-control message the station acts on ('D', 'F', 'H').
struct CcMsg {
    u8 letter = 0;
    u8 flags = 0;
    bool full = false;    // 'D'/'F': the 324-byte form
    u32 len = 0;          // bytes the station uses (84, 212 or 324)
    const u8* data = nullptr;
};
// False for anything but a well-formed 'D', 'F' or 'H': shorter than 84 bytes, another letter,
// or a 'D'/'F' whose length lies between the short form (84) and the full one (324), which
// would be a full message cut short. Bytes past the longest form are ignored.
bool CcParse(const u8* p, u32 len, CcMsg* out);
// The peer name of an 'H' of 212 bytes or more when it is terminated within its 128 bytes;
// "" otherwise.
std::string CcMainName(const CcMsg& h);
// 'I' for an 'H': the request with letter 'I', flag 0x02 and [24] = the source the station saw;
// 124 bytes with the redirect pair (zero records when none) when the request had 212 bytes or
// more, else 84.
std::vector<u8> BuildMainReply(const CcMsg& h, const QV_ADDR_S& source, const QV_ADDR_PAIR_S* redirect);
// The message passed on: a copy of the used bytes with the letter replaced.
std::vector<u8> CcPassOn(const CcMsg& m, u8 letter);

// ---------------------------------------------------------------------------------------------
// UDP over IPv4 control. Addresses are 8 bytes: IPv4 as stored, u16 port, u16 flags.

const u8 kUdpLoopReq = 0x81;
const u8 kUdpLoopReply = 0x82;
const u32 kLoopMin = 56;        // up to the end of the NAT fields, which the reply echoes
const u32 kLoopLen = 136;

// 0x82 for a 0x81 of at least 56 bytes: [2] bit 0 when the request reported NAT information,
// [4] the source the server saw, [44..55] the request's NAT fields echoed, detection servers
// none. False (nothing to send) for a shorter or foreign datagram.
bool BuildLoopReply(const u8* req, u32 len, const QV_ADDR_S& source, std::vector<u8>* out);

// ---------------------------------------------------------------------------------------------
// Node session payloads (message types of the peer class).

enum MsgType : u16 {
    kMsgKeepAlive = 0,
    kMsgSyncReport = 1,
    kMsgSyncUpdate = 2,
    kMsgLogin = 3,
    kMsgLoginReply = 4,
    kMsgLogout = 5,
    kMsgStatusQuery = 7,
    kMsgStatusReply = 8,
    kMsgCall = 9,
    kMsgCallReply = 10,
    kMsgMessage = 11,
    kMsgKickOut = 19,
    kMsgStamp = 21,
    kMsgStampUpdate = 22,
};
const u16 kFlagError = 0x1;     // flag word bit 0 of a reply: an error, u32 code at 0
const u16 kFlagText = 0x2;      // flag word bit 1: the payload is a text with its NUL
const u32 kPayloadMax = 0x1FFFF;

// Sync report (type 1) and sync update (type 2) share one layout: [0] object, [4] report time,
// [8] the replier's time (update) or 0, [12] cookie, [20] u16 flags, [32] object name, then the
// group name.
struct Sync {
    u32 object = 0;
    u32 time = 0;
    u32 time2 = 0;
    u32 cookie = 0;
    u16 flags = 0;
    std::string name;
    std::string group;
};
// More than 36 bytes, both names present and at most 128 characters.
bool ParseSync(const u8* p, u32 len, Sync* out);
std::vector<u8> BuildSync(const Sync& s);

// Login (type 3): a 32-byte header, then User, Pass, Param and the client information, the
// four strings together at most 608 bytes.
struct Login {
    u32 self = 0;         // the client's handle of its self object
    u32 server = 0;       // the client's handle of the server object
    u16 count = 0;        // logins of this client session
    u16 mode = 0;
    u32 cookie = 0;       // the client's cookie for the server
    std::string user, pass, param, info;
};
const u32 kLoginHeader = 32;
const u32 kLoginStringsMax = 608;
bool ParseLogin(const u8* p, u32 len, Login* out);
// Success reply (type 4): u16 Expire, u32 Type at 4, then Sess, Param, a reserved string and
// Version at 16.
std::vector<u8> BuildLoginReply(u16 expire, u32 type, const std::string& sess, const std::string& param,
                                const std::string& version);
// An error reply of any type: u32 code at 0 (sent with flag word kFlagError).
std::vector<u8> BuildError(u32 code);
// A text payload with its NUL (sent with flag word kFlagText).
std::vector<u8> BuildText(const std::string& text);

// Status query (type 7): [0] u16 flags, 14 zero bytes, [16] the peer's object name.
struct StatusQuery {
    u16 flags = 0;
    std::string name;
};
bool ParseStatusQuery(const u8* p, u32 len, StatusQuery* out);
// Status reply (type 8): [4] peer type, [16] the peer's address words, [32] port, [34] extra,
// [36] Proxy, then the agent peer and Proxy6.
std::vector<u8> BuildStatusReply(u32 type, const QV_ADDR_S& addr, const std::string& proxy,
                                 const std::string& agent, const std::string& proxy6);

// Kick-out (type 19): u32 Param, and with an address now the 24-byte form.
std::vector<u8> BuildKickOut(u32 param, const QV_ADDR_S* now);

// Stamp (type 21) answered with a stamp update (type 22): the stamp's first four bytes, then
// the replier's millisecond clock.
bool BuildStampUpdate(const u8* p, u32 len, u32 now, std::vector<u8>* out);

}  // namespace kvsrv
