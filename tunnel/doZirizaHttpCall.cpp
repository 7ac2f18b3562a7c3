// The in-process call bridge and the bridged flat-interface calls.
#include "doZirizaHttpCall.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doZiriza.h"
#include "doZirizaDef.h"
#include "qvLog.h"
#include "qvUtilize.h"

CDOZirizaHttpCall::CDOZirizaHttpCall() : m_uInit(0), m_pTunnel(nullptr) {}

CDOZirizaHttpCall::~CDOZirizaHttpCall()
{
    Clean();
}

int CDOZirizaHttpCall::Initialize(u32, u32, QV_ADDR_S&)
{
    if (!m_Sect.Lock())
        return 0;
    m_ListFree.Reset();
    m_ListUsed.Reset();
    m_ListTimer.Reset();
    for (u32 i = 0; i < SLOT_COUNT; i++)
    {
        SLOT_S& slot = m_Slot[i];
        slot.link = QV_LINK_S<SLOT_S>();
        slot.linkTimer = QV_LINK_S<SLOT_S>();
        slot.uCookie = qvGetCookieShort(slot.uCookie);
        slot.uState = STATE_IDLE;
        slot.uTickLimit = slot.uTickCount = 0;
        slot.strAnswer.clear();
        slot.iResult = 0;
        slot.event.Reset();
        m_ListFree.PushTail(&slot);
    }
    m_uInit = 1;
    m_Sect.Unlock();
    return 1;
}

void CDOZirizaHttpCall::Clean()
{
    m_uInit = 0;
    Cancel();
    if (!m_Sect.Lock())
        return;
    // The slots are members and stay: a caller that is still late in leaving finds a slot
    // in a defined state rather than freed memory.
    for (u32 i = 0; i < SLOT_COUNT; i++)
        m_Slot[i].strAnswer.clear();
    m_Sect.Unlock();
}

u32 CDOZirizaHttpCall::CallAlloc()
{
    if (!m_Sect.Lock())
        return SLOT_NONE;
    u32 uSlot = SLOT_NONE;
    SLOT_S* pSlot = m_uInit ? m_ListFree.PopHead() : nullptr;
    if (pSlot != nullptr)
    {
        pSlot->uCookie = qvGetCookieShort(pSlot->uCookie);
        pSlot->uState = STATE_IDLE;
        m_ListUsed.PushTail(pSlot);
        uSlot = (u32)(pSlot - m_Slot);
    }
    m_Sect.Unlock();
    return uSlot;
}

void CDOZirizaHttpCall::CallFree(u32 uSlot)
{
    if (uSlot >= SLOT_COUNT || !m_Sect.Lock())
        return;
    SLOT_S& slot = m_Slot[uSlot];
    if (m_ListUsed.Contains(&slot))
    {
        slot.uCookie = qvGetCookieShort(slot.uCookie);
        slot.uState = STATE_IDLE;
        m_ListTimer.Remove(&slot);
        m_ListUsed.Remove(&slot);
        m_ListFree.PushTail(&slot);
    }
    m_Sect.Unlock();
}

