#include "agent/UsageReporter.h"

#include <limits>

namespace tarvo {

UsageReporter::UsageReporter(std::shared_ptr<const Clock> clock, Background& background,
                             std::shared_ptr<ServerClient> server)
    : UsageReporter(std::move(clock), background,
                    [server = std::move(server)](const std::vector<ServerClient::UsageEntry>& e) {
                        if (server) server->reportUsage(e);
                    }) {}

UsageReporter::UsageReporter(std::shared_ptr<const Clock> clock, Background& background, Send send)
    : clock_(std::move(clock)), background_(background), send_(std::move(send)) {}

void UsageReporter::recordSample(const FocusSample& sample) {
    if (!sample.bundleId || sample.bundleId->empty()) return;
    if (sample.elapsedSeconds < 1) return;
    Usage& usage = buffer_[*sample.bundleId];
    usage.name = sample.appName;
    std::int64_t sum = 0;
    usage.seconds = __builtin_add_overflow(usage.seconds, sample.elapsedSeconds, &sum)
                        ? std::numeric_limits<std::int64_t>::max()
                        : sum;
}

void UsageReporter::flushUsage() {
    if (buffer_.empty()) return;
    const WallTime now = clock_->now();
    std::vector<ServerClient::UsageEntry> entries;
    entries.reserve(buffer_.size());
    for (const auto& [bundleId, usage] : buffer_)
        entries.push_back({bundleId, usage.name, usage.seconds, now});
    buffer_.clear();
    background_.run([send = send_, entries = std::move(entries)] {
        if (send) send(entries);
    });
}

}  // namespace tarvo
