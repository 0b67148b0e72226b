#include "session/deferred_deletion.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/recording_layer.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::RecordingLayer;

// Records when it was destroyed.
class TimedLayer : public RecordingLayer {
  public:
    explicit TimedLayer(std::atomic<long long>* destroyed_at) : destroyed_at_(destroyed_at) {}
    ~TimedLayer() override {
        destroyed_at_->store(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 DeferredDeletion::Clock::now().time_since_epoch())
                                 .count());
    }

  private:
    std::atomic<long long>* destroyed_at_;
};

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               DeferredDeletion::Clock::now().time_since_epoch())
        .count();
}

TEST(DeferredDeletionTest, ABurstIsDestroyedTogetherAfterTheLastAddition) {
    // The same rule as the 5-second delay, scaled down so the test stays quick: two removals
    // 600 ms apart are destroyed together, one delay after the second.
    DeferredDeletion deletion(1000ms);
    deletion.StartReaper();
    std::atomic<long long> first{0}, second{0};
    deletion.Add(new TimedLayer(&first));
    std::this_thread::sleep_for(600ms);
    const long long second_added = NowMs();
    deletion.Add(new TimedLayer(&second));
    while (second.load() == 0 && NowMs() - second_added < 5000)
        std::this_thread::sleep_for(20ms);
    ASSERT_NE(first.load(), 0);
    ASSERT_NE(second.load(), 0);
    EXPECT_GE(first.load() - second_added, 1000);  // not before the delay after the second
    EXPECT_LE(second.load() - second_added, 1000 + 2 * 250 + 1000);  // a poll or two, and slack
    EXPECT_LE(std::abs(first.load() - second.load()), 50);           // in the same batch
    EXPECT_EQ(deletion.Pending(), 0u);
    deletion.StopReaper();
}

TEST(DeferredDeletionTest, ChainsAreDestroyedOnceAndShutDownEmptiesTheList) {
    int destroyed_top = 0, destroyed_bottom = 0;
    {
        DeferredDeletion deletion(60000ms);
        deletion.StartReaper();
        auto* top = new RecordingLayer();
        auto* bottom = new RecordingLayer();
        top->CountDestructionIn(&destroyed_top);
        bottom->CountDestructionIn(&destroyed_bottom);
        ASSERT_EQ(top->InsertBelow(bottom), 0);
        deletion.Add(top);
        deletion.Add(nullptr);  // ignored
        EXPECT_EQ(deletion.Pending(), 1u);
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(destroyed_top, 0);  // long before its deadline
    }  // the destructor stops the reaper promptly and destroys the rest
    EXPECT_EQ(destroyed_top, 1);
    EXPECT_EQ(destroyed_bottom, 1);
}

}  // namespace
}  // namespace tarnwick
