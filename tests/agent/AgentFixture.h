#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/Agent.h"
#include "core/Paths.h"
#include "core/VirtualTime.h"
#include "platform/fake/FakeUserSession.h"
#include "platform/fake/FakeWorkspace.h"
#include "server/ServerTestSupport.h"
#include "support/LocalServer.h"
#include "support/TestSupport.h"

namespace tarvo::test {

// What the child would see, as a list of lines in the order it happened.
class RecordingViews : public AgentViews {
  public:
    class Blocker : public BlockerView {
      public:
        Blocker(RecordingViews& views, std::string text) : views_(views), text_(std::move(text)) {}
        void show() override { views_.record("blocker shown: " + text_); }
        void dismiss() override { views_.record("blocker dismissed"); }

      private:
        RecordingViews& views_;
        std::string text_;
    };
    class Warning : public TimeWarningView {
      public:
        explicit Warning(RecordingViews& views) : views_(views) {}
        void show(std::int64_t m) override { views_.record("warning: " + std::to_string(m)); }
        void close() override { views_.record("warning closed"); }

      private:
        RecordingViews& views_;
    };
    class Chat : public ChatView {
      public:
        explicit Chat(RecordingViews& views) : views_(views) {}
        void showRows(const std::vector<ChatRow>&) override {}
        void setTitle(const std::string&) override {}
        void setSubtitle(const std::string&) override {}
        void setInputText(const std::string&) override {}
        ChatWindowState windowState() const override { return {}; }
        void open() override { views_.record("chat opened"); }
        void presentToast(const std::string&, const std::string&, std::function<void()>) override {}

      private:
        RecordingViews& views_;
    };

    void becomeMenuBarOnly() override { record("menu-bar only"); }
    std::unique_ptr<BlockerView> makeBlocker(const std::string& childName, std::int64_t minutesUsed,
                                             MoreTimeRequest onRequest) override {
        moreTime = std::move(onRequest);
        return std::make_unique<Blocker>(*this,
                                         childName + ", " + std::to_string(minutesUsed) + "m");
    }
    std::unique_ptr<TimeWarningView> makeTimeWarning() override {
        ++warningsMade;
        return std::make_unique<Warning>(*this);
    }
    std::shared_ptr<ChatView> makeChatView() override { return std::make_shared<Chat>(*this); }
    void installChatMenuItem(std::function<void()> onClick) override {
        record("chat item");
        menuClick = std::move(onClick);
    }

    void record(std::string line) { lines.push_back(std::move(line)); }
    bool saw(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    std::vector<std::string> lines;
    MoreTimeRequest moreTime;
    std::function<void()> menuClick;
    int warningsMade = 0;
};

// The service on 127.0.0.1: JSON answers by path (200 "{}" by default) and an
// event stream that writes whatever the test pushes.
class AgentService {
  public:
    AgentService() {
        auto answer = [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            auto it = answers_.find(req.path);
            if (it == answers_.end()) return res.set_content("{}", "application/json");
            res.status = it->second.first;
            res.set_content(it->second.second, "application/json");
        };
        http.server.Get("/api/notifications/sse-direct",
                        [this](const httplib::Request&, httplib::Response& res) {
                            {
                                std::lock_guard lock(mutex_);
                                ++streams_;
                            }
                            res.set_chunked_content_provider(
                                "text/event-stream",
                                [this](size_t, httplib::DataSink& sink) { return provide(sink); });
                        });
        http.server.Get(".*", answer);
        http.server.Post(".*", answer);
        http.start();
    }
    ~AgentService() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
            cv_.notify_all();
        }
        http.stop();
    }
    void answer(const std::string& path, int status, const std::string& body) {
        std::lock_guard lock(mutex_);
        answers_[path] = {status, body};
    }
    // One event block on every open stream (one is open at a time here).
    void push(const std::string& data) {
        std::lock_guard lock(mutex_);
        pieces_.push_back("data: " + data + "\n\n");
        cv_.notify_all();
    }
    int streams() const {
        std::lock_guard lock(mutex_);
        return streams_;
    }
    // Requests received for `path` (bodies included).
    std::vector<LocalServer::Received> requests(const std::string& path) const {
        std::vector<LocalServer::Received> out;
        for (auto& r : http.received())
            if (r.path == path) out.push_back(r);
        return out;
    }
    std::string url() const { return http.url(); }

    LocalServer http;

  private:
    bool provide(httplib::DataSink& sink) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(50),
                     [this] { return !pieces_.empty() || closing_; });
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

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::map<std::string, std::pair<int, std::string>> answers_;
    std::deque<std::string> pieces_;
    int streams_ = 0;
    bool closing_ = false;
};

// An agent for user "kid" (uid 501) on virtual time, its Background run by
// hand, against AgentService, in a temp root.
class AgentFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        session->setUserName("kid");
        session->setFullName("Kid Lind");
        session->setUid(501);
    }
    void TearDown() override {
        if (agent && !agent->isShutDown()) agent->shutdown();
        agent.reset();
        background.runAll();
    }

    void writeConfig(const nlohmann::json& children) {
        test::writeConfig({{"child_users", children}, {"api", service.url()}});
    }
    std::shared_ptr<Agent> makeAgent() {
        auto options = testOptions(clock);
        options.sleep = [this](std::chrono::seconds s) { slept.push_back(s.count()); };
        Agent::Dependencies deps;
        deps.queue = &queue;
        deps.background = &background;
        deps.clock = clock;
        deps.session = session;
        deps.workspace = workspace;
        deps.views = views;
        deps.presenceOnOwnThread = false;  // the heartbeat on virtual time
        deps.server = ServerClient::create(options);
        agent = Agent::create(std::move(deps));
        return agent;
    }
    // Runs Background work and main-queue posts (without moving virtual time)
    // until `done` holds; false when it never does.
    bool settle(const std::function<bool()>& done) {
        for (int i = 0; i < 2000; ++i) {
            background.runAll();
            queue.runPending();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    // Moves virtual time in steps, running the work each step starts.
    void advance(std::chrono::seconds total, std::chrono::seconds step = std::chrono::seconds(1)) {
        for (auto passed = std::chrono::seconds(0); passed < total; passed += step) {
            queue.advance(step);
            background.runAll();
            queue.runPending();
        }
    }
    void startChild() {
        writeConfig({"kid"});
        makeAgent();
        ASSERT_TRUE(agent->start());
        ASSERT_TRUE(settle([&] { return agent->bootstrapped(); }));
        ASSERT_TRUE(settle([&] { return service.streams() == 1; }));
    }
    nlohmann::json rulesOnDisk() const {
        return nlohmann::json::parse(readText(Paths::rulesFile()));
    }

    ScopedTimeZone zone{"UTC"};
    TempRoot root;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();  // a Thursday, 00:00
    VirtualMainQueue queue{clock};
    ManualBackground background;
    AgentService service;
    std::shared_ptr<platform::FakeUserSession> session =
        std::make_shared<platform::FakeUserSession>();
    std::shared_ptr<platform::FakeWorkspace> workspace =
        std::make_shared<platform::FakeWorkspace>();
    std::shared_ptr<RecordingViews> views = std::make_shared<RecordingViews>();
    std::vector<std::int64_t> slept;
    std::shared_ptr<Agent> agent;
};

}  // namespace tarvo::test
