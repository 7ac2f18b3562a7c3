// File class: object records, application requests, the start handshake, cancel and stop, the
// one-second timer and status reports. The data path (reading, sending, receiving, saving and
// the pause protocol) is in qvClassFileData.cpp.
#include "qvClassFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "qvClassFileWire.h"
#include "qvLog.h"
#include "qvSandbox.h"
#include "qvUtilize.h"

using namespace qvfile;

namespace {

// A field of a binary record as a text: it must end inside the field.
u32 FieldText(const char* lpField, u32 uCap, QV_STRING* pOut)
{
    if (!memchr(lpField, 0, uCap))
        return 0;
    return pOut->assign(lpField) || lpField[0] == 0;
}

// Strict decimal u32 ("0" .. "4294967295", digits only).
u32 ParseU32(const char* lpszText, u32* puOut)
{
    if (!lpszText || !*lpszText || strlen(lpszText) > 10)
        return 0;
    u64 v = 0;
    for (const char* p = lpszText; *p; p++)
    {
        if (*p < '0' || *p > '9')
            return 0;
        v = v * 10 + (u64)(*p - '0');
    }
    if (v > 0xFFFFFFFFull)
        return 0;
    *puOut = (u32)v;
    return 1;
}

// Strict decimal u64.
u32 ParseU64(const char* lpszText, u64* pOut)
{
    if (!lpszText || !*lpszText || strlen(lpszText) > 20)
        return 0;
    u64 v = 0;
    for (const char* p = lpszText; *p; p++)
    {
        if (*p < '0' || *p > '9')
            return 0;
        u64 d = (u64)(*p - '0');
        if (v > (~0ull - d) / 10)
            return 0;
        v = v * 10 + d;
    }
    *pOut = v;
    return 1;
}

}  // namespace

CQVClassFile::CQVClassFile()
    : m_pProc(nullptr),
      m_uOption(0),
      m_uStamp(0),
      m_pObj(nullptr),
      m_uObjMax(0),
      m_uLastSend(0xffffff),
      m_pPeer(nullptr),
      m_pRecvBuf(nullptr),
      m_pParser(nullptr),
      m_pStr(nullptr),
      m_uBufSize(kBufSizeDefault),
      m_apSpareBuf(),
      m_uSpareBufCount(0),
      m_uSpareBufLen(0),
      m_pDispObj(nullptr),
      m_uDispSelf(0)
{
}

CQVClassFile::~CQVClassFile()
{
    OnClean();
}

void CQVClassFile::Delete()
{
    OnClean();
    delete this;
}

const char* CQVClassFile::OnGetName()
{
    return "QV_CLASS_File";
}

void CQVClassFile::OnControl(u32, u32, u32) {}

bool CQVClassFile::OnInitialize(void*, IQVClassProc* lpProc, u32 uMaxObj, u32 uClassOption)
{
    OnClean();
    if (!lpProc || uMaxObj == 0 || uMaxObj > QV_TABLE_MAX)
        return false;
    m_pProc = lpProc;
    m_uOption = uClassOption;
    m_pObj = new (std::nothrow) OBJ_S[uMaxObj]();
    m_pPeer = new (std::nothrow) PEER_S[uMaxObj]();
    m_pRecvBuf = new (std::nothrow) u8[kRecvBufSize];
    m_pParser = qvNewOMLParser();
    m_pStr = qvNewString("");
    if (!m_pObj || !m_pPeer || !m_pRecvBuf || !m_pParser || !m_pStr)
    {
        qvLogOut(0, "ClassFile: OnInitialize, alloc failed, uObjMax=%u", uMaxObj);
        OnClean();
        return false;
    }
    m_uObjMax = uMaxObj;
    for (u32 i = 0; i < uMaxObj; i++)
    {
        m_FreeList.PushTail(&m_pObj[i]);
        m_PeerFree.PushTail(&m_pPeer[i]);
    }
    m_uLastSend = 0xffffff;
    m_uStamp = lpProc->NodeGetCurStamp();
    lpProc->ClassSetTimer(QV_CLASS_FILE, 1);
    return true;
}

void CQVClassFile::OnClean()
{
    if (m_pObj)
    {
        for (OBJ_S* o = m_UseList.Head(); o; o = OBJ_LIST::Next(o))
        {
            if (o->uExtInst && m_pProc)
                m_pProc->ExtClose(o->uExtInst, 0);
            o->uExtInst = 0;
            BufFree(o);
        }
        m_FreeList.Reset();
        m_UseList.Reset();
        m_RetryList.Reset();
        delete[] m_pObj;
        m_pObj = nullptr;
    }
    m_PeerFree.Reset();
    m_PeerList.Reset();
    for (u32 i = 0; i < kPeerBuckets; i++)
        m_PeerHash[i].Reset();
    delete[] m_pPeer;
    m_pPeer = nullptr;
    delete[] m_pRecvBuf;
    m_pRecvBuf = nullptr;
    SpareBufClear();
    if (m_pParser)
        m_pParser->Delete();
    m_pParser = nullptr;
    if (m_pStr)
        m_pStr->Delete();
    m_pStr = nullptr;
    m_uObjMax = 0;
    m_pDispObj = nullptr;
    m_uDispSelf = 0;
}

CQVClassFile::OBJ_S* CQVClassFile::ObjGet(u32 uPrivID)
{
    if (!m_pObj || uPrivID >= m_uObjMax)
        return nullptr;
    OBJ_S* o = &m_pObj[uPrivID];
    return o->uStatus ? o : nullptr;
}

void CQVClassFile::Disp(OBJ_S* o, u32 uBits)
{
    if (o == m_pDispObj)
        m_uDispSelf |= uBits;
    else
        m_pProc->ObjDisp(o->uObject, uBits);
}

void CQVClassFile::DispTcpNow(OBJ_S* o, u32 uBits)
{
    if (o->uExtID != QV_EXT_TCP || m_pDispObj)
    {
        Disp(o, uBits);
        return;
    }
    DispNowLoop(o, uBits);
}

u32 CQVClassFile::DispNowLoop(OBJ_S* o, u32 uBits)
{
    // A data step that made progress asks for itself again: it runs again here while it
    // does, a bounded number of times, so that the step that finds nothing more to move does
    // not cost a wake-up of the dispatch thread. The status report a start asks for is made
    // here too, after the data steps of its round as the dispatch thread would make it (a new
    // connection's start would otherwise wake that thread on each side, just when its first
    // bytes flow); a stop or an error goes there with everything still asked for.
    const u32 kRounds = 8;
    u32 uPriv = PrivID(o), uObject = o->uObject;
    for (u32 i = 0; i < kRounds && uBits; i++)
    {
        uBits = OnDisp(uPriv, uBits);
        o = ObjGet(uPriv);
        if (!o || o->uObject != uObject)
            return 0;
        if (uBits & ~(kDispLoad | kDispSave | kDispStatus))
            break;
    }
    if (uBits)
        Disp(o, uBits);
    return 1;
}

void CQVClassFile::RetryAdd(OBJ_S* o)
{
    if (!m_RetryList.Contains(o))
        m_RetryList.PushTail(o);
}

void CQVClassFile::ObjClear(OBJ_S* o)
{
    o->uObject = 0;
    o->uFlag = 0;
    o->uMCast = 0;
    o->uPeer = 0;
    o->uStatus = 0;
    o->uStaMask = 0;
    o->uRetry = 0;
    o->uRetryCount = 0;
    o->uSession = 0;
    o->uWaiter = 0;
    o->uTimerCount = 0;
    o->uTimerVal = 0;
    o->strPeerName.clear();
    o->strPath.clear();
    o->strPeerPath.clear();
    o->uRequest = 0;
    o->ullOffset = 0;
    o->ullReqSize = 0;
    o->ullAckSize = 0;
    o->ullStopSize = 0;
    o->uSpeedBytes = 0;
    o->uActiveCount = 0;
    o->uBlockTimeout = 0;
    o->uBlockCount = 0;
    o->uPauseFlag = 0;
    o->uPauseStamp = 0;
    o->uBufCount = 0;
    o->pBuf = nullptr;
    o->uBufLen = 0;
    o->uDataSize = 0;
    o->uDataPos = 0;
    o->ullProcSize = 0;
    memset(o->auSpeed, 0, sizeof(o->auSpeed));
    o->uSpeedTick = 0;
    o->uSpeedPeak = 0;
    o->uSpeed = 0;
    o->ullSpeedSum = 0;
    o->uSpeedRead = 0;
    o->uSpeedWrite = 0;
    o->uSpeedWrap = 0;
    o->uExtInst = 0;
    o->uExtID = 0;
    o->strExtOption.clear();
    o->ullSentSize = 0;
    o->ullResAcked = 0;
    o->uIdleCount = 0;
    o->uHeldPeer = 0;
}

