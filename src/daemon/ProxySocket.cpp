#include "daemon/ProxySocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarvo {

std::string ProxySocket::open(const std::string& host, int port) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        ::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v4;
    } else if (auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
               ::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v6;
    } else {
        return "not an IP address: " + host;
    }
    rootfiles::Fd fd(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return std::strerror(errno);
    // Lets a restarted daemon bind while connections of the last one linger
    // in TIME_WAIT. It never lets anyone else bind beside a listening socket;
    // SO_REUSEPORT, which would let root's other processes share it, stays off.
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd.get(), kBacklog) != 0)
        return std::strerror(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::strerror(errno);
    inode_ = st.st_ino;
    fd_ = std::move(fd);
    return {};
}

}  // namespace tarvo
