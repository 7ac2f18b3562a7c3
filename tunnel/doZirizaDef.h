// Tunnel service internals shared by its classes: version, tunnel message codes, event numbers,
// the debug line helper, JSON escaping and the process-wide configuration text holder.
#pragma once

#include <cstdarg>

#include "qvLibTunnel.h"
#include "qvString.h"
#include "qvThread.h"
#include "qvType.h"

// Library version reported in logs, answers and the login parameter.
#define DOZIRIZA_VER_MAJOR 2
#define DOZIRIZA_VER_MINOR 9
#define DOZIRIZA_VER_PATCH 5
#define DOZIRIZA_VER_BUILD "115"

// Messages of the tunnel thread (CDOZiriza::PostMessage). Codes 35 to 0xFFFF go to the
// OnMsgProc hook; a code above 0xFFFF ends the loop.
enum {
    DOZIRIZA_MSG_TICK = 0,
    DOZIRIZA_MSG_START = 1,
    DOZIRIZA_MSG_RESTART = 2,
    DOZIRIZA_MSG_RELOGIN = 3,
    DOZIRIZA_MSG_HTTP_REQUEST = 4,
    DOZIRIZA_MSG_HTTP_ABORT = 5,
    DOZIRIZA_MSG_TCP_ACCEPT = 6,
    DOZIRIZA_MSG_TCP_CONNECT = 7,
    DOZIRIZA_MSG_TCP_DISCONNECT = 8,
    DOZIRIZA_MSG_LOGIN_REPLY = 9,
    DOZIRIZA_MSG_CALL_REPLY = 10,
    DOZIRIZA_MSG_RELOGIN_REPLY = 11,
    DOZIRIZA_MSG_KICK_OUT = 12,
    DOZIRIZA_MSG_SERVER_NOTIFY = 13,
    DOZIRIZA_MSG_SERVER_SYNC = 14,
    DOZIRIZA_MSG_PEER_NOTIFY = 15,
    DOZIRIZA_MSG_PEER_SYNC = 16,
    DOZIRIZA_MSG_PEER_ERROR = 17,
    DOZIRIZA_MSG_PEER_CALL_REQUEST = 18,
    DOZIRIZA_MSG_PEER_CALL_REPLY = 19,
    DOZIRIZA_MSG_PEER_INFO_REPLY = 20,
    DOZIRIZA_MSG_PEER_INFO_REPORT = 21,
    DOZIRIZA_MSG_LAN_SCAN = 22,
    DOZIRIZA_MSG_FWD_STATUS = 23,
    DOZIRIZA_MSG_FWD_RELAY_STAT = 24,
    DOZIRIZA_MSG_FWD_HOLE_STAT = 25,
    DOZIRIZA_MSG_AUTH_REQUEST = 26,
    DOZIRIZA_MSG_AUTH_REPLY = 27,
    DOZIRIZA_MSG_FILE_SYNC = 28,
    DOZIRIZA_MSG_FILE_OPEN = 29,
    DOZIRIZA_MSG_FILE_REPLY = 30,
    DOZIRIZA_MSG_FILE_CLOSE = 31,
    DOZIRIZA_MSG_FILE_CLOSED = 32,
    DOZIRIZA_MSG_FILE_PROGRESS = 33,
    DOZIRIZA_MSG_HTTP_TIMER = 34,
    DOZIRIZA_MSG_USER_FIRST = 35,
    DOZIRIZA_MSG_EXIT = 0x10000,
};

// Event numbers handed to the host's TfnTunnelEventProc.
enum {
    QV_TUNNEL_EVENT_EXIT = 0,
    QV_TUNNEL_EVENT_NET_ERROR = 1,
    QV_TUNNEL_EVENT_LOGIN = 2,
    QV_TUNNEL_EVENT_LOGOUT = 3,
    QV_TUNNEL_EVENT_KICK_OUT = 4,
    QV_TUNNEL_EVENT_PEER_ONLINE = 5,
    QV_TUNNEL_EVENT_PEER_OFFLINE = 6,
    QV_TUNNEL_EVENT_PEER_ERROR = 7,
    QV_TUNNEL_EVENT_CONNECT_CHECK = 8,
    QV_TUNNEL_EVENT_CONNECT_FREE = 9,
    QV_TUNNEL_EVENT_CONNECT_ONLINE = 10,
    QV_TUNNEL_EVENT_CONNECT_OFFLINE = 11,
    QV_TUNNEL_EVENT_USER_EXTEND = 12,
    QV_TUNNEL_EVENT_PEER_INFO = 13,
    QV_TUNNEL_EVENT_LISTEN_FAIL = 14,
    QV_TUNNEL_EVENT_FORWARD_STATUS = 15,
    QV_TUNNEL_EVENT_FORWARD_SPEED = 16,
    QV_TUNNEL_EVENT_FORWARD_STAT = 17,
    QV_TUNNEL_EVENT_TCP_SESS_REPLY = 18,
    QV_TUNNEL_EVENT_PEER_AUTH_REQUEST = 19,
    QV_TUNNEL_EVENT_PEER_AUTH_REPLY = 20,
    QV_TUNNEL_EVENT_TCP_PROGRESS = 21,
};

