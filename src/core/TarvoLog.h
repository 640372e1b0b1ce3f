#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/SystemLog.h"

namespace tarvo {

// One logger per category. Every entry goes to the system log and, when the
// logger has a file, to that file as one line:
//   2026-12-06T16:32:45.123Z [agent] INFO  message
// Logging never fails toward its caller.
class TarvoLog {
  public:
    enum class Level { Debug, Info, Warn, Error };

    explicit TarvoLog(std::string category, std::optional<std::string> file = std::nullopt,
                      std::shared_ptr<platform::SystemLog> systemLog = nullptr);

    void debug(const std::string& message) const { write(Level::Debug, message); }
    void info(const std::string& message) const { write(Level::Info, message); }
    void warn(const std::string& message) const { write(Level::Warn, message); }
    void error(const std::string& message) const { write(Level::Error, message); }

    const std::string& category() const { return category_; }
    const std::optional<std::string>& filePath() const { return filePath_; }

    // The five-character level word of the file line ("INFO " with its blank).
    static const char* levelWord(Level level);
    // The whole file line for `message`, newline included.
    std::string formatLine(Level level, const std::string& message) const;

  private:
    void write(Level level, const std::string& message) const;

    std::string category_;
    std::optional<std::string> filePath_;
    std::shared_ptr<platform::SystemLog> osLog_;
};

}  // namespace tarvo
