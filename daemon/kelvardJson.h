// JSON helpers of both programs: parsing a message, writing one compactly, and reading members
// of a hostile object without ever throwing.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

// Parses a whole text (comments allowed, nothing after the value, nesting at most 64 deep).
// False when it is not JSON.
bool kelvard_json_parse(const char* lpszText, size_t uLen, Json::Value* pOut);
bool kelvard_json_parse(const std::string& strText, Json::Value* pOut);

// The compact text of a value (UTF-8 kept as it is), white space trimmed at both ends.
std::string kelvard_json_write(const Json::Value& value);

// How a member of a request was found.
enum KelvJsonRead
{
    KJ_OK = 0,     // present and valid, or missing (then "" or 0)
    KJ_TYPE = 1,   // present with another type, or a number that is not a whole number
    KJ_RANGE = 2,  // a whole number outside the allowed range, or a text that is too long
};

// A text member of obj (obj must be an object or null): missing or null reads as "".
KelvJsonRead kelvard_json_text(const Json::Value& obj, const char* lpszKey, size_t uMaxLen, std::string* pOut);
// A whole-number member within [llMin, llMax]: missing or null reads as 0.
KelvJsonRead kelvard_json_int(const Json::Value& obj, const char* lpszKey, long long llMin, long long llMax,
                              long long* pOut);

// Lenient readers for replies: a missing member or one of another type reads as 0 or "".
int kelvard_json_get_int(const Json::Value& obj, const char* lpszKey);
std::string kelvard_json_get_text(const Json::Value& obj, const char* lpszKey);
