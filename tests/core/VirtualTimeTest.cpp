#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "core/Background.h"
#include "core/VirtualTime.h"
#include "core/Weak.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;

TEST(VirtualMainQueue, TimersFireInDueOrderWithTheClockAtTheirDueTime) {
    auto clock = std::make_shared<VirtualClock>();
    VirtualMainQueue q(clock);
    const MonoTime start = clock->monotonic();
    std::vector<std::pair<std::string, long long>> fired;
    auto record = [&](std::string name) {
        return [&, name] {
            fired.emplace_back(
                name, std::chrono::duration_cast<std::chrono::seconds>(clock->monotonic() - start)
                          .count());
        };
    };
    q.postDelayed(30s, record("c30"));
    q.postDelayed(10s, record("a10"));
    q.startRepeating(15s, record("r"));
    q.postDelayed(10s, record("b10"));  // same due time: creation order
    q.advance(45s);
    const std::vector<std::pair<std::string, long long>> want = {
        {"a10", 10}, {"b10", 10}, {"r", 15}, {"c30", 30}, {"r", 30}, {"r", 45}};
    EXPECT_EQ(fired, want);
    EXPECT_EQ(clock->monotonic() - start, 45s);
}

TEST(VirtualMainQueue, RepetitionFirstDelayAndCancellation) {
    VirtualMainQueue q;
    int every = 0, first = 0, cancelled = 0;
    q.startRepeating(60s, [&] { ++every; });
    auto id = q.startRepeating(
        1800s, [&] { ++first; }, 120s);
    auto doomed = q.postDelayed(5s, [&] { ++cancelled; });
    q.cancel(doomed);
    q.cancel(9999);  // unknown ids are ignored
    q.advance(3600s);
    EXPECT_EQ(every, 60);
    EXPECT_EQ(first, 2);  // at 120 s and 1920 s
    EXPECT_EQ(cancelled, 0);
    q.cancel(id);
    q.advance(3600s);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(every, 120);
}

TEST(VirtualMainQueue, ATimerMayCancelItselfAndScheduleOthers) {
    VirtualMainQueue q;
    int ticks = 0;
    MainQueue::TimerId self = 0;
    self = q.startRepeating(1s, [&] {
        if (++ticks == 3) {
            q.cancel(self);
            q.postDelayed(1s, [&] { ticks += 100; });
        }
    });
    q.advance(10s);
    EXPECT_EQ(ticks, 103);
    EXPECT_EQ(q.activeTimers(), 0u);
}

TEST(VirtualMainQueue, ScopedTimerCancelsWhenItGoes) {
    VirtualMainQueue q;
    int n = 0;
    {
        ScopedTimer t(q, q.startRepeating(1s, [&] { ++n; }));
        q.advance(2s);
    }
    q.advance(5s);
    EXPECT_EQ(n, 2);
}

TEST(VirtualMainQueue, RunEndsOnQuitAndSignalsAreCallbacks) {
    VirtualMainQueue q;
    int beats = 0;
    q.startRepeating(15s, [&] { ++beats; });
    q.onSignal(SIGTERM, [&] { q.quit(7); });
    q.postDelayed(61s, [&] { q.deliverSignal(SIGTERM); });
    EXPECT_EQ(q.run(), 7);
    EXPECT_EQ(beats, 4);
    EXPECT_FALSE(q.deliverSignal(SIGUSR1));
}

TEST(VirtualMainQueue, ACallbackWhoseOwnerIsGoneDoesNothing) {
    struct Owner {
        int hits = 0;
    };
    VirtualMainQueue q;
    int survivorHits = 0;
    auto owner = std::make_shared<Owner>();
    q.startRepeating(1s, weakCallback(owner, [](Owner& o) { ++o.hits; }));
    auto survivor = std::make_shared<Owner>();
    q.startRepeating(1s, weakCallback(survivor, [&](Owner& o) { survivorHits = ++o.hits; }));
    q.advance(2s);
    EXPECT_EQ(owner->hits, 2);
    std::weak_ptr<Owner> watch = owner;
    owner.reset();
    EXPECT_TRUE(watch.expired());  // the timer did not keep it alive
    q.advance(3s);
    EXPECT_EQ(survivorHits, 5);
}

TEST(VirtualMainQueue, WorkFromBackgroundThreadsLandsOnTheTestThread) {
    VirtualMainQueue q;
    ThreadPoolBackground pool(3);
    const auto mainThread = std::this_thread::get_id();
    int done = 0;
    bool allOnMain = true;
    for (int i = 0; i < 20; ++i)
        pool.run([&] {
            q.post([&] {
                allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
                ++done;
            });
        });
    EXPECT_TRUE(q.runUntil([&] { return done == 20; }));
    EXPECT_TRUE(allOnMain);
}

TEST(Background, ManualBackgroundRunsInOrderWhenAsked) {
    ManualBackground bg;
    std::vector<int> order;
    bg.run([&] {
        order.push_back(1);
        bg.run([&] { order.push_back(3); });
    });
    bg.run([&] { order.push_back(2); });
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(bg.runAll(), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(VirtualClock, WallClockCanJumpAloneLikeASleepOrAClockChange) {
    VirtualClock clock;
    const auto wall = clock.now();
    const auto mono = clock.monotonic();
    clock.setWall(wall + 8h);
    EXPECT_EQ(clock.now() - wall, 8h);
    EXPECT_EQ(clock.monotonic(), mono);
    clock.advance(1s);
    EXPECT_EQ(clock.now() - wall, 8h + 1s);
    EXPECT_EQ(clock.monotonic() - mono, 1s);
}

}  // namespace
}  // namespace tarvo
