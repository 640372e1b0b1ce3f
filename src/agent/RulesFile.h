#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/Background.h"
#include "core/Clock.h"
#include "core/SerialQueue.h"
#include "core/TarvoLog.h"
#include "server/ServerClient.h"

namespace tarvo {

// The hand-off of the parent's web rules to the filtering proxy, and of the
// child's identity to the daemon.
//
// The proxy reads one rules file for the whole machine; its "username" names
// the child whose agent wrote it. The file is replaced by writing a temporary
// file beside it and renaming that over it, so the proxy never reads half a
// file. Every agent write shares one temporary name (".tmp." + uid), so writes
// that may start from several tasks at once (bootstrap, refresh timers, the
// event stream, cache recovery) go through one serial queue: one writer at a
// time, in the order they were asked for.
//
// Create with create(); queued work holds the RulesFile strongly, so a write
// that was asked for still lands after the owner lets go.
class RulesFile : public std::enable_shared_from_this<RulesFile> {
  public:
    using Rules = ServerClient::Rules;

    struct Options {
        std::string username;         // the owner this agent writes
        uid_t uid = 0;                // names the temporary file
        std::string deviceId;         // the client's own: fail-closed set and proxy configuration
        std::string rulesPath;        // empty: Paths::rulesFile()
        std::string proxyConfigPath;  // empty: Paths::proxyConfigFile()
        std::shared_ptr<const Clock> clock;  // "updated_at"; null: the system clock
        // rename(2); empty means the real one. Lets a test make the final step
        // fail the way a protected target does.
        std::function<int(const char* from, const char* to)> rename;
        // Runs its task a second later on any thread. Set, a write the file
        // system refuses for want of ownership (the shared directory keeps a
        // file's owner alone able to replace it, until the daemon hands it to
        // this child) is kept and retried every second until it lands.
        std::function<void(std::function<void()>)> retryInASecond;
    };

    // What a successful write did.
    enum class Outcome {
        written,       // the new lists are on disk
        keptExisting,  // both new lists empty over a non-empty whitelist: not written
        unchanged,     // the same lists already on disk: not written
        pending,       // the file is not this child's yet: retried every second
    };

    struct WriteResult {
        std::optional<Outcome> outcome;  // none on failure
        std::string error;               // the failure's description
        bool ok() const { return outcome.has_value(); }
    };

    // Serialisation and file-system failures of a write.
    class Error : public std::runtime_error {
      public:
        using std::runtime_error::runtime_error;
    };

    static std::shared_ptr<RulesFile> create(Options options, TarvoLog log, Background& background);

    // The service's default host (of ServerClient::kDefaultBaseUrl): the only
    // entry of the fail-closed whitelist. An overridden base URL does not change it.
    static std::string defaultServiceHost();

    const std::string& rulesPath() const { return rulesPath_; }
    const std::string& proxyConfigPath() const { return proxyConfigPath_; }
    std::string tempPath() const;

    // --- Serialised (any thread) ---

    // Queues a write of `rules`' lists; `done` (optional) then runs on the
    // write queue with the result. Post from there to the main thread.
    void writeRulesFile(Rules rules, std::function<void(const WriteResult&)> done = {});

    // After a failed rules fetch: unless the file on disk is this child's,
    // replays the cached rules (`cachedRules`, e.g. ServerClient::cachedRules)
    // and hands their access windows to `onReplayed` on the write queue; with
    // no cache the file is left as it is. Never fails; logs what it did.
    void recoverFromCacheIfClamped(std::function<std::optional<Rules>()> cachedRules,
                                   std::function<void(std::vector<AccessWindow>)> onReplayed);

    // Runs `task` after every write queued so far (e.g. to wait for them in a
    // shutdown path or a test).
    void afterPendingWrites(std::function<void()> task);
    size_t pendingWrites() const { return queue_.pending(); }

    // --- Direct (the caller guarantees no queued write runs meanwhile) ---

    // The write itself: read back the lists on disk, apply the empty-set
    // guard and the unchanged check, then replace the file. Throws Error.
    Outcome writeNow(const Rules& rules);

    // The non-empty "username" of the file on disk; none when there is no
    // such file, it is not a JSON object, or the key is missing or not a
    // non-empty string.
    std::optional<std::string> rulesOnDiskOwner() const;

    // At start-up, before any write is queued: when another child's rules
    // are on disk, replaces them with the fail-closed set (only the service
    // reachable) owned by this child. A file without an owner is left alone.
    // Never fails; failures are silent.
    void neutralizeStaleRulesIfNotMine();

    // Writes {"username", "device_id"} for the daemon, atomically. Never
    // fails; a failure is logged (a refused one is retried as above).
    void writeProxyConfig();

    // Whether a refused write waits for its retry.
    bool retryPending() const;

    // The lists of a rules file as read back before a write (a sibling or the
    // child may have written it): none unless it is a JSON object; a list
    // with anything but strings in it counts as empty.
    struct ExistingLists {
        std::vector<std::string> whitelist;
        std::vector<std::string> blacklist;
    };
    static std::optional<ExistingLists> parseExistingLists(std::string_view text);

  private:
    RulesFile(Options options, TarvoLog log, Background& background);

    std::optional<ExistingLists> readExistingLists() const;
    std::string serialise(const std::vector<std::string>& whitelist,
                          const std::vector<std::string>& blacklist,
                          const std::string& deviceId) const;
    // Temporary file, then rename; on a failed rename a plain write of the
    // target (the temporary file stays). Throws Error.
    void replace(const std::string& bytes, bool logRenameFailure);
    // A write refused for want of ownership: remembered (the latest wins)
    // and retried a second later; false without a retry to use.
    bool keepForRetry(std::optional<Rules> rules, bool proxyConfig, const std::string& why);
    void retry();
    void replaceProxyConfig();

    Options options_;
    std::string rulesPath_;
    std::string proxyConfigPath_;
    TarvoLog log_;
    SerialQueue queue_;
    mutable std::mutex retryMutex_;
    std::optional<Rules> pendingRules_;
    bool pendingProxyConfig_ = false;
    bool retryScheduled_ = false;
    bool refusalLogged_ = false;
};

}  // namespace tarvo
