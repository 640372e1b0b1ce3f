#pragma once

#include "platform/LoginSessions.h"

namespace tarvo::platform {

// logind's records through sd-login, which reads the files under
// /run/systemd (users/UID, sessions/ID) and needs no bus connection.
class SdLoginSessions : public LoginSessions {
  public:
    LoginSessionList sessionsOf(uid_t uid) override;
};

}  // namespace tarvo::platform