int CDOZirizaHttpCall::CallRequest(u32 uSlot, const char* lpszName, const char* lpszParam, u32 uTimeoutMs,
                                   QV_STRING& strAnswer)
{
    if (uSlot >= SLOT_COUNT || m_pTunnel == nullptr)
        return QV_TUNNEL_ERROR_BADSTATUS;
    SLOT_S& slot = m_Slot[uSlot];
    if (!m_Sect.Lock())
        return QV_TUNNEL_ERROR_SYSTEM;
    if (slot.uState != STATE_IDLE || !m_ListUsed.Contains(&slot))
    {
        m_Sect.Unlock();
        return QV_TUNNEL_ERROR_BADSTATUS;
    }
    if (uTimeoutMs != 0)
    {
        slot.uTickLimit = (uTimeoutMs + TICK_MS - 1) / TICK_MS;
        slot.uTickCount = 0;
        m_ListTimer.PushTail(&slot);
    }
    slot.event.Reset();
    slot.uState = STATE_WAIT;
    u32 uHandle = MakeHandle(uSlot, slot.uCookie);
    m_Sect.Unlock();

    if (!m_pTunnel->OnHttpRequest(uHandle, lpszName, lpszParam))
    {
        if (m_Sect.Lock())
        {
            m_ListTimer.Remove(&slot);
            slot.uState = STATE_IDLE;
            m_Sect.Unlock();
        }
        return QV_TUNNEL_ERROR_SYSTEM;
    }

    slot.event.Wait();

    if (!m_Sect.Lock())
        return QV_TUNNEL_ERROR_SYSTEM;
    u32 uState = slot.uState;
    strAnswer = static_cast<QV_STRING&&>(slot.strAnswer);
    slot.strAnswer.clear();
    int iResult = slot.iResult;
    slot.iResult = 0;
    slot.uState = STATE_IDLE;
    m_Sect.Unlock();
    if (uState == STATE_TIMEOUT)
        m_pTunnel->OnHttpAbort(uHandle);
    return iResult;
}

int CDOZirizaHttpCall::SendResponse(u32 uHandle, u32 uStatus, const char*, unsigned char* lpData, u32 uLength)
{
    if (DOZIRIZA_HTTP_HANDLE_KIND(uHandle) != DOZIRIZA_HTTP_KIND_CALL || !m_Sect.Lock())
        return 0;
    u32 uSlot = (uHandle >> 16) & 0xFFF;
    if (uSlot < SLOT_COUNT)
    {
        SLOT_S& slot = m_Slot[uSlot];
        if (slot.uCookie == (uHandle & 0xFFFF) && slot.uState == STATE_WAIT)
        {
            m_ListTimer.Remove(&slot);
            slot.iResult = uStatus == 200 ? 0 : QV_TUNNEL_ERROR_SYSTEM;
            // An answer that cannot be kept reads as a malformed one.
            if (!slot.strAnswer.assign(lpData ? (const char*)lpData : "", lpData ? uLength : 0))
                slot.strAnswer.clear();
            slot.uState = STATE_ANSWERED;
            slot.event.Signal();
        }
    }
    m_Sect.Unlock();
    return 0;
}

void CDOZirizaHttpCall::TimerProc()
{
    if (!m_Sect.Lock())
        return;
    SLOT_S* pSlot = m_ListTimer.Head();
    while (pSlot != nullptr)
    {
        SLOT_S* pNext = TIMER_LIST::Next(pSlot);
        if (++pSlot->uTickCount >= pSlot->uTickLimit)
        {
            m_ListTimer.Remove(pSlot);
            pSlot->iResult = QV_TUNNEL_ERROR_TIMEOUT;
            pSlot->uState = STATE_TIMEOUT;
            pSlot->event.Signal();
        }
        pSlot = pNext;
    }
    m_Sect.Unlock();
}

void CDOZirizaHttpCall::Cancel()
{
    if (!m_Sect.Lock())
        return;
    for (SLOT_S* pSlot = m_ListUsed.Head(); pSlot != nullptr; pSlot = SLOT_LIST::Next(pSlot))
    {
        m_ListTimer.Remove(pSlot);
        pSlot->iResult = QV_TUNNEL_ERROR_BADSTATUS;
        pSlot->uState = STATE_CANCEL;
        pSlot->event.Signal();
    }
    m_Sect.Unlock();
    for (u32 i = 0; i < CANCEL_WAIT_TICKS; i++)
    {
        if (!m_Sect.Lock())
            return;
        u32 uUsed = m_ListUsed.Count();
        m_Sect.Unlock();
        if (uUsed == 0)
            return;
        qvSleep(TICK_MS);
    }
}

// ---------------------------------------------------------------------------------------------
// Answer reading

