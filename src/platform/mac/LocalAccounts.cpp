#include "platform/mac/LocalAccounts.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <set>

#include "core/Paths.h"
#include "core/Subprocess.h"
#include "core/Text.h"

namespace tarvo::LocalAccounts {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

template <class Pred>
std::string_view trimIf(std::string_view s, Pred pred) {
    while (!s.empty() && pred(s.front())) s.remove_prefix(1);
    while (!s.empty() && pred(s.back())) s.remove_suffix(1);
    return s;
}

const std::string kLocalNode = ".";

}  // namespace

std::optional<std::string> run(const std::string& tool, const std::vector<std::string>& args) {
    ProcessOptions options;
    // A directory service that hangs must not hold the setup flow for ever.
    options.timeout = std::chrono::seconds(30);
    ProcessResult result = runProcess(tool, args, options);
    if (!result.succeeded() || !text::isValidUtf8(result.out)) return std::nullopt;
    return std::move(result.out);
}

std::vector<std::string> admins() {
    auto out = run(Paths::dsclTool(), {kLocalNode, "-read", "/Groups/admin", "GroupMembership"});
    if (!out) return {};
    std::string text = *out;
    static constexpr std::string_view kLabel = "GroupMembership:";
    for (size_t at; (at = text.find(kLabel)) != std::string::npos;) text.erase(at, kLabel.size());
    return text::splitDropEmpty(text, " \n");
}

std::vector<std::string> dsclList(const std::string& path) {
    auto out = run(Paths::dsclTool(), {kLocalNode, "-list", path});
    if (!out) return {};
    return text::splitDropEmpty(*out, "\n");
}

std::optional<std::string> parseReadOutput(std::string_view output, const std::string& key) {
    const std::string_view text = text::trimWhitespace(output);
    const std::string label = key + ":";
    if (const size_t at = text.find(label); at != std::string_view::npos) {
        const std::string_view value = text::trimWhitespace(text.substr(at + label.size()));
        if (!value.empty()) return std::string(value);
    }
    const std::vector<std::string> lines = text::splitDropEmpty(text, "\n");
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

}  // namespace tarvo::LocalAccounts
