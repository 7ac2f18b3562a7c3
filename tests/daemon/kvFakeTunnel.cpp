#include "kvFakeTunnel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "qvLibTunnel.h"

namespace kvfake
{
const char* const LIBRARY_LOG_LINE = "FAKE-TUNNEL library line that no daemon file may hold";
}

namespace
{
std::mutex g_mutex;
TfnTunnelEventProc g_pfnEvent = nullptr;
bool g_bStarted = false;
std::thread g_events;
std::vector<std::string> g_cons;

struct Control
{
    std::map<std::string, std::vector<std::string>> values;
    int Int(const char* lpszKey, int iDefault) const
    {
        auto it = values.find(lpszKey);
        return it == values.end() || it->second.empty() ? iDefault : atoi(it->second.back().c_str());
    }
    bool Has(const char* lpszKey, const std::string& strValue) const
    {
        auto it = values.find(lpszKey);
        if (it == values.end())
            return false;
        for (auto& v : it->second)
            if (v == strValue)
                return true;
        return false;
    }
};

Control ReadControl()
{
    Control c;
    std::ifstream in("kv-fake-tunnel.ctl");
    std::string line;
    while (std::getline(in, line))
    {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            c.values[line.substr(0, eq)].push_back(line.substr(eq + 1));
    }
    return c;
}

void Journal(const std::string& line)
{
    std::ofstream out("kv-fake-tunnel.log", std::ios::app);
    out << line << "\n";
}

std::string Key(const char* p, unsigned t, unsigned e, const char* l, const char* c)
{
    std::ostringstream ss;
    ss << (p ? p : "") << "|" << t << "|" << e << "|" << (l ? l : "") << "|" << (c ? c : "");
    return ss.str();
}

}  // namespace

namespace kvfake
{
void Reset()
{
    doZirizaStop();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_cons.clear();
    g_pfnEvent = nullptr;
}

std::vector<std::string> Connections()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_cons;
}
}  // namespace kvfake

extern "C" {

void doZirizaCallbackSet(TfnTunnelEventProc lpfnEvent)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_pfnEvent = lpfnEvent;
}

int doZirizaSetCfgParam(const char* lpszCfg)
{
    return lpszCfg && strlen(lpszCfg) >= 8 ? 0 : QV_TUNNEL_ERROR_BADPARAM;
}

int doZirizaSysInfo(const char*, char* lpszOut, unsigned int uOutSize)
{
    Control c = ReadControl();
    Journal("sysinfo");
    int r = c.Int("sysinfo", 0);
    if (r != 0)
        return r;
    snprintf(lpszOut, uOutSize, "(DevID){FAKE0123456789}(MacAddr){001122334455}(CpuMHz){1000}(MemSize){512}"
                                "(BrwVer){}(OSVer){Linux}(OSSpk){}(OSType){Linux}");
    return 0;
}

int doZirizaStart(const char*, const char* lpszSysInfo, void*, TfnTunnelLogOut lpfnLog)
{
    Control c = ReadControl();
    Journal(std::string("start sysinfo=") + (lpszSysInfo ? lpszSysInfo : ""));
    if (lpfnLog)
        lpfnLog(0, kvfake::LIBRARY_LOG_LINE);
    int r = c.Int("start", 0);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_bStarted)
        return 0;
    if (r != 0)
        return r;
    g_bStarted = true;
    bool bLogin = c.Int("login_event", 1) != 0;
    int iFwd = c.Int("fwd", -1);
    TfnTunnelEventProc pfn = g_pfnEvent;
    g_events = std::thread([pfn, bLogin, iFwd]() {
        if (!pfn)
            return;
        if (bLogin)
            pfn(2, "{\"errcode\":0}");
        if (iFwd >= 0)
        {
            std::string param = "{\"status\":" + std::to_string(iFwd) + ",\"sesscount\":0}";
            pfn(15, param.c_str());
        }
    });
    return 0;
}

void doZirizaStop(void)
{
    std::thread events;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_bStarted)
            return;
        g_bStarted = false;
        g_cons.clear();
        events.swap(g_events);
    }
    if (events.joinable())
        events.join();
    Journal("stop");
}

int doZirizaSetNetCard(const char*)
{
    return 0;
}

int doZirizaStatusGet(unsigned int uItem, QV_TUNNEL_STATUS_S* lpStatus)
{
    Control c = ReadControl();
    Journal("statusget");
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_bStarted)
        return QV_TUNNEL_ERROR_BADSTATUS;
    if (uItem != QV_TUNNEL_GET_STA_LOGIN)
        return QV_TUNNEL_ERROR_BADPARAM;
    int r = c.Int("status", 0);
    if (r != 0)
        return r;
    if (lpStatus)
        lpStatus->uStatus = (unsigned int)c.Int("login", 0);
    return 0;
}

