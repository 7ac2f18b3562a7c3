// Peer class: the owner's option requests (2 and 3), options the server pushes (type 20), the
// check request (41), class selection (48) and the LAN scan (42) through the LAN driver.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "qvClassPeer.h"
#include "qvLog.h"
#include "qvNode.h"
#include "qvSockDriv.h"
#include "qvSocket.h"
#include "qvSocketAddr.h"

namespace {

// Binary records of the requests (bytes).
const u32 kOptionRecord = 260;    // u32 item, char[256] value
const u32 kCheckRecord = 260;     // u32 check, char[128] value, char[128] option
const u32 kClassRecord = 132;     // char[128] class name, u32 control
const u32 kLanScanRecord = 136;   // char[128] peer, u32 time-out, u32 keep-fresh
// Highest option item.
const u32 kOptionLast = 23;
// Waiter kind of a LAN scan.
const u32 kWaitLanScan = 4;
// A named peer is looked for in the scan results this often, this far apart (ms): the
// caller's thread waits at most one second.
const u32 kLanPolls = 20;
const u32 kLanPollMs = 50;
// One LAN scan result in a binary reply: QV_ADDR_S and char[128] name.
const u32 kLanEntry = sizeof(QV_ADDR_S) + 128;
// Pushed option items: 0 relay list, 1 to 5 forwarding configuration, 6 and 7 log pull.
const u32 kPushRelay = 0;
const u32 kPushFwdLast = 5;
// A pushed value is shorter than this (bytes with its NUL).
const u32 kPushValueMax = 256;
// Socket layer parameter set by option 20.
const u32 kSockParamItem = 8;

u32 Number(const char* p)
{
    return p ? (u32)strtoul(p, nullptr, 10) : 0;
}

u32 FieldOk(const u8* p, u32 n)
{
    return memchr(p, 0, n) != nullptr;
}

}  // namespace

// The content of a key of the request text in m_pString: 1 found and copied, 0 missing ("" in
// the buffer), 2 longer than the buffer holds.
u32 CQVClassPeer::ReqText(const char* lpszKey, char* lpszOut, u32 uSize)
{
    lpszOut[0] = 0;
    const char* v = m_pParser->GetContent(m_pString, lpszKey);
    if (!v)
        return 0;
    return qvStrCopy(lpszOut, uSize, v) ? 1 : 2;
}

// Item and value of requests 2 and 3: text "Item" (required, not empty) and "Value", or the
// 260-byte record. 0 read, else the request's error.
int CQVClassPeer::ReqOptionRead(const void* lpData, u32 uSize, u32 uNeedValue, u32* lpuItem, char* lpszValue)
{
    if (!lpData)
        return 2;
    if (uSize == 0) {
        if (!m_pString->Assign(static_cast<const char*>(lpData)))
            return 1;
        char szItem[16];
        if (ReqText("Item", szItem, sizeof(szItem)) != 1 || !szItem[0])
            return 2;
        *lpuItem = Number(szItem);
        u32 r = ReqText("Value", lpszValue, 256);
        if (r == 2 || (uNeedValue && r == 0))
            return 2;
        return 0;
    }
    if (uSize != kOptionRecord)
        return 2;
    const u8* d = static_cast<const u8*>(lpData);
    if (!FieldOk(d + 4, 256))
        return 2;
    std::memcpy(lpuItem, d, 4);
    strcpy(lpszValue, reinterpret_cast<const char*>(d + 4));
    return 0;
}

