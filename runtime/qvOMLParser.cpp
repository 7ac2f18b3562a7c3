// CQVOMLParser: reads and edits OML key-value texts held in IQVString documents.
//
// Every scan is bounded by the document's length and keeps only counters (no recursion), so
// unbalanced brackets, unterminated escapes, deep nesting and truncated texts end in "no
// element" rather than in a crash.
#include "qvOMLParser.h"

#include <cstring>
#include <exception>
#include <new>
#include <utility>

#include "qvLog.h"

namespace
{
// Escaped characters and the letter of their code, index for index: '&' is "&G", '(' "&A"...
const char OML_CHARS[] = "&()[]{}";
const char OML_CODES[] = "GABCDEF";

int CharIndex(char ch)
{
    const char* p = ch ? strchr(OML_CHARS, ch) : nullptr;
    return p ? (int)(p - OML_CHARS) : -1;
}

int CodeIndex(char ch)
{
    const char* p = ch ? strchr(OML_CODES, ch) : nullptr;
    return p ? (int)(p - OML_CODES) : -1;
}

bool IsBracket(char ch)
{
    return ch == '(' || ch == ')' || ch == '[' || ch == ']' || ch == '{' || ch == '}';
}

// A document as the scanner sees it: its text up to the first zero byte.
struct Doc
{
    const char* s;
    u32 n;
};

Doc DocOf(const IQVString* pDoc)
{
    const char* s = pDoc->CStr();
    return Doc{s, (u32)strnlen(s, pDoc->Length())};
}

// Throwing forms of the QV_STRING growers, so that one catch per operation handles every
// allocation failure.
void Put(QV_STRING& str, const char* p, u32 n)
{
    if (n && !str.append(p, n))
        throw std::bad_alloc();
}

void Put(QV_STRING& str, const char* lpsz)
{
    Put(str, lpsz, (u32)strlen(lpsz));
}

void EncodeTo(const char* s, u32 n, QV_STRING& out)
{
    u32 uPlain = 0;  // start of the run of bytes that need no escape
    for (u32 i = 0; i < n; i++)
    {
        int k = CharIndex(s[i]);
        if (k < 0)
            continue;
        Put(out, s + uPlain, i - uPlain);
        const char code[2] = {'&', OML_CODES[k]};
        Put(out, code, 2);
        uPlain = i + 1;
    }
    Put(out, s + uPlain, n - uPlain);
}

// At an '&' that begins no known code (an unknown letter or the end of the text) decoding
// stops and the rest is copied as it stands.
void DecodeTo(const char* s, u32 n, QV_STRING& out)
{
    u32 uPlain = 0;
    for (u32 i = 0; i < n; i++)
    {
        if (s[i] != '&')
            continue;
        int k = i + 1 < n ? CodeIndex(s[i + 1]) : -1;
        if (k < 0)
            break;
        Put(out, s + uPlain, i - uPlain);
        Put(out, &OML_CHARS[k], 1);
        i++;
        uPlain = i + 1;
    }
    Put(out, s + uPlain, n - uPlain);
}

u32 NextBracket(const char* s, u32 n, u32 uFrom)
{
    for (u32 i = uFrom; i < n; i++)
    {
        if (IsBracket(s[i]))
            return i;
    }
    return QV_NOT_FOUND;
}

// Position of the first ch in [uFrom, uTo), or QV_NOT_FOUND.
u32 FindIn(const char* s, u32 uFrom, u32 uTo, char ch)
{
    if (uFrom >= uTo)
        return QV_NOT_FOUND;
    const void* p = memchr(s + uFrom, ch, uTo - uFrom);
    return p ? (u32)((const char*)p - s) : QV_NOT_FOUND;
}

u32 FindLastIn(const char* s, u32 uFrom, u32 uTo, char ch)
{
    for (u32 i = uTo; i-- > uFrom;)
    {
        if (s[i] == ch)
            return i;
    }
    return QV_NOT_FOUND;
}

// Where the element that begins at the first bracket at or after uFrom ends; 0 when there is
// no well-formed element. L is the last bracket seen, D the number of entered contents that
// hold children.
u32 EleEnd(const Doc& d, u32 uFrom)
{
    char L = 0;
    u32 D = 0;
    u32 uLast = 0;
    for (u32 b = NextBracket(d.s, d.n, uFrom); b != QV_NOT_FOUND; b = NextBracket(d.s, d.n, b + 1))
    {
        switch (d.s[b])
        {
        case ')':
            if (L != '(')
                return 0;
            L = ')';
            break;
        case ']':
            if (L != '[')
                return 0;
            L = ']';
            break;
        case '}':
            if (L == 0 || L == '(' || L == '[')
                return 0;
            if (L == '{')
            {
                L = '}';
                if (D == 0)
                    return b + 1;
                break;
            }
            L = '}';
            if (D == 0)
                return b;  // the parent's closing brace; b > 0 since a bracket came before
            if (D == 1)
                return b + 1;
            D--;
            break;
        case '(':
            if (L == '(' || L == '[')
                return 0;
            if ((L == ')' || L == ']' || L == '}') && D == 0)
                return b;  // a sibling begins
            if (L == '{')
                D++;
            L = '(';
            break;
        case '[':
            if (L == '[')
                return 0;
            if ((L == ']' || L == '}') && D == 0)
                return b;
            if (L == '{')
                D++;
            L = '[';
            break;
        case '{':
            if (L == '}')
            {
                if (D == 0)
                    return b;
                L = '{';
                break;
            }
            if (L == '{')
                D++;
            L = '{';
            break;
        }
        uLast = b;
    }
    if (L == ')' || L == ']')
        return uLast + 1;
    return 0;
}

// The element found from a scan position: [uStart, uEnd).
struct Ele
{
    u32 uStart;
    u32 uEnd;
};

bool EleAt(const Doc& d, u32 uPos, Ele& e)
{
    e.uStart = NextBracket(d.s, d.n, uPos);
    if (e.uStart == QV_NOT_FOUND)
        return false;
    e.uEnd = EleEnd(d, uPos);
    return e.uEnd != 0;
}

// Closing brace of an element's content, when the element has one.
u32 CloseBrace(const Doc& d, const Ele& e)
{
    return FindLastIn(d.s, e.uStart, e.uEnd, '}');
}

// The first bracket after the element's first '{', when it lies before the closing '}'.
u32 FirstChild(const Doc& d, const Ele& e)
{
    u32 uOpen = FindIn(d.s, e.uStart, e.uEnd, '{');
    if (uOpen == QV_NOT_FOUND)
        return QV_NOT_FOUND;
    u32 q = NextBracket(d.s, e.uEnd, uOpen + 1);
    u32 c = CloseBrace(d, e);
    return (q != QV_NOT_FOUND && c != QV_NOT_FOUND && q < c) ? q : QV_NOT_FOUND;
}

// A raw part of an element: the text between its opening bracket and the next bracket, when
// that is the matching closing one; a name or class counts only before the first '{'.
// Missing parts are empty.
struct Part
{
    u32 uPos;
    u32 uLen;
};

Part ReadPart(const Doc& d, const Ele& e, char chOpen, char chClose)
{
    Part p{0, 0};
    u32 o = FindIn(d.s, e.uStart, e.uEnd, chOpen);
    if (o == QV_NOT_FOUND)
        return p;
    if (chOpen != '{')
    {
        u32 uBrace = FindIn(d.s, e.uStart, e.uEnd, '{');
        if (uBrace != QV_NOT_FOUND && o > uBrace)
            return p;
    }
    u32 c = NextBracket(d.s, e.uEnd, o + 1);
    if (c == QV_NOT_FOUND || d.s[c] != chClose)
        return p;
    p.uPos = o + 1;
    p.uLen = c - o - 1;
    return p;
}

bool NameIs(const Doc& d, const Ele& e, const char* lpszName, u32 uNameLen)
{
    if (d.s[e.uStart] != '(')
        return false;
    u32 c = NextBracket(d.s, e.uEnd, e.uStart + 1);
    if (c == QV_NOT_FOUND || d.s[c] != ')')
        return false;
    QV_STRING name;
    DecodeTo(d.s + e.uStart + 1, c - e.uStart - 1, name);
    return name.uLength == uNameLen && memcmp(name.c_str(), lpszName, uNameLen) == 0;
}

// Inside a well-formed element every element that begins where a child may begin (its first
// child, or the bracket after a child's end) is well-formed too: its scan runs through the
// same brackets in the same states as the outer scan, one content level lower, and ends no
// later. So below the top level a path needs no end of the elements it passes through, only
// of the siblings it skips, and a lookup reads each byte a bounded number of times instead of
// once per level (a document nested thousands deep would otherwise cost seconds).

// Name check of the element that begins at uStart, inside a well-formed element.
bool NameAtInside(const Doc& d, u32 uStart, const char* lpszName, u32 uNameLen)
{
    if (d.s[uStart] != '(')
        return false;
    u32 c = NextBracket(d.s, d.n, uStart + 1);
    if (c == QV_NOT_FOUND || d.s[c] != ')')
        return false;
    QV_STRING name;
    DecodeTo(d.s + uStart + 1, c - uStart - 1, name);
    return name.uLength == uNameLen && memcmp(name.c_str(), lpszName, uNameLen) == 0;
}

// First child of the element that begins at uStart, inside a well-formed element whose last
// '}' is at uLastClose: the bracket after the content's '{' when it opens something and a
// '}' follows it within the outer element (as FirstChild finds with the element's end). The
// '{' is reached through the name and class brackets the element scan accepts before it.
u32 FirstChildInside(const Doc& d, u32 uStart, u32 uLastClose)
{
    char L = 0;
    u32 b = uStart;
    for (;;)
    {
        if (b == QV_NOT_FOUND)
            return QV_NOT_FOUND;
        char ch = d.s[b];
        if (ch == '{')
            break;
        if (ch == '(' && L == 0)
            L = '(';
        else if (ch == ')' && L == '(')
            L = ')';
        else if (ch == '[' && (L == 0 || L == '(' || L == ')'))
            L = '[';
        else if (ch == ']' && L == '[')
            L = ']';
        else
            return QV_NOT_FOUND;  // a sibling or the end: no content
        b = NextBracket(d.s, d.n, b + 1);
    }
    u32 q = NextBracket(d.s, d.n, b + 1);
    if (q == QV_NOT_FOUND || (d.s[q] != '(' && d.s[q] != '[' && d.s[q] != '{'))
        return QV_NOT_FOUND;
    return (uLastClose != QV_NOT_FOUND && q < uLastClose) ? q : QV_NOT_FOUND;
}

// Position of the element named by the path, or QV_NOT_FOUND.
u32 Resolve(const Doc& d, const char* lpszPath)
{
    char chSep = '.';
    const char* p = lpszPath;
    if (strlen(lpszPath) > 1 && lpszPath[0] == '\n')
    {
        chSep = lpszPath[1];
        p = lpszPath + 2;
    }
    u32 uPos = 0;
    bool bInside = false;         // below a top-level element found well-formed
    u32 uLastClose = QV_NOT_FOUND;  // the last '}' of that element
    for (;;)
    {
        const char* lpszSep = strchr(p, chSep);
        u32 uCompLen = lpszSep ? (u32)(lpszSep - p) : (u32)strlen(p);
        if (uCompLen)
        {
            Ele e;
            for (;;)
            {
                if (bInside)
                {
                    u32 uStart = NextBracket(d.s, d.n, uPos);
                    if (uStart != QV_NOT_FOUND && NameAtInside(d, uStart, p, uCompLen))
                    {
                        e.uStart = uStart;
                        break;
                    }
                }
                if (!EleAt(d, uPos, e))
                    return QV_NOT_FOUND;
                if (NameIs(d, e, p, uCompLen))
                    break;
                uPos = e.uEnd;
            }
            uPos = e.uStart;
        }
        if (!lpszSep)
            return uPos;
        if (bInside)
        {
            u32 uStart = NextBracket(d.s, d.n, uPos);
            if (uStart == QV_NOT_FOUND)
                return QV_NOT_FOUND;
            uPos = FirstChildInside(d, uStart, uLastClose);
        }
        else
        {
            Ele e;
            if (!EleAt(d, uPos, e))
                return QV_NOT_FOUND;
            uLastClose = CloseBrace(d, e);
            bInside = true;
            uPos = FirstChild(d, e);
        }
        if (uPos == QV_NOT_FOUND)
            return QV_NOT_FOUND;
        p = lpszSep + 1;
    }
}

// Scan position after skipping up to uSkip siblings from uPos; uSkipped tells how many were.
u32 SkipSiblings(const Doc& d, u32 uPos, u32 uSkip, u32& uSkipped)
{
    uSkipped = 0;
    while (uSkipped < uSkip)
    {
        u32 uEnd = EleEnd(d, uPos);
        if (!uEnd)
            break;
        uPos = uEnd;
        uSkipped++;
    }
    return uPos;
}

// The span of up to uCount siblings starting uIndex siblings after the element at the path;
// false when there is none.
bool SiblingSpan(const Doc& d, const char* lpszPath, u32 uCount, u32 uIndex, Ele& span)
{
    u32 uPos = Resolve(d, lpszPath);
    if (uPos == QV_NOT_FOUND || uCount == 0)
        return false;
    u32 uSkipped;
    uPos = SkipSiblings(d, uPos, uIndex, uSkipped);
    if (uSkipped < uIndex)
        return false;
    Ele first;
    if (!EleAt(d, uPos, first))
        return false;
    span.uStart = first.uStart;
    span.uEnd = SkipSiblings(d, uPos, uCount, uSkipped);
    return true;
}

void BuildEle(QV_STRING& out, const char* n, u32 nl, const char* c, u32 cl, const char* t, u32 tl)
{
    Put(out, "(");
    Put(out, n, nl);
    Put(out, ")[");
    Put(out, c, cl);
    Put(out, "]{");
    Put(out, t, tl);
    Put(out, "}");
}

void NewEleText(QV_STRING& out, const char* lpszName, const char* lpszClass, const char* lpszContent)
{
    QV_STRING n, c, t;
    EncodeTo(lpszName, (u32)strlen(lpszName), n);
    EncodeTo(lpszClass, (u32)strlen(lpszClass), c);
    EncodeTo(lpszContent, (u32)strlen(lpszContent), t);
    BuildEle(out, n.c_str(), n.uLength, c.c_str(), c.uLength, t.c_str(), t.uLength);
}

void Trace(const char* lpszOp)
{
    qvPrintf("CQVOMLParser::%s exception", lpszOp);
}

enum
{
    PART_NAME,
    PART_CLASS,
    PART_CONTENT
};

// Rewrites the element at the path with one part replaced by the encoded value.
u32 SetPart(IQVString* pDoc, const char* lpszPath, const char* lpszValue, int iPart)
{
    if (!pDoc || !lpszPath || !lpszValue)
        return 0;
    Doc d = DocOf(pDoc);
    u32 uPos = Resolve(d, lpszPath);
    Ele e;
    if (uPos == QV_NOT_FOUND || !EleAt(d, uPos, e))
        return 0;
    Part name = ReadPart(d, e, '(', ')');
    Part cls = ReadPart(d, e, '[', ']');
    Part content = ReadPart(d, e, '{', '}');
    if (iPart != PART_CONTENT && FirstChild(d, e) != QV_NOT_FOUND)
    {
        // Renaming or reclassing keeps the children: the whole content goes over as it is.
        u32 uOpen = FindIn(d.s, e.uStart, e.uEnd, '{');
        content.uPos = uOpen + 1;
        content.uLen = CloseBrace(d, e) - uOpen - 1;
    }
    QV_STRING value;
    EncodeTo(lpszValue, (u32)strlen(lpszValue), value);
    const Part* parts[3] = {&name, &cls, &content};
    const char* p[3];
    u32 l[3];
    for (int i = 0; i < 3; i++)
    {
        p[i] = d.s + parts[i]->uPos;
        l[i] = parts[i]->uLen;
    }
    p[iPart] = value.c_str();
    l[iPart] = value.uLength;
    QV_STRING ele;
    BuildEle(ele, p[0], l[0], p[1], l[1], p[2], l[2]);
    if (!pDoc->Replace(e.uStart, e.uEnd - e.uStart, ele.c_str()))
        throw std::bad_alloc();
    return 1;
}

const char* GetPart(const IQVString* pDoc, const char* lpszPath, char chOpen, char chClose, QV_STRING& out)
{
    if (!pDoc || !lpszPath)
        return nullptr;
    Doc d = DocOf(pDoc);
    u32 uPos = Resolve(d, lpszPath);
    Ele e;
    if (uPos == QV_NOT_FOUND || !EleAt(d, uPos, e))
        return nullptr;
    Part part = ReadPart(d, e, chOpen, chClose);
    QV_STRING value;
    DecodeTo(d.s + part.uPos, part.uLen, value);
    out = std::move(value);
    return out.c_str();
}
} // namespace