void CQVClassFile::BufFree(OBJ_S* o)
{
    PauseBufClear(o);
    if (o->pBuf)
        BufGive(o->pBuf, o->uBufLen);
    o->pBuf = nullptr;
    o->uBufLen = 0;
    o->uDataSize = 0;
    o->uDataPos = 0;
}

u8* CQVClassFile::BufTake(u32 uLen)
{
    if (m_uSpareBufCount && m_uSpareBufLen == uLen)
        return m_apSpareBuf[--m_uSpareBufCount];
    return new (std::nothrow) u8[uLen];
}

void CQVClassFile::BufGive(u8* pBuf, u32 uLen)
{
    if (uLen != m_uBufSize || (m_uSpareBufCount >= kSpareBufMax && m_uSpareBufLen == uLen))
    {
        delete[] pBuf;
        return;
    }
    // Spares of another size (the size was set anew) are of no use any more.
    if (uLen != m_uSpareBufLen)
        SpareBufClear();
    m_uSpareBufLen = uLen;
    m_apSpareBuf[m_uSpareBufCount++] = pBuf;
}

void CQVClassFile::SpareBufClear()
{
    while (m_uSpareBufCount)
        delete[] m_apSpareBuf[--m_uSpareBufCount];
    m_uSpareBufLen = 0;
}

bool CQVClassFile::OnAdd(u32 uObject, u32, u32 uFlags, u32* lpuInstID)
{
    if (!lpuInstID || !m_pObj)
        return false;
    OBJ_S* o = m_FreeList.PopHead();
    if (!o)
        return false;
    ObjClear(o);
    o->uObject = uObject;
    o->uFlag = uFlags;
    o->uStatus = kStaIdle;
    o->uExtID = (uFlags & QV_FILE_FLAG_TCP) ? QV_EXT_TCP : QV_EXT_FILE;
    o->uSession = qvGetCookieLong();
    m_UseList.PushTail(o);
    *lpuInstID = PrivID(o);
    return true;
}

void CQVClassFile::OnDelete(u32 uInst)
{
    OBJ_S* o = ObjGet(uInst);
    if (!o)
        return;
    if (o->uStatus != kStaIdle)
        HelperStop(o);
    m_RetryList.Remove(o);
    PeerRelease(o);
    BufFree(o);
    if (m_uLastSend == PrivID(o))
        m_uLastSend = 0xffffff;
    m_UseList.Remove(o);
    ObjClear(o);
    m_FreeList.PushTail(o);
}

// ---------------------------------------------------------------------------------------------
// Messages

u32 CQVClassFile::SendOnUnit(u32 uUnit, u32 uFlag, const void* lpData, u32 uSize)
{
    // With one target, 0 means it was accepted; a positive count of failures or -1 (nobody
    // to send to) means it was not.
    return m_pProc->MCastSend(uUnit, uFlag, lpData, uSize, 0, 0) == 0;
}

u32 CQVClassFile::SendCtrl(OBJ_S* o, u32 uMethod, u32 uFlag, const void* lpData, u32 uSize, u32 uCookie,
                           u32 uPeer, u32* lpuAllocFailed)
{
    u32 auPeer[1] = {uPeer};
    u32 uUnit = m_pProc->MCastAlloc(o->uObject, uMethod, kPrioCtrl, uPeer ? auPeer : nullptr, uPeer ? 1 : 0, 0,
                                    kCtrlTimeout, uCookie);
    if (!uUnit)
    {
        if (lpuAllocFailed)
            *lpuAllocFailed = 1;
        return 0;
    }
    if (SendOnUnit(uUnit, uFlag, lpData, uSize))
        return 1;
    m_pProc->MCastFree(uUnit);
    return 0;
}

u32 CQVClassFile::PackSize(const OBJ_S* o, u64 ullSize, u8* lpOut)
{
    if (o->uStaMask & kStaSize64)
    {
        memset(lpOut, 0, kSizeLong);
        Wr32(lpOut, (u32)ullSize);
        Wr32(lpOut + 4, (u32)(ullSize >> 32));
        return kSizeLong;
    }
    Wr32(lpOut, (u32)ullSize);
    return kSizeShort;
}

u32 CQVClassFile::SendStartReply(OBJ_S* o, u32 uUnit, u32 uError)
{
    u8 buf[kSizeLong];
    if (uError)
    {
        Wr32(buf, uError);
        return SendOnUnit(uUnit, kFlagError, buf, kSizeShort);
    }
    return SendOnUnit(uUnit, 0, buf, PackSize(o, o->ullReqSize, buf));
}

void CQVClassFile::SendPause(OBJ_S* o, u32 uMethod, u32 uFlag)
{
    u8 buf[kPauseSize];
    memset(buf, 0, sizeof(buf));
    if (uMethod == kMethPauseReport)
        Wr32(buf, uFlag);
    SendCtrl(o, uMethod, 0, buf, sizeof(buf), o->uSession, o->uPeer);
}

int CQVClassFile::OnReceive(u32 uInst, u32 uPrio, u32 uMethod, u32 uParam, u32 uExtra, u32 uPeer)
{
    if (uExtra & 0xFFFF)
        return 0;
    OBJ_S* o = ObjGet(uInst);
    if (!o || !m_pRecvBuf)
        return 0;
    if (uMethod == kMethData)
    {
        // Data of another session (or none) is dropped by the node when we do not take it.
        if (uParam != o->uSession)
            return 0;
        if (o->uStatus == kStaStart && uPrio == kPrioData)
        {
            o->uHeldPeer = uPeer;
            return 1;  // kept in the queue until the transfer starts
        }
        if (o->uStatus != kStaMove || IsSender(o) || uPeer != o->uPeer || uPrio != kPrioData)
            return 0;  // data elsewhere than on the data priority would block that queue
        u32 uOther = 0, uTaken = 0;
        if (HelperRecvData(o, uPeer, uExtra, &uOther, &uTaken) & kDispSave)
        {
            if (o->uExtID == QV_EXT_TCP && o != m_pDispObj)
            {
                // Bytes for a TCP connection go out now, on the receiving thread: a pass of
                // the dispatch thread would add a thread wake-up to every round trip. A file
                // is written by the dispatch thread, which may wait on the disk.
                u32 uObject = o->uObject;
                if (!DispNowLoop(o, kDispSave))
                {
                    if (uOther != uObject)
                        DispOther(o, uOther);
                    return 1;
                }
            }
            else
                Disp(o, kDispSave);
        }
        if (!uTaken)
            o->uHeldPeer = uPeer;
        DispOther(o, uOther);
        return 1;
    }
    u32 uRPrio = uPrio, uRObj = o->uObject, uRMeth = uMethod, uRFlag = 0, uRParam = 0, uRoom = 0;
    int r = m_pProc->PeerReceive(uPeer, &uRPrio, &uRObj, &uRMeth, &uRFlag, &uRParam, &uRoom, m_pRecvBuf,
                                 kRecvBufSize, uExtra, 0);
    if (r <= 0)
        return 0;
    if ((u32)r > kRecvBufSize)
        return 1;
    RecvCtrl(o, uRMeth, uRFlag, uRParam, uPeer, m_pRecvBuf, (u32)r);
    return 1;
}

void CQVClassFile::RecvCtrl(OBJ_S* o, u32 uMethod, u32 uFlag, u32 uParam, u32 uPeer, const u8* lpData, u32 uSize)
{
    switch (uMethod)
    {
    case kMethStartReq:
        RecvStartRequest(o, uParam, uPeer, lpData, uSize);
        break;
    case kMethStartRep:
        RecvStartReply(o, uFlag, uParam, uPeer, lpData, uSize);
        break;
    case kMethCancel:
        RecvStop(o, 1, uParam, uPeer, lpData, uSize);
        break;
    case kMethStop:
        RecvStop(o, 0, uParam, uPeer, lpData, uSize);
        break;
    case kMethPauseReport:
        RecvPauseReport(o, uParam, uPeer, lpData, uSize);
        break;
    case kMethPauseQuery:
        RecvPauseQuery(o, uParam, uPeer, uSize);
        break;
    default:
        break;  // Active and unknown methods carry nothing to act on
    }
}

