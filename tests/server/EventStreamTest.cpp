#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>

#include "server/ServerTestSupport.h"

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
        {"data: {\"type\":\"force_update\"}\n\n", {"{\"type\":\"force_update\"}"}},
        {"data: one\n\ndata: two\n\n", {"one", "two"}},
        {"data: a\r\ndata: b\r\n\r\n", {"a\r\nb"}},
        {"data: {\"whitelist\":[]}\r\nevent: rules\r\n\r\n", {"{\"whitelist\":[]}\r"}},
        {": heartbeat\n\n: ping\r\n\r\nevent: x\nid: 3\nretry: 10\n\n", {}},
        {"event: rules\nid: 1\ndata: é€😀\n\n", {"é€😀"}},
        {"data:x\n  data:   y \t\n\n", {"x\ny"}},
        {"\n\n\n\ndata: late\n\n", {"late"}},
        {"data: kept\n\ndata: no separator yet", {"kept"}},
        {"data: \u00a0spaced\u3000\n\n", {"spaced"}},
        {"data: a\n\r\n\r\ndata: b\n\n", {"a", "b"}},
        {"dat a: no\ndata\n: x\n\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stream);
        EXPECT_EQ(feed({c.stream}), c.want);
        for (size_t cut = 1; cut < c.stream.size(); ++cut)
            EXPECT_EQ(feed({c.stream.substr(0, cut), c.stream.substr(cut)}), c.want)
                << "cut " << cut;
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
        // A beginning that the next chunk does not complete is itself broken;
        // the next chunk still counts.
        // (and the buffer keeps what it had before the dropped chunk).
        {"broken held-back lead",
         {"data: a\xe2", "\x82\n\ndata: b\n\n", "data: c\n\n"},
         {"adata: c"}},
        {"unfinished character then ASCII", {"data: \xe2\x82", "x\n\n"}, {"x"}},
        {"overlong", {"data: \xc0\xaf\n\n", "data: ok\n\n"}, {"ok"}},
        {"surrogate", {"data: \xed\xa0\x80\n\n"}, {}},
        {"beyond U+10FFFF", {"data: \xf4\x90\x80\x80\n\n"}, {}},
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
    for (size_t sent = 0; sent < SSEDelegate::kMaxBuffer; sent += piece.size()) {
        EXPECT_FALSE(delegate.buffer().empty());
        delegate.didReceive(piece);
    }
    EXPECT_TRUE(delegate.buffer().empty());
    EXPECT_EQ(test::logLinesWith("[server] WARN  SSE buffer passed").size(), 1u);
    delegate.didReceive("data: next\n\n");
    EXPECT_EQ(payloads, std::vector<std::string>{"next"});
}

// A stream endpoint that writes exactly the pieces the test hands it.
class StreamService {
  public:
    StreamService() {
        http.server.Get("/api/notifications/sse-direct", [this](const httplib::Request& req,
                                                                httplib::Response& res) {
            {
                std::lock_guard lock(mutex);
                accept = req.get_header_value("Accept");
                if (status != 200) {
                    res.status = status;
                    res.set_content("data: {\"type\":\"force_update\"}\n\n", "text/event-stream");
                    return;
                }
            }
            res.set_chunked_content_provider(
                "text/event-stream", [this](size_t, httplib::DataSink& sink) {
                    std::unique_lock lock(mutex);
                    cv.wait_for(lock, 100ms, [this] { return !pieces.empty() || closing; });
                    if (closing && pieces.empty()) {
                        sink.done();
                        return true;
                    }
                    if (pieces.empty()) return sink.is_writable();
                    std::string piece = std::move(pieces.front());
                    pieces.pop_front();
                    lock.unlock();
                    return sink.write(piece.data(), piece.size());
                });
        });
        http.start();
    }
    ~StreamService() {
        close();
        http.stop();
    }
    void write(std::string piece) {
        std::lock_guard lock(mutex);
        pieces.push_back(std::move(piece));
        cv.notify_all();
    }
    void close() {
        std::lock_guard lock(mutex);
        closing = true;
        cv.notify_all();
    }

    test::LocalServer http;
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::string> pieces;
    bool closing = false;
    int status = 200;
    std::string accept;
};

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
    bool waitForEvents(size_t n) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 10s, [&] { return events.size() >= n; });
    }
    bool waitForActivity(int n) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 10s, [&] { return activity >= n; });
    }
};

class EventStreamTest : public ::testing::Test {
  protected:
    std::shared_ptr<ServerClient> client() {
        test::writeConfig({{"api", stream.http.url() + "/"}});
        return ServerClient::create(test::testOptions());
    }
    bool waitUntilStopped(SSESession& s) {
        for (int i = 0; i < 1000 && s.running(); ++i) std::this_thread::sleep_for(10ms);
        return !s.running();
    }
    test::TempRoot root;
    StreamService stream;
    Collector got;
};

