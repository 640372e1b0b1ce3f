#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/Agent.h"
#include "core/Paths.h"
#include "platform/fake/FakeUserSession.h"
#include "platform/fake/FakeWorkspace.h"
#include "support/FakeService.h"
#include "support/VirtualTime.h"

namespace tarvo::test {

// What the child would see, as a list of lines in the order it happened.
class RecordingViews : public AgentViews {
  public:
    // A view that records its showing and its going.
    template <class View>
    struct Recorder : View {
        Recorder(RecordingViews& views, std::string what) : views(views), what(std::move(what)) {}
        void show() { views.record(what + " shown"); }
        void show(std::int64_t m) { views.record(what + ": " + std::to_string(m)); }
        void dismiss() { views.record(what + " dismissed"); }
        void close() { views.record(what + " closed"); }
        RecordingViews& views;
        std::string what;
    };
    struct Chat : ChatView {
        void showRows(const std::vector<ChatRow>&) override {}
        void setTitle(const std::string&) override {}
        void setSubtitle(const std::string&) override {}
        void setInputText(const std::string&) override {}
        ChatWindowState windowState() const override { return {}; }
        void open() override {}
        void presentToast(const std::string&, const std::string&, std::function<void()>) override {}
    };

    void becomeMenuBarOnly() override { record("menu-bar only"); }
    std::unique_ptr<BlockerView> makeBlocker(const std::string& childName, std::int64_t minutesUsed,
                                             MoreTimeRequest onRequest) override {
        moreTime = std::move(onRequest);
        return std::make_unique<Recorder<BlockerView>>(
            *this, "blocker for " + childName + ", " + std::to_string(minutesUsed) + "m,");
    }
    std::unique_ptr<TimeWarningView> makeTimeWarning() override {
        return std::make_unique<Recorder<TimeWarningView>>(*this, "warning");
    }
    std::shared_ptr<ChatView> makeChatView() override { return std::make_shared<Chat>(); }
    void installChatMenuItem(std::function<void()>) override { record("chat item"); }

    void record(std::string line) { lines.push_back(std::move(line)); }
    bool saw(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    std::vector<std::string> lines;
    MoreTimeRequest moreTime;
};

// An agent for user "kid" (uid 501) on virtual time, its Background run by
// hand, against the fake service, in a temp root.
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
        ASSERT_TRUE(settle([&] { return service.events.streams() == 1; }));
    }
    nlohmann::json rulesOnDisk() const {
        return nlohmann::json::parse(readText(Paths::rulesFile()));
    }

    ScopedTimeZone zone{"UTC"};
    TempRoot root;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();  // a Thursday, 00:00
    VirtualMainQueue queue{clock};
    ManualBackground background;
    FakeService service;
    std::shared_ptr<platform::FakeUserSession> session =
        std::make_shared<platform::FakeUserSession>();
    std::shared_ptr<platform::FakeWorkspace> workspace =
        std::make_shared<platform::FakeWorkspace>();
    std::shared_ptr<RecordingViews> views = std::make_shared<RecordingViews>();
    std::vector<std::int64_t> slept;
    std::shared_ptr<Agent> agent;
};

}  // namespace tarvo::test
