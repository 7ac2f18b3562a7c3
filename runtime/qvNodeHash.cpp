#include "qvNodeHash.h"

#include <new>

u32 CQVNodeHash::Init(u32 uCount)
{
    if (m_pBucket != nullptr || uCount == 0)
        return 0;
    QV_HASH_BUCKET_S* pBucket = new (std::nothrow) QV_HASH_BUCKET_S[uCount];
    if (pBucket == nullptr)
        return 0;
    for (u32 i = 0; i < uCount; i++)
        pBucket[i].pFirst = pBucket[i].pLast = nullptr;
    m_pBucket = pBucket;
    m_uCount = uCount;
    m_uMask = (uCount & (uCount - 1)) == 0 ? uCount - 1 : 0;
    return 1;
}

void CQVNodeHash::Clean()
{
    if (m_pBucket == nullptr)
        return;
    delete[] m_pBucket;
    m_pBucket = nullptr;
    m_uCount = 0;
    m_uMask = 0;
}

u32 CQVNodeHash::Index(u32 uHash) const
{
    if (m_pBucket == nullptr)
        return QV_NOT_FOUND;
    // A count of 1 is a power of two with mask 0, which still gives bucket 0.
    if ((m_uCount & (m_uCount - 1)) == 0)
        return uHash & m_uMask;
    return uHash % m_uCount;
}

u32 CQVNodeHash::Add(QV_HASH_LINK_S* pLink, void* pOwner, u32 uHash)
{
    if (pLink == nullptr || pLink->pBucket != nullptr || m_pBucket == nullptr)
        return 0;
    QV_HASH_BUCKET_S* pBucket = &m_pBucket[Index(uHash)];
    pLink->pOwner = pOwner;
    pLink->pBucket = pBucket;
    pLink->pNext = nullptr;
    pLink->pPrev = pBucket->pLast;
    if (pBucket->pLast != nullptr)
        pBucket->pLast->pNext = pLink;
    else
        pBucket->pFirst = pLink;
    pBucket->pLast = pLink;
    return 1;
}

u32 CQVNodeHash::Remove(QV_HASH_LINK_S* pLink)
{
    if (pLink == nullptr || pLink->pBucket == nullptr)
        return 0;
    QV_HASH_BUCKET_S* pBucket = pLink->pBucket;
    if (pLink->pPrev != nullptr)
        pLink->pPrev->pNext = pLink->pNext;
    else
        pBucket->pFirst = pLink->pNext;
    if (pLink->pNext != nullptr)
        pLink->pNext->pPrev = pLink->pPrev;
    else
        pBucket->pLast = pLink->pPrev;
    pLink->pPrev = pLink->pNext = nullptr;
    pLink->pBucket = nullptr;
    return 1;
}

QV_HASH_LINK_S* CQVNodeHash::First(u32 uHash) const
{
    u32 uIndex = Index(uHash);
    return uIndex == QV_NOT_FOUND ? nullptr : m_pBucket[uIndex].pFirst;
}

u32 qvNameHash(const char* lpszName)
{
    u32 uHash = 0;
    if (lpszName == nullptr)
        return 0;
    for (const char* p = lpszName; *p != 0; p++)
        uHash = uHash * 31 + (u32)(s32)(signed char)*p;
    return uHash;
}
