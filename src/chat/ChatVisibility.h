#pragma once

#include "platform/UserSession.h"

namespace tarvo::ChatVisibility {

// True when the login session's screen is locked, or when its lock state
// cannot be read: a message is only reported as read when the child can
// really see it.
bool isSessionLocked(const platform::UserSession& session);

}  // namespace tarvo::ChatVisibility
