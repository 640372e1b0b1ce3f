// The whole web-filtering chain with the real binaries: the parent edits the
// child's lists on the dashboard of a real tarvo-service, the child's agent
// writes the new rules, and the daemon's proxy answers the child's browser
// accordingly. Runs in a network of its own, so the proxy's port 8080 is free.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "DaemonFixture.h"
#include "DemoFamily.h"
#include "E2eSupport.h"
#include "ProxyFixture.h"
#include "ServiceProcess.h"
#include "core/Paths.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kDevice = "DEV-E2E-WEB";

bool rulesList(const std::string& list, const std::string& host) {
    if (!exists(Paths::rulesFile())) return false;
    try {
        const json rules = json::parse(readText(Paths::rulesFile()));
        for (const auto& h : rules.value(list, json::array()))
            if (h == host) return true;
    } catch (const std::exception&) {
    }
    return false;
}

TEST(WebRulesEndToEnd, ParentsBlacklistBlocksTheHostAtTheProxyAndWhitelistingLetsItThrough) {
    if (!std::filesystem::exists("/usr/bin/mitmdump"))
        GTEST_SKIP() << "mitmdump is not installed; the filtering proxy cannot run";
    NetNamespace ns;
    if (!ns.entered()) GTEST_SKIP() << ns.error() << " (the proxy needs a network of its own)";
    DaemonRoot root(DaemonRoot::Proxy::Real);
    EnvGuard home("HOME", root.root() + "/Users/child");
    WebSite site("127.0.0.3");
    const std::string page = "http://127.0.0.3:" + std::to_string(site.port()) + "/page";

    DemoFamily family(kDevice, userName());
    ASSERT_TRUE(family.signedIn);
    ServiceProcess& service = family.service;
    ParentSession& parent = *family.parent;
    const json& child = family.child;
    const std::string rulesPath = family.childApi + "/rules";
    auto save = [&](json white, json black) {
        return parent.postOk(rulesPath, {{"whitelist", std::move(white)},
                                         {"blacklist", std::move(black)},
                                         {"accessWindows", child["accessWindows"]}});
    };
    save({"example.com", "127.0.0.3"}, json::array());

    writeChildConfig(service.url(), kDevice);
    TarvoProcess daemon("daemon", environmentWith({}));
    TarvoProcess agent("agent", environmentWith({"DISPLAY=", "QT_QPA_PLATFORM=offscreen"}));

    // The agent's first load allows the site; the daemon starts the proxy for it.
    ASSERT_TRUE(waitUntil([&] { return curlVia(8080, {page}).status == 200; }, 60s))
        << readText(Paths::agentLog()) << readText(Paths::daemonLog());

    // The parent puts it on the blacklist: the rules change and the proxy blocks it.
    save({"example.com", "127.0.0.3"}, {"127.0.0.3"});
    ASSERT_TRUE(waitUntil([] { return rulesList("blacklist", "127.0.0.3"); }))
        << readText(Paths::agentLog());
    const CurlAnswer blocked = curlVia(8080, {page});
    EXPECT_EQ(blocked.status, 403);
    EXPECT_TRUE(blocked.blockedByTarvo) << blocked.body;
    const int served = site.requests();

    // Off the blacklist again, still on the whitelist: through.
    save({"example.com", "127.0.0.3"}, json::array());
    ASSERT_TRUE(waitUntil([] { return !rulesList("blacklist", "127.0.0.3"); }));
    const CurlAnswer through = curlVia(8080, {page});
    EXPECT_EQ(through.status, 200);
    EXPECT_NE(through.body.find("hello from the server"), std::string::npos);
    EXPECT_EQ(site.requests(), served + 1);

    ASSERT_EQ(::kill(agent.pid(), SIGTERM), 0);
    EXPECT_EQ(agent.exitStatus(), 0);
    ASSERT_EQ(::kill(daemon.pid(), SIGTERM), 0);
    EXPECT_EQ(daemon.exitStatus(), 0);
}

}  // namespace
}  // namespace tarvo::test
