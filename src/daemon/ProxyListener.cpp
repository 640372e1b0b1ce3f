#include "daemon/ProxyListener.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string_view>

namespace tarvo::listener {
namespace {

constexpr const char* kListenState = "0A";

bool parseHex32(std::string_view hex, std::uint32_t& out) {
    if (hex.size() != 8) return false;
    out = 0;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else
            return false;
        out = out << 4 | static_cast<std::uint32_t>(v);
    }
    return true;
}

bool takesLoopbackConnections(std::uint32_t v4) {
    return v4 == htonl(INADDR_LOOPBACK) || v4 == htonl(INADDR_ANY);
}

bool takesLoopbackConnections(const in6_addr& addr) {
    if (IN6_IS_ADDR_UNSPECIFIED(&addr)) return true;
    if (!IN6_IS_ADDR_V4MAPPED(&addr)) return false;
    std::uint32_t v4;
    std::memcpy(&v4, addr.s6_addr + 12, 4);
    return takesLoopbackConnections(v4);
}

// The kernel prints each 32-bit word of the address as it lies in memory.
bool takesLoopbackConnections(std::string_view hexAddress) {
    if (hexAddress.size() == 8) {
        std::uint32_t word;
        return parseHex32(hexAddress, word) && takesLoopbackConnections(word);
    }
    if (hexAddress.size() == 32) {
        in6_addr addr{};
        for (int i = 0; i < 4; ++i) {
            std::uint32_t word;
            if (!parseHex32(hexAddress.substr(static_cast<size_t>(i) * 8, 8), word)) return false;
            std::memcpy(addr.s6_addr + i * 4, &word, 4);
        }
        return takesLoopbackConnections(addr);
    }
    return false;
}

// Asks the kernel for the listening TCP sockets of one address family over
// sock_diag. Unlike /proc/net/tcp, which walks every bucket of the
// connection table (milliseconds on a large machine, on every presence
// tick), a dump of listening sockets only walks the listening table. False
// when the kernel cannot answer; `out` then holds nothing new.
bool dumpListeners(int family, int port, std::vector<Socket>& out) {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = static_cast<std::uint8_t>(family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1u << 10;  // TCP_LISTEN only
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
        ::close(fd);
        return false;
    }
    std::vector<Socket> found;
    alignas(nlmsghdr) char buffer[32768];
    bool complete = false, failed = false;
    while (!complete && !failed) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        int left = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE) {
                complete = true;
                break;
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                failed = true;
                break;
            }
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                continue;
            const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            if (ntohs(socket->id.idiag_sport) != port) continue;
            bool loopback;
            if (family == AF_INET) {
                loopback = takesLoopbackConnections(socket->id.idiag_src[0]);
            } else {
                in6_addr addr;
                std::memcpy(&addr, socket->id.idiag_src, sizeof addr);
                loopback = takesLoopbackConnections(addr);
            }
            if (loopback)
                found.push_back({static_cast<ino_t>(socket->idiag_inode),
                                 static_cast<uid_t>(socket->idiag_uid)});
        }
    }
    ::close(fd);
    if (!complete) return false;
    out.insert(out.end(), found.begin(), found.end());
    return true;
}

void collectListeners(const char* table, int port, std::vector<Socket>& out) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        unsigned long uid = 0, timeout = 0;
        unsigned long long inode = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode))
            continue;
        if (state != kListenState) continue;
        const size_t colon = local.find(':');
        if (colon == std::string::npos) continue;
        if (std::strtol(local.c_str() + colon + 1, nullptr, 16) != port) continue;
        if (!takesLoopbackConnections(std::string_view(local).substr(0, colon))) continue;
        out.push_back({static_cast<ino_t>(inode), static_cast<uid_t>(uid)});
    }
}

std::vector<pid_t> allProcesses() {
    std::vector<pid_t> pids;
    if (DIR* proc = ::opendir("/proc")) {
        while (const dirent* entry = ::readdir(proc)) {
            char* end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid > 0 && end && *end == '\0') pids.push_back(static_cast<pid_t>(pid));
        }
        ::closedir(proc);
    }
    return pids;
}

pid_t parentOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // "pid (comm) state ppid …": the command may hold blanks and parentheses.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    long ppid = 0;
    rest >> state >> ppid;
    return static_cast<pid_t>(ppid);
}

// Calls `found` with the inode of every socket `pid` holds.
template <typename F>
void forEachSocket(pid_t pid, F found) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = ::opendir(dir.c_str());
    if (!fds) return;
    char target[64];
    while (const dirent* entry = ::readdir(fds)) {
        if (entry->d_name[0] == '.') continue;
        const std::string link = dir + "/" + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        constexpr std::string_view prefix = "socket:[";
        if (std::strncmp(target, prefix.data(), prefix.size()) != 0) continue;
        found(static_cast<ino_t>(std::strtoull(target + prefix.size(), nullptr, 10)));
    }
    ::closedir(fds);
}

}  // namespace

std::vector<Socket> listenersFor(int port, Source source) {
    const bool diagnostics = source == Source::diagnostics;
    std::vector<Socket> out;
    if (!diagnostics || !dumpListeners(AF_INET, port, out))
        collectListeners("/proc/net/tcp", port, out);
    if (!diagnostics || !dumpListeners(AF_INET6, port, out))
        collectListeners("/proc/net/tcp6", port, out);
    return out;
}

std::set<pid_t> processTree(pid_t root) {
    std::multimap<pid_t, pid_t> children;
    for (pid_t pid : allProcesses()) children.emplace(parentOf(pid), pid);
    std::set<pid_t> tree;
    std::vector<pid_t> todo = {root};
    while (!todo.empty()) {
        const pid_t pid = todo.back();
        todo.pop_back();
        if (!tree.insert(pid).second) continue;
        auto [from, to] = children.equal_range(pid);
        for (auto it = from; it != to; ++it) todo.push_back(it->second);
    }
    return tree;
}

std::set<ino_t> socketsOf(const std::set<pid_t>& pids) {
    std::set<ino_t> sockets;
    for (pid_t pid : pids) forEachSocket(pid, [&](ino_t inode) { sockets.insert(inode); });
    return sockets;
}

std::set<pid_t> holdersOf(ino_t inode) {
    std::set<pid_t> holders;
    for (pid_t pid : allProcesses())
        forEachSocket(pid, [&](ino_t held) {
            if (held == inode) holders.insert(pid);
        });
    return holders;
}

}  // namespace tarvo::listener
