// Intrusive doubly linked lists and fixed tables named by index-cookie handles.
//
// A record carries one QV_LINK_S per list it can be on; it is on a list exactly when the link's
// list pointer is set, so membership is tested without walking. A fixed table allocates all of
// its records once; free records are taken from the head of the free list and returned to its
// tail, and every take and every return draws a new cookie so that old handles go stale.
#pragma once

#include <new>

#include "qvType.h"
#include "qvUtilize.h"

template <class T>
struct QV_LINK_S
{
    T* pPrev = nullptr;
    T* pNext = nullptr;
    void* pList = nullptr;  // the CQVList holding the record, null when on none
};

template <class T, QV_LINK_S<T> T::*Link = &T::link>
class CQVList
{
public:
    CQVList() = default;
    CQVList(const CQVList&) = delete;
    CQVList& operator=(const CQVList&) = delete;

    T* Head() const { return m_pHead; }
    T* Tail() const { return m_pTail; }
    u32 Count() const { return m_uCount; }
    u32 Empty() const { return m_pHead == nullptr; }
    u32 Contains(const T* pItem) const { return pItem != nullptr && (pItem->*Link).pList == this; }
    static T* Next(const T* pItem) { return (pItem->*Link).pNext; }
    static T* Prev(const T* pItem) { return (pItem->*Link).pPrev; }
    // The list a record is on, or null.
    static void* ListOf(const T* pItem) { return (pItem->*Link).pList; }

    // Appends; a record already on a list is refused (0) so that no list is corrupted.
    u32 PushTail(T* pItem)
    {
        if (pItem == nullptr || (pItem->*Link).pList != nullptr)
            return 0;
        QV_LINK_S<T>& l = pItem->*Link;
        l.pPrev = m_pTail;
        l.pNext = nullptr;
        l.pList = this;
        if (m_pTail != nullptr)
            (m_pTail->*Link).pNext = pItem;
        else
            m_pHead = pItem;
        m_pTail = pItem;
        m_uCount++;
        return 1;
    }

    u32 PushHead(T* pItem)
    {
        if (pItem == nullptr || (pItem->*Link).pList != nullptr)
            return 0;
        QV_LINK_S<T>& l = pItem->*Link;
        l.pPrev = nullptr;
        l.pNext = m_pHead;
        l.pList = this;
        if (m_pHead != nullptr)
            (m_pHead->*Link).pPrev = pItem;
        else
            m_pTail = pItem;
        m_pHead = pItem;
        m_uCount++;
        return 1;
    }

    // Inserts pItem after pAfter (which must be on this list); a null pAfter inserts at the head.
    u32 InsertAfter(T* pAfter, T* pItem)
    {
        if (pAfter == nullptr)
            return PushHead(pItem);
        if (pItem == nullptr || (pItem->*Link).pList != nullptr || !Contains(pAfter))
            return 0;
        QV_LINK_S<T>& l = pItem->*Link;
        l.pPrev = pAfter;
        l.pNext = (pAfter->*Link).pNext;
        l.pList = this;
        if (l.pNext != nullptr)
            (l.pNext->*Link).pPrev = pItem;
        else
            m_pTail = pItem;
        (pAfter->*Link).pNext = pItem;
        m_uCount++;
        return 1;
    }

    // Unlinks a record of this list; 0 (nothing changed) when it is not on this list.
    u32 Remove(T* pItem)
    {
        if (!Contains(pItem))
            return 0;
        QV_LINK_S<T>& l = pItem->*Link;
        if (l.pPrev != nullptr)
            (l.pPrev->*Link).pNext = l.pNext;
        else
            m_pHead = l.pNext;
        if (l.pNext != nullptr)
            (l.pNext->*Link).pPrev = l.pPrev;
        else
            m_pTail = l.pPrev;
        l.pPrev = l.pNext = nullptr;
        l.pList = nullptr;
        m_uCount--;
        return 1;
    }

    T* PopHead()
    {
        T* p = m_pHead;
        Remove(p);
        return p;
    }

    // Forgets every record without touching them (their links keep pointing here): only for
    // owners that free or reinitialise all records at once.
    void Reset()
    {
        m_pHead = m_pTail = nullptr;
        m_uCount = 0;
    }

private:
    T* m_pHead = nullptr;
    T* m_pTail = nullptr;
    u32 m_uCount = 0;
};

