#pragma once

namespace tarvo {

// The program-wide version: sent on check-in, compared with the update manifest,
// carried by the chat status report.
inline constexpr const char* appVersion = "0.2.15";

}  // namespace tarvo