QV_STRING CDOZirizaHttpCall::AnswerAction(const char* lpszAnswer)
{
    if (lpszAnswer == nullptr)
        return QV_STRING();
    const char* lpszColon = strchr(lpszAnswer, ':');
    if (lpszColon == nullptr)
        return QV_STRING();
    return QV_STRING(lpszAnswer, (u32)(lpszColon - lpszAnswer));
}

namespace {

u32 HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return (u32)(c - '0');
    if (c >= 'a' && c <= 'f')
        return (u32)(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return (u32)(c - 'A' + 10);
    return 16;
}

// Four hexadecimal digits at p, or 0x110000 when they are not.
u32 Hex4(const char* p)
{
    u32 v = 0;
    for (int i = 0; i < 4; i++)
    {
        u32 d = HexValue(p[i]);
        if (d > 15)
            return 0x110000;
        v = (v << 4) | d;
    }
    return v;
}

void AppendUTF8(QV_STRING& str, u32 cp)
{
    char sz[5];
    if (cp < 0x80)
    {
        sz[0] = (char)cp;
        sz[1] = 0;
    }
    else if (cp < 0x800)
    {
        sz[0] = (char)(0xC0 | (cp >> 6));
        sz[1] = (char)(0x80 | (cp & 0x3F));
        sz[2] = 0;
    }
    else if (cp < 0x10000)
    {
        sz[0] = (char)(0xE0 | (cp >> 12));
        sz[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        sz[2] = (char)(0x80 | (cp & 0x3F));
        sz[3] = 0;
    }
    else
    {
        sz[0] = (char)(0xF0 | (cp >> 18));
        sz[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
        sz[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
        sz[3] = (char)(0x80 | (cp & 0x3F));
        sz[4] = 0;
    }
    if (cp == 0)
        return;  // a NUL cannot live inside a C text; it is dropped
    str.append(sz);
}

// Reads the JSON string that starts after the opening quote at *pp, decoding its escapes; *pp
// ends after the closing quote. 0 when the text ends first.
u32 ReadString(const char** pp, QV_STRING& strOut)
{
    strOut.clear();
    const char* p = *pp;
    const char* lpszRun = p;
    for (;;)
    {
        if (*p == 0)
            return 0;
        if (*p == '"')
        {
            strOut.append(lpszRun, (u32)(p - lpszRun));
            *pp = p + 1;
            return 1;
        }
        if (*p != '\\')
        {
            p++;
            continue;
        }
        strOut.append(lpszRun, (u32)(p - lpszRun));
        char c = p[1];
        if (c == 0)
            return 0;
        p += 2;
        switch (c)
        {
        case 'n': strOut.append("\n"); break;
        case 'r': strOut.append("\r"); break;
        case 't': strOut.append("\t"); break;
        case 'b': strOut.append("\b"); break;
        case 'f': strOut.append("\f"); break;
        case 'u':
        {
            u32 cp = Hex4(p);
            if (cp > 0xFFFF)
            {
                strOut.append("u");
                break;
            }
            p += 4;
            if (cp >= 0xD800 && cp <= 0xDBFF && p[0] == '\\' && p[1] == 'u')
            {
                u32 lo = Hex4(p + 2);
                if (lo >= 0xDC00 && lo <= 0xDFFF)
                {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    p += 6;
                }
            }
            if (cp >= 0xD800 && cp <= 0xDFFF)
                cp = 0xFFFD;
            AppendUTF8(strOut, cp);
            break;
        }
        default:
        {
            char sz[2] = {c, 0};
            strOut.append(sz);
            break;
        }
        }
        lpszRun = p;
    }
}

}  // namespace

u32 CDOZirizaHttpCall::AnswerValue(const char* lpszAnswer, const char* lpszName, QV_STRING& strValue)
{
    if (lpszAnswer == nullptr || lpszName == nullptr)
        return 0;
    const char* p = strchr(lpszAnswer, '{');
    if (p == nullptr)
        return 0;
    p++;
    enum { WAIT_NAME, WAIT_COLON, WAIT_VALUE, SKIP } state = WAIT_NAME;
    QV_STRING strName;
    QV_STRING strText;
    while (*p)
    {
        char c = *p;
        switch (state)
        {
        case WAIT_NAME:
            if (c == '}')
                return 0;
            p++;
            if (c == '"')
            {
                if (!ReadString(&p, strName))
                    return 0;
                state = WAIT_COLON;
            }
            break;
        case WAIT_COLON:
            p++;
            if (c == ':')
                state = WAIT_VALUE;
            else if (c == ',' )
                state = WAIT_NAME;
            else if (c == '}')
                return 0;
            break;
        case WAIT_VALUE:
            if (c == '"')
            {
                p++;
                if (!ReadString(&p, strText))
                    return 0;
                if (strName == lpszName)
                {
                    strValue = static_cast<QV_STRING&&>(strText);
                    return 1;
                }
                state = SKIP;
            }
            else if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
                p++;
            else
                state = SKIP;
            break;
        case SKIP:
            p++;
            if (c == ',')
                state = WAIT_NAME;
            else if (c == '}')
                return 0;
            break;
        }
    }
    return 0;
}

QV_STRING CDOZirizaHttpCall::PeerFwdCfgText(int iSpeed, int iGate, int iUse, int iMaxSess, const char* lpszOption)
{
    QV_STRING str;
    const char* apszName[4] = {"speed=", "gate=", "use=", "maxsess="};
    int aiValue[4] = {iSpeed, iGate, iUse, iMaxSess};
    for (u32 i = 0; i < 4; i++)
    {
        if (aiValue[i] < 0)
            continue;
        char sz[32];
        snprintf(sz, sizeof(sz), "%s%s%d", str.empty() ? "" : "&", apszName[i], aiValue[i]);
        str.append(sz);
    }
    QV_STRING strOption = doZirizaUriEncode(lpszOption);
    if (!strOption.empty())
    {
        str.append(str.empty() ? "option=" : "&option=");
        str.append(strOption.c_str());
    }
    return str;
}

// ---------------------------------------------------------------------------------------------
// Bridged calls

namespace {

// Decimal value: optional sign and the leading digits; no digits read as 0.
long DecimalOf(const char* lpszText)
{
    return strtol(lpszText ? lpszText : "", nullptr, 10);
}

void CopyText(char* lpszOut, u32 uSize, const QV_STRING& str)
{
    if (lpszOut == nullptr || uSize == 0)
        return;
    u32 uLen = str.length() < uSize - 1 ? str.length() : uSize - 1;
    memcpy(lpszOut, str.c_str(), uLen);
    lpszOut[uLen] = 0;
}

void CopyData(QV_TUNNEL_DATA_S* lpData, const QV_STRING& str)
{
    if (lpData->uSize == 0)
        return;
    u32 uCopy = str.length() + 1 < lpData->uSize ? str.length() + 1 : lpData->uSize;
    char* lpszOut = reinterpret_cast<char*>(lpData) + offsetof(QV_TUNNEL_DATA_S, szData);
    memcpy(lpszOut, str.c_str(), uCopy - 1);
    lpszOut[uCopy - 1] = 0;
}

const char* Text(const char* lpsz)
{
    return lpsz ? lpsz : "";
}

}  // namespace

int CDOZirizaHttpCall::Call(const char* lpszName, const char* lpszParam, u32 uTimeoutMs, u32 bResult,
                            const char* const* lppszMembers, u32 uMemberCount, QV_STRING* lpValues)
{
    u32 uSlot = CallAlloc();
    if (uSlot == SLOT_NONE)
        return m_uInit ? QV_TUNNEL_ERROR_BUSY : QV_TUNNEL_ERROR_BADSTATUS;
    QV_STRING strAnswer;
    int iRet = CallRequest(uSlot, lpszName, lpszParam, uTimeoutMs, strAnswer);
    CallFree(uSlot);
    if (iRet != 0)
        return iRet;
    if (!(AnswerAction(strAnswer.c_str()) == lpszName))
        return QV_TUNNEL_ERROR_SYSTEM;
    long lResult = 0;
    if (bResult)
    {
        QV_STRING strResult;
        if (!AnswerValue(strAnswer.c_str(), "result", strResult) || strResult.empty())
            return QV_TUNNEL_ERROR_SYSTEM;
        if (!(strResult == "0"))
            return (int)-DecimalOf(strResult.c_str());
    }
    for (u32 i = 0; i < uMemberCount; i++)
    {
        if (!AnswerValue(strAnswer.c_str(), lppszMembers[i], lpValues[i]))
            return QV_TUNNEL_ERROR_SYSTEM;
    }
    return (int)-lResult;
}

int CDOZirizaHttpCall::VersionGet(QV_TUNNEL_VERSION_S* lpVersion)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    const char* apszMember[] = {"version"};
    QV_STRING strValue;
    int iRet = Call("versionget", "", CALL_TIMEOUT_MS, 0, apszMember, 1, &strValue);
    if (iRet == 0 && lpVersion)
        CopyText(lpVersion->szVersion, sizeof(lpVersion->szVersion), strValue);
    return iRet;
}

int CDOZirizaHttpCall::StatusGet(unsigned int uItem, QV_TUNNEL_STATUS_S* lpStatus)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    char szParam[32];
    snprintf(szParam, sizeof(szParam), "option=%u", uItem);
    const char* apszMember[] = {"status"};
    QV_STRING strValue;
    int iRet = Call("statusget", szParam, CALL_TIMEOUT_MS, 1, apszMember, lpStatus ? 1 : 0, &strValue);
    if (iRet == 0 && lpStatus)
        lpStatus->uStatus = (unsigned int)DecimalOf(strValue.c_str());
    return iRet;
}

int CDOZirizaHttpCall::DomainSet(const char* lpszPasscode)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    QV_STRING strParam("passcode=");
    strParam += doZirizaUriEncode(lpszPasscode);
    return Call("domainset", strParam.c_str(), CALL_TIMEOUT_MS, 1, nullptr, 0, nullptr);
}

