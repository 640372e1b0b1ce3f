#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/Roles.h"
#include "core/Paths.h"
#include "launcher/RolesLibrary.h"

namespace tarvo::app {
namespace {

class Roles final : public launcher::RolesLibrary {
  public:
    int run(int argc, char** argv) override {
        Paths::makeRootAbsolute();
        // The process's paths, fixed once before any thread starts; the
        // windows library loaded later reads the same ones.
        Paths::install(Paths::layoutFrom(std::getenv, argc > 0 ? argv[0] : ""));
        const RoleContext context = RoleContext::fromProcess();
        const std::vector<std::string> rawArgs(argv + (argc > 0 ? 1 : 0), argv + argc);
        return launcher::dispatch(rawArgs, commandTable(context), std::cout, std::cerr,
                                  static_cast<unsigned>(getuid()));
    }
};

}  // namespace
}  // namespace tarvo::app

// The library's entry point. Null when the executable was built against
// another shape of the interface.
extern "C" __attribute__((visibility("default"))) tarvo::launcher::RolesLibrary*
tarvo_roles_library(int revision) {
    if (revision != tarvo::launcher::kRolesInterfaceRevision) return nullptr;
    static tarvo::app::Roles roles;
    return &roles;
}
