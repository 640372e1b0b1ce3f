#pragma once

#include <sys/stat.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/TarvoLog.h"
#include "platform/SystemProxy.h"

namespace tarvo::platform {

// The desktop's proxy settings and a firewall table of our own:
//  - a dconf system database "tarvo" with locked org.gnome.system.proxy keys
//    (manual, HTTP and HTTPS at the proxy, loopback ignored), named in the
//    "user" profile, which is extended, never replaced; GNOME and the
//    browsers that follow it honour it and a user cannot change it;
//  - the nftables table "inet tarvo": the children's uids may open web
//    connections (TCP 80 and 443, UDP 443) only to the proxy, and to the
//    service's own addresses, which the agent reaches around the proxy.
//    Root, other users and the proxy itself are untouched.
// The dconf paths are resolved under TARVO_ROOT; the tools are the system's.
class LinuxSystemProxy : public SystemProxy {
  public:
    struct Options {
        // Failures at error (once per change), mends at warn.
        std::shared_ptr<const TarvoLog> log;
        std::string nftTool = "/usr/sbin/nft";
        std::string dconfTool = "/usr/bin/dconf";
    };
    static constexpr const char* kDatabase = "tarvo";
    static constexpr const char* kTable = "inet tarvo";

    explicit LinuxSystemProxy(Options options);
    ~LinuxSystemProxy() override;

    void apply(const ProxyEndpoint& proxy, const std::vector<uid_t>& children) override;
    void clear() override;
    void keep(const ProxyEndpoint& proxy, const std::vector<uid_t>& children) override;
    ProxyReport report() override;

    // The firewall script fed to "nft -f -": the table replaced in one
    // transaction. `exempt` are the service's addresses, reachable on `exemptPort`.
    static std::string firewallScript(const ProxyEndpoint& proxy,
                                      const std::vector<uid_t>& children,
                                      const std::vector<std::string>& exempt, int exemptPort);
    // The settings keyfile and its locks.
    static std::string settingsKeyfile(const ProxyEndpoint& proxy);
    static std::string settingsLocks();
    // `existing` with the database named (none: a new profile); unchanged when it is there.
    static std::string extendedProfile(const std::optional<std::string>& existing);
    // The uids a table listing restricts (none when there is no rule).
    static std::vector<uid_t> restrictedUids(const std::string& listing);

    // The files, resolved.
    static std::string profilePath();
    static std::string databasePath();
    static std::string keyfilePath();
    static std::string locksPath();

  private:
    struct Stamp {
        bool exists = false;
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = 0;
        timespec mtime{};
        bool operator==(const Stamp& o) const;
    };
    static Stamp stampOf(const std::string& path);
    struct Applied {
        ProxyEndpoint proxy;
        std::vector<uid_t> children;
        std::vector<Stamp> settings;  // database, keyfile, locks, profile
        std::string firewall;         // the table as listed right after it was set
    };

    // Each returns what went wrong ("" when all went well).
    std::string applySettings(const ProxyEndpoint& proxy);
    std::string clearSettings();
    std::string compileDatabase();
    std::string applyFirewall(const ProxyEndpoint& proxy, const std::vector<uid_t>& children);
    std::string clearFirewall();
    std::string runNft(const std::string& script);
    // The table as nftables lists it (in-process); none when it is not
    // there, `error` set when it could not be read.
    std::optional<std::string> listTable(std::string& error);
    std::vector<Stamp> settingsStamps() const;
    // Logs `error` of `part` at error once per change; a success after a
    // failure is logged at info.
    void outcome(const std::string& part, const std::string& error);

    Options options_;
    struct NftContext;
    std::unique_ptr<NftContext> nft_;
    std::optional<Applied> applied_;
    std::map<std::string, std::string> failures_;
};

}  // namespace tarvo::platform
