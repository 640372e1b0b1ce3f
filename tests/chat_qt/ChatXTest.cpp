// The chat window and toast under a private X server with a window manager:
// where the toast really lands, that it never takes the focus, and what the
// window reports when it is covered or minimised. The windows live in the
// chat harness (its own process on the X platform), driven line by line.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "chat_qt/ChatQtFixture.h"

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
        std::vector<std::string> env{"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"};
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "DISPLAY=", 8) && std::strncmp(*e, "QT_QPA_PLATFORM=", 16))
                env.emplace_back(*e);
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
        close(in_);  // end of input: the harness quits
        for (int i = 0; i < 200 && pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(10ms);
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
        close(out_);
    }

    // The next line of output; "" when none came within ten seconds.
    std::string line() {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            if (auto eol = buffer_.find('\n'); eol != std::string::npos) {
                std::string l = buffer_.substr(0, eol);
                buffer_.erase(0, eol + 1);
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            char buf[1024];
            ssize_t n = 0;
            if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0 ||
                (n = read(out_, buf, sizeof buf)) <= 0)
                return "";
            buffer_.append(buf, size_t(n));
        }
    }
    std::string ask(const std::string& command) {
        const std::string l = command + "\n";
        return write(in_, l.data(), l.size()) == ssize_t(l.size()) ? line() : "";
    }
    // Asks `command` until its answer holds `part`, for up to ten seconds.
    std::string askUntil(const std::string& command, const std::string& part) {
        std::string answer;
        for (int i = 0; i < 200 && (answer = ask(command)).find(part) == std::string::npos; ++i)
            std::this_thread::sleep_for(50ms);
        return answer;
    }
    // "ids chat=0x… toast=0x…" → the id after `key`.
    unsigned long id(const std::string& key) {
        const std::string ids = ask("ids");
        const auto at = ids.find(key + "=");
        return at == std::string::npos ? 0
                                       : std::stoul(ids.substr(at + key.size() + 1), nullptr, 16);
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string buffer_;
};

class ChatXTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(x.running()) << x.error();
        ASSERT_EQ(harness.line(), "ready");
        ASSERT_EQ(harness.ask("open"), "ok");
        ASSERT_NE(harness.askUntil("state", "seen=1").find("active=1"), std::string::npos);
    }
    unsigned long activeWindow() const {
        const std::string out = x.run({"xdotool", "getactivewindow"});
        return out.empty() ? 0 : std::stoul(out);
    }

    XServer x;  // 1280 x 800, openbox
    Harness harness{x.display()};
};

TEST_F(ChatXTest, ToastLandsBottomRightNeverTakesTheFocusAndItsReplyRaisesTheChat) {
    const unsigned long chat = harness.id("chat");
    ASSERT_EQ(activeWindow(), chat);
    // A toast whose reply leaves the chat alone: any focus change is the toast's.
    ASSERT_EQ(harness.ask("notice Mum|Dinner is ready"), "ok");
    EXPECT_EQ(harness.askUntil("toastinfo", "toast 900 630 360 150"), "toast 900 630 360 150");
    const unsigned long toast = harness.id("toast");
    const std::string info = x.run({"xwininfo", "-id", std::to_string(toast)});
    auto at = [&](const std::string& key) {
        const auto i = info.find(key);
        return i == std::string::npos ? -1 : std::stoi(info.substr(i + key.size()));
    };
    EXPECT_EQ(QPoint(at("Absolute upper-left X:"), at("Absolute upper-left Y:")), QPoint(900, 630));
    // On every desktop, as the window manager has it.
    EXPECT_NE(
        x.run({"xprop", "-id", std::to_string(toast), "_NET_WM_DESKTOP"}).find("= 4294967295"),
        std::string::npos);
    EXPECT_EQ(activeWindow(), chat);
    x.run({"xdotool", "mousemove", "960", "700", "click", "1"});
    EXPECT_EQ(harness.line(), "replied");
    EXPECT_EQ(harness.askUntil("toastinfo", "none"), "toast none");
    EXPECT_EQ(activeWindow(), chat) << "a click on the card leaves the focus where it was";

    // Reply on a toast brings the hidden chat to the front.
    ASSERT_EQ(harness.ask("hide"), "ok");
    EXPECT_NE(harness.askUntil("state", "visible=0").find("visible=0"), std::string::npos);
    ASSERT_EQ(harness.ask("toast Dad|Come down please"), "ok");
    harness.askUntil("toastinfo", "toast 900 630");
    x.run({"xdotool", "mousemove", "1210", "754", "click", "1"});  // on "Reply"
    EXPECT_EQ(harness.line(), "replied");
    EXPECT_NE(harness.askUntil("state", "active=1 visible=1 minimised=0 unobscured=1 seen=1")
                  .find("seen=1"),
              std::string::npos);
    EXPECT_EQ(activeWindow(), chat);
}

TEST_F(ChatXTest, TheWindowIsNotSeenWhenCoveredOrMinimised) {
    // Another of our windows over it: still the active application, and the
    // X server says the chat cannot be seen.
    ASSERT_EQ(harness.ask("cover"), "ok");
    EXPECT_NE(harness.askUntil("state", "unobscured=0")
                  .find("active=1 visible=1 minimised=0 unobscured=0 seen=0"),
              std::string::npos);
    ASSERT_EQ(harness.ask("uncover"), "ok");
    EXPECT_NE(harness.askUntil("state", "seen=1").find("unobscured=1 seen=1"), std::string::npos);
    ASSERT_EQ(harness.ask("minimise"), "ok");
    EXPECT_NE(harness.askUntil("state", "minimised=1 unobscured=0").find("seen=0"),
              std::string::npos);
}

}  // namespace
}  // namespace tarvo::test
