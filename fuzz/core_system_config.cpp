// config.json's settings on arbitrary bytes (a child cannot replace the file
// any more, but an administrator's tools or a broken disk can hand it
// anything). No crash; settings only from a JSON object; a list of children
// holds only what the file listed, in order; and reading the object back as
// text gives the same settings.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/SystemConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const tarvo::SystemConfig config = tarvo::SystemConfig::fromText(input);
    if (!config.trusted()) {
        if (config.childUsers || config.api || config.deviceId || config.updateUrl) std::abort();
        return 0;
    }
    if (!config.object->is_object()) std::abort();
    if (config.childUsers) {
        const auto& list = config.object->at("child_users");
        if (!list.is_array() || list.size() != config.childUsers->size()) std::abort();
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].get<std::string>() != (*config.childUsers)[i]) std::abort();
    }
    const std::string again =
        config.object->dump(-1, ' ', false, tarvo::json::Json::error_handler_t::replace);
    const tarvo::SystemConfig back = tarvo::SystemConfig::fromText(again);
    if (!back.trusted()) std::abort();
    // Text with broken UTF-8 comes back with replacement characters, so only
    // the presence of each setting is compared then.
    if (back.childUsers.has_value() != config.childUsers.has_value() ||
        back.api.has_value() != config.api.has_value() ||
        back.deviceId.has_value() != config.deviceId.has_value() ||
        back.updateUrl.has_value() != config.updateUrl.has_value())
        std::abort();
    return 0;
}
