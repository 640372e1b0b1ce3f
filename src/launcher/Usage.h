#pragma once

#include <string>

namespace tarvo::launcher {

// "tarvo 0.2.15" followed by the usage block; no newline of its own at the end.
const std::string& usage();

}  // namespace tarvo::launcher
