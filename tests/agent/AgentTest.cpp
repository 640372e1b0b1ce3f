#include <gtest/gtest.h>

#include "agent/Agent.h"
#include "agent/AppLimitEnforcer.h"
#include "agent/FocusMonitor.h"
#include "agent/RulesFile.h"
#include "agent/ScheduleEnforcer.h"
#include "agent/ScreenTimeTracker.h"
#include "agent/UsageReporter.h"
#include "core/Json.h"
#include "core/Paths.h"
#include "platform/fake/FakeUserSession.h"
#include "platform/fake/FakeWorkspace.h"
#include "server/AppLimitsCache.h"
#include "support/FakeService.h"
#include "support/Processes.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

using Kind = ScreenTimeTracker::ThresholdEvent::Kind;
using DailyState = ScreenTimeTracker::DailyState;
// An event's kind, its minutes and the second (since `started`) it came at.
using Seen = std::tuple<Kind, std::int64_t, std::int64_t>;

// A temp root, UTC, and a main queue on a virtual clock (a Thursday, 00:00), with a session
// and a workspace of fakes.
class OnVirtualTime : public ::testing::Test {
  protected:
    ScopedTimeZone zone{"UTC"};
    TempRoot root;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    std::shared_ptr<platform::FakeUserSession> session =
        std::make_shared<platform::FakeUserSession>();
    std::shared_ptr<platform::FakeWorkspace> workspace =
        std::make_shared<platform::FakeWorkspace>();
};

class ScreenTimeTrackerTest : public OnVirtualTime {
  protected:
    WallTime started = clock->now();
    std::vector<Seen> events;

    // A tracker started on the day in the state file (a fresh day when there is none).
    std::shared_ptr<ScreenTimeTracker> start(std::int64_t quota, std::int64_t warnAt) {
        started = clock->now();
        auto tracker = ScreenTimeTracker::create(
            queue, clock, session, quota, warnAt,
            [this](const ScreenTimeTracker::ThresholdEvent& e) {
                events.emplace_back(e.kind, e.minutes, (clock->now() - started) / 1s);
            });
        tracker->start();
        return tracker;
    }
    static std::optional<DailyState> readState() {
        auto doc = json::parse(test::readText(Paths::perUserScreenTimeStateFile()));
        return doc ? DailyState::fromJson(*doc) : std::nullopt;
    }
};

// Idle time is not screen time.
TEST_F(ScreenTimeTrackerTest, IdleIntervalsAreNotCountedAndTicksCountTheMonotonicInterval) {
    session->setIdleSeconds(61.0);
    auto tracker = start(60, 5);
    queue.advance(10min);
    EXPECT_EQ(tracker->state().seconds, 0);
    session->setIdleSeconds(60.0);  // exactly the threshold still counts as active
    queue.advance(15s);
    EXPECT_EQ(tracker->state().seconds, 15);

    // A tick counts the whole interval since the last one on the monotonic
    // clock: a held-up main loop counts in full, a sleep (the wall clock
    // moves, the monotonic one does not) nothing extra.
    clock->advance(420s);
    queue.advance(15s);
    EXPECT_EQ(tracker->state().seconds, 15 + 435);
    clock->setWall(clock->now() + 8h);
    queue.advance(15s);
    EXPECT_EQ(tracker->state().seconds, 15 + 450);
}