// Request 2: a class or peer option.
int CQVClassPeer::ReqSetOption(u32 uIndex, const void* lpData, u32 uSize)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 5;
    u32 uItem = 0;
    char szValue[256];
    int r = ReqOptionRead(lpData, uSize, 0, &uItem, szValue);
    if (r)
        return r;
    if (uItem > kOptionLast)
        return 2;
    u32 uValue = Number(szValue);
    switch (uItem) {
    case 0:
        if (!p->uSockID)
            return 6;
        return m_pSocket->SetPeerMDU(p->uSockID, uValue) ? 0 : 2;
    case 1:
        return (int)OptionSocketLAN(szValue);
    case 2:
        m_uLoginTimeout = uValue < 5 ? 5 : uValue;
        return 0;
    case 3:
        // Seconds a call waits for its reply.
        p->uCallTimeout = (u16)(uValue < 3 ? 3 : uValue > 0xFFFF ? 0xFFFF : uValue);
        return 0;
    case 4:
    case 19: {
        if (uValue > 2)
            return 2;
        u32 k = uItem == 4 ? 0 : 1;
        p->uSockOpt[k] = (u8)uValue;
        if (p->uSockID) {
            char sz[4];
            snprintf(sz, sizeof(sz), "%u", uValue);
            m_pSocket->SetPeerOption(p->uSockID, k, sz);
        }
        return 0;
    }
    case 5:
        m_uRblMax = uValue ? uValue : QV_PEER_BACKLOG_DEFAULT;
        return 0;
    case 6:
        m_uSblMax = uValue ? uValue : QV_PEER_BACKLOG_DEFAULT;
        return 0;
    case 7:
        return (int)OptionRelayList(szValue);
    case 8:
    case 9:
    case 10:
    case 11:
        return (int)OptionUDP4PrivCfg(szValue, uItem - 8);
    case 12:
        m_pSocket->SetInitWnd(uValue);
        return 0;
    case 13:
        m_pSocket->SetLoopSpeed(uValue);
        return 0;
    case 14:
        m_pSocket->SetNetEnable(uValue);
        return 0;
    case 15:
        return (int)OptionReloginDelay(szValue);
    case 16:
        p->uFlags |= uValue;
        m_pProc->ObjSetOption(p->uObject, 0, p->uFlags);
        return 0;
    case 17:
        m_uThroughWait = uValue < 5 ? 5 : uValue;
        return 0;
    case 18: {
        u32 uNew = uValue < QV_PEER_RECV_BUF ? QV_PEER_RECV_BUF : uValue;
        if (uNew == m_uRecvBufSize)
            return 0;
        u8* b = new (std::nothrow) u8[uNew];
        if (!b)
            return 1;
        delete[] m_pRecvBuf;
        m_pRecvBuf = b;
        m_uRecvBufSize = uNew;
        return 0;
    }
    case 20: {
        u32 v = uValue;
        return m_pSocket->SetParam(kSockParamItem, &v, sizeof(v)) ? 0 : 2;
    }
    case 21:
        m_pSocket->SetMainSpeed(uValue);
        return 0;
    case 22:
        m_uClassRestrict = uValue;
        return 0;
    default:   // 23
        if (m_uSide)
            return 13;
        m_uAuthOption = uValue;
        return 0;
    }
}

// Request 3: only the receive buffer size (item 18) can be read back.
int CQVClassPeer::ReqGetOption(u32 uIndex, const void* lpData, u32 uSize, u32 uParam)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 5;
    u32 uItem = 0;
    char szValue[256];
    int r = ReqOptionRead(lpData, uSize, 1, &uItem, szValue);
    if (r)
        return r;
    if (uItem != 18)
        return 2;
    if (m_uClassOption) {
        char sz[64];
        int n = snprintf(sz, sizeof(sz), "(Item){%u}(Value){%u}", uItem, m_uRecvBufSize);
        return m_pProc->ObjReply(p->uObject, 0, sz, (u32)n, uParam, 1) ? -1 : 1;
    }
    u8 aRec[kOptionRecord];
    std::memset(aRec, 0, sizeof(aRec));
    std::memcpy(aRec, &uItem, 4);
    snprintf(reinterpret_cast<char*>(aRec + 4), 256, "%u", m_uRecvBufSize);
    return m_pProc->ObjReply(p->uObject, 0, aRec, sizeof(aRec), uParam, 0) ? -1 : 1;
}

// LAN discovery under the node's own name: Enable, Peer, Label.
u32 CQVClassPeer::OptionSocketLAN(const char* lpszText)
{
    if (!m_pString->Assign(lpszText))
        return 1;
    char szEnable[16], szPeer[128], szLabel[128];
    u32 uEnable = ReqText("Enable", szEnable, sizeof(szEnable)) == 1 ? Number(szEnable) : 0;
    if (ReqText("Peer", szPeer, sizeof(szPeer)) != 1)
        szPeer[0] = 0;
    if (ReqText("Label", szLabel, sizeof(szLabel)) != 1)
        szLabel[0] = 0;
    char szName[QV_PEER_NAME_MAX] = "";
    if (!m_uSelf || !ObjName(m_uSelf, szName, sizeof(szName)) || !szName[0])
        qvStrCopy(szName, sizeof(szName), !m_Login.user.empty() ? m_Login.user.c_str() : szPeer);
    if (uEnable && !szName[0])
        return 2;
    IQVSocketLANPriv* lan = static_cast<IQVSocketLANPriv*>(m_pSocket->GetSocketPrivate(QV_SOCK_DRIV_LAN));
    if (!lan || !lan->Enable(uEnable, 0, szName, szLabel))
        return 1;
    return 0;
}

