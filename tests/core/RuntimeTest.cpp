#include <gtest/gtest.h>
#include <unistd.h>
#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "core/Background.h"
#include "core/SerialQueue.h"
#include "core/Subprocess.h"
#include "support/TestSupport.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

TEST(SerialQueue, TasksFromManyThreadsNeverOverlapKeepEachPostersOrderAndSurviveAThrow) {
    ThreadPoolBackground background(4);
    SerialQueue queue(background);
    std::atomic<int> inside{0}, overlaps{0};
    // Written only inside tasks: a data race here is what the queue rules out.
    std::vector<int> lastSeen(6, -1);
    queue.post([] { throw std::runtime_error("a throwing task stalls nothing"); });
    std::vector<std::thread> posters;
    for (int p = 0; p < 6; ++p)
        posters.emplace_back([&, p] {
            for (int i = 0; i < 300; ++i)
                queue.post([&, p, i] {
                    if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
                    if (lastSeen[p] == i - 1) lastSeen[p] = i;
                    std::this_thread::yield();
                    inside.fetch_sub(1);
                });
        });
    for (auto& t : posters) t.join();
    std::promise<void> done;
    queue.post([&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(lastSeen, std::vector<int>(6, 299));
}

TEST(Subprocess, ArgumentsOutputsLaunchFailuresAndTimeouts) {
    // printf repeats its format for every argument: one NUL-terminated field each.
    EXPECT_EQ(runProcess("/usr/bin/printf", {"%s\\0", "a b", "$HOME", "`id`; rm -rf /", ""}).out,
              "a b\0$HOME\0`id`; rm -rf /\0\0"s);
    // (Separate standard output and error, and the status: see TarvoBinary.)
    auto merged = runProcess("/bin/sh", {"-c", "echo out; echo err >&2"}, {.mergeStderr = true});
    EXPECT_EQ(merged.out + "|" + merged.err, "out\nerr\n|");
    // More than a pipe buffer on both streams at once must not deadlock.
    auto big = runProcess("/bin/sh", {"-c", "head -c 300000 /dev/zero | tee /dev/stderr"});
    EXPECT_EQ(big.out.size() + big.err.size(), 600000u);
    // A child that never reads a large input must not take us down with SIGPIPE.
    EXPECT_TRUE(runProcess("/bin/true", {}, {.input = std::string(1 << 20, 'x')}).succeeded());
    EXPECT_FALSE(runProcess("/no/such/tool", {}).launched);
    auto r = runProcess("/bin/sleep", {"30"}, {.timeout = std::chrono::milliseconds(200)});
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.termSignal, SIGKILL);
}

// Captured tools (and detached ones, spawned alike) read nothing of ours; a
// tool shown to the person at the terminal reads what they type.
TEST(Subprocess, StandardInputIsInheritedOnlyWhereTheCallerShowsTheTool) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int savedStdin = dup(0);
    ASSERT_EQ(dup2(fds[0], 0), 0);
    close(fds[0]);
    ASSERT_EQ(write(fds[1], "from the terminal\n", 18), 18);
    close(fds[1]);
    const std::vector<std::string> readsALine{"-c", "read x && [ \"$x\" = \"from the terminal\" ]"};
    // /dev/null for the first leaves the line in our pipe for the last.
    EXPECT_NE(runProcess("/bin/sh", readsALine).exitStatus, 0);
    EXPECT_EQ(runShowingOutput("/bin/sh", readsALine), 0);
    dup2(savedStdin, 0);
    close(savedStdin);
}

}  // namespace
}  // namespace tarvo
