#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "agent/Agent.h"
#include "core/Paths.h"
#include "platform/fake/FakeUserSession.h"
#include "platform/fake/FakeWorkspace.h"
#include "server/AppLimitsCache.h"
#include "support/FakeService.h"
#include "support/Processes.h"
#include "support/VirtualTime.h"

namespace tarvo::test {
namespace {

using nlohmann::json;
using std::chrono::seconds;

// Views that show nothing; no warning and no chat window (the agent goes on without them).
// `gone` hears which of them was destroyed, on the thread that destroyed it.
class SilentViews : public AgentViews {
  public:
    using Gone = std::function<void(const std::string& what)>;
    struct Blocker : BlockerView {
        explicit Blocker(Gone gone) : gone(std::move(gone)) {}
        ~Blocker() override {
            if (gone) gone("blocker");
        }
        void show() override {}
        void dismiss() override {}
        Gone gone;
    };
    ~SilentViews() override {
        if (gone) gone("views");
    }
    void becomeMenuBarOnly() override {}
    std::unique_ptr<BlockerView> makeBlocker(const std::string& name, std::int64_t minutes,
                                             MoreTimeRequest) override {
        blockers.push_back(name + " after " + std::to_string(minutes) + "m");
        return std::make_unique<Blocker>(gone);
    }
    std::unique_ptr<TimeWarningView> makeTimeWarning() override { return nullptr; }
    std::shared_ptr<ChatView> makeChatView() override { return nullptr; }
    void installChatMenuItem(std::function<void()>) override {}
    Gone gone;
    std::vector<std::string> blockers;  // each one made: for whom, after how many minutes
};

// An agent for child "kid" (uid 501) on virtual time, its Background run by
// hand, against the fake service, in a temp root.
class AgentTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (agent && !agent->isShutDown()) agent->shutdown();
        agent.reset();
        background.runAll();
    }
    bool settle(const std::function<bool()>& done) {
        for (int i = 0; i < 2000; ++i) {
            background.runAll();
            queue.runPending();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    void advance(std::chrono::seconds total) {
        for (auto passed = std::chrono::seconds(0); passed < total; ++passed) {
            queue.advance(std::chrono::seconds(1));
            background.runAll();
            queue.runPending();
        }
    }
    json rulesOnDisk() const { return json::parse(readText(Paths::rulesFile())); }
    // Starts the agent of child "kid" (uid 501) against the fake service.
    void startAgent() {
        makeAgent(views = std::make_shared<SilentViews>());
        ASSERT_TRUE(agent->start());
    }
    void makeAgent(std::shared_ptr<AgentViews> views) {
        auto session = std::make_shared<platform::FakeUserSession>();
        session->setUserName("kid");
        session->setUid(501);
        writeConfig({{"child_users", {"sam", "kid"}}, {"api", service.url()}});
        agent = Agent::create({.queue = &queue,
                               .background = &background,
                               .clock = clock,
                               .session = session,
                               .workspace = workspace,
                               .views = std::move(views),
                               .presenceOnOwnThread = false});  // the heartbeat on virtual time
    }

    ScopedTimeZone zone{"UTC"};
    TempRoot root;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();  // a Thursday, 00:00
    VirtualMainQueue queue{clock};
    ManualBackground background;
    FakeService service;
    std::shared_ptr<platform::FakeWorkspace> workspace =
        std::make_shared<platform::FakeWorkspace>();
    std::shared_ptr<SilentViews> views;
    std::shared_ptr<Agent> agent;
};

TEST_F(AgentTest, AChildsSession) {
    // Another child's rules are on disk from an earlier session.
    writeText(Paths::rulesFile(), json{{"username", "sam"}, {"whitelist", {"s.example"}}}.dump());
    // Monday mornings only; the clock says Thursday.
    service.answer("/api/GetUserSettingsByDeviceId", 200,
                   R"({"whitelist":["a.example"],)"
                   R"("accessWindows":[{"dayOfWeek":1,"start":"08:00","end":"09:00"}]})");
    service.answer("/api/GetAppLimits", 200,
                   R"({"allowed_bundle_ids":["com.apple.Safari"],"daily_minutes":90})");
    workspace->setFrontmost(platform::RunningApp{7, "com.apple.Safari", "Safari",
                                                 platform::ActivationPolicy::regular, 0});
    startAgent();
    // Before the bootstrap has run: flag, proxy configuration, fail-closed rules.
    const std::string flag = Paths::activeChildrenDir() + "/501.flag";
    EXPECT_EQ(json::parse(readText(Paths::proxyConfigFile())),
              (json{{"username", "kid"}, {"device_id", agent->server()->deviceId()}}));
    EXPECT_EQ(rulesOnDisk()["whitelist"], json{RulesFile::defaultServiceHost()});

    ASSERT_TRUE(settle([&] { return service.events.streams() == 1; }));
    EXPECT_EQ(rulesOnDisk()["whitelist"], json{"a.example"});
    EXPECT_EQ(agent->appLimits()->allowed(), std::set<std::string>{"com.apple.safari"});
    EXPECT_TRUE(agent->blockerShown());
    EXPECT_TRUE(agent->schedule()->blockedBySchedule());

    // The heartbeat rewrites the flag every 15 s, the first time 15 s after start.
    const auto old = std::filesystem::last_write_time(flag) - std::chrono::hours(1);
    std::filesystem::last_write_time(flag, old);
    advance(seconds(15));
    EXPECT_GT(std::filesystem::last_write_time(flag), old);

    // 90 s of silence rebuild the stream.
    advance(seconds(74));
    EXPECT_EQ(service.events.streams(), 1);
    advance(seconds(1));
    ASSERT_TRUE(settle([&] { return service.events.streams() == 2; }));

    // A grant (here found by the 30 s poll) is the parent's explicit choice: it
    // takes down the blocker the schedule raised, and the schedule's next checks
    // do not raise it again. (A grant pushed on the stream: see the end-to-end tests.)
    service.answer("/api/CheckMoreTimeApproval", 200, R"({"approved":true,"granted_minutes":15})");
    advance(seconds(30));
    ASSERT_TRUE(settle([&] { return !agent->blockerShown(); }));
    service.answer("/api/CheckMoreTimeApproval", 200, "{}");
    EXPECT_EQ(agent->screenTime()->state().grantedBonusMinutes, 15);
    advance(seconds(120));
    EXPECT_FALSE(agent->blockerShown());
    EXPECT_TRUE(agent->schedule()->blockedBySchedule());
    // With the stream silent the rules are polled each minute: in these 240 s once, at 180 s.
    EXPECT_EQ(service.requests("/api/GetUserSettingsByDeviceId").size(), 2u);

    advance(seconds(10));  // ten seconds into a stretch of Safari in front
    EXPECT_TRUE(queue.deliverSignal(SIGINT));
    EXPECT_EQ(agent->activeTimers(), 0);
    background.runAll();
    std::int64_t reported = 0;
    for (const auto& r : service.requests("/api/UpdateProcessUsage")) {
        const json body = json::parse(r.body);
        for (const auto& sample : body.at("samples")) reported += sample.at("seconds").get<int>();
    }
    EXPECT_EQ(reported, 250) << "in front from start to stop, none of it lost";
}

// The child rewrote the state file (no time used, 100000 minutes granted) and
// restarted the agent: the service's figures for the day put both back. A
// grant pushed and then polled counts once (after a restart: the tracker's tests).
TEST_F(AgentTest, TheServicesFiguresOutweighARewrittenStateFileAndAGrantCountsOnce) {
    ScopedTimeZone newYork("America/New_York");  // 19:00 on 31 December there
    auto state = [&] { return agent->screenTime()->state(); };
    writeText(Paths::perUserScreenTimeStateFile(),
              ScreenTimeTracker::DailyState{"2025-12-31", 0, 60, 5, 100000}.toJson().dump());
    service.answer("/api/GetAppLimits", 200,
                   R"({"daily_minutes":60,"granted_minutes_today":15,"used_seconds_today":4800})");
    startAgent();
    ASSERT_TRUE(settle([&] { return service.events.streams() == 1; }));
    EXPECT_EQ(queryOf(service.requests("/api/GetAppLimits").at(0))["day_start"],
              "2025-12-31T05:00:00Z");
    EXPECT_EQ(state().grantedBonusMinutes, 15);
    EXPECT_EQ(state().seconds, 4800);
    EXPECT_EQ(views->blockers, std::vector<std::string>{"kid after 80m"}) << "80 of 75 used";

    service.grant(6, 5);  // 80 of 80: nothing left yet, the blocker stays
    ASSERT_TRUE(settle([&] { return state().grantedBonusMinutes == 20; }));
    EXPECT_TRUE(agent->blockerShown());
    service.grant(7, 10);
    ASSERT_TRUE(settle([&] { return !agent->blockerShown(); }));
    advance(seconds(30));  // the poll hands out requests 6 and 7 as well
    EXPECT_EQ(queryOf(service.requests("/api/CheckMoreTimeApproval").back())["by_request"], "1");
    EXPECT_EQ(state().grantedBonusMinutes, 30);
}

// Each refresh of the limits brings their allowlist, and the service's granted
// minutes cap the bonus, except when a grant was counted while they were on their way: the figure
// may predate it.
TEST_F(AgentTest, AGrantCountedWhileTheLimitsWereFetchedIsNotCappedAway) {
    service.answer("/api/GetAppLimits", 200, R"({"daily_minutes":60,"granted_minutes_today":0})");
    startAgent();
    ASSERT_TRUE(settle([&] { return service.events.streams() == 1; }));
    for (int minute = 0; minute < 5; ++minute) {  // a stream that stays alive
        service.events.write("data: ping\n\n");
        ASSERT_TRUE(
            polling::waitUntil([&] { return agent->lastStreamActivity() == clock->monotonic(); }));
        advance(seconds(minute < 4 ? 60 : 59));
    }
    service.answer("/api/GetAppLimits", 200,
                   R"({"allowed_bundle_ids":["com.Roblox.Player"],"daily_minutes":60,)"
                   R"("granted_minutes_today":0})");
    queue.advance(seconds(1));  // the limits timer queues its fetch
    service.grant(9, 10);       // pushed while it waits
    ASSERT_TRUE(polling::waitUntil([&] { return queue.pendingPosts() > 0; }));
    background.runAll();  // the fetch, with the figure from before the grant
    queue.runPending();   // the grant is counted, then the limits applied
    EXPECT_EQ(agent->screenTime()->state().grantedBonusMinutes, 10);
    EXPECT_EQ(agent->appLimits()->allowed(), std::set<std::string>{"com.roblox.player"});
    advance(seconds(300));
    EXPECT_EQ(agent->screenTime()->state().grantedBonusMinutes, 0) << "the next figure caps";
}

// The service out of reach at start: the last limits fetched still hold, and
// only with none ever fetched does the agent run without limits.
TEST_F(AgentTest, UnreachableAtStartTheCachedLimitsHold) {
    service.answer("/api/GetAppLimits", 503, "");
    for (bool cached : {false, true}) {
        SCOPED_TRACE(cached);
        if (cached)
            AppLimitsCache::save(R"({"allowed_bundle_ids":["com.a"],"daily_minutes":30})", "kid",
                                 "D");
        startAgent();
        ASSERT_TRUE(settle([&] { return agent->bootstrapped(); }));
        EXPECT_EQ(agent->screenTime()->state().quotaMinutes, cached ? 30 : 0);
        EXPECT_EQ(agent->appLimits()->allowed().size(), cached ? 1u : 0u);
        EXPECT_EQ(logLinesWith(cached ? "— enforcing the cached limits: 1 apps, quota=30m"
                                      : "— permissive until next tick")
                      .size(),
                  1u);
        agent->shutdown();
        background.runAll();
    }
}

// A periodic fetch that fails is said once per run of failures (an hour
// offline is one line, not twelve), and again when a new run starts.
TEST_F(AgentTest, FailedRefreshesAreLoggedOncePerRunOfFailures) {
    startAgent();
    ASSERT_TRUE(settle([&] { return agent->bootstrapped(); }));
    const struct {
        const char* endpoint;
        const char* line;
        seconds interval;
    } kinds[] = {
        {"/api/GetAppLimits", "[agent] WARN  app-limits refresh failed: ", seconds(300)},
        {"/api/GetUserSettingsByDeviceId", "[agent] WARN  rules refresh failed: ", seconds(600)}};
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.endpoint);
        auto failures = [&] { return logLinesWith(k.line).size(); };
        service.answer(k.endpoint, 503, "");
        advance(k.interval);
        EXPECT_EQ(failures(), 1u);
        advance(k.interval);
        EXPECT_EQ(failures(), 1u) << "the same run of failures";
        service.answer(k.endpoint, 200, "{}");
        advance(k.interval);
        service.answer(k.endpoint, 503, "");
        advance(k.interval);
        EXPECT_EQ(failures(), 2u) << "a new run after a success";
        service.answer(k.endpoint, 200, "{}");
    }
    EXPECT_EQ(service.requests("/api/CheckinCurrentUser").size(), 1u + 3600 / 300)
        << "at start and every five minutes";
}