int CDOZirizaHttpCall::DomainGet(QV_TUNNEL_DOMAIN_S* lpDomain)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    const char* apszMember[] = {"domain"};
    QV_STRING strValue;
    int iRet = Call("domainget", "", CALL_TIMEOUT_MS, 0, apszMember, 1, &strValue);
    if (iRet == 0 && lpDomain)
        CopyText(lpDomain->szDomain, sizeof(lpDomain->szDomain), strValue);
    return iRet;
}

int CDOZirizaHttpCall::CommentSet(const char* lpszComment)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    QV_STRING strParam("comment=");
    strParam += doZirizaUriEncode(lpszComment);
    return Call("commentset", strParam.c_str(), CALL_TIMEOUT_MS, 1, nullptr, 0, nullptr);
}

int CDOZirizaHttpCall::CommentGet(QV_TUNNEL_COMMENT_S* lpComment)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    const char* apszMember[] = {"comment"};
    QV_STRING strValue;
    int iRet = Call("commentget", "", CALL_TIMEOUT_MS, 0, apszMember, 1, &strValue);
    if (iRet == 0 && lpComment)
        CopyText(lpComment->szComment, sizeof(lpComment->szComment), strValue);
    return iRet;
}

int CDOZirizaHttpCall::TunnelSet(const char* lpszPasscode, const char* lpszComment)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    QV_STRING strParam("passcode=");
    strParam += doZirizaUriEncode(lpszPasscode);
    strParam += "&comment=";
    strParam += doZirizaUriEncode(lpszComment);
    return Call("tunnelset", strParam.c_str(), CALL_TIMEOUT_MS, 1, nullptr, 0, nullptr);
}

