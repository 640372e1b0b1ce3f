#include "manager/ManagerController.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "core/AtomicFile.h"
#include "core/Json.h"
#include "core/Paths.h"
#include "core/SystemConfig.h"
#include "core/TimeFormat.h"
#include "core/Weak.h"
#include "manager/HtmlEntities.h"
#include "net/Http.h"

namespace tarvo {
namespace {

using Style = ManagerView::AlertStyle;

std::string join(const std::vector<std::string>& names, std::string_view separator) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) out += separator;
        out += names[i];
    }
    return out;
}

}  // namespace

std::shared_ptr<ManagerController> ManagerController::create(
    std::shared_ptr<ServerClient> server, MainQueue& queue, Background& background,
    std::shared_ptr<const Clock> clock, std::string currentUser,
    std::shared_ptr<platform::AccountDirectory> accounts) {
    return std::shared_ptr<ManagerController>(
        new ManagerController(std::move(server), queue, background, std::move(clock),
                              std::move(currentUser), std::move(accounts)));
}

std::shared_ptr<ManagerController> ManagerController::create(
    std::shared_ptr<ServerClient> server, MainQueue& queue, Background& background,
    std::shared_ptr<platform::AccountDirectory> accounts) {
    return create(std::move(server), queue, background, systemClock(), currentUserName(),
                  std::move(accounts));
}

std::string ManagerController::currentUserName() {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name) return pw->pw_name;
    if (const char* user = std::getenv("USER")) return user;
    return {};
}

ManagerController::ManagerController(std::shared_ptr<ServerClient> server, MainQueue& queue,
                                     Background& background, std::shared_ptr<const Clock> clock,
                                     std::string currentUser,
                                     std::shared_ptr<platform::AccountDirectory> accounts)
    : server_(std::move(server)),
      queue_(queue),
      background_(background),
      clock_(std::move(clock)),
      currentUser_(std::move(currentUser)),
      accounts_(std::move(accounts)),
      log_("manager", Paths::managerLog()) {}

// --- Pages ---

std::string ManagerController::signInUrl() const {
    return net::withQuery(net::appendPath(server_->api(), "Signin"),
                          {{"type", "desktop"}, {"deviceId", server_->deviceId()}});
}

std::string ManagerController::assignmentUrl() const {
    return net::withQuery(net::appendPath(server_->api(), "AssignDesktopUsers"),
                          {{"from", "desktop"}});
}

void ManagerController::loadSignIn() {
    log_.info("Opening sign-in for device " + server_->deviceId() + "…");
    if (auto view = view_.lock()) view->load(signInUrl());
}

void ManagerController::pageFinished(const std::string& url) {
    log_.info(url);
}

void ManagerController::navigationFailed(const std::string& description) {
    log_.info("Load failed: " + description);
}

void ManagerController::provisionalNavigationFailed(const std::string& description) {
    log_.info("Couldn't reach " + net::hostOf(server_->api()) + ": " + description);
}

// --- Bridge ---

std::vector<std::string> ManagerController::splitMessage(std::string_view text) {
    // At most one cut; an empty piece before it does not count as the cut.
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t i = 0; i < text.size() && pieces.empty(); ++i) {
        if (text[i] != '|') continue;
        if (i > start) pieces.emplace_back(text.substr(start, i - start));
        start = i + 1;
    }
    if (start < text.size()) pieces.emplace_back(text.substr(start));
    return pieces;
}

