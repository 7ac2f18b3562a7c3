// Tunnel events: texts, coalescing, the bounded queues and delivery on the callback thread.
#include <gtest/gtest.h>
#include <json/json.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "doZiriza.h"
#include "kvFakeNode.h"

namespace {

// A host callback that holds the callback thread on its first event until released.
struct CHeldHost
{
    static CHeldHost& Get()
    {
        static CHeldHost s;
        return s;
    }
    static void Callback(unsigned int uEvent, const char* lpszParam)
    {
        CHeldHost& h = Get();
        std::unique_lock<std::mutex> g(h.m);
        h.got.push_back({uEvent, lpszParam});
        h.cv.notify_all();
        h.cv.wait(g, [&] { return h.released; });
    }
    void Reset()
    {
        std::lock_guard<std::mutex> g(m);
        got.clear();
        released = false;
    }
    void Release()
    {
        std::lock_guard<std::mutex> g(m);
        released = true;
        cv.notify_all();
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> g(m);
        return got.size();
    }
    std::vector<std::pair<u32, std::string>> Copy()
    {
        std::lock_guard<std::mutex> g(m);
        return got;
    }
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<u32, std::string>> got;
    bool released = false;
};

bool IsJsonObject(const std::string& s)
{
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string err;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    return r->parse(s.data(), s.data() + s.size(), &v, &err) && v.isObject();
}

std::vector<u32> Numbers(DOZIRIZA_EVENT_LIST& list)
{
    std::vector<u32> v;
    for (DOZIRIZA_EVENT_S* p = list.Head(); p; p = DOZIRIZA_EVENT_LIST::Next(p))
        v.push_back(p->uEvent);
    return v;
}

void Add(DOZIRIZA_EVENT_LIST& list, u32 uEvent, const char* lpszMatch)
{
    doZirizaEventCoalesce(list, uEvent, lpszMatch);
    DOZIRIZA_EVENT_S* p = new DOZIRIZA_EVENT_S;
    p->uEvent = uEvent;
    p->strMatch = lpszMatch;
    list.PushTail(p);
}

}  // namespace

TEST(Events, CoalescingRules)
{
    DOZIRIZA_EVENT_LIST list;
    Add(list, 6, "p1");
    Add(list, 6, "p1");
    Add(list, 6, "p2");
    Add(list, 6, "p1");
    EXPECT_EQ((std::vector<u32>{6, 6}), Numbers(list));  // p2, then the last p1
    Add(list, 5, "p2");
    Add(list, 7, "p2");
    EXPECT_EQ((std::vector<u32>{6, 7}), Numbers(list));
    Add(list, 10, "a:1");
    Add(list, 11, "a:1");
    Add(list, 10, "a:2");
    Add(list, 8, "a:1");
    Add(list, 8, "a:1");
    Add(list, 9, "a:1");
    Add(list, 2, "");
    Add(list, 2, "");
    EXPECT_EQ((std::vector<u32>{6, 7, 11, 10, 8, 8, 9, 2, 2}), Numbers(list));
    doZirizaEventFreeAll(list);
    EXPECT_EQ(0u, list.Count());
}

TEST(Events, ApiAndPushQueuesKeepSixteen)
{
    CDOZiriza t;
    for (u32 i = 0; i < 17; i++)
        EXPECT_EQ(1u, t.EventApiPush(2, ("{\"errcode\":" + std::to_string(i) + "}").c_str(), ""));
    EXPECT_EQ(16u, t.EventApiCount());
    u32 uEvent = 0;
    QV_STRING strParam;
    ASSERT_EQ(1u, t.EventApiPop(&uEvent, strParam));
    EXPECT_EQ(2u, uEvent);
    EXPECT_STREQ("{\"errcode\":1}", strParam.c_str());  // the oldest gave way
    t.EventApiPush(6, "x", "peer");
    EXPECT_EQ(16u, t.EventApiCount());
    // A full queue makes room first; the new event then replaces the one for the same peer.
    t.EventApiPush(5, "y", "peer");
    EXPECT_EQ(15u, t.EventApiCount());
    t.EventApiDrop(5, "peer");
    EXPECT_EQ(14u, t.EventApiCount());
    t.EventApiClean();
    EXPECT_EQ(0u, t.EventApiPop(&uEvent, strParam));

    for (u32 i = 0; i < 20; i++)
        t.NotifyPush(std::to_string(i).c_str());
    QV_STRING strText;
    ASSERT_EQ(1u, t.NotifyPop(strText));
    EXPECT_STREQ("4", strText.c_str());
    t.NotifyClean();
    EXPECT_EQ(0u, t.NotifyPop(strText));
}

