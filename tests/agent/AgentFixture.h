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
    struct Blocker : BlockerView {
        Blocker(RecordingViews& views) : views(views) {}
        void show() override { views.lines.push_back("blocker shown"); }
        void dismiss() override { views.lines.push_back("blocker dismissed"); }
        RecordingViews& views;
    };
    struct Warning : TimeWarningView {
        void show(std::int64_t) override {}
        void close() override {}
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

    void becomeMenuBarOnly() override { lines.push_back("menu-bar only"); }
    std::unique_ptr<BlockerView> makeBlocker(const std::string&, std::int64_t,
                                             MoreTimeRequest) override {
        return std::make_unique<Blocker>(*this);
    }
    std::unique_ptr<TimeWarningView> makeTimeWarning() override {
        return std::make_unique<Warning>();
    }
    std::shared_ptr<ChatView> makeChatView() override { return std::make_shared<Chat>(); }
    void installChatMenuItem(std::function<void()>) override { lines.push_back("chat item"); }

    std::vector<std::string> lines;
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

    void makeAgent() {
        Agent::Dependencies deps;
        deps.queue = &queue;
        deps.background = &background;
        deps.clock = clock;
        deps.session = session;
        deps.workspace = workspace;
        deps.views = views;
        deps.presenceOnOwnThread = false;  // the heartbeat on virtual time
        auto options = testOptions(clock);
        options.sleep = [](std::chrono::seconds) {};
        deps.server = ServerClient::create(std::move(options));
        agent = Agent::create(std::move(deps));
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
    // Moves virtual time a second at a time, running the work each step starts.
    void advance(std::chrono::seconds total) {
        for (auto passed = std::chrono::seconds(0); passed < total; ++passed) {
            queue.advance(std::chrono::seconds(1));
            background.runAll();
            queue.runPending();
        }
    }
    void startChild() {
        writeConfig({{"child_users", {"kid"}}, {"api", service.url()}});
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
    std::shared_ptr<Agent> agent;
};

}  // namespace tarvo::test
