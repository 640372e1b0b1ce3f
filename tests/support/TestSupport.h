#pragma once

#include <time.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::test {

// A fresh directory under /tmp, removed with everything in it at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
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
    EnvGuard(std::string name, std::optional<std::string> value);
    ~EnvGuard();
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// Sets the process's time zone (TZ, then tzset) for one scope.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const std::string& zone) : tz_(std::in_place, "TZ", zone) { tzset(); }
    ~ScopedTimeZone() {
        tz_.reset();
        tzset();
    }

  private:
    std::optional<EnvGuard> tz_;
};

// TARVO_ROOT and HOME in a temporary directory for one scope.
class TempRoot {
  public:
    TempRoot();
    const std::string& path() const { return dir_.path(); }
    std::string home() const { return dir_.path() + "/home"; }

  private:
    TempDir dir_;
    EnvGuard root_;
    EnvGuard home_;
};

std::string readText(const std::string& path);
void writeText(const std::string& path, const std::string& text);  // creates parent dirs
std::vector<std::string> readLines(const std::string& path);
bool exists(const std::string& path);

// Polls `done` until it holds or `limit` passes, in real time. In a namespace
// of its own: the Qt tests have a waitUntil that runs Qt's events.
namespace polling {
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(30));
}

// The built tarvo executable and the source tree (set by the test runner).
std::string tarvoBinary();
std::string sourceDir();

}  // namespace tarvo::test
