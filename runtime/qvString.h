// The library's string type QV_STRING and the heap string object behind IQVString.
//
// Texts are plain bytes ended by a zero byte; positions and lengths count bytes. Searches
// report QV_NOT_FOUND when nothing matches. Some results deliberately differ from
// std::string (see the notes at rfind, find, replace and split); callers rely on them.
//
// Failure rule: operations that return u32 report an allocation failure as 0 and leave the
// string exactly as it was. Constructors, operators and the operations whose result cannot
// carry a failure (substr, split, operator+) throw std::bad_alloc instead.
#pragma once

#include "qvType.h"

struct QV_STRING
{
    char* data;      // owned buffer, or null: a null buffer is the empty string ""
    u32 uLength;     // bytes before the terminating zero
    u32 uCapacity;   // buffer size in bytes, 0 without buffer; a multiple of 32 once grown

    QV_STRING();
    // As assign(lpszText, uCount).
    QV_STRING(const char* lpszText, u32 uCount = QV_NOT_FOUND);
    QV_STRING(const QV_STRING& other);
    QV_STRING(QV_STRING&& other) noexcept;
    ~QV_STRING();

    QV_STRING& operator=(const QV_STRING& other);
    QV_STRING& operator=(QV_STRING&& other) noexcept;
    // assign(lpszText, QV_NOT_FOUND)
    QV_STRING& operator=(const char* lpszText);
    // append(lpszText)
    QV_STRING& operator+=(const char* lpszText);
    QV_STRING& operator+=(const QV_STRING& other);

    const char* c_str() const { return data ? data : ""; }
    u32 length() const { return uLength; }
    u32 capacity() const { return uCapacity; }
    bool empty() const { return uLength == 0; }

    // Makes room for uCount characters (uCount + 1 bytes). A new buffer is sized uCount + 1
    // rounded up to a multiple of 32; with bKeep the present text is copied over.
    // 1, or 0 when memory runs out (the string is then unchanged).
    u32 Alloc(u32 uCount, u32 bKeep);
    // Frees the buffer; the string becomes "" with no buffer.
    void clear();

    // Takes at most uCount bytes of lpszText (never reads beyond them); QV_NOT_FOUND takes the
    // whole text; null is "". Zero bytes leave the string without buffer. The source may lie
    // inside this string.
    u32 assign(const char* lpszText, u32 uCount = QV_NOT_FOUND);
    u32 append(const char* lpszText);
    u32 append(const char* lpszText, u32 uCount);
    // Replaces uCount bytes at uPos by the text. A range past the end (uPos + uCount > length)
    // changes nothing and still reports 1.
    u32 replace(u32 uPos, u32 uCount, const char* lpszText);
    // The same with uNum copies of ch; uNum 0 deletes uCount bytes at uPos.
    u32 replace(u32 uPos, u32 uCount, u32 uNum, char ch);

    // Start = length gives length for the empty text, else not found.
    u32 find(const char* lpszText, u32 uStart = 0) const;
    u32 find(char ch, u32 uStart = 0) const;
    // A start beyond length - strlen(text) gives not found (it is not clamped).
    u32 rfind(const char* lpszText, u32 uStart = QV_NOT_FOUND) const;
    u32 rfind(char ch, u32 uStart = QV_NOT_FOUND) const;
    u32 find_first_of(const char* lpszSet, u32 uStart = 0) const;
    u32 find_first_of(char ch, u32 uStart = 0) const;
    // Starts at min(uStart, length - 1).
    u32 find_last_of(const char* lpszSet, u32 uStart = QV_NOT_FOUND) const;
    u32 find_last_of(char ch, u32 uStart = QV_NOT_FOUND) const;
    // Sign (-1, 0, 1) of comparing at most uCount bytes from uPos with the text;
    // uPos = length: 0 for the empty text, else -1; uPos > length: -1.
    s32 compare(u32 uPos, u32 uCount, const char* lpszText) const;

