#include "agent/UsageReporter.h"

#include <gtest/gtest.h>

#include "core/Json.h"
#include "support/FakeService.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

TEST(UsageReporter, SamplesAddUpPerApplicationAndOneFlushSendsOneBatch) {
    test::TempRoot root;
    test::FakeService service;
    test::EnvGuard base{"TARVO_BASE_URL", service.url()};
    auto clock = std::make_shared<VirtualClock>();
    InlineBackground background;
    UsageReporter reporter(clock, background, ServerClient::create(test::testOptions(clock)));
    auto sample = [&](std::optional<std::string> id, std::string name, std::int64_t seconds) {
        reporter.recordSample({std::move(id), std::move(name), seconds, clock->now()});
    };
    sample("com.apple.Safari", "Safari", 30);
    sample("org.example.game", "Game", 12);
    sample(std::nullopt, "Script", 40);  // no identifier: dropped
    sample("", "Blank", 40);             // empty identifier: dropped
    sample("com.apple.Safari", "Safari Preview", 25);

    clock->advance(std::chrono::seconds(42));
    reporter.flushUsage();
    reporter.flushUsage();  // nothing buffered: nothing sent
    auto sent = service.requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].path, "/api/UpdateProcessUsage");
    std::map<std::string, std::tuple<std::string, std::int64_t, std::string>> got;
    auto body = json::parse(sent[0].body).value_or(nullptr);
    for (const auto& s : body["samples"])
        got[s["bundle_id"]] = {s["app_name"], s["seconds"], s["sampled_at"]};
    const std::string at = "2026-01-01T00:00:42Z";
    const decltype(got) want = {{"com.apple.Safari", {"Safari Preview", 55, at}},
                                {"org.example.game", {"Game", 12, at}}};
    EXPECT_EQ(got, want) << "seconds add up; the latest name wins";
}

}  // namespace
}  // namespace tarvo
