#include "launcher/Usage.h"

#include "core/Version.h"

namespace tarvo::launcher {

const std::string& usage() {
    static const std::string text =
        std::string("tarvo ") + appVersion +
        "\n"
        "usage: tarvo <subcommand> [args]\n"
        "  manager         parent setup GUI \xE2\x80\x94 sign in and assign child accounts "
        "(default)\n"
        "  daemon          run the privileged supervisor (LaunchDaemon entry point)\n"
        "  agent           run the per-user agent (LaunchAgent entry point)\n"
        "  install-cert    add the bundled root cert to the System keychain (root)\n"
        "  uninstall       stop launchd jobs, clear proxy, remove cert + state (root)\n"
        "  status          print runtime status\n"
        "  check-update    check for and install an update now (root)\n"
        "  version         print version";
    return text;
}

}  // namespace tarvo::launcher
