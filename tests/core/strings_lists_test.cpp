#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "core/dual_string.h"
#include "core/locked_list.h"
#include "platform/text.h"

namespace tarnwick {
namespace {

TEST(TextTest, Utf8AndUtf16RoundTrip) {
    const std::string utf8 =
        "Gr\xc3\xbc\xc3\x9f"
        "e \xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x98\x80 \xe2\x82\xac";
    const std::u16string utf16 = u"Gr\u00fc\u00dfe \u4e2d\u6587 \U0001F600 \u20ac";
    EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
    EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
}

TEST(TextTest, MalformedInputBecomesReplacementCharacters) {
    // A stray continuation byte, a truncated sequence, an overlong form, an encoded surrogate.
    EXPECT_EQ(Utf8ToUtf16("a\x80z"), u"a\ufffdz");
    EXPECT_EQ(Utf8ToUtf16("a\xe4\xb8"), u"a\ufffd");
    EXPECT_EQ(Utf8ToUtf16("\xc0\xaf"), u"\ufffd");
    EXPECT_EQ(Utf8ToUtf16("\xed\xa0\x80x"), u"\ufffdx");
    EXPECT_EQ(Utf8ToUtf16("\xe4z"), u"\ufffdz");  // the byte after a broken lead is kept
    // Lone surrogates on the wide side.
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xd800') + u"x"), "\xef\xbf\xbdx");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xdc00')), "\xef\xbf\xbd");
}

TEST(TextTest, AbsentInputs) {
    EXPECT_EQ(WidenOrNull(nullptr), u"(NULL)");
    EXPECT_EQ(NarrowOrNull(nullptr), "(NULL)");
    EXPECT_EQ(DuplicateNarrow(nullptr), "");
    EXPECT_EQ(WidenOrNull("\xc3\xa9"), u"\u00e9");
}

TEST(DualStringTest, ConvertsOnDemandHoldingOneForm) {
    DualString s(u"caf\u00e9");
    EXPECT_TRUE(s.HoldsWide());
    EXPECT_STREQ(s.GetNarrow(), "caf\xc3\xa9");
    EXPECT_FALSE(s.HoldsWide());
    EXPECT_TRUE(s.HoldsNarrow());
    EXPECT_EQ(std::u16string(s.GetWide()), u"caf\u00e9");
    EXPECT_FALSE(s.HoldsNarrow());
}

TEST(DualStringTest, EmptyStrings) {
    DualString empty;
    EXPECT_EQ(empty.GetNarrow(), nullptr);
    EXPECT_EQ(empty.GetWide(), nullptr);
    EXPECT_TRUE(empty == "");
    EXPECT_TRUE(empty == static_cast<const char*>(nullptr));
    EXPECT_FALSE(empty == "x");
    EXPECT_TRUE(empty == DualString());
    EXPECT_EQ(empty.RemoveLast(), 0);
    EXPECT_EQ(empty.Length(), 0u);

    DualString one("x");
    EXPECT_EQ(one.RemoveLast(), 'x');
    EXPECT_EQ(one.Length(), 0u);
    EXPECT_TRUE(one.HoldsNarrow());
    EXPECT_TRUE(one == "");
}

TEST(DualStringTest, AppendAndCompareAcrossForms) {
    DualString s("ab");
    s.Append(u"\u00e9");
    EXPECT_TRUE(s.HoldsWide());
    EXPECT_FALSE(s.HoldsNarrow());
    s.Append('!');
    EXPECT_TRUE(s.HoldsNarrow());
    EXPECT_STREQ(s.GetNarrow(), "ab\xc3\xa9!");
    EXPECT_TRUE(s == u"ab\u00e9!");
    EXPECT_TRUE(s == "ab\xc3\xa9!");
    EXPECT_TRUE(s.HoldsNarrow());  // comparing does not change the form held
    EXPECT_TRUE(s.EndsWith('!'));
    EXPECT_FALSE(s.EndsWith('b'));

    DualString wide(u"ab\u00e9!");
    EXPECT_TRUE(s == wide);
    EXPECT_FALSE(s == DualString("ab"));

    DualString joined = "x=" + s + "&";
    EXPECT_STREQ(joined.GetNarrow(), "x=ab\xc3\xa9!&");
    DualString copy(joined);
    copy = copy;  // self-assignment changes nothing
    EXPECT_TRUE(copy == joined);
}

TEST(LockedListTest, QueueBehaviour) {
    LockedList<int> list;
    EXPECT_EQ(list.PopFront(), 0);
    list.PushBack(1);
    list.PushBack(2);
    list.PushBack(3);
    EXPECT_FALSE(list.Remove(7));
    EXPECT_EQ(list.Count(), 3u);
    // Removing the last node must fix the tail so the next push appends correctly.
    EXPECT_TRUE(list.Remove(3));
    list.PushBack(4);
    EXPECT_EQ(list.PopFront(), 1);
    EXPECT_EQ(list.PopFront(), 2);
    EXPECT_EQ(list.PopFront(), 4);
    EXPECT_EQ(list.PopFront(), 0);
    EXPECT_TRUE(list.Empty());
}

TEST(LockedListTest, IterationSurvivesRemovalOfTheCursor) {
    LockedList<int> list;
    for (int i = 1; i <= 5; ++i)
        list.PushBack(i);
    std::vector<int> seen;
    for (int item = list.Begin(); item != 0; item = list.Next()) {
        seen.push_back(item);
        if (item == 2) list.Remove(3);  // the cursor's node
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 4, 5}));

    LockedList<int> copy;
    list.CopyTo(copy);
    EXPECT_EQ(copy.Count(), 4u);
    EXPECT_EQ(copy.PopFront(), 1);
    EXPECT_EQ(list.Count(), 4u);  // the source is unchanged
}

TEST(LockedListTest, OwnedItemsAreFreedByClear) {
    auto tracker = std::make_shared<int>(0);
    std::weak_ptr<int> watch = tracker;
    {
        LockedList<std::shared_ptr<int>> list;
        list.PushBack(std::move(tracker));
    }
    EXPECT_TRUE(watch.expired());

    LockedList<std::unique_ptr<int>> owned;
    owned.PushBack(std::make_unique<int>(5));
    auto popped = owned.PopFront();
    ASSERT_TRUE(popped);
    EXPECT_EQ(*popped, 5);
    EXPECT_FALSE(owned.PopFront());
}

TEST(LockedListTest, ProducerAndConsumerThreads) {
    LockedList<std::unique_ptr<int>> queue;
    constexpr int kItems = 30000;
    std::thread producer([&] {
        for (int i = 1; i <= kItems; ++i)
            queue.PushBack(std::make_unique<int>(i));
    });
    long long sum = 0;
    int next = 1;
    bool in_order = true;
    while (next <= kItems) {
        auto item = queue.PopFront();
        if (!item) {
            std::this_thread::yield();
            continue;
        }
        in_order = in_order && *item == next;
        sum += *item;
        ++next;
    }
    producer.join();
    EXPECT_TRUE(in_order);
    EXPECT_EQ(sum, static_cast<long long>(kItems) * (kItems + 1) / 2);
    EXPECT_TRUE(queue.Empty());
}

}  // namespace
}  // namespace tarnwick
