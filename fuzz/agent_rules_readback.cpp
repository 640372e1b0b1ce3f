// The rules file as the agent reads it back before replacing it (the
// present child, or a sibling before the hand-over, wrote it) on arbitrary
// bytes: no crash; lists only from a JSON object, and only the file's own
// strings, in order.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "agent/RulesFile.h"
#include "core/Json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto lists = tarvo::RulesFile::parseExistingLists(input);
    const auto doc = tarvo::json::parse(input);
    if (lists.has_value() != (doc && doc->is_object())) std::abort();
    if (!lists) return 0;
    for (const auto& [key, got] :
         {std::pair{"whitelist", &lists->whitelist}, {"blacklist", &lists->blacklist}}) {
        const auto want = tarvo::json::stringList(*doc, key);
        if (want ? *want != *got : !got->empty()) std::abort();
    }
    return 0;
}