// A directory in place of the flag (the child made it): the agent says so at
// error once, tries again at every heartbeat, and says when the flag is back.
TEST_F(AgentTest, AFlagThatCannotBeWrittenIsLoggedOnceAndRetriedAtEveryHeartbeat) {
    const std::string flag = Paths::activeChildrenDir() + "/501.flag";
    const std::string failed = "[agent] ERROR couldn't write presence flag " + flag + ": ";
    auto failures = [&] { return logLinesWith(failed).size(); };
    std::filesystem::create_directories(flag);
    startAgent();
    EXPECT_EQ(failures(), 1u);
    advance(seconds(15));
    EXPECT_EQ(failures(), 1u) << "one line per run of failures";

    std::filesystem::remove(flag);
    advance(seconds(14));
    EXPECT_FALSE(std::filesystem::is_regular_file(flag));
    advance(seconds(1));
    EXPECT_TRUE(std::filesystem::is_regular_file(flag));
    EXPECT_EQ(logLinesWith("[agent] INFO  presence flag " + flag + " written again").size(), 1u);

    std::filesystem::remove(flag);
    std::filesystem::create_directories(flag);
    advance(seconds(15));
    EXPECT_EQ(failures(), 2u) << "a new run of failures is logged again";
}

// Who is a child: a trusted config.json's list decides, exactly and
// case-sensitively. A file only another user owns decides nothing, and it
// cannot switch supervision off: whoever is no administrator stays a child.
TEST(ChildCheck, OnlyATrustedListDecidesAndAnUntrustedFileNeverFreesAChild) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give config.json to another owner";
    struct Case {
        const char* what;
        std::optional<std::string> config;  // none: no file
        uid_t owner;
        uid_t sessionUid;
        std::optional<bool> want;
    };
    const std::string listsKid = R"({"child_users":["sam","kid"]})";
    const std::vector<Case> cases = {
        {"listed", listsKid, 0, 501, true},
        {"listed, other case", R"({"child_users":["Kid"]})", 0, 501, false},
        {"no list", R"({"api":"http://a.example/"})", 0, 501, std::nullopt},
        {"a list with a number", R"({"child_users":["kid",1]})", 0, 501, std::nullopt},
        {"no file", std::nullopt, 0, 501, std::nullopt},
        {"a child's empty list", R"({"child_users":[]})", kNobody, 501, true},
        {"a child's list without kid", R"({"child_users":["sam"]})", kNobody, 501, true},
        {"a child's file, root's session", R"({"child_users":[]})", kNobody, 0, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempRoot root;
        if (c.config) {
            writeText(Paths::configFile(), *c.config);
            ASSERT_EQ(::chown(Paths::configFile().c_str(), c.owner, c.owner), 0);
        }
        EXPECT_EQ(Agent::configListsChild("kid", c.sessionUid), c.want);
    }
}

TEST_F(AgentTest, ItsWindowsGoOnTheMainThreadWhoeverLetsGoOfItLast) {
    for (const bool worker : {false, true}) {
        SCOPED_TRACE(worker ? "a worker thread lets go last" : "the main thread lets go last");
        std::mutex mutex;
        std::map<std::string, std::thread::id> goneOn;
        auto views = std::make_shared<SilentViews>();
        views->gone = [&](const std::string& what) {
            std::lock_guard lock(mutex);
            goneOn[what] = std::this_thread::get_id();
        };
        makeAgent(std::move(views));
        agent->showBlocker();
        ASSERT_TRUE(agent->blockerShown());
        if (worker) {
            std::thread([last = std::move(agent)]() mutable { last.reset(); }).join();
            std::lock_guard lock(mutex);
            EXPECT_TRUE(goneOn.empty()) << "gone before the main thread ran";
        } else {
            agent.reset();
            std::lock_guard lock(mutex);
            EXPECT_EQ(goneOn.size(), 2u) << "gone at once";
        }
        queue.runPending();
        std::lock_guard lock(mutex);
        for (const char* what : {"blocker", "views"}) {
            ASSERT_TRUE(goneOn.contains(what)) << what;
            EXPECT_EQ(goneOn[what], std::this_thread::get_id()) << what;
        }
    }
}

}  // namespace
}  // namespace tarvo::test
