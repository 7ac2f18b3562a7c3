// A scripted node for testing the tunnel alone: it keeps objects by name, records the requests
// the tunnel sends (logins above all) and lets the test play the node's replies and reports
// through the IQVNodeProc that the tunnel gave it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "doZirizaDef.h"
#include "doZirizaModule.h"
#include "doZirizaNode.h"
#include "qvLibTunnel.h"
#include "qvNodeDef.h"

class CFakeNode : public IQVNode
{
public:
    struct REQ_S
    {
        u32 uObject, uMethod, uSize, uParam;
        std::string strData;  // first bytes of the record or the text
        std::string strRaw;   // the whole record (a text without its NUL)
    };

    // The node the tunnel made last (null before the first start).
    static CFakeNode*& Current()
    {
        static CFakeNode* s_p = nullptr;
        return s_p;
    }
    static std::mutex& Lock()
    {
        static std::mutex s_m;
        return s_m;
    }
    static u32& Created()
    {
        static u32 s_u = 0;
        return s_u;
    }
    // While closed, a logout request (method 33) blocks the tunnel thread until opened.
    static void GateClose() { Gate().closed = true; }
    static void GateOpen()
    {
        {
            std::lock_guard<std::mutex> g(Gate().m);
            Gate().closed = false;
        }
        Gate().cv.notify_all();
    }
    static bool GateWaiting() { return Gate().waiting.load(); }
    static IQVNode* New()
    {
        std::lock_guard<std::mutex> g(Lock());
        CFakeNode* p = new CFakeNode();
        Current() = p;
        Created()++;
        return p;
    }
    static void Install()
    {
        static const DOZIRIZA_NODE_FACTORY_S s_f = {&CFakeNode::New, nullptr, nullptr};
        CDOZirizaNode::SetFactory(&s_f);
    }

    void* GetSocketPrivate(u32) override { return nullptr; }
    u32 AttachExtend(IQVBase*, u32, u32) override { return 1; }
    u32 AttachExtDepend(u32, u32) override { return 1; }
    u32 AttachClass(IQVBase*, u32, u32) override { return 1; }
    u32 SetRelay(const tagQV_RELAY_INFO_S*, u32 uCount) override
    {
        m_uRelayCount = uCount;
        return 1;
    }
    u32 SetOption(u32, const char*) override { return 1; }
    u32 GetOption(u32, char*, u32) override { return 0; }
    u32 Initialize(void*, IQVNodeProc* lpProc, const QV_CFG_S* lpCfg) override
    {
        std::lock_guard<std::mutex> g(m_Mutex);
        m_pProc = lpProc;
        m_Cfg = *lpCfg;
        return 1;
    }
    void Clean() override { m_uCleaned = 1; }
    u32 SetAddr(const char*, u32) override { return 1; }
    u32 GetAddr(char*, u32, u32) override { return 0; }
    u32 ObjectAdd(const char* lpszName, u32 uClass, u32, u32) override
    {
        std::lock_guard<std::mutex> g(m_Mutex);
        auto it = m_Obj.find(lpszName);
        if (it != m_Obj.end())
            return it->second;
        u32 uHandle = (u32)((m_Obj.size() + 1) << 16) | 0x55;
        m_Obj[lpszName] = uHandle;
        m_Class[uHandle] = uClass;
        if (m_uSvr == 0)
            m_uSvr = uHandle;
        return uHandle;
    }
    void ObjectDelete(u32 uObject) override
    {
        std::lock_guard<std::mutex> g(m_Mutex);
        for (auto it = m_Obj.begin(); it != m_Obj.end(); ++it)
            if (it->second == uObject)
            {
                m_Obj.erase(it);
                break;
            }
    }
    u32 ObjectEnum(u32, u32) override { return 0; }
    u32 ObjectGetID(const char* lpszName) override
    {
        std::lock_guard<std::mutex> g(m_Mutex);
        auto it = m_Obj.find(lpszName);
        return it == m_Obj.end() ? 0 : it->second;
    }
    u32 ObjectGetName(u32 uObject, char* lpszBuf, u32 uSize) override
    {
        std::lock_guard<std::mutex> g(m_Mutex);
        for (auto& kv : m_Obj)
            if (kv.second == uObject)
            {
                snprintf(lpszBuf, uSize, "%s", kv.first.c_str());
                return 1;
            }
        return 0;
    }
    u32 ObjectGetClass(u32 uObject, u32* lpuClass) override
    {
        std::lock_guard<std::mutex> g(m_Mutex);
        auto it = m_Class.find(uObject);
        *lpuClass = it == m_Class.end() ? 0xFFFF : it->second;
        return it != m_Class.end();
    }
    u32 ObjectGetInstID(u32, u32*) override { return 0; }
    u32 ObjectSetGroup(u32, u32) override { return 1; }
    u32 ObjectGetGroup(u32, u32*) override { return 0; }
    u32 ObjectSync(u32, u32, u32) override { return 1; }
    int ObjectRequest(u32 uObject, u32 uMethod, const void* lpData, u32 uSize, u32 uParam) override
    {
        if (uMethod == 33)
        {
            std::unique_lock<std::mutex> g(Gate().m);
            Gate().waiting = true;
            Gate().cv.wait(g, [] { return !Gate().closed; });
            Gate().waiting = false;
        }
        std::lock_guard<std::mutex> g(m_Mutex);
        REQ_S req{uObject, uMethod, uSize, uParam, std::string(), std::string()};
        if (lpData != nullptr)
        {
            req.strData = uSize == 0 ? std::string((const char*)lpData)
                                     : std::string((const char*)lpData, strnlen((const char*)lpData, uSize));
            req.strRaw = uSize == 0 ? req.strData : std::string((const char*)lpData, uSize);
        }
        if (uMethod == 32 && lpData != nullptr && uSize == 512)
        {
            m_strLoginPass.assign((const char*)lpData + 128, strnlen((const char*)lpData + 128, 128));
            m_strLoginParam.assign((const char*)lpData + 256, strnlen((const char*)lpData + 256, 256));
            // The node's Peer class makes the object named after the login user.
            std::string strUser = req.strData;
            if (!m_Obj.count(strUser))
            {
                u32 uHandle = (u32)((m_Obj.size() + 1) << 16) | 0x66;
                m_Obj[strUser] = uHandle;
                m_Class[uHandle] = QV_CLASS_PEER;
            }
        }
        m_Req.push_back(req);
        if (uMethod == 32 && m_iLoginResult > 0)
            return m_iLoginResult;
        if (uMethod == 41)
            return m_iCheckResult.load();
        return (uMethod == 32 || uMethod == 3 || uMethod == 35 || uMethod == 38) ? -1 : 0;
    }
    int ObjectExtReply(u32 uObject, u32 uError, const void* lpData, u32 uSize, u32 uHandle) override
    {
        std::lock_guard<std::mutex> g(m_Mutex);
        std::string strRaw = lpData == nullptr ? std::string()
                             : uSize == 0      ? std::string((const char*)lpData)
                                               : std::string((const char*)lpData, uSize);
        m_ExtReply.push_back({uObject, uError, uSize, uHandle, strRaw.c_str(), strRaw});
        return 0;
    }
    std::vector<REQ_S> ExtReplies()
    {
        std::lock_guard<std::mutex> g(m_Mutex);
        return m_ExtReply;
    }
    void Delete() override
    {
        std::lock_guard<std::mutex> g(Lock());
        if (Current() == this)
            Current() = nullptr;
        delete this;
    }