u32 CQVClassFile::FromPeer(const OBJ_S* o, u32 uParam, u32 uPeer)
{
    if (o->uStatus == kStaIdle || uParam != o->uSession || !uPeer)
        return 0;
    if (o->uPeer)
        return uPeer == o->uPeer;
    return GroupPeer(o, uPeer);  // a requesting end before the answer: the peer it asked
}

u32 CQVClassFile::GroupPeer(const OBJ_S* o, u32 uPeer)
{
    u32 uClass = 0xFFFF, uGroup = 0, uInst = 0, uUnit = 0;
    if (!m_pProc->ObjGetInfo(o->uObject, &uClass, &uGroup, &uInst, &uUnit) || !uGroup)
        return 1;
    u32 uGroupClass = 0xFFFF, uG = 0, uI = 0, uU = 0;
    if (m_pProc->ObjGetInfo(uGroup, &uGroupClass, &uG, &uI, &uU) && uGroupClass == QV_CLASS_PEER)
        return uGroup == uPeer;
    return 1;  // a group of peers: any of them may answer
}

void CQVClassFile::RecvStartRequest(OBJ_S* o, u32 uParam, u32 uPeer, const u8* lpData, u32 uSize)
{
    if (uSize < kStartReqMin || !uPeer || !uParam)
        return;
    u32 uLimit = uSize - kStartReqHead;
    if (uLimit > kStartReqStrMax)
        uLimit = kStartReqStrMax;
    const u8* p = lpData + kStartReqHead;
    u32 uUsed = 0, uLen = 0;
    // The path may be empty: a TCP stream end names no path (the accepting end's extension
    // knows its socket), only a missing or over-long one is refused.
    const char* lpszPeerPath = qvStrPop(p, uLimit, &uUsed, &uLen);
    if (!lpszPeerPath || uLen > kPathMax)
        return;
    u32 auHigh[2] = {0, 0};
    u32 uPos = uUsed;
    for (u32 i = 0; i < 2 && uPos < uLimit; i++)
    {
        // The high halves may be missing; present ones must be plain decimal numbers.
        const char* lpszNum = qvStrPop(p + uPos, uLimit - uPos, &uUsed, &uLen);
        if (!lpszNum)
            break;
        if (!ParseU32(lpszNum, &auHigh[i]))
            return;
        uPos += uUsed;
    }
    u32 uReq = lpData[8];
    if (uReq > 1)
        return;
    u64 ullOffset = (u64)Rd32(lpData) | ((u64)auHigh[0] << 32);
    u64 ullSize = (u64)Rd32(lpData + 4) | ((u64)auHigh[1] << 32);
    qvLogOut(3, "ClassFile: RecvStartRequest, uPrivID=%u, sPeerPath=%s, uRequest=%u, ullOffset=%lu, ullReqSize=%lu",
             PrivID(o), lpszPeerPath, uReq, (unsigned long)ullOffset, (unsigned long)ullSize);
    u32 uError = 0;
    if (m_pProc->NodeGetCfgOption() & kNodeOptNoFile)
        uError = QV_FILE_ERR_DENIED;
    else if (o->uStatus != kStaIdle)
        uError = QV_FILE_ERR_BUSY;
    else if (o->uExtID == QV_EXT_FILE && uReq == 1 && ullSize && ullOffset + ullSize < ullOffset)
        uError = QV_FILE_ERR_PARAM;  // the bytes to be written would run past the end of the address space
    if (uError)
    {
        u8 buf[kSizeShort];
        Wr32(buf, uError);
        SendCtrl(o, kMethStartRep, kFlagError, buf, sizeof(buf), uParam, uPeer);
        return;
    }
    o->uPeer = uPeer;
    PeerName(uPeer, &o->strPeerName);
    o->strPeerPath.assign(lpszPeerPath);
    o->uStatus = kStaStart;
    o->uRequest = uReq ? 1 : kReqSend;
    if (o->uExtID == QV_EXT_TCP)
    {
        o->ullOffset = 0;
        o->ullReqSize = kSizeAll;
    }
    else
    {
        o->ullOffset = ullOffset;
        o->ullReqSize = ullSize;
    }
    o->uStaMask = (lpData[10] & 1) ? kStaSize64 : 0;
    o->uSession = uParam;
    MakeOption(o);
    m_pProc->ObjNotify(o->uObject, kNotifyPeerReq, 0, 0);
}

void CQVClassFile::PeerName(u32 uPeer, QV_STRING* pOut)
{
    char szName[256];
    if (uPeer && m_pProc->ObjGetName(uPeer, szName, sizeof(szName)))
    {
        szName[sizeof(szName) - 1] = 0;
        pOut->assign(szName);
    }
    else
        pOut->clear();
}

void CQVClassFile::RecvStartReply(OBJ_S* o, u32 uFlag, u32 uParam, u32 uPeer, const u8* lpData, u32 uSize)
{
    if (o->uStatus != kStaStart || !IsRequester(o) || uParam != o->uSession || !uPeer || uSize < kSizeShort)
        return;
    // The answer must come from the peer asked: the object's group when that is a peer object,
    // later the peer recorded, or a new handle of a peer of the same name.
    if (o->uPeer == 0)
    {
        if (!GroupPeer(o, uPeer))
            return;
    }
    else if (uPeer != o->uPeer)
    {
        QV_STRING strName;
        PeerName(uPeer, &strName);
        if (strName.empty() || !(strName == o->strPeerName.c_str()))
            return;
    }
    if ((uFlag & kFlagError) && uSize == kSizeShort)
    {
        u32 uError = Rd32(lpData);
        if (!uError)
            uError = QV_FILE_ERR_FAIL;
        if (FinishWaiter(o, uError))
            HelperReset(o);
        return;
    }
    if (!FinishWaiter(o, 0))
        return;  // the waiter expired: its notification answers the application and resets
    if (o->uPeer != uPeer)
    {
        o->uPeer = uPeer;
        PeerName(uPeer, &o->strPeerName);
    }
    u64 ullSize = Rd32(lpData);
    if (uSize >= kSizeLong)
    {
        ullSize |= (u64)Rd32(lpData + 4) << 32;
        o->uStaMask |= kStaSize64;
    }
    else
        o->uStaMask &= ~kStaSize64;
    if (!IsSender(o))
    {
        if (o->uExtID == QV_EXT_TCP)
            o->ullReqSize = kSizeAll;
        else
        {
            // Never more than this end asked for (0: the rest of the file), never past the end
            // of the address space.
            if (o->ullReqSize && ullSize > o->ullReqSize)
                ullSize = o->ullReqSize;
            if (ullSize > ~0ull - o->ullOffset)
                ullSize = ~0ull - o->ullOffset;
            o->ullReqSize = ullSize;
        }
    }
    qvLogOut(3, "ClassFile: RecvStartReply, uPrivID=%u, Path=%s, ullReqSize=%lu", PrivID(o), o->strPath.c_str(),
             (unsigned long)o->ullReqSize);
    // A forwarded TCP connection starts moving on this thread: its first bytes wait for it.
    DispTcpNow(o, kDispStart);
}

void CQVClassFile::RecvStop(OBJ_S* o, u32 uCancel, u32 uParam, u32 uPeer, const u8* lpData, u32 uSize)
{
    if (!FromPeer(o, uParam, uPeer) || uSize < kSizeShort)
        return;
    u64 ullSize = Rd32(lpData);
    if (uSize >= kSizeLong)
        ullSize |= (u64)Rd32(lpData + 4) << 32;
    if (!IsSender(o))
    {
        if (!uCancel)
        {
            // The sender stops after the bytes up to this size were acknowledged, so they are
            // already queued here: save them before ending.
            o->ullStopSize = ullSize < o->ullReqSize ? ullSize : o->ullReqSize;
        }
        else if ((o->uFlag & QV_FILE_FLAG_DRAIN) && ullSize < o->ullReqSize)
            o->ullStopSize = ullSize;
        else
        {
            o->uStaMask |= kStaAbort;
            o->ullStopSize = 0;
        }
    }
    else
        o->uStaMask |= kStaReadDone;  // the peer takes nothing more: send only what is buffered
    if (uCancel)
        qvLogOut(3, "ClassFile: RecvCancel, uPrivID=%u, Path=%s, ullStopSize=%lu", PrivID(o), o->strPath.c_str(),
                 (unsigned long)ullSize);
    else
        qvLogOut(3, "ClassFile: RecvStop, uPrivID=%u, Path=%s, ullStopSize=%lu, ullReqSize=%lu", PrivID(o),
                 o->strPath.c_str(), (unsigned long)ullSize, (unsigned long)o->ullReqSize);
    o->uStaMask |= kStaPeerKnows;
    Disp(o, kDispStop);
    if (uCancel)
        m_pProc->ObjNotify(o->uObject, kNotifyPeerCancel, uPeer, 0);
}