int CDOZirizaHttpCall::PeerInfoGet(const char* lpszPeerID, QV_TUNNEL_PEER_INFO_S* lpInfo)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    if (lpInfo == nullptr)
        return QV_TUNNEL_ERROR_BADPARAM;
    QV_STRING strParam("peerid=");
    strParam += Text(lpszPeerID);
    const char* apszMember[] = {"peerid", "type", "addrlocal", "addrremote", "tunnellocal", "tunnelremote", "privremote"};
    QV_STRING astrValue[7];
    int iRet = Call("peerinfoget", strParam.c_str(), CALL_TIMEOUT_MS, 1, apszMember, 7, astrValue);
    if (iRet == 0)
    {
        CopyText(lpInfo->szPeerID, sizeof(lpInfo->szPeerID), astrValue[0]);
        lpInfo->uType = (unsigned int)DecimalOf(astrValue[1].c_str());
        CopyText(lpInfo->szAddrLocal, sizeof(lpInfo->szAddrLocal), astrValue[2]);
        CopyText(lpInfo->szAddrRemote, sizeof(lpInfo->szAddrRemote), astrValue[3]);
        CopyText(lpInfo->szTunnelLocal, sizeof(lpInfo->szTunnelLocal), astrValue[4]);
        CopyText(lpInfo->szTunnelRemote, sizeof(lpInfo->szTunnelRemote), astrValue[5]);
        CopyText(lpInfo->szPrivateRemote, sizeof(lpInfo->szPrivateRemote), astrValue[6]);
    }
    return iRet;
}

