// Hash of records that carry their own chain links, and the library's name hash.
#pragma once

#include "qvType.h"

struct QV_HASH_BUCKET_S;

// Embedded in a record once per hash it can be in. pOwner points back at the record so that
// a chain can be walked without knowing the link's offset inside the record.
struct QV_HASH_LINK_S
{
    QV_HASH_LINK_S* pPrev = nullptr;
    QV_HASH_LINK_S* pNext = nullptr;
    QV_HASH_BUCKET_S* pBucket = nullptr;  // the chain holding the record, null when in none
    void* pOwner = nullptr;
};

struct QV_HASH_BUCKET_S
{
    QV_HASH_LINK_S* pFirst;
    QV_HASH_LINK_S* pLast;
};

// A power-of-two bucket count selects the bucket by hash AND (count - 1) (m_uMask then holds
// count - 1); any other count by hash modulo count (m_uMask 0).
class CQVNodeHash
{
public:
    CQVNodeHash() = default;
    ~CQVNodeHash() { Clean(); }
    CQVNodeHash(const CQVNodeHash&) = delete;
    CQVNodeHash& operator=(const CQVNodeHash&) = delete;

    // Makes uCount empty buckets; 0 for a count of 0, an allocation failure or a hash that
    // already has buckets.
    u32 Init(u32 uCount);
    // Releases the bucket array and zeroes count and mask; entries are not touched, so the
    // owner unlinks and frees them first.
    void Clean();

    // Bucket number of a hash value; QV_NOT_FOUND without buckets.
    u32 Index(u32 uHash) const;
    // Appends the record to the end of its bucket's chain; 0 without buckets or when the
    // link is already in a chain.
    u32 Add(QV_HASH_LINK_S* pLink, void* pOwner, u32 uHash);
    // Unlinks the record from its chain; 0 when it is in none.
    u32 Remove(QV_HASH_LINK_S* pLink);
    // First link of the chain of a hash value (walk on with pNext), null when empty.
    QV_HASH_LINK_S* First(u32 uHash) const;

    // First record in the chain of uHash for which match(owner) is true, or null.
    template <class T, class F>
    T* Find(u32 uHash, F match) const
    {
        for (QV_HASH_LINK_S* p = First(uHash); p != nullptr; p = p->pNext)
            if (match(static_cast<T*>(p->pOwner)))
                return static_cast<T*>(p->pOwner);
        return nullptr;
    }

    QV_HASH_BUCKET_S* m_pBucket = nullptr;
    u32 m_uCount = 0;
    u32 m_uMask = 0;
};

// h = h * 31 + c over the characters taken as signed 8-bit values, from 0, wrapping in 32
// bits. A null name hashes to 0.
u32 qvNameHash(const char* lpszName);
