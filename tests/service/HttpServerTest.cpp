// The service's HTTP server in-process, where a test can hold a handler at
// the moment it chooses.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tarvo::test
