// Intrusive lists and fixed tables named by index-cookie handles.
#include <gtest/gtest.h>

#include <vector>

#include "qvTable.h"

namespace
{

struct ITEM_S
{
    QV_LINK_S<ITEM_S> link;
    QV_LINK_S<ITEM_S> linkPend;  // a second list the record can be on at the same time
    u16 uCookie = 0;
    u32 uValue = 0;
};
typedef CQVList<ITEM_S> LIST;
typedef CQVList<ITEM_S, &ITEM_S::linkPend> PEND_LIST;

template <class L>
std::vector<u32> Values(const L& list)
{
    std::vector<u32> v;
    for (ITEM_S* p = list.Head(); p != nullptr; p = L::Next(p))
        v.push_back(p->uValue);
    return v;
}

TEST(List, LinksAndUnlinksAnywhere)
{
    ITEM_S items[5];
    for (u32 i = 0; i < 5; i++)
        items[i].uValue = i;
    LIST list;
    PEND_LIST pend;
    EXPECT_TRUE(list.Empty());
    EXPECT_EQ(list.PopHead(), nullptr);

    list.PushTail(&items[1]);
    list.PushTail(&items[3]);
    list.PushHead(&items[0]);
    list.InsertAfter(&items[1], &items[2]);
    list.InsertAfter(&items[3], &items[4]);
    EXPECT_EQ(Values(list), (std::vector<u32>{0, 1, 2, 3, 4}));
    EXPECT_EQ(list.Count(), 5u);
    EXPECT_EQ(list.Tail(), &items[4]);

    // A record is on at most one list per link; the second link is independent.
    LIST other;
    EXPECT_EQ(other.PushTail(&items[2]), 0u);
    EXPECT_EQ(list.PushTail(&items[2]), 0u);
    EXPECT_EQ(other.InsertAfter(&items[2], &items[0]), 0u);
    EXPECT_EQ(pend.PushTail(&items[2]), 1u);
    EXPECT_TRUE(pend.Contains(&items[2]));
    EXPECT_FALSE(list.Contains(nullptr));

    EXPECT_EQ(other.Remove(&items[2]), 0u);  // not on that list: nothing changes
    EXPECT_EQ(list.Remove(&items[2]), 1u);   // middle
    EXPECT_EQ(list.Remove(&items[4]), 1u);   // tail
    EXPECT_EQ(list.PopHead(), &items[0]);    // head
    EXPECT_EQ(Values(list), (std::vector<u32>{1, 3}));
    EXPECT_EQ(LIST::ListOf(&items[0]), nullptr);
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_EQ(Values(pend), (std::vector<u32>{2}));
}

TEST(Table, TakesFromTheHeadAndReturnsToTheTail)
{
    CQVTable<ITEM_S> table;
    ASSERT_EQ(table.Init(3), 1u);
    ITEM_S* a = table.Alloc();
    ITEM_S* b = table.Alloc();
    EXPECT_EQ(table.IndexOf(a), 0u);
    EXPECT_EQ(table.IndexOf(b), 1u);
    EXPECT_EQ(table.Used(), 2u);
    ASSERT_EQ(table.Free(a), 1u);
    // Index 2 was free before index 0 came back, so it is taken first.
    ITEM_S* c = table.Alloc();
    EXPECT_EQ(table.IndexOf(c), 2u);
    EXPECT_EQ(table.Alloc(), a);
    EXPECT_EQ(table.Alloc(), nullptr);
    EXPECT_EQ(table.FreeCount(), 0u);
}

TEST(Table, HandlesGoStaleWhenTheRecordIsReleased)
{
    CQVTable<ITEM_S> table;
    ASSERT_EQ(table.Init(1), 1u);
    ITEM_S* p = table.Alloc();
    u32 h = table.Handle(p);
    EXPECT_NE(h, 0u);
    EXPECT_EQ(h >> 16, 0u);
    EXPECT_EQ(table.Find(h), p);

    struct
    {
        u32 uHandle;
        const char* lpszWhy;
    } bad[] = {{h ^ 0x1u, "wrong cookie"}, {h | 0x10000u, "index outside"}, {0xFFFF0000u | (h & 0xFFFF), "far index"}};
    for (auto& c : bad)
        EXPECT_EQ(table.Find(c.uHandle), nullptr) << c.lpszWhy;

    ASSERT_EQ(table.Free(p), 1u);
    EXPECT_EQ(table.Find(h), nullptr);  // free record
    EXPECT_EQ(table.Free(p), 0u);       // freed twice
    ITEM_S* q = table.Alloc();
    ASSERT_EQ(q, p);
    EXPECT_NE(table.Handle(q), h);  // reused with a new cookie
    EXPECT_EQ(table.Find(h), nullptr);
    EXPECT_EQ(table.Find(table.Handle(q)), q);

    ITEM_S outside;
    EXPECT_EQ(table.Free(&outside), 0u);
    EXPECT_EQ(table.Handle(&outside), 0u);
}

TEST(Table, FreeTakesTheRecordOffItsUsedList)
{
    CQVTable<ITEM_S> table;
    ASSERT_EQ(table.Init(4), 1u);
    LIST used;
    ITEM_S* a = table.Alloc();
    ITEM_S* b = table.Alloc();
    a->uValue = 1;
    b->uValue = 2;
    used.PushTail(a);
    used.PushTail(b);
    ASSERT_EQ(table.Free(a), 1u);
    EXPECT_EQ(Values(used), (std::vector<u32>{2}));
    EXPECT_FALSE(table.IsUsed(a));
    EXPECT_TRUE(table.IsUsed(b));
}

TEST(Table, SizeLimits)
{
    CQVTable<ITEM_S> table;
    EXPECT_EQ(table.Init(0), 0u);
    EXPECT_EQ(table.Init(QV_TABLE_MAX + 1), 0u);  // a 16-bit index could not name them
    EXPECT_EQ(table.Alloc(), nullptr);
    EXPECT_EQ(table.Find(0), nullptr);
    ASSERT_EQ(table.Init(QV_TABLE_MAX), 1u);
    EXPECT_EQ(table.Init(2), 0u);  // already made
    ITEM_S* last = table.At(QV_TABLE_MAX - 1);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(table.At(QV_TABLE_MAX), nullptr);
    table.Clean();
    EXPECT_EQ(table.Count(), 0u);
    EXPECT_EQ(table.Init(2), 1u);
}

}  // namespace
