#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarvo::platform {

// Where the filtering proxy listens.
struct ProxyEndpoint {
    std::string host;
    int port = 0;
};

// What `tarvo status` shows about the system web proxy: a heading and one
// item a line.
struct ProxyReport {
    std::string heading;
    std::vector<std::string> items;
};

// The machine's web traffic sent through the filtering proxy while children
// are logged in. Calls run one at a time, off the main thread; each may wait
// for system tools.
class SystemProxy {
  public:
    virtual ~SystemProxy() = default;
    // Points the system's web traffic at `proxy`; `children` are the uids of
    // the children present (never root).
    virtual void apply(const ProxyEndpoint& proxy, const std::vector<uid_t>& children) = 0;
    // Takes back everything apply() put in place.
    virtual void clear() = 0;
    // Called on every presence tick while children stay present: puts back
    // what apply() put in place when what is in force differs from it.
    virtual void keep(const ProxyEndpoint& proxy, const std::vector<uid_t>& children) = 0;
    // What is really in force now.
    virtual ProxyReport report() = 0;
};

}  // namespace tarvo::platform
