#include "platform/system/SdLoginSessions.h"

#include <systemd/sd-login.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tarvo::platform {
namespace {

struct FreeString {
    void operator()(char* p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeString>;

std::string failure(const std::string& what, int r) {
    return what + ": " + std::strerror(-r);
}

void note(std::string& error, const std::string& text) {
    error += (error.empty() ? "" : "; ") + text;
}

}  // namespace

LoginSessionList SdLoginSessions::sessionsOf(uid_t uid) {
    LoginSessionList list;
    char** ids = nullptr;
    // Every session, whatever its state: which states count is the caller's.
    const int n = ::sd_uid_get_sessions(uid, -1, &ids);
    const std::string user = "/run/systemd/users/" + std::to_string(uid);
    if (n < 0) {
        // No record at all: the user is not logged in, or there is no logind.
        if (n != -ENOENT && n != -ENXIO) list.error = failure(user, n);
        return list;
    }
    for (int i = 0; i < n; ++i) {
        CString id(ids[i]);
        const std::string name = id.get();
        const std::string where = "/run/systemd/sessions/" + name;
        char* rawState = nullptr;
        const int r = ::sd_session_get_state(name.c_str(), &rawState);
        CString state(rawState);
        // A session that went between the two reads is simply gone.
        if (r == -ENXIO || r == -ENOENT) continue;
        if (r < 0) {
            note(list.error, failure(where, r));
            continue;
        }
        uid_t owner = 0;
        const int u = ::sd_session_get_uid(name.c_str(), &owner);
        if (u < 0) {
            if (u != -ENXIO && u != -ENOENT) note(list.error, failure(where, u));
            continue;
        }
        // Listed under this user but recorded as someone else's: not trusted.
        if (owner != uid) {
            note(list.error,
                 where + ": belongs to uid " + std::to_string(owner) + ", listed in " + user);
            continue;
        }
        list.sessions.push_back({name, state.get()});
    }
    std::free(ids);
    return list;
}

}  // namespace tarvo::platform
