#pragma once

#include <string>

#include "launcher/Library.h"
#include "ui/AgentWindowsLibrary.h"
#include "webview/WebViewLibrary.h"

namespace tarvo::app {

// The directory the role libraries are loaded from (Paths::libraryDir()).
std::string moduleDirectory();

using LoadedWebView = launcher::LoadedLibrary<webview::Library>;
using LoadedWindows = launcher::LoadedLibrary<ui::WindowsLibrary>;

// Loads `directory`/libtarvo_webview.so (and with it Qt WebEngine) and asks it
// for the interface this build expects. The library stays loaded for the
// life of the process.
LoadedWebView loadWebView(const std::string& directory);

// Loads `directory`/libtarvo_windows.so (and with it Qt Widgets) the same way.
LoadedWindows loadWindows(const std::string& directory);

}  // namespace tarvo::app
