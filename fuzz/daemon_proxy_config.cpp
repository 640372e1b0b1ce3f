// proxy_config.json as the root daemon reads it (the present child's agent
// writes it) on arbitrary bytes: no crash, and what reaches the proxy's
// command line is only "--username" and "--device-id", each once, in that
// order, each with a non-empty value of the file's own.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "daemon/Daemon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto args = tarvo::proxyIdentityArguments(input);
    if (args.size() % 2 != 0 || args.size() > 4) std::abort();
    for (size_t i = 0; i < args.size(); i += 2) {
        if (args[i] != "--username" && args[i] != "--device-id") std::abort();
        if (args[i + 1].empty()) std::abort();
    }
    if (args.size() == 4 && (args[0] != "--username" || args[2] != "--device-id")) std::abort();
    return 0;
}
