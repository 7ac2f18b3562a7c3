// OML, the library's key-value text: a tree of elements written "(Name)[Class]{Content}",
// whose content is either text or child elements. The parser keeps no document: every
// operation works on a document held in an IQVString made by this library (qvNewString,
// NewEle, GetEle), reading it or rewriting it in place.
//
// Inside names, classes and text content the characters & ( ) [ ] { } are escaped as
// "&G" "&A" "&B" "&C" "&D" "&E" "&F".
//
// Paths join element names with "." ("AccountPass.User"). A path longer than one character
// that begins with a newline uses its second character as the separator instead
// ("\n/a.b" names the element "a.b"). An empty component takes the element at the current
// position; "" names the document's first element and "A." the first child of A.
#pragma once

#include "qvString.h"
#include "qvType.h"

class IQVOMLParser
{
public:
    // Escapes / unescapes the text in place. 1, or 0 on failure.
    virtual u32 Encode(IQVString* pText) = 0;
    virtual u32 Decode(IQVString* pText) = 0;
    // Rewrite the element at the path with the given part (encoded here). 1, or 0 when the
    // path is not found.
    virtual u32 SetName(IQVString* pDoc, const char* lpszPath, const char* lpszName) = 0;
    virtual u32 SetClass(IQVString* pDoc, const char* lpszPath, const char* lpszClass) = 0;
    virtual u32 SetContent(IQVString* pDoc, const char* lpszPath, const char* lpszContent) = 0;
    // A new element "(name)[class]{content}" with the three values encoded; null when an
    // argument is null or memory runs out. The receiver frees it with Delete.
    virtual IQVString* NewEle(const char* lpszName, const char* lpszClass, const char* lpszContent) = 0;
    // The raw text of up to uCount siblings, starting uIndex siblings after the element at the
    // path; null when there is none. The receiver frees it with Delete.
    virtual IQVString* GetEle(const IQVString* pDoc, const char* lpszPath, u32 uCount, u32 uIndex) = 0;
    // Inserts a new element uCount siblings after the element at the path (0: before it; past
    // the last sibling: after the last). A path ending in the separator whose parent has no
    // children makes the new element the parent's whole content. 1/0.
    virtual u32 InsertEle(IQVString* pDoc, const char* lpszPath, u32 uCount, const char* lpszName,
                          const char* lpszClass, const char* lpszContent) = 0;
    // Cuts up to uCount siblings, starting uIndex siblings after the element at the path.
    virtual void DeleteEle(IQVString* pDoc, const char* lpszPath, u32 uCount, u32 uIndex) = 0;
    // The decoded part of the element at the path ("" when the part is missing), or null when
    // the path is not found. Valid until the same getter runs again on this parser.
    virtual const char* GetName(const IQVString* pDoc, const char* lpszPath) = 0;
    virtual const char* GetClass(const IQVString* pDoc, const char* lpszPath) = 0;
    virtual const char* GetContent(const IQVString* pDoc, const char* lpszPath) = 0;
    virtual void Delete() = 0;
    virtual ~IQVOMLParser() {}
};

class CQVOMLParser : public IQVOMLParser
{
public:
    CQVOMLParser() {}
    u32 Encode(IQVString* pText) override;
    u32 Decode(IQVString* pText) override;
    u32 SetName(IQVString* pDoc, const char* lpszPath, const char* lpszName) override;
    u32 SetClass(IQVString* pDoc, const char* lpszPath, const char* lpszClass) override;
    u32 SetContent(IQVString* pDoc, const char* lpszPath, const char* lpszContent) override;
    IQVString* NewEle(const char* lpszName, const char* lpszClass, const char* lpszContent) override;
    IQVString* GetEle(const IQVString* pDoc, const char* lpszPath, u32 uCount, u32 uIndex) override;
    u32 InsertEle(IQVString* pDoc, const char* lpszPath, u32 uCount, const char* lpszName,
                  const char* lpszClass, const char* lpszContent) override;
    void DeleteEle(IQVString* pDoc, const char* lpszPath, u32 uCount, u32 uIndex) override;
    const char* GetName(const IQVString* pDoc, const char* lpszPath) override;
    const char* GetClass(const IQVString* pDoc, const char* lpszPath) override;
    const char* GetContent(const IQVString* pDoc, const char* lpszPath) override;
    void Delete() override;
    ~CQVOMLParser() override {}

private:
    CQVOMLParser(const CQVOMLParser&) = delete;
    CQVOMLParser& operator=(const CQVOMLParser&) = delete;

    // Results of the last GetName, GetClass and GetContent.
    QV_STRING m_strName;
    QV_STRING m_strClass;
    QV_STRING m_strContent;
};

// A new parser (free it with Delete), or null when memory runs out.
IQVOMLParser* qvNewOMLParser();
