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
    q.cancel(q.postDelayed(20ms, [&] { ++cancelled; }));
    q.postDelayed(120ms, [&] {
        q.cancel(rep);
        q.quit(3);
    });
    EXPECT_EQ(q.run(), 3);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(cancelled, 0);
    EXPECT_GE(repeats, 3);
}

// Posts from other threads and signals both arrive as callbacks on the main thread.
TEST(QtMainQueue, PostsAndSignalsRunOnTheMainThread) {
    app();
    QtMainQueue q;
    const auto mainThread = std::this_thread::get_id();
    std::vector<std::string> got;
    bool onMain = true;
    auto note = [&](const std::string& what) {
        got.push_back(what);
        onMain = onMain && std::this_thread::get_id() == mainThread;
        if (got.size() == 6) q.quit(0);
    };
    q.onSignal(SIGINT, [&] { note("INT"); });
    q.onSignal(SIGTERM, [&] { note("TERM"); });
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([&] { q.post([&] { note("post"); }); });
    for (auto& t : threads) t.join();
    q.postDelayed(0ms, [] {
        ::raise(SIGINT);
        ::raise(SIGTERM);
    });
    EXPECT_EQ(q.run(), 0);
    EXPECT_EQ(got, (std::vector<std::string>{"post", "post", "post", "post", "INT", "TERM"}));
    EXPECT_TRUE(onMain);
}

}  // namespace
}  // namespace tarvo::platform
