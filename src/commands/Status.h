#pragma once

#include <iosfwd>

namespace tarvo::Status {

// The machine-wide state the daemon and the agents keep, for an
// administrator at a terminal: rules file, root certificate, config.json,
// network services and the presence flags. Only looks; changes nothing.
// (Not named "emit": Qt defines that word as a macro.)
void report(std::ostream& out);

}  // namespace tarvo::Status
