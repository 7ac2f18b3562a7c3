// The daemon's edits of the key-value configuration text kelvard.cfg (elements written
// "(Name){content}", children nested in the content), and of the system information text.
//
// The daemon owns three elements of the file: the account's User and Pass and ForwardSpeed.
// They are found by their place, not by their text: under the mode element the library uses
// (ModeClient, else ModeForward) as AccountPass.User, AccountPass.Pass and
// Utilize.ForwardSpeed; in a text without a mode element as the top-level User, Pass and
// ForwardSpeed. An element of the same name elsewhere (the proxy's User and Pass) is never
// touched, and only the one element changes even when another holds the same text.
#pragma once

#include <string>

// The key-value escape: & ( ) [ ] { } become &G &A &B &C &D &E &F.
std::string kelvard_oml_escape(const std::string& str);
// The reverse; an '&' that begins no known code stops decoding and the rest stays as it is.
std::string kelvard_oml_unescape(const std::string& str);

// An element found in a key-value text: its '(' and the bounds of its content, which ends
// right before the element's closing '}'.
struct KelvOmlElem
{
    size_t uStart = 0;
    size_t uContent = 0;
    size_t uEnd = 0;
};
// Finds the element of a dotted path ("ModeClient.AccountPass.User"). False when it is missing
// or the text around it is not well formed.
bool kelvard_oml_find(const std::string& strText, const std::string& strPath, KelvOmlElem* pElem);

// Replaces every occurrence of strFind in str, never searching the inserted text again.
// Always returns -1.
int ReplaceString(std::string& str, const std::string& strFind, const std::string& strReplace);

// Reads the group and client ID from the User element ("_DEV_<client ID>@<group>", escaped).
// Leaves both unchanged and returns false when the element is missing, longer than 256
// characters or has no '@'.
bool load_kelvard_cfg(const char* lpszPath, std::string& strGroup, std::string& strUser);

// Writes the account into the User and Pass elements (values escaped). 0 when stored (or the
// elements already held it: then the file is not touched); -1 when the file cannot be read, an
// element is missing (none is added) or the file cannot be written.
int save_kelvard_cfg(const char* lpszPath, const std::string& strGroup, const std::string& strUser,
                     const std::string& strPass);
// Writes the forwarding speed into the ForwardSpeed element; results as above.
int save_kelvard_cfg(const char* lpszPath, int iValue);

// The raw (escaped) contents of the User and Pass elements, and writing them back: what a
// login keeps to restore the previous account when the server refuses the new one.
bool kelvard_cfg_get_account(const char* lpszPath, std::string* pUserRaw, std::string* pPassRaw);
int kelvard_cfg_set_account(const char* lpszPath, const std::string& strUserRaw, const std::string& strPassRaw);

// Puts the device ID (escaped) into the content of the DevID element of a NUL-terminated text
// in a buffer of uSize bytes. Unchanged (and false) for an empty ID, a text without a DevID
// element, or a result that would not fit the buffer with its NUL.
bool ReplaceDevID(char* lpszInfo, size_t uSize, const std::string& strDevID);
