#include "platform/linux/LinuxUserSession.h"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace tarvo::platform {
namespace {

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// The value of `name=` in loginctl's property output; none when the line is missing.
std::optional<std::string> property(const std::string& output, const std::string& name) {
    std::istringstream in(output);
    const std::string prefix = name + "=";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) == 0) return trim(line.substr(prefix.size()));
    }
    return std::nullopt;
}

// Session ids are short tokens ("3", "c1"); anything else is not passed to a tool.
bool plausibleSessionId(const std::string& id) {
    if (id.empty() || id.size() > 64) return false;
    for (char c : id)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
    return true;
}

}  // namespace

LinuxUserSession::LinuxUserSession(Options options) : options_(std::move(options)), uid_(getuid()) {
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(uid_, &pw, buf.data(), buf.size(), &found) == 0 && found) {
        userName_ = found->pw_name ? found->pw_name : "";
        if (found->pw_gecos) fullName_ = fullNameFromGecos(found->pw_gecos, userName_).value_or("");
    }
    if (userName_.empty()) {
        // No passwd entry (a container with an arbitrary uid): the environment's word.
        const char* user = std::getenv("USER");
        userName_ = user && *user ? user : std::to_string(uid_);
    }
    if (fullName_.empty()) fullName_ = userName_;
}

std::optional<std::string> LinuxUserSession::fullNameFromGecos(const std::string& gecos,
                                                               const std::string& login) {
    std::string name = gecos.substr(0, gecos.find(','));
    std::string out;
    for (char c : name) {
        if (c == '&' && !login.empty()) {
            std::string cap = login;
            cap[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(cap[0])));
            out += cap;
        } else {
            out += c;
        }
    }
    out = trim(out);
    if (out.empty()) return std::nullopt;
    return out;
}

std::optional<bool> LinuxUserSession::parseLockedHint(const std::string& output) {
    auto value = property(output, "LockedHint");
    if (!value) return std::nullopt;
    if (*value == "yes") return true;
    if (*value == "no") return false;
    return std::nullopt;
}

std::string LinuxUserSession::userName() const {
    return userName_;
}
std::string LinuxUserSession::fullName() const {
    return fullName_;
}
uid_t LinuxUserSession::uid() const {
    return uid_;
}

std::optional<double> LinuxUserSession::idleSeconds() const {
    return options_.idle ? options_.idle() : std::nullopt;
}

std::optional<std::string> LinuxUserSession::session() const {
    if (options_.sessionId) {
        if (plausibleSessionId(*options_.sessionId)) return options_.sessionId;
        return std::nullopt;
    }
    if (const char* env = std::getenv("XDG_SESSION_ID"); env && plausibleSessionId(env))
        return std::string(env);
    if (!options_.run) return std::nullopt;
    // Started outside a logind session (a LaunchAgent-like service): the
    // user's graphical session is the one to watch.
    auto r = options_.run(options_.loginctl, {"show-user", std::to_string(uid_), "-p", "Display"});
    if (!r.succeeded) return std::nullopt;
    auto display = property(r.out, "Display");
    if (!display || !plausibleSessionId(*display)) return std::nullopt;
    return display;
}

std::optional<bool> LinuxUserSession::screenLocked() const {
    if (!options_.run) return std::nullopt;
    auto id = session();
    if (!id) return std::nullopt;
    auto r = options_.run(options_.loginctl, {"show-session", *id, "-p", "LockedHint"});
    if (!r.succeeded) return std::nullopt;
    return parseLockedHint(r.out);
}

bool LinuxUserSession::logOut() {
    if (!options_.run) return false;
    auto id = session();
    if (!id) return false;
    return options_.run(options_.loginctl, {"terminate-session", *id}).succeeded;
}

}  // namespace tarvo::platform