TEST_F(EventStreamTest, DeliversEventsSplitAtAwkwardPlaces) {
    auto cl = client();
    auto session = cl->subscribeEvents(got.onActivity(), got.handler());
    const std::string url =
        stream.http.url() + "/api/notifications/sse-direct?userId=kid&deviceId=" + test::kTestUuid;
    EXPECT_EQ(session->url(), url);
    EXPECT_EQ(test::logLinesWith("[server] INFO  SSE subscribed to " + url).size(), 1u);

    stream.write(": connected\n\n");
    stream.write("da");
    stream.write("ta: {\"type\":\"force_");
    stream.write("update\"}\n");
    stream.write("\ndata: {\"whitelist\":[\"caf\xc3");
    stream.write(
        "\xa9.fr\"],\"accessWindows\":[{\"dayOfWeek\":1,\"start\":\"08:00\",\"end\":\"09:00\"}]}"
        "\r");
    stream.write("\n\r");
    stream.write(
        "\n: heartbeat\n\ndata: <m>15</m> more_time_approved\n\ndata: {\"type\":\"nothing\"}\n\n");
    stream.write("data: MoreTimeApproved\n\n");
    ASSERT_TRUE(got.waitForEvents(4));
    session->cancel();

    std::lock_guard lock(got.mutex);
    EXPECT_EQ(stream.accept, "text/event-stream");
    ASSERT_EQ(got.events.size(), 4u);
    EXPECT_EQ(got.events[0].kind, Kind::forceUpdate);
    EXPECT_EQ(got.events[1].kind, Kind::rulesUpdated);
    EXPECT_EQ(got.events[1].rules.whitelist, std::vector<std::string>{"café.fr"});
    EXPECT_EQ(got.events[1].rules.deviceId, test::kTestUuid);
    EXPECT_EQ(got.events[1].rules.accessWindows, (std::vector<AccessWindow>{{1, 480, 540, 0}}));
    EXPECT_EQ(got.events[2].kind, Kind::moreTimeApproved);
    EXPECT_EQ(got.events[2].minutes, 15);
    EXPECT_EQ(got.events[3].kind, Kind::moreTimeApproved);
    EXPECT_EQ(got.events[3].minutes, 0);
    EXPECT_EQ(got.activity, 5);  // comment blocks give no activity
    EXPECT_EQ(test::logLinesWith("[server] DEBUG ignored SSE chunk: {\"type\":\"nothing\"}").size(),
              1u);
}

TEST_F(EventStreamTest, ServerClosingEndsTheStreamSilently) {
    auto cl = client();
    auto session = cl->subscribeEvents(got.onActivity(), got.handler());
    stream.write("data: force_update\n\n");
    ASSERT_TRUE(got.waitForActivity(1));
    stream.close();
    EXPECT_TRUE(waitUntilStopped(*session));
    std::lock_guard lock(got.mutex);
    EXPECT_EQ(got.events.size(), 1u);
    EXPECT_TRUE(test::logLinesWith("WARN").empty());
}

TEST_F(EventStreamTest, ErrorStatusDeliversNothing) {
    stream.status = 503;
    auto cl = client();
    auto session = cl->subscribeEvents(got.onActivity(), got.handler());
    EXPECT_TRUE(waitUntilStopped(*session));
    std::lock_guard lock(got.mutex);
    EXPECT_EQ(got.activity, 0);
    EXPECT_TRUE(got.events.empty());
    EXPECT_EQ(test::logLinesWith("[server] WARN  SSE stream answered HTTP 503").size(), 1u);
}

TEST_F(EventStreamTest, CancelStopsASilentStreamAndNothingFollows) {
    auto cl = client();
    auto session = cl->subscribeEvents(got.onActivity(), got.handler());
    stream.write("data: force_update\n\n");
    ASSERT_TRUE(got.waitForEvents(1));
    session->cancel();  // returns once the stream's thread is done
    EXPECT_FALSE(session->running());
    stream.write("data: force_update\n\n");
    session->cancel();  // a second cancel is harmless
    std::lock_guard lock(got.mutex);
    EXPECT_EQ(got.activity, 1);
    EXPECT_EQ(got.events.size(), 1u);
}

TEST_F(EventStreamTest, ReleasingTheSessionStopsIt) {
    auto cl = client();
    std::weak_ptr<SSESession> weak;
    {
        auto session = cl->subscribeEvents(got.onActivity(), got.handler());
        weak = session;
        stream.write("data: force_update\n\n");
        ASSERT_TRUE(got.waitForEvents(1));
    }
    EXPECT_TRUE(weak.expired());
    stream.write("data: force_update\n\n");
    std::lock_guard lock(got.mutex);
    EXPECT_EQ(got.events.size(), 1u);
}

TEST_F(EventStreamTest, CancelFromInsideTheHandler) {
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
    std::lock_guard l(got.mutex);
    EXPECT_EQ(got.events.size(), 1u);
}

TEST_F(EventStreamTest, NoEventsOnceTheClientIsGone) {
    auto cl = client();
    auto session = cl->subscribeEvents(got.onActivity(), got.handler());
    stream.write("data: force_update\n\n");
    ASSERT_TRUE(got.waitForEvents(1));
    cl.reset();
    stream.write("data: force_update\n\n");
    ASSERT_TRUE(got.waitForActivity(2));  // activity is still signalled
    session->cancel();
    std::lock_guard lock(got.mutex);
    EXPECT_EQ(got.events.size(), 1u);
}

}  // namespace
}  // namespace tarvo
