// Web filtering with the real binaries: the parent edits the lists on a real
// tarvo-service, the agent writes the rules and the daemon's proxy answers
// accordingly. In a network of its own, so the proxy's port 8080 is free.
#include <gtest/gtest.h>

#include <filesystem>

#include "DaemonFixture.h"
#include "E2eSupport.h"
#include "ProxyFixture.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

TEST(WebRulesEndToEnd, ParentsBlacklistBlocksTheHostAtTheProxyAndWhitelistingLetsItThrough) {
    if (!std::filesystem::exists("/usr/bin/mitmdump"))
        GTEST_SKIP() << "mitmdump is not installed; the filtering proxy cannot run";
    NetNamespace ns;
    if (!ns.entered()) GTEST_SKIP() << ns.error() << " (the proxy needs a network of its own)";
    DaemonRoot root(DaemonRoot::Proxy::Real);
    std::filesystem::create_directories(root.root() + "/Users/child");  // else HOME is ignored
    EnvGuard home("HOME", root.root() + "/Users/child");
    WebSite site("127.0.0.3");
    const std::string page = "http://127.0.0.3:" + std::to_string(site.port()) + "/page";
    DemoFamily family("DEV-E2E-WEB", userName());
    auto save = [&](const json& black) {
        family.parent.postOk(family.childApi + "/rules",
                             {{"whitelist", {"example.com", "127.0.0.3"}},
                              {"blacklist", black},
                              {"accessWindows", family.child["accessWindows"]}});
    };
    save(json::array());
    writeChildConfig(family.service.url(), "DEV-E2E-WEB");
    Process daemon({.argv = {tarvoBinary(), "daemon"}, .capture = false});
    Process agent({.argv = {tarvoBinary(), "agent"},
                   .env = environmentWith({"DISPLAY=", "QT_QPA_PLATFORM=offscreen"}),
                   .capture = false});

    // The agent's first load allows the site; the daemon starts the proxy for it.
    ASSERT_TRUE(waitUntil([&] { return curlVia(8080, {page}).status == 200; }, 60s))
        << readText(Paths::agentLog()) << readText(Paths::daemonLog());
    // On the blacklist: the rules change and the proxy blocks it.
    save({"127.0.0.3"});
    CurlAnswer blocked;
    EXPECT_TRUE(waitUntil([&] { return (blocked = curlVia(8080, {page})).status == 403; }))
        << readText(Paths::agentLog());
    EXPECT_TRUE(blocked.blockedByTarvo) << blocked.body;
    const int served = site.requests();
    // Off the blacklist again, still on the whitelist: through.
    save(json::array());
    CurlAnswer through;
    EXPECT_TRUE(waitUntil([&] { return (through = curlVia(8080, {page})).status == 200; }));
    EXPECT_EQ(site.requests(), served + 1) << through.body;
}

}  // namespace
}  // namespace tarvo::test
