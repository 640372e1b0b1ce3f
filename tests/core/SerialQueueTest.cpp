#include "core/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "core/Background.h"
#include "core/TimerThread.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, ATaskPostedFromATaskRunsAfterItAndAThrowingTaskStallsNothing) {
    ManualBackground background;
    SerialQueue queue(background);
    std::vector<std::string> trace;
    queue.post([&] {
        trace.push_back("a begins");
        queue.post([&] { trace.push_back("b"); });
        trace.push_back("a ends");
        throw std::runtime_error("boom");
    });
    queue.post([&] { trace.push_back("c"); });
    background.runAll();
    EXPECT_EQ(trace, (std::vector<std::string>{"a begins", "a ends", "c", "b"}));
    EXPECT_EQ(queue.pending(), 0u);
}

TEST(SerialQueue, TasksFromManyThreadsNeverOverlapAndKeepEachPostersOrder) {
    ThreadPoolBackground background(4);
    SerialQueue queue(background);
    constexpr int kPosters = 6, kEach = 300;
    std::atomic<int> inside{0}, overlaps{0};
    // Written only inside tasks: a data race here is what the queue rules out.
    std::vector<int> lastSeen(kPosters, -1);
    int outOfOrder = 0;
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) {
                queue.post([&, p, i] {
                    if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
                    if (lastSeen[p] != i - 1) ++outOfOrder;
                    lastSeen[p] = i;
                    std::this_thread::yield();
                    inside.fetch_sub(1);
                });
            }
        });
    }
    for (auto& t : posters) t.join();
    std::promise<void> done;
    queue.post([&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(lastSeen, std::vector<int>(kPosters, kEach - 1));
}

// The presence heartbeat's thread keeps beating while the thread that made
// it is blocked, and stops for good when destroyed.
TEST(TimerThread, BeatsWhileTheOwnerIsBlockedAndStopsWhenDestroyed) {
    std::atomic<int> beats{0};
    const auto started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration firstBeat{};
    {
        TimerThread timer(20ms, [&] {
            if (beats.fetch_add(1) == 0) firstBeat = std::chrono::steady_clock::now() - started;
        });
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (beats.load() < 3 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        EXPECT_GE(beats.load(), 3);
    }
    EXPECT_GE(firstBeat, 20ms);  // never early
    const int atStop = beats.load();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(beats.load(), atStop);
}

}  // namespace
}  // namespace tarvo
