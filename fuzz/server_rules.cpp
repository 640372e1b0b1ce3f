// The readers of service documents on arbitrary bytes: they either return or
// throw their own error types.
#include <cstdint>
#include <string_view>

#include "core/Json.h"
#include "server/ServerClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    try {
        auto rules = tarvo::ServerClient::parseRules(input, "FUZZ");
        for (const auto& w : rules.accessWindows)
            if (w.dayOfWeek < 0 || w.dayOfWeek > 6) __builtin_trap();
    } catch (const tarvo::ServerError&) {
    } catch (const tarvo::JsonError&) {
    }
    try {
        (void)tarvo::ServerClient::parseAppLimits(input);
    } catch (const tarvo::ServerError&) {
    } catch (const tarvo::JsonError&) {
    }
    (void)tarvo::ServerClient::parseApproval(input);
    if (auto doc = tarvo::json::parse(input)) (void)tarvo::AccessWindows::parse(*doc);
    (void)tarvo::AccessWindows::hhmm(input);
    return 0;
}
