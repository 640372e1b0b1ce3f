// Only the manager maps Qt WebEngine, and only a library of the same build
// is taken.
#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/Paths.h"
#include "manager/LocalAccounts.h"
#include "manager/SetupFixture.h"
#include "support/LocalServer.h"
#include "support/Processes.h"
#include "webview/WebViewLibrary.h"

namespace tarvo::test {
namespace {

TEST(RoleMaps, TheExecutableLinksNoWebEngineAndARunningAgentMapsNone) {
    ProcessResult r = runProcess("/usr/bin/ldd", {tarvoBinary()});
    ASSERT_TRUE(r.succeeded()) << r.err;
    EXPECT_EQ(r.out.find("WebEngine"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("libQt6Core"), std::string::npos) << r.out;

    // The agent of a child, caught while it runs.
    SetupRoot root;
    LocalServer service;
    service.start();
    writeText(Paths::configFile(), R"({"child_users": [")" + LocalAccounts::currentUserName() +
                                       R"("], "api": ")" + service.url() + "/\"}");
    Process agent({.argv = {tarvoBinary(), "agent"},
                   .env = environmentWith({"QT_QPA_PLATFORM=offscreen"}),
                   .capture = false});
    ASSERT_TRUE(polling::waitUntil([] { return exists(Paths::agentLog()); }));
    std::string maps;
    std::ifstream in("/proc/" + std::to_string(agent.pid()) + "/maps");
    for (std::string line; std::getline(in, line);) maps += line + "\n";
    EXPECT_NE(maps.find("libQt6Widgets"), std::string::npos) << "the maps were not read";
    EXPECT_EQ(maps.find("WebEngine"), std::string::npos);
    EXPECT_EQ(maps.find("tarvo_webview"), std::string::npos);
}

// A caller built against another shape of the interface gets nothing.
TEST(WebViewLibrary, AnswersOnlyItsOwnInterfaceRevision) {
    const std::string path =
        std::filesystem::path(tarvoBinary()).parent_path().string() + "/libtarvo_webview.so";
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    auto entry = reinterpret_cast<webview::EntryPoint>(::dlsym(handle, webview::kEntryPoint));
    ASSERT_NE(entry, nullptr);
    EXPECT_NE(entry(webview::kInterfaceRevision), nullptr);
    EXPECT_EQ(entry(webview::kInterfaceRevision + 1), nullptr);
    EXPECT_EQ(entry(0), nullptr);
}

}  // namespace
}  // namespace tarvo::test
