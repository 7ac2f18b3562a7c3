#include "kelvardConnects.h"

#include <climits>
#include <cstring>

#include "kelvardFile.h"
#include "kelvardJson.h"
#include "log.h"

bool kelvcon_valid(const KelvCon& con)
{
    return con.remote.size() <= KELVCON_MAX_REMOTE && con.srvip.size() <= KELVCON_MAX_HOST &&
           con.cliip.size() <= KELVCON_MAX_HOST && con.srvport >= 0 && con.srvport <= 65535 &&
           con.cliport >= 0 && con.cliport <= 65535 && con.flag >= 0 && con.flag <= 3;
}

void kelvcon_renumber(KelvConMap& cons)
{
    KelvConMap out;
    int i = 0;
    for (auto& it : cons)
    {
        KelvCon con = std::move(it.second);
        con.seq = i;
        out.emplace(i, std::move(con));
        i++;
    }
    cons.swap(out);
}

namespace
{
bool ReadRecord(const Json::Value& item, KelvCon* pCon)
{
    if (!item.isObject())
        return false;
    long long llSeq, llSrvPort, llCliPort, llFlag;
    if (kelvard_json_int(item, "seq", 0, INT_MAX, &llSeq) != KJ_OK ||
        kelvard_json_text(item, "remote", KELVCON_MAX_REMOTE, &pCon->remote) != KJ_OK ||
        kelvard_json_text(item, "srvip", KELVCON_MAX_HOST, &pCon->srvip) != KJ_OK ||
        kelvard_json_int(item, "srvport", 0, 65535, &llSrvPort) != KJ_OK ||
        kelvard_json_text(item, "cliip", KELVCON_MAX_HOST, &pCon->cliip) != KJ_OK ||
        kelvard_json_int(item, "cliport", 0, 65535, &llCliPort) != KJ_OK ||
        kelvard_json_int(item, "flag", 0, 3, &llFlag) != KJ_OK)
        return false;
    pCon->seq = (int)llSeq;
    pCon->srvport = (int)llSrvPort;
    pCon->cliport = (int)llCliPort;
    pCon->flag = (int)llFlag;
    return true;
}
}  // namespace

bool load_connects_cfg(const char* lpszPath, KelvConMap& cons)
{
    std::string strText;
    if (!kelvard_read_file(lpszPath, &strText))
        return false;
    Json::Value root;
    if (!kelvard_json_parse(strText, &root) || !root.isObject())
    {
        KLOG("%s: not a connection list", lpszPath);
        return false;
    }
    const Json::Value* pList = root.find("connections", "connections" + strlen("connections"));
    if (!pList || !pList->isArray())
    {
        KLOG("%s: not a connection list", lpszPath);
        return false;
    }
    KelvConMap out;
    for (Json::ArrayIndex i = 0; i < pList->size() && out.size() < KELVCON_MAX_COUNT; i++)
    {
        KelvCon con;
        if (!ReadRecord((*pList)[i], &con))
        {
            KLOG("%s: connection %u skipped, not a valid record", lpszPath, i);
            continue;
        }
        out.emplace(con.seq, std::move(con));
    }
    kelvcon_renumber(out);
    cons.swap(out);
    return true;
}

bool save_connects_cfg(const char* lpszPath, const KelvConMap& cons)
{
    Json::Value root(Json::objectValue);
    Json::Value list(Json::arrayValue);
    int i = 0;
    for (auto& it : cons)
    {
        const KelvCon& con = it.second;
        Json::Value item(Json::objectValue);
        item["seq"] = i++;
        item["remote"] = con.remote;
        item["srvip"] = con.srvip;
        item["srvport"] = con.srvport;
        item["cliip"] = con.cliip;
        item["cliport"] = con.cliport;
        item["flag"] = con.flag;
        list.append(item);
    }
    root["connections"] = list;
    if (!kelvard_write_file_atomic(lpszPath, kelvard_json_write(root) + "\n", 0600))
    {
        KLOG("写入%s失败", lpszPath);
        return false;
    }
    return true;
}
