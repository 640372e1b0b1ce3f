#include "core/TarvoLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "core/TimeFormat.h"

namespace tarvo {

TarvoLog::TarvoLog(std::string category, std::optional<std::string> file,
                   std::shared_ptr<platform::SystemLog> systemLog)
    : category_(std::move(category)),
      filePath_(std::move(file)),
      osLog_(systemLog ? std::move(systemLog) : platform::defaultSystemLog()) {
    if (filePath_) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(*filePath_).parent_path(), ec);
    }
}

const char* TarvoLog::levelWord(Level level) {
    switch (level) {
        case Level::Debug:
            return "DEBUG";
        case Level::Info:
            return "INFO ";
        case Level::Warn:
            return "WARN ";
        case Level::Error:
            return "ERROR";
    }
    return "INFO ";
}

std::string TarvoLog::formatLine(Level level, const std::string& message) const {
    std::string line = formatIsoUtcMillis(std::chrono::system_clock::now());
    line.reserve(line.size() + category_.size() + message.size() + 12);
    line += " [";
    line += category_;
    line += "] ";
    line += levelWord(level);
    line += ' ';
    line += message;
    line += '\n';
    return line;
}

void TarvoLog::write(Level level, const std::string& message) const {
    try {
        using T = platform::SystemLog::Type;
        static constexpr T types[] = {T::Debug, T::Info, T::Default, T::Error};
        if (osLog_) osLog_->write(category_, types[static_cast<int>(level)], message);
        if (!filePath_) return;
        const std::string line = formatLine(level, message);
        // Append-and-create plus one write per line: two processes creating the
        // file at the same moment both append, and lines never tear. A link at
        // the log path is never followed (a root logger must not write through it).
        int fd = ::open(filePath_->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                        0644);
        if (fd < 0) return;
        ssize_t n;
        do {
            n = ::write(fd, line.data(), line.size());
        } while (n < 0 && errno == EINTR);
        ::close(fd);
    } catch (...) {
        // A logger never fails toward its caller.
    }
}

}  // namespace tarvo
