// Public interface of the tunnel library: the flat doZiriza* functions, their records, result
// codes, login states and callback types. Self-contained: a host includes only this header and
// links kv_tunnel.
//
// Every function holds the library's API lock for its whole duration, so calls from different
// host threads never overlap. doZirizaCallbackSet, doZirizaSetCfgParam, doZirizaStart,
// doZirizaStop, doZirizaSysInfo and doZirizaSetNetCard act in the caller's thread; every other
// function is answered by the tunnel thread and works only between a successful doZirizaStart
// and doZirizaStop (before, after and during a stop it returns QV_TUNNEL_ERROR_BADSTATUS).
// All character arrays in the records are NUL-terminated texts.
#ifndef QV_LIB_TUNNEL_H
#define QV_LIB_TUNNEL_H

#ifdef __cplusplus
extern "C" {
#endif

// Event callback: (event number, parameter text). Called on the tunnel's event callback thread
// for events 1 to 21, and once with event 0 and "" on the tunnel thread when that thread has
// ended. It must not call doZirizaStop while handling event 0.
typedef void (*TfnTunnelEventProc)(unsigned int uEvent, const char* lpszParam);

// Log callback given to doZirizaStart: (level, line). Receives the tunnel's debug lines until
// the library log is up, and afterwards every library log line.
typedef void (*TfnTunnelLogOut)(unsigned int uLevel, const char* lpszText);

typedef struct tagQV_TUNNEL_STATUS_S {
    unsigned int uStatus;  // a QV_TUNNEL_STA_LOGIN_E value
} QV_TUNNEL_STATUS_S;

typedef struct tagQV_TUNNEL_PEER_INFO_S {
    char szPeerID[128];
    unsigned int uType;  // net type code of the current path
    char szAddrLocal[64];
    char szAddrRemote[64];
    char szTunnelLocal[64];
    char szTunnelRemote[64];
    char szPrivateRemote[64];
} QV_TUNNEL_PEER_INFO_S;

typedef struct tagQV_TUNNEL_CLIENT_ADDR_S {
    char szClientAddr[64];  // local listen address of a connection, "a.b.c.d:port"
} QV_TUNNEL_CLIENT_ADDR_S;

typedef struct tagQV_TUNNEL_CONNECT_INFO_S {
    char szPeerID[128];
    unsigned int uType;     // 0 plain TCP, 1 proxy
    unsigned int uEncrypt;  // 0 or 1
    char szListenAddr[64];  // service address behind the peer
    char szClientAddr[64];
} QV_TUNNEL_CONNECT_INFO_S;

// Variable-size data record: the caller provides uSize bytes of szData directly after uSize,
// i.e. allocates offsetof(QV_TUNNEL_DATA_S, szData) + uSize bytes. The library writes at most
// uSize bytes (the last one a NUL) and never changes uSize.
typedef struct tagQV_TUNNEL_DATA_S {
    unsigned int uSize;
    char szData[1];
} QV_TUNNEL_DATA_S;

// The single-text records; no answer of the tunnel exceeds 255 characters.
typedef struct tagQV_TUNNEL_VERSION_S {
    char szVersion[256];
} QV_TUNNEL_VERSION_S;

typedef struct tagQV_TUNNEL_DOMAIN_S {
    char szDomain[256];
} QV_TUNNEL_DOMAIN_S;

typedef struct tagQV_TUNNEL_COMMENT_S {
    char szComment[256];
} QV_TUNNEL_COMMENT_S;

typedef struct tagQV_TUNNEL_SELF_S {
    char szSelf[256];
} QV_TUNNEL_SELF_S;

// Result of every function that returns one.
typedef enum tagQV_TUNNEL_ERROR_E {
    QV_TUNNEL_ERROR_OK = 0,
    QV_TUNNEL_ERROR_SYSTEM = -1,
    QV_TUNNEL_ERROR_BADPARAM = -2,
    QV_TUNNEL_ERROR_BADCLASS = -3,
    QV_TUNNEL_ERROR_BADMETHOD = -4,
    QV_TUNNEL_ERROR_BADOBJECT = -5,
    QV_TUNNEL_ERROR_BADSTATUS = -6,
    QV_TUNNEL_ERROR_BADFILE = -7,
    QV_TUNNEL_ERROR_BADUSER = -8,
    QV_TUNNEL_ERROR_BADPASS = -9,
    QV_TUNNEL_ERROR_NOLOGIN = -10,
    QV_TUNNEL_ERROR_NETWORK = -11,
    QV_TUNNEL_ERROR_TIMEOUT = -12,
    QV_TUNNEL_ERROR_REJECT = -13,
    QV_TUNNEL_ERROR_BUSY = -14,
    QV_TUNNEL_ERROR_OPENED = -15,
    QV_TUNNEL_ERROR_CLOSED = -16,
    QV_TUNNEL_ERROR_EXIST = -17,
    QV_TUNNEL_ERROR_NOEXIST = -18,
    QV_TUNNEL_ERROR_NOSPACE = -19,
    QV_TUNNEL_ERROR_BADTYPE = -20,
    QV_TUNNEL_ERROR_CHECKERR = -21,
    QV_TUNNEL_ERROR_BADSERVER = -22,
    QV_TUNNEL_ERROR_BADDOMAIN = -23,
    QV_TUNNEL_ERROR_NODATA = -24,
    QV_TUNNEL_ERROR_UNKNOWN = -255,
    QV_TUNNEL_ERROR_NOIMP = -256
} QV_TUNNEL_ERROR_E;

// Items of doZirizaStatusGet.
typedef enum tagQV_TUNNEL_GET_STA_E {
    QV_TUNNEL_GET_STA_LOGIN = 0
} QV_TUNNEL_GET_STA_E;

// Login states reported by doZirizaStatusGet and the login-result event.
typedef enum tagQV_TUNNEL_STA_LOGIN_E {
    QV_TUNNEL_STA_LOGIN_SUCCESS = 0,        // logged in
    QV_TUNNEL_STA_LOGIN_CONFIG = 4,         // configuration not loadable or not usable
    QV_TUNNEL_STA_LOGIN_SYSINFO = 5,        // system information text without DevID
    QV_TUNNEL_STA_LOGIN_RESOLUTION = 6,
    QV_TUNNEL_STA_LOGIN_BUILDACCOUNT = 7,   // building the login account failed
    QV_TUNNEL_STA_LOGIN_INITNODE = 8,       // starting the node failed
    QV_TUNNEL_STA_LOGIN_INITFAILED = 9,     // other initialisation or start failure
    QV_TUNNEL_STA_LOGIN_LOGINFAILED = 10,   // sending the login request failed
    QV_TUNNEL_STA_LOGIN_LOGOUTED = 11,      // logged out for a restart or at clean-up
    QV_TUNNEL_STA_LOGIN_REQUESTING = 16,    // login request sent, answer pending
    QV_TUNNEL_STA_LOGIN_TIMEOUT = 17,       // server answer: time-out
    QV_TUNNEL_STA_LOGIN_NETWORK = 18,       // server answer: network failure
    QV_TUNNEL_STA_LOGIN_BADUSER = 19,       // server answer: bad user
    QV_TUNNEL_STA_LOGIN_BADPASS = 20,       // server answer: bad password
    QV_TUNNEL_STA_LOGIN_REJECT = 21,        // server answer: refused
    QV_TUNNEL_STA_LOGIN_BUSY = 22,          // server answer: busy
    QV_TUNNEL_STA_LOGIN_FAILED = 23,        // server answer: any other error below 256
    QV_TUNNEL_STA_LOGIN_KICKOUT = 32,       // kicked out by the server
    QV_TUNNEL_STA_LOGIN_UNKNOWN = 255,      // before the first start
    QV_TUNNEL_STA_LOGIN_EXTEND = 256        // first of the server's own codes (kept unchanged)
} QV_TUNNEL_STA_LOGIN_E;

// ---- Functions acting in the caller's thread ----

// Stores the event callback for the whole process; set it before doZirizaStart.
void doZirizaCallbackSet(TfnTunnelEventProc lpfnEvent);

// Stores a configuration text used when the configuration file is missing or empty.
// 0, or -2 when the text is NULL or shorter than 8 characters.
int doZirizaSetCfgParam(const char* lpszCfg);

// Starts the tunnel with a configuration file and a system information text (NULL counts as "").
// 0 when started or already started (then the arguments are ignored); otherwise -1 (thread or
// library start failed, or another failure), -7 configuration, -2 system information,
// -11 TCP extension configuration.
int doZirizaStart(const char* lpszCfgPath, const char* lpszSysInfo, void* lpContext, TfnTunnelLogOut lpfnLog);

// Stops the tunnel thread and waits for it; nothing when not started.
void doZirizaStop(void);

// Starts the library log in the home directory named by the configuration file and writes the
// system information text into lpszOut. 0, or -256 on failure.
int doZirizaSysInfo(const char* lpszCfgPath, char* lpszOut, unsigned int uOutSize);

// Sets the default network card. 0; -1 without a network service; -2 when the card is refused.
int doZirizaSetNetCard(const char* lpszCard);

// ---- Functions answered by the tunnel thread ----
// Common results: -6 not started or stopping; -2 bad arguments; -14 no call slot free; -1 the
// request could not be posted or its answer is malformed; -12 no answer in time (12 s, or the
// caller's time-out where one is given; 0 waits without limit); else minus the tunnel's result.

int doZirizaVersionGet(QV_TUNNEL_VERSION_S* lpVersion);
int doZirizaStatusGet(unsigned int uItem, QV_TUNNEL_STATUS_S* lpStatus);
int doZirizaDomainSet(const char* lpszPasscode);
int doZirizaDomainGet(QV_TUNNEL_DOMAIN_S* lpDomain);
int doZirizaCommentSet(const char* lpszComment);
int doZirizaCommentGet(QV_TUNNEL_COMMENT_S* lpComment);
int doZirizaTunnelSet(const char* lpszPasscode, const char* lpszComment);
int doZirizaPeerInfoGet(const char* lpszPeerID, QV_TUNNEL_PEER_INFO_S* lpInfo);
int doZirizaConnectAdd(const char* lpszSession, const char* lpszPeerID, unsigned int uType, unsigned int uEncrypt,
                       const char* lpszListenAddr, const char* lpszClientAddr, QV_TUNNEL_CLIENT_ADDR_S* lpClientAddr);
int doZirizaConnectDelete(const char* lpszSession, const char* lpszPeerID, unsigned int uType, unsigned int uEncrypt,
                          const char* lpszListenAddr, const char* lpszClientAddr);
// lpClientAddr is read (its szClientAddr, when NUL-terminated, is sent along) and written.
int doZirizaConnectQuery(const char* lpszPeerID, unsigned int uType, unsigned int uEncrypt, const char* lpszListenAddr,
                         QV_TUNNEL_CLIENT_ADDR_S* lpClientAddr);
int doZirizaConnectLocalDelete(const char* lpszSession, const char* lpszClientAddr);
int doZirizaConnectLocalQuery(const char* lpszClientAddr, QV_TUNNEL_CONNECT_INFO_S* lpInfo);
int doZirizaUserExtend(const char* lpszRequest, QV_TUNNEL_DATA_S* lpData, unsigned int uTimeoutMs);
int doZirizaPushGet(QV_TUNNEL_DATA_S* lpData, unsigned int uTimeoutMs);
int doZirizaSelfGet(QV_TUNNEL_SELF_S* lpSelf);
int doZirizaConnectEnum(unsigned int uIndex, QV_TUNNEL_CONNECT_INFO_S* lpInfo);
int doZirizaControl(unsigned int uCtrl, const char* lpszParam);
int doZirizaChannelSet(const char* lpszPeerID, unsigned int uType, const char* lpszParam);
// Negative numbers and an empty option are left out of the request.
int doZirizaPeerFwdCfg(int iSpeed, int iGate, int iUse, int iMaxSess, const char* lpszOption);
int doZirizaPeerAuthSet(const char* lpszPeerID, const char* lpszInfo);
int doZirizaPeerAuthReply(const char* lpszHandle, unsigned int uErrCode, const char* lpszParam);

#ifdef __cplusplus
}
#endif

#endif  // QV_LIB_TUNNEL_H
