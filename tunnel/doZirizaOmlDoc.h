// One key-value text held for reading: the server's and peers' texts are read through it, so
// that a missing or malformed value reads as "" or 0 and nothing is read past the text.
#pragma once

#include <cstdlib>

#include "qvOMLParser.h"
#include "qvString.h"
#include "qvType.h"

class CDOZirizaOmlDoc
{
public:
    explicit CDOZirizaOmlDoc(const char* lpszText)
        : m_pParser(qvNewOMLParser()), m_pDoc(qvNewString(lpszText ? lpszText : ""))
    {
    }
    ~CDOZirizaOmlDoc()
    {
        if (m_pParser)
            m_pParser->Delete();
        if (m_pDoc)
            m_pDoc->Delete();
    }
    CDOZirizaOmlDoc(const CDOZirizaOmlDoc&) = delete;
    CDOZirizaOmlDoc& operator=(const CDOZirizaOmlDoc&) = delete;

    u32 Ok() const { return m_pParser != nullptr && m_pDoc != nullptr; }
    // The decoded content of the element at the path, null when it is missing.
    const char* Content(const char* lpszPath)
    {
        return Ok() ? m_pParser->GetContent(m_pDoc, lpszPath) : nullptr;
    }
    QV_STRING Text(const char* lpszPath)
    {
        const char* lpsz = Content(lpszPath);
        return QV_STRING(lpsz ? lpsz : "");
    }
    u32 Has(const char* lpszPath) { return Ok() && m_pParser->GetName(m_pDoc, lpszPath) != nullptr; }
    // A decimal value; 0 when missing or not a number.
    u32 Number(const char* lpszPath)
    {
        const char* lpsz = Content(lpszPath);
        return lpsz ? (u32)strtoul(lpsz, nullptr, 10) : 0;
    }
    // The decoded name of the element at the path, null when missing.
    const char* Name(const char* lpszPath) { return Ok() ? m_pParser->GetName(m_pDoc, lpszPath) : nullptr; }
    // A new text holding the uIndex-th element after the one at the path (the receiver frees it
    // with Delete), null when there is none.
    IQVString* Element(const char* lpszPath, u32 uIndex)
    {
        return Ok() ? m_pParser->GetEle(m_pDoc, lpszPath, 1, uIndex) : nullptr;
    }
    IQVOMLParser* Parser() { return m_pParser; }

private:
    IQVOMLParser* m_pParser;
    IQVString* m_pDoc;
};