    // ---- Test side ----
    std::vector<REQ_S> Requests()
    {
        std::lock_guard<std::mutex> g(m_Mutex);
        return m_Req;
    }
    u32 CountMethod(u32 uMethod)
    {
        u32 n = 0;
        for (auto& r : Requests())
            n += r.uMethod == uMethod;
        return n;
    }
    // The parameter of the last login request, 0 when none.
    u32 LastLoginParam(std::string* pUser = nullptr)
    {
        for (auto& r : Requests())
            if (r.uMethod == 32)
            {
                if (pUser)
                    *pUser = r.strData;
                m_uLastLogin = r.uParam;
            }
        return m_uLastLogin;
    }
    u32 Svr() { return m_uSvr; }
    u32 Obj(const std::string& strName)
    {
        std::lock_guard<std::mutex> g(m_Mutex);
        auto it = m_Obj.find(strName);
        return it == m_Obj.end() ? 0 : it->second;
    }
    IQVNodeProc* Proc()
    {
        std::lock_guard<std::mutex> g(m_Mutex);
        return m_pProc;
    }
    // Plays the login result as the node's dispatch thread would.
    void ReplyLogin(u32 uErr, const char* lpszParam = "", const char* lpszSess = "")
    {
        u8 aucRec[428];
        memset(aucRec, 0, sizeof(aucRec));
        snprintf((char*)aucRec + 8, 128, "%s", lpszSess);
        snprintf((char*)aucRec + 136, 256, "%s", lpszParam);
        Proc()->OnReply(m_uSvr, uErr, uErr ? nullptr : aucRec, uErr ? 0 : sizeof(aucRec), LastLoginParam());
    }

