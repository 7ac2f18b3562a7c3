// Files and directories, and the local date-time text of qvDateTime that the file times share.
// Names are UTF-8; the system character set of this platform takes them byte for byte, so they
// go to the system calls unchanged.
#include "qvUtilize.h"
// Before the system headers: <limits.h> defines a LINE_MAX macro that clashes with the log.
#include "qvLog.h"

#include <dirent.h>
#include <fcntl.h>
#include <mbedtls/sha256.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "qvString.h"

namespace
{
// Largest single seek: a signed 32-bit long seek offset stays far from overflow.
const u64 kSeekStep = 0x40000000ull;
// Chunk of qvFileCopy, bytes.
const size_t kCopyChunk = 4096;

// "YYYY-MM-DD,hh:mm:ss" of a time, local, into lpszOut; its length, or 0 when it does not fit.
u32 FormatTime(time_t tTime, char* lpszOut, u32 uSize)
{
    struct tm tmLocal;
    if (!localtime_r(&tTime, &tmLocal))
        return 0;
    char szTime[64];
    int nLen = snprintf(szTime, sizeof(szTime), "%04u-%02u-%02u,%02u:%02u:%02u", (unsigned)(tmLocal.tm_year + 1900),
                        (unsigned)(tmLocal.tm_mon + 1), (unsigned)tmLocal.tm_mday, (unsigned)tmLocal.tm_hour,
                        (unsigned)tmLocal.tm_min, (unsigned)tmLocal.tm_sec);
    if (nLen <= 0 || (u32)nLen >= uSize)
        return 0;
    memcpy(lpszOut, szTime, (size_t)nLen + 1);
    return (u32)nLen;
}

// Copies uLen bytes and a zero when they fit uSize; 0 otherwise.
u32 CopyFit(char* lpszOut, u32 uSize, const char* lpszText, size_t uLen)
{
    if (!lpszOut || uLen >= uSize)
        return 0;
    memcpy(lpszOut, lpszText, uLen);
    lpszOut[uLen] = '\0';
    return 1;
}

struct QV_DIR_S
{
    DIR* pDir;
    QV_STRING strPath;
};
}  // namespace

u32 qvStrCopy(char* lpszOut, u32 uSize, const char* lpszText)
{
    return lpszText ? CopyFit(lpszOut, uSize, lpszText, strlen(lpszText)) : 0;
}

// The clock's text has the same form as the files' modification times.
u32 qvDateTime(char* lpszOut, u32 uSize)
{
    if (!lpszOut || uSize == 0)
        return 0;
    return FormatTime(time(nullptr), lpszOut, uSize);
}

int qv_fseek(FILE* pFile, u64 uOffset)
{
    if (!pFile || fseek(pFile, 0, SEEK_SET) != 0)
        return -1;
    while (uOffset > 0)
    {
        u64 uStep = uOffset < kSeekStep ? uOffset : kSeekStep;
        if (fseek(pFile, (long)uStep, SEEK_CUR) != 0)
            return -1;
        uOffset -= uStep;
    }
    return 0;
}

u32 qvFileRead(const char* lpszPath, void* pBuf, u32* puLen, u64 uOffset)
{
    if (!lpszPath || !*lpszPath || !puLen || (!pBuf && *puLen))
        return 0;
    FILE* pFile = fopen(lpszPath, "rb");
    if (!pFile)
        return 0;
    u32 uResult = 0;
    if (qv_fseek(pFile, uOffset) == 0)
    {
        size_t uRead = *puLen ? fread(pBuf, 1, *puLen, pFile) : 0;
        if (uRead == *puLen || (feof(pFile) && !ferror(pFile)))
        {
            *puLen = (u32)uRead;
            uResult = 1;
        }
    }
    fclose(pFile);
    return uResult;
}