// Handles (qvHandleMake and its companions in qvUtilize.h) keep the index in 16 bits: a
// table cannot name more records than this.
static const u32 QV_TABLE_MAX = 0x10000;

// Fixed table of records of type T, each with a free-list link (member Link) and a u16 cookie
// (member Cookie). In use means: taken from the table and not yet returned.
template <class T, QV_LINK_S<T> T::*Link = &T::link, u16 T::*Cookie = &T::uCookie>
class CQVTable
{
public:
    CQVTable() = default;
    ~CQVTable() { Clean(); }
    CQVTable(const CQVTable&) = delete;
    CQVTable& operator=(const CQVTable&) = delete;

    // Allocates uCount default-constructed records, all free in index order, each with a fresh
    // cookie. 0 for a count of 0 or above QV_TABLE_MAX, an allocation failure, or a table that
    // already exists.
    u32 Init(u32 uCount)
    {
        if (m_pItem != nullptr || uCount == 0 || uCount > QV_TABLE_MAX)
            return 0;
        m_pItem = new (std::nothrow) T[uCount];
        if (m_pItem == nullptr)
            return 0;
        m_uCount = uCount;
        for (u32 i = 0; i < uCount; i++)
        {
            m_pItem[i].*Cookie = qvGetCookieShort(0);
            m_Free.PushTail(&m_pItem[i]);
        }
        return 1;
    }

    // Frees the records; the owner releases whatever they own first.
    void Clean()
    {
        m_Free.Reset();
        delete[] m_pItem;
        m_pItem = nullptr;
        m_uCount = 0;
        m_uUsed = 0;
    }

    // Takes the free record at the head of the free list with a new cookie, or null when none.
    T* Alloc()
    {
        T* p = m_Free.PopHead();
        if (p == nullptr)
            return nullptr;
        p->*Cookie = qvGetCookieShort(p->*Cookie);
        m_uUsed++;
        return p;
    }

    // Returns a record in use to the tail of the free list with a new cookie, first taking it
    // off the list it is on through the same link (a used list, say); 0 when the record is not
    // one of this table's records in use.
    u32 Free(T* pItem)
    {
        if (IndexOf(pItem) == QV_NOT_FOUND || m_Free.Contains(pItem))
            return 0;
        if (void* pList = (pItem->*Link).pList)
            static_cast<CQVList<T, Link>*>(pList)->Remove(pItem);
        pItem->*Cookie = qvGetCookieShort(pItem->*Cookie);
        m_Free.PushTail(pItem);
        m_uUsed--;
        return 1;
    }

    u32 IndexOf(const T* pItem) const
    {
        if (pItem == nullptr || m_pItem == nullptr || pItem < m_pItem || pItem >= m_pItem + m_uCount)
            return QV_NOT_FOUND;
        return (u32)(pItem - m_pItem);
    }

    u32 Handle(const T* pItem) const
    {
        u32 uIndex = IndexOf(pItem);
        return uIndex == QV_NOT_FOUND ? 0 : qvHandleMake(uIndex, pItem->*Cookie);
    }

    // The record in use that the handle names, or null for an index outside the table, a free
    // record or a stale cookie.
    T* Find(u32 uHandle) const
    {
        u32 uIndex = qvHandleIndex(uHandle);
        if (m_pItem == nullptr || uIndex >= m_uCount)
            return nullptr;
        T* p = &m_pItem[uIndex];
        if (m_Free.Contains(p) || p->*Cookie != qvHandleCookie(uHandle))
            return nullptr;
        return p;
    }

    T* At(u32 uIndex) const { return (m_pItem != nullptr && uIndex < m_uCount) ? &m_pItem[uIndex] : nullptr; }
    u32 IsUsed(const T* pItem) const { return IndexOf(pItem) != QV_NOT_FOUND && !m_Free.Contains(pItem); }
    u32 Count() const { return m_uCount; }
    u32 Used() const { return m_uUsed; }
    u32 FreeCount() const { return m_Free.Count(); }

private:
    T* m_pItem = nullptr;
    u32 m_uCount = 0;
    u32 m_uUsed = 0;
    CQVList<T, Link> m_Free;
};
