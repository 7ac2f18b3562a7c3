#include "kelvardClient.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kelvardInput.h"
#include "kelvardJson.h"
#include "kelvardShared.h"

void signal_int_func(int)
{
    // Only async-signal-safe calls here.
    if (kelvard_tm_saved)
        tcsetattr(STDIN_FILENO, TCSANOW, &kelvard_tm_old);
    _exit(0);
}

void VersionGet()
{
    printf("KELVARD client for Linux V%s\n", KELVARD_CLIENT_VERSION);
    fflush(stdout);
}

bool kelvard_report_failure(KelvIpcResult result)
{
    if (result == KIPC_PARSE)
    {
        puts("返回码解析失败");
        return false;
    }
    puts("无法通信");
    return true;
}

int kelvard_check_and_lock()
{
    if (access(KELVARD_DAEMON_PATH, X_OK) != 0)
    {
        puts("kelvard后台程序尚未安装");
        exit(0);
    }
    int fd = kelvard_initlock();
    if (fd < 0)
    {
        puts("初始化锁失败");
        exit(-1);
    }
    if (kelvard_lock(fd, KELVARD_LOCK_CLIENT) != 0)
    {
        puts("请检查程序是否已启动");
        exit(-1);
    }
    return fd;
}

int kelvard_status(CKelvardIpc& ipc)
{
    if (access(KELVARD_DAEMON_PATH, X_OK) != 0)
    {
        puts("kelv后台程序还未安装");
        return 0;
    }
    ipc.Connect(KELVARD_IPC_ADDR);
    Json::Value request(Json::objectValue);
    request["option"] = "status";
    Json::Value reply;
    KelvIpcResult r = ipc.Exchange(request, &reply);
    if (r != KIPC_OK)
    {
        kelvard_report_failure(r);
        return 0;
    }
    int iCode = kelvard_json_get_int(reply, "errcode");
    std::string strUser = kelvard_json_get_text(reply, "user");
    if (iCode == 0)
        printf("用户ID:%s, 状态:在线\n", strUser.c_str());
    else if (iCode >= 16 && iCode <= 63)
        printf("用户ID:%s, 状态:%s\n", strUser.c_str(), kelvard_json_get_text(reply, "errmsg").c_str());
    else if (iCode == -26)
        puts("kelvard后台程序尚未启动");
    else
        printf("用户ID:%s, 状态:离线\n", strUser.c_str());
    return 0;
}

int kelvard_start_stop(CKelvardIpc& ipc, bool bStart)
{
    ipc.Connect(KELVARD_IPC_ADDR);
    Json::Value request(Json::objectValue);
    request["option"] = bStart ? "start" : "stop";
    Json::Value reply;
    KelvIpcResult r = ipc.Exchange(request, &reply);
    if (r != KIPC_OK)
    {
        kelvard_report_failure(r);
        return 0;
    }
    int iCode = kelvard_json_get_int(reply, "errcode");
    std::string strMsg = kelvard_json_get_text(reply, "errmsg");
    if (iCode == 0)
        puts(bStart ? "启动成功" : "停止成功");
    else if (!strMsg.empty())
        printf(bStart ? "启动失败, %s\n" : "停止失败, %s\n", strMsg.c_str());
    else
        printf(bStart ? "启动失败, 错误码%d\n" : "停止失败, 错误码%d\n", iCode);
    return 0;
}

