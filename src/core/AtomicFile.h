#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace tarvo {

struct AtomicWriteOptions {
    // Mode set on the temporary file's descriptor before the rename, so the
    // final file never exists with other permissions and the chmod cannot be
    // redirected through a path someone swapped in.
    std::optional<mode_t> mode;
    // Name of the temporary file inside the target's directory; empty means a
    // name unique to this process and call.
    std::string tempName;
    // Create missing parent directories first (default attributes).
    bool createDirectories = false;
    // Flush the data to disk before the rename.
    bool sync = false;
};

// Replaces `path` with `data` so that a concurrent reader sees either the old
// file or the whole new one: a temporary file in the same directory, created
// exclusively without following symbolic links, then rename(2). Throws
// std::system_error (the temporary file removed) when any step fails.
void replaceFileAtomically(const std::string& path, std::string_view data,
                           const AtomicWriteOptions& options = {});

// Writes all of `data` to `fd`, retrying short and interrupted writes; false
// (errno set) on failure.
bool writeAll(int fd, std::string_view data);

// The whole content of a regular file; none when it cannot be read.
std::optional<std::string> readFile(const std::string& path);

// Reading files that another user can replace. Root reads config.json,
// device_id.json, proxy_config.json and the presence flags from a directory
// every user can write, so whatever stands there may be a symbolic link to a
// root-only file, a hard link to one, a FIFO that never answers, or a file of
// any size. These refuse all of that: the last component is never followed,
// the open never blocks, and only a regular file with a single link, within
// the size cap, is read.
struct UntrustedFile {
    std::optional<std::string> data;  // none when refused or unreadable
    std::string why;                  // what was wrong ("symbolic link", "FIFO", …)
    int error = 0;                    // errno when the open itself failed (ENOENT: missing)
    uid_t owner = 0;                  // the file's owner, when read
};
// `name` inside the directory `dirFd`; reading starts at `offset`.
UntrustedFile readUntrustedFileAt(int dirFd, const std::string& name, size_t maxBytes,
                                  off_t offset = 0);
// `path` whose directory is opened as it stands (only the last component is
// refused when it is a link).
UntrustedFile readUntrustedFile(const std::string& path, size_t maxBytes, off_t offset = 0);
// The same rules for an entry whose attributes alone matter (a presence flag):
// empty when `name` is a regular file with one link, `st` then filled in;
// otherwise what is wrong with it. Never opens the entry.
std::string inspectUntrustedFileAt(int dirFd, const std::string& name, struct stat& st);

}  // namespace tarvo
