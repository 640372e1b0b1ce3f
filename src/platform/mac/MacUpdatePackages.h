#pragma once

#include "platform/UpdatePackages.h"

namespace tarvo::platform {

// Installer packages checked by pkgutil (a Developer ID of our team) and
// installed by installer in a job handed to launchd, or spawned directly
// when launchd refuses.
class MacUpdatePackages : public UpdatePackages {
  public:
    static constexpr const char* launchdLabel = "app.tarvo.applyupdate";
    static constexpr const char* signingTeam = "QK4R7TZW9N";

    std::string suffix() const override { return ".pkg"; }
    std::string verify(const PackageFiles& files, const std::string& runningVersion) override;
    std::string installScript(const std::string& version, const std::string& pkg) const override;
    std::vector<std::string> scriptPaths() const override;
    void start(const std::string& script, const std::string& version,
               const HandOffLog& log) override;
};

}  // namespace tarvo::platform
