#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/Paths.h"
#include "core/Subprocess.h"
#include "support/TestSupport.h"

// The setup window's fixtures, for its logic here and for the real window in
// tests/webview.
namespace tarvo::test {

// A dscl account: a name, a uid and a home under /Users.
inline nlohmann::json account(const std::string& name, int uid) {
    return {
        {"name", name}, {"UniqueID", std::to_string(uid)}, {"NFSHomeDirectory", "/Users/" + name}};
}

// A throw-away root with the stand-in tools (scripts/make-root); the dscl
// stand-in answers with the accounts set.
struct SetupRoot : TempRoot {
    SetupRoot() {
        ProcessResult made = runProcess(sourceDir() + "/scripts/make-root", {path()});
        EXPECT_TRUE(made.succeeded()) << made.launchError << made.err;
    }
    void setAccounts(const nlohmann::json& users, const nlohmann::json& admins) const {
        writeText(path() + "/.standins/dscl/fixture.json",
                  nlohmann::json{{"users", users}, {"groups", {{"admin", admins}}}}.dump(1));
    }
};

}  // namespace tarvo::test
