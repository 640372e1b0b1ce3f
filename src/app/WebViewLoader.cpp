#include "app/WebViewLoader.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <filesystem>
#include <system_error>

namespace tarvo::app {

std::string webViewDirectory() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return self.parent_path().string();
}

LoadedWebView loadWebView(const std::string& directory) {
    LoadedWebView out;
    out.path = (directory.empty() ? std::string(".") : directory) + "/" + webview::kLibraryFile;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(out.path, ec)) {
        out.error = std::string("the setup window needs ") + webview::kLibraryFile +
                    " beside the executable, and there is none at " + out.path;
        return out;
    }
    // Never unloaded: Qt WebEngine does not survive being taken out of a process.
    void* handle = ::dlopen(out.path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        const char* why = ::dlerror();
        out.error =
            std::string("the setup window's web view (Qt WebEngine) could not be loaded: ") +
            (why ? why : out.path);
        return out;
    }
    auto entry = reinterpret_cast<webview::EntryPoint>(::dlsym(handle, webview::kEntryPoint));
    if (!entry) {
        out.error =
            out.path + " is not a Tarvo web view library (it has no " + webview::kEntryPoint + ")";
        return out;
    }
    out.library = entry(webview::kInterfaceRevision);
    if (!out.library)
        out.error = out.path + " belongs to another build of Tarvo (interface revision " +
                    std::to_string(webview::kInterfaceRevision) + " expected)";
    return out;
}

}  // namespace tarvo::app
