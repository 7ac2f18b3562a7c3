// The library's settings file: a key-value text addressed by dotted paths.
#pragma once

#include "qvString.h"
#include "qvType.h"

class IQVOMLParser;

class CQVSetting
{
public:
    CQVSetting();
    virtual ~CQVSetting();

    // Reads the file whole (a missing file gives an empty document) and keeps the path. 1/0.
    u32 Load(const char* lpszPath);
    // Replaces the file with the whole document. 1/0.
    u32 Save();
    // Creates every missing element along the dotted key, then sets the key's content. 1/0.
    u32 ValueSet(const char* lpszKey, const char* lpszValue);
    // Decoded content of the key (valid until the next read), or null.
    const char* ValueGet(const char* lpszKey);
    void Clean();

private:
    CQVSetting(const CQVSetting&) = delete;
    CQVSetting& operator=(const CQVSetting&) = delete;

    QV_STRING m_strPath;
    IQVOMLParser* m_pParser;
    IQVString* m_pDoc;
};

// "<home>/qvSetting.cfg". 1/0.
u32 qvDefSettingPath(char* lpszOut, u32 uSize);
