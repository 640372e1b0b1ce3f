#include <gtest/gtest.h>

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

// Every stream gives the same payloads whole, cut at each single byte
// position (inside "data:", inside a multi-byte character, between "\r\n"
// pairs), and byte by byte.
TEST(SSEDelegate, FramingSurvivesEverySplit) {
    struct Case {
        std::string stream;
        std::vector<std::string> want;
    } cases[] = {
        {"data: one\n\ndata: two\n\n", {"one", "two"}},
        {"data: a\r\ndata: b\r\n\r\n", {"a\r\nb"}},
        {": heartbeat\n\n: ping\r\n\r\nevent: x\nid: 3\nretry: 10\n\n", {}},
        {"event: rules\nid: 1\ndata: é€😀\n\n", {"é€😀"}},
        {"data:x\n  data:   y \t\n\n", {"x\ny"}},
        {"data: kept\n\ndata: no separator yet", {"kept"}},
        {"data: \u00a0spaced\u3000\n\n", {"spaced"}},
        {"data: a\n\r\n\r\ndata: b\n\n", {"a", "b"}},
        {"dat a: no\ndata\n: x\n\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stream);
        EXPECT_EQ(feed({c.stream}), c.want);
        for (size_t cut = 1; cut < c.stream.size(); ++cut)
            EXPECT_EQ(feed({c.stream.substr(0, cut), c.stream.substr(cut)}), c.want) << cut;
        std::vector<std::string> bytes;
        for (char ch : c.stream) bytes.emplace_back(1, ch);
        EXPECT_EQ(feed(bytes), c.want);
    }
}

TEST(SSEDelegate, InvalidUtf8ChunksAreDroppedWhole) {
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<std::string> want;
    } cases[] = {
        {"garbage chunk", {"data: a\n\n", "data: \xff bad\n\n", "data: c\n\n"}, {"a", "c"}},
        // A held-back lead the next chunk does not complete is broken itself.
        {"broken held-back lead",
         {"data: a\xe2", "\x82\n\ndata: b\n\n", "data: c\n\n"},
         {"adata: c"}},
        {"unfinished character then ASCII", {"data: \xe2\x82", "x\n\n"}, {"x"}},
        {"overlong", {"data: \xc0\xaf\n\n", "data: ok\n\n"}, {"ok"}},
        {"surrogate", {"data: \xed\xa0\x80\n\n"}, {}},
        {"lone continuation", {"\x80", "data: ok\n\n"}, {"ok"}},
        {"four bytes over three chunks",
         {"data: \xf0", "\x9f", "\x98\x80\n\n"},
         {"\xf0\x9f\x98\x80"}},
    };
    for (const auto& c : cases) EXPECT_EQ(feed(c.chunks), c.want) << c.name;
}

TEST(SSEDelegate, RunawayBufferIsDiscardedWithALogLine) {
    test::TempRoot root;
    TarvoLog log("server", Paths::agentLog());
    std::vector<std::string> payloads;
    SSEDelegate delegate([&](const std::string& p) { payloads.push_back(p); }, &log);
    const std::string piece(1 << 20, 'x');
    delegate.didReceive("data: ");
    for (size_t sent = 0; sent < SSEDelegate::kMaxBuffer; sent += piece.size())
        delegate.didReceive(piece);
    EXPECT_TRUE(delegate.buffer().empty());
    EXPECT_EQ(test::logLinesWith("[server] WARN  SSE buffer passed").size(), 1u);
    delegate.didReceive("data: next\n\n");
    EXPECT_EQ(payloads, std::vector<std::string>{"next"});
}

// What the stream delivered, collected across threads.
struct Collector {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<ServerClient::SSEEvent> events;
    int activity = 0;

    std::function<void()> onActivity() {
        return [this] {
            std::lock_guard lock(mutex);
            ++activity;
            cv.notify_all();
        };
    }
    std::function<void(const ServerClient::SSEEvent&)> handler() {
        return [this](const ServerClient::SSEEvent& e) {
            std::lock_guard lock(mutex);
            events.push_back(e);
            cv.notify_all();
        };
    }
    bool waitFor(size_t events_, int activity_ = 0) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 10s,
                           [&] { return events.size() >= events_ && activity >= activity_; });
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return events.size();
    }
};

class EventStreamTest : public ::testing::Test {
  protected:
    std::shared_ptr<ServerClient> client(test::FakeService* on = nullptr) {
        test::writeConfig({{"api", (on ? on : &service)->url() + "/"}});
        return ServerClient::create(test::testOptions());
    }
    bool waitUntilStopped(SSESession& s) {
        for (int i = 0; i < 1000 && s.running(); ++i) std::this_thread::sleep_for(10ms);
        return !s.running();
    }
    test::TempRoot root;
    test::FakeService service;
    test::EventStreamServer& stream = service.events;
    Collector got;
};

