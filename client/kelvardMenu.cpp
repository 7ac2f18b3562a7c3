#include "kelvardMenu.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "kelvardClient.h"
#include "kelvardInput.h"
#include "kelvardJson.h"
#include "kelvardShared.h"

namespace
{
const char* const MENU_PROMPT = "请输入对应功能序号(输入m查看主菜单): ";
const int MENU_HELP = 128;

const char* NetTypeName(unsigned int uType)
{
    switch (uType)
    {
    case 0: return "未知";
    case 4: return "公网IPv4地址";
    case 5: return "完全锥形NAT";
    case 6: return "主机限制锥形NAT";
    case 7: return "端口限制锥形NAT";
    case 8: return "对称NAT";
    case 12: return "私网直连";
    case 13: return "私网NAT环回";
    case 16: return "TCPv4转发";
    case 17: return "HTTPv4转发";
    case 24: return "借助P2P节点转发";
    case 32: return "公网IPv6地址";
    case 36: return "私网IPv6地址";
    case 40: return "TCPv6转发";
    case 41: return "HTTPv6转发";
    default: return "";
    }
}

const char* FwdStateName(int iState)
{
    switch (iState)
    {
    case 0: return "禁用";
    case 1: return "启用(暂停中)";
    case 2: return "启用(空闲中)";
    case 3: return "启用(转发中)";
    default: return "";
    }
}

// A decimal number as atoi reads it, clamped to int instead of overflowing.
long long ReadNumber(const char* lpsz)
{
    long long v = strtoll(lpsz, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return v;
}

unsigned int ReplyUInt(const Json::Value& reply, const char* lpszKey)
{
    const Json::Value* p = reply.find(lpszKey, lpszKey + strlen(lpszKey));
    if (!p || !p->isUInt())
        return 0;
    return p->asUInt();
}

bool HasMember(const Json::Value& reply, const char* lpszKey)
{
    return reply.find(lpszKey, lpszKey + strlen(lpszKey)) != nullptr;
}

KelvStep ItemAdd(CKelvardIpc& ipc)
{
    char szRemote[64], szSrv[64], szCli[64], szSrvHost[64], szCliHost[64];
    memset(szSrvHost, 0, sizeof(szSrvHost));
    memset(szCliHost, 0, sizeof(szCliHost));
    kelvard_prompt("请输入远程服务ID: ");
    if (!GetInput(szRemote, sizeof(szRemote)))
        return KSTEP_QUIT;
    kelvard_prompt("请输入服务端地址: ");
    if (!GetInput(szSrv, sizeof(szSrv)))
        return KSTEP_QUIT;
    kelvard_prompt("请输入客户端地址: ");
    if (!GetInput(szCli, sizeof(szCli)))
        return KSTEP_QUIT;
    const char* lpszBad = nullptr;
    if (!szRemote[0])
        lpszBad = "无效的远程服务ID";
    else if (!szSrv[0])
        lpszBad = "无效的服务端地址";
    else if (!szCli[0])
        lpszBad = "无效的客户端地址";
    else if (!strchr(szSrv, ':'))
        lpszBad = "无效的服务端地址";
    else if (!strchr(szCli, ':'))
        lpszBad = "无效的客户端地址";
    if (lpszBad)
    {
        puts(lpszBad);
        return KSTEP_NOPROMPT;
    }
    long lSrvPort = 0, lCliPort = 0;
    get_ip_and_port(szSrv, szSrvHost, sizeof(szSrvHost), &lSrvPort);
    get_ip_and_port(szCli, szCliHost, sizeof(szCliHost), &lCliPort);
    Json::Value request(Json::objectValue);
    request["option"] = "addcon";
    Json::Value& args = request["args"];
    args["remote"] = szRemote;
    args["srvip"] = szSrvHost;
    args["srvport"] = (Json::UInt)(unsigned int)lSrvPort;
    args["cliip"] = szCliHost;
    args["cliport"] = (Json::UInt)(unsigned int)lCliPort;
    Json::Value reply;
    KelvIpcResult r = ipc.Exchange(request, &reply);
    if (r != KIPC_OK)
        return kelvard_report_failure(r) ? KSTEP_QUIT : KSTEP_PROMPT;
    int iCode = kelvard_json_get_int(reply, "errcode");
    std::string strMsg = kelvard_json_get_text(reply, "errmsg");
    if (iCode == 0)
        puts("添加成功");
    else if (!strMsg.empty())
        printf("添加失败, %s\n", strMsg.c_str());
    else
        printf("添加失败, 错误码%d\n", iCode);
    return KSTEP_PROMPT;
}

// Prints the stored connections; the seq numbers shown go to *pShown.
KelvStep ItemList(CKelvardIpc& ipc, bool bOneShot, std::set<long long>* pShown)
{
    pShown->clear();
    Json::Value request(Json::objectValue);
    request["option"] = "qrycon";
    Json::Value reply;
    KelvIpcResult r = ipc.Exchange(request, &reply);
    printf("序号\t远程ID\t\t%-32s\t客户端地址\n", "服务端地址");
    for (;;)
    {
        if (r == KIPC_COMM)
        {
            kelvard_report_failure(r);
            return KSTEP_QUIT;
        }
        if (r == KIPC_PARSE)
        {
            kelvard_report_failure(r);
            if (bOneShot)
                break;
        }
        else if (HasMember(reply, "errcode"))
        {
            // A refusal (not started, not logged in) ends the list.
            std::string strMsg = kelvard_json_get_text(reply, "errmsg");
            if (!strMsg.empty())
                puts(strMsg.c_str());
            break;
        }
        else if (kelvard_json_get_int(reply, "finish") != 0)
            break;
        else
        {
            int iSeq = kelvard_json_get_int(reply, "seq");
            std::string strSrv = kelvard_json_get_text(reply, "srvip") + ":" +
                                 std::to_string(kelvard_json_get_int(reply, "srvport"));
            std::string strCli = kelvard_json_get_text(reply, "cliip") + ":" +
                                 std::to_string(kelvard_json_get_int(reply, "cliport"));
            printf("%d\t%s\t\t%-32s%s\n", iSeq, kelvard_json_get_text(reply, "remote").c_str(), strSrv.c_str(),
                   strCli.c_str());
            pShown->insert(iSeq);
        }
        r = ipc.Receive(&reply);
    }
    return KSTEP_PROMPT;
}

KelvStep ItemDelete(CKelvardIpc& ipc, bool bOneShot)
{
    std::set<long long> shown;
    if (ItemList(ipc, bOneShot, &shown) == KSTEP_QUIT)
        return KSTEP_QUIT;
    if (shown.empty())
    {
        puts("未设置远程连接, 无法进入删除操作");
        return KSTEP_PROMPT;
    }
    char szIndex[20];
    kelvard_prompt("请输入远程连接序号进行删除: ");
    if (!GetInput(szIndex, sizeof(szIndex)))
        return KSTEP_QUIT;
    if (!isdigit((unsigned char)szIndex[0]))
    {
        puts("无效的远程连接序号");
        return KSTEP_PROMPT;
    }
    // Only a number from the list just shown: that is the connection the user picked.
    long long llIndex = ReadNumber(szIndex);
    if (!shown.count(llIndex))
    {
        puts("超出索引范围, 无法进入删除操作");
        return KSTEP_NOPROMPT;
    }
    char szConfirm[20];
    kelvard_prompt("确认删除请按Y，否则按N，[Y/N]: ");
    if (!GetInput(szConfirm, sizeof(szConfirm)))
        return KSTEP_QUIT;
    if (szConfirm[0] != 'y' && szConfirm[0] != 'Y')
        return KSTEP_NOPROMPT;
    Json::Value request(Json::objectValue);
    request["option"] = "delcon";
    request["seq"] = (Json::UInt)llIndex;
    Json::Value reply;
    KelvIpcResult r = ipc.Exchange(request, &reply);
    if (r != KIPC_OK)
        return kelvard_report_failure(r) ? KSTEP_QUIT : KSTEP_PROMPT;
    int iCode = kelvard_json_get_int(reply, "errcode");
    std::string strMsg = kelvard_json_get_text(reply, "errmsg");
    if (strMsg.empty())
        printf("删除失败, 错误码%d\n", iCode);
    else if (iCode == 0)
        puts("删除成功");
    else
        printf("删除失败, %s\n", strMsg.c_str());
    return KSTEP_PROMPT;
}

// Sends a request whose reply is not looked at. False when the link broke.
bool SendUnread(CKelvardIpc& ipc, const char* lpszOption)
{
    Json::Value request(Json::objectValue);
    request["option"] = lpszOption;
    Json::Value reply;
    return ipc.Exchange(request, &reply) != KIPC_COMM;
}

KelvStep ItemForward(CKelvardIpc& ipc)
{
    Json::Value request(Json::objectValue);
    request["option"] = "qrynettype";
    Json::Value reply;
    KelvIpcResult r = ipc.Exchange(request, &reply);
    if (r == KIPC_COMM)
        return kelvard_report_failure(r), KSTEP_QUIT;
    if (r == KIPC_PARSE)
        return KSTEP_NOPROMPT;
    unsigned int uType = ReplyUInt(reply, "utype");
    if (uType != 4 && uType != 5)
    {
        puts("无法启动节点转发, 网络类型不支持");
        return KSTEP_PROMPT;
    }
    Json::Value qry(Json::objectValue);
    qry["option"] = "qryfwd";
    r = ipc.Exchange(qry, &reply);
    if (r == KIPC_COMM)
        return kelvard_report_failure(r), KSTEP_QUIT;
    int iState = r == KIPC_OK ? kelvard_json_get_int(reply, "errcode") : 0;
    bool bEnabled = iState >= 1 && iState <= 3;
    printf("当状态: %s\n", FwdStateName(iState));
    kelvard_prompt(bEnabled ? "切换到禁用状态按Y键，返回主菜单请按N: " : "切换到启用状态按Y键，返回主菜单请按N: ");
    char szAnswer[32];
    if (!GetInput(szAnswer, sizeof(szAnswer)))
        return KSTEP_QUIT;
    if (szAnswer[0] != 'y' && szAnswer[0] != 'Y')
        return KSTEP_PROMPT;
    Json::Value set(Json::objectValue);
    set["option"] = "setforward";
    // 1 MiB/s offered to other peers when switched on.
    set["args"]["value"] = (Json::UInt)(bEnabled ? 0u : 1048576u);
    r = ipc.Exchange(set, &reply);
    if (r == KIPC_COMM)
        return kelvard_report_failure(r), KSTEP_QUIT;
    if (r == KIPC_OK && kelvard_json_get_int(reply, "status") != 0)
    {
        std::string strMsg = kelvard_json_get_text(reply, "errmsg");
        if (!strMsg.empty())
            printf("变更失败, %s\n", strMsg.c_str());
        else
            printf("变更失败, 错误码%d\n", kelvard_json_get_int(reply, "status"));
        return KSTEP_PROMPT;
    }
    puts(bEnabled ? "变更为: 禁用" : "变更为: 启用");
    // The tunnel reads the forwarding speed when it starts.
    if (!SendUnread(ipc, "stop") || !SendUnread(ipc, "start"))
        return kelvard_report_failure(KIPC_COMM), KSTEP_QUIT;
    return KSTEP_PROMPT;
}

KelvStep ItemNetType(CKelvardIpc& ipc)
{
    Json::Value request(Json::objectValue);
    request["option"] = "qrynettype";
    Json::Value reply;
    KelvIpcResult r = ipc.Exchange(request, &reply);
    if (r == KIPC_COMM)
        return kelvard_report_failure(r), KSTEP_QUIT;
    if (r == KIPC_PARSE)
        return KSTEP_NOPROMPT;
    printf("当前网络类型: %s\n", NetTypeName(ReplyUInt(reply, "utype")));
    return KSTEP_PROMPT;
}
}  // namespace

void kelvard_config_help()
{
    puts("此菜单可以实现以下功能:");
    puts("\t1.修改组名和客户端ID");
    puts("\t2.添加远程连接");
    puts("\t3.查看远程连接");
    puts("\t4.删除远程连接");
    puts("\t5.启用/禁用节点转发");
    puts("\t6.查看网络类型");
    puts("\t7.退出此菜单");
}

int kelvard_config(CKelvardIpc& ipc, int argc, char** argv)
{
    ipc.Connect(KELVARD_IPC_ADDR);
    bool bOneShot = argc >= 3;
    if (!bOneShot)
    {
        kelvard_config_help();
        kelvard_prompt(MENU_PROMPT);
    }
    for (;;)
    {
        long long llItem;
        if (bOneShot)
            llItem = ReadNumber(argv[2]);
        else
        {
            char szIn[24];
            if (!GetInput(szIn, sizeof(szIn)))
                break;
            if (szIn[0] == 'm' && (szIn[1] == 0 || isspace((unsigned char)szIn[1])))
                llItem = MENU_HELP;
            else
                llItem = ReadNumber(szIn);
        }
        KelvStep step = KSTEP_PROMPT;
        std::set<long long> shown;
        switch (llItem)
        {
        case 1: step = kelvard_login_loop(ipc, false, bOneShot, nullptr); break;
        case 2: step = ItemAdd(ipc); break;
        case 3: step = ItemList(ipc, bOneShot, &shown); break;
        case 4: step = ItemDelete(ipc, bOneShot); break;
        case 5: step = ItemForward(ipc); break;
        case 6: step = ItemNetType(ipc); break;
        case 7: step = KSTEP_QUIT; break;
        case MENU_HELP: kelvard_config_help(); break;
        default: puts("非法的配置参数"); break;
        }
        if (step == KSTEP_QUIT || bOneShot)
            break;
        if (step == KSTEP_PROMPT)
            kelvard_prompt(MENU_PROMPT);
    }
    fflush(stdout);
    return 0;
}