// Node result codes that the tunnel answers with (the flat interface negates them).
enum {
    DOZIRIZA_RES_OK = 0,
    DOZIRIZA_RES_SYSTEM = 1,
    DOZIRIZA_RES_BADPARAM = 2,
    DOZIRIZA_RES_BADSTATUS = 6,
    DOZIRIZA_RES_NOLOGIN = 10,
    DOZIRIZA_RES_NETWORK = 11,
    DOZIRIZA_RES_TIMEOUT = 12,
    DOZIRIZA_RES_REJECT = 13,
    DOZIRIZA_RES_BUSY = 14,
    DOZIRIZA_RES_EXIST = 17,
    DOZIRIZA_RES_NOEXIST = 18,
    DOZIRIZA_RES_BADDOMAIN = 23,
    // A request this library knows by name but does not serve.
    DOZIRIZA_RES_NOIMP = 256,
};

// Longest path the tunnel builds (home, log and account paths).
#define DOZIRIZA_PATH_MAX 4095

// One debug line of the tunnel: formatted into 1024 bytes and dropped when empty or longer than
// 1020 characters; written to the library log once it is up, before that to the host's log
// sink, else to standard output.
void dprintf_level(u32 uLevel, const char* lpszFormat, ...) __attribute__((format(printf, 2, 3)));
// Where dprintf_level writes: the host sink until the log is ready.
void doZirizaLogSinkSet(TfnTunnelLogOut lpfnSink);
TfnTunnelLogOut doZirizaLogSinkGet();
void doZirizaLogReadySet(u32 uReady);

// Text escaped for a JSON string value: a backslash before every quotation mark and backslash,
// and control characters (below 0x20) as \u00XX so that no peer or server text breaks the
// object it is put into.
QV_STRING qvJsonConvert(const char* lpszText);

// Text escaped for a key-value element name or content (& ( ) [ ] { } become &G &A &B &C &D &E
// &F); usable from any thread.
QV_STRING doZirizaOmlEncode(const char* lpszText);

// Percent-encoding of a text for the parameter texts of the bridged calls: letters, digits and
// - _ . ! ~ * ' ( ) stay, every other byte becomes %XX (upper-case hexadecimal).
QV_STRING doZirizaUriEncode(const char* lpszText);

// The process-wide configuration text set by doZirizaSetCfgParam; it outlives every start.
class CDOZirizaStatic
{
public:
    CDOZirizaStatic() {}
    CDOZirizaStatic(const CDOZirizaStatic&) = delete;
    CDOZirizaStatic& operator=(const CDOZirizaStatic&) = delete;

    // 0, or -2 for a null text or one shorter than 8 characters (the stored text stays).
    int SetCfgParam(const char* lpszCfg);
    // The configuration text: the file's when it can be read and is not empty (a file of 7
    // characters or fewer fails), else the stored text when longer than 7 characters.
    // An empty path reads only the stored text. 1/0.
    u32 LoadCfgParam(const char* lpszFullPath, QV_STRING& strOut);

    // Shortest usable configuration text; anything shorter cannot hold a mode element.
    static const u32 CFG_MIN = 8;
    // Largest configuration file read, in bytes.
    static const u32 CFG_FILE_MAX = 1024 * 1024;

private:
    CQVCriticalSection m_Sect;
    QV_STRING m_strCfg;
};

CDOZirizaStatic& doZirizaStatic();

// The configuration file path made absolute: "" stays "" (allowed only while a configuration
// text is stored), a path with '/' stays, a bare name goes into the program's directory. 1/0.
u32 doZirizaFullPath(const char* lpszPath, QV_STRING& strOut);
// The library's home directory from the configuration's Home element, else the sandbox root.
u32 doZirizaHomeDir(const char* lpszCfgPath, QV_STRING& strOut);
// "<root>/doZiriza/Log", created when missing. 1/0.
u32 doZirizaLogDir(QV_STRING& strOut);
// A text in UTF-8: converted from the system character set when it is not valid UTF-8.
QV_STRING doZirizaToUTF8(const char* lpszText);