TEST_F(EventStreamTest, DeliversEventsSplitAtAwkwardPlaces) {
    auto cl = client();
    auto session = cl->subscribeEvents(got.onActivity(), got.handler());
    const std::string url =
        service.url() + "/api/notifications/sse-direct?userId=kid&deviceId=" + test::kTestUuid;
    EXPECT_EQ(session->url(), url);
    EXPECT_EQ(test::logLinesWith("[server] INFO  SSE subscribed to " + url).size(), 1u);

    for (const char* piece :
         {": connected\n\n", "da", "ta: {\"type\":\"force_", "update\"}\n",
          "\ndata: {\"whitelist\":[\"caf\xc3",
          "\xa9.fr\"],\"accessWindows\":[{\"dayOfWeek\":1,\"start\":\"08:00\",\"end\":\"09:00\"}]}"
          "\r",
          "\n\r",
          "\n: heartbeat\n\ndata: <m>15</m> more_time_approved\n\ndata: {\"type\":\"x\"}\n\n",
          "data: MoreTimeApproved\n\n"})
        stream.write(piece);
    ASSERT_TRUE(got.waitFor(4));
    session->cancel();

    std::lock_guard lock(got.mutex);
    EXPECT_EQ(stream.accept(), "text/event-stream");
    ASSERT_EQ(got.events.size(), 4u);
    EXPECT_EQ(got.events[0].kind, Kind::forceUpdate);
    EXPECT_EQ(got.events[1].kind, Kind::rulesUpdated);
    EXPECT_EQ(got.events[1].rules.whitelist, std::vector<std::string>{"café.fr"});
    EXPECT_EQ(got.events[1].rules.deviceId, test::kTestUuid);
    EXPECT_EQ(got.events[1].rules.accessWindows, (std::vector<AccessWindow>{{1, 480, 540, 0}}));
    EXPECT_EQ(got.events[2].kind, Kind::moreTimeApproved);
    EXPECT_EQ(got.events[2].minutes, 15);
    EXPECT_EQ(got.events[3].minutes, 0);
    EXPECT_EQ(got.activity, 5);  // comment blocks give no activity
    EXPECT_EQ(test::logLinesWith("[server] DEBUG ignored SSE chunk: {\"type\":\"x\"}").size(), 1u);
}

TEST_F(EventStreamTest, EndsSilentlyOnCloseAndDeliversNothingOnAnErrorStatus) {
    auto cl = client();
    auto session = cl->subscribeEvents(got.onActivity(), got.handler());
    stream.write("data: force_update\n\n");
    ASSERT_TRUE(got.waitFor(1, 1));
    stream.close();
    EXPECT_TRUE(waitUntilStopped(*session));
    EXPECT_TRUE(test::logLinesWith("WARN").empty());

    stream.setStatus(503);
    Collector none;
    auto failed = cl->subscribeEvents(none.onActivity(), none.handler());
    EXPECT_TRUE(waitUntilStopped(*failed));
    std::lock_guard lock(none.mutex);
    EXPECT_EQ(none.activity, 0);
    EXPECT_TRUE(none.events.empty());
    EXPECT_EQ(test::logLinesWith("[server] WARN  SSE stream answered HTTP 503").size(), 1u);
}

// However the session ends (cancelled, released, cancelled from its own
// handler, its client gone), no event follows.
TEST_F(EventStreamTest, NothingIsDeliveredOnceTheSessionEnds) {
    struct Case {
        const char* name;
        std::function<void(std::shared_ptr<ServerClient>&, std::shared_ptr<SSESession>&)> end;
        bool stillActive;  // activity is still signalled
    } cases[] = {
        {"cancel, twice", [](auto&, auto& s) { s->cancel(), s->cancel(); }, false},
        {"released", [](auto&, auto& s) { s.reset(); }, false},
        {"client gone", [](auto& c, auto&) { c.reset(); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Collector mine;
        test::FakeService fresh;  // no piece left over from the case before
        auto cl = client(&fresh);
        auto session = cl->subscribeEvents(mine.onActivity(), mine.handler());
        std::weak_ptr<SSESession> weak = session;
        fresh.events.write("data: force_update\n\n");
        ASSERT_TRUE(mine.waitFor(1));
        c.end(cl, session);
        fresh.events.write("data: force_update\n\n");
        if (c.stillActive) {
            EXPECT_TRUE(mine.waitFor(1, 2));
            session->cancel();
        } else {
            EXPECT_TRUE(weak.expired() || !weak.lock()->running());
        }
        EXPECT_EQ(mine.count(), 1u);
    }

    // Cancelled from inside its own handler.
    auto cl = client();
    std::shared_ptr<SSESession> session;
    std::mutex m;
    std::unique_lock lock(m);  // the handler waits until `session` is set
    session = cl->subscribeEvents(got.onActivity(), [&](const ServerClient::SSEEvent& e) {
        std::lock_guard l(m);
        got.handler()(e);
        session->cancel();
    });
    lock.unlock();
    stream.write("data: force_update\n\ndata: force_update\n\n");
    EXPECT_TRUE(waitUntilStopped(*session));
    EXPECT_EQ(got.count(), 1u);
}

}  // namespace
}  // namespace tarvo