u32 CQVOMLParser::Encode(IQVString* pText)
{
    if (!pText)
        return 0;
    try
    {
        QV_STRING out;
        Doc d = DocOf(pText);
        EncodeTo(d.s, d.n, out);
        return out.uLength == d.n ? 1 : pText->Assign(out.c_str(), out.uLength);
    }
    catch (const std::exception&)
    {
        return 0;
    }
}

u32 CQVOMLParser::Decode(IQVString* pText)
{
    if (!pText)
        return 0;
    try
    {
        QV_STRING out;
        Doc d = DocOf(pText);
        DecodeTo(d.s, d.n, out);
        return out.uLength == d.n ? 1 : pText->Assign(out.c_str(), out.uLength);
    }
    catch (const std::exception&)
    {
        return 0;
    }
}

u32 CQVOMLParser::SetName(IQVString* pDoc, const char* lpszPath, const char* lpszName)
{
    try
    {
        return SetPart(pDoc, lpszPath, lpszName, PART_NAME);
    }
    catch (const std::exception&)
    {
        Trace("SetName");
        return 0;
    }
}

u32 CQVOMLParser::SetClass(IQVString* pDoc, const char* lpszPath, const char* lpszClass)
{
    try
    {
        return SetPart(pDoc, lpszPath, lpszClass, PART_CLASS);
    }
    catch (const std::exception&)
    {
        Trace("SetClass");
        return 0;
    }
}

