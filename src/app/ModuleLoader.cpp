#include "app/ModuleLoader.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

#include "core/Paths.h"

namespace tarvo::app {
namespace {

// How a role names the library it loads, in its one-line errors.
struct ModuleTexts {
    const char* needer;       // "the setup window"
    const char* description;  // "the setup window's web view (Qt WebEngine)"
    const char* kind;         // "web view library"
};

// The entry point of `directory`/`file`; null with `error` set when the file
// is missing, cannot be loaded or is not one of ours.
void* loadEntry(const std::string& directory, const char* file, const char* entryName,
                const ModuleTexts& texts, std::string& path, std::string& error) {
    path = (directory.empty() ? std::string(".") : directory) + "/" + file;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        error = std::string(texts.needer) + " needs " + file + ", and there is none at " + path;
        return nullptr;
    }
    // Never unloaded: Qt does not survive being taken out of a process.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        const char* why = ::dlerror();
        error = std::string(texts.description) + " could not be loaded: " + (why ? why : path);
        return nullptr;
    }
    void* entry = ::dlsym(handle, entryName);
    if (!entry) error = path + " is not a Tarvo " + texts.kind + " (it has no " + entryName + ")";
    return entry;
}

// Asks the library's entry point for the interface this build expects.
template <typename Library>
LoadedModule<Library> load(const std::string& directory, const char* file, const char* entryName,
                           int revision, const ModuleTexts& texts) {
    LoadedModule<Library> out;
    void* symbol = loadEntry(directory, file, entryName, texts, out.path, out.error);
    if (!symbol) return out;
    using Entry = Library* (*)(int);
    out.library = reinterpret_cast<Entry>(symbol)(revision);
    if (!out.library)
        out.error = out.path + " belongs to another build of Tarvo (interface revision " +
                    std::to_string(revision) + " expected)";
    return out;
}

}  // namespace

std::string moduleDirectory() {
    return Paths::libraryDir();
}

LoadedWebView loadWebView(const std::string& directory) {
    static constexpr ModuleTexts texts{
        "the setup window", "the setup window's web view (Qt WebEngine)", "web view library"};
    return load<webview::Library>(directory, webview::kLibraryFile, webview::kEntryPoint,
                                  webview::kInterfaceRevision, texts);
}

LoadedWindows loadWindows(const std::string& directory) {
    static constexpr ModuleTexts texts{"the agent", "the agent's windows (Qt Widgets)",
                                       "window library"};
    return load<ui::WindowsLibrary>(directory, ui::kWindowsLibraryFile, ui::kWindowsEntryPoint,
                                    ui::kWindowsInterfaceRevision, texts);
}

}  // namespace tarvo::app
