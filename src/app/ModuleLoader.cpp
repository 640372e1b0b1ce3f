#include "app/ModuleLoader.h"

#include "core/Paths.h"

namespace tarvo::app {

std::string moduleDirectory() {
    return Paths::libraryDir();
}

LoadedWebView loadWebView(const std::string& directory) {
    static constexpr launcher::LibraryTexts texts{
        "the setup window", "the setup window's web view (Qt WebEngine)", "web view library"};
    return launcher::loadLibrary<webview::Library>(
        directory, webview::kLibraryFile, webview::kEntryPoint, webview::kInterfaceRevision, texts);
}

LoadedWindows loadWindows(const std::string& directory) {
    static constexpr launcher::LibraryTexts texts{"the agent", "the agent's windows (Qt Widgets)",
                                                  "window library"};
    return launcher::loadLibrary<ui::WindowsLibrary>(directory, ui::kWindowsLibraryFile,
                                                     ui::kWindowsEntryPoint,
                                                     ui::kWindowsInterfaceRevision, texts);
}

}  // namespace tarvo::app
