#include "commands/Status.h"

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "core/Paths.h"
#include "core/SystemConfig.h"

namespace tarvo::Status {
namespace fs = std::filesystem;

namespace {

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

}  // namespace

void report(std::ostream& out, platform::SystemProxy& proxy, platform::CertificateTrust& trust) {
    // The labels are padded so that every value starts in the twelfth column.
    out << "tarvo status\n";
    const std::string rules = Paths::rulesFile();
    out << "  rules:   " << rules << (exists(rules) ? "" : " (missing)") << "\n";
    out << "  cert:    " << (trust.isTrusted() ? "trusted in " : "MISSING from ")
        << trust.storeName() << "\n";
    const std::string config = Paths::configFile();
    out << "  config:  "
        << (exists(config) ? config : "(no config.json — every user treated as parent)");
    // A file the agents and the daemon ignore is shown as such.
    if (auto owner = SystemConfigReader(TarvoLog("status")).read().untrustedOwner)
        out << " (ignored: owned by uid " << *owner << ", not root or an administrator)";
    out << "\n";
    const platform::ProxyReport inForce = proxy.report();
    out << "  " << inForce.heading << "\n";
    for (const std::string& item : inForce.items) out << "    - " << item << "\n";
    const std::string flags = Paths::activeChildrenDir();
    out << "  active children flag dir: " << flags << "\n";

    // Every entry, stale flags and strangers alike; nothing when unlistable.
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(flags, ec), end;
    for (; !ec && it != end; it.increment(ec)) names.push_back(it->path().filename().string());
    if (ec) return;
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) out << "    - " << name << "\n";
    out << std::flush;
}

}  // namespace tarvo::Status
