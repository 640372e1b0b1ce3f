#include "platform/mac/ProxyConfig.h"

#include "core/Paths.h"
#include "core/Subprocess.h"
#include "core/Text.h"

namespace tarvo::ProxyConfig {

std::string run(const std::string& tool, const std::vector<std::string>& args) {
    ProcessOptions options;
    options.mergeStderr = true;
    // A hung tool must not hold the daemon's main thread for ever.
    options.timeout = std::chrono::seconds(30);
    ProcessResult result = runProcess(tool, args, options);
    if (!result.launched || !text::isValidUtf8(result.out)) return {};
    return result.out;
}

std::vector<std::string> networkServices() {
    std::vector<std::string> lines =
        text::splitDropEmpty(run(Paths::networksetupTool(), {"-listallnetworkservices"}), "\n");
    std::vector<std::string> services;
    // The first line is the tool's note that an asterisk marks a disabled service.
    for (size_t i = 1; i < lines.size(); ++i)
        if (!lines[i].empty() && lines[i].front() != '*') services.push_back(lines[i]);
    return services;
}

void applyAll(const std::string& host, int port) {
    const std::string tool = Paths::networksetupTool();
    const std::string portText = std::to_string(port);
    for (const std::string& service : networkServices()) {
        run(tool, {"-setwebproxy", service, host, portText});
        run(tool, {"-setsecurewebproxy", service, host, portText});
        run(tool, {"-setwebproxystate", service, "on"});
        run(tool, {"-setsecurewebproxystate", service, "on"});
    }
}

void clearAll() {
    const std::string tool = Paths::networksetupTool();
    for (const std::string& service : networkServices()) {
        run(tool, {"-setwebproxystate", service, "off"});
        run(tool, {"-setsecurewebproxystate", service, "off"});
    }
}

}  // namespace tarvo::ProxyConfig
