// The daemon's check of the system web proxy on every presence tick (5 s)
// while a child is present: the dconf files' status and the firewall table
// read through libnftables. Prints the CPU time of one check and the share of
// a core it takes at one check every 5 s. Needs root; runs in a network
// namespace of its own and a throw-away root, so the host is never touched.

#include <sched.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/system/LinuxSystemProxy.h"

namespace {

double cpuSeconds() {
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main() {
    using tarvo::platform::LinuxSystemProxy;
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "system_proxy_keep: run as root (a network namespace of its own)\n");
        return 1;
    }
    char dir[] = "/tmp/tarvo-bench-XXXXXX";
    if (!::mkdtemp(dir)) return 1;
    ::setenv("TARVO_ROOT", dir, 1);
    {
        LinuxSystemProxy proxy({std::make_shared<tarvo::TarvoLog>("bench")});
        const tarvo::platform::ProxyEndpoint filter{"127.0.0.1", 8080};
        proxy.apply(filter, {65534});
        constexpr int kChecks = 2000;
        const double start = cpuSeconds();
        for (int i = 0; i < kChecks; ++i) proxy.keep(filter, {65534});
        const double each = (cpuSeconds() - start) / kChecks;
        std::printf("system proxy check: %.1f us CPU each, %.4f %% of a core at one every 5 s\n",
                    each * 1e6, each / 5 * 100);
        proxy.clear();
    }
    std::filesystem::remove_all(dir);
    return 0;
}
