#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

namespace tarvo::listener {

// Who is listening on the proxy's port. Any user may bind 127.0.0.1:8080
// while the proxy is down (between an exit and the restart) and would then
// receive every child's traffic, so the daemon checks that the listener is
// its own proxy. The listening sockets of this network namespace come from the
// kernel's socket diagnostics (/proc/net/tcp when those cannot answer), the
// socket descriptors of processes from /proc.

struct Socket {
    ino_t inode = 0;
    uid_t uid = 0;
};

// Where the listening sockets are read: the socket diagnostics with the /proc
// tables as the fallback, or the /proc tables only.
enum class Source { diagnostics, procTables };

// Listening TCP sockets that take connections to 127.0.0.1:`port`: bound to
// 127.0.0.1 or to a wildcard address, IPv4 or IPv6 (dual-stack).
std::vector<Socket> listenersFor(int port, Source source = Source::diagnostics);

// `root` and all its descendants (the launcher may start mitmdump as a child).
std::set<pid_t> processTree(pid_t root);

// Inodes of the sockets that `pids` hold open.
std::set<ino_t> socketsOf(const std::set<pid_t>& pids);

// Processes holding the socket `inode` open.
std::set<pid_t> holdersOf(ino_t inode);

}  // namespace tarvo::listener
