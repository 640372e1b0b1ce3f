#include "core/Installation.h"

#include <filesystem>
#include <system_error>

namespace tarvo::installation {

namespace fs = std::filesystem;

std::string runningExecutable() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.string();
}

std::optional<std::string> usrPrefixOf(const std::string& realExecutable) {
    const fs::path bin = fs::path(realExecutable).parent_path();
    if (bin.filename() != "bin" || bin.parent_path().filename() != "usr") return std::nullopt;
    return bin.parent_path().string();
}

std::string libraryDirOf(const std::string& realExecutable) {
    if (realExecutable.empty()) return {};
    if (const auto prefix = usrPrefixOf(realExecutable)) return *prefix + "/lib/tarvo";
    return fs::path(realExecutable).parent_path().string();
}

}  // namespace tarvo::installation
