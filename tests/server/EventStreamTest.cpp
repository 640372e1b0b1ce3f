#include <gtest/gtest.h>

#include <atomic>

#include "support/FakeService.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using Kind = ServerClient::SSEEvent::Kind;

std::vector<std::string> feed(const std::vector<std::string>& chunks) {
    std::vector<std::string> payloads;
    SSEDelegate delegate([&](const std::string& p) { payloads.push_back(p); });
    for (const auto& c : chunks) delegate.didReceive(c);
    return payloads;
}

// Every stream gives the same payloads whole and cut at each single byte
// position (inside "data:", inside a multi-byte character, between "\r\n"
// pairs).
TEST(SSEDelegate, FramingSurvivesEverySplit) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"data: a\r\ndata: b\r\n\r\n", {"a\r\nb"}},
        {": heartbeat\n\nevent: x\nid: 3\n\ndat a: no\ndata\n\n", {}},
        {"event: rules\ndata: é€😀\n\ndata: kept\n\ndata: no separator yet", {"é€😀", "kept"}},
        {"data:x\n  data:   y \t\n\n", {"x\ny"}},
        {"data: \u00a0spaced\u3000\n\n", {"spaced"}},
    };
    for (const auto& [stream, want] : cases) {
        SCOPED_TRACE(stream);
        EXPECT_EQ(feed({stream}), want);
        for (size_t cut = 1; cut < stream.size(); ++cut)
            EXPECT_EQ(feed({stream.substr(0, cut), stream.substr(cut)}), want) << cut;
    }
}

// A block that is not UTF-8 is lost alone: its neighbours, in the same chunk
// or the next, arrive whole and apart.
TEST(SSEDelegate, ABrokenByteLosesOnlyItsOwnBlockAndARunawayBufferGoes) {
    const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
        {{"data: a\n\n", "data: \xff bad\n\n", "data: c\n\n"}, {"a", "c"}},
        {{"data: a\n\ndata: \xff bad\n\ndata: c\n\n"}, {"a", "c"}},
        // A lead byte the next chunk does not complete spoils its block only.
        {{"data: a\xe2", "\x82\n\ndata: b\n\n", "data: c\n\n"}, {"b", "c"}},
        {{"data: \xe2\x82", "x\n\n"}, {}},
        {{"data: \xf0", "\x9f", "\x98\x80\n\n"}, {"\xf0\x9f\x98\x80"}},
        {{"data: \xc3", "\xa9\r\n\r\ndata: \xc3\xa9\n\n"}, {"\xc3\xa9", "\xc3\xa9"}},
    };
    for (const auto& [chunks, want] : cases) EXPECT_EQ(feed(chunks), want) << chunks.front();

    // A runaway buffer is dropped whole: only what follows it arrives.
    std::vector<std::string> runaway(SSEDelegate::kMaxBuffer / (1 << 20) + 1,
                                     std::string(1 << 20, 'x'));
    runaway.front() = "data: ";
    runaway.push_back("data: next\n\n");
    EXPECT_EQ(feed(runaway), std::vector<std::string>{"next"});
}

// However the session ends (released, cancelled from its own handler, its
// client gone, the server closing), no event follows, and no warning.
TEST(EventStream, NothingIsDeliveredOnceTheSessionEnds) {
    test::TempRoot root;
    for (int how = 1; how < 5; ++how) {
        SCOPED_TRACE(how);
        test::FakeService service;
        test::writeConfig({{"api", service.url() + "/"}});
        auto client = ServerClient::create(test::testOptions());
        std::mutex mutex;
        std::atomic<int> blocks = 0;
        std::vector<Kind> events;
        std::shared_ptr<SSESession> session;
        auto waitFor = [&](int blocksAtLeast) {
            return test::polling::waitUntil([&] {
                std::lock_guard lock(mutex);
                return !events.empty() && blocks >= blocksAtLeast;
            });
        };
        {
            std::lock_guard lock(mutex);  // the event handler waits until `session` is set
            session = client->subscribeEvents([&] { ++blocks; },
                                              [&](const ServerClient::SSEEvent& e) {
                                                  std::lock_guard lock(mutex);
                                                  events.push_back(e.kind);
                                                  if (how == 2) session->cancel();
                                              });
        }
        service.events.write(": connected\n\ndata: force_update\n\n");
        ASSERT_TRUE(waitFor(1));
        std::weak_ptr<SSESession> weak = session;
        if (how == 1) session.reset();
        if (how == 3) client.reset();
        if (how == 4) service.events.close();
        if (how != 4) service.events.write("data: force_update\n\n");
        if (how == 3) {
            EXPECT_TRUE(waitFor(2));  // the block arrived, but no event came of it
            session->cancel();
        } else if (auto held = weak.lock()) {
            EXPECT_TRUE(test::polling::waitUntil([&] { return !held->running(); }));
        }
        std::lock_guard lock(mutex);
        EXPECT_EQ(events, std::vector<Kind>{Kind::forceUpdate});
        EXPECT_EQ(service.events.accept(), "text/event-stream");
    }
    EXPECT_TRUE(test::logLinesWith("WARN").empty());
}

}  // namespace
}  // namespace tarvo
