#pragma once

#include <memory>
#include <string>

namespace tarvo::platform {

// The operating system's log. On macOS the unified log (subsystem "app.tarvo");
// on Linux syslog(3) with the category in the ident.
class SystemLog {
  public:
    enum class Type { Debug, Info, Default, Error };
    virtual ~SystemLog() = default;
    virtual void write(const std::string& category, Type type, const std::string& message) = 0;
};

// The process-wide system log used by loggers that were not handed one.
// Defaults to the platform's own implementation.
std::shared_ptr<SystemLog> defaultSystemLog();
void setDefaultSystemLog(std::shared_ptr<SystemLog> log);

}  // namespace tarvo::platform