u32 qvFileWrite(const char* lpszPath, const void* pData, u32* puLen, u64 uOffset)
{
    if (!lpszPath || !*lpszPath || !puLen || *puLen == 0 || !pData)
        return 0;
    FILE* pFile = nullptr;
    if (uOffset == ~(u64)0)
        pFile = fopen(lpszPath, "wb");
    else
    {
        pFile = fopen(lpszPath, "r+b");
        // Only a missing file is created; any other failure must not empty an existing one.
        if (!pFile && errno == ENOENT)
            pFile = fopen(lpszPath, "w+b");
    }
    if (!pFile)
        return 0;
    size_t uWritten = 0;
    if (uOffset == ~(u64)0 || qv_fseek(pFile, uOffset) == 0)
        uWritten = fwrite(pData, 1, *puLen, pFile);
    // Data still in the stream's buffer is only written by fclose: a failure there (a full
    // disk) means the bytes did not reach the file.
    if (fclose(pFile) != 0 || uWritten == 0)
        return 0;
    *puLen = (u32)uWritten;
    return 1;
}

u32 qvFileCopy(const char* lpszSrc, const char* lpszDst, u32)
{
    if (!lpszSrc || !*lpszSrc || !lpszDst || !*lpszDst)
        return 0;
    FILE* pSrc = fopen(lpszSrc, "rb");
    if (!pSrc)
        return 0;
    // Creating dst would empty src when both name the same file.
    struct stat stSrc;
    struct stat stDst;
    if (fstat(fileno(pSrc), &stSrc) != 0 ||
        (stat(lpszDst, &stDst) == 0 && stDst.st_dev == stSrc.st_dev && stDst.st_ino == stSrc.st_ino))
    {
        fclose(pSrc);
        return 0;
    }
    FILE* pDst = fopen(lpszDst, "wb");
    if (!pDst)
    {
        fclose(pSrc);
        return 0;
    }
    char* pucChunk = (char*)malloc(kCopyChunk);
    u32 uResult = 0;
    if (pucChunk)
    {
        for (;;)
        {
            size_t uRead = fread(pucChunk, 1, kCopyChunk, pSrc);
            if (uRead > 0 && fwrite(pucChunk, 1, uRead, pDst) != uRead)
                break;
            if (uRead < kCopyChunk)
            {
                uResult = feof(pSrc) && !ferror(pSrc);
                break;
            }
        }
        free(pucChunk);
    }
    fclose(pSrc);
    if (fclose(pDst) != 0)
        uResult = 0;
    // A partial copy would pass for the whole file.
    if (!uResult)
        remove(lpszDst);
    return uResult;
}

u32 qvFileMove(const char* lpszSrc, const char* lpszDst)
{
    if (!lpszSrc || !lpszDst)
        return 0;
    return rename(lpszSrc, lpszDst) == 0 ? 1 : 0;
}

void qvFileDelete(const char* lpszPath)
{
    if (lpszPath)
        remove(lpszPath);
}

