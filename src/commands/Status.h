#pragma once

#include <iosfwd>

#include "platform/CertificateTrust.h"
#include "platform/SystemProxy.h"

namespace tarvo::Status {

// The machine-wide state the daemon and the agents keep, for an
// administrator at a terminal: rules file, root certificate, config.json,
// the system web proxy and the presence flags. Only looks; changes nothing.
// (Not named "emit": Qt defines that word as a macro.)
void report(std::ostream& out, platform::SystemProxy& proxy, platform::CertificateTrust& trust);

}  // namespace tarvo::Status
