#include <gtest/gtest.h>

#include "net/Http.h"
#include "support/LocalServer.h"
#include "support/TestSupport.h"

namespace tarvo::net {
namespace {

using namespace std::chrono_literals;

TEST(Url, PathJoiningQueryEncodingAndWhatCountsAsAUrl) {
    EXPECT_EQ(appendPath("https://svc.example", "api/X"), "https://svc.example/api/X");
    EXPECT_EQ(appendPath("https://svc.example/v2/", "/api/X"), "https://svc.example/v2/api/X");
    EXPECT_EQ(withQuery("http://h/p", {{"id", "AB-12"}, {"user", "kid one"}, {"q", "a&b=c/é"}}),
              "http://h/p?id=AB-12&user=kid%20one&q=a%26b%3Dc%2F%C3%A9");
    EXPECT_TRUE(isHttpUrl("http://127.0.0.1:8080/base/"));
    EXPECT_FALSE(isHttpUrl("ftp://x"));
    EXPECT_FALSE(isHttpUrl("https://"));
    EXPECT_FALSE(isHttpUrl("http:// spaces .com"));
    const std::pair<const char*, const char*> hosts[] = {
        {"https://user:pw@[::1]:443?x", "::1"},
        {"http://Svc.Example:8787/api/", "Svc.Example"},
        {"https://a.example#frag@b.example", "a.example"},
        {"about:blank", ""},
        {"ftp://files.example/", ""},
    };
    for (const auto& [url, host] : hosts) EXPECT_EQ(hostOf(url), host) << url;
}

// Requests reach the server as sent and never through a proxy, whatever the
// environment says: the system's web proxy is our own filtering proxy.
// Redirects are followed up to a bound; a longer chain, a refused connection
// and silence are errors, never an answer.
TEST(Http, RequestsGoAsSentNeverThroughAProxyAndTransportErrorsAreNoAnswer) {
    test::LocalServer server;
    server.server.Get("/echo", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.target, "text/plain");
    });
    server.server.Get("/silent", [](const httplib::Request&, httplib::Response&) {
        std::this_thread::sleep_for(500ms);
    });
    server.server.Get(R"(/hop/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
        const int left = std::stoi(req.matches[1]);
        if (left == 0) res.set_content("arrived", "text/plain");
        if (left != 0) res.set_redirect("/hop/" + std::to_string(left - 1), 302);
    });
    server.start();
    const std::string dead = "http://127.0.0.1:" + std::to_string(test::deadPort());
    test::EnvGuard a("http_proxy", dead), b("HTTPS_PROXY", dead), c("ALL_PROXY", dead),
        d("HTTP_PROXY", dead), e("no_proxy", std::nullopt), f("NO_PROXY", std::nullopt);
    const auto url = withQuery(server.url() + "/echo", {{"b", "2"}, {"a", "1 2"}});
    EXPECT_EQ(perform({.url = url}).body, "/echo?b=2&a=1%202");
    EXPECT_EQ(perform({.url = server.url() + "/missing"}).status, 404) << "reported, not thrown";

    EXPECT_EQ(perform({.url = server.url() + "/hop/3"}).body, "arrived");
    EXPECT_THROW(perform({.url = server.url() + "/hop/40"}), TransportError);
    EXPECT_THROW(perform({.url = dead + "/x"}), TransportError);
    try {
        perform({.url = server.url() + "/silent", .idleTimeout = 300ms});
        ADD_FAILURE() << "a server that never answers must time out";
    } catch (const TransportError& e) {
        EXPECT_STREQ(e.what(), "The request timed out.");
    }
}

}  // namespace
}  // namespace tarvo::net
