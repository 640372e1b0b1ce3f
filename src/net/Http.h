#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvo::net {

// HTTP(S) on libcurl for every client of the service. Requests never go
// through a proxy, whatever the environment or the system settings say: the
// system web proxy is our own filtering proxy. On Linux SSL_CERT_FILE, when
// set, names the trusted authorities.

struct QueryItem {
    std::string name;
    std::string value;
};

// Percent-encodes everything but RFC 3986's unreserved characters.
std::string percentEncode(std::string_view text);
// `base` with `path` appended as a path component: exactly one "/" between
// them, whether or not the base ends in "/"; a path in the base stays in front.
std::string appendPath(std::string_view base, std::string_view path);
// `url` with the query items appended in order, values percent-encoded.
std::string withQuery(std::string_view url, const std::vector<QueryItem>& items);
// True for an absolute http(s) URL with a host ("https://example.com/x").
bool isHttpUrl(std::string_view text);
// True when `text` parses as a URL with a scheme (any scheme).
bool parsesAsUrl(std::string_view text);
// "scheme://host:port" of an absolute http(s) URL, the host lower-cased and
// the port explicit (80, 443 by default); none for anything else (about:blank,
// data:, a relative or unparsable text).
std::optional<std::string> originOf(std::string_view url);
// The host of an absolute http(s) URL as a person reads it (an IPv6 address
// without its brackets); empty for anything else.
std::string hostOf(std::string_view url);

struct Request {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> body;
    // The transfer fails when no byte moves for this long (connecting included).
    std::chrono::milliseconds idleTimeout{30000};
    // The transfer fails when it takes longer than this in all.
    std::optional<std::chrono::milliseconds> totalTimeout;
    // When set, each piece of the body goes here as it arrives instead of into
    // Response::body; returning false ends the transfer (not an error).
    std::function<bool(std::string_view)> onData;
    // When set, called once with the HTTP status before the first piece of
    // the body is handed on; returning false ends the transfer (not an error).
    std::function<bool(long)> onStatus;
    // Polled several times a second; true ends the transfer (not an error).
    std::function<bool()> cancelled;
};

struct Response {
    long status = 0;  // 0: the peer did not answer with HTTP
    std::string body;
    bool stoppedByCaller = false;  // onData returned false or cancelled() held
};

// No connection, time-out, TLS failure, malformed answer: the request never
// got an HTTP status.
class TransportError : public std::runtime_error {
  public:
    TransportError(int code, const std::string& message)
        : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

  private:
    int code_;
};

// Performs one request and waits for it. Throws TransportError.
Response perform(const Request& request);

}  // namespace tarvo::net