    // Stores ch at uPos; a position at or past the end lengthens the string to uPos + 1
    // (bytes skipped over read as zero). 1/0.
    u32 set(u32 uPos, char ch);
    // Removes leading, then trailing bytes that belong to the set. 1/0.
    u32 trim(const char* lpszSet);
    bool operator==(const char* lpszText) const;
    bool operator!=(const char* lpszText) const { return !(*this == lpszText); }
    // min(uCount, length - uPos) bytes from uPos; uPos >= length gives "".
    QV_STRING substr(u32 uPos, u32 uCount = QV_NOT_FOUND) const;
    // Splits at the separator bytes into at most uMax parts; a run of separators counts as
    // one, a trailing separator yields one empty last part, the rest past uMax parts is
    // dropped. Returns the number of parts written.
    u32 split(const char* lpszSeparators, QV_STRING* pParts, u32 uMax) const;
};

QV_STRING operator+(const char* lpszText, const QV_STRING& str);
QV_STRING operator+(const QV_STRING& str, const char* lpszText);
QV_STRING operator+(const QV_STRING& a, const QV_STRING& b);

// A heap string handed between modules; the receiver frees it with Delete.
class IQVString
{
public:
    virtual u32 At(u32 uPos) const = 0;
    virtual const char* CStr() const = 0;
    virtual u32 Length() const = 0;
    virtual u32 Assign(const char* lpszText, u32 uCount) = 0;
    virtual u32 Assign(const char* lpszText) = 0;
    virtual u32 Append(const char* lpszText) = 0;
    virtual u32 Replace(u32 uPos, u32 uCount, const char* lpszText) = 0;
    virtual u32 Find(const char* lpszText, u32 uStart = 0) const = 0;
    virtual u32 Find(char ch, u32 uStart = 0) const = 0;
    virtual u32 RFind(const char* lpszText, u32 uStart = QV_NOT_FOUND) const = 0;
    virtual u32 RFind(char ch, u32 uStart = QV_NOT_FOUND) const = 0;
    virtual u32 FindFirstOf(const char* lpszSet, u32 uStart = 0) const = 0;
    virtual u32 FindFirstOf(char ch, u32 uStart = 0) const = 0;
    virtual u32 FindLastOf(const char* lpszSet, u32 uStart = QV_NOT_FOUND) const = 0;
    virtual u32 FindLastOf(char ch, u32 uStart = QV_NOT_FOUND) const = 0;
    // A new string (free it with Delete), or null when it cannot be made.
    virtual IQVString* SubStr(u32 uPos, u32 uCount) const = 0;
    virtual s32 Compare(u32 uPos, u32 uCount, const char* lpszText) const = 0;
    virtual void Delete() = 0;
    virtual ~IQVString() {}
};

class CQVString : public IQVString
{
public:
    CQVString() {}
    u32 At(u32 uPos) const override;
    const char* CStr() const override;
    u32 Length() const override;
    u32 Assign(const char* lpszText, u32 uCount) override;
    u32 Assign(const char* lpszText) override;
    u32 Append(const char* lpszText) override;
    u32 Replace(u32 uPos, u32 uCount, const char* lpszText) override;
    u32 Find(const char* lpszText, u32 uStart = 0) const override;
    u32 Find(char ch, u32 uStart = 0) const override;
    u32 RFind(const char* lpszText, u32 uStart = QV_NOT_FOUND) const override;
    u32 RFind(char ch, u32 uStart = QV_NOT_FOUND) const override;
    u32 FindFirstOf(const char* lpszSet, u32 uStart = 0) const override;
    u32 FindFirstOf(char ch, u32 uStart = 0) const override;
    u32 FindLastOf(const char* lpszSet, u32 uStart = QV_NOT_FOUND) const override;
    u32 FindLastOf(char ch, u32 uStart = QV_NOT_FOUND) const override;
    IQVString* SubStr(u32 uPos, u32 uCount) const override;
    s32 Compare(u32 uPos, u32 uCount, const char* lpszText) const override;
    void Delete() override;
    ~CQVString() override {}

    // The string itself, for code of this library that edits it directly (the OML parser).
    QV_STRING& Str() { return m_Str; }
    const QV_STRING& Str() const { return m_Str; }

private:
    CQVString(const CQVString&) = delete;
    CQVString& operator=(const CQVString&) = delete;

    QV_STRING m_Str;
};

// The text that printf would write, as a new string; "" when the text is empty or memory
// runs out.
QV_STRING qvStringFormat(const char* lpszFormat, ...) __attribute__((format(printf, 1, 2)));

// A new string holding a copy of the text (null gives ""), or null when memory runs out.
IQVString* qvNewString(const char* lpszText);
