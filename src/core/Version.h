#pragma once

namespace tarvo {

// The program-wide version: sent on check-in, compared with the update manifest,
// carried by the chat status report. Set at configure time (-DTARVO_VERSION=),
// in one object, so a build of another version recompiles only that one.
extern const char* const appVersion;

// The service's base URL when neither the environment nor config.json names
// one (the service client and the updater alike).
inline constexpr const char* defaultServiceBase = "https://tarvo.app/";

}  // namespace tarvo
