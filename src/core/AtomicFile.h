#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace tarvo {

// The system calls a writer makes where a disk can fail it; empty members use
// the real call. Tests inject failures here (a write that stops after some
// bytes, a rename refused the way a protected target refuses it).
struct AtomicWriteCalls {
    std::function<ssize_t(int fd, const void* data, size_t size)> write;
    // renameat(2) within the one directory the writer works in.
    std::function<int(int dirFd, const char* from, const char* to)> rename;
};

struct AtomicWriteOptions {
    // Mode set on the temporary file's descriptor before the rename, so the
    // final file never exists with other permissions and the chmod cannot be
    // redirected through a path someone swapped in. Without it the file keeps
    // 0600 from its creation.
    std::optional<mode_t> mode;
    // Name of the temporary file inside the target's directory; empty means a
    // name unique to this process and call. Whatever sits under a fixed name
    // (a leftover temporary file, a planted link or FIFO) is removed, never
    // written through.
    std::string tempName;
    // Create missing parent directories first (default attributes; not with
    // a directory descriptor below).
    bool createDirectories = false;
    // Flush the data to disk before the rename.
    bool sync = false;
    // Resolve the path (and its temporary file) relative to this directory
    // descriptor rather than the working directory: lets a caller that has
    // verified a directory write into it without walking the path again.
    int dirFd = AT_FDCWD;
    // False: never replace an existing target; the finished temporary file is
    // linked in under the target's name and fails with EEXIST when one is
    // there (the temporary file is removed either way).
    bool replaceExisting = true;
    // When the rename fails, rewrite the target in place (never through a
    // link, only a regular file) and leave the temporary file behind, for a
    // target that must be updated even where its directory refuses the
    // rename. `onRenameFailed` hears the rename's errno first.
    bool writeInPlaceIfRenameFails = false;
    std::function<void(int err)> onRenameFailed;
    AtomicWriteCalls calls;
};

// A failed atomic write: which step failed, on which file. what() reads
// "<step text> <file>: <system message>"; code() holds the errno.
class AtomicWriteError : public std::system_error {
  public:
    enum class Step { create, write, chmod, sync, close, rename, link, writeInPlace };
    AtomicWriteError(int err, Step step, std::string file, const std::string& what)
        : std::system_error(err, std::generic_category(), what),
          step_(step),
          file_(std::move(file)) {}
    Step step() const { return step_; }
    // The file the failed step acted on (the temporary file, or the target).
    const std::string& file() const { return file_; }

  private:
    Step step_;
    std::string file_;
};

// Replaces a file so that a concurrent reader sees either the old file or the
// whole new one: a temporary file in the same directory, created exclusively
// without following symbolic links, written, given its mode on the
// descriptor, then renamed over the target. For data that arrives in pieces
// (a download); replaceFileAtomically() below is the one-call form.
// Every failure throws AtomicWriteError and removes the temporary file
// (except after an in-place fallback, see the options); a writer destroyed
// before commit() removes it too, leaving the target untouched.
class AtomicFileWriter {
  public:
    AtomicFileWriter(std::string path, AtomicWriteOptions options = {});
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    void append(std::string_view data);
    // Mode, sync, close and rename (or link). After a failed rename with the
    // in-place fallback, writes everything appended so far into the target.
    void commit();

    const std::string& tempPath() const { return temp_; }

  private:
    [[noreturn]] void abandon(int err, AtomicWriteError::Step step, const std::string& file,
                              const std::string& what);
    void writeInPlace();

    std::string path_;
    std::string temp_;
    AtomicWriteOptions options_;
    int fd_ = -1;
    bool done_ = false;
    std::string written_;  // kept only for the in-place fallback
};

// Replaces `path` with `data` atomically (see AtomicFileWriter). Throws
// AtomicWriteError (a std::system_error).
void replaceFileAtomically(const std::string& path, std::string_view data,
                           const AtomicWriteOptions& options = {});

// Writes all of `data` to `fd`, retrying short and interrupted writes; false
// (errno set) on failure.
bool writeAll(int fd, std::string_view data);

// What kind of entry `mode` describes, for log lines: "symbolic link", "FIFO", …
std::string describeFileType(mode_t mode);

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
