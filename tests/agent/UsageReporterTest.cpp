#include "agent/UsageReporter.h"

#include <gtest/gtest.h>

#include "core/Json.h"
#include "support/FakeService.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using Usage = UsageReporter::Usage;

// The "samples" of every usage report the service received, as
// bundle id → (name, seconds, sampled_at).
struct Reported {
    std::string name;
    std::int64_t seconds;
    std::string sampledAt;
    bool operator==(const Reported&) const = default;
};

class UsageReporterTest : public ::testing::Test {
  protected:
    test::TempRoot root;
    test::FakeService service;
    test::EnvGuard base{"TARVO_BASE_URL", service.url()};
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    std::shared_ptr<ServerClient> server = ServerClient::create(test::testOptions(clock));

    std::vector<std::map<std::string, Reported>> reports() {
        std::vector<std::map<std::string, Reported>> out;
        for (const auto& r : service.requests("/api/UpdateProcessUsage")) {
            auto doc = json::parse(r.body);
            if (!doc || !doc->contains("samples")) continue;
            std::map<std::string, Reported> batch;
            for (const auto& s : (*doc)["samples"])
                batch[s["bundle_id"]] = {s["app_name"], s["seconds"], s["sampled_at"]};
            out.push_back(batch);
        }
        return out;
    }
    FocusSample sample(std::optional<std::string> id, std::string name, std::int64_t seconds) {
        return {std::move(id), std::move(name), seconds, clock->now()};
    }
};

TEST_F(UsageReporterTest, SamplesAddUpPerApplicationAndOneFlushSendsOneBatch) {
    InlineBackground background;
    UsageReporter reporter(clock, background, server);
    reporter.recordSample(sample("com.apple.Safari", "Safari", 30));
    reporter.recordSample(sample("org.example.game", "Game", 12));
    reporter.recordSample(sample(std::nullopt, "Script", 40));  // no identifier: dropped
    reporter.recordSample(sample("", "Blank", 40));             // empty identifier: dropped
    reporter.recordSample(sample("com.apple.Safari", "Safari Technology Preview", 25));
    const std::map<std::string, Usage> wantBuffer = {
        {"com.apple.Safari", {"Safari Technology Preview", 55}},
        {"org.example.game", {"Game", 12}}};
    EXPECT_EQ(reporter.buffer(), wantBuffer) << "seconds add up; the latest name wins";

    clock->advance(42s);
    const std::string at = formatIsoUtc(clock->now());
    reporter.flushUsage();
    EXPECT_TRUE(reporter.buffer().empty());
    const std::vector<std::map<std::string, Reported>> want = {
        {{"com.apple.Safari", {"Safari Technology Preview", 55, at}},
         {"org.example.game", {"Game", 12, at}}}};
    EXPECT_EQ(reports(), want);

    reporter.flushUsage();  // nothing buffered: nothing sent
    EXPECT_EQ(service.requests().size(), 1u);
}

}  // namespace
}  // namespace tarvo
