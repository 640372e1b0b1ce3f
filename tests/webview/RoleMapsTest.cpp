// The executable leaves Qt WebEngine to the library the manager loads, and
// takes only a library of the same build.
#include <dlfcn.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "core/Subprocess.h"
#include "support/TestSupport.h"
#include "webview/WebViewLibrary.h"

namespace tarvo::test {
namespace {

TEST(RoleMaps, TheExecutableLinksNoWebEngine) {
    ProcessResult r = runProcess("/usr/bin/ldd", {tarvoBinary()});
    ASSERT_TRUE(r.succeeded()) << r.err;
    EXPECT_EQ(r.out.find("WebEngine"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("libQt6Core"), std::string::npos) << r.out;
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
