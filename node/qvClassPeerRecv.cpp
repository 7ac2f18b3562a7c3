// Peer class receive path: every message of the class is read whole into the receive buffer
// and checked against the table of its type (side, admission, minimum size) before any of its
// fields is read.
#include <cstring>

#include "qvClassPeer.h"
#include "qvLog.h"
#include "qvNode.h"
#include "qvSocket.h"

// uClientOnly, uAdmit, uMin (payload bytes), handler (null: this side does not act on it yet
// or ever). The minimum sizes of types whose handlers are not built yet are those their
// handlers will need at least.
const CQVClassPeer::MSG_TYPE_S CQVClassPeer::s_MsgType[QV_PMSG_COUNT] = {
    {0, 0, 0, nullptr},                            // 0 keep-alive: sent only
    {0, 0, 37, &CQVClassPeer::RecvSyncReport},     // 1 sync report
    {0, 0, 37, &CQVClassPeer::RecvSyncUpdate},     // 2 sync update
    {0, 0, 0, nullptr},                            // 3 login request: sent only
    {1, 0, 4, &CQVClassPeer::RecvLoginReply},     // 4 login reply
    {0, 0, 0, nullptr},                            // 5 logout: sent only
    {0, 0, 0, nullptr},                            // 6 not used
    {0, 0, 0, nullptr},                            // 7 status query: sent only
    {1, 1, 4, &CQVClassPeer::RecvStatusReply},    // 8 status reply
    {0, 1, 0, &CQVClassPeer::RecvCall},            // 9 call
    {0, 1, 0, &CQVClassPeer::RecvCallReply},       // 10 call reply
    {0, 1, 0, &CQVClassPeer::RecvMessage},         // 11 message
    {0, 0, 16, &CQVClassPeer::RecvError},          // 12 error
    {1, 0, 4, &CQVClassPeer::RecvNoAuth},          // 13 no authority
    {0, 0, 0, nullptr},                            // 14 agent login: sent only
    {1, 1, 4, &CQVClassPeer::RecvAgentLoginReply},  // 15 agent login reply
    {0, 0, 0, nullptr},                            // 16 agent logout: sent only
    {0, 0, 0, nullptr},                            // 17 not used
    {0, 1, 8, &CQVClassPeer::RecvAgentMessage},   // 18 agent message
    {1, 0, 4, &CQVClassPeer::RecvKickOut},        // 19 kick-out
    {1, 0, 5, &CQVClassPeer::RecvPushOption},     // 20 push option
    {0, 1, 16, &CQVClassPeer::RecvStamp},          // 21 stamp
    {0, 1, 16, &CQVClassPeer::RecvStampUpdate},    // 22 stamp update
    {0, 1, 20, &CQVClassPeer::RecvPing},           // 23 ping
    {0, 1, 20, &CQVClassPeer::RecvPingReply},      // 24 ping reply
    {1, 0, 84, &CQVClassPeer::RecvResoRequest},   // 25 resolve request
    {0, 0, 0, nullptr},                            // 26 resolve reply: sent only
    {1, 0, 48, nullptr},                           // 27 memory request
    {0, 0, 0, nullptr},                            // 28 memory reply: sent only
    {0, 1, 17, &CQVClassPeer::RecvStatusNotify},  // 29 status notify
    {0, 1, 8, nullptr},                            // 30 log pull command
    {0, 1, 8, nullptr},                            // 31 log pull command reply
    {0, 1, 8, nullptr},                            // 32 log pull report
    {1, 1, 16, &CQVClassPeer::RecvAuthRequest},   // 33 authentication request
    {1, 1, 17, &CQVClassPeer::RecvAuthInfo},      // 34 authentication information
    {1, 1, 17, &CQVClassPeer::RecvAuthResult},    // 35 authentication result
};

int CQVClassPeer::OnReceive(u32, u32 uPrio, u32, u32, u32 uExtra, u32 uPeer)
{
    if (uExtra & 0xFFFF)
        return 0;
    u32 uIndex = EntryOfObject(uPeer);
    if (uIndex == 0xFFFFFFFF || !m_pRecvBuf) {
        m_Stat.uNoPeer++;
        return 0;
    }
    QV_SK_BUF_S b;
    std::memset(&b, 0, sizeof(b));
    b.uPrio = uPrio;
    b.uMethod = 0xFFFF;
    b.uSize = QV_PEER_MSG_MAX;
    b.lpData = m_pRecvBuf;
    s32 n = Receive(uIndex, b, 0, 0, uExtra >> 16);
    if (n <= 0)
        return 0;
    u32 uLen = (u32)n;
    u32 uType = b.uMethod;
    if (uType >= QV_PMSG_COUNT) {
        m_Stat.uUnknown++;
        return 1;
    }
    const MSG_TYPE_S& t = s_MsgType[uType];
    if (!t.fn || (t.uClientOnly && m_uSide)) {
        m_Stat.uUnhandled++;
        return 1;
    }
    if (t.uAdmit && !CanRecv(uIndex)) {
        m_Stat.uNotAdmitted++;
        return 1;
    }
    if (uLen < t.uMin) {
        m_Stat.uShort++;
        return 1;
    }
    (this->*t.fn)(uIndex, b, uLen);
    return 1;
}

// Type 12: the peer has no object of the ID we sent to.
void CQVClassPeer::RecvError(u32 uIndex, const tagQV_SK_BUF_S&, u32)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    u32 uObject = qvSkRd32(m_pRecvBuf + 4);
    qvPrintf("CQVClassPeer::RecvError, uPeer=%u, uObjError=%u", p->uObject, uObject);
    Debug(uIndex, "CQVClassPeer::RecvError, uPeer=%u, uObjError=%u", p->uObject, uObject);
    m_pProc->PeerCleanID(p->uObject, uObject);
    // Calls that went to that ID never reached anyone: they wait for the peer's new ID.
    CallAgain(uIndex, uObject);
    p = EntryInUse(uIndex);
    if (p && m_pRecvBuf[8] && p->uSockID)
        m_pSocket->SendDropByObject(p->uSockID, m_pRecvBuf[9], uObject);
}