void CQVClassFile::RecvPauseReport(OBJ_S* o, u32 uParam, u32 uPeer, const u8* lpData, u32 uSize)
{
    if (o->uStatus != kStaMove || !IsSender(o) || uSize < kPauseSize || !FromPeer(o, uParam, uPeer))
        return;
    u32 uOld = o->uPauseFlag;
    o->uPauseFlag = Rd32(lpData) ? 1 : 0;
    if (uOld && !o->uPauseFlag)
        Disp(o, kDispLoad);
}

void CQVClassFile::RecvPauseQuery(OBJ_S* o, u32 uParam, u32 uPeer, u32 uSize)
{
    if (o->uStatus != kStaMove || IsSender(o) || uSize < kPauseSize || !FromPeer(o, uParam, uPeer))
        return;
    SendPause(o, kMethPauseReport, o->uPauseFlag);
    if (o->uPauseFlag)
        Disp(o, kDispSave);
}

// ---------------------------------------------------------------------------------------------
// Application requests

int CQVClassFile::OnRequest(u32 uInst, u32 uMethod, const void* lpData, u32 uSize, u32 uParam)
{
    if (!m_pObj || uInst >= m_uObjMax)
        return QV_FILE_ERR_PARAM;
    OBJ_S* o = &m_pObj[uInst];
    if (o->uStatus == 0)
        return QV_FILE_ERR_OBJECT;
    switch (uMethod)
    {
    case QV_FILE_REQ_SETOPTION:
        return ReqSetOption(o, lpData, uSize);
    case QV_FILE_REQ_PUT:
    case QV_FILE_REQ_GET:
        return ReqPutAndGet(o, uMethod, lpData, uSize, uParam);
    case QV_FILE_REQ_STATUS:
        Disp(o, kDispStatus);
        return 0;
    case QV_FILE_REQ_CANCEL:
        return ReqCancel(o);
    default:
        return QV_FILE_ERR_METHOD;
    }
}

u32 CQVClassFile::TextLoad(const void* lpData, u32 uSize)
{
    return lpData && uSize && m_pStr->Assign((const char*)lpData, uSize);
}

u32 CQVClassFile::TextGet(const char* lpszKey, QV_STRING* pOut)
{
    const char* lpszValue = m_pParser->GetContent(m_pStr, lpszKey);
    if (!lpszValue)
        return 0;
    return pOut->assign(lpszValue) || *lpszValue == 0;
}

u32 CQVClassFile::TextGetU64(const char* lpszKey, u64* pOut)
{
    const char* lpszValue = m_pParser->GetContent(m_pStr, lpszKey);
    return lpszValue && ParseU64(lpszValue, pOut);
}

void CQVClassFile::TextAppend(QV_STRING& strOut, const char* lpszKey, const char* lpszValue)
{
    strOut += "(";
    strOut += lpszKey;
    strOut += "){";
    if (m_pStr->Assign(lpszValue) && m_pParser->Encode(m_pStr))
        strOut += m_pStr->CStr();
    strOut += "}";
}

int CQVClassFile::ReqSetOption(OBJ_S* o, const void* lpData, u32 uSize)
{
    u32 uItem = 0;
    QV_STRING strValue;
    if (m_uOption == 0)
    {
        if (!lpData || uSize != sizeof(QV_PARAM_FILE_OPTION_S))
            return QV_FILE_ERR_PARAM;
        QV_PARAM_FILE_OPTION_S opt;
        memcpy(&opt, lpData, sizeof(opt));
        if (!FieldText(opt.Value, sizeof(opt.Value), &strValue))
            return QV_FILE_ERR_PARAM;
        uItem = opt.Item;
    }
    else
    {
        if (!TextLoad(lpData, uSize))
            return QV_FILE_ERR_FAIL;
        u64 ullItem = 0;
        if (!TextGetU64("Item", &ullItem) || ullItem > 1 || !TextGet("Value", &strValue))
            return QV_FILE_ERR_PARAM;
        if (strValue.length() >= 256)
            return QV_FILE_ERR_PARAM;
        uItem = (u32)ullItem;
    }
    u32 uValue = 0;
    if (!ParseU32(strValue.c_str(), &uValue))
        return QV_FILE_ERR_PARAM;
    if (uItem == 0)
    {
        if (uValue > kBufSizeMaxKiB)
            return QV_FILE_ERR_PARAM;
        u32 uBytes = uValue * 1024;
        m_uBufSize = uBytes < kBufSizeDefault ? kBufSizeDefault : uBytes;
        return 0;
    }
    if (uItem == 1)
    {
        o->uBlockTimeout = uValue;
        return 0;
    }
    return QV_FILE_ERR_PARAM;
}

void CQVClassFile::MakeOption(OBJ_S* o)
{
    u32 uMode;
    if (o->uExtID == QV_EXT_TCP)
        uMode = IsSender(o) ? 0 : 1;
    else if (IsSender(o))
        uMode = 1;
    else
        uMode = (o->uFlag & QV_FILE_FLAG_TRUNCATE) ? 3 : 2;
    char szOption[64];
    snprintf(szOption, sizeof(szOption), "(Option){(Mode){%u}}", uMode);
    o->strExtOption.assign(szOption);
}

int CQVClassFile::ReqPutAndGet(OBJ_S* o, u32 uMethod, const void* lpData, u32 uSize, u32 uParam)
{
    if (o->uStatus != kStaIdle)
        return QV_FILE_ERR_STATE;
    QV_STRING strPath, strPeerPath;
    u64 ullTimer = 0, ullOffset = 0, ullSize = 0;
    if (m_uOption == 0)
    {
        if (!lpData || uSize != sizeof(QV_PARAM_FILE_REQ_S))
            return QV_FILE_ERR_PARAM;
        QV_PARAM_FILE_REQ_S req;
        memcpy(&req, lpData, sizeof(req));
        if (!FieldText(req.Path, sizeof(req.Path), &strPath) ||
            !FieldText(req.PeerPath, sizeof(req.PeerPath), &strPeerPath))
            return QV_FILE_ERR_PARAM;
        ullTimer = req.TimerVal;
        ullOffset = req.Offset;
        ullSize = req.Size;
    }
    else
    {
        if (!TextLoad(lpData, uSize))
            return QV_FILE_ERR_PARAM;
        if (!TextGet("Path", &strPath) || !TextGet("PeerPath", &strPeerPath) || !TextGetU64("TimerVal", &ullTimer) ||
            !TextGetU64("Offset", &ullOffset) || !TextGetU64("Size", &ullSize))
            return QV_FILE_ERR_PARAM;
        if (strPath.length() > kPathMax || strPeerPath.length() > kPathMax || ullTimer > 0xFFFFFFFFull)
            return QV_FILE_ERR_PARAM;
    }
    if (strPath.empty())
        return QV_FILE_ERR_PARAM;
    if (!qvSandboxCheck(strPath.c_str()))
        return QV_FILE_ERR_DENIED;
    u32 uPut = uMethod == QV_FILE_REQ_PUT;
    u32 uExt = (o->uFlag & QV_FILE_FLAG_TCP) ? QV_EXT_TCP : QV_EXT_FILE;
    if (uExt == QV_EXT_FILE)
    {
        if (uPut)
        {
            u64 ullFile = 0;
            if (!qvFileInfo(strPath.c_str(), &ullFile, nullptr, 0) || ullFile == 0)
                return QV_FILE_ERR_NOFILE;
            if (ullOffset >= ullFile)
                return QV_FILE_ERR_PARAM;
            if (ullSize == 0 || ullSize > ullFile - ullOffset)
                ullSize = ullFile - ullOffset;
        }
        else if (ullSize && ullOffset + ullSize < ullOffset)
            return QV_FILE_ERR_PARAM;
        if (strPeerPath.empty())
        {
            char szName[QV_SPLIT_NAME_SIZE], szExt[QV_SPLIT_EXT_SIZE];
            if (!qvSplitPath(strPath.c_str(), nullptr, nullptr, szName, szExt))
                return QV_FILE_ERR_PARAM;
            strPeerPath.assign(szName);
            strPeerPath += szExt;
            if (strPeerPath.empty() || strPeerPath.length() > kPathMax)
                return QV_FILE_ERR_PARAM;
        }
    }
    qvLogOut(3, "ClassFile: ReqPutAndGet, uPrivID=%u, szName=%s, szPath=%s, szPeerPath=%s, uReq=%u, ullOffset=%lu, "
                "ullSize=%lu",
             PrivID(o), o->strPeerName.c_str(), strPath.c_str(), strPeerPath.c_str(), uPut, (unsigned long)ullOffset,
             (unsigned long)ullSize);
    if (uExt == QV_EXT_TCP)
    {
        o->ullOffset = 0;
        o->ullReqSize = kSizeAll;
    }
    else
    {
        o->ullOffset = ullOffset;
        o->ullReqSize = ullSize;
    }
    o->uTimerVal = (u32)ullTimer;
    o->uRequest = uPut ? (1 | kReqSend) : 0;
    o->strPath = strPath;
    o->strPeerPath = strPeerPath;
    o->uStatus = kStaStart;
    MakeOption(o);
    u32 uWaiter = m_pProc->WaiterAlloc(o->uObject, kWaiterSeconds, 0, uParam);
    if (!uWaiter)
    {
        HelperReset(o);
        return QV_FILE_ERR_FAIL;
    }
    o->uStaMask = 0;
    o->uSession = qvGetCookieLong();
    o->uWaiter = uWaiter;
    o->uPeer = 0;

    u32 uAllocFailed = 0;
    if (!SendStartRequest(o, &uAllocFailed))
    {
        if (uAllocFailed)
        {
            u32 uP0 = 0, uP1 = 0;
            m_pProc->WaiterFinish(uWaiter, &uP0, &uP1);
            o->uWaiter = 0;
            HelperReset(o);
            return QV_FILE_ERR_SEND;
        }
        // The peer's queue is full for a moment (many transfers starting at once): the
        // request goes again every second for a while; the waiter answers when it gives up.
        o->uRetry |= kRetryRequest;
        o->uRetryCount = 0;
        RetryAdd(o);
    }
    DebugText(o, "Start %s %s -> %s", uPut ? "Put" : "Get", o->strPath.c_str(), o->strPeerPath.c_str());
    return -1;
}

