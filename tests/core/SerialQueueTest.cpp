#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/Background.h"
#include "core/SerialQueue.h"
#include "core/TimerThread.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, ATaskPostedFromATaskRunsAfterItNotInsideIt) {
    InlineBackground background;
    SerialQueue queue(background);
    std::vector<std::string> trace;
    queue.post([&] {
        trace.push_back("a begins");
        queue.post([&] { trace.push_back("b"); });
        trace.push_back("a ends");
    });
    queue.post([&] { trace.push_back("c"); });
    EXPECT_EQ(trace, (std::vector<std::string>{"a begins", "a ends", "b", "c"}));
    EXPECT_EQ(queue.pending(), 0u);
}

TEST(SerialQueue, AThrowingTaskDoesNotStallTheQueue) {
    ManualBackground background;
    SerialQueue queue(background);
    bool after = false;
    queue.post([] { throw std::runtime_error("boom"); });
    queue.post([&] { after = true; });
    background.runAll();
    EXPECT_TRUE(after);
    EXPECT_EQ(queue.pending(), 0u);
}

TEST(SerialQueue, TasksFromManyThreadsNeverOverlapAndKeepEachPostersOrder) {
    ThreadPoolBackground background(4);
    SerialQueue queue(background);
    constexpr int kPosters = 6, kEach = 300;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    // Written only inside tasks: a data race here is what the queue rules out.
    std::vector<int> lastSeen(kPosters, -1);
    int outOfOrder = 0;
    int ran = 0;

    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) {
                queue.post([&, p, i] {
                    if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
                    if (lastSeen[p] >= i) ++outOfOrder;
                    lastSeen[p] = i;
                    ++ran;
                    std::this_thread::yield();
                    inside.fetch_sub(1);
                });
            }
        });
    }
    for (auto& t : posters) t.join();
    std::promise<void> done;
    queue.post([&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);

    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(ran, kPosters * kEach);
    for (int p = 0; p < kPosters; ++p) EXPECT_EQ(lastSeen[p], kEach - 1);
}

// The presence heartbeat's thread keeps beating while the thread that made
// it is blocked, and stops for good when destroyed.
TEST(TimerThread, BeatsWhileTheOwnerIsBlockedAndStopsWhenDestroyed) {
    std::atomic<int> beats{0};
    const auto started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration firstBeat{};
    {
        TimerThread timer(std::chrono::milliseconds(20), [&] {
            if (beats.fetch_add(1) == 0) firstBeat = std::chrono::steady_clock::now() - started;
        });
        // This thread is "stalled": it never yields to any loop.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (beats.load() < 3 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_GE(beats.load(), 3);
    }
    EXPECT_GE(firstBeat, std::chrono::milliseconds(20));  // never early
    const int atStop = beats.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(beats.load(), atStop);
}

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

}  // namespace
}  // namespace tarvo