    QV_CFG_S m_Cfg{};
    u32 m_uRelayCount = 0;
    u32 m_uCleaned = 0;
    int m_iLoginResult = 0;
    std::atomic<int> m_iCheckResult{0};  // answer to every peer check (method 41)
    std::string m_strLoginPass;
    std::string m_strLoginParam;
    std::vector<REQ_S> m_ExtReply;

private:
    struct GATE_S
    {
        std::mutex m;
        std::condition_variable cv;
        bool closed = false;
        std::atomic<bool> waiting{false};
    };
    static GATE_S& Gate()
    {
        static GATE_S s_g;
        return s_g;
    }

    std::mutex m_Mutex;
    IQVNodeProc* m_pProc = nullptr;
    std::map<std::string, u32> m_Obj;
    std::map<u32, u32> m_Class;
    u32 m_uSvr = 0;
    u32 m_uLastLogin = 0;
    std::vector<REQ_S> m_Req;
};

// Waits for a condition, polling; false when the deadline passed.
template <class F>
bool WaitFor(F f, int iMs = 5000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
    while (!f())
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Events the host callback received.
struct CEventLog
{
    static CEventLog& Get()
    {
        static CEventLog s;
        return s;
    }
    static void Callback(unsigned int uEvent, const char* lpszParam)
    {
        std::lock_guard<std::mutex> g(Get().m);
        Get().events.push_back({uEvent, lpszParam ? lpszParam : ""});
    }
    void Clear()
    {
        std::lock_guard<std::mutex> g(m);
        events.clear();
    }
    std::vector<std::pair<u32, std::string>> Copy()
    {
        std::lock_guard<std::mutex> g(m);
        return events;
    }
    bool Has(u32 uEvent, const std::string& strParam)
    {
        for (auto& e : Copy())
            if (e.first == uEvent && e.second == strParam)
                return true;
        return false;
    }
    std::mutex m;
    std::vector<std::pair<u32, std::string>> events;
};

// A temporary directory removed at the end.
struct CTempDir
{
    std::string path;
    CTempDir()
    {
        char sz[] = "/tmp/kvtunXXXXXX";
        path = mkdtemp(sz);
    }
    ~CTempDir() { std::system(("rm -rf " + path).c_str()); }
    std::string Write(const std::string& name, const std::string& text)
    {
        std::string p = path + "/" + name;
        FILE* f = fopen(p.c_str(), "wb");
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
        return p;
    }
    std::string Read(const std::string& rel)
    {
        std::string p = rel[0] == '/' ? rel : path + "/" + rel;
        FILE* f = fopen(p.c_str(), "rb");
        if (!f)
            return "<missing>";
        std::string s;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
            s.append(buf, n);
        fclose(f);
        return s;
    }
};

// A client-mode configuration with the home directory in dir.
inline std::string ClientCfg(const std::string& home, const std::string& extra = "",
                             const std::string& account = "(AccountPass){(User){_DEV_c1@grp}(Pass){pw}}")
{
    return "(Home){" + home + "}(ModeClient){(Node){(SvrAddr){127.0.0.1:7000}(CltAddr){0.0.0.0:0}(SvrName){svr}}" +
           account + extra + "}";
}

inline const char* SysInfo()
{
    return "(DevID){dev1}(MacAddr){00}(CpuMHz){1}(MemSize){1}(BrwVer){}(OSVer){x}(OSSpk){}(OSType){linux}";
}

inline CDOZiriza* Tunnel()
{
    return doZirizaModule().GetTunnel();
}

// The tunnel through its flat interface on the scripted node, its clock driven by ticks; each
// test starts it as it needs and it is stopped after each.
class CFakeNodeTunnel : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        CFakeNode::Install();
        CDOZiriza::SetManualTimer(1);
        doZirizaCallbackSet(&CEventLog::Callback);
    }
    void SetUp() override { CEventLog::Get().Clear(); }
    void TearDown() override
    {
        CFakeNode::GateOpen();
        doZirizaStop();
    }

    void Start(const std::string& cfg)
    {
        std::string path = dir.Write("kelvard.cfg", cfg);
        ASSERT_EQ(0, doZirizaStart(path.c_str(), SysInfo(), nullptr, nullptr));
        Sync();
    }
    // Every message posted before has been handled once a bridged call returns; a handled
    // message may post one more (a login error posts the relogin), hence a few rounds.
    u32 Sync()
    {
        QV_TUNNEL_STATUS_S s = {0xDEAD};
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(0, doZirizaStatusGet(0, &s));
        return s.uStatus;
    }
    void Ticks(u32 n)
    {
        for (u32 i = 0; i < n; i++)
            Tunnel()->OnTimer(0);
        Sync();
    }
    CFakeNode* Node()
    {
        std::lock_guard<std::mutex> g(CFakeNode::Lock());
        return CFakeNode::Current();
    }

    CTempDir dir;
};
