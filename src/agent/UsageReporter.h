#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/FocusMonitor.h"
#include "core/Background.h"
#include "core/Clock.h"
#include "server/ServerClient.h"

namespace tarvo {

// The agent's usage buffer: foreground seconds per bundle identifier since
// the last flush, reported to the service as one batch per flush. Main
// thread only; the report itself runs on the Background, on a copy.
class UsageReporter {
  public:
    struct Usage {
        std::string name;
        std::int64_t seconds = 0;

        bool operator==(const Usage&) const = default;
    };
    // Sends one batch; blocking, never throws (ServerClient::reportUsage).
    using Send = std::function<void(const std::vector<ServerClient::UsageEntry>&)>;

    UsageReporter(std::shared_ptr<const Clock> clock, Background& background,
                  std::shared_ptr<ServerClient> server);
    // For owners that deliver batches some other way.
    UsageReporter(std::shared_ptr<const Clock> clock, Background& background, Send send);

    // Adds a sample to its application's entry (the latest name wins).
    // Samples without a bundle identifier are dropped.
    void recordSample(const FocusSample& sample);
    // Empties the buffer into one report started on the Background; the
    // seconds are gone from the buffer whether or not the report succeeds.
    void flushUsage();

    const std::map<std::string, Usage>& buffer() const { return buffer_; }

  private:
    std::shared_ptr<const Clock> clock_;
    Background& background_;
    Send send_;
    std::map<std::string, Usage> buffer_;
};

}  // namespace tarvo
