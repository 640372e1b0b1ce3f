#include <gtest/gtest.h>

#include <QCoreApplication>

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
    // Never early, though Qt's coarse timers may fire 5 % ahead.
    const auto start = std::chrono::steady_clock::now();
    for (const auto delay : {40ms, 60ms, 90ms})
        q.postDelayed(delay, [=] { EXPECT_GE(std::chrono::steady_clock::now() - start, delay); });
    q.postDelayed(120ms, [&] {
        EXPECT_GE(std::chrono::steady_clock::now() - start, 120ms);
        q.cancel(rep);
        q.quit(3);
    });
    EXPECT_EQ(q.run(), 3);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(cancelled, 0);
    EXPECT_GE(repeats, 3);
}

}  // namespace
}  // namespace tarvo::platform
