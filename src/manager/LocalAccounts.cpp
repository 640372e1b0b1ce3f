#include "manager/LocalAccounts.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <set>

#include "core/Paths.h"
#include "core/Subprocess.h"

namespace tarvo::LocalAccounts {
namespace {

bool isSpaceOrLineEnd(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

template <class Pred>
std::string_view trimIf(std::string_view s, Pred pred) {
    while (!s.empty() && pred(s.front())) s.remove_prefix(1);
    while (!s.empty() && pred(s.back())) s.remove_suffix(1);
    return s;
}

std::vector<std::string> splitDropEmpty(std::string_view s, std::string_view separators) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i <= s.size(); ++i) {
        if (i == s.size() || separators.find(s[i]) != std::string_view::npos) {
            if (i > start) out.emplace_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

bool validUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3, cp = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i <= n) return false;  // the sequence is cut off
        for (size_t k = 1; k <= n; ++k) {
            const unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

const std::string kLocalNode = ".";

}  // namespace

std::optional<std::string> run(const std::string& tool, const std::vector<std::string>& args) {
    ProcessOptions options;
    // A directory service that hangs must not hold the setup flow for ever.
    options.timeout = std::chrono::seconds(30);
    ProcessResult result = runProcess(tool, args, options);
    if (!result.succeeded() || !validUtf8(result.out)) return std::nullopt;
    return std::move(result.out);
}

std::vector<std::string> admins() {
    auto out = run(Paths::dsclTool(), {kLocalNode, "-read", "/Groups/admin", "GroupMembership"});
    if (!out) return {};
    std::string text = *out;
    static constexpr std::string_view kLabel = "GroupMembership:";
    for (size_t at; (at = text.find(kLabel)) != std::string::npos;) text.erase(at, kLabel.size());
    return splitDropEmpty(text, " \n");
}

std::vector<std::string> dsclList(const std::string& path) {
    auto out = run(Paths::dsclTool(), {kLocalNode, "-list", path});
    if (!out) return {};
    return splitDropEmpty(*out, "\n");
}

std::optional<std::string> parseReadOutput(std::string_view output, const std::string& key) {
    const std::string_view text = trimIf(output, isSpaceOrLineEnd);
    const std::string label = key + ":";
    if (const size_t at = text.find(label); at != std::string_view::npos) {
        const std::string_view value = trimIf(text.substr(at + label.size()), isSpaceOrLineEnd);
        if (!value.empty()) return std::string(value);
    }
    const std::vector<std::string> lines = splitDropEmpty(text, "\n");
    if (lines.size() < 2) return std::nullopt;
    return std::string(trimIf(lines[1], isBlank));
}

std::optional<std::string> dsclRead(const std::string& path, const std::string& key) {
    auto out = run(Paths::dsclTool(), {kLocalNode, "-read", path, key});
    if (!out) return std::nullopt;
    return parseReadOutput(*out, key);
}

std::optional<std::uint32_t> parseUniqueId(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::vector<LocalUserAccount> enumerateRealUsers(const std::string& currentUser) {
    std::set<std::string> adminSet;
    for (std::string name : admins()) {
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        adminSet.insert(std::move(name));
    }

    std::vector<LocalUserAccount> accounts;
    for (const std::string& name : dsclList("/Users")) {
        if (name.front() == '_') continue;
        if (std::find(std::begin(kExcludedNames), std::end(kExcludedNames), name) !=
            std::end(kExcludedNames))
            continue;
        const std::string record = "/Users/" + name;
        const auto uidText = dsclRead(record, "UniqueID");
        if (!uidText || uidText->empty()) continue;
        const auto uid = parseUniqueId(*uidText);
        if (!uid || *uid < 500) continue;
        const auto home = dsclRead(record, "NFSHomeDirectory");
        if (!home || home->empty() || *home == "/var/empty" || *home == "/dev/null") continue;

        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        accounts.push_back({name, dsclRead(record, "RealName").value_or(""), *uid,
                            adminSet.count(lower) > 0, name == currentUser});
    }
    std::stable_sort(accounts.begin(), accounts.end(),
                     [](const auto& a, const auto& b) { return a.name < b.name; });
    return accounts;
}

std::vector<LocalUserAccount> enumerateRealUsers() {
    return enumerateRealUsers(currentUserName());
}

std::string currentUserName() {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name) return pw->pw_name;
    if (const char* user = std::getenv("USER")) return user;
    return {};
}

}  // namespace tarvo::LocalAccounts
