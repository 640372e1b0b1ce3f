// The service's HTTP server in-process, where a test can hold a handler at
// the moment it chooses.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "HttpServer.h"
#include "ServiceProcess.h"

namespace tarvo::test {
namespace {

using service::EventHub;
using service::HttpServer;

TEST(HttpServer, AStopFinishesTheAnswersBeingMadeAndWaitsForNoIdleConnection) {
    EventHub hub;
    auto owned = std::make_unique<HttpServer>(HttpServer::Options{}, hub);
    HttpServer& server = *owned;
    std::promise<void> entered, release;
    auto released = release.get_future().share();
    server.route("GET", "/slow", [&](const httplib::Request&, httplib::Response& res) {
        entered.set_value();
        released.wait();
        res.set_content("done", "text/plain");
    });
    const int port = server.bind("127.0.0.1", 0);
    std::thread running([&] { server.run(); });

    RawConnection idle(port, "");  // connected, silent: nothing to wait for
    std::future<int> answer = std::async(std::launch::async, [&] {
        RawConnection slow(port, RawConnection::get("/slow"));
        const int status = slow.status();
        return slow.readUntil("done").ends_with("done") ? status : -status;
    });
    entered.get_future().wait();
    server.stop();
    release.set_value();
    EXPECT_EQ(answer.get(), 200) << "the answer being made when the stop came";
    running.join();
    owned.reset();
    EXPECT_TRUE(idle.closedByServer());
}

TEST(HttpServer, SlowHandlersBusyOnEveryOneOfTheirWorkersHoldUpNoShortCall) {
    EventHub hub;
    HttpServer server({.workers = 1, .slowWorkers = 1}, hub);
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<int> entered{0};
    auto slow = [&](const httplib::Request&, httplib::Response& res) {
        ++entered;
        released.wait();
        res.set_content("slow", "text/plain");
    };
    server.route("GET", "/hash", slow, HttpServer::Pool::slow);
    server.route("GET", "/short", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("short", "text/plain");
    });
    const int port = server.bind("127.0.0.1", 0);
    std::thread running([&] { server.run(); });
    // Three slow calls on the one slow worker: one runs, two wait.
    std::vector<std::unique_ptr<RawConnection>> hashing;
    for (int i = 0; i < 3; ++i)
        hashing.push_back(std::make_unique<RawConnection>(port, RawConnection::get("/hash")));
    ASSERT_TRUE(waitUntil([&] { return entered == 1; }));
    RawConnection quick(port, RawConnection::get("/short"));
    EXPECT_EQ(quick.status(), 200);
    EXPECT_TRUE(quick.readUntil("short").ends_with("short"));
    release.set_value();
    for (auto& h : hashing) EXPECT_EQ(h->status(), 200);
    server.stop();
    running.join();
}

}  // namespace
}  // namespace tarvo::test
