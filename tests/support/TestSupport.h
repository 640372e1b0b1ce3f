#pragma once

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/Paths.h"

namespace tarvo::test {

// A fresh directory under /tmp, removed with everything in it at destruction.
class TempDir {
  public:
    TempDir() {
        path_ = (std::filesystem::temp_directory_path() / "tarvo-test-XXXXXX").string();
        if (!mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

  private:
    std::string path_;
};

// Sets (or, with none, unsets) an environment variable for one scope.
class EnvGuard {
  public:
    EnvGuard(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
        if (const char* v = getenv(name_.c_str())) old_ = v;
        set(value);
    }
    ~EnvGuard() { set(old_); }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

  private:
    void set(const std::optional<std::string>& value) {
        if (value)
            setenv(name_.c_str(), value->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    std::string name_;
    std::optional<std::string> old_;
};

// The paths `layout` names (by default those this process's environment
// describes) installed for one scope; the previous ones come back at the end.
class ScopedLayout {
  public:
    explicit ScopedLayout(Paths::Layout layout = Paths::layoutFrom(getenv))
        : previous_(Paths::exchange(std::make_shared<const Paths::Layout>(std::move(layout)))) {}
    ~ScopedLayout() { Paths::exchange(std::move(previous_)); }

  private:
    std::shared_ptr<const Paths::Layout> previous_;
};

// An environment variable the paths are made from (TARVO_ROOT, TARVO_PLATFORM,
// TARVO_RESOURCES, HOME, XDG_STATE_HOME) for one scope: set for the children
// the test starts, and the paths it gives installed for the test itself.
struct LayoutGuard : EnvGuard, ScopedLayout {
    LayoutGuard(std::string name, std::optional<std::string> value)
        : EnvGuard(std::move(name), std::move(value)) {}
};

// Sets the process's time zone (TZ, then tzset) for one scope.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const std::string& zone) : tz_("TZ", zone) { tzset(); }

  private:
    struct Reset {
        ~Reset() { tzset(); }
    } reset_;  // destroyed last, once TZ is restored
    EnvGuard tz_;
};

// TARVO_ROOT and HOME in a temporary directory for one scope, with the Mac's
// tools (the stand-ins a made root holds) as the system's services: in the
// environment for the children, and installed as the test's own paths.
class TempRoot {
  public:
    // The home exists before the paths are made: a missing one would not count.
    TempRoot() {
        std::filesystem::create_directories(dir_.path() + "/home");
        layout_.emplace();
    }
    const std::string& path() const { return dir_.path(); }

  private:
    TempDir dir_;
    EnvGuard root_{"TARVO_ROOT", dir_.path()};
    EnvGuard home_{"HOME", dir_.path() + "/home"};
    EnvGuard platform_{"TARVO_PLATFORM", "mac"};
    std::optional<ScopedLayout> layout_;
};

inline std::string readText(const std::string& path) {
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

inline void writeText(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The lines of a log without their timestamps: "[daemon] INFO  …" (none for a
// log not yet written).
inline std::vector<std::string> logMessages(const std::string& path) {
    std::vector<std::string> out = readLines(path);
    for (auto& line : out) line.erase(0, line.find(' ') + 1);
    return out;
}

inline bool hasLine(const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

inline bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// Polls `done` until it holds or `limit` passes, in real time. In a namespace
// of its own: the Qt tests have a waitUntil that runs Qt's events.
namespace polling {
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}
}  // namespace polling

// The built tarvo executable and the source tree (set by the test runner).
std::string tarvoBinary();
std::string sourceDir();

}  // namespace tarvo::test
