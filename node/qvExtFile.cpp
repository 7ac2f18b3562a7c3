// File extension: one standard I/O stream per instance, positioned from the start of the file
// before every read and write, so the stream position is never trusted between calls.
#include "qvExtFile.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "qvCharSet.h"
#include "qvOMLParser.h"
#include "qvString.h"
#include "qvUtilize.h"

namespace {

// Open modes of the option text.
const u32 kModeRead = 1;     // the sending end reads
const u32 kModeUpdate = 2;   // the receiving end writes into the file, creating it when missing
const u32 kModeCreate = 3;   // the receiving end starts from an empty file

// The decimal "Option.Mode" of the option text; 0 when it is missing or not a plain number.
u32 ReadMode(const char* lpszOption, u32* puMode)
{
    IQVString* pDoc = qvNewString(lpszOption);
    IQVOMLParser* pParser = qvNewOMLParser();
    u32 uOk = 0;
    if (pDoc && pParser)
    {
        const char* lpszMode = pParser->GetContent(pDoc, "Option.Mode");
        if (lpszMode && *lpszMode)
        {
            char* lpszEnd = nullptr;
            unsigned long ulMode = strtoul(lpszMode, &lpszEnd, 10);
            if (lpszEnd && *lpszEnd == 0 && ulMode <= 0xFFFFFFFFul)
            {
                *puMode = (u32)ulMode;
                uOk = 1;
            }
        }
    }
    if (pParser)
        pParser->Delete();
    if (pDoc)
        pDoc->Delete();
    return uOk;
}

}  // namespace

CQVExtFile::CQVExtFile() : m_pProc(nullptr) {}

CQVExtFile::~CQVExtFile() {}

void CQVExtFile::Delete()
{
    OnClean();
    delete this;
}

bool CQVExtFile::AttachDepend(IQVBase*, u32)
{
    return true;
}

bool CQVExtFile::OnInitialize(void*, IQVExtProc* lpProc, u32)
{
    m_pProc = lpProc;
    return true;
}

void CQVExtFile::OnClean() {}

bool CQVExtFile::OnOpen(void** lppInst, const char* lpszS1, const char* lpszS2, u32, u32, IQVExtProc*)
{
    if (!lppInst || !lpszS1 || !lpszS2)
        return false;
    u32 uMode = 0;
    if (!ReadMode(lpszS2, &uMode))
        return false;
    CQVAutoString path(lpszS1, QV_CHARSET_UTF8, 0);
    const char* lpszPath = path.GetStr(QV_CHARSET_SYS);
    FILE* pFile = nullptr;
    if (*lpszPath)
    {
        if (uMode == kModeRead)
            pFile = fopen(lpszPath, "rb");
        else if (uMode == kModeUpdate)
        {
            pFile = fopen(lpszPath, "rb+");
            if (!pFile)
                pFile = fopen(lpszPath, "wb+");
        }
        else if (uMode == kModeCreate)
            pFile = fopen(lpszPath, "wb+");
    }
    *lppInst = pFile;
    return pFile != nullptr;
}

void CQVExtFile::OnClose(const void* lpInst, u32)
{
    if (!lpInst)
        return;
    FILE* pFile = (FILE*)lpInst;
    fflush(pFile);
    fclose(pFile);
}

int CQVExtFile::OnWrite(const void* lpInst, u32, const void* lpData, u32* lpuSize, u64 uPos)
{
    if (!lpInst || !lpuSize || (!lpData && *lpuSize))
        return 0;
    FILE* pFile = (FILE*)lpInst;
    clearerr(pFile);  // an earlier failure must not turn a later end of file into an error
    if (qv_fseek(pFile, uPos) != 0)
        return 0;
    if (*lpuSize == 0)
        return 3;
    return fwrite(lpData, 1, *lpuSize, pFile) == *lpuSize ? 3 : 0;
}

int CQVExtFile::OnRead(const void* lpInst, u32, void* lpBuf, u32* lpuSize, u64 uPos)
{
    if (!lpInst || !lpuSize || (!lpBuf && *lpuSize))
        return 0;
    FILE* pFile = (FILE*)lpInst;
    clearerr(pFile);  // an earlier failure must not turn a later end of file into an error
    if (qv_fseek(pFile, uPos) != 0)
        return 0;
    if (*lpuSize == 0)
        return 3;
    size_t uRead = fread(lpBuf, 1, *lpuSize, pFile);
    if (uRead == *lpuSize)
        return 3;
    if (feof(pFile) && !ferror(pFile))
    {
        *lpuSize = (u32)uRead;
        return 2;
    }
    return 0;
}

int CQVExtFile::OnCtrl(const void*, u32, const void*, u32, void*, u32*)
{
    return 1;
}
