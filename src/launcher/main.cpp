#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "core/Installation.h"
#include "launcher/Dispatch.h"
#include "launcher/Library.h"
#include "launcher/RolesLibrary.h"

int main(int argc, char** argv) {
    using namespace tarvo;
    const std::vector<std::string> rawArgs(argv + (argc > 0 ? 1 : 0), argv + argc);
    // Version and help answer at once, with nothing loaded for them.
    if (launcher::isPrintingCommand(rawArgs))
        return launcher::dispatch(rawArgs, launcher::printingCommands(), std::cout, std::cerr,
                                  static_cast<unsigned>(getuid()));
    static constexpr launcher::LibraryTexts texts{"tarvo", "Tarvo's roles library",
                                                  "roles library"};
    const auto roles = launcher::loadLibrary<launcher::RolesLibrary>(
        installation::libraryDirOf(installation::runningExecutable()), launcher::kRolesLibraryFile,
        launcher::kRolesEntryPoint, launcher::kRolesInterfaceRevision, texts);
    if (!roles.library) {
        std::cerr << "tarvo: " << roles.error << std::endl;
        return 70;
    }
    return roles.library->run(argc, argv);
}
