#include "Network.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace tarvo::service {

namespace {

std::string trimmed(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool isTrusted(const IpAddress& a, const std::vector<Network>& trusted) {
    return std::any_of(trusted.begin(), trusted.end(),
                       [&](const Network& n) { return n.contains(a); });
}

}  // namespace

std::optional<IpAddress> IpAddress::parse(const std::string& text) {
    IpAddress a;
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        a.bytes[10] = a.bytes[11] = 0xff;
        std::memcpy(a.bytes.data() + 12, &v4, 4);
        return a;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        std::memcpy(a.bytes.data(), &v6, 16);
        return a;
    }
    return std::nullopt;
}

bool IpAddress::isV4() const {
    static const unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(bytes.data(), prefix, 12) == 0;
}

std::string IpAddress::text() const {
    char buf[INET6_ADDRSTRLEN] = {};
    if (isV4())
        inet_ntop(AF_INET, bytes.data() + 12, buf, sizeof buf);
    else
        inet_ntop(AF_INET6, bytes.data(), buf, sizeof buf);
    return buf;
}

std::optional<Network> Network::parse(const std::string& text) {
    const auto slash = text.find('/');
    auto base = IpAddress::parse(text.substr(0, slash));
    if (!base) return std::nullopt;
    const int bits = base->isV4() ? 32 : 128;
    int prefix = bits;
    if (slash != std::string::npos) {
        const std::string p = text.substr(slash + 1);
        if (p.empty() || p.size() > 3 || !std::all_of(p.begin(), p.end(), ::isdigit))
            return std::nullopt;
        prefix = std::stoi(p);
        if (prefix > bits) return std::nullopt;
    }
    return Network{*base, prefix + (128 - bits)};
}

bool Network::contains(const IpAddress& a) const {
    int left = prefix;
    for (size_t i = 0; i < 16 && left > 0; ++i, left -= 8) {
        const unsigned mask = left >= 8 ? 0xffu : (0xffu << (8 - left)) & 0xffu;
        if ((a.bytes[i] & mask) != (base.bytes[i] & mask)) return false;
    }
    return true;
}

std::string clientAddress(const std::string& peer, const std::string& forwardedFor,
                          const std::vector<Network>& trusted) {
    auto current = IpAddress::parse(peer);
    if (!current) return peer;
    if (trusted.empty() || !isTrusted(*current, trusted)) return current->text();
    std::vector<std::string> hops;
    size_t start = 0;
    while (start <= forwardedFor.size()) {
        const auto comma = forwardedFor.find(',', start);
        const auto end = comma == std::string::npos ? forwardedFor.size() : comma;
        hops.push_back(trimmed(forwardedFor.substr(start, end - start)));
        start = end + 1;
    }
    for (auto it = hops.rbegin(); it != hops.rend(); ++it) {
        auto hop = IpAddress::parse(*it);
        if (!hop) break;
        current = hop;
        if (!isTrusted(*hop, trusted)) break;
    }
    return current->text();
}

}  // namespace tarvo::service
