#pragma once

#include <memory>

#include "platform/DetachedJobs.h"
#include "platform/UpdatePackages.h"

namespace tarvo::platform {

// Debian packages: a detached Ed25519 signature over the whole .deb checked
// against a public key pinned in the program, the package's own name and
// version (newer by dpkg's order), then dpkg in a detached job.
class LinuxUpdatePackages : public UpdatePackages {
  public:
    struct Options {
        std::vector<std::string> keys;  // PEM public keys; a package signed by any one passes
        std::shared_ptr<DetachedJobs> jobs;
        std::string dpkg = "/usr/bin/dpkg";
        std::string dpkgDeb = "/usr/bin/dpkg-deb";
        // dpkg's --root, for a made root; empty: the machine's own.
        std::string root;
    };
    explicit LinuxUpdatePackages(Options options);

    // The keys this program trusts: the release key compiled in, and in a
    // made root (TARVO_ROOT set) also the one in the file TARVO_TEST_UPDATE_KEY
    // names, so tests can sign their own packages. A real installation has no
    // TARVO_ROOT and so trusts the release key alone.
    static std::vector<std::string> trustedKeys();
    static const char* releaseKey();
    static constexpr const char* jobName = "tarvo-apply-update";

    std::string suffix() const override { return ".deb"; }
    std::string verify(const PackageFiles& files, const std::string& runningVersion) override;
    std::string installScript(const std::string& version, const std::string& pkg) const override;
    std::vector<std::string> scriptPaths() const override;
    void start(const std::string& script, const std::string& version,
               const HandOffLog& log) override;

  private:
    Options options_;
};

}  // namespace tarvo::platform