TEST(Events, TextsAreJsonAndEscaped)
{
    CDOZiriza t;
    // Without an event thread the texts wait in the event API queue.
    const char* hostile = "ev\"il\\\n\"},\"x\":{\"";
    t.CallbackEventPost(QV_TUNNEL_EVENT_LOGIN, 9, nullptr);
    t.CallbackEventPost(QV_TUNNEL_EVENT_LOGOUT, 0, "ignored");
    t.CallbackEventPost(QV_TUNNEL_EVENT_KICK_OUT, 3, hostile);
    t.CallbackEventPost(QV_TUNNEL_EVENT_PEER_ONLINE, 2, hostile);
    t.CallbackEventPost(QV_TUNNEL_EVENT_CONNECT_CHECK, 0, "127.0.0.1:80");
    t.CallbackEventPost(99, 0, "none");
    t.CallbackEventPeerInfo(hostile, 4, "1.2.3.4:5", "4");
    const char* want[] = {"{\"errcode\":9}", "", nullptr, nullptr, "{\"clientaddr\":\"127.0.0.1:80\"}", nullptr};
    const u32 events[] = {2, 3, 4, 5, 8, 13};
    for (u32 i = 0; i < 6; i++)
    {
        u32 uEvent = 0;
        QV_STRING strParam;
        ASSERT_EQ(1u, t.EventApiPop(&uEvent, strParam));
        EXPECT_EQ(events[i], uEvent);
        if (want[i])
        {
            EXPECT_STREQ(want[i], strParam.c_str());
        }
        if (uEvent != 3)
        {
            EXPECT_TRUE(IsJsonObject(strParam.c_str())) << strParam.c_str();
        }
    }
    u32 uEvent;
    QV_STRING strParam;
    EXPECT_EQ(0u, t.EventApiPop(&uEvent, strParam));
}

TEST(Events, CallbackThreadDeliversAndCoalesces)
{
    CHeldHost::Get().Reset();
    CDOZirizaCallback cb;
    ASSERT_EQ(1u, cb.Initialize(&CHeldHost::Callback));
    cb.PostEvent(2, "first", "");
    ASSERT_TRUE(WaitFor([] { return CHeldHost::Get().Count() == 1; }));
    // The host is busy with the first event: the rest queue and coalesce.
    cb.PostEvent(6, "p1-a", "p1");
    cb.PostEvent(6, "p1-b", "p1");
    cb.PostEvent(6, "p2", "p2");
    cb.PostEvent(5, "p3-on", "p3");
    cb.PostEvent(6, "p3-off", "p3");
    cb.PostEvent(10, "on", "127.0.0.1:1");
    cb.PostEvent(11, "off", "127.0.0.1:1");
    cb.PostEvent(6, "p1-c", "p1");
    EXPECT_EQ(4u, cb.QueuedCount());
    CHeldHost::Get().Release();
    ASSERT_TRUE(WaitFor([] { return CHeldHost::Get().Count() == 5; }));
    auto got = CHeldHost::Get().Copy();
    std::vector<std::string> texts;
    for (auto& e : got)
        texts.push_back(e.second);
    EXPECT_EQ((std::vector<std::string>{"first", "p2", "p3-off", "off", "p1-c"}), texts);
    cb.Clean();
    // A cleaned thread takes nothing more.
    cb.PostEvent(2, "late", "");
    EXPECT_EQ(0u, cb.QueuedCount());
}

TEST(Events, CallbackQueueIsBounded)
{
    CHeldHost::Get().Reset();
    CDOZirizaCallback cb;
    ASSERT_EQ(1u, cb.Initialize(&CHeldHost::Callback));
    cb.PostEvent(2, "hold", "");
    ASSERT_TRUE(WaitFor([] { return CHeldHost::Get().Count() == 1; }));
    const u32 uMax = CDOZirizaCallback::QUEUE_MAX;
    for (u32 i = 0; i < uMax + 10; i++)
        cb.PostEvent(12, std::to_string(i).c_str(), "");
    EXPECT_EQ(uMax, cb.QueuedCount());
    CHeldHost::Get().Release();
    ASSERT_TRUE(WaitFor([&] { return CHeldHost::Get().Count() == uMax + 1; }));
    EXPECT_EQ("10", CHeldHost::Get().Copy()[1].second);  // the oldest gave way
    cb.Clean();
}

TEST(Events, NoCallbackStartsNoThread)
{
    CDOZirizaCallback cb;
    EXPECT_EQ(1u, cb.Initialize(nullptr));
    EXPECT_EQ(0u, cb.IsStarted());
    cb.PostEvent(2, "x", "");
    EXPECT_EQ(0u, cb.QueuedCount());
    cb.Clean();
}
