// The hash of self-linked records and the name hash.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qvNodeHash.h"

namespace
{

struct REC_S
{
    QV_HASH_LINK_S hash;
    u32 uKey = 0;
};

TEST(NodeHash, BucketByMaskForPowersOfTwoElseByModulo)
{
    struct
    {
        u32 uCount, uMask;
        u32 uHash, uIndex;
    } cases[] = {
        {256, 255, 0x12345, 0x45}, {8, 7, 13, 5}, {100, 0, 1234, 34}, {1, 0, 0xFFFFFFFFu, 0}, {3, 0, 0xFFFFFFFFu, 0},
    };
    for (auto& c : cases)
    {
        CQVNodeHash hash;
        ASSERT_EQ(hash.Init(c.uCount), 1u);
        EXPECT_EQ(hash.m_uCount, c.uCount);
        EXPECT_EQ(hash.m_uMask, c.uMask) << c.uCount;
        EXPECT_EQ(hash.Index(c.uHash), c.uIndex) << c.uCount;
    }
}

TEST(NodeHash, InitAndCleanLifecycle)
{
    CQVNodeHash hash;
    EXPECT_EQ(hash.Init(0), 0u);
    EXPECT_EQ(hash.Index(5), QV_NOT_FOUND);
    EXPECT_EQ(hash.First(5), nullptr);
    REC_S r;
    EXPECT_EQ(hash.Add(&r.hash, &r, 5), 0u);  // no buckets yet

    ASSERT_EQ(hash.Init(16), 1u);
    EXPECT_EQ(hash.Init(32), 0u);  // already made: kept as it is
    EXPECT_EQ(hash.m_uCount, 16u);

    hash.Clean();
    EXPECT_EQ(hash.m_pBucket, nullptr);
    EXPECT_EQ(hash.m_uCount, 0u);
    EXPECT_EQ(hash.m_uMask, 0u);
    hash.Clean();  // nothing to release
    EXPECT_EQ(hash.Init(32), 1u);
}

TEST(NodeHash, ChainsKeepInsertionOrderAndUnlinkFromAnyPlace)
{
    CQVNodeHash hash;
    ASSERT_EQ(hash.Init(4), 1u);
    std::vector<REC_S> recs(6);
    for (u32 i = 0; i < recs.size(); i++)
    {
        recs[i].uKey = i;
        // Keys 0, 4 share bucket 0; 1, 5 bucket 1; and so on.
        ASSERT_EQ(hash.Add(&recs[i].hash, &recs[i], i), 1u);
    }
    EXPECT_EQ(hash.Add(&recs[0].hash, &recs[0], 0), 0u);  // already in a chain

    auto chain = [&](u32 uHash) {
        std::vector<u32> keys;
        for (QV_HASH_LINK_S* p = hash.First(uHash); p != nullptr; p = p->pNext)
            keys.push_back(static_cast<REC_S*>(p->pOwner)->uKey);
        return keys;
    };
    EXPECT_EQ(chain(0), (std::vector<u32>{0, 4}));
    EXPECT_EQ(chain(1), (std::vector<u32>{1, 5}));
    EXPECT_EQ(chain(2), (std::vector<u32>{2}));

    REC_S* p = hash.Find<REC_S>(4, [](REC_S* r) { return r->uKey == 4; });
    EXPECT_EQ(p, &recs[4]);
    EXPECT_EQ(hash.Find<REC_S>(4, [](REC_S* r) { return r->uKey == 1; }), nullptr);

    // Head, tail and only member of a chain.
    EXPECT_EQ(hash.Remove(&recs[0].hash), 1u);
    EXPECT_EQ(hash.Remove(&recs[5].hash), 1u);
    EXPECT_EQ(hash.Remove(&recs[2].hash), 1u);
    EXPECT_EQ(hash.Remove(&recs[2].hash), 0u);  // not in a chain any more
    EXPECT_EQ(chain(0), (std::vector<u32>{4}));
    EXPECT_EQ(chain(1), (std::vector<u32>{1}));
    EXPECT_EQ(chain(2), (std::vector<u32>{}));
    EXPECT_EQ(hash.Add(&recs[2].hash, &recs[2], 6), 1u);  // back in, in another chain
    EXPECT_EQ(chain(2), (std::vector<u32>{2}));
}

TEST(NameHash, Times31PlusSignedCharacters)
{
    struct
    {
        const char* lpszName;
        u32 uHash;
    } cases[] = {
        {nullptr, 0},
        {"", 0},
        {"a", 97},
        {"ab", 97 * 31 + 98},
        {"Hello", 69609650},           // same rule as Java's String.hashCode
        {"\x80", 0xFFFFFF80u},         // characters are signed
        {"\xff\x01", 0xFFFFFFFFu * 31 + 1},
        {"QV_CLASS_Peer", 0},          // filled in below: wraps in 32 bits
    };
    u32 uLong = 0;
    for (const char* p = "QV_CLASS_Peer"; *p; p++)
        uLong = uLong * 31u + (u32)(unsigned char)*p;  // plain ASCII: signed and unsigned agree
    cases[7].uHash = uLong;
    for (auto& c : cases)
        EXPECT_EQ(qvNameHash(c.lpszName), c.uHash) << (c.lpszName ? c.lpszName : "(null)");
}

}  // namespace