u32 qvFileInfo(const char* lpszPath, u64* puSize, char* lpszTime, u32 uTimeSize)
{
    if (!lpszPath || !*lpszPath)
        return 0;
    // Without O_NONBLOCK, opening a FIFO for reading waits for a writer, possibly forever.
    int fd = open(lpszPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    FILE* pFile = fdopen(fd, "rb");
    if (!pFile)
    {
        close(fd);
        return 0;
    }
    u32 uResult = 0;
    struct stat st;
    // A directory opens for reading too, but has no size or content of a file.
    if (fstat(fileno(pFile), &st) == 0 && !S_ISDIR(st.st_mode))
    {
        u64 uSize = 0;
        char szTime[64] = "";
        uResult = 1;
        if (puSize)
        {
            off_t nPos = -1;
            if (fseeko(pFile, 0, SEEK_END) == 0)
                nPos = ftello(pFile);
            if (nPos < 0)
            {
                if (errno != EINVAL && errno != EOVERFLOW)
                    qvPrintf("qvFileInfo: qv_ftell, Path=%s, errno=%d", lpszPath, errno);
                uResult = 0;
            }
            else
                uSize = (u64)nPos;
        }
        if (uResult && lpszTime)
            uResult = FormatTime(st.st_mtime, szTime, sizeof(szTime)) && strlen(szTime) < uTimeSize;
        if (uResult)
        {
            if (puSize)
                *puSize = uSize;
            if (lpszTime)
                memcpy(lpszTime, szTime, strlen(szTime) + 1);
        }
    }
    fclose(pFile);
    return uResult;
}

u32 qvFileHash(const char* lpszPath, u8* pucOut, u32 uOutSize)
{
    if (uOutSize < QV_HASH_SIZE || !pucOut || !lpszPath)
        return 0xFFFFFFFFu;
    struct stat st;
    if (stat(lpszPath, &st) != 0)
        return 0;
    // Only a regular file can be mapped; opening a FIFO would block.
    if (!S_ISREG(st.st_mode))
        return 0xFFFFFFFFu;
    if (st.st_size == 0)
        return qvDataHash(nullptr, 0, pucOut, uOutSize) ? 0 : 0xFFFFFFFFu;
    int fd = open(lpszPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0xFFFFFFFFu;
    // The size of what is actually opened, in case the file changed since stat.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        close(fd);
        return 0xFFFFFFFFu;
    }
    if (st.st_size == 0)
    {
        close(fd);
        return qvDataHash(nullptr, 0, pucOut, uOutSize) ? 0 : 0xFFFFFFFFu;
    }
    size_t uSize = (size_t)st.st_size;
    void* pucData = mmap(nullptr, uSize, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (pucData == MAP_FAILED)
    {
        qvPrintf("qvFileHash: mmap, pucData=0x%x", (unsigned)(uintptr_t)pucData);
        return 0xFFFFFFFFu;
    }
    int nRet = mbedtls_sha256_ret((const unsigned char*)pucData, uSize, pucOut, 0);
    munmap(pucData, uSize);
    if (nRet != 0)
        return 0xFFFFFFFFu;
    return (u32)(u64)st.st_size;
}

u32 qvSplitPath(const char* lpszPath, char* lpszDrive, char* lpszDir, char* lpszName, char* lpszExt)
{
    if (!lpszPath)
        return 0;
    const char* lpszSlash = strrchr(lpszPath, '/');
    const char* lpszBase = lpszSlash ? lpszSlash + 1 : lpszPath;
    const char* lpszDot = strrchr(lpszBase, '.');
    const char* lpszBaseEnd = lpszBase + strlen(lpszBase);
    size_t uDirLen = lpszSlash ? (size_t)(lpszSlash - lpszPath) : 0;
    size_t uNameLen = (size_t)((lpszDot ? lpszDot : lpszBaseEnd) - lpszBase);
    size_t uExtLen = lpszDot ? (size_t)(lpszBaseEnd - lpszDot) : 0;
    // A part cut to fit would name another file: refuse instead.
    if ((lpszDir && uDirLen >= QV_SPLIT_DIR_SIZE) || (lpszName && uNameLen >= QV_SPLIT_NAME_SIZE) ||
        (lpszExt && uExtLen >= QV_SPLIT_EXT_SIZE))
        return 0;
    if (lpszDrive)
        lpszDrive[0] = '\0';
    if (lpszDir)
        CopyFit(lpszDir, QV_SPLIT_DIR_SIZE, lpszPath, uDirLen);
    if (lpszName)
        CopyFit(lpszName, QV_SPLIT_NAME_SIZE, lpszBase, uNameLen);
    if (lpszExt)
        CopyFit(lpszExt, QV_SPLIT_EXT_SIZE, lpszDot ? lpszDot : "", uExtLen);
    return 1;
}

u32 qvDirCreate(const char* lpszPath)
{
    if (!lpszPath || !*lpszPath)
        return 0;
    // Mode 0771 is set with chmod after mkdir rather than by clearing the umask around it:
    // the umask is process-wide, and files that other threads create meanwhile would come
    // out writable by everyone.
    if (mkdir(lpszPath, 0771) == 0)
    {
        chmod(lpszPath, 0771);
        return 1;
    }
    int nErr = errno;
    struct stat st;
    if (nErr == EEXIST && stat(lpszPath, &st) == 0 && S_ISDIR(st.st_mode))
        return 1;
    qvPrintf("qvDirCreate: mkdir, Path=%s, errno=%d", lpszPath, nErr);
    return 0;
}

void qvDirDelete(const char* lpszPath)
{
    if (lpszPath)
        rmdir(lpszPath);
}

void* qvDirOpen(const char* lpszPath)
{
    if (!lpszPath)
        return nullptr;
    DIR* pDir = opendir(lpszPath);
    if (!pDir)
    {
        qvPrintf("qvDirOpen: opendir, Path=%s, errno=%d", lpszPath, errno);
        return nullptr;
    }
    QV_DIR_S* pHandle = new (std::nothrow) QV_DIR_S;
    if (!pHandle)
    {
        closedir(pDir);
        return nullptr;
    }
    pHandle->pDir = pDir;
    if (!pHandle->strPath.assign(lpszPath) && *lpszPath)
    {
        closedir(pDir);
        delete pHandle;
        return nullptr;
    }
    return pHandle;
}

u32 qvDirRead(void* hDir, u32* puIsFile, u32* puSize, char* lpszName, u32 uNameSize, char* lpszTime,
              u32 uTimeSize)
{
    QV_DIR_S* pHandle = (QV_DIR_S*)hDir;
    if (!pHandle || !pHandle->pDir)
        return 0;
    // A name cut to fit would name another file (and a caller deleting it would hit the wrong
    // one), and stopping there would end the listing early for the caller: such an entry is
    // passed over.
    struct dirent* pEntry = nullptr;
    size_t uNameLen = 0;
    do
    {
        pEntry = readdir(pHandle->pDir);
        if (!pEntry)
            return 0;
        uNameLen = strlen(pEntry->d_name);
    } while (lpszName && uNameLen >= uNameSize);

    QV_STRING strFull;
    struct stat st;
    u32 uStat = 0;
    if (strFull.assign(pHandle->strPath.c_str()) && strFull.append("/") && strFull.append(pEntry->d_name))
        uStat = stat(strFull.c_str(), &st) == 0;

    char szTime[64] = "";
    if (lpszTime)
    {
        if (uStat && !FormatTime(st.st_mtime, szTime, sizeof(szTime)))
            return 0;
        if (strlen(szTime) >= uTimeSize)
            return 0;
    }
    if (puIsFile)
        *puIsFile = uStat ? !S_ISDIR(st.st_mode) : pEntry->d_type != DT_DIR;
    if (puSize)
        *puSize = uStat ? (u32)st.st_size : 0;
    if (lpszName)
        memcpy(lpszName, pEntry->d_name, uNameLen + 1);
    if (lpszTime)
        memcpy(lpszTime, szTime, strlen(szTime) + 1);
    return 1;
}

void qvDirClose(void* hDir)
{
    QV_DIR_S* pHandle = (QV_DIR_S*)hDir;
    if (!pHandle)
        return;
    if (pHandle->pDir)
        closedir(pHandle->pDir);
    delete pHandle;
}

u32 qvDirSelf(char* lpszOut, u32 uSize)
{
    char szExe[PATH_MAX + 1];
    ssize_t nLen = readlink("/proc/self/exe", szExe, sizeof(szExe));
    // A link that fills the whole buffer may have been cut.
    if (nLen <= 0 || (size_t)nLen >= sizeof(szExe))
        return 0;
    szExe[nLen] = '\0';
    const char* lpszSlash = strrchr(szExe, '/');
    size_t uDirLen = lpszSlash ? (size_t)(lpszSlash - szExe) : 0;
    return CopyFit(lpszOut, uSize, szExe, uDirLen);
}

u32 qvDirHome(char* lpszOut, u32 uSize)
{
    const char* lpszHome = getenv("HOME");
    if (!lpszHome || !*lpszHome)
        lpszHome = "/var";
    // A home cut to fit would be another directory.
    if (!CopyFit(lpszOut, uSize, lpszHome, strlen(lpszHome)))
        return 0;
    qvPrintf("qvDirHome: %s", lpszOut);
    return 1;
}

u32 qvDirDownload(char* lpszOut, u32 uSize)
{
    const char* lpszHome = getenv("HOME");
    if (!lpszHome || !*lpszHome || !lpszOut)
        return 0;
    QV_STRING strPath;
    if (!strPath.assign(lpszHome) || !strPath.append("/download"))
        return 0;
    if (!qvDirCreate(strPath.c_str()))
        return 0;
    return CopyFit(lpszOut, uSize, strPath.c_str(), strPath.length());
}
