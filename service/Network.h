#pragma once

// Source addresses: networks given as CIDR, and the client's address behind
// the load balancers the operator names.
#include <array>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::service {

// An IPv4 or IPv6 address; IPv4 is kept as its IPv4-mapped IPv6 form, so
// "1.2.3.4" and "::ffff:1.2.3.4" are the same address.
struct IpAddress {
    std::array<unsigned char, 16> bytes{};
    static std::optional<IpAddress> parse(const std::string& text);
    bool isV4() const;
    std::string text() const;  // canonical: dotted for IPv4
};

struct Network {
    IpAddress base;
    int prefix = 0;  // in bits of the 128-bit form
    // "10.0.0.0/8", "fd00::/8", or one address ("192.0.2.7": a /32).
    static std::optional<Network> parse(const std::string& text);
    bool contains(const IpAddress& a) const;
};

// The client's address: `peer` itself, unless `peer` is a trusted proxy; then
// the right-most hop of `forwardedFor` (X-Forwarded-For, comma-separated) that
// is not a trusted proxy. A hop that is no address ends the walk at the proxy
// that wrote it. Always canonical text.
std::string clientAddress(const std::string& peer, const std::string& forwardedFor,
                          const std::vector<Network>& trusted);

}  // namespace tarvo::service
