#include "kelvardJson.h"

#include <cstring>
#include <memory>

#include "kelvardShared.h"

bool kelvard_json_parse(const char* lpszText, size_t uLen, Json::Value* pOut)
{
    Json::CharReaderBuilder builder;
    builder["collectComments"] = true;
    builder["failIfExtra"] = true;
    // A request is at most a few members deep; a hostile text of brackets must not recurse far.
    builder["stackLimit"] = 64;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string strErr;
    bool bOk = false;
    try
    {
        bOk = reader->parse(lpszText, lpszText + uLen, &value, &strErr);
    }
    catch (const std::exception&)
    {
        bOk = false;
    }
    if (!bOk)
    {
        *pOut = Json::Value();
        return false;
    }
    *pOut = std::move(value);
    return true;
}

bool kelvard_json_parse(const std::string& strText, Json::Value* pOut)
{
    return kelvard_json_parse(strText.data(), strText.size(), pOut);
}

std::string kelvard_json_write(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    std::string str = Json::writeString(builder, value);
    Trim(str);
    return str;
}

namespace
{
// The member, or null when obj is no object or lacks it.
const Json::Value* Member(const Json::Value& obj, const char* lpszKey)
{
    if (!obj.isObject())
        return nullptr;
    const Json::Value* p = obj.find(lpszKey, lpszKey + strlen(lpszKey));
    if (!p || p->isNull())
        return nullptr;
    return p;
}
}  // namespace

KelvJsonRead kelvard_json_text(const Json::Value& obj, const char* lpszKey, size_t uMaxLen, std::string* pOut)
{
    pOut->clear();
    const Json::Value* p = Member(obj, lpszKey);
    if (!p)
        return KJ_OK;
    if (!p->isString())
        return KJ_TYPE;
    const char* pBegin = nullptr;
    const char* pEnd = nullptr;
    p->getString(&pBegin, &pEnd);
    size_t n = (size_t)(pEnd - pBegin);
    if (n > uMaxLen)
        return KJ_RANGE;
    // A NUL inside the text would cut it wherever it is used as a C text.
    if (memchr(pBegin, 0, n))
        return KJ_TYPE;
    pOut->assign(pBegin, n);
    return KJ_OK;
}

KelvJsonRead kelvard_json_int(const Json::Value& obj, const char* lpszKey, long long llMin, long long llMax,
                              long long* pOut)
{
    *pOut = 0;
    const Json::Value* p = Member(obj, lpszKey);
    if (!p)
        return llMin <= 0 && 0 <= llMax ? KJ_OK : KJ_RANGE;
    if (!p->isNumeric())
        return KJ_TYPE;
    if (p->isInt64())
    {
        long long v = (long long)p->asInt64();
        if (v < llMin || v > llMax)
            return KJ_RANGE;
        *pOut = v;
        return KJ_OK;
    }
    if (p->isUInt64())
        return KJ_RANGE;
    // A real number: a whole one is merely too large for 64 bits, any other is no whole number.
    return p->isIntegral() ? KJ_RANGE : KJ_TYPE;
}

int kelvard_json_get_int(const Json::Value& obj, const char* lpszKey)
{
    const Json::Value* p = Member(obj, lpszKey);
    if (!p || !p->isInt())
        return 0;
    return p->asInt();
}

std::string kelvard_json_get_text(const Json::Value& obj, const char* lpszKey)
{
    const Json::Value* p = Member(obj, lpszKey);
    if (!p || !p->isString())
        return std::string();
    return p->asString();
}
