#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "net/Http.h"
#include "support/LocalServer.h"
#include "support/TestSupport.h"

namespace tarvo::net {
namespace {

using namespace std::chrono_literals;
using test::EnvGuard;
using test::LocalServer;

TEST(Url, PathJoiningAndQueryEncoding) {
    struct Case {
        std::string base, path, want;
    };
    const Case cases[] = {
        {"https://svc.example", "api/GetAppLimits", "https://svc.example/api/GetAppLimits"},
        {"https://svc.example/", "api/GetAppLimits", "https://svc.example/api/GetAppLimits"},
        {"https://svc.example/v2", "api/X", "https://svc.example/v2/api/X"},
        {"https://svc.example/v2/", "/api/X", "https://svc.example/v2/api/X"},
    };
    for (const auto& c : cases) EXPECT_EQ(appendPath(c.base, c.path), c.want);
    EXPECT_EQ(
        withQuery("http://h/p", {{"deviceId", "AB-12"}, {"user", "kid one"}, {"q", "a&b=c/é"}}),
        "http://h/p?deviceId=AB-12&user=kid%20one&q=a%26b%3Dc%2F%C3%A9");
    EXPECT_EQ(withQuery("http://h/p", {}), "http://h/p");
}

TEST(Url, WhatCountsAsAUrl) {
    for (const char* good : {"https://svc.example", "http://127.0.0.1:8080/base/"})
        EXPECT_TRUE(isHttpUrl(good)) << good;
    for (const char* bad : {"", "svc.example", "ftp://x", "https://", "http:// spaces .com"})
        EXPECT_FALSE(isHttpUrl(bad)) << bad;
    EXPECT_TRUE(parsesAsUrl("ftp://files.example/x"));
    EXPECT_FALSE(parsesAsUrl("not a url"));
}

class HttpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.server.Get("/echo", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.target, "text/plain");
        });
        server.server.Post("/post", [](const httplib::Request& req, httplib::Response& res) {
            res.status = 201;
            res.set_content(req.get_header_value("Content-Type") + "|" + req.body, "text/plain");
        });
        server.server.Get("/status/(\\d+)",
                          [](const httplib::Request& req, httplib::Response& res) {
                              res.status = std::stoi(req.matches[1]);
                          });
        server.server.Get("/silent", [this](const httplib::Request&, httplib::Response& res) {
            // Answers only when the test ends.
            std::unique_lock lock(m);
            cv.wait_for(lock, 10s, [this] { return released; });
            res.set_content("late", "text/plain");
        });
        server.server.Get("/stream", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "text/event-stream", [](size_t, httplib::DataSink& sink) {
                    for (int i = 0; i < 3; ++i) {
                        std::string chunk = "data: " + std::to_string(i) + "\n\n";
                        if (!sink.write(chunk.data(), chunk.size())) return false;
                        std::this_thread::sleep_for(20ms);
                    }
                    // Then stays open and silent until the client goes away.
                    while (sink.is_writable()) std::this_thread::sleep_for(20ms);
                    return false;
                });
        });
        server.server.Get(R"(/hop/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            const int left = std::stoi(req.matches[1]);
            if (left == 0)
                res.set_content("arrived", "text/plain");
            else
                res.set_redirect("/hop/" + std::to_string(left - 1), 302);
        });
        server.start();
    }
    void TearDown() override {
        {
            std::lock_guard lock(m);
            released = true;
        }
        cv.notify_all();
        server.stop();
    }
    LocalServer server;
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
};

TEST_F(HttpTest, GetAndPostReachTheServerAsSent) {
    auto get = perform({.url = withQuery(server.url() + "/echo", {{"b", "2"}, {"a", "1 2"}})});
    EXPECT_EQ(get.status, 200);
    EXPECT_EQ(get.body, "/echo?b=2&a=1%202");

    auto post = perform({.method = "POST",
                         .url = server.url() + "/post",
                         .headers = {{"Content-Type", "application/json"}},
                         .body = std::string(R"({"k":1})")});
    EXPECT_EQ(post.status, 201);
    EXPECT_EQ(post.body, "application/json|{\"k\":1}");
}

// Redirects are followed up to a bound; a longer chain is an error, never a
// 3xx answer taken for the service's reply.
TEST_F(HttpTest, RedirectsAreFollowedUpToABound) {
    auto r = perform({.url = server.url() + "/hop/3"});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "arrived");
    EXPECT_THROW(perform({.url = server.url() + "/hop/40"}), TransportError);
}

TEST_F(HttpTest, StatusCodesAreReportedNotThrown) {
    for (int code : {204, 404, 500, 503}) {
        auto r = perform({.url = server.url() + "/status/" + std::to_string(code)});
        EXPECT_EQ(r.status, code);
    }
}

TEST_F(HttpTest, ProxySettingsInTheEnvironmentAreIgnored) {
    const std::string dead = "http://127.0.0.1:" + std::to_string(test::deadPort());
    EnvGuard a("http_proxy", dead), b("https_proxy", dead), c("ALL_PROXY", dead),
        d("HTTP_PROXY", dead), e("no_proxy", std::nullopt), f("NO_PROXY", std::nullopt);
    auto r = perform({.url = server.url() + "/echo"});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(server.count(), 1u);
}

TEST_F(HttpTest, ConnectionRefusedAndSilenceAreTransportErrors) {
    const std::string dead = "http://127.0.0.1:" + std::to_string(test::deadPort()) + "/x";
    EXPECT_THROW(perform({.url = dead}), TransportError);
    try {
        perform({.url = server.url() + "/silent", .idleTimeout = 300ms});
        FAIL() << "a server that never answers must time out";
    } catch (const TransportError& e) {
        EXPECT_STREQ(e.what(), "The request timed out.");
    }
}

TEST_F(HttpTest, StreamingDeliversPiecesAndCancellationEndsTheTransfer) {
    std::string seen;
    std::atomic<bool> cancel{false};
    auto r = perform({.url = server.url() + "/stream",
                      .idleTimeout = 10s,
                      .onData =
                          [&](std::string_view piece) {
                              seen.append(piece);
                              if (seen.find("data: 2") != std::string::npos) cancel = true;
                              return true;
                          },
                      .cancelled = [&] { return cancel.load(); }});
    EXPECT_TRUE(r.stoppedByCaller);
    EXPECT_EQ(seen, "data: 0\n\ndata: 1\n\ndata: 2\n\n");
    EXPECT_TRUE(r.body.empty());

    // Returning false from onData ends it as well.
    int pieces = 0;
    auto stopped = perform({.url = server.url() + "/stream",
                            .onData = [&](std::string_view) { return ++pieces < 1; }});
    EXPECT_TRUE(stopped.stoppedByCaller);
    EXPECT_EQ(pieces, 1);
}

}  // namespace
}  // namespace tarvo::net
