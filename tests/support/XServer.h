#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/Processes.h"

namespace tarvo::test {

// A private X server (Xvfb) for stacking, focus, exposure and several screens:
// one X screen (":N.0", ":N.1", …, each a QScreen, the first primary) per
// "WxH", with openbox on each unless told otherwise (it honours stay-on-top,
// focus stealing prevention and close requests the way a desktop does).
class XServer {
  public:
    struct Options {
        std::vector<std::string> screens{"1280x800"};
        bool windowManager = true;
    };

    XServer() : XServer(Options{}) {}
    explicit XServer(Options options);

    // False when Xvfb could not be started (the reason is in error()).
    bool running() const { return !display_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& display() const { return display_; }  // ":N", its first screen
    std::string screen(int index) const { return display_ + "." + std::to_string(index); }

    // Starts trayer, a system tray, on the first screen; false when it did not come up.
    bool startTrayHost();
    // Runs a command found on PATH on screen `screenIndex`: its output, "" when it failed.
    std::string run(const std::vector<std::string>& argv, int screenIndex = 0) const;

  private:
    std::unique_ptr<Process> xvfb_;
    std::vector<std::unique_ptr<Process>> wms_;
    std::unique_ptr<Process> tray_;
    std::string display_;
    std::string error_;
};

}  // namespace tarvo::test