// The child can write the state file: only a count for today that could be
// real is kept; anything else starts a fresh day.
TEST_F(ScreenTimeTrackerTest, AStoredCountIsKeptOnlyWhenItCouldBeRealAndTheServicesFiguresBoundIt) {
    const std::string day = localDayKey(clock->now());
    const std::pair<std::string, std::int64_t> cases[] = {
        {day + R"(","seconds":600)", 600},
        {day + R"(","seconds":-9)", 0},
        {R"(2025-12-31","seconds":600)", 0},
        {day + R"(","seconds":600,"grantedBonusMinutes":-1)", 0},
    };
    for (const auto& [stored, kept] : cases) {
        // A bonus in `stored` comes later and counts.
        test::writeText(Paths::perUserScreenTimeStateFile(),
                        R"({"grantedBonusMinutes":0,"day":")" + stored +
                            R"(,"quotaMinutes":60,"warnAtMinutesRemaining":5})");
        auto tracker = ScreenTimeTracker::create(queue, clock, session, 45, 3, {});
        EXPECT_EQ(tracker->state(), (DailyState{day, kept, 45, 3, 0})) << stored;
    }

    // The service's figures for the day bound it: the bonus at most what was granted, the seconds
    // at least those recorded.
    using Opt = std::optional<std::int64_t>;
    // The figures' day, granted, used → the bonus and seconds kept from a file
    // holding 30 and 600.
    const std::tuple<std::string, Opt, Opt, std::int64_t, std::int64_t> figures[] = {
        {day, 30, 600, 30, 600}, {day, 29, 599, 29, 600}, {day, 31, 601, 30, 601},
        {day, {}, {}, 30, 600},  {day, 0, {}, 0, 600},    {"2025-12-31", 0, 900, 30, 600},
    };
    for (const auto& [figuresDay, granted, used, bonus, seconds] : figures) {
        SCOPED_TRACE(figuresDay + testing::PrintToString(std::make_pair(granted, used)));
        test::writeText(Paths::perUserScreenTimeStateFile(),
                        DailyState{day, 600, 60, 5, 30}.toJson().dump());
        auto tracker = ScreenTimeTracker::create(queue, clock, session, 60, 5, {});
        EXPECT_EQ(tracker->applyServiceTotals(figuresDay, granted, used),
                  bonus != 30 || seconds != 600);
        EXPECT_EQ(tracker->state(), (DailyState{day, seconds, 60, 5, bonus}));
        EXPECT_EQ(readState(), tracker->state());
    }
}

// However often a grant arrives (pushed, polled, after a restart), its request
// counts once that day; grants without an id count as they come.
TEST_F(ScreenTimeTrackerTest, AGrantCountsOncePerRequestUntilTheDayEnds) {
    auto tracker = start(0, 5);
    queue.advance(2min);  // no quota and no grant: counted, nothing raised
    EXPECT_EQ(tracker->state().seconds, 120);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(tracker->extendQuota(10, 7));
    EXPECT_FALSE(tracker->extendQuota(10, 7));
    EXPECT_TRUE(tracker->extendQuota(5, std::nullopt));
    EXPECT_TRUE(tracker->extendQuota(5, std::nullopt));
    EXPECT_FALSE(tracker->extendQuota(0, 8));
    EXPECT_TRUE(tracker->extendQuota(1, 8)) << "an empty grant does not use up its id";
    tracker->stop();
    tracker = start(0, 5);
    EXPECT_FALSE(tracker->extendQuota(10, 7)) << "the ids outlive a restart";
    EXPECT_EQ(tracker->state().grantedBonusMinutes, 21);
    EXPECT_EQ(tracker->state().grantedRequestIds, (std::vector<std::int64_t>{7, 8}));

    // Ids that are not a list of integers count as none; the counts stay.
    auto doc = tracker->state().toJson();
    doc["grantedRequestIds"] = {7, "8"};
    EXPECT_EQ(DailyState::fromJson(doc),
              (DailyState{tracker->state().day, tracker->state().seconds, 0, 5, 21}));

    session->setIdleSeconds(61.0);
    queue.advance(24h);  // a new day forgets them
    EXPECT_TRUE(tracker->state().grantedRequestIds.empty());
    EXPECT_TRUE(tracker->extendQuota(10, 7));
}

