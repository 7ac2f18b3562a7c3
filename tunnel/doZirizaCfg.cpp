// Tunnel configuration, system information, the account file and the text helpers.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "doZiriza.h"
#include "qvCharSet.h"
#include "qvLog.h"
#include "qvSandbox.h"
#include "qvUtilize.h"

namespace {

// Decimal number as the configuration reads it: an optional sign and the leading digits
// (no digits read as 0), wrapping into 32 bits.
u32 CfgDecimal(const char* lpszText)
{
    const char* p = lpszText ? lpszText : "";
    u32 bNeg = 0;
    if (*p == '-' || *p == '+')
        bNeg = *p++ == '-';
    u32 v = 0;
    while (*p >= '0' && *p <= '9')
        v = v * 10 + (u32)(*p++ - '0');
    return bNeg ? 0u - v : v;
}

// Reads keys of one key-value text.
class CCfgReader
{
public:
    CCfgReader(IQVOMLParser* pParser, IQVString* pDoc) : m_pParser(pParser), m_pDoc(pDoc) {}

    const char* Get(const char* lpszPath) { return m_pParser->GetContent(m_pDoc, lpszPath); }
    u32 Has(const char* lpszPath) { return m_pParser->GetName(m_pDoc, lpszPath) != nullptr; }

    // A present key sets the number (an empty value reads 0).
    void Num(const char* lpszPath, u32& uValue)
    {
        if (const char* lpsz = Get(lpszPath))
            uValue = CfgDecimal(lpsz);
    }
    // Only a present, non-empty value sets the number.
    void NumSet(const char* lpszPath, u32& uValue)
    {
        const char* lpsz = Get(lpszPath);
        if (lpsz != nullptr && *lpsz)
            uValue = CfgDecimal(lpsz);
    }
    // A present key of at most uMax characters sets the text; a longer one is ignored.
    void Text(const char* lpszPath, QV_STRING& str, u32 uMax = QV_NOT_FOUND, u32 bUTF8 = 0)
    {
        const char* lpsz = Get(lpszPath);
        if (lpsz == nullptr || strlen(lpsz) > uMax)
            return;
        if (bUTF8)
            str = doZirizaToUTF8(lpsz);
        else
            str = lpsz;
    }

private:
    IQVOMLParser* m_pParser;
    IQVString* m_pDoc;
};

// Owns a parser and a string for the duration of one load.
struct OML_WORK_S
{
    IQVOMLParser* pParser = qvNewOMLParser();
    IQVString* pDoc = qvNewString("");
    ~OML_WORK_S()
    {
        if (pParser)
            pParser->Delete();
        if (pDoc)
            pDoc->Delete();
    }
};

// The child elements of a text's element as a text of their own ("" when it has none).
IQVString* ChildText(IQVOMLParser* pParser, IQVString* pDoc, const char* lpszName, u32 uMax)
{
    QV_STRING strPath(lpszName);
    strPath += ".";
    IQVString* pChild = pParser->GetEle(pDoc, strPath.c_str(), uMax, 0);
    return pChild ? pChild : qvNewString("");
}

// Reads the whole account file; 0 when it cannot be read.
u32 ReadSmallFile(const char* lpszPath, QV_STRING& strOut)
{
    static const u32 ACCOUNT_FILE_MAX = 64 * 1024;
    strOut.clear();
    u64 uSize = 0;
    if (!qvFileInfo(lpszPath, &uSize, nullptr, 0) || uSize > ACCOUNT_FILE_MAX)
        return 0;
    if (uSize == 0)
        return 1;
    if (!strOut.Alloc((u32)uSize, 0))
        return 0;
    u32 uLen = (u32)uSize;
    if (!qvFileRead(lpszPath, strOut.data, &uLen, 0))
    {
        strOut.clear();
        return 0;
    }
    strOut.data[uLen] = 0;
    strOut.uLength = (u32)strlen(strOut.data);
    return 1;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Defaults

void CDOZiriza::CleanCfg()
{
    delete[] m_Cfg.pRelay;
    m_Cfg.pRelay = nullptr;
    m_Cfg.uRelayCount = 0;
    m_Cfg.Proxy.uEnable = 0;
    m_Cfg.Proxy.strHost.clear();
    m_Cfg.Proxy.strUser.clear();
    m_Cfg.Proxy.strPass.clear();
    m_Cfg.uMode = MODE_NONE;
    m_Cfg.strNetCard.clear();

    CFG_BASE_S& b = m_Cfg.Base;
    b.uMaxSess = 0;
    b.uMaxHttp = 0;
    b.uMaxTunnel = 0;
    b.uConnectTimeout = 30;
    b.uAcceptSpeed = 0;
    b.uMaxParallel = 0;
    b.uSessBufSize = 64;
    b.uP2PTryTime = 6;
    b.uP2PTryInterval = 0;
    b.uLoginDelayInterval = 10;
    b.uLoginDelayMax = 300;
    b.uDisconnectDelay = 10;
    b.uHttpPortRange = 0;
    b.strAddrHttpListen.clear();

    m_Cfg.Session = CFG_SESSION_S{0, 0, 0, 15, 0};

    CFG_NODE_S& n = m_Cfg.Node;
    n.strSvrAddr.clear();
    n.strCltAddr.clear();
    n.strSvrName.clear();
    n.uDigest = 1;
    n.uClientOnly = 0;
    n.uDnsUseIPv4 = 0;
    n.uDnsUseIPv6 = 0;
    n.iDnsRandom = -1;
    n.uAuthEnable = 0;

    m_Cfg.AccountPass.uPresent = 0;
    m_Cfg.AccountPass.strUser.clear();
    m_Cfg.AccountPass.strPass.clear();
    m_Cfg.AccountPass.strComment.clear();
    m_Cfg.AccountCode.uPresent = 0;
    m_Cfg.AccountCode.strPrefix.clear();
    m_Cfg.AccountCode.strDomain.clear();
    m_Cfg.AccountCode.strComment.clear();

    m_Cfg.Log.aucLevel[0] = 1;
    m_Cfg.Log.aucLevel[1] = 1;
    m_Cfg.Log.aucLevel[2] = 0;
    m_Cfg.Log.aucLevel[3] = 0;
    m_Cfg.Log.uFileSize = 0;
    m_Cfg.Log.uFileNum = 0;
    m_Cfg.Log.uDebug = 0;

    m_Cfg.PxyFilter.uCount = 0;
    for (u32 i = 0; i < PXY_FILTER_MAX; i++)
    {
        m_Cfg.PxyFilter.auType[i] = 0;
        m_Cfg.PxyFilter.astrPattern[i].clear();
    }
    memset(&m_Cfg.SvrFilter, 0, sizeof(m_Cfg.SvrFilter));

    m_Cfg.PeerForward = CFG_PEER_FWD_S{524288, 0, 1, 3, 0, 0, 0};
    m_Cfg.NetCardFilter.uMode = 0;
    m_Cfg.NetCardFilter.strList.clear();

    CFG_UTI_CLIENT_S& u = m_Cfg.UtiClient;
    u.uTunnelIdlePort = 0;
    u.uTunnelOnDemand = 0;
    u.uDirectTunnelAccept = 1;
    u.uDirectTunnelEnable = 1;
    u.uLanScanEnable = 1;
    u.uChannelMode = 3;
    u.uMultiPathMode = 3;
    u.uBatchReceive = 1;
    u.strLanScanLabel = "doZiriza";
    m_Cfg.UtiForward.uPortListen = 8000;

    SYS_INFO_S& s = m_Cfg.SysInfo;
    for (QV_STRING* p : {&s.strDevID, &s.strMacAddr, &s.strCpuMHz, &s.strMemSize, &s.strBrwVer, &s.strOSVer,
                         &s.strOSSpk, &s.strOSType})
        p->clear();
}

// ---------------------------------------------------------------------------------------------
// Loading

u32 CDOZiriza::LoadCfg(const char* lpszPath)
{
    QV_STRING strFull;
    if (!doZirizaFullPath(lpszPath, strFull))
    {
        qvLogOut(3, "Tunnel::LoadCfg: Build full path failed, Path=%s", lpszPath ? lpszPath : "");
        return 0;
    }
    QV_STRING strText;
    if (!doZirizaStatic().LoadCfgParam(strFull.c_str(), strText))
    {
        qvLogOut(3, "Tunnel: Load config, load file failed,Path=%s", strFull.c_str());
        return 0;
    }
    OML_WORK_S work;
    if (work.pParser == nullptr)
    {
        qvLogOut(3, "Tunnel: Load config, new parser failed");
        return 0;
    }
    if (work.pDoc == nullptr || !work.pDoc->Assign(strText.c_str()))
    {
        qvLogOut(3, "Tunnel: Load config, new string failed");
        return 0;
    }
    CCfgReader r(work.pParser, work.pDoc);
    r.Text("NetCard", m_Cfg.strNetCard);

    // Relay servers: items with Type 0 or 1 and an address of 1 to 127 characters.
    QV_RELAY_INFO_S aRelay[RELAY_MAX];
    u32 uRelay = 0;
    for (u32 i = 0; i < RELAY_MAX; i++)
    {
        IQVString* pItem = work.pParser->GetEle(work.pDoc, "RelayList.", 1, i);
        if (pItem == nullptr)
            break;
        const char* lpszType = work.pParser->GetContent(pItem, ".Type");
        u32 uType = lpszType ? CfgDecimal(lpszType) : 2;
        const char* lpszAddr = work.pParser->GetContent(pItem, ".Addr");
        if ((uType == 0 || uType == 1) && lpszAddr != nullptr && *lpszAddr && strlen(lpszAddr) <= 127)
        {
            memset(&aRelay[uRelay], 0, sizeof(aRelay[uRelay]));
            aRelay[uRelay].uType = uType;
            strcpy(aRelay[uRelay].szAddr, lpszAddr);
            uRelay++;
        }
        pItem->Delete();
    }
    if (uRelay != 0)
    {
        m_Cfg.pRelay = new (std::nothrow) QV_RELAY_INFO_S[uRelay];
        if (m_Cfg.pRelay == nullptr)
            return 0;
        memcpy(m_Cfg.pRelay, aRelay, uRelay * sizeof(QV_RELAY_INFO_S));
        m_Cfg.uRelayCount = uRelay;
    }

    r.Num("Proxy.Enable", m_Cfg.Proxy.uEnable);
    r.Text("Proxy.Host", m_Cfg.Proxy.strHost);
    r.Text("Proxy.User", m_Cfg.Proxy.strUser);
    r.Text("Proxy.Pass", m_Cfg.Proxy.strPass);

    u32 uMode = r.Has("ModeClient") ? MODE_CLIENT : (r.Has("ModeForward") ? MODE_FORWARD : MODE_NONE);
    if (uMode == MODE_NONE)
        return 0;
    m_Cfg.uMode = uMode;
    IQVString* pMode = ChildText(work.pParser, work.pDoc, uMode == MODE_CLIENT ? "ModeClient" : "ModeForward",
                                 MODE_CHILD_MAX);
    if (pMode == nullptr)
        return 0;
    u32 uOk = uMode == MODE_CLIENT ? LoadCfgClient(work.pParser, pMode) : LoadCfgForward(work.pParser, pMode);
    pMode->Delete();
    return uOk;
}

u32 CDOZiriza::LoadCfgClient(IQVOMLParser* pParser, IQVString* pText)
{
    return LoadCfgMode(pParser, pText, MODE_CLIENT);
}

u32 CDOZiriza::LoadCfgForward(IQVOMLParser* pParser, IQVString* pText)
{
    return LoadCfgMode(pParser, pText, MODE_FORWARD);
}

u32 CDOZiriza::LoadCfgMode(IQVOMLParser* pParser, IQVString* pText, u32 uMode)
{
    if (pParser == nullptr)
    {
        qvLogOut(3, "Tunnel: Load config server, new parser failed");
        return 0;
    }
    if (pText == nullptr)
    {
        qvLogOut(3, "Tunnel: Load config server, new string failed");
        return 0;
    }
    const u32 bClient = uMode == MODE_CLIENT;
    CCfgReader r(pParser, pText);
    CFG_BASE_S& b = m_Cfg.Base;
    r.Num("Base.MaxSess", b.uMaxSess);
    if (bClient)
        r.Num("Base.MaxHttp", b.uMaxHttp);
    r.Num("Base.MaxTunnel", b.uMaxTunnel);
    if (bClient)
        r.Num("Base.ConnectTimeout", b.uConnectTimeout);
    r.Num("Base.AcceptSpeed", b.uAcceptSpeed);
    r.Num("Base.MaxParallel", b.uMaxParallel);
    r.Num("Base.SessBufSize", b.uSessBufSize);
    r.Num("Base.P2PTryTime", b.uP2PTryTime);
    r.Num("Base.P2PTryInterval", b.uP2PTryInterval);
    r.Num("Base.LoginDelayInterval", b.uLoginDelayInterval);
    r.Num("Base.LoginDelayMax", b.uLoginDelayMax);
    r.Num("Base.DisconnectDelay", b.uDisconnectDelay);
    if (bClient)
    {
        r.Num("Base.HttpPortRange", b.uHttpPortRange);
        r.Text("Base.AddrHttpListen", b.strAddrHttpListen);
    }

    CFG_SESSION_S& s = m_Cfg.Session;
    r.Num("Session.UpActiveTimeout", s.uUpActiveTimeout);
    r.Num("Session.DownActiveTimeout", s.uDownActiveTimeout);
    r.Num("Session.ActiveCombine", s.uActiveCombine);
    r.Num("Session.BlockedTimeout", s.uBlockedTimeout);
    r.Num("Session.ProgressReport", s.uProgressReport);

    CFG_NODE_S& n = m_Cfg.Node;
    r.Text("Node.SvrAddr", n.strSvrAddr);
    r.Text("Node.CltAddr", n.strCltAddr);
    r.Text("Node.SvrName", n.strSvrName);
    n.uDigest = 1;
    r.NumSet("Node.Digest", n.uDigest);
    r.Num("Node.ClientOnly", n.uClientOnly);
    r.Num("Node.DnsUseIPv4", n.uDnsUseIPv4);
    r.Num("Node.DnsUseIPv6", n.uDnsUseIPv6);
    u32 uRandom = (u32)n.iDnsRandom;
    r.Num("Node.DnsRandom", uRandom);
    n.iDnsRandom = (s32)uRandom;
    r.Num("Node.AuthEnable", n.uAuthEnable);

    CFG_ACCOUNT_CODE_S& ac = m_Cfg.AccountCode;
    ac.uPresent = r.Has("AccountCode");
    r.Text("AccountCode.Prefix", ac.strPrefix);
    r.Text("AccountCode.Domain", ac.strDomain, 47);
    r.Text("AccountCode.Comment", ac.strComment, 127, 1);
    CFG_ACCOUNT_PASS_S& ap = m_Cfg.AccountPass;
    ap.uPresent = r.Has("AccountPass");
    r.Text("AccountPass.User", ap.strUser, 127, 1);
    r.Text("AccountPass.Pass", ap.strPass, 127);
    r.Text("AccountPass.Comment", ap.strComment, 127, 1);

    for (u32 i = 0; i < 4; i++)
    {
        char szKey[16];
        snprintf(szKey, sizeof(szKey), "Log.Level%u", i);
        u32 uLevel = m_Cfg.Log.aucLevel[i];
        r.Num(szKey, uLevel);
        m_Cfg.Log.aucLevel[i] = uLevel != 0;
    }
    r.Num("Log.FileSize", m_Cfg.Log.uFileSize);
    r.Num("Log.FileNum", m_Cfg.Log.uFileNum);
    r.Num("Log.Debug", m_Cfg.Log.uDebug);

    CFG_PEER_FWD_S& f = m_Cfg.PeerForward;
    CFG_UTI_CLIENT_S& u = m_Cfg.UtiClient;
    if (bClient)
    {
        LoadCfgPxyFilter(pParser, pText);
        LoadCfgClientSvrFilter(pParser, pText);
        r.NumSet("PeerForward.Speed", f.uSpeed);
        r.NumSet("PeerForward.Gate", f.uGate);
        r.NumSet("PeerForward.Use", f.uUse);
        r.NumSet("PeerForward.MaxSess", f.uMaxSess);
        r.NumSet("PeerForward.StatEnable", f.uStatEnable);
        r.NumSet("PeerForward.IntervalByte", f.uIntervalByte);
        r.NumSet("PeerForward.IntervalSecond", f.uIntervalSecond);
        r.Num("NetCardFilter.Mode", m_Cfg.NetCardFilter.uMode);
        r.Text("NetCardFilter.List", m_Cfg.NetCardFilter.strList, QV_NOT_FOUND, 1);
        r.NumSet("Utilize.ForwardSpeed", f.uSpeed);
        r.NumSet("Utilize.ForwardGate", f.uGate);
        r.NumSet("Utilize.ForwardUse", f.uUse);
        r.NumSet("Utilize.ForwardMaxSess", f.uMaxSess);
        r.Num("Utilize.TunnelIdlePort", u.uTunnelIdlePort);
        r.Num("Utilize.TunnelOnDemand", u.uTunnelOnDemand);
        r.Num("Utilize.DirectTunnelAccept", u.uDirectTunnelAccept);
        r.Num("Utilize.DirectTunnelEnable", u.uDirectTunnelEnable);
        r.Num("Utilize.LanScanEnable", u.uLanScanEnable);
        r.Text("Utilize.LanScanLabel", u.strLanScanLabel);
        r.Num("Utilize.ChannelMode", u.uChannelMode);
        r.Num("Utilize.MultiPathMode", u.uMultiPathMode);
        r.Num("Utilize.BatchReceive", u.uBatchReceive);
    }
    else
    {
        r.Num("Utilize.PortListen", m_Cfg.UtiForward.uPortListen);
        f.uSpeed = f.uGate = f.uUse = f.uMaxSess = 0;
        r.Num("NetCardFilter.Mode", m_Cfg.NetCardFilter.uMode);
        r.Text("NetCardFilter.List", m_Cfg.NetCardFilter.strList);
        u.uTunnelOnDemand = u.uDirectTunnelAccept = u.uDirectTunnelEnable = u.uLanScanEnable = 0;
        r.Num("Utilize.DirectTunnelEnable", u.uDirectTunnelEnable);
        r.Num("Utilize.TunnelOnDemand", u.uTunnelOnDemand);
        r.Num("Utilize.ChannelMode", u.uChannelMode);
        r.Num("Utilize.MultiPathMode", u.uMultiPathMode);
        r.Num("Utilize.BatchReceive", u.uBatchReceive);
    }

    if (n.strSvrAddr.empty() || n.strCltAddr.empty() || n.strSvrName.empty())
    {
        qvLogOut(0, "Tunnel: Load config, Node parameter invalid");
        return 0;
    }
    if (!ac.uPresent && !ap.uPresent)
    {
        qvLogOut(0, "Tunnel: Load config, Account mode invalid");
        return 0;
    }
    if (b.uMaxSess < 16)
        b.uMaxSess = 16;
    if (b.uMaxTunnel < 8)
        b.uMaxTunnel = 8;
    if (b.uSessBufSize < 64)
        b.uSessBufSize = 64;
    if (b.uP2PTryTime == 0)
        b.uP2PTryTime = 6;
    if (b.uLoginDelayInterval == 0)
        b.uLoginDelayInterval = 10;
    if (b.uLoginDelayMax == 0)
        b.uLoginDelayMax = 300;
    if (b.uDisconnectDelay == 0)
        b.uDisconnectDelay = 10;
    if (bClient && b.uConnectTimeout < 10)
        b.uConnectTimeout = 10;
    return 1;
}

u32 CDOZiriza::LoadCfgPxyFilter(IQVOMLParser* pParser, IQVString* pText)
{
    CFG_PXY_FILTER_S& pf = m_Cfg.PxyFilter;
    pf.uCount = 0;
    for (u32 i = 0; i < PXY_FILTER_MAX; i++)
    {
        IQVString* pItem = pParser->GetEle(pText, "PxyFilter.", 1, i);
        if (pItem == nullptr)
            break;
        QV_STRING strName(pParser->GetName(pItem, ""));
        QV_STRING strContent(pParser->GetContent(pItem, ""));
        pItem->Delete();
        u32 uBase = strName == "Path" ? 0 : (strName == "Param" ? 4 : 8);
        u32 uLen = strContent.length();
        if (uBase == 8 || uLen < 1 || uLen > 31)
            continue;
        u32 bHead = strContent.c_str()[0] == '*';
        u32 bTail = strContent.c_str()[uLen - 1] == '*';
        u32 uType = 0;
        QV_STRING strPattern;
        if (bHead && bTail)
        {
            if (uLen < 3)
                continue;
            uType = 3;
            strPattern = strContent.substr(1, uLen - 2);
        }
        else if (bTail)
        {
            if (uLen < 2)
                continue;
            uType = 1;
            strPattern = strContent.substr(0, uLen - 1);
        }
        else if (bHead)
        {
            if (uLen < 2)
                continue;
            uType = 2;
            strPattern = strContent.substr(1);
        }
        else
            strPattern = strContent;
        pf.auType[pf.uCount] = uBase + uType;
        pf.astrPattern[pf.uCount] = strPattern;
        pf.uCount++;
    }
    return 1;
}

u32 CDOZiriza::LoadCfgClientSvrFilter(IQVOMLParser* pParser, IQVString* pText)
{
    const char* lpszName = pParser->GetName(pText, "SvrFilter");
    if (lpszName == nullptr || !*lpszName)
        return 0;
    CFG_SVR_FILTER_S& sf = m_Cfg.SvrFilter;
    memset(&sf, 0, sizeof(sf));
    for (u32 i = 0; i < SVR_FILTER_MAX; i++)
    {
        IQVString* pItem = pParser->GetEle(pText, "SvrFilter.", 1, i);
        if (pItem == nullptr)
            break;
        QV_STRING strContent(pParser->GetContent(pItem, ""));
        pItem->Delete();
        if (strContent.empty())
            continue;
        QV_STRING strMask;
        QV_STRING strPorts;
        u32 uColon = strContent.rfind(':');
        if (uColon == QV_NOT_FOUND)
            strMask = strContent;
        else
        {
            strMask = strContent.substr(0, uColon);
            strPorts = strContent.substr(uColon + 1);
        }
        struct in_addr addr;
        if (strMask.length() >= 128 || inet_pton(AF_INET, strMask.c_str(), &addr) != 1)
        {
            qvLogOut(1, "Tunnel: Load config, Parse server filter, Invalid net mask, NetMask=%s", strMask.c_str());
            continue;
        }
        SVR_FILTER_ITEM_S& item = sf.aItem[sf.uCount++];
        item.uMask = addr.s_addr;
        item.uRangeCount = 0;
        // Port list: parts separated by ',' or ';', each "port" or "begin-end" / "begin~end".
        const char* p = strPorts.c_str();
        u32 uParts = 0;
        while (!strPorts.empty() && uParts < SVR_RANGE_MAX)
        {
            const char* lpszEnd = p + strcspn(p, ",;");
            QV_STRING strPart(p, (u32)(lpszEnd - p));
            uParts++;
            u32 uSep = strPart.find_first_of("-~");
            u32 uBegin = CfgDecimal(strPart.c_str());
            u32 uEnd = uSep == QV_NOT_FOUND ? uBegin : CfgDecimal(strPart.c_str() + uSep + 1);
            if (uBegin >= 1 && uBegin <= 65535 && uEnd >= 1 && uEnd <= 65535 && uBegin <= uEnd)
            {
                item.aRange[item.uRangeCount].uBegin = uBegin;
                item.aRange[item.uRangeCount].uEnd = uEnd;
                item.uRangeCount++;
            }
            else
                qvLogOut(1, "Tunnel: Load config, Parse server filter, Invalid port range, uPortBegin=%u, uPortEnd=%u",
                         uBegin, uEnd);
            if (*lpszEnd == 0)
                break;
            p = lpszEnd + 1;
        }
    }
    for (u32 i = 0; i < sf.uCount; i++)
    {
        const SVR_FILTER_ITEM_S& item = sf.aItem[i];
        const u8* pb = reinterpret_cast<const u8*>(&item.uMask);
        char szText[512];
        int n = snprintf(szText, sizeof(szText), "%u.%u.%u.%u:", pb[0], pb[1], pb[2], pb[3]);
        for (u32 k = 0; k < item.uRangeCount && n > 0 && (u32)n < sizeof(szText); k++)
            n += snprintf(szText + n, sizeof(szText) - n, "%s%u-%u", k ? "," : "", item.aRange[k].uBegin,
                          item.aRange[k].uEnd);
        qvLogOut(3, "Tunnel: Load config, server filter item: %s", szText);
    }
    return 1;
}

u32 CDOZiriza::ControlReloadCfg(const char* lpszText)
{
    if (m_Cfg.uMode != MODE_CLIENT)
        return DOZIRIZA_RES_BADSTATUS;
    OML_WORK_S work;
    if (work.pParser == nullptr || work.pDoc == nullptr || !work.pDoc->Assign(lpszText ? lpszText : ""))
        return DOZIRIZA_RES_SYSTEM;
    LoadCfgClientSvrFilter(work.pParser, work.pDoc);
    return DOZIRIZA_RES_OK;
}

u32 CDOZiriza::LoadSysInfo(const char* lpszSysInfo)
{
    OML_WORK_S work;
    if (work.pParser == nullptr)
    {
        qvLogOut(3, "Tunnel: Load system info, new parser failed");
        return 0;
    }
    if (work.pDoc == nullptr || !work.pDoc->Assign(doZirizaToUTF8(lpszSysInfo ? lpszSysInfo : "").c_str()))
    {
        qvLogOut(3, "Tunnel: Load system info, new string failed");
        return 0;
    }
    CCfgReader r(work.pParser, work.pDoc);
    SYS_INFO_S& s = m_Cfg.SysInfo;
    r.Text("DevID", s.strDevID);
    r.Text("MacAddr", s.strMacAddr);
    r.Text("CpuMHz", s.strCpuMHz);
    r.Text("MemSize", s.strMemSize);
    r.Text("BrwVer", s.strBrwVer);
    r.Text("OSVer", s.strOSVer);
    r.Text("OSSpk", s.strOSSpk);
    r.Text("OSType", s.strOSType);
    return !s.strDevID.empty();
}

// ---------------------------------------------------------------------------------------------
// Account

QV_STRING CDOZiriza::AccountFilePath()
{
    const char* lpszSub = m_Cfg.uMode == MODE_CLIENT ? "doZirizaC" : (m_Cfg.uMode == MODE_FORWARD ? "doZirizaF" : "doZiriza");
    char szDir[DOZIRIZA_PATH_MAX + 1];
    if (!qvSandboxGetSub(lpszSub, szDir, sizeof(szDir), 1))
        return QV_STRING();
    QV_STRING str(szDir);
    str += "/doZiriza.acc";
    return str;
}

u32 CDOZiriza::LoadAccountFile(u32* lpuType, QV_STRING& strDomain, QV_STRING& strUser, QV_STRING& strPass,
                               QV_STRING& strComment, QV_STRING* lpstrPath)
{
    *lpuType = ACCOUNT_NONE;
    QV_STRING strPath = AccountFilePath();
    if (lpstrPath)
        *lpstrPath = strPath;
    QV_STRING strText;
    if (strPath.empty() || !ReadSmallFile(strPath.c_str(), strText))
    {
        qvLogOut(3, "Tunnel: LoadAccountFile, load file invalid, Path=%s", strPath.c_str());
        return 0;
    }
    if (strText.empty())
    {
        qvLogOut(3, "Tunnel: LoadAccountFile, empty file");
        return 0;
    }
    OML_WORK_S work;
    if (work.pParser == nullptr || work.pDoc == nullptr || !work.pDoc->Assign(strText.c_str()))
        return 0;
    CCfgReader r(work.pParser, work.pDoc);
    QV_STRING strName(work.pParser->GetName(work.pDoc, ""));
    if (strName == "AccountCode")
    {
        strDomain.clear();
        strComment.clear();
        r.Text("AccountCode.Domain", strDomain, 47);
        r.Text("AccountCode.Comment", strComment, 127, 1);
        *lpuType = ACCOUNT_CODE;
        return 1;
    }
    if (strName == "AccountPass")
    {
        strUser.clear();
        strPass.clear();
        strComment.clear();
        r.Text("AccountPass.User", strUser, 127, 1);
        r.Text("AccountPass.Pass", strPass, 127);
        r.Text("AccountPass.Comment", strComment, 127, 1);
        *lpuType = ACCOUNT_PASS;
        return 1;
    }
    return 0;
}

u32 CDOZiriza::BuildAccountInfo(ACCOUNT_INFO_S& info)
{
    u32 uFileType = ACCOUNT_NONE;
    QV_STRING strDomain, strUser, strPass, strComment;
    LoadAccountFile(&uFileType, strDomain, strUser, strPass, strComment, nullptr);
    info = ACCOUNT_INFO_S();
    if (m_Cfg.AccountCode.uPresent)
    {
        if (uFileType != ACCOUNT_CODE)
        {
            strDomain = m_Cfg.AccountCode.strDomain;
            strComment = m_Cfg.AccountCode.strComment;
        }
        QV_STRING strLogin = m_Cfg.AccountCode.strPrefix;
        strLogin += m_Cfg.SysInfo.strDevID;
        strLogin += "@";
        strLogin += strDomain;
        if (strLogin.length() > 127)
            strLogin.assign(strLogin.c_str(), 127);
        info.uType = ACCOUNT_CODE;
        info.strDomain = strDomain;
        info.strUser = strLogin;
        info.strComment = strComment;
        return 1;
    }
    if (m_Cfg.AccountPass.uPresent)
    {
        if (uFileType != ACCOUNT_PASS)
        {
            strUser = m_Cfg.AccountPass.strUser;
            strPass = m_Cfg.AccountPass.strPass;
            strComment = m_Cfg.AccountPass.strComment;
            // The domain is the part after the user's last '@', up to a ':' after it.
            strDomain.clear();
            u32 uAt = strUser.rfind('@');
            if (uAt != QV_NOT_FOUND)
            {
                QV_STRING strRest = strUser.substr(uAt + 1);
                u32 uColon = strRest.find(':');
                strDomain = uColon == QV_NOT_FOUND ? strRest : strRest.substr(0, uColon);
            }
        }
        else
            strDomain.clear();
        if (strUser.empty())
            return 0;
        info.uType = ACCOUNT_PASS;
        info.strDomain = strDomain;
        info.strUser = strUser;
        info.strPass = strPass;
        info.strComment = strComment;
        return 1;
    }
    return 0;
}

u32 CDOZiriza::SaveAccountFile(u32 uType, const char* lpszDomain, const char* lpszComment)
{
    if (uType != ACCOUNT_CODE)
        return 1;
    QV_STRING strPath = AccountFilePath();
    if (strPath.empty())
        return 0;
    u32 uFileType = ACCOUNT_NONE;
    QV_STRING strFileDomain, strUser, strPass, strFileComment;
    u32 bExisted = LoadAccountFile(&uFileType, strFileDomain, strUser, strPass, strFileComment, nullptr);
    // A user and password account is left as it is: this save writes only the code form.
    if (uFileType == ACCOUNT_PASS)
        return 1;

    QV_STRING strDomain;
    if (lpszDomain != nullptr)
        strDomain = lpszDomain;
    else if (uFileType == ACCOUNT_CODE && !strFileDomain.empty())
        strDomain = strFileDomain;
    else
        strDomain = m_Cfg.AccountCode.strDomain;
    QV_STRING strComment;
    if (lpszComment != nullptr)
        strComment = CQVAutoString(lpszComment, QV_CHARSET_UTF8, 0).GetStr(QV_CHARSET_SYS);
    else if (uFileType == ACCOUNT_CODE)
        strComment = strFileComment;

    // Domain and comment are escaped: a server-given domain must not add elements to the file.
    QV_STRING strText("(AccountCode){(Domain){");
    strText += omlEncode(strDomain.c_str());
    strText += "}(Comment){";
    strText += omlEncode(strComment.c_str());
    strText += "}}";

    QV_STRING strBak(strPath);
    strBak += ".bak";
    if (bExisted && !qvFileInfo(strBak.c_str(), nullptr, nullptr, 0))
        qvFileCopy(strPath.c_str(), strBak.c_str());

    // The new text goes to a file beside the account file and replaces it by rename, so a
    // failed or interrupted write never leaves the account file missing or half written.
    QV_STRING strTmp(strPath);
    strTmp += ".tmp";
    for (u32 uTry = 0; uTry < 3; uTry++)
    {
        u32 uLen = strText.length();
        u32 uOk = qvFileWrite(strTmp.c_str(), strText.c_str(), &uLen, ~(u64)0) && uLen == strText.length();
        QV_STRING strBack;
        if (uOk && ReadSmallFile(strTmp.c_str(), strBack) && strBack == strText.c_str() &&
            qvFileMove(strTmp.c_str(), strPath.c_str()))
            return 1;
        qvFileDelete(strTmp.c_str());
    }
    qvLogOut(0, "Tunnel: SaveAccountFile, write failed, Path=%s", strPath.c_str());
    return 0;
}

QV_STRING CDOZiriza::CommentGet()
{
    if (m_LoginInfo.uStatus == QV_TUNNEL_STA_LOGIN_SUCCESS)
        return m_LoginInfo.strComment;
    u32 uType = ACCOUNT_NONE;
    QV_STRING strDomain, strUser, strPass, strComment;
    if (!LoadAccountFile(&uType, strDomain, strUser, strPass, strComment, nullptr))
        return QV_STRING();
    return strComment;
}

u32 CDOZiriza::Redirect(const char* lpszParam)
{
    OML_WORK_S work;
    if (work.pParser == nullptr || work.pDoc == nullptr || !work.pDoc->Assign(lpszParam ? lpszParam : ""))
        return 0;
    CCfgReader r(work.pParser, work.pDoc);
    QV_STRING strName, strAddr;
    r.Text("Redirect.SvrName", strName);
    r.Text("Redirect.SvrAddr", strAddr);
    if (strName.empty() || strAddr.empty())
        return 0;
    m_Redirect.strSvrName = strName;
    m_Redirect.strSvrAddr = strAddr;
    qvLogOut(0, "Tunnel::Redirect, SvrAddr=%s, SvrName=%s", strAddr.c_str(), strName.c_str());
    return 1;
}

void CDOZiriza::LoginCfg(const char* lpszParam, const char* lpszSess)
{
    const char* lpszDirect = omlGetContent(lpszParam, "Direct");
    m_uDirectAllowed = (lpszDirect == nullptr || !*lpszDirect) ? 1 : CfgDecimal(lpszDirect);
    m_strSvrSess = lpszSess ? lpszSess : "";
    if (m_Cfg.UtiClient.uDirectTunnelEnable && !m_uDirectAllowed)
        TunnelFreeDirect();
}

// ---------------------------------------------------------------------------------------------
// Text helpers

const char* CDOZiriza::omlEncode(const char* lpszText)
{
    if (m_pParser == nullptr)
        m_pParser = qvNewOMLParser();
    if (m_pStr1 == nullptr)
        m_pStr1 = qvNewString("");
    if (m_pParser == nullptr || m_pStr1 == nullptr || !m_pStr1->Assign(lpszText ? lpszText : "") ||
        !m_pParser->Encode(m_pStr1))
        return "";
    return m_pStr1->CStr();
}

const char* CDOZiriza::omlGetName(const char* lpszText, const char* lpszPath)
{
    if (m_pParser == nullptr)
        m_pParser = qvNewOMLParser();
    if (m_pStr2 == nullptr)
        m_pStr2 = qvNewString("");
    if (lpszText == nullptr || m_pParser == nullptr || m_pStr2 == nullptr || !m_pStr2->Assign(lpszText))
        return nullptr;
    return m_pParser->GetName(m_pStr2, lpszPath);
}

const char* CDOZiriza::omlGetContent(const char* lpszText, const char* lpszPath)
{
    if (m_pParser == nullptr)
        m_pParser = qvNewOMLParser();
    if (m_pStr2 == nullptr)
        m_pStr2 = qvNewString("");
    if (lpszText == nullptr || m_pParser == nullptr || m_pStr2 == nullptr || !m_pStr2->Assign(lpszText))
        return nullptr;
    return m_pParser->GetContent(m_pStr2, lpszPath);
}

const char* CDOZiriza::ParseCmd(const char* lpszText, char* lpszCmd, u32 uSize)
{
    if (lpszText == nullptr || lpszCmd == nullptr || uSize == 0)
        return nullptr;
    const char* lpszQ = strchr(lpszText, '?');
    size_t uLen = lpszQ ? (size_t)(lpszQ - lpszText) : strlen(lpszText);
    if (uLen > uSize - 1)
        return nullptr;
    memcpy(lpszCmd, lpszText, uLen);
    lpszCmd[uLen] = 0;
    return lpszQ ? lpszQ + 1 : lpszText + uLen;
}

u32 CDOZiriza::ParseParam(const char* lpszText, const char* lpszName, char cSep, QV_STRING& strValue)
{
    if (lpszText == nullptr || lpszName == nullptr)
        return 0;
    size_t uNameLen = strlen(lpszName);
    const char* p = lpszText;
    for (;;)
    {
        const char* lpszEnd = strchr(p, '&');
        size_t uSegLen = lpszEnd ? (size_t)(lpszEnd - p) : strlen(p);
        const char* lpszSep = (const char*)memchr(p, cSep, uSegLen);
        // A segment without separator, or starting with it, is all key with an empty value.
        size_t uKeyLen = (lpszSep == nullptr || lpszSep == p) ? uSegLen : (size_t)(lpszSep - p);
        if (uKeyLen == uNameLen && memcmp(p, lpszName, uNameLen) == 0)
        {
            if (lpszSep == nullptr || lpszSep == p)
                strValue.clear();
            else
                strValue.assign(lpszSep + 1, (u32)(uSegLen - uKeyLen - 1));
            return 1;
        }
        if (lpszEnd == nullptr)
            return 0;
        p = lpszEnd + 1;
    }
}

QV_STRING CDOZiriza::DecodeUriComponent(const char* lpszText)
{
    QV_STRING str;
    if (lpszText == nullptr)
        return str;
    size_t uLen = strlen(lpszText);
    if (!str.Alloc((u32)uLen, 0))
        return str;
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    char* pOut = str.data;
    for (size_t i = 0; i < uLen; i++)
    {
        int hi, lo;
        // A decoded zero byte would end the text early; it stays encoded.
        if (lpszText[i] == '%' && i + 2 < uLen && (hi = hex(lpszText[i + 1])) >= 0 &&
            (lo = hex(lpszText[i + 2])) >= 0 && (hi | lo) != 0)
        {
            *pOut++ = (char)(hi * 16 + lo);
            i += 2;
        }
        else
            *pOut++ = lpszText[i];
    }
    *pOut = 0;
    str.uLength = (u32)(pOut - str.data);
    return str;
}

u32 CDOZiriza::PeerIDIsSvrName(const char* lpszPeer)
{
    if (lpszPeer == nullptr)
        return 0;
    const QV_STRING& strSvr = m_Redirect.strSvrName.empty() ? m_Cfg.Node.strSvrName : m_Redirect.strSvrName;
    return strSvr == lpszPeer;
}

u32 CDOZiriza::PeerIDFill(QV_STRING& strPeer)
{
    if (!strPeer.empty())
    {
        QV_STRING strUtf8 = doZirizaToUTF8(strPeer.c_str());
        if (strUtf8.empty())
            return 1;
        strPeer = strUtf8;
    }
    if (PeerIDIsSvrName(strPeer.c_str()))
        return 0;
    const QV_STRING& strPrefix = m_Cfg.AccountCode.strPrefix;
    if (!strPrefix.empty() && strPeer.compare(0, strPrefix.length(), strPrefix.c_str()) != 0)
    {
        QV_STRING str(strPrefix);
        str += strPeer;
        strPeer = str;
    }
    if (strPeer.find('@') == QV_NOT_FOUND)
    {
        strPeer += "@";
        strPeer += m_Cfg.AccountCode.strDomain;
    }
    return 0;
}

QV_STRING CDOZiriza::PeerIDTrim(const char* lpszPeer)
{
    QV_STRING str(lpszPeer ? lpszPeer : "");
    const QV_STRING& strPrefix = m_Cfg.AccountCode.strPrefix;
    if (!strPrefix.empty() && str.compare(0, strPrefix.length(), strPrefix.c_str()) == 0)
        str = str.substr(strPrefix.length());
    u32 uAt = str.rfind('@');
    const QV_STRING& strDomain = m_Cfg.AccountCode.strDomain;
    if (uAt != QV_NOT_FOUND && strncmp(str.c_str() + uAt + 1, strDomain.c_str(), strDomain.length()) == 0)
        str = str.substr(0, uAt);
    return str;
}
