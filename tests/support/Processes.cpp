#include "Processes.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace tarvo::test {

std::string tarvoBinary() {
    const char* v = getenv("TARVO_BINARY");
    return v && *v ? v : TARVO_BINARY_DEFAULT;
}

std::string sourceDir() {
    const char* v = getenv("TARVO_SOURCE_DIR");
    return v && *v ? v : TARVO_SOURCE_DIR_DEFAULT;
}

NetNamespace::NetNamespace() {
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original_ < 0 || ::unshare(CLONE_NEWNET) != 0) {
        error_ = std::string("cannot make a network namespace: ") + std::strerror(errno);
        return;
    }
    entered_ = true;
    // A new namespace has only a loopback device, and it is down.
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (s < 0 || ::ioctl(s, SIOCGIFFLAGS, &ifr) != 0 ||
        (ifr.ifr_flags |= IFF_UP | IFF_RUNNING, ::ioctl(s, SIOCSIFFLAGS, &ifr) != 0))
        error_ = std::string("cannot bring the loopback device up: ") + std::strerror(errno);
    if (s >= 0) ::close(s);
}

NetNamespace::~NetNamespace() {
    if (entered_ && ::setns(original_, CLONE_NEWNET) != 0)
        std::fprintf(stderr, "cannot return to the original network namespace: %s\n",
                     std::strerror(errno));
    if (original_ >= 0) ::close(original_);
}

bool enterPrivateNetwork() {
    // Never left: kept for the rest of the process.
    static NetNamespace* const ns = ::geteuid() == 0 ? new NetNamespace : nullptr;
    return ns && ns->entered();
}

}  // namespace tarvo::test
