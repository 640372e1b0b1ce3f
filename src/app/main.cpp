#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/Dispatch.h"
#include "core/Paths.h"

int main(int argc, char** argv) {
    tarvo::Paths::makeRootAbsolute();
    // The process's paths, fixed once before any thread starts.
    tarvo::Paths::install(tarvo::Paths::layoutFrom(std::getenv, argc > 0 ? argv[0] : ""));
    std::vector<std::string> rawArgs(argv + (argc > 0 ? 1 : 0), argv + argc);
    return tarvo::app::dispatch(rawArgs, tarvo::app::commandTable(), std::cout, std::cerr,
                                static_cast<unsigned>(getuid()));
}
