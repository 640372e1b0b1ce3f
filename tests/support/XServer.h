#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarvo::test {

// A private X server (Xvfb) for tests that need real windows: stacking,
// focus, exposure, several screens. Each screen is "WxH"; more than one gives
// an Xvfb with several X screens joined by Xinerama, so Qt sees several
// QScreens side by side. With a window manager, openbox runs on it (it
// honours stay-on-top, focus stealing prevention and close requests the way
// a desktop does).
class XServer {
public:
    struct Options {
        std::vector<std::string> screens{"1280x800"};
        bool windowManager = true;
    };

    XServer();
    explicit XServer(Options options);
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // False when Xvfb could not be started (the reason is in error()).
    bool running() const { return xvfb_ > 0 && !display_.empty(); }
    const std::string& error() const { return error_; }
    // ":N", for DISPLAY.
    const std::string& display() const { return display_; }

    // Runs a command (absolute path or found on PATH) with DISPLAY set to
    // this server and returns its standard output; "" when it failed.
    std::string run(const std::vector<std::string>& argv) const;
    // Saves the whole root window (every screen) as a PNG, through
    // ImageMagick's `import`. Returns false when that failed.
    bool screenshot(const std::string& pngPath) const;

private:
    void start(const Options& options);

    pid_t xvfb_ = -1;
    pid_t wm_ = -1;
    std::string display_;
    std::string error_;
};

}  // namespace tarvo::test
