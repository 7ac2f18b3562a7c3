#include "kelvardCfg.h"

#include <cstring>
#include <vector>

#include "kelvardFile.h"
#include "log.h"

namespace
{
const char OML_CHARS[] = "&()[]{}";
const char OML_CODES[] = "GABCDEF";

bool IsBracket(char ch)
{
    return ch == '(' || ch == ')' || ch == '[' || ch == ']' || ch == '{' || ch == '}';
}

size_t NextBracket(const std::string& s, size_t uFrom, size_t uTo)
{
    for (size_t i = uFrom; i < uTo; i++)
    {
        if (IsBracket(s[i]))
            return i;
    }
    return std::string::npos;
}

// Finds the child named strName among the elements of [uFrom, uTo).
bool FindChild(const std::string& s, size_t uFrom, size_t uTo, const std::string& strName, KelvOmlElem* pElem)
{
    size_t pos = uFrom;
    for (;;)
    {
        size_t uOpen = NextBracket(s, pos, uTo);
        if (uOpen == std::string::npos || s[uOpen] != '(')
            return false;
        size_t uClose = NextBracket(s, uOpen + 1, uTo);
        if (uClose == std::string::npos || s[uClose] != ')')
            return false;
        size_t p = uClose + 1;
        if (p < uTo && s[p] == '[')
        {
            size_t uClassEnd = NextBracket(s, p + 1, uTo);
            if (uClassEnd == std::string::npos || s[uClassEnd] != ']')
                return false;
            p = uClassEnd + 1;
        }
        if (p >= uTo || s[p] != '{')
            return false;
        // The content's closing brace: children nest their braces, texts hold none unescaped.
        size_t uDepth = 0;
        size_t q = p;
        for (; q < uTo; q++)
        {
            if (s[q] == '{')
                uDepth++;
            else if (s[q] == '}' && --uDepth == 0)
                break;
        }
        if (q >= uTo)
            return false;
        if (s.compare(uOpen + 1, uClose - uOpen - 1, strName) == 0)
        {
            pElem->uStart = uOpen;
            pElem->uContent = p + 1;
            pElem->uEnd = q;
            return true;
        }
        pos = q + 1;
    }
}

// Path of one of the daemon's elements: under the mode element the library reads, or at the
// top level when the text has no mode element.
std::string OwnPath(const std::string& strText, const char* lpszSection, const char* lpszName)
{
    KelvOmlElem e;
    const char* lpszMode = nullptr;
    if (kelvard_oml_find(strText, "ModeClient", &e))
        lpszMode = "ModeClient";
    else if (kelvard_oml_find(strText, "ModeForward", &e))
        lpszMode = "ModeForward";
    if (!lpszMode)
        return lpszName;
    return std::string(lpszMode) + "." + lpszSection + "." + lpszName;
}

bool FindOwn(const std::string& strText, const char* lpszSection, const char* lpszName, KelvOmlElem* pElem)
{
    return kelvard_oml_find(strText, OwnPath(strText, lpszSection, lpszName), pElem);
}

std::string ContentOf(const std::string& strText, const KelvOmlElem& e)
{
    return strText.substr(e.uContent, e.uEnd - e.uContent);
}

// Sets the contents of the named elements in one rewrite. 0 stored or unchanged, -1 failure.
int SetOwnContents(const char* lpszPath, const std::vector<std::pair<const char*, std::string>>& items,
                   const char* lpszSection)
{
    std::string strText;
    if (!kelvard_read_file(lpszPath, &strText))
        return -1;
    bool bChanged = false;
    for (auto& item : items)
    {
        KelvOmlElem e;
        if (!FindOwn(strText, lpszSection, item.first, &e))
        {
            KLOG("配置文件%s中没有%s元素", lpszPath, item.first);
            return -1;
        }
        if (ContentOf(strText, e) == item.second)
            continue;
        strText.replace(e.uContent, e.uEnd - e.uContent, item.second);
        bChanged = true;
    }
    if (!bChanged)
        return 0;
    // The file holds the account's password: readable by its owner only.
    if (!kelvard_write_file_atomic(lpszPath, strText, 0600))
    {
        KLOG("修改配置文件%s失败", lpszPath);
        return -1;
    }
    KLOG("修改配置文件%s成功", lpszPath);
    return 0;
}
}  // namespace

std::string kelvard_oml_escape(const std::string& str)
{
    std::string out;
    out.reserve(str.size());
    for (char ch : str)
    {
        const char* p = ch ? strchr(OML_CHARS, ch) : nullptr;
        if (!p)
        {
            out += ch;
            continue;
        }
        out += '&';
        out += OML_CODES[p - OML_CHARS];
    }
    return out;
}