u32 CQVOMLParser::SetContent(IQVString* pDoc, const char* lpszPath, const char* lpszContent)
{
    try
    {
        return SetPart(pDoc, lpszPath, lpszContent, PART_CONTENT);
    }
    catch (const std::exception&)
    {
        Trace("SetConntent");
        return 0;
    }
}

IQVString* CQVOMLParser::NewEle(const char* lpszName, const char* lpszClass, const char* lpszContent)
{
    if (!lpszName || !lpszClass || !lpszContent)
        return nullptr;
    try
    {
        QV_STRING ele;
        NewEleText(ele, lpszName, lpszClass, lpszContent);
        IQVString* pNew = qvNewString(ele.c_str());
        if (!pNew)
            throw std::bad_alloc();
        return pNew;
    }
    catch (const std::exception&)
    {
        Trace("NewEle");
        return nullptr;
    }
}

IQVString* CQVOMLParser::GetEle(const IQVString* pDoc, const char* lpszPath, u32 uCount, u32 uIndex)
{
    if (!pDoc || !lpszPath)
        return nullptr;
    try
    {
        Doc d = DocOf(pDoc);
        Ele span;
        if (!SiblingSpan(d, lpszPath, uCount, uIndex, span))
            return nullptr;
        CQVString* pNew = new CQVString();
        if (!pNew->Assign(d.s + span.uStart, span.uEnd - span.uStart))
        {
            pNew->Delete();
            throw std::bad_alloc();
        }
        return pNew;
    }
    catch (const std::exception&)
    {
        Trace("GetEle");
        return nullptr;
    }
}

