#include "daemon/Daemon.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <set>
#include <stdexcept>
#include <system_error>

#include "core/AtomicFile.h"
#include "core/Json.h"
#include "core/Paths.h"
#include "core/PresenceFlag.h"
#include "core/Text.h"
#include "core/Weak.h"
#include "daemon/FlagEntries.h"
#include "daemon/ProxyListener.h"

extern char** environ;

namespace tarvo {
namespace {

constexpr Millis kPresenceInterval = std::chrono::seconds(5);
constexpr Millis kRestartDelay = std::chrono::seconds(2);
constexpr Millis kRetryDelay = std::chrono::seconds(5);
constexpr Millis kListenerPoll = std::chrono::milliseconds(250);
constexpr int kListenerPolls = 240;  // a minute for the proxy to bind

constexpr size_t kMaxProxyConfigBytes = 64 * 1024;
constexpr size_t kMaxRulesBytes = 8 * 1024 * 1024;
constexpr size_t kMaxCaBytes = 1024 * 1024;

// The shared directories: everyone may create files there, and the sticky
// bit keeps anyone but a file's owner (and root) from removing or renaming it.
constexpr mode_t kSharedDirMode = 01777;

// The flag directory's own name, inside flagParentFd().
std::string flagDirName() {
    return std::filesystem::path(Paths::activeChildrenDir()).filename().string();
}
const char* const kConfDir = "mitmproxy";
const char* const kCaFile = "mitmproxy-ca.pem";
const char* const kRulesFile = "proxy_rules.json";
const char* const kProxyConfigFile = "proxy_config.json";

bool pathExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// "2m", "90s", "250ms": the largest unit that shows the duration exactly.
std::string shortDuration(Millis d) {
    const auto ms = d.count();
    if (ms != 0 && ms % 60000 == 0) return std::to_string(ms / 60000) + "m";
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + "s";
    return std::to_string(ms) + "ms";
}

void exitNow(int code) {
    std::fflush(nullptr);
    ::_exit(code);
}

}  // namespace

std::shared_ptr<Daemon> Daemon::create(MainQueue& queue, std::shared_ptr<Clock> clock,
                                       Options options) {
    return std::shared_ptr<Daemon>(new Daemon(queue, std::move(clock), std::move(options)));
}

Daemon::Daemon(MainQueue& queue, std::shared_ptr<Clock> clock, Options options)
    : queue_(queue),
      clock_(std::move(clock)),
      options_(std::move(options)),
      log_("daemon", Paths::daemonLog(), options_.systemLog),
      background_(options_.background ? options_.background
                                      : std::make_shared<ThreadPoolBackground>(1)),
      settings_(std::make_unique<SerialQueue>(*background_)) {
    if (!options_.exitProcess) options_.exitProcess = exitNow;
    if (!options_.systemProxy || !options_.certificateTrust)
        throw std::invalid_argument("the daemon needs the system proxy and certificate trust");
}

// The settings queue goes before the Background it runs on.
Daemon::~Daemon() {
    settings_.reset();
}

std::optional<pid_t> Daemon::proxyPid() const {
    if (!proxy_) return std::nullopt;
    return proxy_->pid();
}

int Daemon::run() {
    start();
    queue_.run();
    return 0;
}

void Daemon::start() {
    prepareLogDirectory();
    log_.info("daemon starting (pid " + std::to_string(::getpid()) + ")");
    if (!logCleanup_.empty()) log_.warn(logCleanup_);
    ensureDirectories();
    // A child's first flag is acted on at once, not at the next poll.
    flagWatcher_ =
        std::make_unique<handover::DirectoryWatcher>([weak = weak_from_this(), queue = &queue_] {
            queue->post([weak] {
                if (auto self = weak.lock()) self->presenceTick();
            });
        });
    ensureDefaultRules();
    installCertIfNeeded();
    installSignalHandlers();
    startProxy();
    startPresencePoll();
    startUpdatePoll();
}

// The log directory holds the root-side log, the update package and the
// install script, and only root writes there: it gets mode 0755, and a log
// file that is a link, a hard link or someone else's file is removed before
// the first line is written.
void Daemon::prepareLogDirectory() {
    // A directory others could write may hold anything they planted (a link
    // at updater.log, which the root install script appends to): it is
    // replaced by a fresh one, keeping nothing.
    rootfiles::DirResult dir =
        rootfiles::secureDirectory(Paths::systemLogDir(), {0755, true, true});
    if (!dir.fd) {
        logCleanup_ = "log directory untrusted — " + dir.error;
        return;
    }
    if (!dir.replaced.empty())
        logCleanup_ = "replaced untrusted log directory (" + dir.replaced + ")";
    const std::string name = std::filesystem::path(Paths::daemonLog()).filename().string();
    struct stat st {};
    if (::fstatat(dir.fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    std::string why;
    if (!S_ISREG(st.st_mode))
        why = describeFileType(st.st_mode);
    else if (st.st_nlink != 1)
        why = "hard link";
    else if (st.st_uid != ::geteuid())
        why = "file owned by uid " + std::to_string(st.st_uid);
    if (why.empty()) return;
    ::unlinkat(dir.fd.get(), name.c_str(), 0);
    logCleanup_ = "removed untrusted " + name + " (" + why + ")";
}

void Daemon::ensureDirectories() {
    // The data directory is shared with the agents (mode 01777); it is opened
    // once, and everything inside it is reached through this descriptor.
    rootfiles::DirResult data =
        rootfiles::secureDirectory(Paths::dataDir(), {kSharedDirMode, false});
    if (!data.fd) {
        log_.error("couldn't prepare " + Paths::dataDir() + ": " + data.error);
        return;
    }
    if (!data.replaced.empty())
        log_.warn("replaced untrusted " + Paths::dataDir() + " (" + data.replaced + ")");
    dataDir_ = std::move(data.fd);
    rootfiles::removeMovedAside(dataDir_.get());
    // Where the flags are run-time state (not in the data directory), their
    // parent is root's alone (0755) and holds the daemon's lock too.
    const std::filesystem::path flagParent =
        std::filesystem::path(Paths::activeChildrenDir()).parent_path();
    flagsInDataDir_ = flagParent == std::filesystem::path(Paths::dataDir());
    if (!flagsInDataDir_) {
        rootfiles::DirResult run =
            rootfiles::secureDirectory(flagParent.string(), {0755, true, true});
        if (!run.replaced.empty())
            log_.warn("replaced untrusted " + flagParent.string() + " (" + run.replaced + ")");
        if (!run.fd) log_.error("couldn't prepare " + flagParent.string() + ": " + run.error);
        flagParent_ = std::move(run.fd);
    }
    if (flagParentFd() >= 0) {
        rootfiles::DirResult flags = rootfiles::secureDirectoryAt(
            flagParentFd(), flagDirName(), {kSharedDirMode, true}, &flagDirId_);
        if (!flags.replaced.empty())
            log_.warn("replaced untrusted " + Paths::activeChildrenDir() + " (" + flags.replaced +
                      ")");
        if (!flags.fd)
            log_.error("couldn't prepare " + Paths::activeChildrenDir() + ": " + flags.error);
    }
    rootfiles::DirResult logs =
        rootfiles::secureDirectory(Paths::systemLogDir(), {0755, true, true});
    if (!logs.fd) log_.error("couldn't prepare " + Paths::systemLogDir() + ": " + logs.error);
    // Downloaded updates and the root install script: root's alone, like the logs.
    if (Paths::updateDir() != Paths::systemLogDir()) {
        rootfiles::DirResult updates =
            rootfiles::secureDirectory(Paths::updateDir(), {0755, true, true});
        if (!updates.replaced.empty())
            log_.warn("replaced untrusted " + Paths::updateDir() + " (" + updates.replaced + ")");
        if (!updates.fd)
            log_.error("couldn't prepare " + Paths::updateDir() + ": " + updates.error);
    }
}

void Daemon::ensureDefaultRules() {
    if (!dataDir_) return;
    const std::string target = Paths::rulesFile();
    struct stat st {};
    if (::fstatat(dataDir_.get(), kRulesFile, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISREG(st.st_mode)) return;
        // A link (dangling or not), FIFO or directory planted where the rules
        // belong: never written through, removed and replaced by the default.
        log_.warn("replacing untrusted " + target + " (" + describeFileType(st.st_mode) + ")");
        if (::unlinkat(dataDir_.get(), kRulesFile, S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) {
            log_.error("couldn't seed default rules at " + target + ": " + std::strerror(errno));
            return;
        }
    }
    const std::string bundled = Paths::bundleResources() + "/proxy_rules.json";
    if (!pathExists(bundled)) {
        log_.warn("no bundled default rules at " + bundled);
        return;
    }
    std::string why;
    auto data = rootfiles::readTrustedFile(bundled, kMaxRulesBytes, &why);
    if (!data) {
        log_.error("couldn't seed default rules at " + target + ": " + bundled + ": " + why);
        return;
    }
    bool existed = false;
    // 0666: the agent, running as the child, rewrites this file later.
    std::string error =
        rootfiles::createFileNoReplace(dataDir_.get(), kRulesFile, *data, 0666, &existed);
    if (existed) return;  // an agent wrote its rules in the meantime
    if (!error.empty()) {
        log_.error("couldn't seed default rules at " + target + ": " + error);
        return;
    }
    log_.info("seeded default rules at " + target);
}

void Daemon::installCertIfNeeded() {
    if (options_.certificateTrust->isTrusted()) {
        log_.debug("root cert already trusted in System keychain");
        return;
    }
    if (options_.certificateTrust->trust(Paths::certificateAuthorityDir() + "/rootCert.pem",
                                         std::cerr))
        log_.info("installed root cert into System keychain");
    else
        log_.error("could not install root cert \xE2\x80\x94 HTTPS interception will fail");
}

void Daemon::installSignalHandlers() {
    for (int signo : {SIGTERM, SIGINT})
        queue_.onSignal(signo, weakCallback(shared_from_this(), [](Daemon& d) { d.shutdown(); }));
}

void Daemon::shutdown() {
    if (!shouldRun_) return;  // a second signal while the settings are cleared
    log_.info("shutdown requested");
    shouldRun_ = false;
    if (proxy_) proxy_->terminate();
    // The clear comes after any change still under way, and the process
    // ends only once it is done.
    changeSystemProxy(false, [](Daemon& d) {
        d.log_.info("shutdown complete");
        d.options_.exitProcess(0);
    });
}

void Daemon::changeSystemProxy(bool on, std::function<void(Daemon&)> then) {
    std::weak_ptr<Daemon> weak = weak_from_this();
    MainQueue* queue = &queue_;
    std::shared_ptr<platform::SystemProxy> proxy = options_.systemProxy;
    settings_->post([on, proxy, children = presentChildren(), weak, queue, then = std::move(then)] {
        if (on)
            proxy->apply({kProxyHost, kProxyPort}, children);
        else
            proxy->clear();
        if (!then) return;
        queue->post([weak, then] {
            if (auto self = weak.lock()) then(*self);
        });
    });
}

void Daemon::startPresencePoll() {
    presenceTimer_ = ScopedTimer(
        queue_,
        queue_.startRepeating(kPresenceInterval,
                              weakCallback(shared_from_this(), [](Daemon& d) { d.presenceTick(); }),
                              Millis(0)));
}

void Daemon::presenceTick() {
    if (!shouldRun_) return;
    guardListener();
    const bool present = anyChildLoggedIn();
    handOverToNewcomers();
    if (lastChildPresent_ && *lastChildPresent_ == present) {
        if (present)
            settings_->post([proxy = options_.systemProxy, children = presentChildren()] {
                proxy->keep({kProxyHost, kProxyPort}, children);
            });
        return;
    }
    lastChildPresent_ = present;
    if (present) {
        log_.info("child user active \xE2\x80\x94 registering system proxy");
        changeSystemProxy(true);
        bounceProxyForNewChild();
    } else {
        log_.info("no child user \xE2\x80\x94 clearing system proxy");
        changeSystemProxy(false);
    }
}

bool Daemon::sessionCounts(const std::string& state) {
    // A locked screen leaves the session active, fast user switching leaves
    // it online; "closing" is a user who logged out with processes left over.
    return state == "active" || state == "online";
}

bool Daemon::anyChildLoggedIn() {
    heldUids_.clear();
    freshOwners_.clear();
    const bool flagged = walkFlags();
    const bool held = heldBySessions();
    return flagged || held;
}

std::vector<uid_t> Daemon::presentChildren() const {
    std::set<uid_t> uids = heldUids_;
    uids.insert(freshOwners_.begin(), freshOwners_.end());
    uids.erase(0);  // a flag root wrote names no child to filter
    return {uids.begin(), uids.end()};
}

bool Daemon::heldBySessions() {
    if (!options_.loginSessions) return false;
    std::set<uid_t> uids;
    for (uid_t uid : freshOwners_) uids.insert(uid);
    for (const auto& [uid, sessions] : vouchedSessions_) uids.insert(uid);
    uids.erase(0);  // root is never a child, whatever its sessions
    std::map<uid_t, std::set<std::string>> vouched;
    std::set<std::pair<uid_t, std::string>> silent;
    bool held = false;
    for (uid_t uid : uids) {
        const platform::LoginSessionList list = options_.loginSessions->sessionsOf(uid);
        if (list.error != sessionErrors_[uid]) {
            if (!list.error.empty())
                log_.warn("login sessions of uid " + std::to_string(uid) +
                          " unreadable: " + list.error);
            sessionErrors_[uid] = list.error;
        }
        const bool fresh = freshOwners_.count(uid) > 0;
        const auto before = vouchedSessions_.find(uid);
        std::set<std::string> keep;
        for (const platform::LoginSession& session : list.sessions) {
            if (!sessionCounts(session.state)) continue;
            // Only a session the flag was fresh in: one that began after the
            // agent fell silent proves nothing about filtering.
            if (fresh || (before != vouchedSessions_.end() && before->second.count(session.id)))
                keep.insert(session.id);
        }
        if (keep.empty()) continue;
        vouched[uid] = keep;
        if (fresh) continue;
        held = true;
        heldUids_.insert(uid);
        const std::pair<uid_t, std::string> who{uid, *keep.begin()};
        silent.insert(who);
        if (!silentAgents_.count(who))
            log_.warn("agent of uid " + std::to_string(uid) + " is silent but its session " +
                      who.second + " is still logged in \xE2\x80\x94 filtering stays on");
    }
    vouchedSessions_ = std::move(vouched);
    silentAgents_ = std::move(silent);
    std::erase_if(sessionErrors_, [&](const auto& e) { return !uids.count(e.first); });
    return held;
}

bool Daemon::walkFlags() {
    if (!dataDir_ || flagParentFd() < 0) return false;
    // The flag directory sits in a directory every user can write, where any
    // of root's directories can be renamed to its name: on every tick it must
    // still be the directory made or checked before, and it is only read
    // through its descriptor.
    rootfiles::DirResult flags = rootfiles::secureDirectoryAt(flagParentFd(), flagDirName(),
                                                              {kSharedDirMode, true}, &flagDirId_);
    if (!flags.replaced.empty())
        log_.warn("replaced untrusted " + Paths::activeChildrenDir() + " (" + flags.replaced + ")");
    if (!flags.fd) return false;
    const int dirFd = flags.fd.get();
    watchFlagDirectory(dirFd, flags.identity);
    bool present = false;
    presence::scanFlags(dirFd, clock_->now(), [&](const presence::FlagEntry& flag) {
        if (flag.fresh) {
            present = true;
            // The agent writes its flag as the child it runs for.
            freshOwners_.insert(flag.st.st_uid);
            return true;
        }
        // Any stale or untrusted flag goes: the unlink is made through the
        // checked directory's descriptor and never follows a link, so a
        // planted name can only remove itself. What cannot go (a directory
        // with something in it) is reported once.
        const std::string failure = flagdir::removeEntry(dirFd, flag.name);
        if (!failure.empty() && unremovableFlags_.first(flag.name))
            log_.error("cannot remove " + Paths::activeChildrenDir() + "/" +
                       flagdir::printableName(flag.name) + " (" +
                       (flag.st.st_mode ? describeFileType(flag.st.st_mode) : "unreadable") +
                       "): " + failure);
        return true;
    });
    unremovableFlags_.endWalk();
    return present;
}

void Daemon::handOverToNewcomers() {
    const std::set<uid_t> arrived = handover::newcomers(childrenSeen_, freshOwners_);
    childrenSeen_ = freshOwners_;
    if (!dataDir_) return;
    for (uid_t uid : arrived) {
        for (const char* name : {kRulesFile, kProxyConfigFile}) {
            const std::string why = handover::giveFileTo(dataDir_.get(), name, uid);
            if (why.empty())
                log_.info(std::string("handed ") + name + " to uid " + std::to_string(uid));
            else
                log_.warn(std::string("couldn't hand ") + name + " to uid " + std::to_string(uid) +
                          " (" + why + ")");
        }
    }
}

void Daemon::watchFlagDirectory(int dirFd, const rootfiles::DirIdentity& identity) {
    if (!flagWatcher_ || watchedFlagDir_ == identity) return;
    if (std::string why = flagWatcher_->watch(dirFd); !why.empty()) {
        log_.warn("not watching " + Paths::activeChildrenDir() + " (" + why +
                  ") — new children are seen at the " + shortDuration(kPresenceInterval) + " poll");
        return;
    }
    watchedFlagDir_ = identity;
}

void Daemon::bounceProxyForNewChild() {
    if (!proxy_) return;
    log_.info("bouncing proxy (pid " + std::to_string(proxy_->pid()) +
              ") to pick up new child identity");
    proxy_->terminate();
}

void Daemon::startUpdatePoll() {
    if (!options_.startUpdateCheck) return;
    updateTimer_ = ScopedTimer(
        queue_, queue_.startRepeating(options_.updateSchedule.interval, options_.startUpdateCheck,
                                      options_.updateSchedule.first));
    log_.info("update checks scheduled (first in " + shortDuration(options_.updateSchedule.first) +
              ", then every " + shortDuration(options_.updateSchedule.interval) + ")");
}

void Daemon::scheduleStart(Millis delay) {
    queue_.postDelayed(delay, weakCallback(shared_from_this(), [](Daemon& d) { d.startProxy(); }));
}

std::optional<std::string> Daemon::stageProxyConfdir() {
    const std::string bundled = Paths::certificateAuthorityDir() + "/" + kCaFile;
    if (!pathExists(bundled)) {
        log_.error("no bundled CA key at " + bundled +
                   " \xE2\x80\x94 mitmproxy will generate its own, "
                   "which will NOT match the trusted certificate and HTTPS will fail");
        return std::nullopt;
    }
    if (!dataDir_) {
        log_.error("couldn't stage proxy confdir: " + Paths::dataDir() + " is not available");
        return std::nullopt;
    }
    // The key goes only into a directory that is really ours: owned by root,
    // mode 0700, reached without following links. Anything else standing at
    // that name is moved out of the way first.
    // Checked again before every start: a user may have renamed it away and
    // put another of root's directories in its place.
    rootfiles::DirResult conf =
        rootfiles::secureDirectoryAt(dataDir_.get(), kConfDir, {0700, true, true}, &confDirId_);
    if (!conf.replaced.empty())
        log_.warn("replaced untrusted " + Paths::mitmproxyDir() + " (" + conf.replaced + ")");
    if (!conf.fd) {
        log_.error("couldn't stage proxy confdir: " + conf.error);
        return std::nullopt;
    }
    std::string why;
    auto key = rootfiles::readTrustedFile(bundled, kMaxCaBytes, &why);
    if (!key) {
        log_.error("couldn't stage proxy confdir: " + bundled + ": " + why);
        return std::nullopt;
    }
    std::string error = rootfiles::replaceFileAt(conf.fd.get(), kCaFile, *key, 0600);
    if (!error.empty()) {
        log_.error("couldn't stage proxy confdir: " + error);
        return std::nullopt;
    }
    log_.info("staged CA for mitmproxy at " + Paths::mitmproxyDir() + "/" + kCaFile);
    return Paths::mitmproxyDir();
}

std::vector<std::string> Daemon::proxyArguments(const std::optional<std::string>& confdir) {
    std::vector<std::string> args = {"--port", std::to_string(kProxyPort), "--host", kProxyHost};
    if (confdir) {
        args.push_back("--confdir");
        args.push_back(*confdir);
    }
    if (!dataDir_) return args;
    const UntrustedFile file =
        readUntrustedFileAt(dataDir_.get(), kProxyConfigFile, kMaxProxyConfigBytes);
    if (!file.data) {
        if (file.error != ENOENT)
            log_.warn("ignoring " + Paths::proxyConfigFile() + " (" + file.why + ")");
        return args;
    }
    for (std::string& arg : proxyIdentityArguments(*file.data)) args.push_back(std::move(arg));
    return args;
}

std::vector<std::string> proxyIdentityArguments(std::string_view proxyConfig) {
    std::vector<std::string> args;
    auto parsed = json::parse(proxyConfig);
    if (!parsed || !parsed->is_object()) return args;
    if (auto user = json::string(*parsed, "username"); user && !user->empty()) {
        args.push_back("--username");
        args.push_back(*user);
    }
    if (auto device = json::string(*parsed, "device_id"); device && !device->empty()) {
        args.push_back("--device-id");
        args.push_back(*device);
    }
    return args;
}

void Daemon::startProxy() {
    // Nothing starts once shutdown has begun, and never a second instance.
    if (!shouldRun_ || proxy_) return;
    const std::string exe = Paths::bundleResources() + "/proxy/TarvoProxy";
    if (!pathExists(exe)) {
        log_.error("proxy binary missing: " + exe);
        scheduleStart(kRetryDelay);
        return;
    }
    if (!proxySocket_.held()) {
        if (const std::string error = proxySocket_.open(kProxyHost, kProxyPort); !error.empty()) {
            log_.error("couldn't listen on " + std::string(kProxyHost) + ":" +
                       std::to_string(kProxyPort) + ": " + error);
            checkListener();  // whoever holds the port instead is ended
            scheduleStart(kRetryDelay);
            return;
        }
    }
    const std::vector<std::string> args = proxyArguments(stageProxyConfdir());

    const std::pair<const char*, std::string> overrides[] = {
        {"PROXY_RULES_FILE", Paths::rulesFile()},
        {"TARVO_DATA_DIR", Paths::systemLogDir()},
        {"TARVO_CONFIG_FILE", Paths::proxyConfigFile()},
        {"TARVO_LISTEN_FD", std::to_string(proxySocket_.fd())},
    };
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry = *e;
        bool replaced = false;
        for (const auto& [name, value] : overrides)
            if (entry.substr(0, entry.find('=')) == name) replaced = true;
        if (!replaced) env.emplace_back(entry);
    }
    for (const auto& [name, value] : overrides) env.push_back(std::string(name) + "=" + value);

    std::weak_ptr<Daemon> weak = weak_from_this();
    MainQueue* queue = &queue_;
    auto onOutput = [weak, queue](ProxyProcess::Stream stream, std::string chunk) {
        queue->post([weak, stream, chunk = std::move(chunk)] {
            auto self = weak.lock();
            if (!self || !text::isValidUtf8(chunk)) return;
            const std::string line = "[proxy] " + std::string(text::trimWhitespace(chunk));
            if (stream == ProxyProcess::Stream::Out)
                self->log_.info(line);
            else
                self->log_.warn(line);
        });
    };
    auto onExit = [weak, queue](pid_t pid, int status) {
        queue->post([weak, pid, status] {
            if (auto self = weak.lock()) self->onProxyExit(pid, status);
        });
    };
    try {
        proxy_ = std::make_unique<ProxyProcess>(exe, args, env, onOutput, onExit,
                                                std::vector<int>{proxySocket_.fd()});
        log_.info("proxy started (pid " + std::to_string(proxy_->pid()) + ")");
        watchListener();
    } catch (const std::system_error& e) {
        log_.error(std::string("failed to start proxy: ") + e.what());
        scheduleStart(kRetryDelay);
    }
}

void Daemon::onProxyExit(pid_t pid, int status) {
    log_.warn(
        "proxy exited (code " + std::to_string(status) + "); restarting in " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kRestartDelay).count()) +
        "s");
    if (proxy_ && proxy_->pid() == pid) {
        proxy_.reset();
        listenerTimer_.reset();
        verifiedListeners_.clear();
    }
    if (shouldRun_) scheduleStart(kRestartDelay);
}

void Daemon::watchListener() {
    listenerChecks_ = 0;
    verifiedListeners_.clear();
    listenerTimer_ = ScopedTimer(
        queue_,
        queue_.startRepeating(
            kListenerPoll, weakCallback(shared_from_this(), [](Daemon& d) { d.checkListener(); })));
}

// Whoever listens where the system proxy settings send the children's
// traffic must be the daemon's own socket, held by the daemon and its proxy
// (or one of its children). Anyone else (who bound the port before the
// daemon could, or beside it on another address) is ended, and the proxy
// started again.
void Daemon::checkListener() {
    const std::vector<listener::Socket> listeners = listener::listenersFor(kProxyPort);
    std::set<pid_t> ourTree;
    std::set<ino_t> ours;
    if (proxy_ && !listeners.empty()) {
        ourTree = listener::processTree(proxy_->pid());
        ours = listener::socketsOf(ourTree);
    }
    if (proxySocket_.held()) ours.insert(proxySocket_.inode());
    bool foreign = false;
    std::set<ino_t> unheld;
    for (const listener::Socket& socket : listeners) {
        if (ours.count(socket.inode)) continue;
        std::vector<pid_t> holders;
        for (pid_t pid : listener::holdersOf(socket.inode))
            if (pid != ::getpid() && !ourTree.count(pid)) holders.push_back(pid);
        // A socket no process holds belongs to one that is exiting (often the
        // one just killed) and vanishes on its own; only one that is still
        // there at the next look counts as foreign.
        if (holders.empty() && !unheldListeners_.count(socket.inode)) {
            unheld.insert(socket.inode);
            continue;
        }
        foreign = true;
        std::string pids;
        for (pid_t pid : holders) {
            ::kill(pid, SIGKILL);
            pids += (pids.empty() ? "" : ", ") + std::to_string(pid);
        }
        log_.error("foreign listener on " + std::string(kProxyHost) + ":" +
                   std::to_string(kProxyPort) + " (uid " + std::to_string(socket.uid) + ", pid " +
                   (pids.empty() ? std::string("unknown") : pids) +
                   ") ended \xE2\x80\x94 restarting the proxy");
    }
    unheldListeners_ = unheld;
    if (foreign) {
        listenerTimer_.reset();
        verifiedListeners_.clear();
        if (proxy_) proxy_->terminate();  // its exit schedules the new start
        return;
    }
    if (!listeners.empty() && unheld.empty()) {
        listenerTimer_.reset();
        verifiedListeners_.clear();
        for (const listener::Socket& socket : listeners) verifiedListeners_.push_back(socket.inode);
        std::sort(verifiedListeners_.begin(), verifiedListeners_.end());
        return;
    }
    if (++listenerChecks_ >= kListenerPolls) listenerTimer_.reset();
}

// On every presence tick: reading the listening sockets is cheap, and only
// a change from what was verified calls for the full check.
void Daemon::guardListener() {
    if (listenerTimer_.active()) return;
    std::vector<ino_t> now;
    for (const listener::Socket& socket : listener::listenersFor(kProxyPort))
        now.push_back(socket.inode);
    std::sort(now.begin(), now.end());
    if (now != verifiedListeners_) checkListener();
}

}  // namespace tarvo