// The relay servers: one top-level element each, with Type, Load and Addr.
u32 CQVClassPeer::OptionRelayList(const char* lpszText)
{
    if (!m_pString->Assign(lpszText))
        return 1;
    // Elements are counted first, so that the records are allocated once.
    u32 uAll = 0;
    for (;; uAll++) {
        IQVString* e = m_pParser->GetEle(m_pString, "", 1, uAll);
        if (!e)
            break;
        e->Delete();
    }
    if (!uAll)
        return m_pSocket->SetRelay(nullptr, 0, 1) ? 0 : 1;
    QV_RELAY_INFO_S* r = new (std::nothrow) QV_RELAY_INFO_S[uAll];
    if (!r)
        return 1;
    u32 uCount = 0;
    for (u32 i = 0; i < uAll; i++) {
        IQVString* e = m_pParser->GetEle(m_pString, "", 1, i);
        if (!e)
            break;
        QV_RELAY_INFO_S& x = r[uCount];
        std::memset(&x, 0, sizeof(x));
        const char* t = m_pParser->GetContent(e, ".Type");
        u32 uOk = t != nullptr;
        x.uType = Number(t);
        const char* l = m_pParser->GetContent(e, ".Load");
        uOk = uOk && l;
        x.uLoad = Number(l);
        const char* a = m_pParser->GetContent(e, ".Addr");
        uOk = uOk && a && qvStrCopy(x.szAddr, sizeof(x.szAddr), a);
        e->Delete();
        if (uOk)
            uCount++;
    }
    u32 uRet = m_pSocket->SetRelay(uCount ? r : nullptr, uCount, 1) ? 0 : 1;
    delete[] r;
    return uRet;
}

// A forwarding setting of the UDP over IPv4 driver.
u32 CQVClassPeer::OptionUDP4PrivCfg(const char* lpszValue, u32 uItem)
{
    IQVSocketUDP4Priv* u = static_cast<IQVSocketUDP4Priv*>(m_pSocket->GetSocketPrivate(QV_SOCK_DRIV_UDP4));
    if (!u)
        return 1;
    u32 v = Number(lpszValue);
    u->SetConfig(uItem, &v);
    return 0;
}

// Type 20: an option the server pushes. Only the server's entry may push: a peer could
// otherwise replace the relay list or the forwarding configuration of this node.
void CQVClassPeer::RecvPushOption(u32 uIndex, const tagQV_SK_BUF_S&, u32 uLen)
{
    if (uIndex != m_uPrivSvr || !EntryInUse(uIndex)) {
        m_Stat.uNotAdmitted++;
        return;
    }
    u32 uItem = qvSkRd32(m_pRecvBuf);
    u32 uStrLen = 0;
    const char* v = qvStrPop(m_pRecvBuf + 4, uLen - 4, nullptr, &uStrLen);
    if (!v || uStrLen + 1 >= kPushValueMax) {
        m_Stat.uMalformed++;
        return;
    }
    char szValue[kPushValueMax];
    std::memcpy(szValue, v, uStrLen + 1);
    qvPrintf("CQVClassPeer::RecvPushOption: uItem=%u, sValue=%s", uItem, szValue);
    Debug(uIndex, "CQVClassPeer::RecvPushOption: uItem=%u, sValue=%s", uItem, szValue);
    qvLogOut(1, "ClassPeer: RecvPushOption: uItem=%u, sValue=%s", uItem, szValue);
    if (uItem == kPushRelay)
        OptionRelayList(szValue);
    else if (uItem <= kPushFwdLast)
        OptionUDP4PrivCfg(szValue, uItem - 1);
    // Items 6 and 7 grant log pulls, which this node does not serve; later items are unknown.
}