void ManagerController::handleMessage(const std::optional<std::string>& body,
                                      const std::string& pageUrl) {
    if (!body) return;
    // Only the service's own pages speak for the parent: a page of any other
    // origin the window was led to (a link, a redirect, a look-alike sign-in)
    // could otherwise send the accounts or have config.json written.
    const std::optional<std::string> origin = net::originOf(pageUrl);
    if (!origin || origin != net::originOf(server_->api())) {
        log_.warn("ignoring a bridge message from " +
                  (pageUrl.empty() ? std::string("a page without an address")
                                   : "'" + prefixCharacters(pageUrl, 200) + "'") +
                  ": not a page of " + net::originOf(server_->api()).value_or(server_->api()));
        return;
    }
    const std::string text = decodeHtmlEntities(*body);
    if (text != *body) log_.info("bridge payload contained HTML entities — decoded before use");
    // The argument after the bar is the parent's sign-in token: only the verb
    // and the message's length reach the log, which other users can read.
    log_.info("web → host: " + bridgeSummary(text));

    if (text.rfind("closeApp", 0) == 0) {
        if (auto view = view_.lock()) view->terminate();
        return;
    }
    const std::vector<std::string> pieces = splitMessage(text);
    if (pieces.size() != 2) {
        log_.warn("unrecognised bridge message: " + bridgeSummary(text));
        return;
    }
    const std::string& verb = pieces[0];
    if (verb == "updateData") {
        token_ = pieces[1];
        pushLocalAccounts(pieces[1]);
    } else if (verb == "userCreated") {
        pullAssignments();
    } else {
        log_.warn("unknown verb '" + verb + "'");
    }
}

// --- Sending accounts ---

void ManagerController::pushLocalAccounts(const std::string& token) {
    background_.run([self = shared_from_this(), token] { self->sendAccounts(token); });
}

void ManagerController::sendAccounts(const std::string& token) {
    const std::vector<LocalUserAccount> accounts = accounts_->peopleAccounts(currentUser_);
    std::vector<std::string> names;
    bool allAdmins = true;
    for (const auto& account : accounts) {
        names.push_back(account.name);
        allAdmins = allAdmins && account.isAdmin;
    }
    log_.info("local accounts: " + join(names, ", "));

    if (accounts.empty()) {
        postAlert("No usable accounts found",
                  "Tarvo couldn't find a standard user account on this Mac. Create a "
                  "non-administrator account for your child in System Settings → Users & Groups, "
                  "then run Tarvo setup again.",
                  Style::Critical);
        return;
    }
    if (allAdmins) {
        // The parent reads the warning first; the accounts go out once it is dismissed.
        queue_.post(weakCallback(shared_from_this(), [token, names](ManagerController& self) {
            std::weak_ptr<ManagerController> weak = self.shared_from_this();
            self.alert("All accounts are administrators",
                       "Every account on this Mac is an administrator, and an administrator can "
                       "turn Tarvo off. Create a standard (non-administrator) account for your "
                       "child, then assign it here.",
                       Style::Warning, [weak, token, names] {
                           if (auto self = weak.lock())
                               self->background_.run(
                                   [self, token, names] { self->sendNames(token, names); });
                       });
        }));
        return;
    }
    sendNames(token, names);
}

void ManagerController::sendNames(const std::string& token, const std::vector<std::string>& names) {
    log_.info("Sending " + std::to_string(names.size()) + " local account(s) to " +
              net::hostOf(server_->api()) + "…");
    try {
        server_->setDesktopSettings(token, names);
    } catch (const std::exception& e) {
        log_.error(std::string("SetDesktopSettings failed: ") + e.what());
        postAlert("Couldn't send accounts",
                  std::string("Tarvo couldn't reach the server to register this Mac's user "
                              "accounts.\n\n") +
                      e.what(),
                  Style::Critical);
        return;
    }
    log_.info("Accounts sent. Opening assignment page…");
    queue_.post(weakCallback(shared_from_this(), [](ManagerController& self) {
        if (auto view = self.view_.lock()) view->load(self.assignmentUrl());
    }));
}

// --- Fetching assignments ---

void ManagerController::pullAssignments() {
    background_.run([self = shared_from_this(), token = token_] { self->fetchAssignments(token); });
}

void ManagerController::fetchAssignments(const std::optional<std::string>& token) {
    log_.info("Saving assignments…");
    std::vector<std::string> children;
    try {
        children = server_->getUsersForDeviceId();
        log_.info("GetUsersForDeviceId → " + listNotation(children));
    } catch (const std::exception& e) {
        log_.warn(std::string("GetUsersForDeviceId failed (") + e.what() +
                  "); trying GetChildAccountDevices");
        if (token) {
            try {
                for (const auto& [name, device] : server_->getChildAccountDevices(*token))
                    children.push_back(name);
                log_.info("GetChildAccountDevices → " + listNotation(children));
            } catch (const std::exception& e2) {
                children.clear();
                log_.warn(std::string("GetChildAccountDevices failed: ") + e2.what());
            }
        }
    }
    queue_.post(weakCallback(shared_from_this(), [children](ManagerController& self) {
        self.saveAssignments(children);
    }));
}

