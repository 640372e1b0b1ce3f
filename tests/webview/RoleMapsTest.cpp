// The executable leaves Qt WebEngine to the library the manager loads and Qt
// Widgets to the one the agent loads, and takes only libraries of its own build.
#include <dlfcn.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "core/Subprocess.h"
#include "support/TestSupport.h"
#include "ui/AgentWindowsLibrary.h"
#include "webview/WebViewLibrary.h"

namespace tarvo::test {
namespace {

TEST(RoleMaps, TheExecutableLinksNeitherWebEngineNorWidgets) {
    ProcessResult r = runProcess("/usr/bin/ldd", {tarvoBinary()});
    ASSERT_TRUE(r.succeeded()) << r.err;
    EXPECT_EQ(r.out.find("WebEngine"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Widgets"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("libQt6Core"), std::string::npos) << r.out;
}

// A caller built against another shape of the interface gets nothing.
TEST(RoleLibraries, AnswerOnlyTheirOwnInterfaceRevision) {
    const std::tuple<const char*, const char*, int> libraries[] = {
        {webview::kLibraryFile, webview::kEntryPoint, webview::kInterfaceRevision},
        {ui::kWindowsLibraryFile, ui::kWindowsEntryPoint, ui::kWindowsInterfaceRevision},
    };
    for (const auto& [file, entryName, revision] : libraries) {
        SCOPED_TRACE(file);
        const std::string path =
            std::filesystem::path(tarvoBinary()).parent_path().string() + "/" + file;
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        ASSERT_NE(handle, nullptr) << ::dlerror();
        auto entry = reinterpret_cast<void* (*)(int)>(::dlsym(handle, entryName));
        ASSERT_NE(entry, nullptr);
        EXPECT_NE(entry(revision), nullptr);
        EXPECT_EQ(entry(revision + 1), nullptr);
        EXPECT_EQ(entry(0), nullptr);
    }
}

}  // namespace
}  // namespace tarvo::test
