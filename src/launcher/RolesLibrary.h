#pragma once

// The boundary between the tarvo executable and its roles
// (libtarvo_roles.so). The executable itself links nothing but the C++
// runtime and answers `version` and `help` on its own; every other
// subcommand loads the roles library, which holds the daemon, the agent, the
// manager and the short commands with Qt Core, libcurl and the system's
// mechanisms, and hands it the process's arguments. The agent's windows and
// the setup window's web view are loaded later still, by their roles.

namespace tarvo::launcher {

// The file name of the library, looked for in installation::libraryDirOf().
inline constexpr const char* kRolesLibraryFile = "libtarvo_roles.so";
// The entry point's symbol: `RolesLibrary* tarvo_roles_library(int revision)`.
inline constexpr const char* kRolesEntryPoint = "tarvo_roles_library";
// Bumped whenever the class below changes shape.
inline constexpr int kRolesInterfaceRevision = 1;

class RolesLibrary {
  public:
    // Runs the process's subcommand (`argv` as main() got it) and returns the
    // exit status.
    virtual int run(int argc, char** argv) = 0;

  protected:
    ~RolesLibrary() = default;
};

}  // namespace tarvo::launcher
