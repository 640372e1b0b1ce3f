#include "chat/ChatVisibility.h"

namespace tarvo::ChatVisibility {

bool isSessionLocked(const platform::UserSession& session) {
    return session.screenLocked().value_or(true);
}

}  // namespace tarvo::ChatVisibility
