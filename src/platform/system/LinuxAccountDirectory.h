#pragma once

#include <string_view>

#include "platform/AccountDirectory.h"

namespace tarvo::platform {

// The passwd and group databases (through the name service, so whatever the
// machine is set up to use). People's accounts have a uid from 1000 to 60000
// and a login shell; administrators are the members of sudo, wheel or admin,
// by membership or as their primary group.
class LinuxAccountDirectory : public AccountDirectory {
  public:
    static constexpr std::uint32_t kFirstPersonUid = 1000;
    static constexpr std::uint32_t kLastPersonUid = 60000;

    std::vector<LocalUserAccount> peopleAccounts(const std::string& currentUser) override;
    std::vector<std::string> administrators() override;

    // A shell someone can log in with: not nologin, not false (an empty
    // shell field means /bin/sh).
    static bool isLoginShell(std::string_view shell);
};

}  // namespace tarvo::platform