KelvStep kelvard_login_loop(CKelvardIpc& ipc, bool bInstall, bool bOneShot, int* piLockFd)
{
    int iCounter = 0;
    int iLast = 19;
    bool bFirst = true;
    char szGroup[64] = {0};
    char szUser[64] = {0};
    char szPass[128] = {0};
    while (iCounter <= 2 && (iLast == 19 || iLast == 20))
    {
        if (iLast == 19)
        {
            kelvard_prompt("请输入组名: ");
            if (!GetInput(szGroup, sizeof(szGroup)))
                return KSTEP_QUIT;
            kelvard_prompt("请输入客户端ID: ");
            if (!GetInput(szUser, sizeof(szUser)))
                return KSTEP_QUIT;
            if (!szGroup[0] || !szUser[0])
            {
                puts(iCounter == 2 ? "无效的组名或ID" : "无效的组名或ID, 请重新输入!");
                iCounter++;
                continue;
            }
        }
        if (!GetPassInput(szPass, sizeof(szPass), "请输入密码: "))
            return KSTEP_QUIT;

        if (bInstall && bFirst)
        {
            bFirst = false;
            fflush(stdout);
            int iRet = system("sudo ./install.sh");
            (void)iRet;
            if (access(KELVARD_DAEMON_PATH, X_OK) != 0)
            {
                puts("安装失败");
                if (access(KELVARD_IPC_FILE, R_OK) != 0)
                    puts("无法通信");
                else if (access(KELVARD_DAEMON_PATH, X_OK) != 0)
                    puts("无法执行");
                exit(0);
            }
            int fd = kelvard_initlock();
            if (fd < 0)
            {
                puts("初始化锁失败");
                exit(-1);
            }
            if (kelvard_lock(fd, KELVARD_LOCK_CLIENT) != 0)
            {
                puts("请检查程序是否已启动");
                exit(-1);
            }
            *piLockFd = fd;
        }

        Json::Value request(Json::objectValue);
        request["option"] = "login";
        request["args"]["group"] = szGroup;
        request["args"]["user"] = szUser;
        request["args"]["pass"] = szPass;
        memset(szPass, 0, sizeof(szPass));
        Json::Value reply;
        KelvIpcResult r = ipc.Exchange(request, &reply);
        if (r == KIPC_COMM)
        {
            kelvard_report_failure(r);
            return KSTEP_QUIT;
        }
        if (r == KIPC_PARSE)
        {
            kelvard_report_failure(r);
            if (bInstall)
                exit(0);
            if (bOneShot)
                return KSTEP_PROMPT;
            // Tried again with the same question; counted, so a daemon that always answers
            // garbage cannot keep the dialogue going for ever.
            iCounter++;
            continue;
        }
        iLast = kelvard_json_get_int(reply, "errcode");
        std::string strMsg = kelvard_json_get_text(reply, "errmsg");
        if (iLast == 19)
        {
            puts(iCounter < 2 ? "无效的组名或ID, 请重新输入!" : "无效的组名或ID");
            iCounter++;
        }
        else if (iLast == 20)
        {
            if (iCounter < 2)
                puts("密码错误, 请重新输入!");
            else
                printf("用户ID:%s, %s\n", szUser, strMsg.c_str());
            iCounter++;
        }
        else if (!strMsg.empty())
            printf("用户ID:%s, %s\n", szUser, strMsg.c_str());
        else
            printf("用户ID:%s, 登录失败, 错误码%d\n", szUser, iLast);
    }
    return KSTEP_PROMPT;
}

int kelvard_install()
{
    VersionGet();
    CKelvardIpc ipc;
    ipc.Connect(KELVARD_IPC_ADDR);
    if (access(KELVARD_DAEMON_PATH, X_OK) == 0 && access(KELVARD_IPC_FILE, R_OK) == 0)
    {
        bool bLoggedIn = false;
        int fd = kelvard_initlock();
        if (fd >= 0)
        {
            if (kelvard_islocked(fd, KELVARD_LOCK_DAEMON) != 0)
            {
                Json::Value request(Json::objectValue);
                request["option"] = "status";
                Json::Value reply;
                if (ipc.Exchange(request, &reply) == KIPC_OK && kelvard_json_get_int(reply, "errcode") == 0)
                    bLoggedIn = true;
            }
            kelvard_freelock(fd);
        }
        if (bLoggedIn)
        {
            puts("kelvard后台服务已启动，请通过./kelvard config进行配置");
            return 0;
        }
    }
    int iLockFd = -1;
    kelvard_login_loop(ipc, true, false, &iLockFd);
    if (iLockFd >= 0)
        kelvard_freelock(iLockFd);
    return 0;
}