TEST_F(ScreenTimeTrackerTest, RolloverAtLocalMidnightResetsCountsGrantsAndFlags) {
    test::ScopedTimeZone newYork("America/New_York");
    // 23:57 on 31 December in New York; UTC is already on the next day.
    clock->setWall(fromUnixSeconds(1'767'243'420));
    auto tracker = start(1, 1);
    tracker->extendQuota(1);  // a grant that must not outlive the day
    EXPECT_EQ(readState()->grantedBonusMinutes, 1) << "the grant is persisted at once";
    queue.advance(6min);
    // Limit 2 until midnight, 1 after: warned and exhausted once each day.
    EXPECT_EQ(events, (std::vector<Seen>{{Kind::warning, 1, 0},
                                         {Kind::quotaExtended, 2, 0},
                                         {Kind::warning, 1, 60},
                                         {Kind::quotaExhausted, 0, 120},
                                         {Kind::warning, 1, 180},            // 00:00
                                         {Kind::quotaExhausted, 0, 225}}));  // 00:00:45
    // The tick at 00:00:00 counts its 15 s to the new day.
    EXPECT_EQ(tracker->state(), (DailyState{"2026-01-01", 3 * 60 + 15, 1, 1, 0}));
    EXPECT_EQ(readState(), tracker->state());
}

// The agent's side as the schedule sees it: whether the quota holds the blocker.
struct Blocker : ScheduleBlocker {
    void showBlocker() override { shown = true; }
    bool quotaHoldsBlocker() const override {
        return ScheduleEnforcer::quotaUsedUp(quotaMinutes, bonusMinutes, usedSeconds);
    }
    void dismissBlocker() override { shown = false; }
    bool shown = false;
    std::int64_t quotaMinutes = 0, bonusMinutes = 0, usedSeconds = 0;
};

using ScheduleEnforcerTest = OnVirtualTime;

TEST_F(ScheduleEnforcerTest, ADayUnderAScheduleThenItsLifting) {
    // The virtual clock starts at 2026-01-01T00:00:00Z: Thursday 02:00 in Helsinki.
    ScopedTimeZone helsinki{"Europe/Helsinki"};
    auto blocker = std::make_shared<Blocker>();
    auto enforcer = ScheduleEnforcer::create(queue, clock, blocker, TarvoLog("agent"));
    enforcer->start();
    enforcer->updateAccessWindows({{4, 8 * 60, 12 * 60, 0}});  // Thursdays
    queue.runPending();
    EXPECT_TRUE(blocker->shown);
    // The 60-second checks let the child in at 08:00 and shut it out at 12:00.
    queue.advance(6h);
    EXPECT_FALSE(blocker->shown);
    queue.advance(4h);
    // Lifting the schedule leaves a blocker the quota holds, and only that one.
    blocker->bonusMinutes = 1;  // a grant counts as quota
    blocker->usedSeconds = 60;
    enforcer->updateAccessWindows({});
    queue.runPending();
    EXPECT_TRUE(blocker->shown);
    blocker->usedSeconds = 59;
    enforcer->updateAccessWindows({{4, 0, 1, 0}});
    enforcer->updateAccessWindows({});
    queue.runPending();
    EXPECT_FALSE(blocker->shown);
}

using platform::ActivationPolicy;
using platform::RunningApp;

RunningApp app(pid_t pid, std::optional<std::string> id,
               ActivationPolicy policy = ActivationPolicy::regular) {
    return RunningApp{pid, std::move(id), "App " + std::to_string(pid), policy, 0};
}

class AppsTest : public OnVirtualTime {
  protected:
    // An activation as the system delivers it: the switch lands on the main queue.
    void activate(const std::optional<RunningApp>& a) {
        workspace->activate(a);
        queue.runPending();
    }

    test::FakeService service;
    test::EnvGuard base{"TARVO_BASE_URL", service.url()};
    InlineBackground background;
    std::shared_ptr<ServerClient> server = ServerClient::create(test::testOptions(clock));
};

TEST_F(AppsTest, ClosesOnlyOrdinaryApplicationsOffTheAllowlist) {
    const std::pair<RunningApp, bool> cases[] = {
        {app(10, "org.mozilla.Firefox"), false},  // allowed, compared in lower case
        {app(11, "com.apple.Safari"), false},     // the system's own
        {app(12, "APP.TARVO.agent"), false},      // this product's own, any case
        {app(14, "com.spotify.client", ActivationPolicy::accessory), false},
        {app(18, "com.Roblox.Player"), true},
        {app(19, "com.apple"), true},                 // a prefix needs its dot
        {app(21, "org.mozilla.firefox.beta"), true},  // exact match only
    };
    std::vector<pid_t> closed;
    for (const auto& [a, close] : cases) {
        workspace->launch(a, /*quitsWhenAsked=*/a.pid != 21);
        if (close) closed.push_back(a.pid);
    }
    // No allowlist (none fetched yet, or none set): nothing is closed.
    auto none = AppLimitEnforcer::create(queue, clock, background, workspace, server, {});
    none->start();
    queue.advance(5s);
    EXPECT_TRUE(workspace->terminateRequests().empty());
    none->stop();
    auto enforcer = AppLimitEnforcer::create(queue, clock, background, workspace, server,
                                             {"org.mozilla.firefox", "com.valve.steam"});
    enforcer->start();
    queue.advance(5s);  // the first sweep
    EXPECT_EQ(workspace->terminateRequests(), closed);
    const auto reports = [&] { return service.requests("/api/ReportAppLimitReached").size(); };
    EXPECT_EQ(reports(), closed.size());
    // One that ignores the request is forced three seconds later.
    queue.advance(3s);
    EXPECT_EQ(workspace->forceRequests(), std::vector<pid_t>{21});
    EXPECT_FALSE(workspace->running(21));

    // Started again it is closed again, but reported once in five minutes: the sweep 295 s
    // after the report stays quiet, the one 300 s after reports.
    queue.advance(289s);
    workspace->launch(app(28, "com.Roblox.Player"));
    queue.advance(5s);
    EXPECT_FALSE(workspace->running(28));
    EXPECT_EQ(reports(), closed.size());
    workspace->launch(app(38, "com.Roblox.Player"));
    queue.advance(5s);
    EXPECT_EQ(reports(), closed.size() + 1);
}

// Focus stretches end at 30-second polls, switches and stop; an idle user at
// a poll drops the stretch. The samples add up per application and go out as
// one batch.
TEST_F(AppsTest, FocusSamplesAddUpToOneUsageReport) {
    UsageReporter reporter(clock, background, server);
    auto monitor = FocusMonitor::create(queue, clock, workspace, session,
                                        [&](const FocusSample& s) { reporter.recordSample(s); });
    workspace->setFrontmost(app(1, "safari"));
    monitor->start();
    session->setIdleSeconds(60);  // exactly the threshold is still active
    queue.advance(65s);
    activate(app(2, "notes"));
    queue.advance(10s);
    activate(app(2, "notes"));  // the same application again: a new stretch from here
    queue.advance(500ms);
    activate(app(3, "game"));  // notes for half a second: nothing
    queue.advance(500ms);
    activate(std::nullopt);          // nothing frontmost: the game's half second neither
    queue.advance(2min);             // polls with nothing in front do nothing
    activate(app(4, std::nullopt));  // no identifier: sampled, never reported
    queue.advance(7s);
    activate(app(1, "safari"));
    session->setIdleSeconds(61);
    queue.advance(25s);  // the poll at 210 s finds the user away: counting restarts
    session->setIdleSeconds(2);
    queue.advance(10s);
    monitor->stop();
    reporter.flushUsage();
    auto sent = service.requests("/api/UpdateProcessUsage");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(json::parse(sent[0].body).value_or(nullptr)["samples"], *json::parse(R"([
        {"bundle_id":"notes","app_name":"App 2","seconds":10,"sampled_at":"2026-01-01T00:03:58Z"},
        {"bundle_id":"safari","app_name":"App 1","seconds":93,"sampled_at":"2026-01-01T00:03:58Z"}
    ])"));
}

using Rules = ServerClient::Rules;
using Outcome = RulesFile::Outcome;

class RulesFileTest : public OnVirtualTime {
  protected:
    RulesFileTest() { std::filesystem::create_directories(Paths::dataDir()); }

    std::shared_ptr<RulesFile> make() {
        RulesFile::Options options{
            .username = "emma", .uid = 501, .deviceId = "dev-own", .clock = clock};
        return RulesFile::create(std::move(options), TarvoLog("agent"), background);
    }
    static Rules rules(std::vector<std::string> wl, std::vector<std::string> bl) {
        return Rules{std::move(wl), std::move(bl), "dev-rules", {}};
    }
    static std::string path() { return Paths::rulesFile(); }
    static Json onDisk() { return Json::parse(test::readText(path())); }

    InlineBackground background;
};

const char* kOtherChild =
    R"({"username": "noah", "whitelist": ["a.com", "b.com"], "blacklist": ["x.com"]})";

TEST_F(RulesFileTest, WriteDecisionsOverWhatIsOnDiskAndTheClampOfAnotherChildsAtStart) {
    struct Case {
        const char* name;
        std::string existing;
        Rules rules;
        Outcome outcome;
    } cases[] = {
        {"empty lists over a non-empty whitelist", kOtherChild, rules({}, {}),
         Outcome::keptExisting},
        {"empty lists over an empty whitelist", R"({"whitelist": [], "blacklist": ["x.com"]})",
         rules({}, {}), Outcome::written},
        {"an empty whitelist with a blacklist", kOtherChild, rules({}, {"y.com"}),
         Outcome::written},
        {"a whitelist alone", kOtherChild, rules({"a.com"}, {}), Outcome::written},
        {"another child's file with the same lists", kOtherChild,
         rules({"a.com", "b.com"}, {"x.com"}), Outcome::unchanged},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeText(path(), c.existing);
        auto file = make();
        EXPECT_EQ(file->writeNow(c.rules), c.outcome);
        if (c.outcome == Outcome::written) {
            EXPECT_EQ(onDisk(), (Json{{"updated_at", "2026-01-01T00:00:00Z"},
                                      {"username", "emma"},
                                      {"device_id", "dev-rules"},
                                      {"whitelist", c.rules.whitelist},
                                      {"blacklist", c.rules.blacklist}}));
            EXPECT_FALSE(test::exists(file->tempPath()));
            continue;
        }
        EXPECT_EQ(test::readText(path()), c.existing);  // not touched at all
    }
    EXPECT_THROW(make()->writeNow(rules({"bad\xff.com"}, {})), RulesFile::Error);

    // At start another child's rules are clamped, not our own.
    const std::string own = R"({"username": "emma", "whitelist": ["a.com"]})";
    test::writeText(path(), own);
    make()->neutralizeStaleRulesIfNotMine();
    EXPECT_EQ(test::readText(path()), own);
    test::writeText(path(), R"({"username": "Emma", "whitelist": ["a.com"]})");  // exact comparison
    make()->neutralizeStaleRulesIfNotMine();
    EXPECT_EQ(onDisk()["whitelist"], Json::array({"tarvo.app"}));

    // The server unreachable: our own cached rules take the place of another
    // child's; without a cache they stay; once the file is ours, it is kept.
    const Rules cached{{"c.com", "d.com"}, {"z.com"}, "dev-cache", {{1, 480, 720, 0}}};
    int reads = 0;
    std::optional<std::vector<AccessWindow>> replayed;
    auto recover = [&](bool haveCache) {
        make()->recoverFromCacheIfClamped(
            [&]() -> std::optional<Rules> {
                ++reads;
                return haveCache ? std::optional(cached) : std::nullopt;
            },
            [&](std::vector<AccessWindow> windows) { replayed = std::move(windows); });
    };
    test::writeText(path(), kOtherChild);
    recover(false);
    EXPECT_FALSE(replayed);
    EXPECT_EQ(test::readText(path()), kOtherChild);
    recover(true);
    EXPECT_EQ(replayed, cached.accessWindows);
    EXPECT_EQ(onDisk()["whitelist"], Json(cached.whitelist));
    recover(true);
    EXPECT_EQ(reads, 2);
}

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
class AgentTest : public OnVirtualTime {
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

    ManualBackground background;
    FakeService service;
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
