// The chat window and toast under a private X server with a window manager:
// where the toast really lands, that it never takes the focus, and what the
// window reports when it is covered or minimised. The windows live in the
// chat harness (a separate process on the X platform); this test drives it
// line by line and checks with the X tools what the server says.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "chat_qt/ChatQtFixture.h"
#include "support/XServer.h"

extern char** environ;

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;

#ifndef CHAT_HARNESS_DEFAULT
#define CHAT_HARNESS_DEFAULT ""
#endif

// The harness in --control mode on `display`.
class Harness {
  public:
    explicit Harness(const std::string& display) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "DISPLAY=", 8) && std::strncmp(*e, "QT_QPA_PLATFORM=", 16))
                env.emplace_back(*e);
        env.push_back("DISPLAY=" + display);
        env.push_back("QT_QPA_PLATFORM=xcb");
        std::vector<char*> envp;
        for (auto& s : env) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::string path = CHAT_HARNESS_DEFAULT, flag = "--control";
        char* argv[] = {path.data(), flag.data(), nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv, envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Harness() {
        if (in_ >= 0) close(in_);  // end of input: the harness quits
        if (pid_ > 0) {
            for (int i = 0; i < 200 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(10ms);
            if (kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }

    // The next line of output; "" when none came within `timeout`.
    std::string line(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto eol = buffer_.find('\n'); eol != std::string::npos) {
                std::string l = buffer_.substr(0, eol);
                buffer_.erase(0, eol + 1);
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return "";
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, int(left.count())) <= 0) return "";
            char buf[1024];
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0) return "";
            buffer_.append(buf, size_t(n));
        }
    }
    std::string ask(const std::string& command) {
        const std::string l = command + "\n";
        if (write(in_, l.data(), l.size()) != ssize_t(l.size())) return "";
        return line();
    }
    // Asks `command` until its answer contains every one of `parts`, for up to
    // ten seconds; the last answer.
    std::string askUntil(const std::string& command, const std::vector<std::string>& parts) {
        std::string answer;
        for (int i = 0; i < 200; ++i) {
            answer = ask(command);
            bool all = true;
            for (const auto& p : parts) all = all && answer.find(p) != std::string::npos;
            if (all) break;
            std::this_thread::sleep_for(50ms);
        }
        return answer;
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string buffer_;
};

// "ids chat=0x… toast=0x…" → the decimal id after `key`.
unsigned long idFrom(const std::string& ids, const std::string& key) {
    const auto at = ids.find(key + "=");
    return at == std::string::npos ? 0 : std::stoul(ids.substr(at + key.size() + 1), nullptr, 16);
}

unsigned long activeWindow(const XServer& x) {
    const std::string out = x.run({"xdotool", "getactivewindow"});
    return out.empty() ? 0 : std::stoul(out);
}

// Where the X server has the window: "Absolute upper-left X/Y" of xwininfo.
QPoint serverPosition(const XServer& x, unsigned long id) {
    const std::string info = x.run({"xwininfo", "-id", std::to_string(id)});
    auto value = [&](const std::string& key) {
        const auto at = info.find(key);
        return at == std::string::npos ? -1 : std::stoi(info.substr(at + key.size()));
    };
    return QPoint(value("Absolute upper-left X:"), value("Absolute upper-left Y:"));
}

class ChatXTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(x.running()) << x.error();
        harness = std::make_unique<Harness>(x.display());
        ASSERT_EQ(harness->line(), "ready");
    }
    void TearDown() override { harness.reset(); }

    XServer x;  // 1280 x 800, openbox
    std::unique_ptr<Harness> harness;
};

TEST_F(ChatXTest, ToastLandsBottomRightAndNeverTakesTheFocus) {
    ASSERT_EQ(harness->ask("open"), "ok");
    EXPECT_NE(harness->askUntil("state", {"active=1", "seen=1"}).find("seen=1"), std::string::npos);
    const unsigned long chat = idFrom(harness->ask("ids"), "chat");
    ASSERT_NE(chat, 0u);
    ASSERT_EQ(activeWindow(x), chat);

    // A toast whose reply leaves the chat alone: any focus change is the toast's.
    ASSERT_EQ(harness->ask("notice Mum|Dinner is ready"), "ok");
    const std::string landed = "toast " + std::to_string(1280 - 360 - 20) + " " +
                               std::to_string(800 - 150 - 20) + " 360 150";
    EXPECT_EQ(harness->askUntil("toastinfo", {landed}), landed);
    const unsigned long toast = idFrom(harness->ask("ids"), "toast");
    ASSERT_NE(toast, 0u);
    EXPECT_EQ(serverPosition(x, toast), QPoint(900, 630));
    // On every desktop, as the window manager has it.
    EXPECT_NE(
        x.run({"xprop", "-id", std::to_string(toast), "_NET_WM_DESKTOP"}).find("= 4294967295"),
        std::string::npos);
    EXPECT_EQ(activeWindow(x), chat);

    // Even a click on the card leaves the focus where it was.
    x.run({"xdotool", "mousemove", "960", "700", "click", "1"});
    EXPECT_EQ(harness->line(), "replied");
    EXPECT_EQ(harness->askUntil("toastinfo", {"none"}), "toast none");
    EXPECT_EQ(activeWindow(x), chat);
    EXPECT_NE(harness->ask("state").find("active=1"), std::string::npos);
}

TEST_F(ChatXTest, ReplyOnTheToastBringsTheHiddenChatToTheFront) {
    ASSERT_EQ(harness->ask("open"), "ok");
    harness->askUntil("state", {"seen=1"});
    ASSERT_EQ(harness->ask("hide"), "ok");
    EXPECT_NE(harness->askUntil("state", {"visible=0"}).find("visible=0"), std::string::npos);
    ASSERT_EQ(harness->ask("toast Dad|Come down please"), "ok");
    harness->askUntil("toastinfo", {"toast 900 630"});
    x.run({"xdotool", "mousemove", "1210", "754", "click", "1"});  // on "Reply"
    EXPECT_EQ(harness->line(), "replied");
    const std::string state = harness->askUntil("state", {"active=1", "visible=1", "seen=1"});
    EXPECT_NE(state.find("seen=1"), std::string::npos) << state;
    EXPECT_EQ(activeWindow(x), idFrom(harness->ask("ids"), "chat"));
}

TEST_F(ChatXTest, TheWindowIsNotSeenWhenCoveredOrMinimised) {
    ASSERT_EQ(harness->ask("open"), "ok");
    std::string state = harness->askUntil("state", {"seen=1"});
    ASSERT_NE(state.find("seen=1"), std::string::npos) << state;

    // Another of our windows over it: still the active application, and the
    // X server says the chat cannot be seen.
    ASSERT_EQ(harness->ask("cover"), "ok");
    state = harness->askUntil("state", {"unobscured=0"});
    EXPECT_NE(state.find("active=1 visible=1 minimised=0 unobscured=0 seen=0"), std::string::npos)
        << state;

    ASSERT_EQ(harness->ask("uncover"), "ok");
    state = harness->askUntil("state", {"seen=1"});
    EXPECT_NE(state.find("unobscured=1 seen=1"), std::string::npos) << state;

    ASSERT_EQ(harness->ask("minimise"), "ok");
    state = harness->askUntil("state", {"minimised=1", "unobscured=0"});
    EXPECT_NE(state.find("minimised=1 unobscured=0 seen=0"), std::string::npos) << state;
}

}  // namespace
}  // namespace tarvo::test
