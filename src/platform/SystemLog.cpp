#include "platform/SystemLog.h"

#include <mutex>

#include "platform/linux/LinuxSystemLog.h"

namespace tarvo::platform {
namespace {
std::mutex& logMutex() {
    static std::mutex m;
    return m;
}
std::shared_ptr<SystemLog>& logStorage() {
    static std::shared_ptr<SystemLog> log;
    return log;
}
}  // namespace

std::shared_ptr<SystemLog> defaultSystemLog() {
    std::lock_guard lock(logMutex());
    auto& log = logStorage();
    if (!log) log = std::make_shared<LinuxSystemLog>();
    return log;
}

void setDefaultSystemLog(std::shared_ptr<SystemLog> log) {
    std::lock_guard lock(logMutex());
    logStorage() = std::move(log);
}

}  // namespace tarvo::platform
