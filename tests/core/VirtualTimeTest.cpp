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