// Request 41: Check, Value, Option / the 260-byte record.
int CQVClassPeer::ReqCheckInfo(u32 uIndex, const void* lpData, u32 uSize)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 5;
    if (!lpData)
        return 2;
    u32 uCheck = 0;
    char szValue[128], szOption[128];
    if (uSize == 0) {
        if (!m_pString->Assign(static_cast<const char*>(lpData)))
            return 1;
        char szCheck[16];
        if (ReqText("Check", szCheck, sizeof(szCheck)) == 2 || ReqText("Value", szValue, sizeof(szValue)) == 2 ||
            ReqText("Option", szOption, sizeof(szOption)) == 2)
            return 2;
        uCheck = Number(szCheck);
    } else if (uSize == kCheckRecord) {
        const u8* d = static_cast<const u8*>(lpData);
        if (!FieldOk(d + 4, 128) || !FieldOk(d + 132, 128))
            return 2;
        std::memcpy(&uCheck, d, 4);
        strcpy(szValue, reinterpret_cast<const char*>(d + 4));
        strcpy(szOption, reinterpret_cast<const char*>(d + 132));
    } else {
        return 2;
    }
    u32 uValue = Number(szValue);
    switch (uCheck) {
    case 0:
        return HelperCheckType(uIndex, uValue, szOption);
    case 1: {
        if (uValue < 1 || uValue > 3)
            return 2;
        if (p->uStatus != uValue)
            return 6;
        u32 uKnown = 0;
        if (uValue == 3 && (!m_pProc->ObjGetSync(p->uObject, 0, &uKnown) || !uKnown))
            return 6;
        return 0;
    }
    case 2:
        return m_uTick - p->uActive > uValue ? 21 : 0;
    case 3:
        return (p->uFlags & uValue) == uValue ? 0 : 21;
    default:
        return 2;
    }
}

// The peer's type (from the server's status reply) against a value, under a mask.
int CQVClassPeer::HelperCheckType(u32 uIndex, u32 uValue, const char* lpszOption)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 5;
    u32 uMask = 0, uOpera = 0;
    if (lpszOption[0]) {
        if (!m_pString->Assign(lpszOption))
            return 1;
        char sz[16];
        if (ReqText("Mask", sz, sizeof(sz)) == 1)
            uMask = Number(sz);
        if (ReqText("Opera", sz, sizeof(sz)) == 1)
            uOpera = Number(sz);
    }
    if (!uMask)
        uMask = 0xFFFFFFFF;
    u32 v = uValue & uMask, t = p->uPeerType & uMask;
    u32 uPass;
    switch (uOpera) {
    case 0: uPass = t == v; break;
    case 1: uPass = t > v; break;
    case 2: uPass = t < v; break;
    case 3: uPass = t != v; break;
    case 4: uPass = t >= v; break;
    case 5: uPass = t <= v; break;
    default: return 2;
    }
    return uPass ? 0 : 21;
}

// Request 48: which classes above the Peer class this peer may be sent (Ctrl bit 0) and may
// send (Ctrl bit 1).
int CQVClassPeer::ReqClassSelect(u32 uIndex, const void* lpData, u32 uSize)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 5;
    if (!lpData)
        return 2;
    char szClass[128];
    u32 uCtrl = 0;
    if (uSize == 0) {
        if (!m_pString->Assign(static_cast<const char*>(lpData)))
            return 1;
        char sz[16];
        if (ReqText("Class", szClass, sizeof(szClass)) == 2 || ReqText("Ctrl", sz, sizeof(sz)) == 2)
            return 2;
        uCtrl = Number(sz);
    } else if (uSize == kClassRecord) {
        const u8* d = static_cast<const u8*>(lpData);
        if (!FieldOk(d, 128))
            return 2;
        strcpy(szClass, reinterpret_cast<const char*>(d));
        std::memcpy(&uCtrl, d + 128, 4);
    } else {
        return 2;
    }
    u32 uClass = m_pProc->ClassGetID(szClass);
    if (uClass > 15)
        return 2;
    if (uClass == QV_CLASS_PEER)
        return 0;
    u32 uBit = 1u << uClass;
    p->uSendClassMask = (uCtrl & 1) ? (p->uSendClassMask | uBit) : (p->uSendClassMask & ~uBit);
    p->uRecvClassMask = (uCtrl & 2) ? (p->uRecvClassMask | uBit) : (p->uRecvClassMask & ~uBit);
    return 0;
}

