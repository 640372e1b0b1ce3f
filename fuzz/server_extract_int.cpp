// extractInt on arbitrary text: no crash, no hang (it scans in linear time).
#include <cstdint>
#include <string_view>

#include "server/ServerClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    static const std::vector<std::string> tags = {"m", "minutes", "granted_minutes"};
    (void)tarvo::ServerClient::extractInt(input, tags);
    return 0;
}
