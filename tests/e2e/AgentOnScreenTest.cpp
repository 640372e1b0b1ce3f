// The real `tarvo agent` for a child in a made root, against a local service
// whose quota is already used up, under a private two-screen X server with
// openbox: the blocker on both screens, a more-time request from it, the
// grant pushed on the event stream taking the windows down, and SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "E2eSupport.h"
#include "core/Paths.h"
#include "support/LocalServer.h"
#include "support/TestSupport.h"
#include "support/XServer.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

// The service: a one-minute quota, every other call answered with "{}", and
// an event stream that sends what the test pushes.
class QuotaService {
  public:
    QuotaService() {
        http.server.Get("/api/notifications/sse-direct",
                        [this](const httplib::Request&, httplib::Response& res) {
                            res.set_chunked_content_provider(
                                "text/event-stream",
                                [this](size_t, httplib::DataSink& sink) { return provide(sink); });
                        });
        http.server.Get("/api/GetAppLimits", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(R"({"daily_minutes": 1, "warn_at_minutes_remaining": 5,
                               "allowed_bundle_ids": []})",
                            "application/json");
        });
        auto empty = [](const httplib::Request&, httplib::Response& res) {
            res.set_content("{}", "application/json");
        };
        http.server.Get(".*", empty);
        http.server.Post(".*", empty);
        http.start();
    }
    ~QuotaService() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        cv_.notify_all();
        http.stop();
    }
    void push(const std::string& data) {
        {
            std::lock_guard lock(mutex_);
            pieces_.push_back("data: " + data + "\n\n");
        }
        cv_.notify_all();
    }
    std::vector<LocalServer::Received> requests(const std::string& path) const {
        std::vector<LocalServer::Received> out;
        for (auto& r : http.received())
            if (r.path == path) out.push_back(r);
        return out;
    }

    LocalServer http;

  private:
    bool provide(httplib::DataSink& sink) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, 50ms, [this] { return !pieces_.empty() || closing_; });
        if (closing_) {
            sink.done();
            return true;
        }
        if (pieces_.empty()) return sink.is_writable();
        std::string piece = std::move(pieces_.front());
        pieces_.pop_front();
        lock.unlock();
        return sink.write(piece.data(), piece.size());
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::string> pieces_;
    bool closing_ = false;
};

std::string presenceFlag() {
    return Paths::activeChildrenDir() + "/" + std::to_string(::getuid()) + ".flag";
}

int agentLogLines(const std::string& text) {
    int n = 0;
    if (!exists(Paths::agentLog())) return 0;
    for (const auto& line : readLines(Paths::agentLog()))
        if (line.find(text) != std::string::npos) ++n;
    return n;
}

class AgentOnScreenTest : public ::testing::Test {
  protected:
    void writeChildConfig(const std::string& api) {
        writeText(Paths::configFile(),
                  R"({"child_users": [")" + userName() + R"("], "api": ")" + api + R"("})");
    }
    void writeUsedUpDay() {
        writeText(Paths::perUserScreenTimeStateFile(),
                  R"({"day": ")" + today() +
                      R"(", "seconds": 60, "quotaMinutes": 1, "warnAtMinutesRemaining": 5,
                         "grantedBonusMinutes": 0})");
    }

    TempRoot root;
    QuotaService service;
};

