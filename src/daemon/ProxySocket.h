#pragma once

#include <sys/types.h>

#include <string>

#include "daemon/RootFiles.h"

namespace tarvo {

// The proxy's listening socket. The daemon binds it once and keeps it for as
// long as it lives, handing it to every proxy it starts, so the port is never
// free between one proxy's exit and the next one's start: no other user can
// bind it and receive the children's traffic. Connections that come while no
// proxy runs wait in its queue and are served by the next one.
class ProxySocket {
  public:
    static constexpr int kBacklog = 1024;

    // Binds `host` (an IPv4 or IPv6 address) and `port` and listens. Empty
    // on success, else why not (the port taken, for one).
    std::string open(const std::string& host, int port);
    bool held() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.get(); }
    // The socket's inode, as the kernel's socket tables name it.
    ino_t inode() const { return inode_; }

  private:
    rootfiles::Fd fd_;
    ino_t inode_ = 0;
};

}  // namespace tarvo
