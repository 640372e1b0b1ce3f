// The update manifest and version texts on arbitrary bytes. A manifest that
// parses names a safe version and an https package address; version ordering
// is a strict weak order (irreflexive, antisymmetric, transitive).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/Json.h"
#include "net/Http.h"
#include "updater/Updater.h"

namespace {

using tarvo::Updater;

void checkManifest(std::string_view body) {
    std::optional<tarvo::Manifest> manifest;
    try {
        manifest = Updater::parseManifest(body);
    } catch (const tarvo::UpdateError& e) {
        if (e.kind() != tarvo::UpdateError::Kind::badManifest) std::abort();
        return;
    } catch (const tarvo::json::NotJson&) {
        if (tarvo::json::parse(body)) std::abort();
        return;
    }
    if (!manifest) return;
    if (!Updater::isSafeVersionText(manifest->version)) std::abort();
    if (manifest->url.rfind("https:", 0) != 0 || !tarvo::net::isHttpUrl(manifest->url))
        std::abort();
    if (manifest->sha256)
        for (char c : *manifest->sha256)
            if (c >= 'A' && c <= 'Z') std::abort();
}

// A version text that passes may name a file and stand in a root shell script.
void checkSafeText(std::string_view v) {
    if (!Updater::isSafeVersionText(v)) return;
    if (v.empty() || v.size() > 100) std::abort();
    static constexpr char special[] = " \t\n\r\0/\\'\"`$;&|<>()*?[]{}~!#=%^,:@";
    const std::string_view specials(special, sizeof special - 1);
    for (char c : v)
        if (specials.find(c) != std::string_view::npos) std::abort();
}

void checkOrder(std::string_view a, std::string_view b, std::string_view c) {
    const bool ab = Updater::isNewer(a, b);
    const bool ba = Updater::isNewer(b, a);
    if (Updater::isNewer(a, a)) std::abort();
    if (ab && ba) std::abort();
    const bool bc = Updater::isNewer(b, c);
    if (ab && bc && !Updater::isNewer(a, c)) std::abort();
    // Versions neither newer than the other compare alike with any third.
    if (!ab && !ba &&
        (Updater::isNewer(a, c) != bc || Updater::isNewer(c, a) != Updater::isNewer(c, b)))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    checkManifest(input);
    // Three version texts, separated by new lines.
    const size_t first = input.find('\n');
    const std::string_view a = input.substr(0, first);
    std::string_view rest =
        first == std::string_view::npos ? std::string_view() : input.substr(first + 1);
    const size_t second = rest.find('\n');
    const std::string_view b = rest.substr(0, second);
    const std::string_view c =
        second == std::string_view::npos ? std::string_view() : rest.substr(second + 1);
    checkSafeText(a);
    checkOrder(a, b, c);
    // The same three texts as the version, package address and checksum of a
    // manifest, so that the checks past the JSON reading are reached.
    const tarvo::json::Json doc = {{"version", a}, {"url", b}, {"sha256", c}};
    checkManifest(doc.dump(-1, ' ', false, tarvo::json::Json::error_handler_t::replace));
    return 0;
}
