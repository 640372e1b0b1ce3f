#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace tarvo::rootfiles {

// Helpers for a root process working in directories that ordinary users can
// write. A user may plant a symbolic link, a hard link or a FIFO under any
// name there, or rename an entry away and put something else in its place, so
// everything here works through descriptors: entries are opened relative to a
// verified directory descriptor, never followed when they are links, new files
// are created exclusively, and permissions are set on the descriptor.

// An owned file descriptor, closed on destruction.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// What a directory must be before this process trusts it.
struct DirRequirement {
    mode_t mode = 0755;     // permissions the directory must have
    bool ownedByUs = true;  // owner must be this process's effective user
    // A directory found with permissions beyond `mode` is replaced instead of
    // tightened: whatever others could put into it is not kept.
    bool replaceIfLoose = false;
};

// Which directory object a name led to, to know it again later.
struct DirIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const DirIdentity&) const = default;
};

// The outcome of securing one directory, for the caller's log line.
struct DirResult {
    Fd fd;
    DirIdentity identity;
    // Set when something other than a trusted directory stood at the name and
    // was moved out of the way and removed ("symbolic link", "directory owned
    // by uid 501", …).
    std::string replaced;
    // Set when the directory could not be made trustworthy.
    std::string error;
};

// Opens the directory `name` inside the already verified directory
// `parentFd` without following a link, creating it when absent.
//
// When other users can write `parentFd`, they can rename any entry there,
// root's own directories included, to any name. There a directory is trusted
// only when it is the one `known` names (created or checked by this process
// before), or, the first time (`known` empty), when it is owned by us with
// exactly `req.mode`; it is never chmodded then. Anything else is moved aside
// and removed, and a fresh directory is made, verified as the empty one just
// created, and only then given `req.mode`. `known` is set to what was trusted.
//
// In a directory only we can write, a directory owned by us (when required)
// is trusted and given `req.mode`, unless `req.replaceIfLoose` finds it was
// open to more than `req.mode`.
DirResult secureDirectoryAt(int parentFd, const std::string& name, const DirRequirement& req,
                            std::optional<DirIdentity>* known = nullptr);
// The same for an absolute `path`, creating missing parents (default attributes).
DirResult secureDirectory(const std::string& path, const DirRequirement& req,
                          std::optional<DirIdentity>* known = nullptr);

// Removes what earlier runs moved aside in `parentFd` and could not remove.
void removeMovedAside(int parentFd);

// Creates `name` inside `dirFd` with `data`, permissions `mode`, only when no
// entry of that name exists: written to a temporary file created exclusively,
// then linked in place (which fails instead of replacing what appeared
// meanwhile). Returns an empty string on success, else the reason; `existed`
// is set when the name was taken.
std::string createFileNoReplace(int dirFd, const std::string& name, std::string_view data,
                                mode_t mode, bool* existed = nullptr);

// Replaces `name` inside `dirFd` with a new file holding `data` with
// permissions `mode`: a temporary file created exclusively and renamed over
// whatever stood there (file, link, FIFO), so a reader sees the old file or
// the whole new one and nothing is written through a link. Returns an empty
// string on success, else the reason.
std::string replaceFileAt(int dirFd, const std::string& name, std::string_view data, mode_t mode);

// A file of the resources (root-controlled), read whole up to `maxBytes`.
std::optional<std::string> readTrustedFile(const std::string& path, size_t maxBytes,
                                           std::string* why = nullptr);

}  // namespace tarvo::rootfiles
