#include "core/Subprocess.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/TestSupport.h"

namespace tarvo {
namespace {

TEST(Subprocess, ArgumentsOutputsAndStatusReachTheCallerUnchanged) {
    const std::vector<std::string> args = {"with blanks", "'single'",   "$HOME",
                                           "`id`",        "; rm -rf /", "",
                                           "line\nbreak", "ünïcödé",    "*"};
    // printf repeats its format for every argument: one line-terminated field each.
    std::vector<std::string> argv = {"%s\\0"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string expected;
    for (const auto& a : args) expected += a + '\0';
    EXPECT_EQ(runProcess("/usr/bin/printf", argv).out, expected);

    const std::string script = "echo out; echo err >&2; exit 3";
    auto separate = runProcess("/bin/sh", {"-c", script});
    EXPECT_EQ(separate.exitStatus, 3);
    EXPECT_FALSE(separate.succeeded());
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
    test::TempDir dir;
    test::writeText(dir / "not-executable", "#!/bin/sh\nexit 0\n");
    for (const std::string& path : {std::string("/no/such/tool"), dir / "not-executable"}) {
        auto r = runProcess(path, {});
        EXPECT_FALSE(r.launched) << path;
        EXPECT_FALSE(r.launchError.empty()) << path;
    }
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
