#include "platform/linux/LinuxSystemLog.h"

#include <syslog.h>

namespace tarvo::platform {

void LinuxSystemLog::write(const std::string& category, Type type, const std::string& message) {
    int priority = LOG_INFO;
    switch (type) {
        case Type::Debug:
            priority = LOG_DEBUG;
            break;
        case Type::Info:
            priority = LOG_INFO;
            break;
        case Type::Default:
            priority = LOG_NOTICE;
            break;
        case Type::Error:
            priority = LOG_ERR;
            break;
    }
    // openlog is not needed: the ident defaults to the program name, and the
    // category travels in the record itself.
    syslog(LOG_USER | priority, "app.tarvo[%s]: %s", category.c_str(), message.c_str());
}

}  // namespace tarvo::platform
