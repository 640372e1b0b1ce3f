#include <gtest/gtest.h>

#include <QCoreApplication>
#include <csignal>
#include <thread>

#include "platform/qt/QtMainQueue.h"

namespace tarvo::platform {
namespace {

using namespace std::chrono_literals;

QCoreApplication& app() {
    static int argc = 1;
    static char name[] = "test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
    return instance;
}

TEST(QtMainQueue, TimersRepeatFireOnceAndCancel) {
    app();
    QtMainQueue q;
    int repeats = 0, once = 0, cancelled = 0;
    auto rep = q.startRepeating(
        10ms, [&] { ++repeats; }, 0ms);
    q.postDelayed(5ms, [&] { ++once; });
    auto doomed = q.postDelayed(20ms, [&] { ++cancelled; });
    q.cancel(doomed);
    q.postDelayed(120ms, [&] {
        q.cancel(rep);
        q.quit(3);
    });
    EXPECT_EQ(q.run(), 3);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(cancelled, 0);
    EXPECT_GE(repeats, 3);
}

TEST(QtMainQueue, PostsFromOtherThreadsRunOnTheMainThread) {
    app();
    QtMainQueue q;
    const auto mainThread = std::this_thread::get_id();
    int done = 0;
    bool onMain = true;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            q.post([&] {
                onMain = onMain && std::this_thread::get_id() == mainThread;
                if (++done == 4) q.quit(0);
            });
        });
    EXPECT_EQ(q.run(), 0);
    for (auto& t : threads) t.join();
    EXPECT_EQ(done, 4);
    EXPECT_TRUE(onMain);
}

TEST(QtMainQueue, SignalsArriveAsMainThreadCallbacks) {
    app();
    QtMainQueue q;
    const auto mainThread = std::this_thread::get_id();
    std::vector<int> got;
    bool onMain = false;
    q.onSignal(SIGTERM, [&] {
        got.push_back(SIGTERM);
        onMain = std::this_thread::get_id() == mainThread;
        q.quit(0);
    });
    q.onSignal(SIGINT, [&] { got.push_back(SIGINT); });
    q.postDelayed(0ms, [] {
        ::raise(SIGINT);
        ::raise(SIGTERM);
    });
    EXPECT_EQ(q.run(), 0);
    EXPECT_EQ(got, (std::vector<int>{SIGINT, SIGTERM}));
    EXPECT_TRUE(onMain);
}

}  // namespace
}  // namespace tarvo::platform
