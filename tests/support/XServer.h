#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace tarvo::test {

// A private X server (Xvfb) for tests that need real windows: stacking,
// focus, exposure, several screens. Each screen is "WxH"; more than one gives
// an Xvfb with that many X screens (":N.0", ":N.1", …), which Qt reports as
// separate QScreens, the first one primary (Xinerama or RandR monitors on
// Xvfb would give Qt a single screen). With a window manager, openbox runs
// on every screen (it honours stay-on-top, focus stealing prevention and
// close requests the way a desktop does); with a tray host, trayer offers a
// system tray on the first screen.
class XServer {
  public:
    struct Options {
        std::vector<std::string> screens{"1280x800"};
        bool windowManager = true;
        bool trayHost = false;
    };

    XServer();
    explicit XServer(Options options);
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // False when Xvfb could not be started (the reason is in error()).
    bool running() const { return xvfb_ > 0 && !display_.empty(); }
    const std::string& error() const { return error_; }
    // ":N", for DISPLAY (its first screen).
    const std::string& display() const { return display_; }
    // ":N.i", the DISPLAY of one screen.
    std::string screen(int index) const { return display_ + "." + std::to_string(index); }

    // Starts trayer on the first screen (if not running yet) and waits until
    // its window exists; false when it could not be started.
    bool startTrayHost();

    // Runs a command (absolute path or found on PATH) with DISPLAY set to
    // screen `screenIndex` of this server and returns its standard output; ""
    // when it failed.
    std::string run(const std::vector<std::string>& argv, int screenIndex = 0) const;
    // Saves one screen's root window as a PNG, through ImageMagick's `import`.
    // Returns false when that failed.
    bool screenshot(const std::string& pngPath, int screenIndex = 0) const;

  private:
    void start(const Options& options);
    // Polls `done` every 50 ms for up to 30 s.
    static bool waitFor(const std::function<bool()>& done);

    pid_t xvfb_ = -1;
    std::vector<pid_t> wms_;
    pid_t tray_ = -1;
    std::string display_;
    std::string error_;
};

}  // namespace tarvo::test