namespace {

QV_STRING ConnectText(const char* lpszSession, const char* lpszPeerID, unsigned int uType, unsigned int uEncrypt,
                      const char* lpszListenAddr, const char* lpszClientAddr)
{
    char szNum[64];
    QV_STRING str("session=");
    str += Text(lpszSession);
    str += "&peerid=";
    str += Text(lpszPeerID);
    snprintf(szNum, sizeof(szNum), "&type=%u&encrypt=%u&listenaddr=", uType, uEncrypt);
    str += szNum;
    str += Text(lpszListenAddr);
    str += "&clientaddr=";
    str += Text(lpszClientAddr);
    return str;
}

}  // namespace

int CDOZirizaHttpCall::ConnectAdd(const char* lpszSession, const char* lpszPeerID, unsigned int uType,
                                  unsigned int uEncrypt, const char* lpszListenAddr, const char* lpszClientAddr,
                                  QV_TUNNEL_CLIENT_ADDR_S* lpClientAddr)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    if (lpClientAddr == nullptr)
        return QV_TUNNEL_ERROR_BADPARAM;
    QV_STRING strParam = ConnectText(lpszSession, lpszPeerID, uType, uEncrypt, lpszListenAddr, lpszClientAddr);
    const char* apszMember[] = {"clientaddr"};
    QV_STRING strValue;
    int iRet = Call("cnntadd", strParam.c_str(), CALL_TIMEOUT_MS, 1, apszMember, 1, &strValue);
    if (iRet == 0)
        CopyText(lpClientAddr->szClientAddr, sizeof(lpClientAddr->szClientAddr), strValue);
    return iRet;
}

int CDOZirizaHttpCall::ConnectDelete(const char* lpszSession, const char* lpszPeerID, unsigned int uType,
                                     unsigned int uEncrypt, const char* lpszListenAddr, const char* lpszClientAddr)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    QV_STRING strParam = ConnectText(lpszSession, lpszPeerID, uType, uEncrypt, lpszListenAddr, lpszClientAddr);
    return Call("cnntdelete", strParam.c_str(), CALL_TIMEOUT_MS, 1, nullptr, 0, nullptr);
}