u32 CQVOMLParser::InsertEle(IQVString* pDoc, const char* lpszPath, u32 uCount, const char* lpszName,
                            const char* lpszClass, const char* lpszContent)
{
    if (!pDoc || !lpszPath || !lpszName || !lpszClass || !lpszContent)
        return 0;
    try
    {
        Doc d = DocOf(pDoc);
        QV_STRING ele;
        NewEleText(ele, lpszName, lpszClass, lpszContent);
        u32 uPos = Resolve(d, lpszPath);
        if (uPos != QV_NOT_FOUND)
        {
            u32 uSkipped;
            uPos = SkipSiblings(d, uPos, uCount, uSkipped);
            if (!pDoc->Replace(uPos, 0, ele.c_str()))
                throw std::bad_alloc();
            return 1;
        }
        // "A." when A has no children yet: the new element becomes A's whole content.
        size_t uPathLen = strlen(lpszPath);
        char chSep = (uPathLen > 1 && lpszPath[0] == '\n') ? lpszPath[1] : '.';
        if (uPathLen == 0 || lpszPath[uPathLen - 1] != chSep)
            return 0;
        QV_STRING parentPath(lpszPath, (u32)uPathLen - 1);
        uPos = Resolve(d, parentPath.c_str());
        Ele e;
        if (uPos == QV_NOT_FOUND || !EleAt(d, uPos, e))
            return 0;
        Part name = ReadPart(d, e, '(', ')');
        Part cls = ReadPart(d, e, '[', ']');
        QV_STRING parent;
        BuildEle(parent, d.s + name.uPos, name.uLen, d.s + cls.uPos, cls.uLen, ele.c_str(), ele.uLength);
        if (!pDoc->Replace(e.uStart, e.uEnd - e.uStart, parent.c_str()))
            throw std::bad_alloc();
        return 1;
    }
    catch (const std::exception&)
    {
        Trace("InsertEle");
        return 0;
    }
}