void ManagerController::saveAssignments(const std::vector<std::string>& childUsers) {
    if (childUsers.empty()) {
        alert("No children assigned yet",
              "Tarvo didn't get any monitored accounts back from the server. Assign at least one "
              "child to a Mac account on the web page, then try again.",
              Style::Warning);
        log_.info("No assignments returned.");
        return;
    }
    try {
        writeConfig(childUsers);
    } catch (const std::exception& e) {
        log_.error(std::string("config write failed: ") + e.what());
        alert("Couldn't save settings",
              std::string("Tarvo couldn't write its configuration file.\n\n") + e.what() +
                  "\n\nMake sure Tarvo is installed (the installer creates the folder this app "
                  "writes to).",
              Style::Critical);
        return;
    }
    const std::string names = join(childUsers, ", ");
    log_.info("Saved. Monitoring: " + names);
    alert("Setup complete",
          "Tarvo is now monitoring: " + names +
              "\n\nFiltering starts the next time they log in. If one of them is already logged "
              "in, log them out and back in to activate it.",
          Style::Informational);
}

// --- The configuration file ---

void ManagerController::writeConfig(const std::vector<std::string>& childUsers) {
    const std::string path = Paths::configFile();
    // Only a trusted file's keys are kept: another user's "api" would send
    // the next setup and every agent to a server of its choosing.
    json::Json config = SystemConfigReader(log_, path).read().object.value_or(json::Json::object());
    config["child_users"] = childUsers;
    if (!config.contains("api")) config["api"] = server_->api();
    config["updated_at"] = formatIsoUtc(clock_->now());
    config.erase("device_id");

    std::error_code ignored;
    std::filesystem::create_directories(Paths::dataDir(), ignored);

    std::string bytes;
    try {
        bytes = config.dump(2);
    } catch (const json::Json::exception& e) {
        throw ConfigWriteError(EINVAL,
                               std::string("Couldn't encode the configuration: ") + e.what());
    }

    // Readers see the old file or the whole new one, never with another mode.
    AtomicWriteOptions write;
    write.mode = 0644;
    write.tempName =
        std::filesystem::path(path).filename().string() + ".tmp." + std::to_string(::getpid());
    try {
        replaceFileAtomically(path, bytes, write);
    } catch (const AtomicWriteError& e) {
        const std::string errnoText = " (errno " + std::to_string(e.code().value()) + ").";
        if (e.step() == AtomicWriteError::Step::rename)
            throw ConfigWriteError(e.code().value(), "Couldn't replace " + path + errnoText);
        throw ConfigWriteError(e.code().value(), "Couldn't write " + e.file() + errnoText);
    }
    log_.info("wrote config.json with child_users=" + listNotation(childUsers));
}

// --- Alerts ---

void ManagerController::postAlert(std::string title, std::string text, Style style) {
    queue_.post(weakCallback(shared_from_this(),
                             [title = std::move(title), text = std::move(text),
                              style](ManagerController& self) { self.alert(title, text, style); }));
}

void ManagerController::alert(const std::string& title, const std::string& text, Style style,
                              std::function<void()> dismissed) {
    if (auto view = view_.lock()) view->presentAlert(title, text, style, std::move(dismissed));
}

// --- Text helpers ---

std::string ManagerController::bridgeSummary(std::string_view text) {
    const std::string_view verb = text.substr(0, text.find('|'));
    return prefixCharacters(verb, 80) + " (" + std::to_string(characterCount(text)) +
           " characters)";
}

std::string ManagerController::listNotation(const std::vector<std::string>& names) {
    std::string out = "[";
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) out += ", ";
        out += '"';
        for (char c : names[i]) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "]";
}

}  // namespace tarvo