int CDOZirizaHttpCall::ConnectQuery(const char* lpszPeerID, unsigned int uType, unsigned int uEncrypt,
                                    const char* lpszListenAddr, QV_TUNNEL_CLIENT_ADDR_S* lpClientAddr)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    if (lpClientAddr == nullptr)
        return QV_TUNNEL_ERROR_BADPARAM;
    char szNum[64];
    QV_STRING strParam("peerid=");
    strParam += Text(lpszPeerID);
    snprintf(szNum, sizeof(szNum), "&type=%u&encrypt=%u&listenaddr=", uType, uEncrypt);
    strParam += szNum;
    strParam += Text(lpszListenAddr);
    if (memchr(lpClientAddr->szClientAddr, 0, sizeof(lpClientAddr->szClientAddr)) != nullptr)
    {
        strParam += "&clientaddr=";
        strParam += lpClientAddr->szClientAddr;
    }
    const char* apszMember[] = {"clientaddr"};
    QV_STRING strValue;
    int iRet = Call("cnntquery", strParam.c_str(), CALL_TIMEOUT_MS, 1, apszMember, 1, &strValue);
    if (iRet == 0)
        CopyText(lpClientAddr->szClientAddr, sizeof(lpClientAddr->szClientAddr), strValue);
    return iRet;
}

int CDOZirizaHttpCall::ConnectLocalDelete(const char* lpszSession, const char* lpszClientAddr)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    QV_STRING strParam("session=");
    strParam += Text(lpszSession);
    strParam += "&clientaddr=";
    strParam += Text(lpszClientAddr);
    return Call("cnntlcldelete", strParam.c_str(), CALL_TIMEOUT_MS, 1, nullptr, 0, nullptr);
}

namespace {

const char* const s_apszConnectInfo[] = {"peerid", "type", "encrypt", "listenaddr", "clientaddr"};

void CopyConnectInfo(QV_TUNNEL_CONNECT_INFO_S* lpInfo, const QV_STRING* astrValue)
{
    CopyText(lpInfo->szPeerID, sizeof(lpInfo->szPeerID), astrValue[0]);
    lpInfo->uType = (unsigned int)DecimalOf(astrValue[1].c_str());
    lpInfo->uEncrypt = (unsigned int)DecimalOf(astrValue[2].c_str());
    CopyText(lpInfo->szListenAddr, sizeof(lpInfo->szListenAddr), astrValue[3]);
    CopyText(lpInfo->szClientAddr, sizeof(lpInfo->szClientAddr), astrValue[4]);
}

}  // namespace

int CDOZirizaHttpCall::ConnectLocalQuery(const char* lpszClientAddr, QV_TUNNEL_CONNECT_INFO_S* lpInfo)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    if (lpInfo == nullptr)
        return QV_TUNNEL_ERROR_BADPARAM;
    QV_STRING strParam("clientaddr=");
    strParam += Text(lpszClientAddr);
    QV_STRING astrValue[5];
    int iRet = Call("cnntlclquery", strParam.c_str(), CALL_TIMEOUT_MS, 1, s_apszConnectInfo, 5, astrValue);
    if (iRet == 0)
        CopyConnectInfo(lpInfo, astrValue);
    return iRet;
}

int CDOZirizaHttpCall::UserExtend(const char* lpszRequest, QV_TUNNEL_DATA_S* lpData, unsigned int uTimeoutMs)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    if (lpData == nullptr)
        return QV_TUNNEL_ERROR_BADPARAM;
    const char* apszMember[] = {"data"};
    QV_STRING strValue;
    int iRet = Call("userextend", Text(lpszRequest), uTimeoutMs, 1, apszMember, 1, &strValue);
    if (iRet == 0)
        CopyData(lpData, strValue);
    return iRet;
}

int CDOZirizaHttpCall::PushGet(QV_TUNNEL_DATA_S* lpData, unsigned int uTimeoutMs)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    if (lpData == nullptr)
        return QV_TUNNEL_ERROR_BADPARAM;
    const char* apszMember[] = {"data"};
    QV_STRING strValue;
    int iRet = Call("pushget", "", uTimeoutMs, 1, apszMember, 1, &strValue);
    if (iRet == 0)
        CopyData(lpData, strValue);
    return iRet;
}

