#include "launcher/Library.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace tarvo::launcher {

namespace fs = std::filesystem;

void* loadEntry(const std::string& directory, const char* file, const char* entryName,
                const LibraryTexts& texts, std::string& path, std::string& error) {
    path = (directory.empty() ? std::string(".") : directory) + "/" + file;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        error = std::string(texts.needer) + " needs " + file + ", and there is none at " + path;
        return nullptr;
    }
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

}  // namespace tarvo::launcher
