#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/HardwareIdentity.h"
#include "platform/SystemLog.h"

namespace tarvo::platform {

// Records every system-log record so tests can read what reached the OS log.
class FakeSystemLog : public SystemLog {
  public:
    struct Record {
        std::string category;
        Type type;
        std::string message;
    };
    void write(const std::string& category, Type type, const std::string& message) override {
        std::lock_guard lock(mutex_);
        records_.push_back({category, type, message});
    }
    std::vector<Record> records() const {
        std::lock_guard lock(mutex_);
        return records_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Record> records_;
};

class FakeHardwareIdentity : public HardwareIdentity {
  public:
    explicit FakeHardwareIdentity(std::optional<std::string> uuid = std::nullopt)
        : uuid_(std::move(uuid)) {}
    std::optional<std::string> platformUuid() const override { return uuid_; }
    void set(std::optional<std::string> uuid) { uuid_ = std::move(uuid); }

  private:
    std::optional<std::string> uuid_;
};

class FakeHostInfo : public HostInfo {
  public:
    explicit FakeHostInfo(std::string name = "test-host") : name_(std::move(name)) {}
    std::string hostName() const override { return name_; }

  private:
    std::string name_;
};

}  // namespace tarvo::platform
