#include "Processes.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>

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

std::string enterPrivateSystem(const std::vector<std::string>& overlays,
                               const std::vector<std::string>& tmpfs) {
    auto failed = [](const std::string& what) { return what + ": " + std::strerror(errno); };
    // unshare(CLONE_NEWNS) refuses a process whose threads share its file system view.
    if (::unshare(CLONE_NEWNS) != 0) return failed("cannot make a mount namespace");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed("cannot make the mounts private");
    // The overlays' changes go to a tmpfs mounted on a directory made for it
    // and detached once they hold it, so the directory can go at once.
    char staging[] = "/tmp/tarvo-system-XXXXXX";
    if (!::mkdtemp(staging)) return failed("cannot make a staging directory");
    std::string error;
    if (::mount("tmpfs", staging, "tmpfs", 0, "mode=0755") != 0)
        error = failed("cannot mount a tmpfs on " + std::string(staging));
    for (size_t i = 0; error.empty() && i < overlays.size(); ++i) {
        const std::string upper = staging + ("/upper" + std::to_string(i)),
                          work = staging + ("/work" + std::to_string(i)),
                          options =
                              "lowerdir=" + overlays[i] + ",upperdir=" + upper + ",workdir=" + work;
        if (::mkdir(upper.c_str(), 0755) != 0 || ::mkdir(work.c_str(), 0755) != 0 ||
            ::mount("overlay", overlays[i].c_str(), "overlay", 0, options.c_str()) != 0)
            error = failed("cannot lay an overlay over " + overlays[i]);
    }
    for (const std::string& dir : tmpfs)
        if (error.empty() && ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=0755") != 0)
            error = failed("cannot mount a tmpfs on " + dir);
    ::umount2(staging, MNT_DETACH);
    ::rmdir(staging);
    return error;
}

std::string inPrivateMounts(const std::vector<std::pair<std::string, std::string>>& binds,
                            const std::function<std::string()>& body) {
    int out[2];
    if (::pipe(out) != 0) return "mount namespace: no pipe";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        std::string text;
        bool made = ::unshare(CLONE_NEWNS) == 0 &&
                    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        for (const auto& [source, target] : binds)
            made = made && ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
        text = made ? body() : std::string("mount namespace: ") + std::strerror(errno);
        [[maybe_unused]] const ssize_t n = ::write(out[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
    ::close(out[0]);
    ::waitpid(pid, nullptr, 0);
    return text;
}

}  // namespace tarvo::test