int CDOZirizaHttpCall::SelfGet(QV_TUNNEL_SELF_S* lpSelf)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    const char* apszMember[] = {"self"};
    QV_STRING strValue;
    int iRet = Call("selfget", "", CALL_TIMEOUT_MS, 0, apszMember, 1, &strValue);
    if (iRet == 0 && lpSelf)
        CopyText(lpSelf->szSelf, sizeof(lpSelf->szSelf), strValue);
    return iRet;
}

int CDOZirizaHttpCall::ConnectEnum(unsigned int uIndex, QV_TUNNEL_CONNECT_INFO_S* lpInfo)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    if (lpInfo == nullptr)
        return QV_TUNNEL_ERROR_BADPARAM;
    char szParam[32];
    snprintf(szParam, sizeof(szParam), "index=%u", uIndex);
    QV_STRING astrValue[5];
    int iRet = Call("connectenum", szParam, CALL_TIMEOUT_MS, 1, s_apszConnectInfo, 5, astrValue);
    if (iRet == 0)
        CopyConnectInfo(lpInfo, astrValue);
    return iRet;
}

int CDOZirizaHttpCall::Control(unsigned int uCtrl, const char* lpszParam)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    char szNum[48];
    snprintf(szNum, sizeof(szNum), "ctrl=%u&param=", uCtrl);
    QV_STRING strParam(szNum);
    strParam += doZirizaUriEncode(lpszParam);
    return Call("control", strParam.c_str(), CALL_TIMEOUT_MS, 1, nullptr, 0, nullptr);
}

int CDOZirizaHttpCall::ChannelSet(const char* lpszPeerID, unsigned int uType, const char* lpszParam)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    if (lpszPeerID == nullptr || !*lpszPeerID)
        return QV_TUNNEL_ERROR_BADPARAM;
    char szNum[48];
    QV_STRING strParam("peerid=");
    strParam += lpszPeerID;
    snprintf(szNum, sizeof(szNum), "&type=%u&param=", uType);
    strParam += szNum;
    strParam += doZirizaUriEncode(lpszParam);
    return Call("channelset", strParam.c_str(), CALL_TIMEOUT_MS, 1, nullptr, 0, nullptr);
}

int CDOZirizaHttpCall::PeerFwdCfg(int iSpeed, int iGate, int iUse, int iMaxSess, const char* lpszOption)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    QV_STRING strParam = PeerFwdCfgText(iSpeed, iGate, iUse, iMaxSess, lpszOption);
    return Call("peerfwdcfg", strParam.c_str(), CALL_TIMEOUT_MS, 1, nullptr, 0, nullptr);
}

int CDOZirizaHttpCall::PeerAuthSet(const char* lpszPeerID, const char* lpszInfo)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    if (lpszPeerID == nullptr || lpszInfo == nullptr || !*lpszPeerID || strlen(lpszPeerID) > 127 ||
        strlen(lpszInfo) > 255)
        return QV_TUNNEL_ERROR_BADPARAM;
    QV_STRING strParam("peerid=");
    strParam += doZirizaUriEncode(lpszPeerID);
    strParam += "&info=";
    strParam += doZirizaUriEncode(lpszInfo);
    return Call("peerauthset", strParam.c_str(), CALL_TIMEOUT_MS, 1, nullptr, 0, nullptr);
}

int CDOZirizaHttpCall::PeerAuthReply(const char* lpszHandle, unsigned int uErrCode, const char* lpszParam)
{
    if (!m_uInit)
        return QV_TUNNEL_ERROR_BADSTATUS;
    if (lpszHandle == nullptr || !*lpszHandle || (lpszParam != nullptr && strlen(lpszParam) > 255))
        return QV_TUNNEL_ERROR_BADPARAM;
    char szNum[48];
    QV_STRING strParam("handle=");
    strParam += lpszHandle;
    snprintf(szNum, sizeof(szNum), "&errcode=%u&param=", uErrCode);
    strParam += szNum;
    strParam += doZirizaUriEncode(lpszParam);
    return Call("peerauthreply", strParam.c_str(), CALL_TIMEOUT_MS, 1, nullptr, 0, nullptr);
}