void CQVOMLParser::DeleteEle(IQVString* pDoc, const char* lpszPath, u32 uCount, u32 uIndex)
{
    if (!pDoc || !lpszPath || uCount == 0)
        return;
    try
    {
        Doc d = DocOf(pDoc);
        Ele span;
        if (SiblingSpan(d, lpszPath, uCount, uIndex, span))
            pDoc->Replace(span.uStart, span.uEnd - span.uStart, "");
    }
    catch (const std::exception&)
    {
        Trace("DeleteEle");
    }
}

const char* CQVOMLParser::GetName(const IQVString* pDoc, const char* lpszPath)
{
    try
    {
        return GetPart(pDoc, lpszPath, '(', ')', m_strName);
    }
    catch (const std::exception&)
    {
        Trace("GetName");
        return nullptr;
    }
}

const char* CQVOMLParser::GetClass(const IQVString* pDoc, const char* lpszPath)
{
    try
    {
        return GetPart(pDoc, lpszPath, '[', ']', m_strClass);
    }
    catch (const std::exception&)
    {
        Trace("GetClass");
        return nullptr;
    }
}

const char* CQVOMLParser::GetContent(const IQVString* pDoc, const char* lpszPath)
{
    try
    {
        return GetPart(pDoc, lpszPath, '{', '}', m_strContent);
    }
    catch (const std::exception&)
    {
        Trace("GetContent");
        return nullptr;
    }
}

void CQVOMLParser::Delete()
{
    delete this;
}

IQVOMLParser* qvNewOMLParser()
{
    return new (std::nothrow) CQVOMLParser();
}
