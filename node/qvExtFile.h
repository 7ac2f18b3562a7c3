// File extension of the node: lets a class read and write local files by instance at 64-bit
// offsets. An instance is the open standard I/O stream itself; the extension keeps no table.
#pragma once

#include "qvNodeDef.h"

class CQVExtFile : public IQVExt
{
public:
    CQVExtFile();
    ~CQVExtFile() override;

    void Delete() override;
    bool AttachDepend(IQVBase* lpDep, u32 uIndex) override;
    bool OnInitialize(void* lpContext, IQVExtProc* lpProc, u32 uMaxInst) override;
    void OnClean() override;
    // lpszS1: the UTF-8 path; lpszS2: "(Option){(Mode){n}}" with n 1 read ("rb"), 2 update
    // ("rb+", created with "wb+" when missing), 3 truncate ("wb+").
    bool OnOpen(void** lppInst, const char* lpszS1, const char* lpszS2, u32 uValue, u32 uInstHandle,
                IQVExtProc* lpProc) override;
    void OnClose(const void* lpInst, u32 uValue) override;
    // 3 all written, 0 failure; *lpuSize is left as it was.
    int OnWrite(const void* lpInst, u32 uValue, const void* lpData, u32* lpuSize, u64 uPos) override;
    // 3 all read, 2 end of file (*lpuSize = the bytes read), 0 failure.
    int OnRead(const void* lpInst, u32 uValue, void* lpBuf, u32* lpuSize, u64 uPos) override;
    int OnCtrl(const void* lpInst, u32 uValue, const void* lpIn, u32 uInSize, void* lpOut,
               u32* lpuOutSize) override;

private:
    CQVExtFile(const CQVExtFile&) = delete;
    CQVExtFile& operator=(const CQVExtFile&) = delete;

    IQVExtProc* m_pProc;
};
