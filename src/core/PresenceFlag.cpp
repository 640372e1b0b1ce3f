#include "core/PresenceFlag.h"

namespace tarvo::presence {

bool isFlagName(std::string_view name) {
    constexpr std::string_view suffix = ".flag";
    return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
}

bool isFresh(WallTime modified, WallTime now) {
    return modified > now - kWindow && modified <= now + kWindow;
}

}  // namespace tarvo::presence
