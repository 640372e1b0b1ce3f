#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/Subprocess.h"
#include "support/TestSupport.h"

namespace tarvo {
namespace {

// Splits NUL-terminated fields.
std::vector<std::string> fields(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\0') {
            out.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    return out;
}

TEST(Subprocess, ArgumentsReachTheChildUnchanged) {
    const std::vector<std::string> args = {
        "plain", "with blanks", "'single'",    "\"double\"",     "$HOME", "`id`", "; rm -rf /",
        "",      "tab\there",   "line\nbreak", "ünïcödé — dash", "*"};
    // printf repeats its format for every argument: one NUL-terminated field each.
    std::vector<std::string> argv = {"%s\\0"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = runProcess("/usr/bin/printf", argv);
    ASSERT_TRUE(r.launched) << r.launchError;
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(fields(r.out), args);
}

TEST(Subprocess, OutputSeparateOrMergedAndExitStatus) {
    const std::string script = "echo out; echo err >&2; exit 3";
    auto separate = runProcess("/bin/sh", {"-c", script});
    EXPECT_TRUE(separate.launched);
    EXPECT_EQ(separate.exitStatus, 3);
    EXPECT_FALSE(separate.succeeded());
    EXPECT_EQ(separate.out, "out\n");
    EXPECT_EQ(separate.err, "err\n");

    auto merged = runProcess("/bin/sh", {"-c", script}, {.mergeStderr = true});
    EXPECT_EQ(merged.out, "out\nerr\n");
    EXPECT_EQ(merged.err, "");
    EXPECT_EQ(merged.exitStatus, 3);
}

TEST(Subprocess, LaunchFailureIsNotAnExitStatus) {
    test::TempDir dir;
    test::writeText(dir / "not-executable", "#!/bin/sh\nexit 0\n");
    for (const std::string& path : {std::string("/no/such/tool"), dir / "not-executable"}) {
        auto r = runProcess(path, {});
        EXPECT_FALSE(r.launched) << path;
        EXPECT_FALSE(r.launchError.empty()) << path;
        EXPECT_FALSE(r.succeeded());
    }
}

TEST(Subprocess, InputEnvironmentAndLargeOutput) {
    auto echoed = runProcess("/bin/cat", {}, {.input = std::string("line one\nline two\n")});
    EXPECT_EQ(echoed.out, "line one\nline two\n");

    auto env =
        runProcess("/usr/bin/env", {}, {.environment = std::vector<std::string>{"ONLY=this"}});
    EXPECT_EQ(env.out, "ONLY=this\n");

    // More than a pipe buffer on both streams at once must not deadlock.
    auto big =
        runProcess("/bin/sh", {"-c", "head -c 300000 /dev/zero; head -c 300000 /dev/zero >&2"});
    EXPECT_EQ(big.out.size(), 300000u);
    EXPECT_EQ(big.err.size(), 300000u);

    // A child that never reads a large input must not take us down with SIGPIPE.
    auto ignoring = runProcess("/bin/true", {}, {.input = std::string(1 << 20, 'x')});
    EXPECT_TRUE(ignoring.succeeded());
}

TEST(Subprocess, TimeoutKillsTheChild) {
    auto r = runProcess("/bin/sleep", {"30"}, {.timeout = std::chrono::milliseconds(200)});
    EXPECT_TRUE(r.launched);
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
