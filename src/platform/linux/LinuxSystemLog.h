#pragma once

#include "platform/SystemLog.h"

namespace tarvo::platform {

// syslog(3), one record per entry, ident "tarvo" and the category as a prefix
// ("app.tarvo[agent]: message"). The message goes through "%s", never as a format.
class LinuxSystemLog : public SystemLog {
  public:
    void write(const std::string& category, Type type, const std::string& message) override;
};

}  // namespace tarvo::platform