u32 CQVClassFile::SendStartRequest(OBJ_S* o, u32* lpuAllocFailed)
{
    u8 msg[kStartReqHead + kStartReqStrMax];
    memset(msg, 0, sizeof(msg));
    Wr32(msg, (u32)o->ullOffset);
    Wr32(msg + 4, (u32)o->ullReqSize);
    msg[8] = (o->uRequest & kReqLowMask) ? 1 : 0;
    msg[10] = 1;  // this end reads and writes 64-bit sizes
    char szHigh[2][16];
    snprintf(szHigh[0], sizeof(szHigh[0]), "%u", (u32)(o->ullOffset >> 32));
    snprintf(szHigh[1], sizeof(szHigh[1]), "%u", (u32)(o->ullReqSize >> 32));
    u32 uPos = kStartReqHead;
    uPos += qvStrPush(msg + uPos, sizeof(msg) - uPos, o->strPeerPath.c_str());
    uPos += qvStrPush(msg + uPos, sizeof(msg) - uPos, szHigh[0]);
    uPos += qvStrPush(msg + uPos, sizeof(msg) - uPos, szHigh[1]);
    return SendCtrl(o, kMethStartReq, 0, msg, uPos, o->uSession, 0, lpuAllocFailed);
}

int CQVClassFile::ReqCancel(OBJ_S* o)
{
    if (o->uStatus == kStaIdle)
        return 0;
    u32 uSend = IsSender(o);
    if (!uSend || !(o->uFlag & QV_FILE_FLAG_DRAIN))
    {
        u8 buf[kSizeLong];
        u64 ullSize = uSend ? o->ullAckSize : o->ullProcSize;
        u32 uAllocFailed = 0;
        if (!SendCtrl(o, kMethCancel, 0, buf, PackSize(o, ullSize, buf), o->uSession, o->uPeer, &uAllocFailed))
        {
            if (uAllocFailed)
                return QV_FILE_ERR_FAIL;
            qvLogOut(1, "ClassFile:ReqCancel, MCastSend failed, uPrivID=%u, Path=%s, ullStopSize=%lu", PrivID(o),
                     o->strPath.c_str(), (unsigned long)ullSize);
            return QV_FILE_ERR_SEND;
        }
        o->uStaMask |= kStaPeerKnows;
        if (uSend)
            o->uStaMask |= kStaReadDone;
        else if (!(o->uFlag & QV_FILE_FLAG_DRAIN))
        {
            o->uStaMask |= kStaAbort;
            o->ullStopSize = 0;
        }
    }
    else
        o->uStaMask |= kStaReadDone;  // drain what has been read, read no more
    Disp(o, kDispStop);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// The peer's request and the application's answer

void CQVClassFile::PassPeerRequest(OBJ_S* o)
{
    if (o->uStatus != kStaStart)
        return;
    u32 auPeer[1] = {o->uPeer};
    u32 uUnit = m_pProc->MCastAlloc(o->uObject, kMethStartRep, kPrioCtrl, auPeer, 1, 0, kCtrlTimeout, o->uSession);
    u32 uMethod = (o->uRequest & kReqLowMask) ? QV_FILE_EXT_PUT : QV_FILE_EXT_GET;
    int r = 0;
    if (uUnit)
    {
        if (m_uOption == 0)
        {
            QV_PARAM_FILE_ASK_S ask;
            memset(&ask, 0, sizeof(ask));
            qvStrCopy(ask.PeerPath, sizeof(ask.PeerPath), o->strPeerPath.c_str());
            ask.Offset = o->ullOffset;
            ask.Size = o->ullReqSize;
            r = m_pProc->ObjExtRequest(o->uObject, uMethod, &ask, sizeof(ask), uUnit, o->uPeer, m_uOption);
        }
        else
        {
            QV_STRING strText;
            char szNum[64];
            TextAppend(strText, "PeerPath", o->strPeerPath.c_str());
            snprintf(szNum, sizeof(szNum), "(Offset){%lu}(Size){%lu}", (unsigned long)o->ullOffset,
                     (unsigned long)o->ullReqSize);
            strText += szNum;
            r = m_pProc->ObjExtRequest(o->uObject, uMethod, strText.c_str(), strText.length(), uUnit, o->uPeer,
                                       m_uOption);
        }
    }
    if (r)
        return;
    // Nobody can answer the peer's request: refuse it at once instead of leaving both ends
    // waiting.
    if (uUnit)
        m_pProc->MCastFree(uUnit);
    u8 buf[kSizeShort];
    Wr32(buf, QV_FILE_ERR_FAIL);
    SendCtrl(o, kMethStartRep, kFlagError, buf, sizeof(buf), o->uSession, o->uPeer);
    HelperReset(o);
}

int CQVClassFile::OnExtReply(u32 uInst, u32 uError, const void* lpData, u32 uSize, u32 uHandle)
{
    if (!uHandle)
        return 0;
    OBJ_S* o = ObjGet(uInst);
    if (!o)
        return QV_FILE_ERR_OBJECT;
    u32 uObject = 0, uMethod = 0;
    u32 uInstOf = 0, uPrio = 0, uParam = 0;
    if (!m_pProc->MCastGetInfo(uHandle, &uObject, &uMethod, &uInstOf, &uPrio, &uParam))
        return QV_FILE_ERR_FAIL;
    if (uObject != o->uObject || uMethod != kMethStartRep)
        return QV_FILE_ERR_METHOD;
    if (o->uStatus != kStaStart || IsRequester(o))
    {
        m_pProc->MCastFree(uHandle);
        return QV_FILE_ERR_STATE;
    }
    return ExtRepStart(o, uError, lpData, uSize, uHandle);
}

int CQVClassFile::ExtRepStart(OBJ_S* o, u32 uError, const void* lpData, u32 uSize, u32 uUnit)
{
    if (uError == 0 && (!lpData || !uSize))
        uError = QV_FILE_ERR_PARAM;  // an acceptance needs the local path
    if (uError)
    {
        if (!SendStartReply(o, uUnit, uError))
            m_pProc->MCastFree(uUnit);
        Disp(o, kDispError);
        return 0;
    }
    QV_STRING strPath;
    u64 ullTimer = 0;
    if (m_uOption == 0)
    {
        if (uSize != sizeof(QV_PARAM_FILE_ACCEPT_S))
            return QV_FILE_ERR_PARAM;
        QV_PARAM_FILE_ACCEPT_S acc;
        memcpy(&acc, lpData, sizeof(acc));
        if (!FieldText(acc.Path, sizeof(acc.Path), &strPath))
            return QV_FILE_ERR_PARAM;
        ullTimer = acc.TimerVal;
    }
    else
    {
        if (!TextLoad(lpData, uSize) || !TextGet("Path", &strPath) || !TextGetU64("TimerVal", &ullTimer) ||
            strPath.length() > kPathMax || ullTimer > 0xFFFFFFFFull)
            return QV_FILE_ERR_PARAM;
    }
    if (strPath.empty())
        return QV_FILE_ERR_PARAM;
    if (!qvSandboxCheck(strPath.c_str()))
        return QV_FILE_ERR_DENIED;
    o->strPath = strPath;
    o->uTimerVal = (u32)ullTimer;
    if (o->uExtID == QV_EXT_FILE && IsSender(o))
    {
        u64 ullFile = 0;
        u32 uRefuse = 0;
        if (!qvFileInfo(strPath.c_str(), &ullFile, nullptr, 0))
            uRefuse = QV_FILE_ERR_NOFILE;
        else if (o->ullOffset >= ullFile)
            uRefuse = ullFile ? QV_FILE_ERR_PARAM : QV_FILE_ERR_NOFILE;
        if (uRefuse)
        {
            if (!SendStartReply(o, uUnit, uRefuse))
                m_pProc->MCastFree(uUnit);
            Disp(o, kDispError);
            return 0;
        }
        if (o->ullReqSize == 0 || o->ullReqSize > ullFile - o->ullOffset)
            o->ullReqSize = ullFile - o->ullOffset;
    }
    if (SendStartReply(o, uUnit, 0))
        DispTcpNow(o, kDispStart);
    else
    {
        o->uRetry |= kRetryStart;
        RetryAdd(o);
    }
    return 0;
}

u32 CQVClassFile::UnitMethod(u32 uUnit)
{
    u32 uObject = 0, uMethod = 0, uInst = 0, uPrio = 0, uParam = 0;
    if (!m_pProc->MCastGetInfo(uUnit, &uObject, &uMethod, &uInst, &uPrio, &uParam))
        return 0xFFFFFFFF;
    return uMethod;
}

u32 CQVClassFile::FindStartReplyUnit(OBJ_S* o)
{
    u32 uClass = 0, uGroup = 0, uInst = 0, uUnit = 0;
    if (!m_pProc->ObjGetInfo(o->uObject, &uClass, &uGroup, &uInst, &uUnit))
        return 0;
    for (u32 n = 0; uUnit && n < 0x10000; n++)
    {
        if (UnitMethod(uUnit) == kMethStartRep)
            return uUnit;
        uUnit = m_pProc->MCastGetNext(uUnit, 0);
    }
    return 0;
}

void CQVClassFile::FreeStartReplyUnits(OBJ_S* o)
{
    u32 uClass = 0, uGroup = 0, uInst = 0, uUnit = 0;
    if (!m_pProc->ObjGetInfo(o->uObject, &uClass, &uGroup, &uInst, &uUnit))
        return;
    for (u32 n = 0; uUnit && n < 0x10000; n++)
    {
        u32 uNext = m_pProc->MCastGetNext(uUnit, 0);
        if (UnitMethod(uUnit) == kMethStartRep)
            m_pProc->MCastFree(uUnit);
        uUnit = uNext;
    }
}

void CQVClassFile::Reply(OBJ_S* o, u32 uError, u32 uParam)
{
    m_pProc->ObjNotify(o->uObject, kNotifyReply, uError, uParam);
}

u32 CQVClassFile::FinishWaiter(OBJ_S* o, u32 uError)
{
    if (!o->uWaiter)
        return 0;
    u32 uP0 = 0, uP1 = 0;
    u32 uObject = m_pProc->WaiterFinish(o->uWaiter, &uP0, &uP1);
    o->uWaiter = 0;
    if (!uObject)
        return 0;
    Reply(o, uError, uP1);
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Notifications, dispatch and extension events

void CQVClassFile::OnNotify(u32 uInst, u32 uType, u32 uP0, u32 uP1)
{
    OBJ_S* o = ObjGet(uInst);
    if (!o)
        return;
    switch (uType)
    {
    case QV_NOTIFY_DELETED:
    {
        u32 uA = 0, uB = 0;
        u32 uWaiter = m_pProc->WaiterEnum(0, o->uObject, &uA, &uB);
        for (u32 n = 0; uWaiter && n < 0x10000; n++)
        {
            u32 uNext = m_pProc->WaiterEnum(uWaiter, o->uObject, &uA, &uB);
            if (m_pProc->WaiterFinish(uWaiter, &uA, &uB) && uA == 0)
                m_pProc->ObjReply(o->uObject, QV_FILE_ERR_TIMEOUT, nullptr, 0, uB, m_uOption);
            if (uWaiter == o->uWaiter)
                o->uWaiter = 0;
            uWaiter = uNext;
        }
        break;
    }
    case QV_NOTIFY_PEER_ID:
    {
        QV_STRING strName;
        PeerName(uP0, &strName);
        if (o->uStatus == kStaIdle || o->strPeerName.empty() || !(strName == o->strPeerName.c_str()))
            break;
        if (uP1)
        {
            if (uP0 != o->uPeer)
                PeerChange(o, uP0);
            Disp(o, IsSender(o) ? kDispLoad : kDispSave);
        }
        else if ((o->uFlag & QV_FILE_FLAG_SYNC_END) && m_pProc->PeerGetStatus(uP0) != 3)
        {
            // The peer is gone: nothing more will come or be acknowledged, so end now.
            o->uStaMask |= kStaPeerKnows | kStaAbort;
            Disp(o, kDispStop);
        }
        break;
    }
    case QV_NOTIFY_WAITER:
        if (uP0 != 0)
            break;
        if (o->uStatus == kStaStart && o->uWaiter)
        {
            o->uWaiter = 0;  // the node has freed it
            HelperReset(o);
        }
        m_pProc->ObjReply(o->uObject, QV_FILE_ERR_TIMEOUT, nullptr, 0, uP1, m_uOption);
        break;
    case kNotifyReply:
        m_pProc->ObjReply(o->uObject, uP0, nullptr, 0, uP1, m_uOption);
        break;
    case kNotifyPeerReq:
        PassPeerRequest(o);
        break;
    case kNotifyPeerCancel:
        m_pProc->ObjExtRequest(o->uObject, QV_FILE_EXT_CANCEL, nullptr, 0, 0, uP0, m_uOption);
        break;
    case kNotifyWindow:
        HelperSendRemain(o);
        break;
    default:
        break;
    }
}

u32 CQVClassFile::OnDisp(u32 uInst, u32 uBits)
{
    OBJ_S* o = ObjGet(uInst);
    if (!o)
        return 0;
    OBJ_S* pPrevObj = m_pDispObj;
    u32 uPrevSelf = m_uDispSelf;
    m_pDispObj = o;
    m_uDispSelf = 0;
    u32 uMore = 0;
    if (uBits & kDispStart)
        uMore |= DispStart(o);
    if (uBits & kDispLoad)
        uMore |= DispLoad(o);
    if (uBits & kDispSave)
        uMore |= DispSave(o);
    if (uBits & kDispStatus)
        DispStatus(o);
    if (uBits & kDispError)
        DispError(o);
    if (uBits & kDispStop)
        uMore |= DispStop(o);
    uMore |= m_uDispSelf;
    m_pDispObj = pPrevObj;
    m_uDispSelf = uPrevSelf;
    return uMore;
}

void CQVClassFile::OnExtend(u32 uExtInst, u32, u32 uB, u64, u32 uInstParam)
{
    OBJ_S* o = ObjGet(uInstParam);
    if (!o || !uExtInst || o->uExtInst != uExtInst)
        return;  // an event of an instance this object no longer holds
    // A forwarded TCP socket that can be read or written again is served on the thread that
    // reports it; a file waits for the dispatch thread, as it may wait on the disk.
    if (uB == kExtWritable)
        DispTcpNow(o, kDispSave);
    else if (uB == kExtReadable)
        DispTcpNow(o, kDispLoad);
}

// ---------------------------------------------------------------------------------------------
// Start, stop and reset

u32 CQVClassFile::DispStart(OBJ_S* o)
{
    if (o->uStatus != kStaStart)
        return 0;
    u32 uPriv = PrivID(o);
    if (IsSender(o) && !o->uMCast)
    {
        u32 auPeer[1] = {o->uPeer};
        o->uMCast = m_pProc->MCastAlloc(o->uObject, kMethData, kPrioData, auPeer, 1, 0, kNoTimeout, o->uSession);
        if (!o->uMCast)
        {
            qvLogOut(0, "ClassFile:DispStart, MCastAlloc failed, uPrivID=%u, Path=%s", uPriv, o->strPath.c_str());
            o->uStaMask |= kStaAbort;
            return kDispStop;
        }
    }
    if (!o->uExtInst)
    {
        o->uExtInst = m_pProc->ExtOpen(o->uExtID, o->strPath.c_str(), o->strExtOption.c_str(), 0, uPriv, QV_CLASS_FILE);
        if (!o->uExtInst)
        {
            qvLogOut(0, "ClassFile:DispStart, ExtOpen failed, uPrivID=%u, Path=%s", uPriv, o->strPath.c_str());
            o->uStaMask |= kStaAbort;
            return kDispStop;
        }
    }
    if (!o->pBuf)
    {
        o->pBuf = BufTake(m_uBufSize);
        if (!o->pBuf)
        {
            qvLogOut(0, "ClassFile:DispStart, Alloc buffer failed, uPrivID=%u, Path=%s", uPriv, o->strPath.c_str());
            if (o->uMCast)
                m_pProc->MCastFree(o->uMCast);
            o->uMCast = 0;
            m_pProc->ExtClose(o->uExtInst, 0);
            o->uExtInst = 0;
            o->uStaMask |= kStaAbort;
            return kDispStop;
        }
        o->uBufLen = m_uBufSize;
        o->uDataSize = 0;
        o->uDataPos = 0;
    }
    if (!IsSender(o) && !(o->uStaMask & kStaPeerKnows))
        o->ullStopSize = o->ullReqSize;
    if (o->ullReqSize == 0)
    {
        qvLogOut(0, "ClassFile:DispStart, Request size is zero, uPrivID=%u, Path=%s", uPriv, o->strPath.c_str());
        o->uStaMask |= kStaAbort;
        return kDispStop;
    }
    o->uStatus = kStaMove;
    o->uActiveCount = 0;
    Disp(o, kDispStatus);
    DebugText(o, "Transfer %s, size %lu", o->strPath.c_str(), (unsigned long)o->ullReqSize);
    return IsSender(o) ? kDispLoad : kDispSave;
}

u32 CQVClassFile::DispStop(OBJ_S* o)
{
    if (o->uStatus == kStaIdle)
        return 0;
    if (!(o->uStaMask & (kStaSaveDone | kStaAbort)) && o->uStatus == kStaMove)
    {
        if (IsSender(o))
        {
            if (o->uFlag & QV_FILE_FLAG_DRAIN)
            {
                if (o->uDataPos < o->uDataSize)
                    return kDispLoad;
                if (o->ullAckSize < o->ullSentSize)
                    return 0;  // the next acknowledgement dispatches this again
            }
            else if (o->ullSentSize >= o->ullReqSize && o->ullAckSize < o->ullSentSize)
                return 0;
        }
        else
        {
            if (o->ullProcSize < SaveTarget(o))
                return kDispSave;
            if ((o->uFlag & QV_FILE_FLAG_DRAIN) && RecvBuffered(o))
                return kDispSave;
        }
    }
    // The peer learns of the end before the application does: were the Stop lost, the peer's
    // end would wait for ever (its connection never closing). One the full queue refuses goes
    // again every second, the object keeping its state, for at most kRequestTries seconds.
    if (!(o->uStaMask & kStaPeerKnows) && o->uPeer)
    {
        u32 r = SendStop(o);
        if (r == 0 && !(o->uRetry & kRetryStop))
        {
            o->uRetry = kRetryStop;  // nothing else of this session goes any more
            o->uRetryCount = 0;
            RetryAdd(o);
            return 0;
        }
        if (r == 0 && o->uRetryCount < kRequestTries)
            return 0;
        if (r == 0)
            qvLogOut(1, "ClassFile: DispStop, stop not sent, uPrivID=%u, Path=%s", PrivID(o), o->strPath.c_str());
        o->uStaMask |= kStaPeerKnows;  // sent, or given up: HelperStop sends no other
    }
    HelperStop(o);
    return 0;
}

// 1 sent, 0 refused by the peer's queue, 2 no unit.
u32 CQVClassFile::SendStop(OBJ_S* o)
{
    u8 buf[kSizeLong];
    u64 ullSize = IsSender(o) ? o->ullAckSize : o->ullProcSize;
    u32 uAllocFailed = 0;
    if (SendCtrl(o, kMethStop, 0, buf, PackSize(o, ullSize, buf), o->uSession, o->uPeer, &uAllocFailed))
        return 1;
    return uAllocFailed ? 2 : 0;
}

void CQVClassFile::ReleaseHeld(OBJ_S* o)
{
    u32 uPeer = o->uHeldPeer;
    o->uHeldPeer = 0;
    if (!uPeer || !m_pRecvBuf)
        return;
    // Takes the kept message out; the next one of this object then arrives with a stale
    // session and is dropped by the node.
    u32 uPrio = kPrioData, uObject = o->uObject, uMethod = kMethData, uFlag = 0, uParam = 0, uRoom = 0;
    m_pProc->PeerReceive(uPeer, &uPrio, &uObject, &uMethod, &uFlag, &uParam, &uRoom, m_pRecvBuf, kRecvBufSize, 0, 0);
}

void CQVClassFile::HelperReset(OBJ_S* o)
{
    ReleaseHeld(o);
    m_RetryList.Remove(o);
    o->uRetry = 0;
    o->uRetryCount = 0;
    if (o->uWaiter)
        FinishWaiter(o, QV_FILE_ERR_FAIL);
    if (o->uExtInst)
        m_pProc->ExtClose(o->uExtInst, 0);
    o->uExtInst = 0;
    if (o->uMCast)
    {
        if (o->uPeer)
            m_pProc->PeerSendDrop(o->uPeer, kPrioData, o->uMCast);
        m_pProc->MCastFree(o->uMCast);
    }
    o->uMCast = 0;
    FreeStartReplyUnits(o);
    PeerRelease(o);
    BufFree(o);
    if (m_uLastSend == PrivID(o))
        m_uLastSend = 0xffffff;
    o->uSession = qvGetCookieLong();
    o->uPeer = 0;
    o->uStaMask = 0;
    o->strPeerName.clear();
    o->strPath.clear();
    o->strPeerPath.clear();
    o->uRequest = 0;
    o->ullOffset = 0;
    o->ullReqSize = 0;
    o->ullAckSize = 0;
    o->ullStopSize = 0;
    o->ullProcSize = 0;
    o->ullSentSize = 0;
    o->ullResAcked = 0;
    o->uTimerCount = 0;
    o->uTimerVal = 0;
    o->uSpeedBytes = 0;
    o->uActiveCount = 0;
    o->uBlockCount = 0;
    o->uPauseFlag = 0;
    o->uPauseStamp = 0;
    o->uIdleCount = 0;
    memset(o->auSpeed, 0, sizeof(o->auSpeed));
    o->uSpeedTick = 0;
    o->uSpeedPeak = 0;
    o->uSpeed = 0;
    o->ullSpeedSum = 0;
    o->uSpeedRead = 0;
    o->uSpeedWrite = 0;
    o->uSpeedWrap = 0;
    o->strExtOption.clear();
    o->uStatus = kStaIdle;
}

void CQVClassFile::HelperStop(OBJ_S* o)
{
    o->uStatus = kStaIdle;
    PeerRelease(o);
    if (!(o->uStaMask & kStaPeerKnows) && o->uPeer)
        SendStop(o);
    DebugText(o, "Stop %s, %lu bytes", o->strPath.c_str(),
              (unsigned long)(IsSender(o) ? o->ullAckSize : o->ullProcSize));
    QV_PARAM_FILE_ST_S st;
    FillStatus(o, st);
    HelperReset(o);
    SendStatus(o, st);
}

void CQVClassFile::DispError(OBJ_S* o)
{
    QV_PARAM_FILE_ST_S st;
    FillStatus(o, st);
    st.Status = kStaIdle;
    st.Speed = 0;
    HelperReset(o);
    SendStatus(o, st);
}

// ---------------------------------------------------------------------------------------------
// Status reports, debug texts and the timer

void CQVClassFile::FillStatus(OBJ_S* o, QV_PARAM_FILE_ST_S& st)
{
    memset(&st, 0, sizeof(st));
    snprintf(st.Path, sizeof(st.Path), "%s", o->strPath.c_str());
    snprintf(st.PeerPath, sizeof(st.PeerPath), "%s", o->strPeerPath.c_str());
    st.Speed = o->uStatus == kStaMove ? o->uSpeed : 0;
    st.Status = o->uStatus;
    st.Request = (o->uRequest & kReqLowMask) ? 1 : 0;
    st.Side = IsSender(o);
    st.Offset = o->ullOffset;
    st.ReqSize = o->ullReqSize;
    st.CurSize = IsSender(o) ? o->ullAckSize : o->ullProcSize;
}

void CQVClassFile::SendStatus(OBJ_S* o, const QV_PARAM_FILE_ST_S& st)
{
    if (m_uOption == 0)
    {
        m_pProc->ObjExtRequest(o->uObject, QV_FILE_EXT_STATUS, &st, sizeof(st), 0, o->uPeer, m_uOption);
        return;
    }
    QV_STRING strText;
    TextAppend(strText, "Path", st.Path);
    TextAppend(strText, "PeerPath", st.PeerPath);
    char szRest[256];
    snprintf(szRest, sizeof(szRest), "(Speed){%u}(Status){%u}(Request){%u}(Side){%u}(Offset){%lu}(ReqSize){%lu}(CurSize){%lu}",
             st.Speed, st.Status, st.Request, st.Side, (unsigned long)st.Offset, (unsigned long)st.ReqSize,
             (unsigned long)st.CurSize);
    strText += szRest;
    m_pProc->ObjExtRequest(o->uObject, QV_FILE_EXT_STATUS, strText.c_str(), strText.length(), 0, o->uPeer, m_uOption);
}

void CQVClassFile::DispStatus(OBJ_S* o)
{
    QV_PARAM_FILE_ST_S st;
    FillStatus(o, st);
    SendStatus(o, st);
}

void CQVClassFile::DebugText(OBJ_S* o, const char* lpszFormat, ...)
{
    if (!(o->uFlag & QV_FILE_FLAG_DEBUG))
        return;
    char szText[kDebugMax + 3];
    va_list args;
    va_start(args, lpszFormat);
    int n = vsnprintf(szText, kDebugMax + 1, lpszFormat, args);
    va_end(args);
    if (n < 0)
        return;
    u32 uLen = (u32)n > kDebugMax ? kDebugMax : (u32)n;
    szText[uLen++] = '\r';
    szText[uLen++] = '\n';
    szText[uLen] = 0;
    m_pProc->ObjExtRequest(o->uObject, QV_FILE_EXT_DEBUG, szText, uLen, 0, o->uPeer, m_uOption);
}

u32 CQVClassFile::SpeedTick(OBJ_S* o)
{
    u32 uOld = o->uSpeed;
    u32 uNew = o->uSpeedBytes;
    o->uSpeedBytes = 0;
    if (o->uSpeedWrap)
        o->ullSpeedSum -= o->auSpeed[o->uSpeedWrite];
    o->auSpeed[o->uSpeedWrite] = uNew;
    o->ullSpeedSum += uNew;
    o->uSpeedWrite = (o->uSpeedWrite + 1) % kSpeedSamples;
    if (o->uSpeedWrite == 0)
        o->uSpeedWrap = 1;
    o->uSpeedRead = o->uSpeedWrap ? o->uSpeedWrite : 0;
    u32 uCount = o->uSpeedWrap ? kSpeedSamples : o->uSpeedWrite;
    o->uSpeed = uCount ? (u32)(o->ullSpeedSum / uCount) : 0;
    if (o->uSpeed > o->uSpeedPeak)
        o->uSpeedPeak = o->uSpeed;
    if (++o->uSpeedTick >= kPeakDecay)
    {
        o->uSpeedTick = 0;
        o->uSpeedPeak = o->uSpeed + (o->uSpeedPeak - o->uSpeed) / 2;
    }
    return (uOld == 0) != (o->uSpeed == 0);
}

void CQVClassFile::OnTimer(u32 uSeconds)
{
    if (!m_pObj)
        return;
    m_uStamp = uSeconds;
    for (OBJ_S* o = m_RetryList.Head(); o;)
    {
        OBJ_S* pNext = RETRY_LIST::Next(o);
        if (o->uRetry & kRetryStop)
        {
            o->uRetryCount++;
            Disp(o, kDispStop);  // tries again; the end leaves the list
            o = pNext;
            continue;
        }
        if (o->uStatus == kStaMove && (o->uRetry & kRetryData))
        {
            u32 uLoad = 0;
            if (HelperSendData(o, &uLoad) != kSendBlocked)
                o->uRetry &= ~kRetryData;
            if (uLoad)
                Disp(o, kDispLoad);
        }
        else if (o->uStatus == kStaStart && (o->uRetry & kRetryRequest))
        {
            u32 uAllocFailed = 0;
            if (SendStartRequest(o, &uAllocFailed))
                o->uRetry &= ~kRetryRequest;
            else if (++o->uRetryCount >= kRequestTries)
            {
                qvLogOut(1, "ClassFile: OnTimer, start request not sent, uPrivID=%u, Path=%s", PrivID(o),
                         o->strPath.c_str());
                o->uRetry = 0;
                m_RetryList.Remove(o);
                FinishWaiter(o, QV_FILE_ERR_SEND);
                HelperReset(o);
                o = pNext;
                continue;
            }
        }
        else if (o->uStatus == kStaStart && (o->uRetry & kRetryStart))
        {
            u32 uUnit = FindStartReplyUnit(o);
            if (!uUnit)
            {
                o->uRetry = 0;
                Disp(o, kDispError);  // the answer is gone and cannot be sent any more
            }
            else if (SendStartReply(o, uUnit, 0))
            {
                o->uRetry &= ~kRetryStart;
                Disp(o, kDispStart);
            }
        }
        else
            o->uRetry = 0;
        if (!o->uRetry)
            m_RetryList.Remove(o);
        o = pNext;
    }
    for (OBJ_S* o = m_UseList.Head(); o; o = OBJ_LIST::Next(o))
    {
        if (o->uStatus != kStaMove)
            continue;
        if (o->uTimerVal)
        {
            u32 uEdge = SpeedTick(o);
            o->uTimerCount++;
            if (o->uTimerCount >= o->uTimerVal || ((o->uFlag & QV_FILE_FLAG_SPEED_EDGE) && uEdge))
            {
                o->uTimerCount = 0;
                Disp(o, kDispStatus);
            }
        }
        if (IsSender(o))
            continue;
        if (++o->uActiveCount >= kActiveSeconds)
        {
            o->uActiveCount = 0;
            u8 buf[kPauseSize];
            memset(buf, 0, sizeof(buf));
            SendCtrl(o, kMethActive, 0, buf, sizeof(buf), o->uSession, o->uPeer);
        }
        if (o->uBlockTimeout && (o->uStaMask & kStaRecvBlocked))
        {
            if (++o->uBlockCount % o->uBlockTimeout == 0)
            {
                qvLogOut(1, "ClassFile: OnTimer, save data blocked timeout, uPrivID=%u, uTimeout=%u", PrivID(o),
                         o->uBlockTimeout);
                m_pProc->ObjExtRequest(o->uObject, QV_FILE_EXT_BLOCKED, nullptr, 0, 0, o->uPeer, m_uOption);
            }
        }
        // The peer has ended the session and the bytes it announced never came (its socket was
        // reset, say): give up instead of waiting for ever.
        if ((o->uStaMask & kStaPeerKnows) && ++o->uIdleCount >= kPeerEndWait)
        {
            o->uStaMask |= kStaAbort;
            Disp(o, kDispStop);
        }
    }
}