// Request 42: a LAN scan; the results come when the named peer is found or the time is up.
int CQVClassPeer::ReqLanScan(u32 uIndex, const void* lpData, u32 uSize, u32 uParam)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return 5;
    if (m_uSide)
        return 6;
    if (p->uFlags & QV_PEER_FLAG_NOGROUP)
        return 4;
    if (!lpData)
        return 2;
    char szPeer[128];
    u32 uTimeout = 0, uKeep = 0;
    if (uSize == 0) {
        if (!m_pString->Assign(static_cast<const char*>(lpData)))
            return 1;
        char szT[16], szK[16];
        if (ReqText("Peer", szPeer, sizeof(szPeer)) == 2 || ReqText("Timeout", szT, sizeof(szT)) != 1 ||
            ReqText("KeepFresh", szK, sizeof(szK)) == 2)
            return 2;
        uTimeout = Number(szT);
        uKeep = Number(szK);
    } else if (uSize == kLanScanRecord) {
        const u8* d = static_cast<const u8*>(lpData);
        if (!FieldOk(d, 128))
            return 2;
        strcpy(szPeer, reinterpret_cast<const char*>(d));
        std::memcpy(&uTimeout, d + 128, 4);
        std::memcpy(&uKeep, d + 132, 4);
    } else {
        return 2;
    }
    if (!uTimeout)
        return 2;
    IQVSocketLANPriv* lan = static_cast<IQVSocketLANPriv*>(m_pSocket->GetSocketPrivate(QV_SOCK_DRIV_LAN));
    if (!lan)
        return 1;
    u32 uWaiter = m_pProc->WaiterAlloc(p->uObject, uTimeout, kWaitLanScan, uParam);
    if (!uWaiter)
        return 1;
    if (!lan->ScanLaunch(uKeep)) {
        m_pProc->WaiterFinish(uWaiter, nullptr, nullptr);
        return 1;
    }
    if (!szPeer[0])
        return -1;
    for (u32 i = 0; i < kLanPolls; i++) {
        if (lan->ScanHasResult(szPeer)) {
            m_pProc->WaiterFinish(uWaiter, nullptr, nullptr);
            HelperLanScanReply(uIndex, uParam);
            return 0;
        }
        usleep(kLanPollMs * 1000);
    }
    return -1;
}

void CQVClassPeer::HelperLanScanReply(u32 uIndex, u32 uParam)
{
    PEER_S* p = EntryInUse(uIndex);
    if (!p)
        return;
    IQVSocketLANPriv* lan = static_cast<IQVSocketLANPriv*>(m_pSocket->GetSocketPrivate(QV_SOCK_DRIV_LAN));
    u32 uCount = lan ? lan->ScanGetResult(nullptr, 0) : 0;
    QV_SKT_LAN_PEER_S* list = uCount ? new (std::nothrow) QV_SKT_LAN_PEER_S[uCount] : nullptr;
    if (!lan || (uCount && !list)) {
        m_pProc->ObjReply(p->uObject, 1, nullptr, 0, uParam, m_uClassOption);
        return;
    }
    if (uCount)
        uCount = lan->ScanGetResult(list, uCount);
    u8* out = nullptr;
    u32 uLen = 0, uOk = 1;
    if (!m_uClassOption) {
        uLen = 4 + uCount * kLanEntry;
        out = new (std::nothrow) u8[uLen];
        if (out) {
            std::memcpy(out, &uCount, 4);
            for (u32 i = 0; i < uCount; i++) {
                list[i].szPeerID[127] = 0;
                std::memcpy(out + 4 + i * kLanEntry, &list[i].Addr, sizeof(QV_ADDR_S));
                std::memcpy(out + 4 + i * kLanEntry + sizeof(QV_ADDR_S), list[i].szPeerID, 128);
            }
        }
    } else {
        u32 uCap = 64 + 192 * uCount;
        out = new (std::nothrow) u8[uCap];
        char* t = reinterpret_cast<char*>(out);
        if (out) {
            int n = snprintf(t, uCap, "(Size){%u}(PeerList){", uCount);
            uLen = n > 0 ? (u32)n : uCap;
            for (u32 i = 0; i < uCount && uOk; i++) {
                list[i].szPeerID[127] = 0;
                char szAddr[QV_ADDR_STR_SIZE] = "";
                qvAddrToReadable(&list[i].Addr, szAddr, sizeof(szAddr));
                uOk = m_pString->Assign(list[i].szPeerID) && m_pParser->Encode(m_pString);
                if (uOk) {
                    n = snprintf(t + uLen, uCap - uLen, "(%s){(Addr){%s}}", m_pString->CStr(), szAddr);
                    uOk = n > 0 && uLen + (u32)n < uCap;
                    uLen += uOk ? (u32)n : 0;
                }
            }
            uOk = uOk && uLen + 1 < uCap;
            if (uOk) {
                t[uLen++] = '}';
                t[uLen] = 0;
            }
        }
    }
    delete[] list;
    if (!out || !uOk)
        m_pProc->ObjReply(p->uObject, 1, nullptr, 0, uParam, m_uClassOption);
    else
        m_pProc->ObjReply(p->uObject, 0, out, uLen, uParam, m_uClassOption);
    delete[] out;
}
