#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvo {

// One real local user of this computer.
struct LocalUserAccount {
    std::string name;      // short name
    std::string fullName;  // the person's name, empty when the account has none
    std::uint32_t uid = 0;
    bool isAdmin = false;        // an administrator of this computer
    bool isCurrentUser = false;  // the user running the setup window

    bool operator==(const LocalUserAccount&) const = default;
};

namespace platform {

// The computer's user accounts, as the setup window offers them.
class AccountDirectory {
  public:
    virtual ~AccountDirectory() = default;
    // The accounts people log in with, sorted by short name; `currentUser`
    // marks the one running the setup window.
    virtual std::vector<LocalUserAccount> peopleAccounts(const std::string& currentUser) = 0;
    // Short names of the administrators.
    virtual std::vector<std::string> administrators() = 0;
};

}  // namespace platform
}  // namespace tarvo