std::string kelvard_oml_unescape(const std::string& str)
{
    std::string out;
    out.reserve(str.size());
    for (size_t i = 0; i < str.size(); i++)
    {
        if (str[i] != '&')
        {
            out += str[i];
            continue;
        }
        const char* p = i + 1 < str.size() && str[i + 1] ? strchr(OML_CODES, str[i + 1]) : nullptr;
        if (!p)
        {
            out.append(str, i, std::string::npos);
            break;
        }
        out += OML_CHARS[p - OML_CODES];
        i++;
    }
    return out;
}

bool kelvard_oml_find(const std::string& strText, const std::string& strPath, KelvOmlElem* pElem)
{
    size_t uFrom = 0;
    size_t uTo = strText.size();
    size_t pos = 0;
    for (;;)
    {
        size_t dot = strPath.find('.', pos);
        std::string strName = strPath.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
        KelvOmlElem e;
        if (strName.empty() || !FindChild(strText, uFrom, uTo, strName, &e))
            return false;
        if (dot == std::string::npos)
        {
            *pElem = e;
            return true;
        }
        uFrom = e.uContent;
        uTo = e.uEnd;
        pos = dot + 1;
    }
}

int ReplaceString(std::string& str, const std::string& strFind, const std::string& strReplace)
{
    if (strFind.empty())
        return -1;
    size_t pos = 0;
    for (;;)
    {
        pos = str.find(strFind, pos);
        if (pos == std::string::npos)
            return -1;
        str.replace(pos, strFind.size(), strReplace);
        pos += strReplace.size();
    }
}

bool load_kelvard_cfg(const char* lpszPath, std::string& strGroup, std::string& strUser)
{
    std::string strText;
    kelvard_read_file(lpszPath, &strText);
    KelvOmlElem e;
    if (!FindOwn(strText, "AccountPass", "User", &e))
        return false;
    // The whole element, from '(' to '}', must fit the 256-byte fields it was made for.
    if (e.uEnd + 1 - e.uStart > 256)
        return false;
    std::string strContent = ContentOf(strText, e);
    // Past the five characters of the "_DEV_" prefix, whatever they are.
    if (strContent.size() < 5)
        return false;
    size_t at = strContent.find('@', 5);
    if (at == std::string::npos)
        return false;
    std::string strNewUser = kelvard_oml_unescape(strContent.substr(5, at - 5));
    std::string strNewGroup = kelvard_oml_unescape(strContent.substr(at + 1));
    KLOG("组名: %s", kelvard_log_safe(strNewGroup).c_str());
    KLOG("客户端: %s", kelvard_log_safe(strNewUser).c_str());
    strUser = strNewUser;
    strGroup = strNewGroup;
    return true;
}

int save_kelvard_cfg(const char* lpszPath, const std::string& strGroup, const std::string& strUser,
                     const std::string& strPass)
{
    KLOG("group=%s, user=%s", kelvard_log_safe(strGroup).c_str(), kelvard_log_safe(strUser).c_str());
    return kelvard_cfg_set_account(lpszPath,
                                   "_DEV_" + kelvard_oml_escape(strUser) + "@" + kelvard_oml_escape(strGroup),
                                   kelvard_oml_escape(strPass));
}

int save_kelvard_cfg(const char* lpszPath, int iValue)
{
    return SetOwnContents(lpszPath, {{"ForwardSpeed", std::to_string(iValue)}}, "Utilize");
}

bool kelvard_cfg_get_account(const char* lpszPath, std::string* pUserRaw, std::string* pPassRaw)
{
    std::string strText;
    if (!kelvard_read_file(lpszPath, &strText))
        return false;
    KelvOmlElem eUser, ePass;
    if (!FindOwn(strText, "AccountPass", "User", &eUser) || !FindOwn(strText, "AccountPass", "Pass", &ePass))
        return false;
    *pUserRaw = ContentOf(strText, eUser);
    *pPassRaw = ContentOf(strText, ePass);
    return true;
}

int kelvard_cfg_set_account(const char* lpszPath, const std::string& strUserRaw, const std::string& strPassRaw)
{
    return SetOwnContents(lpszPath, {{"User", strUserRaw}, {"Pass", strPassRaw}}, "AccountPass");
}

bool ReplaceDevID(char* lpszInfo, size_t uSize, const std::string& strDevID)
{
    if (strDevID.empty() || !lpszInfo || uSize == 0)
        return false;
    size_t uLen = strnlen(lpszInfo, uSize);
    if (uLen >= uSize)
        return false;
    std::string strText(lpszInfo, uLen);
    KelvOmlElem e;
    if (!kelvard_oml_find(strText, "DevID", &e))
        return false;
    strText.replace(e.uContent, e.uEnd - e.uContent, kelvard_oml_escape(strDevID));
    if (strText.size() + 1 > uSize)
        return false;
    memcpy(lpszInfo, strText.c_str(), strText.size() + 1);
    return true;
}