int doZirizaPeerInfoGet(const char* lpszPeerID, QV_TUNNEL_PEER_INFO_S* lpInfo)
{
    Control c = ReadControl();
    Journal(std::string("peerinfo peer=") + (lpszPeerID ? lpszPeerID : ""));
    if (!lpInfo)
        return QV_TUNNEL_ERROR_BADPARAM;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_bStarted)
        return QV_TUNNEL_ERROR_BADSTATUS;
    int r = c.Int("peerinfo", 0);
    if (r != 0)
        return r;
    snprintf(lpInfo->szPeerID, sizeof(lpInfo->szPeerID), "%s", lpszPeerID ? lpszPeerID : "");
    lpInfo->uType = (unsigned int)c.Int("nettype", 5);
    return 0;
}

int doZirizaConnectAdd(const char*, const char* lpszPeerID, unsigned int uType, unsigned int uEncrypt,
                       const char* lpszListenAddr, const char* lpszClientAddr, QV_TUNNEL_CLIENT_ADDR_S* lpClientAddr)
{
    Control c = ReadControl();
    std::string key = Key(lpszPeerID, uType, uEncrypt, lpszListenAddr, lpszClientAddr);
    Journal("add " + key);
    if (!lpClientAddr)
        return QV_TUNNEL_ERROR_BADPARAM;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_bStarted)
        return QV_TUNNEL_ERROR_BADSTATUS;
    if (c.Has("refuse", lpszPeerID ? lpszPeerID : ""))
        return QV_TUNNEL_ERROR_REJECT;
    for (auto& k : g_cons)
        if (k == key)
            return QV_TUNNEL_ERROR_EXIST;
    g_cons.push_back(key);
    snprintf(lpClientAddr->szClientAddr, sizeof(lpClientAddr->szClientAddr), "%s", lpszClientAddr ? lpszClientAddr : "");
    return 0;
}

int doZirizaConnectDelete(const char*, const char* lpszPeerID, unsigned int uType, unsigned int uEncrypt,
                          const char* lpszListenAddr, const char* lpszClientAddr)
{
    Control c = ReadControl();
    std::string key = Key(lpszPeerID, uType, uEncrypt, lpszListenAddr, lpszClientAddr);
    Journal("delete " + key);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_bStarted)
        return QV_TUNNEL_ERROR_BADSTATUS;
    for (size_t i = 0; i < g_cons.size(); i++)
    {
        if (g_cons[i] != key)
            continue;
        int r = c.Int("delete", 0);
        if (r == 0)
            g_cons.erase(g_cons.begin() + (long)i);
        return r;
    }
    return QV_TUNNEL_ERROR_NOEXIST;
}

int doZirizaConnectQuery(const char* lpszPeerID, unsigned int uType, unsigned int uEncrypt, const char* lpszListenAddr,
                         QV_TUNNEL_CLIENT_ADDR_S* lpClientAddr)
{
    Control c = ReadControl();
    std::string prefix = Key(lpszPeerID, uType, uEncrypt, lpszListenAddr, "");
    Journal("query " + prefix);
    if (!lpClientAddr)
        return QV_TUNNEL_ERROR_BADPARAM;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_bStarted)
        return QV_TUNNEL_ERROR_BADSTATUS;
    if (c.Has("forget", lpszPeerID ? lpszPeerID : ""))
        return QV_TUNNEL_ERROR_NOEXIST;
    for (auto& k : g_cons)
    {
        if (k.compare(0, prefix.size(), prefix) == 0)
        {
            snprintf(lpClientAddr->szClientAddr, sizeof(lpClientAddr->szClientAddr), "%s", k.c_str() + prefix.size());
            return 0;
        }
    }
    return QV_TUNNEL_ERROR_NOEXIST;
}

// The rest of the interface is not used by the daemon.
int doZirizaVersionGet(QV_TUNNEL_VERSION_S*) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaDomainSet(const char*) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaDomainGet(QV_TUNNEL_DOMAIN_S*) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaCommentSet(const char*) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaCommentGet(QV_TUNNEL_COMMENT_S*) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaTunnelSet(const char*, const char*) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaConnectLocalDelete(const char*, const char*) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaConnectLocalQuery(const char*, QV_TUNNEL_CONNECT_INFO_S*) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaUserExtend(const char*, QV_TUNNEL_DATA_S*, unsigned int) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaPushGet(QV_TUNNEL_DATA_S*, unsigned int) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaSelfGet(QV_TUNNEL_SELF_S*) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaConnectEnum(unsigned int, QV_TUNNEL_CONNECT_INFO_S*) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaControl(unsigned int, const char*) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaChannelSet(const char*, unsigned int, const char*) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaPeerFwdCfg(int, int, int, int, const char*) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaPeerAuthSet(const char*, const char*) { return QV_TUNNEL_ERROR_NOIMP; }
int doZirizaPeerAuthReply(const char*, unsigned int, const char*) { return QV_TUNNEL_ERROR_NOIMP; }

}  // extern "C"
