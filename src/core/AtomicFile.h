#pragma once

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

}  // namespace tarvo
