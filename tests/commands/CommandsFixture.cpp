#include "CommandsFixture.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "daemon/Keychain.h"

namespace tarvo::test {

CommandRoot::CommandRoot() : resources_("TARVO_RESOURCES", root_.path() + "/Resources") {
    ::chmod(path().c_str(), 0755);  // reachable by the unprivileged runs
    ProcessResult made = runProcess(sourceDir() + "/scripts/make-root", {path()});
    EXPECT_TRUE(made.succeeded()) << made.launchError << made.err;
    ProcessResult ca = runProcess(sourceDir() + "/scripts/make-test-ca", {resources()});
    EXPECT_TRUE(ca.succeeded()) << ca.launchError << ca.err;
}

void CommandRoot::trustCertificate() {
    ASSERT_TRUE(Keychain::installRootCert(resources() + "/rootCert.pem"));
    ASSERT_TRUE(Keychain::isRootCertInstalled());
}

void CommandRoot::setServices(const std::vector<std::string>& services) {
    std::string text;
    for (const auto& s : services) text += s + "\n";
    writeText(path() + "/.standins/networksetup/services", text);
}

std::pair<bool, bool> CommandRoot::proxyStates(const std::string& service) const {
    std::ifstream in(path() + "/.standins/networksetup/state.json");
    const auto state = nlohmann::json::parse(in, nullptr, false);
    auto enabled = [&](const char* kind) {
        return state.is_object() && state.contains(service) && state[service].contains(kind) &&
               state[service][kind].value("enabled", false);
    };
    return {enabled("web"), enabled("secureweb")};
}

std::vector<std::string> CommandRoot::launchctlCalls() const {
    const std::string log = path() + "/.standins/launchctl/calls.log";
    return exists(log) ? readLines(log) : std::vector<std::string>{};
}

ProcessResult runTarvo(const std::vector<std::string>& args) {
    return runProcess(tarvoBinary(), args);
}

ProcessResult runTarvoAsNobody(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--reuid=65534", "--regid=65534", "--clear-groups", "--",
                                    tarvoBinary()};
    all.insert(all.end(), args.begin(), args.end());
    return runProcess("/usr/bin/setpriv", all);
}

}  // namespace tarvo::test
