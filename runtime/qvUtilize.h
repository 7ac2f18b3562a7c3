// The library's free helper functions: handle cookies, strings inside binary messages, data
// buffers, files and directories, dates, hashes and text encodings of binary data, RC4 and a
// millisecond sleep. Every function reports failure through its result (0, null or the
// documented sentinel) and leaves its outputs unchanged on failure unless stated otherwise.
#pragma once

#include <cstdio>

#include "qvType.h"

// ---------------------------------------------------------------------------------------------
// Cookies and index-cookie handles
//
// A handle names an entry of a fixed table: the entry's index in the high 16 bits, the entry's
// cookie in the low 16 bits. The cookie is drawn anew (qvGetCookieShort(old)) when the entry is
// taken and again when it is released, so a handle kept past the entry's life fails the
// cookie comparison.

inline u32 qvHandleMake(u32 uIndex, u32 uCookie) { return (uIndex << 16) | (uCookie & 0xFFFFu); }
inline u32 qvHandleIndex(u32 uHandle) { return uHandle >> 16; }
inline u16 qvHandleCookie(u32 uHandle) { return (u16)(uHandle & 0xFFFFu); }

// A random non-zero 16-bit cookie that differs from uOld.
u16 qvGetCookieShort(u32 uOld);
// A random non-zero 32-bit value.
u32 qvGetCookieLong();

// ---------------------------------------------------------------------------------------------
// Strings inside binary messages: big-endian u32 L (string length + 1), the bytes and their
// zero, zero padding up to the next multiple of 4.

// Bytes written (4 + L rounded up to 4), or 0 when that exceeds uSize. A null text is written
// as the empty text.
u32 qvStrPush(u8* pucBuf, u32 uSize, const char* lpszText);
// The string inside pucBuf, or null when the item is truncated, its length runs past uSize,
// L is 0 or no zero byte lies among its L bytes. *puUsed (when not null) receives the item's
// size, *puLen (when not null) the string's length without its zero.
char* qvStrPop(u8* pucBuf, u32 uSize, u32* puUsed, u32* puLen);
const char* qvStrPop(const u8* pucBuf, u32 uSize, u32* puUsed, u32* puLen);

// The last ch among the first uCount bytes of the text (never past its zero), or null.
const char* qvStrCharNR(const char* lpszText, char ch, u32 uCount);
char* qvStrCharNR(char* lpszText, char ch, u32 uCount);
// Converts the text in place to upper case (uUpper != 0) or lower case; returns the text.
char* qvStrConvert(char* lpszText, u32 uUpper);
// Case-insensitive comparison of at most uCount characters, stopping at the first zero.
int qvStrCmpNI(const char* lpszA, const char* lpszB, u32 uCount);
// Copies the text with its zero into lpszOut when it fits uSize bytes; a text that would have to
// be cut is a failure (0) and nothing is written, so a caller never works on a cut path.
u32 qvStrCopy(char* lpszOut, u32 uSize, const char* lpszText);

// ---------------------------------------------------------------------------------------------
// Buffers

struct QV_BUF_S
{
    u8* buf;      // owned bytes, or null
    u32 uOffset;  // where the data begins: head room for headers that lower layers add later
    u32 uSize;    // bytes allocated
    u32 uLen;     // bytes of data
    u32 uParam;   // zeroed by qvBufAlloc, left to the users
};

// Allocates uSize zeroed bytes (uOffset must not exceed uSize); len and uParam become 0.
// On failure buf is null and the result 0.
u32 qvBufAlloc(QV_BUF_S* pBuf, u32 uSize, u32 uOffset);
// Frees the bytes and zeroes the whole descriptor.
void qvBufFree(QV_BUF_S* pBuf);
// Returns *ppBuf when it exists and *puCapacity >= uNeed; otherwise makes a buffer of uNeed
// rounded up to a multiple of uUnit (uUnit itself for uNeed 0), copies the old bytes when
// uKeep is set, frees the old buffer and updates *ppBuf and *puCapacity. Null on failure
// (nothing changed).
u8* qvByteBufAlloc(u8** ppBuf, u32* puCapacity, u32 uNeed, u32 uUnit, u32 uKeep);
void qvByteBufFree(u8** ppBuf);

// ---------------------------------------------------------------------------------------------
// Files (1 success, 0 failure unless stated). Names are UTF-8.

