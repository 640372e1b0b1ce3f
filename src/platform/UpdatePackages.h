#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvo::platform {

// A package refused, or an installation that could not be handed over;
// what() is the reason the update's error line quotes.
class PackageError : public std::runtime_error {
  public:
    enum class Kind { untrusted, installFailed };
    PackageError(Kind kind, const std::string& reason) : std::runtime_error(reason), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

// The downloaded files of one update.
struct PackageFiles {
    std::string package;
    std::optional<std::string> signature;  // the detached signature, when one was offered
};

// Where the hand-off reports what it did ("update 1.2 submitted …").
struct HandOffLog {
    std::function<void(const std::string&)> info;
    std::function<void(const std::string&)> warn;
};

// The system's own update packages: how they are checked and installed. The
// installation runs as a job that outlives the daemon, since the package
// replaces the daemon's executable and restarts it.
class UpdatePackages {
  public:
    virtual ~UpdatePackages() = default;
    // How the downloaded package's file name ends (".pkg", ".deb").
    virtual std::string suffix() const = 0;
    // Checks that `files` hold our package, signed by us, and newer than
    // `runningVersion`. Returns the line to log; throws PackageError (untrusted).
    virtual std::string verify(const PackageFiles& files, const std::string& runningVersion) = 0;
    // The install script for `version` and the package at `pkg`.
    virtual std::string installScript(const std::string& version, const std::string& pkg) const = 0;
    // Paths the install script holds besides the package, the script and the
    // install log (each must stand in a shell script unquoted).
    virtual std::vector<std::string> scriptPaths() const = 0;
    // Starts the written script at `script` as a detached job. Throws
    // PackageError (installFailed) when it could not be handed over.
    virtual void start(const std::string& script, const std::string& version,
                       const HandOffLog& log) = 0;
};

// The install script's line that runs `command` and writes its outcome to the
// updater log, in the words of every system's script.
inline std::string installLogged(const std::string& command, const std::string& version) {
    return command +
           " && \\\n"
           "    echo \"[$(date -u +%FT%TZ)] installed " +
           version +
           " OK\" || \\\n"
           "    echo \"[$(date -u +%FT%TZ)] install FAILED\"\n";
}

}  // namespace tarvo::platform
