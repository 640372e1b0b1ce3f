#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "core/Background.h"
#include "core/SerialQueue.h"
#include "core/Subprocess.h"
#include "support/TestSupport.h"
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

TEST(Subprocess, ArgumentsOutputsAndStatusReachTheCallerUnchanged) {
    const std::vector<std::string> args = {"with blanks", "$HOME", "`id`; rm -rf /", "", "ü\n*"};
    // printf repeats its format for every argument: one NUL-terminated field each.
    std::vector<std::string> argv = {"%s\\0"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string expected;
    for (const auto& a : args) expected += a + '\0';
    EXPECT_EQ(runProcess("/usr/bin/printf", argv).out, expected);

    const std::string script = "echo out; echo err >&2; exit 3";
    auto separate = runProcess("/bin/sh", {"-c", script});
    EXPECT_EQ(separate.exitStatus, 3);
    EXPECT_EQ(separate.out + "|" + separate.err, "out\n|err\n");
    auto merged = runProcess("/bin/sh", {"-c", script}, {.mergeStderr = true});
    EXPECT_EQ(merged.out + "|" + merged.err, "out\nerr\n|");

    auto env = runProcess("/usr/bin/env", {}, {.environment = std::vector<std::string>{"ONLY=1"}});
    EXPECT_EQ(env.out, "ONLY=1\n");
    // More than a pipe buffer on both streams at once must not deadlock.
    auto big = runProcess("/bin/sh", {"-c", "head -c 300000 /dev/zero | tee /dev/stderr"});
    EXPECT_EQ(big.out.size() + big.err.size(), 600000u);
    // A child that never reads a large input must not take us down with SIGPIPE.
    EXPECT_TRUE(runProcess("/bin/true", {}, {.input = std::string(1 << 20, 'x')}).succeeded());
}

TEST(Subprocess, LaunchFailuresAndTimeouts) {
    auto missing = runProcess("/no/such/tool", {});
    EXPECT_FALSE(missing.launched);
    EXPECT_FALSE(missing.launchError.empty());
    auto r = runProcess("/bin/sleep", {"30"}, {.timeout = std::chrono::milliseconds(200)});
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.termSignal, SIGKILL);
    EXPECT_EQ(r.exitStatus, -1);
}

// Tools shown to a person and started services read our standard input, as
// the tools on the Mac do; captured tools and detached children get none.
TEST(Subprocess, StandardInputIsInheritedOnlyWhereTheCallerShowsTheTool) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int savedStdin = dup(0);
    ASSERT_EQ(dup2(fds[0], 0), 0);
    close(fds[0]);
    const std::string line = "from the terminal\n";
    ASSERT_EQ(write(fds[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    close(fds[1]);
    const std::vector<std::string> readsALine{"-c", "read x && [ \"$x\" = \"from the terminal\" ]"};
    // Captured tools first: /dev/null leaves the line in our pipe for the next one.
    EXPECT_NE(runProcess("/bin/sh", readsALine).exitStatus, 0);
    SpawnOptions detached;
    detached.discardUncaptured = true;
    detached.captureStdout = detached.captureStderr = false;
    SpawnedProcess d = spawnProcess("/bin/sh", readsALine, detached);
    int status = 0;
    ASSERT_EQ(waitpid(d.pid, &status, 0), d.pid);
    EXPECT_NE(WEXITSTATUS(status), 0);
    EXPECT_EQ(runShowingOutput("/bin/sh", readsALine), 0);
    dup2(savedStdin, 0);
    close(savedStdin);
}

}  // namespace
}  // namespace tarvo