// Seeks from the start to uOffset in steps of at most 1 GiB; 0 or -1.
int qv_fseek(FILE* pFile, u64 uOffset);
// Reads up to *puLen bytes at uOffset; success when all were read or the end was reached;
// *puLen receives the count.
u32 qvFileRead(const char* lpszPath, void* pBuf, u32* puLen, u64 uOffset);
// uOffset (u64)-1 replaces the file with the data; any other offset writes into the existing
// file (created when missing). Success when at least one byte was written; *puLen receives
// the count.
u32 qvFileWrite(const char* lpszPath, const void* pData, u32* puLen, u64 uOffset);
// Copies src into a newly created dst. The third argument is not used.
u32 qvFileCopy(const char* lpszSrc, const char* lpszDst, u32 uUnused = 0);
u32 qvFileMove(const char* lpszSrc, const char* lpszDst);
void qvFileDelete(const char* lpszPath);
// The file's 64-bit size and its modification time "YYYY-MM-DD,hh:mm:ss" (local time; must
// fit uTimeSize). Either output may be null.
u32 qvFileInfo(const char* lpszPath, u64* puSize, char* lpszTime, u32 uTimeSize);
// SHA-256 of the file into pucOut (at least 32 bytes). Result: the file size (low 32 bits);
// 0 for an empty file (hash of nothing written) or a file that cannot be examined;
// 0xFFFFFFFF when uOutSize < 32 or the file cannot be opened or mapped.
u32 qvFileHash(const char* lpszPath, u8* pucOut, u32 uOutSize);

// Output sizes of qvSplitPath, terminating zero included.
#define QV_SPLIT_DIR_SIZE 4096
#define QV_SPLIT_NAME_SIZE 4096
#define QV_SPLIT_EXT_SIZE 64

// Splits a path into directory (before the last '/'), name and extension (from the last '.'
// after the last '/', dot included); drive is always ''. Any output may be null. 0 when a
// part does not fit its output size above (nothing is written then).
u32 qvSplitPath(const char* lpszPath, char* lpszDrive, char* lpszDir, char* lpszName, char* lpszExt);

// ---------------------------------------------------------------------------------------------
// Directories

// Creates one directory with mode 0771; an existing directory is success.
u32 qvDirCreate(const char* lpszPath);
// Removes an empty directory.
void qvDirDelete(const char* lpszPath);
// A listing handle, or null.
void* qvDirOpen(const char* lpszPath);
// The next entry ("." and ".." included): 1 for an entry, 0 at the end or when the time, when
// asked for, does not fit uTimeSize. Entries whose name (with its zero) does not fit uNameSize
// are passed over.
// *puIsFile is 1 unless the entry is a directory; *puSize is 0 when the status cannot be read.
u32 qvDirRead(void* hDir, u32* puIsFile, u32* puSize, char* lpszName, u32 uNameSize, char* lpszTime,
              u32 uTimeSize);
void qvDirClose(void* hDir);
// The directory of the running program.
u32 qvDirSelf(char* lpszOut, u32 uSize);
// HOME when set and not empty, else "/var"; 0 when it does not fit.
u32 qvDirHome(char* lpszOut, u32 uSize);
// "$HOME/download", created when missing.
u32 qvDirDownload(char* lpszOut, u32 uSize);

// ---------------------------------------------------------------------------------------------
// Dates and time

// The local time now as "YYYY-MM-DD,hh:mm:ss"; its length, or 0 when it does not fit.
u32 qvDateTime(char* lpszOut, u32 uSize);
// Parses "date,time", "time" or "date," (date "Y-M-D", time "h:m:s"); absent parts give zeros.
// Outputs may be null.
u32 qvDateTimeParse(const char* lpszText, u32* puYear, u32* puMonth, u32* puDay, u32* puHour,
                    u32* puMinute, u32* puSecond);
void qvSleep(u32 uMilliseconds);

// ---------------------------------------------------------------------------------------------
// Hashes and encodings

// Size of a SHA-256 digest in bytes.
#define QV_HASH_SIZE 32

// SHA-256 of the data; 0 when uOutSize < 32.
u32 qvDataHash(const void* pData, u32 uLen, u8* pucOut, u32 uOutSize);
// The 32-byte hash as Base64 text (44 characters and a zero); 0 when uSize < 64. The second
// argument is not used.
u32 qvHashToStr(const u8* pucHash, u32 uUnused, char* lpszOut, u32 uSize);
// Base64 text that decodes to exactly 32 bytes; *puLen must be at least 32 and becomes 32.
u32 qvStrToHash(const char* lpszText, u8* pucOut, u32* puLen);
// Standard Base64 with a terminating zero.
u32 qvBase64Encode(const void* pData, u32 uLen, char* lpszOut, u32 uSize);
// *puLen: capacity in, decoded length out.
u32 qvBase64Decode(const char* lpszText, void* pOut, u32* puLen);
// Two upper-case hex digits per byte and a zero.
u32 qvBinToHex(const void* pData, u32 uLen, char* lpszOut, u32 uSize);
// Even-length hex text; *puLen: capacity in, byte count out.
u32 qvHexToBin(const char* lpszText, void* pOut, u32* puLen);
// RC4 with the given key (repeated cyclically in the key schedule): out = in XOR keystream.
// The same call encrypts and decrypts; in and out may be the same buffer. Without a key
// (null or uKeyLen 0) nothing is written.
void qvRecycleLog(const u8* pucIn, u8* pucOut, u32 uLen, const u8* pucKey, u32 uKeyLen);

// Writes the bytes to the debug trace, "%02X " groups, 16 bytes a line.
void qvDumpBuffer(const void* pData, u32 uLen);
