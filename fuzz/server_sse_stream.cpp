// The event stream's framing and classification on arbitrary bytes cut into
// arbitrary chunks: no crash, no hang, and the buffer stays bounded.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "server/ServerClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the chunk length, so splits land everywhere.
    const size_t chunk = 1 + data[0] % 16;
    std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t blocks = 0;
    tarvo::SSEDelegate delegate([&](const std::string& payload) {
        ++blocks;
        (void)tarvo::ServerClient::classifySSEPayload(payload, "FUZZ");
    });
    while (!input.empty()) {
        const size_t n = std::min(chunk, input.size());
        delegate.didReceive(input.substr(0, n));
        input.remove_prefix(n);
    }
    if (delegate.buffer().size() > size) std::abort();
    return 0;
}
