#pragma once

#include <string>

#include "webview/WebViewLibrary.h"

namespace tarvo::app {

struct LoadedWebView {
    // Null when loading failed; `error` then says what is missing, in one line.
    webview::Library* library = nullptr;
    std::string path;
    std::string error;
};

// The directory the web view library is loaded from: the one that holds the
// running executable, symbolic links resolved (/proc/self/exe). Installed, that
// is the bundle beside `tarvo`; in the build tree the library is written next
// to the executable too. No search path (LD_LIBRARY_PATH and the like) is
// consulted, so nothing outside the installation can be loaded in its place.
std::string webViewDirectory();

// Loads `directory`/libtarvo_webview.so (and with it Qt WebEngine) and asks it
// for the interface this build expects. The library stays loaded for the
// life of the process.
LoadedWebView loadWebView(const std::string& directory);

}  // namespace tarvo::app