TEST_F(AgentOnScreenTest, UsedUpQuotaBlocksBothScreensUntilTheParentGrantsMoreTime) {
    XServer x({.screens = {"1280x800", "1024x768"}});
    ASSERT_TRUE(x.running() && x.error().empty()) << x.error();
    writeChildConfig(service.http.url());
    writeUsedUpDay();
    TarvoProcess agent("agent", environmentWith({"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb"}));

    ASSERT_TRUE(eventually([&] {
        return agentWindows(x) == std::multiset<std::string>{"1280x800", "1024x768"};
    })) << "blocker windows: "
        << agentWindows(x).size();
    EXPECT_TRUE(exists(presenceFlag()));

    // The child asks for 45 minutes from the keyboard: the button in focus, then the dialog.
    ASSERT_TRUE(eventually([&] { return activeWindowIs(x, "1280x800"); }));
    x.run({"xdotool", "key", "space"});
    ASSERT_TRUE(eventually([&] {
        // …and has the keyboard: the active window is no longer the blocker.
        return agentWindows(x).size() == 3 && !activeWindowIs(x, "1280x800");
    })) << "the more-time dialog did not open";
    x.run({"xdotool", "key", "--delay", "50", "ctrl+a", "4", "5", "Return"});
    ASSERT_TRUE(eventually([&] { return !service.requests("/api/RequestMoreTime").empty(); }))
        << readText(Paths::agentLog());
    const auto body = nlohmann::json::parse(service.requests("/api/RequestMoreTime")[0].body);
    EXPECT_EQ(body.value("requested_minutes", 0), 45);
    EXPECT_EQ(body.value("reason", ""), "from blocker");

    service.push(R"({"type": "more_time_approved", "granted_minutes": 30})");
    EXPECT_TRUE(eventually([&] { return agentWindows(x).empty(); })) << "windows still up";

    ASSERT_EQ(::kill(agent.pid(), SIGTERM), 0);
    EXPECT_EQ(agent.exitStatus(), 0);
    EXPECT_FALSE(exists(presenceFlag()));
    EXPECT_EQ(agentLogLines("[agent] INFO  agent shutdown"), 1);
}

TEST_F(AgentOnScreenTest, SigtermWhileTheMoreTimeDialogIsOpenEndsCleanly) {
    XServer x({.screens = {"1280x800", "1024x768"}});
    ASSERT_TRUE(x.running() && x.error().empty()) << x.error();
    writeChildConfig(service.http.url());
    writeUsedUpDay();
    TarvoProcess agent("agent", environmentWith({"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb"}));
    ASSERT_TRUE(eventually([&] { return agentWindows(x).size() == 2; }));
    ASSERT_TRUE(eventually([&] { return activeWindowIs(x, "1280x800"); }));
    x.run({"xdotool", "key", "space"});
    ASSERT_TRUE(eventually([&] { return agentWindows(x).size() == 3; }));

    ASSERT_EQ(::kill(agent.pid(), SIGTERM), 0);
    EXPECT_EQ(agent.exitStatus(), 0);
    EXPECT_FALSE(exists(presenceFlag()));
    EXPECT_TRUE(service.requests("/api/RequestMoreTime").empty());
}

TEST_F(AgentOnScreenTest, NotAChildExitsAtOnceWithoutADisplay) {
    writeText(Paths::configFile(),
              R"({"child_users": ["someone-else"], "api": ")" + service.http.url() + R"("})");
    TarvoProcess agent("agent",
                       environmentWith({"DISPLAY=", "QT_QPA_PLATFORM=", "WAYLAND_DISPLAY="}));
    EXPECT_EQ(agent.exitStatus(), 0);
    EXPECT_FALSE(exists(presenceFlag()));
    EXPECT_EQ(agentLogLines("is not flagged as a child — exiting cheaply"), 1);
    EXPECT_TRUE(service.http.received().empty());
}

TEST_F(AgentOnScreenTest, ChildWithoutADisplayIsStillEnforcedWithoutWindows) {
    writeChildConfig(service.http.url());
    writeUsedUpDay();
    TarvoProcess agent("agent", environmentWith({"DISPLAY=:999", "QT_QPA_PLATFORM="}));
    ASSERT_TRUE(eventually([&] { return exists(presenceFlag()); }));
    ASSERT_TRUE(
        eventually([&] { return agentLogLines("quota exhausted — showing blocker") == 1; }));
    EXPECT_EQ(agentLogLines("ERROR cannot open the display — the blocker cannot be shown; "
                            "enforcing without windows"),
              1);
    EXPECT_TRUE(exists(Paths::proxyConfigFile()));
    ASSERT_EQ(::kill(agent.pid(), SIGTERM), 0);
    EXPECT_EQ(agent.exitStatus(), 0);
    EXPECT_FALSE(exists(presenceFlag()));
}

}  // namespace
}  // namespace tarvo::test
