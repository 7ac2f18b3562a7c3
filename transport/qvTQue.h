// Fixed-size ring of items, addressed from its head; used for the per-priority send and
// receive rings of the peer sockets.
#pragma once

#include "qvType.h"

#include <cassert>
#include <new>

template <class T>
class CQVTQue {
public:
    CQVTQue() : m_uHead(0), m_uTail(0), m_uSize(0), m_uWrap(0), m_pQueue(0) {}
    ~CQVTQue() { Destroy(); }
    CQVTQue(const CQVTQue&) = delete;
    CQVTQue& operator=(const CQVTQue&) = delete;

    // 1 when the array was made, 0 when out of memory.
    u32 Create(u32 n)
    {
        assert(n >= 1 && m_pQueue == 0);
        m_pQueue = new (std::nothrow) T[n];
        if (!m_pQueue) return 0;
        m_uSize = n;
        m_uHead = m_uTail = m_uWrap = 0;
        return 1;
    }
    void Destroy()
    {
        delete[] m_pQueue;
        m_pQueue = 0;
        m_uSize = m_uHead = m_uTail = m_uWrap = 0;
    }
    u32 IsCreated() const { return m_pQueue != 0; }

    u32 Size() const { return m_uSize; }
    u32 Count() const
    {
        assert(m_pQueue != 0);
        return m_uWrap ? m_uTail + m_uSize - m_uHead : m_uTail - m_uHead;
    }
    u32 Free() const { return m_uSize - Count(); }

    // 0 stored; 1 refused because the ring is full.
    int Push(const T& item)
    {
        assert(m_pQueue != 0);
        if (Count() >= m_uSize) return 1;
        m_pQueue[m_uTail] = item;
        if (++m_uTail >= m_uSize) {
            m_uTail = 0;
            m_uWrap = 1;
        }
        return 0;
    }
    // 0 taken; 1 the ring is empty.
    int Pop(T& item)
    {
        assert(m_pQueue != 0);
        if (Count() == 0) return 1;
        item = m_pQueue[m_uHead];
        if (++m_uHead >= m_uSize) {
            m_uHead = 0;
            m_uWrap = 0;
        }
        return 0;
    }
    // 0 read; 1 beyond the items held; -1 beyond the ring.
    int Get(u32 i, T& item) const
    {
        assert(m_pQueue != 0);
        if (i >= m_uSize) return -1;
        if (i >= Count()) return 1;
        item = m_pQueue[(m_uHead + i) % m_uSize];
        return 0;
    }
    // Stores at position i; beyond the items held the ring grows to i + 1 items and the
    // slots skipped keep what they held. -1 beyond the ring.
    int Set(u32 i, const T& item)
    {
        assert(m_pQueue != 0);
        if (i >= m_uSize) return -1;
        u32 uSlot = (m_uHead + i) % m_uSize;
        m_pQueue[uSlot] = item;
        if (i >= Count()) {
            m_uTail = uSlot + 1;
            m_uWrap = uSlot < m_uHead ? 1 : 0;
            if (m_uTail >= m_uSize) {
                m_uTail = 0;
                m_uWrap = 1;
            }
        }
        return 0;
    }

private:
    u32 m_uHead;
    u32 m_uTail;
    u32 m_uSize;
    u32 m_uWrap;
    T* m_pQueue;
};
