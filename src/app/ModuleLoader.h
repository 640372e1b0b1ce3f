#pragma once

#include <string>

#include "ui/AgentWindowsLibrary.h"
#include "webview/WebViewLibrary.h"

namespace tarvo::app {

// The directory the role libraries are loaded from (Paths::libraryDir()): the
// one that holds the running executable, symbolic links resolved
// (/proc/self/exe), in a build tree and the Mac's bundle; /usr/lib/tarvo for
// an executable installed as /usr/bin/tarvo. No search path (LD_LIBRARY_PATH and the like) is
// consulted, so nothing outside the installation can be loaded in their place.
std::string moduleDirectory();

template <typename Library>
struct LoadedModule {
    // Null when loading failed; `error` then says what is missing, in one line.
    Library* library = nullptr;
    std::string path;
    std::string error;
};
using LoadedWebView = LoadedModule<webview::Library>;
using LoadedWindows = LoadedModule<ui::WindowsLibrary>;

// Loads `directory`/libtarvo_webview.so (and with it Qt WebEngine) and asks it
// for the interface this build expects. The library stays loaded for the
// life of the process.
LoadedWebView loadWebView(const std::string& directory);

// Loads `directory`/libtarvo_windows.so (and with it Qt Widgets) the same way.
LoadedWindows loadWindows(const std::string& directory);

}  // namespace tarvo::app
